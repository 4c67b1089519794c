// The playback engine behind the player front: source selection, preparation, the playback
// loop, audio/video synchronisation and the numbered invoke requests. The thread and lock rules
// are written at the top of the class.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/PlayerAgent.h"
#include "engine/AudioPlayer.h"
#include "engine/AvSync.h"
#include "engine/CachedSource.h"
#include "engine/DataSource.h"
#include "engine/EngineRequests.h"
#include "engine/MediaExtractor.h"
#include "engine/MediaSource.h"
#include "engine/PlayerBase.h"
#include "engine/SinkFrameRenderer.h"
#include "engine/SourceSetup.h"
#include "engine/TimeSource.h"
#include "engine/TimerQueue.h"
#include "engine/subtitles/CaptionDownload.h"
#include "engine/subtitles/SubtitleDriver.h"
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

// A one-off task on the reporter queue (agent exchanges that must not block the main queue).
class EngineTaskEvent : public TimerQueue::Event {
public:
    explicit EngineTaskEvent(std::function<void()> task) : mTask(std::move(task)) {}
    void fire(TimerQueue*, int64_t) override { mTask(); }

private:
    std::function<void()> mTask;
};

// The playback engine: a coordinator over the units that each own one concern.
//
//  - SourceSetup (engine/SourceSetup.h): opens the address and builds the pipeline during a
//    prepare, on the queue thread without the main lock.
//  - AvSync (engine/AvSync.h): the media clock and the render decision of the video event.
//  - Track selection (engine/TrackSelection.cpp) and the numbered requests
//    (engine/EngineRequests.{h,cpp}, a table of named handlers).
//  - This file: lifecycle (prepare, play, pause, seek, reset), the events of the playback loop
//    and notifications.
//
// Threads:
//  - Host thread: every public operation. It takes mLock for the state it reads or changes and
//    never waits for the network or a decoder while holding it: operations that end a session
//    (reset, stop, setDataSource, destruction) first raise the stop flags of the source being
//    opened and of the running extractor, then take the lock.
//  - Playback queue thread (mQueue, "PlaybackEngine"): every event (prepare, video, stream done,
//    audio status, buffering, lag, teardown, redraw). Events take mLock for their decisions and
//    release it around blocking work (opening the address, reading a decoded picture).
//  - Reporter queue thread (mReporterQueue): the thumbnail event, the bookmark requests and the
//    error reports to the agent: agent exchanges that may wait for the network run there, with
//    no engine lock held, and take mLock only to notify.
//  - The agent client (mAgent) runs its own report queues; the engine feeds it state, position
//    and settings, which never block.
//  - Sound sink fill thread: AudioPlayer::Observer callbacks; they take mAudioLock only.
//
// Locks, in the order they may be nested: mLock, then mMiscStateLock / mStatsLock / mAudioLock
// (never two of the last three together). mLock is recursive only because the host interface
// allows re-entering calls; condition waits on it assert a single hold. Functions ending in _l
// assert mLock. Nothing calls the host with a lock held: notifications go through the listener's
// own queue.
//
// Teardown: objects whose destruction blocks (the audio player closing the sound device and its
// fill thread, decoders joining their threads) are never destroyed under mLock. Code under the
// lock moves them into mDoomed; EngineLock's destructor releases the lock and then finishes them.
class HLSExtractor;

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

    // What the player is doing, derived from the flags word; every change is logged once.
    enum class State { Idle, Preparing, Prepared, Playing, Paused, Seeking, Completed, Error };
    static const char* StateName(State state);

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
    // With `extra` ("HOST:PORT" of the player agent) `uri` is a content path the agent resolves:
    // the agent session opens it and the first item's play URL is what plays. The agent's
    // exchange runs before the main lock is taken.
    status_t setDataSource(const char* uri, const std::map<std::string, std::string>* headers, const char* extra);
    status_t prepare();
    status_t prepareAsync();
    status_t play();
    status_t pause();
    status_t stop();
    status_t reset();
    bool isPlaying();
    status_t setLooping(bool loop);
    // Negative targets seek to the start.
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
    State state();
    void modifyFlags(uint32_t value, FlagMode mode);

    void notifyListener_l(int32_t msg, int32_t ext1 = 0, int32_t ext2 = 0);

    // AudioPlayer::Observer, called from the sink's fill thread.
    void postAudioEOS(int64_t delayUs) override;
    void postAudioSeekComplete() override;
    void postAudioTearDown() override;
    void postAudioStatusCheck() override;

