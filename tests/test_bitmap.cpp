// Bitmap DCs: layout, writing, placeholders and creation failures. Reading
// every depth is checked against reference pictures in test_bmp_reader.
#include "bitmap.hpp"
#include "capture.hpp"
#include "messages.hpp"
#include "pixel_format.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<int> rgba(color_t c) { return {c.red, c.green, c.blue, c.alpha}; }
color_t pixel(bmp_t *b, int x, int y) {
    color_t c{};
    b->dc.get_pixel(&b->dc, x, y, &c);
    return c;
}

// A bit-field bitmap as the reader makes one: masks red, green, blue, alpha.
bmp_t *bitfield_bitmap(int w, int h, int bits, std::vector<std::uint32_t> masks) {
    auto *b = static_cast<bmp_t *>(std::calloc(1, sizeof(bmp_t)));
    zr::bmp::set_header(b, w, h, bits, 4);
    std::memcpy(b->palette, masks.data(), 4 * sizeof(std::uint32_t));
    b->biCompression = 3;
    b->data = static_cast<unsigned char *>(std::calloc(static_cast<size_t>(b->dc.bytes), 1));
    return zr::bmp::setup_bitmap(b);
}

TEST(Bitmap, RowsArePaddedBottomUpAndBlueFirst) {
    struct row_case { int width, bits, row; } cases[] = {
        {33, 1, 8}, {10, 4, 8}, {1, 8, 4}, {3, 24, 12}, {3, 16, 8}, {5, 32, 20}};
    for (const auto &c : cases) {
        bmp_t *b = zr_bmp_create(c.width, 2, c.bits, 0);
        EXPECT_EQ(b->dc.bytes_per_line, c.row) << c.width << "x" << c.bits;
        EXPECT_EQ(b->dc.bytes, 2 * c.row);
        EXPECT_EQ(b->dc.mapped, b->data);
        EXPECT_EQ(rgba(b->dc.brush_color), rgba({0, 0, 0, 255}));
        zr_bmp_close(b);
    }
    bmp_t *b = zr_bmp_create(2, 2, 24, 0);
    zr_set_pixel(&b->dc, 0, 0, {1, 2, 3, 255});  // the top row is stored last
    EXPECT_EQ(std::vector<unsigned char>(b->data + 8, b->data + 11), (std::vector<unsigned char>{3, 2, 1}));
    zr_bmp_close(b);
    b = zr_bmp_create(1, 1, 32, 0);
    zr_set_pixel(&b->dc, 0, 0, {10, 20, 30, 40});
    EXPECT_EQ(zr::load_le32(b->data), 0x280A141Eu);
    EXPECT_EQ(rgba(pixel(b, 0, 0)), rgba({10, 20, 30, 40}));
    zr_bmp_close(b);
}

TEST(Bitmap, SixteenBitsKeepEveryValueThroughTheirMasks) {
    bmp_t *b = zr_bmp_create(1, 1, 16, 0);  // 5-5-5 by default
    zr_set_pixel(&b->dc, 0, 0, {255, 255, 255, 255});
    EXPECT_EQ(zr::load_le16(b->data), 0x7FFF);
    EXPECT_EQ(rgba(pixel(b, 0, 0)), rgba({248, 248, 248, 255}));
    bmp_t *f = bitfield_bitmap(1, 1, 16, {0xF800, 0x07E0, 0x001F, 0});
    zr::store_le16(f->data, 0xFFFF);
    EXPECT_EQ(rgba(pixel(f, 0, 0)), rgba({248, 252, 248, 255}));
    for (bmp_t *bm : {b, f}) {  // read and written back, every value stays
        for (unsigned v = 0; v < (bm == b ? 0x8000u : 0x10000u); ++v) {
            zr::store_le16(bm->data, static_cast<std::uint16_t>(v));
            zr_set_pixel(&bm->dc, 0, 0, pixel(bm, 0, 0));
            ASSERT_EQ(zr::load_le16(bm->data), v);
        }
    }
    zr_bmp_close(b);
    zr_bmp_close(f);
}

