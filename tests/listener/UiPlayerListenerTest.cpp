// Notifications reach the host callback on the listener's own thread, in order, at least 10 ms
// after they were raised, with the subtitle text of cue payloads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/UiPlayerListener.h"
#include "utils/Log.h"
#include "utils/Payload.h"

using namespace velmor;
using namespace std::chrono_literals;

namespace {

struct Call {
    int32_t msg, ext1, ext2;
    bool hasText;
    std::string text;
    int64_t atUs;
    std::thread::id thread;
};

struct Host {
    std::mutex lock;
    std::condition_variable cond;
    std::vector<Call> calls;
    // When set, the first call blocks until release() or the time-out.
    bool holdFirst = false;
    bool released = false;
    bool firstEntered = false;

    static void callback(void* userData, int32_t msg, int32_t ext1, int32_t ext2, const char* text) {
        Host* host = static_cast<Host*>(userData);
        const int64_t now = GetNowUs();
        std::unique_lock<std::mutex> g(host->lock);
        host->calls.push_back({msg, ext1, ext2, text != nullptr, text ? text : "", now, std::this_thread::get_id()});
        host->cond.notify_all();
        if (host->holdFirst && !host->firstEntered) {
            host->firstEntered = true;
            host->cond.notify_all();
            host->cond.wait_for(g, 400ms, [&] { return host->released; });
        }
    }
    bool waitFor(size_t n, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock<std::mutex> g(lock);
        return cond.wait_for(g, timeout, [&] { return calls.size() >= n; });
    }
    std::vector<Call> snapshot() {
        std::lock_guard<std::mutex> g(lock);
        return calls;
    }
};

void writeCue(Payload* p, int32_t first, int32_t second, int32_t start, int32_t textKey, const char* charset,
              const char* text) {
    p->writeInt32(first);
    p->writeInt32(second);
    p->writeInt32(start);
    p->writeInt32(textKey);
    p->writeCString(charset);
    p->writeCString(text);
}

}  // namespace

TEST(UiPlayerListener, DeliversInOrderLaterAndOnItsOwnThread) {
    Host host;
    Ref<UiPlayerListener> listener = new UiPlayerListener(&Host::callback, &host);
    Ref<PlayerListener> asListener = listener;  // the engine only sees the interface
    const int64_t raised = GetNowUs();
    asListener->notify(1, 0, 0, nullptr);
    asListener->notify(200, 701, 0, nullptr);
    asListener->notify(100, 1, -1004, nullptr);
    ASSERT_TRUE(host.waitFor(3));
    std::vector<Call> calls = host.snapshot();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].msg, 1);
    EXPECT_EQ(calls[1].msg, 200);
    EXPECT_EQ(calls[1].ext1, 701);
    EXPECT_EQ(calls[2].msg, 100);
    EXPECT_EQ(calls[2].ext1, 1);
    EXPECT_EQ(calls[2].ext2, -1004);
    for (const Call& c : calls) {
        EXPECT_GE(c.atUs - raised, UiPlayerListener::kDeliveryDelayUs);
        EXPECT_NE(c.thread, std::this_thread::get_id());
        EXPECT_EQ(c.thread, calls[0].thread);  // one delivery thread
        EXPECT_FALSE(c.hasText);
    }
}

TEST(UiPlayerListener, SubtitleCuePayloads) {
    Host host;
    Ref<UiPlayerListener> listener = new UiPlayerListener(&Host::callback, &host);

    Payload good;
    writeCue(&good, 102, 7, 61250, 17, "UTF-8", "Hello <b>world</b>\nsecond line");
    listener->notify(99, 0, 0, &good);

    // The sender left the position at the end; the listener reads from the start.
    Payload secondary;
    writeCue(&secondary, 102, 7, 0, 17, "EUC-KR", "secondary");
    secondary.readInt32();
    secondary.readInt32();
    listener->notify(101, 0, 0, &secondary);

    Payload emptyText;
    writeCue(&emptyText, 102, 7, 100, 17, "UTF-8", "");
    listener->notify(99, 0, 0, &emptyText);

    Payload badStart, badSeven, badSeventeen, truncated;
    writeCue(&badStart, 101, 7, 100, 17, "UTF-8", "x");
    writeCue(&badSeven, 102, 8, 100, 17, "UTF-8", "x");
    writeCue(&badSeventeen, 102, 7, 100, 16, "UTF-8", "x");
    truncated.writeInt32(102);
    truncated.writeInt32(7);
    listener->notify(99, 0, 0, &badStart);
    listener->notify(99, 0, 0, &badSeven);
    listener->notify(99, 0, 0, &badSeventeen);
    listener->notify(99, 0, 0, &truncated);

    // Cleared cue (no payload) and a cue payload on a message that carries no text.
    listener->notify(99, 0, 0, nullptr);
    listener->notify(5, 640, 360, &good);

    ASSERT_TRUE(host.waitFor(9));
    std::vector<Call> calls = host.snapshot();
    ASSERT_EQ(calls.size(), 9u);
    EXPECT_EQ(calls[0].msg, 99);
    EXPECT_TRUE(calls[0].hasText);
    EXPECT_EQ(calls[0].text, "Hello <b>world</b>\nsecond line");
    EXPECT_EQ(calls[1].msg, 101);
    EXPECT_TRUE(calls[1].hasText);
    EXPECT_EQ(calls[1].text, "secondary");
    for (size_t i = 2; i < 8; ++i) {
        EXPECT_EQ(calls[i].msg, 99) << i;
        EXPECT_FALSE(calls[i].hasText) << i;
    }
    EXPECT_EQ(calls[8].msg, 5);
    EXPECT_EQ(calls[8].ext1, 640);
    EXPECT_EQ(calls[8].ext2, 360);
    EXPECT_FALSE(calls[8].hasText);
}

