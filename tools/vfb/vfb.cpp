// A virtual framebuffer device for machines without /dev/fb, and a virtual
// DRM/KMS node (vfb_drm.cpp) for machines without /dev/dri.
//
// Plays the kernel's part for a few device paths: access, open, ioctl, mmap
// and close on those paths (and read, poll and select on the DRM node's
// descriptors) are answered here, everything else passes through to libc.
// The framebuffer's memory is the file ZR_VFB_MEMORY, mapped shared, so that
// another process can read what was drawn. Loaded with LD_PRELOAD (zr-vfb,
// whose --help lists every ZR_VFB_* setting and fault), or linked into a test
// program directly.
//
// The framebuffer pans over up to three screens (FBIOPUT_VSCREENINFO grows
// the memory, FBIOPAN_DISPLAY moves the screen) and FBIO_WAITFORVSYNC waits
// for the next 1/60 s.
// Its own definitions of read and poll stand in for libc's: no fortified inlines.
#undef _FORTIFY_SOURCE
#include "vfb.hpp"

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

namespace zr_vfb::detail {

const char *env_or(const char *name, const char *fallback) {
    const char *v = std::getenv(name);
    return v != nullptr && v[0] != '\0' ? v : fallback;
}

bool listed(const char *list, char sep, const char *item) {
    const std::size_t n = std::strlen(item);
    while (list != nullptr) {
        const char *end = std::strchr(list, sep);
        const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - list) : std::strlen(list);
        if (length == n && std::strncmp(list, item, n) == 0) return true;
        list = end != nullptr ? end + 1 : nullptr;
    }
    return false;
}

bool failing(const char *what) { return listed(std::getenv("ZR_VFB_FAIL"), ',', what); }

int fail(int e) {
    errno = e;
    return -1;
}

geometry current_geometry() {
    int w = 320, h = 240;
    std::sscanf(env_or("ZR_VFB_SIZE", "320x240"), "%dx%d", &w, &h);
    geometry g{std::max(w, 1), std::max(h, 1), std::atoi(env_or("ZR_VFB_BPP", "16")), 0, 0};
    g.bits_per_pixel = g.depth == 15 ? 16 : g.depth;
    // As asked for, even when too short (the device then does not open); -1: not a number.
    char *end = nullptr;
    const long asked = std::strtol(env_or("ZR_VFB_LINE_LENGTH", "0"), &end, 10);
    g.line_length = *end != '\0' || asked < 0 ? -1 : asked == 0 ? row_bytes(g) : asked;
    return g;
}

long row_bytes(const geometry &g) { return (static_cast<long>(g.width) * g.bits_per_pixel + 7) / 8; }

std::string memory_path() {
    char fallback[64];
    std::snprintf(fallback, sizeof fallback, "/tmp/zr-vfb-%u.mem", static_cast<unsigned>(getuid()));
    return env_or("ZR_VFB_MEMORY", fallback);
}

