// The line walk that zr_line_to and its fast path share.
#pragma once

#include <cstdint>

namespace zr {

// Walks a line that is neither horizontal nor vertical from (x0, y0) towards
// (x, y) and calls plot(px, py) for every pixel, in order. The start pixel
// comes first; each step then plots at the major coordinate before its
// advance, so the first step plots the start's column (or row) again and the
// end point is never plotted. The distances fit an int by contract; the error
// terms stay below 2 * distance, so they are kept in 64 bits.
template <class Plot>
void walk_sloped_line(int x0, int y0, int x, int y, Plot plot) {
    const int sx = x > x0 ? 1 : -1;
    const int sy = y > y0 ? 1 : -1;
    const std::int64_t ax = x > x0 ? std::int64_t{x} - x0 : std::int64_t{x0} - x;
    const std::int64_t ay = y > y0 ? std::int64_t{y} - y0 : std::int64_t{y0} - y;
    plot(x0, y0);
    if (ax >= ay) {
        std::int64_t e = ax / 2;
        while (x0 != x) {
            e += ay;
            if (e >= ax) {
                y0 += sy;
                e -= ax;
            }
            plot(x0, y0);
            x0 += sx;
        }
    } else {
        std::int64_t e = ay / 2;
        while (y0 != y) {
            e += ax;
            if (e >= ay) {
                x0 += sx;
                e -= ay;
            }
            plot(x0, y0);
            y0 += sy;
        }
    }
}

}  // namespace zr
