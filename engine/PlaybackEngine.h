// The playback engine behind the player front: source selection, preparation, the playback
// loop, audio/video synchronisation and the numbered invoke requests.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/AudioPlayer.h"
#include "engine/DataSource.h"
#include "engine/MediaExtractor.h"
#include "engine/MediaSource.h"
#include "engine/PlayerBase.h"
#include "engine/SinkFrameRenderer.h"
#include "engine/TimeSource.h"
#include "engine/TimerQueue.h"
#include "utils/Mutex.h"
#include "utils/Payload.h"
#include "utils/RefCounted.h"

namespace velmor {

class PlayerFront;
class PlaybackEngine;

// An event on one of the engine's queues that calls one engine method.
class EngineEvent : public TimerQueue::Event {
public:
    typedef void (PlaybackEngine::*Method)();
    EngineEvent(PlaybackEngine* engine, Method method, const char* name)
        : mEngine(engine), mMethod(method), mName(name) {}
    void fire(TimerQueue*, int64_t) override { (mEngine->*mMethod)(); }
    const char* name() const { return mName; }

private:
    PlaybackEngine* mEngine;
    Method mMethod;
    const char* mName;
};

// The same, passing the event itself to the method.
class EngineReporterEvent : public TimerQueue::Event {
public:
    typedef void (PlaybackEngine::*Method)(EngineReporterEvent* event);
    EngineReporterEvent(PlaybackEngine* engine, Method method, const char* name)
        : mEngine(engine), mMethod(method), mName(name) {}
    void fire(TimerQueue*, int64_t) override { (mEngine->*mMethod)(this); }
    const char* name() const { return mName; }

private:
    PlaybackEngine* mEngine;
    Method mMethod;
    const char* mName;
};

// Process-wide OS and version texts the HTTP layer puts in its User-Agent.
struct UserAgentInfo {
    std::string os;
    std::string version;
    std::string third;
};
UserAgentInfo GetUserAgentInfo();

class PlaybackEngine : public AudioPlayer::Observer {
public:
    enum Flags : uint32_t {
        PLAYING = 0x1,
        LOOPING = 0x2,
        FIRST_FRAME = 0x4,
        PREPARING = 0x8,
        PREPARED = 0x10,
        AT_EOS = 0x20,
        PREPARE_CANCELLED = 0x40,
        CACHE_UNDERRUN = 0x80,
        AUDIO_AT_EOS = 0x100,
        VIDEO_AT_EOS = 0x200,
        AUTO_LOOPING = 0x400,
        PREPARING_CONNECTED = 0x800,
        SEEK_PREVIEW = 0x1000,
        AUDIO_RUNNING = 0x2000,
        AUDIOPLAYER_STARTED = 0x4000,
        URLS_HIDDEN = 0x8000,
        TEXT_RUNNING = 0x10000,
        TEXTPLAYER_INITIALIZED = 0x20000,
        SLOW_DECODER = 0x40000,
        RETRY_PENDING = 0x80000,
        PLAYED_ONCE = 0x100000,
        TEXT2_RUNNING = 0x200000,
        TEXT2_INITIALIZED = 0x400000,
    };
    enum FlagMode { SET = 0, CLEAR = 1, ASSIGN = 2 };

    PlaybackEngine();
    ~PlaybackEngine();

    void setListener(const WeakRef<PlayerFront>& listener);
    void setAudioSink(const Ref<PlayerBase::AudioSink>& sink);
    void setVideoSink(const Ref<PlayerBase::VideoSink>& sink);
    bool hasVideoSink();
    status_t setVideoArea(int32_t a, int32_t b);
    status_t setVideoSurface(int32_t a, int32_t b, int32_t c);
    bool setVideoSinkOption(int32_t value);

