// A hostile host: every operation with null pointers, empty, over-long and malformed strings and
// extreme numbers, in every state a player passes through and from several threads at once. Each
// call returns its status; none crashes or hangs, and afterwards the same player still plays a
// good file and is destroyed promptly.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/PlayerFront.h"
#include "platform/linux/SinkFactory.h"
#include "quorvantix/quorvantix.h"
#include "support/FaultServer.h"
#include "support/Host.h"
#include "support/Window.h"
#include "utils/Payload.h"

namespace {

// Mesa's driver stays mapped for the whole program (see keepMesaDriverLoaded).
void* const gKeepDriver = qvtest::keepMesaDriverLoaded();

using qvtest::Collector;
using qvtest::FaultServer;
using qvtest::Library;
using qvtest::mediaPath;
using Clock = std::chrono::steady_clock;

constexpr int32_t kMin = INT32_MIN;
constexpr int32_t kMax = INT32_MAX;
constexpr int32_t kOk = 0;
constexpr int32_t kBadValue = -22;
constexpr int32_t kNoInit = -19;
constexpr int32_t kOutOfRange = -1008;
constexpr int32_t kUnsupported = -1010;
constexpr int32_t kUnknownError = INT32_MIN;  // prepareAsync while a prepare runs
constexpr int kSettleMs = 15000;                // generous: the machine is shared
constexpr auto kPromptDestroy = std::chrono::seconds(10);

const std::string& hugeText() {
    static const std::string text(1 << 20, 'q');
    return text;
}
const std::wstring& hugeWide() {
    static const std::wstring text(1 << 20, L'q');
    return text;
}
// Invalid UTF-8: lone continuation-less lead bytes, an overlong NUL, a surrogate, a 5-byte form.
const char kNotUtf8[] = "\xff\xfe\xc3\x28\xc0\x80\xed\xa0\x80\xf8\x88\x80\x80\x80";

double elapsedSeconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// States a host meets. Each is entered on a fresh player through the interface.
enum class State { Fresh, SourceSet, Preparing, Prepared, Playing, Paused, Seeking, Completed, Stopped, Error, Error404 };
const char* stateName(State s) {
    static const char* const kNames[] = {"fresh",  "source-set", "preparing", "prepared", "playing", "paused",
                                         "seeking", "completed", "stopped",   "error",    "error-404"};
    return kNames[static_cast<int>(s)];
}

// One player with its notifications, as a host holds it.
struct Host {
    Library& lib;
    IVelmorPlayerBase* player = nullptr;
    Collector collector;

