// SipHash-1-3 (one compression round per block, three finalisation rounds) with a 128-bit key.
//
// Used for the repository fingerprint, which is compared only with itself, so the fast variant
// is enough; the key is fixed at zero there.
#pragma once

#include <cstdint>
#include <string_view>

namespace vesk {

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::string_view data);

}  // namespace vesk
