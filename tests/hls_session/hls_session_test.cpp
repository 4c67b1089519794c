// The live session against real servers: nginx serving presentations the ffmpeg command wrote
// (variants, byte ranges, AES-128 with rotating keys, a discontinuity), the fault server for
// broken ones. What the session queues is read back from its byte queue, 188 bytes at a time,
// and compared with the segment files on disk.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/hls/HLSSession.h"
#include "support/FaultServer.h"
#include "support/LiveHls.h"
#include "support/Media.h"
#include "support/Nginx.h"

namespace {

using namespace velmor;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr size_t kPacket = 188;

// Receives the session's notifications on a looper of its own.
class NotifyRecorder : public Handler {
public:
    struct Note {
        int32_t what;
        int32_t err;
    };
    bool waitFor(size_t n, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> l(mMutex);
        return mCond.wait_for(l, timeout, [&] { return mNotes.size() >= n; });
    }
    std::vector<Note> notes() {
        std::lock_guard<std::mutex> l(mMutex);
        return mNotes;
    }

protected:
    void onMessageReceived(const Ref<Message>& msg) override {
        Note note{-1, 0};
        msg->findInt32("what", &note.what);
        msg->findInt32("err", &note.err);
        {
            std::lock_guard<std::mutex> l(mMutex);
            mNotes.push_back(note);
        }
        mCond.notify_all();
    }

private:
    std::mutex mMutex;
    std::condition_variable mCond;
    std::vector<Note> mNotes;
};

// What came out of the byte queue: the segments' bytes, and each marker with the number of
// segment bytes read before it.
struct Queued {
    std::vector<uint8_t> bytes;
    struct Marker {
        size_t at;
        uint8_t flags;
        int64_t timeUs;
    };
    std::vector<Marker> markers;
    status_t end = OK;
};

// A session with its notification looper; disconnected and released at the end.
class Session {
public:
    explicit Session(bool timeshift = false) {
        looper->setName("hls_test_notify");
        looper->registerHandler(recorder);
        looper->start();
        session = new HLSSession(timeshift, new Message(0, recorder->id()));
    }
    ~Session() {
        session->disconnect();
        session.clear();
        looper->unregisterHandler(recorder->id());
        looper->stop();
    }
    // Reads packets until `limit` segment bytes arrived or the queue ended.
    Queued read(size_t limit = SIZE_MAX, std::chrono::milliseconds timeout = 60s) {
        Queued out;
        Ref<HLSDataSource> source = session->getDataSource();
        uint8_t packet[kPacket];
        const auto deadline = Clock::now() + timeout;
        while (out.bytes.size() < limit && Clock::now() < deadline) {
            const ssize_t n = source->readAt(offset, packet, kPacket);
            if (n <= 0) {
                out.end = static_cast<status_t>(n);
                break;
            }
            offset += n;
            if (packet[0] == 0 && n == static_cast<ssize_t>(kPacket)) {
                int64_t t = 0;
                for (int i = 7; i >= 0; --i) t = (t << 8) | packet[2 + i];
                out.markers.push_back({out.bytes.size(), packet[1], t});
            } else {
                out.bytes.insert(out.bytes.end(), packet, packet + n);
            }
        }
        return out;
    }

    Ref<Looper> looper = new Looper;
    Ref<NotifyRecorder> recorder = new NotifyRecorder;
    Ref<HLSSession> session;
    int64_t offset = 0;
};

std::vector<uint8_t> fileBytes(const std::string& relative) { return qvtest::readWholeFile(qvtest::mediaPath(relative)); }

std::vector<uint8_t> concat(const std::string& folder, const char* pattern, int first, int count) {
    std::vector<uint8_t> out;
    for (int i = first; i < first + count; ++i) {
        char name[64];
        snprintf(name, sizeof(name), pattern, i);
        const std::vector<uint8_t> part = fileBytes(folder + "/" + name);
        EXPECT_FALSE(part.empty()) << folder << "/" << name;
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// The segment file names a media playlist lists, in order.
std::vector<std::string> segmentNames(const std::string& playlist) {
    std::ifstream in(qvtest::mediaPath(playlist));
    std::vector<std::string> names;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] != '#') names.push_back(line);
    }
    return names;
}

