// The virtual DRM/KMS node: dumb buffers, framebuffers, one CRTC driving one
// connector, page flips with their events, DIRTYFB; answered as the kernel's
// uapi defines each ioctl (see vfb.cpp's header for the knobs). Built where
// libdrm's copies of the uapi headers are found; without them no path is the
// DRM node.
#include "vfb_internal.hpp"

#if __has_include(<drm.h>) && __has_include(<drm_mode.h>) && __has_include(<drm_fourcc.h>)

#include <drm.h>
#include <drm_fourcc.h>
#include <drm_mode.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

constexpr std::uint32_t connector_id = 10, encoder_id = 11, crtc_id = 12;
constexpr std::uint32_t max_size = 8192;       // widest and tallest framebuffer and mode
constexpr std::size_t event_space = 4096;      // bytes of unread events a descriptor may have
constexpr std::uint64_t max_dumb = 256 << 20;  // bytes of one dumb buffer
constexpr std::uint32_t pitch_align = 256;     // dumb buffer rows, as many drivers pad them

// A dumb buffer's memory: a file beside ZR_VFB_MEMORY, removed with it.
struct buffer {
    std::string path;
    int fd = -1;
    std::uint64_t size = 0;    // whole pages
    std::uint64_t offset = 0;  // for mmap, once MAP_DUMB gave one
    buffer() = default;
    buffer(const buffer &) = delete;
    buffer &operator=(const buffer &) = delete;
    ~buffer() {
        if (fd >= 0) real_close(fd);
        if (!path.empty()) unlink(path.c_str());
    }
};
using buffer_ref = std::shared_ptr<buffer>;

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
    std::size_t reserved = 0;  // bytes of events queued or promised to a pending flip
};

struct flip {
    fb_ref fb;
    int fd;  // the descriptor its event goes to
    bool event;
    std::uint64_t user_data;
    long long due;  // CLOCK_MONOTONIC ns
};

struct device {
    int width = 0, height = 0;  // the preferred mode
    int depth = 24;
    bool dirty_needed = false, master_elsewhere = false;
    std::string base;
    std::map<int, file> files;
    std::map<std::uint32_t, fb_ref> fbs;
    std::uint32_t next_fb = zr_vfb::drm_console_fb + 1;
    std::uint64_t next_offset = 0;
    int serial = 0;
    fb_ref crtc_fb;
    int crtc_x = 0, crtc_y = 0;
    bool mode_valid = false;
    drm_mode_modeinfo mode{};
    std::optional<flip> pending;
    std::uint32_t sequence = 0;
    int flips = 0;
    int flips_taken = 0;  // page flips accepted (drm-one-flip)
    std::vector<zr_vfb::drm_dirty> dirty;
    std::unique_ptr<buffer> shadow;  // drm-dirty-needed: what the screen shows
    ~device();
};

std::recursive_mutex lock;
std::atomic<int> open_count{0};
device dev;

// Later calls (other destructors closing descriptors) find nothing open.
device::~device() { open_count = 0; }

int fail(int e) {
    errno = e;
    return -1;
}

long long now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

std::uint64_t page_size() { return static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)); }

// A user pointer carried in a __u64; null when it cannot be one here.
void *user_ptr(std::uint64_t p) {
    return p > UINTPTR_MAX ? nullptr : reinterpret_cast<void *>(static_cast<std::uintptr_t>(p));
}

int bytes_per_pixel(std::uint32_t format) { return format == DRM_FORMAT_RGB565 ? 2 : 4; }

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
    m.clock = static_cast<__u32>(std::max<long long>(1, 60LL * m.htotal * m.vtotal / 1000));
    m.flags = DRM_MODE_FLAG_NHSYNC | DRM_MODE_FLAG_NVSYNC;
    m.type = DRM_MODE_TYPE_DRIVER | (preferred ? DRM_MODE_TYPE_PREFERRED : 0);
    std::snprintf(m.name, sizeof m.name, "%dx%d", w, h);
    return m;
}

// The connector's modes: a smaller one first, then the preferred one.
std::vector<drm_mode_modeinfo> modes() {
    if (failing("drm-no-connector")) return {};
    return {make_mode(std::max(1, dev.width / 2), std::max(1, dev.height / 2), false),
            make_mode(dev.width, dev.height, true)};
}

// drm_mode_validate_basic, and the sizes this CRTC drives.
bool valid_mode(const drm_mode_modeinfo &m) {
    if ((m.type & ~DRM_MODE_TYPE_ALL) != 0 || (m.flags & ~DRM_MODE_FLAG_ALL) != 0) return false;
    if (m.clock == 0 || m.hdisplay == 0 || m.vdisplay == 0) return false;
    if (m.hsync_start < m.hdisplay || m.hsync_end < m.hsync_start || m.htotal < m.hsync_end)
        return false;
    if (m.vsync_start < m.vdisplay || m.vsync_end < m.vsync_start || m.vtotal < m.vsync_end)
        return false;
    return m.hdisplay <= max_size && m.vdisplay <= max_size;
}

