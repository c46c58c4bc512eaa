// The framebuffer backend: geometry, mapping, and the three ways a picture
// reaches the screen. Front: the screen DC draws on the visible picture.
// Pan: the virtual screen is two or three screens high (asked for with
// FBIOPUT_VSCREENINFO), the screen DC draws on one that is not shown, and
// FBIOPAN_DISPLAY shows it. Shadow: the screen DC draws in system memory and
// the damage is copied to the visible picture.
#include "device.hpp"
#include "display.hpp"
#include "zr_internal.hpp"

#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace zr {
namespace {

// What this backend keeps beside the shared state.
struct fbdev_state {
    unsigned char *map = nullptr;  // the whole mapping
    std::size_t map_size = 0;
    std::size_t screen_bytes = 0;  // one screen: yres rows of line_length
    fb_var_screeninfo saved{};     // as found, restored at close when changed
    bool var_changed = false;
    bool can_wait = false;         // FBIO_WAITFORVSYNC works
};
fbdev_state fb;

// The framebuffer a DRM driver emulates ("bochs-drmdrmfb", "virtio_gpudrmfb"
// in fix.id, a drm folder beside the device in sysfs) accepts a pan and
// reports the new offset but keeps showing the first screen: it gets the
// shadow instead.
bool drm_emulation(const fb_fix_screeninfo &fix) {
    const std::size_t n = strnlen(fix.id, sizeof fix.id);
    if (n >= 5 && std::memcmp(fix.id + n - 5, "drmfb", 5) == 0) return true;
    struct stat st {};
    if (fstat(zr_fb.fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    char path[64];
    std::snprintf(path, sizeof path, "/sys/class/graphics/fb%u/device/drm", minor(st.st_rdev));
    return access(path, F_OK) == 0;
}

bool wait_for_vsync() {
    __u32 crtc = 0;
    return ioctl(zr_fb.fd, FBIO_WAITFORVSYNC, &crtc) == 0;
}

// Asks for a virtual screen of n screens and checks that the device gave
// it, with the memory behind it and a working pan; the geometry is read again
// into var and fix. False leaves the device as it was found.
bool grant_pan(int n, fb_var_screeninfo &var, fb_fix_screeninfo &fix) {
    fb_var_screeninfo want = fb.saved;
    want.yres_virtual = static_cast<__u32>(n) * want.yres;
    want.xoffset = want.yoffset = 0;
    if (ioctl(zr_fb.fd, FBIOPUT_VSCREENINFO, &want) == 0) fb.var_changed = true;
    fb_var_screeninfo got{};
    fb_fix_screeninfo got_fix{};
    const bool read = ioctl(zr_fb.fd, FBIOGET_VSCREENINFO, &got) == 0 &&
                      ioctl(zr_fb.fd, FBIOGET_FSCREENINFO, &got_fix) == 0;
    const bool same_screen = read && got.xres == fb.saved.xres && got.yres == fb.saved.yres &&
                             got.bits_per_pixel == fb.saved.bits_per_pixel;
    if (same_screen && got.yres_virtual >= want.yres_virtual && check_geometry(got, got_fix) == ERR_NONE &&
        std::uint64_t{got_fix.line_length} * want.yres_virtual <= got_fix.smem_len) {
        got.xoffset = got.yoffset = 0;
        if (ioctl(zr_fb.fd, FBIOPAN_DISPLAY, &got) == 0) {
            var = got;
            fix = got_fix;
            return true;
        }
    }
    if (fb.var_changed) {
        fb_var_screeninfo back = fb.saved;
        ioctl(zr_fb.fd, FBIOPUT_VSCREENINFO, &back);
        fb.var_changed = false;
    }
    return false;
}

}  // namespace

int fbdev_open(display &d, int flags) {
    fb = fbdev_state{};
    fb_var_screeninfo var{};
    if (ioctl(zr_fb.fd, FBIOGET_VSCREENINFO, &var) != 0) return ERR_VSCREENINFO;
    fb_fix_screeninfo fix{};
    if (ioctl(zr_fb.fd, FBIOGET_FSCREENINFO, &fix) != 0) return ERR_FSCREENINFO;
    if (const int bad = check_geometry(var, fix); bad != ERR_NONE) return bad;
    // The screen is yres rows of line_length bytes; the sizes must fit an int.
    const std::int64_t bytes = static_cast<std::int64_t>(var.yres) * fix.line_length;
    const std::int64_t dots = static_cast<std::int64_t>(var.xres) * var.yres;
    if (var.xres > INT32_MAX || var.yres > INT32_MAX || bytes > INT32_MAX || dots > INT32_MAX || bytes == 0)
        return ERR_MMAP;
    fb.saved = var;

    const int wanted = (flags & ZR_INIT_TRIPLE_BUFFER) ? 3 : (flags & ZR_INIT_DOUBLE_BUFFER) ? 2 : 1;
    int granted = 1;
    if (wanted > 1 && (flags & ZR_INIT_SHADOW) == 0 && !drm_emulation(fix)) {
        for (int n = wanted; n >= 2 && granted == 1; --n)
            if (grant_pan(n, var, fix)) granted = n;
    }
    // A line length the pan changed is checked again with the sizes.
    const std::int64_t screen = static_cast<std::int64_t>(var.yres) * fix.line_length;
    if (screen > INT32_MAX) {
        fbdev_close(d);
        return ERR_MMAP;
    }
    fb.screen_bytes = static_cast<std::size_t>(screen);
    fb.map_size = fb.screen_bytes * static_cast<std::size_t>(granted);
    void *mem = mmap(nullptr, fb.map_size, PROT_READ | PROT_WRITE, MAP_SHARED, zr_fb.fd, 0);
    if (mem == MAP_FAILED) {
        fb.map_size = 0;
        fbdev_close(d);
        return ERR_MMAP;
    }
    fb.map = static_cast<unsigned char *>(mem);
    fb.can_wait = (flags & ZR_INIT_VSYNC) != 0 || granted == 2 ? wait_for_vsync() : false;

    d.backend = ZR_BACKEND_FBDEV;
    d.buffers = granted;
    zr_fb.mapped = fb.map;
    if (granted > 1) {
        d.method = ZR_PRESENT_PAN;
        d.visible = 0;
        d.back = 1;
        for (int i = 0; i < granted; ++i) d.buffer[i].pixels = fb.map + fb.screen_bytes * static_cast<std::size_t>(i);
        zr_fb.mapped = d.buffer[1].pixels;
        d.vsync = fb.can_wait;
    } else if (wanted > 1 || (flags & ZR_INIT_SHADOW) != 0) {
        // No pan: draw in system memory, starting from what is on the screen.
        d.shadow = static_cast<unsigned char *>(std::malloc(fb.screen_bytes));
        if (d.shadow == nullptr) {
            fbdev_close(d);
            return ERR_OUT_OF_MEMORY;
        }
        std::memcpy(d.shadow, fb.map, fb.screen_bytes);
        d.method = ZR_PRESENT_SHADOW;
        zr_fb.mapped = d.shadow;
        d.vsync = (flags & ZR_INIT_VSYNC) != 0 && fb.can_wait;
    }
    zr_fb.width = static_cast<int>(var.xres);
    zr_fb.height = static_cast<int>(var.yres);
    zr_fb.dots = static_cast<int>(dots);
    zr_fb.bytes_per_line = static_cast<int>(fix.line_length);
    zr_fb.bytes = static_cast<int>(screen);
    zr_fb.bits_per_pixel = static_cast<int>(var.bits_per_pixel);
    zr_fb.colors = colors_of(var);
    return ERR_NONE;
}

int fbdev_present(display &d, const zr_rect_t *rects, int n) {
    if (d.method == ZR_PRESENT_FRONT) return ERR_NONE;
    if (d.method == ZR_PRESENT_SHADOW) {
        if (d.vsync) wait_for_vsync();
        copy_damage(fb.map, d.shadow, zr_fb.bytes_per_line, zr_fb.bits_per_pixel, rects, n);
        return ERR_NONE;
    }
    // Pan to the finished screen; once it shows, the one before it is free.
    fb_var_screeninfo var{};
    if (ioctl(zr_fb.fd, FBIOGET_VSCREENINFO, &var) != 0) return ERR_PRESENT;
    var.xoffset = 0;
    var.yoffset = static_cast<__u32>(d.back) * var.yres;
    if (ioctl(zr_fb.fd, FBIOPAN_DISPLAY, &var) != 0) return ERR_PRESENT;
    if (fb.can_wait) wait_for_vsync();
    show_next_buffer(d);
    return ERR_NONE;
}

void fbdev_close(display &d) {
    if (fb.map != nullptr && fb.map_size > 0) munmap(fb.map, fb.map_size);
    if (fb.var_changed) {
        fb_var_screeninfo back = fb.saved;
        ioctl(zr_fb.fd, FBIOPUT_VSCREENINFO, &back);
    }
    std::free(d.shadow);
    d.shadow = nullptr;
    fb = fbdev_state{};
}

}  // namespace zr
