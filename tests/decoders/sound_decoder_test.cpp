// FFMpegSoundDecoder against ffmpeg's own decode of every sound fixture, across a source that
// blocks, seeks, bad input, and the audio watermark recovered from the decoded sound.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "DecoderTestSupport.h"
#include "engine/MediaDefs.h"
#include "engine/codecs/AudioWatermark.h"
#include "engine/codecs/FFMpegSoundDecoder.h"

namespace velmor {
namespace {

using qvdec::ffmpegPcm;
using qvdec::mediaPath;
using qvdec::openTrack;
using qvdec::timeOf;

struct Pcm {
    std::vector<int16_t> samples;  // interleaved stereo
    int32_t sampleRate = 0;
    status_t end = OK;
    int buffers = 0;
};

// Reads a started decoder to its end, checking buffer sizes and time continuity.
Pcm readAll(const Ref<FFMpegSoundDecoder>& decoder, int64_t firstTimeUs = 0, size_t limitBytes = SIZE_MAX,
           bool continuous = true) {
    Pcm pcm;
    EXPECT_TRUE(decoder->getFormat()->findInt32(kKeySampleRate, &pcm.sampleRate));
    int64_t expected = firstTimeUs;
    for (;;) {
        MediaBuffer* buffer = nullptr;
        status_t err = decoder->read(&buffer);
        if (err != OK) {
            pcm.end = err;
            break;
        }
        EXPECT_LE(buffer->range_length(), 4096u);
        EXPECT_EQ(0u, buffer->range_length() % 4);
        // Times follow the samples delivered; packet times of Matroska/WebM are whole milliseconds.
        if (pcm.buffers > 0 && continuous) {
            EXPECT_NEAR(static_cast<double>(expected), static_cast<double>(timeOf(buffer)), 1000.0);
        }
        const int16_t* s = reinterpret_cast<const int16_t*>(static_cast<const uint8_t*>(buffer->data()) +
                                                             buffer->range_offset());
        pcm.samples.insert(pcm.samples.end(), s, s + buffer->range_length() / 2);
        expected = timeOf(buffer) + static_cast<int64_t>(buffer->range_length() / 4) * 1000000 / pcm.sampleRate;
        ++pcm.buffers;
        buffer->release();
        if (pcm.samples.size() * 2 >= limitBytes) break;
    }
    return pcm;
}

// The offset (in stereo frames) at which ours lines up with ffmpeg's, and the largest difference
// over the overlap. Lossy decoders put priming samples at the start that ffmpeg's command drops
// through the container's skip-samples side data, which the extractor does not pass on.
struct Alignment {
    long offset = -1;
    int maxDiff = 1 << 30;
    size_t compared = 0;
};

Alignment align(const std::vector<int16_t>& ours, const std::vector<int16_t>& ref, long maxOffset) {
    Alignment best;
    size_t probe = std::min<size_t>(ref.size(), 2 * 8192);
    for (long off = 0; off <= maxOffset; ++off) {
        if (static_cast<size_t>(off) * 2 + probe > ours.size()) break;
        bool same = true;
        for (size_t i = 0; i < probe && same; ++i) same = std::abs(ours[off * 2 + i] - ref[i]) <= 1;
        if (!same) continue;
        best.offset = off;
        best.maxDiff = 0;
        size_t n = std::min(ours.size() - off * 2, ref.size());
        for (size_t i = 0; i < n; ++i) best.maxDiff = std::max(best.maxDiff, std::abs(ours[off * 2 + i] - ref[i]));
        best.compared = n;
        break;
    }
    return best;
}

Ref<FFMpegSoundDecoder> audioDecoder(const qvdec::Track& track) {
    return track.source != nullptr ? new FFMpegSoundDecoder(track.source, 1) : nullptr;
}

// A decoder over a file's audio track seen through a wrapper (format edit, packet filter).
Ref<FFMpegSoundDecoder> wrappedDecoder(const std::string& path, qvdec::WrappedSource::FormatEdit edit,
                                       qvdec::WrappedSource::PacketFilter filter = nullptr) {
    return new FFMpegSoundDecoder(new qvdec::WrappedSource(openTrack(path, false).source, edit, filter), 1);
}

TEST(SoundDecoder, EveryFixtureMatchesFFmpegsDecode) {
    struct Case {
        const char* name;
        int32_t rate;
        long maxOffset;  // priming frames the container trims
    };
    for (const Case& c : {Case{"audio.flac", 44100, 0}, Case{"audio.wav", 44100, 0}, Case{"audio_51.flac", 48000, 0},
                          Case{"audio_mono.m4a", 22050, 2048}, Case{"audio_51.m4a", 48000, 2048},
                          Case{"h264_aac.mp4", 44100, 2048}, Case{"mpeg4_mp3.avi", 44100, 2400},
                          Case{"vp8_vorbis.webm", 44100, 0}, Case{"hevc_aac.mkv", 44100, 2048},
                          Case{"h264_aac.ts", 44100, 2048}}) {
        SCOPED_TRACE(c.name);
        const std::string path = mediaPath(c.name);
        REQUIRE_FILE(path);
        Ref<FFMpegSoundDecoder> decoder = audioDecoder(openTrack(path, false));
        ASSERT_NE(nullptr, decoder.get());
        ASSERT_EQ(OK, decoder->start());
        int32_t channels = 0;
        const char* component = nullptr;
        EXPECT_TRUE(decoder->getFormat()->findInt32(kKeyChannelCount, &channels) && channels == 2) << channels;
        EXPECT_TRUE(decoder->getFormat()->findCString(kKeyDecoderComponent, &component));
        EXPECT_STREQ("FFMpegSoundDecoder", component);
        Pcm ours = readAll(decoder);
        EXPECT_EQ(ERROR_END_OF_STREAM, ours.end);
        // Output buffers come back to the decoder's pool: no allocation per buffer.
        EXPECT_LE(decoder->outputBuffersMade(), 2);
        EXPECT_EQ(c.rate, ours.sampleRate);
        MediaBuffer* none = nullptr;
        EXPECT_EQ(ERROR_END_OF_STREAM, decoder->read(&none));
        decoder->stop();

        std::vector<int16_t> ref = ffmpegPcm(path);
        ASSERT_GT(ref.size(), 44100u);
        Alignment a = align(ours.samples, ref, c.maxOffset);
        ASSERT_GE(a.offset, 0) << "no alignment with ffmpeg's output";
        EXPECT_TRUE(c.maxOffset != 0 || a.offset == 0) << a.offset;
        // Same decoder, same conversion (libswresample, default matrix): equal samples. One
        // step of tolerance covers float-to-int rounding in the downmix of 5.1 sources.
        EXPECT_LE(a.maxDiff, 1);
        // Everything ffmpeg decodes is there (allowing one frame at the very end).
        EXPECT_GE(a.compared + 2 * 2048, ref.size());
        // A mono source comes out as two equal channels.
        for (size_t i = 0; strcmp(c.name, "audio_mono.m4a") == 0 && i + 1 < ours.samples.size(); i += 2) {
            ASSERT_EQ(ours.samples[i], ours.samples[i + 1]) << i;
        }
    }
}

// The doubled decoder's source stalls mid-stream, like a network read: volume changes and format
// queries from another thread answer while it waits, and the output is unchanged by the stall.
TEST(SoundDecoder, GainStepWhileTheSourceBlocks) {
    const std::string path = mediaPath("h264_aac.mp4");
    REQUIRE_FILE(path);
    Ref<FFMpegSoundDecoder> plain = audioDecoder(openTrack(path, false));
    ASSERT_EQ(OK, plain->start());
    plain->setAudioGainStep(0);
    Pcm a = readAll(plain, 0, 400000);
    plain->stop();

    std::mutex lock;
    std::condition_variable changed;
    bool blocked = false, open = false;
    Ref<FFMpegSoundDecoder> doubled = wrappedDecoder(path, nullptr, [&](MediaBuffer*, int index) {
        if (index != 20) return OK;
        std::unique_lock<std::mutex> l(lock);
        blocked = true;
        changed.notify_all();
        changed.wait(l, [&] { return open; });
        return OK;
    });
    ASSERT_EQ(OK, doubled->start());
    doubled->setAudioGainStep(20);
    EXPECT_FLOAT_EQ(2.0f, doubled->gain());
    auto reading = std::async(std::launch::async, [&] { return readAll(doubled, 0, 400000); });
    {
        std::unique_lock<std::mutex> l(lock);
        ASSERT_TRUE(changed.wait_for(l, std::chrono::seconds(30), [&] { return blocked; }));
    }
    auto queries = std::async(std::launch::async, [&] {
        doubled->setAudioGainStep(20);
        return doubled->getFormat() != nullptr;
    });
    const bool answered = queries.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    {
        std::lock_guard<std::mutex> l(lock);
        open = true;
        changed.notify_all();
    }
    EXPECT_TRUE(answered) << "getFormat/setAudioGainStep waited for the blocked source read";
    EXPECT_TRUE(queries.get());
    Pcm b = reading.get();
    doubled->stop();
    ASSERT_EQ(a.samples.size(), b.samples.size());
    for (size_t i = 0; i < a.samples.size(); ++i) ASSERT_EQ(std::clamp(a.samples[i] * 2, -32768, 32767), b.samples[i]);

    // Clamping on a loud source.
    const std::string loud = std::string(QV_BINARY_DIR) + "/loud_stereo_tone.m4a";
    if (!qvdec::fileExists(loud)) {
        qvdec::runCommand("ffmpeg -nostdin -v error -y -f lavfi -i 'aevalsrc=0.9*sin(2*PI*300*t)|0.9*sin(2*PI*300*t):s=44100:d=1' "
                          "-c:a aac '" + loud + "'");
    }
    Ref<FFMpegSoundDecoder> clamped = audioDecoder(openTrack(loud, false));
    ASSERT_EQ(OK, clamped->start());
    clamped->setAudioGainStep(10);
    EXPECT_FLOAT_EQ(1.5f, clamped->gain());
    Pcm c = readAll(clamped);
    clamped->stop();
    EXPECT_GT(std::count(c.samples.begin(), c.samples.end(), int16_t(32767)), 1000);
    EXPECT_GT(std::count(c.samples.begin(), c.samples.end(), int16_t(-32768)), 1000);
}

TEST(SoundDecoder, SeekAndEnd) {
    const std::string path = mediaPath("audio.flac");
    REQUIRE_FILE(path);
    Ref<FFMpegSoundDecoder> decoder = audioDecoder(openTrack(path, false));
    ASSERT_EQ(OK, decoder->start());
    Pcm head = readAll(decoder, 0, 20000);
    std::vector<int16_t> ref = ffmpegPcm(path);

    MediaSource::ReadOptions options;
    options.setSeekTo(1000000, MediaSource::ReadOptions::SeekClosestSync);
    MediaBuffer* buffer = nullptr;
    ASSERT_EQ(OK, decoder->read(&buffer, &options));
    int64_t t = timeOf(buffer);
    // The source skips packets before the seek time: the first buffer starts with the first
    // FLAC frame (4608 samples) at or after it, with ffmpeg's samples for that time.
    EXPECT_GE(t, 1000000);
    EXPECT_LT(t, 1000000 + 4608LL * 1000000 / 44100);
    size_t frame = static_cast<size_t>((t * 44100 + 500000) / 1000000);
    const int16_t* s = static_cast<const int16_t*>(buffer->data());
    for (size_t i = 0; i < buffer->range_length() / 2; ++i) ASSERT_EQ(ref[frame * 2 + i], s[i]) << i;
    buffer->release();
    Pcm rest = readAll(decoder, t);
    EXPECT_EQ(ERROR_END_OF_STREAM, rest.end);
    // After the end a seek starts over.
    options.setSeekTo(0, MediaSource::ReadOptions::SeekClosestSync);
    ASSERT_EQ(OK, decoder->read(&buffer, &options));
    EXPECT_EQ(0, timeOf(buffer));
    buffer->release();
    decoder->stop();
    EXPECT_EQ(ERROR_END_OF_STREAM, decoder->read(&buffer));
}

// An unknown codec is refused; mangled packets are dropped and decoding goes on; the format's
// codec data alone configures the decoder.
TEST(SoundDecoder, BadInput) {
    const std::string path = mediaPath("h264_aac.mp4");
    REQUIRE_FILE(path);
    Ref<FFMpegSoundDecoder> unknown = wrappedDecoder(path, [](MetaData* f) {
        f->remove(kKeyCodecContext);
        f->setInt32(kKeySoundCodecId, 0x7ffff);
    });
    EXPECT_EQ(ERROR_UNSUPPORTED, unknown->start());
    MediaBuffer* none = nullptr;
    EXPECT_EQ(ERROR_END_OF_STREAM, unknown->read(&none));

    Ref<FFMpegSoundDecoder> noisy = wrappedDecoder(path, nullptr, [](MediaBuffer* b, int index) {
        if (index % 3 == 1) {
            uint8_t* p = static_cast<uint8_t*>(b->data()) + b->range_offset();
            for (size_t i = 0; i < b->range_length(); i += 3) p[i] = static_cast<uint8_t>(p[i] * 31 + index);
        }
        return OK;
    });
    ASSERT_EQ(OK, noisy->start());
    // Dropped packets leave gaps in the times: no continuity check here.
    Pcm pcm = readAll(noisy, 0, SIZE_MAX, false);
    EXPECT_EQ(ERROR_END_OF_STREAM, pcm.end);
    EXPECT_GT(pcm.samples.size(), 2u * 44100 * 3);
    noisy->stop();

    Ref<FFMpegSoundDecoder> plain = wrappedDecoder(path, [](MetaData* f) { f->remove(kKeyCodecContext); });
    ASSERT_EQ(OK, plain->start());
    EXPECT_GE(readAll(plain, 0, 100000).samples.size() * 2, 100000u);
    plain->stop();
}

// ---- Watermark detection ---------------------------------------------------------------

struct Detection {
    bool found = false;
    uint64_t payload = 0;
    double syncScore = 0;
};

// Correlates the first difference of the left channel with the chip sequence, finds the bit
// grid by energy, then the frame start by the sync word, and reads the payload bits (summing
// repeated frames).
Detection detect(const std::vector<int16_t>& stereo, size_t fromFrame, size_t toFrame, int32_t sampleRate) {
    typedef AudioWatermarkEncoder W;
    const int chipLength = W::chipLengthFor(sampleRate, 16000);
    const int B = W::kChipsPerBit * chipLength;
    const std::vector<int8_t>& chips = W::chipSequence();
    toFrame = std::min(toFrame, stereo.size() / 2);
    std::vector<float> d;
    for (size_t i = fromFrame + 1; i < toFrame; ++i) d.push_back(static_cast<float>(stereo[2 * i] - stereo[2 * i - 2]));
    // The template's first difference is non-zero only where the chip changes.
    std::vector<std::pair<int, float>> taps;
    for (int m = 1; m < B; ++m) {
        float v = chips[m / chipLength] - chips[(m - 1) / chipLength];
        if (v != 0) taps.emplace_back(m, v);
    }
    auto corr = [&](size_t at) {
        double sum = 0;
        for (auto& tap : taps) sum += tap.second * d[at + tap.first];
        return sum;
    };
    Detection result;
    if (d.size() < static_cast<size_t>(B) * W::kFrameBits) return result;
    size_t bits = d.size() / B - 1;
    int bestOffset = 0;
    double bestEnergy = -1;
    for (int o = 0; o < B; ++o) {
        double e = 0;
        for (size_t k = 0; k < bits; ++k) e += std::fabs(corr(o + k * B));
        if (e > bestEnergy) std::tie(bestEnergy, bestOffset) = std::tie(e, o);
    }
    std::vector<double> b(bits);
    for (size_t k = 0; k < bits; ++k) b[k] = corr(bestOffset + k * B);
    int bestPhase = 0;
    double bestScore = -2;
    for (int phase = 0; phase < W::kFrameBits; ++phase) {
        double s = 0, norm = 0;
        for (size_t k = 0; k < bits; ++k) {
            int pos = static_cast<int>((k + W::kFrameBits - phase) % W::kFrameBits);
            if (pos >= W::kSyncBits) continue;
            s += b[k] * (W::frameBit(0, pos) ? 1 : -1);
            norm += std::fabs(b[k]);
        }
        double score = norm > 0 ? s / norm : 0;
        if (score > bestScore) std::tie(bestScore, bestPhase) = std::tie(score, phase);
    }
    uint64_t payload = 0;
    for (int i = 0; i < W::kPayloadBits; ++i) {
        double sum = 0;
        for (size_t k = 0; k < bits; ++k) {
            if (static_cast<int>((k + W::kFrameBits - bestPhase) % W::kFrameBits) == W::kSyncBits + i) sum += b[k];
        }
        payload = (payload << 1) | (sum > 0 ? 1u : 0u);
    }
    result.syncScore = bestScore;
    result.payload = payload;
    result.found = bestScore > 0.6;
    return result;
}

// A two-group payload over the first 20 s of the long clip, against the same sound unmarked.
TEST(SoundDecoder, WatermarkGroupsAreRecoveredAndRestartAfterSeek) {
    const std::string path = mediaPath("big_1080p.mp4");
    REQUIRE_FILE(path);
    const size_t limit = 4 * 44100 * 20;
    Ref<FFMpegSoundDecoder> plain = audioDecoder(openTrack(path, false));
    ASSERT_EQ(OK, plain->start());
    EXPECT_FALSE(plain->isWatermarking());
    Pcm unmarked = readAll(plain, 0, limit);
    plain->stop();

    // 34 characters: two payload groups.
    const char* payload = "0x1111222233334444AAAABBBBCCCCDDDD";
    Ref<FFMpegSoundDecoder> decoder =
        wrappedDecoder(path, [payload](MetaData* f) { f->setCString(kKeyAudioWatermark, payload); });
    ASSERT_EQ(OK, decoder->start());
    EXPECT_TRUE(decoder->isWatermarking());
    EXPECT_EQ(2, decoder->payloadGroupCount());
    Pcm pcm = readAll(decoder, 0, limit);
    const int32_t rate = pcm.sampleRate;
    // Marked blocks are 90 % of 10 s worth of float bytes; the first after the start passes unmarked.
    const size_t block = 2 * 10000 * (rate / 1000) * 9 / 10 / 4 + 1;
    ASSERT_EQ(unmarked.samples.size(), pcm.samples.size());
    size_t firstDifference = pcm.samples.size();
    int maxDiff = 0;
    for (size_t i = 0; i < pcm.samples.size(); ++i) {
        const int diff = std::abs(pcm.samples[i] - unmarked.samples[i]);
        if (diff != 0 && firstDifference == pcm.samples.size()) firstDifference = i;
        ASSERT_TRUE(i % 2 == 0 || diff == 0) << "the right channel is never marked";
        maxDiff = std::max(maxDiff, diff);
    }
    EXPECT_GE(firstDifference / 2, block - 1024);
    // Low level: far below the tone (about -30 dB under its envelope).
    EXPECT_GT(maxDiff, 0);
    EXPECT_LT(maxDiff, 300);

    // Block 0 bypassed, then groups 1, 0, 1 (counter 1, 2, 3 modulo 2); nothing in the plain sound.
    EXPECT_FALSE(detect(pcm.samples, 0, block, rate).found);
    EXPECT_FALSE(detect(unmarked.samples, block + 2048, 2 * block, rate).found);
    const uint64_t expected[] = {0xAAAABBBBCCCCDDDDull, 0x1111222233334444ull, 0xAAAABBBBCCCCDDDDull};
    for (size_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(k + 1);
        Detection found = detect(pcm.samples, (k + 1) * block + 2048, (k + 2) * block, rate);
        EXPECT_TRUE(found.found) << found.syncScore;
        EXPECT_EQ(expected[k], found.payload);
    }

    // A seek restarts the counter: the first block after it is unmarked again, then group 1.
    MediaSource::ReadOptions options;
    options.setSeekTo(30000000, MediaSource::ReadOptions::SeekClosestSync);
    MediaBuffer* buffer = nullptr;
    ASSERT_EQ(OK, decoder->read(&buffer, &options));
    EXPECT_NEAR(30000000.0, static_cast<double>(timeOf(buffer)), 100000.0);
    buffer->release();
    Pcm after = readAll(decoder, -1, 4 * 44100 * 11);
    decoder->stop();
    EXPECT_FALSE(detect(after.samples, 0, block - 2048, rate).found);
    Detection again = detect(after.samples, block + 2048, 2 * block, rate);
    EXPECT_TRUE(again.found);
    EXPECT_EQ(0xAAAABBBBCCCCDDDDull, again.payload);
}

}  // namespace
}  // namespace velmor
