// Feeds arbitrary packets to the FFmpeg video and sound decoders.
//
// Input layout:
//   byte 0   codec = byte % kCodecCount (index into kCodecs);
//            mode = byte / kCodecCount: mode % 3 says what the first packet is (0: an ordinary
//            packet, 1: codec configuration bytes, i.e. avcC or FFmpeg extradata, 2: an
//            ES_Descriptor); for sound, (mode / 3) % 2 turns the audio watermark on
//   byte 1   sound: channel count 1 + byte % 6 and gain step byte % 40; video: picture size
//   rest     packets, each a 2-byte big-endian length followed by that many bytes (cut short at
//            the end of the input); the length 0xFFFF stands alone for a read that reports a
//            format change (INFO_FORMAT_CHANGED), as a transport stream's source does
// fuzz/run.sh makes seeds in this layout from the test media.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "engine/MediaDefs.h"
#include "engine/MediaSource.h"
#include "engine/codecs/FFMpegSoundDecoder.h"
#include "engine/SinkFrameRenderer.h"
#include "engine/codecs/FFMpegVideoDecoder.h"
#include "utils/Log.h"

using namespace velmor;

namespace {

struct Packet {
    std::vector<uint8_t> bytes;
    bool formatChange = false;
};
constexpr size_t kFormatChangeLength = 0xFFFF;

class PacketSource : public MediaSource {
public:
    PacketSource(const Ref<MetaData>& format, std::vector<Packet> packets)
        : mFormat(format), mPackets(std::move(packets)) {}
    status_t start(MetaData*) override { return OK; }
    status_t stop() override { return OK; }
    Ref<MetaData> getFormat() override { return mFormat; }
    // Past the last packet: one end of stream (the decoders drain their codec on it), then a
    // stop. The video decoder retries a read that fails with a pause of 100 ms before it gives
    // up; a stop ends its loop at once, which keeps an input well under a second.
    status_t read(MediaBuffer** out, const ReadOptions* options) override {
        int64_t seekUs;
        MediaSource::ReadOptions::SeekMode mode;
        if (options != nullptr && options->getSeekTo(&seekUs, &mode)) {
            mNext = 0;
            mEnded = false;
        }
        if (mNext >= mPackets.size()) {
            if (mEnded) return USER_STOP;
            mEnded = true;
            return ERROR_END_OF_STREAM;
        }
        const Packet& packet = mPackets[mNext];
        if (packet.formatChange) {
            ++mNext;
            return INFO_FORMAT_CHANGED;
        }
        const std::vector<uint8_t>& p = packet.bytes;
        MediaBuffer* buffer = new MediaBuffer(p.size());
        if (!p.empty()) memcpy(buffer->data(), p.data(), p.size());
        buffer->meta_data()->setInt64(kKeyTime, static_cast<int64_t>(mNext) * 40000);
        ++mNext;
        *out = buffer;
        return OK;
    }

private:
    Ref<MetaData> mFormat;
    std::vector<Packet> mPackets;
    size_t mNext = 0;
    bool mEnded = false;
};

struct Codec {
    const char* mime;
    bool video;
};

const Codec kCodecs[] = {
    {kMimeVideoAvc, true},    {kMimeVideoHevc, true},  {kMimeVideoMpeg4, true}, {kMimeVideoH263, true},
    {kMimeVideoVP8, true},    {kMimeVideoMpeg2, true}, {kMimeAudioAac, false},  {kMimeAudioMpeg, false},
    {kMimeAudioFlac, false},  {kMimeAudioVorbis, false}, {kMimeAudioAc3, false}, {kMimeAudioAmrNb, false},
};
constexpr size_t kCodecCount = sizeof(kCodecs) / sizeof(kCodecs[0]);

const int32_t kSizes[][2] = {{320, 240}, {176, 144}, {64, 48}, {0, 0}};

void quiet(const char*, int) {}

std::vector<Packet> splitPackets(const uint8_t* data, size_t size) {
    std::vector<Packet> packets;
    size_t at = 0;
    while (at + 2 <= size) {
        size_t n = static_cast<size_t>(data[at]) << 8 | data[at + 1];
        at += 2;
        if (n == kFormatChangeLength) {
            packets.push_back(Packet{{}, true});
            continue;
        }
        n = std::min(n, size - at);
        packets.push_back(Packet{std::vector<uint8_t>(data + at, data + at + n), false});
        at += n;
    }
    return packets;
}

void decodeVideo(const Ref<MetaData>& format, std::vector<Packet> packets) {
    Ref<FFMpegVideoDecoder> decoder = new FFMpegVideoDecoder(new PacketSource(format, std::move(packets)), 1);
    if (decoder->start() != OK) return;
    int pictures = 0;
    for (int i = 0; i < 64; ++i) {
        MediaBuffer* picture = nullptr;
        MediaSource::ReadOptions options;
        // One seek back to the start half-way through exercises the flush path.
        if (pictures == 3) options.setSeekTo(0);
        status_t err = decoder->read(&picture, pictures == 3 ? &options : nullptr);
        if (err == INFO_FORMAT_CHANGED) continue;
        if (err != OK) break;
        // Touch every row of every plane the layout describes, as a sink would, so a layout that
        // runs past the codec's frame shows up under the sanitizer.
        PlayerBase::VideoSink::Picture layout{};
        volatile uint8_t sum = 0;
        if (SinkFrameRenderer::pictureOf(picture, &layout)) {
            for (int i = 0; i < 3; ++i) {
                int w = i == 0 ? layout.width : (layout.width + 1) / 2, h = i == 0 ? layout.height : (layout.height + 1) / 2;
                for (int y = 0; y < h; ++y) sum = static_cast<uint8_t>(sum + layout.planes[i][y * layout.strides[i] + w - 1]);
            }
        }
        picture->release();
        ++pictures;
    }
    decoder->stop();
}

void decodeSound(const Ref<MetaData>& format, std::vector<Packet> packets, int32_t gainStep) {
    Ref<FFMpegSoundDecoder> decoder = new FFMpegSoundDecoder(new PacketSource(format, std::move(packets)), 1);
    if (decoder->start() != OK) return;
    decoder->setAudioGainStep(gainStep);
    int buffers = 0;
    for (int i = 0; i < 256; ++i) {
        MediaBuffer* pcm = nullptr;
        MediaSource::ReadOptions options;
        if (buffers == 8) options.setSeekTo(0);
        if (decoder->read(&pcm, buffers == 8 ? &options : nullptr) != OK) break;
        const uint8_t* p = static_cast<const uint8_t*>(pcm->data()) + pcm->range_offset();
        volatile uint8_t sum = 0;
        for (size_t k = 0; k < pcm->range_length(); k += 7) sum = static_cast<uint8_t>(sum + p[k]);
        pcm->release();
        ++buffers;
    }
    decoder->stop();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // QV_FUZZ_LOG=1 keeps the engine's log (for replaying one input).
    if (getenv("QV_FUZZ_LOG") == nullptr) {
        av_log_set_level(AV_LOG_QUIET);
        setLogSink(quiet);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const Codec& codec = kCodecs[data[0] % kCodecCount];
    const int mode = data[0] / kCodecCount;
    std::vector<Packet> packets = splitPackets(data + 2, size - 2);

    Ref<MetaData> format = new MetaData;
    format->setCString(kKeyMIMEType, codec.mime);
    if (mode % 3 != 0 && !packets.empty()) {
        const std::vector<uint8_t>& config = packets.front().bytes;
        uint32_t key = kKeyESDS;
        if (mode % 3 == 1) key = codec.video && !config.empty() && config[0] == 1 ? kKeyAVCC : kKeyRawCodecSpecificInfo;
        format->setData(key, 0, config.data(), config.size());
        packets.erase(packets.begin());
    }
    if (codec.video) {
        const int32_t* dims = kSizes[data[1] % (sizeof(kSizes) / sizeof(kSizes[0]))];
        format->setInt32(kKeyWidth, dims[0]);
        format->setInt32(kKeyHeight, dims[1]);
        decodeVideo(format, std::move(packets));
    } else {
        format->setInt32(kKeySampleRate, 44100);
        format->setInt32(kKeyChannelCount, 1 + data[1] % 6);
        if ((mode / 3) % 2 == 1) format->setCString(kKeyAudioWatermark, "0x0123456789abcdef0xfedcba9876543210");
        decodeSound(format, std::move(packets), data[1] % 40);
    }
    return 0;
}
