// The BMP file reader: checks a file's headers, then reads its colour table
// (or channel masks) and its pixel rows straight into a new bitmap DC.
//
// Everything the file declares is checked against the file's real size before
// memory is allocated for it, so a hostile header cannot make the reader
// allocate more than the image it describes (at most 1 GiB of pixels) plus
// what the file itself holds.
#include "bitmap.hpp"

#include "pixel_format.hpp"
#include "zr_internal.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace zr::bmp {
namespace {

constexpr std::int64_t file_header_bytes = 14;  // "BM", bfSize, reserved, bfOffBits
constexpr std::int64_t masks_offset = 54;       // first byte after a 40-byte info header

constexpr std::uint32_t bi_rgb = 0;
constexpr std::uint32_t bi_rle8 = 1;
constexpr std::uint32_t bi_bitfields = 3;

// Info headers we read: Windows 3 (40 bytes), its variants with masks (52:
// red, green, blue; 56: and alpha), OS/2 2.x (64), V4 (108) and V5 (124).
bool known_info_size(std::uint32_t size) {
    return size == 40 || size == 52 || size == 56 || size == 64 || size == 108 || size == 124;
}

bool compression_supported(const bmp_t *b) {
    switch (b->biCompression) {
        case bi_rgb: return true;
        case bi_rle8: return b->biBitCount == 8;
        // In an OS/2 header, compression 3 means Huffman coding, not bit fields.
        case bi_bitfields: return (b->biBitCount == 16 || b->biBitCount == 32) && b->biSize != 64;
        default: return false;
    }
}

// The 52 bytes that follow the signature, field by field.
void store_header(bmp_t *b, const unsigned char *h) {
    b->bfSize = load_le32(h);
    b->bfReserved1 = load_le16(h + 4);
    b->bfReserved2 = load_le16(h + 6);
    b->bfOffBits = load_le32(h + 8);
    b->biSize = load_le32(h + 12);
    b->biWidth = static_cast<std::int32_t>(load_le32(h + 16));
    b->biHeight = static_cast<std::int32_t>(load_le32(h + 20));
    b->biPlanes = load_le16(h + 24);
    b->biBitCount = load_le16(h + 26);
    b->biCompression = load_le32(h + 28);
    b->biSizeImage = load_le32(h + 32);
    b->biXPelsPerMeter = static_cast<std::int32_t>(load_le32(h + 36));
    b->biYPelsPerMeter = static_cast<std::int32_t>(load_le32(h + 40));
    b->biClrUsed = load_le32(h + 44);
    b->biClrImportant = load_le32(h + 48);
}

// Size of the stream in bytes, or -1 when it cannot seek.
std::int64_t stream_size(std::FILE *f) {
    if (std::fseek(f, 0, SEEK_END) != 0) return -1;
    return std::ftell(f);
}

bool read_at(std::FILE *f, std::int64_t offset, void *dst, std::size_t n) {
    return std::fseek(f, static_cast<long>(offset), SEEK_SET) == 0 && std::fread(dst, 1, n, f) == n;
}

// Bit-field files: red, green and blue masks, and the alpha mask where the
// header has one. A 40-byte header is followed by the three masks; the longer
// headers hold them at the same offset.
int read_masks(std::FILE *f, bmp_t *b) {
    unsigned char raw[16] = {};
    std::size_t n = 12;
    if (b->biSize == 40) {
        if (b->bfOffBits < masks_offset + 12) return ERR_PALETTE;
    } else if (b->biSize >= 56) {
        n = 16;
    }
    if (!read_at(f, masks_offset, raw, n)) return ERR_PALETTE;
    // Room for four, so that a missing alpha mask reads as 0; the count is
    // what the file holds.
    b->palette = static_cast<std::uint32_t *>(std::malloc(4 * sizeof(std::uint32_t)));
    if (b->palette == nullptr) return ERR_OUT_OF_MEMORY;
    for (int i = 0; i < 4; ++i) b->palette[i] = load_le32(raw + 4 * i);
    b->palette_count = static_cast<int>(n / 4);
    return 0;
}

// The colour table: every whole entry between the info header and the pixels.
int read_colour_table(std::FILE *f, bmp_t *b, std::int64_t file_size) {
    const std::int64_t start = file_header_bytes + b->biSize;
    const std::int64_t entries = (std::int64_t{b->bfOffBits} - start) / 4;
    if (entries == 0) return 0;
    if (start + 4 * entries > file_size || entries > INT32_MAX) return ERR_PALETTE;
    const auto bytes = static_cast<std::size_t>(4 * entries);
    b->palette = static_cast<std::uint32_t *>(std::malloc(bytes));
    if (b->palette == nullptr) return ERR_OUT_OF_MEMORY;
    b->palette_count = static_cast<int>(entries);
    if (!read_at(f, start, b->palette, bytes)) return ERR_PALETTE;
    // Stored little-endian; each entry is read before it is overwritten.
    const auto *raw = reinterpret_cast<const unsigned char *>(b->palette);
    for (std::int64_t i = 0; i < entries; ++i) b->palette[i] = load_le32(raw + 4 * i);
    return 0;
}

// Uncompressed rows go straight into the pixel memory; top-down files are
// then turned into bottom-up order in place.
int read_rows(std::FILE *f, bmp_t *b, std::int64_t available, bool top_down) {
    const std::int64_t need = b->dc.bytes;
    if (available < need) return ERR_IMAGE_DATA;
    b->data = static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(need)));
    if (b->data == nullptr) return ERR_OUT_OF_MEMORY;
    if (std::fread(b->data, 1, static_cast<std::size_t>(need), f) != static_cast<std::size_t>(need))
        return ERR_IMAGE_DATA;
    if (top_down) {
        const std::ptrdiff_t row = b->dc.bytes_per_line;
        for (int top = 0, bottom = b->dc.height - 1; top < bottom; ++top, --bottom)
            std::swap_ranges(b->data + top * row, b->data + (top + 1) * row, b->data + bottom * row);
    }
    return 0;
}

