// Moves decoded PCM from the sound decoder into the audio sink and is the media clock while
// audio plays. Playback rates other than normal pass through a time-stretch stage (SoundTouch
// or Sonic) so the tempo changes without changing the pitch.
//
// Threads: start, pause, resume, reset, seekTo and the rate/mute setters come from the engine's
// threads; fillBuffer runs on the sink's fill thread (through the callback); the clock queries
// from any thread. mLock guards the clock and seek/end state (the fields from mNumFramesPlayed to
// mPinBeforePauseUs, mFirstBuffer's hand-over); mTempoLock the time-stretch stage. Neither is
// held across a source read (which may wait for the network) or a sink call that waits for the
// fill thread. mInputBuffer belongs to the fill thread while the sink plays and to the caller of
// start/reset while it does not.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/MediaSource.h"
#include "engine/PlayerBase.h"
#include "engine/TimeSource.h"
#include "utils/Mutex.h"

struct sonicStreamStruct;

namespace soundtouch {
class SoundTouch;
}

namespace velmor {

class AudioPlayer : public TimeSource {
public:
    // What the audio player tells its owner; called from the sink's fill thread.
    class Observer {
    public:
        virtual ~Observer() = default;
        virtual void postAudioEOS(int64_t delayUs) = 0;
        virtual void postAudioSeekComplete() = 0;
        virtual void postAudioTearDown() = 0;
        virtual void postAudioStatusCheck() = 0;
    };

    static constexpr size_t kTempoStoreBytes = 512000;

    AudioPlayer(const Ref<PlayerBase::AudioSink>& audioSink, bool allowDeepBuffering, Observer* observer);
    ~AudioPlayer() override;

    void setSource(const Ref<MediaSource>& source);
    status_t start(bool sourceAlreadyStarted = false);
    void pause(bool playPendingSamples = false);
    void resume();
    void reset();
    status_t seekTo(int64_t timeUs);
    bool isSeeking();
    bool reachedEOS(status_t* finalStatus);

    int64_t getRealTimeUs() override;
    int64_t getMediaTimeUs();
    bool getMediaTimeMapping(int64_t* realTimeUs, int64_t* mediaTimeUs);

    // Rate in tenths of normal speed; true when the rate was applied.
    bool setPlaybackRate(float rate);
    void setMute(bool mute);
    void setUseSonic(bool useSonic);
    void setTempoSequenceMs(int32_t ms);
    status_t setSinkPlaybackRate(int32_t rateMilliHz);
    bool isStarted() const { return mStarted; }

private:
    static int AudioSinkCallback(PlayerBase::AudioSink* sink, void* buffer, uint32_t size, void* cookie, int event);
    size_t fillBuffer(void* data, size_t size);
    // The time-stretch stage; false when it does not take the request.
    bool tempoFill(uint8_t* out, size_t requested, size_t* copied);
    status_t reconfigure();
    status_t openAndStartSink();
    void readFirstBuffer(const MediaSource::ReadOptions* options);
    void readFormat();

    Ref<MediaSource> mSource;
    MediaBuffer* mInputBuffer;
    int32_t mSampleRate;
    int32_t mNumChannels;
    int64_t mLatencyUs;
    uint32_t mFrameSize;
    Mutex mLock;
    Mutex mTempoLock;
    int64_t mNumFramesPlayed;
    int64_t mNumFramesPlayedSysTimeUs;
    int64_t mPositionTimeMediaUs;
    int64_t mPositionTimeRealUs;
    bool mSeeking;
    bool mReachedEOS;
    status_t mFinalStatus;
    int64_t mSeekTimeUs;
    bool mStarted;
    bool mFillHold;
    bool mIsFirstBuffer;
    status_t mFirstBufferResult;
    MediaBuffer* mFirstBuffer;
    Ref<PlayerBase::AudioSink> mAudioSink;
    [[maybe_unused]] bool mAllowDeepBuffering;
    Observer* mObserver;
    int64_t mPinnedTimeUs;
    // At the end of the stream: how long the sound handed to the sink still plays. The clock runs
    // on for that long and stops where the sound really ends.
    int64_t mEosPlayoutUs;
    // A pause without drain froze the clock at this moment (-1: not paused); the pin it replaced
    // (the end of the sound after end of stream, or -1). Resuming moves the clock's base on by
    // the time spent paused, so it carries on from where it stopped.
    int64_t mPausedAtUs;
    int64_t mPinBeforePauseUs;
    // The clock's reference moment: now, or the pinned moment once that has passed.
    int64_t clockReferenceUs_l() const;
    std::unique_ptr<soundtouch::SoundTouch> mSoundTouch;
    std::unique_ptr<uint8_t[]> mSoundTouchStore;
    sonicStreamStruct* mSonic;
    std::unique_ptr<uint8_t[]> mSonicStore;
    size_t mTempoReadPos;
    size_t mTempoFramesAvail;
    int32_t mRate;
    bool mMute;
    bool mTempoActive;
    bool mUseSonic;
    int32_t mTempoSequenceMs;
    bool mSourceAlreadyStarted;
};

}  // namespace velmor
