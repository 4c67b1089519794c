#include "utils/Mutex.h"

#include <chrono>

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

status_t Condition::wait(Mutex& mutex) {
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
    const std::cv_status st = mCond.wait_for(mutex.mMutex, std::chrono::nanoseconds(remaining));
    return st == std::cv_status::timeout ? TIMED_OUT : OK;
}

void Condition::signal() { mCond.notify_one(); }
void Condition::broadcast() { mCond.notify_all(); }

}  // namespace velmor
