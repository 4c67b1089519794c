// The demo host end to end: quorvantix-play runs as a child process on the test X server with
// a real clip and generated subtitle files; its terminal lines must show the cues in order and
// its caption window (found through the id it prints) must hold text pixels while a cue shows
// and be gone after the cue is cleared. The subtitle key is sent to its window as an X key event.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "support/Media.h"

// After gtest: Xlib's None macro would break its headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

extern char** environ;

namespace {

// Generous: the machine is small and shared, and the host plays its clip in real time.
constexpr int kWaitMs = 30000;

// quorvantix-play as a child: standard output split into lines (progress lines end in '\r'),
// standard input /dev/null, standard error (engine log, sanitizer reports) into a file whose end
// failure messages show. Killed when the test ends early.
class PlayHost {
public:
    explicit PlayHost(std::vector<std::string> args) {
        args.insert(args.begin(), std::string(QV_BINARY_DIR) + "/quorvantix-play");
        mLogPath = "/tmp/qv-play-host-" + std::to_string(getpid()) + ".log";
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, mLogPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&mPid, argv[0], &actions, nullptr, argv.data(), environ) != 0) mPid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        mOut = out[0];
    }
    ~PlayHost() {
        if (mPid > 0) kill(mPid, SIGKILL), waitpid(mPid, nullptr, 0);
        close(mOut);
        unlink(mLogPath.c_str());
    }

    // The next unread line for which `match` holds; "" after kWaitMs or at the end of the output.
    std::string waitLine(const std::function<bool(const std::string&)>& match) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        for (;;) {
            while (mNext < mLines.size()) {
                if (match(mLines[mNext++])) return mLines[mNext - 1];
            }
            if (std::chrono::steady_clock::now() > deadline || mEnded) return "";
            readMore(100);
        }
    }
    std::string waitPrefix(const std::string& prefix) {
        return waitLine([&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
    // The exit status, -1 when it did not exit within kWaitMs.
    int waitExit() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        int status = 0;
        while (waitpid(mPid, &status, WNOHANG) != mPid) {
            if (std::chrono::steady_clock::now() > deadline) return -1;
            if (!readMore(20) || mEnded) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        mPid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // Everything printed so far and the end of the log, for failure messages.
    std::string transcript() const {
        std::string all;
        for (const std::string& line : mLines) all += line + "\n";
        const std::vector<uint8_t> log = qvtest::readWholeFile(mLogPath);
        const size_t tail = std::min<size_t>(log.size(), 3000);
        return all + "--- log end:\n" + std::string(log.end() - static_cast<std::ptrdiff_t>(tail), log.end());
    }

private:
    // False when nothing came within timeoutMs; sets mEnded at the end of the output.
    bool readMore(int timeoutMs) {
        pollfd p{mOut, POLLIN, 0};
        char chunk[4096];
        const ssize_t n = poll(&p, 1, timeoutMs) > 0 ? read(mOut, chunk, sizeof(chunk)) : -1;
        if (n == 0) mEnded = true;
        for (ssize_t i = 0; i < n; ++i) {
            if (chunk[i] != '\n' && chunk[i] != '\r') {
                mPartial += chunk[i];
                continue;
            }
            // The host starts each line with "\r\033[K" to overwrite the progress line.
            if (mPartial.rfind("\033[K", 0) == 0) mPartial.erase(0, 3);
            if (!mPartial.empty()) mLines.push_back(mPartial);
            mPartial.clear();
        }
        return n > 0;
    }

    pid_t mPid = -1;
    int mOut = -1;
    std::string mLogPath, mPartial;
    std::vector<std::string> mLines;
    size_t mNext = 0;
    bool mEnded = false;  // the output pipe reached its end
};

// A file in the temporary directory, removed with the object.
struct TempFile {
    TempFile(const std::string& bytes, const char* suffix)
        : path("/tmp/qv-play-sub-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + suffix) {
        if (FILE* f = fopen(path.c_str(), "wb")) fwrite(bytes.data(), 1, bytes.size(), f), fclose(f);
    }
    ~TempFile() { unlink(path.c_str()); }
    std::string path;
    static inline int counter = 0;
};

// A SubRip file of (start s, end s, text) cues.
std::string subRip(const std::vector<std::tuple<double, double, std::string>>& cues) {
    auto time = [](double seconds) {
        const int ms = static_cast<int>(seconds * 1000 + 0.5);
        char buf[32];
        snprintf(buf, sizeof(buf), "00:%02d:%02d,%03d", ms / 60000, (ms / 1000) % 60, ms % 1000);
        return std::string(buf);
    };
    std::string out;
    int n = 0;
    for (const auto& [start, end, text] : cues) {
        out += std::to_string(++n) + "\n" + time(start) + " --> " + time(end) + "\n" + text + "\n\n";
    }
    return out;
}

bool isCue(const std::string& l) { return l.rfind("[cue] ", 0) == 0 || l == "[cue clear]"; }
bool isTextCue(const std::string& l) { return l.rfind("[cue] ", 0) == 0; }

int xErrors = 0;
int countXError(Display*, XErrorEvent* error) {
    ++xErrors;
    fprintf(stderr, "X error %d on request %d\n", error->error_code, error->request_code);
    return 0;
}

// What the test sees of the caption window.
struct CaptionView {
    bool viewable = false;
    int x = 0, y = 0, width = 0, height = 0, parentWidth = 0, parentHeight = 0;
    int whitePixels = 0;  // text
    int darkPixels = 0;   // the box around it
};

Window parentOf(Display* display, Window window) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (XQueryTree(display, window, &root, &parent, &children, &count) && children) XFree(children);
    return parent;
}

// The server is grabbed so the host cannot unmap or move the caption between reading its state
// and reading its pixels.
CaptionView look(Display* display, Window caption) {
    CaptionView view;
    XGrabServer(display);
    XWindowAttributes attrs{}, parentAttrs{};
    if (XGetWindowAttributes(display, caption, &attrs) &&
        XGetWindowAttributes(display, parentOf(display, caption), &parentAttrs)) {
        view = {attrs.map_state == IsViewable, attrs.x, attrs.y, attrs.width, attrs.height, parentAttrs.width,
                parentAttrs.height};
    }
    XImage* image = view.viewable ? XGetImage(display, caption, 0, 0, static_cast<unsigned>(attrs.width),
                                              static_cast<unsigned>(attrs.height), AllPlanes, ZPixmap)
                                  : nullptr;
    XUngrabServer(display);
    XSync(display, False);
    for (int y = 0; image && y < attrs.height; ++y) {
        for (int x = 0; x < attrs.width; ++x) {
            const unsigned long p = XGetPixel(image, x, y);
            const unsigned long r = (p >> 16) & 0xff, g = (p >> 8) & 0xff, b = p & 0xff;
            view.whitePixels += r > 200 && g > 200 && b > 200;
            view.darkPixels += r < 40 && g < 40 && b < 40;
        }
    }
    if (image) XDestroyImage(image);
    return view;
}

void pressKey(Display* display, Window window, KeySym sym) {
    XEvent event{};
    event.xkey = {KeyPress, 0, True, display, window, DefaultRootWindow(display), 0, 0, 0, 0, 0, 0,
                  0, XKeysymToKeycode(display, sym), True};
    XSendEvent(display, window, True, KeyPressMask, &event);
    XFlush(display);
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
        EXPECT_EQ(xErrors, 0);
    }
    // The caption window id the host printed, 0 when it printed none.
    static Window captionWindow(PlayHost& host) {
        const std::string line = host.waitPrefix("[caption] window 0x");
        return line.empty() ? 0 : strtoul(line.c_str() + strlen("[caption] window "), nullptr, 16);
    }
    Display* mDisplay = nullptr;
};

}  // namespace

