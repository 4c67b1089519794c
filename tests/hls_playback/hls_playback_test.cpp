// HLS through the loaded library, as a host plays it with live handling left on: presentations
// from nginx (variants, AES-128, a discontinuity with a new picture size), a real live source,
// and variant switching driven by a throttled server.
#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/AgentService.h"
#include "support/FaultServer.h"
#include "support/Host.h"
#include "support/LiveHls.h"
#include "support/Nginx.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using qvtest::Notification;

constexpr int32_t kInfoBandwidth = 11;
constexpr int32_t kInfoBufferingStart = 701;
constexpr int32_t kInfoBufferingEnd = 702;
// BANDWIDTH of hls/abr's top variant.
constexpr int32_t kTopBandwidth = 1095600;

class HlsPlayback : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lib.ok()) << dlerror();
        REQUIRE_MEDIA("hls/vod/master.m3u8");
        player = lib.create();
        player->setListener(&qvtest::Collector::callback, &seen);
        player->createAudioSink(QV_AUDIO_SINK_NULL);
    }
    void TearDown() override {
        if (player) lib.destroy(player, false);
    }
    // Opens with live handling on (the engine's own HLS stack); true once prepared.
    bool open(const std::string& url, int timeoutMs = 30000) {
        if (player->setDataSource(url.c_str(), nullptr) != 0) return false;
        if (player->prepareAsync() != 0) return false;
        return seen.waitForAnyOf({QV_MEDIA_PREPARED, QV_MEDIA_ERROR}, timeoutMs) == QV_MEDIA_PREPARED;
    }
    int32_t positionMs() {
        int32_t ms = -1;
        player->getCurrentPosition(&ms);
        return ms;
    }
    // Waits until the position reaches `ms`; false on time-out.
    bool waitForPosition(int32_t ms, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            if (positionMs() >= ms) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
    size_t errors() { return seen.countMsg(QV_MEDIA_ERROR); }
    std::string url(const std::string& relative) { return qvtest::nginxUrl(relative); }

    qvtest::Library lib;
    qvtest::Collector seen;
    IVelmorPlayerBase* player = nullptr;
};

// A master playlist plays: the duration is the playlist's, the position advances while playing,
// a seek lands on its target, and after a seek near the end playback completes.
TEST_F(HlsPlayback, VodPlaysSeeksAndCompletes) {
    ASSERT_TRUE(open(url("hls/vod/master.m3u8"))) << ::testing::PrintToString(seen.msgs());
    int32_t durationMs = 0;
    ASSERT_EQ(0, player->getDuration(&durationMs));
    EXPECT_NEAR(durationMs, 20000, 100);
    ASSERT_EQ(0, player->start());
    ASSERT_TRUE(waitForPosition(1500, 10s)) << "position " << positionMs();
    ASSERT_EQ(0, player->seekTo(10000));
    ASSERT_TRUE(seen.waitForMsg(QV_MEDIA_SEEK_COMPLETE, 10000));
    std::this_thread::sleep_for(500ms);
    const int32_t afterSeek = positionMs();
    EXPECT_GE(afterSeek, 9500) << "the seek did not land near 10 s";
    EXPECT_LE(afterSeek, 12500);
    ASSERT_EQ(0, player->seekTo(17000));
    EXPECT_TRUE(seen.waitForMsg(QV_MEDIA_PLAYBACK_COMPLETE, 15000)) << ::testing::PrintToString(seen.msgs());
    EXPECT_EQ(errors(), 0u);
}

