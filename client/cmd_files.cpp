// Files and copies: cat, put, get. Several files or whole trees go through client/copy.cpp.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "client/copy.h"
#include "client/output.h"
#include "common/codec.h"
#include "common/sys.h"

namespace vesk::cli {

namespace {

using vesk::client::AgentClient;

mode_t current_umask() {
    mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

// Names the file that a progress bar shows from now on.
void transfer_of(const std::string& name) {
    if (progress_bar) progress_bar->set_name(name);
}

// A sink that writes to fd; err keeps the first failure, after which the rest is dropped.
client::Sink into_fd(int fd, int& err) {
    return [fd, &err](std::string_view piece) {
        while (err == 0 && !piece.empty()) {
            ssize_t w = ::write(fd, piece.data(), piece.size());
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) err = errno;
            if (w > 0) piece.remove_prefix(static_cast<std::size_t>(w));
        }
    };
}

// A file's content straight to our standard output as it arrives, not held whole.
void copy_to_stdout(AgentClient& c, const std::string& path) {
    transfer_of(path);
    std::lock_guard<std::mutex> lock(out_mu);
    int err = 0;
    c.read_file(path, into_fd(1, err));
    if (err) throw OutputFailed{err};
}

// The agent refused a request about the remote path: the message names that path.
[[noreturn]] void remote_failed(const std::string& remote, const client::RequestError& e) {
    throw std::runtime_error(remote + ": " + e.text());
}

// put [LOCAL|-] REMOTE of one file: a large regular file (LOCAL, or standard input redirected
// from one) is sent from the file as it is read; anything else is read whole first, small
// files included: the sizes of /proc and /sys files are not their contents' sizes.
int put_one(Session& s, const std::string& local, std::string remote) {
    const bool from_stdin = local == "-";
    const std::string name = from_stdin ? "standard input" : local;
    unique_fd file;
    int fd = 0;
    if (!from_stdin) {
        file.reset(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
        if (!file) throw std::runtime_error("cannot read " + name + ": " + std::strerror(errno));
        fd = file.get();
        struct stat st;
        if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
            throw std::runtime_error(name + ": is a directory (put -r copies trees)");
    }
    AgentClient& c = s.agent();
    // An existing directory receives the file under its own name, as cp and scp do.
    const bool slash = !remote.empty() && remote.back() == '/';
    if (!from_stdin && (slash || c.stat(remote).is_dir))
        remote += (slash ? "" : "/") + base_name(local);
    transfer_of(from_stdin ? remote : name);
    std::optional<std::uint64_t> size =
        from_stdin && stdin_was_closed ? std::nullopt : regular_file_rest(fd);
    constexpr std::uint64_t kStreamFrom = 1u << 20;
    try {
        if (!size || *size < kStreamFrom) {
            std::string content = read_all(fd, name);
            c.write_file(remote, content);
        } else if (*size > kMaxFrameLen) {
            throw too_large_for_agent(name);
        } else {
            try {
                c.write_file(remote, client::Body::from_fd(fd, *size));
            } catch (const client::AgentError& e) {
                throw client::AgentError(name + ": " + e.what());
            }
        }
    } catch (const client::RequestError& e) {
        remote_failed(remote, e);
    }
    done_with(s.inv, remote);
    return kExitOk;
}

// get REMOTE LOCAL of one file: into LOCAL (or LOCAL/NAME for a directory) through a temporary
// file beside it, renamed into place once whole, so an interrupted or failed transfer never
// leaves a cut file under the final name. A link is followed; a device or pipe is written in
// place.
int get_one(Session& s, const std::string& remote, std::string target) {
    AgentClient& c = s.agent();
    struct stat st;
    bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        std::string base = base_name(remote);
        if (base.empty() || base == "." || base == ".." || base == "~")
            throw std::runtime_error("get: name the local file for " + remote);
        target += (target.back() == '/' ? "" : "/") + base;
        exists = ::stat(target.c_str(), &st) == 0;
    }
    auto fail = [&](int err) {
        throw std::runtime_error("cannot write " + target + ": " + std::strerror(err));
    };
    auto receive = [&](int fd) {
        transfer_of(remote);
        int err = 0;
        try {
            c.read_file(remote, into_fd(fd, err));
        } catch (const client::RequestError& e) {
            remote_failed(remote, e);
        }
        if (err) fail(err);
    };
    if (exists && !S_ISREG(st.st_mode)) {
        unique_fd out(::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
        if (!out) fail(errno);
        receive(out.get());
        if (::close(out.release()) != 0) fail(errno);
        done_with(s.inv, target);
        return kExitOk;
    }
    char real[PATH_MAX];
    if (exists && ::realpath(target.c_str(), real)) target = real;
    std::size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "./" : target.substr(0, slash + 1);
    std::string temp;
    int fd = make_temp(dir, target.substr(slash + 1), temp);
    if (fd < 0)
        throw std::runtime_error("cannot create a file in " + dir + ": " + std::strerror(errno));
    try {
        receive(fd);
    } catch (...) {
        ::close(fd);
        ::unlink(temp.c_str());
        forget_on_signal(temp);
        throw;
    }
    // The mode a new file would get (an existing one keeps its own), as cp does.
    if (int err = place_temp(fd, temp, target, exists ? static_cast<int>(st.st_mode & 07777) : -1))
        fail(err);
    done_with(s.inv, target);
    return kExitOk;
}

}  // namespace

std::string base_name(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path.substr(path.rfind('/') + 1);
}

int make_temp(const std::string& dir, const std::string& name, std::string& temp_path) {
    temp_path = dir + (dir.empty() || dir.back() == '/' ? "" : "/") + "." + name + ".vesk-XXXXXX";
    int fd = ::mkostemp(temp_path.data(), O_CLOEXEC);
    if (fd >= 0) remove_on_signal(temp_path);
    return fd;
}

int place_temp(int fd, const std::string& temp_path, const std::string& target, int mode) {
    const mode_t m = mode >= 0 ? static_cast<mode_t>(mode) : 0666 & ~current_umask();
    int err = 0;
    if (::fchmod(fd, m) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && ::rename(temp_path.c_str(), target.c_str()) != 0) err = errno;
    if (err) ::unlink(temp_path.c_str());
    forget_on_signal(temp_path);
    return err;
}

void parse_put_get(const std::vector<std::string>& words, Invocation& inv) {
    take_paths(words, inv, [&](const std::string& a) {
        if (a != "-r" && a != "-R" && a != "--recursive") return false;
        inv.recursive = true;
        return true;
    });
    expect_count(inv, 1, SIZE_MAX);
    if (inv.recursive && inv.paths.size() < 2)
        throw UsageError(inv.name + ": -r needs a target after the sources");
}

int run_cat(Session& s) {
    int status = kExitOk;
    for (const std::string& p : s.inv.paths) {
        try {
            copy_to_stdout(s.agent(), p);
        } catch (const client::RequestError& e) {
            complain(p + ": " + e.text());
            status = kExitFailed;
        }
    }
    return status;
}

int run_put(Session& s) {
    const std::vector<std::string>& p = s.inv.paths;
    if (p.size() == 1 || (p.size() == 2 && p[0] == "-" && !s.inv.recursive)) {
        // Only data can have been meant: a terminal or /dev/null (cron, ssh -n) as the source
        // would empty the file.
        if (p.size() == 1 && !stdin_is_data())
            throw UsageError(
                "put: standard input is not a pipe or a file; to store it "
                "anyway, say so: put - PATH");
        return put_one(s, "-", p.back());
    }
    if (p.size() == 2 && !s.inv.recursive) return put_one(s, p[0], p[1]);
    return copy_up(s, {p.begin(), p.end() - 1}, p.back());
}

int run_get(Session& s) {
    const std::vector<std::string>& p = s.inv.paths;
    if (p.size() == 1 || (p.size() == 2 && p[1] == "-" && !s.inv.recursive)) {
        try {
            copy_to_stdout(s.agent(), p[0]);
        } catch (const client::RequestError& e) {
            remote_failed(p[0], e);
        }
        return kExitOk;
    }
    if (p.size() == 2 && !s.inv.recursive) return get_one(s, p[0], p[1]);
    return copy_down(s, {p.begin(), p.end() - 1}, p.back());
}

}  // namespace vesk::cli
