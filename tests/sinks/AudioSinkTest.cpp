// The ALSA sink against a PulseAudio null sink (through ALSA's pulse plugin), and the null sink
// against the monotonic clock. The recordings come from the null sink's monitor.
#include <gtest/gtest.h>

#include <thread>

#include "AudioTestUtil.h"
#include "platform/linux/AudioSinkAlsa.h"
#include "platform/linux/AudioSinkNull.h"
#include "platform/linux/SinkFactory.h"
#include "quorvantix/quorvantix.h"

using namespace velmor;
using namespace velmor::test;

namespace {

uint32_t positionOf(const Ref<PlayerBase::AudioSink>& sink) {
    uint32_t p = 0;
    sink->getPosition(&p);
    return p;
}

// Waits until the sink reports at least `frames` played; false on timeout.
bool waitForPosition(const Ref<PlayerBase::AudioSink>& sink, uint32_t frames, int timeoutMs) {
    int64_t end = GetNowUs() + timeoutMs * 1000LL;
    while (GetNowUs() < end) {
        if (positionOf(sink) >= frames) return true;
        usleep(5000);
    }
    return false;
}

// Plays `seconds` of the tone to its end and waits until it was heard. A sound server may report
// the last few tens of milliseconds as still queued once its stream ran dry.
void playToEnd(const Ref<PlayerBase::AudioSink>& sink, ToneSource& tone, double seconds) {
    tone.reset(seconds);
    uint32_t before = positionOf(sink);
    sink->start();
    ASSERT_TRUE(waitForPosition(sink, before + static_cast<uint32_t>((seconds - 0.1) * tone.rate), 10000));
    int64_t end = GetNowUs() + 3000000;
    while (tone.endEvents.load() == 0 && GetNowUs() < end) usleep(5000);
    ASSERT_EQ(1, tone.endEvents.load());
    usleep(250 * 1000);  // the tail leaves the ring
}

// Shared checks of the sink contract on any pull sink.
void checkContract(const Ref<PlayerBase::AudioSink>& sink) {
    uint32_t pos = 77;
    EXPECT_FALSE(sink->ready());
    EXPECT_EQ(NO_INIT, sink->bufferSize());
    EXPECT_EQ(NO_INIT, sink->frameCount());
    EXPECT_EQ(NO_INIT, sink->channelCount());
    EXPECT_EQ(NO_INIT, sink->frameSize());
    EXPECT_EQ(static_cast<uint32_t>(NO_INIT), sink->latency());
    EXPECT_EQ(NO_INIT, sink->getPosition(&pos));
    EXPECT_EQ(NO_INIT, sink->setPlaybackRate(44100000));

    ToneSource tone;
    tone.rate = 44100;
    ASSERT_EQ(OK, sink->open(44100, 2, 16, 4, &ToneSource::callback, &tone));
    EXPECT_TRUE(sink->ready());
    EXPECT_EQ(4, sink->frameSize());
    EXPECT_EQ(2, sink->channelCount());
    EXPECT_EQ(243u, sink->latency());
    EXPECT_EQ(24, sink->bufferSize());
    EXPECT_EQ(INVALID_OPERATION, sink->write("abcd", 4));
    EXPECT_EQ(OK, sink->getPosition(&pos));
    EXPECT_EQ(0u, pos);
    EXPECT_EQ(0, tone.fills.load()) << "the fill thread must stay parked until start";
    sink->close();
    EXPECT_FALSE(sink->ready());
    EXPECT_EQ(NO_INIT, sink->frameSize());

    // Mono at 22050 Hz: ((7168000 / 1) / 22050) * 6 / 2 = 325 * 3.
    ASSERT_EQ(OK, sink->open(22050, 1, 16, 4, &ToneSource::callback, &tone));
    EXPECT_EQ(975u, sink->latency());
    EXPECT_EQ(2, sink->frameSize());
    sink->close();
}

// Bad formats are refused with NO_INIT and leave the sink usable.
void checkBadInput(const Ref<PlayerBase::AudioSink>& sink) {
    ToneSource tone;
    EXPECT_EQ(NO_INIT, sink->open(48000, 0, 16, 4, &ToneSource::callback, &tone));
    EXPECT_EQ(NO_INIT, sink->open(4000000000u, 2, 16, 4, &ToneSource::callback, &tone));
    EXPECT_FALSE(sink->ready());
    sink->start();  // no effect when not open
    sink->stop();
    sink->flush();
    ASSERT_EQ(OK, sink->open(48000, 2, 16, 4, &ToneSource::callback, &tone));
    EXPECT_EQ(BAD_VALUE, sink->setPlaybackRate(5));
    playToEnd(sink, tone, 0.3);
    sink->close();
}

// Plays, pauses (position frozen, callback idle), resumes, reaches the end exactly once, then
// close -> open -> start plays again.
void checkLifecycle(const Ref<PlayerBase::AudioSink>& sink, uint32_t rate, bool exactEnd) {
    ToneSource tone;
    tone.rate = rate;
    ASSERT_EQ(OK, sink->open(rate, 2, 16, 4, &ToneSource::callback, &tone));
    const double seconds = 2.0;
    tone.reset(seconds);
    int64_t t0 = GetNowUs();
    sink->start();

    // The position grows at the sample rate (measured over a second: a sound server consumes
    // in bursts).
    ASSERT_TRUE(waitForPosition(sink, rate / 5, 3000));
    uint32_t p1 = positionOf(sink);
    int64_t u1 = GetNowUs();
    usleep(1000 * 1000);
    uint32_t p2 = positionOf(sink);
    int64_t u2 = GetNowUs();
    double measured = (p2 - p1) * 1e6 / static_cast<double>(u2 - u1);
    EXPECT_NEAR(rate, measured, rate * 0.1) << "position rate";

    // Pause: the callback is no longer asked and the position holds still.
    sink->pause();
    int64_t pausedAt = GetNowUs();
    int fills = tone.fills.load();
    uint32_t held = positionOf(sink);
    usleep(300 * 1000);
    EXPECT_EQ(fills, tone.fills.load());
    EXPECT_LE(positionOf(sink) - held, rate / 50) << "position moved while paused";
    sink->start();
    int64_t pausedUs = GetNowUs() - pausedAt;

    const uint32_t total = static_cast<uint32_t>(seconds * rate);
    ASSERT_TRUE(waitForPosition(sink, exactEnd ? total : total - rate / 10, 6000));
    double wall = (GetNowUs() - t0 - pausedUs) / 1e6;
    EXPECT_GT(wall, seconds * 0.8);
    EXPECT_LT(wall, seconds + 1.0);

    // The end of the stream reaches the callback once and the sink stops asking.
    usleep(200 * 1000);
    EXPECT_EQ(1, tone.endEvents.load());
    fills = tone.fills.load();
    usleep(200 * 1000);
    EXPECT_EQ(fills, tone.fills.load());
    if (exactEnd) {
        EXPECT_EQ(total, positionOf(sink));
    } else {
        EXPECT_LE(positionOf(sink), total);
        EXPECT_GE(positionOf(sink), total - rate / 10);
    }

    // flush: the position starts again from 0.
    sink->flush();
    EXPECT_EQ(0u, positionOf(sink));

    // close -> open -> start plays again.
    sink->close();
    ASSERT_EQ(OK, sink->open(rate, 2, 16, 4, &ToneSource::callback, &tone));
    playToEnd(sink, tone, 0.5);
    EXPECT_EQ(1, tone.endEvents.load());
    sink->close();
}

class AlsaSinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(runCommand("pactl info")) << "no PulseAudio server: run through scripts/test.sh "
                                                 "(source scripts/services.sh; services_start)";
    }
};

}  // namespace

