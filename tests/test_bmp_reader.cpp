// The BMP reader: files built here field by field, read by zr_bmp_open
// (Windows files, the bitmap as stored) and by the image loader (the older
// dialects too, and its output rule); then the public BMP suite against its
// reference PNGs.
#include "bmp_file.hpp"
#include "child_memory.hpp"
#include "pixels.hpp"
#include "shared_data.hpp"
#include "temp_file.hpp"
#include "zr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace zr_test;

bmp_ptr open_bmp(const bytes &content) { return bmp_ptr(zr_bmp_open(temp_file(".bmp", content).c_str()), zr_bmp_close); }
bmp_ptr open_image(const bytes &content) { return bmp_ptr(zr_image_from_memory(content.data(), content.size()), zr_bmp_close); }

// The code a refused file leaves (zr_bmp_open, or the image loader); 0 when it loaded.
int refusal(const bytes &content, bool image = false) {
    zr_error_code = 0;
    return (image ? open_image(content) : open_bmp(content)) ? 0 : zr_error_code;
}

// A colour table whose entry i has blue i: a pixel's blue is its index.
const std::vector<std::uint32_t> index_table = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// The lowest alpha of all pixels; reading every pixel lets the sanitizer
// build see any access outside the buffers.
int lowest_alpha(bmp_t *b) {
    int lowest = 255;
    for (int y = 0; y < b->dc.height; ++y)
        for (int x = 0; x < b->dc.width; ++x) lowest = std::min(lowest, pixel(b, x, y)[3]);
    return lowest;
}

// An indexed image's indexes as hex digits, rows top first, separated by '|'.
std::string indexes(bmp_t *b) {
    std::string s;
    for (int y = 0; y < b->dc.height; ++y) {
        if (y) s += '|';
        for (int x = 0; x < b->dc.width; ++x) s += "0123456789abcdef"[pixel(b, x, y)[2] & 15];
    }
    return s;
}

