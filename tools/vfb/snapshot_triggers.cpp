// When the preloadable virtual framebuffer takes its pictures: at exit, on
// SIGINT, SIGTERM and SIGHUP (after which the program dies of that signal),
// and before every sleep of at least ZR_VFB_SNAP_ON_SLEEP microseconds. The
// sleep functions are wrapped here, so ZR_VFB_FAST=1 can also make them return
// at once. Nothing is taken before the program has opened a device.
//
// Pictures show the screen: the framebuffer device's rows at its pan offset,
// or what the DRM node's CRTC scans out. A program that gives the DRM node's
// CRTC back (restores the console, or turns it off) gets its exit picture
// then, of its own last screen, and none at exit unless it shows its own again.
#include "snapshot.hpp"
#include "vfb_internal.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

template <class F>
F real(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Read once when the library loads.
struct settings {
    char dir[PATH_MAX] = "";  // empty: no pictures
    long long on_sleep = -1;  // microseconds; negative: no pictures on sleeps
    bool fast = false;
    long long frames = 0;  // exit(0) after this many pictures; 0: no limit
};
settings config;

// The screen as last told; copied to fixed storage so that a signal handler
// can use it. An empty memory_file: a dark screen.
bool opened = false;
zr_vfb::geometry device{};
char memory_file[PATH_MAX] = "";
long offset = 0;
bool shows_program = false;
bool given_back = false;  // the program's exit picture was taken when it gave the screen back

long long taken = 0;             // pictures so far, the last one's number
volatile sig_atomic_t busy = 0;  // a picture is being written
constexpr int caught[] = {SIGINT, SIGTERM, SIGHUP};

bool limit_reached() { return config.frames > 0 && taken >= config.frames; }

void say(const char *a, const char *b) {
    // write(2) only: this may run in a signal handler.
    const char *parts[] = {"zr-vfb: ", a, b, "\n"};
    for (const char *s : parts) {
        if (write(STDERR_FILENO, s, std::strlen(s)) < 0) return;
    }
}

// DIR/frame-NNNN.png, at least four digits.
void frame_path(long long n, char *out, std::size_t size) {
    char digits[24];
    int len = 0;
    do {
        digits[len++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n > 0 || len < 4);
    std::size_t at = 0;
    auto put = [&](char c) {
        if (at + 1 < size) out[at++] = c;
    };
    for (const char *s = config.dir; *s != '\0'; ++s) put(*s);
    for (const char *s = "/frame-"; *s != '\0'; ++s) put(*s);
    while (len > 0) put(digits[--len]);
    for (const char *s = ".png"; *s != '\0'; ++s) put(*s);
    out[at] = '\0';
}

// Takes the next picture from the screen's memory file.
void take_picture() {
    busy = 1;
    char path[PATH_MAX + 32];
    frame_path(++taken, path, sizeof path);
    const std::size_t bytes =
        static_cast<std::size_t>(offset) + static_cast<std::size_t>(device.line_length) * device.height;
    bool ok = false;
    const int fd = memory_file[0] == '\0' ? -1 : openat(AT_FDCWD, memory_file, O_RDONLY | O_CLOEXEC);
    if (fd >= 0 || memory_file[0] == '\0') {
        void *mem = fd >= 0 ? mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, 0)
                            : mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (fd >= 0) close(fd);
        if (mem != MAP_FAILED) {
            ok = zr_vfb::write_png(path, device, static_cast<const unsigned char *>(mem) + offset);
            munmap(mem, bytes);
        }
    }
    if (!ok) say("could not write ", path);
    busy = 0;
}

void on_exit_picture() {
    zr_vfb::detail::drm_settle();
    if (opened && busy == 0 && !limit_reached() && !given_back) take_picture();
}

void on_signal(int sig) {
    if (busy == 0 && !limit_reached()) take_picture();
    // Die of the same signal: it stays blocked until this handler returns.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(sig, &dfl, nullptr);
    raise(sig);
}

void screen_changed(const zr_vfb::screen &next) {
    if (config.dir[0] == '\0' || next.memory.size() >= sizeof memory_file) return;
    if (opened && shows_program && !next.program && busy == 0 && !limit_reached()) {
        take_picture();
        given_back = true;
    }
    if (next.program) given_back = false;
    device = next.g;
    std::memcpy(memory_file, next.memory.c_str(), next.memory.size() + 1);
    offset = next.offset;
    shows_program = next.program;
    if (opened) return;
    opened = true;
    mkdir(config.dir, 0755);
    std::atexit(on_exit_picture);
    // Only signals the program left at their default action.
    for (int sig : caught) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
        struct sigaction act {};
        act.sa_handler = on_signal;
        sigemptyset(&act.sa_mask);
        sigaction(sig, &act, nullptr);
    }
}

// Called by every sleep wrapper; true when the sleep is to be skipped.
bool before_sleep(long long usec) {
    zr_vfb::detail::drm_settle();
    if (opened && config.on_sleep >= 0 && usec >= config.on_sleep && !limit_reached()) {
        take_picture();
        if (limit_reached()) std::exit(0);
    }
    return config.fast;
}

long long micros(const timespec &t) {
    if (t.tv_sec >= LLONG_MAX / 1000000 - 1) return LLONG_MAX;
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

[[gnu::constructor]] void load_settings() {
    if (const char *dir = std::getenv("ZR_VFB_SNAP_DIR");
        dir != nullptr && dir[0] != '\0' && std::strlen(dir) < sizeof config.dir)
        std::strcpy(config.dir, dir);
    if (const char *v = std::getenv("ZR_VFB_SNAP_ON_SLEEP"); v != nullptr && v[0] != '\0')
        config.on_sleep = std::atoll(v);
    if (const char *v = std::getenv("ZR_VFB_FAST"); v != nullptr)
        config.fast = v[0] != '\0' && std::strcmp(v, "0") != 0;
    if (const char *v = std::getenv("ZR_VFB_FRAMES"); v != nullptr) config.frames = std::atoll(v);
    zr_vfb::on_screen_change = screen_changed;
}

}  // namespace

extern "C" {

unsigned int sleep(unsigned int seconds) {
    if (before_sleep(static_cast<long long>(seconds) * 1000000)) return 0;
    static const auto next = real<unsigned int (*)(unsigned int)>("sleep");
    return next(seconds);
}

int usleep(useconds_t usec) {
    if (before_sleep(usec)) return 0;
    static const auto next = real<int (*)(useconds_t)>("usleep");
    return next(usec);
}

int nanosleep(const struct timespec *req, struct timespec *rem) {
    if (req != nullptr && before_sleep(micros(*req))) return 0;
    static const auto next = real<int (*)(const timespec *, timespec *)>("nanosleep");
    return next(req, rem);
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec *req, struct timespec *rem) {
    if (req != nullptr) {
        long long usec = micros(*req);
        if ((flags & TIMER_ABSTIME) != 0) {
            timespec now{};
            clock_gettime(clock, &now);
            usec = usec == LLONG_MAX ? usec : usec - micros(now);
        }
        if (before_sleep(usec)) return 0;
    }
    static const auto next =
        real<int (*)(clockid_t, int, const timespec *, timespec *)>("clock_nanosleep");
    return next(clock, flags, req, rem);
}

}  // extern "C"
