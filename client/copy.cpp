#include "client/copy.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <utility>

#include "client/output.h"
#include "common/codec.h"
#include "common/sys.h"
#include "common/text.h"

namespace vesk::cli {

namespace {

using nlohmann::json;
using vesk::client::AgentClient;

// In flight at once: enough requests to keep the agent and the connection busy, and no more
// announced bytes than the agent may hold for us at a time.
constexpr std::size_t kWindow = 64;
constexpr std::uint64_t kBytesInFlight = 64u << 20;
// Smaller files travel from memory, read whole; larger ones from the file as it is read.
constexpr std::uint64_t kHeldWhole = 8u << 20;

struct FileJob {
    std::string from, to;
    std::uint64_t size = 0;
};

// What a copy does, worked out before the first file moves: the directories to make (parents
// first) and the files, with their sizes for the progress bar.
struct Plan {
    std::vector<std::string> dirs;
    std::vector<FileJob> files;
    std::uint64_t total = 0;
    std::uint64_t done = 0;
    bool failed = false;

    void fail(const std::string& text) {
        complain(text);
        failed = true;
    }
    void add(FileJob job) {
        total += job.size;
        files.push_back(std::move(job));
    }
    void progress(std::uint64_t bytes) {
        done += bytes;
        if (progress_bar) progress_bar->update(done, total);
    }
};

void note(const std::string& text) {
    write_err("vesk: " + text + "\n");
}

std::string child_of(const std::string& dir, const std::string& name) {
    return dir + (dir.empty() || dir.back() == '/' ? "" : "/") + name;
}

// Where a source goes: into the target directory under its own name, or, for one source and
// a target that is not there, to the target itself.
std::string destination(const std::string& source, const std::string& target, bool into) {
    if (!into) return target;
    std::string base = base_name(source);
    return base == "." || base == ".." || base == "/" || base == "~" ? target
                                                                     : child_of(target, base);
}

// ---- put: the local tree, then the requests ----------------------------------------------

void walk_local(const std::string& dir, const std::string& remote, Plan& plan) {
    plan.dirs.push_back(remote);
    DIR* d = ::opendir(dir.c_str());
    if (!d) return plan.fail("cannot read " + dir + ": " + std::strerror(errno));
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
        const std::string path = child_of(dir, n), to = child_of(remote, n);
        struct stat st;
        if (!is_valid_utf8(n))
            plan.fail(path + ": the name is not valid UTF-8; the agent takes UTF-8 names only");
        else if (::lstat(path.c_str(), &st) != 0)
            plan.fail("cannot read " + path + ": " + std::strerror(errno));
        else if (S_ISLNK(st.st_mode))
            note("skipped the symbolic link " + path);
        else if (S_ISDIR(st.st_mode))
            walk_local(path, to, plan);
        else if (S_ISREG(st.st_mode))
            plan.add({path, to, static_cast<std::uint64_t>(st.st_size)});
        else
            note("skipped " + path + ": not a regular file or directory");
    }
}

// Sends one file; false when it could not be read (already said).
bool send_file(AgentClient& c, const FileJob& job, Plan& plan, std::uint64_t& id) {
    unique_fd fd(::open(job.from.c_str(), O_RDONLY | O_CLOEXEC));
    std::optional<std::uint64_t> size = fd ? regular_file_rest(fd.get()) : std::nullopt;
    if (!fd || !size) {
        plan.fail("cannot read " + job.from + ": " + std::strerror(fd ? EINVAL : errno));
        return false;
    }
    if (*size > kMaxFrameLen) {
        plan.fail(too_large_for_agent(job.from).what());
        return false;
    }
    try {
        if (*size < kHeldWhole) {
            std::string content = read_all(fd.get(), job.from);
            id = c.send("fs.write", json{{"path", job.to}}, content);
        } else {
            id = c.send("fs.write", json{{"path", job.to}}, client::Body::from_fd(fd.get(), *size));
        }
    } catch (const std::runtime_error& e) {
        if (dynamic_cast<const client::AgentError*>(&e)) throw;
        plan.fail(e.what());
        return false;
    }
    return true;
}

// Runs the plan's requests, at most kWindow at a time; finish(job, reply) says how each went.
template <typename Send, typename Finish>
void pipeline(AgentClient& c, const std::vector<FileJob>& jobs, Send send, Finish finish) {
    std::deque<std::pair<std::uint64_t, std::size_t>> flight;  // id, job
    std::uint64_t bytes = 0;
    auto retire = [&] {
        auto [id, k] = flight.front();
        flight.pop_front();
        bytes -= jobs[k].size;
        finish(k, c.wait(id));
    };
    for (std::size_t k = 0; k < jobs.size(); ++k) {
        while (!flight.empty() &&
               (flight.size() >= kWindow || bytes + jobs[k].size > kBytesInFlight))
            retire();
        std::uint64_t id = 0;
        if (!send(k, id)) continue;
        flight.emplace_back(id, k);
        bytes += jobs[k].size;
    }
    while (!flight.empty()) retire();
}

// mkdirp of every directory at once (it tolerates a parent made meanwhile).
void make_remote_dirs(AgentClient& c, Plan& plan) {
    std::vector<std::uint64_t> ids;
    for (const std::string& d : plan.dirs) ids.push_back(c.send("fs.mkdirp", json{{"path", d}}));
    for (std::size_t i = 0; i < ids.size(); ++i) {
        client::Message m = c.wait(ids[i]);
        if (m.error) plan.fail(plan.dirs[i] + ": " + *m.error);
    }
}

// ---- get: the remote tree, then the requests ---------------------------------------------

struct RemoteDir {
    std::string path, real, local;
};

// Lists a level of directories at once, then asks about every entry at once: a directory
// is entered, a file copied, and a symbolic link (a real path other than its place in the
// directory's) skipped.
void walk_remote(AgentClient& c, std::vector<RemoteDir> level, Plan& plan) {
    while (!level.empty()) {
        std::vector<std::uint64_t> lists;
        for (const RemoteDir& d : level) {
            plan.dirs.push_back(d.local);
            lists.push_back(c.send("fs.readdir", json{{"path", d.path}}));
        }
        struct Entry {
            std::string path, local, expected;
            std::uint64_t stat_id, real_id;
        };
        std::vector<Entry> entries;
        for (std::size_t i = 0; i < level.size(); ++i) {
            client::Message m = c.wait(lists[i]);
            if (m.error) {
                plan.fail(level[i].path + ": " + *m.error);
                continue;
            }
            for (const json& name : m.data) {
                const std::string n = name.get<std::string>(), p = child_of(level[i].path, n);
                entries.push_back({p, child_of(level[i].local, n), child_of(level[i].real, n),
                                   c.send("fs.stat", json{{"path", p}}),
                                   c.send("fs.canonicalize", json{{"path", p}})});
            }
        }
        std::vector<RemoteDir> next;
        for (Entry& e : entries) {
            client::Message st = c.wait(e.stat_id), real = c.wait(e.real_id);
            std::string real_path = real.error ? "" : real.data.value("path", "");
            if (real.error)
                plan.fail(e.path + ": cannot be copied: " + *real.error +
                          " (a symbolic link to nothing, or a name that is not UTF-8)");
            else if (real_path != e.expected)
                note("skipped the symbolic link " + e.path);
            else if (st.data.value("is_dir", false))
                next.push_back({e.path, real_path, e.local});
            else
                plan.add({e.path, e.local, st.data.value("len", std::uint64_t{0})});
        }
        level = std::move(next);
    }
}

// A file in flight down: its temporary file and what went wrong writing it.
struct Landing {
    int fd = -1;
    int err = 0;
    std::string temp;
};

void receive_files(AgentClient& c, Plan& plan) {
    std::vector<Landing> landing(plan.files.size());
    auto send = [&](std::size_t k, std::uint64_t& id) {
        const FileJob& job = plan.files[k];
        std::size_t slash = job.to.rfind('/');
        std::string dir = slash == std::string::npos ? "." : job.to.substr(0, slash + 1);
        Landing& l = landing[k];
        l.fd = make_temp(dir, job.to.substr(slash + 1), l.temp);
        if (l.fd < 0) {
            plan.fail("cannot create a file in " + dir + ": " + std::strerror(errno));
            return false;
        }
        id = c.send("fs.read", json{{"path", job.from}}, {}, [&l](std::string_view piece) {
            while (l.err == 0 && !piece.empty()) {
                ssize_t w = ::write(l.fd, piece.data(), piece.size());
                if (w < 0 && errno != EINTR) l.err = errno;
                if (w > 0) piece.remove_prefix(static_cast<std::size_t>(w));
            }
        });
        return true;
    };
    auto drop = [](Landing& l) {
        ::close(std::exchange(l.fd, -1));
        ::unlink(l.temp.c_str());
        forget_on_signal(l.temp);
    };
    try {
        pipeline(c, plan.files, send, [&](std::size_t k, const client::Message& m) {
            const FileJob& job = plan.files[k];
            Landing& l = landing[k];
            if (m.error || l.err) drop(l);
            if (m.error) return plan.fail(job.from + ": " + *m.error);
            int err = l.err ? l.err : place_temp(std::exchange(l.fd, -1), l.temp, job.to);
            if (err) plan.fail("cannot write " + job.to + ": " + std::strerror(err));
            plan.progress(job.size);
        });
    } catch (...) {
        // The agent is gone: what was in flight leaves nothing behind.
        for (Landing& l : landing)
            if (l.fd >= 0) drop(l);
        throw;
    }
}

int finish(Session& s, Plan& plan) {
    if (progress_bar) progress_bar->update(plan.total, plan.total);
    if (s.inv.json && !plan.failed)
        for (const FileJob& f : plan.files) done_with(s.inv, f.to);
    return plan.failed ? kExitFailed : kExitOk;
}

void start_bar(const std::vector<std::string>& sources) {
    if (progress_bar)
        progress_bar->set_name(sources.size() == 1 ? sources[0]
                                                   : std::to_string(sources.size()) + " sources");
}

}  // namespace

