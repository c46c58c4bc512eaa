// The virtual DRM/KMS node driven through libdrm in-process, and zr-vfb --drm
// on a small libdrm program (this file built with ZR_VFB_DRM_PROBE_MAIN is
// that program).
#include <errno.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <unistd.h>
#include <drm_fourcc.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

[[maybe_unused]] constexpr std::uint32_t red = 0x00FF0000, green = 0x0000FF00, blue = 0x000000FF;

// A dumb XRGB8888 buffer made into a framebuffer and mapped.
struct dumb {
    std::uint32_t handle = 0, pitch = 0, fb = 0;
    std::uint64_t size = 0;
    unsigned char *pixels = nullptr;

    std::uint32_t &at(int x, int y) {
        return *reinterpret_cast<std::uint32_t *>(pixels + static_cast<std::size_t>(y) * pitch + x * 4);
    }
    void fill(int w, int h, std::uint32_t c) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) at(x, y) = c;
    }
};

bool make_dumb(int fd, int w, int h, dumb *d) {
    drm_mode_create_dumb create{};
    create.width = static_cast<std::uint32_t>(w);
    create.height = static_cast<std::uint32_t>(h);
    create.bpp = 32;
    if (drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &create) != 0) return false;
    d->handle = create.handle;
    d->pitch = create.pitch;
    d->size = create.size;
    const std::uint32_t handles[4] = {d->handle}, pitches[4] = {d->pitch}, offsets[4] = {};
    if (drmModeAddFB2(fd, create.width, create.height, DRM_FORMAT_XRGB8888, handles, pitches, offsets,
                      &d->fb, 0) != 0)
        return false;
    drm_mode_map_dumb map{};
    map.handle = d->handle;
    if (drmIoctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &map) != 0) return false;
    void *p = mmap(nullptr, d->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(map.offset));
    if (p == MAP_FAILED) return false;
    d->pixels = static_cast<unsigned char *>(p);
    return true;
}

void on_flip(int, unsigned int, unsigned int, unsigned int, unsigned int crtc, void *data) {
    *static_cast<unsigned int *>(data) = crtc;
}

// Reads the pending events, a flip's event storing its CRTC in its data.
int handle_events(int fd) {
    drmEventContext ctx{};
    ctx.version = 3;
    ctx.page_flip_handler2 = on_flip;
    return drmHandleEvent(fd, &ctx);
}

}  // namespace

#ifdef ZR_VFB_DRM_PROBE_MAIN

// vfb_drm_probe DEVICE: shows red, draws green in a second buffer, sleeps,
// flips to green, sleeps, restores the console, closes and returns 0.
int main(int argc, char **argv) {
    if (argc < 2) return 2;
    const int fd = open(argv[1], O_RDWR | O_CLOEXEC);
    drmModeRes *res = fd >= 0 ? drmModeGetResources(fd) : nullptr;
    if (res == nullptr) return 3;
    drmModeConnector *conn = drmModeGetConnector(fd, res->connectors[0]);
    drmModeCrtc *saved = drmModeGetCrtc(fd, res->crtcs[0]);
    if (conn == nullptr || saved == nullptr) return 4;
    drmModeModeInfo mode = conn->modes[0];
    for (int i = 0; i < conn->count_modes; ++i)
        if ((conn->modes[i].type & DRM_MODE_TYPE_PREFERRED) != 0) mode = conn->modes[i];
    dumb a, b;
    if (!make_dumb(fd, mode.hdisplay, mode.vdisplay, &a) || !make_dumb(fd, mode.hdisplay, mode.vdisplay, &b))
        return 5;
    a.fill(mode.hdisplay, mode.vdisplay, red);
    if (drmModeSetCrtc(fd, saved->crtc_id, a.fb, 0, 0, &conn->connector_id, 1, &mode) != 0) return 6;
    b.fill(mode.hdisplay, mode.vdisplay, green);
    usleep(2000000);
    unsigned int crtc = 0;
    if (drmModePageFlip(fd, saved->crtc_id, b.fb, DRM_MODE_PAGE_FLIP_EVENT, &crtc) != 0) return 7;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1 || handle_events(fd) != 0 || crtc != saved->crtc_id) return 8;
    usleep(2000000);
    if (drmModeSetCrtc(fd, saved->crtc_id, saved->buffer_id, saved->x, saved->y, &conn->connector_id, 1,
                       &saved->mode) != 0)
        return 9;
    drmModeFreeCrtc(saved);
    drmModeFreeConnector(conn);
    drmModeFreeResources(res);
    close(fd);
    return 0;
}

