// The DRM/KMS backend on libdrm: the first connected connector (or the one
// named in ZR_DRM_CONNECTOR), its preferred mode, a CRTC that can drive it,
// and up to three dumb buffers in a format the library draws (XRGB8888, or
// RGB565 when asked for), shown by page flips and told their damage with
// DIRTYFB. A turned picture is scanned out turned by the primary plane where
// its "rotation" property has the angle (the buffers are then in the
// picture's orientation); the connector's "panel orientation" adds its turn
// when asked for. The CRTC as it was found is set again at close, so the
// console comes back. Another virtual terminal's turn (leave) drops master, so
// that its console or program can show; enter takes master and the CRTC back.
#include "display.hpp"
#include "zr_internal.hpp"

#if ZR_HAVE_DRM

#include <drm_fourcc.h>
#include <poll.h>
#include <sys/mman.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <memory>

namespace zr {
namespace {

struct dumb_buffer {
    unsigned char *pixels = nullptr;
    std::size_t size = 0;  // bytes mapped
    std::uint32_t fb_id = 0;
    std::uint32_t handle = 0;
};

struct drm_state {
    int fd = -1;
    char driver[32] = "?";
    std::uint32_t connector = 0, crtc = 0;
    int crtc_index = 0;
    drmModeModeInfo mode{};
    std::uint32_t buffer_width = 0, buffer_height = 0;  // the mode's, or turned with the plane
    std::uint32_t plane = 0, rotation_prop = 0;  // the primary plane turning the picture; 0: none
    int plane_turn = 0;  // degrees it turns them: the turn taken again on coming back
    drmModeCrtc *saved = nullptr;  // the CRTC as found
    bool mode_set = false;
    bool flip_pending = false;
    bool away = false;  // master dropped for another terminal: the CRTC is not ours
    bool tell_damage = true;  // DIRTYFB until the driver says it has none
    std::uint32_t bpp = 32;
    pixel_format format = pixel_format::xrgb8888;  // of the buffers made
    dumb_buffer buffer[3];
};
drm_state drm;

template <class T, void (*Free)(T *)>
struct freer {
    void operator()(T *p) const { Free(p); }
};
using resources_ptr = std::unique_ptr<drmModeRes, freer<drmModeRes, drmModeFreeResources>>;
using connector_ptr = std::unique_ptr<drmModeConnector, freer<drmModeConnector, drmModeFreeConnector>>;
using encoder_ptr = std::unique_ptr<drmModeEncoder, freer<drmModeEncoder, drmModeFreeEncoder>>;
using properties_ptr =
    std::unique_ptr<drmModeObjectProperties, freer<drmModeObjectProperties, drmModeFreeObjectProperties>>;
using property_ptr = std::unique_ptr<drmModePropertyRes, freer<drmModePropertyRes, drmModeFreeProperty>>;
using plane_res_ptr = std::unique_ptr<drmModePlaneRes, freer<drmModePlaneRes, drmModeFreePlaneResources>>;
using plane_ptr = std::unique_ptr<drmModePlane, freer<drmModePlane, drmModeFreePlane>>;

std::uint64_t capability(std::uint64_t which) {
    std::uint64_t value = 0;
    return drmGetCap(drm.fd, which, &value) == 0 ? value : 0;
}

// The connector's name as the kernel's tools print it: HDMI-A-1, Virtual-1.
void name_of(const drmModeConnector *c, char (&name)[64]) {
    const char *type = drmModeGetConnectorTypeName(c->connector_type);
    std::snprintf(name, sizeof name, "%s-%u", type != nullptr ? type : "Unknown", c->connector_type_id);
}

// A CRTC for the connector: the one its encoder drives now, or any an
// encoder of it can drive.
std::uint32_t crtc_for(const drmModeRes *res, const drmModeConnector *c) {
    if (c->encoder_id != 0) {
        encoder_ptr e(drmModeGetEncoder(drm.fd, c->encoder_id));
        if (e && e->crtc_id != 0) return e->crtc_id;
    }
    for (int i = 0; i < c->count_encoders; ++i) {
        encoder_ptr e(drmModeGetEncoder(drm.fd, c->encoders[i]));
        if (!e) continue;
        for (int k = 0; k < res->count_crtcs && k < 32; ++k)
            if ((e->possible_crtcs & (1u << k)) != 0) return res->crtcs[k];
    }
    return 0;
}

// Picks connector, mode and CRTC; 0 or an error code. Without one, the
// diagnostic channel lists the connectors found.
int pick_output() {
    resources_ptr res(drmModeGetResources(drm.fd));
    if (!res) {
        debug("%s: no KMS resources (%s)", drm.driver, std::strerror(errno));
        return ERR_NO_DUMB_BUFFER;
    }
    const char *want = std::getenv("ZR_DRM_CONNECTOR");
    if (want != nullptr && want[0] == '\0') want = nullptr;
    char found[512] = "";
    for (int i = 0; i < res->count_connectors; ++i) {
        connector_ptr c(drmModeGetConnector(drm.fd, res->connectors[i]));
        if (!c) continue;
        char name[64];
        name_of(c.get(), name);
        const bool connected = c->connection == DRM_MODE_CONNECTED;
        const std::size_t used = std::strlen(found);
        std::snprintf(found + used, sizeof found - used, "%s%s (%s, %d modes)", used > 0 ? ", " : "", name,
                      connected ? "connected" : "not connected", c->count_modes);
        if (!connected || c->count_modes <= 0) continue;
        if (want != nullptr && std::strcmp(name, want) != 0) continue;
        const std::uint32_t crtc = crtc_for(res.get(), c.get());
        if (crtc == 0) continue;
        drm.connector = c->connector_id;
        drm.crtc = crtc;
        for (int k = 0; k < res->count_crtcs; ++k)
            if (res->crtcs[k] == crtc) drm.crtc_index = k;
        drm.mode = c->modes[0];
        for (int m = 0; m < c->count_modes; ++m)
            if ((c->modes[m].type & DRM_MODE_TYPE_PREFERRED) != 0) {
                drm.mode = c->modes[m];
                break;
            }
        return ERR_NONE;
    }
    debug("%s: no connected connector with a mode and a CRTC%s%s; found: %s", drm.driver,
          want != nullptr ? " named " : "", want != nullptr ? want : "", found[0] != '\0' ? found : "none");
    return ERR_NO_CONNECTOR;
}

// Calls each(property, value) for the object's properties until it returns true.
template <class Each>
void each_property(std::uint32_t object, std::uint32_t type, Each each) {
    properties_ptr props(drmModeObjectGetProperties(drm.fd, object, type));
    if (!props) return;
    for (std::uint32_t i = 0; i < props->count_props; ++i) {
        property_ptr p(drmModeGetProperty(drm.fd, props->props[i]));
        if (p && each(*p, props->prop_values[i])) return;
    }
}

// The name of an enum or bitmask property's entry of that value ("" when none).
const char *entry_name(const drmModePropertyRes &p, std::uint64_t value) {
    for (int i = 0; i < p.count_enums; ++i)
        if (p.enums[i].value == value) return p.enums[i].name;
    return "";
}

// The clockwise turn that brings the panel upright, from the connector's
// "panel orientation" (how the panel is mounted): 0 when it has none.
int panel_turn() {
    struct orientation {
        const char *name;
        int degrees;
    };
    static constexpr orientation turns[] = {{"Upside Down", 180}, {"Left Side Up", 270}, {"Right Side Up", 90}};
    int degrees = 0;
    each_property(drm.connector, DRM_MODE_OBJECT_CONNECTOR, [&](const drmModePropertyRes &p, std::uint64_t v) {
        if (std::strcmp(p.name, "panel orientation") != 0) return false;
        for (const orientation &o : turns)
            if (std::strcmp(entry_name(p, v), o.name) == 0) degrees = o.degrees;
        return true;
    });
    return degrees;
}

// The kernel's rotation bits turn counter-clockwise: a clockwise turn is
// the bit of the opposite angle.
const char *rotation_entry(int clockwise) {
    switch (clockwise) {
        case 90: return "rotate-270";
        case 180: return "rotate-180";
        case 270: return "rotate-90";
        default: return "rotate-0";
    }
}

// The bit of the plane's "rotation" property named entry, as a value; 0 when it has none.
std::uint64_t rotation_value(std::uint32_t plane, const char *entry, std::uint32_t *prop) {
    std::uint64_t value = 0;
    each_property(plane, DRM_MODE_OBJECT_PLANE, [&](const drmModePropertyRes &p, std::uint64_t) {
        if (std::strcmp(p.name, "rotation") != 0 || (p.flags & DRM_MODE_PROP_BITMASK) == 0) return false;
        for (int i = 0; i < p.count_enums; ++i)
            if (std::strcmp(p.enums[i].name, entry) == 0 && p.enums[i].value < 64) value = std::uint64_t{1} << p.enums[i].value;
        *prop = p.prop_id;
        return true;
    });
    return value;
}

// Turns the CRTC's primary plane clockwise by degrees; false (nothing
// changed) where no primary plane has that angle.
bool turn_plane(int degrees) {
    if (drmSetClientCap(drm.fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1) != 0) return false;
    plane_res_ptr planes(drmModeGetPlaneResources(drm.fd));
    if (!planes) return false;
    for (std::uint32_t i = 0; i < planes->count_planes; ++i) {
        plane_ptr pl(drmModeGetPlane(drm.fd, planes->planes[i]));
        if (!pl || (pl->possible_crtcs & (1u << drm.crtc_index)) == 0) continue;
        bool primary = false;
        each_property(pl->plane_id, DRM_MODE_OBJECT_PLANE, [&](const drmModePropertyRes &p, std::uint64_t v) {
            primary = std::strcmp(p.name, "type") == 0 && v == DRM_PLANE_TYPE_PRIMARY;
            return std::strcmp(p.name, "type") == 0;
        });
        if (!primary) continue;
        std::uint32_t prop = 0;
        const std::uint64_t value = rotation_value(pl->plane_id, rotation_entry(degrees), &prop);
        if (value == 0) return false;
        // An atomic driver checks the plane's picture against the turn: one
        // that scans out the console's framebuffer cannot turn, an idle one
        // can. The CRTC goes idle for it, and back as found when that fails.
        const auto set = [&] { return drmModeObjectSetProperty(drm.fd, pl->plane_id, DRM_MODE_OBJECT_PLANE, prop, value) == 0; };
        if (!set() && (drmModeSetCrtc(drm.fd, drm.crtc, 0, 0, 0, nullptr, 0, nullptr) != 0 || !set())) {
            drmModeCrtc *was = drm.saved;
            drmModeSetCrtc(drm.fd, was->crtc_id, was->buffer_id, was->x, was->y, &drm.connector, was->buffer_id ? 1 : 0,
                           was->mode_valid ? &was->mode : nullptr);
            return false;
        }
        drm.plane = pl->plane_id;
        drm.rotation_prop = prop;
        return true;
    }
    return false;
}

// The plane as found: unturned.
void unturn_plane() {
    if (drm.plane == 0) return;
    std::uint32_t prop = 0;
    const std::uint64_t upright = rotation_value(drm.plane, rotation_entry(0), &prop);
    if (upright != 0) drmModeObjectSetProperty(drm.fd, drm.plane, DRM_MODE_OBJECT_PLANE, drm.rotation_prop, upright);
    drm.plane = 0;
}

void destroy_buffer(dumb_buffer &b) {
    if (b.pixels != nullptr) munmap(b.pixels, b.size);
    if (b.fb_id != 0) drmModeRmFB(drm.fd, b.fb_id);
    if (b.handle != 0) {
        drm_mode_destroy_dumb destroy{};
        destroy.handle = b.handle;
        drmIoctl(drm.fd, DRM_IOCTL_MODE_DESTROY_DUMB, &destroy);
    }
    b = dumb_buffer{};
}

// A cleared dumb buffer of the mode's size with a framebuffer on it; false
// leaves nothing behind.
// The framebuffer formats of a depth, the library's usual order first: a
// driver or panel that has only the other channel order gets it (the first
// buffer decides; later ones must match it).
struct drm_format {
    std::uint32_t fourcc;
    pixel_format format;
};
constexpr drm_format formats32[] = {{DRM_FORMAT_XRGB8888, pixel_format::xrgb8888},
                                    {DRM_FORMAT_XBGR8888, pixel_format::xbgr8888}};
constexpr drm_format formats16[] = {{DRM_FORMAT_RGB565, pixel_format::rgb565}, {DRM_FORMAT_BGR565, pixel_format::bgr565}};

bool add_framebuffer(dumb_buffer &b, std::uint32_t w, std::uint32_t h, const std::uint32_t (&handles)[4],
                     const std::uint32_t (&pitches)[4], const std::uint32_t (&offsets)[4]) {
    const bool first = drm.buffer[0].fb_id == 0 && &b == &drm.buffer[0];
    for (const drm_format &f : drm.bpp == 16 ? std::span<const drm_format>(formats16) : std::span<const drm_format>(formats32)) {
        if (!first && f.format != drm.format) continue;
        if (drmModeAddFB2(drm.fd, w, h, f.fourcc, handles, pitches, offsets, &b.fb_id, 0) == 0) {
            drm.format = f.format;
            return true;
        }
    }
    return false;
}

bool create_buffer(dumb_buffer &b, std::uint32_t *pitch) {
    drm_mode_create_dumb create{};
    create.width = drm.buffer_width;
    create.height = drm.buffer_height;
    create.bpp = drm.bpp;
    if (drmIoctl(drm.fd, DRM_IOCTL_MODE_CREATE_DUMB, &create) != 0) {
        debug("CREATE_DUMB %ux%u at %u bits: %s", create.width, create.height, create.bpp, std::strerror(errno));
        return false;
    }
    b.handle = create.handle;
    b.size = static_cast<std::size_t>(create.size);
    *pitch = create.pitch;
    const std::uint32_t handles[4] = {b.handle, 0, 0, 0}, pitches[4] = {create.pitch, 0, 0, 0}, offsets[4] = {};
    drm_mode_map_dumb map{};
    map.handle = b.handle;
    void *mem = MAP_FAILED;
    if (create.pitch < static_cast<std::uint64_t>(create.width) * drm.bpp / 8 ||
        create.size < static_cast<std::uint64_t>(create.pitch) * create.height || create.pitch > INT32_MAX) {
        debug("a dumb buffer of impossible sizes: pitch %u, size %llu", create.pitch,
              static_cast<unsigned long long>(create.size));
    } else if (!add_framebuffer(b, create.width, create.height, handles, pitches, offsets)) {
        debug("ADDFB2 of a %u-bit dumb buffer: %s", drm.bpp, std::strerror(errno));
    } else if (drmIoctl(drm.fd, DRM_IOCTL_MODE_MAP_DUMB, &map) != 0) {
        debug("MAP_DUMB: %s", std::strerror(errno));
    } else {
        mem = mmap(nullptr, b.size, PROT_READ | PROT_WRITE, MAP_SHARED, drm.fd, static_cast<off_t>(map.offset));
        if (mem == MAP_FAILED) debug("mmap of a dumb buffer: %s", std::strerror(errno));
    }
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
        pollfd p{drm.fd, POLLIN, 0};
        const int ready = poll(&p, 1, 1000);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            debug("a page flip did not complete within a second");
            return false;
        }
        if (drmHandleEvent(drm.fd, &events) != 0) return false;
    }
    return true;
}

