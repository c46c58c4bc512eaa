// Presentation: what zr_init_ex grants, what zr_present shows, and the damage
// it is given, on the in-process virtual device.
#include "display.hpp"
#include "pixel_format.hpp"
#include "vfb.hpp"
#include "vfb_fixture.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <vector>

using namespace zr_test;

namespace {

class Present : public ::testing::Test {
protected:
    void TearDown() override {
        vfb_close();
        zr_error_code = 0;
    }
    // The 16-bit pixel at (x, y) of the device's memory as it is now.
    static unsigned pixel_in_memory(const std::vector<unsigned char> &mem, int x, int y) {
        const size_t at = static_cast<size_t>(y) * zr_fb.bytes_per_line + static_cast<size_t>(x) * 2;
        return mem.at(at) | mem.at(at + 1) << 8;
    }
};

TEST(Damage, RectanglesAreClippedToTheScreen) {
    zr_rect_t out[4];
    const zr_rect_t in[] = {
        {-5, -5, 10, 10}, {90, 40, 50, 50}, {10, 10, 0, 5}, {10, 10, -3, 5}, {INT_MAX, 0, INT_MAX, 1},
        {INT_MIN, INT_MIN, INT_MAX, INT_MAX}, {100, 0, 1, 1},
    };
    // Empty, negative, overflowing and wholly outside rectangles drop out.
    ASSERT_EQ(zr::clip_damage(in, 7, 100, 50, out, 4), 2);
    const zr_rect_t want[] = {{0, 0, 5, 5}, {90, 40, 10, 10}};
    for (int i = 0; i < 2; ++i) EXPECT_EQ(std::memcmp(&out[i], &want[i], sizeof out[i]), 0) << i;
    EXPECT_EQ(zr::clip_damage(in, 2, 100, 50, out, 1), 1);  // no more than the room given
    ASSERT_EQ(zr::clip_damage(nullptr, 3, 100, 50, out, 4), 1);
    EXPECT_TRUE(out[0].x == 0 && out[0].y == 0 && out[0].width == 100 && out[0].height == 50);
    EXPECT_EQ(zr::clip_damage(in, 0, 100, 50, out, 4), 1);  // count 0: the whole screen too
    EXPECT_EQ(zr::clip_damage(nullptr, 0, 0, 50, out, 4), 0);
}

TEST_F(Present, FrontBufferIsTheDefaultAndPresentOnlyPassesDamageOn) {
    ASSERT_EQ(vfb_open({.width = 32, .height = 8, .depth = 16}), 0);
    zr_display_info_t info{};
    ASSERT_EQ(zr_display_info(&info), 0);
    EXPECT_EQ(info.backend, ZR_BACKEND_FBDEV);
    EXPECT_EQ(info.method, ZR_PRESENT_FRONT);
    EXPECT_EQ(info.buffers, 1);
    EXPECT_EQ(info.buffer_age, 1);
    dc_t *dc = zr_get_screen_dc();
    zr_clear(dc, color_t{255, 0, 0, 255});
    EXPECT_EQ(pixel_in_memory(vfb_memory(), 5, 5), 0xF800u);  // drawn on the screen at once
    EXPECT_EQ(zr_present(nullptr, 0), 0);
    zr_release_dc(dc);
}

// Drawn in system memory, the picture reaches the screen only through
// zr_present, and only where the damage says.
TEST_F(Present, ShadowCopiesOnlyTheDamage) {
    ASSERT_EQ(vfb_open({.width = 32, .height = 8, .depth = 16, .line_length = 70, .init_flags = ZR_INIT_SHADOW}), 0);
    zr_display_info_t info{};
    ASSERT_EQ(zr_display_info(&info), 0);
    EXPECT_EQ(info.method, ZR_PRESENT_SHADOW);
    EXPECT_EQ(info.buffer_age, 1);
    dc_t *dc = zr_get_screen_dc();
    ASSERT_NE(dc, nullptr);
    zr_clear(dc, color_t{0, 0, 255, 255});
    EXPECT_EQ(pixel_in_memory(vfb_memory(), 0, 0), 0u);
    const zr_rect_t damage[] = {{2, 3, 4, 2}, {30, 7, 9, 9}};
    ASSERT_EQ(zr_present(damage, 2), 0);
    auto mem = vfb_memory();
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 32; ++x) {
            const bool inside = (x >= 2 && x < 6 && y >= 3 && y < 5) || (x >= 30 && y == 7);
            ASSERT_EQ(pixel_in_memory(mem, x, y), inside ? 0x001Fu : 0u) << x << "," << y;
        }
    // The padding of each row is the device's, never copied over.
    for (int y = 0; y < 8; ++y) EXPECT_EQ(mem.at(static_cast<size_t>(y) * 70 + 68), 0) << y;
    ASSERT_EQ(zr_present(nullptr, 0), 0);
    EXPECT_EQ(pixel_in_memory(vfb_memory(), 0, 0), 0x001Fu);
    // The screen DC still draws into the shadow, which keeps the last frame.
    color_t c{};
    zr_get_pixel(dc, 31, 0, &c);
    EXPECT_EQ(c.blue, 248);
    zr_release_dc(dc);
}

