// Smooth shapes: the public calls, the state they keep for each DC, and the
// path of every shape.
//
// Geometry. A pixel's coordinates name its centre: pixel (x, y) covers
// x .. x + 1 by y .. y + 1 of the rasteriser's plane, so point (x, y) of a
// call lies at (x + 0.5, y + 0.5), and a sub-pixel coordinate v (1/16 px)
// at v / 16 + 0.5. A shape's edge runs through those points; the brush
// fills inside it and the pen strokes along it, half the pen's width on
// either side, drawn after the fill. So a 1-pixel pen on a rectangle's edge
// covers the same pixels as zr_rectangle's outline.
//
// Strokes are polygons before they are drawn: a line is one contour (its
// caps included); a ring is an outer and a reversed inner contour; a
// polygon's outline is one contour per side plus one per corner (its join),
// all turning the same way, so the non-zero rule draws their union.
//
// State. dc_t is fixed, so what a DC has beyond it (anti-aliasing, the pen's
// width, caps and joins, the fill rule, a gradient brush, the end of the
// last smooth line, the rasteriser's scratch) sits in a table keyed by the
// DC's address, made on first use and dropped when the DC is released.
#include "smooth.hpp"

#include "paint.hpp"
#include "raster.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <numbers>
#include <unordered_map>
#include <vector>

namespace zr {
namespace {

constexpr double pi = std::numbers::pi;
// A miter longer than this many half widths of the pen becomes a bevel.
constexpr double miter_limit = 4;

struct point {
    double x, y;
    friend point operator+(point a, point b) { return {a.x + b.x, a.y + b.y}; }
    friend point operator-(point a, point b) { return {a.x - b.x, a.y - b.y}; }
    friend point operator*(point a, double k) { return {a.x * k, a.y * k}; }
    friend bool operator==(point a, point b) { return a.x == b.x && a.y == b.y; }
};

double cross(point a, point b) { return a.x * b.y - a.y * b.x; }
double dot(point a, point b) { return a.x * b.x + a.y * b.y; }
point unit(point d) {
    const double l = std::hypot(d.x, d.y);
    return {d.x / l, d.y / l};
}
// The direction turned a quarter towards +y from +x.
point normal(point u) { return {-u.y, u.x}; }

// Where point (x, y) of a call lies, for whole pixels (scale 1) and sub-pixels (scale 1/16).
point at(double x, double y, double scale) { return {x * scale + 0.5, y * scale + 0.5}; }
constexpr double subpixel = 1.0 / ZR_SUBPIXEL;

struct bounds {
    double x0, y0, x1, y1;
    static bounds around(point c, double rx, double ry) { return {c.x - rx, c.y - ry, c.x + rx, c.y + ry}; }
    void add(point p) {
        x0 = std::min(x0, p.x);
        y0 = std::min(y0, p.y);
        x1 = std::max(x1, p.x);
        y1 = std::max(y1, p.y);
    }
    bounds grown(double d) const { return {x0 - d, y0 - d, x1 + d, y1 + d}; }
};

// ---- per-DC state

struct dc_state {
    bool antialias = false;
    int pen_width = 1;
    int cap = ZR_CAP_BUTT, join = ZR_JOIN_MITER;
    raster::fill_rule rule = raster::fill_rule::nonzero;
    paint::gradient gradient;
    // The end and direction of the last smooth line, for the join of the next.
    struct {
        bool valid = false;
        point end{}, dir{};
    } chain;
    raster::scratch scratch;
    paint::scratch rows;

