#include "CueText.h"

#include <chardet.h>
#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

namespace qvplay {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
// Below this libchardet's answer is a guess rather than a finding (it reports 0.99 and more for
// the sets it really recognises, around 0.5 when it is guessing).
constexpr float kConfidentDetection = 0.75f;
// Longest entity name or number we look for between '&' and ';'.
constexpr size_t kMaxEntityLength = 10;
constexpr char32_t kMaxCodePoint = 0x10FFFF;

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string_view withoutBom(std::string_view bytes) {
    if (bytes.substr(0, kUtf8Bom.size()) == kUtf8Bom) bytes.remove_prefix(kUtf8Bom.size());
    return bytes;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The iconv name to decode a detected character set with (see decodeToUtf8).
std::string iconvName(const std::string& charset) {
    std::string name = upper(charset);
    while (!name.empty() && isspace(static_cast<unsigned char>(name.back()))) name.pop_back();
    if (name.empty()) name = kDefaultCharset;
    if (name == "EUC-KR" || name == "EUCKR" || name == "KS_C_5601-1987" || name == "UHC") return "CP949";
    if (name == "SHIFT_JIS" || name == "SJIS" || name == "SHIFT-JIS") return "CP932";
    if (name == "ISO-8859-1" || name == "ASCII" || name == "US-ASCII" || name == "LATIN1") return "WINDOWS-1252";
    if (name == "GB2312" || name == "GBK") return "GB18030";
    return name;
}

struct IconvCloser {
    void operator()(iconv_t cd) const { iconv_close(cd); }
};
using IconvHandle = std::unique_ptr<std::remove_pointer_t<iconv_t>, IconvCloser>;

// The length of the well-formed UTF-8 character at the start of `bytes`, 0 when there is none.
size_t utf8CharLength(std::string_view bytes) {
    const auto c = static_cast<unsigned char>(bytes[0]);
    if (c < 0x80) return 1;
    size_t len;
    char32_t cp;
    char32_t min;
    if ((c & 0xE0) == 0xC0) {
        len = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4, cp = c & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (bytes.size() < len) return 0;
    for (size_t k = 1; k < len; ++k) {
        const auto cc = static_cast<unsigned char>(bytes[k]);
        if ((cc & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < min || cp > kMaxCodePoint || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

// The UTF-8 characters of `bytes`, every byte that starts none dropped.
std::string sanitizeUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        const size_t len = utf8CharLength(bytes.substr(i));
        if (len == 0) {
            ++i;
            continue;
        }
        out.append(bytes.substr(i, len));
        i += len;
    }
    return out;
}

IconvHandle openIconv(const std::string& from) {
    iconv_t cd = iconv_open("UTF-8", from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return nullptr;
    return IconvHandle(cd);
}

// Converts with `cd`; skips each byte the converter rejects. `rejected` counts them.
std::string convert(iconv_t cd, std::string_view bytes, size_t* rejected) {
    std::string out;
    out.resize(bytes.size() * 4 + 16);
    std::string input(bytes);  // iconv wants a non-const input pointer
    char* in = input.data();
    size_t inLeft = input.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    size_t skipped = 0;
    auto grow = [&] {
        const size_t used = out.size() - outLeft;
        out.resize(out.size() * 2);
        outPtr = out.data() + used;
        outLeft = out.size() - used;
    };
    while (inLeft > 0) {
        if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) {
            grow();
        } else {
            // EILSEQ (not a character) or EINVAL (cut off at the end): drop one byte, go on
            // from a clean state.
            ++in;
            --inLeft;
            ++skipped;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    while (iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1) && errno == E2BIG) grow();
    out.resize(out.size() - outLeft);
    if (rejected) *rejected = skipped;
    return out;
}

// Korean text in CP949: every byte accepted and most non-ASCII characters Hangul syllables.
bool readsAsKorean(std::string_view bytes) {
    IconvHandle cd = openIconv("CP949");
    if (!cd) return false;
    size_t rejected = 0;
    const std::string text = convert(cd.get(), bytes, &rejected);
    if (rejected > 0) return false;
    size_t hangul = 0, other = 0;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        const size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        if (len == 3 && i + 2 < text.size()) {
            const char32_t cp = static_cast<char32_t>(((c & 0x0F) << 12) |
                                                      ((static_cast<unsigned char>(text[i + 1]) & 0x3F) << 6) |
                                                      (static_cast<unsigned char>(text[i + 2]) & 0x3F));
            (cp >= 0xAC00 && cp <= 0xD7A3 ? hangul : other)++;
        } else {
            ++other;
        }
        i += len;
    }
    return hangul > 0 && hangul >= other;
}

struct DetectDeleter {
    void operator()(Detect* d) const { detect_destroy(&d); }
};
struct DetectObjDeleter {
    void operator()(DetectObj* o) const { detect_obj_free(&o); }
};

// libchardet's answer and its confidence; empty when it has none.
std::string chardetGuess(std::string_view bytes, float* confidence) {
    *confidence = 0;
    std::unique_ptr<Detect, DetectDeleter> detector(detect_init());
    std::unique_ptr<DetectObj, DetectObjDeleter> result(detect_obj_init());
    if (!detector || !result) return {};
    // The detector takes NUL-terminated text: NUL bytes go in as spaces. One call only: each
    // call replaces the answer's text without freeing the one before.
    std::string text(bytes);
    std::replace(text.begin(), text.end(), '\0', ' ');
    Detect* d = detector.get();
    DetectObj* r = result.get();
    detect_handledata(&d, text.c_str(), &r);
    if (r->encoding == nullptr) return {};
    *confidence = r->confidence;
    return r->encoding;
}

// Matches an entity body (between '&' and ';'); false when it is not one we know.
bool entityValue(std::string_view name, std::string& out) {
    static const struct {
        std::string_view name;
        const char* text;
    } kNamed[] = {{"nbsp", " "}, {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"}};
    for (const auto& e : kNamed) {
        if (name == e.name) {
            out += e.text;
            return true;
        }
    }
    if (name.size() < 2 || name[0] != '#') return false;
    const bool hex = name[1] == 'x' || name[1] == 'X';
    const std::string_view digits = name.substr(hex ? 2 : 1);
    if (digits.empty()) return false;
    char32_t cp = 0;
    for (char c : digits) {
        const auto u = static_cast<unsigned char>(c);
        int v = -1;
        if (isdigit(u)) {
            v = c - '0';
        } else if (hex && isxdigit(u)) {
            v = tolower(u) - 'a' + 10;
        }
        if (v < 0) return false;
        cp = cp * (hex ? 16 : 10) + static_cast<char32_t>(v);
        if (cp > kMaxCodePoint) return false;
    }
    if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    appendUtf8(out, cp == 0xA0 ? U' ' : cp);
    return true;
}

// Builds lines while collapsing white space the way HTML does.
class LineBuilder {
public:
    void text(std::string_view s) {
        for (char c : s) {
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
                space();
            } else {
                mLine += c;
            }
        }
    }
    void space() {
        if (!mLine.empty() && mLine.back() != ' ') mLine += ' ';
    }
    void lineBreak() {
        trimEnd();
        mLines.push_back(std::move(mLine));
        mLine.clear();
    }
    bool empty() const { return mLine.empty() && mLines.empty(); }
    std::vector<std::string> finish() {
        lineBreak();
        while (!mLines.empty() && mLines.back().empty()) mLines.pop_back();
        size_t first = 0;
        while (first < mLines.size() && mLines[first].empty()) ++first;
        mLines.erase(mLines.begin(), mLines.begin() + static_cast<std::ptrdiff_t>(first));
        return std::move(mLines);
    }

private:
    void trimEnd() {
        while (!mLine.empty() && mLine.back() == ' ') mLine.pop_back();
    }
    std::vector<std::string> mLines;
    std::string mLine;
};

bool startsTag(char c) {
    return isalpha(static_cast<unsigned char>(c)) || isdigit(static_cast<unsigned char>(c)) || c == '/' || c == '!';
}

// The lower-case name of a tag's body ("/P Class=x" → "p"), and whether it closes.
std::string tagName(std::string_view body, bool* closing) {
    *closing = !body.empty() && body[0] == '/';
    if (*closing) body.remove_prefix(1);
    std::string name;
    for (char c : body) {
        if (!isalnum(static_cast<unsigned char>(c))) break;
        name += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return name;
}

// Drops the WebVTT cue settings the engine puts before "<TAG>".
std::string_view withoutCueSettings(std::string_view text) {
    constexpr std::string_view kSettingsEnd = "<TAG>";
    const size_t end = text.find(kSettingsEnd);
    if (end == std::string_view::npos) return text;
    const std::string_view settings = text.substr(0, end);
    if (settings.find_first_of("<>\r\n") != std::string_view::npos) return text;
    return text.substr(end + kSettingsEnd.size());
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();) {
        const size_t len = utf8CharLength(bytes.substr(i));
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string detectCharset(std::string_view bytes) {
    if (isValidUtf8(withoutBom(bytes))) return "UTF-8";
    float confidence = 0;
    std::string guess = chardetGuess(bytes, &confidence);
    if (guess.empty()) return kDefaultCharset;
    if (confidence < kConfidentDetection && readsAsKorean(bytes)) return "CP949";
    return guess;
}

std::string decodeToUtf8(std::string_view bytes, const std::string& charset) {
    const std::string name = iconvName(charset);
    IconvHandle cd = name == "UTF-8" || name == "UTF8" ? nullptr : openIconv(name);
    // UTF-8 needs no conversion, only the bytes that are not UTF-8 dropped; so does a name
    // iconv does not know. What iconv produces is checked the same way.
    const std::string converted = cd ? convert(cd.get(), bytes, nullptr) : std::string();
    std::string out = sanitizeUtf8(cd ? std::string_view(converted) : bytes);
    if (std::string_view(out).substr(0, kUtf8Bom.size()) == kUtf8Bom) out.erase(0, kUtf8Bom.size());
    return out;
}

std::vector<std::string> shapeCue(std::string_view utf8) {
    const std::string_view text = withoutCueSettings(utf8);
    LineBuilder lines;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '<' && i + 1 < text.size() && startsTag(text[i + 1])) {
            const size_t end = text.find('>', i + 1);
            if (end == std::string_view::npos) break;  // markup cut off: nothing readable follows
            bool closing = false;
            const std::string name = tagName(text.substr(i + 1, end - i - 1), &closing);
            if (name == "br") {
                lines.lineBreak();
            } else if ((name == "p" || name == "div") && !closing && !lines.empty()) {
                lines.lineBreak();
            }
            i = end + 1;
        } else if (c == '&') {
            const size_t semi = text.find(';', i + 1);
            std::string value;
            if (semi != std::string_view::npos && semi - i - 1 <= kMaxEntityLength &&
                entityValue(text.substr(i + 1, semi - i - 1), value)) {
                if (value == " ") {
                    lines.space();
                } else {
                    lines.text(value);
                }
                i = semi + 1;
            } else {
                lines.text("&");
                ++i;
            }
        } else if (c == '{' && i + 1 < text.size() && text[i + 1] == '\\' &&
                   text.find('}', i) != std::string_view::npos) {
            i = text.find('}', i) + 1;  // an ASS override block such as {\an8}
        } else if (static_cast<unsigned char>(c) == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) == 0xA0) {
            lines.space();  // a no-break space
            i += 2;
        } else {
            lines.text(text.substr(i, 1));
            ++i;
        }
    }
    return lines.finish();
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i) out += " / ";
        out += lines[i];
    }
    return out;
}

}  // namespace qvplay
