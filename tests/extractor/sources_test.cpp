// FileSource, MemFileSource, DataSource::CreateFromURI, sniffing and MediaExtractor::Create.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/DataSource.h"
#include "engine/FFMpegExtractor.h"
#include "engine/FileSource.h"
#include "engine/MediaDefs.h"
#include "engine/MediaExtractor.h"
#include "engine/MemFileSource.h"
#include "support/Media.h"

using namespace velmor;
using qvtest::mediaPath;
using qvtest::readWholeFile;

namespace {

void checkReads(const Ref<DataSource>& source, const std::vector<uint8_t>& expected) {
    ASSERT_EQ(OK, source->initCheck());
    int64_t size = -1;
    ASSERT_EQ(OK, source->getSize(&size));
    ASSERT_EQ(static_cast<int64_t>(expected.size()), size);
    EXPECT_EQ(static_cast<uint32_t>(DataSource::kFlagSizeKnown), source->flags());

    char buf[100];
    // The last ten bytes, then nothing.
    EXPECT_EQ(10, source->readAt(size - 10, buf, sizeof(buf)));
    EXPECT_EQ(0, memcmp(buf, expected.data() + size - 10, 10));
    EXPECT_EQ(0, source->readAt(size, buf, sizeof(buf)));
    EXPECT_EQ(0, source->readAt(size + 1000, buf, sizeof(buf)));

    // Scattered reads match the file.
    for (int64_t offset : {int64_t(0), int64_t(1), size / 3, size / 2 + 7, size - 100}) {
        ssize_t n = source->readAt(offset, buf, sizeof(buf));
        ASSERT_EQ(100, n) << offset;
        EXPECT_EQ(0, memcmp(buf, expected.data() + offset, 100)) << offset;
    }
}

}  // namespace

TEST(FileSource, ReadsEndsAndMissingFiles) {
    REQUIRE_MEDIA("h264_aac.mp4");
    REQUIRE_MEDIA("empty.mp4");
    std::vector<uint8_t> bytes = readWholeFile(mediaPath("h264_aac.mp4"));
    ASSERT_GT(bytes.size(), 1000u);
    checkReads(new FileSource(mediaPath("h264_aac.mp4").c_str()), bytes);
    Ref<MemFileSource> mem = new MemFileSource(mediaPath("h264_aac.mp4").c_str());
    checkReads(mem, bytes);
    // The block ends with one zero byte after the file.
    ASSERT_NE(nullptr, mem->data());
    EXPECT_EQ(0, mem->data()[bytes.size()]);

    char buf[16];
    for (Ref<DataSource> source : {Ref<DataSource>(new FileSource(mediaPath("empty.mp4").c_str())),
                                   Ref<DataSource>(new MemFileSource(mediaPath("empty.mp4").c_str()))}) {
        EXPECT_EQ(OK, source->initCheck());
        int64_t size = -1;
        EXPECT_EQ(OK, source->getSize(&size));
        EXPECT_EQ(0, size);
        EXPECT_EQ(0, source->readAt(0, buf, sizeof(buf)));
        EXPECT_EQ(0, source->readAt(5, buf, sizeof(buf)));
    }
    const std::string missing = mediaPath("no-such-file.mp4");
    for (Ref<DataSource> source : {Ref<DataSource>(new FileSource(missing.c_str())),
                                   Ref<DataSource>(new MemFileSource(missing.c_str()))}) {
        EXPECT_EQ(NO_INIT, source->initCheck());
        int64_t size = 0;
        EXPECT_EQ(NO_INIT, source->getSize(&size));
        EXPECT_EQ(NO_INIT, source->readAt(0, buf, sizeof(buf)));
    }
}

TEST(DataSource, CreateFromURISchemes) {
    REQUIRE_MEDIA("short_3s.mp4");
    const std::string path = mediaPath("short_3s.mp4");
    std::vector<uint8_t> bytes = readWholeFile(path);
    for (const char* scheme : {"file://", "FILE://", "File://", ""}) {
        std::string uri = std::string(scheme) + path;
        Ref<DataSource> source = DataSource::CreateFromURI(uri.c_str());
        ASSERT_NE(nullptr, source) << uri;
        int64_t size = 0;
        ASSERT_EQ(OK, source->getSize(&size));
        EXPECT_EQ(static_cast<int64_t>(bytes.size()), size) << uri;
        char head[32];
        ASSERT_EQ(32, source->readAt(0, head, sizeof(head)));
        EXPECT_EQ(0, memcmp(head, bytes.data(), sizeof(head)));
    }
    EXPECT_EQ(nullptr, DataSource::CreateFromURI((std::string("file://") + path + ".missing").c_str()));
    EXPECT_EQ(nullptr, DataSource::CreateFromURI("/definitely/not/here.mkv"));
    EXPECT_EQ(nullptr, DataSource::CreateFromURI(nullptr));
}

TEST(DataSource, SniffAndCreateExtractor) {
    REQUIRE_MEDIA("short_3s.mp4");
    DataSource::RegisterDefaultSniffers();
    Ref<DataSource> source = new FileSource(mediaPath("short_3s.mp4").c_str());
    Text8 mime;
    float confidence = 0;
    Ref<Message> meta;
    ASSERT_TRUE(source->sniff(&mime, &confidence, &meta));
    EXPECT_STREQ("application/ffmpeg", mime.c_str());
    EXPECT_EQ(nullptr, MediaExtractor::Create(source, "video/mp4"));
    // The extractor made by Create (any letter case) reads the source.
    Ref<MediaExtractor> upper = MediaExtractor::Create(source, "APPLICATION/FFMPEG");
    ASSERT_NE(nullptr, upper);
    ASSERT_EQ(OK, static_cast<FFMpegExtractor*>(upper.get())->initialize(nullptr, false));
    EXPECT_EQ(2u, upper->countTracks());
}
