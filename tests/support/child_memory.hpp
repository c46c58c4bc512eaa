// What a piece of work costs in memory or returns, run in a forked child so
// that the test's own allocations and a failing run cannot disturb the parent.
#pragma once

#include "shared_data.hpp"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

namespace zr_test {

// What work returns (0 .. 255) when run in a forked child; -1 when the child died.
template <class Work>
int exit_code_in_child(Work work) {
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) _exit(work());
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// The growth of the peak resident size while work runs in a child, in MiB
// (at most 250); -1 when the child could not run or crashed. warm_up runs
// first, unmeasured, so that the code and lasting buffers the work needs are
// resident before the peak is read.
template <class Work, class WarmUp = void (*)()>
int peak_growth_mib(Work work, WarmUp warm_up = [] {}) {
    return exit_code_in_child([&] {
        warm_up();
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        work();
        getrusage(RUSAGE_SELF, &after);
        return static_cast<int>(std::min(250L, std::max(0L, after.ru_maxrss - before.ru_maxrss) / 1024));
    });
}

// What work returns, run in a child whose address space may grow by at most
// room bytes: an allocation the size of a declared image then fails instead
// of succeeding. Sanitizer builds and emulated runs reserve more address
// space than such a limit leaves, so there work runs without it.
template <class Work>
int exit_code_with_room(rlim_t room, Work work) {
    return exit_code_in_child([&] {
#if !defined(ZR_TEST_SANITIZED) && !(defined(ZR_TEST_EMULATED) && ZR_TEST_EMULATED)
        rlimit limit{};
        getrlimit(RLIMIT_AS, &limit);
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        limit.rlim_cur = std::min(limit.rlim_max, static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + room);
        setrlimit(RLIMIT_AS, &limit);
#else
        (void)room;
#endif
        return work();
    });
}

}  // namespace zr_test
