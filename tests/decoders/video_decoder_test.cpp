#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "DecoderTestSupport.h"
#include "engine/MediaDefs.h"
#include "engine/SinkFrameRenderer.h"
#include "engine/codecs/FFMpegVideoDecoder.h"

namespace velmor {
namespace {

using qvdec::ffmpegPicture;
using qvdec::mediaPath;
using qvdec::openTrack;
using qvdec::runCommand;
using qvdec::timeOf;
using Clock = std::chrono::steady_clock;

// The picture's planes as the sinks see them.
PlayerBase::VideoSink::Picture layoutOf(MediaBuffer* picture) {
    PlayerBase::VideoSink::Picture p{};
    EXPECT_TRUE(SinkFrameRenderer::pictureOf(picture, &p));
    return p;
}

// Compares a picture with ffmpeg's tightly packed w x h planes. Returns the number of
// differing samples in the visible area (or a large number when the sizes disagree).
size_t countDifferences(MediaBuffer* picture, const std::vector<uint8_t>& ref, int32_t w, int32_t h) {
    PlayerBase::VideoSink::Picture p = layoutOf(picture);
    int32_t cw = (w + 1) / 2, ch = (h + 1) / 2;
    if (p.width != w || p.height != h || ref.size() != static_cast<size_t>(w) * h + 2 * static_cast<size_t>(cw) * ch)
        return SIZE_MAX;
    const uint8_t* refPlanes[3] = {ref.data(), ref.data() + static_cast<size_t>(w) * h,
                                   ref.data() + static_cast<size_t>(w) * h + static_cast<size_t>(cw) * ch};
    size_t diffs = 0;
    for (int i = 0; i < 3; ++i) {
        int32_t pw = i == 0 ? w : cw, ph = i == 0 ? h : ch;
        for (int32_t y = 0; y < ph; ++y)
            for (int32_t x = 0; x < pw; ++x) diffs += p.planes[i][y * p.strides[i] + x] != refPlanes[i][y * pw + x];
    }
    return diffs;
}

struct Decoded {
    Ref<FFMpegVideoDecoder> decoder;
    qvdec::Track track;
};

Decoded startDecoder(const std::string& path) {
    Decoded d;
    d.track = openTrack(path, true);
    if (d.track.source == nullptr) return d;
    d.decoder = new FFMpegVideoDecoder(d.track.source, 1);
    return d;
}

// Reads to the end (after an optional seek) and returns the picture times in order of arrival;
// *err is the status that ended the reading.
std::vector<int64_t> readToEnd(FFMpegVideoDecoder* decoder, const MediaSource::ReadOptions* seek, status_t* err) {
    std::vector<int64_t> times;
    MediaBuffer* picture = nullptr;
    for (; (*err = decoder->read(&picture, seek)) == OK; seek = nullptr) {
        times.push_back(timeOf(picture));
        picture->release();
    }
    return times;
}

// Lets the decoder run ahead of a reader that does not read until its ready queue is full.
size_t waitForFullQueue(FFMpegVideoDecoder* decoder) {
    const size_t full = FFMpegVideoDecoder::kMaxReadyPictures;
    for (int i = 0; i < 200 && decoder->countReadyPictures() < full; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return decoder->countReadyPictures();
}

// Pictures are the codec's own frames, handed through with their row strides: for an odd
// width the rows are padded, and the layout record is what describes them. Then every picture
// in order, down to the ones the codec held back, then ERROR_END_OF_STREAM; also after a seek
// near the end. The short clips run with 32 processors forced: 48 frame threads hold back more
// pictures than the clip has (start() used to hang on them). w == 0: the first picture is not compared.
TEST(VideoDecoder, EveryFixtureMatchesFFmpegToTheEnd) {
    struct Case {
        const char* name;
        int32_t w, h;
        int processors;
    } cases[] = {{"h264_aac.mp4", 320, 240, 0},   {"hevc_aac.mkv", 320, 240, 0}, {"mpeg4_mp3.avi", 320, 240, 0},
                 {"vp8_vorbis.webm", 320, 240, 0}, {"h264_aac.ts", 320, 240, 0},  {"h264_aac.flv", 320, 240, 0},
                 {"video_only.mp4", 320, 240, 0}, {"rotated.mp4", 320, 240, 0},  {"odd_854x480.mp4", 854, 480, 0},
                 {"truncated.mkv", 0, 0, 0},       {"clip_1.mp4", 0, 0, 32},      {"clip_3.mp4", 0, 0, 32},
                 {"clip_20.mp4", 0, 0, 32}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = mediaPath(c.name);
        REQUIRE_FILE(path);
        std::vector<uint8_t> count = runCommand("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                                                "stream=nb_read_frames -of csv=p=0 '" + path + "'");
        const int expected = atoi(std::string(count.begin(), count.end()).c_str());
        ASSERT_GT(expected, 0);

        FFMpegVideoDecoder::setProcessorCountOverride(c.processors);
        Decoded d = startDecoder(path);
        ASSERT_NE(nullptr, d.decoder.get());
        status_t err = d.decoder->start();
        FFMpegVideoDecoder::setProcessorCountOverride(0);
        ASSERT_EQ(OK, err);
        EXPECT_TRUE(c.processors == 0 || d.decoder->threadCount() == c.processors * 3 / 2);
        std::vector<int64_t> times;
        if (c.w > 0) {
            Ref<MetaData> format = d.decoder->getFormat();
            int32_t w = 0, h = 0, color = -1, rotation = 0, inRotation = 0;
            format->findInt32(kKeyWidth, &w);
            format->findInt32(kKeyHeight, &h);
            format->findInt32(kKeyColorFormat, &color);
            EXPECT_EQ((std::vector<int32_t>{c.w, c.h, AV_PIX_FMT_YUV420P}), (std::vector<int32_t>{w, h, color}));
            const char* codecName = nullptr;
            EXPECT_TRUE(format->findCString(kKeyCodecName, &codecName));
            format->findInt32(kKeyRotationDegrees, &rotation);
            d.track.source->getFormat()->findInt32(kKeyRotationDegrees, &inRotation);
            EXPECT_EQ(inRotation, rotation);
            EXPECT_EQ(std::string(c.name) == "rotated.mp4", rotation != 0);

            MediaBuffer* picture = nullptr;
            ASSERT_EQ(OK, d.decoder->read(&picture));
            ASSERT_NE(nullptr, picture);
            times.push_back(timeOf(picture));
            EXPECT_EQ(0, timeOf(picture));
            PlayerBase::VideoSink::Picture layout = layoutOf(picture);
            EXPECT_GE(layout.strides[0], c.w);
            EXPECT_GE(layout.strides[1], (c.w + 1) / 2);
            EXPECT_EQ(picture->data(), layout.planes[0]) << "data() is the luma plane";
            // The same libavcodec decoder on the same packets: every sample is equal (sizes included).
            EXPECT_EQ(0u, countDifferences(picture, ffmpegPicture(path, 0), c.w, c.h));
            picture->release();
        }
        std::vector<int64_t> rest = readToEnd(d.decoder.get(), nullptr, &err);
        times.insert(times.end(), rest.begin(), rest.end());
        EXPECT_EQ(ERROR_END_OF_STREAM, err);
        EXPECT_EQ(static_cast<size_t>(expected), times.size());
        EXPECT_EQ(times.end(), std::adjacent_find(times.begin(), times.end(), std::greater_equal<>())) << "out of order";
        // Near the end the stale-picture discard may take what is left; the stream still ends.
        MediaSource::ReadOptions options;
        options.setSeekTo(times.empty() ? 0 : times.back(), MediaSource::ReadOptions::SeekClosestSync);
        std::vector<int64_t> after = readToEnd(d.decoder.get(), &options, &err);
        EXPECT_EQ(ERROR_END_OF_STREAM, err);
        EXPECT_EQ(after.end(), std::adjacent_find(after.begin(), after.end(), std::greater_equal<>())) << "out of order";
        EXPECT_EQ(OK, d.decoder->stop());
    }
}

TEST(VideoDecoder, PictureSizeChangeIsReportedInBand) {
    const std::string path = mediaPath("size_change.ts");
    REQUIRE_FILE(path);
    Decoded d = startDecoder(path);
    ASSERT_EQ(OK, d.decoder->start());
    int small = 0, large = 0, changes = 0;
    int64_t last = -1;
    for (;;) {
        MediaBuffer* picture = nullptr;
        status_t err = d.decoder->read(&picture);
        if (err == INFO_FORMAT_CHANGED) {
            EXPECT_EQ(nullptr, picture);
            EXPECT_GT(small, 0) << "the small pictures come first";
            EXPECT_EQ(0, large);
            ++changes;
            Ref<MetaData> format = d.decoder->getFormat();
            int32_t w = 0, h = 0, l = -1, t = -1, r = -1, b = -1;
            format->findInt32(kKeyWidth, &w);
            format->findInt32(kKeyHeight, &h);
            format->findRect(kKeyCropRect, &l, &t, &r, &b);
            EXPECT_EQ((std::vector<int32_t>{640, 480, 0, 0, 639, 479}), (std::vector<int32_t>{w, h, l, t, r, b}));
            continue;
        }
        if (err != OK) break;
        EXPECT_GT(timeOf(picture), last);
        last = timeOf(picture);
        EXPECT_EQ(changes == 0 ? 320 : 640, layoutOf(picture).width);
        EXPECT_EQ(changes == 0 ? 240 : 480, layoutOf(picture).height);
        ++(changes == 0 ? small : large);
        picture->release();
    }
    EXPECT_EQ(1, changes);
    EXPECT_EQ(50, small);
    EXPECT_EQ(50, large);
    d.decoder->stop();
}

// A plain seek restarts at the key frame at or before the target and discards the codec
// threads' first thread count - 1 pictures; an exact seek also says where the reader's target
// is: the pictures between the key frame and the target are decoded but never handed out, and
// the hint ends with that seek. (Loop-filter shedding is off, so every picture can be compared.)
TEST(VideoDecoder, SeeksDiscardStalePicturesAndHonourTheTarget) {
    const std::string path = mediaPath("h264_aac.mp4");
    REQUIRE_FILE(path);
    FFMpegVideoDecoder::setLoopFilterShedding(false);
    Decoded d = startDecoder(path);
    ASSERT_EQ(OK, d.decoder->start());
    FFMpegVideoDecoder::setLoopFilterShedding(true);
    // Let the queue fill with pictures from the start; decoding stops that far ahead of the reader.
    EXPECT_EQ(waitForFullQueue(d.decoder.get()), FFMpegVideoDecoder::kMaxReadyPictures);
    const int64_t dropped = (d.decoder->threadCount() - 1) * 40000;
    MediaBuffer* picture = nullptr;
    auto seek = [&](int64_t to, int64_t skipUntil) {
        MediaSource::ReadOptions options;
        options.setSeekTo(to, MediaSource::ReadOptions::SeekClosestSync);
        if (skipUntil >= 0) options.setSkipUntil(skipUntil);
        return d.decoder->read(&picture, &options);
    };
    auto matchesFFmpeg = [&] { return countDifferences(picture, ffmpegPicture(path, timeOf(picture) / 40000), 320, 240); };

    // Key frames every second: the demuxer lands on one at or before 4 s.
    ASSERT_EQ(OK, seek(4000000, -1));
    int64_t t = timeOf(picture);
    EXPECT_LE(t, 4000000 + dropped);
    EXPECT_GE(t, 3000000 + dropped);
    EXPECT_EQ(0, (t - dropped) % 1000000) << t;
    EXPECT_EQ(0u, matchesFFmpeg());
    picture->release();
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(OK, d.decoder->read(&picture));
        EXPECT_EQ(t += 40000, timeOf(picture));
        picture->release();
    }
    // 5.52 s lies between the key frames at 5 s and 6 s: the target itself comes out first.
    ASSERT_EQ(OK, seek(5520000, 5520000));
    EXPECT_EQ(5520000, timeOf(picture));
    EXPECT_EQ(0u, matchesFFmpeg());
    picture->release();
    ASSERT_EQ(OK, d.decoder->read(&picture));
    EXPECT_EQ(5560000, timeOf(picture));
    picture->release();
    // A plain seek backwards starts from its key frame again.
    ASSERT_EQ(OK, seek(2000000, -1));
    EXPECT_EQ(2000000 + dropped, timeOf(picture));
    EXPECT_EQ(0u, matchesFFmpeg());
    picture->release();
    // A target past the last picture: nothing is handed out, the stream ends.
    EXPECT_EQ(ERROR_END_OF_STREAM, seek(7000000, 60000000));
    EXPECT_EQ(nullptr, picture);
    d.decoder->stop();
}

// Hysteresis on the ready queue: a slow reader that finds it full never sees the flag; a greedy
// reader runs it below kLowQueueOn and the decoder sheds the loop filter (pictures differ from a
// full decode); once the reader waits for the queue to refill to the cap, the flag clears.
TEST(VideoDecoder, LowQueueSkipsTheLoopFilter) {
    const std::string path = mediaPath("hd720.mp4");
    REQUIRE_FILE(path);
    Decoded d = startDecoder(path);
    ASSERT_EQ(OK, d.decoder->start());
    MediaBuffer* picture = nullptr;
    int index = 0;
    auto readOne = [&](int compareWith, size_t* differing) {
        ASSERT_EQ(OK, d.decoder->read(&picture));
        if (index == compareWith) *differing = countDifferences(picture, ffmpegPicture(path, index), 1280, 720);
        picture->release();
        ++index;
    };
    size_t differing = SIZE_MAX;
    for (int i = 0; i < 15; ++i) {
        EXPECT_EQ(waitForFullQueue(d.decoder.get()), FFMpegVideoDecoder::kMaxReadyPictures);
        readOne(10, &differing);
        EXPECT_FALSE(d.decoder->isLowQueue()) << index;
    }
    EXPECT_EQ(0u, differing) << "a full queue decodes in full";
    bool sawLow = false;
    for (int i = 0; i < 45; ++i) {
        readOne(59, &differing);
        sawLow = sawLow || d.decoder->isLowQueue();
    }
    EXPECT_TRUE(sawLow);
    EXPECT_GT(differing, 1000u) << "the loop filter was skipped";
    EXPECT_EQ(waitForFullQueue(d.decoder.get()), FFMpegVideoDecoder::kMaxReadyPictures);
    readOne(-1, &differing);
    EXPECT_FALSE(d.decoder->isLowQueue()) << "cleared at the cap the queue can reach";
    d.decoder->stop();
}

// Hands out a track's packets in FFmpeg buffers of its own (as the extractor does) and counts
// how many of those buffers are still alive.
class SharedPacketSource : public qvdec::WrappedSource {
public:
    explicit SharedPacketSource(const Ref<MediaSource>& inner) : WrappedSource(inner, nullptr) {}
    status_t read(MediaBuffer** out, const ReadOptions* options) override {
        MediaBuffer* in = nullptr;
        status_t err = mInner->read(&in, options);
        if (err != OK) return err;
        const size_t size = in->range_length();
        auto* bytes = static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
        memcpy(bytes, static_cast<const uint8_t*>(in->data()) + in->range_offset(), size);
        ++alive;
        *out = new MediaBuffer(av_buffer_create(bytes, size + AV_INPUT_BUFFER_PADDING_SIZE, &freeBytes, this, 0),
                               bytes, size);
        (*out)->meta_data()->setInt64(kKeyTime, timeOf(in));
        in->release();
        return OK;
    }
    std::atomic<int> alive{0};

private:
    static void freeBytes(void* me, uint8_t* data) {
        av_free(data);
        --static_cast<SharedPacketSource*>(me)->alive;
    }
};

// Such packets reach the codec as new references, not copies: while the decoder waits with a
// full queue, the codec's frame threads still hold the packets they decoded last (a copying
// decoder keeps only the one packet it is working on), and every reference goes with stop().
TEST(VideoDecoder, PacketsInFFmpegBuffersAreSharedNotCopied) {
    const std::string path = mediaPath("h264_aac.mp4");
    REQUIRE_FILE(path);
    qvdec::Track track = openTrack(path, true);
    Ref<SharedPacketSource> shared = new SharedPacketSource(track.source);
    FFMpegVideoDecoder::setProcessorCountOverride(2);  // 3 frame threads
    Ref<FFMpegVideoDecoder> decoder = new FFMpegVideoDecoder(shared, 1);
    ASSERT_EQ(OK, decoder->start());
    FFMpegVideoDecoder::setProcessorCountOverride(0);
    EXPECT_EQ(waitForFullQueue(decoder.get()), FFMpegVideoDecoder::kMaxReadyPictures);
    EXPECT_GE(shared->alive.load(), 2);
    MediaBuffer* first = nullptr;
    ASSERT_EQ(OK, decoder->read(&first));
    EXPECT_EQ(0u, countDifferences(first, ffmpegPicture(path, 0), 320, 240));
    first->release();
    decoder->stop();
    EXPECT_EQ(0, shared->alive.load());
}

// Hands out packets of a real track until told to hold; then read blocks (up to a bound) and
// answers INFO_DISCONTINUITY, like a network source without data.
class HoldingSource : public qvdec::WrappedSource {
public:
    HoldingSource(const Ref<MediaSource>& inner, int packets) : WrappedSource(inner, nullptr), mLeft(packets) {}
    status_t read(MediaBuffer** out, const ReadOptions* options) override {
        if (mLeft.fetch_sub(1) > 0) return mInner->read(out, options);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return INFO_DISCONTINUITY;
    }

private:
    std::atomic<int> mLeft;
};

TEST(VideoDecoder, StopWhileReaderOrDecoderIsBlocked) {
    const std::string path = mediaPath("h264_aac.mp4");
    REQUIRE_FILE(path);
    // Decoder blocked: the consumer holds all 20 pictures.
    {
        Decoded d = startDecoder(path);
        ASSERT_EQ(OK, d.decoder->start());
        std::vector<MediaBuffer*> held;
        for (int i = 0; i < FFMpegVideoDecoder::kNumPictureBuffers; ++i) {
            MediaBuffer* picture = nullptr;
            ASSERT_EQ(OK, d.decoder->read(&picture));
            held.push_back(picture);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        auto begin = Clock::now();
        EXPECT_EQ(OK, d.decoder->stop());
        EXPECT_LT(Clock::now() - begin, std::chrono::seconds(5));
        // Released after the stop: the buffers go away on their own.
        for (MediaBuffer* picture : held) picture->release();
    }
    // Reader blocked: no picture will come.
    {
        qvdec::Track track = openTrack(path, true);
        Ref<FFMpegVideoDecoder> decoder = new FFMpegVideoDecoder(new HoldingSource(track.source, 8), 1);
        ASSERT_EQ(OK, decoder->start());
        status_t result = OK;
        size_t delivered = 0;
        std::thread reader([&] { delivered = readToEnd(decoder.get(), nullptr, &result).size(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        auto begin = Clock::now();
        EXPECT_EQ(OK, decoder->stop());
        reader.join();
        EXPECT_LT(Clock::now() - begin, std::chrono::seconds(5));
        EXPECT_NE(OK, result);
        EXPECT_GT(delivered, 0u);
        EXPECT_LE(delivered, 8u);
    }
}

TEST(VideoDecoder, BadInput) {
    const std::string path = mediaPath("h264_aac.mp4");
    REQUIRE_FILE(path);
    // An unsupported codec.
    {
        qvdec::Track track = openTrack(path, true);
        Ref<MediaSource> odd = new qvdec::WrappedSource(track.source, [](MetaData* f) {
            f->remove(kKeyCodecContext);
            f->setInt32(kKeyVideoCodecId, 0x7ffff);
        });
        Ref<FFMpegVideoDecoder> decoder = new FFMpegVideoDecoder(odd, 1);
        EXPECT_EQ(ERROR_UNSUPPORTED, decoder->start());
        MediaBuffer* none = nullptr;
        EXPECT_EQ(ERROR_END_OF_STREAM, decoder->read(&none));
    }
    // Corrupt packets after the first key frame: pictures keep coming, in order, to the end.
    {
        qvdec::Track track = openTrack(path, true);
        uint32_t seed = 12345;
        Ref<MediaSource> noisy = new qvdec::WrappedSource(track.source, nullptr, [&seed](MediaBuffer* b, int index) {
            if (index < 3) return OK;
            uint8_t* p = static_cast<uint8_t*>(b->data()) + b->range_offset();
            for (size_t i = 0; i < b->range_length(); i += 7) {
                seed = seed * 1103515245u + 12345u;
                if ((seed >> 16) % 5 == 0) p[i] ^= static_cast<uint8_t>(seed >> 24);
            }
            if (index % 11 == 0) b->set_range(b->range_offset(), b->range_length() / 3);
            return OK;
        });
        Ref<FFMpegVideoDecoder> decoder = new FFMpegVideoDecoder(noisy, 1);
        ASSERT_EQ(OK, decoder->start());
        status_t err = OK;
        std::vector<int64_t> times = readToEnd(decoder.get(), nullptr, &err);
        EXPECT_EQ(ERROR_END_OF_STREAM, err);
        EXPECT_GT(times.size(), 20u);
        EXPECT_EQ(times.end(), std::adjacent_find(times.begin(), times.end(), std::greater_equal<>())) << "out of order";
        decoder->stop();
    }
    // A header that claims 8192x8184: refused at start, before the codec allocates pictures.
    {
        const std::string huge = mediaPath("huge_8192x8184.mp4");
        REQUIRE_FILE(huge);
        auto peakKb = [] {
            std::vector<uint8_t> status = runCommand("grep VmHWM /proc/" + std::to_string(getpid()) + "/status");
            return atol(std::string(status.begin(), status.end()).substr(6).c_str());
        };
        runCommand("echo 5 > /proc/" + std::to_string(getpid()) + "/clear_refs");  // peak := current
        long before = peakKb();
        qvdec::Track track = openTrack(huge, true);
        ASSERT_NE(nullptr, track.source.get());
        Ref<FFMpegVideoDecoder> decoder = new FFMpegVideoDecoder(track.source, 1);
        EXPECT_EQ(ERROR_UNSUPPORTED, decoder->start());
        // The extractor probes one picture (about 100 MB); no decoder threads or pictures follow.
        EXPECT_LT(peakKb() - before, 300 * 1024) << "peak grew by " << (peakKb() - before) << " kB";
    }
    // A configuration from the format alone (no codec context): still decodes.
    {
        qvdec::Track track = openTrack(path, true);
        Ref<MediaSource> plain = new qvdec::WrappedSource(track.source, [](MetaData* f) { f->remove(kKeyCodecContext); });
        Ref<FFMpegVideoDecoder> decoder = new FFMpegVideoDecoder(plain, 1);
        ASSERT_EQ(OK, decoder->start());
        MediaBuffer* first = nullptr;
        ASSERT_EQ(OK, decoder->read(&first));
        EXPECT_EQ(0u, countDifferences(first, ffmpegPicture(path, 0), 320, 240));
        first->release();
        decoder->stop();
    }
}

}  // namespace
}  // namespace velmor