// Below 8 bits a byte holds several pixels: the shadow copies the whole bytes
// that each damaged row touches, and no others (rows padded to 64 bytes).
TEST_F(Present, ShadowCopiesTheBytesOfTheDamageAtEveryDepth) {
    const struct {
        int depth;
        int first, end;            // bytes of pixels 3 .. 8 in a row
        int last_first, last_end;  // bytes of pixel 20, the last of a row
        int row;                   // bytes of a row of 21 pixels
    } depths[] = {
        {1, 0, 2, 2, 3, 3}, {2, 0, 3, 5, 6, 6}, {4, 1, 5, 10, 11, 11}, {8, 3, 9, 20, 21, 21}, {24, 9, 27, 60, 63, 63},
    };
    for (const auto &d : depths) {
        SCOPED_TRACE("depth " + std::to_string(d.depth));
        ASSERT_EQ(vfb_open({.width = 21, .height = 6, .depth = d.depth, .line_length = 64,
                            .init_flags = ZR_INIT_SHADOW}),
                  0);
        zr_display_info_t info{};
        ASSERT_EQ(zr_display_info(&info), 0);
        ASSERT_EQ(info.method, ZR_PRESENT_SHADOW);
        std::memset(zr_fb.mapped, 0xA5, static_cast<size_t>(zr_fb.bytes));  // drawn on the shadow
        const zr_rect_t damage[] = {{3, 1, 6, 2}, {20, 5, 4, 4}};
        ASSERT_EQ(zr_present(damage, 2), 0);
        std::vector<unsigned char> mem = vfb_memory();
        ASSERT_EQ(mem.size(), 6u * 64);
        for (int y = 0; y < 6; ++y)
            for (int b = 0; b < 64; ++b) {
                const bool inside = (y >= 1 && y < 3 && b >= d.first && b < d.end) ||
                                    (y == 5 && b >= d.last_first && b < d.last_end);
                ASSERT_EQ(mem[static_cast<size_t>(y) * 64 + b], inside ? 0xA5 : 0) << "row " << y << " byte " << b;
            }
        // The whole screen: every row's pixels, never the padding.
        ASSERT_EQ(zr_present(nullptr, 0), 0);
        mem = vfb_memory();
        for (int y = 0; y < 6; ++y)
            for (int b = 0; b < 64; ++b)
                ASSERT_EQ(mem[static_cast<size_t>(y) * 64 + b], b < d.row ? 0xA5 : 0) << "row " << y << " byte " << b;
        vfb_close();
    }
}

TEST_F(Present, NothingToPresentWithoutADevice) {
    zr_close();
    zr_display_info_t info{};
    info.backend = 9;
    EXPECT_EQ(zr_display_info(&info), ERR_NO_DEVICE);
    EXPECT_EQ(info.backend, 0);
    EXPECT_EQ(zr_present(nullptr, 0), ERR_NO_DEVICE);
    EXPECT_EQ(zr_error_code, ERR_NO_DEVICE);
}

// ---- the screen as the device shows it

