// MetaData storage and dump, MediaBuffer counting and cloning, MediaBufferGroup blocking.
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/MediaBuffer.h"
#include "engine/MediaBufferGroup.h"
#include "engine/MediaDefs.h"
#include "engine/MediaSource.h"
#include "engine/MetaData.h"
#include "engine/foundation/ByteBuffer.h"
#include "utils/Log.h"

using namespace velmor;

namespace {

std::mutex gLinesLock;
std::vector<std::string> gLines;

void captureLine(const char* line, int length) {
    std::lock_guard<std::mutex> l(gLinesLock);
    gLines.emplace_back(line, static_cast<size_t>(length));
}

struct LogCapture {
    LogCapture() {
        std::lock_guard<std::mutex> l(gLinesLock);
        gLines.clear();
        setLogSink(captureLine);
    }
    ~LogCapture() { setLogSink(nullptr); }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> l(gLinesLock);
        return gLines;
    }
};

}  // namespace

TEST(MetaData, TypedEntriesReplaceAndRefuseOtherTypes) {
    Ref<MetaData> meta = new MetaData;
    EXPECT_FALSE(meta->setInt32(kKeyWidth, 640));
    EXPECT_TRUE(meta->setInt32(kKeyWidth, 320));
    int32_t width = 0;
    ASSERT_TRUE(meta->findInt32(kKeyWidth, &width));
    EXPECT_EQ(320, width);
    int64_t wide = 0;
    EXPECT_FALSE(meta->findInt64(kKeyWidth, &wide));
    const char* text = nullptr;
    EXPECT_FALSE(meta->findCString(kKeyWidth, &text));

    // Replacing with a value of another type changes the type.
    EXPECT_TRUE(meta->setInt64(kKeyWidth, 1LL << 40));
    EXPECT_FALSE(meta->findInt32(kKeyWidth, &width));
    ASSERT_TRUE(meta->findInt64(kKeyWidth, &wide));
    EXPECT_EQ(1LL << 40, wide);

    EXPECT_FALSE(meta->setCString(kKeyMIMEType, ""));
    ASSERT_TRUE(meta->findCString(kKeyMIMEType, &text));
    EXPECT_STREQ("", text);
    uint32_t type = 0;
    const void* data = nullptr;
    size_t size = 99;
    ASSERT_TRUE(meta->findData(kKeyMIMEType, &type, &data, &size));
    EXPECT_EQ(kTypeCString, type);
    EXPECT_EQ(1u, size);

    meta->setCString(kKeyMIMEType, "video/avc");
    ASSERT_TRUE(meta->findCString(kKeyMIMEType, &text));
    EXPECT_STREQ("video/avc", text);

    float f = 0;
    meta->setFloat(kKeyFrameRate, 29.97f);
    ASSERT_TRUE(meta->findFloat(kKeyFrameRate, &f));
    EXPECT_FLOAT_EQ(29.97f, f);

    int marker = 0;
    void* ptr = nullptr;
    meta->setPointer(kKeyCodecContext, &marker);
    ASSERT_TRUE(meta->findPointer(kKeyCodecContext, &ptr));
    EXPECT_EQ(&marker, ptr);

    int32_t l, t, r, b;
    meta->setRect(kKeyCropRect, 1, 2, 319, 239);
    ASSERT_TRUE(meta->findRect(kKeyCropRect, &l, &t, &r, &b));
    EXPECT_EQ(1, l);
    EXPECT_EQ(2, t);
    EXPECT_EQ(319, r);
    EXPECT_EQ(239, b);
    EXPECT_FALSE(meta->findInt32(kKeyCropRect, &l));

    const uint8_t avcc[40] = {1, 0x64, 0, 0x1f, 0xff};
    EXPECT_FALSE(meta->setData(kKeyAVCC, kKeyAVCC, avcc, sizeof(avcc)));
    ASSERT_TRUE(meta->findData(kKeyAVCC, &type, &data, &size));
    EXPECT_EQ(kKeyAVCC, type);
    EXPECT_EQ(sizeof(avcc), size);
    EXPECT_EQ(0, memcmp(avcc, data, sizeof(avcc)));

    EXPECT_TRUE(meta->remove(kKeyAVCC));
    EXPECT_FALSE(meta->remove(kKeyAVCC));
    EXPECT_FALSE(meta->findData(kKeyAVCC, &type, &data, &size));
    meta->clear();
    EXPECT_EQ(0u, meta->countEntries());
    EXPECT_FALSE(meta->findCString(kKeyMIMEType, &text));
}

