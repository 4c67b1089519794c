// MetaData storage and dump, MediaBuffer counting and cloning, MediaBufferGroup blocking.
#include <atomic>
#include <chrono>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/MediaBuffer.h"
#include "engine/MediaBufferGroup.h"
#include "engine/MediaDefs.h"
#include "engine/MetaData.h"
#include "engine/foundation/ByteBuffer.h"
#include "support/LogCapture.h"

using namespace velmor;
using test::LogCapture;

// Entries of each type, shown through the log dump (last key first), then replaced, refused
// under another type, copied and removed.
TEST(MetaData, EntriesDumpAndDeepCopy) {
    Ref<MetaData> meta = new MetaData;
    EXPECT_FALSE(meta->setInt32(kKeyWidth, 640));  // false: the key was new
    EXPECT_TRUE(meta->setInt32(kKeyWidth, 320));
    meta->setCString(kKeyMIMEType, "video/avc");
    meta->setInt64(kKeyDuration, 2000000);
    const uint8_t blob[40] = {0xde, 0xad, 0x01};
    meta->setData(kKeyAVCC, 0x41424344, blob, 3);
    meta->setRect(kKeyCropRect, 0, 0, 9, 9);
    {
        LogCapture capture;
        meta->dumpToLog();
        const std::vector<std::string> lines = capture.linesContaining("VEL_MetaData");
        const char* expected[] = {"widt: (int32_t) 320", "mime: (char*) video/avc", "dura: (int64_t) 2000000",
                                  "crop: Rect(0, 0, 9, 9)", "avcc: (unknown type 1094861636, size 3)"};
        ASSERT_EQ(std::size(expected), lines.size());
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_NE(std::string::npos, lines[i].find(expected[i])) << lines[i];
            EXPECT_NE(std::string::npos, lines[i].find("]    VEL_MetaData    ")) << lines[i];
        }
        EXPECT_NE(std::string::npos, lines[4].find("de ad 01"));
    }
    // A find needs the stored type; replacing with another type changes it.
    int32_t width = 0;
    int64_t wide = 0;
    const char* text = nullptr;
    EXPECT_FALSE(meta->findInt64(kKeyWidth, &wide) || meta->findCString(kKeyWidth, &text) ||
                 meta->findInt32(kKeyCropRect, &width));
    EXPECT_TRUE(meta->setInt64(kKeyWidth, 1LL << 40));
    EXPECT_FALSE(meta->findInt32(kKeyWidth, &width));
    EXPECT_TRUE(meta->findInt64(kKeyWidth, &wide));
    EXPECT_EQ(1LL << 40, wide);
    uint32_t type = 0;
    const void* data = nullptr;
    size_t size = 0;
    EXPECT_TRUE(meta->setData(kKeyAVCC, kKeyAVCC, blob, sizeof(blob)));
    meta->setCString(kKeyMIMEType, "");
    ASSERT_TRUE(meta->findData(kKeyMIMEType, &type, &data, &size));
    EXPECT_EQ(kTypeCString, type);
    EXPECT_EQ(1u, size);

    // A copy owns its strings and blobs: changing or dropping the original leaves it alone.
    meta->setCString(kKeyMIMEType, "video/avc");
    Ref<MetaData> copy = new MetaData(*meta);
    ASSERT_TRUE(meta->findData(kKeyAVCC, &type, &data, &size));
    const void* copied = nullptr;
    ASSERT_TRUE(copy->findData(kKeyAVCC, &type, &copied, &size));
    EXPECT_NE(data, copied);
    meta->setCString(kKeyMIMEType, "audio/mpeg");
    meta.clear();
    ASSERT_TRUE(copy->findCString(kKeyMIMEType, &text));
    EXPECT_STREQ("video/avc", text);
    EXPECT_EQ(kKeyAVCC, type);
    ASSERT_EQ(sizeof(blob), size);
    EXPECT_EQ(0, memcmp(blob, copied, sizeof(blob)));
    EXPECT_TRUE(copy->remove(kKeyAVCC));
    EXPECT_FALSE(copy->remove(kKeyAVCC));
    EXPECT_FALSE(copy->findData(kKeyAVCC, &type, &data, &size));
    copy->clear();
    EXPECT_EQ(0u, copy->countEntries());
}

