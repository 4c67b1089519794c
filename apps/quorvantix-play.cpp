// quorvantix-play: a small host program for the Quorvantix engine.
//
//   quorvantix-play [--headless] [--sub SUBTITLE]... [FILE_OR_URL]
//   quorvantix-play [--headless] [--sub SUBTITLE]... --agent HOST:PORT CONTENT
//
// Loads libquorvantix.so the way a desktop player does, creates a player, prints its API level
// and device identity, opens the address (the demo clip when none is given), prepares and plays
// it, and prints every notification and a progress line until playback completes or fails.
// With --agent the address is a content path that the player agent at HOST:PORT resolves; the
// engine plays the agent's play URL and reports to the agent while it plays.
// With a display it opens an X11 window for the OpenGL sink; --headless (or no display) uses no
// video sink and the null audio sink.
// Each --sub adds an external subtitle file (a path, file:// or http:// address) once the media
// is prepared; the first one the engine accepts is shown. Every cue is printed as a "[cue] ..."
// line and at the end of the progress line, and drawn at the bottom of the window; a cleared cue
// prints "[cue clear]". With a window the caption window's id is printed as
// "[caption] window 0x...".
//
// Keys (in the terminal or the window): space pause/resume, left/right seek -/+10 s, e exact
// seek +10 s, [ ] rate down/up, 1-4 rate presets (0.5x 1x 1.5x 2x), + - volume, b/B brightness,
// c/C contrast, s/S saturation, m scale mode, a next audio track, j next subtitle track (the
// last one is followed by none), t track list, q quit.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dlfcn.h>
#include <langinfo.h>
#include <signal.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <clocale>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <algorithm>
#include <deque>
#include <vector>

#include "PlayerLibrary.h"
#include "play/CueOverlay.h"
#include "play/CueText.h"
#include "quorvantix/quorvantix.h"

