// Screen and buffer DCs: the framebuffer pixel families.
#pragma once

#include "zr.h"

#include <cstddef>

namespace zr {

// Installs the five drawing operations for a framebuffer depth; false when
// the depth has no family.
bool set_virtual_func(dc_t *dc, int colors);

// Which framebuffer family a DC carries, judged by its slots: 15, 16 or 32
// for the library's own drawing families, 0 for anything else (placeholder
// families, bitmaps, an application's own slots).
int fb_family_of(const dc_t *dc);

// Where the framebuffer families keep pixel (x, y) of pixels `bytes` wide:
// row y starts at mapped + y * bytes_per_line.
inline unsigned char *fb_pixel(dc_t *dc, int x, int y, int bytes) {
    return dc->mapped + static_cast<std::ptrdiff_t>(y) * dc->bytes_per_line +
           static_cast<std::ptrdiff_t>(x) * bytes;
}

}  // namespace zr
