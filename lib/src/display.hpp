// The display layer: one open device (a framebuffer, a DRM node) and how the
// screen DCs' pictures reach it.
//
// present.cpp is the core. It owns the one state record and every decision:
// how many buffers, which one the screen DCs draw into, the shadow in system
// memory, buffer age, the damage each buffer missed, the fallbacks, whether
// zr_present really waits for the vertical blank (measured at open), pacing,
// the automatic flush of programs that never present, and what
// zr_display_info reports. A backend knows its hardware and answers four
// calls: open (its buffers), show (a buffer, waiting or not), flush (damage
// rectangles) and close. display_fbdev.cpp and display_drm.cpp are the two
// rows of the backend table; adding a backend is one file and one row.
// A picture turned for a sideways panel is drawn in a shadow of its own
// orientation and turned rectangle by rectangle on its way out (rotate.cpp),
// unless the DRM plane turns it as it scans out.
// console.cpp switches the console's mode. What the screen DCs draw into is
// decided in one place in the core, so that it can point them elsewhere and
// stop showing (a session leaving its virtual terminal) and come back:
// session.cpp follows the terminal's switches and calls display_leave and
// display_enter.
#pragma once

#include "pixel_format.hpp"
#include "zr.h"

#include <linux/vt.h>
#include <signal.h>

#include <cstddef>
#include <cstdint>

