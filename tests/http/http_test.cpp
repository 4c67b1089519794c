// The HTTP transport and the page cache against real servers: nginx on loopback (plain, TLS,
// throttled) and the project's fault-injecting server. Bytes are compared with the files on
// disk; every fault must end in its status within its time-out, and a stop must release a reader
// that waits on a silent server.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/CachedSource.h"
#include "engine/DataSource.h"
#include "engine/HttpDataSource.h"
#include "support/FaultServer.h"
#include "support/LogCapture.h"
#include "support/Media.h"
#include "support/Nginx.h"

using namespace velmor;
using qvtest::FaultServer;
using qvtest::mediaPath;
using qvtest::readWholeFile;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Reads [offset, offset + size) in one or more reads; the count read, or the first error.
ssize_t readFully(const Ref<DataSource>& source, int64_t offset, uint8_t* out, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = source->readAt(offset + static_cast<int64_t>(got), out + got, size - got);
        if (n < 0) return got > 0 ? static_cast<ssize_t>(got) : n;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// Everything from offset 0 to the end, in reads of `chunk` bytes.
std::vector<uint8_t> readToEnd(const Ref<DataSource>& source, size_t chunk, status_t* end) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> buf(chunk);
    for (;;) {
        ssize_t n = source->readAt(static_cast<int64_t>(out.size()), buf.data(), buf.size());
        if (n <= 0) {
            *end = static_cast<status_t>(n);
            return out;
        }
        out.insert(out.end(), buf.begin(), buf.begin() + n);
    }
}

Ref<HttpDataSource> connected(const std::string& url, int64_t offset = 0, status_t* status = nullptr) {
    Ref<HttpDataSource> http = new HttpDataSource;
    status_t err = http->connect(url.c_str(), nullptr, offset);
    if (status != nullptr) *status = err;
    return http;
}

// Reads at offsets that cross page edges, jump past what is cached and come back, and checks
// every byte against the file.
void checkScatteredReads(const Ref<DataSource>& source, const std::vector<uint8_t>& file, uint32_t seed) {
    std::mt19937 rng(seed);
    const int64_t size = static_cast<int64_t>(file.size());
    std::vector<int64_t> offsets = {0, 262144 - 3, 262144 * 2 - 1, size / 2, size - 70000, 5000, size - 1};
    for (int i = 0; i < 12; ++i) offsets.push_back(static_cast<int64_t>(rng() % static_cast<uint32_t>(size)));
    for (int64_t& offset : offsets) offset %= size;
    std::vector<uint8_t> buf;
    for (int64_t offset : offsets) {
        const size_t want = std::min<size_t>(1 + rng() % 300000, static_cast<size_t>(size - offset));
        buf.assign(want, 0);
        ssize_t n = readFully(source, offset, buf.data(), want);
        ASSERT_EQ(static_cast<ssize_t>(want), n) << "offset " << offset;
        ASSERT_EQ(0, memcmp(buf.data(), file.data() + offset, want)) << "offset " << offset;
    }
}

}  // namespace

