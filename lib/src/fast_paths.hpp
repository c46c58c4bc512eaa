// Fast paths: what the plain path writes through the DCs' slots, written
// straight into pixel memory, byte for byte the same.
//
// They are the rows of one table: {operation, source format, destination
// format, CPU feature needed, function}. find_fast_path returns the first row
// that fits an operation on two formats and whose feature the CPU has and the
// switches allow (cpu_variant.hpp), so the rows for CPU extensions come
// before the portable row of the same formats. A DC has a format only when
// it carries the library's own slots (an application's own slots always get
// the plain path, so every call order the API defines still holds for them),
// and nothing is found while the plain path is forced: the caller then runs
// the plain path. Every function is called behind the same clipping as the
// plain path.
#pragma once

#include "cpu_variant.hpp"
#include "pixel_format.hpp"
#include "zr.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace zr {

// A transfer rectangle after clipping: every pixel lies inside both DCs.
// Nothing is transferred when width or height is zero or less.
struct blit_rect {
    int dx, dy, sx, sy, width, height;
    bool empty() const { return width <= 0 || height <= 0; }
};

// Coverage to blend a colour through: width x height bytes (0 none, 255
// full) from cov, rows pitch bytes apart, onto pixels x .. x + width - 1,
// y .. y + height - 1 of the DC. Each row may be read `slack` bytes further,
// where its coverage is 0.
// Coverage rows are taken in groups of this many pixels; a row padded with
// zero coverage to whole groups draws its padding as nothing.
inline constexpr int coverage_group = 8;

struct coverage_rect {
    const std::uint8_t *cov;
    std::size_t pitch;
    int x, y, width, height, slack;
};

enum class fast_op : std::uint8_t {
    fill,   // zr_rectangle's fill: zr_hline(dc, left, right, y, c) for rows top .. bottom
    line,   // a sloped line as zr_line_to draws it through zr_set_pixel
    copy,   // zr_bitblt's plain copy from a bitmap
    blend,  // zr_bitblt's alpha blend from a DC of kind DC_TYPE_ALPHA
    glyph,  // text: coverage (a8) blended as the text's plain path does
    turn,   // a quarter turn between two DCs of one format (zr_bitblt90, zr_bitblt270, rotated screens)
};
inline constexpr int fast_op_count = static_cast<int>(fast_op::turn) + 1;

using fill_fn = void (*)(dc_t *dc, int left, int top, int right, int bottom, color_t c);
using line_fn = void (*)(dc_t *dc, int x0, int y0, int x, int y, color_t c);
using blit_fn = void (*)(dc_t *dst, dc_t *src, const blit_rect &r);
using glyph_fn = void (*)(dc_t *dc, const coverage_rect &m, color_t c);
// Transposes a block of width x height pixels of s into d: row x of d is
// column x of s. Strides are in bytes, of either sign, so a flipped source
// or destination turns the block a quarter turn either way. Each pixel keeps
// only its format's channel bits, as a read and a write through the slots do.
using turn_fn = void (*)(unsigned char *d, std::ptrdiff_t d_stride, const unsigned char *s, std::ptrdiff_t s_stride,
                         int width, int height);

// The function of a row; the member read is the one its operation names
// (copy and blend: blit).
union fast_fn {
    fill_fn fill;
    line_fn line;
    blit_fn blit;
    glyph_fn glyph;
    turn_fn turn;
};

struct fast_path {
    fast_op op;
    pixel_format src;  // none for fill and line (a colour) and turn (the destination's format)
    pixel_format dst;
    cpu_feature needs;
    fast_fn fn;
};

// Every row, in the order find_fast_path tries them.
std::span<const fast_path> fast_path_table();

// The first row for op from src onto dst that the switches and the CPU
// allow; null when there is none.
const fast_path *find_fast_path(fast_op op, pixel_format src, pixel_format dst);

// The format a DC carries by its slots: a screen format (fb_dc.cpp) or a
// bitmap format (bitmap.cpp); none for any other DC.
pixel_format format_of(const dc_t *dc);

// ---- the callers' entry points: false (or null) when no row applies

bool fast_sloped_line(dc_t *dc, int x0, int y0, int x, int y, color_t color);
bool fast_fill_rect(dc_t *dc, int left, int top, int right, int bottom, color_t color);
// Also false when the bytes read and written may overlap: the plain path's
// pixel order then decides the outcome.
bool fast_bitblt(dc_t *dst, dc_t *src, const blit_rect &r);
// Asked once per string.
glyph_fn fast_glyph_for(const dc_t *dc);
// The quarter turn for pixels of format f; null when there is none.
turn_fn fast_turn_for(pixel_format f);

}  // namespace zr
