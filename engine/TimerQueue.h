// A single-thread timer queue: callers post reference-counted events with an absolute due time
// in microseconds of the monotonic clock (GetNowUs), and the queue's own worker thread fires
// each event when it is due, in due-time order. Events with equal due times fire in the order
// they were posted. Events also carry a small store of named values.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include <sys/types.h>

#include "utils/Containers.h"
#include "utils/Mutex.h"
#include "utils/RefCounted.h"
#include "utils/Thread.h"

namespace velmor {

// Returns the process-wide interned form of a name: equal names give the same pointer, which
// stays valid for the life of the process.
const char* internName(const char* name);

class TimerQueue {
public:
    class Event : public RefCounted {
    public:
        // Room of the named-value store.
        static constexpr size_t kMaxEntries = 64;

        Event();
        ~Event() override;

        // The id handed out when the event was posted; 0 while it is not queued.
        int32_t eventID() const { return mEventID.load(std::memory_order_relaxed); }

        // Runs on the queue's worker thread with no queue lock held; may post to or cancel on
        // the same queue.
        virtual void fire(TimerQueue* queue, int64_t nowUs) = 0;

        // Setting a name that is present replaces its value (whatever its type). A new name is
        // refused (false) once the store holds kMaxEntries names.
        bool setInt32(const char* name, int32_t value);
        bool setInt64(const char* name, int64_t value);
        // A negative length takes the text up to its NUL.
        bool setString(const char* name, const char* text, ssize_t length = -1);
        // A find succeeds only when an entry with that name holds that type.
        bool findInt32(const char* name, int32_t* value) const;
        bool findInt64(const char* name, int64_t* value) const;
        bool findString(const char* name, std::string* value) const;
        // Number of stored entries.
        size_t countEntries() const { return mNumEntries; }

    private:
        friend class TimerQueue;
        enum Type { kTypeInt32 = 0, kTypeInt64 = 1, kTypeString = 2 };
        struct Item {
            const char* name;  // interned
            Type type;
            union {
                int32_t int32Value;
                int64_t int64Value;
                std::string* stringValue;
            } u;
        };

        // Finds the entry of an interned name, or null.
        Item* findItem(const char* interned, Type type) const;
        // The entry to overwrite for an interned name (its old string freed), or a new one;
        // null when the store is full.
        Item* allocateItem(const char* interned);
        static void freeItemValue(Item* item);

        std::atomic<int32_t> mEventID;
        Item mItems[kMaxEntries];
        size_t mNumEntries;

        Event(const Event&) = delete;
        Event& operator=(const Event&) = delete;
    };

    // Firing it ends the worker loop.
    class StopEvent : public Event {
    public:
        void fire(TimerQueue* queue, int64_t nowUs) override;
    };

    // An event that calls a member function of its owner. The owner must outlive every queued
    // copy: it cancels its events and stops the queue before it goes away.
    template <typename T>
    class MethodEvent : public Event {
    public:
        typedef void (T::*Method)();
        MethodEvent(T* owner, Method method, const char* name = "") : mOwner(owner), mMethod(method), mName(name) {}
        void fire(TimerQueue*, int64_t) override { (mOwner->*mMethod)(); }
        const char* name() const { return mName.c_str(); }

    private:
        T* mOwner;
        Method mMethod;
        std::string mName;
    };

    // cookie and the queued event; returns true to select the event.
    typedef bool (*EventPredicate)(void* cookie, const Ref<Event>& event);

    // The name is given to the worker thread (at most 15 characters are kept).
    explicit TimerQueue(const char* threadName = "TimerQueue");
    // Stops the queue without flushing.
    ~TimerQueue();

    // Starts the worker thread; does nothing when it runs already.
    void start();
    // Ends the worker thread and empties the queue. Without flush, pending events are dropped;
    // with flush, every event queued so far fires first. Must not be called from an event.
    void stop(bool flush = false);
    bool isRunning() const;
    // True on the worker thread (inside an event's fire).
    bool isWorkerThread() const;
    // For an owner that goes away inside one of this queue's events, on the worker thread,
    // where stop() cannot join: ends the loop once the current event returns and deletes this
    // queue (allocated with new) on the worker thread then. Pending events are dropped.
    void deleteFromWorkerThread();

    // Ahead of every timed event (behind a pending non-flushing stop).
    int32_t postEvent(const Ref<Event>& event);
    // Behind every queued event.
    int32_t postEventToBack(const Ref<Event>& event);
    // Due delayUs microseconds from now.
    int32_t postEventWithDelay(const Ref<Event>& event, int64_t delayUs);
    // Due at an absolute GetNowUs() time; returns the id given to the event.
    int32_t postTimedEvent(const Ref<Event>& event, int64_t realtimeUs);

    // Removes the queued event with this id; false when it is not queued (fired, cancelled or
    // never posted). Id 0 never matches.
    bool cancelEvent(int32_t id);
    // Removes every queued event the predicate selects, or only the first when stopAfterFirst.
    // Returns the number removed.
    size_t cancelEvents(EventPredicate predicate, void* cookie, bool stopAfterFirst = false);
    // Removes every queued event.
    size_t cancelAllEvents();

    // Number of queued events.
    size_t size() const;

    // Longest single wait of the worker, in microseconds; a later due time is reached through
    // repeated waits, so a clock that jumps is noticed within this time.
    static constexpr int64_t kMaxTimedWaitUs = 10000000LL;
    // Changes the longest single wait (tests use a short one to exercise repeated waits).
    void setMaxTimedWaitUs(int64_t us);
    // The wait the worker takes for a front event due at realtimeUs when the clock reads nowUs:
    // 0 when it is due (or has no time: negative or INT64_MAX), else the delay capped at
    // maxWaitUs; *capped tells whether the cap applied.
    static int64_t computeWaitUs(int64_t realtimeUs, int64_t nowUs, int64_t maxWaitUs, bool* capped);

private:
    struct QueueItem {
        Ref<Event> event;
        int64_t realtime_us;
    };

    static void* threadEntry(void* me);
    void threadLoop();
    Ref<Event> removeEventFromQueue_l(int32_t id);
    void setStopped();

    thread_handle_t mThread;
    List<QueueItem> mQueue;
    mutable Mutex mLock;
    Condition mQueueNotEmptyCondition;
    Condition mQueueHeadChangedCondition;
    int32_t mNextEventID;
    bool mRunning;
    bool mStopped;
    bool mDeleteOnExit;
    thread_handle_t mOwnHandle;  // the worker's handle once it is to delete the queue
    std::thread::id mWorkerId;
    int64_t mMaxTimedWaitUs;
    std::string mThreadName;

    TimerQueue(const TimerQueue&) = delete;
    TimerQueue& operator=(const TimerQueue&) = delete;
};

}  // namespace velmor
