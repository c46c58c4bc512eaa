// The framebuffer device and the error channel, under the in-process virtual
// device.
#include "capture.hpp"
#include "device.hpp"
#include "vfb_fixture.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <climits>
#include <set>
#include <string>
#include <vector>

namespace {

using zr_test::open_descriptors;

// Every code prints "[zr error:N]text (where)" and returns itself. The texts
// are the EUC-KR bytes programs compare against: the first, the first of the
// display layer's and the last are checked exactly (an entry lost or added
// shifts one of them); the others differ from each other, and codes outside
// the table share one text of their own.
TEST(ErrorChannel, EveryCodePrintsItsOwnLine) {
    const std::pair<int, const char *> exact[] = {
        {0, "\xbf\xa1\xb7\xaf \xbe\xf8\xc0\xbd"},
        {ERR_DRM_MASTER, "DRM \xb8\xb6\xbd\xba\xc5\xcd \xb1\xc7\xc7\xd1\xc0\xcc \xbe\xf8\xc0\xbd"},
        {ERR_SCREEN_AWAY, "\xb4\xd9\xb8\xa5 \xb0\xa1\xbb\xf3 \xc5\xcd\xb9\xcc\xb3\xce\xc0\xcc "
                          "\xc8\xad\xb8\xe9\xc0\xbb \xbb\xe7\xbf\xeb \xc1\xdf"},
    };
    std::set<std::string> texts;
    for (const int code : {-1, 27, 28, 1000, INT_MIN, INT_MAX, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                           17, 18, 19, 20, 21, 22, 23, 24, 25, 26}) {
        zr_error_code = code;
        int returned = -1;
        const std::string line = zr_test::capture_stdout([&] { returned = zr_print_error("x.bmp"); });
        const std::string text = zr_error_string();
        EXPECT_EQ(line, "[zr error:" + std::to_string(code) + "]" + text + " (x.bmp)\n");
        EXPECT_EQ(returned, code);
        EXPECT_FALSE(text.empty());
        texts.insert(text);
        for (const auto &[c, want] : exact) EXPECT_TRUE(c != code || text == want) << code;
    }
    EXPECT_EQ(texts.size(), 28u) << "27 texts and the one outside the table";
    zr_error_code = 0;
}

class Device : public ::testing::Test {
protected:
    void TearDown() override {
        zr_test::vfb_close();
        zr_error_code = 0;
    }
};

// Every failure leaves the device closed (no descriptor, nothing mapped, no
// screen DC), unknown flag bits refused before the device is touched; a later
// success stores code 0 again. The known flags all pass (the console's is left
// out: it would switch this terminal).
TEST_F(Device, EveryFailureLeavesTheDeviceClosed) {
    const struct {
        const char *fail;  // what the virtual device refuses; null: a path that does not exist
        int flags, code;
    } cases[] = {
        {nullptr, 0, ERR_NO_DEVICE},         {"open", 0, ERR_ACCESS},       {"vscreeninfo", 0, ERR_VSCREENINFO},
        {"fscreeninfo", 0, ERR_FSCREENINFO}, {"mmap", 0, ERR_MMAP},         {"", 0x200, ERR_INIT_FLAGS},
        {"", ZR_INIT_DOUBLE_BUFFER | 0x400, ERR_INIT_FLAGS},                {"", INT_MIN, ERR_INIT_FLAGS},
        {"", -1, ERR_INIT_FLAGS},
    };
    const long descriptors = open_descriptors();
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.fail ? c.fail : "no such path") + " flags " + std::to_string(c.flags));
        const int code = c.fail ? zr_test::vfb_open({.fail = c.fail, .init_flags = c.flags})
                                : zr_init("/nonexistent/zr-test-fb");
        EXPECT_TRUE(code == c.code && zr_error_code == c.code) << code;
        EXPECT_TRUE(zr_fb.fd == -1 && zr_fb.mapped == MAP_FAILED && zr_get_screen_dc() == nullptr);
        EXPECT_EQ(open_descriptors(), descriptors);
        zr_test::vfb_close();  // zr_close on a closed device does nothing harmful
        EXPECT_EQ(zr_test::vfb_open({}), 0);
        EXPECT_EQ(zr_error_code, 0);
        zr_test::vfb_close();
    }
    EXPECT_EQ(zr_test::vfb_open({.init_flags = ZR_INIT_ALL_FLAGS & ~ZR_INIT_CONSOLE}), 0);
}

// A geometry is refused when the family its depth picks would store pixels
// of another size than the device's, or when its rows do not hold their
// pixels or do not fit the device's memory; a depth without a family passes.
TEST(DeviceGeometry, RefusedWhenTheFamiliesWouldLeaveTheMemory) {
    struct geometry_case {
        const char *what;
        unsigned xres, bpp, r, g, b, line_length, smem_len;
        int code;
    };
    const geometry_case cases[] = {
        {"5-6-5", 320, 16, 5, 6, 5, 640, 640 * 240, 0},
        {"5-5-5, padded rows", 320, 16, 5, 5, 5, 700, 700 * 240, 0},
        {"32 bits, more memory than rows", 320, 32, 8, 8, 8, 1280, 1 << 22, 0},
        {"12 bits: no family, nothing drawn", 320, 12, 4, 4, 4, 480, 480 * 240, 0},
        {"1 bit, 9 pixels in 2 bytes", 9, 1, 1, 1, 1, 2, 2 * 240, 0},
        {"bits_per_pixel 15", 320, 15, 5, 5, 5, 600, 600 * 240, ERR_VSCREENINFO},
        {"16 bits, fields adding up to 32", 320, 16, 8, 8, 16, 640, 640 * 240, ERR_VSCREENINFO},
        {"16 bits, fields adding up to 24", 320, 16, 8, 8, 8, 640, 640 * 240, ERR_VSCREENINFO},
        {"row one byte short", 320, 16, 5, 6, 5, 639, 639 * 240, ERR_FSCREENINFO},
        {"32-bit row one byte short", 320, 32, 8, 8, 8, 1279, 1 << 22, ERR_FSCREENINFO},
        {"1 bit, 9 pixels in 1 byte", 9, 1, 1, 1, 1, 1, 1 * 240, ERR_FSCREENINFO},
        {"memory one byte short", 320, 16, 5, 6, 5, 640, 640 * 240 - 1, ERR_FSCREENINFO},
        {"row of 2^34 bytes", 0xFFFFFFFF, 32, 8, 8, 8, 0xFFFFFFFF, 0xFFFFFFFF, ERR_FSCREENINFO},
    };
    for (const auto &c : cases) {
        fb_var_screeninfo var{};
        fb_fix_screeninfo fix{};
        var.xres = c.xres;
        var.yres = 240;
        var.bits_per_pixel = c.bpp;
        var.red.length = c.r;
        var.green.length = c.g;
        var.blue.length = c.b;
        fix.line_length = c.line_length;
        fix.smem_len = c.smem_len;
        EXPECT_EQ(zr::check_geometry(var, fix), c.code) << c.what;
    }
}

}  // namespace
