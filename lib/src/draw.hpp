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

// The visible part of a walk along its major axis: steps first .. last,
// with the minor offset m and the error term e the walk has just before step
// first.
struct visible_part {
    std::int64_t first, last;
    std::uint64_t m, e;
};

// Step k is at major a0 + sa * k and minor b0 + sb * m(k), where m(k) =
// floor((along / 2 + (k + 1) * across) / along): the walk above keeps its
// error term at (along / 2 + (k + 1) * across) mod along. The first and last
// visible steps come from that formula, so the walk starts at the first one
// with the error term it would have there. 0 < across <= along < 2^32, so
// every product below fits 64 unsigned bits. False when no step is visible.
inline bool find_visible_part(std::int64_t a0, std::int64_t b0, int sa, int sb, std::uint64_t along,
                              std::uint64_t across, std::int64_t na, std::int64_t nb, visible_part *out) {
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
    if (first > last || m_lo > m_hi) return false;
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
    if (first > last) return false;
    const std::uint64_t before = e0 + static_cast<std::uint64_t>(first) * across;
    *out = {first, last, before / along, before % along};
    return true;
}

// Steps k = 0 .. along - 1 of a walk along its major axis, only those that
// land inside 0 .. na - 1 (major) by 0 .. nb - 1 (minor), in the same order.
template <class Plot>
void visible_steps(std::int64_t a0, std::int64_t b0, int sa, int sb, std::uint64_t along,
                   std::uint64_t across, std::int64_t na, std::int64_t nb, Plot plot) {
    visible_part part;
    if (!find_visible_part(a0, b0, sa, sb, along, across, na, nb, &part)) return;
    std::uint64_t m = part.m, e = part.e;
    for (std::int64_t k = part.first; k <= part.last; ++k) {
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

// walk_sloped_line_visible for callers that find the pixels themselves. The
// start pixel (x0, y0) comes first when it lies inside; then count steps
// along the major axis, each: e += across; when e >= along, b += sb and
// e -= along; plot (a, b); a += sa. (a, b) is (x, y) when x_major, else
// (y, x).
struct sloped_steps {
    bool x_major;
    int sa, sb;
    std::int64_t a, b;  // a at the first step, b before it
    std::uint64_t along, across, e;
    std::int64_t count;  // 0 when no step is visible
};

inline sloped_steps plan_sloped_steps(int x0, int y0, int x, int y, int width, int height) {
    sloped_steps s{};
    if (width <= 0 || height <= 0) return s;
    const int sx = x > x0 ? 1 : -1;
    const int sy = y > y0 ? 1 : -1;
    const auto ax = static_cast<std::uint64_t>(x > x0 ? std::int64_t{x} - x0 : std::int64_t{x0} - x);
    const auto ay = static_cast<std::uint64_t>(y > y0 ? std::int64_t{y} - y0 : std::int64_t{y0} - y);
    s.x_major = ax >= ay;
    s.sa = s.x_major ? sx : sy;
    s.sb = s.x_major ? sy : sx;
    s.along = s.x_major ? ax : ay;
    s.across = s.x_major ? ay : ax;
    const std::int64_t a0 = s.x_major ? x0 : y0, b0 = s.x_major ? y0 : x0;
    detail::visible_part part;
    if (!detail::find_visible_part(a0, b0, s.sa, s.sb, s.along, s.across, s.x_major ? width : height,
                                   s.x_major ? height : width, &part))
        return s;
    s.a = a0 + s.sa * part.first;
    s.b = b0 + s.sb * static_cast<std::int64_t>(part.m);
    s.e = part.e;
    s.count = part.last - part.first + 1;
    return s;
}

}  // namespace zr
