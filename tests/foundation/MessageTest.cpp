#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "FoundationTestSupport.h"
#include "engine/foundation/ByteBuffer.h"
#include "engine/foundation/Looper.h"
#include "engine/foundation/Message.h"

namespace velmor {
namespace {

using test::FCC;

struct Tracked : public RefCounted {
    explicit Tracked(std::atomic<int>* c) : counter(c) {}
    ~Tracked() override { ++*counter; }
    std::atomic<int>* counter;
};

TEST(NameTable, InternsByContentAcrossThreads) {
    char a[] = "someItemName";
    const char* pa = NameTable::intern(a);
    EXPECT_EQ(pa, NameTable::intern((std::string("some") + "ItemName").c_str()));
    EXPECT_NE(static_cast<const void*>(a), static_cast<const void*>(pa));
    a[0] = 'X';  // the stored copy does not depend on the caller's buffer
    EXPECT_STREQ("someItemName", pa);

    // Names that land in the same bucket stay distinct; bytes above 0x7f count as negative.
    EXPECT_EQ(0xffffffffu, NameTable::hash("\xff"));
    EXPECT_EQ(NameTable::hash("Aa") % 128, NameTable::hash("BB") % 128);
    EXPECT_NE(NameTable::intern("Aa"), NameTable::intern("BB"));
    EXPECT_STREQ("BB", NameTable::intern("BB"));

    // Concurrent interning of the same new names agrees on one pointer each.
    std::vector<std::thread> threads;
    std::vector<std::vector<const char*>> results(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) results[t].push_back(NameTable::intern(("race" + std::to_string(i)).c_str()));
        });
    }
    for (auto& t : threads) t.join();
    for (int t = 1; t < 4; ++t) EXPECT_EQ(results[0], results[t]);

    // Looking up a name nobody set does not grow the table.
    const size_t before = NameTable::size();
    Ref<Message> msg = new Message;
    int32_t v;
    EXPECT_FALSE(msg->findInt32("neverSetAnywhere", &v));
    EXPECT_FALSE(msg->contains("neverSetAnywhere"));
    EXPECT_EQ(nullptr, NameTable::find("neverSetAnywhere"));
    EXPECT_EQ(before, NameTable::size());
}

// Every item type, shown through the debug text (which also fixes its format), then found again.
TEST(Message, ItemsDebugStringLookupAndCapacity) {
    Ref<Message> inner = new Message(1);
    inner->setInt64("t", INT64_MIN);
    inner->setString("s", "hi there", 2);
    Ref<ByteBuffer> small = new ByteBuffer(3);
    memcpy(small->data(), "\x01\x02" "A", 3);
    Ref<Message> msg = new Message(FCC("test"), 5);
    msg->setInt32("x", 7);
    msg->setMessage("sub", inner);
    msg->setBuffer("buf", small);
    msg->setRect("r", 1, -2, 3, 4);
    msg->setSize("n", 42);
    msg->setFloat("f", 1.5f);
    msg->setDouble("d", 2.25);
    msg->setString("bin", "a\0b", 3);
    EXPECT_EQ(R"(Message(what = 'test', target = 5) = {
  int32_t x = 7
  Message sub = Message(what = 0x00000001) = {
                   int64_t t = -9223372036854775808
                   string s = "hi"
                 }
  Buffer buf = {
    00000000:  01 02 41                                          ..A
  }
  Rect r(1, -2, 3, 4)
  size_t n = 42
  float f = 1.500000
  double d = 2.250000
  string bin = "a"
})",
              msg->debugString().str());
    // With an indent every item line and the closing brace move; nested indents grow with the
    // item name's length.
    Ref<Message> outer = new Message(0x7f000000);
    outer->setMessage("child", inner);
    EXPECT_EQ(R"(Message(what = 0x7f000000) = {
      Message child = Message(what = 0x00000001) = {
                         int64_t t = -9223372036854775808
                         string s = "hi"
                       }
    })",
              outer->debugString(4).str());
    // Buffers of more than 64 bytes print as addresses, unless their range is shorter.
    Ref<ByteBuffer> large = new ByteBuffer(65);
    outer->setBuffer("large", large);
    EXPECT_TRUE(std::regex_search(outer->debugString().str(), std::regex("\n  Buffer \\*large = 0x[0-9a-f]+\n")));
    large->setRange(60, 2);
    memcpy(large->data(), "ok", 2);
    EXPECT_NE(std::string::npos, outer->debugString().str().find("  Buffer large = {\n    00000000:  6f 6b"));

    int32_t l = 0, t = 0, r = 0, b = 0;
    int64_t i64 = 0;
    ByteString bin;
    Ref<Message> sub;
    EXPECT_TRUE(msg->findRect("r", &l, &t, &r, &b) && msg->findString("bin", &bin) && msg->findMessage("sub", &sub) &&
                sub->findInt64("t", &i64));
    EXPECT_EQ((std::vector<int32_t>{1, -2, 3, 4}), (std::vector<int32_t>{l, t, r, b}));
    EXPECT_EQ(std::string("a\0b", 3), bin.str());
    EXPECT_EQ(INT64_MIN, i64);

    // Wrong type or missing name: false, output untouched.
    int32_t untouched = 99;
    EXPECT_FALSE(msg->findInt32("n", &untouched) || msg->findInt32("missing", &untouched));
    EXPECT_EQ(99, untouched);
    ByteString untouchedStr("keep");
    EXPECT_FALSE(msg->findString("x", &untouchedStr));
    EXPECT_EQ("keep", untouchedStr.str());
    Ref<Message> untouchedMsg;
    EXPECT_FALSE(msg->findMessage("buf", &untouchedMsg));
    EXPECT_EQ(nullptr, untouchedMsg);

    // Replacing keeps the slot and takes the new type; an object replaced by a number is freed.
    std::atomic<int> destroyed{0};
    msg->setObject("n", new Tracked(&destroyed));
    msg->setInt64("n", 1LL << 40);
    EXPECT_EQ(1, destroyed.load());
    EXPECT_TRUE(msg->findInt64("n", &i64));
    EXPECT_EQ(1LL << 40, i64);
    Message::Type type;
    EXPECT_STREQ("n", msg->getEntryNameAt(4, &type));
    EXPECT_EQ(Message::kTypeInt64, type);
    EXPECT_EQ(nullptr, msg->getEntryNameAt(8, &type));

    // Sixty-four items fit; the next is dropped with an error, replacing still works.
    test::LogCapture logs;
    for (int i = 0; i < 56; ++i) msg->setInt32(("k" + std::to_string(i)).c_str(), i);
    EXPECT_EQ(64u, msg->countEntries());
    EXPECT_EQ(0u, logs.count("dropped"));
    msg->setInt32("k64", 64);
    EXPECT_EQ(64u, msg->countEntries());
    EXPECT_FALSE(msg->findInt32("k64", &untouched));
    EXPECT_EQ(1u, logs.count("is full", 'E'));
    EXPECT_EQ(1u, logs.count("message 0x74657374 is full, item 'k64' dropped"));
    msg->setInt32("x", 1000);
    EXPECT_TRUE(msg->findInt32("x", &untouched));
    EXPECT_EQ(1000, untouched);
    msg->clear();
    EXPECT_EQ(0u, msg->countEntries());
    EXPECT_FALSE(msg->findInt32("x", &untouched));
}

