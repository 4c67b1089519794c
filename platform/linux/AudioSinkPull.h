// The pull-model audio sink shared by the ALSA sink and the null sink: a fill thread named
// "AudioSinkDS" asks the callback for 7168-byte chunks of 16-bit PCM into a staging block and
// writes them into the device's ring (five chunks, plus the staged one: the reported latency)
// as space frees up. Subclasses provide the device: how much is free, how much is still queued,
// writing, pausing, discarding.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/PlayerBase.h"
#include "platform/linux/AudioEffects.h"
#include "utils/Mutex.h"
#include "utils/Thread.h"

namespace velmor {

class AudioSinkPull;

// Parks on its condition while a pause is requested; otherwise runs fill passes.
class AudioSinkThread : public Thread {
public:
    explicit AudioSinkThread(AudioSinkPull* sink);

    // Wakes a parked thread (start and exit requests).
    void wake();
    void requestPause();
    bool isParked();
    // Waits up to timeoutMs for the thread to park; true once it has.
    bool waitUntilParked(int timeoutMs);
    bool pauseRequested();
    void requestExit() override;
    bool exiting() const { return exitPending(); }

private:
    bool threadLoop() override;

    AudioSinkPull* mSink;
    Mutex mLock;
    Condition mCondition;
    Condition mParkedCondition;
    bool mPauseRequested;
    bool mParked;
};

class AudioSinkPull : public PlayerBase::AudioSink {
public:
    static constexpr uint32_t kChunkBytes = 7168;
    static constexpr uint32_t kChunkCount = 6;
    static constexpr uint32_t kRingBytes = kChunkBytes * kChunkCount;
    // What the device itself holds. The fill thread pulls a chunk from the player before there is
    // room for it, so one chunk always waits in the staging block: the device keeps one chunk
    // less, and what the player has handed over (device + staging) matches the reported latency.
    // With a full six-chunk device the player's clock ran one chunk (about 40 ms) ahead of the sound.
    static constexpr uint32_t kDeviceRingBytes = kRingBytes - kChunkBytes;
    // Returned by a fill pass when the device stayed lost for 5 s with the check turned on, or
    // when writing failed and reopening the device kept failing for kUnrecoverableMs.
    static constexpr status_t kDeviceLost = -2005;
    static constexpr int64_t kLostTimeoutMs = 5000;
    static constexpr int64_t kUnrecoverableMs = 2000;
    static constexpr int kAudioPriority = -16;

    bool ready() const override;
    bool realtime() const override { return true; }
    int bufferSize() const override;
    int frameCount() const override;
    int channelCount() const override;
    int frameSize() const override;
    uint32_t latency() const override;
    float msecsPerFrame() const override { return -40.0f; }
    status_t getPosition(uint32_t* position) const override;
    int getSessionId() const override { return INVALID_OPERATION; }
    status_t open(uint32_t sampleRate, int channelCount, int format, int bufferCount, AudioCallback cb,
                  void* cookie) override;
    void start() override;
    int write(const void* buffer, size_t size) override { return INVALID_OPERATION; }
    void stop() override;
    void flush() override;
    void pause() override;
    void close() override;
    void setVolume(int volume, int checkLostBuffer) override;
    bool isBufferLost() const override { return mBufferLost.load(); }
    status_t setPlaybackRate(uint32_t rateMilliHz) override;
    bool delaysEndOfStream() const override { return true; }
    void setEffect(int effect) override;

    // Latency in ms of the six-chunk ring: ((7168000 / channels) / rate) * 6 / 2.
    static uint32_t ringLatencyMs(uint32_t sampleRate, int channelCount);

protected:
    AudioSinkPull();
    ~AudioSinkPull() override;

    // The device, always called with mDeviceLock held.
    virtual status_t openDevice_l(uint32_t sampleRate, int channelCount) = 0;
    virtual void closeDevice_l() = 0;
    // Bytes that can be written now, or a negative status when the device cannot tell.
    virtual int64_t freeBytes_l() = 0;
    // Bytes written but not played yet, or a negative status.
    virtual int64_t pendingBytes_l() = 0;
    // Writes whole frames; the bytes written or a negative status.
    virtual int64_t writeDevice_l(const uint8_t* data, uint32_t bytes) = 0;
    // Makes a failed device usable again (underrun, suspend, loss); OK when it is.
    virtual status_t recoverDevice_l(int64_t error) = 0;
    virtual void playDevice_l() = 0;
    // Stops consuming, keeping what is queued where the device can; returns the bytes it had to
    // discard instead.
    virtual int64_t pauseDevice_l() = 0;
    // Discards what is queued.
    virtual void flushDevice_l() = 0;
    // Plays the ring at hz from now on; *discarded receives the queued bytes lost on the way.
    virtual status_t setDeviceRate_l(uint32_t hz, int64_t* discarded) = 0;
    // How long the fill thread waits for space when the ring is full.
    virtual void waitForSpace();
    virtual const char* name() const = 0;

    uint32_t sampleRate() const { return mSampleRate; }
    // Stops the thread and releases the device; subclasses call it from their destructors.
    void shutdown();

    Mutex mDeviceLock;

private:
    friend class AudioSinkThread;

    // One pass of the fill thread: bytes written, 0, or a negative status.
    int64_t fillPass();
    void pauseInternal();
    void startThread_l();

    // --- The caller's thread (open/start/close); the fill thread only uses it while it runs.
    Ref<AudioSinkThread> mThread;
    // --- Guarded by mDeviceLock (the format is written by open while the fill thread is parked).
    uint8_t* mStaging;
    uint32_t mStagedOffset;  // first byte of the staging block not written yet
    uint32_t mStagedBytes;   // bytes of the staging block still to write
    AudioCallback mCallback;
    void* mCookie;
    uint32_t mSampleRate;
    int mChannelCount;
    int mFrameSize;
    uint32_t mLatency;
    uint64_t mTotalWritten;  // bytes since the last flush
    int64_t mFirstFailureMs;       // first "no space" answer while the lost check is on
    int64_t mFirstWriteFailureMs;  // first write that neither worked nor could be recovered
    uint32_t mFailedWrites;
    // --- Any thread.
    std::atomic<bool> mStarted;
    std::atomic<bool> mOpen;
    std::atomic<int> mVolume;
    std::atomic<int> mEffect;
    std::atomic<bool> mBufferLost;
    std::atomic<bool> mCheckLost;
    std::atomic<bool> mEffectsReset;
    // --- The fill thread.
    AudioEffects mEffects;
};

}  // namespace velmor
