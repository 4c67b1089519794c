#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
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

namespace velmor {
namespace {

using test::LogCapture;

// ---- logging ----

TEST(Log, LineFormatTagFieldAndLevelMarks) {
    LogCapture logs;
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);

    // The 16-character tag is cut to its first 15 characters and padded to 16 columns.
    log(LOG_WARN, "VEL_LooperRoster", "value %d and %s", 5, "text");
    const auto lines = logs.linesContaining("value 5 and text");
    ASSERT_EQ(1u, lines.size());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m,
                                 std::regex("\\{W\\}  \\[(\\d\\d)-(\\d\\d) (\\d\\d):(\\d\\d):(\\d\\d)\\.(\\d\\d\\d)\\]    "
                                            "VEL_LooperRoste value 5 and text\n")))
        << lines[0];
    // Local month and day, unless the test straddles midnight.
    time_t after = time(nullptr);
    struct tm lt2;
    localtime_r(&after, &lt2);
    if (lt.tm_mday == lt2.tm_mday) {
        EXPECT_EQ(lt.tm_mon + 1, std::stoi(m[1]));
        EXPECT_EQ(lt.tm_mday, std::stoi(m[2]));
    }

    // A 17-character tag keeps 15 characters and one space; a 3-character tag gets 13 spaces.
    log(LOG_INFO, "ABCDEFGHIJKLMNOPQ", "seventeen");
    log(LOG_INFO, "abc", "three");
    auto l17 = logs.linesContaining("seventeen");
    auto l3 = logs.linesContaining("three");
    ASSERT_EQ(1u, l17.size());
    ASSERT_EQ(1u, l3.size());
    EXPECT_NE(std::string::npos, l17[0].find("]    ABCDEFGHIJKLMNO seventeen\n"));
    EXPECT_NE(std::string::npos, l3[0].find("]    abc" + std::string(13, ' ') + "three\n"));
    // Exactly 16 columns, whatever the tag.
    EXPECT_EQ(l17[0].find("seventeen") - l17[0].find("ABC"), 16u);

    const std::pair<int, const char*> marks[] = {{3, "{D}"}, {4, "{I}"}, {5, "{W}"}, {6, "{E}"}, {7, "{E}"},
                                                 {2, "{V}"}, {0, "{V}"}, {8, "{V}"}, {-1, "{V}"}};
    for (const auto& [level, mark] : marks) {
        const std::string text = "level-probe " + std::to_string(level) + ".";
        log(level, "T", "%s", text.c_str());
        auto found = logs.linesContaining(text);
        ASSERT_EQ(1u, found.size()) << level;
        EXPECT_EQ(0u, found[0].find(std::string(mark) + "  [")) << level;
    }

    // An overlong message is cut so that the whole line stays within 4094 characters.
    const std::string longText(6000, 'x');
    log(LOG_ERROR, "VEL_Long", "%s", longText.c_str());
    auto longLines = logs.linesContaining("xxxxxxxxxx");
    ASSERT_EQ(1u, longLines.size());
    EXPECT_LE(longLines[0].size(), 4094u);
    EXPECT_GE(longLines[0].size(), 4090u);
    EXPECT_EQ('\n', longLines[0].back());
    EXPECT_EQ(1u, std::count(longLines[0].begin(), longLines[0].end(), '\n'));

    // formatLogLine builds the same line without output and respects a small buffer.
    char small[40];
    const int n = formatLogLine(small, sizeof(small), LOG_DEBUG, "VEL_X", "a long message that will not fit");
    EXPECT_EQ(static_cast<int>(strlen(small)), n);
    EXPECT_LT(n, 40);
    EXPECT_EQ('\n', small[n - 1]);
    EXPECT_EQ(0, strncmp(small, "{D}  [", 6));
}

TEST(Log, NamedAutolockLogsLockAndUnlock) {
    LogCapture logs;
    Mutex mutex;
    {
        Autolock l(mutex, "probe");
        EXPECT_EQ(1u, logs.count("Autolock(probe) lock"));
        EXPECT_EQ(0u, logs.count("Autolock(probe) unlock"));
    }
    auto lines = logs.linesContaining("Autolock(probe) unlock");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].find("{I}  ["));
    EXPECT_NE(std::string::npos, lines[0].find("]    VEL_PlayerFront Autolock(probe) unlock\n"));
    {
        Autolock quiet(mutex);
    }
    EXPECT_EQ(2u, logs.count("Autolock("));
}

