// Smooth shapes: coverage against the exact area of each shape over each
// pixel, the fast rows against the plain path, shared edges, the DC state,
// and coordinates at the ends of the int range. Coverage is read back as
// alpha: an opaque white pen or brush on a 32-bit bitmap of transparent
// black leaves each pixel's alpha at its coverage.
#include "pixels.hpp"
#include "raster.hpp"
#include "smooth.hpp"
#include "vfb_fixture.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <numbers>
#include <random>

namespace {

constexpr double pi = std::numbers::pi;
constexpr color_t white{255, 255, 255, 255};
constexpr color_t none{0, 0, 0, 0};

struct bitmap {
    bmp_t *b;
    explicit bitmap(int w, int h, color_t pen = white) : b(zr_bmp_create(w, h, 32, 0)) {
        std::memset(b->data, 0, static_cast<std::size_t>(b->dc.bytes));
        zr_antialias(&b->dc, 1);
        zr_pen_color(&b->dc, pen);
        zr_brush_color(&b->dc, white);
    }
    ~bitmap() { zr_bmp_close(b); }
    dc_t *dc() { return &b->dc; }
    int alpha(int x, int y) { return zr_test::pixel(dc(), x, y)[3]; }
};

// A shape as the length it covers of each vertical line, x, from y0 to y1.
using column = std::function<double(double x, double y0, double y1)>;

double overlap(double a, double b, double y0, double y1) { return std::max(0.0, std::min(b, y1) - std::max(a, y0)); }

double simpson(const std::function<double(double)> &f, double a, double b, double fa, double fm, double fb, double whole,
               int depth) {
    const double m = (a + b) / 2, lm = (a + m) / 2, rm = (m + b) / 2;
    const double flm = f(lm), frm = f(rm);
    const double left = (m - a) / 6 * (fa + 4 * flm + fm), right = (b - m) / 6 * (fm + 4 * frm + fb);
    if (depth <= 0 || std::abs(left + right - whole) < 1e-7) return left + right;
    return simpson(f, a, m, fa, flm, fm, left, depth - 1) + simpson(f, m, b, fm, frm, fb, right, depth - 1);
}

// The area of the shape over pixel (x, y).
double area(const column &c, int x, int y) {
    const auto f = [&](double u) { return c(u, y, y + 1.0); };
    // Eight pieces first, so that no thin feature slips between the samples.
    double sum = 0;
    for (int i = 0; i < 8; ++i) {
        const double a = x + i / 8.0, b = a + 1 / 8.0, fa = f(a), fb = f(b), fm = f((a + b) / 2);
        sum += simpson(f, a, b, fa, fm, fb, (b - a) / 6 * (fa + 4 * fm + fb), 14);
    }
    return sum;
}

column ellipse(double cx, double cy, double rx, double ry) {
    return [=](double x, double y0, double y1) {
        const double d = (x - cx) / rx;
        if (std::abs(d) >= 1) return 0.0;
        const double h = ry * std::sqrt(1 - d * d);
        return overlap(cy - h, cy + h, y0, y1);
    };
}

column minus(column outer, column inner) {
    return [=](double x, double y0, double y1) { return outer(x, y0, y1) - inner(x, y0, y1); };
}

column round_rect(double l, double t, double r, double b, double rad) {
    return [=](double x, double y0, double y1) {
        if (x <= l || x >= r) return 0.0;
        const double dx = std::max(0.0, std::abs(x - (l + r) / 2) - ((r - l) / 2 - rad));
        const double e = rad - std::sqrt(std::max(0.0, rad * rad - dx * dx));
        return overlap(t + e, b - e, y0, y1);
    };
}

struct pt { double x, y; };

// A polygon under a fill rule: the crossings of the vertical line, in order.
column polygon(std::vector<pt> p, bool evenodd) {
    return [=](double x, double y0, double y1) {
        std::vector<std::pair<double, int>> cuts;
        for (std::size_t i = 0; i < p.size(); ++i) {
            const pt a = p[i], b = p[(i + 1) % p.size()];
            if ((a.x <= x) == (b.x <= x)) continue;
            cuts.push_back({a.y + (x - a.x) / (b.x - a.x) * (b.y - a.y), b.x > a.x ? 1 : -1});
        }
        std::sort(cuts.begin(), cuts.end());
        double sum = 0;
        int winding = 0;
        for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
            winding += cuts[i].second;
            if (evenodd ? winding % 2 != 0 : winding != 0) sum += overlap(cuts[i].first, cuts[i + 1].first, y0, y1);
        }
        return sum;
    };
}

