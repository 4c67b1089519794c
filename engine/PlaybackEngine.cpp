#include "engine/PlaybackEngine.h"

#include <dlfcn.h>
#include <strings.h>
#include <unistd.h>

#include <cinttypes>
#include <cstring>
#include <cwchar>

#include "engine/PlayerFront.h"
#include "utils/Log.h"

#define LOG_TAG "VEL_PlaybackEngine"

namespace velmor {

namespace {

Mutex gUserAgentLock;
UserAgentInfo gUserAgent;

// Tests define this function in their own program to watch the requests the engine receives;
// a host never does, and then nothing is recorded.
typedef void (*InvokeRecorder)(const uint8_t* data, size_t size);
InvokeRecorder invokeRecorder() {
    static InvokeRecorder recorder =
        reinterpret_cast<InvokeRecorder>(dlsym(RTLD_DEFAULT, "quorvantix_test_invoke_hook"));
    return recorder;
}

// Maps an OS description to its short form; no match leaves `current` unchanged.
std::string shortOsName(const char* os, const std::string& current) {
    if (!os) return current;
    if (strstr(os, "xp")) return "xp";
    if (strstr(os, "Windows 7")) return "7";
    if (strstr(os, "Windows 8")) return "8";
    if (strstr(os, "8.1")) return "81";
    if (strstr(os, "Windows 10")) return "10";
    return current;
}

}  // namespace

UserAgentInfo GetUserAgentInfo() {
    Mutex::Autolock _l(gUserAgentLock);
    return gUserAgent;
}

PlaybackEngine::PlaybackEngine()
    : mQueueStarted(false),
      mReporterQueueStarted(false),
      mFd(-1),
      mIsFdSource(false),
      mIsHlsSession(false),
      mLiveDisabled(false),
      mDisplayWidth(0),
      mDisplayHeight(0),
      mVideoWidth(0),
      mVideoHeight(0),
      mFlags(0),
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
      mPlaybackRate(10.0f),
      mStorageManager(0),
      mSeeking(0),
      mSeekTimeUs(0),
      mSeekNotificationSent(false),
      mSkipUntilUs(-1),
      mVideoTimeUs(0),
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
    mVideoRenderEvent = new EngineReporterEvent(this, &PlaybackEngine::onVideoRenderEvent, "VidoeRenderEvent");
    mThumbnailEvent = new EngineReporterEvent(this, &PlaybackEngine::onThumbnailEvent, "ThumbnailEvent");
}

PlaybackEngine::~PlaybackEngine() {
    if (mQueueStarted) mQueue.stop(false);
    if (mReporterQueueStarted) mReporterQueue.stop(false);
    reset_l();
}

void PlaybackEngine::setListener(const WeakRef<PlayerFront>& listener) {
    Mutex::Autolock _l(mLock);
    mListener = listener;
}

void PlaybackEngine::setAudioSink(const Ref<PlayerBase::AudioSink>& sink) {
    Mutex::Autolock _l(mLock);
    mAudioSink = sink;
}

void PlaybackEngine::setVideoSink(const Ref<PlayerBase::VideoSink>& sink) {
    Mutex::Autolock _l(mLock);
    mVideoSink = sink;
}

bool PlaybackEngine::hasVideoSink() {
    Mutex::Autolock _l(mLock);
    return mVideoSink != nullptr;
}

status_t PlaybackEngine::setVideoArea(int32_t a, int32_t b) {
    Mutex::Autolock _l(mLock);
    VLOGI("setSurface");
    if (mVideoSink == nullptr) return ERROR_UNSUPPORTED;
    mVideoSink->setSurfaceArea(a, b);
    return OK;
}

status_t PlaybackEngine::setVideoSurface(int32_t a, int32_t b, int32_t c) {
    Mutex::Autolock _l(mLock);
    VLOGI("setSurface");
    if (mVideoSink == nullptr) return ERROR_UNSUPPORTED;
    mVideoSink->setSurfaceArea(a, b, c);
    return OK;
}

bool PlaybackEngine::setVideoSinkOption(int32_t value) {
    Mutex::Autolock _l(mLock);
    return mVideoSink != nullptr && mVideoSink->setOption(value);
}

status_t PlaybackEngine::setStorageManager(int32_t value) {
    VLOGI("setStorageManager %d", value);
    mStorageManager = value;
    return OK;
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
    Mutex::Autolock _s(mStatsLock);
    mStats.flags = mFlags;
}

