#include "agent/PlayerAgent.h"

#include <curl/curl.h>
#include <json/json.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "utils/Log.h"
#include "utils/UrlEncode.h"

#define LOG_TAG "VEL_PlayerAgent"

namespace velmor {

namespace {

constexpr const char* kUserAgentHeader = "User-Agent: VelmorPlayer Windows/- V3.VelmorPlayer/- 1.0.0.0/- vm-pc/-";
constexpr long kConnectTimeoutS = 10;
constexpr long kPostConnectTimeoutS = 5;
// A transfer slower than this many bytes per second for the low-speed time is given up.
constexpr long kLowSpeedBytesPerSecond = 1024;
constexpr long kLowSpeedTimeS = 10;
constexpr long kPostLowSpeedTimeS = 5;
constexpr long kHttpOk = 200;
// stop() waits this many times this long for queued state reports to go out.
constexpr int kStopDrainAttempts = 50;
constexpr useconds_t kStopDrainStepUs = 100000;
// Open's descriptor file is read in lines of at most this many characters.
constexpr size_t kDescriptorLineChars = 100;
// The largest descriptor file read (a play list of a few hundred items takes a few kB).
constexpr off_t kMaxDescriptorBytes = 1024 * 1024;
// Media-information codes.
constexpr int32_t kInfoNoContentInformation = -8614;
// Open answers whose items are still usable.
constexpr int32_t kOpenPartial1 = -1015;
constexpr int32_t kOpenPartial2 = -1016;

const char* statusName(int32_t code) {
    switch (code) {
        case PlayerAgent::kPlay: return "play";
        case PlayerAgent::kPause: return "pause";
        case PlayerAgent::kStop: return "stop";
        case PlayerAgent::kSeeking: return "seeking";
        case PlayerAgent::kSeeked: return "seeked";
        default: return "";
    }
}

bool hasPrefixIgnoreCase(const std::string& s, const char* prefix) {
    return strncasecmp(s.c_str(), prefix, strlen(prefix)) == 0;
}

// --- JSON readers. A key of the wrong type counts as absent: answers come from outside.

bool parseObject(const std::string& body, Json::Value* root) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    if (!reader->parse(body.data(), body.data() + body.size(), root, &errors)) return false;
    return root->isObject();
}

int32_t readInt(const Json::Value& object, const char* key, int32_t absent = 0) {
    const Json::Value& v = object[key];
    if (v.isInt()) return v.asInt();
    if (v.isBool()) return v.asBool() ? 1 : 0;
    return absent;
}

int64_t readInt64(const Json::Value& object, const char* key) {
    const Json::Value& v = object[key];
    return v.isInt64() ? v.asInt64() : 0;
}

bool readBool(const Json::Value& object, const char* key) {
    const Json::Value& v = object[key];
    if (v.isBool()) return v.asBool();
    if (v.isInt()) return v.asInt() != 0;
    return false;
}

std::string readString(const Json::Value& object, const char* key) {
    const Json::Value& v = object[key];
    return v.isString() ? v.asString() : std::string();
}

// An object member that is present and not empty, else null.
const Json::Value* nonEmptyObject(const Json::Value& object, const char* key) {
    const Json::Value& v = object[key];
    return v.isObject() && !v.empty() ? &v : nullptr;
}

// A subtitle address without "http" in it is relative to the agent: only its query is kept.
std::string subtitleUrl(std::string url) {
    if (url.find("http") != std::string::npos) return url;
    const size_t query = url.find('?');
    return query == std::string::npos ? url : url.substr(query);
}

void readSubtitles(const Json::Value& object, const char* key, std::vector<AgentSubtitle>* out) {
    out->clear();
    const Json::Value& list = object[key];
    if (!list.isArray()) return;
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        const Json::Value& entry = list[i];
        if (!entry.isObject()) continue;
        AgentSubtitle sub;
        sub.name = readString(entry, "name");
        sub.url = subtitleUrl(readString(entry, "url"));
        sub.language = readString(entry, "language");
        sub.isDefault = readBool(entry, "default");
        sub.vtt = readBool(entry, "vtt");
        out->push_back(std::move(sub));
    }
}

