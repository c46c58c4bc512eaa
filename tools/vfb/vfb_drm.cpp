// The virtual DRM/KMS node: dumb buffers, framebuffers, one CRTC driving one
// connector (Virtual-1, a smaller mode first and the preferred one at
// ZR_VFB_SIZE), page flips with their events, DIRTYFB. Its primary plane
// has a "type" property, and a "rotation" one when ZR_VFB_DRM_ROTATION is
// set (the picture then shows the framebuffer turned, as the panel would);
// the connector has a "panel orientation" when ZR_VFB_PANEL_TURN names the
// clockwise degrees that bring its panel upright (90, 180 or 270). Each ioctl answers as
// the kernel's uapi defines it, as far as libdrm and the library call it.
// Built where libdrm's copies of the uapi headers are found; without them no
// path is the DRM node.
//
// Master belongs to the node, not to a process: a descriptor is master only
// while its process holds an flock on ZR_VFB_MEMORY, so a second program on
// the same node is refused as a kernel refuses it. At first open the CRTC
// scans out a console framebuffer (see vfb.hpp) that nothing restores when
// descriptors close: a program's own restore is what shows. Buffers are
// memfds, mapped through the MAP_DUMB offsets of the descriptor that made them.
#include "vfb.hpp"

#if __has_include(<drm.h>) && __has_include(<drm_mode.h>) && __has_include(<drm_fourcc.h>)

#include <drm.h>
#include <drm_fourcc.h>
#include <drm_mode.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace zr_vfb::detail;

constexpr std::uint32_t connector_id = 10, encoder_id = 11, crtc_id = 12, plane_id = 13;
constexpr std::uint32_t type_prop = 20, rotation_prop = 21, orientation_prop = 22;
// The rotation bits, counter-clockwise as the kernel's: rotate-0, -90, -180, -270.
constexpr std::uint64_t rotate_0 = 1, rotate_90 = 2, rotate_180 = 4, rotate_270 = 8;
constexpr std::uint32_t max_size = 8192;       // widest and tallest framebuffer and mode
constexpr std::uint64_t max_dumb = 256 << 20;  // bytes of one dumb buffer
constexpr std::uint32_t pitch_align = 256;     // dumb buffer rows, as many drivers pad them

// A buffer's memory (a dumb buffer's, the console's, the screen's with
// drm-dirty-needed): a memfd.
struct buffer {
    int fd;
    std::uint64_t size, offset = 0;  // whole pages; for mmap, once MAP_DUMB gave one
    ~buffer() { real_close(fd); }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd); }
};
using buffer_ref = std::shared_ptr<buffer>;

buffer_ref new_buffer(std::uint64_t size) {
    const int fd = memfd_create("zr-vfb", MFD_CLOEXEC);
    if (fd >= 0 && ftruncate(fd, static_cast<off_t>(size)) == 0) return buffer_ref(new buffer{fd, size});
    if (fd >= 0) real_close(fd);
    return nullptr;
}

struct framebuffer {
    std::uint32_t id, width, height, format, pitch, offset;
    buffer_ref bo;
    int owner;  // the descriptor that made it; -1 for the console
};
using fb_ref = std::shared_ptr<framebuffer>;

struct file {
    bool master = false;
    std::map<std::uint32_t, buffer_ref> handles;
    std::uint32_t next_handle = 1;
    std::deque<drm_event_vblank> events;
};

struct flip {
    fb_ref fb;
    int fd;  // the descriptor its event goes to
    bool event;
    std::uint64_t user_data;
    long long due;  // CLOCK_MONOTONIC ns
};

struct device {
    int width = 0, height = 0, depth = 24;  // the preferred mode and depth
    bool dirty_needed = false;
    std::map<int, file> files;
    std::map<std::uint32_t, fb_ref> fbs;
    std::uint32_t next_fb = zr_vfb::drm_console_fb + 1;
    std::uint64_t next_offset = 0x10000000;
    fb_ref crtc_fb;
    int crtc_x = 0, crtc_y = 0;
    bool mode_valid = false;
    drm_mode_modeinfo mode{};
    std::optional<flip> pending;
    std::uint32_t sequence = 0;
    int flips = 0, flips_taken = 0;
    std::vector<zr_vfb::drm_dirty> dirty;
    buffer_ref shadow;  // drm-dirty-needed: what the screen shows
    std::uint64_t rotation = rotate_0;  // the primary plane's
    buffer_ref turned;  // a turned plane: what the panel shows
    int lock = -1;      // ZR_VFB_MEMORY, flocked while a descriptor here is master
};

std::recursive_mutex lock;
std::atomic<int> open_count{0};
device dev;

// Later calls (other destructors closing descriptors) find nothing open.
struct closed_at_exit {
    ~closed_at_exit() { open_count = 0; }
} closed;

int cpp_of(std::uint32_t format) { return format == DRM_FORMAT_RGB565 || format == DRM_FORMAT_BGR565 ? 2 : 4; }

// A user pointer carried in a __u64; null when it cannot be one here.
void *user_ptr(std::uint64_t p) {
    return p > UINTPTR_MAX ? nullptr : reinterpret_cast<void *>(static_cast<std::uintptr_t>(p));
}

drm_mode_modeinfo make_mode(int w, int h, bool preferred) {
    drm_mode_modeinfo m{};
    m.hdisplay = static_cast<__u16>(w);
    m.hsync_start = static_cast<__u16>(w + 16);
    m.hsync_end = static_cast<__u16>(w + 112);
    m.htotal = static_cast<__u16>(w + 160);
    m.vdisplay = static_cast<__u16>(h);
    m.vsync_start = static_cast<__u16>(h + 10);
    m.vsync_end = static_cast<__u16>(h + 12);
    m.vtotal = static_cast<__u16>(h + 45);
    m.vrefresh = 60;
    m.clock = static_cast<__u32>(std::max(1LL, 60LL * m.htotal * m.vtotal / 1000));
    m.flags = DRM_MODE_FLAG_NHSYNC | DRM_MODE_FLAG_NVSYNC;
    m.type = DRM_MODE_TYPE_DRIVER | (preferred ? DRM_MODE_TYPE_PREFERRED : 0);
    std::snprintf(m.name, sizeof m.name, "%dx%d", w, h);
    return m;
}

