// The engine's client of the player agent: a local HTTP/JSON service that resolves a content
// path into playable items, serves or names their media, keeps bookmarks and receives the
// player's state, position and error reports.
//
// Every exchange is an HTTP GET (one POST) through libcurl with a JSON answer read by jsoncpp.
// The address given to Open ("127.0.0.1:8600") fills the host slot of every request; the
// segment after it is "real" when the agent said the content is a "real" stream and "misc"
// otherwise.
//
// Threads:
//  - callers (player interface, engine main queue): every public operation; requests made by
//    an operation run on the caller's thread.
//  - "AgentStatus" queue: the state reports posted by setStatus (onStatusEvent).
//  - "AgentPosition" queue: the position report every 0.5 s once GetMediaInfo succeeded
//    (onCurrentEvent).
// Locks: mLock guards the items, the indexes, the stream kind, the agent error and the stored
// volume/rate/mute. It is never held across a request: an operation copies what it needs,
// releases the lock, sends, and re-takes it to store the answer. The engine-fed position and
// duration of each item are atomics read by the reporters without the lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/TimerQueue.h"
#include "utils/Errors.h"
#include "utils/Mutex.h"
#include "utils/RefCounted.h"

namespace velmor {

struct AgentSubtitle {
    std::string name;
    std::string url;  // after the subtitle-URL rule (see GetMediaInfo)
    std::string language;
    bool isDefault = false;
    bool vtt = false;
};

// The `result` object of the media-information answer. An absent key leaves the value below.
struct AgentMediaInfo {
    std::string title, snapshot, thumbnail, detail;
    int32_t playAt = 0, duration = 0;
    bool autostart = false, mute = false, nscreenPopup = false, isIntro = false;
    int32_t isSeekable = 0, isSkipable = 0;
    std::string watermark;
    int32_t width = 0, height = 0, bitrate = 0;
    int32_t brightness = 0, contrast = 0, saturation = 0;
    int32_t bookmarkKind = 0;
    bool isLive = false;
    int32_t buffer = 0;
    int64_t bufferSize = 0;
    int32_t playsectionStart = 0, playsectionEnd = 0;
    int32_t uiProgressType = 0, uiJumpStep = 0, uiPlayrateSave = 0, uiPlayrateStep = 0;
    bool disablePlayrate = false;
    int32_t seekableEnd = 0;
    bool bookmarkEnable = false, thumbnailEnable = false;
    int32_t maxPlayrate = 0;
    std::string captionStyle;
    bool isAudioFile = false;
    int32_t repeatStart = -1, repeatEnd = -1;        // repeat_play_section
    int32_t nextEpisodeShowTime = 0;                 // next_episode
    std::string nextEpisodeCallbackUrl;
    std::string playbackRatesJson;                   // playbackRates[0], compact JSON
    int32_t playbackRateDefault = 0;                 // playbackRates[1]
    std::string watermarkMsg;                        // video_watermark
    int32_t watermarkAlpha = 0, watermarkFontSize = 0;
    std::string watermarkFontColor;
    int32_t watermarkShowTime = 0, watermarkHideTime = 0;
    int32_t watermarkType = 0;                       // type
    std::string fwatermark;
};

struct AgentItem {
    // From the open answer.
    int32_t index = 0;
    std::string mediaKey;
    std::string mediaUrl;
    // From GetMediaInfo.
    AgentMediaInfo info;
    // Set by a successful GetMediaInfo (code 0 or -8614): position reports go out.
    bool reportFlag = false;
    std::vector<AgentSubtitle> subtitles;     // "subtitle"
    std::vector<AgentSubtitle> subtitlesSub;  // "subtitle_sub"
};

// Reads the open answer (a JSON text). On success fills items and the stream kind ("real",
// "download" or "stream") and returns 0; an `error` 1 answer returns its `code`, except -1015
// and -1016 which still yield the items and 0. A text that is not a JSON object, or keys of the
// wrong type, give ERROR_MALFORMED. Exposed for the fuzz target and the tests.
status_t ParseAgentOpenAnswer(const std::string& body, std::vector<AgentItem>* items, std::string* streamKind);

// Reads the media-information answer into `item` when its code is 0 (the report flag is set by
// codes 0 and -8614). Returns the answer's `code`, or ERROR_MALFORMED for a text that is not a
// JSON object.
status_t ParseAgentMediaInfoAnswer(const std::string& body, AgentItem* item);

class PlayerAgent {
public:
    enum Status : int32_t { kPlay = 0, kPause = 1, kStop = 2, kSeeking = 3, kSeeked = 4 };
    // Status of an exchange that never got an HTTP answer.
    static constexpr status_t kTransportFailure = -404;
    static constexpr int64_t kPositionIntervalUs = 500000;
    static constexpr int32_t kPositionRetryBudget = 5;

    // Starts the two report queues.
    PlayerAgent();
    // Stops (as stop()) and joins the queues.
    ~PlayerAgent();

