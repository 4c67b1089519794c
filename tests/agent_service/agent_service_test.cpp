// The reference player agent as a real process: byte ranges against the file, keep-alive,
// pacing and stalls, the catalogue's misbehaviour switches, malformed requests and many clients
// at once. Its JSON answers, bookmarks and reports are checked through the engine's agent tests.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "support/AgentService.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kBlobBytes = 1 << 20;
constexpr int kRate = 200000;        // bytes per second of the "slow" content
constexpr int kStallAfter = 3000;

struct Answer {
    CURLcode rc = CURLE_OK;
    long status = 0;
    std::string head;
    std::string body;
    Json::Value json;
};

size_t append(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

// One request through curl; handle may be reused to test keep-alive.
Answer fetch(const std::string& url, const std::string& range = "", CURL* handle = nullptr, long timeoutMs = 15000,
             const std::string* postBody = nullptr) {
    CURL* curl = handle != nullptr ? handle : curl_easy_init();
    Answer answer;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, append);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer.head);
    curl_easy_setopt(curl, CURLOPT_RANGE, range.empty() ? nullptr : range.c_str());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (postBody != nullptr) curl_easy_setopt(curl, CURLOPT_POSTFIELDS, postBody->c_str());
    answer.rc = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    reader->parse(answer.body.data(), answer.body.data() + answer.body.size(), &answer.json, nullptr);
    if (handle == nullptr) curl_easy_cleanup(curl);
    return answer;
}

// Sends text on a fresh connection and returns what comes back until the agent closes, or
// until waitMs passes without it closing (*closed tells which).
std::string rawExchange(const std::string& hostPort, const std::string& text, int waitMs, bool* closed = nullptr) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(std::stoi(hostPort.substr(hostPort.find(':') + 1))));
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    std::string got;
    bool ended = false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size())) {
        auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
        while (!ended && Clock::now() < deadline) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char chunk[65536];
            ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
            if (n <= 0) ended = true;
            else got.append(chunk, static_cast<size_t>(n));
        }
    }
    close(fd);
    if (closed != nullptr) *closed = ended;
    return got;
}


const char* kCatalogue = R"({"contents": {
  "c":     {"type": 0, "items": [{"file": "blob.bin", "media_key": "k1"}, {"file": "small.bin", "media_key": "k2"}],
            "info": {"title": "Clip", "duration": 8, "subtitle": [{"url": "sub.srt?id=7"}]},
            "bookmarks": [{"position": 5, "label": "intro", "value": "v5"}]},
  "real":  {"type": 2, "items": [{"file": "small.bin", "media_key": "r1"}]},
  "slow":  {"type": 1, "items": [{"file": "blob.bin", "media_key": "s1"}], "rate": 200000},
  "stall": {"type": 0, "items": [{"file": "blob.bin", "media_key": "st1"}], "stall_after": 3000},
  "odd":   {"type": 0, "items": [{"file": "small.bin", "media_key": "o1"}], "open_error": -1015, "info_code": -8614,
            "http_status": {"position": 500, "play": 503}, "raw": {"info": "{not json"}, "hang": ["state"],
            "lastplayerror": {"code": -77, "msg": "expired"}},
  "moved": {"type": 0, "items": [{"file": "small.bin", "media_key": "m1"}],
            "play_redirect": "http://127.0.0.1:1/rate/9/",
            "position_error": {"code": -12, "msg": "stop"}, "info_code": -8614, "info": {"title": "Moved"}}
}})";

class AgentServiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/qv-agent-media-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        sMedia = pattern;
        std::mt19937 random(7);
        sBlob.resize(kBlobBytes);
        for (char& c : sBlob) c = static_cast<char>(random());
        sSmall = "small file body\n";
        for (auto [name, bytes] : {std::pair{"/blob.bin", &sBlob}, std::pair{"/small.bin", &sSmall}}) {
            FILE* f = fopen((sMedia + name).c_str(), "wb");
            ASSERT_NE(f, nullptr);
            fwrite(bytes->data(), 1, bytes->size(), f);
            fclose(f);
        }
    }
    static void TearDownTestSuite() {
        unlink((sMedia + "/blob.bin").c_str());
        unlink((sMedia + "/small.bin").c_str());
        rmdir(sMedia.c_str());
    }
    void SetUp() override {
        mAgent = std::make_unique<qvtest::AgentService>(kCatalogue, sMedia);
        ASSERT_TRUE(mAgent->ok()) << "the agent did not start";
    }
    std::string url(const std::string& path) const { return mAgent->url(path); }

    static inline std::string sMedia, sBlob, sSmall;
    std::unique_ptr<qvtest::AgentService> mAgent;
};

