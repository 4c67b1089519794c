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

TEST(EventStore, TypedValuesReplacementStringsAndCapacity) {
    EXPECT_EQ(internName("msg"), internName((std::string("ms") + "g").c_str()));
    Ref<PlainEvent> e = new PlainEvent;
    int32_t i32 = 0;
    int64_t i64 = 0;
    std::string s;
    ASSERT_TRUE(e->setInt32("msg", 99) && e->setInt64("when", -5000000000LL) && e->setString("subtitle", "hello"));
    EXPECT_TRUE(e->findInt32("msg", &i32) && e->findInt64("when", &i64) && e->findString("subtitle", &s));
    EXPECT_EQ(i32, 99);
    EXPECT_EQ(i64, -5000000000LL);
    EXPECT_EQ(s, "hello");
    // A find needs the same type.
    EXPECT_FALSE(e->findInt64("msg", &i64) || e->findString("msg", &s) || e->findInt32("subtitle", &i32));
    // Replacing keeps one entry per name, also across types (the old string is freed).
    ASSERT_TRUE(e->setInt32("subtitle", 7) && e->setString("when", "again") && e->setString("when", "third"));
    EXPECT_EQ(e->countEntries(), 3u);
    EXPECT_TRUE(e->findInt32("subtitle", &i32) && e->findString("when", &s));
    EXPECT_EQ(i32, 7);
    EXPECT_EQ(s, "third");

    // Explicit lengths keep embedded NULs or cut; -1 stops at the first NUL; null is empty.
    const char text[] = "ab\0cd";
    for (const auto& [length, expected] :
         {std::pair<ssize_t, std::string>{5, std::string(text, 5)}, {2, "ab"}, {-1, "ab"}}) {
        ASSERT_TRUE(e->setString("text", text, length));
        EXPECT_TRUE(e->findString("text", &s));
        EXPECT_EQ(s, expected) << length;
    }
    ASSERT_TRUE(e->setString("text", nullptr));
    EXPECT_TRUE(e->findString("text", &s));
    EXPECT_EQ(s, "");

    // Sixty-four names fit; more are refused, but present names can still be replaced.
    for (int i = static_cast<int>(e->countEntries()); i < 64; ++i) {
        const std::string name = "key" + std::to_string(i);
        ASSERT_TRUE(i % 2 ? e->setInt32(name.c_str(), i) : e->setString(name.c_str(), name.c_str())) << i;
    }
    EXPECT_FALSE(e->setInt32("key64", 64) || e->setString("another", "x") || e->findInt32("key64", nullptr));
    EXPECT_TRUE(e->setInt64("msg", 1) && e->findInt64("msg", &i64) && e->findInt32("key63", &i32));
    EXPECT_EQ(i64, 1);
    EXPECT_EQ(i32, 63);
    EXPECT_EQ(e->countEntries(), 64u);
}