// The same bytes as the file through the bare HTTP source and the cache, over http and https;
// the request carries the Host and Range lines the server needs.
TEST(HttpDataSource, BytesEqualTheFileOverHttpAndHttps) {
    REQUIRE_MEDIA("h264_aac.mp4");
    const std::vector<uint8_t> file = readWholeFile(mediaPath("h264_aac.mp4"));
    for (const std::string& base : {qvtest::nginxBase(), qvtest::nginxHttpsBase()}) {
        SCOPED_TRACE(base);
        const std::string url = base + "/h264_aac.mp4";
        status_t err = UNKNOWN_ERROR;
        Ref<HttpDataSource> http = connected(url, 0, &err);
        ASSERT_EQ(OK, err);
        EXPECT_EQ(OK, http->initCheck());
        int64_t size = 0;
        ASSERT_EQ(OK, http->getSize(&size));
        EXPECT_EQ(static_cast<int64_t>(file.size()), size);
        EXPECT_EQ(static_cast<uint32_t>(DataSource::kFlagNetwork | DataSource::kFlagSizeKnown), http->flags());
        status_t end = OK;
        EXPECT_EQ(file, readToEnd(http, 100000, &end));
        EXPECT_EQ(0, end);
        checkScatteredReads(http, file, 1);

        Ref<DataSource> cached = DataSource::CreateFromURI(url.c_str());
        ASSERT_NE(nullptr, cached);
        EXPECT_NE(nullptr, dynamic_cast<CachedSource*>(cached.get()));
        checkScatteredReads(cached, file, 2);
        EXPECT_EQ(file, readToEnd(cached, 32768, &end));
        EXPECT_EQ(ERROR_END_OF_STREAM, end);
        // Bytes still cached are served after the end was seen.
        uint8_t tail[100];
        EXPECT_EQ(100, cached->readAt(size - 100, tail, sizeof(tail)));
        EXPECT_EQ(0, memcmp(tail, file.data() + size - 100, 100));
    }

    // direct:// is the HTTP source alone; a scheme in capitals works the same; nothing listening
    // gives no source.
    std::string direct = "direct://" + qvtest::nginxBase().substr(strlen("http://")) + "/h264_aac.mp4";
    Ref<DataSource> bare = DataSource::CreateFromURI(direct.c_str());
    ASSERT_NE(nullptr, bare);
    EXPECT_NE(nullptr, dynamic_cast<HttpDataSource*>(bare.get()));
    std::string upper = "HTTP://" + qvtest::nginxBase().substr(strlen("http://")) + "/h264_aac.mp4";
    EXPECT_NE(nullptr, DataSource::CreateFromURI(upper.c_str()));
    EXPECT_EQ(nullptr, DataSource::CreateFromURI("http://127.0.0.1:1/nothing-listens-here"));

    FaultServer server;
    const std::string url = server.url("/file/h264_aac.mp4");
    Ref<HttpDataSource> http = connected(url);
    uint8_t buf[1000];
    ASSERT_EQ(1000, http->readAt(0, buf, sizeof(buf)));
    ASSERT_EQ(1000, http->readAt(5000, buf, sizeof(buf)));  // a jump: a new request at 5000
    EXPECT_EQ(0, memcmp(buf, file.data() + 5000, sizeof(buf)));
    const std::string requests = server.requests();
    const std::string hostLine = "Host: 127.0.0.1:" + std::to_string(server.port());
    EXPECT_NE(std::string::npos, requests.find("GET /file/h264_aac.mp4 HTTP/1.1\r\n" + hostLine + "\r\n"));
    EXPECT_NE(std::string::npos, requests.find("Range: bytes=5000-\r\n"));
    EXPECT_EQ(std::string::npos, requests.find("Range: bytes=0-"));
    EXPECT_NE(std::string::npos, requests.find("User-Agent: VelmorPlayer Windows/"));
    // Reading past the known length costs no request.
    server.resetRequests();
    EXPECT_EQ(0, http->readAt(static_cast<int64_t>(file.size()) + 10, buf, sizeof(buf)));
    EXPECT_EQ(std::string::npos, server.requests().find("GET /file/"));
}

