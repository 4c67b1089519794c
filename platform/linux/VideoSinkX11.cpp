#include "platform/linux/VideoSinkX11.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "platform/linux/X11Support.h"
#include "utils/Log.h"

#define LOG_TAG "VEL_VideoSinkX11"

namespace velmor {

VideoSinkX11::VideoSinkX11(unsigned long window, int width, int height, bool useSharedMemory)
    : mDisplay(nullptr), mWindow(static_cast<Window>(window)), mSurfaceWidth(width), mSurfaceHeight(height),
      mWantShm(useSharedMemory), mCreated(false), mGc(nullptr), mVisual(nullptr), mDepth(0), mImage(nullptr),
      mShm{}, mShmAttached(false), mPixelFormat(AV_PIX_FMT_NONE), mSwsPlacement{},
      mSwsBrightness(0), mSwsContrast(0), mSwsSaturation(0), mLastDst{}, mLastAreaW(0), mLastAreaH(0) {
    VLOGI("VideoSinkDirectDraw new");
}


VideoSinkX11::~VideoSinkX11() { releaseAll(); }

void VideoSinkX11::releaseAll() {
    mSws.reset();
    destroyImage();
    if (mGc != nullptr) {
        XFreeGC(mDisplay, mGc);
        mGc = nullptr;
    }
    if (mDisplay != nullptr) {
        CloseSinkDisplay(mDisplay);
        mDisplay = nullptr;
    }
    mCreated = false;
}

// The converter's vector code writes whole groups of pixels and may run up to this many pixels
// past the end of a row. The image has one spare row at the end, and the bar pixels it touches
// are painted black again after each frame.
static constexpr int kRowOverrun = 32;
// The largest picture the sink scales from (the decoder's own limit, 8192 x 4352).
static constexpr int64_t kMaxSourceArea = 8192LL * 4352;

bool VideoSinkX11::createImage(int width, int height) {
    mShmAttached = false;
    if (mWantShm && XShmQueryExtension(mDisplay)) {
        mImage = XShmCreateImage(mDisplay, mVisual, static_cast<unsigned>(mDepth), ZPixmap, nullptr, &mShm,
                                 static_cast<unsigned>(width), static_cast<unsigned>(height));
        if (mImage != nullptr) {
            mShm.shmid = shmget(IPC_PRIVATE, static_cast<size_t>(mImage->bytes_per_line) * (height + 1),
                                IPC_CREAT | 0600);
            void* addr = mShm.shmid >= 0 ? shmat(mShm.shmid, nullptr, 0) : reinterpret_cast<void*>(-1);
            if (addr != reinterpret_cast<void*>(-1)) {
                mShm.shmaddr = mImage->data = static_cast<char*>(addr);
                mShm.readOnly = False;
                ClearX11Error(mDisplay);
                bool attached = XShmAttach(mDisplay, &mShm) && TakeX11Error(mDisplay) == 0;
                // Marked for removal now: the segment goes away once both sides detach.
                shmctl(mShm.shmid, IPC_RMID, nullptr);
                if (attached) {
                    mShmAttached = true;
                } else {
                    shmdt(addr);
                }
            } else if (mShm.shmid >= 0) {
                shmctl(mShm.shmid, IPC_RMID, nullptr);
            }
            if (!mShmAttached) {
                mImage->data = nullptr;
                XDestroyImage(mImage);
                mImage = nullptr;
                VLOGW("shared memory unavailable, using XPutImage");
            }
        }
    }
    if (mImage == nullptr) {
        mImage = XCreateImage(mDisplay, mVisual, static_cast<unsigned>(mDepth), ZPixmap, 0, nullptr,
                              static_cast<unsigned>(width), static_cast<unsigned>(height), 32, 0);
        if (mImage == nullptr) return false;
        mImage->data = static_cast<char*>(calloc(static_cast<size_t>(mImage->bytes_per_line) * (height + 1), 1));
        if (mImage->data == nullptr) {
            XDestroyImage(mImage);
            mImage = nullptr;
            return false;
        }
    }
    memset(mImage->data, 0, static_cast<size_t>(mImage->bytes_per_line) * height);
    return true;
}

void VideoSinkX11::destroyImage() {
    if (mImage == nullptr) return;
    if (mShmAttached) {
        XShmDetach(mDisplay, &mShm);
        XSync(mDisplay, False);
        shmdt(mShm.shmaddr);
        mImage->data = nullptr;
        mShmAttached = false;
    }
    XDestroyImage(mImage);  // frees the data of a plain image
    mImage = nullptr;
}

// The converter's output format for the image's layout; AV_PIX_FMT_NONE when unsupported.
static int pixelFormatFor(const XImage* image) {
    bool lsb = image->byte_order == LSBFirst;
    if (image->bits_per_pixel == 32) {
        if (image->red_mask == 0xff0000 && image->green_mask == 0xff00 && image->blue_mask == 0xff)
            return lsb ? AV_PIX_FMT_BGR0 : AV_PIX_FMT_0RGB;
        if (image->red_mask == 0xff && image->green_mask == 0xff00 && image->blue_mask == 0xff0000)
            return lsb ? AV_PIX_FMT_RGB0 : AV_PIX_FMT_0BGR;
    } else if (image->bits_per_pixel == 16) {
        if (image->red_mask == 0xf800 && image->green_mask == 0x7e0 && image->blue_mask == 0x1f)
            return lsb ? AV_PIX_FMT_RGB565LE : AV_PIX_FMT_RGB565BE;
        if (image->red_mask == 0x1f && image->green_mask == 0x7e0 && image->blue_mask == 0xf800)
            return lsb ? AV_PIX_FMT_BGR565LE : AV_PIX_FMT_BGR565BE;
        if (image->red_mask == 0x7c00 && image->green_mask == 0x3e0 && image->blue_mask == 0x1f)
            return lsb ? AV_PIX_FMT_RGB555LE : AV_PIX_FMT_RGB555BE;
    }
    return AV_PIX_FMT_NONE;
}

status_t VideoSinkX11::init(const char* componentName, int displayWidth, int displayHeight, int decodedWidth,
                            int decodedHeight, int colorFormat, int rotationDegrees) {
    (void)componentName;
    (void)displayWidth;
    (void)displayHeight;
    (void)colorFormat;
    (void)rotationDegrees;
    VLOGI("VideoSinkDirectDraw int");
    if (!mCreated) {
        // Connection to the display (the DirectDraw object).
        mDisplay = OpenSinkDisplay();
        if (mDisplay == nullptr) {
            VLOGE("DirectDrawCreateEx Fail");
            return NO_INIT;
        }
        // The window must exist on it (the cooperative level for the window).
        XWindowAttributes attrs;
        ClearX11Error(mDisplay);
        if (!XGetWindowAttributes(mDisplay, mWindow, &attrs) || TakeX11Error(mDisplay) != 0) {
            VLOGE(" SetCooperativeLevel Fail");
            releaseAll();
            return NO_INIT;
        }
        mVisual = attrs.visual;
        mDepth = attrs.depth;
        if (mSurfaceWidth <= 0 || mSurfaceHeight <= 0) {
            mSurfaceWidth = attrs.width;
            mSurfaceHeight = attrs.height;
        }
        // Nothing shows beyond the window or the screen: a larger surface would only make the
        // image (and its size arithmetic) larger.
        mSurfaceWidth = std::min(mSurfaceWidth, std::max(attrs.width, WidthOfScreen(attrs.screen)));
        mSurfaceHeight = std::min(mSurfaceHeight, std::max(attrs.height, HeightOfScreen(attrs.screen)));
        // Drawing on the window itself (the primary surface). The server clips it to the
        // window's visible region, which takes the clipper's place.
        mGc = XCreateGC(mDisplay, mWindow, 0, nullptr);
        if (mGc == nullptr || TakeX11Error(mDisplay) != 0) {
            VLOGE("Create Primary Surface Fail");
            releaseAll();
            return NO_INIT;
        }
        // The off-screen image in the window's pixel layout (the RGB surface).
        if (!createImage(mSurfaceWidth, mSurfaceHeight)) {
            VLOGE("Create RGB Surface Fail");
            releaseAll();
            return NO_INIT;
        }
        mPixelFormat = pixelFormatFor(mImage);
        if (mPixelFormat == AV_PIX_FMT_NONE) {
            VLOGE("unsupported pixel layout: %d bits per pixel, masks %lx/%lx/%lx", mImage->bits_per_pixel,
                  mImage->red_mask, mImage->green_mask, mImage->blue_mask);
            VLOGE("Create RGB Surface Fail");
            releaseAll();
            return NO_INIT;
        }
        mCreated = true;
    }
    // The converter has to accept the picture as its source (it refuses sizes it cannot
    // filter); a test conversion to the whole image says so before any picture comes.
    if (decodedWidth < 2 || decodedHeight < 2 || static_cast<int64_t>(decodedWidth) * decodedHeight > kMaxSourceArea) {
        VLOGE("picture %dx%d cannot be scaled", decodedWidth, decodedHeight);
        return BAD_VALUE;
    }
    SwsPtr probe(
        sws_getContext(decodedWidth, decodedHeight, AV_PIX_FMT_YUV420P, mSurfaceWidth, mSurfaceHeight,
                       static_cast<AVPixelFormat>(mPixelFormat), SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (probe == nullptr) {
        VLOGE("picture %dx%d cannot be scaled to %dx%d", decodedWidth, decodedHeight, mSurfaceWidth, mSurfaceHeight);
        return BAD_VALUE;
    }
    setDecodedSize(decodedWidth, decodedHeight);
    VLOGI("VideoSinkDirectDraw init OK(%dx%d)", decodedWidth, decodedHeight);
    return OK;
}

VideoSinkX11::Placement VideoSinkX11::computePlacement(int scaleMode, int areaW, int areaH, int decodedW,
                                                       int decodedH, int aspectNum, int aspectDen) {
    Placement p{{0, 0, areaW, areaH}, {0, 0, decodedW, decodedH}};
    if (scaleMode == 1) return p;
    if (scaleMode == 2) {
        // Scale so that the picture covers the area, then show its centre.
        double scale = std::max(static_cast<double>(areaW) / decodedW, static_cast<double>(areaH) / decodedH);
        int cropW = std::min(decodedW, static_cast<int>(std::lround(areaW / scale))) & ~1;
        int cropH = std::min(decodedH, static_cast<int>(std::lround(areaH / scale))) & ~1;
        p.src = {((decodedW - cropW) / 2) & ~1, ((decodedH - cropH) / 2) & ~1, std::max(cropW, 2), std::max(cropH, 2)};
        return p;
    }
    if (aspectNum <= 0 || aspectDen <= 0) {
        aspectNum = decodedW;
        aspectDen = decodedH;
    }
    double aspect = static_cast<double>(aspectNum) / aspectDen;
    if (aspect * areaH < areaW) {
        p.dst.height = areaH;
        p.dst.width = std::min(areaW, static_cast<int>(areaH * aspect)) & ~1;
        p.dst.x = (areaW - p.dst.width) / 2;
    } else {
        p.dst.width = areaW;
        p.dst.height = std::min(areaH, static_cast<int>(static_cast<double>(areaW) * aspectDen / aspectNum)) & ~1;
        p.dst.y = (areaH - p.dst.height) / 2;
    }
    return p;
}

bool VideoSinkX11::updateConverter(const Placement& p) {
    // Picture controls on the 0..100 scale, 50 neutral, as factors: brightness and contrast scale
    // the output together (brightness 0 is black), contrast also moves it towards mid-grey,
    // saturation scales the colour difference (0 is grey).
    double b = mBrightness / 50.0;
    double c = mContrast / 50.0;
    double s = mSaturation / 50.0;
    double gain = std::max(b * c, 1.0 / 256.0);
    int contrast = static_cast<int>(std::lround(gain * 65536.0));
    int saturation = static_cast<int>(std::lround(std::max(s, 0.0) * 65536.0));
    // The converter adds its brightness to the luma before scaling it (in 1/256 of a level), so
    // the shift towards mid-grey is divided by the gain; it can only reach so far: at very low
    // contrast the picture goes dark instead of flat grey.
    double shift = 0.5 * (1.0 - c) * 255.0;
    double lumaGain = gain * 255.0 / 219.0;
    int brightness = static_cast<int>(std::lround(std::clamp(256.0 * shift / lumaGain, -32000.0, 32000.0)));

    bool geometryChanged = mSws == nullptr || !(p.dst == mSwsPlacement.dst) || !(p.src == mSwsPlacement.src);
    if (geometryChanged) {
        mSws.reset(sws_getContext(p.src.width, p.src.height, AV_PIX_FMT_YUV420P, p.dst.width, p.dst.height,
                              static_cast<AVPixelFormat>(mPixelFormat), SWS_BILINEAR, nullptr, nullptr, nullptr));
        if (mSws == nullptr) {
            VLOGE("sws_getContext %dx%d -> %dx%d failed", p.src.width, p.src.height, p.dst.width, p.dst.height);
            return false;
        }
        mSwsPlacement = p;
    }
    if (geometryChanged || brightness != mSwsBrightness || contrast != mSwsContrast || saturation != mSwsSaturation) {
        const int* table = sws_getCoefficients(SWS_CS_ITU601);
        if (sws_setColorspaceDetails(mSws.get(), table, 0, table, 1, brightness, contrast, saturation) < 0) {
            VLOGW("picture controls not supported by the converter");
        }
        mSwsBrightness = brightness;
        mSwsContrast = contrast;
        mSwsSaturation = saturation;
    }
    return true;
}

void VideoSinkX11::render(const Picture& picture) {
    if (!mCreated || mImage == nullptr || picture.planes[0] == nullptr || picture.width < 2 || picture.height < 2) return;

    XWindowAttributes attrs;
    if (!XGetWindowAttributes(mDisplay, mWindow, &attrs)) return;  // the window went away
    int areaW = std::min(attrs.width - mRightMargin, mSurfaceWidth);
    int areaH = std::min(attrs.height - mBottomMargin, mSurfaceHeight);
    if (areaW < 2 || areaH < 2) return;

    Placement p = computePlacement(mScaleMode, areaW, areaH, picture.width, picture.height, mAspectNum, mAspectDen);
    if (p.dst.width < 2 || p.dst.height < 2) return;
    if (!(p.dst == mLastDst) || areaW != mLastAreaW || areaH != mLastAreaH) {
        // The bars around a smaller picture are black, and so is whatever an earlier, larger
        // picture left in the window.
        memset(mImage->data, 0, static_cast<size_t>(mImage->bytes_per_line) * mImage->height);
        XSetForeground(mDisplay, mGc, BlackPixel(mDisplay, XScreenNumberOfScreen(attrs.screen)));
        XFillRectangle(mDisplay, mWindow, mGc, 0, 0, static_cast<unsigned>(attrs.width),
                       static_cast<unsigned>(attrs.height));
        mLastDst = p.dst;
        mLastAreaW = areaW;
        mLastAreaH = areaH;
    }
    if (!updateConverter(p)) return;

    // The picture's own row strides: rows are often padded beyond the width.
    const int32_t* stride = picture.strides;
    const uint8_t* src[4] = {picture.planes[0] + static_cast<ptrdiff_t>(p.src.y) * stride[0] + p.src.x,
                             picture.planes[1] + static_cast<ptrdiff_t>(p.src.y / 2) * stride[1] + p.src.x / 2,
                             picture.planes[2] + static_cast<ptrdiff_t>(p.src.y / 2) * stride[2] + p.src.x / 2, nullptr};
    const int srcStride[4] = {stride[0], stride[1], stride[2], 0};
    int bytesPerPixel = mImage->bits_per_pixel / 8;
    uint8_t* dst[4] = {reinterpret_cast<uint8_t*>(mImage->data) + static_cast<size_t>(p.dst.y) * mImage->bytes_per_line +
                           static_cast<size_t>(p.dst.x) * bytesPerPixel,
                       nullptr, nullptr, nullptr};
    const int dstStride[4] = {mImage->bytes_per_line, 0, 0, 0};
    sws_scale(mSws.get(), src, srcStride, 0, p.src.height, dst, dstStride);
    int right = p.dst.x + p.dst.width;
    auto blacken = [&](int row, int from, int to) {
        if (row < 0 || row >= mImage->height || from >= to) return;
        memset(mImage->data + static_cast<size_t>(row) * mImage->bytes_per_line + static_cast<size_t>(from) * bytesPerPixel,
               0, static_cast<size_t>(to - from) * bytesPerPixel);
    };
    for (int row = p.dst.y; row < p.dst.y + p.dst.height; ++row) {
        if (right < mImage->width) {
            blacken(row, right, std::min(mImage->width, right + kRowOverrun));
        } else if (p.dst.x > 0) {
            blacken(row + 1, 0, std::min(p.dst.x, kRowOverrun));
        }
    }

    if (mShmAttached) {
        XShmPutImage(mDisplay, mWindow, mGc, mImage, 0, 0, 0, 0, static_cast<unsigned>(areaW),
                     static_cast<unsigned>(areaH), False);
    } else {
        XPutImage(mDisplay, mWindow, mGc, mImage, 0, 0, 0, 0, static_cast<unsigned>(areaW),
                  static_cast<unsigned>(areaH));
    }
    // The image is written again by the next frame: wait until the server has copied it.
    XSync(mDisplay, False);

    notifyRendered();
}

}  // namespace velmor
