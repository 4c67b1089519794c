#include "platform/linux/AudioSinkPull.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "utils/Log.h"

#define LOG_TAG "VEL_AudioSinkPull"

namespace velmor {

namespace {
int64_t nowMs() { return systemTime() / 1000000; }
// How long a pause waits for the fill thread to finish its pass.
constexpr int kParkWaitMs = 500;
void sleepMs(int ms) { usleep(static_cast<useconds_t>(ms) * 1000); }
}  // namespace

// ---------------------------------------------------------------------------------------------
AudioSinkThread::AudioSinkThread(AudioSinkPull* sink)
    : Thread(false), mSink(sink), mPauseRequested(true), mParked(true) {}

void AudioSinkThread::wake() {
    Autolock l(mLock);
    if (mPauseRequested) {
        mPauseRequested = false;
        mParked = false;
        log(LOG_DEBUG, "VEL_AudioSinkThread", "AudioSinkThread Condition signal");
        mCondition.signal();
    }
}

void AudioSinkThread::requestPause() {
    Autolock l(mLock);
    mPauseRequested = true;
}

bool AudioSinkThread::isParked() {
    Autolock l(mLock);
    return mParked;
}

bool AudioSinkThread::waitUntilParked(int timeoutMs) {
    Autolock l(mLock);
    if (!mParked) mParkedCondition.waitRelative(mLock, static_cast<int64_t>(timeoutMs) * 1000000);
    return mParked;
}

bool AudioSinkThread::pauseRequested() {
    Autolock l(mLock);
    return mPauseRequested;
}

void AudioSinkThread::requestExit() {
    Thread::requestExit();
    wake();
}

bool AudioSinkThread::threadLoop() {
    {
        Autolock l(mLock);
        if (mPauseRequested) {
            log(LOG_DEBUG, "VEL_AudioSinkThread", "AudioSinkThread Condition wait [[");
            mParked = true;
            mParkedCondition.broadcast();
            mCondition.wait(mLock);
            log(LOG_DEBUG, "VEL_AudioSinkThread", "AudioSinkThread Condition wait ]]");
            return true;
        }
    }
    Ref<AudioSinkThread> hold(this);
    int64_t result = mSink->fillPass();
    if (result == AudioSinkPull::kDeviceLost) {
        mSink->mBufferLost = true;
        requestPause();
    } else if (result < 0) {
        // The device refused the chunk; it stays staged and is tried again shortly.
        sleepMs(10);
    } else if (result == 0 && !pauseRequested() && !exitPending()) {
        // Nothing to play yet: ask again a little later instead of spinning.
        sleepMs(5);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
AudioSinkPull::AudioSinkPull()
    : mStaging(nullptr), mStagedOffset(0), mStagedBytes(0), mCallback(nullptr), mCookie(nullptr), mSampleRate(0),
      mChannelCount(0), mFrameSize(0), mLatency(0), mTotalWritten(0), mFirstFailureMs(0), mFirstWriteFailureMs(0),
      mFailedWrites(0), mStarted(false), mOpen(false), mVolume(100), mEffect(0), mBufferLost(false),
      mCheckLost(false), mEffectsReset(false) {
    mThread = new AudioSinkThread(this);
    mThread->run("AudioSinkDS", kAudioPriority);
}

AudioSinkPull::~AudioSinkPull() {
    // Subclasses have already released their device through shutdown(); this only covers a
    // thread that is somehow still there.
    if (mThread != nullptr) {
        mThread->requestExit();
        mThread->requestExitAndWait();
        mThread.clear();
    }
    free(mStaging);
}

void AudioSinkPull::shutdown() { close(); }

uint32_t AudioSinkPull::ringLatencyMs(uint32_t sampleRate, int channelCount) {
    if (sampleRate == 0 || channelCount <= 0) return 0;
    return ((7168000u / static_cast<uint32_t>(channelCount)) / sampleRate) * 6 / 2;
}

bool AudioSinkPull::ready() const { return mOpen.load(); }

int AudioSinkPull::bufferSize() const { return mOpen ? mFrameSize * static_cast<int>(kChunkCount) : NO_INIT; }

int AudioSinkPull::frameCount() const { return mOpen ? static_cast<int>(kChunkCount) : NO_INIT; }

int AudioSinkPull::channelCount() const { return mOpen ? mChannelCount : NO_INIT; }

int AudioSinkPull::frameSize() const { return mOpen ? mFrameSize : NO_INIT; }

uint32_t AudioSinkPull::latency() const { return mOpen ? mLatency : static_cast<uint32_t>(NO_INIT); }

status_t AudioSinkPull::open(uint32_t sampleRate, int channelCount, int format, int bufferCount, AudioCallback cb,
                             void* cookie) {
    (void)format;
    (void)bufferCount;
    if (channelCount < 1 || channelCount > 8 || sampleRate < 1000 || sampleRate > 768000) {
        log(LOG_ERROR, LOG_TAG, "%s open: unsupported format (%u Hz, %d channels)", name(), sampleRate, channelCount);
        log(LOG_ERROR, LOG_TAG, "DirectSound CreateSoundBuffer FAIL");
        return NO_INIT;
    }
    if (mOpen) close();

    {
        Autolock l(mDeviceLock);
        mCallback = cb;
        mCookie = cookie;
        mSampleRate = sampleRate;
        mChannelCount = channelCount;
        mFrameSize = channelCount * 2;
        mLatency = ringLatencyMs(sampleRate, channelCount);
        mTotalWritten = 0;
        mStagedBytes = 0;
        mStagedOffset = 0;
        mFirstFailureMs = 0;
        mFirstWriteFailureMs = 0;
        mFailedWrites = 0;
        mBufferLost = false;
        status_t err = openDevice_l(sampleRate, channelCount);
        if (err != OK) return NO_INIT;
        if (mStaging == nullptr) mStaging = static_cast<uint8_t*>(calloc(1, kChunkBytes));
        mEffectsReset = true;
        mOpen = true;
    }
    flush();
    setVolume(mVolume, -1);
    if (mThread == nullptr) {
        // An earlier close ended the thread: a new one waits, parked, for start.
        mThread = new AudioSinkThread(this);
        mThread->run("AudioSinkDS", kAudioPriority);
    }
    return OK;
}

void AudioSinkPull::start() {
    if (!mOpen || mThread == nullptr) return;
    {
        // A device that failed before gets its full grace period again, and a loss reported
        // before is history once playing is asked for again.
        Autolock l(mDeviceLock);
        mFirstFailureMs = 0;
        mFirstWriteFailureMs = 0;
        mBufferLost = false;
    }
    mThread->wake();
    mStarted = true;
    Autolock l(mDeviceLock);
    playDevice_l();
}

void AudioSinkPull::pauseInternal() {
    if (mThread == nullptr) return;
    if (mThread->getThreadId() == std::this_thread::get_id()) {
        // The fill thread pauses itself at the end of the stream: it parks on its next round,
        // and what is already queued plays out.
        mThread->requestPause();
        return;
    }
    mThread->requestPause();
    // The thread parks after its current fill pass and says so; the 10 ms bound keeps an eye on
    // a thread that ended instead. A pass whose callback waits on a starved network source can
    // last until the data comes: past kParkWaitMs the pause goes on without it (the chunk that
    // pass brings stays staged, since the write loop checks the pause request first), so the
    // caller is not held for as long as the network stalls.
    const int64_t deadlineMs = nowMs() + kParkWaitMs;
    while (!mThread->waitUntilParked(10) && mThread->isRunning()) {
        if (nowMs() >= deadlineMs) {
            log(LOG_WARN, LOG_TAG, "fill pass still running after %d ms: pausing without it", kParkWaitMs);
            break;
        }
    }
    Autolock l(mDeviceLock);
    if (mOpen) {
        int64_t discarded = pauseDevice_l();
        if (discarded > 0) mTotalWritten -= std::min<uint64_t>(mTotalWritten, static_cast<uint64_t>(discarded));
    }
}

void AudioSinkPull::stop() { pauseInternal(); }

void AudioSinkPull::pause() { pauseInternal(); }

void AudioSinkPull::flush() {
    Autolock l(mDeviceLock);
    if (!mOpen) return;
    if (mTotalWritten == 0 && mStagedBytes == 0) return;
    flushDevice_l();
    mTotalWritten = 0;
    mStagedBytes = 0;
    mStagedOffset = 0;
    mEffectsReset = true;
}

void AudioSinkPull::close() {
    if (mThread != nullptr) {
        mThread->requestExit();
        mThread->requestExitAndWait();
        mThread.clear();
    }
    Autolock l(mDeviceLock);
    bool wasOpen = mOpen;
    if (mOpen) closeDevice_l();
    mOpen = false;
    free(mStaging);
    mStaging = nullptr;
    mStagedBytes = 0;
    mStagedOffset = 0;
    mTotalWritten = 0;
    if (wasOpen && !mStarted) log(LOG_INFO, LOG_TAG, "Not Started ~~~~~~~~~~~~~~~~~~");
    mStarted = false;
}

status_t AudioSinkPull::getPosition(uint32_t* position) const {
    auto* self = const_cast<AudioSinkPull*>(this);
    Autolock l(self->mDeviceLock);
    if (!mOpen) return NO_INIT;
    if (mTotalWritten == 0) {
        *position = 0;
        return OK;
    }
    status_t result = OK;
    int64_t pending = self->pendingBytes_l();
    if (pending < 0) {
        result = static_cast<status_t>(pending);
        pending = 0;
    }
    if (mTotalWritten > static_cast<uint64_t>(pending)) {
        *position = static_cast<uint32_t>((mTotalWritten - static_cast<uint64_t>(pending)) / mFrameSize);
    }
    return result;
}

void AudioSinkPull::setVolume(int volume, int checkLostBuffer) {
    mVolume = volume;
    if (!mOpen) return;
    if (checkLostBuffer == 1) {
        mCheckLost = true;
    } else if (checkLostBuffer == 0) {
        mCheckLost = false;
    }
}

status_t AudioSinkPull::setPlaybackRate(uint32_t rateMilliHz) {
    Autolock l(mDeviceLock);
    if (!mOpen) return NO_INIT;
    uint32_t hz = rateMilliHz / 1000;
    if (hz < 1000 || hz > 768000) return BAD_VALUE;
    int64_t discarded = 0;
    status_t err = setDeviceRate_l(hz, &discarded);
    if (discarded > 0) mTotalWritten -= std::min<uint64_t>(mTotalWritten, static_cast<uint64_t>(discarded));
    return err;
}

void AudioSinkPull::setEffect(int effect) {
    if (!mOpen) return;
    mEffect = effect;
    // The effects run in the fill thread on the PCM itself.
    if (effect != 0) log(LOG_INFO, LOG_TAG, "Effect was placed in software.");
}

void AudioSinkPull::waitForSpace() { sleepMs(10); }

int64_t AudioSinkPull::fillPass() {
    if (mThread->exiting()) return 0;
    if (mStagedBytes == 0) {
        int n = mCallback ? mCallback(this, mStaging, kChunkBytes, mCookie, CB_EVENT_FILL_BUFFER) : 0;
        if (n == ERROR_END_OF_STREAM) {
            mCallback(this, mStaging, kChunkBytes, mCookie, CB_EVENT_STREAM_END);
            pauseInternal();
            return 0;
        }
        if (n <= 0) return 0;
        uint32_t bytes = std::min<uint32_t>(static_cast<uint32_t>(n), kChunkBytes);
        bytes -= bytes % static_cast<uint32_t>(mFrameSize);
        if (bytes == 0) return 0;

        auto* samples = reinterpret_cast<int16_t*>(mStaging);
        size_t frames = bytes / static_cast<uint32_t>(mFrameSize);
        if (mEffectsReset.exchange(false)) mEffects.reset();
        mEffects.configure(mEffect, mSampleRate, mChannelCount);
        mEffects.process(samples, frames);
        applyGain(samples, frames * mChannelCount, attenuationToGain(volumeToAttenuation(mVolume)));

        Autolock l(mDeviceLock);
        mStagedOffset = 0;
        mStagedBytes = bytes;
    }

    int64_t written = 0;
    // A pause or stop does not wait for the staged chunk to fit: what is left of it stays staged
    // and goes out first when playing resumes (a flush drops it).
    while (!mThread->exiting() && !mThread->pauseRequested()) {
        {
            Autolock l(mDeviceLock);
            if (mStagedBytes == 0 || !mOpen) break;
            int64_t space = freeBytes_l();
            if (space < 0) {
                if (mCheckLost) {
                    int64_t now = nowMs();
                    if (mFirstFailureMs == 0) {
                        mFirstFailureMs = now;
                    } else if (now - mFirstFailureMs >= kLostTimeoutMs) {
                        log(LOG_ERROR, LOG_TAG, "SoundBuffer GetCurrentPosition : %d, %u, %u", static_cast<int>(space),
                            0u, mStagedOffset);
                        return kDeviceLost;
                    }
                }
                space = kDeviceRingBytes;
            } else {
                mFirstFailureMs = 0;
            }
            // Whatever fits goes in, in whole frames: a device ring has no full/empty ambiguity, and
            // some devices (the sound server's plugin) only report more space once the ring was
            // filled up.
            uint32_t fits = static_cast<uint32_t>(std::min<int64_t>(space, mStagedBytes));
            fits -= fits % static_cast<uint32_t>(mFrameSize);
            if (fits > 0) {
                int64_t r = writeDevice_l(mStaging + mStagedOffset, fits);
                if (r < 0) {
                    if (mFailedWrites++ % 100 == 0) log(LOG_WARN, LOG_TAG, "BUFFERLOST!");
                    if (recoverDevice_l(r) == OK) r = writeDevice_l(mStaging + mStagedOffset, fits);
                    if (r < 0) {
                        if (mFailedWrites % 100 == 1) log(LOG_ERROR, LOG_TAG, "SoundBuffer Lock FAIL");
                        // A device that neither takes sound nor comes back (a card removed, a
                        // sound server that died) is lost, whether or not the check is on.
                        const int64_t now = nowMs();
                        if (mFirstWriteFailureMs == 0) {
                            mFirstWriteFailureMs = now;
                        } else if (now - mFirstWriteFailureMs >= kUnrecoverableMs) {
                            log(LOG_ERROR, LOG_TAG, "%s: device lost (%d) for %lld ms", name(), static_cast<int>(r),
                                static_cast<long long>(now - mFirstWriteFailureMs));
                            return kDeviceLost;
                        }
                        return r;
                    }
                }
                mFailedWrites = 0;
                mFirstWriteFailureMs = 0;
                uint32_t done = static_cast<uint32_t>(std::min<int64_t>(r, mStagedBytes));
                mStagedOffset += done;
                mStagedBytes -= done;
                mTotalWritten += done;
                written += done;
                // Nothing taken (a non-blocking device that is full after all): wait for space.
                if (done > 0) continue;
            }
        }
        waitForSpace();
    }
    return written;
}

}  // namespace velmor
