#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "FoundationTestSupport.h"
#include "engine/foundation/ByteString.h"
#include "engine/foundation/hexdump.h"
#include "utils/Log.h"
#include "utils/Mutex.h"
#include "utils/Payload.h"
#include "utils/RefCounted.h"
#include "utils/Text8.h"
#include "utils/Thread.h"

#define LOG_TAG "VEL_LogProbe"

namespace velmor {
namespace {

using test::LogCapture;

template <typename Pred>
bool waitUntil(Pred pred, int timeoutMs = 5000) {
    for (int i = 0; i < timeoutMs && !pred(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return pred();
}

// ---- logging ----

// True when line is the mark "{M}", two spaces, the bracketed local time, four spaces and rest.
bool isLogLine(const std::string& line, char mark, const std::string& rest) {
    static const std::regex head("\\{[VDIWE]\\}  \\[\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\\]    ");
    std::smatch m;
    return std::regex_search(line, m, head, std::regex_constants::match_continuous) && line[1] == mark &&
           m.suffix().str() == rest;
}

TEST(Log, LineFormat) {
    LogCapture logs(LOG_VERBOSE - 10);  // every level, to see every mark
    log(LOG_WARN, "VEL_LooperRoster", "value %d and %s", 5, "text");
    const auto lines = logs.linesContaining("value 5 and text");
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(isLogLine(lines[0], 'W', "VEL_LooperRoste value 5 and text\n")) << lines[0];
    // The tag is cut to 15 characters and padded to 16 columns.
    log(LOG_INFO, "ABCDEFGHIJKLMNOPQ", "seventeen");
    log(LOG_INFO, "abc", "three");
    EXPECT_EQ(1u, logs.count("]    ABCDEFGHIJKLMNO seventeen\n"));
    EXPECT_EQ(1u, logs.count("]    abc" + std::string(13, ' ') + "three\n"));

    const std::pair<int, const char*> marks[] = {{3, "{D}"}, {4, "{I}"}, {5, "{W}"}, {6, "{E}"}, {7, "{E}"},
                                                 {2, "{V}"}, {0, "{V}"}, {8, "{V}"}, {-1, "{V}"}};
    for (const auto& [level, mark] : marks) {
        const std::string text = "level-probe " + std::to_string(level) + ".";
        log(level, "T", "%s", text.c_str());
        auto found = logs.linesContaining(text);
        ASSERT_EQ(1u, found.size()) << level;
        EXPECT_EQ(0u, found[0].find(std::string(mark) + "  [")) << level;
    }

    // An overlong message is cut so that the whole line, newline included, stays within 4094.
    log(LOG_ERROR, "VEL_Long", "%s", std::string(6000, 'x').c_str());
    auto longLines = logs.linesContaining("xxxxxxxxxx");
    ASSERT_EQ(1u, longLines.size());
    EXPECT_EQ(4094u, longLines[0].size());
    EXPECT_EQ(longLines[0].find('\n'), 4093u);
    // A small buffer is never overrun and the line still ends in a newline.
    char small[40];
    const int n = formatLogLine(small, sizeof(small), LOG_DEBUG, "VEL_X", "a long message that will not fit");
    EXPECT_EQ(static_cast<int>(strlen(small)), n);
    EXPECT_LT(n, 40);
    EXPECT_EQ('\n', small[n - 1]);
}

// Lines below the threshold are dropped before anything is formatted: the macros do not even
// evaluate their arguments. A sink that wants nothing makes every line such a line.
TEST(Log, ThresholdAndSinkLevelDecideBeforeFormatting) {
    EXPECT_EQ(LOG_INFO, logLevel());
    int evaluated = 0;
    auto arg = [&] { return ++evaluated; };
    {
        LogCapture logs;
        VLOGV("probe verbose %d", arg());
        VLOGD("probe debug %d", arg());
        log(LOG_DEBUG, LOG_TAG, "probe direct debug");
        VLOGI("probe info %d", arg());
        VLOGW("probe warn %d", arg());
        EXPECT_EQ(2, evaluated);
        const auto written = logs.linesContaining("probe ");
        ASSERT_EQ(2u, written.size());
        EXPECT_TRUE(isLogLine(written[0], 'I', "VEL_LogProbe    probe info 1\n")) << written[0];
        EXPECT_TRUE(isLogLine(written[1], 'W', "VEL_LogProbe    probe warn 2\n")) << written[1];

        // Lowered: verbose and debug lines appear with their marks.
        EXPECT_EQ(LOG_INFO, setLogLevel(LOG_VERBOSE));
        VLOGV("probe verbose %d", arg());
        VLOGD("probe debug %d", arg());
        EXPECT_EQ(1u, logs.count("probe verbose", 'V'));
        EXPECT_EQ(1u, logs.count("VEL_LogProbe    probe debug 4\n"));
        // Raised: warnings go too; errors stay.
        setLogLevel(LOG_ERROR);
        VLOGW("probe warn %d", arg());
        log(LOG_WARN, LOG_TAG, "probe direct warn");
        VLOGE("probe error %d", arg());
        EXPECT_EQ(5, evaluated);
        EXPECT_EQ(0u, logs.count("probe direct"));
        EXPECT_EQ(1u, logs.count("probe error", 'E'));
    }
    EXPECT_EQ(LOG_INFO, logLevel());  // the capture put the default back

    static std::atomic<int> silentCalls{0};
    setLogSink([](const char*, int) { ++silentCalls; }, kLogSilent);
    VLOGE("probe error %d", arg());
    log(LOG_FATAL, LOG_TAG, "probe direct fatal");
    EXPECT_EQ(5, evaluated);
    EXPECT_EQ(0, silentCalls.load());
    // A sink that asks only for warnings and up gets exactly those.
    setLogSink([](const char*, int) { ++silentCalls; }, LOG_WARN);
    VLOGI("probe info %d", arg());
    VLOGW("probe warn %d", arg());
    EXPECT_EQ(6, evaluated);
    EXPECT_EQ(1, silentCalls.load());
    setLogSink(nullptr);
    EXPECT_TRUE(logWanted(LOG_INFO));
    EXPECT_FALSE(logWanted(LOG_DEBUG));
}

// ---- locks ----

// The mutex is held once more by this thread: until that last unlock no other thread can take it.
void expectReleasedByLastUnlock(Mutex& mutex) {
    std::thread([&] { EXPECT_NE(OK, mutex.tryLock()); }).join();
    mutex.unlock();
    std::thread([&] {
        EXPECT_EQ(OK, mutex.tryLock());
        mutex.unlock();
    }).join();
}

TEST(Mutex, NestedLockingOutsideConditionWaitsAndNamedAutolock) {
    LogCapture logs;
    Mutex mutex;
    mutex.lock();
    EXPECT_EQ(OK, mutex.tryLock());
    {
        Autolock nested(mutex, "probe");  // a name makes it log both ends at info level
        EXPECT_TRUE(mutex.heldByMe());
        EXPECT_EQ(1u, logs.count("]    VEL_PlayerFront Autolock(probe) lock\n"));
        EXPECT_EQ(0u, logs.count("unlock"));
    }
    EXPECT_EQ(1u, logs.count("]    VEL_PlayerFront Autolock(probe) unlock\n"));
    { Autolock quiet(mutex); }
    EXPECT_EQ(2u, logs.count("Autolock(", 'I'));
    EXPECT_EQ(2u, logs.count("Autolock("));
    mutex.unlock();
    EXPECT_TRUE(mutex.heldByMe());
    std::thread([&] { EXPECT_FALSE(mutex.heldByMe()); }).join();
    expectReleasedByLastUnlock(mutex);
    EXPECT_FALSE(mutex.heldByMe());
}

TEST(Condition, TimeOutsSignalAndBroadcast) {
    Mutex mutex;
    Condition cond;
    // A zero or past time-out returns at once, still holding the mutex.
    mutex.lock();
    EXPECT_EQ(TIMED_OUT, cond.waitRelative(mutex, 0));
    EXPECT_EQ(TIMED_OUT, cond.waitRelative(mutex, -5000000000LL));
    EXPECT_TRUE(mutex.heldByMe());
    // A real time-out lasts at least as long as asked and comes back holding the mutex.
    const int64_t t0 = systemTime();
    EXPECT_EQ(TIMED_OUT, cond.waitRelative(mutex, 30000000));
    EXPECT_GE(systemTime() - t0, 30000000);
    expectReleasedByLastUnlock(mutex);

    // A signal wakes a waiter long before its time-out; the owner record follows the mutex.
    bool flag = false;
    std::thread signaller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        Autolock l(mutex);
        flag = true;
        cond.signal();
    });
    {
        Autolock l(mutex);
        status_t st = OK;
        while (!flag && st == OK) st = cond.waitRelative(mutex, 20000000000LL);
        EXPECT_EQ(OK, st);
        EXPECT_TRUE(mutex.heldByMe());
    }
    signaller.join();

    // A broadcast reaches every waiter.
    int go = 0;
    std::atomic<int> woken{0}, waiting{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            Autolock l(mutex);
            ++waiting;
            while (!go) cond.wait(mutex);
            ++woken;
        });
    }
    ASSERT_TRUE(waitUntil([&] { return waiting.load() == 4; }));
    {
        Autolock l(mutex);
        go = 1;
        cond.broadcast();
    }
    for (auto& w : waiters) w.join();
    EXPECT_EQ(4, woken.load());
}

