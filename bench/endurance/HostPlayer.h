// What the endurance and many-player benchmarks share: one player driven as a host drives it
// through the loaded library, the sources they play, and the process figures they report.
//
// Threads: HostPlayer's notification fields are written on the engine's listener thread and read
// by the driving thread, all under mLock. Everything else belongs to the thread that drives it.
#pragma once

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "apps/PlayerLibrary.h"
#include "quorvantix/quorvantix.h"

namespace qvbench {

using Clock = std::chrono::steady_clock;

inline double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// ---- process figures --------------------------------------------------------------------------

// Entries of a /proc folder, without . and ..; -1 when it cannot be read.
inline int countEntries(const char* folder) {
    DIR* dir = opendir(folder);
    if (dir == nullptr) return -1;
    int n = 0;
    while (dirent* e = readdir(dir))
        if (e->d_name[0] != '.') ++n;
    closedir(dir);
    return n;
}
inline int threadCount() { return countEntries("/proc/self/task"); }
// Open descriptors, less the one opendir holds while counting.
inline int fdCount() { return countEntries("/proc/self/fd") - 1; }

inline long residentKb() {
    long pages = 0, resident = 0;
    FILE* f = fopen("/proc/self/statm", "r");
    if (f == nullptr) return -1;
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
    fclose(f);
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// User + system CPU seconds of the whole process, every thread included.
inline double cpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Waits up to `timeoutMs` for the thread count to come down to `target` (engine threads end
// shortly after the call that asked them to); returns the last count seen.
inline int settledThreadCount(int target, int timeoutMs) {
    const auto start = Clock::now();
    int n = threadCount();
    while (n > target && msSince(start) < timeoutMs) {
        usleep(10 * 1000);
        n = threadCount();
    }
    return n;
}

// ---- sources ----------------------------------------------------------------------------------

enum class Via { File, Http, Hls };
inline const char* viaName(Via v) { return v == Via::File ? "file" : v == Via::Http ? "http" : "hls"; }

struct Source {
    Via via;
    std::string name;  // media-relative name
    std::string url;   // what the player opens
};

inline std::string mediaDir() {
    const char* dir = getenv("QV_MEDIA_DIR");
    return dir != nullptr && *dir != '\0' ? dir : "build/media";
}
inline std::string httpBase() {
    const char* base = getenv("QV_HTTP_BASE");
    return base != nullptr ? base : "";
}
inline Source makeSource(Via via, const std::string& name) {
    return {via, name, via == Via::File ? mediaDir() + "/" + name : httpBase() + "/" + name};
}

// Sixteen different sources for players that run at once: files of eight containers and five
// codecs, progressive HTTP and HLS (clear, AES-128, one variant, a discontinuity), interleaved.
struct NamedSource {
    Via via;
    const char* name;
};
inline constexpr NamedSource kMixedSources[] = {
    {Via::File, "h264_aac.mp4"},         {Via::File, "hevc_aac.mkv"},    {Via::Hls, "hls/vod/master.m3u8"},
    {Via::Http, "demo.mp4"},             {Via::File, "audio.wav"},       {Via::File, "mpeg4_mp3.avi"},
    {Via::Hls, "hls/aes/index.m3u8"},    {Via::Http, "colors.mp4"},      {Via::File, "h264_aac.flv"},
    {Via::File, "stream_10s.ts"},        {Via::Hls, "hls/single/index.m3u8"}, {Via::Http, "short_audio.mp4"},
    {Via::File, "audio.flac"},           {Via::File, "languages.mkv"},   {Via::Hls, "hls/disc/index.m3u8"},
    {Via::File, "audio_51.m4a"},
};

// ---- one player -------------------------------------------------------------------------------

class HostPlayer {
public:
    explicit HostPlayer(const PlayerLibrary& lib) : HostPlayer(lib.create, lib.destroy) {}
    HostPlayer(CreatePlayerFn create, DestroyPlayerFn destroy) : mCreate(create), mDestroy(destroy) {}
    HostPlayer(const HostPlayer&) = delete;
    HostPlayer& operator=(const HostPlayer&) = delete;
    ~HostPlayer() {
        if (mPlayer != nullptr) destroy();
    }

    // Creates the player with a null audio sink and no video sink (frames are timed and dropped at
    // the render step) and starts preparing `source`. False when a call refuses.
    bool open(const Source& source, bool looping = false) {
        mPlayer = mCreate();
        if (mPlayer == nullptr) return false;
        mPlayer->setListener(&HostPlayer::notify, this);
        mPlayer->createAudioSink(QV_AUDIO_SINK_NULL);
        // HLS plays through the engine's own HLS stack, which needs live handling on.
        mPlayer->setLiveDisabled(source.via == Via::Hls ? 0 : 1);
        if (mPlayer->setDataSource(source.url.c_str(), nullptr) != 0) return false;
        // Looping is a setting of the item: a new data source clears it.
        if (looping) mPlayer->setLooping(1);
        mPrepareStart = Clock::now();
        return mPlayer->prepareAsync() == 0;
    }

    // Waits for the end of preparing: QV_MEDIA_PREPARED, QV_MEDIA_ERROR, or 0 on time-out.
    int waitPrepared(int timeoutMs) {
        std::unique_lock<std::mutex> l(mLock);
        mCond.wait_for(l, std::chrono::milliseconds(timeoutMs), [this] { return mPrepared || mError != 0; });
        mPrepareMs = msSince(mPrepareStart);
        return mError != 0 ? QV_MEDIA_ERROR : mPrepared ? QV_MEDIA_PREPARED : 0;
    }
    // Waits for a seek completion after `seeksBefore` had arrived; false on time-out or error.
    bool waitSeek(int seeksBefore, int timeoutMs) {
        std::unique_lock<std::mutex> l(mLock);
        return mCond.wait_for(l, std::chrono::milliseconds(timeoutMs),
                              [&] { return mSeeks > seeksBefore || mError != 0; }) &&
               mError == 0;
    }

    // Stops and frees the player; returns how long DestroyPlayer took.
    double destroy() {
        const auto start = Clock::now();
        mDestroy(mPlayer, false);
        mPlayer = nullptr;
        const double ms = msSince(start);
        std::lock_guard<std::mutex> l(mLock);
        mDestroyed = true;
        return ms;
    }

    IVelmorPlayerBase* player() { return mPlayer; }
    double prepareMs() const { return mPrepareMs; }
    int seeks() {
        std::lock_guard<std::mutex> l(mLock);
        return mSeeks;
    }
    int error() {
        std::lock_guard<std::mutex> l(mLock);
        return mError;
    }
    bool complete() {
        std::lock_guard<std::mutex> l(mLock);
        return mComplete;
    }
    // Notifications that arrived after DestroyPlayer returned (a host may free its listener then).
    int lateNotifications() {
        std::lock_guard<std::mutex> l(mLock);
        return mLate;
    }

private:
    static void notify(void* user, int32_t msg, int32_t ext1, int32_t, const char*) {
        auto* self = static_cast<HostPlayer*>(user);
        std::lock_guard<std::mutex> l(self->mLock);
        if (self->mDestroyed) ++self->mLate;
        if (msg == QV_MEDIA_PREPARED) self->mPrepared = true;
        if (msg == QV_MEDIA_SEEK_COMPLETE) ++self->mSeeks;
        if (msg == QV_MEDIA_PLAYBACK_COMPLETE) self->mComplete = true;
        if (msg == QV_MEDIA_ERROR) self->mError = ext1 != 0 ? ext1 : -1;
        self->mCond.notify_all();
    }

    const CreatePlayerFn mCreate;
    const DestroyPlayerFn mDestroy;
    IVelmorPlayerBase* mPlayer = nullptr;
    Clock::time_point mPrepareStart;
    double mPrepareMs = 0;

    std::mutex mLock;
    std::condition_variable mCond;
    bool mPrepared = false;   // guarded by mLock
    bool mComplete = false;   // guarded by mLock
    bool mDestroyed = false;  // guarded by mLock
    int mSeeks = 0;           // guarded by mLock
    int mError = 0;           // guarded by mLock
    int mLate = 0;            // guarded by mLock
};

}  // namespace qvbench
