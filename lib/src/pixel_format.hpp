// The pixel-format seam: every format as a small traits type that owns its
// bits (decode, encode, the blend of a colour under an alpha, fill), the
// format enum that names them everywhere else, the alpha rule, and
// byte-order-independent loads and stores. No other module knows where a
// format keeps a channel: code that must (the row loops of the fast paths)
// reads it from the traits' channel constants.
#pragma once

#include "zr.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zr {

// ---- loads and stores

// Little-endian loads and stores that work on any host and any alignment.
// They go through memcpy, which compilers turn into single moves (and, in
// loops, into vector moves); a big-endian host swaps the bytes.
inline constexpr bool host_is_big_endian = std::endian::native == std::endian::big;

constexpr std::uint16_t swap_bytes16(std::uint16_t v) { return static_cast<std::uint16_t>(v << 8 | v >> 8); }
constexpr std::uint32_t swap_bytes32(std::uint32_t v) {
    return v << 24 | (v & 0xFF00) << 8 | (v >> 8 & 0xFF00) | v >> 24;
}
constexpr std::uint64_t swap_bytes64(std::uint64_t v) {
    return std::uint64_t{swap_bytes32(static_cast<std::uint32_t>(v))} << 32 |
           swap_bytes32(static_cast<std::uint32_t>(v >> 32));
}

inline std::uint16_t load_le16(const unsigned char *p) {
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (host_is_big_endian) v = swap_bytes16(v);
    return v;
}
inline std::uint32_t load_le32(const unsigned char *p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (host_is_big_endian) v = swap_bytes32(v);
    return v;
}
inline std::uint64_t load_le64(const unsigned char *p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (host_is_big_endian) v = swap_bytes64(v);
    return v;
}
inline void store_le16(unsigned char *p, std::uint16_t v) {
    if constexpr (host_is_big_endian) v = swap_bytes16(v);
    std::memcpy(p, &v, sizeof v);
}
inline void store_le32(unsigned char *p, std::uint32_t v) {
    if constexpr (host_is_big_endian) v = swap_bytes32(v);
    std::memcpy(p, &v, sizeof v);
}
inline void store_le64(unsigned char *p, std::uint64_t v) {
    if constexpr (host_is_big_endian) v = swap_bytes64(v);
    std::memcpy(p, &v, sizeof v);
}

// ---- the alpha rule

// One channel of the source byte s over the backdrop byte b with alpha a:
// the nearest integer to ((255 - a) * b + a * s) / 255, without a division.
// Every intermediate fits 16 bits (v is at most 255 * 255 + 128, and
// v + (v >> 8) at most 65,407), so the sums are kept in 16 bits: the blend
// loops of the fast paths then vectorise on 16-bit lanes.
constexpr std::uint16_t blend_channel(std::uint16_t a, std::uint16_t s, std::uint16_t b) {
    const auto v = static_cast<std::uint16_t>(static_cast<std::uint16_t>(255 - a) * b + a * s + 128);
    return static_cast<std::uint16_t>(static_cast<std::uint16_t>(v + (v >> 8)) >> 8);
}

// The source colour over the backdrop. The result keeps the source's alpha;
// the backdrop's alpha plays no part.
constexpr color_t blend_color(color_t s, color_t b) {
    return color_t{static_cast<unsigned char>(blend_channel(s.alpha, s.red, b.red)),
                   static_cast<unsigned char>(blend_channel(s.alpha, s.green, b.green)),
                   static_cast<unsigned char>(blend_channel(s.alpha, s.blue, b.blue)), s.alpha};
}

// The alpha that coverage c gives a colour of alpha a: the nearest integer
// to c * a / 255 (what (c * a + 127) / 255 gives), in 16 bits.
constexpr std::uint16_t coverage_alpha(std::uint16_t c, std::uint16_t a) {
    const auto v = static_cast<std::uint16_t>(c * a + 128);
    return static_cast<std::uint16_t>(static_cast<std::uint16_t>(v + (v >> 8)) >> 8);
}

// ---- formats by name

