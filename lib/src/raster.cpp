// The coverage rasteriser (raster.hpp).
//
// Units. Inside a tile, coordinates are 24.8 fixed point from the tile's
// top-left corner. An edge piece that stays in one pixel and falls by d
// (1/256 px, signed by the edge's direction) with its ends at fx1 and fx2
// (1/256 px from the pixel's left side) leaves a = d * (fx1 + fx2) in that
// pixel, twice the area on its left in 1/65536 px; every pixel further right
// in the row gets the full d * 512. The accumulation buffer holds, per
// pixel, the change of that sum from the pixel before: d * 512 - a goes to
// the pixel itself and a to the next one, so a running sum along the row
// gives each pixel's signed area, 2^17 for a whole pixel. The sums wrap
// modulo 2^32; even-odd needs them only modulo 2^18, and non-zero is exact
// while fewer than 16384 windings overlap.
//
// Each row also keeps one bit per block of 8 pixels it touched, so the
// sweep visits touched blocks only and treats the stretches between them
// as runs of one coverage: a filled shape's inside becomes one solid run,
// a ring's hole nothing at all.
#include "raster.hpp"

#include "zr_internal.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zr::raster {

namespace {

constexpr int one = 256;  // 1 px in fixed point
constexpr int solid_run = 32;            // shortest run of full coverage handed out as solid

std::size_t round_up(std::size_t v, std::size_t to) { return (v + to - 1) / to * to; }

// Floor division and remainder for a positive divisor.
struct quot_rem {
    int q, r;
};
quot_rem floor_div(int n, int d) {
    int q = n / d, r = n % d;
    if (r < 0) {
        --q;
        r += d;
    }
    return {q, r};
}

}  // namespace

// One tile's accumulation: the clip box in pixels, and the rows of the
// buffer and of the touched bits.
class accumulator {
public:
    accumulator(scratch &s, int x0, int y0, int width, int height, std::size_t stride, std::size_t words)
        : x0_(x0), y0_(y0), width_(width), height_(height), stride_(stride), words_(words), acc_(s.acc.data()),
          touched_(s.touched.data()) {}

    double left() const { return x0_; }
    double top() const { return y0_; }
    double right() const { return static_cast<double>(x0_) + width_; }
    double bottom() const { return static_cast<double>(y0_) + height_; }

    // An edge inside the tile (absolute coordinates), y0 < y1; sign is the
    // edge's direction: +1 downwards, -1 upwards.
    void edge(double x0, double y0, double x1, double y1, int sign) {
        const int fx0 = fixed(x0 - x0_, width_), fx1 = fixed(x1 - x0_, width_);
        const int fy0 = fixed(y0 - y0_, height_), fy1 = fixed(y1 - y0_, height_);
        if (fy0 < fy1) line(fx0, fy0, fx1, fy1, sign);
    }

    // A vertex in the tile (edges of two such go without clipping), in fixed
    // point as edge takes it, so that each vertex is converted once.
    bool holds(double x, double y) const { return x >= left() && x <= right() && y >= top() && y <= bottom(); }
    int fixed_x(double x) const { return fixed(x - x0_, width_); }
    int fixed_y(double y) const { return fixed(y - y0_, height_); }
    // What edge does with two such vertices, either way up.
    void fixed_edge(int fx0, int fy0, int fx1, int fy1) {
        if (fy0 < fy1) {
            line(fx0, fy0, fx1, fy1, 1);
        } else if (fy0 > fy1) {
            line(fx1, fy1, fx0, fy0, -1);
        }
    }

    template <fill_rule Rule, bool Threshold>
    void sweep(std::vector<std::uint8_t> &row, span_sink &out);

private:
    static int fixed(double v, int limit) {
        const double f = std::clamp(v * one, 0.0, static_cast<double>(limit) * one);
        return static_cast<int>(f + 0.5);
    }

