// The SubRip, SAMI and WebVTT readers over real files loaded by MemFileSource: format
// detection, cue times and payloads, seeking, character sets, and bad input.
// The fixtures and the shapes they imitate are listed in fixtures/README.txt.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "engine/MemFileSource.h"
#include "engine/subtitles/SamiSource.h"
#include "engine/subtitles/SubRipSource.h"
#include "engine/subtitles/SubtitleTextSupport.h"
#include "engine/subtitles/WebVttSource.h"
#include "support/LogCapture.h"

namespace velmor {
namespace {

const std::string kFixtures = std::string(QV_SOURCE_DIR) + "/tests/subtitles/fixtures/";

struct Cue {
    int64_t startUs = 0;
    int64_t endUs = 0;
    bool hasPayload = false;
    std::string charset;
    std::string text;
};

Ref<DataSource> open(const std::string& path) {
    Ref<DataSource> source = new MemFileSource(path.c_str());
    EXPECT_EQ(OK, source->initCheck()) << path;
    return source;
}

// A file under the temporary directory holding `bytes`, removed with the object.
struct TempFile {
    explicit TempFile(const std::string& bytes) {
        char name[] = "/tmp/qv-subs-XXXXXX";
        int fd = mkstemp(name);
        path = name;
        if (fd >= 0) {
            const ssize_t n = write(fd, bytes.data(), bytes.size());
            EXPECT_EQ(static_cast<ssize_t>(bytes.size()), n);
            close(fd);
        }
    }
    ~TempFile() { unlink(path.c_str()); }
    std::string path;
};

// Reads one cue; checks the payload layout of a non-empty cue.
status_t readCue(SubtitleSource* reader, Cue* cue, int64_t seekUs = -1) {
    MediaSource::ReadOptions options;
    if (seekUs >= 0) options.setSeekTo(seekUs);
    Payload payload;
    status_t err = reader->read(&cue->startUs, &cue->endUs, &payload, seekUs >= 0 ? &options : nullptr);
    cue->hasPayload = payload.dataSize() > 0;
    if (err != OK || !cue->hasPayload) return err;
    payload.setDataPosition(0);
    EXPECT_EQ(kCueKeyStart, payload.readInt32());
    EXPECT_EQ(kCueKeyStartTime, payload.readInt32());
    EXPECT_EQ(cue->startUs / 1000, payload.readInt32());
    EXPECT_EQ(kCueKeyText, payload.readInt32());
    const char* charset = payload.readCString();
    const char* text = payload.readCString();
    EXPECT_TRUE(charset != nullptr && text != nullptr);
    cue->charset = charset ? charset : "";
    cue->text = text ? text : "";
    return err;
}

std::vector<Cue> readAll(SubtitleSource* reader) {
    std::vector<Cue> cues;
    Cue cue;
    status_t err;
    while ((err = readCue(reader, &cue)) == OK) cues.push_back(cue);
    EXPECT_EQ(ERROR_END_OF_STREAM, err);
    return cues;
}

// Detects and starts the reader of a fixture.
Ref<SubtitleSource> startFixture(const std::string& name) {
    Ref<SubtitleSource> reader = SubtitleSource::CreateByContent(open(kFixtures + name));
    EXPECT_TRUE(reader != nullptr) << name;
    if (reader != nullptr) {
        EXPECT_EQ(OK, reader->start()) << name;
    }
    return reader;
}

template <typename T>
bool is(const Ref<SubtitleSource>& reader) {
    return reader != nullptr && dynamic_cast<T*>(reader.get()) != nullptr;
}

TEST(SubtitleReaders, PicksTheReaderByContent) {
    auto detect = [](const std::string& bytes) {
        TempFile file(bytes);
        return SubtitleSource::CreateByContent(open(file.path));
    };
    EXPECT_TRUE(is<SubRipSource>(startFixture("bom_crlf.srt")));
    EXPECT_TRUE(is<SubRipSource>(startFixture("cr_only.srt")));
    EXPECT_TRUE(is<SamiSource>(startFixture("two_classes.smi")));
    EXPECT_TRUE(is<WebVttSource>(startFixture("notes.vtt")));
    EXPECT_TRUE(is<SamiSource>(detect("\xEF\xBB\xBF<sami><body>")));
    EXPECT_TRUE(is<WebVttSource>(detect("\xEF\xBB\xBFwebvtt\n")));
    EXPECT_TRUE(is<SubRipSource>(detect("7\n00:00:01.000 --> 00:00:02,000\nx\n")));
    // SAMI is tried first, SubRip before WebVTT.
    EXPECT_TRUE(is<SubRipSource>(detect("WEBVTT\n00:00:01,000 --> 00:00:02,000\nx\n")));
    // A negative cue number, a timing line with 7 fields, a timing line past 128 bytes,
    // "<SAMI" after the first 10 bytes, UTF-16, binary bytes, nothing at all: no reader.
    EXPECT_TRUE(detect("-1\n00:00:01,000 --> 00:00:02,000\nx\n") == nullptr);
    EXPECT_TRUE(detect("1\n00:00:01,000 --> 00:00:02\nx\n") == nullptr);
    EXPECT_TRUE(detect(std::string(130, '1') + "\n00:00:01,000 --> 00:00:02,000\n") == nullptr);
    EXPECT_TRUE(detect("          <SAMI>") == nullptr);
    EXPECT_TRUE(SubtitleSource::CreateByContent(open(kFixtures + "utf16le.srt")) == nullptr);
    std::string garbage;
    for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 7919 + 13) & 0xff));
    EXPECT_TRUE(detect(garbage) == nullptr);
    EXPECT_TRUE(detect("") == nullptr);
}

