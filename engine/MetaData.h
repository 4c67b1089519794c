// A typed dictionary keyed by four-character codes describing a track or one buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/MediaDefs.h"
#include "utils/Containers.h"
#include "utils/RefCounted.h"

namespace velmor {

class MetaData : public RefCounted {
public:
    MetaData();
    // Deep copy of every entry.
    MetaData(const MetaData& from);
    MetaData& operator=(const MetaData&) = delete;

    void clear();
    // True when the key existed.
    bool remove(uint32_t key);

    // Each setter returns true when it replaced an existing entry, false when it added one.
    bool setCString(uint32_t key, const char* value);
    bool setInt32(uint32_t key, int32_t value);
    bool setInt64(uint32_t key, int64_t value);
    bool setFloat(uint32_t key, float value);
    bool setPointer(uint32_t key, void* value);
    bool setRect(uint32_t key, int32_t left, int32_t top, int32_t right, int32_t bottom);
    bool setData(uint32_t key, uint32_t type, const void* data, size_t size);

    // Each finder returns false when the key is absent or stored with another type. Returned
    // pointers stay valid until the entry is replaced or removed.
    bool findCString(uint32_t key, const char** value) const;
    bool findInt32(uint32_t key, int32_t* value) const;
    bool findInt64(uint32_t key, int64_t* value) const;
    bool findFloat(uint32_t key, float* value) const;
    bool findPointer(uint32_t key, void** value) const;
    bool findRect(uint32_t key, int32_t* left, int32_t* top, int32_t* right, int32_t* bottom) const;
    bool findData(uint32_t key, uint32_t* type, const void** data, size_t* size) const;

    bool hasData(uint32_t key) const;
    size_t countEntries() const { return mItems.size(); }

    // Logs every entry, last key first, at info level.
    void dumpToLog() const;

protected:
    ~MetaData() override;

private:
    struct typed_data {
        typed_data();
        ~typed_data();
        typed_data(const typed_data& from);
        typed_data& operator=(const typed_data& from);

        void clear();
        void setData(uint32_t type, const void* data, size_t size);
        void getData(uint32_t* type, const void** data, size_t* size) const;
        // Renders the value for the log.
        void asString(char* out, size_t outSize) const;

    private:
        bool usesReservoir() const { return mSize <= sizeof(u.reservoir); }
        void* allocateStorage(size_t size);
        void freeStorage();
        void* storage() { return usesReservoir() ? static_cast<void*>(&u.reservoir) : u.ext_data; }
        const void* storage() const { return usesReservoir() ? static_cast<const void*>(&u.reservoir) : u.ext_data; }

        uint32_t mType;
        size_t mSize;
        union {
            void* ext_data;
            uint32_t reservoir;
        } u;
    };

    KeyedVector<uint32_t, typed_data> mItems;
};

}  // namespace velmor
