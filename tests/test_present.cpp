// Presentation: the core's policy on a recording memory backend, then each
// real backend on the in-process virtual device.
#include "capture.hpp"
#include "display.hpp"
#include "vfb_screen.hpp"
#include "memory_backend.hpp"
#include "pixel_format.hpp"
#include "vfb.hpp"
#include "vfb_fixture.hpp"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace zr_test;

namespace {

TEST(Damage, RectanglesAreClippedToTheScreen) {
    zr_rect_t out[4];
    const zr_rect_t in[] = {{-5, -5, 10, 10}, {90, 40, 50, 50}, {10, 10, 0, 5}, {10, 10, -3, 5},
                            {INT_MAX, 0, INT_MAX, 1}, {INT_MIN, INT_MIN, INT_MAX, INT_MAX}, {100, 0, 1, 1}};
    const auto is = [](const zr_rect_t &r, int x, int y, int w, int h) {
        return r.x == x && r.y == y && r.width == w && r.height == h;
    };
    // Empty, negative, overflowing and wholly outside rectangles drop out.
    ASSERT_EQ(zr::clip_damage(in, 7, 100, 50, out, 4), 2);
    EXPECT_TRUE(is(out[0], 0, 0, 5, 5) && is(out[1], 90, 40, 10, 10));
    EXPECT_EQ(zr::clip_damage(in, 2, 100, 50, out, 1), 1);  // no more than the room given
    // None given: the whole screen, if it has any.
    ASSERT_EQ(zr::clip_damage(in, 0, 100, 50, out, 4), 1);
    EXPECT_TRUE(is(out[0], 0, 0, 100, 50));
    EXPECT_EQ(zr::clip_damage(nullptr, 0, 0, 50, out, 4), 0);
}

// ---- the core, on memory buffers

// Flips on a vertical blank; flips that land at once (bochs); one buffer and
// no vertical blank (a DRM driver's framebuffer emulation).
const memory_display flipper{.vblank = true}, instant_flipper{}, single{.most_buffers = 1};

color_t colour(unsigned rgb) { return color_t{uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb), 255}; }

zr_display_info_t info() {
    zr_display_info_t i{};
    EXPECT_EQ(zr_display_info(&i), 0);
    return i;
}

// "front 1 1 v": method, buffers, buffer age, then v (vsync), p (paced) or -.
std::string summary(const zr_display_info_t &i) {
    static const char *const methods[] = {"front", "shadow", "pan", "flip"};
    return std::string(methods[i.method]) + " " + std::to_string(i.buffers) + " " + std::to_string(i.buffer_age) +
           " " + (i.vsync ? "v" : i.paced ? "p" : "-");
}

class Core : public ::testing::Test {
protected:
    void TearDown() override {
        memory_display_close();
        zr_error_code = 0;
    }
};

// Each combination of flags has one result (docs/API.md); RGB565 changes
// only what is asked of the device.
TEST_F(Core, EveryFlagCombinationHasOneResult) {
    constexpr int D = ZR_INIT_DOUBLE_BUFFER, T = ZR_INIT_TRIPLE_BUFFER, S = ZR_INIT_SHADOW, V = ZR_INIT_VSYNC;
    const struct {
        int flags;
        const char *flipper, *instant_flipper, *single;
    } table[] = {
        {0, "front 1 1 -", "front 1 1 -", "front 1 1 -"},      {V, "front 1 1 v", "front 1 1 p", "front 1 1 p"},
        {S, "shadow 1 1 -", "shadow 1 1 -", "shadow 1 1 -"},   {S | V, "shadow 1 1 v", "shadow 1 1 p", "shadow 1 1 p"},
        {D, "flip 2 2 v", "flip 2 2 -", "shadow 1 1 -"},       {D | V, "flip 2 2 v", "flip 2 2 p", "shadow 1 1 p"},
        {D | S, "flip 2 1 v", "flip 2 1 -", "shadow 1 1 -"},   {D | S | V, "flip 2 1 v", "flip 2 1 p", "shadow 1 1 p"},
        {T, "flip 3 3 v", "flip 3 3 -", "shadow 1 1 -"},       {T | V, "flip 3 3 v", "flip 3 3 p", "shadow 1 1 p"},
        {T | S, "flip 3 1 v", "flip 3 1 -", "shadow 1 1 -"},   {T | S | V, "flip 3 1 v", "flip 3 1 p", "shadow 1 1 p"},
        {D | T, "flip 3 3 v", "flip 3 3 -", "shadow 1 1 -"},   {D | T | V, "flip 3 3 v", "flip 3 3 p", "shadow 1 1 p"},
        {D | T | S, "flip 3 1 v", "flip 3 1 -", "shadow 1 1 -"},
        {D | T | S | V, "flip 3 1 v", "flip 3 1 p", "shadow 1 1 p"},
    };
    const memory_display devices[] = {flipper, instant_flipper, single};
    for (const auto &row : table)
        for (const int rgb565 : {0, ZR_INIT_RGB565})
            for (int k = 0; k < 3; ++k) {
                const int flags = row.flags | rgb565;
                SCOPED_TRACE("flags " + std::to_string(flags) + ", device " + std::to_string(k));
                ASSERT_EQ(memory_display_open(devices[k], flags), 0);
                EXPECT_EQ(summary(info()), (k == 0 ? row.flipper : k == 1 ? row.instant_flipper : row.single));
                const int asked = (flags & T) ? 3 : (flags & D) ? 2 : 1;
                EXPECT_EQ(memory_display_calls().at(0), "open " + std::to_string(asked) + (rgb565 ? " rgb565" : ""));
                memory_display_close();
            }
    // A driver that prefers a shadow gets one under its buffers.
    const memory_display slow{.vblank = true, .prefer_shadow = true};
    ASSERT_EQ(memory_display_open(slow, D), 0);
    EXPECT_EQ(summary(info()), "flip 2 1 v");
    EXPECT_EQ(info().prefer_shadow, 1);
    // A second open opens nothing; the first device keeps working.
    const call_log before = memory_display_calls();
    EXPECT_EQ(zr_init_ex(memory_display_path, D), ERR_ALREADY_OPEN);
    EXPECT_EQ(memory_display_calls(), before);
    EXPECT_EQ(zr_present(nullptr, 0), 0);
}

