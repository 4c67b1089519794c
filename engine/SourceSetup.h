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
// mLock guards mOpening, mConnecting and mCancelled; it is never held across a blocking call.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/PlayerAgent.h"
#include "engine/CachedSource.h"
#include "engine/DataSource.h"
#include "engine/MediaExtractor.h"
#include "engine/MediaSource.h"
#include "utils/Mutex.h"
#include "utils/RefCounted.h"

namespace velmor {

// What a prepare opens: copied from the engine under its lock.
struct SourceRequest {
    std::string uri;
    std::map<std::string, std::string> headers;
    int32_t fd = -1;
    bool isFd = false;
    bool liveDisabled = false;
    int32_t videoDecoderFlags = 0;
    // The agent session the address came from; null when the host gave the address itself.
    std::shared_ptr<PlayerAgent> agent;
    // The device identity, sent to HLS servers as the session id.
    std::string deviceGuid;
    // Events of an HLS session after its set-up (its extractor's thread): (type, ext1, ext2).
    std::function<void(MediaExtractor* extractor, int32_t type, int32_t ext1, int32_t ext2)> onStreamEvent;
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
    Ref<CachedSource> cachedSource;  // the page cache of an HTTP address, else null
    bool connected = false;  // the address was opened (the host hears MEDIA_INFO 7)
    // The agent's media information for the item, when the agent session has one.
    bool hasAgentItem = false;
    AgentItem agentItem;
    // The agent item has no thumbnail yet: the engine keeps asking for one.
    bool wantThumbnail = false;
    // The agent's explanation of a failed connect (its last play error message).
    std::string serverDetail;
    bool autoLoop = false;   // a Vorbis track whose file asks for looping
    bool hasVideoStream = false;
    bool slowDecoder = false;
    std::vector<TrackStat> tracks;
    int32_t videoStatIndex = -1;
    int32_t audioStatIndex = -1;
    // The engine's own HLS stack plays the address; its playlists' target duration.
    bool isHls = false;
    int64_t targetDurationUs = 0;
};

class SourceSetup {
public:
    void arm();
    void cancel();
    bool cancelled();
    // Opens the request's address and starts its decoders. On failure *out holds whatever was
    // built (its started decoders must be stopped) and the status says why: ERROR_UNSUPPORTED for
    // a DASH address or nothing playable, USER_STOP when cancelled, the agent's error when the
    // agent explains the failure, else the connect, extractor or decoder status.
    //
    // Routes: without an agent session, or for the agent's "real" streams, FFmpeg opens the
    // address itself. In an agent session an http(s):// address is read through HttpDataSource +
    // CachedSource, rtmp:// and rtsp:// go to FFmpeg, and anything else is a local DataSource.
    status_t open(const SourceRequest& request, OpenedMedia* out);

    // The decoder factory over one audio track, started; used by preparation and by an audio
    // track switch. Null *source when the track plays without a decoder (QCELP).
    static status_t StartAudioDecoder(const Ref<MediaSource>& track, Ref<MediaSource>* source,
                                      std::string* decoderName, int64_t* durationUs);

private:
    enum class Route { kFFmpegUrl, kHttpCache, kLocalSource };
    static Route ChooseRoute(const SourceRequest& request);

    // Publishes the extractor being opened so cancel() reaches it.
    void track(const Ref<MediaExtractor>& extractor);
    // Publishes the data source being connected so cancel() reaches it.
    void trackSource(const Ref<DataSource>& source);
    // The HTTP route up to a started cache: connect, the agent session, the cache.
    status_t openHttpCache(const SourceRequest& request, OpenedMedia* out, Ref<DataSource>* source);
    // Opens the extractor over `source` (or FFmpeg over the address when source is null).
    status_t openExtractor(const SourceRequest& request, const Ref<DataSource>& source, OpenedMedia* out);
    // An HLS address through the engine's own session and transport stream parser; returns once
    // the session has found the tracks (or failed, or was cancelled).
    status_t openHls(const SourceRequest& request, OpenedMedia* out);
    // Tracks and started decoders of an opened extractor.
    status_t startDecoders(const SourceRequest& request, const Ref<MediaExtractor>& extractor, OpenedMedia* out);
    // Fetches the agent's media information for the item (which starts its position reports).
    static void startAgentSession(const SourceRequest& request, OpenedMedia* out);
    status_t chooseTracks(const Ref<MediaExtractor>& extractor, OpenedMedia* out);
    status_t startVideoDecoder(uint32_t flags, OpenedMedia* out);

    Mutex mLock;
    // --- Guarded by mLock.
    Ref<MediaExtractor> mOpening;
    Ref<DataSource> mConnecting;
    bool mCancelled = false;
};

}  // namespace velmor
