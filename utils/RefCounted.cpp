#include "utils/RefCounted.h"

namespace velmor {

namespace {
// The strong count starts here so that the first incStrong can be recognised.
constexpr int32_t kInitialStrongValue = 1 << 28;
}

class RefCounted::WeakRefImpl : public RefCounted::WeakRefs {
public:
    explicit WeakRefImpl(RefCounted* base) : mStrong(kInitialStrongValue), mWeak(0), mBase(base), mFlags(0) {}
    std::atomic<int32_t> mStrong;
    std::atomic<int32_t> mWeak;
    RefCounted* const mBase;
    std::atomic<uint32_t> mFlags;
};

RefCounted::RefCounted() : mRefs(new WeakRefImpl(this)) {}

RefCounted::~RefCounted() {
    // An object destroyed without ever holding a strong reference owns its record, unless
    // weak references are still outstanding (the last of them frees the record).
    if (mRefs->mStrong.load(std::memory_order_relaxed) == kInitialStrongValue) {
        if (mRefs->mWeak.load(std::memory_order_relaxed) == 0) delete mRefs;
    }
}

void RefCounted::incStrong(const void* id) const {
    WeakRefImpl* const refs = mRefs;
    refs->incWeak(id);
    const int32_t c = refs->mStrong.fetch_add(1, std::memory_order_relaxed);
    if (c != kInitialStrongValue) return;
    refs->mStrong.fetch_sub(kInitialStrongValue, std::memory_order_relaxed);
    const_cast<RefCounted*>(this)->onFirstRef();
}

void RefCounted::decStrong(const void* id) const {
    WeakRefImpl* const refs = mRefs;
    // acq_rel: the thread that drops the last reference sees every write made through the other
    // references before it destroys the object (an acquire fence after a release decrement orders
    // the same, but ThreadSanitizer does not model fences and reports the destructor as a race).
    const int32_t c = refs->mStrong.fetch_sub(1, std::memory_order_acq_rel);
    if (c == 1) {
        const_cast<RefCounted*>(this)->onLastStrongRef(id);
        delete this;
    }
    // The record may outlive the object; drop the weak reference every strong one holds.
    refs->decWeak(id);
}

int32_t RefCounted::getStrongCount() const { return mRefs->mStrong.load(std::memory_order_relaxed); }

RefCounted* RefCounted::WeakRefs::object() const { return static_cast<const WeakRefImpl*>(this)->mBase; }

void RefCounted::WeakRefs::incWeak(const void*) {
    static_cast<WeakRefImpl*>(this)->mWeak.fetch_add(1, std::memory_order_relaxed);
}

void RefCounted::WeakRefs::decWeak(const void* id) {
    WeakRefImpl* const impl = static_cast<WeakRefImpl*>(this);
    const int32_t c = impl->mWeak.fetch_sub(1, std::memory_order_acq_rel);  // as in decStrong
    if (c != 1) return;
    if (impl->mStrong.load(std::memory_order_relaxed) == kInitialStrongValue) {
        // Never strongly referenced: the last weak reference owns the object.
        delete impl->mBase;  // frees the record in the destructor (weak count is 0 now)
    } else {
        // Every strong reference holds a weak one, so the object already went with its last
        // strong reference: only the record is left, and the object must not be touched.
        delete impl;
    }
}

bool RefCounted::WeakRefs::attemptIncStrong(const void* id) {
    incWeak(id);
    WeakRefImpl* const impl = static_cast<WeakRefImpl*>(this);
    int32_t curCount = impl->mStrong.load(std::memory_order_relaxed);
    while (curCount > 0 && curCount != kInitialStrongValue) {
        if (impl->mStrong.compare_exchange_weak(curCount, curCount + 1, std::memory_order_relaxed)) break;
    }
    if (curCount <= 0) {
        decWeak(id);
        return false;
    }
    if (curCount == kInitialStrongValue) {
        // First strong reference made through a weak one.
        if (!impl->mBase->onIncStrongAttempted(1, id)) {
            decWeak(id);
            return false;
        }
        curCount = impl->mStrong.fetch_add(1, std::memory_order_relaxed);
        if (curCount == kInitialStrongValue) {
            impl->mStrong.fetch_sub(kInitialStrongValue, std::memory_order_relaxed);
            impl->mBase->onFirstRef();
        }
    }
    return true;
}

int32_t RefCounted::WeakRefs::getWeakCount() const {
    return static_cast<const WeakRefImpl*>(this)->mWeak.load(std::memory_order_relaxed);
}

RefCounted::WeakRefs* RefCounted::createWeak(const void* id) const {
    mRefs->incWeak(id);
    return mRefs;
}

RefCounted::WeakRefs* RefCounted::getWeakRefs() const { return mRefs; }

void RefCounted::onFirstRef() {}
void RefCounted::onLastStrongRef(const void*) {}
bool RefCounted::onIncStrongAttempted(uint32_t, const void*) { return true; }
void RefCounted::onLastWeakRef(const void*) {}

}  // namespace velmor
