// Helpers for the audio sink tests: a tone source for the pull callback and a recorder of the
// sound server's null sink.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/PlayerBase.h"
#include "utils/Log.h"

extern char** environ;

namespace velmor::test {

// Produces a sine tone of a given length, then reports the end of the stream.
struct ToneSource {
    uint32_t rate = 48000;
    int channels = 2;
    std::atomic<double> frequency{1000.0};
    std::atomic<double> amplitude{8000.0};
    std::atomic<int64_t> framesLeft{0};
    std::atomic<int> fills{0};
    std::atomic<int> endEvents{0};
    std::atomic<int> stallMsOnce{0};       // the next fill sleeps this long first
    std::atomic<int64_t> endTimeUs{0};
    double phase = 0.0;

    void reset(double seconds) {
        framesLeft = static_cast<int64_t>(seconds * rate);
        endEvents = 0;
        endTimeUs = 0;
    }

    static int callback(PlayerBase::AudioSink*, void* buffer, uint32_t size, void* cookie, int event) {
        auto* self = static_cast<ToneSource*>(cookie);
        if (event == PlayerBase::AudioSink::CB_EVENT_STREAM_END) {
            self->endEvents++;
            self->endTimeUs = GetNowUs();
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

// Records the null sink's monitor with parec (48 kHz stereo 16-bit) while it lives.
class MonitorRecorder {
public:
    MonitorRecorder() {
        const char* monitor = getenv("QV_PULSE_MONITOR");
        mPath = std::string("/tmp/qv_sinks_rec_") + std::to_string(getpid()) + ".raw";
        std::string dev = std::string("--device=") + (monitor ? monitor : "nullsink.monitor");
        std::string file = mPath;
        // parec writes raw samples to standard output.
        std::string cmd = std::string("exec parec ") + dev + " --raw --format=s16le --rate=48000 --channels=2 "
                          "--latency-msec=20 > " + file;
        const char* shArgv[] = {"sh", "-c", cmd.c_str(), nullptr};
        if (posix_spawnp(&mPid, "sh", nullptr, nullptr, const_cast<char* const*>(shArgv), environ) != 0) mPid = -1;
        usleep(400 * 1000);  // let the stream connect
    }
    ~MonitorRecorder() {
        stop();
        unlink(mPath.c_str());
    }
    bool running() const { return mPid > 0; }
    // Stops recording and returns the left channel.
    std::vector<int16_t> stop() {
        if (mPid > 0) {
            usleep(200 * 1000);
            kill(mPid, SIGTERM);
            int st;
            waitpid(mPid, &st, 0);
            mPid = -1;
        }
        std::vector<int16_t> left;
        FILE* f = fopen(mPath.c_str(), "rb");
        if (!f) return left;
        int16_t frame[2];
        while (fread(frame, sizeof(frame), 1, f) == 1) left.push_back(frame[0]);
        fclose(f);
        return left;
    }

private:
    pid_t mPid = -1;
    std::string mPath;
};

// RMS of the recording over its 10 ms windows that carry sound (the median of those windows).
inline double activeRms(const std::vector<int16_t>& s, double floor = 30.0) {
    const size_t w = 480;
    std::vector<double> rms;
    for (size_t i = 0; i + w <= s.size(); i += w) {
        double acc = 0;
        for (size_t j = i; j < i + w; ++j) acc += static_cast<double>(s[j]) * s[j];
        double r = std::sqrt(acc / w);
        if (r > floor) rms.push_back(r);
    }
    if (rms.size() < 5) return 0.0;
    std::sort(rms.begin(), rms.end());
    return rms[rms.size() / 2];
}

inline size_t activeWindows(const std::vector<int16_t>& s, double floor = 30.0) {
    const size_t w = 480;
    size_t n = 0;
    for (size_t i = 0; i + w <= s.size(); i += w) {
        double acc = 0;
        for (size_t j = i; j < i + w; ++j) acc += static_cast<double>(s[j]) * s[j];
        if (std::sqrt(acc / w) > floor) n++;
    }
    return n;
}

// Frequency estimate from upward zero crossings of the loud part.
inline double zeroCrossingHz(const std::vector<int16_t>& s, uint32_t rate = 48000) {
    size_t first = 0, last = 0, count = 0;
    for (size_t i = 1; i < s.size(); ++i) {
        if (s[i - 1] < 0 && s[i] >= 0 && std::abs(s[i] - s[i - 1]) > 20) {
            if (count == 0) first = i;
            last = i;
            count++;
        }
    }
    if (count < 2) return 0.0;
    return (count - 1) * static_cast<double>(rate) / (last - first);
}

inline bool runCommand(const std::string& cmd) { return system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

// A PulseAudio daemon of the test's own with one null sink ("x"), its socket and runtime files
// in a fresh directory, so that killing it or unloading its sink leaves the shared daemon alone.
// While it lives, clients of this process (ALSA's pulse plugin, pactl) talk to it.
class PrivatePulse {
public:
    PrivatePulse() {
        char dir[] = "/tmp/qv_pulse_XXXXXX";
        if (mkdtemp(dir) == nullptr) return;
        mDir = dir;
        const std::string runtime = mDir + "/runtime";
        mkdir(runtime.c_str(), 0700);
        mServer = "unix:" + mDir + "/native";
        const char* old = getenv("PULSE_SERVER");
        mOldServer = old != nullptr ? old : "";
        mHadServer = old != nullptr;
        std::string cmd = "PULSE_RUNTIME_PATH='" + runtime + "' PULSE_STATE_PATH='" + mDir +
                          "' exec pulseaudio --daemonize=no -n --exit-idle-time=-1 --use-pid-file=no "
                          "--log-target=file:'" + mDir + "/log' --load='" + kSinkModule + "' "
                          "--load='module-native-protocol-unix socket=" + mDir + "/native auth-anonymous=1'";
        const char* argv[] = {"sh", "-c", cmd.c_str(), nullptr};
        if (posix_spawnp(&mPid, "sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) mPid = -1;
        setenv("PULSE_SERVER", mServer.c_str(), 1);
        for (int i = 0; i < 100 && !(mReady = pactl("info")); ++i) usleep(100 * 1000);
    }
    ~PrivatePulse() {
        kill();
        if (mHadServer) {
            setenv("PULSE_SERVER", mOldServer.c_str(), 1);
        } else {
            unsetenv("PULSE_SERVER");
        }
        if (!mDir.empty()) runCommand("rm -rf '" + mDir + "'");
    }
    bool ready() const { return mReady; }
    bool pactl(const std::string& args) const { return runCommand("pactl -s '" + mServer + "' " + args); }
    bool unloadSink() const { return pactl("unload-module module-null-sink"); }
    bool loadSink() const { return pactl(std::string("load-module ") + kSinkModule) && pactl("set-default-sink x"); }
    // The daemon dies at once, as a crashed sound server does.
    void kill() {
        if (mPid <= 0) return;
        ::kill(mPid, SIGKILL);
        int st;
        waitpid(mPid, &st, 0);
        mPid = -1;
    }

private:
    static constexpr const char* kSinkModule = "module-null-sink sink_name=x rate=48000 channels=2";
    pid_t mPid = -1;
    bool mReady = false;
    std::string mDir, mServer, mOldServer;
    bool mHadServer = false;
};

}  // namespace velmor::test
