// The player front: the only object the player facade talks to. It owns one PlaybackEngine and
// forwards every operation to it, converting milliseconds to microseconds on the way.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "engine/PlayerBase.h"

namespace velmor {

class PlaybackEngine;

class PlayerInterface : public PlayerBase {
public:
    virtual bool hardwareOutput() { return false; }

protected:
    Ref<AudioSink> mAudioSink;
    Ref<VideoSink> mVideoSink;
};

class PlayerFront : public PlayerInterface {
public:
    PlayerFront();
    ~PlayerFront() override;

    virtual status_t initCheck();
    virtual status_t setStorageManager(int32_t value);
    virtual status_t setDataSource(int32_t fd);
    virtual status_t setDataSource(const char* url, const std::map<std::string, std::string>* headers,
                                   const char* extra);
    virtual status_t setSurface(int32_t a, int32_t b);
    virtual status_t setVideoArea(int32_t a, int32_t b);
    virtual status_t setVideoSurface(int32_t a, int32_t b, int32_t c);
    virtual status_t prepare();
    virtual status_t prepareAsync();
    virtual status_t start();
    virtual status_t stop();
    virtual status_t pause();
    virtual bool isPlaying();
    virtual status_t seekTo(int32_t msec);
    virtual status_t seekToExact(int32_t msec);
    virtual status_t getPlayerState(int32_t* out);
    virtual status_t getErrorText(const wchar_t* language, int32_t code, wchar_t* out);
    virtual status_t getCurrentPosition(int32_t* msec);
    virtual status_t getDuration(int32_t* msec);
    virtual status_t reset();
    virtual status_t setLooping(bool loop);
    virtual int32_t playerType() { return 3; }
    virtual status_t setParameter(int32_t key, const Payload& request);
    virtual status_t getParameter(int32_t key, Payload* reply);
    virtual status_t invoke(const Payload& request, Payload* reply);
    virtual status_t dump(int fd, const char* args);
    virtual status_t refreshVideo();
    virtual void setAudioSink(const Ref<AudioSink>& sink);
    virtual void setVideoSink(const Ref<VideoSink>& sink);
    virtual status_t setSinkOption(int32_t value);
    virtual int32_t getSourceFlag();
    virtual void noop(int32_t value) { (void)value; }
    virtual status_t enableVideoOnlyFallback();
    virtual bool hasNext(int32_t index);
    virtual status_t getLiveDuration(int32_t* msec);
    virtual bool isLiveSeekable();

    // The video size the decoder's output format last published; false without an engine.
    bool getVideoSize(int32_t* width, int32_t* height);

private:
    PlaybackEngine* mPlayer;
};

}  // namespace velmor