// Flushes only where the device needs them; shows wait with two buffers and
// with vsync on a real vertical blank. Without a vertical blank, presents
// are paced at the mode's rate (60 Hz when it has none) where vsync was asked for.
TEST_F(Core, EachMethodMakesItsBackendCallsAndIsPacedWhereItMustBe) {
    constexpr int D = ZR_INIT_DOUBLE_BUFFER, T = ZR_INIT_TRIPLE_BUFFER, S = ZR_INIT_SHADOW, V = ZR_INIT_VSYNC;
    const memory_display no_rate{.most_buffers = 1, .refresh_mhz = 0};
    const struct {
        memory_display device;
        bool needs_flush;
        int flags;
        call_log two_presents;
        bool paced = false;
    } cases[] = {
        {single, false, 0, {}},
        {single, true, 0, {"flush 0 2,3,4,2", "flush 0 2,3,4,2"}},
        {single, false, V, {}, true},
        {no_rate, false, V, {}, true},
        {flipper, true, V, {"flush 0 2,3,4,2", "show 0 wait", "flush 0 2,3,4,2", "show 0 wait"}},
        {single, true, S, {"flush 0 2,3,4,2", "flush 0 2,3,4,2"}},
        {flipper, false, S | V, {"show 0 wait", "show 0 wait"}},
        {flipper, true, D, {"flush 1 2,3,4,2", "show 1 wait", "flush 0 2,3,4,2", "show 0 wait"}},
        {instant_flipper, false, D, {"show 1 wait", "show 0 wait"}},
        {instant_flipper, false, D | V, {"show 1 wait", "show 0 wait"}, true},
        {instant_flipper, false, D | S, {"show 1 wait", "show 0 wait"}},
        {flipper, false, T, {"show 1", "show 2"}},
    };
    for (const auto &c : cases) {
        memory_display device = c.device;
        device.needs_flush = c.needs_flush;
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        ASSERT_EQ(memory_display_open(device, c.flags), 0);
        memory_display_clear_calls();
        const zr_rect_t damage{2, 3, 4, 2};
        ASSERT_EQ(zr_present(&damage, 1), 0);
        ASSERT_EQ(zr_present(&damage, 1), 0);
        EXPECT_EQ(memory_display_calls(), c.two_presents);
        ASSERT_EQ(zr_present(nullptr, 0), 0);
        const std::vector<std::int64_t> sleeps = memory_display_sleeps();
        ASSERT_EQ(sleeps.size(), c.paced ? 2u : 0u);
        const std::int64_t frame = c.device.refresh_mhz ? memory_display_frame() : 1000000000 / 60;
        EXPECT_TRUE(!c.paced || sleeps[1] - sleeps[0] == frame);
        memory_display_close();
    }
}

