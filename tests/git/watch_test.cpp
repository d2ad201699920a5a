// What "watch" rests on that end-to-end tests only see as events that fire or not: the
// fingerprint's hash (a tail it dropped would hide changes at the end of a status listing), and
// a watcher thread that cannot start.
#include "agent/git/watch_service.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "agent/git/siphash.h"
#include "support/harness.h"

namespace vesk {
namespace {

// Values from an independent implementation: CPython hashes bytes with SipHash-1-3 under a zero
// key when PYTHONHASHSEED=0, e.g.
//   PYTHONHASHSEED=0 python3 -c 'print(hash(bytes(range(3))) & (2**64-1))'
TEST(Fingerprint, SipHash13OfEveryTailLength) {
    const std::uint64_t counting[] = {
        0x68a914128e01e473, 0x010bac45c41e3669, 0x4d4c9a4a8ef6e0ad, 0x7cc43f98813e4dbd,
        0x5abe2169dff36275, 0xe3c25f87624f1cdb, 0x2f098ab0c751325a, 0xead411e67ebe2eea,
        0x75927f9d95124362, 0xaf9f77a65ab51a1d, 0xfe64ce8b6617fcff, 0xa6baf4fb0f9fe1c2,
        0xa0cf3211850f8e0d, 0x7f86049379fbfe67, 0xf30eb725bb91c9ea, 0x8972188433a5c5b7,
        0x4883c49a2c009c1d, 0xadc2c0b63044067d, 0x091f4a3329f87d19, 0x639e355ae68c0100,
    };
    std::string bytes;  // 0, 1, 2, ...
    for (std::uint64_t want : counting) {
        bytes.push_back(static_cast<char>(bytes.size()));
        EXPECT_EQ(siphash13(0, 0, bytes), want) << bytes.size() << " bytes";
    }
    EXPECT_EQ(siphash13(0, 0, "hello world"), 0xb1b1f2e707e4ac8au);
    EXPECT_EQ(siphash13(0, 0, std::string(9, '\xff')), 0xe271c8ef95f59694u);  // no sign extension
}

// The path must not stay behind as watched, or every later "watch" of it would do nothing.
TEST(WatchService, AFailedWatcherStartLeavesThePathUnwatched) {
    test::TempDir dir;
    int starts = 0, result = EAGAIN;
    // The watcher bodies are dropped: nothing runs, so nothing outlives the test.
    WatchService watches([](const std::string&) { return true; },
                         [&](std::function<void()>, std::size_t) {
                             ++starts;
                             return result;
                         });
    EXPECT_EQ(watches.watch(dir.path()), EAGAIN);
    result = 0;
    EXPECT_EQ(watches.watch(dir.path()), 0);
    EXPECT_EQ(watches.watch(dir.path()), 0);  // watched already: no second watcher
    watches.unwatch(dir.path());
    EXPECT_EQ(watches.watch(dir.path()), 0);
    EXPECT_EQ(starts, 3);
}

}  // namespace
}  // namespace vesk
