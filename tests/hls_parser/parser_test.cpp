// PlaylistParser against hand-written playlists: tag rules, numbers, byte ranges, key and stream
// attributes, address resolution, line ends, malformed and hostile input, and the appended-item
// form. The playlists ffmpeg writes (VOD, byte ranges, AES-128, masters) are parsed and played
// byte for byte by the session tests.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/hls/PlaylistParser.h"
#include "support/LogCapture.h"

using namespace velmor;

namespace {

Ref<PlaylistParser> parse(const std::string& text, const char* base = "http://h/a/b.m3u8") {
    return new PlaylistParser(base, text.data(), text.size());
}

struct ItemView {
    std::string uri;
    Ref<Message> meta;
};

ItemView item(const Ref<PlaylistParser>& p, size_t index) {
    ItemView v;
    ByteString uri;
    EXPECT_TRUE(p->itemAt(index, &uri, &v.meta)) << "item " << index;
    v.uri = uri.str();
    return v;
}

int64_t i64(const Ref<Message>& meta, const char* key) {
    int64_t v = INT64_MIN;
    EXPECT_TRUE(meta != nullptr && meta->findInt64(key, &v)) << key;
    return v;
}

int32_t i32(const Ref<Message>& meta, const char* key) {
    int32_t v = INT32_MIN;
    EXPECT_TRUE(meta != nullptr && meta->findInt32(key, &v)) << key;
    return v;
}

std::string str(const Ref<Message>& meta, const char* key) {
    ByteString v;
    EXPECT_TRUE(meta != nullptr && meta->findString(key, &v)) << key;
    return v.str();
}

bool has(const Ref<Message>& meta, const char* key) {
    if (meta == nullptr) return false;
    int32_t a;
    int64_t b;
    ByteString c;
    return meta->findInt32(key, &a) || meta->findInt64(key, &b) || meta->findString(key, &c);
}

// ------------------------------------------------------------------------------------------------
// Hand-written playlists (the playlists ffmpeg writes are read end to end by the session tests).

TEST(PlaylistParserTest, HeaderLineEndsAndFlags) {
    // The header must be the first non-empty line, exactly: with a trailing blank it is not one,
    // so the tags are ignored and the first address has no duration.
    Ref<PlaylistParser> p = parse("#EXTM3U \n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\na.ts\n");
    EXPECT_EQ(ERROR_MALFORMED, p->initCheck());
    EXPECT_FALSE(p->isExtM3U());
    EXPECT_EQ(nullptr, p->meta().get());
    EXPECT_EQ(0u, p->size());

    // Leading empty lines are not counted; CRLF ends; no final line feed; blank lines between.
    p = parse("\n\r\n#EXTM3U\r\n#EXT-X-TARGETDURATION:10\r\n\r\n#EXTINF:10,\r\na.ts\r\n\n#EXTINF:5\r\nb.ts");
    ASSERT_EQ(OK, p->initCheck());
    EXPECT_TRUE(p->isExtM3U());
    ASSERT_EQ(2u, p->size());
    EXPECT_EQ("http://h/a/a.ts", item(p, 0).uri);
    EXPECT_EQ("http://h/a/b.ts", item(p, 1).uri);  // no '\r' left on the address
    EXPECT_EQ(5000000, i64(item(p, 1).meta, kKeyItemDurationUs));
    EXPECT_FALSE(p->isComplete());
    EXPECT_FALSE(p->isEvent());

    p = parse("#EXTM3U\n#EXT-X-PLAYLIST-TYPE:EVENT\n#EXT-X-ENDLIST\n");
    EXPECT_EQ(OK, p->initCheck());
    EXPECT_TRUE(p->isEvent());
    EXPECT_TRUE(p->isComplete());
    EXPECT_EQ(nullptr, p->meta().get());  // neither tag is playlist metadata
    EXPECT_FALSE(parse("#EXTM3U\n#EXT-X-PLAYLIST-TYPE:VOD\n")->isEvent());
    // Tags are matched case-sensitively; unknown tags and comments are ignored.
    p = parse("#EXTM3U\n#ext-x-endlist\n#EXT-X-VERSION:3\n# a comment\n#EXT-X-PROGRAM-DATE-TIME:x\n");
    EXPECT_EQ(OK, p->initCheck());
    EXPECT_FALSE(p->isComplete());

    // Nothing at all, or only line feeds: parsed, empty.
    for (const char* text : {"", "\n\n\r\n"}) {
        p = parse(text);
        EXPECT_EQ(OK, p->initCheck());
        EXPECT_FALSE(p->isExtM3U());
        EXPECT_EQ(0u, p->size());
    }
    Ref<PlaylistParser> none = new PlaylistParser("http://h/x.m3u8", nullptr, 0);
    EXPECT_EQ(OK, none->initCheck());
}

TEST(PlaylistParserTest, Numbers) {
    struct Case {
        const char* extinf;
        status_t status;
        int64_t us;
    } cases[] = {
            {"10", OK, 10000000},
            {"10,", OK, 10000000},
            {"9.97,title, with comma", OK, 9970000},
            {"0.29,", OK, 290000},             // exact: no 289999 from a binary product
            {"1.0000019,", OK, 1000001},       // truncated, not rounded
            {"4.000000,", OK, 4000000},
            {".5,", OK, 500000},
            {"1e1,", OK, 10000000},
            {"+2.5,", OK, 2500000},
            {"-1.5,", OK, -1500000},
            {" 3,", OK, 3000000},
            {"0.0000001,", OK, 0},
            {"000000000000000000000000000012,", OK, 12000000},
            {"9223372036854,", OK, 9223372036854000000},
            {"ten,", ERROR_MALFORMED, 0},
            {",", ERROR_MALFORMED, 0},
            {"", ERROR_MALFORMED, 0},
            {".,", ERROR_MALFORMED, 0},
            {"10s,", ERROR_MALFORMED, 0},
            {"10 ,", ERROR_MALFORMED, 0},
            {"1.2.3,", ERROR_MALFORMED, 0},
            {"inf,", ERROR_MALFORMED, 0},
            {"nan,", ERROR_MALFORMED, 0},
            {"0x10,", ERROR_MALFORMED, 0},
            {"9223372036855,", ERROR_MALFORMED, 0},  // beyond int64 microseconds
            {"1e400,", ERROR_MALFORMED, 0},
            {"99999999999999999999999999999999999,", ERROR_MALFORMED, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extinf);
        Ref<PlaylistParser> p = parse(std::string("#EXTM3U\n#EXTINF:") + c.extinf + "\na.ts\n");
        EXPECT_EQ(c.status, p->initCheck());
        if (c.status == OK) {
            ASSERT_EQ(1u, p->size());
            EXPECT_EQ(c.us, i64(item(p, 0).meta, kKeyItemDurationUs));
        } else {
            EXPECT_EQ(0u, p->size());
        }
    }
    // "#EXTINF" with no colon at all has no number.
    EXPECT_EQ(ERROR_MALFORMED, parse("#EXTM3U\n#EXTINF\na.ts\n")->initCheck());

    struct IntCase {
        const char* text;
        status_t status;
        int32_t value;
    } ints[] = {
            {"10", OK, 10},           {"7,junk", OK, 7},      {"-3", OK, -3},
            {"2147483647", OK, 2147483647}, {"-2147483648", OK, INT32_MIN},
            {"2147483648", ERROR_MALFORMED, 0}, {"99999999999999999999999", ERROR_MALFORMED, 0},
            {"", ERROR_MALFORMED, 0}, {"x", ERROR_MALFORMED, 0}, {"10.5", ERROR_MALFORMED, 0},
            {"-", ERROR_MALFORMED, 0},
    };
    for (const IntCase& c : ints) {
        SCOPED_TRACE(c.text);
        Ref<PlaylistParser> t = parse(std::string("#EXTM3U\n#EXT-X-TARGETDURATION:") + c.text + "\n");
        Ref<PlaylistParser> s = parse(std::string("#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:") + c.text + "\n");
        EXPECT_EQ(c.status, t->initCheck());
        EXPECT_EQ(c.status, s->initCheck());
        if (c.status == OK) {
            EXPECT_EQ(c.value, i32(t->meta(), kKeyTargetDuration));
            EXPECT_EQ(c.value, i32(s->meta(), kKeyMediaSequence));
        } else {
            EXPECT_FALSE(has(t->meta(), kKeyTargetDuration));
            EXPECT_FALSE(has(s->meta(), kKeyMediaSequence));
        }
    }
}

TEST(PlaylistParserTest, ByteRanges) {
    Ref<PlaylistParser> p = parse(
            "#EXTM3U\n"
            "#EXTINF:1,\n#EXT-X-BYTERANGE:1000@0\nf.ts\n"
            "#EXTINF:1,\n#EXT-X-BYTERANGE:500\nf.ts\n"
            "#EXTINF:1,\n#EXT-X-BYTERANGE: 200 @ 5000 \nf.ts\n"
            "#EXTINF:1,\n#EXT-X-BYTERANGE:0\nf.ts\n"
            "#EXTINF:1,\n#EXT-X-BYTERANGE:7\nf.ts\n"
            "#EXTINF:1,\ng.ts\n");
    ASSERT_EQ(OK, p->initCheck());
    ASSERT_EQ(6u, p->size());
    const int64_t expected[][2] = {{0, 1000}, {1000, 500}, {5000, 200}, {5200, 0}, {5200, 7}};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(expected[i][0], i64(item(p, i).meta, kKeyRangeOffset)) << i;
        EXPECT_EQ(expected[i][1], i64(item(p, i).meta, kKeyRangeLength)) << i;
    }
    EXPECT_FALSE(has(item(p, 5).meta, kKeyRangeOffset));

