// The playback core off the happy path, where hosts meet it: a seek while paused that must hold
// on its target, negative seek targets, sources that stall (a silent server, a server that stops
// mid-body, a FIFO without a writer) while the host destroys the player, and a sound device
// that goes away mid-play.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/EngineProbes.h"
#include "support/Host.h"
#include "support/Window.h"

using namespace std::chrono_literals;
using qvtest::Collector;
using qvtest::Library;
using qvtest::Notification;
using qvtest::Rgb;
using qvtest::TestWindow;
using qvtest::mediaPath;

namespace {

void* const gKeepDriver = qvtest::keepMesaDriverLoaded();

std::mutex gFramesLock;
std::vector<int64_t> gFrameTimesUs;  // media time of every picture at the render step
std::vector<int64_t> gLatenessUs;    // and how late it was against the clock

void recordFrame(int64_t mediaTimeUs, int64_t, int64_t latenessUs) {
    std::lock_guard<std::mutex> l(gFramesLock);
    gFrameTimesUs.push_back(mediaTimeUs);
    gLatenessUs.push_back(latenessUs);
}

int64_t medianLatenessUs() {
    std::lock_guard<std::mutex> l(gFramesLock);
    std::vector<int64_t> v = gLatenessUs;
    gLatenessUs.clear();
    if (v.empty()) return INT64_MAX;
    std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

std::vector<int64_t> takeFrames() {
    std::lock_guard<std::mutex> l(gFramesLock);
    std::vector<int64_t> out;
    out.swap(gFrameTimesUs);
    return out;
}

using Clock = std::chrono::steady_clock;

// A host of the in-process engine with the render probe registered.
class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        mPreviousProbes = velmor::GetEngineProbes();
        mProbes.onRender = &recordFrame;
        velmor::SetEngineProbes(&mProbes);
        takeFrames();
        player = lib.create();
        ASSERT_NE(player, nullptr);
        player->setListener(&Collector::callback, &events);
        player->setLiveDisabled(1);
    }
    void TearDown() override {
        if (player) lib.destroy(player, false);
        velmor::SetEngineProbes(mPreviousProbes);
    }
    // Prepares the address; 0, the MEDIA_ERROR status, or -999 without an answer.
    int32_t prepare(const std::string& address, int timeoutMs = 15000) {
        if (player->setDataSource(address.c_str(), nullptr) != 0) return -998;
        if (player->prepareAsync() != 0) return -997;
        const int32_t first = events.waitForAnyOf({QV_MEDIA_PREPARED, QV_MEDIA_ERROR}, timeoutMs);
        if (first == QV_MEDIA_PREPARED) return 0;
        for (const auto& n : events.items())
            if (n.msg == QV_MEDIA_ERROR) return n.ext2;
        return -999;
    }
    int32_t position() {
        int32_t ms = -1;
        player->getCurrentPosition(&ms);
        return ms;
    }
    // Destroys the player and says how long the host waited.
    Clock::duration destroy() {
        const auto t0 = Clock::now();
        lib.destroy(player, false);
        player = nullptr;
        return Clock::now() - t0;
    }

    velmor::EngineProbes mProbes;
    const velmor::EngineProbes* mPreviousProbes = nullptr;
    Library lib{Library::InProcess{}};
    Collector events;
    IVelmorPlayerBase* player = nullptr;
};

// colors.mp4 shows red, green, blue, white and yellow for one second each.
bool isBlue(const Rgb& c) { return c.b > 150 && c.r < 90 && c.g < 90; }
bool isWhite(const Rgb& c) { return c.r > 170 && c.g > 170 && c.b > 170; }
bool isYellow(const Rgb& c) { return c.r > 170 && c.g > 170 && c.b < 90; }

