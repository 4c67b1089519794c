// Both video sinks draw known YUV frames into real windows of the test X server (Mesa's software
// OpenGL for the GL sink); the pictures are read back from the server.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "support/Host.h"

#include <atomic>
#include <cmath>
#include <optional>
#include <utility>

#include "VideoTestUtil.h"
#include "platform/linux/SinkFactory.h"
#include "platform/linux/VideoSinkOpenGL.h"
#include "platform/linux/VideoSinkX11.h"
#include "quorvantix/quorvantix.h"

using namespace velmor;
using namespace velmor::test;

namespace {

void* const gKeepDriver = qvtest::keepMesaDriverLoaded();

constexpr Yuv kColour{150, 100, 180};
constexpr Yuv kRed{81, 90, 240};
constexpr Yuv kBlue{41, 240, 110};

// What the shader makes of a YUV triple with the picture controls b, s, c (0..100).
Rgb shaderColour(Yuv in, int b = 50, int s = 50, int c = 50) {
    double y = in.y / 255.0, u = in.u / 255.0 - 0.5, v = in.v / 255.0 - 0.5;
    double rgb[3] = {y + 1.5958 * v, y - 0.39173 * u - 0.81290 * v, y + 2.017 * u};
    double lum = 0;
    const double coeff[3] = {0.2125, 0.7154, 0.0721};
    for (int i = 0; i < 3; ++i) {
        rgb[i] *= b / 50.0;
        lum += rgb[i] * coeff[i];
    }
    int out[3];
    for (int i = 0; i < 3; ++i) {
        double sat = lum + (rgb[i] - lum) * (s / 50.0);
        double con = 0.5 + (sat - 0.5) * (c / 50.0);
        out[i] = static_cast<int>(std::lround(std::clamp(con, 0.0, 1.0) * 255.0));
    }
    return {out[0], out[1], out[2]};
}

// BT.601 limited range to full-range RGB (the software sink's plain conversion).
Rgb bt601(Yuv in) {
    double y = 1.164 * (in.y - 16), u = in.u - 128.0, v = in.v - 128.0;
    auto clip = [](double x) { return static_cast<int>(std::lround(std::clamp(x, 0.0, 255.0))); };
    return {clip(y + 1.596 * v), clip(y - 0.392 * u - 0.813 * v), clip(y + 2.017 * u)};
}

bool near(const Rgb& a, const Rgb& b, int tol) {
    return std::abs(a.r - b.r) <= tol && std::abs(a.g - b.g) <= tol && std::abs(a.b - b.b) <= tol;
}

std::string str(const Rgb& c) {
    return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

Rgb at(const std::vector<Rgb>& px, int w, int x, int y) { return px[static_cast<size_t>(y) * w + x]; }

int gRenderCalls = 0;  // render() calls made by renderAndGrab

// Renders frame until the window's centre pixel is near `want` (a loaded machine may lose a
// window's first frame; a player renders the next one anyway); returns the pixels.
std::vector<Rgb> renderAndGrab(PlayerBase::VideoSink* sink, TestWindow& win, const Frame& frame,
                               Rgb want, int tol, int probeX = -1, int probeY = -1) {
    int x = probeX < 0 ? win.width() / 2 : probeX, y = probeY < 0 ? win.height() / 2 : probeY;
    std::vector<Rgb> px;
    for (int attempt = 0; attempt < 3 && (px.empty() || !near(at(px, win.width(), x, y), want, tol)); ++attempt) {
        sink->render(frame.picture());
        ++gRenderCalls;
        px = win.grabUntil([&](const std::vector<Rgb>& p) { return near(at(p, win.width(), x, y), want, tol); });
    }
    return px;
}

// Renders and returns the lit box (x0, y0, x1, y1) once it is stable (two equal grabs).
std::vector<int> renderBox(PlayerBase::VideoSink* sink, TestWindow& win, const Frame& frame) {
    sink->render(frame.picture());
    std::vector<int> last{-2, -2, -2, -2};
    for (int i = 0; i < 20; ++i) {
        usleep(50 * 1000);
        Box b = litBox(win.grab(), win.width(), win.height());
        std::vector<int> now{b.x0, b.y0, b.x1, b.y1};
        if (std::exchange(last, now) == now) break;
    }
    return last;
}

class VideoSinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        Display* d = XOpenDisplay(nullptr);
        ASSERT_NE(nullptr, d) << "no X server: run through scripts/test.sh (source scripts/services.sh)";
        XCloseDisplay(d);
    }
};

void countRender(void* cookie, int event) {
    if (event == 0) ++*static_cast<std::atomic<int>*>(cookie);
}

}  // namespace