    for (const char* bad : {"", "@0", "-5", "-5@0", "5@-1", "5@", "1x", "5@1@2", "+5", "0x10",
                            "99999999999999999999", "9223372036854775807@1", "1@9223372036854775807"}) {
        SCOPED_TRACE(bad);
        Ref<PlaylistParser> b =
                parse(std::string("#EXTM3U\n#EXTINF:1,\na.ts\n#EXTINF:1,\n#EXT-X-BYTERANGE:") + bad + "\nb.ts\n");
        EXPECT_EQ(ERROR_MALFORMED, b->initCheck());
        EXPECT_EQ(1u, b->size());  // what came before the bad line is kept
    }
    // The largest values that still fit.
    p = parse("#EXTM3U\n#EXTINF:1,\n#EXT-X-BYTERANGE:9223372036854775807@0\na.ts\n");
    ASSERT_EQ(OK, p->initCheck());
    EXPECT_EQ(INT64_MAX, i64(item(p, 0).meta, kKeyRangeLength));
}

TEST(PlaylistParserTest, KeyAttributes) {
    test::LogCapture log(LOG_ERROR);
    Ref<PlaylistParser> p = parse(
            "#EXTM3U\n"
            "#EXT-X-KEY:METHOD=AES-128,URI=\"k?a=1,b=2\",IV=0X000102030405060708090A0B0C0D0E0F\n"
            "#EXTINF:1,\na.ts\n"
            "#EXTINF:1,\nb.ts\n"
            "#EXT-X-KEY: method = NONE \n#EXTINF:1,\nc.ts\n"
            "#EXT-X-KEY:Uri=\"https://keys.example/k1\",KEYFORMAT=\"identity\",iv=,Method=SAMPLE-AES\n"
            "#EXTINF:1,\nd.ts\n"
            "#EXT-X-KEY:URI=/root/key,METHOD\n#EXTINF:1,\ne.ts\n"
            "#EXT-X-KEY:URI=\"\",METHOD=AES-128\n#EXTINF:1,\nf.ts\n");
    ASSERT_EQ(OK, p->initCheck());
    ASSERT_EQ(6u, p->size());
    Ref<Message> m = item(p, 0).meta;
    EXPECT_EQ("AES-128", str(m, kKeyCipherMethod));
    EXPECT_EQ("http://h/a/k?a=1,b=2", str(m, kKeyCipherUri));  // the quoted comma stays
    EXPECT_EQ("0X000102030405060708090A0B0C0D0E0F", str(m, kKeyCipherIv));
    EXPECT_EQ(1000000, i64(m, kKeyItemDurationUs));
    EXPECT_FALSE(has(item(p, 1).meta, kKeyCipherMethod));  // carried forward by the session, not here
    m = item(p, 2).meta;
    EXPECT_EQ("NONE", str(m, kKeyCipherMethod));
    EXPECT_FALSE(has(m, kKeyCipherUri));
    m = item(p, 3).meta;
    EXPECT_EQ("SAMPLE-AES", str(m, kKeyCipherMethod));
    EXPECT_EQ("https://keys.example/k1", str(m, kKeyCipherUri));
    EXPECT_EQ("", str(m, kKeyCipherIv));
    EXPECT_FALSE(has(m, "cipher-keyformat"));
    m = item(p, 4).meta;
    EXPECT_EQ("http://h/root/key", str(m, kKeyCipherUri));  // unquoted and root-relative
    EXPECT_FALSE(has(m, kKeyCipherMethod));                  // "METHOD" without '=' is dropped
    m = item(p, 5).meta;
    EXPECT_EQ("http://h/a/", str(m, kKeyCipherUri));  // an empty address names the folder
    EXPECT_EQ(0u, log.count("failed to make absolute url"));

    // A base that cannot resolve addresses: the key address is kept as written, and said so; the
    // items are kept with empty addresses.
    p = parse("#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"key.bin\"\n#EXTINF:1,\na.ts\n", "ftp://h/p.m3u8");
    ASSERT_EQ(OK, p->initCheck());
    EXPECT_EQ("key.bin", str(item(p, 0).meta, kKeyCipherUri));
    EXPECT_EQ("", item(p, 0).uri);
    ASSERT_EQ(1u, log.count("failed to make absolute url for 'key.bin'.", 'E'));
    EXPECT_NE(std::string::npos, log.linesContaining("failed")[0].find("VEL_PlaylistPar"));
}

