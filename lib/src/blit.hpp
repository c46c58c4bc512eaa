// Block transfers: the alpha rule, shared by every transfer that blends, and
// the clipped rectangle that the transfer paths share.
#pragma once

#include "zr.h"

#include <cstdint>

namespace zr {

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

// A transfer rectangle after clipping: every pixel lies inside both DCs.
// Nothing is transferred when width or height is zero or less.
struct blit_rect {
    int dx, dy, sx, sy, width, height;
    bool empty() const { return width <= 0 || height <= 0; }
};

}  // namespace zr
