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

using test::LogCapture;
using test::FCC;
using test::RecordingHandler;

std::string currentThreadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    return name;
}

// Registers one handler before any test runs, so the very first id of the process is known.
class FirstRegistration : public ::testing::Environment {
public:
    static handler_id firstId;
    void SetUp() override {
        Ref<Looper> looper = new Looper;
        Ref<RecordingHandler> handler = new RecordingHandler;
        firstId = looper->registerHandler(handler);
        looper->unregisterHandler(firstId);
    }
};
handler_id FirstRegistration::firstId = -1;
::testing::Environment* const gFirstRegistration = ::testing::AddGlobalTestEnvironment(new FirstRegistration);

TEST(Looper, FirstHandlerIdOfTheProcessIsOne) { EXPECT_EQ(1, FirstRegistration::firstId); }

TEST(Looper, EqualTimesKeepPostingOrderAndEarlierPostOvertakesLaterOne) {
    Ref<Looper> looper = new Looper;
    Ref<RecordingHandler> handler = new RecordingHandler;
    const handler_id id = looper->registerHandler(handler);
    ASSERT_GE(id, 1);

    // Queue a burst while the looper is not running: many posts share a microsecond, so the
    // order among equal times is what decides delivery order.
    const int kCount = 2000;
    for (int i = 0; i < kCount; ++i) (new Message(i, id))->post();
    ASSERT_EQ(OK, looper->start());
    ASSERT_TRUE(handler->waitForCount(kCount));
    std::vector<int32_t> whats = handler->whats();
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(i, whats[i]) << "at index " << i;

    // A message with delay 0 posted after one with a 1 s delay is delivered first, and it
    // wakes the loop that was waiting for the delayed one.
    const int64_t t0 = Looper::GetNowUs();
    (new Message(1000001, id))->post(1000000);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    (new Message(1000002, id))->post(0);
    ASSERT_TRUE(handler->waitForCount(kCount + 1));
    const int64_t fastUs = Looper::GetNowUs() - t0;
    ASSERT_TRUE(handler->waitForCount(kCount + 2));
    const int64_t slowUs = Looper::GetNowUs() - t0;
    whats = handler->whats();
    EXPECT_EQ(1000002, whats[kCount]);
    EXPECT_EQ(1000001, whats[kCount + 1]);
    EXPECT_LT(fastUs, 1000000);
    EXPECT_GE(slowUs, 1000000);

    looper->unregisterHandler(id);
    EXPECT_EQ(OK, looper->stop());
}

