#include "platform/linux/AudioSinkAlsa.h"

#include <cerrno>
#include <string>

#include "utils/Log.h"

#define LOG_TAG "VEL_AudioSinkAlsa"

namespace velmor {

namespace {
// Reopening a lost device is tried at most this often.
constexpr int64_t kReopenIntervalMs = 100;
}  // namespace

AudioSinkAlsa::AudioSinkAlsa(const char* device)
    : mDevice(device ? device : "default"), mPcm(nullptr), mDeviceRate(0), mChannels(0), mFrameBytes(0),
      mBufferFrames(0), mCanPause(false), mLastReopenMs(0) {
    VLOGI("AudioSinkDirectSound");
}

AudioSinkAlsa::~AudioSinkAlsa() {
    VLOGI("~AudioSinkDirectSound");
    shutdown();
}

std::string AudioSinkAlsa::deviceNameFor(intptr_t value) {
    if (value <= 0) return "default";
    return "plughw:" + std::to_string(value - 1);
}

status_t AudioSinkAlsa::openPcm_l(uint32_t rate, int channels) {
    snd_pcm_t* pcm = nullptr;
    // Non-blocking: a write never waits for the device (the fill thread writes what fits and
    // waits for space itself), so a stuck sound server cannot hold the thread or stop/close.
    int err = snd_pcm_open(&pcm, mDevice.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (err < 0) {
        VLOGE("snd_pcm_open(%s): %s", mDevice.c_str(), snd_strerror(err));
        return NO_INIT;
    }

    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_uframes_t period = kChunkBytes / static_cast<uint32_t>(channels * 2);
    snd_pcm_uframes_t buffer = kDeviceRingBytes / static_cast<uint32_t>(channels * 2);
    unsigned int exactRate = rate;
    const char* step = nullptr;
    if ((err = snd_pcm_hw_params_any(pcm, hw)) < 0) step = "any";
    else if ((err = snd_pcm_hw_params_set_rate_resample(pcm, hw, 1)) < 0) step = "resample";
    else if ((err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0) step = "access";
    else if ((err = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE)) < 0) step = "format";
    else if ((err = snd_pcm_hw_params_set_channels(pcm, hw, static_cast<unsigned>(channels))) < 0) step = "channels";
    else if ((err = snd_pcm_hw_params_set_rate(pcm, hw, exactRate, 0)) < 0) step = "rate";
    else if ((err = snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer)) < 0) step = "buffer size";
    else if ((err = snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, nullptr)) < 0) step = "period size";
    else if ((err = snd_pcm_hw_params(pcm, hw)) < 0) step = "hw params";
    if (step != nullptr) {
        VLOGE("%s: %s (%u Hz, %d channels): %s", mDevice.c_str(), step, rate, channels, snd_strerror(err));
        VLOGE("DirectSound CreateSoundBuffer FAIL");
        snd_pcm_close(pcm);
        return NO_INIT;
    }
    snd_pcm_hw_params_get_buffer_size(hw, &buffer);
    mCanPause = snd_pcm_hw_params_can_pause(hw) != 0;

    // Playing starts with the first write, like a looping buffer started before it is filled.
    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    if ((err = snd_pcm_sw_params_current(pcm, sw)) < 0 || (err = snd_pcm_sw_params_set_start_threshold(pcm, sw, 1)) < 0 ||
        (err = snd_pcm_sw_params_set_avail_min(pcm, sw, period)) < 0 || (err = snd_pcm_sw_params(pcm, sw)) < 0) {
        VLOGE("%s: sw params: %s", mDevice.c_str(), snd_strerror(err));
        VLOGE("DirectSound QueryInterface(DirectSoundBuffer8) FAIL");
        snd_pcm_close(pcm);
        return NO_INIT;
    }
    mPcm = pcm;
    mDeviceRate = rate;
    mChannels = channels;
    mFrameBytes = channels * 2;
    mBufferFrames = buffer;
    VLOGI("%s open: %u Hz, %d channels, ring %lu frames, period %lu frames%s", mDevice.c_str(), rate, channels,
          static_cast<unsigned long>(buffer), static_cast<unsigned long>(period), mCanPause ? "" : ", no pause");
    return OK;
}

status_t AudioSinkAlsa::openDevice_l(uint32_t sampleRate, int channelCount) {
    mDeviceLock.assertHeld();
    closeDevice_l();
    return openPcm_l(sampleRate, channelCount);
}

void AudioSinkAlsa::closeDevice_l() {
    if (mPcm != nullptr) {
        snd_pcm_drop(mPcm);
        snd_pcm_close(mPcm);
        mPcm = nullptr;
    }
}

