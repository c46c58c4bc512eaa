// bounce: a small animation for tear-free presentation. Shapes bounce over a
// backdrop drawn into a bitmap once; every frame is drawn whole through the
// screen DC and shown with zr_present. A frame counter and a Korean greeting
// are written over it with a TrueType font where one is installed, and a PNG
// logo with soft edges glides across, blended by zr_bitblt. The shapes are
// smooth (anti-aliased): balls with a 3-pixel pen, a star filled with a
// radial gradient that turns at sub-pixel positions, and a spinning arc.
// Prints one line per frame and, at the start, how the picture reaches the
// screen.
//
// usage: bounce [--frames N] [--single | --shadow | --triple] [--vsync] [--console]
//               [--rotate 90|180|270|panel] [DEVICE]
// --rotate turns the picture clockwise on its way to the panel (panel: as the
// panel's own orientation asks); the animation is drawn as usual, in the
// turned size. DEVICE defaults to the first of /dev/dri/card0, /dev/fb0 and /dev/fb that exists.
#include "zr.h"

#include <limits.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#ifndef ZR_SAMPLE_IMAGES_FROM_BIN
#define ZR_SAMPLE_IMAGES_FROM_BIN ""
#endif

namespace {

const char *default_device() {
    for (const char *path : {"/dev/dri/card0", "/dev/fb0", "/dev/fb"})
        if (access(path, F_OK) == 0) return path;
    return "/dev/fb";
}

const char *method_name(int method) {
    switch (method) {
        case ZR_PRESENT_FRONT: return "front buffer";
        case ZR_PRESENT_SHADOW: return "shadow copy";
        case ZR_PRESENT_PAN: return "pan";
        case ZR_PRESENT_FLIP: return "page flip";
        default: return "?";
    }
}

// The backdrop: vertical bands of colour with a grid over them.
bmp_t *make_backdrop(int width, int height) {
    bmp_t *b = zr_bmp_create(width, height, 24, 0);
    if (b == nullptr) return nullptr;
    for (int x = 0; x < width; ++x) {
        const int band = x * 6 / (width > 0 ? width : 1);
        const color_t c = zr_color(40 + band * 30, 60 + (5 - band) * 25, 110, 255);
        for (int y = 0; y < height; ++y) b->dc.set_pixel(&b->dc, x, y, c);
    }
    for (int y = 0; y < height; y += 32)
        for (int x = 0; x < width; ++x) b->dc.set_pixel(&b->dc, x, y, zr_color(20, 20, 30, 255));
    return b;
}

// The text font: DejaVu Sans or Nanum Gothic at 24 pixels when installed
// (Nanum Gothic, which has Hangul, first), else the built-in font. The
// built-in font has ASCII only: the Korean line then shows '?' for each
// syllable, which is acceptable for a demo.
zr_font_t *open_text_font() {
    for (const char *path : {"/usr/share/fonts/truetype/nanum/NanumGothic.ttf",
                             "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"})
        if (access(path, R_OK) == 0)
            if (zr_font_t *f = zr_font_open(path, 24)) return f;
    return zr_font_default();
}

// The logo (zr-logo.png, 64 x 64 with alpha): from the working directory,
// else beside the program (a build folder), else the installed images'
// folder. Null when none loads: the demo runs without it.
bmp_t *open_logo() {
    const char *name = "zr-logo.png";
    if (bmp_t *b = zr_image_open(name)) return b;
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self);
    if (n <= 0 || n == static_cast<ssize_t>(sizeof self)) return nullptr;
    const std::string exe(self, static_cast<std::size_t>(n));
    const std::string dir = exe.substr(0, exe.rfind('/') + 1);
    if (bmp_t *b = zr_image_open((dir + name).c_str())) return b;
    const std::string installed = ZR_SAMPLE_IMAGES_FROM_BIN;
    return installed.empty() ? nullptr : zr_image_open((dir + installed + "/" + name).c_str());
}

// "안녕하세요, zr" in UTF-8.
constexpr const char greeting[] = "\xEC\x95\x88\xEB\x85\x95\xED\x95\x98\xEC\x84\xB8\xEC\x9A\x94, zr";

// Text with a dark shadow one pixel down and right, readable over any band.
void shadowed_text(dc_t *dc, zr_font_t *font, int x, int y, const char *utf8) {
    zr_text_out(dc, font, x + 1, y + 1, utf8, zr_color(0, 0, 0, 160));
    zr_text_out(dc, font, x, y, utf8, zr_color(255, 255, 255, 255));
}

