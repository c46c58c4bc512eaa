// A virtual framebuffer device for machines without /dev/fb, and a virtual
// DRM/KMS node for machines without /dev/dri.
//
// Plays the kernel's part for a few device paths: access/open/ioctl/mmap/close
// on those paths (and read/poll/ppoll/select/pselect on the DRM node's
// descriptors) are answered here, everything else passes through to libc. The
// pixel memory is in files mapped shared, so another process can read what
// was drawn. Loaded with LD_PRELOAD, or linked into a test program directly.
//
// Environment (read at each open of a device):
//   ZR_VFB_DEVICE       framebuffer device paths, separated by ':' (default /dev/fb:/dev/fb0)
//   ZR_VFB_MEMORY       file that holds the pixel memory (default /tmp/zr-vfb-<uid>.mem);
//                       the DRM node's buffers are files beside it, named after it
//                       (.console, .dumb-N, .scanout)
//   ZR_VFB_SIZE         WIDTHxHEIGHT (default 320x240); on the DRM node the preferred mode
//   ZR_VFB_BPP          1, 4, 8, 15, 16, 24 or 32 (default 16; 15 is 16 bits as 5-5-5);
//                       the DRM node prefers depth 16 when it is 16, else 24
//   ZR_VFB_LINE_LENGTH  bytes per row, at least the pixels' bytes (default or 0: no
//                       padding); a shorter row keeps the device from opening
//   ZR_VFB_FAIL         comma list of:
//                         open          no device opens (EACCES)
//                         vscreeninfo, fscreeninfo, mmap   those calls fail
//                         pan           panning as vesafb under QEMU: FBIOPUT_VSCREENINFO keeps
//                                       one screen (and succeeds), FBIOPAN_DISPLAY fails EINVAL,
//                                       FBIO_WAITFORVSYNC fails ENOTTY, ypanstep is 0
//                         drm-no-dumb        no dumb buffers: DRM_CAP_DUMB_BUFFER 0, CREATE_DUMB ENOSYS
//                         drm-no-connector   the connector is disconnected, with no modes
//                         drm-not-master     another process holds master: no descriptor is
//                                            master, SET_MASTER fails EBUSY
//                         drm-no-flip        PAGE_FLIP fails EINVAL
//                         drm-one-flip       the first PAGE_FLIP since the node was opened afresh
//                                            is taken, every later one fails EINVAL
//                         drm-no-getcrtc     GETCRTC fails EINVAL
//                         drm-no-dirty       DIRTYFB fails ENOSYS (a driver without it)
//                         drm-dirty-needed   the screen shows a scanned-out framebuffer as it was
//                                            when scanned out, then only what DIRTYFB flushes
//                                            (as virtio-gpu); read when the node is opened afresh
//                         drm-prefer-shadow  DRM_CAP_DUMB_PREFER_SHADOW is 1
//   ZR_VFB_DRM_DEVICE   DRM node paths, separated by ':' (unset: /dev/dri/card0; set but
//                       empty: none); a path in both lists is the DRM node
//   ZR_VFB_DRM_FLIP_DELAY  microseconds from a page flip to its completion (default 0: at
//                       once); poll, ppoll, select, pselect and blocking reads wait for it
//
// The framebuffer device pans: FBIOPUT_VSCREENINFO takes a yres_virtual of up
// to three screens (the memory file and smem_len grow), FBIOPAN_DISPLAY moves
// the screen to rows yoffset.., FBIO_WAITFORVSYNC returns at once.
//
// The DRM node has one connector (Virtual-1), one encoder and one CRTC; the
// connector's modes are a smaller one first and the preferred one at
// ZR_VFB_SIZE. Its first descriptor is master (until closed); SETCRTC,
// PAGE_FLIP and DIRTYFB on another fail EACCES. At first open the CRTC scans
// out a console framebuffer (id 1, XRGB8888, see vfb.hpp); nothing restores it
// when descriptors close, so a program's own restore is what shows. Dumb
// buffers are mapped through MAP_DUMB offsets on the node's descriptors; flip
// events are read from them. Not emulated: epoll waits for delayed flips,
// dup'ed descriptors, fstat, atomic modesetting, planes and properties.
//
// and, when the snapshot writer is built in (snapshot_triggers.cpp):
//   ZR_VFB_SNAP_DIR       PNG pictures DIR/frame-0001.png, ... of the screen at exit and
//                         on SIGINT, SIGTERM, SIGHUP; on the DRM node a program that gives
//                         the CRTC back (its console restored, or turned off) gets its
//                         exit picture then, of its last screen
//   ZR_VFB_SNAP_ON_SLEEP  also before every sleep of at least USEC microseconds
//   ZR_VFB_FAST=1         sleeps return at once
//   ZR_VFB_FRAMES         exit(0) after the N-th picture
// Its own definitions of read and poll stand in for libc's: no fortified inlines.
#undef _FORTIFY_SOURCE
#include "vfb_internal.hpp"

