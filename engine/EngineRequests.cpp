// The numbered invoke requests of PlaybackEngine: a table from request id to a named handler.
// Every handler runs on the host's thread under the engine's main lock.
#include "engine/EngineRequests.h"

#include <cstring>

#include "engine/EngineProbes.h"
#include "engine/HttpDataSource.h"
#include "engine/MediaDefs.h"
#include "engine/PlaybackEngine.h"
#include "engine/UserAgent.h"
#include "utils/Log.h"
#include "utils/UrlEncode.h"

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
constexpr double kNormalRateTenths = 10.0;

// Bookmark addresses shorter than this are not worth a request ("http://" alone).
constexpr size_t kMinBookmarkUrlLength = 8;
// The most of a bookmark document kept.
constexpr size_t kMaxBookmarkDocumentBytes = 1024 * 1024;
constexpr size_t kFetchBlockBytes = 4096;

// A whole small document over HTTP (the agent's bookmark answers).
status_t FetchText(const std::string& url, std::string* body) {
    Ref<HttpDataSource> http = new HttpDataSource;
    status_t err = http->connect(url.c_str());
    if (err != OK) return err;
    body->clear();
    char block[kFetchBlockBytes];
    for (int64_t offset = 0; body->size() < kMaxBookmarkDocumentBytes;) {
        const ssize_t n = http->readAt(offset, block, sizeof(block));
        if (n < 0) return static_cast<status_t>(n);
        if (n == 0) break;
        body->append(block, static_cast<size_t>(n));
        offset += n;
    }
    http->disconnect();
    return OK;
}

// The version text goes into the User-Agent line of every HTTP request: only printable ASCII,
// so a line break cannot start a header of its own, and no longer than a version needs.
constexpr size_t kMaxVersionChars = 64;
std::string headerSafeText(const char* text) {
    std::string out;
    for (const char* c = text; c != nullptr && *c != '\0' && out.size() < kMaxVersionChars; ++c) {
        if (*c >= 0x20 && *c < 0x7f) out.push_back(*c);
    }
    return out;
}

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
    {InvokeRequest::kLoadBookmarks, &PlaybackEngine::onLoadBookmarksRequest_l},
    {InvokeRequest::kGetBookmarks, &PlaybackEngine::onGetBookmarksRequest_l},
    {InvokeRequest::kAddBookmark, &PlaybackEngine::onAddBookmarkRequest_l},
    {InvokeRequest::kDeleteBookmark, &PlaybackEngine::onDeleteBookmarkRequest_l},
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
    {InvokeRequest::kAgentSetter31, &PlaybackEngine::onAgentSetter31Request_l},
    {InvokeRequest::kAgentSetter32, &PlaybackEngine::onAgentSetter32Request_l},
    {InvokeRequest::kAgentSetter33, &PlaybackEngine::onAgentSetter33Request_l},
    {InvokeRequest::kSetAudioEffect, &PlaybackEngine::onAudioEffectRequest_l},
    {InvokeRequest::kVideoInfo, &PlaybackEngine::onVideoInfoRequest_l},
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
    std::shared_ptr<PlayerAgent> agent = sessionAgent_l();
    // The agent's "real" streams play at their own pace.
    if (agent != nullptr && agent->streamKind() == "real") return ERROR_UNSUPPORTED;
    mPlaybackRate = static_cast<float>(rate);
    if (mHasAgentItem && mAgentItem.info.disablePlayrate) return ERROR_UNSUPPORTED;
    bool accepted = false;
    if (mAudioPlayer != nullptr) {
        accepted = mAudioPlayer->setPlaybackRate(mPlaybackRate);
        VLOGI("setPlayingRate %.1f", rate);
        if (agent != nullptr) agent->setPlaybackRate(static_cast<int32_t>(rate));
    }
    if (mAudioSink != nullptr) mAudioSink->setPlaybackRate(static_cast<uint32_t>(rate * 100.0));
    if (accepted) setTextPlaybackRate_l(rate / kNormalRateTenths);
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
    if (!reply) return OK;
    // Without an agent item the content is described by its kind alone.
    if (!mHasAgentItem) {
        reply->writeCString("LIVE");
        return OK;
    }
    std::shared_ptr<PlayerAgent> agent = sessionAgent_l();
    const AgentMediaInfo& i = mAgentItem.info;
    reply->writeCString(agent != nullptr ? agent->streamKind().c_str() : "");
    for (const std::string* text : {&i.title, &i.snapshot, &i.thumbnail, &i.detail}) reply->writeCString(text->c_str());
    for (int32_t v : {i.playAt, i.duration, int32_t(i.autostart), int32_t(i.mute), int32_t(i.nscreenPopup),
                      int32_t(i.isIntro), i.isSeekable, i.isSkipable}) {
        reply->writeInt32(v);
    }
    reply->writeCString(i.watermark.c_str());
    for (int32_t v : {i.width, i.height, i.bitrate, i.brightness, i.contrast, i.saturation, i.bookmarkKind,
                      int32_t(i.isLive), i.buffer}) {
        reply->writeInt32(v);
    }
    reply->writeInt64(i.bufferSize);
    for (int32_t v : {i.playsectionStart, i.playsectionEnd, i.uiProgressType, i.uiJumpStep, i.uiPlayrateSave,
                      i.uiPlayrateStep, int32_t(i.disablePlayrate), i.seekableEnd, int32_t(i.bookmarkEnable),
                      int32_t(i.thumbnailEnable), i.maxPlayrate}) {
        reply->writeInt32(v);
    }
    reply->writeCString(i.captionStyle.c_str());
    for (int32_t v : {int32_t(i.isAudioFile), i.repeatStart, i.repeatEnd, i.nextEpisodeShowTime}) reply->writeInt32(v);
    reply->writeCString(i.nextEpisodeCallbackUrl.c_str());
    reply->writeCString(i.playbackRatesJson.c_str());
    reply->writeInt32(i.playbackRateDefault);
    reply->writeCString(i.watermarkMsg.c_str());
    reply->writeInt32(i.watermarkAlpha);
    reply->writeInt32(i.watermarkFontSize);
    reply->writeCString(i.watermarkFontColor.c_str());
    for (int32_t v : {i.watermarkShowTime, i.watermarkHideTime, i.watermarkType}) reply->writeInt32(v);
    reply->writeCString(i.fwatermark.c_str());
    return OK;
}