    double half_width() const { return pen_width / 2.0; }
    const paint::gradient *brush_gradient() const {
        return gradient.kind != ZR_GRADIENT_NONE ? &gradient : nullptr;
    }
};

// Built when the library loads, not on first use: a function-local table
// would register its destructor with atexit from inside a drawing call, and
// that may allocate.
std::unordered_map<const dc_t *, std::unique_ptr<dc_state>> states;
const dc_t *last_dc = nullptr;
dc_state *last_state = nullptr;

dc_state *find_state(const dc_t *dc) {
    if (dc == last_dc && dc != nullptr) return last_state;
    if (states.empty()) return nullptr;
    const auto it = states.find(dc);
    if (it == states.end()) return nullptr;
    last_dc = dc;
    return last_state = it->second.get();
}

// Throws std::bad_alloc.
dc_state &state_for(const dc_t *dc) {
    if (dc_state *s = find_state(dc)) return *s;
    auto made = std::make_unique<dc_state>();
    dc_state *s = made.get();
    states.emplace(dc, std::move(made));
    last_dc = dc;
    return *(last_state = s);
}

// The state of a DC whose existing calls the smooth shapes take over.
dc_state *taking_over(const dc_t *dc) {
    dc_state *s = find_state(dc);
    return s != nullptr && (s->antialias || s->pen_width != 1) ? s : nullptr;
}

template <class F>
void guarded(F f) {
    try {
        f();
    } catch (const std::bad_alloc &) {
        zr_error_code = ERR_OUT_OF_MEMORY;
    }
}

// ---- drawing a path

// Rasterises a path, inside b, in a colour or gradient.
template <class Path>
void draw(dc_t *dc, dc_state &st, bounds b, raster::fill_rule rule, color_t colour, const paint::gradient *g,
          const Path &path) {
    if (!paint::visible(colour, g)) return;
    // One pixel more: vertices of flattened curves lie up to the tolerance outside.
    b = b.grown(1);
    const raster::pixel_box box = raster::visible_box(b.x0, b.y0, b.x1, b.y1, dc->width, dc->height);
    if (box.empty()) return;
    paint::painter p(dc, colour, g, st.rows);
    raster::fill(st.scratch, box, rule, !st.antialias, raster::path_ref::of(path), p);
}

template <class Path>
void fill_with_brush(dc_t *dc, dc_state &st, bounds b, raster::fill_rule rule, const Path &path) {
    draw(dc, st, b, rule, dc->brush_color, st.brush_gradient(), path);
}

template <class Path>
void stroke_with_pen(dc_t *dc, dc_state &st, bounds b, const Path &path) {
    draw(dc, st, b, raster::fill_rule::nonzero, dc->pen_color, nullptr, path);
}

// ---- stroke pieces; each turns the way a side's body does

// The body of the line a-b, h either side, with a cap at each end.
void line_body(raster::path_sink &s, point a, point b, double h, int cap_a, int cap_b) {
    if (a == b) {
        if (cap_a == ZR_CAP_ROUND || cap_b == ZR_CAP_ROUND) s.arc(a.x, a.y, h, h, 2 * pi, 0, 0);
        s.close();
        return;
    }
    const point u = unit(b - a), n = normal(u) * h;
    const double tn = std::atan2(n.y, n.x);
    if (cap_a == ZR_CAP_SQUARE) a = a - u * h;
    if (cap_b == ZR_CAP_SQUARE) b = b + u * h;
    s.move_to(a.x + n.x, a.y + n.y);
    s.line_to(b.x + n.x, b.y + n.y);
    if (cap_b == ZR_CAP_ROUND) s.arc(b.x, b.y, h, h, tn, tn - pi, 0);
    s.line_to(b.x - n.x, b.y - n.y);
    s.line_to(a.x - n.x, a.y - n.y);
    if (cap_a == ZR_CAP_ROUND) s.arc(a.x, a.y, h, h, tn + pi, tn, 0);
    s.close();
}

// The join at v of a side going u1 with the next going u2: the wedge on the
// outer side of the turn between the two bodies' ends.
void join_piece(raster::path_sink &s, point v, point u1, point u2, double h, int join) {
    const double turn = cross(u1, u2), along = dot(u1, u2);
    const bool reversal = std::abs(turn) < 1e-12;
    if (reversal && along > 0) return;
    const double side = turn > 0 ? -h : h;
    const point n1 = normal(u1) * side, n2 = normal(u2) * side;
    const point p1 = v + n1, p2 = v + n2;
    if (join == ZR_JOIN_ROUND) {
        const double t1 = std::atan2(n1.y, n1.x);
        double sweep = std::remainder(std::atan2(n2.y, n2.x) - t1, 2 * pi);
        if (reversal) sweep = std::remainder(std::atan2(u1.y, u1.x) - t1, 2 * pi) > 0 ? pi : -pi;
        s.move_to(v.x, v.y);
        if (sweep < 0) {
            s.arc(v.x, v.y, h, h, t1, t1 + sweep, 0);
        } else {
            s.arc(v.x, v.y, h, h, t1 + sweep, t1, 0);
        }
        s.close();
        return;
    }
    if (reversal) return;
    const bool forward = cross(n1, n2) < 0;
    const point first = forward ? p1 : p2, last = forward ? p2 : p1;
    s.move_to(v.x, v.y);
    s.line_to(first.x, first.y);
    // The miter's length over h is 1 / cos(half the turn) = sqrt(2 / (1 + along)).
    if (join == ZR_JOIN_MITER && 2 / (1 + along) <= miter_limit * miter_limit) {
        const point m = v + (n1 + n2) * (1 / (1 + along));
        s.line_to(m.x, m.y);
    }
    s.line_to(last.x, last.y);
    s.close();
}

// A rounded rectangle's contour, clockwise on the screen (or back).
void round_rect_contour(raster::path_sink &s, double l, double t, double r, double b, double rad, bool reverse) {
    const point centre[4] = {{r - rad, t + rad}, {r - rad, b - rad}, {l + rad, b - rad}, {l + rad, t + rad}};
    const point corner[4] = {{r, t}, {r, b}, {l, b}, {l, t}};
    for (int i = 0; i < 4; ++i) {
        const int k = reverse ? 3 - i : i;
        const double a0 = -pi / 2 + k * pi / 2, a1 = a0 + pi / 2;
        if (rad > 0) {
            s.arc(centre[k].x, centre[k].y, rad, rad, reverse ? a1 : a0, reverse ? a0 : a1, 0);
        } else {
            s.line_to(corner[k].x, corner[k].y);
        }
    }
    s.close();
}

// ---- shapes

void line_shape(dc_t *dc, dc_state &st, point a, point b) {
    const double h = st.half_width();
    const bool joined = st.chain.valid && st.chain.end == a && !(a == b);
    const point u = a == b ? point{} : unit(b - a);
    const point prev = st.chain.dir;
    const int cap = st.cap, join = st.join;
    // A line going on from the last one starts without a cap; a round cap
    // there already made the join round.
    const auto path = [&](raster::path_sink &s) {
        line_body(s, a, b, h, joined ? ZR_CAP_BUTT : cap, cap);
        if (joined && cap != ZR_CAP_ROUND) join_piece(s, a, prev, u, h, join);
    };
    bounds box{a.x, a.y, a.x, a.y};
    box.add(b);
    stroke_with_pen(dc, st, box.grown(h * miter_limit), path);
    st.chain.valid = !(a == b);
    st.chain.end = b;
    st.chain.dir = u;
}

void ellipse_shape(dc_t *dc, dc_state &st, int cx, int cy, double rx, double ry) {
    const point c = at(cx, cy, 1);
    const double h = st.half_width();
    fill_with_brush(dc, st, bounds::around(c, rx, ry), st.rule,
                    [&](raster::path_sink &s) { s.arc(c.x, c.y, rx, ry, 0, 2 * pi, 0); });
    stroke_with_pen(dc, st, bounds::around(c, rx + h, ry + h), [&](raster::path_sink &s) {
        s.arc(c.x, c.y, rx, ry, 0, 2 * pi, h);
        s.close();
        // Within h of the edge everywhere when h reaches the smaller radius.
        if (h < std::min(rx, ry)) s.arc(c.x, c.y, rx, ry, 2 * pi, 0, -h);
    });
}

// Calls each(v, u_in, u_out) at every corner of the closed polygon, in order,
// passing over repeated points; u_in and u_out are the unit directions of
// the sides into and out of v. Nothing for a polygon of one point.
template <class Each>
void each_corner(const zr_point_t *p, int count, double scale, Each each) {
    const auto pt = [&](int i) { return at(p[i].x, p[i].y, scale); };
    const auto same = [&](int i, int j) { return p[i].x == p[j].x && p[i].y == p[j].y; };
    int first = -1;
    for (int i = 0; i < count && first < 0; ++i)
        if (!same(i, (i + count - 1) % count)) first = i;
    if (first < 0) return;
    point u_in = unit(pt(first) - pt((first + count - 1) % count));
    int i = first;
    do {
        int j = (i + 1) % count;
        while (same(j, i)) j = (j + 1) % count;
        const point u_out = unit(pt(j) - pt(i));
        each(i, j, u_in, u_out);
        u_in = u_out;
        i = j;
    } while (i != first);
}

void polygon_shape(dc_t *dc, const zr_point_t *p, int count, double scale) {
    if (dc == nullptr || p == nullptr || count < 1) return;
    dc_state &st = state_for(dc);
    const auto pt = [&](int i) { return at(p[i].x, p[i].y, scale); };
    bounds box{pt(0).x, pt(0).y, pt(0).x, pt(0).y};
    for (int i = 1; i < count; ++i) box.add(pt(i));
    fill_with_brush(dc, st, box, st.rule, [&](raster::path_sink &s) {
        for (int i = 0; i < count; ++i) {
            const point q = pt(i);
            s.line_to(q.x, q.y);
        }
        s.close();
    });
    const double h = st.half_width();
    const int join = st.join;
    stroke_with_pen(dc, st, box.grown(h * miter_limit), [&](raster::path_sink &s) {
        each_corner(p, count, scale, [&](int i, int j, point u_in, point u_out) {
            join_piece(s, pt(i), u_in, u_out, h, join);
            line_body(s, pt(i), pt(j), h, ZR_CAP_BUTT, ZR_CAP_BUTT);
        });
    });
}

}  // namespace

bool smooth_line_to(dc_t *dc, int x, int y) {
    dc_state *st = taking_over(dc);
    if (st == nullptr) return false;
    const point a = at(dc->coor_x, dc->coor_y, 1), b = at(x, y, 1);
    dc->coor_x = x;
    dc->coor_y = y;
    guarded([&] { line_shape(dc, *st, a, b); });
    return true;
}

bool smooth_circle(dc_t *dc, int cx, int cy, int radius) {
    dc_state *st = taking_over(dc);
    if (st == nullptr) return false;
    if (radius > 0) guarded([&] { ellipse_shape(dc, *st, cx, cy, radius, radius); });
    return true;
}

bool smooth_ellipse(dc_t *dc, int cx, int cy, int rx, int ry) {
    dc_state *st = taking_over(dc);
    if (st == nullptr) return false;
    if (ry > 0) guarded([&] { ellipse_shape(dc, *st, cx, cy, std::abs(static_cast<double>(rx)), ry); });
    return true;
}

void forget_smooth_state(const dc_t *dc) {
    if (states.empty()) return;
    states.erase(dc);
    if (dc == last_dc) {
        last_dc = nullptr;
        last_state = nullptr;
    }
}

std::size_t smooth_state_count() { return states.size(); }

}  // namespace zr

