// Helpers for the audio sink tests: a tone source for the pull callback and a PulseAudio daemon of
// the test's own (recording the shared daemon's null sink is in support/PulseMonitor.h).
#pragma once

#include <sys/stat.h>

#include "engine/PlayerBase.h"
#include "support/PulseMonitor.h"
#include "utils/Log.h"

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
