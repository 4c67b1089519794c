#include "platform/linux/AudioSinkNull.h"

#include <algorithm>

#include "utils/Log.h"

#define LOG_TAG "VEL_AudioSinkNull"

namespace velmor {

AudioSinkNull::AudioSinkNull()
    : mRate(0), mFrameBytes(0), mRunning(false), mLastNs(0), mQueuedFrames(0), mCreditFrames(0) {
    VLOGI("AudioSinkNull");
}

AudioSinkNull::~AudioSinkNull() {
    VLOGI("~AudioSinkNull");
    shutdown();
}

status_t AudioSinkNull::openDevice_l(uint32_t sampleRate, int channelCount) {
    mRate = sampleRate;
    mFrameBytes = channelCount * 2;
    mRunning = false;
    mQueuedFrames = 0;
    mCreditFrames = 0;
    return OK;
}

void AudioSinkNull::closeDevice_l() {
    mRunning = false;
    mQueuedFrames = 0;
    mCreditFrames = 0;
}

void AudioSinkNull::advance_l() {
    int64_t now = systemTime();
    if (mRunning) {
        mCreditFrames += static_cast<double>(now - mLastNs) * mRate / 1e9;
        auto consumed = static_cast<int64_t>(mCreditFrames);
        if (consumed >= mQueuedFrames) {
            // Ran dry: the position waits for the next write instead of running ahead.
            mQueuedFrames = 0;
            mCreditFrames = 0;
        } else {
            mQueuedFrames -= consumed;
            mCreditFrames -= static_cast<double>(consumed);
        }
    }
    mLastNs = now;
}

int64_t AudioSinkNull::freeBytes_l() {
    advance_l();
    return static_cast<int64_t>(kDeviceRingBytes) - mQueuedFrames * mFrameBytes;
}

int64_t AudioSinkNull::pendingBytes_l() {
    advance_l();
    return mQueuedFrames * mFrameBytes;
}

int64_t AudioSinkNull::writeDevice_l(const uint8_t* data, uint32_t bytes) {
    (void)data;
    advance_l();
    int64_t room = static_cast<int64_t>(kDeviceRingBytes) / mFrameBytes - mQueuedFrames;
    int64_t frames = std::min<int64_t>(bytes / static_cast<uint32_t>(mFrameBytes), room);
    if (frames < 0) frames = 0;
    mQueuedFrames += frames;
    return frames * mFrameBytes;
}

void AudioSinkNull::playDevice_l() {
    if (!mRunning) {
        mRunning = true;
        mLastNs = systemTime();
    }
}

int64_t AudioSinkNull::pauseDevice_l() {
    advance_l();
    mRunning = false;
    return 0;
}

void AudioSinkNull::flushDevice_l() {
    mQueuedFrames = 0;
    mCreditFrames = 0;
}

status_t AudioSinkNull::setDeviceRate_l(uint32_t hz, int64_t* discarded) {
    *discarded = 0;
    advance_l();
    mRate = hz;
    return OK;
}

}  // namespace velmor