// A seek while paused shows exactly the picture at the target and then holds it: no later
// picture is drawn, the position stays, and resuming continues pictures and sound from there.
TEST_F(SessionTest, PausedSeekShowsTheTargetAndHoldsUntilResumed) {
    if (!getenv("DISPLAY")) GTEST_SKIP() << "needs the test X server (scripts/test.sh)";
    TestWindow window(320, 240);
    ASSERT_TRUE(window.ok());
    player->createAudioSink(QV_AUDIO_SINK_NULL);
    ASSERT_EQ(player->createVideoSink(window.id(), 0, 320, 240, 1), 0);
    ASSERT_EQ(prepare(mediaPath("colors.mp4")), 0);
    ASSERT_EQ(player->start(), 0);
    ASSERT_TRUE(events.waitForMsg(QV_MEDIA_STARTED));
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(player->pause(), 0);

    for (int round = 0; round < 2; ++round) {
        // Twice: a second paused seek must hold as well as the first.
        SCOPED_TRACE(round);
        const int32_t targetMs = round == 0 ? 2500 : 2200;
        events.clear();
        takeFrames();
        ASSERT_EQ(player->seekToExact(targetMs), 0);
        ASSERT_TRUE(events.waitForMsg(QV_MEDIA_SEEK_COMPLETE));
        std::this_thread::sleep_for(700ms);
        EXPECT_TRUE(isBlue(window.average()));
        EXPECT_NEAR(position(), targetMs, 60);
        const auto preview = takeFrames();
        ASSERT_FALSE(preview.empty());
        for (int64_t t : preview) {
            EXPECT_GE(t, targetMs * 1000 - 1000);
            EXPECT_LT(t, targetMs * 1000 + 41000) << "a picture after the target was drawn while paused";
        }
        std::this_thread::sleep_for(1200ms);
        EXPECT_TRUE(takeFrames().empty()) << "pictures kept coming while paused";
        EXPECT_TRUE(isBlue(window.average()));
        EXPECT_NEAR(position(), targetMs, 60);
        EXPECT_FALSE(player->isPlaying());
        EXPECT_EQ(events.countMsg(QV_MEDIA_PLAYBACK_COMPLETE), 0u);
    }

    // Resume: pictures continue from 2.2 s, and the clock (the sound's) goes with them.
    events.clear();
    medianLatenessUs();
    ASSERT_EQ(player->start(), 0);
    ASSERT_TRUE(events.waitForMsg(QV_MEDIA_STARTED));
    std::this_thread::sleep_for(1300ms);
    // Pictures follow the sound's clock again.
    EXPECT_LT(std::llabs(medianLatenessUs()), 20000);
    const auto frames = takeFrames();
    ASSERT_GT(frames.size(), 10u);
    EXPECT_GE(frames.front(), 2200000 - 1000);
    EXPECT_LT(frames.front(), 2400000);
    const int32_t pos = position();
    EXPECT_GT(pos, 3000);
    EXPECT_LT(pos, 4300);
    const Rgb now = window.average();
    EXPECT_TRUE(isWhite(now) || isYellow(now)) << now.r << "," << now.g << "," << now.b;
    EXPECT_TRUE(events.waitForMsg(QV_MEDIA_PLAYBACK_COMPLETE, 9000));
}

// Negative targets mean the start, whether playing, paused or after completion.
TEST_F(SessionTest, NegativeSeekTargetsLandAtTheStart) {
    player->createAudioSink(QV_AUDIO_SINK_NULL);
    ASSERT_EQ(prepare(mediaPath("h264_aac.mp4")), 0);
    ASSERT_EQ(player->seekTo(7200), 0);
    ASSERT_EQ(player->start(), 0);
    ASSERT_TRUE(events.waitForMsg(QV_MEDIA_PLAYBACK_COMPLETE, 10000));
    events.clear();
    ASSERT_EQ(player->seekTo(-5000), 0);
    EXPECT_EQ(position(), 0);
    ASSERT_EQ(player->start(), 0);
    ASSERT_TRUE(events.waitForMsg(QV_MEDIA_STARTED));
    std::this_thread::sleep_for(800ms);
    EXPECT_TRUE(player->isPlaying());
    int32_t pos = position();
    EXPECT_GT(pos, 200);
    EXPECT_LT(pos, 1600);

    // While playing, the most negative target there is.
    std::this_thread::sleep_for(400ms);
    ASSERT_EQ(player->seekTo(INT_MIN), 0);
    ASSERT_TRUE(events.waitForMsg(QV_MEDIA_SEEK_COMPLETE));
    std::this_thread::sleep_for(200ms);
    pos = position();
    EXPECT_GE(pos, 0);
    EXPECT_LT(pos, 900);
    ASSERT_EQ(player->seekToExact(-1), 0);
    std::this_thread::sleep_for(200ms);
    EXPECT_LT(position(), 900);
    EXPECT_EQ(events.countMsg(QV_MEDIA_ERROR), 0u);
}

