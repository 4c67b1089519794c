// TimerQueue behaviour with its real worker thread and the real monotonic clock. Bounds are
// generous: the machine is shared and noisy.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/TimerQueue.h"
#include "utils/Log.h"

using namespace velmor;
using namespace std::chrono_literals;

namespace {

struct Firing {
    int tag;
    int64_t firedAtUs;  // clock read inside fire
    int64_t nowUs;      // the time the queue handed to fire
    std::thread::id thread;
    std::string threadName;
};

class Recorder {
public:
    void add(const Firing& f) {
        std::lock_guard<std::mutex> g(mLock);
        mFirings.push_back(f);
        mCond.notify_all();
    }
    bool waitFor(size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> g(mLock);
        return mCond.wait_for(g, timeout, [&] { return mFirings.size() >= count; });
    }
    std::vector<Firing> firings() {
        std::lock_guard<std::mutex> g(mLock);
        return mFirings;
    }
    std::vector<int> tags() {
        std::lock_guard<std::mutex> g(mLock);
        std::vector<int> t;
        for (const Firing& f : mFirings) t.push_back(f.tag);
        return t;
    }
    size_t count() {
        std::lock_guard<std::mutex> g(mLock);
        return mFirings.size();
    }

private:
    std::mutex mLock;
    std::condition_variable mCond;
    std::vector<Firing> mFirings;
};

class RecEvent : public TimerQueue::Event {
public:
    RecEvent(Recorder* recorder, int tag, std::function<void(TimerQueue*)> hook = nullptr)
        : mRecorder(recorder), mTag(tag), mHook(std::move(hook)) {}
    void fire(TimerQueue* queue, int64_t nowUs) override {
        char name[32] = {};
        pthread_getname_np(pthread_self(), name, sizeof(name));
        // The hook runs first so that events it posts are queued before the firing is seen.
        if (mHook) mHook(queue);
        mRecorder->add({mTag, GetNowUs(), nowUs, std::this_thread::get_id(), name});
    }

private:
    Recorder* mRecorder;
    int mTag;
    std::function<void(TimerQueue*)> mHook;
};

Ref<RecEvent> ev(Recorder* r, int tag, std::function<void(TimerQueue*)> hook = nullptr) {
    return new RecEvent(r, tag, std::move(hook));
}

}  // namespace

TEST(TimerQueue, EqualDueTimesFireInPostingOrderOnTheWorkerThread) {
    Recorder rec;
    TimerQueue queue;
    queue.start();
    const int64_t due = GetNowUs() + 60000;
    // Posted out of tag order around them: a later and an earlier event.
    queue.postTimedEvent(ev(&rec, 9), due + 20000);
    queue.postTimedEvent(ev(&rec, 1), due);
    queue.postTimedEvent(ev(&rec, 2), due);
    queue.postTimedEvent(ev(&rec, 3), due);
    queue.postTimedEvent(ev(&rec, 0), due - 20000);
    ASSERT_TRUE(rec.waitFor(5, 5s));
    EXPECT_EQ(rec.tags(), (std::vector<int>{0, 1, 2, 3, 9}));
    for (const Firing& f : rec.firings()) {
        EXPECT_NE(f.thread, std::this_thread::get_id());
        EXPECT_EQ(f.threadName, "TimerQueue");
        EXPECT_GE(f.firedAtUs, f.nowUs);
    }
    const std::vector<Firing> f = rec.firings();
    EXPECT_GE(f[1].nowUs, due);
    EXPECT_GE(f[4].nowUs, due + 20000);
    queue.stop();
}