// Encrypted segments play; a discontinuity with a new picture size reaches the host as a new
// video size.
TEST_F(HlsPlayback, AesAndAResolutionChange) {
    ASSERT_TRUE(open(url("hls/aes/index.m3u8"))) << ::testing::PrintToString(seen.msgs());
    ASSERT_EQ(0, player->start());
    EXPECT_TRUE(waitForPosition(2500, 10s)) << "AES-128 segments did not play; position " << positionMs();
    EXPECT_EQ(errors(), 0u);
    lib.destroy(player, false);

    player = lib.create();
    seen.clear();
    player->setListener(&qvtest::Collector::callback, &seen);
    player->createAudioSink(QV_AUDIO_SINK_NULL);
    ASSERT_TRUE(open(url("hls/disc/index.m3u8"))) << ::testing::PrintToString(seen.msgs());
    ASSERT_TRUE(seen.waitFor([](const Notification& n) { return n.msg == QV_MEDIA_SET_VIDEO_SIZE && n.ext1 == 320; }, 2000));
    ASSERT_EQ(0, player->seekTo(6000));
    ASSERT_EQ(0, player->start());
    EXPECT_TRUE(seen.waitFor([](const Notification& n) { return n.msg == QV_MEDIA_SET_VIDEO_SIZE && n.ext1 == 640; }, 15000))
        << "the second half's picture size never reached the host";
    EXPECT_EQ(errors(), 0u);
}

// A real live source (ffmpeg -re) plays for 30 s: the position keeps following the stream and
// the duration is the live window's.
TEST_F(HlsPlayback, LiveSourcePlaysThirtySeconds) {
    qvtest::LiveHls live;
    ASSERT_TRUE(live.waitForSequence(4, 30000)) << live.log();
    ASSERT_TRUE(open(live.url())) << ::testing::PrintToString(seen.msgs());
    ASSERT_EQ(0, player->start());
    const auto start = Clock::now();
    int32_t first = -1, last = -1;
    while (Clock::now() - start < 30s) {
        std::this_thread::sleep_for(1s);
        const int32_t p = positionMs();
        if (first < 0) first = p;
        EXPECT_GE(p, last) << "the position went back";
        last = p;
    }
    EXPECT_GE(last - first, 25000) << "30 s of live playback moved the position only " << last - first << " ms";
    int32_t liveMs = 0;
    player->getLiveDuration(&liveMs);
    EXPECT_GT(liveMs, 2000);
    EXPECT_LT(liveMs, 8000) << "the live duration is the window's";
    EXPECT_EQ(errors(), 0u);
}

// Time-shift (the agent marks the item as a live stream): the duration leaves the live edge out,
// and a seek back into the window plays from there.
TEST_F(HlsPlayback, TimeshiftSeekBackIntoTheWindow) {
    qvtest::LiveHlsOptions options;
    options.listSize = 10;
    qvtest::LiveHls live(options);
    ASSERT_TRUE(live.waitForSequence(9, 40000)) << live.log();
    // A "real" item: the agent names the playlist's address, which the engine's HLS stack plays.
    const std::string catalogue = "{\"contents\": {\"live\": {\"type\": 2, \"items\": [{\"file\": \"" + live.name() +
                                  "/index.m3u8\", \"media_key\": \"key-live\"}], \"info\": {\"title\": \"live\", "
                                  "\"is_live\": 1}}}}";
    qvtest::AgentService agent(catalogue);
    ASSERT_TRUE(agent.ok());
    ASSERT_EQ(0, player->setDataSource("live", agent.hostPort().c_str()));
    ASSERT_EQ(0, player->prepareAsync());
    ASSERT_EQ(QV_MEDIA_PREPARED, seen.waitForAnyOf({QV_MEDIA_PREPARED, QV_MEDIA_ERROR}, 30000))
        << ::testing::PrintToString(seen.msgs());
    EXPECT_TRUE(player->isLiveSeekable());
    int32_t durationMs = 0;
    ASSERT_EQ(0, player->getDuration(&durationMs));
    EXPECT_GE(durationMs, 5000);
    EXPECT_LE(durationMs, 8500) << "a window of 10 one-second segments less the last 3";
    ASSERT_EQ(0, player->start());
    std::this_thread::sleep_for(2s);
    ASSERT_EQ(0, player->seekTo(1000));
    ASSERT_TRUE(seen.waitForMsg(QV_MEDIA_SEEK_COMPLETE, 10000));
    std::this_thread::sleep_for(1500ms);
    const int32_t p = positionMs();
    EXPECT_GE(p, 500) << "after a seek to 1 s";
    EXPECT_LE(p, 4500) << "after a seek to 1 s";
    EXPECT_EQ(errors(), 0u);
}

