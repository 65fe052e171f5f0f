// Runs one command several times and prints its median wall time and its
// peak resident memory, with the command's output sent to /dev/null.
//   measure RUNS LABEL -- COMMAND [ARGS...]

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 5 || std::strcmp(argv[3], "--") != 0) {
        std::fprintf(stderr, "usage: measure RUNS LABEL -- COMMAND [ARGS...]\n");
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    std::vector<double> seconds;
    long peak_kib = 0;
    for (int i = 0; i < runs + 1; ++i) {  // the first run only warms the page cache
        const auto start = std::chrono::steady_clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execvp(argv[4], argv + 4);
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        const auto stop = std::chrono::steady_clock::now();
        if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) {
            std::fprintf(stderr, "measure: %s did not run\n", argv[4]);
            return 1;
        }
        if (i > 0) {
            seconds.push_back(std::chrono::duration<double>(stop - start).count());
            peak_kib = std::max(peak_kib, usage.ru_maxrss);
        }
    }
    std::sort(seconds.begin(), seconds.end());
    std::printf("%-44s %9.1f ms %9.1f MiB\n", argv[2], seconds[seconds.size() / 2] * 1e3,
                static_cast<double>(peak_kib) / 1024.0);
    return 0;
}
