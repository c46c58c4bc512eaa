// zr-scene: draws one fixed picture with every family of operations of the
// library, shows it with zr_present, optionally saves the buffer drawn, and
// exits.
//
//   zr-scene [--dump FILE] [--device PATH] [--double] [--vsync] [--console]
//            [--rotate 90|180|270] [--no-present] [--ready FILE --until FILE] [IMAGE_DIR]
//
// PATH: a framebuffer or a DRM node (default /dev/fb). The switches are
// zr_init_ex's flags (turned, the picture is drawn at the turned size);
// --no-present is a program written before zr_present: zr_init, draw, never
// present. --ready, --until: guest.hpp. The picture is the same on every run
// and device of one geometry and depth, laid out for 800 x 600 (other sizes
// clip it), with the demo's five BMP files from IMAGE_DIR (default: the
// working directory). Standard output carries only what the library prints.
#include "guest.hpp"
#include "scene_layout.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

color_t rgb(int r, int g, int b) { return zr_color(r, g, b, 255); }
const color_t off = zr_color(0, 0, 0, 0);  // alpha 0: switches a pen or brush off

// Raw bytes, written straight into a device-format DC's memory: they reach
// the screen only by the byte copies, whatever the depth.
void fill_bytes(dc_t *dc, int rows, std::uint8_t (*pattern)(int, int)) {
    for (int y = 0; y < rows; ++y) {
        unsigned char *row = dc->mapped + static_cast<std::size_t>(y) * dc->bytes_per_line;
        for (int i = 0; i < dc->bytes_per_line; ++i) row[i] = pattern(i, y);
    }
}

// The background: zero bytes, the background colour through the clear
// operation, then the raw band; shown by one whole-buffer copy.
void background(dc_t *screen) {
    zr_clear(screen, rgb(200, 200, 200));  // fully covered below
    dc_t *bg = zr_get_buffer_dc(-1, -1);
    if (bg == nullptr) return;
    std::memset(bg->mapped, 0, static_cast<std::size_t>(bg->bytes));
    zr_clear(bg, rgb(24, 40, 64));
    fill_bytes(bg, std::min(scene::band_rows, bg->height), scene::band_byte);
    zr_to_screen_dc(screen, bg);
    zr_release_dc(bg);
}

// Row copies: a buffer of raw bytes with a little drawing on it, whole and
// cut by the left edge, and a piece of the screen copied onto itself.
void row_copies(dc_t *screen) {
    dc_t *tile = zr_get_buffer_dc(scene::tile_width, scene::tile_height);
    if (tile == nullptr) return;
    fill_bytes(tile, tile->height, scene::tile_byte);
    zr_pen_color(tile, rgb(255, 255, 0));
    zr_brush_color(tile, off);
    zr_circle(tile, 80, 50, 40);
    zr_line(tile, 0, 0, 159, 99);
    for (const scene::copy &c : scene::tile_copies) zr_bitblt(screen, c.dx, c.dy, tile, c.sx, c.sy, c.w, c.h);
    zr_release_dc(tile);
    const scene::copy &s = scene::screen_copy;
    zr_bitblt(screen, s.dx, s.dy, screen, s.sx, s.sy, s.w, s.h);
}

// Lines: a fan of 48 slopes (all octants, both directions), the axis
// directions through the span operations, lines leaving the screen on every
// side, and one connected polyline. Integers only, so that every build and
// every CPU computes the same end points.
void lines(dc_t *screen) {
    const int cx = 130, cy = 200, r = 114, step = r / 6;
    for (int i = 0; i < 48; ++i) {
        // End points walk round a square about the centre, 12 to a side.
        const int t = (i % 12) * step;
        const int side[4][2] = {{r, -r + t}, {r - t, r}, {-r, r - t}, {-r + t, -r}};
        const int x = cx + side[i / 12][0], y = cy + side[i / 12][1];
        zr_pen_color(screen, rgb(100 + 3 * i, 255 - 5 * i, 60 + 4 * i));
        // Every other line is drawn from its outer end towards the centre.
        if (i % 2 == 0) {
            zr_line(screen, cx, cy, x, y);
        } else {
            zr_line(screen, x, y, cx, cy);
        }
    }
    zr_pen_color(screen, rgb(255, 255, 255));
    zr_line(screen, 10, 330, -300, 90);      // off the left edge
    zr_line(screen, 700, 70, 1200, 300);     // off the right edge
    zr_line(screen, 380, 300, 300, -50);     // off the top
    zr_line(screen, 560, 590, 640, 900);     // off the bottom
    zr_line(screen, -100, -100, 2000, 2000); // enters and leaves
    zr_line(screen, 5, 5, 5, 5);             // a single point
    zr_pen_color(screen, rgb(255, 120, 40));
    zr_move_to(screen, 270, 90);
    for (int k = 1; k <= 12; ++k) zr_line_to(screen, 270 + (k % 2) * 110, 90 + 19 * k);
}

