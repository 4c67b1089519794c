#include "engine/foundation/Looper.h"

#include <thread>

#include "utils/Log.h"

#define LOG_TAG "VEL_Looper"

namespace velmor {

// The thread a looper runs on when it is not run on the caller's thread.
class Looper::LooperThread : public Thread {
public:
    LooperThread(Looper* looper, bool hostRuntimeCalls) : Thread(hostRuntimeCalls), mLooper(looper) {}

    status_t readyToRun() override {
        mThreadId.store(std::this_thread::get_id());
        return Thread::readyToRun();
    }

    bool isCurrentThread() const { return mThreadId.load() == std::this_thread::get_id(); }

private:
    bool threadLoop() override { return mLooper->loop(); }

    // Raw: the looper owns this thread object, not the other way round.
    Looper* mLooper;
    std::atomic<std::thread::id> mThreadId{};
};

Looper::Looper() : mRunningLocally(false) {}

Looper::~Looper() { stop(); }

void Looper::setName(const char* name) {
    Autolock _l(mLock);
    mName.setTo(name);
}

int64_t Looper::GetNowUs() { return systemTime() / 1000; }

handler_id Looper::registerHandler(const Ref<Handler>& handler) {
    return LooperRoster::instance().registerHandler(this, handler);
}

void Looper::unregisterHandler(handler_id handlerID) { LooperRoster::instance().unregisterHandler(handlerID); }

bool Looper::isCurrentThread() const {
    Ref<LooperThread> thread;
    {
        Autolock _l(mLock);
        thread = mThread;
    }
    return thread != nullptr && thread->isCurrentThread();
}

status_t Looper::start(bool runOnCallingThread, bool hostRuntimeCalls, int32_t priority) {
    if (runOnCallingThread) {
        {
            Autolock _l(mLock);
            if (mThread != nullptr || mRunningLocally) return INVALID_OPERATION;
            mRunningLocally = true;
        }
        while (loop()) {
        }
        return OK;
    }

    Autolock _l(mLock);
    if (mThread != nullptr || mRunningLocally) return INVALID_OPERATION;
    mThread = new LooperThread(this, hostRuntimeCalls);
    const status_t err = mThread->run(mName.empty() ? "Looper" : mName.c_str(), priority);
    if (err != OK) mThread.clear();
    return err;
}

status_t Looper::stop() {
    Ref<LooperThread> thread;
    bool runningLocally;
    {
        Autolock _l(mLock);
        thread = mThread;
        runningLocally = mRunningLocally;
        mThread.clear();
        mRunningLocally = false;
    }
    if (thread == nullptr && !runningLocally) return INVALID_OPERATION;
    if (thread != nullptr) thread->requestExit();
    mQueueChangedCondition.signal();
    // From a handler on this looper's own thread the loop simply ends after the current
    // message; waiting for ourselves would never return.
    if (thread != nullptr && !thread->isCurrentThread()) thread->requestExitAndWait();
    return OK;
}

void Looper::post(const Ref<Message>& msg, int64_t delayUs) {
    Autolock _l(mLock);
    int64_t whenUs = GetNowUs();
    if (delayUs > 0) whenUs += delayUs;

    auto it = mEventQueue.begin();
    while (it != mEventQueue.end() && it->mWhenUs <= whenUs) ++it;
    // Only a new head changes what the loop waits for.
    if (it == mEventQueue.begin()) mQueueChangedCondition.signal();
    mEventQueue.insert(it, Event{whenUs, msg});
}

bool Looper::loop() {
    Event event;
    {
        Autolock _l(mLock);
        if (mThread == nullptr && !mRunningLocally) return false;
        if (mEventQueue.empty()) {
            mQueueChangedCondition.wait(mLock);
            return true;
        }
        const int64_t whenUs = mEventQueue.front().mWhenUs;
        const int64_t nowUs = GetNowUs();
        if (whenUs > nowUs) {
            mQueueChangedCondition.waitRelative(mLock, (whenUs - nowUs) * 1000);
            return true;
        }
        event = mEventQueue.front();
        mEventQueue.pop_front();
    }
    // The handler may drop the last reference to this looper: nothing of it is touched below.
    LooperRoster::instance().deliverMessage(event.mMessage);
    return true;
}

Ref<Looper> Handler::looper() const { return LooperRoster::instance().findLooper(id()); }

#undef LOG_TAG
#define LOG_TAG "VEL_LooperRoster"

// Constructed when the module loads; never destroyed, so looper threads that outlive static
// destruction still find it.
static LooperRoster& gLooperRoster = LooperRoster::instance();

LooperRoster& LooperRoster::instance() {
    static LooperRoster* roster = new LooperRoster;
    return *roster;
}

LooperRoster::LooperRoster() : mNextHandlerID(1) {}

handler_id LooperRoster::registerHandler(const Ref<Looper>& looper, const Ref<Handler>& handler) {
    Autolock _l(mLock);
    if (handler->id() != 0) return INVALID_OPERATION;
    const handler_id id = mNextHandlerID++;
    HandlerInfo info;
    info.mLooper = looper;
    info.mHandler = handler;
    mHandlers.add(id, info);
    handler->setID(id);
    return id;
}

void LooperRoster::unregisterHandler(handler_id handlerID) {
    Ref<Handler> handler;
    {
        Autolock _l(mLock);
        const ssize_t index = mHandlers.indexOfKey(handlerID);
        if (index < 0) return;
        handler = mHandlers.valueAt(static_cast<size_t>(index)).mHandler.promote();
        if (handler != nullptr) handler->setID(0);
        mHandlers.removeItemsAt(static_cast<size_t>(index));
    }
    // The handler's last reference may go here, outside the roster lock.
}

status_t LooperRoster::postMessage(const Ref<Message>& msg, int64_t delayUs) {
    Ref<Looper> looper;
    {
        Autolock _l(mLock);
        const ssize_t index = mHandlers.indexOfKey(msg->target());
        if (index < 0) {
            VLOGW("failed to post message. Target handler not registered.");
            return NAME_NOT_FOUND;
        }
        looper = mHandlers.valueAt(static_cast<size_t>(index)).mLooper.promote();
        if (looper == nullptr) {
            VLOGW("failed to post message. Target handler %d still registered, but object gone.", msg->target());
            mHandlers.removeItemsAt(static_cast<size_t>(index));
            return NAME_NOT_FOUND;
        }
        looper->post(msg, delayUs);
    }
    // Dropping the promoted reference may destroy the looper; that must not happen under the
    // roster lock, because the looper's teardown stops its thread.
    looper.clear();
    return OK;
}

void LooperRoster::deliverMessage(const Ref<Message>& msg) {
    Ref<Handler> handler;
    {
        Autolock _l(mLock);
        const ssize_t index = mHandlers.indexOfKey(msg->target());
        if (index < 0) {
            VLOGW("failed to deliver message. Target handler not registered.");
            return;
        }
        handler = mHandlers.valueAt(static_cast<size_t>(index)).mHandler.promote();
        if (handler == nullptr) {
            VLOGW("failed to deliver message. Target handler %d registered, but object gone.", msg->target());
            mHandlers.removeItemsAt(static_cast<size_t>(index));
            return;
        }
    }
    handler->onMessageReceived(msg);
}

Ref<Looper> LooperRoster::findLooper(handler_id handlerID) {
    Ref<Looper> looper;
    {
        Autolock _l(mLock);
        const ssize_t index = mHandlers.indexOfKey(handlerID);
        if (index < 0) return nullptr;
        looper = mHandlers.valueAt(static_cast<size_t>(index)).mLooper.promote();
        if (looper == nullptr) {
            mHandlers.removeItemsAt(static_cast<size_t>(index));
            return nullptr;
        }
    }
    return looper;
}

}  // namespace velmor
