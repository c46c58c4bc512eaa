// Bitmap DCs in BMP row layout and their per-depth pixel operations.
//
// Every depth can be read. Writing draws at 16, 24 and 32 bits (spans and
// clearing at 16 bits only); the other operations are placeholders that print
// their fixed line. Channels narrower than 8 bits are widened by shifting
// (5 bits: 31 reads as 248) and narrowed by dropping low bits, so a colour read
// from a bitmap and written back leaves the pixel as it was.
#include "bitmap.hpp"

#include "messages.hpp"
#include "pixel_format.hpp"
#include "zr_internal.hpp"

#include <bit>
#include <cstdint>
#include <cstdlib>

namespace zr::bmp {
namespace {

bmp_t *as_bmp(dc_t *dc) { return reinterpret_cast<bmp_t *>(dc); }

unsigned char *row_of(dc_t *dc, int y) { return bitmap_row(dc, y); }

// Lowest set bit and number of bits from it to the highest set bit of a mask.
struct mask_shape {
    int shift, len;
};
constexpr mask_shape shape_of(std::uint32_t mask) {
    if (mask == 0) return {32, 0};
    const int shift = std::countr_zero(mask);
    return {shift, static_cast<int>(std::bit_width(mask)) - shift};
}
static_assert(shape_of(0x07E0).shift == 5 && shape_of(0x07E0).len == 6);

// One channel of a packed value, widened or narrowed to 8 bits.
unsigned char channel_from(std::uint32_t v, std::uint32_t mask, int shift, int len) {
    if (len <= 0) return 0;
    const std::uint32_t c = (v & mask) >> shift;
    return static_cast<unsigned char>(len <= 8 ? c << (8 - len) : c >> (len - 8));
}

// An 8-bit channel packed into its mask: (c >> (8 - len)) << shift.
std::uint32_t channel_to(unsigned char c, std::uint32_t mask, int shift, int len) {
    if (len <= 0) return 0;
    const std::uint32_t v = len <= 8 ? std::uint32_t{c} >> (8 - len) : std::uint32_t{c} << (len - 8);
    return (v << shift) & mask;
}

// The alpha mask of a bit-field bitmap, 0 when it has none.
std::uint32_t alpha_mask(const bmp_t *b) { return b->palette_count >= 4 ? b->palette[3] : 0; }

// ---- packed formats: a pixel value per cell, converted through the record

// 16 bits through the record's masks (encode is this unit's b16_color); alpha is
// not stored.
struct masked16 {
    static constexpr int bytes = 2;
    static std::uint32_t load(const unsigned char *p) { return load_le16(p); }
    static void store(unsigned char *p, std::uint32_t v) { store_le16(p, static_cast<std::uint16_t>(v)); }
    static std::uint32_t encode(const bmp_t *b, color_t c) {
        return channel_to(c.red, b->palette[0], b->red_shift, b->red_len) |
               channel_to(c.green, b->palette[1], b->green_shift, b->green_len) |
               channel_to(c.blue, b->palette[2], b->blue_shift, b->blue_len);
    }
    static void decode(const bmp_t *b, std::uint32_t v, color_t *out) { *out = packed16_color(b, v); }
};

// 32 bits through masks other than the default ones, alpha through the alpha
// mask when there is one.
struct masked32 {
    static constexpr int bytes = 4;
    static std::uint32_t load(const unsigned char *p) { return load_le32(p); }
    static void store(unsigned char *p, std::uint32_t v) { store_le32(p, v); }
    static std::uint32_t encode(const bmp_t *b, color_t c) {
        const std::uint32_t am = alpha_mask(b);
        const mask_shape a = shape_of(am);
        return masked16::encode(b, c) | channel_to(c.alpha, am, a.shift, a.len);
    }
    static void decode(const bmp_t *b, std::uint32_t v, color_t *out) {
        masked16::decode(b, v, out);
        const std::uint32_t am = alpha_mask(b);
        if (am == 0) return;
        const mask_shape a = shape_of(am);
        out->alpha = channel_from(v, am, a.shift, a.len);
    }
};

// The fixed layouts of pixel_format.hpp (bgr24, bgra32), with the record
// argument of the masked ones.
template <class Fmt>
struct fixed {
    static constexpr int bytes = Fmt::bytes;
    static std::uint32_t load(const unsigned char *p) { return Fmt::load(p); }
    static void store(unsigned char *p, std::uint32_t v) { Fmt::store(p, v); }
    static std::uint32_t encode(const bmp_t *, color_t c) { return Fmt::encode(c); }
    static void decode(const bmp_t *, std::uint32_t v, color_t *out) { Fmt::decode(v, out); }
};

// The operations of a packed format; coordinates are inside the bitmap.
template <class Fmt>
struct packed_ops {
    static unsigned char *at(dc_t *dc, int x, int y) {
        return row_of(dc, y) + static_cast<std::ptrdiff_t>(x) * Fmt::bytes;
    }
    static void get_pixel(dc_t *dc, int x, int y, color_t *out) {
        Fmt::decode(as_bmp(dc), Fmt::load(at(dc, x, y)), out);
    }
    static void set_pixel(dc_t *dc, int x, int y, color_t c) {
        Fmt::store(at(dc, x, y), Fmt::encode(as_bmp(dc), c));
    }
    static void hline(dc_t *dc, int x1, int x2, int y, color_t c) {
        const std::uint32_t v = Fmt::encode(as_bmp(dc), c);
        unsigned char *p = at(dc, x1, y);
        for (int x = x1; x <= x2; ++x, p += Fmt::bytes) Fmt::store(p, v);
    }
    // Going down the image goes back in memory.
    static void vline(dc_t *dc, int x, int y1, int y2, color_t c) {
        const std::uint32_t v = Fmt::encode(as_bmp(dc), c);
        unsigned char *p = at(dc, x, y1);
        for (int y = y1; y <= y2; ++y, p -= dc->bytes_per_line) Fmt::store(p, v);
    }
    // A transparent colour clears nothing; row padding is left alone.
    static void clear(dc_t *dc, color_t c) {
        if (c.alpha == 0 || dc->width <= 0) return;
        for (int y = 0; y < dc->height; ++y) hline(dc, 0, dc->width - 1, y, c);
    }
};

// ---- palette formats: an index per pixel, looked up in the colour table

struct index1 {
    static int at(const unsigned char *row, int x) { return index1_at(row, x); }
};
struct index4 {
    static int at(const unsigned char *row, int x) { return index4_at(row, x); }
};
struct index8 {
    static int at(const unsigned char *row, int x) { return row[x]; }
};

template <class Idx>
void palette_get_pixel(dc_t *dc, int x, int y, color_t *out) {
    *out = palette_color(as_bmp(dc), Idx::at(row_of(dc, y), x));
}

// ---- the per-depth names

constexpr auto b16_clear = packed_ops<masked16>::clear;
constexpr auto b16_get_pixel = packed_ops<masked16>::get_pixel;
constexpr auto b16_set_pixel = packed_ops<masked16>::set_pixel;
constexpr auto b16_hline = packed_ops<masked16>::hline;
constexpr auto b16_vline = packed_ops<masked16>::vline;
constexpr auto b24_get_pixel = packed_ops<fixed<zr::bgr24>>::get_pixel;
constexpr auto b24_set_pixel = packed_ops<fixed<zr::bgr24>>::set_pixel;
constexpr auto b32_get_pixel = packed_ops<fixed<zr::bgra32>>::get_pixel;
constexpr auto b32_set_pixel = packed_ops<fixed<zr::bgra32>>::set_pixel;
constexpr auto b32_masked_get_pixel = packed_ops<masked32>::get_pixel;
constexpr auto b32_masked_set_pixel = packed_ops<masked32>::set_pixel;
constexpr auto b1_get_pixel = palette_get_pixel<index1>;
constexpr auto b4_get_pixel = palette_get_pixel<index4>;
constexpr auto b8_get_pixel = palette_get_pixel<index8>;

// Placeholders: each prints its fixed line(s) and changes nothing.
void b1_clear(dc_t *, color_t) { print_line(ZR_TODO_BMP("b1_clear")); }
void b1_set_pixel(dc_t *, int, int, color_t) { print_line(ZR_TODO_BMP("b1_set_pixel")); }
void b1_hline(dc_t *, int, int, int, color_t) { print_line(ZR_TODO_BMP("b1_hline")); }
void b1_vline(dc_t *, int, int, int, color_t) { print_line(ZR_TODO_BMP("b1_vline")); }
void b4_clear(dc_t *, color_t) { print_line(ZR_TODO_BMP("b4_clear")); }
void b4_set_pixel(dc_t *, int, int, color_t) {}  // silent by design
void b4_hline(dc_t *, int, int, int, color_t) {
    print_line(ZR_TODO_BMP("b4_hline"));
    print_line(ZR_TODO_BMP("b4_color"));
}
void b4_vline(dc_t *, int, int, int, color_t) { print_line(ZR_TODO_BMP("b4_vline")); }
void b8_clear(dc_t *, color_t) { print_line(ZR_TODO_BMP("b8_clear")); }
void b8_set_pixel(dc_t *, int, int, color_t) { print_line(ZR_TODO_BMP("b8_set_pixel")); }
void b8_hline(dc_t *, int, int, int, color_t) {
    print_line(ZR_TODO_BMP("b8_hline"));
    print_line(ZR_TODO_BMP("b8_color"));
}
void b8_vline(dc_t *, int, int, int, color_t) { print_line(ZR_TODO_BMP("b8_vline")); }
void b24_clear(dc_t *, color_t) { print_line(ZR_TODO_BMP("b24_clear")); }
void b24_hline(dc_t *, int, int, int, color_t) { print_line(ZR_TODO_BMP("b24_hline")); }
void b24_vline(dc_t *, int, int, int, color_t) { print_line(ZR_TODO_BMP("b24_vline")); }
void b32_clear(dc_t *, color_t) { print_line(ZR_TODO_BMP("b32_clear")); }
void b32_hline(dc_t *, int, int, int, color_t) { print_line(ZR_TODO_BMP("b32_hline")); }
void b32_vline(dc_t *, int, int, int, color_t) { print_line(ZR_TODO_BMP("b32_vline")); }

using family = slot_family;

constexpr family fam1{b1_clear, b1_get_pixel, b1_set_pixel, b1_hline, b1_vline};
constexpr family fam4{b4_clear, b4_get_pixel, b4_set_pixel, b4_hline, b4_vline};
constexpr family fam8{b8_clear, b8_get_pixel, b8_set_pixel, b8_hline, b8_vline};
constexpr family fam16{b16_clear, b16_get_pixel, b16_set_pixel, b16_hline, b16_vline};
constexpr family fam24{b24_clear, b24_get_pixel, b24_set_pixel, b24_hline, b24_vline};
constexpr family fam32{b32_clear, b32_get_pixel, b32_set_pixel, b32_hline, b32_vline};
constexpr family fam32_masked{b32_clear, b32_masked_get_pixel, b32_masked_set_pixel, b32_hline,
                              b32_vline};

// The masks a bitmap without bit fields gets, by depth (red, green, blue).
constexpr std::uint32_t default_masks16[3] = {0x7C00, 0x03E0, 0x001F};
constexpr std::uint32_t default_masks32[3] = {0xFF0000, 0x00FF00, 0x0000FF};

bool has_default_masks32(const bmp_t *b) {
    return b->palette[0] == default_masks32[0] && b->palette[1] == default_masks32[1] &&
           b->palette[2] == default_masks32[2];
}

// Gives a 16- or 32-bit bitmap its masks, shifts and widths; an error code or 0.
int setup_masks(bmp_t *bmp) {
    if (bmp->biCompression != 0) {
        // Bit fields: the masks must be there, all three of them.
        if (bmp->palette == nullptr || bmp->palette_count < 3) return ERR_PALETTE;
    } else {
        if (bmp->palette != nullptr) return ERR_PALETTE;
        auto *masks = static_cast<std::uint32_t *>(std::malloc(3 * sizeof(std::uint32_t)));
        if (masks == nullptr) return ERR_OUT_OF_MEMORY;
        const std::uint32_t *defaults = bmp->dc.colors == 16 ? default_masks16 : default_masks32;
        for (int i = 0; i < 3; ++i) masks[i] = defaults[i];
        bmp->palette = masks;  // palette_count stays: these are masks, not colours
    }
    calculate_boffset(bmp);
    return 0;
}

// Sizes checked in 64 bits, then the empty bitmap. Takes ownership of bmp.
bmp_t *make_empty(bmp_t *bmp, int width, int height, int bits, int palette_count) {
    // A record handed in may hold anything: nothing in it is ours to free yet.
    bmp->palette = nullptr;
    bmp->data = nullptr;
    if (!supported_depth(bits)) return set_error_code(bmp, nullptr, ERR_COLOR_DEPTH);
    // Negative sizes first, then the row before it is multiplied: with both
    // in 0 .. INT_MAX and the row an int, no product below can overflow.
    if (width < 0 || height < 0) return set_error_code(bmp, nullptr, ERR_OUT_OF_MEMORY);
    const std::int64_t row = row_bytes(bits, width);
    if (row > INT32_MAX || row * height > INT32_MAX || std::int64_t{width} * height > INT32_MAX)
        return set_error_code(bmp, nullptr, ERR_OUT_OF_MEMORY);
    const std::int64_t bytes = row * height;
    if (set_header(bmp, width, height, bits, palette_count) != 0)
        return set_error_code(bmp, nullptr, ERR_OUT_OF_MEMORY);
    // At least one byte, so that an empty bitmap still owns a real block.
    bmp->data = static_cast<unsigned char *>(std::malloc(bytes > 0 ? static_cast<std::size_t>(bytes) : 1));
    if (bmp->data == nullptr) return set_error_code(bmp, nullptr, ERR_OUT_OF_MEMORY);
    return setup_bitmap(bmp);
}

}  // namespace

// An index outside the colour table, or no table at all, reads as opaque black.
color_t palette_color(const bmp_t *bmp, int index) {
    if (bmp->palette == nullptr || index >= bmp->palette_count) return opaque_black;
    const std::uint32_t e = bmp->palette[index];
    return {static_cast<unsigned char>(e >> 16), static_cast<unsigned char>(e >> 8),
            static_cast<unsigned char>(e), 255};
}

color_t packed16_color(const bmp_t *b, std::uint32_t v) {
    return {channel_from(v, b->palette[0], b->red_shift, b->red_len),
            channel_from(v, b->palette[1], b->green_shift, b->green_len),
            channel_from(v, b->palette[2], b->blue_shift, b->blue_len), 255};
}

pixel_format bitmap_format_of(const dc_t *dc) {
    if (fam32.carried_by(dc)) return pixel_format::bgra32;
    if (fam24.carried_by(dc)) return pixel_format::bgr24;
    if (fam8.carried_by(dc)) return pixel_format::index8;
    if (fam16.carried_by(dc)) return pixel_format::bitfield16;
    if (fam4.carried_by(dc)) return pixel_format::index4;
    if (fam1.carried_by(dc)) return pixel_format::index1;
    return pixel_format::none;
}

bool supported_depth(int bits) {
    return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

int set_header(bmp_t *bmp, int width, int height, int bits, int palette_count) {
    bmp->dc.dots = width * height;
    bmp->dc.width = width;
    bmp->dc.height = height;
    bmp->biWidth = width;
    bmp->biHeight = height;
    bmp->data = nullptr;
    bmp->palette = nullptr;
    bmp->biCompression = 0;
    if (palette_count > 0) {
        bmp->palette_count = palette_count;
        bmp->palette = static_cast<std::uint32_t *>(
            std::calloc(static_cast<std::size_t>(palette_count), sizeof(std::uint32_t)));
        if (bmp->palette == nullptr) return ERR_OUT_OF_MEMORY;
    }
    bmp->biBitCount = static_cast<std::uint16_t>(bits);
    bmp->dc.bytes_per_line = static_cast<int>(row_bytes(bits, width));
    bmp->dc.bytes = height * bmp->dc.bytes_per_line;
    bmp->biSizeImage = static_cast<std::uint32_t>(bmp->dc.bytes);
    return 0;
}

bmp_t *setup_bitmap(bmp_t *bmp) {
    dc_t *dc = &bmp->dc;
    dc->dc_type = DC_TYPE_BITMAP;
    reset_drawing_state(dc);
    dc->colors = static_cast<std::int16_t>(bmp->biBitCount);
    dc->mapped = bmp->data;
    dc->release_dc = release_dc;
    switch (dc->colors) {
        case 1: fam1.install(dc); return bmp;
        case 4: fam4.install(dc); return bmp;
        case 8: fam8.install(dc); return bmp;
        case 24: fam24.install(dc); return bmp;
        case 16:
        case 32: break;
        default: return set_error_code(bmp, nullptr, ERR_COLOR_DEPTH);
    }
    if (const int code = setup_masks(bmp); code != 0) return set_error_code(bmp, nullptr, code);
    if (dc->colors == 16)
        fam16.install(dc);
    else
        (has_default_masks32(bmp) ? fam32 : fam32_masked).install(dc);
    return bmp;
}

void calculate_boffset(bmp_t *bmp) {
    const mask_shape r = shape_of(bmp->palette[0]);
    const mask_shape g = shape_of(bmp->palette[1]);
    const mask_shape b = shape_of(bmp->palette[2]);
    bmp->red_shift = r.shift;
    bmp->red_len = r.len;
    bmp->green_shift = g.shift;
    bmp->green_len = g.len;
    bmp->blue_shift = b.shift;
    bmp->blue_len = b.len;
}

void release_dc(dc_t *dc) {
    if (dc == nullptr) return;
    bmp_t *bmp = as_bmp(dc);
    std::free(bmp->palette);
    std::free(bmp->data);
    std::free(bmp);
}

bmp_t *set_error_code(bmp_t *bmp, std::FILE *file, int code) {
    zr_error_code = code;
    if (bmp != nullptr) release_dc(&bmp->dc);
    if (file != nullptr) std::fclose(file);
    return nullptr;
}

}  // namespace zr::bmp

extern "C" {

ZR_API bmp_t *zr_bmp_create(int width, int height, int bits, int palette_count) {
    auto *bmp = static_cast<bmp_t *>(std::calloc(1, sizeof(bmp_t)));
    if (bmp == nullptr) return zr::bmp::set_error_code(nullptr, nullptr, ERR_OUT_OF_MEMORY);
    return zr::bmp::make_empty(bmp, width, height, bits, palette_count);
}

ZR_API bmp_t *zr_given_bmp_mastering(bmp_t *bmp, int width, int height, int bits, int palette_count) {
    if (bmp == nullptr) return zr::bmp::set_error_code(nullptr, nullptr, ERR_OUT_OF_MEMORY);
    return zr::bmp::make_empty(bmp, width, height, bits, palette_count);
}

ZR_API void zr_bmp_close(bmp_t *bmp) {
    if (bmp != nullptr) zr_release_dc(&bmp->dc);
}

}  // extern "C"
