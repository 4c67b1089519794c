// PlaylistParser throughput and memory.
//
//   bench_hls_parser gen plain|keyed ITEMS OUT   writes a media playlist of ITEMS segments:
//       plain  "#EXTINF:<d>," and a relative address per segment (what ffmpeg writes for VOD)
//       keyed  plus a "#EXT-X-KEY" with method, quoted address and IV, and an
//              "#EXT-X-BYTERANGE" (every other one without its offset) per segment
//   bench_hls_parser parse FILE [REPEATS]        reads FILE once, then parses it REPEATS times
//       (default 20) and prints one line of key=value figures:
//       items=N bytes=B parse_ms=<median> min_ms=<min> peak_kb=<peak RSS growth of the first parse>
//       rss_kb=<peak RSS of the process>
// The first parse runs on a fresh process heap, so the growth of the peak resident size across
// it is the memory one parsed playlist takes (items, metadata and the parser's own buffers).
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/hls/PlaylistParser.h"

using namespace velmor;

namespace {

constexpr int kDefaultRepeats = 20;
constexpr int kSegmentBytes = 188 * 1000;  // byte-range length of a keyed segment

long peakRssKb() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

int generate(const std::string& kind, long items, const std::string& out) {
    const bool keyed = kind == "keyed";
    if (!keyed && kind != "plain") return 2;
    std::ofstream f(out, std::ios::binary);
    f << "#EXTM3U\n#EXT-X-VERSION:4\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:0\n"
      << "#EXT-X-PLAYLIST-TYPE:VOD\n";
    char line[256];
    for (long i = 0; i < items; ++i) {
        if (keyed) {
            snprintf(line, sizeof(line), "#EXT-X-KEY:METHOD=AES-128,URI=\"keys/key%ld.bin?grp=a,b\",IV=0x%032lx\n",
                     i / 10, i);
            f << line;
            if (i % 2 == 0) {
                f << "#EXT-X-BYTERANGE:" << kSegmentBytes << "@" << static_cast<long long>(i) * kSegmentBytes << "\n";
            } else {
                f << "#EXT-X-BYTERANGE:" << kSegmentBytes << "\n";
            }
        }
        snprintf(line, sizeof(line), "#EXTINF:%d.%06d,\n", 1 + static_cast<int>(i % 2), static_cast<int>((i * 7919) % 1000000));
        f << line << (keyed ? "media.ts" : "seg.ts") << "\n";
    }
    f << "#EXT-X-ENDLIST\n";
    return f.good() ? 0 : 1;
}

int parseBench(const std::string& path, int repeats) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    const std::string text = s.str();
    if (text.empty()) {
        fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    const std::string base = "http://127.0.0.1/hls/" + path.substr(path.rfind('/') + 1);

    std::vector<double> ms;
    size_t items = 0;
    long peakGrowthKb = 0;
    for (int r = 0; r < repeats; ++r) {
        const long before = peakRssKb();
        const auto t0 = std::chrono::steady_clock::now();
        Ref<PlaylistParser> p = new PlaylistParser(base.c_str(), text.data(), text.size());
        const auto t1 = std::chrono::steady_clock::now();
        if (r == 0) peakGrowthKb = peakRssKb() - before;
        if (p->initCheck() != OK) {
            fprintf(stderr, "parse failed: %d\n", p->initCheck());
            return 1;
        }
        items = p->size();
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::vector<double> sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    printf("items=%zu bytes=%zu parse_ms=%.3f min_ms=%.3f peak_kb=%ld rss_kb=%ld\n", items, text.size(),
           sorted[sorted.size() / 2], sorted.front(), peakGrowthKb, peakRssKb());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && strcmp(argv[1], "gen") == 0) return generate(argv[2], atol(argv[3]), argv[4]);
    if (argc >= 3 && strcmp(argv[1], "parse") == 0) {
        return parseBench(argv[2], argc >= 4 ? std::max(1, atoi(argv[3])) : kDefaultRepeats);
    }
    fprintf(stderr, "usage: %s gen plain|keyed ITEMS OUT | parse FILE [REPEATS]\n", argv[0]);
    return 2;
}