    explicit Host(Library& library) : lib(library) {
        player = lib.create();
        if (player == nullptr) return;
        player->setListener(&Collector::callback, &collector);
        player->createAudioSink(QV_AUDIO_SINK_NULL);
    }
    ~Host() { destroy(); }
    // Destroys the player, returning how long it took.
    double destroy() {
        if (player == nullptr) return 0;
        const auto start = Clock::now();
        lib.destroy(player, false);
        player = nullptr;
        return elapsedSeconds(start);
    }
    // Notifications raised before still arrive a little later (the listener delivers them after
    // 10 ms): an error among them must not fail a good file's prepare.
    bool prepareFile(const std::string& path) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        collector.clear();
        player->setLiveDisabled(1);
        if (player->setDataSource(path.c_str(), nullptr) != kOk || player->prepareAsync() != kOk) return false;
        return collector.waitForMsg(QV_MEDIA_PREPARED, kSettleMs);
    }
    bool waitPlaying() {
        for (auto until = Clock::now() + std::chrono::milliseconds(kSettleMs); Clock::now() < until;) {
            if (player->isPlaying()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // A good file prepares and plays on this player: the clock moves.
    void expectPlaysGoodFile() {
        player->setListener(&Collector::callback, &collector);
        ASSERT_TRUE(prepareFile(mediaPath("h264_aac.mp4"))) << "a good file no longer prepares";
        ASSERT_EQ(player->start(), kOk);
        ASSERT_TRUE(waitPlaying());
        int32_t position = -1;
        bool moved = false;
        for (auto until = Clock::now() + std::chrono::milliseconds(kSettleMs); !moved && Clock::now() < until;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            moved = player->getCurrentPosition(&position) == kOk && position > 100;
        }
        EXPECT_TRUE(moved) << "position stuck at " << position;
    }
};

bool enterState(State state, Host& host, const FaultServer& server) {
    IVelmorPlayerBase* p = host.player;
    switch (state) {
        case State::Fresh: return true;
        case State::SourceSet: return p->setDataSource(mediaPath("h264_aac.mp4").c_str(), nullptr) == kOk;
        case State::Preparing:
            // The server answers nothing: the prepare stays under way for as long as the test needs.
            return p->setDataSource(server.url("/stall-headers").c_str(), nullptr) == kOk && p->prepareAsync() == kOk;
        case State::Prepared: return host.prepareFile(mediaPath("h264_aac.mp4"));
        case State::Playing:
        case State::Paused:
        case State::Seeking:
            if (!host.prepareFile(mediaPath("h264_aac.mp4")) || p->start() != kOk || !host.waitPlaying()) return false;
            if (state == State::Paused) return p->pause() == kOk;
            if (state == State::Seeking) return p->seekTo(5000) == kOk;  // the sweep starts while it runs
            return true;
        case State::Completed:
            return host.prepareFile(mediaPath("clip_20.mp4")) && p->start() == kOk &&
                   host.collector.waitForMsg(QV_MEDIA_PLAYBACK_COMPLETE, kSettleMs);
        case State::Stopped: return host.prepareFile(mediaPath("h264_aac.mp4")) && p->stop() == kOk;
        case State::Error:
            host.player->setLiveDisabled(1);
            return p->setDataSource("/no/such/dir/file.mp4", nullptr) == kOk && p->prepareAsync() == kOk &&
                   host.collector.waitForMsg(QV_MEDIA_ERROR, kSettleMs);
        case State::Error404:
            host.player->setLiveDisabled(1);
            return p->setDataSource(server.url("/status/404").c_str(), nullptr) == kOk && p->prepareAsync() == kOk &&
                   host.collector.waitForMsg(QV_MEDIA_ERROR, kSettleMs);
    }
    return false;
}

// An operation with hostile arguments and the status it must give: `expect` in every state,
// `afterStop` once the player is stopped (the engine answers every request with 0 then).
struct Call {
    const char* name;
    std::function<int64_t(IVelmorPlayerBase*)> run;
    std::optional<int64_t> expect;
    std::optional<int64_t> afterStop;
};

// Output buffers the calls write into.
struct Outputs {
    int32_t value = 0;
    wchar_t text[1024] = {};
    VelmorContentInfo content;
    VelmorVideoInfo video;
    std::vector<VelmorLiveProgram> programs;
    std::string json;
};

// Calls that leave the playback state alone: run in the state itself. Invoke-based calls that
// the engine answers with their own status get 0 after stop.
std::vector<Call> stateKeepingCalls(Outputs& o, const std::string& fifoPath, const FaultServer& server) {
    const char* huge = hugeText().c_str();
    const std::string stallCaption = server.url("/stall-headers");
    const std::string hugeCaption = "http://127.0.0.1/" + hugeText();
    auto same = [](int64_t v) { return std::optional<int64_t>(v); };
    std::vector<Call> calls = {
        {"setVideoArea(min,max) without a video sink", [](auto* p) { return p->setVideoArea(kMin, kMax); }, same(kUnsupported), {}},
        {"setVideoSurface(-1,-1,-1) without a video sink", [](auto* p) { return p->setVideoSurface(-1, -1, -1); }, same(kUnsupported), {}},
        {"reserved7", [](auto* p) { return p->reserved7(kMin, kMax, -1, 0); }, same(0), {}},
        {"setOsInfo(null,null)", [](auto* p) { return p->setOsInfo(nullptr, nullptr); }, same(0), {}},
        {"setOsInfo(1MB,non-UTF8)", [huge](auto* p) { return p->setOsInfo(huge, kNotUtf8); }, same(0), {}},
        {"reserved9/10/11", [](auto* p) { return p->reserved9(kMin) + p->reserved10() + p->reserved11(); }, same(0), {}},
        {"getVideoWidth(null)", [](auto* p) { return p->getVideoWidth(nullptr); }, same(kBadValue), {}},
        {"getVideoHeight(null)", [](auto* p) { return p->getVideoHeight(nullptr); }, same(kBadValue), {}},
        {"getVideoWidth", [&o](auto* p) { return p->getVideoWidth(&o.value) == 0 && o.value >= 0 ? 0 : -1; }, same(0), {}},
        {"getPlayerState(null)", [](auto* p) { return p->getPlayerState(nullptr); }, same(kBadValue), {}},
        {"getPlayerState", [&o](auto* p) { o.value = -5; return p->getPlayerState(&o.value) == 0 ? o.value : -1; }, same(0), {}},
        {"getErrorText(null lang, min)", [&o](auto* p) { return p->getErrorText(nullptr, kMin, o.text); }, same(0), {}},
        {"getErrorText(empty lang, max)", [&o](auto* p) { return p->getErrorText(L"", kMax, o.text); }, same(0), {}},
        {"getErrorText(1MB lang)", [&o](auto* p) { return p->getErrorText(hugeWide().c_str(), -1004, o.text); }, same(0), {}},
        {"getErrorText(out null)", [](auto* p) { return p->getErrorText(L"en", -1004, nullptr); }, same(kBadValue), {}},
        {"getCurrentPosition(null)", [](auto* p) { return p->getCurrentPosition(nullptr); }, same(kBadValue), {}},
        {"getDuration(null)", [](auto* p) { return p->getDuration(nullptr); }, same(kBadValue), {}},
        {"getCurrentPosition", [&o](auto* p) { return p->getCurrentPosition(&o.value) == 0 && o.value >= 0 ? 0 : -1; }, same(0), {}},
        // Always 0: an unknown duration reads as 0.
        {"getDuration", [&o](auto* p) { return p->getDuration(&o.value) == 0 && o.value >= 0 ? 0 : -1; }, same(0), {}},
        {"setLooping(min)", [](auto* p) { return p->setLooping(kMin) + p->setLooping(0); }, same(0), {}},
        {"setPlaybackSetting(min)", [](auto* p) { return p->setPlaybackSetting(kMin); }, same(0), {}},
        // Senseless rates are refused with an error, never passed on.
        {"setPlayingRate(NaN,inf,-1,0,1e300)",
         [](auto* p) {
             int refused = 0;
             for (double r : {std::nan(""), std::numeric_limits<double>::infinity(), -1.0, 0.0, 1e300, -1e300})
                 refused += p->setPlayingRate(r) != 0;
             return refused;
         },
         same(6), same(0)},
        {"setBrightness/Saturation/Contrast(extremes)",
         [](auto* p) { return p->setBrightness(kMin) | p->setSaturation(kMax) | p->setContrast(-1); }, same(0), {}},
        {"setVolume(min,max)", [](auto* p) { return p->setVolume(kMin, kMax) | p->setVolume(kMax, kMin); }, same(0), {}},
        {"setAudioEnabled(min)", [](auto* p) { return p->setAudioEnabled(kMin) | p->setAudioEnabled(1); }, same(0), {}},
        {"getContentInfo(null)", [](auto* p) { return p->getContentInfo(nullptr); }, same(kBadValue), {}},
        // After stop the engine answers with an empty reply, which cannot be read.
        {"getContentInfo", [&o](auto* p) { return p->getContentInfo(&o.content); }, same(0), same(kBadValue)},
        {"loadBookmarks", [](auto* p) { return p->loadBookmarks(); }, same(0), {}},
        {"getApiLevel", [](auto* p) { return p->getApiLevel(); }, same(1), {}},
        {"getBookmarks(null)", [](auto* p) { return p->getBookmarks(nullptr); }, same(kBadValue), {}},
        {"getBookmarks", [&o](auto* p) { return p->getBookmarks(&o.json); }, same(0), same(kBadValue)},
        {"addBookmark(min,null,1MB)", [huge](auto* p) { return p->addBookmark(kMin, nullptr, huge); }, same(0), {}},
        {"addBookmark(max,non-UTF8,empty)", [](auto* p) { return p->addBookmark(kMax, kNotUtf8, ""); }, same(0), {}},
        {"reserved38", [](auto* p) { return p->reserved38(kMax); }, same(kNoInit), {}},
        {"deleteBookmark(min,null)", [](auto* p) { return p->deleteBookmark(kMin, nullptr); }, same(0), {}},
        {"setScaleMode/AspectRatio(extremes)",
         [](auto* p) { return p->setScaleMode(kMin) | p->setAspectRatio(kMin, -1) | p->setAspectRatio(0, 0); }, same(0), {}},
        {"setViewOffset(max,min)", [](auto* p) { return p->setViewOffset(kMax, kMin); }, same(0), {}},
        {"getDeviceGuid", [](auto* p) { return static_cast<int64_t>(strlen(p->getDeviceGuid())); }, same(40), {}},
        {"selectTrack(min,select)", [](auto* p) { return p->selectTrack(kMin, true, true); }, same(kOutOfRange), same(0)},
        {"selectTrack(max,deselect)", [](auto* p) { return p->selectTrack(kMax, false, false); }, same(kOutOfRange), same(0)},
        {"selectTrack(-1)", [](auto* p) { return p->selectTrack(-1, true, false); }, same(kOutOfRange), same(0)},
        {"addSubtitleSource(null)", [](auto* p) { return p->addSubtitleSource(nullptr, false); }, same(kUnsupported), same(0)},
        {"addSubtitleSource(empty)", [](auto* p) { return p->addSubtitleSource("", true); }, same(kUnsupported), same(0)},
        {"addSubtitleSource(1MB)", [huge](auto* p) { return p->addSubtitleSource(huge, false); }, same(kUnsupported), same(0)},
        {"addSubtitleSource(non-UTF8)", [](auto* p) { return p->addSubtitleSource(kNotUtf8, false); }, same(kUnsupported), same(0)},
        {"addSubtitleSource(file://)", [](auto* p) { return p->addSubtitleSource("file://", false); }, same(kUnsupported), same(0)},
        {"addSubtitleSource(directory)", [](auto* p) { return p->addSubtitleSource("/tmp", false); }, same(kUnsupported), same(0)},
        {"addSubtitleSource(/dev/zero)", [](auto* p) { return p->addSubtitleSource("/dev/zero", true); }, same(kUnsupported), same(0)},
        // Nobody ever writes into the FIFO: the call must not wait for a writer.
        {"addSubtitleSource(fifo)", [fifoPath](auto* p) { return p->addSubtitleSource(fifoPath.c_str(), false); }, same(kUnsupported), same(0)},
        {"addSubtitleSource(random bytes)",
         [](auto* p) { return p->addSubtitleSource(mediaPath("random_40m.bin").c_str(), false); }, same(kUnsupported), same(0)},
        // Remote captions are copied by a thread of their own: accepted at once, whatever comes.
        {"addSubtitleSource(http stall)", [stallCaption](auto* p) { return p->addSubtitleSource(stallCaption.c_str(), false); }, same(0), {}},
        {"addSubtitleSource(http 1MB)", [hugeCaption](auto* p) { return p->addSubtitleSource(hugeCaption.c_str(), true); }, same(0), {}},
        {"refreshVideo", [](auto* p) { return p->refreshVideo(); }, same(0), {}},
        {"reserved47", [](auto* p) { return p->reserved47(); }, same(0), {}},
        {"setSinkOption(min) without a video sink", [](auto* p) { return p->setSinkOption(kMin) ? 1 : 0; }, same(0), {}},
        {"getSourceFlag", [](auto* p) { return p->getSourceFlag() == 0 || p->getSourceFlag() == 1 ? 0 : -1; }, same(0), {}},
        {"reserved50", [](auto* p) { return p->reserved50(kMin); }, same(0), {}},
        {"set/getUserValue(min)", [](auto* p) { return p->setUserValue(kMin)->getUserValue(); }, same(kMin), {}},
        {"reserved53", [](auto* p) { return p->reserved53(kMin, kMax); }, same(0), {}},
        // Without a video sink the second value comes back.
        {"setVideoSinkParams(min,max)", [](auto* p) { return p->setVideoSinkParams(kMin, kMax); }, same(kMax), {}},
        {"setVideoSinkParams(0,0)", [](auto* p) { return p->setVideoSinkParams(0, 0); }, same(0), {}},
        {"enableVideoOnlyFallback", [](auto* p) { return p->enableVideoOnlyFallback(); }, same(0), {}},
        {"skipTo(min) without a play list", [](auto* p) { return p->skipTo(kMin); }, same(kOutOfRange), same(0)},
        {"skipTo(-1) without a play list", [](auto* p) { return p->skipTo(-1); }, same(kOutOfRange), same(0)},
        {"hasNext(-1,min,max)", [](auto* p) { return int(p->hasNext(-1)) + p->hasNext(kMin) + p->hasNext(kMax); }, same(0), {}},
        {"reserved58", [](auto* p) { return p->reserved58(kMin); }, same(kMin), {}},
        {"setOption28(null,1MB,non-UTF8)",
         [huge](auto* p) { return p->setOption28(nullptr) | p->setOption28(huge) | p->setOption28(kNotUtf8); }, same(0), {}},
        {"agentCall31/32/33 without an agent",
         [](auto* p) { return p->agentCall31(kMin) | p->agentCall32(kMax) | p->agentCall33(kMin, kMax); }, same(0), {}},
        {"setAudioEffect(min,min)", [](auto* p) { return p->setAudioEffect(kMin, kMin); }, same(0), {}},
        {"setAudioSinkEffect(min,max,0)",
         [](auto* p) { p->setAudioSinkEffect(kMin); p->setAudioSinkEffect(kMax); p->setAudioSinkEffect(0); return 0; }, same(0), {}},
        {"getVideoInfo(null)", [](auto* p) { return p->getVideoInfo(nullptr); }, same(kBadValue), {}},
        {"getVideoInfo", [&o](auto* p) { return p->getVideoInfo(&o.video); }, same(0), {}},
        {"setTimeshiftOffset(min)", [](auto* p) { return p->setTimeshiftOffset(kMin) | p->setTimeshiftOffset(kMax); }, same(0), {}},
        {"getLivePrograms(null)", [](auto* p) { return p->getLivePrograms(nullptr); }, same(kBadValue), {}},
        {"getLivePrograms", [&o](auto* p) { o.programs = {{1, "stale"}}; return p->getLivePrograms(&o.programs) == 0 ? int64_t(o.programs.size()) : -1; }, same(0), {}},
        {"setLiveOption(null,1MB)", [huge](auto* p) { return p->setLiveOption(nullptr) | p->setLiveOption(huge); }, same(0), {}},
        {"setLiveDisabled(min)", [](auto* p) { return p->setLiveDisabled(kMin); }, same(0), {}},
        {"getLiveDuration(null)", [](auto* p) { return p->getLiveDuration(nullptr); }, same(kBadValue), {}},
        {"getLiveDuration", [&o](auto* p) { o.value = -5; return p->getLiveDuration(&o.value) == 0 ? o.value : -1; }, same(0), {}},
        {"isLiveSeekable", [](auto* p) { return p->isLiveSeekable() ? 1 : 0; }, same(0), {}},
        {"getAgentValue(null) without an agent", [](auto* p) { return p->getAgentValue(nullptr); }, same(-1), same(0)},
        {"setListener(null callback)", [](auto* p) { return p->setListener(nullptr, nullptr); }, same(0), {}},
    };
    return calls;
}

// Calls that change the state: run one after the other once the state-keeping sweep is done.
std::vector<Call> stateChangingCalls() {
    auto same = [](int64_t v) { return std::optional<int64_t>(v); };
    return {
        {"seekTo(min)", [](auto* p) { return p->seekTo(kMin); }, same(0), {}},
        {"seekTo(max)", [](auto* p) { return p->seekTo(kMax); }, same(0), {}},
        {"seekToExact(-1)", [](auto* p) { return p->seekToExact(-1); }, same(0), {}},
        {"seekToExact(max)", [](auto* p) { return p->seekToExact(kMax); }, same(0), {}},
        {"pause", [](auto* p) { return p->pause(); }, same(0), {}},
        {"reportError(min,max,0)", [](auto* p) { return p->reportError(kMin) | p->reportError(kMax) | p->reportError(0); }, same(0), {}},
        {"start", [](auto* p) { return p->start(); }, {}, {}},
        {"prepareAsync", [](auto* p) { int32_t r = p->prepareAsync(); return r == 0 || r == kUnknownError ? 0 : r; }, same(0), {}},
        {"stop", [](auto* p) { return p->stop(); }, same(0), {}},
        {"stop again", [](auto* p) { return p->stop(); }, same(0), {}},
    };
}

// A FIFO nobody writes into, removed with the test.
struct Fifo {
    std::string path;
    Fifo() {
        char dir[] = "/tmp/qv-hostile-XXXXXX";
        if (mkdtemp(dir) == nullptr) return;
        path = std::string(dir) + "/fifo.srt";
        if (mkfifo(path.c_str(), 0600) != 0) path.clear();
    }
    ~Fifo() {
        if (path.empty()) return;
        unlink(path.c_str());
        rmdir(path.substr(0, path.rfind('/')).c_str());
    }
};

// The loaded library, a fault server for stalled and failing addresses, and a FIFO (a file that
// blocks whoever opens it for reading).
class HostileLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lib.ok());
        ASSERT_TRUE(server.ok());
    }
    Library lib;
    FaultServer server;
    Fifo fifo;
};

