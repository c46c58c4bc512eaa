// The fast paths' NEON code (ARM Advanced SIMD), in rows of the fast-path
// table that need cpu_feature::neon.
//
// On 64-bit ARM, where NEON is the baseline, the vectoriser already builds
// most row loops from fast_rows.hpp with it; here are the ones it does not
// find: 24-bit rows onto 32 bits as byte planes (one de-interleaving load, one
// interleaving store), and the blend onto 32 bits in 8-bit lanes widened once,
// for every 32-bit format of byte channels.
// Fills get 16-byte stores, since the C library's wmemset stores one cell at
// a time there. On 32-bit ARM this unit is built with -mfpu=neon, so every
// row loop of fast_rows.hpp gets a NEON build here as well.
#include "fast_rows.hpp"

#include <arm_neon.h>

#include <cstring>

namespace zr {
namespace {

// Three byte planes (blue, green, red) of 16 pixels, each put in the byte
// of the destination that holds its channel, and a plane of zeros on top:
// the 32-bit pixels.
template <class Dst>
void bgr24_to_bytes(u8 *d, const u8 *s, std::size_t n) {
    const uint8x16_t zero = vdupq_n_u8(0);
    for (; n >= 16; n -= 16, s += 48, d += 64) {
        const uint8x16x3_t bgr = vld3q_u8(s);
        const auto plane = [&](int k) { return source_byte<Dst>(k) == 3 ? zero : bgr.val[source_byte<Dst>(k)]; };
        vst4q_u8(d, uint8x16x4_t{{plane(0), plane(1), plane(2), plane(3)}});
    }
    bgr24_row<Dst>(d, s, n);
}

// blend_channel on eight lanes: with x = a * s + (255 - a) * b, it is
// (x + 128 + ((x + 128) >> 8)) >> 8, which is a rounding shift added to x
// and a rounding add that keeps the high byte.
uint8x8_t blend8(uint8x8_t a, uint8x8_t not_a, uint8x8_t s, uint8x8_t b) {
    const uint16x8_t x = vmlal_u8(vmull_u8(s, a), b, not_a);
    return vraddhn_u16(x, vrshrq_n_u16(x, 8));
}

uint8x16_t blend16(uint8x16_t a, uint8x16_t not_a, uint8x16_t s, uint8x16_t b) {
    return vcombine_u8(blend8(vget_low_u8(a), vget_low_u8(not_a), vget_low_u8(s), vget_low_u8(b)),
                       blend8(vget_high_u8(a), vget_high_u8(not_a), vget_high_u8(s), vget_high_u8(b)));
}

// blend_row onto 32 bits of byte channels, 16 pixels at a time in byte
// planes. Alpha 0 blends to the backdrop's own channels, so only the top
// byte needs the rule: it stays under alpha 0 and is cleared under any other.
template <class Dst>
void blend_onto_bytes(u8 *d, const u8 *s, std::size_t n) {
    static_assert(source_byte<Dst>(3) == 3);
    const uint8x16_t zero = vdupq_n_u8(0);
    for (; n >= 16; n -= 16, s += 64, d += 64) {
        const uint8x16x4_t src = vld4q_u8(s), dst = vld4q_u8(d);
        const uint8x16_t a = src.val[3], not_a = vmvnq_u8(a);
        const auto channel = [&](int k) { return blend16(a, not_a, src.val[source_byte<Dst>(k)], dst.val[k]); };
        const uint8x16x4_t out{{channel(0), channel(1), channel(2), vandq_u8(dst.val[3], vceqq_u8(a, zero))}};
        vst4q_u8(d, out);
    }
    blend_row<Dst>(d, s, n);
}

// Quarter turns: 4 x 4 32-bit pixels or 8 x 8 16-bit ones transposed by
// trading lanes between pairs of rows, then halves between pairs of pairs.
template <class Fmt>
[[gnu::always_inline]] inline void turn4x4(u8 *d, std::ptrdiff_t dp, const u8 *s, std::ptrdiff_t sp) {
    const uint32x4_t keep = vdupq_n_u32(channel_bits<Fmt>);
    const auto row = [&](int i) { return vld1q_u32(reinterpret_cast<const std::uint32_t *>(s + i * sp)); };
    const uint32x4x2_t t01 = vtrnq_u32(row(0), row(1)), t23 = vtrnq_u32(row(2), row(3));
    const auto put = [&](int i, uint32x2_t lo, uint32x2_t hi) {
        vst1q_u32(reinterpret_cast<std::uint32_t *>(d + i * dp), vandq_u32(vcombine_u32(lo, hi), keep));
    };
    put(0, vget_low_u32(t01.val[0]), vget_low_u32(t23.val[0]));
    put(1, vget_low_u32(t01.val[1]), vget_low_u32(t23.val[1]));
    put(2, vget_high_u32(t01.val[0]), vget_high_u32(t23.val[0]));
    put(3, vget_high_u32(t01.val[1]), vget_high_u32(t23.val[1]));
}

template <class Fmt>
[[gnu::always_inline]] inline void turn8x8(u8 *d, std::ptrdiff_t dp, const u8 *s, std::ptrdiff_t sp) {
    const uint16x8_t keep = vdupq_n_u16(channel_bits<Fmt>);
    const auto row = [&](int i) { return vld1q_u16(reinterpret_cast<const std::uint16_t *>(s + i * sp)); };
    uint16x8x2_t t[4];
    for (int i = 0; i < 4; ++i) t[i] = vtrnq_u16(row(2 * i), row(2 * i + 1));
    const auto pairs = [](uint16x8_t a, uint16x8_t b) {
        return vtrnq_u32(vreinterpretq_u32_u16(a), vreinterpretq_u32_u16(b));
    };
    // u[0], u[1]: columns 0 and 4, 2 and 6 of rows 0-3; u[2], u[3] those of
    // rows 4-7 (from the odd columns likewise in v).
    const uint32x4x2_t u0 = pairs(t[0].val[0], t[1].val[0]), u1 = pairs(t[2].val[0], t[3].val[0]);
    const uint32x4x2_t v0 = pairs(t[0].val[1], t[1].val[1]), v1 = pairs(t[2].val[1], t[3].val[1]);
    const auto put = [&](int i, uint32x2_t lo, uint32x2_t hi) {
        vst1q_u16(reinterpret_cast<std::uint16_t *>(d + i * dp),
                  vandq_u16(vreinterpretq_u16_u32(vcombine_u32(lo, hi)), keep));
    };
    put(0, vget_low_u32(u0.val[0]), vget_low_u32(u1.val[0]));
    put(4, vget_high_u32(u0.val[0]), vget_high_u32(u1.val[0]));
    put(2, vget_low_u32(u0.val[1]), vget_low_u32(u1.val[1]));
    put(6, vget_high_u32(u0.val[1]), vget_high_u32(u1.val[1]));
    put(1, vget_low_u32(v0.val[0]), vget_low_u32(v1.val[0]));
    put(5, vget_high_u32(v0.val[0]), vget_high_u32(v1.val[0]));
    put(3, vget_low_u32(v0.val[1]), vget_low_u32(v1.val[1]));
    put(7, vget_high_u32(v0.val[1]), vget_high_u32(v1.val[1]));
}

}  // namespace

template <class Dst>
void neon_turn(unsigned char *d, std::ptrdiff_t dp, const unsigned char *s, std::ptrdiff_t sp, int w, int h) {
    if constexpr (Dst::bytes == 4) {
        turn_tiles<Dst, 4, turn4x4<Dst>>(d, dp, s, sp, w, h);
    } else {
        turn_tiles<Dst, 8, turn8x8<Dst>>(d, dp, s, sp, w, h);
    }
}

template <class Dst>
void neon_bgr24_row(unsigned char *d, const unsigned char *s, std::size_t n) {
    if constexpr (Dst::bytes == 4 && Dst::byte_channels) {
        bgr24_to_bytes<Dst>(d, s, n);
    } else {
        bgr24_row<Dst>(d, s, n);
    }
}

template <class Dst>
void neon_bgra32_row(unsigned char *d, const unsigned char *s, std::size_t n) {
    bgra32_row<Dst>(d, s, n);
}

template <class Dst>
void neon_blend_row(unsigned char *d, const unsigned char *s, std::size_t n) {
    if constexpr (Dst::bytes == 4 && Dst::byte_channels) {
        blend_onto_bytes<Dst>(d, s, n);
    } else {
        blend_row<Dst>(d, s, n);
    }
}

// Every screen format's loops; the table takes those neon_has_row names.
#define ZR_NEON_LOOPS(Fmt)                                                                 \
    template void neon_bgr24_row<Fmt>(unsigned char *, const unsigned char *, std::size_t);  \
    template void neon_bgra32_row<Fmt>(unsigned char *, const unsigned char *, std::size_t); \
    template void neon_blend_row<Fmt>(unsigned char *, const unsigned char *, std::size_t); \
    template void neon_turn<Fmt>(unsigned char *, std::ptrdiff_t, const unsigned char *, std::ptrdiff_t, int, int);
ZR_NEON_LOOPS(rgb555)
ZR_NEON_LOOPS(rgb565)
ZR_NEON_LOOPS(bgr565)
ZR_NEON_LOOPS(xrgb8888)
ZR_NEON_LOOPS(xbgr8888)
#undef ZR_NEON_LOOPS

void neon_fill_cells(unsigned char *p, const unsigned char (&cell)[4], std::size_t count) {
    unsigned char pattern[16];
    for (int i = 0; i < 16; i += 4) std::memcpy(pattern + i, cell, 4);
    const uint8x16_t v = vld1q_u8(pattern);
    std::size_t bytes = count * 4;
    // 128 bytes a round: the loop's own instructions stay a small share.
    for (; bytes >= 128; bytes -= 128, p += 128)
        for (int i = 0; i < 128; i += 16) vst1q_u8(p + i, v);
    for (; bytes >= 16; bytes -= 16, p += 16) vst1q_u8(p, v);
    for (; bytes > 0; bytes -= 4, p += 4) std::memcpy(p, cell, 4);
}

}  // namespace zr
