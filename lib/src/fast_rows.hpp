// The row loops that take bitmap rows onto a framebuffer format, shared by
// fast_paths.cpp and the ARM unit fast_paths_neon.cpp, which on 32-bit ARM
// compiles them a second time with NEON. They sit in an unnamed namespace so
// that each unit keeps its own copies: the linker must never hand a NEON
// build of a loop to code that runs where the CPU has no NEON.
#pragma once

#include "blit.hpp"
#include "pixel_format.hpp"
#include "zr.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace zr {

// Converts, or blends, n pixels from s to d.
using row_fn = void (*)(unsigned char *d, const unsigned char *s, std::size_t n);

// The row loops onto one framebuffer format, by source.
struct row_loops {
    row_fn bgr24;   // 24-bit bitmap rows
    row_fn bgra32;  // 32-bit bitmap rows
    row_fn blend;   // 32-bit rows of an alpha bitmap, blended
};

#if ZR_NEON_ROWS
// From fast_paths_neon.cpp, for CPUs with NEON only. The loops onto Dst
// (rgb555, rgb565 or xrgb8888); a null entry means the portable loop is
// already the NEON one (64-bit ARM, where NEON is the baseline).
template <class Dst>
const row_loops &neon_row_loops();
// fill_cells with 16-byte stores.
void neon_fill_cells(unsigned char *p, const unsigned char (&cell)[4], std::size_t count);
#endif

namespace {

using u8 = unsigned char;

// 24-bit sources: bytes blue, green, red.
template <class Dst>
[[gnu::always_inline]] inline void bgr24_row(u8 *d, const u8 *s, std::size_t n) {
    if constexpr (std::is_same_v<Dst, xrgb8888>) {
        // The 32-bit pixel is the three bytes with a zero byte on top: eight
        // source pixels are three 64-bit words, cut into four pairs.
        constexpr std::uint64_t m = 0xFFFFFF;
        for (std::size_t i = n / 8; i > 0; --i, s += 24, d += 32) {
            const std::uint64_t q0 = load_le64(s), q1 = load_le64(s + 8), q2 = load_le64(s + 16);
            store_le64(d, (q0 & m) | (q0 >> 24 & m) << 32);
            store_le64(d + 8, ((q0 >> 48 | q1 << 16) & m) | (q1 >> 8 & m) << 32);
            store_le64(d + 16, (q1 >> 32 & m) | ((q1 >> 56 | q2 << 8) & m) << 32);
            store_le64(d + 24, (q2 >> 16 & m) | (q2 >> 40) << 32);
        }
        n %= 8;
    }
    for (; n > 0; --n, s += 3, d += Dst::bytes) Dst::store(d, Dst::encode(color_t{s[2], s[1], s[0], 255}));
}

// 32-bit sources: bytes blue, green, red, alpha. The 16-bit formats take
// them as two 16-bit halves, green-blue and alpha-red, and pick each
// channel's top bits straight out of them: red's top 5 bits are bits 3-7 of
// the alpha-red half, green's top 6 (or 5) bits are bits 10-15 (11-15) and
// blue's top 5 are bits 3-7 of the green-blue half.
inline std::uint16_t from_halves(rgb565, std::uint16_t gb, std::uint16_t ar) {
    return static_cast<std::uint16_t>((ar << 8 & 0xF800) | (gb >> 5 & 0x07E0) | (gb >> 3 & 0x001F));
}
inline std::uint16_t from_halves(rgb555, std::uint16_t gb, std::uint16_t ar) {
    return static_cast<std::uint16_t>((ar << 7 & 0x7C00) | (gb >> 6 & 0x03E0) | (gb >> 3 & 0x001F));
}

template <class Dst>
[[gnu::always_inline]] inline void bgra32_row(u8 *d, const u8 *s, std::size_t n) {
    if constexpr (std::is_same_v<Dst, xrgb8888>) {
        // The same bytes with alpha replaced by zero.
#pragma GCC unroll 4
        for (std::size_t x = 0; x < n; ++x) store_le32(d + 4 * x, load_le32(s + 4 * x) & 0xFFFFFF);
    } else {
        for (std::size_t x = 0; x < n; ++x)
            Dst::store(d + 2 * x, from_halves(Dst{}, load_le16(s + 4 * x), load_le16(s + 4 * x + 2)));
    }
}

// The alpha rule onto a framebuffer format, per pixel: alpha 0 leaves the
// pixel as it is, anything else writes the blend of the source over the
// decoded backdrop (at alpha 255 the blend is the source itself).
template <class Dst>
[[gnu::always_inline]] inline void blend_row(u8 *d, const u8 *s, std::size_t n) {
    for (std::size_t x = 0; x < n; ++x) {
        const std::uint16_t gb = load_le16(s + 4 * x), ar = load_le16(s + 4 * x + 2);
        const std::uint16_t a = ar >> 8;
        u8 *q = d + x * Dst::bytes;
        if constexpr (std::is_same_v<Dst, xrgb8888>) {
            // Halves of the backdrop too: green-blue and top-red.
            const std::uint16_t dgb = load_le16(q), dxr = load_le16(q + 2);
            const std::uint16_t blue = blend_channel(a, gb & 0xFF, dgb & 0xFF);
            const std::uint16_t green = blend_channel(a, gb >> 8, dgb >> 8);
            const std::uint16_t red = blend_channel(a, ar & 0xFF, dxr & 0xFF);
            store_le16(q, static_cast<std::uint16_t>(green << 8 | blue));
            store_le16(q + 2, a == 0 ? dxr : red);
        } else {
            const auto old = Dst::load(q);
            color_t b{};
            Dst::decode(old, &b);
            const color_t out{static_cast<u8>(blend_channel(a, ar & 0xFF, b.red)),
                              static_cast<u8>(blend_channel(a, gb >> 8, b.green)),
                              static_cast<u8>(blend_channel(a, gb & 0xFF, b.blue)), 0};
            Dst::store(q, a == 0 ? old : Dst::encode(out));
        }
    }
}

}  // namespace
}  // namespace zr
