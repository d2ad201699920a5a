// Line counting for "fs.countlines": the number of LF-terminated lines of a small text file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vesk {

// Files larger than this (in bytes) are not counted; exactly this size still is.
inline constexpr std::size_t kMaxCountFileSize = 1000000;
// A NUL among this many leading bytes marks the content as non-text.
inline constexpr std::size_t kNulProbeLen = 8000;

// Lines of the regular file at path (links followed): the number of LF bytes, plus one when
// the content does not end with LF. Nothing for a file that is missing, unreadable, not
// regular, larger than kMaxCountFileSize, or holds a NUL among its first kNulProbeLen bytes.
// Never opens anything that is not a regular file and never reads more than one byte past the
// size limit.
std::optional<std::uint32_t> count_lines(const std::string& path);

// Lines of content by the same rule (no size or NUL test).
std::uint32_t count_lines_in(std::string_view content);

}  // namespace vesk