// A ring's sector from angle t0 to t1 (t1 - t0 at most pi), ends cut along radii.
column sector(double cx, double cy, double r_in, double r_out, double t0, double t1) {
    const column ring = minus(ellipse(cx, cy, r_out, r_out), ellipse(cx, cy, r_in, r_in));
    return [=](double x, double y0, double y1) {
        // y - cy against both radii: cross(d0, p) >= 0 and cross(p, d1) >= 0.
        double lo = y0, hi = y1;
        const auto bound = [&](double dx, double dy, bool at_least) {
            const double v = cy + dy * (x - cx) / dx;
            (dx > 0) == at_least ? lo = std::max(lo, v) : hi = std::min(hi, v);
        };
        bound(std::cos(t0), std::sin(t0), true);
        bound(std::cos(t1), std::sin(t1), false);
        return lo < hi ? ring(x, lo, hi) : 0.0;
    };
}

// Pixels that hold a point where two sides of the polygon cross.
std::vector<std::pair<int, int>> crossings(const std::vector<pt> &p) {
    std::vector<std::pair<int, int>> out;
    const std::size_t n = p.size();
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 2; j < n; ++j) {
            const pt a = p[i], b = p[(i + 1) % n], c = p[j], d = p[(j + 1) % n];
            const double den = (b.x - a.x) * (d.y - c.y) - (b.y - a.y) * (d.x - c.x);
            if (den == 0) continue;
            const double s = ((c.x - a.x) * (d.y - c.y) - (c.y - a.y) * (d.x - c.x)) / den;
            const double u = ((c.x - a.x) * (b.y - a.y) - (c.y - a.y) * (b.x - a.x)) / den;
            if (s > 0 && s < 1 && u > 0 && u < 1)
                out.push_back({static_cast<int>(std::floor(a.x + s * (b.x - a.x))),
                               static_cast<int>(std::floor(a.y + s * (b.y - a.y)))});
        }
    return out;
}

using draw_fn = std::function<void(dc_t *)>;

struct quality_case {
    std::string name;
    int size;
    draw_fn draw;  // pen and brush are opaque white unless it says otherwise
    column exact;
    std::vector<pt> polygon = {};  // the pixels around its self-crossings are not judged
};

// Fill only; outline only, or a line, of pen width w.
draw_fn filled(draw_fn f) { return [=](dc_t *dc) { zr_pen_color(dc, none), f(dc); }; }
draw_fn stroked(int w, bool fill, draw_fn f) {
    return [=](dc_t *dc) {
        if (!fill) zr_brush_color(dc, none);
        zr_pen_width(dc, w), f(dc);
    };
}

// Edge pixels (drawn partly, or next to one drawn partly) and a sample of the
// others, against the exact area: within 1/64 at 99.5 % of the edge pixels,
// within 8/255 at every one.
void expect_quality(const quality_case &q) {
    SCOPED_TRACE(q.name);
    bitmap bm(q.size, q.size);
    q.draw(bm.dc());
    const auto at = [&](int x, int y) { return bm.alpha(x, y); };
    const std::vector<std::pair<int, int>> skip = crossings(q.polygon);
    int edge = 0, close = 0;
    double worst = 0;
    for (int y = 0; y < q.size; ++y)
        for (int x = 0; x < q.size; ++x) {
            bool near = false;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int u = x + dx, v = y + dy;
                    near |= u >= 0 && v >= 0 && u < q.size && v < q.size && at(u, v) % 255 != 0;
                }
            if (!near && (x * 7 + y * 13) % 97 != 0) continue;
            const auto crossed = [&](std::pair<int, int> c) { return std::abs(c.first - x) <= 1 && std::abs(c.second - y) <= 1; };
            if (std::any_of(skip.begin(), skip.end(), crossed)) continue;
            const double err = std::abs(at(x, y) / 255.0 - area(q.exact, x, y));
            worst = std::max(worst, err);
            if (!near) continue;
            ++edge;
            close += err <= 1.0 / 64;
        }
    ASSERT_GT(edge, 0);
    EXPECT_GE(close, edge * 0.995) << close << " of " << edge << " edge pixels within 1/64";
    EXPECT_LE(worst, 8.0 / 255);
}