TEST(SubRipReader, CueTimesTextAndSeeking) {
    test::LogCapture log;
    Ref<SubtitleSource> reader = startFixture("bom_crlf.srt");
    ASSERT_TRUE(reader != nullptr);
    EXPECT_TRUE(log.contains("velmor::SubRipSource::start() is called"));
    EXPECT_TRUE(log.contains("charset UTF-8"));
    const char* lang = nullptr;
    ASSERT_TRUE(reader->getFormat()->findCString(kKeyLanguage, &lang));
    EXPECT_STREQ("", lang);
    EXPECT_EQ(INVALID_OPERATION, reader->extractGlobalDescriptions(nullptr));

    std::vector<Cue> cues = readAll(reader.get());
    ASSERT_EQ(4u, cues.size());
    EXPECT_EQ(1000000, cues[0].startUs);
    EXPECT_EQ(3500000, cues[0].endUs);
    EXPECT_EQ("UTF-8", cues[0].charset);
    // Every line, the separating empty one too, ends in <BR>; a number inside the text stays.
    EXPECT_EQ("안녕하세요, 반갑습니다.<BR>2024년 3월<BR><BR>", cues[0].text);
    // An empty line inside a cue keeps both parts.
    EXPECT_EQ("첫째 줄<BR><BR>둘째 줄도 같은 자막<BR><BR>", cues[1].text);
    EXPECT_EQ("12<BR>숫자만 있는 줄 다음의 글<BR><BR>", cues[2].text);
    EXPECT_EQ("마지막 자막입니다<BR>", cues[3].text);

    // Seeks land on the cue whose span (from the previous end) holds the time.
    Cue cue;
    EXPECT_EQ(OK, readCue(reader.get(), &cue, 3700000));
    EXPECT_EQ(4000000, cue.startUs);
    EXPECT_EQ(OK, readCue(reader.get(), &cue, 0));
    EXPECT_EQ(1000000, cue.startUs);
    EXPECT_EQ(OK, readCue(reader.get(), &cue));
    EXPECT_EQ(4000000, cue.startUs);
    MediaSource::ReadOptions negative;
    negative.setSeekTo(-1);
    Payload payload;
    int64_t s = 0, e = 0;
    EXPECT_EQ(ERROR_OUT_OF_RANGE, reader->read(&s, &e, &payload, &negative));
    EXPECT_EQ(ERROR_END_OF_STREAM, readCue(reader.get(), &cue, 12000000));
    EXPECT_EQ(OK, reader->stop());
    EXPECT_EQ(ERROR_END_OF_STREAM, readCue(reader.get(), &cue, 0));

    // Bare CR line ends, '.' before the milliseconds.
    cues = readAll(startFixture("cr_only.srt").get());
    ASSERT_EQ(2u, cues.size());
    EXPECT_EQ(500000, cues[0].startUs);
    EXPECT_EQ("First line<BR>Second line<BR><BR>", cues[0].text);
    EXPECT_EQ("Third<BR>", cues[1].text);

    // An end before the start, overlaps, one start given twice, and a timing line without an
    // end: the first cue may lack one (it then lasts 100 ms), a later one is not a whole timing
    // line and so belongs to the text of the cue before it.
    cues = readAll(startFixture("odd_times.srt").get());
    ASSERT_EQ(4u, cues.size());
    EXPECT_EQ(1500000, cues[0].startUs);
    EXPECT_EQ(1600000, cues[0].endUs);
    EXPECT_EQ(8000000, cues[1].endUs);
    EXPECT_EQ(3000000, cues[2].startUs);
    EXPECT_EQ(4000000, cues[2].endUs);
    EXPECT_EQ("overlaps the long cue<BR><BR>4<BR>00:00:09,000<BR>no end time<BR><BR>", cues[2].text);
    EXPECT_EQ("replacement<BR>", cues[3].text);
    EXPECT_EQ(14000000, cues[3].endUs);
    TempFile noEnd("1\n00:00:09,000\nno end time\n");
    Ref<SubtitleSource> direct = new SubRipSource(open(noEnd.path));
    ASSERT_EQ(OK, direct->start());
    cues = readAll(direct.get());
    ASSERT_EQ(1u, cues.size());
    EXPECT_EQ(9100000, cues[0].endUs);
}

