// Rotated screens: the program draws in its own orientation and the panel
// shows that picture turned clockwise. Then zr_bitblt90 and zr_bitblt270
// through the fast rows against the plain path, on every screen format.
#include "display.hpp"
#include "vfb_screen.hpp"
#include "fast_paths.hpp"
#include "fb_dc.hpp"
#include "memory_backend.hpp"
#include "rotate.hpp"
#include "vfb.hpp"
#include "zr_internal.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace zr_test;

namespace {

using uchar = unsigned char;

struct close_guard {
    ~close_guard() { memory_display_close(); }
};

int flag_of(int degrees) { return degrees / 90 * ZR_INIT_ROTATE_90; }

// Where the picture's pixel (x, y) shows on a pw x ph panel, turned clockwise.
void on_panel(int degrees, int x, int y, int pw, int ph, int *px, int *py) {
    switch (degrees) {
        case 90: *px = pw - 1 - y, *py = x; break;
        case 180: *px = pw - 1 - x, *py = ph - 1 - y; break;
        case 270: *px = y, *py = ph - 1 - x; break;
        default: *px = x, *py = y;
    }
}

// A byte pattern of pixel (x, y) and a generation (pixels of up to 4 bytes); the top byte of 32-bit
// pixels holds no channel and stays 0.
void pattern(uchar *p, int x, int y, int gen, int bytes) {
    for (int k = 0; k < bytes && k < 4; ++k) p[k] = uchar(x * 7 + y * 13 + k * 61 + gen * 101);
    if (bytes == 4) p[3] = 0;
}

void draw_picture(int gen) {
    const int bytes = zr_fb.bits_per_pixel / 8;
    for (int y = 0; y < zr_fb.height; ++y)
        for (int x = 0; x < zr_fb.width; ++x) pattern(zr_fb.mapped + y * zr_fb.bytes_per_line + x * bytes, x, y, gen, bytes);
}

// "" when every panel pixel inside the turned rectangle shows generation
// gen and every other one generation old (old < 0: left alone).
std::string panel_shows(const memory_display &d, int degrees, int gen, int old, zr_rect_t turned_damage) {
    const std::vector<uchar> panel = memory_display_buffer(memory_display_shown());
    const int bytes = d.bits_per_pixel / 8, pitch = d.width * bytes + 4;
    const int lw = degrees % 180 ? d.height : d.width, lh = degrees % 180 ? d.width : d.height;
    for (int y = 0; y < lh; ++y)
        for (int x = 0; x < lw; ++x) {
            int px = 0, py = 0;
            on_panel(degrees, x, y, d.width, d.height, &px, &py);
            const zr_rect_t &r = turned_damage;
            const bool inside = px >= r.x && px < r.x + r.width && py >= r.y && py < r.y + r.height;
            if (!inside && old < 0) continue;
            uchar want[4];
            pattern(want, x, y, inside ? gen : old, bytes);
            if (std::memcmp(panel.data() + py * pitch + px * bytes, want, bytes) != 0)
                return "picture (" + std::to_string(x) + "," + std::to_string(y) + ") wrong at panel (" +
                       std::to_string(px) + "," + std::to_string(py) + ")";
        }
    return "";
}

struct turn_case {
    int degrees, bits, buffers;
};

std::vector<turn_case> turn_cases() {
    std::vector<turn_case> all;
    for (int degrees : {90, 180, 270})
        for (int bits : {16, 32, 24})
            for (int buffers : {1, 2, 3}) all.push_back({degrees, bits, buffers});
    return all;
}

// A panel whose sides are no whole number of the fast rows' blocks.
memory_display odd_panel(int bits, int buffers) {
    return memory_display{.width = 37, .height = 21, .bits_per_pixel = bits, .most_buffers = buffers, .needs_flush = true};
}

// The flush the device is told of rectangle r of buffer 0.
std::string flush_of(const zr_rect_t &r) {
    return "flush 0 " + std::to_string(r.x) + "," + std::to_string(r.y) + "," + std::to_string(r.width) + "," +
           std::to_string(r.height);
}

int buffer_flags(int buffers) {
    return buffers == 3 ? ZR_INIT_TRIPLE_BUFFER : buffers == 2 ? ZR_INIT_DOUBLE_BUFFER : 0;
}

// The program sees the turned size; the damage is turned on the panel and
// in what the device is told.
TEST(Rotate, PanelShowsThePictureTurnedAndOnlyTheDamage) {
    for (const turn_case &c : turn_cases()) {
        SCOPED_TRACE(std::to_string(c.degrees) + " degrees, " + std::to_string(c.bits) + " bits, " +
                     std::to_string(c.buffers) + " buffers");
        close_guard done;
        const memory_display d = odd_panel(c.bits, c.buffers);
        ASSERT_EQ(memory_display_open(d, flag_of(c.degrees) | buffer_flags(c.buffers)), 0);
        const bool sideways = c.degrees != 180;
        EXPECT_EQ(zr_fb.width, sideways ? d.height : d.width);
        EXPECT_EQ(zr_fb.height, sideways ? d.width : d.height);
        dc_t *buffer = zr_get_buffer_dc(-1, -1);
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(buffer->width, zr_fb.width);
        EXPECT_EQ(buffer->height, zr_fb.height);
        zr_release_dc(buffer);
        zr_display_info_t info{};
        ASSERT_EQ(zr_display_info(&info), 0);
        EXPECT_EQ(info.rotation, c.degrees);
        EXPECT_EQ(info.rotation_method, ZR_ROTATE_SOFTWARE);
        EXPECT_EQ(info.panel_width, d.width);
        EXPECT_EQ(info.panel_height, d.height);
        zr::display_geometry g;
        ASSERT_TRUE(zr::current_display_geometry(&g));
        EXPECT_TRUE(g.panel_width == d.width && g.panel_height == d.height && g.rotation == c.degrees);

        draw_picture(1);
        ASSERT_EQ(zr_present(nullptr, 0), 0);
        EXPECT_EQ(panel_shows(d, c.degrees, 1, -1, {0, 0, d.width, d.height}), "");

        // Damage reaching past the picture's edge is clipped first.
        const zr_rect_t damage{zr_fb.width - 9, 3, 20, 6};
        const zr_rect_t clipped{zr_fb.width - 9, 3, 9, 6};
        const zr_rect_t turned = zr::turned_rect(clipped, c.degrees, zr_fb.width, zr_fb.height);
        if (c.buffers == 1) {
            draw_picture(2);
            memory_display_clear_calls();
            ASSERT_EQ(zr_present(&damage, 1), 0);
            EXPECT_EQ(panel_shows(d, c.degrees, 2, 1, turned), "");
            EXPECT_EQ(memory_display_calls().at(0), flush_of(turned));
        } else {
            // Each back buffer gets the damage it missed.
            for (int i = 0; i < c.buffers; ++i) {
                draw_picture(2);
                ASSERT_EQ(zr_present(i == 0 ? nullptr : &damage, i == 0 ? 0 : 1), 0);
            }
            EXPECT_EQ(panel_shows(d, c.degrees, 2, 2, {0, 0, d.width, d.height}), "");
        }
    }
}

// The flags' turn, plus the panel's own when asked for; a turning plane
// leaves the buffers to the program.
TEST(Rotate, FlagsPanelOrientationAndPlane) {
    struct row {
        int flags, panel_rotation;
        bool plane;
        int rotation, method, width, height;
        const char *open;
    };
    const row rows[] = {
        {0, 90, false, 0, ZR_ROTATE_NONE, 37, 21, "open 1"},
        {ZR_INIT_ROTATE_PANEL, 90, false, 90, ZR_ROTATE_SOFTWARE, 21, 37, "open 1 panel"},
        {ZR_INIT_ROTATE_PANEL | ZR_INIT_ROTATE_270, 180, false, 90, ZR_ROTATE_SOFTWARE, 21, 37, "open 1 turn 270 panel"},
        {ZR_INIT_ROTATE_PANEL | ZR_INIT_ROTATE_180, 180, false, 0, ZR_ROTATE_NONE, 37, 21, "open 1 turn 180 panel"},
        {ZR_INIT_ROTATE_90, 0, true, 90, ZR_ROTATE_PLANE, 21, 37, "open 1 turn 90"},
        {ZR_INIT_ROTATE_180, 0, false, 180, ZR_ROTATE_SOFTWARE, 37, 21, "open 1 turn 180"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.open);
        close_guard done;
        memory_display d = odd_panel(32, 1);
        d.panel_rotation = r.panel_rotation;
        d.plane_turns = r.plane;
        ASSERT_EQ(memory_display_open(d, r.flags), 0);
        EXPECT_EQ(memory_display_calls().at(0), r.open);
        zr_display_info_t info{};
        ASSERT_EQ(zr_display_info(&info), 0);
        EXPECT_EQ(info.rotation, r.rotation);
        EXPECT_EQ(info.rotation_method, r.method);
        EXPECT_TRUE(info.panel_width == 37 && info.panel_height == 21);
        EXPECT_EQ(info.method, r.method == ZR_ROTATE_SOFTWARE ? ZR_PRESENT_SHADOW : ZR_PRESENT_FRONT);
        EXPECT_TRUE(zr_fb.width == r.width && zr_fb.height == r.height);
        // The plane scans the program's own buffer: it draws there directly.
        if (r.plane) {
            EXPECT_EQ(zr_fb.bytes_per_line, 21 * 4 + 4);
        }
    }
    // Nothing is turned on a closed display.
    zr::display_geometry g;
    EXPECT_FALSE(zr::current_display_geometry(&g));
    EXPECT_EQ(g.rotation, 0);
}

// Drawing starts from what the panel shows, turned back into the picture's
// orientation: presenting it unchanged leaves the panel as it was.
TEST(Rotate, ThePictureStartsAsThePanelShowsIt) {
    for (const int degrees : {90, 180, 270}) {
        close_guard done;
        memory_display d = odd_panel(16, 1);
        d.patterned = true;
        ASSERT_EQ(memory_display_open(d, flag_of(degrees)), 0);
        const std::vector<uchar> before = memory_display_buffer(0);
        ASSERT_EQ(zr_present(nullptr, 0), 0);
        EXPECT_EQ(memory_display_buffer(0), before) << degrees;
    }
}

// A program that never presents: what it draws reaches the panel turned,
// and the device is told the turned rows.
TEST(Rotate, WithoutPresentsTheAutomaticFlushTurnsTheDrawing) {
    for (const int degrees : {90, 270}) {
        close_guard done;
        const memory_display d = odd_panel(16, 1);
        ASSERT_EQ(memory_display_open(d, flag_of(degrees)), 0);
        EXPECT_TRUE(zr::auto_flush_running());
        dc_t *screen = zr_get_screen_dc();
        ASSERT_NE(screen, nullptr);
        memory_display_clear_calls();
        // Row 4 of the picture is a column of the panel.
        zr_hline(screen, 0, zr_fb.width - 1, 4, color_t{255, 255, 255, 255});
        const zr_rect_t turned = zr::turned_rect({0, 4, zr_fb.width, 1}, degrees, zr_fb.width, zr_fb.height);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (memory_display_calls().empty() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_FALSE(memory_display_calls().empty());
        // A tick may have caught the row half drawn: the next ones complete it.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(memory_display_calls().at(0), flush_of(turned)) << degrees;
        const std::vector<uchar> panel = memory_display_buffer(0);
        const int pitch = d.width * 2 + 4;
        for (int y = 0; y < d.height; ++y)
            for (int x = 0; x < d.width; ++x) {
                const bool lit = x >= turned.x && x < turned.x + turned.width && y >= turned.y && y < turned.y + turned.height;
                EXPECT_EQ(panel[y * pitch + 2 * x], lit ? 0xFF : 0) << degrees << " at " << x << "," << y;
            }
        zr_release_dc(screen);
    }
}

// A depth of less than a byte a pixel cannot be turned: the open fails.
TEST(Rotate, DepthsBelowAByteAreRefused) {
    close_guard done;
    memory_display d = odd_panel(1, 1);
    EXPECT_EQ(memory_display_open(d, ZR_INIT_ROTATE_90), ERR_INIT_FLAGS);
    EXPECT_EQ(zr_fb.fd, -1);
}

// ---- the DRM backend on the virtual node

class RotateDrm : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ZR_HAVE_DRM) GTEST_SKIP() << "built without libdrm: no DRM backend";
        memory = use_drm_node(node, "40x24");
    }
    void TearDown() override {
        zr_close();
        std::remove(memory.c_str());
        unsetenv("ZR_VFB_DRM_ROTATION");
        unsetenv("ZR_VFB_PANEL_TURN");
        EXPECT_EQ(zr_vfb::drm_open_descriptors(), 0);
    }
    static constexpr const char *node = "/dev/zr-test-dri-rotate";
    std::string memory;
};