void PlaybackEngine::notifyListener_l(int32_t msg, int32_t ext1, int32_t ext2) {
    Ref<PlayerFront> listener = mListener.promote();
    if (listener == nullptr || mSilentReprepare) return;

    if ((msg == MEDIA_ERROR || ext1 == 901) && (ext2 == ERROR_RECV_CON_ID || ext2 == ERROR_CON_TIMEOUT)) {
        msg = MEDIA_ERROR;
        ext2 = ERROR_CONNECTION_LOST;
    } else if (msg == MEDIA_ERROR) {
        if (ext2 == ERROR_UNKNOWN_HOST || ext2 == -8683 || ext2 == -8673) {
            // The agent client refreshes its detail text here once it exists.
        } else if (mIsHlsSession && (ext2 < -9000 || ext2 == -105 || ext2 == -8404)) {
            if ((mFlags & PLAYING) && mRetryCount < 2) {
                ++mRetryCount;
                modifyFlags(RETRY_PENDING, SET);
                return;
            }
            ext2 = -3012;
        } else if (ext2 < -9000 && !(ext2 >= -11599 && ext2 <= -11001)) {
            if (mStoredErrorCode != 0 && mStoredErrorCode >= -11000) ext2 = mStoredErrorCode;
        }
        if (mFlags & PREPARED) pause_l();
    }
    VLOGI("notifyListener_l msg %d ext1 %d ext2 %d", msg, ext1, ext2);
    listener->sendEvent(msg, ext1, ext2, nullptr);
}

status_t PlaybackEngine::setDataSource(int32_t fd) {
    Mutex::Autolock _l(mLock);
    reset_l();
    mFd = fd;
    mIsFdSource = true;
    VLOGI("setDataSource_l(%d)", fd);
    return OK;
}

status_t PlaybackEngine::setDataSource(const char* uri, const std::map<std::string, std::string>* headers,
                                       const char* extra) {
    Mutex::Autolock _l(mLock);
    return setDataSource_l(uri, headers, extra);
}

status_t PlaybackEngine::setDataSource_l(const char* uri, const std::map<std::string, std::string>* headers,
                                         const char* extra) {
    reset_l();
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
    (void)extra;  // the agent client resolves agent items; without it the address plays as given
    VLOGI("setDataSource_l(size : %d)", static_cast<int>(mUri.size()));
    Mutex::Autolock _s(mStatsLock);
    mStats.fd = -1;
    mStats.uri = mUri;
    return OK;
}

status_t PlaybackEngine::prepare() {
    Mutex::Autolock _l(mLock);
    mStopped = false;
    return prepare_l();
}

