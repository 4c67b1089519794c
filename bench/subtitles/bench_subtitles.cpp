// Parses one subtitle file the way the subtitle driver does (the whole file in a MemFileSource,
// the reader picked by content) and prints, as key=value pairs on one line:
//   load_ms   loading the file into memory
//   parse_ms  the reader's start(): cue table and character-set detection
//   read_ms   reading every cue (payloads built from the file bytes)
//   cues      how many cues were read
//   max_rss_kb  the process's peak resident size
// Usage: bench_subtitles FILE
#include <sys/resource.h>

#include <chrono>
#include <cstdio>

#include "engine/MemFileSource.h"
#include "engine/subtitles/SubtitleSource.h"
#include "utils/Log.h"

using namespace velmor;

namespace {
double msSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    setLogLevel(LOG_WARN);
    auto t0 = std::chrono::steady_clock::now();
    Ref<DataSource> source = new MemFileSource(argv[1]);
    if (source->initCheck() != OK) return 1;
    const double loadMs = msSince(t0);

    Ref<SubtitleSource> reader = SubtitleSource::CreateByContent(source);
    if (reader == nullptr) {
        fprintf(stderr, "%s: no subtitle reader\n", argv[1]);
        return 1;
    }
    t0 = std::chrono::steady_clock::now();
    const status_t err = reader->start();
    const double parseMs = msSince(t0);
    if (err != OK) {
        fprintf(stderr, "%s: start() = %d\n", argv[1], err);
        return 1;
    }
    t0 = std::chrono::steady_clock::now();
    long cues = 0;
    for (;;) {
        int64_t startUs = 0, endUs = 0;
        Payload cue;
        if (reader->read(&startUs, &endUs, &cue) != OK) break;
        ++cues;
    }
    const double readMs = msSince(t0);
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("load_ms=%.2f parse_ms=%.2f read_ms=%.2f cues=%ld max_rss_kb=%ld\n", loadMs, parseMs, readMs,
           cues, usage.ru_maxrss);
    return 0;
}
