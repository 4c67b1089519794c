// What SubRip and WebVTT readers have in common: a cue table of start and end times with the
// place of each cue's text in the file, the seek rule and the cue read. The format classes
// parse the file into the table and shape the text of a cue.
//
// Threads: as SubtitleSource (one caller at a time, no lock).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/subtitles/SubtitleSource.h"
#include "engine/subtitles/SubtitleTextSupport.h"

namespace velmor {

class SubtitleTextSource : public SubtitleSource {
public:
    status_t stop() override;
    status_t read(int64_t* startTimeUs, int64_t* endTimeUs, Payload* cue,
                  const MediaSource::ReadOptions* options = nullptr) override;
    status_t extractGlobalDescriptions(Payload* descriptions) override;
    Ref<MetaData> getFormat() override { return mFormat; }

    // The detected character set ("" before start).
    const char* charset() const { return mCharset; }

protected:
    struct Cue {
        int64_t startUs = 0;
        int64_t endUs = 0;
        int64_t textOffset = 0;
        int32_t textLength = 0;
        std::string settings;  // WebVTT: the cue settings of the timing line
    };

    explicit SubtitleTextSource(const Ref<DataSource>& source);
    ~SubtitleTextSource() override = default;

    // Runs parseCues, sorts the table (a later cue with the same start replaces the earlier
    // one), detects the character set and sets the language. On failure the table is empty.
    // The format's start() logs its own name and calls this.
    status_t parseFile();
    // Adds one cue; its end is moved to 100 ms after the start when it is not after it. A cue
    // that would start before 0 is dropped.
    void addCue(const SubtitleTextTiming& timing, int64_t textOffset, int64_t textEnd,
                std::string settings = std::string());

    virtual status_t parseCues(SubtitleTextLineReader& lines) = 0;
    // The text of a cue as it goes out, from the bytes of the file.
    virtual std::string shapeText(const Cue& cue, const std::string& bytes) const = 0;
    // Writes the "charset %s" line under the format's tag.
    virtual void logCharset() const = 0;

    const Ref<DataSource> mSource;
    const Ref<MetaData> mFormat;
    char mCharset[kCharsetNameSize];
    std::vector<Cue> mCues;
    size_t mNextCue = 0;

private:
    // The index to read from after a seek to `timeUs` (0 <= timeUs < end of the last cue).
    size_t seekIndex(int64_t timeUs) const;
};

}  // namespace velmor
