// Repository discovery and the change fingerprint behind "watch".
//
// Neither operation fails: whatever cannot be read or run contributes nothing. Both block while
// git runs and hold no lock of their own, so any number of watchers may call them at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "agent/exec/run_command.h"

namespace vesk {

struct RepoLocation {
    std::string workdir;  // the watched path with "~" expanded; may be relative
    // The absolute git directory, then the common directory, as git printed them (joined to
    // workdir). Both name the same directory in an ordinary repository; empty outside one.
    std::vector<std::string> git_dirs;
};

// The entries whose metadata enters the fingerprint, in stream order.
inline constexpr std::string_view kFingerprintEntries[] = {
    "HEAD",        "index",      "packed-refs",  "FETCH_HEAD", "MERGE_HEAD",
    "REBASE_HEAD", "refs/heads", "refs/remotes", "refs/tags",  "refs/stash",
};

// Asks git (in workdir) for the git directory and the common directory.
RepoLocation locate_repository(std::string workdir);

// Appends one entry's record: name, 0xFF, then the modification time (u64 flag 1, i64 seconds,
// u32 nanoseconds; or the flag 0 alone when the time cannot be represented) and the u64 size,
// all little-endian. Negative nanoseconds borrow one second.
void append_entry_record(std::string& stream, std::string_view name, std::int64_t mtime_sec,
                         std::int64_t mtime_nsec, std::uint64_t size);

// The two parts of the fingerprint's stream. The records of every existing entry of every git
// directory: cheap, taken at every poll.
std::string metadata_stream(const std::vector<std::string>& git_dirs);
// The length-prefixed output of the status command; empty when git could not be started.
std::string status_stream(const std::string& workdir);

// The byte stream the fingerprint hashes: the records of every existing entry of every git
// directory, then the length-prefixed output of the status command when git ran.
std::string fingerprint_stream(const std::string& workdir,
                               const std::vector<std::string>& git_dirs);

// SipHash-1-3 with a zero key over fingerprint_stream.
std::uint64_t repository_fingerprint(const std::string& workdir,
                                     const std::vector<std::string>& git_dirs);

}  // namespace vesk
