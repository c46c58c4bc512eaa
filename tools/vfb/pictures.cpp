// The preloaded device's pictures: PNG files ZR_VFB_SNAP_DIR/frame-NNNN.png
// of what the screen shows (8-bit RGB; each stored channel widened by a left
// shift only, as the library reads its own pixels; depths 1, 4 and 8 as grey).
// A picture is taken
//   - at a present (a pan, a flip landing, a DIRTYFB), at a vsync wait, and
//     before any sleep when ZR_VFB_SNAP_ON_SLEEP is not set, when the screen
//     changed since the last picture or since it was set up (so that probes
//     of blank buffers, and presents in more than one call, take one or none);
//   - before every sleep of at least ZR_VFB_SNAP_ON_SLEEP microseconds;
//   - when the program gives its screen back, and at its exit while the
//     screen is still its own, unless the last picture shows the same;
//   - on SIGINT, SIGTERM and SIGHUP, after which the program dies of it.
// ZR_VFB_FRAMES ends the program with status 0 after that many pictures;
// ZR_VFB_FAST makes sleeps return at once. A picture takes the next free
// number, so programs that share a folder never overwrite each other's.
#include "vfb.hpp"

#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

using namespace zr_vfb::detail;
using zr_vfb::geometry;

// Read once when the library loads.
struct {
    char dir[PATH_MAX] = "";  // empty: no pictures
    long long on_sleep = -1;  // microseconds; negative: sleeps take changed screens only
    bool fast = false;
    long long frames = 0;  // 0: no limit
} config;

// Where the screen is, in fixed storage that a signal handler can read.
struct {
    geometry g;
    char file[PATH_MAX];  // empty: a dark screen
    long offset;
    bool program;
} where{};

bool opened = false, given_back = false;
unsigned long long seen = 0, last = 0;  // the screen at the last picture or set-up; at the last picture
long long taken = 0, number = 0;        // pictures of this program; the last file number used
std::atomic<bool> busy{false};

void say(const char *a, const char *b) {
    for (const char *s : {"zr-vfb: ", a, b, "\n"})
        if (write(STDERR_FILENO, s, std::strlen(s)) < 0) return;
}

// ---- PNG files, with no heap and no stdio: a signal handler writes them too

void to_rgb_row(const geometry &g, const unsigned char *row, unsigned char *rgb) {
    for (int x = 0; x < g.width; ++x, rgb += 3) {
        const unsigned char *p = row + static_cast<std::size_t>(x) * g.bits_per_pixel / 8;
        const unsigned v = p[0] | (g.bits_per_pixel >= 16 ? p[1] << 8 : 0);
        unsigned r = 0, gr = 0, b = 0;
        switch (g.depth) {
            case 1: r = gr = b = ((row[x / 8] >> (7 - x % 8)) & 1u) << 7; break;
            case 4: r = gr = b = ((row[x / 2] >> (x % 2 == 0 ? 4 : 0)) & 0xFu) << 4; break;
            case 8: r = gr = b = p[0]; break;
            case 15: r = (v >> 10 & 0x1Fu) << 3, gr = (v >> 5 & 0x1Fu) << 3, b = (v & 0x1Fu) << 3; break;
            case 16: r = (v >> 11 & 0x1Fu) << 3, gr = (v >> 5 & 0x3Fu) << 2, b = (v & 0x1Fu) << 3; break;
            case 24:
            case 32: r = p[2], gr = p[1], b = p[0]; break;
            default: break;  // black
        }
        rgb[0] = static_cast<unsigned char>(r);
        rgb[1] = static_cast<unsigned char>(gr);
        rgb[2] = static_cast<unsigned char>(b);
    }
}

// libpng's and zlib's memory for one picture: one anonymous mapping, handed
// out front to back and dropped whole.
struct arena {
    unsigned char *base;
    std::size_t size, used;
};

png_voidp arena_take(png_structp png, png_alloc_size_t n) {
    auto *a = static_cast<arena *>(png_get_mem_ptr(png));
    n = (n + 15) & ~png_alloc_size_t{15};
    if (n > a->size - a->used) return nullptr;
    a->used += n;
    return a->base + a->used - n;
}
void arena_give_back(png_structp, png_voidp) {}
[[noreturn]] void on_png_error(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void on_png_warning(png_structp, png_const_charp) {}
void flush_nothing(png_structp) {}

void write_bytes(png_structp png, png_bytep data, std::size_t n) {
    const int fd = *static_cast<const int *>(png_get_io_ptr(png));
    while (n > 0) {
        const ssize_t done = write(fd, data, n);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) png_error(png, "write");
        data += done;
        n -= static_cast<std::size_t>(done);
    }
}