// Headers and compressions, as each dialect takes them: zr_bmp_open reads
// Windows files only; the image loader also reads OS/2 headers (1.x: 12
// bytes with 16-bit sizes and 3-byte table entries; 2.x: 16 to 64 bytes, a
// multiple of 4, the fields past its end read as 0), RLE4 and OS/2's RLE24.
// Bad headers are refused by both before anything large is allocated.
TEST(BmpReader, EachDialectReadsItsOwnHeadersAndRefusesBadOnes) {
    // Index 0 is blue-green, 1 dark grey; the top-left pixel shows index 0,
    // the bottom-right one index 1.
    const std::vector<std::uint32_t> table = {0x00C0FFEE, 0x00102030};
    const bytes rows = {0, 0, 1, 0, 0, 1, 0, 0};  // 3 x 2 at 8 bits, bottom row first
    const bytes rle4 = {1, 0x00, 1, 0x11, 0, 1}, rle24 = {1, 0xEE, 0xFF, 0xC0, 1, 0x30, 0x20, 0x10, 0, 1}, px = {1, 2, 3, 0};
    const int H = ERR_IMAGE_HEADER, D = ERR_IMAGE_DATA;
    const struct { const char *what; bmp_file file; int bmp_code, image_code; } cases[] = {
        {"Windows, 40 bytes", {.width = 3, .height = 2, .bits = 8, .table = table, .pixels = rows}, 0, 0},
        {"rows top-down", {.width = 3, .height = -2, .bits = 8, .table = table, .pixels = {0, 1, 0, 0, 0, 0, 1, 0}}, 0, 0},
        {"OS/2 1.x", {.info_size = 12, .width = 3, .height = 2, .bits = 8, .table = table, .pixels = rows}, H, 0},
        {"OS/2 2.x cut to 16 bytes", {.info_size = 16, .width = 3, .height = 2, .bits = 8, .table = table, .pixels = rows}, H, 0},
        {"OS/2 2.x cut to 36 bytes", {.info_size = 36, .width = 3, .height = 2, .bits = 8, .table = table, .pixels = rows}, H, 0},
        {"OS/2 2.x, 64 bytes", {.info_size = 64, .width = 3, .height = 2, .bits = 8, .table = table, .pixels = rows}, 0, 0},
        {"18-byte header", {.info_size = 18, .width = 3, .height = 2, .bits = 8, .table = table, .pixels = rows}, H, H},
        {"RLE4", {.width = 2, .bits = 4, .compression = 2, .table = table, .pixels = rle4}, D, 0},
        {"top-down RLE4", {.width = 2, .height = -1, .bits = 4, .compression = 2, .table = table, .pixels = rle4}, D, H},
        {"RLE24 in an OS/2 2.x header", {.info_size = 64, .width = 2, .compression = 4, .pixels = rle24}, D, 0},
        {"RLE24 in a Windows header", {.width = 2, .compression = 4, .pixels = rle24}, D, D},
        {"OS/2 Huffman", {.info_size = 64, .bits = 16, .compression = 3, .pixels = px}, D, D},
        {"width 0", {.width = 0, .pixels = px}, H, H},
        {"height 0", {.height = 0, .pixels = px}, H, H},
        {"height INT_MIN", {.height = INT_MIN, .pixels = px}, H, H},
        {"bfOffBits inside the header", {.pixels = px, .off_bits = 50}, H, H},
        {"8 G pixels at 1 bit", {.width = INT_MAX, .height = 4, .bits = 1, .pixels = px}, H, H},
        {"RLE8 at 4 bits", {.bits = 4, .compression = 1, .pixels = px}, D, D},
        {"bit fields at 8 bits", {.bits = 8, .compression = 3, .pixels = px}, D, D},
        {"table past the end", {.bits = 8, .pixels = px, .declared_off_bits = 0x7FFFFFF0}, ERR_PALETTE, ERR_PALETTE},
        {"a colour table at 16 bits", {.bits = 16, .table = {0}, .pixels = px}, ERR_PALETTE, ERR_PALETTE},
        {"two masks", {.bits = 16, .compression = 3, .table = {0xF800, 0x07E0}, .pixels = px}, ERR_PALETTE, ERR_PALETTE},
        {"pixels past the end",
         {.bits = 16, .compression = 3, .table = {0x7C00, 0x3E0, 0x1F}, .pixels = px, .declared_off_bits = 0x7FFFFFF0}, D, D},
    };
    for (const auto &c : cases) {
        const bytes content = c.file.bytes();
        EXPECT_EQ(refusal(content), c.bmp_code) << c.what;
        EXPECT_EQ(refusal(content, true), c.image_code) << c.what << " (image loader)";
        if (c.image_code != 0) continue;
        bmp_ptr b = open_image(content);
        ASSERT_TRUE(b) << c.what;
        EXPECT_EQ(b->dc.width, c.file.width) << c.what;
        EXPECT_EQ(b->dc.height, std::abs(c.file.height)) << c.what;
        EXPECT_EQ(pixel(b.get(), 0, 0), (std::vector<int>{0xC0, 0xFF, 0xEE, 255})) << c.what;
        EXPECT_EQ(pixel(b.get(), b->dc.width - 1, b->dc.height - 1), (std::vector<int>{0x10, 0x20, 0x30, 255})) << c.what;
    }
    // Not "BM"; a missing file; a folder, which opens but holds no header.
    EXPECT_EQ(refusal(bytes{'B', 'A', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 1, 0}), H);
    for (const auto &[path, code] : {std::pair{"/nonexistent/zr.bmp", ERR_NO_IMAGE_FILE}, {"/", H}}) {
        zr_error_code = 0;
        EXPECT_EQ(zr_bmp_open(path), nullptr);
        EXPECT_EQ(zr_error_code, code) << path;
    }
}

// Small files are read into memory, large ones mapped: either way every
// byte of the file, up to its last, reaches the bitmap, through both readers.
TEST(BmpReader, SmallAndLargeFilesLoadWhole) {
    for (const int width : {100, 400}) {  // 30 KB and 480 KB files
        SCOPED_TRACE(width);
        bmp_file f{.width = width, .height = 400};
        for (int i = 0; i < width * 3 * 400; ++i) f.pixels.push_back(static_cast<unsigned char>(i * 7 + i / 251));
        const zr_test::temp_file file(".bmp", f.bytes());
        for (const bool image : {false, true}) {
            const bmp_ptr b(image ? zr_image_open(file.c_str()) : zr_bmp_open(file.c_str()), zr_bmp_close);
            ASSERT_TRUE(b);
            ASSERT_EQ(b->dc.bytes, static_cast<int>(f.pixels.size()));
            EXPECT_TRUE(std::equal(f.pixels.begin(), f.pixels.end(), b->data));
        }
    }
}

