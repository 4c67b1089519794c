#include "engine/subtitles/SubtitlePlayer.h"

#include <algorithm>

#include "engine/PlayerFront.h"
#include "utils/Log.h"

#define LOG_TAG "VEL_SubtitlePlayer"

namespace velmor {

namespace {

// The secondary track's cues travel under their own notification number.
constexpr int32_t kMsgTimedTextSecondary = 101;

const char kKeyGeneration[] = "generation";
const char kKeyFireTime[] = "fireTimeUs";
const char kKeySubtitle[] = "subtitle";
const char kKeySource[] = "source";
const char kKeySeekTime[] = "seekTimeUs";
const char kKeySeekMode[] = "seekMode";
const char kKeySerial[] = "serial";

}  // namespace

SubtitlePlayer::SubtitlePlayer(const WeakRef<PlayerFront>& listener, bool secondary)
    : mListener(listener), mSecondary(secondary) {}

SubtitlePlayer::~SubtitlePlayer() {
    if (mSource != nullptr) mSource->stop();
}

void SubtitlePlayer::post(uint32_t what, const char* name, int64_t value) {
    Ref<Message> msg = new Message(what, id());
    if (name != nullptr) msg->setInt64(name, value);
    msg->post();
}

void SubtitlePlayer::start() { post(kWhatStart); }
void SubtitlePlayer::pause() { post(kWhatPause); }
void SubtitlePlayer::resume() { post(kWhatResume); }
void SubtitlePlayer::seekToAsync(int64_t timeUs) { post(kWhatSeek, kKeySeekTime, timeUs); }

void SubtitlePlayer::setDataSource(const Ref<SubtitleSource>& source) {
    Ref<Message> msg = new Message(kWhatSetSource, id());
    if (source != nullptr) msg->setObject(kKeySource, Ref<RefCounted>(source.get()));
    msg->post();
}

void SubtitlePlayer::setPlaybackRate(double rate) {
    if (rate > 0.0) mPlaybackRate.store(rate);
}

bool SubtitlePlayer::currentPositionUs(int64_t* positionUs) {
    Ref<PlayerFront> front = mListener.promote();
    if (front == nullptr) return false;
    int32_t msec = 0;
    front->getCurrentPosition(&msec);
    *positionUs = static_cast<int64_t>(msec) * 1000 + mTimeOffsetUs.load();
    return true;
}

int64_t SubtitlePlayer::delayUsFromCurrentTime(int64_t fireTimeUs) {
    int64_t positionUs = 0;
    if (!currentPositionUs(&positionUs)) {
        VLOGE("%s: Listener is NULL. (fireTimeUs = %lld)", "velmor::SubtitlePlayer::delayUsFromCurrentTime",
              static_cast<long long>(fireTimeUs));
        return 0;
    }
    if (fireTimeUs <= positionUs + kSendAheadUs) return 0;
    // Positions advance at the playback rate: a faster rate reaches the cue sooner.
    const double mediaDelayUs = static_cast<double>(fireTimeUs - positionUs - kSendAheadUs);
    const int64_t delayUs = static_cast<int64_t>(mediaDelayUs / mPlaybackRate.load());
    return std::min(delayUs, kMaxRecheckUs);
}

void SubtitlePlayer::onMessageReceived(const Ref<Message>& msg) {
    switch (static_cast<uint32_t>(msg->what())) {
        case kWhatStart: onStart(); break;
        case kWhatPause: mPaused = true; break;
        case kWhatResume: onResume(); break;
        case kWhatSeek: onSeek(msg); break;
        case kWhatSetSource: onSetSource(msg); break;
        case kWhatSendSubtitle: onSend(msg); break;
        case kWhatRetryRead: onRetryRead(msg); break;
        default: break;
    }
}

void SubtitlePlayer::onStart() {
    int64_t positionUs = 0;
    if (!currentPositionUs(&positionUs)) {
        VLOGE("Listener is NULL when kWhatStart is received.");
        return;
    }
    mPaused = false;
    mPendingSeekTimeUs = kNoSeek;
    clearScreen();
    newGeneration();
    readFrom(positionUs);
}

void SubtitlePlayer::onSetSource(const Ref<Message>& msg) {
    newGeneration();
    if (mSource != nullptr) {
        mSource->stop();
        mSource.clear();
    }
    Ref<RefCounted> obj;
    if (!msg->findObject(kKeySource, &obj) || obj == nullptr) {
        mPendingSeekTimeUs = kNoSeek;
        mPaused = false;
        clearScreen();
        return;
    }
    mSource = static_cast<SubtitleSource*>(obj.get());
    status_t err = mSource->start();
    if (err != OK) {
        notifyError(err);
        return;
    }
    Ref<PayloadEvent> descriptions = new PayloadEvent;
    err = mSource->extractGlobalDescriptions(&descriptions->payload);
    if (err == OK) {
        deliver(descriptions);
    } else {
        notifyError(err);
    }
}

void SubtitlePlayer::onSend(const Ref<Message>& msg) {
    int32_t generation = 0;
    if (!msg->findInt32(kKeyGeneration, &generation) || generation != mSendGeneration) return;
    int64_t fireTimeUs = 0;
    if (msg->findInt64(kKeyFireTime, &fireTimeUs)) {
        const int64_t delayUs = delayUsFromCurrentTime(fireTimeUs);
        if (delayUs > 0) {
            msg->post(delayUs);
            return;
        }
    }
    int32_t serial = -1;
    msg->findInt32(kKeySerial, &serial);
    Ref<RefCounted> obj;
    if (msg->findObject(kKeySubtitle, &obj) && obj != nullptr) {
        // A later cue already overtook this one (the position jumped while both waited).
        if (serial < mShownCueSerial) return;
        deliver(static_cast<PayloadEvent*>(obj.get()));
        mShownCueSerial = serial;
        mPendingCueStartUs = -1;
        readNext(nullptr);
        return;
    }
    if (serial != mShownCueSerial) return;
    if (mPendingCueStartUs >= 0 && mPendingCueStartUs <= fireTimeUs) return;
    clearScreen();
}

void SubtitlePlayer::onRetryRead(const Ref<Message>& msg) {
    int32_t generation = 0;
    if (!msg->findInt32(kKeyGeneration, &generation) || generation != mSendGeneration) return;
    int64_t seekTimeUs = 0;
    int32_t seekMode = 0;
    if (msg->findInt64(kKeySeekTime, &seekTimeUs) && msg->findInt32(kKeySeekMode, &seekMode)) {
        MediaSource::ReadOptions options;
        options.setSeekTo(seekTimeUs, static_cast<MediaSource::ReadOptions::SeekMode>(seekMode));
        readNext(&options);
    } else {
        readNext(nullptr);
    }
}

void SubtitlePlayer::onResume() {
    mPaused = false;
    if (mPendingSeekTimeUs != kNoSeek) {
        post(kWhatSeek, kKeySeekTime, mPendingSeekTimeUs);
        mPendingSeekTimeUs = kNoSeek;
    } else {
        readNext(nullptr);
    }
}

void SubtitlePlayer::onSeek(const Ref<Message>& msg) {
    clearScreen();
    int64_t seekTimeUs = 0;
    if (!msg->findInt64(kKeySeekTime, &seekTimeUs) && !currentPositionUs(&seekTimeUs)) return;
    // Cues read for the old position are stale either way.
    newGeneration();
    if (mPaused) {
        mPendingSeekTimeUs = seekTimeUs;
        return;
    }
    readFrom(seekTimeUs);
}

void SubtitlePlayer::newGeneration() {
    ++mSendGeneration;
    mPendingCueStartUs = -1;
}

void SubtitlePlayer::readFrom(int64_t seekTimeUs) {
    MediaSource::ReadOptions options;
    options.setSeekTo(seekTimeUs);
    readNext(&options);
}

void SubtitlePlayer::readNext(const MediaSource::ReadOptions* options) {
    if (mSource == nullptr) return;
    int64_t startTimeUs = 0, endTimeUs = 0;
    Ref<PayloadEvent> cue = new PayloadEvent;
    const status_t err = mSource->read(&startTimeUs, &endTimeUs, &cue->payload, options);
    if (err == WOULD_BLOCK) {
        Ref<Message> retry = new Message(kWhatRetryRead, id());
        retry->setInt32(kKeyGeneration, mSendGeneration);
        int64_t seekTimeUs = 0;
        MediaSource::ReadOptions::SeekMode mode;
        if (options != nullptr && options->getSeekTo(&seekTimeUs, &mode)) {
            retry->setInt64(kKeySeekTime, seekTimeUs);
            retry->setInt32(kKeySeekMode, mode);
        }
        retry->post(kRetryReadUs);
        return;
    }
    if (err != OK) {
        notifyError(err);
        return;
    }
    ++mCueSerial;
    mPendingCueStartUs = startTimeUs;
    postSend(cue, startTimeUs, mCueSerial);
    if (endTimeUs > 0) postSend(nullptr, endTimeUs, mCueSerial);
}

void SubtitlePlayer::postSend(const Ref<PayloadEvent>& cue, int64_t fireTimeUs, int32_t serial) {
    Ref<Message> msg = new Message(kWhatSendSubtitle, id());
    msg->setInt32(kKeyGeneration, mSendGeneration);
    msg->setInt32(kKeySerial, serial);
    if (cue != nullptr) msg->setObject(kKeySubtitle, Ref<RefCounted>(cue.get()));
    msg->setInt64(kKeyFireTime, fireTimeUs);
    const int64_t delayUs = delayUsFromCurrentTime(fireTimeUs);
    VLOGV("send %s at %lld us in %lld us", cue != nullptr ? "cue" : "clear", static_cast<long long>(fireTimeUs),
          static_cast<long long>(delayUs));
    msg->post(delayUs);
}

void SubtitlePlayer::deliver(const Ref<PayloadEvent>& cue) {
    Ref<PlayerFront> front = mListener.promote();
    if (front == nullptr) {
        VLOGE("%s: Listener is NULL.", "velmor::SubtitlePlayer::notifyListener");
        return;
    }
    const int32_t what = mSecondary ? kMsgTimedTextSecondary : MEDIA_TIMED_TEXT;
    const bool hasCue = cue != nullptr && cue->payload.dataSize() > 0;
    if (!hasCue) mShownCueSerial = -1;
    front->sendEvent(what, 0, 0, hasCue ? &cue->payload : nullptr);
}

void SubtitlePlayer::notifyError(status_t err) {
    Ref<PlayerFront> front = mListener.promote();
    if (front == nullptr) {
        VLOGE("%s(error=%d): Listener is NULL.", "velmor::SubtitlePlayer::notifyError", err);
        return;
    }
    front->sendEvent(MEDIA_INFO, MEDIA_INFO_TIMED_TEXT_ERROR, err);
}

}  // namespace velmor