// ---- locks ----

// mutex is held once more by this thread: until that last unlock another thread cannot take it,
// afterwards it can.
void expectReleasedByLastUnlock(Mutex& mutex) {
    std::thread([&] { EXPECT_NE(OK, mutex.tryLock()); }).join();
    mutex.unlock();
    std::thread([&] {
        EXPECT_EQ(OK, mutex.tryLock());
        mutex.unlock();
    }).join();
}

TEST(Condition, ZeroOrPastTimeoutReturnsTimedOutHoldingTheMutex) {
    Mutex mutex;
    Condition cond;
    mutex.lock();
    const int64_t t0 = systemTime();
    EXPECT_EQ(TIMED_OUT, cond.waitRelative(mutex, 0));
    EXPECT_EQ(TIMED_OUT, cond.waitRelative(mutex, -5000000000LL));
    EXPECT_LT(systemTime() - t0, 2000000000LL);
    // Still held by this thread: another thread cannot take it.
    expectReleasedByLastUnlock(mutex);

    // A real time-out lasts at least as long as asked.
    mutex.lock();
    const int64_t t1 = systemTime();
    EXPECT_EQ(TIMED_OUT, cond.waitRelative(mutex, 30000000));
    EXPECT_GE(systemTime() - t1, 30000000);
    mutex.unlock();
}

TEST(Condition, SignalAndBroadcastWakeWaiters) {
    Mutex mutex;
    Condition cond;
    bool flag = false;
    std::thread signaller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        Autolock l(mutex);
        flag = true;
        cond.signal();
    });
    const int64_t t0 = systemTime();
    {
        Autolock l(mutex);
        status_t st = OK;
        while (!flag) {
            st = cond.waitRelative(mutex, 20000000000LL);
            if (st == TIMED_OUT) break;
        }
        EXPECT_TRUE(flag);
        EXPECT_EQ(OK, st);
    }
    EXPECT_LT(systemTime() - t0, 15000000000LL);
    signaller.join();

    // Broadcast reaches every waiter.
    int go = 0;
    std::atomic<int> woken{0};
    std::atomic<int> waiting{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            Autolock l(mutex);
            ++waiting;
            while (!go) cond.wait(mutex);
            ++woken;
        });
    }
    while (waiting.load() < 4) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    {
        Autolock l(mutex);
        go = 1;
        cond.broadcast();
    }
    for (auto& w : waiters) w.join();
    EXPECT_EQ(4, woken.load());
}

TEST(Mutex, IsRecursiveForItsOwner) {
    Mutex mutex;
    mutex.lock();
    EXPECT_EQ(OK, mutex.tryLock());
    mutex.unlock();
    expectReleasedByLastUnlock(mutex);
}

// ---- threads ----

