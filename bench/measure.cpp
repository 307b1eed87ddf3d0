// bench_measure: runs one command and records what it cost.
//
//   bench_measure RESULT_FILE COMMAND [ARG]...
//
// Writes one line "status wall_s user_s sys_s maxrss_kb involuntary_switches"
// to RESULT_FILE and exits with the command's status (128 + signal number
// when a signal ended it). The wall time runs from just before fork to the
// reaping of the child, on the monotonic clock, so the shell's own start-up
// is not counted.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double seconds(const timeval &tv) {
    return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6;
}

double seconds_between(const timespec &a, const timespec &b) {
    return static_cast<double>(b.tv_sec - a.tv_sec) +
           static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_measure RESULT_FILE COMMAND [ARG]...\n");
        return 2;
    }
    std::FILE *result = std::fopen(argv[1], "w");
    if (result == nullptr) {
        std::fprintf(stderr, "bench_measure: %s: %s\n", argv[1], std::strerror(errno));
        return 2;
    }

    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t pid = fork();
    if (pid == -1) {
        std::fprintf(stderr, "bench_measure: fork: %s\n", std::strerror(errno));
        return 2;
    }
    if (pid == 0) {
        execvp(argv[2], argv + 2);
        std::fprintf(stderr, "bench_measure: %s: %s\n", argv[2], std::strerror(errno));
        _exit(127);
    }

    int wstatus = 0;
    rusage usage{};
    while (wait4(pid, &wstatus, 0, &usage) == -1) {
        if (errno != EINTR) {
            std::fprintf(stderr, "bench_measure: wait4: %s\n", std::strerror(errno));
            return 2;
        }
    }
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &end);

    const int status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    std::fprintf(result, "%d %.6f %.6f %.6f %ld %ld\n", status, seconds_between(start, end),
                 seconds(usage.ru_utime), seconds(usage.ru_stime), usage.ru_maxrss,
                 usage.ru_nivcsw);
    std::fclose(result);
    return status;
}
