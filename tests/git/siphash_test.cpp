#include "agent/git/siphash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace vesk {
namespace {

// Expected values come from an independent implementation: CPython 3.11 hashes bytes with
// SipHash-1-3 under a zero key when PYTHONHASHSEED=0, e.g.
//   PYTHONHASHSEED=0 python3 -c 'print(hash(bytes(range(3))) & (2**64-1))'
// (Python special-cases the empty input and the value -1, which none of these hit.)
std::string counting(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(i));
    return s;
}

TEST(SipHash13, MatchesPythonOracleForEveryTailLength) {
    const std::uint64_t expected[] = {
        0x68a914128e01e473, 0x010bac45c41e3669, 0x4d4c9a4a8ef6e0ad, 0x7cc43f98813e4dbd,
        0x5abe2169dff36275, 0xe3c25f87624f1cdb, 0x2f098ab0c751325a, 0xead411e67ebe2eea,
        0x75927f9d95124362, 0xaf9f77a65ab51a1d, 0xfe64ce8b6617fcff, 0xa6baf4fb0f9fe1c2,
        0xa0cf3211850f8e0d, 0x7f86049379fbfe67, 0xf30eb725bb91c9ea, 0x8972188433a5c5b7,
        0x4883c49a2c009c1d, 0xadc2c0b63044067d, 0x091f4a3329f87d19, 0x639e355ae68c0100,
    };
    for (std::size_t n = 1; n <= 20; ++n) {
        EXPECT_EQ(siphash13(0, 0, counting(n)), expected[n - 1]) << "length " << n;
    }
}

TEST(SipHash13, MatchesPythonOracleForTextAndLongInput) {
    std::string long_input;
    for (int i = 0; i < 1000; ++i) long_input.push_back(static_cast<char>((i * 7 + 3) & 0xff));
    const struct {
        std::string input;
        std::uint64_t expected;
    } cases[] = {
        {"a", 0x407448d2b89b1813},
        {"abc", 0xc03bc3a0042630f2},
        {"hello world", 0xb1b1f2e707e4ac8a},
        {std::string(9, '\xff'), 0xe271c8ef95f59694},  // high bytes must not sign-extend
        {long_input, 0x92a845f3e25c1469},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(siphash13(0, 0, c.input), c.expected) << "length " << c.input.size();
    }
}

TEST(SipHash13, KeyChangesTheResult) {
    EXPECT_NE(siphash13(1, 0, "abc"), siphash13(0, 0, "abc"));
    EXPECT_NE(siphash13(0, 1, "abc"), siphash13(0, 0, "abc"));
}

}  // namespace
}  // namespace vesk