std::vector<quality_case> quality_cases() {
    std::vector<quality_case> cases;
    const auto n = [](auto v) { return std::to_string(v); };
    for (const int r : {1, 2, 3, 5, 8, 13, 40, 120, 500}) {
        const int c = r + 3;
        cases.push_back({"disc r=" + n(r), 2 * r + 8, filled([=](dc_t *dc) { zr_circle(dc, c, c, r); }),
                         ellipse(c + 0.5, c + 0.5, r, r)});
    }
    for (const int r : {3, 30, 200})
        for (const int w : {1, 4}) {
            const double c = r + 6.5;
            cases.push_back({"ring r=" + n(r) + " w=" + n(w), 2 * r + 14, stroked(w, false, [=](dc_t *dc) { zr_circle(dc, r + 6, r + 6, r); }),
                             minus(ellipse(c, c, r + w / 2.0, r + w / 2.0), ellipse(c, c, r - w / 2.0, r - w / 2.0))});
        }
    for (const auto &radii : {std::pair{30, 7}, {5, 60}, {200, 120}}) {
        const int rx = radii.first, ry = radii.second, c = std::max(rx, ry) + 3;
        cases.push_back({"ellipse " + n(rx) + "x" + n(ry), 2 * c + 2, filled([=](dc_t *dc) { zr_ellipse(dc, c, c, rx, ry); }),
                         ellipse(c + 0.5, c + 0.5, rx, ry)});
    }
    // Lines in every octant at uneven slopes, from and to sub-pixel points.
    for (int k = 0; k < 32; ++k)
        for (const int w : {1, 5}) {
            const double t = (k + 0.37) * 2 * pi / 32;
            const int x1 = 40 * 16 + 5, y1 = 40 * 16 + 11;
            const int x2 = x1 + static_cast<int>(std::lround(34 * 16 * std::cos(t)));
            const int y2 = y1 + static_cast<int>(std::lround(34 * 16 * std::sin(t)));
            const pt a{x1 / 16.0 + 0.5, y1 / 16.0 + 0.5}, b{x2 / 16.0 + 0.5, y2 / 16.0 + 0.5};
            const double len = std::hypot(b.x - a.x, b.y - a.y), h = w / 2.0;
            const pt d{-(b.y - a.y) / len * h, (b.x - a.x) / len * h};
            cases.push_back({"line " + n(k) + " w=" + n(w), 82, stroked(w, true, [=](dc_t *dc) { zr_line_subpixel(dc, x1, y1, x2, y2); }),
                             polygon({{a.x + d.x, a.y + d.y}, {b.x + d.x, b.y + d.y}, {b.x - d.x, b.y - d.y}, {a.x - d.x, a.y - d.y}}, false)});
        }
    for (const int rad : {0, 7, 40})
        cases.push_back({"round rectangle r=" + n(rad), 120, filled([=](dc_t *dc) { zr_round_rectangle(dc, 100, 90, 9, 4, rad); }),
                         round_rect(9.5, 4.5, 100.5, 90.5, rad)});
    cases.push_back({"round rectangle outline", 120, stroked(3, false, [](dc_t *dc) { zr_round_rectangle(dc, 9, 4, 100, 90, 10); }),
                     minus(round_rect(8, 3, 102, 92, 11.5), round_rect(11, 6, 99, 89, 8.5))});
    for (const auto &arc : {std::array{60, 10, 100, 5}, {25, 200, 350, 2}, {40, 300, 420, 1}}) {
        const int r = arc[0], from = arc[1], to = arc[2], w = arc[3];
        const double c = r + 5.5;
        cases.push_back({"arc " + n(from) + ".." + n(to), 2 * r + 12, stroked(w, true, [=](dc_t *dc) { zr_arc(dc, r + 5, r + 5, r, from, to); }),
                         sector(c, c, r - w / 2.0, r + w / 2.0, from * pi / 180, to * pi / 180)});
    }
    // A 20-point star, and a pentagram whose middle the rules tell apart.
    const auto star = [](int points, int turns, double r_odd, double r_even) {
        std::vector<zr_point_t> p;
        for (int i = 0; i < points; ++i) {
            const double t = i * 2 * pi * turns / points + 0.1, r = i % 2 != 0 ? r_odd : r_even;
            p.push_back({static_cast<int>(std::lround((60 + r * std::cos(t)) * 16)),
                         static_cast<int>(std::lround((60 + r * std::sin(t)) * 16))});
        }
        return p;
    };
    const auto exact = [](const std::vector<zr_point_t> &p, int one) {
        std::vector<pt> q;
        for (const zr_point_t &v : p) q.push_back({v.x / double(one) + 0.5, v.y / double(one) + 0.5});
        return q;
    };
    for (const bool evenodd : {false, true})
        for (const auto &p : {star(20, 1, 52, 21), star(5, 2, 55, 55)}) {
            const std::string name = (p.size() == 5 ? "pentagram" : "star") + std::string(evenodd ? ", even-odd" : ", non-zero");
            cases.push_back({name, 121, filled([=](dc_t *dc) {
                                 zr_fill_rule(dc, evenodd ? ZR_FILL_EVENODD : ZR_FILL_NONZERO);
                                 zr_polygon_subpixel(dc, p.data(), static_cast<int>(p.size()));
                             }),
                             polygon(exact(p, 16), evenodd), exact(p, 16)});
        }
    const std::vector<zr_point_t> notch = {{3, 3}, {70, 10}, {30, 30}, {66, 64}, {2, 50}};
    cases.push_back({"concave polygon", 72, filled([=](dc_t *dc) { zr_polygon(dc, notch.data(), static_cast<int>(notch.size())); }),
                     polygon(exact(notch, 1), false)});
    return cases;
}

