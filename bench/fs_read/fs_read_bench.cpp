// Throughput of "fs.read" through the agent against `cat FILE`, both into the same reader that
// discards what it gets. Runs alternate so both see the same machine state; prints medians,
// their ratio and the agent's peak resident memory.
//
//   fs_read_bench AGENT FILE [REPETITIONS]
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr std::size_t kBuf = 1 << 20;
// Both readers get a pipe of the size the agent asks for on its own output, so cat is not
// held back by a smaller one.
constexpr int kPipeSize = 1 << 20;
char g_buf[kBuf];

[[noreturn]] void die(const char* what) {
    std::perror(what);
    std::exit(1);
}

struct Child {
    pid_t pid = -1;
    int in = -1;   // our end of its standard input, or -1
    int out = -1;  // our end of its standard output
};

Child spawn(const std::vector<std::string>& argv, bool with_input) {
    int out[2], in[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0) die("pipe2");
    if (with_input && pipe2(in, O_CLOEXEC) != 0) die("pipe2");
    fcntl(out[0], F_SETPIPE_SZ, kPipeSize);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    if (with_input) posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    Child c;
    if (posix_spawnp(&c.pid, args[0], &fa, nullptr, args.data(), environ) != 0) die("spawn");
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    if (with_input) close(in[0]);
    c.out = out[0];
    c.in = in[1];
    return c;
}

void read_exact(int fd, void* p, std::size_t n) {
    char* c = static_cast<char*>(p);
    while (n > 0) {
        ssize_t r = read(fd, c, n);
        if (r <= 0) die("read");
        c += r;
        n -= static_cast<std::size_t>(r);
    }
}

// The discarding reader: reads n bytes (or to end of file when n is SIZE_MAX).
std::uint64_t discard(int fd, std::uint64_t n) {
    std::uint64_t total = 0;
    while (total < n) {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(n - total, kBuf));
        ssize_t r = read(fd, g_buf, want);
        if (r < 0) die("read");
        if (r == 0) break;
        total += static_cast<std::uint64_t>(r);
    }
    return total;
}

std::uint32_t be32(const unsigned char* b) {
    return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
}

std::string frame(const std::string& payload) {
    std::uint32_t n = static_cast<std::uint32_t>(payload.size());
    std::string f{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                  static_cast<char>(n)};
    return f + payload;
}

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// One fs.read round trip; returns seconds, checks the body length.
double agent_read(const Child& agent, const std::string& file, std::uint64_t id,
                  std::uint64_t expect) {
    std::string json = "{\"id\":" + std::to_string(id) +
                       ",\"method\":\"fs.read\",\"data\":{\"path\":\"" + file + "\"}}";
    std::string msg = frame(json) + frame("");
    auto t = std::chrono::steady_clock::now();
    if (write(agent.in, msg.data(), msg.size()) != static_cast<ssize_t>(msg.size())) die("write");
    unsigned char len[4];
    read_exact(agent.out, len, 4);
    std::string header(be32(len), '\0');
    read_exact(agent.out, header.data(), header.size());
    read_exact(agent.out, len, 4);
    std::uint64_t got = discard(agent.out, be32(len));
    double s = seconds_since(t);
    if (got != expect) {
        std::fprintf(stderr, "agent answered %s with %llu bytes\n", header.c_str(),
                     static_cast<unsigned long long>(got));
        std::exit(1);
    }
    return s;
}

double cat_read(const std::string& file, std::uint64_t expect) {
    auto t = std::chrono::steady_clock::now();
    Child c = spawn({"cat", file}, false);
    std::uint64_t got = discard(c.out, UINT64_MAX);
    close(c.out);
    int status;
    waitpid(c.pid, &status, 0);
    double s = seconds_since(t);
    if (got != expect) die("cat read a different length");
    return s;
}

long vm_hwm_kib(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s AGENT FILE [REPETITIONS]\n", argv[0]);
        return 2;
    }
    std::string file = argv[2];
    int reps = argc > 3 ? std::atoi(argv[3]) : 7;
    struct stat st;
    if (stat(file.c_str(), &st) != 0) die("stat");
    auto size = static_cast<std::uint64_t>(st.st_size);

    Child agent = spawn({argv[1], "serve"}, true);
    cat_read(file, size);  // warm the page cache and both code paths
    agent_read(agent, file, 1, size);

    std::vector<double> a, c;
    for (int i = 0; i < reps; ++i) {
        a.push_back(agent_read(agent, file, static_cast<std::uint64_t>(i) + 2, size));
        c.push_back(cat_read(file, size));
    }
    long hwm = vm_hwm_kib(agent.pid);
    close(agent.in);
    close(agent.out);
    int status;
    waitpid(agent.pid, &status, 0);

    double mib = static_cast<double>(size) / (1 << 20);
    double am = median(a), cm = median(c);
    std::printf("file: %.0f MiB, %d repetitions each, alternating\n", mib, reps);
    std::printf("fs.read via agent: median %.3f s  %.0f MiB/s\n", am, mib / am);
    std::printf("cat FILE:          median %.3f s  %.0f MiB/s\n", cm, mib / cm);
    std::printf("agent/cat throughput ratio: %.0f%% (goal >= 60%%)\n", 100 * cm / am);
    std::printf("agent peak RSS (VmHWM): %.1f MiB = file + %.1f MiB (goal <= file + 64 MiB)\n",
                hwm / 1024.0, hwm / 1024.0 - mib);
    return 0;
}
