// The named-value store every timed event carries.
#include <gtest/gtest.h>

#include <string>

#include "engine/TimerQueue.h"

using namespace velmor;

namespace {
class PlainEvent : public TimerQueue::Event {
public:
    void fire(TimerQueue*, int64_t) override {}
};
}  // namespace

TEST(EventStore, InternedNamesCompareByIdentity) {
    std::string a = "msg", b = "ms";
    b += "g";
    EXPECT_EQ(internName(a.c_str()), internName(b.c_str()));
    EXPECT_NE(internName("msg"), internName("ext1"));
    EXPECT_STREQ(internName("ext2"), "ext2");
}

TEST(EventStore, TypedValuesAndReplacement) {
    Ref<PlainEvent> e = new PlainEvent;
    EXPECT_EQ(e->eventID(), 0);
    int32_t i32 = 0;
    int64_t i64 = 0;
    std::string s;
    EXPECT_FALSE(e->findInt32("msg", &i32));

    ASSERT_TRUE(e->setInt32("msg", 99));
    ASSERT_TRUE(e->setInt64("when", -5000000000LL));
    ASSERT_TRUE(e->setString("subtitle", "hello"));
    EXPECT_TRUE(e->findInt32("msg", &i32));
    EXPECT_EQ(i32, 99);
    EXPECT_TRUE(e->findInt64("when", &i64));
    EXPECT_EQ(i64, -5000000000LL);
    EXPECT_TRUE(e->findString("subtitle", &s));
    EXPECT_EQ(s, "hello");
    // A find needs the same type.
    EXPECT_FALSE(e->findInt64("msg", &i64));
    EXPECT_FALSE(e->findString("msg", &s));
    EXPECT_FALSE(e->findInt32("subtitle", &i32));

    // Replacing keeps one entry per name, also across types (the old string is freed).
    ASSERT_TRUE(e->setInt32("msg", 100));
    ASSERT_TRUE(e->setInt32("subtitle", 7));
    EXPECT_EQ(e->countEntries(), 3u);
    EXPECT_TRUE(e->findInt32("msg", &i32));
    EXPECT_EQ(i32, 100);
    EXPECT_FALSE(e->findString("subtitle", &s));
    EXPECT_TRUE(e->findInt32("subtitle", &i32));
    EXPECT_EQ(i32, 7);
    ASSERT_TRUE(e->setString("subtitle", "again"));
    ASSERT_TRUE(e->setString("subtitle", "third"));
    EXPECT_TRUE(e->findString("subtitle", &s));
    EXPECT_EQ(s, "third");
}

TEST(EventStore, StringLengthsAndEmbeddedNul) {
    Ref<PlainEvent> e = new PlainEvent;
    std::string s;
    const char text[] = "ab\0cd";
    ASSERT_TRUE(e->setString("full", text, 5));
    EXPECT_TRUE(e->findString("full", &s));
    EXPECT_EQ(s, std::string(text, 5));
    ASSERT_TRUE(e->setString("cut", "abcdef", 3));
    EXPECT_TRUE(e->findString("cut", &s));
    EXPECT_EQ(s, "abc");
    ASSERT_TRUE(e->setString("upToNul", text, -1));
    EXPECT_TRUE(e->findString("upToNul", &s));
    EXPECT_EQ(s, "ab");
    ASSERT_TRUE(e->setString("null", nullptr));
    EXPECT_TRUE(e->findString("null", &s));
    EXPECT_EQ(s, "");
}

TEST(EventStore, HoldsExactly64Names) {
    Ref<PlainEvent> e = new PlainEvent;
    for (int i = 0; i < 64; ++i) {
        const std::string name = "key" + std::to_string(i);
        ASSERT_TRUE(i % 2 ? e->setInt32(name.c_str(), i) : e->setString(name.c_str(), name.c_str())) << i;
    }
    EXPECT_EQ(e->countEntries(), 64u);
    EXPECT_FALSE(e->setInt32("key64", 64));
    EXPECT_FALSE(e->setString("another", "x"));
    EXPECT_FALSE(e->findInt32("key64", nullptr));
    // Names already present can still be replaced.
    EXPECT_TRUE(e->setInt64("key0", 1));
    int64_t v = 0;
    EXPECT_TRUE(e->findInt64("key0", &v));
    EXPECT_EQ(v, 1);
    int32_t last = 0;
    EXPECT_TRUE(e->findInt32("key63", &last));
    EXPECT_EQ(last, 63);
    EXPECT_EQ(e->countEntries(), 64u);
}
