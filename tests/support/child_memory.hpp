// What a piece of work costs in memory, measured in a forked child so that
// the test's own allocations and a failing run cannot disturb the parent.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

namespace zr_test {

// The growth of the peak resident size while work runs in a child process,
// in MiB (at most 250); -1 when the child could not run or crashed.
template <class Work>
int peak_growth_mib(Work work) {
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        work();
        getrusage(RUSAGE_SELF, &after);
        const long grown_kib = std::max(0L, after.ru_maxrss - before.ru_maxrss);
        _exit(static_cast<int>(std::min(250L, grown_kib / 1024)));
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace zr_test