#ifndef NDEBUG
// A wait on a nested hold would keep the mutex held while waiting; debug builds refuse it.
TEST(ConditionDeathTest, WaitOnANestedHoldAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Mutex mutex;
            Condition cond;
            mutex.lock();
            mutex.lock();
            cond.waitRelative(mutex, 1000000);
        },
        "held more than once");
}
#endif

// ---- threads ----

class CountingThread : public Thread {
public:
    explicit CountingThread(std::atomic<int>* destroyed = nullptr) : mDestroyed(destroyed) {}
    ~CountingThread() override {
        if (mDestroyed) ++*mDestroyed;
    }
    std::atomic<int> loops{0}, maxLoops{-1};
    std::atomic<status_t> readyResult{OK};
    std::atomic<bool> joinSelf{false};
    std::atomic<status_t> selfJoinResult{12345};
    status_t readyToRun() override { return readyResult.load(); }

private:
    bool threadLoop() override {
        const int n = ++loops;
        if (joinSelf.exchange(false)) selfJoinResult = requestExitAndWait();
        if (maxLoops.load() >= 0 && n >= maxLoops.load()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return true;
    }
    std::atomic<int>* mDestroyed;
};

TEST(Thread, LifeCycle) {
    // Never run: returns at once with the last status.
    Ref<CountingThread> idle = new CountingThread;
    EXPECT_EQ(OK, idle->requestExitAndWait());
    EXPECT_EQ(0, idle->loops.load());

    // A second run is refused; joining itself is refused with a warning and the thread goes on;
    // requestExitAndWait stops it; it can run again.
    LogCapture logs;
    Ref<CountingThread> t = new CountingThread;
    t->joinSelf = true;
    ASSERT_EQ(OK, t->run("counting"));
    EXPECT_EQ(INVALID_OPERATION, t->run("again"));
    ASSERT_TRUE(waitUntil([&] { return t->loops.load() >= 3; }));
    EXPECT_EQ(WOULD_BLOCK, t->selfJoinResult.load());
    char expected[160];
    snprintf(expected, sizeof(expected),
             "]    VEL_threads     Thread (this=%p): don't call waitForExit() from this Thread object's thread. "
             "It's a guaranteed deadlock!\n",
             static_cast<void*>(static_cast<Thread*>(t.get())));
    const auto lines = logs.linesContaining("guaranteed deadlock");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].find("{W}  ["));
    EXPECT_NE(std::string::npos, lines[0].find(expected)) << lines[0];
    EXPECT_EQ(OK, t->requestExitAndWait());
    EXPECT_FALSE(t->isRunning());
    const int loopsAfterStop = t->loops.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(loopsAfterStop, t->loops.load());
    ASSERT_EQ(OK, t->run("counting2"));
    ASSERT_TRUE(waitUntil([&] { return t->loops.load() > loopsAfterStop; }));
    EXPECT_EQ(OK, t->requestExitAndWait());

    // readyToRun failing: threadLoop never runs and the status is reported.
    Ref<CountingThread> failing = new CountingThread;
    failing->readyResult = BAD_VALUE;
    ASSERT_EQ(OK, failing->run("failing"));
    ASSERT_TRUE(waitUntil([&] { return !failing->isRunning(); }));
    EXPECT_EQ(BAD_VALUE, failing->requestExitAndWait());
    EXPECT_EQ(0, failing->loops.load());

    // threadLoop returning false ends the thread, which holds its object until then.
    std::atomic<int> destroyed{0};
    {
        Ref<CountingThread> finite = new CountingThread(&destroyed);
        finite->maxLoops = 20;
        ASSERT_EQ(OK, finite->run("finite"));
    }
    ASSERT_TRUE(waitUntil([&] { return destroyed.load() == 1; }));
}

