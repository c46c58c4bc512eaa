// Rectangles, circles, ellipses and inversion. Every pixel goes through the
// clipped operations of draw.cpp or through slots called with coordinates
// already cut to the DC, so shapes may lie anywhere.
#include "shapes.hpp"

#include "fast_paths.hpp"
#include "smooth.hpp"
#include "zr_internal.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <utility>

namespace zr {
namespace {

// Span ends and rows are computed in 64 bits, so a shape near the edge of
// the int range cannot overflow. A coordinate beyond that range is outside
// every DC, and so is the nearest int: the clipped operations then do the
// same with it as they would with the exact value.
int saturate(std::int64_t v) {
    if (v < INT_MIN) return INT_MIN;
    if (v > INT_MAX) return INT_MAX;
    return static_cast<int>(v);
}

// One span centred on cx: columns cx - half .. cx + half of the given row.
void centred_span(dc_t *dc, std::int64_t cx, std::int64_t half, std::int64_t row, color_t color,
                  span_op span) {
    span(dc, saturate(cx - half), saturate(cx + half), saturate(row), color);
}

}  // namespace

void circle_dot(dc_t *dc, int x1, int x2, int y, color_t color) {
    zr_set_pixel(dc, x1, y, color);
    zr_set_pixel(dc, x2, y, color);
}

void draw_circle(dc_t *dc, int cx, int cy, int x, int y, color_t color, span_op span) {
    const std::int64_t ccy = cy;
    centred_span(dc, cx, x, ccy + y, color, span);
    centred_span(dc, cx, x, ccy - y, color, span);
    centred_span(dc, cx, y, ccy + x, color, span);
    centred_span(dc, cx, y, ccy - x, color, span);
}

void circle(dc_t *dc, int cx, int cy, int radius, color_t color, span_op span) {
    if (color.alpha == 0) return;
    int x = 0;
    int y = radius;
    // The decision term is 64-bit so that radii near INT_MAX stay exact.
    std::int64_t d = 3 - 2 * std::int64_t{radius};
    while (x < y) {
        draw_circle(dc, cx, cy, x, y, color, span);
        if (d >= 0) {
            d += 4 * (std::int64_t{x} - y) + 10;
            --y;
        } else {
            d += 4 * std::int64_t{x} + 6;
        }
        ++x;
    }
    if (x == y) draw_circle(dc, cx, cy, x, x, color, span);
}

namespace {

// The largest s with s * s <= n.
std::uint64_t isqrt(std::uint64_t n) {
    constexpr std::uint64_t top = 0xFFFFFFFF;  // the root of any 64-bit n fits 32 bits
    auto s = static_cast<std::uint64_t>(std::sqrt(static_cast<double>(n)));
    // The double is within a few units of the root; step to it exactly.
    while (s > top || (s > 0 && s * s > n)) --s;
    while (s < top && (s + 1) * (s + 1) <= n) ++s;
    return s;
}

// The first v in lo .. hi at which a predicate that turns from false to true
// (and stays true) holds; hi + 1 when it never does.
template <class Pred>
std::int64_t first_true(std::int64_t lo, std::int64_t hi, Pred pred) {
    ++hi;
    while (lo < hi) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        if (pred(mid)) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return lo;
}

// The circle walk in closed form. Its decision term at (x, y) is
// 2(x + 1)^2 + y^2 + (y - 1)^2 - 2r^2, and at every x the loop visits (x < y)
// its y is the largest with (2y - 1)^2 < 4r^2 - 1 - 4x^2: y stays while that
// still holds at x + 1, and drops by one otherwise, which is all it can do
// while x < y - 1. So the walk can start at any x with the state it would
// have there.
struct circle_walk {
    std::int64_t r;  // 1 .. INT_MAX

