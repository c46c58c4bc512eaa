// The virtual DRM/KMS node driven through libdrm in-process.
#include "vfb.hpp"
#include "vfb_screen.hpp"

#include <drm_fourcc.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <unistd.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t red = 0x00FF0000, green = 0x0000FF00, blue = 0x000000FF;
constexpr int width = 100, height = 60;  // rows of 400 bytes in dumb buffers of pitch 512
const char *const node = "/dev/zr-test-dri";

// A dumb XRGB8888 buffer made into a framebuffer and mapped.
struct dumb {
    std::uint32_t handle = 0, pitch = 0, fb = 0;
    std::uint64_t size = 0;
    unsigned char *pixels = nullptr;
    std::uint32_t &at(int x, int y) {
        return *reinterpret_cast<std::uint32_t *>(pixels + static_cast<std::size_t>(y) * pitch + x * 4);
    }
};

bool make_dumb(int fd, dumb *d) {
    drm_mode_create_dumb create{};
    create.height = height;
    create.width = width;
    create.bpp = 32;
    if (drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &create) != 0) return false;
    *d = dumb{create.handle, create.pitch, 0, create.size};
    const std::uint32_t handles[4] = {d->handle}, pitches[4] = {d->pitch}, offsets[4] = {};
    drm_mode_map_dumb map{};
    map.handle = d->handle;
    if (drmModeAddFB2(fd, width, height, DRM_FORMAT_XRGB8888, handles, pitches, offsets, &d->fb, 0) != 0 ||
        drmIoctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &map) != 0)
        return false;
    void *p = mmap(nullptr, d->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(map.offset));
    d->pixels = p == MAP_FAILED ? nullptr : static_cast<unsigned char *>(p);
    return d->pixels != nullptr;
}

// Reads the pending events, a flip's event storing its CRTC in its data.
int handle_events(int fd) {
    drmEventContext ctx{};
    ctx.version = 3;
    ctx.page_flip_handler2 = [](int, unsigned, unsigned, unsigned, unsigned crtc, void *data) {
        *static_cast<unsigned *>(data) = crtc;
    };
    return drmHandleEvent(fd, &ctx);
}

// Whether the screen is w x h in XRGB8888 and every pixel is c, except the
// rectangle [x1, x2) x [y1, y2) which is inside.
bool shows(std::uint32_t c, std::uint32_t inside = 0, int x1 = 0, int y1 = 0, int x2 = 0, int y2 = 0,
           int w = width, int h = height) {
    const zr_vfb::screen_pixels s = zr_vfb::visible_screen();
    if (s.width != w || s.height != h || s.bits_per_pixel != 32) return false;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (zr::load_le32(s.pixels.data() + (static_cast<std::size_t>(y) * w + x) * 4) !=
                (x >= x1 && x < x2 && y >= y1 && y < y2 ? inside : c))
                return false;
    return true;
}

// The node opened on a fresh memory file, with its connector and preferred
// mode; at the end its buffers are unmapped, the node closed and the file removed.
struct opened_node {
    std::string memory;
    int fd;
    drmModeRes *res = nullptr;
    drmModeConnector *conn = nullptr;
    drmModeModeInfo preferred{};
    std::vector<dumb> dumbs;

    explicit opened_node(const char *fail = "")
        : memory(zr_test::use_drm_node(node, "100x60", 32, fail)), fd(open(node, O_RDWR | O_CLOEXEC)) {
        res = fd >= 0 ? drmModeGetResources(fd) : nullptr;
        conn = res != nullptr ? drmModeGetConnector(fd, res->connectors[0]) : nullptr;
        for (int i = 0; conn != nullptr && i < conn->count_modes; ++i)
            if ((conn->modes[i].type & DRM_MODE_TYPE_PREFERRED) != 0) preferred = conn->modes[i];
    }
    ~opened_node() {
        for (const dumb &d : dumbs) munmap(d.pixels, d.size);
        drmModeFreeConnector(conn);
        drmModeFreeResources(res);
        close();
        std::remove(memory.c_str());
    }
    bool ok() const { return conn != nullptr; }
    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    std::uint32_t crtc() const { return res->crtcs[0]; }
    // A buffer of the preferred size filled with c.
    dumb buffer(std::uint32_t c) {
        dumb d;
        if (!make_dumb(fd, &d)) return ADD_FAILURE() << "no dumb buffer", dumb{};
        dumbs.push_back(d);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) d.at(x, y) = c;
        return d;
    }
    int set_crtc(std::uint32_t fb, int on = -1, int on_fd = -1) {
        drmModeModeInfo mode = on < 0 ? preferred : conn->modes[on];
        std::uint32_t id = conn->connector_id;
        return drmModeSetCrtc(on_fd < 0 ? fd : on_fd, crtc(), fb, 0, 0, &id, 1, &mode);
    }
};

