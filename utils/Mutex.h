// Recursive mutex, scoped lock and condition variable.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "utils/Errors.h"

namespace velmor {

class Condition;

// Recursive for the owning thread.
class Mutex {
public:
    Mutex() = default;
    explicit Mutex(const char*) {}
    status_t lock() { mMutex.lock(); return OK; }
    void unlock() { mMutex.unlock(); }
    status_t tryLock() { return mMutex.try_lock() ? OK : WOULD_BLOCK; }

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

    // For std::unique_lock and std::condition_variable_any.
    void lock_native() { mMutex.lock(); }
    std::recursive_mutex& native() { return mMutex; }

private:
    friend class Condition;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    std::recursive_mutex mMutex;
};

typedef Mutex::Autolock Autolock;

class Condition {
public:
    Condition() = default;
    explicit Condition(int) {}
    // The caller holds the mutex once; it is released while waiting and held again on return.
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
