// The DRM/KMS backend on libdrm: the first connected connector (or the one
// named in ZR_DRM_CONNECTOR), its preferred mode, a CRTC that can drive it,
// and dumb buffers in a format the library draws (XRGB8888, or RGB565 when
// asked for). One buffer is drawn on directly; two or three are flipped; a
// shadow in system memory is copied into one. The CRTC as it was found is
// set again at close, so the console comes back.
#include "display.hpp"
#include "zr_internal.hpp"

#if ZR_HAVE_DRM

#include <drm_fourcc.h>
#include <poll.h>
#include <sys/mman.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace zr {
namespace {

struct drm_state {
    std::uint32_t connector = 0, crtc = 0;
    drmModeModeInfo mode{};
    drmModeCrtc *saved = nullptr;  // the CRTC as found
    bool mode_set = false;
    bool flip_pending = false;
    bool tell_damage = true;  // DIRTYFB until the driver says it needs none
    std::uint32_t bpp = 32;
    // Flips over a shadow: the damage of the last presents, which the back
    // buffer has not seen yet (it was shown while they were drawn).
    zr_rect_t history[2][max_damage]{};
    int history_count[2] = {-1, -1};  // -1: the whole screen
};
drm_state drm;

template <class T, void (*Free)(T *)>
struct freer {
    void operator()(T *p) const { Free(p); }
};
using resources_ptr = std::unique_ptr<drmModeRes, freer<drmModeRes, drmModeFreeResources>>;
using connector_ptr = std::unique_ptr<drmModeConnector, freer<drmModeConnector, drmModeFreeConnector>>;
using encoder_ptr = std::unique_ptr<drmModeEncoder, freer<drmModeEncoder, drmModeFreeEncoder>>;

std::uint64_t capability(std::uint64_t which) {
    std::uint64_t value = 0;
    return drmGetCap(zr_fb.fd, which, &value) == 0 ? value : 0;
}

// The connector's name as the kernel's tools print it: HDMI-A-1, Virtual-1.
bool named(const drmModeConnector *c, const char *want) {
    const char *type = drmModeGetConnectorTypeName(c->connector_type);
    char name[64];
    std::snprintf(name, sizeof name, "%s-%u", type != nullptr ? type : "Unknown", c->connector_type_id);
    return std::strcmp(name, want) == 0;
}

// A CRTC for the connector: the one its encoder drives now, or any an
// encoder of it can drive.
std::uint32_t crtc_for(const drmModeRes *res, const drmModeConnector *c) {
    if (c->encoder_id != 0) {
        encoder_ptr e(drmModeGetEncoder(zr_fb.fd, c->encoder_id));
        if (e && e->crtc_id != 0) return e->crtc_id;
    }
    for (int i = 0; i < c->count_encoders; ++i) {
        encoder_ptr e(drmModeGetEncoder(zr_fb.fd, c->encoders[i]));
        if (!e) continue;
        for (int k = 0; k < res->count_crtcs && k < 32; ++k)
            if ((e->possible_crtcs & (1u << k)) != 0) return res->crtcs[k];
    }
    return 0;
}

// Picks connector, mode and CRTC; 0 or an error code.
int pick_output() {
    resources_ptr res(drmModeGetResources(zr_fb.fd));
    if (!res) return ERR_NO_DUMB_BUFFER;
    const char *want = std::getenv("ZR_DRM_CONNECTOR");
    for (int i = 0; i < res->count_connectors; ++i) {
        connector_ptr c(drmModeGetConnector(zr_fb.fd, res->connectors[i]));
        if (!c || c->connection != DRM_MODE_CONNECTED || c->count_modes <= 0) continue;
        if (want != nullptr && want[0] != '\0' && !named(c.get(), want)) continue;
        const std::uint32_t crtc = crtc_for(res.get(), c.get());
        if (crtc == 0) continue;
        drm.connector = c->connector_id;
        drm.crtc = crtc;
        drm.mode = c->modes[0];
        for (int m = 0; m < c->count_modes; ++m)
            if ((c->modes[m].type & DRM_MODE_TYPE_PREFERRED) != 0) {
                drm.mode = c->modes[m];
                break;
            }
        return ERR_NONE;
    }
    return ERR_NO_CONNECTOR;
}

void destroy_buffer(display_buffer &b) {
    if (b.pixels != nullptr) munmap(b.pixels, b.size);
    if (b.fb_id != 0) drmModeRmFB(zr_fb.fd, b.fb_id);
    if (b.handle != 0) {
        drm_mode_destroy_dumb destroy{};
        destroy.handle = b.handle;
        drmIoctl(zr_fb.fd, DRM_IOCTL_MODE_DESTROY_DUMB, &destroy);
    }
    b = display_buffer{};
}

// A cleared dumb buffer of the mode's size with a framebuffer on it; false
// leaves nothing behind.
bool create_buffer(display_buffer &b, std::uint32_t *pitch) {
    drm_mode_create_dumb create{};
    create.width = drm.mode.hdisplay;
    create.height = drm.mode.vdisplay;
    create.bpp = drm.bpp;
    if (drmIoctl(zr_fb.fd, DRM_IOCTL_MODE_CREATE_DUMB, &create) != 0) return false;
    b.handle = create.handle;
    b.size = static_cast<std::size_t>(create.size);
    *pitch = create.pitch;
    const std::uint32_t format = drm.bpp == 16 ? DRM_FORMAT_RGB565 : DRM_FORMAT_XRGB8888;
    const std::uint32_t handles[4] = {b.handle, 0, 0, 0}, pitches[4] = {create.pitch, 0, 0, 0}, offsets[4] = {};
    drm_mode_map_dumb map{};
    map.handle = b.handle;
    if (create.pitch < static_cast<std::uint64_t>(create.width) * drm.bpp / 8 ||
        create.size < static_cast<std::uint64_t>(create.pitch) * create.height ||
        drmModeAddFB2(zr_fb.fd, create.width, create.height, format, handles, pitches, offsets, &b.fb_id, 0) != 0 ||
        drmIoctl(zr_fb.fd, DRM_IOCTL_MODE_MAP_DUMB, &map) != 0) {
        b.size = 0;
        destroy_buffer(b);
        return false;
    }
    void *mem = mmap(nullptr, b.size, PROT_READ | PROT_WRITE, MAP_SHARED, zr_fb.fd, static_cast<off_t>(map.offset));
    if (mem == MAP_FAILED) {
        b.size = 0;
        destroy_buffer(b);
        return false;
    }
    b.pixels = static_cast<unsigned char *>(mem);
    std::memset(b.pixels, 0, b.size);
    return true;
}

void on_flip(int, unsigned, unsigned, unsigned, void *) { drm.flip_pending = false; }

// Waits for the pending flip's event; false when the wait fails.
bool wait_for_flip() {
    drmEventContext events{};
    events.version = 2;
    events.page_flip_handler = on_flip;
    while (drm.flip_pending) {
        pollfd p{zr_fb.fd, POLLIN, 0};
        const int ready = poll(&p, 1, 1000);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        if (drmHandleEvent(zr_fb.fd, &events) != 0) return false;
    }
    return true;
}

bool flip_to(const display_buffer &b) {
    if (drmModePageFlip(zr_fb.fd, drm.crtc, b.fb_id, DRM_MODE_PAGE_FLIP_EVENT, nullptr) != 0) return false;
    drm.flip_pending = true;
    return wait_for_flip();
}

// The back buffer of flips over a shadow gets this present's damage and that
// of the presents it missed (one with two buffers, two with three).
void copy_to_back(display &d, const zr_rect_t *rects, int n) {
    const int missed = d.buffers - 1;
    bool whole = false;
    for (int i = 0; i < missed; ++i) whole = whole || drm.history_count[i] < 0;
    const zr_rect_t all{0, 0, zr_fb.width, zr_fb.height};
    unsigned char *to = d.buffer[d.back].pixels;
    const int bpp = zr_fb.bits_per_pixel;
    if (whole) {
        copy_damage(to, d.shadow, zr_fb.bytes_per_line, bpp, &all, 1);
    } else {
        copy_damage(to, d.shadow, zr_fb.bytes_per_line, bpp, rects, n);
        for (int i = 0; i < missed; ++i)
            copy_damage(to, d.shadow, zr_fb.bytes_per_line, bpp, drm.history[i], drm.history_count[i]);
    }
    // This present's damage becomes the newest history.
    drm.history_count[1] = drm.history_count[0];
    std::memcpy(drm.history[1], drm.history[0], sizeof drm.history[0]);
    drm.history_count[0] = n;
    std::memcpy(drm.history[0], rects, sizeof(zr_rect_t) * static_cast<std::size_t>(n));
}

void tell_damage(const display_buffer &b, const zr_rect_t *rects, int count) {
    if (!drm.tell_damage || count <= 0) return;
    drmModeClip clips[max_damage];
    for (int i = 0; i < count; ++i)
        clips[i] = drmModeClip{static_cast<unsigned short>(rects[i].x), static_cast<unsigned short>(rects[i].y),
                               static_cast<unsigned short>(rects[i].x + rects[i].width),
                               static_cast<unsigned short>(rects[i].y + rects[i].height)};
    // Drivers that show their buffers at once have no DIRTYFB; stop asking.
    if (drmModeDirtyFB(zr_fb.fd, b.fb_id, clips, static_cast<std::uint32_t>(count)) != 0 &&
        (errno == ENOSYS || errno == EOPNOTSUPP))
        drm.tell_damage = false;
}

}  // namespace