TEST(Bitmap, ThirtyTwoBitsWithOtherMasksReadAndWriteThroughThem) {
    struct mask_case { std::vector<std::uint32_t> masks; std::uint32_t stored; color_t seen; } cases[] = {
        {{0xFF, 0xFF00, 0xFF0000, 0xFF000000}, 0x40302010, {0x10, 0x20, 0x30, 0x40}},
        {{0xFF000000, 0xFF0000, 0xFF00, 0}, 0x102030AA, {0x10, 0x20, 0x30, 255}},
        {{0x3FF00000, 0xFFC00, 0x3FF, 0xC0000000}, 0xFFF003FF, {255, 0, 255, 192}},
    };
    for (const auto &c : cases) {
        bmp_t *b = bitfield_bitmap(1, 1, 32, c.masks);
        zr::store_le32(b->data, c.stored);
        EXPECT_EQ(rgba(pixel(b, 0, 0)), rgba(c.seen)) << std::hex << c.stored;
        zr::store_le32(b->data, 0);
        zr_set_pixel(&b->dc, 0, 0, c.seen);
        EXPECT_EQ(rgba(pixel(b, 0, 0)), rgba(c.seen)) << std::hex << c.stored;
        zr_bmp_close(b);
    }
}

TEST(Bitmap, SixteenBitSpansAndClearLeaveRowPaddingAlone) {
    bmp_t *b = bitfield_bitmap(3, 3, 16, {0xF800, 0x07E0, 0x001F, 0});  // rows of 8 bytes, 2 of padding
    std::memset(b->data, 0xAB, static_cast<size_t>(b->dc.bytes));
    b->dc.clear(&b->dc, {0, 0, 0, 0});  // transparent: nothing happens
    EXPECT_EQ(b->data[0], 0xAB);
    b->dc.clear(&b->dc, {0, 0, 0, 255});
    zr_hline(&b->dc, 1, 2, 0, {255, 0, 0, 255});
    zr_vline(&b->dc, 0, 1, 2, {0, 255, 0, 0});  // spans ignore alpha
    std::string seen;
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x) seen += pixel(b, x, y).red ? 'r' : pixel(b, x, y).green ? 'g' : 'k';
    EXPECT_EQ(seen, "krrgkkgkk");
    for (int r = 0; r < 3; ++r) EXPECT_EQ(zr::load_le16(b->data + r * 8 + 6), 0xABAB) << r;
    zr_bmp_close(b);
}

// The index equal to the entry count is outside the table, even where the
// memory after the table holds a colour; a new table is zero, whatever the
// allocator hands out.
TEST(Bitmap, IndexesOutsideThePaletteReadAsOpaqueBlack) {
    for (int round = 0; round < 4; ++round) {  // blocks of the table's size, used and freed
        void *dirty = std::malloc(256 * sizeof(std::uint32_t));
        std::memset(dirty, 0xA7, 256 * sizeof(std::uint32_t));
        std::free(dirty);
        bmp_t *fresh = zr_bmp_create(1, 1, 8, 256);
        ASSERT_NE(fresh, nullptr);
        for (int i = 0; i < 256; ++i) ASSERT_EQ(fresh->palette[i], 0u) << i;
        zr_bmp_close(fresh);
    }
    bmp_t *b = zr_bmp_create(2, 1, 8, 2);
    b->palette[1] = 0x112233;
    b->data[0] = 1;
    b->data[1] = 2;
    EXPECT_EQ(rgba(pixel(b, 0, 0)), rgba({0x11, 0x22, 0x33, 255}));
    EXPECT_EQ(rgba(pixel(b, 1, 0)), rgba({0, 0, 0, 255}));
    std::uint32_t *own = b->palette;
    std::uint32_t longer[3] = {0, 0x112233, 0xFFFFFF};  // a colour right after the two entries
    b->palette = longer;
    EXPECT_EQ(rgba(pixel(b, 1, 0)), rgba({0, 0, 0, 255}));
    b->palette = nullptr;
    EXPECT_EQ(rgba(pixel(b, 0, 0)), rgba({0, 0, 0, 255}));
    b->palette = own;
    zr_bmp_close(b);
}

