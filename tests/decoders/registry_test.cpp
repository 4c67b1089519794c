#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "DecoderTestSupport.h"
#include "engine/DecoderRegistry.h"
#include "engine/MediaDefs.h"

namespace velmor {
namespace {

std::string componentOf(const Ref<MediaSource>& decoder) {
    const char* name = nullptr;
    return decoder != nullptr && decoder->getFormat()->findCString(kKeyDecoderComponent, &name) ? name : "";
}

TEST(DecoderRegistry, RowsAndCandidates) {
    size_t count = 0;
    const DecoderRegistry::Entry* rows = DecoderRegistry::entries(&count);
    // The 24 rows of the table, then the MPEG-2 video and layer I/II audio that transport streams
    // announce.
    ASSERT_EQ(27u, count);
    EXPECT_STREQ("audio/ffmpeg", rows[0].mime);
    EXPECT_STREQ("audio/x-ms-wma", rows[11].mime);
    EXPECT_STREQ("video/ffmpeg", rows[12].mime);
    EXPECT_STREQ("video/avc", rows[19].mime);
    EXPECT_STREQ("video/hevc", rows[23].mime);
    for (size_t i = 0; i < count; ++i) {
        const bool audio = strncmp(rows[i].mime, "audio/", 6) == 0;
        EXPECT_STREQ(audio ? "FFMpegSoundDecoder" : "FFMpegVideoDecoder", rows[i].component) << rows[i].mime;
    }

    Vector<ByteString> out;
    out.add(ByteString("stale"));
    DecoderRegistry::findDecoderCandidates("VIDEO/AVC", false, nullptr, 0, &out);
    ASSERT_EQ(1u, out.size());
    EXPECT_STREQ("FFMpegVideoDecoder", out[0].c_str());

    DecoderRegistry::findDecoderCandidates("video/avc", true, nullptr, 0, &out);
    EXPECT_TRUE(out.isEmpty());
    DecoderRegistry::findDecoderCandidates("video/avc", false, "FFMpegSoundDecoder", 0, &out);
    EXPECT_TRUE(out.isEmpty());
    DecoderRegistry::findDecoderCandidates("video/avc", false, "ffmpegvideodecoder", 0, &out);
    EXPECT_TRUE(out.isEmpty()) << "component names compare exactly";
    DecoderRegistry::findDecoderCandidates("audio/mp4a-latm", false, "FFMpegSoundDecoder", 1, &out);
    ASSERT_EQ(1u, out.size());
    EXPECT_STREQ("FFMpegSoundDecoder", out[0].c_str());
    DecoderRegistry::findDecoderCandidates("text/caption", false, nullptr, 0, &out);
    EXPECT_TRUE(out.isEmpty());
}

TEST(DecoderRegistry, CreateDecoder) {
    Ref<MetaData> video = new MetaData;
    video->setCString(kKeyMIMEType, "VIDEO/AVC");
    video->setInt32(kKeyWidth, 320);
    video->setInt32(kKeyHeight, 240);
    Ref<MetaData> audio = new MetaData;
    audio->setCString(kKeyMIMEType, kMimeAudioFFmpeg);
    audio->setInt32(kKeySampleRate, 44100);
    audio->setInt32(kKeyChannelCount, 2);
    Ref<MetaData> subtitles = new MetaData;
    subtitles->setCString(kKeyMIMEType, kMimeTextCaption);
    Ref<MetaData> noMime = new MetaData;

    // A source that is never started: the factory only builds.
    struct Idle : public MediaSource {
        explicit Idle(const Ref<MetaData>& f) : format(f) {}
        status_t start(MetaData*) override { return OK; }
        status_t stop() override { return OK; }
        Ref<MetaData> getFormat() override { return format; }
        status_t read(MediaBuffer**, const ReadOptions*) override { return ERROR_END_OF_STREAM; }
        Ref<MetaData> format;
    };

    Ref<MediaSource> v = DecoderRegistry::createDecoder(video, false, new Idle(video));
    EXPECT_EQ("FFMpegVideoDecoder", componentOf(v));
    Ref<MediaSource> a = DecoderRegistry::createDecoder(audio, false, new Idle(audio));
    EXPECT_EQ("FFMpegSoundDecoder", componentOf(a));
    int32_t rate = 0;
    EXPECT_TRUE(a->getFormat()->findInt32(kKeySampleRate, &rate));
    EXPECT_EQ(44100, rate);
    Ref<MetaData> generic = new MetaData;
    generic->setCString(kKeyMIMEType, kMimeVideoFFmpeg);
    EXPECT_EQ("FFMpegVideoDecoder", componentOf(DecoderRegistry::createDecoder(generic, false, new Idle(generic))));

    EXPECT_EQ(nullptr, DecoderRegistry::createDecoder(video, true, new Idle(video)));
    EXPECT_EQ(nullptr, DecoderRegistry::createDecoder(subtitles, false, new Idle(subtitles)));
    EXPECT_EQ(nullptr, DecoderRegistry::createDecoder(noMime, false, new Idle(noMime)));
    EXPECT_EQ(nullptr, DecoderRegistry::createDecoder(video, false, new Idle(video), "FFMpegSoundDecoder"));
    EXPECT_EQ(nullptr, DecoderRegistry::createDecoder(nullptr, false, new Idle(video)));
}

}  // namespace
}  // namespace velmor