namespace {

// Ctrl-C or a termination request ends playback the way the q key does, so the player is
// destroyed properly (and an agent session sends its stop report).
volatile sig_atomic_t gInterrupted = 0;
void onInterrupt(int) { gInterrupted = 1; }

// A subtitle cue as the callback received it; shaped and shown by the main loop.
struct CueEvent {
    bool secondary = false;
    bool hasText = false;   // false: clear the caption
    std::string bytes;      // the cue text in the subtitle file's character set
};

// Shared between the listener's thread (onNotify, writer) and the main loop (reader); every
// field is guarded by `lock`.
struct State {
    std::mutex lock;
    std::condition_variable cond;
    bool prepared = false;
    bool finished = false;
    int error = 0;
    int videoWidth = 0, videoHeight = 0;
    int bufferedPercent = -1;  // of a streamed source; shown on the progress line
    int variantBandwidth = 0;  // bit/s of the HLS variant playing (MEDIA_INFO 11), 0: none
    std::deque<CueEvent> cues;          // not yet shown, in arrival order
    std::deque<int> addedTracks;        // track indices of accepted primary subtitle files
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

// The secondary subtitle track's cues (the API header has no name for it).
constexpr int32_t kSecondaryTimedText = 101;
// MEDIA_INFO of an HLS session that starts playing another variant (ext2: its bandwidth).
constexpr int32_t kInfoVariantBandwidth = 11;

void onNotify(void* user, int32_t msg, int32_t ext1, int32_t ext2, const char* text) {
    auto* st = static_cast<State*>(user);
    if (msg == QV_MEDIA_BUFFERING_UPDATE) {
        std::lock_guard<std::mutex> l(st->lock);
        st->bufferedPercent = ext1;
        return;
    }
    if (msg == QV_MEDIA_TIMED_TEXT || msg == kSecondaryTimedText) {
        // The main loop decodes and shows it; the text pointer dies with this call.
        std::lock_guard<std::mutex> l(st->lock);
        st->cues.push_back({msg == kSecondaryTimedText, text != nullptr, text ? std::string(text) : std::string()});
        st->cond.notify_all();
        return;
    }
    printf("\r\033[K[notify] %s (%d) ext1=%d ext2=%d%s%s\n", eventName(msg), msg, ext1, ext2, text ? " text=" : "",
           text ? text : "");
    fflush(stdout);
    std::lock_guard<std::mutex> l(st->lock);
    if (msg == QV_MEDIA_PREPARED) st->prepared = true;
    if (msg == QV_MEDIA_SET_VIDEO_SIZE) st->videoWidth = ext1, st->videoHeight = ext2;
    if (msg == QV_MEDIA_PLAYBACK_COMPLETE) st->finished = true;
    if (msg == QV_MEDIA_ERROR) st->error = ext2, st->finished = true;
    if (msg == QV_MEDIA_INFO_TIMED_TEXT_DETECTED) st->addedTracks.push_back(ext1);
    if (msg == QV_MEDIA_INFO && ext1 == kInfoVariantBandwidth) st->variantBandwidth = ext2;
    st->cond.notify_all();
}

// Raw single-key input from the terminal for the life of the object.
class RawTerminal {
public:
    RawTerminal() {
        mActive = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &mSaved) == 0;
        if (!mActive) return;
        termios raw = mSaved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    ~RawTerminal() {
        if (mActive) tcsetattr(STDIN_FILENO, TCSANOW, &mSaved);
    }
    // A key, or 0 when none is waiting. Arrow keys come back as 'L' and 'R'.
    int key() {
        if (!mActive) return 0;
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        if (poll(&pfd, 1, 0) <= 0) return 0;
        char buf[8];
        const ssize_t n = read(STDIN_FILENO, buf, sizeof(buf));
        if (n <= 0) return 0;
        if (n >= 3 && buf[0] == 27 && buf[1] == '[') return buf[2] == 'D' ? 'L' : buf[2] == 'C' ? 'R' : 0;
        return buf[0];
    }

private:
    termios mSaved{};
    bool mActive = false;
};

// The host's window.
class HostWindow {
public:
    bool open(int width, int height) {
        mDisplay = XOpenDisplay(nullptr);
        if (!mDisplay) return false;
        const int screen = DefaultScreen(mDisplay);
        mWindow = XCreateSimpleWindow(mDisplay, RootWindow(mDisplay, screen), 0, 0, static_cast<unsigned>(width),
                                      static_cast<unsigned>(height), 0, BlackPixel(mDisplay, screen),
                                      BlackPixel(mDisplay, screen));
        XStoreName(mDisplay, mWindow, "quorvantix-play");
        XSelectInput(mDisplay, mWindow, KeyPressMask | StructureNotifyMask);
        mDeleteAtom = XInternAtom(mDisplay, "WM_DELETE_WINDOW", False);
        XSetWMProtocols(mDisplay, mWindow, &mDeleteAtom, 1);
        XMapWindow(mDisplay, mWindow);
        if (mCaption.open(mDisplay, mWindow, width, height)) {
            printf("[caption] window 0x%lx\n", mCaption.id());
            fflush(stdout);
        }
        XSync(mDisplay, False);
        return true;
    }
    ~HostWindow() {
        if (mDisplay) {
            mCaption.close();
            XDestroyWindow(mDisplay, mWindow);
            XCloseDisplay(mDisplay);
        }
    }
    Window id() const { return mWindow; }
    // Draws the cue's lines on the video (no lines: removes the caption).
    void showCaption(const std::vector<std::string>& lines) {
        if (mDisplay) mCaption.show(lines);
    }
    // A key pressed in the window, 'q' when the window was closed, 0 otherwise.
    int key() {
        if (!mDisplay) return 0;
        while (XPending(mDisplay)) {
            XEvent ev;
            XNextEvent(mDisplay, &ev);
            if (mCaption.handleEvent(ev)) continue;
            if (ev.type == ConfigureNotify && ev.xconfigure.window == mWindow) {
                mCaption.parentResized(ev.xconfigure.width, ev.xconfigure.height);
            }
            if (ev.type == ClientMessage && static_cast<Atom>(ev.xclient.data.l[0]) == mDeleteAtom) return 'q';
            if (ev.type == KeyPress) {
                KeySym sym = XLookupKeysym(&ev.xkey, (ev.xkey.state & ShiftMask) ? 1 : 0);
                if (sym == XK_Left) return 'L';
                if (sym == XK_Right) return 'R';
                if (sym == XK_space) return ' ';
                if (sym < 128) return static_cast<int>(sym);
            }
        }
        return 0;
    }

private:
    Display* mDisplay = nullptr;
    Window mWindow = 0;
    Atom mDeleteAtom = 0;
    qvplay::CueOverlay mCaption;  // a child of mWindow; released before the connection closes
};

int clampPercent(int v) { return v < 0 ? 0 : v > 100 ? 100 : v; }

void printTracks(IVelmorPlayerBase* player) {
    // The track list comes with the content information and from the engine's track query;
    // show what the host can see through the interface.
    int32_t w = 0, h = 0, duration = 0;
    player->getVideoWidth(&w);
    player->getVideoHeight(&h);
    player->getDuration(&duration);
    printf("\r\033[K[tracks] video %dx%d, duration %d ms\n", w, h, duration);
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

// How long the host waits for the engine to accept a subtitle file before adding the next: a
// local file is read at once, an http:// one is downloaded first.
constexpr auto kLocalSubtitleWait = std::chrono::seconds(3);
constexpr auto kRemoteSubtitleWait = std::chrono::seconds(20);
// The largest local subtitle file read for character-set detection.
constexpr size_t kMaxSubtitleFileBytes = 16 << 20;
// The cue's share of the progress line, in bytes.
constexpr size_t kProgressCueBytes = 60;

bool startsWithNoCase(const std::string& s, const char* prefix) {
    return strncasecmp(s.c_str(), prefix, strlen(prefix)) == 0;
}

// The first `limit` bytes of a UTF-8 text, not cutting a character in two.
std::string utf8Prefix(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end) + "...";
}

// The external subtitle files given with --sub: adding them, choosing the one shown, and turning
// the cues the callback queued into terminal lines and the caption. Main loop only; it reads
// State's queues under State's lock and calls the player and the window outside it.
class Subtitles {
public:
    void addFile(std::string uri) { mTracks.push_back({std::move(uri), {}, {}, -1}); }

