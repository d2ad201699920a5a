/* The physical floors the agent is measured against: what the same work costs when a small C
 * program does it with nothing in between.
 *
 *   floors echo                 copies standard input to standard output until end of input
 *                               (the other end of a pipe ping-pong)
 *   floors spawn N PROGRAM [STEP...]
 *                               posix_spawn + waitpid of PROGRAM, N times; prints the seconds,
 *                               this process's CPU seconds and its children's (which include
 *                               what a child does between the start and its exec).
 *                               Each STEP adds one thing the agent does around a start, so the
 *                               cost of each can be told apart:
 *                                 pipes      stdout and stderr on pipes drained with poll (stdin
 *                                            /dev/null); without it all three are /dev/null
 *                                 sigdef     every signal to its default, and an empty mask
 *                                 sigdef-ign only the signals found ignored to their default,
 *                                            and an empty mask
 *                                 pgroup     a process group of its own
 *                                 chdir      the working directory changed to /
 *                                 closefrom  descriptors from 3 up closed
 *                                 handoff    each start runs on a second thread, handed over
 *                                            and back through a mutex and condition variable
 *                                 raw        clone + execve by hand instead of posix_spawn: the
 *                                            least a start must do (the other steps still
 *                                            apply; only ignored signals are reset)
 *   floors countlines LIST [THREADS]
 *                               for each line of LIST (a path): status, size and type test,
 *                               read, NUL probe, count LF; prints the files counted and the sum
 *                               of the counts. With THREADS, the list is read whole first and
 *                               that many threads take its paths in turn from a shared index
 *   floors blast OUT ERR        writes OUT bytes to stdout and ERR bytes of text lines to
 *                               stderr, interleaved in 1 MiB writes (the large exec's child)
 *   floors capture PROGRAM [ARG...]
 *                               for each byte read from stdin: starts PROGRAM with stdout and
 *                               stderr on pipes, drains both into memory with poll, waits for
 *                               it, then writes all the stdout bytes and all the stderr bytes
 *                               to its own stdout
 *   floors slurp FILE           for each byte read from stdin: reads the whole FILE into memory,
 *                               then writes it to stdout
 *
 * For capture and slurp, a byte 'f' unmaps the buffers of earlier rounds first, so the round
 * takes pages this process has never touched, as a first transfer does; a byte 'd' only unmaps
 * them (no round); any other byte reuses them. Every large buffer is a mapping of its own
 * (never the allocator's recycled memory) and gets no page advice.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

#define MAX_COUNT_FILE_SIZE 1000000
#define NUL_PROBE_LEN 8000
/* The harness gives its pipes this size, as the agent does to a pipe that carries a lot. */
#define PIPE_SIZE (1 << 20)
#define CHUNK (1 << 20)

static int write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) return -1;
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

static int echo(void) {
    static char buf[1 << 16];
    for (;;) {
        ssize_t n = read(0, buf, sizeof buf);
        if (n <= 0) return 0;
        if (write_all(1, buf, (size_t)n) != 0) return 1;
    }
}

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* ---- spawn and its steps ---------------------------------------------------------------- */