int drm_show(int buffer, bool wait) {
    if (!wait_for_flip()) return ERR_PRESENT;
    if (drmModePageFlip(drm.fd, drm.crtc, drm.buffer[buffer].fb_id, DRM_MODE_PAGE_FLIP_EVENT, nullptr) != 0) {
        debug("page flip to buffer %d: %s", buffer, std::strerror(errno));
        return ERR_PRESENT;
    }
    drm.flip_pending = true;
    return !wait || wait_for_flip() ? ERR_NONE : ERR_PRESENT;
}

void drm_flush(int buffer, const zr_rect_t *rects, int count) {
    if (!drm.tell_damage || count <= 0) return;
    drmModeClip clips[max_damage];
    for (int i = 0; i < count; ++i)
        clips[i] = drmModeClip{static_cast<unsigned short>(rects[i].x), static_cast<unsigned short>(rects[i].y),
                               static_cast<unsigned short>(rects[i].x + rects[i].width),
                               static_cast<unsigned short>(rects[i].y + rects[i].height)};
    // A driver that shows its buffers as they are has no DIRTYFB: stop asking.
    if (drmModeDirtyFB(drm.fd, drm.buffer[buffer].fb_id, clips, static_cast<std::uint32_t>(count)) != 0 &&
        (errno == ENOSYS || errno == EOPNOTSUPP))
        drm.tell_damage = false;
}

