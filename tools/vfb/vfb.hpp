// The virtual device as tests linked with it see it (where the screen is,
// what it shows, the state of the DRM node), and what the framebuffer device
// (vfb.cpp), the DRM node (vfb_drm.cpp) and the pictures (pictures.cpp) share.
#pragma once

#include <dlfcn.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zr_vfb {

struct geometry {
    int width, height;
    int depth;           // 1, 4, 8, 15, 16, 24 or 32
    int bits_per_pixel;  // storage bits: 16 for depth 15, 32 for the DRM node's depth 24
    long line_length;    // bytes per row
};

// Where the picture on the screen is: g.height rows of g.line_length bytes
// from byte offset of the file memory; no file: a dark screen. program: the
// picture is the program's own (the framebuffer as it panned it, or a
// framebuffer that one of its DRM descriptors made), not the console's.
struct screen {
    geometry g;
    std::string memory;
    long offset;
    bool program;
};

// The pixels the screen shows now, rows packed; 0 x 0 when nothing is shown.
struct screen_pixels {
    int width = 0, height = 0;
    int depth = 0, bits_per_pixel = 0;
    std::vector<unsigned char> pixels;
};
screen_pixels visible_screen();

// The DRM node's console: the framebuffer its CRTC scans out when the node is
// first opened (XRGB8888, the preferred mode, every pixel console_pixel).
inline constexpr std::uint32_t drm_console_fb = 1;
inline constexpr std::uint32_t drm_console_pixel = 0x00203040;

// One DIRTYFB that reached the node; no clips: the whole framebuffer.
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
    int mode_width, mode_height;
};

// The node's state since it was last opened with no descriptor open.
std::vector<drm_dirty> drm_dirty_calls();
int drm_page_flips();  // flips landed
drm_crtc_state drm_crtc();
bool drm_master_held();  // by a descriptor of this process
int drm_open_descriptors();

}  // namespace zr_vfb

namespace zr_vfb::detail {

// The next definition of a libc function, past the ones here.
template <class F>
F next(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

const char *env_or(const char *name, const char *fallback);
bool listed(const char *list, char sep, const char *item);  // item is an entry of list
bool failing(const char *what);                            // ZR_VFB_FAIL names what
geometry current_geometry();                               // as the environment asks now
long row_bytes(const geometry &g);
std::string memory_path();  // ZR_VFB_MEMORY
int fail(int e);  // errno = e, -1

// Copies between the caller's memory and ours as the kernel does: false (the
// ioctl fails with EFAULT) when either side is not mapped as needed.
bool copy_in(void *to, const void *from_user, std::size_t n);
bool copy_out(void *to_user, const void *from, std::size_t n);

int real_open(const char *path, int flags, mode_t mode);
int real_close(int fd);
void *real_mmap(void *addr, std::size_t length, int prot, int flags, int fd, off_t offset);

long long now_ns();  // CLOCK_MONOTONIC
// When the next vertical blank of a hz display comes; now with ZR_VFB_FAST.
long long next_vblank(int hz);
void sleep_until(long long ns);

// What the screen shows, told to the pictures: it moved (the device opened, a
// modeset, a FBIOPUT_VSCREENINFO), a frame may have been presented (a pan, a
// flip landing, a DIRTYFB, a vsync wait; s null when it stays where it is), or
// the program's own picture is about to go (the console restored, the CRTC
// turned off, the framebuffer put back where it was found).
enum class event { moved, presented, given_back };
void screen_event(event e, const screen *s);
// Set by the preloaded pictures; null in programs linked with the device.
extern void (*on_screen_event)(event e, const screen &now);
// Set when the pictures asked for are all taken: the program ends once the
// call that took the last one returns.
extern volatile bool finished;
void end_if_finished();

bool drm_is_path(const char *path);
int drm_open(int flags);
bool drm_owns(int fd);
int drm_ioctl(int fd, unsigned long request, void *arg);
void *drm_mmap(void *addr, std::size_t length, int prot, int flags, int fd, off_t offset);
ssize_t drm_read(int fd, void *buf, std::size_t count);
void drm_close(int fd);
long long drm_settle();  // lands the flip that is due; when the next one is, or -1

}  // namespace zr_vfb::detail
