// Colours, clipped pixels, clamped spans and lines: the exact slot calls on
// the recording DC.
#include "draw.hpp"
#include "pixels.hpp"
#include "recording_dc.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <random>

using namespace zr_test;

namespace {

constexpr color_t red{200, 0, 0, 255};

TEST(Colour, ColorWrapsAndSetAlphaClamps) {
    EXPECT_TRUE(same(zr_color(456, -1, 0, 256), color_t{200, 255, 0, 0}));
    const struct { int in, stored; } alphas[] = {{300, 255}, {-5, 0}, {128, 128}};
    for (const auto &a : alphas) {
        color_t k{1, 2, 3, 77};
        zr_set_alpha(&k, a.in);
        EXPECT_TRUE(same(k, color_t{1, 2, 3, static_cast<unsigned char>(a.stored)})) << a.in;
    }
}

// One call per case on a 100 x 50 recording DC, and the slot calls it makes in order.
struct call_case {
    const char *name;
    std::function<void(dc_t *)> draw;
    std::vector<slot_call> expected;
};

void run_cases(const std::vector<call_case> &cases) {
    for (const auto &k : cases) {
        recording_dc rec(100, 50);
        rec.dc()->pen_color = red;
        k.draw(rec.dc());
        EXPECT_EQ(rec.calls, k.expected) << k.name;
        EXPECT_EQ(rec.violations, 0) << k.name;
    }
}

TEST(Clipping, SpansClampAndPixelsReject) {
    const color_t c = red;
    run_cases({
        {"hline wholly right", [&](dc_t *d) { zr_hline(d, 150, 200, 3, c); }, {hspan(99, 99, 3, c)}},
        {"hline across, reversed", [&](dc_t *d) { zr_hline(d, 200, -10, 3, c); }, {hspan(0, 99, 3, c)}},
        {"hline row -1 and 50", [&](dc_t *d) { zr_hline(d, 0, 9, -1, c), zr_hline(d, 0, 9, 50, c); }, {}},
        {"vline wholly below", [&](dc_t *d) { zr_vline(d, 3, 70, 60, c); }, {vspan(3, 49, 49, c)}},
        {"vline across", [&](dc_t *d) { zr_vline(d, 3, 80, -8, c); }, {vspan(3, 0, 49, c)}},
        {"vline column -1 and 100", [&](dc_t *d) { zr_vline(d, -1, 0, 9, c), zr_vline(d, 100, 0, 9, c); }, {}},
        {"pixel inside", [&](dc_t *d) { zr_set_pixel(d, 99, 49, c); }, {set_px(99, 49, c)}},
        {"pixels just outside", [&](dc_t *d) {
             color_t out{};
             zr_set_pixel(d, 100, 0, c), zr_set_pixel(d, 0, 50, c), zr_set_pixel(d, -1, 0, c), zr_get_pixel(d, 3, -1, &out);
         }, {}}, {"clear with alpha 0", [&](dc_t *d) { zr_clear(d, color_t{1, 2, 3, 0}); },
         {{slot::clear, 0, 0, 0, color_t{1, 2, 3, 0}}}},
    });
}

TEST(Lines, PixelsInTheirOrder) {
    const color_t c = red;
    auto line = [](int x1, int y1, int x2, int y2) {
        return [=](dc_t *d) { zr_line(d, x1, y1, x2, y2); };
    };
    run_cases({
        {"(0,0)-(4,2)", line(0, 0, 4, 2), {set_px(0, 0, c), set_px(0, 1, c), set_px(1, 1, c), set_px(2, 2, c), set_px(3, 2, c)}},
        {"(0,0)-(2,4)", line(0, 0, 2, 4), {set_px(0, 0, c), set_px(1, 0, c), set_px(1, 1, c), set_px(2, 2, c), set_px(2, 3, c)}},
        {"(0,0)-(5,1)", line(0, 0, 5, 1),
         {set_px(0, 0, c), set_px(0, 0, c), set_px(1, 0, c), set_px(2, 1, c), set_px(3, 1, c), set_px(4, 1, c)}},
        {"(4,2)-(0,0)", line(4, 2, 0, 0), {set_px(4, 2, c), set_px(4, 1, c), set_px(3, 1, c), set_px(2, 0, c), set_px(1, 0, c)}},
        {"(0,0)-(4,0)", line(0, 0, 4, 0), {hspan(0, 4, 0, c)}}, {"(2,5)-(2,1)", line(2, 5, 2, 1), {vspan(2, 1, 5, c)}},
        {"horizontal, left of the DC", line(-10, 5, -5, 5), {hspan(0, 0, 5, c)}},
        {"vertical, column -10", line(-10, 5, -10, 9), {}},
        {"zero length above the DC", line(7, -4, 7, -4), {vspan(7, 0, 0, c)}},
        {"sloped, entering at the left", line(-2, 0, 2, 4), {set_px(0, 3, c), set_px(1, 4, c)}},
    });
}

TEST(Lines, PositionFollowsAndPenIsReadAsIs) {
    recording_dc rec(100, 50);
    dc_t *d = rec.dc();
    d->pen_color = color_t{10, 20, 30, 0};  // alpha 0 still draws
    zr_move_to(d, 98, 48);
    zr_line_to(d, 100000, 48 + 99902);  // an exact diagonal far outside
    EXPECT_TRUE(d->coor_x == 100000 && d->coor_y == 99950);
    EXPECT_EQ(rec.calls, (std::vector<slot_call>{set_px(98, 48, d->pen_color), set_px(98, 49, d->pen_color)}));
    zr_line_to(d, 0, 0);  // a polyline continues from there, outside
    EXPECT_TRUE(d->coor_x == 0 && d->coor_y == 0 && rec.violations == 0);
}

// A clipped line walks only its visible part: the pixels and their order are
// those of the whole walk with the outside points left out, and the whole
// walk is a chain of neighbours that ends next to the end point.
TEST(Lines, ClippedLinesWalkOnlyTheirVisiblePart) {
    using point = std::pair<int, int>;
    const int w = 64, h = 48;
    auto whole = [&](int x1, int y1, int x2, int y2) {
        std::vector<point> out;
        point last{x1, y1};
        bool chained = true;
        zr::walk_sloped_line(x1, y1, x2, y2, [&](int x, int y) {
            chained = chained && std::abs(x - last.first) <= 1 && std::abs(y - last.second) <= 1;
            last = {x, y};
            if (x >= 0 && x < w && y >= 0 && y < h) out.emplace_back(x, y);
        });
        EXPECT_TRUE(chained && std::abs(x2 - last.first) <= 1 && std::abs(y2 - last.second) <= 1);
        return out;
    };
    auto visible = [&](int x1, int y1, int x2, int y2) {
        std::vector<point> out;
        zr::walk_sloped_line_visible(x1, y1, x2, y2, w, h, [&](int x, int y) {
            EXPECT_TRUE(x >= 0 && x < w && y >= 0 && y < h) << x << ',' << y;
            out.emplace_back(x, y);
        });
        return out;
    };
    // One end near the DC, the other up to 200000 pixels away in any
    // direction, so that most lines cross the DC at some slope.
    std::mt19937 rng(4711);
    std::uniform_int_distribution<int> near(-40, 100), far(-200000, 200000), small(-3, 3);
    int crossing = 0;
    for (int i = 0; i < 600; ++i) {
        int x1 = near(rng), y1 = near(rng), x2 = far(rng), y2 = far(rng);
        if (i % 3 == 1) y2 = y1 + small(rng) * 7;  // nearly horizontal
        if (i % 3 == 2) x2 = x1 + small(rng) * 5;  // nearly vertical
        if (i % 2) std::swap(x1, x2), std::swap(y1, y2);
        if (x1 == x2 || y1 == y2) continue;
        const auto expected = whole(x1, y1, x2, y2);
        crossing += !expected.empty();
        ASSERT_EQ(visible(x1, y1, x2, y2), expected) << x1 << ',' << y1 << " -> " << x2 << ',' << y2;
    }
    EXPECT_GT(crossing, 150);

    // INT_MIN .. INT_MAX climbs its one row at x = -1, so row 1 is full; the
    // same upright, and walked the other way it drops at x = 0.
    recording_dc rec(16, 16);
    rec.dc()->pen_color = red;
    const auto calls = [&](int x1, int y1, int x2, int y2) {
        rec.calls.clear();
        zr_line(rec.dc(), x1, y1, x2, y2);
        return rec.calls;
    };
    std::vector<slot_call> row, column;
    for (int i = 0; i < 16; ++i) row.push_back(set_px(i, 1, red)), column.push_back(set_px(1, i, red));
    EXPECT_EQ(calls(INT_MIN, 0, INT_MAX, 1), row);
    EXPECT_EQ(calls(0, INT_MIN, 1, INT_MAX), column);
    std::vector<slot_call> back(row.rbegin(), row.rend() - 1);
    back.push_back(set_px(0, 0, red));
    EXPECT_EQ(calls(INT_MAX, 1, INT_MIN, 0), back);
    EXPECT_EQ(rec.violations, 0);
}

}  // namespace