// drm_mode_validate_basic, and the sizes this CRTC drives.
bool valid_mode(const drm_mode_modeinfo &m) {
    return (m.type & ~DRM_MODE_TYPE_ALL) == 0 && (m.flags & ~DRM_MODE_FLAG_ALL) == 0 && m.clock != 0 &&
           m.hdisplay != 0 && m.vdisplay != 0 && m.hsync_start >= m.hdisplay && m.hsync_end >= m.hsync_start &&
           m.htotal >= m.hsync_end && m.vsync_start >= m.vdisplay && m.vsync_end >= m.vsync_start &&
           m.vtotal >= m.vsync_end && m.hdisplay <= max_size && m.vdisplay <= max_size;
}

bool sideways(std::uint64_t rotation) { return (rotation & (rotate_90 | rotate_270)) != 0; }

// The turned plane's picture as the panel shows it: panel pixel (x, y) is
// the framebuffer's pixel the counter-clockwise turn puts there.
void turn_picture() {
    if (dev.rotation == rotate_0 || !dev.crtc_fb || !dev.mode_valid) return;
    const framebuffer &fb = *dev.crtc_fb;
    const int cpp = cpp_of(fb.format), w = dev.mode.hdisplay, h = dev.mode.vdisplay;
    const int fw = sideways(dev.rotation) ? h : w, fh = sideways(dev.rotation) ? w : h;
    std::vector<unsigned char> from(static_cast<std::size_t>(fw) * fh * cpp), to(static_cast<std::size_t>(w) * h * cpp);
    for (int y = 0; y < fh; ++y)
        if (pread(fb.bo->fd, from.data() + static_cast<std::size_t>(y) * fw * cpp, static_cast<std::size_t>(fw) * cpp,
                  fb.offset + off_t{y} * fb.pitch) < 0)
            return;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            // Counter-clockwise by 90: the framebuffer's right column is the panel's top row.
            const int fx = dev.rotation == rotate_90 ? fw - 1 - y : dev.rotation == rotate_270 ? y : fw - 1 - x;
            const int fy = dev.rotation == rotate_90 ? x : dev.rotation == rotate_270 ? fh - 1 - x : fh - 1 - y;
            std::memcpy(to.data() + (static_cast<std::size_t>(y) * w + x) * cpp,
                        from.data() + (static_cast<std::size_t>(fy) * fw + fx) * cpp, cpp);
        }
    if (ftruncate(dev.turned->fd, static_cast<off_t>(to.size())) != 0) return;
    if (pwrite(dev.turned->fd, to.data(), to.size(), 0) < 0) return;
}

zr_vfb::screen screen_now() {
    const int w = dev.mode_valid ? dev.mode.hdisplay : dev.width, h = dev.mode_valid ? dev.mode.vdisplay : dev.height;
    if (!dev.crtc_fb) return {{w, h, 24, 32, 4L * w}, "", 0, false};
    const framebuffer &fb = *dev.crtc_fb;
    const int cpp = cpp_of(fb.format);
    const auto pitch = static_cast<long>(fb.pitch);
    const bool turned = dev.rotation != rotate_0 && dev.turned;
    const zr_vfb::geometry g{w, h, cpp == 2 ? 16 : 24, cpp * 8, dev.dirty_needed || turned ? long{w} * cpp : pitch};
    if (turned) return {g, dev.turned->path(), 0, fb.owner >= 0};
    if (dev.dirty_needed) return {g, dev.shadow->path(), 0, fb.owner >= 0};
    return {g, fb.bo->path(), static_cast<long>(fb.offset) + dev.crtc_y * pitch + dev.crtc_x * cpp, fb.owner >= 0};
}

// drm-dirty-needed: copies the rectangle (screen coordinates, clipped) of
// the scanned-out framebuffer to what the screen shows.
void flush(int x1, int y1, int x2, int y2) {
    if (!dev.dirty_needed || !dev.crtc_fb || !dev.mode_valid) return;
    const framebuffer &fb = *dev.crtc_fb;
    const int cpp = cpp_of(fb.format), w = dev.mode.hdisplay;
    x1 = std::max(x1, 0), y1 = std::max(y1, 0), x2 = std::min(x2, w), y2 = std::min<int>(y2, dev.mode.vdisplay);
    if (x1 >= x2) return;
    std::vector<unsigned char> row(static_cast<std::size_t>(x2 - x1) * cpp);
    const auto n = static_cast<ssize_t>(row.size());
    for (int y = y1; y < y2; ++y)
        if (pread(fb.bo->fd, row.data(), row.size(), fb.offset + off_t{y + dev.crtc_y} * fb.pitch + off_t{x1 + dev.crtc_x} * cpp) != n ||
            pwrite(dev.shadow->fd, row.data(), row.size(), (off_t{y} * w + x1) * cpp) != n)
            return;
}

// Puts fb (null: off) on the CRTC. The pictures hear of it as e; a program's
// picture about to go is told first, while it is still there.
void scan_out(fb_ref fb, int x, int y, const drm_mode_modeinfo *mode, event e) {
    if (dev.crtc_fb && dev.crtc_fb->owner >= 0 && (!fb || fb->owner < 0)) screen_event(event::given_back, nullptr);
    dev.crtc_fb = std::move(fb);
    dev.crtc_x = x;
    dev.crtc_y = y;
    dev.mode_valid = mode != nullptr;
    if (mode != nullptr) dev.mode = *mode;
    if (dev.dirty_needed && dev.crtc_fb &&
        ftruncate(dev.shadow->fd, off_t{dev.mode.hdisplay} * dev.mode.vdisplay * cpp_of(dev.crtc_fb->format)) == 0)
        flush(0, 0, dev.mode.hdisplay, dev.mode.vdisplay);
    turn_picture();
    const zr_vfb::screen s = screen_now();
    screen_event(e, &s);
}

