// Notifications reach the host callback on the listener's own thread, in order, at least 10 ms
// after they were raised, with the subtitle text of cue payloads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <iterator>
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
    // Runs inside the callback after the call was recorded, without the lock.
    std::function<void(int32_t msg)> onCall;

    static void callback(void* userData, int32_t msg, int32_t ext1, int32_t ext2, const char* text) {
        Host* host = static_cast<Host*>(userData);
        const Call call{msg, ext1, ext2, text != nullptr, text ? text : "", GetNowUs(), std::this_thread::get_id()};
        {
            std::lock_guard<std::mutex> g(host->lock);
            host->calls.push_back(call);
        }
        host->cond.notify_all();
        if (host->onCall) host->onCall(msg);
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

}  // namespace

TEST(UiPlayerListener, DeliversEachSendersOrderLaterAndOnItsOwnThread) {
    Host host;
    Ref<PlayerListener> listener = new UiPlayerListener(&Host::callback, &host);  // as the engine sees it
    constexpr int kThreads = 4, kEach = 100;
    std::vector<int64_t> raisedAt(kThreads * kEach);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                raisedAt[t * kEach + i] = GetNowUs();
                listener->notify(200 + t, t, i, nullptr);
                if (i % 25 == 0) std::this_thread::sleep_for(1ms);
            }
        });
    }
    for (auto& th : threads) th.join();
    ASSERT_TRUE(host.waitFor(kThreads * kEach, 10s));
    std::vector<int> next(kThreads, 0);
    const std::vector<Call> calls = host.snapshot();
    for (const Call& c : calls) {
        ASSERT_GE(c.ext1, 0);
        ASSERT_LT(c.ext1, kThreads);
        EXPECT_EQ(c.msg, 200 + c.ext1);
        EXPECT_EQ(c.ext2, next[c.ext1]) << "thread " << c.ext1;
        next[c.ext1] = c.ext2 + 1;
        EXPECT_GE(c.atUs - raisedAt[c.ext1 * kEach + c.ext2], UiPlayerListener::kDeliveryDelayUs);
        EXPECT_NE(c.thread, std::this_thread::get_id());
        EXPECT_EQ(c.thread, calls[0].thread);  // one delivery thread
        EXPECT_FALSE(c.hasText);
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kEach);
}

TEST(UiPlayerListener, SubtitleCuePayloads) {
    struct Cue {
        int32_t msg;
        std::vector<int32_t> head;  // 102, 7, start time, 17 when well formed
        const char* charset;
        const char* text;
        bool rewound;  // left at position 0 by the sender
        const char* expected;  // null: delivered without text
    };
    const Cue cues[] = {
        {99, {102, 7, 61250, 17}, "UTF-8", "Hello <b>world</b>\nsecond line", true, "Hello <b>world</b>\nsecond line"},
        {101, {102, 7, 0, 17}, "EUC-KR", "secondary", false, "secondary"},  // read from the start anyway
        {99, {102, 7, 100, 17}, "UTF-8", "", true, nullptr},
        {99, {101, 7, 100, 17}, "UTF-8", "x", true, nullptr},
        {99, {102, 8, 100, 17}, "UTF-8", "x", true, nullptr},
        {99, {102, 7, 100, 16}, "UTF-8", "x", true, nullptr},
        {99, {102, 7}, nullptr, nullptr, true, nullptr},  // truncated
        {5, {102, 7, 100, 17}, "UTF-8", "x", true, nullptr},  // a message that carries no text
    };
    Host host;
    Ref<UiPlayerListener> listener = new UiPlayerListener(&Host::callback, &host);
    for (const Cue& cue : cues) {
        Payload p;
        for (int32_t v : cue.head) p.writeInt32(v);
        if (cue.charset) p.writeCString(cue.charset);
        if (cue.text) p.writeCString(cue.text);
        if (cue.rewound) p.setDataPosition(0);
        listener->notify(cue.msg, 640, 360, &p);
    }
    listener->notify(99, 0, 0, nullptr);  // a cleared cue
    const size_t n = std::size(cues);
    ASSERT_TRUE(host.waitFor(n + 1));
    const std::vector<Call> calls = host.snapshot();
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(calls[i].msg, cues[i].msg) << i;
        EXPECT_EQ(calls[i].ext1, 640) << i;
        EXPECT_EQ(calls[i].ext2, 360) << i;
        EXPECT_EQ(calls[i].hasText, cues[i].expected != nullptr) << i;
        EXPECT_EQ(calls[i].text, cues[i].expected ? cues[i].expected : "") << i;
    }
    EXPECT_EQ(calls[n].msg, 99);
    EXPECT_FALSE(calls[n].hasText);
}

TEST(UiPlayerListener, DestroyingDropsQueuedNotifications) {
    // Destroyed while the host is inside a call: the call finishes, the queued ones are dropped.
    Host host;
    host.onCall = [](int32_t msg) {
        if (msg == 7) std::this_thread::sleep_for(300ms);
    };
    Ref<UiPlayerListener> listener = new UiPlayerListener(&Host::callback, &host);
    listener->notify(7, 0, 0, nullptr);
    ASSERT_TRUE(host.waitFor(1));
    listener->notify(8, 0, 0, nullptr);
    listener->notify(9, 0, 0, nullptr);
    std::this_thread::sleep_for(30ms);  // both due now
    listener.clear();
    std::this_thread::sleep_for(100ms);
    std::vector<Call> calls = host.snapshot();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].msg, 7);

    // Destroyed before the delay ran out: nothing arrives after the destructor returned.
    Host quiet;
    Ref<UiPlayerListener> shortLived = new UiPlayerListener(&Host::callback, &quiet);
    shortLived->notify(1, 0, 0, nullptr);
    shortLived.clear();
    const size_t afterDestroy = quiet.snapshot().size();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(quiet.snapshot().size(), afterDestroy);

    // The host drops the last reference inside its callback: the listener goes on its own
    // delivery thread and what was queued behind is dropped.
    Host releasing;
    Ref<UiPlayerListener> held = new UiPlayerListener(&Host::callback, &releasing);
    std::atomic<bool> released{false};
    releasing.onCall = [&](int32_t msg) {
        if (msg != 2) return;
        held.clear();
        released = true;
    };
    UiPlayerListener* raw = held.get();
    raw->notify(1, 0, 0, nullptr);
    raw->notify(2, 0, 0, nullptr);
    raw->notify(3, 0, 0, nullptr);
    for (int i = 0; i < 500 && !released; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(released);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(releasing.snapshot().size(), 2u);
}
