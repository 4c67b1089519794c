// quorvantix-play: a small host program for the Quorvantix engine.
//
//   quorvantix-play [--headless] [FILE_OR_URL]
//
// Loads libquorvantix.so the way a desktop player does, creates a player, prints its API level
// and device identity, opens the address (the demo clip when none is given), prepares and plays
// it, and prints every notification and a progress line until playback completes or fails.
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "quorvantix/quorvantix.h"

namespace {

struct State {
    std::mutex lock;
    std::condition_variable cond;
    bool prepared = false;
    bool finished = false;
    int error = 0;
    int videoWidth = 0, videoHeight = 0;
};

const char* eventName(int msg) {
    switch (msg) {
        case QV_MEDIA_PREPARED: return "PREPARED";
        case QV_MEDIA_PLAYBACK_COMPLETE: return "PLAYBACK_COMPLETE";
        case QV_MEDIA_BUFFERING_UPDATE: return "BUFFERING_UPDATE";
        case QV_MEDIA_SEEK_COMPLETE: return "SEEK_COMPLETE";
        case QV_MEDIA_SET_VIDEO_SIZE: return "SET_VIDEO_SIZE";
        case QV_MEDIA_STARTED: return "STARTED";
        case QV_MEDIA_PAUSED: return "PAUSED";
        case QV_MEDIA_STOPPED: return "STOPPED";
        case QV_MEDIA_SKIPPED: return "SKIPPED";
        case QV_MEDIA_TIMED_TEXT: return "TIMED_TEXT";
        case QV_MEDIA_ERROR: return "ERROR";
        case QV_MEDIA_INFO: return "INFO";
        default: return "OTHER";
    }
}

void onNotify(void* user, int32_t msg, int32_t ext1, int32_t ext2, const char* text) {
    auto* st = static_cast<State*>(user);
    printf("\r\033[K[notify] %s (%d) ext1=%d ext2=%d%s%s\n", eventName(msg), msg, ext1, ext2, text ? " text=" : "",
           text ? text : "");
    fflush(stdout);
    std::lock_guard<std::mutex> l(st->lock);
    if (msg == QV_MEDIA_PREPARED) st->prepared = true;
    if (msg == QV_MEDIA_SET_VIDEO_SIZE) st->videoWidth = ext1, st->videoHeight = ext2;
    if (msg == QV_MEDIA_PLAYBACK_COMPLETE) st->finished = true;
    if (msg == QV_MEDIA_ERROR) st->error = ext2, st->finished = true;
    st->cond.notify_all();
}

std::string defaultClip() {
    if (const char* dir = getenv("QV_MEDIA_DIR")) return std::string(dir) + "/demo.mp4";
    return "build/media/demo.mp4";
}

std::string fmtTime(int ms) {
    char buf[32];
    snprintf(buf, sizeof(buf), "%d:%02d.%d", ms / 60000, (ms / 1000) % 60, (ms / 100) % 10);
    return buf;
}

}  // namespace

int main(int argc, char** argv) {
    bool headless = getenv("DISPLAY") == nullptr || getenv("DISPLAY")[0] == 0;
    std::string address;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--headless")) {
            headless = true;
        } else if (!strcmp(argv[i], "-h") || !strcmp(argv[i], "--help")) {
            printf("usage: %s [--headless] [FILE_OR_URL]\n", argv[0]);
            return 0;
        } else {
            address = argv[i];
        }
    }
    if (address.empty()) address = defaultClip();

    const char* libPath = getenv("QV_LIBRARY") ? getenv("QV_LIBRARY") : QV_LIBRARY_PATH;
    void* lib = dlopen(libPath, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "cannot load %s: %s\n", libPath, dlerror());
        return 1;
    }
    auto create = reinterpret_cast<CreatePlayerFn>(dlsym(lib, "CreatePlayer"));
    auto destroy = reinterpret_cast<DestroyPlayerFn>(dlsym(lib, "DestroyPlayer"));
    if (!create || !destroy) {
        fprintf(stderr, "%s does not export the player factory\n", libPath);
        return 1;
    }

    IVelmorPlayerBase* player = create();
    if (!player) {
        fprintf(stderr, "CreatePlayer failed\n");
        return 1;
    }
    printf("Quorvantix API level %d, device identity %s\n", player->getApiLevel(), player->getDeviceGuid());
    printf("playing %s (%s)\n", address.c_str(), headless ? "headless" : "window");

    State state;
    player->setListener(&onNotify, &state);
    player->setOsInfo("Linux", "1.0");
    player->createAudioSink(headless ? QV_AUDIO_SINK_NULL : QV_AUDIO_SINK_DEFAULT);
    player->setLiveDisabled(1);  // local files and FFmpeg-opened addresses are not live sessions
    int status = player->setDataSource(address.c_str(), nullptr);
    if (status == 0) status = player->prepareAsync();
    if (status != 0) {
        fprintf(stderr, "cannot open %s: status %d\n", address.c_str(), status);
        destroy(player, false);
        return 1;
    }

    {
        std::unique_lock<std::mutex> l(state.lock);
        state.cond.wait_for(l, std::chrono::seconds(30), [&] { return state.prepared || state.finished; });
    }
    int exitCode = 0;
    if (state.prepared && !state.finished) {
        player->start();
        int duration = 0;
        player->getDuration(&duration);
        for (;;) {
            {
                std::unique_lock<std::mutex> l(state.lock);
                if (state.cond.wait_for(l, std::chrono::milliseconds(250), [&] { return state.finished; })) break;
            }
            int pos = 0;
            player->getCurrentPosition(&pos);
            const int width = 30;
            const int filled = duration > 0 ? std::min(width, pos * width / duration) : 0;
            printf("\r\033[K[%s%s] %s / %s", std::string(static_cast<size_t>(filled), '#').c_str(),
                   std::string(static_cast<size_t>(width - filled), '-').c_str(), fmtTime(pos).c_str(),
                   fmtTime(duration).c_str());
            fflush(stdout);
        }
        printf("\n");
    }
    {
        std::lock_guard<std::mutex> l(state.lock);
        if (state.error) {
            wchar_t text[1024] = {0};
            player->getErrorText(L"en", state.error, text);
            fprintf(stderr, "playback failed: %d (%ls)\n", state.error, text);
            exitCode = 2;
        } else if (!state.prepared) {
            fprintf(stderr, "preparation did not finish\n");
            exitCode = 2;
        } else {
            printf("playback complete\n");
        }
    }
    destroy(player, false);
    dlclose(lib);
    return exitCode;
}