// The picture watermark the agent asks for: text, alpha, font size, colour, show and hide times.
status_t PlaybackEngine::onVideoInfoRequest_l(const Payload&, Payload* reply) {
    if (!reply || !mHasAgentItem) return OK;
    const AgentMediaInfo& i = mAgentItem.info;
    reply->writeCString(i.watermarkMsg.c_str());
    reply->writeInt32(i.watermarkAlpha);
    reply->writeInt32(i.watermarkFontSize);
    reply->writeCString(i.watermarkFontColor.c_str());
    reply->writeInt32(i.watermarkShowTime);
    reply->writeInt32(i.watermarkHideTime);
    return OK;
}

status_t PlaybackEngine::onLoadBookmarksRequest_l(const Payload&, Payload*) {
    std::shared_ptr<PlayerAgent> agent = sessionAgent_l();
    if (mResetting || agent == nullptr) return OK;
    std::string url = agent->GetBookmarkRead();
    postReporterTask_l([this, agent, url = std::move(url)] {
        runBookmarkRequest(agent, url, std::string(), kInfoBookmarksLoaded, 0, true);
    });
    return OK;
}

status_t PlaybackEngine::onAddBookmarkRequest_l(const Payload& request, Payload*) {
    const int32_t seconds = request.readInt32();
    const char* title = request.readCString();
    const char* label = request.readCString();
    std::shared_ptr<PlayerAgent> agent = sessionAgent_l();
    if (mResetting || agent == nullptr) return OK;
    std::string query = "&label=" + UrlEncode(label ? label : "") + "&title=" + UrlEncode(title ? title : "") +
                        "&position=" + std::to_string(seconds);
    std::string url = agent->GetBookmarkRegister();
    postReporterTask_l([this, agent, url = std::move(url), query = std::move(query), seconds] {
        runBookmarkRequest(agent, url, query, kInfoBookmarkAdded, seconds, false);
    });
    return OK;
}

status_t PlaybackEngine::onDeleteBookmarkRequest_l(const Payload& request, Payload*) {
    const int32_t seconds = request.readInt32();
    const char* label = request.readCString();
    std::shared_ptr<PlayerAgent> agent = sessionAgent_l();
    if (mResetting || agent == nullptr) return OK;
    std::string query = "&label=" + UrlEncode(label ? label : "") + "&position=" + std::to_string(seconds);
    std::string url = agent->GetBookmarkDelete();
    postReporterTask_l([this, agent, url = std::move(url), query = std::move(query), seconds] {
        runBookmarkRequest(agent, url, query, kInfoBookmarkDeleted, seconds, false);
    });
    return OK;
}