    void mark(std::uint64_t *bits, int ex) {
        const auto b = static_cast<unsigned>(ex) / block;
        bits[b / 64] |= std::uint64_t{1} << (b % 64);
    }

    // Adds a piece that stays in pixel ex of row ey: fall d, area a (both
    // signed by the edge's direction).
    void cell(int ey, int ex, int d, int a) {
        std::uint32_t *r = acc_ + static_cast<std::size_t>(ey) * stride_;
        r[ex] += static_cast<std::uint32_t>(d * 2 * one - a);
        r[ex + 1] += static_cast<std::uint32_t>(a);
        std::uint64_t *bits = touched_ + static_cast<std::size_t>(ey) * words_;
        mark(bits, ex);
        if ((ex + 1) % block == 0) mark(bits, ex + 1);
    }

    // Whether rows a and b touched the same blocks with the same entries.
    bool same_rows(int a, int b) const;
    // Row ey's touched blocks and bits back to zero.
    void clear_row(int ey);

    // Most pieces of a small shape's edges stay in one pixel: those inline.
    void row_piece(int ey, int xa, int ya, int xb, int yb, int sign) {
        if ((xa >> 8) != (xb >> 8)) return row_across(ey, xa, ya, xb, yb, sign);
        const int d = (yb - ya) * sign;
        cell(ey, xa >> 8, d, d * ((xa & (one - 1)) + (xb & (one - 1))));
    }
    void row_across(int ey, int xa, int ya, int xb, int yb, int sign);
    void line(int x0, int y0, int x1, int y1, int sign);

    int x0_, y0_, width_, height_;
    std::size_t stride_, words_;
    std::uint32_t *acc_;
    std::uint64_t *touched_;
    // Some edge runs straight down through whole rows. Only then can a row
    // repeat the one above (all its edges upright, or none), and only then
    // does the sweep look for repeats.
    bool upright_ = false;
};

// The part of an edge within row ey, from (xa, ya) to (xb, yb), ya < yb,
// y within the row (0 .. 256), over more than one pixel. It crosses the
// pixels from xa's to xb's; the heights at which it crosses their sides are
// stepped by exact rational increments, so the pieces always add up to the
// whole.
void accumulator::row_across(int ey, int xa, int ya, int xb, int yb, int sign) {
    const int ea = xa >> 8, eb = xb >> 8;
    const int fa = xa & (one - 1), fb = xb & (one - 1);
    const int dx = xb - xa, dy = yb - ya;
    // Going right the first side crossed is the pixel's right one (256 from
    // its left), going left its left one (0); each pixel is entered on the
    // other.
    const int step = dx > 0 ? 1 : -1;
    const int exit_fx = dx > 0 ? one : 0, enter_fx = one - exit_fx;
    // Height gained up to the first side, then per whole pixel. All are
    // positive and below 2^28 (dy <= 256, span <= 2^20): 32-bit division.
    const auto span = static_cast<unsigned>(dx > 0 ? dx : -dx);
    const auto first = static_cast<unsigned>((dx > 0 ? one - fa : fa) * dy);
    int y = ya + static_cast<int>(first / span);
    {
        const int d = (y - ya) * sign;
        cell(ey, ea, d, d * (fa + exit_fx));
    }
    if (ea + step != eb) {
        // Pixels crossed whole: only steep enough edges have them.
        const unsigned whole = static_cast<unsigned>(one * dy), per_q = whole / span, per_r = whole % span;
        unsigned rem = first % span;
        for (int ex = ea + step; ex != eb; ex += step) {
            unsigned rise = per_q;
            rem += per_r;
            if (rem >= span) {
                rem -= span;
                ++rise;
            }
            const int d = static_cast<int>(rise) * sign;
            cell(ey, ex, d, d * one);
            y += static_cast<int>(rise);
        }
    }
    const int d = (yb - y) * sign;
    cell(ey, eb, d, d * (enter_fx + fb));
}

