// PulseAudio for tests: what a null sink plays (a recording of its monitor through parec, and the
// level and pitch of the tone in it), and a daemon of a test's own that it may kill.
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

extern char** environ;

namespace qvtest {

// Records a monitor (by default the shared daemon's null sink's) as 16-bit stereo at `rate` while it
// lives; stop() returns the left channel.
class MonitorCapture {
public:
    explicit MonitorCapture(int rate, const char* monitor = getenv("QV_PULSE_MONITOR")) {
        static std::atomic<int> serial{0};
        mPath = "/tmp/qv_monitor_" + std::to_string(getpid()) + "_" + std::to_string(serial++) + ".raw";
        const std::string cmd = std::string("exec parec --device=") + (monitor ? monitor : "nullsink.monitor") +
                                " --raw --format=s16le --channels=2 --latency-msec=20 --rate=" + std::to_string(rate) +
                                " > '" + mPath + "'";
        const char* argv[] = {"sh", "-c", cmd.c_str(), nullptr};
        if (posix_spawnp(&mPid, "sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) mPid = -1;
        // Recording starts once the server lists the stream (on a loaded machine that can take
        // well over a second; sound played before then would be missing from the capture).
        for (int i = 0; mPid > 0 && i < 50; ++i) {
            if (system("pactl list short source-outputs 2>/dev/null | grep -q .") == 0) break;
            usleep(100 * 1000);
        }
        usleep(100 * 1000);
    }
    ~MonitorCapture() {
        stop();
        unlink(mPath.c_str());
    }
    MonitorCapture(const MonitorCapture&) = delete;
    MonitorCapture& operator=(const MonitorCapture&) = delete;
    bool running() const { return mPid > 0; }
    std::vector<int16_t> stop() {
        if (mPid > 0) {
            usleep(200 * 1000);  // the last played samples reach the monitor
            kill(mPid, SIGTERM);
            waitpid(mPid, nullptr, 0);
            mPid = -1;
        }
        std::vector<int16_t> left;
        if (FILE* f = fopen(mPath.c_str(), "rb")) {
            int16_t frame[2];
            while (fread(frame, sizeof(frame), 1, f) == 1) left.push_back(frame[0]);
            fclose(f);
        }
        return left;
    }

private:
    pid_t mPid = -1;
    std::string mPath;
};

// RMS of each 10 ms window that carries sound (above floor).
inline std::vector<double> activeWindowRms(const std::vector<int16_t>& s, int rate, double floor) {
    const size_t w = static_cast<size_t>(rate / 100);
    std::vector<double> out;
    for (size_t i = 0; i + w <= s.size(); i += w) {
        double acc = 0;
        for (size_t j = i; j < i + w; ++j) acc += static_cast<double>(s[j]) * s[j];
        if (std::sqrt(acc / w) > floor) out.push_back(std::sqrt(acc / w));
    }
    return out;
}

// The median RMS of the windows that carry sound (0 when fewer than five do).
inline double activeRms(const std::vector<int16_t>& s, int rate, double floor = 30.0) {
    std::vector<double> rms = activeWindowRms(s, rate, floor);
    if (rms.size() < 5) return 0.0;
    std::nth_element(rms.begin(), rms.begin() + rms.size() / 2, rms.end());
    return rms[rms.size() / 2];
}

struct ToneLevel {
    double rms;
    double hz;  // from the zero crossings of the windows that carry sound
};

// The tone over [from, to) seconds of a recording, in 10 ms windows: the level over all of them,
// the pitch over those that carry sound (a gap in the stream does not lower it).
inline ToneLevel analyse(const std::vector<int16_t>& s, int rate, double from, double to) {
    const size_t w = static_cast<size_t>(rate / 100);
    const size_t end = std::min(s.size(), static_cast<size_t>(to * rate));
    double sum = 0;
    size_t all = 0, voiced = 0;
    int crossings = 0;
    for (size_t i = static_cast<size_t>(from * rate); i + w <= end; i += w) {
        double acc = 0;
        int c = 0;
        for (size_t j = i; j < i + w; ++j) {
            acc += static_cast<double>(s[j]) * s[j];
            c += j + 1 < end && (s[j] < 0) != (s[j + 1] < 0);
        }
        sum += acc;
        all += w;
        if (std::sqrt(acc / w) > 30.0) crossings += c, voiced += w;
    }
    return {all ? std::sqrt(sum / all) : 0, voiced ? crossings / 2.0 * rate / voiced : 0};
}

// Seconds into the recording where sound starts (the recording starts before playback), or -1.
inline double firstSound(const std::vector<int16_t>& s, int rate) {
    for (size_t i = 0; i < s.size(); ++i)
        if (std::abs(s[i]) > 1000) return static_cast<double>(i) / rate;
    return -1;
}

inline bool quietCommand(const std::string& cmd) { return system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

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
        if (!mDir.empty()) quietCommand("rm -rf '" + mDir + "'");
    }
    bool ready() const { return mReady; }
    bool pactl(const std::string& args) const { return quietCommand("pactl -s '" + mServer + "' " + args); }
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

}  // namespace qvtest
