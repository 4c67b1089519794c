// The agent client's readers of the agent's answers, and Open's descriptor-file form: what the
// engine takes out of the JSON (every key of the media information, the absent/empty objects, the
// subtitle address rule, the codes that still yield items) and what a broken answer gives.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/PlayerAgent.h"
#include "utils/Errors.h"

namespace velmor {
namespace {

// Every key the client reads, each with a value that differs from its default.
const char* kFullInfo = R"({"error":0,"code":0,"result":{
  "title":"Demo","snapshot":"snap.jpg","thumbnail":"thumb.jpg","detail":"about",
  "play_at":12,"duration":60,"autostart":true,"mute":1,"nscreen_popup":true,"is_intro":true,
  "is_seekable":1,"is_skipable":2,"watermark":"wm","width":1920,"height":1080,"bitrate":4000,
  "brightness":40,"contrast":60,"saturation":70,"bookmark_kind":3,"is_live":7,"buffer":5,
  "buffer_size":9000000000,"playsection_start":4,"playsection_end":40,"ui_progresstype":1,
  "ui_jumpstep":10,"ui_playratesave":1,"ui_playratestep":2,"disable_playrate":true,"seekable_end":55,
  "bookmark_enable":true,"thumbnail_enable":true,"max_playrate":20,"caption_style":"{\"size\":3}",
  "is_audio_file":true,"repeat_play_section":{"start_time":5,"end_time":9},
  "next_episode":{"show_time":50,"callback_url":"http://127.0.0.1:1/next"},
  "playbackRates":[[5, 10, 15],15],
  "video_watermark":{"msg":"m","alpha":30,"font_size":12,"font_color":"#fff","show_time":1,"hide_time":2},
  "type":6,"fwatermark":"fw",
  "subtitle":[{"name":"Korean","url":"/srv/sub.srt?id=7","language":"ko","default":true,"vtt":false},
              {"name":"Plain","url":"sub.srt","language":"ko"}],
  "subtitle_sub":[{"name":"English","url":"http://127.0.0.1/sub.vtt?x=1","language":"en","vtt":true}]}})";

