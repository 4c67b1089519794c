// The fault matrix: every case is one player of the loaded library playing from a server that
// misbehaves in one way (the fault server, nginx, the reference agent, a live ffmpeg source), all
// cases at once, each on a thread of its own with its own fault address. A case states the
// notification the host must get and how long it may take; every player is destroyed at the end
// and that must be prompt too. One line per case is printed (case, expected, got, elapsed).
//
// Time-outs the cases rest on: a status line or header line that does not come fails after the
// connection's receive time-out (10 s, or what an earlier answer's X-SocketTimeout set); a body
// that stops flowing ends a read after about 2 s of silence; the cache gives up on a source after
// five failed reads in a row; an HLS download is tried four times, 0.5 s apart, and a missing
// master playlist five times.
//
// Threads: the test's main thread starts the shared servers and one thread per case; a case's
// thread creates, drives and destroys its player and any server of its own (a server that is
// restarted mid-play, the live ffmpeg source, a second agent), and alone reads its Collector.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/AgentService.h"
#include "support/FaultServer.h"
#include "support/Host.h"
#include "support/LiveHls.h"
#include "support/Nginx.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using qvtest::Notification;

constexpr int32_t kInfoBufferingStart = 701;
constexpr int32_t kInfoBufferingEnd = 702;
// How long a stall must last, after its 701, with neither 702 nor an error, to count as a stall.
constexpr auto kStallHold = 3s;
// Destroying a player, whatever its server is doing, returns within this.
constexpr auto kDestroyBound = 5s;
// The progressive media. An MPEG transport stream (10 s) for faults met while opening (FFmpeg
// reads all of so small a stream to learn its streams and duration). An MP4 whose index is at
// its end (10 s, about 100 kB per second of media) for faults met while playing: opening reads
// its first bytes and the index, which the cache fetches from 128 kB before it; the fault span
// lies between, and is first read when playback gets near byte 750000 (about 7.4 s; FFmpeg
// reads the first 5 s or so of samples to learn the streams).
constexpr const char* kStream = "stream_10s.ts";
constexpr const char* kMovie = "demo.mp4";
constexpr int kMovieFaultFrom = 750000;
constexpr int kMovieFaultTo = 850000;
// FFmpeg's AVERROR_HTTP_NOT_FOUND, FFERRTAG(0xF8, '4', '0', '4').
constexpr int32_t kFFmpegHttpNotFound = -static_cast<int32_t>(0xF8 | ('4' << 8) | ('0' << 16) | (static_cast<uint32_t>('4') << 24));

enum class Want {
    kError,       // MEDIA_ERROR with one of `codes` as ext2
    kComplete,    // MEDIA_PLAYBACK_COMPLETE, no error
    kRecover,     // MEDIA_INFO 701, then 702, then MEDIA_PLAYBACK_COMPLETE, no error
    kStall,       // MEDIA_INFO 701 while playing, then neither 702 nor an error for kStallHold
    kOpenStatus,  // setDataSource itself returns one of `codes` (no notification)
    kSilent,      // still preparing at the bound: neither MEDIA_PREPARED nor an error
    kAbsorbed,    // while playing, the error is held back: MEDIA_PAUSED once the data ran out,
                  // then neither an error nor completion for kStallHold
};

// What one case plays; filled on the case's own thread, which also owns the services in `keep`.
struct CaseRun {
    std::string url;
    std::string agent;  // "HOST:PORT" of the agent, empty for a plain address
    qvtest::Collector seen;
    // Called once on the case's thread right after start(): the fault that comes mid-play.
    std::function<void(CaseRun&)> midPlay;
    std::vector<std::shared_ptr<void>> keep;
};

struct Case {
    std::string name;
    std::string fault;
    Want want;
    std::vector<int32_t> codes;
    int boundSeconds;
    bool hls = false;  // played by the engine's own HLS stack (live handling on)
    std::function<void(CaseRun&)> setup;
};

