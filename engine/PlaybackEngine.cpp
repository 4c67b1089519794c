#include "engine/PlaybackEngine.h"

#include <dlfcn.h>
#include <strings.h>
#include <unistd.h>

#include <cinttypes>
#include <cstring>
#include <cwchar>

#include "engine/DecoderRegistry.h"
#include "engine/FFMpegExtractor.h"
#include "engine/MediaDefs.h"
#include "engine/PlayerFront.h"
#include "engine/foundation/hexdump.h"
#include "utils/Log.h"

#define LOG_TAG "VEL_PlaybackEngine"

namespace velmor {

// Buffering marks in microseconds, shared by every player in the process.
int64_t kLowWaterMarkUs = 2000000;
int64_t kHighWaterMarkUs = 3000000;
int64_t kSteadyLowWaterMarkUs = 3000000;
int64_t kSteadyHighWaterMarkUs = 5000000;

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

// Tests define this to watch every frame at the render step: its media time, the clock it was
// timed against and its lateness.
typedef void (*RenderRecorder)(int64_t mediaTimeUs, int64_t clockUs, int64_t latenessUs);
RenderRecorder renderRecorder() {
    static RenderRecorder recorder =
        reinterpret_cast<RenderRecorder>(dlsym(RTLD_DEFAULT, "quorvantix_test_render_hook"));
    return recorder;
}

constexpr int64_t kDefaultVideoEventDelayUs = 10000;
constexpr int64_t kDefaultBufferingEventDelayUs = 1000000;
constexpr int64_t kDefaultAudioStatusDelayUs = 10000;

bool startsWithIgnoreCase(const char* s, const char* prefix) { return strncasecmp(s, prefix, strlen(prefix)) == 0; }

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
    : mQueue("PlaybackEngine"),
      mQueueStarted(false),
      mReporterQueue("EngineReporter"),
      mReporterQueueStarted(false),
      mAudioPlayer(nullptr),
      mTimeSource(&mSystemTimeSource),
      mRendererNeedsInit(false),
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
      mVideoBuffer(nullptr),
      mLastVideoTimeUs(0),
      mTimeSourceDeltaUs(0),
      mSinceLastDropped(0),
      mVideoRenderingStarted(false),
      mPreviewPending(false),
      mPreviewFramesLeft(0),
      mWatchForAudioSeekComplete(false),
      mWatchForAudioEOS(false),
      mStreamDoneStatus(OK),
      mLateFrames(0),
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
    {
        Mutex::Autolock _l(mLock);
        reset_l();
    }
    mQueue.stop(false);
    mReporterQueue.stop(false);
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
    mRendererNeedsInit = true;
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
            // The agent client fills the detail texts once an agent session exists.
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
    // Agent items (extra) are resolved by the agent client; without one the address plays as given.
    (void)extra;
    VLOGI("setDataSource_l(size : %d)", static_cast<int>(mUri.size()));
    Mutex::Autolock _s(mStatsLock);
    mStats.fd = -1;
    mStats.uri = mUri;
    return OK;
}

void PlaybackEngine::updateDuration_l(const Ref<MetaData>& format) {
    int64_t durationUs;
    if (format != nullptr && format->findInt64(kKeyDuration, &durationUs)) {
        Mutex::Autolock _m(mMiscStateLock);
        if (mDurationUs < 0 || durationUs > mDurationUs) mDurationUs = durationUs;
    }
}

status_t PlaybackEngine::finishSetDataSource_l() {
    kLowWaterMarkUs = 2000000;
    kHighWaterMarkUs = 3000000;
    const bool isHls = strstr(mUri.c_str(), ".m3u8") != nullptr;
    if (!isHls && strstr(mUri.c_str(), ".mpd") != nullptr) return ERROR_UNSUPPORTED;
    if (isHls && !mLiveDisabled) {
        // HLS sessions are run by the engine's own HLS stack, which needs an agent session.
        return ERROR_UNSUPPORTED;
    }
    // Without an agent session every address is opened by FFmpeg itself.
    std::string url = mUri;
    if (mIsFdSource) {
        char path[64];
        snprintf(path, sizeof(path), "/proc/self/fd/%d", mFd);
        url = path;
    }
    Ref<FFMpegExtractor> extractor = new FFMpegExtractor(nullptr);
    {
        Mutex::Autolock _m(mMiscStateLock);
        mExtractor = extractor;
    }
    status_t err = extractor->initialize(url.c_str(), true);
    if (err != OK) {
        Mutex::Autolock _m(mMiscStateLock);
        mExtractor.clear();
        return err;
    }
    err = attachExtractor_l(extractor);
    if (err != OK) return err;
    mSourceFlag = extractor->hasVideo();
    notifyListener_l(MEDIA_INFO, 7, 0);
    mIsHlsSession = false;
    return OK;
}