// The console's picture as found: the plane upright (idle first: the
// console's framebuffer is the panel's size, the turned buffers are not),
// then the CRTC with the console's framebuffer and mode.
void restore_crtc() {
    if (drm.saved == nullptr || !drm.mode_set || drm.away) return;
    if (drm.plane != 0) drmModeSetCrtc(drm.fd, drm.crtc, 0, 0, 0, nullptr, 0, nullptr);
    unturn_plane();
    drmModeCrtc *s = drm.saved;
    drmModeSetCrtc(drm.fd, s->crtc_id, s->buffer_id, s->x, s->y, &drm.connector, s->buffer_id ? 1 : 0,
                   s->mode_valid ? &s->mode : nullptr);
}

void drm_close() {
    wait_for_flip();
    restore_crtc();
    if (drm.saved != nullptr) drmModeFreeCrtc(drm.saved);
    for (auto &b : drm.buffer) destroy_buffer(b);
    drm = drm_state{};
}

// The console's CRTC back first, as at close: whether or not the terminal
// switched to sets its own, none of our frames stays on the screen.
void drm_leave() {
    wait_for_flip();
    drm.flip_pending = false;
    restore_crtc();
    if (drmDropMaster(drm.fd) != 0) debug("%s: DROP_MASTER: %s", drm.driver, std::strerror(errno));
    drm.away = true;
}

