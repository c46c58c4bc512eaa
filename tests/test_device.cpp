// The framebuffer device and the error channel, under the in-process virtual
// device.
#include "capture.hpp"
#include "device.hpp"
#include "vfb_fixture.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <climits>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

using zr_test::open_descriptors;

// The messages as EUC-KR bytes, by code: 0-15, the display layer's 16-22,
// input and sessions' 23-26.
const char *const messages[27] = {
    "\xbf\xa1\xb7\xaf \xbe\xf8\xc0\xbd",
    "\xc0\xe5\xc4\xa1\xb0\xa1 \xbe\xf8\xc0\xbd",
    "\xc1\xa2\xb1\xd9 \xb1\xc7\xc7\xd1\xc0\xcc \xbe\xf8\xc0\xbd",
    "FBIOGET_VSCREENINFO\xb8\xa6 \xb1\xb8\xc7\xcf\xc1\xf6 \xb8\xf8\xc7\xd4",
    "FBIOGET_FSCREENINFO\xb8\xa6 \xb1\xb8\xc7\xcf\xc1\xf6 \xb8\xf8\xc7\xd4",
    "\xc7\xc1\xb7\xb9\xc0\xd3 \xb9\xf6\xc6\xdb \xb8\xde\xb8\xf0\xb8\xae \xb8\xc5\xc7\xce\xbf\xa1 \xbd\xc7\xc6\xd0",
    "\xc0\xcc\xb9\xcc\xc1\xf6 \xc6\xc4\xc0\xcf\xc0\xcc \xbe\xf8\xc0\xbd",
    "\xc0\xcc\xb9\xcc\xc1\xf6 \xc7\xec\xb4\xf5 \xc1\xa4\xba\xb8 \xc0\xcc\xbb\xf3",
    "\xc0\xcc\xb9\xcc\xc1\xf6 \xb5\xa5\xc0\xcc\xc5\xcd \xc0\xd0\xb1\xe2 \xc0\xcc\xbb\xf3",
    "\xc6\xc8\xb7\xb9\xc6\xae \xc1\xa4\xba\xb8 \xc0\xcc\xbb\xf3",
    "\xc4\xae\xb6\xf3 \xb1\xed\xc0\xcc\xb0\xa1 \xc7\xa5\xc1\xd8\xc0\xcc \xbe\xc6\xb4\xd4",
    "\xc6\xf9\xc6\xae\xc6\xc4\xc0\xcf\xc0\xcc \xbe\xf8\xb0\xc5\xb3\xaa \xbb\xe7\xbf\xeb\xc7\xd2 \xbc\xf6 \xbe\xf8\xc0\xbd",
    "\xbd\xc3\xb1\xd7\xb3\xd7\xc3\xc4 \xbf\xa1\xb7\xaf",
    "\xb8\xde\xb8\xf0\xb8\xae \xba\xce\xc1\xb7",
    "\xc3\xb3\xb8\xae \xc1\xdf \xbf\xa1\xb7\xaf \xb9\xdf\xbb\xfd",
    "\xc0\xcc\xb9\xcc\xc1\xf6 \xc3\xb3\xb8\xae\xb8\xa6 \xc0\xa7\xc7\xd1 DC \xbb\xfd\xbc\xba\xbf\xa1 \xbd\xc7\xc6\xd0",
    "DRM \xb8\xb6\xbd\xba\xc5\xcd \xb1\xc7\xc7\xd1\xc0\xcc \xbe\xf8\xc0\xbd",
    "\xbf\xac\xb0\xe1\xb5\xc8 \xc3\xe2\xb7\xc2 \xc0\xe5\xc4\xa1\xb0\xa1 \xbe\xf8\xc0\xbd",
    "\xb4\xfd \xb9\xf6\xc6\xdb\xb8\xa6 \xc1\xf6\xbf\xf8\xc7\xcf\xc1\xf6 \xbe\xca\xc0\xbd",
    "\xc8\xad\xb8\xe9 \xb8\xf0\xb5\xe5 \xbc\xb3\xc1\xa4\xbf\xa1 \xbd\xc7\xc6\xd0",
    "\xc8\xad\xb8\xe9 \xc7\xa5\xbd\xc3\xbf\xa1 \xbd\xc7\xc6\xd0",
    "\xbe\xcb \xbc\xf6 \xbe\xf8\xb4\xc2 \xc3\xca\xb1\xe2\xc8\xad \xc7\xc3\xb7\xa1\xb1\xd7",
    "\xc0\xe5\xc4\xa1\xb0\xa1 \xc0\xcc\xb9\xcc \xbf\xad\xb7\xc1 \xc0\xd6\xc0\xbd",
    "\xc0\xd4\xb7\xc2 \xc0\xe5\xc4\xa1\xb0\xa1 \xbe\xf8\xc0\xbd",
    "\xc0\xd4\xb7\xc2 \xc0\xe5\xc4\xa1\xb8\xa6 \xc0\xd0\xc0\xbb \xb1\xc7\xc7\xd1\xc0\xcc \xbe\xf8\xc0\xbd: \xbb\xe7\xbf\xeb\xc0\xda\xb8\xa6 input \xb1\xd7\xb7\xec\xbf\xa1 \xc3\xdf\xb0\xa1\xc7\xcf\xbd\xca\xbd\xc3\xbf\xc0",
    "\xc0\xd4\xb7\xc2 \xb1\xe2\xb4\xc9 \xbe\xf8\xc0\xcc \xba\xf4\xb5\xe5\xb5\xca (libinput, libudev, xkbcommon)",
    "\xb4\xd9\xb8\xa5 \xb0\xa1\xbb\xf3 \xc5\xcd\xb9\xcc\xb3\xce\xc0\xcc \xc8\xad\xb8\xe9\xc0\xbb \xbb\xe7\xbf\xeb \xc1\xdf",
};

