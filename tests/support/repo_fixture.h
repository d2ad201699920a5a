// Real git repositories in temporary directories, for the end-to-end tests that watch them.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "support/harness.h"

namespace vesk::test {

// Runs git in dir and returns its standard output; throws when git fails, so a broken setup
// is never mistaken for a quiet repository.
inline std::string git_in(const std::string& dir, std::vector<std::string> args) {
    std::vector<std::string> argv{"git", "-C", dir};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult r = run_process(argv);
    if (r.exit_code() != 0)
        throw std::runtime_error("git " + args.front() + " failed in " + dir + ": " + r.err);
    return r.out;
}

// A repository at dir with one committed file, "tracked.txt".
inline void make_repo(const std::string& dir) {
    run_process({"mkdir", "-p", dir});
    git_in(dir, {"init", "-q", "-b", "main"});
    git_in(dir, {"config", "user.name", "Watch Test"});
    git_in(dir, {"config", "user.email", "watch@example.invalid"});
    git_in(dir, {"config", "commit.gpgsign", "false"});
    write_file(dir + "/tracked.txt", "one\n");
    git_in(dir, {"add", "tracked.txt"});
    git_in(dir, {"commit", "-q", "-m", "first"});
}

}  // namespace vesk::test