TEST_F(AgentServiceTest, RangesAreByteExactAndConfinedToTheMedia) {
    const std::string play = url("/misc/play?index=0&media_key=k1");
    Answer whole = fetch(play);
    EXPECT_EQ(whole.status, 200);
    EXPECT_TRUE(whole.body == sBlob);
    EXPECT_NE(whole.head.find("Accept-Ranges: bytes"), std::string::npos);

    struct Case { const char* range; size_t first; size_t length; };
    for (Case c : {Case{"0-99", 0, 100}, Case{"400000-499999", 400000, 100000}, Case{"1048000-", 1048000, 576},
                   Case{"-100", kBlobBytes - 100, 100}, Case{"1048570-9999999", 1048570, 6}}) {
        Answer part = fetch(play, c.range);
        EXPECT_EQ(part.status, 206) << c.range;
        EXPECT_TRUE(part.body == sBlob.substr(c.first, c.length)) << c.range;
        std::string contentRange = "Content-Range: bytes " + std::to_string(c.first) + "-" +
                                   std::to_string(c.first + c.length - 1) + "/" + std::to_string(kBlobBytes);
        EXPECT_NE(part.head.find(contentRange), std::string::npos) << part.head;
    }
    Answer past = fetch(play, "1048576-");
    EXPECT_EQ(past.status, 416);
    EXPECT_NE(past.head.find("Content-Range: bytes */1048576"), std::string::npos);

    // The "real" media URL serves the same file; names that leave the media directory do not.
    Answer open = fetch(url("/stream/open?path=real"));
    EXPECT_TRUE(fetch(open.json["items"][0]["media_url"].asString()).body == sSmall);
    EXPECT_EQ(fetch(url("/media/../agent.db")).status, 403);
    EXPECT_EQ(fetch(url("/media/%2e%2e/agent.db")).status, 403);
    EXPECT_EQ(fetch(url("/media/%2Ftmp")).status, 403);
    EXPECT_EQ(fetch(url("/media/none.bin")).status, 404);
}

TEST_F(AgentServiceTest, KeepAliveCarriesSeveralRequestsOnOneConnection) {
    CURL* curl = curl_easy_init();
    Answer first = fetch(url("/misc/play?index=1&media_key=k2"), "", curl);
    Answer second = fetch(url("/stream/open?path=c"), "", curl);
    long connects = -1;
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connects);
    curl_easy_cleanup(curl);
    EXPECT_EQ(first.body, sSmall);
    EXPECT_EQ(second.json["error"].asInt(), 0);
    EXPECT_EQ(connects, 0) << "the second request opened a new connection";

    // Two pipelined requests in one write get two answers, then HTTP/1.0 without keep-alive closes.
    bool closed = false;
    std::string both = rawExchange(mAgent->hostPort(),
                                   "GET /lastplayerror HTTP/1.1\r\nHost: a\r\n\r\nGET /lastplayerror HTTP/1.0\r\n\r\n",
                                   5000, &closed);
    EXPECT_EQ(both.rfind("HTTP/1.1 200 OK", 0), 0u);
    EXPECT_NE(both.find("HTTP/1.1 200 OK", 10), std::string::npos);
    EXPECT_TRUE(closed);
}

TEST_F(AgentServiceTest, RatePacesTheBodyAndStallAfterHoldsItBack) {
    constexpr size_t kPaced = 2 * kRate;  // two seconds' worth
    auto start = Clock::now();
    Answer paced = fetch(url("/misc/play?index=0&media_key=s1"), "0-" + std::to_string(kPaced - 1));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_TRUE(paced.body == sBlob.substr(0, kPaced));
    EXPECT_GT(seconds, 1.4);
    EXPECT_LT(seconds, 20.0);

    // The stalled answer promises the whole file, sends kStallAfter bytes and keeps the
    // connection open without sending more.
    bool closed = true;
    std::string got =
        rawExchange(mAgent->hostPort(), "GET /misc/play?index=0&media_key=st1 HTTP/1.1\r\n\r\n", 1500, &closed);
    size_t bodyAt = got.find("\r\n\r\n");
    ASSERT_NE(bodyAt, std::string::npos);
    EXPECT_NE(got.find("Content-Length: 1048576"), std::string::npos);
    EXPECT_EQ(got.size() - bodyAt - 4, static_cast<size_t>(kStallAfter));
    EXPECT_FALSE(closed);
    EXPECT_EQ(fetch(url("/misc/play?index=0&media_key=st1"), "", nullptr, 1000).rc, CURLE_OPERATION_TIMEDOUT);
}