class CountingThread : public Thread {
public:
    explicit CountingThread(std::atomic<int>* destroyed = nullptr) : mDestroyed(destroyed) {}
    ~CountingThread() override {
        if (mDestroyed) ++*mDestroyed;
    }
    std::atomic<int> loops{0};
    std::atomic<int> maxLoops{-1};
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

template <typename Pred>
bool waitUntil(Pred pred, int timeoutMs = 5000) {
    for (int i = 0; i < timeoutMs; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

TEST(Thread, ExitHandshake) {
    // Never run: returns at once with the last status.
    Ref<CountingThread> idle = new CountingThread;
    const int64_t t0 = systemTime();
    EXPECT_EQ(OK, idle->requestExitAndWait());
    EXPECT_LT(systemTime() - t0, 1000000000LL);
    EXPECT_FALSE(idle->isRunning());
    EXPECT_EQ(0, idle->loops.load());

    // Running: a second run is refused; requestExitAndWait stops it; it can run again.
    Ref<CountingThread> t = new CountingThread;
    ASSERT_EQ(OK, t->run("counting"));
    EXPECT_EQ(INVALID_OPERATION, t->run("again"));
    ASSERT_TRUE(waitUntil([&] { return t->loops.load() >= 3; }));
    EXPECT_TRUE(t->isRunning());
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

    // threadLoop returning false ends the thread on its own.
    Ref<CountingThread> finite = new CountingThread;
    finite->maxLoops = 5;
    ASSERT_EQ(OK, finite->run("finite"));
    ASSERT_TRUE(waitUntil([&] { return !finite->isRunning(); }));
    EXPECT_EQ(5, finite->loops.load());
    EXPECT_EQ(OK, finite->requestExitAndWait());
}

TEST(Thread, JoiningItselfIsRefusedWithWarning) {
    LogCapture logs;
    Ref<CountingThread> t = new CountingThread;
    t->joinSelf = true;
    ASSERT_EQ(OK, t->run("selfjoin"));
    ASSERT_TRUE(waitUntil([&] { return t->selfJoinResult.load() != 12345; }));
    EXPECT_EQ(WOULD_BLOCK, t->selfJoinResult.load());
    char expected[160];
    snprintf(expected, sizeof(expected),
             "VEL_threads     Thread (this=%p): don't call waitForExit() from this Thread object's thread. It's a "
             "guaranteed deadlock!\n",
             static_cast<void*>(static_cast<Thread*>(t.get())));
    auto lines = logs.linesContaining("guaranteed deadlock");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].find("{W}  ["));
    EXPECT_NE(std::string::npos, lines[0].find(expected)) << lines[0];
    // The thread kept going and still stops normally.
    EXPECT_TRUE(t->isRunning());
    EXPECT_EQ(OK, t->requestExitAndWait());
}

TEST(Thread, RunningThreadKeepsItsObjectAlive) {
    std::atomic<int> destroyed{0};
    {
        Ref<CountingThread> t = new CountingThread(&destroyed);
        t->maxLoops = 20;
        ASSERT_EQ(OK, t->run("selfheld"));
    }
    // The caller's reference is gone; the thread finishes its loops and then lets go.
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
    void onLastStrongRef(const void*) override { ++lastStrongRefs; }
    std::atomic<uint32_t> magic{kAlive};
    std::atomic<int> firstRefs{0};
    std::atomic<int> lastStrongRefs{0};
    std::atomic<int>* mDestroyed;
};

TEST(RefCounted, WeakPromotionFailsOnceTheObjectIsGone) {
    std::atomic<int> destroyed{0};
    WeakRef<Probe> weak;
    {
        Ref<Probe> strong = new Probe(&destroyed);
        EXPECT_EQ(1, strong->firstRefs.load());
        EXPECT_EQ(1, strong->getStrongCount());
        weak = strong;
        Ref<Probe> promoted = weak.promote();
        ASSERT_NE(nullptr, promoted);
        EXPECT_EQ(strong.get(), promoted.get());
        EXPECT_EQ(2, strong->getStrongCount());
        EXPECT_EQ(1, strong->firstRefs.load());
    }
    EXPECT_EQ(1, destroyed.load());
    // The weak reference outlives the object and its count record stays valid.
    EXPECT_EQ(nullptr, weak.promote());
    WeakRef<Probe> copy = weak;
    EXPECT_EQ(nullptr, copy.promote());
    weak.clear();
    EXPECT_EQ(nullptr, copy.promote());

    // The first strong reference may also come through a weak one.
    Probe* raw = new Probe(&destroyed);
    WeakRef<Probe> early(raw);
    {
        Ref<Probe> viaWeak = early.promote();
        ASSERT_EQ(raw, viaWeak.get());
        EXPECT_EQ(1, raw->firstRefs.load());
    }
    EXPECT_EQ(2, destroyed.load());
    EXPECT_EQ(nullptr, early.promote());
}

TEST(RefCounted, PromotionRacesWithTheLastRelease) {
    for (int round = 0; round < 20; ++round) {
        std::atomic<int> destroyed{0};
        Ref<Probe> strong = new Probe(&destroyed);
        WeakRef<Probe> weak = strong;
        std::atomic<bool> start{false};
        std::atomic<int> failures{0};
        std::atomic<int> badMagic{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t) {
            threads.emplace_back([&] {
                while (!start.load()) {
                }
                for (int i = 0; i < 2000; ++i) {
                    Ref<Probe> p = weak.promote();
                    if (p == nullptr) {
                        ++failures;
                        break;
                    }
                    if (p->magic.load() != Probe::kAlive) ++badMagic;
                    Ref<Probe> extra = p;  // more counting traffic
                }
            });
        }
        start = true;
        std::this_thread::sleep_for(std::chrono::microseconds(50 * round));
        strong.clear();
        for (auto& t : threads) t.join();
        EXPECT_EQ(1, destroyed.load());
        EXPECT_EQ(0, badMagic.load());
        EXPECT_EQ(nullptr, weak.promote());
    }
}

TEST(RefCounted, LastStrongReferenceDroppedOnAnotherThread) {
    std::atomic<int> destroyed{0};
    Ref<Probe> strong = new Probe(&destroyed);
    WeakRef<Probe> weak = strong;
    Probe* raw = strong.get();
    std::thread([moved = std::move(strong)]() mutable { moved.clear(); }).join();
    EXPECT_EQ(1, destroyed.load());
    EXPECT_EQ(nullptr, weak.promote());
    (void)raw;
}

// ---- payload ----

TEST(Payload, PaddingStringsAndLayout) {
    Payload p;
    ASSERT_EQ(OK, p.writeInt32(0x01020304));
    ASSERT_EQ(OK, p.writeCString("abc"));    // 3 + NUL = 4
    ASSERT_EQ(OK, p.writeCString("abcd"));   // 5 -> 8
    ASSERT_EQ(OK, p.writeCString(""));       // 1 -> 4
    ASSERT_EQ(OK, p.writeInt64(-2));
    ASSERT_EQ(OK, p.writeFloat(0.5f));
    ASSERT_EQ(OK, p.writeDouble(3.25));
    ASSERT_EQ(OK, p.writeText8(Text8("xy")));  // 3 -> 4
    EXPECT_EQ(4u + 4 + 8 + 4 + 8 + 4 + 8 + 4, p.dataSize());
    const uint8_t* d = p.data();
    EXPECT_EQ(0, memcmp(d, "\x04\x03\x02\x01", 4));  // little-endian
    EXPECT_EQ(0, memcmp(d + 8, "abcd\0\0\0\0", 8));  // padding is zero
    EXPECT_EQ(0, memcmp(d + 16, "\0\0\0\0", 4));

    p.setDataPosition(0);
    EXPECT_EQ(0x01020304, p.readInt32());
    EXPECT_STREQ("abc", p.readCString());
    EXPECT_EQ(8u, p.dataPosition());
    EXPECT_STREQ("abcd", p.readCString());
    EXPECT_STREQ("", p.readCString());
    EXPECT_EQ(-2, p.readInt64());
    float f = 0;
    EXPECT_EQ(OK, p.readFloat(&f));
    EXPECT_EQ(0.5f, f);
    EXPECT_EQ(3.25, p.readDouble());
    EXPECT_EQ("xy", p.readText8().std());
    EXPECT_EQ(0u, p.dataAvail());
}

TEST(Payload, SixteenBitStrings) {
    Payload p;
    const std::u16string s = u"h\u00e9";
    ASSERT_EQ(OK, p.writeString16(s));
    // int32 length 2, two units and a zero unit (6 bytes) padded to 8.
    EXPECT_EQ(12u, p.dataSize());
    const uint8_t expected[] = {2, 0, 0, 0, 'h', 0, 0xe9, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(p.data(), expected, sizeof(expected)));
    ASSERT_EQ(OK, p.writeString16(u"", 0));
    ASSERT_EQ(OK, p.writeString16(nullptr, 0));
    ASSERT_EQ(OK, p.writeString16(u"abc"));  // 4 + 8 bytes
    EXPECT_EQ(12u + 8 + 4 + 12, p.dataSize());

    p.setDataPosition(0);
    std::u16string out;
    EXPECT_TRUE(p.readString16(&out));
    EXPECT_EQ(s, out);
    EXPECT_TRUE(p.readString16(&out));
    EXPECT_EQ(u"", out);
    const size_t beforeNull = p.dataPosition();
    EXPECT_FALSE(p.readString16(&out));  // null string
    EXPECT_EQ(beforeNull, p.dataPosition());
    p.setDataPosition(beforeNull + 4);
    EXPECT_TRUE(p.readString16(&out));
    EXPECT_EQ(u"abc", out);

    // A length that claims more than is there.
    Payload bad;
    bad.writeInt32(100);
    bad.writeInt32(0x00410041);
    bad.setDataPosition(0);
    EXPECT_FALSE(bad.readString16(&out));
    EXPECT_EQ(0u, bad.dataPosition());
}

TEST(Payload, ReadsPastTheEnd) {
    LogCapture logs;
    Payload p;
    p.writeInt32(7);
    p.setDataPosition(0);
    int64_t v64 = 55;
    EXPECT_EQ(NOT_ENOUGH_DATA, p.readInt64(&v64));
    EXPECT_EQ(55, v64);
    EXPECT_EQ(0u, p.dataPosition());
    int32_t v32 = 0;
    EXPECT_EQ(OK, p.readInt32(&v32));
    EXPECT_EQ(7, v32);
    EXPECT_EQ(NOT_ENOUGH_DATA, p.readInt32(&v32));
    EXPECT_EQ(4u, p.dataPosition());
    char block[8];
    EXPECT_EQ(NOT_ENOUGH_DATA, p.read(block, 1));
    EXPECT_EQ(4u, p.dataPosition());
    EXPECT_EQ(0, p.readInt32());
    EXPECT_EQ(nullptr, p.readCString());

    EXPECT_TRUE(p.readText8().isEmpty());
    auto lines = logs.linesContaining("Reading a NULL string not supported here.");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].find("{E}  ["));
    EXPECT_NE(std::string::npos, lines[0].find("]    VEL_Payload     Reading a NULL string"));

    // A string without its terminator is not read.
    Payload unterminated;
    unterminated.write("abcd", 4);
    unterminated.setDataPosition(0);
    EXPECT_EQ(nullptr, unterminated.readCString());
    EXPECT_EQ(0u, unterminated.dataPosition());

    // A position set beyond the data reads nothing.
    p.setDataPosition(1000);
    EXPECT_EQ(NOT_ENOUGH_DATA, p.readInt32(&v32));
    EXPECT_EQ(0u, p.dataAvail());
}