struct Outcome {
    bool pass = false;
    std::string got;
    double elapsed = 0;         // s from prepareAsync (or setDataSource) to the deciding event
    double destroySeconds = 0;  // s DestroyPlayer took
    std::string trace;          // the notifications, for a failure message
};

std::string expectedText(const Case& c) {
    auto codes = [&] {
        std::string out;
        for (size_t i = 0; i < c.codes.size(); ++i) out += (i ? "|" : "") + std::to_string(c.codes[i]);
        return out;
    };
    switch (c.want) {
        case Want::kError: return "ERROR " + codes();
        case Want::kComplete: return "COMPLETE";
        case Want::kRecover: return "701>702>COMPLETE";
        case Want::kStall: return "701 held";
        case Want::kOpenStatus: return "open " + codes();
        case Want::kSilent: return "preparing";
        case Want::kAbsorbed: return "PAUSED, no error";
    }
    return "?";
}

// The notifications as msg[/ext]@seconds since t0, for failure messages.
std::string traceOf(qvtest::Collector& seen, Clock::time_point t0) {
    std::string out;
    for (const Notification& n : seen.items()) {
        if (n.msg == QV_MEDIA_INFO && n.ext1 == 700) continue;  // the lag report, every second
        if (n.msg == QV_MEDIA_BUFFERING_UPDATE || (n.msg == QV_MEDIA_INFO && n.ext1 == 3)) continue;
        const double at = std::chrono::duration<double>(n.at - t0).count();
        char item[64];
        if (n.msg == QV_MEDIA_ERROR || n.msg == QV_MEDIA_INFO) {
            snprintf(item, sizeof(item), " %d/%d@%.1f", n.msg, n.msg == QV_MEDIA_ERROR ? n.ext2 : n.ext1, at);
        } else {
            snprintf(item, sizeof(item), " %d@%.1f", n.msg, at);
        }
        out += item;
    }
    return out;
}

bool isInfo(const Notification& n, int32_t what) { return n.msg == QV_MEDIA_INFO && n.ext1 == what; }

// A loopback port nobody listens on (bound once, then closed).
int closedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(fd);
    return port;
}