// Every pixel format the library draws or reads: the screen formats, which
// screen and buffer DCs carry, then the bitmap formats (sources of
// transfers) and the coverage of glyphs.
enum class pixel_format : std::uint8_t {
    none,
    rgb555,    // 5-5-5: red in bits 10-14, green 5-9, blue 0-4, bit 15 clear
    rgb565,    // 5-6-5: red in bits 11-15, green 5-10, blue 0-4
    bgr565,    // 5-6-5 with blue on top: blue in bits 11-15, red 0-4
    xrgb8888,  // red in bits 16-23, green 8-15, blue 0-7, top byte 0
    xbgr8888,  // red in bits 0-7, green 8-15, blue 16-23, top byte 0
    index1,    // bitmaps: palette indexes of 1, 4 and 8 bits
    index4,
    index8,
    bitfield16,  // bitmaps: 16 bits through the bitmap's own masks
    bgr24,       // bitmaps: bytes blue, green, red
    bgra32,      // bitmaps: bytes blue, green, red, alpha
    a8,          // glyph coverage, one byte a pixel
};
inline constexpr int pixel_format_count = static_cast<int>(pixel_format::a8) + 1;

// Bits a pixel of the format takes in memory; 0 for none.
constexpr int bits_per_pixel(pixel_format f) {
    switch (f) {
        case pixel_format::index1: return 1;
        case pixel_format::index4: return 4;
        case pixel_format::index8:
        case pixel_format::a8: return 8;
        case pixel_format::rgb555:
        case pixel_format::rgb565:
        case pixel_format::bgr565:
        case pixel_format::bitfield16: return 16;
        case pixel_format::bgr24: return 24;
        case pixel_format::xrgb8888:
        case pixel_format::xbgr8888:
        case pixel_format::bgra32: return 32;
        case pixel_format::none: return 0;
    }
    return 0;
}

// ---- channels

// Where a channel lives in a pixel value: bits shift .. shift + bits - 1.
struct channel {
    int shift, bits;
};

// The 8-bit value of the channel at Shift of Bits bits in v, widened by
// shifting (5 bits: 31 reads as 248). T is an unsigned integer or a vector
// of them; the same code serves pixels and vector lanes.
template <int Shift, int Bits, class T>
constexpr T widen(T v) {
    return static_cast<T>(((v >> Shift) & ((1u << Bits) - 1)) << (8 - Bits));
}

// The channel's bits (at Shift, Bits wide) of the 8-bit value that sits at
// bit At of v, narrowed by dropping its low bits; everything else in v is
// masked off. One shift and one mask.
template <int Shift, int Bits, int At, class T>
constexpr T narrow(T v) {
    constexpr int by = Shift + Bits - 8 - At;
    constexpr std::uint32_t mask = ((1u << Bits) - 1) << Shift;
    if constexpr (by >= 0) {
        return static_cast<T>((v << by) & mask);
    } else {
        return static_cast<T>((v >> -by) & mask);
    }
}

// ---- fills

// Stores the 4-byte cell `count` times from p, which is 4-byte aligned.
// Defined with the fast paths: it picks the fastest way the CPU offers.
void fill_cells(unsigned char *p, const unsigned char (&cell)[4], std::size_t count);

// memmove in pieces of 256 KiB, taken in the order that keeps an overlapping
// move right. Given a whole frame in one piece, the C library switches to
// stores that go around the caches, which is slower while the frame still
// fits them. Defined with the fast paths.
void move_bytes(unsigned char *dst, const unsigned char *src, std::size_t n);

// Fills n pixels from p (any alignment) with the stored form of v. A 2- or
// 4-byte pattern is a run of 4-byte cells; short runs and starts that are not
// 2-byte aligned (4-byte for 4-byte pixels) take the pixel loop.
template <class Fmt>
inline void fill_pixels(unsigned char *p, std::size_t n, typename Fmt::pixel v) {
    static_assert(4 % Fmt::bytes == 0, "the 4-byte cell must hold whole pixels");
    unsigned char cell[4];
    for (int i = 0; i < 4; i += Fmt::bytes) Fmt::store(cell + i, v);
    if (n * Fmt::bytes >= 64) {
        // A 2-byte pattern repeats every 2 bytes, so one leading pixel
        // brings a 2-aligned start to a 4-aligned one.
        if (Fmt::bytes == 2 && reinterpret_cast<std::uintptr_t>(p) % 4 == 2) {
            std::memcpy(p, cell, 2);
            p += 2;
            --n;
        }
        if (reinterpret_cast<std::uintptr_t>(p) % 4 == 0) {
            const std::size_t bytes = n * Fmt::bytes;
            fill_cells(p, cell, bytes / 4);
            std::memcpy(p + bytes / 4 * 4, cell, bytes % 4);
            return;
        }
    }
    for (std::size_t i = 0; i < n; ++i) std::memcpy(p + i * Fmt::bytes, cell, Fmt::bytes);
}

// ---- the screen formats

// A format that packs red, green and blue into one little-endian value of
// Pixel, at the shifts and widths given; bits of no channel are stored as 0
// and kept only where a pixel is left as it was.
template <pixel_format Id, class Pixel, int RedShift, int RedBits, int GreenShift, int GreenBits, int BlueShift,
          int BlueBits>
