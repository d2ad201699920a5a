/* The physical floors the agent is measured against: what the same work costs when a small C
 * program does it with nothing in between.
 *
 *   floors echo                 copies standard input to standard output until end of input
 *                               (the other end of a pipe ping-pong)
 *   floors spawn N PROGRAM      posix_spawn + waitpid of PROGRAM, N times; prints the seconds
 *   floors countlines LIST      for each line of LIST (a path): status, size and type test,
 *                               read, NUL probe, count LF; prints the sum of the counts
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

#define MAX_COUNT_FILE_SIZE 1000000
#define NUL_PROBE_LEN 8000

static int echo(void) {
    static char buf[1 << 16];
    for (;;) {
        ssize_t n = read(0, buf, sizeof buf);
        if (n <= 0) return 0;
        for (ssize_t off = 0; off < n;) {
            ssize_t w = write(1, buf + off, (size_t)(n - off));
            if (w <= 0) return 1;
            off += w;
        }
    }
}

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int spawn_many(long n, char* program) {
    char* argv[] = {program, NULL};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    /* Like the agent's children: no shared standard streams. */
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    double t = now();
    for (long i = 0; i < n; ++i) {
        pid_t pid;
        int status;
        if (posix_spawn(&pid, program, &fa, NULL, argv, environ) != 0) return 1;
        while (waitpid(pid, &status, 0) < 0) {
        }
    }
    printf("%.9f\n", now() - t);
    posix_spawn_file_actions_destroy(&fa);
    return 0;
}

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

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "echo") == 0) return echo();
    if (argc >= 4 && strcmp(argv[1], "spawn") == 0) return spawn_many(atol(argv[2]), argv[3]);
    if (argc >= 3 && strcmp(argv[1], "countlines") == 0) return countlines(argv[2]);
    fprintf(stderr, "usage: floors echo | spawn N PROGRAM | countlines LIST\n");
    return 2;
}
