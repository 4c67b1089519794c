// Endurance: CYCLES players one after the other, each created, prepared, played for 0.3 s,
// seeked and destroyed, over local files, HTTP from the loopback nginx and HLS from the same
// server in turn (the loaded library, as a host uses it). Every REPORT cycles it prints the
// resident memory, the threads and open descriptors of the process with the player gone, and the
// slowest prepare and destroy of that stretch; at the end the growth per 100 cycles after the
// warm-up (least-squares slope over the checkpoints past it).
//
//   bench_endurance [CYCLES [REPORT [WARMUP]]]     defaults 1000 100 100
// Environment: QV_MEDIA_DIR (the test media), QV_HTTP_BASE (nginx serving it), QV_LIBRARY.
// Every other cycle destroys the player right after the seek call, the others wait for the seek
// to complete first; every tenth destroys it while it is still preparing. A DestroyPlayer that takes longer than kDestroyHangMs ends the program
// (exit 3); the exit status is 2 when a prepare neither completed nor failed in kPrepareBoundMs or
// an awaited seek did not complete in kSeekBoundMs.
#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include "bench/endurance/HostPlayer.h"

using namespace qvbench;

namespace {

constexpr int kPrepareBoundMs = 30000;
constexpr int kSeekBoundMs = 10000;
constexpr int kDestroyHangMs = 20000;
constexpr int kPlayMs = 300;
constexpr int kSettleMs = 3000;
// Every tenth player is destroyed 0-49 ms after prepareAsync, before it has prepared.
constexpr int kAbandonEvery = 10;

// The watchdog: a DestroyPlayer that does not return is reported and ends the process.
std::atomic<int64_t> gDestroyDeadlineMs{0};
std::atomic<int> gCycle{0};
int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}
void watchdog() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const int64_t deadline = gDestroyDeadlineMs.load();
        if (deadline != 0 && nowMs() > deadline) {
            fprintf(stderr, "DestroyPlayer has not returned after %d ms (cycle %d)\n", kDestroyHangMs, gCycle.load());
            fflush(stdout);
            _exit(3);
        }
    }
}

struct Checkpoint {
    int cycle;
    long rssKb;
    int threads;
    int fds;
};

// Least-squares slope of y over the cycle, per 100 cycles.
double slopePer100(const std::vector<Checkpoint>& points, double (*y)(const Checkpoint&)) {
    if (points.size() < 2) return 0;
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const auto& p : points) {
        sx += p.cycle, sy += y(p), sxx += double(p.cycle) * p.cycle, sxy += p.cycle * y(p);
    }
    const double n = static_cast<double>(points.size());
    const double d = n * sxx - sx * sx;
    return d == 0 ? 0 : (n * sxy - sx * sy) / d * 100;
}

}  // namespace