// A second descriptor is refused master (EBUSY) and every call that needs it
// (EACCES) until the first closes; dropping master lets go of it.
TEST(VfbDrm, OnlyTheFirstDescriptorIsMasterUntilItCloses) {
    opened_node first;
    ASSERT_TRUE(first.ok());
    const int second = open(node, O_RDWR);
    ASSERT_GE(second, 0);
    EXPECT_EQ(zr_vfb::drm_open_descriptors(), 2);
    EXPECT_TRUE(drmIsMaster(first.fd));
    EXPECT_FALSE(drmIsMaster(second));
    EXPECT_EQ(drmSetMaster(second), -1);
    EXPECT_EQ(errno, EBUSY);
    dumb d;
    ASSERT_TRUE(make_dumb(second, &d));
    EXPECT_EQ(first.set_crtc(d.fb, -1, second), -EACCES);
    EXPECT_EQ(drmModePageFlip(second, first.crtc(), d.fb, 0, nullptr), -EACCES);
    EXPECT_EQ(drmModeDirtyFB(second, d.fb, nullptr, 0), -EACCES);

    first.close();
    EXPECT_FALSE(zr_vfb::drm_master_held());
    EXPECT_EQ(drmSetMaster(second), 0);
    EXPECT_EQ(first.set_crtc(d.fb, -1, second), 0);
    EXPECT_EQ(drmDropMaster(second), 0);
    EXPECT_FALSE(zr_vfb::drm_master_held());
    munmap(d.pixels, d.size);
    close(second);
    EXPECT_EQ(zr_vfb::drm_open_descriptors(), 0);
}

// Flips show the front buffer, never the back; a flip late to land is busy
// until it does, and wakes poll, select and a blocking read.
TEST(VfbDrm, FlipsShowTheFrontBufferNeverTheBack) {
    opened_node n;
    ASSERT_TRUE(n.ok());
    dumb a = n.buffer(red);
    EXPECT_GT(a.pitch, width * 4u) << "rows should be padded here";
    a.at(width - 1, 1) = blue;  // shows where rows start
    ASSERT_EQ(n.set_crtc(a.fb), 0);
    const dumb b = n.buffer(green);  // the back buffer
    EXPECT_TRUE(shows(red, blue, width - 1, 1, width, 2));

    unsigned crtc = 0;
    ASSERT_EQ(drmModePageFlip(n.fd, n.crtc(), b.fb, DRM_MODE_PAGE_FLIP_EVENT, &crtc), 0);
    EXPECT_TRUE(shows(green));
    pollfd p{n.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 0), 1);
    EXPECT_EQ(handle_events(n.fd), 0);
    EXPECT_EQ(crtc, n.crtc());
    // Without an event nothing is queued; a flip back shows a again.
    a.at(width - 1, 1) = red;
    ASSERT_EQ(drmModePageFlip(n.fd, n.crtc(), a.fb, 0, nullptr), 0);
    EXPECT_EQ(poll(&p, 1, 0), 0);
    EXPECT_TRUE(shows(red));

    setenv("ZR_VFB_DRM_FLIP_DELAY", "50000", 1);
    ASSERT_EQ(drmModePageFlip(n.fd, n.crtc(), b.fb, DRM_MODE_PAGE_FLIP_EVENT, &crtc), 0);
    EXPECT_EQ(drmModePageFlip(n.fd, n.crtc(), a.fb, DRM_MODE_PAGE_FLIP_EVENT, &crtc), -EBUSY);
    EXPECT_TRUE(shows(red)) << "shown before the flip completed";
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_TRUE(shows(green));
    EXPECT_EQ(handle_events(n.fd), 0);
    ASSERT_EQ(drmModePageFlip(n.fd, n.crtc(), a.fb, DRM_MODE_PAGE_FLIP_EVENT, &crtc), 0);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(n.fd, &readable);
    timeval five{5, 0};
    ASSERT_EQ(select(n.fd + 1, &readable, nullptr, nullptr, &five), 1);
    // A blocking read of the event; a buffer too small for one takes none.
    char small[8];
    EXPECT_EQ(read(n.fd, small, sizeof small), 0);
    drm_event_vblank e{};
    ASSERT_EQ(read(n.fd, &e, sizeof e), static_cast<ssize_t>(sizeof e));
    EXPECT_EQ(e.user_data, reinterpret_cast<std::uintptr_t>(&crtc));
    EXPECT_TRUE(shows(red));
    EXPECT_EQ(zr_vfb::drm_page_flips(), 4);
    // Removing the framebuffer on screen turns the CRTC off.
    EXPECT_EQ(drmModeRmFB(n.fd, a.fb), 0);
    EXPECT_EQ(zr_vfb::visible_screen().width, 0);
}

