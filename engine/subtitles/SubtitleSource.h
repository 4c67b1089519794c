// The subtitle reader interface and its factory.
//
// A reader turns a subtitle file held whole in memory into a table of timed cues and hands the
// cues out one by one. It does not convert text: every cue carries the file's own bytes (lightly
// reshaped per format) together with the name of the file's character set.
//
// Threads: a reader is created on the thread that adds the subtitle track (the engine's host
// thread or the caption download thread) and from then on used only by the subtitle player's
// looper thread, one call at a time. It has no lock of its own.
#pragma once

#include <cstdint>

#include "engine/DataSource.h"
#include "engine/MediaSource.h"
#include "engine/MetaData.h"
#include "utils/Errors.h"
#include "utils/Payload.h"
#include "utils/RefCounted.h"

namespace velmor {

// Keys of a cue payload: int32 kCueKeyStart, int32 kCueKeyStartTime, int32 start time in ms,
// int32 kCueKeyText, the character-set name and the cue text as NUL-terminated strings.
enum CuePayloadKey : int32_t {
    kCueKeyStart = 102,
    kCueKeyStartTime = 7,
    kCueKeyText = 17,
};

// Size of a reader's character-set name buffer, NUL included.
constexpr size_t kCharsetNameSize = 64;

class SubtitleSource : public RefCounted {
public:
    // Picks the reader by content (SAMI, then SubRip, then WebVTT) over `source`; null when the
    // bytes match none of them. The reader is not started.
    static Ref<SubtitleSource> CreateByContent(const Ref<DataSource>& source);

    // Parses the whole file. On failure the reader keeps no cues and the error is returned
    // (ERROR_IO, ERROR_MALFORMED). Sets the format's language to the empty string either way.
    virtual status_t start() = 0;
    // Drops the cue table.
    virtual status_t stop() = 0;
    // The next cue, or with a seek in `options` the cue at that time: its start and end in µs
    // (end 0 when the cue lasts until the next one) and its payload, left empty for a cue
    // without text. ERROR_END_OF_STREAM past the last cue, ERROR_OUT_OF_RANGE for a negative
    // seek time, ERROR_IO when the text cannot be read.
    virtual status_t read(int64_t* startTimeUs, int64_t* endTimeUs, Payload* cue,
                          const MediaSource::ReadOptions* options = nullptr) = 0;
    // Formats with file-wide styling would write it here; the three readers have none and
    // answer INVALID_OPERATION.
    virtual status_t extractGlobalDescriptions(Payload* descriptions) = 0;
    virtual Ref<MetaData> getFormat() = 0;

protected:
    ~SubtitleSource() override = default;
};

}  // namespace velmor
