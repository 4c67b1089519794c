// Plays a file through the real library, headless (null audio sink, no video sink: frames are
// decoded, timed against the audio clock and dropped at the render step), and reports what the
// engine did at the render step. One case per process, so that the caller can take the
// process's CPU time and peak memory (run.sh measures mpv the same way).
//
//   bench_playback play FILE                 whole file in real time
//   bench_playback startup FILE              prepareAsync -> first frame, then quit
//   bench_playback openseek FILE TARGET_MS   prepareAsync, seekToExact(TARGET) when prepared, start
//                                            -> first frame at the target, then quit
//   bench_playback seek FILE AT_MS TARGET_MS play until AT, seekToExact(TARGET) -> first frame at the
//                                            target, play one more second, quit
//
// With QV_BENCH_AGENT=HOST:PORT in the environment, FILE is a content path that the player agent
// at that address resolves (an agent session: the engine plays the agent's play URL).
//
// Prints one line on stdout: "quorvantix mode=<mode> key=value ...". Times are milliseconds;
// cpu_s and maxrss_kb are this process's getrusage figures at exit. Exit status 0 on success.
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/EngineProbes.h"
#include "quorvantix/quorvantix.h"

namespace {

int64_t nowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// One frame that reached the render step: the engine's media time, clock and lateness, and the
// host's monotonic time when it arrived.
struct Frame {
    int64_t mediaUs;
    int64_t clockUs;
    int64_t latenessUs;
    int64_t hostUs;
};

// What the engine told us: notifications from the listener thread, frames from the render step.
struct Observed {
    std::mutex lock;
    std::condition_variable cond;
    std::vector<Frame> frames;
    bool prepared = false;
    bool complete = false;
    int error = 0;
    int errorExt = 0;
};
Observed gSeen;

void onNotify(void*, int32_t msg, int32_t ext1, int32_t ext2, const char*) {
    std::lock_guard<std::mutex> l(gSeen.lock);
    if (msg == QV_MEDIA_PREPARED) gSeen.prepared = true;
    if (msg == QV_MEDIA_PLAYBACK_COMPLETE) gSeen.complete = true;
    if (msg == QV_MEDIA_ERROR) {
        gSeen.error = ext1 ? ext1 : -1;
        gSeen.errorExt = ext2;
    }
    gSeen.cond.notify_all();
}

// Waits until pred() holds (called with the lock held) or the time is up; true when it holds.
template <typename Pred>
bool waitFor(int64_t timeoutMs, Pred pred) {
    std::unique_lock<std::mutex> l(gSeen.lock);
    return gSeen.cond.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return pred() || gSeen.error != 0; }) &&
           gSeen.error == 0;
}

// Index of the first frame at or after `from` whose media time is at least minMediaUs, or -1.
// Lock held.
long firstFrameAtOrAfter_l(size_t from, int64_t minMediaUs) {
    for (size_t i = from; i < gSeen.frames.size(); ++i)
        if (gSeen.frames[i].mediaUs >= minMediaUs) return static_cast<long>(i);
    return -1;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    const size_t idx = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size()))) - 1;
    return v[std::min(idx, v.size() - 1)];
}

// |lateness| statistics of frames [from, to) in milliseconds: median, 99th percentile, max.
std::string gapStats(const std::vector<Frame>& frames, size_t from, size_t to, const char* prefix) {
    std::vector<double> gaps;
    for (size_t i = from; i < to && i < frames.size(); ++i)
        gaps.push_back(std::fabs(static_cast<double>(frames[i].latenessUs)) / 1000.0);
    char buf[256];
    snprintf(buf, sizeof(buf), " %s_median_ms=%.2f %s_p99_ms=%.2f %s_max_ms=%.2f", prefix, percentile(gaps, 50),
             prefix, percentile(gaps, 99), prefix, gaps.empty() ? -1.0 : *std::max_element(gaps.begin(), gaps.end()));
    return buf;
}

std::string usage() {
    char buf[128];
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    const double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                       static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    snprintf(buf, sizeof(buf), " cpu_s=%.3f maxrss_kb=%ld", cpu, ru.ru_maxrss);
    return buf;
}

// A frame whose time is within this of the seek target counts as the target frame.
constexpr int64_t kTargetToleranceUs = 1000;

}  // namespace