std::vector<uint8_t> segmentsOf(const std::string& folder) {
    std::vector<uint8_t> out;
    for (const std::string& name : segmentNames(folder + "/index.m3u8")) {
        const std::vector<uint8_t> part = fileBytes(folder + "/" + name);
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

class HlsSession : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_MEDIA("hls/vod/master.m3u8");
        base = qvtest::nginxBase();
        ASSERT_FALSE(base.empty());
    }
    std::string url(const std::string& relative) const { return base + "/" + relative; }
    std::string base;
};

// A master playlist: the variants sorted by bandwidth with their names, the first listed one
// played, every byte of its segments queued in order after one seek marker at time 0, then the
// end; duration and liveness from the complete playlist.
TEST_F(HlsSession, VodMasterPlaylistQueuesTheFirstVariantsSegments) {
    Session s;
    s.session->connectAsync(url("hls/vod/master.m3u8").c_str());
    const Queued q = s.read();
    EXPECT_EQ(q.end, ERROR_END_OF_STREAM);
    const std::vector<BandwidthItem> items = s.session->bandwidthItems();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_LT(items[0].mBandwidth, items[1].mBandwidth);
    EXPECT_LT(items[1].mBandwidth, items[2].mBandwidth);
    EXPECT_STREQ(items[0].mName.c_str(), "180P");
    EXPECT_STREQ(items[2].mName.c_str(), "720P");
    const std::vector<uint8_t> expected = segmentsOf("hls/vod/v0");
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(q.bytes.size(), expected.size());
    EXPECT_TRUE(q.bytes == expected) << "the queued bytes differ from the variant's segments";
    ASSERT_EQ(q.markers.size(), 1u);
    EXPECT_EQ(q.markers[0].at, 0u);
    EXPECT_EQ(q.markers[0].flags, HLSSession::kMarkerHasTime);
    EXPECT_EQ(q.markers[0].timeUs, 0);
    int64_t durationUs = 0;
    ASSERT_EQ(OK, s.session->getDuration(&durationUs));
    EXPECT_EQ(durationUs, 20000000);
    EXPECT_FALSE(s.session->isLive());
    EXPECT_TRUE(s.session->isSeekable());
    ASSERT_TRUE(s.recorder->waitFor(1, 1s));
    EXPECT_EQ(s.recorder->notes()[0].what, HLSSession::kWhatReady);
}

// A variant chosen by name at connect plays from its first segment; another name chosen while
// playing takes over after a format-change marker, and the rest comes from that variant.
TEST_F(HlsSession, VariantsChosenByName) {
    Session s;
    s.session->connectAsync(url("hls/vod/master.m3u8").c_str(), "720P");
    const std::vector<std::string> names = segmentNames("hls/vod/v2/index.m3u8");
    const std::vector<uint8_t> first = fileBytes("hls/vod/v2/" + names[0]);
    const Queued start = s.read(first.size());
    ASSERT_GE(start.bytes.size(), first.size());
    EXPECT_TRUE(std::equal(first.begin(), first.end(), start.bytes.begin())) << "not the 720P variant";
    s.session->setBandwidth("360P");
    const Queued rest = s.read();
    EXPECT_EQ(rest.end, ERROR_END_OF_STREAM);
    ASSERT_FALSE(rest.markers.empty()) << "no marker at the switch";
    const Queued::Marker& m = rest.markers.back();
    EXPECT_EQ(m.flags, HLSSession::kMarkerFormatChange);
    // After the marker: the 360P variant's segments to the end.
    std::vector<uint8_t> tail;
    size_t k = names.size();
    for (std::vector<uint8_t> expected; k-- > 1;) {
        const std::vector<uint8_t> seg = fileBytes("hls/vod/v1/" + names[k]);
        tail.insert(tail.begin(), seg.begin(), seg.end());
        if (tail.size() >= rest.bytes.size() - m.at) break;
    }
    ASSERT_EQ(rest.bytes.size() - m.at, tail.size()) << "the bytes after the switch are not whole 360P segments";
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), rest.bytes.begin() + static_cast<long>(m.at)));
}

