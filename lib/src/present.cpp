// The display core: zr_init_ex, zr_present, zr_display_info and zr_close, and
// every policy above the backends (display.hpp): buffers, shadow, buffer age,
// the damage each buffer missed, fallbacks, vertical-blank measurement,
// pacing, the automatic flush, and the screen given up while another virtual
// terminal has it.
#include "display.hpp"
#include "pixel_format.hpp"
#include "rotate.hpp"
#include "zr_internal.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zr {

namespace {

// The automatic flush. A program that draws on the visible buffer and never
// calls zr_present (every program written before zr_present existed) would
// show nothing on a device that shows only what it is told (DIRTYFB:
// virtio-gpu, USB and SPI panels). This thread compares the buffer with a
// copy every tick and flushes the rows that changed, as the kernel's own
// framebuffer emulation does with deferred I/O (50 ms): an idle screen costs
// one comparison a tick and tells the driver nothing, and a change reaches it
// at most a tick and a comparison after it was drawn. Comparing finds every
// change, however it was drawn (through the DCs or straight into the memory).
//
// A picture turned in software on its way to the panel is compared the
// same way, in its own orientation, and the rows that changed are turned
// onto the panel before they are flushed: a program that never presents
// shows its picture turned on any device.
//
// The thread reads the picture and hands the changed rows on, nothing else.
// No other thread writes where they go meanwhile: zr_present (the program
// tells from then on) and zr_close stop it first, and exit stops it before
// anything is destroyed. A row caught half drawn differs again at the next tick.
class auto_flusher {
public:
    static constexpr auto tick = std::chrono::milliseconds(30);
    // Takes the rectangles that changed (whole rows) to the screen.
    using deliver_fn = std::function<void(const zr_rect_t *rects, int count)>;

    bool start(const unsigned char *pixels, int width, int height, int pitch, int bits_per_pixel, deliver_fn deliver) {
        stop();
        deliver_ = std::move(deliver);
        pixels_ = pixels;
        pitch_ = static_cast<std::size_t>(pitch);
        row_ = (static_cast<std::size_t>(width) * static_cast<std::size_t>(bits_per_pixel) + 7) / 8;
        width_ = width;
        height_ = height;
        try {
            copy_.assign(pixels_, pixels_ + pitch_ * static_cast<std::size_t>(height_));
            stopping_ = false;
            thread_ = std::thread([this] { run(); });
        } catch (...) {
            copy_ = {};
            return false;
        }
        return true;
    }

    void stop() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> hold(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
        copy_ = {};
    }

    bool running() const { return thread_.joinable(); }

private:
    void run() {
        std::unique_lock<std::mutex> hold(lock_);
        while (!wake_.wait_for(hold, tick, [this] { return stopping_; })) {
            hold.unlock();
            flush_changes();
            hold.lock();
        }
    }

    // Rows that differ from the copy, as runs; more runs than a flush takes
    // are joined into the last.
    void flush_changes() {
        zr_rect_t rects[max_damage];
        int n = 0;
        for (int y = 0; y < height_;) {
            if (!copy_row(y)) {
                ++y;
                continue;
            }
            const int first = y++;
            while (y < height_ && copy_row(y)) ++y;
            if (n < max_damage)
                rects[n++] = zr_rect_t{0, first, width_, y - first};
            else
                rects[n - 1].height = y - rects[n - 1].y;
        }
        if (n > 0) deliver_(rects, n);
    }

    // Copies row y when it changed; true when it did.
    bool copy_row(int y) {
        const std::size_t at = static_cast<std::size_t>(y) * pitch_;
        if (std::memcmp(copy_.data() + at, pixels_ + at, row_) == 0) return false;
        std::memcpy(copy_.data() + at, pixels_ + at, row_);
        return true;
    }

