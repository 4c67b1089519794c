#include "engine/SourceSetup.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "engine/DecoderRegistry.h"
#include "engine/FFMpegExtractor.h"
#include "engine/hls/HLSExtractor.h"
#include "engine/HttpDataSource.h"
#include "engine/MediaDefs.h"
#include "utils/Log.h"

#define LOG_TAG "VEL_PlaybackEngine"

namespace velmor {

namespace {

bool startsWithIgnoreCase(const char* s, const char* prefix) { return strncasecmp(s, prefix, strlen(prefix)) == 0; }
bool startsWith(const std::string& s, const char* prefix) { return s.compare(0, strlen(prefix), prefix) == 0; }

// The agent's size hint counts KiB; below this many bytes it does not limit the cache.
constexpr int64_t kMinCacheLimitBytes = 51200;
constexpr int64_t kCacheLimitSlackKiB = 50;
// A saved resume position this close to the end (seconds) is dropped.
constexpr int32_t kResumeTailSeconds = 5;
// Request headers of an HLS session: the device identity as its session id, and no caching.
const char kHlsSessionIdHeader[] = "X-Velmor-SessionId";
const char kHlsCacheControl[] = "no-cache, no-store, must-revalidate";

void takeLongerDuration(const Ref<MetaData>& format, int64_t* durationUs) {
    int64_t d;
    if (format != nullptr && format->findInt64(kKeyDuration, &d) && (*durationUs < 0 || d > *durationUs)) {
        *durationUs = d;
    }
}

std::string componentName(const Ref<MediaSource>& source, const char* fallback) {
    const char* component = nullptr;
    Ref<MetaData> format = source != nullptr ? source->getFormat() : nullptr;
    if (format == nullptr || !format->findCString(kKeyDecoderComponent, &component) || component == nullptr) {
        return fallback;
    }
    return component;
}

}  // namespace

void SourceSetup::arm() {
    Mutex::Autolock _l(mLock);
    mCancelled = false;
    mOpening.clear();
}

void SourceSetup::cancel() {
    Ref<MediaExtractor> opening;
    Ref<DataSource> connecting;
    {
        Mutex::Autolock _l(mLock);
        mCancelled = true;
        opening = mOpening;
        connecting = mConnecting;
    }
    if (connecting != nullptr) {
        VLOGI("interrupting the connection process");
        connecting->setStopFlag(DataSource::kStopFlagStop);
    }
    if (opening != nullptr) opening->setStopFlag(MediaExtractor::kStopFlagStop);
}

bool SourceSetup::cancelled() {
    Mutex::Autolock _l(mLock);
    return mCancelled;
}

void SourceSetup::track(const Ref<MediaExtractor>& extractor) {
    bool stopNow;
    {
        Mutex::Autolock _l(mLock);
        mOpening = extractor;
        stopNow = mCancelled;
    }
    // A cancel that came before the extractor existed still reaches it.
    if (stopNow && extractor != nullptr) extractor->setStopFlag(MediaExtractor::kStopFlagStop);
}

void SourceSetup::trackSource(const Ref<DataSource>& source) {
    bool stopNow;
    {
        Mutex::Autolock _l(mLock);
        mConnecting = source;
        stopNow = mCancelled;
    }
    if (stopNow && source != nullptr) source->setStopFlag(DataSource::kStopFlagStop);
}

SourceSetup::Route SourceSetup::ChooseRoute(const SourceRequest& request) {
    if (request.agent == nullptr || request.isFd || request.agent->streamKind() == "real") return Route::kFFmpegUrl;
    const std::string& uri = request.uri;
    if (startsWith(uri, "rtmp://") || startsWith(uri, "rtsp://")) return Route::kFFmpegUrl;
    if (startsWith(uri, "http://") || startsWith(uri, "https://") || startsWith(uri, "media_info://")) {
        return Route::kHttpCache;
    }
    return Route::kLocalSource;
}

void SourceSetup::startAgentSession(const SourceRequest& request, OpenedMedia* out) {
    if (request.agent == nullptr) return;
    const status_t err = request.agent->GetMediaInfo();
    out->hasAgentItem = request.agent->currentItem(&out->agentItem);
    out->wantThumbnail = err == OK && out->hasAgentItem && out->agentItem.info.thumbnail.empty();
    // A resume position in the last seconds of the content would end playback at once.
    AgentMediaInfo& info = out->agentItem.info;
    if (info.duration > 0 && info.playAt > 0 && info.duration - info.playAt <= kResumeTailSeconds) info.playAt = 0;
}

status_t SourceSetup::openHttpCache(const SourceRequest& request, OpenedMedia* out, Ref<DataSource>* source) {
    DataSource::Headers headers;
    for (const auto& [name, value] : request.headers) {
        headers.add(KeyValuePair<Text8, Text8>(Text8(name.c_str()), Text8(value.c_str())));
    }
    Text8 cacheConfig;
    bool disconnectAtHighwatermark = false;
    CachedSource::RemoveCacheSpecificHeaders(&headers, &cacheConfig, &disconnectAtHighwatermark);

    Ref<HttpDataSource> http = new HttpDataSource;
    trackSource(http);
    status_t err = http->connect(request.uri.c_str(), &headers, 0);
    trackSource(nullptr);
    if (err == OK && cancelled()) err = USER_STOP;
    if (err != OK) {
        VLOGI("mConnectingDataSource->connect() : %s returned %d", request.uri.c_str(), err);
        if (err != USER_STOP && request.agent != nullptr) {
            request.agent->GetLastPlayError();
            const status_t agentErr = request.agent->agentErrorCode();
            if (agentErr != OK) {
                VLOGI("GetLastPlayError ret %d", agentErr);
                out->serverDetail = request.agent->agentErrorMessage();
                return agentErr;
            }
        }
        return err;
    }
    startAgentSession(request, out);
    out->connected = true;

    // The agent may bound the cache for this item (a size hint in KiB).
    std::string config = cacheConfig.isEmpty() ? std::string() : std::string(cacheConfig.c_str());
    const int64_t hintKiB = out->hasAgentItem ? out->agentItem.info.bufferSize : 0;
    if (hintKiB > 0 && (hintKiB + kCacheLimitSlackKiB) * 1024 > kMinCacheLimitBytes) {
        const long long limitKiB = hintKiB + kCacheLimitSlackKiB;
        char text[64];
        snprintf(text, sizeof(text), "%lld/%lld/-1", limitKiB / 2, limitKiB);
        VLOGI("### limitSize %s", text);
        config = text;
    }
    Ref<CachedSource> cache = new CachedSource(http, config.empty() ? nullptr : config.c_str(), disconnectAtHighwatermark);
    trackSource(cache);
    cache->start();
    cache->resumeFetchingIfNecessary();
    out->cachedSource = cache;
    *source = cache;
    return OK;
}

status_t SourceSetup::open(const SourceRequest& request, OpenedMedia* out) {
    *out = OpenedMedia();
    const char* uri = request.uri.c_str();
    const bool isHls = strstr(uri, ".m3u8") != nullptr;
    if (!isHls && strstr(uri, ".mpd") != nullptr) return ERROR_UNSUPPORTED;
    // With live handling on, HLS addresses play through the engine's own HLS stack.
    if (isHls && !request.liveDisabled) {
        const status_t err = openHls(request, out);
        track(nullptr);
        return err;
    }

    Ref<DataSource> source;
    status_t err = OK;
    switch (ChooseRoute(request)) {
        case Route::kFFmpegUrl:
            break;
        case Route::kHttpCache:
            err = openHttpCache(request, out, &source);
            break;
        case Route::kLocalSource:
            source = DataSource::CreateFromURI(uri);
            if (source == nullptr) err = UNKNOWN_ERROR;
            break;
    }
    if (err == OK) err = openExtractor(request, source, out);
    trackSource(nullptr);
    track(nullptr);
    return err;
}

status_t SourceSetup::openExtractor(const SourceRequest& request, const Ref<DataSource>& source, OpenedMedia* out) {
    // Without a data source FFmpeg opens the address itself; a descriptor through its /proc entry.
    std::string url = request.uri;
    if (request.isFd) {
        char path[64];
        snprintf(path, sizeof(path), "/proc/self/fd/%d", request.fd);
        url = path;
    }
    Ref<FFMpegExtractor> extractor = new FFMpegExtractor(source);
    track(extractor);
    status_t err = source != nullptr ? extractor->initialize(nullptr, false) : extractor->initialize(url.c_str(), true);
    if (err == OK && cancelled()) err = USER_STOP;
    if (err != OK) {
        // The agent may know why its media could not be read.
        if (err != USER_STOP && request.agent != nullptr && request.agent->agentErrorCode() != OK) {
            return request.agent->agentErrorCode();
        }
        return err;
    }
    out->extractor = extractor;
    if (!out->connected) {
        out->connected = true;
        startAgentSession(request, out);
    }
    out->hasVideoStream = extractor->hasVideo();
    return startDecoders(request, extractor, out);
}

status_t SourceSetup::startDecoders(const SourceRequest& request, const Ref<MediaExtractor>& extractor, OpenedMedia* out) {
    status_t err = chooseTracks(extractor, out);
    if (err != OK) return err;
    if (out->videoTrack != nullptr) err = startVideoDecoder(static_cast<uint32_t>(request.videoDecoderFlags), out);
    if (err == OK && out->audioTrack != nullptr) {
        std::string name;
        err = StartAudioDecoder(out->audioTrack, &out->audioSource, &name, &out->durationUs);
        if (err == OK && out->audioStatIndex >= 0) out->tracks[static_cast<size_t>(out->audioStatIndex)].decoderName = name;
    }
    if (err == OK && cancelled()) err = USER_STOP;
    return err;
}

status_t SourceSetup::openHls(const SourceRequest& request, OpenedMedia* out) {
    // The agent's media information says whether the item is a time-shifted live stream.
    startAgentSession(request, out);
    const bool timeshift = out->hasAgentItem && out->agentItem.info.isLive != 0;
    // The callback names the extractor, which exists only once it is built; it is set before the
    // session starts, so the first event already sees it.
    auto self = std::make_shared<MediaExtractor*>(nullptr);
    auto onEvent = request.onStreamEvent;
    Ref<HLSExtractor> extractor = new HLSExtractor([onEvent, self](int32_t type, int32_t ext1, int32_t ext2) {
        if (onEvent) onEvent(*self, type, ext1, ext2);
    });
    *self = extractor.get();
    track(extractor);

    HLSSession::Headers headers = request.headers;
    headers[kHlsSessionIdHeader] = request.deviceGuid;
    headers["Cache-Control"] = kHlsCacheControl;
    status_t err = extractor->open(request.uri.c_str(), timeshift, "", headers);
    out->isHls = true;
    if (err == OK) err = extractor->waitUntilReady();
    if (err == OK && cancelled()) err = USER_STOP;
    out->extractor = extractor;
    if (err != OK) return err;
    out->connected = true;
    out->targetDurationUs = extractor->targetDurationUs();
    extractor->enableAdaptiveSwitching();
    err = startDecoders(request, extractor, out);
    out->hasVideoStream = out->videoTrack != nullptr;
    out->extractorFlags = extractor->flags();
    int64_t durationUs = -1;
    if (extractor->getDuration(&durationUs) == OK && durationUs >= 0) out->durationUs = durationUs;
    return err;
}

status_t SourceSetup::chooseTracks(const Ref<MediaExtractor>& extractor, OpenedMedia* out) {
    int64_t totalBitRate = 0;
    const size_t n = extractor->countTracks();
    for (size_t i = 0; i < n; ++i) {
        Ref<MetaData> meta = extractor->getTrackMetaData(i);
        int32_t bitrate;
        if (meta != nullptr && meta->findInt32(kKeyBitRate, &bitrate)) {
            totalBitRate += bitrate;
        } else {
            const char* mime = "";
            if (meta != nullptr) meta->findCString(kKeyMIMEType, &mime);
            VLOGI("track of type '%s' does not publish bitrate", mime);
            totalBitRate = -1;
            break;
        }
    }
    out->bitrate = totalBitRate;
    VLOGI("mBitrate = %lld bits/sec", static_cast<long long>(out->bitrate));

    for (size_t i = 0; i < n; ++i) {
        Ref<MetaData> meta = extractor->getTrackMetaData(i);
        if (meta == nullptr) continue;
        const char* mime = "";
        meta->findCString(kKeyMIMEType, &mime);
        VLOGI("setDataSource >>> mime '%s'", mime);
        if (out->videoTrack == nullptr && startsWithIgnoreCase(mime, "video/")) {
            out->videoTrack = extractor->getTrack(i);
            if (out->videoTrack == nullptr) continue;
            if (!meta->findInt32(kKeyDisplayWidth, &out->displayWidth)) meta->findInt32(kKeyWidth, &out->displayWidth);
            if (!meta->findInt32(kKeyDisplayHeight, &out->displayHeight)) {
                meta->findInt32(kKeyHeight, &out->displayHeight);
            }
            out->videoStatIndex = static_cast<int32_t>(out->tracks.size());
            out->tracks.push_back(TrackStat{mime, "", 0, 0});
        } else if (out->audioTrack == nullptr && startsWithIgnoreCase(mime, "audio/")) {
            out->audioTrack = extractor->getTrack(i);
            if (out->audioTrack == nullptr) continue;
            out->activeAudioTrackIndex = static_cast<int32_t>(i);
            out->audioStatIndex = static_cast<int32_t>(out->tracks.size());
            out->tracks.push_back(TrackStat{mime, "", 0, 0});
            if (!strcasecmp(mime, "audio/vorbis")) {
                Ref<MetaData> fileMeta = extractor->getMetaData();
                int32_t autoLoop = 0;
                if (fileMeta != nullptr && fileMeta->findInt32(FourCC('a', 'u', 't', 'L'), &autoLoop) && autoLoop) {
                    out->autoLoop = true;
                }
            }
        }
    }
    if (out->audioTrack == nullptr && out->videoTrack == nullptr) return ERROR_UNSUPPORTED;
    out->extractorFlags = extractor->flags();
    return OK;
}

status_t SourceSetup::startVideoDecoder(uint32_t flags, OpenedMedia* out) {
    VLOGI("initVideoDecoder flags=0x%x", flags);
    status_t err = UNKNOWN_ERROR;
    for (;;) {
        out->videoSource =
            DecoderRegistry::createDecoder(out->videoTrack->getFormat(), false, out->videoTrack, nullptr, flags);
        VLOGI("initVideoDecoder mVideoSource=0x%x",
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(out->videoSource.get())));
        if (out->videoSource == nullptr) break;
        takeLongerDuration(out->videoTrack->getFormat(), &out->durationUs);
        err = out->videoSource->start();
        if (err == OK) break;
        const std::string name = componentName(out->videoSource, "");
        VLOGI("failed to start video source '%s'", name.c_str());
        out->videoSource.clear();
        if (name.rfind("HW.", 0) != 0) return err;
        VLOGI("initVideoDecoder SoftwareCodec Re-Try");
        flags |= 1;
    }
    if (out->videoSource == nullptr) return UNKNOWN_ERROR;
    const std::string name = componentName(out->videoSource, "");
    if (out->videoStatIndex >= 0) {
        TrackStat& stat = out->tracks[static_cast<size_t>(out->videoStatIndex)];
        stat.decoderName = name;
        Ref<MetaData> format = out->videoSource->getFormat();
        if (format != nullptr) {
            format->findInt32(kKeyWidth, &stat.width);
            format->findInt32(kKeyHeight, &stat.height);
        }
    }
    out->slowDecoder = name.rfind("HW.Slow.", 0) == 0 && name.size() >= 7 &&
                       name.compare(name.size() - 7, 7, ".decode") == 0;
    return OK;
}

status_t SourceSetup::StartAudioDecoder(const Ref<MediaSource>& track, Ref<MediaSource>* source,
                                        std::string* decoderName, int64_t* durationUs) {
    Ref<MetaData> format = track->getFormat();
    const char* mime = "";
    if (format != nullptr) format->findCString(kKeyMIMEType, &mime);
    if (!strcasecmp(mime, "audio/raw")) {
        *source = track;
    } else {
        *source = DecoderRegistry::createDecoder(format, false, track);
    }
    if (*source == nullptr) {
        *decoderName = "none";
        // QCELP plays without sound rather than not at all.
        return !strcasecmp(mime, "audio/qcelp") ? OK : UNKNOWN_ERROR;
    }
    takeLongerDuration(format, durationUs);
    status_t err = (*source)->start();
    if (err != OK) {
        source->clear();
        return err;
    }
    *decoderName = componentName(*source, "none");
    return OK;
}

}  // namespace velmor