void complete_flip() {
    const flip done = *dev.pending;
    dev.pending.reset();
    ++dev.sequence;
    ++dev.flips;
    scan_out(done.fb, dev.crtc_x, dev.crtc_y, &dev.mode, event::presented);
    const auto it = dev.files.find(done.fd);
    if (!done.event || it == dev.files.end()) return;
    drm_event_vblank e{};
    e.base.type = DRM_EVENT_FLIP_COMPLETE;
    e.base.length = sizeof e;
    e.user_data = done.user_data;
    e.tv_sec = static_cast<__u32>(done.due / 1000000000);
    e.tv_usec = static_cast<__u32>(done.due % 1000000000 / 1000);
    e.sequence = dev.sequence;
    e.crtc_id = crtc_id;
    if (it->second.events.empty()) eventfd_write(done.fd, 1);  // readable now
    it->second.events.push_back(e);
}

long long settle_locked() {
    if (dev.pending && now_ns() >= dev.pending->due) complete_flip();
    return dev.pending ? dev.pending->due : -1;
}

// The node as first opened: the console on the CRTC in the preferred mode.
void fresh() {
    dev = device{};
    const zr_vfb::geometry g = current_geometry();
    dev.width = std::min<int>(g.width, max_size);
    dev.height = std::min<int>(g.height, max_size);
    dev.depth = g.depth == 16 ? 16 : 24;
    dev.shadow = failing("drm-dirty-needed") ? new_buffer(0) : nullptr;
    dev.dirty_needed = dev.shadow != nullptr;
    dev.turned = new_buffer(0);
    const auto pitch = static_cast<std::uint32_t>(dev.width) * 4;
    const drm_mode_modeinfo preferred = make_mode(dev.width, dev.height, true);
    buffer_ref console = new_buffer(std::uint64_t{pitch} * dev.height);
    if (!console) return scan_out(nullptr, 0, 0, nullptr, event::moved);
    std::vector<std::uint32_t> row(static_cast<std::size_t>(dev.width), zr_vfb::drm_console_pixel);
    for (int y = 0; y < dev.height; ++y)
        if (pwrite(console->fd, row.data(), pitch, off_t{y} * pitch) != static_cast<ssize_t>(pitch)) break;
    dev.fbs[zr_vfb::drm_console_fb] = std::make_shared<framebuffer>(
        framebuffer{zr_vfb::drm_console_fb, static_cast<std::uint32_t>(dev.width),
                    static_cast<std::uint32_t>(dev.height), DRM_FORMAT_XRGB8888, pitch, 0, console, -1});
    scan_out(dev.fbs[zr_vfb::drm_console_fb], 0, 0, &preferred, event::moved);
}

// Master for f when no descriptor has it, here or in another process.
bool take_master(file &f) {
    if (failing("drm-not-master")) return false;
    for (const auto &[fd, other] : dev.files)
        if (other.master) return false;
    const std::string path = memory_path();
    dev.lock = real_open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (dev.lock >= 0 && flock(dev.lock, LOCK_EX | LOCK_NB) != 0) {
        real_close(dev.lock);
        dev.lock = -1;
        return false;
    }
    return f.master = true;
}

void drop_master(file &f) {
    if (!f.master) return;
    f.master = false;
    if (dev.lock >= 0) real_close(dev.lock);
    dev.lock = -1;
}

fb_ref find_fb(std::uint32_t id) {
    const auto it = dev.fbs.find(id);
    return it == dev.fbs.end() ? nullptr : it->second;
}

// Removes a framebuffer; the CRTC goes off when it showed it.
void remove_fb(const fb_ref &fb) {
    if (dev.pending && dev.pending->fb == fb) complete_flip();
    dev.fbs.erase(fb->id);
    if (dev.crtc_fb == fb) scan_out(nullptr, 0, 0, nullptr, event::moved);
}

// Copies the ids to the user's array of *count entries, as far as it goes;
// the count becomes theirs. False when the array cannot be written.
bool put_ids(std::uint64_t array, __u32 *count, const std::vector<std::uint32_t> &ids) {
    for (std::size_t i = 0; i < ids.size() && i < *count; ++i)
        if (!copy_out(static_cast<std::uint32_t *>(user_ptr(array)) + i, &ids[i], sizeof ids[i])) return false;
    *count = static_cast<__u32>(ids.size());
    return true;
}

// drm_copy_field: as much of value as fits, no terminator; the length is the whole value's.
bool copy_field(char *to, __kernel_size_t *length, const char *value) {
    const std::size_t n = std::strlen(value), copied = std::min<std::size_t>(n, *length);
    *length = n;
    return copied == 0 || to == nullptr || copy_out(to, value, copied);
}

// ---- the ioctls: each returns 0 or an errno ----

int get_cap(drm_get_cap &c) {
    switch (c.capability) {
        case DRM_CAP_DUMB_BUFFER: c.value = failing("drm-no-dumb") ? 0 : 1; return 0;
        case DRM_CAP_DUMB_PREFERRED_DEPTH: c.value = static_cast<__u64>(dev.depth); return 0;
        case DRM_CAP_DUMB_PREFER_SHADOW: c.value = failing("drm-prefer-shadow") ? 1 : 0; return 0;
        default: return EINVAL;
    }
}

