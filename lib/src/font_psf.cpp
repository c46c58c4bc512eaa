// The Linux console's PSF fonts, versions 1 and 2, plain or gzip-compressed.
//
// The whole file is read into memory first (at most max_psf_bytes after
// decompression), then every size in the header is checked against the
// bytes actually there before anything is allocated from it. The Unicode
// table, where the file has one, maps code points to glyphs; without one,
// code point n is glyph n.
#include "font.hpp"
#include "text_decode.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#if ZR_HAVE_ZLIB
#include <zlib.h>
#endif

namespace zr::font {
namespace {

using u8 = unsigned char;

constexpr u8 psf1_magic[2] = {0x36, 0x04};
constexpr u8 psf2_magic[4] = {0x72, 0xb5, 0x4a, 0x86};
constexpr int psf1_mode_512 = 0x01;
constexpr int psf1_mode_table = 0x02 | 0x04;
constexpr std::uint32_t psf2_flag_table = 0x01;
constexpr std::uint32_t psf2_header_bytes = 32;

// Limits of the glyphs accepted: the kernel's own fonts stay far below.
constexpr std::uint32_t max_glyphs = 65536;
constexpr std::uint32_t max_width = 64;
constexpr std::uint32_t max_height = 128;

std::uint32_t le32(const u8 *p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

class psf_face final : public face {
public:
    int width = 0, height = 0, scale = 1;
    std::size_t row_bytes = 0;
    std::uint32_t count = 0;
    std::vector<u8> bits;  // count glyphs of height rows of row_bytes
    std::unordered_map<char32_t, std::uint32_t> map;
    bool has_table = false;

    bool render(char32_t cp, glyph &g) override {
        std::uint32_t index;
        if (has_table) {
            const auto it = map.find(cp);
            if (it == map.end()) return false;
            index = it->second;
        } else {
            if (cp >= count) return false;
            index = static_cast<std::uint32_t>(cp);
        }
        g.width = width * scale;
        g.height = height * scale;
        g.left = 0;
        g.top = ascent;
        g.advance = g.width;
        g.coverage.assign(static_cast<std::size_t>(g.width) * static_cast<std::size_t>(g.height), 0);
        const u8 *src = bits.data() + std::size_t{index} * row_bytes * static_cast<std::size_t>(height);
        for (int y = 0; y < g.height; ++y) {
            const u8 *row = src + static_cast<std::size_t>(y / scale) * row_bytes;
            for (int x = 0; x < g.width; ++x) {
                const int bx = x / scale;
                if (row[bx >> 3] & (0x80 >> (bx & 7)))
                    g.coverage[static_cast<std::size_t>(y) * static_cast<std::size_t>(g.width) +
                               static_cast<std::size_t>(x)] = 255;
            }
        }
        return true;
    }
};

// The PSF2 table: per glyph, code points up to 0xFF; 0xFE starts sequences
// (several code points drawn as one glyph), which are skipped.
bool read_table2(psf_face &f, const u8 *p, const u8 *end) {
    for (std::uint32_t i = 0; i < f.count; ++i) {
        bool in_sequence = false;
        for (;;) {
            if (p >= end) return false;
            if (*p == 0xFF) { ++p; break; }
            if (*p == 0xFE) { in_sequence = true; ++p; continue; }
            char32_t cp;
            const int n = text::utf8_sequence(p, end, cp);
            if (n == 0) return false;
            p += n;
            if (!in_sequence) f.map.emplace(cp, i);
        }
    }
    return true;
}

// The PSF1 table: per glyph, UCS-2 little-endian up to 0xFFFF; 0xFFFE starts
// sequences.
bool read_table1(psf_face &f, const u8 *p, const u8 *end) {
    for (std::uint32_t i = 0; i < f.count; ++i) {
        bool in_sequence = false;
        for (;;) {
            if (end - p < 2) return false;
            const char32_t v = p[0] | static_cast<char32_t>(p[1]) << 8;
            p += 2;
            if (v == 0xFFFF) break;
            if (v == 0xFFFE) { in_sequence = true; continue; }
            if (!in_sequence) f.map.emplace(v, i);
        }
    }
    return true;
}

}  // namespace

bool is_psf(const unsigned char *data, std::size_t size) {
    return (size >= 2 && std::memcmp(data, psf1_magic, 2) == 0) ||
           (size >= 4 && std::memcmp(data, psf2_magic, 4) == 0);
}

open_result read_psf(const unsigned char *data, std::size_t size, int scale) {
    open_result r;
    r.error = ERR_SIGNATURE;
    if (data == nullptr || size > max_psf_bytes || scale < 1 || scale > 64) return r;
    std::uint32_t width, height, count, charsize, header;
    bool table;
    if (size >= 4 && std::memcmp(data, psf1_magic, 2) == 0) {
        const int mode = data[2];
        if (mode > 0x07) return r;
        width = 8;
        height = charsize = data[3];
        count = (mode & psf1_mode_512) ? 512 : 256;
        header = 4;
        table = (mode & psf1_mode_table) != 0;
    } else if (size >= psf2_header_bytes && std::memcmp(data, psf2_magic, 4) == 0) {
        if (le32(data + 4) != 0) return r;  // the only version there is
        header = le32(data + 8);
        const std::uint32_t flags = le32(data + 12);
        count = le32(data + 16);
        charsize = le32(data + 20);
        height = le32(data + 24);
        width = le32(data + 28);
        if (header < psf2_header_bytes || header > size) return r;
        if (width == 0 || width > max_width) return r;
        table = (flags & psf2_flag_table) != 0;
    } else {
        return r;
    }
    if (height == 0 || height > max_height || count == 0 || count > max_glyphs) return r;
    const std::size_t row_bytes = (width + 7) / 8;
    if (charsize != row_bytes * height) return r;
    // Every glyph inside the file: a division, so nothing can overflow.
    if (count > (size - header) / charsize) return r;
    // The glyph grows by scale; its side stays within the cache's bound.
    if (height * static_cast<std::uint32_t>(scale) > static_cast<std::uint32_t>(max_pixel_height) ||
        width * static_cast<std::uint32_t>(scale) > static_cast<std::uint32_t>(max_pixel_height))
        return r;

    auto f = std::make_unique<psf_face>();
    f->width = static_cast<int>(width);
    f->height = static_cast<int>(height);
    f->scale = scale;
    f->row_bytes = row_bytes;
    f->count = count;
    const std::size_t glyph_bytes = std::size_t{count} * charsize;
    f->bits.assign(data + header, data + header + glyph_bytes);
    f->has_table = table;
    const u8 *rest = data + header + glyph_bytes;
    if (table) {
        const bool ok = header == 4 ? read_table1(*f, rest, data + size) : read_table2(*f, rest, data + size);
        if (!ok) return r;
    }
    f->ascent = f->height * scale;
    f->descent = 0;
    f->line_height = f->ascent;
    f->pixel_size = f->ascent;
    r.made = std::move(f);
    r.error = ERR_NONE;
    return r;
}

open_result open_psf_file(const char *path, int pixel_height) {
    open_result r;
    std::vector<u8> bytes;
    constexpr std::size_t chunk = 65536;
#if ZR_HAVE_ZLIB
    // gzread passes a file that is not compressed through as it is.
    gzFile in = gzopen(path, "rb");
    if (in == nullptr) {
        r.error = ERR_FONT_FILE;
        return r;
    }
    for (;;) {
        const std::size_t have = bytes.size();
        bytes.resize(have + chunk);
        const int n = gzread(in, bytes.data() + have, static_cast<unsigned>(chunk));
        if (n < 0) {
            int z = Z_OK;
            gzerror(in, &z);
            gzclose(in);
            r.error = z == Z_ERRNO ? ERR_FONT_FILE : ERR_SIGNATURE;
            return r;
        }
        bytes.resize(have + static_cast<std::size_t>(n));
        if (n == 0) break;
        if (bytes.size() > max_psf_bytes) break;  // refused below
    }
    gzclose(in);
#else
    std::FILE *in = std::fopen(path, "rb");
    if (in == nullptr) {
        r.error = ERR_FONT_FILE;
        return r;
    }
    for (;;) {
        const std::size_t have = bytes.size();
        bytes.resize(have + chunk);
        const std::size_t n = std::fread(bytes.data() + have, 1, chunk, in);
        bytes.resize(have + n);
        if (n < chunk || bytes.size() > max_psf_bytes) break;
    }
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed) {
        r.error = ERR_FONT_FILE;
        return r;
    }
#endif
    // The glyph height decides the scale: the whole multiple nearest below
    // pixel_height, at least 1, and small enough that a glyph wider than high
    // still fits the largest side.
    std::uint32_t width = 0, height = 0;
    if (bytes.size() >= 4 && std::memcmp(bytes.data(), psf1_magic, 2) == 0) {
        width = 8;
        height = bytes[3];
    } else if (bytes.size() >= psf2_header_bytes && std::memcmp(bytes.data(), psf2_magic, 4) == 0) {
        height = le32(bytes.data() + 24);
        width = le32(bytes.data() + 28);
    }
    std::uint32_t scale = 64;
    if (height != 0) scale = std::min(scale, static_cast<std::uint32_t>(pixel_height) / height);
    if (width != 0) scale = std::min(scale, static_cast<std::uint32_t>(max_pixel_height) / width);
    return read_psf(bytes.data(), bytes.size(), static_cast<int>(std::max<std::uint32_t>(scale, 1)));
}

}  // namespace zr::font
