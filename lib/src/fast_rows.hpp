// The row loops of the fast paths, written for the vectoriser over the
// formats' channel constants (pixel_format.hpp), so one loop serves every
// format of a size. Shared by fast_paths.cpp and the ARM unit
// fast_paths_neon.cpp, which on 32-bit ARM compiles them a second time with
// NEON. They sit in an unnamed namespace so that each unit keeps its own
// copies: the linker must never hand a NEON build of a loop to code that runs
// where the CPU has no NEON.
#pragma once

#include "fast_paths.hpp"
#include "pixel_format.hpp"
#include "zr.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zr {

// Converts, or blends, n pixels from s to d.
using row_fn = void (*)(unsigned char *d, const unsigned char *s, std::size_t n);

// Blends colour c through n coverage bytes onto the pixels from d.
using coverage_row_fn = void (*)(unsigned char *d, const std::uint8_t *cov, int n, color_t c);

#if ZR_NEON_ROWS
// From fast_paths_neon.cpp, for CPUs with NEON only: the row loops onto Dst.
// On 64-bit ARM, where the portable loops are NEON code already, the unit
// has only those the vectoriser does not find (neon_has_row); on 32-bit ARM
// it has them all.
template <class Dst>
void neon_bgr24_row(unsigned char *d, const unsigned char *s, std::size_t n);
template <class Dst>
void neon_bgra32_row(unsigned char *d, const unsigned char *s, std::size_t n);
template <class Dst>
void neon_blend_row(unsigned char *d, const unsigned char *s, std::size_t n);
// A quarter turn (turn_fn) in NEON registers.
template <class Dst>
void neon_turn(unsigned char *d, std::ptrdiff_t dp, const unsigned char *s, std::ptrdiff_t sp, int w, int h);
// fill_cells with 16-byte stores.
void neon_fill_cells(unsigned char *p, const unsigned char (&cell)[4], std::size_t count);

enum class neon_row { bgr24, bgra32, blend };
template <class Dst>
constexpr bool neon_has_row(neon_row r) {
#if defined(__aarch64__)
    return Dst::bytes == 4 && Dst::byte_channels && r != neon_row::bgra32;
#else
    (void)r;
    return true;
#endif
}
#endif