    // y at x, 0 <= x <= r.
    std::int64_t y_at(std::int64_t x) const {
        const auto q = 4 * (static_cast<std::uint64_t>(r) * r - static_cast<std::uint64_t>(x) * x);
        if (q < 3) return 0;
        return static_cast<std::int64_t>((isqrt(q - 2) + 1) / 2);
    }
    // The decision term; the terms wrap in 64 bits, the result is small.
    std::int64_t decision(std::int64_t x, std::int64_t y) const {
        const auto ux = static_cast<std::uint64_t>(x) + 1, uy = static_cast<std::uint64_t>(y);
        const auto ur = static_cast<std::uint64_t>(r);
        return static_cast<std::int64_t>(2 * ux * ux + uy * uy + (uy - 1) * (uy - 1) - 2 * ur * ur);
    }
    // The last x the loop visits.
    std::int64_t last_x() const {
        return first_true(0, r, [&](std::int64_t x) { return x >= y_at(x); }) - 1;
    }
    // The x of the loop (0 .. last) whose y lies in y_lo .. y_hi; y falls as x grows.
    std::pair<std::int64_t, std::int64_t> x_range_of_y(std::int64_t y_lo, std::int64_t y_hi,
                                                       std::int64_t last) const {
        const std::int64_t a = first_true(0, last, [&](std::int64_t x) { return y_at(x) <= y_hi; });
        const std::int64_t b = first_true(0, last, [&](std::int64_t x) { return y_at(x) < y_lo; }) - 1;
        return {a, b};
    }
};

}  // namespace

void visible_circle(dc_t *dc, int cx, int cy, int radius, color_t color, span_op span) {
    if (color.alpha == 0 || radius < 0) return;
    const std::int64_t h = dc->height;
    const std::int64_t ccy = cy;
    // Every row of the circle inside the DC: the plain walk visits nothing in vain.
    if (radius == 0 || (ccy - radius >= 0 && ccy + radius < h)) return circle(dc, cx, cy, radius, color, span);
    const circle_walk w{radius};
    const std::int64_t last = w.last_x();
    // The x whose spans reach a row inside: rows cy + x and cy - x, then
    // rows cy + y and cy - y, each an interval of x.
    std::pair<std::int64_t, std::int64_t> parts[4] = {
        {-ccy, h - 1 - ccy},
        {ccy - (h - 1), ccy},
        w.x_range_of_y(-ccy, h - 1 - ccy, last),
        w.x_range_of_y(ccy - (h - 1), ccy, last),
    };
    for (auto &p : parts) p = {std::max<std::int64_t>(p.first, 0), std::min(p.second, last)};
    std::sort(std::begin(parts), std::end(parts));
    std::int64_t next = 0;  // the first x not walked yet
    for (const auto &[from, to] : parts) {
        const std::int64_t start = std::max(from, next);
        if (start > to) continue;
        std::int64_t y = w.y_at(start);
        std::int64_t d = w.decision(start, y);
        for (std::int64_t x = start; x <= to; ++x) {
            draw_circle(dc, cx, cy, static_cast<int>(x), static_cast<int>(y), color, span);
            if (d >= 0) {
                d += 4 * (x - y) + 10;
                --y;
            } else {
                d += 4 * x + 6;
            }
        }
        next = to + 1;
    }
    // The loop's last step, and the diagonal point it may end on.
    const std::int64_t y_last = w.y_at(last);
    const std::int64_t y_end = y_last - (w.decision(last, y_last) >= 0 ? 1 : 0);
    if (last + 1 == y_end) draw_circle(dc, cx, cy, static_cast<int>(y_end), static_cast<int>(y_end), color, span);
}

void ellipse(dc_t *dc, int cx, int cy, int rx, int ry, color_t color, span_op span) {
    if (color.alpha == 0) return;
    // A negative ry would start neither region; returning at once also keeps
    // it out of the products below.
    if (ry < 0 || ry > max_ellipse_radius || rx > max_ellipse_radius || rx < -max_ellipse_radius)
        return;
    // Midpoint walk of one quadrant. The quantities grow with rx * rx * ry,
    // which overflows 32 bits from radii of about 913 on; in 64 bits the walk
    // is the same and stays exact up to max_ellipse_radius.
    const std::int64_t a = std::int64_t{rx} * rx;
    const std::int64_t b = std::int64_t{ry} * ry;
    const std::int64_t two_a = 2 * a;
    const std::int64_t two_b = 2 * b;
    std::int64_t x = 0;
    std::int64_t y = ry;
    std::int64_t d = b - a * ry + a / 4;
    std::int64_t dx = 0;
    std::int64_t dy = two_a * ry;
    auto report = [&] {
        centred_span(dc, cx, x, std::int64_t{cy} + y, color, span);
        centred_span(dc, cx, x, std::int64_t{cy} - y, color, span);
    };

    // Region 1: x advances at every point, y at some (a tie keeps y).
    while (dx < dy) {
        dx += two_b;
        report();
        if (d > 0) {
            dy -= two_a;
            d -= dy;
            --y;
        }
        ++x;
        d += dx + b;
    }
    // Both quotients truncate toward zero, as integer division does.
    d += 3 * (a - b) / 2 - (dx + dy) / 2;
    // Region 2: y advances at every point, x at some (a tie keeps x).
    while (y >= 0) {
        dy -= two_a;
        report();
        if (d < 0) {
            dx += two_b;
            d += dx;
            ++x;
        }
        --y;
        d += a - dy;
    }
}

}  // namespace zr

