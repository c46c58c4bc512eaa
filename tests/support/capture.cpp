#include "capture.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace zr_test {

namespace {

std::string capture(int target, std::FILE *stream, const std::function<void()> &fn) {
    std::fflush(stream);
    char path[] = "/tmp/zr-capture-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) throw std::runtime_error("mkstemp");
    unlink(path);
    const int saved = dup(target);
    dup2(fd, target);
    fn();
    std::fflush(stream);
    dup2(saved, target);
    ::close(saved);
    std::string out;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return out;
}

}  // namespace

std::string capture_stdout(const std::function<void()> &fn) { return capture(1, stdout, fn); }

std::string capture_stderr(const std::function<void()> &fn) { return capture(2, stderr, fn); }

}  // namespace zr_test
