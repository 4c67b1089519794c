// A reference-counted byte buffer with a valid range, a message of attributes and an optional
// farewell message that is posted when the buffer is destroyed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/foundation/Message.h"
#include "utils/Errors.h"
#include "utils/RefCounted.h"

namespace velmor {

class ByteBuffer : public RefCounted {
public:
    // Allocates capacity bytes and owns them.
    explicit ByteBuffer(size_t capacity);
    // Wraps caller memory without owning it.
    ByteBuffer(void* data, size_t capacity);

    // Posted from the destructor.
    void setFarewellMessage(const Ref<Message>& msg) { mFarewell = msg; }

    uint8_t* base() { return static_cast<uint8_t*>(mData); }
    const uint8_t* base() const { return static_cast<const uint8_t*>(mData); }
    uint8_t* data() { return base() + mRangeOffset; }
    const uint8_t* data() const { return base() + mRangeOffset; }
    size_t capacity() const { return mCapacity; }
    size_t size() const { return mRangeLength; }
    size_t offset() const { return mRangeOffset; }

    // Requires offset <= capacity and offset + size <= capacity; an invalid range is refused
    // with BAD_VALUE and leaves the range unchanged.
    status_t setRange(size_t offset, size_t size);

    void setInt32Data(int32_t data) { mInt32Data = data; }
    int32_t int32Data() const { return mInt32Data; }

    // The attribute message, created empty on first use.
    Ref<Message> meta();

protected:
    ~ByteBuffer() override;

private:
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    Ref<Message> mFarewell;
    Ref<Message> mMeta;
    void* mData;
    size_t mCapacity;
    size_t mRangeOffset;
    size_t mRangeLength;
    int32_t mInt32Data;
    bool mOwnsData;
};

}  // namespace velmor