void readMediaInfo(const Json::Value& r, AgentItem* item) {
    AgentMediaInfo& i = item->info;
    i = AgentMediaInfo();
    i.title = readString(r, "title");
    i.snapshot = readString(r, "snapshot");
    i.thumbnail = readString(r, "thumbnail");
    i.detail = readString(r, "detail");
    i.playAt = readInt(r, "play_at");
    i.duration = readInt(r, "duration");
    i.autostart = readBool(r, "autostart");
    i.mute = readBool(r, "mute");
    i.nscreenPopup = readBool(r, "nscreen_popup");
    i.isIntro = readBool(r, "is_intro");
    i.isSeekable = readInt(r, "is_seekable");
    i.isSkipable = readInt(r, "is_skipable");
    i.watermark = readString(r, "watermark");
    i.width = readInt(r, "width");
    i.height = readInt(r, "height");
    i.bitrate = readInt(r, "bitrate");
    i.brightness = readInt(r, "brightness");
    i.contrast = readInt(r, "contrast");
    i.saturation = readInt(r, "saturation");
    i.bookmarkKind = readInt(r, "bookmark_kind");
    i.isLive = readInt(r, "is_live") != 0;
    i.buffer = readInt(r, "buffer");
    i.bufferSize = readInt64(r, "buffer_size");
    i.playsectionStart = readInt(r, "playsection_start");
    i.playsectionEnd = readInt(r, "playsection_end");
    i.uiProgressType = readInt(r, "ui_progresstype");
    i.uiJumpStep = readInt(r, "ui_jumpstep");
    i.uiPlayrateSave = readInt(r, "ui_playratesave");
    i.uiPlayrateStep = readInt(r, "ui_playratestep");
    i.disablePlayrate = readBool(r, "disable_playrate");
    i.seekableEnd = readInt(r, "seekable_end");
    i.bookmarkEnable = readBool(r, "bookmark_enable");
    i.thumbnailEnable = readBool(r, "thumbnail_enable");
    i.maxPlayrate = readInt(r, "max_playrate");
    i.captionStyle = readString(r, "caption_style");
    i.isAudioFile = readBool(r, "is_audio_file");
    if (const Json::Value* repeat = nonEmptyObject(r, "repeat_play_section")) {
        i.repeatStart = readInt(*repeat, "start_time");
        i.repeatEnd = readInt(*repeat, "end_time");
    }
    if (const Json::Value* next = nonEmptyObject(r, "next_episode")) {
        i.nextEpisodeShowTime = readInt(*next, "show_time");
        i.nextEpisodeCallbackUrl = readString(*next, "callback_url");
    }
    const Json::Value& rates = r["playbackRates"];
    if (rates.isArray()) {
        if (rates.size() > 0) {
            Json::StreamWriterBuilder writer;
            writer["indentation"] = "";
            i.playbackRatesJson = Json::writeString(writer, rates[0]);
        }
        if (rates.size() > 1 && rates[1].isInt()) i.playbackRateDefault = rates[1].asInt();
    }
    if (const Json::Value* mark = nonEmptyObject(r, "video_watermark")) {
        i.watermarkMsg = readString(*mark, "msg");
        i.watermarkAlpha = readInt(*mark, "alpha");
        i.watermarkFontSize = readInt(*mark, "font_size");
        i.watermarkFontColor = readString(*mark, "font_color");
        i.watermarkShowTime = readInt(*mark, "show_time");
        i.watermarkHideTime = readInt(*mark, "hide_time");
    }
    i.watermarkType = readInt(r, "type");
    i.fwatermark = readString(r, "fwatermark");
    readSubtitles(r, "subtitle", &item->subtitles);
    readSubtitles(r, "subtitle_sub", &item->subtitlesSub);
}

