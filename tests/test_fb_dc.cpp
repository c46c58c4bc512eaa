// Screen and buffer DCs and the screen formats, under the in-process
// virtual device.
#include "capture.hpp"
#include "fb_dc.hpp"
#include "pixels.hpp"
#include "vfb_fixture.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

using zr::pixel_format;
using zr_test::bytes;
using zr_test::same;

class FbDc : public ::testing::Test {
protected:
    // Opens a fresh device (closing the last), whose format the display layer names.
    void open(int depth, int width = 40, int height = 30, long line_length = 0,
              pixel_format format = pixel_format::none) {
        TearDown();
        ASSERT_EQ(zr_test::vfb_open({.width = width, .height = height, .depth = depth, .line_length = line_length}), 0);
        zr::set_screen_format(format);
        screen = zr_get_screen_dc();
        ASSERT_NE(screen, nullptr);
        std::memset(screen->mapped, 0xAA, static_cast<size_t>(screen->bytes));
    }
    void TearDown() override {
        zr_release_dc(screen);
        screen = nullptr;
        zr::set_screen_format(pixel_format::none);
        zr_test::vfb_close();
        zr_error_code = 0;
    }
    dc_t *screen = nullptr;
};

TEST_F(FbDc, PlaceholderFamiliesPrintTheirLinesAndTouchNothing) {
    const std::string todo = "\xb1\xb8\xc7\xf6 \xc7\xd8\xbe\xdf \xc7\xd4\n";
    const std::string hline_prefix = "\xb1\xb8\xc7\xf6\xc7\xd8\xbe\xdf \xc7\xd4: zr -> b";
    for (int depth : {1, 4, 8, 24}) {
        SCOPED_TRACE("depth " + std::to_string(depth));
        open(depth, 16, 4);
        dc_t *buffer = zr_get_buffer_dc(5, 3);
        ASSERT_NE(buffer, nullptr);
        std::memset(buffer->mapped, 0x3C, static_cast<size_t>(buffer->bytes));
        const std::string hline = hline_prefix + std::to_string(depth) + "_hline\n" + (depth == 24 ? "" : todo);
        for (dc_t *dc : {screen, buffer}) {
            const bytes before(dc->mapped, dc->mapped + dc->bytes);
            color_t out{1, 2, 3, 4};
            const color_t c{200, 100, 50, 255};
            EXPECT_EQ(zr_test::capture_stdout([&] {
                          dc->clear(dc, c);
                          dc->set_pixel(dc, 1, 1, c);
                          dc->get_pixel(dc, 1, 1, &out);
                          dc->hline(dc, 0, 2, 1, c);
                          dc->vline(dc, 1, 0, 2, c);
                      }),
                      todo + todo + todo + hline + todo);
            EXPECT_TRUE(same(out, color_t{1, 2, 3, 4}));
            EXPECT_TRUE(bytes(dc->mapped, dc->mapped + dc->bytes) == before);
        }
        zr_release_dc(buffer);
    }
}

