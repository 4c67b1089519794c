// Feeds arbitrary packets to the FFmpeg video and sound decoders. The first byte picks the
// codec; the rest is cut into packets at each 2-byte length prefix.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/MediaDefs.h"
#include "engine/MediaSource.h"
#include "engine/codecs/FFMpegSoundDecoder.h"
#include "engine/codecs/FFMpegVideoDecoder.h"
#include "utils/Log.h"

using namespace velmor;

namespace {

class PacketSource : public MediaSource {
public:
    PacketSource(const Ref<MetaData>& format, const uint8_t* data, size_t size) : mFormat(format) {
        size_t at = 0;
        while (at + 2 <= size) {
            size_t n = (static_cast<size_t>(data[at]) << 8 | data[at + 1]) % 4096;
            at += 2;
            n = std::min(n, size - at);
            mPackets.emplace_back(data + at, data + at + n);
            at += n;
        }
    }
    status_t start(MetaData*) override { return OK; }
    status_t stop() override { return OK; }
    Ref<MetaData> getFormat() override { return mFormat; }
    status_t read(MediaBuffer** out, const ReadOptions*) override {
        if (mNext >= mPackets.size()) return ERROR_END_OF_STREAM;
        const std::vector<uint8_t>& p = mPackets[mNext];
        MediaBuffer* buffer = new MediaBuffer(p.size());
        if (!p.empty()) memcpy(buffer->data(), p.data(), p.size());
        buffer->meta_data()->setInt64(kKeyTime, static_cast<int64_t>(mNext) * 40000);
        ++mNext;
        *out = buffer;
        return OK;
    }

private:
    Ref<MetaData> mFormat;
    std::vector<std::vector<uint8_t>> mPackets;
    size_t mNext = 0;
};

void quiet(const char*, int) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    setLogSink(quiet);
    static const char* const kMimes[] = {kMimeVideoAvc, kMimeVideoHevc, kMimeVideoMpeg4, kMimeVideoH263,
                                         kMimeAudioAac, kMimeAudioMpeg, kMimeAudioFlac, kMimeAudioVorbis,
                                         kMimeAudioAc3, kMimeAudioAmrNb};
    const char* mime = kMimes[data[0] % (sizeof(kMimes) / sizeof(kMimes[0]))];
    Ref<MetaData> format = new MetaData;
    format->setCString(kKeyMIMEType, mime);
    if (isVideoMime(mime)) {
        format->setInt32(kKeyWidth, 176);
        format->setInt32(kKeyHeight, 144);
        Ref<FFMpegVideoDecoder> decoder = new FFMpegVideoDecoder(new PacketSource(format, data + 1, size - 1), 1);
        if (decoder->start() == OK) {
            for (int i = 0; i < 64; ++i) {
                MediaBuffer* picture = nullptr;
                status_t err = decoder->read(&picture);
                if (err == INFO_FORMAT_CHANGED) continue;
                if (err != OK) break;
                picture->release();
            }
            decoder->stop();
        }
    } else {
        format->setInt32(kKeySampleRate, 44100);
        format->setInt32(kKeyChannelCount, 1 + data[1] % 6);
        Ref<FFMpegSoundDecoder> decoder = new FFMpegSoundDecoder(new PacketSource(format, data + 1, size - 1), 1);
        if (decoder->start() == OK) {
            decoder->setAudioGainStep(data[1] % 40);
            for (int i = 0; i < 256; ++i) {
                MediaBuffer* pcm = nullptr;
                if (decoder->read(&pcm) != OK) break;
                pcm->release();
            }
            decoder->stop();
        }
    }
    return 0;
}
