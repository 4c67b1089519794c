// TimerQueue behaviour with its real worker thread and the real monotonic clock. Timing checks
// are lower bounds ("not early") and ordering; the machine is shared and noisy.
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
    int64_t nowUs;  // the time the queue handed to fire, never later than the clock there
    std::string threadName;
};

class Recorder {
public:
    void add(const Firing& f) {
        std::lock_guard<std::mutex> g(mLock);
        mFirings.push_back(f);
        mCond.notify_all();
    }
    bool waitFor(size_t count, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock<std::mutex> g(mLock);
        return mCond.wait_for(g, timeout, [&] { return mFirings.size() >= count; });
    }
    std::vector<Firing> firings() {
        std::lock_guard<std::mutex> g(mLock);
        return mFirings;
    }
    std::vector<int> tags() {
        std::vector<int> t;
        for (const Firing& f : firings()) t.push_back(f.tag);
        return t;
    }

private:
    std::mutex mLock;
    std::condition_variable mCond;
    std::vector<Firing> mFirings;
};

class RecEvent : public TimerQueue::Event {
public:
    RecEvent(Recorder* recorder, int tag, std::function<void(TimerQueue*)> hook = nullptr,
             std::atomic<bool>* destroyed = nullptr)
        : mRecorder(recorder), mTag(tag), mHook(std::move(hook)), mDestroyed(destroyed) {}
    ~RecEvent() override {
        if (mDestroyed) *mDestroyed = true;
    }
    void fire(TimerQueue* queue, int64_t nowUs) override {
        char name[32] = {};
        pthread_getname_np(pthread_self(), name, sizeof(name));
        // The hook runs first so that events it posts are queued before the firing is seen.
        if (mHook) mHook(queue);
        EXPECT_LE(nowUs, GetNowUs());
        mRecorder->add({mTag, nowUs, name});
    }

private:
    Recorder* mRecorder;
    int mTag;
    std::function<void(TimerQueue*)> mHook;
    std::atomic<bool>* mDestroyed;
};

Ref<RecEvent> ev(Recorder* r, int tag, std::function<void(TimerQueue*)> hook = nullptr) {
    return new RecEvent(r, tag, std::move(hook));
}

}  // namespace

TEST(TimerQueue, OrderOfFiringOnTheWorkerThread) {
    Recorder rec;
    TimerQueue queue("tq-order");
    // Queued before the start: postEvent goes ahead of due timed events, postEventToBack behind
    // everything, equal due times keep posting order.
    const int64_t past = GetNowUs() - 1000;
    queue.postEventToBack(ev(&rec, 5));
    queue.postTimedEvent(ev(&rec, 3), past);
    queue.postEvent(ev(&rec, 1));
    queue.postTimedEvent(ev(&rec, 4), past);
    queue.postEvent(ev(&rec, 2));
    queue.start();
    ASSERT_TRUE(rec.waitFor(5));
    EXPECT_EQ(rec.tags(), (std::vector<int>{1, 2, 3, 4, 5}));

    // Running: future times, posted out of order around equal ones; none fires early.
    const int64_t due = GetNowUs() + 60000;
    queue.postTimedEvent(ev(&rec, 9), due + 20000);
    queue.postTimedEvent(ev(&rec, 6), due);
    queue.postTimedEvent(ev(&rec, 7), due);
    queue.postTimedEvent(ev(&rec, 8), due);
    queue.postTimedEvent(ev(&rec, 0), due - 20000);
    ASSERT_TRUE(rec.waitFor(10));
    const std::vector<Firing> f = rec.firings();
    EXPECT_EQ(rec.tags(), (std::vector<int>{1, 2, 3, 4, 5, 0, 6, 7, 8, 9}));
    EXPECT_GE(f[6].nowUs, due);
    EXPECT_GE(f[9].nowUs, due + 20000);
    for (const Firing& one : f) EXPECT_EQ(one.threadName, "tq-order");
}