// One pixel lands as exact bytes at y * bytes_per_line + x * B, nothing else
// changes, and reads back with the alpha byte of the output kept. Spans and
// clear store the same bytes, whatever the alpha, and never touch the padding.
TEST_F(FbDc, PixelsSpansAndClearStoreExactBytes) {
    struct pixel_case {
        int depth, width;
        long line_length;
        int x, y;
        color_t color;
        bytes stored;
        color_t read;  // red, green, blue
        pixel_format format = pixel_format::none;
    };
    const pixel_case cases[] = {
        {16, 320, 0, 3, 2, {255, 0, 0, 255}, {0x00, 0xF8}, {248, 0, 0, 0}},
        {16, 320, 704, 3, 2, {0, 255, 0, 0}, {0xE0, 0x07}, {0, 252, 0, 0}},
        {16, 30, 70, 29, 4, {0x87, 0x46, 0x23, 9}, {0x24, 0x82}, {0x80, 0x44, 0x20, 0}},
        {15, 50, 0, 4, 3, {255, 0, 0, 255}, {0x00, 0x7C}, {248, 0, 0, 0}},
        {15, 50, 120, 49, 1, {0x0F, 0xFF, 0x80, 255}, {0xF0, 0x07}, {8, 248, 128, 0}},
        {32, 20, 0, 5, 1, {0x12, 0x34, 0x56, 0x9A}, {0x56, 0x34, 0x12, 0x00}, {0x12, 0x34, 0x56, 0}},
        {32, 20, 100, 19, 2, {1, 2, 3, 0}, {3, 2, 1, 0}, {1, 2, 3, 0}},
        // Formats the display layer names; the last, of another depth, is not taken.
        {32, 20, 100, 19, 2, {0x12, 0x34, 0x56, 0x9A}, {0x12, 0x34, 0x56, 0x00}, {0x12, 0x34, 0x56, 0},
         pixel_format::xbgr8888},
        {16, 30, 70, 29, 4, {0x87, 0x46, 0x23, 9}, {0x30, 0x22}, {0x80, 0x44, 0x20, 0}, pixel_format::bgr565},
        {16, 320, 0, 3, 2, {255, 0, 0, 255}, {0x00, 0xF8}, {248, 0, 0, 0}, pixel_format::xbgr8888},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("depth " + std::to_string(c.depth) + " line " + std::to_string(c.line_length) + " format " +
                     std::to_string(int(c.format)));
        open(c.depth, c.width, 5, c.line_length, c.format);
        dc_t *buffer = zr_get_buffer_dc(c.width, 5);
        ASSERT_NE(buffer, nullptr);
        std::memset(buffer->mapped, 0xAA, static_cast<size_t>(buffer->bytes));
        for (dc_t *dc : {screen, buffer}) {
            bytes expected(dc->mapped, dc->mapped + dc->bytes);
            const auto put = [&](int x, int y) {
                std::copy(c.stored.begin(), c.stored.end(),
                          expected.begin() + y * dc->bytes_per_line + x * long(c.stored.size()));
            };
            const auto now = [&] { return dc == screen ? zr_test::vfb_memory() : bytes(dc->mapped, dc->mapped + dc->bytes); };
            dc->set_pixel(dc, c.x, c.y, c.color);
            put(c.x, c.y);
            EXPECT_TRUE(now() == expected) << (dc == screen ? "screen" : "buffer");
            color_t out{7, 7, 7, 0x5A};
            dc->get_pixel(dc, c.x, c.y, &out);
            EXPECT_TRUE(same(out, color_t{c.read.red, c.read.green, c.read.blue, 0x5A}));
            // A row up to the pixel, a column from it down, and two empty spans (x1 > x2, y1 > y2).
            dc->hline(dc, 1, c.x, 0, c.color);
            dc->vline(dc, c.x, c.y, 4, c.color);
            dc->hline(dc, 5, 4, 1, c.color);
            dc->vline(dc, 3, 3, 2, c.color);
            for (int x = 1; x <= c.x; ++x) put(x, 0);
            for (int y = c.y; y <= 4; ++y) put(c.x, y);
            EXPECT_TRUE(now() == expected) << "spans";
            zr_clear(dc, c.color);
            for (int y = 0; y < 5; ++y)
                for (int x = 0; x < c.width; ++x) put(x, y);
            EXPECT_TRUE(now() == expected) << "clear";
        }
        zr_release_dc(buffer);
    }
}

// Buffer rows are never padded: bytes_per_line is the depth's bits rounded up
// to a byte. Negative sizes take the screen's; every screen DC shares the
// device's memory; new DCs have the default pens and origin.
TEST_F(FbDc, BufferSizesFollowTheDepthAndTheScreen) {
    const struct {
        int depth, bits_per_pixel;
        int row8, row9;  // bytes_per_line at widths 8 and 9
    } cases[] = {{1, 1, 1, 2}, {4, 4, 4, 5}, {8, 8, 8, 9}, {15, 16, 16, 18}, {16, 16, 16, 18}, {24, 24, 24, 27},
                 {32, 32, 32, 36}};
    for (const auto &c : cases) {
        SCOPED_TRACE("depth " + std::to_string(c.depth));
        open(c.depth, 12, 6, 100);
        for (auto [width, row] : {std::pair{8, c.row8}, {9, c.row9}}) {
            dc_t *b = zr_get_buffer_dc(width, 3);
            ASSERT_NE(b, nullptr);
            EXPECT_EQ(std::tuple(b->dots, b->bytes_per_line, b->bytes, b->colors, b->bits_per_pixel),
                      std::tuple(width * 3, row, 3 * row, c.depth, c.bits_per_pixel));
            std::memset(b->mapped, 0, static_cast<size_t>(b->bytes));  // all of it is ours
            zr_release_dc(b);
        }
    }
    open(16, 320, 240, 704);
    dc_t *dcs[] = {zr_get_screen_dc(), zr_get_buffer_dc(-1, -1), zr_get_buffer_dc(-1, 7), zr_get_buffer_dc(5, -3)};
    const std::tuple<int, int, int, int> want[] = {
        {320, 240, 704, 240 * 704}, {320, 240, 640, 240 * 640}, {320, 7, 640, 7 * 640}, {5, 240, 10, 240 * 10}};
    EXPECT_EQ(dcs[0]->mapped, screen->mapped);
    for (int i = 0; i < 4; ++i) {
        dc_t *dc = dcs[i];
        ASSERT_NE(dc, nullptr);
        EXPECT_EQ(std::tuple(dc->width, dc->height, dc->bytes_per_line, dc->bytes), want[i]) << i;
        EXPECT_TRUE(same(dc->pen_color, color_t{255, 255, 255, 255}) && same(dc->brush_color, color_t{0, 0, 0, 255}));
        EXPECT_EQ(std::tuple(dc->coor_x, dc->coor_y, dc->dc_type), std::tuple(0, 0, DC_TYPE_SCREEN));
        zr_release_dc(dc);
    }
    zr_release_dc(nullptr);
}

