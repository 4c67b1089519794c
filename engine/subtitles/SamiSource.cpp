#define LOG_TAG "VEL_SamiSource"

#include "engine/subtitles/SamiSource.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>

#include "utils/Log.h"

namespace velmor {

namespace {

constexpr size_t kNone = std::string::npos;
constexpr int64_t kUsPerMs = 1000;
// Start times longer than this many digits are not times (and would overflow).
constexpr int kMaxStartDigits = 15;
// Files carry one class per language, rarely more than four. Each class costs a character-set
// detection over its span of the file, so past this many the cues of new classes are dropped.
constexpr size_t kMaxClasses = 16;
// Cue payloads carry the start in int32 milliseconds; later starts are not times either.
constexpr int64_t kLatestStartMs = INT32_MAX;

// First place of `needle` in [from, to) of `s`, letter case ignored; kNone when absent.
size_t findNoCase(const std::string& s, size_t from, size_t to, const char* needle) {
    const size_t n = strlen(needle);
    if (to > s.size()) to = s.size();
    if (n == 0 || from >= to || to - from < n) return kNone;
    const int first = tolower(static_cast<unsigned char>(needle[0]));
    for (size_t i = from; i + n <= to; ++i) {
        if (tolower(static_cast<unsigned char>(s[i])) != first) continue;
        if (strncasecmp(s.data() + i, needle, n) == 0) return i;
    }
    return kNone;
}

size_t findChar(const std::string& s, size_t from, size_t to, char c) {
    if (to > s.size()) to = s.size();
    for (size_t i = from; i < to; ++i) {
        if (s[i] == c) return i;
    }
    return kNone;
}

bool isClassNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
}

}  // namespace

SamiSource::SamiSource(const Ref<DataSource>& source) : mSource(source), mFormat(new MetaData()) {
    mCharset[0] = '\0';
}

status_t SamiSource::start() {
    VLOGI("%s() is called", "velmor::SamiSource::start");
    mClasses.clear();
    mSelected = 0;
    mNextCue = 0;
    status_t err = parse();
    if (err != OK) {
        mClasses.clear();
        mClasses.shrink_to_fit();
    }
    mFormat->setCString(kKeyLanguage, "");
    return err;
}

// Each <SYNC: its start time is the number after its first '='; its text runs from one
// character after the number to the next <SYNC (the last one's to the first "</" after it). A
// text that names a Class becomes a cue of that class; others (bare clearing lines) are dropped.
status_t SamiSource::parse() {
    if (mSource == nullptr || mSource->initCheck() != OK) return ERROR_IO;
    int64_t size = 0;
    if (mSource->getSize(&size) != OK || size < 0) return ERROR_IO;
    std::string block;
    if (SubtitleTextReadBytes(mSource, 0, static_cast<size_t>(size), &block) != OK) {
        return ERROR_IO;
    }
    const size_t end = block.size();

    size_t totalCues = 0;
    size_t droppedCues = 0;
    size_t sync = findNoCase(block, 0, end, "<SYNC");
    while (sync != kNone) {
        const size_t next = findNoCase(block, sync + 5, end, "<SYNC");
        const size_t limit = next == kNone ? end : next;
        size_t p = findChar(block, sync, limit, '=');
        if (p == kNone) {
            sync = next;
            continue;
        }
        ++p;
        while (p < end && (block[p] == ' ' || block[p] == '\r' || block[p] == '\n' ||
                           block[p] == '\t' || block[p] == '"')) {
            ++p;
        }
        int64_t startMs = 0;
        int digits = 0;
        while (p < end && block[p] >= '0' && block[p] <= '9') {
            if (digits < kMaxStartDigits) startMs = startMs * 10 + (block[p] - '0');
            ++digits;
            ++p;
        }
        const size_t textStart = std::min(p + 1, end);
        if (next != kNone && next < p + 1) break;
        if (digits == 0 || digits > kMaxStartDigits || startMs > kLatestStartMs) {
            sync = next;
            continue;
        }
        size_t textEnd = next;
        if (textEnd == kNone) {
            textEnd = block.find("</", textStart);
            if (textEnd == kNone) textEnd = end;
        }

        const size_t classAt = findNoCase(block, textStart, textEnd, "Class");
        const size_t eq = classAt == kNone ? kNone : findChar(block, classAt, textEnd, '=');
        std::string name;
        if (eq != kNone) {
            size_t q = eq + 1;
            if (q < textEnd && (block[q] == '"' || block[q] == '\'')) ++q;
            while (q < textEnd && isClassNameChar(block[q])) name.push_back(block[q++]);
        }
        if (!name.empty()) {
            auto table = std::find_if(mClasses.begin(), mClasses.end(),
                                      [&](const ClassTable& t) { return t.name == name; });
            if (table == mClasses.end() && mClasses.size() >= kMaxClasses) {
                ++droppedCues;
                sync = next;
                continue;
            }
            if (table == mClasses.end()) {
                VLOGI("Not Found ClassName %s", name.c_str());
                mClasses.emplace_back();
                mClasses.back().name = name;
                mClasses.back().charset[0] = '\0';
                table = mClasses.end() - 1;
            }
            Cue cue;
            cue.startUs = startMs * kUsPerMs;
            cue.textOffset = static_cast<int64_t>(textStart);
            cue.textLength = static_cast<int32_t>(std::min<size_t>(textEnd - textStart, INT32_MAX));
            table->cues.push_back(cue);
            ++totalCues;
        }
        sync = next;
    }

    if (droppedCues > 0) {
        VLOGW("%zu cues of classes past the first %zu dropped", droppedCues, kMaxClasses);
    }
    for (size_t i = 0; i < mClasses.size(); ++i) {
        ClassTable& table = mClasses[i];
        std::stable_sort(table.cues.begin(), table.cues.end(),
                         [](const Cue& a, const Cue& b) { return a.startUs < b.startUs; });
        int64_t from = INT64_MAX;
        int64_t to = 0;
        for (const Cue& cue : table.cues) {
            from = std::min(from, cue.textOffset);
            to = std::max(to, cue.textOffset + cue.textLength);
        }
        SubtitleTextDetectCharset(block.substr(static_cast<size_t>(from),
                                               static_cast<size_t>(to - from)),
                                  table.charset);
        VLOGI("%dth charset %s", static_cast<int>(i), table.charset);
    }
    VLOGI("TextInfo Count:%d Language Count:%d", static_cast<int>(totalCues),
          static_cast<int>(mClasses.size()));
    if (mClasses.empty()) return ERROR_MALFORMED;
    mSelected = 0;
    memcpy(mCharset, mClasses[0].charset, kCharsetNameSize);
    return OK;
}