// An edge in fixed point, y0 < y1, cut into its rows; the x at each row
// boundary is stepped exactly like the heights in row_piece.
void accumulator::line(int x0, int y0, int x1, int y1, int sign) {
    const int first_row = y0 >> 8, last_row = (y1 - 1) >> 8;
    if (first_row == last_row) return row_piece(first_row, x0, y0 & (one - 1), x1, y1 - first_row * one, sign);
    const int dx = x1 - x0, dy = y1 - y0;
    if (dx == 0) {
        // Vertical: the same pixel on every row, whole rows in between.
        const int ex = x0 >> 8, fx = x0 & (one - 1);
        row_piece(first_row, x0, y0 & (one - 1), x0, one, sign);
        upright_ = upright_ || last_row - first_row > 1;
        const int d = one * sign;
        for (int ey = first_row + 1; ey < last_row; ++ey) cell(ey, ex, d, d * 2 * fx);
        return row_piece(last_row, x0, 0, x0, y1 - last_row * one, sign);
    }
    // |dx| <= 2^20 and the first row's height <= 256: the products fit 32 bits.
    const quot_rem first = floor_div((one * (first_row + 1) - y0) * dx, dy);
    int x = x0 + first.q;
    row_piece(first_row, x0, y0 & (one - 1), x, one, sign);
    if (last_row - first_row == 1) return row_piece(last_row, x, 0, x1, y1 - last_row * one, sign);
    const quot_rem per = floor_div(one * dx, dy);
    int rem = first.r;
    for (int ey = first_row + 1; ey < last_row; ++ey) {
        int run = per.q;
        rem += per.r;
        if (rem >= dy) {
            rem -= dy;
            ++run;
        }
        const int next = x + run;
        row_piece(ey, x, 0, next, one, sign);
        x = next;
    }
    row_piece(last_row, x, 0, x1, y1 - last_row * one, sign);
}

namespace {

}  // namespace

template <fill_rule Rule, bool Threshold>
std::uint8_t coverage_of(std::uint32_t sum) {
    std::uint32_t area;
    if constexpr (Rule == fill_rule::nonzero) {
        area = static_cast<std::int32_t>(sum) < 0 ? 0u - sum : sum;
        area = std::min(area, full);
    } else {
        area = sum & (2 * full - 1);
        if (area > full) area = 2 * full - area;
    }
    if constexpr (Threshold) {
        return area >= full / 2 ? 255 : 0;
    } else {
        return static_cast<std::uint8_t>((area * 255 + full / 2) >> 17);
    }
}

// The same for a block of 8 pixels at once, in two vectors of four lanes
// (what SSE2 and NEON hold): the running sums by two shifted additions in
// each half, the low half's last sum carried into the high one, then each
// lane as coverage_of does it, and the lanes packed into bytes.
template <fill_rule Rule, bool Threshold>
std::uint32_t block_coverage(std::uint32_t *acc, std::uint8_t *out, std::uint32_t sum) {
    using lanes = std::uint32_t __attribute__((vector_size(16)));
    using signed_lanes = std::int32_t __attribute__((vector_size(16)));
    static_assert(block == 8);
    const lanes zero{}, whole = zero + full;
    lanes lo, hi;
    std::memcpy(&lo, acc, sizeof lo);
    std::memcpy(&hi, acc + 4, sizeof hi);
    std::memset(acc, 0, 2 * sizeof lo);
    lo += __builtin_shufflevector(zero, lo, 3, 4, 5, 6);
    lo += __builtin_shufflevector(zero, lo, 2, 3, 4, 5);
    hi += __builtin_shufflevector(zero, hi, 3, 4, 5, 6);
    hi += __builtin_shufflevector(zero, hi, 2, 3, 4, 5);
    lo += sum;
    hi += __builtin_shufflevector(lo, lo, 3, 3, 3, 3);
    const auto coverage = [&](lanes v) {
        lanes area;
        if constexpr (Rule == fill_rule::nonzero) {
            const auto negative = reinterpret_cast<lanes>(reinterpret_cast<signed_lanes>(v) >> 31);
            area = (v ^ negative) - negative;
            const auto over = reinterpret_cast<lanes>(area > whole);
            area = (area & ~over) | (whole & over);
        } else {
            area = v & (2 * full - 1);
            const auto over = reinterpret_cast<lanes>(area > whole);
            area = (area & ~over) | ((2 * whole - area) & over);
        }
        if constexpr (Threshold) {
            return reinterpret_cast<lanes>(area >= whole / 2) & 255;
        } else {
            return (area * 255 + full / 2) >> 17;
        }
    };
    const lanes c_lo = coverage(lo), c_hi = coverage(hi);
#if defined(__SSE2__)
    // Lane by lane otherwise: SSE2 has no narrowing move, but its packs
    // saturate, and every lane is 0 .. 255 already.
    const __m128i halves = _mm_packs_epi32(reinterpret_cast<__m128i>(c_lo), reinterpret_cast<__m128i>(c_hi));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(out), _mm_packus_epi16(halves, halves));