int get_resources(int fd, drm_mode_card_res &r) {
    std::vector<std::uint32_t> fbs;
    for (const auto &[id, fb] : dev.fbs)
        if (fb->owner == fd) fbs.push_back(id);
    r.min_width = r.min_height = 1;
    r.max_width = r.max_height = max_size;
    const bool ok = put_ids(r.fb_id_ptr, &r.count_fbs, fbs) && put_ids(r.crtc_id_ptr, &r.count_crtcs, {crtc_id}) &&
                    put_ids(r.encoder_id_ptr, &r.count_encoders, {encoder_id}) &&
                    put_ids(r.connector_id_ptr, &r.count_connectors, {connector_id});
    return ok ? 0 : EFAULT;
}

int get_connector(drm_mode_get_connector &c) {
    if (c.connector_id != connector_id) return ENOENT;
    if (!put_ids(c.encoders_ptr, &c.count_encoders, {encoder_id})) return EFAULT;
    const bool connected = !failing("drm-no-connector");
    c.connector_type = DRM_MODE_CONNECTOR_VIRTUAL;
    c.connector_type_id = 1;
    c.connection = connected ? 1 : 2;  // libdrm's DRM_MODE_CONNECTED, DRM_MODE_DISCONNECTED
    c.encoder_id = connected && dev.crtc_fb ? encoder_id : 0;
    std::vector<drm_mode_modeinfo> modes;
    if (connected)
        modes = {make_mode(std::max(1, dev.width / 2), std::max(1, dev.height / 2), false),
                 make_mode(dev.width, dev.height, true)};
    // All or nothing: only into an array that holds them all.
    if (!modes.empty() && c.count_modes >= modes.size() &&
        !copy_out(user_ptr(c.modes_ptr), modes.data(), modes.size() * sizeof modes[0]))
        return EFAULT;
    c.count_modes = static_cast<__u32>(modes.size());
    c.count_props = 0;
    return 0;
}

int get_crtc(drm_mode_crtc &c) {
    if (c.crtc_id != crtc_id) return ENOENT;
    if (failing("drm-no-getcrtc")) return EINVAL;
    c.x = static_cast<__u32>(dev.crtc_x);
    c.y = static_cast<__u32>(dev.crtc_y);
    c.gamma_size = 0;
    c.fb_id = dev.crtc_fb ? dev.crtc_fb->id : 0;
    c.mode_valid = dev.mode_valid ? 1 : 0;
    c.mode = dev.mode_valid ? dev.mode : drm_mode_modeinfo{};
    return 0;
}

// Whether fb covers a mode's picture at x, y (drm_crtc_check_viewport),
// turned by the primary plane's rotation.
bool fits(const framebuffer &fb, std::uint32_t x, std::uint32_t y, const drm_mode_modeinfo &m,
          std::uint64_t rotation = dev.rotation) {
    const std::uint32_t w = sideways(rotation) ? m.vdisplay : m.hdisplay, h = sideways(rotation) ? m.hdisplay : m.vdisplay;
    return w <= fb.width && h <= fb.height && x <= fb.width - w && y <= fb.height - h;
}

// ---- the plane's and the connector's properties

struct property {
    std::uint32_t id;
    const char *name;
    std::uint32_t flags;
    std::vector<std::pair<std::uint64_t, const char *>> entries;  // enum values, or bitmask bit numbers
};

int panel_turn() {
    const char *v = std::getenv("ZR_VFB_PANEL_TURN");
    const int degrees = v != nullptr ? std::atoi(v) : 0;
    return degrees == 90 || degrees == 180 || degrees == 270 ? degrees : 0;
}

bool offers_rotation() {
    const char *v = std::getenv("ZR_VFB_DRM_ROTATION");
    return v != nullptr && v[0] != '\0' && v[0] != '0';
}

const property properties[] = {
    {type_prop, "type", DRM_MODE_PROP_ENUM | DRM_MODE_PROP_IMMUTABLE, {{0, "Overlay"}, {1, "Primary"}, {2, "Cursor"}}},
    {rotation_prop, "rotation", DRM_MODE_PROP_BITMASK,
     {{0, "rotate-0"}, {1, "rotate-90"}, {2, "rotate-180"}, {3, "rotate-270"}}},
    {orientation_prop, "panel orientation", DRM_MODE_PROP_ENUM | DRM_MODE_PROP_IMMUTABLE,
     {{0, "Normal"}, {1, "Upside Down"}, {2, "Left Side Up"}, {3, "Right Side Up"}}},
};

// An object's properties and their values.
std::vector<std::pair<std::uint32_t, std::uint64_t>> properties_of(std::uint32_t object, std::uint32_t type) {
    if (type == DRM_MODE_OBJECT_PLANE && object == plane_id) {
        std::vector<std::pair<std::uint32_t, std::uint64_t>> all{{type_prop, 1}};
        if (offers_rotation()) all.push_back({rotation_prop, dev.rotation});
        return all;
    }
    if (type == DRM_MODE_OBJECT_CONNECTOR && object == connector_id && panel_turn() != 0) {
        const int turn = panel_turn();  // mounted so that this clockwise turn brings it upright
        return {{orientation_prop, turn == 180 ? 1u : turn == 270 ? 2u : 3u}};
    }
    return {};
}

int obj_get_properties(drm_mode_obj_get_properties &g) {
    if (g.obj_type != DRM_MODE_OBJECT_PLANE && g.obj_type != DRM_MODE_OBJECT_CONNECTOR &&
        g.obj_type != DRM_MODE_OBJECT_CRTC)
        return ENOENT;
    const auto all = properties_of(g.obj_id, g.obj_type);
    if (g.count_props >= all.size())
        for (std::size_t i = 0; i < all.size(); ++i)
            if (!copy_out(static_cast<std::uint32_t *>(user_ptr(g.props_ptr)) + i, &all[i].first, 4) ||
                !copy_out(static_cast<std::uint64_t *>(user_ptr(g.prop_values_ptr)) + i, &all[i].second, 8))
                return EFAULT;
    g.count_props = static_cast<__u32>(all.size());
    return 0;
}