// Plays one case to its deciding notification (or its bound) and destroys the player.
Outcome play(const qvtest::Library& lib, const Case& c) {
    Outcome out;
    CaseRun run;
    c.setup(run);
    IVelmorPlayerBase* player = lib.create();
    player->setListener(&qvtest::Collector::callback, &run.seen);
    player->createAudioSink(QV_AUDIO_SINK_NULL);
    player->setLiveDisabled(c.hls ? 0 : 1);
    const auto t0 = Clock::now();
    const auto deadline = t0 + std::chrono::seconds(c.boundSeconds);
    auto since = [&](Clock::time_point at) { return std::chrono::duration<double>(at - t0).count(); };

    const int32_t opened = player->setDataSource(run.url.c_str(), run.agent.empty() ? nullptr : run.agent.c_str());
    if (c.want == Want::kOpenStatus) {
        out.elapsed = since(Clock::now());
        out.got = "open " + std::to_string(opened);
        out.pass = std::count(c.codes.begin(), c.codes.end(), opened) > 0 && out.elapsed <= c.boundSeconds;
    } else if (opened != 0 || player->prepareAsync() != 0) {
        out.got = "open " + std::to_string(opened);
    } else {
        bool started = false;
        Clock::time_point stallAt{};
        for (;;) {
            const std::vector<Notification> items = run.seen.items();
            auto find = [&](const std::function<bool(const Notification&)>& pred, size_t from = 0) {
                auto it = std::find_if(items.begin() + static_cast<ptrdiff_t>(std::min(from, items.size())), items.end(), pred);
                return it == items.end() ? -1 : static_cast<int>(it - items.begin());
            };
            const int error = find([](const Notification& n) { return n.msg == QV_MEDIA_ERROR; });
            const int complete = find([](const Notification& n) { return n.msg == QV_MEDIA_PLAYBACK_COMPLETE; });
            const int bufferingStart = find([](const Notification& n) { return isInfo(n, kInfoBufferingStart); });
            const int bufferingEnd =
                bufferingStart < 0 ? -1
                                   : find([](const Notification& n) { return isInfo(n, kInfoBufferingEnd); },
                                          static_cast<size_t>(bufferingStart));
            if (error >= 0) {
                const Notification& n = items[static_cast<size_t>(error)];
                out.got = "ERROR " + std::to_string(n.ext2);
                out.elapsed = since(n.at);
                out.pass = c.want == Want::kError && std::count(c.codes.begin(), c.codes.end(), n.ext2) > 0;
                break;
            }
            if (complete >= 0) {
                const Notification& n = items[static_cast<size_t>(complete)];
                out.elapsed = since(n.at);
                if (bufferingStart >= 0 && bufferingEnd >= 0) {
                    out.got = "701>702>COMPLETE";
                    out.pass = c.want == Want::kRecover || c.want == Want::kComplete;
                } else {
                    out.got = "COMPLETE";
                    out.pass = c.want == Want::kComplete;
                }
                break;
            }
            const int startedAt = find([](const Notification& n) { return n.msg == QV_MEDIA_STARTED; });
            const int pausedAt =
                startedAt < 0 ? -1
                              : find([](const Notification& n) { return n.msg == QV_MEDIA_PAUSED; },
                                     static_cast<size_t>(startedAt));
            if (c.want == Want::kAbsorbed && pausedAt >= 0 &&
                Clock::now() - items[static_cast<size_t>(pausedAt)].at >= kStallHold) {
                out.got = "PAUSED, no error";
                out.elapsed = since(items[static_cast<size_t>(pausedAt)].at);
                out.pass = true;
                break;
            }
            if (c.want == Want::kStall && bufferingStart >= 0) {
                if (stallAt == Clock::time_point{}) stallAt = items[static_cast<size_t>(bufferingStart)].at;
                if (bufferingEnd >= 0) {
                    out.got = "701>702";
                    out.elapsed = since(items[static_cast<size_t>(bufferingEnd)].at);
                    break;
                }
                if (Clock::now() - stallAt >= kStallHold) {
                    out.got = "701 held";
                    out.elapsed = since(stallAt);
                    out.pass = true;
                    break;
                }
            }
            if (Clock::now() >= deadline) {
                out.got = started ? "playing" : "preparing";
                out.elapsed = since(Clock::now());
                out.pass = c.want == Want::kSilent && !started;
                break;
            }
            if (!started && find([](const Notification& n) { return n.msg == QV_MEDIA_PREPARED; }) >= 0) {
                started = true;
                player->start();
                if (run.midPlay) run.midPlay(run);
                continue;
            }
            std::this_thread::sleep_for(50ms);
        }
        // A stall is judged from its 701; everything else must be decided within the bound.
        if (c.want != Want::kStall && c.want != Want::kSilent && out.elapsed > c.boundSeconds) out.pass = false;
    }
    const auto destroyAt = Clock::now();
    lib.destroy(player, false);
    out.destroySeconds = std::chrono::duration<double>(Clock::now() - destroyAt).count();
    if (out.destroySeconds > std::chrono::duration<double>(kDestroyBound).count()) out.pass = false;
    out.trace = traceOf(run.seen, t0);
    return out;
}

// One content entry of the agent's catalogue (a progressive "stream" item the agent serves).
std::string agentContent(const std::string& name, const std::string& file, const std::string& extra = "") {
    return "\"" + name + "\": {\"type\": 0, \"items\": [{\"file\": \"" + file + "\", \"media_key\": \"key-" + name +
           "\"}], \"info\": {\"title\": \"" + name + "\", \"duration\": 10}" + (extra.empty() ? "" : ", " + extra) + "}";
}