#else
    using bytes = std::uint8_t __attribute__((vector_size(4)));
    const bytes b_lo = __builtin_convertvector(c_lo, bytes), b_hi = __builtin_convertvector(c_hi, bytes);
    std::memcpy(out, &b_lo, sizeof b_lo);
    std::memcpy(out + 4, &b_hi, sizeof b_hi);
#endif
    return hi[3];
}

template std::uint8_t coverage_of<fill_rule::nonzero, false>(std::uint32_t);
template std::uint8_t coverage_of<fill_rule::nonzero, true>(std::uint32_t);
template std::uint8_t coverage_of<fill_rule::evenodd, false>(std::uint32_t);
template std::uint8_t coverage_of<fill_rule::evenodd, true>(std::uint32_t);
template std::uint32_t block_coverage<fill_rule::nonzero, false>(std::uint32_t *, std::uint8_t *, std::uint32_t);
template std::uint32_t block_coverage<fill_rule::nonzero, true>(std::uint32_t *, std::uint8_t *, std::uint32_t);
template std::uint32_t block_coverage<fill_rule::evenodd, false>(std::uint32_t *, std::uint8_t *, std::uint32_t);
template std::uint32_t block_coverage<fill_rule::evenodd, true>(std::uint32_t *, std::uint8_t *, std::uint32_t);