// Decoders hand out pictures whose rows are padded past odd widths (854, 853, 642...). Four
// horizontal bands with a different colour in each half: every band must come out in its own
// colours in both halves, top to bottom, on both sinks (a sink that derives row and plane
// positions from the width shears the picture and shifts the colours).
TEST_F(VideoSinkTest, OddWidthsAndPaddedRowsDrawInPlace) {
    const Yuv palette[3] = {kRed, kBlue, kColour};
    auto colourAt = [&](int w, int h, int x, int y) { return palette[(y * 4 / h + (x * 2 >= w ? 1 : 0)) % 3]; };
    TestWindow win(320, 240);
    ASSERT_TRUE(win.ok());
    for (int kind : {QV_VIDEO_SINK_OPENGL, QV_VIDEO_SINK_SOFTWARE}) {
        Ref<PlayerBase::VideoSink> sink = CreatePlatformVideoSink(win.id(), kind, 0, 0);
        auto expected = [&](Yuv c) { return kind == QV_VIDEO_SINK_OPENGL ? shaderColour(c) : bt601(c); };
        for (auto [w, h] : {std::pair{854, 480}, std::pair{853, 480}, std::pair{642, 362}}) {
            SCOPED_TRACE("sink " + std::to_string(kind) + " picture " + std::to_string(w) + "x" + std::to_string(h));
            ASSERT_EQ(OK, sink->init("video/avc", w, h, w, h, 0, 0));
            sink->setScaleMode(1);
            Frame frame = makeFrame(w, h, [&](int x, int y) { return colourAt(w, h, x, y); });
            // Probe the last band's right half: it is the one a wrong stride or plane offset ruins.
            auto px = renderAndGrab(sink.get(), win, frame, expected(colourAt(w, h, w - 1, h - 1)), 6, 240, 210);
            for (int band = 0; band < 4; ++band) {
                int wy = band * 60 + 30;
                for (int wx : {40, 120, 200, 280}) {
                    Yuv want = colourAt(320, 240, wx, wy);
                    EXPECT_TRUE(near(at(px, 320, wx, wy), expected(want), 6))
                        << "at " << wx << "," << wy << " got " << str(at(px, 320, wx, wy)) << " want "
                        << str(expected(want));
                }
            }
        }
    }
}

TEST_F(VideoSinkTest, OpenGLColoursAndPictureControls) {
    TestWindow win(320, 240);
    ASSERT_TRUE(win.ok());
    Ref<PlayerBase::VideoSink> sink = CreatePlatformVideoSink(win.id(), QV_VIDEO_SINK_OPENGL, 0, 0);
    ASSERT_NE(nullptr, dynamic_cast<VideoSinkOpenGL*>(sink.get()));
    std::atomic<int> rendered{0};
    sink->setRenderCallback(&countRender, &rendered);
    auto frame = solidFrame(160, 120, kColour);
    sink->render(frame.picture());  // before init: nothing happens
    EXPECT_EQ(0, rendered.load());

    ASSERT_EQ(OK, sink->init("video/avc", 160, 120, 160, 120, 0, 0));
    sink->setScaleMode(1);
    const int callsBefore = gRenderCalls;
    struct Case {
        int b, s, c;
    } cases[] = {{50, 50, 50}, {0, 50, 50}, {50, 0, 50}, {100, 50, 50}, {50, 50, 0}, {30, 70, 60}};
    for (const Case& k : cases) {
        sink->setBrightness(k.b);
        sink->setSaturation(k.s);
        sink->setContrast(k.c);
        Rgb want = shaderColour(kColour, k.b, k.s, k.c);
        auto px = renderAndGrab(sink.get(), win, frame, want, 3);
        Rgb got = at(px, 320, 160, 120);
        EXPECT_TRUE(near(got, want, 3)) << "b=" << k.b << " s=" << k.s << " c=" << k.c << " got " << str(got)
                                        << " want " << str(want);
        EXPECT_TRUE(k.b != 0 || isBlack(got, 1)) << "brightness 0 is black";
        EXPECT_TRUE(k.s != 0 || (std::abs(got.r - got.g) <= 2 && std::abs(got.g - got.b) <= 2)) << "saturation 0 is grey";
        // Stretched over the whole window: the corners carry the picture too.
        EXPECT_TRUE(near(at(px, 320, 1, 1), got, 3));
        EXPECT_TRUE(near(at(px, 320, 318, 238), got, 3));
    }
    EXPECT_EQ(gRenderCalls - callsBefore, rendered.load()) << "one callback per picture shown";
}