status_t PlaybackEngine::prepare_l() {
    if (mFlags & PREPARED) return OK;
    if (mFlags & PREPARING) {
        VLOGE("prepare_l while preparing mFlags %d", mFlags);
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
    Mutex::Autolock _l(mLock);
    if (mFlags & PREPARING) return UNKNOWN_ERROR;
    mIsAsyncPrepare = true;
    return prepareAsync_l();
}

status_t PlaybackEngine::prepareAsync_l() {
    if (mFlags & PREPARING) return UNKNOWN_ERROR;
    if (!mQueueStarted) {
        mQueue.start();
        mQueueStarted = true;
    }
    if (!mReporterQueueStarted) {
        mReporterQueue.start();
        mReporterQueueStarted = true;
    }
    modifyFlags(PREPARING, SET);
    VLOGI("## PREPARING SET");
    mAsyncPrepareEvent = new EngineEvent(this, &PlaybackEngine::onPrepareAsyncEvent, "AsyncPrepareEvent");
    const int32_t id = mQueue.postEvent(mAsyncPrepareEvent);
    VLOGI("AsyncPrepareEvent ID %d", id);
    return OK;
}

void PlaybackEngine::onPrepareAsyncEvent() {
    Mutex::Autolock _l(mLock);
    if (mFlags & PREPARE_CANCELLED) {
        VLOGI("prepare was cancelled before doing anything");
        abortPrepare(UNKNOWN_ERROR);
        return;
    }
    status_t err = UNKNOWN_ERROR;
    if (!mUri.empty() || mIsFdSource) {
        if (strstr(mUri.c_str(), ".mpd") && !strstr(mUri.c_str(), ".m3u8")) {
            err = ERROR_UNSUPPORTED;
        } else {
            // Sources are opened by the media pipeline; without one nothing can be prepared.
            err = ERROR_UNSUPPORTED;
        }
    }
    VLOGI("beginPrepareAsync_l ## %d", err);
    abortPrepare(err);
}

void PlaybackEngine::finishAsyncPrepare_l() {
    if (mIsAsyncPrepare) {
        if (mVideoWidth > 0 || mDisplayWidth > 0) {
            notifyListener_l(MEDIA_SET_VIDEO_SIZE, mDisplayWidth ? mDisplayWidth : mVideoWidth,
                             mDisplayHeight ? mDisplayHeight : mVideoHeight);
        } else {
            notifyListener_l(MEDIA_SET_VIDEO_SIZE, 0, 0);
        }
    }
    mPrepareResult = OK;
    modifyFlags(PREPARING | PREPARE_CANCELLED | PREPARING_CONNECTED, CLEAR);
    VLOGI("## PREPARING CLEAR");
    if (mIsAsyncPrepare) notifyListener_l(MEDIA_PREPARED);
    modifyFlags(PREPARED, SET);
    mAsyncPrepareEvent.clear();
    mPreparedCondition.broadcast();
    mSilentReprepare = false;
}

void PlaybackEngine::abortPrepare(status_t err) {
    VLOGI("abortPrepare : %d", err);
    if (mIsAsyncPrepare || mIsHlsSession) notifyListener_l(MEDIA_ERROR, MEDIA_ERROR_UNKNOWN, err);
    mPrepareResult = err;
    modifyFlags(PREPARING | PREPARE_CANCELLED | PREPARING_CONNECTED, CLEAR);
    mAsyncPrepareEvent.clear();
    mPreparedCondition.broadcast();
    mSilentReprepare = false;
}

status_t PlaybackEngine::play() {
    Mutex::Autolock _l(mLock, "play");
    modifyFlags(CACHE_UNDERRUN, CLEAR);
    mResetting = false;
    return play_l();
}

status_t PlaybackEngine::play_l() {
    modifyFlags(SEEK_PREVIEW, CLEAR);
    if (mFlags & PLAYING) return OK;
    if (!(mFlags & PREPARED)) {
        status_t err = prepare_l();
        if (err != OK) {
            VLOGI("play_l prepare error %d", err);
            return err;
        }
    }
    modifyFlags(PLAYING | FIRST_FRAME, SET);
    if (mFlags & AT_EOS) seekTo_l(0);
    modifyFlags(PLAYED_ONCE, SET);
    return OK;
}

status_t PlaybackEngine::pause() {
    Mutex::Autolock _l(mLock, "player_pause");
    modifyFlags(CACHE_UNDERRUN, CLEAR);
    return pause_l();
}

status_t PlaybackEngine::pause_l() {
    if (mFlags & PLAYING) {
        notifyListener_l(MEDIA_PAUSED);
        mMediaStartedGeneration = ++mStartGeneration;
        modifyFlags(AUDIO_RUNNING, CLEAR);
        cancelPlayerEvents(true);
        modifyFlags(PLAYING, CLEAR);
    } else if (mSilentReprepare && mResumeAfterReprepare) {
        VLOGI("pause_l() during teardown and finishSetDataSource_l() mFlags %x", mFlags);
        mResumeAfterReprepare = false;
        notifyListener_l(MEDIA_PAUSED);
        mMediaStartedGeneration = ++mStartGeneration;
    }
    return OK;
}

status_t PlaybackEngine::stop() {
    {
        Mutex::Autolock _l(mLock);
        if (mFlags & PLAYING) pause_l();
        if (mStopped) return OK;
        VLOGI("# stop 1");
        mStopped = true;
    }
    usleep(100000);
    reset();
    {
        Mutex::Autolock _l(mLock);
        if (mQueueStarted) mQueue.stop(false);
        if (mReporterQueueStarted) mReporterQueue.stop(false);
        mQueueStarted = mReporterQueueStarted = false;
    }
    VLOGI("# stop 2");
    return OK;
}

status_t PlaybackEngine::reset() {
    Mutex::Autolock _l(mLock, "reset");
    reset_l();
    return OK;
}

void PlaybackEngine::reset_l() {
    mSourceFlag = false;
    mActiveAudioTrackIndex = -1;
    mDisplayWidth = mDisplayHeight = 0;
    mVideoWidth = mVideoHeight = 0;
    mCachedDurationUs = 0;
    mIsHlsSession = false;
    notifyListener_l(MEDIA_STOPPED);
    if (mFlags & PREPARING) {
        modifyFlags(PREPARE_CANCELLED, SET);
        if (mFlags & PREPARING_CONNECTED) finishAsyncPrepare_l();
        while (mFlags & PREPARING) mPreparedCondition.wait(mLock);
    }
    cancelPlayerEvents(false);
    mResetting = true;
    mUri.clear();
    mUriHeaders.clear();
    {
        Mutex::Autolock _m(mMiscStateLock);
        mDurationUs = -1;
        mVideoTimeUs = 0;
    }
    modifyFlags(0, ASSIGN);
    mExtractorFlags = 0;
    mSeeking = 0;
    mSeekTimeUs = 0;
    mSkipUntilUs = -1;
    mBitrate = -1;
    {
        Mutex::Autolock _s(mStatsLock);
        mStats = Stats();
    }
    mResetting = false;
}

bool PlaybackEngine::isPlaying() {
    return (mFlags & (PLAYING | CACHE_UNDERRUN)) != 0;
}

status_t PlaybackEngine::setLooping(bool loop) {
    Mutex::Autolock _l(mLock);
    modifyFlags(LOOPING, CLEAR);
    if (loop) modifyFlags(LOOPING, SET);
    return OK;
}

status_t PlaybackEngine::seekTo(int64_t timeUs) {
    if (!(mExtractorFlags & 8)) return OK;
    Mutex::Autolock _l(mLock);
    return seekTo_l(timeUs);
}

status_t PlaybackEngine::seekToExact(int64_t timeUs) {
    if (!(mExtractorFlags & 8)) return OK;
    Mutex::Autolock _l(mLock);
    status_t err = seekTo_l(timeUs);
    mSkipUntilUs = timeUs;
    return err;
}

status_t PlaybackEngine::seekTo_l(int64_t timeUs) {
    mSeeking = 1;
    mSeekNotificationSent = false;
    mSeekTimeUs = timeUs;
    modifyFlags(AT_EOS | AUDIO_AT_EOS | VIDEO_AT_EOS, CLEAR);
    if (mFlags & PLAYING) {
        notifyListener_l(MEDIA_PAUSED);
        mMediaStartedGeneration = ++mStartGeneration;
    } else {
        VLOGI("seeking while paused, sending SEEK_COMPLETE notification immediately.");
        notifyListener_l(MEDIA_SEEK_COMPLETE);
        mSeekNotificationSent = true;
    }
    return OK;
}

status_t PlaybackEngine::getPosition(int64_t* positionUs) {
    Mutex::Autolock _m(mMiscStateLock);
    *positionUs = mVideoTimeUs;
    return OK;
}

status_t PlaybackEngine::getDuration(int64_t* durationUs) {
    Mutex::Autolock _m(mMiscStateLock);
    if (mDurationUs < 0) return UNKNOWN_ERROR;
    *durationUs = mDurationUs;
    return OK;
}

status_t PlaybackEngine::getLiveDurationUs(int64_t* durationUs) {
    // Only an HLS extractor with live handling on reports a live length.
    *durationUs = 0;
    return OK;
}

bool PlaybackEngine::isLiveSeekable() { return false; }

void PlaybackEngine::cancelPlayerEvents(bool keepNotifications) {
    mQueue.cancelEvent(mVideoEvent->eventID());
    mVideoEventPending = false;
    mQueue.cancelEvent(mVideoLagEvent->eventID());
    mVideoLagEventPending = false;
    mQueue.cancelEvent(mApplicationDataEvent->eventID());
    mApplicationDataEventPending = false;
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
        mReporterQueue.cancelAllEvents();
    }
}