// Every row of the tile: the touched blocks in order, each a block of
// coverage, the stretches between them one coverage each. Blocks and
// stretches that join make one coverage run, cut to its first and last
// pixel with coverage; a long stretch of full coverage goes out as a solid
// run, and takes in the full pixels of the blocks on either side, so that
// a filled shape's edge runs hold only its edge pixels. The buffer and the
// bits are left zero. Rows whose buffer entries equal the row's before them
// give the same coverage: they are cleared unswept and go out with it.
template <fill_rule Rule, bool Threshold>
void accumulator::sweep(std::vector<std::uint8_t> &row_buffer, span_sink &out) {
    std::uint8_t *row = row_buffer.data();
    const int width = width_;
    for (int ey = 0, rows = 1; ey < height_; ey += rows) {
        rows = 1;
        while (upright_ && ey + rows < height_ && same_rows(ey, ey + rows)) clear_row(ey + rows++);
        std::uint64_t *bits = touched_ + static_cast<std::size_t>(ey) * words_;
        std::uint32_t *acc = acc_ + static_cast<std::size_t>(ey) * stride_;
        const int y = y0_ + ey;
        std::uint32_t sum = 0;
        int x = 0;            // the first pixel not yet accounted for
        int run = -1;         // where the pending coverage run starts
        int solid_from = -1;  // where the pending solid run starts; it ends at x
        // A run of a few pixels keeps zeros up to a whole block where it has
        // them: the blending rows take a block of 8 at once, but one or two
        // pixels (a straight side's edge) one by one.
        const auto flush = [&](int end) {
            end = std::min(end, width);
            if (run >= 0) {
                const int limit = end;
                while (run < end && row[run] == 0) ++run;
                while (end > run && row[end - 1] == 0) --end;
                if (end - run > 2 && end - run < block) end = std::min(limit, run + block);
                if (end > run) out.coverage(x0_ + run, y, row + run, end - run, rows);
            }
            run = -1;
        };
        const auto stretch = [&](int from, int to) {
            to = std::min(to, width);
            if (from >= to) return;
            const std::uint8_t c = coverage_of<Rule, Threshold>(sum);
            if (c == 0) {
                flush(from);
            } else if (c == 255 && to - from >= solid_run) {
                if (run >= 0)
                    while (from > run && row[from - 1] == 255) --from;
                flush(from);
                solid_from = from;
            } else {
                std::memset(row + from, c, static_cast<std::size_t>(to - from));
                if (run < 0) run = from;
            }
        };
        // The pending solid run, up to end.
        const auto solid = [&](int end) {
            if (solid_from >= 0) out.solid(x0_ + solid_from, y, std::min(end, width) - solid_from, rows);
            solid_from = -1;
        };
        for (std::size_t w = 0; w < words_; ++w) {
            std::uint64_t m = bits[w];
            if (m == 0) continue;
            bits[w] = 0;
            do {
                const int bx = static_cast<int>((w * 64 + static_cast<std::size_t>(std::countr_zero(m))) * block);
                m &= m - 1;
                stretch(x, bx);
                sum = block_coverage<Rule, Threshold>(acc + bx, row + bx, sum);
                int start = bx;
                if (solid_from >= 0) {
                    while (start < bx + block && start < width && row[start] == 255) ++start;
                    solid(start);
                }
                if (run < 0) run = start;
                x = bx + block;
            } while (m != 0);
        }
        stretch(x, width);
        solid(width);
        flush(width);
    }
}

bool accumulator::same_rows(int a, int b) const {
    const std::uint64_t *bits_a = touched_ + static_cast<std::size_t>(a) * words_;
    const std::uint64_t *bits_b = touched_ + static_cast<std::size_t>(b) * words_;
    const std::uint32_t *acc_a = acc_ + static_cast<std::size_t>(a) * stride_;
    const std::uint32_t *acc_b = acc_ + static_cast<std::size_t>(b) * stride_;
    for (std::size_t w = 0; w < words_; ++w) {
        if (bits_a[w] != bits_b[w]) return false;
        for (std::uint64_t m = bits_a[w]; m != 0; m &= m - 1) {
            const std::size_t bx = (w * 64 + static_cast<std::size_t>(std::countr_zero(m))) * block;
            std::uint32_t differ = 0;
            for (int i = 0; i < block; ++i) differ |= acc_a[bx + i] ^ acc_b[bx + i];
            if (differ != 0) return false;
        }
    }
    return true;
}

void accumulator::clear_row(int ey) {
    std::uint64_t *bits = touched_ + static_cast<std::size_t>(ey) * words_;
    std::uint32_t *acc = acc_ + static_cast<std::size_t>(ey) * stride_;
    for (std::size_t w = 0; w < words_; ++w) {
        for (std::uint64_t m = bits[w]; m != 0; m &= m - 1)
            std::memset(acc + (w * 64 + static_cast<std::size_t>(std::countr_zero(m))) * block, 0, block * sizeof *acc);
        bits[w] = 0;
    }
}

// ---- clipping

path_sink::path_sink(accumulator &acc) : acc_(acc), fast_(!plain_path_forced()) {}

// Where a vertex lies; in fixed point when inside the tile and the edges
// between such vertices may skip the clipping.
path_sink::vertex path_sink::vertex_at(double x, double y) const {
    if (!fast_ || !acc_.holds(x, y)) return {x, y, false, 0, 0};
    return {x, y, true, acc_.fixed_x(x), acc_.fixed_y(y)};
}

