// Rectangles of the logical picture turned onto the panel. A quarter turn is
// a transpose with one side walked backwards: clockwise, the source's rows
// are read bottom-up; counter-clockwise, the destination's rows are written
// bottom-up. The transpose is the fast-path table's turn row of the format
// (tiles, SIMD), or a byte copy per pixel for the depths it has no row for.
#include "rotate.hpp"

#include "fast_paths.hpp"

#include <cstddef>
#include <cstring>

namespace zr {
namespace {

// The turn row's contract (fast_paths.hpp), pixel by pixel, every byte.
void turn_bytes(unsigned char *d, std::ptrdiff_t dp, const unsigned char *s, std::ptrdiff_t sp, int w, int h,
                int bytes) {
    for (std::ptrdiff_t x = 0; x < w; ++x)
        for (std::ptrdiff_t y = 0; y < h; ++y) std::memcpy(d + x * dp + y * bytes, s + y * sp + x * bytes, bytes);
}

// Each row reversed into the row opposite.
void half_turn(const pixel_plane &to, const pixel_plane &from, int bytes, const zr_rect_t &r) {
    const zr_rect_t t = turned_rect(r, 180, from.width, from.height);
    for (std::ptrdiff_t y = 0; y < r.height; ++y) {
        const unsigned char *s = from.pixels + (r.y + y) * std::ptrdiff_t{from.pitch} + std::ptrdiff_t{r.x} * bytes;
        unsigned char *d = to.pixels + (t.y + t.height - 1 - y) * std::ptrdiff_t{to.pitch} +
                           (std::ptrdiff_t{t.x} + t.width - 1) * bytes;
        switch (bytes) {
            case 2:
                for (int x = 0; x < r.width; ++x) std::memcpy(d - 2 * x, s + 2 * x, 2);
                break;
            case 4:
                for (int x = 0; x < r.width; ++x) std::memcpy(d - 4 * x, s + 4 * x, 4);
                break;
            default:
                for (int x = 0; x < r.width; ++x) std::memcpy(d - x * bytes, s + x * bytes, bytes);
        }
    }
}

}  // namespace

bool turnable_depth(int bits_per_pixel) { return bits_per_pixel > 0 && bits_per_pixel <= 32 && bits_per_pixel % 8 == 0; }

zr_rect_t turned_rect(const zr_rect_t &r, int degrees, int width, int height) {
    switch (degrees) {
        case 90: return {height - r.y - r.height, r.x, r.height, r.width};
        case 180: return {width - r.x - r.width, height - r.y - r.height, r.width, r.height};
        case 270: return {r.y, width - r.x - r.width, r.height, r.width};
        default: return r;
    }
}

void turn_rect(const pixel_plane &to, const pixel_plane &from, int bits_per_pixel, pixel_format format, int degrees,
               const zr_rect_t &r) {
    const int bytes = bits_per_pixel / 8;
    if (r.width <= 0 || r.height <= 0) return;
    if (degrees == 180) return half_turn(to, from, bytes, r);
    const std::ptrdiff_t sp = from.pitch, dp = to.pitch;
    const zr_rect_t t = turned_rect(r, degrees, from.width, from.height);
    const unsigned char *s = from.pixels + r.y * sp + std::ptrdiff_t{r.x} * bytes;
    unsigned char *d = to.pixels + t.y * dp + std::ptrdiff_t{t.x} * bytes;
    const turn_fn fast = format != pixel_format::none && bits_per_pixel == zr::bits_per_pixel(format)
                             ? fast_turn_for(format)
                             : nullptr;
    const auto turn = [&](unsigned char *d0, std::ptrdiff_t dstride, const unsigned char *s0, std::ptrdiff_t sstride) {
        if (fast != nullptr) return fast(d0, dstride, s0, sstride, r.width, r.height);
        turn_bytes(d0, dstride, s0, sstride, r.width, r.height, bytes);
    };
    if (degrees == 90) {
        // Row x of the panel's rectangle is source column x, bottom to top.
        turn(d, dp, s + (r.height - 1) * sp, -sp);
    } else if (degrees == 270) {
        // Source column x is the panel's rectangle's row t.height - 1 - x.
        turn(d + (t.height - 1) * dp, -dp, s, sp);
    }
}

}  // namespace zr
