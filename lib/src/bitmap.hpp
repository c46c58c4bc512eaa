// Bitmap DCs: the steps the bitmap module shares with the BMP reader.
//
// A bitmap keeps its rows bottom-up, each padded to a multiple of 4 bytes.
// Its palette holds 32-bit values with blue in bits 0-7, green 8-15 and red
// 16-23 (a colour-table entry as stored in a file, read little-endian). At 16
// and 32 bits the palette holds the channel masks instead: red, green, blue,
// and for bit-field files read from disk a fourth entry, the alpha mask (0
// when the file gives none).
#pragma once

#include "pixel_format.hpp"
#include "zr.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace zr::bmp {

// Largest pixel memory the reader allocates for one image.
inline constexpr std::int64_t max_pixel_bytes = std::int64_t{1} << 30;

// Bytes of one row: width pixels of bits each, rounded up to whole 32-bit words.
constexpr std::int64_t row_bytes(std::int64_t bits, std::int64_t width) {
    return (bits * width + 31) / 32 * 4;
}

// True for the depths a bitmap can have: 1, 4, 8, 16, 24 and 32.
bool supported_depth(int bits);

// Fills geometry, row size and the header fields of an empty bitmap, with a
// zeroed palette of palette_count entries when palette_count > 0. The caller
// has checked that the sizes fit an int. Returns 0, or ERR_OUT_OF_MEMORY when
// the palette cannot be allocated.
int set_header(bmp_t *bmp, int width, int height, int bits, int palette_count);

// Makes a record whose geometry, header, palette and data are in place into a
// finished bitmap DC: kind, drawing state, slots for its depth, and masks at
// 16 and 32 bits. Returns bmp, or null after releasing it.
bmp_t *setup_bitmap(bmp_t *bmp);

// Derives the channel shifts and widths from the red, green and blue masks.
void calculate_boffset(bmp_t *bmp);

// The release_dc slot of bitmaps: frees the palette, the pixel rows and the
// record. Null is ignored.
void release_dc(dc_t *dc);

// The end of every failure path: stores code in zr_error_code, releases bmp
// (null ignored) and closes file (null ignored). Returns null.
bmp_t *set_error_code(bmp_t *bmp, std::FILE *file, int code);

// Row y of a bitmap (y = 0 is the top row). Rows are stored bottom-up: the
// top row comes last.
inline unsigned char *bitmap_row(dc_t *dc, int y) {
    return dc->mapped + static_cast<std::ptrdiff_t>(dc->height - 1 - y) * dc->bytes_per_line;
}

// The palette index of pixel x in a row of 1-, 4- or 8-bit pixels: the
// leftmost pixel of a byte is its most significant bit (or nibble).
inline int index1_at(const unsigned char *row, int x) { return (row[x >> 3] >> (7 - (x & 7))) & 1; }
inline int index4_at(const unsigned char *row, int x) { return (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 0xF; }

// The colour that palette index i reads as: the entry's red, green and blue,
// alpha 255; opaque black for an index outside the table or without one.
color_t palette_color(const bmp_t *bmp, int index);

// The colour that the 16-bit pixel value v of a bitmap reads as, through its masks.
color_t packed16_color(const bmp_t *bmp, std::uint32_t v);

// Which of the library's bitmap formats a DC carries, judged by its slots
// (index1, index4, index8, bitfield16, bgr24 or bgra32); none for anything
// else (an application's own slots, 32 bits with masks of its own).
pixel_format bitmap_format_of(const dc_t *dc);

}  // namespace zr::bmp