struct packed_format {
    using pixel = Pixel;
    static constexpr pixel_format id = Id;
    static constexpr int bytes = sizeof(Pixel);
    static constexpr channel red{RedShift, RedBits}, green{GreenShift, GreenBits}, blue{BlueShift, BlueBits};
    // The DC's colors field: the depth for 16-bit values, 32 for 32-bit ones.
    static constexpr int colors = bytes == 4 ? 32 : RedBits + GreenBits + BlueBits;
    // True when every channel is one whole byte of the pixel.
    static constexpr bool byte_channels = RedBits == 8 && GreenBits == 8 && BlueBits == 8 && RedShift % 8 == 0 &&
                                          GreenShift % 8 == 0 && BlueShift % 8 == 0;
    static_assert(bits_per_pixel(Id) == 8 * bytes);

    static pixel load(const unsigned char *p) {
        if constexpr (bytes == 2) {
            return load_le16(p);
        } else {
            return load_le32(p);
        }
    }
    static void store(unsigned char *p, pixel v) {
        if constexpr (bytes == 2) {
            store_le16(p, v);
        } else {
            store_le32(p, v);
        }
    }
    static constexpr pixel encode(color_t c) {
        return static_cast<pixel>(narrow<RedShift, RedBits, 0>(pixel{c.red}) |
                                  narrow<GreenShift, GreenBits, 0>(pixel{c.green}) |
                                  narrow<BlueShift, BlueBits, 0>(pixel{c.blue}));
    }
    // Leaves out->alpha as it was.
    static constexpr void decode(pixel v, color_t *out) {
        out->red = static_cast<unsigned char>(widen<RedShift, RedBits>(v));
        out->green = static_cast<unsigned char>(widen<GreenShift, GreenBits>(v));
        out->blue = static_cast<unsigned char>(widen<BlueShift, BlueBits>(v));
    }
    // The colour c under alpha a over the pixel old, by the alpha rule; alpha
    // 0 leaves the pixel's bits as they were, alpha 255 is c itself.
    static constexpr pixel blend(pixel old, color_t c, std::uint16_t a) {
        if (a == 0) return old;
        color_t b{};
        decode(old, &b);
        return encode(color_t{static_cast<unsigned char>(blend_channel(a, c.red, b.red)),
                              static_cast<unsigned char>(blend_channel(a, c.green, b.green)),
                              static_cast<unsigned char>(blend_channel(a, c.blue, b.blue)), 0});
    }
    // A source pixel of its own alpha over the pixel old.
    static constexpr pixel blend_pixel(pixel old, color_t s) { return blend(old, s, s.alpha); }
    static void fill(unsigned char *p, std::size_t n, pixel v) { fill_pixels<packed_format>(p, n, v); }
    // Of a byte-channel format: the colour's channel that byte k of the pixel
    // holds, 0 for the byte no channel uses.
    static constexpr std::uint16_t byte_of(color_t c, int k) {
        return RedShift == 8 * k ? c.red : GreenShift == 8 * k ? c.green : BlueShift == 8 * k ? c.blue : 0;
    }
};

using rgb555 = packed_format<pixel_format::rgb555, std::uint16_t, 10, 5, 5, 5, 0, 5>;
using rgb565 = packed_format<pixel_format::rgb565, std::uint16_t, 11, 5, 5, 6, 0, 5>;
using bgr565 = packed_format<pixel_format::bgr565, std::uint16_t, 0, 5, 5, 6, 11, 5>;
using xrgb8888 = packed_format<pixel_format::xrgb8888, std::uint32_t, 16, 8, 8, 8, 0, 8>;
using xbgr8888 = packed_format<pixel_format::xbgr8888, std::uint32_t, 0, 8, 8, 8, 16, 8>;

static_assert(rgb565::encode(color_t{255, 0, 0, 0}) == 0xF800);
static_assert(rgb555::encode(color_t{255, 0, 0, 0}) == 0x7C00);
static_assert(bgr565::encode(color_t{0, 0, 255, 0}) == 0xF800);
static_assert(xrgb8888::encode(color_t{0x12, 0x34, 0x56, 0x78}) == 0x123456);
static_assert(xbgr8888::encode(color_t{0x12, 0x34, 0x56, 0x78}) == 0x563412);