static double cpu_seconds(int who) {
    struct rusage ru;
    getrusage(who, &ru);
    return (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct spawn_job {
    char* program;
    int pipes, sigdef, sigdef_ign, pgroup, chdir, closefrom, raw;
    sigset_t ignored; /* the signals found ignored: raw puts these back to their default */
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t fixed;
};

/* The file actions: all three streams on /dev/null, or stdout and stderr on the given pipes. */
static void stdio_actions(const struct spawn_job* job, posix_spawn_file_actions_t* fa,
                          const int* out, const int* err) {
    posix_spawn_file_actions_init(fa);
    if (job->chdir) posix_spawn_file_actions_addchdir_np(fa, "/");
    posix_spawn_file_actions_addopen(fa, 0, "/dev/null", O_RDONLY, 0);
    if (out) {
        posix_spawn_file_actions_adddup2(fa, out[1], 1);
        posix_spawn_file_actions_adddup2(fa, err[1], 2);
    } else {
        posix_spawn_file_actions_addopen(fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(fa, 2, "/dev/null", O_WRONLY, 0);
    }
    if (job->closefrom) posix_spawn_file_actions_addclosefrom_np(fa, 3);
}

/* The raw step: what a start must do at least, by hand, in a child sharing our memory until
 * its exec, as posix_spawn's own child does, but without the C library's generic work. */
struct raw_start {
    struct spawn_job* job;
    int* out;
    int* err;
};

static int raw_child(void* arg) {
    struct raw_start* r = arg;
    struct spawn_job* job = r->job;
    char* argv[] = {job->program, NULL};
    if (job->pgroup && setpgid(0, 0) != 0) _exit(127);
    if (job->chdir && chdir("/") != 0) _exit(127);
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0 || dup2(null_fd, 0) < 0) _exit(127);
    if (dup2(r->out ? r->out[1] : null_fd, 1) < 0 || dup2(r->err ? r->err[1] : null_fd, 2) < 0)
        _exit(127);
    if (job->closefrom) syscall(SYS_close_range, 3, ~0u, 0);
    struct sigaction dfl = {.sa_handler = SIG_DFL};
    for (int sig = 1; sig < NSIG; ++sig)
        if (sigismember(&job->ignored, sig) == 1) sigaction(sig, &dfl, NULL);
    sigset_t empty;
    sigemptyset(&empty);
    sigprocmask(SIG_SETMASK, &empty, NULL);
    execve(job->program, argv, environ);
    _exit(127);
}

static pid_t raw_spawn(struct spawn_job* job, int* out, int* err) {
    static char stack[64 << 10] __attribute__((aligned(16)));
    struct raw_start r = {job, out, err};
    return clone(raw_child, stack + sizeof stack, CLONE_VM | CLONE_VFORK | SIGCHLD, &r);
}

static int reap(const struct spawn_job* job, pid_t pid, int* out, int* err);

static int spawn_once(struct spawn_job* job) {
    char* argv[] = {job->program, NULL};
    int out[2], err[2];
    if (job->raw) {
        if (job->pipes && (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)) return 1;
        pid_t pid = raw_spawn(job, job->pipes ? out : NULL, job->pipes ? err : NULL);
        if (pid < 0) return 1;
        return reap(job, pid, out, err);
    }
    /* Without pipes the actions never change, so they are built once, outside the loop. */
    posix_spawn_file_actions_t* fa = &job->fixed;
    posix_spawn_file_actions_t per_start;
    if (job->pipes) {
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return 1;
        stdio_actions(job, &per_start, out, err);
        fa = &per_start;
    }
    pid_t pid;
    int rc = posix_spawn(&pid, job->program, fa, &job->attr, argv, environ);
    if (job->pipes) posix_spawn_file_actions_destroy(&per_start);
    if (rc != 0) return 1;
    return reap(job, pid, out, err);
}

/* Drains the pipes, if any, to end of file, then waits for the child. */
static int reap(const struct spawn_job* job, pid_t pid, int* out, int* err) {
    if (job->pipes) {
        close(out[1]);
        close(err[1]);
        struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        int open = 2;
        char buf[4096];
        while (open > 0) {
            if (poll(fds, 2, -1) < 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || fds[i].revents == 0) continue;
                if (read(fds[i].fd, buf, sizeof buf) <= 0) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
    int status;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return 0;
}

/* The hand-off step: the main thread posts each start to a worker and waits for it to end. */
static pthread_mutex_t handoff_mu = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t handoff_cv = PTHREAD_COND_INITIALIZER;
static long handoff_posted, handoff_done;

static void* handoff_worker(void* arg) {
    struct spawn_job* job = arg;
    for (long taken = 0;;) {
        pthread_mutex_lock(&handoff_mu);
        while (handoff_posted == taken) pthread_cond_wait(&handoff_cv, &handoff_mu);
        taken = handoff_posted;
        pthread_mutex_unlock(&handoff_mu);
        if (taken < 0) return NULL;
        spawn_once(job);
        pthread_mutex_lock(&handoff_mu);
        handoff_done = taken;
        pthread_cond_broadcast(&handoff_cv);
        pthread_mutex_unlock(&handoff_mu);
    }
}

static int spawn_many(long n, char* program, int nsteps, char** steps) {
    struct spawn_job job = {.program = program};
    int handoff = 0;
    const struct {
        const char* name;
        int* flag;
    } names[] = {{"pipes", &job.pipes},   {"sigdef", &job.sigdef}, {"sigdef-ign", &job.sigdef_ign},
                 {"pgroup", &job.pgroup}, {"chdir", &job.chdir},   {"closefrom", &job.closefrom},
                 {"handoff", &handoff},   {"raw", &job.raw}};
    for (int i = 0; i < nsteps; ++i) {
        size_t k = 0;
        while (k < sizeof names / sizeof names[0] && strcmp(steps[i], names[k].name) != 0) ++k;
        if (k == sizeof names / sizeof names[0]) return 2;
        *names[k].flag = 1;
    }
    /* Like the agent: its own SIGPIPE is ignored, so a child must get it back. */
    signal(SIGPIPE, SIG_IGN);
    sigemptyset(&job.ignored);
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction sa;
        if (sigaction(sig, NULL, &sa) == 0 && sa.sa_handler == SIG_IGN)
            sigaddset(&job.ignored, sig);
    }
    posix_spawnattr_init(&job.attr);
    short flags = 0;
    if (job.sigdef || job.sigdef_ign) {
        sigset_t def, empty;
        sigemptyset(&def);
        sigemptyset(&empty);
        if (job.sigdef)
            sigfillset(&def);
        else
            def = job.ignored;
        posix_spawnattr_setsigdefault(&job.attr, &def);
        posix_spawnattr_setsigmask(&job.attr, &empty);
        flags |= POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    }
    if (job.pgroup) {
        posix_spawnattr_setpgroup(&job.attr, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&job.attr, flags);
    if (!job.pipes) stdio_actions(&job, &job.fixed, NULL, NULL);

    pthread_t worker;
    if (handoff && pthread_create(&worker, NULL, handoff_worker, &job) != 0) return 1;
    double t = now();
    for (long i = 0; i < n; ++i) {
        if (!handoff) {
            if (spawn_once(&job) != 0) return 1;
            continue;
        }
        pthread_mutex_lock(&handoff_mu);
        handoff_posted = i + 1;
        pthread_cond_broadcast(&handoff_cv);
        while (handoff_done != i + 1) pthread_cond_wait(&handoff_cv, &handoff_mu);
        pthread_mutex_unlock(&handoff_mu);
    }
    double wall = now() - t;
    printf("%.9f %.9f %.9f\n", wall, cpu_seconds(RUSAGE_SELF), cpu_seconds(RUSAGE_CHILDREN));
    if (handoff) {
        pthread_mutex_lock(&handoff_mu);
        handoff_posted = -1;
        pthread_cond_broadcast(&handoff_cv);
        pthread_mutex_unlock(&handoff_mu);
        pthread_join(worker, NULL);
    }
    posix_spawnattr_destroy(&job.attr);
    if (!job.pipes) posix_spawn_file_actions_destroy(&job.fixed);
    return 0;
}

/* ---- large transfers -------------------------------------------------------------------- */

static int blast(unsigned long long out, unsigned long long err) {
    static char obuf[CHUNK], ebuf[CHUNK];
    memset(obuf, 'o', sizeof obuf);
    for (size_t i = 0; i < sizeof ebuf; ++i) ebuf[i] = i % 80 == 79 ? '\n' : 'e';
    /* Both streams advance together: one stderr write for every out/err stdout writes. */
    unsigned long long every = err ? (out + err - 1) / err : 0;
    for (unsigned long long k = 1; out > 0 || err > 0; ++k) {
        int to_err = err > 0 && (out == 0 || (every > 0 && k % (every + 1) == 0));
        unsigned long long* left = to_err ? &err : &out;
        size_t n = *left < CHUNK ? (size_t)*left : CHUNK;
        if (write_all(to_err ? 2 : 1, to_err ? ebuf : obuf, n) != 0) return 1;
        *left -= n;
    }
    return 0;
}

struct buffer {
    char* data;
    size_t size, cap;
};

static int reserve(struct buffer* b, size_t want) {
    if (want <= b->cap) return 0;
    size_t cap = b->cap ? b->cap : 1 << 16;
    while (cap < want) cap *= 2;
    char* p = realloc(b->data, cap);
    if (!p) return -1;
    b->data = p;
    b->cap = cap;
    return 0;
}

/* Reads what the pipe holds; 0 at end of file, -1 on failure, else the byte count. */
static ssize_t drain(int fd, struct buffer* b) {
    if (b->cap - b->size < CHUNK / 4 && reserve(b, b->size + CHUNK) != 0) return -1;
    ssize_t r = read(fd, b->data + b->size, b->cap - b->size);
    if (r > 0) b->size += (size_t)r;
    return r;
}

static void release(struct buffer* b) {
    free(b->data);
    b->data = NULL;
    b->size = b->cap = 0;
}

static int capture(char** argv) {
    static struct buffer out, err;
    signal(SIGPIPE, SIG_IGN);
    /* A fixed threshold: every block past it is mapped on its own, grows by remapping and is
     * unmapped when freed, instead of the threshold rising to the size of the last block freed
     * and later blocks coming back from the heap with their pages already present. */
    mallopt(M_MMAP_THRESHOLD, 128 << 10);
    char go;
    while (read(0, &go, 1) == 1) {
        if (go == 'f' || go == 'd') {
            release(&out);
            release(&err);
        }
        if (go == 'd') continue;
        int o[2], e[2];
        if (pipe2(o, O_CLOEXEC) != 0 || pipe2(e, O_CLOEXEC) != 0) return 1;
        fcntl(o[0], F_SETPIPE_SZ, PIPE_SIZE);
        fcntl(e[0], F_SETPIPE_SZ, PIPE_SIZE);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&fa, o[1], 1);
        posix_spawn_file_actions_adddup2(&fa, e[1], 2);
        pid_t pid;
        int rc = posix_spawn(&pid, argv[0], &fa, NULL, argv, environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) return 1;
        close(o[1]);
        close(e[1]);
        out.size = err.size = 0;
        struct pollfd fds[2] = {{o[0], POLLIN, 0}, {e[0], POLLIN, 0}};
        struct buffer* bufs[2] = {&out, &err};
        for (int open = 2; open > 0;) {
            if (poll(fds, 2, -1) < 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || fds[i].revents == 0) continue;
                ssize_t r = drain(fds[i].fd, bufs[i]);
                if (r < 0) return 1;
                if (r == 0) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
        int status;
        while (waitpid(pid, &status, 0) < 0) {
        }
        if (write_all(1, out.data, out.size) != 0 || write_all(1, err.data, err.size) != 0)
            return 1;
    }
    return 0;
}

static int slurp(const char* path) {
    char* buf = NULL;
    size_t cap = 0;
    char go;
    while (read(0, &go, 1) == 1) {
        if ((go == 'f' || go == 'd') && buf) {
            munmap(buf, cap);
            buf = NULL;
            cap = 0;
        }
        if (go == 'd') continue;
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0) return 1;
        size_t want = (size_t)st.st_size + 1; /* one more, to see the end without growing */
        if (want > cap) {
            if (buf) munmap(buf, cap);
            cap = want;
            buf = mmap(NULL, cap, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (buf == MAP_FAILED) return 1;
        }
        size_t got = 0;
        for (ssize_t r; (r = read(fd, buf + got, cap - got)) > 0;) got += (size_t)r;
        close(fd);
        if (write_all(1, buf, got) != 0) return 1;
    }
    return 0;
}

/* ---- line counts ------------------------------------------------------------------------ */

/* Lines of one file by the agent's rules; -1 when it is not counted. */
static long count_file(const char* path, char* buf) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > MAX_COUNT_FILE_SIZE) return -1;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t got = 0;
    for (;;) {
        ssize_t r = read(fd, buf + got, MAX_COUNT_FILE_SIZE + 1 - got);
        if (r < 0) {
            close(fd);
            return -1;
        }
        if (r == 0 || (got += (size_t)r) > MAX_COUNT_FILE_SIZE) break;
    }
    close(fd);
    if (got > MAX_COUNT_FILE_SIZE) return -1;
    if (got == 0) return 0;
    if (memchr(buf, 0, got < NUL_PROBE_LEN ? got : NUL_PROBE_LEN)) return -1;
    long lines = 0;
    for (size_t i = 0; i < got; ++i) lines += buf[i] == '\n';
    return lines + (buf[got - 1] != '\n');
}

static int countlines(const char* list) {
    FILE* f = fopen(list, "re");
    if (!f) return 1;
    static char buf[MAX_COUNT_FILE_SIZE + 1];
    char* line = NULL;
    size_t cap = 0;
    ssize_t len;
    long total = 0, counted = 0;
    while ((len = getline(&line, &cap, f)) > 0) {
        if (line[len - 1] == '\n') line[len - 1] = '\0';
        long n = count_file(line, buf);
        if (n >= 0) {
            total += n;
            ++counted;
        }
    }
    free(line);
    fclose(f);
    printf("%ld %ld\n", counted, total);
    return 0;
}

/* The same rules on THREADS threads: the whole list read first, then each thread takes the
 * next unclaimed path from a shared index, with a buffer of its own. */
struct count_share {
    char** paths;
    long n;
    long next; /* taken with __atomic_fetch_add */
    long counted, total;
    pthread_mutex_t mu;
};

static void* count_worker(void* arg) {
    struct count_share* s = arg;
    char* buf = malloc(MAX_COUNT_FILE_SIZE + 1);
    long counted = 0, total = 0;
    for (long i; buf && (i = __atomic_fetch_add(&s->next, 1, __ATOMIC_RELAXED)) < s->n;) {
        long lines = count_file(s->paths[i], buf);
        if (lines >= 0) {
            total += lines;
            ++counted;
        }
    }
    free(buf);
    pthread_mutex_lock(&s->mu);
    s->counted += counted;
    s->total += total;
    pthread_mutex_unlock(&s->mu);
    return NULL;
}

static int countlines_threads(const char* list, int threads) {
    FILE* f = fopen(list, "re");
    if (!f || threads < 1 || threads > 64) return 1;
    struct count_share s = {.mu = PTHREAD_MUTEX_INITIALIZER};
    long cap = 0;
    char* line = NULL;
    size_t line_cap = 0;
    ssize_t len;
    while ((len = getline(&line, &line_cap, f)) > 0) {
        if (line[len - 1] == '\n') line[len - 1] = '\0';
        if (s.n == cap &&
            !(s.paths = realloc(s.paths, (size_t)(cap = cap ? 2 * cap : 1024) * sizeof *s.paths)))
            return 1;
        s.paths[s.n++] = strdup(line);
    }
    free(line);
    fclose(f);
    pthread_t t[64];
    for (int k = 1; k < threads; ++k)
        if (pthread_create(&t[k], NULL, count_worker, &s) != 0) return 1;
    count_worker(&s);
    for (int k = 1; k < threads; ++k) pthread_join(t[k], NULL);
    printf("%ld %ld\n", s.counted, s.total);
    for (long i = 0; i < s.n; ++i) free(s.paths[i]);
    free(s.paths);
    return 0;
}

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "echo") == 0) return echo();
    if (argc >= 4 && strcmp(argv[1], "spawn") == 0)
        return spawn_many(atol(argv[2]), argv[3], argc - 4, argv + 4);
    if (argc == 3 && strcmp(argv[1], "countlines") == 0) return countlines(argv[2]);
    if (argc == 4 && strcmp(argv[1], "countlines") == 0)
        return countlines_threads(argv[2], atoi(argv[3]));
    if (argc == 4 && strcmp(argv[1], "blast") == 0)
        return blast(strtoull(argv[2], NULL, 10), strtoull(argv[3], NULL, 10));
    if (argc >= 3 && strcmp(argv[1], "capture") == 0) return capture(argv + 2);
    if (argc == 3 && strcmp(argv[1], "slurp") == 0) return slurp(argv[2]);
    fprintf(stderr,
            "usage: floors echo | spawn N PROGRAM [STEP...] | countlines LIST [THREADS] |"
            " blast OUT ERR |"
            " capture PROGRAM [ARG...] | slurp FILE\n");
    return 2;
}
