// The software picture output on an X11 window: each YUV 4:2:0 frame is converted by libswscale
// into an off-screen image in the window's RGB layout (32 or 16 bits per pixel), with brightness,
// contrast and saturation applied through the converter's colour-space details, and put into
// the window with XShmPutImage (XPutImage when shared memory is not available). The converter reads
// the picture through its own row strides.
//
// Thread: init and render run on the engine's playback queue thread, one at a time; every field
// below belongs to that thread. The picture controls inherited from VideoSinkBase are set from the
// host's thread and read once per render.
#pragma once

#include <memory>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

#include "engine/FFmpegOwners.h"
#include "platform/linux/VideoSinkBase.h"

struct SwsContext;

namespace velmor {

class VideoSinkX11 : public VideoSinkBase {
public:
    // window: an X11 Window id; width x height: the off-screen image (the window's size when
    // either is not positive). useSharedMemory false forces XPutImage.
    VideoSinkX11(unsigned long window, int width, int height, bool useSharedMemory = true);
    ~VideoSinkX11() override;

    status_t init(const char* componentName, int displayWidth, int displayHeight, int decodedWidth,
                  int decodedHeight, int colorFormat, int rotationDegrees) override;
    // init refuses (BAD_VALUE) a picture size the converter cannot scale from.
    void render(const Picture& picture) override;

    // Bits per pixel of the off-screen image (0 before a successful init).
    int bitsPerPixel() const { return mImage != nullptr ? mImage->bits_per_pixel : 0; }
    bool usingSharedMemory() const { return mShmAttached; }

    struct Rect {
        int x, y, width, height;
        bool operator==(const Rect& o) const { return x == o.x && y == o.y && width == o.width && height == o.height; }
    };
    struct Placement {
        Rect dst;  // inside the area, top-left origin
        Rect src;  // the part of the picture shown (even offsets and sizes)
    };
    // Where the picture goes inside an area of areaW x areaH: mode 1 stretches it over the area,
    // mode 2 fills the whole area and crops what sticks out (centred), any other mode keeps the
    // aspect ratio (num:den, or the picture's own) centred between black bars.
    static Placement computePlacement(int scaleMode, int areaW, int areaH, int decodedW, int decodedH,
                                      int aspectNum, int aspectDen);

private:
    bool createImage(int width, int height);
    void destroyImage();
    bool updateConverter(const Placement& p);
    void releaseAll();

    Display* mDisplay;
    Window mWindow;
    int mSurfaceWidth, mSurfaceHeight;
    bool mWantShm;
    bool mCreated;           // the display objects exist (made by the first init)
    GC mGc;
    Visual* mVisual;
    int mDepth;
    XImage* mImage;
    XShmSegmentInfo mShm;
    bool mShmAttached;
    int mPixelFormat;        // AVPixelFormat of the image
    SwsPtr mSws;  // for mSwsPlacement; none before the first picture
    Placement mSwsPlacement;
    int mSwsBrightness, mSwsContrast, mSwsSaturation;
    Rect mLastDst;
    int mLastAreaW, mLastAreaH;
};

}  // namespace velmor