TEST(MetaData, CopyIsDeep) {
    Ref<MetaData> a = new MetaData;
    a->setCString(kKeyMIMEType, "audio/mp4a-latm");
    const uint8_t esds[100] = {3, 0x80, 0x80};
    a->setData(kKeyESDS, kKeyESDS, esds, sizeof(esds));
    a->setInt64(kKeyDuration, 123456789);

    Ref<MetaData> b = new MetaData(*a);
    const char* ma = nullptr;
    const char* mb = nullptr;
    ASSERT_TRUE(a->findCString(kKeyMIMEType, &ma));
    ASSERT_TRUE(b->findCString(kKeyMIMEType, &mb));
    EXPECT_STREQ(ma, mb);
    EXPECT_NE(ma, mb);
    uint32_t type;
    const void* da;
    const void* db;
    size_t size;
    ASSERT_TRUE(a->findData(kKeyESDS, &type, &da, &size));
    ASSERT_TRUE(b->findData(kKeyESDS, &type, &db, &size));
    EXPECT_NE(da, db);
    EXPECT_EQ(0, memcmp(da, db, size));

    // Changing or dropping the original leaves the copy alone.
    a->setCString(kKeyMIMEType, "audio/mpeg");
    a.clear();
    ASSERT_TRUE(b->findCString(kKeyMIMEType, &mb));
    EXPECT_STREQ("audio/mp4a-latm", mb);
    int64_t d = 0;
    ASSERT_TRUE(b->findInt64(kKeyDuration, &d));
    EXPECT_EQ(123456789, d);
}

TEST(MetaData, DumpToLogListsLastKeyFirst) {
    Ref<MetaData> meta = new MetaData;
    meta->setInt32(kKeyWidth, 320);
    meta->setCString(kKeyMIMEType, "video/avc");
    meta->setInt64(kKeyDuration, 2000000);
    const uint8_t raw[3] = {0xde, 0xad, 0x01};
    meta->setData(kKeyAVCC, 0x41424344, raw, sizeof(raw));
    meta->setRect(kKeyCropRect, 0, 0, 9, 9);
    std::vector<std::string> lines;
    {
        LogCapture capture;
        meta->dumpToLog();
        lines = capture.lines();
    }
    ASSERT_EQ(5u, lines.size());
    // Keys in descending four-character order: widt, mime, dura, crop, avcc.
    EXPECT_NE(std::string::npos, lines[0].find("widt: (int32_t) 320"));
    EXPECT_NE(std::string::npos, lines[1].find("mime: (char*) video/avc"));
    EXPECT_NE(std::string::npos, lines[2].find("dura: (int64_t) 2000000"));
    EXPECT_NE(std::string::npos, lines[3].find("crop: Rect(0, 0, 9, 9)"));
    EXPECT_NE(std::string::npos, lines[4].find("avcc: (unknown type 1094861636, size 3)"));
    EXPECT_NE(std::string::npos, lines[4].find("de ad 01"));
    for (const std::string& line : lines) EXPECT_NE(std::string::npos, line.find("VEL_MetaData")) << line;
}

TEST(MediaBuffer, RangeAndOwnership) {
    MediaBuffer* buffer = new MediaBuffer(100);
    ASSERT_NE(nullptr, buffer->data());
    EXPECT_EQ(100u, buffer->size());
    EXPECT_EQ(0u, buffer->range_offset());
    EXPECT_EQ(100u, buffer->range_length());
    buffer->set_range(10, 20);
    EXPECT_EQ(10u, buffer->range_offset());
    EXPECT_EQ(20u, buffer->range_length());
    {
        LogCapture capture;
        buffer->set_range(90, 20);
        auto lines = capture.lines();
        ASSERT_EQ(1u, lines.size());
        EXPECT_NE(std::string::npos, lines[0].find("offset = 90, length = 20, mSize = 100"));
        EXPECT_NE(std::string::npos, lines[0].find("VEL_MediaBuffer"));
    }
    // Never beyond the buffer.
    EXPECT_LE(buffer->range_offset() + buffer->range_length(), buffer->size());

    buffer->meta_data()->setInt64(kKeyTime, 5);
    buffer->reset();
    EXPECT_EQ(0u, buffer->meta_data()->countEntries());
    EXPECT_EQ(100u, buffer->range_length());
    EXPECT_EQ(0, buffer->refcount());
    buffer->release();  // free-standing: deleted (LeakSanitizer checks)

    char external[16] = "hello";
    MediaBuffer* wrapped = new MediaBuffer(external, sizeof(external));
    EXPECT_EQ(external, wrapped->data());
    wrapped->release();  // must not free the caller's memory
    EXPECT_STREQ("hello", external);
}

