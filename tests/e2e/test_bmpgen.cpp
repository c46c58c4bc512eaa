// bmpgen's files as the library reads them: every format decodes to the
// colours the writer says it stored, and the demo's images never change.
#include "bmp_writer.hpp"
#include "demo_runner.hpp"
#include "pictures.hpp"
#include "zr.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>

namespace {

namespace fs = std::filesystem;
using bmpgen::bmp_format;

std::vector<std::uint8_t> read_file(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t le32(const std::vector<std::uint8_t> &b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// Writes img, loads it with zr_bmp_open and compares every pixel with what
// the writer says the file holds.
testing::AssertionResult loads_as_stored(const bmpgen::image &img, bmp_format f, const fs::path &file) {
    if (!bmpgen::write_bmp(file.string(), img, f)) return testing::AssertionFailure() << "cannot write " << file;
    const std::unique_ptr<bmp_t, void (*)(bmp_t *)> bmp(zr_bmp_open(file.c_str()), zr_bmp_close);
    if (!bmp) return testing::AssertionFailure() << "zr_bmp_open: code " << zr_error_code;
    if (bmp->dc.width != img.width || bmp->dc.height != img.height || bmp->dc.colors != bmpgen::bits_of(f))
        return testing::AssertionFailure() << "loaded as " << bmp->dc.width << "x" << bmp->dc.height << " at " << bmp->dc.colors;
    const bmpgen::image want = bmpgen::as_stored(img, f);
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            color_t got{};
            zr_get_pixel(&bmp->dc, x, y, &got);
            const bmpgen::rgb w = want.at(x, y);
            if (got.red != w.r || got.green != w.g || got.blue != w.b || got.alpha != 255)
                return testing::AssertionFailure() << "pixel (" << x << "," << y << ") reads " << +got.red << "," << +got.green
                                                   << "," << +got.blue << "," << +got.alpha << ", written " << +w.r << ","
                                                   << +w.g << "," << +w.b;
        }
    return testing::AssertionSuccess();
}

TEST(Bmpgen, EveryFormatLoadsAsWritten) {
    const struct { bmp_format format; std::uint32_t offset, compression, red_mask, green_mask; } formats[] = {
        {bmp_format::bits1, 54 + 2 * 4, 0, 0, 0},     {bmp_format::bits4, 54 + 16 * 4, 0, 0, 0},
        {bmp_format::bits8, 54 + 256 * 4, 0, 0, 0},   {bmp_format::rle8, 54 + 256 * 4, 1, 0, 0},
        {bmp_format::bits16_555, 66, 3, 0x7C00, 0x03E0}, {bmp_format::bits16_565, 66, 3, 0xF800, 0x07E0},
        {bmp_format::bits24, 54, 0, 0, 0},            {bmp_format::bits32, 54, 0, 0, 0},
    };
    // Odd sizes leave partial bytes and row padding; the flat picture gives long runs.
    const std::pair<const char *, int> pictures[] = {{"landscape", 37}, {"tiles", 200}, {"rings", 1}};
    e2e::temp_dir tmp;
    for (const auto &fc : formats)
        for (const auto &[name, width] : pictures) {
            SCOPED_TRACE(std::string(name) + " at " + std::to_string(bmpgen::bits_of(fc.format)) +
                         " bits, compression " + std::to_string(fc.compression));
            const bmpgen::image img = bmpgen::make_picture(name, width, width * 3 / 4 + 1);
            const fs::path file = tmp / "picture.bmp";
            EXPECT_TRUE(loads_as_stored(img, fc.format, file));

            // bfSize, bfOffBits, the compression, biSizeImage and the masks.
            const std::vector<std::uint8_t> b = read_file(file);
            ASSERT_GE(b.size(), fc.offset);
            EXPECT_EQ((std::vector<std::uint32_t>{le32(b, 2), le32(b, 10), le32(b, 30), le32(b, 34)}),
                      (std::vector<std::uint32_t>{std::uint32_t(b.size()), fc.offset, fc.compression, std::uint32_t(b.size()) - fc.offset}));
            EXPECT_TRUE(fc.compression != 3 || (std::vector<std::uint32_t>{le32(b, 54), le32(b, 58), le32(b, 62)} ==
                                                std::vector<std::uint32_t>{fc.red_mask, fc.green_mask, 0x1F}));
        }
}

// The demo's images as the build wrote them. Any change of a picture, a
// palette or the dithering shows here, and so would a compiler or host that
// computes the pictures differently.
TEST(Bmpgen, DemoImagesAreTheSameOnEveryBuild) {
    const std::pair<const char *, std::uint64_t> images[] = {
        {"bpp-01.bmp", 0xb83647882b8cb0e7ull}, {"bpp-04.bmp", 0xfe3573b718f6c29bull}, {"bpp-08.bmp", 0xefa613cc11512bdeull},
        {"bpp-24.bmp", 0x723b1b488248ad7bull}, {"bpp-32.bmp", 0xeeb9b5e4d1018edfull}};
    for (const auto &[name, hash] : images) {
        std::uint64_t h = 14695981039346656037ull;  // FNV-1a
        for (const std::uint8_t b : read_file(fs::path(ZR_SAMPLE_DIR) / name)) h = (h ^ b) * 1099511628211ull;
        EXPECT_EQ(h, hash) << name;
    }
}

}  // namespace
