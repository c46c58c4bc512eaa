// Smooth (anti-aliased) shapes on an 800x480 screen of 16 (5-6-5) and 32
// bits, by zr and, over the same memory, by cairo (an image surface of the
// same format, CAIRO_ANTIALIAS_DEFAULT) and AGG (scanline_aa, the same pixel
// format). Each row is one shape at one size: a fixed-seed list of that
// shape at random places, colours and angles, the same list for every
// column; one iteration draws the whole list. Both peers draw the same
// geometry: pixel centres at +0.5, a 1-pixel pen outlining the filled shapes,
// butt caps.
//
// With ZR_BENCH_PICTURES=DIR in the environment, the run first writes
// DIR/smooth-SHAPE.png for each shape: zr, cairo and AGG side by side.
#include "bench_cases.hpp"
#include "peers.hpp"

#if ZR_BENCH_CAIRO
#include <cairo.h>
#endif
#if ZR_BENCH_AGG
#include <agg_arc.h>
#include <agg_conv_stroke.h>
#include <agg_ellipse.h>
#include <agg_gradient_lut.h>
#include <agg_path_storage.h>
#include <agg_pixfmt_rgb.h>
#include <agg_pixfmt_rgb_packed.h>
#include <agg_rasterizer_scanline_aa.h>
#include <agg_renderer_base.h>
#include <agg_renderer_scanline.h>
#include <agg_rounded_rect.h>
#include <agg_scanline_u.h>
#include <agg_span_allocator.h>
#include <agg_span_gradient.h>
#include <agg_span_interpolator_linear.h>
#endif

#include <cmath>
#include <cstdlib>
#include <numbers>
#include <string>
#include <vector>

