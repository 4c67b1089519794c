#include "engine/foundation/Message.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <list>

#include "engine/foundation/ByteBuffer.h"
#include "engine/foundation/Looper.h"
#include "engine/foundation/hexdump.h"
#include "utils/Log.h"
#include "utils/Mutex.h"

#define LOG_TAG "VEL_Message"

namespace velmor {

namespace {

// Buckets of interned names. std::list keeps the nodes (and so their characters) in place while
// a bucket grows. Allocated once and never freed: the pointers must outlive every static object.
struct NameTableState {
    Mutex lock;
    std::list<ByteString> buckets[NameTable::kNumBuckets];
    size_t count = 0;
};

NameTableState& nameTableState() {
    static NameTableState* state = new NameTableState;
    return *state;
}

const char kSpaces[] =
    "                                                                                ";  // 80

ByteString spaces(int32_t n) {
    if (n < 0) n = 0;
    if (n > 80) n = 80;
    return ByteString(kSpaces, static_cast<size_t>(n));
}

}  // namespace

uint32_t NameTable::hash(const char* name) {
    uint32_t h = 0;
    for (const char* p = name; *p; ++p) {
        h = h * 31u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
    }
    return h;
}

const char* NameTable::intern(const char* name) {
    if (!name) name = "";
    NameTableState& state = nameTableState();
    const uint32_t bucket = hash(name) % kNumBuckets;
    Autolock _l(state.lock);
    std::list<ByteString>& list = state.buckets[bucket];
    for (const ByteString& s : list) {
        if (s == name) return s.c_str();
    }
    list.emplace_back(name);
    ++state.count;
    return list.back().c_str();
}

const char* NameTable::find(const char* name) {
    if (!name) name = "";
    NameTableState& state = nameTableState();
    const uint32_t bucket = hash(name) % kNumBuckets;
    Autolock _l(state.lock);
    for (const ByteString& s : state.buckets[bucket]) {
        if (s == name) return s.c_str();
    }
    return nullptr;
}

size_t NameTable::size() {
    NameTableState& state = nameTableState();
    Autolock _l(state.lock);
    return state.count;
}

Message::Message(uint32_t what, handler_id target)
    : mWhat(static_cast<int32_t>(what)), mTarget(target), mNumItems(0) {}

Message::~Message() { clear(); }

void Message::clear() {
    for (size_t i = 0; i < mNumItems; ++i) freeItemValue(&mItems[i]);
    mNumItems = 0;
}

void Message::freeItemValue(Item* item) {
    switch (item->mType) {
        case kTypeString:
            delete item->u.stringValue;
            item->u.stringValue = nullptr;
            break;
        case kTypeObject:
        case kTypeMessage:
        case kTypeBuffer:
            if (item->u.refValue) item->u.refValue->decStrong(this);
            item->u.refValue = nullptr;
            break;
        default:
            break;
    }
}

Message::Item* Message::allocateItem(const char* name) {
    const char* interned = NameTable::intern(name);
    for (size_t i = 0; i < mNumItems; ++i) {
        if (mItems[i].mName == interned) {
            // Overwritten items keep their slot, whatever the new type.
            freeItemValue(&mItems[i]);
            return &mItems[i];
        }
    }
    CHECK_LT(mNumItems, static_cast<size_t>(kMaxNumItems));
    if (mNumItems >= kMaxNumItems) {
        log(LOG_ERROR, LOG_TAG, "message 0x%08x is full, item '%s' dropped", static_cast<uint32_t>(mWhat), interned);
        return nullptr;
    }
    Item* item = &mItems[mNumItems++];
    item->mName = interned;
    item->mType = kTypeInt32;
    item->u.int64Value = 0;
    return item;
}

const Message::Item* Message::findItem(const char* name, Type type) const {
    // A name that was never interned cannot name an item.
    const char* interned = NameTable::find(name);
    if (!interned) return nullptr;
    for (size_t i = 0; i < mNumItems; ++i) {
        const Item& item = mItems[i];
        if (item.mName == interned) return item.mType == type ? &item : nullptr;
    }
    return nullptr;
}

bool Message::contains(const char* name) const {
    const char* interned = NameTable::find(name);
    if (!interned) return false;
    for (size_t i = 0; i < mNumItems; ++i) {
        if (mItems[i].mName == interned) return true;
    }
    return false;
}

const char* Message::getEntryNameAt(size_t index, Type* type) const {
    if (index >= mNumItems) return nullptr;
    if (type) *type = mItems[index].mType;
    return mItems[index].mName;
}

#define BASIC_TYPE(NAME, FIELD, TYPENAME, TYPECODE)                      \
    void Message::set##NAME(const char* name, TYPENAME value) {         \
        Item* item = allocateItem(name);                                 \
        if (!item) return;                                               \
        item->mType = TYPECODE;                                          \
        item->u.FIELD = value;                                           \
    }                                                                    \
    bool Message::find##NAME(const char* name, TYPENAME* value) const { \
        const Item* item = findItem(name, TYPECODE);                     \
        if (!item) return false;                                         \
        *value = item->u.FIELD;                                          \
        return true;                                                     \
    }