namespace {

using u8 = unsigned char;

// The byte of a bgra32 source pixel that holds the channel kept in byte k of
// a byte-channel destination (3, the alpha byte, for a byte of no channel).
template <class Dst>
constexpr int source_byte(int k) {
    return Dst::red.shift == 8 * k     ? bgra32::red.shift / 8
           : Dst::green.shift == 8 * k ? bgra32::green.shift / 8
           : Dst::blue.shift == 8 * k  ? bgra32::blue.shift / 8
                                       : 3;
}

// True for the destination whose pixel is the bgr24 bytes with a zero byte on top.
template <class Dst>
constexpr bool is_bgr_with_top_byte =
    Dst::bytes == 4 && Dst::red.shift == bgr24::red.shift && Dst::green.shift == bgr24::green.shift &&
    Dst::blue.shift == bgr24::blue.shift && Dst::byte_channels;

// 24-bit sources: bytes blue, green, red.
template <class Dst>
[[gnu::always_inline]] inline void bgr24_row(u8 *d, const u8 *s, std::size_t n) {
    if constexpr (is_bgr_with_top_byte<Dst>) {
        // The pixel is the three bytes with a zero byte on top: eight source
        // pixels are three 64-bit words, cut into four pairs.
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

// 32-bit sources: bytes blue, green, red, alpha. 32-bit destinations take
// each channel's byte from the source value to its own place. 16-bit ones
// take the source as two 16-bit halves, green-blue and alpha-red, and pick
// each channel's top bits straight out of them.
template <class Dst>
[[gnu::always_inline]] inline void bgra32_row(u8 *d, const u8 *s, std::size_t n) {
    constexpr auto r = Dst::red, g = Dst::green, b = Dst::blue;
    if constexpr (Dst::bytes == 4) {
#pragma GCC unroll 4
        for (std::size_t x = 0; x < n; ++x) {
            const std::uint32_t v = load_le32(s + 4 * x);
            Dst::store(d + 4 * x, narrow<r.shift, r.bits, bgra32::red.shift>(v) |
                                      narrow<g.shift, g.bits, bgra32::green.shift>(v) |
                                      narrow<b.shift, b.bits, bgra32::blue.shift>(v));
        }
    } else {
        for (std::size_t x = 0; x < n; ++x) {
            const std::uint16_t gb = load_le16(s + 4 * x), ar = load_le16(s + 4 * x + 2);
            Dst::store(d + 2 * x,
                       static_cast<std::uint16_t>(narrow<r.shift, r.bits, bgra32::red.shift - 16>(ar) |
                                                  narrow<g.shift, g.bits, bgra32::green.shift>(gb) |
                                                  narrow<b.shift, b.bits, bgra32::blue.shift>(gb)));
        }
    }
}

// The alpha rule onto a screen format, per pixel: alpha 0 leaves the pixel
// as it is, anything else writes the blend of the source over the decoded
// backdrop (at alpha 255 the blend is the source itself).
template <class Dst>
[[gnu::always_inline]] inline void blend_row(u8 *d, const u8 *s, std::size_t n) {
    for (std::size_t x = 0; x < n; ++x) {
        const std::uint16_t gb = load_le16(s + 4 * x), ar = load_le16(s + 4 * x + 2);
        const std::uint16_t a = ar >> 8;
        u8 *q = d + x * Dst::bytes;
        if constexpr (Dst::bytes == 4 && Dst::byte_channels) {
            // Halves of the source and of the backdrop: bytes 0-1 and 2-3.
            const auto src = [&](int k) -> std::uint16_t {
                const std::uint16_t half = k < 2 ? gb : ar;
                return k % 2 == 0 ? half & 0xFF : half >> 8;
            };
            const std::uint16_t d01 = load_le16(q), d23 = load_le16(q + 2);
            const std::uint16_t b0 = blend_channel(a, src(source_byte<Dst>(0)), d01 & 0xFF);
            const std::uint16_t b1 = blend_channel(a, src(source_byte<Dst>(1)), d01 >> 8);
            const std::uint16_t b2 = blend_channel(a, src(source_byte<Dst>(2)), d23 & 0xFF);
            static_assert(source_byte<Dst>(3) == 3, "byte 3 holds no channel");
            store_le16(q, static_cast<std::uint16_t>(b1 << 8 | b0));
            store_le16(q + 2, a == 0 ? d23 : b2);
        } else {
            const color_t c{static_cast<u8>(ar & 0xFF), static_cast<u8>(gb >> 8), static_cast<u8>(gb & 0xFF), 0};
            Dst::store(q, Dst::blend(Dst::load(q), c, a));
        }
    }
}

// ---- glyph coverage

// One pixel of coverage onto pixel q, the colour under the effective alpha.
template <class Fmt>
[[gnu::always_inline]] inline void coverage_pixel(u8 *q, std::uint16_t cov, color_t c) {
    Fmt::store(q, Fmt::blend(Fmt::load(q), c, coverage_alpha(cov, c.alpha)));
}

// Groups of coverage_group pixels in 16-bit vector lanes (GCC and clang
// vector extensions; without SIMD the compiler splits them into scalar
// code). The lanes hold little-endian pixels, so big-endian hosts draw pixel
// by pixel. Every pixel is blended: an effective alpha of 0 (which the plain
// path skips) keeps the pixel's stored bits, so both paths write the same
// memory.
using lanes16 = std::uint16_t __attribute__((vector_size(16)));
using lanes8 = std::uint8_t __attribute__((vector_size(8)));
using lanes32 = std::uint32_t __attribute__((vector_size(16)));

// Two 16-bit halves, first and second in memory order, as one 32-bit lane
// value. Vectors of repeated pairs are built from it in 32-bit lanes: built
// from 16-bit scalars, the compiler may store a half and load it back as a
// word, which stalls every call.
constexpr std::uint32_t half_pair(std::uint16_t first, std::uint16_t second) {
    return host_is_big_endian ? std::uint32_t{first} << 16 | second : std::uint32_t{second} << 16 | first;
}

inline lanes16 blend_lanes(lanes16 a, lanes16 s, lanes16 b) {
    const lanes16 v = (255 - a) * b + a * s + 128;
    return (v + (v >> 8)) >> 8;
}

inline lanes16 coverage_lanes(lanes16 cov, std::uint16_t alpha) {
    const lanes16 v = cov * alpha + 128;
    return (v + (v >> 8)) >> 8;
}

// Eight 16-bit pixels: the lanes are the pixels.
template <class Fmt>
[[gnu::always_inline]] inline void coverage_group16(u8 *q, const std::uint8_t *cov, color_t c) {
    constexpr auto r = Fmt::red, g = Fmt::green, b = Fmt::blue;
    lanes16 old;
    lanes8 cv;
    std::memcpy(&old, q, sizeof old);
    std::memcpy(&cv, cov, sizeof cv);
    const lanes16 a = coverage_lanes(__builtin_convertvector(cv, lanes16), c.alpha);
    const lanes16 red = blend_lanes(a, lanes16{} + c.red, widen<r.shift, r.bits>(old));
    const lanes16 green = blend_lanes(a, lanes16{} + c.green, widen<g.shift, g.bits>(old));
    const lanes16 blue = blend_lanes(a, lanes16{} + c.blue, widen<b.shift, b.bits>(old));
    const lanes16 out = narrow<r.shift, r.bits, 0>(red) | narrow<g.shift, g.bits, 0>(green) |
                        narrow<b.shift, b.bits, 0>(blue);
    const auto keep = reinterpret_cast<lanes16>(a == 0);
    const lanes16 merged = (old & keep) | (out & ~keep);
    std::memcpy(q, &merged, sizeof merged);
}

// Four 32-bit pixels of a byte-channel format as eight 16-bit halves, bytes
// 0-1 then 2-3: the low bytes hold the channels of bytes 0 and 2, the high
// bytes that of byte 1 and the top byte, which stays 0 unless the pixel is
// kept.
template <class Fmt>
[[gnu::always_inline]] inline void coverage_quad32(u8 *q, lanes16 a, color_t c) {
    const lanes16 odd = {0, 0xFFFF, 0, 0xFFFF, 0, 0xFFFF, 0, 0xFFFF};
    const lanes16 low_source = reinterpret_cast<lanes16>(lanes32{} + half_pair(Fmt::byte_of(c, 0), Fmt::byte_of(c, 2)));
    const lanes16 high_source = reinterpret_cast<lanes16>(lanes32{} + half_pair(Fmt::byte_of(c, 1), 0));
    lanes16 old;
    std::memcpy(&old, q, sizeof old);
    const lanes16 low = blend_lanes(a, low_source, old & 0xFF);
    const lanes16 high = blend_lanes(a, high_source, old >> 8);
    const lanes16 top = (old >> 8) & reinterpret_cast<lanes16>(a == 0) & odd;
    const lanes16 out = low | ((high & ~odd) | top) << 8;
    std::memcpy(q, &out, sizeof out);
}

// A row: whole groups in vector lanes, then any last pixels one by one.
template <class Fmt>
void coverage_row(u8 *d, const std::uint8_t *cov, int n, color_t c) {
    const auto solid = Fmt::encode(c);
    int x = 0;
    if constexpr (!host_is_big_endian && (Fmt::bytes == 2 || Fmt::byte_channels)) {
        static_assert(coverage_group == 8);
        for (; x + coverage_group <= n; x += coverage_group) {
            // Nothing to draw in a group without coverage (a glyph's edges
            // and padding): it keeps its pixels either way.
            std::uint64_t any;
            std::memcpy(&any, cov + x, sizeof any);
            if (any == 0) continue;
            // Full coverage under an opaque colour is the colour itself.
            if (any == ~std::uint64_t{0} && c.alpha == 255) {
                for (int k = 0; k < coverage_group; ++k) Fmt::store(d + (x + k) * Fmt::bytes, solid);
                continue;
            }
            if constexpr (Fmt::bytes == 4) {
                // Each pixel's alpha in both of its halves.
                lanes8 cv;
                std::memcpy(&cv, cov + x, sizeof cv);
                const lanes16 a = coverage_lanes(__builtin_convertvector(cv, lanes16), c.alpha);
                coverage_quad32<Fmt>(d + x * 4, __builtin_shufflevector(a, a, 0, 0, 1, 1, 2, 2, 3, 3), c);
                coverage_quad32<Fmt>(d + x * 4 + 16, __builtin_shufflevector(a, a, 4, 4, 5, 5, 6, 6, 7, 7), c);
            } else {
                coverage_group16<Fmt>(d + x * 2, cov + x, c);
            }
        }
    }
    for (; x < n; ++x) coverage_pixel<Fmt>(d + x * Fmt::bytes, cov[x], c);
}

// ---- quarter turns (turn_fn)

// The bits of a pixel that hold a channel: all that a read and a write
// through the slots keep.
template <class Fmt>
constexpr auto channel_bits = static_cast<typename Fmt::pixel>(
    ((std::uint32_t{1} << Fmt::red.bits) - 1) << Fmt::red.shift |
    ((std::uint32_t{1} << Fmt::green.bits) - 1) << Fmt::green.shift |
    ((std::uint32_t{1} << Fmt::blue.bits) - 1) << Fmt::blue.shift);

// Columns x0 .. x1 - 1 of source rows y0 .. y1 - 1, one pixel at a time.
template <class Fmt>
[[gnu::always_inline]] inline void turn_pixels(u8 *d, std::ptrdiff_t dp, const u8 *s, std::ptrdiff_t sp, int x0,
                                               int x1, int y0, int y1) {
    for (std::ptrdiff_t x = x0; x < x1; ++x)
        for (std::ptrdiff_t y = y0; y < y1; ++y)
            Fmt::store(d + x * dp + y * Fmt::bytes, Fmt::load(s + y * sp + x * Fmt::bytes) & channel_bits<Fmt>);
}

// A block of Block x Block pixels, for the portable row: the compiler keeps
// the loop's bounds and unrolls it.
template <class Fmt, int Block>
[[gnu::always_inline]] inline void turn_block(u8 *d, std::ptrdiff_t dp, const u8 *s, std::ptrdiff_t sp) {
    turn_pixels<Fmt>(d, dp, s, sp, 0, Block, 0, Block);
}

// Bytes of the source row a tile reads: a tile's source rows stay in the
// first-level cache while its destination rows are written, and each
// destination row gets a whole cache line or more.
inline constexpr int turn_tile_bytes = 128;

// The whole turn: tiles of whole blocks, each block through Kernel, then
// the columns and rows that make no whole block, pixel by pixel.
template <class Fmt, int Block, void (*Kernel)(u8 *, std::ptrdiff_t, const u8 *, std::ptrdiff_t)>
[[gnu::always_inline]] inline void turn_tiles(u8 *d, std::ptrdiff_t dp, const u8 *s, std::ptrdiff_t sp, int w,
                                              int h) {
    constexpr int tile = turn_tile_bytes / Fmt::bytes;
    static_assert(tile % Block == 0);
    const int bw = w / Block * Block, bh = h / Block * Block;
    for (int y0 = 0; y0 < bh; y0 += tile) {
        const int y1 = y0 + tile < bh ? y0 + tile : bh;
        for (int x0 = 0; x0 < bw; x0 += tile) {
            const int x1 = x0 + tile < bw ? x0 + tile : bw;
            for (std::ptrdiff_t x = x0; x < x1; x += Block)
                for (std::ptrdiff_t y = y0; y < y1; y += Block)
                    Kernel(d + x * dp + y * Fmt::bytes, dp, s + y * sp + x * Fmt::bytes, sp);
        }
    }
    turn_pixels<Fmt>(d, dp, s, sp, bw, w, 0, h);
    turn_pixels<Fmt>(d, dp, s, sp, 0, bw, bh, h);
}

template <class Fmt>
void turn_portable(u8 *d, std::ptrdiff_t dp, const u8 *s, std::ptrdiff_t sp, int w, int h) {
    turn_tiles<Fmt, 8, turn_block<Fmt, 8>>(d, dp, s, sp, w, h);
}

}  // namespace
}  // namespace zr