// The edge from a to b: straight to the accumulator when both lie inside
// the tile (what segment does with them, without its tests and with each
// vertex converted once), else clipped.
void path_sink::edge_to(const vertex &a, const vertex &b) {
    if (a.inside && b.inside) return acc_.fixed_edge(a.fx, a.fy, b.fx, b.fy);
    segment(a.x, a.y, b.x, b.y);
}

void path_sink::move_to(double x, double y) {
    close();
    start_ = at_ = vertex_at(x, y);
    open_ = true;
}

void path_sink::line_to(double x, double y) {
    if (!open_) return move_to(x, y);
    const vertex next = vertex_at(x, y);
    edge_to(at_, next);
    at_ = next;
}

void path_sink::close() {
    if (!open_) return;
    edge_to(at_, start_);
    at_ = start_;
    open_ = false;
}

// An edge cut to the tile: rows above and below go, and so do parts right
// of the tile; parts left of it run down its left side instead. Edges are
// taken downwards, so an edge and its reverse give the same cuts.
void path_sink::segment(double x0, double y0, double x1, double y1) {
    if (y0 == y1) return;
    int sign = 1;
    if (y0 > y1) {
        std::swap(x0, x1);
        std::swap(y0, y1);
        sign = -1;
    }
    const double top = acc_.top(), bottom = acc_.bottom(), left = acc_.left(), right = acc_.right();
    if (y0 >= top && y1 <= bottom && x0 >= left && x1 >= left && x0 <= right && x1 <= right)
        return acc_.edge(x0, y0, x1, y1, sign);
    if (y1 <= top || y0 >= bottom || (x0 >= right && x1 >= right)) return;
    const double slope = (x1 - x0) / (y1 - y0);
    if (y0 < top) {
        x0 += (top - y0) * slope;
        y0 = top;
    }
    if (y1 > bottom) {
        x1 -= (y1 - bottom) * slope;
        y1 = bottom;
    }
    if (x0 >= left && x1 >= left && x0 <= right && x1 <= right) return acc_.edge(x0, y0, x1, y1, sign);
    if (x0 <= left && x1 <= left) return acc_.edge(left, y0, left, y1, sign);
    // The edge crosses a side: y where it meets x = side. The piece kept
    // runs from (xa, ya) to (xb, yb), downwards; its end left of the tile
    // moves onto the left side, with the part cut off running down that
    // side, and its end right of the tile moves onto the right side.
    const auto y_at = [&](double side) { return y0 + (side - x0) / (x1 - x0) * (y1 - y0); };
    double xa = x0, ya = y0, xb = x1, yb = y1;
    const bool rightwards = x0 < x1;
    double &x_left = rightwards ? xa : xb, &y_left = rightwards ? ya : yb;
    double &x_right = rightwards ? xb : xa, &y_right = rightwards ? yb : ya;
    if (x_left < left) {
        const double y = y_at(left);
        acc_.edge(left, std::min(y, y_left), left, std::max(y, y_left), sign);
        x_left = left;
        y_left = y;
    }
    if (x_right > right) {
        y_right = y_at(right);
        x_right = right;
    }
    acc_.edge(xa, ya, xb, yb, sign);
}

// ---- curves

// The vertices of a flattened arc: n steps of dt from t0. Each vertex is the
// offset point moved out by half the local depth of the chords (a chord dips
// s = k (1 + offset k) |p'|^2 dt^2 / 8 inside the curve, k the curvature),
// so the polygon lies as far outside the curve as inside it. The steps are
// short enough that s stays within 2 * tolerance everywhere.
struct arc_plan {
    double cx, cy, rx, ry, t0, t1, dt, offset;
    std::int64_t n;
    double step_cos, step_sin;  // the rotation by dt
    double circle_radius;       // a circle's vertices all lie at this radius (0 for an ellipse)