struct ball {
    int x, y, dx, dy, r;
    color_t pen, brush;
};

// A ten-point star about (cx, cy), turned by angle (radians), its points
// in sub-pixel units so that it turns smoothly; filled with a radial
// gradient from a white middle to orange tips.
void turning_star(dc_t *dc, int cx, int cy, int r, double angle) {
    zr_point_t p[10];
    for (int i = 0; i < 10; ++i) {
        const double t = angle + i * 3.14159265358979 / 5, radius = (i % 2 == 0 ? r : r * 0.45) * ZR_SUBPIXEL;
        p[i] = {static_cast<int>(std::lround(cx * ZR_SUBPIXEL + radius * std::cos(t))),
                static_cast<int>(std::lround(cy * ZR_SUBPIXEL + radius * std::sin(t)))};
    }
    const zr_gradient_stop_t stops[] = {{0, zr_color(255, 255, 240, 255)}, {255, zr_color(240, 120, 20, 230)}};
    zr_brush_gradient(dc, ZR_GRADIENT_RADIAL, cx, cy, cx + r, cy, stops, 2);
    zr_pen_color(dc, zr_color(60, 20, 0, 255));
    zr_pen_width(dc, 2);
    zr_pen_join(dc, ZR_JOIN_ROUND);
    zr_polygon_subpixel(dc, p, 10);
    zr_brush_gradient(dc, ZR_GRADIENT_NONE, 0, 0, 0, 0, nullptr, 0);
}

}  // namespace

// The ZR_INIT_ROTATE_* flag of a --rotate argument; -1 for none.
int rotation_flag(const char *arg) {
    if (std::strcmp(arg, "90") == 0) return ZR_INIT_ROTATE_90;
    if (std::strcmp(arg, "180") == 0) return ZR_INIT_ROTATE_180;
    if (std::strcmp(arg, "270") == 0) return ZR_INIT_ROTATE_270;
    if (std::strcmp(arg, "panel") == 0) return ZR_INIT_ROTATE_PANEL;
    return -1;
}