// Encrypted segments (keys rotating, one with an explicit IV, the others from the sequence
// number) decrypt to the clear segments; byte ranges of one file give the whole file; a
// discontinuity tag puts a format-change marker exactly before the first segment after it.
TEST_F(HlsSession, AesByteRangesAndDiscontinuities) {
    {
        Session s;
        s.session->connectAsync(url("hls/aes/index.m3u8").c_str());
        const Queued q = s.read();
        EXPECT_EQ(q.end, ERROR_END_OF_STREAM);
        const std::vector<uint8_t> clear = segmentsOf("hls/aes_clear");
        ASSERT_FALSE(clear.empty());
        EXPECT_EQ(q.bytes.size(), clear.size());
        EXPECT_TRUE(q.bytes == clear) << "decrypted bytes differ from the clear segments";
    }
    {
        Session s;
        s.session->connectAsync(url("hls/single/index.m3u8").c_str());
        const Queued q = s.read();
        EXPECT_EQ(q.end, ERROR_END_OF_STREAM);
        const std::vector<uint8_t> whole = fileBytes("hls/single/media.ts");
        EXPECT_EQ(q.bytes.size(), whole.size());
        EXPECT_TRUE(q.bytes == whole) << "byte ranges do not add up to the file";
    }
    {
        Session s;
        s.session->connectAsync(url("hls/disc/index.m3u8").c_str());
        const Queued q = s.read();
        EXPECT_EQ(q.end, ERROR_END_OF_STREAM);
        const std::vector<uint8_t> first = concat("hls/disc", "a_%03d.ts", 0, 4);
        const std::vector<uint8_t> second = concat("hls/disc", "b_%03d.ts", 0, 4);
        ASSERT_EQ(q.markers.size(), 2u);
        EXPECT_EQ(q.markers[1].at, first.size()) << "the marker is not where the playlist puts it";
        EXPECT_EQ(q.markers[1].flags, HLSSession::kMarkerFormatChange);
        std::vector<uint8_t> expected = first;
        expected.insert(expected.end(), second.begin(), second.end());
        EXPECT_TRUE(q.bytes == expected);
    }
}

// A seek lands on the segment holding the target: the queue drops what it held, a marker with
// the segment's start time comes first, then that segment's bytes.
TEST_F(HlsSession, SeekLandsOnTheSegmentHoldingTheTarget) {
    Session s;
    s.session->connectAsync(url("hls/vod/v1/index.m3u8").c_str());
    const std::vector<std::string> names = segmentNames("hls/vod/v1/index.m3u8");
    ASSERT_GE(names.size(), 6u);
    const Queued before = s.read(fileBytes("hls/vod/v1/" + names[0]).size());
    ASSERT_EQ(before.end, OK);
    const auto seekAt = Clock::now();
    s.session->seekTo(9500000);  // segment 4 holds 8..10 s
    EXPECT_LT(Clock::now() - seekAt, 5s);
    const std::vector<uint8_t> target = fileBytes("hls/vod/v1/" + names[4]);
    const Queued after = s.read(target.size());
    ASSERT_FALSE(after.markers.empty());
    const Queued::Marker& m = after.markers.back();
    EXPECT_EQ(m.flags, HLSSession::kMarkerHasTime);
    EXPECT_EQ(m.timeUs, 8000000);
    ASSERT_GE(after.bytes.size(), m.at + target.size());
    EXPECT_TRUE(std::equal(target.begin(), target.end(), after.bytes.begin() + static_cast<long>(m.at)))
        << "the bytes after the seek marker are not segment 4";
}

