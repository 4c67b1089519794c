// Subtitle files played through the loaded library as a host plays them: cues reach the host's
// callback at their times while the clip plays through PulseAudio, across pause, seek and a
// faster rate; files added from nginx and from a misbehaving server; the secondary track; track
// listing and selection; bad files and addresses.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/PlayerFront.h"
#include "support/FaultServer.h"
#include "support/Host.h"
#include "support/Nginx.h"
#include "utils/Payload.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int32_t kMsgTimedText2 = 101;
constexpr int32_t kMsgTextTrack2Added = 11;
constexpr int32_t kInfoTimedTextError = 900;
constexpr int32_t kUnsupported = -1010;

// The cue file the timing tests play: cue k says "cue k" from k*500 ms to (k+1)*500 ms.
constexpr int kCueSpacingMs = 500;
constexpr int kCueCount = 20;
const char kTimingFile[] = "sub_timing.srt";

// Cues are handed over this long before their time (the host's rendering head start); with the
// listener's own 10 ms hop a cue reaches the host about 90 ms ahead.
constexpr int kLeadMs = 100;
// Generous bounds around that on a shared, noisy machine: how much earlier or later than the
// designed lead a cue may arrive.
constexpr int kEarlyToleranceMs = 150;
constexpr int kLateToleranceMs = 60;