TEST(Smooth, CoverageIsTheExactAreaOfEveryShape) {
    for (const quality_case &q : quality_cases()) expect_quality(q);
}

// A scene with every kind of run: translucent and opaque colours over a
// patterned buffer, gradients, wide pens, the rules, anti-aliasing on and off.
void scene(dc_t *dc) {
    const zr_gradient_stop_t stops[] = {{0, {250, 20, 10, 255}}, {128, {10, 240, 30, 90}}, {255, {0, 0, 250, 200}}};
    const zr_point_t star[] = {{10, 10}, {150, 40}, {20, 110}, {80, 0}, {140, 100}};
    for (const int aa : {1, 0}) {
        zr_antialias(dc, aa);
        zr_pen_width(dc, 1);
        zr_brush_gradient(dc, ZR_GRADIENT_NONE, 0, 0, 0, 0, nullptr, 0);
        zr_pen_color(dc, {200, 100, 50, 255});
        zr_brush_color(dc, {30, 60, 220, 255});
        zr_circle(dc, 40 + aa, 40, 33);
        zr_round_rectangle(dc, 3 + aa, 45, 70, 118, 5);  // opaque rows that repeat: held fills
        // A right side that slopes within one pixel, then runs straight: the
        // repeated rows' solid run extends the one held from the rows above.
        const zr_point_t kink[] = {{1200, 800}, {1840, 800}, {1847, 1120}, {1847, 1600}, {1200, 1600}};
        // A right side leaning by 1/16 pixel over the height: one-pixel runs
        // of every coverage from 239 to 255 (brush only).
        const zr_point_t steep[] = {{0, 0}, {1191, 0}, {1192, 1920}, {0, 1920}};
        if (aa != 0) {
            zr_polygon_subpixel(dc, kink, 5);
            zr_pen_color(dc, none);
            zr_polygon_subpixel(dc, steep, 4);
        }
        zr_pen_color(dc, {20, 250, 90, 140});
        zr_brush_color(dc, {230, 230, 10, 100});
        zr_pen_width(dc, 5);
        zr_pen_cap(dc, ZR_CAP_ROUND);
        zr_line(dc, -7, 90, 170, 60 + aa);
        zr_line_to(dc, 100, 115);
        zr_fill_rule(dc, aa != 0 ? ZR_FILL_EVENODD : ZR_FILL_NONZERO);
        zr_polygon(dc, star, 5);
        zr_brush_gradient(dc, ZR_GRADIENT_LINEAR, 10, 20, 150, 90, stops, 3);
        zr_round_rectangle(dc, 90, 5, 155, 70, 12);
        zr_brush_gradient(dc, ZR_GRADIENT_RADIAL, 60, 80, 100, 80, stops, 3);
        zr_ellipse(dc, 60, 80, 50, 25);
        zr_pen_cap(dc, ZR_CAP_SQUARE);
        zr_arc(dc, 80, 60, 45, 300, 100);
    }
}