// Every fault of the server ends in the status it deserves, within its time-out.
TEST(HttpDataSource, ServerFaultsGiveTheirStatus) {
    REQUIRE_MEDIA("h264_aac.mp4");
    const std::vector<uint8_t> file = readWholeFile(mediaPath("h264_aac.mp4"));
    FaultServer server;
    test::LogCapture log;

    struct Fault {
        const char* path;
        int64_t offset;
        status_t connect;  // status of connect
        status_t read;     // status of the first read that does not bring bytes (OK: none)
    };
    const status_t kTimedOutLine = -6200 - 81;  // libcurl's "again" past the receive time-out
    const status_t kResumes = 1;
    const Fault faults[] = {
        {"/redirect/301/0/h264_aac.mp4", 0, OK, OK},
        {"/redirect/302/3/h264_aac.mp4", 1000, OK, OK},
        {"/redirect/303/1/h264_aac.mp4", 0, OK, OK},
        {"/redirect/307/1/h264_aac.mp4", 0, OK, OK},
        {"/redirect-loop/302", 0, -8000 - 302, OK},
        {"/redirect-relative/301/h264_aac.mp4", 0, OK, OK},
        {"/redirect-ftp/302/h264_aac.mp4", 0, ERROR_MALFORMED, OK},
        {"/redirect-none/302", 0, ERROR_MALFORMED, OK},
        {"/ignore-range/h264_aac.mp4", 1000, ERROR_UNSUPPORTED, OK},
        {"/wrong-range/h264_aac.mp4", 1000, ERROR_MALFORMED, OK},
        {"/status/400", 0, -8400, OK},
        {"/status/404", 0, -8404, OK},
        {"/status/500", 0, -8500, OK},
        {"/chunked/h264_aac.mp4", 0, OK, OK},
        {"/chunked-trailers/h264_aac.mp4", 0, OK, OK},
        {"/chunked-bad-size", 0, OK, ERROR_MALFORMED},
        {"/chunked-no-terminator", 0, OK, ERROR_MALFORMED},
        {"/chunked-unsupported", 0, ERROR_UNSUPPORTED, OK},
        {"/no-length/h264_aac.mp4", 0, OK, OK},
        {"/long-header", 0, ERROR_MALFORMED, OK},
        {"/bad-status-line", 0, UNKNOWN_ERROR, OK},
        {"/bad-status-line/garbage", 0, UNKNOWN_ERROR, OK},
        {"/stall-mid-headers", 0, kTimedOutLine, OK},
        {"/status-1000", 0, UNKNOWN_ERROR, OK},
        {"/stall-headers", 0, kTimedOutLine, OK},
        // A body that stops short hands over what came; the next read reopens where it stopped.
        {"/stall-body/3000/h264_aac.mp4", 0, OK, kResumes},
        {"/close-body/3000/h264_aac.mp4", 0, OK, kResumes},
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.path);
        const auto start = Clock::now();
        Ref<HttpDataSource> http = new HttpDataSource;
        http->setReceiveTimeout(2);
        ASSERT_EQ(fault.connect, http->connect(server.url(fault.path).c_str(), nullptr, fault.offset));
        if (fault.connect != OK) {
            // Nothing wrong is ever handed out: a read tries again and fails the same way.
            uint8_t byte;
            EXPECT_EQ(fault.connect, http->readAt(fault.offset, &byte, 1));
            EXPECT_LT(secondsSince(start), 10.0);
            continue;
        }
        // A body without a length cannot promise one.
        if (strncmp(fault.path, "/no-length/", 11) == 0 || strncmp(fault.path, "/chunked", 8) == 0) {
            int64_t size = 0;
            EXPECT_EQ(ERROR_UNSUPPORTED, http->getSize(&size));
            EXPECT_EQ(static_cast<uint32_t>(DataSource::kFlagNetwork), http->flags());
        }
        // Read everything there is; bytes that come are the file's from the offset.
        std::vector<uint8_t> body;
        std::vector<uint8_t> buf(65536);
        ssize_t n = 0;
        while ((n = http->readAt(fault.offset + static_cast<int64_t>(body.size()), buf.data(), buf.size())) > 0) {
            body.insert(body.end(), buf.begin(), buf.begin() + n);
            if (fault.read == kResumes && body.size() >= 6000) break;
        }
        if (fault.read == kResumes) {
            EXPECT_EQ(6000u, body.size());
        } else if (fault.read != OK) {
            EXPECT_EQ(fault.read, n);
        } else {
            EXPECT_EQ(0, n);
            EXPECT_EQ(file.size() - static_cast<size_t>(fault.offset), body.size());
        }
        const size_t compared = std::min(body.size(), file.size() - static_cast<size_t>(fault.offset));
        if (compared > 0) {
            EXPECT_EQ(0, memcmp(body.data(), file.data() + fault.offset, compared));
        }
        EXPECT_LT(secondsSince(start), 10.0);
    }

    // X-SocketTimeout: a number replaces the receive time-out, anything else is refused.
    Ref<HttpDataSource> http = connected(server.url("/socket-timeout/30/h264_aac.mp4"));
    EXPECT_EQ(30, http->receiveTimeout());
    http = connected(server.url("/socket-timeout/30s/h264_aac.mp4"));
    EXPECT_EQ(HttpConnection::kDefaultReceiveTimeoutS, http->receiveTimeout());
    EXPECT_TRUE(log.contains("Illegal X-SocketTimeout value given."));

    // A trickle below 1 KiB/s still delivers the file's bytes.
    http = connected(server.url("/trickle/500/h264_aac.mp4"));
    uint8_t slow[2048];
    ssize_t n = http->readAt(0, slow, sizeof(slow));
    ASSERT_GT(n, 0);
    EXPECT_EQ(0, memcmp(slow, file.data(), static_cast<size_t>(n)));

    // Bad addresses never reach the network.
    for (const char* bad : {"ftp://127.0.0.1/x", "http://", "http://host:99999/x", "http://host:12ab/x", "127.0.0.1/x"}) {
        status_t err = OK;
        connected(bad, 0, &err);
        EXPECT_EQ(ERROR_MALFORMED, err) << bad;
    }
}

