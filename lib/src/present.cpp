// Opening and closing the display, and showing what was drawn: zr_init_ex
// picks the backend from the device itself, zr_present hands the damage to
// the method that was granted.
#include "display.hpp"
#include "pixel_format.hpp"
#include "zr_internal.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace zr {

namespace {
display the_display;

unsigned char *not_mapped() { return static_cast<unsigned char *>(MAP_FAILED); }

void mark_closed() {
    zr_fb.mapped = not_mapped();
    zr_fb.fd = -1;
}

int open_display(const char *device, int flags) {
    if (device == nullptr || access(device, F_OK) != 0) return ERR_NO_DEVICE;
    zr_fb.fd = open(device, O_RDWR | O_CLOEXEC);
    if (zr_fb.fd < 0) {
        zr_fb.fd = -1;
        return ERR_ACCESS;
    }
    display &d = the_display;
    d = display{};
    // A DRM node tells its version; a framebuffer does not. (Asked the other
    // way round, kernels before 5.14 run FBIOGET_VSCREENINFO on a DRM node as
    // another ioctl and report success.)
    const int code = drm_is_node(zr_fb.fd) ? drm_open(d, flags) : fbdev_open(d, flags);
    if (code != ERR_NONE) {
        d = display{};
        close(zr_fb.fd);
        mark_closed();
        return code;
    }
    if ((flags & ZR_INIT_CONSOLE) != 0) d.console = console_to_graphics();
    return ERR_NONE;
}

}  // namespace

display &current_display() { return the_display; }

int clip_damage(const zr_rect_t *damage, int count, int width, int height, zr_rect_t *out, int max) {
    if (damage == nullptr || count <= 0) {
        if (width <= 0 || height <= 0 || max <= 0) return 0;
        out[0] = zr_rect_t{0, 0, width, height};
        return 1;
    }
    int n = 0;
    for (int i = 0; i < count && n < max; ++i) {
        const zr_rect_t &r = damage[i];
        const std::int64_t x0 = std::max<std::int64_t>(r.x, 0), y0 = std::max<std::int64_t>(r.y, 0);
        const std::int64_t x1 = std::min<std::int64_t>(std::int64_t{r.x} + r.width, width);
        const std::int64_t y1 = std::min<std::int64_t>(std::int64_t{r.y} + r.height, height);
        if (x0 >= x1 || y0 >= y1) continue;
        out[n++] = zr_rect_t{static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0),
                             static_cast<int>(y1 - y0)};
    }
    return n;
}

void show_next_buffer(display &d) {
    d.visible = d.back;
    d.back = (d.back + 1) % d.buffers;
    if (d.shadow != nullptr) return;
    unsigned char *was = zr_fb.mapped;
    zr_fb.mapped = d.buffer[d.back].pixels;
    retarget_screen_dcs(was, zr_fb.mapped);
}

void copy_damage(unsigned char *to, const unsigned char *from, int stride, int bits_per_pixel,
                 const zr_rect_t *rects, int count) {
    const auto bpp = static_cast<std::int64_t>(bits_per_pixel);
    for (int i = 0; i < count; ++i) {
        const zr_rect_t &r = rects[i];
        // The whole bytes the rectangle's pixels touch: below 8 bits a byte
        // holds pixels on both sides of its edges, and all of it is copied.
        const std::int64_t first_byte = std::int64_t{r.x} * bpp / 8;
        const std::int64_t end_byte = ((std::int64_t{r.x} + r.width) * bpp + 7) / 8;
        const auto row = static_cast<std::size_t>(end_byte - first_byte);
        const std::ptrdiff_t first =
            static_cast<std::ptrdiff_t>(r.y) * stride + static_cast<std::ptrdiff_t>(first_byte);
        // Whole rows with nothing between them are one block.
        if (row == static_cast<std::size_t>(stride)) {
            move_bytes(to + first, from + first, row * static_cast<std::size_t>(r.height));
            continue;
        }
        for (int y = 0; y < r.height; ++y)
            std::memcpy(to + first + static_cast<std::ptrdiff_t>(y) * stride,
                        from + first + static_cast<std::ptrdiff_t>(y) * stride, row);
    }
}

}  // namespace zr

using namespace zr;

extern "C" {

ZR_API int zr_init(const char *device) { return zr_init_ex(device, 0); }

ZR_API int zr_init_ex(const char *device, int flags) {
    // An open display is left as it is, open and working.
    if (the_display.backend != 0) return zr_error_code = ERR_ALREADY_OPEN;
    mark_closed();
    if ((flags & ~ZR_INIT_ALL_FLAGS) != 0) return zr_error_code = ERR_INIT_FLAGS;
    zr_error_code = open_display(device, flags);
    return zr_error_code;
}

ZR_API void zr_close(void) {
    // zr_fb still holds its initial zeros: nothing was ever opened (fd 0 is
    // not ours to close).
    if (zr_fb.mapped == nullptr && zr_fb.fd == 0) return;
    display &d = the_display;
    if (d.console) console_restore();
    if (d.backend == ZR_BACKEND_DRM) drm_close(d);
    if (d.backend == ZR_BACKEND_FBDEV) fbdev_close(d);
    d = display{};
    zr_fb.mapped = not_mapped();
    if (zr_fb.fd >= 0) {
        close(zr_fb.fd);
        zr_fb.fd = -1;
    }
}

ZR_API int zr_present(const zr_rect_t *damage, int count) {
    display &d = the_display;
    zr_rect_t rects[max_damage];
    const int n = clip_damage(damage, count > max_damage ? 0 : count, zr_fb.width, zr_fb.height, rects, max_damage);
    int code = ERR_NO_DEVICE;
    if (d.backend == ZR_BACKEND_DRM) code = drm_present(d, rects, n);
    if (d.backend == ZR_BACKEND_FBDEV) code = fbdev_present(d, rects, n);
    if (code != ERR_NONE) zr_error_code = code;
    return code;
}

ZR_API int zr_display_info(zr_display_info_t *info) {
    if (info == nullptr) return ERR_NO_DEVICE;
    const display &d = the_display;
    *info = zr_display_info_t{};
    if (d.backend == 0) return ERR_NO_DEVICE;
    info->backend = d.backend;
    info->method = d.method;
    info->buffers = d.buffers;
    // Buffers drawn on in turn each hold the frame of their last turn; a
    // shadow holds the frame just shown.
    const bool turns = (d.method == ZR_PRESENT_PAN || d.method == ZR_PRESENT_FLIP) && d.shadow == nullptr;
    info->buffer_age = turns ? d.buffers : 1;
    info->vsync = d.vsync ? 1 : 0;
    info->console = d.console ? 1 : 0;
    info->prefer_shadow = d.prefer_shadow ? 1 : 0;
    return ERR_NONE;
}

}  // extern "C"
