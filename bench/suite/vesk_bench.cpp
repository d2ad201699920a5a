// Whole-agent workloads against the peer (a file-transfer server speaking its binary protocol
// over the same kind of pipes) and the physical floor of each. Every workload alternates its
// subjects repetition by repetition, so all of them see the same machine state; only ratios
// taken within one run mean anything on a shared machine.
//
//   vesk_bench WORKLOAD [options]
//
// Workloads: rtt, pipeline, read, exec, exec-large, countlines, version, and exec-steps (a
// profile of exec, not in the table). Options (all --name=value):
//   --agent= --peer= --floors=   programs
//   --client-cpu= --server-cpu=  CPUs (servers are started under taskset; -1: any CPU)
//   --reps= --n=                 repetitions, operations per repetition
//   --file= --list=              inputs of read and countlines
//   --idle=                      seconds the agent idles before the first read or large exec
//                                (15)
//   --out-bytes= --err-bytes=    what exec-large's child writes to stdout and stderr
//
// Output: one line per subject, "R<TAB>workload<TAB>subject<TAB>unit<TAB>median<TAB>min<TAB>
// max", and one per comparison, "C<TAB>workload<TAB>label<TAB>agent/other in the workload's
// metric<TAB>cost ratio<TAB>goal<TAB>met", where the cost ratio is the agent's cost over the
// other's (time over time, or the inverse of rates), so below 1 the agent is cheaper. Extra
// facts come as "M<TAB>name<TAB>value".
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "vesk_bench: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "vesk_bench: %s\n", what.c_str());
    std::exit(1);
}

struct Options {
    std::string agent, peer, floors, file, list;
    int client_cpu = -1, server_cpu = -1, reps = 7;
    long n = 0;
    double idle = 15;
    std::uint64_t out_bytes = 1ull << 30, err_bytes = 64ull << 20;
};

// Every pipe the harness creates gets the size the agent asks for on its own pipes, so no
// subject is held back by a smaller pipe than another.
constexpr int kPipeSize = 1 << 20;

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// ---------------------------------------------------------------------------------------------
// Processes and pipes

struct Proc {
    pid_t pid = -1;
    int to = -1;    // its standard input, or -1
    int from = -1;  // its standard output, or -1
};

// cpu -1: every online CPU, as a server would otherwise inherit the client's own pinning.
std::vector<std::string> pinned(int cpu, std::vector<std::string> argv) {
    std::string cpus = std::to_string(cpu);
    if (cpu < 0) cpus = "0-" + std::to_string(std::max(0L, sysconf(_SC_NPROCESSORS_ONLN) - 1));
    argv.insert(argv.begin(), {"taskset", "-c", cpus});
    return argv;
}

