// The demo host end to end: quorvantix-play runs as a child process on the test X server with
// a real clip and generated subtitle files; its terminal lines must show the cues in order and
// its caption window (found through the id it prints) must hold text pixels while a cue shows
// and be gone after the cue is cleared. The subtitle key is sent to its window as a real
// X key event.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/Media.h"

// After gtest: Xlib's None macro would break its headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Generous: the machine is small and shared, and the host plays a 10 s clip in real time.
constexpr int kStartMs = 30000;
constexpr int kCueMs = 15000;
constexpr int kExitMs = 30000;

// quorvantix-play as a child: standard output read line by line (progress lines end in '\r'),
// standard input from /dev/null, engine logs to a file. Killed when the test ends early.
class PlayHost {
public:
    explicit PlayHost(const std::vector<std::string>& args) {
        char logPattern[] = "/tmp/qv-play-host-XXXXXX";
        const int logFd = mkstemp(logPattern);
        mLogPath = logFd >= 0 ? logPattern : "";
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        if (logFd >= 0) posix_spawn_file_actions_adddup2(&actions, logFd, STDERR_FILENO);
        const std::string program = std::string(QV_BINARY_DIR) + "/quorvantix-play";
        std::vector<std::string> all = {program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&mPid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) mPid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (logFd >= 0) close(logFd);
        mOut = out[0];
    }
    ~PlayHost() {
        if (mPid > 0) {
            kill(mPid, SIGKILL);
            waitpid(mPid, nullptr, 0);
        }
        if (mOut >= 0) close(mOut);
        if (!mLogPath.empty()) unlink(mLogPath.c_str());
    }
    bool running() const { return mPid > 0; }

