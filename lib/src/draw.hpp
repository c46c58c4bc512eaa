// The line walk that zr_line_to and its fast path share.
#pragma once

#include <algorithm>
#include <cstdint>

namespace zr {

// Walks a line that is neither horizontal nor vertical from (x0, y0) towards
// (x, y) and calls plot(px, py) for every pixel, in order. The start pixel
// comes first; each step then plots at the major coordinate before its
// advance, so the first step plots the start's column (or row) again and the
// end point is never plotted. The distances fit an int by contract; the error
// terms stay below 2 * distance, so they are kept in 64 bits.
template <class Plot>
void walk_sloped_line(int x0, int y0, int x, int y, Plot plot) {
    const int sx = x > x0 ? 1 : -1;
    const int sy = y > y0 ? 1 : -1;
    const std::int64_t ax = x > x0 ? std::int64_t{x} - x0 : std::int64_t{x0} - x;
    const std::int64_t ay = y > y0 ? std::int64_t{y} - y0 : std::int64_t{y0} - y;
    plot(x0, y0);
    if (ax >= ay) {
        std::int64_t e = ax / 2;
        while (x0 != x) {
            e += ay;
            if (e >= ax) {
                y0 += sy;
                e -= ax;
            }
            plot(x0, y0);
            x0 += sx;
        }
    } else {
        std::int64_t e = ay / 2;
        while (y0 != y) {
            e += ax;
            if (e >= ay) {
                x0 += sx;
                e -= ay;
            }
            plot(x0, y0);
            y0 += sy;
        }
    }
}

namespace detail {

// Steps k = 0 .. along - 1 of a walk along its major axis, only those that
// land inside 0 .. na - 1 (major) by 0 .. nb - 1 (minor), in the same order.
// Step k is at major a0 + sa * k and minor b0 + sb * m(k), where m(k) =
// floor((along / 2 + (k + 1) * across) / along): the walk above keeps its
// error term at (along / 2 + (k + 1) * across) mod along. The first and last
// visible steps come from that formula, so the walk starts at the first one
// with the error term it would have there. 0 < across <= along < 2^32, so
// every product below fits 64 unsigned bits.
template <class Plot>
void visible_steps(std::int64_t a0, std::int64_t b0, int sa, int sb, std::uint64_t along,
                   std::uint64_t across, std::int64_t na, std::int64_t nb, Plot plot) {
    std::int64_t first = 0, last = static_cast<std::int64_t>(along) - 1;
    if (sa > 0) {
        first = std::max(first, -a0);
        last = std::min(last, na - 1 - a0);
    } else {
        first = std::max(first, a0 - (na - 1));
        last = std::min(last, a0);
    }
    // Minor offsets that land inside, within the walk's own 0 .. across.
    std::int64_t m_lo = sb > 0 ? -b0 : b0 - (nb - 1);
    std::int64_t m_hi = sb > 0 ? nb - 1 - b0 : b0;
    m_lo = std::max<std::int64_t>(m_lo, 0);
    m_hi = std::min(m_hi, static_cast<std::int64_t>(across));
    if (first > last || m_lo > m_hi) return;
    const std::uint64_t e0 = along / 2;
    // First step with m(k) >= m_lo: (k + 1) * across >= m_lo * along - e0.
    if (m_lo > 0) {
        const std::uint64_t need = static_cast<std::uint64_t>(m_lo) * along - e0;
        first = std::max(first, static_cast<std::int64_t>((need + across - 1) / across) - 1);
    }
    // Last step with m(k) <= m_hi: (k + 1) * across <= (m_hi + 1) * along - 1 - e0.
    if (static_cast<std::uint64_t>(m_hi) < across) {
        const std::uint64_t room = (static_cast<std::uint64_t>(m_hi) + 1) * along - 1 - e0;
        last = std::min(last, static_cast<std::int64_t>(room / across) - 1);
    }
    if (first > last) return;
    const std::uint64_t before = e0 + static_cast<std::uint64_t>(first) * across;
    std::uint64_t m = before / along;
    std::uint64_t e = before % along;
    for (std::int64_t k = first; k <= last; ++k) {
        e += across;
        if (e >= along) {
            ++m;
            e -= along;
        }
        plot(a0 + sa * k, b0 + sb * static_cast<std::int64_t>(m));
    }
}

}  // namespace detail

// The pixels of walk_sloped_line that lie inside a width x height DC, in the
// same order, at a cost that follows the visible part rather than the whole
// length: a stray coordinate far outside costs no more than a short line.
template <class Plot>
void walk_sloped_line_visible(int x0, int y0, int x, int y, int width, int height, Plot plot) {
    if (width <= 0 || height <= 0) return;
    const auto inside = [=](int px, int py) { return px >= 0 && px < width && py >= 0 && py < height; };
    if (inside(x0, y0) && inside(x, y)) return walk_sloped_line(x0, y0, x, y, plot);
    if (inside(x0, y0)) plot(x0, y0);
    const int sx = x > x0 ? 1 : -1;
    const int sy = y > y0 ? 1 : -1;
    const auto ax = static_cast<std::uint64_t>(x > x0 ? std::int64_t{x} - x0 : std::int64_t{x0} - x);
    const auto ay = static_cast<std::uint64_t>(y > y0 ? std::int64_t{y} - y0 : std::int64_t{y0} - y);
    if (ax >= ay) {
        detail::visible_steps(x0, y0, sx, sy, ax, ay, width, height, [&](std::int64_t a, std::int64_t b) {
            plot(static_cast<int>(a), static_cast<int>(b));
        });
    } else {
        detail::visible_steps(y0, x0, sy, sx, ay, ax, height, width, [&](std::int64_t a, std::int64_t b) {
            plot(static_cast<int>(b), static_cast<int>(a));
        });
    }
}

}  // namespace zr