namespace zr_bench {
namespace {

constexpr int screen_width = 800, screen_height = 480;
constexpr double pi = std::numbers::pi;

enum class kind { line1, line5, circle, round_rect, arc, star, gradient };
struct shape_case {
    kind k;
    const char *name, *zr_call;
};
constexpr shape_case shapes[] = {
    {kind::line1, "line-1px", "zr_line"},        {kind::line5, "line-5px", "zr_line"},
    {kind::circle, "circle", "zr_circle"},       {kind::round_rect, "round-rect", "zr_round_rectangle"},
    {kind::arc, "arc-3px", "zr_arc"},            {kind::star, "star-20", "zr_polygon"},
    {kind::gradient, "gradient", "zr_circle"},
};
// Sizes in pixels (0: the whole screen) and how many shapes a list holds.
struct size_case {
    int size, count;
};
constexpr size_case sizes[] = {{8, 1000}, {32, 300}, {256, 30}, {0, 3}};

// One shape: centre, size (the diameter or the line's length), a direction
// in radians, pen and brush.
struct shape {
    int cx, cy, size;
    double angle;
    color_t pen, brush;
};

const std::vector<shape> &list_of(int size, int count) {
    static std::vector<shape> lists[4];
    std::vector<shape> &list = lists[size == 0 ? 3 : size == 8 ? 0 : size == 32 ? 1 : 2];
    if (!list.empty()) return list;
    rng r(0x5400774 + static_cast<std::uint64_t>(size));
    const auto colour = [&] {
        const std::uint32_t v = r.next();
        return color_t{static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                       static_cast<unsigned char>(v >> 16), 255};
    };
    for (int i = 0; i < count; ++i) {
        shape s{};
        if (size == 0) {
            s = {screen_width / 2 + r.uniform(-3, 3), screen_height / 2 + r.uniform(-3, 3), screen_height, 0, {}, {}};
        } else {
            s = {r.uniform(size / 2, screen_width - size / 2 - 1), r.uniform(size / 2, screen_height - size / 2 - 1),
                 size, 0, {}, {}};
        }
        s.angle = r.uniform(0, 3599) * pi / 1800;
        s.pen = colour();
        s.brush = colour();
        list.push_back(s);
    }
    return list;
}

// The end points of a line shape: the whole screen's diagonal for size 0.
struct line_ends {
    int x1, y1, x2, y2;
};
line_ends ends_of(const shape &s, bool full) {
    if (full) return {3, 5 + static_cast<int>(s.angle), screen_width - 4, screen_height - 7};
    const double h = s.size / 2.0;
    return {s.cx - static_cast<int>(std::lround(h * std::cos(s.angle))),
            s.cy - static_cast<int>(std::lround(h * std::sin(s.angle))),
            s.cx + static_cast<int>(std::lround(h * std::cos(s.angle))),
            s.cy + static_cast<int>(std::lround(h * std::sin(s.angle)))};
}

// A rounded rectangle's corners: the screen less a margin for size 0.
struct corners {
    int x1, y1, x2, y2, radius;
};
corners box_of(const shape &s, bool full) {
    if (full) return {2, 2, screen_width - 3, screen_height - 3, 40};
    const int h = s.size / 2;
    return {s.cx - h, s.cy - h * 3 / 4, s.cx + h - 1, s.cy + h * 3 / 4 - 1, std::max(1, s.size / 8)};
}

// The 20 points of a star, its tips on the circle of the shape's size.
std::vector<zr_point_t> star_of(const shape &s) {
    std::vector<zr_point_t> p;
    for (int i = 0; i < 20; ++i) {
        const double r = (i % 2 == 0 ? 0.5 : 0.2) * s.size, t = s.angle + i * pi / 10;
        p.push_back({s.cx + static_cast<int>(std::lround(r * std::cos(t))),
                     s.cy + static_cast<int>(std::lround(r * std::sin(t)))});
    }
    return p;
}

struct stop {
    double at;
    color_t c;
};
constexpr stop gradient_stops[] = {{0, {230, 40, 20, 255}}, {0.5, {250, 220, 40, 255}}, {1, {30, 60, 200, 255}}};

int arc_start(const shape &s) { return static_cast<int>(s.angle * 180 / pi); }

// ---- zr

void zr_setup(dc_t *dc, kind k) {
    zr_antialias(dc, 1);
    zr_pen_width(dc, k == kind::line5 ? 5 : k == kind::arc ? 3 : 1);
    zr_pen_cap(dc, ZR_CAP_BUTT);
    zr_brush_gradient(dc, ZR_GRADIENT_NONE, 0, 0, 0, 0, nullptr, 0);
}

void zr_draw(dc_t *dc, kind k, const shape &s, bool full) {
    dc->pen_color = s.pen;
    dc->brush_color = s.brush;
    const int r = s.size / 2;
    switch (k) {
        case kind::line1:
        case kind::line5: {
            const line_ends e = ends_of(s, full);
            zr_line(dc, e.x1, e.y1, e.x2, e.y2);
            break;
        }
        case kind::circle: zr_circle(dc, s.cx, s.cy, r); break;
        case kind::round_rect: {
            const corners b = box_of(s, full);
            zr_round_rectangle(dc, b.x1, b.y1, b.x2, b.y2, b.radius);
            break;
        }
        case kind::arc: zr_arc(dc, s.cx, s.cy, r - 2, arc_start(s), arc_start(s) + 270); break;
        case kind::star: {
            dc->pen_color.alpha = 0;
            const std::vector<zr_point_t> p = star_of(s);
            zr_polygon(dc, p.data(), static_cast<int>(p.size()));
            break;
        }
        case kind::gradient: {
            zr_gradient_stop_t st[3];
            for (int i = 0; i < 3; ++i) st[i] = {static_cast<int>(gradient_stops[i].at * 255), gradient_stops[i].c};
            zr_brush_gradient(dc, ZR_GRADIENT_LINEAR, s.cx - r, s.cy - r, s.cx + r, s.cy + r, st, 3);
            dc->pen_color.alpha = 0;
            zr_circle(dc, s.cx, s.cy, r);
            break;
        }
    }
}

#if ZR_BENCH_CAIRO
// ---- cairo

struct cairo_view {
    cairo_surface_t *surface;
    cairo_t *cr;
    cairo_view(unsigned char *pixels, int width, int height, int stride, int bits)
        : surface(cairo_image_surface_create_for_data(pixels, bits == 16 ? CAIRO_FORMAT_RGB16_565 : CAIRO_FORMAT_RGB24,
                                                      width, height, stride)),
          cr(cairo_create(surface)) {}
    ~cairo_view() {
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
    }
};

void cairo_colour(cairo_t *cr, color_t c) { cairo_set_source_rgb(cr, c.red / 255.0, c.green / 255.0, c.blue / 255.0); }

void cairo_round_rect(cairo_t *cr, double l, double t, double r, double b, double rad) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, r - rad, t + rad, rad, -pi / 2, 0);
    cairo_arc(cr, r - rad, b - rad, rad, 0, pi / 2);
    cairo_arc(cr, l + rad, b - rad, rad, pi / 2, pi);
    cairo_arc(cr, l + rad, t + rad, rad, pi, 3 * pi / 2);
    cairo_close_path(cr);
}