// Decodes an 8-bit run-length stream into zeroed bottom-up rows. Runs and
// deltas are cut at the end of their row; decoding stops at the end-of-bitmap
// record, past the last row, or where the stream ends.
void decode_rle8(const unsigned char *s, std::size_t n, bmp_t *b) {
    const int width = b->dc.width;
    std::size_t pos = 0;
    int x = 0;
    int row = 0;  // in storage order: 0 is the bottom row of the image
    while (row < b->dc.height && n - pos >= 2) {
        const int first = s[pos];
        const int second = s[pos + 1];
        pos += 2;
        unsigned char *line = b->data + static_cast<std::ptrdiff_t>(row) * b->dc.bytes_per_line;
        if (first > 0) {  // a run of one index
            const int k = std::min(first, width - x);
            std::memset(line + x, second, static_cast<std::size_t>(k));
            x += k;
        } else if (second == 0) {  // end of line
            x = 0;
            ++row;
        } else if (second == 1) {  // end of bitmap
            break;
        } else if (second == 2) {  // delta
            if (n - pos < 2) break;
            x = std::min(x + s[pos], width);
            row += s[pos + 1];
            pos += 2;
        } else {  // absolute run, padded to an even number of bytes
            const auto count = static_cast<std::size_t>(second);
            const int k = static_cast<int>(std::min({count, n - pos, static_cast<std::size_t>(width - x)}));
            std::memcpy(line + x, s + pos, static_cast<std::size_t>(k));
            x += k;
            pos += std::min(count + (count & 1), n - pos);
        }
    }
}

