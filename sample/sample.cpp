// sample: the zr demo. Opens /dev/fb and shows, for ever, lines, random
// rectangles, circles, ellipses and the five BMP test images of the working
// directory (or, for those it lacks, the installed ones), pausing between
// steps so that they can be watched.
#include "zr.h"

#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

// The installed images' folder relative to the installed program's own.
#ifndef ZR_SAMPLE_IMAGES_FROM_BIN
#define ZR_SAMPLE_IMAGES_FROM_BIN ""
#endif

namespace {

dc_t *dc_screen;
int view_width, view_height, half_width, half_height;

// "called from main"
constexpr const char *from_main = "\xb8\xde\xc0\xce\xbf\xa1\xbc\xad \xc8\xa3\xc3\xe2";

constexpr const char *bitmap_files[] = {"bpp-01.bmp", "bpp-04.bmp", "bpp-08.bmp", "bpp-24.bmp", "bpp-32.bmp"};

// The installed images' folder with a trailing '/', found from this
// program's path; empty when that path cannot be read.
std::string installed_images;

void find_installed_images() {
    const std::string from_bin = ZR_SAMPLE_IMAGES_FROM_BIN;
    if (from_bin.empty()) return;
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self);
    if (n <= 0 || n == static_cast<ssize_t>(sizeof self)) return;
    const std::string exe(self, static_cast<std::size_t>(n));
    installed_images = exe.substr(0, exe.rfind('/') + 1) + from_bin + "/";
}

// One fresh rand() value modulo n. A screen one pixel wide makes n 0 for
// the radii; the value is still drawn, so the sequence stays the same, and 0 is used.
int random_below(int n) {
    const int r = std::rand();
    return n > 0 ? r % n : 0;
}

// Three fresh values, red first, then green, then blue.
color_t random_light_color() {
    const int red = 128 + random_below(128);
    const int green = 128 + random_below(128);
    const int blue = 128 + random_below(128);
    return zr_color(red, green, blue, 255);
}

// The moiré pattern of lines from the corner and across the screen.
void line_pattern() {
    for (int off = 0; off < view_width; off += 10) {
        zr_line(dc_screen, 0, 0, off, view_width);
        zr_line(dc_screen, 0, 0, view_width, off);
        zr_line(dc_screen, off, 0, off, view_width);
        zr_line(dc_screen, 0, off, view_width, off);
        usleep(10000);
    }
}

void test_line() {
    zr_clear(dc_screen, zr_color(0, 0, 0, 255));
    zr_pen_color(dc_screen, zr_color(255, 255, 255, 255));
    line_pattern();
    zr_pen_color(dc_screen, zr_color(0, 0, 0, 255));
    line_pattern();

    const int x = random_below(view_width);
    const int y = random_below(view_height);
    zr_move_to(dc_screen, x, y);
    for (int i = 0; i < 50; ++i) {
        zr_pen_color(dc_screen, random_light_color());
        const int to_x = random_below(view_width);
        const int to_y = random_below(view_height);
        zr_line_to(dc_screen, to_x, to_y);
        usleep(50000);
    }
}

// Pen and brush for one shape: mode 0 outline only, 1 fill only, 2 both.
void random_shape_colors() {
    const color_t none = zr_color(0, 0, 0, 0);
    switch (random_below(3)) {
        case 0:
            zr_pen_color(dc_screen, random_light_color());
            zr_brush_color(dc_screen, none);
            break;
        case 1:
            zr_pen_color(dc_screen, none);
            zr_brush_color(dc_screen, random_light_color());
            break;
        default:
            zr_pen_color(dc_screen, random_light_color());
            zr_brush_color(dc_screen, random_light_color());
            break;
    }
}

void test_rectangle() {
    zr_clear(dc_screen, zr_color(0, 0, 0, 255));
    zr_brush_color(dc_screen, zr_color(0, 0, 0, 0));
    for (int i = 0; i < 50; ++i) {
        const int x1 = random_below(view_width);
        const int y1 = random_below(view_height);
        const int x2 = random_below(view_width);
        const int y2 = random_below(view_height);
        random_shape_colors();
        zr_rectangle(dc_screen, x1, y1, x2, y2);
        usleep(50000);
    }
}

void test_circle() {
    zr_clear(dc_screen, zr_color(0, 0, 0, 255));
    for (int i = 0; i < 50; ++i) {
        const int cx = random_below(view_width);
        const int cy = random_below(view_height);
        const int radius = random_below(half_width);
        random_shape_colors();
        zr_circle(dc_screen, cx, cy, radius);
        usleep(50000);
    }
}

void test_ellipse() {
    zr_clear(dc_screen, zr_color(0, 0, 0, 255));
    for (int i = 0; i < 50; ++i) {
        const int cx = random_below(view_width);
        const int cy = random_below(view_height);
        const int rx = random_below(half_width);
        const int ry = random_below(half_height);
        random_shape_colors();
        zr_ellipse(dc_screen, cx, cy, rx, ry);
        usleep(50000);
    }
}

// Shows one BMP file centred on the screen, from the working directory or,
// when it is not there, from the installed images. A file that cannot be
// loaded is reported under its name and skipped without a pause.
void view_bmp(const char *name) {
    const char *path = name;
    std::string installed;
    if (!installed_images.empty() && access(name, F_OK) != 0) {
        installed = installed_images + name;
        if (access(installed.c_str(), F_OK) == 0) path = installed.c_str();
    }
    bmp_t *bmp = zr_bmp_open(path);
    if (bmp == nullptr) {
        zr_print_error(path);
        return;
    }
    const int w = bmp->dc.width, h = bmp->dc.height;
    zr_bitblt(dc_screen, half_width - w / 2, half_height - h / 2, &bmp->dc, 0, 0, w, h);
    zr_bmp_close(bmp);
    usleep(300000);
}

void test_bitmap() {
    for (const char *file : bitmap_files) view_bmp(file);
}

}  // namespace

int main() {
    // Error lines show at once even when the output is a pipe or a file:
    // the program only ever ends from outside.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    if (zr_init("/dev/fb") != 0) {
        zr_print_error(from_main);
        return 0;
    }
    dc_screen = zr_get_screen_dc();
    if (dc_screen == nullptr) {
        zr_print_error(from_main);
        zr_close();
        return 0;
    }
    view_width = dc_screen->width;
    view_height = dc_screen->height;
    half_width = view_width / 2;
    half_height = view_height / 2;

    find_installed_images();
    std::srand(static_cast<unsigned>(std::time(nullptr) + getpid()));
    for (;;) {
        test_line();
        test_rectangle();
        test_circle();
        test_ellipse();
        test_bitmap();
    }
}