// A loopback HTTP server that misbehaves: Silent accepts and never answers; Stalling answers
// with the headers of the whole file and the first part of its body, then goes quiet. Every
// connection stays open until the server goes away.
class StallingServer {
public:
    enum Mode { Silent, Stalling };
    StallingServer(Mode mode, const std::string& file = "", double fraction = 0) : mMode(mode) {
        if (!file.empty()) {
            std::ifstream in(file, std::ios::binary);
            mBody.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            mServed = static_cast<size_t>(mBody.size() * fraction);
        }
        mListen = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(mListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        listen(mListen, 8);
        socklen_t len = sizeof(addr);
        getsockname(mListen, reinterpret_cast<sockaddr*>(&addr), &len);
        mPort = ntohs(addr.sin_port);
        mThread = std::thread([this] { serve(); });
    }
    ~StallingServer() {
        mStop = true;
        shutdown(mListen, SHUT_RDWR);
        close(mListen);
        mThread.join();
        for (int fd : mClients) close(fd);
    }
    std::string url(const char* name) const { return "http://127.0.0.1:" + std::to_string(mPort) + "/" + name; }
    int connections() const { return mConnections; }

private:
    void serve() {
        while (!mStop) {
            const int fd = accept(mListen, nullptr, nullptr);
            if (fd < 0) return;
            ++mConnections;
            mClients.push_back(fd);
            if (mMode == Silent) continue;
            char request[4096];
            if (recv(fd, request, sizeof(request), 0) <= 0) continue;
            const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\nContent-Length: " +
                                     std::to_string(mBody.size()) + "\r\n\r\n";
            send(fd, head.data(), head.size(), MSG_NOSIGNAL);
            send(fd, mBody.data(), mServed, MSG_NOSIGNAL);
        }
    }

    Mode mMode;
    std::vector<char> mBody;
    size_t mServed = 0;
    int mListen = -1;
    int mPort = 0;
    std::atomic<bool> mStop{false};
    std::atomic<int> mConnections{0};
    std::vector<int> mClients;  // serving thread only, until it is joined
    std::thread mThread;
};

// The host ends the session while the source gives nothing: destroying the player must not wait
// for the source. Silent server (early and late in the prepare), a server that stops mid-body
// while playing, and a FIFO without a writer.
TEST_F(SessionTest, DestroyDoesNotWaitForAStalledSource) {
    player->createAudioSink(QV_AUDIO_SINK_NULL);
    {
        SCOPED_TRACE("silent server, 50 ms into the prepare");
        StallingServer server(StallingServer::Silent);
        ASSERT_EQ(player->setDataSource(server.url("clip.mp4").c_str(), nullptr), 0);
        ASSERT_EQ(player->prepareAsync(), 0);
        std::this_thread::sleep_for(50ms);
        EXPECT_LT(destroy(), 5s);
    }
    {
        SCOPED_TRACE("silent server, connected for a second");
        player = lib.create();
        player->setListener(&Collector::callback, &events);
        player->setLiveDisabled(1);
        StallingServer server(StallingServer::Silent);
        ASSERT_EQ(player->setDataSource(server.url("clip.mp4").c_str(), nullptr), 0);
        ASSERT_EQ(player->prepareAsync(), 0);
        for (int i = 0; i < 100 && server.connections() == 0; ++i) std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(1s);
        EXPECT_GE(server.connections(), 1);
        // A host may also poll while it waits: nothing blocks behind the open.
        const auto t0 = Clock::now();
        int32_t ms = -1;
        EXPECT_EQ(player->getCurrentPosition(&ms), 0);
        EXPECT_FALSE(player->isPlaying());
        EXPECT_LT(Clock::now() - t0, 1s);
        EXPECT_LT(destroy(), 5s);
    }
    {
        SCOPED_TRACE("server stops sending mid-play");
        events.clear();
        player = lib.create();
        player->setListener(&Collector::callback, &events);
        player->setLiveDisabled(1);
        player->createAudioSink(QV_AUDIO_SINK_NULL);
        StallingServer server(StallingServer::Stalling, mediaPath("stream_10s.ts"), 0.7);
        ASSERT_EQ(prepare(server.url("stream.ts")), 0);
        ASSERT_EQ(player->start(), 0);
        ASSERT_TRUE(events.waitForMsg(QV_MEDIA_STARTED));
        std::this_thread::sleep_for(1500ms);
        EXPECT_GT(position(), 500);
        EXPECT_LT(destroy(), 5s);
    }
    {
        SCOPED_TRACE("FIFO without a writer");
        player = lib.create();
        player->setListener(&Collector::callback, &events);
        player->setLiveDisabled(1);
        const std::string fifo = "/tmp/qv-session-test-fifo-" + std::to_string(getpid());
        unlink(fifo.c_str());
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        ASSERT_EQ(player->setDataSource(fifo.c_str(), nullptr), 0);
        ASSERT_EQ(player->prepareAsync(), 0);
        std::this_thread::sleep_for(300ms);
        EXPECT_LT(destroy(), 5s);
        unlink(fifo.c_str());
    }
}

// A PulseAudio daemon of this test's own, so killing it disturbs no other test.
class PrivateSoundServer {
public:
    PrivateSoundServer() {
        char dirTemplate[] = "/tmp/qv-pulse-XXXXXX";
        mDir = mkdtemp(dirTemplate);
        mSocket = mDir + "/native";
        mPid = fork();
        if (mPid == 0) {
            setenv("PULSE_RUNTIME_PATH", mDir.c_str(), 1);
            setenv("PULSE_STATE_PATH", mDir.c_str(), 1);
            freopen("/dev/null", "w", stderr);
            const std::string socketArg = "module-native-protocol-unix auth-anonymous=1 socket=" + mSocket;
            execlp("pulseaudio", "pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1", "--disable-shm=yes",
                   "--load=module-null-sink sink_name=lost", ("--load=" + socketArg).c_str(),
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && access(mSocket.c_str(), F_OK) != 0; ++i) std::this_thread::sleep_for(50ms);
    }
    ~PrivateSoundServer() {
        kill();
        std::string cmd = "rm -rf '" + mDir + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
    bool ok() const { return access(mSocket.c_str(), F_OK) == 0; }
    std::string server() const { return "unix:" + mSocket; }
    void kill() {
        if (mPid > 0) {
            ::kill(mPid, SIGKILL);
            waitpid(mPid, nullptr, 0);
            mPid = -1;
        }
    }

private:
    std::string mDir, mSocket;
    pid_t mPid = -1;
};

// The sound server dies mid-play: the host hears MEDIA_ERROR -1017, with and without video, and
// can still tear the player down.
TEST_F(SessionTest, ALostSoundDeviceIsReported) {
    if (!getenv("PULSE_SERVER")) GTEST_SKIP() << "needs the ALSA pulse plugin set up (scripts/test.sh)";
    const std::string shared = getenv("PULSE_SERVER");
    for (const char* file : {"h264_aac.mp4", "audio.flac"}) {
        SCOPED_TRACE(file);
        PrivateSoundServer sound;
        ASSERT_TRUE(sound.ok());
        if (!player) {
            events.clear();
            player = lib.create();
            player->setListener(&Collector::callback, &events);
            player->setLiveDisabled(1);
        }
        // The device is opened when playback starts, through ALSA's pulse plugin.
        setenv("PULSE_SERVER", sound.server().c_str(), 1);
        ASSERT_EQ(player->createAudioSink(QV_AUDIO_SINK_DEFAULT), 0);
        ASSERT_EQ(prepare(mediaPath(file)), 0);
        ASSERT_EQ(player->start(), 0);
        const bool started = events.waitForMsg(QV_MEDIA_STARTED);
        setenv("PULSE_SERVER", shared.c_str(), 1);
        ASSERT_TRUE(started);
        std::this_thread::sleep_for(400ms);
        sound.kill();
        EXPECT_TRUE(events.waitFor(
            [](const Notification& n) { return n.msg == QV_MEDIA_ERROR && n.ext1 == 1 && n.ext2 == -1017; }, 8000))
            << file;
        EXPECT_LT(destroy(), 5s);
    }
}

}  // namespace
