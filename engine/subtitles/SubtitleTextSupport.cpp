#define LOG_TAG "VEL_SubtitleText"

#include "engine/subtitles/SubtitleTextSupport.h"

#include <chardet.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "utils/Log.h"

namespace velmor {

namespace {

constexpr const char* kDefaultCharset = "EUC-KR";
constexpr int64_t kUsPerMs = 1000;
constexpr int64_t kMsPerSecond = 1000;
constexpr int64_t kSecondsPerMinute = 60;
constexpr int64_t kSecondsPerHour = 3600;

int64_t timeUs(int h, int m, int s, int ms) {
    return ((h * kSecondsPerHour + m * kSecondsPerMinute + s) * kMsPerSecond + ms) * kUsPerMs;
}

// Reads one time at `p`; returns the number of characters it took, 0 when there is none.
int parseTime(const char* p, bool minutesForm, int64_t* us) {
    // Most lines are text: turn them away before the costlier scan.
    if (!((*p >= '0' && *p <= '9') || *p == '-' || *p == '+')) return 0;
    int h = 0, m = 0, s = 0, ms = 0, used = 0;
    if (sscanf(p, "%02d:%02d:%02d%*1[,.]%03d%n", &h, &m, &s, &ms, &used) == 4 && used > 0) {
        *us = timeUs(h, m, s, ms);
        return used;
    }
    used = 0;
    if (minutesForm && sscanf(p, "%02d:%02d%*1[,.]%03d%n", &m, &s, &ms, &used) == 3 && used > 0) {
        *us = timeUs(0, m, s, ms);
        return used;
    }
    return 0;
}

const char* skipBlanks(const char* p) {
    while (*p != '\0' && SubtitleTextIsBlank(static_cast<uint8_t>(*p))) ++p;
    return p;
}

}  // namespace

bool SubtitleTextIsBlank(uint8_t c) { return c == ' ' || c == '\t' || c == '\f' || c == '\v'; }

SubtitleTextLineReader::SubtitleTextLineReader(const Ref<DataSource>& source) : mSource(source) {}

int SubtitleTextLineReader::byteAt(int64_t offset, uint8_t* out) {
    if (offset < mBlockStart || offset >= mBlockStart + static_cast<int64_t>(mBlock.size())) {
        if (mAtEnd && offset >= mBlockStart + static_cast<int64_t>(mBlock.size())) return 0;
        mBlock.resize(kBlockBytes);
        mBlockStart = offset;
        mAtEnd = false;
        ssize_t n = mSource->readAt(offset, mBlock.data(), kBlockBytes);
        if (n < 0) {
            mBlock.clear();
            return ERROR_IO;
        }
        mBlock.resize(static_cast<size_t>(n));
        if (static_cast<size_t>(n) < kBlockBytes) mAtEnd = true;
        if (n == 0) return 0;
    }
    *out = static_cast<uint8_t>(mBlock[static_cast<size_t>(offset - mBlockStart)]);
    return 1;
}

status_t SubtitleTextLineReader::readLine(Line* line) {
    enum DigitState { kLeading, kDigits, kTrailing, kOther };
    line->start = mOffset;
    line->text.clear();
    DigitState digits = kLeading;
    bool any = false;
    for (;;) {
        uint8_t c = 0;
        int got = byteAt(mOffset, &c);
        if (got < 0) return ERROR_IO;
        if (got == 0) {
            if (!any) return ERROR_END_OF_STREAM;
            break;
        }
        any = true;
        ++mOffset;
        if (c == '\n') break;
        if (c == '\r') {
            uint8_t lf = 0;
            got = byteAt(mOffset, &lf);
            if (got < 0) return ERROR_IO;
            if (got == 1 && lf == '\n') ++mOffset;
            break;
        }
        const bool blank = SubtitleTextIsBlank(c);
        if (c >= '0' && c <= '9') {
            digits = (digits == kLeading || digits == kDigits) ? kDigits : kOther;
        } else if (blank) {
            if (digits == kDigits) digits = kTrailing;
        } else {
            digits = kOther;
        }
        if ((blank && line->text.empty()) || line->text.size() >= kMaxKeptLineBytes) continue;
        line->text.push_back(static_cast<char>(c));
    }
    while (!line->text.empty() && SubtitleTextIsBlank(static_cast<uint8_t>(line->text.back()))) {
        line->text.pop_back();
    }
    line->next = mOffset;
    line->digitsOnly = digits == kDigits || digits == kTrailing;
    return OK;
}

bool SubtitleTextParseTiming(const char* line, bool minutesForm, SubtitleTextTiming* timing) {
    const char* p = skipBlanks(line);
    int64_t start = 0;
    if (parseTime(p, minutesForm, &start) == 0) return false;
    timing->startUs = start;
    timing->endUs = 0;
    timing->hasEnd = false;
    const char* arrow = strstr(p, "--> ");
    if (arrow != nullptr) {
        int64_t end = 0;
        if (parseTime(skipBlanks(arrow + 4), minutesForm, &end) > 0) {
            timing->endUs = end;
            timing->hasEnd = true;
        }
    }
    return true;
}

bool SubtitleTextIsTimingLine(const char* line, bool minutesForm) {
    const char* p = skipBlanks(line);
    int64_t us = 0;
    int used = parseTime(p, minutesForm, &us);
    if (used == 0) return false;
    p = skipBlanks(p + used);
    if (strncmp(p, "-->", 3) != 0) return false;
    return parseTime(skipBlanks(p + 3), minutesForm, &us) > 0;
}

status_t SubtitleTextReadBytes(const Ref<DataSource>& source, int64_t offset, size_t length,
                               std::string* out) {
    out->resize(length);
    size_t done = 0;
    while (done < length) {
        ssize_t n = source->readAt(offset + static_cast<int64_t>(done), out->data() + done,
                                   length - done);
        if (n <= 0) {
            out->clear();
            return ERROR_IO;
        }
        done += static_cast<size_t>(n);
    }
    return OK;
}

status_t SubtitleTextReadAll(const Ref<DataSource>& source, std::string* out) {
    int64_t size = 0;
    if (source->getSize(&size) == OK && size >= 0) {
        return SubtitleTextReadBytes(source, 0, static_cast<size_t>(size), out);
    }
    out->clear();
    constexpr size_t kChunk = 64 * 1024;
    for (;;) {
        const size_t have = out->size();
        out->resize(have + kChunk);
        ssize_t n = source->readAt(static_cast<int64_t>(have), out->data() + have, kChunk);
        if (n < 0) {
            out->clear();
            return ERROR_IO;
        }
        out->resize(have + static_cast<size_t>(n));
        if (n == 0) return OK;
    }
}

void SubtitleTextDetectCharset(const std::string& bytes, char (&name)[kCharsetNameSize]) {
    name[0] = '\0';
    // The detector takes a C string: `bytes` always ends in a zero byte (c_str()).
    Detect* detector = detect_init();
    DetectObj* result = detect_obj_init();
    if (detector != nullptr && result != nullptr) {
        detect_handledata(&detector, bytes.c_str(), &result);
        detect_dataend(&detector);
        if (result->encoding != nullptr) {
            snprintf(name, kCharsetNameSize, "%s", result->encoding);
        }
    }
    if (result != nullptr) detect_obj_free(&result);
    if (detector != nullptr) detect_destroy(&detector);
    if (name[0] == '\0') snprintf(name, kCharsetNameSize, "%s", kDefaultCharset);
}

void SubtitleTextWriteCue(Payload* cue, int64_t startTimeUs, const char* charset,
                          const std::string& text) {
    if (cue == nullptr || text.empty()) return;
    cue->writeInt32(kCueKeyStart);
    cue->writeInt32(kCueKeyStartTime);
    cue->writeInt32(static_cast<int32_t>(startTimeUs / kUsPerMs));
    cue->writeInt32(kCueKeyText);
    cue->writeCString(charset);
    cue->writeCString(text.c_str());
}

}  // namespace velmor