TEST(MediaBuffer, RangeOwnershipAndWrapping) {
    MediaBuffer* buffer = new MediaBuffer(100);
    EXPECT_EQ(100u, buffer->range_length());
    buffer->set_range(10, 20);
    EXPECT_EQ(10u, buffer->range_offset());
    EXPECT_EQ(20u, buffer->range_length());
    {
        LogCapture capture;
        buffer->set_range(90, 20);  // past the end: refused with an error
        ASSERT_EQ(1u, capture.count("offset = 90, length = 20, mSize = 100"));
        EXPECT_EQ(1u, capture.count("offset = 90", 'E'));
        EXPECT_EQ(1u, capture.count("]    VEL_MediaBuffer "));
    }
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

    // A wrapped ByteBuffer is used in place (its range) and kept alive by the media buffer.
    Ref<ByteBuffer> bytes = new ByteBuffer(64);
    memcpy(bytes->data(), "0123456789", 10);
    ASSERT_EQ(OK, bytes->setRange(2, 6));
    MediaBuffer* onBytes = new MediaBuffer(bytes);
    EXPECT_EQ(bytes->data(), onBytes->data());
    EXPECT_EQ(6u, onBytes->range_length());
    ByteBuffer* rawBytes = bytes.get();
    bytes.clear();
    EXPECT_EQ(1, rawBytes->getStrongCount());
    EXPECT_EQ(0, memcmp(onBytes->data(), "234567", 6));
    onBytes->release();
}

// Takes a buffer from the group on another thread; acquired() tells whether it has one yet.
struct Acquirer {
    explicit Acquirer(MediaBufferGroup& group) : thread([&] {
        group.acquire_buffer(&buffer);
        done = true;
    }) {}
    ~Acquirer() { join(); }
    bool acquired() const { return done.load(); }
    MediaBuffer* join() {
        if (thread.joinable()) thread.join();
        return buffer;
    }
    MediaBuffer* buffer = nullptr;
    std::atomic<bool> done{false};
    std::thread thread;
};

TEST(MediaBufferGroup, AcquireBlocksUntilTheLastReleaseAndGetsAResetBuffer) {
    MediaBufferGroup group;
    MediaBuffer* only = new MediaBuffer(64);
    group.add_buffer(only);
    MediaBuffer* first = nullptr;
    ASSERT_EQ(OK, group.acquire_buffer(&first));
    EXPECT_EQ(only, first);
    EXPECT_EQ(1, first->refcount());
    first->meta_data()->setInt64(kKeyTime, 42);
    first->set_range(4, 8);
    {
        Acquirer second(group);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_FALSE(second.acquired());
        // Shared, then released by both holders: only the last release hands it back.
        first->add_ref();
        first->release();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(second.acquired());
        first->release();
        EXPECT_EQ(only, second.join());
        EXPECT_EQ(0u, second.buffer->meta_data()->countEntries());
        EXPECT_EQ(0u, second.buffer->range_offset());
        EXPECT_EQ(64u, second.buffer->range_length());
        // Claimed: out of counting, and free again for the group.
        second.buffer->claim();
        EXPECT_EQ(0, second.buffer->refcount());
    }
    MediaBuffer* again = nullptr;
    ASSERT_EQ(OK, group.acquire_buffer(&again));
    EXPECT_EQ(only, again);

    // A clone shares the data, copies range and metadata, and keeps the original out of the
    // pool until the clone goes.
    memcpy(again->data(), "abcdefgh", 8);
    again->set_range(2, 4);
    again->meta_data()->setInt64(kKeyTime, 7);
    MediaBuffer* clone = again->clone();
    EXPECT_EQ(again, clone->original());
    EXPECT_EQ(again->data(), clone->data());
    EXPECT_EQ(2u, clone->range_offset());
    EXPECT_EQ(4u, clone->range_length());
    int64_t time = 0;
    ASSERT_TRUE(clone->meta_data()->findInt64(kKeyTime, &time));
    EXPECT_EQ(7, time);
    EXPECT_NE(again->meta_data().get(), clone->meta_data().get());
    again->release();
    EXPECT_EQ(1, again->refcount());  // the clone's reference
    Acquirer third(group);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(third.acquired());
    EXPECT_EQ(0, memcmp(static_cast<char*>(clone->data()) + clone->range_offset(), "cdef", 4));
    clone->release();  // destroys the clone, which returns the original
    EXPECT_EQ(only, third.join());
    third.buffer->release();
}

TEST(MediaBufferGroup, ManyThreadsNeverShareABuffer) {
    constexpr int kBuffers = 3, kThreads = 6, kRounds = 2000;
    MediaBufferGroup group;
    for (int i = 0; i < kBuffers; ++i) group.add_buffer(new MediaBuffer(sizeof(int)));
    std::atomic<int> inUse{0}, maxInUse{0}, collisions{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                MediaBuffer* b = nullptr;
                group.acquire_buffer(&b);
                int now = ++inUse;
                int prev = maxInUse.load();
                while (now > prev && !maxInUse.compare_exchange_weak(prev, now)) {
                }
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
