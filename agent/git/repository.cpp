#include "agent/git/repository.h"

#include <sys/stat.h>

#include <charconv>
#include <climits>
#include <variant>

#include "agent/git/git_child.h"
#include "agent/git/siphash.h"
#include "agent/params.h"
#include "common/sys.h"
#include "common/text.h"

namespace vesk {

namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

template <class T>
void append_le(std::string& out, T value) {
    auto v = static_cast<std::make_unsigned_t<T>>(value);
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out.push_back(static_cast<char>(v & 0xff));
        v = static_cast<decltype(v)>(v >> 8);
    }
}

void append_entry(std::string& stream, const std::string& dir, std::string_view name) {
    std::string path = join_path(dir, name);
    if (contains_nul(path)) return;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return;
    append_entry_record(stream, name, st.st_mtim.tv_sec, st.st_mtim.tv_nsec,
                        static_cast<std::uint64_t>(st.st_size));
}

}  // namespace

RepoLocation locate_repository(std::string workdir) {
    RepoLocation loc;
    loc.workdir = std::move(workdir);
    RunResult result = run_command(
        git_child(loc.workdir, {"rev-parse", "--absolute-git-dir", "--git-common-dir"}));
    auto* out = std::get_if<ChildOutput>(&result);
    if (!out) return loc;
    std::string text = utf8_lossy(out->stdout_bytes.view());
    std::string_view rest = text;
    while (!rest.empty()) {
        std::size_t nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
        if (nl != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
        loc.git_dirs.push_back(join_path(loc.workdir, line));
    }
    return loc;
}

void append_entry_record(std::string& stream, std::string_view name, std::int64_t mtime_sec,
                         std::int64_t mtime_nsec, std::uint64_t size) {
    stream.append(name);
    stream.push_back(static_cast<char>(0xff));
    if (mtime_nsec < 0 && mtime_nsec > -kNanosPerSecond && mtime_sec > INT64_MIN) {
        mtime_sec -= 1;
        mtime_nsec += kNanosPerSecond;
    }
    // Anything still outside one second (only a broken file system reports that) has no
    // faithful encoding; it is marked absent rather than truncated into a wrong value.
    if (mtime_nsec >= 0 && mtime_nsec < kNanosPerSecond) {
        append_le<std::uint64_t>(stream, 1);
        append_le<std::int64_t>(stream, mtime_sec);
        append_le<std::uint32_t>(stream, static_cast<std::uint32_t>(mtime_nsec));
    } else {
        append_le<std::uint64_t>(stream, 0);
    }
    append_le<std::uint64_t>(stream, size);
}

std::string metadata_stream(const std::vector<std::string>& git_dirs) {
    std::string stream;
    for (const std::string& dir : git_dirs) {
        for (std::string_view name : kFingerprintEntries) append_entry(stream, dir, name);
    }
    return stream;
}

std::string status_stream(const std::string& workdir) {
    std::string stream;
    // GIT_OPTIONAL_LOCKS=0 keeps status from refreshing the index: a refresh would move the
    // index's own metadata and make every poll look like a change. No LC_ALL: the listing is
    // hashed, never read.
    ChildSpec desc =
        git_child(workdir, {"status", "--porcelain=v1", "-z", "--untracked-files=normal"});
    desc.env.emplace_back("GIT_OPTIONAL_LOCKS", "0");
    RunResult result = run_command(desc);
    auto* out = std::get_if<ChildOutput>(&result);
    if (out && out->started) {
        append_le<std::uint64_t>(stream, out->stdout_bytes.size());
        stream.append(out->stdout_bytes.view());
    }
    return stream;
}

std::string fingerprint_stream(const std::string& workdir,
                               const std::vector<std::string>& git_dirs) {
    return metadata_stream(git_dirs) + status_stream(workdir);
}

std::uint64_t repository_fingerprint(const std::string& workdir,
                                     const std::vector<std::string>& git_dirs) {
    return siphash13(0, 0, fingerprint_stream(workdir, git_dirs));
}

}  // namespace vesk