    // Adds the files one at a time so that each MEDIA_INFO_TIMED_TEXT_DETECTED matches its
    // file (the engine announces only the files it accepts, in order), then shows the first.
    void addAll(IVelmorPlayerBase* player, State& state) {
        for (Track& track : mTracks) {
            const std::string bytes = localSubtitleBytes(track.uri);
            if (!bytes.empty()) track.charset = qvplay::detectCharset(bytes);
            const int status = player->addSubtitleSource(track.uri.c_str(), false);
            {
                std::unique_lock<std::mutex> l(state.lock);
                state.cond.wait_for(l, isRemote(track.uri) ? kRemoteSubtitleWait : kLocalSubtitleWait,
                                    [&] { return !state.addedTracks.empty() || state.finished; });
                if (!state.addedTracks.empty()) {
                    track.index = state.addedTracks.front();
                    state.addedTracks.pop_front();
                }
            }
            if (track.index >= 0) {
                printf("\r\033[K[subtitle] track %d: %s (%s)\n", track.index, track.uri.c_str(),
                       track.charset.empty() ? "character set from the cues" : track.charset.c_str());
            } else {
                printf("\r\033[K[subtitle] %s was not accepted (status %d)\n", track.uri.c_str(), status);
            }
        }
        for (size_t i = 0; i < mTracks.size() && mShown < 0; ++i) {
            if (mTracks[i].index >= 0) select(player, static_cast<int>(i));
        }
        fflush(stdout);
    }

    // Takes the cues the callback queued and shows them. Tracks announced late (a file whose
    // wait ran out, such as a slow download) go to the first file still without one; tracks the
    // engine added itself become tracks of their own, shown when none is shown and the viewer
    // has not chosen.
    void update(IVelmorPlayerBase* player, State& state, HostWindow& window) {
        std::deque<CueEvent> cues;
        std::deque<int> lateTracks;
        {
            std::lock_guard<std::mutex> l(state.lock);
            cues.swap(state.cues);
            lateTracks.swap(state.addedTracks);
        }
        for (const int index : lateTracks) {
            auto waiting = std::find_if(mTracks.begin(), mTracks.end(), [](const Track& t) { return t.index < 0; });
            if (waiting == mTracks.end()) waiting = mTracks.insert(mTracks.end(), {"(added by the engine)", {}, {}, -1});
            waiting->index = index;
            printf("\r\033[K[subtitle] track %d: %s\n", index, waiting->uri.c_str());
            if (mShown < 0 && !mViewerChose) select(player, static_cast<int>(waiting - mTracks.begin()));
        }
        for (const CueEvent& cue : cues) show(cue, window);
        fflush(stdout);
    }

