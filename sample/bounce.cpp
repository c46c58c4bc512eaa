// bounce: a small animation for tear-free presentation. Shapes bounce over a
// backdrop drawn into a bitmap once; every frame is drawn whole through the
// screen DC and shown with zr_present. Prints one line per frame and, at the
// start, how the picture reaches the screen.
//
// usage: bounce [--frames N] [--single | --shadow | --triple] [--vsync] [--console] [DEVICE]
// DEVICE defaults to the first of /dev/dri/card0, /dev/fb0 and /dev/fb that exists.
#include "zr.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

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

struct ball {
    int x, y, dx, dy, r;
    color_t pen, brush;
};

}  // namespace

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
        } else if (argv[i][0] != '-' && device == nullptr) {
            device = argv[i];
        } else {
            std::fprintf(stderr,
                         "usage: bounce [--frames N] [--single | --shadow | --triple] [--vsync] [--console] [DEVICE]\n");
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
    ball balls[] = {
        {w / 4, h / 3, 7, 5, h / 8 + 4, zr_color(255, 255, 255, 255), zr_color(220, 40, 40, 255)},
        {w / 2, h / 2, -5, 6, h / 10 + 3, zr_color(0, 0, 0, 255), zr_color(250, 210, 40, 255)},
        {3 * w / 4, h / 4, 4, -7, h / 12 + 2, zr_color(255, 255, 255, 255), zr_color(40, 160, 240, 255)},
    };
    int status = 0;
    for (long frame = 1; frames < 0 || frame <= frames; ++frame) {
        zr_bitblt(screen, 0, 0, &backdrop->dc, 0, 0, w, h);
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
        if (zr_present(nullptr, 0) != ERR_NONE) {
            zr_print_error("zr_present");
            status = 1;
            break;
        }
        std::printf("frame %ld\n", frame);
        std::fflush(stdout);
        if (info.method == ZR_PRESENT_FRONT || (info.method == ZR_PRESENT_SHADOW && !info.vsync)) usleep(16000);
    }
    zr_bmp_close(backdrop);
    zr_release_dc(screen);
    zr_close();
    return status;
}