namespace zr {

// Most damage rectangles a present takes; a longer list is the whole screen.
inline constexpr int max_damage = 16;

// What the core asks of a backend at open.
struct display_request {
    int buffers = 1;      // as many as this (1 .. 3), where the device can show each one
    bool rgb565 = false;  // 16-bit 5-6-5 buffers where the device has them
    int rotation = 0;     // degrees clockwise the program asked the picture turned
    bool panel_rotation = false;  // add the turn the panel's own orientation asks for
};

// What a backend gives at open: buffers of one geometry, each one it can show.
struct display_buffers {
    int count = 0;  // 1 .. 3
    unsigned char *pixels[3]{};
    int width = 0, height = 0;
    int pitch = 0;  // bytes from one row to the next
    int bits_per_pixel = 0;
    int colors = 0;  // the depth that picks the screen DCs' operations
    pixel_format format = pixel_format::none;  // none: the default of the depth (colors)
    int refresh_mhz = 0;         // the mode's refresh rate in mHz; 0 when unknown
    bool needs_flush = false;    // the screen shows a buffer's changes only once flushed
    bool prefer_shadow = false;  // the driver reads its buffers slowly: draw elsewhere
    // The turn from the picture to the panel, in clockwise degrees: the core
    // sets the one asked for before open; a backend that knows the panel's
    // orientation adds it. When the plane turns, the buffers are in the
    // picture's orientation and the device turns them as it scans them out;
    // otherwise they are the panel's and the core turns what it copies in.
    int rotation = 0;
    bool plane_turns = false;
};

// A backend: the hardware's answers. Calls come from one thread at a time.
struct display_backend {
    int id;              // ZR_BACKEND_*
    int buffered_method; // what showing buffers in turn is: ZR_PRESENT_PAN or ZR_PRESENT_FLIP
    // True when the opened device is this backend's.
    bool (*claims)(int fd, const char *path);
    // Sets the device up for at most want.buffers buffers and fills *out; buffer
    // 0 is on the screen. Returns 0 or an error code; on failure nothing is left
    // set up (the descriptor is the core's).
    int (*open)(int fd, const display_request &want, display_buffers *out);
    // Puts buffer i on the screen (i already there: shows it again). wait: returns
    // once it is on the screen, where the device can tell; otherwise the next show
    // or close waits for it. 0, or ERR_PRESENT when the device refuses.
    int (*show)(int buffer, bool wait);
    // Tells the device which rectangles of buffer i changed (at most max_damage,
    // clipped to the screen). Null where nothing ever needs telling.
    void (*flush)(int buffer, const zr_rect_t *rects, int count);
    // Gives back everything open set up or changed.
    void (*close)();
    // Lets another program have the device (a switch of virtual terminal):
    // DRM drops master. Null where the core's not touching it is enough.
    void (*leave)();
    // Takes the device again and puts buffer i on the screen in the mode of
    // open. 0, or ERR_DRM_MASTER / ERR_MODE_SET while it cannot (still
    // away). Null: nothing to take.
    int (*enter)(int buffer);
};

extern const display_backend fbdev_backend;  // display_fbdev.cpp
extern const display_backend drm_backend;    // display_drm.cpp

// The clock that pacing and the vertical-blank measurement read, in
// nanoseconds of CLOCK_MONOTONIC; tests put their own in its place.
struct display_clock {
    std::int64_t (*now)();
    void (*sleep_until)(std::int64_t when);
};

// ---- the core (present.cpp)

// Rectangles clipped to a width x height screen; a null list or a count of
// 0 or less is the whole screen. Returns how many are left (at most max).
int clip_damage(const zr_rect_t *damage, int count, int width, int height, zr_rect_t *out, int max);

// Copies the rows of each rectangle from one buffer to another of the same
// geometry (stride bytes per row, bits_per_pixel per pixel): the whole bytes
// each row of the rectangle touches.
void copy_damage(unsigned char *to, const unsigned char *from, int stride, int bits_per_pixel,
                 const zr_rect_t *rects, int count);

// Screen DCs register when made and unregister when released; the display
// layer points each at the buffer it draws into whenever that changes.
// register_screen_dc is false when the list cannot grow (no memory).
bool register_screen_dc(dc_t *dc);
// The open display's pixel format; none while closed, or where the depth's
// default applies.
pixel_format display_format();
void unregister_screen_dc(dc_t *dc);

// For tests: a backend tried before the table's own rows (null: none), and
// the clock (null: the real one).
void set_test_backend(const display_backend *backend);
void set_display_clock(const display_clock *clock);
// True while the automatic flush runs (a device that needs flushing, drawn on
// directly by a program that has not presented yet).
bool auto_flush_running();

// What input maps to: the panel's pixels as it scans them out, and the turn
// (0, 90, 180 or 270 degrees clockwise) from the program's picture to the
// panel. False (and *out zeroed) while no display is open.
struct display_geometry {
    int panel_width = 0, panel_height = 0;
    int rotation = 0;
};
bool current_display_geometry(display_geometry *out);

// Another virtual terminal takes the screen: the screen DCs draw into memory
// from now on (a copy of their picture), the backend lets go of the device
// and presents return ERR_SCREEN_AWAY. False when the picture cannot be kept
// off the device (no memory for the copy): the switch is to be refused.
// Any thread; waits for a zr_present in progress.
bool display_leave();
// The screen is back: the backend takes the device and the mode again, the
// screen DCs their buffer with what was drawn meanwhile, and the next present
// shows the whole picture. False while the backend cannot (try again later).
bool display_enter();

// ZR_DEBUG=1 in the environment: one English line on standard error, "zr: "
// and the text, telling the cause behind an error code or a fallback.
bool debug_enabled();
void debug(const char *format, ...) __attribute__((format(printf, 1, 2)));

// ---- sessions (session.cpp)

// With ZR_INIT_CONSOLE, after console_to_graphics: follows the switches of
// the virtual terminal (see session.cpp). False where the terminal cannot be
// followed (ZR_DEBUG says why); switches then happen without the program.
bool session_start();
// Stops following (zr_close): the terminal switches by itself again.
void session_stop();
bool session_following();
// A descriptor that is readable while a session event waits (-1 while the
// display does not follow switches), and the next event: ZR_EVENT_SCREEN_LEFT,
// ZR_EVENT_SCREEN_BACK, or 0 when none waits. Events come in that order, in
// turn.
int session_event_fd();
int session_take_event();

// ---- the console (console.cpp)

// What the console's switch keeps: the terminal, its mode before, and the
// signal actions that ours replaced.
struct console_state {
    int tty = -1;  // the terminal switched, -1 when none
    int mode_before = 0;
    bool vt_process = false;  // switches wait for the program (VT_PROCESS); vt_before restored
    struct vt_mode vt_before {};
    int keyboard_tty = -1;  // the terminal whose keyboard is off (K_OFF), -1 when none
    int keyboard_mode_before = 0;
    bool handlers = false;  // ours are installed for the signals
    bool exit_hook = false;
    struct sigaction before[3]{};
};

// The console's part of the display layer's state.
console_state &display_console();

// Puts the active virtual terminal into graphics mode, to be restored by
// console_restore (also at exit and on SIGINT, SIGTERM, SIGHUP). False when
// there is no terminal to switch.
bool console_to_graphics();
void console_restore();
// Switches of the terminal wait for the program: the kernel sends release
// when one would leave it and acquire once it is back (VT_SETMODE
// VT_PROCESS), until console_restore (or exit, or one of its signals) puts
// the mode found back. False where the terminal refuses.
bool console_follow_switches(int release, int acquire);
void console_stop_following();
// Answers a switch (VT_RELDISP): 1 released, 0 refused, VT_ACKACQ acquired.
bool console_answer_switch(int answer);

// Turns the active virtual terminal's keyboard off (KDSKBMODE K_OFF), so that
// key presses read by input do not reach it, until console_keyboard_restore
// (also at exit and on the signals above). real: the real terminal may be
// used; otherwise only a test device is. False when there is none to switch.
bool console_keyboard_off(bool real);
void console_keyboard_restore();
// Switches to virtual terminal vt (VT_ACTIVATE), as Ctrl+Alt+Fn does while
// the keyboard is on; false while it is not off or where refused.
bool console_activate(int vt);

// For tests: a terminal of their own in place of /dev/tty0 and /dev/tty, with
// its KDGETMODE and KDSETMODE, VT_GETMODE, VT_SETMODE and VT_RELDISP,
// KDGKBMODE, KDSKBMODE and VT_ACTIVATE (null: the real ioctl). open gives a descriptor or
// -1; the others return 0 or -1 as ioctl does.
struct console_device {
    int (*open)();
    int (*get_mode)(int fd, int *mode);
    int (*set_mode)(int fd, int mode);
    int (*get_vt_mode)(int fd, struct vt_mode *mode) = nullptr;
    int (*set_vt_mode)(int fd, const struct vt_mode *mode) = nullptr;
    int (*release_display)(int fd, int answer) = nullptr;
    int (*get_keyboard_mode)(int fd, int *mode) = nullptr;
    int (*set_keyboard_mode)(int fd, int mode) = nullptr;
    int (*activate)(int fd, int vt) = nullptr;
};
void set_console_device(const console_device *device);

}  // namespace zr
