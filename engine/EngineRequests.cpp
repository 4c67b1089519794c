// The numbered invoke requests of PlaybackEngine: a table from request id to a named handler.
// Every handler runs on the host's thread under the engine's main lock.
#include "engine/EngineRequests.h"

#include <cstring>

#include "engine/EngineProbes.h"
#include "engine/MediaDefs.h"
#include "engine/PlaybackEngine.h"
#include "engine/UserAgent.h"
#include "utils/Log.h"

#define LOG_TAG "VEL_PlaybackEngine"

namespace velmor {

namespace {

// The short form of an OS description, or null when none matches.
const char* shortOsName(const char* os) {
    if (!os) return nullptr;
    if (strstr(os, "xp")) return "xp";
    if (strstr(os, "Windows 7")) return "7";
    if (strstr(os, "Windows 8")) return "8";
    if (strstr(os, "8.1")) return "81";
    if (strstr(os, "Windows 10")) return "10";
    return nullptr;
}

// The playback rates a host may ask for, in tenths of normal speed (0.1x to 4x).
constexpr double kMinRateTenths = 1.0;
constexpr double kMaxRateTenths = 40.0;

// Volume levels above this boost the decoded sound by (level - kMaxSinkVolume) gain steps.
constexpr int32_t kMaxSinkVolume = 100;

}  // namespace

struct PlaybackEngine::RequestHandler {
    InvokeRequest id;
    status_t (PlaybackEngine::*handle)(const Payload& request, Payload* reply);
};

const PlaybackEngine::RequestHandler PlaybackEngine::kRequestHandlers[] = {
    {InvokeRequest::kTrackInfo, &PlaybackEngine::onTrackInfoRequest_l},
    {InvokeRequest::kAddSubtitleSource, &PlaybackEngine::onSubtitleSourceRequest_l},
    {InvokeRequest::kSelectTrack, &PlaybackEngine::onSelectTrackRequest_l},
    {InvokeRequest::kDeselectTrack, &PlaybackEngine::onDeselectTrackRequest_l},
    {InvokeRequest::kSetPlaybackRate, &PlaybackEngine::onPlaybackRateRequest_l},
    {InvokeRequest::kSetStoragePath, &PlaybackEngine::onStoragePathRequest_l},
    {InvokeRequest::kSetDeviceGuid, &PlaybackEngine::onDeviceGuidRequest_l},
    {InvokeRequest::kContentInfo, &PlaybackEngine::onContentInfoRequest_l},
    {InvokeRequest::kLoadBookmarks, &PlaybackEngine::onIgnoredRequest_l},
    {InvokeRequest::kGetBookmarks, &PlaybackEngine::onGetBookmarksRequest_l},
    {InvokeRequest::kAddBookmark, &PlaybackEngine::onIgnoredRequest_l},
    {InvokeRequest::kDeleteBookmark, &PlaybackEngine::onIgnoredRequest_l},
    {InvokeRequest::kReserved15, &PlaybackEngine::onZeroReplyRequest_l},
    {InvokeRequest::kVideoCodecName, &PlaybackEngine::onVideoCodecNameRequest_l},
    {InvokeRequest::kSetAudioEnabled, &PlaybackEngine::onAudioEnabledRequest_l},
    {InvokeRequest::kDecoderSettings, &PlaybackEngine::onDecoderSettingsRequest_l},
    {InvokeRequest::kSetBrightness, &PlaybackEngine::onBrightnessRequest_l},
    {InvokeRequest::kSetSaturation, &PlaybackEngine::onSaturationRequest_l},
    {InvokeRequest::kSetContrast, &PlaybackEngine::onContrastRequest_l},
    {InvokeRequest::kSetScaleMode, &PlaybackEngine::onScaleModeRequest_l},
    {InvokeRequest::kSetAspectRatio, &PlaybackEngine::onAspectRatioRequest_l},
    {InvokeRequest::kSetViewOffset, &PlaybackEngine::onViewOffsetRequest_l},
    {InvokeRequest::kSetVolume, &PlaybackEngine::onVolumeRequest_l},
    {InvokeRequest::kSetOsVersion, &PlaybackEngine::onOsVersionRequest_l},
    {InvokeRequest::kReserved27, &PlaybackEngine::onIgnoredRequest_l},
    {InvokeRequest::kSetOption28, &PlaybackEngine::onIgnoredRequest_l},
    {InvokeRequest::kSetOption29, &PlaybackEngine::onIgnoredRequest_l},
    {InvokeRequest::kSkipTo, &PlaybackEngine::onSkipRequest_l},
    {InvokeRequest::kAgentSetter31, &PlaybackEngine::onIgnoredRequest_l},
    {InvokeRequest::kAgentSetter32, &PlaybackEngine::onIgnoredRequest_l},
    {InvokeRequest::kAgentSetter33, &PlaybackEngine::onIgnoredRequest_l},
    {InvokeRequest::kSetAudioEffect, &PlaybackEngine::onAudioEffectRequest_l},
    {InvokeRequest::kVideoInfo, &PlaybackEngine::onIgnoredRequest_l},
    {InvokeRequest::kSetTimeshiftOffset, &PlaybackEngine::onTimeshiftOffsetRequest_l},
    {InvokeRequest::kLivePrograms, &PlaybackEngine::onZeroReplyRequest_l},
    {InvokeRequest::kSetLiveOption, &PlaybackEngine::onIgnoredRequest_l},
    {InvokeRequest::kReportError, &PlaybackEngine::onReportErrorRequest_l},
    {InvokeRequest::kSetLiveDisabled, &PlaybackEngine::onLiveDisabledRequest_l},
    {InvokeRequest::kAgentValue, &PlaybackEngine::onAgentValueRequest_l},
};

status_t PlaybackEngine::invoke(const Payload& request, Payload* reply) {
    if (const EngineProbes* probes = GetEngineProbes(); probes != nullptr && probes->onInvoke) {
        probes->onInvoke(request.data(), request.dataSize());
    }
    int32_t methodId;
    status_t err = request.readInt32(&methodId);
    if (err != OK) return err;
    const RequestHandler* handler = nullptr;
    for (const RequestHandler& h : kRequestHandlers) {
        if (static_cast<int32_t>(h.id) == methodId) handler = &h;
    }
    {
        EngineLock lock(this);
        if (mStopped) return OK;
        VLOGI("invoke methodId %d", methodId);
        if (handler == nullptr) return ERROR_UNSUPPORTED;
        err = (this->*handler->handle)(request, reply);
        if (err != OK || !mAudioSwitch.pending) return err;
    }
    // An audio track switch goes on once the old audio player has closed the sound device.
    EngineLock lock(this);
    return finishAudioSwitch_l();
}

status_t PlaybackEngine::onTrackInfoRequest_l(const Payload&, Payload* reply) { return trackInfo_l(reply); }

status_t PlaybackEngine::onSubtitleSourceRequest_l(const Payload& request, Payload*) {
    request.readInt32();  // secondary
    request.readCString();  // address
    // Subtitle sources need the subtitle drivers.
    return ERROR_UNSUPPORTED;
}

status_t PlaybackEngine::onSelectTrackRequest_l(const Payload& request, Payload*) {
    const int32_t index = request.readInt32();
    const int32_t secondary = request.readInt32();
    return selectTrack_l(index, true, secondary != 0);
}

status_t PlaybackEngine::onDeselectTrackRequest_l(const Payload& request, Payload*) {
    const int32_t index = request.readInt32();
    const int32_t secondary = request.readInt32();
    return selectTrack_l(index, false, secondary != 0);
}

status_t PlaybackEngine::onPlaybackRateRequest_l(const Payload& request, Payload*) {
    const double rate = request.readDouble();
    // Rates travel in tenths of normal speed. Zero, negative, absurd or NaN rates would reach
    // the time-stretch stage, the sink's rate in millihertz and integer conversions: refused.
    if (!(rate >= kMinRateTenths && rate <= kMaxRateTenths)) return BAD_VALUE;
    mPlaybackRate = static_cast<float>(rate);
    bool accepted = false;
    if (mAudioPlayer != nullptr) {
        accepted = mAudioPlayer->setPlaybackRate(mPlaybackRate);
        VLOGI("setPlayingRate %.1f", rate);
    }
    if (mAudioSink != nullptr) mAudioSink->setPlaybackRate(static_cast<uint32_t>(rate * 100.0));
    return accepted ? OK : ERROR_UNSUPPORTED;
}

status_t PlaybackEngine::onStoragePathRequest_l(const Payload& request, Payload*) {
    const char* path = request.readCString();
    mStoragePath = path ? path : "";
    mDeviceType = request.readInt32();
    VLOGI("invoke StoragePath '%s', devicetype '%d'", mStoragePath.c_str(), mDeviceType);
    return OK;
}

status_t PlaybackEngine::onDeviceGuidRequest_l(const Payload& request, Payload*) {
    const char* guid = request.readCString();
    mDeviceGuid = guid ? guid : "";
    VLOGI("invoke DeviceGUID '%s', %d", mDeviceGuid.c_str(), static_cast<int>(mDeviceGuid.size()));
    return OK;
}

status_t PlaybackEngine::onContentInfoRequest_l(const Payload&, Payload* reply) {
    // Without an agent session the content is described as a plain live-less item.
    if (reply) reply->writeCString("LIVE");
    return OK;
}

status_t PlaybackEngine::onGetBookmarksRequest_l(const Payload&, Payload* reply) {
    if (!reply) return OK;
    if (mBookmarkJson.empty()) {
        reply->writeInt32(0);
    } else {
        reply->writeInt32(1);
        reply->writeCString(mBookmarkJson.c_str());
    }
    return OK;
}

status_t PlaybackEngine::onZeroReplyRequest_l(const Payload&, Payload* reply) {
    if (reply) reply->writeInt32(0);
    return OK;
}

status_t PlaybackEngine::onVideoCodecNameRequest_l(const Payload&, Payload* reply) {
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

status_t PlaybackEngine::onAudioEnabledRequest_l(const Payload& request, Payload*) {
    const int32_t flag = request.readInt32();
    if (mAudioPlayer != nullptr) mAudioPlayer->setMute(flag == 0);
    return OK;
}

status_t PlaybackEngine::onDecoderSettingsRequest_l(const Payload& request, Payload*) {
    int32_t key, value;
    while (request.readInt32(&key) == OK && request.readInt32(&value) == OK) {
        if (key == kDecoderSettingVideoFlags) mVideoDecoderFlags = value;
        if (key == kDecoderSettingPlayback) mPlaybackSetting = static_cast<float>(value);
    }
    return OK;
}

status_t PlaybackEngine::onPictureControlRequest_l(InvokeRequest id, const Payload& request) {
    const int32_t v = request.readInt32();
    if (mVideoSink == nullptr) return OK;
    switch (id) {
        case InvokeRequest::kSetBrightness: mVideoSink->setBrightness(v); break;
        case InvokeRequest::kSetSaturation: mVideoSink->setSaturation(v); break;
        case InvokeRequest::kSetContrast: mVideoSink->setContrast(v); break;
        case InvokeRequest::kSetScaleMode: mVideoSink->setScaleMode(v); break;
        default: break;
    }
    return OK;
}

status_t PlaybackEngine::onBrightnessRequest_l(const Payload& request, Payload*) {
    return onPictureControlRequest_l(InvokeRequest::kSetBrightness, request);
}
status_t PlaybackEngine::onSaturationRequest_l(const Payload& request, Payload*) {
    return onPictureControlRequest_l(InvokeRequest::kSetSaturation, request);
}
status_t PlaybackEngine::onContrastRequest_l(const Payload& request, Payload*) {
    return onPictureControlRequest_l(InvokeRequest::kSetContrast, request);
}
status_t PlaybackEngine::onScaleModeRequest_l(const Payload& request, Payload*) {
    return onPictureControlRequest_l(InvokeRequest::kSetScaleMode, request);
}

status_t PlaybackEngine::onAspectRatioRequest_l(const Payload& request, Payload*) {
    const int32_t numerator = request.readInt32();
    const int32_t denominator = request.readInt32();
    if (mVideoSink != nullptr) mVideoSink->setAspectRatio(numerator, denominator);
    return OK;
}

status_t PlaybackEngine::onViewOffsetRequest_l(const Payload& request, Payload*) {
    const int32_t x = request.readInt32();
    const int32_t y = request.readInt32();
    if (mVideoSink != nullptr) return mVideoSink->setViewOffset(x, y) ? OK : ERROR_UNSUPPORTED;
    return OK;
}

status_t PlaybackEngine::onVolumeRequest_l(const Payload& request, Payload*) {
    const int32_t level = request.readInt32();
    const int32_t checkLost = request.readInt32();
    if (mAudioSink != nullptr) mAudioSink->setVolume(level < kMaxSinkVolume ? level : kMaxSinkVolume, checkLost != 0);
    if (mAudioSource != nullptr) mAudioSource->setAudioGainStep(level > kMaxSinkVolume ? level - kMaxSinkVolume : 0);
    return OK;
}

status_t PlaybackEngine::onOsVersionRequest_l(const Payload& request, Payload*) {
    const char* os = request.readCString();
    const char* version = request.readCString();
    VLOGI("invoke os '%s', version '%s'", os ? os : "", version ? version : "");
    if (const char* name = shortOsName(os)) mOsShort.assign(name);
    mOsVersion = version ? version : "";
    SetUserAgentInfo(UserAgentInfo{mOsShort, mOsVersion});
    return OK;
}

// Requests that only the agent session, the HLS stack or later features act on: their
// arguments are read and nothing happens.
status_t PlaybackEngine::onIgnoredRequest_l(const Payload&, Payload*) { return OK; }

status_t PlaybackEngine::onSkipRequest_l(const Payload& request, Payload*) {
    int32_t index = -1;
    request.readInt32(&index);
    return skip_l(index);
}

status_t PlaybackEngine::skip_l(int32_t index) {
    VLOGI("skip_l");
    (void)index;
    // Skipping walks the agent's play list; there is none without an agent session.
    return ERROR_OUT_OF_RANGE;
}

status_t PlaybackEngine::onAudioEffectRequest_l(const Payload& request, Payload*) {
    const int32_t on = request.readInt32();
    const int32_t level = request.readInt32();
    mAudioEffectOn = (on == 1);
    if (level >= 0) mAudioEffectLevel = level;
    return OK;
}

status_t PlaybackEngine::onTimeshiftOffsetRequest_l(const Payload& request, Payload*) {
    const int32_t ms = request.readInt32();
    mTimeshiftOffsetUs = static_cast<int64_t>(ms) * 1000;
    return OK;
}

status_t PlaybackEngine::onReportErrorRequest_l(const Payload& request, Payload*) {
    const int32_t code = request.readInt32();
    notifyListener_l(MEDIA_ERROR, MEDIA_ERROR_UNKNOWN, code);
    return OK;
}

status_t PlaybackEngine::onLiveDisabledRequest_l(const Payload& request, Payload*) {
    const int32_t flag = request.readInt32();
    mLiveDisabled = (flag != 0);
    return OK;
}

status_t PlaybackEngine::onAgentValueRequest_l(const Payload&, Payload* reply) {
    if (reply) {
        reply->writeInt64(-1);
        reply->writeCString("");
    }
    return OK;
}

}  // namespace velmor
