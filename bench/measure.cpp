// Times whole processes with as little of our own overhead as possible:
// fork, exec, wait, with the clock read around them and the peak resident
// memory from the child's rusage. Prints "MEDIAN_MS PEAK_RSS_KB".
// Usage: lumaro-measure REPS OUTPUT_FILE COMMAND [ARGS...]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s REPS OUTPUT_FILE COMMAND [ARGS...]\n", argv[0]);
        return 2;
    }
    const int reps = std::max(1, std::atoi(argv[1]));
    std::vector<double> times;
    long peak = 0;
    for (int i = 0; i < reps; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const pid_t pid = fork();
        if (pid < 0) return 2;
        if (pid == 0) {
            const int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int null = open("/dev/null", O_WRONLY);
            if (out < 0 || null < 0) _exit(127);
            dup2(out, 1);
            dup2(null, 2);
            execvp(argv[3], argv + 3);
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, 0, &usage) < 0) return 2;
        const auto end = std::chrono::steady_clock::now();
        if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) {
            std::fprintf(stderr, "%s did not run\n", argv[3]);
            return 2;
        }
        times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        peak = std::max(peak, usage.ru_maxrss);
    }
    std::sort(times.begin(), times.end());
    std::printf("%.2f %ld\n", times[times.size() / 2], peak);
    return 0;
}
