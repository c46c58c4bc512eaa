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
        zr_bmp_close(bmp);
    }
    if (zr_init("/nonexistent/zr-fb") != ERR_NO_DEVICE) return 3;
    if (zr_error_string() == NULL) return 4;
    printf("ok\n");
    return 0;
}