TEST(TimerQueue, TheWorkerAlwaysWaitsForTheCurrentFront) {
    Recorder rec;
    TimerQueue queue;
    queue.start();
    // An earlier post wakes a worker that waits for a far event (beyond one capped 10 s wait).
    const int32_t farId = queue.postEventWithDelay(ev(&rec, 1), 11000000);
    std::this_thread::sleep_for(50ms);
    const int64_t posted = GetNowUs();
    const int32_t nearId = queue.postEventWithDelay(ev(&rec, 2), 30000);
    ASSERT_TRUE(rec.waitFor(1));
    EXPECT_EQ(rec.tags(), (std::vector<int>{2}));
    EXPECT_GE(rec.firings()[0].nowUs - posted, 30000);
    EXPECT_FALSE(queue.cancelEvent(nearId));  // fired: too late

    // Cancelling the front makes it wait for the new front, which fires, not early.
    const int64_t t0 = GetNowUs();
    Ref<RecEvent> front = ev(&rec, 3);
    const int32_t frontId = queue.postEventWithDelay(front, 150000);
    queue.postEventWithDelay(ev(&rec, 4), 300000);
    EXPECT_GT(frontId, nearId);  // ids keep growing
    EXPECT_EQ(front->eventID(), frontId);
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(queue.cancelEvent(frontId));
    EXPECT_EQ(front->eventID(), 0);
    EXPECT_FALSE(queue.cancelEvent(frontId));
    EXPECT_FALSE(queue.cancelEvent(0));
    ASSERT_TRUE(rec.waitFor(2));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rec.tags(), (std::vector<int>{2, 4}));
    EXPECT_GE(rec.firings()[1].nowUs - t0, 300000);
    // The far event is still waiting.
    EXPECT_TRUE(queue.cancelEvent(farId));
    EXPECT_EQ(queue.size(), 0u);
}

TEST(TimerQueue, CappedWaitsRepeatUntilTheDueTime) {
    Recorder rec;
    TimerQueue queue;
    queue.setMaxTimedWaitUs(20000);  // many capped waits, none of which may fire
    queue.start();
    const int64_t t0 = GetNowUs();
    queue.postEventWithDelay(ev(&rec, 1), 300000);
    queue.postEventWithDelay(ev(&rec, 2), 330000);
    ASSERT_TRUE(rec.waitFor(2));
    EXPECT_EQ(rec.tags(), (std::vector<int>{1, 2}));
    EXPECT_GE(rec.firings()[0].nowUs - t0, 300000);
    EXPECT_GE(rec.firings()[1].nowUs - t0, 330000);

    // A due time of INT64_MAX means "no time": due now, without overflowing.
    bool capped = true;
    EXPECT_EQ(TimerQueue::computeWaitUs(INT64_MAX, 1000, TimerQueue::kMaxTimedWaitUs, &capped), 0);
    EXPECT_FALSE(capped);
}

TEST(TimerQueue, StopDropsOrFlushesAndTheQueueRunsAgain) {
    Recorder rec;
    TimerQueue queue;
    queue.start();
    Ref<RecEvent> a = ev(&rec, 1);
    queue.postEventWithDelay(a, 200000);
    queue.postEventToBack(ev(&rec, 2));  // may fire before the stop, which goes to the very front
    queue.postEventWithDelay(ev(&rec, 3), 100000);
    queue.stop(false);
    EXPECT_FALSE(queue.isRunning());
    EXPECT_EQ(queue.size(), 0u);
    EXPECT_EQ(a->eventID(), 0);
    std::this_thread::sleep_for(300ms);
    for (int tag : rec.tags()) EXPECT_EQ(tag, 2);
    const size_t before = rec.firings().size();

    // With flush, stop returns only after everything queued fired, in due order, none early;
    // a method event calls its owner and can be posted again once it fired.
    struct Counter {
        std::atomic<int> calls{0};
        void onEvent() { ++calls; }
    } counter;
    Ref<TimerQueue::MethodEvent<Counter>> method =
        new TimerQueue::MethodEvent<Counter>(&counter, &Counter::onEvent, "count");
    EXPECT_STREQ(method->name(), "count");
    queue.start();
    const int64_t t0 = GetNowUs();
    queue.postEventWithDelay(ev(&rec, 5), 120000);
    queue.postEventWithDelay(ev(&rec, 6), 200000);
    queue.postEvent(ev(&rec, 4));
    queue.postEvent(method);
    queue.stop(true);
    const std::vector<int> tags = rec.tags();
    ASSERT_EQ(std::vector<int>(tags.begin() + before, tags.end()), (std::vector<int>{4, 5, 6}));
    EXPECT_GE(rec.firings()[before + 2].nowUs - t0, 200000);
    EXPECT_EQ(counter.calls.load(), 1);
    queue.start();
    queue.postEvent(method);
    queue.stop(true);
    EXPECT_EQ(counter.calls.load(), 2);
}

