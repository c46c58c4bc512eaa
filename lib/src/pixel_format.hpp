// Pixel formats of the framebuffer family as small traits types, and
// byte-order-independent loads and stores.
#pragma once

#include "zr.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace zr {

// Little-endian loads and stores that work on any host and any alignment.
inline std::uint16_t load_le16(const unsigned char *p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t load_le32(const unsigned char *p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void store_le16(unsigned char *p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
inline void store_le32(unsigned char *p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

// 5-6-5: red in bits 11-15, green 5-10, blue 0-4.
struct rgb565 {
    using pixel = std::uint16_t;
    static constexpr int bytes = 2;
    static constexpr pixel encode(color_t c) {
        return static_cast<pixel>((c.red >> 3) << 11 | (c.green >> 2) << 5 | (c.blue >> 3));
    }
    // Leaves out->alpha as it was.
    static constexpr void decode(pixel v, color_t *out) {
        out->red = static_cast<unsigned char>(((v >> 11) & 0x1F) << 3);
        out->green = static_cast<unsigned char>(((v >> 5) & 0x3F) << 2);
        out->blue = static_cast<unsigned char>((v & 0x1F) << 3);
    }
    static pixel load(const unsigned char *p) { return load_le16(p); }
    static void store(unsigned char *p, pixel v) { store_le16(p, v); }
};

// 5-5-5: red in bits 10-14, green 5-9, blue 0-4, bit 15 clear.
struct rgb555 {
    using pixel = std::uint16_t;
    static constexpr int bytes = 2;
    static constexpr pixel encode(color_t c) {
        return static_cast<pixel>((c.red >> 3) << 10 | (c.green >> 3) << 5 | (c.blue >> 3));
    }
    static constexpr void decode(pixel v, color_t *out) {
        out->red = static_cast<unsigned char>(((v >> 10) & 0x1F) << 3);
        out->green = static_cast<unsigned char>(((v >> 5) & 0x1F) << 3);
        out->blue = static_cast<unsigned char>((v & 0x1F) << 3);
    }
    static pixel load(const unsigned char *p) { return load_le16(p); }
    static void store(unsigned char *p, pixel v) { store_le16(p, v); }
};

// x8-8-8-8: red in bits 16-23, green 8-15, blue 0-7, top byte 0.
struct xrgb8888 {
    using pixel = std::uint32_t;
    static constexpr int bytes = 4;
    static constexpr pixel encode(color_t c) {
        return static_cast<pixel>(c.red) << 16 | static_cast<pixel>(c.green) << 8 | c.blue;
    }
    static constexpr void decode(pixel v, color_t *out) {
        out->red = static_cast<unsigned char>(v >> 16);
        out->green = static_cast<unsigned char>(v >> 8);
        out->blue = static_cast<unsigned char>(v);
    }
    static pixel load(const unsigned char *p) { return load_le32(p); }
    static void store(unsigned char *p, pixel v) { store_le32(p, v); }
};

// Fills n pixels from p (any alignment) with the stored form of v.
// Writes whole 64-bit words of the repeated pattern so the compiler can keep
// the loop at memory speed.
template <class Fmt>
inline void fill_pixels(unsigned char *p, std::size_t n, typename Fmt::pixel v) {
    static_assert(8 % Fmt::bytes == 0, "the 8-byte pattern must hold whole pixels");
    unsigned char cell[Fmt::bytes];
    Fmt::store(cell, v);
    std::size_t bytes = n * Fmt::bytes;
    if (bytes < 16) {
        for (std::size_t i = 0; i < n; ++i) std::memcpy(p + i * Fmt::bytes, cell, Fmt::bytes);
        return;
    }
    std::uint64_t word;
    unsigned char pattern[8];
    for (int i = 0; i < 8; ++i) pattern[i] = cell[i % Fmt::bytes];
    std::memcpy(&word, pattern, 8);
    std::size_t words = bytes / 8;
    for (std::size_t i = 0; i < words; ++i) std::memcpy(p + i * 8, &word, 8);
    std::memcpy(p + words * 8, pattern, bytes - words * 8);
}

}  // namespace zr
