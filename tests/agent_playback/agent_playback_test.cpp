// Agent sessions through the loaded library against the real reference agent (and nginx behind
// its redirects): the host gives a content path and the agent's address, the engine resolves it,
// plays the agent's play URL through its own HTTP cache, and reports to the agent, whose SQLite
// database the test reads afterwards. Also the buffering policy on media slower than its bit rate,
// a server that goes away mid-play, bookmarks, the content information, and bad agent answers.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/AgentService.h"
#include "support/Host.h"
#include "support/Nginx.h"

namespace {

using Clock = std::chrono::steady_clock;
using qvtest::Notification;

constexpr int32_t kInfoBufferingStart = 701;
constexpr int32_t kInfoBufferingEnd = 702;
constexpr int32_t kInfoBookmarksLoaded = 4;
constexpr int32_t kInfoBookmarkAdded = 5;
constexpr int32_t kInfoBookmarkDeleted = 6;

struct Report {
    int64_t atUs;
    std::string kind, state;
    int64_t current, duration, volume, playback;
};

// The reports the agent stored, in arrival order.
std::vector<Report> readReports(const std::string& db) {
    std::vector<Report> out;
    sqlite3* h = nullptr;
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "cannot open " << db;
        sqlite3_close(h);
        return out;
    }
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(h,
                       "SELECT at_us, kind, IFNULL(state,''), IFNULL(current,-1), IFNULL(duration,-1), "
                       "IFNULL(volume,-1), IFNULL(playback,-1) FROM reports ORDER BY seq",
                       -1, &st, nullptr);
    while (st != nullptr && sqlite3_step(st) == SQLITE_ROW) {
        out.push_back({sqlite3_column_int64(st, 0), reinterpret_cast<const char*>(sqlite3_column_text(st, 1)),
                       reinterpret_cast<const char*>(sqlite3_column_text(st, 2)), sqlite3_column_int64(st, 3),
                       sqlite3_column_int64(st, 4), sqlite3_column_int64(st, 5), sqlite3_column_int64(st, 6)});
    }
    sqlite3_finalize(st);
    sqlite3_close(h);
    return out;
}

size_t countBookmarks(const std::string& db, const std::string& mediaKey) {
    return qvtest::agentDbRows(db, ("SELECT 1 FROM bookmarks WHERE media_key = '" + mediaKey + "'").c_str()).size();
}

// One content entry of the agent's catalogue.
std::string content(const std::string& name, const std::string& file, const std::string& extra = "") {
    return "\"" + name + "\": {\"type\": 0, \"items\": [{\"file\": \"" + file + "\", \"media_key\": \"key-" + name +
           "\"}], \"info\": {\"title\": \"" + name + "\", \"duration\": 8, \"thumbnail\": \"t.jpg\"}" +
           (extra.empty() ? "" : ", " + extra) + "}";
}

std::string catalogue(const std::vector<std::string>& contents) {
    std::string json = "{\"contents\": {";
    for (size_t i = 0; i < contents.size(); ++i) json += (i ? ", " : "") + contents[i];
    return json + "}}";
}

class AgentPlayback : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lib.ok());
        player = lib.create();
        ASSERT_NE(nullptr, player);
        player->setListener(&qvtest::Collector::callback, &seen);
        player->createAudioSink(QV_AUDIO_SINK_NULL);
        player->setLiveDisabled(1);
    }
    void TearDown() override {
        if (player) lib.destroy(player, false);
    }
    // setDataSource through the agent + prepareAsync; true once MEDIA_PREPARED arrived.
    bool open(const qvtest::AgentService& agent, const char* contentPath, int timeoutMs = 30000) {
        if (player->setDataSource(contentPath, agent.hostPort().c_str()) != 0) return false;
        if (player->prepareAsync() != 0) return false;
        return seen.waitForAnyOf({QV_MEDIA_PREPARED, QV_MEDIA_ERROR}, timeoutMs) == QV_MEDIA_PREPARED;
    }
    size_t countInfo(int32_t ext1) {
        return seen.count([ext1](const Notification& n) { return n.msg == QV_MEDIA_INFO && n.ext1 == ext1; });
    }

    qvtest::Library lib;
    qvtest::Collector seen;
    IVelmorPlayerBase* player = nullptr;
};

