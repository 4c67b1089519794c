#include "engine/PlaybackEngine.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <cwchar>

#include "engine/EngineProbes.h"
#include "engine/FFMpegExtractor.h"
#include "engine/MediaDefs.h"
#include "engine/PlayerFront.h"
#include "engine/hls/HLSExtractor.h"
#include "utils/Log.h"

#define LOG_TAG "VEL_PlaybackEngine"

namespace velmor {

// Buffering marks in microseconds, shared by every player in the process.
int64_t kLowWaterMarkUs = 2000000;
int64_t kHighWaterMarkUs = 3000000;
int64_t kSteadyLowWaterMarkUs = 3000000;
int64_t kSteadyHighWaterMarkUs = 5000000;

namespace {

constexpr int64_t kDefaultVideoEventDelayUs = 10000;
// How long the video event waits for a picture from a starved decoder before it gives the queue
// back (the buffering check runs on the same queue and must see the starvation to pause).
constexpr int64_t kVideoReadWaitLimitUs = 100000;
constexpr int64_t kDefaultBufferingEventDelayUs = 1000000;
constexpr int64_t kDefaultAudioStatusDelayUs = 10000;
constexpr int64_t kVideoLagEventDelayUs = 1000000;
constexpr int64_t kAudioTearDownDelayUs = 10000;
// Audio-only playback has no video event to notice a lost sound device; this watch does.
constexpr int64_t kAudioOutputWatchDelayUs = 500000;
// How often sound-only playback checks whether waiting subtitles can start.
constexpr int64_t kTextStartCheckUs = 20000;
// After a drop, and while a live preview waits or drops.
constexpr int64_t kShortVideoEventDelayUs = 1000;
constexpr int64_t kEarlyFrameRetryUs = 10000;
constexpr int64_t kPreviewRedrawDelayUs = 100;
constexpr int32_t kPreviewFrames = 3;
// The first buffering check of a streamed source, and the agent's thumbnail checks.
constexpr int64_t kFirstBufferingCheckDelayUs = 200000;
constexpr int64_t kThumbnailCheckDelayUs = 2000000;
// Without a bit rate the cache is judged in bytes.
constexpr int64_t kUnderrunBytes = 40000;
constexpr int64_t kFilledBytes = 200000;
// An error report the agent asks about after a live stream's retries (1.2): this close to the
// end counts as the end.
constexpr int64_t kRetryNearEndUs = 5000000;
constexpr int32_t kErrorLiveStreamEnded = -3012;

int32_t toSeconds(int64_t us) { return static_cast<int32_t>(us / 1000000); }

}  // namespace

PlaybackEngine::EngineLock::EngineLock(PlaybackEngine* engine, const char* name) : mEngine(engine), mName(name) {
    if (mName) VLOGI("Autolock(%s) lock", mName);
    mEngine->mLock.lock();
}

PlaybackEngine::EngineLock::~EngineLock() {
    Doomed doomed;
    if (mEngine->mLock.holdDepth() == 1) std::swap(doomed, mEngine->mDoomed);
    mEngine->mLock.unlock();
    if (mName) VLOGI("Autolock(%s) unlock", mName);
    if (!doomed.empty()) {
        Mutex::Autolock _t(mEngine->mTeardownLock);
        doomed.finish();
    }
}

void PlaybackEngine::Doomed::finish() {
    // The audio players first (they read from their decoders), then the decoders, then what
    // they read from.
    audioPlayers.clear();
    for (Ref<MediaSource>& source : sourcesToStop) source->stop();
    sourcesToStop.clear();
    toRelease.clear();
    for (std::shared_ptr<PlayerAgent>& agent : agents) agent->stop();
    agents.clear();
}

const char* PlaybackEngine::StateName(State state) {
    switch (state) {
        case State::Idle: return "Idle";
        case State::Preparing: return "Preparing";
        case State::Prepared: return "Prepared";
        case State::Playing: return "Playing";
        case State::Paused: return "Paused";
        case State::Seeking: return "Seeking";
        case State::Completed: return "Completed";
        case State::Error: return "Error";
    }
    return "?";
}

PlaybackEngine::PlaybackEngine()
    : mQueue("PlaybackEngine"),
      mQueueStarted(false),
      mReporterQueue("EngineReporter"),
      mReporterQueueStarted(false),
      mQueuesStopping(false),
      mTimeSource(&mSystemTimeSource),
      mRendererNeedsInit(false),
      mFd(-1),
      mIsFdSource(false),
      mIsHlsSession(false),
      mLiveDisabled(false),
      mHasAgentItem(false),
      mReportedAgentError(0),
      mReportedFinalStatus(OK),
      mDisplayWidth(0),
      mDisplayHeight(0),
      mVideoWidth(0),
      mVideoHeight(0),
      mFlags(0),
      mState(State::Idle),
      mVideoDecoderFlags(0),
      mPlaybackSetting(0),
      mDurationUs(-1),
      mBitrate(-1),
      mExtractorFlags(0),
      mCachedDurationUs(0),
      mActiveAudioTrackIndex(-1),
      mIsAsyncPrepare(false),
      mPrepareResult(OK),
      mStopped(false),
      mSourceFlag(false),
      mRetryCount(0),
      mStoredErrorCode(0),
      mSilentReprepare(false),
      mResumeAfterReprepare(false),
      mReprepareSeekTimeUs(0),
      mResetting(false),
      mAudioOutputLost(false),
      mInError(false),
      mPlaybackRate(10.0f),
      mStorageManager(0),
      mSeeking(0),
      mSeekTimeUs(0),
      mSeekNotificationSent(false),
      mSkipUntilUs(-1),
      mVideoTimeUs(0),
      mVideoBuffer(nullptr),
      mVideoGeneration(0),
      mLastVideoTimeUs(0),
      mVideoRenderingStarted(false),
      mPreviewPending(false),
      mPreviewFramesLeft(0),
      mWatchForAudioSeekComplete(false),
      mWatchForAudioEOS(false),
      mStreamDoneStatus(OK),
      mFramesDecoded(0),
      mPendingAudioSeekUs(-1),
      mStartGeneration(0),
      mMediaStartedGeneration(0),
      mVideoOnlyFallback(false),
      mTimeshiftOffsetUs(0),
      mDeviceType(0),
      mAudioEffectOn(false),
      mAudioEffectLevel(0),
      mVideoEventPending(false),
      mStreamDoneEventPending(false),
      mBufferingEventPending(false),
      mVideoLagEventPending(false),
      mAudioStatusEventPending(false),
      mAudioTearDownEventPending(false),
      mApplicationDataEventPending(false),
      mAudioOutputWatchPending(false),
      mVideoRenderEventPending(false),
      mThumbnailEventPending(false) {
    mVideoEvent = new EngineEvent(this, &PlaybackEngine::onVideoEvent, "VideoEvent");
    VLOGI("VideoEvent ID %d", mVideoEvent->eventID());
    mStreamDoneEvent = new EngineEvent(this, &PlaybackEngine::onStreamDone, "StreamDoneEvent");
    VLOGI("StreamDoneEvent ID %d", mStreamDoneEvent->eventID());
    mBufferingEvent = new EngineEvent(this, &PlaybackEngine::onBufferingUpdate, "BufferingEvent");
    VLOGI("BufferingEvent ID %d", mBufferingEvent->eventID());
    mVideoLagEvent = new EngineEvent(this, &PlaybackEngine::onVideoLagUpdate, "VideoLagEvent");
    VLOGI("VideoLagEvent ID %d", mVideoLagEvent->eventID());
    mCheckAudioStatusEvent = new EngineEvent(this, &PlaybackEngine::onCheckAudioStatus, "CheckAudioStatusEvent");
    VLOGI("CheckAudioStatusEvent ID %d", mCheckAudioStatusEvent->eventID());
    mAudioTearDownEvent = new EngineEvent(this, &PlaybackEngine::onAudioTearDownEvent, "AudioTearDownEvent");
    VLOGI("AudioTearDownEvent ID %d", mAudioTearDownEvent->eventID());
    mApplicationDataEvent = new EngineEvent(this, &PlaybackEngine::onApplicationDataEvent, "ApplicationDataEvent");
    VLOGI("ApplicationDataEvent ID %d", mApplicationDataEvent->eventID());
    mAudioOutputWatchEvent = new EngineEvent(this, &PlaybackEngine::onAudioOutputWatch, "AudioOutputWatchEvent");
    mVideoRenderEvent = new EngineReporterEvent(this, &PlaybackEngine::onVideoRenderEvent, "VidoeRenderEvent");
    mThumbnailEvent = new EngineReporterEvent(this, &PlaybackEngine::onThumbnailEvent, "ThumbnailEvent");
}


PlaybackEngine::~PlaybackEngine() {
    interruptSession();
    {
        EngineLock lock(this);
        reset_l();
    }
    mQueue.stop(false);
    mReporterQueue.stop(false);
}

void PlaybackEngine::setListener(const WeakRef<PlayerFront>& listener) {
    EngineLock lock(this);
    mListener = listener;
}

void PlaybackEngine::setAudioSink(const Ref<PlayerBase::AudioSink>& sink) {
    EngineLock lock(this);
    mAudioSink = sink;
}

void PlaybackEngine::setVideoSink(const Ref<PlayerBase::VideoSink>& sink) {
    EngineLock lock(this);
    mVideoSink = sink;
    mRendererNeedsInit = true;
}

bool PlaybackEngine::hasVideoSink() {
    EngineLock lock(this);
    return mVideoSink != nullptr;
}

status_t PlaybackEngine::setVideoArea(int32_t a, int32_t b) {
    EngineLock lock(this);
    VLOGI("setSurface");
    if (mVideoSink == nullptr) return ERROR_UNSUPPORTED;
    mVideoSink->setSurfaceArea(a, b);
    return OK;
}

status_t PlaybackEngine::setVideoSurface(int32_t a, int32_t b, int32_t c) {
    EngineLock lock(this);
    VLOGI("setSurface");
    if (mVideoSink == nullptr) return ERROR_UNSUPPORTED;
    mVideoSink->setSurfaceArea(a, b, c);
    return OK;
}

bool PlaybackEngine::setVideoSinkOption(int32_t value) {
    EngineLock lock(this);
    return mVideoSink != nullptr && mVideoSink->setOption(value);
}

status_t PlaybackEngine::setStorageManager(int32_t value) {
    VLOGI("setStorageManager %d", value);
    mStorageManager = value;
    return OK;
}


PlaybackEngine::State PlaybackEngine::state() {
    const uint32_t flags = mFlags;
    if (flags & PREPARING) return State::Preparing;
    if (mInError) return State::Error;
    if (!(flags & PREPARED)) return State::Idle;
    if (mSeeking != 0) return State::Seeking;
    if (flags & (PLAYING | CACHE_UNDERRUN)) return State::Playing;
    if (flags & AT_EOS) return State::Completed;
    return (flags & PLAYED_ONCE) ? State::Paused : State::Prepared;
}

void PlaybackEngine::updateState_l() {
    const State now = state();
    if (now == mState) return;
    VLOGI("state %s -> %s", StateName(mState), StateName(now));
    mState = now;
}

void PlaybackEngine::modifyFlags(uint32_t value, FlagMode mode) {
    if (mode == CLEAR && (value & CACHE_UNDERRUN) && (mFlags & CACHE_UNDERRUN)) {
        notifyListener_l(MEDIA_INFO, MEDIA_INFO_BUFFERING_END);
    }
    switch (mode) {
        case SET: mFlags |= value; break;
        case CLEAR: mFlags &= ~value; break;
        case ASSIGN: mFlags = value; break;
    }
    {
        Mutex::Autolock _s(mStatsLock);
        mStats.flags = mFlags;
    }
    updateState_l();
}

void PlaybackEngine::notifyListener_l(int32_t msg, int32_t ext1, int32_t ext2) {
    mLock.assertHeld();
    Ref<PlayerFront> listener = mListener.promote();
    if (listener == nullptr || mSilentReprepare) return;

    if ((msg == MEDIA_ERROR || ext1 == MEDIA_INFO_AGENT_ERROR) && (ext2 == ERROR_RECV_CON_ID || ext2 == ERROR_CON_TIMEOUT)) {
        msg = MEDIA_ERROR;
        ext2 = ERROR_CONNECTION_LOST;
    } else if (msg == MEDIA_ERROR) {
        std::shared_ptr<PlayerAgent> agent = sessionAgent_l();
        if (ext2 == ERROR_UNKNOWN_HOST || ext2 == -8683 || ext2 == -8673) {
            // The agent's explanation, as its last answer gave it (asking again would wait for
            // the network under the lock).
            if (agent != nullptr) {
                std::string detail = agent->agentErrorMessage();
                if (!detail.empty()) (ext2 == ERROR_UNKNOWN_HOST ? mTransportDetail : mServerDetail) = std::move(detail);
            }
        } else if (mIsHlsSession && (ext2 < -9000 || ext2 == -105 || ext2 == -8404)) {
            if ((mFlags & PLAYING) && mRetryCount < 2) {
                ++mRetryCount;
                modifyFlags(RETRY_PENDING, SET);
                return;
            }
            ext2 = -3012;
        } else if (ext2 < -9000 && !(ext2 >= -11599 && ext2 <= -11001)) {
            if (mStoredErrorCode != 0 && mStoredErrorCode >= -11000) {
                ext2 = mStoredErrorCode;
            } else if (agent != nullptr && agent->agentErrorCode() != OK) {
                ext2 = agent->agentErrorCode();
            }
        }
        if (agent != nullptr && ext2 != ERROR_NO_AUDIO) {
            const int32_t reported = ext2 < -999 ? ext2 : ext2 - 8000;
            postReporterTask_l([agent, reported] { agent->sendError(reported); });
        }
        mInError = true;
        if (mFlags & PREPARED) pause_l();
        updateState_l();
    }
    VLOGI("notifyListener_l msg %d ext1 %d ext2 %d", msg, ext1, ext2);
    listener->sendEvent(msg, ext1, ext2, nullptr);
}


void PlaybackEngine::interruptSession() {
    mLock.assertNotHeld();
    mSourceSetup.cancel();
    Ref<MediaExtractor> extractor;
    {
        Mutex::Autolock _m(mMiscStateLock);
        extractor = mExtractor;
    }
    if (extractor != nullptr) {
        VLOGI("interrupting the extractor");
        extractor->setStopFlag(MediaExtractor::kStopFlagStop);
    }
}

status_t PlaybackEngine::setDataSource(int32_t fd) {
    interruptSession();
    EngineLock lock(this);
    reset_l();
    mFd = fd;
    mIsFdSource = true;
    VLOGI("setDataSource_l(%d)", fd);
    return OK;
}

status_t PlaybackEngine::setDataSource(const char* uri, const std::map<std::string, std::string>* headers,
                                       const char* extra) {
    interruptSession();
    std::string playUri = uri ? uri : "";
    std::shared_ptr<PlayerAgent> agent;
    if (extra != nullptr && extra[0] != '\0') {
        // A client of its own for this session. The agent resolves the content path; its
        // exchanges do not hold the lock.
        agent = std::make_shared<PlayerAgent>();
        const status_t err = agent->Open(extra, playUri);
        if (err != OK) return err;
        playUri = agent->getPlayUrl(0);
        if (playUri.empty()) return ERROR_GET_MEDIA_URL;
    }
    EngineLock lock(this);
    return setDataSource_l(playUri.c_str(), headers, std::move(agent));
}

status_t PlaybackEngine::setDataSource_l(const char* uri, const std::map<std::string, std::string>* headers,
                                         std::shared_ptr<PlayerAgent> agent) {
    mLock.assertHeld();
    reset_l();
    mAgent = std::move(agent);
    mUri = uri ? uri : "";
    mIsFdSource = false;
    mUriHeaders.clear();
    if (headers) {
        mUriHeaders = *headers;
        auto it = mUriHeaders.find("x-hide-urls-from-log");
        if (it != mUriHeaders.end()) {
            mUriHeaders.erase(it);
            modifyFlags(URLS_HIDDEN, SET);
        }
    }
    VLOGI("setDataSource_l(size : %d)", static_cast<int>(mUri.size()));
    Mutex::Autolock _s(mStatsLock);
    mStats.fd = -1;
    mStats.uri = mUri;
    return OK;
}

status_t PlaybackEngine::prepare() {
    EngineLock lock(this);
    mStopped = false;
    return prepare_l();
}

status_t PlaybackEngine::prepare_l() {
    mLock.assertHeld();
    if (mFlags & PREPARED) return OK;
    if (mFlags & PREPARING) {
        VLOGE("prepare_l while preparing mFlags %d", static_cast<int>(mFlags));
        return UNKNOWN_ERROR;
    }
    mIsAsyncPrepare = false;
    status_t err = prepareAsync_l();
    if (err != OK) {
        VLOGE("prepare_l prepareAsync err %d", err);
        return err;
    }
    while (mFlags & PREPARING) mPreparedCondition.wait(mLock);
    if (mPrepareResult != OK) VLOGE("prepare_l mPrepareResult err %d", mPrepareResult);
    return mPrepareResult;
}

status_t PlaybackEngine::prepareAsync() {
    EngineLock lock(this);
    if (mFlags & PREPARING) return UNKNOWN_ERROR;
    mStopped = false;
    mIsAsyncPrepare = true;
    return prepareAsync_l();
}

status_t PlaybackEngine::prepareAsync_l() {
    mLock.assertHeld();
    if (mFlags & PREPARING) return UNKNOWN_ERROR;
    // A stop is joining the queues: the prepare event would be dropped with them and the prepare
    // would never end. Host threads wait for the stop to finish; the queues' own threads cannot.
    while (mQueuesStopping) {
        if (mQueue.isWorkerThread() || mReporterQueue.isWorkerThread()) return INVALID_OPERATION;
        mPreparedCondition.wait(mLock);
    }
    if (mFlags & PREPARING) return UNKNOWN_ERROR;
    if (!mQueueStarted) {
        mQueue.start();
        mQueueStarted = true;
    }
    if (!mReporterQueueStarted) {
        mReporterQueue.start();
        mReporterQueueStarted = true;
    }
    mInError = false;
    modifyFlags(PREPARING, SET);
    VLOGI("## PREPARING SET");
    mSourceSetup.arm();
    mAsyncPrepareEvent = new EngineEvent(this, &PlaybackEngine::onPrepareAsyncEvent, "AsyncPrepareEvent");
    const int32_t id = mQueue.postEvent(mAsyncPrepareEvent);
    VLOGI("AsyncPrepareEvent ID %d", id);
    return OK;
}

// Opening the address and starting the decoders block on I/O, so they run with the lock released;
// a reset meanwhile cancels the set-up and marks the prepare cancelled, and what was built is
// thrown away.
void PlaybackEngine::onPrepareAsyncEvent() {
    assertOnQueueThread();
    SourceRequest request;
    {
        EngineLock lock(this);
        if (!(mFlags & PREPARING) || mAsyncPrepareEvent == nullptr) return;  // aborted already
        if (mFlags & PREPARE_CANCELLED) {
            VLOGI("prepare was cancelled before doing anything");
            abortPrepare(UNKNOWN_ERROR);
            return;
        }
        if (mUri.empty() && !mIsFdSource) {
            abortPrepare(UNKNOWN_ERROR);
            return;
        }
        kLowWaterMarkUs = 2000000;
        kHighWaterMarkUs = 3000000;
        request.uri = mUri;
        request.headers = mUriHeaders;
        request.agent = sessionAgent_l();
        request.fd = mFd;
        request.isFd = mIsFdSource;
        request.liveDisabled = mLiveDisabled;
        request.videoDecoderFlags = mVideoDecoderFlags;
        request.deviceGuid = mDeviceGuid;
        request.onStreamEvent = [this](MediaExtractor* extractor, int32_t type, int32_t ext1, int32_t ext2) {
            onMultiStreamEvent(extractor, type, ext1, ext2);
        };
    }

    OpenedMedia media;
    const status_t err = mSourceSetup.open(request, &media);

    EngineLock lock(this);
    // Kept for the successful HLS prepare below; every other outcome has no use for it.
    const status_t sessionError = mSessionErrorWhilePreparing;
    mSessionErrorWhilePreparing = OK;
    if (!(mFlags & PREPARING) || (mFlags & PREPARE_CANCELLED)) {
        doomMedia_l(&media);
        if (mFlags & PREPARING) abortPrepare(UNKNOWN_ERROR);
        return;
    }
    if (media.connected) notifyListener_l(MEDIA_INFO, MEDIA_INFO_SOURCE_OPENED, 0);
    if (err != OK) {
        VLOGI("beginPrepareAsync_l ## %d", err);
        if (!media.serverDetail.empty()) mServerDetail = media.serverDetail;
        // An HLS session counts as one from its open: its errors are the session's.
        mIsHlsSession = media.isHls;
        doomMedia_l(&media);
        abortPrepare(err);
        return;
    }
    const bool wantThumbnail = media.wantThumbnail;
    const bool isHls = media.isHls;
    const int64_t targetDurationUs = media.targetDurationUs;
    installMedia_l(&media);
    mIsHlsSession = isHls;
    modifyFlags(PREPARING_CONNECTED, SET);
    std::shared_ptr<PlayerAgent> agent = sessionAgent_l();
    if (agent != nullptr) {
        int64_t durationUs;
        {
            Mutex::Autolock _m(mMiscStateLock);
            durationUs = mDurationUs;
        }
        if (durationUs > 0) agent->setDuration(toSeconds(durationUs));
        if (wantThumbnail) postThumbnailEvent_l(kThumbnailCheckDelayUs);
    }
    const bool agentRealStream = agent != nullptr && mLiveDisabled && agent->streamKind() == "real";
    if (mCachedSource != nullptr || agentRealStream) {
        // A streamed source finishes preparing once enough of it is buffered: at the buffering
        // event's checks, or now when opening the media already brought enough (a fast link).
        postBufferingEvent_l(kFirstBufferingCheckDelayUs);
        if (bufferedEnoughToStart_l()) {
            VLOGI("cache has filled up while opening, prepare is done");
            finishAsyncPrepare_l();
        }
    } else if (mLiveDisabled) {
        finishAsyncPrepare_l();
    } else if (isHls) {
        // The session found its tracks: playback may start, watched by the buffering event,
        // whose steady marks follow the playlists' segment length.
        if (targetDurationUs > 0 && targetDurationUs < kSteadyHighWaterMarkUs) {
            kSteadyHighWaterMarkUs = targetDurationUs;
            kSteadyLowWaterMarkUs = targetDurationUs * 20 / 100;
        }
        finishAsyncPrepare_l();
        postBufferingEvent_l();
        if (sessionError != OK) abortPrepare(sessionError);
    }
}

void PlaybackEngine::doomMedia_l(OpenedMedia* media) {
    mLock.assertHeld();
    if (media->videoSource != nullptr) mDoomed.sourcesToStop.push_back(media->videoSource);
    if (media->audioSource != nullptr && media->audioSource != media->audioTrack) {
        mDoomed.sourcesToStop.push_back(media->audioSource);
    }
    if (media->extractor != nullptr) mDoomed.toRelease.push_back(media->extractor);
    if (media->cachedSource != nullptr) mDoomed.toRelease.push_back(media->cachedSource);
    *media = OpenedMedia();
}

void PlaybackEngine::installMedia_l(OpenedMedia* media) {
    mLock.assertHeld();
    {
        Mutex::Autolock _m(mMiscStateLock);
        mExtractor = media->extractor;
        mCachedSource = media->cachedSource;
        if (media->durationUs >= 0 && (mDurationUs < 0 || media->durationUs > mDurationUs)) {
            mDurationUs = media->durationUs;
        }
    }
    mVideoTrack = media->videoTrack;
    mAudioTrack = media->audioTrack;
    mVideoSource = media->videoSource;
    mAudioSource = media->audioSource;
    mActiveAudioTrackIndex = media->activeAudioTrackIndex;
    mDisplayWidth = media->displayWidth;
    mDisplayHeight = media->displayHeight;
    mBitrate = media->bitrate;
    mExtractorFlags = media->extractorFlags;
    mSourceFlag = media->hasVideoStream;
    mIsHlsSession = false;
    mHasAgentItem = media->hasAgentItem;
    if (mHasAgentItem) mAgentItem = std::move(media->agentItem);
    if (media->autoLoop) modifyFlags(AUTO_LOOPING, SET);
    if (media->slowDecoder) modifyFlags(SLOW_DECODER, SET);
    {
        Mutex::Autolock _s(mStatsLock);
        mStats.bitrate = mBitrate;
        mStats.tracks = media->tracks;
        mStats.videoTrackIndex = media->videoStatIndex;
        mStats.audioTrackIndex = media->audioStatIndex;
    }
    ++mVideoGeneration;
    *media = OpenedMedia();
}

void PlaybackEngine::finishAsyncPrepare_l() {
    mLock.assertHeld();
    if (mIsAsyncPrepare) {
        if (mVideoSource == nullptr) {
            notifyListener_l(MEDIA_SET_VIDEO_SIZE, 0, 0);
        } else {
            notifyVideoSize_l();
        }
    }
    mPrepareResult = OK;
    modifyFlags(PREPARING | PREPARE_CANCELLED | PREPARING_CONNECTED, CLEAR);
    VLOGI("## PREPARING CLEAR");
    if (mIsAsyncPrepare) notifyListener_l(MEDIA_PREPARED);
    modifyFlags(PREPARED, SET);
    mAsyncPrepareEvent.clear();
    mPreparedCondition.broadcast();
    if (mSilentReprepare) {
        if (mExtractorFlags & MediaExtractor::CAN_SEEK) seekTo_l(mReprepareSeekTimeUs);
        if (mResumeAfterReprepare) {
            modifyFlags(CACHE_UNDERRUN, CLEAR);
            play_l();
        }
        mSilentReprepare = false;
    }
}

void PlaybackEngine::abortPrepare(status_t err) {
    mLock.assertHeld();
    VLOGI("abortPrepare : %d", err);
    if (mIsAsyncPrepare || mIsHlsSession) notifyListener_l(MEDIA_ERROR, MEDIA_ERROR_UNKNOWN, err);
    mPrepareResult = err;
    modifyFlags(PREPARING | PREPARE_CANCELLED | PREPARING_CONNECTED, CLEAR);
    mAsyncPrepareEvent.clear();
    mPreparedCondition.broadcast();
    mSilentReprepare = false;
}

void PlaybackEngine::notifyVideoSize_l() {
    mLock.assertHeld();
    Ref<MetaData> format = mVideoSource != nullptr ? mVideoSource->getFormat() : nullptr;
    if (format == nullptr) return;
    int32_t left, top, right, bottom;
    int32_t width = 0, height = 0;
    format->findInt32(kKeyWidth, &width);
    format->findInt32(kKeyHeight, &height);
    if (format->findRect(kKeyCropRect, &left, &top, &right, &bottom)) {
        VLOGI("got crop rect %d, %d, %d, %d", left, top, right, bottom);
    } else {
        left = top = 0;
        right = width - 1;
        bottom = height - 1;
        VLOGI("got dimensions only %d x %d", width, height);
    }
    int32_t displayWidth;
    if (format->findInt32(kKeyDisplayWidth, &displayWidth) && displayWidth != mDisplayWidth) {
        VLOGI("Display width changed (%d=>%d)", mDisplayWidth, displayWidth);
        mDisplayWidth = displayWidth;
    }
    int32_t displayHeight;
    if (format->findInt32(kKeyDisplayHeight, &displayHeight) && displayHeight != mDisplayHeight) {
        VLOGI("Display height changed (%d=>%d)", mDisplayHeight, displayHeight);
        mDisplayHeight = displayHeight;
    }
    int32_t usableWidth = right - left + 1;
    int32_t usableHeight = bottom - top + 1;
    if (mDisplayWidth != 0) usableWidth = mDisplayWidth;
    if (mDisplayHeight != 0) usableHeight = mDisplayHeight;
    mVideoWidth = width;
    mVideoHeight = height;
    {
        Mutex::Autolock _s(mStatsLock);
        if (mStats.videoTrackIndex >= 0) {
            mStats.tracks[static_cast<size_t>(mStats.videoTrackIndex)].width = width;
            mStats.tracks[static_cast<size_t>(mStats.videoTrackIndex)].height = height;
        }
    }
    notifyListener_l(MEDIA_SET_VIDEO_SIZE, usableWidth, usableHeight);
}


void PlaybackEngine::initRenderer_l() {
    mLock.assertHeld();
    mRendererNeedsInit = false;
    if (mVideoRenderer != nullptr) mDoomed.toRelease.push_back(mVideoRenderer);
    mVideoRenderer.clear();
    if (mVideoSink == nullptr || mVideoSource == nullptr) return;
    Ref<MetaData> format = mVideoSource->getFormat();
    if (format == nullptr) return;
    mVideoRenderer = new SinkFrameRenderer(mVideoSink, format, mDisplayWidth, mDisplayHeight);
    const status_t err = mVideoRenderer->initCheck();
    if (err != OK) {
        // The sink cannot draw this picture format (too large for it, or no usable context).
        VLOGE("video sink init failed %d", err);
        mVideoRenderer.clear();
        notifyListener_l(MEDIA_ERROR, MEDIA_ERROR_UNKNOWN, err);
    }
}

void PlaybackEngine::createAudioPlayer_l() {
    mLock.assertHeld();
    if (mAudioPlayer != nullptr || mAudioSource == nullptr) return;
    auto player = std::make_unique<AudioPlayer>(mAudioSink, false, this);
    player->setSource(mAudioSource);
    if (mPendingAudioSeekUs >= 0) {
        // A seek made before there was an audio player: the player starts reading there.
        player->seekTo(mPendingAudioSeekUs);
        mWatchForAudioSeekComplete = true;
        mPendingAudioSeekUs = -1;
    }
    if (mPlaybackRate != 10.0f) player->setPlaybackRate(mPlaybackRate);
    {
        Mutex::Autolock _m(mMiscStateLock);
        mAudioPlayer = std::move(player);
    }
    mTimeSource = mAudioPlayer.get();
    mAudioOutputLost = false;
    modifyFlags(AUDIO_RUNNING | AUDIOPLAYER_STARTED, CLEAR);
}

void PlaybackEngine::deleteAudioPlayer_l() {
    mLock.assertHeld();
    if (mAudioPlayer == nullptr) return;
    std::unique_ptr<AudioPlayer> player;
    {
        Mutex::Autolock _m(mMiscStateLock);
        player = std::move(mAudioPlayer);
    }
    mTimeSource = &mSystemTimeSource;
    // The player owns its decoder from here; it stops it when it goes.
    mAudioSource.clear();
    mDoomed.audioPlayers.push_back(std::move(player));
    modifyFlags(AUDIO_RUNNING | AUDIOPLAYER_STARTED, CLEAR);
}

status_t PlaybackEngine::play() {
    EngineLock lock(this, "play");
    modifyFlags(CACHE_UNDERRUN, CLEAR);
    mResetting = false;
    return play_l();
}

status_t PlaybackEngine::play_l() {
    mLock.assertHeld();
    modifyFlags(SEEK_PREVIEW, CLEAR);
    if (mFlags & PLAYING) return OK;
    if (!(mFlags & PREPARED)) {
        status_t err = prepare_l();
        if (err != OK) {
            VLOGI("play_l prepare error %d", err);
            return err;
        }
    }
    reportAgentStatus_l(PlayerAgent::kPlay);
    modifyFlags(PLAYING | FIRST_FRAME, SET);
    if (mAudioSource != nullptr) {
        createAudioPlayer_l();
        if (mVideoSource == nullptr) {
            status_t err = startAudioPlayer_l(false);
            if (err != OK) {
                deleteAudioPlayer_l();
                modifyFlags(PLAYING | FIRST_FRAME, CLEAR);
                VLOGI("play_l startAudioPlayer error %d", err);
                return err;
            }
        }
    }
    if (mAudioPlayer == nullptr) mTimeSource = &mSystemTimeSource;
    if (mVideoSource != nullptr) {
        postVideoEvent_l();
        if (mAudioSource != nullptr) postVideoLagEvent_l();
    } else if (mAudioPlayer != nullptr) {
        postAudioOutputWatch_l();
    }
    if (mFlags & AT_EOS) seekTo_l(0);
    modifyFlags(PLAYED_ONCE, SET);
    return OK;
}

void PlaybackEngine::notifyIfMediaStarted_l() {
    if (mMediaStartedGeneration == mStartGeneration) {
        mMediaStartedGeneration = -1;
        notifyListener_l(MEDIA_STARTED);
    }
}

status_t PlaybackEngine::startAudioPlayer_l(bool sendErrorNotification) {
    mLock.assertHeld();
    if (mAudioSource == nullptr || mAudioPlayer == nullptr) return OK;
    {
        Mutex::Autolock _a(mAudioLock);
        if (mAudioTearDownEventPending) {
            mQueue.cancelEvent(mAudioTearDownEvent->eventID());
            mAudioTearDownEventPending = false;
        }
    }
    if (mFlags & AUDIOPLAYER_STARTED) {
        if (mAudioPlayer->isSeeking()) postCheckAudioStatusEvent(0);
        mAudioPlayer->resume();
        notifyIfMediaStarted_l();
    } else {
        // The sound device may still be closing for a player that was just let go.
        { Mutex::Autolock waitForTeardown(mTeardownLock); }
        const bool wasSeeking = mAudioPlayer->isSeeking();
        status_t err = mAudioPlayer->start(true);
        if (err != OK) {
            if (sendErrorNotification) {
                VLOGE("AudioPlayer Start Error");
                notifyListener_l(MEDIA_ERROR, MEDIA_ERROR_UNKNOWN, ERROR_NO_AUDIO);
            }
            return err;
        }
        modifyFlags(AUDIOPLAYER_STARTED, SET);
        if (wasSeeking) {
            postCheckAudioStatusEvent(0);
        } else {
            notifyIfMediaStarted_l();
        }
    }
    modifyFlags(AUDIO_RUNNING, SET);
    mWatchForAudioEOS = true;
    return OK;
}

status_t PlaybackEngine::pause() {
    EngineLock lock(this, "player_pause");
    modifyFlags(CACHE_UNDERRUN, CLEAR);
    return pause_l();
}

status_t PlaybackEngine::pause_l() {
    mLock.assertHeld();
    if (mFlags & PLAYING) {
        reportAgentStatus_l(PlayerAgent::kPause);
        notifyListener_l(MEDIA_PAUSED);
        mMediaStartedGeneration = ++mStartGeneration;
        if (mAudioPlayer != nullptr && (mFlags & AUDIO_RUNNING)) {
            mAudioPlayer->pause(false);
            modifyFlags(AUDIO_RUNNING, CLEAR);
        }
        cancelPlayerEvents(true);
        cancelCaptionDownloads_l();
        modifyFlags(PLAYING, CLEAR);
    } else if (mSilentReprepare && mResumeAfterReprepare) {
        VLOGI("pause_l() during teardown and finishSetDataSource_l() mFlags %x", static_cast<unsigned>(mFlags));
        mResumeAfterReprepare = false;
        notifyListener_l(MEDIA_PAUSED);
        mMediaStartedGeneration = ++mStartGeneration;
    }
    return OK;
}

status_t PlaybackEngine::stop() {
    interruptSession();
    {
        EngineLock lock(this);
        if (mFlags & PLAYING) pause_l();
        if (mStopped) return OK;
        VLOGI("# stop 1");
        mStopped = true;
        if (mCachedSource != nullptr) mCachedSource->setStopFlag(DataSource::kStopFlagStop);
    }
    usleep(100000);
    // Ends the agent session too: its stop report goes out, then no further requests.
    reset();
    {
        EngineLock lock(this);
        // A prepare begun meanwhile (prepareAsync clears mStopped, a start prepares without doing
        // so) keeps the queues it posted to, and of two stops only one joins them.
        if (!mStopped || mQueuesStopping || (mFlags & PREPARING)) return OK;
        mQueuesStopping = true;
    }
    mQueue.stop(false);
    mReporterQueue.stop(false);
    {
        EngineLock lock(this);
        mQueueStarted = mReporterQueueStarted = false;
        mQueuesStopping = false;
        mPreparedCondition.broadcast();
    }
    VLOGI("# stop 2");
    return OK;
}

status_t PlaybackEngine::reset() {
    interruptSession();
    EngineLock lock(this, "reset");
    reset_l();
    return OK;
}

void PlaybackEngine::shutdownVideoDecoder_l() {
    mLock.assertHeld();
    if (mVideoBuffer) {
        mVideoBuffer->release();
        mVideoBuffer = nullptr;
    }
    if (mVideoRenderer != nullptr) mDoomed.toRelease.push_back(mVideoRenderer);
    mVideoRenderer.clear();
    if (mVideoSource != nullptr) mDoomed.sourcesToStop.push_back(mVideoSource);
    mVideoSource.clear();
}

void PlaybackEngine::reset_l() {
    mLock.assertHeld();
    mSourceFlag = false;
    mActiveAudioTrackIndex = -1;
    mDisplayWidth = mDisplayHeight = 0;
    mVideoWidth = mVideoHeight = 0;
    mCachedDurationUs = 0;
    mIsHlsSession = false;
    notifyListener_l(MEDIA_STOPPED);
    if (mFlags & PREPARING) {
        modifyFlags(PREPARE_CANCELLED, SET);
        mSourceSetup.cancel();
        if (mFlags & PREPARING_CONNECTED) finishAsyncPrepare_l();
        if (mQueue.isWorkerThread()) {
            // The prepare event cannot run while this event does: end the prepare here.
            abortPrepare(UNKNOWN_ERROR);
        }
        while (mFlags & PREPARING) mPreparedCondition.wait(mLock);
    }
    cancelPlayerEvents(false);
    if (mAudioPlayer != nullptr) mAudioPlayer->pause(false);
    mResetting = true;
    Ref<MediaExtractor> extractor;
    {
        Mutex::Autolock _m(mMiscStateLock);
        extractor = mExtractor;
        mExtractor.clear();
    }
    if (extractor != nullptr) {
        VLOGI("reset_l >>> mExtractor >>> setStopFlag");
        extractor->setStopFlag(MediaExtractor::kStopFlagStop);
    }
    Ref<CachedSource> cache;
    {
        Mutex::Autolock _m(mMiscStateLock);
        cache = std::move(mCachedSource);
    }
    if (cache != nullptr) cache->setStopFlag(DataSource::kStopFlagStop);
    mHasAgentItem = false;
    mAgentItem = AgentItem();
    if (mAgent != nullptr) {
        reportAgentStatus_l(PlayerAgent::kStop);
        mDoomed.agents.push_back(std::move(mAgent));
    }
    mReportedAgentError = 0;
    mReportedFinalStatus = OK;
    mStoredErrorCode = 0;
    mAudioTrack.clear();
    mVideoTrack.clear();
    if (mAudioPlayer == nullptr && mAudioSource != nullptr) mDoomed.sourcesToStop.push_back(mAudioSource);
    deleteAudioPlayer_l();
    mAudioSource.clear();
    mAudioSwitch = AudioSwitch();
    mUri.clear();
    mUriHeaders.clear();
    mIsFdSource = false;
    releaseSubtitles_l();
    shutdownVideoDecoder_l();
    // Released after the decoders that read from it have stopped.
    if (extractor != nullptr) mDoomed.toRelease.push_back(extractor);
    if (cache != nullptr) mDoomed.toRelease.push_back(cache);
    {
        Mutex::Autolock _m(mMiscStateLock);
        mDurationUs = -1;
        mVideoTimeUs = 0;
    }
    mInError = false;
    modifyFlags(0, ASSIGN);
    mExtractorFlags = 0;
    mSeeking = 0;
    mSeekTimeUs = 0;
    mSkipUntilUs = -1;
    ++mVideoGeneration;
    mLastVideoTimeUs = 0;
    mAvSync.reset();
    mVideoRenderingStarted = false;
    mPreviewPending = false;
    mWatchForAudioSeekComplete = false;
    mWatchForAudioEOS = false;
    mPendingAudioSeekUs = -1;
    mBitrate = -1;
    mFramesDecoded = 0;
    mAudioOutputLost = false;
    {
        Mutex::Autolock _s(mStatsLock);
        mStats = Stats();
    }
    mResetting = false;
    updateState_l();
}

bool PlaybackEngine::isPlaying() {
    EngineLock lock(this);
    return (mFlags & (PLAYING | CACHE_UNDERRUN)) != 0;
}

status_t PlaybackEngine::setLooping(bool loop) {
    EngineLock lock(this);
    modifyFlags(LOOPING, CLEAR);
    if (loop) modifyFlags(LOOPING, SET);
    return OK;
}

status_t PlaybackEngine::seekTo(int64_t timeUs) {
    EngineLock lock(this);
    if (!(mExtractorFlags & MediaExtractor::CAN_SEEK)) return OK;
    return seekTo_l(std::max<int64_t>(timeUs, 0));
}

status_t PlaybackEngine::seekToExact(int64_t timeUs) {
    EngineLock lock(this);
    if (!(mExtractorFlags & MediaExtractor::CAN_SEEK)) return OK;
    timeUs = std::max<int64_t>(timeUs, 0);
    status_t err = seekTo_l(timeUs);
    mSkipUntilUs = timeUs;
    return err;
}

status_t PlaybackEngine::seekTo_l(int64_t timeUs) {
    mLock.assertHeld();
    {
        Mutex::Autolock _s(mStatsLock);
        mStats.numVideoFramesDecoded = 0;
    }
    kLowWaterMarkUs = 2000000;
    kHighWaterMarkUs = 3000000;
    reportAgentStatus_l(PlayerAgent::kSeeking, toSeconds(timeUs));
    if (mFlags & CACHE_UNDERRUN) {
        modifyFlags(CACHE_UNDERRUN, CLEAR);
        play_l();
    }
    if ((mFlags & PLAYING) && mVideoSource != nullptr && (mFlags & VIDEO_AT_EOS)) postVideoEvent_l();
    mSeeking = 1;
    mSeekNotificationSent = false;
    mSeekTimeUs = timeUs;
    // A picture being read for the old position is stale when it arrives.
    ++mVideoGeneration;
    modifyFlags(AT_EOS | AUDIO_AT_EOS | VIDEO_AT_EOS, CLEAR);
    if (mFlags & PLAYING) {
        notifyListener_l(MEDIA_PAUSED);
        mMediaStartedGeneration = ++mStartGeneration;
    }
    seekTextDrivers_l(timeUs);
    if (!(mFlags & PLAYING)) {
        VLOGI("seeking while paused, sending SEEK_COMPLETE notification immediately.");
        notifyListener_l(MEDIA_SEEK_COMPLETE);
        mSeekNotificationSent = true;
        reportAgentStatus_l(PlayerAgent::kSeeked);
        if ((mFlags & PREPARED) && mVideoSource != nullptr) {
            mPreviewPending = true;
            mPreviewFramesLeft = kPreviewFrames;
            modifyFlags(SEEK_PREVIEW, SET);
            postVideoEvent_l();
        }
    }
    if (mApplicationDataEventPending) {
        mQueue.cancelEvent(mApplicationDataEvent->eventID());
        mApplicationDataEventPending = false;
    }
    if (mVideoSource == nullptr) {
        // Audio only: the seek completes through the audio player.
        finishSeekIfNecessary(-1);
    }
    updateState_l();
    return OK;
}

void PlaybackEngine::finishSeekIfNecessary(int64_t videoTimeUs) {
    mLock.assertHeld();
    if (mSeeking == 2) {
        mSeeking = 0;
        return;
    }
    if (mSeeking == 0) return;
    if (mSeekNotificationSent && videoTimeUs >= 0 && std::llabs(mSeekTimeUs - videoTimeUs) > 10000) {
        notifyListener_l(MEDIA_SKIPPED);
    }
    if (mAudioPlayer == nullptr) {
        if (videoTimeUs < 0) {
            // Nothing decoded yet (sound only, not started): the position is the target.
            Mutex::Autolock _m(mMiscStateLock);
            mVideoTimeUs = mSeekTimeUs.load();
        }
        if (!mSeekNotificationSent) {
            notifyListener_l(MEDIA_SEEK_COMPLETE);
            mSeekNotificationSent = true;
            reportAgentStatus_l(PlayerAgent::kSeeked);
        }
        if (mAudioSource != nullptr) mPendingAudioSeekUs = videoTimeUs < 0 ? mSeekTimeUs.load() : videoTimeUs;
    } else {
        const int64_t target = videoTimeUs < 0 ? mSeekTimeUs.load() : videoTimeUs;
        VLOGI("seeking audio to %lld us (%.2f secs).", static_cast<long long>(target), target / 1e6);
        mAudioPlayer->seekTo(target);
        mWatchForAudioSeekComplete = true;
        mWatchForAudioEOS = true;
        if (!(mFlags & AUDIOPLAYER_STARTED) || !(mFlags & PLAYING)) {
            // A player that is not filling completes the seek at its next start.
            postCheckAudioStatusEvent(0);
        }
    }
    modifyFlags(FIRST_FRAME, SET);
    mSeeking = 0;
    updateState_l();
}

status_t PlaybackEngine::getPosition(int64_t* positionUs) {
    if (positionUs == nullptr) return BAD_VALUE;
    if (mSeeking != 0) {
        *positionUs = mSeekTimeUs;
        return OK;
    }
    // Hosts ask from their own thread: the audio player is read and used under the lock that
    // deleteAudioPlayer_l takes before letting it go.
    Mutex::Autolock _m(mMiscStateLock);
    if (mAudioPlayer != nullptr && (mFlags & AUDIOPLAYER_STARTED) && !(mFlags & AUDIO_AT_EOS)) {
        *positionUs = mAudioPlayer->getMediaTimeUs();
        return OK;
    }
    *positionUs = mVideoTimeUs;
    return OK;
}

status_t PlaybackEngine::getDuration(int64_t* durationUs) {
    if (durationUs == nullptr) return BAD_VALUE;
    Mutex::Autolock _m(mMiscStateLock);
    // A live playlist's length changes as its window moves.
    if (mIsHlsSession && !mLiveDisabled && mExtractor != nullptr) {
        int64_t sessionUs = -1;
        if (static_cast<HLSExtractor*>(mExtractor.get())->getDuration(&sessionUs) == OK && sessionUs >= 0) {
            mDurationUs = sessionUs;
        }
    }
    if (mDurationUs < 0) return UNKNOWN_ERROR;
    *durationUs = mDurationUs;
    return OK;
}

status_t PlaybackEngine::getLiveDurationUs(int64_t* durationUs) {
    if (durationUs == nullptr) return BAD_VALUE;
    // Only an HLS extractor with live handling on reports a live length.
    *durationUs = 0;
    EngineLock lock(this);
    HLSExtractor* hls = hlsExtractor_l();
    if (hls != nullptr && hls->isLive()) hls->getDuration(durationUs);
    return OK;
}

bool PlaybackEngine::isLiveSeekable() {
    EngineLock lock(this);
    HLSExtractor* hls = hlsExtractor_l();
    return hls != nullptr && hls->isLive() && hls->isSeekable();
}

HLSExtractor* PlaybackEngine::hlsExtractor_l() {
    mLock.assertHeld();
    if (!mIsHlsSession || mLiveDisabled || mExtractor == nullptr) return nullptr;
    return static_cast<HLSExtractor*>(mExtractor.get());
}

void PlaybackEngine::onMultiStreamEvent(MediaExtractor* extractor, int32_t type, int32_t ext1, int32_t ext2) {
    EngineLock lock(this);
    // Events of a session that has ended are not the host's business.
    if (extractor == nullptr || (mExtractor.get() != extractor && !(mFlags & PREPARING))) return;
    switch (type) {
        case HLSExtractor::kEventError:
            // A session still being set up reports its failure through the set-up, unless the
            // set-up already saw it ready: then it is sent once the prepare is finished.
            if (mFlags & PREPARING) {
                if (mSessionErrorWhilePreparing == OK) mSessionErrorWhilePreparing = ext2;
                break;
            }
            VLOGE("[%d] 4 abortPrepare Call.", __LINE__);
            abortPrepare(ext2);
            break;
        case HLSExtractor::kEventInfo:
            notifyListener_l(MEDIA_INFO, ext1, ext2);
            break;
        default:
            break;
    }
}

void PlaybackEngine::cancelPlayerEvents(bool keepNotifications) {
    mLock.assertHeld();
    mQueue.cancelEvent(mVideoEvent->eventID());
    mVideoEventPending = false;
    mQueue.cancelEvent(mVideoLagEvent->eventID());
    mVideoLagEventPending = false;
    mQueue.cancelEvent(mApplicationDataEvent->eventID());
    mApplicationDataEventPending = false;
    mQueue.cancelEvent(mAudioOutputWatchEvent->eventID());
    mAudioOutputWatchPending = false;
    {
        Mutex::Autolock _a(mAudioLock);
        if (mAudioTearDownEventPending) {
            mQueue.cancelEvent(mAudioTearDownEvent->eventID());
            mAudioTearDownEventPending = false;
        }
    }
    if (!keepNotifications) {
        mQueue.cancelEvent(mStreamDoneEvent->eventID());
        mStreamDoneEventPending = false;
        {
            Mutex::Autolock _a(mAudioLock);
            mQueue.cancelEvent(mCheckAudioStatusEvent->eventID());
            mAudioStatusEventPending = false;
        }
        mQueue.cancelEvent(mBufferingEvent->eventID());
        mBufferingEventPending = false;
        // While a stop joins the reporter queue its stop request is queued there too: it drops
        // the events itself.
        if (!mQueuesStopping) mReporterQueue.cancelAllEvents();
    }
}

void PlaybackEngine::postVideoEvent_l(int64_t delayUs) {
    mLock.assertHeld();
    if (mVideoEventPending) return;
    mVideoEventPending = true;
    mQueue.postEventWithDelay(mVideoEvent, delayUs < 0 ? kDefaultVideoEventDelayUs : delayUs);
}

void PlaybackEngine::postStreamDoneEvent_l(status_t status) {
    mLock.assertHeld();
    if (mStreamDoneEventPending) return;
    mStreamDoneEventPending = true;
    mStreamDoneStatus = status;
    mQueue.postEvent(mStreamDoneEvent);
}

void PlaybackEngine::postVideoLagEvent_l() {
    mLock.assertHeld();
    if (mVideoLagEventPending) return;
    mVideoLagEventPending = true;
    mQueue.postEventWithDelay(mVideoLagEvent, kVideoLagEventDelayUs);
}

void PlaybackEngine::postBufferingEvent_l(int64_t delayUs) {
    mLock.assertHeld();
    if (mBufferingEventPending) return;
    mBufferingEventPending = true;
    mQueue.postEventWithDelay(mBufferingEvent, delayUs < 0 ? kDefaultBufferingEventDelayUs : delayUs);
}

void PlaybackEngine::postAudioOutputWatch_l() {
    mLock.assertHeld();
    if (mAudioOutputWatchPending) return;
    mAudioOutputWatchPending = true;
    // Subtitles start as soon as the clock runs, not a whole watch period later.
    const bool textWaiting = startTextDrivers_l();
    mQueue.postEventWithDelay(mAudioOutputWatchEvent, textWaiting ? kTextStartCheckUs : kAudioOutputWatchDelayUs);
}

void PlaybackEngine::postCheckAudioStatusEvent(int64_t delayUs) {
    Mutex::Autolock _a(mAudioLock);
    if (mAudioStatusEventPending) {
        VLOGE("postCheckAudioStatusEvent Already Pending");
        return;
    }
    if (delayUs < 0) delayUs = kDefaultAudioStatusDelayUs;
    if (mFlags & (LOOPING | AUTO_LOOPING)) delayUs = 0;
    VLOGI("postCheckAudioStatusEvent (%lld)", static_cast<long long>(delayUs));
    mAudioStatusEventPending = true;
    mQueue.postEventWithDelay(mCheckAudioStatusEvent, delayUs);
}

void PlaybackEngine::postAudioEOS(int64_t delayUs) { postCheckAudioStatusEvent(delayUs); }

void PlaybackEngine::postAudioSeekComplete() { postCheckAudioStatusEvent(0); }

void PlaybackEngine::postAudioStatusCheck() { postCheckAudioStatusEvent(0); }

void PlaybackEngine::postAudioTearDown() {
    Mutex::Autolock _a(mAudioLock);
    if (mAudioTearDownEventPending) return;
    mAudioTearDownEventPending = true;
    mQueue.postEventWithDelay(mAudioTearDownEvent, kAudioTearDownDelayUs);
}

void PlaybackEngine::postVideoRenderEvent(int64_t delayUs) {
    EngineLock lock(this);
    if (!mQueueStarted) return;
    mVideoRenderEventPending = true;
    mQueue.postEventWithDelay(mVideoRenderEvent, delayUs);
}

int32_t PlaybackEngine::getSourceFlag() { return mSourceFlag ? 1 : 0; }

void PlaybackEngine::setVideoOnlyFallback(bool on) { mVideoOnlyFallback = on; }

bool PlaybackEngine::hasNext(int32_t index) {
    // The play list lives in the agent client; without an agent session it is empty.
    std::shared_ptr<PlayerAgent> agent;
    {
        EngineLock lock(this);
        agent = sessionAgent_l();
    }
    if (agent == nullptr) return false;
    const int32_t target = index == -1 ? agent->currentIndex() + 1 : index;
    return target >= 0 && target < agent->itemCount();
}

bool PlaybackEngine::getVideoSize(int32_t* width, int32_t* height) {
    EngineLock lock(this);
    if (width) *width = mVideoWidth;
    if (height) *height = mVideoHeight;
    return true;
}

// ---------------------------------------------------------------------------------------------
// The video event: take a picture from the decoder (with the lock released: the decoder may be
// waiting for the network), then decide under the lock whether it is rendered, dropped or held.

void PlaybackEngine::onVideoEvent() {
    assertOnQueueThread();
    FrameRead read;
    {
        EngineLock lock(this);
        if (!beginFrameRead_l(&read)) return;
    }
    for (;;) {
        if (read.source != nullptr) readFrame(&read);
        EngineLock lock(this);
        if (read.status == INFO_FORMAT_CHANGED && read.generation == mVideoGeneration) {
            VLOGI("VideoSource signalled format change.");
            notifyVideoSize_l();
            notifyListener_l(MEDIA_INFO, MEDIA_INFO_VIDEO_FORMAT_CHANGED, 0);
            initRenderer_l();
            read.status = OK;
            continue;  // read again, with the lock released
        }
        if (!acceptFrame_l(&read)) return;
        playFrame_l();
        return;
    }
}

bool PlaybackEngine::beginFrameRead_l(FrameRead* read) {
    mLock.assertHeld();
    if (!mVideoEventPending) return false;
    mVideoEventPending = false;
    if (mVideoSource == nullptr) return false;

    if (mSeeking != 0) {
        if (mVideoBuffer) {
            mVideoBuffer->release();
            mVideoBuffer = nullptr;
        }
        if (mSeeking == 1 && mAudioSource != nullptr && !(mFlags & SEEK_PREVIEW) && mAudioPlayer != nullptr &&
            (mFlags & AUDIO_RUNNING)) {
            mAudioPlayer->pause(false);
            modifyFlags(AUDIO_RUNNING, CLEAR);
        }
    }
    read->generation = mVideoGeneration;
    if (mVideoBuffer) return true;  // a held picture: nothing to read
    read->source = mVideoSource;
    if (mSeeking != 0) {
        VLOGI("seeking to %lld us (%.2f secs)", static_cast<long long>(mSeekTimeUs.load()), mSeekTimeUs / 1e6);
        read->options.setSeekTo(mSeekTimeUs, mSeeking == 2 ? MediaSource::ReadOptions::SeekNextSync
                                                           : MediaSource::ReadOptions::SeekClosestSync);
        read->options.setSkipUntil(mSkipUntilUs);
    } else {
        read->options.setWaitLimit(kVideoReadWaitLimitUs);
    }
    read->skipUntilUs = mSkipUntilUs;
    return true;
}

void PlaybackEngine::readFrame(FrameRead* read) {
    for (;;) {
        MediaBuffer* buffer = nullptr;
        const status_t err = read->source->read(&buffer, &read->options);
        read->options.clearSeekTo();
        if (err != OK) {
            read->status = err;
            return;
        }
        if (buffer->range_length() == 0) {
            buffer->release();
            continue;
        }
        if (read->skipUntilUs >= 0) {
            int64_t t = 0;
            buffer->meta_data()->findInt64(kKeyTime, &t);
            if (t < read->skipUntilUs) {
                buffer->release();
                continue;
            }
        }
        read->buffer = buffer;
        read->status = OK;
        return;
    }
}

bool PlaybackEngine::acceptFrame_l(FrameRead* read) {
    mLock.assertHeld();
    if (read->generation != mVideoGeneration) {
        // A seek, a reset or a new source came while the picture was read: it is stale.
        if (read->buffer) read->buffer->release();
        read->buffer = nullptr;
        if (mVideoSource != nullptr && (mFlags & (PLAYING | SEEK_PREVIEW))) postVideoEvent_l(0);
        return false;
    }
    if (read->source != nullptr && read->status == WOULD_BLOCK) {
        // No picture within the wait limit: ask again shortly, the queue meanwhile free for the
        // buffering check. A pause in between leaves the event to the next start.
        if (mFlags & (PLAYING | SEEK_PREVIEW)) postVideoEvent_l(kDefaultVideoEventDelayUs);
        return false;
    }
    if (read->source != nullptr) {
        if (read->status != OK) {
            const status_t err = read->status;
            if (mSeeking != 0) {
                VLOGI("video stream ended while seeking!");
                finishSeekIfNecessary(-1);
            }
            if (err != ERROR_END_OF_STREAM && err != USER_STOP && mAudioPlayer != nullptr &&
                !(mFlags & AUDIO_RUNNING) && !(mFlags & SEEK_PREVIEW)) {
                startAudioPlayer_l();
            }
            VLOGI("Video postStreamDone %d", err);
            modifyFlags(VIDEO_AT_EOS, SET);
            postStreamDoneEvent_l(err);
            return false;
        }
        mVideoBuffer = read->buffer;
        read->buffer = nullptr;
        if (read->skipUntilUs >= 0) mSkipUntilUs = -1;
        ++mFramesDecoded;
        Mutex::Autolock _s(mStatsLock);
        ++mStats.numVideoFramesDecoded;
    }
    if (!(mFlags & (PLAYING | SEEK_PREVIEW))) {
        // Paused while the picture was read: it waits for playback to resume.
        return false;
    }
    return true;
}

void PlaybackEngine::playFrame_l() {
    mLock.assertHeld();
    int64_t timeUs = 0;
    mVideoBuffer->meta_data()->findInt64(kKeyTime, &timeUs);
    if (timeUs < mLastVideoTimeUs) {
        VLOGI("XXXXXX mLastVideoTimeUs = %lld us, timeUs = %lld us", static_cast<long long>(mLastVideoTimeUs),
              static_cast<long long>(timeUs));
    }
    if (mSeeking == 2 && mSeekTimeUs > timeUs) {
        VLOGI("XXX mSeekTimeUs = %lld us, timeUs = %lld us", static_cast<long long>(mSeekTimeUs.load()),
              static_cast<long long>(timeUs));
    }
    mLastVideoTimeUs = timeUs;
    {
        Mutex::Autolock _m(mMiscStateLock);
        mVideoTimeUs = timeUs;
    }
    const int32_t wasSeeking = mSeeking;
    finishSeekIfNecessary(timeUs);

    if (!ensureAudioRunning_l()) return;
    if (checkAudioOutput_l()) return;
    startTextDrivers_l();

    TimeSource* clock = (mFlags & AUDIO_AT_EOS) ? static_cast<TimeSource*>(&mSystemTimeSource) : mTimeSource;
    const bool firstFrame = (mFlags & FIRST_FRAME) != 0;
    if (firstFrame) {
        modifyFlags(FIRST_FRAME, CLEAR);
        mAvSync.anchor(clock->getRealTimeUs(), timeUs);
    }
    int64_t realTimeUs, mediaTimeUs;
    if (!(mFlags & AUDIO_AT_EOS) && mAudioPlayer != nullptr &&
        mAudioPlayer->getMediaTimeMapping(&realTimeUs, &mediaTimeUs)) {
        mAvSync.remap(realTimeUs, mediaTimeUs);
    }

    const bool livePreview = !mLiveDisabled && mIsHlsSession && (mFlags & SEEK_PREVIEW);
    const int64_t clockUs = clock->getRealTimeUs();
    AvSync::Decision decision;
    decision.nowUs = mAvSync.mediaNowUs(clockUs);
    if (wasSeeking == 2) {
        const int64_t latenessUs = decision.nowUs - timeUs;
        if (latenessUs > 0) VLOGI("after SEEK_VIDEO_ONLY we're late by %.2f secs", latenessUs / 1e6);
    }
    if (wasSeeking == 0 && !(mFlags & SEEK_PREVIEW)) {
        decision = mAvSync.decide(timeUs - mTimeshiftOffsetUs, clockUs, firstFrame, mPlaybackRate);
        if (decision.latenessUs > AvSync::kLateUs && !firstFrame) {
            VLOGI("we're late by %lld us (%.2f secs) timeUs %lld (%.2f secs) nowUs %lld (%.2f secs)",
                  static_cast<long long>(decision.latenessUs), decision.latenessUs / 1e6,
                  static_cast<long long>(timeUs), timeUs / 1e6, static_cast<long long>(decision.nowUs),
                  decision.nowUs / 1e6);
        }
        if (decision.action == AvSync::Action::Drop) {
            dropFrame_l(decision, livePreview);
            return;
        }
        if (decision.action == AvSync::Action::Wait) {
            holdFrame_l(livePreview);
            return;
        }
    }
    renderFrame_l(timeUs, decision);
    scheduleNextVideoEvent_l();
}

bool PlaybackEngine::ensureAudioRunning_l() {
    mLock.assertHeld();
    if (mAudioPlayer == nullptr || !(mFlags & PLAYING) || (mFlags & (SEEK_PREVIEW | AUDIO_RUNNING))) return true;
    const status_t err = startAudioPlayer_l(!mVideoOnlyFallback);
    if (err == OK) return true;
    VLOGE("Starting the audio player failed w/ err %d", err);
    if (!mVideoOnlyFallback) return false;
    deleteAudioPlayer_l();
    mTimeSource = &mSystemTimeSource;
    return true;
}

// A sound device that went away (unplugged, sound server gone) is reported once per player.
bool PlaybackEngine::checkAudioOutput_l() {
    mLock.assertHeld();
    if (mAudioOutputLost || mVideoOnlyFallback || mAudioSink == nullptr || mAudioPlayer == nullptr ||
        !(mFlags & AUDIO_RUNNING)) {
        return false;
    }
    if (!mAudioSink->isBufferLost()) return false;
    mAudioOutputLost = true;
    VLOGE("AudioPlayer Running Error");
    notifyListener_l(MEDIA_ERROR, MEDIA_ERROR_UNKNOWN, ERROR_AUDIO_OUTPUT_LOST);
    return true;
}

void PlaybackEngine::dropFrame_l(const AvSync::Decision& decision, bool livePreview) {
    mLock.assertHeld();
    VLOGI("we're late by %lld us (%.2f secs) dropping one after %d frames", static_cast<long long>(decision.latenessUs),
          decision.latenessUs / 1e6, mAvSync.sinceLastDropped());
    {
        Mutex::Autolock _s(mStatsLock);
        ++mStats.numVideoFramesDropped;
    }
    if (livePreview && --mPreviewFramesLeft < 0) {
        VLOGI("preview clear 1");
        modifyFlags(SEEK_PREVIEW, CLEAR);
        return;
    }
    mAvSync.noteDropped();
    mVideoBuffer->release();
    mVideoBuffer = nullptr;
    if (decision.latenessUs > AvSync::kSkipToKeyFrameUs && mExtractor != nullptr) mExtractor->setOnlyKeyFrame();
    postVideoEvent_l(kShortVideoEventDelayUs);
}

void PlaybackEngine::holdFrame_l(bool livePreview) {
    mLock.assertHeld();
    if (!livePreview) {
        postVideoEvent_l(kEarlyFrameRetryUs);
    } else if (--mPreviewFramesLeft < 0) {
        VLOGI("preview clear 2");
        modifyFlags(SEEK_PREVIEW, CLEAR);
    } else {
        postVideoEvent_l(kShortVideoEventDelayUs);
    }
}

void PlaybackEngine::renderFrame_l(int64_t timeUs, const AvSync::Decision& decision) {
    mLock.assertHeld();
    if (mVideoRenderer == nullptr || mRendererNeedsInit) initRenderer_l();
    mAvSync.noteRendered();
    if (const EngineProbes* probes = GetEngineProbes(); probes != nullptr && probes->onRender) {
        probes->onRender(timeUs, decision.nowUs, decision.latenessUs);
    }
    if (mVideoRenderer != nullptr) mVideoRenderer->render(mVideoBuffer);
    if (!mVideoRenderingStarted) {
        mVideoRenderingStarted = true;
        notifyListener_l(MEDIA_INFO, MEDIA_INFO_RENDERING_START);
    }
    if (mFlags & PLAYING) notifyIfMediaStarted_l();
    if (mVideoBuffer != nullptr) {  // a render error may have paused and let go of it already
        mVideoBuffer->release();
        mVideoBuffer = nullptr;
    }
}

void PlaybackEngine::scheduleNextVideoEvent_l() {
    mLock.assertHeld();
    if (mFlags & SEEK_PREVIEW) {
        // A seek while paused shows the picture at the target and holds it there; the redraw
        // event puts it on screen once more after the sink has settled.
        modifyFlags(SEEK_PREVIEW, CLEAR);
        mPreviewPending = false;
        mSeekNotificationSent = true;
        mVideoRenderEventPending = true;
        mQueue.postEventWithDelay(mVideoRenderEvent, kPreviewRedrawDelayUs);
        return;
    }
    if (mFlags & PLAYING) postVideoEvent_l();
}

void PlaybackEngine::onStreamDone() {
    assertOnQueueThread();
    EngineLock lock(this);
    if (!mStreamDoneEventPending) return;
    mStreamDoneEventPending = false;
    if (mStreamDoneStatus == USER_STOP) return;  // a reset or stop cut the stream short on purpose
    if (mInError) return;  // the session already ended in an error: nothing completes after it
    if (mStreamDoneStatus != ERROR_END_OF_STREAM) {
        VLOGE("MEDIA_ERROR %d", mStreamDoneStatus);
        notifyListener_l(MEDIA_ERROR, MEDIA_ERROR_UNKNOWN, mStreamDoneStatus);
        pause_l();
        modifyFlags(AT_EOS, SET);
        return;
    }
    const bool videoDone = mVideoSource == nullptr || (mFlags & VIDEO_AT_EOS);
    const bool audioDone = mAudioSource == nullptr || mVideoOnlyFallback || (mFlags & AUDIO_AT_EOS);
    if (!videoDone || !audioDone) {
        VLOGI("onStreamDone Video %d Audio %d", videoDone ? 1 : 0, audioDone ? 1 : 0);
        return;
    }
    // A source that cannot seek cannot start over: it completes like any other.
    if (((mFlags & LOOPING) || (mFlags & AUTO_LOOPING)) && (mExtractorFlags & MediaExtractor::CAN_SEEK)) {
        seekTo_l(0);
        if (mVideoSource != nullptr) postVideoEvent_l();
        return;
    }
    VLOGI("MEDIA_PLAYBACK_COMPLETE");
    if (std::shared_ptr<PlayerAgent> agent = sessionAgent_l()) {
        Mutex::Autolock _m(mMiscStateLock);
        if (mDurationUs > 0) agent->setCurrent(toSeconds(mDurationUs));
    }
    notifyListener_l(MEDIA_PLAYBACK_COMPLETE);
    pause_l();
    modifyFlags(AT_EOS, SET);
}

void PlaybackEngine::sendBandwidth_l() {
    mLock.assertHeld();
    int32_t kbps;
    if (mCachedSource == nullptr || mCachedSource->getEstimatedBandwidthKbps(&kbps) != OK) return;
    // Straight to the front: a bandwidth figure is not an error and needs none of the checks.
    if (Ref<PlayerFront> front = mListener.promote()) front->sendEvent(MEDIA_INFO, MEDIA_INFO_NETWORK_BANDWIDTH, kbps, nullptr);
}

void PlaybackEngine::pauseForUnderrun_l(const char* why) {
    mLock.assertHeld();
    VLOGI("%s", why);
    modifyFlags(CACHE_UNDERRUN, SET);
    pause_l();
    if (mCachedSource != nullptr) mCachedSource->resumeFetchingIfNecessary();
    sendBandwidth_l();
    notifyListener_l(MEDIA_INFO, MEDIA_INFO_BUFFERING_START, 0);
}

void PlaybackEngine::resumeAfterFill_l() {
    mLock.assertHeld();
    // Clearing the flag sends 702 once; the resume sends it again.
    modifyFlags(CACHE_UNDERRUN, CLEAR);
    play_l();
    notifyListener_l(MEDIA_INFO, MEDIA_INFO_BUFFERING_END, 0);
}

// The media time buffered ahead of the reader: from the cache and a bit rate, or from the
// extractor's own queues for a stream FFmpeg reads itself. False when it cannot be told.
bool PlaybackEngine::cachedDuration_l(int64_t* cachedUs, bool* eos, status_t* finalStatus, int64_t* remainingBytes) {
    mLock.assertHeld();
    *finalStatus = OK;
    *remainingBytes = 0;
    if (mCachedSource != nullptr) {
        *remainingBytes = mCachedSource->approxDataRemaining(finalStatus);
        int64_t bitrate = -1;
        int64_t size;
        int64_t durationUs;
        {
            Mutex::Autolock _m(mMiscStateLock);
            durationUs = mDurationUs;
        }
        if (mCachedSource->getSize(&size) == OK && size > 0 && durationUs > 0) {
            bitrate = size * 8000000 / durationUs;
        } else if (mBitrate > 0) {
            bitrate = mBitrate;
        }
        if (bitrate <= 0) return false;
        *cachedUs = *remainingBytes * 8000000 / bitrate;
        *eos = *finalStatus != OK;
        return true;
    }
    if (mExtractor != nullptr && mExtractor->getCachedDuration(cachedUs, eos) == OK) return true;
    return false;
}

// The buffering event's test for finishing a prepare: more than the high mark cached, the
// whole stream cached, or (without a bit rate) more than kFilledBytes.
bool PlaybackEngine::bufferedEnoughToStart_l() {
    mLock.assertHeld();
    int64_t cachedUs = 0;
    bool eos = false;
    status_t finalStatus = OK;
    int64_t remaining = 0;
    if (cachedDuration_l(&cachedUs, &eos, &finalStatus, &remaining)) {
        return finalStatus == OK ? (eos || cachedUs > kHighWaterMarkUs) : finalStatus == ERROR_END_OF_STREAM;
    }
    if (mCachedSource == nullptr) return false;
    remaining = mCachedSource->approxDataRemaining(&finalStatus);
    return finalStatus == ERROR_END_OF_STREAM || (finalStatus == OK && remaining > kFilledBytes);
}

// The agent's play window: a position past the item's play limit ends playback.
void PlaybackEngine::checkAgentPlayWindow_l() {
    mLock.assertHeld();
    std::shared_ptr<PlayerAgent> agent = sessionAgent_l();
    if (agent == nullptr) return;
    int64_t positionUs = 0;
    getPosition(&positionUs);
    agent->setCurrent(toSeconds(positionUs));
    const int32_t agentError = agent->agentErrorCode();
    mStoredErrorCode = agentError;
    if (agentError != OK && agentError != mReportedAgentError) {
        mReportedAgentError = agentError;
        notifyListener_l(MEDIA_ERROR, MEDIA_ERROR_UNKNOWN, agentError);
    }
    if (!mHasAgentItem) return;
    const int32_t limit = mAgentItem.info.playsectionEnd;
    const int32_t windowStart = mAgentItem.info.playsectionStart;
    if (limit > 0 && toSeconds(positionUs) > limit - windowStart && !(mFlags & AT_EOS)) {
        VLOGI("play limit %d s reached", limit);
        notifyListener_l(MEDIA_PLAYBACK_COMPLETE);
        pause_l();
        modifyFlags(AT_EOS, SET);
    }
}

void PlaybackEngine::onBufferingUpdate() {
    assertOnQueueThread();
    EngineLock lock(this);
    if (!mBufferingEventPending) return;
    mBufferingEventPending = false;

    // What is cached ahead of the reader, in media time when it can be told.
    int64_t cachedUs = 0;
    bool eos = false;
    status_t finalStatus = OK;
    int64_t remaining = 0;
    const bool haveDuration = cachedDuration_l(&cachedUs, &eos, &finalStatus, &remaining);

    // Bytes first: the only measure while no bit rate is known.
    if (mCachedSource != nullptr) {
        if (!haveDuration) remaining = mCachedSource->approxDataRemaining(&finalStatus);
        int64_t size;
        if (finalStatus != OK) {
            if (finalStatus == ERROR_END_OF_STREAM) notifyListener_l(MEDIA_BUFFERING_UPDATE, 100, 0);
            if (mFlags & PREPARING) {
                VLOGI("cache has reached EOS, prepare is done.");
                finishAsyncPrepare_l();
            }
        } else {
            if (mCachedSource->getSize(&size) == OK && size > 0) {
                notifyListener_l(MEDIA_BUFFERING_UPDATE, static_cast<int32_t>(mCachedSource->cachedSize() * 100 / size), 0);
            }
            if (!haveDuration) {
                if ((mFlags & PLAYING) && remaining < kUnderrunBytes) {
                    char why[64];
                    snprintf(why, sizeof(why), "cache is running low (< %d) , pausing.", static_cast<int>(kUnderrunBytes));
                    pauseForUnderrun_l(why);
                } else if (remaining > kFilledBytes) {
                    if (mFlags & CACHE_UNDERRUN) {
                        VLOGI("cache has filled up (> %d), resuming.", static_cast<int>(kFilledBytes));
                        resumeAfterFill_l();
                    } else if (mFlags & PREPARING) {
                        VLOGI("cache has filled up (> %d), prepare is done", static_cast<int>(kFilledBytes));
                        finishAsyncPrepare_l();
                    }
                }
            }
        }
    }

    // Then media time.
    if (haveDuration) {
        if (finalStatus != OK && finalStatus != mReportedFinalStatus) {
            mReportedFinalStatus = finalStatus;
            notifyListener_l(MEDIA_INFO, MEDIA_INFO_AGENT_ERROR, mStoredErrorCode);
        }
        VLOGI("cachedDurationUs = %.2f secs, eos=%d, cachedDataRemaining %d", cachedUs / 1e6, eos ? 1 : 0,
              static_cast<int>(remaining));
        HLSExtractor* hls = hlsExtractor_l();
        if (hls != nullptr && mHasAgentItem && mAgentItem.info.isLive && hls->consumeRestartFlag()) {
            VLOGI("timeshift restarting playback first seeking");
            seekTo_l(0);
        }
        if ((mFlags & PLAYING) && !eos && cachedUs < kLowWaterMarkUs) {
            char why[96];
            snprintf(why, sizeof(why), "cache is running low (%.2f secs) , pausing.", cachedUs / 1e6);
            pauseForUnderrun_l(why);
            if (mFlags & RETRY_PENDING) {
                int64_t durationUs = -1;
                {
                    Mutex::Autolock _m(mMiscStateLock);
                    durationUs = mDurationUs;
                }
                int64_t positionUs = 0;
                getPosition(&positionUs);
                VLOGI("## duraion %lld, position %d", static_cast<long long>(durationUs), toSeconds(positionUs));
                modifyFlags(RETRY_PENDING, CLEAR);
                if (durationUs > 0 && durationUs - positionUs <= kRetryNearEndUs) {
                    notifyListener_l(MEDIA_ERROR, MEDIA_ERROR_UNKNOWN, kErrorLiveStreamEnded);
                } else {
                    notifyListener_l(MEDIA_INFO, kInfoLiveRetry, 0);
                }
            }
        } else if (!eos && cachedUs <= kHighWaterMarkUs) {
            if ((mFlags & PLAYING) && finalStatus != OK && finalStatus != ERROR_END_OF_STREAM &&
                cachedUs < kSteadyLowWaterMarkUs) {
                notifyListener_l(MEDIA_ERROR, MEDIA_ERROR_UNKNOWN, finalStatus);
            }
        } else if (mFlags & CACHE_UNDERRUN) {
            VLOGI("cache has filled up (%.2f secs), resuming.", cachedUs / 1e6);
            resumeAfterFill_l();
        } else if (mFlags & PREPARING) {
            VLOGI("cache has filled up (%.2f secs), prepare is done", cachedUs / 1e6);
            finishAsyncPrepare_l();
        } else {
            kLowWaterMarkUs = kSteadyLowWaterMarkUs;
            kHighWaterMarkUs = kSteadyHighWaterMarkUs;
        }
        mCachedDurationUs = cachedUs;
    }

    checkAgentPlayWindow_l();
    if (mFlags & (PREPARED | PREPARING)) postBufferingEvent_l();
}

void PlaybackEngine::postThumbnailEvent_l(int64_t delayUs) {
    mLock.assertHeld();
    if (mResetting || mThumbnailEventPending) return;
    VLOGI("postCheckThumbnailEvent_l");
    mThumbnailEventPending = true;
    mReporterQueue.postEventWithDelay(mThumbnailEvent, delayUs);
}

void PlaybackEngine::postReporterTask_l(std::function<void()> task) {
    mLock.assertHeld();
    if (mQueuesStopping) return;  // the stopped session has nothing more to report
    if (!mReporterQueueStarted) {
        mReporterQueue.start();
        mReporterQueueStarted = true;
    }
    mReporterQueue.postEvent(new EngineTaskEvent(std::move(task)));
}

void PlaybackEngine::reportAgentStatus_l(PlayerAgent::Status status, int32_t currentSeconds) {
    mLock.assertHeld();
    if (std::shared_ptr<PlayerAgent> agent = sessionAgent_l()) agent->setStatus(status, currentSeconds);
}

void PlaybackEngine::onVideoLagUpdate() {
    assertOnQueueThread();
    Ref<MediaExtractor> extractor;
    {
        EngineLock lock(this);
        if (!mVideoLagEventPending) return;
        mVideoLagEventPending = false;
        if (mFlags & VIDEO_AT_EOS) return;
        extractor = mExtractor;
    }
    int64_t cachedUs = -1;
    bool eos = false;
    if (extractor != nullptr && extractor->getCachedDuration(&cachedUs, &eos) != OK) cachedUs = -1;
    EngineLock lock(this);
    if (cachedUs >= 0) mCachedDurationUs = cachedUs;
    if (!(mFlags & PLAYING) || mVideoLagEventPending) return;
    notifyListener_l(MEDIA_INFO, MEDIA_INFO_VIDEO_TRACK_LAGGING, static_cast<int32_t>(mCachedDurationUs / 1000));
    postVideoLagEvent_l();
}

void PlaybackEngine::onCheckAudioStatus() {
    assertOnQueueThread();
    {
        Mutex::Autolock _a(mAudioLock);
        if (!mAudioStatusEventPending) return;
        mAudioStatusEventPending = false;
    }
    EngineLock lock(this);
    if (mAudioPlayer == nullptr) {
        VLOGE("postAudioEOS >>> Already deleted AudioPlayer");
        return;
    }
    if (mWatchForAudioSeekComplete && !mAudioPlayer->isSeeking()) {
        mWatchForAudioSeekComplete = false;
        if (!mSeekNotificationSent) {
            notifyListener_l(MEDIA_SEEK_COMPLETE);
            mSeekNotificationSent = true;
            reportAgentStatus_l(PlayerAgent::kSeeked);
        }
        mSeeking = 0;
        updateState_l();
        if (mFlags & PLAYING) notifyIfMediaStarted_l();
    }
    status_t finalStatus;
    if (mWatchForAudioEOS && mAudioPlayer->reachedEOS(&finalStatus)) {
        VLOGI("Audio postStreamDone %d", finalStatus);
        mWatchForAudioEOS = false;
        modifyFlags(AUDIO_AT_EOS | FIRST_FRAME, SET);
        postStreamDoneEvent_l(finalStatus);
    }
}

void PlaybackEngine::onAudioOutputWatch() {
    assertOnQueueThread();
    EngineLock lock(this);
    if (!mAudioOutputWatchPending) return;
    mAudioOutputWatchPending = false;
    if (!(mFlags & PLAYING) || mVideoSource != nullptr) return;
    if (checkAudioOutput_l()) return;
    postAudioOutputWatch_l();
}

// The sound path asked to be rebuilt: the session is set up again silently and resumes where it
// was. The prepare runs as its own event, after this event has let go of the old audio player.
void PlaybackEngine::onAudioTearDownEvent() {
    assertOnQueueThread();
    EngineLock lock(this);
    {
        Mutex::Autolock _a(mAudioLock);
        if (!mAudioTearDownEventPending) return;
        mAudioTearDownEventPending = false;
    }
    VLOGI("onAudioTearDownEvent");
    const bool resume = (mFlags & PLAYING) != 0;
    std::string uri = mUri;
    std::map<std::string, std::string> headers = mUriHeaders;
    const int32_t fd = mFd;
    const bool isFd = mIsFdSource;
    int64_t positionUs = 0;
    getPosition(&positionUs);
    reset_l();
    mUri = uri;
    mUriHeaders = headers;
    mFd = fd;
    mIsFdSource = isFd;
    mReprepareSeekTimeUs = positionUs;
    mResumeAfterReprepare = resume;
    mSilentReprepare = true;
    mIsAsyncPrepare = true;
    prepareAsync_l();
}

void PlaybackEngine::onApplicationDataEvent() {
    assertOnQueueThread();
    EngineLock lock(this);
    if (!mApplicationDataEventPending) return;
    mApplicationDataEventPending = false;
}

void PlaybackEngine::onVideoRenderEvent(EngineReporterEvent*) {
    assertOnQueueThread();
    EngineLock lock(this);
    mVideoRenderEventPending = false;
    if (!(mFlags & PLAYING) && mVideoRenderer != nullptr) mVideoRenderer->redraw();
}

void PlaybackEngine::onThumbnailEvent(EngineReporterEvent*) {
    QV_ASSERT(mReporterQueue.isWorkerThread(), "not on the reporter queue thread");
    std::shared_ptr<PlayerAgent> agent;
    {
        EngineLock lock(this);
        if (!mThumbnailEventPending) return;
        mThumbnailEventPending = false;
        agent = sessionAgent_l();
    }
    if (agent == nullptr) return;
    // The agent's exchange runs without the engine lock.
    const bool ready = !agent->GetThumbnail().empty();
    EngineLock lock(this);
    if (sessionAgent_l() != agent) return;  // another session began meanwhile
    if (ready) {
        notifyListener_l(kMsgThumbnailReady, 0, 0);
    } else {
        postThumbnailEvent_l(kThumbnailCheckDelayUs);
    }
}

status_t PlaybackEngine::setParameter(int32_t key, const Payload& request) {
    EngineLock lock(this);
    switch (key) {
        case kParamStatisticsWindow:
            // The statistics window belongs to the cache of streamed sources.
            return ERROR_UNSUPPORTED;
        case kParamTimeStretch: {
            if (mAudioPlayer == nullptr) return NO_INIT;
            int32_t value = 0;
            status_t err = request.readInt32(&value);
            if (err != OK) return err;
            // The audio player's time-stretch choice: non-zero selects Sonic instead of SoundTouch.
            mAudioPlayer->setUseSonic(value != 0);
            return OK;
        }
        default:
            return ERROR_UNSUPPORTED;
    }
}

status_t PlaybackEngine::getParameter(int32_t key, Payload* reply) {
    if (key != kParamVideoRotation) return ERROR_UNSUPPORTED;
    EngineLock lock(this);
    // The rotation the current video track asks for, in degrees (0 without video).
    int32_t rotation = 0;
    Ref<MetaData> format = mVideoTrack != nullptr ? mVideoTrack->getFormat() : nullptr;
    if (format != nullptr) format->findInt32(kKeyRotationDegrees, &rotation);
    if (reply) reply->writeInt32(rotation);
    return OK;
}

status_t PlaybackEngine::dump(int fd, const char* args) {
    (void)args;
    Mutex::Autolock _s(mStatsLock);
    std::string out = " PlaybackEngine\n";
    char buf[256];
    if (mStats.fd < 0) {
        out += (mFlags & URLS_HIDDEN) ? "  URI(suppressed)" : "  URI(" + mStats.uri + ")";
    } else {
        snprintf(buf, sizeof(buf), "  fd(%d)", mStats.fd);
        out += buf;
    }
    snprintf(buf, sizeof(buf), ", flags(0x%08x)", mStats.flags);
    out += buf;
    snprintf(buf, sizeof(buf), ", bitrate(%lld bps)\n", static_cast<long long>(mStats.bitrate));
    out += buf;
    for (size_t i = 0; i < mStats.tracks.size(); ++i) {
        const TrackStat& t = mStats.tracks[i];
        snprintf(buf, sizeof(buf), "  Track %d\n", static_cast<int>(i));
        out += buf;
        out += "   MIME(" + t.mime + ")";
        out += ", decoder(" + t.decoderName + ")\n";
        if (static_cast<int32_t>(i) == mStats.videoTrackIndex) {
            snprintf(buf, sizeof(buf),
                     "   videoDimensions(%d x %d), numVideoFramesDecoded(%lld), numVideoFramesDropped(%lld)\n",
                     t.width, t.height, static_cast<long long>(mStats.numVideoFramesDecoded),
                     static_cast<long long>(mStats.numVideoFramesDropped));
            out += buf;
        }
    }
    if (fd >= 0) {
        ssize_t ignored = ::write(fd, out.data(), out.size());
        (void)ignored;
    }
    return OK;
}

status_t PlaybackEngine::getErrorText(const wchar_t* language, int32_t code, wchar_t* out) {
    EngineLock lock(this);
    if (!out) return BAD_VALUE;
    if (!mServerDetail.empty()) {
        swprintf(out, 1024, L"%s", mServerDetail.c_str());
        mServerDetail.clear();
        return OK;
    }
    const wchar_t* text = LookupErrorText(language, code);
    if (code == ERROR_UNKNOWN_HOST && !mTransportDetail.empty()) {
        swprintf(out, 1024, L"%ls\r\n%s", text, mTransportDetail.c_str());
        mTransportDetail.clear();
        return OK;
    }
    swprintf(out, 1024, L"%ls", text);
    return OK;
}


}  // namespace velmor
