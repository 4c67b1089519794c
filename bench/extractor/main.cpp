// Demuxes a file to its end through FFMpegExtractor (FileSource, readers fetching) and prints
// the packets, bytes, wall time and CPU time of each run.
// Usage: bench_extractor FILE [RUNS]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "engine/FFMpegExtractor.h"
#include "engine/FileSource.h"
#include "utils/Log.h"

using namespace velmor;

namespace {

double cpuSeconds() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void quiet(const char*, int) {}

struct Result {
    long packets = 0;
    long long bytes = 0;
    double wall = 0;
    double cpu = 0;
};

bool demux(const char* path, Result* out) {
    const double cpu0 = cpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    Ref<FFMpegExtractor> extractor = new FFMpegExtractor(new FileSource(path));
    if (extractor->initialize(nullptr, false) != OK) return false;
    std::vector<Ref<MediaSource>> tracks;
    for (size_t i = 0; i < extractor->countTracks(); ++i) {
        Ref<MediaSource> track = extractor->getTrack(i);
        if (track->start() == OK) tracks.push_back(track);
    }
    std::vector<bool> done(tracks.size(), false);
    size_t remaining = tracks.size();
    while (remaining > 0) {
        for (size_t i = 0; i < tracks.size(); ++i) {
            if (done[i]) continue;
            MediaBuffer* buffer = nullptr;
            if (tracks[i]->read(&buffer) != OK) {
                done[i] = true;
                --remaining;
                continue;
            }
            ++out->packets;
            out->bytes += static_cast<long long>(buffer->range_length());
            buffer->release();
        }
    }
    for (auto& t : tracks) t->stop();
    tracks.clear();
    extractor.clear();
    out->wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    out->cpu = cpuSeconds() - cpu0;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE [RUNS]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 5;
    setLogSink(quiet);
    av_log_set_level(AV_LOG_ERROR);
    std::vector<double> cpu;
    std::vector<double> wall;
    Result last;
    for (int i = 0; i < runs; ++i) {
        Result r;
        if (!demux(argv[1], &r)) {
            fprintf(stderr, "cannot open %s\n", argv[1]);
            return 1;
        }
        cpu.push_back(r.cpu);
        wall.push_back(r.wall);
        last = r;
    }
    std::sort(cpu.begin(), cpu.end());
    std::sort(wall.begin(), wall.end());
    printf("FFMpegExtractor: %ld packets, %lld bytes; median of %d runs: cpu %.3f s, wall %.3f s (min cpu %.3f s)\n",
           last.packets, last.bytes, runs, cpu[cpu.size() / 2], wall[wall.size() / 2], cpu[0]);
    return 0;
}