int copy_up(Session& s, const std::vector<std::string>& sources, const std::string& target) {
    AgentClient& c = s.agent();
    const client::FileStat t = c.stat(target);
    const bool into = t.is_dir;
    if (!into && (sources.size() > 1 || t.exists))
        throw std::runtime_error(
            target + ": " + (t.exists ? "not a directory" : "no such directory") + " to copy into");
    Plan plan;
    for (const std::string& src : sources) {
        struct stat st;
        const std::string to = destination(src, target, into);
        if (::stat(src.c_str(), &st) != 0)
            plan.fail("cannot read " + src + ": " + std::strerror(errno));
        else if (S_ISDIR(st.st_mode) && !s.inv.recursive)
            plan.fail(src + ": is a directory (put -r copies trees)");
        else if (S_ISDIR(st.st_mode))
            walk_local(src, to, plan);
        else
            plan.add({src, to, static_cast<std::uint64_t>(st.st_size)});
    }
    c.set_progress_handler(nullptr);
    start_bar(sources);
    make_remote_dirs(c, plan);
    pipeline(
        c, plan.files,
        [&](std::size_t k, std::uint64_t& id) { return send_file(c, plan.files[k], plan, id); },
        [&](std::size_t k, const client::Message& m) {
            if (m.error) plan.fail(plan.files[k].to + ": " + *m.error);
            plan.progress(plan.files[k].size);
        });
    return finish(s, plan);
}