// Range requests carry both ends; a body without a length still arrives whole.
TEST_F(HlsSession, FetchFileRangesAndUnknownLengths) {
    qvtest::FaultServer faults;
    ASSERT_TRUE(faults.ok());
    Session s;
    Ref<ByteBuffer> body;
    ASSERT_EQ(OK, s.session->fetchFile(faults.url("/file/hls/single/media.ts").c_str(), &body, 500, 1000));
    const std::vector<uint8_t> whole = fileBytes("hls/single/media.ts");
    ASSERT_EQ(body->size(), 1000u);
    EXPECT_TRUE(std::equal(body->data(), body->data() + 1000, whole.begin() + 500));
    EXPECT_NE(faults.requests().find("Range: bytes=500-1499\r\n"), std::string::npos) << faults.requests();
    ASSERT_EQ(OK, s.session->fetchFile(faults.url("/no-length/hls/single/media.ts").c_str(), &body));
    EXPECT_EQ(body->size(), whole.size());
    EXPECT_TRUE(std::equal(body->data(), body->data() + body->size(), whole.begin()));
    EXPECT_EQ(ERROR_UNSUPPORTED, s.session->fetchFile("ftp://127.0.0.1/x.ts", &body));
    EXPECT_EQ(nullptr, body.get());
}

// Broken presentations end in the status the session gives them, within a bound, or play what
// can be played.
TEST_F(HlsSession, FaultsEndWithTheirStatus) {
    qvtest::FaultServer faults;
    ASSERT_TRUE(faults.ok());
    const struct {
        const char* name;
        std::string address;
        int32_t what;
        status_t err;
    } cases[] = {
        {"master playlist 404", faults.url("/status/404"), HLSSession::kWhatError, -8404},
        {"master playlist 500", faults.url("/status/500"), HLSSession::kWhatError, -8500},
        {"key 404", url("hls/bad/missing_key.m3u8"), HLSSession::kWhatError, ERROR_IO},
        {"key of 15 bytes", url("hls/bad/short_key.m3u8"), HLSSession::kWhatError, ERROR_IO},
        {"segments that are not a transport stream", url("hls/bad/not_ts.m3u8"), HLSSession::kWhatError,
         ERROR_UNSUPPORTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Session s;
        const auto start = Clock::now();
        s.session->connectAsync(c.address.c_str());
        ASSERT_TRUE(s.recorder->waitFor(1, 30s)) << "no notification";
        EXPECT_LT(Clock::now() - start, 25s);
        const auto notes = s.recorder->notes();
        EXPECT_EQ(notes[0].what, c.what);
        EXPECT_EQ(notes[0].err, c.err);
        // Readers get the status after whatever was queued.
        EXPECT_EQ(s.read().end, c.err);
    }
    // A variant whose segments are not a transport stream is dropped and another one plays; an
    // entry without a bandwidth is left out of the list.
    for (const char* master : {"hls/bad/master_not_ts.m3u8", "hls/bad/master_no_bandwidth.m3u8"}) {
        SCOPED_TRACE(master);
        Session s;
        s.session->connectAsync(url(master).c_str());
        const Queued q = s.read(64 * 1024);
        EXPECT_EQ(q.end, OK);
        ASSERT_GE(q.bytes.size(), 64u * 1024);
        EXPECT_EQ(q.bytes[0], 0x47);
    }
}

// A disconnect while a download hangs on a silent server returns at once; readers are released.
TEST_F(HlsSession, DisconnectInterruptsAStalledDownload) {
    qvtest::FaultServer faults;
    ASSERT_TRUE(faults.ok());
    const std::string dir = qvtest::mediaPath("hls_session_tmp");
    mkdir(dir.c_str(), 0755);
    const std::string playlist = dir + "/stall_" + std::to_string(getpid()) + ".m3u8";
    {
        std::ofstream out(playlist);
        out << "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2.0,\n" << faults.url("/stall-body/1000/hls/vod/v0/seg_000.ts")
            << "\n#EXT-X-ENDLIST\n";
    }
    auto s = std::make_unique<Session>();
    s->session->connectAsync(url("hls_session_tmp/" + playlist.substr(dir.size() + 1)).c_str());
    std::thread reader([&] { s->read(); });
    std::this_thread::sleep_for(1500ms);
    const auto start = Clock::now();
    s->session->disconnect();
    reader.join();
    EXPECT_LT(Clock::now() - start, 3s) << "the reader stayed blocked";
    s.reset();
    EXPECT_LT(Clock::now() - start, 5s) << "destroying the session waited for the server";
    unlink(playlist.c_str());
}

// Splits queued bytes into the live source's segments: the first must be a segment the source
// wrote, and every one after it the next sequence number. Returns the sequence numbers found.
std::vector<int64_t> matchLiveSegments(const qvtest::LiveHls& live, const std::vector<uint8_t>& bytes,
                                       int64_t searchFrom, int64_t searchTo) {
    std::vector<int64_t> found;
    int64_t seq = -1;
    for (int64_t s = searchFrom; s <= searchTo && seq < 0; ++s) {
        const std::vector<uint8_t> first = live.segmentBytes(s);
        if (!first.empty() && first.size() <= bytes.size() && std::equal(first.begin(), first.end(), bytes.begin())) seq = s;
    }
    // The copier saves a segment within a poll of its listing; the session may have fetched it
    // sooner.
    auto saved = [&live](int64_t s) {
        std::vector<uint8_t> bytes = live.segmentBytes(s);
        for (int i = 0; bytes.empty() && i < 20; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(qvtest::LiveHls::kPollMs));
            bytes = live.segmentBytes(s);
        }
        return bytes;
    };
    size_t at = 0;
    while (seq >= 0 && at < bytes.size()) {
        const std::vector<uint8_t> segment = saved(seq);
        if (segment.empty()) break;
        // The reading stopped inside this segment: what came of it must be its beginning.
        if (at + segment.size() > bytes.size()) {
            EXPECT_TRUE(std::equal(bytes.begin() + static_cast<long>(at), bytes.end(), segment.begin()))
                << "the last, partly read segment is not segment " << seq;
            at = bytes.size();
            break;
        }
        if (!std::equal(segment.begin(), segment.end(), bytes.begin() + static_cast<long>(at))) {
            ADD_FAILURE() << "bytes at " << at << " are not segment " << seq << " (a gap, a repeat or damage)";
            break;
        }
        found.push_back(seq);
        at += segment.size();
        ++seq;
    }
    EXPECT_EQ(at, bytes.size()) << "queued bytes after the last whole segment";
    return found;
}