BASIC_TYPE(Int32, int32Value, int32_t, kTypeInt32)
BASIC_TYPE(Int64, int64Value, int64_t, kTypeInt64)
BASIC_TYPE(Size, sizeValue, size_t, kTypeSize)
BASIC_TYPE(Float, floatValue, float, kTypeFloat)
BASIC_TYPE(Double, doubleValue, double, kTypeDouble)
BASIC_TYPE(Pointer, ptrValue, void*, kTypePointer)

#undef BASIC_TYPE

void Message::setString(const char* name, const char* s, ssize_t len) {
    if (!s) s = "";
    const size_t n = len < 0 ? strlen(s) : static_cast<size_t>(len);
    auto* copy = new ByteString(s, n);
    Item* item = allocateItem(name);
    if (!item) {
        delete copy;
        return;
    }
    item->mType = kTypeString;
    item->u.stringValue = copy;
}

bool Message::findString(const char* name, ByteString* value) const {
    const Item* item = findItem(name, kTypeString);
    if (!item) return false;
    *value = *item->u.stringValue;
    return true;
}

void Message::setRef(const char* name, Type type, RefCounted* obj) {
    // Take the new reference first: the old value of this slot may be the only holder.
    if (obj) obj->incStrong(this);
    Item* item = allocateItem(name);
    if (!item) {
        if (obj) obj->decStrong(this);
        return;
    }
    item->mType = type;
    item->u.refValue = obj;
}

void Message::setObject(const char* name, const Ref<RefCounted>& obj) { setRef(name, kTypeObject, obj.get()); }
void Message::setBuffer(const char* name, const Ref<ByteBuffer>& buffer) {
    setRef(name, kTypeBuffer, static_cast<RefCounted*>(buffer.get()));
}
void Message::setMessage(const char* name, const Ref<Message>& msg) {
    setRef(name, kTypeMessage, static_cast<RefCounted*>(msg.get()));
}

bool Message::findObject(const char* name, Ref<RefCounted>* obj) const {
    const Item* item = findItem(name, kTypeObject);
    if (!item) return false;
    *obj = item->u.refValue;
    return true;
}

bool Message::findBuffer(const char* name, Ref<ByteBuffer>* buffer) const {
    const Item* item = findItem(name, kTypeBuffer);
    if (!item) return false;
    *buffer = static_cast<ByteBuffer*>(item->u.refValue);
    return true;
}

bool Message::findMessage(const char* name, Ref<Message>* msg) const {
    const Item* item = findItem(name, kTypeMessage);
    if (!item) return false;
    *msg = static_cast<Message*>(item->u.refValue);
    return true;
}

void Message::setRect(const char* name, int32_t left, int32_t top, int32_t right, int32_t bottom) {
    Item* item = allocateItem(name);
    if (!item) return;
    item->mType = kTypeRect;
    item->u.rectValue = Rect{left, top, right, bottom};
}

bool Message::findRect(const char* name, int32_t* left, int32_t* top, int32_t* right, int32_t* bottom) const {
    const Item* item = findItem(name, kTypeRect);
    if (!item) return false;
    *left = item->u.rectValue.mLeft;
    *top = item->u.rectValue.mTop;
    *right = item->u.rectValue.mRight;
    *bottom = item->u.rectValue.mBottom;
    return true;
}

void Message::post(int64_t delayUs) {
    // Failures are logged by the roster and not reported to the poster.
    (void)LooperRoster::instance().postMessage(this, delayUs);
}