std::string printed(int code, const char *where, int *returned) {
    zr_error_code = code;
    return zr_test::capture_stdout([&] { *returned = zr_print_error(where); });
}

// Every code prints its exact line and returns itself; codes outside the
// table share one fixed text of their own.
TEST(ErrorChannel, EveryCodePrintsItsExactLine) {
    zr_error_code = 27;
    const std::string fixed = zr_error_string();
    for (const char *m : messages) EXPECT_NE(fixed, m);
    std::vector<int> codes{-1, 27, 28, 1000, INT_MIN, INT_MAX};
    for (int code = 0; code < 27; ++code) codes.push_back(code);
    for (const int code : codes) {
        const std::string text = code >= 0 && code < 27 ? messages[code] : fixed;
        int returned = -1;
        EXPECT_EQ(printed(code, "x.bmp", &returned), "[zr error:" + std::to_string(code) + "]" + text + " (x.bmp)\n");
        EXPECT_EQ(returned, code);
        EXPECT_EQ(zr_error_string(), text);
    }
    zr_error_code = 0;
}

class Device : public ::testing::Test {
protected:
    void TearDown() override {
        zr_test::vfb_close();
        zr_error_code = 0;
    }
};

// After close or any failure: no descriptor, nothing mapped, no screen DC.
void expect_closed(long descriptors) {
    EXPECT_EQ(zr_fb.fd, -1);
    EXPECT_EQ(zr_fb.mapped, static_cast<unsigned char *>(MAP_FAILED));
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_EQ(zr_get_screen_dc(), nullptr);
}

// Every failure leaves the device closed, unknown flag bits refused before
// the device is touched; a later success stores code 0 again. The known
// flags all pass (the console's is left out: it would switch this terminal).
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
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(zr_error_code, c.code);
        expect_closed(descriptors);
        zr_test::vfb_close();  // zr_close on a closed device does nothing harmful
        EXPECT_EQ(zr_fb.fd, -1);
        EXPECT_EQ(zr_test::vfb_open({}), 0);
        EXPECT_EQ(zr_error_code, 0);
        zr_test::vfb_close();
    }
    EXPECT_EQ(zr_test::vfb_open({.init_flags = ZR_INIT_ALL_FLAGS & ~ZR_INIT_CONSOLE}), 0);
}

// A second zr_init while a device is open opens nothing: the first device
// keeps its descriptor and its mapping, presents, and closes as usual.
TEST_F(Device, ASecondInitWhileOpenIsRefusedAndTheFirstKeepsWorking) {
    const long descriptors = open_descriptors();
    ASSERT_EQ(zr_test::vfb_open({.width = 16, .height = 4, .depth = 16, .init_flags = ZR_INIT_SHADOW}), 0);
    const long opened = open_descriptors();
    const fb_t first = zr_fb;
    EXPECT_EQ(zr_init(zr_test::vfb_device_path()), ERR_ALREADY_OPEN);
    EXPECT_EQ(zr_init_ex(zr_test::vfb_device_path(), ZR_INIT_DOUBLE_BUFFER), ERR_ALREADY_OPEN);
    EXPECT_EQ(zr_error_code, ERR_ALREADY_OPEN);
    EXPECT_EQ(open_descriptors(), opened);
    EXPECT_EQ(zr_fb.fd, first.fd);
    EXPECT_EQ(zr_fb.mapped, first.mapped);
    std::memset(zr_fb.mapped, 0x5A, static_cast<size_t>(zr_fb.bytes));  // drawn on the shadow
    EXPECT_EQ(zr_present(nullptr, 0), 0);
    EXPECT_EQ(zr_test::vfb_memory().at(static_cast<size_t>(zr_fb.bytes) - 1), 0x5A);
    zr_test::vfb_close();
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_EQ(zr_test::vfb_open({}), 0);
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

// colors is the sum of the field lengths only at 16 bits per pixel; the
// mapping covers yres rows of line_length bytes, padding included.
TEST_F(Device, GeometryAndDepthComeFromTheDevice) {
    struct depth_case {
        int depth;
        long line_length;  // 0: unpadded
        int bits_per_pixel, bytes_per_line;
    };
    const depth_case cases[] = {
        {15, 0, 16, 80}, {16, 96, 16, 96}, {32, 0, 32, 160}, {24, 123, 24, 123}, {8, 0, 8, 40},
    };
    const long descriptors = open_descriptors();
    for (const auto &c : cases) {
        SCOPED_TRACE("depth " + std::to_string(c.depth));
        ASSERT_EQ(zr_test::vfb_open({.width = 40, .height = 30, .depth = c.depth, .line_length = c.line_length}), 0);
        EXPECT_EQ(std::tuple(zr_fb.colors, zr_fb.bits_per_pixel, zr_fb.width, zr_fb.height, zr_fb.dots,
                             zr_fb.bytes_per_line, zr_fb.bytes),
                  std::tuple(c.depth, c.bits_per_pixel, 40, 30, 1200, c.bytes_per_line, 30 * c.bytes_per_line));
        EXPECT_GE(zr_fb.fd, 0);
        // The mapping is the device's memory.
        zr_fb.mapped[zr_fb.bytes - 1] = 0x5C;
        EXPECT_EQ(zr_test::vfb_memory().at(static_cast<size_t>(zr_fb.bytes) - 1), 0x5C);
        zr_test::vfb_close();
        expect_closed(descriptors);
    }
}

}  // namespace