// A real live source (ffmpeg -re, a sliding window of 5 one-second segments that are deleted as
// they leave it): the session starts three segments from the live edge, follows the playlist
// across refreshes, and queues exactly the segments ffmpeg wrote, in order, without gaps or
// repeats; the duration follows the window.
TEST_F(HlsSession, FollowsARealLiveSource) {
    qvtest::LiveHls live;
    ASSERT_TRUE(live.waitForSequence(5, 30000)) << live.log();
    Session s;
    s.session->connectAsync(live.url().c_str());
    const int64_t firstListed = live.window().firstSequence;
    const Queued q = s.read(SIZE_MAX, 8s);
    EXPECT_EQ(q.end, OK);
    int64_t durationUs = 0;
    s.session->getDuration(&durationUs);
    EXPECT_TRUE(s.session->isLive());
    EXPECT_GE(durationUs, 3000000);
    EXPECT_LE(durationUs, 7000000) << "the duration is the window's, not everything seen";
    const qvtest::LiveHls::Window window = live.window();
    const std::vector<int64_t> seqs = matchLiveSegments(live, q.bytes, firstListed, firstListed + 8);
    ASSERT_FALSE(seqs.empty()) << "the first queued segment is none the source wrote";
    EXPECT_GE(seqs.size(), 6u) << "8 s of a live source should give more segments";
    EXPECT_GE(seqs.back(), window.firstSequence) << "the session fell out of the window";
    printf("  live: segments %lld..%lld queued; window now %lld..%lld\n", static_cast<long long>(seqs.front()),
           static_cast<long long>(seqs.back()), static_cast<long long>(window.firstSequence),
           static_cast<long long>(window.firstSequence + static_cast<int64_t>(window.count) - 1));
}

