// Inputs that stall: a loopback server that accepts and never answers, one that answers the
// headers and stops mid-body, and a FIFO nobody writes to. Opening them must end on a stop from
// another thread (early, late, or before initialize starts) and, without a stop, on the I/O
// time-out; destroying the extractor afterwards must not block.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/FFMpegExtractor.h"
#include "engine/FileSource.h"
#include "support/Media.h"
#include "support/StallingServer.h"

using namespace velmor;
using Clock = std::chrono::steady_clock;

namespace {

// Generous: the machine is shared; a hang would last the whole test time-out.
constexpr double kPromptSeconds = 5.0;
constexpr int64_t kTestIoTimeoutUs = 800000;

// Opens the address and destroys the extractor; returns the open's status and (seconds) how long
// both took. stopAfterMs < 0: no stop (the time-out ends it); 0: the stop comes before initialize.
status_t openStalled(const std::string& url, int stopAfterMs, double* seconds) {
    Ref<FFMpegExtractor> extractor = new FFMpegExtractor(nullptr);
    extractor->setIoTimeoutUs(stopAfterMs < 0 ? kTestIoTimeoutUs : 60000000);
    if (stopAfterMs == 0) extractor->setStopFlag(MediaExtractor::kStopFlagStop);
    const auto start = Clock::now();
    std::thread stopper;
    if (stopAfterMs > 0) {
        stopper = std::thread([extractor, stopAfterMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(stopAfterMs));
            extractor->setStopFlag(MediaExtractor::kStopFlagStop);
        });
    }
    const status_t status = extractor->initialize(url.c_str(), true);
    if (stopper.joinable()) stopper.join();
    extractor.clear();
    *seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return status;
}

}  // namespace

TEST(StalledInput, StopOrTimeOutEndsTheOpen) {
    REQUIRE_MEDIA("h264_aac.ts");
    qvtest::StallingServer silent("");
    qvtest::StallingServer midBody(qvtest::httpPrefix(qvtest::mediaPath("h264_aac.ts"), 188 * 20, 50000000));
    const std::string fifo = ::testing::TempDir() + "stall_fifo_" + std::to_string(getpid());
    unlink(fifo.c_str());
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));

    const struct {
        const char* what;
        std::string url;
    } inputs[] = {{"silent server", silent.url()}, {"server stalled mid-body", midBody.url()}, {"FIFO", fifo}};
    for (const auto& input : inputs) {
        for (int stopAfterMs : {0, 50, 1000, -1}) {
            SCOPED_TRACE(std::string(input.what) + ", stop after " + std::to_string(stopAfterMs) + " ms");
            double seconds = 0;
            EXPECT_EQ(stopAfterMs < 0 ? ERROR_CON_TIMEOUT : USER_STOP, openStalled(input.url, stopAfterMs, &seconds));
            EXPECT_LT(seconds, kPromptSeconds);
        }
    }
    unlink(fifo.c_str());
}

// A FIFO is a real input once someone writes to it: played to the end through the address (the
// looper fetches); read through a FileSource (the reader fetches) while the writer stalls
// mid-file, a stop from another thread releases the blocked reader.
TEST(StalledInput, FifoPlaysAndAStopReleasesItsReader) {
    REQUIRE_MEDIA("h264_aac.ts");
    const std::string fifo = ::testing::TempDir() + "play_fifo_" + std::to_string(getpid());
    unlink(fifo.c_str());
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const std::vector<uint8_t> clip = qvtest::readWholeFile(qvtest::mediaPath("h264_aac.ts"));
    std::atomic<bool> release{false};
    auto writer = [&](size_t bytes) {
        return std::thread([&, bytes] {
            // Late on purpose: the extractor waits for the writer in slices.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            FILE* f = fopen(fifo.c_str(), "wb");
            if (f == nullptr) return;
            fwrite(clip.data(), 1, bytes, f);
            fflush(f);
            while (bytes < clip.size() && !release) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            fclose(f);
        });
    };
    auto readToEnd = [](const Ref<MediaSource>& track, std::atomic<int>* packets) {
        MediaBuffer* buffer = nullptr;
        status_t err;
        while ((err = track->read(&buffer)) == OK) {
            ++*packets;
            buffer->release();
        }
        return err;
    };

    std::thread whole = writer(clip.size());
    Ref<FFMpegExtractor> played = new FFMpegExtractor(nullptr);
    ASSERT_EQ(OK, played->initialize(fifo.c_str(), true));
    EXPECT_EQ(0u, played->flags() & MediaExtractor::CAN_SEEK);
    ASSERT_GE(played->countTracks(), 2u);
    Ref<MediaSource> video = played->getTrack(0);
    ASSERT_EQ(OK, video->start());
    std::atomic<int> packets{0};
    EXPECT_EQ(ERROR_END_OF_STREAM, readToEnd(video, &packets));
    EXPECT_GT(packets.load(), 20);
    whole.join();

    std::thread half = writer(clip.size() / 2);
    Ref<FFMpegExtractor> stalled = new FFMpegExtractor(new FileSource(fifo.c_str()));
    ASSERT_EQ(OK, stalled->initialize(nullptr, false));
    Ref<MediaSource> track = stalled->getTrack(0);
    ASSERT_EQ(OK, track->start());
    packets = 0;
    std::atomic<status_t> result{OK};
    std::thread reader([&] { result = readToEnd(track, &packets); });
    // The reader runs dry where the writer stopped, then waits.
    int seen = -1;
    for (int i = 0; i < 100 && seen != packets.load(); ++i) {
        seen = packets.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    EXPECT_GT(seen, 5);
    EXPECT_EQ(OK, result.load()) << "the reader did not wait for the stalled writer";
    const auto start = Clock::now();
    stalled->setStopFlag(MediaExtractor::kStopFlagStop);
    reader.join();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), kPromptSeconds);
    EXPECT_EQ(USER_STOP, result.load());
    MediaBuffer* none = nullptr;
    EXPECT_EQ(USER_STOP, track->read(&none));
    release = true;
    half.join();
    unlink(fifo.c_str());
}