TEST(FaultMatrix, EveryFaultEndsInItsNotification) {
    qvtest::Library lib;
    ASSERT_TRUE(lib.ok()) << dlerror();
    REQUIRE_MEDIA(kStream);
    REQUIRE_MEDIA(kMovie);
    REQUIRE_MEDIA("hls/vod/v0/index.m3u8");
    REQUIRE_MEDIA("hls/aes/index.m3u8");
    qvtest::FaultServer faults;
    ASSERT_TRUE(faults.ok());
    const std::string nginx = qvtest::nginxBase();
    ASSERT_FALSE(nginx.empty());
    const std::string stream = kStream;
    // The span of the movie that a mid-play fault takes, as "N/M/" of the span paths.
    const std::string span = std::to_string(kMovieFaultFrom) + "/" + std::to_string(kMovieFaultTo) + "/";
    const std::string refused = "http://127.0.0.1:" + std::to_string(closedPort());
    // Progressive items reach the engine's own HTTP source and cache only through the agent (a
    // plain address is opened by FFmpeg): each such case is an agent item whose play request
    // redirects to its fault address (the item's file name is appended to it).
    std::vector<std::string> agentContents = {
        agentContent("position500", kStream, "\"http_status\": {\"position\": 500}"),
        agentContent("positionerror", kStream,
                     "\"raw\": {\"position\": \"{\\\"error\\\": 1, \\\"code\\\": -4101, \\\"msg\\\": \\\"denied\\\"}\"}"),
        agentContent("positionjunk", kStream, "\"raw\": {\"position\": \"<html>\"}"),
        agentContent("play500", kStream, "\"http_status\": {\"play\": 500}"),
        agentContent("openjunk", kStream, "\"raw\": {\"open\": \"{\\\"items\\\": [\"}"),
    };
    std::unique_ptr<qvtest::AgentService> agentService;
    auto agentAt = [&agentService](const std::string& content) {
        return [content, &agentService](CaseRun& r) {
            r.url = content;
            r.agent = agentService->hostPort();
        };
    };
    auto cached = [&](const std::string& name, const std::string& redirectPrefix, const char* file = kStream) {
        agentContents.push_back(agentContent(name, file, "\"play_redirect\": \"" + redirectPrefix + "\""));
        return agentAt(name);
    };
    auto at = [](std::string url) { return [url](CaseRun& r) { r.url = url; }; };
    // An HLS presentation from the fault server with segment `seg` (or every key) rerouted to a
    // fault path: /hls-fault/ makes every address in the playlist absolute.
    auto hlsFault = [&](const std::string& playlist, const std::string& query) {
        return faults.url("/hls-fault/" + playlist + "?" + query);
    };
    const std::string vod = "hls/vod/v0/index.m3u8";  // 10 segments of 2 s, 320x180

    std::vector<Case> cases = {
        // --- Progressive HTTP: a plain address, opened by FFmpeg (its errors pass unchanged) ----
        {"ffmpeg-refused", "nothing listens on the port", Want::kError, {-ECONNREFUSED}, 10, false,
         at(refused + "/" + stream)},
        {"ffmpeg-404", "404 on the media", Want::kError, {kFFmpegHttpNotFound}, 10, false,
         at(faults.url("/status/404/" + stream))},
        {"ffmpeg-reset-body", "reset at 7.7 s, every time", Want::kError, {-ECONNRESET}, 30, false,
         at(faults.url("/reset-at/450000/" + stream))},

        // --- Progressive HTTP: an agent item, through the engine's HTTP source and cache -------
        {"http-refused", "nothing listens on the port", Want::kError, {-8007}, 10, false,
         cached("http-refused", refused + "/")},
        {"http-dns", "host does not resolve", Want::kError, {-8006}, 20, false,
         cached("http-dns", "http://nosuchhost.invalid/")},
        {"http-404", "404 on the media", Want::kError, {-8404}, 10, false, cached("http-404", faults.url("/status/404/"))},
        {"http-500", "500 on the media", Want::kError, {-8500}, 10, false, cached("http-500", faults.url("/status/500/"))},
        {"http-redirect-loop", "302 to itself", Want::kError, {-8302}, 15, false,
         cached("http-redirect-loop", faults.url("/redirect-loop/302/"))},
        {"http-stall-headers", "no answer to the request", Want::kError, {-6281}, 25, false,
         cached("http-stall-headers", faults.url("/stall-headers/"))},
        {"http-reset-request", "reset before any answer", Want::kError, {-6256, -5155}, 10, false,
         cached("http-reset-request", faults.url("/reset-headers/"))},
        {"http-reset-headers", "reset after the status line", Want::kError, {-6256}, 10, false,
         cached("http-reset-headers", faults.url("/reset-mid-headers/"))},
        {"http-reset-body", "reset at 7.4 s, on every try", Want::kError, {-6156}, 30, false,
         cached("http-reset-body", faults.url("/reset-span/" + span), kMovie)},
        {"http-stall-body", "body stops at 7.4 s, on every try", Want::kError, {-1018}, 40, false,
         cached("http-stall-body", faults.url("/stall-span/" + span), kMovie)},
        {"http-trickle", "800 B/s from 7.4 s on", Want::kStall, {}, 30, false,
         cached("http-trickle", faults.url("/slow-window/" + span + "800/"), kMovie)},
        {"http-slow-window", "100 kB at 10 kB/s from 7.4 s, then fast", Want::kRecover, {}, 50, false,
         cached("http-slow-window", faults.url("/slow-window/" + std::to_string(kMovieFaultFrom) + "/" +
                                               std::to_string(kMovieFaultFrom + 100000) + "/10000/"),
                kMovie)},
        // The extractor cannot even identify the stream: preparation goes on, quietly.
        {"http-nginx-trickle", "nginx at 700 B/s from the first byte", Want::kSilent, {}, 12, false,
         cached("http-nginx-trickle", nginx + "/rate/700/", kStream)},
        // The cache asks for the missing end with a range, which this server ignores.
        {"http-length-over", "Content-Length 50000 over the body", Want::kError, {-1010}, 40, false,
         cached("http-length-over", faults.url("/long-length/50000/"), kStream)},
        {"http-length-under", "Content-Length 100000 under the body", Want::kComplete, {}, 40, false,
         cached("http-length-under", faults.url("/short-length/100000/"), kStream)},
        // The cache tries again at once and is refused five times before the server is back;
        // the refusal reaches FFmpeg as ENOTCONN.
        {"http-server-restart", "server killed at 1 s of play, back on its port", Want::kError, {-ENOTCONN}, 40,
         false,
         [span](CaseRun& r) {
             auto server = std::make_shared<qvtest::FaultServer>(0);
             auto own = std::make_shared<qvtest::AgentService>(
                 "{\"contents\": {" +
                 agentContent("restart", kMovie,
                              "\"play_redirect\": \"" + server->url("/slow-window/" + span + "20000/") +
                                  "\"") +
                 "}}");
             r.url = "restart";
             r.agent = own->hostPort();
             r.keep.push_back(server);
             r.keep.push_back(own);
             r.midPlay = [server](CaseRun&) {
                 std::this_thread::sleep_for(1s);
                 server->restart();
             };
         }},

        // --- HLS (the engine's own stack) ---------------------------------------------------------
        {"hls-master-404", "404 on the playlist", Want::kError, {-3012}, 25, true,
         at(faults.url("/status/404?as=.m3u8"))},
        {"hls-master-500", "500 on the playlist", Want::kError, {-8500}, 25, true,
         at(faults.url("/status/500?as=.m3u8"))},
        {"hls-redirect-loop", "playlist 302 to itself", Want::kError, {-8302}, 40, true,
         at(faults.url("/redirect-loop/302?as=.m3u8"))},
        {"hls-dns", "playlist host does not resolve", Want::kError, {-8006}, 40, true,
         at("http://nosuchhost.invalid/live.m3u8")},
        // Met while playing: the first two such errors of a session are held back for the next
        // underrun, and the end of the fetched data is none.
        {"hls-segment-404", "404 on segment 3", Want::kAbsorbed, {}, 25, true,
         at(hlsFault(vod, "seg=3&segvia=status/404"))},
        {"hls-segment-500", "500 on segment 3", Want::kError, {-8500}, 25, true,
         at(hlsFault(vod, "seg=3&segvia=status/500"))},
        {"hls-segment-reset", "reset inside segment 3", Want::kError, {-6156}, 25, true,
         at(hlsFault(vod, "seg=3&segvia=reset-at/30000"))},
        {"hls-segment-cut", "segment 3 cut short (FIN)", Want::kError, {-8028}, 25, true,
         at(hlsFault(vod, "seg=3&segvia=cut-at/30000"))},
        {"hls-segment-stall", "segment 3 stops mid-body", Want::kError, {-8028}, 30, true,
         at(hlsFault(vod, "seg=3&segvia=stall-at/30000"))},
        {"hls-segment-no-head", "segment 3 never answered (time-out 2 s)", Want::kError, {-6281}, 40, true,
         at(hlsFault(vod, "seg=3&segvia=stall-headers&sto=2"))},
        {"hls-key-404", "404 on every key", Want::kError, {-1004}, 25, true,
         at(hlsFault("hls/aes/index.m3u8", "keyvia=status/404"))},
        {"hls-key-reset", "reset inside every key", Want::kError, {-1004}, 25, true,
         at(hlsFault("hls/aes/index.m3u8", "keyvia=reset-at/5"))},
        // The host hears of a starved HLS player from the buffering check. These two cases fail
        // while the check shares the engine's event thread with the video event, which waits in
        // the decoder's read for a picture: when the decoder runs dry before a check has seen
        // less than the low mark queued (a fifth of the 2 s target duration once the marks are
        // steady), no check runs again and no 701 ever comes.
        {"hls-segment-trickle", "segment 3 at 800 B/s", Want::kStall, {}, 35, true,
         [&faults](CaseRun& r) {
             faults.setRate("hls/vod/v1/seg_003.ts", 800);
             r.url = faults.hlsRateUrl("hls/vod/v1/index.m3u8");
         }},
        {"hls-slow-recover", "segment 3 at 800 B/s until 701, then fast", Want::kRecover, {}, 60, true,
         [&faults](CaseRun& r) {
             faults.setRate("hls/vod/v0/seg_003.ts", 800);
             r.url = faults.hlsRateUrl(std::string("hls/vod/v0/index.m3u8"));
             r.midPlay = [&faults](CaseRun& run) {
                 run.seen.waitFor([](const Notification& n) { return isInfo(n, kInfoBufferingStart); }, 45000);
                 faults.setRate("hls/vod/v0/seg_003.ts", 0);
             };
         }},
        {"hls-frozen-live", "live playlist that never changes", Want::kComplete, {}, 40, true,
         at(faults.url("/file/hls/bad/live_frozen.m3u8"))},
        {"hls-live-ends", "live ffmpeg source stopped at 3 s of play", Want::kComplete, {}, 60, true,
         [](CaseRun& r) {
             // 2 s segments like the other presentations: the buffering marks are the process's,
             // and a 1 s target duration would lower them for every HLS case to 0.2 s, below what
             // a starved HLS player keeps queued (about 0.35 s), so no stall would show as 701.
             qvtest::LiveHlsOptions options;
             options.segmentSeconds = 2;
             auto live = std::make_shared<qvtest::LiveHls>(options);
             live->waitForSequence(2, 30000);
             r.url = live->url();
             r.keep.push_back(live);
             r.midPlay = [live](CaseRun&) {
                 std::this_thread::sleep_for(3s);
                 live->stop();
             };
         }},
        {"hls-server-restart", "server killed at 1 s of play, back on its port", Want::kComplete, {}, 60, true,
         [vod](CaseRun& r) {
             auto server = std::make_shared<qvtest::FaultServer>(0);
             r.url = server->url("/hls-fault/" + vod);
             r.keep.push_back(server);
             r.midPlay = [server](CaseRun&) {
                 std::this_thread::sleep_for(1s);
                 server->restart();
             };
         }},

        // --- The player agent ---------------------------------------------------------------------
        {"agent-unreachable", "nothing listens at the agent's address", Want::kOpenStatus, {-404}, 10, false,
         [refused](CaseRun& r) {
             r.url = "clip";
             r.agent = refused.substr(strlen("http://"));
         }},
        {"agent-open-junk", "open answer is cut-off JSON", Want::kOpenStatus, {-1007}, 10, false, agentAt("openjunk")},
        {"agent-play-500", "play request answers 500", Want::kError, {-8500}, 20, false, agentAt("play500")},
        {"agent-position-500", "every position report answers 500", Want::kError, {500}, 20, false,
         agentAt("position500")},
        {"agent-position-error", "position answer carries error -4101", Want::kError, {-4101}, 20, false,
         agentAt("positionerror")},
        {"agent-position-junk", "position answer is not JSON", Want::kComplete, {}, 40, false,
         agentAt("positionjunk")},
        {"agent-gone-mid-play", "agent killed at 1 s of play", Want::kError, {-404}, 30, false,
         [stream, nginx](CaseRun& r) {
             auto own = std::make_shared<qvtest::AgentService>(
                 "{\"contents\": {" + agentContent("away", stream, "\"play_redirect\": \"" + nginx + "/\"") + "}}");
             r.url = "away";
             r.agent = own->hostPort();
             r.keep.push_back(own);
             r.midPlay = [own](CaseRun&) {
                 std::this_thread::sleep_for(1s);
                 own->stop();
             };
         }},
    };

    agentService = std::make_unique<qvtest::AgentService>("{\"contents\": {" + [&] {
        std::string joined;
        for (const std::string& c : agentContents) joined += (joined.empty() ? "" : ", ") + c;
        return joined;
    }() + "}}");
    ASSERT_TRUE(agentService->ok());

    // QV_FAULT_CASES=name,name runs only those cases (their engine log is then readable).
    if (const char* only = getenv("QV_FAULT_CASES"); only != nullptr && *only != '\0') {
        const std::string wanted = std::string(",") + only + ",";
        cases.erase(std::remove_if(cases.begin(), cases.end(),
                                   [&](const Case& c) { return wanted.find("," + c.name + ",") == std::string::npos; }),
                    cases.end());
    }

    std::vector<Outcome> outcomes(cases.size());
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (size_t i = 0; i < cases.size(); ++i) {
        threads.emplace_back([&, i] { outcomes[i] = play(lib, cases[i]); });
    }
    for (std::thread& t : threads) t.join();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();

    printf("%-22s %-38s %-18s %-18s %7s %6s %s\n", "case", "fault", "expected", "got", "elapsed", "bound", "");
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const Outcome& o = outcomes[i];
        printf("%-22s %-38s %-18s %-18s %6.1fs %5ds %s\n", c.name.c_str(), c.fault.c_str(), expectedText(c).c_str(),
               o.got.c_str(), o.elapsed, c.boundSeconds, o.pass ? "ok" : "FAIL");
    }
    printf("%zu cases in %.1f s\n", cases.size(), wall);
    fflush(stdout);
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_TRUE(outcomes[i].pass) << cases[i].name << ": expected " << expectedText(cases[i]) << " within "
                                      << cases[i].boundSeconds << " s, got " << outcomes[i].got << " at "
                                      << outcomes[i].elapsed << " s; destroy took " << outcomes[i].destroySeconds
                                      << " s; notifications:" << outcomes[i].trace;
    }
}

}  // namespace