int main(int argc, char** argv) {
    const int cycles = argc > 1 ? atoi(argv[1]) : 1000;
    const int every = argc > 2 ? std::max(1, atoi(argv[2])) : 100;
    const int warmup = argc > 3 ? atoi(argv[3]) : 100;
    if (httpBase().empty()) {
        fprintf(stderr, "QV_HTTP_BASE is not set: start nginx first (source scripts/services.sh && services_start)\n");
        return 64;
    }
    PlayerLibrary lib;
    if (!lib.load()) return 1;
    std::thread(watchdog).detach();

    // Containers and codecs the files cover: MP4, Matroska (HEVC), WebM (VP8/Vorbis, which the
    // engine refuses), AVI (MPEG-4 part 2/MP3), FLV, MPEG-TS; HLS: variants, one file cut by byte
    // ranges, AES-128, a discontinuity.
    const std::vector<std::string> files = {"h264_aac.mp4", "hevc_aac.mkv", "vp8_vorbis.webm",
                                            "mpeg4_mp3.avi", "h264_aac.flv", "h264_aac.ts"};
    const std::vector<std::string> playlists = {"hls/vod/master.m3u8", "hls/single/index.m3u8",
                                                "hls/aes/index.m3u8", "hls/disc/index.m3u8"};
    auto sourceFor = [&](int i) {
        const int round = i / 3;
        switch (i % 3) {
        case 0: return makeSource(Via::File, files[round % files.size()]);
        case 1:
            // Every fourth HTTP player reads from a throttled server: reads and seeks block in the
            // network when the player is destroyed.
            if (round % 4 == 3) return makeSource(Via::Http, "rate/40000/demo.mp4");
            return makeSource(Via::Http, files[(round + 3) % files.size()]);
        default: return makeSource(Via::Hls, playlists[round % playlists.size()]);
        }
    };

    const int threads0 = threadCount();
    const long rss0 = residentKb();
    const int fds0 = fdCount();
    printf("endurance: %d cycles (create, prepare, play %d ms, seek, destroy) over file/http/hls; "
           "start: rss %.1f MB, %d threads, %d fds\n",
           cycles, kPlayMs, rss0 / 1024.0, threads0, fds0);
    printf("%7s %9s %8s %5s %9s %7s %8s %14s %14s\n", "cycles", "rss_MB", "threads", "fds", "prepared", "errors",
           "timeouts", "max_prepare_ms", "max_destroy_ms");

    std::vector<Checkpoint> points;
    int prepared = 0, errors = 0, timeouts = 0, seekTimeouts = 0, abandoned = 0, late = 0, maxThreads = threads0;
    double maxPrepare = 0, maxDestroy = 0;
    std::map<std::string, int> failures;  // what went wrong -> how often
    const auto start = Clock::now();
    for (int i = 0; i < cycles; ++i) {
        gCycle = i;
        const Source source = sourceFor(i);
        {
            HostPlayer host(lib);
            int outcome = 0;
            const bool abandon = i % kAbandonEvery == kAbandonEvery - 1;
            if (!host.open(source)) {
                outcome = QV_MEDIA_ERROR;
            } else if (abandon) {
                // The host closes while the item is still opening.
                std::this_thread::sleep_for(std::chrono::milliseconds(i / kAbandonEvery % 50));
                ++abandoned;
            } else {
                outcome = host.waitPrepared(kPrepareBoundMs);
                maxPrepare = std::max(maxPrepare, host.prepareMs());
            }
            if (outcome == QV_MEDIA_PREPARED) {
                ++prepared;
                host.player()->start();
                std::this_thread::sleep_for(std::chrono::milliseconds(kPlayMs));
                int32_t durationMs = 0;
                host.player()->getDuration(&durationMs);
                const int seeksBefore = host.seeks();
                host.player()->seekTo(durationMs > 0 ? durationMs / 2 : 1000);
                // The engine takes a network stream of 5 s or less for a live edge: it does not seek.
                const bool seekable = source.via != Via::Http || durationMs > 5000;
                if (i % 2 == 0 && seekable && !host.waitSeek(seeksBefore, kSeekBoundMs)) {
                    ++seekTimeouts;
                    ++failures[std::string(viaName(source.via)) + " " + source.name + ": no seek completion, error " +
                               std::to_string(host.error())];
                }
            } else if (!abandon) {
                outcome == 0 ? ++timeouts : ++errors;
                ++failures[std::string(viaName(source.via)) + " " + source.name + ": " +
                           (outcome == 0 ? "prepare timed out" : "error " + std::to_string(host.error()))];
            }
            maxThreads = std::max(maxThreads, threadCount());
            gDestroyDeadlineMs = nowMs() + kDestroyHangMs;
            maxDestroy = std::max(maxDestroy, host.destroy());
            gDestroyDeadlineMs = 0;
            // A notification after DestroyPlayer returned would reach a freed listener in a host.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            late += host.lateNotifications();
        }
        if ((i + 1) % every == 0 || i + 1 == cycles) {
            const int threads = settledThreadCount(threads0, kSettleMs);
            points.push_back({i + 1, residentKb(), threads, fdCount()});
            printf("%7d %9.1f %8d %5d %9d %7d %8d %14.0f %14.0f\n", i + 1, points.back().rssKb / 1024.0, threads,
                   points.back().fds, prepared, errors, timeouts, maxPrepare, maxDestroy);
            fflush(stdout);
            maxPrepare = maxDestroy = 0;
        }
    }
    const double wallS = msSince(start) / 1000;

    std::vector<Checkpoint> after;
    std::copy_if(points.begin(), points.end(), std::back_inserter(after),
                 [&](const Checkpoint& p) { return p.cycle > warmup; });
    const double rssSlope = slopePer100(after, [](const Checkpoint& p) { return double(p.rssKb); });
    const double threadSlope = slopePer100(after, [](const Checkpoint& p) { return double(p.threads); });
    const double fdSlope = slopePer100(after, [](const Checkpoint& p) { return double(p.fds); });
    const Checkpoint& last = points.back();
    printf("\n%d cycles in %.1f s; prepared %d, errors %d, prepare time-outs %d, seeks without completion %d, "
           "destroyed while preparing %d; notifications after destroy: %d\n",
           cycles, wallS, prepared, errors, timeouts, seekTimeouts, abandoned, late);
    for (const auto& [what, times] : failures) printf("  %5d x %s\n", times, what.c_str());
    printf("threads: start %d, end %d, most while playing %d\n", threads0, last.threads, maxThreads);
    printf("fds: start %d, end %d\n", fds0, last.fds);
    printf("rss: start %.1f MB, end %.1f MB\n", rss0 / 1024.0, last.rssKb / 1024.0);
    if (after.size() >= 2) {
        printf("growth per 100 cycles after %d warm-up cycles (%zu checkpoints): rss %+.1f KB, threads %+.2f, "
               "fds %+.2f\n",
               warmup, after.size(), rssSlope, threadSlope, fdSlope);
    } else {
        printf("growth per 100 cycles: too few checkpoints after the %d warm-up cycles\n", warmup);
    }
    printf("endurance cycles=%d prepared=%d errors=%d timeouts=%d seek_timeouts=%d late=%d threads_start=%d threads_end=%d "
           "rss_start_kb=%ld rss_end_kb=%ld rss_kb_per_100=%.1f threads_per_100=%.2f fds_per_100=%.2f\n",
           cycles, prepared, errors, timeouts, seekTimeouts, late, threads0, last.threads, rss0, last.rssKb, rssSlope,
           threadSlope, fdSlope);
    return timeouts > 0 || seekTimeouts > 0 ? 2 : 0;
}