// open -> play URL -> media information -> play, pause, seek, play to the end over the engine's
// cache; the agent's database then holds the state reports in order and position reports about
// every 0.5 s with the volume, rate and mute rule.
TEST_F(AgentPlayback, WholeSessionReportsToTheAgent) {
    qvtest::AgentService agent(catalogue({content("clip", "h264_aac.mp4")}));
    ASSERT_TRUE(agent.ok());
    ASSERT_TRUE(open(agent, "clip")) << ::testing::PrintToString(seen.msgs());
    VelmorContentInfo info;
    ASSERT_EQ(0, player->getContentInfo(&info));
    EXPECT_EQ("stream", info.kind);
    EXPECT_EQ("clip", info.title);
    EXPECT_EQ(8, info.duration);
    int32_t durationMs = 0;
    ASSERT_EQ(0, player->getDuration(&durationMs));
    EXPECT_NEAR(8000, durationMs, 100);

    player->setVolume(80, 0);
    ASSERT_EQ(0, player->start());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_EQ(0, player->pause());
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    ASSERT_EQ(0, player->seekTo(4000));
    ASSERT_TRUE(seen.waitForMsg(QV_MEDIA_SEEK_COMPLETE));
    player->setAudioEnabled(0);  // muted: reported as volume 0
    ASSERT_EQ(0, player->setPlayingRate(15.0));
    ASSERT_EQ(0, player->start());
    ASSERT_TRUE(seen.waitForMsg(QV_MEDIA_PLAYBACK_COMPLETE, 20000)) << ::testing::PrintToString(seen.msgs());
    EXPECT_EQ(0u, seen.countMsg(QV_MEDIA_ERROR));
    lib.destroy(player, false);  // stop: the last state report goes out before the client stops
    player = nullptr;

    const std::vector<Report> reports = readReports(agent.dbPath());
    std::vector<std::string> states;
    for (const Report& r : reports) {
        if (r.kind == "state") states.push_back(r.state);
    }
    // play, pause, seeking, seeked, play, pause (at the end), stop — each in this order.
    const std::vector<std::string> expected = {"play", "pause", "seeking", "seeked", "play", "stop"};
    size_t at = 0;
    for (const std::string& s : states) {
        if (at < expected.size() && s == expected[at]) ++at;
    }
    EXPECT_EQ(expected.size(), at) << ::testing::PrintToString(states);
    EXPECT_EQ("stop", states.empty() ? "" : states.back());
    const auto seeking = std::find_if(reports.begin(), reports.end(), [](const Report& r) { return r.state == "seeking"; });
    ASSERT_NE(reports.end(), seeking);
    EXPECT_EQ(4, seeking->current);  // the seek target in seconds

    // Position reports: about every 0.5 s while the session runs, volume 80 until muted, then 0.
    std::vector<const Report*> positions;
    for (const Report& r : reports) {
        if (r.kind == "position") positions.push_back(&r);
    }
    ASSERT_GE(positions.size(), 8u);
    std::vector<int64_t> gaps;
    for (size_t i = 1; i < positions.size(); ++i) gaps.push_back(positions[i]->atUs - positions[i - 1]->atUs);
    std::sort(gaps.begin(), gaps.end());
    const int64_t medianGap = gaps[gaps.size() / 2];
    EXPECT_GT(medianGap, 350000);
    EXPECT_LT(medianGap, 800000);
    EXPECT_EQ(80, positions.front()->volume);
    EXPECT_EQ(10, positions.front()->playback);
    EXPECT_EQ(8, positions.front()->duration);
    EXPECT_EQ(0, positions.back()->volume);
    EXPECT_EQ(15, positions.back()->playback);
    // The reported position moves forward across the session.
    EXPECT_GT(positions.back()->current, positions.front()->current);
}

