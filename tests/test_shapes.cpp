// Rectangles, circles, ellipses and inversion: the exact span sequences of
// the rasterisers on the recording DC, the walks' shape, and a random sweep.
#include "recording_dc.hpp"
#include "pixels.hpp"
#include "shapes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>

using namespace zr_test;

namespace {

constexpr color_t brush{0, 248, 0, 255};
constexpr color_t pen{248, 0, 248, 255};
constexpr color_t off{90, 90, 90, 0};  // alpha 0: switches its half off

struct point { int x, y; };

// What zr_circle / zr_ellipse must call for the visited points: every span
// with the brush, then both ends of every span with the pen.
std::vector<slot_call> fill_then_outline(const std::vector<slot_call> &spans) {
    std::vector<slot_call> out;
    for (auto s : spans) out.push_back(hspan(s.a, s.b, s.c, brush));
    for (const auto &s : spans) {
        out.push_back(set_px(s.a, s.c, pen));
        out.push_back(set_px(s.b, s.c, pen));
    }
    return out;
}

// The spans each visited point reports: rows cy + y and cy - y over
// cx - x .. cx + x; for circles also rows cy + x and cy - x over cx - y .. cx + y.
std::vector<slot_call> point_spans(bool circle, int cx, int cy, const std::vector<point> &points) {
    std::vector<slot_call> out;
    for (auto p : points) {
        out.push_back(hspan(cx - p.x, cx + p.x, cy + p.y, {}));
        out.push_back(hspan(cx - p.x, cx + p.x, cy - p.y, {}));
        if (!circle) continue;
        out.push_back(hspan(cx - p.y, cx + p.y, cy + p.x, {}));
        out.push_back(hspan(cx - p.y, cx + p.y, cy - p.x, {}));
    }
    return out;
}

void prepare(dc_t *dc, color_t b, color_t p) {
    dc->brush_color = b;
    dc->pen_color = p;
}

TEST(Rasterisers, PointsVisitedGiveTheseCallsInOrder) {
    const struct {
        bool is_circle;
        int rx, ry;
        std::vector<point> points;
    } cases[] = {
        {true, 1, 1, {{0, 1}}}, {true, 3, 3, {{0, 3}, {1, 3}, {2, 2}}},
        {true, 10, 10, {{0, 10}, {1, 10}, {2, 10}, {3, 10}, {4, 9}, {5, 9}, {6, 8}, {7, 7}}},
        {false, 1, 1, {{0, 1}, {1, 1}, {1, 0}}},
        {false, 5, 3, {{0, 3}, {1, 3}, {2, 3}, {3, 2}, {4, 2}, {5, 1}, {5, 0}}},
        {false, -5, 3, {{0, 3}, {1, 3}, {2, 3}, {3, 2}, {4, 2}, {5, 1}, {5, 0}}},
        {false, 3, 5, {{0, 5}, {1, 5}, {2, 4}, {2, 3}, {3, 2}, {3, 1}, {3, 0}}},
        // Here the hand-over term 3 (A - B) / 2 picks (2, 4); a quarter would pick (1, 4).
        {false, 2, 6, {{0, 6}, {1, 5}, {2, 4}, {2, 3}, {2, 2}, {2, 1}, {2, 0}}},
    };
    for (const auto &k : cases) {
        recording_dc rec(60, 60);
        prepare(rec.dc(), brush, pen);
        k.is_circle ? zr_circle(rec.dc(), 30, 25, k.rx) : zr_ellipse(rec.dc(), 30, 25, k.rx, k.ry);
        EXPECT_EQ(rec.calls, fill_then_outline(point_spans(k.is_circle, 30, 25, k.points)))
            << (k.is_circle ? "circle " : "ellipse ") << k.rx << 'x' << k.ry;
    }
}

TEST(Shapes, RectangleCallsAndNothingCases) {
    auto rows = [](int x1, int x2, int y1, int y2, color_t c) {
        std::vector<slot_call> v;
        for (int y = y1; y <= y2; ++y) v.push_back(hspan(x1, x2, y, c));
        return v;
    };
    auto plus = [](std::vector<slot_call> a, const std::vector<slot_call> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const auto framed = plus(rows(10, 30, 20, 25, brush), {hspan(10, 30, 20, pen), hspan(10, 30, 25, pen),
                                                           vspan(10, 20, 25, pen), vspan(30, 20, 25, pen)});
    const struct {
        const char *name;
        color_t b, p;
        std::function<void(dc_t *)> draw;
        std::vector<slot_call> expected;
    } cases[] = {
        {"fill and frame", brush, pen, [](dc_t *d) { zr_rectangle(d, 10, 20, 30, 25); }, framed},
        {"corners swapped", brush, pen, [](dc_t *d) { zr_rectangle(d, 30, 25, 10, 20); }, framed},
        {"corners mixed", brush, pen, [](dc_t *d) { zr_rectangle(d, 10, 25, 30, 20); }, framed},
        {"one pixel", brush, pen, [](dc_t *d) { zr_rectangle(d, 5, 5, 5, 5); },
         {hspan(5, 5, 5, brush), hspan(5, 5, 5, pen), hspan(5, 5, 5, pen), vspan(5, 5, 5, pen), vspan(5, 5, 5, pen)}},
        {"left of the DC", brush, pen, [](dc_t *d) { zr_rectangle(d, -30, 10, -20, 20); },
         plus(rows(0, 0, 10, 20, brush), {hspan(0, 0, 10, pen), hspan(0, 0, 20, pen)})},
        {"outline above the DC", off, pen, [](dc_t *d) { zr_rectangle(d, 10, -30, 20, -20); },
         {vspan(10, 0, 0, pen), vspan(20, 0, 0, pen)}},
        {"fill only", brush, off, [](dc_t *d) { zr_rectangle(d, 10, 20, 30, 25); }, rows(10, 30, 20, 25, brush)},
        {"whole int range", brush, off, [](dc_t *d) { zr_rectangle(d, INT_MIN, INT_MIN, INT_MAX, INT_MAX); },
         rows(0, 99, 0, 99, brush)},
        {"both halves off", off, off, [](dc_t *d) {
             zr_rectangle(d, 1, 1, 50, 50);
             zr_circle(d, 50, 50, 10);
             zr_ellipse(d, 50, 50, 10, 4);
         }, {}},
        {"circle radius 0 or negative", brush, pen, [](dc_t *d) {
             zr_circle(d, 50, 50, 0);
             zr_circle(d, 50, 50, -7);
         }, {}},
        {"ellipse radius 0 or ry negative", brush, pen, [](dc_t *d) {
             zr_ellipse(d, 50, 50, 0, 5);
             zr_ellipse(d, 50, 50, 5, 0);
             zr_ellipse(d, 50, 50, 5, -3);
             zr_ellipse(d, 50, 50, -5, -3);
         }, {}},
    };
    for (const auto &k : cases) {
        recording_dc rec(100, 100);
        prepare(rec.dc(), k.b, k.p);
        k.draw(rec.dc());
        EXPECT_EQ(rec.calls, k.expected) << k.name;
        EXPECT_EQ(rec.violations, 0) << k.name;
    }
}

TEST(Shapes, InversionVisitsRowsThenColumnsAndKeepsAlpha) {
    recording_dc rec(3, 2);
    rec.pixel(0, 0) = {10, 20, 30, 40};
    rec.pixel(2, 1) = {255, 0, 128, 7};
    zr_invrectangle(rec.dc(), INT_MAX, INT_MAX, INT_MIN, INT_MIN);  // the whole DC, and no more
    std::vector<slot_call> expected;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            expected.push_back(get_px(x, y));
            expected.push_back(set_px(x, y, rec.pixel(x, y)));
        }
    EXPECT_EQ(rec.calls, expected);
    EXPECT_TRUE(same(rec.pixel(0, 0), color_t{245, 235, 225, 40}));
    EXPECT_TRUE(same(rec.pixel(2, 1), color_t{0, 255, 127, 7}));
    EXPECT_TRUE(same(rec.pixel(1, 0), color_t{255, 255, 255, 255}));

    // A read that writes nothing passes on the complement of opaque black.
    recording_dc blind(2, 2);
    blind.dc()->get_pixel = [](dc_t *, int, int, color_t *) {};
    zr_invrectangle(blind.dc(), 1, 1, 5, 5);
    EXPECT_EQ(blind.calls, std::vector<slot_call>{set_px(1, 1, color_t{255, 255, 255, 255})});
}

// Shapes and lines at the ends of the int range: every slot call stays
// inside the DC and ordered (the recording DC flags others).
TEST(Shapes, ShapesAtTheIntLimitsNeverLeaveTheDC) {
    recording_dc rec(100, 60);
    dc_t *d = rec.dc();
    prepare(d, brush, pen);
    zr_circle(d, INT_MAX, INT_MIN, 6);
    zr_circle(d, INT_MIN, 30, 6);
    zr_ellipse(d, INT_MIN, INT_MAX, 7, 4);
    zr_ellipse(d, 50, 30, INT_MIN, 5);
    zr_ellipse(d, 50, 30, 5, INT_MIN);
    zr_rectangle(d, INT_MIN, INT_MAX, INT_MAX, INT_MIN);
    zr_invrectangle(d, INT_MIN, INT_MAX, INT_MAX, INT_MIN);
    zr_line(d, INT_MAX - 5, 10, INT_MAX, 13);
    zr_line(d, 10, INT_MIN, 14, INT_MIN + 9);
    EXPECT_EQ(rec.violations, 0);
}

// The walk of one curve as its span operation sees it, checked as it goes
// (the largest ellipses report millions of spans). Each visited point's
// spans must mirror about the centre (and, for circles, the diagonal); the
// points of one quadrant (octant) must form a connected path, x never
// falling and y never rising, each on the ideal curve to within a pixel.
struct walk_check {
    std::int64_t cx = 0, cy = 0;
    double rx = 1, ry = 1;
    bool circle = false;
    slot_call group[4]{};  // the spans of the current point
    int in_group = 0;
    long points = 0;
    point first{}, last{};
    std::string fault;
};
walk_check *walk = nullptr;

void check_span(dc_t *, int x1, int x2, int y, color_t) {
    walk_check &w = *walk;
    if (!w.fault.empty()) return;
    w.group[w.in_group++] = hspan(x1, x2, y, {});
    if (w.in_group < (w.circle ? 4 : 2)) return;
    w.in_group = 0;
    const point p{static_cast<int>(w.cx - w.group[0].a), static_cast<int>(w.group[0].c - w.cy)};
    auto is_span = [&](const slot_call &s, std::int64_t half, std::int64_t row) {
        return s.a == w.cx - half && s.b == w.cx + half && s.c == row;
    };
    bool mirrored = is_span(w.group[0], p.x, w.cy + p.y) && is_span(w.group[1], p.x, w.cy - p.y);
    if (w.circle) mirrored = mirrored && is_span(w.group[2], p.y, w.cy + p.x) && is_span(w.group[3], p.y, w.cy - p.x);
    auto sq = [](double v) { return v * v; };
    const double lo = sq(std::max(p.x - 1, 0) / w.rx) + sq(std::max(p.y - 1, 0) / w.ry);
    const double hi = sq((p.x + 1) / w.rx) + sq((p.y + 1) / w.ry);
    const int dx = p.x - w.last.x, dy = w.last.y - p.y;
    const char *fault = !mirrored                ? "spans not mirrored"
                        : lo > 1.0 || hi < 1.0 ? "off the curve"
                        : w.points > 0 && (dx < 0 || dx > 1 || dy < 0 || dy > 1 || dx + dy == 0)
                            ? "path broken"
                            : nullptr;
    if (fault) w.fault = std::string(fault) + " at " + std::to_string(p.x) + ',' + std::to_string(p.y);
    if (w.points++ == 0) w.first = p;
    w.last = p;
}

TEST(Rasterisers, CirclesAndEllipsesAreClosedAndSymmetric) {
    recording_dc unused(1, 1);
    walk_check w;
    walk = &w;
    std::mt19937 rng(912);
    std::uniform_int_distribution<int> r(1, 3000), centre(-100000, 100000);
    for (int i = 0; i < 60; ++i) {
        const int radius = i < 40 ? i + 1 : r(rng);
        w = {};
        w.cx = centre(rng), w.cy = centre(rng), w.rx = w.ry = radius, w.circle = true;
        zr::circle(unused.dc(), static_cast<int>(w.cx), static_cast<int>(w.cy), radius, pen, check_span);
        ASSERT_EQ(w.fault, "") << "circle " << radius;
        EXPECT_TRUE(w.first.x == 0 && w.first.y == radius) << "circle " << radius;
        EXPECT_LE(std::abs(w.last.x - w.last.y), 1) << "octant not reached, circle " << radius;
    }
    const std::vector<std::pair<int, int>> fixed = {
        {912, 912}, {913, 913}, {1000, 300}, {300, 1000}, {2500, 1}, {1, 2500}, {40000, 39999},
        {zr::max_ellipse_radius, zr::max_ellipse_radius}, {zr::max_ellipse_radius, 17}};
    for (int i = 0; i < 80; ++i) {
        const auto [rx, ry] = i < 9 ? fixed[i] : std::pair{r(rng), r(rng)};
        w = {};
        w.cx = centre(rng), w.cy = centre(rng), w.rx = rx, w.ry = ry;
        zr::ellipse(unused.dc(), static_cast<int>(w.cx), static_cast<int>(w.cy), rx, ry, pen, check_span);
        ASSERT_EQ(w.fault, "") << "ellipse " << rx << 'x' << ry;
        EXPECT_TRUE(w.first.x == 0 && w.first.y == ry) << "ellipse " << rx << 'x' << ry;
        // The walk ends on the centre row, as far out as the curve is half a
        // row above it: flat ellipses end short of rx, as the midpoint rule has it.
        const double reach = rx * std::sqrt(1 - 0.25 / (double(ry) * ry)) - 1;
        EXPECT_TRUE(w.last.y == 0 && w.last.x >= reach && w.last.x <= rx) << "ellipse " << rx << 'x' << ry;
    }
    // Beyond the supported radius the walk declines instead of overflowing.
    w = {};
    zr::ellipse(unused.dc(), 0, 0, zr::max_ellipse_radius + 1, 5, pen, check_span);
    EXPECT_EQ(w.points, 0);
    walk = nullptr;
}

// A circle reaching far outside the DC walks only the stretches that can
// reach its rows: the spans on rows inside are those of the whole walk, in
// the same order, from tiny radii to a radius of INT_MAX.
std::vector<slot_call> *spans_seen = nullptr;
int rows_seen = 0;
void keep_visible_span(dc_t *, int x1, int x2, int y, color_t) {
    if (y >= 0 && y < rows_seen) spans_seen->push_back(hspan(x1, x2, y, {}));
}

TEST(Rasterisers, HugeCirclesWalkOnlyWhatReachesTheDc) {
    recording_dc geometry(40, 30);
    rows_seen = 30;
    std::vector<slot_call> whole, visible;
    auto compare = [&](int cx, int cy, int radius) {
        whole.clear();
        visible.clear();
        spans_seen = &whole;
        zr::circle(geometry.dc(), cx, cy, radius, pen, keep_visible_span);
        spans_seen = &visible;
        zr::visible_circle(geometry.dc(), cx, cy, radius, pen, keep_visible_span);
        spans_seen = nullptr;
        return visible == whole;
    };
    // Every small radius around every edge and corner.
    for (int radius = 0; radius <= 45; ++radius)
        for (int cy : {-50, -20, -3, 0, 14, 29, 33, 60})
            for (int cx : {-30, 0, 20, 41})
                ASSERT_TRUE(compare(cx, cy, radius)) << cx << ',' << cy << " r " << radius;
    // Large radii whose curve passes through the DC at every angle: a centre
    // at distance about r from a point near the DC.
    std::mt19937 rng(5150);
    std::uniform_real_distribution<double> angle(0, 6.2831853);
    std::uniform_int_distribution<int> radius(50, 1 << 20), jitter(-3, 3), spot(-5, 45);
    int crossing = 0;
    for (int i = 0; i < 150; ++i) {
        const int r = radius(rng);
        const double t = angle(rng);
        const int cx = spot(rng) + static_cast<int>(r * std::cos(t)) + jitter(rng);
        const int cy = spot(rng) + static_cast<int>(r * std::sin(t)) + jitter(rng);
        ASSERT_TRUE(compare(cx, cy, r)) << cx << ',' << cy << " r " << r;
        crossing += !whole.empty();
    }
    EXPECT_GT(crossing, 100);

    // A radius of INT_MAX about the corner fills the whole DC with the brush
    // and puts no outline inside it.
    recording_dc corner(16, 16);
    prepare(corner.dc(), brush, pen);
    zr_circle(corner.dc(), 0, 0, INT_MAX);
    zr_circle(corner.dc(), 15, INT_MIN, INT_MAX);  // its bottom is far above the DC
    int filled = 0;
    for (int y = 0; y < 16; ++y) for (int x = 0; x < 16; ++x) filled += same(corner.pixel(x, y), brush);
    EXPECT_EQ(filled, 256);
}

}  // namespace
