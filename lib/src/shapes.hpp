// Rasterisers of circles and ellipses. They walk the curve and hand every
// span they find to a span operation, so one walk serves the fill (zr_hline)
// and the outline (circle_dot); tests hand in their own operation.
#pragma once

#include "zr.h"

namespace zr {

// Anything with the arguments of zr_hline: dc, first column, last column, row, colour.
using span_op = void (*)(dc_t *dc, int x1, int x2, int y, color_t color);

// Largest radius the ellipse walk accepts: its 64-bit quantities grow with
// the cube of the radii and stay far from overflow up to here.
inline constexpr int max_ellipse_radius = 1 << 19;

// Reports the spans of a circle about (cx, cy); nothing when the colour's
// alpha is 0 or the radius is negative.
void circle(dc_t *dc, int cx, int cy, int radius, color_t color, span_op span);

// The spans of circle() that can reach a row of the DC, in the same order:
// the walk skips the stretches whose four rows all lie outside, so a huge
// circle costs what its visible part costs. Spans of a visited point on other
// rows are still reported (the span operation drops them).
void visible_circle(dc_t *dc, int cx, int cy, int radius, color_t color, span_op span);

// Reports the spans of an axis-aligned ellipse; nothing when the colour's
// alpha is 0, ry is negative or a radius exceeds max_ellipse_radius. A
// negative rx draws as -rx.
void ellipse(dc_t *dc, int cx, int cy, int rx, int ry, color_t color, span_op span);

// The four spans of the circle point (x, y): rows cy + y, cy - y over
// cx - x .. cx + x, then rows cy + x, cy - x over cx - y .. cx + y.
void draw_circle(dc_t *dc, int cx, int cy, int x, int y, color_t color, span_op span);

// The outline's span operation: only the two end pixels of the span.
void circle_dot(dc_t *dc, int x1, int x2, int y, color_t color);

}  // namespace zr
