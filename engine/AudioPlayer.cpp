#include "engine/AudioPlayer.h"

#include <soundtouch/SoundTouch.h>
#include <unistd.h>

extern "C" {
#include <sonic.h>
}

#include <algorithm>
#include <cstring>

#include "engine/MediaDefs.h"
#include "utils/Log.h"

#define LOG_TAG "VEL_AudioPlayer"

namespace velmor {

namespace {
// Frames per conversion step between 16-bit PCM and SoundTouch's float samples.
constexpr size_t kConvertFrames = 4096;
// At most this many frames are taken out of SoundTouch per input buffer.
constexpr size_t kMaxReceiveFrames = 128000;
}  // namespace

AudioPlayer::AudioPlayer(const Ref<PlayerBase::AudioSink>& audioSink, bool allowDeepBuffering, Observer* observer)
    : mInputBuffer(nullptr),
      mSampleRate(0),
      mNumChannels(0),
      mLatencyUs(0),
      mFrameSize(0),
      mNumFramesPlayed(0),
      mNumFramesPlayedSysTimeUs(GetNowUs()),
      mPositionTimeMediaUs(-1),
      mPositionTimeRealUs(-1),
      mSeeking(false),
      mReachedEOS(false),
      mFinalStatus(OK),
      mSeekTimeUs(0),
      mStarted(false),
      mFillHold(false),
      mIsFirstBuffer(false),
      mFirstBufferResult(OK),
      mFirstBuffer(nullptr),
      mAudioSink(audioSink),
      mAllowDeepBuffering(allowDeepBuffering),
      mObserver(observer),
      mPinnedTimeUs(-1),
      mEosPlayoutUs(0),
      mPausedAtUs(-1),
      mPinBeforePauseUs(-1),
      mSoundTouchStore(new uint8_t[kTempoStoreBytes]),
      mSonic(nullptr),
      mSonicStore(new uint8_t[kTempoStoreBytes]),
      mTempoReadPos(0),
      mTempoFramesAvail(0),
      mRate(10),
      mMute(false),
      mTempoActive(false),
      mUseSonic(false),
      mTempoSequenceMs(10),
      mSourceAlreadyStarted(false) {
    VLOGI("AudioPlayer");
}

AudioPlayer::~AudioPlayer() {
    VLOGI("~AudioPlayer [[");
    if (mStarted) reset();
    {
        Mutex::Autolock _t(mTempoLock);
        mSoundTouch.reset();
        if (mSonic) {
            sonicDestroyStream(mSonic);
            mSonic = nullptr;
        }
    }
    VLOGI("~AudioPlayer ]]");
}

void AudioPlayer::setSource(const Ref<MediaSource>& source) { mSource = source; }

void AudioPlayer::readFormat() {
    Ref<MetaData> format = mSource->getFormat();
    if (format == nullptr) return;
    format->findInt32(kKeySampleRate, &mSampleRate);
    format->findInt32(kKeyChannelCount, &mNumChannels);
    int32_t mask = 0;
    if (!format->findInt32(kKeyChannelMask, &mask) && mNumChannels > 2) {
        VLOGI("source format didn't specify channel mask, using (%d) channel order", mNumChannels);
    }
}

void AudioPlayer::readFirstBuffer(const MediaSource::ReadOptions* options) {
    mFirstBuffer = nullptr;
    mFirstBufferResult = mSource->read(&mFirstBuffer, options);
    if (mFirstBufferResult == INFO_FORMAT_CHANGED) {
        mFirstBufferResult = OK;
        mIsFirstBuffer = false;
    } else {
        mIsFirstBuffer = true;
    }
}

status_t AudioPlayer::openAndStartSink() {
    status_t err = mAudioSink->open(static_cast<uint32_t>(mSampleRate), mNumChannels, 16, 4,
                                    &AudioPlayer::AudioSinkCallback, this);
    if (err != OK) {
        if (mFirstBuffer) {
            mFirstBuffer->release();
            mFirstBuffer = nullptr;
        }
        return err;
    }
    mLatencyUs = static_cast<int64_t>(mAudioSink->latency()) * 1000;
    mFrameSize = static_cast<uint32_t>(mAudioSink->frameSize());
    {
        // Set before the sink starts: its fill thread reads these from the first fill on.
        Mutex::Autolock _l(mLock);
        mStarted = true;
        mFillHold = false;
        mPinnedTimeUs = -1;
        mPausedAtUs = -1;
        mPinBeforePauseUs = -1;
    }
    mAudioSink->start();
    return OK;
}

status_t AudioPlayer::start(bool sourceAlreadyStarted) {
    VLOGI("start");
    if (mSource == nullptr) return NO_INIT;
    mSourceAlreadyStarted = sourceAlreadyStarted;
    if (!sourceAlreadyStarted) {
        status_t err = mSource->start();
        if (err != OK) return err;
    }
    MediaSource::ReadOptions options;
    if (mSeeking) {
        options.setSeekTo(mSeekTimeUs, MediaSource::ReadOptions::SeekClosestSync);
        mSeeking = false;
    }
    readFirstBuffer(&options);
    readFormat();
    if (mAudioSink == nullptr) {
        if (mFirstBuffer) {
            mFirstBuffer->release();
            mFirstBuffer = nullptr;
        }
        if (!sourceAlreadyStarted) mSource->stop();
        return ERROR_UNSUPPORTED;
    }
    status_t err = openAndStartSink();
    if (err != OK && !sourceAlreadyStarted) mSource->stop();
    return err;
}

void AudioPlayer::pause(bool playPendingSamples) {
    VLOGI("pause");
    if (mAudioSink == nullptr) return;
    if (playPendingSamples) {
        {
            Mutex::Autolock _l(mLock);
            mFillHold = true;
        }
        mAudioSink->stop();
        Mutex::Autolock _l(mLock);
        mNumFramesPlayed = 0;
        mNumFramesPlayedSysTimeUs = GetNowUs();
    } else {
        mAudioSink->pause();
        Mutex::Autolock _l(mLock);
        const int64_t now = GetNowUs();
        if (mPausedAtUs < 0) {
            mPausedAtUs = now;
            mPinBeforePauseUs = mPinnedTimeUs;
        }
        // Frozen now, or where the sound ended if that was earlier.
        mPinnedTimeUs = mPinnedTimeUs >= 0 && mPinnedTimeUs < now ? mPinnedTimeUs : now;
    }
}

void AudioPlayer::resume() {
    VLOGI("resume");
    bool seeking;
    int64_t seekTimeUs;
    {
        Mutex::Autolock _l(mLock);
        seeking = mSeeking;
        seekTimeUs = mSeekTimeUs;
    }
    if (seeking && mSource != nullptr) {
        if (mFirstBuffer) {
            mFirstBuffer->release();
            mFirstBuffer = nullptr;
        }
        MediaSource::ReadOptions options;
        options.setSeekTo(seekTimeUs, MediaSource::ReadOptions::SeekClosestSync);
        readFirstBuffer(&options);
        Mutex::Autolock _l(mLock);
        mSeeking = false;
    }
    {
        Mutex::Autolock _l(mLock);
        mFillHold = false;
        if (mPausedAtUs >= 0) {
            const int64_t pausedUs = GetNowUs() - mPausedAtUs;
            mNumFramesPlayedSysTimeUs += pausedUs;
            mPinnedTimeUs = mPinBeforePauseUs >= 0 ? mPinBeforePauseUs + pausedUs : -1;
            mPausedAtUs = -1;
            mPinBeforePauseUs = -1;
        }
    }
    if (mAudioSink != nullptr) mAudioSink->start();
}

void AudioPlayer::reset() {
    VLOGI("reset");
    if (mAudioSink != nullptr) {
        mAudioSink->stop();
        mAudioSink->flush();
    }
    if (mFirstBuffer) {
        mFirstBuffer->release();
        mFirstBuffer = nullptr;
    }
    if (mInputBuffer) {
        mInputBuffer->release();
        mInputBuffer = nullptr;
    }
    if (mSource != nullptr) {
        mSource->stop();
        // Wait until every other holder of the decoder has let it go.
        WeakRef<MediaSource> weak(mSource);
        mSource.clear();
        while (weak.promote() != nullptr) usleep(1000);
    }
    Mutex::Autolock _l(mLock);
    mNumFramesPlayed = 0;
    mNumFramesPlayedSysTimeUs = GetNowUs();
    mPositionTimeMediaUs = mPositionTimeRealUs = -1;
    mSeeking = false;
    mReachedEOS = false;
    mEosPlayoutUs = 0;
    mPinnedTimeUs = -1;
    mPausedAtUs = -1;
    mPinBeforePauseUs = -1;
    mFinalStatus = OK;
    mStarted = false;
    mFillHold = false;
    mIsFirstBuffer = false;
    mTempoFramesAvail = 0;
    mTempoReadPos = 0;
}

status_t AudioPlayer::seekTo(int64_t timeUs) {
    Mutex::Autolock _l(mLock);
    mSeeking = true;
    mPositionTimeRealUs = mPositionTimeMediaUs = -1;
    mReachedEOS = false;
    mEosPlayoutUs = 0;
    mSeekTimeUs = timeUs;
    mNumFramesPlayed = 0;
    mNumFramesPlayedSysTimeUs = GetNowUs();
    if (mPausedAtUs >= 0) {
        // Seeking while paused: the clock stays frozen at the new start until resume.
        mPausedAtUs = mNumFramesPlayedSysTimeUs;
        mPinnedTimeUs = mNumFramesPlayedSysTimeUs;
    } else {
        mPinnedTimeUs = -1;
    }
    mPinBeforePauseUs = -1;
    if (!mStarted) {
        VLOGW("Not Started yet !!!");
    } else if (mAudioSink != nullptr) {
        mAudioSink->flush();
    }
    return OK;
}

bool AudioPlayer::isSeeking() {
    Mutex::Autolock _l(mLock);
    return mSeeking;
}

status_t AudioPlayer::reconfigure() {
    VLOGI("reconfigure");
    if (mAudioSink == nullptr) return INVALID_OPERATION;
    mAudioSink->stop();
    mAudioSink->close();
    readFormat();
    return openAndStartSink();
}

bool AudioPlayer::reachedEOS(status_t* finalStatus) {
    *finalStatus = OK;
    status_t status;
    {
        Mutex::Autolock _l(mLock);
        status = mFinalStatus;
    }
    if (status == INFO_FORMAT_CHANGED) {
        reconfigure();
        Mutex::Autolock _l(mLock);
        mFinalStatus = OK;
        mReachedEOS = false;
        mEosPlayoutUs = 0;
        return false;
    }
    Mutex::Autolock _l(mLock);
    *finalStatus = mFinalStatus;
    return mReachedEOS;
}

int AudioPlayer::AudioSinkCallback(PlayerBase::AudioSink*, void* buffer, uint32_t size, void* cookie, int event) {
    auto* me = static_cast<AudioPlayer*>(cookie);
    switch (event) {
        case PlayerBase::AudioSink::CB_EVENT_FILL_BUFFER:
            return static_cast<int>(me->fillBuffer(buffer, size));
        case PlayerBase::AudioSink::CB_EVENT_STREAM_END: {
            {
                Mutex::Autolock _l(me->mLock);
                me->mReachedEOS = true;
            }
            VLOGI("notifyAudioEOS");
            if (me->mObserver) me->mObserver->postAudioEOS(0);
            return 0;
        }
        case PlayerBase::AudioSink::CB_EVENT_TEAR_DOWN:
            VLOGI("notifyAudioTearDown");
            if (me->mObserver) me->mObserver->postAudioTearDown();
            return 0;
        default:
            return 0;
    }
}

size_t AudioPlayer::fillBuffer(void* data, size_t size) {
    {
        Mutex::Autolock _l(mLock);
        if (mReachedEOS) return 0;
    }
    if (mFrameSize == 0 || mSource == nullptr) return 0;
    size_t sizeDone = 0;
    size_t sizeRemaining = size;
    bool postSeekComplete = false;
    bool postEOS = false;
    int64_t postEOSDelayUs = 0;
    auto* out = static_cast<uint8_t*>(data);

    while (sizeRemaining > 0) {
        MediaSource::ReadOptions options;
        bool serveSeek = false;
        {
            Mutex::Autolock _l(mLock);
            if (mSeeking) {
                if (mIsFirstBuffer) {
                    if (mFirstBuffer) {
                        mFirstBuffer->release();
                        mFirstBuffer = nullptr;
                    }
                    mIsFirstBuffer = false;
                    if (mObserver) mObserver->postAudioStatusCheck();
                }
                options.setSeekTo(mSeekTimeUs, MediaSource::ReadOptions::SeekClosestSync);
                serveSeek = true;
                if (mInputBuffer) {
                    mInputBuffer->release();
                    mInputBuffer = nullptr;
                    Mutex::Autolock _t(mTempoLock);
                    mTempoFramesAvail = 0;
                    mTempoReadPos = 0;
                }
            }
        }

        size_t tempoAvail;
        {
            Mutex::Autolock _t(mTempoLock);
            tempoAvail = mTempoFramesAvail;
        }
        if (tempoAvail == 0 && mInputBuffer == nullptr) {
            status_t err;
            bool fromFirst = false;
            {
                Mutex::Autolock _l(mLock);
                fromFirst = mIsFirstBuffer;
                if (fromFirst) {
                    mInputBuffer = mFirstBuffer;
                    mFirstBuffer = nullptr;
                    err = mFirstBufferResult;
                    mIsFirstBuffer = false;
                }
            }
            if (fromFirst) {
                if (mObserver) mObserver->postAudioStatusCheck();
            } else {
                err = mSource->read(&mInputBuffer, serveSeek ? &options : nullptr);
            }
            bool fillHold;
            {
                Mutex::Autolock _l(mLock);
                if (mSeeking) {
                    mSeeking = false;
                    if (mObserver) postSeekComplete = true;
                }
                fillHold = mFillHold;
            }
            if (err == OK && fillHold) break;
            Mutex::Autolock _l(mLock);
            if (err != OK) {
                if (mInputBuffer) {
                    mInputBuffer->release();
                    mInputBuffer = nullptr;
                }
                if (mObserver && !mReachedEOS) {
                    uint32_t played = 0;
                    if (mAudioSink != nullptr) mAudioSink->getPosition(&played);
                    const int64_t additional = static_cast<int64_t>(sizeDone / mFrameSize);
                    int64_t pending = mNumFramesPlayed - static_cast<int64_t>(played) + additional;
                    if (pending < 0) pending = 0;
                    VLOGI("numFramesPendingPlayout %d numAdditionalFrames %d", static_cast<int>(pending),
                          static_cast<int>(additional));
                    const int64_t timeToCompletionUs = mSampleRate > 0 ? pending * 1000000 / mSampleRate : 0;
                    VLOGI("%d frames left to play, %lld us (%.2f secs)", static_cast<int>(pending),
                          static_cast<long long>(timeToCompletionUs), timeToCompletionUs / 1e6);
                    postEOS = true;
                    mEosPlayoutUs = timeToCompletionUs;
                    postEOSDelayUs =
                        (mAudioSink != nullptr && mAudioSink->delaysEndOfStream()) ? timeToCompletionUs : 0;
                }
                mReachedEOS = true;
                mFinalStatus = err;
                break;
            }
            if (mAudioSink != nullptr) mLatencyUs = static_cast<int64_t>(mAudioSink->latency()) * 1000;
            int64_t timeUs = 0;
            if (mInputBuffer && mInputBuffer->meta_data() != nullptr) {
                mInputBuffer->meta_data()->findInt64(kKeyTime, &timeUs);
            }
            mPositionTimeMediaUs = timeUs;
            mPositionTimeRealUs = mSampleRate > 0
                ? (mNumFramesPlayed + static_cast<int64_t>(sizeDone / mFrameSize)) * 1000000 / mSampleRate
                : 0;
        }

        {
            Mutex::Autolock _t(mTempoLock);
            tempoAvail = mTempoFramesAvail;
        }
        if (tempoAvail == 0 && mInputBuffer && mInputBuffer->range_length() == 0) {
            mInputBuffer->release();
            mInputBuffer = nullptr;
            continue;
        }

        size_t copied = 0;
        if (tempoFill(out + sizeDone, sizeRemaining, &copied)) {
            sizeDone += copied;
            sizeRemaining -= copied;
            if (copied == 0 && mInputBuffer && mInputBuffer->range_length() == 0) {
                mInputBuffer->release();
                mInputBuffer = nullptr;
            }
            continue;
        }
        if (!mInputBuffer) continue;
        const size_t n = std::min(sizeRemaining, mInputBuffer->range_length());
        if (mMute) {
            memset(out + sizeDone, 0, n);
        } else {
            memcpy(out + sizeDone,
                   static_cast<const uint8_t*>(mInputBuffer->data()) + mInputBuffer->range_offset(), n);
        }
        mInputBuffer->set_range(mInputBuffer->range_offset() + n, mInputBuffer->range_length() - n);
        sizeDone += n;
        sizeRemaining -= n;
    }

    {
        Mutex::Autolock _l(mLock);
        mNumFramesPlayed += static_cast<int64_t>(sizeDone / mFrameSize);
        mNumFramesPlayedSysTimeUs = GetNowUs();
        mPinnedTimeUs = mReachedEOS ? mNumFramesPlayedSysTimeUs + mEosPlayoutUs : -1;
    }

    if (postEOS) {
        int64_t delayMs = (postEOSDelayUs / 1000) / 100 * 100;
        if (delayMs >= 5000) delayMs = 1011;
        if (delayMs > 0) usleep(static_cast<useconds_t>(delayMs * 1000));
        VLOGI("fillBuffer >>> postAudioEOS (%lld) -> %d", static_cast<long long>(postEOSDelayUs),
              static_cast<int>(delayMs));
        if (mObserver) mObserver->postAudioEOS(1011);
        if (mAudioSink != nullptr) mAudioSink->flush();
    }
    if (postSeekComplete) {
        VLOGI("fillBuffer >>> postAudioSeekComplete");
        mObserver->postAudioSeekComplete();
    }
    return sizeDone;
}

bool AudioPlayer::tempoFill(uint8_t* out, size_t requested, size_t* copied) {
    *copied = 0;
    Mutex::Autolock _t(mTempoLock);
    if (!mTempoActive) return false;
    const bool soundTouch = !mUseSonic && mSoundTouch;
    const bool sonic = mUseSonic && mSonic;
    if (!soundTouch && !sonic) return false;
    const size_t channels = static_cast<size_t>(mNumChannels > 0 ? mNumChannels : 1);
    const size_t frameBytes = channels * 2;
    uint8_t* store = soundTouch ? mSoundTouchStore.get() : mSonicStore.get();
    const size_t storeFrames = kTempoStoreBytes / frameBytes;

    if (mInputBuffer && mInputBuffer->range_length() > 0) {
        const auto* pcm = reinterpret_cast<const int16_t*>(static_cast<const uint8_t*>(mInputBuffer->data()) +
                                                           mInputBuffer->range_offset());
        const size_t frames = mInputBuffer->range_length() / frameBytes;
        size_t received = 0;
        if (soundTouch) {
            float scratch[kConvertFrames * 8];
            const size_t step = sizeof(scratch) / sizeof(float) / channels;
            for (size_t done = 0; done < frames;) {
                const size_t n = std::min(step, frames - done);
                for (size_t i = 0; i < n * channels; ++i) scratch[i] = pcm[done * channels + i] / 32768.0f;
                mSoundTouch->putSamples(scratch, static_cast<unsigned>(n));
                done += n;
            }
            const size_t limit = std::min(kMaxReceiveFrames, storeFrames);
            auto* dst = reinterpret_cast<int16_t*>(store);
            for (;;) {
                const size_t want = std::min(step, limit - received);
                if (want == 0) break;
                const unsigned got = mSoundTouch->receiveSamples(scratch, static_cast<unsigned>(want));
                if (got == 0) break;
                for (size_t i = 0; i < got * channels; ++i) {
                    float v = scratch[i] * 32768.0f;
                    v = std::max(-32768.0f, std::min(32767.0f, v));
                    dst[(received * channels) + i] = static_cast<int16_t>(v);
                }
                received += got;
            }
        } else {
            sonicWriteShortToStream(mSonic, const_cast<short*>(pcm), static_cast<int>(frames));
            const int avail = sonicSamplesAvailable(mSonic);
            const int want = std::min(avail, static_cast<int>(storeFrames));
            if (want > 0) {
                received = static_cast<size_t>(
                    sonicReadShortFromStream(mSonic, reinterpret_cast<short*>(store), want));
            }
        }
        mTempoFramesAvail += received;
        mInputBuffer->set_range(mInputBuffer->range_offset() + mInputBuffer->range_length(), 0);
    }
    if (mTempoFramesAvail < 1) return true;
    const size_t n = std::min(requested / frameBytes * frameBytes, mTempoFramesAvail * frameBytes);
    if (mMute) {
        memset(out, 0, n);
    } else {
        memcpy(out, store + mTempoReadPos * frameBytes, n);
    }
    mTempoFramesAvail -= n / frameBytes;
    mTempoReadPos += n / frameBytes;
    if (mTempoFramesAvail == 0) mTempoReadPos = 0;
    *copied = n;
    return true;
}

int64_t AudioPlayer::clockReferenceUs_l() const {
    const int64_t now = GetNowUs();
    return mPinnedTimeUs >= 0 && mPinnedTimeUs < now ? mPinnedTimeUs : now;
}

int64_t AudioPlayer::getRealTimeUs() {
    Mutex::Autolock _l(mLock);
    if (mSampleRate == 0) return 0;
    const int64_t ref = clockReferenceUs_l();
    return mNumFramesPlayed * 1000000 / mSampleRate - mLatencyUs + (ref - mNumFramesPlayedSysTimeUs);
}

int64_t AudioPlayer::getMediaTimeUs() {
    Mutex::Autolock _l(mLock);
    if (mPositionTimeMediaUs >= 0 && mPositionTimeRealUs >= 0) {
        if (mSampleRate == 0) return mPositionTimeMediaUs;
        const int64_t ref = clockReferenceUs_l();
        const int64_t realTimeUs =
            mNumFramesPlayed * 1000000 / mSampleRate - mLatencyUs + (ref - mNumFramesPlayedSysTimeUs);
        int64_t offset = realTimeUs - mPositionTimeRealUs;
        if (offset < 0) offset = 0;
        return mPositionTimeMediaUs + offset;
    }
    return mSeeking ? mSeekTimeUs : 0;
}

bool AudioPlayer::getMediaTimeMapping(int64_t* realTimeUs, int64_t* mediaTimeUs) {
    Mutex::Autolock _l(mLock);
    *realTimeUs = mPositionTimeRealUs;
    *mediaTimeUs = mPositionTimeMediaUs;
    return mPositionTimeRealUs != -1 && mPositionTimeMediaUs != -1;
}

bool AudioPlayer::setPlaybackRate(float rate) {
    if (rate == static_cast<float>(mRate) || !mStarted) return false;
    Mutex::Autolock _t(mTempoLock);
    mTempoActive = true;
    mRate = static_cast<int32_t>(rate);
    const double tempoPercent = (rate - 10.0) * 10.0;
    if (!mSoundTouch && mSampleRate > 0 && mNumChannels > 0) {
        mSoundTouch.reset(new soundtouch::SoundTouch());
        mSoundTouch->setSampleRate(static_cast<unsigned>(mSampleRate));
        mSoundTouch->setChannels(static_cast<unsigned>(mNumChannels));
        mSoundTouch->setSetting(SETTING_USE_QUICKSEEK, 0);
        mSoundTouch->setSetting(SETTING_USE_AA_FILTER, 1);
    }
    if (mSoundTouch) {
        if (mTempoSequenceMs >= 0) mSoundTouch->setSetting(SETTING_SEQUENCE_MS, mTempoSequenceMs);
        mSoundTouch->setTempoChange(tempoPercent);
    }
    if (mUseSonic) {
        if (!mSonic && mSampleRate > 0 && mNumChannels > 0) mSonic = sonicCreateStream(mSampleRate, mNumChannels);
        if (mSonic) {
            sonicSetSpeed(mSonic, rate / 10.0f);
            VLOGI("Use Sonic setPlayingRate tempo %d", static_cast<int>(tempoPercent));
        }
    }
    return true;
}

void AudioPlayer::setMute(bool mute) { mMute = mute; }

void AudioPlayer::setUseSonic(bool useSonic) {
    Mutex::Autolock _t(mTempoLock);
    mUseSonic = useSonic;
}

void AudioPlayer::setTempoSequenceMs(int32_t ms) {
    Mutex::Autolock _t(mTempoLock);
    mTempoSequenceMs = ms;
}

status_t AudioPlayer::setSinkPlaybackRate(int32_t rateMilliHz) {
    if (mAudioSink == nullptr) return NO_INIT;
    return mAudioSink->setPlaybackRate(static_cast<uint32_t>(rateMilliHz));
}

}  // namespace velmor
