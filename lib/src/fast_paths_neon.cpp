// The fast paths' NEON code (ARM Advanced SIMD), called by fast_paths.cpp
// only where the CPU has NEON and the CPU's variants are allowed.
//
// On 64-bit ARM, where NEON is the baseline, the vectoriser already builds
// most row loops from fast_rows.hpp with it; here are the ones it does not
// find: 24-bit rows onto 32 bits as byte planes (one de-interleaving load, one
// interleaving store), and the blend onto 32 bits in 8-bit lanes widened once.
// Fills get 16-byte stores, since the C library's wmemset stores one cell at
// a time there. On 32-bit ARM this unit is built with -mfpu=neon, so every
// row loop of fast_rows.hpp gets a NEON build here as well.
#include "fast_rows.hpp"

#include <arm_neon.h>

#include <cstring>

namespace zr {
namespace {

// Three byte planes (blue, green, red) of 16 pixels and a plane of zeros on
// top, interleaved again: the 32-bit pixels.
void bgr24_to_xrgb8888(u8 *d, const u8 *s, std::size_t n) {
    const uint8x16_t zero = vdupq_n_u8(0);
    for (; n >= 16; n -= 16, s += 48, d += 64) {
        const uint8x16x3_t bgr = vld3q_u8(s);
        vst4q_u8(d, uint8x16x4_t{{bgr.val[0], bgr.val[1], bgr.val[2], zero}});
    }
    bgr24_row<xrgb8888>(d, s, n);
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

// blend_row onto 32 bits, 16 pixels at a time in byte planes. Alpha 0 blends
// to the backdrop's own channels, so only the top byte needs the rule: it
// stays under alpha 0 and is cleared under any other.
void blend_onto_xrgb8888(u8 *d, const u8 *s, std::size_t n) {
    const uint8x16_t zero = vdupq_n_u8(0);
    for (; n >= 16; n -= 16, s += 64, d += 64) {
        const uint8x16x4_t src = vld4q_u8(s), dst = vld4q_u8(d);
        const uint8x16_t a = src.val[3], not_a = vmvnq_u8(a);
        const uint8x16x4_t out{{blend16(a, not_a, src.val[0], dst.val[0]), blend16(a, not_a, src.val[1], dst.val[1]),
                                blend16(a, not_a, src.val[2], dst.val[2]),
                                vandq_u8(dst.val[3], vceqq_u8(a, zero))}};
        vst4q_u8(d, out);
    }
    blend_row<xrgb8888>(d, s, n);
}

template <class Dst>
constexpr row_loops loops_onto() {
    row_loops loops{};
#if !defined(__aarch64__)
    loops = {bgr24_row<Dst>, bgra32_row<Dst>, blend_row<Dst>};
#endif
    if constexpr (std::is_same_v<Dst, xrgb8888>) {
        loops.bgr24 = bgr24_to_xrgb8888;
        loops.blend = blend_onto_xrgb8888;
    }
    return loops;
}

}  // namespace

template <class Dst>
const row_loops &neon_row_loops() {
    static constexpr row_loops loops = loops_onto<Dst>();
    return loops;
}

template const row_loops &neon_row_loops<rgb555>();
template const row_loops &neon_row_loops<rgb565>();
template const row_loops &neon_row_loops<xrgb8888>();

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
