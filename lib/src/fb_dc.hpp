// Screen and buffer DCs: the slots of the screen formats, and the format the
// open device's screen has.
#pragma once

#include "pixel_format.hpp"
#include "zr.h"

#include <cstddef>

namespace zr {

// Installs the five drawing operations for a framebuffer depth (colors): the
// default screen format of 15, 16 and 32 (default_screen_format), the
// placeholders of 1, 4, 8 and 24; false when the depth has no family.
bool set_virtual_func(dc_t *dc, int colors);

// Installs the five drawing operations of a screen format; false for a
// format that is not one.
bool install_screen_format(dc_t *dc, pixel_format f);

// The screen format a DC carries, judged by its slots; none for anything
// else (placeholder families, bitmaps, an application's own slots).
pixel_format fb_format_of(const dc_t *dc);

// The pixel format of the open device's screen, which zr_get_screen_dc and
// zr_get_buffer_dc give their DCs: the display layer's (display_format, from
// fbdev's channel offsets and lengths or DRM's fourcc), unless a format was
// set here (tests draw each format over memory this way). none stands for
// the default format of zr_fb.colors; so does a format whose depth is not
// zr_fb.colors's.
void set_screen_format(pixel_format f);
pixel_format screen_format();

// Where the framebuffer families keep pixel (x, y) of pixels `bytes` wide:
// row y starts at mapped + y * bytes_per_line.
inline unsigned char *fb_pixel(dc_t *dc, int x, int y, int bytes) {
    return dc->mapped + static_cast<std::ptrdiff_t>(y) * dc->bytes_per_line +
           static_cast<std::ptrdiff_t>(x) * bytes;
}

}  // namespace zr
