// Input's core: the devices' table, one queue of events, xkbcommon's key maps,
// text and repeat, and the transform from device to screen. Events come from
// one source (a row of the table below): libinput's seat, or the script zr-vfb
// hands over. Both feed the same handlers, so everything past the source is
// what the unit tests reach through the script.
//
// One epoll descriptor is what the program polls: the source's descriptor, a
// timer for what is due next (the script's next line, a key's repeat, or
// "now" while events wait in the queue) and the display layer's session
// descriptor, whenever it has one.
#include "input.hpp"

#include "display.hpp"
#include "zr.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zr::input {

bool read_pointercal(const char *text, std::size_t size, int out[7]) {
    std::size_t i = 0;
    for (int n = 0; n < 7; ++n) {
        while (i < size && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) ++i;
        bool negative = false;
        if (i < size && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
        const std::size_t first = i;
        long long v = 0;
        while (i < size && text[i] >= '0' && text[i] <= '9') {
            v = v * 10 + (text[i++] - '0');
            if (v > 2147483648LL) return false;
        }
        if (i == first) return false;
        if (negative) v = -v;
        if (v < -2147483647LL - 1 || v > 2147483647LL) return false;
        out[n] = static_cast<int>(v);
    }
    return out[6] != 0;
}

void logical_size(const screen_map &m, int *width, int *height) {
    const bool turned = m.rotation == 90 || m.rotation == 270;
    *width = turned ? m.panel_height : m.panel_width;
    *height = turned ? m.panel_width : m.panel_height;
}

void map_absolute(const screen_map &m, double fx, double fy, int *x, int *y) {
    const int pw = m.panel_width, ph = m.panel_height;
    double px = fx * pw, py = fy * ph;
    if (m.calibration != nullptr) {
        const int *c = m.calibration;
        const double qx = (c[0] * px + c[1] * py + c[2]) / c[6];
        const double qy = (c[3] * px + c[4] * py + c[5]) / c[6];
        px = qx;
        py = qy;
    }
    // A fraction of a whole pixel comes out a hair under it in doubles.
    px += 1e-6;
    py += 1e-6;
    // Clamped on the panel (NaN to 0), then turned: the same as clamping on the picture.
    const int ix = px >= 0 && px < pw ? static_cast<int>(px) : px >= pw ? pw - 1 : 0;
    const int iy = py >= 0 && py < ph ? static_cast<int>(py) : py >= ph ? ph - 1 : 0;
    switch (m.rotation) {
        case 90: *x = iy, *y = pw - 1 - ix; break;
        case 180: *x = pw - 1 - ix, *y = ph - 1 - iy; break;
        case 270: *x = ph - 1 - iy, *y = ix; break;
        default: *x = ix, *y = iy; break;
    }
}

namespace {
const session_hooks display_session{zr::session_event_fd, zr::session_take_event};
const session_hooks *session = &display_session;
}  // namespace

void set_session_hooks(const session_hooks *hooks) { session = hooks != nullptr ? hooks : &display_session; }

}  // namespace zr::input

#if ZR_HAVE_INPUT

#include <dirent.h>
#include <fcntl.h>
#include <libinput.h>
#include <libudev.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>
#if ZR_HAVE_SEAT
extern "C" {  // libseat.h has no C++ guard of its own
#include <libseat.h>
}
#endif

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <deque>
#include <new>
#include <string>
#include <vector>

namespace {

using namespace zr::input;
using zr::input::session;

constexpr std::int64_t repeat_delay_us = 600'000;   // the console's own delay and rate
constexpr std::int64_t repeat_interval_us = 40'000;  // 25 a second
constexpr std::size_t max_queued = 4096;             // past this, events are dropped
constexpr int no_display_side = 65536;               // the screen's side while no display is open
constexpr int tracked_slots = 64;                    // touches cancelled when their device goes
constexpr std::size_t script_batch = 64;             // queued events past which the script waits

std::int64_t now_us() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000 + t.tv_nsec / 1000;
}

struct device {
    int number = 0;
    int caps = 0;  // ZR_DEVICE_*
    char name[64]{};
    libinput_device *li = nullptr;  // libinput's; null for the script's
    int script_id = 0;
    int range_x = 0, range_y = 0;  // the script's absolute axes
    xkb_state *keys = nullptr;     // keyboards
    bool calibrated = false;
    int calibration[7]{};
    std::uint64_t touches = 0;  // slots down, bit per slot
};

struct source;

}  // namespace

struct zr_input_t {
    const source *from = nullptr;
    int flags = 0;
    int epoll = -1;
    int timer = -1;
    std::int64_t timer_due = -2;  // what the timer is set to (-1: off; -2: never set)
    int session_fd = -1;  // the session descriptor in the epoll set, -1: none
    // libinput
    udev *seat_udev = nullptr;
    libinput *li = nullptr;
    int access_denied = 0;  // devices libinput could not open for permission
#if ZR_HAVE_SEAT
    // The seat manager's seat, where one runs: libinput's devices come through it.
    libseat *seat = nullptr;
    const char *seat_backend = nullptr;
    bool seat_active = false;
    bool seat_watched = false;  // its descriptor in the epoll set
    bool suspended = false;                    // libinput's devices let go while the seat is away
    std::vector<std::pair<int, int>> seat_fds;  // descriptor, libseat's device id
#endif
    // the script
    std::vector<script_event> script;
    std::size_t script_next = 0;
    std::int64_t start_us = 0;
    // keys
    xkb_context *xkb = nullptr;
    xkb_keymap *keymap = nullptr;
    xkb_mod_index_t mod_index[6]{};
    int repeat_device = 0;  // 0: nothing repeats
    int repeat_key = 0;
    std::int64_t repeat_due_us = 0;
    // devices and events
    std::vector<device> devices;
    int next_number = 1;
    bool calibrated = false;  // every touchscreen's, device 0
    int calibration[7]{};
    double pointer_x = -1, pointer_y = -1;  // -1: not placed yet
    int wheel_rest_x = 0, wheel_rest_y = 0;  // high-resolution wheel, in 120ths of a click
    std::deque<zr_event_t> queue;
    bool keyboard_off = false;
};

