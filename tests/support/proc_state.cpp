#include "support/proc_state.h"

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "support/harness.h"

namespace vesk::test {

namespace {

std::string link_target(const std::string& path) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "?";
}

std::vector<std::string> dir_names(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        }
        ::closedir(d);
    }
    return names;
}

}  // namespace

std::string ProcState::describe() const {
    std::string s = std::to_string(threads) + " threads; fds:";
    for (const auto& f : fds) s += " [" + f + "]";
    s += "; children:";
    for (const auto& c : children) s += " [" + c + "]";
    return s;
}

std::vector<ChildInfo> children_of(pid_t parent) {
    std::vector<ChildInfo> out;
    for (const std::string& name : dir_names("/proc")) {
        if (name[0] < '0' || name[0] > '9') continue;
        std::string stat;
        try {
            stat = read_file("/proc/" + name + "/stat");
        } catch (const std::exception&) {
            continue;  // ended meanwhile
        }
        // "pid (comm) state ppid ...": comm may hold anything, so parse after the last ')'.
        auto open = stat.find('(');
        auto close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        char state = 0;
        long ppid = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %ld", &state, &ppid) != 2) continue;
        if (ppid == parent) {
            out.push_back({static_cast<pid_t>(std::stol(name)),
                           stat.substr(open + 1, close - open - 1), state});
        }
    }
    return out;
}

ProcState proc_state(pid_t pid) {
    ProcState st;
    std::string base = "/proc/" + std::to_string(pid);
    st.exe = link_target(base + "/exe");
    for (const std::string& fd : dir_names(base + "/fd")) {
        st.fds.push_back(fd + " -> " + link_target(base + "/fd/" + fd));
    }
    std::sort(st.fds.begin(), st.fds.end());
    st.threads = dir_names(base + "/task").size();
    for (const ChildInfo& c : children_of(pid)) {
        st.children.push_back(std::to_string(c.pid) + " (" + c.comm + ") " + c.state);
    }
    return st;
}

ProcState settled_state(pid_t pid, const std::string& expected_exe) {
    using namespace std::chrono_literals;
    ProcState last = proc_state(pid);
    for (int stable = 0, i = 0; stable < 3 && i < 200; ++i) {
        std::this_thread::sleep_for(100ms);
        ProcState now = proc_state(pid);
        bool same = now.exe == last.exe && now.fds == last.fds && now.threads == last.threads;
        bool right_exe = expected_exe.empty() || now.exe == expected_exe;
        stable = same && right_exe ? stable + 1 : 0;
        last = now;
    }
    return last;
}

bool back_to_idle(pid_t pid, const ProcState& idle, std::size_t threads, std::string* last,
                  std::chrono::milliseconds timeout) {
    using namespace std::chrono_literals;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        ProcState now = proc_state(pid);
        if (now.fds == idle.fds && now.threads == threads && now.children.empty()) return true;
        if (last) *last = now.describe();
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(100ms);
    }
}

}  // namespace vesk::test