// ---- reference counting ----

struct Probe : public RefCounted {
    static constexpr uint32_t kAlive = 0xA11CE;
    explicit Probe(std::atomic<int>* destroyed) : mDestroyed(destroyed) {}
    ~Probe() override {
        magic = 0xDEAD;
        ++*mDestroyed;
    }
    void onFirstRef() override { ++firstRefs; }
    std::atomic<uint32_t> magic{kAlive};
    std::atomic<int> firstRefs{0};
    std::atomic<int>* mDestroyed;
};

TEST(RefCounted, WeakReferencesAndPromotionRacingTheLastRelease) {
    std::atomic<int> destroyed{0};
    // The first strong reference may come through a weak one; onFirstRef runs once.
    Probe* raw = new Probe(&destroyed);
    WeakRef<Probe> early(raw);
    {
        Ref<Probe> strong = early.promote();
        ASSERT_EQ(raw, strong.get());
        Ref<Probe> again = early.promote();
        EXPECT_EQ(2, raw->getStrongCount());
        EXPECT_EQ(1, raw->firstRefs.load());
    }
    EXPECT_EQ(1, destroyed.load());
    // Weak references and their copies outlive the object; its count record stays valid.
    WeakRef<Probe> copy = early;
    early.clear();
    EXPECT_EQ(nullptr, copy.promote());

    // Promotions on three threads while the last strong reference goes on a fourth: each either
    // fails or gets a live object, and the object dies exactly once.
    for (int round = 0; round < 20; ++round) {
        std::atomic<int> dead{0}, badMagic{0};
        Ref<Probe> strong = new Probe(&dead);
        WeakRef<Probe> weak = strong;
        std::atomic<bool> start{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t) {
            threads.emplace_back([&] {
                while (!start.load()) {
                }
                for (int i = 0; i < 2000; ++i) {
                    Ref<Probe> p = weak.promote();
                    if (p == nullptr) break;
                    if (p->magic.load() != Probe::kAlive) ++badMagic;
                    Ref<Probe> extra = p;
                }
            });
        }
        start = true;
        std::this_thread::sleep_for(std::chrono::microseconds(50 * round));
        std::thread([moved = std::move(strong)]() mutable { moved.clear(); }).join();
        for (auto& t : threads) t.join();
        EXPECT_EQ(1, dead.load());
        EXPECT_EQ(0, badMagic.load());
        EXPECT_EQ(nullptr, weak.promote());
    }
}