    status_t setStorageManager(int32_t value);
    status_t setDataSource(int32_t fd);
    status_t setDataSource(const char* uri, const std::map<std::string, std::string>* headers, const char* extra);
    status_t prepare();
    status_t prepareAsync();
    status_t play();
    status_t pause();
    status_t stop();
    status_t reset();
    bool isPlaying();
    status_t setLooping(bool loop);
    status_t seekTo(int64_t timeUs);
    status_t seekToExact(int64_t timeUs);
    status_t getPosition(int64_t* positionUs);
    status_t getDuration(int64_t* durationUs);
    status_t getLiveDurationUs(int64_t* durationUs);
    bool isLiveSeekable();
    status_t invoke(const Payload& request, Payload* reply);
    status_t setParameter(int32_t key, const Payload& request);
    status_t getParameter(int32_t key, Payload* reply);
    status_t dump(int fd, const char* args);
    status_t getErrorText(const wchar_t* language, int32_t code, wchar_t* out);
    void postVideoRenderEvent(int64_t delayUs);
    int32_t getSourceFlag();
    void setVideoOnlyFallback(bool on);
    bool hasNext(int32_t index);
    bool getVideoSize(int32_t* width, int32_t* height);

    uint32_t flags() const { return mFlags; }
    void modifyFlags(uint32_t value, FlagMode mode);

    // Under mLock.
    void notifyListener_l(int32_t msg, int32_t ext1 = 0, int32_t ext2 = 0);

    // AudioPlayer::Observer, called from the sink's fill thread.
    void postAudioEOS(int64_t delayUs) override;
    void postAudioSeekComplete() override;
    void postAudioTearDown() override;
    void postAudioStatusCheck() override;

private:
    friend class EngineEvent;
    friend class EngineReporterEvent;

    struct TrackStat {
        std::string mime;
        std::string decoderName;
        int32_t width = 0;
        int32_t height = 0;
    };
    struct Stats {
        int32_t fd = -1;
        std::string uri;
        int64_t bitrate = -1;
        uint32_t flags = 0;
        int32_t audioTrackIndex = -1;
        int32_t videoTrackIndex = -1;
        std::vector<TrackStat> tracks;
        int64_t numVideoFramesDecoded = 0;
        int64_t numVideoFramesDropped = 0;
    };

    status_t setDataSource_l(const char* uri, const std::map<std::string, std::string>* headers, const char* extra);
    status_t prepare_l();
    status_t prepareAsync_l();
    status_t play_l();
    status_t pause_l();
    void reset_l();
    status_t seekTo_l(int64_t timeUs);
    void cancelPlayerEvents(bool keepNotifications);
    void finishAsyncPrepare_l();
    void abortPrepare(status_t err);
    status_t skip_l(int32_t index);
    status_t finishSetDataSource_l();
    status_t attachExtractor_l(const Ref<MediaExtractor>& extractor);
    status_t initVideoDecoder(uint32_t flags);
    status_t initAudioDecoder();
    void shutdownVideoDecoder_l();
    void beginPrepareAsync_l();
    status_t startAudioPlayer_l(bool sendErrorNotification = true);
    void createAudioPlayer_l();
    void deleteAudioPlayer_l();
    void notifyVideoSize_l();
    void initRenderer_l();
    void finishSeekIfNecessary(int64_t videoTimeUs);
    void notifyIfMediaStarted_l();
    void postVideoEvent_l(int64_t delayUs = -1);
    void postStreamDoneEvent_l(status_t status);
    void postVideoLagEvent_l();
    void postCheckAudioStatusEvent(int64_t delayUs);
    void postBufferingEvent_l(int64_t delayUs = -1);
    void updateDuration_l(const Ref<MetaData>& format);
    status_t trackInfo_l(Payload* reply);
    status_t selectTrack_l(int32_t index, bool select, bool secondary);
    int32_t countTracks_l();

    // Event handlers.
    void onPrepareAsyncEvent();
    void onVideoEvent();
    void onStreamDone();
    void onBufferingUpdate();
    void onVideoLagUpdate();
    void onCheckAudioStatus();
    void onAudioTearDownEvent();
    void onApplicationDataEvent();
    void onVideoRenderEvent(EngineReporterEvent* event);
    void onThumbnailEvent(EngineReporterEvent* event);

    Mutex mLock;
    Mutex mMiscStateLock;
    Mutex mStatsLock;
    Mutex mAudioLock;

    TimerQueue mQueue;
    bool mQueueStarted;
    TimerQueue mReporterQueue;
    bool mReporterQueueStarted;