// Where each sink puts a 160x90 picture in a 400x300 window, scale mode by scale mode.
TEST_F(VideoSinkTest, PlacementOfEachScaleMode) {
    struct Kind {
        int sink;
        bool shm;
        std::vector<int> withMargins;  // mode 0 with margins 20 (bottom), 40 (right)
        int redX, blueX;   // mode 2 (a red left half, a blue right half) at y = 150
        Rgb (*colour)(Yuv);
    } kinds[] = {{QV_VIDEO_SINK_OPENGL, true, {0, 40, 359, 239}, 250, 285, [](Yuv c) { return shaderColour(c); }},
                 {QV_VIDEO_SINK_SOFTWARE, true, {0, 39, 359, 240}, 185, 215, bt601},
                 {QV_VIDEO_SINK_SOFTWARE, false, {0, 39, 359, 240}, 185, 215, bt601}};
    for (const Kind& k : kinds) {
        SCOPED_TRACE(std::to_string(k.sink) + (k.shm ? " shm" : " no shm"));
        TestWindow win(400, 300);
        ASSERT_TRUE(win.ok());
        Ref<PlayerBase::VideoSink> sink;
        if (k.sink == QV_VIDEO_SINK_OPENGL) sink = new VideoSinkOpenGL(win.id());
        else sink = new VideoSinkX11(win.id(), 400, 300, k.shm);
        ASSERT_EQ(OK, sink->init("video/avc", 160, 90, 160, 90, 0, 0));
        auto frame = solidFrame(160, 90, kColour);
        // Mode 0, the picture's 16:9 in 400x300: 400 x 224 centred, y = 38.
        EXPECT_EQ(renderBox(sink.get(), win, frame), (std::vector<int>{0, 38, 399, 261})) << "mode 0";
        // Margins: usable 360x280, 360 x about 200, centred in it.
        sink->setMargins(20, 40);
        EXPECT_EQ(renderBox(sink.get(), win, frame), k.withMargins) << "mode 0 with margins";
        sink->setScaleMode(1);
        EXPECT_EQ(renderBox(sink.get(), win, frame), (std::vector<int>{0, 0, 359, 279})) << "mode 1 with margins";
        // Back to mode 0 (mode 1 cleared the aspect ratio: the picture's own), then 1:1.
        sink->setMargins(0, 0);
        sink->setScaleMode(0);
        EXPECT_EQ(renderBox(sink.get(), win, frame), (std::vector<int>{0, 38, 399, 261})) << "the picture's own aspect";
        sink->setAspectRatio(1, 1);
        EXPECT_EQ(renderBox(sink.get(), win, frame), (std::vector<int>{50, 0, 349, 299})) << "mode 0 at 1:1";
        // Mode 2 fills the window's height; the OpenGL sink anchors the picture at the lower-left
        // corner, the software sink crops the sides and keeps the red/blue edge centred.
        sink->setScaleMode(2);
        auto split = makeFrame(160, 90, [](int x, int) { return x < 80 ? kRed : kBlue; });
        auto px = renderAndGrab(sink.get(), win, split, k.colour(kBlue), 4, 300, 150);
        EXPECT_TRUE(near(at(px, 400, k.redX, 150), k.colour(kRed), 4)) << str(at(px, 400, k.redX, 150));
        EXPECT_TRUE(near(at(px, 400, k.blueX, 150), k.colour(kBlue), 4)) << str(at(px, 400, k.blueX, 150));
    }
}

class X11SinkTest : public VideoSinkTest, public ::testing::WithParamInterface<bool> {};

TEST_P(X11SinkTest, ColoursAndPictureControls) {
    const bool shm = GetParam();
    TestWindow win(320, 240);
    ASSERT_TRUE(win.ok());
    LogCapture logs;
    Ref<VideoSinkX11> sink = new VideoSinkX11(win.id(), 0, 0, shm);
    std::atomic<int> rendered{0};
    sink->setRenderCallback(&countRender, &rendered);
    ASSERT_EQ(OK, sink->init("video/avc", 160, 120, 160, 120, 0, 0));
    EXPECT_TRUE(logs.contains("VideoSinkDirectDraw init OK(160x120)"));
    EXPECT_EQ(shm, sink->usingSharedMemory());
    EXPECT_EQ(32, sink->bitsPerPixel());
    sink->setScaleMode(1);
    auto frame = solidFrame(160, 120, kColour);
    const int callsBefore = gRenderCalls;
    Rgb plain = bt601(kColour);
    auto px = renderAndGrab(sink.get(), win, frame, plain, 3);
    for (auto [x, y] : {std::pair{160, 120}, std::pair{0, 0}, std::pair{319, 239}})
        EXPECT_TRUE(near(at(px, 320, x, y), plain, 3)) << x << "," << y << ": " << str(at(px, 320, x, y));

    sink->setBrightness(0);
    px = renderAndGrab(sink.get(), win, frame, {0, 0, 0}, 3);
    EXPECT_TRUE(isBlack(at(px, 320, 160, 120), 3)) << "brightness 0: " << str(at(px, 320, 160, 120));

    sink->setBrightness(50);
    sink->setSaturation(0);
    sink->render(frame.picture());
    px = win.grabUntil([](const std::vector<Rgb>& p) {
        Rgb c = at(p, 320, 160, 120);
        return std::abs(c.r - c.g) <= 2 && std::abs(c.g - c.b) <= 2;
    });
    Rgb grey = at(px, 320, 160, 120);
    const int luma = static_cast<int>(std::lround(1.164 * (kColour.y - 16)));
    EXPECT_TRUE(near(grey, {luma, luma, luma}, 4)) << "saturation 0: " << str(grey);

    // Lower contrast moves the picture towards mid-grey: 0.6 x plain + 0.4 x 127.5.
    sink->setSaturation(50);
    sink->setContrast(30);
    auto towardsGrey = [](int v) { return static_cast<int>(std::lround(0.6 * v + 51.0)); };
    Rgb flat{towardsGrey(plain.r), towardsGrey(plain.g), towardsGrey(plain.b)};
    px = renderAndGrab(sink.get(), win, frame, flat, 5);
    EXPECT_TRUE(near(at(px, 320, 160, 120), flat, 5)) << "contrast 30: " << str(at(px, 320, 160, 120));
    EXPECT_EQ(gRenderCalls - callsBefore + 1, rendered.load()) << "one callback per picture shown";
}