// Media served slower than its bit rate: playback pauses with MEDIA_PAUSED + 701 when the cache
// runs low and resumes with 702 (sent twice) once it refilled; a seek far ahead refills and plays
// on to the end.
TEST_F(AgentPlayback, UnderrunPausesAndResumesOnSlowMedia) {
    // demo.mp4 is about 100 kB per second of media; nginx sends 60 kB/s.
    const std::string slow = qvtest::nginxBase() + "/rate/60000/";
    qvtest::AgentService agent(catalogue({content("slow", "demo.mp4", "\"play_redirect\": \"" + slow + "\"")}));
    ASSERT_TRUE(agent.ok());
    const auto t0 = Clock::now();
    ASSERT_TRUE(open(agent, "slow"));
    // Preparation waited for a full enough cache: about 3 s of media at 0.6 s per second.
    EXPECT_GT(Clock::now() - t0, std::chrono::seconds(2));
    ASSERT_EQ(0, player->start());
    ASSERT_TRUE(seen.waitFor([](const Notification& n) { return n.msg == QV_MEDIA_INFO && n.ext1 == kInfoBufferingStart; },
                             20000));
    ASSERT_TRUE(seen.waitFor([](const Notification& n) { return n.msg == QV_MEDIA_INFO && n.ext1 == kInfoBufferingEnd; },
                             20000));
    {
        // 701 follows a MEDIA_PAUSED; the resume sends 702 twice.
        const std::vector<Notification> items = seen.items();
        auto start = std::find_if(items.begin(), items.end(),
                                  [](const Notification& n) { return n.msg == QV_MEDIA_INFO && n.ext1 == kInfoBufferingStart; });
        ASSERT_NE(items.begin(), start);
        bool pausedBefore = false;
        for (auto it = items.begin(); it != start; ++it) pausedBefore |= it->msg == QV_MEDIA_PAUSED;
        EXPECT_TRUE(pausedBefore);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(2 * countInfo(kInfoBufferingStart), countInfo(kInfoBufferingEnd)) << ::testing::PrintToString(seen.msgs());
    }
    EXPECT_TRUE(player->isPlaying());
    // Far ahead, beyond what is cached: the cache starts a new range and playback goes on.
    ASSERT_EQ(0, player->seekTo(8000));
    ASSERT_TRUE(seen.waitForMsg(QV_MEDIA_PLAYBACK_COMPLETE, 30000)) << ::testing::PrintToString(seen.msgs());
    EXPECT_EQ(0u, seen.countMsg(QV_MEDIA_ERROR));
}

// The server of the media goes away mid-play: once the cached part has played, playback ends
// with MEDIA_ERROR (reported to the agent too), not a hang. The media comes from a second agent
// process behind a redirect, paced a little above the clip's bit rate so most of it is not cached
// yet; the session's own agent stays up.
TEST_F(AgentPlayback, MediaServerGoingAwayMidPlayEndsInAnError) {
    qvtest::AgentService media(catalogue({content("m", "big_1080p.mp4", "\"rate\": 700000")}));
    ASSERT_TRUE(media.ok());
    const std::string redirect = media.url("/misc/play?index=0&media_key=key-m&f=");
    qvtest::AgentService agent(catalogue({content("away", "big_1080p.mp4", "\"play_redirect\": \"" + redirect + "\"")}));
    ASSERT_TRUE(agent.ok());
    ASSERT_TRUE(open(agent, "away"));
    ASSERT_EQ(0, player->start());
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    media.stop();
    const auto t0 = Clock::now();
    ASSERT_TRUE(seen.waitForMsg(QV_MEDIA_ERROR, 60000)) << ::testing::PrintToString(seen.msgs());
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(60));
    int32_t positionMs = 0;
    player->getCurrentPosition(&positionMs);
    EXPECT_LT(positionMs, 50000);  // it did not play through
    // Nothing completes after the error; the error went to the agent as well.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(0u, seen.countMsg(QV_MEDIA_PLAYBACK_COMPLETE)) << ::testing::PrintToString(seen.msgs());
    const std::vector<Report> reports = readReports(agent.dbPath());
    EXPECT_TRUE(std::any_of(reports.begin(), reports.end(), [](const Report& r) { return r.kind == "error"; }));
}

