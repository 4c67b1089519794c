// Endurance through the loaded library, in short form (bench/endurance and bench/players run the
// long forms and measure): many create-prepare-play-seek-destroy cycles over local files, HTTP and
// HLS from nginx, and sixteen players at once destroyed in random order. Every prepare ends in
// PREPARED or an error, every destroy returns, no notification follows it, and the engine's
// threads and descriptors are gone once it has returned. Under AddressSanitizer LeakSanitizer
// checks at exit that nothing the players allocated was left behind.
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "bench/endurance/HostPlayer.h"
#include "support/Host.h"
#include "support/Nginx.h"

namespace {

using qvbench::HostPlayer;
using qvbench::Source;
using qvbench::Via;
using namespace std::chrono_literals;

#if defined(__SANITIZE_ADDRESS__)
// Sanitized code runs several times slower: three rounds of the sources, a shorter joint play.
constexpr int kCycles = 42;
constexpr int kPlayers = 16;
constexpr auto kPlayTogether = 5s;
#else
constexpr int kCycles = 60;
constexpr int kPlayers = 16;
constexpr auto kPlayTogether = 8s;
#endif
// Generous bounds: a loaded two-core machine, sanitizer builds, many players at once.
constexpr int kPrepareBoundMs = 60000;
constexpr int kDestroyBoundMs = 30000;
constexpr int kSettleMs = 10000;

// Ends the test program when a DestroyPlayer does not return within kDestroyBoundMs: a hang is a
// failure, and the stuck call cannot be taken back.
class DestroyWatch {
public:
    explicit DestroyWatch(std::string what) : mWhat(std::move(what)), mThread([this] { watch(); }) {}
    ~DestroyWatch() {
        {
            std::lock_guard<std::mutex> l(mLock);
            mDone = true;
        }
        mCond.notify_all();
        mThread.join();
    }

private:
    void watch() {
        std::unique_lock<std::mutex> l(mLock);
        if (!mCond.wait_for(l, std::chrono::milliseconds(kDestroyBoundMs), [this] { return mDone; })) {
            fprintf(stderr, "DestroyPlayer did not return within %d ms: %s\n", kDestroyBoundMs, mWhat.c_str());
            abort();
        }
    }
    const std::string mWhat;
    std::mutex mLock;
    std::condition_variable mCond;
    bool mDone = false;  // guarded by mLock
    std::thread mThread;
};

class Endurance : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lib.ok()) << dlerror();
        REQUIRE_MEDIA("hls/vod/master.m3u8");
        ASSERT_FALSE(qvtest::nginxBase().empty());
        threads0 = qvbench::threadCount();
        fds0 = qvbench::fdCount();
    }
    // Destroys the player under the watch; no notification may follow the call.
    void destroy(HostPlayer& host, const Source& source) {
        {
            DestroyWatch watch(source.url);
            host.destroy();
        }
        std::this_thread::sleep_for(2ms);
        EXPECT_EQ(host.lateNotifications(), 0) << source.url << ": notified after DestroyPlayer returned";
    }
    Source source(Via via, const std::string& name) {
        if (via != Via::File) return qvbench::Source{via, name, qvtest::nginxUrl(name)};
        return qvbench::Source{via, name, qvtest::mediaPath(name)};
    }

    qvtest::Library lib;
    int threads0 = 0, fds0 = 0;
};