TEST(PlaylistParserTest, MasterPlaylists) {
    Ref<PlaylistParser> p = parse(
            "#EXTM3U\n"
            "#EXT-X-VERSION:3\n"
            "#EXT-X-STREAM-INF:PROGRAM-ID=1,BANDWIDTH=1280000,CODECS=\"avc1.4d401f,mp4a.40.2\",RESOLUTION=1280x720\n"
            "hi/index.m3u8\n"
            "#EXT-X-STREAM-INF: bandwidth = 640000 , Resolution=640X360\n"
            "/mid/index.m3u8\n"
            "#EXT-X-STREAM-INF:RESOLUTION=320x180,NAME=low\n"
            "https://cdn.example/low.m3u8\n"
            "#EXT-X-STREAM-INF:BANDWIDTH=12abc,BANDWIDTH-EXTRA=99999999999,AVERAGE-BANDWIDTH=-1\n"
            "x.m3u8\n"
            "plain.m3u8\n"
            "#EXT-X-ENDLIST\n");
    ASSERT_EQ(OK, p->initCheck());
    EXPECT_TRUE(p->isVariantPlaylist());
    EXPECT_TRUE(p->isComplete());
    ASSERT_EQ(5u, p->size());
    ItemView v = item(p, 0);
    EXPECT_EQ("http://h/a/hi/index.m3u8", v.uri);
    EXPECT_EQ(1280000, i32(v.meta, kKeyBandwidth));
    EXPECT_EQ("720P", str(v.meta, kKeyResolution));
    v = item(p, 1);
    EXPECT_EQ("http://h/mid/index.m3u8", v.uri);
    EXPECT_EQ(640000, i32(v.meta, kKeyBandwidth));
    EXPECT_FALSE(has(v.meta, kKeyResolution));  // only a lower-case x separates
    v = item(p, 2);
    EXPECT_EQ("https://cdn.example/low.m3u8", v.uri);
    EXPECT_FALSE(has(v.meta, kKeyBandwidth));  // no BANDWIDTH: left to the session
    EXPECT_EQ("180P", str(v.meta, kKeyResolution));
    // Bad bandwidth values are skipped; every name beginning with "bandwidth" counts.
    EXPECT_FALSE(has(item(p, 3).meta, kKeyBandwidth));
    EXPECT_EQ(nullptr, item(p, 4).meta.get());  // an address without its tag has no metadata

    // Media tags inside a master, and a master after playlist metadata, are malformed.
    const std::string master = "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nv.m3u8\n";
    for (const char* tag : {"#EXT-X-TARGETDURATION:10", "#EXT-X-MEDIA-SEQUENCE:1", "#EXT-X-KEY:METHOD=NONE",
                            "#EXTINF:10,", "#EXT-X-DISCONTINUITY", "#EXT-X-BYTERANGE:10@0"}) {
        SCOPED_TRACE(tag);
        p = parse(master + tag + "\nw.m3u8\n");
        EXPECT_EQ(ERROR_MALFORMED, p->initCheck());
        EXPECT_EQ(1u, p->size());
    }
    for (const char* tag : {"#EXT-X-TARGETDURATION:10", "#EXT-X-MEDIA-SEQUENCE:0"}) {
        p = parse(std::string("#EXTM3U\n") + tag + "\n#EXT-X-STREAM-INF:BANDWIDTH=1\nv.m3u8\n");
        EXPECT_EQ(ERROR_MALFORMED, p->initCheck());
        EXPECT_FALSE(p->isVariantPlaylist());
        EXPECT_NE(nullptr, p->meta().get());  // kept
    }
    // Tags before the first stream tag are still media tags; the version tag is not metadata.
    p = parse("#EXTM3U\n#EXT-X-DISCONTINUITY\n#EXT-X-STREAM-INF:BANDWIDTH=5\nv.m3u8\n");
    ASSERT_EQ(OK, p->initCheck());
    EXPECT_EQ(1, i32(item(p, 0).meta, kKeyDiscontinuity));
    EXPECT_EQ(5, i32(item(p, 0).meta, kKeyBandwidth));
}