Ref<Message> Message::dup() const {
    Ref<Message> msg = new Message(static_cast<uint32_t>(mWhat), mTarget);
    msg->mNumItems = mNumItems;
    for (size_t i = 0; i < mNumItems; ++i) {
        const Item* from = &mItems[i];
        Item* to = &msg->mItems[i];
        to->mName = from->mName;
        to->mType = from->mType;
        switch (from->mType) {
            case kTypeString:
                to->u.stringValue = new ByteString(*from->u.stringValue);
                break;
            case kTypeObject:
            case kTypeBuffer:
                to->u.refValue = from->u.refValue;
                if (to->u.refValue) to->u.refValue->incStrong(msg.get());
                break;
            case kTypeMessage: {
                to->u.refValue = nullptr;
                if (from->u.refValue) {
                    Ref<Message> copy = static_cast<Message*>(from->u.refValue)->dup();
                    to->u.refValue = copy.get();
                    to->u.refValue->incStrong(msg.get());
                }
                break;
            }
            default:
                to->u = from->u;
                break;
        }
    }
    return msg;
}

namespace {

bool isFourCC(uint32_t what) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        if (!isprint(static_cast<int>((what >> shift) & 0xff))) return false;
    }
    return true;
}

}  // namespace

ByteString Message::debugString(int32_t indent) const {
    ByteString s = "Message(what = ";
    const uint32_t what = static_cast<uint32_t>(mWhat);
    if (isFourCC(what)) {
        s.append(StringPrintf("'%c%c%c%c'", static_cast<char>(what >> 24), static_cast<char>((what >> 16) & 0xff),
                              static_cast<char>((what >> 8) & 0xff), static_cast<char>(what & 0xff)));
    } else {
        s.append(StringPrintf("0x%08x", what));
    }
    if (mTarget != 0) s.append(StringPrintf(", target = %d", mTarget));
    s.append(") = {\n");

    for (size_t i = 0; i < mNumItems; ++i) {
        const Item& item = mItems[i];
        ByteString line;
        switch (item.mType) {
            case kTypeInt32:
                line = StringPrintf("int32_t %s = %d", item.mName, item.u.int32Value);
                break;
            case kTypeInt64:
                line = StringPrintf("int64_t %s = %lld", item.mName, static_cast<long long>(item.u.int64Value));
                break;
            case kTypeSize:
                line = StringPrintf("size_t %s = %d", item.mName, static_cast<int>(item.u.sizeValue));
                break;
            case kTypeFloat:
                line = StringPrintf("float %s = %f", item.mName, static_cast<double>(item.u.floatValue));
                break;
            case kTypeDouble:
                line = StringPrintf("double %s = %f", item.mName, item.u.doubleValue);
                break;
            case kTypePointer:
                line = StringPrintf("void *%s = %p", item.mName, item.u.ptrValue);
                break;
            case kTypeString:
                line = StringPrintf("string %s = \"%s\"", item.mName, item.u.stringValue->c_str());
                break;
            case kTypeObject:
                line = StringPrintf("RefCounted *%s = %p", item.mName, static_cast<void*>(item.u.refValue));
                break;
            case kTypeBuffer: {
                auto* buffer = static_cast<ByteBuffer*>(item.u.refValue);
                if (buffer != nullptr && buffer->size() <= 64) {
                    line = StringPrintf("Buffer %s = {\n", item.mName);
                    hexdump(buffer->data(), buffer->size(), static_cast<size_t>(indent + 4), &line);
                    line.append(spaces(indent + 2));
                    line.append("}");
                } else {
                    line = StringPrintf("Buffer *%s = %p", item.mName, static_cast<void*>(buffer));
                }
                break;
            }
            case kTypeMessage: {
                auto* nested = static_cast<Message*>(item.u.refValue);
                ByteString inner;
                if (nested) {
                    inner = nested->debugString(indent + static_cast<int32_t>(strlen(item.mName)) + 14);
                } else {
                    inner = "NULL";
                }
                line = StringPrintf("Message %s = %s", item.mName, inner.c_str());
                break;
            }
            case kTypeRect:
                line = StringPrintf("Rect %s(%d, %d, %d, %d)", item.mName, item.u.rectValue.mLeft,
                                    item.u.rectValue.mTop, item.u.rectValue.mRight, item.u.rectValue.mBottom);
                break;
        }
        s.append(spaces(indent));
        s.append("  ");
        s.append(line);
        s.append("\n");
    }
    s.append(spaces(indent));
    s.append("}");
    return s;
}

}  // namespace velmor
