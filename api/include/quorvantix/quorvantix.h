// Quorvantix media playback engine: the interface a host application uses.
//
// The host loads libquorvantix.so, calls CreatePlayer() to get an IVelmorPlayerBase, drives it
// through the operations below and releases it with DestroyPlayer(). Notifications arrive on a
// thread of the engine's own through the callback given to setListener(), never on the thread
// that called into the interface. The operations are declared in the order of their slots in
// the virtual table; hosts bind to that order.
#ifndef QUORVANTIX_QUORVANTIX_H
#define QUORVANTIX_QUORVANTIX_H

#include <cstdint>
#include <string>
#include <vector>

// The value createAudioSink() takes to play through the system's default ALSA device.
#define QV_AUDIO_SINK_DEFAULT 0
// The value createAudioSink() takes for the clock-paced null audio sink (headless hosts, benchmarks).
#define QV_AUDIO_SINK_NULL (-1)
// createVideoSink() kinds: 1 is the OpenGL sink, any other value the X11 software sink.
#define QV_VIDEO_SINK_OPENGL 1
#define QV_VIDEO_SINK_SOFTWARE 0

// Notification codes (msg), informational (ext1 of MEDIA_INFO) and error (ext1 of MEDIA_ERROR) sub-codes.
enum {
    QV_MEDIA_NOP = 0,
    QV_MEDIA_PREPARED = 1,
    QV_MEDIA_PLAYBACK_COMPLETE = 2,
    QV_MEDIA_BUFFERING_UPDATE = 3,
    QV_MEDIA_SEEK_COMPLETE = 4,
    QV_MEDIA_SET_VIDEO_SIZE = 5,
    QV_MEDIA_INFO_TIMED_TEXT_DETECTED = 6,
    QV_MEDIA_STARTED = 7,
    QV_MEDIA_PAUSED = 8,
    QV_MEDIA_STOPPED = 9,
    QV_MEDIA_SKIPPED = 10,
    QV_MEDIA_TIMED_TEXT = 99,
    QV_MEDIA_ERROR = 100,
    QV_MEDIA_INFO = 200,
};

// The host callback: (user data, msg, ext1, ext2, subtitle text or null). The text pointer is
// valid only during the call.
typedef void (*VelmorNotifyCallback)(void* userData, int32_t msg, int32_t ext1, int32_t ext2, const char* text);

// The X11 Window id of the host's window.
typedef unsigned long VelmorWindow;

// Content information of the item being played (operation 33), in the order the engine sends it.
struct VelmorContentInfo {
    std::string kind;
    std::string title, snapshot, thumbnail, detail;
    int32_t playAt = 0, duration = 0;
    int32_t autostart = 0, mute = 0, nscreenPopup = 0, isIntro = 0;
    int32_t isSeekable = 0, isSkipable = 0;
    std::string watermark;
    int32_t width = 0, height = 0, bitrate = 0;
    int32_t brightness = 0, contrast = 0, saturation = 0;
    int32_t bookmarkKind = 0, isLive = 0, buffer = 0;
    int64_t bufferSize = 0;
    int32_t playsectionStart = 0, playsectionEnd = 0;
    int32_t uiProgressType = 0, uiJumpStep = 0, uiPlayrateSave = 0, uiPlayrateStep = 0;
    int32_t disablePlayrate = 0, seekableEnd = 0, bookmarkEnable = 0, thumbnailEnable = 0, maxPlayrate = 0;
    std::string captionStyle;
    int32_t isAudioFile = 0;
    int32_t repeatStart = -1, repeatEnd = -1;
    int32_t nextEpisodeShowTime = 0;
    std::string nextEpisodeCallbackUrl;
    std::string playbackRatesJson;
    int32_t playbackRateDefault = 0;
    std::string watermarkMsg;
    int32_t watermarkAlpha = 0, watermarkFontSize = 0;
    std::string watermarkFontColor;
    int32_t watermarkShowTime = 0, watermarkHideTime = 0, watermarkType = 0;
    std::string fwatermark;
};

// Video information (operation 65): a text, two values, a text, two values.
struct VelmorVideoInfo {
    std::string text1;
    int32_t value1 = 0, value2 = 0;
    std::string text2;
    int32_t value3 = 0, value4 = 0;
};

// One entry of a live programme list (operation 67).
struct VelmorLiveProgram {
    int64_t timeUs = 0;
    std::string title;
};