bool drm_is_node(int fd) {
    drmVersionPtr v = drmGetVersion(fd);
    if (v == nullptr) return false;
    drmFreeVersion(v);
    return true;
}

int drm_open(display &d, int flags) {
    drm = drm_state{};
    // A compositor or another program holds the display: not ours to take.
    if (!drmIsMaster(zr_fb.fd) && drmSetMaster(zr_fb.fd) != 0) return ERR_DRM_MASTER;
    if (capability(DRM_CAP_DUMB_BUFFER) == 0) return ERR_NO_DUMB_BUFFER;
    d.prefer_shadow = capability(DRM_CAP_DUMB_PREFER_SHADOW) != 0;
    if (const int code = pick_output(); code != ERR_NONE) return code;
    if (drm.mode.hdisplay == 0 || drm.mode.vdisplay == 0) return ERR_NO_CONNECTOR;
    drm.bpp = (flags & ZR_INIT_RGB565) != 0 ? 16 : 32;
    // The CRTC as found is what zr_close sets again; a screen that could not
    // be given back (the console left dark) is not taken.
    drm.saved = drmModeGetCrtc(zr_fb.fd, drm.crtc);
    if (drm.saved == nullptr) return ERR_MODE_SET;
    d.backend = ZR_BACKEND_DRM;

    const int wanted = (flags & ZR_INIT_TRIPLE_BUFFER) ? 3 : (flags & ZR_INIT_DOUBLE_BUFFER) ? 2 : 1;
    const bool flips = wanted > 1 && (flags & ZR_INIT_SHADOW) == 0;
    std::uint32_t pitch = 0;
    if (!create_buffer(d.buffer[0], &pitch) && drm.bpp == 16) {
        drm.bpp = 32;  // no 5-6-5 here: the library's other format
        if (!create_buffer(d.buffer[0], &pitch)) pitch = 0;
    }
    if (d.buffer[0].pixels == nullptr) {
        drm_close(d);
        return ERR_NO_DUMB_BUFFER;
    }
    if (drmModeSetCrtc(zr_fb.fd, drm.crtc, d.buffer[0].fb_id, 0, 0, &drm.connector, 1, &drm.mode) != 0) {
        drm_close(d);
        return errno == EACCES || errno == EPERM ? ERR_DRM_MASTER : ERR_MODE_SET;
    }
    drm.mode_set = true;
    int granted = 1;
    if (flips) {
        // Each further buffer must have the first one's pitch, and the driver
        // must flip to it: one flip to the second buffer and back proves it.
        for (int i = 1; i < wanted; ++i) {
            std::uint32_t p = 0;
            if (!create_buffer(d.buffer[i], &p) || p != pitch) {
                destroy_buffer(d.buffer[i]);
                break;
            }
            granted = i + 1;
        }
        if (granted > 1 && !(flip_to(d.buffer[1]) && flip_to(d.buffer[0]))) {
            // Buffer 1 may be on the screen or on its way there, and removing
            // the framebuffer on a CRTC turns it off: buffer 0 goes back first
            // (a modeset waits for the flip before it), then the others go.
            if (drmModeSetCrtc(zr_fb.fd, drm.crtc, d.buffer[0].fb_id, 0, 0, &drm.connector, 1, &drm.mode) != 0) {
                drm_close(d);
                return ERR_MODE_SET;
            }
            drm.flip_pending = false;
            for (int i = 1; i < 3; ++i) destroy_buffer(d.buffer[i]);
            granted = 1;
        }
    }
    d.buffers = granted;
    zr_fb.width = drm.mode.hdisplay;
    zr_fb.height = drm.mode.vdisplay;
    zr_fb.dots = zr_fb.width * zr_fb.height;
    zr_fb.bytes_per_line = static_cast<int>(pitch);
    zr_fb.bytes = static_cast<int>(pitch) * zr_fb.height;
    zr_fb.bits_per_pixel = static_cast<int>(drm.bpp);
    zr_fb.colors = drm.bpp == 16 ? 16 : 32;
    zr_fb.mapped = d.buffer[0].pixels;
    if (granted > 1) {
        d.method = ZR_PRESENT_FLIP;
        d.visible = 0;
        d.back = 1;
        d.vsync = true;  // a flip lands on the vertical blank
        zr_fb.mapped = d.buffer[1].pixels;
        if (d.prefer_shadow) {
            // The driver reads its buffers slowly: draw in system memory and
            // copy into the back buffer before each flip.
            d.shadow = static_cast<unsigned char *>(std::calloc(static_cast<std::size_t>(zr_fb.bytes), 1));
            if (d.shadow == nullptr) {
                drm_close(d);
                return ERR_OUT_OF_MEMORY;
            }
            zr_fb.mapped = d.shadow;
        }
    } else if (wanted > 1 || (flags & ZR_INIT_SHADOW) != 0) {
        d.shadow = static_cast<unsigned char *>(std::calloc(static_cast<std::size_t>(zr_fb.bytes), 1));
        if (d.shadow == nullptr) {
            drm_close(d);
            return ERR_OUT_OF_MEMORY;
        }
        d.method = ZR_PRESENT_SHADOW;
        zr_fb.mapped = d.shadow;
    }
    return ERR_NONE;
}

