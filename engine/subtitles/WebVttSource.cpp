#define LOG_TAG "VEL_WebVttSource"

#include "engine/subtitles/WebVttSource.h"

#include <cstring>

#include "utils/Log.h"

namespace velmor {

namespace {
constexpr const char* kLineBreak = "<BR>";
constexpr const char* kSettingsEnd = "<TAG>";
constexpr const char* kVideoAreaMark = " video:true";
// Settings of this length or shorter are not sent (a lone blank and the like).
constexpr size_t kShortestSettings = 5;
// The cue settings begin at this blank of the timing line: after the start, after "-->", after
// the end time.
constexpr int kSettingsBlank = 3;

// The rest of a timing line from its third blank on, that blank included.
std::string cueSettings(const std::string& timingLine) {
    int blanks = 0;
    for (size_t i = 0; i < timingLine.size(); ++i) {
        if (SubtitleTextIsBlank(static_cast<uint8_t>(timingLine[i])) && ++blanks == kSettingsBlank) {
            return timingLine.substr(i);
        }
    }
    return std::string();
}
}  // namespace

WebVttSource::WebVttSource(const Ref<DataSource>& source) : SubtitleTextSource(source) {}

status_t WebVttSource::start() {
    VLOGI("%s() is called", "velmor::WebVttSource::start");
    mVideoArea = false;
    return parseFile();
}

void WebVttSource::logCharset() const { VLOGI("charset %s", mCharset); }

// After the header line, each cue: empty lines and NOTE lines, the timing line, then text lines
// up to the next whole timing line; the text ends after the last empty line before it. Lines
// that are neither (cue identifiers, the body of a NOTE block, STYLE blocks) are passed over
// while looking for a timing line.
status_t WebVttSource::parseCues(SubtitleTextLineReader& lines) {
    SubtitleTextLineReader::Line line;
    status_t err = lines.readLine(&line);  // the "WEBVTT" header
    if (err == ERROR_END_OF_STREAM) return OK;
    if (err != OK) return err;
    for (;;) {
        SubtitleTextTiming timing;
        for (;;) {
            err = lines.readLine(&line);
            if (err == ERROR_END_OF_STREAM) return OK;
            if (err != OK) return err;
            if (line.empty()) continue;
            if (line.text.compare(0, 4, "NOTE") == 0) {
                if (line.text.find("area:video") != std::string::npos) mVideoArea = true;
                continue;
            }
            if (SubtitleTextParseTiming(line.text.c_str(), true, &timing)) break;
        }
        std::string settings = cueSettings(line.text);

        const int64_t textStart = lines.offset();
        int64_t textEnd = -1;
        for (;;) {
            err = lines.readLine(&line);
            if (err == ERROR_END_OF_STREAM) {
                textEnd = lines.offset();
                break;
            }
            if (err != OK) return err;
            if (SubtitleTextIsTimingLine(line.text.c_str(), true)) {
                if (textEnd < 0) textEnd = line.start;
                break;
            }
            if (line.empty()) textEnd = line.next;
            if (line.text.find("area='video'") != std::string::npos ||
                line.text.find("area=\"video\"") != std::string::npos) {
                mVideoArea = true;
            }
        }
        addCue(timing, textStart, textEnd, std::move(settings));
        lines.seek(textEnd);
    }
}

std::string WebVttSource::shapeText(const Cue& cue, const std::string& bytes) const {
    std::string text;
    if (cue.settings.size() > kShortestSettings) {
        text = cue.settings;
        if (mVideoArea) text += kVideoAreaMark;
        text += kSettingsEnd;
    }
    bool first = true;
    SubtitleTextForEachLine(bytes, [&](size_t begin, size_t length) {
        if (!first) text += kLineBreak;
        first = false;
        text.append(bytes, begin, length);
    });
    return text;
}

}  // namespace velmor
