// The ALSA sink against a PulseAudio null sink (through ALSA's pulse plugin), and the null sink
// against the monotonic clock. The recordings come from the null sink's monitor.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "engine/PlayerBase.h"
#include "platform/linux/AudioSinkAlsa.h"
#include "platform/linux/AudioSinkNull.h"
#include "platform/linux/SinkFactory.h"
#include "quorvantix/quorvantix.h"
#include "support/Pulse.h"
#include "utils/Log.h"

using namespace velmor;
using qvtest::PrivatePulse;

namespace {

// Produces a sine tone of a given length, then reports the end of the stream.
struct ToneSource {
    uint32_t rate = 48000;
    int channels = 2;
    std::atomic<double> frequency{1000.0};
    std::atomic<double> amplitude{8000.0};
    std::atomic<int64_t> framesLeft{0};
    std::atomic<int> fills{0};
    std::atomic<int> endEvents{0};
    std::atomic<int> stallMsOnce{0};  // the next fill sleeps this long first
    double phase = 0.0;

    void reset(double seconds) {
        framesLeft = static_cast<int64_t>(seconds * rate);
        endEvents = 0;
    }

    static int callback(PlayerBase::AudioSink*, void* buffer, uint32_t size, void* cookie, int event) {
        auto* self = static_cast<ToneSource*>(cookie);
        if (event == PlayerBase::AudioSink::CB_EVENT_STREAM_END) {
            self->endEvents++;
            return 0;
        }
        if (event != PlayerBase::AudioSink::CB_EVENT_FILL_BUFFER) return 0;
        self->fills++;
        int stall = self->stallMsOnce.exchange(0);
        if (stall > 0) usleep(stall * 1000);
        int64_t left = self->framesLeft.load();
        if (left <= 0) return ERROR_END_OF_STREAM;
        int64_t frames = std::min<int64_t>(size / (2 * self->channels), left);
        auto* out = static_cast<int16_t*>(buffer);
        double step = 2.0 * M_PI * self->frequency.load() / self->rate;
        double amp = self->amplitude.load();
        for (int64_t f = 0; f < frames; ++f) {
            auto v = static_cast<int16_t>(std::lround(amp * std::sin(self->phase)));
            self->phase += step;
            if (self->phase > 2.0 * M_PI) self->phase -= 2.0 * M_PI;
            for (int c = 0; c < self->channels; ++c) out[f * self->channels + c] = v;
        }
        self->framesLeft -= frames;
        return static_cast<int>(frames * 2 * self->channels);
    }
};

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

// Frames per second by which the position advances over `ms` milliseconds.
double positionRate(const Ref<PlayerBase::AudioSink>& sink, int ms) {
    const uint32_t p1 = positionOf(sink);
    const int64_t u1 = GetNowUs();
    usleep(ms * 1000);
    const uint32_t p2 = positionOf(sink);
    return (p2 - p1) * 1e6 / static_cast<double>(GetNowUs() - u1);
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

// Shared checks of the sink contract on any pull sink, bad formats included.
void checkContract(const Ref<PlayerBase::AudioSink>& sink) {
    // Closed: every query answers NO_INIT.
    uint32_t pos = 77;
    EXPECT_FALSE(sink->ready());
    for (int64_t answer : {int64_t(sink->bufferSize()), int64_t(sink->frameCount()), int64_t(sink->channelCount()),
                           int64_t(sink->frameSize()), int64_t(static_cast<int32_t>(sink->latency())),
                           int64_t(sink->getPosition(&pos)), int64_t(sink->setPlaybackRate(44100000))}) {
        EXPECT_EQ(NO_INIT, answer);
    }

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

    // Bad formats are refused with NO_INIT and leave the sink usable.
    EXPECT_EQ(NO_INIT, sink->open(48000, 0, 16, 4, &ToneSource::callback, &tone));
    EXPECT_EQ(NO_INIT, sink->open(4000000000u, 2, 16, 4, &ToneSource::callback, &tone));
    EXPECT_FALSE(sink->ready());
    sink->start();  // no effect when not open
    sink->stop();
    sink->flush();
    tone.rate = 48000;
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
    EXPECT_NEAR(rate, positionRate(sink, 1000), rate * 0.1) << "position rate";

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
    playToEnd(sink, tone, 0.5);  // asserts the single end event
    sink->close();
}

class AlsaSinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(qvtest::quietCommand("pactl info")) << "no PulseAudio server: run through scripts/test.sh "
                                                 "(source scripts/services.sh; services_start)";
    }
};

}  // namespace

