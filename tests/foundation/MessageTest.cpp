#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "engine/foundation/ByteBuffer.h"
#include "engine/foundation/Looper.h"
#include "engine/foundation/Message.h"
#include "FoundationTestSupport.h"

namespace velmor {
namespace {

using test::FCC;

struct Tracked : public RefCounted {
    explicit Tracked(std::atomic<int>* c) : counter(c) {}
    ~Tracked() override { ++*counter; }
    std::atomic<int>* counter;
};

TEST(NameTable, InternsByContentAndHashesSignedBytes) {
    char a[] = "someItemName";
    std::string b = "some";
    b += "ItemName";
    const char* pa = NameTable::intern(a);
    EXPECT_EQ(pa, NameTable::intern(b.c_str()));
    EXPECT_NE(static_cast<const void*>(a), static_cast<const void*>(pa));
    EXPECT_STREQ("someItemName", pa);
    // The stored copy does not depend on the caller's buffer.
    a[0] = 'X';
    EXPECT_STREQ("someItemName", pa);
    EXPECT_NE(pa, NameTable::intern(a));

    EXPECT_EQ(0u, NameTable::hash(""));
    EXPECT_EQ(97u, NameTable::hash("a"));
    EXPECT_EQ(97u * 31 + 98, NameTable::hash("ab"));
    // Bytes above 0x7f count as negative.
    EXPECT_EQ(0xffffffffu, NameTable::hash("\xff"));
    EXPECT_EQ(static_cast<uint32_t>(97u * 31u - 128u), NameTable::hash("a\x80"));
    // Wrapping arithmetic on long names.
    uint32_t h = 0;
    const std::string longName(100, 'z');
    for (char c : longName) h = h * 31u + static_cast<uint32_t>(static_cast<signed char>(c));
    EXPECT_EQ(h, NameTable::hash(longName.c_str()));

    // Names that land in the same bucket stay distinct.
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
    const size_t before = NameTable::size();
    NameTable::intern("race7");
    EXPECT_EQ(before, NameTable::size());

    // Looking up items by a name nobody set does not grow the table.
    EXPECT_EQ(nullptr, NameTable::find("neverSetAnywhere"));
    Ref<Message> msg = new Message;
    int32_t v;
    EXPECT_FALSE(msg->findInt32("neverSetAnywhere", &v));
    EXPECT_FALSE(msg->contains("neverSetAnywhere"));
    EXPECT_EQ(before, NameTable::size());
    EXPECT_EQ(NameTable::intern("race7"), NameTable::find("race7"));
}

TEST(Message, ItemsRoundTripAndTypeMismatchIsNotFound) {
    Ref<Message> msg = new Message(FCC("abcd"), 7);
    EXPECT_EQ(FCC("abcd"), msg->what());
    EXPECT_EQ(7, msg->target());
    int dummy = 0;
    msg->setInt32("i32", -5);
    msg->setInt64("i64", INT64_MIN);
    msg->setSize("sz", 1234567);
    msg->setFloat("f", 1.5f);
    msg->setDouble("d", -2.25);
    msg->setPointer("p", &dummy);
    msg->setString("s", "hello world", 5);
    msg->setRect("r", 1, -2, 3, 4);
    EXPECT_EQ(8u, msg->countEntries());

    int32_t i32 = 0;
    int64_t i64 = 0;
    size_t sz = 0;
    float f = 0;
    double d = 0;
    void* p = nullptr;
    ByteString s;
    int32_t l = 0, t = 0, r = 0, b = 0;
    EXPECT_TRUE(msg->findInt32("i32", &i32));
    EXPECT_EQ(-5, i32);
    EXPECT_TRUE(msg->findInt64("i64", &i64));
    EXPECT_EQ(INT64_MIN, i64);
    EXPECT_TRUE(msg->findSize("sz", &sz));
    EXPECT_EQ(1234567u, sz);
    EXPECT_TRUE(msg->findFloat("f", &f));
    EXPECT_EQ(1.5f, f);
    EXPECT_TRUE(msg->findDouble("d", &d));
    EXPECT_EQ(-2.25, d);
    EXPECT_TRUE(msg->findPointer("p", &p));
    EXPECT_EQ(&dummy, p);
    EXPECT_TRUE(msg->findString("s", &s));
    EXPECT_EQ("hello", s.str());
    EXPECT_TRUE(msg->findRect("r", &l, &t, &r, &b));
    EXPECT_EQ((std::vector<int32_t>{1, -2, 3, 4}), (std::vector<int32_t>{l, t, r, b}));

    // Wrong type or missing name: false, output untouched.
    int32_t untouched = 99;
    EXPECT_FALSE(msg->findInt32("i64", &untouched));
    EXPECT_FALSE(msg->findInt32("missing", &untouched));
    EXPECT_EQ(99, untouched);
    int64_t untouched64 = 42;
    EXPECT_FALSE(msg->findInt64("i32", &untouched64));
    EXPECT_EQ(42, untouched64);
    ByteString untouchedStr("keep");
    EXPECT_FALSE(msg->findString("i32", &untouchedStr));
    EXPECT_EQ("keep", untouchedStr.str());
    Ref<Message> untouchedMsg;
    EXPECT_FALSE(msg->findMessage("s", &untouchedMsg));
    EXPECT_EQ(nullptr, untouchedMsg);

    // A negative length takes the whole string; an explicit one may include NULs.
    msg->setString("s2", "full text");
    EXPECT_TRUE(msg->findString("s2", &s));
    EXPECT_EQ("full text", s.str());
    msg->setString("bin", "a\0b", 3);
    EXPECT_TRUE(msg->findString("bin", &s));
    EXPECT_EQ(std::string("a\0b", 3), s.str());

    msg->clear();
    EXPECT_EQ(0u, msg->countEntries());
    EXPECT_FALSE(msg->findInt32("i32", &i32));
}

TEST(Message, ReplacingAnItemKeepsItsSlotAndChangesItsType) {
    Ref<Message> msg = new Message;
    msg->setInt32("first", 1);
    msg->setInt32("value", 2);
    msg->setInt32("last", 3);
    msg->setInt64("value", 1LL << 40);
    EXPECT_EQ(3u, msg->countEntries());
    int32_t v32 = -1;
    EXPECT_FALSE(msg->findInt32("value", &v32));
    EXPECT_EQ(-1, v32);
    int64_t v64 = 0;
    EXPECT_TRUE(msg->findInt64("value", &v64));
    EXPECT_EQ(1LL << 40, v64);
    Message::Type type;
    EXPECT_STREQ("value", msg->getEntryNameAt(1, &type));
    EXPECT_EQ(Message::kTypeInt64, type);
    EXPECT_EQ(nullptr, msg->getEntryNameAt(3, &type));

    // Through a string and an object and back to a number: nothing leaks, nothing moves.
    std::atomic<int> destroyed{0};
    msg->setString("value", "text");
    msg->setObject("value", new Tracked(&destroyed));
    EXPECT_EQ(0, destroyed.load());
    msg->setDouble("value", 0.5);
    EXPECT_EQ(1, destroyed.load());
    EXPECT_STREQ("value", msg->getEntryNameAt(1, &type));
    EXPECT_EQ(Message::kTypeDouble, type);
    EXPECT_EQ(3u, msg->countEntries());
}

TEST(Message, ReferencesAreHeldAndReleased) {
    std::atomic<int> destroyed{0};
    Ref<Message> msg = new Message;
    {
        Ref<Tracked> obj = new Tracked(&destroyed);
        msg->setObject("obj", obj);
        EXPECT_EQ(2, obj->getStrongCount());
        Ref<RefCounted> out;
        EXPECT_TRUE(msg->findObject("obj", &out));
        EXPECT_EQ(static_cast<RefCounted*>(obj.get()), out.get());
    }
    EXPECT_EQ(0, destroyed.load());
    // Setting the same object again must not drop it in between.
    {
        Ref<RefCounted> same;
        msg->findObject("obj", &same);
        RefCounted* raw = same.get();
        same.clear();
        msg->setObject("obj", raw);
        EXPECT_EQ(0, destroyed.load());
    }
    msg->setObject("null", nullptr);
    Ref<RefCounted> nullOut = new Tracked(&destroyed);
    EXPECT_TRUE(msg->findObject("null", &nullOut));
    EXPECT_EQ(nullptr, nullOut);
    EXPECT_EQ(1, destroyed.load());

    msg->clear();
    EXPECT_EQ(2, destroyed.load());

    // Destroying the message releases its items too.
    Ref<Message> inner = new Message(FCC("innr"));
    inner->setObject("o", new Tracked(&destroyed));
    msg->setMessage("inner", inner);
    inner.clear();
    msg.clear();
    EXPECT_EQ(3, destroyed.load());
}

TEST(Message, SixtyFourItemsFitAndTheNextIsRejected) {
    Ref<Message> msg = new Message;
    std::vector<std::string> names;
    for (int i = 0; i < 64; ++i) names.push_back("k" + std::to_string(i));
    for (int i = 0; i < 64; ++i) msg->setInt32(names[i].c_str(), i);
    EXPECT_EQ(64u, msg->countEntries());
    msg->setInt32("k65", 65);
    EXPECT_EQ(64u, msg->countEntries());
    int32_t v = -1;
    EXPECT_FALSE(msg->findInt32("k65", &v));
    // Overwriting an existing item still works when full.
    msg->setInt32("k10", 1000);
    EXPECT_TRUE(msg->findInt32("k10", &v));
    EXPECT_EQ(1000, v);
    EXPECT_TRUE(msg->findInt32("k63", &v));
    EXPECT_EQ(63, v);
}

TEST(Message, DupCopiesStringsSharesObjectsAndDuplicatesMessages) {
    std::atomic<int> destroyed{0};
    Ref<Message> inner = new Message(FCC("innr"), 3);
    inner->setInt32("depth", 1);
    Ref<Tracked> obj = new Tracked(&destroyed);
    Ref<ByteBuffer> buf = new ByteBuffer(8);

    Ref<Message> msg = new Message(FCC("orig"), 9);
    msg->setString("s", "abc");
    msg->setObject("o", obj);
    msg->setBuffer("b", buf);
    msg->setMessage("m", inner);
    msg->setMessage("nullmsg", nullptr);
    msg->setRect("r", 1, 2, 3, 4);
    msg->setInt64("t", 77);

    Ref<Message> copy = msg->dup();
    EXPECT_EQ(FCC("orig"), copy->what());
    EXPECT_EQ(9, copy->target());
    EXPECT_EQ(msg->countEntries(), copy->countEntries());
    for (size_t i = 0; i < msg->countEntries(); ++i) {
        Message::Type ta, tb;
        EXPECT_EQ(msg->getEntryNameAt(i, &ta), copy->getEntryNameAt(i, &tb));
        EXPECT_EQ(ta, tb);
    }

    msg->setString("s", "changed");
    ByteString s;
    EXPECT_TRUE(copy->findString("s", &s));
    EXPECT_EQ("abc", s.str());

    Ref<RefCounted> o;
    EXPECT_TRUE(copy->findObject("o", &o));
    EXPECT_EQ(static_cast<RefCounted*>(obj.get()), o.get());
    Ref<ByteBuffer> b;
    EXPECT_TRUE(copy->findBuffer("b", &b));
    EXPECT_EQ(buf.get(), b.get());

    Ref<Message> m;
    EXPECT_TRUE(copy->findMessage("m", &m));
    EXPECT_NE(inner.get(), m.get());
    EXPECT_EQ(FCC("innr"), m->what());
    EXPECT_EQ(3, m->target());
    inner->setInt32("depth", 2);
    int32_t depth = 0;
    EXPECT_TRUE(m->findInt32("depth", &depth));
    EXPECT_EQ(1, depth);
    Ref<Message> nullMsg = new Message;
    EXPECT_TRUE(copy->findMessage("nullmsg", &nullMsg));
    EXPECT_EQ(nullptr, nullMsg);

    int64_t t = 0;
    EXPECT_TRUE(copy->findInt64("t", &t));
    EXPECT_EQ(77, t);

    // The object survives the original and dies with the last copy.
    o.clear();
    obj.clear();
    msg.clear();
    EXPECT_EQ(0, destroyed.load());
    copy.clear();
    EXPECT_EQ(1, destroyed.load());
}

TEST(Message, DebugStringOfNestedMessageAndSmallBuffer) {
    Ref<Message> inner = new Message(1);
    inner->setInt64("t", -3);
    inner->setString("s", "hi");

    uint8_t bytes[3] = {0x01, 0x02, 'A'};
    Ref<ByteBuffer> small = new ByteBuffer(sizeof(bytes));
    memcpy(small->data(), bytes, sizeof(bytes));

    Ref<Message> msg = new Message(FCC("test"), 5);
    msg->setInt32("x", 7);
    msg->setMessage("sub", inner);
    msg->setBuffer("buf", small);
    msg->setRect("r", 1, 2, 3, 4);
    msg->setSize("n", 42);
    msg->setFloat("f", 1.5f);
    msg->setDouble("d", 2.25);

    const std::string pad17(17, ' ');
    const std::string expected =
        "Message(what = 'test', target = 5) = {\n"
        "  int32_t x = 7\n"
        "  Message sub = Message(what = 0x00000001) = {\n" +
        pad17 + "  int64_t t = -3\n" +
        pad17 + "  string s = \"hi\"\n" +
        pad17 + "}\n"
        "  Buffer buf = {\n"
        "    00000000:  01 02 41" + std::string(42, ' ') + "..A\n"
        "  }\n"
        "  Rect r(1, 2, 3, 4)\n"
        "  size_t n = 42\n"
        "  float f = 1.500000\n"
        "  double d = 2.250000\n"
        "}";
    EXPECT_EQ(expected, msg->debugString().str());

    // With an indent, every item line and the closing brace move; nested indents grow with
    // the item name's length.
    Ref<Message> outer = new Message(0x7f000000);
    outer->setMessage("child", inner);
    const std::string pad23(4 + 5 + 14, ' ');
    const std::string expectedIndented =
        "Message(what = 0x7f000000) = {\n"
        "      Message child = Message(what = 0x00000001) = {\n" +
        pad23 + "  int64_t t = -3\n" +
        pad23 + "  string s = \"hi\"\n" +
        pad23 + "}\n"
        "    }";
    EXPECT_EQ(expectedIndented, outer->debugString(4).str());

    // Buffers longer than 64 bytes, pointers and objects print as addresses.
    Ref<Message> big = new Message(0x41424300);
    Ref<ByteBuffer> large = new ByteBuffer(65);
    big->setBuffer("large", large);
    big->setPointer("p", nullptr);
    big->setObject("o", large);
    big->setBuffer("none", nullptr);
    const std::string dump = big->debugString().str();
    EXPECT_TRUE(std::regex_match(dump, std::regex("Message\\(what = 0x41424300\\) = \\{\n"
                                                  "  Buffer \\*large = 0x[0-9a-f]+\n"
                                                  "  void \\*p = .*\n"
                                                  "  RefCounted \\*o = 0x[0-9a-f]+\n"
                                                  "  Buffer \\*none = .*\n"
                                                  "\\}")))
        << dump;
    // A range shorter than 65 bytes is dumped even if the capacity is larger.
    large->setRange(60, 2);
    large->data()[0] = 'o';
    large->data()[1] = 'k';
    EXPECT_NE(std::string::npos,
              big->debugString().str().find("  Buffer large = {\n    00000000:  6f 6b"));
}

TEST(ByteBuffer, RangeMetaAndFarewell) {
    Ref<ByteBuffer> buf = new ByteBuffer(100);
    EXPECT_EQ(100u, buf->capacity());
    EXPECT_EQ(100u, buf->size());
    EXPECT_EQ(0u, buf->offset());
    EXPECT_EQ(buf->base(), buf->data());
    EXPECT_EQ(OK, buf->setRange(10, 90));
    EXPECT_EQ(buf->base() + 10, buf->data());
    EXPECT_EQ(90u, buf->size());
    EXPECT_EQ(OK, buf->setRange(100, 0));
    EXPECT_EQ(BAD_VALUE, buf->setRange(101, 0));
    EXPECT_EQ(BAD_VALUE, buf->setRange(50, 51));
    EXPECT_EQ(BAD_VALUE, buf->setRange(1, SIZE_MAX));
    EXPECT_EQ(100u, buf->offset());
    EXPECT_EQ(0u, buf->size());

    Ref<Message> meta = buf->meta();
    ASSERT_NE(nullptr, meta);
    EXPECT_EQ(0u, meta->countEntries());
    meta->setInt64("timeUs", 1234);
    int64_t timeUs = 0;
    EXPECT_TRUE(buf->meta()->findInt64("timeUs", &timeUs));
    EXPECT_EQ(1234, timeUs);
    EXPECT_EQ(meta.get(), buf->meta().get());

    // Wrapped memory is used in place and not freed.
    uint8_t external[16] = {};
    {
        Ref<ByteBuffer> wrap = new ByteBuffer(external, sizeof(external));
        EXPECT_EQ(external, wrap->data());
        wrap->data()[3] = 0x5a;
    }
    EXPECT_EQ(0x5a, external[3]);

    // The farewell message is posted when the last reference goes.
    Ref<Looper> looper = new Looper;
    Ref<test::RecordingHandler> handler = new test::RecordingHandler;
    const handler_id id = looper->registerHandler(handler);
    ASSERT_EQ(OK, looper->start());
    Ref<Message> farewell = new Message(FCC("bye "), id);
    farewell->setInt32("index", 3);
    buf->setFarewellMessage(farewell);
    farewell.clear();
    Ref<Message> holder = new Message;
    holder->setBuffer("buf", buf);
    buf.clear();
    EXPECT_FALSE(handler->waitForCount(1, 100));
    holder.clear();
    ASSERT_TRUE(handler->waitForCount(1));
    int32_t index = 0;
    EXPECT_EQ(FCC("bye "), handler->messages()[0]->what());
    EXPECT_TRUE(handler->messages()[0]->findInt32("index", &index));
    EXPECT_EQ(3, index);
    looper->unregisterHandler(id);
    looper->stop();
}

}  // namespace
}  // namespace velmor