TEST(Bitmap, PlaceholderOperationsPrintTheirLinesAndChangeNothing) {
    const std::string p = ZR_TODO_BMP("");
    struct todo_case { int bits; std::string clear, set, hline, vline; } cases[] = {
        {1, p + "b1_clear\n", p + "b1_set_pixel\n", p + "b1_hline\n", p + "b1_vline\n"},
        {4, p + "b4_clear\n", "", p + "b4_hline\n" + p + "b4_color\n", p + "b4_vline\n"},
        {8, p + "b8_clear\n", p + "b8_set_pixel\n", p + "b8_hline\n" + p + "b8_color\n", p + "b8_vline\n"},
        {24, p + "b24_clear\n", "", p + "b24_hline\n", p + "b24_vline\n"},
        {32, p + "b32_clear\n", "", p + "b32_hline\n", p + "b32_vline\n"},
    };
    for (const auto &c : cases) {
        bmp_t *b = zr_bmp_create(4, 4, c.bits, 0);
        dc_t *dc = &b->dc;
        std::memset(b->data, 0x5A, static_cast<size_t>(b->dc.bytes));
        const color_t w{255, 255, 255, 255};
        EXPECT_EQ(zr_test::capture_stdout([&] { dc->clear(dc, w); }), c.clear) << c.bits;
        EXPECT_EQ(zr_test::capture_stdout([&] { dc->hline(dc, 0, 3, 1, w); }), c.hline) << c.bits;
        EXPECT_EQ(zr_test::capture_stdout([&] { dc->vline(dc, 1, 0, 3, w); }), c.vline) << c.bits;
        if (c.bits <= 8) {  // below 16 bits set_pixel is a placeholder too
            EXPECT_EQ(zr_test::capture_stdout([&] { dc->set_pixel(dc, 1, 1, w); }), c.set) << c.bits;
        }
        for (int i = 0; i < b->dc.bytes; ++i) ASSERT_EQ(b->data[i], 0x5A) << c.bits;
        zr_bmp_close(b);
    }
}

TEST(Bitmap, CreationFailuresSetTheirCodeAndLeakNothing) {
    struct fail_case { int w, h, bits, palette, code; } cases[] = {
        {4, 4, 16, 3, ERR_PALETTE},       {4, 4, 32, 1, ERR_PALETTE},
        {4, 4, 12, 0, ERR_COLOR_DEPTH},   {-1, 4, 8, 0, ERR_OUT_OF_MEMORY},
        {4, -1, 8, 0, ERR_OUT_OF_MEMORY}, {65536, 65536, 32, 0, ERR_OUT_OF_MEMORY},
        {INT_MAX, 1, 32, 0, ERR_OUT_OF_MEMORY},  {INT_MAX, INT_MAX, 32, 0, ERR_OUT_OF_MEMORY},
        {INT_MIN, INT_MAX, 24, 0, ERR_OUT_OF_MEMORY},
    };
    for (const auto &c : cases) {
        zr_error_code = 0;
        EXPECT_EQ(zr_bmp_create(c.w, c.h, c.bits, c.palette), nullptr) << c.w << "x" << c.h << "x" << c.bits;
        EXPECT_EQ(zr_error_code, c.code);
        // A record handed over is freed on failure, whatever it held.
        auto *given = static_cast<bmp_t *>(std::malloc(sizeof(bmp_t)));
        std::memset(given, 0xA5, sizeof(bmp_t));
        zr_error_code = 0;
        EXPECT_EQ(zr_given_bmp_mastering(given, c.w, c.h, c.bits, c.palette), nullptr);
        EXPECT_EQ(zr_error_code, c.code);
    }
    auto *given = static_cast<bmp_t *>(std::malloc(sizeof(bmp_t)));
    std::memset(given, 0xA5, sizeof(bmp_t));
    bmp_t *b = zr_given_bmp_mastering(given, 2, 2, 8, 256);
    ASSERT_EQ(b, given);
    EXPECT_EQ(b->dc.bits_per_pixel, static_cast<int>(0xA5A5A5A5));  // not ours to set
    EXPECT_EQ(rgba(pixel(b, 1, 1)), rgba({0, 0, 0, 255}));         // a zeroed palette
    zr_bmp_close(b);
    zr_bmp_close(nullptr);
}

}  // namespace