// A reader waiting on a silent server (before the headers or in the body, bare or through the
// cache) is released by the stop flag, and a cache over a silent server is destroyed promptly.
TEST(HttpDataSource, StopReleasesReadersOfASilentServer) {
    REQUIRE_MEDIA("h264_aac.mp4");
    FaultServer server;
    constexpr double kStopBoundS = 1.0;  // from the stop to the reader's return

    // Runs `read` (which must block on the server), raises the stop flag 400 ms in, and checks
    // that `read` returns USER_STOP within the bound after it.
    auto expectReleasedByStop = [&](const Ref<DataSource>& source, const std::function<ssize_t()>& read) {
        Clock::time_point stoppedAt = Clock::now() + std::chrono::hours(1);
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            stoppedAt = Clock::now();
            source->setStopFlag(DataSource::kStopFlagStop);
        });
        EXPECT_EQ(USER_STOP, read());
        const auto returnedAt = Clock::now();
        stopper.join();
        EXPECT_GT(returnedAt, stoppedAt);
        EXPECT_LT(std::chrono::duration<double>(returnedAt - stoppedAt).count(), kStopBoundS);
    };
    uint8_t buf[4096];
    const std::string stallBody = server.url("/stall-body/1000/h264_aac.mp4");

    // Before the headers: connect itself waits on the server.
    Ref<HttpDataSource> http = new HttpDataSource;
    expectReleasedByStop(http, [&] { return http->connect(server.url("/stall-headers").c_str(), nullptr, 0); });
    // In the body; later reads stop at once too.
    http = connected(stallBody);
    ASSERT_EQ(1000, http->readAt(0, buf, 1000));
    expectReleasedByStop(http, [&] { return http->readAt(1000, buf, sizeof(buf)); });
    EXPECT_EQ(USER_STOP, http->readAt(1000, buf, sizeof(buf)));
    // Through the cache: the reader waits on the looper, which waits on the server.
    Ref<CachedSource> cached = new CachedSource(connected(stallBody), nullptr, false);
    cached->start();
    ASSERT_EQ(1000, readFully(cached, 0, buf, 1000));
    expectReleasedByStop(cached, [&] { return cached->readAt(1000, buf, sizeof(buf)); });
    // Destroying a cache whose looper waits on the server.
    Ref<DataSource> silent = DataSource::CreateFromURI(stallBody.c_str());
    ASSERT_NE(nullptr, silent);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = Clock::now();
    silent.clear();
    EXPECT_LT(secondsSince(start), kStopBoundS);
}