TEST(Looper, NegativeDelayMeansNow) {
    Ref<Looper> looper = new Looper;
    Ref<RecordingHandler> handler = new RecordingHandler;
    const handler_id id = looper->registerHandler(handler);

    // Not running yet: both wait in the queue. Taken literally, -5 s would put the second
    // message ahead of the first.
    (new Message(FCC("frst"), id))->post(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    (new Message(FCC("scnd"), id))->post(-5000000);
    // A later, positive delay still comes after both.
    (new Message(FCC("thrd"), id))->post(50000);
    ASSERT_EQ(OK, looper->start());
    ASSERT_TRUE(handler->waitForCount(3));
    EXPECT_EQ((std::vector<int32_t>{FCC("frst"), FCC("scnd"), FCC("thrd")}), handler->whats());
    looper->unregisterHandler(id);
    looper->stop();
}

TEST(Looper, PostToUnregisteredTargetIsDroppedWithWarning) {
    LogCapture logs;
    Ref<Looper> looper = new Looper;
    Ref<RecordingHandler> handler = new RecordingHandler;
    const handler_id id = looper->registerHandler(handler);
    ASSERT_EQ(OK, looper->start());

    Ref<Message> noTarget = new Message(FCC("none"));
    EXPECT_EQ(NAME_NOT_FOUND, LooperRoster::instance().postMessage(noTarget));
    Ref<Message> unknown = new Message(FCC("unkn"), id + 100000);
    EXPECT_EQ(NAME_NOT_FOUND, LooperRoster::instance().postMessage(unknown));
    // Message::post swallows the result.
    (new Message(FCC("none"), 0))->post();

    const auto lines = logs.linesContaining("failed to post message. Target handler not registered.");
    ASSERT_EQ(3u, lines.size());
    for (const auto& line : lines) {
        EXPECT_EQ(0u, line.find("{W}  [")) << line;
        EXPECT_NE(std::string::npos, line.find("]    VEL_LooperRoste failed to post message.")) << line;
        EXPECT_EQ('\n', line.back());
    }

    // A real message afterwards still arrives, and it is the only one.
    (new Message(FCC("real"), id))->post();
    ASSERT_TRUE(handler->waitForCount(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ((std::vector<int32_t>{FCC("real")}), handler->whats());
    looper->unregisterHandler(id);
    looper->stop();
}

TEST(Looper, QueuedMessageIsDroppedAfterUnregister) {
    LogCapture logs;
    Ref<Looper> looper = new Looper;
    Ref<RecordingHandler> handler = new RecordingHandler;
    const handler_id id = looper->registerHandler(handler);
    ASSERT_EQ(OK, looper->start());

    (new Message(FCC("late"), id))->post(100000);
    looper->unregisterHandler(id);
    EXPECT_EQ(0, handler->id());
    EXPECT_EQ(nullptr, handler->looper());
    ASSERT_TRUE(logs.waitFor("failed to deliver message. Target handler not registered."));
    EXPECT_EQ(0u, handler->count());
    // Unregistering an unknown id changes nothing.
    looper->unregisterHandler(id);
    looper->stop();
}

TEST(Looper, DeadHandlerAndDeadLooperAreReportedAndForgotten) {
    LogCapture logs;
    Ref<Looper> looper = new Looper;
    ASSERT_EQ(OK, looper->start());

    // Handler destroyed while still registered: the delivery notices.
    handler_id deadHandlerId;
    {
        Ref<RecordingHandler> handler = new RecordingHandler;
        deadHandlerId = looper->registerHandler(handler);
        (new Message(FCC("gone"), deadHandlerId))->post(50000);
    }
    const std::string deliverText = "failed to deliver message. Target handler " + std::to_string(deadHandlerId) +
                                    " registered, but object gone.";
    ASSERT_TRUE(logs.waitFor(deliverText));
    // The entry was removed: the next post fails as "not registered".
    Ref<Message> again = new Message(FCC("agn1"), deadHandlerId);
    EXPECT_EQ(NAME_NOT_FOUND, LooperRoster::instance().postMessage(again));
    EXPECT_EQ(1u, logs.count("failed to post message. Target handler not registered."));

    // Looper destroyed while its handler is still registered: the post notices.
    Ref<RecordingHandler> orphan = new RecordingHandler;
    {
        Ref<Looper> shortLived = new Looper;
        shortLived->registerHandler(orphan);
        ASSERT_EQ(OK, shortLived->start());
    }
    const handler_id orphanId = orphan->id();
    ASSERT_GE(orphanId, 1);
    EXPECT_EQ(nullptr, orphan->looper());  // findLooper drops the entry
    Ref<Message> toOrphan = new Message(FCC("orph"), orphanId);
    EXPECT_EQ(NAME_NOT_FOUND, LooperRoster::instance().postMessage(toOrphan));
    EXPECT_EQ(2u, logs.count("failed to post message. Target handler not registered."));

    Ref<RecordingHandler> orphan2 = new RecordingHandler;
    {
        Ref<Looper> shortLived = new Looper;
        shortLived->registerHandler(orphan2);
    }
    Ref<Message> toOrphan2 = new Message(FCC("orp2"), orphan2->id());
    EXPECT_EQ(NAME_NOT_FOUND, LooperRoster::instance().postMessage(toOrphan2));
    EXPECT_EQ(1u, logs.count("failed to post message. Target handler " + std::to_string(orphan2->id()) +
                             " still registered, but object gone."));
    EXPECT_EQ(NAME_NOT_FOUND, LooperRoster::instance().postMessage(toOrphan2));
    EXPECT_EQ(3u, logs.count("failed to post message. Target handler not registered."));
    EXPECT_EQ(0u, orphan->count() + orphan2->count());
    looper->stop();
}

TEST(Looper, RegistrationIdsOnlyGrow) {
    Ref<Looper> looper = new Looper;
    Ref<RecordingHandler> a = new RecordingHandler;
    Ref<RecordingHandler> b = new RecordingHandler;
    const handler_id idA = looper->registerHandler(a);
    const handler_id idB = looper->registerHandler(b);
    EXPECT_GE(idA, 1);
    EXPECT_GT(idB, idA);
    EXPECT_EQ(idA, a->id());
    EXPECT_EQ(looper.get(), a->looper().get());

    // Registering twice is refused and changes nothing.
    EXPECT_EQ(INVALID_OPERATION, looper->registerHandler(a));
    EXPECT_EQ(idA, a->id());

    looper->unregisterHandler(idA);
    EXPECT_EQ(0, a->id());
    const handler_id idA2 = looper->registerHandler(a);
    EXPECT_GT(idA2, idB);
    EXPECT_EQ(idA2, a->id());

    // Ids stay unique under concurrent registration.
    std::vector<std::thread> threads;
    std::vector<std::vector<Ref<RecordingHandler>>> perThread(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                Ref<RecordingHandler> h = new RecordingHandler;
                looper->registerHandler(h);
                perThread[t].push_back(h);
            }
        });
    }
    for (auto& t : threads) t.join();
    std::vector<handler_id> ids;
    for (auto& v : perThread) {
        for (auto& h : v) {
            ids.push_back(h->id());
            looper->unregisterHandler(h->id());
        }
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids.end(), std::adjacent_find(ids.begin(), ids.end()));
    EXPECT_GT(ids.front(), idA2);
    looper->unregisterHandler(idA2);
    looper->unregisterHandler(idB);
}

