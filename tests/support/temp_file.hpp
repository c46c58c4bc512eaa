// A file under the test's temporary folder, named for this process and
// removed when the guard goes, however the test ends.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace zr_test {

class temp_file {
public:
    // A fresh file holding content (empty when none is given).
    explicit temp_file(const std::string &suffix, const std::vector<unsigned char> &content = {}) {
        static int serial = 0;
        path = testing::TempDir() + "zr-" + std::to_string(getpid()) + "-" + std::to_string(serial++) + suffix;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(content.data()), static_cast<std::streamsize>(content.size()));
    }
    ~temp_file() { std::remove(path.c_str()); }
    temp_file(const temp_file &) = delete;
    temp_file &operator=(const temp_file &) = delete;

    const char *c_str() const { return path.c_str(); }
    std::string path;
};

}  // namespace zr_test