// The window stays within the high-water mark while a slow reader walks a large file, pages are
// recycled, fetching restarts at the low-water mark; with disconnect-at-high-water the
// connection is dropped and reopened where the cache ends.
TEST(CachedSource, WindowFollowsASlowReader) {
    REQUIRE_MEDIA("random_40m.bin");
    const std::vector<uint8_t> file = readWholeFile(mediaPath("random_40m.bin"));
    constexpr int64_t kLow = 4 << 20, kHigh = 8 << 20;
    FaultServer server;
    for (bool disconnect : {false, true}) {
        SCOPED_TRACE(disconnect ? "disconnect at high water" : "keep the connection");
        server.resetRequests();
        const std::string url = disconnect ? server.url("/file/random_40m.bin") : qvtest::nginxUrl("random_40m.bin");
        Ref<HttpDataSource> http = connected(url);
        ASSERT_EQ(OK, http->initCheck());
        Ref<CachedSource> cached = new CachedSource(http, "4096/8192/0", disconnect);
        EXPECT_EQ(kLow, cached->lowwaterBytes());
        EXPECT_EQ(kHigh, cached->highwaterBytes());
        cached->start();

        std::vector<uint8_t> buf(200000);
        int64_t offset = 0;
        int64_t maxAhead = 0;
        int refills = 0;  // times the window ahead dropped below low water and filled up again
        bool belowLow = false;
        while (offset < static_cast<int64_t>(file.size())) {
            ssize_t n = cached->readAt(offset, buf.data(), buf.size());
            ASSERT_GT(n, 0) << "offset " << offset;
            ASSERT_EQ(0, memcmp(buf.data(), file.data() + offset, static_cast<size_t>(n))) << "offset " << offset;
            offset += n;
            status_t final = OK;
            int64_t ahead = cached->approxDataRemaining(&final);
            maxAhead = std::max(maxAhead, ahead);
            if (ahead < kLow) belowLow = true;
            if (belowLow && ahead > kLow + (2 << 20)) {
                ++refills;
                belowLow = false;
            }
            // A slow reader: the fetcher gets ahead of it.
            if (offset < 30 << 20) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        // A read larger than the window is served in parts, each the file's bytes.
        std::vector<uint8_t> huge(3 * kHigh);
        ssize_t n = cached->readAt(kHigh, huge.data(), huge.size());
        ASSERT_GT(n, 0);
        EXPECT_LE(n, kHigh);
        EXPECT_EQ(0, memcmp(huge.data(), file.data() + kHigh, static_cast<size_t>(n)));
        // Within high water plus one fetch, never more.
        EXPECT_LE(maxAhead, kHigh + static_cast<int64_t>(CachedSource::kPageSize));
        EXPECT_GE(refills, 2);
        // Pages were reused: never more than the window (plus the margin behind the reader).
        EXPECT_LE(cached->allocatedPages(), static_cast<size_t>((kHigh + (2 << 20)) / CachedSource::kPageSize));
        if (disconnect) {
            const std::string requests = server.requests();
            size_t reopened = 0;
            for (size_t at = requests.find("Range: bytes="); at != std::string::npos;
                 at = requests.find("Range: bytes=", at + 1)) {
                ++reopened;
            }
            EXPECT_GE(reopened, 2u);
        }
    }
}

// The estimate from the cache's fetches matches a throttled server within 20 %.
TEST(CachedSource, BandwidthEstimateMatchesAThrottledServer) {
    REQUIRE_MEDIA("random_40m.bin");
    constexpr int32_t kRateBytesPerS = 1 << 20;
    Ref<HttpDataSource> http = connected(qvtest::nginxRateUrl(kRateBytesPerS, "random_40m.bin"));
    ASSERT_EQ(OK, http->initCheck());
    Ref<CachedSource> cached = new CachedSource(http, nullptr, false);
    EXPECT_EQ(BAD_VALUE, cached->setBandwidthStatCollectFreq(999));
    EXPECT_EQ(OK, cached->setBandwidthStatCollectFreq(1000));
    cached->start();
    int32_t kbps = 0;
    const auto start = Clock::now();
    while (secondsSince(start) < 30.0) {
        ASSERT_EQ(OK, cached->getEstimatedBandwidthKbps(&kbps));
        if (kbps > 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const double expectedKbps = kRateBytesPerS * 8.0 / 1000.0;
    EXPECT_NEAR(expectedKbps, kbps, expectedKbps * 0.2);
    int32_t bps = 0;
    ASSERT_TRUE(http->estimateBandwidth(&bps));
    EXPECT_NEAR(expectedKbps * 1000.0, bps, expectedKbps * 1000.0 * 0.2);
}

// Cache settings and the headers that carry them.
TEST(CachedSource, ConfigurationFromHeaders) {
    DataSource::Headers headers;
    headers.add(KeyValuePair<Text8, Text8>(Text8("x-cache-config"), Text8("4096/16384/0")));
    headers.add(KeyValuePair<Text8, Text8>(Text8("x-disconnect-at-highwatermark"), Text8("1")));
    headers.add(KeyValuePair<Text8, Text8>(Text8("Cookie"), Text8("a=b")));
    Text8 config;
    bool disconnect = false;
    CachedSource::RemoveCacheSpecificHeaders(&headers, &config, &disconnect);
    EXPECT_STREQ("4096/16384/0", config.c_str());
    EXPECT_TRUE(disconnect);
    ASSERT_EQ(1u, headers.size());
    EXPECT_STREQ("Cookie", headers[0].key.c_str());

    struct Case {
        const char* config;
        bool disconnect;
        int64_t low, high, keepAliveUs;
    };
    const Case cases[] = {
        {"4096/16384/0", false, 4 << 20, 16 << 20, 0},
        {"16384/4096/10", false, 8 << 20, 24 << 20, 10000000},  // marks the wrong way round
        {"-1/-1/-1", false, 8 << 20, 24 << 20, 15000000},
        {"garbage", false, 8 << 20, 24 << 20, 15000000},
        {"1024/2048/20", true, 1 << 20, 2 << 20, 0},  // no keep-alive when disconnecting
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        Ref<CachedSource> cached = new CachedSource(new HttpDataSource, c.config, c.disconnect);
        EXPECT_EQ(c.low, cached->lowwaterBytes());
        EXPECT_EQ(c.high, cached->highwaterBytes());
        EXPECT_EQ(c.keepAliveUs, cached->keepAliveIntervalUs());
    }
}