// The path filled with the shape's brush, then outlined with its pen.
void cairo_fill_and_stroke(cairo_t *cr, const shape &s) {
    cairo_colour(cr, s.brush);
    cairo_fill_preserve(cr);
    cairo_colour(cr, s.pen);
    cairo_stroke(cr);
}

void cairo_draw(cairo_t *cr, kind k, const shape &s, bool full) {
    const double cx = s.cx + 0.5, cy = s.cy + 0.5, r = s.size / 2;
    cairo_set_line_width(cr, k == kind::line5 ? 5 : k == kind::arc ? 3 : 1);
    switch (k) {
        case kind::line1:
        case kind::line5: {
            const line_ends e = ends_of(s, full);
            cairo_move_to(cr, e.x1 + 0.5, e.y1 + 0.5);
            cairo_line_to(cr, e.x2 + 0.5, e.y2 + 0.5);
            cairo_colour(cr, s.pen);
            cairo_stroke(cr);
            break;
        }
        case kind::circle:
            cairo_arc(cr, cx, cy, r, 0, 2 * pi);
            cairo_fill_and_stroke(cr, s);
            break;
        case kind::round_rect: {
            const corners b = box_of(s, full);
            cairo_round_rect(cr, b.x1 + 0.5, b.y1 + 0.5, b.x2 + 0.5, b.y2 + 0.5, b.radius);
            cairo_fill_and_stroke(cr, s);
            break;
        }
        case kind::arc: {
            const double t0 = arc_start(s) * pi / 180;
            cairo_new_sub_path(cr);
            cairo_arc(cr, cx, cy, r - 2, t0, t0 + 1.5 * pi);
            cairo_colour(cr, s.pen);
            cairo_stroke(cr);
            break;
        }
        case kind::star: {
            for (const zr_point_t &p : star_of(s)) cairo_line_to(cr, p.x + 0.5, p.y + 0.5);
            cairo_close_path(cr);
            cairo_colour(cr, s.brush);
            cairo_fill(cr);
            break;
        }
        case kind::gradient: {
            cairo_pattern_t *g = cairo_pattern_create_linear(s.cx - r + 0.5, s.cy - r + 0.5, s.cx + r + 0.5, s.cy + r + 0.5);
            for (const stop &st : gradient_stops)
                cairo_pattern_add_color_stop_rgb(g, st.at, st.c.red / 255.0, st.c.green / 255.0, st.c.blue / 255.0);
            cairo_arc(cr, cx, cy, r, 0, 2 * pi);
            cairo_set_source(cr, g);
            cairo_fill(cr);
            cairo_pattern_destroy(g);
            break;
        }
    }
}
#endif

#if ZR_BENCH_AGG
// ---- AGG

