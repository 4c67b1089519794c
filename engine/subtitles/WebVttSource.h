// The WebVTT (.vtt) reader: a "WEBVTT" header line, then cues made of a timing line (with
// optional cue settings after the end time) and text lines; NOTE blocks are skipped. A cue goes
// out as its settings (when there are any), " video:true" when the file marks its cues as
// placed in the video area, "<TAG>", then its text lines joined with "<BR>".
//
// Threads: as SubtitleSource (one caller at a time, no lock).
#pragma once

#include "engine/subtitles/SubtitleTextSource.h"

namespace velmor {

class WebVttSource : public SubtitleTextSource {
public:
    explicit WebVttSource(const Ref<DataSource>& source);

    status_t start() override;

    // True once a NOTE line or a cue line has placed the cues in the video area.
    bool videoArea() const { return mVideoArea; }

protected:
    ~WebVttSource() override = default;

    status_t parseCues(SubtitleTextLineReader& lines) override;
    std::string shapeText(const Cue& cue, const std::string& bytes) const override;
    void logCharset() const override;

private:
    bool mVideoArea = false;
};

}  // namespace velmor
