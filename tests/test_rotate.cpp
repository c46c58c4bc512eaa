// Rotated screens: the program draws in its own orientation and the panel
// shows that picture turned clockwise. Then zr_bitblt90 and zr_bitblt270
// through the fast rows against the plain path, on every screen format.
#include "display.hpp"
#include "memory_backend.hpp"
#include "pixels.hpp"
#include "rotate.hpp"
#include "vfb.hpp"
#include "vfb_screen.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>
#include <utility>

using namespace zr_test;

namespace {

using uchar = unsigned char;

struct close_guard { ~close_guard() { memory_display_close(); } };

int flag_of(int degrees) { return degrees / 90 * ZR_INIT_ROTATE_90; }
int buffer_flags(int buffers) { return buffers == 3 ? ZR_INIT_TRIPLE_BUFFER : buffers == 2 ? ZR_INIT_DOUBLE_BUFFER : 0; }

zr_display_info_t display_info() {
    zr_display_info_t info{};
    EXPECT_EQ(zr_display_info(&info), 0);
    return info;
}

// Where the picture's pixel (x, y) shows on a pw x ph panel, turned clockwise.
std::pair<int, int> on_panel(int degrees, int x, int y, int pw, int ph) {
    return degrees == 90 ? std::pair{pw - 1 - y, x} : degrees == 180 ? std::pair{pw - 1 - x, ph - 1 - y}
                                                                     : std::pair{y, ph - 1 - x};
}

bool inside(const zr_rect_t &r, int x, int y) { return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height; }

// A byte pattern of pixel (x, y) and a generation; the top byte of 32-bit
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
            const auto [px, py] = on_panel(degrees, x, y, d.width, d.height);
            const bool in = inside(turned_damage, px, py);
            if (!in && old < 0) continue;
            uchar want[4];
            pattern(want, x, y, in ? gen : old, bytes);
            if (std::memcmp(panel.data() + py * pitch + px * bytes, want, bytes) != 0)
                return "picture (" + std::to_string(x) + "," + std::to_string(y) + ") wrong";
        }
    return "";
}

// A panel whose sides are no whole number of the fast rows' blocks.
memory_display odd_panel(int bits, int buffers) {
    return memory_display{.width = 37, .height = 21, .bits_per_pixel = bits, .most_buffers = buffers, .needs_flush = true};
}

// The flush the device is told of rectangle r of buffer 0.
std::string flush_of(const zr_rect_t &r) {
    char s[64];
    std::snprintf(s, sizeof s, "flush 0 %d,%d,%d,%d", r.x, r.y, r.width, r.height);
    return s;
}

// The program sees the turned size; the damage is turned on the panel and
// in what the device is told.
TEST(Rotate, PanelShowsThePictureTurnedAndOnlyTheDamage) {
    for (const int degrees : {90, 180, 270})
        for (const int bits : {16, 32, 24})
            for (const int buffers : {1, 2, 3}) {
                SCOPED_TRACE(testing::Message() << degrees << " degrees, " << bits << " bits, " << buffers << " buffers");
                close_guard done;
                const memory_display d = odd_panel(bits, buffers);
                ASSERT_EQ(memory_display_open(d, flag_of(degrees) | buffer_flags(buffers)), 0);
                const bool sideways = degrees != 180;
                EXPECT_TRUE(zr_fb.width == (sideways ? d.height : d.width) && zr_fb.height == (sideways ? d.width : d.height));
                dc_t *buffer = zr_get_buffer_dc(-1, -1);  // of the picture's size, not the panel's
                ASSERT_NE(buffer, nullptr);
                EXPECT_TRUE(buffer->width == zr_fb.width && buffer->height == zr_fb.height);
                zr_release_dc(buffer);
                draw_picture(1);
                ASSERT_EQ(zr_present(nullptr, 0), 0);
                EXPECT_EQ(panel_shows(d, degrees, 1, -1, {0, 0, d.width, d.height}), "");

                // Damage reaching past the picture's edge is clipped first.
                const zr_rect_t damage{zr_fb.width - 9, 3, 20, 6};
                const zr_rect_t turned = zr::turned_rect({zr_fb.width - 9, 3, 9, 6}, degrees, zr_fb.width, zr_fb.height);
                if (buffers == 1) {
                    draw_picture(2);
                    memory_display_clear_calls();
                    ASSERT_EQ(zr_present(&damage, 1), 0);
                    EXPECT_EQ(panel_shows(d, degrees, 2, 1, turned), "");
                    EXPECT_EQ(memory_display_calls().at(0), flush_of(turned));
                    continue;
                }
                for (int i = 0; i < buffers; ++i) {  // each back buffer gets the damage it missed
                    draw_picture(2);
                    ASSERT_EQ(zr_present(i == 0 ? nullptr : &damage, i == 0 ? 0 : 1), 0);
                }
                EXPECT_EQ(panel_shows(d, degrees, 2, 2, {0, 0, d.width, d.height}), "");
            }
}

