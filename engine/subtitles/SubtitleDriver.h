// Owns the subtitle sources of one subtitle track set (one source per added track) and a
// SubtitlePlayer, and maps the engine's play, pause, seek and track selection onto the player.
//
// The engine keeps two drivers: the primary one reports cues as MEDIA_TIMED_TEXT (99), the
// secondary one as 101. Track indexes are the engine's: the extractor's tracks come first, then
// the driver's, numbered in the order they were added.
//
// States: uninitialised (no track selected) -> prepared (selectTrack) -> playing (start) <->
// paused (pause / start). Unselecting the current track returns to uninitialised; a seek in the
// prepared state leaves the driver paused.
//
// Threads: every operation may be called from any engine thread (the host's calls under the
// engine lock, the playback queue, the caption download thread); each takes mLock, which guards
// every field below, and only posts to the player, so none blocks on the player's work. The
// player runs on the "SubtitleDriver" looper this driver owns. Destruction stops that looper
// (joining its thread) and must not happen under a lock the player's thread takes (the engine's
// position lock, the front's notification lock).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/foundation/Looper.h"
#include "engine/subtitles/SubtitlePlayer.h"
#include "engine/subtitles/SubtitleSource.h"
#include "utils/Containers.h"
#include "utils/Mutex.h"
#include "utils/Payload.h"

namespace velmor {

class PlayerFront;

class SubtitleDriver : public RefCounted {
public:
    SubtitleDriver(const WeakRef<PlayerFront>& listener, bool secondary);

    status_t start();
    status_t pause();
    status_t selectTrack(int32_t index);
    status_t unselectTrack(int32_t index);
    status_t seekToAsync(int64_t timeUs);
    status_t setTimeOffset(int64_t offsetUs);
    // Playback speed (1.0 normal) so cues are scheduled in real time.
    void setPlaybackRate(double rate);

    // No subtitle format inside containers is read: ERROR_UNSUPPORTED.
    status_t addInBandTextSource(int32_t trackIndex, const Ref<RefCounted>& mediaSource);
    // `uri` must be "file://PATH" (any letter case of the scheme); the file is read whole and
    // its reader picked by content. ERROR_UNSUPPORTED when the address, the file or its format
    // is not usable; nothing is added then.
    status_t addOutOfBandTextSource(int32_t trackIndex, const char* uri);

    int32_t countExternalTracks();
    // Appends (2, 3, language) per external track.
    status_t getTrackInfo(Payload* payload);

protected:
    ~SubtitleDriver() override;

private:
    enum State : int32_t { kUninitialized = 0, kPrepared = 1, kPlaying = 2, kPaused = 3 };
    enum SourceKind : int32_t { kInBand = 0, kOutOfBand = 1 };

    status_t selectTrack_l(int32_t index);

    Mutex mLock;
    Ref<Looper> mLooper;                 // set in the constructor, then immutable
    Ref<SubtitlePlayer> mPlayer;         // set in the constructor, then immutable
    State mState = kUninitialized;       // (mLock)
    int32_t mCurrentTrackIndex = -1;     // (mLock) -1: none
    // Sources by track index, in the order added. (mLock)
    std::vector<std::pair<int32_t, Ref<SubtitleSource>>> mTextSourceMap;
    std::vector<SourceKind> mTextSourceTypeVector;  // (mLock) parallel to mTextSourceMap
    std::vector<std::string> mTextSourceLanguages;  // (mLock) parallel to mTextSourceMap
};

}  // namespace velmor