// The null sink keeps time by the monotonic clock: at the sample rate, at a changed playback rate,
// and no further than the source delivered.
TEST(NullSink, ContractBadInputLifecycleRateAndStarvedSource) {
    Ref<PlayerBase::AudioSink> sink = CreatePlatformAudioSink(QV_AUDIO_SINK_NULL);
    ASSERT_NE(nullptr, dynamic_cast<AudioSinkNull*>(sink.get()));
    checkContract(sink);
    checkLifecycle(sink, 44100, true);

    ToneSource tone;
    ASSERT_EQ(OK, sink->open(48000, 2, 16, 4, &ToneSource::callback, &tone));
    tone.reset(5.0);
    sink->start();
    ASSERT_TRUE(waitForPosition(sink, 4800, 2000));
    ASSERT_EQ(OK, sink->setPlaybackRate(96000 * 1000));
    usleep(100 * 1000);
    EXPECT_NEAR(96000, positionRate(sink, 500), 96000 * 0.15);
    sink->close();

    ASSERT_EQ(OK, sink->open(48000, 2, 16, 4, &ToneSource::callback, &tone));
    tone.reset(1.0);
    sink->start();
    ASSERT_TRUE(waitForPosition(sink, 9600, 2000));
    // The source stops delivering for 700 ms: the clock may only run as far as was written.
    tone.stallMsOnce = 700;
    int64_t t0 = GetNowUs();
    ASSERT_TRUE(waitForPosition(sink, 48000, 5000));
    EXPECT_GT((GetNowUs() - t0) / 1e6, 0.6) << "the stall must delay the end";
    EXPECT_EQ(48000u, positionOf(sink));
    sink->close();
}

TEST_F(AlsaSinkTest, ContractBadInputAndLifecycle) {
    Ref<PlayerBase::AudioSink> sink = CreatePlatformAudioSink(QV_AUDIO_SINK_DEFAULT);
    ASSERT_NE(nullptr, dynamic_cast<AudioSinkAlsa*>(sink.get()));
    checkContract(sink);
    checkLifecycle(sink, 48000, false);

    Ref<PlayerBase::AudioSink> missing = new AudioSinkAlsa("qv_no_such_device");
    ToneSource tone;
    EXPECT_EQ(NO_INIT, missing->open(48000, 2, 16, 4, &ToneSource::callback, &tone));
    EXPECT_FALSE(missing->ready());
    EXPECT_EQ("plughw:2", AudioSinkAlsa::deviceNameFor(3));
}

// Tone, volume and effects as recorded from the null sink's monitor, on a sound server of the
// test's own (nothing else plays into the recording).
TEST_F(AlsaSinkTest, VolumeAndEffectsChangeTheSamples) {
    PrivatePulse pulse;
    ASSERT_TRUE(pulse.ready()) << "private PulseAudio daemon did not start";
    Ref<PlayerBase::AudioSink> sink = CreatePlatformAudioSink(QV_AUDIO_SINK_DEFAULT);
    ToneSource tone;
    ASSERT_EQ(OK, sink->open(48000, 2, 16, 4, &ToneSource::callback, &tone));
    auto record = [&](double freq, double amp, int volume, int effect, double seconds) {
        tone.frequency = freq;
        tone.amplitude = amp;
        sink->setVolume(volume, 0);
        sink->setEffect(effect);
        qvtest::MonitorCapture rec(48000, "x.monitor");
        EXPECT_TRUE(rec.running());
        playToEnd(sink, tone, seconds);
        return rec.stop();
    };
    auto measure = [&](double freq, double amp, int volume, int effect) {
        return qvtest::activeRms(record(freq, amp, volume, effect, 0.6), 48000, 2.0);
    };

    // The tone as written: level, pitch, and about one second of it (nothing replayed, little lost).
    const std::vector<int16_t> second = record(1000, 8000, 100, 0, 1.0);
    EXPECT_NEAR(8000.0 / std::sqrt(2.0), qvtest::activeRms(second, 48000), 300.0);
    const double start = qvtest::firstSound(second, 48000);
    ASSERT_GE(start, 0) << "nothing was heard";
    EXPECT_NEAR(1000.0, qvtest::analyse(second, 48000, start + 0.1, start + 0.9).hz, 20.0);
    const size_t windows = qvtest::activeWindowRms(second, 48000, 30.0).size();
    EXPECT_GT(windows, 85u);
    EXPECT_LT(windows, 115u);

    double full = qvtest::activeRms(second, 48000, 2.0);
    double half = measure(1000, 8000, 50, 0);
    ASSERT_GT(full, 1000.0);
    EXPECT_NEAR(0.3548, half / full, 0.03) << "volume 50 is -9 dB";
    EXPECT_TRUE(qvtest::activeWindowRms(record(1000, 8000, 0, 0, 0.4), 48000, 2.0).empty()) << "volume 0 is silence";
    // Compressor: a -6 dBFS tone is pulled down towards the -20 dBFS threshold.
    double loud = measure(1000, 16000, 100, 0);
    double compressed = measure(1000, 16000, 100, 2);
    EXPECT_LT(compressed / loud, 0.5);
    EXPECT_GT(compressed / loud, 0.2);

    // Equaliser: the 8 kHz band is lifted by about 6 dB, a 200 Hz tone is left alone.
    const double high = measure(8000, 6000, 100, 0), low = measure(200, 6000, 100, 0);
    EXPECT_NEAR(2.0, measure(8000, 6000, 100, 1) / high, 0.25);
    EXPECT_NEAR(1.0, measure(200, 6000, 100, 1) / low, 0.1);

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
