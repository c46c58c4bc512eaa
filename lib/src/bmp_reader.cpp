// The BMP file reader: checks the headers of a file held whole in memory,
// then reads its colour table (or channel masks) and its pixel rows from
// those bytes into a new bitmap DC.
//
// Everything the file declares is checked against the file's real size before
// memory is allocated for it, so a hostile header cannot make the reader
// allocate more than the image it describes (at most 1 GiB of pixels).
//
// The reader speaks two dialects (image.hpp). zr_bmp_open's reads Windows
// headers with uncompressed, RLE8 and bit-field pixels. The image loader's
// also reads the older variants that other decoders accept: OS/2 1.x headers
// (12 bytes, 3-byte colour-table entries), OS/2 2.x headers of any length
// from 16 to 64 bytes, RLE4, and OS/2's RLE24; and it gives the loader's
// output (alpha bitmaps for alpha masks, opaque pixels otherwise).
#include "bitmap.hpp"
#include "image.hpp"

#include "pixel_format.hpp"
#include "zr_internal.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace zr::bmp {
namespace {

using image::bytes;

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

bool is_rle(const bmp_t *b, const dialect &d) {
    return b->biCompression == bi_rle8 ||
           (d.rle4_rle24 && (b->biCompression == bi_rle4 ||
                             (b->biCompression == os2_rle24 && os2_info_size(b->biSize))));
}

// Info headers we read: Windows 3 (40 bytes), its variants with masks (52:
// red, green, blue; 56: and alpha), OS/2 2.x (64), V4 (108) and V5 (124).
bool known_info_size(std::uint32_t size) {
    return size == 40 || size == 52 || size == 56 || size == 64 || size == 108 || size == 124;
}

bool compression_supported(const bmp_t *b, const dialect &d) {
    switch (b->biCompression) {
        case bi_rgb: return true;
        case bi_rle8: return b->biBitCount == 8;
        case bi_rle4: return d.rle4_rle24 && b->biBitCount == 4;
        // In an OS/2 header, compression 3 means Huffman coding, not bit
        // fields, and 4 means RLE24.
        case bi_bitfields: return (b->biBitCount == 16 || b->biBitCount == 32) && !os2_info_size(b->biSize);
        case os2_rle24: return d.rle4_rle24 && b->biBitCount == 24 && os2_info_size(b->biSize);
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

// Bit-field files: red, green and blue masks, and the alpha mask where the
// header has one. A 40-byte header is followed by the three masks; the longer
// headers hold them at the same offset.
int read_masks(bytes file, bmp_t *b) {
    unsigned char raw[16] = {};
    std::size_t n = 12;
    if (b->biSize == 40) {
        if (b->bfOffBits < masks_offset + 12) return ERR_PALETTE;
    } else if (b->biSize >= 56) {
        n = 16;
    }
    if (file.size() < masks_offset + n) return ERR_PALETTE;
    std::memcpy(raw, file.data() + masks_offset, n);
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
int read_colour_table(bytes file, bmp_t *b) {
    const std::int64_t entry = b->biSize == core_header ? 3 : 4;
    const std::int64_t start = file_header_bytes + b->biSize;
    const std::int64_t entries = (std::int64_t{b->bfOffBits} - start) / entry;
    if (entries == 0) return 0;
    if (start + entry * entries > static_cast<std::int64_t>(file.size()) || entries > INT32_MAX) return ERR_PALETTE;
    b->palette = static_cast<std::uint32_t *>(std::malloc(static_cast<std::size_t>(4 * entries)));
    if (b->palette == nullptr) return ERR_OUT_OF_MEMORY;
    b->palette_count = static_cast<int>(entries);
    for (std::int64_t i = 0; i < entries; ++i) {
        const unsigned char *e = file.data() + start + entry * i;
        b->palette[i] = entry == 4 ? load_le32(e) : std::uint32_t{e[0]} | std::uint32_t{e[1]} << 8 | std::uint32_t{e[2]} << 16;
    }
    return 0;
}

// Uncompressed rows, copied into bottom-up order.
int read_rows(const unsigned char *rows, std::int64_t available, bmp_t *b, bool top_down) {
    const std::int64_t need = b->dc.bytes;
    if (available < need) return ERR_IMAGE_DATA;
    b->data = static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(need)));
    if (b->data == nullptr) return ERR_OUT_OF_MEMORY;
    if (!top_down) {
        std::memcpy(b->data, rows, static_cast<std::size_t>(need));
        return 0;
    }
    const std::ptrdiff_t row = b->dc.bytes_per_line;
    for (int y = 0; y < b->dc.height; ++y)
        std::memcpy(b->data + (b->dc.height - 1 - y) * row, rows + y * row, static_cast<std::size_t>(row));
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
// (0: all of it), decoded where it lies.
int read_rle(const unsigned char *stream, std::int64_t available, bmp_t *b, std::int64_t limit) {
    const std::int64_t n = limit > 0 ? std::min(limit, available) : available;
    if (n <= 0) return ERR_IMAGE_DATA;
    b->data = static_cast<unsigned char *>(std::calloc(static_cast<std::size_t>(b->dc.bytes), 1));
    if (b->data == nullptr) return ERR_OUT_OF_MEMORY;
    decode_rle(stream, static_cast<std::size_t>(n), b);
    return 0;
}

// The image loader's pixels for a bit-field file with an alpha mask: each
// channel scaled to 8 bits (a full mask reads 255, whatever its width),
// from the file's rows straight into a 32-bit alpha bitmap.
unsigned char scaled(std::uint32_t v, std::uint32_t mask) {
    if (mask == 0) return 0;
    const int shift = std::countr_zero(mask);
    const std::uint64_t top = mask >> shift;
    return static_cast<unsigned char>((((v & mask) >> shift) * std::uint64_t{255} + top / 2) / top);
}

bmp_t *read_alpha(const unsigned char *rows, std::int64_t available, const bmp_t *b, bool top_down) {
    if (available < b->dc.bytes) return image::fail(ERR_IMAGE_DATA);
    bmp_t *out = image::new_bitmap(b->dc.width, b->dc.height, true);
    if (out == nullptr) return nullptr;
    const int bytes = b->biBitCount / 8;
    const std::uint32_t *m = b->palette;
    for (int y = 0; y < b->dc.height; ++y) {
        const unsigned char *s = rows + std::ptrdiff_t{top_down ? y : b->dc.height - 1 - y} * b->dc.bytes_per_line;
        unsigned char *d = bitmap_row(&out->dc, y);
        for (int x = 0; x < b->dc.width; ++x, s += bytes, d += 4) {
            const std::uint32_t v = bytes == 2 ? load_le16(s) : load_le32(s);
            d[0] = scaled(v, m[2]);
            d[1] = scaled(v, m[1]);
            d[2] = scaled(v, m[0]);
            d[3] = scaled(v, m[3]);
        }
    }
    return out;
}

// The image loader's pixels for 32 bits without an alpha mask: in the
// default layout the fourth byte, which such files leave unused (mostly
// 0), would read as alpha; it is made opaque.
void make_opaque(bmp_t *b) {
    if (b->dc.colors != 32 || b->palette[0] != 0xFF0000 || b->palette[1] != 0xFF00 || b->palette[2] != 0xFF) return;
    for (int i = 3; i < b->dc.bytes; i += 4) b->data[i] = 0xFF;
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

// The header fields from the file's first bytes. The Windows headers need
// all 54 bytes; the shorter OS/2 ones as many as they declare, with the
// fields they lack read as 0. 0 or ERR_IMAGE_HEADER.
int read_header(bytes file, const dialect &d, bmp_t *b) {
    unsigned char head[54] = {};
    const std::size_t got = std::min(file.size(), sizeof head);
    if (got < 18 || file[0] != 'B' || file[1] != 'M') return ERR_IMAGE_HEADER;
    const std::uint32_t info_size = load_le32(file.data() + 14);
    const bool core = d.os2_headers && info_size == core_header;
    const bool short_os2 = d.os2_headers && info_size < 40 && os2_info_size(info_size);
    const std::size_t need = core ? 26 : short_os2 ? file_header_bytes + info_size : sizeof head;
    if (got < need) return ERR_IMAGE_HEADER;
    std::memcpy(head, file.data(), need);
    if (core)
        store_core_header(b, head + 2);
    else
        store_header(b, head + 2);
    return 0;
}

}  // namespace

bmp_t *read_bmp(bytes file, const dialect &d) {
    auto *b = static_cast<bmp_t *>(std::calloc(1, sizeof(bmp_t)));
    if (b == nullptr) return set_error_code(nullptr, nullptr, ERR_OUT_OF_MEMORY);
    const auto fail = [&](int code) { return set_error_code(b, nullptr, code); };
    if (const int code = read_header(file, d, b); code != 0) return fail(code);
    const auto file_size = static_cast<std::int64_t>(file.size());

    // Header sanity, before anything is allocated.
    const std::int64_t info_end = file_header_bytes + b->biSize;
    const bool known = known_info_size(b->biSize) || (d.os2_headers && (b->biSize == core_header || os2_info_size(b->biSize)));
    if (!known || file_size < info_end || b->bfOffBits < info_end) return fail(ERR_IMAGE_HEADER);
    if (b->biWidth <= 0 || b->biHeight == 0 || b->biHeight == INT32_MIN) return fail(ERR_IMAGE_HEADER);
    const bool top_down = b->biHeight < 0;
    const bool rle = is_rle(b, d);
    if (top_down && rle) return fail(ERR_IMAGE_HEADER);
    if (!compression_supported(b, d)) return fail(ERR_IMAGE_DATA);
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
    // A run-length stream without a declared size is read to the end of the
    // file where the dialect says so (an RLE24 stream can be longer than its
    // image), else to the image's raw size.
    const std::int64_t stream_limit = size_given || !d.stream_to_end ? std::int64_t{b->biSizeImage} : 0;

    const bool bit_fields = b->biCompression == bi_bitfields;
    if (const int code = bit_fields ? read_masks(file, b) : read_colour_table(file, b); code != 0) return fail(code);

    const std::int64_t available = file_size - b->bfOffBits;
    if (available < 0) return fail(ERR_IMAGE_DATA);
    const unsigned char *pixels = file.data() + b->bfOffBits;
    if (d.image_output && bit_fields && b->palette_count >= 4 && b->palette[3] != 0) {
        bmp_t *out = read_alpha(pixels, available, b, top_down);
        release_dc(&b->dc);
        return out;
    }
    if (const int code = rle ? read_rle(pixels, available, b, stream_limit) : read_rows(pixels, available, b, top_down);
        code != 0)
        return fail(code);
    b = setup_bitmap(b);
    if (b != nullptr && d.image_output) make_opaque(b);
    return b;
}

}  // namespace zr::bmp

namespace zr::image {
namespace {

bool is_bmp(bytes file) { return file.size() >= 2 && file[0] == 'B' && file[1] == 'M'; }
bmp_t *read_any_bmp(bytes file) { return bmp::read_bmp(file, bmp::every); }

}  // namespace

const reader bmp_reader{"bmp", is_bmp, read_any_bmp};

}  // namespace zr::image

extern "C" {

// Read only: images on read-only files and file systems load. A file that
// cannot be measured (a pipe, a device, a folder) gets as far as its header.
ZR_API bmp_t *zr_bmp_open(const char *path) {
    using namespace zr::bmp;
    const zr::image::file_bytes file(path, 54);
    if (!file.opened) return set_error_code(nullptr, nullptr, ERR_NO_IMAGE_FILE);
    if (!file.regular) {
        bmp_t header{};
        const bool whole = file.error == 0 && read_header(file.data(), windows, &header) == 0;
        return set_error_code(nullptr, nullptr, whole ? ERR_IMAGE_DATA : ERR_IMAGE_HEADER);
    }
    if (file.error != 0) return set_error_code(nullptr, nullptr, file.error);
    return read_bmp(file.data(), windows);
}

}  // extern "C"