status_t SamiSource::stop() {
    mClasses.clear();
    mClasses.shrink_to_fit();
    mNextCue = 0;
    return OK;
}

status_t SamiSource::extractGlobalDescriptions(Payload* descriptions) {
    return INVALID_OPERATION;
}

status_t SamiSource::getText(size_t index, std::string* text) {
    const Cue& cue = mClasses[mSelected].cues[index];
    if (SubtitleTextReadBytes(mSource, cue.textOffset, static_cast<size_t>(cue.textLength),
                              text) != OK) {
        VLOGE("read error offset %lld textLen %d", static_cast<long long>(cue.textOffset),
              cue.textLength);
        return ERROR_IO;
    }
    return OK;
}

status_t SamiSource::read(int64_t* startTimeUs, int64_t* endTimeUs, Payload* cue,
                          const MediaSource::ReadOptions* options) {
    const std::vector<Cue>* cues = mClasses.empty() ? nullptr : &mClasses[mSelected].cues;
    int64_t seekTimeUs = 0;
    MediaSource::ReadOptions::SeekMode mode;
    if (options != nullptr && options->getSeekTo(&seekTimeUs, &mode)) {
        if (seekTimeUs < 0) {
            VLOGE("seekTimeUs minus");
            return ERROR_OUT_OF_RANGE;
        }
        if (cues != nullptr) {
            // The cue showing at the time: the last one that starts at or before it.
            auto after = std::upper_bound(
                cues->begin(), cues->end(), seekTimeUs,
                [](int64_t t, const Cue& c) { return t < c.startUs; });
            const size_t i = static_cast<size_t>(after - cues->begin());
            mNextCue = i > 0 ? i - 1 : 0;
        }
    }
    if (cues == nullptr || mNextCue >= cues->size()) {
        VLOGI("END_OF_STREAM");
        return ERROR_END_OF_STREAM;
    }
    const size_t index = mNextCue++;
    std::string text;
    status_t err = getText(index, &text);
    if (err != OK) {
        VLOGE("getText Error %d", err);
        return err;
    }
    *startTimeUs = (*cues)[index].startUs;
    *endTimeUs = 0;
    SubtitleTextWriteCue(cue, *startTimeUs, mCharset, text);
    return OK;
}

}  // namespace velmor