TEST(TimerQueue, PostEventGoesAheadOfTimedEventsAndToBackBehindEverything) {
    Recorder rec;
    TimerQueue queue("tq-order");
    // Queue before start so the worker sees the finished list.
    const int64_t past = GetNowUs() - 1000;
    queue.postEventToBack(ev(&rec, 5));
    queue.postTimedEvent(ev(&rec, 3), past);
    queue.postEvent(ev(&rec, 1));
    queue.postTimedEvent(ev(&rec, 4), past);
    queue.postEvent(ev(&rec, 2));
    queue.start();
    ASSERT_TRUE(rec.waitFor(5, 5s));
    EXPECT_EQ(rec.tags(), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(rec.firings()[0].threadName, "tq-order");
}

TEST(TimerQueue, EarlierPostWakesTheWaitingWorker) {
    Recorder rec;
    TimerQueue queue;
    queue.start();
    const int32_t farId = queue.postEventWithDelay(ev(&rec, 1), 5000000);
    std::this_thread::sleep_for(50ms);  // the worker is now waiting on the far event
    const int64_t posted = GetNowUs();
    queue.postEventWithDelay(ev(&rec, 2), 30000);
    ASSERT_TRUE(rec.waitFor(1, 3s));
    const Firing f = rec.firings()[0];
    EXPECT_EQ(f.tag, 2);
    EXPECT_GE(f.firedAtUs - posted, 30000);
    EXPECT_LT(f.firedAtUs - posted, 2500000);  // long before the far event
    EXPECT_TRUE(queue.cancelEvent(farId));
    EXPECT_EQ(queue.size(), 0u);
}

TEST(TimerQueue, CancellingTheFrontMakesTheWorkerWaitForTheNewFront) {
    Recorder rec;
    TimerQueue queue;
    queue.start();
    const int64_t t0 = GetNowUs();
    Ref<RecEvent> front = ev(&rec, 1);
    const int32_t frontId = queue.postEventWithDelay(front, 150000);
    queue.postEventWithDelay(ev(&rec, 2), 300000);
    EXPECT_EQ(front->eventID(), frontId);
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(queue.cancelEvent(frontId));
    EXPECT_EQ(front->eventID(), 0);
    EXPECT_FALSE(queue.cancelEvent(frontId));
    EXPECT_FALSE(queue.cancelEvent(0));
    ASSERT_TRUE(rec.waitFor(1, 5s));
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(rec.tags(), (std::vector<int>{2}));
    EXPECT_GE(rec.firings()[0].nowUs - t0, 300000);
}

TEST(TimerQueue, StopWithoutFlushDropsPendingEvents) {
    Recorder rec;
    TimerQueue queue;
    queue.start();
    Ref<RecEvent> a = ev(&rec, 1);
    queue.postEventWithDelay(a, 200000);
    queue.postEventToBack(ev(&rec, 2));  // would fire at once, but the stop goes to the very front
    queue.postEventWithDelay(ev(&rec, 3), 100000);
    queue.stop(false);
    EXPECT_FALSE(queue.isRunning());
    EXPECT_EQ(queue.size(), 0u);
    EXPECT_EQ(a->eventID(), 0);
    std::this_thread::sleep_for(300ms);
    // Event 2 may have fired before the stop was posted; the timed ones never do.
    for (int tag : rec.tags()) EXPECT_EQ(tag, 2);

    // The queue starts again and works after a stop.
    const size_t before = rec.count();
    queue.start();
    queue.postEvent(ev(&rec, 7));
    ASSERT_TRUE(rec.waitFor(before + 1, 5s));
    EXPECT_EQ(rec.tags().back(), 7);
}

TEST(TimerQueue, StopWithFlushFiresEverythingQueuedFirst) {
    Recorder rec;
    TimerQueue queue;
    queue.start();
    const int64_t t0 = GetNowUs();
    queue.postEventWithDelay(ev(&rec, 2), 120000);
    queue.postEventWithDelay(ev(&rec, 3), 200000);
    queue.postEvent(ev(&rec, 1));
    queue.stop(true);
    // stop returned only after all three fired, in due order, none early.
    ASSERT_EQ(rec.tags(), (std::vector<int>{1, 2, 3}));
    EXPECT_GE(rec.firings()[1].nowUs - t0, 120000);
    EXPECT_GE(rec.firings()[2].nowUs - t0, 200000);
    EXPECT_GE(GetNowUs() - t0, 200000);
}

TEST(TimerQueue, EventsMayPostAndCancelFromInsideFire) {
    Recorder rec;
    TimerQueue queue;
    queue.start();
    std::atomic<int32_t> victimId{0};
    std::atomic<bool> cancelResult{false};
    victimId = queue.postEventWithDelay(ev(&rec, 99), 250000);
    queue.postEventWithDelay(ev(&rec, 1,
                                [&](TimerQueue* q) {
                                    cancelResult = q->cancelEvent(victimId);
                                    q->postEvent(ev(&rec, 2));
                                    q->postEventWithDelay(ev(&rec, 3), 20000);
                                }),
                             20000);

    // A self-rescheduling event: fires five times through the queue it is given.
    std::atomic<int> ticks{0};
    std::function<void(TimerQueue*)> tick;
    tick = [&](TimerQueue* q) {
        if (++ticks < 5) q->postEventWithDelay(ev(&rec, 10, tick), 5000);
    };
    queue.postEventWithDelay(ev(&rec, 10, tick), 5000);

    ASSERT_TRUE(rec.waitFor(8, 5s));
    std::this_thread::sleep_for(350ms);  // past the cancelled event's due time
    EXPECT_TRUE(cancelResult);
    std::vector<int> tags = rec.tags();
    EXPECT_EQ(std::count(tags.begin(), tags.end(), 99), 0);
    EXPECT_EQ(std::count(tags.begin(), tags.end(), 10), 5);
    auto pos = [&](int t) { return std::find(tags.begin(), tags.end(), t) - tags.begin(); };
    EXPECT_LT(pos(1), pos(2));
    EXPECT_LT(pos(2), pos(3));
    EXPECT_EQ(tags.size(), 8u);
}

TEST(TimerQueue, CancellingAFiredEventFails) {
    Recorder rec;
    TimerQueue queue;
    queue.start();
    Ref<RecEvent> e = ev(&rec, 1);
    const int32_t id = queue.postEvent(e);
    EXPECT_NE(id, 0);
    ASSERT_TRUE(rec.waitFor(1, 5s));
    EXPECT_EQ(e->eventID(), 0);
    EXPECT_FALSE(queue.cancelEvent(id));
    // Never posted at all.
    EXPECT_FALSE(queue.cancelEvent(id + 1000));
    // Ids keep growing with every post.
    EXPECT_GT(queue.postEventWithDelay(ev(&rec, 2), 1000000), id);
}

TEST(TimerQueue, CancelEventsWithPredicate) {
    Recorder rec;
    TimerQueue queue;
    queue.start();
    std::vector<Ref<RecEvent>> events;
    for (int i = 0; i < 6; ++i) {
        events.push_back(ev(&rec, i));
        queue.postEventWithDelay(events.back(), 200000 + i * 1000);
    }
    struct Ctx { std::vector<Ref<RecEvent>>* events; };
    Ctx ctx{&events};
    // Select the odd-tagged events by identity.
    auto odd = [](void* cookie, const Ref<TimerQueue::Event>& e) {
        auto* c = static_cast<Ctx*>(cookie);
        for (size_t i = 1; i < c->events->size(); i += 2)
            if ((*c->events)[i].get() == e.get()) return true;
        return false;
    };
    EXPECT_EQ(queue.cancelEvents(odd, &ctx, true), 1u);
    EXPECT_EQ(events[1]->eventID(), 0);
    EXPECT_NE(events[3]->eventID(), 0);
    EXPECT_EQ(queue.cancelEvents(odd, &ctx, false), 2u);
    EXPECT_EQ(queue.size(), 3u);
    ASSERT_TRUE(rec.waitFor(3, 5s));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(rec.tags(), (std::vector<int>{0, 2, 4}));
    EXPECT_EQ(queue.cancelAllEvents(), 0u);
}

TEST(TimerQueue, ConcurrentPostersAndCancellers) {
    Recorder rec;
    TimerQueue queue;
    queue.start();
    constexpr int kThreads = 4, kPerThread = 150;
    std::vector<std::vector<int32_t>> ids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(t + 1);
            for (int i = 0; i < kPerThread; ++i) {
                const int tag = t * 1000 + i;
                ids[t].push_back(queue.postEventWithDelay(ev(&rec, tag), rng() % 30000));
                if (i % 10 == 0) std::this_thread::sleep_for(1ms);
            }
        });
    }
    for (auto& th : threads) th.join();
    // Cancel every third event of every thread; whatever is cancelled must never fire.
    std::vector<int> cancelledTags;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kPerThread; i += 3)
            if (queue.cancelEvent(ids[t][i])) cancelledTags.push_back(t * 1000 + i);
    const size_t expected = kThreads * kPerThread - cancelledTags.size();
    ASSERT_TRUE(rec.waitFor(expected, 10s));
    std::this_thread::sleep_for(100ms);
    std::vector<int> tags = rec.tags();
    EXPECT_EQ(tags.size(), expected);
    std::sort(tags.begin(), tags.end());
    EXPECT_EQ(std::adjacent_find(tags.begin(), tags.end()), tags.end());  // each fired once
    for (int c : cancelledTags) EXPECT_FALSE(std::binary_search(tags.begin(), tags.end(), c)) << c;
    for (const Firing& f : rec.firings()) EXPECT_GE(f.firedAtUs, f.nowUs);
}