private:
    friend class EngineEvent;
    friend class EngineReporterEvent;
    class EngineLock;
    struct RequestHandler;
    static const RequestHandler kRequestHandlers[];

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

    // Objects to finish after mLock is released (see Teardown above).
    struct Doomed {
        std::vector<std::unique_ptr<AudioPlayer>> audioPlayers;
        std::vector<Ref<MediaSource>> sourcesToStop;
        std::vector<Ref<RefCounted>> toRelease;
        // Agent clients of ended sessions: stopped (their last state report goes out) last.
        std::vector<std::shared_ptr<PlayerAgent>> agents;
        // Cancelled caption downloads, joined here (their threads may be waiting for the lock).
        std::vector<std::unique_ptr<CaptionDownload>> captionDownloads;
        bool empty() const {
            return audioPlayers.empty() && sourcesToStop.empty() && toRelease.empty() && agents.empty() &&
                   captionDownloads.empty();
        }
        void finish();
    };

    // A picture read by the video event with the lock released.
    struct FrameRead {
        Ref<MediaSource> source;
        MediaSource::ReadOptions options;
        int64_t skipUntilUs = -1;
        uint32_t generation = 0;
        MediaBuffer* buffer = nullptr;
        status_t status = OK;
    };

    // An audio track switch: the old audio player goes away between its two halves.
    struct AudioSwitch {
        bool pending = false;
        int32_t index = -1;
        int64_t positionUs = 0;
        bool wasPlaying = false;
    };

    // --- Lifecycle (mLock held).
    // `agent`: the client of the agent session the address came from, or null.
    status_t setDataSource_l(const char* uri, const std::map<std::string, std::string>* headers,
                             std::shared_ptr<PlayerAgent> agent);
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
    void installMedia_l(OpenedMedia* media);
    // Hands what a prepare built to mDoomed (its decoders stop after the lock is released).
    void doomMedia_l(OpenedMedia* media);
    // Logs a change of the derived state.
    void updateState_l();
    void shutdownVideoDecoder_l();
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
    void postThumbnailEvent_l(int64_t delayUs);
    // Runs `task` on the reporter queue.
    void postReporterTask_l(std::function<void()> task);
    // The agent of the current session, or null without one.
    std::shared_ptr<PlayerAgent> sessionAgent_l() const { return mAgent; }
    // Tells the agent session about a state change (no-op without one).
    void reportAgentStatus_l(PlayerAgent::Status status, int32_t currentSeconds = -1);
    // --- The buffering event's steps.
    void sendBandwidth_l();
    void pauseForUnderrun_l(const char* why);
    void resumeAfterFill_l();
    bool cachedDuration_l(int64_t* cachedUs, bool* eos, status_t* finalStatus, int64_t* remainingBytes);
    void checkAgentPlayWindow_l();
    bool bufferedEnoughToStart_l();
    // Sound-only playback's periodic check of the sound device (and of subtitles waiting for
    // the clock to start).
    void postAudioOutputWatch_l();
    bool checkAudioOutput_l();
    // Raises every stop flag of the current session without taking mLock.
    void interruptSession();

    // --- Tracks (TrackSelection.cpp).
    status_t trackInfo_l(Payload* reply);
    status_t selectTrack_l(int32_t index, bool select, bool secondary);
    status_t finishAudioSwitch_l();
    int32_t countTracks_l();

    // --- HLS sessions.
    // The extractor of an HLS session with live handling on, else null.
    HLSExtractor* hlsExtractor_l();
    // Events of an HLS session's extractor (its threads): errors after preparation, variant
    // changes.
    void onMultiStreamEvent(MediaExtractor* extractor, int32_t type, int32_t ext1, int32_t ext2);

    // --- Subtitles (EngineSubtitles.cpp), under mLock.
    // The primary or secondary driver; created on first use when `create`.
    Ref<SubtitleDriver> textDriver_l(bool secondary, bool create);
    int32_t countTextTracks_l(bool secondary);
    status_t selectTextTrack_l(int32_t index, bool select, bool secondary);
    status_t addSubtitleFile_l(bool secondary, const char* uri);
    // Starts the selected drivers that are not running yet (playback started), once the clock
    // runs; true when a selected driver is still waiting for that.
    bool startTextDrivers_l();
    void seekTextDrivers_l(int64_t timeUs);
    void setTextPlaybackRate_l(double rate);
    // Cancels running caption downloads (joined after the lock is released).
    void cancelCaptionDownloads_l();
    // Drops both drivers and the caption copies (session end).
    void releaseSubtitles_l();
    // Runs on a caption download's thread once its copy is complete.
    void onCaptionDownloaded(CaptionDownload* download, const std::string& fileUri);

    // --- Numbered requests (EngineRequests.cpp): one handler per request, under mLock.
    status_t onTrackInfoRequest_l(const Payload& request, Payload* reply);
    status_t onSubtitleSourceRequest_l(const Payload& request, Payload* reply);
    status_t onSelectTrackRequest_l(const Payload& request, Payload* reply);
    status_t onDeselectTrackRequest_l(const Payload& request, Payload* reply);
    status_t onPlaybackRateRequest_l(const Payload& request, Payload* reply);
    status_t onStoragePathRequest_l(const Payload& request, Payload* reply);
    status_t onDeviceGuidRequest_l(const Payload& request, Payload* reply);
    status_t onContentInfoRequest_l(const Payload& request, Payload* reply);
    status_t onGetBookmarksRequest_l(const Payload& request, Payload* reply);
    status_t onZeroReplyRequest_l(const Payload& request, Payload* reply);
    status_t onVideoCodecNameRequest_l(const Payload& request, Payload* reply);
    status_t onAudioEnabledRequest_l(const Payload& request, Payload* reply);
    status_t onDecoderSettingsRequest_l(const Payload& request, Payload* reply);
    status_t onPictureControlRequest_l(InvokeRequest id, const Payload& request);
    status_t onBrightnessRequest_l(const Payload& request, Payload* reply);
    status_t onSaturationRequest_l(const Payload& request, Payload* reply);
    status_t onContrastRequest_l(const Payload& request, Payload* reply);
    status_t onScaleModeRequest_l(const Payload& request, Payload* reply);
    status_t onAspectRatioRequest_l(const Payload& request, Payload* reply);
    status_t onViewOffsetRequest_l(const Payload& request, Payload* reply);
    status_t onVolumeRequest_l(const Payload& request, Payload* reply);
    status_t onOsVersionRequest_l(const Payload& request, Payload* reply);
    status_t onIgnoredRequest_l(const Payload& request, Payload* reply);
    status_t onSkipRequest_l(const Payload& request, Payload* reply);
    status_t onAudioEffectRequest_l(const Payload& request, Payload* reply);
    status_t onTimeshiftOffsetRequest_l(const Payload& request, Payload* reply);
    status_t onReportErrorRequest_l(const Payload& request, Payload* reply);
    status_t onLiveDisabledRequest_l(const Payload& request, Payload* reply);
    status_t onAgentValueRequest_l(const Payload& request, Payload* reply);
    status_t onLoadBookmarksRequest_l(const Payload& request, Payload* reply);
    status_t onAddBookmarkRequest_l(const Payload& request, Payload* reply);
    status_t onDeleteBookmarkRequest_l(const Payload& request, Payload* reply);
    status_t onAgentSetterRequest_l(InvokeRequest id, const Payload& request);
    status_t onAgentSetter31Request_l(const Payload& request, Payload* reply);
    status_t onAgentSetter32Request_l(const Payload& request, Payload* reply);
    status_t onAgentSetter33Request_l(const Payload& request, Payload* reply);
    status_t onVideoInfoRequest_l(const Payload& request, Payload* reply);
    // A bookmark exchange on the reporter queue: GET url + query, then MEDIA_INFO (info, seconds).
    void runBookmarkRequest(std::shared_ptr<PlayerAgent> agent, std::string url, std::string query,
                            int32_t info, int32_t seconds, bool keepAnswer);

    // --- Event handlers (playback queue thread).
    void onPrepareAsyncEvent();
    void onVideoEvent();
    void onStreamDone();
    void onBufferingUpdate();
    void onVideoLagUpdate();
    void onCheckAudioStatus();
    void onAudioTearDownEvent();
    void onApplicationDataEvent();
    void onAudioOutputWatch();
    void onVideoRenderEvent(EngineReporterEvent* event);
    void onThumbnailEvent(EngineReporterEvent* event);

    // --- The video event's steps.
    bool beginFrameRead_l(FrameRead* read);
    static void readFrame(FrameRead* read);
    bool acceptFrame_l(FrameRead* read);
    void playFrame_l();
    bool ensureAudioRunning_l();
    void dropFrame_l(const AvSync::Decision& decision, bool livePreview);
    void holdFrame_l(bool livePreview);
    void renderFrame_l(int64_t timeUs, const AvSync::Decision& decision);
    void scheduleNextVideoEvent_l();

    void assertOnQueueThread() const { QV_ASSERT(mQueue.isWorkerThread(), "not on the playback queue thread"); }

    // --- Locks (see the lock order above).
    Mutex mLock;
    Mutex mMiscStateLock;
    Mutex mStatsLock;
    Mutex mAudioLock;
    // Held while doomed objects are finished; opening the sound device waits for it, so a new
    // audio player never opens the device while an old one is still closing it.
    Mutex mTeardownLock;

    // --- Queues: started and stopped under mLock; stop() joins them without it.
    TimerQueue mQueue;
    bool mQueueStarted;
    TimerQueue mReporterQueue;
    bool mReporterQueueStarted;
    // Set while stop() joins the queues with the lock released: nothing may be posted to them
    // then (it would be dropped), so prepares wait for the end of the stop (mPreparedCondition).
    bool mQueuesStopping;

    // --- Preparation's source set-up; has its own lock (cancel() from any thread).
    SourceSetup mSourceSetup;

    // --- The agent client of the current agent session (null without one), guarded by mLock.
    // Each agent session has its own client; reset_l reports the stop and hands it to mDoomed,
    // which stops it after the lock is released. Users copy the pointer under mLock and call it
    // without the lock.
    std::shared_ptr<PlayerAgent> mAgent;

    // --- Session objects, guarded by mLock. mExtractor and mAudioPlayer are also read under
    // mMiscStateLock by position queries and by interruptSession, so they change under both.
    WeakRef<PlayerFront> mListener;
    Ref<MediaExtractor> mExtractor;
    Ref<CachedSource> mCachedSource;
    Ref<MediaSource> mAudioTrack;
    Ref<MediaSource> mVideoTrack;
    Ref<MediaSource> mAudioSource;
    Ref<MediaSource> mVideoSource;
    std::unique_ptr<AudioPlayer> mAudioPlayer;
    SystemTimeSource mSystemTimeSource;
    TimeSource* mTimeSource;
    Ref<SinkFrameRenderer> mVideoRenderer;
    bool mRendererNeedsInit;
    Ref<PlayerBase::VideoSink> mVideoSink;
    Ref<PlayerBase::AudioSink> mAudioSink;
    Doomed mDoomed;

    // --- Session settings and results, guarded by mLock.
    std::string mUri;
    std::map<std::string, std::string> mUriHeaders;
    int32_t mFd;
    bool mIsFdSource;
    // Also read by duration queries under mMiscStateLock.
    std::atomic<bool> mIsHlsSession;
    std::atomic<bool> mLiveDisabled;
    // The agent's media information for the item being played (when mHasAgentItem).
    bool mHasAgentItem;
    AgentItem mAgentItem;
    // Agent error already sent to the host by the buffering event.
    int32_t mReportedAgentError;
    // The cache's final status when MEDIA_INFO 901 last went out (OK: not yet).
    status_t mReportedFinalStatus;
    int32_t mDisplayWidth;
    int32_t mDisplayHeight;
    int32_t mVideoWidth;
    int32_t mVideoHeight;
    // Written under mLock; read without it by flags() and position queries (a stale read is
    // harmless there).
    std::atomic<uint32_t> mFlags;
    State mState;
    int32_t mVideoDecoderFlags;
    float mPlaybackSetting;
    int64_t mDurationUs;  // under mMiscStateLock
    int64_t mBitrate;
    uint32_t mExtractorFlags;
    int64_t mCachedDurationUs;
    int32_t mActiveAudioTrackIndex;
    bool mIsAsyncPrepare;
    status_t mPrepareResult;
    Ref<EngineEvent> mAsyncPrepareEvent;
    Condition mPreparedCondition;
    bool mStopped;
    std::atomic<bool> mSourceFlag;
    std::string mDeviceGuid;
    int32_t mRetryCount;
    // A session error that came while the HLS set-up was still running; sent once prepared.
    status_t mSessionErrorWhilePreparing = OK;  // (mLock)
    int32_t mStoredErrorCode;
    std::string mServerDetail;
    std::string mTransportDetail;
    bool mSilentReprepare;
    bool mResumeAfterReprepare;
    int64_t mReprepareSeekTimeUs;
    bool mResetting;
    bool mAudioOutputLost;
    bool mInError;  // a MEDIA_ERROR was sent in this session
    AudioSwitch mAudioSwitch;
    Stats mStats;  // under mStatsLock
    float mPlaybackRate;
    std::atomic<int32_t> mStorageManager;

    // --- Playback loop, guarded by mLock; mSeeking and mSeekTimeUs are also read by position
    // queries from the host's thread, mVideoTimeUs under mMiscStateLock.
    std::atomic<int32_t> mSeeking;
    std::atomic<int64_t> mSeekTimeUs;
    bool mSeekNotificationSent;
    int64_t mSkipUntilUs;
    int64_t mVideoTimeUs;
    MediaBuffer* mVideoBuffer;
    // Changes whenever a picture read without the lock may have become stale (seek, reset).
    uint32_t mVideoGeneration;
    int64_t mLastVideoTimeUs;
    AvSync mAvSync;
    bool mVideoRenderingStarted;
    bool mPreviewPending;
    int32_t mPreviewFramesLeft;
    bool mWatchForAudioSeekComplete;
    bool mWatchForAudioEOS;
    status_t mStreamDoneStatus;
    uint64_t mFramesDecoded;
    int64_t mPendingAudioSeekUs;
    int32_t mStartGeneration;
    int32_t mMediaStartedGeneration;
    std::atomic<bool> mVideoOnlyFallback;
    int64_t mTimeshiftOffsetUs;

    // --- Subtitles, guarded by mLock. The drivers are made on first use and released through
    // mDoomed (their destructors join the driver threads).
    Ref<SubtitleDriver> mTextDriver;
    Ref<SubtitleDriver> mTextDriver2;
    std::vector<std::unique_ptr<CaptionDownload>> mCaptionDownloads;
    // Local copies of downloaded caption files, removed when the session ends.
    std::vector<std::string> mCaptionFiles;

    // --- Request state, guarded by mLock.
    std::string mStoragePath;
    int32_t mDeviceType;
    std::string mOsShort;
    std::string mOsVersion;
    std::string mBookmarkJson;
    bool mAudioEffectOn;
    int32_t mAudioEffectLevel;

    // --- Events, made once. Pending flags under mLock, except mAudioStatusEventPending and
    // mAudioTearDownEventPending (mAudioLock: posted from the fill thread).
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
    Ref<EngineEvent> mAudioOutputWatchEvent;
    bool mAudioOutputWatchPending;
    Ref<EngineReporterEvent> mVideoRenderEvent;
    bool mVideoRenderEventPending;
    Ref<EngineReporterEvent> mThumbnailEvent;
    bool mThumbnailEventPending;

    PlaybackEngine(const PlaybackEngine&) = delete;
    PlaybackEngine& operator=(const PlaybackEngine&) = delete;
};

// Holds the engine's main lock for one entry point or event. Whatever the locked code moved into
// mDoomed is finished after the outermost hold is released, so no thread joins or device closes
// under the lock.
class PlaybackEngine::EngineLock {
public:
    explicit EngineLock(PlaybackEngine* engine, const char* name = nullptr);
    ~EngineLock();
    EngineLock(const EngineLock&) = delete;
    EngineLock& operator=(const EngineLock&) = delete;

private:
    PlaybackEngine* mEngine;
    const char* mName;
};


// The message-table text for (language, code): languages "ko", "en", "ja", "cn" (the first two
// characters compared without case; others select "ko"); unknown codes give the text of -1.
const wchar_t* LookupErrorText(const wchar_t* language, int32_t code);

}  // namespace velmor