// Bookmarks through the invoke requests reach the agent's database and come back in the list.
TEST_F(AgentPlayback, BookmarksAreCreatedListedAndDeleted) {
    qvtest::AgentService agent(catalogue({content("clip", "h264_aac.mp4")}));
    ASSERT_TRUE(agent.ok());
    ASSERT_TRUE(open(agent, "clip"));
    ASSERT_EQ(0, player->addBookmark(3000, "Title one", "label a"));
    ASSERT_TRUE(seen.waitFor([](const Notification& n) { return n.msg == QV_MEDIA_INFO && n.ext1 == kInfoBookmarkAdded && n.ext2 == 3; }));
    ASSERT_EQ(0, player->addBookmark(6000, nullptr, nullptr));
    ASSERT_TRUE(seen.waitFor([](const Notification& n) { return n.msg == QV_MEDIA_INFO && n.ext1 == kInfoBookmarkAdded && n.ext2 == 6; }));
    EXPECT_EQ(2u, countBookmarks(agent.dbPath(), "key-clip"));

    ASSERT_EQ(0, player->loadBookmarks());
    ASSERT_TRUE(seen.waitFor([](const Notification& n) { return n.msg == QV_MEDIA_INFO && n.ext1 == kInfoBookmarksLoaded; }));
    std::string json;
    ASSERT_EQ(0, player->getBookmarks(&json));
    EXPECT_NE(std::string::npos, json.find("\"label\":\"label a\"")) << json;
    EXPECT_NE(std::string::npos, json.find("\"position\":6")) << json;
    EXPECT_NE(std::string::npos, json.find("\"Index\":1")) << json;

    ASSERT_EQ(0, player->deleteBookmark(3000, "label a"));
    ASSERT_TRUE(seen.waitFor([](const Notification& n) { return n.msg == QV_MEDIA_INFO && n.ext1 == kInfoBookmarkDeleted && n.ext2 == 3; }));
    EXPECT_EQ(1u, countBookmarks(agent.dbPath(), "key-clip"));
}

// The media information reaches the host through requests 10 and 35 in the order the engine
// writes it: fields of every type, early and late in the record, so a shifted field shows.
TEST_F(AgentPlayback, ContentAndVideoInformationReachTheHost) {
    qvtest::AgentService agent(R"({"contents": {"full": {"type": 1, "items": [{"file": "h264_aac.mp4", "media_key": "f"}],
      "info": {"title": "Full", "thumbnail": "t.jpg", "play_at": 2, "duration": 8, "autostart": true,
        "watermark": "wm", "width": 640, "saturation": 55, "is_live": 3, "buffer_size": 30000,
        "playsection_end": 90, "ui_playratestep": 2, "disable_playrate": true, "max_playrate": 20,
        "caption_style": "bold", "is_audio_file": true, "repeat_play_section": {"start_time": 1, "end_time": 4},
        "next_episode": {"show_time": 7, "callback_url": "http://x/next"}, "playbackRates": [[5, 10], 10],
        "video_watermark": {"msg": "hello", "alpha": 40, "font_size": 18, "font_color": "red", "show_time": 3,
                            "hide_time": 9},
        "type": 2, "fwatermark": "fw"}}}})");
    ASSERT_TRUE(agent.ok());
    ASSERT_TRUE(open(agent, "full"));
    VelmorContentInfo c;
    ASSERT_EQ(0, player->getContentInfo(&c));
    EXPECT_EQ("download", c.kind);
    EXPECT_EQ("Full", c.title);
    EXPECT_EQ("t.jpg", c.thumbnail);
    EXPECT_EQ(2, c.playAt);
    EXPECT_EQ(1, c.autostart);
    EXPECT_EQ("wm", c.watermark);
    EXPECT_EQ(640, c.width);
    EXPECT_EQ(55, c.saturation);
    EXPECT_EQ(1, c.isLive);
    EXPECT_EQ(30000, c.bufferSize);
    EXPECT_EQ(90, c.playsectionEnd);
    EXPECT_EQ(2, c.uiPlayrateStep);
    EXPECT_EQ(1, c.disablePlayrate);
    EXPECT_EQ(20, c.maxPlayrate);
    EXPECT_EQ("bold", c.captionStyle);
    EXPECT_EQ(1, c.isAudioFile);
    EXPECT_EQ(1, c.repeatStart);
    EXPECT_EQ(4, c.repeatEnd);
    EXPECT_EQ(7, c.nextEpisodeShowTime);
    EXPECT_EQ("http://x/next", c.nextEpisodeCallbackUrl);
    EXPECT_EQ("[5,10]", c.playbackRatesJson);
    EXPECT_EQ(10, c.playbackRateDefault);
    EXPECT_EQ("hello", c.watermarkMsg);
    EXPECT_EQ("red", c.watermarkFontColor);
    EXPECT_EQ(9, c.watermarkHideTime);
    EXPECT_EQ(2, c.watermarkType);
    EXPECT_EQ("fw", c.fwatermark);
    VelmorVideoInfo v;
    ASSERT_EQ(0, player->getVideoInfo(&v));
    EXPECT_EQ("hello", v.text1);
    EXPECT_EQ(40, v.value1);
    EXPECT_EQ(18, v.value2);
    EXPECT_EQ("red", v.text2);
    EXPECT_EQ(3, v.value3);
    EXPECT_EQ(9, v.value4);
    // The agent forbids rate changes for this item.
    ASSERT_EQ(0, player->start());
    EXPECT_EQ(-1010, player->setPlayingRate(15.0));
}