TEST(AgentAnswers, MediaInformationEveryKeyAndTheObjectsThatMayBeAbsent) {
    AgentItem item;
    ASSERT_EQ(OK, ParseAgentMediaInfoAnswer(kFullInfo, &item));
    const AgentMediaInfo& i = item.info;
    EXPECT_TRUE(item.reportFlag);
    EXPECT_EQ("Demo", i.title);
    EXPECT_EQ("snap.jpg", i.snapshot);
    EXPECT_EQ("thumb.jpg", i.thumbnail);
    EXPECT_EQ("about", i.detail);
    EXPECT_EQ(12, i.playAt);
    EXPECT_EQ(60, i.duration);
    EXPECT_TRUE(i.autostart && i.mute && i.nscreenPopup && i.isIntro);
    EXPECT_EQ(1, i.isSeekable);
    EXPECT_EQ(2, i.isSkipable);
    EXPECT_EQ("wm", i.watermark);
    EXPECT_EQ(1920, i.width);
    EXPECT_EQ(1080, i.height);
    EXPECT_EQ(4000, i.bitrate);
    EXPECT_EQ(40, i.brightness);
    EXPECT_EQ(60, i.contrast);
    EXPECT_EQ(70, i.saturation);
    EXPECT_EQ(3, i.bookmarkKind);
    EXPECT_TRUE(i.isLive);  // any non-zero value
    EXPECT_EQ(5, i.buffer);
    EXPECT_EQ(9000000000LL, i.bufferSize);
    EXPECT_EQ(4, i.playsectionStart);
    EXPECT_EQ(40, i.playsectionEnd);
    EXPECT_EQ(1, i.uiProgressType);
    EXPECT_EQ(10, i.uiJumpStep);
    EXPECT_EQ(1, i.uiPlayrateSave);
    EXPECT_EQ(2, i.uiPlayrateStep);
    EXPECT_TRUE(i.disablePlayrate && i.bookmarkEnable && i.thumbnailEnable && i.isAudioFile);
    EXPECT_EQ(55, i.seekableEnd);
    EXPECT_EQ(20, i.maxPlayrate);
    EXPECT_EQ("{\"size\":3}", i.captionStyle);
    EXPECT_EQ(5, i.repeatStart);
    EXPECT_EQ(9, i.repeatEnd);
    EXPECT_EQ(50, i.nextEpisodeShowTime);
    EXPECT_EQ("http://127.0.0.1:1/next", i.nextEpisodeCallbackUrl);
    EXPECT_EQ("[5,10,15]", i.playbackRatesJson);  // compact
    EXPECT_EQ(15, i.playbackRateDefault);
    EXPECT_EQ("m", i.watermarkMsg);
    EXPECT_EQ(30, i.watermarkAlpha);
    EXPECT_EQ(12, i.watermarkFontSize);
    EXPECT_EQ("#fff", i.watermarkFontColor);
    EXPECT_EQ(1, i.watermarkShowTime);
    EXPECT_EQ(2, i.watermarkHideTime);
    EXPECT_EQ(6, i.watermarkType);
    EXPECT_EQ("fw", i.fwatermark);
    // Subtitle addresses without "http" keep only their query; one without a query stays whole.
    ASSERT_EQ(2u, item.subtitles.size());
    EXPECT_EQ("?id=7", item.subtitles[0].url);
    EXPECT_TRUE(item.subtitles[0].isDefault);
    EXPECT_EQ("sub.srt", item.subtitles[1].url);
    ASSERT_EQ(1u, item.subtitlesSub.size());
    EXPECT_EQ("http://127.0.0.1/sub.vtt?x=1", item.subtitlesSub[0].url);
    EXPECT_TRUE(item.subtitlesSub[0].vtt);

    // Absent and empty objects leave their defaults; a result without keys leaves everything 0.
    for (const char* body : {R"({"code":0,"result":{}})", R"({"code":0,"result":{"repeat_play_section":{},"next_episode":{}}})"}) {
        AgentItem empty;
        ASSERT_EQ(OK, ParseAgentMediaInfoAnswer(body, &empty)) << body;
        EXPECT_EQ(-1, empty.info.repeatStart);
        EXPECT_EQ(-1, empty.info.repeatEnd);
        EXPECT_EQ(0, empty.info.nextEpisodeShowTime);
        EXPECT_TRUE(empty.info.title.empty());
        EXPECT_TRUE(empty.reportFlag);
    }
    // -8614 starts the reports without information; any other code does neither.
    AgentItem noInfo;
    EXPECT_EQ(-8614, ParseAgentMediaInfoAnswer(R"({"code":-8614,"result":{"title":"x"}})", &noInfo));
    EXPECT_TRUE(noInfo.reportFlag);
    EXPECT_TRUE(noInfo.info.title.empty());
    AgentItem refused;
    EXPECT_EQ(-4030, ParseAgentMediaInfoAnswer(R"({"error":1,"code":-4030})", &refused));
    EXPECT_FALSE(refused.reportFlag);
}

