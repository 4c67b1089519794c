// The demo host's cue text: shaping the three cue forms the engine delivers into display lines,
// and finding and decoding the character set of real encoded subtitle bytes.
#include <iconv.h>
#include <strings.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "play/CueText.h"

using qvplay::decodeToUtf8;
using qvplay::detectCharset;
using qvplay::isValidUtf8;
using qvplay::shapeCue;
using Lines = std::vector<std::string>;

namespace {

// UTF-8 text encoded into `charset` with glibc's iconv (the test's own conversion, strict: any
// character the set cannot hold fails the test).
std::string encode(const std::string& utf8, const char* charset) {
    iconv_t cd = iconv_open(charset, "UTF-8");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1)) << charset;
    if (cd == reinterpret_cast<iconv_t>(-1)) return {};
    std::string in = utf8;
    std::string out(in.size() * 4 + 8, '\0');
    char* inPtr = in.data();
    char* outPtr = out.data();
    size_t inLeft = in.size(), outLeft = out.size();
    const size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    EXPECT_NE(rc, static_cast<size_t>(-1)) << charset << " cannot hold the text: errno " << errno;
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

// A SubRip file of these cue texts, one second each.
std::string subRip(const std::vector<std::string>& cues) {
    std::string out;
    for (size_t i = 0; i < cues.size(); ++i) {
        out += std::to_string(i + 1) + "\n00:00:0" + std::to_string(i) + ",000 --> 00:00:0" + std::to_string(i) +
               ",900\n" + cues[i] + "\n\n";
    }
    return out;
}

bool sameName(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

}  // namespace

TEST(CueText, ShapesTheCueFormsTheEngineDelivers) {
    // SubRip: every line followed by <BR>; the separating empty line gives a trailing <BR>.
    EXPECT_EQ(shapeCue("Hello<BR>World<BR><BR>"), (Lines{"Hello", "World"}));
    // An empty line inside a SubRip cue stays between its parts.
    EXPECT_EQ(shapeCue("A<BR><BR>B<BR><BR>"), (Lines{"A", "", "B"}));
    // WebVTT: the cue settings and "<TAG>" go; lines joined by <BR>; voice spans and timestamps go.
    EXPECT_EQ(shapeCue(" align:start size:50% video:true<TAG>Hi<BR>there"), (Lines{"Hi", "there"}));
    EXPECT_EQ(shapeCue("<v Roger>Hi</v> <00:00:01.500><c.yellow>you</c>"), (Lines{"Hi you"}));
    EXPECT_EQ(shapeCue("No settings<BR>here"), (Lines{"No settings", "here"}));
    // SAMI: a raw fragment; markup goes, <br> breaks, source line ends are only white space.
    EXPECT_EQ(shapeCue("<P Class=KRCC><font color=\"yellow\">Hello</font><br>World\r\n"), (Lines{"Hello", "World"}));
    EXPECT_EQ(shapeCue("<P Class=ENCC>first\r\n  half<P Class=ENCC>second"), (Lines{"first half", "second"}));
    EXPECT_EQ(shapeCue("<br/>x<BR />y"), (Lines{"x", "y"}));
    // SubRip styling and ASS override blocks.
    EXPECT_EQ(shapeCue("{\\an8}<i>Top</i> <b>line</b><BR>"), (Lines{"Top line"}));
    // Nothing visible: the host clears the caption.
    EXPECT_TRUE(shapeCue("").empty());
    EXPECT_TRUE(shapeCue("<BR><BR>").empty());
    EXPECT_TRUE(shapeCue("<P Class=KRCC>&nbsp;\r\n").empty());
    EXPECT_TRUE(shapeCue(" \t\r\n").empty());
    EXPECT_TRUE(shapeCue(" line:90%<TAG>").empty());
    EXPECT_EQ(qvplay::joinLines({"Hello", "World"}), "Hello / World");
}

TEST(CueText, EntitiesAndBrokenMarkup) {
    EXPECT_EQ(shapeCue("&lt;b&gt; &amp; &quot;q&quot; &apos;s&apos;"), (Lines{"<b> & \"q\" 's'"}));
    EXPECT_EQ(shapeCue("&#44032;&#xAC01;&#X41;"), (Lines{"가각A"}));
    EXPECT_EQ(shapeCue("a&nbsp;&nbsp;b"), (Lines{"a b"}));
    // Not entities: left as written.
    EXPECT_EQ(shapeCue("Tom & Jerry &bogus; &#xD800; &#1114112; &#; &#x;"),
              (Lines{"Tom & Jerry &bogus; &#xD800; &#1114112; &#; &#x;"}));
    EXPECT_EQ(shapeCue("&amp"), (Lines{"&amp"}));
    // A '<' that starts no tag is text; a tag cut off ends the readable text.
    EXPECT_EQ(shapeCue("1 < 2 > 0"), (Lines{"1 < 2 > 0"}));
    EXPECT_EQ(shapeCue("Hello <font color=red"), (Lines{"Hello"}));
    EXPECT_EQ(shapeCue("x<BR"), (Lines{"x"}));
    EXPECT_EQ(shapeCue("<"), Lines{"<"});
    EXPECT_EQ(shapeCue("{\\an8 unclosed"), (Lines{"{\\an8 unclosed"}));
    // Settings text is only dropped when it is plain (no markup before "<TAG>").
    EXPECT_EQ(shapeCue("<i>a</i><TAG>b"), (Lines{"ab"}));

    // Any bytes at all give lines without crashing (the sanitizer build checks the memory).
    std::mt19937 rng(1234);
    const std::string alphabet = "<>&;#x/BRbrP {}\\\r\n\xC2\xA0\xEF\xBB\xBF" "a1";
    for (int round = 0; round < 3000; ++round) {
        std::string cue;
        const size_t length = rng() % 40;
        for (size_t i = 0; i < length; ++i) cue += alphabet[rng() % alphabet.size()];
        for (const std::string& line : shapeCue(cue)) {
            EXPECT_EQ(line.find('\n'), std::string::npos) << cue;
            EXPECT_TRUE(line.empty() || (line.front() != ' ' && line.back() != ' ')) << cue;
        }
    }
}