class IVelmorPlayerBase {
public:
    /*  0 */ virtual int32_t setListener(VelmorNotifyCallback callback, void* userData) = 0;
    /*  1 */ virtual int32_t setVideoArea(int32_t a, int32_t b) = 0;
    /*  2 */ virtual int32_t setVideoSurface(int32_t a, int32_t b, int32_t c) = 0;
    /*  3 */ virtual int32_t setDataSourceFd(int32_t fd) = 0;
    // Without `extra`, `url` is the address to play (a path, file://, http(s)://, rtmp://, rtsp://).
    // With `extra` it is an agent session: `extra` is the player agent's address as "HOST:PORT"
    // (for example "127.0.0.1:8600") and `url` the content path the agent resolves; the engine
    // plays the agent's play URL for the first item (progressive "stream"/"download" items through
    // its own HTTP cache, "real" streams through FFmpeg) and reports state and position to the
    // agent while it plays. Returns the agent's status when it cannot resolve the content
    // (-404 when the agent cannot be reached, the HTTP status of a failed answer, the agent's
    // error code).
    /*  4 */ virtual int32_t setDataSource(const char* url, const char* extra) = 0;
    /*  5 */ virtual int32_t createVideoSink(VelmorWindow window, int32_t ignored, int32_t width, int32_t height, int32_t kind) = 0;
    /*  6 */ virtual int32_t createAudioSink(intptr_t deviceOrWindow) = 0;
    /*  7 */ virtual int32_t reserved7(int32_t a, int32_t b, int32_t c, int32_t d) = 0;
    /*  8 */ virtual int32_t setOsInfo(const char* os, const char* version) = 0;
    /*  9 */ virtual int32_t reserved9(int32_t a) = 0;
    /* 10 */ virtual int32_t reserved10() = 0;
    /* 11 */ virtual int32_t reserved11() = 0;
    /* 12 */ virtual int32_t prepareAsync() = 0;
    /* 13 */ virtual int32_t start() = 0;
    /* 14 */ virtual int32_t stop() = 0;
    /* 15 */ virtual int32_t seekTo(int32_t msec) = 0;
    /* 16 */ virtual int32_t seekToExact(int32_t msec) = 0;
    /* 17 */ virtual int32_t getVideoWidth(int32_t* out) = 0;
    /* 18 */ virtual int32_t getVideoHeight(int32_t* out) = 0;
    /* 19 */ virtual int32_t getPlayerState(int32_t* out) = 0;
    /* 20 */ virtual int32_t getErrorText(const wchar_t* language, int32_t code, wchar_t* out) = 0;
    /* 21 */ virtual int32_t pause() = 0;
    /* 22 */ virtual bool isPlaying() = 0;
    /* 23 */ virtual int32_t getCurrentPosition(int32_t* msec) = 0;
    /* 24 */ virtual int32_t getDuration(int32_t* msec) = 0;
    /* 25 */ virtual int32_t setLooping(int32_t loop) = 0;
    /* 26 */ virtual int32_t setPlaybackSetting(int32_t value) = 0;
    /* 27 */ virtual int32_t setPlayingRate(double rate) = 0;
    /* 28 */ virtual int32_t setBrightness(int32_t v) = 0;
    /* 29 */ virtual int32_t setSaturation(int32_t v) = 0;
    /* 30 */ virtual int32_t setContrast(int32_t v) = 0;
    /* 31 */ virtual int32_t setVolume(int32_t level, int32_t channelValue) = 0;
    /* 32 */ virtual int32_t setAudioEnabled(int32_t flag) = 0;
    /* 33 */ virtual int32_t getContentInfo(VelmorContentInfo* out) = 0;
    /* 34 */ virtual int32_t loadBookmarks() = 0;
    /* 35 */ virtual int32_t getApiLevel() = 0;
    /* 36 */ virtual int32_t getBookmarks(std::string* outJson) = 0;
    /* 37 */ virtual int32_t addBookmark(int32_t msec, const char* title, const char* label) = 0;
    /* 38 */ virtual int32_t reserved38(int32_t a) = 0;
    /* 39 */ virtual int32_t deleteBookmark(int32_t msec, const char* label) = 0;
    /* 40 */ virtual int32_t setScaleMode(int32_t v) = 0;
    /* 41 */ virtual int32_t setAspectRatio(int32_t a, int32_t b) = 0;
    /* 42 */ virtual int32_t setViewOffset(int32_t a, int32_t b) = 0;
    /* 43 */ virtual const char* getDeviceGuid() = 0;
    // Selects (select true) or deselects a track: an audio track of the media, or a subtitle
    // file added with addSubtitleSource (flag true: the secondary subtitle track). A selected
    // subtitle track delivers its cues as QV_MEDIA_TIMED_TEXT (101 for the secondary track) with
    // the cue's text, and a notification without text when the screen is to be cleared.
    /* 44 */ virtual int32_t selectTrack(int32_t index, bool select, bool flag) = 0;
    // Adds a subtitle file (SubRip, SAMI or WebVTT, recognised by content): a path, "file://PATH"
    // or an "http://" address (copied to a temporary file first). When the file is accepted the
    // host gets QV_MEDIA_INFO_TIMED_TEXT_DETECTED (11 for the secondary track) with ext1 = the
    // new track's index, which it passes to selectTrack. -1010 for a file or address that cannot
    // be used. Cue text is the file's own bytes, in the file's character set: SubRip lines each
    // end in "<BR>", WebVTT cue settings come first followed by "<TAG>", SAMI cues are the raw
    // fragment after their SYNC tag.
    /* 45 */ virtual int32_t addSubtitleSource(const char* uri, bool secondary) = 0;
    /* 46 */ virtual int32_t refreshVideo() = 0;
    /* 47 */ virtual int32_t reserved47() = 0;
    /* 48 */ virtual bool setSinkOption(int32_t v) = 0;
    /* 49 */ virtual int32_t getSourceFlag() = 0;
    /* 50 */ virtual int32_t reserved50(int32_t a) = 0;
    /* 51 */ virtual int32_t getUserValue() = 0;
    /* 52 */ virtual IVelmorPlayerBase* setUserValue(int32_t v) = 0;
    /* 53 */ virtual int32_t reserved53(int32_t a, int32_t b) = 0;
    /* 54 */ virtual int32_t setVideoSinkParams(int32_t a, int32_t b) = 0;
    /* 55 */ virtual int32_t enableVideoOnlyFallback() = 0;
    /* 56 */ virtual int32_t skipTo(int32_t index) = 0;
    /* 57 */ virtual bool hasNext(int32_t index) = 0;
    /* 58 */ virtual int32_t reserved58(int32_t a) = 0;
    /* 59 */ virtual int32_t setOption28(const char* text) = 0;
    /* 60 */ virtual int32_t agentCall31(int32_t v) = 0;
    /* 61 */ virtual int32_t agentCall32(int32_t v) = 0;
    /* 62 */ virtual int32_t agentCall33(int32_t a, int32_t b) = 0;
    /* 63 */ virtual int32_t setAudioEffect(int32_t enable, int32_t level) = 0;
    /* 64 */ virtual void setAudioSinkEffect(int32_t v) = 0;
    /* 65 */ virtual int32_t getVideoInfo(VelmorVideoInfo* out) = 0;
    /* 66 */ virtual int32_t setTimeshiftOffset(int32_t msec) = 0;
    /* 67 */ virtual int32_t getLivePrograms(std::vector<VelmorLiveProgram>* out) = 0;
    /* 68 */ virtual int32_t setLiveOption(const char* text) = 0;
    /* 69 */ virtual int32_t reportError(int32_t code) = 0;
    /* 70 */ virtual int32_t setLiveDisabled(int32_t flag) = 0;
    /* 71 */ virtual int32_t getLiveDuration(int32_t* msec) = 0;
    /* 72 */ virtual bool isLiveSeekable() = 0;
    /* 73 */ virtual int64_t getAgentValue(std::string* out) = 0;

protected:
    // Hosts release the object with DestroyPlayer(), never with delete.
    ~IVelmorPlayerBase() = default;
};

extern "C" {
// Creates a player; null when it cannot be allocated.
__attribute__((visibility("default"))) IVelmorPlayerBase* CreatePlayer();
// Stops the player and, unless keepObject is true, frees it. The player must not be null.
__attribute__((visibility("default"))) void DestroyPlayer(IVelmorPlayerBase* player, bool keepObject);

typedef IVelmorPlayerBase* (*CreatePlayerFn)();
typedef void (*DestroyPlayerFn)(IVelmorPlayerBase* player, bool keepObject);
}

#endif  // QUORVANTIX_QUORVANTIX_H
