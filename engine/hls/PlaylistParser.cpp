// HTTP Live Streaming playlist parsing: lines, tags, numbers, attribute lists and address
// resolution. Everything here works on string_views into the caller's bytes; only the values that
// end up in the metadata or the item list are copied.
#define LOG_TAG "VEL_PlaylistParser"

#include "engine/hls/PlaylistParser.h"

#include <cstring>
#include <limits>
#include <string_view>

#include "utils/Log.h"

namespace velmor {

namespace {

// A second is 10^6 microseconds: seconds become microseconds by moving the decimal point.
constexpr int kMicrosPerSecondExponent = 6;
// Significant digits of a duration's mantissa that are kept exactly; nineteen would overflow.
constexpr int kMaxDurationDigits = 18;
// Powers of ten that fit in an int64 (10^0 .. 10^18).
constexpr int kMaxPowerOfTen = 18;

// The tags this parser understands. A line is matched against them as a case-sensitive prefix, so
// a longer tag that begins with one of these names counts as that tag ("#EXT-X-DISCONTINUITY-
// SEQUENCE" marks the next item as a discontinuity).
constexpr std::string_view kTagHeader = "#EXTM3U";
constexpr std::string_view kTagTargetDuration = "#EXT-X-TARGETDURATION";
constexpr std::string_view kTagMediaSequence = "#EXT-X-MEDIA-SEQUENCE";
constexpr std::string_view kTagKey = "#EXT-X-KEY";
constexpr std::string_view kTagEndList = "#EXT-X-ENDLIST";
constexpr std::string_view kTagInf = "#EXTINF";
constexpr std::string_view kTagDiscontinuity = "#EXT-X-DISCONTINUITY";
constexpr std::string_view kTagStreamInf = "#EXT-X-STREAM-INF";
constexpr std::string_view kTagByteRange = "#EXT-X-BYTERANGE";
constexpr std::string_view kTagPlaylistTypeEvent = "#EXT-X-PLAYLIST-TYPE:EVENT";

constexpr std::string_view kAttrBandwidth = "bandwidth";
constexpr std::string_view kAttrResolution = "resolution";

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
char toLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool startsWithIgnoreCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (toLower(s[i]) != toLower(prefix[i])) return false;
    }
    return true;
}

bool equalsIgnoreCase(std::string_view s, std::string_view other) {
    return s.size() == other.size() && startsWithIgnoreCase(s, other);
}

// The text after the first ':' of a tag line (empty when there is none).
std::string_view afterColon(std::string_view line) {
    const size_t colon = line.find(':');
    return colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
}

// The number must be followed by nothing or by a comma (the EXTINF title, attribute lists).
bool isNumberEnd(std::string_view rest) { return rest.empty() || rest.front() == ','; }

// Base-10 integer with optional leading blanks and sign; at least one digit; the rest empty or
// starting with ','. Values outside int32 are malformed rather than clamped.
status_t parseInt32(std::string_view text, int32_t* out) {
    size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const size_t firstDigit = i;
    int64_t value = 0;
    constexpr int64_t kLimit = static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > kLimit) return ERROR_MALFORMED;
    }
    if (i == firstDigit || !isNumberEnd(text.substr(i))) return ERROR_MALFORMED;
    if (negative) value = -value;
    if (value > std::numeric_limits<int32_t>::max()) return ERROR_MALFORMED;
    *out = static_cast<int32_t>(value);
    return OK;
}

