// Subtitles in PlaybackEngine: adding subtitle files (local ones at once, http:// ones through a
// caption download), listing and selecting text tracks, and keeping the two subtitle drivers in
// step with playback. Everything here runs under the engine's main lock, except
// onCaptionDownloaded, which a download's thread calls and which takes the lock itself.
#include <strings.h>
#include <unistd.h>

#include "engine/PlaybackEngine.h"
#include "engine/PlayerFront.h"
#include "utils/Log.h"

#define LOG_TAG "VEL_PlaybackEngine"

namespace velmor {

namespace {

const char kHttpScheme[] = "http://";
// Notifications telling the host that a subtitle track was added (ext1: its index).
constexpr int32_t kMsgTextTrackAdded = MEDIA_INFO_TIMED_TEXT_DETECTED;
constexpr int32_t kMsgTextTrack2Added = 11;
constexpr int64_t kUsPerSecond = 1000000;
// Playback rates are kept in tenths of normal speed.
constexpr double kNormalRateTenths = 10.0;

}  // namespace

Ref<SubtitleDriver> PlaybackEngine::textDriver_l(bool secondary, bool create) {
    mLock.assertHeld();
    Ref<SubtitleDriver>& driver = secondary ? mTextDriver2 : mTextDriver;
    if (driver == nullptr && create) {
        driver = new SubtitleDriver(mListener, secondary);
        driver->setPlaybackRate(mPlaybackRate / kNormalRateTenths);
    }
    return driver;
}

int32_t PlaybackEngine::countTextTracks_l(bool secondary) {
    mLock.assertHeld();
    Ref<SubtitleDriver> driver = textDriver_l(secondary, false);
    return driver != nullptr ? driver->countExternalTracks() : 0;
}

status_t PlaybackEngine::onSubtitleSourceRequest_l(const Payload& request, Payload*) {
    const bool secondary = request.readInt32() != 0;
    const char* uri = request.readCString();
    if (uri == nullptr) return BAD_VALUE;
    if (!strncasecmp(uri, kHttpScheme, sizeof(kHttpScheme) - 1)) {
        // Remote files are copied first; the track appears when the copy is complete.
        textDriver_l(secondary, true);
        // Finished downloads are joined once the lock is released.
        for (auto it = mCaptionDownloads.begin(); it != mCaptionDownloads.end();) {
            if (!(*it)->finished()) {
                ++it;
                continue;
            }
            mDoomed.captionDownloads.push_back(std::move(*it));
            it = mCaptionDownloads.erase(it);
        }
        auto download = std::make_unique<CaptionDownload>(
            uri, [this](CaptionDownload* d, const std::string& fileUri) { onCaptionDownloaded(d, fileUri); });
        download->start();
        mCaptionDownloads.push_back(std::move(download));
        return OK;
    }
    return addSubtitleFile_l(secondary, uri);
}

status_t PlaybackEngine::addSubtitleFile_l(bool secondary, const char* uri) {
    mLock.assertHeld();
    Ref<SubtitleDriver> driver = textDriver_l(secondary, true);
    const int32_t trackIndex = countTracks_l() + driver->countExternalTracks();
    VLOGI("invoke addSubtitleSource nTracks %d uri '%s'", trackIndex, uri);
    if (mHasAgentItem && mAgentItem.info.playsectionEnd > 0 && mAgentItem.info.playsectionStart > 0) {
        driver->setTimeOffset(static_cast<int64_t>(mAgentItem.info.playsectionStart) * kUsPerSecond);
    }
    // A bare path is taken as a local file.
    std::string address = uri;
    if (!address.empty() && address[0] == '/') address = "file://" + address;
    const status_t err = driver->addOutOfBandTextSource(trackIndex, address.c_str());
    if (err != OK) return err;
    if (Ref<PlayerFront> front = mListener.promote()) {
        front->sendEvent(secondary ? kMsgTextTrack2Added : kMsgTextTrackAdded, trackIndex, 0);
    }
    return OK;
}

void PlaybackEngine::onCaptionDownloaded(CaptionDownload* download, const std::string& fileUri) {
    EngineLock lock(this);
    const std::string path = fileUri.substr(sizeof("file://") - 1);
    if (download->cancelled() || mStopped) {
        unlink(path.c_str());
        return;
    }
    mCaptionFiles.push_back(path);
    Ref<SubtitleDriver> driver = textDriver_l(false, true);
    const int32_t trackIndex = countTracks_l() + driver->countExternalTracks();
    VLOGI("CaptionDownloadThread addSubtitleSource nTracks %d uri '%s'", trackIndex, fileUri.c_str());
    if (driver->addOutOfBandTextSource(trackIndex, fileUri.c_str()) != OK) return;
    if (Ref<PlayerFront> front = mListener.promote()) front->sendEvent(kMsgTextTrackAdded, trackIndex, 0);
}

status_t PlaybackEngine::selectTextTrack_l(int32_t index, bool select, bool secondary) {
    mLock.assertHeld();
    Ref<SubtitleDriver> driver = textDriver_l(secondary, false);
    if (driver == nullptr) return INVALID_OPERATION;
    const uint32_t initialized = secondary ? TEXT2_INITIALIZED : TEXTPLAYER_INITIALIZED;
    const uint32_t running = secondary ? TEXT2_RUNNING : TEXT_RUNNING;
    if (!select) {
        const status_t err = driver->unselectTrack(index);
        modifyFlags(initialized | running, CLEAR);
        return err;
    }
    const status_t err = driver->selectTrack(index);
    if (err != OK) return err;
    modifyFlags(initialized, SET);
    if (mFlags & PLAYING) {
        driver->start();
        modifyFlags(running, SET);
    }
    return OK;
}

bool PlaybackEngine::startTextDrivers_l() {
    mLock.assertHeld();
    const struct {
        Ref<SubtitleDriver>& driver;
        uint32_t initialized, running;
    } drivers[] = {{mTextDriver, TEXTPLAYER_INITIALIZED, TEXT_RUNNING}, {mTextDriver2, TEXT2_INITIALIZED, TEXT2_RUNNING}};
    bool waiting = false;
    for (const auto& d : drivers) waiting |= d.driver != nullptr && (mFlags & d.initialized) && !(mFlags & d.running);
    if (!waiting || (mFlags & SEEK_PREVIEW)) return false;
    // Until the sound device reports its first position the clock stands at the start and then
    // jumps by the device's buffer: cues scheduled before that would come late.
    int64_t realTimeUs, mediaTimeUs;
    if (mAudioPlayer != nullptr && (mFlags & AUDIO_RUNNING) && !mAudioPlayer->getMediaTimeMapping(&realTimeUs, &mediaTimeUs)) {
        return true;
    }
    for (const auto& d : drivers) {
        if (d.driver == nullptr || !(mFlags & d.initialized) || (mFlags & d.running)) continue;
        d.driver->start();
        modifyFlags(d.running, SET);
    }
    return false;
}

void PlaybackEngine::seekTextDrivers_l(int64_t timeUs) {
    mLock.assertHeld();
    if (mTextDriver != nullptr && (mFlags & TEXTPLAYER_INITIALIZED)) mTextDriver->seekToAsync(timeUs);
    if (mTextDriver2 != nullptr && (mFlags & TEXT2_INITIALIZED)) mTextDriver2->seekToAsync(timeUs);
}

void PlaybackEngine::setTextPlaybackRate_l(double rate) {
    mLock.assertHeld();
    if (mTextDriver != nullptr) mTextDriver->setPlaybackRate(rate);
    if (mTextDriver2 != nullptr) mTextDriver2->setPlaybackRate(rate);
}

void PlaybackEngine::cancelCaptionDownloads_l() {
    mLock.assertHeld();
    for (std::unique_ptr<CaptionDownload>& download : mCaptionDownloads) {
        download->cancel();
        mDoomed.captionDownloads.push_back(std::move(download));
    }
    mCaptionDownloads.clear();
}

void PlaybackEngine::releaseSubtitles_l() {
    mLock.assertHeld();
    cancelCaptionDownloads_l();
    if (mTextDriver != nullptr) mDoomed.toRelease.push_back(mTextDriver);
    if (mTextDriver2 != nullptr) mDoomed.toRelease.push_back(mTextDriver2);
    mTextDriver.clear();
    mTextDriver2.clear();
    // The drivers hold the files in memory; the copies are no longer needed.
    for (const std::string& path : mCaptionFiles) unlink(path.c_str());
    mCaptionFiles.clear();
}

}  // namespace velmor
