#include "utils/Payload.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "utils/Log.h"
#include "utils/Text8.h"

#define LOG_TAG "VEL_Payload"

namespace velmor {

Payload::Payload() : mData(nullptr), mDataSize(0), mDataCapacity(0), mDataPos(0) {}

Payload::~Payload() { freeData(); }

void Payload::freeData() {
    free(mData);
    mData = nullptr;
    mDataSize = mDataCapacity = mDataPos = 0;
}

void Payload::setDataPosition(size_t pos) { mDataPos = pos; }

status_t Payload::setDataSize(size_t size) {
    if (size > mDataCapacity) {
        status_t err = growData(size - mDataSize);
        if (err != OK) return err;
    }
    mDataSize = size;
    if (mDataPos > size) mDataPos = size;
    return OK;
}

status_t Payload::growData(size_t len) {
    // New capacity: (current size + needed) * 3 / 2, refusing on overflow.
    if (len > std::numeric_limits<size_t>::max() - mDataSize) return NO_MEMORY;
    const size_t need = mDataSize + len;
    if (need > std::numeric_limits<size_t>::max() / 3) return NO_MEMORY;
    const size_t newCap = need * 3 / 2;
    if (newCap > static_cast<size_t>(INT32_MAX)) return NO_MEMORY;
    auto* d = static_cast<uint8_t*>(realloc(mData, newCap));
    if (!d) return NO_MEMORY;
    mData = d;
    mDataCapacity = newCap;
    return OK;
}

status_t Payload::writeAligned(const void* data, size_t len) {
    const size_t padded = pad4(len);
    if (padded < len) return NO_MEMORY;
    if (mDataPos > mDataCapacity || padded > mDataCapacity - mDataPos) {
        const size_t end = mDataPos + padded;
        if (end < mDataPos) return NO_MEMORY;
        status_t err = growData(end > mDataSize ? end - mDataSize : 0);
        if (err != OK) return err;
    }
    if (len) memcpy(mData + mDataPos, data, len);
    if (padded > len) memset(mData + mDataPos + len, 0, padded - len);
    mDataPos += padded;
    if (mDataPos > mDataSize) mDataSize = mDataPos;
    return OK;
}

status_t Payload::write(const void* data, size_t len) { return writeAligned(data, len); }
status_t Payload::writeInt32(int32_t v) { return writeAligned(&v, sizeof(v)); }
status_t Payload::writeInt64(int64_t v) { return writeAligned(&v, sizeof(v)); }
status_t Payload::writeFloat(float v) { return writeAligned(&v, sizeof(v)); }
status_t Payload::writeDouble(double v) { return writeAligned(&v, sizeof(v)); }
status_t Payload::writeCString(const char* s) {
    if (!s) s = "";
    return writeAligned(s, strlen(s) + 1);
}
status_t Payload::writeText8(const Text8& s) {
    std::string tmp(s.string(), s.length());
    return writeAligned(tmp.c_str(), tmp.size() + 1);
}

status_t Payload::writeString16(const char16_t* s, size_t len) {
    if (!s) return writeInt32(-1);
    status_t err = writeInt32(static_cast<int32_t>(len));
    if (err != OK) return err;
    std::u16string tmp(s, len);
    return writeAligned(tmp.c_str(), (len + 1) * sizeof(char16_t));
}

status_t Payload::read(void* out, size_t len) const {
    const size_t padded = pad4(len);
    if (mDataPos > mDataSize || padded > mDataSize - mDataPos || padded < len) return NOT_ENOUGH_DATA;
    memcpy(out, mData + mDataPos, len);
    mDataPos += padded;
    return OK;
}

status_t Payload::readInt32(int32_t* out) const { return read(out, sizeof(*out)); }
int32_t Payload::readInt32() const {
    int32_t v = 0;
    readInt32(&v);
    return v;
}
status_t Payload::readInt64(int64_t* out) const { return read(out, sizeof(*out)); }
int64_t Payload::readInt64() const {
    int64_t v = 0;
    readInt64(&v);
    return v;
}
status_t Payload::readFloat(float* out) const { return read(out, sizeof(*out)); }
status_t Payload::readDouble(double* out) const { return read(out, sizeof(*out)); }
double Payload::readDouble() const {
    double v = 0;
    readDouble(&v);
    return v;
}

const char* Payload::readCString() const {
    if (mDataPos >= mDataSize) return nullptr;
    const char* s = reinterpret_cast<const char*>(mData + mDataPos);
    const void* nul = memchr(s, 0, mDataSize - mDataPos);
    if (!nul) return nullptr;
    const size_t len = static_cast<const char*>(nul) - s;
    const size_t padded = pad4(len + 1);
    mDataPos = (padded <= mDataSize - mDataPos) ? mDataPos + padded : mDataSize;
    return s;
}

Text8 Payload::readText8() const {
    const char* s = readCString();
    if (!s) {
        log(LOG_ERROR, LOG_TAG, "Reading a NULL string not supported here.");
        return Text8();
    }
    return Text8(s);
}

bool Payload::readString16(std::u16string* out) const {
    const size_t start = mDataPos;
    int32_t len = 0;
    if (readInt32(&len) != OK || len < 0) {
        mDataPos = start;
        return false;
    }
    const size_t bytes = (static_cast<size_t>(len) + 1) * sizeof(char16_t);
    if (pad4(bytes) > dataAvail()) {
        mDataPos = start;
        return false;
    }
    out->assign(reinterpret_cast<const char16_t*>(mData + mDataPos), static_cast<size_t>(len));
    mDataPos += pad4(bytes);
    return true;
}

}  // namespace velmor
