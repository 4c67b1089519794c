#include "engine/TimerQueue.h"

#include <cstring>
#include <mutex>
#include <string_view>
#include <unordered_set>

#include "utils/Log.h"

#define LOG_TAG "VEL_TimerQueue"

namespace velmor {

// ---------------------------------------------------------------------------------------------
// Name interning

const char* internName(const char* name) {
    if (!name) name = "";
    // Never destroyed: events may outlive static destruction and compare names until the end.
    static std::mutex* lock = new std::mutex;
    static std::unordered_set<std::string>* table = new std::unordered_set<std::string>;
    std::lock_guard<std::mutex> guard(*lock);
    // Set nodes do not move on rehash, so the returned pointer stays valid.
    return table->emplace(name).first->c_str();
}

// ---------------------------------------------------------------------------------------------
// TimerQueue::Event

TimerQueue::Event::Event() : mEventID(0), mNumEntries(0) {}

TimerQueue::Event::~Event() {
    for (size_t i = 0; i < mNumEntries; ++i) freeItemValue(&mItems[i]);
    mNumEntries = 0;
}

void TimerQueue::Event::freeItemValue(Item* item) {
    if (item->type == kTypeString) {
        delete item->u.stringValue;
        item->u.stringValue = nullptr;
    }
}

TimerQueue::Event::Item* TimerQueue::Event::findItem(const char* interned, Type type) const {
    for (size_t i = 0; i < mNumEntries; ++i) {
        const Item& item = mItems[i];
        if (item.name == interned) {
            return item.type == type ? const_cast<Item*>(&item) : nullptr;
        }
    }
    return nullptr;
}

TimerQueue::Event::Item* TimerQueue::Event::allocateItem(const char* interned) {
    for (size_t i = 0; i < mNumEntries; ++i) {
        if (mItems[i].name == interned) {
            freeItemValue(&mItems[i]);
            return &mItems[i];
        }
    }
    if (mNumEntries >= kMaxEntries) return nullptr;
    Item* item = &mItems[mNumEntries++];
    item->name = interned;
    return item;
}

bool TimerQueue::Event::setInt32(const char* name, int32_t value) {
    Item* item = allocateItem(internName(name));
    if (!item) return false;
    item->type = kTypeInt32;
    item->u.int32Value = value;
    return true;
}

bool TimerQueue::Event::setInt64(const char* name, int64_t value) {
    Item* item = allocateItem(internName(name));
    if (!item) return false;
    item->type = kTypeInt64;
    item->u.int64Value = value;
    return true;
}

bool TimerQueue::Event::setString(const char* name, const char* text, ssize_t length) {
    Item* item = allocateItem(internName(name));
    if (!item) return false;
    std::string* copy;
    if (!text) {
        copy = new std::string;
    } else if (length < 0) {
        copy = new std::string(text);
    } else {
        copy = new std::string(text, static_cast<size_t>(length));
    }
    item->type = kTypeString;
    item->u.stringValue = copy;
    return true;
}

bool TimerQueue::Event::findInt32(const char* name, int32_t* value) const {
    const Item* item = findItem(internName(name), kTypeInt32);
    if (!item) return false;
    if (value) *value = item->u.int32Value;
    return true;
}

bool TimerQueue::Event::findInt64(const char* name, int64_t* value) const {
    const Item* item = findItem(internName(name), kTypeInt64);
    if (!item) return false;
    if (value) *value = item->u.int64Value;
    return true;
}

bool TimerQueue::Event::findString(const char* name, std::string* value) const {
    const Item* item = findItem(internName(name), kTypeString);
    if (!item) return false;
    if (value) *value = *item->u.stringValue;
    return true;
}

void TimerQueue::StopEvent::fire(TimerQueue* queue, int64_t) { queue->setStopped(); }

// ---------------------------------------------------------------------------------------------
// TimerQueue

TimerQueue::TimerQueue(const char* threadName)
    : mThread(nullptr),
      mNextEventID(1),
      mRunning(false),
      mStopped(false),
      mDeleteOnExit(false),
      mOwnHandle(nullptr),
      mMaxTimedWaitUs(kMaxTimedWaitUs),
      mThreadName(threadName ? threadName : "TimerQueue") {}

TimerQueue::~TimerQueue() { stop(false); }

void TimerQueue::start() {
    Autolock _l(mLock);
    if (mRunning) return;
    mStopped = false;
    if (!createJoinableThread(&mThread, threadEntry, this, 0, true, PRIORITY_DEFAULT, mThreadName.c_str())) {
        VLOGE("could not start the timer thread");
        mThread = nullptr;
        return;
    }
    mRunning = true;
}

void TimerQueue::stop(bool flush) {
    thread_handle_t thread;
    {
        Autolock _l(mLock);
        if (!mRunning || !mThread) return;
        if (mWorkerId == std::this_thread::get_id()) {
            // The worker cannot join itself: end the loop after the current event and let
            // the thread go. The owner must not free the queue before that (see
            // deleteFromWorkerThread).
            VLOGE("stop called from the timer thread itself");
            mStopped = true;
            thread = mThread;
            mThread = nullptr;
            joinThread(thread);
            return;
        }
        thread = mThread;
        // A second concurrent stop finds no thread and leaves the join to the first.
        mThread = nullptr;
    }
    postTimedEvent(new StopEvent, flush ? INT64_MAX : INT64_MIN);
    joinThread(thread);

    List<QueueItem> dropped;
    {
        Autolock _l(mLock);
        for (QueueItem& item : mQueue) item.event->mEventID = 0;
        dropped.swap(mQueue);
        mRunning = false;
        mWorkerId = std::thread::id();
    }
    // The events are released here, without the lock.
}

bool TimerQueue::isRunning() const {
    Autolock _l(mLock);
    return mRunning;
}

bool TimerQueue::isWorkerThread() const {
    Autolock _l(mLock);
    return mWorkerId == std::this_thread::get_id();
}

void TimerQueue::deleteFromWorkerThread() {
    Autolock _l(mLock);
    mStopped = true;
    mDeleteOnExit = true;
    // The worker frees its own handle on the way out; stop() from the destructor finds none.
    mOwnHandle = mThread;
    mThread = nullptr;
}

void TimerQueue::setMaxTimedWaitUs(int64_t us) {
    Autolock _l(mLock);
    mMaxTimedWaitUs = us > 0 ? us : 1;
    mQueueHeadChangedCondition.signal();
}

void TimerQueue::setStopped() {
    Autolock _l(mLock);
    mStopped = true;
}

int32_t TimerQueue::postEvent(const Ref<Event>& event) { return postTimedEvent(event, INT64_MIN + 1); }

int32_t TimerQueue::postEventToBack(const Ref<Event>& event) { return postTimedEvent(event, INT64_MAX); }

int32_t TimerQueue::postEventWithDelay(const Ref<Event>& event, int64_t delayUs) {
    const int64_t now = GetNowUs();
    // A delay so long that the sum would overflow lands just before the back.
    const int64_t when = (delayUs > 0 && delayUs > INT64_MAX - 1 - now) ? INT64_MAX - 1 : now + delayUs;
    return postTimedEvent(event, when);
}

int32_t TimerQueue::postTimedEvent(const Ref<Event>& event, int64_t realtimeUs) {
    Autolock _l(mLock);
    const int32_t id = mNextEventID++;
    event->mEventID = id;

    auto it = mQueue.begin();
    while (it != mQueue.end() && it->realtime_us <= realtimeUs) ++it;
    if (it == mQueue.begin()) mQueueHeadChangedCondition.signal();
    mQueue.insert(it, QueueItem{event, realtimeUs});
    mQueueNotEmptyCondition.signal();
    return id;
}

namespace {
bool matchesEventID(void* cookie, const Ref<TimerQueue::Event>& event) {
    return event->eventID() == *static_cast<const int32_t*>(cookie);
}
bool matchesAll(void*, const Ref<TimerQueue::Event>&) { return true; }
}  // namespace

bool TimerQueue::cancelEvent(int32_t id) {
    if (id == 0) return false;
    return cancelEvents(matchesEventID, &id, true) > 0;
}

size_t TimerQueue::cancelAllEvents() { return cancelEvents(matchesAll, nullptr, false); }

size_t TimerQueue::cancelEvents(EventPredicate predicate, void* cookie, bool stopAfterFirst) {
    List<QueueItem> removed;
    {
        Autolock _l(mLock);
        auto it = mQueue.begin();
        while (it != mQueue.end()) {
            if (!predicate(cookie, it->event)) {
                ++it;
                continue;
            }
            if (it == mQueue.begin()) mQueueHeadChangedCondition.signal();
            it->event->mEventID = 0;
            auto next = std::next(it);
            removed.splice(removed.end(), mQueue, it);
            it = next;
            if (stopAfterFirst) break;
        }
    }
    // Releasing the list's references may destroy events; do it without the lock.
    return removed.size();
}

size_t TimerQueue::size() const {
    Autolock _l(mLock);
    return mQueue.size();
}

int64_t TimerQueue::computeWaitUs(int64_t realtimeUs, int64_t nowUs, int64_t maxWaitUs, bool* capped) {
    *capped = false;
    if (realtimeUs < 0 || realtimeUs == INT64_MAX) return 0;
    // Both times are non-negative here, so the difference cannot overflow.
    const int64_t delay = realtimeUs - nowUs;
    if (delay <= 0) return 0;
    if (delay > maxWaitUs) {
        *capped = true;
        return maxWaitUs;
    }
    return delay;
}

void* TimerQueue::threadEntry(void* me) {
    TimerQueue* queue = static_cast<TimerQueue*>(me);
    queue->threadLoop();
    thread_handle_t self = nullptr;
    bool deleteQueue;
    {
        Autolock _l(queue->mLock);
        deleteQueue = queue->mDeleteOnExit;
    }
    if (!deleteQueue) return nullptr;
    // Released by its owner from inside an event: nobody joins this thread, so it detaches
    // itself and frees the queue.
    self = queue->mOwnHandle;
    delete queue;
    joinThread(self);
    return nullptr;
}

void TimerQueue::threadLoop() {
    {
        Autolock _l(mLock);
        mWorkerId = std::this_thread::get_id();
    }
    for (;;) {
        Ref<Event> event;
        int64_t nowUs = 0;
        {
            Autolock _l(mLock);
            if (mStopped) break;
            while (mQueue.empty()) mQueueNotEmptyCondition.wait(mLock);

            int32_t eventID = 0;
            // Wait until the front event is due. The front may change while waiting: a new
            // earlier event or a cancellation signals mQueueHeadChangedCondition.
            while (!mQueue.empty()) {
                const QueueItem& front = mQueue.front();
                eventID = front.event->eventID();
                nowUs = GetNowUs();
                bool capped = false;
                const int64_t waitUs = computeWaitUs(front.realtime_us, nowUs, mMaxTimedWaitUs, &capped);
                if (waitUs <= 0) break;
                const status_t err = mQueueHeadChangedCondition.waitRelative(mLock, waitUs * 1000);
                if (!capped && err == TIMED_OUT) {
                    nowUs = GetNowUs();
                    break;
                }
            }
            // Everything was cancelled while waiting: back to waiting for work.
            if (mQueue.empty()) continue;
            event = removeEventFromQueue_l(eventID);
        }
        if (event) {
            event->fire(this, nowUs);
            event.clear();
        }
    }
}

Ref<TimerQueue::Event> TimerQueue::removeEventFromQueue_l(int32_t id) {
    for (auto it = mQueue.begin(); it != mQueue.end(); ++it) {
        if (it->event->eventID() == id) {
            Ref<Event> event = it->event;
            event->mEventID = 0;
            mQueue.erase(it);
            return event;
        }
    }
    VLOGW("Event %d was not found in the queue, already cancelled?", id);
    return Ref<Event>();
}

}  // namespace velmor
