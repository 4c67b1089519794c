// Intrusive reference counting with strong and weak references.
//
// Every RefCounted object owns a small count record that outlives the object while weak
// references exist. The first strong reference calls onFirstRef(); dropping the last strong
// reference calls onLastStrongRef() and destroys the object. A WeakRef can be promoted to a
// Ref, which is null once the object is gone.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace velmor {

class RefCounted {
public:
    void incStrong(const void* id = nullptr) const;
    void decStrong(const void* id = nullptr) const;
    int32_t getStrongCount() const;

    class WeakRefs {
    public:
        RefCounted* object() const;
        void incWeak(const void* id = nullptr);
        void decWeak(const void* id = nullptr);
        // Takes a strong reference if the object is still alive.
        bool attemptIncStrong(const void* id = nullptr);
        int32_t getWeakCount() const;
    };

    WeakRefs* createWeak(const void* id = nullptr) const;
    WeakRefs* getWeakRefs() const;

protected:
    RefCounted();
    virtual ~RefCounted();

    virtual void onFirstRef();
    virtual void onLastStrongRef(const void* id);
    virtual bool onIncStrongAttempted(uint32_t flags, const void* id);
    virtual void onLastWeakRef(const void* id);

private:
    friend class WeakRefs;
    class WeakRefImpl;
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;

    WeakRefImpl* const mRefs;
};

template <typename T> class WeakRef;

template <typename T>
class Ref {
public:
    Ref() : mPtr(nullptr) {}
    Ref(T* other) : mPtr(other) { if (other) other->incStrong(this); }  // NOLINT: implicit by design
    Ref(const Ref<T>& other) : mPtr(other.mPtr) { if (mPtr) mPtr->incStrong(this); }
    Ref(Ref<T>&& other) noexcept : mPtr(other.mPtr) { other.mPtr = nullptr; }
    template <typename U> Ref(U* other) : mPtr(other) { if (other) mPtr->incStrong(this); }  // NOLINT
    template <typename U> Ref(const Ref<U>& other) : mPtr(other.get()) { if (mPtr) mPtr->incStrong(this); }
    template <typename U> Ref(Ref<U>&& other) noexcept : mPtr(other.get()) { other.mPtr = nullptr; }
    ~Ref() { if (mPtr) mPtr->decStrong(this); }

    Ref& operator=(const Ref<T>& other) { return assign(other.mPtr); }
    Ref& operator=(Ref<T>&& other) noexcept {
        if (this != &other) {
            T* old = mPtr;
            mPtr = other.mPtr;
            other.mPtr = nullptr;
            if (old) old->decStrong(this);
        }
        return *this;
    }
    Ref& operator=(T* other) { return assign(other); }
    template <typename U> Ref& operator=(const Ref<U>& other) { return assign(other.get()); }
    template <typename U> Ref& operator=(U* other) { return assign(other); }

    void clear() {
        T* old = mPtr;
        mPtr = nullptr;
        if (old) old->decStrong(this);
    }

    T& operator*() const { return *mPtr; }
    T* operator->() const { return mPtr; }
    T* get() const { return mPtr; }
    explicit operator bool() const { return mPtr != nullptr; }

    template <typename U> bool operator==(const Ref<U>& o) const { return mPtr == o.get(); }
    template <typename U> bool operator!=(const Ref<U>& o) const { return mPtr != o.get(); }
    bool operator==(const T* o) const { return mPtr == o; }
    bool operator!=(const T* o) const { return mPtr != o; }
    bool operator==(std::nullptr_t) const { return mPtr == nullptr; }
    bool operator!=(std::nullptr_t) const { return mPtr != nullptr; }
    bool operator<(const Ref<T>& o) const { return mPtr < o.mPtr; }

    // Adopts a pointer whose strong reference was already taken.
    void forceSet(T* other) { mPtr = other; }

private:
    template <typename U> friend class Ref;
    template <typename U> friend class WeakRef;

    template <typename U> Ref& assign(U* other) {
        T* incoming = other;
        if (incoming) incoming->incStrong(this);
        T* old = mPtr;
        mPtr = incoming;
        if (old) old->decStrong(this);
        return *this;
    }

    T* mPtr;
};

template <typename T>
class WeakRef {
public:
    WeakRef() : mPtr(nullptr), mRefs(nullptr) {}
    WeakRef(T* other) : mPtr(other), mRefs(other ? other->createWeak(this) : nullptr) {}  // NOLINT
    WeakRef(const Ref<T>& other) : WeakRef(other.get()) {}  // NOLINT
    template <typename U> WeakRef(const Ref<U>& other) : WeakRef(static_cast<T*>(other.get())) {}  // NOLINT
    WeakRef(const WeakRef<T>& other) : mPtr(other.mPtr), mRefs(other.mRefs) {
        if (mPtr) mRefs->incWeak(this);
    }
    WeakRef(WeakRef<T>&& other) noexcept : mPtr(other.mPtr), mRefs(other.mRefs) {
        other.mPtr = nullptr;
        other.mRefs = nullptr;
    }
    ~WeakRef() { if (mPtr) mRefs->decWeak(this); }

    WeakRef& operator=(const WeakRef<T>& other) {
        if (this == &other) return *this;
        RefCounted::WeakRefs* refs = other.mRefs;
        if (other.mPtr) refs->incWeak(this);
        if (mPtr) mRefs->decWeak(this);
        mPtr = other.mPtr;
        mRefs = refs;
        return *this;
    }
    WeakRef& operator=(T* other) {
        RefCounted::WeakRefs* refs = other ? other->createWeak(this) : nullptr;
        if (mPtr) mRefs->decWeak(this);
        mPtr = other;
        mRefs = refs;
        return *this;
    }
    WeakRef& operator=(const Ref<T>& other) { return *this = other.get(); }

    Ref<T> promote() const {
        Ref<T> result;
        if (mPtr && mRefs->attemptIncStrong(&result)) result.forceSet(mPtr);
        return result;
    }
    void clear() {
        if (mPtr) {
            mRefs->decWeak(this);
            mPtr = nullptr;
            mRefs = nullptr;
        }
    }
    // The raw pointer, for identity comparisons only; the object may be gone.
    T* unsafe_get() const { return mPtr; }
    bool operator==(const WeakRef<T>& o) const { return mPtr == o.mPtr && mRefs == o.mRefs; }
    bool operator==(const T* o) const { return mPtr == o; }

private:
    T* mPtr;
    RefCounted::WeakRefs* mRefs;
};

}  // namespace velmor