// Spans with their ends off the screen, reversed ends, rows and columns
// wholly outside (dropped), and single pixels in and out of the screen.
void spans(dc_t *screen) {
    const int w = screen->width, h = screen->height;
    zr_hline(screen, -50, w + 50, 62, rgb(255, 0, 0));
    zr_hline(screen, w + 10, -10, 64, rgb(0, 255, 0));
    zr_hline(screen, 500, 300, 66, rgb(0, 0, 255));
    zr_hline(screen, 0, w, -1, rgb(255, 255, 255));
    zr_hline(screen, 0, w, h, rgb(255, 255, 255));
    zr_vline(screen, w - 3, -40, h + 40, rgb(255, 0, 255));
    zr_vline(screen, w - 5, h + 40, -40, rgb(0, 255, 255));
    zr_vline(screen, -1, 0, h, rgb(255, 255, 255));
    zr_vline(screen, w, 0, h, rgb(255, 255, 255));
    for (int x = -4; x < w + 4; x += 4) zr_set_pixel(screen, x, 68, rgb(255, 255, 255));
    zr_set_pixel(screen, 0, 0, rgb(255, 0, 0));
    zr_set_pixel(screen, w - 1, h - 1, rgb(0, 255, 0));
}

// The three shapes in the three modes (outline, fill, both), then shapes cut
// by the edges, degenerate ones and a rectangle given by reversed corners.
void shapes(dc_t *screen) {
    const color_t pen = rgb(255, 240, 120), brush = rgb(60, 160, 220);
    const color_t modes[3][2] = {{pen, off}, {off, brush}, {pen, brush}};
    for (int m = 0; m < 3; ++m) {
        zr_pen_color(screen, modes[m][0]);
        zr_brush_color(screen, modes[m][1]);
        const int y = 110 + 85 * m;
        zr_rectangle(screen, 430, y - 35, 510, y + 35);
        zr_circle(screen, 580, y, 38);
        zr_ellipse(screen, 680, y, 48, 25);
    }
    zr_pen_color(screen, rgb(255, 255, 255));
    zr_brush_color(screen, rgb(200, 60, 60));
    zr_circle(screen, screen->width + 10, 250, 60);
    zr_ellipse(screen, 400, -10, 70, 30);
    zr_rectangle(screen, screen->width + 40, 400, screen->width - 30, 340);
    zr_circle(screen, 300, 300, 0);
    zr_ellipse(screen, 320, 300, 0, 20);
    zr_ellipse(screen, 340, 300, -12, 8);  // same as rx 12
    zr_rectangle(screen, 360, 320, 360, 320);
}

// Colour inversion, crossing several regions, and cut by the left edge.
void inversions(dc_t *screen) {
    zr_invrectangle(screen, 300, 40, 520, 120);
    zr_invrectangle(screen, 40, 380, -20, 330);
}

// A source whose every pixel carries its own alpha: the transfer blends from
// any DC of kind DC_TYPE_ALPHA and reads it only through get_pixel. Alpha
// runs from 0 at the left column to 255 at the right one.
void ramp_get_pixel(dc_t *dc, int x, int y, color_t *out) {
    *out = zr_color(255 - y * 2, 40 + x, 255 - x, x * 255 / (dc->width - 1));
}
void no_clear(dc_t *, color_t) {}
void no_set_pixel(dc_t *, int, int, color_t) {}
void no_span(dc_t *, int, int, int, color_t) {}

void blended_blit(dc_t *screen) {
    // A striped backdrop, so that every blend mixes two different colours.
    for (int x = 560; x < 760; ++x) {
        zr_vline(screen, x, 340, 439, rgb((x * 7) & 0xFF, (x * 3) & 0xFF, x % 2 != 0 ? 255 : 0));
    }
    dc_t ramp{};
    ramp.dc_type = DC_TYPE_ALPHA;
    ramp.width = 200;
    ramp.height = 100;
    ramp.dots = ramp.width * ramp.height;
    ramp.clear = no_clear;
    ramp.get_pixel = ramp_get_pixel;
    ramp.set_pixel = no_set_pixel;
    ramp.hline = no_span;
    ramp.vline = no_span;
    zr_bitblt(screen, 560, 340, &ramp, 0, 0, ramp.width, ramp.height);
}

