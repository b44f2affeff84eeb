// Times whole processes with as little of our own overhead as possible:
// fork, exec, wait, with the clock read around them and the peak resident
// memory from the child's rusage. Several commands, separated by ":::", run
// in turn, one round after another, so that the machine's changes of speed
// (a virtual machine's can be large) fall on all of them alike, each round
// in an order turned by one. Prints
// "MEDIAN_MS PEAK_RSS_KB" for each command, one line each, in order.
// Usage: lumaro-measure REPS OUTPUT COMMAND [ARGS...] [::: OUTPUT COMMAND [ARGS...]]...
// OUTPUT: the file standard output goes to, or a folder the command writes into.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

struct TCommand {
    const char* Output = nullptr;
    std::vector<char*> Argv;  // null-terminated
    std::vector<double> Times;
    long Peak = 0;
};

// One run of the command; false when it could not be run. The previous
// run's output is removed first, outside the time: truncating a file of
// some megabytes costs the file system a millisecond or two, which would be
// charged to whichever command comes next. An output folder (where a batch
// writes its results) is emptied, so that every run writes new files, as a
// first run over a folder does; standard output then goes to /dev/null.
bool RunOnce(TCommand& c) {
    struct stat st {};
    const bool folder = stat(c.Output, &st) == 0 && S_ISDIR(st.st_mode);
    if (folder) {
        for (const auto& entry : std::filesystem::directory_iterator(c.Output)) std::filesystem::remove_all(entry);
    } else if (stat(c.Output, &st) == 0 && S_ISREG(st.st_mode)) {
        unlink(c.Output);
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        const int out = folder ? open("/dev/null", O_WRONLY) : open(c.Output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = open("/dev/null", O_WRONLY);
        if (out < 0 || null < 0) _exit(127);
        dup2(out, 1);
        dup2(null, 2);
        execvp(c.Argv[0], c.Argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) < 0) return false;
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) {
        std::fprintf(stderr, "%s did not run\n", c.Argv[0]);
        return false;
    }
    c.Times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    c.Peak = std::max(c.Peak, usage.ru_maxrss);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s REPS OUTPUT_FILE COMMAND [ARGS...] [::: OUTPUT_FILE COMMAND [ARGS...]]...\n",
                     argv[0]);
        return 2;
    }
    const int reps = std::max(1, std::atoi(argv[1]));
    std::vector<TCommand> commands(1);
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], ":::") == 0) {
            commands.emplace_back();
            continue;
        }
        TCommand& c = commands.back();
        if (!c.Output)
            c.Output = argv[i];
        else
            c.Argv.push_back(argv[i]);
    }
    for (TCommand& c : commands) {
        if (!c.Output || c.Argv.empty()) {
            std::fprintf(stderr, "%s: every command needs an output file and a program\n", argv[0]);
            return 2;
        }
        c.Argv.push_back(nullptr);
    }
    // Each round starts one command further on than the one before: no
    // command always follows the same other one (what a process leaves
    // behind, memory it freed for instance, can slow the next one down).
    const std::size_t n = commands.size();
    for (int r = 0; r < reps; ++r)
        for (std::size_t k = 0; k < n; ++k)
            if (!RunOnce(commands[(static_cast<std::size_t>(r) + k) % n])) return 2;
    for (TCommand& c : commands) {
        std::sort(c.Times.begin(), c.Times.end());
        std::printf("%.2f %ld\n", c.Times[c.Times.size() / 2], c.Peak);
    }
    return 0;
}
