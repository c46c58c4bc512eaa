// Pixel formats of the framebuffer family as small traits types, and
// byte-order-independent loads and stores.
#pragma once

#include "zr.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zr {

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

}  // namespace zr
