// The access unit queue's cutting and formats, and the packet source between a demuxer thread
// and a reading thread.
#include <atomic>
#include <chrono>
#include <thread>

#include "engine/mpeg2ts/AccessUnitQueue.h"
#include "mpeg2ts/TsTestSupport.h"

namespace {

using namespace velmor;
using namespace qvts;

std::vector<uint8_t> bytesOf(const Ref<ByteBuffer>& b) { return std::vector<uint8_t>(b->data(), b->data() + b->size()); }

int64_t timeOf(const Ref<ByteBuffer>& b) {
    int64_t t = -2;
    b->meta()->findInt64("timeUs", &t);
    return t;
}

Ref<ByteBuffer> unit(std::vector<uint8_t> data, int64_t timeUs) {
    Ref<ByteBuffer> b = new ByteBuffer(data.size());
    if (!data.empty()) memcpy(b->data(), data.data(), data.size());
    b->meta()->setInt64("timeUs", timeUs);
    return b;
}

Ref<MetaData> formatOf(const char* mime) {
    Ref<MetaData> m = new MetaData;
    m->setCString(kKeyMIMEType, mime);
    return m;
}

// A 176x144 High profile sequence parameter set (with an emulation prevention byte) and its
// picture parameter set, as libx264 writes them.
const std::vector<uint8_t> kSps = {0x67, 0x64, 0x00, 0x0b, 0xac, 0xd9, 0x42, 0xc4, 0xec, 0x04, 0x40, 0x00,
                                   0x00, 0x03, 0x00, 0x40, 0x00, 0x00, 0x0c, 0x83, 0xc5, 0x0a, 0x65, 0x80};
const std::vector<uint8_t> kPps = {0x68, 0xeb, 0xe3, 0xcb, 0x22, 0xc0};

std::vector<uint8_t> annexB(std::initializer_list<std::vector<uint8_t>> nals) {
    std::vector<uint8_t> out;
    for (const auto& n : nals) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), n.begin(), n.end());
    }
    return out;
}

TEST(AccessUnitQueue, H264CutsAtSlicesAndDelimitersAndBuildsTheFormat) {
    AccessUnitQueue q(AccessUnitQueue::H264);
    EXPECT_EQ(ERROR_MALFORMED, q.appendData("\x12\x34\x00\x00\x01\x09", 6, 0));  // no 4-byte start code
    const std::vector<uint8_t> aud = {0x09, 0xf0};
    const std::vector<uint8_t> idr = {0x65, 0x88, 0x84, 0x21, 0x10};
    const std::vector<uint8_t> idr2 = {0x65, 0x20, 0x11};  // first_mb_in_slice 1: same picture
    const std::vector<uint8_t> p = {0x41, 0x9a, 0x22};
    // The payload starts inside a NAL unit: bytes up to the first 00 00 00 01 are dropped.
    std::vector<uint8_t> first = {0x77, 0x00, 0x01, 0x99};
    std::vector<uint8_t> au1 = annexB({aud, kSps, kPps, idr, idr2});
    first.insert(first.end(), au1.begin(), au1.end());
    ASSERT_EQ(OK, q.appendData(first.data(), first.size(), 1000));
    EXPECT_TRUE(q.dequeueAccessUnit() == nullptr);  // its end is not known yet
    std::vector<uint8_t> au2 = annexB({aud, p});
    ASSERT_EQ(OK, q.appendData(au2.data(), au2.size(), 2000));
    Ref<ByteBuffer> u = q.dequeueAccessUnit();
    ASSERT_TRUE(u != nullptr);
    EXPECT_EQ(au1, bytesOf(u));
    EXPECT_EQ(1000, timeOf(u));
    EXPECT_TRUE(q.dequeueAccessUnit() == nullptr);
    // A 3-byte start code inside the stream is accepted; the next slice with first_mb 0 cuts.
    std::vector<uint8_t> au3 = {0, 0, 1, 0x41, 0x9a, 0x44};
    ASSERT_EQ(OK, q.appendData(au3.data(), au3.size(), 3000));
    u = q.dequeueAccessUnit();
    ASSERT_TRUE(u != nullptr);
    EXPECT_EQ(au2, bytesOf(u));
    EXPECT_EQ(2000, timeOf(u));

    Ref<MetaData> f = q.getFormat();
    ASSERT_TRUE(f != nullptr);
    int32_t w = 0, h = 0;
    EXPECT_TRUE(f->findInt32(kKeyWidth, &w) && f->findInt32(kKeyHeight, &h));
    EXPECT_EQ(176, w);
    EXPECT_EQ(144, h);
    uint32_t type;
    const void* csd;
    size_t size;
    ASSERT_TRUE(f->findData(kKeyRawCodecSpecificInfo, &type, &csd, &size));
    EXPECT_EQ(annexB({kSps, kPps}), std::vector<uint8_t>(static_cast<const uint8_t*>(csd), static_cast<const uint8_t*>(csd) + size));

    // Aligned data: every payload is one unit as it is.
    AccessUnitQueue aligned(AccessUnitQueue::H264, AccessUnitQueue::kFlag_AlignedData);
    ASSERT_EQ(OK, aligned.appendData(au1.data(), au1.size(), 10));
    ASSERT_EQ(OK, aligned.appendData(au2.data(), au2.size(), 20));
    Ref<ByteBuffer> a = aligned.dequeueAccessUnit();
    Ref<ByteBuffer> b = aligned.dequeueAccessUnit();
    ASSERT_TRUE(a != nullptr && b != nullptr);
    EXPECT_EQ(au1, bytesOf(a));
    EXPECT_EQ(au2, bytesOf(b));
    EXPECT_EQ(20, timeOf(b));
    EXPECT_TRUE(aligned.getFormat() != nullptr);
}