TEST_F(HostileLibrary, EveryOperationInEveryStateReturnsItsStatus) {
    REQUIRE_MEDIA("h264_aac.mp4");
    REQUIRE_MEDIA("clip_20.mp4");
    ASSERT_FALSE(fifo.path.empty());
    for (State state : {State::Fresh, State::SourceSet, State::Preparing, State::Prepared, State::Playing,
                        State::Paused, State::Seeking, State::Completed, State::Stopped, State::Error,
                        State::Error404}) {
        SCOPED_TRACE(stateName(state));
        Host host(lib);
        ASSERT_NE(host.player, nullptr);
        ASSERT_TRUE(enterState(state, host, server)) << "could not reach the state";
        IVelmorPlayerBase* p = host.player;
        Outputs outputs;
        for (const Call& call : stateKeepingCalls(outputs, fifo.path, server)) {
            const auto start = Clock::now();
            const int64_t got = call.run(p);
            std::optional<int64_t> want = state == State::Stopped && call.afterStop ? call.afterStop : call.expect;
            if (want) {
                EXPECT_EQ(got, *want) << call.name;
            }
            EXPECT_LT(elapsedSeconds(start), 5.0) << call.name << " blocked the host's thread";
        }
        // The sweep left the state alone.
        if (state == State::Playing) {
            EXPECT_TRUE(p->isPlaying());
        }
        if (state == State::Preparing) {
            EXPECT_FALSE(p->isPlaying());
            EXPECT_EQ(p->prepareAsync(), kUnknownError);
            EXPECT_EQ(p->start(), kUnknownError);
        }
        for (const Call& call : stateChangingCalls()) {
            const auto start = Clock::now();
            const int64_t got = call.run(p);
            if (call.expect) {
                EXPECT_EQ(got, *call.expect) << call.name;
            }
            EXPECT_LT(elapsedSeconds(start), 5.0) << call.name << " blocked the host's thread";
        }
        host.expectPlaysGoodFile();
        EXPECT_LT(host.destroy(), std::chrono::duration<double>(kPromptDestroy).count());
    }
    // The User-Agent texts are process-wide: leave sane ones for whoever runs next.
    Host host(lib);
    host.player->setOsInfo("Linux", "1.0");
}

