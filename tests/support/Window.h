// A host window on the test X server, with its pixels read back through XGetImage.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace qvtest {

struct Rgb {
    int r, g, b;
};

class TestWindow {
public:
    TestWindow(int w, int h) : mWidth(w), mHeight(h) {
        mDisplay = XOpenDisplay(nullptr);
        if (!mDisplay) return;
        const int screen = DefaultScreen(mDisplay);
        mWindow = XCreateSimpleWindow(mDisplay, RootWindow(mDisplay, screen), 0, 0, static_cast<unsigned>(w),
                                      static_cast<unsigned>(h), 0, 0, 0);
        XMapWindow(mDisplay, mWindow);
        XSync(mDisplay, False);
    }
    ~TestWindow() {
        if (mDisplay) {
            XDestroyWindow(mDisplay, mWindow);
            XCloseDisplay(mDisplay);
        }
    }
    bool ok() const { return mDisplay != nullptr; }
    Window id() const { return mWindow; }
    Rgb pixel(int x, int y) {
        XImage* img = XGetImage(mDisplay, mWindow, x, y, 1, 1, AllPlanes, ZPixmap);
        if (!img) return {-1, -1, -1};
        const unsigned long p = XGetPixel(img, 0, 0);
        XDestroyImage(img);
        return {static_cast<int>((p >> 16) & 0xff), static_cast<int>((p >> 8) & 0xff), static_cast<int>(p & 0xff)};
    }
    // Fraction of sampled pixels that are not black.
    double coverage() {
        int lit = 0, total = 0;
        for (int y = 4; y < mHeight; y += 16) {
            for (int x = 4; x < mWidth; x += 16) {
                const Rgb c = pixel(x, y);
                ++total;
                if (c.r + c.g + c.b > 30) ++lit;
            }
        }
        return total ? static_cast<double>(lit) / total : 0;
    }
    Rgb average() {
        long r = 0, g = 0, b = 0, n = 0;
        for (int y = 8; y < mHeight; y += 24) {
            for (int x = 8; x < mWidth; x += 24) {
                const Rgb c = pixel(x, y);
                r += c.r, g += c.g, b += c.b, ++n;
            }
        }
        return {static_cast<int>(r / n), static_cast<int>(g / n), static_cast<int>(b / n)};
    }

private:
    Display* mDisplay = nullptr;
    Window mWindow = 0;
    int mWidth, mHeight;
};

}  // namespace qvtest