TEST(PlaylistParserTest, MediaItemsAndMetadata) {
    Ref<PlaylistParser> p = parse(
            "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXT-X-MEDIA-SEQUENCE:2680\n"
            "#EXTINF:9.97,\nfileSequence2680.ts\n"
            "#EXT-X-DISCONTINUITY\n#EXTINF:10\nfileSequence2681.ts\n"
            "#EXTINF:10,\n#EXTINF:4,\nfileSequence2682.ts\n");
    ASSERT_EQ(OK, p->initCheck());
    EXPECT_EQ(10, i32(p->meta(), kKeyTargetDuration));
    EXPECT_EQ(2680, i32(p->meta(), kKeyMediaSequence));
    ASSERT_EQ(3u, p->size());
    EXPECT_EQ(9970000, i64(item(p, 0).meta, kKeyItemDurationUs));
    EXPECT_FALSE(has(item(p, 0).meta, kKeyDiscontinuity));
    EXPECT_EQ(1, i32(item(p, 1).meta, kKeyDiscontinuity));
    EXPECT_EQ(4000000, i64(item(p, 2).meta, kKeyItemDurationUs));  // the later tag wins

    // An address without a duration ends the parse; what came before stays.
    for (const char* tail : {"x.ts\n", "#EXT-X-DISCONTINUITY\nx.ts\n", "#EXT-X-KEY:METHOD=NONE\nx.ts\n",
                             "#EXT-X-BYTERANGE:5@0\nx.ts\n", " \n"}) {
        SCOPED_TRACE(tail);
        p = parse(std::string("#EXTM3U\n#EXT-X-TARGETDURATION:3\n#EXTINF:1,\na.ts\n") + tail +
                  "#EXTINF:1,\nb.ts\n");
        EXPECT_EQ(ERROR_MALFORMED, p->initCheck());
        EXPECT_EQ(1u, p->size());
        EXPECT_EQ(3, i32(p->meta(), kKeyTargetDuration));
    }
    // Tags are prefixes: a longer tag with the same beginning counts as the shorter one.
    p = parse("#EXTM3U\n#EXT-X-DISCONTINUITY-SEQUENCE:4\n#EXTINF:1,\na.ts\n");
    ASSERT_EQ(OK, p->initCheck());
    EXPECT_EQ(1, i32(item(p, 0).meta, kKeyDiscontinuity));
    // The duration is used up by its address.
    EXPECT_EQ(ERROR_MALFORMED, parse("#EXTM3U\n#EXTINF:1,\na.ts\nb.ts\n")->initCheck());

    // itemAt clears what it is given, then reports the range.
    p = parse("#EXTM3U\n#EXTINF:1,\na.ts\n");
    ByteString uri("stale");
    Ref<Message> meta = new Message;
    EXPECT_FALSE(p->itemAt(1, &uri, &meta));
    EXPECT_TRUE(uri.empty());
    EXPECT_EQ(nullptr, meta.get());
    EXPECT_TRUE(p->itemAt(0, nullptr, nullptr));
    EXPECT_TRUE(p->itemAt(0, &uri, nullptr));
    EXPECT_EQ("http://h/a/a.ts", uri.str());
    Ref<Message> again;
    EXPECT_TRUE(p->itemAt(0, nullptr, &meta));
    EXPECT_TRUE(p->itemAt(0, nullptr, &again));
    EXPECT_EQ(meta.get(), again.get());  // shared, not copied
}