// With err_to_out, standard error goes into the standard output pipe too.
Proc start(const std::vector<std::string>& argv, bool pipe_in, bool pipe_out,
           bool err_to_out = false) {
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (pipe_in && pipe2(in, O_CLOEXEC) != 0) die("pipe2");
    if (pipe_out && pipe2(out, O_CLOEXEC) != 0) die("pipe2");
    if (pipe_in) fcntl(in[1], F_SETPIPE_SZ, kPipeSize);
    if (pipe_out) fcntl(out[0], F_SETPIPE_SZ, kPipeSize);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (pipe_in)
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    else
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (pipe_out)
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    else
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    if (err_to_out) posix_spawn_file_actions_adddup2(&fa, pipe_out ? out[1] : 1, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    Proc p;
    int rc = posix_spawnp(&p.pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        errno = rc;
        die("spawn " + argv[0]);
    }
    if (pipe_in) {
        close(in[0]);
        p.to = in[1];
    }
    if (pipe_out) {
        close(out[1]);
        p.from = out[0];
    }
    return p;
}

int finish(Proc& p) {
    if (p.to >= 0) close(p.to);
    if (p.from >= 0) close(p.from);
    p.to = p.from = -1;
    int status = 0;
    while (waitpid(p.pid, &status, 0) < 0) {
        if (errno != EINTR) die("waitpid");
    }
    return status;
}

void write_all(int fd, const void* data, std::size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) die("write");
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

// Buffered reader; large payloads are read straight into their destination or discarded
// through a scratch buffer, as a real client would.
class Reader {
  public:
    explicit Reader(int fd) : fd_(fd), buf_(1 << 16) {}
    void read(void* dst, std::size_t n) {
        char* d = static_cast<char*>(dst);
        std::size_t have = std::min(n, end_ - pos_);
        std::memcpy(d, buf_.data() + pos_, have);
        pos_ += have;
        d += have;
        n -= have;
        if (n >= buf_.size()) {
            raw(d, n);
            return;
        }
        while (n > 0) {
            fill();
            have = std::min(n, end_ - pos_);
            std::memcpy(d, buf_.data() + pos_, have);
            pos_ += have;
            d += have;
            n -= have;
        }
    }
    void skip(std::uint64_t n) {
        std::size_t have = static_cast<std::size_t>(std::min<std::uint64_t>(n, end_ - pos_));
        pos_ += have;
        n -= have;
        static std::vector<char> scratch(1 << 20);
        while (n > 0) {
            ssize_t r =
                ::read(fd_, scratch.data(),
                       static_cast<std::size_t>(std::min<std::uint64_t>(n, scratch.size())));
            if (r <= 0) fail("input ended inside a payload");
            n -= static_cast<std::uint64_t>(r);
        }
    }
    std::uint32_t be32() {
        unsigned char b[4];
        read(b, 4);
        return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 |
               b[3];
    }

  private:
    void fill() {
        ssize_t r;
        do r = ::read(fd_, buf_.data(), buf_.size());
        while (r < 0 && errno == EINTR);
        if (r <= 0) fail("input ended inside a message");
        pos_ = 0;
        end_ = static_cast<std::size_t>(r);
    }
    void raw(char* d, std::size_t n) {
        while (n > 0) {
            ssize_t r = ::read(fd_, d, n);
            if (r <= 0) fail("input ended inside a payload");
            d += r;
            n -= static_cast<std::size_t>(r);
        }
    }
    int fd_;
    std::vector<char> buf_;
    std::size_t pos_ = 0, end_ = 0;
};

void put_be32(std::string& s, std::uint32_t v) {
    s.push_back(static_cast<char>(v >> 24));
    s.push_back(static_cast<char>(v >> 16));
    s.push_back(static_cast<char>(v >> 8));
    s.push_back(static_cast<char>(v));
}

void put_be64(std::string& s, std::uint64_t v) {
    put_be32(s, static_cast<std::uint32_t>(v >> 32));
    put_be32(s, static_cast<std::uint32_t>(v));
}

// ---------------------------------------------------------------------------------------------
// The agent's side: two frames per message.

class Agent {
  public:
    Agent(const Options& o)
        : proc_(start(pinned(o.server_cpu, {o.agent, "serve"}), true, true)), in_(proc_.from) {}
    ~Agent() { finish(proc_); }
    pid_t pid() const { return proc_.pid; }
    int to() const { return proc_.to; }

    static std::string request(std::uint64_t id, const std::string& method,
                               const nlohmann::json& data) {
        std::string json = nlohmann::json{{"id", id}, {"method", method}, {"data", data}}.dump();
        std::string msg;
        put_be32(msg, static_cast<std::uint32_t>(json.size()));
        msg += json;
        put_be32(msg, 0);
        return msg;
    }
    void send(const std::string& msg) { write_all(proc_.to, msg.data(), msg.size()); }

    // Reads one reply; returns its header text, discards the body and stores its length.
    std::string reply(std::uint64_t* body_len = nullptr, bool keep_header = true) {
        std::uint32_t hl = in_.be32();
        if (keep_header) {
            header_.resize(hl);
            in_.read(header_.data(), hl);
        } else {
            in_.skip(hl);
        }
        std::uint32_t bl = in_.be32();
        in_.skip(bl);
        if (body_len) *body_len = bl;
        return keep_header ? header_ : std::string();
    }

  private:
    Proc proc_;
    Reader in_;
    std::string header_;
};

// ---------------------------------------------------------------------------------------------
// The peer's side: version 3 of its packet protocol, length-prefixed packets with a type byte.

enum : unsigned char {
    kInit = 1,
    kVersion = 2,
    kOpen = 3,
    kClose = 4,
    kRead = 5,
    kStat = 17,
    kStatus = 101,
    kHandle = 102,
    kData = 103,
    kAttrs = 105,
};

class Peer {
  public:
    Peer(const Options& o)
        : proc_(start(pinned(o.server_cpu, {o.peer}), true, true)), in_(proc_.from) {
        std::string p;
        put_be32(p, 3);
        send(kInit, p);
        if (packet() != kVersion) fail("peer did not answer its handshake");
    }
    ~Peer() { finish(proc_); }
    int to() const { return proc_.to; }

    static std::string packet_bytes(unsigned char type, const std::string& payload) {
        std::string m;
        put_be32(m, static_cast<std::uint32_t>(payload.size() + 1));
        m.push_back(static_cast<char>(type));
        m += payload;
        return m;
    }
    static std::string string_field(const std::string& s) {
        std::string m;
        put_be32(m, static_cast<std::uint32_t>(s.size()));
        return m + s;
    }
    static std::string stat_request(std::uint32_t id, const std::string& path) {
        std::string p;
        put_be32(p, id);
        return packet_bytes(kStat, p + string_field(path));
    }
    static std::string read_request(std::uint32_t id, const std::string& handle,
                                    std::uint64_t offset, std::uint32_t len) {
        std::string p;
        put_be32(p, id);
        p += string_field(handle);
        put_be64(p, offset);
        put_be32(p, len);
        return packet_bytes(kRead, p);
    }
    void send(unsigned char type, const std::string& payload) {
        std::string m = packet_bytes(type, payload);
        write_all(proc_.to, m.data(), m.size());
    }
    void send_raw(const std::string& m) { write_all(proc_.to, m.data(), m.size()); }

    // Reads one packet. Keeps up to `keep` payload bytes in body(); a DATA packet's data is
    // discarded and its length left in data_len().
    unsigned char packet(std::size_t keep = 4096) {
        std::uint32_t len = in_.be32();
        if (len == 0) fail("empty peer packet");
        unsigned char type;
        in_.read(&type, 1);
        std::uint32_t rest = len - 1;
        if (type == kData && rest >= 8) {
            unsigned char head[4];
            in_.read(head, 4);  // id
            id_ = std::uint32_t{head[0]} << 24 | std::uint32_t{head[1]} << 16 |
                  std::uint32_t{head[2]} << 8 | head[3];
            data_len_ = in_.be32();
            in_.skip(data_len_);
            return type;
        }
        std::size_t kept = std::min<std::size_t>(rest, keep);
        body_.resize(kept);
        in_.read(body_.data(), kept);
        in_.skip(rest - kept);
        id_ = kept >= 4 ? (std::uint32_t{static_cast<unsigned char>(body_[0])} << 24 |
                           std::uint32_t{static_cast<unsigned char>(body_[1])} << 16 |
                           std::uint32_t{static_cast<unsigned char>(body_[2])} << 8 |
                           static_cast<unsigned char>(body_[3]))
                        : 0;
        return type;
    }
    const std::string& body() const { return body_; }
    std::uint32_t id() const { return id_; }
    std::uint32_t data_len() const { return data_len_; }

  private:
    Proc proc_;
    Reader in_;
    std::string body_;
    std::uint32_t id_ = 0, data_len_ = 0;
};

// ---------------------------------------------------------------------------------------------
// A floors program that does one round of its work for every byte it is sent: one process for
// all rounds, as the agent is, so no round pays for a process start.

class RoundFloor {
  public:
    RoundFloor(const Options& o, std::vector<std::string> args)
        : proc_(start(pinned(o.server_cpu, with_program(o.floors, std::move(args))), true, true)),
          in_(proc_.from) {}
    ~RoundFloor() { finish(proc_); }

    // Has the floor give its memory back now (the byte d); nothing comes back.
    void drop() { write_all(proc_.to, "d", 1); }

    // Seconds from the go byte until `expect` bytes have come back.
    double round(char go, std::uint64_t expect) {
        auto t = Clock::now();
        write_all(proc_.to, &go, 1);
        in_.skip(expect);
        return since(t);
    }

  private:
    static std::vector<std::string> with_program(const std::string& program,
                                                 std::vector<std::string> args) {
        args.insert(args.begin(), program);
        return args;
    }
    Proc proc_;
    Reader in_;
};

// ---------------------------------------------------------------------------------------------
// Statistics and output

struct Series {
    Series(std::string s, std::string u) : subject(std::move(s)), unit(std::move(u)) {}
    std::string subject, unit;
    std::vector<double> v;
    double median() const {
        std::vector<double> s = v;
        std::sort(s.begin(), s.end());
        std::size_t n = s.size();
        return n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
    }
    double min() const { return *std::min_element(v.begin(), v.end()); }
    double max() const { return *std::max_element(v.begin(), v.end()); }
};

void report(const std::string& workload, const Series& s) {
    std::printf("R\t%s\t%s\t%s\t%.6g\t%.6g\t%.6g\n", workload.c_str(), s.subject.c_str(),
                s.unit.c_str(), s.median(), s.min(), s.max());
}

// Prints the agent's median over the other's in the series' own metric, the same as a cost
// ratio (time over time, so below 1 the agent is cheaper), the goal, and whether it is met.
// `higher_is_better` says whether the series hold rates; `goal` <= 0 means there is none.
void compare(const std::string& workload, const std::string& label, const Series& agent,
             const Series& other, bool higher_is_better, double goal) {
    double metric = agent.median() / other.median();
    double cost = higher_is_better ? 1 / metric : metric;
    std::string goal_text = "-", met = "-";
    if (goal > 0) {
        char buf[32];
        bool tenths = goal * 10 == static_cast<double>(static_cast<long>(goal * 10));
        std::snprintf(buf, sizeof buf, tenths ? "%s %.1f" : "%s %.2f",
                      higher_is_better ? ">=" : "<=", goal);
        goal_text = buf;
        met = (higher_is_better ? metric >= goal : metric <= goal) ? "yes" : "no";
    }
    std::printf("C\t%s\t%s\t%.4f\t%.4f\t%s\t%s\n", workload.c_str(), label.c_str(), metric, cost,
                goal_text.c_str(), met.c_str());
}

// Runs each subject once per repetition, in turn, `reps` times.
void alternate(int reps, std::vector<std::pair<Series*, std::function<double()>>> subjects) {
    for (int r = 0; r < reps; ++r) {
        for (auto& [series, run] : subjects) series->v.push_back(run());
    }
}

void pin_self(int cpu) {
    if (cpu < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) die("sched_setaffinity");
}

// ---------------------------------------------------------------------------------------------
// Workloads

const char* kStatPath = "/usr/include/stdio.h";

// a: one request at a time; microseconds per round trip.
int rtt(const Options& o) {
    long n = o.n > 0 ? o.n : 2000;
    Agent agent(o);
    Peer peer(o);
    Proc echo = start(pinned(o.server_cpu, {o.floors, "echo"}), true, true);
    std::string areq = Agent::request(1, "fs.stat", {{"path", kStatPath}});
    std::string preq = Peer::stat_request(1, kStatPath);
    // The floor moves a message of the agent's request size there and back.
    std::string ping(areq.size(), 'x');
    Reader echo_in(echo.from);
    std::string pong(ping.size(), '\0');

    agent.send(areq);
    if (agent.reply().find("\"exists\":true") == std::string::npos) fail("agent fs.stat failed");
    peer.send_raw(preq);
    if (peer.packet() != kAttrs) fail("peer STAT failed");

    Series sa{"vesk-agent fs.stat", "us"}, sp{"sftp-server STAT", "us"}, sf{"pipe ping-pong", "us"};
    auto per_op = [n](auto&& once) {
        auto t = Clock::now();
        for (long i = 0; i < n; ++i) once();
        return since(t) / static_cast<double>(n) * 1e6;
    };
    alternate(o.reps, {
                          {&sa,
                           [&] {
                               return per_op([&] {
                                   agent.send(areq);
                                   agent.reply(nullptr, false);
                               });
                           }},
                          {&sp,
                           [&] {
                               return per_op([&] {
                                   peer.send_raw(preq);
                                   peer.packet();
                               });
                           }},
                          {&sf,
                           [&] {
                               return per_op([&] {
                                   write_all(echo.to, ping.data(), ping.size());
                                   echo_in.read(pong.data(), pong.size());
                               });
                           }},
                      });
    finish(echo);
    std::string wl = o.client_cpu >= 0 && o.client_cpu == o.server_cpu ? "a-1cpu" : "a-2cpu";
    for (const Series* s : {&sa, &sp, &sf}) report(wl, *s);
    compare(wl, "vs sftp-server", sa, sp, false, 1.0);
    compare(wl, "vs floor", sa, sf, false, 0);
    return 0;
}

// b: n requests written by one thread while the main thread reads the replies.
int pipeline(const Options& o) {
    long n = o.n > 0 ? o.n : 20000;
    Agent agent(o);
    Peer peer(o);
    std::string abatch, pbatch;
    for (long i = 0; i < n; ++i) {
        abatch +=
            Agent::request(static_cast<std::uint64_t>(i + 1), "fs.stat", {{"path", kStatPath}});
        pbatch += Peer::stat_request(static_cast<std::uint32_t>(i + 1), kStatPath);
    }
    auto timed = [n](int fd, const std::string& batch, const std::function<void()>& one_reply) {
        auto t = Clock::now();
        std::thread writer([&] { write_all(fd, batch.data(), batch.size()); });
        for (long i = 0; i < n; ++i) one_reply();
        double s = since(t);
        writer.join();
        return static_cast<double>(n) / s;
    };
    Series sa{"vesk-agent fs.stat", "req/s"}, sp{"sftp-server STAT", "req/s"};
    alternate(
        o.reps,
        {
            {&sa, [&] { return timed(agent.to(), abatch, [&] { agent.reply(nullptr, false); }); }},
            {&sp,
             [&] {
                 return timed(peer.to(), pbatch, [&] {
                     if (peer.packet() != kAttrs) fail("peer STAT failed");
                 });
             }},
        });
    report("b", sa);
    report("b", sp);
    compare("b", "vs sftp-server", sa, sp, true, 1.0);
    return 0;
}

long vm_hwm_kib(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

// c and g: the whole file, MB/s (10^6 bytes per second), back to back, as the first request
// after the agent has been idle and as the first request of a new agent; the agent's peak
// memory.
int read_file(const Options& o) {
    struct stat st;
    if (stat(o.file.c_str(), &st) != 0) die("stat " + o.file);
    const auto size = static_cast<std::uint64_t>(st.st_size);
    Agent agent(o);
    Peer peer(o);
    std::uint64_t id = 0;

    auto read_by = [&](Agent& a) {
        auto t = Clock::now();
        a.send(Agent::request(++id, "fs.read", {{"path", o.file}}));
        std::uint64_t got = 0;
        std::string h = a.reply(&got);
        if (got != size) fail("agent answered " + h + " with " + std::to_string(got) + " bytes");
        return static_cast<double>(size) / since(t) / 1e6;
    };
    auto via_agent = [&] { return read_by(agent); };
    auto via_cat = [&] {
        auto t = Clock::now();
        Proc cat = start(pinned(o.server_cpu, {"cat", o.file}), false, true);
        Reader in(cat.from);
        in.skip(size);
        char extra;
        if (::read(cat.from, &extra, 1) != 0) fail("cat gave more than the file");
        finish(cat);
        return static_cast<double>(size) / since(t) / 1e6;
    };
    std::uint32_t pid = 0;
    auto via_peer = [&](std::uint32_t chunk) {
        auto t = Clock::now();
        std::string open_req;
        put_be32(open_req, ++pid);
        open_req += Peer::string_field(o.file);
        put_be32(open_req, 1);  // read
        put_be32(open_req, 0);  // no attributes
        peer.send(kOpen, open_req);
        if (peer.packet() != kHandle) fail("peer OPEN failed");
        std::string handle = peer.body().substr(8);  // id, then the handle as a string
        std::uint64_t next = 0, got = 0;
        int outstanding = 0;
        std::string batch;
        auto issue = [&] {
            batch += Peer::read_request(
                ++pid, handle, next,
                static_cast<std::uint32_t>(std::min<std::uint64_t>(chunk, size - next)));
            next += std::min<std::uint64_t>(chunk, size - next);
            ++outstanding;
        };
        while (outstanding < 64 && next < size) issue();
        peer.send_raw(batch);
        while (outstanding > 0) {
            if (peer.packet() != kData) fail("peer READ failed");
            --outstanding;
            got += peer.data_len();
            if (next < size) {
                batch.clear();
                issue();
                peer.send_raw(batch);
            }
        }
        if (got != size) fail("peer returned short reads");
        std::string close_req;
        put_be32(close_req, ++pid);
        close_req += Peer::string_field(handle);
        peer.send(kClose, close_req);
        if (peer.packet() != kStatus) fail("peer CLOSE failed");
        return static_cast<double>(size) / since(t) / 1e6;
    };

    // The floor holds the whole file before writing it, as the agent's reply does.
    RoundFloor slurp(o, {"slurp", o.file});
    auto via_floor = [&](char go) {
        return static_cast<double>(size) / slurp.round(go, size) / 1e6;
    };
    // A first read pays for pages the process has never touched, and memory given back long
    // ago is slower to take again on a virtual machine whose host reclaims it. Both kinds of
    // first read are measured, each against a floor that starts the same way: a new process,
    // and a process that gave its buffer back, idled as long, then mapped a new one. The agent
    // and the floor share one idle time per repetition.
    auto idle = [&] { std::this_thread::sleep_for(std::chrono::duration<double>(o.idle)); };
    // A new process's first pages come from the system's free memory, and on a virtual machine
    // memory another process gave back a moment ago is much faster to take than memory unused
    // for long (or never used), which the host must first provide. So each new process, the
    // agent's and the floor's, starts right after a process that has just given back as much.
    auto settle = [&] {
        RoundFloor warm(o, {"slurp", o.file});
        warm.round('f', size);
    };

    char idle_name[64], floor_name[96];
    std::snprintf(idle_name, sizeof idle_name, "vesk-agent fs.read, first after %g s idle", o.idle);
    std::snprintf(floor_name, sizeof floor_name,
                  "C floor: read whole, then write (new mapping, after %g s idle)", o.idle);
    Series sa{"vesk-agent fs.read, back to back", "MB/s"}, si{idle_name, "MB/s"},
        sn{"vesk-agent fs.read, first of a new agent", "MB/s"}, sc{"cat FILE", "MB/s"},
        s32{"sftp-server READ 32 KiB x64", "MB/s"}, s255{"sftp-server READ 255 KiB x64", "MB/s"},
        sfk{"C floor: read whole, then write (buffer reused)", "MB/s"}, sff{floor_name, "MB/s"},
        sfn{"C floor: read whole, then write (new process)", "MB/s"};
    via_cat();  // warm the page cache and every path once
    via_agent();
    via_peer(32 << 10);
    via_floor('k');
    alternate(o.reps, {
                          {&sa, via_agent},
                          {&sc, via_cat},
                          {&s32, [&] { return via_peer(32 << 10); }},
                          {&s255, [&] { return via_peer(255 << 10); }},
                          {&sfk, [&] { return via_floor('k'); }},
                          {&sn,
                           [&] {
                               settle();
                               Agent fresh(o);
                               return read_by(fresh);
                           }},
                          {&sfn,
                           [&] {
                               settle();
                               RoundFloor fresh(o, {"slurp", o.file});
                               return static_cast<double>(size) / fresh.round('f', size) / 1e6;
                           }},
                          {&si,
                           [&] {
                               slurp.drop();
                               idle();
                               return via_agent();
                           }},
                          {&sff, [&] { return via_floor('f'); }},
                      });
    for (const Series* s : {&sa, &si, &sn, &sc, &s32, &s255, &sfk, &sff, &sfn}) report("c", *s);
    const Series& best = s32.median() >= s255.median() ? s32 : s255;
    compare("c", "back to back vs faster sftp-server mode", sa, best, true, 1.0);
    compare("c", "first after idle vs faster sftp-server mode", si, best, true, 1.0);
    compare("c", "back to back vs C floor (buffer reused)", sa, sfk, true, 0);
    // Within 1.15x of the floor's cost: at least 1/1.15 of its rate.
    compare("c", "first after idle vs C floor (new mapping, same idle)", si, sff, true, 0.87);
    compare("c", "first of a new agent vs C floor (new process)", sn, sfn, true, 0.87);
    compare("c", "back to back vs cat (one crossing)", sa, sc, true, 0);
    long hwm = vm_hwm_kib(agent.pid());
    double mib = static_cast<double>(size) / (1 << 20);
    std::printf("M\tg.file_mib\t%.1f\n", mib);
    std::printf("M\tg.peak_rss_mib\t%.1f\n", hwm / 1024.0);
    std::printf("M\tg.over_file_mib\t%.1f\n", hwm / 1024.0 - mib);
    return 0;
}

// d: exec of /bin/true one at a time; milliseconds per run.
int exec_true(const Options& o) {
    long n = o.n > 0 ? o.n : 200;
    Agent agent(o);
    nlohmann::json data = {
        {"cwd", "/"}, {"program", "/bin/true"}, {"args", nlohmann::json::array()}};
    std::uint64_t id = 0;
    agent.send(Agent::request(++id, "exec", data));
    if (agent.reply().find("\"code\":0") == std::string::npos) fail("agent exec failed");
    Series sa{"vesk-agent exec /bin/true", "ms"}, sf{"posix_spawn+waitpid", "ms"},
        sc{"clone(CLONE_VM|CLONE_VFORK)+execve+waitpid", "ms"};
    // The spawner runs where the agent runs and times its own loop.
    auto spawn_floor = [&](std::vector<std::string> steps) {
        std::vector<std::string> argv = {o.floors, "spawn", std::to_string(n), "/bin/true"};
        argv.insert(argv.end(), steps.begin(), steps.end());
        Proc p = start(pinned(o.server_cpu, argv), false, true);
        char buf[64];
        std::string text;
        for (;;) {
            ssize_t r = ::read(p.from, buf, sizeof buf);
            if (r <= 0) break;
            text.append(buf, static_cast<std::size_t>(r));
        }
        finish(p);
        return std::atof(text.c_str()) / static_cast<double>(n) * 1e3;
    };
    alternate(o.reps, {
                          {&sa,
                           [&] {
                               auto t = Clock::now();
                               for (long i = 0; i < n; ++i) {
                                   agent.send(Agent::request(++id, "exec", data));
                                   agent.reply(nullptr, false);
                               }
                               return since(t) / static_cast<double>(n) * 1e3;
                           }},
                          {&sf, [&] { return spawn_floor({}); }},
                          {&sc, [&] { return spawn_floor({"raw"}); }},
                      });
    report("d", sa);
    report("d", sf);
    report("d", sc);
    compare("d", "vs posix_spawn floor", sa, sf, false, 1.0);
    compare("d", "vs clone floor", sa, sc, false, 0);
    return 0;
}

// exec-steps (not part of the table): where exec /bin/true spends its time above the bare
// floor. The spawn floor with each of the agent's additions alone and all together, the
// agent's exec, and the request and reply crossing alone (a ping-pong of the request's size);
// microseconds per run. Beside each time, the CPU time of the agent's threads or of the floor's
// process, children apart (what each spends of its own around the same children), and the
// floor's children's CPU time, which holds what a child does before its exec; CPU times depend
// much less than times on what else the machine runs.
int exec_steps(const Options& o) {
    long n = o.n > 0 ? o.n : 200;
    const std::vector<std::string> variants = {"",
                                               "sigdef",
                                               "sigdef-ign",
                                               "pgroup",
                                               "chdir",
                                               "closefrom",
                                               "pipes",
                                               "handoff",
                                               "pipes sigdef pgroup chdir closefrom",
                                               "pipes sigdef pgroup chdir closefrom handoff",
                                               "raw",
                                               "raw pipes pgroup chdir closefrom"};
    Agent agent(o);
    nlohmann::json data = {
        {"cwd", "/"}, {"program", "/bin/true"}, {"args", nlohmann::json::array()}};
    std::uint64_t id = 0;
    Proc echo = start(pinned(o.server_cpu, {o.floors, "echo"}), true, true);
    Reader echo_in(echo.from);
    std::string ping(Agent::request(id, "exec", data).size(), 'x');

    std::vector<Series> wall, cpu, child_cpu;
    auto add = [&](const std::string& name) {
        wall.emplace_back(name, "us");
        cpu.emplace_back(name + ", own CPU", "us");
        child_cpu.emplace_back(name + ", children's CPU", "us");
    };
    add("vesk-agent exec /bin/true");
    add("request and reply crossing (ping-pong)");
    for (const std::string& v : variants) add(v.empty() ? "floor (bare)" : "floor + " + v);

    // Microseconds on a CPU so far, all threads of a process.
    auto cpu_of = [](pid_t pid) {
        double total = 0;
        std::string tasks = "/proc/" + std::to_string(pid) + "/task";
        for (const auto& t : std::filesystem::directory_iterator(tasks)) {
            std::ifstream f(t.path() / "schedstat");
            double ns = 0;
            if (f >> ns) total += ns / 1e3;
        }
        return total;
    };
    auto per_run = [n](double total) { return total / static_cast<double>(n); };
    for (int r = 0; r < o.reps; ++r) {
        double c0 = cpu_of(agent.pid());
        auto t = Clock::now();
        for (long i = 0; i < n; ++i) {
            agent.send(Agent::request(++id, "exec", data));
            agent.reply(nullptr, false);
        }
        wall[0].v.push_back(per_run(since(t) * 1e6));
        cpu[0].v.push_back(per_run(cpu_of(agent.pid()) - c0));

        c0 = cpu_of(echo.pid);
        t = Clock::now();
        for (long i = 0; i < n; ++i) {
            write_all(echo.to, ping.data(), ping.size());
            echo_in.skip(ping.size());
        }
        wall[1].v.push_back(per_run(since(t) * 1e6));
        cpu[1].v.push_back(per_run(cpu_of(echo.pid) - c0));

        for (std::size_t k = 0; k < variants.size(); ++k) {
            std::vector<std::string> argv = {o.floors, "spawn", std::to_string(n), "/bin/true"};
            for (std::size_t at = 0; at < variants[k].size();) {
                std::size_t end = std::min(variants[k].find(' ', at), variants[k].size());
                argv.push_back(variants[k].substr(at, end - at));
                at = end + 1;
            }
            Proc p = start(pinned(o.server_cpu, argv), false, true);
            char buf[128];
            ssize_t got = ::read(p.from, buf, sizeof buf - 1);
            buf[got > 0 ? got : 0] = '\0';
            double secs = 0, own = 0, children = 0;
            if (finish(p) != 0 || std::sscanf(buf, "%lf %lf %lf", &secs, &own, &children) != 3)
                fail("floors spawn " + variants[k] + " failed");
            wall[k + 2].v.push_back(per_run(secs * 1e6));
            cpu[k + 2].v.push_back(per_run(own * 1e6));
            child_cpu[k + 2].v.push_back(per_run(children * 1e6));
        }
    }
    finish(echo);
    for (std::size_t k = 0; k < wall.size(); ++k) {
        report("d-steps", wall[k]);
        report("d-steps", cpu[k]);
        if (k >= 2) report("d-steps", child_cpu[k]);
    }
    return 0;
}

// exec-large: exec of a child that writes out_bytes to stdout and err_bytes of text lines to
// stderr, both at once; seconds per run. The reply holds both streams whole, so the agent's
// work is two pipe crossings (child to agent, agent to controller) with the output in memory in
// between; the floor does the same in C. The child's output read directly over one pipe is
// the one-crossing reference.
int exec_large(const Options& o) {
    const std::uint64_t out = o.out_bytes, err = o.err_bytes;
    const std::vector<std::string> child = {o.floors, "blast", std::to_string(out),
                                            std::to_string(err)};
    Agent agent(o);
    nlohmann::json data = {
        {"cwd", "/"}, {"program", child[0]}, {"args", {child[1], child[2], child[3]}}};
    std::uint64_t id = 0;
    {
        // Once, in full: the exit code, every stdout byte in the body, stderr as text.
        agent.send(Agent::request(++id, "exec", data));
        std::uint64_t body = 0;
        nlohmann::json h = nlohmann::json::parse(agent.reply(&body));
        const nlohmann::json& d = h["data"];
        if (!d.is_object() || d["code"] != 0 || body != out ||
            d["stderr"].get<std::string>().size() != err)
            fail("agent exec of the large output failed or came back incomplete");
    }
    std::vector<std::string> capture_args = child;
    capture_args.insert(capture_args.begin(), "capture");
    RoundFloor floor(o, capture_args);
    floor.round('g', out + err);  // warm, as the agent is

    auto exec_by = [&](Agent& a) {
        auto t = Clock::now();
        a.send(Agent::request(++id, "exec", data));
        std::uint64_t body = 0;
        a.reply(&body, false);
        if (body != out) fail("agent exec returned " + std::to_string(body) + " stdout bytes");
        return since(t);
    };
    auto via_pipe = [&] {
        auto t = Clock::now();
        Proc p = start(pinned(o.server_cpu, child), false, true, true);
        Reader in(p.from);
        in.skip(out + err);
        char extra;
        if (::read(p.from, &extra, 1) != 0) fail("the child wrote more than it was asked to");
        finish(p);
        return since(t);
    };
    // As for fs.read: back to back, and the two kinds of first run, each against a floor that
    // starts the same way (a new process; buffers given back, the same idle, new mappings).
    auto idle = [&] { std::this_thread::sleep_for(std::chrono::duration<double>(o.idle)); };
    // Each new process starts right after one that has just given back as much memory (see
    // read_file).
    auto settle = [&] {
        RoundFloor warm(o, capture_args);
        warm.round('f', out + err);
    };
    char idle_name[64], floor_name[112];
    std::snprintf(idle_name, sizeof idle_name, "vesk-agent exec, first after %g s idle", o.idle);
    std::snprintf(floor_name, sizeof floor_name,
                  "C floor: drain both pipes, then write (new mappings, after %g s idle)", o.idle);
    Series sa{"vesk-agent exec, back to back", "s"}, si{idle_name, "s"},
        sn{"vesk-agent exec, first of a new agent", "s"},
        sf{"C floor: drain both pipes, then write (buffers reused)", "s"}, sff{floor_name, "s"},
        sfn{"C floor: drain both pipes, then write (new process)", "s"},
        sp{"child's output over one pipe (like cat)", "s"};
    alternate(o.reps, {
                          {&sa, [&] { return exec_by(agent); }},
                          {&sf, [&] { return floor.round('g', out + err); }},
                          {&sp, via_pipe},
                          {&sn,
                           [&] {
                               settle();
                               Agent fresh(o);
                               return exec_by(fresh);
                           }},
                          {&sfn,
                           [&] {
                               settle();
                               RoundFloor fresh(o, capture_args);
                               return fresh.round('f', out + err);
                           }},
                          {&si,
                           [&] {
                               floor.drop();
                               idle();
                               return exec_by(agent);
                           }},
                          {&sff, [&] { return floor.round('f', out + err); }},
                      });
    std::printf("M\texec-large.out_mib\t%g\n", static_cast<double>(out) / (1 << 20));
    std::printf("M\texec-large.err_mib\t%g\n", static_cast<double>(err) / (1 << 20));
    for (const Series* s : {&sa, &si, &sn, &sf, &sff, &sfn, &sp}) report("exec-large", *s);
    compare("exec-large", "back to back vs C floor (buffers reused)", sa, sf, false, 1.15);
    compare("exec-large", "first after idle vs C floor (new mappings, same idle)", si, sff, false,
            1.15);
    compare("exec-large", "first of a new agent vs C floor (new process)", sn, sfn, false, 1.15);
    compare("exec-large", "back to back vs one pipe (one crossing)", sa, sp, false, 0);
    return 0;
}

// e: line counts of every file in the list; milliseconds per pass.
int countlines(const Options& o) {
    std::ifstream f(o.list);
    std::vector<std::string> paths;
    for (std::string line; std::getline(f, line);) paths.push_back(line);
    if (paths.empty()) fail("empty list " + o.list);
    std::string list0 = o.list + ".nul";
    {
        std::ofstream z(list0, std::ios::binary);
        for (const std::string& p : paths) z << p << '\0';
    }
    Agent agent(o);
    std::uint64_t id = 0;
    std::string req_data = nlohmann::json{{"paths", paths}}.dump();
    nlohmann::json data = nlohmann::json::parse(req_data);
    auto via_agent = [&] {
        std::string req = Agent::request(++id, "fs.countlines", data);
        auto t = Clock::now();
        agent.send(req);
        agent.reply(nullptr, false);
        return since(t) * 1e3;
    };
    auto via_process = [&](std::vector<std::string> argv) {
        auto t = Clock::now();
        Proc p = start(pinned(o.server_cpu, std::move(argv)), false, false);
        if (finish(p) != 0) fail("floor or wc failed");
        return since(t) * 1e3;
    };
    // Check the agent counts what the floor counts before timing anything.
    agent.send(Agent::request(++id, "fs.countlines", data));
    std::string h = agent.reply();
    std::size_t at = h.find("\"data\":");
    if (at == std::string::npos) fail("agent fs.countlines failed: " + h);
    nlohmann::json counts = nlohmann::json::parse(h.substr(at + 7, h.size() - at - 8));
    long counted = 0, total = 0;
    for (const auto& c : counts) {
        if (c.is_number()) {
            ++counted;
            total += c.get<long>();
        }
    }
    {
        Proc floor = start({o.floors, "countlines", o.list}, false, true);
        char buf[128];
        ssize_t r = ::read(floor.from, buf, sizeof buf - 1);
        finish(floor);
        buf[r > 0 ? r : 0] = '\0';
        long floor_counted = 0, floor_total = 0;
        if (std::sscanf(buf, "%ld %ld", &floor_counted, &floor_total) != 2 ||
            floor_counted != counted || floor_total != total)
            fail("the agent and the C floor disagree on the counts");
    }
    std::printf("M\te.files\t%zu\n", paths.size());
    std::printf("M\te.agent_counted\t%ld files, %ld lines\n", counted, total);

    Series sa{"vesk-agent fs.countlines", "ms"}, sf{"C floor", "ms"},
        s2{"C floor, two threads", "ms"}, sw{"wc -l", "ms"};
    alternate(o.reps, {
                          {&sa, via_agent},
                          {&sf,
                           [&] {
                               return via_process({o.floors, "countlines", o.list});
                           }},
                          {&s2,
                           [&] {
                               return via_process({o.floors, "countlines", o.list, "2"});
                           }},
                          {&sw,
                           [&] {
                               return via_process({"wc", "-l", "--files0-from=" + list0});
                           }},
                      });
    for (const Series* s : {&sa, &sf, &s2, &sw}) report("e", *s);
    compare("e", "vs C floor", sa, sf, false, 0.7);
    compare("e", "vs C floor, two threads", sa, s2, false, 0);
    compare("e", "vs wc -l", sa, sw, false, 0);
    std::remove(list0.c_str());
    return 0;
}

// f: start to exit; milliseconds per run.
int version(const Options& o) {
    long n = o.n > 0 ? o.n : 200;
    pin_self(o.server_cpu);
    auto runs = [n](std::vector<std::string> argv) {
        auto t = Clock::now();
        for (long i = 0; i < n; ++i) {
            Proc p = start(argv, false, false);
            if (finish(p) != 0) fail(argv[0] + " failed");
        }
        return since(t) / static_cast<double>(n) * 1e3;
    };
    Series sa{"vesk-agent --version", "ms"}, st{"/bin/true", "ms"};
    alternate(o.reps, {
                          {&sa,
                           [&] {
                               return runs({o.agent, "--version"});
                           }},
                          {&st, [&] { return runs({"/bin/true"}); }},
                      });
    report("f", sa);
    report("f", st);
    compare("f", "vs /bin/true", sa, st, false, 1.1);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: vesk_bench rtt|pipeline|read|exec|exec-large|countlines|version "
                     "[--opt=value]...\n");
        return 2;
    }
    Options o;
    std::map<std::string, std::string> kv;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        std::size_t eq = a.find('=');
        if (a.rfind("--", 0) != 0 || eq == std::string::npos) fail("bad option " + a);
        kv[a.substr(2, eq - 2)] = a.substr(eq + 1);
    }
    auto str = [&](const char* k, std::string& dst) {
        if (kv.count(k)) dst = kv[k];
    };
    str("agent", o.agent);
    str("peer", o.peer);
    str("floors", o.floors);
    str("file", o.file);
    str("list", o.list);
    if (kv.count("client-cpu")) o.client_cpu = std::stoi(kv["client-cpu"]);
    if (kv.count("server-cpu")) o.server_cpu = std::stoi(kv["server-cpu"]);
    if (kv.count("reps")) o.reps = std::stoi(kv["reps"]);
    if (kv.count("n")) o.n = std::stol(kv["n"]);
    if (kv.count("idle")) o.idle = std::stod(kv["idle"]);
    if (kv.count("out-bytes")) o.out_bytes = std::stoull(kv["out-bytes"]);
    if (kv.count("err-bytes")) o.err_bytes = std::stoull(kv["err-bytes"]);
    pin_self(o.client_cpu);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Descriptors left open by whoever started us are not ours. Every subject starts with 0, 1
    // and 2 only, as one started over ssh does: a process with a larger descriptor table pays
    // for copying it into each child it starts.
    ::closefrom(3);

    std::string w = argv[1];
    if (w == "rtt") return rtt(o);
    if (w == "pipeline") return pipeline(o);
    if (w == "read") return read_file(o);
    if (w == "exec") return exec_true(o);
    if (w == "exec-large") return exec_large(o);
    if (w == "exec-steps") return exec_steps(o);
    if (w == "countlines") return countlines(o);
    if (w == "version") return version(o);
    fail("unknown workload " + w);
}
