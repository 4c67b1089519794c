// One compressed packet or decoded frame: a byte range, a time and attributes in a MetaData.
// Counted by hand: a pooled buffer returns to its group (the observer) on its last release.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/MetaData.h"
#include "utils/RefCounted.h"

namespace velmor {

class ByteBuffer;
class MediaBuffer;
}  // namespace velmor

struct AVBufferRef;

namespace velmor {

class MediaBufferObserver {
public:
    MediaBufferObserver() = default;
    virtual ~MediaBufferObserver() = default;
    virtual void signalBufferReturned(MediaBuffer* buffer) = 0;

private:
    MediaBufferObserver(const MediaBufferObserver&) = delete;
    MediaBufferObserver& operator=(const MediaBufferObserver&) = delete;
};

class MediaBuffer {
public:
    // Wraps caller memory without owning it.
    MediaBuffer(void* data, size_t size);
    // Allocates size bytes and owns them.
    explicit MediaBuffer(size_t size);
    // Wraps the ByteBuffer's bytes and keeps a reference to it.
    explicit MediaBuffer(const Ref<ByteBuffer>& buffer);
    // Wraps size bytes at data inside an FFmpeg reference-counted buffer without copying them and
    // takes over the caller's reference `ref` (unreferenced when this buffer is destroyed). The
    // bytes must be followed by AV_INPUT_BUFFER_PADDING_SIZE readable bytes, as FFmpeg's packets
    // are, so a decoder can hand them to the codec as they are.
    MediaBuffer(AVBufferRef* ref, uint8_t* data, size_t size);

    // Drops one reference. A free-standing buffer (no observer) must have a count of 0 and is
    // deleted; a pooled buffer goes back to its observer when its last reference goes.
    void release();
    void add_ref();

    void* data() const { return mData; }
    // The FFmpeg buffer behind data(), or null for any other kind of buffer. A decoder may take
    // its own reference (av_buffer_ref) instead of copying the bytes.
    AVBufferRef* avBuffer() const { return mAVBuffer; }
    size_t size() const { return mSize; }
    size_t range_offset() const { return mRangeOffset; }
    size_t range_length() const { return mRangeLength; }
    void set_range(size_t offset, size_t length);

    Ref<MetaData> meta_data() const { return mMetaData; }

    // Clears the meta data and makes the whole buffer the range.
    void reset();

    void setObserver(MediaBufferObserver* group);

    // A new free-standing buffer over the same bytes with the same range and a copy of the
    // meta data. It holds a reference on this buffer until it is destroyed.
    MediaBuffer* clone();

    // Takes a buffer with exactly one reference out of counting (count becomes 0).
    void claim();

    int refcount() const { return mRefCount.load(std::memory_order_acquire); }

    // The link used by the owning group.
    void setNextBuffer(MediaBuffer* buffer) { mNextBuffer = buffer; }
    MediaBuffer* nextBuffer() const { return mNextBuffer; }

    // The buffer this one was cloned from, null for an original.
    MediaBuffer* original() const { return mOriginal; }

protected:
    virtual ~MediaBuffer();

private:
    friend class MediaBufferGroup;

    MediaBuffer(const MediaBuffer&) = delete;
    MediaBuffer& operator=(const MediaBuffer&) = delete;

    MediaBufferObserver* mObserver;
    MediaBuffer* mNextBuffer;
    std::atomic<int> mRefCount;

    void* mData;
    size_t mSize;
    size_t mRangeOffset;
    size_t mRangeLength;
    Ref<ByteBuffer> mByteBuffer;
    AVBufferRef* mAVBuffer = nullptr;
    bool mOwnsData;

    Ref<MetaData> mMetaData;
    MediaBuffer* mOriginal;
};

}  // namespace velmor
