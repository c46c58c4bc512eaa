// Input: keyboards, pointers and touchscreens as zr_event_t records.
//
// input.cpp is the core: one queue of events, the devices' table, xkbcommon's
// key maps, text and repeat, and the one transform from a device's
// coordinates to the screen's pixels. Events come from a source, one row of
// a small table: libinput (the seat's devices, hotplug through udev) or the
// script that zr-vfb hands over (ZR_VFB_INPUT), which plays the same events
// at their times so that input programs run headless. The readers of the
// script and of tslib's pointercal file live here too: both read hostile
// text and are fuzzed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zr::input {

// ---- the script (input_script.cpp)

// Limits of a script: longer files, more events, larger numbers are refused.
inline constexpr std::size_t script_max_bytes = 1 << 20;
inline constexpr int script_max_devices = 64;     // device ids 1 .. this
inline constexpr int script_max_slots = 16;       // touch slots 0 .. this - 1
inline constexpr int script_max_range = 1 << 24;  // absolute axes 0 .. range - 1
inline constexpr std::int64_t script_max_ms = 24LL * 3600 * 1000;

enum class script_op {
    add,          // device: capabilities, range_x/range_y (absolute), name
    remove,
    key,          // code, down
    move,         // a, b: relative motion
    position,     // a, b: an absolute pointer's position in its range
    button,       // code, down
    wheel,        // a, b: clicks
    touch_down,   // slot, a, b in the range
    touch_motion,
    touch_up,     // slot
};

struct script_event {
    std::int64_t at_ms = 0;  // since input opened; never less than the line before
    script_op op = script_op::add;
    int device = 0;          // the script's id, 1 .. script_max_devices
    int code = 0;            // key or button code; add: ZR_DEVICE_* bits
    bool down = false;
    int a = 0, b = 0;
    int slot = 0;
    int range_x = 0, range_y = 0;  // add: the absolute axes' sizes (0: none)
    char name[64]{};
};

// Reads a whole script. False on the first bad line (its number in
// *bad_line, 1 and up; 0 when the text as a whole is refused).
bool read_script(const char *text, std::size_t size, std::vector<script_event> *out, int *bad_line);

// ---- calibration (input.cpp)

// The first seven integers of a tslib pointercal file, blanks between them
// (anything after the seventh is ignored). False when there are fewer, one
// does not fit an int, or s is 0.
bool read_pointercal(const char *text, std::size_t size, int out[7]);

// The screen as absolute devices map to it: the panel's pixels, the turn from
// the program's picture to the panel, and tslib's seven numbers (null: none).
struct screen_map {
    int panel_width = 0, panel_height = 0;
    int rotation = 0;  // 0, 90, 180, 270
    const int *calibration = nullptr;
};

// The logical picture's size: the panel's, turned.
void logical_size(const screen_map &m, int *width, int *height);

// A point of an absolute device, as fractions 0 .. 1 of its axes, in the
// program's pixels: scaled to the panel, calibrated, turned, and clamped to
// the picture.
void map_absolute(const screen_map &m, double fx, double fy, int *x, int *y);

// ---- sessions

// Where input learns of the screen going and coming back: the display
// layer's session_event_fd and session_take_event, or a test's own (null:
// the display layer's).
struct session_hooks {
    int (*fd)();
    int (*take)();
};
void set_session_hooks(const session_hooks *hooks);

}  // namespace zr::input
