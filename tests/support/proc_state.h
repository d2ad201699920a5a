// What a process holds, read from /proc: descriptors, threads and child processes. Leak checks
// compare it before and after a burst of work.
#pragma once

#include <dirent.h>

#include <algorithm>

#include "support/harness.h"

namespace vesk::test {

inline std::vector<std::string> dir_names(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        ::closedir(d);
    }
    return names;
}

// Its children, zombies included: "pid (comm)".
inline std::vector<std::string> children_of(pid_t parent) {
    std::vector<std::string> out;
    const std::string task = "/proc/" + std::to_string(parent) + "/task/";
    for (const std::string& tid : dir_names(task)) {
        std::ifstream pids(task + tid + "/children");
        for (pid_t pid; pids >> pid;) {
            std::string comm;
            std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), comm);
            out.push_back(std::to_string(pid) + " (" + comm + ")");
        }
    }
    return out;
}

struct ProcState {
    std::string exe;               // the executable /proc/PID/exe points at
    std::vector<std::string> fds;  // "N -> target", sorted
    std::size_t threads = 0;
    std::vector<std::string> children;
    bool operator==(const ProcState&) const = default;
    std::string describe() const {
        std::string s = std::to_string(threads) + " threads; fds:";
        for (const auto& f : fds) s += " [" + f + "]";
        for (const auto& c : children) s += " child " + c;
        return s;
    }
};

inline ProcState proc_state(pid_t pid) {
    ProcState st;
    const std::string base = "/proc/" + std::to_string(pid);
    std::error_code ec;
    st.exe = std::filesystem::read_symlink(base + "/exe", ec).string();
    for (const std::string& fd : dir_names(base + "/fd"))
        st.fds.push_back(fd + " -> " +
                         std::filesystem::read_symlink(base + "/fd/" + fd, ec).string());
    std::sort(st.fds.begin(), st.fds.end());
    st.threads = dir_names(base + "/task").size();
    st.children = children_of(pid);
    return st;
}

// The state once it has stopped changing and the process runs the agent (past a wrapper shell
// that execs it).
inline ProcState idle_state(pid_t pid) {
    const std::string agent = real_path(agent_path());
    ProcState last = proc_state(pid);
    for (int stable = 0, i = 0; stable < 3 && i < 200; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ProcState now = proc_state(pid);
        stable = now == last && now.exe == agent ? stable + 1 : 0;
        last = now;
    }
    EXPECT_EQ(last.exe, agent) << "the agent did not start";
    return last;
}

// Waits until the process holds what it held when idle; false (with a failure that says what it
// held) when that does not happen in time. Pooled idle workers end 10 s after their last job, so
// the wait is long enough for that.
inline bool back_to_idle(pid_t pid, const ProcState& idle) {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(25);;) {
        ProcState now = proc_state(pid);
        if (now == idle) return true;
        if (std::chrono::steady_clock::now() > end) {
            ADD_FAILURE() << "not back to idle\nidle: " << idle.describe()
                          << "\nnow:  " << now.describe();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace vesk::test
