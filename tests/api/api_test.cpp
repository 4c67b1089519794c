// The player interface driven through the real library, loaded with dlopen as a host does.
#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "quorvantix/quorvantix.h"
#include "engine/EngineProbes.h"
#include "support/Host.h"
#include "support/LogCapture.h"

namespace {

// Every invoke request the engine receives is recorded here through an engine probe.
std::mutex gRecordLock;
std::vector<std::vector<uint8_t>> gRecorded;

}  // namespace

void recordInvoke(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> l(gRecordLock);
    gRecorded.emplace_back(data, data + size);
}

namespace {

// An independent encoder of the request wire format: little-endian values padded to 4 bytes.
struct Wire {
    std::vector<uint8_t> bytes;
    Wire& i32(int32_t v) {
        append(&v, 4);
        return *this;
    }
    Wire& f64(double v) {
        append(&v, 8);
        return *this;
    }
    Wire& str(const char* s) {
        append(s, strlen(s) + 1);
        return *this;
    }
    void append(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        bytes.insert(bytes.end(), b, b + n);
        while (bytes.size() % 4) bytes.push_back(0);
    }
};

using qvtest::Collector;
using qvtest::Library;
using qvtest::Notification;

int countThreads() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

TEST(PlayerApi, ExportsOnlyTheFactoryFunctions) {
    const std::string cmd = std::string("nm -D --defined-only ") + QV_LIBRARY_PATH +
                            " | awk '$2 ~ /[TtWw]/ && $3 !~ /^_(init|fini)$/ {print $3}' | sort";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string names;
    for (int c; (c = fgetc(p)) != EOF;) names += static_cast<char>(c);
    pclose(p);
    EXPECT_EQ(names, "CreatePlayer\nDestroyPlayer\n");
}

// Drives every one of the 74 operations once and checks the invoke requests the engine
// received, byte for byte, and the results the host sees.
TEST(PlayerApi, EveryOperationReachesTheEngine) {
    // Probes are registered explicitly by a program linked with the engine; the loaded library
    // has no way to find them.
    Library lib{Library::InProcess{}};
    {
        std::lock_guard<std::mutex> l(gRecordLock);
        gRecorded.clear();
    }
    static velmor::EngineProbes probes;
    probes.onInvoke = &recordInvoke;
    velmor::SetEngineProbes(&probes);
    struct Unregister {
        ~Unregister() { velmor::SetEngineProbes(nullptr); }
    } unregister;
    Collector collector;
    velmor::test::LogCapture log;
    IVelmorPlayerBase* player = lib.create();
    ASSERT_NE(player, nullptr);

    const std::string guid = player->getDeviceGuid();
    ASSERT_EQ(guid.size(), 40u);
    for (char c : guid) EXPECT_TRUE(isdigit(c) || (c >= 'A' && c <= 'F')) << guid;

    struct Row {
        int slot;
        std::function<int64_t()> call;
        int64_t expectResult;
        std::vector<uint8_t> expectRequest;  // empty: the operation sends no invoke request
    };
    int32_t out = -5;
    VelmorContentInfo info;
    std::string bookmarks = "unchanged";
    VelmorVideoInfo videoInfo;
    std::vector<VelmorLiveProgram> programs{{1, "stale"}};
    std::string agentText;
    wchar_t errorText[1024] = {0};

    std::vector<Row> rows = {
        {0, [&] { return player->setListener(&Collector::callback, &collector); }, 0, {}},
        {1, [&] { return player->setVideoArea(1, 2); }, -1010, {}},
        {2, [&] { return player->setVideoSurface(1, 2, 3); }, -1010, {}},
        {3, [&] { return player->setDataSourceFd(5); }, 0, {}},
        {4, [&] { return player->setDataSource("/no/such/file.mp4", nullptr); }, 0, {}},
        {6, [&] { return player->createAudioSink(QV_AUDIO_SINK_NULL); }, 0, {}},
        {7, [&] { return player->reserved7(1, 2, 3, 4); }, 0, {}},
        {8, [&] { return player->setOsInfo("Microsoft Windows 8.1 Pro", "6.3"); }, 0,
         Wire().i32(26).str("Microsoft Windows 8.1 Pro").str("6.3").bytes},
        {9, [&] { return player->reserved9(1); }, 0, {}},
        {10, [&] { return player->reserved10(); }, 0, {}},
        {11, [&] { return player->reserved11(); }, 0, {}},
        {15, [&] { return player->seekTo(1000); }, 0, {}},
        {16, [&] { return player->seekToExact(1000); }, 0, {}},
        {17, [&] { out = -5; int r = player->getVideoWidth(&out); return r == 0 ? out : -999; }, 0, {}},
        {18, [&] { out = -5; int r = player->getVideoHeight(&out); return r == 0 ? out : -999; }, 0, {}},
        {19, [&] { out = -5; int r = player->getPlayerState(&out); return r == 0 ? out : -999; }, 0, {}},
        {20, [&] { return player->getErrorText(L"EN", -1004, errorText); }, 0, {}},
        {21, [&] { return player->pause(); }, 0, {}},
        {22, [&] { return player->isPlaying() ? 1 : 0; }, 0, {}},
        {23, [&] { out = -5; int r = player->getCurrentPosition(&out); return r == 0 ? out : -999; }, 0, {}},
        {24, [&] { out = -5; int r = player->getDuration(&out); return r == 0 ? out : -999; }, 0, {}},
        {25, [&] { return player->setLooping(7); }, 0, {}},
        {26, [&] { return player->setPlaybackSetting(7); }, 0, Wire().i32(18).i32(2).i32(7).bytes},
        {27, [&] { return player->setPlayingRate(1.5); }, -1010, Wire().i32(7).f64(1.5).bytes},
        {28, [&] { return player->setBrightness(40); }, 0, Wire().i32(19).i32(40).bytes},
        {29, [&] { return player->setSaturation(41); }, 0, Wire().i32(20).i32(41).bytes},
        {30, [&] { return player->setContrast(42); }, 0, Wire().i32(21).i32(42).bytes},
        {31, [&] { return player->setVolume(130, 1); }, 0, Wire().i32(25).i32(130).i32(1).bytes},
        {32, [&] { return player->setAudioEnabled(1); }, 0, Wire().i32(17).i32(1).bytes},
        {33, [&] { return player->getContentInfo(&info); }, 0, Wire().i32(10).bytes},
        {34, [&] { return player->loadBookmarks(); }, 0, Wire().i32(11).bytes},
        {35, [&] { return player->getApiLevel(); }, 1, {}},
        {36, [&] { return player->getBookmarks(&bookmarks); }, 0, Wire().i32(12).bytes},
        {37, [&] { return player->addBookmark(65432, "Title", nullptr); }, 0,
         Wire().i32(13).i32(65).str("Title").str("").bytes},
        {38, [&] { return player->reserved38(1); }, -19, {}},
        {39, [&] { return player->deleteBookmark(7999, "Lbl"); }, 0, Wire().i32(14).i32(7).str("Lbl").bytes},
        {40, [&] { return player->setScaleMode(2); }, 0, Wire().i32(22).i32(2).bytes},
        {41, [&] { return player->setAspectRatio(16, 9); }, 0, Wire().i32(23).i32(16).i32(9).bytes},
        {42, [&] { return player->setViewOffset(3, 4); }, 0, Wire().i32(24).i32(3).i32(4).bytes},
        {43, [&] { return static_cast<int64_t>(strlen(player->getDeviceGuid())); }, 40, {}},
        {44, [&] { return player->selectTrack(3, true, true); }, -1008, Wire().i32(4).i32(3).i32(1).bytes},
        {44, [&] { return player->selectTrack(2, false, false); }, -1008, Wire().i32(5).i32(2).i32(0).bytes},
        {45, [&] { return player->addSubtitleSource("/tmp/a.srt", true); }, -1010,
         Wire().i32(2).i32(1).str("/tmp/a.srt").bytes},
        {46, [&] { return player->refreshVideo(); }, 0, {}},
        {47, [&] { return player->reserved47(); }, 0, {}},
        {48, [&] { return player->setSinkOption(1) ? 1 : 0; }, 0, {}},
        {49, [&] { return player->getSourceFlag(); }, 0, {}},
        {50, [&] { return player->reserved50(9); }, 0, {}},
        {52, [&] { return player->setUserValue(1234) == player ? 1 : 0; }, 1, {}},
        {51, [&] { return player->getUserValue(); }, 1234, {}},
        {53, [&] { return player->reserved53(1, 2); }, 0, {}},
        {54, [&] { return player->setVideoSinkParams(5, 6); }, 6, {}},
        {55, [&] { return player->enableVideoOnlyFallback(); }, 0, {}},
        {56, [&] { return player->skipTo(5); }, -1008, Wire().i32(30).i32(5).bytes},
        {57, [&] { return player->hasNext(-1) ? 1 : 0; }, 0, {}},
        {58, [&] { return player->reserved58(77); }, 77, {}},
        {59, [&] { return player->setOption28("abc"); }, 0, Wire().i32(28).str("abc").bytes},
        {60, [&] { return player->agentCall31(1); }, 0, Wire().i32(31).i32(1).bytes},
        {61, [&] { return player->agentCall32(2); }, 0, Wire().i32(32).i32(2).bytes},
        {62, [&] { return player->agentCall33(3, 4); }, 0, Wire().i32(33).i32(3).i32(4).bytes},
        {63, [&] { return player->setAudioEffect(1, 5); }, 0, Wire().i32(34).i32(1).i32(5).bytes},
        {64, [&] { player->setAudioSinkEffect(1); return 0; }, 0, {}},
        {65, [&] { return player->getVideoInfo(&videoInfo); }, 0, Wire().i32(35).bytes},
        {66, [&] { return player->setTimeshiftOffset(1500); }, 0, Wire().i32(36).i32(1500).bytes},
        {67, [&] { return player->getLivePrograms(&programs); }, 0, Wire().i32(37).bytes},
        {68, [&] { return player->setLiveOption("x"); }, 0, Wire().i32(38).str("x").bytes},
        {69, [&] { return player->reportError(-4105); }, 0, Wire().i32(39).i32(-4105).bytes},
        {70, [&] { return player->setLiveDisabled(1); }, 0, Wire().i32(40).i32(1).bytes},
        {71, [&] { out = -5; int r = player->getLiveDuration(&out); return r == 0 ? out : -999; }, 0, {}},
        {72, [&] { return player->isLiveSeekable() ? 1 : 0; }, 0, {}},
        {73, [&] { return player->getAgentValue(&agentText); }, -1, Wire().i32(41).bytes},
        // The file does not exist: start prepares, FFmpeg's "no such file" comes back.
        {13, [&] { return player->start(); }, -2, {}},
        {12, [&] { return player->prepareAsync(); }, 0, {}},
        {5, [&] { return player->createVideoSink(0, 0, 320, 240, QV_VIDEO_SINK_SOFTWARE); }, 0, {}},
        {1, [&] { return player->setVideoArea(1, 2); }, 0, {}},
        {54, [&] { return player->setVideoSinkParams(7, 8); }, 0, {}},
        {14, [&] { return player->stop(); }, 0, {}},
        // After stop the engine ignores requests.
        {28, [&] { return player->setBrightness(10); }, 0, Wire().i32(19).i32(10).bytes},
    };

    std::vector<std::vector<uint8_t>> expected;
    expected.push_back(Wire().i32(9).str(guid.c_str()).bytes);  // sent by the constructor
    std::vector<bool> slotSeen(74, false);
    for (const Row& row : rows) {
        SCOPED_TRACE("slot " + std::to_string(row.slot));
        EXPECT_EQ(row.call(), row.expectResult);
        if (!row.expectRequest.empty()) expected.push_back(row.expectRequest);
        slotSeen[static_cast<size_t>(row.slot)] = true;
    }
    for (int s = 0; s < 74; ++s) EXPECT_TRUE(slotSeen[static_cast<size_t>(s)]) << "slot " << s << " not driven";
    {
        std::lock_guard<std::mutex> l(gRecordLock);
        ASSERT_EQ(gRecorded.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(gRecorded[i], expected[i]) << "request " << i;
    }

    // Replies that came back through the facade.
    EXPECT_EQ(info.kind, "LIVE");
    EXPECT_EQ(bookmarks, "");
    EXPECT_TRUE(programs.empty());
    EXPECT_EQ(std::wstring(errorText).empty(), false);

    // reportError(-4105) reaches the host rewritten as a lost connection, on another thread.
    EXPECT_TRUE(collector.waitFor([](const Notification& n) { return n.msg == 100 && n.ext2 == -1018; }));
    lib.destroy(player, false);
    for (const std::string& line : std::vector<std::string>{"setDataSource_l(5)", "setDataSource_l(size : 17)",
                                                            "Autolock(play) lock", "Autolock(player_pause) unlock",
                                                            "# stop 2", "GUID_SHA1 '" + guid + "'"}) {
        EXPECT_TRUE(log.contains(line)) << line;
    }
    EXPECT_EQ(log.count("VEL_PlaybackEng invoke os 'Microsoft Windows 8.1 Pro', version '6.3'"), 1u);
    for (const auto& n : collector.items()) EXPECT_NE(n.thread, std::this_thread::get_id());
}

// Notifications arrive in order, each at least 10 ms after it was raised, and a replaced listener
// drops what it still held. Every operation that writes through an out-pointer refuses a null one
// with BAD_VALUE (-22) instead of writing through it, before and after a prepare.
TEST(PlayerApi, NotificationsAndNullOutPointers) {
    Library lib;
    ASSERT_TRUE(lib.ok());
    IVelmorPlayerBase* player = lib.create();
    Collector first;
    player->setListener(&Collector::callback, &first);
    const auto raised = std::chrono::steady_clock::now();
    EXPECT_EQ(player->reportError(-1004), 0);
    EXPECT_EQ(player->reportError(-6001), 0);
    EXPECT_EQ(player->reportError(-9500), 0);
    ASSERT_TRUE(first.waitFor([](const Notification& n) { return n.ext2 == -9500; }));
    const auto items = first.items();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].ext2, -1004);
    EXPECT_EQ(items[1].ext2, -1018);  // -6001 is reported as a lost connection
    EXPECT_EQ(items[2].ext2, -9500);
    for (const auto& n : items) {
        EXPECT_EQ(n.msg, 100);
        EXPECT_EQ(n.ext1, 1);
        EXPECT_FALSE(n.hasText);
        EXPECT_GE(n.at - raised, std::chrono::milliseconds(10));
    }
    Collector collector;
    player->reportError(-1003);
    player->setListener(&Collector::callback, &collector);
    player->reportError(-1002);
    ASSERT_TRUE(collector.waitFor([](const Notification& n) { return n.ext2 == -1002; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (const auto& n : first.items()) EXPECT_NE(n.ext2, -1003);

    player->createAudioSink(QV_AUDIO_SINK_NULL);
    player->setLiveDisabled(1);
    for (int prepared = 0; prepared < 2; ++prepared) {
        SCOPED_TRACE(prepared);
        if (prepared) {
            player->setDataSource((qvtest::mediaPath("h264_aac.mp4")).c_str(), nullptr);
            player->prepareAsync();
            ASSERT_TRUE(collector.waitForMsg(QV_MEDIA_PREPARED, 10000));
        }
        for (int32_t status : {player->getCurrentPosition(nullptr), player->getDuration(nullptr),
                               player->getLiveDuration(nullptr), player->getVideoWidth(nullptr),
                               player->getVideoHeight(nullptr), player->getPlayerState(nullptr),
                               player->getErrorText(L"en", -1010, nullptr), player->getContentInfo(nullptr),
                               player->getBookmarks(nullptr), player->getVideoInfo(nullptr),
                               player->getLivePrograms(nullptr)}) {
            EXPECT_EQ(status, -22);
        }
    }
    lib.destroy(player, false);
}

TEST(PlayerApi, CreateDestroyCyclesLeaveNoThreadsAndKeepObjectOnlyStops) {
    Library lib;
    ASSERT_TRUE(lib.ok());
    // Warm up once so lazily created process-wide state is not counted.
    lib.destroy(lib.create(), false);
    const int baseline = countThreads();
    for (int i = 0; i < 200; ++i) {
        IVelmorPlayerBase* player = lib.create();
        ASSERT_NE(player, nullptr);
        Collector collector;
        player->setListener(&Collector::callback, &collector);
        player->createAudioSink(QV_AUDIO_SINK_NULL);
        if (i % 10 == 0) player->setDataSource("/no/such/file.mp4", nullptr), player->prepareAsync();
        lib.destroy(player, false);
    }
    // Detached helper threads may take a moment to finish their last lines.
    for (int i = 0; i < 100 && countThreads() > baseline; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_LE(countThreads(), baseline);

    // Destroying with keepObject only stops: the object stays usable.
    IVelmorPlayerBase* kept = lib.create();
    kept->setUserValue(42);
    lib.destroy(kept, true);
    EXPECT_EQ(kept->getUserValue(), 42);
    EXPECT_EQ(kept->getApiLevel(), 1);
    lib.destroy(kept, false);
}

}  // namespace
