// Delivers the engine's notifications to the host's callback. Each notification becomes an
// event on the listener's own timed event queue, due 10 ms after it was raised; the queue's
// thread is the only thread that calls the host, one call at a time, in the order raised.
#pragma once

#include <cstdint>
#include <string>

#include "engine/PlayerBase.h"
#include "engine/TimerQueue.h"
#include "quorvantix/quorvantix.h"

namespace velmor {

class UiPlayerListener : public PlayerListener {
public:
    // Delay between raising a notification and handing it to the host, in microseconds.
    static constexpr int64_t kDeliveryDelayUs = 10000;

    // An event bound to its listener's delivery method; the notification travels in the
    // event's named values "msg", "ext1", "ext2" and, for subtitle cues, "subtitle".
    class UiReporterEvent : public TimerQueue::Event {
    public:
        typedef void (UiPlayerListener::*Method)(UiReporterEvent* event);
        UiReporterEvent(UiPlayerListener* owner, Method method) : mOwner(owner), mMethod(method) {}
        void fire(TimerQueue*, int64_t) override { (mOwner->*mMethod)(this); }
        const char* name() const { return mName.c_str(); }

    private:
        std::string mName;
        UiPlayerListener* mOwner;
        Method mMethod;
    };

    // Starts the delivery thread. callback may be null: notifications are then consumed silently.
    UiPlayerListener(VelmorNotifyCallback callback, void* userData);
    // Drops every notification not yet delivered and joins the delivery thread.
    ~UiPlayerListener() override;

    // Any thread. For msg 99 and 101 obj may carry a subtitle cue: int32 102, int32 7, int32
    // start time (ms), int32 17, the character-set name and the cue text as NUL-terminated
    // strings; a non-empty cue text reaches the host as the text argument.
    void notify(int32_t msg, int32_t ext1, int32_t ext2, const Payload* obj) override;

private:
    void onDeliver(UiReporterEvent* event);

    // On the heap: when the host drops the last reference from inside its callback, the queue
    // outlives the listener and its thread frees it.
    TimerQueue* mQueue;
    VelmorNotifyCallback mCallback;
    void* mUserData;

    UiPlayerListener(const UiPlayerListener&) = delete;
    UiPlayerListener& operator=(const UiPlayerListener&) = delete;
};

}  // namespace velmor
