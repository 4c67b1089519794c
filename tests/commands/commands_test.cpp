// The numbered requests observed where a user meets them: pixels of the OpenGL sink in a real X
// window, sound captured from the PulseAudio null sink, playback speed, track switches,
// notifications, and the statistics dump.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "engine/PlayerFront.h"
#include "support/Host.h"
#include "support/Pulse.h"
#include "support/Window.h"
#include "utils/Payload.h"

using namespace std::chrono_literals;
using qvtest::Collector;
using qvtest::Library;
using qvtest::MonitorCapture;
using qvtest::Notification;
using qvtest::mediaPath;
using qvtest::Rgb;
using qvtest::TestWindow;

namespace {

void* const gKeepDriver = qvtest::keepMesaDriverLoaded();

constexpr int kRate = 44100;  // the recording's rate

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
    // Plays a file to the null sink while `during` runs, destroys the player and returns the
    // recording from where the sound starts (empty when nothing was heard).
    std::vector<int16_t> playAndRecord(const std::string& file, const std::function<void()>& during) {
        MonitorCapture capture(kRate);
        events.clear();
        EXPECT_EQ(open(file, 0, QV_AUDIO_SINK_DEFAULT), 0);
        EXPECT_EQ(player->start(), 0);
        during();
        lib.destroy(player, false);
        player = nullptr;
        std::vector<int16_t> pcm = capture.stop();
        const double start = qvtest::firstSound(pcm, kRate);
        if (start < 0) return {};
        return std::vector<int16_t>(pcm.begin() + static_cast<long>(start * kRate), pcm.end());
    }
    Library lib;
    Collector events;
    IVelmorPlayerBase* player = nullptr;
};