#else

#include "vfb.hpp"

#include <gtest/gtest.h>
#include "png_picture.hpp"
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int width = 100, height = 60;  // rows of 400 bytes in dumb buffers of pitch 512
const char *const node = "/dev/zr-test-dri";

// Points the virtual devices at fresh files and the given quirks, and opens the node.
int open_node(const std::string &fail = "", const char *flip_delay = "0") {
    static int serial = 0;
    const std::string memory = "/tmp/zr-test-drm-" + std::to_string(getpid()) + "-" + std::to_string(serial++) + ".mem";
    setenv("ZR_VFB_DRM_DEVICE", node, 1);
    setenv("ZR_VFB_DEVICE", "/dev/zr-test-fb", 1);
    setenv("ZR_VFB_MEMORY", memory.c_str(), 1);
    setenv("ZR_VFB_SIZE", (std::to_string(width) + "x" + std::to_string(height)).c_str(), 1);
    setenv("ZR_VFB_BPP", "32", 1);
    setenv("ZR_VFB_LINE_LENGTH", "0", 1);
    setenv("ZR_VFB_FAIL", fail.c_str(), 1);
    setenv("ZR_VFB_DRM_FLIP_DELAY", flip_delay, 1);
    return open(node, O_RDWR | O_CLOEXEC);
}

// Whether the screen is w x h in XRGB8888 and every pixel is c, except the
// rectangle [x1, x2) x [y1, y2) which is inside.
bool shows(std::uint32_t c, int w = width, int h = height, std::uint32_t inside = 0, int x1 = 0,
           int y1 = 0, int x2 = 0, int y2 = 0) {
    const zr_vfb::screen_pixels s = zr_vfb::visible_screen();
    if (s.width != w || s.height != h || s.bits_per_pixel != 32) return false;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint32_t v = 0;
            std::memcpy(&v, s.pixels.data() + (static_cast<std::size_t>(y) * s.width + x) * 4, 4);
            if (v != (x >= x1 && x < x2 && y >= y1 && y < y2 ? inside : c)) return false;
        }
    return true;
}

// A node opened on fresh files with its connector and preferred mode; at the
// end its buffers are unmapped, the node closed and the files removed.
struct opened_node {
    int fd;
    drmModeRes *res = nullptr;
    drmModeConnector *conn = nullptr;
    drmModeModeInfo preferred{};
    std::vector<dumb> dumbs;

