// The SubRip (.srt) reader: numbered cues, each a timing line "HH:MM:SS,mmm --> HH:MM:SS,mmm"
// followed by text lines. A cue goes out as its text lines, each followed by "<BR>".
//
// Threads: as SubtitleSource (one caller at a time, no lock).
#pragma once

#include "engine/subtitles/SubtitleTextSource.h"

namespace velmor {

class SubRipSource : public SubtitleTextSource {
public:
    explicit SubRipSource(const Ref<DataSource>& source);

    status_t start() override;

protected:
    ~SubRipSource() override = default;

    status_t parseCues(SubtitleTextLineReader& lines) override;
    std::string shapeText(const Cue& cue, const std::string& bytes) const override;
    void logCharset() const override;
};

}  // namespace velmor