template <class PixFmt>
struct agg_view {
    agg::rendering_buffer buffer;
    PixFmt pixels;
    agg::renderer_base<PixFmt> base;
    agg::renderer_scanline_aa_solid<agg::renderer_base<PixFmt>> solid;
    agg::rasterizer_scanline_aa<> ras;
    agg::scanline_u8 sl;
    agg::span_allocator<agg::rgba8> spans;
    agg::gradient_lut<agg::color_interpolator<agg::rgba8>, 256> lut;
    agg_view(unsigned char *p, int width, int height, int stride)
        : buffer(p, static_cast<unsigned>(width), static_cast<unsigned>(height), stride), pixels(buffer), base(pixels),
          solid(base) {
        lut.remove_all();
        for (const stop &st : gradient_stops) lut.add_color(st.at, agg::rgba8(st.c.red, st.c.green, st.c.blue));
        lut.build_lut();
    }
    template <class Source>
    void fill(Source &src, color_t c) {
        ras.reset();
        ras.add_path(src);
        solid.color(agg::rgba8(c.red, c.green, c.blue));
        agg::render_scanlines(ras, sl, solid);
    }
    template <class Source>
    void stroke(Source &src, double width, color_t c) {
        agg::conv_stroke<Source> line(src);
        line.width(width);
        fill(line, c);
    }
};

template <class View>
void agg_draw(View &v, kind k, const shape &s, bool full) {
    const double cx = s.cx + 0.5, cy = s.cy + 0.5, r = s.size / 2;
    switch (k) {
        case kind::line1:
        case kind::line5: {
            const line_ends e = ends_of(s, full);
            agg::path_storage p;
            p.move_to(e.x1 + 0.5, e.y1 + 0.5);
            p.line_to(e.x2 + 0.5, e.y2 + 0.5);
            v.stroke(p, k == kind::line5 ? 5 : 1, s.pen);
            break;
        }
        case kind::circle: {
            agg::ellipse e(cx, cy, r, r);
            v.fill(e, s.brush);
            v.stroke(e, 1, s.pen);
            break;
        }
        case kind::round_rect: {
            const corners b = box_of(s, full);
            agg::rounded_rect rr(b.x1 + 0.5, b.y1 + 0.5, b.x2 + 0.5, b.y2 + 0.5, b.radius);
            rr.normalize_radius();
            v.fill(rr, s.brush);
            v.stroke(rr, 1, s.pen);
            break;
        }
        case kind::arc: {
            const double t0 = arc_start(s) * pi / 180;
            agg::arc a(cx, cy, r - 2, r - 2, t0, t0 + 1.5 * pi, true);
            v.stroke(a, 3, s.pen);
            break;
        }
        case kind::star: {
            agg::path_storage p;
            const std::vector<zr_point_t> star = star_of(s);
            p.move_to(star[0].x + 0.5, star[0].y + 0.5);
            for (std::size_t i = 1; i < star.size(); ++i) p.line_to(star[i].x + 0.5, star[i].y + 0.5);
            p.close_polygon();
            v.fill(p, s.brush);
            break;
        }
        case kind::gradient: {
            // gradient_x over 0 .. 100 along the diagonal of the circle's box.
            agg::trans_affine m = agg::trans_affine_scaling(r * 2 * std::sqrt(2.0) / 100) *
                                  agg::trans_affine_rotation(pi / 4) *
                                  agg::trans_affine_translation(s.cx - r + 0.5, s.cy - r + 0.5);
            m.invert();
            agg::span_interpolator_linear<> inter(m);
            agg::gradient_x along;
            agg::span_gradient<agg::rgba8, agg::span_interpolator_linear<>, agg::gradient_x, decltype(v.lut)> gen(
                inter, along, v.lut, 0, 100);
            agg::ellipse e(cx, cy, r, r);
            v.ras.reset();
            v.ras.add_path(e);
            agg::render_scanlines_aa(v.ras, v.sl, v.base, v.spans, gen);
            break;
        }
    }
}
#endif

// ---- cases

struct row_case {
    shape_case s;
    size_case z;
    int bits;
    std::string row() const {
        return std::string(s.name) + "-" + (z.size == 0 ? std::string("full") : std::to_string(z.size) + "px") + "-" +
               std::to_string(bits) + "bit";
    }
};

void clear(dc_t *dc) { zr_clear(dc, color_t{16, 16, 24, 255}); }