int get_property(drm_mode_get_property &g) {
    for (const property &p : properties) {
        if (p.id != g.prop_id) continue;
        std::snprintf(g.name, sizeof g.name, "%s", p.name);
        g.flags = p.flags;
        const auto n = static_cast<__u32>(p.entries.size());
        if (g.count_enum_blobs >= n && g.count_values >= n)
            for (std::size_t i = 0; i < n; ++i) {
                drm_mode_property_enum e{};
                e.value = p.entries[i].first;
                std::snprintf(e.name, sizeof e.name, "%s", p.entries[i].second);
                if (!copy_out(static_cast<drm_mode_property_enum *>(user_ptr(g.enum_blob_ptr)) + i, &e, sizeof e) ||
                    !copy_out(static_cast<std::uint64_t *>(user_ptr(g.values_ptr)) + i, &e.value, 8))
                    return EFAULT;
            }
        g.count_enum_blobs = g.count_values = n;
        return 0;
    }
    return ENOENT;
}

// The rotation, as an atomic driver checks it: one angle, and a picture
// on the plane (if any) that still covers the mode turned.
int obj_set_property(const file &f, const drm_mode_obj_set_property &s) {
    if (!f.master) return EACCES;
    if (s.obj_type != DRM_MODE_OBJECT_PLANE || s.obj_id != plane_id) return ENOENT;
    if (s.prop_id != rotation_prop || !offers_rotation()) return EINVAL;
    if (s.value != rotate_0 && s.value != rotate_90 && s.value != rotate_180 && s.value != rotate_270) return EINVAL;
    if (dev.crtc_fb && dev.mode_valid && !fits(*dev.crtc_fb, static_cast<std::uint32_t>(dev.crtc_x),
                                               static_cast<std::uint32_t>(dev.crtc_y), dev.mode, s.value))
        return EINVAL;
    dev.rotation = s.value;
    if (dev.crtc_fb) scan_out(dev.crtc_fb, dev.crtc_x, dev.crtc_y, dev.mode_valid ? &dev.mode : nullptr, event::moved);
    return 0;
}

int set_crtc(const file &f, const drm_mode_crtc &c) {
    if (!f.master) return EACCES;
    if ((c.x & 0xffff0000) != 0 || (c.y & 0xffff0000) != 0) return ERANGE;
    if (c.crtc_id != crtc_id) return ENOENT;
    fb_ref fb;
    if (c.mode_valid != 0) {
        fb = c.fb_id == 0xFFFFFFFF ? dev.crtc_fb : find_fb(c.fb_id);
        if (!fb) return c.fb_id == 0xFFFFFFFF ? EINVAL : ENOENT;
        if (c.mode.clock > INT_MAX || c.mode.vrefresh > INT_MAX) return ERANGE;
        if (!valid_mode(c.mode)) return EINVAL;
        if (!fits(*fb, c.x, c.y, c.mode)) return ENOSPC;
    }
    if (c.count_connectors > 1 || (c.count_connectors == 1) != (c.mode_valid != 0)) return EINVAL;
    std::uint32_t id = connector_id;
    if (c.count_connectors == 1 && !copy_in(&id, user_ptr(c.set_connectors_ptr), sizeof id)) return EFAULT;
    if (id != connector_id) return ENOENT;
    if (dev.pending) complete_flip();  // a modeset waits for the flip before it
    if (c.mode_valid == 0) scan_out(nullptr, 0, 0, nullptr, event::moved);
    else scan_out(fb, static_cast<int>(c.x), static_cast<int>(c.y), &c.mode, event::moved);
    return 0;
}

// Lands at the next vertical blank, or ZR_VFB_DRM_FLIP_DELAY microseconds on.
int page_flip(int fd, const file &f, const drm_mode_crtc_page_flip &p) {
    if (!f.master) return EACCES;
    if ((p.flags & ~DRM_MODE_PAGE_FLIP_FLAGS) != 0 || p.reserved != 0) return EINVAL;
    if ((p.flags & (DRM_MODE_PAGE_FLIP_ASYNC | DRM_MODE_PAGE_FLIP_TARGET)) != 0) return EINVAL;  // neither here
    if (p.crtc_id != crtc_id) return ENOENT;
    if (failing("drm-no-flip") || (failing("drm-one-flip") && dev.flips_taken > 0)) return EINVAL;
    if (!dev.crtc_fb) return EBUSY;
    const fb_ref fb = find_fb(p.fb_id);
    if (!fb) return ENOENT;
    if (!fits(*fb, static_cast<std::uint32_t>(dev.crtc_x), static_cast<std::uint32_t>(dev.crtc_y), dev.mode))
        return ENOSPC;
    if (fb->format != dev.crtc_fb->format) return EINVAL;
    if (dev.pending) return EBUSY;
    ++dev.flips_taken;
    const char *delay = std::getenv("ZR_VFB_DRM_FLIP_DELAY");
    const long long due = delay != nullptr && delay[0] != '\0'
                              ? now_ns() + std::max(0LL, std::atoll(delay)) * 1000
                              : next_vblank(static_cast<int>(dev.mode.vrefresh));
    dev.pending = flip{fb, fd, (p.flags & DRM_MODE_PAGE_FLIP_EVENT) != 0, p.user_data, due};
    settle_locked();
    return 0;
}