TEST(Smooth, FastRowsWriteWhatThePlainPathWrites) {
    for (const int depth : {15, 16, 32}) {
        ASSERT_EQ(zr_test::vfb_open({.width = 160, .height = 120, .depth = depth}), 0);
        dc_t *dc = zr_get_buffer_dc(-1, -1);
        ASSERT_NE(dc, nullptr);
        for (int i = 0; i < dc->bytes; ++i) dc->mapped[i] = static_cast<unsigned char>(i * 37 / 5);
        EXPECT_EQ(zr_test::compare_paths({{dc->mapped, static_cast<std::size_t>(dc->bytes)}}, [&] { scene(dc); }), "")
            << depth << "-bit buffer";
        zr_release_dc(dc);
        zr_test::vfb_close();
    }
}

// A shape cut by the DC's sides draws there what it draws whole, and what a
// shape leaves in the DC's scratch does not reach the next: each shape on a
// fresh large bitmap against the same shape, moved, on a small one that
// shows a window of it and drew the shapes before.
TEST(Smooth, ShapesCutByTheSidesOrDrawnAfterOthersDrawAsWhole) {
    constexpr int wx = 30, wy = 20;  // the small bitmap's place on the large one
    const std::vector<std::function<void(dc_t *, int dx, int dy)>> shapes = {
        [](dc_t *dc, int dx, int dy) { zr_round_rectangle(dc, 35 + dx, 22 + dy, 85 + dx, 58 + dy, 5); },
        [](dc_t *dc, int dx, int dy) { zr_round_rectangle(dc, 10 + dx, 25 + dy, 110 + dx, 55 + dy, 6); },
        [](dc_t *dc, int dx, int dy) {
            const zr_point_t star[] = {{10 + dx, 30 + dy}, {100 + dx, 25 + dy}, {40 + dx, 58 + dy},
                                       {50 + dx, 15 + dy}, {95 + dx, 55 + dy}};
            zr_polygon(dc, star, 5);
        },
        [](dc_t *dc, int dx, int dy) { zr_circle(dc, 30 + dx, 40 + dy, 15); },
        [](dc_t *dc, int dx, int dy) { zr_circle(dc, 90 + dx, 40 + dy, 12); },
        [](dc_t *dc, int dx, int dy) {
            zr_pen_color(dc, white);
            zr_pen_width(dc, 5);
            zr_line(dc, 20 + dx, 50 + dy, 100 + dx, 28 + dy);
        },
    };
    // Fills without outlines: an outline's blend over the fill would turn a
    // one-step difference of coverage into a large one of alpha.
    bitmap window(60, 40, none);
    for (std::size_t i = 0; i < shapes.size(); ++i) {
        bitmap whole(120, 80, none);
        std::memset(window.b->data, 0, static_cast<std::size_t>(window.b->dc.bytes));
        shapes[i](whole.dc(), 0, 0);
        shapes[i](window.dc(), -wx, -wy);
        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 60; ++x)
                ASSERT_LE(std::abs(window.alpha(x, y) - whole.alpha(x + wx, y + wy)), 1)
                    << "shape " << i << " at " << x << "," << y;
    }
}

// Shapes that share an edge add up to the whole pixel; shapes without area
// draw nothing.
TEST(Smooth, SharedEdgesAddUpAndEmptyShapesDrawNothing) {
    // A fan of triangles about a sub-pixel centre, reaching past the bitmap.
    const zr_point_t centre{25 * 16 + 7, 22 * 16 + 3};
    const zr_point_t rim[] = {{-1600, -1000}, {2900, -1700}, {3000, 1510}, {430, 3000}, {-2000, 2900}};
    std::vector<int> sum(50 * 50, 0);
    for (int i = 0; i < 5; ++i) {
        bitmap bm(50, 50, none);
        const zr_point_t tri[] = {centre, rim[i], rim[(i + 1) % 5]};
        zr_polygon_subpixel(bm.dc(), tri, 3);
        for (int y = 0; y < 50; ++y)
            for (int x = 0; x < 50; ++x) sum[static_cast<std::size_t>(y * 50 + x)] += bm.alpha(x, y);
    }
    for (int v : sum) ASSERT_LE(std::abs(v - 255), 2);

    bitmap bm(40, 40);
    zr_pen_width(bm.dc(), 3);
    const zr_point_t flat[] = {{2, 2}, {20, 20}, {35, 35}, {9, 9}};
    zr_pen_color(bm.dc(), none);
    zr_polygon(bm.dc(), flat, 4);
    zr_round_rectangle(bm.dc(), 5, 5, 5, 30, 3);
    zr_pen_color(bm.dc(), white);
    zr_line(bm.dc(), 7, 7, 7, 7);
    zr_circle(bm.dc(), 20, 20, 0);
    zr_arc(bm.dc(), 20, 20, 0, 0, 90);
    zr_polygon(bm.dc(), flat, 0);
    for (int y = 0; y < 40; ++y) for (int x = 0; x < 40; ++x) ASSERT_EQ(bm.alpha(x, y), 0) << x << "," << y;
}

