// Block transfer and quarter turns.
//
// zr_bitblt clips its rectangle once against both DCs, then moves the pixels
// one of three ways, chosen by the DCs' kinds: whole rows of bytes between two
// device-format DCs of the same format, an alpha blend from a DC of kind
// DC_TYPE_ALPHA, and a plain copy through the slots otherwise. The quarter turns copy a whole DC
// pixel by pixel through the clipped pixel wrappers.
//
// No transfer sets an error code or touches a DC's position or colours.
#include "blit.hpp"

#include "fast_paths.hpp"
#include "fb_dc.hpp"
#include "messages.hpp"
#include "pixel_format.hpp"
#include "zr_internal.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace zr {
namespace {

// Clips one axis: origin d and size dst_n in the destination, origin s and
// size src_n in the source, length n. False when the call is to end without
// doing anything. The arithmetic is 64-bit so that no sum of two ints can
// overflow; the results fit an int again.
bool clip_axis(std::int64_t &d, std::int64_t &s, std::int64_t &n, int dst_n, int src_n) {
    // A destination origin before the edge moves the source origin with it,
    // before the source origin is clamped below.
    if (d < 0) {
        n += d;
        s -= d;
        d = 0;
        if (n <= 0) return false;
    }
    if (d >= dst_n) return false;
    // The source origin is clamped into the source, not rejected: an origin
    // beyond an edge leaves the source's last column (or row).
    if (s < 0) {
        s = 0;
    } else if (s >= src_n) {
        s = static_cast<std::int64_t>(src_n) - 1;
    }
    if (d + n > dst_n) n = dst_n - d;
    if (s + n > src_n) n = src_n - s;
    // A source without pixels on this axis: the clamp above left s outside it.
    if (src_n <= 0) n = 0;
    return true;
}

// False when the transfer ends with nothing done; otherwise *out holds the
// rectangle, which may still be empty.
bool clip(const dc_t *dst, int dx, int dy, const dc_t *src, int sx, int sy, int width, int height,
          blit_rect *out) {
    // The axes do not interact, so clipping x completely before y gives the
    // same rectangle as interleaving their steps.
    std::int64_t x = dx, y = dy, u = sx, v = sy, w = width, h = height;
    if (!clip_axis(x, u, w, dst->width, src->width)) return false;
    if (!clip_axis(y, v, h, dst->height, src->height)) return false;
    if (w <= 0 || h <= 0) {
        *out = blit_rect{0, 0, 0, 0, 0, 0};
    } else {
        *out = blit_rect{static_cast<int>(x), static_cast<int>(y), static_cast<int>(u),
                         static_cast<int>(v), static_cast<int>(w), static_cast<int>(h)};
    }
    return true;
}

bool row_copy_depth(int colors) {
    switch (colors) {
        case 8:
        case 15:
        case 16:
        case 24:
        case 32: return true;
        default: return false;
    }
}

// True when two device-format DCs store pixels the same way, so that a row
// of one is a row of the other: DCs made on two different devices (one
// before zr_close, one after the next zr_init) may differ, in depth or, where
// both carry a screen format's slots, in format (x8-8-8-8 with red on top or
// at the bottom).
bool same_device_format(const dc_t *dst, const dc_t *src) {
    const pixel_format a = fb_format_of(dst), b = fb_format_of(src);
    return dst->colors == src->colors && dst->bits_per_pixel == src->bits_per_pixel &&
           (a == b || a == pixel_format::none || b == pixel_format::none);
}

// Whole rows of bytes between two device-format DCs of one format, each with
// its own row stride.
void row_copy(dc_t *dst, dc_t *src, const blit_rect &r) {
    // Tested before anything else, so an empty rectangle still prints.
    if (!row_copy_depth(dst->colors)) {
        print_line(msg::todo_byte_bitblt);
        return;
    }
    const std::ptrdiff_t pixel_bytes = src->bits_per_pixel / 8;
    if (r.empty() || pixel_bytes <= 0) return;
    const std::ptrdiff_t dst_line = dst->bytes_per_line;
    const std::ptrdiff_t src_line = src->bytes_per_line;
    unsigned char *to = dst->mapped + r.dy * dst_line + r.dx * pixel_bytes;
    const unsigned char *from = src->mapped + r.sy * src_line + r.sx * pixel_bytes;
    const auto row_bytes = static_cast<std::size_t>(r.width * pixel_bytes);
    // Rows that follow each other without a gap on both sides are one block,
    // moved as one, which also gives what the row order below gives when the
    // two blocks overlap.
    if (dst_line == src_line && static_cast<std::size_t>(dst_line) == row_bytes) {
        move_bytes(to, from, row_bytes * static_cast<std::size_t>(r.height));
        return;
    }
    const auto copy_row = [&](int i) { std::memmove(to + i * dst_line, from + i * src_line, row_bytes); };
    // Two DCs may share memory (the same DC, or two screen DCs). memmove takes
    // care of each row; a destination that lies further down in memory than
    // its source is walked from the bottom, so no source row is overwritten
    // before it has been read.
    if (reinterpret_cast<std::uintptr_t>(to) > reinterpret_cast<std::uintptr_t>(from)) {
        for (int i = r.height - 1; i >= 0; --i) copy_row(i);
    } else {
        for (int i = 0; i < r.height; ++i) copy_row(i);
    }
}

// Pixel by pixel through the slots, rows outer, columns inner. The colour
// variable serves the whole call; a read that writes nothing (a placeholder
// slot) or leaves alpha alone (the framebuffer slots) passes on opaque black
// or what it held before.
void plain_copy(dc_t *dst, dc_t *src, const blit_rect &r) {
    color_t c = opaque_black;
    for (int y = 0; y < r.height; ++y) {
        for (int x = 0; x < r.width; ++x) {
            src->get_pixel(src, r.sx + x, r.sy + y, &c);
            dst->set_pixel(dst, r.dx + x, r.dy + y, c);
        }
    }
}

// The alpha rule for one source colour s at (x, y) of the destination:
// alpha 0 writes nothing (false), alpha 255 writes s without reading the
// backdrop, anything else reads the backdrop through the destination's slot
// into the call's backdrop variable and writes the blend. *out is the colour
// to write.
bool apply_alpha(dc_t *dst, int x, int y, color_t s, color_t &backdrop, color_t *out) {
    if (s.alpha == 0) return false;
    if (s.alpha == 255) {
        *out = s;
    } else {
        dst->get_pixel(dst, x, y, &backdrop);
        *out = blend_color(s, backdrop);
    }
    return true;
}

void blend_copy(dc_t *dst, dc_t *src, const blit_rect &r) {
    color_t c = opaque_black;
    color_t backdrop = opaque_black;
    color_t out{};
    for (int y = 0; y < r.height; ++y) {
        for (int x = 0; x < r.width; ++x) {
            src->get_pixel(src, r.sx + x, r.sy + y, &c);
            if (apply_alpha(dst, r.dx + x, r.dy + y, c, backdrop, &out))
                dst->set_pixel(dst, r.dx + x, r.dy + y, out);
        }
    }
}

enum class turn { counter_clockwise, clockwise };

// The bytes of the first rows x cols pixels of a DC, rows of either order.
std::pair<std::uintptr_t, std::uintptr_t> pixel_span(const dc_t *dc, int rows, int cols, int bytes) {
    auto first = reinterpret_cast<std::uintptr_t>(dc->mapped);
    auto last = reinterpret_cast<std::uintptr_t>(dc->mapped + std::ptrdiff_t{rows - 1} * dc->bytes_per_line);
    if (first > last) std::swap(first, last);
    return {first, last + static_cast<std::uintptr_t>(cols) * static_cast<std::uintptr_t>(bytes)};
}

// The turn through the fast-path table's turn row, where both DCs carry the
// same screen format, nothing is blended and the two do not share memory
// (the plain path's pixel order then decides what is read). False when the
// plain path is to run.
bool fast_turn(dc_t *dst, dc_t *src, turn t, int rows, int cols) {
    const pixel_format f = fb_format_of(dst);
    if (rows <= 0 || cols <= 0 || f == pixel_format::none || fb_format_of(src) != f ||
        src->dc_type == DC_TYPE_ALPHA)
        return false;
    const turn_fn row = fast_turn_for(f);
    if (row == nullptr) return false;
    const int bytes = bits_per_pixel(f) / 8;
    const auto [s0, s1] = pixel_span(src, rows, cols, bytes);
    const auto [d0, d1] = pixel_span(dst, dst->height, dst->width, bytes);
    if (s0 < d1 && d0 < s1) return false;
    const std::ptrdiff_t sp = src->bytes_per_line, dp = dst->bytes_per_line;
    if (t == turn::counter_clockwise) {
        // Source column x is destination row height - 1 - x, from column 0.
        row(dst->mapped + (dst->height - 1) * dp, -dp, src->mapped, sp, cols, rows);
    } else {
        // Destination row x is source column x, bottom to top, ending at the right edge.
        row(dst->mapped + std::ptrdiff_t{dst->width - rows} * bytes, dp, src->mapped + (rows - 1) * sp, -sp, cols,
            rows);
    }
    return true;
}

// The source's top-left corner that fits, turned a quarter turn: rows
// 0 .. R - 1 of the source become destination columns, columns 0 .. C - 1
// become destination rows. Counter-clockwise lands at the bottom-left corner,
// clockwise at the top-right one.
void turn_copy(dc_t *dst, dc_t *src, turn t) {
    const int rows = src->height < dst->width ? src->height : dst->width;  // R
    const int cols = src->width < dst->height ? src->width : dst->height;  // C
    if (fast_turn(dst, src, t, rows, cols)) return;
    const bool blend = src->dc_type == DC_TYPE_ALPHA;
    color_t c = opaque_black;
    color_t backdrop = opaque_black;
    color_t out{};
    for (int sy = 0; sy < rows; ++sy) {
        for (int sx = 0; sx < cols; ++sx) {
            zr_get_pixel(src, sx, sy, &c);
            const int x = t == turn::counter_clockwise ? sy : dst->width - 1 - sy;
            const int y = t == turn::counter_clockwise ? dst->height - 1 - sx : sx;
            if (!blend) {
                zr_set_pixel(dst, x, y, c);
            } else if (apply_alpha(dst, x, y, c, backdrop, &out)) {
                zr_set_pixel(dst, x, y, out);
            }
        }
    }
}

}  // namespace
}  // namespace zr

using namespace zr;

extern "C" {

ZR_API void zr_bitblt(dc_t *dst, int dx, int dy, dc_t *src, int sx, int sy, int width, int height) {
    blit_rect r{};
    if (!clip(dst, dx, dy, src, sx, sy, width, height, &r)) return;
    // Only the source's kind turns blending on.
    if (src->dc_type == DC_TYPE_SCREEN && dst->dc_type == DC_TYPE_SCREEN && same_device_format(dst, src)) {
        row_copy(dst, src, r);
    } else if (fast_bitblt(dst, src, r)) {
        return;
    } else if (src->dc_type == DC_TYPE_ALPHA) {
        blend_copy(dst, src, r);
    } else {
        plain_copy(dst, src, r);
    }
}

ZR_API void zr_bitblt90(dc_t *dst, dc_t *src) { turn_copy(dst, src, turn::counter_clockwise); }

ZR_API void zr_bitblt270(dc_t *dst, dc_t *src) { turn_copy(dst, src, turn::clockwise); }

}  // extern "C"
