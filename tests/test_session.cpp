// Sessions: switches of the virtual terminal. The kernel's signals are
// raised here as the kernel sends them (to the numbers the library gave in
// VT_SETMODE); the library's thread answers and queues the events, which the
// test waits for on session_event_fd.
#include "display.hpp"
#include "vfb_screen.hpp"
#include "fake_terminal.hpp"
#include "memory_backend.hpp"
#include "pixel_format.hpp"
#include "vfb.hpp"
#include "vfb_fixture.hpp"

#include <gtest/gtest.h>
#include <linux/fb.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <string>
#include <vector>

using namespace zr_test;

namespace {

// The next session event within timeout_ms; 0 when none came.
int next_event(int timeout_ms = 5000) {
    pollfd p{zr::session_event_fd(), POLLIN, 0};
    if (p.fd < 0 || poll(&p, 1, timeout_ms) != 1) return 0;
    return zr::session_take_event();
}

// The switches as the kernel asks for them.
void switch_away() { raise(last_vt_mode().relsig); }
void switch_back() { raise(last_vt_mode().acqsig); }

zr_display_info_t info() {
    zr_display_info_t i{};
    EXPECT_EQ(zr_display_info(&i), 0);
    return i;
}

color_t grey(int v) { return color_t{uint8_t(v), uint8_t(v), uint8_t(v), 255}; }

// Whether every pixel of buffer i is grey left on columns 0 .. 7 and grey
// right on 8 .. 15; with right -1, whether no pixel is grey left.
bool halves(int i, int left, int right) {
    const std::vector<unsigned char> b = memory_display_buffer(i);
    for (int y = 0; y < zr_fb.height; ++y)
        for (int x = 0; x < zr_fb.width; ++x) {
            const unsigned char *p = b.data() + y * zr_fb.bytes_per_line + x * 4;
            const int grey = p[0] == p[1] && p[1] == p[2] ? p[0] : -1;
            if (right < 0 ? grey == left : grey != (x < 8 ? left : right)) return false;
        }
    return true;
}

class Session : public ::testing::Test {
protected:
    void SetUp() override { use_terminal(&fake_switching_console); }
    void TearDown() override {
        memory_display_close();
        zr::set_console_device(nullptr);
        zr_error_code = 0;
    }
};

// Every way of presenting: away, nothing reaches the device and presents
// fail; back, the next present shows all that was drawn meanwhile, though
// another terminal drew over the buffers.
TEST_F(Session, NothingDrawnAwayReachesTheDeviceAndThePictureComesBack) {
    const zr_rect_t dot{0, 0, 1, 1};
    for (const int flags : {0, ZR_INIT_SHADOW, ZR_INIT_DOUBLE_BUFFER, ZR_INIT_TRIPLE_BUFFER,
                            ZR_INIT_DOUBLE_BUFFER | ZR_INIT_SHADOW}) {
        SCOPED_TRACE("flags " + std::to_string(flags));
        SetUp();
        ASSERT_EQ(memory_display_open(memory_display{.needs_flush = true}, ZR_INIT_CONSOLE | flags), 0);
        EXPECT_EQ(info().vt_switch, 1);
        EXPECT_EQ(last_vt_mode().mode, VT_PROCESS);
        dc_t *dc = zr_get_screen_dc();
        ASSERT_NE(dc, nullptr);
        zr_clear(dc, grey(0x80));
        ASSERT_EQ(zr_present(nullptr, 0), 0);
        for (int i = 0; i < 2; ++i) ASSERT_EQ(zr_present(&dot, 1), 0);  // the damage history: a dot
        zr_clear(dc, grey(0x80));  // the picture being drawn when the switch comes
        const int front = memory_display_shown();
        memory_display_clear_calls();

        switch_away();
        ASSERT_EQ(next_event(), ZR_EVENT_SCREEN_LEFT);
        EXPECT_EQ(answers(), std::vector<int>{1});
        EXPECT_EQ(memory_display_calls(), call_log{"leave"});
        EXPECT_EQ(info().away, 1);
        dc_t *made_away = zr_get_screen_dc();  // made while away: draws where the others do
        ASSERT_NE(made_away, nullptr);
        for (int y = 0; y < 8; ++y) zr_hline(dc, 0, 6, y, grey(0x40));
        for (int y = 0; y < 8; ++y) zr_set_pixel(made_away, 7, y, grey(0x40));
        for (int i = 0; i < info().buffers; ++i) EXPECT_TRUE(halves(i, 0x40, -1)) << "buffer " << i;
        EXPECT_EQ(zr_present(nullptr, 0), ERR_SCREEN_AWAY);
        EXPECT_EQ(zr_error_code, ERR_SCREEN_AWAY);
        EXPECT_EQ(memory_display_calls(), call_log{"leave"}) << "nothing shown or flushed while away";
        for (int i = 0; i < info().buffers; ++i) memory_display_scribble(i, 0x77);  // the other terminal's console

        unsigned char *drawn_away = dc->mapped;
        switch_back();
        ASSERT_EQ(next_event(), ZR_EVENT_SCREEN_BACK);
        // A drawing call that began away may still write there.
        drawn_away[zr_fb.bytes_per_line - 1] = 0x40;
        EXPECT_EQ(answers(), (std::vector<int>{1, VT_ACKACQ}));
        const std::string whole = "flush " + std::to_string(front) + " 0,0,16,8";
        EXPECT_EQ(memory_display_calls(), (call_log{"leave", "enter " + std::to_string(front), whole}));
        EXPECT_EQ(info().away, 0);
        zr_error_code = 0;
        ASSERT_EQ(zr_present(&dot, 1), 0);
        EXPECT_TRUE(halves(memory_display_shown(), 0x40, 0x80)) << "shown: " << memory_display_shown();
        EXPECT_FALSE(zr::auto_flush_running()) << "the program presents: no automatic flush";
        zr_clear(made_away, grey(0xC0));
        ASSERT_EQ(zr_present(nullptr, 0), 0);
        EXPECT_TRUE(halves(memory_display_shown(), 0xC0, 0xC0));
        EXPECT_EQ(next_event(0), 0);
        zr_release_dc(made_away);
        zr_release_dc(dc);
        memory_display_close();
    }
}

// One LEFT and one BACK per round trip, BACK only once the device is had;
// the automatic flush stops while away.
TEST_F(Session, EventsComeInTurnAndBackOnlyWithTheDevice) {
    ASSERT_EQ(memory_display_open(memory_display{.needs_flush = true, .refuse_enter = 2}, ZR_INIT_CONSOLE), 0);
    EXPECT_TRUE(zr::auto_flush_running());
    EXPECT_EQ(zr::session_take_event(), 0);
    switch_away();
    ASSERT_EQ(next_event(), ZR_EVENT_SCREEN_LEFT);
    EXPECT_FALSE(zr::auto_flush_running());
    switch_away();
    switch_back();
    ASSERT_EQ(next_event(), ZR_EVENT_SCREEN_BACK);
    EXPECT_EQ(answers(), (std::vector<int>{1, 1, VT_ACKACQ}));
    int enters = 0;
    for (const std::string &c : memory_display_calls()) enters += c.rfind("enter", 0) == 0;
    EXPECT_EQ(enters, 3);
    EXPECT_TRUE(zr::auto_flush_running());
    switch_back();  // already back: answered, nothing else
    switch_away();
    switch_back();
    EXPECT_EQ(next_event(), ZR_EVENT_SCREEN_LEFT);
    EXPECT_EQ(next_event(), ZR_EVENT_SCREEN_BACK);
    EXPECT_EQ(next_event(200), 0);
    EXPECT_EQ(answers(), (std::vector<int>{1, 1, VT_ACKACQ, VT_ACKACQ, 1, VT_ACKACQ}));
}

void own_handler(int) {}

// Free signals are taken and given back at zr_close; a terminal that
// refuses VT_PROCESS is not followed.
TEST_F(Session, SignalsAndTheTerminalAreGivenBackAtClose) {
    signal(SIGRTMIN + 2, own_handler);
    ASSERT_EQ(memory_display_open(memory_display{}, ZR_INIT_CONSOLE), 0);
    const vt_mode ours = last_vt_mode();
    EXPECT_EQ(ours.relsig, SIGRTMIN + 3);
    EXPECT_EQ(ours.acqsig, SIGRTMIN + 4);
    EXPECT_GE(zr::session_event_fd(), 0);
    memory_display_close();
    EXPECT_EQ(last_vt_mode().mode, VT_AUTO);
    EXPECT_EQ(last_vt_mode().frsig, found_frsig);
    EXPECT_EQ(action_of(SIGRTMIN + 2), reinterpret_cast<void *>(own_handler));
    for (const int sig : {SIGRTMIN + 3, SIGRTMIN + 4}) EXPECT_EQ(action_of(sig), reinterpret_cast<void *>(SIG_DFL));
    EXPECT_EQ(zr::session_event_fd(), -1);
    signal(SIGRTMIN + 2, SIG_DFL);

    {
        std::lock_guard<std::mutex> hold(term.lock);
        term.refuse_vt = true;
    }
    ASSERT_EQ(memory_display_open(memory_display{}, ZR_INIT_CONSOLE), 0);
    EXPECT_EQ(info().console, 1);
    EXPECT_EQ(info().vt_switch, 0);
    EXPECT_EQ(zr::session_event_fd(), -1);
    for (const int sig : {SIGRTMIN + 2, SIGRTMIN + 3}) EXPECT_EQ(action_of(sig), reinterpret_cast<void *>(SIG_DFL));
    EXPECT_EQ(zr_present(nullptr, 0), 0);
}

// ---- the backends on the virtual device

// Back, a framebuffer gets its two screens and its pan again.
TEST_F(Session, AFramebufferGetsItsScreensAndPanBack) {
    ASSERT_EQ(vfb_open({.depth = 32, .init_flags = ZR_INIT_CONSOLE | ZR_INIT_DOUBLE_BUFFER}), 0);
    ASSERT_EQ(info().method, ZR_PRESENT_PAN);
    ASSERT_EQ(zr_present(nullptr, 0), 0);  // screen 1 shown
    switch_away();
    ASSERT_EQ(next_event(), ZR_EVENT_SCREEN_LEFT);
    fb_var_screeninfo var{};
    ASSERT_EQ(ioctl(zr_fb.fd, FBIOGET_VSCREENINFO, &var), 0);
    var.yres_virtual = var.yres;
    var.yoffset = 0;
    ASSERT_EQ(ioctl(zr_fb.fd, FBIOPUT_VSCREENINFO, &var), 0);
    switch_back();
    ASSERT_EQ(next_event(), ZR_EVENT_SCREEN_BACK);
    ASSERT_EQ(ioctl(zr_fb.fd, FBIOGET_VSCREENINFO, &var), 0);
    EXPECT_EQ(var.yres_virtual, 2 * var.yres);
    EXPECT_EQ(var.yoffset, var.yres);
    vfb_close();
}

// ---- DRM master on the virtual device's node

// Away, master is dropped; BACK waits until another program lets go of it.
TEST_F(Session, DrmMasterIsDroppedAndTakenBack) {
    if (!ZR_HAVE_DRM) GTEST_SKIP() << "built without libdrm (Debian: libdrm-dev): no DRM backend";
    const char *node = "/dev/zr-test-dri";
    const std::string memory = use_drm_node(node, "64x48");
    ASSERT_EQ(zr_init_ex(node, ZR_INIT_CONSOLE | ZR_INIT_DOUBLE_BUFFER), 0);
    dc_t *dc = zr_get_screen_dc();
    ASSERT_NE(dc, nullptr);
    zr_clear(dc, color_t{0x10, 0x20, 0x30, 255});
    ASSERT_EQ(zr_present(nullptr, 0), 0);
    const std::uint32_t ours = zr_vfb::drm_crtc().fb_id;

    switch_away();
    ASSERT_EQ(next_event(), ZR_EVENT_SCREEN_LEFT);
    EXPECT_FALSE(zr_vfb::drm_master_held());
    EXPECT_EQ(zr_vfb::drm_crtc().fb_id, zr_vfb::drm_console_fb) << "the console's CRTC as found";
    const int other = open(node, O_RDWR | O_CLOEXEC);  // another program: master at open
    ASSERT_GE(other, 0);
    EXPECT_TRUE(zr_vfb::drm_master_held());
    zr_clear(dc, color_t{0x50, 0x60, 0x70, 255});
    EXPECT_EQ(zr_present(nullptr, 0), ERR_SCREEN_AWAY);
    EXPECT_EQ(shown(5, 5), zr_vfb::drm_console_pixel);

    switch_back();
    EXPECT_EQ(next_event(300), 0) << "back before the other program let go";
    close(other);
    ASSERT_EQ(next_event(), ZR_EVENT_SCREEN_BACK);
    EXPECT_TRUE(zr_vfb::drm_master_held());
    EXPECT_EQ(zr_vfb::drm_crtc().fb_id, ours);
    EXPECT_EQ(shown(5, 5), 0x102030u);
    ASSERT_EQ(zr_present(nullptr, 0), 0);
    EXPECT_EQ(shown(5, 5), 0x506070u);
    zr_release_dc(dc);
    zr_close();
    EXPECT_EQ(zr_vfb::drm_crtc().fb_id, zr_vfb::drm_console_fb);
    EXPECT_EQ(zr_vfb::drm_open_descriptors(), 0);
    std::remove(memory.c_str());
}

}  // namespace