    // The next line (after those already returned) for which `match` holds, "" after timeoutMs
    // or at the end of the output. Lines passed over stay in lines().
    std::string waitLine(const std::function<bool(const std::string&)>& match, int timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            while (mNext < mLines.size()) {
                const std::string& line = mLines[mNext++];
                if (match(line)) return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0 || !readMore(static_cast<int>(left))) return "";
        }
    }
    std::string waitPrefix(const std::string& prefix, int timeoutMs) {
        return waitLine([&](const std::string& l) { return l.rfind(prefix, 0) == 0; }, timeoutMs);
    }
    // Every line read so far.
    std::string transcript() const {
        std::string all;
        for (const std::string& line : mLines) all += line + "\n";
        return all;
    }
    // The exit status once it exited within timeoutMs, else -1 (it is then killed).
    int waitExit(int timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (mPid > 0) {
            readMore(20);
            int status = 0;
            if (waitpid(mPid, &status, WNOHANG) == mPid) {
                mPid = -1;
                while (readMore(0)) {
                }
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (Clock::now() > deadline) break;
        }
        return -1;
    }

private:
    // Reads what is there (waiting up to timeoutMs) and splits it into lines; false at the end.
    bool readMore(int timeoutMs) {
        if (mOut < 0) return false;
        pollfd p{mOut, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        char chunk[4096];
        const ssize_t n = read(mOut, chunk, sizeof(chunk));
        if (n <= 0) return false;
        for (ssize_t i = 0; i < n; ++i) {
            const char c = chunk[i];
            if (c == '\n' || c == '\r') {
                // The host starts each line with "\r\033[K" to overwrite the progress line.
                if (mPartial.rfind("\033[K", 0) == 0) mPartial.erase(0, 3);
                if (!mPartial.empty()) mLines.push_back(mPartial);
                mPartial.clear();
            } else {
                mPartial += c;
            }
        }
        return true;
    }

    pid_t mPid = -1;
    int mOut = -1;
    std::string mLogPath;
    std::string mPartial;
    std::vector<std::string> mLines;
    size_t mNext = 0;
};

// A subtitle file in the temporary directory, removed with the object.
struct TempFile {
    explicit TempFile(const std::string& bytes, const char* suffix) {
        path = std::string("/tmp/qv-play-sub-") + std::to_string(getpid()) + "-" + std::to_string(++counter) + suffix;
        FILE* f = fopen(path.c_str(), "wb");
        if (f) {
            fwrite(bytes.data(), 1, bytes.size(), f);
            fclose(f);
        }
    }
    ~TempFile() { unlink(path.c_str()); }
    std::string path;
    static inline int counter = 0;
};

struct Cue {
    double start, end;
    std::string text;
};

std::string srtTime(double seconds) {
    const int ms = static_cast<int>(seconds * 1000 + 0.5);
    char buf[32];
    snprintf(buf, sizeof(buf), "%02d:%02d:%02d,%03d", ms / 3600000, (ms / 60000) % 60, (ms / 1000) % 60, ms % 1000);
    return buf;
}

std::string subRip(const std::vector<Cue>& cues) {
    std::string out;
    for (size_t i = 0; i < cues.size(); ++i) {
        out += std::to_string(i + 1) + "\n" + srtTime(cues[i].start) + " --> " + srtTime(cues[i].end) + "\n" +
               cues[i].text + "\n\n";
    }
    return out;
}

int xErrors = 0;
int countXError(Display*, XErrorEvent* error) {
    ++xErrors;
    fprintf(stderr, "X error %d on request %d\n", error->error_code, error->request_code);
    return 0;
}

// What the test sees of the caption window through its own X connection.
struct CaptionView {
    bool viewable = false;
    int x = 0, y = 0, width = 0, height = 0;
    int parentWidth = 0, parentHeight = 0;
    int whitePixels = 0;  // text
    int darkPixels = 0;   // the box around it
};

CaptionView lookGrabbed(Display* display, Window caption);

// The server is grabbed while looking, so the host cannot unmap or resize the caption between
// reading its state and reading its pixels.
CaptionView look(Display* display, Window caption) {
    XGrabServer(display);
    const CaptionView view = lookGrabbed(display, caption);
    XUngrabServer(display);
    XSync(display, False);
    return view;
}

CaptionView lookGrabbed(Display* display, Window caption) {
    CaptionView view;
    XWindowAttributes attrs{};
    if (!XGetWindowAttributes(display, caption, &attrs)) return view;
    view.viewable = attrs.map_state == IsViewable;
    view.x = attrs.x, view.y = attrs.y, view.width = attrs.width, view.height = attrs.height;
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (XQueryTree(display, caption, &root, &parent, &children, &count)) {
        if (children) XFree(children);
        XWindowAttributes parentAttrs{};
        if (XGetWindowAttributes(display, parent, &parentAttrs)) {
            view.parentWidth = parentAttrs.width;
            view.parentHeight = parentAttrs.height;
        }
    }
    if (!view.viewable) return view;
    XImage* image = XGetImage(display, caption, 0, 0, static_cast<unsigned>(attrs.width),
                              static_cast<unsigned>(attrs.height), AllPlanes, ZPixmap);
    if (!image) return view;
    for (int y = 0; y < attrs.height; ++y) {
        for (int x = 0; x < attrs.width; ++x) {
            const unsigned long p = XGetPixel(image, x, y);
            const int r = static_cast<int>((p >> 16) & 0xff), g = static_cast<int>((p >> 8) & 0xff),
                      b = static_cast<int>(p & 0xff);
            if (r > 200 && g > 200 && b > 200) ++view.whitePixels;
            if (r < 40 && g < 40 && b < 40) ++view.darkPixels;
        }
    }
    XDestroyImage(image);
    return view;
}

// Presses and releases a key in the window, as a person at the keyboard would.
void pressKey(Display* display, Window window, KeySym sym) {
    XEvent event{};
    event.xkey.type = KeyPress;
    event.xkey.display = display;
    event.xkey.window = window;
    event.xkey.root = DefaultRootWindow(display);
    event.xkey.same_screen = True;
    event.xkey.keycode = XKeysymToKeycode(display, sym);
    XSendEvent(display, window, True, KeyPressMask, &event);
    event.xkey.type = KeyRelease;
    XSendEvent(display, window, True, KeyReleaseMask, &event);
    XFlush(display);
}

Window parentOf(Display* display, Window window) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, window, &root, &parent, &children, &count)) return 0;
    if (children) XFree(children);
    return parent;
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }
bool isCue(const std::string& l) { return startsWith(l, "[cue] ") || startsWith(l, "[cue clear]"); }

// The first cue with text; the clears the engine sends when a track starts come before it.
std::string firstCue(PlayHost& host) {
    std::string line;
    do {
        line = host.waitLine(isCue, kCueMs);
    } while (line == "[cue clear]");
    return line;
}

class PlayHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!getenv("DISPLAY")) GTEST_SKIP() << "needs the test X server (scripts/test.sh)";
        REQUIRE_MEDIA("demo.mp4");
        mDisplay = XOpenDisplay(nullptr);
        ASSERT_NE(mDisplay, nullptr);
        XSetErrorHandler(&countXError);
        xErrors = 0;
    }
    void TearDown() override {
        if (mDisplay) XCloseDisplay(mDisplay);
    }
    // The caption window id the host printed, 0 when it printed none.
    Window captionWindow(PlayHost& host) {
        const std::string line = host.waitPrefix("[caption] window 0x", kStartMs);
        return line.empty() ? 0 : static_cast<Window>(strtoul(line.c_str() + strlen("[caption] window "), nullptr, 16));
    }
    Display* mDisplay = nullptr;
};

}  // namespace

// Four cues: one line; two lines (the window is resized while it shows); Korean text in an
// EUC-KR file with an entity; a line too long for the window. Each is printed and drawn (white
// text on the dark box, bottom centre, taller for two lines or a wrapped line) and each clear
// removes the caption; the cues come in order and the host ends normally.
TEST_F(PlayHostTest, CuesArePrintedAndDrawnInOrder) {
    const std::string korean = "찰리 &amp; 친구들, 안녕하세요 여러분";
    std::string longLine = "DELTA";
    for (int i = 0; i < 30; ++i) longLine += " word" + std::to_string(i);
    const std::vector<Cue> cues = {{0.5, 2.0, "ALPHA <i>first</i>"},
                                   {3.0, 4.5, "BRAVO top\nsecond line"},
                                   {5.2, 6.5, korean},
                                   {7.2, 8.5, longLine}};
    // The whole file in EUC-KR, as Korean subtitle files usually are.
    TempFile utf8(subRip(cues), ".utf8");
    const std::vector<uint8_t> encoded = qvtest::runCommand("iconv -f UTF-8 -t EUC-KR " + utf8.path);
    ASSERT_FALSE(encoded.empty());
    TempFile srt(std::string(encoded.begin(), encoded.end()), ".srt");

    PlayHost host({"--sub", srt.path, qvtest::mediaPath("demo.mp4")});
    ASSERT_TRUE(host.running());
    const Window caption = captionWindow(host);
    ASSERT_NE(caption, 0u) << host.transcript();
    EXPECT_FALSE(look(mDisplay, caption).viewable) << "no caption before the first cue";

    const std::vector<std::string> expected = {"ALPHA first", "BRAVO top / second line",
                                               "찰리 & 친구들, 안녕하세요 여러분", longLine};
    int oneLineHeight = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        const std::string shown = i == 0 ? firstCue(host) : host.waitLine(isCue, kCueMs);
        ASSERT_EQ(shown, "[cue] " + expected[i]) << host.transcript();
        // The host draws before it prints: the caption is on screen now.
        const CaptionView view = look(mDisplay, caption);
        EXPECT_TRUE(view.viewable) << expected[i];
        EXPECT_GT(view.whitePixels, 30) << expected[i];
        EXPECT_GT(view.darkPixels, view.whitePixels) << "text sits on a dark box";
        EXPECT_NEAR(view.x + view.width / 2, view.parentWidth / 2, 2) << "centred";
        EXPECT_GT(view.y, view.parentHeight / 2) << "in the lower half";
        EXPECT_LE(view.y + view.height, view.parentHeight);
        if (i == 0) oneLineHeight = view.height;
        if (i == 1) {
            EXPECT_GT(view.height, oneLineHeight * 3 / 2) << "two rows";
            // A smaller window: the caption follows to the new bottom centre.
            const Window window = parentOf(mDisplay, caption);
            XResizeWindow(mDisplay, window, 640, 400);
            XSync(mDisplay, False);
            CaptionView moved;
            for (int tries = 0; tries < 100; ++tries) {
                moved = look(mDisplay, caption);
                if (moved.parentHeight == 400 && moved.y + moved.height <= 400 && moved.y > 200) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            EXPECT_EQ(moved.parentWidth, 640);
            EXPECT_LE(moved.y + moved.height, 400);
            EXPECT_GT(moved.y, 200);
            EXPECT_NEAR(moved.x + moved.width / 2, 320, 2);
        }
        if (i == 3) {
            EXPECT_LE(view.width, view.parentWidth) << "wrapped to the window";
            EXPECT_GT(view.height, oneLineHeight * 3 / 2) << "in more than one row";
        }

        ASSERT_EQ(host.waitLine(isCue, kCueMs), "[cue clear]") << host.transcript();
        const CaptionView cleared = look(mDisplay, caption);
        EXPECT_FALSE(cleared.viewable) << "caption gone after " << expected[i];
        EXPECT_EQ(cleared.whitePixels, 0);
    }
    EXPECT_FALSE(host.waitPrefix("playback complete", kExitMs).empty()) << host.transcript();
    EXPECT_EQ(host.waitExit(kExitMs), 0) << host.transcript();
    EXPECT_EQ(xErrors, 0);
}

