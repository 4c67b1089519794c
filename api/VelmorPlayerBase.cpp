#include "api/VelmorPlayerBase.h"

#include <json/json.h>

#include "api/DeviceIdentity.h"
#include "api/UiPlayerListener.h"
#include "engine/PlayerFront.h"
#include "platform/linux/SinkFactory.h"
#include "utils/Log.h"
#include "utils/Payload.h"

#define LOG_TAG "VEL_VelmorPlayerBase"

namespace velmor {

namespace {

// Writes one invoke argument in its wire form: int32 for integers and flags, double for
// rates, a NUL-terminated string for text.
void put(Payload& p, int32_t v) { p.writeInt32(v); }
void put(Payload& p, bool v) { p.writeInt32(v ? 1 : 0); }
void put(Payload& p, double v) { p.writeDouble(v); }
void put(Payload& p, const char* s) { p.writeCString(s ? s : ""); }

template <typename... Args>
void buildRequest(Payload& request, int32_t method, Args... args) {
    request.writeInt32(method);
    (put(request, args), ...);
    request.setDataPosition(0);
}

std::string readString(const Payload& p) {
    const char* s = p.readCString();
    return s ? s : "";
}

// Turns the agent's bookmark document into the list the host shows.
std::string bookmarkListJson(const std::string& agentJson) {
    Json::Value in;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value out(Json::objectValue);
    if (!reader->parse(agentJson.data(), agentJson.data() + agentJson.size(), &in, &errors) || !in.isObject()) {
        out["result"] = 0;
        out["error"] = 1;
        return Json::FastWriter().write(out);
    }
    const Json::Value& body = in.isMember("result") && in["result"].isObject() ? in["result"] : in;
    out["result"] = 1;
    out["error"] = in.get("error", 0);
    out["kind"] = body.get("kind", 0);
    out["is_bookmarkable"] = body.get("is_bookmarkable", 0);
    Json::Value list(Json::arrayValue);
    const Json::Value& positions = body["bookmark_positions"];
    if (positions.isArray()) {
        for (Json::ArrayIndex i = 0; i < positions.size(); ++i) {
            const Json::Value& item = positions[i];
            Json::Value entry(Json::objectValue);
            entry["position"] = item.get("position", 0);
            entry["label"] = item.get("label", "");
            entry["value"] = item.get("value", "");
            entry["Index"] = static_cast<int>(i);
            list.append(entry);
        }
    }
    out["bookmark_positions"] = list;
    return Json::FastWriter().write(out);
}

}  // namespace

#define INVOKE(...)                              \
    do {                                         \
        if (mPlayer == nullptr) return NO_INIT;  \
        Payload request;                         \
        buildRequest(request, __VA_ARGS__);      \
        return mPlayer->invoke(request, nullptr); \
    } while (0)

#define INVOKE_OR_ZERO(...)                      \
    do {                                         \
        if (mPlayer == nullptr) return 0;        \
        Payload request;                         \
        buildRequest(request, __VA_ARGS__);      \
        return mPlayer->invoke(request, nullptr); \
    } while (0)

VelmorPlayerBase::VelmorPlayerBase()
    : mUserValue(0), mVideoSinkParam1(0), mVideoSinkParam2(0), mVideoSink(nullptr), mAudioSink(nullptr), mApiLevel(1) {
    mPlayer = new PlayerFront();
    mDeviceGuid = computeDeviceIdentity();
    VLOGI("GUID_SHA1 '%s'", mDeviceGuid.c_str());
    Payload request;
    buildRequest(request, 9, mDeviceGuid.c_str());
    mPlayer->invoke(request, nullptr);
}

VelmorPlayerBase::~VelmorPlayerBase() {
    if (mPlayer != nullptr) mPlayer.clear();
    mListener.clear();
}

int32_t VelmorPlayerBase::setListener(VelmorNotifyCallback callback, void* userData) {
    mListener.clear();
    mListener = new UiPlayerListener(callback, userData);
    if (mPlayer != nullptr) mPlayer->setListener(mListener);
    return 0;
}

int32_t VelmorPlayerBase::setVideoArea(int32_t a, int32_t b) {
    if (mPlayer == nullptr) return NO_INIT;
    return mPlayer->setVideoArea(a, b);
}

int32_t VelmorPlayerBase::setVideoSurface(int32_t a, int32_t b, int32_t c) {
    if (mPlayer == nullptr) return NO_INIT;
    return mPlayer->setVideoSurface(a, b, c);
}

int32_t VelmorPlayerBase::setDataSourceFd(int32_t fd) {
    if (mPlayer == nullptr) return NO_INIT;
    return mPlayer->setDataSource(fd);
}

int32_t VelmorPlayerBase::setDataSource(const char* url, const char* extra) {
    if (mPlayer == nullptr) return NO_INIT;
    return mPlayer->setDataSource(url, nullptr, extra);
}

int32_t VelmorPlayerBase::createVideoSink(VelmorWindow window, int32_t, int32_t width, int32_t height, int32_t kind) {
    if (mPlayer == nullptr) return NO_INIT;
    Ref<PlayerBase::VideoSink> sink = CreatePlatformVideoSink(window, kind, width, height);
    if (kind == 1) {
        mPlayer->setVideoSink(sink);
        sink->setMargins(mVideoSinkParam1, mVideoSinkParam2);
    } else {
        sink->setMargins(mVideoSinkParam1, mVideoSinkParam2);
        mPlayer->setVideoSink(sink);
    }
    mVideoSink = sink.get();
    return 0;
}

int32_t VelmorPlayerBase::createAudioSink(intptr_t deviceOrWindow) {
    if (mPlayer == nullptr) return NO_INIT;
    Ref<PlayerBase::AudioSink> sink = CreatePlatformAudioSink(deviceOrWindow);
    mAudioSink = sink.get();
    mPlayer->setAudioSink(sink);
    return 0;
}

int32_t VelmorPlayerBase::setOsInfo(const char* os, const char* version) { INVOKE_OR_ZERO(26, os, version); }

int32_t VelmorPlayerBase::prepareAsync() {
    if (mPlayer == nullptr) return NO_INIT;
    return mPlayer->prepareAsync();
}

int32_t VelmorPlayerBase::start() {
    if (mPlayer == nullptr) return NO_INIT;
    return mPlayer->start();
}

int32_t VelmorPlayerBase::stop() {
    if (mPlayer == nullptr) return NO_INIT;
    return mPlayer->stop();
}

int32_t VelmorPlayerBase::seekTo(int32_t msec) {
    if (mPlayer == nullptr) return NO_INIT;
    return mPlayer->seekTo(msec);
}

int32_t VelmorPlayerBase::seekToExact(int32_t msec) {
    if (mPlayer == nullptr) return NO_INIT;
    return mPlayer->seekToExact(msec);
}

int32_t VelmorPlayerBase::getVideoWidth(int32_t* out) {
    if (out == nullptr) return BAD_VALUE;
    if (mPlayer == nullptr) return NO_INIT;
    int32_t w = 0, h = 0;
    if (!mPlayer->getVideoSize(&w, &h)) return INVALID_OPERATION;
    *out = w;
    return 0;
}

int32_t VelmorPlayerBase::getVideoHeight(int32_t* out) {
    if (out == nullptr) return BAD_VALUE;
    if (mPlayer == nullptr) return NO_INIT;
    int32_t w = 0, h = 0;
    if (!mPlayer->getVideoSize(&w, &h)) return INVALID_OPERATION;
    *out = h;
    return 0;
}

int32_t VelmorPlayerBase::getPlayerState(int32_t* out) {
    if (out == nullptr) return BAD_VALUE;
    if (mPlayer == nullptr) return NO_INIT;
    return mPlayer->getPlayerState(out);
}

int32_t VelmorPlayerBase::getErrorText(const wchar_t* language, int32_t code, wchar_t* out) {
    if (mPlayer == nullptr) return NO_INIT;
    return mPlayer->getErrorText(language, code, out);
}

int32_t VelmorPlayerBase::pause() {
    if (mPlayer == nullptr) return NO_INIT;
    return mPlayer->pause();
}

bool VelmorPlayerBase::isPlaying() { return mPlayer != nullptr && mPlayer->isPlaying(); }

int32_t VelmorPlayerBase::getCurrentPosition(int32_t* msec) {
    if (msec == nullptr) return BAD_VALUE;
    if (mPlayer == nullptr) return NO_INIT;
    return mPlayer->getCurrentPosition(msec);
}

int32_t VelmorPlayerBase::getDuration(int32_t* msec) {
    if (msec == nullptr) return BAD_VALUE;
    if (mPlayer == nullptr) return NO_INIT;
    return mPlayer->getDuration(msec);
}

int32_t VelmorPlayerBase::setLooping(int32_t loop) {
    if (mPlayer == nullptr) return NO_INIT;
    return mPlayer->setLooping(loop != 0);
}

int32_t VelmorPlayerBase::setPlaybackSetting(int32_t value) { INVOKE(18, int32_t(2), value); }
int32_t VelmorPlayerBase::setPlayingRate(double rate) { INVOKE(7, rate); }
int32_t VelmorPlayerBase::setBrightness(int32_t v) { INVOKE(19, v); }
int32_t VelmorPlayerBase::setSaturation(int32_t v) { INVOKE(20, v); }
int32_t VelmorPlayerBase::setContrast(int32_t v) { INVOKE(21, v); }
int32_t VelmorPlayerBase::setVolume(int32_t level, int32_t channelValue) { INVOKE(25, level, channelValue); }
int32_t VelmorPlayerBase::setAudioEnabled(int32_t flag) { INVOKE_OR_ZERO(17, flag); }

int32_t VelmorPlayerBase::getContentInfo(VelmorContentInfo* out) {
    if (out == nullptr) return BAD_VALUE;
    if (mPlayer == nullptr) return NO_INIT;
    Payload request, reply;
    buildRequest(request, 10);
    status_t err = mPlayer->invoke(request, &reply);
    if (err != OK) return err;
    reply.setDataPosition(0);
    const char* kind = reply.readCString();
    if (!kind) return BAD_VALUE;
    VelmorContentInfo info;
    info.kind = kind;
    if (reply.dataAvail() > 0) {
        auto i32 = [&reply](int32_t* v) { return reply.readInt32(v) == OK; };
        auto str = [&reply](std::string* s) {
            const char* c = reply.readCString();
            if (!c) return false;
            *s = c;
            return true;
        };
        bool ok = str(&info.title) && str(&info.snapshot) && str(&info.thumbnail) && str(&info.detail) &&
                  i32(&info.playAt) && i32(&info.duration) && i32(&info.autostart) && i32(&info.mute) &&
                  i32(&info.nscreenPopup) && i32(&info.isIntro) && i32(&info.isSeekable) && i32(&info.isSkipable) &&
                  str(&info.watermark) && i32(&info.width) && i32(&info.height) && i32(&info.bitrate) &&
                  i32(&info.brightness) && i32(&info.contrast) && i32(&info.saturation) && i32(&info.bookmarkKind) &&
                  i32(&info.isLive) && i32(&info.buffer) && reply.readInt64(&info.bufferSize) == OK &&
                  i32(&info.playsectionStart) && i32(&info.playsectionEnd) && i32(&info.uiProgressType) &&
                  i32(&info.uiJumpStep) && i32(&info.uiPlayrateSave) && i32(&info.uiPlayrateStep) &&
                  i32(&info.disablePlayrate) && i32(&info.seekableEnd) && i32(&info.bookmarkEnable) &&
                  i32(&info.thumbnailEnable) && i32(&info.maxPlayrate) && str(&info.captionStyle) &&
                  i32(&info.isAudioFile) && i32(&info.repeatStart) && i32(&info.repeatEnd) &&
                  i32(&info.nextEpisodeShowTime) && str(&info.nextEpisodeCallbackUrl) && str(&info.playbackRatesJson) &&
                  i32(&info.playbackRateDefault) && str(&info.watermarkMsg) && i32(&info.watermarkAlpha) &&
                  i32(&info.watermarkFontSize) && str(&info.watermarkFontColor) && i32(&info.watermarkShowTime) &&
                  i32(&info.watermarkHideTime) && i32(&info.watermarkType) && str(&info.fwatermark);
        if (!ok) return BAD_VALUE;
    }
    *out = info;
    return OK;
}

int32_t VelmorPlayerBase::loadBookmarks() { INVOKE(11); }

int32_t VelmorPlayerBase::getApiLevel() { return mPlayer != nullptr ? mApiLevel : 0; }

int32_t VelmorPlayerBase::getBookmarks(std::string* outJson) {
    if (outJson == nullptr) return BAD_VALUE;
    if (mPlayer == nullptr) return NO_INIT;
    Payload request, reply;
    buildRequest(request, 12);
    status_t err = mPlayer->invoke(request, &reply);
    if (err != OK) return err;
    reply.setDataPosition(0);
    int32_t present = 0;
    if (reply.readInt32(&present) != OK) return BAD_VALUE;
    if (!present) {
        outJson->clear();
        return OK;
    }
    const std::string agentJson = readString(reply);
    *outJson = bookmarkListJson(agentJson);
    return OK;
}

int32_t VelmorPlayerBase::addBookmark(int32_t msec, const char* title, const char* label) {
    INVOKE(13, int32_t(msec / 1000), title ? title : "", label ? label : "");
}

int32_t VelmorPlayerBase::deleteBookmark(int32_t msec, const char* label) {
    INVOKE(14, int32_t(msec / 1000), label ? label : "");
}

int32_t VelmorPlayerBase::setScaleMode(int32_t v) { INVOKE(22, v); }
int32_t VelmorPlayerBase::setAspectRatio(int32_t a, int32_t b) { INVOKE(23, a, b); }

int32_t VelmorPlayerBase::setViewOffset(int32_t a, int32_t b) {
    if (mPlayer == nullptr) return NO_INIT;
    Payload request;
    buildRequest(request, 24, a, b);
    mPlayer->invoke(request, nullptr);
    return 0;
}

const char* VelmorPlayerBase::getDeviceGuid() { return mDeviceGuid.c_str(); }

int32_t VelmorPlayerBase::selectTrack(int32_t index, bool select, bool flag) {
    INVOKE_OR_ZERO(select ? 4 : 5, index, flag);
}

int32_t VelmorPlayerBase::addSubtitleSource(const char* uri, bool secondary) { INVOKE_OR_ZERO(2, secondary, uri); }

int32_t VelmorPlayerBase::refreshVideo() {
    if (mPlayer == nullptr) return 0;
    mPlayer->refreshVideo();
    return 0;
}

bool VelmorPlayerBase::setSinkOption(int32_t v) { return mPlayer != nullptr && mPlayer->setSinkOption(v) == OK; }

int32_t VelmorPlayerBase::getSourceFlag() { return mPlayer != nullptr ? mPlayer->getSourceFlag() : 0; }

int32_t VelmorPlayerBase::reserved50(int32_t a) {
    if (mPlayer == nullptr) return NO_INIT;
    mPlayer->noop(a);
    return 0;
}

int32_t VelmorPlayerBase::getUserValue() { return mUserValue; }

IVelmorPlayerBase* VelmorPlayerBase::setUserValue(int32_t v) {
    mUserValue = v;
    return this;
}

int32_t VelmorPlayerBase::setVideoSinkParams(int32_t a, int32_t b) {
    mVideoSinkParam1 = a;
    mVideoSinkParam2 = b;
    if (mVideoSink) {
        mVideoSink->setMargins(a, b);
        return 0;
    }
    return b;
}

int32_t VelmorPlayerBase::enableVideoOnlyFallback() {
    if (mPlayer == nullptr) return NO_INIT;
    return mPlayer->enableVideoOnlyFallback();
}

int32_t VelmorPlayerBase::skipTo(int32_t index) { INVOKE(30, index); }

bool VelmorPlayerBase::hasNext(int32_t index) { return mPlayer != nullptr && mPlayer->hasNext(index); }

int32_t VelmorPlayerBase::setOption28(const char* text) { INVOKE(28, text); }
int32_t VelmorPlayerBase::agentCall31(int32_t v) { INVOKE(31, v); }
int32_t VelmorPlayerBase::agentCall32(int32_t v) { INVOKE(32, v); }
int32_t VelmorPlayerBase::agentCall33(int32_t a, int32_t b) { INVOKE(33, a, b); }

int32_t VelmorPlayerBase::setAudioEffect(int32_t enable, int32_t level) {
    if (mPlayer == nullptr) return NO_INIT;
    Payload request;
    buildRequest(request, 34, enable, level);
    mPlayer->invoke(request, nullptr);
    return 0;
}

void VelmorPlayerBase::setAudioSinkEffect(int32_t v) {
    if (mAudioSink) mAudioSink->setEffect(v);
}

int32_t VelmorPlayerBase::getVideoInfo(VelmorVideoInfo* out) {
    if (out == nullptr) return BAD_VALUE;
    if (mPlayer == nullptr) return 0;
    Payload request, reply;
    buildRequest(request, 35);
    status_t err = mPlayer->invoke(request, &reply);
    if (err != OK) return err;
    reply.setDataPosition(0);
    if (reply.dataAvail() == 0) return OK;
    VelmorVideoInfo info;
    info.text1 = readString(reply);
    reply.readInt32(&info.value1);
    reply.readInt32(&info.value2);
    info.text2 = readString(reply);
    reply.readInt32(&info.value3);
    reply.readInt32(&info.value4);
    *out = info;
    return OK;
}

int32_t VelmorPlayerBase::setTimeshiftOffset(int32_t msec) { INVOKE(36, msec); }

int32_t VelmorPlayerBase::getLivePrograms(std::vector<VelmorLiveProgram>* out) {
    if (out == nullptr) return BAD_VALUE;
    out->clear();
    if (mPlayer == nullptr) return 0;
    Payload request, reply;
    buildRequest(request, 37);
    status_t err = mPlayer->invoke(request, &reply);
    if (err != OK) return err;
    reply.setDataPosition(0);
    int32_t count = 0;
    if (reply.readInt32(&count) != OK) return OK;
    for (int32_t i = 0; i < count; ++i) {
        VelmorLiveProgram program;
        if (reply.readInt64(&program.timeUs) != OK) break;
        const char* title = reply.readCString();
        if (!title) break;
        program.title = title;
        out->push_back(program);
    }
    return OK;
}

int32_t VelmorPlayerBase::setLiveOption(const char* text) { INVOKE(38, text); }
int32_t VelmorPlayerBase::reportError(int32_t code) { INVOKE(39, code); }
int32_t VelmorPlayerBase::setLiveDisabled(int32_t flag) { INVOKE(40, flag); }

int32_t VelmorPlayerBase::getLiveDuration(int32_t* msec) {
    if (msec == nullptr) return BAD_VALUE;
    if (mPlayer == nullptr) return NO_INIT;
    return mPlayer->getLiveDuration(msec);
}

bool VelmorPlayerBase::isLiveSeekable() { return mPlayer != nullptr && mPlayer->isLiveSeekable(); }

int64_t VelmorPlayerBase::getAgentValue(std::string* out) {
    if (mPlayer == nullptr) return 0;
    Payload request, reply;
    buildRequest(request, 41);
    if (mPlayer->invoke(request, &reply) != OK) return 0;
    reply.setDataPosition(0);
    int64_t value = 0;
    if (reply.readInt64(&value) != OK) return 0;
    if (out) *out = readString(reply);
    return value;
}

}  // namespace velmor
