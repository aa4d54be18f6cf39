/* Runs a command and prints its wall-clock time, user and system CPU time (microseconds)
 * and peak resident set (KiB) on one line: "WALL_US USER_US SYS_US MAXRSS_KIB". The exit
 * status is the command's. GNU time rounds CPU time to 10 ms, too coarse for one upload.
 * usage: ftpupg-rusage [-o FILE] COMMAND [ARG]...   (the line goes to FILE, else to stderr) */
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    FILE* out = stderr;
    if (argc > 2 && strcmp(argv[1], "-o") == 0) {
        out = fopen(argv[2], "w");
        if (!out) {
            perror(argv[2]);
            return 2;
        }
        argv += 2;
        argc -= 2;
    }
    if (argc < 2) {
        fprintf(stderr, "usage: ftpupg-rusage [-o FILE] COMMAND [ARG]...\n");
        return 2;
    }
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    const pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[1], argv + 1);
        perror(argv[1]);
        _exit(127);
    }
    int status = 0;
    struct rusage ru;
    if (pid < 0 || wait4(pid, &status, 0, &ru) != pid) {
        perror("wait4");
        return 1;
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    const long long wall = (t1.tv_sec - t0.tv_sec) * 1000000LL + (t1.tv_nsec - t0.tv_nsec) / 1000;
    fprintf(out, "%lld %lld %lld %ld\n", wall, ru.ru_utime.tv_sec * 1000000LL + ru.ru_utime.tv_usec,
            ru.ru_stime.tv_sec * 1000000LL + ru.ru_stime.tv_usec, ru.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
