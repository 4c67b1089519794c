// Looper: one thread and one time-ordered message queue. LooperRoster: the process-wide map
// from handler ids to (looper, handler) that routes posts and deliveries.
//
// Lock order: the roster lock is taken before a looper's lock; a looper releases its own lock
// before it hands a message to the roster for delivery.
#pragma once

#include <cstdint>
#include <list>

#include "engine/foundation/ByteString.h"
#include "engine/foundation/Handler.h"
#include "engine/foundation/Message.h"
#include "utils/Containers.h"
#include "utils/Errors.h"
#include "utils/Mutex.h"
#include "utils/RefCounted.h"
#include "utils/Thread.h"

namespace velmor {

class Looper : public RefCounted {
public:
    Looper();

    // The thread name used by start(); "Looper" when unset.
    void setName(const char* name);
    const char* getName() const { return mName.c_str(); }

    handler_id registerHandler(const Ref<Handler>& handler);
    void unregisterHandler(handler_id handlerID);

    // With runOnCallingThread the loop runs here and the call returns after stop().
    // hostRuntimeCalls only selects between two identical thread-creation paths.
    status_t start(bool runOnCallingThread = false, bool hostRuntimeCalls = false, int32_t priority = 0);
    // May be called from a handler on this looper's thread: it does not wait for itself and
    // the loop ends after the current message.
    status_t stop();

    // Microseconds of the monotonic clock.
    static int64_t GetNowUs();

    // True when the caller runs on this looper's own thread.
    bool isCurrentThread() const;

protected:
    ~Looper() override;

private:
    friend class LooperRoster;
    class LooperThread;

    struct Event {
        int64_t mWhenUs;
        Ref<Message> mMessage;
    };

    Looper(const Looper&) = delete;
    Looper& operator=(const Looper&) = delete;

    // Called by the roster with its lock held.
    void post(const Ref<Message>& msg, int64_t delayUs);
    // One pass of the loop; false once stopped.
    bool loop();

    mutable Mutex mLock;
    Condition mQueueChangedCondition;
    ByteString mName;
    std::list<Event> mEventQueue;
    Ref<LooperThread> mThread;
    bool mRunningLocally;
};

class LooperRoster {
public:
    // The one instance, created when the module loads and never destroyed.
    static LooperRoster& instance();

    handler_id registerHandler(const Ref<Looper>& looper, const Ref<Handler>& handler);
    void unregisterHandler(handler_id handlerID);
    status_t postMessage(const Ref<Message>& msg, int64_t delayUs = 0);
    void deliverMessage(const Ref<Message>& msg);
    Ref<Looper> findLooper(handler_id handlerID);

private:
    LooperRoster();
    LooperRoster(const LooperRoster&) = delete;
    LooperRoster& operator=(const LooperRoster&) = delete;

    struct HandlerInfo {
        WeakRef<Looper> mLooper;
        WeakRef<Handler> mHandler;
    };

    Mutex mLock;
    KeyedVector<handler_id, HandlerInfo> mHandlers;
    handler_id mNextHandlerID;
};

}  // namespace velmor