// A file that declares a large image but cannot hold it is refused before
// the pixel memory is allocated: in a child with room for far less than the
// declared image, the refusal still carries its own code, not ERR_OUT_OF_MEMORY.
TEST(BmpReader, ShortFilesAreRefusedWithoutAllocatingTheirImage) {
    // 1 GiB or 512 MiB of rows declared, 4 bytes present.
    const int n = 16384;
    struct { const char *what; bmp_file file; int code; } cases[] = {
        {"32 bits", {.width = n, .height = n, .bits = 32, .pixels = {1, 2, 3, 4}}, ERR_IMAGE_DATA},
        {"top-down", {.width = n, .height = -n, .bits = 32, .pixels = {1, 2, 3, 4}}, ERR_IMAGE_DATA},
        {"bit fields", {.width = n, .height = n, .bits = 16, .compression = 3, .table = {0x7C00, 0x3E0, 0x1F}, .pixels = {1, 2, 3, 4}},
         ERR_IMAGE_DATA},
        {"alpha bit fields", {.info_size = 124, .width = n, .height = n, .bits = 16, .compression = 3,
                              .header_masks = {0xF00, 0xF0, 0xF, 0xF000}, .pixels = {1, 2, 3, 4}}, ERR_IMAGE_DATA},
        {"colour table past the end", {.width = n, .height = n, .bits = 8, .pixels = {1, 2, 3, 4}, .declared_off_bits = 0x7FFFFFF0},
         ERR_PALETTE},
    };
    for (const auto &c : cases) {
        const bytes content = c.file.bytes();
        for (bool image : {false, true})
            EXPECT_EQ(zr_test::exit_code_with_room(256u << 20, [&] { return refusal(content, image); }), c.code)
                << c.what << (image ? " (image loader)" : "");
    }
}

TEST(BmpReader, RunLengthStreamsDecodeAndStayInside) {
    struct { const char *what; unsigned bits; int width, height; bytes stream; const char *rows; /* top first */ } cases[] = {
        {"run, end of line, run", 8, 4, 2, {4, 1, 0, 0, 4, 2, 0, 1}, "2222|1111"},
        {"a full row then end of line skips no row", 8, 2, 3, {2, 5, 0, 0, 2, 6, 0, 1}, "00|66|55"},
        {"odd absolute run is padded", 8, 4, 1, {0, 3, 7, 8, 9, 0xEE, 1, 4, 0, 1}, "7894"},
        {"even absolute run is not", 8, 4, 1, {0, 4, 1, 2, 3, 4, 0, 1}, "1234"},
        {"delta", 8, 4, 2, {0, 2, 1, 1, 1, 9, 0, 1}, "0900|0000"},
        {"runs stop at the row's end", 8, 2, 2, {5, 3, 0, 3, 4, 5, 6, 0}, "00|33"},
        {"delta past the last row", 8, 2, 1, {0, 2, 0, 5, 2, 7}, "00"},
        {"stream ends without end of bitmap", 8, 2, 1, {2, 4, 0}, "44"},
        {"absolute run longer than the stream", 8, 4, 1, {0, 9, 1, 2}, "1200"},
        {"RLE4 run: high nibble first, then alternating", 4, 5, 1, {5, 0x1C, 0, 1}, "1c1c1"},
        {"RLE4 absolute run: high nibble first", 4, 4, 1, {0, 4, 0x9A, 0xBC, 0, 1}, "9abc"},
        {"RLE4 absolute run of 3 nibbles: 2 bytes, no padding", 4, 5, 1, {0, 3, 0x34, 0x50, 2, 0x67, 0, 1}, "34567"},
        {"RLE4 absolute run of 5 nibbles: 3 bytes, padded", 4, 6, 1, {0, 5, 0x12, 0x34, 0x5F, 0, 1, 0x77, 0, 1}, "123457"},
    };
    for (const auto &c : cases) {
        bmp_file f{.width = c.width, .height = c.height, .bits = c.bits, .compression = c.bits == 8 ? 1u : 2u,
                   .size_image = 0xFFFFFFF0,  // far more than the file holds
                   .table = index_table, .pixels = c.stream};
        for (bool image : {false, true}) {
            if (c.bits == 4 && !image) continue;  // zr_bmp_open reads no RLE4
            bmp_ptr b = image ? open_image(f.bytes()) : open_bmp(f.bytes());
            ASSERT_TRUE(b) << c.what;
            EXPECT_EQ(indexes(b.get()), c.rows) << c.what;
        }
    }
}