long open_descriptors() {
    namespace fs = std::filesystem;
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

// The colour of pixel (x, y) on the visible screen, as 0xRRGGBB.
unsigned shown(int x, int y) {
    const zr_vfb::screen_pixels s = zr_vfb::visible_screen();
    if (x >= s.width || y >= s.height) return 0xDEAD;
    const unsigned char *p = s.pixels.data() + (static_cast<size_t>(y) * s.width + x) * (s.bits_per_pixel / 8);
    if (s.bits_per_pixel == 32) return zr::load_le32(p) & 0xFFFFFF;
    const unsigned v = zr::load_le16(p);
    return ((v >> 11) << 3) << 16 | ((v >> 5 & 0x3F) << 2) << 8 | (v & 0x1F) << 3;
}

// The DRM node of the in-process device, opened with zr_init_ex.
class Drm : public ::testing::Test {
protected:
    static constexpr const char *node = "/dev/zr-test-dri";
    void SetUp() override {
        if (!ZR_HAVE_DRM) GTEST_SKIP() << "built without libdrm (Debian: libdrm-dev): no DRM backend";
    }
    int open(int flags, const char *fail = "", int bpp = 32, const char *flip_delay = "0") {
        // Memory of its own: test programs run side by side.
        const std::string memory = "/tmp/zr-test-drm-" + std::to_string(getpid()) + ".mem";
        setenv("ZR_VFB_MEMORY", memory.c_str(), 1);
        setenv("ZR_VFB_DRM_DEVICE", node, 1);
        setenv("ZR_VFB_DEVICE", "/dev/zr-test-fb", 1);
        setenv("ZR_VFB_SIZE", "64x48", 1);
        setenv("ZR_VFB_BPP", std::to_string(bpp).c_str(), 1);
        setenv("ZR_VFB_FAIL", fail, 1);
        setenv("ZR_VFB_DRM_FLIP_DELAY", flip_delay, 1);
        return zr_init_ex(node, flags);
    }
    zr_display_info_t info() {
        zr_display_info_t i{};
        EXPECT_EQ(zr_display_info(&i), 0);
        return i;
    }
    void TearDown() override {
        zr_close();
        if (const char *memory = std::getenv("ZR_VFB_MEMORY")) std::remove(memory);
        unsetenv("ZR_DRM_CONNECTOR");
        EXPECT_EQ(zr_vfb::drm_open_descriptors(), 0);
        zr_error_code = 0;
    }
};

// The preferred mode (listed second), drawn on at once; zr_close gives the
// CRTC back to the console and lets go of the node.
TEST_F(Drm, FrontBufferInThePreferredModeAndTheConsoleBackAtClose) {
    ASSERT_EQ(open(0), 0);
    const zr_display_info_t i = info();
    EXPECT_EQ(i.backend, ZR_BACKEND_DRM);
    EXPECT_EQ(i.method, ZR_PRESENT_FRONT);
    EXPECT_TRUE(zr_fb.width == 64 && zr_fb.height == 48 && zr_fb.bits_per_pixel == 32 && zr_fb.colors == 32);
    EXPECT_GE(zr_fb.bytes_per_line, 64 * 4);
    dc_t *dc = zr_get_screen_dc();
    ASSERT_NE(dc, nullptr);
    zr_clear(dc, color_t{0x10, 0x20, 0x30, 255});
    zr_set_pixel(dc, 63, 47, color_t{0xFF, 0, 0, 255});
    EXPECT_EQ(shown(0, 0), 0x102030u);
    EXPECT_EQ(shown(63, 47), 0xFF0000u);
    EXPECT_NE(zr_vfb::drm_crtc().fb_id, zr_vfb::drm_console_fb);
    zr_release_dc(dc);
    zr_close();
    EXPECT_EQ(zr_vfb::drm_crtc().fb_id, zr_vfb::drm_console_fb);
    EXPECT_EQ(shown(0, 0), zr_vfb::drm_console_pixel);
    EXPECT_FALSE(zr_vfb::drm_master_held());

    ASSERT_EQ(open(ZR_INIT_RGB565, "", 16), 0);  // 5-6-5 where asked for
    EXPECT_TRUE(zr_fb.bits_per_pixel == 16 && zr_fb.colors == 16);
}

// Two and three buffers: the screen shows only finished frames, and after a
// present the screen DC holds the frame shown buffer_age presents ago.
TEST_F(Drm, FlipsShowOnlyFinishedFramesAndTheBackBufferKeepsItsAge) {
    for (const int buffers : {2, 3}) {
        SCOPED_TRACE(std::to_string(buffers) + " buffers");
        ASSERT_EQ(open(buffers == 2 ? ZR_INIT_DOUBLE_BUFFER : ZR_INIT_TRIPLE_BUFFER), 0);
        const zr_display_info_t i = info();
        EXPECT_EQ(i.method, ZR_PRESENT_FLIP);
        EXPECT_EQ(i.buffers, buffers);
        EXPECT_EQ(i.buffer_age, buffers);
        dc_t *dc = zr_get_screen_dc();
        dc_t *second = zr_get_screen_dc();  // every screen DC follows the buffers
        const unsigned frames[] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00};
        const int flips = zr_vfb::drm_page_flips();
        for (int f = 0; f < 4; ++f) {
            const unsigned before = shown(5, 5);
            zr_clear(f % 2 ? second : dc, color_t{uint8_t(frames[f] >> 16), uint8_t(frames[f] >> 8), uint8_t(frames[f]), 255});
            EXPECT_EQ(shown(5, 5), before) << "frame " << f << " showed before its present";
            ASSERT_EQ(zr_present(nullptr, 0), 0);
            EXPECT_EQ(shown(5, 5), frames[f]) << "frame " << f;
            EXPECT_EQ(dc->mapped, second->mapped);
            if (f + 1 >= buffers) {
                color_t c{};
                zr_get_pixel(dc, 5, 5, &c);
                const unsigned aged = frames[f + 1 - buffers];
                EXPECT_EQ(unsigned(c.red) << 16 | c.green << 8 | c.blue, aged) << "frame " << f;
            }
        }
        EXPECT_EQ(zr_vfb::drm_page_flips() - flips, 4);
        zr_release_dc(second);
        zr_release_dc(dc);
        zr_close();
        EXPECT_EQ(zr_vfb::drm_crtc().fb_id, zr_vfb::drm_console_fb);
    }
}

