// "exec" through the agent, three measurements:
//  1. round trip of an exec of /bin/true, one request at a time, against a bare posix_spawn +
//     waitpid of /bin/true in this process (alternating, medians);
//  2. an exec of a child writing 1 GiB to stdout and 64 MiB to stderr at once, against
//     `cat FILE` of 1 GiB, both read by the same discarding reader (alternating, medians);
//  3. 100 concurrent execs of `sleep 1`: time until all are answered.
//
//   exec_bench AGENT BLAST [ROUND_TRIPS]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr std::size_t kReadBuf = 1 << 20;
// Both readers get the same pipe size, so neither side of a comparison is held back by it.
constexpr int kPipeSize = 1 << 20;
constexpr unsigned long long kBigOut = 1ull << 30;
constexpr unsigned long long kBigErr = 64ull << 20;
char g_buf[kReadBuf];

[[noreturn]] void die(const char* what) {
    std::perror(what);
    std::exit(1);
}

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Child {
    pid_t pid = -1;
    int in = -1;
    int out = -1;
};

Child spawn(const std::vector<std::string>& args, bool with_input) {
    int in[2] = {-1, -1};
    int out[2];
    if (with_input && pipe2(in, O_CLOEXEC) != 0) die("pipe2");
    if (pipe2(out, O_CLOEXEC) != 0) die("pipe2");
    fcntl(out[0], F_SETPIPE_SZ, kPipeSize);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (with_input)
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    else
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    Child c;
    if (posix_spawn(&c.pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) die("spawn");
    posix_spawn_file_actions_destroy(&fa);
    if (with_input) {
        close(in[0]);
        c.in = in[1];
    }
    close(out[1]);
    c.out = out[0];
    return c;
}

void reap(Child& c) {
    if (c.in >= 0) close(c.in);
    if (c.out >= 0) close(c.out);
    int st;
    while (waitpid(c.pid, &st, 0) < 0) {
    }
}

void read_exact(int fd, char* p, std::size_t n) {
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r <= 0) die("read");
        p += r;
        n -= static_cast<std::size_t>(r);
    }
}

std::uint32_t read_len(int fd) {
    unsigned char b[4];
    read_exact(fd, reinterpret_cast<char*>(b), 4);
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
           b[3];
}

// Reads one message; keeps the header, discards the body, returns the body length. When
// body_started is given, it gets the moment the body's length had arrived.
std::uint64_t read_message(int fd, std::string& header, Clock::time_point* body_started = nullptr) {
    header.resize(read_len(fd));
    read_exact(fd, header.data(), header.size());
    std::uint64_t body = read_len(fd);
    if (body_started) *body_started = Clock::now();
    for (std::uint64_t left = body; left > 0;) {
        ssize_t r = read(fd, g_buf, std::min<std::uint64_t>(left, kReadBuf));
        if (r <= 0) die("read body");
        left -= static_cast<std::uint64_t>(r);
    }
    return body;
}

void put_frame(std::string& out, const std::string& payload) {
    std::uint32_t n = static_cast<std::uint32_t>(payload.size());
    char b[4] = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    out.append(b, 4);
    out += payload;
}

void send_exec(int fd, std::uint64_t id, const std::string& program,
               const std::vector<std::string>& args) {
    json header = {{"id", id},
                   {"method", "exec"},
                   {"data", {{"cwd", "/"}, {"program", program}, {"args", args}}}};
    std::string msg;
    put_frame(msg, header.dump());
    put_frame(msg, "");
    if (write(fd, msg.data(), msg.size()) != static_cast<ssize_t>(msg.size())) die("write");
}

double bare_spawn_true() {
    char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
    auto t0 = Clock::now();
    pid_t pid;
    if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) != 0) die("spawn");
    int st;
    waitpid(pid, &st, 0);
    return seconds_since(t0);
}

double agent_exec_true(Child& agent, std::uint64_t id) {
    std::string header;
    auto t0 = Clock::now();
    send_exec(agent.in, id, "/bin/true", {});
    read_message(agent.out, header);
    return seconds_since(t0);
}

