// The HLS test infrastructure itself: the generated presentations are what their playlists say,
// the live source slides and what nginx serves of it equals the saved copies, the per-prefix
// throttle slows a transfer and can be lifted mid-way, and the fault server's HLS paths answer
// as documented. Needs the test services (nginx) and the fixtures.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/FaultServer.h"
#include "support/LiveHls.h"
#include "support/Media.h"
#include "support/Nginx.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kHttpTimeoutMs = 60000;
constexpr int kLiveTimeoutMs = 40000;  // ffmpeg runs in real time; the machine may be slow

struct Reply {
    int status = 0;
    std::string head;
    std::string body;
    int64_t contentLength = -1;
    bool complete() const { return contentLength >= 0 && body.size() == static_cast<size_t>(contentLength); }
};

// GET on a fresh loopback connection ("Connection: close"), read until the server closes.
Reply httpGet(const std::string& url, const std::string& extraHeaders = "") {
    Reply reply;
    const std::string scheme = "http://";
    if (url.compare(0, scheme.size(), scheme) != 0) return reply;
    size_t pathAt = url.find('/', scheme.size());
    std::string hostPort = url.substr(scheme.size(), pathAt - scheme.size());
    std::string path = pathAt == std::string::npos ? "/" : url.substr(pathAt);
    size_t colon = hostPort.rfind(':');
    int port = colon == std::string::npos ? 80 : std::atoi(hostPort.c_str() + colon + 1);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return reply;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    std::string data;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
        std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + hostPort + "\r\n" + extraHeaders +
                              "Connection: close\r\n\r\n";
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            auto deadline = Clock::now() + std::chrono::milliseconds(kHttpTimeoutMs);
            for (;;) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
                pollfd pfd{fd, POLLIN, 0};
                if (left <= 0 || ::poll(&pfd, 1, static_cast<int>(left)) <= 0) break;
                char buffer[65536];
                ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
                if (n <= 0) break;
                data.append(buffer, static_cast<size_t>(n));
            }
        }
    }
    close(fd);
    size_t bodyAt = data.find("\r\n\r\n");
    if (bodyAt == std::string::npos) return reply;
    reply.head = data.substr(0, bodyAt + 2);
    reply.body = data.substr(bodyAt + 4);
    sscanf(reply.head.c_str(), "HTTP/1.1 %d", &reply.status);
    size_t length = reply.head.find("\r\nContent-Length: ");
    if (length != std::string::npos) reply.contentLength = std::atoll(reply.head.c_str() + length + 18);
    return reply;
}

std::string fileText(const std::string& path) {
    std::vector<uint8_t> bytes = qvtest::readWholeFile(path);
    return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

// The addresses (non-tag lines) of a playlist.
std::vector<std::string> uris(const std::string& text) {
    std::vector<std::string> out;
    for (const std::string& line : lines(text))
        if (!line.empty() && line[0] != '#') out.push_back(line);
    return out;
}

int64_t mediaSequence(const std::string& text) {
    size_t at = text.find("#EXT-X-MEDIA-SEQUENCE:");
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + 22);
}

// "WIDTHxHEIGHT" of the first video stream ffprobe finds at path (a playlist or a segment).
std::string probeSize(const std::string& path) {
    std::vector<uint8_t> out = qvtest::runCommand(
        "ffprobe -v error -allowed_extensions ALL -select_streams v:0 -show_entries stream=width,height "
        "-of csv=p=0:s=x '" + path + "' 2>/dev/null");
    // A playlist lists its streams once per program too: the first non-empty line answers.
    for (const std::string& line : lines(std::string(out.begin(), out.end())))
        if (!line.empty()) return line;
    return {};
}

std::vector<uint8_t> fromHex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// AES-128-CBC with PKCS#7 padding removed; empty on any failure.
std::vector<uint8_t> decrypt(const std::vector<uint8_t>& in, const std::vector<uint8_t>& key,
                             const std::vector<uint8_t>& iv) {
    std::vector<uint8_t> out(in.size() + 16);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0, tail = 0;
    bool ok = ctx != nullptr && key.size() == 16 && iv.size() == 16 &&
              EVP_DecryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key.data(), iv.data()) == 1 &&
              EVP_DecryptUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size())) == 1 &&
              EVP_DecryptFinal_ex(ctx, out.data() + n, &tail) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) return {};
    out.resize(static_cast<size_t>(n + tail));
    return out;
}