std::string srtTime(int ms) {
    char text[32];
    snprintf(text, sizeof(text), "%02d:%02d:%02d,%03d", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
    return text;
}

// Writes the timing cue file into the media folder (nginx and the fault server serve it there).
std::string writeTimingFile() {
    const std::string path = qvtest::mediaPath(kTimingFile);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (int k = 0; k < kCueCount; ++k) {
        out << k + 1 << "\r\n"
            << srtTime(k * kCueSpacingMs) << " --> " << srtTime((k + 1) * kCueSpacingMs) << "\r\n"
            << "cue " << k << "\r\n\r\n";
    }
    return path;
}

// What the host saw: every notification, with the playback position when it arrived.
class CueRecorder {
public:
    struct Event {
        int32_t msg, ext1, ext2;
        bool hasText;
        std::string text;
        int32_t positionMs;
        Clock::time_point at;
        // The cue number of a "cue k" text, else -1.
        int cue() const {
            int k = -1;
            return hasText && sscanf(text.c_str(), "cue %d", &k) == 1 ? k : -1;
        }
    };

    static void callback(void* user, int32_t msg, int32_t ext1, int32_t ext2, const char* text) {
        auto* self = static_cast<CueRecorder*>(user);
        int32_t positionMs = -1;
        if (IVelmorPlayerBase* player = self->mPlayer.load()) player->getCurrentPosition(&positionMs);
        std::lock_guard<std::mutex> l(self->mLock);
        self->mEvents.push_back({msg, ext1, ext2, text != nullptr, text ? text : "", positionMs, Clock::now()});
        self->mCond.notify_all();
    }

    void attach(IVelmorPlayerBase* player) { mPlayer.store(player); }
    // Waits for an event matching pred at index `from` or later; its index, or -1.
    template <class Pred>
    int waitFor(Pred pred, size_t from = 0, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock<std::mutex> l(mLock);
        int found = -1;
        mCond.wait_for(l, timeout, [&] {
            for (size_t i = from; i < mEvents.size(); ++i) {
                if (pred(mEvents[i])) {
                    found = static_cast<int>(i);
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    int waitForCue(int k, size_t from = 0, std::chrono::milliseconds timeout = 10s) {
        return waitFor([k](const Event& e) { return e.msg == QV_MEDIA_TIMED_TEXT && e.cue() == k; }, from, timeout);
    }
    std::vector<Event> events() {
        std::lock_guard<std::mutex> l(mLock);
        return mEvents;
    }
    size_t size() {
        std::lock_guard<std::mutex> l(mLock);
        return mEvents.size();
    }

private:
    std::atomic<IVelmorPlayerBase*> mPlayer{nullptr};
    std::mutex mLock;
    std::condition_variable mCond;
    std::vector<Event> mEvents;
};

// Files in a directory (the caption copies left behind).
std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        }
        closedir(d);
    }
    return names;
}

class SubtitlePlayback : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Caption copies go to a folder of this test's own, so leftovers can be counted.
        tempDir = "/tmp/qv_subs_" + std::to_string(getpid());
        mkdir(tempDir.c_str(), 0700);
        setenv("TMPDIR", tempDir.c_str(), 1);
    }
    void SetUp() override {
        ASSERT_TRUE(lib.ok()) << dlerror();
        REQUIRE_MEDIA("demo.mp4");
        timingFile = writeTimingFile();
    }
    void TearDown() override { destroy(); }
    void destroy() {
        if (player == nullptr) return;
        cues.attach(nullptr);
        lib.destroy(player, false);
        player = nullptr;
    }
    // Opens a clip (audio to the default device when the sound server runs, else the null sink)
    // and waits for MEDIA_PREPARED.
    void open(const std::string& clip) {
        player = lib.create();
        player->setListener(&CueRecorder::callback, &cues);
        player->createAudioSink(getenv("QV_PULSE_MONITOR") ? QV_AUDIO_SINK_DEFAULT : QV_AUDIO_SINK_NULL);
        player->setLiveDisabled(1);
        ASSERT_EQ(0, player->setDataSource(qvtest::mediaPath(clip).c_str(), nullptr));
        ASSERT_EQ(0, player->prepareAsync());
        ASSERT_GE(cues.waitFor([](const CueRecorder::Event& e) { return e.msg == QV_MEDIA_PREPARED; }), 0);
        cues.attach(player);
    }
    // Adds a subtitle file and waits for the track to appear; its index, or -1.
    int addTrack(const std::string& uri, bool secondary = false, std::chrono::milliseconds timeout = 10s) {
        const size_t from = cues.size();
        EXPECT_EQ(0, player->addSubtitleSource(uri.c_str(), secondary));
        const int32_t added = secondary ? kMsgTextTrack2Added : QV_MEDIA_INFO_TIMED_TEXT_DETECTED;
        const int i = cues.waitFor([added](const CueRecorder::Event& e) { return e.msg == added; }, from, timeout);
        return i < 0 ? -1 : cues.events()[static_cast<size_t>(i)].ext1;
    }

    static std::string tempDir;
    qvtest::Library lib;
    CueRecorder cues;
    IVelmorPlayerBase* player = nullptr;
    std::string timingFile;
};

std::string SubtitlePlayback::tempDir;

// Checks that cue `k`'s event arrived within the bounds around the designed lead.
void expectOnTime(const CueRecorder::Event& e, const char* phase) {
    const int startMs = e.cue() * kCueSpacingMs;
    const int leadMs = startMs - e.positionMs;
    EXPECT_GE(leadMs, -kLateToleranceMs) << phase << ": cue " << e.cue() << " late by " << -leadMs << " ms";
    EXPECT_LE(leadMs, kLeadMs + kEarlyToleranceMs) << phase << ": cue " << e.cue() << " early by " << leadMs << " ms";
    printf("  %s cue %2d: start %5d ms, arrived at position %5d ms (lead %4d ms)\n", phase, e.cue(), startMs,
           e.positionMs, leadMs);
}

// Cue timing measured against the position the host reads: play, pause and hold, seek while
// paused, then play on at 1.5x.
TEST_F(SubtitlePlayback, CuesArriveOnTimeAcrossPauseSeekAndRate) {
    ASSERT_NO_FATAL_FAILURE(open("demo.mp4"));
    const int track = addTrack(timingFile);
    ASSERT_GE(track, 2) << "the subtitle track follows the clip's video and audio tracks";
    ASSERT_EQ(0, player->selectTrack(track, true, false));
    ASSERT_EQ(0, player->start());

    // Playing: cues 0..5 in order, each once, none cleared between back-to-back cues.
    const int last = cues.waitForCue(5);
    ASSERT_GE(last, 0) << "cue 5 never came";
    int expected = 0;
    for (const auto& e : cues.events()) {
        if (e.msg != QV_MEDIA_TIMED_TEXT) continue;
        if (!e.hasText) {
            EXPECT_EQ(expected, 0) << "the screen was cleared between back-to-back cues (after cue " << expected - 1 << ")";
            continue;
        }
        EXPECT_EQ(e.cue(), expected) << e.text;
        expected = e.cue() + 1;
        // Cue 0 is due at once. Cue 1 was scheduled in the sound device's first moments, when
        // the clock the host reads runs ahead by the device's start-up buffer (up to ~200 ms):
        // it is only checked for order.
        if (e.cue() > 1) expectOnTime(e, "play");
    }
    EXPECT_EQ(expected, 6);

    // Paused: the position stands still, so no further cue comes however long the hold.
    ASSERT_EQ(0, player->pause());
    std::this_thread::sleep_for(150ms);
    const size_t paused = cues.size();
    std::this_thread::sleep_for(1200ms);
    const std::vector<CueRecorder::Event> afterHold = cues.events();
    for (size_t i = paused; i < afterHold.size(); ++i) {
        EXPECT_FALSE(afterHold[i].msg == QV_MEDIA_TIMED_TEXT && afterHold[i].hasText) << "cue " << afterHold[i].cue() << " while paused";
    }

    // Seek while paused: the screen is cleared and the cue showing at the target comes first,
    // and nothing after it until playing resumes.
    const size_t beforeSeek = cues.size();
    ASSERT_EQ(0, player->seekTo(4250));
    const int shown = cues.waitFor([](const CueRecorder::Event& e) { return e.msg == QV_MEDIA_TIMED_TEXT && e.hasText; },
                                   beforeSeek, 3s);
    ASSERT_GE(shown, 0) << "no cue after the seek";
    std::vector<CueRecorder::Event> all = cues.events();
    EXPECT_EQ(all[static_cast<size_t>(shown)].cue(), 8) << "the cue showing at 4.25 s is cue 8";
    bool clearedFirst = false;
    for (size_t i = beforeSeek; i < static_cast<size_t>(shown); ++i) {
        clearedFirst |= all[i].msg == QV_MEDIA_TIMED_TEXT && !all[i].hasText;
    }
    EXPECT_TRUE(clearedFirst) << "the seek did not clear the old cue first";
    std::this_thread::sleep_for(800ms);
    all = cues.events();
    for (size_t i = static_cast<size_t>(shown) + 1; i < all.size(); ++i) {
        EXPECT_FALSE(all[i].msg == QV_MEDIA_TIMED_TEXT && all[i].hasText) << "cue " << all[i].cue() << " while held";
    }

    // Faster: at 1.5x the cues keep their positions (the delays shrink with the rate).
    ASSERT_EQ(0, player->setPlayingRate(15));
    const size_t resumed = cues.size();
    ASSERT_EQ(0, player->start());
    ASSERT_GE(cues.waitForCue(14, resumed), 0) << "cue 14 never came at 1.5x";
    expected = 9;
    all = cues.events();
    for (size_t i = resumed; i < all.size(); ++i) {
        if (all[i].msg != QV_MEDIA_TIMED_TEXT || !all[i].hasText) continue;
        EXPECT_EQ(all[i].cue(), expected);
        expected = all[i].cue() + 1;
        // The first cue after resuming was read while paused and may be due at once.
        if (all[i].cue() > 9) expectOnTime(all[i], "1.5x");
    }
}

// Without pictures nothing runs the video loop; the cues still come, in order, while a sound-only
// clip plays. Seeks made before playing: the first shows the cue at its target at once, the
// second (the subtitles are paused by then) waits for the start and drops what the first read.
TEST_F(SubtitlePlayback, SoundOnlyClipAfterSeeksBeforeStart) {
    REQUIRE_MEDIA("audio.flac");
    ASSERT_NO_FATAL_FAILURE(open("audio.flac"));
    const int track = addTrack(timingFile);
    ASSERT_EQ(track, 1);
    ASSERT_EQ(0, player->selectTrack(track, true, false));
    ASSERT_EQ(0, player->seekTo(700));
    ASSERT_GE(cues.waitForCue(1, 0, 3s), 0) << "the cue at the first seek's target";
    ASSERT_EQ(0, player->seekTo(1600));
    std::this_thread::sleep_for(600ms);
    const size_t started = cues.size();
    for (const auto& e : cues.events()) EXPECT_TRUE(e.cue() == -1 || e.cue() == 1) << "stale cue " << e.cue() << " before start";
    ASSERT_EQ(0, player->start());
    const int first =
        cues.waitFor([](const CueRecorder::Event& e) { return e.msg == QV_MEDIA_TIMED_TEXT && e.hasText; }, started);
    ASSERT_GE(first, 0) << "no cue from a sound-only clip";
    EXPECT_EQ(cues.events()[static_cast<size_t>(first)].cue(), 3) << "the cue showing at 1.6 s comes first";
    ASSERT_GE(cues.waitForCue(4, static_cast<size_t>(first)), 0);
}

// Two tracks at once: the primary and the secondary driver each deliver their own file, under
// their own notification numbers; switching the primary track switches the text; unselecting
// stops it. The container's tracks and the added files are listed together.
TEST_F(SubtitlePlayback, PrimaryAndSecondaryTracksAndSelection) {
    ASSERT_NO_FATAL_FAILURE(open("demo.mp4"));
    const std::string other = tempDir + "/../qv_subs_other_" + std::to_string(getpid()) + ".vtt";
    {
        std::ofstream out(other, std::ios::binary | std::ios::trunc);
        out << "WEBVTT\n\nNOTE a comment block\nspanning lines\n\n";
        for (int k = 0; k < kCueCount; ++k) {
            out << "00:00:" << (k * kCueSpacingMs / 1000 < 10 ? "0" : "") << k * kCueSpacingMs / 1000 << "."
                << (k % 2 ? "500" : "000") << " --> 00:00:" << ((k + 1) * kCueSpacingMs / 1000 < 10 ? "0" : "")
                << (k + 1) * kCueSpacingMs / 1000 << "." << (k % 2 ? "000" : "500") << " align:start\nvtt " << k << "\n\n";
        }
    }
    const int srt = addTrack(timingFile);
    const int vtt = addTrack("file://" + other);
    const int secondary = addTrack(timingFile, true);
    ASSERT_EQ(srt, 2);
    EXPECT_EQ(vtt, 3) << "tracks are numbered after the container's in the order added";
    EXPECT_EQ(secondary, 2) << "the secondary driver numbers its own tracks";
    // Out of range for the driver asked.
    EXPECT_EQ(-1008, player->selectTrack(4, true, false));
    EXPECT_EQ(-1008, player->selectTrack(3, true, true));
    // The clip's video track cannot be selected; deselecting audio is refused.
    EXPECT_EQ(kUnsupported, player->selectTrack(0, true, false));

    ASSERT_EQ(0, player->selectTrack(srt, true, false));
    ASSERT_EQ(0, player->selectTrack(secondary, true, true));
    ASSERT_EQ(0, player->start());
    ASSERT_GE(cues.waitForCue(2), 0);
    ASSERT_GE(cues.waitFor([](const CueRecorder::Event& e) { return e.msg == kMsgTimedText2 && e.text.rfind("cue 2", 0) == 0; }), 0)
        << "the secondary track's cues did not arrive as 101";
    // Switch the primary to the WebVTT file while playing: its cues carry the cue settings.
    const size_t switched = cues.size();
    ASSERT_EQ(0, player->selectTrack(vtt, true, false));
    const int v = cues.waitFor([](const CueRecorder::Event& e) { return e.msg == QV_MEDIA_TIMED_TEXT && e.text.find("vtt ") != std::string::npos; },
                               switched);
    ASSERT_GE(v, 0) << "no WebVTT cue after the switch";
    EXPECT_EQ(cues.events()[static_cast<size_t>(v)].text.rfind(" align:start<TAG>vtt ", 0), 0u)
        << cues.events()[static_cast<size_t>(v)].text;
    // Selecting a track ends with the readers' "no global descriptions" notice (-40).
    EXPECT_GE(cues.waitFor([](const CueRecorder::Event& e) { return e.msg == QV_MEDIA_INFO && e.ext1 == kInfoTimedTextError && e.ext2 == -40; }), 0);

    // Unselected: no more primary cues; the secondary goes on.
    ASSERT_EQ(0, player->selectTrack(vtt, false, false));
    EXPECT_EQ(-40, player->selectTrack(vtt, false, false)) << "unselecting a track that is not selected";
    std::this_thread::sleep_for(200ms);
    const size_t stopped = cues.size();
    ASSERT_GE(cues.waitFor([](const CueRecorder::Event& e) { return e.msg == kMsgTimedText2 && e.hasText; }, stopped, 3s), 0);
    std::this_thread::sleep_for(700ms);
    const auto all = cues.events();
    for (size_t i = stopped; i < all.size(); ++i) EXPECT_FALSE(all[i].msg == QV_MEDIA_TIMED_TEXT && all[i].hasText);
    unlink(other.c_str());
}

// The list of tracks a host asks for (request 1) has the container's tracks, then the added files
// as text tracks; bad files and addresses add nothing.
TEST_F(SubtitlePlayback, TrackListAndBadFiles) {
    velmor::Ref<velmor::PlayerFront> front = new velmor::PlayerFront();
    front->setDataSource(qvtest::mediaPath("multi_track.mkv").c_str(), nullptr, nullptr);
    velmor::Payload live;
    live.writeInt32(40);
    live.writeInt32(1);
    live.setDataPosition(0);
    front->invoke(live, nullptr);
    ASSERT_EQ(0, front->prepare());
    auto addSubtitle = [&](const std::string& uri) {
        velmor::Payload request;
        request.writeInt32(2);
        request.writeInt32(0);
        request.writeCString(uri.c_str());
        request.setDataPosition(0);
        return front->invoke(request, nullptr);
    };
    const std::string garbage = tempDir + "/../qv_subs_garbage_" + std::to_string(getpid());
    {
        std::ofstream out(garbage, std::ios::binary);
        for (int i = 0; i < 4096; ++i) out.put(static_cast<char>((i * 7919) & 0xff));
    }
    EXPECT_EQ(kUnsupported, addSubtitle("/nonexistent/file.srt"));
    EXPECT_EQ(kUnsupported, addSubtitle(garbage)) << "binary bytes are no subtitle format";
    EXPECT_EQ(kUnsupported, addSubtitle("ftp://127.0.0.1/x.srt"));
    EXPECT_EQ(kUnsupported, addSubtitle("")) << "what the host's null address becomes";
    EXPECT_EQ(kUnsupported, addSubtitle("/" + std::string(100000, 'x') + ".srt"));
    EXPECT_EQ(kUnsupported, addSubtitle(qvtest::mediaPath("h264_aac.mp4")));
    EXPECT_EQ(0, addSubtitle(timingFile));
    unlink(garbage.c_str());

    velmor::Payload request, reply;
    request.writeInt32(1);
    request.setDataPosition(0);
    ASSERT_EQ(0, front->invoke(request, &reply));
    reply.setDataPosition(0);
    const int32_t count = reply.readInt32();
    std::vector<int32_t> kinds;
    std::vector<std::u16string> langs;
    for (int32_t i = 0; i < count; ++i) {
        EXPECT_EQ(2, reply.readInt32());
        kinds.push_back(reply.readInt32());
        std::u16string lang;
        EXPECT_TRUE(reply.readString16(&lang));
        langs.push_back(lang);
    }
    // multi_track.mkv: video, two audio tracks, an in-container SubRip track (listed, but not a
    // text track the engine reads), then the file added above.
    ASSERT_EQ(count, 5);
    EXPECT_EQ(kinds.back(), 3);
    EXPECT_EQ(langs.back(), u"und");
    // In-container subtitles are not read.
    velmor::Payload select;
    select.writeInt32(4);
    select.writeInt32(3);
    select.writeInt32(0);
    select.setDataPosition(0);
    EXPECT_EQ(kUnsupported, front->invoke(select, nullptr));
    front->stop();
}

// Subtitle files from the network are copied to a temporary file first: from nginx the track
// appears and plays; a 404, a server that stalls and one that closes mid-body end without a track
// or with the whole file; a pause cancels a download in progress; no copy outlives the player.
TEST_F(SubtitlePlayback, CaptionDownloadsFromServers) {
    const std::string http = qvtest::nginxBase();
    ASSERT_FALSE(http.empty());
    qvtest::FaultServer faults;
    ASSERT_TRUE(faults.ok());
    ASSERT_NO_FATAL_FAILURE(open("demo.mp4"));

    // From nginx: the track appears and its cues play.
    const int track = addTrack(http + "/" + kTimingFile);
    ASSERT_GE(track, 2);
    ASSERT_EQ(1u, filesIn(tempDir).size()) << "the downloaded copy";
    ASSERT_EQ(0, player->selectTrack(track, true, false));
    ASSERT_EQ(0, player->start());
    ASSERT_GE(cues.waitForCue(1), 0);

    // Closing mid-body: the transport resumes at the offset, so the whole file arrives.
    EXPECT_EQ(track + 1, addTrack(faults.url(std::string("/close-body/200/") + kTimingFile)));
    // A 404 adds nothing.
    EXPECT_EQ(-1, addTrack(faults.url("/status/404"), false, 2s));

    // A stall mid-body: a pause cancels the download and its partial copy goes.
    const size_t beforeStall = filesIn(tempDir).size();
    EXPECT_EQ(0, player->addSubtitleSource(faults.url(std::string("/stall-body/300/") + kTimingFile).c_str(), false));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(beforeStall + 1, filesIn(tempDir).size()) << "the partial copy is being written";
    const auto pauseAt = Clock::now();
    ASSERT_EQ(0, player->pause());
    EXPECT_LT(Clock::now() - pauseAt, 3s) << "pause waited for the stalled download";
    for (int i = 0; i < 50 && filesIn(tempDir).size() != beforeStall; ++i) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(beforeStall, filesIn(tempDir).size()) << "the cancelled copy was left behind";

    // Destroying the player while a download stalls returns promptly and removes every copy.
    EXPECT_EQ(0, player->addSubtitleSource(faults.url("/stall-headers").c_str(), false));
    std::this_thread::sleep_for(200ms);
    const auto destroyAt = Clock::now();
    destroy();
    EXPECT_LT(Clock::now() - destroyAt, 5s);
    EXPECT_TRUE(filesIn(tempDir).empty()) << filesIn(tempDir).size() << " caption copies left";
}

}  // namespace
