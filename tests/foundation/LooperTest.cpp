#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "FoundationTestSupport.h"
#include "engine/foundation/Looper.h"

namespace velmor {
namespace {

using test::FCC;
using test::LogCapture;
using test::LooperWithHandler;
using test::RecordingHandler;

std::string currentThreadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    return name;
}

struct Tracked : public RefCounted {
    explicit Tracked(std::atomic<int>* c) : counter(c) {}
    ~Tracked() override { ++*counter; }
    std::atomic<int>* counter;
};

TEST(Looper, DeliveryOrder) {
    LooperWithHandler l;
    // A burst queued before the start: many posts share a microsecond, so the order among equal
    // times decides. A negative delay means now (taken literally it would jump the queue); a
    // positive one comes after.
    const int kCount = 2000;
    for (int i = 0; i < kCount; ++i) l.post(i);
    l.post(FCC("neg"), -5000000);
    l.post(FCC("pos"), 50000);
    ASSERT_EQ(OK, l.looper->start());
    ASSERT_TRUE(l.handler->waitForCount(kCount + 2));
    std::vector<int32_t> whats = l.handler->whats();
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(i, whats[i]) << "at index " << i;
    EXPECT_EQ(FCC("neg"), whats[kCount]);
    EXPECT_EQ(FCC("pos"), whats[kCount + 1]);

    // A message due now, posted while the loop waits for one due in 60 s, wakes it.
    l.post(FCC("far"), 60000000);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    l.post(FCC("now"));
    ASSERT_TRUE(l.handler->waitForCount(kCount + 3));
    EXPECT_EQ(FCC("now"), l.handler->whats().back());
}

TEST(Looper, UndeliverableMessagesAreDroppedWithWarnings) {
    LogCapture logs;
    const std::string notRegistered = "failed to post message. Target handler not registered.";
    LooperWithHandler l;
    ASSERT_EQ(OK, l.looper->start());

    // No target, an unknown one: refused and logged; Message::post swallows the result.
    Ref<Message> noTarget = new Message(FCC("none"));
    EXPECT_EQ(NAME_NOT_FOUND, LooperRoster::instance().postMessage(noTarget));
    Ref<Message> unknown = new Message(FCC("unkn"), l.id + 100000);
    EXPECT_EQ(NAME_NOT_FOUND, LooperRoster::instance().postMessage(unknown));
    (new Message(FCC("none"), 0))->post();
    const auto lines = logs.linesContaining(notRegistered);
    ASSERT_EQ(3u, lines.size());
    for (const auto& line : lines) {
        EXPECT_EQ(0u, line.find("{W}  [")) << line;
        EXPECT_NE(std::string::npos, line.find("]    VEL_LooperRoste failed to post message.")) << line;
    }

    // Queued, then its handler unregistered: dropped at delivery.
    Ref<RecordingHandler> leaving = new RecordingHandler;
    const handler_id leavingId = l.looper->registerHandler(leaving);
    (new Message(FCC("late"), leavingId))->post(100000);
    l.looper->unregisterHandler(leavingId);
    EXPECT_EQ(0, leaving->id());
    EXPECT_EQ(nullptr, leaving->looper());
    l.looper->unregisterHandler(leavingId);  // unknown now: changes nothing
    ASSERT_TRUE(logs.waitFor("failed to deliver message. Target handler not registered."));

    // Handler destroyed while registered: the delivery notices and forgets the entry.
    handler_id deadId;
    {
        Ref<RecordingHandler> dead = new RecordingHandler;
        deadId = l.looper->registerHandler(dead);
        (new Message(FCC("gone"), deadId))->post(50000);
    }
    ASSERT_TRUE(logs.waitFor("failed to deliver message. Target handler " + std::to_string(deadId) +
                             " registered, but object gone."));
    Ref<Message> again = new Message(FCC("agn1"), deadId);
    EXPECT_EQ(NAME_NOT_FOUND, LooperRoster::instance().postMessage(again));
    EXPECT_EQ(4u, logs.count(notRegistered));

    // Looper destroyed while its handler is registered: the post notices and forgets the entry.
    Ref<RecordingHandler> orphan = new RecordingHandler;
    { Ref<Looper> shortLived = new Looper; shortLived->registerHandler(orphan); }
    Ref<Message> toOrphan = new Message(FCC("orph"), orphan->id());
    EXPECT_EQ(NAME_NOT_FOUND, LooperRoster::instance().postMessage(toOrphan));
    EXPECT_EQ(1u, logs.count("failed to post message. Target handler " + std::to_string(orphan->id()) +
                             " still registered, but object gone."));
    EXPECT_EQ(NAME_NOT_FOUND, LooperRoster::instance().postMessage(toOrphan));
    EXPECT_EQ(5u, logs.count(notRegistered));
    EXPECT_EQ(nullptr, orphan->looper());

    // A real message afterwards still arrives, and it is the only one.
    l.post(FCC("real"));
    ASSERT_TRUE(l.handler->waitForCount(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ((std::vector<int32_t>{FCC("real")}), l.handler->whats());
    EXPECT_EQ(0u, leaving->count() + orphan->count());
}

TEST(Looper, RegistrationIdsAreUniqueAndOnlyGrow) {
    LooperWithHandler l;
    Ref<RecordingHandler> a = new RecordingHandler;
    const handler_id idA = l.looper->registerHandler(a);
    EXPECT_GT(idA, l.id);
    EXPECT_EQ(l.looper.get(), a->looper().get());
    EXPECT_EQ(INVALID_OPERATION, l.looper->registerHandler(a));  // twice: refused, nothing changes
    EXPECT_EQ(idA, a->id());
    l.looper->unregisterHandler(idA);
    const handler_id idA2 = l.looper->registerHandler(a);
    EXPECT_GT(idA2, idA);

    // Unique under concurrent registration, and above every earlier one.
    std::vector<Ref<RecordingHandler>> handlers(200);
    std::vector<handler_id> ids(200);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (size_t i = t; i < ids.size(); i += 4) {
                handlers[i] = new RecordingHandler;
                ids[i] = l.looper->registerHandler(handlers[i]);
            }
        });
    }
    for (auto& t : threads) t.join();
    for (handler_id id : ids) l.looper->unregisterHandler(id);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids.end(), std::adjacent_find(ids.begin(), ids.end()));
    EXPECT_GT(ids.front(), idA2);
    l.looper->unregisterHandler(idA2);
}