TEST_F(AgentServiceTest, CatalogueSwitchesMisbehaveOnRequest) {
    Answer open = fetch(url("/stream/open?path=odd"));
    EXPECT_EQ(open.json["error"].asInt(), 1);
    EXPECT_EQ(open.json["code"].asInt(), -1015);
    EXPECT_EQ(open.json["items"].size(), 1u);
    EXPECT_EQ(fetch(url("/misc/info?media_key=o1&index=0")).body, "{not json");
    EXPECT_EQ(fetch(url("/misc/position?media_key=o1&index=0&current=1")).status, 500);
    EXPECT_EQ(fetch(url("/misc/play?media_key=o1&index=0")).status, 503);
    Answer last = fetch(url("/lastplayerror"));  // the content used last: "odd"
    EXPECT_EQ(last.json["error"].asInt(), 1);
    EXPECT_EQ(last.json["code"].asInt(), -77);
    EXPECT_EQ(last.json["msg"].asString(), "expired");
    auto start = Clock::now();
    EXPECT_EQ(fetch(url("/misc/state?media_key=o1&index=0&set=play"), "", nullptr, 800).rc, CURLE_OPERATION_TIMEDOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(700));

    Answer moved = fetch(url("/misc/play?media_key=m1&index=0"));
    EXPECT_EQ(moved.status, 302);
    EXPECT_NE(moved.head.find("Location: http://127.0.0.1:1/rate/9/small.bin"), std::string::npos);
    Answer position = fetch(url("/misc/position?media_key=m1&index=0"));
    EXPECT_EQ(position.json["error"].asInt(), 1);
    EXPECT_EQ(position.json["code"].asInt(), -12);
    Answer info = fetch(url("/misc/info?media_key=m1&index=0"));
    EXPECT_EQ(info.json["code"].asInt(), -8614);
    EXPECT_EQ(info.json["result"]["title"].asString(), "Moved");
    EXPECT_EQ(qvtest::agentDbRows(mAgent->dbPath(), "SELECT count(*) FROM reports WHERE kind IN ('play', 'state')"),
              std::vector<std::string>{"3"});

    // A rewritten catalogue is read on the next request; a broken one keeps the last good one.
    mAgent->setCatalogue(R"({"contents": {"fresh": {"type": 1, "items": []}}})");
    EXPECT_EQ(fetch(url("/stream/open?path=fresh")).json["type"].asInt(), 1);
    EXPECT_EQ(fetch(url("/stream/open?path=c")).json["code"].asInt(), -4040);
    mAgent->setCatalogue(R"({"contents": {"fresh": {"type": "one"}}})");
    EXPECT_EQ(fetch(url("/stream/open?path=fresh")).json["type"].asInt(), 1);
}

TEST_F(AgentServiceTest, MalformedRequestsGet400AndOthersStillServed) {
    for (const char* bad : {"GARBAGE\r\n\r\n", "GET /lastplayerror\r\n\r\n", "GET /lastplayerror HTTP/2.0\r\n\r\n",
                            "GET /misc/info?media_key=%zz HTTP/1.1\r\n\r\n", "GET / HTTP/1.1\r\nNo colon\r\n\r\n",
                            "GET /lastplayerror HTTP/1.1\r\nContent-Length: x\r\n\r\n"}) {
        bool closed = false;
        std::string answer = rawExchange(mAgent->hostPort(), bad, 5000, &closed);
        EXPECT_EQ(answer.rfind("HTTP/1.1 400 ", 0), 0u) << bad;
        EXPECT_TRUE(closed) << bad;
    }
    std::string huge = "GET /lastplayerror HTTP/1.1\r\nX-Big: " + std::string(40000, 'a') + "\r\n\r\n";
    EXPECT_EQ(rawExchange(mAgent->hostPort(), huge, 5000).rfind("HTTP/1.1 431 ", 0), 0u);
    // A client that sends half a request and goes away costs nothing either.
    rawExchange(mAgent->hostPort(), "GET /stream/op", 100);
    EXPECT_EQ(fetch(url("/stream/open?path=c")).json["error"].asInt(), 0);
}

TEST_F(AgentServiceTest, FiftyConcurrentClientsAndAStopThatEndsHungConnections) {
    constexpr int kClients = 50;
    std::atomic<int> good{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            size_t first = static_cast<size_t>(i) * 20000;
            Answer part = fetch(url("/misc/play?index=0&media_key=k1"),
                                std::to_string(first) + "-" + std::to_string(first + 19999));
            Answer open = fetch(url("/stream/open?path=c"));
            if (part.body == sBlob.substr(first, 20000) && open.json["error"].asInt() == 0) ++good;
        });
    }
    for (std::thread& client : clients) client.join();
    EXPECT_EQ(good.load(), kClients);

    // A request held back on purpose and a stalled download do not keep SIGTERM from ending it.
    std::thread hung([&] { fetch(url("/misc/state?media_key=o1&index=0&set=play"), "", nullptr, 30000); });
    std::thread stalled([&] { fetch(url("/misc/play?index=0&media_key=st1"), "", nullptr, 30000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto start = Clock::now();
    EXPECT_EQ(mAgent->stop(), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(qvtest::AgentService::kStopTimeoutMs / 1000));
    hung.join();
    stalled.join();
}

}  // namespace