using namespace zr;

extern "C" {

ZR_API void zr_rectangle(dc_t *dc, int x1, int y1, int x2, int y2) {
    const int left = std::min(x1, x2);
    const int right = std::max(x1, x2);
    const int top = std::min(y1, y2);
    const int bottom = std::max(y1, y2);
    const color_t brush = dc->brush_color;
    const color_t pen = dc->pen_color;
    if (brush.alpha != 0 && !fast_fill_rect(dc, left, top, right, bottom, brush)) {
        // zr_hline rejects rows outside the DC; walking only the rows inside
        // gives the same calls, and keeps huge rectangles cheap and the row
        // counter clear of INT_MAX.
        const int last = std::min(bottom, dc->height - 1);
        for (int y = std::max(top, 0); y <= last; ++y) zr_hline(dc, left, right, y, brush);
    }
    if (pen.alpha != 0) {
        zr_hline(dc, left, right, top, pen);
        zr_hline(dc, left, right, bottom, pen);
        zr_vline(dc, left, top, bottom, pen);
        zr_vline(dc, right, top, bottom, pen);
    }
}

ZR_API void zr_invrectangle(dc_t *dc, int x1, int y1, int x2, int y2) {
    // Pixels outside the DC would be passed over by a clipped read and
    // write, so the loops are cut to the DC once and the slots called
    // directly: the same calls, without per-pixel bounds tests.
    const int left = std::max(std::min(x1, x2), 0);
    const int right = std::min(std::max(x1, x2), dc->width - 1);
    const int top = std::max(std::min(y1, y2), 0);
    const int bottom = std::min(std::max(y1, y2), dc->height - 1);
    // A read that fills only red, green and blue (device formats) or nothing
    // at all (placeholder formats) still hands a defined colour on.
    color_t work = opaque_black;
    for (int y = top; y <= bottom; ++y) {
        for (int x = left; x <= right; ++x) {
            dc->get_pixel(dc, x, y, &work);
            work.red = static_cast<unsigned char>(~work.red);
            work.green = static_cast<unsigned char>(~work.green);
            work.blue = static_cast<unsigned char>(~work.blue);
            dc->set_pixel(dc, x, y, work);
        }
    }
}

ZR_API void zr_circle(dc_t *dc, int cx, int cy, int radius) {
    if (radius == 0 || smooth_circle(dc, cx, cy, radius)) return;
    visible_circle(dc, cx, cy, radius, dc->brush_color, zr_hline);
    visible_circle(dc, cx, cy, radius, dc->pen_color, circle_dot);
}

ZR_API void zr_ellipse(dc_t *dc, int cx, int cy, int rx, int ry) {
    if (rx == 0 || ry == 0 || smooth_ellipse(dc, cx, cy, rx, ry)) return;
    ellipse(dc, cx, cy, rx, ry, dc->brush_color, zr_hline);
    ellipse(dc, cx, cy, rx, ry, dc->pen_color, circle_dot);
}

}  // extern "C"
