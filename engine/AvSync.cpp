#include "engine/AvSync.h"

namespace velmor {

void AvSync::reset() {
    mTimeSourceDeltaUs = 0;
    mSinceLastDropped = 0;
    mLateFrames = 0;
}

void AvSync::anchor(int64_t clockRealUs, int64_t frameTimeUs) {
    mSinceLastDropped = 0;
    mTimeSourceDeltaUs = clockRealUs - frameTimeUs;
}

AvSync::Decision AvSync::decide(int64_t frameTimeUs, int64_t clockRealUs, bool firstFrame, float rateTenths) {
    Decision d;
    d.nowUs = mediaNowUs(clockRealUs);
    d.latenessUs = d.nowUs - frameTimeUs;
    // The first picture after a start or a seek is always shown: the sound that started with it
    // may already be a few tens of milliseconds ahead, and dropping it would leave the screen on
    // the old picture.
    if (d.latenessUs > kLateUs && !firstFrame) {
        ++mLateFrames;
        const uint64_t everyN = static_cast<uint64_t>(rateTenths * 3.0f / 10.0f);
        if (everyN == 0 || mLateFrames % everyN != 0) d.action = Action::Drop;
        return d;
    }
    if (d.latenessUs < -kEarlyUs) d.action = Action::Wait;
    return d;
}

}  // namespace velmor
