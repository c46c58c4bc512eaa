// A virtual framebuffer device for machines without /dev/fb.
//
// Plays the kernel's part for a few device paths: access/open/ioctl/mmap/close
// on those paths are answered here, everything else passes through to libc. The
// pixel memory is a file mapped shared, so another process can read what was
// drawn. Loaded with LD_PRELOAD, or linked into a test program directly.
//
// Environment (read at each open of the device):
//   ZR_VFB_DEVICE       device paths to emulate, separated by ':' (default /dev/fb:/dev/fb0)
//   ZR_VFB_MEMORY       file that holds the pixel memory (default /tmp/zr-vfb-<uid>.mem)
//   ZR_VFB_SIZE         WIDTHxHEIGHT (default 320x240)
//   ZR_VFB_BPP          1, 4, 8, 15, 16, 24 or 32 (default 16; 15 is 16 bits as 5-5-5)
//   ZR_VFB_LINE_LENGTH  bytes per row, at least the pixels' bytes (default or 0: no
//                       padding); a shorter row keeps the device from opening
//   ZR_VFB_FAIL         comma list of: open, vscreeninfo, fscreeninfo, mmap
// and, when the snapshot writer is built in (snapshot_triggers.cpp):
//   ZR_VFB_SNAP_DIR       PNG pictures DIR/frame-0001.png, ... at exit and on
//                         SIGINT, SIGTERM, SIGHUP
//   ZR_VFB_SNAP_ON_SLEEP  also before every sleep of at least USEC microseconds
//   ZR_VFB_FAST=1         sleeps return at once
//   ZR_VFB_FRAMES         exit(0) after the N-th picture
#include "vfb.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

template <class F>
F real(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

const char *env_or(const char *name, const char *fallback) {
    const char *v = std::getenv(name);
    return (v != nullptr && v[0] != '\0') ? v : fallback;
}

// Whether item is one of the entries of list, which are separated by sep.
bool listed(const char *list, char sep, const char *item) {
    if (list == nullptr) return false;
    const std::size_t n = std::strlen(item);
    for (const char *entry = list;; ++entry) {
        const char *end = std::strchr(entry, sep);
        const std::size_t length =
            end != nullptr ? static_cast<std::size_t>(end - entry) : std::strlen(entry);
        if (length == n && std::strncmp(entry, item, n) == 0) return true;
        if (end == nullptr) return false;
        entry = end;
    }
}

bool is_device(const char *path) {
    return path != nullptr && path[0] != '\0' &&
           listed(env_or("ZR_VFB_DEVICE", "/dev/fb:/dev/fb0"), ':', path);
}

bool failing(const char *what) { return listed(std::getenv("ZR_VFB_FAIL"), ',', what); }

// The descriptor currently standing for the device (at most one at a time).
int device_fd = -1;

}  // namespace

namespace zr_vfb {

void (*on_device_open)(const geometry &g, const std::string &memory) = nullptr;

geometry current_geometry() {
    geometry g{};
    int w = 320, h = 240;
    std::sscanf(env_or("ZR_VFB_SIZE", "320x240"), "%dx%d", &w, &h);
    g.width = w > 0 ? w : 1;
    g.height = h > 0 ? h : 1;
    g.depth = std::atoi(env_or("ZR_VFB_BPP", "16"));
    g.bits_per_pixel = g.depth == 15 ? 16 : g.depth;
    // As asked for, even when too short (open_device refuses it); -1 for no number.
    const char *line = env_or("ZR_VFB_LINE_LENGTH", "0");
    char *end = nullptr;
    const long asked = std::strtol(line, &end, 10);
    g.line_length = *end != '\0' || asked < 0 ? -1 : asked == 0 ? row_bytes(g) : asked;
    return g;
}

long row_bytes(const geometry &g) {
    return (static_cast<long>(g.width) * g.bits_per_pixel + 7) / 8;
}

std::string memory_path() {
    char fallback[64];
    std::snprintf(fallback, sizeof fallback, "/tmp/zr-vfb-%u.mem", static_cast<unsigned>(getuid()));
    return env_or("ZR_VFB_MEMORY", fallback);
}

void fill_var(const geometry &g, fb_var_screeninfo *var) {
    std::memset(var, 0, sizeof *var);
    var->xres = var->xres_virtual = static_cast<__u32>(g.width);
    var->yres = var->yres_virtual = static_cast<__u32>(g.height);
    var->bits_per_pixel = static_cast<__u32>(g.bits_per_pixel);
    switch (g.depth) {
        case 15:
            var->red = {10, 5, 0};
            var->green = {5, 5, 0};
            var->blue = {0, 5, 0};
            break;
        case 16:
            var->red = {11, 5, 0};
            var->green = {5, 6, 0};
            var->blue = {0, 5, 0};
            break;
        case 24:
        case 32:
            var->red = {16, 8, 0};
            var->green = {8, 8, 0};
            var->blue = {0, 8, 0};
            break;
        default:  // indexed or grey
            var->red = var->green = var->blue = {0, static_cast<__u32>(g.depth), 0};
            break;
    }
}

void fill_fix(const geometry &g, fb_fix_screeninfo *fix) {
    std::memset(fix, 0, sizeof *fix);
    std::strncpy(fix->id, "zr-vfb", sizeof fix->id - 1);
    fix->smem_len = static_cast<__u32>(g.line_length * g.height);
    fix->type = FB_TYPE_PACKED_PIXELS;
    fix->visual = g.depth <= 8 ? FB_VISUAL_PSEUDOCOLOR : FB_VISUAL_TRUECOLOR;
    fix->line_length = static_cast<__u32>(g.line_length);
}

}  // namespace zr_vfb