qvtest::ToneLevel toneAt(const std::vector<int16_t>& pcm, double from, double to) {
    return qvtest::analyse(pcm, kRate, from, to);
}

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

    // Each control at 0 gives a known picture; back at 50, the plain one.
    const struct {
        const char* name;
        int32_t (IVelmorPlayerBase::*set)(int32_t);
        std::function<void(const Rgb&)> atZero;
    } controls[] = {
        {"brightness 0 gives black", &IVelmorPlayerBase::setBrightness,
         [](const Rgb& c) { EXPECT_LT(c.r + c.g + c.b, 15); }},
        {"saturation 0 gives grey", &IVelmorPlayerBase::setSaturation,
         [](const Rgb& c) {
             EXPECT_NEAR(c.r, c.g, 6);
             EXPECT_NEAR(c.g, c.b, 6);
         }},
        {"contrast 0 gives flat mid grey", &IVelmorPlayerBase::setContrast,
         [](const Rgb& c) {
             for (int v : {c.r, c.g, c.b}) EXPECT_NEAR(v, 128, 8);
         }},
    };
    for (const auto& control : controls) {
        SCOPED_TRACE(control.name);
        EXPECT_EQ((player->*control.set)(0), 0);
        redraw();
        control.atZero(window.average());
        EXPECT_EQ((player->*control.set)(50), 0);
        redraw();
        const Rgb back = window.average();
        EXPECT_NEAR(back.r + back.g + back.b, plain.r + plain.g + plain.b, 24);
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

// Volume, audio track selection and rate reach the sound the user hears.
TEST_F(CommandsTest, SoundRequestsChangeWhatIsHeard) {
    std::vector<int16_t> pcm = playAndRecord("h264_aac.mp4", [&] {
        std::this_thread::sleep_for(1500ms);
        EXPECT_EQ(player->setVolume(30, 0), 0);
        std::this_thread::sleep_for(1500ms);
        EXPECT_EQ(player->setVolume(0, 0), 0);
        std::this_thread::sleep_for(1000ms);
    });
    ASSERT_FALSE(pcm.empty()) << "nothing was heard";
    const qvtest::ToneLevel full = toneAt(pcm, 0.3, 1.2), reduced = toneAt(pcm, 1.9, 2.7), muted = toneAt(pcm, 3.3, 3.8);
    EXPECT_NEAR(full.hz, 440, 30);
    EXPECT_LT(reduced.rms, full.rms * 0.8);
    EXPECT_GT(reduced.rms, full.rms * 0.01);
    EXPECT_LT(muted.rms, full.rms * 0.01);

    // Two audio tracks: 440 Hz ("eng", track 1) and 880 Hz ("fre", track 2).
    pcm = playAndRecord("languages.mkv", [&] {
        std::this_thread::sleep_for(1200ms);
        int32_t before = 0, after = 0;
        player->getCurrentPosition(&before);
        EXPECT_EQ(player->selectTrack(2, true, false), 0);
        player->getCurrentPosition(&after);
        EXPECT_NEAR(after, before, 300);  // keeps playing from the same place
        EXPECT_EQ(player->selectTrack(0, true, false), -1010);   // video: not selectable
        EXPECT_EQ(player->selectTrack(9, true, false), -1008);   // out of range
        EXPECT_EQ(player->selectTrack(2, true, false), 0);       // already active
        EXPECT_EQ(player->selectTrack(2, false, false), -1010);  // audio cannot be deselected
        std::this_thread::sleep_for(1500ms);
        EXPECT_TRUE(player->isPlaying());
    });
    ASSERT_FALSE(pcm.empty());
    EXPECT_NEAR(toneAt(pcm, 0.2, 0.9).hz, 440, 30);
    EXPECT_NEAR(toneAt(pcm, 1.8, 2.4).hz, 880, 40);

    // Twice the speed: 8 s of media end in about 4 s, at the same pitch.
    pcm = playAndRecord("h264_aac.mp4", [&] {
        ASSERT_TRUE(events.waitForMsg(QV_MEDIA_STARTED));
        for (double bad : {0.0, -5.0, 1e12, std::nan("")}) EXPECT_EQ(player->setPlayingRate(bad), -22) << bad;
        EXPECT_EQ(player->setPlayingRate(20.0), 0);
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(events.waitForMsg(QV_MEDIA_PLAYBACK_COMPLETE, 15000));
        const auto elapsed = std::chrono::steady_clock::now() - t0;
        EXPECT_LT(elapsed, 5500ms);
        EXPECT_GT(elapsed, 2500ms);
    });
    ASSERT_FALSE(pcm.empty());
    EXPECT_NEAR(toneAt(pcm, 0.8, 2.0).hz, 440, 40);
}

// Requests without a visible effect of their own, through the player front: replies, statuses,
// and the statistics dump.
TEST(CommandsFront, RepliesStatusesAndDump) {
    velmor::Ref<velmor::PlayerFront> front = new velmor::PlayerFront();
    auto call = [&](std::vector<int32_t> words, velmor::Payload* reply = nullptr) {
        velmor::Payload request;
        for (int32_t w : words) request.writeInt32(w);
        request.setDataPosition(0);
        const int32_t status = front->invoke(request, reply);
        if (reply != nullptr) reply->setDataPosition(0);
        return status;
    };
    front->setDataSource(mediaPath("h264_aac.mp4").c_str(), nullptr, nullptr);
    call({40, 1});
    ASSERT_EQ(front->prepare(), 0);

    // 1: track list with types (video, audio) and languages; a reply is required.
    velmor::Payload reply;
    EXPECT_EQ(call({1}, &reply), 0);
    ASSERT_EQ(reply.readInt32(), 2);
    for (int32_t type : {1, 2}) {
        EXPECT_EQ(reply.readInt32(), 2);
        EXPECT_EQ(reply.readInt32(), type);
        std::u16string lang;
        EXPECT_TRUE(reply.readString16(&lang));
    }
    EXPECT_EQ(call({1}), -22);

    // 16: the video decoder's component name.
    velmor::Payload codec;
    EXPECT_EQ(call({16}, &codec), 0);
    ASSERT_EQ(codec.readInt32(), 1);
    std::string name(static_cast<size_t>(codec.readInt32()), '\0');
    codec.read(name.data(), name.size());
    EXPECT_EQ(name, "FFMpegVideoDecoder");

    // Unknown requests and wrong states.
    EXPECT_EQ(call({3}), -1010);
    EXPECT_EQ(call({42}), -1010);
    EXPECT_NE(call({}), 0);
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
    for (const char* part : {", flags(0x00000010), bitrate(", "  Track 0\n   MIME(video/avc), decoder(FFMpegVideoDecoder)\n",
                             "   videoDimensions(320 x 240), numVideoFramesDecoded(0), numVideoFramesDropped(0)\n",
                             "  Track 1\n   MIME(audio/mp4a-latm), decoder(FFMpegSoundDecoder)\n"}) {
        EXPECT_NE(text.find(part), std::string::npos) << part << " not in\n" << text;
    }

    // After stop every request is accepted and does nothing.
    EXPECT_EQ(front->stop(), 0);
    EXPECT_EQ(call({42}), 0);
    EXPECT_EQ(call({1}), 0);
}

}  // namespace