// Turned by the plane or in software, the panel shows the picture turned.
TEST_F(RotateDrm, PlaneOrSoftwareThePanelShowsThePictureTurned) {
    for (const bool plane : {true, false})
        for (const int buffers : {1, 2})
            for (const int degrees : {90, 180, 270}) {
                SCOPED_TRACE(std::string(plane ? "plane, " : "software, ") + std::to_string(buffers) + " buffers, " +
                             std::to_string(degrees) + " degrees");
                if (plane) {
                    setenv("ZR_VFB_DRM_ROTATION", "1", 1);
                } else {
                    unsetenv("ZR_VFB_DRM_ROTATION");
                }
                ASSERT_EQ(zr_init_ex(node, flag_of(degrees) | buffer_flags(buffers)), 0);
                zr_display_info_t info{};
                ASSERT_EQ(zr_display_info(&info), 0);
                EXPECT_EQ(info.rotation, degrees);
                EXPECT_EQ(info.rotation_method, plane ? ZR_ROTATE_PLANE : ZR_ROTATE_SOFTWARE);
                EXPECT_TRUE(info.panel_width == 40 && info.panel_height == 24);
                EXPECT_EQ(zr_fb.width, degrees == 180 ? 40 : 24);
                zr::display_geometry g;
                ASSERT_TRUE(zr::current_display_geometry(&g));
                EXPECT_TRUE(g.panel_width == 40 && g.panel_height == 24 && g.rotation == degrees);
                dc_t *screen = zr_get_screen_dc();
                ASSERT_NE(screen, nullptr);
                for (int y = 0; y < zr_fb.height; ++y)
                    for (int x = 0; x < zr_fb.width; ++x)
                        zr_set_pixel(screen, x, y, color_t{uchar(x * 6), uchar(y * 6), uchar(x + y), 255});
                ASSERT_EQ(zr_present(nullptr, 0), 0);
                ASSERT_TRUE(zr_vfb::visible_screen().width == 40 && zr_vfb::visible_screen().height == 24);
                int wrong = 0;
                for (int y = 0; y < zr_fb.height; ++y)
                    for (int x = 0; x < zr_fb.width; ++x) {
                        int px = 0, py = 0;
                        on_panel(degrees, x, y, 40, 24, &px, &py);
                        wrong += shown(px, py) != (unsigned(x * 6) << 16 | unsigned(y * 6) << 8 | unsigned(x + y));
                    }
                EXPECT_EQ(wrong, 0);
                zr_release_dc(screen);
                zr_close();
                EXPECT_EQ(zr_vfb::drm_crtc().fb_id, zr_vfb::drm_console_fb);
            }
}

