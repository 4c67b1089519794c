#include "engine/PlayerFront.h"

#include <pthread.h>
#include <signal.h>

#include "engine/PlaybackEngine.h"
#include "utils/Log.h"

#define LOG_TAG "VEL_PlayerFront"

namespace velmor {

namespace {
int32_t usToMs(int64_t us) { return static_cast<int32_t>((us + 500) / 1000); }
}  // namespace

PlayerFront::PlayerFront() : mPlayer(new PlaybackEngine()) {
    mPlayer->setListener(WeakRef<PlayerFront>(this));
}

PlayerFront::~PlayerFront() {
    reset();
    delete mPlayer;
    mPlayer = nullptr;
    mAudioSink.clear();
    mVideoSink.clear();
    Ref<PlayerListener> listener;
    {
        Mutex::Autolock _l(mNotifyLock);
        listener = mListener;
        mListener.clear();
    }
}

status_t PlayerFront::initCheck() { return OK; }

status_t PlayerFront::setStorageManager(int32_t value) { return mPlayer->setStorageManager(value); }

status_t PlayerFront::setDataSource(int32_t fd) { return mPlayer->setDataSource(fd); }

status_t PlayerFront::setDataSource(const char* url, const std::map<std::string, std::string>* headers,
                                    const char* extra) {
    return mPlayer->setDataSource(url, headers, extra);
}

status_t PlayerFront::setSurface(int32_t, int32_t) {
    VLOGI("setSurface");
    return OK;
}

status_t PlayerFront::setVideoArea(int32_t a, int32_t b) { return mPlayer->setVideoArea(a, b); }

status_t PlayerFront::setVideoSurface(int32_t a, int32_t b, int32_t c) { return mPlayer->setVideoSurface(a, b, c); }

status_t PlayerFront::prepare() { return mPlayer->prepare(); }

status_t PlayerFront::prepareAsync() { return mPlayer->prepareAsync(); }

status_t PlayerFront::start() { return mPlayer->play(); }

status_t PlayerFront::stop() { return mPlayer->stop(); }

status_t PlayerFront::pause() { return mPlayer->pause(); }

bool PlayerFront::isPlaying() { return mPlayer->isPlaying(); }

status_t PlayerFront::seekTo(int32_t msec) { return mPlayer->seekTo(static_cast<int64_t>(msec) * 1000); }

status_t PlayerFront::seekToExact(int32_t msec) { return mPlayer->seekToExact(static_cast<int64_t>(msec) * 1000); }

status_t PlayerFront::getPlayerState(int32_t* out) {
    if (!mPlayer) return INVALID_OPERATION;
    if (out == nullptr) return BAD_VALUE;
    *out = 0;
    return OK;
}

status_t PlayerFront::getErrorText(const wchar_t* language, int32_t code, wchar_t* out) {
    if (!mPlayer) return NO_INIT;
    return mPlayer->getErrorText(language, code, out);
}

status_t PlayerFront::getCurrentPosition(int32_t* msec) {
    if (msec == nullptr) return BAD_VALUE;
    int64_t us = 0;
    status_t err = mPlayer->getPosition(&us);
    if (err != OK) return err;
    *msec = usToMs(us);
    return OK;
}

status_t PlayerFront::getDuration(int32_t* msec) {
    if (msec == nullptr) return BAD_VALUE;
    int64_t us = 0;
    status_t err = mPlayer->getDuration(&us);
    *msec = (err == OK) ? usToMs(us) : 0;
    return OK;
}

status_t PlayerFront::reset() {
    if (mPlayer) mPlayer->reset();
    return OK;
}

status_t PlayerFront::setLooping(bool loop) { return mPlayer->setLooping(loop); }

status_t PlayerFront::setParameter(int32_t key, const Payload& request) { return mPlayer->setParameter(key, request); }

status_t PlayerFront::getParameter(int32_t key, Payload* reply) { return mPlayer->getParameter(key, reply); }

status_t PlayerFront::invoke(const Payload& request, Payload* reply) { return mPlayer->invoke(request, reply); }

status_t PlayerFront::dump(int fd, const char* args) {
    // A descriptor whose reader has gone fails the write instead of ending the host with SIGPIPE:
    // the signal is blocked on this thread for the dump, and one the dump raised is taken back.
    sigset_t pipeSignal, previous, pendingBefore;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    sigpending(&pendingBefore);
    const status_t err = mPlayer->dump(fd, args);
    if (!sigismember(&pendingBefore, SIGPIPE)) {
        const timespec noWait = {0, 0};
        while (sigtimedwait(&pipeSignal, nullptr, &noWait) == SIGPIPE) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return err;
}

status_t PlayerFront::refreshVideo() {
    mPlayer->postVideoRenderEvent(100);
    return OK;
}

void PlayerFront::setAudioSink(const Ref<AudioSink>& sink) {
    mAudioSink = sink;
    mPlayer->setAudioSink(sink);
}

void PlayerFront::setVideoSink(const Ref<VideoSink>& sink) { mPlayer->setVideoSink(sink); }

status_t PlayerFront::setSinkOption(int32_t value) {
    return mPlayer->setVideoSinkOption(value) ? OK : UNKNOWN_ERROR;
}

int32_t PlayerFront::getSourceFlag() { return mPlayer->getSourceFlag(); }

status_t PlayerFront::enableVideoOnlyFallback() {
    mPlayer->setVideoOnlyFallback(true);
    return OK;
}

bool PlayerFront::hasNext(int32_t index) { return mPlayer->hasNext(index); }

status_t PlayerFront::getLiveDuration(int32_t* msec) {
    if (msec == nullptr) return BAD_VALUE;
    int64_t us = 0;
    mPlayer->getLiveDurationUs(&us);
    *msec = usToMs(us);
    return OK;
}

bool PlayerFront::isLiveSeekable() { return mPlayer->isLiveSeekable(); }

bool PlayerFront::getVideoSize(int32_t* width, int32_t* height) {
    if (!mPlayer) return false;
    return mPlayer->getVideoSize(width, height);
}

}  // namespace velmor
