// Reads big-endian bit fields from a byte range. Reading past the end yields zero bits and sets
// the overrun flag, so parsers can read a whole header and check once.
//
// Threads: a value used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmor {

class BitReader {
public:
    BitReader(const uint8_t* data, size_t size) : mData(data), mSize(size) {}

    // Up to 32 bits.
    uint32_t getBits(size_t n) {
        uint32_t value = 0;
        for (size_t i = 0; i < n; ++i) value = (value << 1) | getBit();
        return value;
    }
    void skipBits(size_t n) {
        if (n > numBitsLeft()) {
            mPos = mSize * 8;
            mOverrun = true;
        } else {
            mPos += n;
        }
    }
    size_t numBitsLeft() const { return mSize * 8 - mPos; }
    // The current byte when the position is on a byte boundary.
    const uint8_t* data() const { return mData + mPos / 8; }
    bool overrun() const { return mOverrun; }

    // Unsigned Exp-Golomb code, as the H.264 parameter sets write them (at most 32 leading zeros).
    uint32_t getUE() {
        size_t zeros = 0;
        while (getBit() == 0) {
            if (mOverrun || ++zeros > 31) {
                mOverrun = true;
                return 0;
            }
        }
        uint32_t rest = getBits(zeros);
        return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + rest);
    }
    int32_t getSE() {
        uint32_t code = getUE();
        return (code & 1) ? static_cast<int32_t>((code + 1) / 2) : -static_cast<int32_t>(code / 2);
    }

private:
    uint32_t getBit() {
        if (mPos >= mSize * 8) {
            mOverrun = true;
            return 0;
        }
        uint32_t bit = (mData[mPos / 8] >> (7 - mPos % 8)) & 1;
        ++mPos;
        return bit;
    }

    const uint8_t* mData;
    size_t mSize;
    size_t mPos = 0;
    bool mOverrun = false;
};

}  // namespace velmor