// The connector's panel orientation turns the picture only when asked for,
// and adds to the turn asked for.
TEST_F(RotateDrm, PanelOrientationWhenAskedFor) {
    setenv("ZR_VFB_PANEL_TURN", "270", 1);
    const int rows[][2] = {{0, 0}, {ZR_INIT_ROTATE_PANEL, 270}, {ZR_INIT_ROTATE_PANEL | ZR_INIT_ROTATE_180, 90}};
    for (const auto &r : rows) {
        ASSERT_EQ(zr_init_ex(node, r[0]), 0);
        zr_display_info_t info{};
        ASSERT_EQ(zr_display_info(&info), 0);
        EXPECT_EQ(info.rotation, r[1]) << r[0];
        zr_close();
    }
}

// ---- the quarter-turn rows against the plain path

struct path_guard {
    ~path_guard() {
        zr::set_plain_path_forced(false);
        zr::set_cpu_variants_allowed(true);
    }
};

// A screen-format DC over memory of its own, rows of either order.
struct surface {
    std::vector<uchar> memory;
    dc_t dc{};
    surface(zr::pixel_format f, int w, int h, int stride) {
        const int row = stride < 0 ? -stride : stride;
        memory.assign(static_cast<std::size_t>(row * h + 32), 0);
        dc.dc_type = DC_TYPE_SCREEN;
        dc.width = w;
        dc.height = h;
        dc.bytes_per_line = stride;
        dc.bytes = row * h;
        dc.mapped = memory.data() + 16 + (stride < 0 ? row * (h - 1) : 0);
        EXPECT_TRUE(zr::install_screen_format(&dc, f));
    }
};