// Several host threads call into two players at once (one playing, one preparing), with the same
// hostile arguments, while the others seek, pause, start, stop and change the address. The
// facade's own fields (listener, user value, sink parameters) are the host's to serialise and are
// left out.
TEST_F(HostileLibrary, CallsFromSeveralThreadsAtOnce) {
    REQUIRE_MEDIA("h264_aac.mp4");
    Host playing(lib), preparing(lib);
    ASSERT_TRUE(enterState(State::Playing, playing, server));
    ASSERT_TRUE(enterState(State::Preparing, preparing, server));
    const std::string good = mediaPath("h264_aac.mp4");
    constexpr int kThreads = 4;
    constexpr auto kRunFor = std::chrono::seconds(3);
    std::atomic<int> calls{0}, slowCalls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Outputs outputs;
            std::vector<Call> mix;
            for (Call& c : stateKeepingCalls(outputs, fifo.path, server)) {
                const std::string name = c.name;
                if (name.find("setListener") != std::string::npos || name.find("UserValue") != std::string::npos ||
                    name.find("setVideoSinkParams") != std::string::npos || name.find("http") != std::string::npos ||
                    name.find("random") != std::string::npos) {
                    continue;
                }
                mix.push_back(std::move(c));
            }
            for (Call& c : stateChangingCalls()) mix.push_back(std::move(c));
            mix.push_back({"setDataSource+prepareAsync", [&good](auto* p) {
                               p->setLiveDisabled(1);
                               return p->setDataSource(good.c_str(), nullptr) | p->prepareAsync();
                           }, {}, {}});
            std::mt19937 random(static_cast<unsigned>(t) * 7919u + 1u);
            const auto until = Clock::now() + kRunFor;
            while (Clock::now() < until) {
                const Call& call = mix[random() % mix.size()];
                IVelmorPlayerBase* p = (random() & 1) ? playing.player : preparing.player;
                const auto start = Clock::now();
                call.run(p);
                if (elapsedSeconds(start) > 5.0) ++slowCalls;
                ++calls;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_GT(calls.load(), kThreads * 10);
    EXPECT_EQ(slowCalls.load(), 0) << "a call blocked the host's thread";
    playing.expectPlaysGoodFile();
    EXPECT_LT(playing.destroy(), std::chrono::duration<double>(kPromptDestroy).count());
    EXPECT_LT(preparing.destroy(), std::chrono::duration<double>(kPromptDestroy).count());
    Host after(lib);
    after.expectPlaysGoodFile();
}

// Addresses no player can play end in MEDIA_ERROR (or, where the source may still deliver, stay
// cancellable); agent addresses that cannot be resolved give their status at once; descriptors
// the host passes are left open.
TEST_F(HostileLibrary, HostileAddressesFailCleanlyAndStayCancellable) {
    REQUIRE_MEDIA("random_40m.bin");
    const std::string hugeUrl = "http://127.0.0.1:1/" + hugeText();
    struct Address {
        std::string name;
        std::function<int32_t(IVelmorPlayerBase*)> set;
        bool settles;  // false: a source that may still deliver; only cancelling is checked
    };
    int pipeFds[2] = {-1, -1};
    ASSERT_EQ(pipe(pipeFds), 0);
    auto url = [](std::string u) { return [u](IVelmorPlayerBase* p) { return p->setDataSource(u.c_str(), nullptr); }; };
    const std::vector<Address> addresses = {
        {"null", [](auto* p) { return p->setDataSource(nullptr, nullptr); }, true},
        {"empty", url(""), true},
        {"1MB path", url(hugeText()), true},
        {"1MB http", url(hugeUrl), true},
        {"non-UTF8", url(kNotUtf8), true},
        {"file://", url("file://"), true},
        {"directory", url("/tmp"), true},
        {"/dev/zero", url("/dev/zero"), true},
        {"random bytes", url(mediaPath("random_40m.bin")), true},
        {"refused port", url("http://127.0.0.1:1/a.mp4"), true},
        {"404", url(server.url("/status/404")), true},
        {"garbage status line", url(server.url("/bad-status-line/garbage")), true},
        {"bad host", url("http://[::1/a.mp4"), true},
        {"rtsp refused", url("rtsp://127.0.0.1:1/live"), true},
        {"dash", url(server.url("/file/a.mpd")), true},
        {"fd -1", [](auto* p) { return p->setDataSourceFd(-1); }, true},
        {"fd max", [](auto* p) { return p->setDataSourceFd(kMax); }, true},
        {"fd min", [](auto* p) { return p->setDataSourceFd(kMin); }, true},
        {"fifo", url(fifo.path), false},
        {"silent pipe fd", [&pipeFds](auto* p) { return p->setDataSourceFd(pipeFds[0]); }, false},
        {"stalled headers", url(server.url("/stall-headers")), false},
        {"stalled body", url(server.url("/stall-body/2000/h264_aac.mp4")), false},
    };
    for (const Address& address : addresses) {
        SCOPED_TRACE(address.name);
        Host host(lib);
        host.player->setLiveDisabled(1);
        ASSERT_EQ(address.set(host.player), kOk);
        ASSERT_EQ(host.player->prepareAsync(), kOk);
        if (address.settles) {
            EXPECT_EQ(host.collector.waitForAnyOf({QV_MEDIA_PREPARED, QV_MEDIA_ERROR}, kSettleMs), QV_MEDIA_ERROR);
            int32_t position = -1;
            EXPECT_EQ(host.player->getCurrentPosition(&position), kOk);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        EXPECT_LT(host.destroy(), std::chrono::duration<double>(kPromptDestroy).count());
    }
    // The engine reads the host's descriptor but leaves it to the host.
    EXPECT_NE(fcntl(pipeFds[0], F_GETFD), -1);
    close(pipeFds[0]);
    close(pipeFds[1]);

    // Agent sessions: the agent's address or the content path is hostile. Each gives a status
    // promptly; nothing is left half set up.
    struct AgentCase {
        const char* name;
        const char* path;
        std::string agent;
    };
    const std::vector<AgentCase> agentCases = {
        {"refused agent", "content/1", "127.0.0.1:1"},
        {"null path", nullptr, "127.0.0.1:1"},
        {"1MB agent", "content/1", hugeText()},
        {"non-UTF8 agent", "content/1", kNotUtf8},
        {"agent without port", "content/1", "127.0.0.1:"},
        {"descriptor /dev/zero", "/dev/zero", "127.0.0.1:1"},
        {"descriptor fifo", fifo.path.c_str(), "127.0.0.1:1"},
        {"descriptor directory", "/tmp", "127.0.0.1:1"},
        {"descriptor random bytes", nullptr, "127.0.0.1:1"},
    };
    const std::string randomPath = mediaPath("random_40m.bin");
    Host host(lib);
    for (const AgentCase& c : agentCases) {
        SCOPED_TRACE(c.name);
        const char* path = std::string(c.name) == "descriptor random bytes" ? randomPath.c_str() : c.path;
        const auto start = Clock::now();
        EXPECT_NE(host.player->setDataSource(path, c.agent.c_str()), kOk);
        EXPECT_LT(elapsedSeconds(start), 5.0) << "blocked the host's thread";
    }
    // A version text with a line break and stray bytes adds no header to the HTTP requests.
    {
        Host web(lib);
        web.player->setOsInfo("Windows 10", "6.3\r\nX-Injected: 1\xff");
        server.resetRequests();
        // A remote caption file is fetched by the engine's own HTTP client.
        ASSERT_EQ(web.player->addSubtitleSource(server.url("/file/clip_1.mp4").c_str(), false), kOk);
        std::string heads;
        for (auto until = Clock::now() + std::chrono::milliseconds(kSettleMs);
             heads.find("\r\n\r\n") == std::string::npos && Clock::now() < until;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            heads = server.requests();
        }
        EXPECT_NE(heads.find("User-Agent: VelmorPlayer Windows/10 V3.VelmorPlayer/6.3X-Injected: 1 "),
                  std::string::npos) << heads;
        EXPECT_EQ(heads.find("\r\nX-Injected"), std::string::npos) << heads;
        web.player->setOsInfo("Linux", "1.0");
    }
    // An empty agent address is no agent session: the path plays as an address.
    EXPECT_EQ(host.player->setDataSource(mediaPath("h264_aac.mp4").c_str(), ""), kOk);
    host.expectPlaysGoodFile();
}

// The player front's own operations with malformed requests: parameters with empty and short
// payloads, every invoke number (unknown ones too) with truncated payloads and unterminated
// strings, dumps to descriptors that cannot take them, in each state.
TEST(HostileHost, FrontRequestsParametersAndDumpsWithBadInput) {
    REQUIRE_MEDIA("h264_aac.mp4");
    using velmor::Payload;
    using velmor::PlayerFront;
    auto request = [](int32_t method) {
        auto p = std::make_unique<Payload>();
        p->writeInt32(method);
        p->setDataPosition(0);
        return p;
    };
    const std::string good = mediaPath("h264_aac.mp4");
    enum FrontState { kFresh, kPrepared, kPlaying, kStopped, kAfterReset };
    for (FrontState state : {kFresh, kPrepared, kPlaying, kStopped, kAfterReset}) {
        SCOPED_TRACE(state);
        velmor::Ref<PlayerFront> front = new PlayerFront();
        front->setAudioSink(velmor::CreatePlatformAudioSink(QV_AUDIO_SINK_NULL));
        auto live = request(40);
        live->setDataPosition(live->dataSize());
        live->writeInt32(1);
        live->setDataPosition(0);
        ASSERT_EQ(front->invoke(*live, nullptr), kOk);
        if (state != kFresh) {
            ASSERT_EQ(front->setDataSource(good.c_str(), nullptr, nullptr), kOk);
            ASSERT_EQ(front->prepare(), kOk);
        }
        if (state == kPlaying) {
            ASSERT_EQ(front->start(), kOk);
            for (int i = 0; i < 500 && !front->isPlaying(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ASSERT_TRUE(front->isPlaying());
        }
        if (state == kStopped) {
            ASSERT_EQ(front->stop(), kOk);
        }
        if (state == kAfterReset) {
            ASSERT_EQ(front->reset(), kOk);
        }
        const bool stopped = state == kStopped;
        auto unlessStopped = [stopped](int32_t status) { return stopped ? kOk : status; };

        // Parameters: unknown keys, empty and short payloads.
        Payload empty, reply;
        EXPECT_EQ(front->setParameter(1100, empty), kUnsupported);
        EXPECT_EQ(front->setParameter(kMin, empty), kUnsupported);
        Payload hugePayload;
        hugePayload.writeCString(hugeText().c_str());
        hugePayload.setDataPosition(0);
        EXPECT_EQ(front->setParameter(kMax, hugePayload), kUnsupported);
        if (state == kPlaying) {
            EXPECT_NE(front->setParameter(1300, empty), kOk);  // the value cannot be read
            Payload shortPayload;
            shortPayload.writeInt32(1);
            shortPayload.setDataSize(2);  // half a value
            shortPayload.setDataPosition(0);
            EXPECT_NE(front->setParameter(1300, shortPayload), kOk);
            auto one = request(1);
            EXPECT_EQ(front->setParameter(1300, *one), kOk);
        } else {
            EXPECT_EQ(front->setParameter(1300, empty), kNoInit);  // no audio player
        }
        EXPECT_EQ(front->getParameter(1200, nullptr), kOk);
        EXPECT_EQ(front->getParameter(1200, &reply), kOk);
        EXPECT_EQ(reply.dataSize(), 4u);
        EXPECT_EQ(front->getParameter(kMin, &reply), kUnsupported);
        EXPECT_EQ(front->getParameter(0, nullptr), kUnsupported);

        // Null out pointers and extreme values on the front's own operations.
        EXPECT_EQ(front->getPlayerState(nullptr), kBadValue);
        EXPECT_EQ(front->getCurrentPosition(nullptr), kBadValue);
        EXPECT_EQ(front->getDuration(nullptr), kBadValue);
        EXPECT_EQ(front->getLiveDuration(nullptr), kBadValue);
        EXPECT_EQ(front->getErrorText(nullptr, kMin, nullptr), kBadValue);
        EXPECT_EQ(front->setListener(velmor::Ref<velmor::PlayerListener>()), kOk);
        EXPECT_EQ(front->setStorageManager(kMin), kOk);
        EXPECT_EQ(front->setSurface(kMin, kMax), kOk);
        EXPECT_EQ(front->setVideoArea(kMin, kMax), kUnsupported);
        EXPECT_EQ(front->initCheck(), kOk);
        EXPECT_EQ(front->playerType(), 3);
        EXPECT_FALSE(front->hasNext(kMin));
        EXPECT_FALSE(front->hasNext(kMax));
        EXPECT_EQ(front->setSinkOption(kMin), kUnknownError);  // no video sink to answer

        // Dumps: no descriptor, a descriptor that is not open, a pipe nobody reads any more (the
        // write must fail with an error, not a signal), and a pipe that is read.
        EXPECT_EQ(front->dump(-1, nullptr), kOk);
        EXPECT_EQ(front->dump(kMax, ""), kOk);
        int closedReader[2];
        ASSERT_EQ(pipe(closedReader), 0);
        close(closedReader[0]);
        EXPECT_EQ(front->dump(closedReader[1], hugeText().c_str()), kOk);
        close(closedReader[1]);
        int readable[2];
        ASSERT_EQ(pipe(readable), 0);
        EXPECT_EQ(front->dump(readable[1], kNotUtf8), kOk);
        close(readable[1]);
        char head[32] = {};
        EXPECT_GT(read(readable[0], head, sizeof(head) - 1), 0);
        close(readable[0]);
        EXPECT_EQ(std::string(head).rfind(" PlaybackEngine\n", 0), 0u) << head;

        // Requests: no method number, half a number, unknown numbers.
        Payload half;
        half.writeInt32(7);
        half.setDataSize(2);
        half.setDataPosition(0);
        EXPECT_NE(front->invoke(empty, nullptr), kOk);
        EXPECT_NE(front->invoke(half, &reply), kOk);
        for (int32_t unknown : {kMin, -1, 0, 3, 6, 42, 1000, kMax}) {
            EXPECT_EQ(front->invoke(*request(unknown), &reply), unlessStopped(kUnsupported)) << unknown;
        }
        // Known numbers whose arguments are missing, or whose text has no terminator.
        EXPECT_EQ(front->invoke(*request(1), nullptr), unlessStopped(kBadValue));
        EXPECT_EQ(front->invoke(*request(30), nullptr), unlessStopped(kOutOfRange));
        for (int32_t method = 1; method <= 41; ++method) {
            if (method == 39) continue;  // reports an error to the host: run last
            Payload out;
            front->invoke(*request(method), &out);
            front->invoke(*request(method), nullptr);
            auto unterminated = request(method);
            unterminated->setDataPosition(unterminated->dataSize());
            if (method == 2) unterminated->writeInt32(0);
            unterminated->write("abcd", 4);
            unterminated->setDataPosition(0);
            const int32_t status = front->invoke(*unterminated, &out);
            if (method == 2) {
                EXPECT_EQ(status, unlessStopped(kBadValue));
            }
        }
        EXPECT_EQ(front->invoke(*request(39), nullptr), kOk);
        EXPECT_EQ(front->reset(), kOk);
        EXPECT_EQ(front->reset(), kOk);
        // Still usable: a good file prepares and plays.
        ASSERT_EQ(front->setDataSource(good.c_str(), nullptr, nullptr), kOk);
        ASSERT_EQ(front->prepare(), kOk);
        EXPECT_EQ(front->start(), kOk);
        const auto start = Clock::now();
        front.clear();
        EXPECT_LT(elapsedSeconds(start), std::chrono::duration<double>(kPromptDestroy).count());
    }
}

// Picture settings at their extremes reach the sinks that draw while a clip plays: margins larger
// than the window either way, aspect ratios of zero and of INT32_MAX, unknown scale modes and
// picture controls, for the OpenGL and the software sink.
TEST(HostileHost, ExtremePictureSettingsWhileDrawing) {
    REQUIRE_MEDIA("h264_aac.mp4");
    (void)gKeepDriver;
    qvtest::TestWindow window(320, 240);
    ASSERT_TRUE(window.ok()) << "no X display";
    Library lib;
    ASSERT_TRUE(lib.ok());
    // Surface sizes: unset (the window's), and absurdly large for the software sink's image.
    const struct {
        int kind;
        int32_t width, height;
    } sinks[] = {{QV_VIDEO_SINK_OPENGL, kMax, kMin}, {QV_VIDEO_SINK_SOFTWARE, kMin, 0}, {QV_VIDEO_SINK_SOFTWARE, kMax, kMax}};
    for (const auto& sink : sinks) {
        SCOPED_TRACE(std::to_string(sink.kind) + " " + std::to_string(sink.width) + "x" + std::to_string(sink.height));
        Host host(lib);
        IVelmorPlayerBase* p = host.player;
        EXPECT_EQ(p->setVideoSinkParams(kMin, kMax), kMax);  // kept for the sink made next
        ASSERT_EQ(p->createVideoSink(window.id(), kMin, sink.width, sink.height, sink.kind), kOk);
        ASSERT_TRUE(host.prepareFile(mediaPath("h264_aac.mp4")));
        ASSERT_EQ(p->start(), kOk);
        ASSERT_TRUE(host.waitPlaying());
        const struct {
            int32_t bottom, right, aspectNum, aspectDen, scaleMode, picture;
        } settings[] = {
            {kMin, kMin, kMax, 1, 0, kMax},  {kMax, kMax, 1, kMax, 0, kMin}, {-100000, 5, 0, 0, 2, -1},
            {5, -100000, kMin, -1, 1, 0},    {0, 0, kMax, kMax, kMin, 50},   {0, 0, 16, 9, 0, 50},
        };
        for (const auto& s : settings) {
            EXPECT_EQ(p->setVideoSinkParams(s.bottom, s.right), kOk);
            EXPECT_EQ(p->setScaleMode(s.scaleMode), kOk);
            EXPECT_EQ(p->setAspectRatio(s.aspectNum, s.aspectDen), kOk);
            EXPECT_EQ(p->setBrightness(s.picture) | p->setContrast(s.picture) | p->setSaturation(s.picture), kOk);
            EXPECT_EQ(p->setVideoArea(s.bottom, s.right), kOk);
            EXPECT_EQ(p->setVideoSurface(s.bottom, s.right, s.picture), kOk);
            p->setSinkOption(s.picture);
            p->setViewOffset(s.bottom, s.right);
            EXPECT_EQ(p->refreshVideo(), kOk);
            std::this_thread::sleep_for(std::chrono::milliseconds(150));  // a few pictures drawn
        }
        // Sound keeps the clock going whether or not the sink could draw.
        int32_t position = 0;
        EXPECT_EQ(p->getCurrentPosition(&position), kOk);
        EXPECT_GT(position, 0);
        EXPECT_TRUE(p->isPlaying());
        EXPECT_LT(host.destroy(), std::chrono::duration<double>(kPromptDestroy).count());
    }
}

}  // namespace
