// The parser's output for transport streams written by the ffmpeg command, against FFmpeg's own
// demux of the same files, and decoded by the engine's decoders.
#include <unistd.h>

#include <cinttypes>
#include <map>
#include <string>

#include "engine/DecoderRegistry.h"
#include "engine/MediaDefs.h"
#include "engine/codecs/FFMpegSoundDecoder.h"
#include "engine/codecs/FFMpegVideoDecoder.h"
#include "engine/mpeg2ts/AccessUnitQueue.h"
#include "mpeg2ts/TsTestSupport.h"
#include "support/LogCapture.h"

namespace {

using namespace velmor;
using namespace qvts;

struct Parsed {
    Ref<TSParser> parser;
    Ref<PacketSource> video, audio;
    std::vector<Unit> videoUnits, audioUnits;
    uint64_t firstPts = 0;
};

Parsed parseFile(const std::string& path) {
    Parsed p;
    velmor::test::LogCapture log(LOG_INFO);
    p.parser = new TSParser();
    EXPECT_EQ(OK, feedAll(p.parser.get(), readFile(path)));
    std::vector<std::string> lines = log.linesContaining("convertPTSToTimestamp setFirstPTS ");
    EXPECT_EQ(1u, lines.size());
    if (!lines.empty()) {
        p.firstPts = strtoull(lines[0].substr(lines[0].rfind(' ') + 1).c_str(), nullptr, 10);
    }
    p.video = p.parser->getSource(TSParser::VIDEO);
    p.audio = p.parser->getSource(TSParser::AUDIO);
    if (p.video) {
        p.video->signalEOS(ERROR_END_OF_STREAM);
        p.videoUnits = readAll(p.video);
    }
    if (p.audio) {
        p.audio->signalEOS(ERROR_END_OF_STREAM);
        p.audioUnits = readAll(p.audio);
    }
    return p;
}

int64_t relativeUs(int64_t pts, uint64_t first) {
    return pts < static_cast<int64_t>(first) ? 0 : static_cast<int64_t>((static_cast<uint64_t>(pts) - first) * 100 / 9);
}

std::vector<uint8_t> firstSlice(const std::vector<uint8_t>& unit) {
    for (auto& nal : splitNals(unit)) {
        if (!nal.empty() && ((nal[0] & 0x1f) == 1 || (nal[0] & 0x1f) == 5)) return nal;
    }
    return {};
}

// Every unit of ours is one of FFmpeg's packets (for AVC: the packet's first slice), in order,
// at the same time; only the last units, whose end the parser never sees, may be missing.
void compareVideo(const std::string& path, const Parsed& p, bool avc) {
    std::vector<RefPacket> ref = ffmpegPackets(path, AVMEDIA_TYPE_VIDEO, false);
    ASSERT_GT(ref.size(), 40u);
    ASSERT_LE(p.videoUnits.size(), ref.size());
    EXPECT_GE(p.videoUnits.size() + 2, ref.size());
    for (size_t i = 0; i < p.videoUnits.size(); ++i) {
        const Unit& u = p.videoUnits[i];
        if (avc) {
            ASSERT_EQ(4u + firstSlice(ref[i].data).size(), u.data.size()) << "unit " << i;
            EXPECT_EQ(std::vector<uint8_t>({0, 0, 0, 1}), std::vector<uint8_t>(u.data.begin(), u.data.begin() + 4));
            EXPECT_EQ(firstSlice(ref[i].data), std::vector<uint8_t>(u.data.begin() + 4, u.data.end())) << "unit " << i;
        } else {
            ASSERT_EQ(ref[i].data, u.data) << "unit " << i;
        }
        EXPECT_EQ(relativeUs(ref[i].pts, p.firstPts), u.timeUs) << "unit " << i;
    }
}

// Our audio units laid end to end are FFmpeg's frames laid end to end; each unit starts where a
// frame starts and has that frame's time. (A frame after the first of a PES packet is timed by
// the samples before it; when the packet's own time was clamped to 0, being older than the
// program's first time, such frames are not compared.)
void compareAudio(const std::string& path, const Parsed& p) {
    std::vector<RefPacket> ref = ffmpegPackets(path, AVMEDIA_TYPE_AUDIO, false);
    std::vector<RefPacket> pes = ffmpegPackets(path, AVMEDIA_TYPE_AUDIO, true);
    ASSERT_GT(ref.size(), 20u);
    std::vector<uint8_t> refBytes;
    std::map<size_t, int64_t> frameStarts, pesStarts;
    for (const RefPacket& r : ref) {
        frameStarts[refBytes.size()] = r.pts;
        refBytes.insert(refBytes.end(), r.data.begin(), r.data.end());
    }
    size_t pesOffset = 0;
    for (const RefPacket& r : pes) {
        pesStarts[pesOffset] = r.pts;
        pesOffset += r.data.size();
    }
    EXPECT_EQ(refBytes.size(), pesOffset);
    size_t offset = 0, compared = 0;
    bool pesClamped = false;
    for (size_t i = 0; i < p.audioUnits.size(); ++i) {
        const Unit& u = p.audioUnits[i];
        ASSERT_LE(offset + u.data.size(), refBytes.size());
        ASSERT_TRUE(std::equal(u.data.begin(), u.data.end(), refBytes.begin() + static_cast<long>(offset)))
            << "unit " << i;
        auto start = frameStarts.find(offset);
        ASSERT_NE(frameStarts.end(), start) << "unit " << i << " starts inside a frame";
        auto pesStart = pesStarts.find(offset);
        if (pesStart != pesStarts.end()) pesClamped = pesStart->second < static_cast<int64_t>(p.firstPts);
        if (pesStart != pesStarts.end() || !pesClamped) {
            EXPECT_EQ(relativeUs(start->second, p.firstPts), u.timeUs) << "unit " << i;
            ++compared;
        }
        offset += u.data.size();
    }
    EXPECT_GE(offset * 10, refBytes.size() * 8);  // all but the last PES packets
    EXPECT_GE(compared * 4, p.audioUnits.size() * 3);
}

TEST(TransportStreamReference, UnitsAndTimesEqualFFmpegDemux) {
    {
        SCOPED_TRACE("h264_aac");
        std::string path = fixturePath("h264_aac");
        ASSERT_FALSE(path.empty());
        Parsed p = parseFile(path);
        ASSERT_TRUE(p.video != nullptr && p.audio != nullptr);
        compareVideo(path, p, true);
        compareAudio(path, p);
        // An AAC unit is exactly one PES payload.
        std::vector<RefPacket> pes = ffmpegPackets(path, AVMEDIA_TYPE_AUDIO, true);
        ASSERT_GE(pes.size(), p.audioUnits.size());
        for (size_t i = 0; i < p.audioUnits.size(); ++i) EXPECT_EQ(pes[i].data, p.audioUnits[i].data) << i;
    }
    {
        SCOPED_TRACE("mpeg2_mp2");
        std::string path = fixturePath("mpeg2_mp2");
        ASSERT_FALSE(path.empty());
        Parsed p = parseFile(path);
        ASSERT_TRUE(p.video != nullptr && p.audio != nullptr);
        compareVideo(path, p, false);
        compareAudio(path, p);
    }
    {
        SCOPED_TRACE("mpeg4_mp3");
        std::string path = fixturePath("mpeg4_mp3");
        ASSERT_FALSE(path.empty());
        Parsed p = parseFile(path);
        ASSERT_TRUE(p.video != nullptr && p.audio != nullptr);
        compareVideo(path, p, false);
        compareAudio(path, p);
    }
}

// The whole H.264 units of the queue, NAL by NAL, against FFmpeg's packets: the queue is fed
// FFmpeg's unparsed PES payloads with their times.
TEST(TransportStreamReference, H264QueueUnitsEqualFFmpegPacketsNalByNal) {
    std::string path = fixturePath("h264_aac");
    ASSERT_FALSE(path.empty());
    std::vector<RefPacket> pes = ffmpegPackets(path, AVMEDIA_TYPE_VIDEO, true);
    std::vector<RefPacket> ref = ffmpegPackets(path, AVMEDIA_TYPE_VIDEO, false);
    ASSERT_GT(pes.size(), 40u);

    AccessUnitQueue queue(AccessUnitQueue::H264);
    std::vector<Ref<ByteBuffer>> units;
    for (const RefPacket& r : pes) {
        ASSERT_EQ(OK, queue.appendData(r.data.data(), r.data.size(), r.pts * 100 / 9));
        while (Ref<ByteBuffer> u = queue.dequeueAccessUnit()) units.push_back(u);
    }
    ASSERT_EQ(pes.size() - 1, units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        std::vector<uint8_t> ours(units[i]->data(), units[i]->data() + units[i]->size());
        // Every NAL unit is written with a 4-byte start code.
        size_t fourByteCodes = 0;
        for (size_t k = 0; k + 3 < ours.size(); ++k) fourByteCodes += ours[k] == 0 && ours[k + 1] == 0 && ours[k + 2] == 0 && ours[k + 3] == 1;
        EXPECT_EQ(splitNals(ours), splitNals(ref[i].data)) << "unit " << i;
        EXPECT_EQ(splitNals(ref[i].data).size(), fourByteCodes) << "unit " << i;
        int64_t timeUs = -2;
        ASSERT_TRUE(units[i]->meta()->findInt64("timeUs", &timeUs));
        EXPECT_EQ(ref[i].pts * 100 / 9, timeUs) << "unit " << i;
    }

    // The format: Annex-B parameter sets, the picture size and presentation-time input.
    Ref<MetaData> format = queue.getFormat();
    ASSERT_TRUE(format != nullptr);
    const char* mime = nullptr;
    int32_t w = 0, h = 0, ipts = 0;
    ASSERT_TRUE(format->findCString(kKeyMIMEType, &mime));
    EXPECT_STREQ("video/avc", mime);
    EXPECT_TRUE(format->findInt32(kKeyWidth, &w) && format->findInt32(kKeyHeight, &h));
    EXPECT_EQ(320, w);
    EXPECT_EQ(240, h);
    EXPECT_TRUE(format->findInt32(FourCC('i', 'p', 't', 's'), &ipts) && ipts == 1);
    uint32_t type;
    const void* csd = nullptr;
    size_t csdSize = 0;
    ASSERT_TRUE(format->findData(kKeyRawCodecSpecificInfo, &type, &csd, &csdSize));
    std::vector<uint8_t> csdBytes(static_cast<const uint8_t*>(csd), static_cast<const uint8_t*>(csd) + csdSize);
    auto nals = splitNals(csdBytes);
    ASSERT_EQ(2u, nals.size());
    EXPECT_EQ(7, nals[0][0] & 0x1f);
    EXPECT_EQ(8, nals[1][0] & 0x1f);
}

// What one decoder made of a source.
struct DecodeResult {
    status_t started = UNKNOWN_ERROR;
    int frames = 0;
    size_t pcmBytes = 0;
    int32_t width = 0, height = 0, sampleRate = 0;
    status_t end = OK;
};

DecodeResult decode(const Ref<PacketSource>& source, bool video) {
    DecodeResult r;
    Ref<MetaData> format = source->getFormat();
    Ref<MediaSource> decoder = DecoderRegistry::createDecoder(format, false, source);
    const char* mime = "";
    format->findCString(kKeyMIMEType, &mime);
    EXPECT_NE(nullptr, decoder.get()) << "no decoder for " << mime;
    if (decoder == nullptr) {
        r.started = ERROR_UNSUPPORTED;
        return r;
    }
    r.started = decoder->start();
    if (r.started != OK) return r;
    for (;;) {
        MediaBuffer* buffer = nullptr;
        status_t err = decoder->read(&buffer);
        if (err == INFO_FORMAT_CHANGED) continue;
        if (err != OK) {
            r.end = err;
            break;
        }
        ++r.frames;
        r.pcmBytes += buffer->range_length();
        buffer->release();
    }
    Ref<MetaData> out = decoder->getFormat();
    out->findInt32(kKeyWidth, &r.width);
    out->findInt32(kKeyHeight, &r.height);
    out->findInt32(kKeySampleRate, &r.sampleRate);
    decoder->stop();
    return r;
}

TEST(TransportStreamReference, EngineDecodersTakeTheSources) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* name;
        const char* videoMime;
        int32_t w, h;
        const char* audioMime;
        int32_t rate;
    } const cases[] = {
        {"h264_aac", "video/avc", 320, 240, "audio/mp4a-latm", 44100},
        {"mpeg2_mp2", "video/mpeg2", 352, 288, "audio/mpeg-L2", 48000},
        {"mpeg4_mp3", "video/mp4v-es", 176, 144, "audio/mpeg", 32000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = fixturePath(c.name);
        ASSERT_FALSE(path.empty());
        Ref<TSParser> parser = new TSParser();
        ASSERT_EQ(OK, feedAll(parser.get(), readFile(path)));
        Ref<PacketSource> video = parser->getSource(TSParser::VIDEO);
        Ref<PacketSource> audio = parser->getSource(TSParser::AUDIO);
        ASSERT_TRUE(video != nullptr && audio != nullptr);
        video->signalEOS(ERROR_END_OF_STREAM);
        audio->signalEOS(ERROR_END_OF_STREAM);

        const char* mime = nullptr;
        ASSERT_TRUE(video->getFormat()->findCString(kKeyMIMEType, &mime));
        EXPECT_STREQ(c.videoMime, mime);
        ASSERT_TRUE(audio->getFormat()->findCString(kKeyMIMEType, &mime));
        EXPECT_STREQ(c.audioMime, mime);

        DecodeResult v = decode(video, true);
        ASSERT_EQ(OK, v.started);
        EXPECT_EQ(ERROR_END_OF_STREAM, v.end);
        EXPECT_GE(v.frames, 45);  // 2 s at 25 pictures a second, less the last units
        EXPECT_EQ(c.w, v.width);
        EXPECT_EQ(c.h, v.height);

        // The sound decoder runs in a child process, so a fault inside it fails this case
        // with its signal instead of ending the whole program.
        EXPECT_EXIT(
            {
                DecodeResult a = decode(audio, false);
                bool ok = a.started == OK && a.end == ERROR_END_OF_STREAM && a.sampleRate == c.rate &&
                          a.pcmBytes >= static_cast<size_t>(c.rate) * 4 * 3 / 2;  // stereo 16-bit, most of 2 s
                fprintf(stderr, "sound: started %d end %d rate %d bytes %zu\n", a.started, a.end, a.sampleRate,
                        a.pcmBytes);
                _exit(ok ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "sound: started 0 end -1011");
    }
}

}  // namespace