TEST(UiPlayerListener, ManyThreadsEachKeepTheirOrder) {
    Host host;
    Ref<UiPlayerListener> listener = new UiPlayerListener(&Host::callback, &host);
    constexpr int kThreads = 4, kEach = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                listener->notify(200, t, i, nullptr);
                if (i % 25 == 0) std::this_thread::sleep_for(1ms);
            }
        });
    }
    for (auto& th : threads) th.join();
    ASSERT_TRUE(host.waitFor(kThreads * kEach, 10s));
    std::vector<int> next(kThreads, 0);
    for (const Call& c : host.snapshot()) {
        ASSERT_GE(c.ext1, 0);
        ASSERT_LT(c.ext1, kThreads);
        EXPECT_EQ(c.ext2, next[c.ext1]) << "thread " << c.ext1;
        next[c.ext1] = c.ext2 + 1;
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kEach);
}

TEST(UiPlayerListener, DestroyingDropsQueuedNotifications) {
    Host host;
    host.holdFirst = true;
    Ref<UiPlayerListener> listener = new UiPlayerListener(&Host::callback, &host);
    listener->notify(7, 0, 0, nullptr);
    {
        std::unique_lock<std::mutex> g(host.lock);
        ASSERT_TRUE(host.cond.wait_for(g, 5s, [&] { return host.firstEntered; }));
    }
    // The delivery thread is held inside the first call; these become due meanwhile.
    listener->notify(8, 0, 0, nullptr);
    listener->notify(9, 0, 0, nullptr);
    std::this_thread::sleep_for(30ms);
    // The destructor cancels the queued two and then waits for the call in progress.
    listener.clear();
    std::this_thread::sleep_for(100ms);
    std::vector<Call> calls = host.snapshot();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].msg, 7);

    // Destroyed before the delay ran out: never delivered.
    Host quiet;
    Ref<UiPlayerListener> shortLived = new UiPlayerListener(&Host::callback, &quiet);
    shortLived->notify(1, 0, 0, nullptr);
    shortLived.clear();
    std::this_thread::sleep_for(50ms);
    // The first delivery could only have happened if the destructor ran 10 ms late; nothing
    // can arrive after it returned.
    const size_t afterDestroy = quiet.snapshot().size();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(quiet.snapshot().size(), afterDestroy);
}

namespace {
// A host that releases the player (and so the listener) from inside its callback.
struct ReleasingHost {
    Ref<UiPlayerListener> listener;
    std::atomic<int> calls{0};
    std::atomic<bool> released{false};
    static void callback(void* userData, int32_t msg, int32_t, int32_t, const char*) {
        auto* host = static_cast<ReleasingHost*>(userData);
        ++host->calls;
        if (msg == 2) {
            host->listener.clear();  // the last reference: destroyed on the delivery thread
            host->released = true;
        }
    }
};
}  // namespace

TEST(UiPlayerListener, HostMayReleaseTheListenerInsideTheCallback) {
    ReleasingHost host;
    host.listener = new UiPlayerListener(&ReleasingHost::callback, &host);
    UiPlayerListener* raw = host.listener.get();
    raw->notify(1, 0, 0, nullptr);
    raw->notify(2, 0, 0, nullptr);
    raw->notify(3, 0, 0, nullptr);  // queued behind the release: dropped
    for (int i = 0; i < 500 && !host.released; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(host.released);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(host.calls.load(), 2);
}