// Two subtitle files: the first is shown from the start; j switches to the second, then to
// none (no more cues), then back to the first.
TEST_F(PlayHostTest, SubtitleKeyCyclesTracksAndOff) {
    std::vector<Cue> a, b;
    for (int s = 0; s < 10; ++s) {
        a.push_back({s + 0.3, s + 0.9, "ALPHA " + std::to_string(s)});
        b.push_back({s + 0.3, s + 0.9, "BRAVO " + std::to_string(s)});
    }
    TempFile first(subRip(a), ".srt"), second(subRip(b), ".srt");
    PlayHost host({"--sub", first.path, "--sub", second.path, qvtest::mediaPath("demo.mp4")});
    const Window caption = captionWindow(host);
    ASSERT_NE(caption, 0u) << host.transcript();
    const Window window = parentOf(mDisplay, caption);
    ASSERT_NE(window, 0u);
    auto nextCue = [&](int timeoutMs) {
        return host.waitLine([](const std::string& l) { return startsWith(l, "[cue] "); }, timeoutMs);
    };

    ASSERT_TRUE(startsWith(firstCue(host), "[cue] ALPHA ")) << host.transcript();
    pressKey(mDisplay, window, XK_j);
    ASSERT_FALSE(host.waitPrefix("[subtitle] showing track", kCueMs).empty()) << host.transcript();
    ASSERT_TRUE(startsWith(nextCue(kCueMs), "[cue] BRAVO ")) << host.transcript();

    pressKey(mDisplay, window, XK_j);
    ASSERT_FALSE(host.waitPrefix("[subtitle] off", kCueMs).empty()) << host.transcript();
    // Cues come every second while a track is on: two seconds without one means off.
    EXPECT_EQ(nextCue(2000), "") << host.transcript();
    EXPECT_FALSE(look(mDisplay, caption).viewable);

    pressKey(mDisplay, window, XK_j);
    ASSERT_FALSE(host.waitPrefix("[subtitle] showing track", kCueMs).empty()) << host.transcript();
    ASSERT_TRUE(startsWith(nextCue(kCueMs), "[cue] ALPHA ")) << host.transcript();

    pressKey(mDisplay, window, XK_q);
    EXPECT_EQ(host.waitExit(kExitMs), 0) << host.transcript();
    EXPECT_EQ(xErrors, 0);
}

// Without a display window: a SAMI file's cues are printed (markup gone, <br> a line break, the
// &nbsp; cue a clear), no caption window is made, and a file the engine refuses is reported.
TEST_F(PlayHostTest, HeadlessPrintsSamiCues) {
    REQUIRE_MEDIA("short_3s.mp4");
    TempFile sami("<SAMI><BODY>\r\n<SYNC Start=300><P Class=KRCC><font color=\"yellow\">DELTA</font><br>echo\r\n"
                  "<SYNC Start=1300><P Class=KRCC>&nbsp;\r\n</BODY></SAMI>\r\n",
                  ".smi");
    TempFile junk("not a subtitle file\n", ".txt");
    PlayHost host({"--headless", "--sub", junk.path, "--sub", sami.path, qvtest::mediaPath("short_3s.mp4")});
    EXPECT_FALSE(host.waitPrefix("[subtitle] " + junk.path + " was not accepted", kStartMs).empty())
        << host.transcript();
    EXPECT_EQ(firstCue(host), "[cue] DELTA / echo") << host.transcript();
    EXPECT_EQ(host.waitLine(isCue, kCueMs), "[cue clear]") << host.transcript();
    EXPECT_EQ(host.waitExit(kExitMs), 0) << host.transcript();
    EXPECT_EQ(host.transcript().find("[caption]"), std::string::npos);
}