int dirty_fb(const file &f, const drm_mode_fb_dirty_cmd &d) {
    if (!f.master) return EACCES;
    const fb_ref fb = find_fb(d.fb_id);
    if (!fb) return ENOENT;
    if ((d.num_clips == 0) != (d.clips_ptr == 0) || d.num_clips > DRM_MODE_FB_DIRTY_MAX_CLIPS) return EINVAL;
    if ((d.flags & DRM_MODE_FB_DIRTY_ANNOTATE_COPY) != 0 && d.num_clips % 2 != 0) return EINVAL;
    std::vector<drm_clip_rect> clips(d.num_clips);
    if (!clips.empty() && !copy_in(clips.data(), user_ptr(d.clips_ptr), clips.size() * sizeof clips[0])) return EFAULT;
    if (failing("drm-no-dirty")) return ENOSYS;
    zr_vfb::drm_dirty record{fb->id, {}};
    for (const drm_clip_rect &r : clips) record.clips.push_back({r.x1, r.y1, r.x2, r.y2});
    if (dev.dirty.size() == 64) dev.dirty.erase(dev.dirty.begin());  // the latest, for tests: a program may run long
    dev.dirty.push_back(std::move(record));
    if (fb != dev.crtc_fb) return 0;
    if (clips.empty()) flush(0, 0, INT_MAX, INT_MAX);
    for (const drm_clip_rect &r : clips) flush(r.x1 - dev.crtc_x, r.y1 - dev.crtc_y, r.x2 - dev.crtc_x, r.y2 - dev.crtc_y);
    turn_picture();
    screen_event(event::presented, nullptr);
    return 0;
}

int create_dumb(file &f, drm_mode_create_dumb &c) {
    if (failing("drm-no-dumb")) return ENOSYS;
    if (c.width == 0 || c.height == 0 || c.bpp == 0 || c.bpp > UINT32_MAX - 8) return EINVAL;
    const std::uint32_t cpp = (c.bpp + 7) / 8;
    if (cpp > UINT32_MAX / c.width || c.height > UINT32_MAX / (cpp * c.width)) return EINVAL;
    const std::uint64_t pitch = (std::uint64_t{cpp} * c.width + pitch_align - 1) / pitch_align * pitch_align;
    const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const std::uint64_t size = (pitch * c.height + page - 1) / page * page;
    if (pitch > UINT32_MAX || size > max_dumb) return ENOMEM;
    buffer_ref bo = new_buffer(size);
    if (!bo) return ENOMEM;
    c.handle = f.next_handle++;
    c.pitch = static_cast<__u32>(pitch);
    c.size = size;
    f.handles[c.handle] = std::move(bo);
    return 0;
}

int map_dumb(file &f, drm_mode_map_dumb &m) {
    if (failing("drm-no-dumb")) return ENOSYS;
    const auto it = f.handles.find(m.handle);
    if (it == f.handles.end()) return ENOENT;
    if (it->second->offset == 0) {
        it->second->offset = dev.next_offset;
        dev.next_offset += it->second->size;
    }
    m.offset = it->second->offset;
    return 0;
}

int add_fb2(int fd, file &f, drm_mode_fb_cmd2 &r) {
    if ((r.flags & ~DRM_MODE_FB_INTERLACED) != 0) return EINVAL;  // no modifiers here
    if (r.width < 1 || r.width > max_size || r.height < 1 || r.height > max_size) return EINVAL;
    if (r.pixel_format != DRM_FORMAT_XRGB8888 && r.pixel_format != DRM_FORMAT_RGB565 &&
        r.pixel_format != DRM_FORMAT_XBGR8888 && r.pixel_format != DRM_FORMAT_BGR565)
        return EINVAL;
    const auto cpp = static_cast<std::uint32_t>(cpp_of(r.pixel_format));
    if (r.handles[0] == 0) return EINVAL;
    if (std::uint64_t{r.height} * r.pitches[0] + r.offsets[0] > UINT_MAX) return ERANGE;
    if (r.pitches[0] < r.width * cpp) return EINVAL;
    for (int i = 1; i < 4; ++i)
        if (r.handles[i] != 0 || r.pitches[i] != 0 || r.offsets[i] != 0) return EINVAL;
    const auto it = f.handles.find(r.handles[0]);
    if (it == f.handles.end()) return ENOENT;
    if (it->second->size < std::uint64_t{r.height - 1} * r.pitches[0] + std::uint64_t{r.width} * cpp + r.offsets[0])
        return EINVAL;
    r.fb_id = dev.next_fb++;
    dev.fbs[r.fb_id] = std::make_shared<framebuffer>(
        framebuffer{r.fb_id, r.width, r.height, r.pixel_format, r.pitches[0], r.offsets[0], it->second, fd});
    return 0;
}

// The kernel's frame around every ioctl: the argument copied in (EFAULT),
// the handler, and the argument copied back for requests that return data.
template <class T, class H>
int with_arg(unsigned long request, void *arg, H handler) {
    T k;
    if (!copy_in(&k, arg, sizeof k)) return fail(EFAULT);
    int e = handler(k);
    if ((_IOC_DIR(request) & _IOC_READ) != 0 && !copy_out(arg, &k, sizeof k)) e = EFAULT;
    return e != 0 ? fail(e) : 0;
}