void PlaybackEngine::postVideoRenderEvent(int64_t delayUs) {
    Mutex::Autolock _l(mLock);
    if (!mQueueStarted) return;
    mVideoRenderEventPending = true;
    mQueue.postEventWithDelay(mVideoRenderEvent, delayUs);
}

int32_t PlaybackEngine::getSourceFlag() { return mSourceFlag ? 1 : 0; }

void PlaybackEngine::setVideoOnlyFallback(bool on) { mVideoOnlyFallback = on; }

bool PlaybackEngine::hasNext(int32_t index) {
    // The play list lives in the agent client; without one it is empty.
    const int32_t count = 0;
    const int32_t current = -1;
    const int32_t target = index == -1 ? current + 1 : index;
    return target < count;
}

bool PlaybackEngine::getVideoSize(int32_t* width, int32_t* height) {
    Mutex::Autolock _l(mLock);
    if (width) *width = mVideoWidth;
    if (height) *height = mVideoHeight;
    return true;
}

// Playback events; the media pipeline drives them once sources and decoders are attached.
void PlaybackEngine::onVideoEvent() {
    Mutex::Autolock _l(mLock);
    mVideoEventPending = false;
}

void PlaybackEngine::onStreamDone() {
    Mutex::Autolock _l(mLock);
    mStreamDoneEventPending = false;
}