std::string bytesText(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

TEST(HlsMedia, FixturesAreWhatTheirPlaylistsSay) {
    REQUIRE_MEDIA("hls/vod/master.m3u8");
    const std::string hls = qvtest::mediaPath("hls");

    // Three variants with distinct bandwidths, each the size its RESOLUTION says, cut at the
    // same times.
    std::vector<std::string> master = lines(fileText(hls + "/vod/master.m3u8"));
    std::vector<int64_t> bandwidths;
    std::vector<std::string> variantSegments;
    for (size_t i = 0; i + 1 < master.size(); ++i) {
        if (master[i].rfind("#EXT-X-STREAM-INF:", 0) != 0) continue;
        size_t bw = master[i].find("BANDWIDTH=");
        size_t res = master[i].find("RESOLUTION=");
        ASSERT_NE(bw, std::string::npos) << master[i];
        ASSERT_NE(res, std::string::npos) << master[i];
        bandwidths.push_back(std::atoll(master[i].c_str() + bw + 10));
        std::string resolution = master[i].substr(res + 11, master[i].find(',', res) - res - 11);
        std::string variant = hls + "/vod/" + master[i + 1];
        EXPECT_EQ(probeSize(variant), resolution) << variant;
        std::string text = fileText(variant);
        EXPECT_NE(text.find("#EXT-X-ENDLIST"), std::string::npos);
        variantSegments.push_back(text.substr(text.find("#EXTINF")));
    }
    ASSERT_EQ(bandwidths.size(), 3u);
    EXPECT_LT(bandwidths[0], bandwidths[1]);
    EXPECT_LT(bandwidths[1], bandwidths[2]);
    EXPECT_EQ(variantSegments[0], variantSegments[1]);
    EXPECT_EQ(variantSegments[0], variantSegments[2]);
    EXPECT_EQ(uris(variantSegments[0]).size(), 10u);

    // One file, every segment a byte range following the previous one to the file's end.
    std::string single = fileText(hls + "/single/index.m3u8");
    int64_t next = 0, ranges = 0;
    for (const std::string& line : lines(single)) {
        long long length = 0, offset = 0;
        if (sscanf(line.c_str(), "#EXT-X-BYTERANGE:%lld@%lld", &length, &offset) == 2) {
            EXPECT_EQ(offset, next);
            next = offset + length;
            ++ranges;
        }
    }
    EXPECT_GE(ranges, 9);
    EXPECT_EQ(next, static_cast<int64_t>(qvtest::readWholeFile(hls + "/single/media.ts").size()));
    EXPECT_EQ(probeSize(hls + "/single/index.m3u8"), "640x360");

    // The size changes at the discontinuity.
    std::vector<std::string> disc = uris(fileText(hls + "/disc/index.m3u8"));
    ASSERT_EQ(disc.size(), 8u);
    EXPECT_EQ(probeSize(hls + "/disc/" + disc[3]), "320x180");
    EXPECT_EQ(probeSize(hls + "/disc/" + disc[4]), "640x360");
    std::string discText = fileText(hls + "/disc/index.m3u8");
    EXPECT_LT(discText.find(disc[3]), discText.find("#EXT-X-DISCONTINUITY"));
    EXPECT_GT(discText.find(disc[4]), discText.find("#EXT-X-DISCONTINUITY"));

    // Every encrypted segment decrypts to its clear copy with the key and vector keys.txt names;
    // the key files hold those keys; ffmpeg's own reader agrees.
    std::ifstream keys(hls + "/aes/keys.txt");
    std::string seq, name, keyHex, ivHex;
    int encrypted = 0, clear = 0;
    while (keys >> seq >> name >> keyHex >> ivHex) {
        std::vector<uint8_t> clearBytes = qvtest::readWholeFile(hls + "/aes_clear/" + name);
        std::vector<uint8_t> stored = qvtest::readWholeFile(hls + "/aes/" + name);
        ASSERT_FALSE(clearBytes.empty()) << name;
        ASSERT_EQ(clearBytes[0], 0x47) << name;
        if (keyHex == "-") {
            EXPECT_EQ(stored, clearBytes) << name;
            ++clear;
            continue;
        }
        EXPECT_NE(stored, clearBytes) << name;
        EXPECT_EQ(decrypt(stored, fromHex(keyHex), fromHex(ivHex)), clearBytes) << name;
        ++encrypted;
    }
    EXPECT_EQ(encrypted, 8);
    EXPECT_EQ(clear, 2);
    EXPECT_EQ(qvtest::readWholeFile(hls + "/aes/key_1.key"), fromHex("101112131415161718191a1b1c1d1e1f"));
    EXPECT_EQ(probeSize(hls + "/aes/index.m3u8"), "320x180");

    // The faults are really there.
    EXPECT_EQ(qvtest::readWholeFile(hls + "/bad/short.key").size(), 15u);
    EXPECT_FALSE(qvtest::fileExists(hls + "/bad/missing.key"));
    EXPECT_FALSE(qvtest::fileExists(hls + "/bad/gone_002.ts"));
    std::vector<uint8_t> notTs = qvtest::readWholeFile(hls + "/bad/not_ts_000.ts");
    ASSERT_GT(notTs.size(), 8u);
    EXPECT_NE(notTs[0], 0x47);
    EXPECT_EQ(bytesText(std::vector<uint8_t>(notTs.begin() + 4, notTs.begin() + 8)), "ftyp");
    std::vector<std::string> noBandwidth = lines(fileText(hls + "/bad/master_no_bandwidth.m3u8"));
    ASSERT_GE(noBandwidth.size(), 6u);
    EXPECT_NE(noBandwidth[2].find("BANDWIDTH="), std::string::npos);
    EXPECT_EQ(noBandwidth[4].find("BANDWIDTH="), std::string::npos);
    EXPECT_EQ(fileText(hls + "/bad/live_frozen.m3u8").find("#EXT-X-ENDLIST"), std::string::npos);
}

TEST(HlsMedia, LiveSourceSlidesAndNginxServesWhatWasSaved) {
    const std::string base = qvtest::nginxBase();
    ASSERT_FALSE(base.empty());
    qvtest::LiveHls live;
    ASSERT_TRUE(live.running());
    ASSERT_TRUE(live.waitForSequence(2, kLiveTimeoutMs)) << live.log();

    Reply early = httpGet(live.url());
    ASSERT_EQ(early.status, 200) << live.url();
    EXPECT_EQ(early.body.find("#EXT-X-ENDLIST"), std::string::npos);
    int64_t earlyFirst = mediaSequence(early.body);
    ASSERT_GE(earlyFirst, 0);

    // The window slides past its size: at sequence 7 the window no longer starts at 0.
    ASSERT_TRUE(live.waitForSequence(7, kLiveTimeoutMs)) << live.log();
    Reply later = httpGet(live.url());
    ASSERT_EQ(later.status, 200);
    int64_t laterFirst = mediaSequence(later.body);
    std::vector<std::string> listed = uris(later.body);
    EXPECT_GT(laterFirst, earlyFirst);
    EXPECT_LE(listed.size(), 5u);
    ASSERT_FALSE(listed.empty());

    // A listed segment from nginx is byte for byte the saved copy.
    int64_t newest = laterFirst + static_cast<int64_t>(listed.size()) - 1;
    EXPECT_EQ(listed.back(), qvtest::LiveHls::segmentName(newest));
    Reply segment = httpGet(live.segmentUrl(newest));
    ASSERT_EQ(segment.status, 200);
    ASSERT_TRUE(segment.complete());
    std::vector<uint8_t> saved = live.segmentBytes(newest);
    ASSERT_FALSE(saved.empty());
    EXPECT_EQ(segment.body, bytesText(saved));

    // Segment 0 has left the window and (soon after) the disk, but its copy stayed.
    int oldStatus = 0;
    for (auto deadline = Clock::now() + std::chrono::seconds(10); Clock::now() < deadline;) {
        oldStatus = httpGet(live.segmentUrl(0)).status;
        if (oldStatus == 404) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_EQ(oldStatus, 404);
    std::vector<uint8_t> first = live.segmentBytes(0);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first[0], 0x47);

    live.stop();
    EXPECT_FALSE(live.running());
    EXPECT_TRUE(live.window().ended);
}

TEST(HlsMedia, ThrottleSlowsOnePrefixAndLiftsMidTransfer) {
    REQUIRE_MEDIA("hls/vod/v2/seg_000.ts");
    qvtest::FaultServer server;
    ASSERT_TRUE(server.ok());
    const std::string range = "Range: bytes=0-149999\r\n";

    // 150 kB at 100 kB/s: well over a second, while the other variant is not held back.
    ASSERT_TRUE(server.setRate("hls/vod/v2/", 100000));
    auto began = Clock::now();
    Reply slow = httpGet(server.hlsRateUrl("hls/vod/v2/seg_000.ts"), range);
    double slowSeconds = std::chrono::duration<double>(Clock::now() - began).count();
    ASSERT_EQ(slow.status, 206);
    EXPECT_TRUE(slow.complete());
    EXPECT_GE(slowSeconds, 1.0);

    began = Clock::now();
    Reply other = httpGet(server.hlsRateUrl("hls/vod/v0/seg_000.ts"), range);
    double otherSeconds = std::chrono::duration<double>(Clock::now() - began).count();
    EXPECT_EQ(other.status, 206);
    EXPECT_LT(otherSeconds, slowSeconds);

    // 20 kB/s would take half a minute for the whole segment; lifted after half a second, the
    // transfer under way finishes at once with the right bytes.
    ASSERT_TRUE(server.setRate("hls/vod/v2/", 20000));
    Reply whole;
    began = Clock::now();
    std::thread fetch([&] { whole = httpGet(server.hlsRateUrl("hls/vod/v2/seg_000.ts")); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(server.clearRates());
    fetch.join();
    double wholeSeconds = std::chrono::duration<double>(Clock::now() - began).count();
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body, bytesText(qvtest::readWholeFile(qvtest::mediaPath("hls/vod/v2/seg_000.ts"))));
    EXPECT_LT(wholeSeconds, 15.0);

    // Variant addresses are relative, so the whole presentation goes through the throttle.
    Reply master = httpGet(server.hlsRateUrl("hls/vod/master.m3u8"));
    ASSERT_EQ(master.status, 200);
    for (const std::string& uri : uris(master.body)) EXPECT_EQ(uri.find("://"), std::string::npos) << uri;
}

TEST(HlsMedia, FaultPathsAnswerAsDocumented) {
    REQUIRE_MEDIA("hls/bad/live_frozen.m3u8");
    qvtest::FaultServer server;
    ASSERT_TRUE(server.ok());

    // The media sequence follows the list per request, then stays at the last value.
    const std::string jumping = server.url("/live-seq/10,11,5/hls/vod/v0/index.m3u8");
    std::vector<int64_t> seen;
    std::string firstBody;
    for (int i = 0; i < 4; ++i) {
        Reply r = httpGet(jumping);
        ASSERT_EQ(r.status, 200);
        EXPECT_EQ(r.body.find("#EXT-X-ENDLIST"), std::string::npos);
        EXPECT_EQ(uris(r.body).size(), 5u);
        seen.push_back(mediaSequence(r.body));
        if (i == 0) firstBody = r.body;
    }
    EXPECT_EQ(seen, (std::vector<int64_t>{10, 11, 5, 5}));
    // Sequence 10 is the pool's segment 0 (10 modulo 10), fetchable at the address listed.
    std::string firstUri = uris(firstBody).at(0);
    EXPECT_EQ(firstUri, server.url("/file/hls/vod/v0/seg_000.ts"));
    Reply seg = httpGet(firstUri);
    EXPECT_EQ(seg.body, bytesText(qvtest::readWholeFile(qvtest::mediaPath("hls/vod/v0/seg_000.ts"))));
    server.resetRequests();
    EXPECT_EQ(mediaSequence(httpGet(jumping).body), 10);

    // The cut stays at file offset 50000 whatever range is asked for.
    const std::string cut = server.url("/cut-at/50000/hls/vod/v0/seg_000.ts");
    Reply whole = httpGet(cut);
    EXPECT_EQ(whole.status, 200);
    EXPECT_GT(whole.contentLength, 50000);
    EXPECT_EQ(whole.body.size(), 50000u);
    Reply resumed = httpGet(cut, "Range: bytes=40000-\r\n");
    EXPECT_EQ(resumed.status, 206);
    EXPECT_EQ(resumed.body.size(), 10000u);
    EXPECT_FALSE(resumed.complete());
    Reply past = httpGet(cut, "Range: bytes=60000-\r\n");
    EXPECT_EQ(past.status, 206);
    EXPECT_TRUE(past.body.empty());

    // The frozen live playlist is the same every time; error statuses are there for playlists.
    Reply frozen1 = httpGet(server.url("/file/hls/bad/live_frozen.m3u8"));
    Reply frozen2 = httpGet(server.url("/file/hls/bad/live_frozen.m3u8"));
    EXPECT_EQ(frozen1.status, 200);
    EXPECT_EQ(frozen1.body, frozen2.body);
    EXPECT_EQ(httpGet(server.url("/status/404")).status, 404);
    EXPECT_EQ(httpGet(server.url("/status/500")).status, 500);
}
