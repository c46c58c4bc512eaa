// The one loader for every image: the first bytes say which reader runs.
// BMP goes to the BMP reader through a stream (fmemopen for a buffer), PNG
// and JPEG to their decoders, which work on the whole file in memory.
#include "image.hpp"

#include "bitmap.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zr::image {
namespace {

enum class kind { unknown, bmp, png, jpeg };

kind sniff(const unsigned char *p, std::size_t n) {
    static constexpr unsigned char png_magic[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (n >= 8 && std::memcmp(p, png_magic, 8) == 0) return kind::png;
    // SOI and the first marker's prefix: a bare FF D8 is too weak a sign.
    if (n >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF) return kind::jpeg;
    if (n >= 2 && p[0] == 'B' && p[1] == 'M') return kind::bmp;
    return kind::unknown;
}

bmp_t *decode(const unsigned char *data, std::size_t size) {
    switch (sniff(data, size)) {
        case kind::png: return read_png(data, size);
        case kind::jpeg: return read_jpeg(data, size);
        case kind::bmp: {
            std::FILE *file = fmemopen(const_cast<unsigned char *>(data), size, "rb");
            if (file == nullptr) return fail(ERR_OUT_OF_MEMORY);
            return bmp::read_bmp_any(file);
        }
        default: return fail(ERR_IMAGE_HEADER);
    }
}

}  // namespace

bmp_t *fail(int code) {
    zr_error_code = code;
    return nullptr;
}

bool too_large(std::int64_t width, std::int64_t height, bool alpha, std::int64_t decoder_bytes) {
    return width <= 0 || height <= 0 || width * height > INT32_MAX ||
           bmp::row_bytes(alpha ? 32 : 24, width) * height > bmp::max_pixel_bytes - decoder_bytes;
}

bmp_t *new_bitmap(std::int64_t width, std::int64_t height, bool alpha) {
    const int bits = alpha ? 32 : 24;
    if (too_large(width, height, alpha)) return fail(ERR_IMAGE_HEADER);
    bmp_t *b = zr_bmp_create(static_cast<int>(width), static_cast<int>(height), bits, 0);
    if (b != nullptr && alpha) b->dc.dc_type = DC_TYPE_ALPHA;
    return b;
}

}  // namespace zr::image

extern "C" {

// BMP files are read from the open stream, as zr_bmp_open reads them; the
// other kinds are read whole into memory first.
ZR_API bmp_t *zr_image_open(const char *path) {
    using namespace zr::image;
    std::FILE *file = path != nullptr ? std::fopen(path, "rb") : nullptr;
    if (file == nullptr) return fail(ERR_NO_IMAGE_FILE);
    unsigned char head[8];
    const std::size_t got = std::fread(head, 1, sizeof head, file);
    const bool unreadable = got < sizeof head && std::ferror(file) != 0;  // a directory, say
    const kind k = unreadable ? kind::unknown : sniff(head, got);
    if (k == kind::bmp && std::fseek(file, 0, SEEK_SET) == 0) return zr::bmp::read_bmp_any(file);
    struct stat st {};
    if (k == kind::unknown || fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(file);
        return fail(k == kind::unknown && !unreadable ? ERR_IMAGE_HEADER : ERR_NO_IMAGE_FILE);
    }
    const std::size_t size = std::max(static_cast<std::size_t>(st.st_size), got);
    auto *data = static_cast<unsigned char *>(std::malloc(size));
    if (data == nullptr) {
        std::fclose(file);
        return fail(ERR_OUT_OF_MEMORY);
    }
    std::memcpy(data, head, got);
    const bool whole = std::fread(data + got, 1, size - got, file) == size - got;
    std::fclose(file);
    bmp_t *b = whole ? decode(data, size) : fail(ERR_NO_IMAGE_FILE);
    std::free(data);
    return b;
}

ZR_API bmp_t *zr_image_from_memory(const void *data, size_t size) {
    if (data == nullptr) return zr::image::fail(ERR_NO_IMAGE_FILE);
    return zr::image::decode(static_cast<const unsigned char *>(data), size);
}

}  // extern "C"