// The stream is what the file holds after bfOffBits, at most biSizeImage
// bytes; it is kept in `encoded` only while it is decoded.
int read_rle8(std::FILE *f, bmp_t *b, std::int64_t available) {
    const std::int64_t stream = std::min<std::int64_t>(b->biSizeImage, available);
    if (stream <= 0) return ERR_IMAGE_DATA;
    b->data = static_cast<unsigned char *>(std::calloc(static_cast<std::size_t>(b->dc.bytes), 1));
    if (b->data == nullptr) return ERR_OUT_OF_MEMORY;
    b->encoded = static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(stream)));
    if (b->encoded == nullptr) return ERR_OUT_OF_MEMORY;
    const std::size_t got = std::fread(b->encoded, 1, static_cast<std::size_t>(stream), f);
    decode_rle8(b->encoded, got, b);
    std::free(b->encoded);
    b->encoded = nullptr;
    return 0;
}

}  // namespace

bmp_t *read_bmp(std::FILE *file) {
    auto *b = static_cast<bmp_t *>(std::calloc(1, sizeof(bmp_t)));
    if (b == nullptr) return set_error_code(nullptr, file, ERR_OUT_OF_MEMORY);
    const auto fail = [&](int code) { return set_error_code(b, file, code); };

    unsigned char head[54];
    if (std::fread(head, 1, sizeof head, file) != sizeof head || head[0] != 'B' || head[1] != 'M')
        return fail(ERR_IMAGE_HEADER);
    store_header(b, head + 2);
    const std::int64_t file_size = stream_size(file);
    if (file_size < 0) return fail(ERR_IMAGE_DATA);

    // Header sanity, before anything is allocated.
    const std::int64_t info_end = file_header_bytes + b->biSize;
    if (!known_info_size(b->biSize) || file_size < info_end || b->bfOffBits < info_end)
        return fail(ERR_IMAGE_HEADER);
    if (b->biWidth <= 0 || b->biHeight == 0 || b->biHeight == INT32_MIN) return fail(ERR_IMAGE_HEADER);
    const bool top_down = b->biHeight < 0;
    if (top_down && b->biCompression == bi_rle8) return fail(ERR_IMAGE_HEADER);
    if (!compression_supported(b)) return fail(ERR_IMAGE_DATA);
    if (!supported_depth(b->biBitCount)) return fail(ERR_COLOR_DEPTH);
    const std::int64_t width = b->biWidth;
    const std::int64_t height = top_down ? -std::int64_t{b->biHeight} : b->biHeight;
    const std::int64_t row = row_bytes(b->biBitCount, width);
    // The pixel count first: once it fits 31 bits, the byte count cannot overflow.
    if (width * height > INT32_MAX || row * height > max_pixel_bytes) return fail(ERR_IMAGE_HEADER);

    b->dc.width = static_cast<int>(width);
    b->dc.height = static_cast<int>(height);
    b->dc.dots = static_cast<int>(width * height);
    b->dc.bytes_per_line = static_cast<int>(row);
    b->dc.bytes = static_cast<int>(row * height);
    if (b->biSizeImage == 0) b->biSizeImage = static_cast<std::uint32_t>(b->dc.bytes);

    const int table = b->biCompression == bi_bitfields ? read_masks(file, b)
                                                        : read_colour_table(file, b, file_size);
    if (table != 0) return fail(table);

    const std::int64_t available = file_size - b->bfOffBits;
    if (available < 0 || std::fseek(file, static_cast<long>(b->bfOffBits), SEEK_SET) != 0)
        return fail(ERR_IMAGE_DATA);
    const int pixels = b->biCompression == bi_rle8 ? read_rle8(file, b, available)
                                                   : read_rows(file, b, available, top_down);
    if (pixels != 0) return fail(pixels);

    std::fclose(file);
    return setup_bitmap(b);
}

// Provisional: the extended reader replaces this.
bmp_t *read_bmp_any(std::FILE *file) { return read_bmp(file); }

}  // namespace zr::bmp

extern "C" {

// Opened for reading only: images on read-only files and file systems load.
ZR_API bmp_t *zr_bmp_open(const char *path) {
    std::FILE *file = path != nullptr ? std::fopen(path, "rb") : nullptr;
    if (file == nullptr) return zr::bmp::set_error_code(nullptr, nullptr, ERR_NO_IMAGE_FILE);
    return zr::bmp::read_bmp(file);
}

}  // extern "C"