// Over a shadow, each buffer shown holds the whole frame: this present's
// damage and that of every present it missed.
TEST_F(Core, BuffersOverAShadowGetTheDamageTheyMissed) {
    const zr_rect_t frames[] = {{1, 1, 2, 2}, {5, 0, 3, 8}, {0, 6, 16, 2}, {9, 2, 1, 1},
                                {3, 3, 4, 4}, {14, 7, 2, 1}, {0, 0, 1, 1}, {7, 4, 2, 3}};
    for (const int flags : {ZR_INIT_DOUBLE_BUFFER | ZR_INIT_SHADOW, ZR_INIT_TRIPLE_BUFFER | ZR_INIT_SHADOW}) {
        SCOPED_TRACE("flags " + std::to_string(flags));
        ASSERT_EQ(memory_display_open(flipper, flags), 0);
        dc_t *dc = zr_get_screen_dc();
        ASSERT_NE(dc, nullptr);
        for (int f = 0; f < 8; ++f) {
            const zr_rect_t &r = frames[f];
            for (int y = r.y; y < r.y + r.height; ++y)
                for (int x = r.x; x < r.x + r.width; ++x)
                    zr_set_pixel(dc, x, y, color_t{std::uint8_t(30 * f), std::uint8_t(x * 9), std::uint8_t(y * 20), 255});
            ASSERT_EQ(zr_present(&r, 1), 0);
            const std::vector<unsigned char> stored = memory_display_buffer(memory_display_shown());
            for (int y = 0; y < zr_fb.height; ++y)
                ASSERT_EQ(std::memcmp(stored.data() + y * zr_fb.bytes_per_line, zr_fb.mapped + y * zr_fb.bytes_per_line,
                                      static_cast<std::size_t>(zr_fb.width) * 4),
                          0)
                    << "frame " << f << " row " << y;
        }
        zr_release_dc(dc);
        memory_display_close();
    }
}

// Sixteen rectangles are copied and flushed as given; a seventeenth makes
// the whole screen.
TEST_F(Core, MoreThanSixteenRectanglesAreTheWholeScreen) {
    const memory_display d{.most_buffers = 1, .needs_flush = true};
    zr_rect_t dots[17];
    std::string given = "flush 0";
    for (int i = 0; i < 17; ++i) {
        dots[i] = zr_rect_t{i % 16, i / 16, 1, 1};
        if (i < 16) given.append(" ").append(std::to_string(i)).append(",0,1,1");
    }
    for (const int count : {16, 17}) {
        ASSERT_EQ(memory_display_open(d, ZR_INIT_SHADOW), 0);
        std::memset(zr_fb.mapped, 0xAB, static_cast<std::size_t>(zr_fb.bytes));
        memory_display_clear_calls();
        ASSERT_EQ(zr_present(dots, count), 0);
        EXPECT_EQ(memory_display_calls(), call_log{count == 16 ? given : "flush 0 0,0,16,8"});
        const std::vector<unsigned char> screen = memory_display_buffer(0);
        EXPECT_EQ(screen[static_cast<std::size_t>(5 * zr_fb.bytes_per_line)], count == 17 ? 0xAB : 0x00) << count;
        EXPECT_EQ(screen[15 * 4], 0xAB);
        memory_display_close();
    }
}