// A driver that reads its buffers slowly gets a shadow: each flip copies the
// damage of this frame and of the frames the back buffer missed.
TEST_F(Drm, FlipsOverAShadowCopyWhatEachBufferMissed) {
    ASSERT_EQ(open(ZR_INIT_DOUBLE_BUFFER, "drm-prefer-shadow"), 0);
    const zr_display_info_t i = info();
    EXPECT_EQ(i.method, ZR_PRESENT_FLIP);
    EXPECT_EQ(i.prefer_shadow, 1);
    EXPECT_EQ(i.buffer_age, 1);
    dc_t *dc = zr_get_screen_dc();
    zr_clear(dc, color_t{255, 0, 0, 255});
    ASSERT_EQ(zr_present(nullptr, 0), 0);
    zr_set_pixel(dc, 1, 1, color_t{0, 255, 0, 255});
    const zr_rect_t a{1, 1, 1, 1}, b{9, 9, 1, 1};
    ASSERT_EQ(zr_present(&a, 1), 0);
    zr_set_pixel(dc, 9, 9, color_t{0, 0, 255, 255});
    ASSERT_EQ(zr_present(&b, 1), 0);
    EXPECT_EQ(shown(0, 0), 0xFF0000u);
    EXPECT_EQ(shown(1, 1), 0x00FF00u);  // drawn two frames ago, into the other buffer
    EXPECT_EQ(shown(9, 9), 0x0000FFu);
    zr_release_dc(dc);
}