size_t appendBody(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

// libcurl's process-wide set-up, once, before the first handle.
void ensureCurl() {
    static const bool initialised = [] { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }();
    (void)initialised;
}

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

status_t ParseAgentOpenAnswer(const std::string& body, std::vector<AgentItem>* items, std::string* streamKind) {
    Json::Value root;
    if (!parseObject(body, &root)) return ERROR_MALFORMED;
    status_t result = OK;
    if (readInt(root, "error") == 1) result = readInt(root, "code");
    const int32_t type = readInt(root, "type");
    *streamKind = type == 2 ? "real" : type == 1 ? "download" : "stream";
    if (result != OK && result != kOpenPartial1 && result != kOpenPartial2) return result;
    items->clear();
    const Json::Value& list = root["items"];
    if (list.isArray()) {
        for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
            const Json::Value& entry = list[i];
            if (!entry.isObject()) continue;
            AgentItem item;
            item.index = readInt(entry, "index");
            item.mediaKey = readString(entry, "media_key");
            item.mediaUrl = readString(entry, "media_url");
            items->push_back(std::move(item));
        }
    }
    return OK;
}

status_t ParseAgentMediaInfoAnswer(const std::string& body, AgentItem* item) {
    Json::Value root;
    if (!parseObject(body, &root)) return ERROR_MALFORMED;
    const status_t code = readInt(root, "code");
    if (code == OK) {
        const Json::Value& result = root["result"];
        readMediaInfo(result.isObject() ? result : Json::Value(Json::objectValue), item);
        item->reportFlag = true;
    } else if (code == kInfoNoContentInformation) {
        item->reportFlag = true;
    }
    return code;
}

// --- Events ------------------------------------------------------------------------------------

// A queue event that calls one PlayerAgent operation with itself, so the operation can read the
// event's named values. The agent cancels and stops its queues before it goes away.
class PlayerAgent::AgentEvent : public TimerQueue::Event {
public:
    typedef void (PlayerAgent::*Method)(TimerQueue::Event* event);
    AgentEvent(const char* name, PlayerAgent* agent, Method method) : mName(name), mAgent(agent), mMethod(method) {}
    void fire(TimerQueue*, int64_t) override { (mAgent->*mMethod)(this); }
    const char* name() const { return mName; }

private:
    const char* mName;
    PlayerAgent* mAgent;
    Method mMethod;
};

// --- Life -----------------------------------------------------------------------------------

PlayerAgent::PlayerAgent() : mStatusQueue("AgentStatus"), mPositionQueue("AgentPosition") {
    ensureCurl();
    mCurrentEvent = new AgentEvent("CurrentEvent", this, &PlayerAgent::onCurrentEvent);
    mStatusQueue.start();
    mPositionQueue.start();
}

PlayerAgent::~PlayerAgent() {
    stop();
    mStatusQueue.stop(false);
    mPositionQueue.stop(false);
}

void PlayerAgent::stop() {
    if (mStopping.exchange(true)) return;
    {
        Mutex::Autolock _l(mLock);
        mPositionQueue.cancelEvent(mCurrentEventId);
        mCurrentEventId = 0;
    }
    // The state reports already queued (the last one is usually "stop") still go out.
    for (int i = 0; i < kStopDrainAttempts && mStatusQueue.size() > 0; ++i) usleep(kStopDrainStepUs);
    mStopped = true;
    mStatusQueue.stop(false);
    mPositionQueue.stop(false);
}

// --- Requests ---------------------------------------------------------------------------------

int PlayerAgent::onTransferProgress(void* self, long long, long long, long long, long long) {
    return static_cast<PlayerAgent*>(self)->mStopped.load() ? 1 : 0;
}

