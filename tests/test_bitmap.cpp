// Bitmap DCs: layout, writing and creation failures. Reading every depth is
// checked against reference pictures in test_bmp_reader.
#include "bitmap.hpp"
#include "pixels.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

namespace {

using namespace zr_test;

// A bit-field bitmap as the reader makes one: masks red, green, blue, alpha.
bmp_ptr bitfield_bitmap(int w, int h, int bits, std::vector<std::uint32_t> masks) {
    auto *b = static_cast<bmp_t *>(std::calloc(1, sizeof(bmp_t)));
    zr::bmp::set_header(b, w, h, bits, 4);
    std::memcpy(b->palette, masks.data(), 4 * sizeof(std::uint32_t));
    b->biCompression = 3;
    b->data = static_cast<unsigned char *>(std::calloc(static_cast<size_t>(b->dc.bytes), 1));
    return bmp_ptr(zr::bmp::setup_bitmap(b), zr_bmp_close);
}

TEST(Bitmap, SixteenBitsKeepEveryValueThroughTheirMasks) {
    bmp_ptr b = make_bitmap(1, 1, 16);  // 5-5-5 by default
    zr_set_pixel(&b->dc, 0, 0, {255, 255, 255, 255});
    EXPECT_EQ(zr::load_le16(b->data), 0x7FFF);
    EXPECT_EQ(pixel(b.get(), 0, 0), rgba({248, 248, 248, 255}));
    bmp_ptr f = bitfield_bitmap(1, 1, 16, {0xF800, 0x07E0, 0x001F, 0});
    zr::store_le16(f->data, 0xFFFF);
    EXPECT_EQ(pixel(f.get(), 0, 0), rgba({248, 252, 248, 255}));
    for (bmp_t *bm : {b.get(), f.get()}) {  // read and written back, every value stays
        for (unsigned v = 0; v < (bm == b.get() ? 0x8000u : 0x10000u); ++v) {
            zr::store_le16(bm->data, static_cast<std::uint16_t>(v));
            color_t c{};
            bm->dc.get_pixel(&bm->dc, 0, 0, &c);
            zr_set_pixel(&bm->dc, 0, 0, c);
            ASSERT_EQ(zr::load_le16(bm->data), v);
        }
    }
}

TEST(Bitmap, ThirtyTwoBitsWithOtherMasksReadAndWriteThroughThem) {
    struct mask_case { std::vector<std::uint32_t> masks; std::uint32_t stored; color_t seen; } cases[] = {
        {{0xFF, 0xFF00, 0xFF0000, 0xFF000000}, 0x40302010, {0x10, 0x20, 0x30, 0x40}},
        {{0xFF000000, 0xFF0000, 0xFF00, 0}, 0x102030AA, {0x10, 0x20, 0x30, 255}},
        {{0x3FF00000, 0xFFC00, 0x3FF, 0xC0000000}, 0xFFF003FF, {255, 0, 255, 192}},
    };
    for (const auto &c : cases) {
        bmp_ptr b = bitfield_bitmap(1, 1, 32, c.masks);
        zr::store_le32(b->data, c.stored);
        EXPECT_EQ(pixel(b.get(), 0, 0), rgba(c.seen)) << std::hex << c.stored;
        zr::store_le32(b->data, 0);
        zr_set_pixel(&b->dc, 0, 0, c.seen);
        EXPECT_EQ(pixel(b.get(), 0, 0), rgba(c.seen)) << std::hex << c.stored;
    }
}

TEST(Bitmap, SixteenBitSpansAndClearLeaveRowPaddingAlone) {
    bmp_ptr b = bitfield_bitmap(3, 3, 16, {0xF800, 0x07E0, 0x001F, 0});  // rows of 8 bytes, 2 of padding
    std::memset(b->data, 0xAB, static_cast<size_t>(b->dc.bytes));
    b->dc.clear(&b->dc, {0, 0, 0, 0});  // transparent: nothing happens
    EXPECT_EQ(b->data[0], 0xAB);
    b->dc.clear(&b->dc, {0, 0, 0, 255});
    zr_hline(&b->dc, 1, 2, 0, {255, 0, 0, 255});
    zr_vline(&b->dc, 0, 1, 2, {0, 255, 0, 0});  // spans ignore alpha
    std::string seen;
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x) seen += pixel(b.get(), x, y)[0] ? 'r' : pixel(b.get(), x, y)[1] ? 'g' : 'k';
    EXPECT_EQ(seen, "krrgkkgkk");
    for (int r = 0; r < 3; ++r) EXPECT_EQ(zr::load_le16(b->data + r * 8 + 6), 0xABAB) << r;
}

// The index equal to the entry count is outside the table, even where the
// memory after the table holds a colour; a new table is zero, whatever the
// allocator hands out.
TEST(Bitmap, IndexesOutsideThePaletteReadAsOpaqueBlack) {
    void *dirty = std::malloc(256 * sizeof(std::uint32_t));  // a block of the table's size, used and freed
    std::memset(dirty, 0xA7, 256 * sizeof(std::uint32_t));
    std::free(dirty);
    bmp_ptr fresh = make_bitmap(1, 1, 8, 256);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(fresh->palette[i], 0u) << i;
    bmp_ptr b = make_bitmap(2, 1, 8, 2);
    b->palette[1] = 0x112233;
    b->data[0] = 1, b->data[1] = 2;
    EXPECT_EQ(pixel(b.get(), 0, 0), rgba({0x11, 0x22, 0x33, 255}));
    EXPECT_EQ(pixel(b.get(), 1, 0), rgba({0, 0, 0, 255}));
    std::uint32_t *own = b->palette;
    std::uint32_t longer[3] = {0, 0x112233, 0xFFFFFF};  // a colour right after the two entries
    b->palette = longer;
    EXPECT_EQ(pixel(b.get(), 1, 0), rgba({0, 0, 0, 255}));
    b->palette = nullptr;
    EXPECT_EQ(pixel(b.get(), 0, 0), rgba({0, 0, 0, 255}));
    b->palette = own;
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
    bmp_ptr b(zr_given_bmp_mastering(given, 2, 2, 8, 256), zr_bmp_close);
    ASSERT_EQ(b.get(), given);
    EXPECT_EQ(b->dc.bits_per_pixel, static_cast<int>(0xA5A5A5A5));  // not ours to set
    EXPECT_EQ(pixel(b.get(), 1, 1), rgba({0, 0, 0, 255}));         // a zeroed palette
    zr_bmp_close(nullptr);
}

}  // namespace
