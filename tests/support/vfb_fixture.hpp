// Opens the library on the in-process virtual framebuffer with a chosen
// geometry, and reads back the device's pixel memory.
#pragma once

#include "zr.h"

#include <string>
#include <vector>

namespace zr_test {

struct vfb_config {
    int width = 64;
    int height = 48;
    int depth = 16;        // 1, 4, 8, 15, 16, 24, 32
    long line_length = 0;  // 0: no padding
    std::string fail{};    // ZR_VFB_FAIL
    int init_flags = 0;    // ZR_INIT_* for zr_init_ex
};

// The device path the in-process virtual device answers for.
const char *vfb_device_path();

// Points the virtual device at cfg (a fresh memory file per call) and runs
// zr_init on it; returns zr_init's result.
int vfb_open(const vfb_config &cfg);

// zr_close and removal of the memory file.
void vfb_close();

// The bytes of the device's pixel memory file as they are now.
std::vector<unsigned char> vfb_memory();

// The descriptors this process holds open.
long open_descriptors();

}  // namespace zr_test