status_t PlayerAgent::perform(const std::string& url, const std::string* postBody, std::string* body) {
    body->clear();
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) return kTransportFailure;
    std::unique_ptr<curl_slist, SlistDeleter> headers;
    curl_slist* list = curl_slist_append(nullptr, "Accept:");
    list = curl_slist_append(list, "Expect:");
    list = curl_slist_append(list, kUserAgentHeader);
    if (postBody != nullptr) list = curl_slist_append(list, "Cache-Control: no-cache, no-store, must-revalidate");
    headers.reset(list);
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    if (hasPrefixIgnoreCase(url, "https")) {
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &appendBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, body);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, postBody ? kPostConnectTimeoutS : kConnectTimeoutS);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytesPerSecond);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, postBody ? kPostLowSpeedTimeS : kLowSpeedTimeS);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    // A client that is let go mid-request gives up at once.
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &PlayerAgent::onTransferProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    if (postBody != nullptr) {
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, postBody->c_str());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(postBody->size()));
    }
    if (curl_easy_perform(c) != CURLE_OK) return kTransportFailure;
    long code = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
    return code == kHttpOk ? OK : static_cast<status_t>(code);
}

status_t PlayerAgent::httpGet(const std::string& url, std::string* body) {
    body->clear();
    if (mStopped) return OK;
    return perform(url, nullptr, body);
}

int32_t PlayerAgent::postCallback(const std::string& url, const std::string& body, std::string* nextUrl) {
    if (nextUrl) nextUrl->clear();
    if (mStopping) return 0;
    std::string answer;
    const status_t err = perform(url, &body, &answer);
    if (err != OK) return -err;
    Json::Value root;
    if (parseObject(answer, &root)) {
        const int32_t result = readInt(root, "result", 1);
        if (nextUrl) *nextUrl = readString(root, "next_url");
        if (result != 1) return result;
    }
    return 1;
}

status_t PlayerAgent::Open(const std::string& address, const std::string& path) {
    if (address.empty() || path.empty()) return INVALID_OPERATION;
    if (mStopping) return OK;
    {
        Mutex::Autolock _l(mLock);
        mAddress = address;
        mContentPath = path;
    }
    mPositionRetries = kPositionRetryBudget;
    std::string answer;
    const bool remote = hasPrefixIgnoreCase(path, "http://") || hasPrefixIgnoreCase(path, "https://");
    // A descriptor file stands in for the agent: an absolute path here, a drive path where the
    // content paths are Windows paths.
    const bool descriptor = !remote && (path[0] == '/' || (path.size() > 2 && path[1] == ':'));
    if (descriptor) {
        VLOGI("### Agent Open %s", path.c_str());
        // Only a regular file of a sensible size: a FIFO would block the host's thread in the
        // open, a device like /dev/zero would never end.
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct stat st;
        const bool regular = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxDescriptorBytes;
        FILE* f = regular ? fdopen(fd, "r") : nullptr;
        if (f == nullptr) {
            VLOGE("### Agent Open fail %s", path.c_str());
            if (fd >= 0) close(fd);
            return ERROR_IO;
        }
        char line[kDescriptorLineChars + 1];
        while (answer.size() <= static_cast<size_t>(kMaxDescriptorBytes) && fgets(line, sizeof(line), f) != nullptr) {
            answer.append(line);
        }
        fclose(f);
    } else {
        const std::string url = "http://" + address + "/stream/open?path=" + UrlEncode(path);
        VLOGI("PlayerAgent::Open %s", url.c_str());
        const status_t err = httpGet(url, &answer);
        if (err != OK) return err;
    }
    VLOGI("PlayerAgent::Open response %d", static_cast<int>(answer.size()));
    std::vector<AgentItem> items;
    std::string kind;
    const status_t result = ParseAgentOpenAnswer(answer, &items, &kind);
    Mutex::Autolock _l(mLock);
    mCurrentIndex = -1;
    mItems.clear();
    if (result == OK) {
        mItems = std::move(items);
        mStreamKind = kind;
    } else if (result != ERROR_MALFORMED) {
        mStreamKind = kind;
    }
    return result;
}

