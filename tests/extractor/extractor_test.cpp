// FFMpegExtractor over every generated fixture: opened through a FileSource (readers fetch) and
// from a URL (the looper fetches), track descriptions, reading to the end, the seek modes, a stop
// while a reader waits for the fetcher, the key-frame request, subtitle packets and broken files.
// Below them, the data sources: FileSource, MemFileSource, CreateFromURI, sniffing and Create.
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "engine/DataSource.h"
#include "engine/FFMpegExtractor.h"
#include "engine/FileSource.h"
#include "engine/MediaDefs.h"
#include "engine/MediaExtractor.h"
#include "engine/MemFileSource.h"
#include "support/Media.h"
#include "support/Nginx.h"

using namespace velmor;
using qvtest::mediaPath;
using qvtest::readWholeFile;
using Clock = std::chrono::steady_clock;
using SeekMode = MediaSource::ReadOptions::SeekMode;

namespace {

enum class Open { kFileSource, kMemFileSource, kUrl, kHttpCache };

const char* openName(Open how) {
    switch (how) {
        case Open::kFileSource: return "FileSource";
        case Open::kMemFileSource: return "MemFileSource";
        case Open::kUrl: return "URL";
        case Open::kHttpCache: return "HttpCache";
    }
    return "";
}

// A fixture opened from its address (the looper fetches) or through a data source (readers fetch).
status_t openMedia(const std::string& name, Open how, Ref<FFMpegExtractor>* extractor) {
    const std::string path = mediaPath(name);
    Ref<DataSource> source;
    if (how == Open::kFileSource) source = new FileSource(path.c_str());
    if (how == Open::kMemFileSource) source = new MemFileSource(path.c_str());
    // Over HTTP from nginx, through the page cache.
    if (how == Open::kHttpCache) source = DataSource::CreateFromURI(qvtest::nginxUrl(name).c_str());
    if (how != Open::kUrl && source == nullptr) return NO_INIT;
    *extractor = new FFMpegExtractor(source);
    return how == Open::kUrl ? (*extractor)->initialize(path.c_str(), true) : (*extractor)->initialize(nullptr, false);
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string mimeOf(const Ref<MetaData>& meta) {
    const char* mime = nullptr;
    return meta != nullptr && meta->findCString(kKeyMIMEType, &mime) ? mime : "";
}

int64_t timeOf(MediaBuffer* buffer) {
    int64_t t = INT64_MIN;
    buffer->meta_data()->findInt64(kKeyTime, &t);
    return t;
}

// Reads one buffer; returns the status and, on success, the time and the payload.
status_t readOne(const Ref<MediaSource>& source, int64_t* timeUs, std::string* payload = nullptr,
                 const MediaSource::ReadOptions* options = nullptr) {
    MediaBuffer* buffer = nullptr;
    status_t err = source->read(&buffer, options);
    if (err != OK) return err;
    *timeUs = timeOf(buffer);
    if (payload != nullptr) {
        payload->assign(static_cast<const char*>(buffer->data()) + buffer->range_offset(), buffer->range_length());
    }
    buffer->release();
    return OK;
}

status_t seekAndRead(const Ref<MediaSource>& source, int64_t targetUs, SeekMode mode, int64_t* timeUs) {
    MediaSource::ReadOptions options;
    options.setSeekTo(targetUs, mode);
    return readOne(source, timeUs, nullptr, &options);
}

// Tracks 0 (video) and 1 (audio) of a fixture, both started.
status_t startVideoAndAudio(const Ref<FFMpegExtractor>& extractor, Ref<MediaSource>* video, Ref<MediaSource>* audio) {
    *video = extractor->getTrack(0);
    *audio = extractor->getTrack(1);
    status_t err = (*video)->start();
    return err == OK ? (*audio)->start() : err;
}

// Polls the cached duration until more than thresholdUs is queued, the input ended or timeout
// passed; returns the first failing status.
status_t waitForQueued(const Ref<FFMpegExtractor>& extractor, int64_t thresholdUs, std::chrono::seconds timeout,
                       int64_t* queued, bool* eos) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        status_t err = extractor->getCachedDuration(queued, eos);
        if (err != OK) return err;
        if (*queued > thresholdUs || *eos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return OK;
}

struct TrackExpect {
    const char* mime;
    int32_t width;       // video
    int32_t height;
    int32_t sampleRate;  // audio
    int32_t channels;
};

struct FixtureExpect {
    const char* name;
    int64_t durationUs;
    std::vector<TrackExpect> tracks;
};

const TrackExpect kAvc320{"video/avc", 320, 240, 0, 0};
const TrackExpect kAac{"audio/mp4a-latm", 0, 0, 44100, 2};

const std::vector<FixtureExpect>& fixtures() {
    static const std::vector<FixtureExpect> all = {
        {"h264_aac.mp4", 8000000, {kAvc320, kAac}},
        {"hevc_aac.mkv", 2000000, {{"video/ffmpeg", 320, 240, 0, 0}, kAac}},
        {"mpeg4_mp3.avi", 2000000, {{"video/mp4v-es", 320, 240, 0, 0}, {"audio/mpeg", 0, 0, 44100, 2}}},
        {"vp8_vorbis.webm", 2000000, {{"video/x-vnd.on2.vp8", 320, 240, 0, 0}, {"audio/vorbis", 0, 0, 44100, 2}}},
        {"h264_aac.ts", 2000000, {kAvc320, kAac}},
        {"h264_aac.flv", 2000000, {kAvc320, kAac}},
        {"audio.flac", 2000000, {{"audio/flac", 0, 0, 44100, 2}}},
        {"audio.wav", 2000000, {{"audio/ffmpeg", 0, 0, 44100, 2}}},
        {"audio_mono.m4a", 2000000, {{"audio/mp4a-latm", 0, 0, 22050, 1}}},
        {"audio_51.m4a", 2000000, {{"audio/mp4a-latm", 0, 0, 48000, 6}}},
        {"audio_51.flac", 2000000, {{"audio/flac", 0, 0, 48000, 6}}},
        {"video_only.mp4", 2000000, {kAvc320}},
        {"multi_track.mkv", 4000000, {kAvc320, kAac, kAac, {"text/caption", 0, 0, 0, 0}}},
        {"size_change.ts", 4000000, {kAvc320, kAac}},
        {"rotated.mp4", 2000000, {kAvc320, kAac}},
        {"short_3s.mp4", 3000000, {kAvc320, kAac}},
        {"hd720.mp4", 5000000, {{"video/avc", 1280, 720, 0, 0}, kAac}},
        {"demo.mp4", 10000000, {{"video/avc", 640, 360, 0, 0}, kAac}},
        {"big_1080p.mp4", 60000000, {{"video/avc", 1920, 1080, 0, 0}, kAac}},
    };
    return all;
}

void checkTracks(const FixtureExpect& fx, const Ref<FFMpegExtractor>& extractor) {
    ASSERT_EQ(fx.tracks.size(), extractor->countTracks());
    bool anyVideo = false;
    for (size_t i = 0; i < fx.tracks.size(); ++i) {
        SCOPED_TRACE(i);
        const TrackExpect& t = fx.tracks[i];
        Ref<MetaData> meta = extractor->getTrackMetaData(i);
        ASSERT_NE(nullptr, meta);
        EXPECT_EQ(t.mime, mimeOf(meta));
        int32_t v = 0, maxInput = 0;
        ASSERT_TRUE(meta->findInt32(kKeyMaxInputSize, &maxInput));
        if (!isVideoMime(t.mime) && !isAudioMime(t.mime)) {
            EXPECT_EQ(1024, maxInput);
            ASSERT_TRUE(meta->findInt32(kKeySubtitleTrack, &v));
            EXPECT_EQ(1, v);
            continue;
        }
        int64_t duration = 0;
        ASSERT_TRUE(meta->findInt64(kKeyDuration, &duration));
        EXPECT_NEAR(fx.durationUs, duration, 150000);
        void* ctx = nullptr;
        ASSERT_TRUE(meta->findPointer(kKeyCodecContext, &ctx));
        ASSERT_NE(nullptr, ctx);
        const auto* codec = static_cast<const AVCodecContext*>(ctx);
        const bool video = isVideoMime(t.mime);
        anyVideo |= video;
        ASSERT_TRUE(meta->findInt32(video ? kKeyVideoCodecId : kKeySoundCodecId, &v));
        EXPECT_EQ(codec->codec_id, v);
        if (video) {
            EXPECT_EQ(t.width * t.height, maxInput);
            EXPECT_EQ(t.width, codec->width);
            ASSERT_TRUE(meta->findInt32(kKeyWidth, &v));
            EXPECT_EQ(t.width, v);
            ASSERT_TRUE(meta->findInt32(kKeyHeight, &v));
            EXPECT_EQ(t.height, v);
        } else {
            EXPECT_EQ(102400, maxInput);
            ASSERT_TRUE(meta->findInt32(kKeySampleRate, &v));
            EXPECT_EQ(t.sampleRate, v);
            ASSERT_TRUE(meta->findInt32(kKeyChannelCount, &v));
            EXPECT_EQ(t.channels, v);
        }
    }
    EXPECT_EQ(anyVideo, extractor->hasVideo());
    EXPECT_EQ(nullptr, extractor->getTrack(fx.tracks.size()));
    EXPECT_EQ(nullptr, extractor->getTrackMetaData(fx.tracks.size()));
}

struct TrackRead {
    int packets = 0;
    int64_t firstUs = INT64_MIN;
    int64_t lastUs = INT64_MIN;
    int64_t bytes = 0;
    uint64_t digest = 14695981039346656037ull;  // FNV-1a over every payload and time
    status_t end = OK;
    bool operator==(const TrackRead&) const = default;
};

// Reads every track to its end, one buffer from each in turn.
std::vector<TrackRead> readAll(const Ref<FFMpegExtractor>& extractor) {
    const size_t n = extractor->countTracks();
    std::vector<Ref<MediaSource>> sources;
    std::vector<TrackRead> result(n);
    for (size_t i = 0; i < n; ++i) {
        sources.push_back(extractor->getTrack(i));
        EXPECT_EQ(OK, sources[i]->start());
    }
    size_t done = 0;
    while (done < n) {
        for (size_t i = 0; i < n; ++i) {
            TrackRead& r = result[i];
            if (r.end != OK) continue;
            MediaBuffer* buffer = nullptr;
            status_t err = sources[i]->read(&buffer);
            if (err != OK) {
                r.end = err;
                ++done;
                continue;
            }
            int64_t t = timeOf(buffer);
            EXPECT_NE(INT64_MIN, t) << "track " << i << " packet " << r.packets;
            if (r.packets == 0) r.firstUs = t;
            EXPECT_GE(t, r.lastUs) << "track " << i << " packet " << r.packets;
            r.lastUs = t;
            EXPECT_LE(buffer->range_offset() + buffer->range_length(), buffer->size());
            r.bytes += static_cast<int64_t>(buffer->range_length());
            const auto* p = static_cast<const uint8_t*>(buffer->data()) + buffer->range_offset();
            for (size_t k = 0; k < buffer->range_length(); ++k) r.digest = (r.digest ^ p[k]) * 1099511628211ull;
            r.digest = (r.digest ^ static_cast<uint64_t>(t)) * 1099511628211ull;
            ++r.packets;
            buffer->release();
        }
    }
    for (auto& s : sources) s->stop();
    return result;
}

class EveryFixture : public ::testing::TestWithParam<Open> {};

}  // namespace

TEST_P(EveryFixture, DescribesAndReadsToTheEnd) {
    const Open how = GetParam();
    for (const FixtureExpect& fx : fixtures()) {
        // The 60 s clip is paced by the fetch loop when opened from a URL; once is enough.
        if (how != Open::kFileSource && strcmp(fx.name, "big_1080p.mp4") == 0) continue;
        SCOPED_TRACE(std::string(fx.name) + " via " + openName(how));
        REQUIRE_MEDIA(fx.name);
        Ref<FFMpegExtractor> extractor;
        ASSERT_EQ(OK, openMedia(fx.name, how, &extractor));
        EXPECT_EQ(how == Open::kUrl, extractor->isAsynchronous());
        // Local files seek, however they are opened and however short.
        EXPECT_EQ(15u, extractor->flags());
        checkTracks(fx, extractor);
        if (HasFatalFailure()) return;

        std::vector<TrackRead> reads = readAll(extractor);
        for (size_t i = 0; i < reads.size(); ++i) {
            SCOPED_TRACE(i);
            const TrackRead& r = reads[i];
            EXPECT_EQ(ERROR_END_OF_STREAM, r.end);
            EXPECT_GT(r.packets, 0);
            EXPECT_GT(r.bytes, 0);
            if (strcmp(fx.tracks[i].mime, "text/caption") == 0) continue;
            // Every audio and video stream starts at 0 and ends near the file's duration.
            EXPECT_EQ(0, r.firstUs);
            EXPECT_LE(r.lastUs, fx.durationUs + 100000);
            EXPECT_GE(r.lastUs, fx.durationUs - 600000);
        }
        // Through the cache over HTTP: the very packets a local file gives.
        if (how == Open::kHttpCache) {
            Ref<FFMpegExtractor> local;
            ASSERT_EQ(OK, openMedia(fx.name, Open::kFileSource, &local));
            EXPECT_TRUE(readAll(local) == reads);
        }
        int64_t queued = -1;
        bool eos = false;
        ASSERT_EQ(OK, extractor->getCachedDuration(&queued, &eos));
        EXPECT_TRUE(eos);
        EXPECT_EQ(0, queued);
        // After the end, a seek in a sound-only file lands near its target, forwards and back.
        if (extractor->hasVideo()) continue;
        Ref<MediaSource> audio = extractor->getTrack(0);
        ASSERT_EQ(OK, audio->start());
        for (int64_t target : {int64_t(1000000), int64_t(200000)}) {
            int64_t t = 0;
            ASSERT_EQ(OK, seekAndRead(audio, target, SeekMode::SeekClosestSync, &t)) << target;
            EXPECT_NEAR(static_cast<double>(target), static_cast<double>(t), 300000.0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Opened, EveryFixture,
                         ::testing::Values(Open::kFileSource, Open::kMemFileSource, Open::kUrl, Open::kHttpCache),
                         [](const ::testing::TestParamInfo<Open>& info) { return std::string(openName(info.param)); });

TEST(FFMpegExtractor, StreamDetailsAndStyledSubtitles) {
    for (const char* name : {"h264_aac.mp4", "h264_aac.ts", "multi_track.mkv", "rotated.mp4"}) REQUIRE_MEDIA(name);
    Ref<FFMpegExtractor> mp4, ts, rotated, mkv;
    ASSERT_EQ(OK, openMedia("h264_aac.mp4", Open::kFileSource, &mp4));
    uint32_t type;
    const void* data;
    size_t size;
    Ref<MetaData> video = mp4->getTrackMetaData(0);
    ASSERT_TRUE(video->findData(kKeyAVCC, &type, &data, &size));
    EXPECT_EQ(1, static_cast<const uint8_t*>(data)[0]);  // AVC configuration record version
    EXPECT_FALSE(video->hasData(kKeyRotationDegrees));
    int32_t fps = 0, profile = 0;
    EXPECT_TRUE(video->findInt32(kKeyFrameRate, &fps) && fps == 25) << fps;
    EXPECT_TRUE(video->findInt32(kKeyProfile, &profile));
    Ref<MetaData> audio = mp4->getTrackMetaData(1);
    ASSERT_TRUE(audio->findData(kKeyRawCodecSpecificInfo, &type, &data, &size));
    ASSERT_GE(size, 2u);  // AudioSpecificConfig: AAC-LC, 44.1 kHz, stereo
    EXPECT_EQ(2, static_cast<const uint8_t*>(data)[0] >> 3);
    EXPECT_EQ(0, mp4->getMetaData()->countEntries());
    EXPECT_EQ(INVALID_OPERATION, mp4->initialize(nullptr, false));

    // Transport streams carry no AVC record; whatever configuration they have is Annex B.
    ASSERT_EQ(OK, openMedia("h264_aac.ts", Open::kFileSource, &ts));
    Ref<MetaData> tsVideo = ts->getTrackMetaData(0);
    EXPECT_FALSE(tsVideo->hasData(kKeyAVCC));
    if (tsVideo->findData(kKeyRawCodecSpecificInfo, &type, &data, &size)) {
        ASSERT_GE(size, 4u);
        const uint8_t* b = static_cast<const uint8_t*>(data);
        EXPECT_TRUE((b[0] == 0 && b[1] == 0 && b[2] == 1) || (b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] == 1));
    }

    ASSERT_EQ(OK, openMedia("rotated.mp4", Open::kFileSource, &rotated));
    int32_t degrees = -1;
    ASSERT_TRUE(rotated->getTrackMetaData(0)->findInt32(kKeyRotationDegrees, &degrees));
    // The fixture's matrix turns 90 degrees counter-clockwise: a clockwise rotation of 270.
    EXPECT_EQ(270, degrees);

    ASSERT_EQ(OK, openMedia("multi_track.mkv", Open::kFileSource, &mkv));
    ASSERT_EQ(4u, mkv->countTracks());
    const char* lang = nullptr;
    for (size_t i : {1, 2, 3}) {
        ASSERT_TRUE(mkv->getTrackMetaData(i)->findCString(kKeyLanguage, &lang));
        EXPECT_STREQ(i == 2 ? "fre" : "eng", lang);
    }

    // Subtitle packets are styled text.
    Ref<MediaSource> text = mkv->getTrack(3);
    ASSERT_EQ("text/caption", mimeOf(text->getFormat()));
    ASSERT_EQ(OK, text->start());
    const std::string style =
        "<STYLE TYPE=\"text/css\">\r\n<!--\r\nP { margin-left:2pt; margin-right:2pt; margin-bottom:1pt;\r\n"
        "    margin-top:1pt; font-size:%dpt; text-align:center;\r\n    font-family:serif; font-weight:bold; "
        "color:#%06x;\r\n    -webkit-text-stroke-color: #%06x;\r\n    -webkit-text-stroke-width: %1.1fpt;\r\n}\r\n"
        "-->\r\n</STYLE>\r\n";
    int64_t t = 0;
    std::string payload;
    ASSERT_EQ(OK, readOne(text, &t, &payload));
    // Subtitle times are the container's own (here shifted by the AAC priming of 23 ms).
    EXPECT_GE(t, 500000);
    EXPECT_LE(t, 530000);
    EXPECT_EQ(style + "<P>First line<BR>second line" + std::string(1, '\0'), payload);
    ASSERT_EQ(OK, readOne(text, &t, &payload));
    EXPECT_GE(t, 2000000);
    EXPECT_LE(t, 2030000);
    EXPECT_EQ(style + "<P>Another cue" + std::string(1, '\0'), payload);
    EXPECT_EQ(ERROR_END_OF_STREAM, readOne(text, &t, &payload));
}

class SeekModes : public ::testing::TestWithParam<Open> {};

TEST_P(SeekModes, ReadingResumesWhereTheModeSays) {
    REQUIRE_MEDIA("h264_aac.mp4");
    // 8 s, 25 fps, a key frame every second.
    Ref<FFMpegExtractor> extractor;
    ASSERT_EQ(OK, openMedia("h264_aac.mp4", GetParam(), &extractor));
    ASSERT_EQ(15u, extractor->flags());
    Ref<MediaSource> video, audio;
    ASSERT_EQ(OK, startVideoAndAudio(extractor, &video, &audio));
    int64_t t = 0;
    for (int i = 0; i < 10; ++i) ASSERT_EQ(OK, readOne(video, &t));
    EXPECT_EQ(360000, t);

    // Closest sync: the key frame at or before the target.
    ASSERT_EQ(OK, seekAndRead(video, 5500000, SeekMode::SeekClosestSync, &t));
    EXPECT_EQ(5000000, t);
    int64_t a = 0;
    ASSERT_EQ(OK, readOne(audio, &a));
    EXPECT_GE(a, 4000000);
    EXPECT_LE(a, 5600000);

    // Closest: nothing before the target reaches the reader, on either track.
    ASSERT_EQ(OK, seekAndRead(video, 3300000, SeekMode::SeekClosest, &t));
    EXPECT_GE(t, 3300000);
    EXPECT_LT(t, 3400000);
    ASSERT_EQ(OK, seekAndRead(audio, 3300000, SeekMode::SeekClosest, &a));
    EXPECT_GE(a, 3300000);
    EXPECT_LT(a, 3400000);

    // Next sync: skip ahead to the following key frame.
    ASSERT_EQ(OK, seekAndRead(video, 0, SeekMode::SeekNextSync, &t));
    EXPECT_EQ(4000000, t);

    // Previous sync asks nothing of the source: reading goes on.
    int64_t before = t;
    ASSERT_EQ(OK, seekAndRead(video, 1000000, SeekMode::SeekPreviousSync, &t));
    EXPECT_EQ(before + 40000, t);

    // Backwards.
    ASSERT_EQ(OK, seekAndRead(video, 1200000, SeekMode::SeekClosestSync, &t));
    EXPECT_EQ(1000000, t);
    ASSERT_EQ(OK, readOne(video, &t));
    EXPECT_EQ(1040000, t);

    // Past the end, then back to the start.
    EXPECT_EQ(ERROR_END_OF_STREAM, seekAndRead(video, 10000000, SeekMode::SeekClosest, &t));
    ASSERT_EQ(OK, seekAndRead(video, 0, SeekMode::SeekClosestSync, &t));
    EXPECT_EQ(0, t);
    ASSERT_EQ(OK, readOne(audio, &a));
    EXPECT_LT(a, 300000);
}

INSTANTIATE_TEST_SUITE_P(Opened, SeekModes, ::testing::Values(Open::kFileSource, Open::kUrl, Open::kHttpCache),
                         [](const ::testing::TestParamInfo<Open>& info) { return std::string(openName(info.param)); });

TEST(FFMpegExtractor, KeyFrameRequest) {
    REQUIRE_MEDIA("h264_aac.mp4");
    Ref<FFMpegExtractor> extractor;
    ASSERT_EQ(OK, openMedia("h264_aac.mp4", Open::kUrl, &extractor));
    Ref<MediaSource> video, audio;
    ASSERT_EQ(OK, startVideoAndAudio(extractor, &video, &audio));
    int64_t t = 0;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(OK, readOne(video, &t));
    // Let the looper queue more than a second of video.
    int64_t queued = 0;
    bool eos = false;
    ASSERT_EQ(OK, waitForQueued(extractor, 1500000, std::chrono::seconds(20), &queued, &eos));
    ASSERT_GT(queued, 1500000);

    ASSERT_EQ(OK, extractor->setOnlyKeyFrame());
    EXPECT_EQ(INVALID_OPERATION, extractor->setOnlyKeyFrame());
    // The queued frames up to the next key frame are gone.
    ASSERT_EQ(OK, readOne(video, &t));
    EXPECT_EQ(1000000, t);
    // Delivering a key frame ends the request.
    EXPECT_EQ(OK, extractor->setOnlyKeyFrame());
    int64_t a = 0;
    ASSERT_EQ(OK, readOne(audio, &a));  // audio packets are key packets too
    EXPECT_EQ(OK, extractor->setOnlyKeyFrame());
}

TEST(FFMpegExtractor, StopReleasesReaderWaitingForTheFetcher) {
    REQUIRE_MEDIA("big_1080p.mp4");
    Ref<FFMpegExtractor> extractor;
    ASSERT_EQ(OK, openMedia("big_1080p.mp4", Open::kUrl, &extractor));
    Ref<MediaSource> video, audio;
    ASSERT_EQ(OK, startVideoAndAudio(extractor, &video, &audio));

    // Only the audio is consumed: the video queue grows past 8 s and the fetcher slows to one
    // packet per half second, so the audio reader ends up waiting for it.
    std::atomic<status_t> result{OK};
    std::atomic<bool> finished{false};
    std::thread reader([&] {
        int64_t t;
        status_t err;
        while ((err = readOne(audio, &t)) == OK) {}
        result = err;
        finished = true;
    });
    int64_t queued = 0;
    bool eos = false;
    ASSERT_EQ(OK, waitForQueued(extractor, 8000000, std::chrono::seconds(60), &queued, &eos));
    EXPECT_GT(queued, 8000000);
    EXPECT_FALSE(eos);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(finished.load());

    const auto stopAt = Clock::now();
    extractor->setStopFlag(MediaExtractor::kStopFlagStop);
    reader.join();
    EXPECT_LT(seconds(Clock::now() - stopAt), 5.0);
    EXPECT_EQ(USER_STOP, result.load());
    ASSERT_EQ(OK, extractor->getCachedDuration(&queued, &eos));
    EXPECT_TRUE(eos);
}

TEST(FFMpegExtractor, BrokenFilesFailWithoutHanging) {
    for (const char* name : {"empty.mp4", "truncated.mp4"}) {
        REQUIRE_MEDIA(name);
        for (Open how : {Open::kFileSource, Open::kMemFileSource, Open::kUrl}) {
            SCOPED_TRACE(std::string(name) + " via " + openName(how));
            const auto start = Clock::now();
            Ref<FFMpegExtractor> extractor;
            const status_t status = openMedia(name, how, &extractor);
            // libavformat's own status: invalid data, or the end of an empty input.
            EXPECT_TRUE(status == AVERROR_INVALIDDATA || status == AVERROR_EOF) << status;
            EXPECT_EQ(0u, extractor->countTracks());
            EXPECT_EQ(nullptr, extractor->getTrack(0));
            EXPECT_EQ(0u, extractor->flags());
            int64_t d = 0;
            bool eos = false;
            EXPECT_EQ(INVALID_OPERATION, extractor->getCachedDuration(&d, &eos));
            extractor.clear();
            EXPECT_LT(seconds(Clock::now() - start), 5.0);
        }
    }
    // A missing address.
    Ref<FFMpegExtractor> missing = new FFMpegExtractor(nullptr);
    EXPECT_EQ(AVERROR(ENOENT), missing->initialize(mediaPath("no-such-file.mkv").c_str(), true));

    // Cut in the middle: opens, then ends early.
    REQUIRE_MEDIA("truncated.mkv");
    for (Open how : {Open::kFileSource, Open::kUrl}) {
        SCOPED_TRACE(openName(how));
        Ref<FFMpegExtractor> cut;
        ASSERT_EQ(OK, openMedia("truncated.mkv", how, &cut));
        std::vector<TrackRead> reads = readAll(cut);
        ASSERT_GE(reads.size(), 2u);
        EXPECT_EQ(ERROR_END_OF_STREAM, reads[0].end);
        EXPECT_GT(reads[0].packets, 5);
        EXPECT_LT(reads[0].lastUs, 2500000);
    }
}

// ---- Data sources ----------------------------------------------------------------------

namespace {

void checkReads(const Ref<DataSource>& source, const std::vector<uint8_t>& expected) {
    ASSERT_EQ(OK, source->initCheck());
    int64_t size = -1;
    ASSERT_EQ(OK, source->getSize(&size));
    ASSERT_EQ(static_cast<int64_t>(expected.size()), size);
    EXPECT_EQ(static_cast<uint32_t>(DataSource::kFlagSizeKnown), source->flags());

    char buf[100];
    // The last ten bytes, then nothing.
    EXPECT_EQ(10, source->readAt(size - 10, buf, sizeof(buf)));
    EXPECT_EQ(0, memcmp(buf, expected.data() + size - 10, 10));
    EXPECT_EQ(0, source->readAt(size, buf, sizeof(buf)));
    EXPECT_EQ(0, source->readAt(size + 1000, buf, sizeof(buf)));

    // Scattered reads match the file.
    for (int64_t offset : {int64_t(0), int64_t(1), size / 3, size / 2 + 7, size - 100}) {
        ssize_t n = source->readAt(offset, buf, sizeof(buf));
        ASSERT_EQ(100, n) << offset;
        EXPECT_EQ(0, memcmp(buf, expected.data() + offset, 100)) << offset;
    }
}

}  // namespace

TEST(FileSource, ReadsEndsAndMissingFiles) {
    REQUIRE_MEDIA("h264_aac.mp4");
    REQUIRE_MEDIA("empty.mp4");
    std::vector<uint8_t> bytes = readWholeFile(mediaPath("h264_aac.mp4"));
    ASSERT_GT(bytes.size(), 1000u);
    checkReads(new FileSource(mediaPath("h264_aac.mp4").c_str()), bytes);
    Ref<MemFileSource> mem = new MemFileSource(mediaPath("h264_aac.mp4").c_str());
    checkReads(mem, bytes);
    // The block ends with one zero byte after the file.
    ASSERT_NE(nullptr, mem->data());
    EXPECT_EQ(0, mem->data()[bytes.size()]);

    // An empty file reads nothing; a missing one answers NO_INIT everywhere.
    char buf[16];
    for (const char* name : {"empty.mp4", "no-such-file.mp4"}) {
        const std::string path = mediaPath(name);
        const status_t want = strcmp(name, "empty.mp4") == 0 ? OK : NO_INIT;
        for (Ref<DataSource> source :
             {Ref<DataSource>(new FileSource(path.c_str())), Ref<DataSource>(new MemFileSource(path.c_str()))}) {
            SCOPED_TRACE(name);
            int64_t size = -1;
            EXPECT_EQ(want, source->initCheck());
            EXPECT_EQ(want, source->getSize(&size));
            EXPECT_EQ(want == OK ? 0 : NO_INIT, source->readAt(0, buf, sizeof(buf)));
            if (want != OK) continue;
            EXPECT_EQ(0, size);
            EXPECT_EQ(0, source->readAt(5, buf, sizeof(buf)));
        }
    }
}

TEST(DataSource, CreateFromURISniffAndCreateExtractor) {
    REQUIRE_MEDIA("short_3s.mp4");
    const std::string path = mediaPath("short_3s.mp4");
    std::vector<uint8_t> bytes = readWholeFile(path);
    for (const char* scheme : {"file://", "FILE://", "File://", ""}) {
        std::string uri = std::string(scheme) + path;
        Ref<DataSource> source = DataSource::CreateFromURI(uri.c_str());
        ASSERT_NE(nullptr, source) << uri;
        int64_t size = 0;
        ASSERT_EQ(OK, source->getSize(&size));
        EXPECT_EQ(static_cast<int64_t>(bytes.size()), size) << uri;
        char head[32];
        ASSERT_EQ(32, source->readAt(0, head, sizeof(head)));
        EXPECT_EQ(0, memcmp(head, bytes.data(), sizeof(head)));
    }
    EXPECT_EQ(nullptr, DataSource::CreateFromURI((std::string("file://") + path + ".missing").c_str()));
    EXPECT_EQ(nullptr, DataSource::CreateFromURI("/definitely/not/here.mkv"));
    EXPECT_EQ(nullptr, DataSource::CreateFromURI(nullptr));

    // Sniffed as FFmpeg's; Create makes an extractor for that type only (any letter case).
    DataSource::RegisterDefaultSniffers();
    Ref<DataSource> source = new FileSource(path.c_str());
    Text8 mime;
    float confidence = 0;
    Ref<Message> meta;
    ASSERT_TRUE(source->sniff(&mime, &confidence, &meta));
    EXPECT_STREQ("application/ffmpeg", mime.c_str());
    EXPECT_EQ(nullptr, MediaExtractor::Create(source, "video/mp4"));
    Ref<MediaExtractor> upper = MediaExtractor::Create(source, "APPLICATION/FFMPEG");
    ASSERT_NE(nullptr, upper);
    ASSERT_EQ(OK, static_cast<FFMpegExtractor*>(upper.get())->initialize(nullptr, false));
    EXPECT_EQ(2u, upper->countTracks());
}