TEST(AccessUnitQueue, AudioUnitsFormatsAndTimes) {
    // Three ADTS frames in one payload are one unit with the payload's time.
    auto adts = [](size_t n, uint8_t fill) {
        std::vector<uint8_t> f(n, fill);
        f[0] = 0xFF;
        f[1] = 0xF1;
        f[2] = (1 << 6) | (3 << 2);  // LC, 48 kHz
        f[3] = static_cast<uint8_t>((2 << 6) | ((n >> 11) & 3));
        f[4] = static_cast<uint8_t>(n >> 3);
        f[5] = static_cast<uint8_t>(((n & 7) << 5) | 0x1f);
        f[6] = 0xFC;
        return f;
    };
    AccessUnitQueue aac(AccessUnitQueue::AAC);
    std::vector<uint8_t> three;
    for (size_t n : {30, 40, 50}) {
        auto f = adts(n, static_cast<uint8_t>(n));
        three.insert(three.end(), f.begin(), f.end());
    }
    std::vector<uint8_t> broken = adts(30, 1);
    broken[4] = 0xff;  // a frame length past the payload
    ASSERT_EQ(OK, aac.appendData(broken.data(), broken.size(), 500));
    ASSERT_EQ(OK, aac.appendData(three.data(), three.size(), 777));
    Ref<ByteBuffer> u = aac.dequeueAccessUnit();
    ASSERT_TRUE(u != nullptr);
    EXPECT_EQ(three, bytesOf(u));
    EXPECT_EQ(777, timeOf(u));
    Ref<MetaData> f = aac.getFormat();
    ASSERT_TRUE(f != nullptr);
    int32_t rate = 0, channels = 0, isAdts = 0;
    EXPECT_TRUE(f->findInt32(kKeySampleRate, &rate) && rate == 48000);
    EXPECT_TRUE(f->findInt32(kKeyChannelCount, &channels) && channels == 2);
    EXPECT_TRUE(f->findInt32(kKeyIsADTS, &isAdts) && isAdts == 1);
    uint32_t type;
    const void* asc;
    size_t size;
    ASSERT_TRUE(f->findData(kKeyRawCodecSpecificInfo, &type, &asc, &size));
    EXPECT_EQ(std::vector<uint8_t>({0x11, 0x90}), std::vector<uint8_t>(static_cast<const uint8_t*>(asc), static_cast<const uint8_t*>(asc) + size));
    EXPECT_EQ(ERROR_MALFORMED, aac.appendData("\x01\x02\x03\x04", 4, 0));

    // MPEG audio: one frame per unit; a frame starting inside a payload is timed by the samples
    // since the last stamped frame (1152 at 44.1 kHz).
    // Layer III, 128 kbit/s, 44.1 kHz: 417 bytes, 418 with padding.
    AccessUnitQueue mp3(AccessUnitQueue::MPEG_AUDIO);
    std::vector<uint8_t> frames(417 + 418, 0x55);
    const uint8_t h1[] = {0xFF, 0xFB, 0x90, 0xC4}, h2[] = {0xFF, 0xFB, 0x92, 0xC4};  // mono; padded
    memcpy(frames.data(), h1, 4);
    memcpy(frames.data() + 417, h2, 4);
    ASSERT_EQ(OK, mp3.appendData(frames.data(), frames.size() - 10, 4000));
    Ref<ByteBuffer> m1 = mp3.dequeueAccessUnit();
    ASSERT_TRUE(m1 != nullptr);
    EXPECT_EQ(417u, m1->size());
    EXPECT_EQ(4000, timeOf(m1));
    EXPECT_TRUE(mp3.dequeueAccessUnit() == nullptr);  // 10 bytes short
    ASSERT_EQ(OK, mp3.appendData(frames.data() + frames.size() - 10, 10, 9000));
    Ref<ByteBuffer> m2 = mp3.dequeueAccessUnit();
    ASSERT_TRUE(m2 != nullptr);
    EXPECT_EQ(418u, m2->size());
    EXPECT_EQ(4000 + 1152 * 1000000 / 44100, timeOf(m2));
    const char* mime = nullptr;
    ASSERT_TRUE(mp3.getFormat()->findCString(kKeyMIMEType, &mime));
    EXPECT_STREQ("audio/mpeg", mime);
    EXPECT_TRUE(mp3.getFormat()->findInt32(kKeySampleRate, &rate) && rate == 44100);
    EXPECT_TRUE(mp3.getFormat()->findInt32(kKeyChannelCount, &channels) && channels == 1);

    // PCM: 2 frames are 640 bytes, byte-swapped, without the header; a bad header is dropped.
    AccessUnitQueue pcm(AccessUnitQueue::PCM_AUDIO);
    std::vector<uint8_t> payload = {0xA0, 2, 0, (2 << 3) | 1};
    for (int i = 0; i < 640; ++i) payload.push_back(static_cast<uint8_t>(i));
    std::vector<uint8_t> bad = {0xA0, 1, 0, (1 << 3) | 1};  // 44.1 kHz code
    bad.resize(4 + 320);
    ASSERT_EQ(OK, pcm.appendData(bad.data(), bad.size(), 1));
    EXPECT_TRUE(pcm.dequeueAccessUnit() == nullptr);
    ASSERT_EQ(OK, pcm.appendData(payload.data(), payload.size(), 2));
    Ref<ByteBuffer> p = pcm.dequeueAccessUnit();
    ASSERT_TRUE(p != nullptr);
    ASSERT_EQ(640u, p->size());
    EXPECT_EQ(2, timeOf(p));
    for (size_t i = 0; i < 640; i += 2) {
        ASSERT_EQ(static_cast<uint8_t>(i + 1), p->data()[i]);
        ASSERT_EQ(static_cast<uint8_t>(i), p->data()[i + 1]);
    }
    pcm.clear(true);
    EXPECT_TRUE(pcm.getFormat() == nullptr);
}

