// The framebuffer device and the error channel. This is the only file that
// touches open/ioctl/mmap.
#include "device.hpp"

#include "messages.hpp"
#include "zr_internal.hpp"

#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
ZR_API fb_t zr_fb;
ZR_API int zr_error_code;
}

namespace zr {

namespace {
int forced_plain = -1;  // -1: not yet read from the environment
bool cpu_variants = true;
}

bool plain_path_requested(const char *value) {
    return value != nullptr && value[0] != '\0' && value[0] != '0';
}

bool plain_path_forced() {
    if (forced_plain < 0) forced_plain = plain_path_requested(std::getenv("ZR_PLAIN_PATH")) ? 1 : 0;
    return forced_plain == 1;
}

void set_plain_path_forced(bool on) { forced_plain = on ? 1 : 0; }

bool cpu_variants_allowed() { return cpu_variants && !plain_path_forced(); }

void set_cpu_variants_allowed(bool on) { cpu_variants = on; }

void print_line(const char *text) { std::puts(text); }

int colors_of(const fb_var_screeninfo &var) {
    if (var.bits_per_pixel != 16) return static_cast<int>(var.bits_per_pixel);
    return static_cast<int>(var.red.length + var.green.length + var.blue.length);
}

int check_geometry(const fb_var_screeninfo &var, const fb_fix_screeninfo &fix) {
    // Bits each family stores a pixel in; 0 for a depth without a family.
    int stored = 0;
    switch (colors_of(var)) {
        case 15:
        case 16: stored = 16; break;
        case 1:
        case 4:
        case 8:
        case 24:
        case 32: stored = colors_of(var); break;
        default: stored = 0; break;
    }
    if (stored != 0 && static_cast<int>(var.bits_per_pixel) != stored) return ERR_VSCREENINFO;
    const std::uint64_t row = (std::uint64_t{var.xres} * var.bits_per_pixel + 7) / 8;
    if (fix.line_length < row) return ERR_FSCREENINFO;
    if (std::uint64_t{fix.line_length} * var.yres > fix.smem_len) return ERR_FSCREENINFO;
    return ERR_NONE;
}

}  // namespace zr

namespace {

unsigned char *not_mapped() { return static_cast<unsigned char *>(MAP_FAILED); }

void mark_closed() {
    zr_fb.mapped = not_mapped();
    zr_fb.fd = -1;
}

int open_device(const char *device) {
    if (device == nullptr || access(device, F_OK) != 0) return ERR_NO_DEVICE;
    zr_fb.fd = open(device, O_RDWR);
    if (zr_fb.fd < 0) {
        zr_fb.fd = -1;
        return ERR_ACCESS;
    }
    fb_var_screeninfo var{};
    if (ioctl(zr_fb.fd, FBIOGET_VSCREENINFO, &var) != 0) {
        zr_close();
        return ERR_VSCREENINFO;
    }
    fb_fix_screeninfo fix{};
    if (ioctl(zr_fb.fd, FBIOGET_FSCREENINFO, &fix) != 0) {
        zr_close();
        return ERR_FSCREENINFO;
    }
    if (const int bad = zr::check_geometry(var, fix); bad != ERR_NONE) {
        zr_close();
        return bad;
    }
    // The mapping covers yres rows of line_length bytes; the sizes must fit an int.
    std::int64_t bytes = static_cast<std::int64_t>(var.yres) * fix.line_length;
    std::int64_t dots = static_cast<std::int64_t>(var.xres) * var.yres;
    if (var.xres > INT32_MAX || var.yres > INT32_MAX || bytes > INT32_MAX || dots > INT32_MAX ||
        bytes == 0) {
        zr_close();
        return ERR_MMAP;
    }
    void *mem = mmap(nullptr, static_cast<std::size_t>(bytes), PROT_READ | PROT_WRITE, MAP_SHARED,
                     zr_fb.fd, 0);
    if (mem == MAP_FAILED) {
        zr_close();
        return ERR_MMAP;
    }
    zr_fb.width = static_cast<int>(var.xres);
    zr_fb.height = static_cast<int>(var.yres);
    zr_fb.dots = static_cast<int>(dots);
    zr_fb.bytes_per_line = static_cast<int>(fix.line_length);
    zr_fb.bytes = static_cast<int>(bytes);
    zr_fb.bits_per_pixel = static_cast<int>(var.bits_per_pixel);
    zr_fb.mapped = static_cast<unsigned char *>(mem);
    zr_fb.colors = zr::colors_of(var);
    return ERR_NONE;
}

}  // namespace

extern "C" {

ZR_API int zr_init(const char *device) {
    mark_closed();
    zr_error_code = open_device(device);
    return zr_error_code;
}

ZR_API void zr_close(void) {
    // zr_fb still holds its initial zeros: nothing was ever opened (fd 0 is
    // not ours to close).
    if (zr_fb.mapped == nullptr && zr_fb.fd == 0) return;
    if (zr_fb.mapped != not_mapped() && zr_fb.mapped != nullptr) {
        munmap(zr_fb.mapped, static_cast<std::size_t>(zr_fb.bytes));
    }
    zr_fb.mapped = not_mapped();
    if (zr_fb.fd >= 0) {
        close(zr_fb.fd);
        zr_fb.fd = -1;
    }
}

ZR_API const char *zr_error_string(void) {
    if (zr_error_code < 0 || zr_error_code > 15) return zr::msg::unknown_error;
    return zr::msg::errors[zr_error_code];
}

ZR_API int zr_print_error(const char *where) {
    std::printf("[zr error:%d]%s (%s)\n", zr_error_code, zr_error_string(), where ? where : "");
    return zr_error_code;
}

}  // extern "C"