TEST(Looper, StopFromItsOwnHandlerEndsAfterThatMessageAndKeepsTheQueue) {
    LooperWithHandler l;
    l.looper->setName("stopper");
    std::atomic<int> stopResult{12345};
    std::string threadName;
    l.handler->hook = [&](const Ref<Message>& msg) {
        if (msg->what() != FCC("stop")) return;
        threadName = currentThreadName();
        stopResult = l.looper->stop();
    };
    // Both queued before the start, so the second is already due when the first stops the loop.
    l.post(FCC("stop"));
    l.post(FCC("next"));
    ASSERT_EQ(OK, l.looper->start());
    ASSERT_TRUE(l.handler->waitForCount(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(OK, stopResult.load());
    EXPECT_EQ("stopper", threadName);
    EXPECT_EQ(1u, l.handler->count());
    EXPECT_EQ(INVALID_OPERATION, l.looper->stop());

    l.handler->hook = nullptr;
    ASSERT_EQ(OK, l.looper->start());
    ASSERT_TRUE(l.handler->waitForCount(2));
    EXPECT_EQ((std::vector<int32_t>{FCC("stop"), FCC("next")}), l.handler->whats());
    EXPECT_EQ(INVALID_OPERATION, l.looper->start());
}

TEST(Looper, ManyPostersAndSelfPostingKeepEachSendersOrder) {
    LooperWithHandler l;
    std::string threadName;
    // A chain: each message posts the next one from inside the handler.
    l.handler->hook = [&](const Ref<Message>& msg) {
        int32_t step;
        if (threadName.empty()) threadName = currentThreadName();
        if (msg->findInt32("step", &step) && step < 100) {
            Ref<Message> next = new Message(FCC("chan"), l.id);
            next->setInt32("step", step + 1);
            next->post();
        }
    };
    ASSERT_EQ(OK, l.looper->start());
    Ref<Message> first = new Message(FCC("chan"), l.id);
    first->setInt32("step", 1);
    first->post();

    const int kThreads = 4, kPerThread = 300;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                Ref<Message> m = new Message(FCC("post"), l.id);
                m->setInt32("thread", t);
                m->setInt32("seq", i);
                m->post();
            }
        });
    }
    for (auto& p : posters) p.join();
    ASSERT_TRUE(l.handler->waitForCount(kThreads * kPerThread + 100, 20000));
    std::vector<int> next(kThreads, 0);
    int chain = 0;
    for (const auto& m : l.handler->messages()) {
        int32_t t, seq, step;
        if (m->findInt32("thread", &t)) {
            ASSERT_TRUE(m->findInt32("seq", &seq));
            EXPECT_EQ(next[t], seq) << "thread " << t;
            next[t] = seq + 1;
        } else {
            ASSERT_TRUE(m->findInt32("step", &step));
            EXPECT_EQ(++chain, step);
        }
    }
    EXPECT_EQ(100, chain);
    EXPECT_EQ("Looper", threadName);  // its own thread, with the default name
}