// A restore of the CRTC as saved brings back the console's mode and picture;
// a descriptor closed without one takes its framebuffers and the CRTC along.
TEST(VfbDrm, RestoringTheSavedCrtcBringsTheConsoleBack) {
    for (const bool restore : {true, false}) {
        opened_node n;
        ASSERT_TRUE(n.ok());
        drmModeCrtc *saved = drmModeGetCrtc(n.fd, n.crtc());
        ASSERT_NE(saved, nullptr);
        // The smaller mode: the restore must bring the console's back too.
        ASSERT_EQ(n.set_crtc(n.buffer(red).fb, 0), 0);
        EXPECT_TRUE(shows(red, 0, 0, 0, 0, 0, n.conn->modes[0].hdisplay, n.conn->modes[0].vdisplay));
        std::uint32_t conn = n.conn->connector_id;
        if (restore) {
            ASSERT_EQ(drmModeSetCrtc(n.fd, saved->crtc_id, saved->buffer_id, 0, 0, &conn, 1, &saved->mode), 0);
        }
        drmModeFreeCrtc(saved);
        n.close();
        EXPECT_EQ(zr_vfb::drm_crtc().fb_id, restore ? zr_vfb::drm_console_fb : 0u);
        EXPECT_TRUE(restore ? shows(zr_vfb::drm_console_pixel) : zr_vfb::visible_screen().width == 0);
    }
}

// A driver that needs DIRTYFB shows only the clips told, and the whole
// framebuffer when told none; others show every change at once.
TEST(VfbDrm, DirtyNeededShowsOnlyWhatWasFlushed) {
    for (const bool needed : {false, true}) {
        SCOPED_TRACE(needed ? "drm-dirty-needed" : "shown at once");
        opened_node n(needed ? "drm-dirty-needed" : "");
        ASSERT_TRUE(n.ok());
        dumb a = n.buffer(red);
        ASSERT_EQ(n.set_crtc(a.fb), 0);
        EXPECT_TRUE(shows(red)) << "a framebuffer is shown whole when scanned out";
        for (int y = 10; y < 20; ++y)
            for (int x = 0; x < width; ++x) a.at(x, y) = blue;
        EXPECT_TRUE(needed ? shows(red) : shows(red, blue, 0, 10, width, 20));
        drmModeClip clip{5, 12, 30, 15};
        ASSERT_EQ(drmModeDirtyFB(n.fd, a.fb, &clip, 1), 0);
        EXPECT_TRUE(!needed || shows(red, blue, 5, 12, 30, 15));
        ASSERT_EQ(drmModeDirtyFB(n.fd, a.fb, nullptr, 0), 0);
        EXPECT_TRUE(shows(red, blue, 0, 10, width, 20));
        const std::vector<zr_vfb::drm_dirty> calls = zr_vfb::drm_dirty_calls();
        ASSERT_EQ(calls.size(), 2u);
        ASSERT_EQ(calls[0].clips.size(), 1u);
        EXPECT_TRUE(calls[0].fb_id == a.fb && calls[0].clips[0].x1 == 5 && calls[0].clips[0].y2 == 15);
        EXPECT_TRUE(calls[1].clips.empty());
    }
}

}  // namespace
