// The file system: stat, ls, mkdir, rm, realpath, wc.
#include <cerrno>
#include <cstdio>

#include "client/commands.h"
#include "client/output.h"
#include "common/text.h"

namespace vesk::cli {

namespace {

using nlohmann::json;
using vesk::client::AgentClient;

// ls -l: the status of every entry, asked for all at once rather than one round trip each.
std::vector<client::FileStat> stat_all(AgentClient& c, const std::vector<std::string>& paths) {
    std::vector<std::uint64_t> ids;
    for (const std::string& p : paths) ids.push_back(c.send("fs.stat", json{{"path", p}}));
    std::vector<client::FileStat> out;
    for (std::uint64_t id : ids) {
        client::Message m = c.wait(id);
        if (m.error) throw client::RequestError("fs.stat", *m.error);
        out.push_back({m.data.value("exists", false), m.data.value("is_dir", false),
                       m.data.value("len", std::uint64_t{0})});
    }
    return out;
}

// Runs one step per path; a failure is reported and the rest still run, as mkdir and rm do.
int each_path(const Invocation& inv, const std::function<void(const std::string&)>& step) {
    int status = kExitOk;
    for (const std::string& p : inv.paths) {
        try {
            step(p);
        } catch (const client::RequestError& e) {
            complain(p + ": " + e.text());
            status = kExitFailed;
        } catch (const Refusal& e) {
            complain(e.what());
            status = kExitFailed;
        }
    }
    return status;
}

// A name and its parent directory's real path as one path ("/" and "root" give "/root").
std::string joined(const std::string& dir, const std::string& name) {
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// What removing this path would take away that nobody means to: the root or the home
// directory itself (however it is spelled), or nothing. A last component that is a link is
// what goes, not what it points to, so only the directory above it is resolved.
std::optional<std::string> precious(AgentClient& c, const std::string& path) {
    std::size_t slash = path.rfind('/');
    std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    bool whole = path == "~" || last.empty() || last == "." || last == "..";
    std::string real;
    try {
        if (whole)
            real = c.canonicalize(path);
        else if (slash == std::string::npos)
            real = joined(c.canonicalize("."), last);
        else
            real = joined(c.canonicalize(slash == 0 ? "/" : path.substr(0, slash)), last);
    } catch (const client::RequestError&) {
        return std::nullopt;  // nothing there to protect; the removal reports why
    }
    if (real == "/") return "the root directory";
    std::string home = c.hello().home;
    if (home.empty()) return std::nullopt;
    try {
        if (real == c.canonicalize(home)) return "the home directory";
    } catch (const client::RequestError&) {
    }
    return std::nullopt;
}

// Why fs.countlines gave no count for a path (it does not say): asked after the fact.
std::string not_counted_because(AgentClient& c, const std::string& path) {
    constexpr std::uint64_t kCountLimit = 1000000;  // the agent's, in bytes
    client::FileStat s = c.stat(path);
    if (!s.exists) return "it " + absent_because(c, path);
    if (s.is_dir) return "it is a directory";
    if (s.len > kCountLimit)
        return "it is over the " + std::to_string(kCountLimit) + "-byte limit (" +
               std::to_string(s.len) + " bytes)";
    if (s.len == 0) return "it is not a regular file";  // an empty one counts 0 lines
    client::Message m = c.request("fs.read", json{{"path", path}});
    if (m.error) return *m.error;
    if (m.body.find('\0') < 8000) return "it holds binary data (a NUL byte in its first 8000)";
    return "it changed while it was counted";
}

std::string right_aligned(const std::string& n) {
    return std::string(n.size() < 8 ? 8 - n.size() : 0, ' ') + n;
}

}  // namespace

std::string absent_because(AgentClient& c, const std::string& path) {
    // The status itself is not in the reply, but the real-path lookup fails with its cause.
    try {
        c.canonicalize(path);
    } catch (const client::RequestError& e) {
        if (is_os_error(e.text(), ENOENT) || is_os_error(e.text(), ENOTDIR))
            return "does not exist";
        return "is not accessible (" + e.text() + ")";
    }
    return "is not accessible";
}

void parse_ls(const std::vector<std::string>& words, Invocation& inv) {
    take_paths(words, inv, [&](const std::string& a) {
        if (!flags_of(a, "laA")) return false;
        inv.long_list |= a.find('l') != std::string::npos;
        return true;
    });
    if (inv.paths.empty()) inv.paths.push_back(".");
    expect_count(inv, 1, 1);
}

void parse_rm(const std::vector<std::string>& words, Invocation& inv) {
    take_paths(words, inv, [&](const std::string& a) {
        if (a == "--no-preserve-root") {
            inv.no_preserve_root = true;
        } else if (a == "--recursive") {
            inv.recursive = true;
        } else if (a == "--force") {
            inv.force = true;
        } else if (flags_of(a, "rRf")) {
            inv.recursive |= a.find_first_of("rR") != std::string::npos;
            inv.force |= a.find('f') != std::string::npos;
        } else {
            return false;
        }
        return true;
    });
    expect_count(inv, 1, SIZE_MAX);
}

int run_stat(Session& s) {
    const Invocation& inv = s.inv;
    AgentClient& c = s.agent();
    int status = kExitOk;
    json all = json::array();
    std::string out;
    for (const std::string& p : inv.paths) {
        client::FileStat st = c.stat(p);
        if (!st.exists) status = kExitFailed;
        all.push_back({{"path", p}, {"exists", st.exists}, {"is_dir", st.is_dir}, {"len", st.len}});
        if (!st.exists)
            out += p + ": " + absent_because(c, p) + "\n";
        else
            out += p + ": " + (st.is_dir ? "directory" : "file") + ", " + std::to_string(st.len) +
                   " bytes\n";
    }
    write_out(inv.json ? dump(all) + "\n" : out);
    return status;
}

int run_ls(Session& s) {
    const Invocation& inv = s.inv;
    AgentClient& c = s.agent();
    const std::string& dir = inv.paths[0];
    std::vector<std::string> names, paths;
    try {
        names = c.readdir(dir);
        for (const std::string& n : names) paths.push_back(joined(dir.empty() ? "." : dir, n));
    } catch (const client::RequestError& e) {
        // A file is listed by its own name, as ls does.
        if (!is_os_error(e.text(), ENOTDIR)) throw;
        names = paths = {dir};
    }
    std::vector<client::FileStat> stats;
    if (inv.long_list) stats = stat_all(c, paths);
    if (inv.json) {
        json all = json::array();
        for (std::size_t i = 0; i < names.size(); ++i)
            all.push_back(inv.long_list ? json{{"name", names[i]},
                                               {"exists", stats[i].exists},
                                               {"is_dir", stats[i].is_dir},
                                               {"len", stats[i].len}}
                                        : json(names[i]));
        write_out(dump(all) + "\n");
        return kExitOk;
    }
    // One entry per line: a name that holds a line break, a control character, a quotation
    // mark or a backslash is shown quoted and escaped, so no name can pass for two. With -l,
    // its kind ("?" for a link to nothing) and size come first.
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (inv.long_list) {
            const client::FileStat& st = stats[i];
            char head[40];
            std::snprintf(head, sizeof head, "%-4s %12llu ",
                          !st.exists  ? "?"
                          : st.is_dir ? "dir"
                                      : "file",
                          static_cast<unsigned long long>(st.len));
            out += head;
        }
        std::string quoted = debug_quote(names[i]);
        out += (quoted.size() == names[i].size() + 2 ? names[i] : quoted) + "\n";
    }
    write_out(out);
    return kExitOk;
}

int run_mkdir(Session& s) {
    return each_path(s.inv, [&](const std::string& p) {
        s.agent().mkdirp(p);
        done_with(s.inv, p);
    });
}

int run_rm(Session& s) {
    const Invocation& inv = s.inv;
    return each_path(inv, [&](const std::string& p) {
        std::optional<std::string> what =
            inv.no_preserve_root ? std::nullopt : precious(s.agent(), p);
        if (what)
            throw Refusal("rm: refusing to remove '" + p + "' (" + *what +
                          "); use --no-preserve-root to override");
        try {
            s.agent().remove(p, inv.recursive);
        } catch (const client::RequestError& e) {
            // -f: what is not there is as good as removed.
            if (!inv.force || !is_os_error(e.text(), ENOENT)) throw;
        }
        done_with(inv, p);
    });
}

int run_realpath(Session& s) {
    return each_path(s.inv, [&](const std::string& p) {
        std::string real = s.agent().canonicalize(p);
        write_out(s.inv.json ? dump(json(real)) + "\n" : real + "\n");
    });
}

int run_wc(Session& s) {
    const Invocation& inv = s.inv;
    AgentClient& c = s.agent();
    std::vector<std::optional<std::uint32_t>> counts = c.countlines(inv.paths);
    json all = json::array();
    std::string out;
    std::uint64_t total = 0;
    int status = kExitOk;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        json entry = {{"path", inv.paths[i]}, {"lines", counts[i] ? json(*counts[i]) : json()}};
        if (!counts[i]) {
            std::string why = "not counted: " + not_counted_because(c, inv.paths[i]);
            if (inv.json)
                entry["error"] = why;
            else
                write_err("vesk: " + inv.paths[i] + ": " + why + "\n");
            status = kExitFailed;
        }
        all.push_back(entry);
        if (counts[i]) total += *counts[i];
        out +=
            right_aligned(counts[i] ? std::to_string(*counts[i]) : "-") + " " + inv.paths[i] + "\n";
    }
    if (counts.size() > 1) out += right_aligned(std::to_string(total)) + " total\n";
    write_out(inv.json ? dump(all) + "\n" : out);
    return status;
}

}  // namespace vesk::cli