TEST(PacketSource, AvcReadsGiveTheSliceAndMarkersArriveInBand) {
    Ref<PacketSource> video = new PacketSource(formatOf("video/avc"));
    Ref<PacketSource> audio = new PacketSource(formatOf("audio/mp4a-latm"));
    const std::vector<uint8_t> idr = {0x65, 0x88, 0x84, 0x00, 0x21};
    video->queueAccessUnit(unit(annexB({{0x09, 0xf0}, kSps, kPps, idr}), 100));
    video->queueAccessUnit(unit(annexB({kSps, kPps}), 200));  // no slice: delivered whole
    Ref<ByteBuffer> damaged = unit({1, 2, 3}, 300);
    damaged->meta()->setInt32("damaged", 1);
    video->queueAccessUnit(damaged);
    std::vector<Unit> units;
    int64_t next = 0;
    EXPECT_EQ(OK, video->nextBufferTime(&next));
    EXPECT_EQ(100, next);
    status_t final = OK;
    EXPECT_EQ(100, video->getBufferedDurationUs(&final));
    video->signalEOS(ERROR_END_OF_STREAM);
    units = readAll(video);
    ASSERT_EQ(2u, units.size());
    EXPECT_EQ(annexB({idr}), units[0].data);
    EXPECT_EQ(100, units[0].timeUs);
    EXPECT_EQ(annexB({kSps, kPps}), units[1].data);
    EXPECT_EQ(ERROR_END_OF_STREAM, video->nextBufferTime(&next));
    EXPECT_FALSE(video->hasBufferAvailable(&final));
    EXPECT_EQ(ERROR_END_OF_STREAM, final);

    // A discontinuity after the end reopens the source; queued units before a marker go, the
    // markers stay. Only the video source reports a video format change, once.
    for (const Ref<PacketSource>& s : {video, audio}) {
        s->queueAccessUnit(unit({9, 9}, 1000));
        s->queueDiscontinuity(DISCONTINUITY_TIME, nullptr);
        s->queueAccessUnit(unit({8, 8}, 2000));
        s->queueDiscontinuity(DISCONTINUITY_VIDEO_FORMAT, nullptr);
        s->queueAccessUnit(unit({7, 7}, 3000));
        s->queueAccessUnit(unit({6, 6}, 3500));
        EXPECT_EQ(500, s->getBufferedDurationUs(&final));
        EXPECT_EQ(OK, final);
        s->signalEOS(ERROR_END_OF_STREAM);
    }
    std::vector<status_t> videoInfos, audioInfos;
    units = readAll(video, &videoInfos);
    EXPECT_EQ(std::vector<status_t>({INFO_DISCONTINUITY, INFO_FORMAT_CHANGED}), videoInfos);
    ASSERT_EQ(2u, units.size());
    EXPECT_EQ(std::vector<uint8_t>({7, 7}), units[0].data);  // no slice in it: whole
    EXPECT_TRUE(video->getFormat() == nullptr);
    units = readAll(audio, &audioInfos);
    EXPECT_EQ(std::vector<status_t>({INFO_DISCONTINUITY}), audioInfos);
    EXPECT_EQ(2u, units.size());
    EXPECT_TRUE(audio->getFormat() != nullptr);
}

TEST(PacketSource, ReaderBlocksUntilAUnitOrTheEnd) {
    Ref<PacketSource> source = new PacketSource(formatOf("audio/mpeg"));
    int64_t next = 0;
    EXPECT_EQ(PacketSource::kWouldBlock, source->nextBufferTime(&next));
    std::atomic<int> got{0};
    std::atomic<status_t> last{OK};
    std::thread reader([&] {
        for (;;) {
            MediaBuffer* b = nullptr;
            status_t err = source->read(&b);
            if (err != OK) {
                last = err;
                return;
            }
            b->release();
            ++got;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(0, got.load());  // nothing to read: still waiting
    for (int i = 0; i < 100; ++i) source->queueAccessUnit(unit({1, 2, 3}, i * 1000));
    source->signalEOS(ERROR_IO);
    reader.join();
    EXPECT_EQ(100, got.load());
    EXPECT_EQ(ERROR_IO, last.load());
}

}  // namespace