TEST(PlaylistParserTest, MakeURL) {
    struct Case {
        const char* base;
        const char* url;
        bool ok;
        const char* out;
    } cases[] = {
            {"http://h/a/b.m3u8", "seg1.ts", true, "http://h/a/seg1.ts"},
            {"http://h/a/b.m3u8", "/x/seg.ts", true, "http://h/x/seg.ts"},
            {"http://h/a/b.m3u8", "https://o/y.ts", true, "https://o/y.ts"},
            {"http://h/a/b.m3u8", "HTTP://O/Y.ts", true, "HTTP://O/Y.ts"},
            {"http://h/a/b.m3u8", "sub/dir/c.ts?t=1", true, "http://h/a/sub/dir/c.ts?t=1"},
            {"http://h/a/b.m3u8", "../c.ts", true, "http://h/a/../c.ts"},
            {"http://h/a/b.m3u8", "file:///etc/passwd", true, "http://h/a/file:///etc/passwd"},
            {"https://h:8443/live/", "s.ts", true, "https://h:8443/live/s.ts"},
            {"https://h:8443/live/", "/s.ts", true, "https://h:8443/s.ts"},
            {"https://h", "s.ts", true, "https://h/s.ts"},
            {"https://h", "/s.ts", true, "https://h/s.ts"},
            {"HTTPS://H/p/q.m3u8", "s.ts", true, "HTTPS://H/p/s.ts"},
            {"http://h/a/b.m3u8?tok=1&x=2", "s.ts", true, "http://h/a/s.ts"},
            {"http://h/a/b.m3u8?next=/c/d", "s.ts", true, "http://h/a/b.m3u8?next=/c/s.ts"},
            {"http://h?x=1", "s.ts", true, "http://h?x=1/s.ts"},
            {"http://h/a/b.m3u8?q=1", "/r.ts", true, "http://h/r.ts"},
            {"file:///tmp/media/list.m3u8", "s.ts", true, "file:///tmp/media/s.ts"},
            {"file:///tmp/media/list.m3u8", "/s.ts", true, "file:///s.ts"},
            {"file://host/list.m3u8", "/s.ts", true, "file://host/s.ts"},
            {"ftp://h/a.m3u8", "s.ts", false, ""},
            {"/local/a.m3u8", "s.ts", false, ""},
            {"", "http://h/s.ts", false, ""},
            {"http:/h/a.m3u8", "s.ts", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.base) + " + " + c.url);
        ByteString out("stale");
        EXPECT_EQ(c.ok, PlaylistParser::MakeURL(c.base, c.url, &out));
        EXPECT_EQ(std::string(c.out), out.str());
    }
}