TEST(NullSink, ContractLifecycleAndBadInput) {
    Ref<PlayerBase::AudioSink> sink = CreatePlatformAudioSink(QV_AUDIO_SINK_NULL);
    ASSERT_NE(nullptr, sink.get());
    ASSERT_NE(nullptr, dynamic_cast<AudioSinkNull*>(sink.get()));
    checkContract(sink);
    checkLifecycle(sink, 44100, true);
    checkBadInput(sink);
}

TEST(NullSink, PlaybackRateChangesTheClock) {
    Ref<PlayerBase::AudioSink> sink = new AudioSinkNull();
    ToneSource tone;
    ASSERT_EQ(OK, sink->open(48000, 2, 16, 4, &ToneSource::callback, &tone));
    tone.reset(5.0);
    sink->start();
    ASSERT_TRUE(waitForPosition(sink, 4800, 2000));
    ASSERT_EQ(OK, sink->setPlaybackRate(96000 * 1000));
    usleep(100 * 1000);
    uint32_t p1 = positionOf(sink);
    int64_t u1 = GetNowUs();
    usleep(500 * 1000);
    double measured = (positionOf(sink) - p1) * 1e6 / static_cast<double>(GetNowUs() - u1);
    EXPECT_NEAR(96000, measured, 96000 * 0.15);
    sink->close();
}