// A play limit from the agent (a preview of 2 s) ends playback early with PLAYBACK_COMPLETE.
TEST_F(AgentPlayback, PlayLimitEndsPlaybackEarly) {
    qvtest::AgentService agent(R"({"contents": {"preview": {"type": 0, "items": [{"file": "h264_aac.mp4",
      "media_key": "p"}], "info": {"title": "preview", "playsection_end": 2}}}})");
    ASSERT_TRUE(agent.ok());
    ASSERT_TRUE(open(agent, "preview"));
    ASSERT_EQ(0, player->start());
    ASSERT_TRUE(seen.waitForMsg(QV_MEDIA_PLAYBACK_COMPLETE, 10000));
    int32_t positionMs = 0;
    player->getCurrentPosition(&positionMs);
    EXPECT_GT(positionMs, 2000);
    EXPECT_LT(positionMs, 5000);  // the clip is 8 s long
    EXPECT_FALSE(player->isPlaying());
}

// A "real" stream: the agent names the media's own address, FFmpeg opens it, the buffering
// event finishes the prepare from the extractor's queues; rate changes are refused.
TEST_F(AgentPlayback, RealStreamsPlayThroughFFmpeg) {
    qvtest::AgentService agent(R"({"contents": {"live": {"type": 2, "items": [{"file": "short_3s.mp4",
      "media_key": "r"}], "info": {"title": "real"}}}})");
    ASSERT_TRUE(agent.ok());
    ASSERT_TRUE(open(agent, "live"));
    VelmorContentInfo c;
    ASSERT_EQ(0, player->getContentInfo(&c));
    EXPECT_EQ("real", c.kind);
    ASSERT_EQ(0, player->start());
    EXPECT_EQ(-1010, player->setPlayingRate(15.0));
    ASSERT_TRUE(seen.waitForMsg(QV_MEDIA_PLAYBACK_COMPLETE, 15000)) << ::testing::PrintToString(seen.msgs());
    EXPECT_EQ(0u, seen.countMsg(QV_MEDIA_ERROR));
}

// The agent's play list: skipping makes another item current and prepares it.
TEST_F(AgentPlayback, SkippingWalksThePlayList) {
    qvtest::AgentService agent(R"({"contents": {"list": {"type": 0, "items": [
        {"file": "short_3s.mp4", "media_key": "a"}, {"file": "h264_aac.mp4", "media_key": "b"},
        {"file": "demo.mp4", "media_key": "c"}], "info": {"title": "list"}}}})");
    ASSERT_TRUE(agent.ok());
    ASSERT_TRUE(open(agent, "list"));
    EXPECT_TRUE(player->hasNext(-1));
    EXPECT_FALSE(player->hasNext(3));
    seen.clear();
    ASSERT_EQ(0, player->skipTo(2));
    ASSERT_EQ(QV_MEDIA_PREPARED, seen.waitForAnyOf({QV_MEDIA_PREPARED, QV_MEDIA_ERROR}, 20000));
    int32_t durationMs = 0;
    ASSERT_EQ(0, player->getDuration(&durationMs));
    EXPECT_NEAR(10000, durationMs, 100);  // demo.mp4, the third item
    EXPECT_FALSE(player->hasNext(-1));
    EXPECT_NE(0, player->skipTo(3));
    const std::vector<Report> reports = readReports(agent.dbPath());
    EXPECT_TRUE(std::any_of(reports.begin(), reports.end(), [](const Report& r) { return r.kind == "info"; }));
}