// Reporter queue thread, no engine lock: the exchange may wait for the agent.
void PlaybackEngine::runBookmarkRequest(std::shared_ptr<PlayerAgent> agent, std::string url, std::string query,
                                        int32_t info, int32_t seconds, bool keepAnswer) {
    if (url.size() < kMinBookmarkUrlLength) return;
    std::string body;
    const status_t err = FetchText(url + query, &body);
    if (info == kInfoBookmarkAdded) {
        VLOGI("### updateBookmarkInfo [%s]", query.c_str());
        VLOGI("updateBookmarkInfo %d [%s]", seconds, body.c_str());
    } else if (info == kInfoBookmarkDeleted) {
        VLOGI("deleteBookmarkInfo %d [%s]", seconds, body.c_str());
    }
    EngineLock lock(this);
    if (sessionAgent_l() != agent) return;  // the session ended meanwhile
    if (keepAnswer) {
        if (err != OK) return;
        mBookmarkJson = std::move(body);
    }
    notifyListener_l(MEDIA_INFO, info, seconds);
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
    if (mAudioPlayer != nullptr) {
        mAudioPlayer->setMute(flag == 0);
        if (std::shared_ptr<PlayerAgent> agent = sessionAgent_l()) agent->setMute(flag == 0);
    }
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
    if (std::shared_ptr<PlayerAgent> agent = sessionAgent_l()) {
        agent->setVolume(level);
        agent->setMute(false);
    }
    return OK;
}

status_t PlaybackEngine::onOsVersionRequest_l(const Payload& request, Payload*) {
    const char* os = request.readCString();
    const char* version = request.readCString();
    VLOGI("invoke os '%s', version '%s'", os ? os : "", version ? version : "");
    if (const char* name = shortOsName(os)) mOsShort.assign(name);
    mOsVersion = headerSafeText(version);
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

// Skipping walks the agent's play list: the target item's play URL becomes the session's address.
status_t PlaybackEngine::skip_l(int32_t index) {
    VLOGI("skip_l");
    std::shared_ptr<PlayerAgent> agent = sessionAgent_l();
    if (agent == nullptr) return ERROR_OUT_OF_RANGE;
    const int32_t target = index == -1 ? agent->currentIndex() + 1 : index;
    if (target < 0 || target >= agent->itemCount()) return ERROR_OUT_OF_RANGE;
    pause_l();
    const std::string uri = agent->getPlayUrl(target);
    std::map<std::string, std::string> headers = mUriHeaders;
    // The session goes on with the same client: the reset must not end it.
    mAgent.reset();
    status_t err = setDataSource_l(uri.c_str(), &headers, std::move(agent));
    if (err != OK) return err;
    mIsAsyncPrepare = true;
    return prepareAsync_l();
}

status_t PlaybackEngine::onAgentSetter31Request_l(const Payload& request, Payload*) {
    return onAgentSetterRequest_l(InvokeRequest::kAgentSetter31, request);
}
status_t PlaybackEngine::onAgentSetter32Request_l(const Payload& request, Payload*) {
    return onAgentSetterRequest_l(InvokeRequest::kAgentSetter32, request);
}
status_t PlaybackEngine::onAgentSetter33Request_l(const Payload& request, Payload*) {
    return onAgentSetterRequest_l(InvokeRequest::kAgentSetter33, request);
}

// The host's interface settings go back to the agent: progress type, jump step, rate saving.
// The exchange runs on the reporter queue.
status_t PlaybackEngine::onAgentSetterRequest_l(InvokeRequest id, const Payload& request) {
    const int32_t a = request.readInt32();
    const int32_t b = id == InvokeRequest::kAgentSetter33 ? request.readInt32() : 0;
    std::shared_ptr<PlayerAgent> agent = sessionAgent_l();
    if (agent == nullptr) return OK;
    postReporterTask_l([agent, id, a, b] {
        switch (id) {
            case InvokeRequest::kAgentSetter31: agent->sendProgressType(a); break;
            case InvokeRequest::kAgentSetter32: agent->sendJumpStep(a); break;
            default: agent->sendPlayrateSave(a, b); break;
        }
    });
    return OK;
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

// The agent's last error: its code and its message.
status_t PlaybackEngine::onAgentValueRequest_l(const Payload&, Payload* reply) {
    if (!reply) return OK;
    std::shared_ptr<PlayerAgent> agent = sessionAgent_l();
    reply->writeInt64(agent != nullptr ? agent->agentErrorCode() : -1);
    reply->writeCString(agent != nullptr ? agent->agentErrorMessage().c_str() : "");
    return OK;
}

}  // namespace velmor
