// Extractor + video decoder + sound decoder over one file as fast as possible, against
// "ffmpeg -threads 2 -i FILE -f null -" in the same run. Prints CPU time, wall time and peak
// resident memory of both and our overhead in percent.
//
// The reader here takes pictures as fast as they come, so the decoder's ready queue stays low
// and the decoder would skip the H.264 loop filter to catch up, which ffmpeg never does. The
// benchmark turns that shedding off: both sides do the same work.
//
// Usage: bench_decode FILE
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "engine/DecoderRegistry.h"
#include "engine/FFMpegExtractor.h"
#include "engine/FileSource.h"
#include "engine/MediaDefs.h"
#include "engine/codecs/FFMpegVideoDecoder.h"
#include "utils/Log.h"

using namespace velmor;

namespace {

double seconds(const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; }

void quietLog(const char*, int) {}

struct Figures {
    double cpu = 0;
    double wall = 0;
    long peakKb = 0;
};

struct DrainResult {
    long buffers = 0;
    long long bytes = 0;
    status_t end = OK;
};

void drain(const Ref<MediaSource>& decoder, DrainResult* result) {
    for (;;) {
        MediaBuffer* buffer = nullptr;
        status_t err = decoder->read(&buffer);
        if (err == INFO_FORMAT_CHANGED) continue;
        if (err != OK) {
            result->end = err;
            return;
        }
        ++result->buffers;
        result->bytes += static_cast<long long>(buffer->range_length());
        buffer->release();
    }
}

bool runOurs(const char* path, Figures* figures) {
    auto begin = std::chrono::steady_clock::now();
    Ref<FFMpegExtractor> extractor = new FFMpegExtractor(new FileSource(path));
    if (extractor->initialize(nullptr, false) != OK) return false;
    Ref<MediaSource> video, audio;
    for (size_t i = 0; i < extractor->countTracks(); ++i) {
        Ref<MetaData> meta = extractor->getTrackMetaData(i);
        const char* mime = nullptr;
        if (!meta->findCString(kKeyMIMEType, &mime)) continue;
        if (video == nullptr && isVideoMime(mime)) video = DecoderRegistry::createDecoder(meta, false, extractor->getTrack(i));
        if (audio == nullptr && isAudioMime(mime)) audio = DecoderRegistry::createDecoder(meta, false, extractor->getTrack(i));
    }
    if (video == nullptr || audio == nullptr) return false;
    if (video->start() != OK || audio->start() != OK) return false;
    DrainResult v, a;
    std::thread audioThread(drain, audio, &a);
    drain(video, &v);
    audioThread.join();
    video->stop();
    audio->stop();
    figures->wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    printf("ours: %ld pictures (%lld bytes), %ld PCM buffers (%lld bytes)\n", v.buffers, v.bytes, a.buffers, a.bytes);
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    figures->cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    figures->peakKb = usage.ru_maxrss;
    return v.end == ERROR_END_OF_STREAM && a.end == ERROR_END_OF_STREAM;
}

bool runFFmpeg(const char* path, Figures* figures) {
    auto begin = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        execlp("ffmpeg", "ffmpeg", "-nostdin", "-v", "error", "-threads", "2", "-i", path, "-f", "null", "-",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage;
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return false;
    figures->wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    figures->cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    figures->peakKb = usage.ru_maxrss;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE [ours|ffmpeg]\n", argv[0]);
        return 2;
    }
    setLogSink(quietLog);
    FFMpegVideoDecoder::setLoopFilterShedding(false);
    Figures ffmpeg, ours;
    // With "ours" or "ffmpeg" as a second argument only that side runs and prints one
    // machine-readable line (run.sh repeats both and takes medians); without it both run here,
    // FFmpeg first, in a child, so that its peak memory is its own.
    const char* only = argc > 2 ? argv[2] : "";
    if (strcmp(only, "ffmpeg") == 0) {
        if (!runFFmpeg(argv[1], &ffmpeg)) return 1;
        printf("ffmpeg cpu=%.3f wall=%.3f peak_kb=%ld\n", ffmpeg.cpu, ffmpeg.wall, ffmpeg.peakKb);
        return 0;
    }
    if (strcmp(only, "ours") == 0) {
        if (!runOurs(argv[1], &ours)) return 1;
        printf("engine cpu=%.3f wall=%.3f peak_kb=%ld\n", ours.cpu, ours.wall, ours.peakKb);
        return 0;
    }
    if (!runFFmpeg(argv[1], &ffmpeg)) {
        fprintf(stderr, "ffmpeg failed\n");
        return 1;
    }
    if (!runOurs(argv[1], &ours)) {
        fprintf(stderr, "decoding failed\n");
        return 1;
    }
    printf("%-8s %10s %10s %12s\n", "", "cpu s", "wall s", "peak RSS MB");
    printf("%-8s %10.2f %10.2f %12.1f\n", "ffmpeg", ffmpeg.cpu, ffmpeg.wall, ffmpeg.peakKb / 1024.0);
    printf("%-8s %10.2f %10.2f %12.1f\n", "engine", ours.cpu, ours.wall, ours.peakKb / 1024.0);
    printf("cpu overhead %+.1f %%  (goal <= 15 %%)\n", (ours.cpu / ffmpeg.cpu - 1.0) * 100.0);
    printf("memory overhead %+.1f %%\n", (static_cast<double>(ours.peakKb) / ffmpeg.peakKb - 1.0) * 100.0);
    return 0;
}