// Waits up to 5 s for the automatic flush to have flushed rows; returns the
// rows flushed, one flush call after another.
std::vector<int> rows_flushed(std::size_t calls_before, int want_rows) {
    std::vector<int> rows;
    for (int tries = 0; tries < 1000 && static_cast<int>(rows.size()) < want_rows; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        rows.clear();
        const call_log calls = memory_display_calls();
        for (std::size_t i = calls_before; i < calls.size(); ++i) {
            int x = 0, y = 0, w = 0, h = 0, used = 0;
            for (const char *p = calls[i].c_str() + 7; calls[i].rfind("flush 0 ", 0) == 0 &&
                                                       std::sscanf(p, " %d,%d,%d,%d%n", &x, &y, &w, &h, &used) == 4;
                 p += used) {
                EXPECT_TRUE(x == 0 && w == zr_fb.width) << calls[i];
                for (int r = y; r < y + h; ++r) rows.push_back(r);
            }
        }
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

// Drawing on the front buffer of a device that needs flushing reaches the
// screen row by row until the first zr_present; nowhere else does this run.
TEST_F(Core, ChangedRowsAreFlushedUntilTheFirstPresent) {
    const memory_display d{.most_buffers = 1, .needs_flush = true};
    ASSERT_EQ(memory_display_open(d, 0), 0);
    EXPECT_TRUE(zr::auto_flush_running());
    dc_t *dc = zr_get_screen_dc();
    ASSERT_NE(dc, nullptr);
    zr_set_pixel(dc, 3, 5, color_t{255, 0, 0, 255});
    EXPECT_EQ(rows_flushed(0, 1), std::vector<int>{5});
    std::size_t before = memory_display_calls().size();
    zr_set_pixel(dc, 0, 1, color_t{0, 255, 0, 255});
    zr_set_pixel(dc, 15, 6, color_t{0, 255, 0, 255});
    EXPECT_EQ(rows_flushed(before, 2), (std::vector<int>{1, 6}));
    ASSERT_EQ(zr_present(nullptr, 0), 0);
    EXPECT_FALSE(zr::auto_flush_running());
    before = memory_display_calls().size();
    zr_set_pixel(dc, 3, 3, color_t{0, 0, 255, 255});
    ASSERT_EQ(zr_present(nullptr, 0), 0);
    EXPECT_EQ(memory_display_calls().size(), before + 1) << "only the present's own flush";
    zr_release_dc(dc);
    memory_display_close();

    // Stopped by zr_close as well; never started where nothing needs it.
    ASSERT_EQ(memory_display_open(d, 0), 0);
    memory_display_close();
    EXPECT_FALSE(zr::auto_flush_running());
    const memory_display buffered{.vblank = true, .needs_flush = true};
    const std::pair<memory_display, int> idle[] = {
        {single, 0}, {d, ZR_INIT_SHADOW}, {d, ZR_INIT_VSYNC | ZR_INIT_DOUBLE_BUFFER}, {buffered, ZR_INIT_DOUBLE_BUFFER}};
    for (const auto &[device, flags] : idle) {
        ASSERT_EQ(memory_display_open(device, flags), 0);
        EXPECT_FALSE(zr::auto_flush_running()) << "flags " << flags;
        memory_display_close();
    }
}

// ---- the framebuffer backend on the virtual device

class Present : public ::testing::Test {
protected:
    void TearDown() override {
        vfb_close();
        zr_error_code = 0;
    }
};

// The shadow copies the whole bytes each damaged row touches, and no others
// (below 8 bits a byte holds several pixels; the padding is never copied).
TEST_F(Present, ShadowCopiesTheBytesOfTheDamageAtEveryDepth) {
    const zr_rect_t damage[] = {{3, 1, 6, 2}, {20, 5, 4, 4}};  // pixels 3 .. 8; pixel 20, the last of a row
    for (const int depth : {1, 2, 4, 8, 16, 24}) {
        SCOPED_TRACE("depth " + std::to_string(depth));
        ASSERT_EQ(vfb_open({.width = 21, .height = 6, .depth = depth, .line_length = 64, .init_flags = ZR_INIT_SHADOW}),
                  0);
        std::memset(zr_fb.mapped, 0xA5, static_cast<size_t>(zr_fb.bytes));  // drawn on the shadow
        const auto bytes_of = [&](int x0, int x1) { return std::pair{x0 * depth / 8, (x1 * depth + 7) / 8}; };
        // Then the whole screen: every row's pixels, never the padding.
        for (const bool whole : {false, true}) {
            ASSERT_EQ(whole ? zr_present(nullptr, 0) : zr_present(damage, 2), 0);
            const std::vector<unsigned char> mem = vfb_memory();
            ASSERT_EQ(mem.size(), 6u * 64);
            for (int y = 0; y < 6; ++y) {
                const auto [first, end] = whole ? bytes_of(0, 21) : y == 1 || y == 2 ? bytes_of(3, 9)
                                                                 : y == 5          ? bytes_of(20, 21)
                                                                                   : std::pair{0, 0};
                for (int b = 0; b < 64; ++b)
                    ASSERT_EQ(mem[size_t(y) * 64 + b], b >= first && b < end ? 0xA5 : 0) << whole << " row " << y << " byte " << b;
            }
        }
        vfb_close();
    }
}

// The virtual device answers FBIO_WAITFORVSYNC at once, as the framebuffer
// emulations of DRM drivers do: no vsync, and paced where asked for. A pan
// the device refuses is ERR_PRESENT, and the screen found (one screen high,
// not panned) is put back at close; one refused at open leaves a shadow.
TEST_F(Present, PanShowsOnlyFinishedScreensOrFallsBackToTheShadow) {
    for (const int buffers : {2, 3}) {
        SCOPED_TRACE(std::to_string(buffers) + " buffers");
        const int flags = buffers == 2 ? ZR_INIT_DOUBLE_BUFFER : ZR_INIT_TRIPLE_BUFFER | ZR_INIT_VSYNC;
        ASSERT_EQ(vfb_open({.width = 16, .height = 8, .depth = 32, .init_flags = flags}), 0);
        EXPECT_EQ(summary(info()), buffers == 2 ? "pan 2 2 -" : "pan 3 3 p");
        dc_t *dc = zr_get_screen_dc();
        for (const unsigned c : {0xFF0000u, 0x00FF00u, 0x0000FFu}) {
            const unsigned before = shown(2, 2);
            zr_clear(dc, colour(c));
            EXPECT_EQ(shown(2, 2), before);
            ASSERT_EQ(zr_present(nullptr, 0), 0);
            EXPECT_EQ(shown(2, 2), c);
        }
        zr_clear(dc, colour(0xFFFFFF));  // into buffer 0 with two
        setenv("ZR_VFB_FAIL", "pan", 1);
        EXPECT_EQ(zr_present(nullptr, 0), ERR_PRESENT);
        EXPECT_EQ(zr_error_code, ERR_PRESENT);
        setenv("ZR_VFB_FAIL", "", 1);
        zr_release_dc(dc);
        zr_close();
        EXPECT_TRUE(buffers == 3 || shown(2, 2) == 0xFFFFFFu);
        vfb_close();
    }
    ASSERT_EQ(vfb_open({.width = 16, .height = 8, .depth = 32, .fail = "pan", .init_flags = ZR_INIT_TRIPLE_BUFFER}), 0);
    EXPECT_EQ(summary(info()), "shadow 1 1 -");
}

// ---- the DRM backend on the virtual device's node

// Drivers' refusals the virtual node does not make, made here: libdrm's calls
// as the library makes them, answered by these definitions first.
struct drm_quirks {
    bool no_rgb565 = false;         // ADDFB2 refuses 16 bits
    bool only_bgr = false;          // ADDFB2 takes XBGR8888 and BGR565 only
    bool second_pitch = false;      // the second dumb buffer's rows are 64 bytes shorter
    bool refuse_setcrtc_2 = false;  // the second SETCRTC fails
    int creates = 0, setcrtcs = 0;
} quirks;

struct create_dumb_args {  // struct drm_mode_create_dumb
    std::uint32_t height, width, bpp, flags, handle, pitch;
    std::uint64_t size;
};

extern "C" {
int drmModeAddFB2(int fd, std::uint32_t w, std::uint32_t h, std::uint32_t format, const std::uint32_t handles[4],
                  const std::uint32_t pitches[4], const std::uint32_t offsets[4], std::uint32_t *id,
                  std::uint32_t flags) {
    static const auto real = zr_vfb::detail::next<decltype(&drmModeAddFB2)>("drmModeAddFB2");
    if (quirks.no_rgb565 && (format == 0x36314752 || format == 0x36314742)) return errno = EINVAL, -EINVAL;  // 'RG16', 'BG16'
    if (quirks.only_bgr && (format == 0x36314752 || format == 0x34325258)) return errno = EINVAL, -EINVAL;  // 'XR24'
    return real(fd, w, h, format, handles, pitches, offsets, id, flags);
}
int drmIoctl(int fd, unsigned long request, void *arg) {
    static const auto real = zr_vfb::detail::next<decltype(&drmIoctl)>("drmIoctl");
    const int r = real(fd, request, arg);
    if (r == 0 && request == _IOWR('d', 0xB2, create_dumb_args) && quirks.second_pitch && ++quirks.creates == 2)
        static_cast<create_dumb_args *>(arg)->pitch -= 64;
    return r;
}
int drmModeSetCrtc(int fd, std::uint32_t crtc, std::uint32_t fb, std::uint32_t x, std::uint32_t y,
                   std::uint32_t *connectors, int count, void *mode) {
    static const auto real = zr_vfb::detail::next<decltype(&drmModeSetCrtc)>("drmModeSetCrtc");
    if (quirks.refuse_setcrtc_2 && ++quirks.setcrtcs == 2) return errno = EINVAL, -EINVAL;
    return real(fd, crtc, fb, x, y, connectors, count, mode);
}
}

class Drm : public ::testing::Test {
protected:
    static constexpr const char *node = "/dev/zr-test-dri";
    void SetUp() override {
        if (!ZR_HAVE_DRM) GTEST_SKIP() << "built without libdrm (Debian: libdrm-dev): no DRM backend";
    }
    int open(int flags, const char *fail = "", int bpp = 32, const char *flip_delay = "0", const char *size = "64x48") {
        use_drm_node(node, size, bpp, fail, flip_delay);
        return zr_init_ex(node, flags);
    }
    void TearDown() override {
        zr_close();
        if (const char *memory = std::getenv("ZR_VFB_MEMORY")) std::remove(memory);
        unsetenv("ZR_DRM_CONNECTOR");
        unsetenv("ZR_DEBUG");
        quirks = drm_quirks{};
        EXPECT_EQ(zr_vfb::drm_open_descriptors(), 0);
        zr_error_code = 0;
    }
};

// The preferred mode (listed second), drawn on at once; zr_close gives the
// CRTC back to the console and lets go of the node.
TEST_F(Drm, FrontBufferInThePreferredModeAndTheConsoleBackAtClose) {
    ASSERT_EQ(open(0), 0);
    EXPECT_EQ(info().backend, ZR_BACKEND_DRM);
    EXPECT_EQ(summary(info()), "front 1 1 -");
    EXPECT_TRUE(zr_fb.width == 64 && zr_fb.height == 48 && zr_fb.bits_per_pixel == 32 && zr_fb.colors == 32);
    dc_t *dc = zr_get_screen_dc();
    ASSERT_NE(dc, nullptr);
    zr_clear(dc, color_t{0x10, 0x20, 0x30, 255});
    zr_set_pixel(dc, 63, 47, color_t{0xFF, 0, 0, 255});
    EXPECT_TRUE(shown(0, 0) == 0x102030u && shown(63, 47) == 0xFF0000u);
    zr_release_dc(dc);
    zr_close();
    EXPECT_EQ(zr_vfb::drm_crtc().fb_id, zr_vfb::drm_console_fb);
    EXPECT_EQ(shown(0, 0), zr_vfb::drm_console_pixel);
    EXPECT_FALSE(zr_vfb::drm_master_held());

    ASSERT_EQ(open(ZR_INIT_RGB565, "", 16), 0);  // 5-6-5 where asked for
    EXPECT_TRUE(zr_fb.bits_per_pixel == 16 && zr_fb.colors == 16);
    EXPECT_TRUE(zr::auto_flush_running()) << "the node takes DIRTYFB";
    zr_close();
    // A driver without DIRTYFB is never flushed; one that prefers a shadow
    // gets it under its buffers.
    for (const int flags : {0, ZR_INIT_DOUBLE_BUFFER}) {
        ASSERT_EQ(open(flags, flags ? "drm-no-dirty,drm-prefer-shadow" : "drm-no-dirty"), 0);
        EXPECT_FALSE(zr::auto_flush_running());
        EXPECT_EQ(summary(info()), flags ? "flip 2 1 -" : "front 1 1 -");
        zr_close();
    }
}

// Two and three buffers: the screen shows only finished frames, and after a
// present every screen DC holds the frame shown buffer_age presents ago.
TEST_F(Drm, FlipsShowOnlyFinishedFramesAndTheBackBufferKeepsItsAge) {
    for (const int buffers : {2, 3}) {
        SCOPED_TRACE(std::to_string(buffers) + " buffers");
        ASSERT_EQ(open(buffers == 2 ? ZR_INIT_DOUBLE_BUFFER : ZR_INIT_TRIPLE_BUFFER), 0);
        // The virtual node's flips land at once: no vsync.
        EXPECT_EQ(summary(info()), buffers == 2 ? "flip 2 2 -" : "flip 3 3 -");
        dc_t *dc = zr_get_screen_dc();
        dc_t *second = zr_get_screen_dc();  // every screen DC follows the buffers
        const unsigned frames[] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00};
        for (int f = 0; f < 4; ++f) {
            const unsigned before = shown(5, 5);
            zr_clear(f % 2 ? second : dc, colour(frames[f]));
            EXPECT_EQ(shown(5, 5), before) << "frame " << f << " showed before its present";
            ASSERT_EQ(zr_present(nullptr, 0), 0);
            EXPECT_EQ(shown(5, 5), frames[f]) << "frame " << f;
            EXPECT_EQ(dc->mapped, second->mapped);
            if (f + 1 >= buffers) {
                color_t c{};
                zr_get_pixel(dc, 5, 5, &c);
                EXPECT_EQ(unsigned(c.red) << 16 | c.green << 8 | c.blue, frames[f + 1 - buffers]) << "frame " << f;
            }
        }
        zr_release_dc(second);
        zr_release_dc(dc);
        zr_close();
    }
}

// Refusals leave nothing open, and ZR_DEBUG=1 says why on standard error;
// a fallback is said too.
TEST_F(Drm, FallbacksRefusalsAndTheirCauses) {
    const struct {
        const char *fail, *connector;
        int code;
        const char *cause;
    } refusals[] = {
        {"drm-not-master", "", ERR_DRM_MASTER, "zr: zr-vfb: DRM master is held by another program (drmSetMaster: "},
        {"drm-no-connector", "", ERR_NO_CONNECTOR, "found: Virtual-1 (not connected, 0 modes)"},
        {"drm-no-dumb", "", ERR_NO_DUMB_BUFFER, "zr-vfb has no dumb buffers"},
        {"", "HDMI-A-9", ERR_NO_CONNECTOR, " named HDMI-A-9; found: Virtual-1 (connected, 2 modes)"},
        // The CRTC as found cannot be read, so it could not be given back.
        {"drm-no-getcrtc", "", ERR_MODE_SET, "cannot be read (Invalid argument)"},
    };
    for (const auto &r : refusals) {
        setenv("ZR_DRM_CONNECTOR", r.connector, 1);
        for (const bool debug : {false, true}) {
            setenv("ZR_DEBUG", debug ? "1" : "0", 1);
            int code = -1, error = -1, presented = -1;
            const std::string said = capture_stderr([&] {
                code = open(ZR_INIT_DOUBLE_BUFFER, r.fail);
                error = zr_error_code;
                presented = zr_present(nullptr, 0);
            });
            EXPECT_TRUE(code == r.code && error == r.code) << r.fail << r.connector;
            EXPECT_EQ(said.find(r.cause) != std::string::npos, debug) << said;
            EXPECT_EQ(zr_fb.fd, -1);
            EXPECT_EQ(zr_vfb::drm_open_descriptors(), 0) << r.fail;
            EXPECT_EQ(zr_get_screen_dc(), nullptr);
            EXPECT_EQ(presented, ERR_NO_DEVICE);
            EXPECT_EQ(zr_vfb::drm_crtc().fb_id, zr_vfb::drm_console_fb) << r.fail;
        }
    }
    setenv("ZR_DRM_CONNECTOR", "Virtual-1", 1);
    const std::string said = capture_stderr([&] { EXPECT_EQ(open(ZR_INIT_TRIPLE_BUFFER, "drm-one-flip"), 0); });
    EXPECT_NE(said.find("zr: page flip to buffer 0: Invalid argument"), std::string::npos) << said;
    EXPECT_NE(said.find("zr: granted: 64x48, 32 bits a pixel, shadow copy, 1 buffer"), std::string::npos) << said;
    EXPECT_NE(said.find("3 buffers asked for, 1 granted"), std::string::npos) << said;
}

// Drivers that show a dumb buffer only when told (virtio-gpu) get the damage
// of each present; a program that never presents is flushed by the library.
TEST_F(Drm, DamageReachesDriversThatNeedIt) {
    ASSERT_EQ(open(0, "drm-dirty-needed"), 0);
    dc_t *dc = zr_get_screen_dc();
    zr_clear(dc, color_t{255, 255, 255, 255});
    // No present: the automatic flush brings the picture within a few ticks.
    for (int tries = 0; tries < 1000 && shown(20, 20) != 0xFFFFFFu; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(shown(20, 20), 0xFFFFFFu);
    const zr_rect_t damage{10, 10, 5, 5};
    ASSERT_EQ(zr_present(&damage, 1), 0);
    zr_set_pixel(dc, 12, 12, color_t{0, 0, 0, 255});
    zr_set_pixel(dc, 20, 20, color_t{0, 0, 0, 255});
    ASSERT_EQ(zr_present(&damage, 1), 0);
    EXPECT_EQ(shown(12, 12), 0u);
    EXPECT_EQ(shown(20, 20), 0xFFFFFFu) << "outside the damage, after the first present";
    const auto calls = zr_vfb::drm_dirty_calls();
    ASSERT_EQ(calls.back().clips.size(), 1u);
    const zr_vfb::drm_clip c = calls.back().clips[0];
    EXPECT_TRUE(c.x1 == 10 && c.y1 == 10 && c.x2 == 15 && c.y2 == 15);
    zr_release_dc(dc);
    // One that answers DIRTYFB with ENOSYS after taking it is asked no more.
    const std::size_t told = zr_vfb::drm_dirty_calls().size();
    setenv("ZR_VFB_FAIL", "drm-dirty-needed,drm-no-dirty", 1);
    ASSERT_EQ(zr_present(nullptr, 0), 0);
    setenv("ZR_VFB_FAIL", "drm-dirty-needed", 1);
    ASSERT_EQ(zr_present(nullptr, 0), 0);
    EXPECT_EQ(zr_vfb::drm_dirty_calls().size(), told);
}

// Drivers that fall short get what they can do, or nothing is left open.
// Without flips, or with a flip probe that fails part way (the flip back
// refused, the first flip landing late as on USB panels): a shadow of the
// buffer shown, which shows nothing until presented.
TEST_F(Drm, DriversThatFallShortGetWhatTheyCanDo) {
    constexpr int D = ZR_INIT_DOUBLE_BUFFER, T = ZR_INIT_TRIPLE_BUFFER;
    const struct {
        const char *what;
        drm_quirks q;
        int flags;
        const char *fail, *flip_delay;
        int code;
        const char *granted;  // summary; bits a pixel after it
        int bits;
        unsigned blue = 0x0000FF;  // pure blue as the node stores it
    } cases[] = {
        {"flip back refused", {}, T, "drm-one-flip", "0", 0, "shadow 1 1 -", 32},
        {"first flip late", {}, D, "", "1500000", 0, "shadow 1 1 -", 32},
        {"no flips", {}, D, "drm-no-flip", "0", 0, "shadow 1 1 -", 32},
        {"no 5-6-5", {.no_rgb565 = true}, ZR_INIT_RGB565, "", "0", 0, "front 1 1 -", 32},
        {"second pitch", {.second_pitch = true}, D, "", "0", 0, "shadow 1 1 -", 32},
        {"no way back", {.refuse_setcrtc_2 = true}, T, "drm-one-flip", "0", ERR_MODE_SET, "", 0},
        {"XBGR8888 only", {.only_bgr = true}, D, "", "0", 0, "flip 2 2 -", 32, 0xFF0000},
        {"BGR565 only", {.only_bgr = true}, ZR_INIT_RGB565, "", "0", 0, "front 1 1 -", 16, 0xF80000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        quirks = c.q;
        ASSERT_EQ(open(c.flags, c.fail, 32, c.flip_delay, "48x48"), c.code);
        if (c.code != 0) {
            EXPECT_EQ(zr_fb.fd, -1);
            EXPECT_EQ(zr_vfb::drm_open_descriptors(), 0);
            EXPECT_EQ(zr_vfb::drm_crtc().fb_id, zr_vfb::drm_console_fb);
            continue;
        }
        EXPECT_EQ(summary(info()), c.granted);
        EXPECT_EQ(zr_fb.bits_per_pixel, c.bits);
        dc_t *dc = zr_get_screen_dc();
        zr_clear(dc, color_t{0, 0, 255, 255});
        zr_set_pixel(dc, 47, 47, color_t{255, 255, 255, 255});
        EXPECT_TRUE(c.granted[0] != 's' || shown(5, 5) != c.blue) << "drawn on the shadow";
        ASSERT_EQ(zr_present(nullptr, 0), 0);
        EXPECT_EQ(shown(5, 5), c.blue);
        EXPECT_EQ(shown(47, 47), c.bits == 16 ? 0xF8FCF8u : 0xFFFFFFu);
        zr_release_dc(dc);
        zr_close();
        EXPECT_EQ(zr_vfb::drm_crtc().fb_id, zr_vfb::drm_console_fb);
        EXPECT_EQ(zr_vfb::drm_open_descriptors(), 0);
    }
}

// The virtual device as a character device, fb7, whose sysfs folder has a
// drm link (the virtual device answers access() for the path listed).
bool as_drm_emulation = false;

extern "C" int fstat(int fd, struct stat *st) {
    static const auto real = zr_vfb::detail::next<int (*)(int, struct stat *)>("fstat");
    const int r = real(fd, st);
    if (r == 0 && as_drm_emulation) {
        st->st_mode = S_IFCHR | 0660;
        st->st_rdev = makedev(29, 7);
    }
    return r;
}

// A DRM driver's framebuffer emulation takes a pan and keeps showing the
// first screen: buffers asked for are a shadow.
TEST_F(Present, ADrmDriversEmulationGetsAShadow) {
    ASSERT_EQ(vfb_open({}), 0);
    zr_close();
    setenv("ZR_VFB_DEVICE", (std::string(vfb_device_path()) + ":/sys/class/graphics/fb7/device/drm").c_str(), 1);
    as_drm_emulation = true;
    ASSERT_EQ(zr_init_ex(vfb_device_path(), ZR_INIT_DOUBLE_BUFFER), 0);
    as_drm_emulation = false;
    EXPECT_EQ(summary(info()), "shadow 1 1 -");
}

}  // namespace
