#include "platform/linux/VideoSinkBase.h"

#include <algorithm>

namespace velmor {

VideoSinkBase::VideoSinkBase()
    : mCallback(nullptr), mCookie(nullptr), mDecodedWidth(0), mDecodedHeight(0), mBrightness(50), mSaturation(50),
      mContrast(50), mScaleMode(0), mAspectNum(0), mAspectDen(0), mBottomMargin(0), mRightMargin(0) {}

void VideoSinkBase::setRenderCallback(RenderCallback cb, void* cookie) {
    mCallback = cb;
    mCookie = cookie;
}

void VideoSinkBase::setScaleMode(int mode) {
    mScaleMode = mode;
    if (mode != 0) {
        mAspectNum = 0;
        mAspectDen = 0;
    } else {
        if (mAspectNum == 0) mAspectNum = mDecodedWidth;
        if (mAspectDen == 0) mAspectDen = mDecodedHeight;
    }
}

// The draws multiply window sizes (an X window is at most 32767 pixels a side) by the aspect
// ratio and subtract the margins in int: host values are kept within bounds for which neither
// overflows. A non-positive term means "unset" to the draws, a negative margin none.
constexpr int kMaxAspectTerm = 65535;
constexpr int kMaxMargin = 32767;

void VideoSinkBase::setAspectRatio(int numerator, int denominator) {
    mAspectNum = std::clamp(numerator, 0, kMaxAspectTerm);
    mAspectDen = std::clamp(denominator, 0, kMaxAspectTerm);
}

void VideoSinkBase::setMargins(int bottom, int right) {
    mBottomMargin = std::clamp(bottom, 0, kMaxMargin);
    mRightMargin = std::clamp(right, 0, kMaxMargin);
}

void VideoSinkBase::setDecodedSize(int width, int height) {
    mDecodedWidth = width;
    mDecodedHeight = height;
    if (mAspectNum == 0) mAspectNum = width;
    if (mAspectDen == 0) mAspectDen = height;
}

void VideoSinkBase::notifyRendered() {
    if (mCallback != nullptr) mCallback(mCookie, 0);
}

}  // namespace velmor
