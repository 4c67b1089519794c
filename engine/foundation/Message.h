// Messages: a code, a target handler and up to 64 named, typed items.
//
// Item names are interned through the process-wide NameTable, so lookups compare pointers.
// A message is built by one thread, posted, and read by the handler's thread; it has no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "engine/foundation/ByteString.h"
#include "utils/Errors.h"
#include "utils/RefCounted.h"

namespace velmor {

class ByteBuffer;

typedef int32_t handler_id;

// Process-wide intern table for item names: 128 buckets of strings, guarded by one mutex.
// The returned pointers live as long as the process.
class NameTable {
public:
    enum { kNumBuckets = 128 };
    static const char* intern(const char* name);
    // The interned copy of name, or null when it was never interned (nothing is added).
    static const char* find(const char* name);
    // hash = hash * 31 + (signed char)byte, 32-bit wrapping, starting at 0.
    static uint32_t hash(const char* name);
    // Number of names interned so far (diagnostics and tests).
    static size_t size();
};

class Message : public RefCounted {
public:
    enum Type {
        kTypeInt32 = 0,
        kTypeInt64 = 1,
        kTypeSize = 2,
        kTypeFloat = 3,
        kTypeDouble = 4,
        kTypePointer = 5,
        kTypeString = 6,
        kTypeObject = 7,
        kTypeMessage = 8,
        kTypeRect = 9,
        kTypeBuffer = 10,
    };
    enum { kMaxNumItems = 64 };

    explicit Message(uint32_t what = 0, handler_id target = 0);

    void setWhat(uint32_t what) { mWhat = static_cast<int32_t>(what); }
    int32_t what() const { return mWhat; }
    void setTarget(handler_id target) { mTarget = target; }
    handler_id target() const { return mTarget; }

    // Frees all items.
    void clear();

    void setInt32(const char* name, int32_t value);
    void setInt64(const char* name, int64_t value);
    void setSize(const char* name, size_t value);
    void setFloat(const char* name, float value);
    void setDouble(const char* name, double value);
    void setPointer(const char* name, void* value);
    // A negative length means strlen(s).
    void setString(const char* name, const char* s, ssize_t len = -1);
    void setString(const char* name, const ByteString& s) { setString(name, s.c_str(), static_cast<ssize_t>(s.size())); }
    void setObject(const char* name, const Ref<RefCounted>& obj);
    void setBuffer(const char* name, const Ref<ByteBuffer>& buffer);
    void setMessage(const char* name, const Ref<Message>& msg);
    void setRect(const char* name, int32_t left, int32_t top, int32_t right, int32_t bottom);

    // Each returns false and leaves the output untouched when there is no item of that name
    // or the item has another type.
    bool findInt32(const char* name, int32_t* value) const;
    bool findInt64(const char* name, int64_t* value) const;
    bool findSize(const char* name, size_t* value) const;
    bool findFloat(const char* name, float* value) const;
    bool findDouble(const char* name, double* value) const;
    bool findPointer(const char* name, void** value) const;
    bool findString(const char* name, ByteString* value) const;
    bool findObject(const char* name, Ref<RefCounted>* obj) const;
    bool findBuffer(const char* name, Ref<ByteBuffer>* buffer) const;
    bool findMessage(const char* name, Ref<Message>* msg) const;
    bool findRect(const char* name, int32_t* left, int32_t* top, int32_t* right, int32_t* bottom) const;

    // True when an item of that name exists, whatever its type.
    bool contains(const char* name) const;
    size_t countEntries() const { return mNumItems; }
    // The name of the item in slot index and its type; null for an index past the end.
    const char* getEntryNameAt(size_t index, Type* type) const;

    // Hands the message to the looper roster; delivery failures are logged, not reported.
    void post(int64_t delayUs = 0);

    // A copy with the same what, target and items. Strings are copied, objects and buffers
    // shared, nested messages duplicated.
    Ref<Message> dup() const;

    // Diagnostic dump; indent must stay below 81.
    ByteString debugString(int32_t indent = 0) const;

protected:
    ~Message() override;

private:
    struct Rect {
        int32_t mLeft, mTop, mRight, mBottom;
    };
    struct Item {
        union {
            int32_t int32Value;
            int64_t int64Value;
            size_t sizeValue;
            float floatValue;
            double doubleValue;
            void* ptrValue;
            ByteString* stringValue;
            RefCounted* refValue;
            Rect rectValue;
        } u;
        const char* mName;
        Type mType;
    };

    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    // Returns the slot for name (reused in place after freeing its old value, or a new one);
    // null when all slots are taken.
    Item* allocateItem(const char* name);
    void freeItemValue(Item* item);
    const Item* findItem(const char* name, Type type) const;
    void setRef(const char* name, Type type, RefCounted* obj);

    int32_t mWhat;
    handler_id mTarget;
    Item mItems[kMaxNumItems];
    size_t mNumItems;
};

}  // namespace velmor
