#include "utils/Mutex.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "utils/Log.h"

#define LOG_TAG "VEL_PlayerFront"

namespace velmor {

Mutex::Autolock::Autolock(Mutex& mutex, const char* name) : mLock(mutex), mNamed(name != nullptr) {
    if (mNamed) mName = name;
    if (mNamed) VLOGI("Autolock(%s) lock", mName.c_str());
    mLock.lock();
}

Mutex::Autolock::~Autolock() {
    mLock.unlock();
    if (mNamed) VLOGI("Autolock(%s) unlock", mName.c_str());
}

void assertionFailed(const char* cond, const char* what, const char* file, int line) {
    fprintf(stderr, "assertion failed: %s (%s) at %s:%d\n", what, cond, file, line);
    abort();
}

namespace {
// Hands the mutex's owner record to the waiting thread's condition wait and back.
struct OwnerHandOff {
    explicit OwnerHandOff(Mutex& mutex, std::atomic<std::thread::id>& owner, int& depth)
        : mOwner(owner), mDepth(depth) {
        QV_ASSERT(mutex.heldByMe(), "condition wait without the lock");
        QV_ASSERT(depth == 1, "condition wait on a lock held more than once");
        mSavedDepth = depth;
        depth = 0;
        owner.store(std::thread::id(), std::memory_order_relaxed);
    }
    ~OwnerHandOff() {
        mOwner.store(std::this_thread::get_id(), std::memory_order_relaxed);
        mDepth = mSavedDepth;
    }
    std::atomic<std::thread::id>& mOwner;
    int& mDepth;
    int mSavedDepth = 0;
};
}  // namespace

status_t Condition::wait(Mutex& mutex) {
    OwnerHandOff handOff(mutex, mutex.mOwner, mutex.mDepth);
    mCond.wait(mutex.mMutex);
    return OK;
}

status_t Condition::waitRelative(Mutex& mutex, int64_t reltimeNs) {
    const int64_t deadline = systemTime() + (reltimeNs > 0 ? reltimeNs : 0);
    const int64_t remaining = deadline - systemTime();
    if (remaining <= 0) {
        // Give other threads a chance at the mutex, as a zero-length wait would.
        mutex.unlock();
        mutex.lock();
        return TIMED_OUT;
    }
    OwnerHandOff handOff(mutex, mutex.mOwner, mutex.mDepth);
    const std::cv_status st = mCond.wait_for(mutex.mMutex, std::chrono::nanoseconds(remaining));
    return st == std::cv_status::timeout ? TIMED_OUT : OK;
}

void Condition::signal() { mCond.notify_one(); }
void Condition::broadcast() { mCond.notify_all(); }

}  // namespace velmor