    // The next track; after the last one, none; then the first again.
    void cycle(IVelmorPlayerBase* player, HostWindow& window) {
        mViewerChose = true;
        int next = mShown + 1;
        while (next < static_cast<int>(mTracks.size()) && track(next).index < 0) ++next;
        if (next < static_cast<int>(mTracks.size())) {
            select(player, next);
        } else if (mShown >= 0) {
            const int status = player->selectTrack(track(mShown).index, false, false);
            printf("\r\033[K[subtitle] off (status %d)\n", status);
            mShown = -1;
        } else {
            printf("\r\033[K[subtitle] no subtitle track\n");
        }
        window.showCaption({});
        mCueLine.clear();
    }

    // " | cue text" for the progress line, "" without a cue.
    std::string progressText() const {
        return mCueLine.empty() ? std::string() : " | " + utf8Prefix(mCueLine, kProgressCueBytes);
    }

private:
    struct Track {
        std::string uri;
        std::string charset;  // detected over the local file; empty for a remote one
        std::string seen;     // a remote file's cue bytes so far, for detection
        int index = -1;       // the engine's track index once it accepted the file
    };

    static bool isRemote(const std::string& uri) {
        return startsWithNoCase(uri, "http://") || startsWithNoCase(uri, "https://");
    }
    // The local file's bytes; nothing for a remote address or an unreadable file.
    static std::string localSubtitleBytes(const std::string& uri) {
        if (isRemote(uri)) return {};
        const std::string path = startsWithNoCase(uri, "file://") ? uri.substr(strlen("file://")) : uri;
        std::string bytes;
        if (FILE* f = fopen(path.c_str(), "rb")) {
            char chunk[65536];
            size_t n;
            while (bytes.size() < kMaxSubtitleFileBytes && (n = fread(chunk, 1, sizeof(chunk), f)) > 0) {
                bytes.append(chunk, n);
            }
            fclose(f);
        }
        return bytes;
    }
    Track& track(int position) { return mTracks[static_cast<size_t>(position)]; }

    void select(IVelmorPlayerBase* player, int position) {
        const int status = player->selectTrack(track(position).index, true, false);
        printf("\r\033[K[subtitle] showing track %d (status %d)\n", track(position).index, status);
        if (status == 0) mShown = position;
    }

    // The character set of a cue: the file's when the file was read here, else what the cue
    // bytes seen so far on that track say.
    std::string charsetOf(const CueEvent& cue) {
        if (cue.secondary) return qvplay::detectCharset(mSecondarySeen += cue.bytes);
        if (mShown < 0) return qvplay::detectCharset(cue.bytes);
        Track& shown = track(mShown);
        return shown.charset.empty() ? qvplay::detectCharset(shown.seen += cue.bytes) : shown.charset;
    }

    void show(const CueEvent& cue, HostWindow& window) {
        std::vector<std::string> lines;
        if (cue.hasText) lines = qvplay::shapeCue(qvplay::decodeToUtf8(cue.bytes, charsetOf(cue)));
        const std::string text = qvplay::joinLines(lines);
        if (cue.secondary) {
            printf("\r\033[K[cue2] %s\n", lines.empty() ? "(clear)" : text.c_str());
            return;
        }
        // Drawn before it is printed: whoever reads the line finds the caption on screen.
        window.showCaption(lines);
        mCueLine = text;
        if (lines.empty()) {
            printf("\r\033[K[cue clear]\n");
        } else {
            printf("\r\033[K[cue] %s\n", text.c_str());
        }
    }