int drm_present(display &d, const zr_rect_t *rects, int n) {
    if (d.method == ZR_PRESENT_FRONT) {
        tell_damage(d.buffer[0], rects, n);
        return ERR_NONE;
    }
    if (d.method == ZR_PRESENT_SHADOW) {
        copy_damage(d.buffer[0].pixels, d.shadow, zr_fb.bytes_per_line, zr_fb.bits_per_pixel, rects, n);
        tell_damage(d.buffer[0], rects, n);
        return ERR_NONE;
    }
    // Flip to the finished buffer and wait until it shows: only then is the
    // one it replaces free to draw on.
    if (!wait_for_flip()) return ERR_PRESENT;
    if (d.shadow != nullptr) copy_to_back(d, rects, n);
    tell_damage(d.buffer[d.back], rects, n);
    if (!flip_to(d.buffer[d.back])) return ERR_PRESENT;
    show_next_buffer(d);
    return ERR_NONE;
}

void drm_close(display &d) {
    wait_for_flip();
    if (drm.saved != nullptr) {
        // The CRTC as found: the console's framebuffer and mode.
        if (drm.mode_set) {
            drmModeCrtc *s = drm.saved;
            drmModeSetCrtc(zr_fb.fd, s->crtc_id, s->buffer_id, s->x, s->y, &drm.connector, s->buffer_id ? 1 : 0,
                           s->mode_valid ? &s->mode : nullptr);
        }
        drmModeFreeCrtc(drm.saved);
    }
    for (auto &b : d.buffer) destroy_buffer(b);
    std::free(d.shadow);
    d.shadow = nullptr;
    drm = drm_state{};
}

}  // namespace zr

#else  // built without libdrm: no device is a DRM node here

namespace zr {
bool drm_is_node(int) { return false; }
int drm_open(display &, int) { return ERR_NO_DUMB_BUFFER; }
int drm_present(display &, const zr_rect_t *, int) { return ERR_PRESENT; }
void drm_close(display &) {}
}  // namespace zr

#endif
