// The BMP file reader: checks a file's headers, then reads its colour table
// (or channel masks) and its pixel rows straight into a new bitmap DC.
//
// Everything the file declares is checked against the file's real size before
// memory is allocated for it, so a hostile header cannot make the reader
// allocate more than the image it describes (at most 1 GiB of pixels) plus
// what the file itself holds.
//
// The reader comes in two widths. zr_bmp_open reads Windows headers with
// uncompressed, RLE8 and bit-field pixels. The image loader also reads the
// older variants that other decoders accept: OS/2 1.x headers (12 bytes,
// 3-byte colour-table entries), OS/2 2.x headers of any length from 16 to 64
// bytes, RLE4, and OS/2's RLE24.
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
constexpr std::uint32_t bi_rle4 = 2;
constexpr std::uint32_t bi_bitfields = 3;
constexpr std::uint32_t os2_rle24 = 4;  // in an OS/2 2.x header
constexpr std::uint32_t core_header = 12;  // OS/2 1.x

// OS/2 2.x headers: 64 bytes, or cut short anywhere after the bit count;
// the Windows lengths among them (40, 52, 56) are Windows headers.
bool os2_info_size(std::uint32_t size) {
    return size == 64 || (size >= 16 && size < 64 && size % 4 == 0 && size != 40 && size != 52 && size != 56);
}

bool is_rle(const bmp_t *b) {
    return b->biCompression == bi_rle8 || b->biCompression == bi_rle4 ||
           (b->biCompression == os2_rle24 && os2_info_size(b->biSize));
}

// Info headers we read: Windows 3 (40 bytes), its variants with masks (52:
// red, green, blue; 56: and alpha), OS/2 2.x (64), V4 (108) and V5 (124).
bool known_info_size(std::uint32_t size) {
    return size == 40 || size == 52 || size == 56 || size == 64 || size == 108 || size == 124;
}