TEST(Smooth, StateIsPerDcOffByDefaultAndGoesWithTheDc) {
    const std::size_t before = zr::smooth_state_count();
    // State set back to the defaults draws the existing calls as a DC that never had any.
    bmp_t *fresh = zr_bmp_create(60, 50, 16, 0), *touched = zr_bmp_create(60, 50, 16, 0);
    const zr_gradient_stop_t stops[] = {{0, white}, {255, none}};
    zr_antialias(&touched->dc, 1);
    zr_pen_width(&touched->dc, 7);
    zr_brush_gradient(&touched->dc, ZR_GRADIENT_LINEAR, 0, 0, 9, 9, stops, 2);
    zr_antialias(&touched->dc, 0);
    zr_pen_width(&touched->dc, 1);
    EXPECT_EQ(zr::smooth_state_count(), before + 1);
    for (bmp_t *b : {fresh, touched}) {
        std::memset(b->data, 0, static_cast<std::size_t>(b->dc.bytes));
        zr_line(&b->dc, 3, 4, 57, 31);
        zr_line_to(&b->dc, 9, 45);
        zr_circle(&b->dc, 30, 25, 17);
        zr_ellipse(&b->dc, 30, 25, 27, 9);
    }
    EXPECT_EQ(std::memcmp(fresh->data, touched->data, static_cast<std::size_t>(fresh->dc.bytes)), 0);
    for (bmp_t *b : {fresh, touched}) zr_bmp_close(b);
    EXPECT_EQ(zr::smooth_state_count(), before);

    // A linear gradient across a rectangle: each column its step.
    bitmap bm(256, 4, none);
    const zr_gradient_stop_t grey[] = {{255, white}, {0, {0, 0, 0, 255}}};
    zr_brush_gradient(bm.dc(), ZR_GRADIENT_LINEAR, 0, 0, 255, 0, grey, 2);
    const zr_point_t all[] = {{-1, -1}, {300, -1}, {300, 9}, {-1, 9}};
    zr_polygon(bm.dc(), all, 4);
    for (int x = 0; x < 256; ++x) ASSERT_LE(std::abs(zr_test::pixel(bm.dc(), x, 2)[0] - x), 1) << x;
    // Radial: the first stop at the centre, the last beyond the radius.
    zr_brush_gradient(bm.dc(), ZR_GRADIENT_RADIAL, 100, 2, 140, 2, grey, 2);
    zr_polygon(bm.dc(), all, 4);
    EXPECT_EQ(zr_test::pixel(bm.dc(), 100, 2)[0], 0);
    EXPECT_EQ(zr_test::pixel(bm.dc(), 200, 2)[0], 255);
}

// Coordinates anywhere in the int range: clipped before any work, so the
// calls return at once and draw what lies inside.
TEST(Smooth, CoordinatesAtTheIntLimitsDrawTheirVisiblePart) {
    bitmap bm(64, 48, none);
    const zr_point_t huge[] = {{INT_MIN, INT_MIN}, {INT_MAX, INT_MIN}, {INT_MAX, INT_MAX}, {INT_MIN, INT_MAX}};
    zr_polygon(bm.dc(), huge, 4);
    for (int y = 0; y < 48; ++y) for (int x = 0; x < 64; ++x) ASSERT_EQ(bm.alpha(x, y), 255);

    // A circle of radius 2^30 whose edge runs down column 20's middle.
    bitmap edge(64, 48, none);
    zr_circle(edge.dc(), 20 - (1 << 30), 24, 1 << 30);
    for (int y = 0; y < 48; ++y) {
        EXPECT_EQ(edge.alpha(19, y), 255);
        EXPECT_NEAR(edge.alpha(20, y), 128, 1);
        EXPECT_EQ(edge.alpha(21, y), 0);
    }

    bitmap line(64, 48);
    zr_pen_width(line.dc(), 3);
    zr_line(line.dc(), INT_MIN, INT_MIN, INT_MAX, INT_MAX);
    for (int i = 0; i < 48; ++i) EXPECT_EQ(line.alpha(i, i), 255);
    EXPECT_EQ(line.alpha(40, 5), 0);
    // Sizes at the limits too: these return without overflowing.
    zr_pen_width(line.dc(), INT_MAX);
    zr_line_subpixel(line.dc(), INT_MIN, INT_MAX, INT_MAX, INT_MIN);
    zr_arc(line.dc(), INT_MAX, INT_MIN, INT_MAX, INT_MIN, INT_MAX);
    zr_ellipse(line.dc(), INT_MIN, INT_MAX, INT_MAX, INT_MAX);
    zr_round_rectangle(line.dc(), INT_MIN, INT_MIN, INT_MAX, INT_MAX, INT_MAX);
    zr_polygon_subpixel(line.dc(), huge, 4);
}

