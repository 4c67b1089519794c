#include "engine/MediaSource.h"

namespace velmor {

MediaSource::MediaSource() {}

MediaSource::~MediaSource() {}

status_t MediaSource::pause() { return ERROR_UNSUPPORTED; }

status_t MediaSource::setBuffers(const Vector<MediaBuffer*>&) { return ERROR_UNSUPPORTED; }

MediaSource::ReadOptions::ReadOptions() { reset(); }

void MediaSource::ReadOptions::reset() {
    mOptions = 0;
    mSeekTimeUs = 0;
    mSeekMode = SeekClosestSync;
    mLatenessUs = 0;
    mSkipUntilUs = -1;
    mWaitLimitUs = -1;
}

void MediaSource::ReadOptions::setSeekTo(int64_t timeUs, SeekMode mode) {
    mOptions |= kSeekTo_Option;
    mSeekTimeUs = timeUs;
    mSeekMode = mode;
}

void MediaSource::ReadOptions::clearSeekTo() {
    mOptions &= ~static_cast<uint32_t>(kSeekTo_Option);
    mSeekTimeUs = 0;
    mSeekMode = SeekClosestSync;
    mSkipUntilUs = -1;
}

bool MediaSource::ReadOptions::getSeekTo(int64_t* timeUs, SeekMode* mode) const {
    *timeUs = mSeekTimeUs;
    *mode = mSeekMode;
    return (mOptions & kSeekTo_Option) != 0;
}

void MediaSource::ReadOptions::setLateBy(int64_t lateness) { mLatenessUs = lateness; }

int64_t MediaSource::ReadOptions::getLateBy() const { return mLatenessUs; }

void MediaSource::ReadOptions::setSkipUntil(int64_t timeUs) { mSkipUntilUs = timeUs; }

int64_t MediaSource::ReadOptions::getSkipUntil() const { return mSkipUntilUs; }

void MediaSource::ReadOptions::setWaitLimit(int64_t us) { mWaitLimitUs = us; }

int64_t MediaSource::ReadOptions::getWaitLimit() const { return mWaitLimitUs; }

}  // namespace velmor