std::string PlayerAgent::getPlayUrl(int32_t position) {
    std::string url, mediaUrl;
    bool real;
    {
        Mutex::Autolock _l(mLock);
        if (position < 0 || position >= static_cast<int32_t>(mItems.size())) return std::string();
        if (position != mCurrentIndex) {
            mItemCurrent = 0;
            mItemDuration = 0;
        }
        mCurrentIndex = position;
        const AgentItem& item = mItems[static_cast<size_t>(position)];
        url = "http://" + mAddress + "/" + segment_l() + "/play?index=" + std::to_string(item.index) +
              "&media_key=" + UrlEncode(item.mediaKey);
        mediaUrl = item.mediaUrl;
        real = mStreamKind == "real";
    }
    // The agent serves the media at the play address itself, except for "real" streams, whose
    // address the play request only announces.
    if (!real) return url;
    std::string answer;
    httpGet(url, &answer);
    VLOGI("response %s", answer.c_str());
    return mediaUrl;
}

bool PlayerAgent::itemRequestBase_l(std::string* base, std::string* itemQuery) const {
    mLock.assertHeld();
    if (!validIndex_l()) return false;
    const AgentItem& item = mItems[static_cast<size_t>(mCurrentIndex)];
    *base = "http://" + mAddress + "/" + segment_l();
    *itemQuery = "media_key=" + UrlEncode(item.mediaKey) + "&index=" + std::to_string(item.index);
    return true;
}

// --- State and position reports -----------------------------------------------------------

void PlayerAgent::setStatus(int32_t code, int32_t current) {
    if (mStopping) return;
    if (current >= 0 && !mSendError) mItemCurrent = current;
    Ref<AgentEvent> event = new AgentEvent("StautsEvent", this, &PlayerAgent::onStatusEvent);
    event->setString("status", statusName(code));
    {
        Mutex::Autolock _l(mLock);
        mStatus = code;
    }
    mStatusQueue.postEvent(event);
}

void PlayerAgent::onStatusEvent(TimerQueue::Event* event) {
    std::string status;
    event->findString("status", &status);
    std::string base, query;
    {
        Mutex::Autolock _l(mLock);
        if (!itemRequestBase_l(&base, &query)) return;
    }
    const std::string url = base + "/state?" + query + "&set=" + status + "&current=" + std::to_string(mItemCurrent.load());
    VLOGI("PlayerAgent::onStatusEvent %s", url.c_str());
    std::string answer;
    httpGet(url, &answer);
}

void PlayerAgent::setCurrent(int32_t current) {
    if (!mSendError) mItemCurrent = current;
}

void PlayerAgent::setDuration(int32_t duration) {
    if (!mSendError) mItemDuration = duration;
}

void PlayerAgent::setVolume(int32_t volume) {
    Mutex::Autolock _l(mLock);
    mVolume = volume;
}

void PlayerAgent::setPlaybackRate(int32_t tenths) {
    Mutex::Autolock _l(mLock);
    mPlaybackRate = tenths;
}

void PlayerAgent::setMute(bool mute) {
    Mutex::Autolock _l(mLock);
    mMute = mute;
}

void PlayerAgent::postPositionEvent(int64_t delayUs) {
    Mutex::Autolock _l(mLock);
    if (mStopping) return;
    mPositionQueue.cancelEvent(mCurrentEventId);
    mCurrentEventId = mPositionQueue.postEventWithDelay(mCurrentEvent, delayUs);
}