// Four cues: one line; two lines (the window shrinks while it shows); Korean in an EUC-KR file
// with an entity; a line too long for the window. Each is printed and drawn (white text on the
// dark box, bottom centre, taller for two rows) and each clear removes the caption; the cues
// come in order and the host ends normally.
TEST_F(PlayHostTest, CuesArePrintedAndDrawnInOrder) {
    std::string longLine = "DELTA";
    for (int i = 0; i < 30; ++i) longLine += " word" + std::to_string(i);
    TempFile utf8(subRip({{0.5, 2.0, "ALPHA <i>first</i>"},
                          {3.0, 4.5, "BRAVO top\nsecond line"},
                          {5.2, 6.5, "찰리 &amp; 친구들, 안녕하세요 여러분"},
                          {7.2, 8.5, longLine}}),
                  ".txt");
    const std::vector<uint8_t> eucKr = qvtest::runCommand("iconv -f UTF-8 -t EUC-KR " + utf8.path);
    TempFile srt(std::string(eucKr.begin(), eucKr.end()), ".srt");
    PlayHost host({"--sub", srt.path, qvtest::mediaPath("demo.mp4")});
    const Window caption = captionWindow(host);
    ASSERT_NE(caption, 0u) << host.transcript();
    EXPECT_FALSE(look(mDisplay, caption).viewable) << "no caption before the first cue";

    const std::vector<std::string> expected = {"ALPHA first", "BRAVO top / second line",
                                               "찰리 & 친구들, 안녕하세요 여러분", longLine};
    int oneRowHeight = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        // The engine clears the screen when the track starts, before the first cue.
        ASSERT_EQ(host.waitLine(i == 0 ? isTextCue : isCue), "[cue] " + expected[i]) << host.transcript();
        // The host draws before it prints: the caption is on screen now.
        const CaptionView view = look(mDisplay, caption);
        EXPECT_TRUE(view.viewable) << expected[i];
        EXPECT_GT(view.whitePixels, 30) << expected[i];
        EXPECT_GT(view.darkPixels, view.whitePixels) << "text sits on a dark box";
        EXPECT_NEAR(view.x + view.width / 2, view.parentWidth / 2, 2) << "centred";
        EXPECT_GT(view.y, view.parentHeight / 2) << "in the lower half";
        EXPECT_LE(view.y + view.height, view.parentHeight);
        EXPECT_LE(view.width, view.parentWidth) << "long lines wrap";
        if (i == 0) oneRowHeight = view.height;
        if (i == 1 || i == 3) {
            EXPECT_GT(view.height, oneRowHeight * 3 / 2) << "several rows: " << expected[i];
        }
        if (i == 1) {
            // A smaller window: the caption follows to the new bottom centre.
            XResizeWindow(mDisplay, parentOf(mDisplay, caption), 640, 400);
            CaptionView moved;
            for (int tries = 0; tries < 100 && !(moved.y > 200 && moved.y + moved.height <= 400); ++tries) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                moved = look(mDisplay, caption);
            }
            EXPECT_LE(moved.y + moved.height, 400);
            EXPECT_GT(moved.y, 200);
            EXPECT_NEAR(moved.x + moved.width / 2, 320, 2);
        }
        ASSERT_EQ(host.waitLine(isCue), "[cue clear]") << host.transcript();
        const CaptionView cleared = look(mDisplay, caption);
        EXPECT_FALSE(cleared.viewable) << "caption gone after " << expected[i];
        EXPECT_EQ(cleared.whitePixels, 0);
    }
    EXPECT_FALSE(host.waitPrefix("playback complete").empty()) << host.transcript();
    EXPECT_EQ(host.waitExit(), 0) << host.transcript();
}