// A decimal number of seconds ("10", "9.97", "-1.5", ".5", "1e1") as whole microseconds,
// truncated towards zero. The digits are evaluated exactly, so 9.97 gives 9 970 000 and not
// one microsecond less as a binary floating-point product could. At least one mantissa digit; the
// rest empty or starting with ','. A value that does not fit in int64 microseconds is malformed.
status_t parseDurationUs(std::string_view text, int64_t* out) {
    size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';

    // mantissa * 10^exponent, with only the leading significant digits kept in the mantissa
    // (the dropped ones can only matter below the microsecond for values that fit).
    int64_t mantissa = 0;
    int64_t exponent = 0;
    int significant = 0;
    bool anyDigit = false;
    bool seenPoint = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.' && !seenPoint) {
            seenPoint = true;
            continue;
        }
        if (!isDigit(c)) break;
        anyDigit = true;
        if (significant < kMaxDurationDigits) {
            if (mantissa != 0 || c != '0') {
                mantissa = mantissa * 10 + (c - '0');
                ++significant;
            }
            if (seenPoint) --exponent;
        } else if (!seenPoint) {
            ++exponent;  // an integer digit that did not fit
        }
    }
    if (!anyDigit) return ERROR_MALFORMED;

    // Optional exponent: only taken when digits follow, as a C conversion would.
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        bool expNegative = false;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) expNegative = text[j++] == '-';
        if (j < text.size() && isDigit(text[j])) {
            int64_t e = 0;
            for (; j < text.size() && isDigit(text[j]); ++j) {
                if (e < 1000000) e = e * 10 + (text[j] - '0');  // beyond that only the sign matters
            }
            exponent += expNegative ? -e : e;
            i = j;
        }
    }
    if (!isNumberEnd(text.substr(i))) return ERROR_MALFORMED;

    exponent += kMicrosPerSecondExponent;
    int64_t us = 0;
    if (mantissa == 0) {
        us = 0;
    } else if (exponent >= 0) {
        if (exponent > kMaxPowerOfTen) return ERROR_MALFORMED;
        us = mantissa;
        for (int64_t k = 0; k < exponent; ++k) {
            if (us > std::numeric_limits<int64_t>::max() / 10) return ERROR_MALFORMED;
            us *= 10;
        }
    } else {
        if (-exponent > kMaxPowerOfTen) {
            us = 0;  // below a microsecond: the mantissa has at most 18 digits
        } else {
            int64_t divisor = 1;
            for (int64_t k = 0; k < -exponent; ++k) divisor *= 10;
            us = mantissa / divisor;
        }
    }
    *out = negative ? -us : us;
    return OK;
}

// An unsigned base-10 number that is the whole of `text` (blanks around it trimmed) and fits in
// int64.
bool parseWholeUnsigned(std::string_view text, int64_t* out) {
    text = trim(text);
    if (text.empty()) return false;
    int64_t value = 0;
    for (char c : text) {
        if (!isDigit(c)) return false;
        if (value > (std::numeric_limits<int64_t>::max() - (c - '0')) / 10) return false;
        value = value * 10 + (c - '0');
    }
    *out = value;
    return true;
}

// Splits `text` at each `separator` that lies outside double quotes; a '"' toggles the quoted
// state. Calls fn(piece) for every piece, including empty ones.
template <typename Fn>
void splitOutsideQuotes(std::string_view text, char separator, Fn&& fn) {
    bool quoted = false;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') {
            quoted = !quoted;
        } else if (text[i] == separator && !quoted) {
            fn(text.substr(start, i - start));
            start = i + 1;
        }
    }
    fn(text.substr(start));
}

Ref<Message>& ensure(Ref<Message>& meta) {
    if (meta == nullptr) meta = new Message;
    return meta;
}

// Length of the scheme prefix MakeURL accepts for a base ("http://" and so on), 0 for another.
size_t baseSchemeLength(std::string_view base) {
    for (std::string_view scheme : {std::string_view("http://"), std::string_view("https://"),
                                    std::string_view("file://")}) {
        if (startsWithIgnoreCase(base, scheme)) return scheme.size();
    }
    return 0;
}

bool makeURL(std::string_view base, std::string_view url, ByteString* out) {
    out->clear();
    const size_t schemeLength = baseSchemeLength(base);
    if (schemeLength == 0) return false;

    if (startsWithIgnoreCase(url, "http://") || startsWithIgnoreCase(url, "https://")) {
        out->setTo(url.data(), url.size());
        return true;
    }
    if (!url.empty() && url.front() == '/') {
        // Root-relative: keep the scheme and authority of the base.
        const size_t slash = base.find('/', schemeLength);
        const std::string_view origin = slash == std::string_view::npos ? base : base.substr(0, slash);
        out->setTo(origin.data(), origin.size());
    } else if (!base.empty() && base.back() == '/') {
        out->setTo(base.data(), base.size());
    } else {
        // Relative to the base's folder: drop its last path element, when it has one beyond the
        // authority. Whatever follows that '/' goes, a query included.
        const size_t slash = base.rfind('/');
        const std::string_view folder =
                (slash != std::string_view::npos && slash >= schemeLength) ? base.substr(0, slash) : base;
        out->setTo(folder.data(), folder.size());
        out->append('/');
    }
    out->append(url.data(), url.size());
    return true;
}

