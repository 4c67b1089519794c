// The null audio sink: the pull-model ring with a device that consumes the PCM at the sample
// rate by the monotonic clock and discards it, so the media clock runs as with a sound card.
#pragma once

#include "platform/linux/AudioSinkPull.h"

namespace velmor {

class AudioSinkNull : public AudioSinkPull {
public:
    AudioSinkNull();
    ~AudioSinkNull() override;

protected:
    status_t openDevice_l(uint32_t sampleRate, int channelCount) override;
    void closeDevice_l() override;
    int64_t freeBytes_l() override;
    int64_t pendingBytes_l() override;
    int64_t writeDevice_l(const uint8_t* data, uint32_t bytes) override;
    status_t recoverDevice_l(int64_t error) override { return OK; }
    void playDevice_l() override;
    int64_t pauseDevice_l() override;
    void flushDevice_l() override;
    status_t setDeviceRate_l(uint32_t hz, int64_t* discarded) override;
    const char* name() const override { return "AudioSinkNull"; }

private:
    // Moves the play position on by the time passed since the last call.
    void advance_l();

    // --- Guarded by mDeviceLock (every _l method runs with it held).
    uint32_t mRate;
    int mFrameBytes;
    bool mRunning;
    int64_t mLastNs;
    int64_t mQueuedFrames;   // written and not yet consumed
    double mCreditFrames;    // consumable time not used yet (fraction of a frame)
};

}  // namespace velmor
