// What the subtitle reader fuzz targets share: one input as a subtitle file held in memory, read
// through a given reader. Every reader must return a status for any file, never crash, hang or
// leak; a cue with a negative start or a malformed payload traps.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/DataSource.h"
#include "engine/subtitles/SubtitleSource.h"
#include "utils/Log.h"

namespace {

using namespace velmor;

// The bytes of one input as a DataSource, the way MemFileSource holds a loaded file.
class BytesSource : public DataSource {
public:
    BytesSource(const uint8_t* data, size_t size) : mBytes(reinterpret_cast<const char*>(data), size) {}
    status_t initCheck() const override { return OK; }
    ssize_t readAt(int64_t offset, void* data, size_t size) override {
        if (offset < 0) return BAD_VALUE;
        if (offset >= static_cast<int64_t>(mBytes.size())) return 0;
        const size_t n = std::min(size, mBytes.size() - static_cast<size_t>(offset));
        memcpy(data, mBytes.data() + offset, n);
        return static_cast<ssize_t>(n);
    }
    status_t getSize(int64_t* size) override {
        *size = static_cast<int64_t>(mBytes.size());
        return OK;
    }
    uint32_t flags() override { return kFlagSizeKnown; }

private:
    const std::string mBytes;
};

// Reads cues until the reader says no more; a reader never hands out more cues than the file has
// bytes, so the bound only stops a runaway loop.
void readCues(SubtitleSource* reader, size_t bound, const MediaSource::ReadOptions* seek) {
    for (size_t i = 0; i <= bound; ++i) {
        int64_t startUs = 0, endUs = 0;
        Payload cue;
        if (reader->read(&startUs, &endUs, &cue, i == 0 ? seek : nullptr) != OK) return;
        if (startUs < 0) __builtin_trap();
        if (cue.dataSize() > 0) {
            cue.setDataPosition(16);
            if (cue.readCString() == nullptr || cue.readCString() == nullptr) __builtin_trap();
        }
    }
    __builtin_trap();  // more cues than bytes
}

// Runs one input through the reader type: content detection, start, every cue, then seeks to a
// few times and the cues after each.
template <class Reader>
int FuzzSubtitleReader(const uint8_t* data, size_t size) {
    static const bool quiet = (setLogLevel(kLogSilent), true);  // every input logs its start
    (void)quiet;
    Ref<DataSource> source = new BytesSource(data, size);
    Ref<SubtitleSource> detected = SubtitleSource::CreateByContent(source);
    (void)detected;
    Ref<SubtitleSource> reader = new Reader(source);
    if (reader->start() != OK) return 0;
    readCues(reader.get(), size, nullptr);
    for (int64_t t : {int64_t(0), int64_t(1500000), int64_t(10000000), int64_t(3600000000), int64_t(-1)}) {
        MediaSource::ReadOptions seek;
        seek.setSeekTo(t);
        readCues(reader.get(), size, &seek);
    }
    reader->stop();
    return 0;
}

}  // namespace
