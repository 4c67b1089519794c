// The sound card sink: the pull-model ring on an ALSA playback PCM (16-bit interleaved), opened
// non-blocking so no write waits on the device. A write that fails is recovered in place
// (underrun, suspend) or by reopening the PCM at most every 100 ms; when that keeps failing the
// fill pass reports the device lost. Every field below is guarded by mDeviceLock (all methods
// are _l methods called by AudioSinkPull with it held).
#pragma once

#include <alsa/asoundlib.h>

#include <string>

#include "platform/linux/AudioSinkPull.h"

namespace velmor {

class AudioSinkAlsa : public AudioSinkPull {
public:
    // device: an ALSA PCM name; "default" for the system's default output.
    explicit AudioSinkAlsa(const char* device = "default");
    ~AudioSinkAlsa() override;

    // The PCM name for a host's device value: 0 is "default", n > 0 is card n - 1 through the
    // plug layer ("plughw:<n-1>").
    static std::string deviceNameFor(intptr_t value);

protected:
    status_t openDevice_l(uint32_t sampleRate, int channelCount) override;
    void closeDevice_l() override;
    int64_t freeBytes_l() override;
    int64_t pendingBytes_l() override;
    int64_t writeDevice_l(const uint8_t* data, uint32_t bytes) override;
    status_t recoverDevice_l(int64_t error) override;
    void playDevice_l() override;
    int64_t pauseDevice_l() override;
    void flushDevice_l() override;
    status_t setDeviceRate_l(uint32_t hz, int64_t* discarded) override;
    const char* name() const override { return "AudioSinkAlsa"; }

private:
    status_t openPcm_l(uint32_t rate, int channels);

    std::string mDevice;
    snd_pcm_t* mPcm;
    uint32_t mDeviceRate;
    int mChannels;
    int mFrameBytes;
    snd_pcm_uframes_t mBufferFrames;
    bool mCanPause;
    int64_t mLastReopenMs;
};

}  // namespace velmor
