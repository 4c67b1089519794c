// A flat, growable serialisation buffer. Values are written at the position and padded with
// zero bytes to a multiple of 4; reads mirror the writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "utils/Errors.h"

namespace velmor {

class Text8;

class Payload {
public:
    Payload();
    ~Payload();
    Payload(const Payload&) = delete;
    Payload& operator=(const Payload&) = delete;

    const uint8_t* data() const { return mData; }
    size_t dataSize() const { return mDataSize; }
    size_t dataAvail() const { return mDataSize > mDataPos ? mDataSize - mDataPos : 0; }
    size_t dataPosition() const { return mDataPos; }
    size_t dataCapacity() const { return mDataCapacity; }
    void setDataPosition(size_t pos);
    status_t setDataSize(size_t size);
    void freeData();

    status_t write(const void* data, size_t len);
    status_t writeInt32(int32_t v);
    status_t writeInt64(int64_t v);
    status_t writeFloat(float v);
    status_t writeDouble(double v);
    status_t writeCString(const char* s);
    status_t writeText8(const Text8& s);
    status_t writeString16(const char16_t* s, size_t len);
    status_t writeString16(const std::u16string& s) { return writeString16(s.data(), s.size()); }

    // Block read; NOT_ENOUGH_DATA leaves the position unchanged.
    status_t read(void* out, size_t len) const;
    status_t readInt32(int32_t* out) const;
    int32_t readInt32() const;
    status_t readInt64(int64_t* out) const;
    int64_t readInt64() const;
    status_t readFloat(float* out) const;
    status_t readDouble(double* out) const;
    double readDouble() const;
    // Null when no complete string is left.
    const char* readCString() const;
    // A missing string is logged and read as empty.
    Text8 readText8() const;
    // A null string (length -1) or a missing one gives false.
    bool readString16(std::u16string* out) const;

private:
    status_t growData(size_t len);
    status_t writeAligned(const void* data, size_t len);
    static size_t pad4(size_t n) { return (n + 3) & ~static_cast<size_t>(3); }

    uint8_t* mData;
    size_t mDataSize;
    size_t mDataCapacity;
    mutable size_t mDataPos;
};

}  // namespace velmor