TEST(TimerQueue, FarDueTimeDoesNotFireEarly) {
    Recorder rec;
    TimerQueue queue;
    queue.start();
    // More than one full 10 s wait away.
    const int32_t id = queue.postEventWithDelay(ev(&rec, 1), 11000000);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(rec.count(), 0u);
    EXPECT_TRUE(queue.cancelEvent(id));
}

TEST(TimerQueue, CappedWaitsRepeatUntilTheDueTime) {
    Recorder rec;
    TimerQueue queue;
    // Short cap: the due time is reached through many capped waits, none of which may fire.
    queue.setMaxTimedWaitUs(20000);
    queue.start();
    const int64_t t0 = GetNowUs();
    queue.postEventWithDelay(ev(&rec, 1), 300000);
    queue.postEventWithDelay(ev(&rec, 2), 330000);
    ASSERT_TRUE(rec.waitFor(2, 5s));
    EXPECT_EQ(rec.tags(), (std::vector<int>{1, 2}));
    EXPECT_GE(rec.firings()[0].nowUs - t0, 300000);
    EXPECT_GE(rec.firings()[1].nowUs - t0, 330000);

    bool capped = false;
    EXPECT_EQ(TimerQueue::computeWaitUs(1000 + 25000000, 1000, TimerQueue::kMaxTimedWaitUs, &capped), 10000000);
    EXPECT_TRUE(capped);
    EXPECT_EQ(TimerQueue::computeWaitUs(1000 + 9000000, 1000, TimerQueue::kMaxTimedWaitUs, &capped), 9000000);
    EXPECT_FALSE(capped);
    EXPECT_EQ(TimerQueue::computeWaitUs(500, 1000, TimerQueue::kMaxTimedWaitUs, &capped), 0);
    EXPECT_EQ(TimerQueue::computeWaitUs(INT64_MAX, 1000, TimerQueue::kMaxTimedWaitUs, &capped), 0);
    EXPECT_EQ(TimerQueue::computeWaitUs(INT64_MIN + 1, 1000, TimerQueue::kMaxTimedWaitUs, &capped), 0);
    EXPECT_FALSE(capped);
}