TEST(Payload, GrowthAndOverflow) {
    Payload p;
    std::vector<size_t> capacities;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(OK, p.writeInt32(i));
        capacities.push_back(p.dataCapacity());
    }
    // (size + needed) * 3 / 2 whenever the buffer is too small.
    EXPECT_EQ((std::vector<size_t>{6, 12, 12, 24}), capacities);
    // Many writes keep every value.
    for (int i = 4; i < 10000; ++i) ASSERT_EQ(OK, p.writeInt32(i));
    p.setDataPosition(0);
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(i, p.readInt32());

    const size_t size = p.dataSize();
    EXPECT_EQ(NO_MEMORY, p.setDataSize(SIZE_MAX));
    EXPECT_EQ(NO_MEMORY, p.setDataSize(SIZE_MAX / 2));
    EXPECT_EQ(size, p.dataSize());
    p.setDataPosition(4);
    EXPECT_EQ(1, p.readInt32());

    // Shrinking pulls the position back.
    EXPECT_EQ(OK, p.setDataSize(8));
    EXPECT_EQ(8u, p.dataSize());
    p.setDataPosition(0);
    EXPECT_EQ(0, p.readInt32());
    EXPECT_EQ(1, p.readInt32());
    EXPECT_EQ(NOT_ENOUGH_DATA, p.readInt32(nullptr));
}