TEST(NullSink, StarvedSourceHoldsTheClock) {
    Ref<PlayerBase::AudioSink> sink = new AudioSinkNull();
    ToneSource tone;
    ASSERT_EQ(OK, sink->open(48000, 2, 16, 4, &ToneSource::callback, &tone));
    tone.reset(1.0);
    tone.stallMsOnce = 0;
    sink->start();
    ASSERT_TRUE(waitForPosition(sink, 9600, 2000));
    // The source stops delivering for 700 ms: the clock may only run as far as was written.
    tone.stallMsOnce = 700;
    int64_t t0 = GetNowUs();
    ASSERT_TRUE(waitForPosition(sink, 48000, 5000));
    double wall = (GetNowUs() - t0) / 1e6;
    EXPECT_GT(wall, 0.6) << "the stall must delay the end";
    EXPECT_EQ(1 * 48000u, positionOf(sink));
    sink->close();
}

TEST_F(AlsaSinkTest, ContractLifecycleAndBadInput) {
    Ref<PlayerBase::AudioSink> sink = CreatePlatformAudioSink(QV_AUDIO_SINK_DEFAULT);
    ASSERT_NE(nullptr, dynamic_cast<AudioSinkAlsa*>(sink.get()));
    checkContract(sink);
    checkLifecycle(sink, 48000, false);
    checkBadInput(sink);

    Ref<PlayerBase::AudioSink> missing = new AudioSinkAlsa("qv_no_such_device");
    ToneSource tone;
    EXPECT_EQ(NO_INIT, missing->open(48000, 2, 16, 4, &ToneSource::callback, &tone));
    EXPECT_FALSE(missing->ready());
    EXPECT_EQ("plughw:2", AudioSinkAlsa::deviceNameFor(3));
}

TEST_F(AlsaSinkTest, ToneReachesTheSoundServer) {
    Ref<PlayerBase::AudioSink> sink = CreatePlatformAudioSink(QV_AUDIO_SINK_DEFAULT);
    ToneSource tone;
    tone.frequency = 1000.0;
    tone.amplitude = 8000.0;
    ASSERT_EQ(OK, sink->open(48000, 2, 16, 4, &ToneSource::callback, &tone));
    MonitorRecorder rec;
    ASSERT_TRUE(rec.running());
    playToEnd(sink, tone, 1.0);
    auto samples = rec.stop();
    EXPECT_NEAR(8000.0 / std::sqrt(2.0), activeRms(samples), 300.0);
    EXPECT_NEAR(1000.0, zeroCrossingHz(samples), 20.0);
    // About one second of sound, not more (nothing replayed) and not much less.
    size_t windows = activeWindows(samples);
    EXPECT_GT(windows, 85u);
    EXPECT_LT(windows, 115u);
    sink->close();
}

