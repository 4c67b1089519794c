// Preparation's source set-up: opens the address of one session and builds its pipeline (the
// extractor, the chosen audio and video tracks, and their started decoders).
//
// Opening an address can block for as long as a server or a FIFO stays silent, and starting the
// video decoder decodes the first picture, so open() runs on the engine's playback queue thread
// WITHOUT the engine's main lock. The engine installs the result under its lock afterwards, or
// discards it when the session was cancelled meanwhile.
//
// Threads:
// - arm(): the engine, under its main lock, when a prepare is posted.
// - open(): the engine's playback queue thread, no engine lock held.
// - cancel(): any thread at any time, before the caller takes the engine's lock (a host ending the
//   session). It raises the stop flag of the extractor being opened, or of the next one open()
//   creates, so a blocked open or read returns promptly.
// mLock guards mOpening and mCancelled; it is never held across a blocking call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/MediaExtractor.h"
#include "engine/MediaSource.h"
#include "utils/Mutex.h"
#include "utils/RefCounted.h"

namespace velmor {

// What a prepare opens: copied from the engine under its lock.
struct SourceRequest {
    std::string uri;
    int32_t fd = -1;
    bool isFd = false;
    bool liveDisabled = false;
    int32_t videoDecoderFlags = 0;
};

// One track's line in the engine's statistics.
struct TrackStat {
    std::string mime;
    std::string decoderName;
    int32_t width = 0;
    int32_t height = 0;
};

// The pipeline open() built; the engine installs it, or stops its decoders when it is not wanted.
struct OpenedMedia {
    Ref<MediaExtractor> extractor;
    Ref<MediaSource> videoTrack;
    Ref<MediaSource> audioTrack;
    Ref<MediaSource> videoSource;  // started decoder
    Ref<MediaSource> audioSource;  // started decoder (or the track itself for raw PCM)
    int32_t activeAudioTrackIndex = -1;
    int32_t displayWidth = 0;
    int32_t displayHeight = 0;
    int64_t bitrate = -1;
    int64_t durationUs = -1;
    uint32_t extractorFlags = 0;
    bool connected = false;  // the address was opened (the host hears MEDIA_INFO 7)
    bool autoLoop = false;   // a Vorbis track whose file asks for looping
    bool hasVideoStream = false;
    bool slowDecoder = false;
    std::vector<TrackStat> tracks;
    int32_t videoStatIndex = -1;
    int32_t audioStatIndex = -1;
};

class SourceSetup {
public:
    void arm();
    void cancel();
    bool cancelled();
    // Opens the request's address and starts its decoders. On failure *out holds whatever was
    // built (its started decoders must be stopped) and the status says why: ERROR_UNSUPPORTED for a DASH address or
    // nothing playable, USER_STOP when cancelled, else the extractor's or decoder's status.
    status_t open(const SourceRequest& request, OpenedMedia* out);

    // The decoder factory over one audio track, started; used by preparation and by an audio
    // track switch. Null *source when the track plays without a decoder (QCELP).
    static status_t StartAudioDecoder(const Ref<MediaSource>& track, Ref<MediaSource>* source,
                                      std::string* decoderName, int64_t* durationUs);

private:
    // Publishes the extractor being opened so cancel() reaches it.
    void track(const Ref<MediaExtractor>& extractor);
    status_t chooseTracks(const Ref<MediaExtractor>& extractor, OpenedMedia* out);
    status_t startVideoDecoder(uint32_t flags, OpenedMedia* out);

    Mutex mLock;
    // --- Guarded by mLock.
    Ref<MediaExtractor> mOpening;
    bool mCancelled = false;
};

}  // namespace velmor