// Input no playlist writer would produce: a status, never a crash; what was built stays readable.
TEST(PlaylistParserTest, HostileInput) {
    std::string binary;
    for (int i = 0; i < 4096; ++i) binary.push_back(static_cast<char>((i * 7919) & 0xff));
    Ref<PlaylistParser> p = parse(binary);
    EXPECT_EQ(ERROR_MALFORMED, p->initCheck());
    EXPECT_EQ(0u, p->size());

    // A NUL inside an address is kept as a byte of it.
    const std::string withNul("#EXTM3U\n#EXTINF:1,\na\0b.ts\n", 26);
    p = parse(withNul);
    ASSERT_EQ(OK, p->initCheck());
    EXPECT_EQ(std::string("http://h/a/a\0b.ts", 17), item(p, 0).uri);

    // Separators everywhere, tags with no values.
    p = parse("#EXTM3U\n#EXT-X-KEY\n#EXT-X-KEY:\n#EXT-X-KEY:,,,===,\"\"\"\n#EXT-X-KEY:URI=\"\n#EXTINF:0,\n#\n");
    EXPECT_EQ(OK, p->initCheck());
    p = parse("#EXTM3U\n#EXT-X-STREAM-INF\n#EXT-X-STREAM-INF:,,=,RESOLUTION=x,RESOLUTION=,BANDWIDTH=\nv\n");
    ASSERT_EQ(OK, p->initCheck());
    ASSERT_EQ(1u, p->size());
    EXPECT_EQ("P", str(item(p, 0).meta, kKeyResolution));
    EXPECT_FALSE(has(item(p, 0).meta, kKeyBandwidth));

    // Many items and one very long line: parsed whole.
    std::string big = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n";
    for (int i = 0; i < 50000; ++i) big += "#EXTINF:2.002,\n#EXT-X-BYTERANGE:188\ns.ts\n";
    big += "#EXT-X-KEY:METHOD=AES-128,URI=\"" + std::string(1 << 20, ',') + "\"\n#EXTINF:1,\n" +
           std::string(1 << 20, 'u') + "\n";
    p = parse(big);
    ASSERT_EQ(OK, p->initCheck());
    ASSERT_EQ(50001u, p->size());
    EXPECT_EQ(188 * 49999, i64(item(p, 49999).meta, kKeyRangeOffset));
    EXPECT_EQ((1u << 20) + strlen("http://h/a/"), item(p, 50000).uri.size());
}