namespace {

// A source of events: a row of the table.
struct source {
    const char *name;
    // Sets up; returns 0 or an ERR_* code (then close is still called).
    int (*open)(zr_input_t *in);
    int (*fd)(const zr_input_t *in);  // for the epoll set; -1: none
    // Hands everything that is due by now to the handlers below.
    void (*read)(zr_input_t *in, std::int64_t now);
    // When the next event is due without a descriptor telling (-1: never).
    std::int64_t (*next_due)(const zr_input_t *in);
    void (*close)(zr_input_t *in);
};

// ---- the screen

zr::input::screen_map current_map(const device *d) {
    zr::display_geometry g;
    screen_map m;
    if (zr::current_display_geometry(&g) && g.panel_width > 0 && g.panel_height > 0) {
        m.panel_width = g.panel_width;
        m.panel_height = g.panel_height;
        m.rotation = g.rotation;
    } else {
        m.panel_width = m.panel_height = no_display_side;
    }
    if (d != nullptr && d->calibrated) m.calibration = d->calibration;
    return m;
}

// ---- events into the queue

zr_event_t event_of(int type, const device *d, std::int64_t time) {
    zr_event_t e{};
    e.type = type;
    e.device = d != nullptr ? d->number : 0;
    e.time_usec = static_cast<std::uint64_t>(std::max<std::int64_t>(time, 0));
    return e;
}

void push(zr_input_t *in, const zr_event_t &e) {
    if (in->queue.size() < max_queued) in->queue.push_back(e);
}

device *find(zr_input_t *in, int number) {
    for (device &d : in->devices)
        if (d.number == number) return &d;
    return nullptr;
}

int modifiers_of(const zr_input_t *in, xkb_state *s) {
    int mods = 0;
    for (int i = 0; i < 6; ++i)
        if (in->mod_index[i] != XKB_MOD_INVALID &&
            xkb_state_mod_index_is_active(s, in->mod_index[i], XKB_STATE_MODS_EFFECTIVE) > 0)
            mods |= 1 << i;
    return mods;
}

// The key's symbol, text and the modifiers held, as the keyboard's state has them now.
void describe_key(const zr_input_t *in, const device &d, int code, zr_event_t *e, bool with_text) {
    e->key = code;
    if (d.keys == nullptr) return;
    const xkb_keycode_t kc = static_cast<xkb_keycode_t>(code) + 8;
    e->keysym = xkb_state_key_get_one_sym(d.keys, kc);
    e->modifiers = modifiers_of(in, d.keys);
    // Text that does not fit is left out rather than cut inside a character.
    if (with_text && xkb_state_key_get_utf8(d.keys, kc, e->text, sizeof e->text) >= static_cast<int>(sizeof e->text))
        e->text[0] = '\0';
}

// Repeats of the held key due by `until`, ahead of what happened then.
void repeats_until(zr_input_t *in, std::int64_t until) {
    while (in->repeat_device != 0 && in->repeat_due_us <= until && in->queue.size() < max_queued) {
        const device *d = find(in, in->repeat_device);
        if (d == nullptr) {
            in->repeat_device = 0;
            break;
        }
        zr_event_t e = event_of(ZR_EVENT_KEY_REPEAT, d, in->repeat_due_us);
        describe_key(in, *d, in->repeat_key, &e, true);
        push(in, e);
        in->repeat_due_us += repeat_interval_us;
    }
}

void on_key(zr_input_t *in, device &d, std::int64_t time, int code, bool down) {
    repeats_until(in, time);
    zr_event_t e = event_of(down ? ZR_EVENT_KEY_DOWN : ZR_EVENT_KEY_UP, &d, time);
    describe_key(in, d, code, &e, down);
    push(in, e);
    // With the console's keyboard off the kernel no longer switches terminals
    // on Ctrl+Alt+Fn: the keymap's switch symbols do it here.
    if (down && in->keyboard_off && e.keysym >= XKB_KEY_XF86Switch_VT_1 && e.keysym <= XKB_KEY_XF86Switch_VT_12)
        zr::console_activate(static_cast<int>(e.keysym - XKB_KEY_XF86Switch_VT_1) + 1);
    const xkb_keycode_t kc = static_cast<xkb_keycode_t>(code) + 8;
    if (d.keys != nullptr) xkb_state_update_key(d.keys, kc, down ? XKB_KEY_DOWN : XKB_KEY_UP);
    if (down && in->keymap != nullptr && xkb_keymap_key_repeats(in->keymap, kc) != 0) {
        in->repeat_device = d.number;
        in->repeat_key = code;
        in->repeat_due_us = time + repeat_delay_us;
    } else if (!down && in->repeat_device == d.number && in->repeat_key == code) {
        in->repeat_device = 0;
    }
}

void place_pointer(zr_input_t *in, double x, double y) {
    int w = 0, h = 0;
    logical_size(current_map(nullptr), &w, &h);
    in->pointer_x = std::clamp(x, 0.0, static_cast<double>(w - 1));
    in->pointer_y = std::clamp(y, 0.0, static_cast<double>(h - 1));
}

void pointer_event(zr_input_t *in, int type, const device &d, std::int64_t time, int code) {
    repeats_until(in, time);
    if (in->pointer_x < 0) {
        int w = 0, h = 0;
        logical_size(current_map(nullptr), &w, &h);
        place_pointer(in, w / 2, h / 2);
    }
    place_pointer(in, in->pointer_x, in->pointer_y);  // the screen may have changed since
    zr_event_t e = event_of(type, &d, time);
    e.key = code;
    e.x = static_cast<int>(in->pointer_x);
    e.y = static_cast<int>(in->pointer_y);
    push(in, e);
}

void on_move(zr_input_t *in, const device &d, std::int64_t time, double dx, double dy) {
    if (in->pointer_x >= 0) place_pointer(in, in->pointer_x + dx, in->pointer_y + dy);
    pointer_event(in, ZR_EVENT_POINTER_MOTION, d, time, 0);
}

void on_position(zr_input_t *in, const device &d, std::int64_t time, double fx, double fy) {
    int x = 0, y = 0;
    map_absolute(current_map(&d), fx, fy, &x, &y);
    in->pointer_x = x;
    in->pointer_y = y;
    pointer_event(in, ZR_EVENT_POINTER_MOTION, d, time, 0);
}

void on_wheel(zr_input_t *in, const device &d, std::int64_t time, int clicks_x, int clicks_y) {
    repeats_until(in, time);
    zr_event_t e = event_of(ZR_EVENT_WHEEL, &d, time);
    e.wheel_x = clicks_x;
    e.wheel_y = clicks_y;
    e.x = static_cast<int>(std::max(in->pointer_x, 0.0));
    e.y = static_cast<int>(std::max(in->pointer_y, 0.0));
    push(in, e);
}

void on_touch(zr_input_t *in, device &d, std::int64_t time, int type, int slot, double fx, double fy) {
    repeats_until(in, time);
    zr_event_t e = event_of(type, &d, time);
    e.slot = slot;
    if (type == ZR_EVENT_TOUCH_DOWN || type == ZR_EVENT_TOUCH_MOTION) map_absolute(current_map(&d), fx, fy, &e.x, &e.y);
    if (slot >= 0 && slot < tracked_slots) {
        const std::uint64_t bit = std::uint64_t{1} << slot;
        if (type == ZR_EVENT_TOUCH_DOWN) d.touches |= bit;
        if (type == ZR_EVENT_TOUCH_UP || type == ZR_EVENT_TOUCH_CANCEL) d.touches &= ~bit;
    }
    push(in, e);
}

xkb_state *keyboard_state(zr_input_t *in) { return in->keymap != nullptr ? xkb_state_new(in->keymap) : nullptr; }

device *on_added(zr_input_t *in, std::int64_t time, int caps, const char *name) {
    device d;
    d.number = in->next_number++;
    d.caps = caps;
    std::snprintf(d.name, sizeof d.name, "%s", name != nullptr ? name : "");
    if ((caps & ZR_DEVICE_KEYBOARD) != 0) d.keys = keyboard_state(in);
    if ((caps & ZR_DEVICE_TOUCH) != 0 && in->calibrated) {
        d.calibrated = true;
        std::memcpy(d.calibration, in->calibration, sizeof d.calibration);
    }
    in->devices.push_back(d);
    zr_event_t e = event_of(ZR_EVENT_DEVICE_ADDED, &d, time);
    e.capabilities = caps;
    std::memcpy(e.name, d.name, sizeof e.name);
    push(in, e);
    return &in->devices.back();
}

// Its touches are void and its key stops repeating; then it goes.
void on_removed(zr_input_t *in, std::int64_t time, int number) {
    device *d = find(in, number);
    if (d == nullptr) return;
    repeats_until(in, time);
    for (int slot = 0; slot < tracked_slots; ++slot)
        if ((d->touches >> slot & 1) != 0) on_touch(in, *d, time, ZR_EVENT_TOUCH_CANCEL, slot, 0, 0);
    if (in->repeat_device == number) in->repeat_device = 0;
    zr_event_t e = event_of(ZR_EVENT_DEVICE_REMOVED, d, time);
    e.capabilities = d->caps;
    std::memcpy(e.name, d->name, sizeof e.name);
    push(in, e);
    if (d->keys != nullptr) xkb_state_unref(d->keys);
    in->devices.erase(in->devices.begin() + (d - in->devices.data()));
}

// ---- keymaps

// One ZR_DEBUG line of a library's own log message, "who: text".
void library_log_line(const char *who, const char *format, va_list args) {
    if (!zr::debug_enabled()) return;
    char line[256];
    std::vsnprintf(line, sizeof line, format, args);
    line[std::strcspn(line, "\n")] = '\0';
    zr::debug("%s: %s", who, line);
}

void xkb_log_to_debug(xkb_context *, xkb_log_level, const char *format, va_list args) {
    library_log_line("xkbcommon", format, args);
}

int load_keymap(zr_input_t *in, const char *layout, const char *variant, const char *options) {
    xkb_rule_names names{};
    names.layout = layout;
    names.variant = variant;
    names.options = options;
    xkb_keymap *map = xkb_keymap_new_from_names(in->xkb, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (map == nullptr) {
        zr::debug("no keymap for layout %s%s%s (is xkb-data installed, in /usr/share/X11/xkb?)",
                  layout != nullptr ? layout : "(XKB_DEFAULT_LAYOUT)", variant != nullptr ? " variant " : "",
                  variant != nullptr ? variant : "");
        return ERR_PROCESSING;
    }
    if (in->keymap != nullptr) xkb_keymap_unref(in->keymap);
    in->keymap = map;
    static const char *const mod_names[6] = {XKB_MOD_NAME_SHIFT, XKB_MOD_NAME_CTRL, XKB_MOD_NAME_ALT,
                                             XKB_MOD_NAME_LOGO,  XKB_MOD_NAME_CAPS, XKB_MOD_NAME_NUM};
    for (int i = 0; i < 6; ++i) in->mod_index[i] = xkb_keymap_mod_get_index(map, mod_names[i]);
    for (device &d : in->devices) {
        if (d.keys == nullptr) continue;
        xkb_state_unref(d.keys);
        d.keys = keyboard_state(in);
    }
    in->repeat_device = 0;
    return 0;
}

// ---- the script's source

int script_open(zr_input_t *in) {
    const char *path = std::getenv("ZR_VFB_INPUT");
    std::string text;
    FILE *f = path != nullptr ? std::fopen(path, "rb") : nullptr;
    if (f == nullptr) {
        zr::debug("input script %s: %s", path != nullptr ? path : "(unset)", std::strerror(errno));
        return ERR_NO_INPUT;
    }
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text.size() <= script_max_bytes) text.append(buf, n);
    std::fclose(f);
    int bad_line = 0;
    if (!read_script(text.data(), text.size(), &in->script, &bad_line)) {
        zr::debug("input script %s: line %d is not an event (zr-vfb --help lists them)", path, bad_line);
        return ERR_NO_INPUT;
    }
    in->start_us = now_us();
    return 0;
}

int script_fd(const zr_input_t *) { return -1; }

std::int64_t script_due(const zr_input_t *in) {
    if (in->script_next >= in->script.size()) return -1;
    return in->start_us + in->script[in->script_next].at_ms * 1000;
}

device *script_device(zr_input_t *in, int id) {
    for (device &d : in->devices)
        if (d.li == nullptr && d.script_id == id) return &d;
    return nullptr;
}

void script_play(zr_input_t *in, const script_event &s, std::int64_t time) {
    if (s.op == script_op::add) {
        device *d = on_added(in, time, s.code, s.name);
        d->script_id = s.device;
        d->range_x = s.range_x;
        d->range_y = s.range_y;
        return;
    }
    device *d = script_device(in, s.device);
    if (d == nullptr) return;  // the reader checked every line against its device
    const double fx = d->range_x > 0 ? static_cast<double>(s.a) / d->range_x : 0;
    const double fy = d->range_y > 0 ? static_cast<double>(s.b) / d->range_y : 0;
    switch (s.op) {
        case script_op::remove: on_removed(in, time, d->number); break;
        case script_op::key: on_key(in, *d, time, s.code, s.down); break;
        case script_op::move: on_move(in, *d, time, s.a, s.b); break;
        case script_op::position: on_position(in, *d, time, fx, fy); break;
        case script_op::button:
            pointer_event(in, s.down ? ZR_EVENT_BUTTON_DOWN : ZR_EVENT_BUTTON_UP, *d, time, s.code);
            break;
        case script_op::wheel: on_wheel(in, *d, time, s.a, s.b); break;
        case script_op::touch_down: on_touch(in, *d, time, ZR_EVENT_TOUCH_DOWN, s.slot, fx, fy); break;
        case script_op::touch_motion: on_touch(in, *d, time, ZR_EVENT_TOUCH_MOTION, s.slot, fx, fy); break;
        case script_op::touch_up: on_touch(in, *d, time, ZR_EVENT_TOUCH_UP, s.slot, 0, 0); break;
        case script_op::add: break;
    }
}

// Plays what is due while the queue is short: a line waits in the script
// at no cost, so a burst never overflows the queue.
void script_read(zr_input_t *in, std::int64_t now) {
    for (std::int64_t due = script_due(in); due >= 0 && due <= now && in->queue.size() < script_batch;
         due = script_due(in))
        script_play(in, in->script[in->script_next++], due);
}

void script_close(zr_input_t *) {}

// ---- libinput's source

int open_restricted(const char *path, int flags, void *data) {
#if ZR_HAVE_SEAT
    auto *in = static_cast<zr_input_t *>(data);
    if (in->seat != nullptr) {
        int fd = -1;
        const int id = libseat_open_device(in->seat, path, &fd);
        if (id < 0 || fd < 0) {
            const int e = errno != 0 ? errno : EIO;
            zr::debug("%s: the seat did not open it: %s", path, std::strerror(e));
            return -e;
        }
        in->seat_fds.emplace_back(fd, id);
        return fd;
    }
#endif
    int fd = open(path, flags | O_CLOEXEC);
    if (fd < 0 && errno == EACCES) {
        ++static_cast<zr_input_t *>(data)->access_denied;
        zr::debug("%s: %s", path, std::strerror(errno));
    }
    return fd >= 0 ? fd : -errno;
}

void close_restricted(int fd, void *data) {
#if ZR_HAVE_SEAT
    auto *in = static_cast<zr_input_t *>(data);
    const auto held = std::find_if(in->seat_fds.begin(), in->seat_fds.end(), [fd](auto &p) { return p.first == fd; });
    if (held != in->seat_fds.end()) {
        libseat_close_device(in->seat, held->second);
        in->seat_fds.erase(held);
    }
#else
    (void)data;
#endif
    close(fd);
}

const libinput_interface restricted{open_restricted, close_restricted};

void log_to_debug(libinput *, libinput_log_priority, const char *format, va_list args) {
    library_log_line("libinput", format, args);
}

#if ZR_HAVE_SEAT
// The seat comes and goes with its session (a switch of virtual terminal):
// libinput lets its devices go, and takes them again through the seat.
void seat_enabled(libseat *, void *data) {
    auto *in = static_cast<zr_input_t *>(data);
    in->seat_active = true;
    if (in->li != nullptr && in->suspended) {
        in->suspended = false;
        libinput_resume(in->li);
    }
}

// Acknowledged at once: the manager revokes devices not let go in time.
void seat_disabled(libseat *seat, void *data) {
    auto *in = static_cast<zr_input_t *>(data);
    in->seat_active = false;
    if (in->li != nullptr && !in->suspended) {
        in->suspended = true;
        libinput_suspend(in->li);
    }
    libseat_disable_seat(seat);
}

const libseat_seat_listener seat_listener{seat_enabled, seat_disabled};

void seat_log(libseat_log_level, const char *format, va_list args) { library_log_line("libseat", format, args); }

// A seat manager's seat: seatd or logind, as LIBSEAT_BACKEND names it or
// tried in that order. libseat reads its backend from the environment only,
// so it is named there for the call: left to itself libseat would fall back
// to its "builtin" backend, a seatd of its own started inside this program.
// Not while the display follows the terminal's switches itself
// (ZR_INIT_CONSOLE): a manager bound to the terminal would take them over
// (the last VT_SETMODE wins) and the display would draw on while away.
void open_seat(zr_input_t *in) {
    if (zr::session_following()) {
        zr::debug("the display follows the virtual terminal itself (ZR_INIT_CONSOLE): no seat manager used");
        return;
    }
    libseat_set_log_handler(seat_log);
    libseat_set_log_level(zr::debug_enabled() ? LIBSEAT_LOG_LEVEL_INFO : LIBSEAT_LOG_LEVEL_SILENT);
    static const char *const managers[] = {"seatd", "logind"};
    const char *asked = std::getenv("LIBSEAT_BACKEND");
    if (asked != nullptr) {
        const auto named = std::find_if(std::begin(managers), std::end(managers),
                                        [asked](const char *m) { return std::strcmp(m, asked) == 0; });
        if (named == std::end(managers)) {
            zr::debug("LIBSEAT_BACKEND=%s is not a seat manager (seatd, logind): none used", asked);
            return;
        }
        in->seat = libseat_open_seat(&seat_listener, in);
        in->seat_backend = *named;
    } else {
        for (const char *manager : managers) {
            setenv("LIBSEAT_BACKEND", manager, 1);
            in->seat = libseat_open_seat(&seat_listener, in);
            unsetenv("LIBSEAT_BACKEND");
            in->seat_backend = manager;
            if (in->seat != nullptr) break;
        }
    }
    if (in->seat == nullptr) return;
    // Enabled by the seat's first message; a seat whose session is not the
    // active one stays disabled, and its devices come when it is enabled.
    for (int tries = 0; tries < 20 && !in->seat_active; ++tries)
        if (libseat_dispatch(in->seat, 50) < 0) break;
    epoll_event ev{};
    ev.events = EPOLLIN;
    in->seat_watched = epoll_ctl(in->epoll, EPOLL_CTL_ADD, libseat_get_fd(in->seat), &ev) == 0;
}
#endif

// The event nodes there are and how many of them this user may open: none
// readable is the permission problem, told at once instead of waiting.
void count_event_nodes(int *total, int *readable) {
    *total = *readable = 0;
    DIR *dir = opendir("/dev/input");
    if (dir == nullptr) return;
    while (const dirent *ent = readdir(dir)) {
        if (std::strncmp(ent->d_name, "event", 5) != 0) continue;
        ++*total;
        const std::string path = std::string("/dev/input/") + ent->d_name;
        if (access(path.c_str(), R_OK) == 0) ++*readable;
    }
    closedir(dir);
}

int caps_of(libinput_device *dev) {
    int caps = 0;
    if (libinput_device_has_capability(dev, LIBINPUT_DEVICE_CAP_KEYBOARD)) caps |= ZR_DEVICE_KEYBOARD;
    if (libinput_device_has_capability(dev, LIBINPUT_DEVICE_CAP_POINTER)) caps |= ZR_DEVICE_POINTER;
    if (libinput_device_has_capability(dev, LIBINPUT_DEVICE_CAP_TOUCH)) caps |= ZR_DEVICE_TOUCH;
    return caps;
}

device *libinput_owner(zr_input_t *in, libinput_event *ev) {
    const auto number = reinterpret_cast<std::intptr_t>(libinput_device_get_user_data(libinput_event_get_device(ev)));
    return number != 0 ? find(in, static_cast<int>(number)) : nullptr;
}

constexpr double axis_scale = 65536.0;  // libinput's transformed axes, as fractions

void libinput_handle(zr_input_t *in, libinput_event *ev) {
    const libinput_event_type type = libinput_event_get_type(ev);
    if (type == LIBINPUT_EVENT_DEVICE_ADDED) {
        libinput_device *dev = libinput_event_get_device(ev);
        const int caps = caps_of(dev);
        if (caps == 0) return;  // switches and the like
        device *d = on_added(in, now_us(), caps, libinput_device_get_name(dev));
        d->li = dev;
        libinput_device_set_user_data(dev, reinterpret_cast<void *>(static_cast<std::intptr_t>(d->number)));
        return;
    }
    device *d = libinput_owner(in, ev);
    if (d == nullptr) return;
    if (type == LIBINPUT_EVENT_DEVICE_REMOVED) {
        on_removed(in, now_us(), d->number);
        return;
    }
    if (type == LIBINPUT_EVENT_KEYBOARD_KEY) {
        libinput_event_keyboard *k = libinput_event_get_keyboard_event(ev);
        on_key(in, *d, static_cast<std::int64_t>(libinput_event_keyboard_get_time_usec(k)),
               static_cast<int>(libinput_event_keyboard_get_key(k)),
               libinput_event_keyboard_get_key_state(k) == LIBINPUT_KEY_STATE_PRESSED);
        return;
    }
    if (libinput_event_pointer *p = libinput_event_get_pointer_event(ev)) {
        const auto time = static_cast<std::int64_t>(libinput_event_pointer_get_time_usec(p));
        if (type == LIBINPUT_EVENT_POINTER_MOTION) {
            on_move(in, *d, time, libinput_event_pointer_get_dx(p), libinput_event_pointer_get_dy(p));
        } else if (type == LIBINPUT_EVENT_POINTER_MOTION_ABSOLUTE) {
            on_position(in, *d, time, libinput_event_pointer_get_absolute_x_transformed(p, 65536) / axis_scale,
                        libinput_event_pointer_get_absolute_y_transformed(p, 65536) / axis_scale);
        } else if (type == LIBINPUT_EVENT_POINTER_BUTTON) {
            const bool down = libinput_event_pointer_get_button_state(p) == LIBINPUT_BUTTON_STATE_PRESSED;
            pointer_event(in, down ? ZR_EVENT_BUTTON_DOWN : ZR_EVENT_BUTTON_UP, *d, time,
                          static_cast<int>(libinput_event_pointer_get_button(p)));
        } else if (type == LIBINPUT_EVENT_POINTER_SCROLL_WHEEL) {
            // High-resolution wheels send parts of a click: whole clicks go out, the rest waits.
            const auto part = [&](libinput_pointer_axis axis, int *rest) {
                if (!libinput_event_pointer_has_axis(p, axis)) return 0;
                *rest += static_cast<int>(libinput_event_pointer_get_scroll_value_v120(p, axis));
                const int clicks = *rest / 120;
                *rest -= clicks * 120;
                return clicks;
            };
            const int cx = part(LIBINPUT_POINTER_AXIS_SCROLL_HORIZONTAL, &in->wheel_rest_x);
            const int cy = part(LIBINPUT_POINTER_AXIS_SCROLL_VERTICAL, &in->wheel_rest_y);
            if (cx != 0 || cy != 0) on_wheel(in, *d, time, cx, cy);
        }
        return;
    }
    if (libinput_event_touch *t = libinput_event_get_touch_event(ev)) {
        const auto time = static_cast<std::int64_t>(libinput_event_touch_get_time_usec(t));
        const int slot = std::max(libinput_event_touch_get_slot(t), 0);  // -1: a single-touch device
        double fx = 0, fy = 0;
        int kind = 0;
        switch (type) {
            case LIBINPUT_EVENT_TOUCH_DOWN: kind = ZR_EVENT_TOUCH_DOWN; break;
            case LIBINPUT_EVENT_TOUCH_MOTION: kind = ZR_EVENT_TOUCH_MOTION; break;
            case LIBINPUT_EVENT_TOUCH_UP: kind = ZR_EVENT_TOUCH_UP; break;
            case LIBINPUT_EVENT_TOUCH_CANCEL: kind = ZR_EVENT_TOUCH_CANCEL; break;
            default: return;  // frames
        }
        if (kind == ZR_EVENT_TOUCH_DOWN || kind == ZR_EVENT_TOUCH_MOTION) {
            fx = libinput_event_touch_get_x_transformed(t, 65536) / axis_scale;
            fy = libinput_event_touch_get_y_transformed(t, 65536) / axis_scale;
        }
        on_touch(in, *d, time, kind, slot, fx, fy);
    }
}

void libinput_read(zr_input_t *in, std::int64_t) {
#if ZR_HAVE_SEAT
    // A manager gone leaves its descriptor readable for good: not waited on again.
    if (in->seat_watched && libseat_dispatch(in->seat, 0) < 0) {
        zr::debug("the seat manager stopped answering: %s", std::strerror(errno));
        epoll_ctl(in->epoll, EPOLL_CTL_DEL, libseat_get_fd(in->seat), nullptr);
        in->seat_watched = false;
    }
#endif
    libinput_dispatch(in->li);
    while (libinput_event *ev = libinput_get_event(in->li)) {
        libinput_handle(in, ev);
        libinput_event_destroy(ev);
    }
}

int libinput_open(zr_input_t *in) {
    bool through_seat = false;
#if ZR_HAVE_SEAT
    open_seat(in);
    through_seat = in->seat != nullptr;
    if (through_seat)
        zr::debug("input devices opened through the seat manager (libseat's %s backend, %s, %s)", in->seat_backend,
                  libseat_seat_name(in->seat), in->seat_active ? "active" : "not active");
    else
        zr::debug("no seat manager (seatd, logind) answered: input devices opened directly");
#else
    zr::debug("built without libseat: input devices opened directly");
#endif
    // The seat manager opens what this user may not: the nodes' modes matter
    // only without one.
    int total = 0, readable = 0;
    count_event_nodes(&total, &readable);
    if (!through_seat && total > 0 && readable == 0) {
        zr::debug("none of the %d devices in /dev/input may be read by this user: add it to the \"input\" "
                  "group (usermod -aG input USER, then log in again), or run as root",
                  total);
        return ERR_INPUT_ACCESS;
    }
    in->seat_udev = udev_new();
    if (in->seat_udev == nullptr) return ERR_OUT_OF_MEMORY;
    in->li = libinput_udev_create_context(&restricted, in, in->seat_udev);
    if (in->li == nullptr) return ERR_OUT_OF_MEMORY;
    libinput_log_set_handler(in->li, log_to_debug);
    libinput_log_set_priority(in->li, LIBINPUT_LOG_PRIORITY_INFO);
    if (libinput_udev_assign_seat(in->li, "seat0") != 0) {
        zr::debug("libinput could not read the devices of seat0 from udev");
        return ERR_NO_INPUT;
    }
    libinput_read(in, now_us());
    if (!in->devices.empty()) return 0;
    if (in->access_denied > 0) {
        zr::debug("%d input device(s) refused: add the user to the \"input\" group (usermod -aG input USER, "
                  "then log in again), or run as root",
                  in->access_denied);
        return ERR_INPUT_ACCESS;
    }
    zr::debug("no keyboard, pointer or touchscreen on seat0 (%d nodes in /dev/input; is udev running?)", total);
    return ERR_NO_INPUT;
}

int libinput_fd(const zr_input_t *in) { return in->li != nullptr ? libinput_get_fd(in->li) : -1; }

std::int64_t libinput_due(const zr_input_t *) { return -1; }

void libinput_close(zr_input_t *in) {
    for (device &d : in->devices) {
        if (d.li != nullptr) libinput_device_set_user_data(d.li, nullptr);
    }
    if (in->li != nullptr) libinput_unref(in->li);
    if (in->seat_udev != nullptr) udev_unref(in->seat_udev);
    in->li = nullptr;
    in->seat_udev = nullptr;
#if ZR_HAVE_SEAT
    if (in->seat != nullptr) libseat_close_seat(in->seat);
    in->seat = nullptr;
#endif
}

const source sources[] = {
    {"libinput", libinput_open, libinput_fd, libinput_read, libinput_due, libinput_close},
    {"script", script_open, script_fd, script_read, script_due, script_close},
};

// ---- waking up

// The session's descriptor joins the set whenever the display layer has one.
void watch_session(zr_input_t *in) {
    const int fd = session->fd();
    if (fd == in->session_fd) return;
    if (in->session_fd >= 0) epoll_ctl(in->epoll, EPOLL_CTL_DEL, in->session_fd, nullptr);
    in->session_fd = -1;
    epoll_event ev{};
    ev.events = EPOLLIN;
    if (fd >= 0 && epoll_ctl(in->epoll, EPOLL_CTL_ADD, fd, &ev) == 0) in->session_fd = fd;
}

// The timer fires when the next thing is due: at once while events wait.
// Set again only when that changes: setting it is a system call per event.
void arm_timer(zr_input_t *in) {
    std::int64_t due = in->from->next_due(in);
    if (in->repeat_device != 0 && (due < 0 || in->repeat_due_us < due)) due = in->repeat_due_us;
    if (!in->queue.empty()) due = 1;
    if (due == in->timer_due) return;
    in->timer_due = due;
    itimerspec t{};
    if (due >= 0) {
        due = std::max<std::int64_t>(due, 1);
        t.it_value.tv_sec = static_cast<time_t>(due / 1'000'000);
        t.it_value.tv_nsec = static_cast<long>(due % 1'000'000) * 1000;
    }
    timerfd_settime(in->timer, TFD_TIMER_ABSTIME, &t, nullptr);
}

void close_input(zr_input_t *in) {
    if (in->from != nullptr) in->from->close(in);
    for (device &d : in->devices)
        if (d.keys != nullptr) xkb_state_unref(d.keys);
    if (in->keymap != nullptr) xkb_keymap_unref(in->keymap);
    if (in->xkb != nullptr) xkb_context_unref(in->xkb);
    if (in->timer >= 0) close(in->timer);
    if (in->epoll >= 0) close(in->epoll);
    if (in->keyboard_off) zr::console_keyboard_restore();
    delete in;
}

int fail(int code) {
    zr_error_code = code;
    return code;
}

}  // namespace