    explicit opened_node(const std::string &fail = "", const char *flip_delay = "0") : fd(open_node(fail, flip_delay)) {
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
        const std::string memory = std::getenv("ZR_VFB_MEMORY");
        for (const auto &e : fs::directory_iterator(fs::path(memory).parent_path()))
            if (e.path().string().rfind(memory, 0) == 0) fs::remove(e.path());
    }
    bool ok() const { return conn != nullptr; }
    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    std::uint32_t crtc() const { return res->crtcs[0]; }
    // A buffer of the preferred size filled with c (a failure leaves it unmapped).
    dumb buffer(std::uint32_t c) {
        dumb d;
        if (!make_dumb(fd, width, height, &d)) return ADD_FAILURE() << "no dumb buffer", dumb{};
        dumbs.push_back(d);
        d.fill(width, height, c);
        return d;
    }
    int set_crtc(std::uint32_t fb, int on = -1) {
        drmModeModeInfo mode = on < 0 ? preferred : conn->modes[on];
        std::uint32_t id = conn->connector_id;
        return drmModeSetCrtc(fd, crtc(), fb, 0, 0, &id, 1, &mode);
    }
};

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
    ASSERT_TRUE(make_dumb(second, width, height, &d));
    std::uint32_t conn = first.conn->connector_id;
    EXPECT_EQ(drmModeSetCrtc(second, first.crtc(), d.fb, 0, 0, &conn, 1, &first.preferred), -EACCES);
    EXPECT_EQ(drmModePageFlip(second, first.crtc(), d.fb, 0, nullptr), -EACCES);
    EXPECT_EQ(drmModeDirtyFB(second, d.fb, nullptr, 0), -EACCES);

    first.close();
    EXPECT_FALSE(zr_vfb::drm_master_held());
    EXPECT_EQ(drmSetMaster(second), 0);
    EXPECT_TRUE(drmIsMaster(second));
    EXPECT_EQ(drmModeSetCrtc(second, first.crtc(), d.fb, 0, 0, &conn, 1, &first.preferred), 0);
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
    EXPECT_EQ(zr_vfb::drm_crtc().fb_id, a.fb);
    EXPECT_TRUE(shows(red, width, height, blue, width - 1, 1, width, 2));
    const dumb b = n.buffer(green);  // the back buffer
    EXPECT_TRUE(shows(red, width, height, blue, width - 1, 1, width, 2));

    unsigned int crtc = 0;
    ASSERT_EQ(drmModePageFlip(n.fd, n.crtc(), b.fb, DRM_MODE_PAGE_FLIP_EVENT, &crtc), 0);
    EXPECT_TRUE(shows(green));
    EXPECT_EQ(zr_vfb::drm_page_flips(), 1);
    pollfd p{n.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 0), 1);
    EXPECT_EQ(handle_events(n.fd), 0);
    EXPECT_EQ(crtc, n.crtc());
    EXPECT_EQ(poll(&p, 1, 0), 0) << "the event was read";
    // Without an event nothing is queued; a flip back shows a again.
    a.at(width - 1, 1) = red;
    ASSERT_EQ(drmModePageFlip(n.fd, n.crtc(), a.fb, 0, nullptr), 0);
    EXPECT_EQ(poll(&p, 1, 0), 0);
    EXPECT_TRUE(shows(red));

    setenv("ZR_VFB_DRM_FLIP_DELAY", "50000", 1);
    ASSERT_EQ(drmModePageFlip(n.fd, n.crtc(), b.fb, DRM_MODE_PAGE_FLIP_EVENT, &crtc), 0);
    EXPECT_EQ(drmModePageFlip(n.fd, n.crtc(), a.fb, DRM_MODE_PAGE_FLIP_EVENT, &crtc), -EBUSY);
    EXPECT_TRUE(shows(red)) << "shown before the flip completed";
    EXPECT_EQ(poll(&p, 1, 0), 0);
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_TRUE(shows(green));
    EXPECT_EQ(handle_events(n.fd), 0);
    ASSERT_EQ(drmModePageFlip(n.fd, n.crtc(), a.fb, DRM_MODE_PAGE_FLIP_EVENT, &crtc), 0);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(n.fd, &readable);
    timeval five{5, 0};
    ASSERT_EQ(select(n.fd + 1, &readable, nullptr, nullptr, &five), 1);
    EXPECT_TRUE(FD_ISSET(n.fd, &readable));
    // A blocking read of the event; a buffer too small for one takes none.
    char small[8];
    EXPECT_EQ(read(n.fd, small, sizeof small), 0);
    drm_event_vblank e{};
    ASSERT_EQ(read(n.fd, &e, sizeof e), static_cast<ssize_t>(sizeof e));
    EXPECT_EQ(e.base.type, static_cast<std::uint32_t>(DRM_EVENT_FLIP_COMPLETE));
    EXPECT_EQ(e.user_data, reinterpret_cast<std::uintptr_t>(&crtc));
    EXPECT_TRUE(shows(red));
    EXPECT_EQ(zr_vfb::drm_page_flips(), 4);
    // Removing the framebuffer on screen turns the CRTC off.
    EXPECT_EQ(drmModeRmFB(n.fd, a.fb), 0);
    EXPECT_EQ(zr_vfb::drm_crtc().fb_id, 0u);
    EXPECT_EQ(zr_vfb::visible_screen().width, 0);
}