int64_t AudioSinkAlsa::freeBytes_l() {
    mDeviceLock.assertHeld();
    if (mPcm == nullptr) return -ENODEV;
    snd_pcm_sframes_t avail = snd_pcm_avail(mPcm);
    if (avail == -EPIPE || avail == -ESTRPIPE) {
        // An underrun (or a suspend) is not a loss: start over from the next write.
        VLOGW("%s: %s, recovering", mDevice.c_str(), avail == -EPIPE ? "underrun" : "suspended");
        if (snd_pcm_recover(mPcm, static_cast<int>(avail), 1) < 0) return avail;
        avail = snd_pcm_avail(mPcm);
    }
    if (avail < 0) return avail;
    if (static_cast<snd_pcm_uframes_t>(avail) > mBufferFrames) avail = static_cast<snd_pcm_sframes_t>(mBufferFrames);
    return static_cast<int64_t>(avail) * mFrameBytes;
}

int64_t AudioSinkAlsa::pendingBytes_l() {
    if (mPcm == nullptr) return -ENODEV;
    snd_pcm_sframes_t delay = 0;
    int err = snd_pcm_delay(mPcm, &delay);
    if (err == -EPIPE) return 0;  // ran dry: everything written was played
    if (err < 0) return err;
    if (delay < 0) delay = 0;
    return static_cast<int64_t>(delay) * mFrameBytes;
}

int64_t AudioSinkAlsa::writeDevice_l(const uint8_t* data, uint32_t bytes) {
    mDeviceLock.assertHeld();
    if (mPcm == nullptr) return -ENODEV;
    snd_pcm_sframes_t frames = snd_pcm_writei(mPcm, data, bytes / static_cast<uint32_t>(mFrameBytes));
    if (frames == -EAGAIN) return 0;
    if (frames < 0) return frames;
    return static_cast<int64_t>(frames) * mFrameBytes;
}

status_t AudioSinkAlsa::recoverDevice_l(int64_t error) {
    mDeviceLock.assertHeld();
    if (mPcm != nullptr && (error == -EPIPE || error == -ESTRPIPE || error == -EINTR)) {
        if (snd_pcm_recover(mPcm, static_cast<int>(error), 1) == 0) return OK;
    }
    // The device is gone (server restarted, card removed): open it again with the same format.
    int64_t now = systemTime() / 1000000;
    if (now - mLastReopenMs < kReopenIntervalMs) return NO_INIT;
    mLastReopenMs = now;
    if (mPcm != nullptr) VLOGW("%s: %s, reopening", mDevice.c_str(), snd_strerror(static_cast<int>(error)));
    uint32_t rate = mDeviceRate;
    int channels = mChannels;
    closeDevice_l();
    if (rate == 0 || channels == 0) return NO_INIT;
    return openPcm_l(rate, channels);
}

void AudioSinkAlsa::playDevice_l() {
    if (mPcm == nullptr) return;
    snd_pcm_state_t state = snd_pcm_state(mPcm);
    if (state == SND_PCM_STATE_PAUSED) {
        snd_pcm_pause(mPcm, 0);
    } else if (state == SND_PCM_STATE_XRUN || state == SND_PCM_STATE_SUSPENDED) {
        snd_pcm_prepare(mPcm);
    }
}

int64_t AudioSinkAlsa::pauseDevice_l() {
    if (mPcm == nullptr) return 0;
    if (snd_pcm_state(mPcm) != SND_PCM_STATE_RUNNING) return 0;
    if (mCanPause && snd_pcm_pause(mPcm, 1) == 0) return 0;
    // No pause on this device: what is queued is dropped and the next write starts afresh.
    snd_pcm_sframes_t delay = 0;
    if (snd_pcm_delay(mPcm, &delay) < 0 || delay < 0) delay = 0;
    snd_pcm_drop(mPcm);
    snd_pcm_prepare(mPcm);
    return static_cast<int64_t>(delay) * mFrameBytes;
}

void AudioSinkAlsa::flushDevice_l() {
    if (mPcm == nullptr) return;
    snd_pcm_drop(mPcm);
    snd_pcm_prepare(mPcm);
}

status_t AudioSinkAlsa::setDeviceRate_l(uint32_t hz, int64_t* discarded) {
    *discarded = 0;
    if (hz == mDeviceRate && mPcm != nullptr) return OK;
    // A PCM's rate is fixed once configured: reopen at the new rate. What was queued is lost.
    int64_t pending = pendingBytes_l();
    if (pending > 0) *discarded = pending;
    int channels = mChannels;
    uint32_t oldRate = mDeviceRate;
    closeDevice_l();
    status_t err = openPcm_l(hz, channels);
    if (err != OK) openPcm_l(oldRate, channels);  // back to the rate that worked before
    return err;
}

}  // namespace velmor
