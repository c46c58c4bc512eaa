// Colours, the drawing state, clipped pixels, clamped spans and lines.
// Everything here reaches the pixels through the DC's slots, after making
// the coordinates safe for them: the slots never clip.
#include "draw.hpp"
#include "fast_paths.hpp"
#include "smooth.hpp"
#include "zr_internal.hpp"

namespace {

// Clamps v into 0 .. limit - 1 (limit > 0).
int clamp_to(int v, int limit) {
    if (v < 0) return 0;
    if (v >= limit) return limit - 1;
    return v;
}

}  // namespace

extern "C" {

ZR_API color_t zr_color(int red, int green, int blue, int alpha) {
    // Each channel keeps the low 8 bits of its argument: 300 gives 44, -1 gives 255.
    return color_t{static_cast<unsigned char>(red & 0xFF), static_cast<unsigned char>(green & 0xFF),
                   static_cast<unsigned char>(blue & 0xFF), static_cast<unsigned char>(alpha & 0xFF)};
}

ZR_API void zr_set_alpha(color_t *color, int alpha) {
    color->alpha = static_cast<unsigned char>(alpha < 0 ? 0 : alpha > 255 ? 255 : alpha);
}

ZR_API void zr_clear(dc_t *dc, color_t color) { dc->clear(dc, color); }

ZR_API void zr_pen_color(dc_t *dc, color_t color) { dc->pen_color = color; }

ZR_API void zr_brush_color(dc_t *dc, color_t color) { dc->brush_color = color; }

ZR_API void zr_move_to(dc_t *dc, int x, int y) {
    dc->coor_x = x;
    dc->coor_y = y;
}

ZR_API void zr_set_pixel(dc_t *dc, int x, int y, color_t color) {
    if (x < 0 || x >= dc->width || y < 0 || y >= dc->height) return;
    dc->set_pixel(dc, x, y, color);
}

ZR_API void zr_get_pixel(dc_t *dc, int x, int y, color_t *out) {
    if (x < 0 || x >= dc->width || y < 0 || y >= dc->height) return;
    dc->get_pixel(dc, x, y, out);
}

ZR_API void zr_hline(dc_t *dc, int x1, int x2, int y, color_t color) {
    // A DC without columns has no pixel to clamp to.
    if (y < 0 || y >= dc->height || dc->width <= 0) return;
    const int a = clamp_to(x1 < x2 ? x1 : x2, dc->width);
    const int b = clamp_to(x1 < x2 ? x2 : x1, dc->width);
    dc->hline(dc, a, b, y, color);
}

ZR_API void zr_vline(dc_t *dc, int x, int y1, int y2, color_t color) {
    if (x < 0 || x >= dc->width || dc->height <= 0) return;
    const int a = clamp_to(y1 < y2 ? y1 : y2, dc->height);
    const int b = clamp_to(y1 < y2 ? y2 : y1, dc->height);
    dc->vline(dc, x, a, b, color);
}

ZR_API void zr_line_to(dc_t *dc, int x, int y) {
    if (zr::smooth_line_to(dc, x, y)) return;
    const int x0 = dc->coor_x;
    const int y0 = dc->coor_y;
    const color_t c = dc->pen_color;
    dc->coor_x = x;
    dc->coor_y = y;
    if (x == x0) return zr_vline(dc, x0, y0, y, c);
    if (y == y0) return zr_hline(dc, x0, x, y0, c);

    if (zr::fast_sloped_line(dc, x0, y0, x, y, c)) return;
    zr::walk_sloped_line_visible(x0, y0, x, y, dc->width, dc->height,
                                 [dc, c](int px, int py) { zr_set_pixel(dc, px, py, c); });
}

ZR_API void zr_line(dc_t *dc, int x1, int y1, int x2, int y2) {
    zr_move_to(dc, x1, y1);
    zr_line_to(dc, x2, y2);
}

}  // extern "C"
