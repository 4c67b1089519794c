// The parser on hand-made and damaged transport streams: tables, times, discontinuities and
// input that breaks the format.
#include <unistd.h>

#include <random>

#include "engine/codecs/FFMpegSoundDecoder.h"
#include "mpeg2ts/TsTestSupport.h"
#include "support/LogCapture.h"

namespace {

using namespace velmor;
using namespace qvts;
using velmor::test::LogCapture;

constexpr unsigned kPmtPid = 0x1000;
constexpr uint8_t kVideoId = 0xE0;
constexpr uint8_t kAudioId = 0xC0;

// One ADTS frame (AAC LC, 44.1 kHz, stereo) of n bytes in all.
std::vector<uint8_t> adtsFrame(size_t n, uint8_t fill = 0x11) {
    std::vector<uint8_t> f(n, fill);
    f[0] = 0xFF;
    f[1] = 0xF1;
    f[2] = static_cast<uint8_t>((1 << 6) | (4 << 2) | 0);  // LC, index 4, channels high bit 0
    f[3] = static_cast<uint8_t>((2 << 6) | ((n >> 11) & 3));
    f[4] = static_cast<uint8_t>(n >> 3);
    f[5] = static_cast<uint8_t>(((n & 7) << 5) | 0x1f);
    f[6] = 0xFC;
    return f;
}

std::vector<Unit> drain(const Ref<PacketSource>& source, std::vector<status_t>* infos = nullptr) {
    source->signalEOS(ERROR_END_OF_STREAM);
    return readAll(source, infos);
}

// Tables: unknown stream types get no source; a repeated table adds nothing; two streams that
// exchanged PIDs are followed; any other PID change is refused.
TEST(TSParserTables, TypesRepeatsAndPidChanges) {
    LogCapture log(LOG_INFO);
    TsWriter w;
    w.pat(kPmtPid);
    w.pmt(kPmtPid, {{0x0F, 0x101}, {0x81, 0x102}, {0x06, 0x103}});
    w.pmt(kPmtPid, {{0x0F, 0x101}, {0x81, 0x102}, {0x06, 0x103}});
    w.put(0x102, TsWriter::pes(0xBD, 900000, std::vector<uint8_t>(300, 0x0b)));
    w.put(0x103, TsWriter::pes(0xBD, 900000, std::vector<uint8_t>(300, 0x0b)));
    w.put(0x101, TsWriter::pes(kAudioId, 900000, adtsFrame(100)));
    w.put(0x101, TsWriter::pes(kAudioId, 990000, adtsFrame(100)));  // flushes the first
    Ref<TSParser> parser = new TSParser();
    ASSERT_EQ(OK, feedAll(parser.get(), w.bytes));
    EXPECT_EQ(w.bytes.size() / 188, parser->packetsParsed());
    EXPECT_EQ(3u, log.count("new stream PID"));
    EXPECT_TRUE(log.contains("new stream PID 0x102, type 0x81"));
    EXPECT_TRUE(parser->getSource(TSParser::VIDEO) == nullptr);
    Ref<PacketSource> audio = parser->getSource(TSParser::AUDIO);
    ASSERT_TRUE(audio != nullptr);
    std::vector<Unit> units = drain(audio);
    ASSERT_EQ(1u, units.size());
    EXPECT_EQ(adtsFrame(100), units[0].data);

    // Exchanged PIDs: the audio stream now arrives on 0x100 and keeps its source.
    TsWriter s;
    s.pat(kPmtPid);
    s.pmt(kPmtPid, {{0x1B, 0x100}, {0x0F, 0x101}});
    s.put(0x101, TsWriter::pes(kAudioId, 900000, adtsFrame(50)));
    s.pmt(kPmtPid, {{0x0F, 0x100}, {0x1B, 0x101}});
    s.put(0x100, TsWriter::pes(kAudioId, 990000, adtsFrame(60)));
    s.put(0x100, TsWriter::pes(kAudioId, 999000, adtsFrame(70)));
    Ref<TSParser> swapped = new TSParser();
    ASSERT_EQ(OK, feedAll(swapped.get(), s.bytes));
    EXPECT_TRUE(log.contains("uh oh. stream PIDs have changed."));
    units = drain(swapped->getSource(TSParser::AUDIO));
    ASSERT_EQ(2u, units.size());
    EXPECT_EQ(adtsFrame(50), units[0].data);  // flushed by the first unit start on the new PID
    EXPECT_EQ(adtsFrame(60), units[1].data);

    // A change that is not an exchange ends the stream.
    TsWriter c;
    c.pat(kPmtPid);
    c.pmt(kPmtPid, {{0x1B, 0x100}, {0x0F, 0x101}});
    c.pmt(kPmtPid, {{0x03, 0x100}, {0x0F, 0x101}, {0x1B, 0x102}});
    Ref<TSParser> changed = new TSParser();
    EXPECT_EQ(ERROR_MALFORMED, feedAll(changed.get(), c.bytes));
    EXPECT_TRUE(log.contains("Stream PIDs changed and we cannot recover."));
}

// Times: relative to the program's first PTS, absolute with the flag, moved by the anchor and
// the offset, and reset by a time discontinuity carrying a media time.
TEST(TSParserTimes, FirstPtsAnchorOffsetAndResume) {
    auto run = [](uint32_t flags, std::function<void(TSParser*)> before, std::vector<int64_t> ptss) {
        TsWriter w;
        w.pat(kPmtPid);
        w.pmt(kPmtPid, {{0x0F, 0x101}});
        for (int64_t pts : ptss) w.put(0x101, TsWriter::pes(kAudioId, pts, adtsFrame(40)));
        w.put(0x101, TsWriter::pes(kAudioId, -1, adtsFrame(40)));
        Ref<TSParser> parser = new TSParser(flags);
        if (before) before(parser.get());
        EXPECT_EQ(OK, feedAll(parser.get(), w.bytes));
        std::vector<int64_t> times;
        for (const Unit& u : drain(parser->getSource(TSParser::AUDIO))) times.push_back(u.timeUs);
        return times;
    };
    EXPECT_EQ(std::vector<int64_t>({0, 1000000, 0}), run(0, nullptr, {900000, 990000, 800000}));
    EXPECT_EQ(std::vector<int64_t>({10000000, 11000000}), run(TSParser::TS_TIMESTAMPS_ARE_ABSOLUTE, nullptr, {900000, 990000}));
    auto anchorAndOffset = [](TSParser* p) {
        Ref<Message> anchor = new Message;
        anchor->setInt64("timeUs", 5000000);
        p->signalDiscontinuity(DISCONTINUITY_ABSOLUTE_TIME, anchor);
        Ref<Message> offset = new Message;
        offset->setInt64("offset", 250);
        p->signalDiscontinuity(DISCONTINUITY_TIME_OFFSET, offset);
    };
    EXPECT_EQ(std::vector<int64_t>({5000250, 6000250}), run(0, anchorAndOffset, {900000, 990000}));

    // A media time in a time discontinuity: the next PTS is the new reference, at that time;
    // ResumeAtPTS comes back converted.
    LogCapture log(LOG_INFO);
    TsWriter w;
    w.pat(kPmtPid);
    w.pmt(kPmtPid, {{0x0F, 0x101}});
    w.put(0x101, TsWriter::pes(kAudioId, 900000, adtsFrame(40)));
    w.put(0x101, TsWriter::pes(kAudioId, 990000, adtsFrame(40)));
    Ref<TSParser> parser = new TSParser();
    ASSERT_EQ(OK, feedAll(parser.get(), w.bytes));
    Ref<Message> extra = new Message;
    extra->setInt64("MediaTimeUs", 30000000);
    extra->setInt64("ResumeAtPTS", 2700000);
    parser->signalDiscontinuity(DISCONTINUITY_TIME, extra);
    int64_t resumeUs = -1;
    EXPECT_TRUE(extra->findInt64("resume-at-mediatimeUs", &resumeUs));
    EXPECT_EQ(30000000, resumeUs);  // the resume point is the new reference
    TsWriter more;
    more.put(0x101, TsWriter::pes(kAudioId, 2700000, adtsFrame(40)));
    more.put(0x101, TsWriter::pes(kAudioId, 2790000, adtsFrame(40)));
    more.put(0x101, TsWriter::pes(kAudioId, -1, adtsFrame(40)));
    ASSERT_EQ(OK, feedAll(parser.get(), more.bytes));
    std::vector<status_t> infos;
    std::vector<Unit> units = drain(parser->getSource(TSParser::AUDIO), &infos);
    EXPECT_EQ(std::vector<status_t>({INFO_DISCONTINUITY}), infos);
    // The unit of 900000 was queued before the marker and went with it; the one of 990000 was
    // still partial.
    ASSERT_EQ(2u, units.size());
    EXPECT_EQ(30000000, units[0].timeUs);
    EXPECT_EQ(31000000, units[1].timeUs);
    EXPECT_EQ(2u, log.count("convertPTSToTimestamp setFirstPTS"));
}

// A format discontinuity of one kind: only that kind's queues lose their format, both kinds
// lose their partial data, and only that kind's source reports the change.
TEST(TSParserDiscontinuity, AudioFormatChangeTouchesOnlyAudio) {
    std::string path = fixturePath("h264_aac");
    ASSERT_FALSE(path.empty());
    std::vector<uint8_t> bytes = readFile(path);
    size_t half = bytes.size() / 188 / 2 * 188;
    std::vector<uint8_t> first(bytes.begin(), bytes.begin() + static_cast<long>(half));
    std::vector<uint8_t> second(bytes.begin() + static_cast<long>(half), bytes.end());

    Ref<TSParser> whole = new TSParser();
    ASSERT_EQ(OK, feedAll(whole.get(), bytes));
    size_t wholeVideo = drain(whole->getSource(TSParser::VIDEO)).size();

    Ref<TSParser> parser = new TSParser();
    ASSERT_EQ(OK, feedAll(parser.get(), first));
    Ref<PacketSource> video = parser->getSource(TSParser::VIDEO);
    Ref<PacketSource> audio = parser->getSource(TSParser::AUDIO);
    ASSERT_TRUE(video != nullptr && audio != nullptr);
    size_t videoBefore = 0;
    status_t final;
    for (MediaBuffer* b = nullptr; video->hasBufferAvailable(&final) && video->read(&b) == OK; b = nullptr) {
        b->release();
        ++videoBefore;
    }
    parser->signalDiscontinuity(DISCONTINUITY_AUDIO_FORMAT, nullptr);
    size_t quarter = second.size() / 188 / 2 * 188;
    ASSERT_EQ(OK, feedAll(parser.get(), std::vector<uint8_t>(second.begin(), second.begin() + static_cast<long>(quarter))));

    // The audio source reports the change first (its older units went with the marker) and
    // has no format until the queue finds one again.
    MediaBuffer* buffer = nullptr;
    ASSERT_EQ(INFO_FORMAT_CHANGED, audio->read(&buffer));
    EXPECT_TRUE(audio->getFormat() == nullptr);
    ASSERT_EQ(OK, feedAll(parser.get(), std::vector<uint8_t>(second.begin() + static_cast<long>(quarter), second.end())));
    ASSERT_TRUE(audio->getFormat() != nullptr);
    std::vector<status_t> videoInfos, audioInfos;
    std::vector<Unit> videoUnits = drain(video, &videoInfos);
    std::vector<Unit> audioUnits = drain(audio, &audioInfos);
    EXPECT_TRUE(videoInfos.empty());
    EXPECT_TRUE(audioInfos.empty());
    EXPECT_TRUE(video->getFormat() != nullptr);
    EXPECT_FALSE(audioUnits.empty());
    // The video unit in progress was dropped, with the PES packet cut in two.
    size_t videoTotal = videoBefore + videoUnits.size();
    EXPECT_LT(videoTotal, wholeVideo);
    EXPECT_GE(videoTotal + 3, wholeVideo);
}

// Broken packets and PES packets are refused with ERROR_MALFORMED; damaged real streams are
// read on without a crash.
TEST(TSParserDamage, MalformedInputGetsAStatus) {
    Ref<TSParser> parser = new TSParser();
    std::vector<uint8_t> packet(188, 0xff);
    EXPECT_EQ(ERROR_MALFORMED, parser->feedTSPacket(packet.data(), packet.size()));  // no sync byte
    packet[0] = 0x47;
    EXPECT_EQ(ERROR_MALFORMED, parser->feedTSPacket(packet.data(), 187));
    EXPECT_EQ(ERROR_MALFORMED, parser->feedTSPacket(nullptr, 188));
    packet[3] = 0x20;  // adaptation field only, longer than the packet
    packet[4] = 190;
    EXPECT_EQ(ERROR_MALFORMED, parser->feedTSPacket(packet.data(), packet.size()));

    // A PES length that claims more than the packet holds, a bad start code prefix, a bad marker.
    struct Case {
        const char* what;
        std::vector<uint8_t> pes;
    };
    std::vector<uint8_t> lying = TsWriter::pes(kAudioId, 900000, adtsFrame(40), 4000);
    std::vector<uint8_t> noPrefix = TsWriter::pes(kAudioId, 900000, adtsFrame(40));
    noPrefix[2] = 0x02;
    std::vector<uint8_t> badMarker = TsWriter::pes(kAudioId, 900000, adtsFrame(40));
    badMarker[13] &= 0xfe;  // the marker after PTS[14..0]
    std::vector<uint8_t> shortHeader = TsWriter::pes(kAudioId, 900000, adtsFrame(40));
    shortHeader[8] = 3;  // a PTS needs 5 header bytes
    for (const Case& c : {Case{"lying length", lying}, Case{"prefix", noPrefix}, Case{"marker", badMarker},
                          Case{"header length", shortHeader}}) {
        SCOPED_TRACE(c.what);
        LogCapture log(LOG_WARN);
        TsWriter w;
        w.pat(kPmtPid);
        w.pmt(kPmtPid, {{0x0F, 0x101}});
        w.put(0x101, c.pes);
        w.put(0x101, TsWriter::pes(kAudioId, 990000, adtsFrame(40)));
        Ref<TSParser> p = new TSParser();
        EXPECT_EQ(ERROR_MALFORMED, feedAll(p.get(), w.bytes));
        if (c.pes == lying) {
            EXPECT_TRUE(log.contains("PES packet does not carry enough data to contain payload. (numBitsLeft = 320, required = 31936)"));
        }
    }

    // A real stream with lost packets, flipped bytes and garbage between packets, then cut
    // short: every status is OK or ERROR_MALFORMED and units keep coming.
    std::string path = fixturePath("h264_aac");
    ASSERT_FALSE(path.empty());
    std::vector<uint8_t> bytes = readFile(path);
    std::mt19937 rng(7);
    std::vector<uint8_t> damaged;
    for (size_t off = 0, n = 0; off + 188 <= bytes.size(); off += 188, ++n) {
        if (n % 61 == 5) continue;  // lost
        std::vector<uint8_t> pkt(bytes.begin() + static_cast<long>(off), bytes.begin() + static_cast<long>(off + 188));
        if (n % 37 == 3) pkt[4 + rng() % 184] ^= static_cast<uint8_t>(1 + rng() % 255);
        if (n % 29 == 7) pkt[3] ^= 0x0f;  // continuity counter
        damaged.insert(damaged.end(), pkt.begin(), pkt.end());
        if (n % 97 == 50) {
            for (int k = 0; k < 188 * 2; ++k) damaged.push_back(static_cast<uint8_t>(rng()));
        }
    }
    damaged.resize(damaged.size() - 100);  // truncated
    Ref<TSParser> p = new TSParser();
    size_t ok = 0, malformed = 0, other = 0;
    for (size_t off = 0; off < damaged.size(); off += 188) {
        size_t n = std::min<size_t>(188, damaged.size() - off);
        status_t err = p->feedTSPacket(damaged.data() + off, n);
        (err == OK ? ok : err == ERROR_MALFORMED ? malformed : other) += 1;
    }
    EXPECT_EQ(0u, other);
    EXPECT_GT(malformed, 0u);
    EXPECT_GT(ok, malformed);
    Ref<PacketSource> video = p->getSource(TSParser::VIDEO);
    Ref<PacketSource> audio = p->getSource(TSParser::AUDIO);
    ASSERT_TRUE(video != nullptr && audio != nullptr);
    EXPECT_GT(drain(video).size(), 10u);
    EXPECT_GE(drain(audio).size(), 3u);
}

// Decodes an ended PCM source in a death test's child; exits 0 when the decoder put out the
// expected bytes at 48 kHz.
void decodePcmAndExit(const Ref<PacketSource>& audio, size_t expectedBytes) {
    Ref<FFMpegSoundDecoder> decoder = new FFMpegSoundDecoder(audio);
    size_t bytes = 0;
    int32_t outRate = 0;
    status_t started = decoder->start();
    for (MediaBuffer* b = nullptr; started == OK && decoder->read(&b) == OK; b = nullptr) {
        bytes += b->range_length();
        b->release();
    }
    decoder->getFormat()->findInt32(kKeySampleRate, &outRate);
    fprintf(stderr, "pcm: started %d rate %d bytes %zu\n", started, outRate, bytes);
    decoder->stop();
    _exit(started == OK && outRate == 48000 && bytes == expectedBytes ? 0 : 1);
}

// PCM in a hand-made stream (the ffmpeg command does not write this stream type): units are the
// samples in host order, at the PES times, and the engine's sound decoder plays them at 48 kHz.
TEST(TSParserPcm, UnitsAndDecode) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto pcmPayload = [](int frames, int16_t base) {
        std::vector<uint8_t> p = {0xA0, static_cast<uint8_t>(frames), 0x00, (2 << 3) | 1};
        for (int i = 0; i < frames * 160; ++i) {
            int16_t v = static_cast<int16_t>(base + i);
            p.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8));
            p.push_back(static_cast<uint8_t>(v & 0xff));
        }
        return p;
    };
    TsWriter w;
    w.pat(kPmtPid);
    w.pmt(kPmtPid, {{0x83, 0x101}});
    const int kPackets = 300;  // 300 x 2 frames x 80 stereo samples = 1 s at 48 kHz
    for (int i = 0; i < kPackets; ++i) {
        w.put(0x101, TsWriter::pes(0xBD, 900000 + i * 300, pcmPayload(2, static_cast<int16_t>(i))));
    }
    w.put(0x101, TsWriter::pes(0xBD, -1, pcmPayload(2, 0)));
    Ref<TSParser> parser = new TSParser();
    ASSERT_EQ(OK, feedAll(parser.get(), w.bytes));
    Ref<PacketSource> audio = parser->getSource(TSParser::AUDIO);
    ASSERT_TRUE(audio != nullptr);
    const char* mime = nullptr;
    int32_t rate = 0, channels = 0;
    ASSERT_TRUE(audio->getFormat()->findCString(kKeyMIMEType, &mime));
    EXPECT_STREQ("audio/raw", mime);
    EXPECT_TRUE(audio->getFormat()->findInt32(kKeySampleRate, &rate) && rate == 48000);
    EXPECT_TRUE(audio->getFormat()->findInt32(kKeyChannelCount, &channels) && channels == 2);

    MediaBuffer* first = nullptr;
    ASSERT_EQ(OK, audio->read(&first));
    ASSERT_EQ(640u, first->range_length());
    const int16_t* s = reinterpret_cast<const int16_t*>(static_cast<uint8_t*>(first->data()) + first->range_offset());
    for (int i = 0; i < 320; ++i) ASSERT_EQ(i, s[i]);
    int64_t t = -1;
    EXPECT_TRUE(first->meta_data()->findInt64(kKeyTime, &t));
    EXPECT_EQ(0, t);
    first->release();
    MediaBuffer* second = nullptr;
    ASSERT_EQ(OK, audio->read(&second));
    EXPECT_TRUE(second->meta_data()->findInt64(kKeyTime, &t));
    EXPECT_EQ(3333, t);  // 300 ticks of 90 kHz
    second->release();
    audio->signalEOS(ERROR_END_OF_STREAM);

    EXPECT_EXIT(decodePcmAndExit(audio, (kPackets - 2) * 640u), ::testing::ExitedWithCode(0),
                "pcm: started 0 rate 48000");
}

}  // namespace