int dispatch(int fd, file &f, unsigned long request, void *arg) {
    switch (request) {
        case DRM_IOCTL_VERSION:
            return with_arg<drm_version>(request, arg, [](drm_version &v) {
                v.version_major = 1;
                v.version_minor = v.version_patchlevel = 0;
                const bool ok = copy_field(v.name, &v.name_len, "zr-vfb") && copy_field(v.date, &v.date_len, "0") &&
                                copy_field(v.desc, &v.desc_len, "zr virtual DRM node");
                return ok ? 0 : EFAULT;
            });
        case DRM_IOCTL_GET_CAP: return with_arg<drm_get_cap>(request, arg, get_cap);
        case DRM_IOCTL_SET_CLIENT_CAP:
            return with_arg<drm_set_client_cap>(request, arg, [](drm_set_client_cap &c) {
                return c.capability == DRM_CLIENT_CAP_UNIVERSAL_PLANES && c.value <= 1 ? 0 : EINVAL;
            });
        case DRM_IOCTL_SET_MASTER: return f.master || take_master(f) ? 0 : fail(EBUSY);
        case DRM_IOCTL_DROP_MASTER:
            if (!f.master) return fail(EINVAL);
            drop_master(f);
            return 0;
        case DRM_IOCTL_AUTH_MAGIC:  // no magic was handed out: EINVAL for the master, EACCES for others
            return with_arg<drm_auth>(request, arg, [&](drm_auth &) { return f.master ? EINVAL : EACCES; });
        case DRM_IOCTL_MODE_GETRESOURCES:
            return with_arg<drm_mode_card_res>(request, arg, [&](drm_mode_card_res &r) { return get_resources(fd, r); });
        case DRM_IOCTL_MODE_GETCONNECTOR: return with_arg<drm_mode_get_connector>(request, arg, get_connector);
        case DRM_IOCTL_MODE_GETENCODER:
            return with_arg<drm_mode_get_encoder>(request, arg, [](drm_mode_get_encoder &e) {
                if (e.encoder_id != encoder_id) return ENOENT;
                e.encoder_type = DRM_MODE_ENCODER_VIRTUAL;
                e.crtc_id = dev.crtc_fb ? crtc_id : 0;
                e.possible_crtcs = 1;
                e.possible_clones = 0;
                return 0;
            });
        case DRM_IOCTL_MODE_GETCRTC: return with_arg<drm_mode_crtc>(request, arg, get_crtc);
        case DRM_IOCTL_MODE_SETCRTC:
            return with_arg<drm_mode_crtc>(request, arg, [&](drm_mode_crtc &c) { return set_crtc(f, c); });
        case DRM_IOCTL_MODE_PAGE_FLIP:
            return with_arg<drm_mode_crtc_page_flip>(request, arg,
                                                     [&](drm_mode_crtc_page_flip &p) { return page_flip(fd, f, p); });
        case DRM_IOCTL_MODE_DIRTYFB:
            return with_arg<drm_mode_fb_dirty_cmd>(request, arg, [&](drm_mode_fb_dirty_cmd &d) { return dirty_fb(f, d); });
        case DRM_IOCTL_MODE_CREATE_DUMB:
            return with_arg<drm_mode_create_dumb>(request, arg, [&](drm_mode_create_dumb &c) { return create_dumb(f, c); });
        case DRM_IOCTL_MODE_MAP_DUMB:
            return with_arg<drm_mode_map_dumb>(request, arg, [&](drm_mode_map_dumb &m) { return map_dumb(f, m); });
        case DRM_IOCTL_MODE_DESTROY_DUMB:
            return with_arg<drm_mode_destroy_dumb>(request, arg, [&](drm_mode_destroy_dumb &d) {
                return failing("drm-no-dumb") ? ENOSYS : f.handles.erase(d.handle) == 1 ? 0 : ENOENT;
            });
        case DRM_IOCTL_MODE_ADDFB2:
            return with_arg<drm_mode_fb_cmd2>(request, arg, [&](drm_mode_fb_cmd2 &r) { return add_fb2(fd, f, r); });
        case DRM_IOCTL_MODE_GETPLANERESOURCES:
            return with_arg<drm_mode_get_plane_res>(request, arg, [](drm_mode_get_plane_res &r) {
                return put_ids(r.plane_id_ptr, &r.count_planes, {plane_id}) ? 0 : EFAULT;
            });
        case DRM_IOCTL_MODE_GETPLANE:
            return with_arg<drm_mode_get_plane>(request, arg, [](drm_mode_get_plane &p) {
                if (p.plane_id != plane_id) return ENOENT;
                p.crtc_id = dev.crtc_fb ? crtc_id : 0;
                p.fb_id = dev.crtc_fb ? dev.crtc_fb->id : 0;
                p.possible_crtcs = 1;
                p.gamma_size = 0;
                return put_ids(p.format_type_ptr, &p.count_format_types,
                               {DRM_FORMAT_XRGB8888, DRM_FORMAT_XBGR8888, DRM_FORMAT_RGB565, DRM_FORMAT_BGR565})
                           ? 0
                           : EFAULT;
            });
        case DRM_IOCTL_MODE_OBJ_GETPROPERTIES:
            return with_arg<drm_mode_obj_get_properties>(request, arg, obj_get_properties);
        case DRM_IOCTL_MODE_GETPROPERTY: return with_arg<drm_mode_get_property>(request, arg, get_property);
        case DRM_IOCTL_MODE_OBJ_SETPROPERTY:
            return with_arg<drm_mode_obj_set_property>(request, arg,
                                                       [&](drm_mode_obj_set_property &p) { return obj_set_property(f, p); });
        case DRM_IOCTL_MODE_RMFB:
            return with_arg<std::uint32_t>(request, arg, [&](std::uint32_t &id) {
                const fb_ref fb = find_fb(id);
                if (!fb || fb->owner != fd) return ENOENT;
                remove_fb(fb);
                return 0;
            });
        default: return fail(_IOC_TYPE(request) == DRM_IOCTL_BASE ? EINVAL : ENOTTY);
    }
}

}  // namespace

