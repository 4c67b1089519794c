#include "platform/linux/VideoSinkBase.h"

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

void VideoSinkBase::setAspectRatio(int numerator, int denominator) {
    mAspectNum = numerator;
    mAspectDen = denominator;
}

void VideoSinkBase::setMargins(int bottom, int right) {
    mBottomMargin = bottom;
    mRightMargin = right;
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