status_t PlaybackEngine::attachExtractor_l(const Ref<MediaExtractor>& extractor) {
    int64_t totalBitRate = 0;
    const size_t n = extractor->countTracks();
    for (size_t i = 0; i < n; ++i) {
        Ref<MetaData> meta = extractor->getTrackMetaData(i);
        int32_t bitrate;
        if (meta != nullptr && meta->findInt32(kKeyBitRate, &bitrate)) {
            totalBitRate += bitrate;
        } else {
            const char* mime = "";
            if (meta != nullptr) meta->findCString(kKeyMIMEType, &mime);
            VLOGI("track of type '%s' does not publish bitrate", mime);
            totalBitRate = -1;
            break;
        }
    }
    mBitrate = totalBitRate;
    VLOGI("mBitrate = %lld bits/sec", static_cast<long long>(mBitrate));
    {
        Mutex::Autolock _s(mStatsLock);
        mStats.bitrate = mBitrate;
        mStats.tracks.clear();
    }
    bool haveAudio = false, haveVideo = false;
    for (size_t i = 0; i < n; ++i) {
        Ref<MetaData> meta = extractor->getTrackMetaData(i);
        if (meta == nullptr) continue;
        const char* mime = "";
        meta->findCString(kKeyMIMEType, &mime);
        VLOGI("setDataSource >>> mime '%s'", mime);
        if (!haveVideo && startsWithIgnoreCase(mime, "video/")) {
            mVideoTrack = extractor->getTrack(i);
            haveVideo = mVideoTrack != nullptr;
            if (!meta->findInt32(kKeyDisplayWidth, &mDisplayWidth)) meta->findInt32(kKeyWidth, &mDisplayWidth);
            if (!meta->findInt32(kKeyDisplayHeight, &mDisplayHeight)) meta->findInt32(kKeyHeight, &mDisplayHeight);
            Mutex::Autolock _s(mStatsLock);
            mStats.videoTrackIndex = static_cast<int32_t>(mStats.tracks.size());
            TrackStat stat;
            stat.mime = mime;
            mStats.tracks.push_back(stat);
        } else if (!haveAudio && startsWithIgnoreCase(mime, "audio/")) {
            mAudioTrack = extractor->getTrack(i);
            haveAudio = mAudioTrack != nullptr;
            mActiveAudioTrackIndex = static_cast<int32_t>(i);
            {
                Mutex::Autolock _s(mStatsLock);
                mStats.audioTrackIndex = static_cast<int32_t>(mStats.tracks.size());
                TrackStat stat;
                stat.mime = mime;
                mStats.tracks.push_back(stat);
            }
            if (!strcasecmp(mime, "audio/vorbis")) {
                Ref<MetaData> fileMeta = extractor->getMetaData();
                int32_t autoLoop = 0;
                if (fileMeta != nullptr && fileMeta->findInt32(FourCC('a', 'u', 't', 'L'), &autoLoop) && autoLoop) {
                    modifyFlags(AUTO_LOOPING, SET);
                }
            }
        }
    }
    if (!haveAudio && !haveVideo) return ERROR_UNSUPPORTED;
    mExtractorFlags = extractor->flags();
    return OK;
}

