// Runs the real demo program under the preloaded virtual framebuffer and
// reads the PNG snapshots it leaves behind.
#pragma once

#include "png_picture.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

// A fresh directory, removed with everything in it at the end of its scope.
struct temp_dir {
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path operator/(const std::string &name) const { return path_ / name; }
    std::filesystem::path path_;
};

struct run_options {
    std::filesystem::path cwd;       // where the demo finds its images
    std::filesystem::path scratch;   // device memory, captured output
    bool virtual_device = true;      // preload the virtual framebuffer on /dev/fb
    std::vector<std::pair<std::string, std::string>> env{};  // ZR_VFB_* and the like
    std::vector<std::string> wrapper{};                      // e.g. valgrind and its options
    int timeout_seconds = 90;
};

struct run_result {
    bool timed_out = false;
    int exit_code = -1, signal = 0;  // exit_code -1: ended by a signal
    std::string out, err;
    long max_rss_kb = 0;
    std::string describe() const;  // for failure messages
};

// Runs the demo in a clean environment and waits for it (killing it at the timeout).
run_result run_demo(const run_options &opt);

// The environment for snapshots of every pause of at least pause_us
// microseconds, fast sleeps and an exit after the given number of frames.
std::vector<std::pair<std::string, std::string>> snapshot_env(const std::filesystem::path &snap_dir, int bpp, int width,
                                                              int height, int frames, long pause_us = 300000);

// The n-th snapshot (from 1) in snap_dir.
std::filesystem::path frame_path(const std::filesystem::path &snap_dir, int n);

using zr_test::read_png;
using zr_test::rgb_picture;

}  // namespace e2e