    std::vector<Track> mTracks;  // in the order given
    int mShown = -1;             // position in mTracks of the track shown, -1 for none
    bool mViewerChose = false;   // the j key was used: no track is shown on the engine's behalf
    std::string mSecondarySeen;  // the secondary track's cue bytes so far, for detection
    std::string mCueLine;        // the primary cue on one line, for the progress line
};

#if defined(__SANITIZE_ADDRESS__)
#define QV_PLAY_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV_PLAY_LEAK_CHECKED 1
#endif
#endif

// Under the leak checker only: Mesa unloads its driver when the video sink's display connection
// closes, and what the driver keeps for the process then shows up as leaks of an unknown module.
// Kept mapped, its allocations stay attributable to the driver.
void keepGlDriverMapped() {
#ifdef QV_PLAY_LEAK_CHECKED
    if (!dlopen("/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) {
        dlopen("swrast_dri.so", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    }
#endif
}

}  // namespace

int main(int argc, char** argv) {
    bool headless = getenv("DISPLAY") == nullptr || getenv("DISPLAY")[0] == 0;
    std::string address;
    std::string agent;
    Subtitles subtitles;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--headless")) {
            headless = true;
        } else if (!strcmp(argv[i], "--agent") && i + 1 < argc) {
            agent = argv[++i];
        } else if (!strcmp(argv[i], "--sub") && i + 1 < argc) {
            subtitles.addFile(argv[++i]);
        } else if (!strcmp(argv[i], "-h") || !strcmp(argv[i], "--help")) {
            printf("usage: %s [--headless] [--sub SUBTITLE]... [FILE_OR_URL]\n"
                   "       %s [--headless] [--sub SUBTITLE]... --agent HOST:PORT CONTENT\n",
                   argv[0], argv[0]);
            return 0;
        } else {
            address = argv[i];
        }
    }
    if (address.empty() && !agent.empty()) {
        fprintf(stderr, "--agent needs a content path\n");
        return 1;
    }
    if (address.empty()) address = defaultClip();

    // Cue text is UTF-8: the locale's character type says so to Xlib's core font sets.
    if (!setlocale(LC_CTYPE, "") || strcmp(nl_langinfo(CODESET), "UTF-8") != 0) setlocale(LC_CTYPE, "C.UTF-8");

    struct sigaction interrupt = {};
    interrupt.sa_handler = &onInterrupt;
    sigaction(SIGINT, &interrupt, nullptr);
    sigaction(SIGTERM, &interrupt, nullptr);

    PlayerLibrary lib;
    if (!lib.load()) return 1;
    IVelmorPlayerBase* player = lib.create();
    if (!player) {
        fprintf(stderr, "CreatePlayer failed\n");
        return 1;
    }
    printf("Quorvantix API level %d, device identity %s\n", player->getApiLevel(), player->getDeviceGuid());
    printf("playing %s%s%s (%s)\n", address.c_str(), agent.empty() ? "" : " through the agent at ", agent.c_str(),
           headless ? "headless" : "window");

    State state;
    player->setListener(&onNotify, &state);
    player->setOsInfo("Linux", "1.0");
    HostWindow window;
    if (!headless && !window.open(960, 540)) {
        fprintf(stderr, "cannot open a window on the display; playing headless\n");
        headless = true;
    }
    if (!headless) {
        keepGlDriverMapped();
        player->createVideoSink(window.id(), 0, 960, 540, QV_VIDEO_SINK_OPENGL);
    }
    player->createAudioSink(headless ? QV_AUDIO_SINK_NULL : QV_AUDIO_SINK_DEFAULT);
    // HLS addresses play through the engine's own HLS stack (live handling on); local files and
    // FFmpeg-opened addresses are not live sessions.
    const bool hls = address.find(".m3u8") != std::string::npos;
    player->setLiveDisabled(hls ? 0 : 1);
    int status = player->setDataSource(address.c_str(), agent.empty() ? nullptr : agent.c_str());
    if (status == 0) status = player->prepareAsync();
    if (status != 0) {
        wchar_t text[1024] = {0};
        player->getErrorText(L"en", status, text);
        fprintf(stderr, "cannot open %s: status %d (%ls)\n", address.c_str(), status, text);
        lib.destroy(player, false);
        return 1;
    }