    WeakRef<PlayerFront> mListener;
    Ref<MediaExtractor> mExtractor;
    Ref<MediaSource> mAudioTrack;
    Ref<MediaSource> mVideoTrack;
    Ref<MediaSource> mAudioSource;
    Ref<MediaSource> mVideoSource;
    AudioPlayer* mAudioPlayer;
    SystemTimeSource mSystemTimeSource;
    TimeSource* mTimeSource;
    Ref<SinkFrameRenderer> mVideoRenderer;
    bool mRendererNeedsInit;
    Ref<PlayerBase::VideoSink> mVideoSink;
    Ref<PlayerBase::AudioSink> mAudioSink;

    std::string mUri;
    std::map<std::string, std::string> mUriHeaders;
    int32_t mFd;
    bool mIsFdSource;

    bool mIsHlsSession;
    bool mLiveDisabled;
    int32_t mDisplayWidth;
    int32_t mDisplayHeight;
    int32_t mVideoWidth;
    int32_t mVideoHeight;
    uint32_t mFlags;
    int32_t mVideoDecoderFlags;
    float mPlaybackSetting;
    int64_t mDurationUs;
    int64_t mBitrate;
    uint32_t mExtractorFlags;
    int64_t mCachedDurationUs;
    int32_t mActiveAudioTrackIndex;
    bool mIsAsyncPrepare;
    status_t mPrepareResult;
    Ref<EngineEvent> mAsyncPrepareEvent;
    Condition mPreparedCondition;
    bool mStopped;
    bool mSourceFlag;
    std::string mDeviceGuid;
    int32_t mRetryCount;
    int32_t mStoredErrorCode;
    std::string mServerDetail;
    std::string mTransportDetail;
    bool mSilentReprepare;
    bool mResumeAfterReprepare;
    int64_t mReprepareSeekTimeUs;
    bool mResetting;
    Stats mStats;
    float mPlaybackRate;
    int32_t mStorageManager;

    // Playback-loop state.
    // Also read by position queries from the host's thread.
    std::atomic<int32_t> mSeeking;
    std::atomic<int64_t> mSeekTimeUs;
    bool mSeekNotificationSent;
    int64_t mSkipUntilUs;
    int64_t mVideoTimeUs;
    MediaBuffer* mVideoBuffer;
    int64_t mLastVideoTimeUs;
    int64_t mTimeSourceDeltaUs;
    int32_t mSinceLastDropped;
    bool mVideoRenderingStarted;
    bool mPreviewPending;
    int32_t mPreviewFramesLeft;
    bool mWatchForAudioSeekComplete;
    bool mWatchForAudioEOS;
    status_t mStreamDoneStatus;
    uint64_t mLateFrames;
    uint64_t mFramesDecoded;
    int64_t mPendingAudioSeekUs;
    int32_t mStartGeneration;
    int32_t mMediaStartedGeneration;
    bool mVideoOnlyFallback;
    int64_t mTimeshiftOffsetUs;

    // Commands.
    std::string mStoragePath;
    int32_t mDeviceType;
    std::string mOsShort;
    std::string mOsVersion;
    std::string mBookmarkJson;
    bool mAudioEffectOn;
    int32_t mAudioEffectLevel;

    // Events, made once.
    Ref<EngineEvent> mVideoEvent;
    bool mVideoEventPending;
    Ref<EngineEvent> mStreamDoneEvent;
    bool mStreamDoneEventPending;
    Ref<EngineEvent> mBufferingEvent;
    bool mBufferingEventPending;
    Ref<EngineEvent> mVideoLagEvent;
    bool mVideoLagEventPending;
    Ref<EngineEvent> mCheckAudioStatusEvent;
    bool mAudioStatusEventPending;
    Ref<EngineEvent> mAudioTearDownEvent;
    bool mAudioTearDownEventPending;
    Ref<EngineEvent> mApplicationDataEvent;
    bool mApplicationDataEventPending;
    Ref<EngineReporterEvent> mVideoRenderEvent;
    bool mVideoRenderEventPending;
    Ref<EngineReporterEvent> mThumbnailEvent;
    bool mThumbnailEventPending;

    PlaybackEngine(const PlaybackEngine&) = delete;
    PlaybackEngine& operator=(const PlaybackEngine&) = delete;
};

// The message-table text for (language, code): languages "ko", "en", "ja", "cn" (the first two
// characters compared without case; others select "ko"); unknown codes give the text of -1.
const wchar_t* LookupErrorText(const wchar_t* language, int32_t code);

}  // namespace velmor