// Timeshift on the same kind of source: the duration leaves out the last three segments, the
// position lies inside it, and a seek back into the window goes to an earlier segment with a
// timed marker.
TEST_F(HlsSession, TimeshiftSeekIntoTheWindow) {
    qvtest::LiveHlsOptions options;
    options.listSize = 8;
    qvtest::LiveHls live(options);
    ASSERT_TRUE(live.waitForSequence(8, 40000)) << live.log();
    Session s(true);
    s.session->connectAsync(live.url().c_str());
    const int64_t firstListed = live.window().firstSequence;
    const Queued before = s.read(SIZE_MAX, 3s);
    const std::vector<int64_t> played = matchLiveSegments(live, before.bytes, firstListed, firstListed + 10);
    ASSERT_FALSE(played.empty());
    int64_t durationUs = 0, positionUs = -1;
    s.session->getDuration(&durationUs);
    EXPECT_GE(durationUs, 3000000);
    EXPECT_LE(durationUs, 6500000) << "a window of 8 less the last 3";
    ASSERT_EQ(OK, s.session->getPosition(&positionUs));
    EXPECT_GE(positionUs, 0);
    EXPECT_LE(positionUs, durationUs + 1000000);
    s.session->seekTo(1000000);
    const Queued after = s.read(SIZE_MAX, 2s);
    ASSERT_FALSE(after.markers.empty()) << "no marker after the seek";
    EXPECT_EQ(after.markers[0].flags, HLSSession::kMarkerHasTime);
    EXPECT_LT(after.markers[0].timeUs, durationUs);
    const std::vector<uint8_t> rest(after.bytes.begin() + static_cast<long>(after.markers.back().at), after.bytes.end());
    const std::vector<int64_t> seqs = matchLiveSegments(live, rest, played.front() - 8, played.back() + 4);
    ASSERT_FALSE(seqs.empty());
    EXPECT_LT(seqs.front(), played.back()) << "the seek did not go back into the window";
}

