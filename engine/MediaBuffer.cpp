#define LOG_TAG "VEL_MediaBuffer"

#include "engine/MediaBuffer.h"

#include <cstdlib>

extern "C" {
#include <libavutil/buffer.h>
}

#include "engine/foundation/ByteBuffer.h"
#include "utils/Log.h"

namespace velmor {

MediaBuffer::MediaBuffer(void* data, size_t size)
    : mObserver(nullptr), mNextBuffer(nullptr), mRefCount(0), mData(data), mSize(size), mRangeOffset(0),
      mRangeLength(size), mOwnsData(false), mMetaData(new MetaData), mOriginal(nullptr) {}

MediaBuffer::MediaBuffer(size_t size)
    : mObserver(nullptr), mNextBuffer(nullptr), mRefCount(0), mData(malloc(size > 0 ? size : 1)), mSize(size),
      mRangeOffset(0), mRangeLength(size), mOwnsData(true), mMetaData(new MetaData), mOriginal(nullptr) {
    if (mData == nullptr) {
        VLOGE("failed to allocate %zu bytes", size);
        mSize = 0;
        mRangeLength = 0;
    }
}

MediaBuffer::MediaBuffer(const Ref<ByteBuffer>& buffer)
    : mObserver(nullptr), mNextBuffer(nullptr), mRefCount(0), mData(buffer != nullptr ? buffer->data() : nullptr),
      mSize(buffer != nullptr ? buffer->size() : 0), mRangeOffset(0), mRangeLength(mSize), mByteBuffer(buffer),
      mOwnsData(false), mMetaData(new MetaData), mOriginal(nullptr) {}

MediaBuffer::MediaBuffer(AVBufferRef* ref, uint8_t* data, size_t size)
    : mObserver(nullptr), mNextBuffer(nullptr), mRefCount(0), mData(data), mSize(size), mRangeOffset(0),
      mRangeLength(size), mAVBuffer(ref), mOwnsData(false), mMetaData(new MetaData), mOriginal(nullptr) {}

MediaBuffer::~MediaBuffer() {
    CHECK(mObserver == nullptr);
    if (mOwnsData) free(mData);
    if (mAVBuffer != nullptr) av_buffer_unref(&mAVBuffer);
    mData = nullptr;
    if (mOriginal != nullptr) {
        mOriginal->release();
        mOriginal = nullptr;
    }
}

void MediaBuffer::release() {
    if (mObserver == nullptr) {
        // Free-standing buffers are released at a count of 0. A buffer that was still shared
        // when its group went away is deleted by the last of its holders instead.
        int count = mRefCount.load(std::memory_order_acquire);
        CHECK_EQ(count, 0);
        if (count > 0 && mRefCount.fetch_sub(1, std::memory_order_acq_rel) > 1) return;
        delete this;
        return;
    }
    int prev = mRefCount.fetch_sub(1, std::memory_order_acq_rel);
    if (prev == 1) {
        mObserver->signalBufferReturned(this);
    }
    CHECK_GT(prev, 0);
}

void MediaBuffer::add_ref() { mRefCount.fetch_add(1, std::memory_order_acq_rel); }

void MediaBuffer::claim() {
    CHECK(mObserver != nullptr);
    int expected = 1;
    bool ok = mRefCount.compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
    CHECK(ok);
}

void MediaBuffer::set_range(size_t offset, size_t length) {
    if (offset > mSize || length > mSize - offset) {
        VLOGE("offset = %d, length = %d, mSize = %d", static_cast<int>(offset), static_cast<int>(length),
              static_cast<int>(mSize));
        // Keep the range inside the buffer.
        if (offset > mSize) offset = mSize;
        if (length > mSize - offset) length = mSize - offset;
    }
    mRangeOffset = offset;
    mRangeLength = length;
}

void MediaBuffer::reset() {
    mMetaData->clear();
    set_range(0, mSize);
}

void MediaBuffer::setObserver(MediaBufferObserver* observer) {
    CHECK(observer == nullptr || mObserver == nullptr);
    mObserver = observer;
}

MediaBuffer* MediaBuffer::clone() {
    MediaBuffer* buffer = new MediaBuffer(mData, mSize);
    buffer->set_range(mRangeOffset, mRangeLength);
    buffer->mMetaData = new MetaData(*mMetaData);
    add_ref();
    buffer->mOriginal = this;
    return buffer;
}

}  // namespace velmor