    struct point {
        double x, y;
    };
    double t_at(std::int64_t i) const { return i == n ? t1 : t0 + static_cast<double>(i) * dt; }
    // The vertex at the angle whose cosine and sine are c and s.
    point at(double c, double s) const {
        if (circle_radius != 0) return {cx + circle_radius * c, cy + circle_radius * s};
        const double speed = std::sqrt(ry * c * ry * c + rx * s * rx * s);
        const double ab = rx * ry;
        const double depth = ab / speed * (1 + offset * ab / (speed * speed * speed)) * dt * dt / 8;
        const double out = (offset + depth / 2) / speed;
        return {cx + rx * c + ry * c * out, cy + ry * s + rx * s * out};
    }
    // The vertex at an end of the arc: on the curve itself, so that the
    // straight sides a shape joins there (a rounded rectangle's) stay on
    // their pixel edges.
    point end(double c, double s) const {
        if (circle_radius != 0) return {cx + (rx + offset) * c, cy + (rx + offset) * s};
        const double out = offset / std::sqrt(ry * c * ry * c + rx * s * rx * s);
        return {cx + rx * c + ry * c * out, cy + ry * s + rx * s * out};
    }
    // True when every point of steps i .. j lies outside the box: the base
    // curve between them lies in the box of its ends and of the extremes it
    // passes, and the offset points within |offset| + 2 * tolerance of it.
    bool misses(std::int64_t i, std::int64_t j, double left, double top, double right, double bottom) const {
        double ta = t_at(i), tb = t_at(j);
        if (ta > tb) std::swap(ta, tb);
        constexpr double pi = std::numbers::pi;
        // Whether ta .. tb holds phase + 2k pi for some k.
        const auto passes = [&](double phase) { return std::ceil((ta - phase) / (2 * pi)) * 2 * pi + phase <= tb; };
        const double ca = std::cos(ta), cb = std::cos(tb), sa = std::sin(ta), sb = std::sin(tb);
        const double cos_hi = passes(0) ? 1 : std::max(ca, cb), cos_lo = passes(pi) ? -1 : std::min(ca, cb);
        const double sin_hi = passes(pi / 2) ? 1 : std::max(sa, sb), sin_lo = passes(-pi / 2) ? -1 : std::min(sa, sb);
        const double margin = std::abs(offset) + 2 * tolerance;
        return cx + rx * cos_hi + margin <= left || cx + rx * cos_lo - margin >= right ||
               cy + ry * sin_hi + margin <= top || cy + ry * sin_lo - margin >= bottom;
    }
};

void path_sink::arc(double cx, double cy, double rx, double ry, double t0, double t1, double offset) {
    constexpr std::int64_t max_steps = std::int64_t{1} << 20;
    const double big = std::max(rx, ry), small = std::min(rx, ry);
    const double bound = big * (1 + std::abs(offset) * big / (small * small));
    const double longest = std::sqrt(16 * tolerance / bound);
    const double steps = std::ceil(std::abs(t1 - t0) / longest);
    const std::int64_t n = std::clamp<std::int64_t>(static_cast<std::int64_t>(std::min(steps, 1e18)), 1, max_steps);
    const double dt = (t1 - t0) / static_cast<double>(n);
    const double circle_radius = rx == ry ? rx + offset + (rx + offset) * dt * dt / 16 : 0;
    const arc_plan a{cx, cy, rx, ry, t0, t1, dt, offset, n, std::cos(dt), std::sin(dt), circle_radius};
    const double c0 = std::cos(t0), s0 = std::sin(t0);
    const arc_plan::point p = a.end(c0, s0);
    line_to(p.x, p.y);
    const double reach = big + std::abs(offset) + 2 * tolerance;
    if (cx - reach >= acc_.left() && cx + reach <= acc_.right() && cy - reach >= acc_.top() &&
        cy + reach <= acc_.bottom()) {
        arc_steps(a, 0, n, c0, s0);  // wholly inside: nothing to cut
    } else {
        arc_pieces(a, 0, n);
    }
}

