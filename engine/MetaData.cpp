#define LOG_TAG "VEL_MetaData"

#include "engine/MetaData.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/foundation/ByteString.h"
#include "engine/foundation/hexdump.h"
#include "utils/Log.h"

namespace velmor {

MetaData::MetaData() {}

MetaData::MetaData(const MetaData& from) : RefCounted(), mItems(from.mItems) {}

MetaData::~MetaData() { clear(); }

void MetaData::clear() { mItems.clear(); }

bool MetaData::remove(uint32_t key) {
    ssize_t i = mItems.indexOfKey(key);
    if (i < 0) return false;
    mItems.removeItemsAt(static_cast<size_t>(i));
    return true;
}

bool MetaData::setCString(uint32_t key, const char* value) {
    if (value == nullptr) value = "";
    return setData(key, kTypeCString, value, strlen(value) + 1);
}

bool MetaData::setInt32(uint32_t key, int32_t value) { return setData(key, kTypeInt32, &value, sizeof(value)); }

bool MetaData::setInt64(uint32_t key, int64_t value) { return setData(key, kTypeInt64, &value, sizeof(value)); }

bool MetaData::setFloat(uint32_t key, float value) { return setData(key, kTypeFloat, &value, sizeof(value)); }

bool MetaData::setPointer(uint32_t key, void* value) { return setData(key, kTypePointer, &value, sizeof(value)); }

bool MetaData::setRect(uint32_t key, int32_t left, int32_t top, int32_t right, int32_t bottom) {
    int32_t r[4] = {left, top, right, bottom};
    return setData(key, kTypeRect, r, sizeof(r));
}

bool MetaData::setData(uint32_t key, uint32_t type, const void* data, size_t size) {
    ssize_t i = mItems.indexOfKey(key);
    bool replaced = i >= 0;
    if (!replaced) i = mItems.add(key, typed_data());
    mItems.editValueAt(static_cast<size_t>(i)).setData(type, data, size);
    return replaced;
}

bool MetaData::findData(uint32_t key, uint32_t* type, const void** data, size_t* size) const {
    ssize_t i = mItems.indexOfKey(key);
    if (i < 0) return false;
    mItems.valueAt(static_cast<size_t>(i)).getData(type, data, size);
    return true;
}

bool MetaData::hasData(uint32_t key) const { return mItems.indexOfKey(key) >= 0; }

bool MetaData::findCString(uint32_t key, const char** value) const {
    uint32_t type;
    const void* data;
    size_t size;
    if (!findData(key, &type, &data, &size) || type != kTypeCString) return false;
    *value = static_cast<const char*>(data);
    return true;
}

bool MetaData::findInt32(uint32_t key, int32_t* value) const {
    uint32_t type;
    const void* data;
    size_t size;
    if (!findData(key, &type, &data, &size) || type != kTypeInt32 || size != sizeof(*value)) return false;
    memcpy(value, data, sizeof(*value));
    return true;
}

bool MetaData::findInt64(uint32_t key, int64_t* value) const {
    uint32_t type;
    const void* data;
    size_t size;
    if (!findData(key, &type, &data, &size) || type != kTypeInt64 || size != sizeof(*value)) return false;
    memcpy(value, data, sizeof(*value));
    return true;
}

bool MetaData::findFloat(uint32_t key, float* value) const {
    uint32_t type;
    const void* data;
    size_t size;
    if (!findData(key, &type, &data, &size) || type != kTypeFloat || size != sizeof(*value)) return false;
    memcpy(value, data, sizeof(*value));
    return true;
}

bool MetaData::findPointer(uint32_t key, void** value) const {
    uint32_t type;
    const void* data;
    size_t size;
    if (!findData(key, &type, &data, &size) || type != kTypePointer || size != sizeof(*value)) return false;
    memcpy(value, data, sizeof(*value));
    return true;
}

bool MetaData::findRect(uint32_t key, int32_t* left, int32_t* top, int32_t* right, int32_t* bottom) const {
    uint32_t type;
    const void* data;
    size_t size;
    if (!findData(key, &type, &data, &size) || type != kTypeRect || size != 4 * sizeof(int32_t)) return false;
    int32_t r[4];
    memcpy(r, data, sizeof(r));
    *left = r[0];
    *top = r[1];
    *right = r[2];
    *bottom = r[3];
    return true;
}

static void fourccToString(uint32_t code, char out[5]) {
    out[0] = static_cast<char>(code >> 24);
    out[1] = static_cast<char>((code >> 16) & 0xff);
    out[2] = static_cast<char>((code >> 8) & 0xff);
    out[3] = static_cast<char>(code & 0xff);
    out[4] = '\0';
}

void MetaData::dumpToLog() const {
    for (size_t i = mItems.size(); i-- > 0;) {
        char key[5];
        fourccToString(mItems.keyAt(i), key);
        char value[1024];
        mItems.valueAt(i).asString(value, sizeof(value));
        VLOGI("%s: %s", key, value);
    }
}

// ---- typed_data ----

MetaData::typed_data::typed_data() : mType(0), mSize(0) { u.ext_data = nullptr; }

MetaData::typed_data::~typed_data() { clear(); }

MetaData::typed_data::typed_data(const typed_data& from) : mType(0), mSize(0) {
    u.ext_data = nullptr;
    *this = from;
}

MetaData::typed_data& MetaData::typed_data::operator=(const typed_data& from) {
    if (this != &from) {
        clear();
        mType = from.mType;
        void* dst = allocateStorage(from.mSize);
        if (dst != nullptr && from.mSize > 0) memcpy(dst, from.storage(), from.mSize);
    }
    return *this;
}

void MetaData::typed_data::clear() {
    freeStorage();
    mType = 0;
}

void MetaData::typed_data::setData(uint32_t type, const void* data, size_t size) {
    clear();
    mType = type;
    void* dst = allocateStorage(size);
    if (dst != nullptr && size > 0) memcpy(dst, data, size);
}

void MetaData::typed_data::getData(uint32_t* type, const void** data, size_t* size) const {
    *type = mType;
    *size = mSize;
    *data = storage();
}

void* MetaData::typed_data::allocateStorage(size_t size) {
    mSize = size;
    if (usesReservoir()) return &u.reservoir;
    u.ext_data = malloc(size);
    if (u.ext_data == nullptr) {
        mType = 0;
        mSize = 0;
        return nullptr;
    }
    return u.ext_data;
}

void MetaData::typed_data::freeStorage() {
    if (!usesReservoir()) free(u.ext_data);
    mSize = 0;
    u.ext_data = nullptr;
}

void MetaData::typed_data::asString(char* out, size_t outSize) const {
    const void* data = storage();
    switch (mType) {
        case kTypeCString:
            snprintf(out, outSize, "(char*) %s", static_cast<const char*>(data));
            break;
        case kTypeInt32: {
            int32_t v;
            memcpy(&v, data, sizeof(v));
            snprintf(out, outSize, "(int32_t) %d", v);
            break;
        }
        case kTypeInt64: {
            int64_t v;
            memcpy(&v, data, sizeof(v));
            snprintf(out, outSize, "(int64_t) %lld", static_cast<long long>(v));
            break;
        }
        case kTypeFloat: {
            float v;
            memcpy(&v, data, sizeof(v));
            snprintf(out, outSize, "(float) %f", static_cast<double>(v));
            break;
        }
        case kTypePointer: {
            void* v;
            memcpy(&v, data, sizeof(v));
            snprintf(out, outSize, "(void*) %p", v);
            break;
        }
        case kTypeRect: {
            int32_t r[4];
            memcpy(r, data, sizeof(r));
            snprintf(out, outSize, "Rect(%d, %d, %d, %d)", r[0], r[1], r[2], r[3]);
            break;
        }
        case kTypeNone:
            snprintf(out, outSize, "no type, size %d)", static_cast<int>(mSize));
            break;
        default: {
            ByteString s(StringPrintf("(unknown type %d, size %d)", static_cast<int>(mType), static_cast<int>(mSize)));
            if (mSize < 49) {
                s.append("\n");
                hexdump(data, mSize, 0, &s);
            }
            snprintf(out, outSize, "%s", s.c_str());
            break;
        }
    }
}

}  // namespace velmor