bool compression_supported(const bmp_t *b, bool extended) {
    switch (b->biCompression) {
        case bi_rgb: return true;
        case bi_rle8: return b->biBitCount == 8;
        case bi_rle4: return extended && b->biBitCount == 4;
        // In an OS/2 header, compression 3 means Huffman coding, not bit
        // fields, and 4 means RLE24.
        case bi_bitfields: return (b->biBitCount == 16 || b->biBitCount == 32) && !os2_info_size(b->biSize);
        case os2_rle24: return extended && b->biBitCount == 24 && os2_info_size(b->biSize);
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

// The colour table: every whole entry between the info header and the
// pixels. Entries are 4 bytes (blue, green, red, unused), or 3 after an OS/2
// 1.x header.
int read_colour_table(std::FILE *f, bmp_t *b, std::int64_t file_size) {
    const std::int64_t entry = b->biSize == core_header ? 3 : 4;
    const std::int64_t start = file_header_bytes + b->biSize;
    const std::int64_t entries = (std::int64_t{b->bfOffBits} - start) / entry;
    if (entries == 0) return 0;
    if (start + entry * entries > file_size || entries > INT32_MAX) return ERR_PALETTE;
    const auto bytes = static_cast<std::size_t>(4 * entries);
    b->palette = static_cast<std::uint32_t *>(std::malloc(bytes));
    if (b->palette == nullptr) return ERR_OUT_OF_MEMORY;
    b->palette_count = static_cast<int>(entries);
    const auto stored = static_cast<std::size_t>(entry * entries);
    if (!read_at(f, start, b->palette, stored)) return ERR_PALETTE;
    // Stored little-endian; read from the end back, so that with 3-byte
    // entries no entry is overwritten before it is read.
    const auto *raw = reinterpret_cast<const unsigned char *>(b->palette);
    for (std::int64_t i = entries - 1; i >= 0; --i) {
        const unsigned char *e = raw + entry * i;
        b->palette[i] = entry == 4 ? load_le32(e) : std::uint32_t{e[0]} | std::uint32_t{e[1]} << 8 | std::uint32_t{e[2]} << 16;
    }
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

// Writes pixel x of a 4-bit row.
void put_index4(unsigned char *line, int x, int v) {
    unsigned char &cell = line[x >> 1];
    cell = static_cast<unsigned char>((x & 1) != 0 ? (cell & 0xF0) | v : (cell & 0x0F) | v << 4);
}

// Decodes a run-length stream (RLE8, RLE4 or RLE24, by the bit count) into
// zeroed bottom-up rows. A run is a count and one value (one byte, or three
// for RLE24; an RLE4 byte holds two pixels that alternate); a zero count
// starts an escape: end of line, end of bitmap, a delta, or an absolute run
// of stored pixels padded to an even number of bytes. Runs and deltas are cut
// at the end of their row; decoding stops at the end-of-bitmap record, past
// the last row, or where the stream ends.
void decode_rle(const unsigned char *s, std::size_t n, bmp_t *b) {
    const int width = b->dc.width, bits = b->biBitCount;
    const std::size_t value_bytes = bits == 24 ? 3 : 1;
    std::size_t pos = 0;
    int x = 0;
    int row = 0;  // in storage order: 0 is the bottom row of the image
    while (row < b->dc.height && n - pos >= 2) {
        unsigned char *line = b->data + static_cast<std::ptrdiff_t>(row) * b->dc.bytes_per_line;
        const int first = s[pos];
        if (first > 0) {  // a run of one value
            if (n - pos < 1 + value_bytes) break;
            const unsigned char *v = s + pos + 1;
            pos += 1 + value_bytes;
            const int k = std::min(first, width - x);
            if (bits == 8) {
                std::memset(line + x, v[0], static_cast<std::size_t>(k));
            } else if (bits == 4) {
                for (int i = 0; i < k; ++i) put_index4(line, x + i, (i & 1) != 0 ? v[0] & 0xF : v[0] >> 4);
            } else {
                for (int i = 0; i < k; ++i) std::memcpy(line + 3 * (x + i), v, 3);
            }
            x += k;
            continue;
        }
        const int second = s[pos + 1];
        pos += 2;
        if (second == 0) {  // end of line
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
            const std::size_t stored = (count * static_cast<std::size_t>(bits) + 7) / 8;
            const std::size_t in_stream = (n - pos) * 8 / static_cast<std::size_t>(bits);
            const int k = static_cast<int>(std::min({count, in_stream, static_cast<std::size_t>(width - x)}));
            if (bits == 4) {
                for (int i = 0; i < k; ++i) put_index4(line, x + i, (i & 1) != 0 ? s[pos + i / 2] & 0xF : s[pos + i / 2] >> 4);
            } else {
                std::memcpy(line + x * (bits / 8), s + pos, static_cast<std::size_t>(k) * (bits / 8));
            }
            x += k;
            pos += std::min(stored + (stored & 1), n - pos);
        }
    }
}

// The stream is what the file holds after bfOffBits, at most limit bytes
// (0: all of it); it is kept in `encoded` only while it is decoded.
int read_rle(std::FILE *f, bmp_t *b, std::int64_t available, std::int64_t limit) {
    const std::int64_t stream = limit > 0 ? std::min(limit, available) : available;
    if (stream <= 0) return ERR_IMAGE_DATA;
    b->data = static_cast<unsigned char *>(std::calloc(static_cast<std::size_t>(b->dc.bytes), 1));
    if (b->data == nullptr) return ERR_OUT_OF_MEMORY;
    b->encoded = static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(stream)));
    if (b->encoded == nullptr) return ERR_OUT_OF_MEMORY;
    const std::size_t got = std::fread(b->encoded, 1, static_cast<std::size_t>(stream), f);
    decode_rle(b->encoded, got, b);
    std::free(b->encoded);
    b->encoded = nullptr;
    return 0;
}

// The 12-byte OS/2 1.x header: 16-bit width and height (rows bottom-up),
// planes and bit count; nothing else.
void store_core_header(bmp_t *b, const unsigned char *h) {
    b->bfSize = load_le32(h);
    b->bfReserved1 = load_le16(h + 4);
    b->bfReserved2 = load_le16(h + 6);
    b->bfOffBits = load_le32(h + 8);
    b->biSize = load_le32(h + 12);
    b->biWidth = load_le16(h + 16);
    b->biHeight = load_le16(h + 18);
    b->biPlanes = load_le16(h + 20);
    b->biBitCount = load_le16(h + 22);
}

bmp_t *read_file(std::FILE *file, bool extended) {
    auto *b = static_cast<bmp_t *>(std::calloc(1, sizeof(bmp_t)));
    if (b == nullptr) return set_error_code(nullptr, file, ERR_OUT_OF_MEMORY);
    const auto fail = [&](int code) { return set_error_code(b, file, code); };

    // The Windows headers need all 54 bytes; the shorter OS/2 ones as many as
    // they declare, with the fields they lack read as 0.
    unsigned char head[54] = {};
    const std::size_t got = std::fread(head, 1, sizeof head, file);
    if (got < 18 || head[0] != 'B' || head[1] != 'M') return fail(ERR_IMAGE_HEADER);
    const std::uint32_t info_size = load_le32(head + 14);
    const bool core = extended && info_size == core_header;
    const bool short_os2 = extended && info_size < 40 && os2_info_size(info_size);
    const std::size_t need = core ? 26 : short_os2 ? file_header_bytes + info_size : sizeof head;
    if (got < need) return fail(ERR_IMAGE_HEADER);
    if (core) {
        store_core_header(b, head + 2);
    } else {
        if (short_os2) std::memset(head + need, 0, sizeof head - need);
        store_header(b, head + 2);
    }
    const std::int64_t file_size = stream_size(file);
    if (file_size < 0) return fail(ERR_IMAGE_DATA);

    // Header sanity, before anything is allocated.
    const std::int64_t info_end = file_header_bytes + b->biSize;
    const bool known = known_info_size(b->biSize) || (extended && (core || os2_info_size(b->biSize)));
    if (!known || file_size < info_end || b->bfOffBits < info_end) return fail(ERR_IMAGE_HEADER);
    if (b->biWidth <= 0 || b->biHeight == 0 || b->biHeight == INT32_MIN) return fail(ERR_IMAGE_HEADER);
    const bool top_down = b->biHeight < 0;
    const bool rle = b->biCompression == bi_rle8 || (extended && is_rle(b));
    if (top_down && rle) return fail(ERR_IMAGE_HEADER);
    if (!compression_supported(b, extended)) return fail(ERR_IMAGE_DATA);
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
    const bool size_given = b->biSizeImage != 0;
    if (!size_given) b->biSizeImage = static_cast<std::uint32_t>(b->dc.bytes);
    // The image loader reads a run-length stream without a declared size to
    // the end of the file (an RLE24 stream can be longer than its image);
    // zr_bmp_open reads at most the image's raw size.
    const std::int64_t stream_limit = size_given || !extended ? std::int64_t{b->biSizeImage} : 0;

    const int table = b->biCompression == bi_bitfields ? read_masks(file, b)
                                                        : read_colour_table(file, b, file_size);
    if (table != 0) return fail(table);

    const std::int64_t available = file_size - b->bfOffBits;
    if (available < 0 || std::fseek(file, static_cast<long>(b->bfOffBits), SEEK_SET) != 0)
        return fail(ERR_IMAGE_DATA);
    const int pixels = rle ? read_rle(file, b, available, stream_limit) : read_rows(file, b, available, top_down);
    if (pixels != 0) return fail(pixels);

    std::fclose(file);
    return setup_bitmap(b);
}

}  // namespace

bmp_t *read_bmp(std::FILE *file) { return read_file(file, false); }

bmp_t *read_bmp_any(std::FILE *file) { return read_file(file, true); }

}  // namespace zr::bmp

extern "C" {

// Opened for reading only: images on read-only files and file systems load.
ZR_API bmp_t *zr_bmp_open(const char *path) {
    std::FILE *file = path != nullptr ? std::fopen(path, "rb") : nullptr;
    if (file == nullptr) return zr::bmp::set_error_code(nullptr, nullptr, ERR_NO_IMAGE_FILE);
    return zr::bmp::read_bmp(file);
}

}  // extern "C"
