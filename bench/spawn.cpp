/*
 * Runs one command and prints what it cost: wall time from fork to reaped,
 * in milliseconds, the child's peak resident set in KiB (wait4's ru_maxrss),
 * its exit status and the CPU time it used (user + system, milliseconds):
 *
 *   bench_spawn CMD [ARG...]   ->   "WALL_MS MAXRSS_KIB STATUS CPU_MS" on stdout
 *
 * The command's own output goes to /dev/null. This is a small static program
 * on purpose: a child's ru_maxrss starts from its parent's resident set at
 * fork (the copied address space is replaced only at exec), so a big parent
 * such as Python would hide the figure. The floor this one adds is printed by
 * `bench_spawn --floor` (the peak of a child that execs nothing bigger than
 * /bin/true).
 */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

static double now_ms() {
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration<double, std::milli>(since).count();
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: bench_spawn CMD [ARG...] | --floor\n");
        return 2;
    }
    char true_name[] = "true";
    char* floor_argv[] = {true_name, nullptr};
    char** command = argv + 1;
    if (strcmp(argv[1], "--floor") == 0) {
        command = floor_argv;
    }
    int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0) {
        perror("bench_spawn: /dev/null");
        return 1;
    }
    double started = now_ms();
    pid_t pid = fork();
    if (pid < 0) {
        perror("bench_spawn: fork");
        return 1;
    }
    if (pid == 0) {
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        execvp(command[0], command);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) {
        perror("bench_spawn: wait4");
        return 1;
    }
    double ended = now_ms();
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    double cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                    (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    printf("%.3f %ld %d %.3f\n", ended - started, usage.ru_maxrss, code, cpu_ms);
    return 0;
}