TEST_F(AlsaSinkTest, VolumeAndEffectsChangeTheSamples) {
    Ref<PlayerBase::AudioSink> sink = CreatePlatformAudioSink(QV_AUDIO_SINK_DEFAULT);
    ToneSource tone;
    ASSERT_EQ(OK, sink->open(48000, 2, 16, 4, &ToneSource::callback, &tone));

    auto measure = [&](double freq, double amp, int volume, int effect) {
        tone.frequency = freq;
        tone.amplitude = amp;
        sink->setVolume(volume, 0);
        sink->setEffect(effect);
        MonitorRecorder rec;
        playToEnd(sink, tone, 0.6);
        return activeRms(rec.stop(), 2.0);
    };

    double full = measure(1000, 8000, 100, 0);
    double half = measure(1000, 8000, 50, 0);
    ASSERT_GT(full, 1000.0);
    EXPECT_NEAR(0.3548, half / full, 0.03) << "volume 50 is -9 dB";
    MonitorRecorder silentRec;
    tone.frequency = 1000;
    sink->setVolume(0, 0);
    playToEnd(sink, tone, 0.4);
    EXPECT_EQ(0u, activeWindows(silentRec.stop(), 2.0)) << "volume 0 is silence";

    // Compressor: a -6 dBFS tone is pulled down towards the -20 dBFS threshold.
    double loud = measure(1000, 16000, 100, 0);
    double compressed = measure(1000, 16000, 100, 2);
    EXPECT_LT(compressed / loud, 0.5);
    EXPECT_GT(compressed / loud, 0.2);

    // Equaliser: the 8 kHz band is lifted by about 6 dB, a 200 Hz tone is left alone.
    double high = measure(8000, 6000, 100, 0);
    double highEq = measure(8000, 6000, 100, 1);
    EXPECT_NEAR(2.0, highEq / high, 0.25);
    double low = measure(200, 6000, 100, 0);
    double lowEq = measure(200, 6000, 100, 1);
    EXPECT_NEAR(1.0, lowEq / low, 0.1);

    // Effects off again: back to the plain level.
    double plain = measure(1000, 16000, 100, 0);
    EXPECT_NEAR(1.0, plain / loud, 0.05);
    sink->close();
}

// Failures on a sound server of the test's own: an underrun plays on; a sink that disappears for a
// moment is reopened; one missing for good (the check on), or a server that dies, raises
// isBufferLost, parks the fill thread and leaves stop and close prompt.
TEST_F(AlsaSinkTest, UnderrunAndLostDevice) {
    PrivatePulse pulse;
    ASSERT_TRUE(pulse.ready()) << "private PulseAudio daemon did not start";
    Ref<PlayerBase::AudioSink> sink = new AudioSinkAlsa("default");
    ToneSource tone;
    ASSERT_EQ(OK, sink->open(48000, 2, 16, 4, &ToneSource::callback, &tone));

    // Underrun: the source stalls for longer than the ring lasts; playback goes on afterwards.
    tone.reset(1.5);
    sink->start();
    ASSERT_TRUE(waitForPosition(sink, 12000, 3000));
    tone.stallMsOnce = 600;
    ASSERT_TRUE(waitForPosition(sink, 72000 - 4800, 8000)) << "position stuck after an underrun";
    usleep(300 * 1000);
    EXPECT_EQ(1, tone.endEvents.load());

    tone.reset(120.0);
    sink->start();
    ASSERT_TRUE(waitForPosition(sink, positionOf(sink) + 9600, 3000));
    auto waitLost = [&] {
        int64_t end = GetNowUs() + 20000000LL;
        while (!sink->isBufferLost() && GetNowUs() < end) usleep(50 * 1000);
        return sink->isBufferLost();
    };

    // Gone for a moment: played on once it is back.
    ASSERT_TRUE(pulse.unloadSink());
    usleep(500 * 1000);
    ASSERT_TRUE(pulse.loadSink());
    EXPECT_TRUE(waitForPosition(sink, positionOf(sink) + 24000, 5000)) << "no playback after the device came back";
    EXPECT_FALSE(sink->isBufferLost());

    // Gone for good with the check on: filling stops and the flag goes up.
    sink->setVolume(100, 1);
    ASSERT_TRUE(pulse.unloadSink());
    EXPECT_TRUE(waitLost());
    int fills = tone.fills.load();
    usleep(200 * 1000);
    EXPECT_EQ(fills, tone.fills.load()) << "filling goes on after the loss";
    // start wakes the parked thread, which opens the device again.
    ASSERT_TRUE(pulse.loadSink());
    sink->start();
    EXPECT_TRUE(waitForPosition(sink, positionOf(sink) + 24000, 5000)) << "no playback after start";
    EXPECT_FALSE(sink->isBufferLost());

    // The server dies mid-play, check off: reported all the same.
    sink->setVolume(100, 0);
    pulse.kill();
    EXPECT_TRUE(waitLost());
    std::atomic<bool> returned{false};
    std::thread closer([&] {
        sink->stop();
        sink->close();
        returned = true;
    });
    int64_t end = GetNowUs() + 5000000LL;
    while (!returned && GetNowUs() < end) usleep(10 * 1000);
    EXPECT_TRUE(returned.load()) << "stop/close blocked on the lost device";
    closer.join();
}
