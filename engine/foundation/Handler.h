// Message handlers and the reflector that forwards messages to a non-handler object.
#pragma once

#include <atomic>

#include "engine/foundation/Message.h"
#include "utils/RefCounted.h"

namespace velmor {

class Looper;
class LooperRoster;

class Handler : public RefCounted {
public:
    Handler() : mID(0) {}

    // 0 while not registered.
    handler_id id() const { return mID.load(std::memory_order_acquire); }
    // The looper this handler is registered with, null if none.
    Ref<Looper> looper() const;

protected:
    // Runs on the looper's thread, without the roster's or the looper's lock.
    virtual void onMessageReceived(const Ref<Message>& msg) = 0;

private:
    friend class LooperRoster;
    void setID(handler_id id) { mID.store(id, std::memory_order_release); }

    std::atomic<handler_id> mID;
};

// Forwards messages to T::onMessageReceived(const Ref<Message>&) while the target is alive;
// messages for a dead target are dropped. T must make onMessageReceived reachable (public, or
// declare HandlerReflector<T> a friend).
template <class T>
class HandlerReflector : public Handler {
public:
    explicit HandlerReflector(T* target) : mTarget(target) {}

protected:
    void onMessageReceived(const Ref<Message>& msg) override {
        Ref<T> target = mTarget.promote();
        if (target != nullptr) target->onMessageReceived(msg);
    }

private:
    WeakRef<T> mTarget;
};

}  // namespace velmor
