#pragma once

// The agent's version: printed by --version and reported by hello.
#define VESK_VERSION "1.0.1"

namespace vesk {
inline constexpr int kProtocolRevision = 1;
}  // namespace vesk
