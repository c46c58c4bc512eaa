/* Opens the framebuffer, draws, loads a BMP file and shows it centred.
 * Usage: getting_started [DEVICE [IMAGE]]  (defaults: /dev/fb, image.bmp) */
#include <stdio.h>
#include <zr.h>

int main(int argc, char **argv) {
    const char *device = argc > 1 ? argv[1] : "/dev/fb";
    const char *image = argc > 2 ? argv[2] : "image.bmp";
    dc_t *screen;
    bmp_t *bmp;
    int status = 0;

    if (zr_init(device) != ERR_NONE) {
        zr_print_error(device); /* e.g. "[zr error:1]... (/dev/fb)" */
        return 1;
    }
    screen = zr_get_screen_dc();
    if (screen == NULL) { /* no memory, or a depth without pixel operations */
        zr_close();
        return 1;
    }

    /* A dark blue screen, a red rectangle with a white outline, a green
     * circle and a white diagonal line. */
    zr_clear(screen, zr_color(0, 0, 64, 255));
    zr_pen_color(screen, zr_color(255, 255, 255, 255));
    zr_brush_color(screen, zr_color(200, 0, 0, 255));
    zr_rectangle(screen, 10, 10, 110, 60);
    zr_brush_color(screen, zr_color(0, 160, 0, 255));
    zr_circle(screen, 160, 35, 25);
    zr_line(screen, 0, screen->height - 1, screen->width - 1, 0);

    /* A bitmap DC is a dc_t too: blit it to the middle of the screen. */
    bmp = zr_bmp_open(image);
    if (bmp == NULL) {
        zr_print_error(image); /* e.g. "[zr error:6]... (image.bmp)" */
        status = 1;
    } else {
        zr_bitblt(screen, (screen->width - bmp->dc.width) / 2, (screen->height - bmp->dc.height) / 2,
                  &bmp->dc, 0, 0, bmp->dc.width, bmp->dc.height);
        zr_bmp_close(bmp);
    }

    zr_release_dc(screen); /* screen DCs first: they point into the mapping */
    zr_close();
    return status;
}