int copy_down(Session& s, const std::vector<std::string>& sources, const std::string& target) {
    AgentClient& c = s.agent();
    struct stat st;
    const bool into = ::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (!into && (sources.size() > 1 || ::access(target.c_str(), F_OK) == 0))
        throw std::runtime_error(target + ": " +
                                 (sources.size() > 1 ? "no such directory" : "not a directory") +
                                 " to copy into");
    Plan plan;
    std::vector<RemoteDir> roots;
    for (const std::string& src : sources) {
        const std::string to = destination(src, target, into);
        client::FileStat fs = c.stat(src);
        if (!fs.exists) {
            plan.fail(src + ": " + absent_because(c, src));
        } else if (fs.is_dir && !s.inv.recursive) {
            plan.fail(src + ": is a directory (get -r copies trees)");
        } else if (fs.is_dir) {
            roots.push_back({src, c.canonicalize(src), to});
        } else {
            plan.add({src, to, fs.len});
        }
    }
    walk_remote(c, roots, plan);
    for (const std::string& d : plan.dirs)
        if (::mkdir(d.c_str(), 0777) != 0 && errno != EEXIST)
            plan.fail("cannot create " + d + ": " + std::strerror(errno));
    c.set_progress_handler(nullptr);
    start_bar(sources);
    receive_files(c, plan);
    return finish(s, plan);
}

}  // namespace vesk::cli