extern "C" {

ZR_API zr_input_t *zr_input_open(int flags) {
    if ((flags & ~ZR_INPUT_CONSOLE_KEYS) != 0) {
        zr::debug("unknown input flag bits 0x%x", static_cast<unsigned>(flags & ~ZR_INPUT_CONSOLE_KEYS));
        fail(ERR_INIT_FLAGS);
        return nullptr;
    }
    auto *in = new (std::nothrow) zr_input_t;
    if (in == nullptr) {
        fail(ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    in->flags = flags;
    const bool scripted = std::getenv("ZR_VFB_INPUT") != nullptr;
    in->from = &sources[scripted ? 1 : 0];
    in->epoll = epoll_create1(EPOLL_CLOEXEC);
    in->timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    in->xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    if (in->xkb != nullptr) xkb_context_set_log_fn(in->xkb, xkb_log_to_debug);
    int code = in->epoll < 0 || in->timer < 0 || in->xkb == nullptr ? ERR_OUT_OF_MEMORY : 0;
    if (code == 0) code = load_keymap(in, nullptr, nullptr, nullptr);
    if (code == 0) code = in->from->open(in);
    if (code == 0 && scripted) {
        in->from->read(in, now_us());  // what the script has at its start
        if (in->devices.empty()) {
            zr::debug("the input script adds no device at its start");
            code = ERR_NO_INPUT;
        }
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    const int source_fd = code == 0 ? in->from->fd(in) : -1;
    if (code == 0 && (epoll_ctl(in->epoll, EPOLL_CTL_ADD, in->timer, &ev) != 0 ||
                      (source_fd >= 0 && epoll_ctl(in->epoll, EPOLL_CTL_ADD, source_fd, &ev) != 0)))
        code = ERR_OUT_OF_MEMORY;
    if (code != 0) {
        close_input(in);
        fail(code);
        return nullptr;
    }
    if ((flags & ZR_INPUT_CONSOLE_KEYS) == 0) in->keyboard_off = zr::console_keyboard_off(!scripted);
    watch_session(in);
    arm_timer(in);
    return in;
}

ZR_API int zr_input_fd(zr_input_t *input) {
    if (input == nullptr) return -1;
    watch_session(input);
    return input->epoll;
}

ZR_API int zr_input_next(zr_input_t *input, zr_event_t *event, int timeout_ms) {
    if (input == nullptr || event == nullptr) {
        fail(ERR_NO_INPUT);
        return -1;
    }
    const std::int64_t deadline = timeout_ms < 0 ? -1 : now_us() + std::int64_t{timeout_ms} * 1000;
    for (;;) {
        watch_session(input);
        if (const int screen = session->take(); screen != 0) {
            *event = event_of(screen, nullptr, now_us());
            arm_timer(input);
            return 1;
        }
        const std::int64_t now = now_us();
        input->from->read(input, now);
        repeats_until(input, now);
        if (!input->queue.empty()) {
            *event = input->queue.front();
            input->queue.pop_front();
            arm_timer(input);
            return 1;
        }
        arm_timer(input);
        if (deadline >= 0 && now >= deadline) return 0;
        const int wait_ms = deadline < 0 ? -1 : static_cast<int>((deadline - now + 999) / 1000);
        epoll_event ev{};
        if (epoll_wait(input->epoll, &ev, 1, wait_ms) < 0 && errno != EINTR) {
            fail(ERR_PROCESSING);
            return -1;
        }
    }
}

ZR_API void zr_input_close(zr_input_t *input) {
    if (input != nullptr) close_input(input);
}

ZR_API int zr_input_set_calibration(zr_input_t *input, int device, const int coefficients[7]) {
    if (input == nullptr) return fail(ERR_NO_INPUT);
    if (coefficients != nullptr && coefficients[6] == 0) return fail(ERR_PROCESSING);
    const bool on = coefficients != nullptr;
    const auto set = [&](bool *flag, int *to) {
        *flag = on;
        if (on) std::memcpy(to, coefficients, 7 * sizeof(int));
    };
    if (device == 0) {
        set(&input->calibrated, input->calibration);
        for (::device &d : input->devices)
            if ((d.caps & ZR_DEVICE_TOUCH) != 0) set(&d.calibrated, d.calibration);
        return 0;
    }
    ::device *d = find(input, device);
    if (d == nullptr) return fail(ERR_NO_INPUT);
    set(&d->calibrated, d->calibration);
    return 0;
}

ZR_API int zr_input_load_pointercal(zr_input_t *input, int device, const char *path) {
    if (input == nullptr) return fail(ERR_NO_INPUT);
    FILE *f = path != nullptr ? std::fopen(path, "rb") : nullptr;
    if (f == nullptr) {
        zr::debug("pointercal %s: %s", path != nullptr ? path : "(null)", std::strerror(errno));
        return fail(ERR_PROCESSING);
    }
    char text[512];  // seven integers and their blanks fit many times over
    const std::size_t n = std::fread(text, 1, sizeof text, f);
    std::fclose(f);
    int c[7];
    if (!read_pointercal(text, n, c)) {
        zr::debug("pointercal %s: not seven integers with a divisor other than 0", path);
        return fail(ERR_PROCESSING);
    }
    return zr_input_set_calibration(input, device, c);
}

ZR_API int zr_input_set_layout(zr_input_t *input, const char *layout, const char *variant, const char *options) {
    if (input == nullptr) return fail(ERR_NO_INPUT);
    const int code = load_keymap(input, layout, variant, options);
    return code != 0 ? fail(code) : 0;
}

}  // extern "C"

#else  // built without libinput, libudev or xkbcommon

extern "C" {

ZR_API zr_input_t *zr_input_open(int) {
    zr::debug("built without libinput, libudev or xkbcommon: no input");
    zr_error_code = ERR_NO_INPUT_SUPPORT;
    return nullptr;
}
ZR_API int zr_input_fd(zr_input_t *) { return -1; }
ZR_API int zr_input_next(zr_input_t *, zr_event_t *, int) {
    zr_error_code = ERR_NO_INPUT_SUPPORT;
    return -1;
}
ZR_API void zr_input_close(zr_input_t *) {}
ZR_API int zr_input_set_calibration(zr_input_t *, int, const int *) { return zr_error_code = ERR_NO_INPUT_SUPPORT; }
ZR_API int zr_input_load_pointercal(zr_input_t *, int, const char *) { return zr_error_code = ERR_NO_INPUT_SUPPORT; }
ZR_API int zr_input_set_layout(zr_input_t *, const char *, const char *, const char *) {
    return zr_error_code = ERR_NO_INPUT_SUPPORT;
}

}  // extern "C"

#endif
