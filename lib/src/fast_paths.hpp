// Fast paths: what the plain path writes through the DCs' slots, written
// straight into pixel memory, byte for byte the same.
//
// Each is taken only when the DCs carry the library's own operations (an
// application's own slots always get the plain path, so every call order the
// API defines still holds for them) and the plain path is not forced. Each is
// called behind the same clipping as the plain path and returns false when it
// does not apply; the caller then runs the plain path.
#pragma once

#include "blit.hpp"
#include "zr.h"

namespace zr {

// A line that is neither horizontal nor vertical, as zr_line_to draws it
// pixel by pixel through zr_set_pixel.
bool fast_sloped_line(dc_t *dc, int x0, int y0, int x, int y, color_t color);

// The fill of zr_rectangle: zr_hline(dc, left, right, y, color) for every row
// y from top to bottom.
bool fast_fill_rect(dc_t *dc, int left, int top, int right, int bottom, color_t color);

// The plain copy or the alpha blend of zr_bitblt over a clipped rectangle:
// bitmaps (and blended 32-bit sources) onto the framebuffer formats.
bool fast_bitblt(dc_t *dst, dc_t *src, const blit_rect &r);

}  // namespace zr