void PlaybackEngine::onBufferingUpdate() {
    Mutex::Autolock _l(mLock);
    mBufferingEventPending = false;
}

void PlaybackEngine::onVideoLagUpdate() {
    Mutex::Autolock _l(mLock);
    mVideoLagEventPending = false;
    if (!(mFlags & VIDEO_AT_EOS)) {
        notifyListener_l(MEDIA_INFO, MEDIA_INFO_VIDEO_TRACK_LAGGING, static_cast<int32_t>(mCachedDurationUs / 1000));
    }
}

void PlaybackEngine::onCheckAudioStatus() {
    Mutex::Autolock _a(mAudioLock);
    mAudioStatusEventPending = false;
}

void PlaybackEngine::onAudioTearDownEvent() {
    Mutex::Autolock _l(mLock);
    mAudioTearDownEventPending = false;
    VLOGI("onAudioTearDownEvent");
}

void PlaybackEngine::onApplicationDataEvent() {
    Mutex::Autolock _l(mLock);
    mApplicationDataEventPending = false;
}

void PlaybackEngine::onVideoRenderEvent(EngineReporterEvent*) {
    Mutex::Autolock _l(mLock);
    mVideoRenderEventPending = false;
}

void PlaybackEngine::onThumbnailEvent(EngineReporterEvent*) {
    mThumbnailEventPending = false;
}

int32_t PlaybackEngine::countTracks_l() { return 0; }

status_t PlaybackEngine::trackInfo_l(Payload* reply) {
    if (!reply) return BAD_VALUE;
    reply->writeInt32(countTracks_l());
    return OK;
}

status_t PlaybackEngine::selectTrack_l(int32_t index, bool select, bool secondary) {
    VLOGI("selectTrack: trackIndex = %d and select=%d", index, select ? 1 : 0);
    (void)secondary;
    const int32_t count = countTracks_l();
    if (index < 0 || index >= count) {
        VLOGE("Track index (%d) is out of range [0, %d)", index, count);
        return ERROR_OUT_OF_RANGE;
    }
    return ERROR_UNSUPPORTED;
}

status_t PlaybackEngine::skip_l(int32_t index) {
    VLOGI("skip_l");
    (void)index;
    // Skipping walks the agent's play list; there is none without an agent session.
    return ERROR_OUT_OF_RANGE;
}

