// A display backend for tests: buffers in memory, every call recorded, and a
// clock of its own, on which a waiting show lasts until the next frame only
// when the display is told to have a vertical blank.
#pragma once

#include "display.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace zr_test {

struct memory_display {
    int width = 16, height = 8;
    int bits_per_pixel = 32;
    zr::pixel_format format = zr::pixel_format::none;  // none: the depth's default
    int most_buffers = 3;       // shows up to this many
    int refresh_mhz = 50000;    // 20 ms a frame
    bool vblank = false;        // a waiting show returns at the next frame
    bool needs_flush = false;
    bool prefer_shadow = false;
    int refuse_enter = 0;       // this many enters fail (another program holds the device)
    bool plane_turns = false;   // turns the picture as it scans out (buffers in the picture's orientation)
    int panel_rotation = 0;     // the panel's own orientation, added when asked for
    bool patterned = false;     // buffer 0 starts with a picture: each byte its offset, times 7
};

// One call, written "open 3" (" rgb565", " turn 90", " panel" as asked), "show 1 wait", "show 2",
// "flush 0 x,y,w,h ...", "leave", "enter 1" (the buffer put on the screen), "close".
using call_log = std::vector<std::string>;

// The path the backend takes; zr_init_ex on it opens the memory display.
inline constexpr const char *memory_display_path = "/dev/null";

// Installs the backend (and its clock) for d, then zr_init_ex(path, flags).
int memory_display_open(const memory_display &d, int flags);
// zr_close, and the library's own backends and clock again.
void memory_display_close();

call_log memory_display_calls();  // since open, or since the last clear
void memory_display_clear_calls();
std::vector<unsigned char> memory_display_buffer(int i);
// Writes over buffer i, as another terminal's console does while away.
void memory_display_scribble(int i, unsigned char byte);
int memory_display_shown();                     // the buffer on the screen
std::vector<std::int64_t> memory_display_sleeps();  // each sleep_until, ns
std::int64_t memory_display_frame();             // ns a frame

}  // namespace zr_test
