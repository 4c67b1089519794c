#define LOG_TAG "VEL_SubRipSource"

#include "engine/subtitles/SubRipSource.h"

#include "utils/Log.h"

namespace velmor {

namespace {
constexpr const char* kLineBreak = "<BR>";
}  // namespace

SubRipSource::SubRipSource(const Ref<DataSource>& source) : SubtitleTextSource(source) {}

status_t SubRipSource::start() {
    VLOGI("%s() is called", "velmor::SubRipSource::start");
    return parseFile();
}

void SubRipSource::logCharset() const { VLOGI("charset %s", mCharset); }

// Each cue: empty lines, the cue number (not used), the timing line, then text lines up to the
// next whole timing line. The text ends after the last empty line or before the last line of
// digits only, whichever came later: that drops the next cue's number and keeps empty lines
// inside a cue. The reader then goes back to the text end so that the next cue starts there.
//
// Files in the wild also leave out cue numbers or put stray lines between cues: a number line
// that is itself a whole timing line is taken as the timing line, and a block whose second line
// is not a timing line is read again from that line.
status_t SubRipSource::parseCues(SubtitleTextLineReader& lines) {
    SubtitleTextLineReader::Line line;
    for (;;) {
        status_t err;
        do {
            err = lines.readLine(&line);
        } while (err == OK && line.empty());
        if (err == ERROR_END_OF_STREAM) return OK;
        if (err != OK) return err;

        SubtitleTextTiming timing;
        if (!SubtitleTextIsTimingLine(line.text.c_str(), false) ||
            !SubtitleTextParseTiming(line.text.c_str(), false, &timing)) {
            err = lines.readLine(&line);
            if (err == ERROR_END_OF_STREAM) return OK;
            if (err != OK) return err;
            if (!SubtitleTextParseTiming(line.text.c_str(), false, &timing)) {
                lines.seek(line.start);
                continue;
            }
        }

        const int64_t textStart = lines.offset();
        int64_t textEnd = -1;
        for (;;) {
            err = lines.readLine(&line);
            if (err == ERROR_END_OF_STREAM) {
                textEnd = lines.offset();
                break;
            }
            if (err != OK) return err;
            if (SubtitleTextIsTimingLine(line.text.c_str(), false)) {
                if (textEnd < 0) textEnd = line.start;
                break;
            }
            if (line.empty()) {
                textEnd = line.next;
            } else if (line.digitsOnly) {
                textEnd = line.start;
            }
        }
        addCue(timing, textStart, textEnd);
        lines.seek(textEnd);
    }
}

std::string SubRipSource::shapeText(const Cue& cue, const std::string& bytes) const {
    std::string text;
    text.reserve(bytes.size() + bytes.size() / 8 + 8);
    SubtitleTextForEachLine(bytes, [&](size_t begin, size_t length) {
        text.append(bytes, begin, length);
        text.append(kLineBreak);
    });
    return text;
}

}  // namespace velmor
