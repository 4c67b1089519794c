// Reads one HTTP resource to its end through the engine's transport and prints one line of
// figures: bytes, wall time from before the connect to the end of the body, CPU time of the whole
// process, and the times from before the connect to the response head (connect() returned) and to
// the first read that returned bytes.
//
// Usage: bench_http URL direct|cached [--verify FILE]
//   direct   HttpDataSource alone: readAt of 256 KiB at a time, sequential.
//   cached   CachedSource over HttpDataSource: the reader asks for 256 KiB at a time as fast as
//            the cache answers.
//   --verify hashes what was read and FILE (the same bytes on disk) and fails on a difference;
//            the hash costs CPU, so the timed runs go without it.
// Environment: QV_BENCH_CACHE_CONFIG, the cache's "LOW_KIB/HIGH_KIB/KEEPALIVE_S" for cached.
// Output: "engine-MODE bytes=N wall=S cpu=S connect_ms=MS first_ms=MS mbps=MB/s cpu_per_gb=S [hash=H file_hash=H]"
// Exit status: 0 on success, 1 when the read failed or the bytes differ, 2 on a usage error.
#include <sys/resource.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "engine/CachedSource.h"
#include "engine/HttpDataSource.h"
#include "utils/Log.h"

using namespace velmor;

namespace {

constexpr size_t kReadBytes = 256 * 1024;
constexpr size_t kFileChunkBytes = 1024 * 1024;
constexpr double kBytesPerMB = 1e6;
constexpr double kBytesPerGB = 1e9;

double cpuSeconds() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Order-dependent hash over a byte stream, 8 bytes at a time; the result does not depend on how
// the stream was cut into pieces (a partial word waits in mCarry for the next piece).
class StreamHash {
public:
    void update(const uint8_t* p, size_t n) {
        while (n > 0 && mCarryLength > 0) {
            mCarry[mCarryLength++] = *p++;
            --n;
            if (mCarryLength == sizeof(mCarry)) {
                mix(load(mCarry));
                mCarryLength = 0;
            }
        }
        for (; n >= sizeof(uint64_t); n -= sizeof(uint64_t), p += sizeof(uint64_t)) mix(load(p));
        while (n-- > 0) mCarry[mCarryLength++] = *p++;
    }
    uint64_t digest() const {
        uint64_t h = mState;
        for (size_t i = 0; i < mCarryLength; ++i) h = (h ^ mCarry[i]) * kPrime;
        return (h ^ mLength) * kPrime;
    }

private:
    static constexpr uint64_t kPrime = 0x100000001b3ULL;
    static uint64_t load(const uint8_t* p) {
        uint64_t w;
        memcpy(&w, p, sizeof(w));
        return w;
    }
    void mix(uint64_t w) {
        mState = ((mState ^ w) * kPrime);
        mState ^= mState >> 29;
        mLength += sizeof(uint64_t);
    }
    uint64_t mState = 0xcbf29ce484222325ULL;
    uint64_t mLength = 0;
    uint8_t mCarry[8] = {};
    size_t mCarryLength = 0;
};

bool hashFile(const char* path, uint64_t* digest, int64_t* length) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path, "rb"), fclose);
    if (!file) return false;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kFileChunkBytes]);
    StreamHash hash;
    int64_t total = 0;
    size_t n;
    while ((n = fread(buffer.get(), 1, kFileChunkBytes, file.get())) > 0) {
        hash.update(buffer.get(), n);
        total += static_cast<int64_t>(n);
    }
    *digest = hash.digest();
    *length = total;
    return true;
}

struct Run {
    int64_t bytes = 0;
    double connectMs = -1;  // connect() returned (the response head was read)
    double firstByteMs = -1;
    double lastByteS = 0;  // the read that found the end returned
    uint64_t digest = 0;
    status_t error = OK;
};

