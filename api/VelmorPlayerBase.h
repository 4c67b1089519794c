// The player object hosts hold: a thin facade over the player front. Most product-specific
// operations become numbered invoke requests carried in a Payload.
#pragma once

#include <string>

#include "engine/PlayerBase.h"
#include "quorvantix/quorvantix.h"
#include "utils/RefCounted.h"

namespace velmor {

class PlayerFront;
class UiPlayerListener;

class VelmorPlayerBase final : public IVelmorPlayerBase {
public:
    VelmorPlayerBase();
    ~VelmorPlayerBase();

    int32_t setListener(VelmorNotifyCallback callback, void* userData) override;
    int32_t setVideoArea(int32_t a, int32_t b) override;
    int32_t setVideoSurface(int32_t a, int32_t b, int32_t c) override;
    int32_t setDataSourceFd(int32_t fd) override;
    int32_t setDataSource(const char* url, const char* extra) override;
    int32_t createVideoSink(VelmorWindow window, int32_t ignored, int32_t width, int32_t height, int32_t kind) override;
    int32_t createAudioSink(intptr_t deviceOrWindow) override;
    int32_t reserved7(int32_t, int32_t, int32_t, int32_t) override { return 0; }
    int32_t setOsInfo(const char* os, const char* version) override;
    int32_t reserved9(int32_t) override { return 0; }
    int32_t reserved10() override { return 0; }
    int32_t reserved11() override { return 0; }
    int32_t prepareAsync() override;
    int32_t start() override;
    int32_t stop() override;
    int32_t seekTo(int32_t msec) override;
    int32_t seekToExact(int32_t msec) override;
    int32_t getVideoWidth(int32_t* out) override;
    int32_t getVideoHeight(int32_t* out) override;
    int32_t getPlayerState(int32_t* out) override;
    int32_t getErrorText(const wchar_t* language, int32_t code, wchar_t* out) override;
    int32_t pause() override;
    bool isPlaying() override;
    int32_t getCurrentPosition(int32_t* msec) override;
    int32_t getDuration(int32_t* msec) override;
    int32_t setLooping(int32_t loop) override;
    int32_t setPlaybackSetting(int32_t value) override;
    int32_t setPlayingRate(double rate) override;
    int32_t setBrightness(int32_t v) override;
    int32_t setSaturation(int32_t v) override;
    int32_t setContrast(int32_t v) override;
    int32_t setVolume(int32_t level, int32_t channelValue) override;
    int32_t setAudioEnabled(int32_t flag) override;
    int32_t getContentInfo(VelmorContentInfo* out) override;
    int32_t loadBookmarks() override;
    int32_t getApiLevel() override;
    int32_t getBookmarks(std::string* outJson) override;
    int32_t addBookmark(int32_t msec, const char* title, const char* label) override;
    int32_t reserved38(int32_t) override { return NO_INIT; }
    int32_t deleteBookmark(int32_t msec, const char* label) override;
    int32_t setScaleMode(int32_t v) override;
    int32_t setAspectRatio(int32_t a, int32_t b) override;
    int32_t setViewOffset(int32_t a, int32_t b) override;
    const char* getDeviceGuid() override;
    int32_t selectTrack(int32_t index, bool select, bool flag) override;
    int32_t addSubtitleSource(const char* uri, bool secondary) override;
    int32_t refreshVideo() override;
    int32_t reserved47() override { return 0; }
    bool setSinkOption(int32_t v) override;
    int32_t getSourceFlag() override;
    int32_t reserved50(int32_t a) override;
    int32_t getUserValue() override;
    IVelmorPlayerBase* setUserValue(int32_t v) override;
    int32_t reserved53(int32_t, int32_t) override { return 0; }
    int32_t setVideoSinkParams(int32_t a, int32_t b) override;
    int32_t enableVideoOnlyFallback() override;
    int32_t skipTo(int32_t index) override;
    bool hasNext(int32_t index) override;
    int32_t reserved58(int32_t a) override { return a; }
    int32_t setOption28(const char* text) override;
    int32_t agentCall31(int32_t v) override;
    int32_t agentCall32(int32_t v) override;
    int32_t agentCall33(int32_t a, int32_t b) override;
    int32_t setAudioEffect(int32_t enable, int32_t level) override;
    void setAudioSinkEffect(int32_t v) override;
    int32_t getVideoInfo(VelmorVideoInfo* out) override;
    int32_t setTimeshiftOffset(int32_t msec) override;
    int32_t getLivePrograms(std::vector<VelmorLiveProgram>* out) override;
    int32_t setLiveOption(const char* text) override;
    int32_t reportError(int32_t code) override;
    int32_t setLiveDisabled(int32_t flag) override;
    int32_t getLiveDuration(int32_t* msec) override;
    bool isLiveSeekable() override;
    int64_t getAgentValue(std::string* out) override;

private:
    std::string mDeviceGuid;
    Ref<PlayerFront> mPlayer;
    Ref<UiPlayerListener> mListener;
    int32_t mUserValue;
    int32_t mVideoSinkParam1;
    int32_t mVideoSinkParam2;
    std::string mReserved1;
    std::string mReserved2;
    PlayerBase::VideoSink* mVideoSink;
    PlayerBase::AudioSink* mAudioSink;
    std::string mReserved3;
    int32_t mApiLevel;
};

}  // namespace velmor
