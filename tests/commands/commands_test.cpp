// The numbered requests observed where a user meets them: pixels of the OpenGL sink in a real X
// window, sound captured from the PulseAudio null sink, playback speed, track switches,
// notifications, and the statistics dump.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "engine/PlayerFront.h"
#include "support/Host.h"
#include "support/Window.h"
#include "utils/Payload.h"

using namespace std::chrono_literals;
using qvtest::Collector;
using qvtest::Library;
using qvtest::Notification;
using qvtest::mediaPath;
using qvtest::Rgb;
using qvtest::TestWindow;

namespace {

void* const gKeepDriver = qvtest::keepMesaDriverLoaded();

// Records what the PulseAudio null sink plays, as 16-bit stereo at 44.1 kHz.
class Capture {
public:
    explicit Capture(const std::string& path) : mPath(path) {
        const char* monitor = getenv("QV_PULSE_MONITOR");
        mPid = fork();
        if (mPid == 0) {
            freopen(path.c_str(), "w", stdout);
            execlp("parec", "parec", "-d", monitor ? monitor : "nullsink.monitor", "--raw", "--format=s16le",
                   "--rate=44100", "--channels=2", static_cast<char*>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(300ms);
    }
    std::vector<int16_t> stop() {
        if (mPid > 0) {
            kill(mPid, SIGTERM);
            waitpid(mPid, nullptr, 0);
            mPid = -1;
        }
        std::ifstream in(mPath, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<int16_t> samples(bytes.size() / 2);
        if (!samples.empty()) memcpy(samples.data(), bytes.data(), samples.size() * 2);
        unlink(mPath.c_str());
        return samples;
    }
    ~Capture() { stop(); }

private:
    std::string mPath;
    pid_t mPid = -1;
};

// RMS and zero-crossing frequency of the left channel over [from, to) seconds.
struct Tone {
    double rms;
    double hz;
};
Tone analyse(const std::vector<int16_t>& stereo, double from, double to) {
    const size_t begin = static_cast<size_t>(from * 44100) * 2, end = std::min(stereo.size(), static_cast<size_t>(to * 44100) * 2);
    double sum = 0;
    int crossings = 0;
    size_t n = 0;
    for (size_t i = begin; i + 2 < end; i += 2) {
        sum += static_cast<double>(stereo[i]) * stereo[i];
        if ((stereo[i] < 0) != (stereo[i + 2] < 0)) ++crossings;
        ++n;
    }
    if (n == 0) return {0, 0};
    return {std::sqrt(sum / n), crossings / 2.0 / (static_cast<double>(n) / 44100)};
}

// Finds the stretch of the capture where sound plays (the capture starts before playback).
double firstSound(const std::vector<int16_t>& stereo) {
    for (size_t i = 0; i < stereo.size(); i += 2)
        if (std::abs(stereo[i]) > 1000) return static_cast<double>(i / 2) / 44100;
    return -1;
}

class CommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lib.ok()) << dlerror();
        if (!getenv("DISPLAY") || !getenv("QV_PULSE_MONITOR")) GTEST_SKIP() << "needs the test services (scripts/test.sh)";
    }
    void TearDown() override {
        if (player) lib.destroy(player, false);
    }
    int32_t open(const std::string& file, Window window, intptr_t audio) {
        player = lib.create();
        player->setListener(&Collector::callback, &events);
        if (window) player->createVideoSink(window, 0, 320, 240, QV_VIDEO_SINK_OPENGL);
        player->createAudioSink(audio);
        player->setLiveDisabled(1);
        player->setDataSource(mediaPath(file).c_str(), nullptr);
        player->prepareAsync();
        return events.waitForAnyOf({QV_MEDIA_PREPARED, QV_MEDIA_ERROR}, 20000) == QV_MEDIA_PREPARED ? 0 : -1;
    }
    Library lib;
    Collector events;
    IVelmorPlayerBase* player = nullptr;
};

// Picture controls and scaling reach the video sink: each request changes what the window shows.
TEST_F(CommandsTest, PictureRequestsChangeThePixels) {
    TestWindow window(320, 240);
    ASSERT_TRUE(window.ok());
    ASSERT_EQ(open("h264_aac.mp4", window.id(), QV_AUDIO_SINK_NULL), 0);
    // A paused seek shows one frame; refreshVideo redraws it after every change.
    ASSERT_EQ(player->seekTo(2000), 0);
    ASSERT_TRUE(events.waitFor([](const Notification& n) { return n.msg == QV_MEDIA_INFO && n.ext1 == 3; }, 5000));
    auto redraw = [&] {
        player->refreshVideo();
        std::this_thread::sleep_for(250ms);
    };
    redraw();
    const Rgb plain = window.average();
    ASSERT_GT(plain.r + plain.g + plain.b, 60) << "the frame is not on screen";

    struct Row {
        const char* name;
        std::function<int32_t()> request;
        std::function<void(const Rgb&)> check;
    };
    const std::vector<Row> rows = {
        {"brightness 0 gives black", [&] { return player->setBrightness(0); },
         [](const Rgb& c) { EXPECT_LT(c.r + c.g + c.b, 15); }},
        {"brightness back to 50", [&] { return player->setBrightness(50); },
         [&](const Rgb& c) { EXPECT_NEAR(c.r + c.g + c.b, plain.r + plain.g + plain.b, 24); }},
        {"saturation 0 gives grey", [&] { return player->setSaturation(0); },
         [](const Rgb& c) {
             EXPECT_NEAR(c.r, c.g, 6);
             EXPECT_NEAR(c.g, c.b, 6);
         }},
        {"saturation back to 50", [&] { return player->setSaturation(50); }, [](const Rgb&) {}},
        {"contrast 0 gives flat mid grey", [&] { return player->setContrast(0); },
         [](const Rgb& c) {
             EXPECT_NEAR(c.r, 128, 8);
             EXPECT_NEAR(c.g, 128, 8);
             EXPECT_NEAR(c.b, 128, 8);
         }},
        {"contrast back to 50", [&] { return player->setContrast(50); }, [](const Rgb&) {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.request(), 0);
        redraw();
        row.check(window.average());
    }

    // Scaling: a 2:1 aspect ratio in the 4:3 window leaves bars; stretching (mode 1) fills it.
    EXPECT_EQ(player->setAspectRatio(2, 1), 0);
    EXPECT_EQ(player->setScaleMode(0), 0);
    redraw();
    const double letterboxed = window.coverage();
    EXPECT_EQ(player->setScaleMode(1), 0);
    redraw();
    const double stretched = window.coverage();
    EXPECT_GT(stretched, 0.95);
    EXPECT_LT(letterboxed, stretched - 0.15);
    // Margins (the player's sink parameters) take rows away from the bottom.
    EXPECT_EQ(player->setVideoSinkParams(120, 0), 0);
    redraw();
    EXPECT_LT(window.coverage(), stretched - 0.3);
}

// Volume, gain boost, audio track selection and rate reach the sound the user hears.
TEST_F(CommandsTest, SoundRequestsChangeWhatIsHeard) {
    {
        Capture capture("/tmp/qv_cmd_volume.raw");
        ASSERT_EQ(open("h264_aac.mp4", 0, QV_AUDIO_SINK_DEFAULT), 0);
        ASSERT_EQ(player->start(), 0);
        std::this_thread::sleep_for(1500ms);
        EXPECT_EQ(player->setVolume(30, 0), 0);
        std::this_thread::sleep_for(1500ms);
        EXPECT_EQ(player->setVolume(0, 0), 0);
        std::this_thread::sleep_for(1000ms);
        lib.destroy(player, false);
        player = nullptr;
        const auto pcm = capture.stop();
        const double t0 = firstSound(pcm);
        ASSERT_GE(t0, 0) << "nothing was heard";
        const Tone full = analyse(pcm, t0 + 0.3, t0 + 1.2);
        const Tone reduced = analyse(pcm, t0 + 1.9, t0 + 2.7);
        const Tone muted = analyse(pcm, t0 + 3.3, t0 + 3.8);
        EXPECT_NEAR(full.hz, 440, 30);
        EXPECT_LT(reduced.rms, full.rms * 0.8);
        EXPECT_GT(reduced.rms, full.rms * 0.01);
        EXPECT_LT(muted.rms, full.rms * 0.01);
    }
    {
        // Two audio tracks: 440 Hz ("eng", track 1) and 880 Hz ("fre", track 2).
        events.clear();
        Capture capture("/tmp/qv_cmd_tracks.raw");
        ASSERT_EQ(open("languages.mkv", 0, QV_AUDIO_SINK_DEFAULT), 0);
        ASSERT_EQ(player->start(), 0);
        std::this_thread::sleep_for(1200ms);
        int32_t before = 0;
        player->getCurrentPosition(&before);
        EXPECT_EQ(player->selectTrack(2, true, false), 0);
        int32_t after = 0;
        player->getCurrentPosition(&after);
        EXPECT_NEAR(after, before, 300);  // keeps playing from the same place
        EXPECT_EQ(player->selectTrack(0, true, false), -1010);   // video: not selectable
        EXPECT_EQ(player->selectTrack(9, true, false), -1008);   // out of range
        EXPECT_EQ(player->selectTrack(2, true, false), 0);       // already active
        EXPECT_EQ(player->selectTrack(2, false, false), -1010);  // audio cannot be deselected
        std::this_thread::sleep_for(1500ms);
        EXPECT_TRUE(player->isPlaying());
        lib.destroy(player, false);
        player = nullptr;
        const auto pcm = capture.stop();
        const double t0 = firstSound(pcm);
        ASSERT_GE(t0, 0);
        EXPECT_NEAR(analyse(pcm, t0 + 0.2, t0 + 0.9).hz, 440, 30);
        EXPECT_NEAR(analyse(pcm, t0 + 1.8, t0 + 2.4).hz, 880, 40);
    }
}

TEST_F(CommandsTest, RateRequestChangesSpeedAndKeepsPitch) {
    Capture capture("/tmp/qv_cmd_rate.raw");
    ASSERT_EQ(open("h264_aac.mp4", 0, QV_AUDIO_SINK_DEFAULT), 0);
    ASSERT_EQ(player->start(), 0);
    ASSERT_TRUE(events.waitForMsg(QV_MEDIA_STARTED));
    EXPECT_EQ(player->setPlayingRate(20.0), 0);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(events.waitForMsg(QV_MEDIA_PLAYBACK_COMPLETE, 15000));
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(elapsed, 5500ms);  // 8 s of media at twice the speed
    EXPECT_GT(elapsed, 2500ms);
    lib.destroy(player, false);
    player = nullptr;
    const auto pcm = capture.stop();
    const double first = firstSound(pcm);
    ASSERT_GE(first, 0);
    EXPECT_NEAR(analyse(pcm, first + 0.8, first + 2.0).hz, 440, 40);  // same pitch at double speed
}

// Requests without a visible effect of their own, through the player front: replies, statuses,
// notifications and the statistics dump.
TEST(CommandsFront, RepliesStatusesAndDump) {
    velmor::Ref<velmor::PlayerFront> front = new velmor::PlayerFront();
    Collector events;
    auto call = [&](std::function<void(velmor::Payload&)> build, velmor::Payload* reply) {
        velmor::Payload request;
        build(request);
        request.setDataPosition(0);
        return front->invoke(request, reply);
    };
    front->setDataSource(mediaPath("h264_aac.mp4").c_str(), nullptr, nullptr);
    call([](velmor::Payload& p) { p.writeInt32(40); p.writeInt32(1); }, nullptr);
    ASSERT_EQ(front->prepare(), 0);

    // 1: track list with types and languages.
    velmor::Payload reply;
    EXPECT_EQ(call([](velmor::Payload& p) { p.writeInt32(1); }, &reply), 0);
    reply.setDataPosition(0);
    ASSERT_EQ(reply.readInt32(), 2);
    std::vector<int32_t> types;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(reply.readInt32(), 2);
        types.push_back(reply.readInt32());
        std::u16string lang;
        EXPECT_TRUE(reply.readString16(&lang));
    }
    EXPECT_EQ(types, (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(call([](velmor::Payload& p) { p.writeInt32(1); }, nullptr), -22);

    // 16: the video decoder's component name.
    velmor::Payload codec;
    EXPECT_EQ(call([](velmor::Payload& p) { p.writeInt32(16); }, &codec), 0);
    codec.setDataPosition(0);
    ASSERT_EQ(codec.readInt32(), 1);
    const int32_t len = codec.readInt32();
    std::string name(static_cast<size_t>(len), '\0');
    codec.read(name.data(), name.size());
    EXPECT_EQ(name, "FFMpegVideoDecoder");

    // Unknown requests and wrong states.
    EXPECT_EQ(call([](velmor::Payload& p) { p.writeInt32(3); }, nullptr), -1010);
    EXPECT_EQ(call([](velmor::Payload& p) { p.writeInt32(42); }, nullptr), -1010);
    velmor::Payload empty;
    EXPECT_NE(front->invoke(empty, nullptr), 0);
    velmor::Payload param;
    EXPECT_EQ(front->setParameter(1300, param), -19);  // no audio player before start
    EXPECT_EQ(front->setParameter(1100, param), -1010);
    EXPECT_EQ(front->getParameter(1200, &param), 0);
    EXPECT_EQ(front->getParameter(7, &param), -1010);

    // The statistics dump.
    char path[] = "/tmp/qv_dump_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(front->dump(fd, nullptr), 0);
    close(fd);
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(path);
    EXPECT_EQ(text.rfind(" PlaybackEngine\n  URI(", 0), 0u) << text;
    EXPECT_NE(text.find(", flags(0x00000010), bitrate("), std::string::npos) << text;
    EXPECT_NE(text.find("  Track 0\n   MIME(video/avc), decoder(FFMpegVideoDecoder)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("   videoDimensions(320 x 240), numVideoFramesDecoded(0), numVideoFramesDropped(0)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  Track 1\n   MIME(audio/mp4a-latm), decoder(FFMpegSoundDecoder)\n"), std::string::npos)
        << text;

    // After stop every request is accepted and does nothing.
    EXPECT_EQ(front->stop(), 0);
    EXPECT_EQ(call([](velmor::Payload& p) { p.writeInt32(42); }, nullptr), 0);
    EXPECT_EQ(call([](velmor::Payload& p) { p.writeInt32(1); }, nullptr), 0);
}

}  // namespace
