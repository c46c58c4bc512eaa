// The framebuffer backend: a framebuffer device's geometry, its memory mapped
// as one to three screens, shown by panning, and FBIO_WAITFORVSYNC. More than
// one screen is a virtual screen two or three screens high, asked for with
// FBIOPUT_VSCREENINFO and given back at close; FBIOPAN_DISPLAY shows one.
#include "device.hpp"
#include "display.hpp"
#include "zr_internal.hpp"

#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace zr {
namespace {

struct fbdev_state {
    int fd = -1;
    unsigned char *map = nullptr;  // the whole mapping
    std::size_t map_size = 0;
    fb_var_screeninfo saved{};  // as found, restored at close when changed
    bool var_changed = false;
    int screens = 1;
    int shown = 0;         // the screen panned to
    bool can_wait = true;  // FBIO_WAITFORVSYNC not refused yet
    bool pending = false;  // a pan not waited for
};
fbdev_state fb;

// The framebuffer a DRM driver emulates ("bochs-drmdrmfb", "virtio_gpudrmfb"
// in fix.id, a drm folder beside the device in sysfs) accepts a pan and
// reports the new offset but keeps showing the first screen.
bool drm_emulation(const fb_fix_screeninfo &fix) {
    const std::size_t n = strnlen(fix.id, sizeof fix.id);
    if (n >= 5 && std::memcmp(fix.id + n - 5, "drmfb", 5) == 0) return true;
    struct stat st {};
    if (fstat(fb.fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    char path[64];
    std::snprintf(path, sizeof path, "/sys/class/graphics/fb%u/device/drm", minor(st.st_rdev));
    return access(path, F_OK) == 0;
}

void wait_for_vsync() {
    if (!fb.can_wait) return;
    __u32 crtc = 0;
    if (ioctl(fb.fd, FBIO_WAITFORVSYNC, &crtc) == 0) return;
    debug("FBIO_WAITFORVSYNC: %s: no vertical blank to wait for", std::strerror(errno));
    fb.can_wait = false;
}

// Asks for a virtual screen of n screens and checks that the device gave
// it, with the memory behind it and a working pan; the geometry is read again
// into var and fix. False leaves the device as it was found.
bool grant_pan(int n, fb_var_screeninfo &var, fb_fix_screeninfo &fix) {
    fb_var_screeninfo want = fb.saved;
    want.yres_virtual = static_cast<__u32>(n) * want.yres;
    want.xoffset = want.yoffset = 0;
    if (ioctl(fb.fd, FBIOPUT_VSCREENINFO, &want) == 0) fb.var_changed = true;
    fb_var_screeninfo got{};
    fb_fix_screeninfo got_fix{};
    const bool read = ioctl(fb.fd, FBIOGET_VSCREENINFO, &got) == 0 && ioctl(fb.fd, FBIOGET_FSCREENINFO, &got_fix) == 0;
    const bool same_screen = read && got.xres == fb.saved.xres && got.yres == fb.saved.yres &&
                             got.bits_per_pixel == fb.saved.bits_per_pixel;
    if (same_screen && got.yres_virtual >= want.yres_virtual && check_geometry(got, got_fix) == ERR_NONE &&
        std::uint64_t{got_fix.line_length} * want.yres_virtual <= got_fix.smem_len) {
        got.xoffset = got.yoffset = 0;
        if (ioctl(fb.fd, FBIOPAN_DISPLAY, &got) == 0) {
            var = got;
            fix = got_fix;
            return true;
        }
        debug("FBIOPAN_DISPLAY: %s: no panning over %d screens", std::strerror(errno), n);
    } else {
        debug("a virtual screen %d screens high was not given (yres_virtual %u, smem_len %u)", n,
              read ? got.yres_virtual : 0, read ? got_fix.smem_len : 0);
    }
    if (fb.var_changed) {
        fb_var_screeninfo back = fb.saved;
        ioctl(fb.fd, FBIOPUT_VSCREENINFO, &back);
        fb.var_changed = false;
    }
    return false;
}

// The refresh rate in mHz from the mode's timings, 0 when they do not say
// (pixclock 0, as the emulations report) or say something impossible.
int refresh_of(const fb_var_screeninfo &v) {
    const double htotal = static_cast<double>(v.xres) + v.left_margin + v.right_margin + v.hsync_len;
    const double vtotal = static_cast<double>(v.yres) + v.upper_margin + v.lower_margin + v.vsync_len;
    const double per_frame = static_cast<double>(v.pixclock) * htotal * vtotal;  // picoseconds
    if (per_frame <= 0) return 0;
    const double mhz = 1e15 / per_frame;
    return mhz >= 1000 && mhz <= 1000000 ? static_cast<int>(mhz) : 0;
}

void fbdev_close() {
    if (fb.map != nullptr) munmap(fb.map, fb.map_size);
    if (fb.var_changed) {
        fb_var_screeninfo back = fb.saved;
        ioctl(fb.fd, FBIOPUT_VSCREENINFO, &back);
    }
    fb = fbdev_state{};
}

int fbdev_open(int fd, const display_request &want, display_buffers *out) {
    fb = fbdev_state{};
    fb.fd = fd;
    fb_var_screeninfo var{};
    if (ioctl(fd, FBIOGET_VSCREENINFO, &var) != 0) {
        debug("FBIOGET_VSCREENINFO: %s (no framebuffer device)", std::strerror(errno));
        return ERR_VSCREENINFO;
    }
    fb_fix_screeninfo fix{};
    if (ioctl(fd, FBIOGET_FSCREENINFO, &fix) != 0) {
        debug("FBIOGET_FSCREENINFO: %s", std::strerror(errno));
        return ERR_FSCREENINFO;
    }
    if (const int bad = check_geometry(var, fix); bad != ERR_NONE) {
        debug("a geometry zr cannot draw on without leaving the device's memory: %ux%u, %u bits a pixel, "
              "line_length %u, smem_len %u",
              var.xres, var.yres, var.bits_per_pixel, fix.line_length, fix.smem_len);
        return bad;
    }
    fb.saved = var;
    if (want.buffers > 1) {
        if (drm_emulation(fix)) {
            debug("%.16s is a DRM driver's framebuffer emulation: it takes a pan but keeps showing the first "
                  "screen; one buffer (the DRM node pages by flips)",
                  fix.id);
        } else {
            for (int n = want.buffers; n >= 2 && fb.screens == 1; --n)
                if (grant_pan(n, var, fix)) fb.screens = n;
        }
    }
    // The screen is yres rows of line_length bytes; the sizes must fit an int.
    const std::int64_t screen = static_cast<std::int64_t>(var.yres) * fix.line_length;
    if (var.xres > INT32_MAX || var.yres > INT32_MAX || screen > INT32_MAX || screen == 0 ||
        static_cast<std::int64_t>(var.xres) * var.yres > INT32_MAX) {
        debug("a geometry whose sizes do not fit an int: %ux%u, line_length %u", var.xres, var.yres, fix.line_length);
        fbdev_close();
        return ERR_MMAP;
    }
    fb.map_size = static_cast<std::size_t>(screen) * static_cast<std::size_t>(fb.screens);
    void *mem = mmap(nullptr, fb.map_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mem == MAP_FAILED) {
        debug("mmap of %zu bytes: %s", fb.map_size, std::strerror(errno));
        fb.map_size = 0;
        fbdev_close();
        return ERR_MMAP;
    }
    fb.map = static_cast<unsigned char *>(mem);
    out->count = fb.screens;
    for (int i = 0; i < fb.screens; ++i) out->pixels[i] = fb.map + static_cast<std::size_t>(screen) * i;
    out->width = static_cast<int>(var.xres);
    out->height = static_cast<int>(var.yres);
    out->pitch = static_cast<int>(fix.line_length);
    out->bits_per_pixel = static_cast<int>(var.bits_per_pixel);
    out->colors = colors_of(var);
    out->format = screen_format_with(static_cast<int>(var.bits_per_pixel),
                                     {static_cast<int>(var.red.offset), static_cast<int>(var.red.length)},
                                     {static_cast<int>(var.green.offset), static_cast<int>(var.green.length)},
                                     {static_cast<int>(var.blue.offset), static_cast<int>(var.blue.length)});
    out->refresh_mhz = refresh_of(var);
    return ERR_NONE;
}

int fbdev_show(int buffer, bool wait) {
    if (fb.pending) wait_for_vsync();
    fb.pending = false;
    if (buffer != fb.shown) {
        fb_var_screeninfo var{};
        if (ioctl(fb.fd, FBIOGET_VSCREENINFO, &var) != 0) return ERR_PRESENT;
        var.xoffset = 0;
        var.yoffset = static_cast<__u32>(buffer) * var.yres;
        if (ioctl(fb.fd, FBIOPAN_DISPLAY, &var) != 0) {
            debug("FBIOPAN_DISPLAY to screen %d: %s", buffer, std::strerror(errno));
            return ERR_PRESENT;
        }
        fb.shown = buffer;
        fb.pending = !wait;
    }
    if (wait) wait_for_vsync();
    return ERR_NONE;
}

// Back from another virtual terminal, whose console set its own geometry
// and scrolled: the virtual screen of open again, panned to buffer i.
int fbdev_enter(int buffer) {
    fb.pending = false;
    if (fb.screens == 1) return ERR_NONE;
    fb_var_screeninfo var{};
    if (ioctl(fb.fd, FBIOGET_VSCREENINFO, &var) != 0) return ERR_MODE_SET;
    const auto rows = static_cast<__u32>(fb.screens) * fb.saved.yres;
    if (var.xres != fb.saved.xres || var.yres != fb.saved.yres || var.bits_per_pixel != fb.saved.bits_per_pixel ||
        var.yres_virtual < rows) {
        var = fb.saved;
        var.yres_virtual = rows;
        var.xoffset = var.yoffset = 0;
        if (ioctl(fb.fd, FBIOPUT_VSCREENINFO, &var) != 0) {
            debug("FBIOPUT_VSCREENINFO on coming back: %s", std::strerror(errno));
            return ERR_MODE_SET;
        }
    }
    var.xoffset = 0;
    var.yoffset = static_cast<__u32>(buffer) * var.yres;
    if (ioctl(fb.fd, FBIOPAN_DISPLAY, &var) != 0) {
        debug("FBIOPAN_DISPLAY to screen %d on coming back: %s", buffer, std::strerror(errno));
        return ERR_MODE_SET;
    }
    fb.shown = buffer;
    return ERR_NONE;
}

bool fbdev_claims(int, const char *) { return true; }

}  // namespace

// Leaving needs nothing of the device: the core stops touching its memory.
const display_backend fbdev_backend{ZR_BACKEND_FBDEV, ZR_PRESENT_PAN, fbdev_claims, fbdev_open, fbdev_show,
                                    nullptr,          fbdev_close,    nullptr,      fbdev_enter};

}  // namespace zr