TEST(Looper, StopFromOwnHandlerEndsLoopAfterCurrentMessageAndKeepsQueue) {
    Ref<Looper> looper = new Looper;
    looper->setName("stopper");
    Ref<RecordingHandler> handler = new RecordingHandler;
    std::atomic<int> stopResult{12345};
    std::string threadName;
    handler->hook = [&](const Ref<Message>& msg) {
        if (msg->what() == FCC("stop")) {
            threadName = currentThreadName();
            stopResult = looper->stop();
        }
    };
    const handler_id id = looper->registerHandler(handler);
    // Queue both before starting, so the second is already due when the first stops the loop.
    (new Message(FCC("stop"), id))->post();
    (new Message(FCC("next"), id))->post();
    ASSERT_EQ(OK, looper->start());
    ASSERT_TRUE(handler->waitForCount(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(OK, stopResult.load());
    EXPECT_EQ("stopper", threadName);
    EXPECT_EQ(1u, handler->count());
    EXPECT_EQ(INVALID_OPERATION, looper->stop());

    // Restarted, it delivers what was left in the queue.
    handler->hook = nullptr;
    ASSERT_EQ(OK, looper->start());
    ASSERT_TRUE(handler->waitForCount(2));
    EXPECT_EQ((std::vector<int32_t>{FCC("stop"), FCC("next")}), handler->whats());
    EXPECT_EQ(INVALID_OPERATION, looper->start());
    looper->unregisterHandler(id);
    EXPECT_EQ(OK, looper->stop());
}

TEST(Looper, RunsHandlersOnItsNamedThread) {
    Ref<Looper> unnamed = new Looper;
    Ref<Looper> named = new Looper;
    named->setName("hls_extractor");
    std::vector<std::string> names;
    std::mutex mu;
    Ref<RecordingHandler> h1 = new RecordingHandler;
    Ref<RecordingHandler> h2 = new RecordingHandler;
    auto record = [&](const Ref<Message>&) {
        std::lock_guard<std::mutex> l(mu);
        names.push_back(currentThreadName());
    };
    h1->hook = record;
    h2->hook = record;
    const handler_id id1 = unnamed->registerHandler(h1);
    const handler_id id2 = named->registerHandler(h2);
    ASSERT_EQ(OK, unnamed->start());
    ASSERT_EQ(OK, named->start());
    (new Message(1, id1))->post();
    ASSERT_TRUE(h1->waitForCount(1));
    (new Message(2, id2))->post();
    ASSERT_TRUE(h2->waitForCount(1));
    EXPECT_EQ((std::vector<std::string>{"Looper", "hls_extractor"}), names);
    EXPECT_NE(std::this_thread::get_id(), h1->threads()[0]);
    EXPECT_NE(h1->threads()[0], h2->threads()[0]);
    unnamed->unregisterHandler(id1);
    named->unregisterHandler(id2);
}

TEST(Looper, RunsOnCallingThreadUntilStopped) {
    Ref<Looper> looper = new Looper;
    Ref<RecordingHandler> handler = new RecordingHandler;
    const handler_id id = looper->registerHandler(handler);
    handler->hook = [&](const Ref<Message>& msg) {
        if (msg->what() == FCC("stop")) {
            EXPECT_EQ(OK, looper->stop());
        }
    };
    std::thread::id loopThread;
    std::atomic<status_t> startResult{12345};
    std::thread runner([&] {
        loopThread = std::this_thread::get_id();
        startResult = looper->start(true);
    });
    (new Message(FCC("one"), id))->post(20000);
    (new Message(FCC("stop"), id))->post(60000);
    runner.join();
    EXPECT_EQ(OK, startResult.load());
    ASSERT_EQ(2u, handler->count());
    EXPECT_EQ(loopThread, handler->threads()[0]);
    EXPECT_EQ(loopThread, handler->threads()[1]);
    looper->unregisterHandler(id);
}

TEST(Looper, ManyPostersAndSelfPosting) {
    Ref<Looper> looper = new Looper;
    Ref<RecordingHandler> handler = new RecordingHandler;
    const handler_id id = looper->registerHandler(handler);
    // A chain: each message posts the next one from inside the handler.
    handler->hook = [&](const Ref<Message>& msg) {
        int32_t step;
        if (msg->findInt32("step", &step) && step < 100) {
            Ref<Message> next = new Message(FCC("chan"), id);
            next->setInt32("step", step + 1);
            next->post();
        }
    };
    ASSERT_EQ(OK, looper->start());
    Ref<Message> first = new Message(FCC("chan"), id);
    first->setInt32("step", 1);
    first->post();

    const int kThreads = 4, kPerThread = 300;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                Ref<Message> m = new Message(FCC("post"), id);
                m->setInt32("thread", t);
                m->setInt32("seq", i);
                m->post();
            }
        });
    }
    for (auto& p : posters) p.join();
    ASSERT_TRUE(handler->waitForCount(kThreads * kPerThread + 100, 20000));
    std::vector<int> next(kThreads, 0);
    int chain = 0;
    for (const auto& m : handler->messages()) {
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
    looper->unregisterHandler(id);
    looper->stop();
}

