// Feeds arbitrary bytes to the FFmpeg extractor through an in-memory source, then reads a
// bounded number of packets from every track, seeks once and reads a few more.
//
// fuzz/run.sh builds this target (the engine objects carry the coverage hooks and sanitizers
// under -DQV_FUZZ=ON), makes seeds from the test media (the first 0.3 s of each fixture remuxed
// into its own container, and the first 4 KiB of each) and runs it:
//   bash fuzz/run.sh 240 extractor
// Replay one input with the engine's log: QV_FUZZ_LOG=1 build/h-fuzz/fuzz/fuzz_extractor FILE
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "engine/DataSource.h"
#include "engine/FFMpegExtractor.h"
#include "engine/MediaExtractor.h"
#include "utils/Log.h"

using namespace velmor;

namespace {

// Like MemFileSource, over bytes instead of a file.
class BytesSource : public DataSource {
public:
    BytesSource(const uint8_t* data, size_t size) : mBytes(data, data + size) {}
    status_t initCheck() const override { return OK; }
    ssize_t readAt(int64_t offset, void* data, size_t size) override {
        if (offset < 0) return BAD_VALUE;
        if (static_cast<uint64_t>(offset) >= mBytes.size()) return 0;
        size_t n = mBytes.size() - static_cast<size_t>(offset);
        if (n > size) n = size;
        memcpy(data, mBytes.data() + offset, n);
        return static_cast<ssize_t>(n);
    }
    status_t getSize(int64_t* size) override {
        *size = static_cast<int64_t>(mBytes.size());
        return OK;
    }
    uint32_t flags() override { return kFlagSizeKnown; }

private:
    std::vector<uint8_t> mBytes;
};

void quiet(const char*, int) {}

int readSome(const Ref<MediaSource>& source, int count, const MediaSource::ReadOptions* options) {
    int got = 0;
    for (int i = 0; i < count; ++i) {
        MediaBuffer* buffer = nullptr;
        if (source->read(&buffer, i == 0 ? options : nullptr) != OK) break;
        int64_t t;
        buffer->meta_data()->findInt64(kKeyTime, &t);
        // Touch the whole range so a bad range shows up under the sanitizer.
        const uint8_t* p = static_cast<const uint8_t*>(buffer->data()) + buffer->range_offset();
        volatile uint8_t sum = 0;
        for (size_t k = 0; k < buffer->range_length(); ++k) sum = static_cast<uint8_t>(sum + p[k]);
        buffer->release();
        ++got;
    }
    return got;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (getenv("QV_FUZZ_LOG") == nullptr) {
        av_log_set_level(AV_LOG_QUIET);
        setLogSink(quiet);
    }
    DataSource::RegisterDefaultSniffers();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Ref<DataSource> source = new BytesSource(data, size);
    Ref<MediaExtractor> extractor = MediaExtractor::Create(source);
    if (extractor == nullptr) return 0;
    FFMpegExtractor* ffmpeg = static_cast<FFMpegExtractor*>(extractor.get());
    if (ffmpeg->initialize(nullptr, false) != OK) return 0;

    const size_t tracks = extractor->countTracks();
    std::vector<Ref<MediaSource>> sources;
    for (size_t i = 0; i < tracks && i < 8; ++i) {
        Ref<MetaData> meta = extractor->getTrackMetaData(i);
        if (meta != nullptr) {
            const char* mime;
            meta->findCString(kKeyMIMEType, &mime);
        }
        Ref<MediaSource> track = extractor->getTrack(i);
        if (track != nullptr && track->start() == OK) sources.push_back(track);
    }
    for (const Ref<MediaSource>& track : sources) readSome(track, 40, nullptr);
    int64_t queued;
    bool eos;
    extractor->getCachedDuration(&queued, &eos);
    extractor->setOnlyKeyFrame();
    if (!sources.empty()) {
        MediaSource::ReadOptions options;
        options.setSeekTo(static_cast<int64_t>(size % 7) * 500000,
                          static_cast<MediaSource::ReadOptions::SeekMode>(size % 4));
        readSome(sources[0], 20, &options);
        for (const Ref<MediaSource>& track : sources) readSome(track, 10, nullptr);
    }
    for (const Ref<MediaSource>& track : sources) track->stop();
    return 0;
}