// ---- hexdump ----

TEST(Hexdump, TwentyBytesMakeTwoLines) {
    uint8_t data[20];
    memcpy(data, "0123456789abcdef", 16);
    data[16] = 0x00;
    data[17] = 0x7f;
    data[18] = 'Z';
    data[19] = 0xff;
    ByteString out("prefix|");
    hexdump(data, sizeof(data), 0, &out);
    const std::string expected =
        "prefix|"
        "00000000:  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  0123456789abcdef\n"
        "00000010:  00 7f 5a ff" + std::string(1 + 12 + 1 + 24 + 1, ' ') + "..Z.\n";
    EXPECT_EQ(expected, out.str());

    // Indented, and through the log when there is nowhere to append.
    LogCapture logs;
    hexdump(data, sizeof(data), 3);
    auto lines = logs.linesContaining("VEL_hexdump");
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(0u, lines[0].find("{I}  ["));
    EXPECT_NE(std::string::npos,
              lines[0].find("]    VEL_hexdump        00000000:  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  "
                            "0123456789abcdef\n"));
    EXPECT_NE(std::string::npos, lines[1].find("VEL_hexdump        00000010:  00 7f 5a ff "));

    // Nothing for an empty block; offsets count on past 16.
    ByteString none;
    hexdump(data, 0, 0, &none);
    EXPECT_TRUE(none.empty());
    std::vector<uint8_t> big(40, 'q');
    ByteString three;
    hexdump(big.data(), big.size(), 2, &three);
    EXPECT_NE(std::string::npos, three.str().find("\n  00000020:  71 71 71"));
    EXPECT_EQ(3, std::count(three.str().begin(), three.str().end(), '\n'));
}

}  // namespace
}  // namespace velmor