status_t PlaybackEngine::invoke(const Payload& request, Payload* reply) {
    if (InvokeRecorder recorder = invokeRecorder()) recorder(request.data(), request.dataSize());
    int32_t methodId;
    status_t err = request.readInt32(&methodId);
    if (err != OK) return err;
    Mutex::Autolock _l(mLock);
    if (mStopped) return OK;
    VLOGI("invoke methodId %d", methodId);
    switch (methodId) {
        case 1:
            return trackInfo_l(reply);
        case 2: {
            int32_t secondary = request.readInt32();
            const char* uri = request.readCString();
            (void)secondary;
            (void)uri;
            // Subtitle sources need the subtitle drivers.
            return ERROR_UNSUPPORTED;
        }
        case 4:
        case 5: {
            int32_t index = request.readInt32();
            int32_t secondary = request.readInt32();
            return selectTrack_l(index, methodId == 4, secondary != 0);
        }
        case 7: {
            double rate = request.readDouble();
            mPlaybackRate = static_cast<float>(rate);
            // Only a running audio player can change the tempo.
            return ERROR_UNSUPPORTED;
        }
        case 8: {
            const char* path = request.readCString();
            mStoragePath = path ? path : "";
            mDeviceType = request.readInt32();
            VLOGI("invoke StoragePath '%s', devicetype '%d'", mStoragePath.c_str(), mDeviceType);
            return OK;
        }
        case 9: {
            const char* guid = request.readCString();
            mDeviceGuid = guid ? guid : "";
            VLOGI("invoke DeviceGUID '%s', %d", mDeviceGuid.c_str(), static_cast<int>(mDeviceGuid.size()));
            return OK;
        }
        case 10: {
            if (reply) reply->writeCString("LIVE");
            return OK;
        }
        case 11:
            return OK;
        case 12:
            if (reply) {
                if (mBookmarkJson.empty()) {
                    reply->writeInt32(0);
                } else {
                    reply->writeInt32(1);
                    reply->writeCString(mBookmarkJson.c_str());
                }
            }
            return OK;
        case 13:
        case 14:
            return OK;
        case 15:
            if (reply) reply->writeInt32(0);
            return OK;
        case 16:
            if (reply) reply->writeInt32(0);
            return OK;
        case 17:
            return OK;
        case 18: {
            int32_t key, value;
            while (request.readInt32(&key) == OK && request.readInt32(&value) == OK) {
                if (key == 1) mVideoDecoderFlags = value;
                if (key == 2) mPlaybackSetting = static_cast<float>(value);
            }
            return OK;
        }
        case 19:
        case 20:
        case 21:
        case 22: {
            int32_t v = request.readInt32();
            if (mVideoSink != nullptr) {
                if (methodId == 19) mVideoSink->setBrightness(v);
                if (methodId == 20) mVideoSink->setSaturation(v);
                if (methodId == 21) mVideoSink->setContrast(v);
                if (methodId == 22) mVideoSink->setScaleMode(v);
            }
            return OK;
        }
        case 23: {
            int32_t a = request.readInt32();
            int32_t b = request.readInt32();
            if (mVideoSink != nullptr) mVideoSink->setAspectRatio(a, b);
            return OK;
        }
        case 24: {
            int32_t a = request.readInt32();
            int32_t b = request.readInt32();
            if (mVideoSink != nullptr) return mVideoSink->setViewOffset(a, b) ? OK : ERROR_UNSUPPORTED;
            return OK;
        }
        case 25: {
            int32_t level = request.readInt32();
            int32_t b = request.readInt32();
            if (mAudioSink != nullptr) mAudioSink->setVolume(level < 100 ? level : 100, b != 0);
            return OK;
        }
        case 26: {
            const char* os = request.readCString();
            const char* version = request.readCString();
            VLOGI("invoke os '%s', version '%s'", os ? os : "", version ? version : "");
            mOsShort = shortOsName(os, mOsShort);
            mOsVersion = version ? version : "";
            Mutex::Autolock _u(gUserAgentLock);
            gUserAgent.os = mOsShort;
            gUserAgent.version = mOsVersion;
            gUserAgent.third = "-";
            return OK;
        }
        case 27:
            request.readInt32();
            request.readInt32();
            request.readInt32();
            return OK;
        case 28:
        case 29:
            request.readCString();
            return OK;
        case 30: {
            int32_t index = -1;
            request.readInt32(&index);
            return skip_l(index);
        }
        case 31:
        case 32:
            request.readInt32();
            return OK;
        case 33:
            request.readInt32();
            request.readInt32();
            return OK;
        case 34: {
            int32_t on = request.readInt32();
            int32_t level = request.readInt32();
            mAudioEffectOn = (on == 1);
            if (level >= 0) mAudioEffectLevel = level;
            return OK;
        }
        case 35:
            return OK;
        case 36: {
            int32_t ms = request.readInt32();
            mTimeshiftOffsetUs = static_cast<int64_t>(ms) * 1000;
            return OK;
        }
        case 37:
            if (reply) reply->writeInt32(0);
            return OK;
        case 38:
            request.readCString();
            return OK;
        case 39: {
            int32_t code = request.readInt32();
            notifyListener_l(MEDIA_ERROR, MEDIA_ERROR_UNKNOWN, code);
            return OK;
        }
        case 40: {
            int32_t flag = request.readInt32();
            mLiveDisabled = (flag != 0);
            return OK;
        }
        case 41:
            if (reply) {
                reply->writeInt64(-1);
                reply->writeCString("");
            }
            return OK;
        default:
            return ERROR_UNSUPPORTED;
    }
}

status_t PlaybackEngine::setParameter(int32_t key, const Payload& request) {
    (void)request;
    if (key == 1100) return ERROR_UNSUPPORTED;  // no cached source
    if (key == 1300) return NO_INIT;            // no audio player
    return ERROR_UNSUPPORTED;
}

status_t PlaybackEngine::getParameter(int32_t key, Payload* reply) {
    if (key == 1200) {
        if (reply) reply->writeInt32(0);
        return OK;
    }
    return ERROR_UNSUPPORTED;
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
    Mutex::Autolock _l(mLock);
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