// ---- payload ----

TEST(Payload, LayoutRoundTripAndBadReads) {
    Payload p;
    p.writeInt32(0x01020304);
    p.writeCString("abc");   // 3 + NUL = 4
    p.writeCString("abcd");  // 5, padded with zeros to 8
    p.writeInt64(-2);
    p.writeText8(Text8("xy"));
    p.writeString16(u"h\u00e9");  // length, two units and a zero unit, padded
    p.writeString16(nullptr, 0);   // a null string: length -1
    p.writeFloat(0.5f);
    p.writeDouble(3.25);
    const uint8_t expected[] = {4,    3,    2,    1,    'a',  'b',  'c',  0,    'a', 'b', 'c',  'd',  0,    0,
                                0,    0,    0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 'x', 'y', 0,    0,
                                2,    0,    0,    0,    'h',  0,    0xe9, 0,    0,    0,    0,   0,   0xff, 0xff,
                                0xff, 0xff, 0,    0,    0,    0x3f, 0,    0,    0,    0,    0,   0,   0x0a, 0x40};
    ASSERT_EQ(sizeof(expected), p.dataSize());
    EXPECT_EQ(0, memcmp(expected, p.data(), sizeof(expected)));

    p.setDataPosition(0);
    EXPECT_EQ(0x01020304, p.readInt32());
    EXPECT_STREQ("abc", p.readCString());
    EXPECT_STREQ("abcd", p.readCString());
    EXPECT_EQ(-2, p.readInt64());
    EXPECT_EQ("xy", p.readText8().std());
    std::u16string s16;
    EXPECT_TRUE(p.readString16(&s16));
    EXPECT_EQ(u"h\u00e9", s16);
    EXPECT_FALSE(p.readString16(&s16));  // the null string: not read, the position stays
    EXPECT_EQ(40u, p.dataPosition());
    p.setDataPosition(44);
    float f = 0;
    EXPECT_EQ(OK, p.readFloat(&f));
    EXPECT_EQ(0.5f, f);
    EXPECT_EQ(3.25, p.readDouble());

    // Reads past the end fail and leave the position and the output alone.
    LogCapture logs;
    int64_t v64 = 55;
    EXPECT_EQ(NOT_ENOUGH_DATA, p.readInt64(&v64));
    EXPECT_EQ(55, v64);
    char block[8];
    EXPECT_EQ(NOT_ENOUGH_DATA, p.read(block, 1));
    EXPECT_EQ(sizeof(expected), p.dataPosition());
    EXPECT_EQ(0, p.readInt32());
    EXPECT_EQ(nullptr, p.readCString());
    EXPECT_TRUE(p.readText8().isEmpty());
    EXPECT_EQ(1u, logs.count("Reading a NULL string", 'E'));
    EXPECT_EQ(1u, logs.count("]    VEL_Payload     Reading a NULL string not supported here.\n"));
    p.setDataPosition(1000);
    EXPECT_EQ(NOT_ENOUGH_DATA, p.readInt32(nullptr));

    // Sizes whose growth would overflow are refused and change nothing.
    EXPECT_EQ(NO_MEMORY, p.setDataSize(SIZE_MAX));
    EXPECT_EQ(NO_MEMORY, p.setDataSize(SIZE_MAX / 2));
    EXPECT_EQ(sizeof(expected), p.dataSize());
    // Cut short: a 16-bit string whose length claims more than is left, a string without its
    // terminator; neither is read and the position stays.
    EXPECT_EQ(OK, p.setDataSize(36));
    p.setDataPosition(28);
    EXPECT_FALSE(p.readString16(&s16));
    EXPECT_EQ(28u, p.dataPosition());
    EXPECT_EQ(OK, p.setDataSize(12));
    p.setDataPosition(8);
    EXPECT_EQ(nullptr, p.readCString());
    EXPECT_EQ(8u, p.dataPosition());

    // Many writes through repeated growth keep every value.
    Payload big;
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(OK, big.writeInt32(i));
    big.setDataPosition(0);
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(i, big.readInt32());
}

// ---- hexdump ----

TEST(Hexdump, TwentyBytesMakeTwoLines) {
    const uint8_t data[20] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9',
                              'a', 'b', 'c', 'd', 'e', 'f', 0x00, 0x7f, 'Z', 0xff};
    ByteString out("prefix|");
    hexdump(data, sizeof(data), 0, &out);
    EXPECT_EQ("prefix|"
              "00000000:  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  0123456789abcdef\n"
              "00000010:  00 7f 5a ff" + std::string(1 + 12 + 1 + 24 + 1, ' ') + "..Z.\n",
              out.str());

    // Indented, and through the log (info level) when there is nowhere to append.
    LogCapture logs;
    hexdump(data, sizeof(data), 3);
    EXPECT_EQ(2u, logs.count("VEL_hexdump", 'I'));
    EXPECT_EQ(1u, logs.count("]    VEL_hexdump        00000000:  30 31 32 33 34 35 36 37  38 39 61 62 "));
    EXPECT_EQ(1u, logs.count("]    VEL_hexdump        00000010:  00 7f 5a ff "));
}

}  // namespace
}  // namespace velmor
