// measure_run: runs a command and appends one line about it to a file: wall time, CPU time (user
// and system) and peak resident memory of the command alone (not of this process), and its exit
// status. Used by scripts/bench under the emulator, where this process is the emulator's child.
//
// usage: measure_run FILE COMMAND [ARGUMENT]...
// line:  wall_ms=<ms> user_ms=<ms> system_ms=<ms> max_rss_kb=<kB> status=<exit status or
// 128+signal>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

static double ms_of(const timeval &t) {
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
}

static double now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

int main(int argc, char *argv[]) {
    if (argc < 3) {
        fprintf(stderr, "usage: measure_run FILE COMMAND [ARGUMENT]...\n");
        return 125;
    }
    FILE *out = fopen(argv[1], "a");
    if (out == nullptr) {
        fprintf(stderr, "measure_run: cannot write %s: %s\n", argv[1], strerror(errno));
        return 125;
    }
    fflush(stdout);
    double start = now_ms();
    pid_t child = fork();
    if (child == 0) {
        fclose(out);
        execvp(argv[2], argv + 2);
        fprintf(stderr, "measure_run: cannot run %s: %s\n", argv[2], strerror(errno));
        _exit(127);
    }
    if (child < 0) {
        fprintf(stderr, "measure_run: cannot fork: %s\n", strerror(errno));
        return 125;
    }
    int wait_status = 0;
    rusage usage{};
    while (wait4(child, &wait_status, 0, &usage) < 0 && errno == EINTR) {
    }
    double wall = now_ms() - start;
    int status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    fprintf(out, "wall_ms=%.3f user_ms=%.3f system_ms=%.3f max_rss_kb=%ld status=%d\n", wall,
            ms_of(usage.ru_utime), ms_of(usage.ru_stime), usage.ru_maxrss, status);
    fclose(out);
    return status;
}