using namespace zr;

extern "C" {

ZR_API void zr_antialias(dc_t *dc, int on) {
    if (dc == nullptr) return;
    guarded([&] { state_for(dc).antialias = on != 0; });
}

ZR_API void zr_pen_width(dc_t *dc, int width) {
    if (dc == nullptr) return;
    guarded([&] { state_for(dc).pen_width = std::max(width, 1); });
}

ZR_API void zr_pen_cap(dc_t *dc, int cap) {
    if (dc == nullptr || cap < ZR_CAP_BUTT || cap > ZR_CAP_SQUARE) return;
    guarded([&] { state_for(dc).cap = cap; });
}

ZR_API void zr_pen_join(dc_t *dc, int join) {
    if (dc == nullptr || join < ZR_JOIN_MITER || join > ZR_JOIN_BEVEL) return;
    guarded([&] { state_for(dc).join = join; });
}

ZR_API void zr_fill_rule(dc_t *dc, int rule) {
    if (dc == nullptr || (rule != ZR_FILL_NONZERO && rule != ZR_FILL_EVENODD)) return;
    guarded([&] {
        state_for(dc).rule = rule == ZR_FILL_EVENODD ? raster::fill_rule::evenodd : raster::fill_rule::nonzero;
    });
}

ZR_API void zr_brush_gradient(dc_t *dc, int kind, int x0, int y0, int x1, int y1, const zr_gradient_stop_t *stops,
                              int count) {
    if (dc == nullptr) return;
    if (kind == ZR_GRADIENT_NONE) {
        if (dc_state *st = find_state(dc)) st->gradient.kind = ZR_GRADIENT_NONE;
        return;
    }
    guarded([&] { state_for(dc).gradient.set(kind, x0, y0, x1, y1, stops, count); });
}

ZR_API void zr_line_subpixel(dc_t *dc, int x1, int y1, int x2, int y2) {
    if (dc == nullptr) return;
    guarded([&] { line_shape(dc, state_for(dc), at(x1, y1, subpixel), at(x2, y2, subpixel)); });
}

ZR_API void zr_polygon(dc_t *dc, const zr_point_t *points, int count) {
    guarded([&] { polygon_shape(dc, points, count, 1); });
}

ZR_API void zr_polygon_subpixel(dc_t *dc, const zr_point_t *points, int count) {
    guarded([&] { polygon_shape(dc, points, count, subpixel); });
}

ZR_API void zr_round_rectangle(dc_t *dc, int x1, int y1, int x2, int y2, int radius) {
    if (dc == nullptr) return;
    guarded([&] {
        dc_state &st = state_for(dc);
        const point a = at(std::min(x1, x2), std::min(y1, y2), 1), b = at(std::max(x1, x2), std::max(y1, y2), 1);
        const double rad = std::clamp<double>(radius, 0, std::min(b.x - a.x, b.y - a.y) / 2);
        const double h = st.half_width();
        fill_with_brush(dc, st, {a.x, a.y, b.x, b.y}, st.rule, [&](raster::path_sink &s) {
            round_rect_contour(s, a.x, a.y, b.x, b.y, rad, false);
        });
        stroke_with_pen(dc, st, bounds{a.x, a.y, b.x, b.y}.grown(h), [&](raster::path_sink &s) {
            round_rect_contour(s, a.x - h, a.y - h, b.x + h, b.y + h, rad + h, false);
            if (b.x - a.x > 2 * h && b.y - a.y > 2 * h)
                round_rect_contour(s, a.x + h, a.y + h, b.x - h, b.y - h, std::max(rad - h, 0.0), true);
        });
    });
}

ZR_API void zr_arc(dc_t *dc, int cx, int cy, int radius, int start_angle, int end_angle) {
    if (dc == nullptr || radius <= 0) return;
    guarded([&] {
        dc_state &st = state_for(dc);
        const point c = at(cx, cy, 1);
        const double r = radius, h = st.half_width();
        // Clockwise from start to end; equal angles give the whole circle.
        const int from = (start_angle % 360 + 360) % 360;
        int to = (end_angle % 360 + 360) % 360;
        if (to <= from) to += 360;
        const double t0 = from * pi / 180, t1 = to * pi / 180;
        const int cap = st.cap;
        stroke_with_pen(dc, st, bounds::around(c, r + 2 * h, r + 2 * h), [&](raster::path_sink &s) {
            if (to - from == 360) {
                s.arc(c.x, c.y, r, r, 0, 2 * pi, h);
                s.close();
                if (h < r) s.arc(c.x, c.y, r, r, 2 * pi, 0, -h);
                return;
            }
            const point e0{c.x + r * std::cos(t0), c.y + r * std::sin(t0)};
            const point e1{c.x + r * std::cos(t1), c.y + r * std::sin(t1)};
            const point ahead{-std::sin(t1) * h, std::cos(t1) * h}, back{std::sin(t0) * h, -std::cos(t0) * h};
            s.arc(c.x, c.y, r, r, t0, t1, h);
            if (cap == ZR_CAP_ROUND) s.arc(e1.x, e1.y, h, h, t1, t1 + pi, 0);
            if (cap == ZR_CAP_SQUARE) {
                const point o = e1 + point{std::cos(t1), std::sin(t1)} * h + ahead;
                const point i = e1 - point{std::cos(t1), std::sin(t1)} * h + ahead;
                s.line_to(o.x, o.y);
                s.line_to(i.x, i.y);
            }
            if (h < r) {
                s.arc(c.x, c.y, r, r, t1, t0, -h);
            } else {
                s.line_to(c.x, c.y);
            }
            if (cap == ZR_CAP_ROUND) s.arc(e0.x, e0.y, h, h, t0 + pi, t0 + 2 * pi, 0);
            if (cap == ZR_CAP_SQUARE) {
                const point i = e0 - point{std::cos(t0), std::sin(t0)} * h + back;
                const point o = e0 + point{std::cos(t0), std::sin(t0)} * h + back;
                s.line_to(i.x, i.y);
                s.line_to(o.x, o.y);
            }
            s.close();
        });
    });
}

}  // extern "C"