// The flags' turn, plus the panel's own when asked for; a turning plane
// leaves the buffers to the program, which draws there directly.
TEST(Rotate, FlagsPanelOrientationAndPlane) {
    const struct {
        int flags, panel_rotation;
        bool plane;
        int rotation, method, width, height;
        const char *open;
    } rows[] = {
        {0, 90, false, 0, ZR_ROTATE_NONE, 37, 21, "open 1"},
        {ZR_INIT_ROTATE_PANEL, 90, false, 90, ZR_ROTATE_SOFTWARE, 21, 37, "open 1 panel"},
        {ZR_INIT_ROTATE_PANEL | ZR_INIT_ROTATE_270, 180, false, 90, ZR_ROTATE_SOFTWARE, 21, 37, "open 1 turn 270 panel"},
        {ZR_INIT_ROTATE_PANEL | ZR_INIT_ROTATE_180, 180, false, 0, ZR_ROTATE_NONE, 37, 21, "open 1 turn 180 panel"},
        {ZR_INIT_ROTATE_90, 0, true, 90, ZR_ROTATE_PLANE, 21, 37, "open 1 turn 90"},
        {ZR_INIT_ROTATE_180, 0, false, 180, ZR_ROTATE_SOFTWARE, 37, 21, "open 1 turn 180"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.open);
        close_guard done;
        memory_display d = odd_panel(32, 1);
        d.panel_rotation = r.panel_rotation;
        d.plane_turns = r.plane;
        ASSERT_EQ(memory_display_open(d, r.flags), 0);
        EXPECT_EQ(memory_display_calls().at(0), r.open);
        const zr_display_info_t info = display_info();
        EXPECT_TRUE(info.rotation == r.rotation && info.rotation_method == r.method);
        EXPECT_TRUE(info.panel_width == 37 && info.panel_height == 21);
        EXPECT_EQ(info.method, r.method == ZR_ROTATE_SOFTWARE ? ZR_PRESENT_SHADOW : ZR_PRESENT_FRONT);
        EXPECT_TRUE(zr_fb.width == r.width && zr_fb.height == r.height);
        EXPECT_TRUE(!r.plane || zr_fb.bytes_per_line == 21 * 4 + 4) << zr_fb.bytes_per_line;
    }
    // A depth of less than a byte a pixel cannot be turned: the open fails.
    close_guard done;
    EXPECT_EQ(memory_display_open(odd_panel(1, 1), ZR_INIT_ROTATE_90), ERR_INIT_FLAGS);
    EXPECT_EQ(zr_fb.fd, -1);
}

