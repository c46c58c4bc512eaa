// Image files of every kind the library reads, told apart by their content:
// the decoders behind zr_image_open and zr_image_from_memory.
#pragma once

#include "zr.h"

#include <cstddef>
#include <cstdint>

namespace zr::image {

// PNG and JPEG from a whole file in memory. Each returns a new bitmap DC, or
// null with zr_error_code set; a decoder the build lacks gives
// ERR_IMAGE_HEADER.
bmp_t *read_png(const unsigned char *data, std::size_t size);
bmp_t *read_jpeg(const unsigned char *data, std::size_t size);

// True when a width x height bitmap (32 bits with alpha, else 24) has no
// pixels, or when its pixels and the decoder_bytes a decoder holds besides
// while it reads are over the BMP reader's pixel cap.
bool too_large(std::int64_t width, std::int64_t height, bool alpha, std::int64_t decoder_bytes = 0);

// The empty bitmap a decoder fills: 24 bits (BGR), or 32 bits (BGRA) of kind
// DC_TYPE_ALPHA. Sizes over the BMP reader's pixel cap are refused with
// ERR_IMAGE_HEADER, failed allocations with ERR_OUT_OF_MEMORY. Null on
// failure, with zr_error_code set.
bmp_t *new_bitmap(std::int64_t width, std::int64_t height, bool alpha);

// Row y (0 = top) of a bitmap made by new_bitmap.
inline unsigned char *row(bmp_t *bmp, std::int64_t y) {
    return bmp->data + (bmp->dc.height - 1 - y) * static_cast<std::ptrdiff_t>(bmp->dc.bytes_per_line);
}

// Sets zr_error_code and gives back null, for one-line failure returns.
bmp_t *fail(int code);

}  // namespace zr::image
