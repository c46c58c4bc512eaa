// Test data kept outside the tree, in the folder beside the checkout
// (ZR_SHARED_DIR): where a suite is, and what to do when it is missing.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// Sanitizer builds reserve address space that limits set by a test would cut.
#if defined(__SANITIZE_ADDRESS__)
#define ZR_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZR_TEST_SANITIZED 1
#endif
#endif

namespace zr_test {

// The folder the environment variable env names, else name/ in the shared folder.
inline std::string shared_folder(const char *env, const char *name) {
    const char *set = std::getenv(env);
    return set != nullptr && set[0] != '\0' ? std::string(set) : std::string(ZR_SHARED_DIR) + "/" + name;
}

// True where missing shared data is a failure, not a skip (CI sets ZR_REQUIRE_SHARED_DATA=1).
inline bool shared_data_required() {
    const char *v = std::getenv("ZR_REQUIRE_SHARED_DATA");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

// Every byte of the file; none when it cannot be read.
inline std::vector<unsigned char> read_all(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

}  // namespace zr_test

// Ends the test for want of shared data: a skip that says why, or a failure where the data is required.
#define ZR_MISSING_SHARED_DATA(why)                           \
    do {                                                      \
        if (zr_test::shared_data_required()) FAIL() << (why); \
        GTEST_SKIP() << (why);                                \
    } while (0)