// The top variant is throttled from the start: the session climbs to it once the first segments
// came fast, falls back after a slow one (the host hears the variants' bandwidths as MEDIA_INFO
// 11), and climbs again once the throttle is lifted; a stall, if any, is short.
TEST_F(HlsPlayback, ThrottledVariantSwitchesDownAndBackUp) {
    qvtest::FaultServer faults;
    ASSERT_TRUE(faults.ok());
    REQUIRE_MEDIA("hls/abr/master.m3u8");
    // The top variant is about 128 kB per second of media: at 60 kB/s a segment takes 2 s.
    ASSERT_TRUE(faults.setRate("hls/abr/v2/", 60000));
    ASSERT_TRUE(open(faults.hlsRateUrl("hls/abr/master.m3u8"), 60000)) << ::testing::PrintToString(seen.msgs());
    ASSERT_EQ(0, player->start());
    auto bandwidths = [&] {
        std::vector<int32_t> out;
        for (const Notification& n : seen.items()) {
            if (n.msg == QV_MEDIA_INFO && n.ext1 == kInfoBandwidth) out.push_back(n.ext2);
        }
        return out;
    };
    // Polled: the collector's wait holds its lock while it tests.
    auto waitUntil = [](const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        for (const auto deadline = Clock::now() + timeout; Clock::now() < deadline;) {
            if (done()) return true;
            std::this_thread::sleep_for(100ms);
        }
        return done();
    };
    // Down from the top variant...
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::vector<int32_t> b = bandwidths();
            auto top = std::find(b.begin(), b.end(), kTopBandwidth);
            return top != b.end() && std::any_of(top, b.end(), [](int32_t v) { return v < kTopBandwidth; });
        },
        30s))
        << ::testing::PrintToString(bandwidths());
    faults.clearRates();
    // ... and up again.
    const size_t down = bandwidths().size();
    EXPECT_TRUE(waitUntil([&] { return bandwidths().size() > down && bandwidths().back() == kTopBandwidth; }, 20s))
        << "no switch up after the throttle was lifted: " << ::testing::PrintToString(bandwidths());
    // Stalls: each 701 is followed by a 702 within the time one throttled segment takes.
    Clock::time_point stallAt{};
    for (const Notification& n : seen.items()) {
        if (n.msg != QV_MEDIA_INFO) continue;
        if (n.ext1 == kInfoBufferingStart) stallAt = n.at;
        if (n.ext1 == kInfoBufferingEnd && stallAt != Clock::time_point{}) {
            EXPECT_LT(n.at - stallAt, 8s) << "a stall longer than a throttled segment";
            stallAt = {};
        }
    }
    EXPECT_EQ(errors(), 0u);
}

// Bad presentations end in MEDIA_ERROR (a 404 of an HLS session reaches the host as the live
// stream error -3012), and destroying a player whose HLS server stalls returns promptly.
TEST_F(HlsPlayback, BadPresentationsAndAStalledServer) {
    qvtest::FaultServer faults;
    ASSERT_TRUE(faults.ok());
    EXPECT_FALSE(open(faults.url("/status/404?as=.m3u8"), 40000));
    EXPECT_TRUE(seen.waitFor([](const Notification& n) { return n.msg == QV_MEDIA_ERROR && n.ext2 == -3012; }, 1000))
        << ::testing::PrintToString(seen.msgs());
    lib.destroy(player, false);

    player = lib.create();
    seen.clear();
    player->setListener(&qvtest::Collector::callback, &seen);
    player->createAudioSink(QV_AUDIO_SINK_NULL);
    player->setDataSource(faults.url("/stall-headers?as=.m3u8").c_str(), nullptr);
    player->prepareAsync();
    std::this_thread::sleep_for(1s);
    const auto start = Clock::now();
    lib.destroy(player, false);
    player = nullptr;
    EXPECT_LT(Clock::now() - start, 5s) << "destroying the player waited for the stalled server";
}

}  // namespace
