// fat16-measure: runs a command and reports its wall time, CPU time and
// peak memory (of the command and everything it waited for) on standard
// error, as "wall_s cpu_s peak_kib". Usage: fat16-measure COMMAND [ARGS]
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: fat16-measure COMMAND [ARGS]\n");
        return 2;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid < 0) {
        perror("fat16-measure: fork");
        return 2;
    }
    if (pid == 0) {
        execvp(argv[1], argv + 1);
        perror("fat16-measure: exec");
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) < 0) {
        perror("fat16-measure: wait");
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    double wall = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
    double cpu = (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec / 1e6 +
                 (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec / 1e6;
    fprintf(stderr, "%.3f %.3f %ld\n", wall, cpu, usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