// The sweep's block form against the one-pixel form, on running sums at and
// around every value where a rule folds or clamps, and anywhere.
template <zr::raster::fill_rule Rule, bool Threshold>
void expect_blocks_match(std::mt19937 &rng) {
    using zr::raster::full;
    const std::uint32_t marks[] = {0, full / 2, full, 2 * full, 3 * full, 0x80000000u, 0u - full, 0u - full / 2};
    for (int round = 0; round < 4000; ++round) {
        std::uint32_t acc[8], sums[9];
        sums[0] = marks[rng() % 8] + rng() % 5 - 2;
        for (int i = 0; i < 8; ++i) {
            sums[i + 1] = rng() % 4 == 0 ? static_cast<std::uint32_t>(rng()) : marks[rng() % 8] + rng() % 5 - 2;
            acc[i] = sums[i + 1] - sums[i];
        }
        std::uint8_t got[8];
        ASSERT_EQ((zr::raster::block_coverage<Rule, Threshold>(acc, got, sums[0])), sums[8]);
        for (int i = 0; i < 8; ++i) {
            ASSERT_EQ(got[i], (zr::raster::coverage_of<Rule, Threshold>(sums[i + 1]))) << std::hex << sums[i + 1];
            ASSERT_EQ(acc[i], 0u);
        }
    }
}

TEST(Smooth, BlockCoverageIsThePixelCoverageEightAtATime) {
    using enum zr::raster::fill_rule;
    std::mt19937 rng(11);
    expect_blocks_match<nonzero, false>(rng);
    expect_blocks_match<nonzero, true>(rng);
    expect_blocks_match<evenodd, false>(rng);
    expect_blocks_match<evenodd, true>(rng);
}

}  // namespace

// A rounded rectangle on whole pixels with a 1-pixel pen: its straight
// sides cover their pixels whole and nothing outside them, as the aliased
// rectangle does, also with the top corners cut off above the bitmap.
TEST(Smooth, RoundedRectangleSidesStayOnTheirPixels) {
    for (const int top : {10, -40}) {
        bitmap b(120, 80);
        zr_brush_color(b.dc(), none);
        zr_round_rectangle(b.dc(), 10, top, 109, 69, 20);
        // Pixels of x0..x1 by y0..y1 that differ from the coverage wanted.
        const auto off = [&](int x0, int x1, int y0, int y1, int want) {
            int n = 0;
            for (int y = y0; y <= y1; ++y)
                for (int x = x0; x <= x1; ++x) n += b.alpha(x, y) != want;
            return n;
        };
        const int y0 = top > 0 ? 32 : 0;
        EXPECT_EQ(off(9, 9, 0, 79, 0) + off(110, 110, 0, 79, 0), 0) << "left or right of " << top;
        EXPECT_EQ(off(10, 10, y0, 47, 255) + off(109, 109, y0, 47, 255), 0) << "left and right sides of " << top;
        if (top < 0) continue;
        EXPECT_EQ(off(0, 119, 9, 9, 0) + off(0, 119, 70, 70, 0), 0) << "above or below";
        EXPECT_EQ(off(32, 87, 10, 10, 255) + off(32, 87, 69, 69, 255), 0) << "top and bottom sides";
        EXPECT_EQ(off(32, 87, 11, 11, 0) + off(108, 108, 32, 47, 0), 0) << "just inside";
    }
}