void PlayerAgent::onCurrentEvent(TimerQueue::Event*) {
    std::string base, query;
    int32_t volume, rate;
    bool report;
    {
        Mutex::Autolock _l(mLock);
        mCurrentEventId = 0;
        report = validIndex_l() && mStatus != kSeeking && !mSendError &&
                 mItems[static_cast<size_t>(mCurrentIndex)].reportFlag && itemRequestBase_l(&base, &query);
        if (!report) {
            VLOGI("PlayerAgent::onCurrentEvent mIdx(%d), status(%d), mSendError(%d)", mCurrentIndex, mStatus,
                  mSendError ? 1 : 0);
        }
        // Muted and silent both report 0.
        volume = mMute || mVolume == 0 ? 0 : mVolume;
        rate = mPlaybackRate;
    }
    if (report) {
        const std::string url = base + "/position?" + query + "&current=" + std::to_string(mItemCurrent.load()) +
                                "&duration=" + std::to_string(mItemDuration.load()) + "&volume=" +
                                std::to_string(volume) + "&playback=" + std::to_string(rate);
        std::string answer;
        const status_t err = httpGet(url, &answer);
        Json::Value root;
        if (err == OK) {
            mPositionRetries = kPositionRetryBudget;
            if (parseObject(answer, &root) && readInt(root, "error") == 1) {
                Mutex::Autolock _l(mLock);
                mAgentErrorCode = readInt(root, "code");
                mAgentErrorMessage = readString(root, "msg");
            }
        } else if (mPositionRetries > 0) {
            --mPositionRetries;
        } else {
            Mutex::Autolock _l(mLock);
            mAgentErrorCode = err;
        }
    }
    postPositionEvent(kPositionIntervalUs);
}

// --- Media information, bookmarks, thumbnail ------------------------------------------------

status_t PlayerAgent::GetMediaInfo() {
    VLOGI("CancelEvent before");
    std::string base, query;
    {
        Mutex::Autolock _l(mLock);
        mPositionQueue.cancelEvent(mCurrentEventId);
        mCurrentEventId = 0;
        VLOGI("CancelEvent after");
        if (!itemRequestBase_l(&base, &query)) return INVALID_OPERATION;
    }
    const std::string url = base + "/info?" + query;
    VLOGI("PlayerAgent::GetMediaInfo %s", url.c_str());
    std::string answer;
    const status_t err = httpGet(url, &answer);
    if (err != OK) return err;
    AgentItem parsed;
    const status_t code = ParseAgentMediaInfoAnswer(answer, &parsed);
    {
        Mutex::Autolock _l(mLock);
        if (!validIndex_l()) return code;
        AgentItem& item = mItems[static_cast<size_t>(mCurrentIndex)];
        if (code == OK) {
            item.info = std::move(parsed.info);
            item.subtitles = std::move(parsed.subtitles);
            item.subtitlesSub = std::move(parsed.subtitlesSub);
        }
        if (parsed.reportFlag) item.reportFlag = true;
    }
    if (parsed.reportFlag) postPositionEvent(kPositionIntervalUs);
    return code;
}

std::string PlayerAgent::bookmarkUrl(const char* action, const char* logFormat) const {
    Mutex::Autolock _l(mLock);
    if (!validIndex_l() || mStreamKind == "real") return std::string();
    const AgentItem& item = mItems[static_cast<size_t>(mCurrentIndex)];
    const std::string url = "http://" + mAddress + "/bookmark/" + action + "?media_key=" + UrlEncode(item.mediaKey) +
                            "&index=" + std::to_string(item.index);
    VLOGI(logFormat, url.c_str());
    return url;
}

std::string PlayerAgent::GetBookmarkRead() { return bookmarkUrl("list", "PlayerAgent::GetBookmarkRead %s"); }
std::string PlayerAgent::GetBookmarkDelete() { return bookmarkUrl("delete", "PlayerAgent::GetBookmarkDelete %s"); }
std::string PlayerAgent::GetBookmarkRegister() { return bookmarkUrl("create", "PlayerAgent::GetBookmarkRegister %s"); }