// "#EXT-X-KEY" attributes: METHOD, URI and IV are kept as "cipher-method", "cipher-uri" (made
// absolute) and "cipher-iv"; the rest are dropped.
void parseCipherInfo(std::string_view line, const ByteString& baseURI, Ref<Message>& meta) {
    ensure(meta);
    splitOutsideQuotes(afterColon(line), ',', [&](std::string_view pair) {
        const size_t equals = pair.find('=');
        if (equals == std::string_view::npos) return;
        const std::string_view name = trim(pair.substr(0, equals));
        std::string_view value = trim(pair.substr(equals + 1));
        // Names compare case-insensitively; each is stored under "cipher-" + its lower-case form.
        const char* key = nullptr;
        if (equalsIgnoreCase(name, "method")) {
            key = kKeyCipherMethod;
        } else if (equalsIgnoreCase(name, "uri")) {
            key = kKeyCipherUri;
        } else if (equalsIgnoreCase(name, "iv")) {
            key = kKeyCipherIv;
        } else {
            return;
        }

        ByteString stored(value.data(), value.size());
        if (key == kKeyCipherUri) {
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
                value = value.substr(1, value.size() - 2);
            }
            stored.setTo(value.data(), value.size());
            ByteString absolute;
            if (makeURL(std::string_view(baseURI.str()), value, &absolute)) {
                stored = absolute;
            } else {
                VLOGE("failed to make absolute url for '%s'.", stored.c_str());
            }
        }
        meta->setString(key, stored);
    });
}

// "#EXT-X-STREAM-INF" attributes. Split at every comma (quoted commas included, so a CODECS list
// breaks into fragments that carry no '=' and are skipped).
void parseStreamInf(std::string_view line, Ref<Message>& meta) {
    ensure(meta);
    std::string_view text = afterColon(line);
    for (;;) {
        const size_t comma = text.find(',');
        const std::string_view pair = text.substr(0, comma);
        const size_t equals = pair.find('=');
        if (equals != std::string_view::npos) {
            const std::string_view name = trim(pair.substr(0, equals));
            const std::string_view value = trim(pair.substr(equals + 1));
            if (startsWithIgnoreCase(name, kAttrBandwidth)) {
                int64_t bandwidth = 0;
                if (parseWholeUnsigned(value, &bandwidth) && bandwidth <= std::numeric_limits<int32_t>::max()) {
                    meta->setInt32(kKeyBandwidth, static_cast<int32_t>(bandwidth));
                }
            } else if (startsWithIgnoreCase(name, kAttrResolution)) {
                const size_t x = value.find('x');
                if (x != std::string_view::npos) {
                    ByteString resolution(value.data() + x + 1, value.size() - x - 1);
                    resolution.append('P');
                    meta->setString(kKeyResolution, resolution);
                }
            }
        }
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
}

bool startsWith(std::string_view line, std::string_view tag) { return line.substr(0, tag.size()) == tag; }

}  // namespace

PlaylistParser::PlaylistParser(const char* baseURI, const void* data, size_t size)
    : mBaseURI(baseURI) {
    mInitCheck = parse(static_cast<const char*>(data), data ? size : 0);
}

PlaylistParser::PlaylistParser(const char* baseURI, const Ref<Message>& meta)
    : mInitCheck(OK), mBaseURI(baseURI), mMeta(meta) {}

void PlaylistParser::appendItem(const ByteString& uri, const Ref<Message>& meta) {
    mItems.push_back(Item{uri, meta});
}

bool PlaylistParser::itemAt(size_t index, ByteString* uri, Ref<Message>* meta) const {
    if (uri) uri->clear();
    if (meta) *meta = nullptr;
    if (index >= mItems.size()) return false;
    if (uri) *uri = mItems[index].mURI;
    if (meta) *meta = mItems[index].mMeta;
    return true;
}

