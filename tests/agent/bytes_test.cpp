#include "agent/bytes.h"

#include <gtest/gtest.h>

namespace vesk {
namespace {

constexpr std::size_t kLarge = large_blocks::kLargeBlock;

TEST(Bytes, GrowsWithoutLosingContent) {
    Bytes b;
    std::string expected;
    for (int i = 0; i < 10000; ++i) {
        std::string piece = std::to_string(i) + ",";
        b.append(piece);
        expected += piece;
    }
    EXPECT_EQ(b.view(), expected);
    Bytes moved = std::move(b);
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(moved.view(), expected);
}

TEST(Bytes, LargeBlockIsReusedByTheNextLargeBuffer) {
    large_blocks::drop();
    const char* first;
    {
        Bytes a;
        a.resize_uninitialized(kLarge);
        first = a.data();
    }
    // A buffer that leaves kept blocks alone does not take it from the one that wants it.
    Bytes fresh;
    ASSERT_TRUE(fresh.try_reserve(kLarge, false));
    EXPECT_NE(fresh.data(), first);
    Bytes b;
    ASSERT_TRUE(b.try_reserve(kLarge));
    EXPECT_EQ(b.data(), first) << "the kept block was not handed on";
    EXPECT_GE(b.capacity(), kLarge);
    large_blocks::drop();
}

TEST(Bytes, GrowingIntoAKeptBlockKeepsTheContent) {
    large_blocks::drop();
    {
        Bytes big;
        big.resize_uninitialized(2 * kLarge);
    }
    Bytes b;
    b.append("prefix that must survive");
    ASSERT_TRUE(b.try_reserve(kLarge + 1));
    EXPECT_GE(b.capacity(), 2 * kLarge);
    EXPECT_EQ(b.view(), "prefix that must survive");
    large_blocks::drop();
}

TEST(Bytes, KeptBlockTooSmallIsFreedNotHeldBesideTheNewOne) {
    large_blocks::drop();
    {
        Bytes small_large;
        small_large.resize_uninitialized(kLarge);
    }
    std::size_t capacity = 0;
    EXPECT_EQ(large_blocks::take(2 * kLarge, &capacity), nullptr);
    // The too-small block is gone: not even a request it would fit finds it.
    EXPECT_EQ(large_blocks::take(kLarge, &capacity), nullptr);
}

}  // namespace
}  // namespace vesk
