// Many players in one process: PLAYERS players (default 16) open different sources at once (local
// files of different codecs and containers, HTTP from the loopback nginx, HLS from the same
// server), play them in real time for SECONDS (default 60) with the null audio sink and no video
// sink (frames are timed and dropped at the render step), looping, and are then destroyed in a
// random order. Prints one row per player (how it ended, its position, how long preparing and
// destroying took) and the process's CPU (user + sys, all threads) and resident-memory growth over
// the playing time, in total and per player.
//
//   bench_players [PLAYERS [SECONDS [SEED]]]
// Environment: QV_MEDIA_DIR, QV_HTTP_BASE, QV_LIBRARY.
// Exit status 0 when every player prepared, played without an error and was destroyed within
// kDestroyBoundMs with the thread count back to its start; 2 otherwise; 3 on a destroy that hangs.
#include <algorithm>
#include <memory>
#include <random>
#include <thread>

#include "bench/endurance/HostPlayer.h"

using namespace qvbench;

namespace {

constexpr int kPrepareBoundMs = 30000;
constexpr int kDestroyBoundMs = 5000;
constexpr int kDestroyHangMs = 30000;
constexpr int kSettleMs = 5000;

void watchdog(int64_t hangMs) {
    const auto start = Clock::now();
    while (msSince(start) < hangMs) std::this_thread::sleep_for(std::chrono::milliseconds(250));
    fprintf(stderr, "the players were not destroyed within %lld ms\n", static_cast<long long>(hangMs));
    fflush(stdout);
    _exit(3);
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(1, atoi(argv[1])) : 16;
    const int seconds = argc > 2 ? std::max(1, atoi(argv[2])) : 60;
    const unsigned seed = argc > 3 ? static_cast<unsigned>(atoi(argv[3])) : std::random_device()();
    if (httpBase().empty()) {
        fprintf(stderr, "QV_HTTP_BASE is not set: start nginx first (source scripts/services.sh && services_start)\n");
        return 64;
    }
    PlayerLibrary lib;
    if (!lib.load()) return 1;

    // Sixteen different sources, repeated in turn for more players.
    std::vector<Source> catalogue;
    for (const auto& named : kMixedSources) catalogue.push_back(makeSource(named.via, named.name));

    const int threads0 = threadCount();
    const long rss0 = residentKb();
    printf("players: %d at once for %d s, destroyed in random order (seed %u); start: rss %.1f MB, %d threads\n",
           count, seconds, seed, rss0 / 1024.0, threads0);

    std::vector<std::unique_ptr<HostPlayer>> players;
    std::vector<Source> sources;
    std::vector<int> outcome(count, 0);
    for (int i = 0; i < count; ++i) {
        sources.push_back(catalogue[i % catalogue.size()]);
        players.push_back(std::make_unique<HostPlayer>(lib));
        if (!players.back()->open(sources.back(), /*looping=*/true)) outcome[i] = QV_MEDIA_ERROR;
    }
    for (int i = 0; i < count; ++i) {
        if (outcome[i] == 0) outcome[i] = players[i]->waitPrepared(kPrepareBoundMs);
        if (outcome[i] == QV_MEDIA_PREPARED) players[i]->player()->start();
    }
    const int threadsPlaying = threadCount();
    const long rssOpen = residentKb();
    const double cpu0 = cpuSeconds();
    const auto playStart = Clock::now();
    long rssPeak = rssOpen;
    // Resident memory at every tenth of the playing time: growth that goes on to the end would be
    // a leak while playing, growth that levels off is buffers and caches filling.
    std::vector<long> rssSteps;
    while (msSince(playStart) < seconds * 1000.0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const long rss = residentKb();
        rssPeak = std::max(rssPeak, rss);
        if (msSince(playStart) >= (rssSteps.size() + 1) * seconds * 100.0) rssSteps.push_back(rss);
    }
    const double cpuPlay = cpuSeconds() - cpu0;
    const double wallPlay = msSince(playStart) / 1000;
    const long rssPlayed = residentKb();

    std::vector<int32_t> positionMs(count, -1);
    std::vector<bool> playing(count, false);
    for (int i = 0; i < count; ++i) {
        if (players[i]->player() == nullptr) continue;
        players[i]->player()->getCurrentPosition(&positionMs[i]);
        playing[i] = players[i]->player()->isPlaying();
    }

    std::vector<int> order(count);
    for (int i = 0; i < count; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    std::vector<double> destroyMs(count, 0);
    std::vector<int> errorAtEnd(count, 0);
    std::thread(watchdog, static_cast<int64_t>(kDestroyHangMs)).detach();
    const int threadsWatch = threads0 + 1;
    const auto destroyStart = Clock::now();
    for (int i : order) {
        errorAtEnd[i] = players[i]->error();
        destroyMs[i] = players[i]->destroy();
    }
    const double destroyAllMs = msSince(destroyStart);
    const int threadsEnd = settledThreadCount(threadsWatch, kSettleMs) - 1;
    int late = 0;
    for (auto& p : players) late += p->lateNotifications();
    const long rssEnd = residentKb();

    printf("%3s %-5s %-24s %-9s %10s %11s %7s %10s %10s\n", "#", "via", "source", "outcome", "prepare_ms",
           "position_ms", "playing", "destroy_ms", "destroy_at");
    bool ok = true;
    for (int i = 0; i < count; ++i) {
        const char* what = outcome[i] == QV_MEDIA_PREPARED ? (errorAtEnd[i] != 0 ? "error" : "played")
                           : outcome[i] == QV_MEDIA_ERROR  ? "no-prepare"
                                                           : "timeout";
        const int at = static_cast<int>(std::find(order.begin(), order.end(), i) - order.begin());
        printf("%3d %-5s %-24s %-9s %10.0f %11d %7s %10.1f %10d\n", i, viaName(sources[i].via),
               sources[i].name.c_str(), what, players[i]->prepareMs(), positionMs[i], playing[i] ? "yes" : "no",
               destroyMs[i], at);
        if (outcome[i] != QV_MEDIA_PREPARED || errorAtEnd[i] != 0 || destroyMs[i] > kDestroyBoundMs) ok = false;
    }
    if (threadsEnd != threads0 || late != 0) ok = false;
    const double perPlayer = 1.0 / count;
    printf("\nplaying %.1f s: CPU %.2f s (%.1f %% of one core), %.3f s per player (%.2f %% of a core)\n", wallPlay,
           cpuPlay, cpuPlay / wallPlay * 100, cpuPlay * perPlayer, cpuPlay / wallPlay * 100 * perPlayer);
    printf("rss: start %.1f MB, all prepared %.1f MB, peak while playing %.1f MB, after %d s %.1f MB, after destroy "
           "%.1f MB\n",
           rss0 / 1024.0, rssOpen / 1024.0, rssPeak / 1024.0, seconds, rssPlayed / 1024.0, rssEnd / 1024.0);
    printf("rss while playing, every %.1f s (MB):", seconds / 10.0);
    for (long kb : rssSteps) printf(" %.1f", kb / 1024.0);
    printf("\n");
    printf("rss growth per player: %.1f MB opened, %.1f MB at the peak; growth while playing %+.1f MB in total\n",
           (rssOpen - rss0) / 1024.0 * perPlayer, (rssPeak - rss0) / 1024.0 * perPlayer, (rssPlayed - rssOpen) / 1024.0);
    printf("threads: start %d, playing %d (%.1f per player), after destroy %d; destroying all took %.0f ms; "
           "notifications after destroy: %d\n",
           threads0, threadsPlaying, (threadsPlaying - threads0) * perPlayer, threadsEnd, destroyAllMs, late);
    printf("players count=%d seconds=%d cpu_s=%.2f cpu_s_per_player=%.3f rss_start_kb=%ld rss_open_kb=%ld "
           "rss_peak_kb=%ld rss_end_kb=%ld threads_start=%d threads_playing=%d threads_end=%d ok=%d\n",
           count, seconds, cpuPlay, cpuPlay * perPlayer, rss0, rssOpen, rssPeak, rssEnd, threads0, threadsPlaying,
           threadsEnd, ok ? 1 : 0);
    return ok ? 0 : 2;
}
