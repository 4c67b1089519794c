// What the X11 and OpenGL picture outputs share: the picture controls the host sets (brightness,
// saturation, contrast, scale mode, aspect ratio, margins) and the render callback. The sinks
// read the fields when they draw.
#pragma once

#include "engine/PlayerBase.h"

namespace velmor {

class VideoSinkBase : public PlayerBase::VideoSink {
public:
    void setRenderCallback(RenderCallback cb, void* cookie) override;
    void setBrightness(int v) override { mBrightness = v; }
    void setSaturation(int v) override { mSaturation = v; }
    void setContrast(int v) override { mContrast = v; }
    // A mode other than 0 forgets the aspect ratio; mode 0 falls back to the decoded picture's
    // own shape for whatever part of it is unset.
    void setScaleMode(int mode) override;
    void setAspectRatio(int numerator, int denominator) override;
    bool setViewOffset(int x, int y) override { return false; }
    bool captureSnapshot(const wchar_t* path) override { return false; }
    void setMargins(int bottom, int right) override;

protected:
    VideoSinkBase();

    // Records the decoded picture size at init; an unset aspect ratio takes the picture's shape.
    void setDecodedSize(int width, int height);
    // Tells the host a picture was drawn.
    void notifyRendered();

    RenderCallback mCallback;
    void* mCookie;
    int mDecodedWidth, mDecodedHeight;
    int mBrightness, mSaturation, mContrast;
    int mScaleMode;
    int mAspectNum, mAspectDen;
    int mBottomMargin, mRightMargin;
};

}  // namespace velmor