TEST(TimerQueue, CancellingByPredicateAndFromInsideFire) {
    Recorder rec;
    TimerQueue queue;
    queue.start();
    std::vector<Ref<RecEvent>> events;
    for (int i = 0; i < 6; ++i) {
        events.push_back(ev(&rec, i));
        queue.postEventWithDelay(events.back(), 200000 + i * 1000);
    }
    // An event that cancels one, posts one for now and one for later.
    std::atomic<int32_t> victimId{0};
    std::atomic<bool> cancelResult{false};
    victimId = queue.postEventWithDelay(ev(&rec, 99), 250000);
    queue.postEventWithDelay(ev(&rec, 11,
                                [&](TimerQueue* q) {
                                    cancelResult = q->cancelEvent(victimId);
                                    q->postEvent(ev(&rec, 12));
                                    q->postEventWithDelay(ev(&rec, 13), 20000);
                                }),
                             20000);
    // A self-rescheduling event: fires five times through the queue it is given.
    std::atomic<int> ticks{0};
    std::function<void(TimerQueue*)> tick = [&](TimerQueue* q) {
        if (++ticks < 5) q->postEventWithDelay(ev(&rec, 10, tick), 5000);
    };
    queue.postEventWithDelay(ev(&rec, 10, tick), 5000);

    // Select the odd-tagged of the first six by identity: the first only, then the rest.
    auto odd = [](void* cookie, const Ref<TimerQueue::Event>& e) {
        auto* all = static_cast<std::vector<Ref<RecEvent>>*>(cookie);
        for (size_t i = 1; i < all->size(); i += 2) {
            if ((*all)[i].get() == e.get()) return true;
        }
        return false;
    };
    EXPECT_EQ(queue.cancelEvents(odd, &events, true), 1u);
    EXPECT_EQ(events[1]->eventID(), 0);
    EXPECT_NE(events[3]->eventID(), 0);
    EXPECT_EQ(queue.cancelEvents(odd, &events, false), 2u);

    ASSERT_TRUE(rec.waitFor(11));
    std::this_thread::sleep_for(350ms);  // past every cancelled event's due time
    EXPECT_TRUE(cancelResult);
    std::vector<int> tags = rec.tags();
    EXPECT_EQ(tags.size(), 11u);
    EXPECT_EQ(std::count(tags.begin(), tags.end(), 10), 5);
    auto pos = [&](int t) { return std::find(tags.begin(), tags.end(), t) - tags.begin(); };
    EXPECT_LT(pos(11), pos(12));
    EXPECT_LT(pos(12), pos(13));
    EXPECT_EQ(std::vector<int>(tags.end() - 3, tags.end()), (std::vector<int>{0, 2, 4}));
    EXPECT_EQ(queue.size(), 0u);
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
                ids[t].push_back(queue.postEventWithDelay(ev(&rec, t * 1000 + i), rng() % 30000));
                if (i % 10 == 0) std::this_thread::sleep_for(1ms);
            }
        });
    }
    for (auto& th : threads) th.join();
    // Cancel every third event of every thread; whatever is cancelled must never fire.
    std::vector<int> cancelledTags;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; i += 3) {
            if (queue.cancelEvent(ids[t][i])) cancelledTags.push_back(t * 1000 + i);
        }
    }
    const size_t expected = kThreads * kPerThread - cancelledTags.size();
    ASSERT_TRUE(rec.waitFor(expected, 10s));
    std::this_thread::sleep_for(100ms);
    std::vector<int> tags = rec.tags();
    EXPECT_EQ(tags.size(), expected);
    std::sort(tags.begin(), tags.end());
    EXPECT_EQ(std::adjacent_find(tags.begin(), tags.end()), tags.end());  // each fired once
    for (int c : cancelledTags) EXPECT_FALSE(std::binary_search(tags.begin(), tags.end(), c)) << c;
}

TEST(TimerQueue, OwnerGoingAwayInsideAnEventHandsTheQueueToItsThread) {
    Recorder rec;
    auto* queue = new TimerQueue("tq-self");
    queue->start();
    EXPECT_FALSE(queue->isWorkerThread());
    std::atomic<bool> onWorker{false};
    std::atomic<bool> pendingDestroyed{false};
    queue->postEventWithDelay(new RecEvent(&rec, 2, nullptr, &pendingDestroyed), 100000);
    queue->postEvent(ev(&rec, 1, [&](TimerQueue* q) {
        onWorker = q->isWorkerThread();
        q->deleteFromWorkerThread();  // the queue is freed once this event returns
    }));
    ASSERT_TRUE(rec.waitFor(1));
    EXPECT_TRUE(onWorker);
    // Freeing the queue releases the pending event, which never fires.
    for (int i = 0; i < 200 && !pendingDestroyed; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(pendingDestroyed);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(rec.tags(), (std::vector<int>{1}));
}
