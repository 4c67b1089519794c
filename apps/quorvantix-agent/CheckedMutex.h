// A mutex that knows which thread holds it, so functions that expect the lock held (named `_l`)
// can assert it. The owner is tracked in every build; the assertion follows NDEBUG.
//
// Thread: any; lock()/unlock() as std::mutex, usable with std::lock_guard.
#pragma once

#include <atomic>
#include <cassert>
#include <mutex>
#include <thread>

namespace qvagent {

class CheckedMutex {
public:
    void lock() {
        mMutex.lock();
        mOwner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    void unlock() {
        mOwner.store(std::thread::id(), std::memory_order_relaxed);
        mMutex.unlock();
    }
    bool heldByThisThread() const { return mOwner.load(std::memory_order_relaxed) == std::this_thread::get_id(); }
    void assertHeld() const { assert(heldByThisThread() && "lock not held"); }

private:
    std::mutex mMutex;
    std::atomic<std::thread::id> mOwner{};  // written only by the thread holding mMutex
};

}  // namespace qvagent
