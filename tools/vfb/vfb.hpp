// The virtual framebuffer's view of its configuration and of what its screen
// shows, shared with its snapshot writer and with tests.
#pragma once

#include <linux/fb.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zr_vfb {

struct geometry {
    int width, height;
    int depth;           // 1, 4, 8, 15, 16, 24 or 32
    int bits_per_pixel;  // storage bits: 16 for depth 15
    long line_length;    // bytes per row
};

// The geometry the environment asks for now; line_length as asked, so it may
// be shorter than row_bytes (or -1 when ZR_VFB_LINE_LENGTH is not a number).
geometry current_geometry();
// The bytes of one row's pixels, padding left out.
long row_bytes(const geometry &g);
// The file that holds the pixel memory.
std::string memory_path();
void fill_var(const geometry &g, fb_var_screeninfo *var);
void fill_fix(const geometry &g, fb_fix_screeninfo *fix);

// Where the picture on the screen is: g.height rows of g.line_length bytes
// from byte offset of the file memory. An empty memory is a dark screen of
// g's size (the DRM node's CRTC turned off). program: the picture is the
// program's own (the framebuffer device, or a framebuffer that one of its DRM
// descriptors made), not the DRM node's console.
struct screen {
    geometry g;
    std::string memory;
    long offset;
    bool program;
};

// Called before the screen's place changes (the device opened, the display
// panned, another DRM framebuffer scanned out), while the old place is still
// valid. Null unless the snapshot writer is built in (the preloadable library
// sets it when it loads).
extern void (*on_screen_change)(const screen &next);

// ---- for tests linked with the device ----------------------------------

// The pixels the screen shows now: on the framebuffer device the rows at the
// pan offset, on the DRM node the framebuffer its CRTC scans out at its x, y
// (with drm-dirty-needed: what was flushed to it). Rows are packed (row_bytes
// of the geometry); 0 x 0 with no pixels when nothing is shown.
struct screen_pixels {
    int width = 0, height = 0;
    int depth = 0;           // 16 for RGB565, 24 for XRGB8888, else as geometry
    int bits_per_pixel = 0;  // 32 for XRGB8888
    std::vector<unsigned char> pixels;
};
screen_pixels visible_screen();

// The DRM node's console: the framebuffer its CRTC scans out when the node is
// first opened (XRGB8888, the preferred mode, every pixel console_pixel).
inline constexpr std::uint32_t drm_console_fb = 1;
inline constexpr std::uint32_t drm_console_pixel = 0x00203040;

// One DIRTYFB that reached the node: the framebuffer and its rectangles
// (x1, y1 inclusive, x2, y2 exclusive); none: the whole framebuffer.
struct drm_clip {
    int x1, y1, x2, y2;
};
struct drm_dirty {
    std::uint32_t fb_id;
    std::vector<drm_clip> clips;
};

struct drm_crtc_state {
    std::uint32_t fb_id;  // 0: off
    int x, y;
    bool mode_valid;
    int mode_width, mode_height;  // of the mode set, when valid
};

// The node's state since it was last opened with no descriptor open.
std::vector<drm_dirty> drm_dirty_calls();
int drm_page_flips();  // flips completed
drm_crtc_state drm_crtc();
bool drm_master_held();  // by a descriptor of this process
int drm_open_descriptors();

}  // namespace zr_vfb