#include <fcntl.h>
#include <linux/fb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using zr_vfb::detail::failing;
using zr_vfb::detail::next;

namespace zr_vfb::detail {

const char *env_or(const char *name, const char *fallback) {
    const char *v = std::getenv(name);
    return (v != nullptr && v[0] != '\0') ? v : fallback;
}

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

bool failing(const char *what) { return listed(std::getenv("ZR_VFB_FAIL"), ',', what); }

namespace {
// process_vm_readv on this process faults softly where the kernel's
// copy_from_user/copy_to_user would; memcpy only where it is not allowed.
bool copy_checked(void *to, const void *from, std::size_t n) {
    if (n == 0) return true;
    if (to == nullptr || from == nullptr) return false;
    const int saved = errno;
    iovec local{to, n}, remote{const_cast<void *>(from), n};
    const ssize_t done = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    const bool unavailable = done < 0 && (errno == ENOSYS || errno == EPERM);
    errno = saved;
    if (unavailable) std::memcpy(to, from, n);
    return unavailable || done == static_cast<ssize_t>(n);
}
}  // namespace

bool copy_in(void *to, const void *from_user, std::size_t n) {
    return copy_checked(to, from_user, n);
}
bool copy_out(void *to_user, const void *from, std::size_t n) {
    return copy_checked(to_user, from, n);
}

int real_close(int fd) {
    static const auto f = next<int (*)(int)>("close");
    return f(fd);
}

void *real_mmap(void *addr, std::size_t length, int prot, int flags, int fd, off_t offset) {
    static const auto f = next<void *(*)(void *, std::size_t, int, int, int, off_t)>("mmap");
    return f(addr, length, prot, flags, fd, offset);
}

int real_open(const char *path, int flags, mode_t mode) {
    static const auto f = next<int (*)(const char *, int, ...)>("open");
    return f(path, flags, mode);
}

namespace {
screen shown{};
}

void set_screen(const screen &s) {
    if (zr_vfb::on_screen_change != nullptr) zr_vfb::on_screen_change(s);
    shown = s;
}

}  // namespace zr_vfb::detail

namespace {

bool is_device(const char *path) {
    return path != nullptr && path[0] != '\0' &&
           zr_vfb::detail::listed(zr_vfb::detail::env_or("ZR_VFB_DEVICE", "/dev/fb:/dev/fb0"), ':',
                                  path);
}

// The descriptor currently standing for the framebuffer device (at most one
// at a time) and its panning: the rows its memory holds, the rows of the
// virtual screen and the first row shown.
int device_fd = -1;
struct {
    zr_vfb::geometry g;
    std::string memory;
    int rows, yres_virtual, yoffset;
} fb;

}  // namespace