TEST(MediaBufferGroup, SecondAcquireBlocksUntilRelease) {
    MediaBufferGroup group;
    MediaBuffer* only = new MediaBuffer(64);
    group.add_buffer(only);

    MediaBuffer* first = nullptr;
    ASSERT_EQ(OK, group.acquire_buffer(&first));
    EXPECT_EQ(only, first);
    EXPECT_EQ(1, first->refcount());
    first->meta_data()->setInt64(kKeyTime, 42);
    first->set_range(4, 8);

    std::atomic<bool> acquired{false};
    MediaBuffer* second = nullptr;
    std::thread waiter([&] {
        group.acquire_buffer(&second);
        acquired = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(acquired.load());

    // Shared, then released by both holders: only the last release frees it.
    first->add_ref();
    first->release();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(acquired.load());
    first->release();
    waiter.join();
    EXPECT_TRUE(acquired.load());
    EXPECT_EQ(only, second);
    EXPECT_EQ(0u, second->meta_data()->countEntries());
    EXPECT_EQ(0u, second->range_offset());
    EXPECT_EQ(64u, second->range_length());
    second->release();
}

TEST(MediaBufferGroup, CloneKeepsOriginalOutOfThePool) {
    MediaBufferGroup group;
    group.add_buffer(new MediaBuffer(32));
    MediaBuffer* original = nullptr;
    ASSERT_EQ(OK, group.acquire_buffer(&original));
    memcpy(original->data(), "abcdefgh", 8);
    original->set_range(2, 4);
    original->meta_data()->setInt64(kKeyTime, 7);

    MediaBuffer* clone = original->clone();
    EXPECT_EQ(original, clone->original());
    EXPECT_EQ(original->data(), clone->data());
    EXPECT_EQ(2u, clone->range_offset());
    EXPECT_EQ(4u, clone->range_length());
    int64_t t = 0;
    ASSERT_TRUE(clone->meta_data()->findInt64(kKeyTime, &t));
    EXPECT_EQ(7, t);
    EXPECT_NE(original->meta_data().get(), clone->meta_data().get());

    original->release();
    EXPECT_EQ(1, original->refcount());  // the clone's reference
    std::atomic<bool> acquired{false};
    MediaBuffer* again = nullptr;
    std::thread waiter([&] {
        group.acquire_buffer(&again);
        acquired = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(acquired.load());
    EXPECT_EQ(0, memcmp(static_cast<char*>(clone->data()) + clone->range_offset(), "cdef", 4));
    clone->release();  // destroys the clone, which returns the original
    waiter.join();
    EXPECT_EQ(original, again);
    again->release();
}

TEST(MediaBufferGroup, ClaimTakesBufferOutOfCounting) {
    MediaBufferGroup group;
    group.add_buffer(new MediaBuffer(8));
    MediaBuffer* b = nullptr;
    ASSERT_EQ(OK, group.acquire_buffer(&b));
    b->claim();
    EXPECT_EQ(0, b->refcount());
    // Free again for the group.
    MediaBuffer* c = nullptr;
    ASSERT_EQ(OK, group.acquire_buffer(&c));
    EXPECT_EQ(b, c);
    c->release();
}

TEST(MediaBufferGroup, ManyThreadsNeverShareABuffer) {
    constexpr int kBuffers = 3;
    constexpr int kThreads = 6;
    constexpr int kRounds = 2000;
    MediaBufferGroup group;
    for (int i = 0; i < kBuffers; ++i) group.add_buffer(new MediaBuffer(sizeof(int)));
    std::atomic<int> inUse{0};
    std::atomic<int> maxInUse{0};
    std::atomic<int> collisions{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                MediaBuffer* b = nullptr;
                group.acquire_buffer(&b);
                int now = ++inUse;
                int prev = maxInUse.load();
                while (now > prev && !maxInUse.compare_exchange_weak(prev, now)) {}
                int* owner = static_cast<int*>(b->data());
                *owner = t;
                b->add_ref();  // a second holder on this thread
                std::this_thread::yield();
                if (*owner != t) ++collisions;
                --inUse;
                b->release();
                b->release();
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(0, collisions.load());
    EXPECT_LE(maxInUse.load(), kBuffers);
}

TEST(ReadOptions, SeekAndLateness) {
    MediaSource::ReadOptions options;
    int64_t t = -1;
    MediaSource::ReadOptions::SeekMode mode = MediaSource::ReadOptions::SeekClosest;
    EXPECT_FALSE(options.getSeekTo(&t, &mode));
    EXPECT_EQ(0, t);
    options.setSeekTo(1500000, MediaSource::ReadOptions::SeekNextSync);
    ASSERT_TRUE(options.getSeekTo(&t, &mode));
    EXPECT_EQ(1500000, t);
    EXPECT_EQ(MediaSource::ReadOptions::SeekNextSync, mode);
    options.clearSeekTo();
    EXPECT_FALSE(options.getSeekTo(&t, &mode));
    EXPECT_EQ(MediaSource::ReadOptions::SeekClosestSync, mode);
    options.setLateBy(40000);
    EXPECT_EQ(40000, options.getLateBy());
    options.reset();
    EXPECT_EQ(0, options.getLateBy());
}

TEST(MediaBuffer, WrapsByteBufferAndKeepsItAlive) {
    Ref<ByteBuffer> bytes = new ByteBuffer(64);
    memcpy(bytes->data(), "0123456789", 10);
    ASSERT_EQ(OK, bytes->setRange(2, 6));
    const int32_t before = bytes->getStrongCount();
    MediaBuffer* buffer = new MediaBuffer(bytes);
    EXPECT_EQ(before + 1, bytes->getStrongCount());
    EXPECT_EQ(bytes->data(), buffer->data());
    EXPECT_EQ(6u, buffer->size());
    EXPECT_EQ(6u, buffer->range_length());
    EXPECT_EQ(0, memcmp(buffer->data(), "234567", 6));
    // The media buffer outlives the caller's reference.
    ByteBuffer* raw = bytes.get();
    bytes.clear();
    EXPECT_EQ(1, raw->getStrongCount());
    EXPECT_EQ(0, memcmp(buffer->data(), "234567", 6));
    buffer->release();
}
