#include "capture.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace zr_test {

std::string capture_stdout(const std::function<void()> &fn) {
    std::fflush(stdout);
    char path[] = "/tmp/zr-capture-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) throw std::runtime_error("mkstemp");
    unlink(path);
    const int saved = dup(1);
    dup2(fd, 1);
    fn();
    std::fflush(stdout);
    dup2(saved, 1);
    ::close(saved);
    std::string out;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return out;
}

}  // namespace zr_test
