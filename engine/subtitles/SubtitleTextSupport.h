// Pieces the three subtitle readers share: a line reader over a DataSource, the timing-line
// parser of SubRip and WebVTT, the character-set detection and the cue payload writer.
//
// Threads: none of their own; each object is used by one reader on one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "engine/DataSource.h"
#include "engine/MediaDefs.h"
#include "engine/subtitles/SubtitleSource.h"
#include "utils/Errors.h"
#include "utils/Payload.h"
#include "utils/RefCounted.h"

namespace velmor {

// Reads a DataSource line by line. A line ends at LF, at CR, or at CR LF (the LF is taken with
// it); the last line may end at the end of the data. The bytes are walked one at a time, but
// fetched from the source in blocks of kBlockBytes, so a very long line costs one pass.
//
// Of each line only the first kMaxKeptLineBytes bytes after the leading blanks are kept for
// examination (timing lines, NOTE lines and cue numbers are far shorter); the line is still
// walked to its end, and whether it is blank or digits only is judged on the whole line.
class SubtitleTextLineReader {
public:
    static constexpr size_t kBlockBytes = 64 * 1024;
    static constexpr size_t kMaxKeptLineBytes = 4096;

    struct Line {
        int64_t start = 0;      // offset of the line's first byte
        int64_t next = 0;       // offset just after its line end
        std::string text;       // trimmed of surrounding blanks; at most kMaxKeptLineBytes
        bool digitsOnly = false;  // the trimmed line is one or more digits and nothing else
        bool empty() const { return text.empty(); }
    };

    explicit SubtitleTextLineReader(const Ref<DataSource>& source);

    // OK with the next line; ERROR_END_OF_STREAM when no byte is left; ERROR_IO when the
    // source fails.
    status_t readLine(Line* line);
    void seek(int64_t offset) { mOffset = offset; }
    int64_t offset() const { return mOffset; }

private:
    // 1 with the byte, 0 at the end of the data, or ERROR_IO.
    int byteAt(int64_t offset, uint8_t* out);

    const Ref<DataSource> mSource;
    int64_t mOffset = 0;
    std::string mBlock;       // the bytes at mBlockStart
    int64_t mBlockStart = 0;
    bool mAtEnd = false;      // the source has no byte past the current block
};

// True for the blanks that are trimmed around lines.
bool SubtitleTextIsBlank(uint8_t c);

// A timing line "HH:MM:SS,mmm --> HH:MM:SS,mmm" (',' or '.' before the milliseconds). With
// `minutesForm` the hours may be left out ("MM:SS.mmm"), as WebVTT allows.
struct SubtitleTextTiming {
    int64_t startUs = 0;
    int64_t endUs = 0;
    bool hasEnd = false;
};
// Reads the start time at the beginning of `line` and, when the line holds "--> ", the end time
// after it. False when no start time can be read.
bool SubtitleTextParseTiming(const char* line, bool minutesForm, SubtitleTextTiming* timing);
// True when `line` is a whole timing line: a start time, "-->" and an end time.
bool SubtitleTextIsTimingLine(const char* line, bool minutesForm);

// Reads `length` bytes at `offset` into `out`. OK, or ERROR_IO on a failed or short read.
status_t SubtitleTextReadBytes(const Ref<DataSource>& source, int64_t offset, size_t length,
                               std::string* out);
// Reads the whole source (its size from getSize, else up to the first short read).
status_t SubtitleTextReadAll(const Ref<DataSource>& source, std::string* out);

// Detects the character set of `bytes` (up to the first zero byte, which is all the detector
// looks at) into `name`; "EUC-KR" when the detector has no answer.
void SubtitleTextDetectCharset(const std::string& bytes, char (&name)[kCharsetNameSize]);

// Writes the cue payload: start time in ms, character-set name and text. An empty text leaves
// the payload untouched.
void SubtitleTextWriteCue(Payload* cue, int64_t startTimeUs, const char* charset,
                          const std::string& text);

// Splits `bytes` into lines (CR, LF, CR LF or LF CR end a line; a final line end opens no
// further line) and calls `line(begin, length)` for each.
template <typename Fn>
void SubtitleTextForEachLine(const std::string& bytes, Fn line) {
    const size_t n = bytes.size();
    size_t begin = 0;
    size_t i = 0;
    while (i < n) {
        const char c = bytes[i];
        if (c != '\r' && c != '\n') {
            ++i;
            continue;
        }
        line(begin, i - begin);
        ++i;
        if (i < n && (bytes[i] == '\r' || bytes[i] == '\n') && bytes[i] != c) ++i;
        begin = i;
    }
    if (begin < n) line(begin, n - begin);
}

}  // namespace velmor