// The image loader's output: bit fields with an alpha mask give a 32-bit
// alpha DC, every channel scaled to 8 bits (a full mask reads 255); other
// files keep their depth and read opaque, the unused fourth byte of 32-bit
// pixels included.
TEST(BmpReader, TheImageLoaderGivesAlphaDcsForAlphaMasksAndOpaquePixelsOtherwise) {
    struct { const char *what; bmp_file file; int type, colors; std::vector<std::vector<int>> column; /* top first */ } cases[] = {
        {"8-8-8-8, rows top-down",
         {.info_size = 124, .height = -2, .bits = 32, .compression = 3, .header_masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000},
          .pixels = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80}},
         DC_TYPE_ALPHA, 32, {{0x30, 0x20, 0x10, 0x40}, {0x70, 0x60, 0x50, 0x80}}},
        {"4-4-4-4", {.info_size = 124, .bits = 16, .compression = 3, .header_masks = {0xF00, 0xF0, 0xF, 0xF000}, .pixels = {0xF8, 0xF0, 0, 0}},
         DC_TYPE_ALPHA, 32, {{0, 255, 136, 255}}},
        {"10-10-10-2: wide channels round",
         {.info_size = 124, .bits = 32, .compression = 3, .header_masks = {0x3FF00000, 0xFFC00, 0x3FF, 0xC0000000},
          .pixels = {0x01, 0xFC, 0x0F, 0x60}},  // alpha 1, red 512, green 1023, blue 0
         DC_TYPE_ALPHA, 32, {{128, 255, 0, 85}}},
        {"5-5-5-1", {.info_size = 124, .height = 2, .bits = 16, .compression = 3, .header_masks = {0x7C00, 0x3E0, 0x1F, 0x8000},
          .pixels = {0x1F, 0x80, 0, 0, 0xE0, 0x03, 0, 0}},
         DC_TYPE_ALPHA, 32, {{0, 255, 0, 0}, {0, 0, 255, 255}}},
        {"32 bits without bit fields", {.bits = 32, .pixels = {1, 2, 3, 0x40}}, DC_TYPE_BITMAP, 32, {{3, 2, 1, 255}}},
        {"red in the fourth byte", {.info_size = 124, .bits = 32, .compression = 3, .header_masks = {0xFF000000, 0xFF00, 0xFF, 0},
          .pixels = {1, 2, 0x5A, 3}}, DC_TYPE_BITMAP, 32, {{3, 2, 1, 255}}},
        {"alpha mask 0", {.info_size = 56, .bits = 32, .compression = 3, .header_masks = {0xFF0000, 0xFF00, 0xFF, 0}, .pixels = {1, 2, 3, 0}},
         DC_TYPE_BITMAP, 32, {{3, 2, 1, 255}}},
        {"8 bits", {.bits = 8, .table = {0x7F102030}, .pixels = {0, 0, 0, 0}}, DC_TYPE_BITMAP, 8, {{0x10, 0x20, 0x30, 255}}},
    };
    for (const auto &c : cases) {
        bmp_ptr b = open_image(c.file.bytes());
        ASSERT_TRUE(b) << c.what << ": " << zr_error_code;
        EXPECT_EQ(b->dc.dc_type, c.type) << c.what;
        EXPECT_EQ(b->dc.colors, c.colors) << c.what;
        for (int y = 0; y < b->dc.height; ++y) EXPECT_EQ(pixel(b.get(), 0, y), c.column[static_cast<std::size_t>(y)]) << c.what << " row " << y;
    }
}

// First mismatch against the reference picture, or "" when every pixel
// matches. Channels narrower than 8 bits are compared at the precision the
// file stores them in (as zr_bmp_open's bitmap of it says): zr_bmp_open
// widens by shifting, the image loader and some reference decoders scale.
// Alpha is compared when asked for.
std::string compare(bmp_t *b, bmp_t *ref, bool alpha, const bmp_t *stored) {
    if (ref->dc.width != b->dc.width || ref->dc.height != b->dc.height) return "size differs";
    const bool sixteen = stored->dc.colors == 16;
    const int lens[4] = {sixteen ? stored->red_len : 8, sixteen ? stored->green_len : 8, sixteen ? stored->blue_len : 8, 8};
    for (int y = 0; y < b->dc.height; ++y)
        for (int x = 0; x < b->dc.width; ++x) {
            const std::vector<int> ours = pixel(b, x, y), theirs = pixel(ref, x, y);
            for (int i = 0; i < (alpha ? 4 : 3); ++i)
                if (ours[i] >> (8 - lens[i]) != std::lround(theirs[i] * ((1 << lens[i]) - 1) / 255.0))
                    return "pixel " + std::to_string(x) + "," + std::to_string(y) + " channel " + std::to_string(i) +
                           ": " + std::to_string(ours[i]) + " vs " + std::to_string(theirs[i]);
        }
    return "";
}

