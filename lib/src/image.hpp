// Image files of every kind the library reads: a table of readers over one
// byte span (the whole file), behind zr_image_open and zr_image_from_memory.
//
// The output rule, the same for every reader: an image with an alpha
// channel becomes a 32-bit bitmap (bytes blue, green, red, alpha) of kind
// DC_TYPE_ALPHA, made by new_bitmap; an opaque one a bitmap whose pixels
// read with alpha 255.
#pragma once

#include "zr.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace zr::image {

using bytes = std::span<const unsigned char>;

// One kind of image file. sniff looks at the first bytes only; read decodes
// the whole file into a new bitmap DC, or returns null with zr_error_code
// set. A kind the build has no decoder for is still sniffed, and its read
// refuses it with ERR_IMAGE_HEADER.
struct reader {
    const char *name;
    bool (*sniff)(bytes file);
    bmp_t *(*read)(bytes file);
};

// The readers, each defined beside its decoder; image.cpp tries them in turn.
extern const reader png_reader;
extern const reader jpeg_reader;
extern const reader bmp_reader;

// True when a width x height bitmap (32 bits with alpha, else 24) has no
// pixels, or when its pixels and the decoder_bytes a decoder holds besides
// while it reads are over the BMP reader's pixel cap.
bool too_large(std::int64_t width, std::int64_t height, bool alpha, std::int64_t decoder_bytes = 0);

// The empty bitmap a decoder fills: 24 bits (BGR), or 32 bits (BGRA) of kind
// DC_TYPE_ALPHA. Sizes over the BMP reader's pixel cap are refused with
// ERR_IMAGE_HEADER, failed allocations with ERR_OUT_OF_MEMORY. Null on
// failure, with zr_error_code set.
bmp_t *new_bitmap(std::int64_t width, std::int64_t height, bool alpha);

// Sets zr_error_code and gives back null, for one-line failure returns.
bmp_t *fail(int code);

// The bytes of the file at path, read once: a regular file is mapped (or,
// where it cannot be, read whole); anything else gives at most other_limit
// bytes, read from its start. opened is false when the path cannot be
// opened; error is ERR_NO_IMAGE_FILE when reading failed, ERR_OUT_OF_MEMORY
// when the bytes found no room, else 0.
class file_bytes {
public:
    file_bytes(const char *path, std::size_t other_limit);
    ~file_bytes();
    file_bytes(const file_bytes &) = delete;
    file_bytes &operator=(const file_bytes &) = delete;

    bool opened = false, regular = false;
    int error = 0;
    bytes data() const { return {start_, size_}; }

private:
    unsigned char *start_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
};

}  // namespace zr::image

namespace zr::bmp {

// What a caller of the BMP reader accepts beyond Windows BMP files, and how
// the bitmap comes back.
struct dialect {
    bool os2_headers;    // OS/2 1.x (12 bytes) and 2.x (16 to 64 bytes) info headers
    bool rle4_rle24;     // RLE4, and OS/2's RLE24
    bool stream_to_end;  // a run-length stream without a declared size runs to the end of the file
    bool image_output;   // the image loader's output rule (image.hpp)
};
// zr_bmp_open's: Windows headers, uncompressed, RLE8 and bit fields, the
// bitmap as the file stores it.
inline constexpr dialect windows{false, false, false, false};
// The image loader's: everything other decoders read.
inline constexpr dialect every{true, true, true, true};

// Reads the BMP file held in file into a new bitmap DC; null with
// zr_error_code set on failure.
bmp_t *read_bmp(image::bytes file, const dialect &d);

}  // namespace zr::bmp