status_t PlaybackEngine::initVideoDecoder(uint32_t flags) {
    VLOGI("initVideoDecoder flags=0x%x", flags);
    status_t err = UNKNOWN_ERROR;
    for (;;) {
        mVideoSource = DecoderRegistry::createDecoder(mVideoTrack->getFormat(), false, mVideoTrack, nullptr, flags);
        VLOGI("initVideoDecoder mVideoSource=0x%x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(mVideoSource.get())));
        if (mVideoSource == nullptr) break;
        updateDuration_l(mVideoTrack->getFormat());
        err = mVideoSource->start();
        if (err == OK) break;
        const char* component = "";
        Ref<MetaData> format = mVideoSource->getFormat();
        if (format != nullptr) format->findCString(kKeyDecoderComponent, &component);
        std::string name = component;
        VLOGI("failed to start video source '%s'", name.c_str());
        mVideoSource.clear();
        if (name.rfind("HW.", 0) != 0) return err;
        VLOGI("initVideoDecoder SoftwareCodec Re-Try");
        flags |= 1;
    }
    if (mVideoSource != nullptr) {
        const char* component = "";
        Ref<MetaData> format = mVideoSource->getFormat();
        if (format != nullptr) format->findCString(kKeyDecoderComponent, &component);
        std::string name = component;
        {
            Mutex::Autolock _s(mStatsLock);
            if (mStats.videoTrackIndex >= 0) {
                TrackStat& stat = mStats.tracks[static_cast<size_t>(mStats.videoTrackIndex)];
                stat.decoderName = name;
                if (format != nullptr) {
                    format->findInt32(kKeyWidth, &stat.width);
                    format->findInt32(kKeyHeight, &stat.height);
                }
            }
        }
        if (name.rfind("HW.Slow.", 0) == 0 && name.size() >= 7 && name.compare(name.size() - 7, 7, ".decode") == 0) {
            modifyFlags(SLOW_DECODER, SET);
        }
        return OK;
    }
    return UNKNOWN_ERROR;
}

status_t PlaybackEngine::initAudioDecoder() {
    Ref<MetaData> format = mAudioTrack->getFormat();
    const char* mime = "";
    if (format != nullptr) format->findCString(kKeyMIMEType, &mime);
    if (!strcasecmp(mime, "audio/raw")) {
        mAudioSource = mAudioTrack;
    } else {
        mAudioSource = DecoderRegistry::createDecoder(format, false, mAudioTrack);
    }
    if (mAudioSource != nullptr) {
        updateDuration_l(format);
        status_t err = mAudioSource->start();
        if (err != OK) {
            mAudioSource.clear();
            return err;
        }
    } else if (!strcasecmp(mime, "audio/qcelp")) {
        return OK;
    }
    const char* component = "none";
    if (mAudioSource != nullptr) {
        Ref<MetaData> out = mAudioSource->getFormat();
        if (out == nullptr || !out->findCString(kKeyDecoderComponent, &component)) component = "none";
    }
    {
        Mutex::Autolock _s(mStatsLock);
        if (mStats.audioTrackIndex >= 0) mStats.tracks[static_cast<size_t>(mStats.audioTrackIndex)].decoderName = component;
    }
    return mAudioSource != nullptr ? OK : UNKNOWN_ERROR;
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
    mStopped = false;
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
    beginPrepareAsync_l();
}

void PlaybackEngine::beginPrepareAsync_l() {
    if (mFlags & PREPARE_CANCELLED) {
        VLOGI("prepare was cancelled before doing anything");
        abortPrepare(UNKNOWN_ERROR);
        return;
    }
    if (!mUri.empty() || mIsFdSource) {
        status_t err = finishSetDataSource_l();
        if (err != OK) {
            VLOGI("beginPrepareAsync_l ## %d", err);
            abortPrepare(err);
            return;
        }
    } else {
        abortPrepare(UNKNOWN_ERROR);
        return;
    }
    if (mFlags & PREPARE_CANCELLED) {
        abortPrepare(UNKNOWN_ERROR);
        return;
    }
    if (mVideoTrack != nullptr && mVideoSource == nullptr) {
        status_t err = initVideoDecoder(static_cast<uint32_t>(mVideoDecoderFlags));
        if (err != OK) {
            abortPrepare(err);
            return;
        }
    }
    if (mAudioTrack != nullptr && mAudioSource == nullptr) {
        status_t err = initAudioDecoder();
        if (err != OK) {
            abortPrepare(err);
            return;
        }
    }
    modifyFlags(PREPARING_CONNECTED, SET);
    if (mLiveDisabled) {
        finishAsyncPrepare_l();
    }
    // Otherwise a live session finishes the prepare when it reports that it is ready.
}

void PlaybackEngine::finishAsyncPrepare_l() {
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
        if (mPrepareResult == OK) {
            if (mExtractorFlags & MediaExtractor::CAN_SEEK) seekTo_l(mReprepareSeekTimeUs);
            if (mResumeAfterReprepare) {
                modifyFlags(CACHE_UNDERRUN, CLEAR);
                play_l();
            }
        }
        mSilentReprepare = false;
    }
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

void PlaybackEngine::notifyVideoSize_l() {
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
    mRendererNeedsInit = false;
    mVideoRenderer.clear();
    if (mVideoSink == nullptr || mVideoSource == nullptr) return;
    Ref<MetaData> format = mVideoSource->getFormat();
    if (format == nullptr) return;
    mVideoRenderer = new SinkFrameRenderer(mVideoSink, format, mDisplayWidth, mDisplayHeight);
    if (mVideoRenderer->initCheck() != OK) {
        VLOGE("video sink init failed %d", mVideoRenderer->initCheck());
    }
}

void PlaybackEngine::createAudioPlayer_l() {
    if (mAudioPlayer != nullptr || mAudioSource == nullptr) return;
    {
        Mutex::Autolock _m(mMiscStateLock);
        mAudioPlayer = new AudioPlayer(mAudioSink, false, this);
    }
    mAudioPlayer->setSource(mAudioSource);
    if (mPendingAudioSeekUs >= 0) {
        // A seek made before there was an audio player: the player starts reading there.
        mAudioPlayer->seekTo(mPendingAudioSeekUs);
        mWatchForAudioSeekComplete = true;
        mPendingAudioSeekUs = -1;
    }
    mTimeSource = mAudioPlayer;
    modifyFlags(AUDIO_RUNNING | AUDIOPLAYER_STARTED, CLEAR);
    if (mPlaybackRate != 10.0f) mAudioPlayer->setPlaybackRate(mPlaybackRate);
}

void PlaybackEngine::deleteAudioPlayer_l() {
    if (mAudioPlayer == nullptr) return;
    AudioPlayer* player = mAudioPlayer;
    {
        Mutex::Autolock _m(mMiscStateLock);
        mAudioPlayer = nullptr;
    }
    mTimeSource = &mSystemTimeSource;
    // The player waits until nobody else holds the decoder: let go of it first.
    mAudioSource.clear();
    mLock.unlock();
    delete player;
    mLock.lock();
    modifyFlags(AUDIO_RUNNING | AUDIOPLAYER_STARTED, CLEAR);
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
    if (mAudioSource == nullptr || mAudioPlayer == nullptr) return OK;
    if (mAudioTearDownEventPending) {
        mQueue.cancelEvent(mAudioTearDownEvent->eventID());
        mAudioTearDownEventPending = false;
    }
    if (mFlags & AUDIOPLAYER_STARTED) {
        if (mAudioPlayer->isSeeking()) postCheckAudioStatusEvent(0);
        mAudioPlayer->resume();
        notifyIfMediaStarted_l();
    } else {
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
    Mutex::Autolock _l(mLock, "player_pause");
    modifyFlags(CACHE_UNDERRUN, CLEAR);
    return pause_l();
}

status_t PlaybackEngine::pause_l() {
    if (mFlags & PLAYING) {
        notifyListener_l(MEDIA_PAUSED);
        mMediaStartedGeneration = ++mStartGeneration;
        if (mAudioPlayer != nullptr && (mFlags & AUDIO_RUNNING)) {
            mAudioPlayer->pause(false);
            modifyFlags(AUDIO_RUNNING, CLEAR);
        }
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
    mQueue.stop(false);
    mReporterQueue.stop(false);
    {
        Mutex::Autolock _l(mLock);
        mQueueStarted = mReporterQueueStarted = false;
    }
    VLOGI("# stop 2");
    return OK;
}

status_t PlaybackEngine::reset() {
    Ref<MediaExtractor> extractor;
    {
        Mutex::Autolock _m(mMiscStateLock);
        extractor = mExtractor;
    }
    if (extractor != nullptr) {
        VLOGI("interrupting the extractor");
        extractor->setStopFlag(MediaExtractor::kStopFlagStop);
    }
    Mutex::Autolock _l(mLock, "reset");
    reset_l();
    return OK;
}

void PlaybackEngine::shutdownVideoDecoder_l() {
    if (mVideoBuffer) {
        mVideoBuffer->release();
        mVideoBuffer = nullptr;
    }
    mVideoRenderer.clear();
    if (mVideoSource != nullptr) {
        Ref<MediaSource> source = mVideoSource;
        mVideoSource.clear();
        mLock.unlock();
        source->stop();
        source.clear();
        mLock.lock();
    }
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
    mAudioTrack.clear();
    mVideoTrack.clear();
    if (mAudioPlayer == nullptr && mAudioSource != nullptr) {
        Ref<MediaSource> source = mAudioSource;
        mAudioSource.clear();
        source->stop();
    }
    deleteAudioPlayer_l();
    mAudioSource.clear();
    mUri.clear();
    mUriHeaders.clear();
    mIsFdSource = false;
    shutdownVideoDecoder_l();
    extractor.clear();
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
    mLastVideoTimeUs = 0;
    mTimeSourceDeltaUs = 0;
    mVideoRenderingStarted = false;
    mPreviewPending = false;
    mWatchForAudioSeekComplete = false;
    mWatchForAudioEOS = false;
    mPendingAudioSeekUs = -1;
    mBitrate = -1;
    mLateFrames = 0;
    mFramesDecoded = 0;
    {
        Mutex::Autolock _s(mStatsLock);
        mStats = Stats();
    }
    mResetting = false;
}

bool PlaybackEngine::isPlaying() {
    Mutex::Autolock _l(mLock);
    return (mFlags & (PLAYING | CACHE_UNDERRUN)) != 0;
}

status_t PlaybackEngine::setLooping(bool loop) {
    Mutex::Autolock _l(mLock);
    modifyFlags(LOOPING, CLEAR);
    if (loop) modifyFlags(LOOPING, SET);
    return OK;
}

status_t PlaybackEngine::seekTo(int64_t timeUs) {
    Mutex::Autolock _l(mLock);
    if (!(mExtractorFlags & MediaExtractor::CAN_SEEK)) return OK;
    return seekTo_l(timeUs);
}

status_t PlaybackEngine::seekToExact(int64_t timeUs) {
    Mutex::Autolock _l(mLock);
    if (!(mExtractorFlags & MediaExtractor::CAN_SEEK)) return OK;
    status_t err = seekTo_l(timeUs);
    mSkipUntilUs = timeUs;
    return err;
}

status_t PlaybackEngine::seekTo_l(int64_t timeUs) {
    {
        Mutex::Autolock _s(mStatsLock);
        mStats.numVideoFramesDecoded = 0;
    }
    kLowWaterMarkUs = 2000000;
    kHighWaterMarkUs = 3000000;
    if (mFlags & CACHE_UNDERRUN) {
        modifyFlags(CACHE_UNDERRUN, CLEAR);
        play_l();
    }
    if ((mFlags & PLAYING) && mVideoSource != nullptr && (mFlags & VIDEO_AT_EOS)) postVideoEvent_l();
    mSeeking = 1;
    mSeekNotificationSent = false;
    mSeekTimeUs = timeUs;
    modifyFlags(AT_EOS | AUDIO_AT_EOS | VIDEO_AT_EOS, CLEAR);
    if (mFlags & PLAYING) {
        notifyListener_l(MEDIA_PAUSED);
        mMediaStartedGeneration = ++mStartGeneration;
    }
    if (!(mFlags & PLAYING)) {
        VLOGI("seeking while paused, sending SEEK_COMPLETE notification immediately.");
        notifyListener_l(MEDIA_SEEK_COMPLETE);
        mSeekNotificationSent = true;
        if ((mFlags & PREPARED) && mVideoSource != nullptr) {
            mPreviewPending = true;
            mPreviewFramesLeft = 3;
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
    return OK;
}

void PlaybackEngine::finishSeekIfNecessary(int64_t videoTimeUs) {
    if (mSeeking == 2) {
        mSeeking = 0;
        return;
    }
    if (mSeeking == 0) return;
    if (mSeekNotificationSent && videoTimeUs >= 0 && std::llabs(mSeekTimeUs - videoTimeUs) > 10000) {
        notifyListener_l(MEDIA_SKIPPED);
    }
    if (mAudioPlayer == nullptr) {
        if (!mSeekNotificationSent) {
            notifyListener_l(MEDIA_SEEK_COMPLETE);
            mSeekNotificationSent = true;
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
}

status_t PlaybackEngine::getPosition(int64_t* positionUs) {
    if (mSeeking != 0) {
        *positionUs = mSeekTimeUs;
        return OK;
    }
    // Hosts ask from their own thread: the audio player is read and used under the lock that
    // deleteAudioPlayer_l takes before destroying it.
    Mutex::Autolock _m(mMiscStateLock);
    if (mAudioPlayer != nullptr && (mFlags & AUDIOPLAYER_STARTED) && !(mFlags & AUDIO_AT_EOS)) {
        *positionUs = mAudioPlayer->getMediaTimeUs();
        return OK;
    }
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
    if (mAudioTearDownEventPending) {
        mQueue.cancelEvent(mAudioTearDownEvent->eventID());
        mAudioTearDownEventPending = false;
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
        mReporterQueue.cancelAllEvents();
    }
}

void PlaybackEngine::postVideoEvent_l(int64_t delayUs) {
    if (mVideoEventPending) return;
    mVideoEventPending = true;
    mQueue.postEventWithDelay(mVideoEvent, delayUs < 0 ? kDefaultVideoEventDelayUs : delayUs);
}

void PlaybackEngine::postStreamDoneEvent_l(status_t status) {
    if (mStreamDoneEventPending) return;
    mStreamDoneEventPending = true;
    mStreamDoneStatus = status;
    mQueue.postEvent(mStreamDoneEvent);
}

void PlaybackEngine::postVideoLagEvent_l() {
    if (mVideoLagEventPending) return;
    mVideoLagEventPending = true;
    mQueue.postEventWithDelay(mVideoLagEvent, 1000000);
}

void PlaybackEngine::postBufferingEvent_l(int64_t delayUs) {
    if (mBufferingEventPending) return;
    mBufferingEventPending = true;
    mQueue.postEventWithDelay(mBufferingEvent, delayUs < 0 ? kDefaultBufferingEventDelayUs : delayUs);
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
    mQueue.postEventWithDelay(mAudioTearDownEvent, 10000);
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

void PlaybackEngine::onVideoEvent() {
    Mutex::Autolock _l(mLock);
    if (!mVideoEventPending) return;
    mVideoEventPending = false;
    if (mVideoSource == nullptr) return;

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

    if (!mVideoBuffer) {
        MediaSource::ReadOptions options;
        if (mSeeking != 0) {
            VLOGI("seeking to %lld us (%.2f secs)", static_cast<long long>(mSeekTimeUs), mSeekTimeUs / 1e6);
            options.setSeekTo(mSeekTimeUs, mSeeking == 2 ? MediaSource::ReadOptions::SeekNextSync
                                                         : MediaSource::ReadOptions::SeekClosestSync);
            options.setSkipUntil(mSkipUntilUs);
        }
        for (;;) {
            Ref<MediaSource> source = mVideoSource;
            status_t err = source->read(&mVideoBuffer, &options);
            options.clearSeekTo();
            if (err != OK) {
                mVideoBuffer = nullptr;
                if (err == INFO_FORMAT_CHANGED) {
                    VLOGI("VideoSource signalled format change.");
                    notifyVideoSize_l();
                    notifyListener_l(MEDIA_INFO, 706, 0);
                    initRenderer_l();
                    continue;
                }
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
                return;
            }
            if (mVideoBuffer->range_length() == 0) {
                mVideoBuffer->release();
                mVideoBuffer = nullptr;
                continue;
            }
            if (mSkipUntilUs >= 0) {
                int64_t t = 0;
                mVideoBuffer->meta_data()->findInt64(kKeyTime, &t);
                if (t < mSkipUntilUs) {
                    mVideoBuffer->release();
                    mVideoBuffer = nullptr;
                    continue;
                }
                mSkipUntilUs = -1;
            }
            break;
        }
        ++mFramesDecoded;
        {
            Mutex::Autolock _s(mStatsLock);
            ++mStats.numVideoFramesDecoded;
        }
    }

    int64_t timeUs = 0;
    mVideoBuffer->meta_data()->findInt64(kKeyTime, &timeUs);
    if (timeUs < mLastVideoTimeUs) {
        VLOGI("XXXXXX mLastVideoTimeUs = %lld us, timeUs = %lld us", static_cast<long long>(mLastVideoTimeUs),
              static_cast<long long>(timeUs));
    }
    if (mSeeking == 2 && mSeekTimeUs > timeUs) {
        VLOGI("XXX mSeekTimeUs = %lld us, timeUs = %lld us", static_cast<long long>(mSeekTimeUs),
              static_cast<long long>(timeUs));
    }
    mLastVideoTimeUs = timeUs;
    {
        Mutex::Autolock _m(mMiscStateLock);
        mVideoTimeUs = timeUs;
    }
    const int32_t wasSeeking = mSeeking;
    finishSeekIfNecessary(timeUs);

    if (mAudioPlayer != nullptr && (mFlags & PLAYING) && !(mFlags & (SEEK_PREVIEW | AUDIO_RUNNING))) {
        status_t err = startAudioPlayer_l(!mVideoOnlyFallback);
        if (err != OK) {
            VLOGE("Starting the audio player failed w/ err %d", err);
            if (!mVideoOnlyFallback) return;
            deleteAudioPlayer_l();
            mTimeSource = &mSystemTimeSource;
        }
    }

    TimeSource* ts = (mFlags & AUDIO_AT_EOS) ? static_cast<TimeSource*>(&mSystemTimeSource) : mTimeSource;
    const bool firstFrame = (mFlags & FIRST_FRAME) != 0;
    if (firstFrame) {
        modifyFlags(FIRST_FRAME, CLEAR);
        mSinceLastDropped = 0;
        mTimeSourceDeltaUs = ts->getRealTimeUs() - timeUs;
    }
    int64_t realTimeUs, mediaTimeUs;
    if (!(mFlags & AUDIO_AT_EOS) && mAudioPlayer != nullptr &&
        mAudioPlayer->getMediaTimeMapping(&realTimeUs, &mediaTimeUs)) {
        mTimeSourceDeltaUs = realTimeUs - mediaTimeUs;
    }

    const bool livePreview = !mLiveDisabled && mIsHlsSession && (mFlags & SEEK_PREVIEW);
    int64_t latenessUs = 0;
    const int64_t nowUs = ts->getRealTimeUs() - mTimeSourceDeltaUs;
    if (wasSeeking == 2) {
        latenessUs = nowUs - timeUs;
        if (latenessUs > 0) VLOGI("after SEEK_VIDEO_ONLY we're late by %.2f secs", latenessUs / 1e6);
    }
    if (wasSeeking == 0 && !(mFlags & SEEK_PREVIEW)) {
        const int64_t shiftedUs = timeUs - mTimeshiftOffsetUs;
        latenessUs = nowUs - shiftedUs;
        // The first picture after a start or a seek is always shown: the audio that started with
        // it may already be a few tens of milliseconds ahead, and dropping it would leave the
        // screen on the old picture.
        if (latenessUs > 40000 && !firstFrame) {
            VLOGI("we're late by %lld us (%.2f secs) timeUs %lld (%.2f secs) nowUs %lld (%.2f secs)",
                  static_cast<long long>(latenessUs), latenessUs / 1e6, static_cast<long long>(timeUs), timeUs / 1e6,
                  static_cast<long long>(nowUs), nowUs / 1e6);
            ++mLateFrames;
            const int32_t everyN = static_cast<int32_t>(mPlaybackRate * 3.0f / 10.0f);
            if (everyN <= 0 || mLateFrames % static_cast<uint64_t>(everyN) != 0) {
                VLOGI("we're late by %lld us (%.2f secs) dropping one after %d frames",
                      static_cast<long long>(latenessUs), latenessUs / 1e6, mSinceLastDropped);
                {
                    Mutex::Autolock _s(mStatsLock);
                    ++mStats.numVideoFramesDropped;
                }
                if (livePreview) {
                    if (--mPreviewFramesLeft < 0) {
                        VLOGI("preview clear 1");
                        modifyFlags(SEEK_PREVIEW, CLEAR);
                        return;
                    }
                }
                mSinceLastDropped = 0;
                mVideoBuffer->release();
                mVideoBuffer = nullptr;
                if (latenessUs > 3000000 && mExtractor != nullptr) mExtractor->setOnlyKeyFrame();
                postVideoEvent_l(1000);
                return;
            }
        }
        if (latenessUs < -10000) {
            if (livePreview) {
                if (--mPreviewFramesLeft < 0) {
                    VLOGI("preview clear 2");
                    modifyFlags(SEEK_PREVIEW, CLEAR);
                } else {
                    postVideoEvent_l(1000);
                }
            } else {
                postVideoEvent_l(10000);
            }
            return;
        }
    }

    if (mVideoRenderer == nullptr || mRendererNeedsInit) initRenderer_l();
    ++mSinceLastDropped;
    if (RenderRecorder recorder = renderRecorder()) recorder(timeUs, nowUs, latenessUs);
    if (mVideoRenderer != nullptr) mVideoRenderer->render(mVideoBuffer);
    if (!mVideoRenderingStarted) {
        mVideoRenderingStarted = true;
        notifyListener_l(MEDIA_INFO, MEDIA_INFO_RENDERING_START);
    }
    if (mFlags & PLAYING) notifyIfMediaStarted_l();
    mVideoBuffer->release();
    mVideoBuffer = nullptr;

    if (wasSeeking == 0 || !(mFlags & SEEK_PREVIEW)) {
        postVideoEvent_l();
    } else if (!mPreviewPending) {
        modifyFlags(SEEK_PREVIEW, CLEAR);
        mSeekNotificationSent = true;
        mVideoRenderEventPending = true;
        mQueue.postEventWithDelay(mVideoRenderEvent, 100);
    } else {
        mPreviewPending = false;
        postVideoEvent_l(10);
    }
}

void PlaybackEngine::onStreamDone() {
    Mutex::Autolock _l(mLock);
    if (!mStreamDoneEventPending) return;
    mStreamDoneEventPending = false;
    if (mStreamDoneStatus == USER_STOP) return;  // a reset or stop cut the stream short on purpose
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
    notifyListener_l(MEDIA_PLAYBACK_COMPLETE);
    pause_l();
    modifyFlags(AT_EOS, SET);
}

void PlaybackEngine::onBufferingUpdate() {
    Mutex::Autolock _l(mLock);
    if (!mBufferingEventPending) return;
    mBufferingEventPending = false;
}

void PlaybackEngine::onVideoLagUpdate() {
    Mutex::Autolock _l(mLock);
    if (!mVideoLagEventPending) return;
    mVideoLagEventPending = false;
    if (!(mFlags & VIDEO_AT_EOS)) {
        int64_t cachedUs = mCachedDurationUs;
        bool eos = false;
        Ref<MediaExtractor> extractor = mExtractor;
        if (extractor != nullptr && extractor->getCachedDuration(&cachedUs, &eos) == OK) mCachedDurationUs = cachedUs;
        notifyListener_l(MEDIA_INFO, MEDIA_INFO_VIDEO_TRACK_LAGGING, static_cast<int32_t>(mCachedDurationUs / 1000));
        postVideoLagEvent_l();
    }
}

void PlaybackEngine::onCheckAudioStatus() {
    {
        Mutex::Autolock _a(mAudioLock);
        if (!mAudioStatusEventPending) return;
        mAudioStatusEventPending = false;
    }
    Mutex::Autolock _l(mLock);
    if (mAudioPlayer == nullptr) {
        VLOGE("postAudioEOS >>> Already deleted AudioPlayer");
        return;
    }
    if (mWatchForAudioSeekComplete && !mAudioPlayer->isSeeking()) {
        mWatchForAudioSeekComplete = false;
        if (!mSeekNotificationSent) {
            notifyListener_l(MEDIA_SEEK_COMPLETE);
            mSeekNotificationSent = true;
        }
        mSeeking = 0;
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

void PlaybackEngine::onAudioTearDownEvent() {
    Mutex::Autolock _l(mLock);
    if (!mAudioTearDownEventPending) return;
    mAudioTearDownEventPending = false;
    VLOGI("onAudioTearDownEvent");
    mResumeAfterReprepare = (mFlags & PLAYING) != 0;
    std::string uri = mUri;
    std::map<std::string, std::string> headers = mUriHeaders;
    int64_t positionUs = 0;
    getPosition(&positionUs);
    mReprepareSeekTimeUs = positionUs;
    const bool resume = mResumeAfterReprepare;
    reset_l();
    mUri = uri;
    mUriHeaders = headers;
    mResumeAfterReprepare = resume;
    modifyFlags(PREPARING, SET);
    VLOGI("## PREPARING SET");
    mSilentReprepare = true;
    mIsAsyncPrepare = true;
    beginPrepareAsync_l();
}

void PlaybackEngine::onApplicationDataEvent() {
    Mutex::Autolock _l(mLock);
    if (!mApplicationDataEventPending) return;
    mApplicationDataEventPending = false;
}

void PlaybackEngine::onVideoRenderEvent(EngineReporterEvent*) {
    Mutex::Autolock _l(mLock);
    mVideoRenderEventPending = false;
    if (!(mFlags & PLAYING) && mVideoRenderer != nullptr) mVideoRenderer->redraw();
}

void PlaybackEngine::onThumbnailEvent(EngineReporterEvent*) { mThumbnailEventPending = false; }

int32_t PlaybackEngine::countTracks_l() {
    return mExtractor != nullptr ? static_cast<int32_t>(mExtractor->countTracks()) : 0;
}

status_t PlaybackEngine::trackInfo_l(Payload* reply) {
    if (!reply) return BAD_VALUE;
    const int32_t count = countTracks_l();
    reply->writeInt32(count);
    for (int32_t i = 0; i < count; ++i) {
        Ref<MetaData> meta = mExtractor->getTrackMetaData(static_cast<size_t>(i));
        const char* mime = "";
        const char* lang = "und";
        if (meta != nullptr) {
            meta->findCString(kKeyMIMEType, &mime);
            if (!meta->findCString(kKeyLanguage, &lang)) lang = "und";
        }
        int32_t type = 0;
        if (startsWithIgnoreCase(mime, "video/")) type = 1;
        else if (startsWithIgnoreCase(mime, "audio/")) type = 2;
        else if (!strcasecmp(mime, "text/caption")) type = 3;
        reply->writeInt32(2);
        reply->writeInt32(type);
        std::u16string wide;
        for (const char* c = lang; *c; ++c) wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(*c)));
        reply->writeString16(wide);
    }
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
    Ref<MetaData> meta = mExtractor->getTrackMetaData(static_cast<size_t>(index));
    const char* mime = "";
    if (meta != nullptr) meta->findCString(kKeyMIMEType, &mime);
    if (!startsWithIgnoreCase(mime, "audio/") && strcasecmp(mime, "text/caption") != 0) {
        VLOGE("Track %d is not either audio or timed text", index);
        return ERROR_UNSUPPORTED;
    }
    if (startsWithIgnoreCase(mime, "audio/")) {
        if (!select) {
            VLOGE("Deselect an audio track (%d) is not supported", index);
            return ERROR_UNSUPPORTED;
        }
        VLOGI("selectAudioTrack_l: trackIndex=%d, mFlags=0x%x", index, mFlags);
        if (index == mActiveAudioTrackIndex) {
            VLOGI("Track %d is active. Does nothing.", index);
            return OK;
        }
        if (mSeeking != 0) {
            VLOGE("Selecting a track while seeking is not supported");
            return ERROR_UNSUPPORTED;
        }
        if (!(mFlags & PREPARED)) {
            VLOGE("Data source has not finished preparation");
            return ERROR_UNSUPPORTED;
        }
        const bool wasPlaying = (mFlags & PLAYING) != 0;
        pause_l();
        int64_t positionUs = 0;
        getPosition(&positionUs);
        if (mAudioPlayer != nullptr) {
            deleteAudioPlayer_l();
        } else if (mAudioSource != nullptr) {
            mAudioSource->stop();
            mAudioSource.clear();
        }
        mAudioTrack = mExtractor->getTrack(static_cast<size_t>(index));
        status_t err = initAudioDecoder();
        if (err != OK) {
            VLOGE("Failed to init audio decoder: 0x%x", static_cast<unsigned>(err));
            return err;
        }
        mActiveAudioTrackIndex = index;
        // Back to where playback was; a source that cannot seek goes on from where it stands.
        if (mExtractorFlags & MediaExtractor::CAN_SEEK) seekTo_l(positionUs);
        if (wasPlaying) play_l();
        return OK;
    }
    // Subtitle tracks are driven by the subtitle drivers.
    return INVALID_OPERATION;
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
            bool accepted = false;
            if (mAudioPlayer != nullptr) {
                accepted = mAudioPlayer->setPlaybackRate(mPlaybackRate);
                VLOGI("setPlayingRate %.1f", rate);
            }
            if (mAudioSink != nullptr) mAudioSink->setPlaybackRate(static_cast<uint32_t>(rate * 100.0));
            return accepted ? OK : ERROR_UNSUPPORTED;
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
        case 16: {
            if (!reply) return OK;
            const char* component = nullptr;
            Ref<MetaData> format = mVideoSource != nullptr ? mVideoSource->getFormat() : nullptr;
            if (format != nullptr && format->findCString(kKeyDecoderComponent, &component) && component) {
                reply->writeInt32(1);
                reply->writeInt32(static_cast<int32_t>(strlen(component)));
                reply->write(component, strlen(component));
                VLOGI("invoke Video Codec Name '%s'", component);
            } else {
                reply->writeInt32(0);
            }
            return OK;
        }
        case 17: {
            int32_t flag = request.readInt32();
            if (mAudioPlayer != nullptr) mAudioPlayer->setMute(flag == 0);
            return OK;
        }
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
            if (mAudioSource != nullptr) mAudioSource->setAudioGainStep(level > 100 ? level - 100 : 0);
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
    Mutex::Autolock _l(mLock);
    switch (key) {
        case 1100:
            // The statistics window belongs to the cache of streamed sources.
            return ERROR_UNSUPPORTED;
        case 1300: {
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
    if (key != 1200) return ERROR_UNSUPPORTED;
    Mutex::Autolock _l(mLock);
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
