// The agent client against the real reference agent: the position reports' retry budget and
// volume rule, -8614, the last play error, the POST callback, settings reports, and stop letting
// the last state report out and sending nothing after it.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "agent/PlayerAgent.h"
#include "support/AgentService.h"

namespace velmor {
namespace {

// (kind, query) of the agent's stored reports, in arrival order, as "kind|query".
std::vector<std::string> reports(const std::string& db) {
    return qvtest::agentDbRows(db, "SELECT kind, IFNULL(query,'') FROM reports ORDER BY seq");
}

size_t countKind(const std::string& db, const std::string& kind, const std::string& needle = "") {
    size_t n = 0;
    for (const std::string& row : reports(db)) {
        n += row.compare(0, kind.size() + 1, kind + "|") == 0 && row.find(needle, kind.size() + 1) != std::string::npos;
    }
    return n;
}

// Polls until pred() holds or the time is up.
template <typename Pred>
bool eventually(Pred pred, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

const char* kCatalogue = R"({"contents": {
  "ok": {"type": 0, "items": [{"file": "h264_aac.mp4", "media_key": "k-ok"}], "info": {"title": "ok"},
         "lastplayerror": {"code": -8683, "msg": "licence expired"}},
  "noinfo": {"type": 0, "items": [{"file": "h264_aac.mp4", "media_key": "k-noinfo"}], "info_code": -8614},
  "failing": {"type": 0, "items": [{"file": "h264_aac.mp4", "media_key": "k-failing"}],
              "http_status": {"position": 500}},
  "real": {"type": 2, "items": [{"file": "h264_aac.mp4", "media_key": "k-real"}]}}})";

TEST(AgentClient, PositionReportsFollowTheVolumeRuleAndTheRetryBudget) {
    qvtest::AgentService service(kCatalogue);
    ASSERT_TRUE(service.ok());
    const std::string& db = service.dbPath();

    PlayerAgent agent;
    ASSERT_EQ(OK, agent.Open(service.hostPort(), "ok"));
    ASSERT_FALSE(agent.getPlayUrl(0).empty());
    ASSERT_EQ(OK, agent.GetMediaInfo());
    agent.setDuration(8);
    agent.setCurrent(3);
    agent.setVolume(0);  // unmuted but silent: 0
    ASSERT_TRUE(eventually([&] { return countKind(db, "position", "volume=0") >= 1; }, 5000));
    EXPECT_GE(countKind(db, "position", "current=3&duration=8"), 1u);
    agent.setVolume(70);
    ASSERT_TRUE(eventually([&] { return countKind(db, "position", "volume=70") >= 1; }, 5000));
    agent.setMute(true);  // muted: 0 whatever the volume
    const size_t silentBefore = countKind(db, "position", "volume=0");
    ASSERT_TRUE(eventually([&] { return countKind(db, "position", "volume=0") > silentBefore; }, 5000));
    // Seeking suspends the reports.
    agent.setStatus(PlayerAgent::kSeeking, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const size_t whileSeeking = countKind(db, "position");
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(whileSeeking, countKind(db, "position"));
    EXPECT_EQ(1u, countKind(db, "state", "set=seeking&current=5"));

    // Settings, errors and the last play error.
    agent.sendJumpStep(15);
    agent.sendPlayrateSave(1, 2);
    EXPECT_EQ(1u, countKind(db, "dir_set", "jumpstep=15"));
    EXPECT_EQ(1u, countKind(db, "dir_set", "playratesave=1&playratestep=2"));
    EXPECT_EQ(OK, agent.GetLastPlayError());
    EXPECT_EQ(-8683, agent.agentErrorCode());
    EXPECT_EQ("licence expired", agent.agentErrorMessage());

    // The POST callback hands back the next address.
    std::string next;
    EXPECT_EQ(1, agent.postCallback(service.url("/callback/next?media_key=k-ok"), "{\"watched\":8}", &next));
    EXPECT_NE(std::string::npos, next.find("/stream/open?path=")) << next;
    EXPECT_EQ(-404, agent.postCallback(service.url("/no/such/path"), "x", &next));

    // A failing position answer: five failures are absorbed, the sixth becomes the agent error.
    PlayerAgent failing;
    ASSERT_EQ(OK, failing.Open(service.hostPort(), "failing"));
    failing.getPlayUrl(0);
    ASSERT_EQ(OK, failing.GetMediaInfo());
    ASSERT_TRUE(eventually([&] { return countKind(db, "position", "k-failing") >= 5; }, 10000));
    EXPECT_EQ(OK, failing.agentErrorCode());
    ASSERT_TRUE(eventually([&] { return failing.agentErrorCode() == 500; }, 5000));
    EXPECT_GE(countKind(db, "position", "k-failing"), 6u);
}

TEST(AgentClient, NoInformationStillReportsAndStopLetsTheLastStateOut) {
    qvtest::AgentService service(kCatalogue);
    ASSERT_TRUE(service.ok());
    const std::string& db = service.dbPath();
    {
        PlayerAgent agent;
        ASSERT_EQ(OK, agent.Open(service.hostPort(), "noinfo"));
        agent.getPlayUrl(0);
        EXPECT_EQ(-8614, agent.GetMediaInfo());
        ASSERT_TRUE(eventually([&] { return countKind(db, "position", "k-noinfo") >= 2; }, 5000));
        // States queued just before stop still go out; nothing is sent after it.
        agent.setStatus(PlayerAgent::kPause, -1);
        agent.setStatus(PlayerAgent::kStop, -1);
        agent.stop();
        EXPECT_EQ(1u, countKind(db, "state", "set=stop"));
        const size_t after = reports(db).size();
        agent.setStatus(PlayerAgent::kPlay, -1);
        agent.sendError(-1004);
        EXPECT_EQ(OK, agent.GetLastPlayError());
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        EXPECT_EQ(after, reports(db).size());
    }
    // A "real" stream: the play request is sent and the item's own address comes back; bookmarks
    // are not offered.
    PlayerAgent real;
    ASSERT_EQ(OK, real.Open(service.hostPort(), "real"));
    EXPECT_EQ("real", real.streamKind());
    const std::string url = real.getPlayUrl(0);
    EXPECT_NE(std::string::npos, url.find("/media/h264_aac.mp4")) << url;
    EXPECT_EQ(1u, countKind(db, "play", "k-real"));
    EXPECT_TRUE(real.GetBookmarkRead().empty());
}

}  // namespace
}  // namespace velmor