// Bad agent answers give the agent's statuses within the time-outs; nothing crashes.
TEST_F(AgentPlayback, BadAgentAnswersGiveStatuses) {
    qvtest::AgentService agent(catalogue({
        content("malformed", "h264_aac.mp4", "\"raw\": {\"open\": \"{\\\"items\\\": [\"}"),
        content("failing", "h264_aac.mp4", "\"http_status\": {\"open\": 500}"),
        content("refused", "h264_aac.mp4", "\"open_error\": -4030"),
        content("partial", "h264_aac.mp4", "\"open_error\": -1015"),
        content("noitems", "h264_aac.mp4", "\"raw\": {\"open\": \"{\\\"error\\\":0,\\\"code\\\":0,\\\"items\\\":[]}\"}"),
        content("infobroken", "h264_aac.mp4", "\"raw\": {\"info\": \"<html>\"}, \"http_status\": {\"lastplayerror\": 500}"),
        content("missingmedia", "no_such_file.mp4", "\"lastplayerror\": {\"code\": -8404, \"msg\": \"gone\"}"),
    }));
    ASSERT_TRUE(agent.ok());
    EXPECT_EQ(-1007, player->setDataSource("malformed", agent.hostPort().c_str()));
    EXPECT_EQ(500, player->setDataSource("failing", agent.hostPort().c_str()));
    EXPECT_EQ(-4030, player->setDataSource("refused", agent.hostPort().c_str()));
    EXPECT_EQ(-4040, player->setDataSource("unknown content", agent.hostPort().c_str()));
    EXPECT_EQ(-8619, player->setDataSource("noitems", agent.hostPort().c_str()));
    EXPECT_EQ(-404, player->setDataSource("clip", "127.0.0.1:9"));  // nobody listens there
    // -1015 still yields the items: the session plays.
    ASSERT_TRUE(open(agent, "partial"));
    // Broken media information does not stop playback; the content is described by its kind.
    seen.clear();
    ASSERT_TRUE(open(agent, "infobroken"));
    VelmorContentInfo info;
    ASSERT_EQ(0, player->getContentInfo(&info));
    EXPECT_TRUE(info.title.empty());
    // Media the agent cannot serve: the prepare fails with the agent's explanation.
    seen.clear();
    ASSERT_EQ(0, player->setDataSource("missingmedia", agent.hostPort().c_str()));
    ASSERT_EQ(0, player->prepareAsync());
    ASSERT_TRUE(seen.waitForMsg(QV_MEDIA_ERROR, 20000));
    EXPECT_EQ(1u, seen.count([](const Notification& n) { return n.msg == QV_MEDIA_ERROR && n.ext2 == -8404; }))
        << ::testing::PrintToString(seen.msgs());
    std::string message;
    EXPECT_EQ(-8404, player->getAgentValue(&message));
    EXPECT_EQ("gone", message);
}

// An agent that stops answering its reports mid-session: destroying the player waits at most the
// client's 5 s for the queued state reports, then gives up on them.
TEST_F(AgentPlayback, DestroyWhileTheAgentStopsAnswering) {
    qvtest::AgentService agent(catalogue({content("clip", "h264_aac.mp4", "\"hang\": [\"state\", \"position\"]")}));
    ASSERT_TRUE(agent.ok());
    ASSERT_TRUE(open(agent, "clip"));
    ASSERT_EQ(0, player->start());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_EQ(0, player->pause());
    ASSERT_EQ(0, player->seekTo(5000));
    const auto t0 = Clock::now();
    lib.destroy(player, false);
    player = nullptr;
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(12));
}

// An agent that accepts the open request and never answers: setDataSource gives up with the
// transport failure after the client's low-speed time-out (10 s), and destroying the player
// right after is prompt.
TEST_F(AgentPlayback, SilentAgentTimesOut) {
    qvtest::AgentService agent(catalogue({content("hang", "h264_aac.mp4", "\"hang\": [\"open\"]")}));
    ASSERT_TRUE(agent.ok());
    const auto t0 = Clock::now();
    EXPECT_EQ(-404, player->setDataSource("hang", agent.hostPort().c_str()));
    const auto took = Clock::now() - t0;
    EXPECT_GT(took, std::chrono::seconds(8));
    EXPECT_LT(took, std::chrono::seconds(30));
}

}  // namespace