// Two subtitle files: the first is shown from the start; j switches to the second, then to
// none (no more cues), then back to the first; q ends the host.
TEST_F(PlayHostTest, SubtitleKeyCyclesTracksAndOff) {
    std::vector<std::tuple<double, double, std::string>> a, b;
    for (int s = 0; s < 10; ++s) {
        a.emplace_back(s + 0.3, s + 0.9, "ALPHA " + std::to_string(s));
        b.emplace_back(s + 0.3, s + 0.9, "BRAVO " + std::to_string(s));
    }
    TempFile first(subRip(a), ".srt"), second(subRip(b), ".srt");
    PlayHost host({"--sub", first.path, "--sub", second.path, qvtest::mediaPath("demo.mp4")});
    const Window caption = captionWindow(host);
    ASSERT_NE(caption, 0u) << host.transcript();
    const Window window = parentOf(mDisplay, caption);

    EXPECT_EQ(host.waitLine(isTextCue).rfind("[cue] ALPHA ", 0), 0u) << host.transcript();
    pressKey(mDisplay, window, XK_j);
    ASSERT_FALSE(host.waitPrefix("[subtitle] showing track").empty()) << host.transcript();
    EXPECT_EQ(host.waitLine(isTextCue).rfind("[cue] BRAVO ", 0), 0u) << host.transcript();

    pressKey(mDisplay, window, XK_j);
    ASSERT_FALSE(host.waitPrefix("[subtitle] off").empty()) << host.transcript();
    // A cue starts every second while a track is on: none may come in two seconds off.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_FALSE(look(mDisplay, caption).viewable);
    pressKey(mDisplay, window, XK_j);
    const std::string next = host.waitLine([](const std::string& l) {
        return isTextCue(l) || l.rfind("[subtitle] showing track", 0) == 0;
    });
    EXPECT_EQ(next.rfind("[subtitle] showing track", 0), 0u) << "a cue while off: " << host.transcript();
    EXPECT_EQ(host.waitLine(isTextCue).rfind("[cue] ALPHA ", 0), 0u) << host.transcript();

    pressKey(mDisplay, window, XK_q);
    EXPECT_EQ(host.waitExit(), 0) << host.transcript();
}

// Headless: a SAMI file's cues are printed (markup gone, <br> a line break, the &nbsp; cue a
// clear), no caption window is made, and a file the engine refuses is reported.
TEST_F(PlayHostTest, HeadlessPrintsSamiCues) {
    REQUIRE_MEDIA("short_3s.mp4");
    TempFile sami("<SAMI><BODY>\r\n<SYNC Start=300><P Class=KRCC><font color=\"yellow\">DELTA</font><br>echo\r\n"
                  "<SYNC Start=1300><P Class=KRCC>&nbsp;\r\n</BODY></SAMI>\r\n",
                  ".smi");
    TempFile junk("not a subtitle file\n", ".txt");
    PlayHost host({"--headless", "--sub", junk.path, "--sub", sami.path, qvtest::mediaPath("short_3s.mp4")});
    EXPECT_FALSE(host.waitPrefix("[subtitle] " + junk.path + " was not accepted").empty()) << host.transcript();
    EXPECT_EQ(host.waitLine(isTextCue), "[cue] DELTA / echo") << host.transcript();
    EXPECT_EQ(host.waitLine(isCue), "[cue clear]") << host.transcript();
    EXPECT_EQ(host.waitExit(), 0) << host.transcript();
    EXPECT_EQ(host.transcript().find("[caption]"), std::string::npos);
}