// Live faults: a playlist that never changes and a media sequence that jumps back end the
// stream within a bound; a segment that is always cut short ends it with a read error.
TEST_F(HlsSession, LiveFaults) {
    qvtest::FaultServer faults;
    ASSERT_TRUE(faults.ok());
    const struct {
        const char* name;
        std::string address;
    } cases[] = {
        {"frozen live playlist", url("hls/bad/live_frozen.m3u8")},
        {"media sequence jumps back", faults.url("/live-seq/10,11,5/hls/vod/v0/index.m3u8")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Session s;
        const auto start = Clock::now();
        s.session->connectAsync(c.address.c_str());
        const Queued q = s.read(SIZE_MAX, 40s);
        EXPECT_EQ(q.end, ERROR_END_OF_STREAM);
        EXPECT_LT(Clock::now() - start, 30s);
        EXPECT_GT(q.bytes.size(), 0u) << "the segments that were there should have been queued";
    }
    {
        SCOPED_TRACE("segment always cut short");
        const std::string dir = qvtest::mediaPath("hls_session_tmp");
        mkdir(dir.c_str(), 0755);
        const std::string name = "cut_" + std::to_string(getpid()) + ".m3u8";
        {
            std::ofstream out(dir + "/" + name);
            out << "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2.0,\n" << faults.url("/cut-at/5000/hls/vod/v0/seg_000.ts")
                << "\n#EXT-X-ENDLIST\n";
        }
        Session s;
        const auto start = Clock::now();
        s.session->connectAsync(url("hls_session_tmp/" + name).c_str());
        ASSERT_TRUE(s.recorder->waitFor(1, 60s));
        EXPECT_LT(Clock::now() - start, 45s);
        const auto notes = s.recorder->notes();
        EXPECT_EQ(notes[0].what, HLSSession::kWhatError);
        EXPECT_LT(notes[0].err, 0);
        EXPECT_NE(notes[0].err, ERROR_END_OF_STREAM);
        unlink((dir + "/" + name).c_str());
    }
}

// Records the variant changes the session reports.
class VariantLog : public IMultiStreamObserver {
public:
    std::function<void(const BandwidthItem&)> onChange;
    void onBandwidthList(std::vector<BandwidthItem> items) override { lists.push_back(items.size()); }
    void onBandwidthChanged(BandwidthItem item) override {
        if (onChange) onChange(item);
    }
    std::vector<size_t> lists;
};

// Switching by measured throughput, for real: the 720P variant is throttled from the start, so
// the session, which climbs to it once the first segments come fast, falls back after one slow
// segment; when the throttle is lifted it climbs again. The variant of every queued segment is
// told by its bytes, and each change has a format-change marker exactly at its boundary.
TEST_F(HlsSession, AdaptiveSwitchingFollowsThroughput) {
    qvtest::FaultServer faults;
    ASSERT_TRUE(faults.ok());
    constexpr int64_t kThrottledBytesPerSecond = 100000;
    ASSERT_TRUE(faults.setRate("hls/vod/v2/", kThrottledBytesPerSecond));
    VariantLog log;
    std::atomic<bool> lifted{false};
    bool onTop = false;  // the observer runs on the session's thread only
    log.onChange = [&](const BandwidthItem& item) {
        // Once the session has left the throttled variant the throttle goes.
        const bool top = strcmp(item.mName.c_str(), "720P") == 0;
        if (onTop && !top && !lifted.exchange(true)) faults.clearRates();
        onTop = top;
    };
    Session s;
    s.session->setObserver(&log);
    s.session->enableAdaptiveSwitching();
    s.session->connectAsync(faults.hlsRateUrl("hls/vod/master.m3u8").c_str());
    const Queued q = s.read(SIZE_MAX, 90s);
    s.session->setObserver(nullptr);
    faults.clearRates();
    EXPECT_EQ(q.end, ERROR_END_OF_STREAM);
    ASSERT_EQ(log.lists.size(), 1u);

    // The variant of each segment, told by its bytes.
    const std::vector<std::string> names = segmentNames("hls/vod/v0/index.m3u8");
    std::vector<int> variants;
    size_t at = 0;
    for (size_t k = 0; k < names.size() && at < q.bytes.size(); ++k) {
        int variant = -1;
        size_t length = 0;
        for (int v = 0; v < 3 && variant < 0; ++v) {
            const std::vector<uint8_t> seg = fileBytes("hls/vod/v" + std::to_string(v) + "/" + names[k]);
            if (at + seg.size() <= q.bytes.size() && std::equal(seg.begin(), seg.end(), q.bytes.begin() + static_cast<long>(at))) {
                variant = v;
                length = seg.size();
            }
        }
        ASSERT_GE(variant, 0) << "segment " << k << " matches no variant";
        // A change of variant has its format-change marker right at the boundary.
        if (!variants.empty() && variants.back() != variant) {
            bool marked = false;
            for (const auto& m : q.markers) marked |= m.at == at && (m.flags & HLSSession::kMarkerFormatChange);
            EXPECT_TRUE(marked) << "no format-change marker before segment " << k;
        }
        variants.push_back(variant);
        at += length;
    }
    EXPECT_EQ(variants.size(), names.size());
    std::string trace;
    for (int v : variants) trace += std::to_string(v);
    printf("  variants per segment: %s\n", trace.c_str());
    const size_t firstHigh = trace.find('2');
    ASSERT_NE(firstHigh, std::string::npos) << "never climbed to the top variant: " << trace;
    ASSERT_LT(firstHigh + 1, trace.size());
    const char fellTo = trace[firstHigh + 1];
    EXPECT_NE(fellTo, '2') << "stayed on the throttled variant: " << trace;
    bool climbedAgain = false;
    for (size_t k = firstHigh + 2; k < trace.size(); ++k) climbedAgain |= trace[k] > fellTo;
    EXPECT_TRUE(climbedAgain) << "did not climb again after the throttle was lifted: " << trace;
}

}  // namespace