// Reads source from offset 0 to its end, hashing when asked. The end is a read that returns 0
// (HttpDataSource) or ERROR_END_OF_STREAM (CachedSource, once the fetcher reached the end).
void readToEnd(DataSource* source, std::chrono::steady_clock::time_point start, bool hash, Run* run) {
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kReadBytes]);
    StreamHash digest;
    for (;;) {
        ssize_t n = source->readAt(run->bytes, buffer.get(), kReadBytes);
        if (n == ERROR_END_OF_STREAM) break;
        if (n < 0) {
            run->error = static_cast<status_t>(n);
            break;
        }
        if (n == 0) break;
        if (run->firstByteMs < 0) run->firstByteMs = secondsSince(start) * 1e3;
        if (hash) digest.update(buffer.get(), static_cast<size_t>(n));
        run->bytes += n;
    }
    run->lastByteS = secondsSince(start);
    run->digest = digest.digest();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s URL direct|cached [--verify FILE]\n", argv[0]);
        return 2;
    }
    const char* url = argv[1];
    const std::string mode = argv[2];
    const char* verifyFile = nullptr;
    if (argc >= 5 && strcmp(argv[3], "--verify") == 0) verifyFile = argv[4];
    // The cache's "LOW_KIB/HIGH_KIB/KEEPALIVE_S" (default: the cache's own marks).
    const char* cacheConfig = getenv("QV_BENCH_CACHE_CONFIG");
    if (cacheConfig != nullptr && *cacheConfig == '\0') cacheConfig = nullptr;
    if (mode != "direct" && mode != "cached") {
        fprintf(stderr, "unknown mode '%s'\n", mode.c_str());
        return 2;
    }
    setLogLevel(LOG_ERROR);

    Run run;
    int64_t announced = -1;
    // Made before the clock starts: the first one initializes libcurl and OpenSSL, which curl's own
    // figures do not count either.
    Ref<HttpDataSource> http = new HttpDataSource;
    const auto start = std::chrono::steady_clock::now();
    {
        status_t err = http->connect(url, nullptr, 0);
        run.connectMs = secondsSince(start) * 1e3;
        if (err != OK) {
            fprintf(stderr, "connect %s failed: %d\n", url, err);
            return 1;
        }
        if (http->getSize(&announced) != OK) announced = -1;
        if (mode == "direct") {
            readToEnd(http.get(), start, verifyFile != nullptr, &run);
        } else {
            Ref<CachedSource> cached = new CachedSource(http, cacheConfig, false);
            cached->start();
            readToEnd(cached.get(), start, verifyFile != nullptr, &run);
            cached->setStopFlag(DataSource::kStopFlagStop);
        }
        http.clear();
    }
    // Wall time to the end of the body; CPU time of the whole process, teardown included.
    const double wall = run.lastByteS;
    const double cpu = cpuSeconds();

    if (run.error != OK) {
        fprintf(stderr, "read failed at byte %" PRId64 ": %d\n", run.bytes, run.error);
        return 1;
    }
    if (announced >= 0 && run.bytes != announced) {
        fprintf(stderr, "read %" PRId64 " bytes of %" PRId64 "\n", run.bytes, announced);
        return 1;
    }
    printf("engine-%s bytes=%" PRId64 " wall=%.3f cpu=%.3f connect_ms=%.2f first_ms=%.2f mbps=%.1f cpu_per_gb=%.3f", mode.c_str(),
           run.bytes, wall, cpu, run.connectMs, run.firstByteMs, static_cast<double>(run.bytes) / kBytesPerMB / wall,
           cpu / (static_cast<double>(run.bytes) / kBytesPerGB));
    if (verifyFile != nullptr) {
        uint64_t fileDigest = 0;
        int64_t fileLength = 0;
        if (!hashFile(verifyFile, &fileDigest, &fileLength)) {
            printf("\n");
            fprintf(stderr, "cannot read %s\n", verifyFile);
            return 1;
        }
        printf(" hash=%016" PRIx64 " file_hash=%016" PRIx64, run.digest, fileDigest);
        if (fileDigest != run.digest || fileLength != run.bytes) {
            printf("\n");
            fprintf(stderr, "the bytes read differ from %s (%" PRId64 " bytes read, %" PRId64 " on disk)\n",
                    verifyFile, run.bytes, fileLength);
            return 1;
        }
    }
    printf("\n");
    return 0;
}
