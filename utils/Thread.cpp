#include "utils/Thread.h"

#include <pthread.h>

#include <string>

#include "utils/Log.h"

#define LOG_TAG "VEL_thread"

namespace velmor {

void setCurrentThreadName(const char* name) {
    char buf[16];
    snprintf(buf, sizeof(buf), "%s", name ? name : "velmor:unnamed");
    pthread_setname_np(pthread_self(), buf);
}

bool createRawThread(thread_entry_t entry, void* arg, const char* name) {
    std::string threadName = name ? name : "velmor:unnamed_thread";
    try {
        std::thread t([entry, arg, threadName]() {
            setCurrentThreadName(threadName.c_str());
            entry(arg);
            log(LOG_INFO, LOG_TAG, "[%s] thread exiting", threadName.c_str());
        });
        t.detach();
    } catch (...) {
        log(LOG_ERROR, LOG_TAG, "[%s] thread create failed", threadName.c_str());
        return false;
    }
    return true;
}

struct JoinableThread {
    std::thread thread;
};

bool createJoinableThread(thread_handle_t* handle, void* (*routine)(void*), void* arg, size_t, bool, int32_t,
                          const char* name) {
    std::string threadName = name ? name : "velmor:unnamed_thread";
    auto* jt = new JoinableThread;
    try {
        jt->thread = std::thread([routine, arg, threadName]() {
            setCurrentThreadName(threadName.c_str());
            routine(arg);
        });
    } catch (...) {
        delete jt;
        log(LOG_ERROR, LOG_TAG, "[%s] thread create failed", threadName.c_str());
        *handle = nullptr;
        return false;
    }
    *handle = jt;
    return true;
}

void joinThread(thread_handle_t handle) {
    if (!handle) return;
    if (handle->thread.joinable()) {
        if (handle->thread.get_id() == std::this_thread::get_id()) {
            handle->thread.detach();
        } else {
            handle->thread.join();
        }
    }
    delete handle;
}

Thread::Thread(bool canCallHostRuntime)
    : mStatus(OK), mExitPending(false), mRunning(false), mCanCallHostRuntime(canCallHostRuntime) {}

Thread::~Thread() {
    if (mThread.joinable()) {
        // The last reference may be dropped by the thread itself on its way out.
        if (mThread.get_id() == std::this_thread::get_id()) {
            mThread.detach();
        } else {
            mThread.join();
        }
    }
}

status_t Thread::readyToRun() { return OK; }

status_t Thread::run(const char* name, int32_t, size_t) {
    Mutex::Autolock _l(mLock);
    if (mRunning) return INVALID_OPERATION;
    if (mThread.joinable()) {
        // A previous run has finished its loop; reap it before starting again.
        if (mThread.get_id() == std::this_thread::get_id()) {
            mThread.detach();
        } else {
            mThread.join();
        }
    }
    mStatus = OK;
    mExitPending = false;
    mThreadId = std::thread::id();
    mHoldSelf = this;
    mRunning = true;
    std::string threadName = name ? name : "velmor:unnamed_thread";
    try {
        mThread = std::thread(&Thread::body, this, threadName);
    } catch (...) {
        mStatus = UNKNOWN_ERROR;
        mRunning = false;
        mThreadId = std::thread::id();
        log(LOG_ERROR, LOG_TAG, "[%s] thread create failed", threadName.c_str());
        // Dropping the self reference may destroy this object: release the lock first.
        Ref<Thread> self = mHoldSelf;
        mHoldSelf.clear();
        return UNKNOWN_ERROR;
    }
    return OK;
}

void Thread::body(Thread* self, std::string name) {
    setCurrentThreadName(name.c_str());
    Ref<Thread> strong;
    {
        Mutex::Autolock _l(self->mLock);
        self->mThreadId = std::this_thread::get_id();
        strong = self->mHoldSelf;
        self->mHoldSelf.clear();
    }
    bool first = true;
    do {
        bool result;
        if (first) {
            first = false;
            self->mStatus = self->readyToRun();
            result = (self->mStatus == OK);
            if (result && !self->exitPending()) result = self->threadLoop();
        } else {
            result = self->threadLoop();
        }
        if (!result || self->exitPending()) {
            Mutex::Autolock _l(self->mLock);
            self->mExitPending = true;
            self->mRunning = false;
            self->mThreadId = std::thread::id();
            self->mThreadExitedCondition.broadcast();
            break;
        }
    } while (true);
    log(LOG_INFO, LOG_TAG, "[%s] thread exiting", name.c_str());
    strong.clear();  // may destroy the object; nothing of it is touched afterwards
}

void Thread::requestExit() {
    Mutex::Autolock _l(mLock);
    mExitPending = true;
}

status_t Thread::requestExitAndWait() {
    std::thread toJoin;
    {
        Mutex::Autolock _l(mLock);
        if (mRunning && mThreadId == std::this_thread::get_id()) {
            log(LOG_WARN, "VEL_threads",
                "Thread (this=%p): don't call waitForExit() from this Thread object's thread. It's a guaranteed deadlock!",
                this);
            return WOULD_BLOCK;
        }
        mExitPending = true;
        while (mRunning) mThreadExitedCondition.wait(mLock);
        mExitPending = false;
        if (mThread.joinable()) toJoin = std::move(mThread);
    }
    if (toJoin.joinable()) toJoin.join();
    return mStatus;
}

bool Thread::isRunning() const {
    Mutex::Autolock _l(mLock);
    return mRunning;
}

std::thread::id Thread::getThreadId() const {
    Mutex::Autolock _l(mLock);
    return mThreadId;
}

bool Thread::exitPending() const {
    Mutex::Autolock _l(mLock);
    return mExitPending;
}

}  // namespace velmor
