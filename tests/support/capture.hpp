// Captures what the code under test writes to standard output or error.
#pragma once

#include <functional>
#include <string>

namespace zr_test {

// Runs fn with file descriptor 1 redirected to a temporary file and returns
// the bytes written (stdio is flushed on both sides).
std::string capture_stdout(const std::function<void()> &fn);
// The same for file descriptor 2 (stderr).
std::string capture_stderr(const std::function<void()> &fn);

}  // namespace zr_test
