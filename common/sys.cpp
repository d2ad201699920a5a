#include "common/sys.h"

#include "common/text.h"

#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace vesk {

std::string os_error_text(int err) {
    char buf[256];
    // The GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(err, buf, sizeof buf);
    std::string out(text);
    out += " (os error ";
    out += std::to_string(err);
    out += ')';
    return out;
}

int write_all(int fd, const void* p, std::size_t n) {
    const char* c = static_cast<const char*>(p);
    while (n > 0) {
        ssize_t w = ::write(fd, c, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        c += w;
        n -= static_cast<std::size_t>(w);
    }
    return 0;
}

std::string home_dir() {
    const char* home = std::getenv("HOME");
    if (!home || !is_valid_utf8(home)) return {};
    return home;
}

namespace {
void* run_thread(void* arg) {
    std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(arg));
    (*fn)();
    return nullptr;
}
}  // namespace

int start_detached_thread(std::function<void()> fn, std::size_t stack_size) {
    std::function<void()>* heap;
    try {
        heap = new std::function<void()>(std::move(fn));
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc == 0) rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (rc == 0 && stack_size != 0) rc = pthread_attr_setstacksize(&attr, stack_size);
    pthread_t tid;
    if (rc == 0) rc = pthread_create(&tid, &attr, run_thread, heap);
    pthread_attr_destroy(&attr);
    if (rc != 0) delete heap;
    return rc;
}

}  // namespace vesk