// Fallbacks are granted and said, never silent; refusals leave nothing open.
TEST_F(Drm, FallbacksAndRefusals) {
    ASSERT_EQ(open(ZR_INIT_DOUBLE_BUFFER, "drm-no-flip"), 0);
    EXPECT_EQ(info().method, ZR_PRESENT_SHADOW);
    dc_t *dc = zr_get_screen_dc();
    zr_clear(dc, color_t{0, 0, 255, 255});
    EXPECT_NE(shown(3, 3), 0x0000FFu);
    ASSERT_EQ(zr_present(nullptr, 0), 0);
    EXPECT_EQ(shown(3, 3), 0x0000FFu);
    zr_release_dc(dc);
    zr_close();

    const struct {
        const char *fail, *connector;
        int code;
    } refusals[] = {
        {"drm-not-master", "", ERR_DRM_MASTER},
        {"drm-no-connector", "", ERR_NO_CONNECTOR},
        {"drm-no-dumb", "", ERR_NO_DUMB_BUFFER},
        {"", "HDMI-A-9", ERR_NO_CONNECTOR},
        // The CRTC as found cannot be read, so it could not be given back.
        {"drm-no-getcrtc", "", ERR_MODE_SET},
    };
    for (const auto &r : refusals) {
        setenv("ZR_DRM_CONNECTOR", r.connector, 1);
        EXPECT_EQ(open(ZR_INIT_DOUBLE_BUFFER, r.fail), r.code) << r.fail << r.connector;
        EXPECT_EQ(zr_error_code, r.code);
        EXPECT_EQ(zr_fb.fd, -1);
        EXPECT_EQ(zr_vfb::drm_open_descriptors(), 0) << r.fail;
        EXPECT_EQ(zr_get_screen_dc(), nullptr);
        EXPECT_EQ(zr_vfb::drm_crtc().fb_id, zr_vfb::drm_console_fb) << r.fail;
    }
    setenv("ZR_DRM_CONNECTOR", "Virtual-1", 1);
    EXPECT_EQ(open(0), 0);
}

// A flip probe that fails part way falls back to the shadow, and the buffer
// the shadow is copied into is the one on the screen. Both failures leave the
// probe's second buffer on the CRTC, or on its way there: the flip back
// refused, or the first flip landing later than the library waits (as on
// USB and SPI panels).
TEST_F(Drm, AFailedFlipProbeLeavesTheShadowsBufferOnTheScreen) {
    const struct {
        int flags;
        const char *fail, *flip_delay;
    } probes[] = {
        {ZR_INIT_TRIPLE_BUFFER, "drm-one-flip", "0"},
        {ZR_INIT_DOUBLE_BUFFER, "", "1500000"},
    };
    for (const auto &p : probes) {
        SCOPED_TRACE(std::string(p.fail) + " delay " + p.flip_delay);
        ASSERT_EQ(open(p.flags, p.fail, 32, p.flip_delay), 0);
        const zr_display_info_t i = info();
        EXPECT_EQ(i.method, ZR_PRESENT_SHADOW);
        EXPECT_EQ(i.buffers, 1);
        dc_t *dc = zr_get_screen_dc();
        ASSERT_NE(dc, nullptr);
        zr_clear(dc, color_t{0, 255, 0, 255});
        zr_set_pixel(dc, 63, 47, color_t{255, 0, 255, 255});
        ASSERT_EQ(zr_present(nullptr, 0), 0);
        EXPECT_EQ(shown(5, 5), 0x00FF00u);
        EXPECT_EQ(shown(63, 47), 0xFF00FFu);
        zr_release_dc(dc);
        zr_close();
        EXPECT_EQ(zr_vfb::drm_crtc().fb_id, zr_vfb::drm_console_fb);
        EXPECT_EQ(zr_vfb::drm_open_descriptors(), 0);
    }
}

