#define LOG_TAG "VEL_SubtitleSource"

#include "engine/subtitles/SubtitleSource.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/subtitles/SamiSource.h"
#include "engine/subtitles/SubRipSource.h"
#include "engine/subtitles/WebVttSource.h"
#include "utils/Log.h"

namespace velmor {

namespace {

// How much of the file each test looks at.
constexpr size_t kSamiProbeBytes = 10;
constexpr size_t kSubRipProbeBytes = 128;
constexpr size_t kUtf8BomBytes = 3;
constexpr const char* kUtf8Bom = "\xEF\xBB\xBF";

size_t skipBom(const std::string& head) {
    return head.compare(0, kUtf8BomBytes, kUtf8Bom) == 0 ? kUtf8BomBytes : 0;
}

bool startsWithNoCase(const std::string& head, size_t at, const char* word) {
    const size_t n = strlen(word);
    return head.size() >= at + n && strncasecmp(head.data() + at, word, n) == 0;
}

// "<SAMI" in any letter case within the first bytes (after a byte-order mark, if any).
bool looksLikeSami(const std::string& head) {
    const std::string probe = head.substr(0, kSamiProbeBytes);
    for (size_t i = 0; i < probe.size(); ++i) {
        if (startsWithNoCase(probe, i, "<SAMI")) return true;
    }
    return false;
}

// The end of the line that starts at `from` and where the one after it starts.
size_t lineEnd(const std::string& s, size_t from, size_t* nextLine) {
    size_t i = from;
    while (i < s.size() && s[i] != '\r' && s[i] != '\n') ++i;
    size_t next = i;
    if (next < s.size()) {
        ++next;
        if (s[i] == '\r' && next < s.size() && s[next] == '\n') ++next;
    }
    *nextLine = next;
    return i;
}

// A first line that does not start with a negative number, then a whole timing line.
bool looksLikeSubRip(const std::string& head) {
    const std::string probe = head.substr(0, kSubRipProbeBytes);
    size_t second = 0;
    const std::string first = probe.substr(0, lineEnd(probe, 0, &second));
    int number = 0;
    if (sscanf(first.c_str(), "%d", &number) != 1) number = 0;
    if (number < 0) return false;
    size_t after = 0;
    const std::string timing = probe.substr(second, lineEnd(probe, second, &after) - second);
    int f[8];
    return sscanf(timing.c_str(), "%02d:%02d:%02d%*1[,.]%03d --> %02d:%02d:%02d%*1[,.]%03d", &f[0],
                  &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7]) == 8;
}

bool looksLikeWebVtt(const std::string& head) {
    return startsWithNoCase(head, skipBom(head), "WEBVTT");
}

}  // namespace

Ref<SubtitleSource> SubtitleSource::CreateByContent(const Ref<DataSource>& source) {
    if (source == nullptr || source->initCheck() != OK) return nullptr;
    std::string head(kSubRipProbeBytes, '\0');
    size_t have = 0;
    while (have < head.size()) {
        ssize_t n = source->readAt(static_cast<int64_t>(have), head.data() + have,
                                   head.size() - have);
        if (n <= 0) break;
        have += static_cast<size_t>(n);
    }
    head.resize(have);
    if (looksLikeSami(head)) return new SamiSource(source);
    if (looksLikeSubRip(head)) return new SubRipSource(source);
    if (looksLikeWebVtt(head)) return new WebVttSource(source);
    VLOGW("no subtitle reader for this content");
    return nullptr;
}

}  // namespace velmor