std::string PlayerAgent::GetThumbnail() {
    std::string base, query;
    {
        Mutex::Autolock _l(mLock);
        if (!itemRequestBase_l(&base, &query)) return std::string();
        const AgentItem& item = mItems[static_cast<size_t>(mCurrentIndex)];
        if (!item.info.thumbnail.empty()) return item.info.thumbnail;
    }
    const std::string url = base + "/info?" + query;
    VLOGI("PlayerAgent::GetThumbnail %s", url.c_str());
    std::string answer;
    if (httpGet(url, &answer) != OK) return std::string();
    Json::Value root;
    if (!parseObject(answer, &root) || readInt(root, "code") != OK) return std::string();
    const Json::Value& result = root["result"];
    if (!result.isObject()) return std::string();
    std::string thumbnail = readString(result, "thumbnail");
    Mutex::Autolock _l(mLock);
    if (validIndex_l() && !thumbnail.empty()) mItems[static_cast<size_t>(mCurrentIndex)].info.thumbnail = thumbnail;
    return thumbnail;
}

status_t PlayerAgent::GetLastPlayError() {
    std::string url;
    {
        Mutex::Autolock _l(mLock);
        if (!validIndex_l()) return INVALID_OPERATION;
        url = "http://" + mAddress + "/lastplayerror";
    }
    std::string answer;
    const status_t err = httpGet(url, &answer);
    VLOGI("response %s", answer.c_str());
    Json::Value root;
    if (err == OK && parseObject(answer, &root) && readInt(root, "error") != 0) {
        Mutex::Autolock _l(mLock);
        mAgentErrorCode = readInt(root, "code");
        mAgentErrorMessage = readString(root, "msg");
    }
    return err;
}

// --- Settings and error reports -----------------------------------------------------------

void PlayerAgent::sendSetting(const char* logFormat, const std::string& query) {
    std::string url;
    {
        Mutex::Autolock _l(mLock);
        if (!validIndex_l()) return;
        url = "http://" + mAddress + "/dir/set?" + query;
    }
    sendReport(logFormat, url);
}

void PlayerAgent::sendReport(const char* logFormat, const std::string& url) {
    VLOGI(logFormat, url.c_str());
    std::string answer;
    httpGet(url, &answer);
}

void PlayerAgent::sendProgressType(int32_t type) {
    sendSetting("PlayerAgent::sendProgressType %s", "progress=" + std::to_string(type));
}

void PlayerAgent::sendJumpStep(int32_t step) {
    sendSetting("PlayerAgent::sendJumpStep %s", "jumpstep=" + std::to_string(step));
}

void PlayerAgent::sendPlayrateSave(int32_t save, int32_t step) {
    sendSetting("PlayerAgent::sendPlayrateSave %s",
                "playratesave=" + std::to_string(save) + "&playratestep=" + std::to_string(step));
}

void PlayerAgent::sendError(int32_t code) {
    std::string base, query;
    {
        Mutex::Autolock _l(mLock);
        if (!itemRequestBase_l(&base, &query)) return;
    }
    // The session failed: position reports and item updates stop here.
    mSendError = true;
    sendReport("PlayerAgent::sendError %s", base + "/error?" + query + "&error=" + std::to_string(code));
}

// --- Accessors ---------------------------------------------------------------------------------

std::string PlayerAgent::streamKind() const {
    Mutex::Autolock _l(mLock);
    return mStreamKind;
}

int32_t PlayerAgent::currentIndex() const {
    Mutex::Autolock _l(mLock);
    return mCurrentIndex;
}

void PlayerAgent::setCurrentIndex(int32_t index) {
    Mutex::Autolock _l(mLock);
    if (index >= 0 && index < static_cast<int32_t>(mItems.size())) mCurrentIndex = index;
}

int32_t PlayerAgent::itemCount() const {
    Mutex::Autolock _l(mLock);
    return static_cast<int32_t>(mItems.size());
}

bool PlayerAgent::currentItem(AgentItem* out) const {
    Mutex::Autolock _l(mLock);
    if (!validIndex_l()) return false;
    *out = mItems[static_cast<size_t>(mCurrentIndex)];
    return true;
}

int32_t PlayerAgent::agentErrorCode() const {
    Mutex::Autolock _l(mLock);
    return mAgentErrorCode;
}

std::string PlayerAgent::agentErrorMessage() const {
    Mutex::Autolock _l(mLock);
    return mAgentErrorMessage;
}

}  // namespace velmor