struct ReflectorTarget : public RefCounted {
    std::atomic<int> received{0};
    void onMessageReceived(const Ref<Message>& msg) {
        int32_t v = 0;
        if (msg->findInt32("v", &v)) received += v;
    }
};

TEST(Looper, ReflectorForwardsOnlyWhileTheTargetLives) {
    LooperWithHandler marker;
    ASSERT_EQ(OK, marker.looper->start());
    Ref<ReflectorTarget> target = new ReflectorTarget;
    Ref<HandlerReflector<ReflectorTarget>> reflector = new HandlerReflector<ReflectorTarget>(target.get());
    const handler_id id = marker.looper->registerHandler(reflector);
    auto postValue = [&](int32_t v) {
        Ref<Message> msg = new Message(FCC("refl"), id);
        msg->setInt32("v", v);
        msg->post();
        // A marker through the second handler shows the first message has been processed.
        marker.post(FCC("mark"));
    };
    postValue(5);
    ASSERT_TRUE(marker.handler->waitForCount(1));
    EXPECT_EQ(5, target->received.load());

    // The target goes away; later messages are dropped without touching it.
    WeakRef<ReflectorTarget> weak = target;
    target.clear();
    EXPECT_EQ(nullptr, weak.promote());
    LogCapture logs;
    postValue(7);
    ASSERT_TRUE(marker.handler->waitForCount(2));
    EXPECT_EQ(0u, logs.count("failed to deliver"));
    marker.looper->unregisterHandler(id);
}

TEST(Looper, Lifetime) {
    // The last reference dropped inside a handler: the looper is destroyed on its own thread and
    // must neither wait for itself nor be touched afterwards.
    Ref<RecordingHandler> handler = new RecordingHandler;
    Ref<Looper> inHandler = new Looper;
    WeakRef<Looper> weak = inHandler;
    const handler_id id = inHandler->registerHandler(handler);
    ASSERT_EQ(OK, inHandler->start());
    handler->hook = [&](const Ref<Message>&) { inHandler.clear(); };
    (new Message(FCC("bye"), id))->post();
    ASSERT_TRUE(handler->waitForCount(1));
    for (int i = 0; i < 500 && weak.promote() != nullptr; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(nullptr, weak.promote());
    LooperRoster::instance().unregisterHandler(id);

    // Destroyed with messages still queued: they and what they hold are released.
    std::atomic<int> destroyed{0};
    {
        LooperWithHandler l;
        ASSERT_EQ(OK, l.looper->start());
        for (int i = 0; i < 3; ++i) {
            Ref<Message> m = new Message(FCC("pend"), l.id);
            m->setObject("obj", new Tracked(&destroyed));
            m->post(10000000);
        }
        EXPECT_EQ(0, destroyed.load());
    }
    EXPECT_EQ(3, destroyed.load());
}

}  // namespace
}  // namespace velmor