int drm_enter(int buffer) {
    if (drmSetMaster(drm.fd) != 0) {
        debug("%s: DRM master is held by another program (drmSetMaster: %s)", drm.driver, std::strerror(errno));
        return ERR_DRM_MASTER;
    }
    if ((drm.plane_turn != 0 && !turn_plane(drm.plane_turn)) ||
        drmModeSetCrtc(drm.fd, drm.crtc, drm.buffer[buffer].fb_id, 0, 0, &drm.connector, 1, &drm.mode) != 0) {
        debug("%s: SETCRTC %ux%u on coming back: %s", drm.driver, drm.mode.hdisplay, drm.mode.vdisplay,
              std::strerror(errno));
        drmDropMaster(drm.fd);  // away still: another program may show meanwhile
        return ERR_MODE_SET;
    }
    drm.away = false;
    return ERR_NONE;
}

// Every further buffer has the first one's pitch, and the driver flips to
// it: a flip to the second buffer and back proves it. Returns the buffers
// granted; a failed proof puts buffer 0 back on the CRTC first (removing a
// framebuffer on a CRTC turns it off, and buffer 1 may be there or on its
// way), then frees the others; -1 when buffer 0 cannot be put back.
int add_flipped_buffers(int wanted, std::uint32_t pitch) {
    int granted = 1;
    for (int i = 1; i < wanted; ++i) {
        std::uint32_t p = 0;
        if (!create_buffer(drm.buffer[i], &p) || p != pitch) {
            destroy_buffer(drm.buffer[i]);
            break;
        }
        granted = i + 1;
    }
    if (granted == 1 || (drm_show(1, true) == ERR_NONE && drm_show(0, true) == ERR_NONE)) return granted;
    debug("%s does not flip between its buffers: one buffer", drm.driver);
    if (drmModeSetCrtc(drm.fd, drm.crtc, drm.buffer[0].fb_id, 0, 0, &drm.connector, 1, &drm.mode) != 0) {
        debug("SETCRTC back to the first buffer: %s", std::strerror(errno));
        return -1;
    }
    drm.flip_pending = false;  // a modeset waits for the flip before it
    for (int i = 1; i < 3; ++i) destroy_buffer(drm.buffer[i]);
    return 1;
}