INSTANTIATE_TEST_SUITE_P(SharedMemory, X11SinkTest, ::testing::Values(true, false));

TEST_F(VideoSinkTest, X11SixteenBitWindow) {
    TestWindow win(200, 150, 1);
    ASSERT_TRUE(win.ok());
    if (win.depth() != 16) GTEST_SKIP() << "the X server has no 16-bit screen";
    Ref<VideoSinkX11> sink = new VideoSinkX11(win.id(), 0, 0);
    ASSERT_EQ(OK, sink->init("video/avc", 64, 48, 64, 48, 0, 0));
    EXPECT_EQ(16, sink->bitsPerPixel());
    sink->setScaleMode(1);
    auto frame = solidFrame(64, 48, kColour);
    Rgb want = bt601(kColour);
    auto px = renderAndGrab(sink.get(), win, frame, want, 10);
    EXPECT_TRUE(near(at(px, 200, 100, 75), want, 10)) << str(at(px, 200, 100, 75)) << " want " << str(want);
}

// Both sinks: no display, a window that does not exist, a picture too large to draw, and a
// window that disappears under an initialised sink (frames are dropped, nothing ends).
TEST_F(VideoSinkTest, BadInput) {
    auto frame = solidFrame(64, 64, kColour);
    for (int kind : {QV_VIDEO_SINK_OPENGL, QV_VIDEO_SINK_SOFTWARE}) {
        SCOPED_TRACE(kind);
        const bool gl = kind == QV_VIDEO_SINK_OPENGL;
        for (bool display : {false, true}) {  // no display at all; then a window id that does not exist
            LogCapture logs;
            std::optional<NoDisplay> none;
            if (!display) none.emplace();
            Ref<PlayerBase::VideoSink> sink = CreatePlatformVideoSink(display ? 0x7ffffff0 : 0x1234, kind, 64, 64);
            EXPECT_EQ(NO_INIT, sink->init("video/avc", 64, 64, 64, 64, 0, 0));
            EXPECT_TRUE(gl || logs.contains(display ? " SetCooperativeLevel Fail" : "DirectDrawCreateEx Fail"));
            sink->render(frame.picture());
        }
        TestWindow win(128, 96);
        ASSERT_TRUE(win.ok());
        Ref<PlayerBase::VideoSink> sink = CreatePlatformVideoSink(win.id(), kind, 0, 0);
        if (gl) {
            // Wider or taller than any driver's largest texture: the sink's OpenGL failure.
            EXPECT_EQ(static_cast<status_t>(0x80000001), sink->init("video/avc", 64, 64, 100000, 64, 0, 0));
            EXPECT_EQ(static_cast<status_t>(0x80000001), sink->init("video/avc", 64, 64, 64, 100000, 0, 0));
        } else {
            // Beyond the largest picture the software sink scales from (8192 x 4352).
            EXPECT_EQ(BAD_VALUE, sink->init("video/avc", 8192, 8184, 8192, 8184, 0, 0));
        }
        ASSERT_EQ(OK, sink->init("video/avc", 64, 64, 64, 64, 0, 0));
        sink->render(frame.picture());
        win.destroy();
        sink->render(frame.picture());
        // A second init (new format) after the window went: never a crash.
        status_t again = sink->init("video/avc", 32, 32, 32, 32, 0, 0);
        EXPECT_TRUE(gl || again == OK) << "the software sink reuses its display objects";
        sink->render(solidFrame(32, 32, kColour).picture());
        EXPECT_FALSE(sink->setViewOffset(1, 1));
        EXPECT_FALSE(sink->captureSnapshot(L"/tmp/x.bmp"));
    }
}
