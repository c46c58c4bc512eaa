// Rectangles, circles, ellipses and inversion. Every pixel goes through the
// clipped operations of draw.cpp or through slots called with coordinates
// already cut to the DC, so shapes may lie anywhere.
#include "shapes.hpp"

#include "fast_paths.hpp"
#include "zr_internal.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>

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
    if (radius == 0) return;
    circle(dc, cx, cy, radius, dc->brush_color, zr_hline);
    circle(dc, cx, cy, radius, dc->pen_color, circle_dot);
}

ZR_API void zr_ellipse(dc_t *dc, int cx, int cy, int rx, int ry) {
    if (rx == 0 || ry == 0) return;
    ellipse(dc, cx, cy, rx, ry, dc->brush_color, zr_hline);
    ellipse(dc, cx, cy, rx, ry, dc->pen_color, circle_dot);
}

}  // extern "C"