bool PlaylistParser::MakeURL(const char* baseURL, const char* url, ByteString* out) {
    ByteString ignored;
    if (out == nullptr) out = &ignored;
    if (baseURL == nullptr || url == nullptr) {
        out->clear();
        return false;
    }
    return makeURL(baseURL, url, out);
}

status_t PlaylistParser::parse(const char* data, size_t size) {
    const std::string_view text(data ? data : "", size);
    const std::string_view base(mBaseURI.str());
    Ref<Message> itemMeta;       // metadata of the item the next address line completes
    int64_t segmentOffset = 0;   // where a byte range without "@offset" starts
    size_t lineNumber = 0;       // non-empty lines seen

    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;

        if (lineNumber++ == 0) {
            if (line == kTagHeader) {
                mIsExtM3U = true;
                continue;
            }
        }

        if (mIsExtM3U) {
            status_t err = OK;
            if (startsWith(line, kTagTargetDuration)) {
                if (mIsVariantPlaylist) return ERROR_MALFORMED;
                int32_t value = 0;
                err = parseInt32(afterColon(line), &value);
                if (err == OK) ensure(mMeta)->setInt32(kKeyTargetDuration, value);
            } else if (startsWith(line, kTagMediaSequence)) {
                if (mIsVariantPlaylist) return ERROR_MALFORMED;
                int32_t value = 0;
                err = parseInt32(afterColon(line), &value);
                if (err == OK) ensure(mMeta)->setInt32(kKeyMediaSequence, value);
            } else if (startsWith(line, kTagKey)) {
                if (mIsVariantPlaylist) return ERROR_MALFORMED;
                parseCipherInfo(line, mBaseURI, itemMeta);
            } else if (startsWith(line, kTagEndList)) {
                mIsComplete = true;
            } else if (startsWith(line, kTagInf)) {
                if (mIsVariantPlaylist) return ERROR_MALFORMED;
                int64_t durationUs = 0;
                err = parseDurationUs(afterColon(line), &durationUs);
                if (err == OK) ensure(itemMeta)->setInt64(kKeyItemDurationUs, durationUs);
            } else if (startsWith(line, kTagDiscontinuity)) {
                if (mIsVariantPlaylist) return ERROR_MALFORMED;
                ensure(itemMeta)->setInt32(kKeyDiscontinuity, 1);
            } else if (startsWith(line, kTagStreamInf)) {
                if (mMeta != nullptr) return ERROR_MALFORMED;
                mIsVariantPlaylist = true;
                parseStreamInf(line, itemMeta);
            } else if (startsWith(line, kTagByteRange)) {
                if (mIsVariantPlaylist) return ERROR_MALFORMED;
                const std::string_view range = afterColon(line);
                const size_t at = range.find('@');
                int64_t length = 0;
                int64_t offset = segmentOffset;
                if (!parseWholeUnsigned(range.substr(0, at), &length)) return ERROR_MALFORMED;
                if (at != std::string_view::npos && !parseWholeUnsigned(range.substr(at + 1), &offset)) {
                    return ERROR_MALFORMED;
                }
                if (offset > std::numeric_limits<int64_t>::max() - length) return ERROR_MALFORMED;
                ensure(itemMeta)->setInt64(kKeyRangeOffset, offset);
                itemMeta->setInt64(kKeyRangeLength, length);
                segmentOffset = offset + length;
            } else if (startsWith(line, kTagPlaylistTypeEvent)) {
                mIsEvent = true;
            }
            if (err != OK) return err;
        }

        if (line.front() == '#') continue;

        // An item address.
        if (!mIsVariantPlaylist) {
            int64_t durationUs = 0;
            if (itemMeta == nullptr || !itemMeta->findInt64(kKeyItemDurationUs, &durationUs)) {
                return ERROR_MALFORMED;
            }
        }
        Item item;
        makeURL(base, line, &item.mURI);  // left empty when the base has no usable scheme
        item.mMeta = std::move(itemMeta);
        itemMeta = nullptr;
        mItems.push_back(std::move(item));
    }
    return OK;
}

}  // namespace velmor
