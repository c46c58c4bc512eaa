// Primitives on an 800x480, 32-bit screen: fixed-seed lists of lines,
// circles, ellipses and rectangles drawn by zr and by SDL2_gfx on a software
// renderer over the same memory. One iteration draws the whole list.
#include "bench_cases.hpp"
#include "peers.hpp"

#include <vector>

namespace zr_bench {
namespace {

constexpr int screen_width = 800, screen_height = 480, screen_bits = 32;
constexpr color_t off{0, 0, 0, 0};  // alpha 0 switches a pen or brush off

enum class list_kind { lines, filled_circles, outlined_circles, filled_ellipses, rect_pen, rect_brush, rect_both };

struct shape {
    int x1, y1, x2, y2;  // corners or end points; circles and ellipses: centre, radii in x2, y2
    color_t pen, brush;
};

color_t random_colour(rng &r) {
    const std::uint32_t v = r.next();
    return color_t{static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                   static_cast<unsigned char>(v >> 16), 255};
}

// The list for a kind: the same seed, and so the same shapes, for every column.
const std::vector<shape> &shapes_of(list_kind kind, int count) {
    static std::vector<shape> lists[7];
    std::vector<shape> &list = lists[static_cast<int>(kind)];
    if (!list.empty()) return list;
    rng r(0x5EED0100 + static_cast<std::uint64_t>(kind));
    for (int i = 0; i < count; ++i) {
        shape s{};
        s.x1 = r.uniform(0, screen_width - 1);
        s.y1 = r.uniform(0, screen_height - 1);
        switch (kind) {
            case list_kind::filled_circles:
            case list_kind::outlined_circles:
                s.x2 = s.y2 = r.uniform(1, 99);
                break;
            case list_kind::filled_ellipses:
                s.x2 = r.uniform(1, 99);
                s.y2 = r.uniform(1, 99);
                break;
            default:
                s.x2 = r.uniform(0, screen_width - 1);
                s.y2 = r.uniform(0, screen_height - 1);
                break;
        }
        s.pen = random_colour(r);
        s.brush = random_colour(r);
        switch (kind) {
            case list_kind::filled_circles:
            case list_kind::filled_ellipses:
            case list_kind::rect_brush: s.pen = off; break;
            case list_kind::lines:
            case list_kind::outlined_circles:
            case list_kind::rect_pen: s.brush = off; break;
            case list_kind::rect_both: break;
        }
        list.push_back(s);
    }
    return list;
}

void draw_zr(dc_t *dc, list_kind kind, const std::vector<shape> &list) {
    for (const shape &s : list) {
        dc->pen_color = s.pen;
        dc->brush_color = s.brush;
        switch (kind) {
            case list_kind::lines: zr_line(dc, s.x1, s.y1, s.x2, s.y2); break;
            case list_kind::filled_circles:
            case list_kind::outlined_circles: zr_circle(dc, s.x1, s.y1, s.x2); break;
            case list_kind::filled_ellipses: zr_ellipse(dc, s.x1, s.y1, s.x2, s.y2); break;
            case list_kind::rect_pen:
            case list_kind::rect_brush:
            case list_kind::rect_both: zr_rectangle(dc, s.x1, s.y1, s.x2, s.y2); break;
        }
    }
}

#if ZR_BENCH_SDL_GFX
void draw_gfx(SDL_Renderer *r, list_kind kind, const std::vector<shape> &list) {
    for (const shape &s : list) {
        const color_t p = s.pen, b = s.brush;
        const auto x1 = static_cast<Sint16>(s.x1), y1 = static_cast<Sint16>(s.y1);
        const auto x2 = static_cast<Sint16>(s.x2), y2 = static_cast<Sint16>(s.y2);
        switch (kind) {
            case list_kind::lines: lineRGBA(r, x1, y1, x2, y2, p.red, p.green, p.blue, 255); break;
            case list_kind::filled_circles:
                filledCircleRGBA(r, x1, y1, x2, b.red, b.green, b.blue, 255);
                break;
            case list_kind::outlined_circles: circleRGBA(r, x1, y1, x2, p.red, p.green, p.blue, 255); break;
            case list_kind::filled_ellipses:
                filledEllipseRGBA(r, x1, y1, x2, y2, b.red, b.green, b.blue, 255);
                break;
            case list_kind::rect_pen: rectangleRGBA(r, x1, y1, x2, y2, p.red, p.green, p.blue, 255); break;
            case list_kind::rect_brush: boxRGBA(r, x1, y1, x2, y2, b.red, b.green, b.blue, 255); break;
            case list_kind::rect_both:
                boxRGBA(r, x1, y1, x2, y2, b.red, b.green, b.blue, 255);
                rectangleRGBA(r, x1, y1, x2, y2, p.red, p.green, p.blue, 255);
                break;
        }
    }
    SDL_RenderFlush(r);
}
#endif

struct list_case {
    const char *name;
    list_kind kind;
    int count;
    const char *zr_call;
};

constexpr list_case lists[] = {
    {"lines", list_kind::lines, 10000, "zr_line"},
    {"filled-circles", list_kind::filled_circles, 1000, "zr_circle"},
    {"outlined-circles", list_kind::outlined_circles, 1000, "zr_circle"},
    {"filled-ellipses", list_kind::filled_ellipses, 1000, "zr_ellipse"},
    {"rectangles-pen", list_kind::rect_pen, 10000, "zr_rectangle"},
    {"rectangles-brush", list_kind::rect_brush, 10000, "zr_rectangle"},
    {"rectangles-pen-and-brush", list_kind::rect_both, 10000, "zr_rectangle"},
};

}  // namespace

void register_shape_cases() {
    for (const list_case &c : lists) {
        const std::string row = std::string("shapes/") + c.name + "-" + std::to_string(c.count);
        add(row + "/" + c.zr_call, [c](benchmark::State &state) {
            dc_t *screen = open_screen(screen_width, screen_height, screen_bits);
            if (screen == nullptr) return state.SkipWithError("the virtual framebuffer did not open");
            const std::vector<shape> &list = shapes_of(c.kind, c.count);
            timed(state, c.count, [&] { draw_zr(screen, c.kind, list); });
        });
#if ZR_BENCH_SDL_GFX
        if (!peers_match_layout) continue;
        add(row + "/SDL2_gfx", [c](benchmark::State &state) {
            dc_t *screen = open_screen(screen_width, screen_height, screen_bits);
            if (screen == nullptr) return state.SkipWithError("the virtual framebuffer did not open");
            surface_ptr surface = sdl_view(screen);
            if (!surface) return state.SkipWithError(SDL_GetError());
            std::unique_ptr<SDL_Renderer, void (*)(SDL_Renderer *)> renderer(
                SDL_CreateSoftwareRenderer(surface.get()), SDL_DestroyRenderer);
            if (!renderer) return state.SkipWithError(SDL_GetError());
            const std::vector<shape> &list = shapes_of(c.kind, c.count);
            timed(state, c.count, [&] { draw_gfx(renderer.get(), c.kind, list); });
        });
#endif
    }
}

}  // namespace zr_bench