// Steps i .. j of the arc: one chord where they cannot reach the tile (the
// curve and the chord then enclose no pixel of it), else halves, down to
// runs short enough to walk.
void path_sink::arc_pieces(const arc_plan &a, std::int64_t i, std::int64_t j) {
    constexpr std::int64_t walk = 64;
    while (j - i > 1) {
        if (a.misses(i, j, acc_.left(), acc_.top(), acc_.right(), acc_.bottom())) {
            const double t = a.t_at(j);
            const arc_plan::point p = j == a.n ? a.end(std::cos(t), std::sin(t)) : a.at(std::cos(t), std::sin(t));
            return line_to(p.x, p.y);
        }
        if (j - i <= walk) break;
        const std::int64_t m = i + (j - i) / 2;
        arc_pieces(a, i, m);
        i = m;
    }
    const double t = a.t_at(i);
    arc_steps(a, i, j, std::cos(t), std::sin(t));
}

// The vertices after step i up to step j, by turning the angle's cosine and
// sine through dt at each step. Runs are short (walked pieces) or lie in one
// tile (whole arcs), so the rounding the turns gather stays far below a
// 1/256 pixel.
void path_sink::arc_steps(const arc_plan &a, std::int64_t i, std::int64_t j, double c, double s) {
    for (std::int64_t k = i + 1; k <= j; ++k) {
        const double next_c = c * a.step_cos - s * a.step_sin;
        s = s * a.step_cos + c * a.step_sin;
        c = next_c;
        const arc_plan::point p = k == a.n ? a.end(c, s) : a.at(c, s);
        line_to(p.x, p.y);
    }
}

// ---- the driver

pixel_box visible_box(double x0, double y0, double x1, double y1, int width, int height) {
    // Outside every DC unless the numbers say otherwise; NaN compares false.
    if (!(x0 <= x1 && y0 <= y1)) return {0, 0, 0, 0};
    const auto cut = [](double v, int limit) {
        return static_cast<int>(std::clamp(v, 0.0, static_cast<double>(limit)));
    };
    return {cut(std::floor(x0), width), cut(std::floor(y0), height), cut(std::ceil(x1), width),
            cut(std::ceil(y1), height)};
}

void fill(scratch &s, pixel_box box, fill_rule rule, bool threshold, path_ref path, span_sink &out) {
    if (box.empty()) return;
    for (int tx = box.x0; tx < box.x1;) {
        const int width = std::min(max_tile_width, box.x1 - tx);
        // Two columns past the tile: an edge on its right side adds there.
        const std::size_t stride = round_up(static_cast<std::size_t>(width) + 2, block);
        const std::size_t words = (stride / block + 63) / 64;
        const int rows = static_cast<int>(std::clamp<std::size_t>(max_cells / stride, 1, static_cast<std::size_t>(box.y1 - box.y0)));
        if (s.acc.size() < stride * static_cast<std::size_t>(rows)) s.acc.resize(stride * static_cast<std::size_t>(rows));
        if (s.touched.size() < words * static_cast<std::size_t>(rows)) s.touched.resize(words * static_cast<std::size_t>(rows));
        if (s.row.size() < stride) s.row.resize(stride);
        for (int ty = box.y0; ty < box.y1;) {
            const int height = std::min(rows, box.y1 - ty);
            accumulator a(s, tx, ty, width, height, stride, words);
            {
                path_sink sink(a);
                path.draw(path.context, sink);
                sink.close();
            }
            if (rule == fill_rule::nonzero) {
                threshold ? a.sweep<fill_rule::nonzero, true>(s.row, out) : a.sweep<fill_rule::nonzero, false>(s.row, out);
            } else {
                threshold ? a.sweep<fill_rule::evenodd, true>(s.row, out) : a.sweep<fill_rule::evenodd, false>(s.row, out);
            }
            ty += height;
        }
        tx += width;
    }
}

}  // namespace zr::raster