namespace zr_vfb {

void (*on_screen_change)(const screen &next) = nullptr;

geometry current_geometry() {
    geometry g{};
    int w = 320, h = 240;
    std::sscanf(detail::env_or("ZR_VFB_SIZE", "320x240"), "%dx%d", &w, &h);
    g.width = w > 0 ? w : 1;
    g.height = h > 0 ? h : 1;
    g.depth = std::atoi(detail::env_or("ZR_VFB_BPP", "16"));
    g.bits_per_pixel = g.depth == 15 ? 16 : g.depth;
    // As asked for, even when too short (open_device refuses it); -1 for no number.
    const char *line = detail::env_or("ZR_VFB_LINE_LENGTH", "0");
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
    return detail::env_or("ZR_VFB_MEMORY", fallback);
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

screen_pixels visible_screen() {
    detail::drm_settle();
    const screen &s = detail::shown;
    screen_pixels out;
    if (s.g.width <= 0 || s.g.height <= 0 || s.memory.empty()) return out;
    out.width = s.g.width;
    out.height = s.g.height;
    out.depth = s.g.depth;
    out.bits_per_pixel = s.g.bits_per_pixel;
    const long row = row_bytes(s.g);
    out.pixels.assign(static_cast<std::size_t>(row) * s.g.height, 0);
    const int fd = detail::real_open(s.memory.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return out;
    for (int y = 0; y < s.g.height; ++y) {
        const off_t at = s.offset + static_cast<off_t>(y) * s.g.line_length;
        if (pread(fd, out.pixels.data() + static_cast<std::size_t>(y) * row,
                  static_cast<std::size_t>(row), at) != row)
            break;
    }
    detail::real_close(fd);
    return out;
}

}  // namespace zr_vfb

namespace {

using zr_vfb::detail::copy_in;
using zr_vfb::detail::copy_out;

void show_fb() {
    zr_vfb::geometry g = fb.g;
    zr_vfb::detail::set_screen({g, fb.memory, static_cast<long>(fb.yoffset) * g.line_length, true});
}

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
    const int access_mode = flags & O_ACCMODE;
    const int fd = zr_vfb::detail::real_open(memory.c_str(), access_mode | O_CREAT | O_CLOEXEC, 0644);
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
    fb.g = g;
    fb.memory = memory;
    fb.rows = fb.yres_virtual = g.height;
    fb.yoffset = 0;
    show_fb();
    return fd;
}

// The variable screen information as the device has it now.
fb_var_screeninfo current_var(const zr_vfb::geometry &g) {
    fb_var_screeninfo var;
    zr_vfb::fill_var(g, &var);
    var.yres_virtual = static_cast<__u32>(std::max(fb.yres_virtual, g.height));
    var.yoffset = static_cast<__u32>(fb.yoffset);
    return var;
}

int fail(int e) {
    errno = e;
    return -1;
}

// FBIOPUT_VSCREENINFO: only the virtual height and the offset change.
int put_var(const zr_vfb::geometry &g, void *arg) {
    fb_var_screeninfo asked;
    if (!copy_in(&asked, arg, sizeof asked)) return fail(EFAULT);
    fb_var_screeninfo var = current_var(g);
    // Like a driver without check_var (vesafb): nothing changes, and it says so.
    if (failing("pan")) return copy_out(arg, &var, sizeof var) ? 0 : fail(EFAULT);
    if (asked.xres != var.xres || asked.yres != var.yres ||
        asked.bits_per_pixel != var.bits_per_pixel || asked.xres_virtual > var.xres ||
        asked.xoffset != 0)
        return fail(EINVAL);
    const std::uint64_t yres = var.yres;
    const std::uint64_t virtual_rows = std::max<std::uint64_t>(asked.yres_virtual, yres);
    if (virtual_rows > 3 * yres || asked.yoffset > virtual_rows - yres) return fail(EINVAL);
    var.yres_virtual = static_cast<__u32>(virtual_rows);
    var.yoffset = asked.yoffset;
    if ((asked.activate & FB_ACTIVATE_MASK) != FB_ACTIVATE_TEST) {
        const int rows = static_cast<int>(virtual_rows);
        if (rows > fb.rows) {
            if (ftruncate(device_fd, static_cast<off_t>(g.line_length) * rows) != 0)
                return fail(ENOMEM);
            fb.rows = rows;
        }
        fb.yres_virtual = rows;
        if (static_cast<int>(var.yoffset) != fb.yoffset) {
            fb.yoffset = static_cast<int>(var.yoffset);
            show_fb();
        }
    }
    return copy_out(arg, &var, sizeof var) ? 0 : fail(EFAULT);
}

// FBIOPAN_DISPLAY, with the kernel's checks for a device that pans by whole
// rows (ypanstep 1) and neither sideways nor by wrapping.
int pan(const zr_vfb::geometry &g, void *arg) {
    fb_var_screeninfo asked;
    if (!copy_in(&asked, arg, sizeof asked)) return fail(EFAULT);
    if (failing("pan")) return fail(EINVAL);
    if (asked.xoffset > 0 || (asked.yoffset > 0 && (asked.vmode & FB_VMODE_YWRAP) != 0))
        return fail(EINVAL);
    if (static_cast<std::uint64_t>(asked.yoffset) + g.height > static_cast<std::uint64_t>(fb.yres_virtual))
        return fail(EINVAL);
    if (static_cast<int>(asked.yoffset) != fb.yoffset) {
        fb.yoffset = static_cast<int>(asked.yoffset);
        show_fb();
    }
    return 0;
}

int fb_ioctl(unsigned long request, void *arg) {
    const zr_vfb::geometry g = zr_vfb::current_geometry();
    switch (request) {
        case FBIOGET_VSCREENINFO: {
            if (failing("vscreeninfo")) return fail(EINVAL);
            const fb_var_screeninfo var = current_var(g);
            return copy_out(arg, &var, sizeof var) ? 0 : fail(EFAULT);
        }
        case FBIOGET_FSCREENINFO: {
            if (failing("fscreeninfo")) return fail(EINVAL);
            fb_fix_screeninfo fix;
            zr_vfb::fill_fix(g, &fix);
            fix.smem_len = static_cast<__u32>(g.line_length * std::max(fb.rows, g.height));
            fix.ypanstep = failing("pan") ? 0 : 1;
            return copy_out(arg, &fix, sizeof fix) ? 0 : fail(EFAULT);
        }
        case FBIOPUT_VSCREENINFO:
            return put_var(g, arg);
        case FBIOPAN_DISPLAY:
            return pan(g, arg);
        case FBIO_WAITFORVSYNC: {
            if (failing("pan")) return fail(ENOTTY);
            __u32 crtc = 0;
            if (!copy_in(&crtc, arg, sizeof crtc)) return fail(EFAULT);
            return crtc == 0 ? 0 : fail(ENODEV);
        }
        default:
            return fail(ENOTTY);
    }
}

// Whether a mapping of length bytes at offset stays within the memory (as
// fb_mmap checks, in whole pages).
bool fb_mapping_fits(std::size_t length, long long offset) {
    const long long page = sysconf(_SC_PAGESIZE);
    const long long memory = static_cast<long long>(fb.g.line_length) * fb.rows;
    const long long limit = (memory + page - 1) / page * page;
    return offset >= 0 && offset <= limit && static_cast<long long>(length) <= limit - offset;
}

int open_common(const char *path, int flags, va_list ap, const char *name) {
    mode_t mode = 0;
    // A mode follows only when a file may be created.
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
        mode = static_cast<mode_t>(va_arg(ap, int));
    if (zr_vfb::detail::drm_is_path(path)) return zr_vfb::detail::drm_open(flags);
    if (is_device(path)) return open_device(flags);
    using open_fn = int (*)(const char *, int, ...);
    return next<open_fn>(name)(path, flags, mode);
}

long long now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Runs wait(milliseconds) — a poll or select on the caller's descriptors —
// until it reports something or deadline (CLOCK_MONOTONIC ns, -1: none)
// passes, waking whenever a delayed flip is due so that it completes and
// its event makes the DRM descriptor readable.
template <class Wait>
int wait_with_flips(long long deadline, Wait wait) {
    for (;;) {
        const long long due = zr_vfb::detail::drm_settle();
        const long long now = now_ns();
        if (deadline >= 0 && now >= deadline) return wait(0);
        long long until = deadline;
        if (due >= 0 && (until < 0 || due < until)) until = due;
        int ms = -1;
        if (until >= 0)
            ms = static_cast<int>(std::min<long long>((until - now + 999999) / 1000000, INT_MAX));
        const int r = wait(ms);
        if (r != 0 || due < 0) return r;
    }
}

long long deadline_after_ms(int timeout) {
    return timeout < 0 ? -1 : now_ns() + static_cast<long long>(timeout) * 1000000;
}

long long deadline_after(const timespec *t) {
    if (t == nullptr) return -1;
    return now_ns() + static_cast<long long>(t->tv_sec) * 1000000000 + t->tv_nsec;
}

bool polls_drm(const pollfd *fds, nfds_t n) {
    if (!zr_vfb::detail::drm_any_open() || fds == nullptr) return false;
    for (nfds_t i = 0; i < n; ++i)
        if (zr_vfb::detail::drm_owns(fds[i].fd)) return true;
    return false;
}

bool selects_drm(int n, const fd_set *readfds) {
    if (!zr_vfb::detail::drm_any_open() || readfds == nullptr) return false;
    for (int fd = 0; fd < n && fd < FD_SETSIZE; ++fd)
        if (FD_ISSET(fd, readfds) && zr_vfb::detail::drm_owns(fd)) return true;
    return false;
}

timespec from_ms(int ms) { return {ms / 1000, static_cast<long>(ms % 1000) * 1000000}; }

}  // namespace

extern "C" {

int access(const char *path, int mode) {
    if (is_device(path) || zr_vfb::detail::drm_is_path(path)) return 0;
    using fn = int (*)(const char *, int);
    static const auto f = next<fn>("access");
    return f(path, mode);
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
    if (zr_vfb::detail::drm_is_path(path)) return zr_vfb::detail::drm_open(flags);
    if (is_device(path)) return open_device(flags);
    using fn = int (*)(const char *, int);
    return next<fn>("__open_2")(path, flags);
}

int __open64_2(const char *path, int flags) {
    if (zr_vfb::detail::drm_is_path(path)) return zr_vfb::detail::drm_open(flags);
    if (is_device(path)) return open_device(flags);
    using fn = int (*)(const char *, int);
    return next<fn>("__open64_2")(path, flags);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (fd >= 0 && fd == device_fd) return fb_ioctl(request, arg);
    if (zr_vfb::detail::drm_any_open() && zr_vfb::detail::drm_owns(fd))
        return zr_vfb::detail::drm_ioctl(fd, request, arg);
    using fn = int (*)(int, unsigned long, void *);
    static const auto f = next<fn>("ioctl");
    return f(fd, request, arg);
}

void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
    if (fd >= 0 && fd == device_fd) {
        if (failing("mmap")) return errno = ENOMEM, MAP_FAILED;
        if (!fb_mapping_fits(length, offset)) return errno = EINVAL, MAP_FAILED;
    }
    if (zr_vfb::detail::drm_any_open() && zr_vfb::detail::drm_owns(fd))
        return zr_vfb::detail::drm_mmap(addr, length, prot, flags, fd, offset);
    using fn = void *(*)(void *, size_t, int, int, int, off_t);
    static const auto f = next<fn>("mmap");
    return f(addr, length, prot, flags, fd, offset);
}

#if !defined(__LP64__)
void *mmap64(void *addr, size_t length, int prot, int flags, int fd, off64_t offset) {
    if (fd >= 0 && fd == device_fd) {
        if (failing("mmap")) return errno = ENOMEM, MAP_FAILED;
        if (!fb_mapping_fits(length, offset)) return errno = EINVAL, MAP_FAILED;
    }
    if (zr_vfb::detail::drm_any_open() && zr_vfb::detail::drm_owns(fd))
        return zr_vfb::detail::drm_mmap(addr, length, prot, flags, fd, offset);
    using fn = void *(*)(void *, size_t, int, int, int, off64_t);
    static const auto f = next<fn>("mmap64");
    return f(addr, length, prot, flags, fd, offset);
}
#endif

int close(int fd) {
    if (fd >= 0 && fd == device_fd) device_fd = -1;
    if (zr_vfb::detail::drm_any_open() && zr_vfb::detail::drm_owns(fd)) zr_vfb::detail::drm_close(fd);
    return zr_vfb::detail::real_close(fd);
}

ssize_t read(int fd, void *buf, size_t count) {
    if (zr_vfb::detail::drm_any_open() && zr_vfb::detail::drm_owns(fd))
        return zr_vfb::detail::drm_read(fd, buf, count);
    using fn = ssize_t (*)(int, void *, size_t);
    static const auto f = next<fn>("read");
    return f(fd, buf, count);
}

[[noreturn]] void __chk_fail(void);

ssize_t __read_chk(int fd, void *buf, size_t count, size_t buflen) {
    if (count > buflen) __chk_fail();
    return read(fd, buf, count);
}

int poll(struct pollfd *fds, nfds_t n, int timeout) {
    using fn = int (*)(pollfd *, nfds_t, int);
    static const auto f = next<fn>("poll");
    if (!polls_drm(fds, n)) return f(fds, n, timeout);
    return wait_with_flips(deadline_after_ms(timeout), [&](int ms) { return f(fds, n, ms); });
}

int __poll_chk(struct pollfd *fds, nfds_t n, int timeout, size_t fdslen) {
    if (fdslen / sizeof *fds < n) __chk_fail();
    return poll(fds, n, timeout);
}

int ppoll(struct pollfd *fds, nfds_t n, const struct timespec *timeout, const sigset_t *mask) {
    using fn = int (*)(pollfd *, nfds_t, const timespec *, const sigset_t *);
    static const auto f = next<fn>("ppoll");
    if (!polls_drm(fds, n)) return f(fds, n, timeout, mask);
    return wait_with_flips(deadline_after(timeout), [&](int ms) {
        const timespec t = from_ms(ms);
        return f(fds, n, ms < 0 ? nullptr : &t, mask);
    });
}

int __ppoll_chk(struct pollfd *fds, nfds_t n, const struct timespec *timeout,
                const sigset_t *mask, size_t fdslen) {
    if (fdslen / sizeof *fds < n) __chk_fail();
    return ppoll(fds, n, timeout, mask);
}

int select(int n, fd_set *readfds, fd_set *writefds, fd_set *exceptfds, struct timeval *timeout) {
    using fn = int (*)(int, fd_set *, fd_set *, fd_set *, timeval *);
    static const auto f = next<fn>("select");
    if (!selects_drm(n, readfds)) return f(n, readfds, writefds, exceptfds, timeout);
    const long long deadline =
        timeout == nullptr
            ? -1
            : now_ns() + static_cast<long long>(timeout->tv_sec) * 1000000000 + timeout->tv_usec * 1000;
    // select empties the sets when it times out: each wait starts from the asked ones.
    fd_set sets[3] = {};
    fd_set *given[3] = {readfds, writefds, exceptfds};
    for (int i = 0; i < 3; ++i)
        if (given[i] != nullptr) sets[i] = *given[i];
    const int r = wait_with_flips(deadline, [&](int ms) {
        for (int i = 0; i < 3; ++i)
            if (given[i] != nullptr) *given[i] = sets[i];
        timeval t{ms / 1000, static_cast<suseconds_t>(ms % 1000) * 1000};
        return f(n, readfds, writefds, exceptfds, ms < 0 ? nullptr : &t);
    });
    if (timeout != nullptr) {
        const long long left = std::max(0LL, deadline - now_ns());
        timeout->tv_sec = static_cast<time_t>(left / 1000000000);
        timeout->tv_usec = static_cast<suseconds_t>(left % 1000000000 / 1000);
    }
    return r;
}

int pselect(int n, fd_set *readfds, fd_set *writefds, fd_set *exceptfds,
            const struct timespec *timeout, const sigset_t *mask) {
    using fn = int (*)(int, fd_set *, fd_set *, fd_set *, const timespec *, const sigset_t *);
    static const auto f = next<fn>("pselect");
    if (!selects_drm(n, readfds)) return f(n, readfds, writefds, exceptfds, timeout, mask);
    fd_set sets[3] = {};
    fd_set *given[3] = {readfds, writefds, exceptfds};
    for (int i = 0; i < 3; ++i)
        if (given[i] != nullptr) sets[i] = *given[i];
    return wait_with_flips(deadline_after(timeout), [&](int ms) {
        for (int i = 0; i < 3; ++i)
            if (given[i] != nullptr) *given[i] = sets[i];
        const timespec t = from_ms(ms);
        return f(n, readfds, writefds, exceptfds, ms < 0 ? nullptr : &t, mask);
    });
}

}  // extern "C"