// The session's collection of items that left a live window.
TEST(PlaylistParserTest, AppendedItems) {
    Ref<Message> playlistMeta = new Message;
    playlistMeta->setInt32(kKeyTargetDuration, 6);
    Ref<PlaylistParser> p = new PlaylistParser("http://h/live.m3u8", playlistMeta);
    EXPECT_EQ(OK, p->initCheck());
    EXPECT_EQ(playlistMeta.get(), p->meta().get());
    EXPECT_EQ(0u, p->size());
    EXPECT_FALSE(p->itemAt(0, nullptr, nullptr));

    Ref<PlaylistParser> window = parse("#EXTM3U\n#EXTINF:6,\ns1.ts\n#EXTINF:6,\ns2.ts\n");
    for (size_t i = 0; i < window->size(); ++i) {
        ByteString uri;
        Ref<Message> meta;
        ASSERT_TRUE(window->itemAt(i, &uri, &meta));
        p->appendItem(uri, meta);
    }
    p->appendItem(ByteString("http://h/s3.ts"), nullptr);
    ASSERT_EQ(3u, p->size());
    EXPECT_EQ("http://h/a/s2.ts", item(p, 1).uri);
    EXPECT_EQ(item(window, 1).meta.get(), item(p, 1).meta.get());
    EXPECT_EQ("http://h/s3.ts", item(p, 2).uri);
    EXPECT_EQ(nullptr, item(p, 2).meta.get());
    Ref<PlaylistParser> empty = new PlaylistParser("http://h/live.m3u8", nullptr);
    EXPECT_EQ(OK, empty->initCheck());
    EXPECT_EQ(nullptr, empty->meta().get());
}

}  // namespace
