// The in-process virtual device's DRM node, on a memory file of the test
// program's own (test programs run side by side), and the screen it shows.
#pragma once

#include "pixel_format.hpp"
#include "vfb.hpp"

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace zr_test {

// Returns the memory file, for removal after zr_close.
inline std::string use_drm_node(const char *node, const char *size, int bpp = 32, const char *fail = "",
                                const char *flip_delay = "0") {
    const std::string memory = "/tmp/zr-test-" + std::to_string(getpid()) + "-" + std::string(node + 5) + ".mem";
    setenv("ZR_VFB_MEMORY", memory.c_str(), 1);
    setenv("ZR_VFB_DRM_DEVICE", node, 1);
    setenv("ZR_VFB_DEVICE", "/dev/zr-test-fb", 1);
    setenv("ZR_VFB_SIZE", size, 1);
    setenv("ZR_VFB_BPP", std::to_string(bpp).c_str(), 1);
    setenv("ZR_VFB_FAIL", fail, 1);
    setenv("ZR_VFB_DRM_FLIP_DELAY", flip_delay, 1);
    return memory;
}

// The colour of pixel (x, y) on the visible screen, as 0xRRGGBB.
inline unsigned shown(int x, int y) {
    const zr_vfb::screen_pixels s = zr_vfb::visible_screen();
    if (x >= s.width || y >= s.height) return 0xDEAD;
    const unsigned char *p = s.pixels.data() + (static_cast<size_t>(y) * s.width + x) * (s.bits_per_pixel / 8);
    if (s.bits_per_pixel == 32) return zr::load_le32(p) & 0xFFFFFF;
    const unsigned v = zr::load_le16(p);
    return ((v >> 11) << 3) << 16 | ((v >> 5 & 0x3F) << 2) << 8 | (v & 0x1F) << 3;
}

}  // namespace zr_test
