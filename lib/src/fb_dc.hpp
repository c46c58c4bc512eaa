// Screen and buffer DCs: the framebuffer pixel families.
#pragma once

#include "zr.h"

namespace zr {

// Installs the five drawing operations for a framebuffer depth; false when
// the depth has no family.
bool set_virtual_func(dc_t *dc, int colors);

// Which framebuffer family a DC carries, judged by its slots: 15, 16 or 32
// for the library's own drawing families, 0 for anything else (placeholder
// families, bitmaps, an application's own slots).
int fb_family_of(const dc_t *dc);

}  // namespace zr
