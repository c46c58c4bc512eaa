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

}  // namespace

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
    template void neon_blend_row<Fmt>(unsigned char *, const unsigned char *, std::size_t);
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