// The screen formats, for code that is instantiated once for each.
template <class... Fmt>
struct format_list {
    // Calls f.template operator()<Fmt>() for each format in order.
    template <class F>
    static constexpr void each(F &&f) {
        (f.template operator()<Fmt>(), ...);
    }
    // The first format for which pred.template operator()<Fmt>() holds;
    // none when it holds for none of them.
    template <class Pred>
    static constexpr pixel_format find(Pred &&pred) {
        pixel_format found = pixel_format::none;
        static_cast<void>(((pred.template operator()<Fmt>() ? (found = Fmt::id, true) : false) || ...));
        return found;
    }
};
using screen_formats = format_list<rgb555, rgb565, bgr565, xrgb8888, xbgr8888>;

// The screen format with that layout (shifts and widths of red, green and
// blue) in pixels of bits_per_pixel bits, none when no screen format has it:
// how a device's description of its pixels becomes a format.
constexpr pixel_format screen_format_with(int bits_per_pixel, channel r, channel g, channel b) {
    return screen_formats::find([&]<class Fmt>() {
        return Fmt::bytes * 8 == bits_per_pixel && Fmt::red.shift == r.shift && Fmt::red.bits == r.bits &&
               Fmt::green.shift == g.shift && Fmt::green.bits == g.bits && Fmt::blue.shift == b.shift &&
               Fmt::blue.bits == b.bits;
    });
}
static_assert(screen_format_with(32, {16, 8}, {8, 8}, {0, 8}) == pixel_format::xrgb8888);
static_assert(screen_format_with(32, {0, 8}, {8, 8}, {16, 8}) == pixel_format::xbgr8888);
static_assert(screen_format_with(16, {11, 5}, {5, 6}, {0, 5}) == pixel_format::rgb565);
static_assert(screen_format_with(16, {0, 5}, {5, 6}, {11, 5}) == pixel_format::bgr565);
static_assert(screen_format_with(16, {10, 5}, {5, 5}, {0, 5}) == pixel_format::rgb555);
static_assert(screen_format_with(24, {16, 8}, {8, 8}, {0, 8}) == pixel_format::none);
static_assert(screen_format_with(32, {24, 8}, {16, 8}, {8, 8}) == pixel_format::none);

// The format a screen of that depth (zr_fb.colors) has unless its device says
// otherwise: 5-5-5, 5-6-5 or x8-8-8-8 with red on top; none for other depths.
constexpr pixel_format default_screen_format(int colors) {
    switch (colors) {
        case 15: return pixel_format::rgb555;
        case 16: return pixel_format::rgb565;
        case 32: return pixel_format::xrgb8888;
        default: return pixel_format::none;
    }
}

// ---- the bitmap formats with fixed layouts

// Bytes blue, green, red: alpha is not stored and reads as 255.
struct bgr24 {
    using pixel = std::uint32_t;
    static constexpr pixel_format id = pixel_format::bgr24;
    static constexpr int bytes = 3;
    static constexpr channel red{16, 8}, green{8, 8}, blue{0, 8};
    static pixel load(const unsigned char *p) { return p[0] | pixel{p[1]} << 8 | pixel{p[2]} << 16; }
    static void store(unsigned char *p, pixel v) {
        p[0] = static_cast<unsigned char>(v);
        p[1] = static_cast<unsigned char>(v >> 8);
        p[2] = static_cast<unsigned char>(v >> 16);
    }
    static constexpr pixel encode(color_t c) {
        return narrow<16, 8, 0>(pixel{c.red}) | narrow<8, 8, 0>(pixel{c.green}) | narrow<0, 8, 0>(pixel{c.blue});
    }
    static constexpr void decode(pixel v, color_t *out) {
        *out = {static_cast<unsigned char>(widen<16, 8>(v)), static_cast<unsigned char>(widen<8, 8>(v)),
                static_cast<unsigned char>(widen<0, 8>(v)), 255};
    }
};

// Bytes blue, green, red, alpha.
struct bgra32 {
    using pixel = std::uint32_t;
    static constexpr pixel_format id = pixel_format::bgra32;
    static constexpr int bytes = 4;
    static constexpr channel red{16, 8}, green{8, 8}, blue{0, 8}, alpha{24, 8};
    static pixel load(const unsigned char *p) { return load_le32(p); }
    static void store(unsigned char *p, pixel v) { store_le32(p, v); }
    static constexpr pixel encode(color_t c) { return bgr24::encode(c) | narrow<24, 8, 0>(pixel{c.alpha}); }
    static constexpr void decode(pixel v, color_t *out) {
        bgr24::decode(v, out);
        out->alpha = static_cast<unsigned char>(widen<24, 8>(v));
    }
};
static_assert(bgra32::encode(color_t{1, 2, 3, 4}) == 0x04010203);

}  // namespace zr