TEST(AgentAnswers, OpenAnswerKindsCodesAndBrokenText) {
    std::vector<AgentItem> items;
    std::string kind;
    ASSERT_EQ(OK, ParseAgentOpenAnswer(R"({"error":0,"code":0,"type":1,"items":[
        {"index":3,"media_key":"k3","media_url":"http://h/a.mp4"},{"index":4,"media_key":"k4"}]})", &items, &kind));
    EXPECT_EQ("download", kind);
    ASSERT_EQ(2u, items.size());
    EXPECT_EQ(3, items[0].index);
    EXPECT_EQ("k3", items[0].mediaKey);
    EXPECT_EQ("http://h/a.mp4", items[0].mediaUrl);
    EXPECT_TRUE(items[1].mediaUrl.empty());

    // -1015 and -1016 still give the items; other error codes are returned.
    for (int code : {-1015, -1016}) {
        const std::string body = R"({"error":1,"code":)" + std::to_string(code) + R"(,"type":2,"items":[{"index":0,"media_key":"k"}]})";
        ASSERT_EQ(OK, ParseAgentOpenAnswer(body, &items, &kind)) << code;
        EXPECT_EQ("real", kind);
        EXPECT_EQ(1u, items.size());
    }
    EXPECT_EQ(-4040, ParseAgentOpenAnswer(R"({"error":1,"code":-4040,"msg":"no"})", &items, &kind));
    EXPECT_EQ("stream", (ParseAgentOpenAnswer(R"({"type":9})", &items, &kind), kind));

    // Broken answers: a status, never an exception or a crash.
    for (const char* body : {"", "{", "[1,2]", "null", "\"text\"", "{\"error\":1,\"code\":", "\xff\xfe{}"}) {
        EXPECT_EQ(ERROR_MALFORMED, ParseAgentOpenAnswer(body, &items, &kind)) << body;
        AgentItem item;
        EXPECT_EQ(ERROR_MALFORMED, ParseAgentMediaInfoAnswer(body, &item)) << body;
        EXPECT_FALSE(item.reportFlag);
    }
    // Wrong types count as absent.
    ASSERT_EQ(OK, ParseAgentOpenAnswer(R"({"items":5})", &items, &kind));
    EXPECT_TRUE(items.empty());
    ASSERT_EQ(OK, ParseAgentOpenAnswer(R"({"items":[{"index":"x","media_key":7},3,null,{"index":2.5}]})", &items, &kind));
    ASSERT_EQ(2u, items.size());
    EXPECT_EQ(0, items[0].index);
    EXPECT_TRUE(items[0].mediaKey.empty());
    AgentItem wrongTypes;
    EXPECT_EQ(OK, ParseAgentMediaInfoAnswer(
                      R"({"code":0,"result":{"title":5,"duration":"60","buffer_size":"big","subtitle":"x","playbackRates":{}}})",
                      &wrongTypes));
    EXPECT_TRUE(wrongTypes.info.title.empty());
    EXPECT_EQ(0, wrongTypes.info.duration);
    EXPECT_EQ(0, wrongTypes.info.bufferSize);
    EXPECT_TRUE(wrongTypes.subtitles.empty());
}

TEST(AgentAnswers, OpenReadsADescriptorFileInsteadOfTheAgent) {
    char path[] = "/tmp/qv-agent-descriptor-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    // Longer than one 100-character line, so the file is read line by line and joined.
    const std::string text = R"({"error":1,"code":-1015,"type":0,"items":[{"index":0,"media_key":")" + std::string(150, 'k') +
                             R"(","media_url":"http://127.0.0.1:9/x.mp4"}]})";
    ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
    close(fd);

    PlayerAgent agent;
    // No agent listens at this address: the descriptor file is all that is read.
    ASSERT_EQ(OK, agent.Open("127.0.0.1:9", path));
    EXPECT_EQ(1, agent.itemCount());
    EXPECT_EQ("stream", agent.streamKind());
    EXPECT_EQ("http://127.0.0.1:9/misc/play?index=0&media_key=" + std::string(150, 'k'), agent.getPlayUrl(0));
    EXPECT_EQ(0, agent.currentIndex());
    EXPECT_TRUE(agent.getPlayUrl(1).empty());
    unlink(path);

    EXPECT_EQ(ERROR_IO, agent.Open("127.0.0.1:9", "/nonexistent/descriptor.json"));
    EXPECT_EQ(INVALID_OPERATION, agent.Open("", "demo"));
    EXPECT_EQ(INVALID_OPERATION, agent.Open("127.0.0.1:9", ""));
    // Nothing listens on port 9: a transport failure.
    EXPECT_EQ(PlayerAgent::kTransportFailure, agent.Open("127.0.0.1:9", "demo"));
    // After stop nothing is sent and operations report success without effect.
    agent.stop();
    EXPECT_EQ(OK, agent.Open("127.0.0.1:9", "demo"));
    EXPECT_EQ(0, agent.postCallback("http://127.0.0.1:9/x", "body", nullptr));
}

}  // namespace
}  // namespace velmor