// A second zr_init_ex while the node is open opens nothing (this program is
// the master already): the first display keeps presenting and gives the CRTC
// and its descriptor back at zr_close.
TEST_F(Drm, ASecondInitWhileOpenIsRefusedAndTheFirstKeepsTheScreen) {
    // The node's console keeps a file open once the node was first opened.
    ASSERT_EQ(open(0), 0);
    zr_close();
    const long descriptors = open_descriptors();
    ASSERT_EQ(open(ZR_INIT_DOUBLE_BUFFER), 0);
    const long opened = open_descriptors();
    EXPECT_EQ(zr_init_ex(node, ZR_INIT_DOUBLE_BUFFER), ERR_ALREADY_OPEN);
    EXPECT_EQ(zr_init(node), ERR_ALREADY_OPEN);
    EXPECT_EQ(zr_error_code, ERR_ALREADY_OPEN);
    EXPECT_EQ(zr_vfb::drm_open_descriptors(), 1);
    EXPECT_EQ(open_descriptors(), opened);
    EXPECT_EQ(info().method, ZR_PRESENT_FLIP);
    dc_t *dc = zr_get_screen_dc();
    ASSERT_NE(dc, nullptr);
    zr_clear(dc, color_t{0, 0, 255, 255});
    ASSERT_EQ(zr_present(nullptr, 0), 0);
    EXPECT_EQ(shown(7, 7), 0x0000FFu);
    zr_release_dc(dc);
    zr_close();
    EXPECT_EQ(zr_vfb::drm_crtc().fb_id, zr_vfb::drm_console_fb);
    EXPECT_EQ(zr_vfb::drm_open_descriptors(), 0);
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_EQ(open(0), 0);
}

// Drivers that show a dumb buffer only when told (virtio-gpu) get the damage.
TEST_F(Drm, DamageReachesDriversThatNeedIt) {
    ASSERT_EQ(open(0, "drm-dirty-needed"), 0);
    dc_t *dc = zr_get_screen_dc();
    zr_clear(dc, color_t{255, 255, 255, 255});
    const unsigned untold = shown(20, 20);
    EXPECT_NE(untold, 0xFFFFFFu);
    const zr_rect_t damage{10, 10, 5, 5};
    ASSERT_EQ(zr_present(&damage, 1), 0);
    EXPECT_EQ(shown(12, 12), 0xFFFFFFu);
    EXPECT_EQ(shown(20, 20), untold);
    const auto calls = zr_vfb::drm_dirty_calls();
    ASSERT_FALSE(calls.empty());
    ASSERT_EQ(calls.back().clips.size(), 1u);
    const zr_vfb::drm_clip c = calls.back().clips[0];
    EXPECT_TRUE(c.x1 == 10 && c.y1 == 10 && c.x2 == 15 && c.y2 == 15);
    zr_release_dc(dc);
}

// ---- the framebuffer's pan

TEST_F(Present, PanShowsOnlyFinishedScreensOrFallsBackToTheShadow) {
    for (const int buffers : {2, 3}) {
        SCOPED_TRACE(std::to_string(buffers) + " buffers");
        const int flags = buffers == 2 ? ZR_INIT_DOUBLE_BUFFER : ZR_INIT_TRIPLE_BUFFER | ZR_INIT_VSYNC;
        ASSERT_EQ(vfb_open({.width = 16, .height = 8, .depth = 32, .init_flags = flags}), 0);
        zr_display_info_t i{};
        zr_display_info(&i);
        EXPECT_EQ(i.method, ZR_PRESENT_PAN);
        EXPECT_EQ(i.buffers, buffers);
        EXPECT_EQ(i.vsync, 1);
        dc_t *dc = zr_get_screen_dc();
        for (const unsigned colour : {0xFF0000u, 0x00FF00u, 0x0000FFu, 0xFFFFFFu}) {
            const unsigned before = shown(2, 2);
            zr_clear(dc, color_t{uint8_t(colour >> 16), uint8_t(colour >> 8), uint8_t(colour), 255});
            EXPECT_EQ(shown(2, 2), before);
            ASSERT_EQ(zr_present(nullptr, 0), 0);
            EXPECT_EQ(shown(2, 2), colour);
        }
        zr_release_dc(dc);
        vfb_close();
    }
    ASSERT_EQ(vfb_open({.width = 16, .height = 8, .depth = 32, .fail = "pan", .init_flags = ZR_INIT_TRIPLE_BUFFER}), 0);
    zr_display_info_t i{};
    zr_display_info(&i);
    EXPECT_EQ(i.method, ZR_PRESENT_SHADOW);
    EXPECT_EQ(i.vsync, 0);
}

}  // namespace