// The files with an alpha mask: the image loader gives each an alpha DC.
const std::set<std::string> alpha_files = {
    "q/rgba16-1924.bmp", "q/rgba16-4444.bmp", "q/rgba16-5551.bmp",  "q/rgba32-1.bmp",    "q/rgba32-1010102.bmp",
    "q/rgba32-2.bmp",    "q/rgba32-61754.bmp", "q/rgba32-81284.bmp", "q/rgba32h56.bmp",
};

// Every file of the suite (ZR_BMPSUITE_DIR, else bmpsuite/ in the shared
// folder) goes to both readers: zr_bmp_open loads g/ but for RLE4 and OS/2
// files and matches the references there; the image loader loads every file
// that other decoders read (those with a reference picture), matches the
// references that are not approximate, and gives alpha DCs for exactly the
// files with an alpha mask, opaque pixels everywhere else.
TEST(BmpSuite, BothReadersMatchTheReferencesAndTheOutputRuleHolds) {
    const std::string dir = zr_test::shared_folder("ZR_BMPSUITE_DIR", "bmpsuite") + "/";
    std::ifstream index(dir + "INDEX.tsv");
    if (!index) ZR_MISSING_SHARED_DATA("the BMP suite is not in " + dir + " (no INDEX.tsv); set ZR_BMPSUITE_DIR to its folder");
    std::string line;
    std::getline(index, line);  // column names
    std::map<char, int> opened, loaded;
    while (std::getline(index, line)) {
        std::vector<std::string> cols;
        std::istringstream fields(line);
        for (std::string col; std::getline(fields, col, '\t');) cols.push_back(col);
        const std::string &path = cols[0];
        const char folder = path[0];
        // The reference pictures are PNG files, read by the image loader.
        const bmp_ptr ref(cols.size() > 9 && cols[8] != "no" ? zr_image_open((dir + path.substr(0, path.size() - 4) + ".png").c_str()) : nullptr,
                          zr_bmp_close);
        const bool has_reference = ref != nullptr;
        bmp_ptr b(zr_bmp_open((dir + path).c_str()), zr_bmp_close);
        EXPECT_TRUE(b || folder != 'g' || path == "g/pal4rle.bmp" || path == "g/pal8os2.bmp") << path;
        if (b) {
            ++opened[folder];
            lowest_alpha(b.get());
            EXPECT_EQ(folder == 'g' && has_reference ? compare(b.get(), ref.get(), false, b.get()) : "", "") << path;
        }

        zr_error_code = 0;
        bmp_ptr image(zr_image_open((dir + path).c_str()), zr_bmp_close);
        EXPECT_TRUE(image || !has_reference || folder == 'b') << path << " refused, code " << zr_error_code;
        if (!image) continue;
        ++loaded[folder];
        const bool alpha = alpha_files.count(path) != 0;
        EXPECT_EQ(image->dc.dc_type, alpha ? DC_TYPE_ALPHA : DC_TYPE_BITMAP) << path;
        EXPECT_EQ(alpha ? 255 : lowest_alpha(image.get()), 255) << path;
        // The reference of the 1-bit alpha file ignores its alpha.
        const bool exact = folder != 'b' && has_reference && cols[9].find("approximate") == std::string::npos;
        EXPECT_EQ(exact ? compare(image.get(), ref.get(), alpha && path != "q/rgba16-5551.bmp", b ? b.get() : image.get()) : "", "") << path;
    }
    EXPECT_EQ(opened['g'], 25);
    EXPECT_EQ(loaded['g'], 27);
    // q/rgb24rle24.bmp, which no other decoder reads, shows the 252-colour
    // picture of g/pal8.bmp.
    bmp_ptr rle24(zr_image_open((dir + "q/rgb24rle24.bmp").c_str()), zr_bmp_close);
    bmp_ptr pal8(zr_image_open((dir + "g/pal8.bmp").c_str()), zr_bmp_close);
    ASSERT_TRUE(rle24 && pal8);
    EXPECT_EQ(compare(rle24.get(), pal8.get(), true, rle24.get()), "");
}

}  // namespace
