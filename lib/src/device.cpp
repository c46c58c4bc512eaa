// The error channel, the switches read from the environment, and the checks
// of a framebuffer's geometry. Opening and closing the display is in
// present.cpp, with its backends.
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

extern "C" {

ZR_API const char *zr_error_string(void) {
    if (zr_error_code < 0 || zr_error_code >= zr::msg::error_count) return zr::msg::unknown_error;
    return zr::msg::errors[zr_error_code];
}

ZR_API int zr_print_error(const char *where) {
    std::printf("[zr error:%d]%s (%s)\n", zr_error_code, zr_error_string(), where ? where : "");
    return zr_error_code;
}

}  // extern "C"
