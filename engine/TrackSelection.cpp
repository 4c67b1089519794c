// Track listing and selection of PlaybackEngine: which tracks the host may pick, and switching the
// audio track while playing. Runs under the engine's main lock on the host's thread.
#include <strings.h>

#include <cstring>

#include "engine/MediaDefs.h"
#include "engine/PlaybackEngine.h"
#include "utils/Log.h"

#define LOG_TAG "VEL_PlaybackEngine"

namespace velmor {

namespace {

// Track kinds as the host's track list names them.
enum TrackKind : int32_t { kTrackUnknown = 0, kTrackVideo = 1, kTrackAudio = 2, kTrackText = 3 };
// Fields per track entry in the track list.
constexpr int32_t kTrackInfoFields = 2;

TrackKind kindOf(const char* mime) {
    if (!strncasecmp(mime, "video/", 6)) return kTrackVideo;
    if (!strncasecmp(mime, "audio/", 6)) return kTrackAudio;
    if (!strcasecmp(mime, "text/caption")) return kTrackText;
    return kTrackUnknown;
}

}  // namespace

int32_t PlaybackEngine::countTracks_l() {
    mLock.assertHeld();
    return mExtractor != nullptr ? static_cast<int32_t>(mExtractor->countTracks()) : 0;
}

status_t PlaybackEngine::trackInfo_l(Payload* reply) {
    mLock.assertHeld();
    if (!reply) return BAD_VALUE;
    const int32_t count = countTracks_l();
    Ref<SubtitleDriver> driver = textDriver_l(false, false);
    reply->writeInt32(count + (driver != nullptr ? driver->countExternalTracks() : 0));
    for (int32_t i = 0; i < count; ++i) {
        Ref<MetaData> meta = mExtractor->getTrackMetaData(static_cast<size_t>(i));
        const char* mime = "";
        const char* lang = "und";
        if (meta != nullptr) {
            meta->findCString(kKeyMIMEType, &mime);
            if (!meta->findCString(kKeyLanguage, &lang)) lang = "und";
        }
        reply->writeInt32(kTrackInfoFields);
        reply->writeInt32(kindOf(mime));
        std::u16string wide;
        for (const char* c = lang; *c; ++c) wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(*c)));
        reply->writeString16(wide);
    }
    // Subtitle files the host added follow the container's tracks.
    if (driver != nullptr) driver->getTrackInfo(reply);
    return OK;
}

// Selecting another audio track happens in two halves: this one pauses and lets go of the audio
// player (which closes the sound device once the lock is released), finishAudioSwitch_l starts
// the new track's decoder and goes on from the same position.
status_t PlaybackEngine::selectTrack_l(int32_t index, bool select, bool secondary) {
    mLock.assertHeld();
    VLOGI("selectTrack: trackIndex = %d and select=%d", index, select ? 1 : 0);
    const int32_t count = countTracks_l();
    const int32_t total = count + countTextTracks_l(secondary);
    if (index < 0 || index >= total) {
        VLOGE("Track index (%d) is out of range [0, %d)", index, total);
        return ERROR_OUT_OF_RANGE;
    }
    // Indexes past the container's tracks are subtitle files the host added.
    if (index >= count) return selectTextTrack_l(index, select, secondary);
    Ref<MetaData> meta = mExtractor->getTrackMetaData(static_cast<size_t>(index));
    const char* mime = "";
    if (meta != nullptr) meta->findCString(kKeyMIMEType, &mime);
    const TrackKind kind = kindOf(mime);
    if (kind != kTrackAudio && kind != kTrackText) {
        VLOGE("Track %d is not either audio or timed text", index);
        return ERROR_UNSUPPORTED;
    }
    if (kind == kTrackText) {
        // Subtitles inside containers are not read.
        return ERROR_UNSUPPORTED;
    }
    if (!select) {
        VLOGE("Deselect an audio track (%d) is not supported", index);
        return ERROR_UNSUPPORTED;
    }
    VLOGI("selectAudioTrack_l: trackIndex=%d, mFlags=0x%x", index, static_cast<unsigned>(mFlags));
    if (index == mActiveAudioTrackIndex) {
        VLOGI("Track %d is active. Does nothing.", index);
        return OK;
    }
    if (mSeeking != 0) {
        VLOGE("Selecting a track while seeking is not supported");
        return ERROR_UNSUPPORTED;
    }
    if (!(mFlags & PREPARED)) {
        VLOGE("Data source has not finished preparation");
        return ERROR_UNSUPPORTED;
    }
    AudioSwitch sw;
    sw.pending = true;
    sw.index = index;
    sw.wasPlaying = (mFlags & PLAYING) != 0;
    pause_l();
    getPosition(&sw.positionUs);
    if (mAudioPlayer != nullptr) {
        deleteAudioPlayer_l();
    } else if (mAudioSource != nullptr) {
        mDoomed.sourcesToStop.push_back(mAudioSource);
        mAudioSource.clear();
    }
    mAudioSwitch = sw;
    return OK;
}

status_t PlaybackEngine::finishAudioSwitch_l() {
    mLock.assertHeld();
    const AudioSwitch sw = mAudioSwitch;
    mAudioSwitch = AudioSwitch();
    // The session may have ended between the two halves.
    if (!sw.pending || mExtractor == nullptr || !(mFlags & PREPARED)) return INVALID_OPERATION;
    mAudioTrack = mExtractor->getTrack(static_cast<size_t>(sw.index));
    if (mAudioTrack == nullptr) return ERROR_OUT_OF_RANGE;
    std::string decoderName;
    int64_t durationUs = -1;
    status_t err = SourceSetup::StartAudioDecoder(mAudioTrack, &mAudioSource, &decoderName, &durationUs);
    if (err != OK) {
        VLOGE("Failed to init audio decoder: 0x%x", static_cast<unsigned>(err));
        return err;
    }
    {
        Mutex::Autolock _s(mStatsLock);
        if (mStats.audioTrackIndex >= 0) {
            mStats.tracks[static_cast<size_t>(mStats.audioTrackIndex)].decoderName = decoderName;
        }
    }
    mActiveAudioTrackIndex = sw.index;
    // Back to where playback was; a source that cannot seek goes on from where it stands.
    if (mExtractorFlags & MediaExtractor::CAN_SEEK) seekTo_l(sw.positionUs);
    if (sw.wasPlaying) play_l();
    return OK;
}

}  // namespace velmor