void round_trips(Child& agent, int n) {
    std::vector<double> bare;
    std::vector<double> via_agent;
    for (int i = 0; i < 20; ++i) {  // warm-up
        bare_spawn_true();
        agent_exec_true(agent, 1);
    }
    for (int i = 0; i < n; ++i) {
        bare.push_back(bare_spawn_true());
        via_agent.push_back(agent_exec_true(agent, 2 + static_cast<std::uint64_t>(i)));
    }
    double b = median(bare) * 1e6;
    double a = median(via_agent) * 1e6;
    std::printf(
        "exec /bin/true round trip: agent median %.0f us, bare posix_spawn+waitpid "
        "median %.0f us, ratio %.2fx (goal <= 1.5x)\n",
        a, b, a / b);
}

struct BigRun {
    double total;   // request sent until the whole body is in
    double header;  // request sent until the header and the body length are in
};

BigRun big_exec(Child& agent, const std::string& blast, std::uint64_t id) {
    std::string header;
    auto t0 = Clock::now();
    send_exec(agent.in, id, blast, {std::to_string(kBigOut), std::to_string(kBigErr)});
    Clock::time_point body_started;
    std::uint64_t body = read_message(agent.out, header, &body_started);
    BigRun run{seconds_since(t0), std::chrono::duration<double>(body_started - t0).count()};
    json h = json::parse(header);
    std::size_t err = h["data"]["stderr"].get<std::string>().size();
    if (body != kBigOut || err != kBigErr || h["data"]["code"] != 0) {
        std::fprintf(stderr, "incomplete: body %llu stderr %zu code %s\n",
                     static_cast<unsigned long long>(body), err, h["data"]["code"].dump().c_str());
        std::exit(1);
    }
    return run;
}

double cat_file(const std::string& path) {
    auto t0 = Clock::now();
    Child c = spawn({"/bin/cat", path}, false);
    std::uint64_t total = 0;
    for (;;) {
        ssize_t r = read(c.out, g_buf, kReadBuf);
        if (r < 0) die("read cat");
        if (r == 0) break;
        total += static_cast<std::uint64_t>(r);
    }
    reap(c);
    double t = seconds_since(t0);
    if (total != kBigOut) die("cat short");
    return t;
}

void make_file(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) die("open");
    std::vector<char> chunk(kReadBuf, 'o');
    for (unsigned long long done = 0; done < kBigOut; done += chunk.size()) {
        if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size()))
            die("write file");
    }
    close(fd);
}

void big_outputs(Child& agent, const std::string& blast) {
    const char* tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/exec_bench_1g";
    make_file(path);
    cat_file(path);  // into the page cache
    std::vector<double> via_agent;
    std::vector<double> to_header;
    std::vector<double> cat;
    for (int i = 0; i < 5; ++i) {
        BigRun run = big_exec(agent, blast, 1000 + static_cast<std::uint64_t>(i));
        via_agent.push_back(run.total);
        to_header.push_back(run.header);
        cat.push_back(cat_file(path));
    }
    unlink(path.c_str());
    double mib = static_cast<double>(kBigOut) / (1 << 20);
    double a = mib / median(via_agent);
    double c = mib / median(cat);
    std::printf(
        "exec of 1 GiB stdout + 64 MiB stderr: agent %.0f MiB/s of stdout (%.2f s: %.2f s until "
        "the header is in, which needs both streams whole), cat FILE %.0f MiB/s (%.2f s), ratio "
        "%.0f%% (goal >= 50%%)\n",
        a, median(via_agent), median(to_header), c, median(cat), 100 * a / c);
}

void concurrent_sleeps(Child& agent) {
    constexpr int kRuns = 100;
    auto t0 = Clock::now();
    for (int i = 0; i < kRuns; ++i) send_exec(agent.in, 5000 + i, "sleep", {"1"});
    std::string header;
    for (int i = 0; i < kRuns; ++i) read_message(agent.out, header);
    std::printf("%d concurrent exec of sleep 1: all answered after %.2f s\n", kRuns,
                seconds_since(t0));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: exec_bench AGENT BLAST [ROUND_TRIPS]\n");
        return 2;
    }
    int n = argc > 3 ? std::atoi(argv[3]) : 500;
    Child agent = spawn({argv[1], "serve"}, true);
    round_trips(agent, n);
    big_outputs(agent, argv[2]);
    concurrent_sleeps(agent);
    reap(agent);
    return 0;
}