// Whether the driver takes DIRTYFB: those that show a buffer only when told
// (virtio-gpu, USB and SPI panels) do; most others answer ENOSYS.
bool takes_damage() {
    drmModeClip clip{0, 0, 1, 1};
    if (drmModeDirtyFB(drm.fd, drm.buffer[0].fb_id, &clip, 1) == 0) return true;
    return errno != ENOSYS && errno != EOPNOTSUPP;
}

int drm_open(int fd, const display_request &want, display_buffers *out) {
    drm = drm_state{};
    drm.fd = fd;
    if (drmVersionPtr v = drmGetVersion(fd)) {
        std::snprintf(drm.driver, sizeof drm.driver, "%s", v->name != nullptr ? v->name : "?");
        drmFreeVersion(v);
    }
    // A compositor or another program holds the display: not ours to take.
    if (!drmIsMaster(fd) && drmSetMaster(fd) != 0) {
        debug("%s: DRM master is held by another program (drmSetMaster: %s)", drm.driver, std::strerror(errno));
        return ERR_DRM_MASTER;
    }
    if (capability(DRM_CAP_DUMB_BUFFER) == 0) {
        debug("%s has no dumb buffers", drm.driver);
        return ERR_NO_DUMB_BUFFER;
    }
    if (const int code = pick_output(); code != ERR_NONE) return code;
    if (drm.mode.hdisplay == 0 || drm.mode.vdisplay == 0) {
        debug("%s: the preferred mode is %ux%u", drm.driver, drm.mode.hdisplay, drm.mode.vdisplay);
        return ERR_NO_CONNECTOR;
    }
    drm.bpp = want.rgb565 ? 16 : 32;
    // The CRTC as found is what close sets again; a screen that could not be
    // given back (the console left dark) is not taken.
    drm.saved = drmModeGetCrtc(fd, drm.crtc);
    if (drm.saved == nullptr) {
        debug("%s: CRTC %u cannot be read (%s), so it could not be given back", drm.driver, drm.crtc,
              std::strerror(errno));
        return ERR_MODE_SET;
    }
    const int panel = want.panel_rotation ? panel_turn() : 0;
    if (panel != 0) debug("%s: the panel is mounted turned; %d degrees clockwise bring it upright", drm.driver, panel);
    const int turn = (want.rotation + panel) % 360;
    // A turned plane scans out buffers of the picture's orientation.
    const bool plane_turns = turn != 0 && turn_plane(turn);
    const bool sideways = plane_turns && turn % 180 != 0;
    drm.plane_turn = plane_turns ? turn : 0;
    drm.buffer_width = sideways ? drm.mode.vdisplay : drm.mode.hdisplay;
    drm.buffer_height = sideways ? drm.mode.hdisplay : drm.mode.vdisplay;
    if (turn != 0)
        debug("%s: %s", drm.driver,
              plane_turns ? "the primary plane turns the picture" : "no plane rotation of that angle: turned in software");
    std::uint32_t pitch = 0;
    if (!create_buffer(drm.buffer[0], &pitch) && drm.bpp == 16) {
        debug("%s: no RGB565 dumb buffers; XRGB8888", drm.driver);
        drm.bpp = 32;  // no 5-6-5 here: the library's other format
        create_buffer(drm.buffer[0], &pitch);
    }
    if (drm.buffer[0].pixels == nullptr) {
        drm_close();
        return ERR_NO_DUMB_BUFFER;
    }
    if (drmModeSetCrtc(fd, drm.crtc, drm.buffer[0].fb_id, 0, 0, &drm.connector, 1, &drm.mode) != 0) {
        const int e = errno;
        debug("%s: SETCRTC %ux%u: %s", drm.driver, drm.mode.hdisplay, drm.mode.vdisplay, std::strerror(e));
        drm_close();
        return e == EACCES || e == EPERM ? ERR_DRM_MASTER : ERR_MODE_SET;
    }
    drm.mode_set = true;
    const int granted = add_flipped_buffers(want.buffers, pitch);
    if (granted < 0) {
        drm_close();
        return ERR_MODE_SET;
    }
    out->count = granted;
    for (int i = 0; i < granted; ++i) out->pixels[i] = drm.buffer[i].pixels;
    out->width = static_cast<int>(drm.buffer_width);
    out->height = static_cast<int>(drm.buffer_height);
    out->rotation = turn;
    out->plane_turns = plane_turns;
    out->pitch = static_cast<int>(pitch);
    out->bits_per_pixel = static_cast<int>(drm.bpp);
    out->colors = drm.bpp == 16 ? 16 : 32;
    out->format = drm.format;
    const std::uint64_t dots = std::uint64_t{drm.mode.htotal} * drm.mode.vtotal;
    out->refresh_mhz = dots > 0 ? static_cast<int>(std::uint64_t{drm.mode.clock} * 1000000 / dots)
                                : static_cast<int>(drm.mode.vrefresh * 1000);
    out->prefer_shadow = capability(DRM_CAP_DUMB_PREFER_SHADOW) != 0;
    out->needs_flush = takes_damage();
    drm.tell_damage = out->needs_flush;
    debug("%s: connector %u, CRTC %u, %ux%u; DIRTYFB %s", drm.driver, drm.connector, drm.crtc, drm.mode.hdisplay,
          drm.mode.vdisplay, out->needs_flush ? "taken (damage is flushed)" : "not taken");
    return ERR_NONE;
}

// A DRM node tells its version; a framebuffer does not. (Asked the other way
// round, kernels before 5.14 run FBIOGET_VSCREENINFO on a DRM node as another
// ioctl and report success.)
bool drm_claims(int fd, const char *) {
    drmVersionPtr v = drmGetVersion(fd);
    if (v == nullptr) return false;
    drmFreeVersion(v);
    return true;
}

}  // namespace

const display_backend drm_backend{ZR_BACKEND_DRM, ZR_PRESENT_FLIP, drm_claims, drm_open, drm_show,
                                  drm_flush,      drm_close,       drm_leave,  drm_enter};

}  // namespace zr

#else  // built without libdrm: no device is a DRM node here

namespace zr {
namespace {
bool drm_claims(int, const char *) { return false; }
int drm_open(int, const display_request &, display_buffers *) { return ERR_NO_DUMB_BUFFER; }
int drm_show(int, bool) { return ERR_PRESENT; }
void drm_close() {}
}  // namespace
const display_backend drm_backend{ZR_BACKEND_DRM, ZR_PRESENT_FLIP, drm_claims, drm_open, drm_show, nullptr,
                                  drm_close,      nullptr,         nullptr};
}  // namespace zr

#endif