// Drawing starts from what the panel shows, turned back into the picture's
// orientation: presenting it unchanged leaves the panel as it was. A program
// that never presents: what it draws reaches the panel turned, and the
// device is told the turned rows.
TEST(Rotate, ThePictureStartsAsThePanelShowsItAndTheAutomaticFlushTurnsIt) {
    for (const int degrees : {90, 180, 270}) {
        close_guard done;
        memory_display d = odd_panel(16, 1);
        d.patterned = true;
        ASSERT_EQ(memory_display_open(d, flag_of(degrees)), 0);
        const std::vector<uchar> before = memory_display_buffer(0);
        ASSERT_EQ(zr_present(nullptr, 0), 0);
        EXPECT_EQ(memory_display_buffer(0), before) << degrees;
    }
    for (const int degrees : {90, 270}) {
        SCOPED_TRACE(degrees);
        close_guard done;
        const memory_display d = odd_panel(16, 1);
        ASSERT_EQ(memory_display_open(d, flag_of(degrees)), 0);
        EXPECT_TRUE(zr::auto_flush_running());
        dc_t *screen = zr_get_screen_dc();
        ASSERT_NE(screen, nullptr);
        memory_display_clear_calls();
        zr_hline(screen, 0, zr_fb.width - 1, 4, color_t{255, 255, 255, 255});  // a column of the panel
        const zr_rect_t turned = zr::turned_rect({0, 4, zr_fb.width, 1}, degrees, zr_fb.width, zr_fb.height);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (memory_display_calls().empty() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_FALSE(memory_display_calls().empty());
        // A tick may have caught the row half drawn: the next ones complete it.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(memory_display_calls().at(0), flush_of(turned));
        const std::vector<uchar> panel = memory_display_buffer(0);
        for (int y = 0; y < d.height; ++y)
            for (int x = 0; x < d.width; ++x)
                EXPECT_EQ(panel[y * (d.width * 2 + 4) + 2 * x], inside(turned, x, y) ? 0xFF : 0) << x << "," << y;
        zr_release_dc(screen);
    }
}

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

// Turned by the plane or in software, the panel shows the picture turned;
// the connector's own orientation turns it only when asked for, and adds to
// the turn asked for.
TEST_F(RotateDrm, PlaneOrSoftwareThePanelShowsThePictureTurned) {
    for (const bool plane : {true, false})
        for (const int buffers : {1, 2})
            for (const int degrees : {90, 180, 270}) {
                SCOPED_TRACE(testing::Message() << (plane ? "plane, " : "software, ") << buffers << " buffers, " << degrees << " degrees");
                setenv("ZR_VFB_DRM_ROTATION", plane ? "1" : "0", 1);
                ASSERT_EQ(zr_init_ex(node, flag_of(degrees) | buffer_flags(buffers)), 0);
                const zr_display_info_t info = display_info();
                EXPECT_TRUE(info.rotation == degrees && info.rotation_method == (plane ? ZR_ROTATE_PLANE : ZR_ROTATE_SOFTWARE));
                EXPECT_TRUE(info.panel_width == 40 && info.panel_height == 24 && zr_fb.width == (degrees == 180 ? 40 : 24));
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
                        const auto [px, py] = on_panel(degrees, x, y, 40, 24);
                        wrong += shown(px, py) != (unsigned(x * 6) << 16 | unsigned(y * 6) << 8 | unsigned(x + y));
                    }
                EXPECT_EQ(wrong, 0);
                zr_release_dc(screen);
                zr_close();
                EXPECT_EQ(zr_vfb::drm_crtc().fb_id, zr_vfb::drm_console_fb);
            }
    unsetenv("ZR_VFB_DRM_ROTATION");
    setenv("ZR_VFB_PANEL_TURN", "270", 1);
    const int rows[][2] = {{0, 0}, {ZR_INIT_ROTATE_PANEL, 270}, {ZR_INIT_ROTATE_PANEL | ZR_INIT_ROTATE_180, 90}};
    for (const auto &r : rows) {
        ASSERT_EQ(zr_init_ex(node, r[0]), 0);
        EXPECT_EQ(display_info().rotation, r[1]) << r[0];
        zr_close();
    }
}

// Random sizes, strides of either sign and bytes, in one format or two of a
// size; now and then a DC turned onto itself, which reads what it wrote
// already (the plain path's pixel order decides, so the fast rows stay out).
TEST(Rotate, QuarterTurnsWriteWhatThePlainPathWrites) {
    std::mt19937 rng(24);
    const std::vector<format_case> formats = screen_formats();
    for (int round = 0; round < 300; ++round) {
        const format_case f = formats[rng() % formats.size()];
        zr::pixel_format from = f.id;  // one round in four: another format of the same size
        if (rng() % 4 == 0)
            for (const format_case &g : formats)
                if (g.id != f.id && g.bytes == f.bytes) from = g.id;
        const int sw = 1 + int(rng() % 70), sh = 1 + int(rng() % 70), dw = 1 + int(rng() % 70), dh = 1 + int(rng() % 70);
        const auto stride = [&](int w) { return (w * f.bytes + int(rng() % 3) * 4) * (rng() % 4 == 0 ? -1 : 1); };
        const bool clockwise = rng() % 2 == 0, self = round % 8 == 0;
        fb_surface src(from, sw, sh, stride(sw)), dst(f.id, dw, dh, stride(dw));
        for (uchar &b : src.memory) b = uchar(rng());
        for (uchar &b : dst.memory) b = uchar(rng());
        const auto turn = clockwise ? zr_bitblt270 : zr_bitblt90;
        ASSERT_EQ(compare_paths({of(dst)}, [&] { turn(&dst.dc, &src.dc); }), "")
            << "format " << int(f.id) << " " << sw << "x" << sh << " onto " << dw << "x" << dh << (clockwise ? " cw" : " ccw");
        if (self) {
            ASSERT_EQ(compare_paths({of(src)}, [&] { turn(&src.dc, &src.dc); }), "") << "onto itself";
        }
    }
}

}  // namespace
