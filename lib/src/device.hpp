// The framebuffer device: what the device layer checks before it maps.
#pragma once

#include <linux/fb.h>

namespace zr {

// 0 when the library can draw on a device of this geometry without leaving
// its memory, otherwise the code zr_init gives: ERR_VSCREENINFO when the
// depth's pixel family would store pixels of another size than the device's
// (bits_per_pixel 15, or 16-bit fields that add up to 24 or 32);
// ERR_FSCREENINFO when a row is shorter than its pixels or the rows do not
// fit the device's memory (smem_len). A depth without a family (12 bits,
// say) passes: nothing is drawn on it.
int check_geometry(const fb_var_screeninfo &var, const fb_fix_screeninfo &fix);

// The depth that picks a device's pixel family: the sum of the field lengths
// at 16 bits per pixel (15 for 5-5-5), bits_per_pixel otherwise.
int colors_of(const fb_var_screeninfo &var);

}  // namespace zr
