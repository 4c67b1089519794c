#include "engine/subtitles/SubtitleDriver.h"

#include <strings.h>

#include <string>

#include "engine/MemFileSource.h"
#include "utils/Log.h"

#define LOG_TAG "VEL_SubtitleDriver"

namespace velmor {

namespace {

const char kFileScheme[] = "file://";
constexpr size_t kFileSchemeLength = sizeof(kFileScheme) - 1;

// Fields of one track entry in the track list, and the kind that marks a text track.
constexpr int32_t kTrackInfoFields = 2;
constexpr int32_t kTrackKindText = 3;

std::u16string widen(const char* text) {
    std::u16string wide;
    for (const char* c = text; *c; ++c) wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(*c)));
    return wide;
}

}  // namespace

#define LOG_CALLED(name) VLOGI("%s() is called", "velmor::SubtitleDriver::" name)

SubtitleDriver::SubtitleDriver(const WeakRef<PlayerFront>& listener, bool secondary)
    : mLooper(new Looper), mPlayer(new SubtitlePlayer(listener, secondary)) {
    mLooper->setName("SubtitleDriver");
    mLooper->start();
    mLooper->registerHandler(mPlayer);
}

SubtitleDriver::~SubtitleDriver() {
    mLooper->unregisterHandler(mPlayer->id());
    mLooper->stop();
    for (auto& entry : mTextSourceMap) entry.second.clear();
}

status_t SubtitleDriver::start() {
    Mutex::Autolock _l(mLock);
    LOG_CALLED("start");
    switch (mState) {
        case kUninitialized: return INVALID_OPERATION;
        case kPrepared:
            mPlayer->start();
            mState = kPlaying;
            return OK;
        case kPlaying: return OK;
        case kPaused:
            mPlayer->resume();
            mState = kPlaying;
            return OK;
    }
    return UNKNOWN_ERROR;
}

status_t SubtitleDriver::pause() {
    Mutex::Autolock _l(mLock);
    LOG_CALLED("pause");
    switch (mState) {
        case kUninitialized:
        case kPrepared: return INVALID_OPERATION;
        case kPlaying:
            mPlayer->pause();
            mState = kPaused;
            return OK;
        case kPaused: return OK;
    }
    return UNKNOWN_ERROR;
}

status_t SubtitleDriver::selectTrack(int32_t index) {
    Mutex::Autolock _l(mLock);
    LOG_CALLED("selectTrack");
    if (mState != kPlaying) return selectTrack_l(index);
    // While playing, the switch happens paused and playing resumes on the new track.
    mPlayer->pause();
    mState = kPaused;
    const status_t err = selectTrack_l(index);
    if (err == OK) {
        mPlayer->start();
        mState = kPlaying;
    }
    return err;
}

status_t SubtitleDriver::selectTrack_l(int32_t index) {
    mLock.assertHeld();
    if (index == mCurrentTrackIndex) return OK;
    Ref<SubtitleSource> source;
    for (const auto& entry : mTextSourceMap) {
        if (entry.first == index) source = entry.second;
    }
    if (source == nullptr) return BAD_INDEX;
    mPlayer->setDataSource(source);
    if (mState == kUninitialized) mState = kPrepared;
    mCurrentTrackIndex = index;
    return OK;
}

status_t SubtitleDriver::unselectTrack(int32_t index) {
    Mutex::Autolock _l(mLock);
    LOG_CALLED("unselectTrack");
    if (index != mCurrentTrackIndex) return INVALID_OPERATION;
    mCurrentTrackIndex = -1;
    switch (mState) {
        case kUninitialized: return INVALID_OPERATION;
        case kPrepared:
        case kPaused:
            mState = kUninitialized;
            return OK;
        case kPlaying:
            mPlayer->setDataSource(nullptr);
            mState = kUninitialized;
            return OK;
    }
    return UNKNOWN_ERROR;
}

status_t SubtitleDriver::seekToAsync(int64_t timeUs) {
    Mutex::Autolock _l(mLock);
    LOG_CALLED("seekToAsync");
    switch (mState) {
        case kUninitialized: return INVALID_OPERATION;
        case kPrepared:
            mPlayer->seekToAsync(timeUs);
            mPlayer->pause();
            mState = kPaused;
            return OK;
        case kPlaying:
            mPlayer->seekToAsync(timeUs);
            return OK;
        case kPaused:
            mPlayer->seekToAsync(timeUs);
            mPlayer->pause();
            return OK;
    }
    return UNKNOWN_ERROR;
}

status_t SubtitleDriver::setTimeOffset(int64_t offsetUs) {
    Mutex::Autolock _l(mLock);
    LOG_CALLED("setTimeOffset");
    mPlayer->setTimeOffset(offsetUs);
    return OK;
}

void SubtitleDriver::setPlaybackRate(double rate) { mPlayer->setPlaybackRate(rate); }

status_t SubtitleDriver::addInBandTextSource(int32_t, const Ref<RefCounted>&) {
    Mutex::Autolock _l(mLock);
    LOG_CALLED("addInBandTextSource");
    return ERROR_UNSUPPORTED;
}

status_t SubtitleDriver::addOutOfBandTextSource(int32_t trackIndex, const char* uri) {
    Mutex::Autolock _l(mLock);
    LOG_CALLED("addOutOfBandTextSource");
    if (uri == nullptr || strncasecmp(uri, kFileScheme, kFileSchemeLength) != 0) {
        VLOGE("uri('%s') is not a file", uri ? uri : "");
        return ERROR_UNSUPPORTED;
    }
    Ref<DataSource> file = new MemFileSource(uri + kFileSchemeLength);
    Ref<SubtitleSource> source;
    if (file->initCheck() == OK) source = SubtitleSource::CreateByContent(file);
    if (source == nullptr) {
        VLOGE("Failed to create timed text source");
        return ERROR_UNSUPPORTED;
    }
    // The language is read now: once selected, the reader's format belongs to the player's
    // thread.
    const char* lang = nullptr;
    Ref<MetaData> format = source->getFormat();
    if (format == nullptr || !format->findCString(kKeyLanguage, &lang)) lang = "und";
    mTextSourceMap.emplace_back(trackIndex, source);
    mTextSourceTypeVector.push_back(kOutOfBand);
    mTextSourceLanguages.emplace_back(lang);
    return OK;
}

int32_t SubtitleDriver::countExternalTracks() {
    Mutex::Autolock _l(mLock);
    int32_t count = 0;
    for (SourceKind kind : mTextSourceTypeVector) count += kind == kOutOfBand ? 1 : 0;
    return count;
}

status_t SubtitleDriver::getTrackInfo(Payload* payload) {
    Mutex::Autolock _l(mLock);
    LOG_CALLED("getTrackInfo");
    for (size_t i = 0; i < mTextSourceMap.size(); ++i) {
        if (mTextSourceTypeVector[i] != kOutOfBand) continue;
        payload->writeInt32(kTrackInfoFields);
        payload->writeInt32(kTrackKindText);
        payload->writeString16(widen(mTextSourceLanguages[i].c_str()));
    }
    return OK;
}

}  // namespace velmor