// process_vm_readv on this process faults softly where the kernel's
// copy_from_user and copy_to_user would; memcpy only where it is not allowed.
bool copy_in(void *to, const void *from, std::size_t n) {
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
bool copy_out(void *to_user, const void *from, std::size_t n) { return copy_in(to_user, from, n); }

int real_open(const char *path, int flags, mode_t mode) {
    static const auto f = next<int (*)(const char *, int, ...)>("open");
    return f(path, flags, mode);
}
int real_close(int fd) {
    static const auto f = next<int (*)(int)>("close");
    return f(fd);
}
void *real_mmap(void *addr, std::size_t length, int prot, int flags, int fd, off_t offset) {
    static const auto f = next<void *(*)(void *, std::size_t, int, int, int, off_t)>("mmap");
    return f(addr, length, prot, flags, fd, offset);
}

long long now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

long long next_vblank(int hz) {
    const long long now = now_ns();
    const char *fast = std::getenv("ZR_VFB_FAST");
    if (fast != nullptr && fast[0] != '\0' && std::strcmp(fast, "0") != 0) return now;
    const long long period = 1000000000LL / (hz > 0 ? hz : 60);
    return (now / period + 1) * period;
}

// libc's own sleep: the preloaded one would take pictures.
void sleep_until(long long ns) {
    static const auto f = next<int (*)(clockid_t, int, const timespec *, timespec *)>("clock_nanosleep");
    const timespec t{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (f(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

namespace {
screen shown{};
}

void (*on_screen_event)(event e, const screen &now) = nullptr;
volatile bool finished = false;

void screen_event(event e, const screen *s) {
    if (s != nullptr) shown = *s;
    if (on_screen_event != nullptr) on_screen_event(e, shown);
}

void end_if_finished() {
    if (finished) std::exit(0);
}

}  // namespace zr_vfb::detail

namespace zr_vfb {

screen_pixels visible_screen() {
    detail::drm_settle();
    const screen &s = detail::shown;
    screen_pixels out;
    if (s.memory.empty()) return out;
    out = {s.g.width, s.g.height, s.g.depth, s.g.bits_per_pixel, {}};
    const long row = detail::row_bytes(s.g);
    out.pixels.assign(static_cast<std::size_t>(row) * s.g.height, 0);
    const int fd = detail::real_open(s.memory.c_str(), O_RDONLY | O_CLOEXEC, 0);
    for (int y = 0; fd >= 0 && y < s.g.height; ++y)
        if (pread(fd, out.pixels.data() + static_cast<std::size_t>(y) * row, static_cast<std::size_t>(row),
                  s.offset + static_cast<off_t>(y) * s.g.line_length) != row)
            break;
    if (fd >= 0) detail::real_close(fd);
    return out;
}

}  // namespace zr_vfb

namespace {

using namespace zr_vfb::detail;
using zr_vfb::geometry;

// The descriptor standing for the framebuffer device (one at a time), its
// geometry, and its panning: the rows its memory holds, the rows of the
// virtual screen and the first row shown.
struct {
    int fd = -1;
    geometry g;
    std::string memory;
    int rows, yres_virtual, yoffset;
} fb;

bool is_device(const char *path) {
    return path != nullptr && path[0] != '\0' && listed(env_or("ZR_VFB_DEVICE", "/dev/fb:/dev/fb0"), ':', path);
}

// The screen at the current offset; program: as the program panned it.
void show_fb(event e, bool program) {
    const zr_vfb::screen s{fb.g, fb.memory, static_cast<long>(fb.yoffset) * fb.g.line_length, program};
    screen_event(e, &s);
}

int open_device(int flags) {
    if (failing("open")) return fail(EACCES);
    const geometry g = current_geometry();
    if (g.line_length < row_bytes(g)) {
        // Said here: the program only learns that the device did not open.
        const char *asked = std::getenv("ZR_VFB_LINE_LENGTH");
        if (g.line_length < 0)
            std::fprintf(stderr, "zr-vfb: ZR_VFB_LINE_LENGTH %s is not a number of bytes; the device does not open\n", asked);
        else
            std::fprintf(stderr, "zr-vfb: ZR_VFB_LINE_LENGTH %s is less than the %ld bytes of a row (%d pixels at depth "
                         "%d); the device does not open\n", asked, row_bytes(g), g.width, g.depth);
        return fail(EINVAL);
    }
    const std::string memory = memory_path();
    const int fd = real_open(memory.c_str(), (flags & O_ACCMODE) | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return fd;
    struct stat st {};
    const off_t size = static_cast<off_t>(g.line_length) * g.height;
    if (fstat(fd, &st) == 0 && st.st_size != size && ftruncate(fd, size) != 0) {
        const int e = errno;
        real_close(fd);
        return fail(e);
    }
    fb.fd = fd;
    fb.g = g;
    fb.memory = memory;
    fb.rows = fb.yres_virtual = g.height;
    fb.yoffset = 0;
    show_fb(event::moved, true);
    return fd;
}

fb_var_screeninfo current_var() {
    const geometry &g = fb.g;
    fb_var_screeninfo v{};
    v.xres = v.xres_virtual = static_cast<__u32>(g.width);
    v.yres = static_cast<__u32>(g.height);
    v.yres_virtual = static_cast<__u32>(fb.yres_virtual);
    v.yoffset = static_cast<__u32>(fb.yoffset);
    v.bits_per_pixel = static_cast<__u32>(g.bits_per_pixel);
    if (g.depth == 15 || g.depth == 16 || g.depth == 24 || g.depth == 32) {
        const __u32 blue = g.depth <= 16 ? 5 : 8, green = g.depth == 16 ? 6 : blue;
        v.blue = {0, blue, 0};
        v.green = {blue, green, 0};
        v.red = {blue + green, blue, 0};
    } else {  // indexed or grey
        v.red = v.green = v.blue = {0, static_cast<__u32>(g.depth), 0};
    }
    return v;
}

// FBIOPUT_VSCREENINFO: only the virtual height and the offset change. A
// move that is not a pan gives the screen back, as the library's restore of
// the screen it found does at close.
int put_var(void *arg) {
    fb_var_screeninfo asked, var = current_var();
    if (!copy_in(&asked, arg, sizeof asked)) return fail(EFAULT);
    // Like a driver without check_var (vesafb): nothing changes, and it says so.
    if (failing("pan")) return copy_out(arg, &var, sizeof var) ? 0 : fail(EFAULT);
    if (asked.xres != var.xres || asked.yres != var.yres || asked.bits_per_pixel != var.bits_per_pixel ||
        asked.xres_virtual > var.xres || asked.xoffset != 0)
        return fail(EINVAL);
    const std::uint64_t rows = std::max<std::uint64_t>(asked.yres_virtual, var.yres);
    if (rows > 3 * std::uint64_t{var.yres} || asked.yoffset > rows - var.yres) return fail(EINVAL);
    var.yres_virtual = static_cast<__u32>(rows);
    var.yoffset = asked.yoffset;
    if ((asked.activate & FB_ACTIVATE_MASK) != FB_ACTIVATE_TEST) {
        if (static_cast<int>(rows) > fb.rows) {
            if (ftruncate(fb.fd, static_cast<off_t>(fb.g.line_length) * static_cast<off_t>(rows)) != 0)
                return fail(ENOMEM);
            fb.rows = static_cast<int>(rows);
        }
        fb.yres_virtual = static_cast<int>(rows);
        if (static_cast<int>(var.yoffset) != fb.yoffset) {
            screen_event(event::given_back, nullptr);
            fb.yoffset = static_cast<int>(var.yoffset);
            show_fb(event::moved, false);
        }
    }
    return copy_out(arg, &var, sizeof var) ? 0 : fail(EFAULT);
}

// FBIOPAN_DISPLAY, as the kernel checks it for a device that pans by whole
// rows (ypanstep 1), neither sideways nor by wrapping. Every pan presents.
int pan(void *arg) {
    fb_var_screeninfo asked;
    if (!copy_in(&asked, arg, sizeof asked)) return fail(EFAULT);
    if (failing("pan") || asked.xoffset > 0 || (asked.yoffset > 0 && (asked.vmode & FB_VMODE_YWRAP) != 0) ||
        std::uint64_t{asked.yoffset} + static_cast<std::uint64_t>(fb.g.height) > static_cast<std::uint64_t>(fb.yres_virtual))
        return fail(EINVAL);
    fb.yoffset = static_cast<int>(asked.yoffset);
    show_fb(event::presented, true);
    return 0;
}

int fb_ioctl(unsigned long request, void *arg) {
    switch (request) {
        case FBIOGET_VSCREENINFO: {
            if (failing("vscreeninfo")) return fail(EINVAL);
            const fb_var_screeninfo var = current_var();
            return copy_out(arg, &var, sizeof var) ? 0 : fail(EFAULT);
        }
        case FBIOGET_FSCREENINFO: {
            if (failing("fscreeninfo")) return fail(EINVAL);
            fb_fix_screeninfo fix{};
            std::strncpy(fix.id, "zr-vfb", sizeof fix.id - 1);
            fix.smem_len = static_cast<__u32>(fb.g.line_length * fb.rows);
            fix.type = FB_TYPE_PACKED_PIXELS;
            fix.visual = fb.g.depth <= 8 ? FB_VISUAL_PSEUDOCOLOR : FB_VISUAL_TRUECOLOR;
            fix.ypanstep = failing("pan") ? 0 : 1;
            fix.line_length = static_cast<__u32>(fb.g.line_length);
            return copy_out(arg, &fix, sizeof fix) ? 0 : fail(EFAULT);
        }
        case FBIOPUT_VSCREENINFO: return put_var(arg);
        case FBIOPAN_DISPLAY: return pan(arg);
        case FBIO_WAITFORVSYNC: {
            __u32 crtc = 0;
            if (failing("pan")) return fail(ENOTTY);
            if (!copy_in(&crtc, arg, sizeof crtc)) return fail(EFAULT);
            if (crtc != 0) return fail(ENODEV);
            sleep_until(next_vblank(60));
            screen_event(event::presented, nullptr);
            return 0;
        }
        default: return fail(ENOTTY);
    }
}

template <class Off>
void *map(void *addr, size_t length, int prot, int flags, int fd, Off offset, const char *name) {
    if (fd >= 0 && fd == fb.fd) {
        // Within the memory, in whole pages, as fb_mmap checks.
        const long long page = sysconf(_SC_PAGESIZE);
        const long long limit = (static_cast<long long>(fb.g.line_length) * fb.rows + page - 1) / page * page;
        if (failing("mmap")) return errno = ENOMEM, MAP_FAILED;
        if (offset < 0 || offset > limit || static_cast<long long>(length) > limit - offset)
            return errno = EINVAL, MAP_FAILED;
    }
    if (drm_owns(fd)) return drm_mmap(addr, length, prot, flags, fd, static_cast<off_t>(offset));
    return next<void *(*)(void *, size_t, int, int, int, Off)>(name)(addr, length, prot, flags, fd, offset);
}

bool ours(const char *path) { return drm_is_path(path) || is_device(path); }
int open_ours(const char *path, int flags) { return drm_is_path(path) ? drm_open(flags) : open_device(flags); }

int open_other(const char *name, const char *path, int flags, va_list ap) {
    // A mode follows only when a file may be created.
    const bool creates = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    const mode_t mode = creates ? static_cast<mode_t>(va_arg(ap, int)) : 0;
    return next<int (*)(const char *, int, ...)>(name)(path, flags, mode);
}

// Runs wait(milliseconds), a poll or select of the caller's, until it reports
// something or deadline (ns, -1: none) passes, waking when a flip is due so
// that it lands and its event makes the DRM descriptor readable.
template <class Wait>
int wait_with_flips(long long deadline, Wait wait) {
    for (;;) {
        const long long due = drm_settle(), now = now_ns();
        if (deadline >= 0 && now >= deadline) return wait(0);
        const long long until = due >= 0 && (deadline < 0 || due < deadline) ? due : deadline;
        const int ms = until < 0 ? -1 : static_cast<int>(std::min<long long>((until - now + 999999) / 1000000, INT_MAX));
        const int r = wait(ms);
        if (r != 0 || due < 0) return r;
    }
}

}  // namespace

extern "C" {

int access(const char *path, int mode) {
    if (ours(path)) return 0;
    static const auto f = next<int (*)(const char *, int)>("access");
    return f(path, mode);
}

int open(const char *path, int flags, ...) {
    if (ours(path)) return open_ours(path, flags);
    va_list ap;
    va_start(ap, flags);
    const int r = open_other("open", path, flags, ap);
    va_end(ap);
    return r;
}

int open64(const char *path, int flags, ...) {
    if (ours(path)) return open_ours(path, flags);
    va_list ap;
    va_start(ap, flags);
    const int r = open_other("open64", path, flags, ap);
    va_end(ap);
    return r;
}

int __open_2(const char *path, int flags) {
    return ours(path) ? open_ours(path, flags) : next<int (*)(const char *, int)>("__open_2")(path, flags);
}

int __open64_2(const char *path, int flags) {
    return ours(path) ? open_ours(path, flags) : next<int (*)(const char *, int)>("__open64_2")(path, flags);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    const bool device = fd >= 0 && fd == fb.fd;
    if (!device && !drm_owns(fd)) {
        static const auto f = next<int (*)(int, unsigned long, void *)>("ioctl");
        return f(fd, request, arg);
    }
    const int r = device ? fb_ioctl(request, arg) : drm_ioctl(fd, request, arg);
    end_if_finished();
    return r;
}

void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
    return map(addr, length, prot, flags, fd, offset, "mmap");
}

#if !defined(__LP64__)
void *mmap64(void *addr, size_t length, int prot, int flags, int fd, off64_t offset) {
    return map(addr, length, prot, flags, fd, offset, "mmap64");
}
#endif

int close(int fd) {
    if (fd >= 0 && fd == fb.fd) fb.fd = -1;
    if (drm_owns(fd)) drm_close(fd);
    return real_close(fd);
}

ssize_t read(int fd, void *buf, size_t count) {
    if (!drm_owns(fd)) {
        static const auto f = next<ssize_t (*)(int, void *, size_t)>("read");
        return f(fd, buf, count);
    }
    const ssize_t r = drm_read(fd, buf, count);
    end_if_finished();
    return r;
}

[[noreturn]] void __chk_fail(void);

ssize_t __read_chk(int fd, void *buf, size_t count, size_t buflen) {
    if (count > buflen) __chk_fail();
    return read(fd, buf, count);
}

int poll(struct pollfd *fds, nfds_t n, int timeout) {
    static const auto f = next<int (*)(pollfd *, nfds_t, int)>("poll");
    bool drm = false;
    for (nfds_t i = 0; fds != nullptr && i < n; ++i) drm = drm || drm_owns(fds[i].fd);
    if (!drm) return f(fds, n, timeout);
    const long long deadline = timeout < 0 ? -1 : now_ns() + timeout * 1000000LL;
    const int r = wait_with_flips(deadline, [&](int ms) { return f(fds, n, ms); });
    end_if_finished();
    return r;
}

int __poll_chk(struct pollfd *fds, nfds_t n, int timeout, size_t fdslen) {
    if (fdslen / sizeof *fds < n) __chk_fail();
    return poll(fds, n, timeout);
}

int select(int n, fd_set *readfds, fd_set *writefds, fd_set *exceptfds, struct timeval *timeout) {
    static const auto f = next<int (*)(int, fd_set *, fd_set *, fd_set *, timeval *)>("select");
    bool drm = false;
    for (int fd = 0; readfds != nullptr && fd < n && fd < FD_SETSIZE; ++fd)
        drm = drm || (FD_ISSET(fd, readfds) && drm_owns(fd));
    if (!drm) return f(n, readfds, writefds, exceptfds, timeout);
    const long long deadline =
        timeout == nullptr ? -1 : now_ns() + timeout->tv_sec * 1000000000LL + timeout->tv_usec * 1000LL;
    // select empties the sets when it times out: each wait starts from the asked ones.
    fd_set *given[3] = {readfds, writefds, exceptfds}, sets[3] = {};
    for (int i = 0; i < 3; ++i)
        if (given[i] != nullptr) sets[i] = *given[i];
    const int r = wait_with_flips(deadline, [&](int ms) {
        for (int i = 0; i < 3; ++i)
            if (given[i] != nullptr) *given[i] = sets[i];
        timeval t{ms / 1000, static_cast<suseconds_t>(ms % 1000) * 1000};
        return f(n, readfds, writefds, exceptfds, ms < 0 ? nullptr : &t);
    });
    end_if_finished();
    return r;
}

}  // extern "C"