    // address: "HOST:PORT" of the agent; path: the content path, or an absolute path of a local
    // descriptor file whose text is used as the open answer. INVALID_OPERATION when either is
    // empty; -404 on a transport failure; the HTTP status for a non-200 answer; the answer's
    // code for an error answer.
    status_t Open(const std::string& address, const std::string& path);

    // Makes item `position` current and returns its play URL ("" for an invalid position).
    std::string getPlayUrl(int32_t position);

    // Posts a state report (code: Status) on the status queue; current ≥ 0 is stored as the
    // item's position first.
    void setStatus(int32_t code, int32_t current);
    // Engine-fed values reported by the position reports (units as the engine passes them).
    void setCurrent(int32_t current);
    void setDuration(int32_t duration);
    void setVolume(int32_t volume);
    void setPlaybackRate(int32_t tenths);
    void setMute(bool mute);

    // Fetches the current item's media information; starts the position reports on code 0 or
    // -8614. Returns the answer's code or the request status.
    status_t GetMediaInfo();

    std::string GetBookmarkRead();
    std::string GetBookmarkDelete();
    std::string GetBookmarkRegister();
    std::string GetThumbnail();
    status_t GetLastPlayError();

    void sendProgressType(int32_t type);
    void sendJumpStep(int32_t step);
    void sendPlayrateSave(int32_t save, int32_t step);
    void sendError(int32_t code);

    // POSTs `body` to `url`. Returns 1 on HTTP 200 (or the answer's `result` when it is not
    // 1), else the negated status; `nextUrl` receives the answer's `next_url`.
    int32_t postCallback(const std::string& url, const std::string& body, std::string* nextUrl);

    // Once: no request is sent after it; waits up to 5 s for queued state reports to go out.
    void stop();

    // --- Read by the engine and the player interface.
    std::string streamKind() const;
    int32_t currentIndex() const;
    void setCurrentIndex(int32_t index);  // play-list skipping
    int32_t itemCount() const;
    // Copy of the current item; false when there is none.
    bool currentItem(AgentItem* out) const;
    int32_t agentErrorCode() const;
    std::string agentErrorMessage() const;
    bool isStopped() const { return mStopping.load(); }

private:
    class AgentEvent;

    // GET with the agent's headers and time-outs; 0 and the body on HTTP 200, the HTTP status
    // otherwise, kTransportFailure without an answer. Nothing is sent once the client stops.
    status_t httpGet(const std::string& url, std::string* body);
    // The libcurl exchange behind httpGet and postCallback.
    status_t perform(const std::string& url, const std::string* postBody, std::string* body);
    void onStatusEvent(TimerQueue::Event* event);
    void onCurrentEvent(TimerQueue::Event* event);
    void postPositionEvent(int64_t delayUs);
    // "http://ADDRESS/SEGMENT" for the current item and its query head
    // "media_key=KEY&index=N"; false without a valid current item. mLock held.
    bool itemRequestBase_l(std::string* base, std::string* itemQuery) const;
    bool validIndex_l() const { return mCurrentIndex >= 0 && mCurrentIndex < static_cast<int32_t>(mItems.size()); }
    std::string segment_l() const { return mStreamKind == "real" ? "real" : "misc"; }
    // Sends a one-off report (settings, errors) for the current item; the answer is ignored.
    void sendReport(const char* logFormat, const std::string& url);
    // "/dir/set?QUERY" when there is a current item.
    void sendSetting(const char* logFormat, const std::string& query);
    // The current item's "/bookmark/ACTION" address; empty without an item or for "real" streams.
    std::string bookmarkUrl(const char* action, const char* logFormat) const;
    static int onTransferProgress(void* self, long long, long long, long long, long long);

    mutable Mutex mLock;
    int32_t mStatus = kStop;                          // mLock
    int32_t mAgentErrorCode = 0;                      // mLock
    std::string mAgentErrorMessage;                   // mLock
    std::string mAddress;                             // mLock
    std::string mContentPath;                         // mLock
    std::vector<AgentItem> mItems;                    // mLock
    int32_t mCurrentIndex = -1;                       // mLock
    std::string mStreamKind;                          // mLock
    int32_t mVolume = 50;                             // mLock
    int32_t mPlaybackRate = 10;                       // mLock (tenths)
    bool mMute = false;                               // mLock
    // stop() began: no new requests, no new reports; queued state reports still go out.
    std::atomic<bool> mStopping{false};
    // stop() finished draining: nothing at all is sent, transfers in flight are aborted.
    std::atomic<bool> mStopped{false};
    std::atomic<bool> mSendError{false};
    std::atomic<int32_t> mItemCurrent{0};             // the current item's position, fed by the engine
    std::atomic<int32_t> mItemDuration{0};            // the current item's duration, fed by the engine
    int32_t mPositionRetries = kPositionRetryBudget;  // position queue thread only
    TimerQueue mStatusQueue;
    TimerQueue mPositionQueue;
    Ref<TimerQueue::Event> mCurrentEvent;             // "CurrentEvent"; its id under mLock
    int32_t mCurrentEventId = 0;                      // mLock

    PlayerAgent(const PlayerAgent&) = delete;
    PlayerAgent& operator=(const PlayerAgent&) = delete;
};

}  // namespace velmor
