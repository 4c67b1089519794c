// Helpers for the video sink tests: a real X11 window under the test X server, pixel read-back,
// YUV 4:2:0 frame building and log capture.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/PlayerBase.h"
#include "support/LogCapture.h"
#include "utils/Log.h"

namespace velmor::test {

struct Rgb {
    int r, g, b;
};

struct Yuv {
    uint8_t y, u, v;
};

// A mapped top-level window on its own display connection.
class TestWindow {
public:
    TestWindow(int width, int height, int screen = -1) : mWidth(width), mHeight(height) {
        mDisplay = XOpenDisplay(nullptr);
        if (mDisplay == nullptr) return;
        if (screen < 0 || screen >= ScreenCount(mDisplay)) screen = DefaultScreen(mDisplay);
        XSetWindowAttributes attrs{};
        attrs.background_pixel = BlackPixel(mDisplay, screen);
        attrs.border_pixel = 0;
        attrs.colormap = DefaultColormap(mDisplay, screen);
        attrs.event_mask = StructureNotifyMask;
        mWindow = XCreateWindow(mDisplay, RootWindow(mDisplay, screen), 0, 0, static_cast<unsigned>(width),
                                static_cast<unsigned>(height), 0, DefaultDepth(mDisplay, screen), InputOutput,
                                DefaultVisual(mDisplay, screen), CWBackPixel | CWBorderPixel | CWColormap | CWEventMask,
                                &attrs);
        XMapWindow(mDisplay, mWindow);
        XEvent ev;
        do {
            XWindowEvent(mDisplay, mWindow, StructureNotifyMask, &ev);
        } while (ev.type != MapNotify);
        XSync(mDisplay, False);
    }
    ~TestWindow() {
        if (mDisplay != nullptr) {
            if (mWindow) XDestroyWindow(mDisplay, mWindow);
            XCloseDisplay(mDisplay);
        }
    }
    bool ok() const { return mDisplay != nullptr && mWindow != 0; }
    unsigned long id() const { return mWindow; }
    int width() const { return mWidth; }
    int height() const { return mHeight; }
    int depth() const {
        XWindowAttributes a;
        XGetWindowAttributes(mDisplay, mWindow, &a);
        return a.depth;
    }
    void destroy() {
        XDestroyWindow(mDisplay, mWindow);
        XSync(mDisplay, False);
        mWindow = 0;
    }

    // The window's pixels, 8 bits per channel.
    std::vector<Rgb> grab() {
        std::vector<Rgb> out;
        XSync(mDisplay, False);
        XImage* img = XGetImage(mDisplay, mWindow, 0, 0, static_cast<unsigned>(mWidth), static_cast<unsigned>(mHeight),
                                AllPlanes, ZPixmap);
        if (img == nullptr) return out;
        out.resize(static_cast<size_t>(mWidth) * mHeight);
        for (int y = 0; y < mHeight; ++y) {
            for (int x = 0; x < mWidth; ++x) {
                unsigned long p = XGetPixel(img, x, y);
                out[static_cast<size_t>(y) * mWidth + x] = {channel(p, img->red_mask), channel(p, img->green_mask),
                                                            channel(p, img->blue_mask)};
            }
        }
        XDestroyImage(img);
        return out;
    }

    // Grabs until pred holds (the server may still be copying the last frame) or 2 s pass.
    std::vector<Rgb> grabUntil(const std::function<bool(const std::vector<Rgb>&)>& pred) {
        std::vector<Rgb> px;
        for (int i = 0; i < 40; ++i) {
            px = grab();
            if (!px.empty() && pred(px)) break;
            usleep(50 * 1000);
        }
        return px;
    }

private:
    static int channel(unsigned long pixel, unsigned long mask) {
        if (mask == 0) return 0;
        int shift = 0;
        while (!((mask >> shift) & 1)) shift++;
        unsigned long max = mask >> shift;
        return static_cast<int>(((pixel & mask) >> shift) * 255 / max);
    }

    Display* mDisplay = nullptr;
    Window mWindow = 0;
    int mWidth, mHeight;
};

inline bool isBlack(const Rgb& c, int tol = 8) { return c.r <= tol && c.g <= tol && c.b <= tol; }

// Bounding box of the pixels that are not black: {x0, y0, x1, y1} inclusive, or all -1.
struct Box {
    int x0, y0, x1, y1;
};
inline Box litBox(const std::vector<Rgb>& px, int w, int h) {
    Box b{-1, -1, -1, -1};
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (isBlack(px[static_cast<size_t>(y) * w + x])) continue;
            if (b.x0 < 0 || x < b.x0) b.x0 = x;
            if (b.y0 < 0 || y < b.y0) b.y0 = y;
            if (x > b.x1) b.x1 = x;
            if (y > b.y1) b.y1 = y;
        }
    }
    return b;
}

// A planar YUV 4:2:0 picture of w x h whose colour is given per pixel (chroma from the top-left
// pixel of each 2x2 block). Rows are padded the way decoders pad them (stride rounded up to 32
// plus 32 bytes of garbage), so a sink that assumes tight rows draws it wrong.
struct Frame {
    int width, height;
    int strides[3];
    std::vector<uint8_t> bytes;
    size_t offsets[3];
    velmor::PlayerBase::VideoSink::Picture picture() const {
        return {{bytes.data() + offsets[0], bytes.data() + offsets[1], bytes.data() + offsets[2]},
                {strides[0], strides[1], strides[2]},
                width,
                height};
    }
};

inline Frame makeFrame(int w, int h, const std::function<Yuv(int, int)>& at) {
    Frame f{w, h, {(w + 31) / 32 * 32 + 32, 0, 0}, {}, {}};
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    f.strides[1] = f.strides[2] = (cw + 31) / 32 * 32 + 32;
    f.offsets[0] = 0;
    f.offsets[1] = static_cast<size_t>(f.strides[0]) * h;
    f.offsets[2] = f.offsets[1] + static_cast<size_t>(f.strides[1]) * ch;
    f.bytes.assign(f.offsets[2] + static_cast<size_t>(f.strides[2]) * ch, 0xA5);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            Yuv c = at(x, y);
            f.bytes[static_cast<size_t>(y) * f.strides[0] + x] = c.y;
            if (!(x & 1) && !(y & 1)) {
                f.bytes[f.offsets[1] + static_cast<size_t>(y / 2) * f.strides[1] + x / 2] = c.u;
                f.bytes[f.offsets[2] + static_cast<size_t>(y / 2) * f.strides[2] + x / 2] = c.v;
            }
        }
    }
    return f;
}

inline Frame solidFrame(int w, int h, Yuv c) {
    return makeFrame(w, h, [c](int, int) { return c; });
}

// Points DISPLAY at a server that does not exist while it lives.
class NoDisplay {
public:
    NoDisplay() {
        const char* d = getenv("DISPLAY");
        if (d) mSaved = d;
        mHad = d != nullptr;
        setenv("DISPLAY", ":4711", 1);
    }
    ~NoDisplay() {
        if (mHad) setenv("DISPLAY", mSaved.c_str(), 1);
        else unsetenv("DISPLAY");
    }

private:
    std::string mSaved;
    bool mHad = false;
};

}  // namespace velmor::test