int main(int argc, char **argv) {
    long frames = -1;
    int flags = ZR_INIT_DOUBLE_BUFFER;
    const char *device = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc) {
            frames = std::atol(argv[++i]);
        } else if (std::strcmp(argv[i], "--single") == 0) {
            flags &= ~(ZR_INIT_DOUBLE_BUFFER | ZR_INIT_TRIPLE_BUFFER);
        } else if (std::strcmp(argv[i], "--shadow") == 0) {
            flags = (flags & ~(ZR_INIT_DOUBLE_BUFFER | ZR_INIT_TRIPLE_BUFFER)) | ZR_INIT_SHADOW;
        } else if (std::strcmp(argv[i], "--triple") == 0) {
            flags |= ZR_INIT_TRIPLE_BUFFER;
        } else if (std::strcmp(argv[i], "--vsync") == 0) {
            flags |= ZR_INIT_VSYNC;
        } else if (std::strcmp(argv[i], "--console") == 0) {
            flags |= ZR_INIT_CONSOLE;
        } else if (std::strcmp(argv[i], "--rotate") == 0 && i + 1 < argc && rotation_flag(argv[i + 1]) >= 0) {
            flags = (flags & ~(ZR_INIT_ROTATE_270 | ZR_INIT_ROTATE_PANEL)) | rotation_flag(argv[++i]);
        } else if (argv[i][0] != '-' && device == nullptr) {
            device = argv[i];
        } else {
            std::fprintf(stderr,
                         "usage: bounce [--frames N] [--single | --shadow | --triple] [--vsync] [--console] "
                         "[--rotate 90|180|270|panel] [DEVICE]\n");
            return 2;
        }
    }
    if (device == nullptr) device = default_device();
    if (zr_init_ex(device, flags) != ERR_NONE) {
        zr_print_error(device);
        return 1;
    }
    zr_display_info_t info{};
    zr_display_info(&info);
    std::printf("bounce: %s, %s, %d buffer(s), %dx%d at %d bits\n", device,
                info.backend == ZR_BACKEND_DRM ? "DRM" : "fbdev", info.buffers, zr_fb.width, zr_fb.height,
                zr_fb.bits_per_pixel);
    std::printf("bounce: present by %s%s\n", method_name(info.method), info.vsync ? ", on the vertical blank" : "");
    if (info.rotation != 0)
        std::printf("bounce: turned %d degrees onto the %dx%d panel %s\n", info.rotation, info.panel_width,
                    info.panel_height, info.rotation_method == ZR_ROTATE_PLANE ? "by the DRM plane" : "in software");
    std::fflush(stdout);
    dc_t *screen = zr_get_screen_dc();
    bmp_t *backdrop = screen != nullptr ? make_backdrop(screen->width, screen->height) : nullptr;
    if (screen == nullptr || backdrop == nullptr) {
        zr_print_error(device);
        zr_bmp_close(backdrop);
        zr_release_dc(screen);
        zr_close();
        return 1;
    }
    const int w = screen->width, h = screen->height;
    zr_font_t *font = open_text_font();  // null only without memory: no text then
    const int line = font != nullptr ? zr_font_metrics(font, nullptr, nullptr, nullptr) : 0;
    bmp_t *logo = open_logo();
    ball balls[] = {
        {w / 4, h / 3, 7, 5, h / 8 + 4, zr_color(255, 255, 255, 255), zr_color(220, 40, 40, 255)},
        {w / 2, h / 2, -5, 6, h / 10 + 3, zr_color(0, 0, 0, 255), zr_color(250, 210, 40, 255)},
        {3 * w / 4, h / 4, 4, -7, h / 12 + 2, zr_color(255, 255, 255, 255), zr_color(40, 160, 240, 255)},
    };
    int status = 0;
    zr_antialias(screen, 1);
    for (long frame = 1; frames < 0 || frame <= frames; ++frame) {
        zr_bitblt(screen, 0, 0, &backdrop->dc, 0, 0, w, h);
        turning_star(screen, w / 2, h / 2, h / 5, frame * 0.02);
        // A spinning arc in the top right corner, with round ends.
        zr_pen_color(screen, zr_color(255, 255, 255, 200));
        zr_pen_width(screen, 6);
        zr_pen_cap(screen, ZR_CAP_ROUND);
        zr_arc(screen, w - h / 8 - 12, h / 8 + 12, h / 8, static_cast<int>(frame * 7 % 360),
               static_cast<int>(frame * 7 % 360 + 100 + frame % 160));
        zr_pen_cap(screen, ZR_CAP_BUTT);
        zr_pen_width(screen, 3);
        for (ball &b : balls) {
            zr_pen_color(screen, b.pen);
            zr_brush_color(screen, b.brush);
            zr_circle(screen, b.x, b.y, b.r);
            b.x += b.dx;
            b.y += b.dy;
            if (b.x < b.r || b.x > w - b.r) b.dx = -b.dx;
            if (b.y < b.r || b.y > h - b.r) b.dy = -b.dy;
        }
        // A bar that sweeps across: torn frames show it broken.
        zr_brush_color(screen, zr_color(255, 255, 255, 255));
        zr_pen_color(screen, zr_color(0, 0, 0, 255));
        const int bar = static_cast<int>(frame * 9 % (w > 16 ? w - 16 : 1));
        zr_rectangle(screen, bar, 0, bar + 15, h - 1);
        if (logo != nullptr) {
            // Along the bottom edge, through the bands and over the bar.
            const int lw = logo->dc.width, lh = logo->dc.height;
            const int x = static_cast<int>(frame * 3 % (w + lw)) - lw;
            zr_bitblt(screen, x, h - lh - 12, &logo->dc, 0, 0, lw, lh);
        }
        if (font != nullptr) {
            char counter[32];
            std::snprintf(counter, sizeof counter, "frame %ld", frame);
            shadowed_text(screen, font, 12, 8, counter);
            shadowed_text(screen, font, 12, 8 + line, greeting);
        }
        const int code = zr_present(nullptr, 0);
        if (code == ERR_SCREEN_AWAY) {  // another virtual terminal has the screen: wait for it
            usleep(50000);
            continue;
        }
        if (code != ERR_NONE) {
            zr_print_error("zr_present");
            status = 1;
            break;
        }
        std::printf("frame %ld\n", frame);
        std::fflush(stdout);
        // Paced here only where zr_present does not wait for the vertical blank.
        if (!info.vsync && (info.method == ZR_PRESENT_FRONT || info.method == ZR_PRESENT_SHADOW)) usleep(16000);
    }
    zr_font_close(font);
    zr_bmp_close(logo);
    zr_bmp_close(backdrop);
    zr_release_dc(screen);
    zr_close();
    return status;
}