// Cycles over files, HTTP and HLS in turn; every other player is destroyed right after its seek
// call, the others once the seek completed, and every fifth while it is preparing. The thread
// count is back at its start after every cycle, so threads cannot grow across cycles either;
// descriptors are checked at the end.
TEST_F(Endurance, CreatePreparePlaySeekDestroyCycles) {
    // A slow server keeps the extractor's reads blocked in the network when a seek asks it to
    // suspend. The list has an even length, so a source's place decides whether its players wait
    // for the seek: the slow sources sit at odd places and are destroyed right after the call.
    auto slow = [](int64_t bytesPerSecond, const std::string& name) {
        return Source{Via::Http, name, qvtest::nginxRateUrl(bytesPerSecond, name)};
    };
    const std::vector<Source> sources = {
        source(Via::File, "h264_aac.mp4"),         slow(20000, "h264_aac.mp4"),
        source(Via::Http, "mpeg4_mp3.avi"),        source(Via::Hls, "hls/vod/master.m3u8"),
        source(Via::File, "hevc_aac.mkv"),         source(Via::Http, "h264_aac.flv"),
        source(Via::Hls, "hls/single/index.m3u8"), slow(30000, "demo.mp4"),
        source(Via::File, "vp8_vorbis.webm"),      source(Via::Http, "h264_aac.ts"),
        source(Via::Hls, "hls/aes/index.m3u8"),    source(Via::File, "truncated.mp4"),
        source(Via::Http, "h264_aac.mp4"),         source(Via::Hls, "hls/disc/index.m3u8"),
    };

    for (int i = 0; i < kCycles; ++i) {
        const Source& s = sources[i % sources.size()];
        SCOPED_TRACE(std::to_string(i) + " " + s.url);
        HostPlayer host(lib.create, lib.destroy);
        ASSERT_TRUE(host.open(s));
        if (i % 5 == 4) {
            // Every fifth player is closed while it is still opening (each source in turn).
            std::this_thread::sleep_for(std::chrono::milliseconds(i * 7 % 40));
            destroy(host, s);
            ASSERT_EQ(qvbench::settledThreadCount(threads0, kSettleMs), threads0) << "engine threads outlived the player";
            continue;
        }
        const int outcome = host.waitPrepared(kPrepareBoundMs);
        ASSERT_NE(outcome, 0) << "prepare neither completed nor failed";
        // The engine has no VP8 decoder, and the truncated file has no index.
        const bool playable = s.name != "vp8_vorbis.webm" && s.name != "truncated.mp4";
        EXPECT_EQ(outcome == QV_MEDIA_PREPARED, playable) << "error " << host.error();
        if (outcome == QV_MEDIA_PREPARED) {
            EXPECT_EQ(host.player()->start(), 0);
            std::this_thread::sleep_for(300ms);
            int32_t durationMs = 0;
            host.player()->getDuration(&durationMs);
            const int seeks = host.seeks();
            EXPECT_EQ(host.player()->seekTo(durationMs / 2), 0);
            // The engine takes a network stream of 5 s or less for a live edge: it does not seek.
            const bool seekable = s.via != Via::Http || durationMs > 5000;
            if (i % 2 == 0 && seekable) {
                EXPECT_TRUE(host.waitSeek(seeks, kPrepareBoundMs)) << "error " << host.error();
            }
        } else {
            EXPECT_NE(host.error(), 0) << "an error without a status";
        }
        destroy(host, s);
        ASSERT_EQ(qvbench::settledThreadCount(threads0, kSettleMs), threads0) << "engine threads outlived the player";
    }
    EXPECT_EQ(qvbench::fdCount(), fds0) << "descriptors outlived the players";
}

// Sixteen players of different sources play at once, then are destroyed in a random order while
// the others keep playing; each destroy returns and the threads of all of them are gone after.
TEST_F(Endurance, ManyPlayersAtOnceDestroyedInRandomOrder) {
    std::vector<Source> catalogue;
    for (const auto& named : qvbench::kMixedSources) catalogue.push_back(source(named.via, named.name));
    std::vector<std::unique_ptr<HostPlayer>> players;
    for (int i = 0; i < kPlayers; ++i) {
        players.push_back(std::make_unique<HostPlayer>(lib.create, lib.destroy));
        ASSERT_TRUE(players.back()->open(catalogue[i], /*looping=*/true)) << catalogue[i].url;
    }
    for (int i = 0; i < kPlayers; ++i) {
        ASSERT_EQ(players[i]->waitPrepared(kPrepareBoundMs), QV_MEDIA_PREPARED)
            << catalogue[i].url << " error " << players[i]->error();
        EXPECT_EQ(players[i]->player()->start(), 0);
    }
    EXPECT_GT(qvbench::threadCount(), threads0 + kPlayers) << "every player runs threads of its own";
    std::this_thread::sleep_for(kPlayTogether);

    std::vector<int> order(kPlayers);
    for (int i = 0; i < kPlayers; ++i) order[i] = i;
    const unsigned seed = std::random_device()();
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    SCOPED_TRACE("destroy order seed " + std::to_string(seed));
    for (int i : order) {
        // Short network streams do not loop (they cannot seek): those have completed.
        EXPECT_TRUE(players[i]->player()->isPlaying() || players[i]->complete()) << catalogue[i].url;
        EXPECT_EQ(players[i]->error(), 0) << catalogue[i].url;
        destroy(*players[i], catalogue[i]);
    }
    EXPECT_EQ(qvbench::settledThreadCount(threads0, kSettleMs), threads0) << "engine threads outlived the players";
}

}  // namespace
