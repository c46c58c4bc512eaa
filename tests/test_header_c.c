/* The public header compiles as strict C99 and links from C. */
#include "zr.h"

#include <stdio.h>

int main(void) {
    color_t c = zr_color(300, -1, 0, 256);
    dc_t *dc;
    bmp_t *bmp;
    if (c.red != 44 || c.green != 255 || c.blue != 0 || c.alpha != 0) return 1;
    zr_set_alpha(&c, 500);
    if (c.alpha != 255) return 2;
    bmp = zr_bmp_create(4, 4, 24, 0);
    if (bmp != NULL) {
        dc = &bmp->dc;
        zr_set_pixel(dc, 1, 1, c);
        {
            /* The smooth shapes' records and calls, from C. */
            const zr_point_t triangle[3] = {{0, 0}, {3 * ZR_SUBPIXEL, 1}, {1, 3 * ZR_SUBPIXEL}};
            const zr_gradient_stop_t stops[2] = {{0, {0, 0, 0, 255}}, {255, {255, 255, 255, 255}}};
            zr_antialias(dc, 1);
            zr_pen_width(dc, 2);
            zr_brush_gradient(dc, ZR_GRADIENT_LINEAR, 0, 0, 3, 3, stops, 2);
            zr_polygon_subpixel(dc, triangle, 3);
        }
        zr_bmp_close(bmp);
    }
    if (zr_init("/nonexistent/zr-fb") != ERR_NO_DEVICE) return 3;
    if (zr_error_string() == NULL) return 4;
    printf("ok\n");
    return 0;
}