// The libpng calls proper; an error inside them comes back here by longjmp.
bool write_rows(png_structp png, png_infop info, int *fd, const geometry &g, const unsigned char *rows,
                png_bytep rgb) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_write_fn(png, fd, write_bytes, flush_nothing);
    png_set_IHDR(png, info, static_cast<png_uint_32>(g.width), static_cast<png_uint_32>(g.height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 1);  // pictures come often: speed first
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_write_info(png, info);
    for (int y = 0; y < g.height; ++y) {
        to_rgb_row(g, rows + static_cast<std::size_t>(y) * static_cast<std::size_t>(g.line_length), rgb);
        png_write_row(png, rgb);
    }
    png_write_end(png, nullptr);
    return true;
}

bool write_png(int fd, const geometry &g, const unsigned char *rows) {
    // Room for zlib's window and hash tables and libpng's row buffers, with a wide margin.
    const std::size_t row = (static_cast<std::size_t>(g.width) * 3 + 15) & ~std::size_t{15};
    arena a{nullptr, (std::size_t{2} << 20) + 17 * row, row};
    void *base = real_mmap(nullptr, a.size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return false;
    a.base = static_cast<unsigned char *>(base);
    png_structp png = png_create_write_struct_2(PNG_LIBPNG_VER_STRING, nullptr, on_png_error, on_png_warning, &a,
                                                arena_take, arena_give_back);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    const bool ok = info != nullptr && write_rows(png, info, &fd, g, rows, a.base);
    munmap(base, a.size);
    return ok;
}

// ---- taking them

// DIR/frame-NNNN.png (at least four digits) of the next free number.
int next_file(char *path, std::size_t size) {
    for (int tries = 0; tries < 100000; ++tries) {
        char digits[24];
        int len = 0;
        for (long long n = ++number; n > 0 || len < 4; n /= 10) digits[len++] = static_cast<char>('0' + n % 10);
        std::size_t at = 0;
        auto put = [&](const char *s) {
            for (; *s != '\0' && at + 1 < size; ++s) path[at++] = *s;
        };
        put(config.dir);
        put("/frame-");
        while (len > 0 && at + 1 < size) path[at++] = digits[--len];
        put(".png");
        path[at] = '\0';
        const int fd = openat(AT_FDCWD, path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

enum class rule { always, if_changed, unless_last };

// The screen's rows mapped read-only (a dark screen: zeros), with their
// hash; null when the file cannot be mapped.
const unsigned char *map_screen(std::size_t *bytes, unsigned long long *hash) {
    const geometry &g = where.g;
    *bytes = static_cast<std::size_t>(where.offset) + static_cast<std::size_t>(g.line_length) * g.height;
    const int fd = where.file[0] != '\0' ? openat(AT_FDCWD, where.file, O_RDONLY | O_CLOEXEC) : -1;
    if (where.file[0] != '\0' && fd < 0) return nullptr;
    void *m = real_mmap(nullptr, *bytes, PROT_READ, fd >= 0 ? MAP_SHARED : MAP_PRIVATE | MAP_ANONYMOUS, fd, 0);
    if (fd >= 0) real_close(fd);
    if (m == MAP_FAILED) return nullptr;
    const auto *rows = static_cast<const unsigned char *>(m) + where.offset;
    unsigned long long h = 14695981039346656037ULL;  // FNV-1a of the rows' pixels
    for (int y = 0; y < g.height; ++y)
        for (long i = 0, n = row_bytes(g); i < n; ++i) h = (h ^ rows[y * g.line_length + i]) * 1099511628211ULL;
    *hash = h;
    return rows;
}

void picture(rule r) {
    if (!opened || config.dir[0] == '\0' || finished || busy.exchange(true)) return;
    std::size_t bytes = 0;
    unsigned long long h = 0;
    const unsigned char *rows = map_screen(&bytes, &h);
    const bool skip = (r == rule::if_changed && h == seen) || (r == rule::unless_last && taken > 0 && h == last);
    if (rows != nullptr && !skip) {
        char path[PATH_MAX + 32];
        const int fd = next_file(path, sizeof path);
        const bool ok = fd >= 0 && write_png(fd, where.g, rows);
        if (fd >= 0 && (real_close(fd) != 0 || !ok)) unlinkat(AT_FDCWD, path, 0);
        if (!ok) say("could not write ", path);
        seen = last = h;
        ++taken;
        finished = config.frames > 0 && taken >= config.frames;
    }
    if (rows != nullptr) munmap(const_cast<unsigned char *>(rows - where.offset), bytes);
    busy = false;
}

void at_exit() {
    drm_settle();
    if (!given_back && where.program) picture(rule::unless_last);
}

void on_signal(int sig) {
    picture(rule::always);
    // Die of the same signal: it stays blocked until this handler returns.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(sig, &dfl, nullptr);
    raise(sig);
}

void on_event(event e, const zr_vfb::screen &s) {
    if (e == event::given_back) {
        if (where.program) picture(rule::unless_last);
        given_back = given_back || where.program;
        return;
    }
    if (s.memory.size() >= sizeof where.file) return;
    where.g = s.g;
    std::memcpy(where.file, s.memory.c_str(), s.memory.size() + 1);
    where.offset = s.offset;
    where.program = s.program;
    given_back = given_back && !s.program;
    if (!opened) {
        opened = true;
        mkdir(config.dir, 0755);
        std::atexit(at_exit);
        // Only signals the program left at their default action.
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction old {}, act {};
            if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
            act.sa_handler = on_signal;
            sigemptyset(&act.sa_mask);
            sigaction(sig, &act, nullptr);
        }
    }
    if (e == event::presented) return picture(rule::if_changed);
    std::size_t bytes = 0;
    if (const unsigned char *rows = map_screen(&bytes, &seen))
        munmap(const_cast<unsigned char *>(rows - where.offset), bytes);
}

// Every sleep wrapper's first step; true when the sleep is skipped.
bool before_sleep(long long usec) {
    drm_settle();
    if (config.on_sleep < 0 || usec >= config.on_sleep) picture(config.on_sleep < 0 ? rule::if_changed : rule::always);
    end_if_finished();
    return config.fast;
}

long long micros(const timespec &t) {
    return t.tv_sec >= LLONG_MAX / 1000000 - 1 ? LLONG_MAX : t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

[[gnu::constructor]] void load_settings() {
    const char *dir = std::getenv("ZR_VFB_SNAP_DIR");
    if (dir != nullptr && std::strlen(dir) < sizeof config.dir) std::strcpy(config.dir, dir);
    if (const char *v = std::getenv("ZR_VFB_SNAP_ON_SLEEP"); v != nullptr && v[0] != '\0') config.on_sleep = std::atoll(v);
    const char *fast = std::getenv("ZR_VFB_FAST");
    config.fast = fast != nullptr && fast[0] != '\0' && std::strcmp(fast, "0") != 0;
    if (const char *v = std::getenv("ZR_VFB_FRAMES"); v != nullptr) config.frames = std::atoll(v);
    if (config.dir[0] != '\0') on_screen_event = on_event;
}

}  // namespace

extern "C" {

unsigned int sleep(unsigned int seconds) {
    if (before_sleep(seconds * 1000000LL)) return 0;
    static const auto f = next<unsigned int (*)(unsigned int)>("sleep");
    return f(seconds);
}

int usleep(useconds_t usec) {
    if (before_sleep(usec)) return 0;
    static const auto f = next<int (*)(useconds_t)>("usleep");
    return f(usec);
}

int nanosleep(const struct timespec *req, struct timespec *rem) {
    if (req != nullptr && before_sleep(micros(*req))) return 0;
    static const auto f = next<int (*)(const timespec *, timespec *)>("nanosleep");
    return f(req, rem);
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec *req, struct timespec *rem) {
    if (req != nullptr) {
        long long usec = micros(*req);
        timespec now{};
        if ((flags & TIMER_ABSTIME) != 0 && usec != LLONG_MAX && clock_gettime(clock, &now) == 0) usec -= micros(now);
        if (before_sleep(usec)) return 0;
    }
    static const auto f = next<int (*)(clockid_t, int, const timespec *, timespec *)>("clock_nanosleep");
    return f(clock, flags, req, rem);
}

}  // extern "C"