TEST(SubtitleReaders, CharacterSetsTravelWithTheFileBytes) {
    struct Case {
        const char* file;
        const char* charset;  // what the detector reports for the file
    };
    // The detector's own answers: Korean that uses CP949's extra syllables comes out as
    // gb18030, and French and German in Windows-1252 as ISO-8859-2. The engine passes the name
    // on as it is and leaves decoding to the host.
    const Case cases[] = {{"euc_kr.srt", "EUC-KR"},
                          {"cp949.srt", "gb18030"},
                          {"shift_jis.srt", "Shift_JIS"},
                          {"cp1252.srt", "ISO-8859-2"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Ref<SubtitleSource> reader = startFixture(c.file);
        ASSERT_TRUE(reader != nullptr);
        std::vector<Cue> cues = readAll(reader.get());
        ASSERT_FALSE(cues.empty());
        EXPECT_EQ(c.charset, cues[0].charset);
        // The cue text is the file's own bytes between the timing line and the next cue.
        std::ifstream in(kFixtures + c.file, std::ios::binary);
        const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t textAt = file.find('\n', file.find("-->")) + 1;
        const std::string firstText = file.substr(textAt, file.find('\n', textAt) - textAt);
        EXPECT_EQ(firstText + "<BR><BR>", cues[0].text);
    }

    // UTF-16: no reader takes it (its lines hold zero bytes, so no timing line is read); a
    // SubRip reader forced onto it finds no cue. The detector stops at the first zero byte and
    // takes the byte-order mark and one letter for windows-1252.
    Ref<SubtitleSource> forced = new SubRipSource(open(kFixtures + "utf16le.srt"));
    EXPECT_EQ(ERROR_MALFORMED, forced->start());
    char name[kCharsetNameSize];
    SubtitleTextDetectCharset(std::string("\xFF\xFE" "1\0\n\0", 6), name);
    EXPECT_STREQ("windows-1252", name);
    // Bytes the detector has no answer for: EUC-KR.
    SubtitleTextDetectCharset("\x80\x81\xfe\xff\x90", name);
    EXPECT_STREQ("EUC-KR", name);
}

TEST(SamiReader, FirstClassIsReadAndSeeksFindTheShowingCue) {
    test::LogCapture log;
    Ref<SubtitleSource> reader = startFixture("two_classes.smi");
    ASSERT_TRUE(is<SamiSource>(reader));
    auto* sami = static_cast<SamiSource*>(reader.get());
    ASSERT_EQ(2u, sami->classCount());
    EXPECT_EQ("KRCC", sami->className(0));
    EXPECT_EQ("ENCC", sami->className(1));
    EXPECT_TRUE(log.contains("velmor::SamiSource::start() is called"));
    EXPECT_TRUE(log.contains("0th charset EUC-KR"));
    // ENCC's span runs from its first cue to its last and so holds KRCC's cues too.
    EXPECT_TRUE(log.contains("1th charset EUC-KR"));
    EXPECT_TRUE(log.contains("TextInfo Count:9 Language Count:2"));

    std::vector<Cue> cues = readAll(reader.get());
    ASSERT_EQ(6u, cues.size());  // three texts and three clearing lines of KRCC
    EXPECT_EQ(1000000, cues[0].startUs);
    EXPECT_EQ(0, cues[0].endUs);
    EXPECT_EQ("EUC-KR", cues[0].charset);
    // The raw fragment after the SYNC tag, tags included, in the file's own bytes.
    const std::string first = "<P Class=KRCC><font color=\"#ffff00\">\xbe\xc8\xb3\xe7\xc7\xcf\xbc\xbc\xbf\xe4,";
    EXPECT_EQ(0u, cues[0].text.rfind(first, 0)) << cues[0].text;
    EXPECT_NE(std::string::npos, cues[0].text.find("</font><br>"));
    EXPECT_EQ(3500000, cues[1].startUs);
    EXPECT_EQ("<P Class=KRCC>&nbsp;\n", cues[1].text);

    // Cues at 9 s and 12 s: a seek to 10 s goes on with the 9 s cue.
    Cue cue;
    EXPECT_EQ(OK, readCue(reader.get(), &cue, 10000000));
    EXPECT_EQ(9000000, cue.startUs);
    EXPECT_EQ(OK, readCue(reader.get(), &cue, 0));
    EXPECT_EQ(1000000, cue.startUs);
    EXPECT_EQ(OK, readCue(reader.get(), &cue, 60000000));
    EXPECT_EQ(14500000, cue.startUs);
    MediaSource::ReadOptions negative;
    negative.setSeekTo(-5);
    Payload payload;
    int64_t s = 0, e = 0;
    EXPECT_EQ(ERROR_OUT_OF_RANGE, reader->read(&s, &e, &payload, &negative));
    EXPECT_TRUE(log.contains("seekTimeUs minus"));

    // No class, no SYNC, a SYNC without a number or with one too large, tags left open:
    // ERROR_MALFORMED.
    for (const char* bad : {"<SAMI><BODY><SYNC Start=1000><P>no class\n</BODY></SAMI>",
                            "<SAMI><BODY></BODY></SAMI>", "<SAMI><SYNC Start=><P Class=KRCC>x",
                            "<SAMI><SYNC Start=2147483648><P Class=KRCC>x", "<SAMI><SYNC Start=\"12"}) {
        TempFile file(bad);
        Ref<SubtitleSource> r = SubtitleSource::CreateByContent(open(file.path));
        ASSERT_TRUE(is<SamiSource>(r)) << bad;
        EXPECT_EQ(ERROR_MALFORMED, r->start()) << bad;
        EXPECT_EQ(ERROR_END_OF_STREAM, readCue(r.get(), &cue));
    }
    // A class per SYNC: the first 16 classes are kept, the cues of later ones dropped.
    std::string many = "<SAMI><BODY>";
    for (char c = 'A'; c <= 'Z'; ++c) many += "<SYNC Start=1><P Class=C" + std::string(1, c) + ">x\n";
    TempFile manyClasses(many);
    Ref<SubtitleSource> crowded = SubtitleSource::CreateByContent(open(manyClasses.path));
    ASSERT_EQ(OK, crowded->start());
    EXPECT_EQ(16u, static_cast<SamiSource*>(crowded.get())->classCount());
    // An unterminated last cue runs to the end of the file.
    TempFile open_end("<SAMI><SYNC Start=5><P Class=X>open <font color=red");
    Ref<SubtitleSource> r = SubtitleSource::CreateByContent(open(open_end.path));
    ASSERT_EQ(OK, r->start());
    ASSERT_EQ(OK, readCue(r.get(), &cue));
    EXPECT_EQ(5000, cue.startUs);
    EXPECT_EQ("<P Class=X>open <font color=red", cue.text);
}

TEST(WebVttReader, NotesSettingsAndTheVideoArea) {
    Ref<SubtitleSource> reader = startFixture("notes.vtt");
    ASSERT_TRUE(is<WebVttSource>(reader));
    EXPECT_TRUE(static_cast<WebVttSource*>(reader.get())->videoArea());
    std::vector<Cue> cues = readAll(reader.get());
    ASSERT_EQ(3u, cues.size());
    EXPECT_EQ(1000000, cues[0].startUs);
    EXPECT_EQ(2000000, cues[0].endUs);
    EXPECT_EQ(" align:start position:10% video:true<TAG>First <b>cue</b><BR>second line<BR>",
              cues[0].text);
    // No settings: no prefix; a cue identifier line before the timing line is passed over.
    EXPECT_EQ(3000000, cues[1].startUs);
    EXPECT_EQ(4500000, cues[1].endUs);
    EXPECT_EQ("plain cue<BR>", cues[1].text);
    // Times without hours.
    EXPECT_EQ(5000000, cues[2].startUs);
    EXPECT_EQ(" line:0 video:true<TAG>minutes only", cues[2].text);

    // Without the video-area note: the settings alone. An empty cue sends no payload.
    TempFile plain("WEBVTT\n\n00:00:01.000 --> 00:00:02.000 align:start\nHello\nWorld\n\n"
                   "00:00:03.000 --> 00:00:04.000\n\n");
    reader = SubtitleSource::CreateByContent(open(plain.path));
    ASSERT_TRUE(is<WebVttSource>(reader));
    ASSERT_EQ(OK, reader->start());
    cues = readAll(reader.get());
    ASSERT_EQ(2u, cues.size());
    EXPECT_EQ(" align:start<TAG>Hello<BR>World<BR>", cues[0].text);
    EXPECT_FALSE(cues[1].hasPayload);
    EXPECT_EQ(3000000, cues[1].startUs);
}

// Input no reader can use gets a status, in bounded time.
TEST(SubtitleReaders, BadInputGetsAStatus) {
    const auto started = std::chrono::steady_clock::now();
    // 50 MB in one line, with and without a cue before it.
    std::string line(50 * 1024 * 1024, 'a');
    {
        TempFile file(line);
        EXPECT_TRUE(SubtitleSource::CreateByContent(open(file.path)) == nullptr);
        Ref<SubtitleSource> srt = new SubRipSource(open(file.path));
        EXPECT_EQ(ERROR_MALFORMED, srt->start());
        Ref<SubtitleSource> vtt = new WebVttSource(open(file.path));
        EXPECT_EQ(ERROR_MALFORMED, vtt->start());
        Ref<SubtitleSource> sami = new SamiSource(open(file.path));
        EXPECT_EQ(ERROR_MALFORMED, sami->start());
    }
    {
        line.replace(0, 32, "1\n00:00:01,000 --> 00:00:02,000\n");
        TempFile file(line);
        Ref<SubtitleSource> srt = SubtitleSource::CreateByContent(open(file.path));
        ASSERT_TRUE(is<SubRipSource>(srt));
        ASSERT_EQ(OK, srt->start());
        Cue cue;
        ASSERT_EQ(OK, readCue(srt.get(), &cue));
        EXPECT_EQ(line.size() - 32 + 4, cue.text.size());
    }
    line = std::string();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_LT(seconds, 60.0);

    // Timing lines with huge or negative numbers: only cues with a start of 0 or later are kept.
    TempFile numbers("1\n00:00:01,000 --> 00:00:02,000\nok\n\n2\n99999:00:00,000 --> 1:2:3,4\nbad\n\n"
                     "3\n-1:00:00,000 --> 00:00:05,000\nnegative\n\n4\n99:99:99,999 --> -5:00:00,000\nlate\n");
    Ref<SubtitleSource> srt = SubtitleSource::CreateByContent(open(numbers.path));
    ASSERT_TRUE(is<SubRipSource>(srt));
    ASSERT_EQ(OK, srt->start());
    std::vector<Cue> cues = readAll(srt.get());
    ASSERT_EQ(2u, cues.size());
    EXPECT_EQ("ok<BR><BR>2<BR>99999:00:00,000 --> 1:2:3,4<BR>bad<BR><BR>", cues[0].text);
    EXPECT_EQ(((99 * 3600 + 99 * 60 + 99) * 1000 + 999) * 1000LL, cues[1].startUs);
    EXPECT_EQ(cues[1].startUs + 100000, cues[1].endUs);

    // Readers that were never started, or whose file holds no cue.
    Cue cue;
    TempFile empty("");
    for (Ref<SubtitleSource> r : {Ref<SubtitleSource>(new SubRipSource(open(empty.path))),
                                  Ref<SubtitleSource>(new WebVttSource(open(empty.path))),
                                  Ref<SubtitleSource>(new SamiSource(open(empty.path)))}) {
        EXPECT_EQ(ERROR_END_OF_STREAM, readCue(r.get(), &cue));
        EXPECT_EQ(ERROR_MALFORMED, r->start());
        EXPECT_EQ(ERROR_END_OF_STREAM, readCue(r.get(), &cue, 0));
    }
    // A file that cannot be read.
    Ref<DataSource> missing = new MemFileSource("/nonexistent/qv-subs.srt");
    EXPECT_TRUE(SubtitleSource::CreateByContent(missing) == nullptr);
    EXPECT_EQ(ERROR_IO, Ref<SubtitleSource>(new SubRipSource(missing))->start());
    EXPECT_EQ(ERROR_IO, Ref<SubtitleSource>(new SamiSource(missing))->start());
}

}  // namespace
}  // namespace velmor