// The engine calls this for every frame that reaches the render step.
void recordRender(int64_t mediaTimeUs, int64_t clockUs, int64_t latenessUs) {
    const int64_t host = nowUs();
    std::lock_guard<std::mutex> l(gSeen.lock);
    gSeen.frames.push_back({mediaTimeUs, clockUs, latenessUs, host});
    gSeen.cond.notify_all();
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr,
                "usage: %s play|startup FILE | openseek FILE TARGET_MS | seek FILE AT_MS TARGET_MS\n", argv[0]);
        return 64;
    }
    const std::string mode = argv[1];
    const std::string file = argv[2];
    int64_t atUs = 0, targetUs = 0;
    if (mode == "openseek") {
        if (argc < 4) return 64;
        targetUs = atoll(argv[3]) * 1000;
    } else if (mode == "seek") {
        if (argc < 5) return 64;
        atUs = atoll(argv[3]) * 1000;
        targetUs = atoll(argv[4]) * 1000;
    } else if (mode != "play" && mode != "startup") {
        fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 64;
    }
    gSeen.frames.reserve(4096);

    // The engine is linked in so the render probe can be registered; it is the same code the
    // shared library carries.
    static velmor::EngineProbes probes;
    probes.onRender = &recordRender;
    velmor::SetEngineProbes(&probes);
    IVelmorPlayerBase* player = CreatePlayer();
    if (!player) {
        fprintf(stderr, "CreatePlayer failed\n");
        return 1;
    }
    player->setListener(&onNotify, nullptr);
    player->createAudioSink(QV_AUDIO_SINK_NULL);
    // HLS addresses play through the engine's own HLS stack, which needs live handling on.
    player->setLiveDisabled(file.find(".m3u8") != std::string::npos ? 0 : 1);

    std::string out = "quorvantix mode=" + mode;
    bool ok = true;
    auto fail = [&](const char* what) {
        std::lock_guard<std::mutex> l(gSeen.lock);
        out += std::string(" failed=") + what + " error=" + std::to_string(gSeen.error) + "/" +
               std::to_string(gSeen.errorExt) + " frames=" + std::to_string(gSeen.frames.size());
        ok = false;
    };

    const int64_t t0 = nowUs();
    const char* agent = getenv("QV_BENCH_AGENT");
    if (agent != nullptr && agent[0] == '\0') agent = nullptr;
    if (player->setDataSource(file.c_str(), agent) != 0 || player->prepareAsync() != 0) {
        fail("open");
    } else if (!waitFor(30000, [] { return gSeen.prepared; })) {
        fail("prepare");
    }
    char buf[512];
    if (ok && mode == "play") {
        int32_t durationMs = 0;
        player->getDuration(&durationMs);
        const int64_t startUs = nowUs();
        player->start();
        if (!waitFor(durationMs + 30000, [] { return gSeen.complete; })) fail("complete");
        const int64_t endUs = nowUs();
        std::lock_guard<std::mutex> l(gSeen.lock);
        const auto& f = gSeen.frames;
        if (ok && f.empty()) {
            out += " failed=no-frames";
            ok = false;
        }
        if (ok) {
            snprintf(buf, sizeof(buf),
                     " duration_ms=%d play_wall_ms=%.1f first_frame_ms=%.1f rendered=%zu first_media_ms=%.1f "
                     "last_media_ms=%.1f",
                     durationMs, (endUs - startUs) / 1000.0, (f.front().hostUs - t0) / 1000.0, f.size(),
                     f.front().mediaUs / 1000.0, f.back().mediaUs / 1000.0);
            out += buf;
            out += gapStats(f, 0, f.size(), "gap");
        }
    } else if (ok && mode == "startup") {
        player->start();
        if (!waitFor(10000, [] { return !gSeen.frames.empty(); })) fail("first-frame");
        if (ok) {
            std::lock_guard<std::mutex> l(gSeen.lock);
            snprintf(buf, sizeof(buf), " startup_ms=%.1f first_media_ms=%.1f",
                     (gSeen.frames.front().hostUs - t0) / 1000.0, gSeen.frames.front().mediaUs / 1000.0);
            out += buf;
        }
    } else if (ok && mode == "openseek") {
        player->seekToExact(static_cast<int32_t>(targetUs / 1000));
        player->start();
        long idx = -1;
        if (!waitFor(10000, [&] { return (idx = firstFrameAtOrAfter_l(0, targetUs - kTargetToleranceUs)) >= 0; }))
            fail("target-frame");
        if (ok) {
            std::lock_guard<std::mutex> l(gSeen.lock);
            const Frame& hit = gSeen.frames[static_cast<size_t>(idx)];
            snprintf(buf, sizeof(buf), " target_ms=%.1f openseek_ms=%.1f hit_media_ms=%.1f frames_before_target=%ld",
                     targetUs / 1000.0, (hit.hostUs - t0) / 1000.0, hit.mediaUs / 1000.0, idx);
            out += buf;
        }
    } else if (ok && mode == "seek") {
        player->start();
        if (!waitFor(atUs / 1000 + 15000, [&] { return firstFrameAtOrAfter_l(0, atUs) >= 0; })) fail("seek-point");
        size_t before = 0;
        int64_t seekUs = 0;
        long idx = -1;
        if (ok) {
            {
                std::lock_guard<std::mutex> l(gSeen.lock);
                before = gSeen.frames.size();
            }
            seekUs = nowUs();
            player->seekToExact(static_cast<int32_t>(targetUs / 1000));
            if (!waitFor(10000, [&] {
                    return (idx = firstFrameAtOrAfter_l(before, targetUs - kTargetToleranceUs)) >= 0;
                }))
                fail("target-frame");
        }
        if (ok) {
            // Let playback settle after the seek, then look at the timing of what followed.
            std::this_thread::sleep_for(std::chrono::seconds(1));
            std::lock_guard<std::mutex> l(gSeen.lock);
            const auto& f = gSeen.frames;
            const Frame& hit = f[static_cast<size_t>(idx)];
            const Frame& firstAfter = f[before];
            snprintf(buf, sizeof(buf),
                     " at_ms=%.1f target_ms=%.1f seek_ms=%.1f hit_media_ms=%.1f first_after_seek_media_ms=%.1f "
                     "first_after_seek_ms=%.1f frames_before_target=%zu frames_after_seek=%zu",
                     atUs / 1000.0, targetUs / 1000.0, (hit.hostUs - seekUs) / 1000.0, hit.mediaUs / 1000.0,
                     firstAfter.mediaUs / 1000.0, (firstAfter.hostUs - seekUs) / 1000.0,
                     static_cast<size_t>(idx) - before, f.size() - before);
            out += buf;
            out += gapStats(f, static_cast<size_t>(idx), f.size(), "post_seek_gap");
        }
    }

    DestroyPlayer(player, false);
    out += usage();
    printf("%s\n", out.c_str());
    fflush(stdout);
    return ok ? 0 : 2;
}