void add_row(const row_case &c) {
    const std::string name = "smooth/" + c.row() + "/";
    add(name + c.s.zr_call, [c](benchmark::State &state) {
        dc_t *dc = open_screen(screen_width, screen_height, c.bits);
        if (dc == nullptr) return state.SkipWithError("the virtual framebuffer did not open");
        const std::vector<shape> &list = list_of(c.z.size, c.z.count);
        clear(dc);
        zr_setup(dc, c.s.k);
        timed(state, c.z.count, [&] {
            for (const shape &s : list) zr_draw(dc, c.s.k, s, c.z.size == 0);
        });
        zr_antialias(dc, 0);
        zr_pen_width(dc, 1);
    });
    if (!peers_match_layout) return;
#if ZR_BENCH_CAIRO
    add(name + "cairo", [c](benchmark::State &state) {
        dc_t *dc = open_screen(screen_width, screen_height, c.bits);
        if (dc == nullptr) return state.SkipWithError("the virtual framebuffer did not open");
        const std::vector<shape> &list = list_of(c.z.size, c.z.count);
        clear(dc);
        cairo_view v(dc->mapped, dc->width, dc->height, dc->bytes_per_line, c.bits);
        timed(state, c.z.count, [&] {
            for (const shape &s : list) cairo_draw(v.cr, c.s.k, s, c.z.size == 0);
            cairo_surface_flush(v.surface);
        });
    });
#endif
#if ZR_BENCH_AGG
    add(name + "AGG", [c](benchmark::State &state) {
        dc_t *dc = open_screen(screen_width, screen_height, c.bits);
        if (dc == nullptr) return state.SkipWithError("the virtual framebuffer did not open");
        const std::vector<shape> &list = list_of(c.z.size, c.z.count);
        clear(dc);
        const auto run = [&](auto &v) {
            timed(state, c.z.count, [&] {
                for (const shape &s : list) agg_draw(v, c.s.k, s, c.z.size == 0);
            });
        };
        if (c.bits == 16) {
            agg_view<agg::pixfmt_rgb565> v(dc->mapped, dc->width, dc->height, dc->bytes_per_line);
            run(v);
        } else {
            agg_view<agg::pixfmt_bgrx32> v(dc->mapped, dc->width, dc->height, dc->bytes_per_line);
            run(v);
        }
    });
#endif
}

// Each shape at 256 pixels, drawn by zr, cairo and AGG side by side on a
// 32-bit screen, written as DIR/smooth-SHAPE.png.
void save_pictures(const std::string &dir) {
    constexpr int panel = 280;
    dc_t *dc = open_screen(3 * panel, panel, 32);
    if (dc == nullptr) return;
    for (const shape_case &sc : shapes) {
        clear(dc);
        const shape s{panel / 2, panel / 2, 256, 0.35, {250, 250, 250, 255}, {40, 120, 230, 255}};
        zr_setup(dc, sc.k);
        zr_draw(dc, sc.k, s, false);
        zr_antialias(dc, 0);
        zr_pen_width(dc, 1);
        [[maybe_unused]] const int stride = dc->bytes_per_line;
        [[maybe_unused]] shape moved = s;
#if ZR_BENCH_CAIRO
        {
            cairo_view v(dc->mapped + panel * 4, panel, panel, stride, 32);
            cairo_draw(v.cr, sc.k, moved, false);
            cairo_surface_flush(v.surface);
        }
#endif
#if ZR_BENCH_AGG
        {
            agg_view<agg::pixfmt_bgrx32> v(dc->mapped + 2 * panel * 4, panel, panel, stride);
            agg_draw(v, sc.k, moved, false);
        }
#endif
        zr_image_save_png(dc, (dir + "/smooth-" + sc.name + ".png").c_str());
    }
    close_screen();
}

}  // namespace

void register_smooth_cases() {
    if (const char *dir = std::getenv("ZR_BENCH_PICTURES"); dir != nullptr && *dir != '\0') save_pictures(dir);
    for (const int bits : {16, 32})
        for (const shape_case &s : shapes)
            for (const size_case &z : sizes) add_row({s, z, bits});
}

}  // namespace zr_bench
