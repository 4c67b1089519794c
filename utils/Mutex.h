// Recursive mutex, scoped lock and condition variable.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "utils/Errors.h"

namespace velmor {

class Condition;

// Debug-build assertion for the engine's own thread and lock rules (`_l` functions, "runs on the
// queue thread"). Release builds compile it away; a failure prints the condition and aborts.
#ifdef NDEBUG
#define QV_ASSERT(cond, what) ((void)0)
#else
#define QV_ASSERT(cond, what) \
    ((cond) ? (void)0 : ::velmor::assertionFailed(#cond, what, __FILE__, __LINE__))
#endif
[[noreturn]] void assertionFailed(const char* cond, const char* what, const char* file, int line);

// Recursive for the owning thread. The mutex knows its owner and depth, so a function that
// expects it held can say so (assertHeld) and a condition wait can refuse a nested hold, which it
// would release only one level of.
class Mutex {
public:
    Mutex() = default;
    explicit Mutex(const char*) {}
    status_t lock() {
        mMutex.lock();
        noteLocked();
        return OK;
    }
    void unlock() {
        if (--mDepth == 0) mOwner.store(std::thread::id(), std::memory_order_relaxed);
        mMutex.unlock();
    }
    status_t tryLock() {
        if (!mMutex.try_lock()) return WOULD_BLOCK;
        noteLocked();
        return OK;
    }
    // True when the calling thread holds the mutex.
    bool heldByMe() const { return mOwner.load(std::memory_order_relaxed) == std::this_thread::get_id(); }
    // How many times the calling thread holds it (0 when another thread or nobody does).
    int holdDepth() const { return heldByMe() ? mDepth : 0; }
    // Debug builds: abort unless the calling thread holds the mutex.
    void assertHeld() const { QV_ASSERT(heldByMe(), "lock not held by this thread"); }
    // Debug builds: abort if the calling thread holds the mutex (before a blocking call).
    void assertNotHeld() const { QV_ASSERT(!heldByMe(), "lock held across a blocking call"); }

    class Autolock {
    public:
        explicit Autolock(Mutex& mutex, const char* name = nullptr);
        explicit Autolock(Mutex* mutex, const char* name = nullptr) : Autolock(*mutex, name) {}
        ~Autolock();
    private:
        Mutex& mLock;
        std::string mName;
        bool mNamed;
    };

private:
    friend class Condition;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void noteLocked() {
        if (mDepth++ == 0) mOwner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    std::recursive_mutex mMutex;
    // --- Written only by the holder of mMutex; read by anyone (heldByMe compares with itself).
    std::atomic<std::thread::id> mOwner{};
    int mDepth = 0;
};

typedef Mutex::Autolock Autolock;

class Condition {
public:
    Condition() = default;
    explicit Condition(int) {}
    // The caller holds the mutex exactly once (asserted in debug builds: a nested hold would stay
    // held while waiting); it is released while waiting and held again on return.
    status_t wait(Mutex& mutex);
    // OK after a wake-up, TIMED_OUT when the time ran out (also at once for reltime <= 0).
    status_t waitRelative(Mutex& mutex, int64_t reltimeNs);
    void signal();
    void broadcast();

private:
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;
    std::condition_variable_any mCond;
};

}  // namespace velmor