TEST(CueCharset, DetectsAndDecodesRealEncodings) {
    // Korean in EUC-KR (the engine's default set): checked-in bytes, then a whole file.
    EXPECT_EQ(decodeToUtf8("\xbe\xc8\xb3\xe7\xc7\xcf\xbc\xbc\xbf\xe4", "EUC-KR"), "안녕하세요");
    const std::string korean = subRip({"안녕하세요 여러분, 오늘은 좋은 날입니다", "자막 시험 문장입니다. 감사합니다",
                                       "다음 장면에서 만나요"});
    const std::string eucKr = encode(korean, "EUC-KR");
    EXPECT_TRUE(sameName(detectCharset(eucKr), "EUC-KR")) << detectCharset(eucKr);
    EXPECT_EQ(decodeToUtf8(eucKr, detectCharset(eucKr)), korean);

    // CP949's additional syllables, which EUC-KR cannot hold: among enough ordinary Korean text
    // libchardet still says EUC-KR (decoded as its superset); alone they throw it off (it guesses
    // a Chinese set) and the Korean reading wins.
    const std::string extended = korean + subRip({"똠방각하 뷁 햏"});
    const std::string cp949 = encode(extended, "CP949");
    EXPECT_EQ(decodeToUtf8(cp949, detectCharset(cp949)), extended) << detectCharset(cp949);
    EXPECT_EQ(decodeToUtf8(cp949, "EUC-KR"), extended);
    const std::string rare = encode("똠방각하 뷁 햏", "CP949");
    EXPECT_EQ(detectCharset(rare), "CP949");
    EXPECT_EQ(decodeToUtf8(rare, "CP949"), "똠방각하 뷁 햏");

    // Japanese in Shift_JIS; a backslash stays a backslash (CP932), not a yen sign.
    EXPECT_EQ(decodeToUtf8("\x82\xb1\x82\xf1\x82\xc9\x82\xbf\x82\xcd", "Shift_JIS"), "こんにちは");
    const std::string japanese = subRip({"こんにちは、世界。字幕のテストです。", "ありがとうございました。また明日。",
                                         "C:\\字幕\\テスト"});
    const std::string sjis = encode(japanese, "CP932");
    EXPECT_TRUE(sameName(detectCharset(sjis), "Shift_JIS")) << detectCharset(sjis);
    EXPECT_EQ(decodeToUtf8(sjis, detectCharset(sjis)), japanese);

    // Windows-1252: curly quotes and the euro sign live where ISO-8859-1 has control codes.
    const std::string french = "“Café” déjà vu – 5 €";
    const std::string cp1252 = encode(french, "WINDOWS-1252");
    EXPECT_EQ(decodeToUtf8(cp1252, "windows-1252"), french);
    EXPECT_EQ(decodeToUtf8(cp1252, "ISO-8859-1"), french);

    // UTF-8, with or without a byte-order mark (which never reaches the screen).
    const std::string bom = "\xEF\xBB\xBF" + korean;
    EXPECT_EQ(detectCharset(bom), "UTF-8");
    EXPECT_EQ(decodeToUtf8(bom, "UTF-8"), korean);
    EXPECT_EQ(detectCharset("plain ASCII"), "UTF-8");
    // No answer from libchardet: the engine's default.
    EXPECT_EQ(detectCharset("\x80\x81\x82\x83"), "EUC-KR");
}

TEST(CueCharset, InvalidBytesAreSkipped) {
    EXPECT_EQ(decodeToUtf8("ab\xff" "cd\xc3", "UTF-8"), "abcd");
    // A cut-off double-byte character at the end of EUC-KR text, and a lone lead byte inside it.
    EXPECT_EQ(decodeToUtf8("\xbe\xc8\xb3", "EUC-KR"), "안");
    EXPECT_EQ(decodeToUtf8("\xbe\xc8\x81 \xb3\xe7", "EUC-KR"), "안 녕");
    // A name iconv does not know: read as UTF-8.
    EXPECT_EQ(decodeToUtf8("ok\xfe", "NO-SUCH-CHARSET"), "ok");
    EXPECT_EQ(decodeToUtf8("", "EUC-KR"), "");
    EXPECT_EQ(decodeToUtf8("\xbe\xc8", ""), "안") << "an empty name is the engine's default";
    // Any bytes, any name: no crash, and the result is always valid UTF-8.
    std::mt19937 rng(99);
    const char* names[] = {"UTF-8", "EUC-KR", "CP949", "Shift_JIS", "windows-1252", "UTF-16", "GB2312", "x"};
    for (int round = 0; round < 400; ++round) {
        std::string bytes;
        const size_t length = rng() % 64;
        for (size_t i = 0; i < length; ++i) bytes += static_cast<char>(rng() & 0xff);
        const std::string out = decodeToUtf8(bytes, names[round % 8]);
        EXPECT_TRUE(isValidUtf8(out)) << names[round % 8];
        detectCharset(bytes);
    }

    EXPECT_TRUE(isValidUtf8("가 \xF0\x9F\x98\x80"));
    EXPECT_FALSE(isValidUtf8("\xC0\x80")) << "overlong";
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80")) << "surrogate";
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80")) << "past U+10FFFF";
    EXPECT_FALSE(isValidUtf8("\xE4\xB8")) << "cut off";
}