TEST(VfbDrm, RestoringTheSavedCrtcBringsTheConsoleBack) {
    {
        opened_node n;
        ASSERT_TRUE(n.ok());
        drmModeCrtc *saved = drmModeGetCrtc(n.fd, n.crtc());
        ASSERT_NE(saved, nullptr);
        // The smaller mode: the restore must bring the console's back too.
        ASSERT_EQ(n.set_crtc(n.buffer(red).fb, 0), 0);
        EXPECT_TRUE(shows(red, n.conn->modes[0].hdisplay, n.conn->modes[0].vdisplay));
        std::uint32_t conn = n.conn->connector_id;
        ASSERT_EQ(drmModeSetCrtc(n.fd, saved->crtc_id, saved->buffer_id, saved->x, saved->y, &conn, 1, &saved->mode), 0);
        EXPECT_EQ(zr_vfb::drm_crtc().fb_id, zr_vfb::drm_console_fb);
        EXPECT_TRUE(shows(zr_vfb::drm_console_pixel));
        drmModeFreeCrtc(saved);
        n.close();
        EXPECT_EQ(zr_vfb::drm_crtc().fb_id, zr_vfb::drm_console_fb);
    }
    // Closed without a restore: its framebuffer goes, and the CRTC with it.
    opened_node n;
    ASSERT_TRUE(n.ok());
    ASSERT_EQ(n.set_crtc(n.buffer(red).fb), 0);
    n.close();
    EXPECT_EQ(zr_vfb::drm_crtc().fb_id, 0u);
    EXPECT_EQ(zr_vfb::visible_screen().width, 0);
}

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
        EXPECT_TRUE(needed ? shows(red) : shows(red, width, height, blue, 0, 10, width, 20));
        drmModeClip clip{5, 12, 30, 15};
        ASSERT_EQ(drmModeDirtyFB(n.fd, a.fb, &clip, 1), 0);
        if (needed) {
            EXPECT_TRUE(shows(red, width, height, blue, 5, 12, 30, 15));
        }
        ASSERT_EQ(drmModeDirtyFB(n.fd, a.fb, nullptr, 0), 0);
        EXPECT_TRUE(shows(red, width, height, blue, 0, 10, width, 20));
        const std::vector<zr_vfb::drm_dirty> calls = zr_vfb::drm_dirty_calls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0].fb_id, a.fb);
        ASSERT_EQ(calls[0].clips.size(), 1u);
        EXPECT_EQ(calls[0].clips[0].x1, 5);
        EXPECT_EQ(calls[0].clips[0].y2, 15);
        EXPECT_TRUE(calls[1].clips.empty());
    }
}

// Pictures at the sleeps show the front buffer (red while green is drawn
// behind it, then green); restoring the console takes the exit picture of
// the program's last screen, and no console picture follows at exit.
TEST(VfbRunner, DrmPicturesShowWhatTheCrtcScansOut) {
    const fs::path out = fs::temp_directory_path() / ("zr-test-vfb-drm-" + std::to_string(getpid()));
    fs::remove_all(out);
    const std::string command = std::string(ZR_VFB_RUNNER) + " --drm --size 8x6 --bpp 32 --snap-on-sleep 1000000 --fast --out " +
                                out.string() + " -- " + ZR_VFB_DRM_PROBE + " /dev/fb > " + out.string() + ".log 2>&1";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
    const unsigned char expected[][3] = {{255, 0, 0}, {0, 255, 0}, {0, 255, 0}};
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 3) << "three pictures only in " << out;
    for (int i = 0; i < 3; ++i) {
        const auto pic = zr_test::read_png(out / ("frame-000" + std::to_string(i + 1) + ".png"));
        ASSERT_TRUE(pic && pic->width == 8 && pic->height == 6) << i;
        for (std::size_t p = 0; p < pic->rgb.size(); p += 3)
            ASSERT_TRUE(std::equal(expected[i], expected[i] + 3, pic->rgb.begin() + static_cast<long>(p)))
                << "frame " << i + 1 << " pixel " << p / 3;
    }
    fs::remove_all(out);
    fs::remove(out.string() + ".log");
}

}  // namespace

#endif