// Sizes are reckoned in 64 bits: anything whose row, size or pixel count
// does not fit an int is refused with ERR_OUT_OF_MEMORY. A depth without a
// family gives no DC and no code.
TEST_F(FbDc, OversizedBuffersAndDepthsWithoutAFamilyAreRefused) {
    const struct {
        int depth, width, height;
    } cases[] = {{32, INT_MAX, 1}, {32, 100000, 100000}, {16, INT_MAX, INT_MAX}, {32, INT_MAX, INT_MAX},
                 {1, 65536, 65536}, {12, 10, 10}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.depth) + ": " + std::to_string(c.width) + "x" + std::to_string(c.height));
        TearDown();
        ASSERT_EQ(zr_test::vfb_open({.width = 8, .height = 8, .depth = c.depth}), 0);
        zr_error_code = ERR_PALETTE;
        EXPECT_TRUE(c.depth != 12 || zr_get_screen_dc() == nullptr);
        EXPECT_EQ(zr_get_buffer_dc(c.width, c.height), nullptr);
        EXPECT_EQ(zr_error_code, c.depth == 12 ? ERR_PALETTE : ERR_OUT_OF_MEMORY);
    }
}

// zr_to_screen_dc never leaves either DC's memory: equal rows are one block
// of the smaller size; otherwise the smaller row over the smaller height.
TEST_F(FbDc, ToScreenCopiesOnlyWhatBothDcsHold) {
    const struct {
        int depth, screen_w, screen_h;
        long line;
        int buffer_w, buffer_h;
        bool to_buffer;  // screen -> buffer instead of buffer -> screen
    } cases[] = {
        {16, 40, 30, 0, -1, -1, false},  {8, 40, 30, 0, -1, -1, false},   // same geometry
        {16, 40, 30, 96, -1, -1, false},                                  // padded screen
        {32, 40, 30, 0, 10, 5, false},   {32, 40, 30, 0, 60, 40, false},  // smaller, larger
        {16, 40, 30, 0, -1, 10, false},  {16, 40, 30, 0, -1, 10, true},   // fewer equal rows
        {16, 40, 30, 96, 60, 40, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        open(c.depth, c.screen_w, c.screen_h, c.line);
        dc_t *buffer = zr_get_buffer_dc(c.buffer_w, c.buffer_h);
        ASSERT_NE(buffer, nullptr);
        for (int i = 0; i < buffer->bytes; ++i)
            buffer->mapped[i] = static_cast<unsigned char>(i * 13 + i / 251);
        dc_t *dst = c.to_buffer ? buffer : screen;
        dc_t *src = c.to_buffer ? screen : buffer;
        bytes expected(dst->mapped, dst->mapped + dst->bytes);
        const int rows = std::min(dst->height, src->height);
        const int row = std::min(dst->bytes_per_line, src->bytes_per_line);
        for (int y = 0; y < rows; ++y)
            std::memcpy(&expected[static_cast<size_t>(y) * dst->bytes_per_line],
                        src->mapped + static_cast<size_t>(y) * src->bytes_per_line,
                        static_cast<size_t>(row));
        zr_to_screen_dc(dst, src);
        EXPECT_TRUE(bytes(dst->mapped, dst->mapped + dst->bytes) == expected);
        EXPECT_EQ(zr_test::vfb_memory().size(), static_cast<size_t>(screen->bytes));
        zr_release_dc(buffer);
    }
}

}  // namespace
