#include "engine/foundation/ByteBuffer.h"

#include <cstdlib>

#include "utils/Log.h"

#define LOG_TAG "VEL_ByteBuffer"

namespace velmor {

ByteBuffer::ByteBuffer(size_t capacity)
    : mData(malloc(capacity ? capacity : 1)),
      mCapacity(mData ? capacity : 0),
      mRangeOffset(0),
      mRangeLength(mCapacity),
      mInt32Data(0),
      mOwnsData(true) {
    if (!mData) log(LOG_ERROR, LOG_TAG, "could not allocate %zu bytes", capacity);
}

ByteBuffer::ByteBuffer(void* data, size_t capacity)
    : mData(data),
      mCapacity(capacity),
      mRangeOffset(0),
      mRangeLength(capacity),
      mInt32Data(0),
      mOwnsData(false) {}

ByteBuffer::~ByteBuffer() {
    if (mOwnsData) free(mData);
    mData = nullptr;
    if (mFarewell != nullptr) mFarewell->post();
}

status_t ByteBuffer::setRange(size_t offset, size_t size) {
    CHECK_LE(offset, mCapacity);
    CHECK_LE(size, mCapacity - (offset <= mCapacity ? offset : mCapacity));
    if (offset > mCapacity || size > mCapacity - offset) return BAD_VALUE;
    mRangeOffset = offset;
    mRangeLength = size;
    return OK;
}

Ref<Message> ByteBuffer::meta() {
    if (mMeta == nullptr) mMeta = new Message;
    return mMeta;
}

}  // namespace velmor