struct ReflectorTarget : public RefCounted {
    std::atomic<int> received{0};
    void onMessageReceived(const Ref<Message>& msg) {
        int32_t v = 0;
        if (msg->findInt32("v", &v)) received += v;
    }
};

TEST(Looper, ReflectorForwardsWhileTargetLives) {
    Ref<Looper> looper = new Looper;
    ASSERT_EQ(OK, looper->start());
    Ref<ReflectorTarget> target = new ReflectorTarget;
    Ref<HandlerReflector<ReflectorTarget>> reflector = new HandlerReflector<ReflectorTarget>(target.get());
    const handler_id id = looper->registerHandler(reflector);
    Ref<Message> msg = new Message(FCC("refl"), id);
    msg->setInt32("v", 5);
    msg->post();
    for (int i = 0; i < 500 && target->received.load() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(5, target->received.load());

    // The target goes away; later messages are dropped without touching it.
    WeakRef<ReflectorTarget> weak = target;
    target.clear();
    EXPECT_EQ(nullptr, weak.promote());
    LogCapture logs;
    Ref<Message> late = new Message(FCC("refl"), id);
    late->setInt32("v", 7);
    late->post();
    // A marker through a second handler shows the first message has been processed.
    Ref<RecordingHandler> marker = new RecordingHandler;
    const handler_id markerId = looper->registerHandler(marker);
    (new Message(FCC("mark"), markerId))->post();
    ASSERT_TRUE(marker->waitForCount(1));
    EXPECT_EQ(0u, logs.count("failed to deliver"));
    looper->unregisterHandler(id);
    looper->unregisterHandler(markerId);
    looper->stop();
}

TEST(Looper, LastReferenceDroppedOnItsOwnThread) {
    Ref<RecordingHandler> handler = new RecordingHandler;
    Ref<Looper> holder = new Looper;
    WeakRef<Looper> weak = holder;
    const handler_id id = holder->registerHandler(handler);
    ASSERT_EQ(OK, holder->start());
    // The handler holds the only strong reference and lets it go while handling a message:
    // the looper is destroyed on its own thread and must neither wait for itself nor be
    // touched afterwards.
    Ref<Looper> inHandler = holder;
    holder.clear();
    handler->hook = [&](const Ref<Message>&) { inHandler.clear(); };
    (new Message(FCC("bye"), id))->post();
    ASSERT_TRUE(handler->waitForCount(1));
    for (int i = 0; i < 500 && weak.promote() != nullptr; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(nullptr, weak.promote());
    LooperRoster::instance().unregisterHandler(id);
}

TEST(Looper, DestroyWithPendingEventsReleasesThem) {
    struct Tracked : public RefCounted {
        explicit Tracked(std::atomic<int>* c) : counter(c) {}
        ~Tracked() override { ++*counter; }
        std::atomic<int>* counter;
    };
    std::atomic<int> destroyed{0};
    {
        Ref<Looper> looper = new Looper;
        Ref<RecordingHandler> handler = new RecordingHandler;
        const handler_id id = looper->registerHandler(handler);
        ASSERT_EQ(OK, looper->start());
        for (int i = 0; i < 3; ++i) {
            Ref<Message> m = new Message(FCC("pend"), id);
            m->setObject("obj", new Tracked(&destroyed));
            m->post(10000000);
        }
        looper->unregisterHandler(id);
        EXPECT_EQ(0, destroyed.load());
    }
    EXPECT_EQ(3, destroyed.load());
}

}  // namespace
}  // namespace velmor
