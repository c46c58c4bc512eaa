// Writes pictures as Windows BMP files at 1, 4, 8 (plain and RLE8), 16
// (5-5-5 or 5-6-5 bit fields), 24 and 32 bits per pixel. Everything is
// written byte by byte in little-endian order, rows bottom-up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bmpgen {

struct rgb {
    std::uint8_t r, g, b;
    bool operator==(const rgb &) const = default;
};

// A picture in full 8-bit colour, rows top-down.
struct image {
    int width = 0, height = 0;
    std::vector<rgb> pixels;

    image() = default;
    image(int w, int h) : width(w), height(h), pixels(static_cast<std::size_t>(w) * h) {}
    rgb &at(int x, int y) { return pixels[static_cast<std::size_t>(y) * width + x]; }
    const rgb &at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

enum class bmp_format { bits1, bits4, bits8, rle8, bits16_555, bits16_565, bits24, bits32 };

// Bits per pixel of a format (8 for rle8, 16 for both bit-field layouts).
int bits_of(bmp_format f);

// The colours the file holds, as a reader gets them back: the palette entry
// for indexed formats, each packed channel widened by a left shift at 16
// bits, the colour itself at 24 and 32 bits. Shows what dithering and
// truncation did to the picture.
image as_stored(const image &img, bmp_format f);

// The complete file.
std::vector<std::uint8_t> encode_bmp(const image &img, bmp_format f);

// encode_bmp written to path; false (errno set) when the file cannot be written.
bool write_bmp(const std::string &path, const image &img, bmp_format f);

// 8-bit palette indexes as one RLE8 stream: rows bottom-up, each row ended
// by end-of-line, the last by end-of-bitmap. Exposed for tests.
std::vector<std::uint8_t> encode_rle8(const std::vector<std::uint8_t> &indexes, int width, int height);

}  // namespace bmpgen
