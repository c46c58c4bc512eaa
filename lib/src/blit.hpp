// Block transfers: the alpha rule, shared by every transfer that blends.
#pragma once

#include "zr.h"

namespace zr {

// One channel of the source byte s over the backdrop byte b with alpha a:
// the nearest integer to ((255 - a) * b + a * s) / 255, without a division.
// The largest v is 255 * 255 + 128, so the sum stays well inside 32 bits.
constexpr unsigned char blend_channel(unsigned a, unsigned s, unsigned b) {
    const unsigned v = (255 - a) * b + a * s + 128;
    return static_cast<unsigned char>((v + (v >> 8)) >> 8);
}

// The source colour over the backdrop. The result keeps the source's alpha;
// the backdrop's alpha plays no part.
constexpr color_t blend_color(color_t s, color_t b) {
    return color_t{blend_channel(s.alpha, s.red, b.red), blend_channel(s.alpha, s.green, b.green),
                   blend_channel(s.alpha, s.blue, b.blue), s.alpha};
}

}  // namespace zr
