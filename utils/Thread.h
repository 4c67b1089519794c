// Threads: the Thread class with its exit handshake, and raw thread helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <thread>

#include "utils/Errors.h"
#include "utils/Mutex.h"
#include "utils/RefCounted.h"

namespace velmor {

enum {
    PRIORITY_DEFAULT = -255,
    PRIORITY_LOWEST = -253,
    PRIORITY_BELOW_NORMAL = -252,
    PRIORITY_NORMAL = -251,
    PRIORITY_ABOVE_NORMAL = -250,
    PRIORITY_HIGHEST = -249,
    PRIORITY_TIME_CRITICAL = -248,
};

// Sets the calling thread's name (cut to 15 characters).
void setCurrentThreadName(const char* name);

typedef int (*thread_entry_t)(void*);
// Creates a detached thread that runs entry(arg) and then logs "[name] thread exiting".
bool createRawThread(thread_entry_t entry, void* arg, const char* name);

struct JoinableThread;
typedef JoinableThread* thread_handle_t;
// Creates a joinable thread running routine(arg). Priority and stack size are accepted and not applied.
bool createJoinableThread(thread_handle_t* handle, void* (*routine)(void*), void* arg, size_t stack, bool joinable,
                          int32_t priority, const char* name = nullptr);
// Waits for the thread to end and frees the handle.
void joinThread(thread_handle_t handle);

class Thread : virtual public RefCounted {
public:
    explicit Thread(bool canCallHostRuntime = true);
    ~Thread() override;

    virtual status_t run(const char* name = nullptr, int32_t priority = PRIORITY_DEFAULT, size_t stack = 0);
    virtual void requestExit();
    virtual status_t readyToRun();
    status_t requestExitAndWait();
    bool isRunning() const;
    // The id of the running thread, 0 when not running.
    std::thread::id getThreadId() const;

protected:
    bool exitPending() const;

private:
    virtual bool threadLoop() = 0;
    static void body(Thread* self, std::string name);

    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    mutable Mutex mLock;
    Condition mThreadExitedCondition;
    status_t mStatus;
    volatile bool mExitPending;
    volatile bool mRunning;
    std::thread::id mThreadId;
    Ref<Thread> mHoldSelf;
    std::thread mThread;
    [[maybe_unused]] bool mCanCallHostRuntime;
};

}  // namespace velmor