    {
        std::unique_lock<std::mutex> l(state.lock);
        state.cond.wait_for(l, std::chrono::seconds(30), [&] { return state.prepared || state.finished; });
    }
    int exitCode = 0;
    if (state.prepared && !state.finished) {
        if (!agent.empty()) {
            VelmorContentInfo info;
            if (player->getContentInfo(&info) == 0) {
                printf("agent item: kind %s, title \"%s\", %d s\n", info.kind.c_str(), info.title.c_str(), info.duration);
            }
        }
        // Subtitle files become tracks once the media's own tracks are known; the first accepted
        // one is shown from the start.
        subtitles.addAll(player, state);
        player->start();
        int duration = 0;
        player->getDuration(&duration);
        RawTerminal terminal;
        int volume = 100, brightness = 50, contrast = 50, saturation = 50, scaleMode = 0, audioTrack = 0;
        double rate = 10.0;
        bool quit = false;
        for (;;) {
            {
                std::unique_lock<std::mutex> l(state.lock);
                state.cond.wait_for(l, std::chrono::milliseconds(100),
                                    [&] { return state.finished || !state.cues.empty(); });
                if (state.finished && state.cues.empty()) break;
            }
            subtitles.update(player, state, window);
            int pos = 0;
            player->getCurrentPosition(&pos);
            auto nextKey = [&] {
                const int k = terminal.key();
                return k ? k : window.key();
            };
            for (int key = nextKey(); key; key = nextKey()) {
                switch (key) {
                    case ' ': player->isPlaying() ? player->pause() : player->start(); break;
                    case 'L': player->seekTo(std::max(0, pos - 10000)); break;
                    case 'R': player->seekTo(pos + 10000); break;
                    case 'e': player->seekToExact(pos + 10000); break;
                    case '[': rate = std::max(5.0, rate - 5.0); player->setPlayingRate(rate); break;
                    case ']': rate = std::min(20.0, rate + 5.0); player->setPlayingRate(rate); break;
                    case '1': case '2': case '3': case '4':
                        rate = 5.0 * (key - '0');
                        player->setPlayingRate(rate);
                        break;
                    case '+': case '=': volume = std::min(130, volume + 10); player->setVolume(volume, 0); break;
                    case '-': volume = std::max(0, volume - 10); player->setVolume(volume, 0); break;
                    case 'b': player->setBrightness(brightness = clampPercent(brightness - 5)); break;
                    case 'B': player->setBrightness(brightness = clampPercent(brightness + 5)); break;
                    case 'c': player->setContrast(contrast = clampPercent(contrast - 5)); break;
                    case 'C': player->setContrast(contrast = clampPercent(contrast + 5)); break;
                    case 's': player->setSaturation(saturation = clampPercent(saturation - 5)); break;
                    case 'S': player->setSaturation(saturation = clampPercent(saturation + 5)); break;
                    case 'm': player->setScaleMode(scaleMode = (scaleMode + 1) % 3); break;
                    case 'a': {
                        // Tries the next track index; non-audio tracks are refused by the engine.
                        for (int i = 1; i <= 8; ++i) {
                            if (player->selectTrack(audioTrack + i, true, false) == 0) {
                                audioTrack += i;
                                break;
                            }
                        }
                        break;
                    }
                    case 'j': subtitles.cycle(player, window); break;
                    case 't': printTracks(player); break;
                    case 'q': quit = true; break;
                    default: break;
                }
                printf("\r\033[K[keys] rate %.1fx volume %d brightness %d contrast %d saturation %d scale %d\n",
                       rate / 10.0, volume, brightness, contrast, saturation, scaleMode);
            }
            if (quit || gInterrupted) break;
            const int width = 30;
            const int filled = duration > 0 ? std::min(width, pos * width / duration) : 0;
            int buffered, variantBandwidth, videoWidth, videoHeight;
            {
                std::lock_guard<std::mutex> l(state.lock);
                buffered = state.bufferedPercent;
                variantBandwidth = state.variantBandwidth;
                videoWidth = state.videoWidth;
                videoHeight = state.videoHeight;
            }
            char bufferText[96] = "";
            if (buffered >= 0) snprintf(bufferText, sizeof(bufferText), " (buffered %d%%)", buffered);
            if (variantBandwidth > 0) {
                // The picture on screen, and the variant the session fetches now (the queue runs a few
                // segments ahead, so a switch shows up there first).
                const size_t used = strlen(bufferText);
                snprintf(bufferText + used, sizeof(bufferText) - used, " [picture %dx%d, fetching %d kbit/s]",
                         videoWidth, videoHeight, variantBandwidth / 1000);
            }
            printf("\r\033[K[%s%s] %s / %s %s%s%s", std::string(static_cast<size_t>(filled), '#').c_str(),
                   std::string(static_cast<size_t>(width - filled), '-').c_str(), fmtTime(pos).c_str(),
                   fmtTime(duration).c_str(), player->isPlaying() ? "playing" : "paused", bufferText,
                   subtitles.progressText().c_str());
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
    lib.destroy(player, false);
    // The library stays mapped until the process ends, as the players that load it keep it:
    // what it and the drivers it loaded keep for the process stays theirs (and attributable).
    return exitCode;
}