namespace {

int open_device(int flags) {
    if (failing("open")) {
        errno = EACCES;
        return -1;
    }
    const zr_vfb::geometry g = zr_vfb::current_geometry();
    if (g.line_length < zr_vfb::row_bytes(g)) {
        // Said here: the program only learns that the device did not open.
        if (g.line_length < 0)
            std::fprintf(stderr, "zr-vfb: ZR_VFB_LINE_LENGTH %s is not a number of bytes; "
                         "the device does not open\n", std::getenv("ZR_VFB_LINE_LENGTH"));
        else
            std::fprintf(stderr, "zr-vfb: ZR_VFB_LINE_LENGTH %ld is less than the %ld bytes of "
                         "a row (%d pixels at depth %d); the device does not open\n",
                         g.line_length, zr_vfb::row_bytes(g), g.width, g.depth);
        errno = EINVAL;
        return -1;
    }
    const std::string memory = zr_vfb::memory_path();
    using open_fn = int (*)(const char *, int, ...);
    static const auto real_open = real<open_fn>("open");
    const int access_mode = flags & O_ACCMODE;
    const int fd = real_open(memory.c_str(), access_mode | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return fd;
    const off_t size = static_cast<off_t>(g.line_length) * g.height;
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size != size && ftruncate(fd, size) != 0) {
        const int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    device_fd = fd;
    if (zr_vfb::on_device_open != nullptr) zr_vfb::on_device_open(g, memory);
    return fd;
}

int open_common(const char *path, int flags, va_list ap, const char *name) {
    mode_t mode = 0;
    // A mode follows only when a file may be created.
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
        mode = static_cast<mode_t>(va_arg(ap, int));
    if (is_device(path)) return open_device(flags);
    using open_fn = int (*)(const char *, int, ...);
    return real<open_fn>(name)(path, flags, mode);
}

}  // namespace

extern "C" {

int access(const char *path, int mode) {
    if (is_device(path)) return 0;
    using fn = int (*)(const char *, int);
    static const auto next = real<fn>("access");
    return next(path, mode);
}

int open(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const int r = open_common(path, flags, ap, "open");
    va_end(ap);
    return r;
}

int open64(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const int r = open_common(path, flags, ap, "open64");
    va_end(ap);
    return r;
}

int __open_2(const char *path, int flags) {
    if (is_device(path)) return open_device(flags);
    using fn = int (*)(const char *, int);
    return real<fn>("__open_2")(path, flags);
}

int __open64_2(const char *path, int flags) {
    if (is_device(path)) return open_device(flags);
    using fn = int (*)(const char *, int);
    return real<fn>("__open64_2")(path, flags);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (fd >= 0 && fd == device_fd) {
        const zr_vfb::geometry g = zr_vfb::current_geometry();
        if (request == FBIOGET_VSCREENINFO) {
            if (failing("vscreeninfo")) return errno = EINVAL, -1;
            zr_vfb::fill_var(g, static_cast<fb_var_screeninfo *>(arg));
            return 0;
        }
        if (request == FBIOGET_FSCREENINFO) {
            if (failing("fscreeninfo")) return errno = EINVAL, -1;
            zr_vfb::fill_fix(g, static_cast<fb_fix_screeninfo *>(arg));
            return 0;
        }
        errno = ENOTTY;
        return -1;
    }
    using fn = int (*)(int, unsigned long, void *);
    static const auto next = real<fn>("ioctl");
    return next(fd, request, arg);
}

void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
    if (fd >= 0 && fd == device_fd && failing("mmap")) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    using fn = void *(*)(void *, size_t, int, int, int, off_t);
    static const auto next = real<fn>("mmap");
    return next(addr, length, prot, flags, fd, offset);
}

#if !defined(__LP64__)
void *mmap64(void *addr, size_t length, int prot, int flags, int fd, off64_t offset) {
    if (fd >= 0 && fd == device_fd && failing("mmap")) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    using fn = void *(*)(void *, size_t, int, int, int, off64_t);
    static const auto next = real<fn>("mmap64");
    return next(addr, length, prot, flags, fd, offset);
}
#endif

int close(int fd) {
    if (fd >= 0 && fd == device_fd) device_fd = -1;
    using fn = int (*)(int);
    static const auto next = real<fn>("close");
    return next(fd);
}

}  // extern "C"
