// Writes N bytes to stdout and M bytes to stderr at the same time, from two threads, so a reader
// that drains one stream at a time stalls. Used by exec_bench as the child of "exec".
//
//   exec_bench_blast STDOUT_BYTES STDERR_BYTES
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

void blast(int fd, unsigned long long n, char fill) {
    std::vector<char> buf(1 << 20, fill);
    while (n > 0) {
        std::size_t chunk = n < buf.size() ? static_cast<std::size_t>(n) : buf.size();
        ssize_t w = ::write(fd, buf.data(), chunk);
        if (w < 0) {
            if (errno == EINTR) continue;
            std::_Exit(2);
        }
        n -= static_cast<unsigned long long>(w);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    unsigned long long out = std::strtoull(argv[1], nullptr, 10);
    unsigned long long err = std::strtoull(argv[2], nullptr, 10);
    std::thread t([&] { blast(2, err, 'e'); });
    blast(1, out, 'o');
    t.join();
    return 0;
}
