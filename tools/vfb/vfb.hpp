// The virtual framebuffer's view of its configuration, shared with its
// snapshot writer and with tests.
#pragma once

#include <linux/fb.h>

#include <string>

namespace zr_vfb {

struct geometry {
    int width, height;
    int depth;           // 1, 4, 8, 15, 16, 24 or 32
    int bits_per_pixel;  // storage bits: 16 for depth 15
    long line_length;    // bytes per row
};

// The geometry the environment asks for now; line_length as asked, so it may
// be shorter than row_bytes (or -1 when ZR_VFB_LINE_LENGTH is not a number).
geometry current_geometry();
// The bytes of one row's pixels, padding left out.
long row_bytes(const geometry &g);
// The file that holds the pixel memory.
std::string memory_path();
void fill_var(const geometry &g, fb_var_screeninfo *var);
void fill_fix(const geometry &g, fb_fix_screeninfo *fix);

// Called after every successful open of the device, with the geometry it was
// opened with and the file that holds its memory. Null unless the snapshot
// writer is built in (the preloadable library sets it when it loads).
extern void (*on_device_open)(const geometry &g, const std::string &memory);

}  // namespace zr_vfb