namespace zr_vfb::detail {

bool drm_is_path(const char *path) {
    const char *list = std::getenv("ZR_VFB_DRM_DEVICE");
    return path != nullptr && path[0] != '\0' && listed(list != nullptr ? list : "/dev/dri/card0", ':', path);
}

bool drm_owns(int fd) {
    if (fd < 0 || open_count.load(std::memory_order_relaxed) == 0) return false;
    std::lock_guard<std::recursive_mutex> hold(lock);
    return dev.files.count(fd) == 1;
}

int drm_open(int flags) {
    if (failing("open")) return fail(EACCES);
    std::lock_guard<std::recursive_mutex> hold(lock);
    if (dev.files.empty()) fresh();
    // An eventfd stands for the descriptor: readable while events are queued.
    const int fd = eventfd(0, ((flags & O_CLOEXEC) != 0 ? EFD_CLOEXEC : 0) | ((flags & O_NONBLOCK) != 0 ? EFD_NONBLOCK : 0));
    if (fd < 0) return -1;
    file &f = dev.files[fd];
    take_master(f);  // the first opener, as the kernel makes it
    ++open_count;
    return fd;
}

void drm_close(int fd) {
    std::lock_guard<std::recursive_mutex> hold(lock);
    const auto it = dev.files.find(fd);
    if (it == dev.files.end()) return;
    std::vector<fb_ref> own;
    for (const auto &[id, fb] : dev.fbs)
        if (fb->owner == fd) own.push_back(fb);
    for (const fb_ref &fb : own) remove_fb(fb);
    if (dev.pending && dev.pending->fd == fd) dev.pending->event = false;
    drop_master(it->second);
    dev.files.erase(it);
    --open_count;
}

int drm_ioctl(int fd, unsigned long request, void *arg) {
    std::lock_guard<std::recursive_mutex> hold(lock);
    settle_locked();
    const auto it = dev.files.find(fd);
    return it == dev.files.end() ? fail(EBADF) : dispatch(fd, it->second, request, arg);
}

void *drm_mmap(void *addr, std::size_t length, int prot, int flags, int fd, off_t offset) {
    std::lock_guard<std::recursive_mutex> hold(lock);
    const auto it = dev.files.find(fd);
    if (it == dev.files.end()) return errno = EBADF, MAP_FAILED;
    for (const auto &[handle, bo] : it->second.handles)
        if (bo->offset != 0 && static_cast<off_t>(bo->offset) == offset)
            return length > bo->size ? (errno = EINVAL, MAP_FAILED) : real_mmap(addr, length, prot, flags, bo->fd, 0);
    return errno = EINVAL, MAP_FAILED;
}

// Whole events only, as many as fit (none fits: 0); with none queued, a
// blocking read waits for the flip on its way, or for a signal.
ssize_t drm_read(int fd, void *buf, std::size_t count) {
    static const auto real_poll = next<int (*)(pollfd *, nfds_t, int)>("poll");
    std::unique_lock<std::recursive_mutex> hold(lock);
    for (;;) {
        const long long due = settle_locked();
        const auto it = dev.files.find(fd);
        if (it == dev.files.end()) return fail(EBADF);
        std::deque<drm_event_vblank> &events = it->second.events;
        if (!events.empty()) {
            std::size_t done = 0;
            for (; !events.empty() && sizeof(drm_event_vblank) <= count - done; events.pop_front()) {
                if (!copy_out(static_cast<char *>(buf) + done, &events.front(), sizeof(drm_event_vblank)))
                    return done == 0 ? fail(EFAULT) : static_cast<ssize_t>(done);
                done += sizeof(drm_event_vblank);
            }
            eventfd_t ignored = 0;
            if (events.empty()) eventfd_read(fd, &ignored);
            return static_cast<ssize_t>(done);
        }
        if ((fcntl(fd, F_GETFL) & O_NONBLOCK) != 0) return fail(EAGAIN);
        hold.unlock();
        pollfd p{fd, POLLIN, 0};
        const int r = due >= 0 ? real_poll(nullptr, 0, static_cast<int>(std::max(0LL, (due - now_ns() + 999999) / 1000000)))
                               : real_poll(&p, 1, -1);
        hold.lock();
        if (r < 0 && errno == EINTR) return -1;
    }
}

long long drm_settle() {
    if (open_count.load(std::memory_order_relaxed) == 0) return -1;
    std::lock_guard<std::recursive_mutex> hold(lock);
    return settle_locked();
}

}  // namespace zr_vfb::detail

namespace zr_vfb {

std::vector<drm_dirty> drm_dirty_calls() {
    std::lock_guard<std::recursive_mutex> hold(lock);
    return dev.dirty;
}

int drm_page_flips() {
    std::lock_guard<std::recursive_mutex> hold(lock);
    settle_locked();
    return dev.flips;
}

drm_crtc_state drm_crtc() {
    std::lock_guard<std::recursive_mutex> hold(lock);
    settle_locked();
    return {dev.crtc_fb ? dev.crtc_fb->id : 0, dev.crtc_x, dev.crtc_y, dev.mode_valid,
            dev.mode_valid ? dev.mode.hdisplay : 0, dev.mode_valid ? dev.mode.vdisplay : 0};
}

bool drm_master_held() {
    std::lock_guard<std::recursive_mutex> hold(lock);
    return std::any_of(dev.files.begin(), dev.files.end(), [](const auto &e) { return e.second.master; });
}

int drm_open_descriptors() { return open_count.load(); }

}  // namespace zr_vfb

#else  // no DRM headers: no DRM node

namespace zr_vfb::detail {
bool drm_is_path(const char *) { return false; }
bool drm_owns(int) { return false; }
int drm_open(int) { return -1; }
void drm_close(int) {}
int drm_ioctl(int, unsigned long, void *) { return -1; }
void *drm_mmap(void *, std::size_t, int, int, int, off_t) { return nullptr; }
ssize_t drm_read(int, void *, std::size_t) { return -1; }
long long drm_settle() { return -1; }
}  // namespace zr_vfb::detail

namespace zr_vfb {
std::vector<drm_dirty> drm_dirty_calls() { return {}; }
int drm_page_flips() { return 0; }
drm_crtc_state drm_crtc() { return {}; }
bool drm_master_held() { return false; }
int drm_open_descriptors() { return 0; }
}  // namespace zr_vfb

#endif