// A file beside ZR_VFB_MEMORY of size bytes, all zero.
std::unique_ptr<buffer> new_buffer(const std::string &suffix, std::uint64_t size) {
    auto b = std::make_unique<buffer>();
    b->path = dev.base + suffix;
    b->fd = real_open(b->path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (b->fd < 0 || ftruncate(b->fd, static_cast<off_t>(size)) != 0) return nullptr;
    b->size = size;
    return b;
}

// Where the picture is now.
zr_vfb::screen screen_now() {
    const int w = dev.mode_valid ? dev.mode.hdisplay : dev.width;
    const int h = dev.mode_valid ? dev.mode.vdisplay : dev.height;
    if (!dev.crtc_fb) return {{w, h, 24, 32, 4L * w}, "", 0, false};
    const framebuffer &fb = *dev.crtc_fb;
    const int cpp = bytes_per_pixel(fb.format);
    const zr_vfb::geometry g{w, h, cpp == 2 ? 16 : 24, cpp * 8,
                             dev.dirty_needed ? static_cast<long>(w) * cpp : static_cast<long>(fb.pitch)};
    if (dev.dirty_needed) return {g, dev.shadow->path, 0, fb.owner >= 0};
    return {g, fb.bo->path,
            static_cast<long>(fb.offset) + static_cast<long>(dev.crtc_y) * fb.pitch +
                static_cast<long>(dev.crtc_x) * cpp,
            fb.owner >= 0};
}

// drm-dirty-needed: copies the rectangle (screen coordinates, clipped) of
// the scanned-out framebuffer to what the screen shows.
void flush(int x1, int y1, int x2, int y2) {
    if (!dev.dirty_needed || !dev.crtc_fb || !dev.mode_valid) return;
    const framebuffer &fb = *dev.crtc_fb;
    const int cpp = bytes_per_pixel(fb.format);
    const int w = dev.mode.hdisplay, h = dev.mode.vdisplay;
    x1 = std::max(x1, 0);
    y1 = std::max(y1, 0);
    x2 = std::min(x2, w);
    y2 = std::min(y2, h);
    if (x1 >= x2 || y1 >= y2) return;
    std::vector<unsigned char> row(static_cast<std::size_t>(x2 - x1) * cpp);
    for (int y = y1; y < y2; ++y) {
        const off_t from = static_cast<off_t>(fb.offset) +
                           static_cast<off_t>(y + dev.crtc_y) * fb.pitch +
                           static_cast<off_t>(x1 + dev.crtc_x) * cpp;
        const off_t to = (static_cast<off_t>(y) * w + x1) * cpp;
        if (pread(fb.bo->fd, row.data(), row.size(), from) != static_cast<ssize_t>(row.size()) ||
            pwrite(dev.shadow->fd, row.data(), row.size(), to) != static_cast<ssize_t>(row.size()))
            return;
    }
}

// Puts fb (null: off) on the CRTC. The screen's new place is told while the
// old one still holds its picture.
void scan_out(fb_ref fb, int x, int y, bool mode_valid, const drm_mode_modeinfo &mode) {
    const fb_ref old = dev.crtc_fb;
    dev.crtc_fb = std::move(fb);
    dev.crtc_x = x;
    dev.crtc_y = y;
    dev.mode_valid = mode_valid;
    dev.mode = mode_valid ? mode : drm_mode_modeinfo{};
    set_screen(screen_now());
    if (dev.dirty_needed && dev.crtc_fb) {
        const int cpp = bytes_per_pixel(dev.crtc_fb->format);
        if (ftruncate(dev.shadow->fd, static_cast<off_t>(dev.mode.hdisplay) * dev.mode.vdisplay * cpp) == 0)
            flush(0, 0, dev.mode.hdisplay, dev.mode.vdisplay);
    }
}

void complete_flip() {
    const flip done = *dev.pending;
    dev.pending.reset();
    ++dev.sequence;
    ++dev.flips;
    scan_out(done.fb, dev.crtc_x, dev.crtc_y, dev.mode_valid, dev.mode);
    if (!done.event) return;
    const auto it = dev.files.find(done.fd);
    if (it == dev.files.end()) return;
    drm_event_vblank e{};
    e.base.type = DRM_EVENT_FLIP_COMPLETE;
    e.base.length = sizeof e;
    e.user_data = done.user_data;
    const long long now = now_ns();
    e.tv_sec = static_cast<__u32>(now / 1000000000);
    e.tv_usec = static_cast<__u32>(now % 1000000000 / 1000);
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
    dev.pending.reset();
    dev.crtc_fb.reset();
    dev.fbs.clear();
    dev.shadow.reset();
    dev.dirty.clear();
    dev.flips = dev.flips_taken = 0;
    dev.next_fb = zr_vfb::drm_console_fb + 1;
    dev.next_offset = 0x10000000;
    const zr_vfb::geometry g = zr_vfb::current_geometry();
    dev.width = std::min<int>(g.width, max_size);
    dev.height = std::min<int>(g.height, max_size);
    dev.depth = g.depth == 16 ? 16 : 24;
    dev.base = zr_vfb::memory_path();
    dev.dirty_needed = failing("drm-dirty-needed");
    dev.master_elsewhere = failing("drm-not-master");
    if (dev.dirty_needed) dev.shadow = new_buffer(".scanout", 0);
    if (dev.dirty_needed && !dev.shadow) dev.dirty_needed = false;

    const std::uint32_t pitch = static_cast<std::uint32_t>(dev.width) * 4;
    std::shared_ptr<buffer> console = new_buffer(".console", std::uint64_t{pitch} * dev.height);
    const drm_mode_modeinfo preferred = make_mode(dev.width, dev.height, true);
    if (!console) {
        scan_out(nullptr, 0, 0, false, preferred);
        return;
    }
    std::vector<std::uint32_t> row(static_cast<std::size_t>(dev.width), zr_vfb::drm_console_pixel);
    for (int y = 0; y < dev.height; ++y)
        if (pwrite(console->fd, row.data(), pitch, static_cast<off_t>(y) * pitch) != pitch) break;
    auto fb = std::make_shared<framebuffer>(framebuffer{zr_vfb::drm_console_fb,
                                                        static_cast<std::uint32_t>(dev.width),
                                                        static_cast<std::uint32_t>(dev.height),
                                                        DRM_FORMAT_XRGB8888, pitch, 0, console, -1});
    dev.fbs[fb->id] = fb;
    scan_out(fb, 0, 0, true, preferred);
}

bool master_taken() {
    if (dev.master_elsewhere) return true;
    for (const auto &[fd, f] : dev.files)
        if (f.master) return true;
    return false;
}

fb_ref find_fb(std::uint32_t id) {
    const auto it = dev.fbs.find(id);
    return it == dev.fbs.end() ? nullptr : it->second;
}

// Removes a framebuffer; the CRTC goes off when it showed it.
void remove_fb(const fb_ref &fb) {
    if (dev.pending && dev.pending->fb == fb) complete_flip();
    dev.fbs.erase(fb->id);
    if (dev.crtc_fb == fb) scan_out(nullptr, 0, 0, false, {});
}

// Copies n ids to the user's array of count entries, as far as it goes; the
// count becomes n. False when the array cannot be written.
bool put_ids(std::uint64_t array, __u32 *count, const std::vector<std::uint32_t> &ids) {
    for (std::size_t i = 0; i < ids.size(); ++i)
        if (i < *count && !copy_out(static_cast<std::uint32_t *>(user_ptr(array)) + i, &ids[i],
                                    sizeof ids[i]))
            return false;
    *count = static_cast<__u32>(ids.size());
    return true;
}

// drm_copy_field: as much of value as fits, no terminator; the length is
// always the whole value's.
bool copy_field(char *to, __kernel_size_t *length, const char *value) {
    const std::size_t n = std::strlen(value);
    const std::size_t copied = std::min<std::size_t>(n, *length);
    *length = n;
    return copied == 0 || to == nullptr || copy_out(to, value, copied);
}

// ---- the ioctls: each returns 0 or an errno ----

int version(drm_version &v) {
    v.version_major = 1;
    v.version_minor = 0;
    v.version_patchlevel = 0;
    if (!copy_field(v.name, &v.name_len, "zr-vfb") || !copy_field(v.date, &v.date_len, "20240101") ||
        !copy_field(v.desc, &v.desc_len, "zr virtual DRM node"))
        return EFAULT;
    return 0;
}

int get_cap(drm_get_cap &c) {
    c.value = 0;
    switch (c.capability) {
        case DRM_CAP_DUMB_BUFFER: c.value = failing("drm-no-dumb") ? 0 : 1; return 0;
        case DRM_CAP_VBLANK_HIGH_CRTC: c.value = 1; return 0;
        case DRM_CAP_DUMB_PREFERRED_DEPTH: c.value = static_cast<__u64>(dev.depth); return 0;
        case DRM_CAP_DUMB_PREFER_SHADOW: c.value = failing("drm-prefer-shadow") ? 1 : 0; return 0;
        case DRM_CAP_TIMESTAMP_MONOTONIC: c.value = 1; return 0;
        case DRM_CAP_CURSOR_WIDTH:
        case DRM_CAP_CURSOR_HEIGHT: c.value = 64; return 0;
        case DRM_CAP_CRTC_IN_VBLANK_EVENT: c.value = 1; return 0;
        case DRM_CAP_PRIME:
        case DRM_CAP_ASYNC_PAGE_FLIP:
        case DRM_CAP_ADDFB2_MODIFIERS:
        case DRM_CAP_PAGE_FLIP_TARGET:
        case DRM_CAP_SYNCOBJ:
        case DRM_CAP_SYNCOBJ_TIMELINE: return 0;
        default: return EINVAL;
    }
}

int set_client_cap(const drm_set_client_cap &c) {
    switch (c.capability) {
        case DRM_CLIENT_CAP_STEREO_3D:
        case DRM_CLIENT_CAP_UNIVERSAL_PLANES:
        case DRM_CLIENT_CAP_ASPECT_RATIO: return c.value > 1 ? EINVAL : 0;
        case DRM_CLIENT_CAP_ATOMIC: return EOPNOTSUPP;  // no atomic modesetting here
        default: return EINVAL;
    }
}

int get_resources(int fd, drm_mode_card_res &r) {
    std::vector<std::uint32_t> fbs;
    for (const auto &[id, fb] : dev.fbs)
        if (fb->owner == fd) fbs.push_back(id);
    if (!put_ids(r.fb_id_ptr, &r.count_fbs, fbs)) return EFAULT;
    r.min_width = r.min_height = 1;
    r.max_width = r.max_height = max_size;
    if (!put_ids(r.crtc_id_ptr, &r.count_crtcs, {crtc_id}) ||
        !put_ids(r.encoder_id_ptr, &r.count_encoders, {encoder_id}) ||
        !put_ids(r.connector_id_ptr, &r.count_connectors, {connector_id}))
        return EFAULT;
    return 0;
}

int get_connector(drm_mode_get_connector &c) {
    if (c.connector_id != connector_id) return ENOENT;
    if (!put_ids(c.encoders_ptr, &c.count_encoders, {encoder_id})) return EFAULT;
    const bool connected = !failing("drm-no-connector");
    c.connector_type = DRM_MODE_CONNECTOR_VIRTUAL;
    c.connector_type_id = 1;
    c.connection = connected ? 1 : 2;  // libdrm's DRM_MODE_CONNECTED, DRM_MODE_DISCONNECTED
    c.mm_width = connected ? static_cast<__u32>(dev.width * 254 / 960) : 0;  // 96 dpi
    c.mm_height = connected ? static_cast<__u32>(dev.height * 254 / 960) : 0;
    c.subpixel = 0;  // unknown
    c.encoder_id = connected && dev.crtc_fb ? encoder_id : 0;
    const std::vector<drm_mode_modeinfo> list = modes();
    // All or nothing: only into an array that holds them all.
    if (!list.empty() && c.count_modes >= list.size() &&
        !copy_out(user_ptr(c.modes_ptr), list.data(), list.size() * sizeof list[0]))
        return EFAULT;
    c.count_modes = static_cast<__u32>(list.size());
    c.count_props = 0;
    return 0;
}

int get_encoder(drm_mode_get_encoder &e) {
    if (e.encoder_id != encoder_id) return ENOENT;
    e.encoder_type = DRM_MODE_ENCODER_VIRTUAL;
    e.crtc_id = dev.crtc_fb ? crtc_id : 0;
    e.possible_crtcs = 1;
    e.possible_clones = 0;
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

// Whether fb covers a mode's picture at x, y (drm_crtc_check_viewport).
bool fits(const framebuffer &fb, int x, int y, const drm_mode_modeinfo &m) {
    return m.hdisplay <= fb.width && m.vdisplay <= fb.height &&
           static_cast<std::uint32_t>(x) <= fb.width - m.hdisplay &&
           static_cast<std::uint32_t>(y) <= fb.height - m.vdisplay;
}

int set_crtc(const file &f, const drm_mode_crtc &c) {
    if (!f.master) return EACCES;
    if ((c.x & 0xffff0000) != 0 || (c.y & 0xffff0000) != 0) return ERANGE;
    if (c.crtc_id != crtc_id) return ENOENT;
    fb_ref fb;
    if (c.mode_valid != 0) {
        if (c.fb_id == 0xFFFFFFFF) {
            if (!dev.crtc_fb) return EINVAL;
            fb = dev.crtc_fb;
        } else if (!(fb = find_fb(c.fb_id))) {
            return ENOENT;
        }
        if (c.mode.clock > INT_MAX || c.mode.vrefresh > INT_MAX) return ERANGE;
        if (!valid_mode(c.mode)) return EINVAL;
        if (!fits(*fb, static_cast<int>(c.x), static_cast<int>(c.y), c.mode)) return ENOSPC;
    }
    if (c.count_connectors == 0 && c.mode_valid != 0) return EINVAL;
    if (c.count_connectors > 0 && (c.mode_valid == 0 || !fb)) return EINVAL;
    if (c.count_connectors > 1) return EINVAL;
    if (c.count_connectors == 1) {
        std::uint32_t id = 0;
        if (!copy_in(&id, user_ptr(c.set_connectors_ptr), sizeof id)) return EFAULT;
        if (id != connector_id) return ENOENT;
    }
    if (dev.pending) complete_flip();  // a modeset waits for the flip before it
    scan_out(c.mode_valid != 0 ? fb : nullptr, c.mode_valid != 0 ? static_cast<int>(c.x) : 0,
             c.mode_valid != 0 ? static_cast<int>(c.y) : 0, c.mode_valid != 0, c.mode);
    return 0;
}

int page_flip(int fd, file &f, const drm_mode_crtc_page_flip &p) {
    if (!f.master) return EACCES;
    if ((p.flags & ~DRM_MODE_PAGE_FLIP_FLAGS) != 0 || p.reserved != 0) return EINVAL;
    if ((p.flags & DRM_MODE_PAGE_FLIP_ASYNC) != 0) return EINVAL;  // no async flips
    if ((p.flags & DRM_MODE_PAGE_FLIP_TARGET) != 0) return EINVAL;  // nor flips at a vblank
    if (p.crtc_id != crtc_id) return ENOENT;
    if (failing("drm-no-flip") || (failing("drm-one-flip") && dev.flips_taken > 0)) return EINVAL;
    if (!dev.crtc_fb) return EBUSY;
    const fb_ref fb = find_fb(p.fb_id);
    if (!fb) return ENOENT;
    if (!fits(*fb, dev.crtc_x, dev.crtc_y, dev.mode)) return ENOSPC;
    if (fb->format != dev.crtc_fb->format) return EINVAL;
    const bool event = (p.flags & DRM_MODE_PAGE_FLIP_EVENT) != 0;
    if (event && f.reserved + sizeof(drm_event_vblank) > event_space) return ENOMEM;
    if (dev.pending) return EBUSY;
    if (event) f.reserved += sizeof(drm_event_vblank);
    ++dev.flips_taken;
    const long long delay = std::atoll(env_or("ZR_VFB_DRM_FLIP_DELAY", "0"));
    dev.pending = flip{fb, fd, event, p.user_data, now_ns() + std::max(0LL, delay) * 1000};
    if (delay <= 0) complete_flip();
    return 0;
}

int dirty_fb(const file &f, const drm_mode_fb_dirty_cmd &d) {
    if (!f.master) return EACCES;
    const fb_ref fb = find_fb(d.fb_id);
    if (!fb) return ENOENT;
    if ((d.num_clips == 0) != (d.clips_ptr == 0)) return EINVAL;
    const std::uint32_t flags = d.flags & DRM_MODE_FB_DIRTY_FLAGS;
    if ((flags & DRM_MODE_FB_DIRTY_ANNOTATE_COPY) != 0 && d.num_clips % 2 != 0) return EINVAL;
    if (d.num_clips > DRM_MODE_FB_DIRTY_MAX_CLIPS) return EINVAL;
    std::vector<drm_clip_rect> clips(d.num_clips);
    if (!clips.empty() && !copy_in(clips.data(), user_ptr(d.clips_ptr), clips.size() * sizeof clips[0]))
        return EFAULT;
    if (failing("drm-no-dirty")) return ENOSYS;
    zr_vfb::drm_dirty record{fb->id, {}};
    for (const drm_clip_rect &r : clips) record.clips.push_back({r.x1, r.y1, r.x2, r.y2});
    dev.dirty.push_back(std::move(record));
    if (fb == dev.crtc_fb) {
        if (clips.empty()) flush(0, 0, INT_MAX, INT_MAX);
        for (const drm_clip_rect &r : clips)
            flush(r.x1 - dev.crtc_x, r.y1 - dev.crtc_y, r.x2 - dev.crtc_x, r.y2 - dev.crtc_y);
    }
    return 0;
}

int create_dumb(file &f, drm_mode_create_dumb &c) {
    if (failing("drm-no-dumb")) return ENOSYS;
    if (c.width == 0 || c.height == 0 || c.bpp == 0) return EINVAL;
    if (c.bpp > UINT32_MAX - 8) return EINVAL;
    const std::uint32_t cpp = (c.bpp + 7) / 8;
    if (cpp > UINT32_MAX / c.width) return EINVAL;
    const std::uint32_t stride = cpp * c.width;
    if (c.height > UINT32_MAX / stride) return EINVAL;
    c.handle = c.pitch = 0;
    c.size = 0;
    const std::uint64_t pitch = (std::uint64_t{stride} + pitch_align - 1) / pitch_align * pitch_align;
    const std::uint64_t page = page_size();
    const std::uint64_t size = (pitch * c.height + page - 1) / page * page;
    if (pitch > UINT32_MAX || size > max_dumb) return ENOMEM;
    buffer_ref bo = new_buffer(".dumb-" + std::to_string(++dev.serial), size);
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
    buffer &bo = *it->second;
    if (bo.offset == 0) {
        bo.offset = dev.next_offset;
        dev.next_offset += bo.size;
    }
    m.offset = bo.offset;
    return 0;
}

int destroy_dumb(file &f, const drm_mode_destroy_dumb &d) {
    if (failing("drm-no-dumb")) return ENOSYS;
    return f.handles.erase(d.handle) == 1 ? 0 : ENOENT;
}

int add_fb2(int fd, file &f, drm_mode_fb_cmd2 &r) {
    if ((r.flags & ~(DRM_MODE_FB_INTERLACED | DRM_MODE_FB_MODIFIERS)) != 0) return EINVAL;
    if ((r.flags & DRM_MODE_FB_MODIFIERS) != 0) return EINVAL;  // no modifiers here
    if (r.width < 1 || r.width > max_size || r.height < 1 || r.height > max_size) return EINVAL;
    if (r.pixel_format != DRM_FORMAT_XRGB8888 && r.pixel_format != DRM_FORMAT_RGB565) return EINVAL;
    const std::uint32_t cpp = static_cast<std::uint32_t>(bytes_per_pixel(r.pixel_format));
    if (r.handles[0] == 0) return EINVAL;
    if (std::uint64_t{r.height} * r.pitches[0] + r.offsets[0] > UINT_MAX) return ERANGE;
    if (r.pitches[0] < r.width * cpp) return EINVAL;
    for (int i = 0; i < 4; ++i)
        if (r.modifier[i] != 0) return EINVAL;
    for (int i = 1; i < 4; ++i)
        if (r.handles[i] != 0 || r.pitches[i] != 0 || r.offsets[i] != 0) return EINVAL;
    const auto it = f.handles.find(r.handles[0]);
    if (it == f.handles.end()) return ENOENT;
    const std::uint64_t needed =
        std::uint64_t{r.height - 1} * r.pitches[0] + std::uint64_t{r.width} * cpp + r.offsets[0];
    if (it->second->size < needed) return EINVAL;
    auto fb = std::make_shared<framebuffer>(framebuffer{dev.next_fb++, r.width, r.height,
                                                        r.pixel_format, r.pitches[0], r.offsets[0],
                                                        it->second, fd});
    dev.fbs[fb->id] = fb;
    r.fb_id = fb->id;
    return 0;
}

int add_fb(int fd, file &f, drm_mode_fb_cmd &c) {
    drm_mode_fb_cmd2 r{};
    if (c.bpp == 32 && c.depth == 24)
        r.pixel_format = DRM_FORMAT_XRGB8888;
    else if (c.bpp == 16 && c.depth == 16)
        r.pixel_format = DRM_FORMAT_RGB565;
    else
        return EINVAL;
    r.width = c.width;
    r.height = c.height;
    r.handles[0] = c.handle;
    r.pitches[0] = c.pitch;
    const int e = add_fb2(fd, f, r);
    if (e == 0) c.fb_id = r.fb_id;
    return e;
}

int rm_fb(int fd, const std::uint32_t &id) {
    const fb_ref fb = find_fb(id);
    if (!fb || fb->owner != fd) return ENOENT;
    remove_fb(fb);
    return 0;
}

int obj_get_properties(drm_mode_obj_get_properties &p) {
    const bool connector = p.obj_id == connector_id &&
                           (p.obj_type == DRM_MODE_OBJECT_ANY || p.obj_type == DRM_MODE_OBJECT_CONNECTOR);
    const bool crtc = p.obj_id == crtc_id &&
                      (p.obj_type == DRM_MODE_OBJECT_ANY || p.obj_type == DRM_MODE_OBJECT_CRTC);
    if (!connector && !crtc) return p.obj_id == encoder_id ? EINVAL : ENOENT;
    p.count_props = 0;
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

}  // namespace

namespace zr_vfb::detail {

bool drm_is_path(const char *path) {
    const char *list = std::getenv("ZR_VFB_DRM_DEVICE");
    return path != nullptr && path[0] != '\0' && listed(list != nullptr ? list : "/dev/dri/card0", ':', path);
}

bool drm_any_open() { return open_count.load(std::memory_order_relaxed) > 0; }

bool drm_owns(int fd) {
    if (fd < 0 || !drm_any_open()) return false;
    std::lock_guard<std::recursive_mutex> hold(lock);
    return dev.files.count(fd) == 1;
}

int drm_open(int flags) {
    if (failing("open")) return fail(EACCES);
    std::lock_guard<std::recursive_mutex> hold(lock);
    if (dev.files.empty()) fresh();
    // An eventfd stands for the descriptor: readable while events are queued.
    const int fd = eventfd(0, ((flags & O_CLOEXEC) != 0 ? EFD_CLOEXEC : 0) |
                                  ((flags & O_NONBLOCK) != 0 ? EFD_NONBLOCK : 0));
    if (fd < 0) return -1;
    file f;
    f.master = !master_taken();  // the first opener, as the kernel makes it
    dev.files[fd] = std::move(f);
    ++open_count;
    return fd;
}

void drm_close(int fd) {
    std::lock_guard<std::recursive_mutex> hold(lock);
    if (dev.files.count(fd) == 0) return;
    std::vector<fb_ref> own;
    for (const auto &[id, fb] : dev.fbs)
        if (fb->owner == fd) own.push_back(fb);
    for (const fb_ref &fb : own) remove_fb(fb);
    if (dev.pending && dev.pending->fd == fd) dev.pending->event = false;
    dev.files.erase(fd);
    --open_count;
}

int drm_ioctl(int fd, unsigned long request, void *arg) {
    std::lock_guard<std::recursive_mutex> hold(lock);
    settle_locked();
    const auto it = dev.files.find(fd);
    if (it == dev.files.end()) return fail(EBADF);
    file &f = it->second;
    if (_IOC_TYPE(request) != DRM_IOCTL_BASE) return fail(ENOTTY);
    switch (request) {
        case DRM_IOCTL_VERSION: return with_arg<drm_version>(request, arg, version);
        case DRM_IOCTL_GET_CAP: return with_arg<drm_get_cap>(request, arg, get_cap);
        case DRM_IOCTL_SET_CLIENT_CAP: return with_arg<drm_set_client_cap>(request, arg, set_client_cap);
        case DRM_IOCTL_SET_MASTER:
            if (f.master) return 0;
            if (master_taken()) return fail(EBUSY);
            f.master = true;
            return 0;
        case DRM_IOCTL_DROP_MASTER:
            if (!f.master) return fail(EINVAL);
            f.master = false;
            return 0;
        case DRM_IOCTL_AUTH_MAGIC:
            // No magic was handed out: EINVAL for the master, EACCES for others.
            return with_arg<drm_auth>(request, arg, [&](drm_auth &) { return f.master ? EINVAL : EACCES; });
        case DRM_IOCTL_MODE_GETRESOURCES:
            return with_arg<drm_mode_card_res>(request, arg, [&](drm_mode_card_res &r) { return get_resources(fd, r); });
        case DRM_IOCTL_MODE_GETCONNECTOR: return with_arg<drm_mode_get_connector>(request, arg, get_connector);
        case DRM_IOCTL_MODE_GETENCODER: return with_arg<drm_mode_get_encoder>(request, arg, get_encoder);
        case DRM_IOCTL_MODE_GETCRTC: return with_arg<drm_mode_crtc>(request, arg, get_crtc);
        case DRM_IOCTL_MODE_SETCRTC:
            return with_arg<drm_mode_crtc>(request, arg, [&](drm_mode_crtc &c) { return set_crtc(f, c); });
        case DRM_IOCTL_MODE_PAGE_FLIP:
            return with_arg<drm_mode_crtc_page_flip>(
                request, arg, [&](drm_mode_crtc_page_flip &p) { return page_flip(fd, f, p); });
        case DRM_IOCTL_MODE_DIRTYFB:
            return with_arg<drm_mode_fb_dirty_cmd>(request, arg,
                                                   [&](drm_mode_fb_dirty_cmd &d) { return dirty_fb(f, d); });
        case DRM_IOCTL_MODE_CREATE_DUMB:
            return with_arg<drm_mode_create_dumb>(request, arg,
                                                  [&](drm_mode_create_dumb &c) { return create_dumb(f, c); });
        case DRM_IOCTL_MODE_MAP_DUMB:
            return with_arg<drm_mode_map_dumb>(request, arg, [&](drm_mode_map_dumb &m) { return map_dumb(f, m); });
        case DRM_IOCTL_MODE_DESTROY_DUMB:
            return with_arg<drm_mode_destroy_dumb>(
                request, arg, [&](drm_mode_destroy_dumb &d) { return destroy_dumb(f, d); });
        case DRM_IOCTL_MODE_ADDFB:
            return with_arg<drm_mode_fb_cmd>(request, arg, [&](drm_mode_fb_cmd &c) { return add_fb(fd, f, c); });
        case DRM_IOCTL_MODE_ADDFB2:
            return with_arg<drm_mode_fb_cmd2>(request, arg, [&](drm_mode_fb_cmd2 &r) { return add_fb2(fd, f, r); });
        case DRM_IOCTL_MODE_RMFB:
            return with_arg<std::uint32_t>(request, arg, [&](std::uint32_t &id) { return rm_fb(fd, id); });
        case DRM_IOCTL_MODE_OBJ_GETPROPERTIES:
            return with_arg<drm_mode_obj_get_properties>(request, arg, obj_get_properties);
        case DRM_IOCTL_MODE_GETPROPERTY:
            return with_arg<drm_mode_get_property>(request, arg, [](drm_mode_get_property &) { return ENOENT; });
        default: return fail(EINVAL);
    }
}

void *drm_mmap(void *addr, std::size_t length, int prot, int flags, int fd, long long offset) {
    std::lock_guard<std::recursive_mutex> hold(lock);
    const auto it = dev.files.find(fd);
    if (it == dev.files.end()) return errno = EBADF, MAP_FAILED;
    for (const auto &[handle, bo] : it->second.handles) {
        if (bo->offset == 0 || static_cast<long long>(bo->offset) != offset) continue;
        if (length > bo->size) return errno = EINVAL, MAP_FAILED;
        return real_mmap(addr, length, prot, flags, bo->fd, 0);
    }
    for (const auto &[other, f] : dev.files)
        for (const auto &[handle, bo] : f.handles)
            if (bo->offset != 0 && static_cast<long long>(bo->offset) == offset)
                return errno = EACCES, MAP_FAILED;
    return errno = EINVAL, MAP_FAILED;
}

ssize_t drm_read(int fd, void *buf, std::size_t count) {
    static const auto real_poll = next<int (*)(pollfd *, nfds_t, int)>("poll");
    static bool warned = false;
    std::unique_lock<std::recursive_mutex> hold(lock);
    for (;;) {
        const long long due = settle_locked();
        const auto it = dev.files.find(fd);
        if (it == dev.files.end()) return fail(EBADF);
        file &f = it->second;
        if (!f.events.empty()) {
            // Whole events only, as many as fit; none fits: 0.
            std::size_t done = 0;
            while (!f.events.empty() && sizeof(drm_event_vblank) <= count - done) {
                if (!copy_out(static_cast<char *>(buf) + done, &f.events.front(), sizeof(drm_event_vblank))) {
                    if (done == 0) return fail(EFAULT);
                    break;
                }
                done += sizeof(drm_event_vblank);
                f.events.pop_front();
                f.reserved -= sizeof(drm_event_vblank);
            }
            eventfd_t ignored = 0;
            if (f.events.empty()) eventfd_read(fd, &ignored);
            return static_cast<ssize_t>(done);
        }
        if ((fcntl(fd, F_GETFL) & O_NONBLOCK) != 0) return fail(EAGAIN);
        int wait_ms = -1;
        if (due >= 0) {
            wait_ms = static_cast<int>(std::min<long long>((due - now_ns() + 999999) / 1000000, INT_MAX));
        } else if (!warned) {
            warned = true;
            std::fprintf(stderr, "zr-vfb: read of DRM descriptor %d waits with no event pending or "
                         "on its way\n", fd);
        }
        // Until the flip is due; with none on its way, until another thread
        // makes an event or a signal interrupts, as the kernel waits.
        hold.unlock();
        pollfd p{fd, POLLIN, 0};
        const int r = due >= 0 ? real_poll(nullptr, 0, std::max(wait_ms, 0)) : real_poll(&p, 1, -1);
        hold.lock();
        if (r < 0 && errno == EINTR) return -1;
    }
}

long long drm_settle() {
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
    for (const auto &[fd, f] : dev.files)
        if (f.master) return true;
    return false;
}

int drm_open_descriptors() { return open_count.load(); }

}  // namespace zr_vfb

#else  // no DRM headers: no DRM node

namespace zr_vfb::detail {
bool drm_is_path(const char *) { return false; }
bool drm_any_open() { return false; }
bool drm_owns(int) { return false; }
int drm_open(int) { return -1; }
void drm_close(int) {}
int drm_ioctl(int, unsigned long, void *) { return -1; }
void *drm_mmap(void *, std::size_t, int, int, int, long long) { return nullptr; }
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