    deliver_fn deliver_;
    const unsigned char *pixels_ = nullptr;
    std::size_t pitch_ = 0, row_ = 0;
    int width_ = 0, height_ = 0;
    std::vector<unsigned char> copy_;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
};

struct free_deleter {
    void operator()(unsigned char *p) const { std::free(p); }
};

// Everything of the open display; reset at close.
struct open_state {
    const display_backend *backend = nullptr;  // null while closed
    display_buffers got{};
    int flags = 0;
    int method = ZR_PRESENT_FRONT;
    // The picture the screen DCs draw: the buffers' own geometry, or turned
    // by rotation where the core turns it (soft_turn) into a shadow of its own.
    int width = 0, height = 0, pitch = 0;
    int rotation = 0;
    bool soft_turn = false;
    int back = 0;     // the buffer drawn into, or the shadow copied into
    int visible = 0;  // the buffer on the screen
    std::unique_ptr<unsigned char, free_deleter> shadow;  // system memory the screen DCs draw into
    // Over a shadow with buffers in turn: the damage of the last two
    // presents, newest first, which the back buffer has not had (-1: the
    // whole screen).
    zr_rect_t missed[2][max_damage]{};
    int missed_count[2] = {-1, -1};
    bool waits = false;   // zr_present waits: vsync asked, or buffers shown in turn
    bool vblank = false;  // a waiting show was measured to wait for a vertical blank
    bool paced = false;   // vsync asked with no vertical blank to wait for
    std::int64_t period = 0, next_present = 0;  // nanoseconds
    bool console = false;
    bool presented = false;
    // Another virtual terminal has the screen: presents are no-ops, and
    // screen DCs over device buffers draw into away_copy meanwhile.
    bool away = false;
    std::unique_ptr<unsigned char, free_deleter> away_copy;
    // The copy drawn into while away, once back: a drawing call that began
    // before the switch back may still be writing to it, so it is freed by
    // the program's own next present (or reused by the next switch away).
    std::unique_ptr<unsigned char, free_deleter> retired_copy;
};

// The one state record of the display layer.
struct display_state {
    open_state open;
    std::vector<dc_t *> screen_dcs;  // alive; each drawing into zr_fb.mapped
    console_state console;
    auto_flusher flusher;
    bool exit_hook = false;
    const display_backend *test_backend = nullptr;
    const display_clock *clock = nullptr;
    // Held by zr_present, the screen DCs' list and the session's thread
    // (display_leave, display_enter): where drawing goes changes between
    // presents, never in one.
    std::mutex lock;
};
display_state the;

// The table: asked in order whether the device is theirs. The framebuffer
// backend takes whatever is left (its open refuses what is no framebuffer).
const display_backend *const backend_table[] = {&drm_backend, &fbdev_backend};

std::int64_t monotonic_now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

void monotonic_sleep_until(std::int64_t when) {
    const timespec t{static_cast<time_t>(when / 1000000000), static_cast<long>(when % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

constexpr display_clock real_clock{monotonic_now, monotonic_sleep_until};

const display_clock &clock_now() { return the.clock != nullptr ? *the.clock : real_clock; }

unsigned char *not_mapped() { return static_cast<unsigned char *>(MAP_FAILED); }

const display_backend *backend_for(int fd, const char *path) {
    if (the.test_backend != nullptr && the.test_backend->claims(fd, path)) return the.test_backend;
    for (const display_backend *b : backend_table)
        if (b->claims(fd, path)) return b;
    return &fbdev_backend;
}

void retarget_screen_dcs(unsigned char *from, unsigned char *to) {
    for (dc_t *dc : the.screen_dcs)
        if (dc->mapped == from) dc->mapped = to;
}

// The shadow as a plane, and buffer i.
pixel_plane shadow_plane(const open_state &o) { return {o.shadow.get(), o.width, o.height, o.pitch}; }
pixel_plane buffer_plane(const open_state &o, int i) {
    return {o.got.pixels[i], o.got.width, o.got.height, o.got.pitch};
}

// The shadow's rectangles into buffer i: copied, or turned onto the panel.
void copy_out(const open_state &o, int buffer, const zr_rect_t *rects, int n) {
    if (!o.soft_turn) return copy_damage(o.got.pixels[buffer], o.shadow.get(), o.pitch, o.got.bits_per_pixel, rects, n);
    for (int i = 0; i < n; ++i)
        turn_rect(buffer_plane(o, buffer), shadow_plane(o), o.got.bits_per_pixel, o.got.format, o.rotation, rects[i]);
}

// Tells the device which rectangles of the picture changed in buffer i, on
// the panel: turned where the picture is turned here.
void flush(const open_state &o, int buffer, const zr_rect_t *rects, int n) {
    if (!o.got.needs_flush || o.backend->flush == nullptr || n <= 0) return;
    if (!o.soft_turn) return o.backend->flush(buffer, rects, n);
    zr_rect_t panel[max_damage];
    for (int i = 0; i < n; ++i) panel[i] = turned_rect(rects[i], o.rotation, o.width, o.height);
    o.backend->flush(buffer, panel, n);
}

// What the screen DCs draw into now.
unsigned char *drawn_into(const open_state &o) {
    return o.shadow ? o.shadow.get() : o.got.pixels[o.back];
}

// The sizes the core relies on, whoever the backend is.
bool sane(const display_buffers &b) {
    if (b.count < 1 || b.count > 3 || b.width <= 0 || b.height <= 0 || b.bits_per_pixel <= 0) return false;
    const std::int64_t row = (std::int64_t{b.width} * b.bits_per_pixel + 7) / 8;
    if (b.pitch < row || std::int64_t{b.pitch} * b.height > INT32_MAX ||
        std::int64_t{b.width} * b.height > INT32_MAX)
        return false;
    for (int i = 0; i < b.count; ++i)
        if (b.pixels[i] == nullptr) return false;
    return true;
}

// Whether show(visible, wait) waits for a vertical blank: three in a row,
// the last two each at least two fifths of a frame apart. Devices that have
// none answer at once (the framebuffer emulations of bochs and virtio-gpu
// return FBIO_WAITFORVSYNC at once; their page flips complete at once).
bool measure_vblank(open_state &o) {
    const display_clock &c = clock_now();
    if (o.backend->show(o.visible, true) != ERR_NONE) return false;
    std::int64_t last = c.now(), shortest = INT64_MAX;
    for (int i = 0; i < 2; ++i) {
        if (o.backend->show(o.visible, true) != ERR_NONE) return false;
        const std::int64_t t = c.now();
        shortest = std::min(shortest, t - last);
        last = t;
    }
    debug("a waiting show took at least %.2f ms; a frame is %.2f ms", static_cast<double>(shortest) / 1e6,
          static_cast<double>(o.period) / 1e6);
    return shortest >= o.period * 2 / 5;
}

bool make_shadow(open_state &o) {
    const auto bytes = static_cast<std::size_t>(o.pitch) * static_cast<std::size_t>(o.height);
    // Page-aligned, as the buffers it is copied to are: a row copy's loads
    // then fall on cache lines the way its stores do.
    constexpr std::size_t page = 4096;
    if (bytes > SIZE_MAX - page) return false;
    const std::size_t whole_pages = (std::max<std::size_t>(bytes, 1) + page - 1) / page * page;
    o.shadow.reset(static_cast<unsigned char *>(std::aligned_alloc(page, whole_pages)));
    if (!o.shadow) return false;
    // Drawing starts from what is on the screen.
    if (o.soft_turn) {
        const zr_rect_t panel{0, 0, o.got.width, o.got.height};
        turn_rect(shadow_plane(o), buffer_plane(o, o.visible), o.got.bits_per_pixel, o.got.format,
                  (360 - o.rotation) % 360, panel);
    } else {
        std::memcpy(o.shadow.get(), o.got.pixels[o.visible], bytes);
    }
    return true;
}

// The picture's geometry from the buffers and the turn; false for a depth
// that cannot be turned (pixels of less than a byte).
bool set_picture(open_state &o) {
    o.rotation = ((o.got.rotation % 360) + 360) % 360;
    o.soft_turn = o.rotation != 0 && !o.got.plane_turns;
    o.width = o.got.width;
    o.height = o.got.height;
    o.pitch = o.got.pitch;
    if (!o.soft_turn) return true;
    if (!turnable_depth(o.got.bits_per_pixel)) return false;
    if (o.rotation != 180) std::swap(o.width, o.height);
    o.pitch = o.width * (o.got.bits_per_pixel / 8);
    return true;
}

// Decides how pictures reach the screen from what was asked and what the
// backend gave; 0 or ERR_OUT_OF_MEMORY.
int choose_presentation(open_state &o, int wanted) {
    const int flags = o.flags;
    // A picture turned here is drawn in a shadow of its own orientation.
    const bool shadow_asked = (flags & ZR_INIT_SHADOW) != 0 || o.soft_turn;
    if (o.got.count > 1) {
        o.method = o.backend->buffered_method;
        o.visible = 0;
        o.back = 1;
        if ((shadow_asked || o.got.prefer_shadow) && !make_shadow(o)) return ERR_OUT_OF_MEMORY;
    } else if (wanted > 1 || shadow_asked) {
        o.method = ZR_PRESENT_SHADOW;
        if (!make_shadow(o)) return ERR_OUT_OF_MEMORY;
    }
    // A mode that does not say its rate is taken for 60 Hz.
    o.period = o.got.refresh_mhz > 0 ? 1000000000000 / o.got.refresh_mhz : 1000000000 / 60;
    o.waits = (flags & ZR_INIT_VSYNC) != 0 || o.got.count > 1;
    o.vblank = o.waits && measure_vblank(o);
    o.paced = (flags & ZR_INIT_VSYNC) != 0 && !o.vblank;
    return ERR_NONE;
}

void stop_at_exit() { the.flusher.stop(); }

// A program drawing on the visible buffer of a device that needs telling,
// which has not presented yet.
bool wants_auto_flush(const open_state &o) {
    const bool tells = o.method == ZR_PRESENT_FRONT && o.got.needs_flush && o.backend->flush != nullptr;
    return (tells || o.soft_turn) && !o.presented;
}

// Shows what such a program draws: turned onto the panel where it is turned
// here, and told to the driver.
bool start_auto_flush(const open_state &o) {
    return the.flusher.start(drawn_into(o), o.width, o.height, o.pitch, o.got.bits_per_pixel,
                             [](const zr_rect_t *rects, int n) {
                                 const open_state &now = the.open;
                                 if (now.soft_turn) copy_out(now, now.visible, rects, n);
                                 flush(now, now.visible, rects, n);
                             });
}

const char *method_name(int method) {
    static const char *const names[] = {"front buffer", "shadow copy", "pan", "page flip"};
    return method >= 0 && method < 4 ? names[method] : "?";
}

void report_grant(const open_state &o, int wanted) {
    if (!debug_enabled()) return;
    debug("granted: %dx%d, %d bits a pixel, %s, %d buffer%s%s; vsync %d%s", o.got.width, o.got.height,
          o.got.bits_per_pixel, method_name(o.method), o.got.count, o.got.count > 1 ? "s" : "",
          o.shadow && o.got.count > 1 ? " under a shadow in system memory" : "", o.vblank && o.waits ? 1 : 0,
          o.paced ? ", presents paced at the mode's refresh rate" : "");
    if (o.got.count < wanted)
        debug("%d buffers asked for, %d granted: the device cannot show more (see above)", wanted, o.got.count);
    const bool sideways = o.rotation % 180 != 0;
    if (o.rotation != 0)
        debug("the picture is %dx%d, turned %d degrees clockwise onto the %dx%d panel %s", o.width, o.height,
              o.rotation, sideways ? o.height : o.width, sideways ? o.width : o.height,
              o.soft_turn ? "in software, as each present copies it" : "by the DRM plane");
    if (o.got.prefer_shadow && o.shadow && (o.flags & ZR_INIT_SHADOW) == 0 && !o.soft_turn)
        debug("the driver prefers a shadow (DRM_CAP_DUMB_PREFER_SHADOW): drawing in system memory");
    if (o.waits && !o.vblank)
        debug("no vertical blank to wait for: waits for it return at once");
}

int open_display(const char *device, int flags) {
    if (device == nullptr || access(device, F_OK) != 0) {
        debug("%s: %s", device != nullptr ? device : "(null device path)",
              device != nullptr ? std::strerror(errno) : "no path given");
        return ERR_NO_DEVICE;
    }
    const int fd = open(device, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        debug("%s: cannot open it for reading and writing: %s", device, std::strerror(errno));
        return ERR_ACCESS;
    }
    const int wanted = (flags & ZR_INIT_TRIPLE_BUFFER) ? 3 : (flags & ZR_INIT_DOUBLE_BUFFER) ? 2 : 1;
    open_state &o = the.open;
    o = open_state{};
    o.backend = backend_for(fd, device);
    o.flags = flags;
    display_request want;
    want.buffers = wanted;
    want.rgb565 = (flags & ZR_INIT_RGB565) != 0;
    want.rotation = (flags & ZR_INIT_ROTATE_270) / ZR_INIT_ROTATE_90 * 90;
    want.panel_rotation = (flags & ZR_INIT_ROTATE_PANEL) != 0;
    o.got.rotation = want.rotation;
    int code = o.backend->open(fd, want, &o.got);
    if (code == ERR_NONE && !sane(o.got)) {
        debug("%s: the backend gave buffers of impossible sizes", device);
        o.backend->close();
        code = ERR_MMAP;
    }
    if (code == ERR_NONE && !set_picture(o)) {
        debug("%s: %d bits a pixel cannot be turned (whole bytes only)", device, o.got.bits_per_pixel);
        o.backend->close();
        code = ERR_INIT_FLAGS;
    }
    if (code == ERR_NONE) code = choose_presentation(o, wanted);
    if (code != ERR_NONE) {
        if (code == ERR_OUT_OF_MEMORY) {
            debug("no memory for a shadow of %d bytes", o.got.pitch * o.got.height);
            o.backend->close();
        }
        o = open_state{};
        close(fd);
        return code;
    }
    // The screen DCs take the buffers' pixel format (display_format).
    zr_fb.fd = fd;
    zr_fb.width = o.width;
    zr_fb.height = o.height;
    zr_fb.dots = o.width * o.height;
    zr_fb.bytes_per_line = o.pitch;
    zr_fb.bytes = o.pitch * o.height;
    zr_fb.bits_per_pixel = o.got.bits_per_pixel;
    zr_fb.colors = o.got.colors;
    zr_fb.mapped = drawn_into(o);
    if ((flags & ZR_INIT_CONSOLE) != 0) {
        o.console = console_to_graphics();
        if (!o.console) debug("no virtual terminal to put in graphics mode (/dev/tty0, /dev/tty)");
        if (o.console) session_start();
    }
    report_grant(o, wanted);
    if (wants_auto_flush(o)) {
        if (!the.exit_hook) the.exit_hook = std::atexit(stop_at_exit) == 0;
        if (the.exit_hook && start_auto_flush(o))
            debug("%s every %d ms until the first zr_present",
                  o.soft_turn ? "changes are turned onto the panel" : "the driver shows only what it is told: "
                                                                      "changes are flushed",
                  static_cast<int>(auto_flusher::tick.count()));
    }
    return ERR_NONE;
}

// Waits for the next frame's turn when presents are paced.
void pace(open_state &o) {
    const display_clock &c = clock_now();
    std::int64_t now = c.now();
    if (o.next_present > now) {
        c.sleep_until(o.next_present);
        now = o.next_present;
    }
    o.next_present = now + o.period;
}

// The back buffer of buffers over a shadow gets this present's damage and
// that of the presents it missed (one with two buffers, two with three).
void copy_to_back(open_state &o, const zr_rect_t *rects, int n) {
    const int missed = o.got.count - 1;
    bool whole = false;
    for (int i = 0; i < missed; ++i) whole = whole || o.missed_count[i] < 0;
    const zr_rect_t all{0, 0, o.width, o.height};
    if (whole) {
        copy_out(o, o.back, &all, 1);
    } else {
        copy_out(o, o.back, rects, n);
        for (int i = 0; i < missed; ++i) copy_out(o, o.back, o.missed[i], o.missed_count[i]);
    }
    o.missed_count[1] = o.missed_count[0];
    std::memcpy(o.missed[1], o.missed[0], sizeof o.missed[0]);
    o.missed_count[0] = n;
    std::memcpy(o.missed[0], rects, sizeof(zr_rect_t) * static_cast<std::size_t>(n));
}

int present(open_state &o, const zr_rect_t *rects, int n) {
    const display_backend &b = *o.backend;
    if (o.paced) pace(o);
    const bool wait_here = o.waits && o.vblank;
    switch (o.method) {
        case ZR_PRESENT_FRONT:
            flush(o, 0, rects, n);
            return wait_here && b.show(0, true) != ERR_NONE ? ERR_PRESENT : ERR_NONE;
        case ZR_PRESENT_SHADOW:
            if (wait_here && b.show(0, true) != ERR_NONE) return ERR_PRESENT;
            copy_out(o, 0, rects, n);
            flush(o, 0, rects, n);
            return ERR_NONE;
        default:
            break;
    }
    if (o.shadow) copy_to_back(o, rects, n);
    flush(o, o.back, rects, n);
    // Two buffers: the one shown until now is drawn on next, so the show
    // must land first. Three: the next one is neither shown nor on its way,
    // and the next show waits for this one.
    if (b.show(o.back, o.got.count < 3) != ERR_NONE) return ERR_PRESENT;
    o.visible = o.back;
    o.back = (o.back + 1) % o.got.count;
    if (!o.shadow) {
        unsigned char *was = zr_fb.mapped;
        zr_fb.mapped = o.got.pixels[o.back];
        retarget_screen_dcs(was, zr_fb.mapped);
    }
    return ERR_NONE;
}

void mark_closed() {
    zr_fb.mapped = not_mapped();
    zr_fb.fd = -1;
}

}  // namespace

console_state &display_console() { return the.console; }

pixel_format display_format() { return the.open.backend != nullptr ? the.open.got.format : pixel_format::none; }

bool register_screen_dc(dc_t *dc) {
    std::lock_guard<std::mutex> hold(the.lock);
    dc->mapped = zr_fb.mapped;  // where drawing goes now, should a switch have moved it
    try {
        the.screen_dcs.push_back(dc);
    } catch (...) {
        return false;
    }
    return true;
}

void unregister_screen_dc(dc_t *dc) {
    std::lock_guard<std::mutex> hold(the.lock);
    auto &all = the.screen_dcs;
    all.erase(std::remove(all.begin(), all.end(), dc), all.end());
}

void set_test_backend(const display_backend *backend) { the.test_backend = backend; }
void set_display_clock(const display_clock *clock) { the.clock = clock; }
bool auto_flush_running() { return the.flusher.running(); }

bool current_display_geometry(display_geometry *out) {
    *out = display_geometry{};
    if (the.open.backend == nullptr) return false;
    const open_state &o = the.open;
    const bool sideways = o.got.plane_turns && o.rotation % 180 != 0;
    out->panel_width = sideways ? o.got.height : o.got.width;
    out->panel_height = sideways ? o.got.width : o.got.height;
    out->rotation = o.rotation;
    return true;
}

bool display_leave() {
    std::lock_guard<std::mutex> hold(the.lock);
    open_state &o = the.open;
    if (o.backend == nullptr || o.away) return true;
    // Over a shadow the screen DCs draw into memory already.
    if (!o.shadow) {
        const auto bytes = static_cast<std::size_t>(o.got.pitch) * static_cast<std::size_t>(o.got.height);
        if (o.retired_copy)
            o.away_copy = std::move(o.retired_copy);
        else
            o.away_copy.reset(static_cast<unsigned char *>(std::malloc(bytes)));
        if (!o.away_copy) {
            debug("no memory for a copy of the screen (%zu bytes) to draw in while away", bytes);
            return false;
        }
        std::memcpy(o.away_copy.get(), zr_fb.mapped, bytes);
        retarget_screen_dcs(zr_fb.mapped, o.away_copy.get());
        zr_fb.mapped = o.away_copy.get();
    }
    the.flusher.stop();
    if (o.backend->leave != nullptr) o.backend->leave();
    o.away = true;
    return true;
}

bool display_enter() {
    std::lock_guard<std::mutex> hold(the.lock);
    open_state &o = the.open;
    if (o.backend == nullptr || !o.away) return true;
    if (o.backend->enter != nullptr && o.backend->enter(o.visible) != ERR_NONE) return false;
    const auto bytes = static_cast<std::size_t>(o.got.pitch) * static_cast<std::size_t>(o.got.height);
    const zr_rect_t all{0, 0, o.width, o.height};
    if (o.away_copy) {
        unsigned char *device = o.got.pixels[o.back];
        std::memcpy(device, o.away_copy.get(), bytes);
        retarget_screen_dcs(o.away_copy.get(), device);
        zr_fb.mapped = device;
        o.retired_copy = std::move(o.away_copy);
    } else if (o.method == ZR_PRESENT_SHADOW) {
        copy_out(o, 0, &all, 1);
    }
    // Others drew on the device's memory meanwhile (a framebuffer's console):
    // the next present over a shadow brings the whole picture.
    o.missed_count[0] = o.missed_count[1] = -1;
    flush(o, o.visible, &all, 1);
    o.away = false;
    if (wants_auto_flush(o)) start_auto_flush(o);
    return true;
}

bool debug_enabled() {
    const char *v = std::getenv("ZR_DEBUG");
    return v != nullptr && v[0] != '\0' && v[0] != '0';
}

void debug(const char *format, ...) {
    if (!debug_enabled()) return;
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "zr: %s\n", line);
}

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
    if (the.open.backend != nullptr) {
        debug("zr_init_ex(%s): a display is open already; zr_close it first", device != nullptr ? device : "(null)");
        return zr_error_code = ERR_ALREADY_OPEN;
    }
    mark_closed();
    if ((flags & ~ZR_INIT_ALL_FLAGS) != 0) {
        debug("zr_init_ex: flag bits 0x%x are not ZR_INIT_* flags", static_cast<unsigned>(flags & ~ZR_INIT_ALL_FLAGS));
        return zr_error_code = ERR_INIT_FLAGS;
    }
    zr_error_code = open_display(device, flags);
    return zr_error_code;
}

ZR_API void zr_close(void) {
    // zr_fb still holds its initial zeros: nothing was ever opened (fd 0 is
    // not ours to close).
    if (zr_fb.mapped == nullptr && zr_fb.fd == 0) return;
    session_stop();
    the.flusher.stop();
    open_state &o = the.open;
    if (o.console) console_restore();
    if (o.backend != nullptr) o.backend->close();
    o = open_state{};
    zr_fb.mapped = not_mapped();
    if (zr_fb.fd >= 0) close(zr_fb.fd);
    zr_fb.fd = -1;
}

ZR_API int zr_present(const zr_rect_t *damage, int count) {
    std::lock_guard<std::mutex> hold(the.lock);
    open_state &o = the.open;
    if (o.backend == nullptr) {
        debug("zr_present: no display is open");
        return zr_error_code = ERR_NO_DEVICE;
    }
    if (o.away) return zr_error_code = ERR_SCREEN_AWAY;
    o.retired_copy.reset();  // no drawing of this thread is under way
    // From the first present on, the program says what changed.
    if (!o.presented) {
        o.presented = true;
        the.flusher.stop();
    }
    zr_rect_t rects[max_damage];
    const int n = clip_damage(damage, count > max_damage ? 0 : count, o.width, o.height, rects, max_damage);
    const int code = present(o, rects, n);
    if (code != ERR_NONE) zr_error_code = code;
    return code;
}

ZR_API int zr_display_info(zr_display_info_t *info) {
    if (info == nullptr) return ERR_NO_DEVICE;
    std::lock_guard<std::mutex> hold(the.lock);
    const open_state &o = the.open;
    *info = zr_display_info_t{};
    if (o.backend == nullptr) return ERR_NO_DEVICE;
    info->backend = o.backend->id;
    info->method = o.method;
    info->buffers = o.got.count;
    // Buffers drawn on in turn each hold the frame of their last turn; a
    // shadow holds the frame just shown.
    info->buffer_age = o.got.count > 1 && !o.shadow ? o.got.count : 1;
    info->vsync = o.waits && o.vblank ? 1 : 0;
    info->console = o.console ? 1 : 0;
    info->prefer_shadow = o.got.prefer_shadow ? 1 : 0;
    info->paced = o.paced ? 1 : 0;
    info->vt_switch = session_following() ? 1 : 0;
    info->away = o.away ? 1 : 0;
    info->rotation = o.rotation;
    info->rotation_method = o.rotation == 0 ? ZR_ROTATE_NONE : o.soft_turn ? ZR_ROTATE_SOFTWARE : ZR_ROTATE_PLANE;
    display_geometry g;
    current_display_geometry(&g);
    info->panel_width = g.panel_width;
    info->panel_height = g.panel_height;
    return ERR_NONE;
}

}  // extern "C"