TEST(TimerQueue, DestroyingARunningQueueDropsItsEvents) {
    Recorder rec;
    {
        TimerQueue queue;
        queue.start();
        queue.postEventWithDelay(ev(&rec, 1), 100000);
    }
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(rec.count(), 0u);
}

// A small owner whose method the queue calls.
namespace {
struct Counter {
    std::atomic<int> calls{0};
    void onEvent() { ++calls; }
};
}  // namespace

TEST(TimerQueue, MethodEventCallsTheOwner) {
    Counter counter;
    TimerQueue queue;
    queue.start();
    Ref<TimerQueue::MethodEvent<Counter>> e = new TimerQueue::MethodEvent<Counter>(&counter, &Counter::onEvent, "count");
    EXPECT_STREQ(e->name(), "count");
    queue.postEvent(e);
    queue.stop(true);
    EXPECT_EQ(counter.calls.load(), 1);
    // The same event object can be posted again once it has fired.
    queue.start();
    queue.postEvent(e);
    queue.postEvent(new TimerQueue::MethodEvent<Counter>(&counter, &Counter::onEvent));
    queue.stop(true);
    EXPECT_EQ(counter.calls.load(), 3);
}

namespace {
// Tells when it is destroyed.
class TrackedEvent : public RecEvent {
public:
    TrackedEvent(Recorder* r, int tag, std::atomic<bool>* destroyed) : RecEvent(r, tag), mDestroyed(destroyed) {}
    ~TrackedEvent() override { *mDestroyed = true; }

private:
    std::atomic<bool>* mDestroyed;
};
}  // namespace

TEST(TimerQueue, OwnerGoingAwayInsideAnEventHandsTheQueueToItsThread) {
    Recorder rec;
    auto* queue = new TimerQueue("tq-self");
    queue->start();
    EXPECT_FALSE(queue->isWorkerThread());
    std::atomic<bool> onWorker{false};
    std::atomic<bool> pendingDestroyed{false};
    queue->postEventWithDelay(new TrackedEvent(&rec, 2, &pendingDestroyed), 100000);
    queue->postEvent(ev(&rec, 1, [&](TimerQueue* q) {
        onWorker = q->isWorkerThread();
        q->deleteFromWorkerThread();  // the queue is freed once this event returns
    }));
    ASSERT_TRUE(rec.waitFor(1, 5s));
    EXPECT_TRUE(onWorker);
    // Freeing the queue releases the pending event, which never fires.
    for (int i = 0; i < 200 && !pendingDestroyed; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(pendingDestroyed);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(rec.tags(), (std::vector<int>{1}));
}