TEST(Message, DupCopiesStringsSharesObjectsAndDuplicatesMessages) {
    std::atomic<int> destroyed{0};
    Ref<Message> inner = new Message(FCC("innr"), 3);
    inner->setInt32("depth", 1);
    inner->setObject("o", new Tracked(&destroyed));
    Ref<ByteBuffer> buf = new ByteBuffer(8);
    Ref<Message> msg = new Message(FCC("orig"), 9);
    msg->setString("s", "abc");
    msg->setObject("o", new Tracked(&destroyed));
    msg->setBuffer("b", buf);
    msg->setMessage("m", inner);
    msg->setMessage("nullmsg", nullptr);
    msg->setInt64("t", 77);
    {
        // Setting the same object again must not drop it in between.
        Ref<RefCounted> same;
        ASSERT_TRUE(msg->findObject("o", &same));
        RefCounted* raw = same.get();
        same.clear();
        msg->setObject("o", raw);
        EXPECT_EQ(0, destroyed.load());
    }
    Ref<Message> copy = msg->dup();
    // Same code, target, names, types and values; objects print as their addresses, so the
    // object is shared.
    const std::string before = msg->debugString().str();
    EXPECT_EQ(before, copy->debugString().str());
    // Strings and nested messages were copied.
    msg->setString("s", "changed");
    inner->setInt32("depth", 2);
    EXPECT_EQ(before, copy->debugString().str());
    Ref<ByteBuffer> b;
    EXPECT_TRUE(copy->findBuffer("b", &b));
    EXPECT_EQ(buf.get(), b.get());
    // The objects, nested ones too, survive the originals and go when the copy lets them go.
    msg.clear();
    inner.clear();
    EXPECT_EQ(0, destroyed.load());
    copy->clear();
    EXPECT_EQ(2, destroyed.load());
}

TEST(ByteBuffer, RangeWrappingAndFarewell) {
    Ref<ByteBuffer> buf = new ByteBuffer(100);
    EXPECT_EQ(100u, buf->size());
    EXPECT_EQ(OK, buf->setRange(10, 90));
    EXPECT_EQ(buf->base() + 10, buf->data());
    EXPECT_EQ(OK, buf->setRange(100, 0));
    EXPECT_EQ(BAD_VALUE, buf->setRange(101, 0));
    EXPECT_EQ(BAD_VALUE, buf->setRange(50, 51));
    EXPECT_EQ(BAD_VALUE, buf->setRange(1, SIZE_MAX));  // offset + size wraps
    EXPECT_EQ(100u, buf->offset());
    EXPECT_EQ(0u, buf->size());

    // Wrapped memory is used in place and not freed.
    uint8_t external[16] = {};
    {
        Ref<ByteBuffer> wrap = new ByteBuffer(external, sizeof(external));
        EXPECT_EQ(external, wrap->data());
        wrap->data()[3] = 0x5a;
    }
    EXPECT_EQ(0x5a, external[3]);

    // The farewell message is posted when the last reference goes, not before.
    test::LooperWithHandler l;
    ASSERT_EQ(OK, l.looper->start());
    Ref<Message> farewell = new Message(FCC("bye "), l.id);
    farewell->setInt32("index", 3);
    buf->setFarewellMessage(farewell);
    farewell.clear();
    Ref<Message> holder = new Message;
    holder->setBuffer("buf", buf);
    buf.clear();
    EXPECT_FALSE(l.handler->waitForCount(1, 100));
    holder.clear();
    ASSERT_TRUE(l.handler->waitForCount(1));
    int32_t index = 0;
    EXPECT_EQ(FCC("bye "), l.handler->messages()[0]->what());
    EXPECT_TRUE(l.handler->messages()[0]->findInt32("index", &index));
    EXPECT_EQ(3, index);
}

}  // namespace
}  // namespace velmor
