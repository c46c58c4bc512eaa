// The display layer: one open device (a framebuffer or a DRM node) and how
// the screen DC's pictures reach it. present.cpp owns the state and the
// public calls; display_fbdev.cpp and display_drm.cpp are the two backends,
// console.cpp the console's graphics mode.
#pragma once

#include "zr.h"

#include <cstddef>
#include <cstdint>

namespace zr {

// One buffer the screen DC can draw into.
struct display_buffer {
    unsigned char *pixels = nullptr;
    std::uint32_t fb_id = 0;   // DRM framebuffer
    std::uint32_t handle = 0;  // DRM dumb buffer
    std::size_t size = 0;      // DRM: bytes mapped
};

struct display {
    int backend = 0;  // ZR_BACKEND_*, 0 while closed
    int method = ZR_PRESENT_FRONT;
    int buffers = 1;
    bool vsync = false;
    bool console = false;
    bool prefer_shadow = false;
    int back = 0;      // the buffer the screen DC draws into (pan, flip)
    int visible = 0;   // the buffer on the screen
    display_buffer buffer[3]{};
    unsigned char *shadow = nullptr;  // system memory (shadow method)
};

// The open display; backend 0 while none is open.
display &current_display();

// Rectangles clipped to a width x height screen; a null list or a count of
// 0 or less is the whole screen. Returns how many are left (at most max).
int clip_damage(const zr_rect_t *damage, int count, int width, int height, zr_rect_t *out, int max);

// Copies the rows of each rectangle from one buffer to another of the same
// geometry (stride bytes per row, bits_per_pixel per pixel): the whole bytes
// each row of the rectangle touches.
void copy_damage(unsigned char *to, const unsigned char *from, int stride, int bits_per_pixel,
                 const zr_rect_t *rects, int count);

// Makes every screen DC that draws into `from` draw into `to`.
void retarget_screen_dcs(unsigned char *from, unsigned char *to);

// After a pan or flip to the back buffer: it is the visible one now, and the
// next buffer becomes the screen DCs' (unless they draw on a shadow).
void show_next_buffer(display &d);

// Most damage rectangles a present takes; a longer list is the whole screen.
inline constexpr int max_damage = 16;

// ---- the framebuffer backend (display_fbdev.cpp)

// Reads the geometry of the open framebuffer zr_fb.fd, checks it, maps it
// and sets up the presentation the flags ask for, falling back where the
// device cannot; fills zr_fb. Returns 0 or an error code; on failure nothing
// is left mapped or allocated (the descriptor is the caller's).
int fbdev_open(display &d, int flags);
// rects: at most max_damage rectangles, clipped to the screen.
int fbdev_present(display &d, const zr_rect_t *rects, int count);
void fbdev_close(display &d);

// ---- the DRM backend (display_drm.cpp)

// True when zr_fb.fd is a DRM node.
bool drm_is_node(int fd);
int drm_open(display &d, int flags);
int drm_present(display &d, const zr_rect_t *rects, int count);
void drm_close(display &d);

// ---- the console (console.cpp)

// Puts the active virtual terminal into graphics mode, to be restored by
// console_restore (also at exit and on SIGINT, SIGTERM, SIGHUP). False when
// there is no terminal to switch.
bool console_to_graphics();
void console_restore();

}  // namespace zr