// The demo's five images, each cut to a cell of a row along the bottom.
void bitmaps(dc_t *screen, const char *dir) {
    static const char *const names[] = {"bpp-01.bmp", "bpp-04.bmp", "bpp-08.bmp", "bpp-24.bmp",
                                        "bpp-32.bmp"};
    const int cell_w = 144, cell_h = 150, top = 450;
    for (int i = 0; i < 5; ++i) {
        const std::string path = std::string(dir) + "/" + names[i];
        bmp_t *bmp = zr_bmp_open(path.c_str());
        if (bmp == nullptr) {
            zr_print_error(names[i]);
            continue;
        }
        const int w = std::min(cell_w, bmp->dc.width), h = std::min(cell_h, bmp->dc.height);
        zr_bitblt(screen, 80 + i * cell_w + (cell_w - w) / 2, top + (cell_h - h) / 2, &bmp->dc,
                  (bmp->dc.width - w) / 2, (bmp->dc.height - h) / 2, w, h);
        zr_bmp_close(bmp);
    }
}

// Quarter turns of two asymmetric pictures: a buffer DC into the bottom-left
// corner, a 16-bit bitmap into the top-right corner.
void draw_marker(dc_t *dc, color_t ground) {
    zr_clear(dc, ground);
    zr_pen_color(dc, rgb(255, 255, 255));
    zr_brush_color(dc, rgb(230, 50, 50));
    zr_rectangle(dc, 0, 0, dc->width - 1, dc->height - 1);
    zr_rectangle(dc, 4, 4, 30, 20);  // marks the top-left corner
    zr_brush_color(dc, rgb(50, 200, 80));
    zr_ellipse(dc, dc->width / 2, dc->height / 2 + 10, dc->width / 4, dc->height / 5);
    zr_line(dc, 0, dc->height - 1, dc->width - 1, 0);
}

void quarter_turns(dc_t *screen) {
    if (dc_t *buffer = zr_get_buffer_dc(120, 80)) {
        draw_marker(buffer, rgb(30, 30, 110));
        zr_bitblt90(screen, buffer);
        zr_release_dc(buffer);
    }
    if (bmp_t *bmp = zr_bmp_create(100, 60, 16, 0)) {
        draw_marker(&bmp->dc, rgb(110, 30, 110));
        zr_bitblt270(screen, &bmp->dc);
        zr_bmp_close(bmp);
    }
}

bool dump(const dc_t *screen, const char *path) {
    FILE *f = std::fopen(path, "wb");
    if (f == nullptr) return false;
    const auto size = static_cast<std::size_t>(screen->bytes);
    const bool ok = std::fwrite(screen->mapped, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char **argv) {
    const char *dump_path = nullptr, *device = "/dev/fb", *ready_path = nullptr, *until_path = nullptr;
    const char *rotate = nullptr, *images = ".";
    int flags = 0;
    bool no_present = false;
    if (!guest::parse(argc, argv,
                      {{"--dump", 0, nullptr, &dump_path},
                       {"--device", 0, nullptr, &device},
                       {"--double", ZR_INIT_DOUBLE_BUFFER},
                       {"--vsync", ZR_INIT_VSYNC},
                       {"--console", ZR_INIT_CONSOLE},
                       {"--rotate", 0, nullptr, &rotate},
                       {"--no-present", 0, &no_present},
                       {"--ready", 0, nullptr, &ready_path},
                       {"--until", 0, nullptr, &until_path}},
                      &flags,
                      "[--dump FILE] [--device PATH] [--double] [--vsync] [--console] [--rotate 90|180|270] "
                      "[--no-present] [--ready FILE --until FILE] [IMAGE_DIR]",
                      &images))
        return 2;
    if (rotate != nullptr) {
        const int degrees = std::atoi(rotate);
        flags |= degrees == 90 ? ZR_INIT_ROTATE_90 : degrees == 180 ? ZR_INIT_ROTATE_180 : ZR_INIT_ROTATE_270;
    }
    dc_t *screen = guest::open_screen("zr-scene", device, flags);
    if (screen == nullptr) return 1;

    for (void (*draw)(dc_t *) : {background, row_copies, lines, spans, shapes, blended_blit, inversions}) draw(screen);
    bitmaps(screen, images);
    quarter_turns(screen);

    const bool dumped = dump_path == nullptr || dump(screen, dump_path);
    if (!dumped) std::fprintf(stderr, "zr-scene: cannot write %s\n", dump_path);
    // The whole screen changed: drivers that are told of damage (DIRTYFB)
    // show nothing without it, but what zr flushes by itself.
    const int presented = no_present ? ERR_NONE : zr_present(nullptr, 0);
    if (presented != ERR_NONE) {
        zr_print_error("zr-scene");
        std::fprintf(stderr, "zr-scene: zr_present failed with %d\n", presented);
    }
    guest::touch(ready_path);
    while (until_path != nullptr && !guest::exists(until_path)) usleep(20000);
    zr_release_dc(screen);
    zr_close();
    return dumped && presented == ERR_NONE ? 0 : 1;
}