// Random sizes, strides of either sign and bytes, in one format or two of a
// size: the fast rows (this CPU's and the portable ones) match the plain path.
TEST(Rotate, QuarterTurnsWriteWhatThePlainPathWrites) {
    path_guard restore;
    std::mt19937 rng(24);
    std::vector<std::pair<zr::pixel_format, int>> formats;
    zr::screen_formats::each([&]<class Fmt>() { formats.push_back({Fmt::id, Fmt::bytes}); });
    for (int round = 0; round < 300; ++round) {
        const auto [f, bytes] = formats[rng() % formats.size()];
        // One round in four reads a source of another format of the same size.
        zr::pixel_format from = f;
        if (rng() % 4 == 0)
            for (const auto &[g, b] : formats)
                if (g != f && b == bytes) from = g;
        const int sw = 1 + int(rng() % 70), sh = 1 + int(rng() % 70), dw = 1 + int(rng() % 70), dh = 1 + int(rng() % 70);
        const int s_stride = (sw * bytes + int(rng() % 3) * 4) * (rng() % 4 == 0 ? -1 : 1);
        const int d_stride = (dw * bytes + int(rng() % 3) * 4) * (rng() % 4 == 0 ? -1 : 1);
        const bool clockwise = rng() % 2 == 0;
        surface src(from, sw, sh, s_stride);
        for (uchar &b : src.memory) b = uchar(rng());
        std::vector<uchar> fresh(static_cast<std::size_t>(std::abs(d_stride) * dh + 32));
        for (uchar &b : fresh) b = uchar(rng());
        std::vector<uchar> want;
        for (int mode = 0; mode < 3; ++mode) {
            zr::set_plain_path_forced(mode == 0);
            zr::set_cpu_variants_allowed(mode != 1);
            surface dst(f, dw, dh, d_stride);
            dst.memory = fresh;
            dst.dc.mapped = dst.memory.data() + 16 + (d_stride < 0 ? -d_stride * (dh - 1) : 0);
            (clockwise ? zr_bitblt270 : zr_bitblt90)(&dst.dc, &src.dc);
            if (mode == 0) {
                want = dst.memory;
            } else {
                ASSERT_EQ(dst.memory, want) << "format " << int(f) << " " << sw << "x" << sh << " onto " << dw << "x"
                                            << dh << (clockwise ? " clockwise" : " counter-clockwise")
                                            << (mode == 1 ? " (portable)" : "");
            }
        }
    }
}

// A turn of a DC onto itself reads what it has written already: the plain
// path's pixel order decides the outcome, so the fast rows stay out.
TEST(Rotate, AQuarterTurnOntoItselfIsThePlainPaths) {
    path_guard restore;
    std::mt19937 rng(9);
    for (const zr::pixel_format f : {zr::pixel_format::rgb565, zr::pixel_format::xrgb8888})
        for (const bool clockwise : {false, true}) {
            const int bytes = f == zr::pixel_format::rgb565 ? 2 : 4;
            std::vector<uchar> fresh(40 * 40 * 4 + 32);
            for (uchar &b : fresh) b = uchar(rng());
            std::vector<uchar> want;
            for (const bool plain : {true, false}) {
                zr::set_plain_path_forced(plain);
                surface dc(f, 40, 40, 40 * bytes);
                dc.memory = fresh;
                dc.dc.mapped = dc.memory.data() + 16;
                (clockwise ? zr_bitblt270 : zr_bitblt90)(&dc.dc, &dc.dc);
                if (plain) {
                    want = dc.memory;
                } else {
                    EXPECT_EQ(dc.memory, want) << int(f) << (clockwise ? " clockwise" : " counter-clockwise");
                }
            }
        }
}

}  // namespace
