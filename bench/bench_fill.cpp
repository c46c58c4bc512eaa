// Full-frame clear and filled rectangle on screen and buffer DCs, beside
// memset, pixman_fill and SDL_FillRect over the same bytes.
#include "bench_cases.hpp"
#include "peers.hpp"

#include <cstring>
#include <utility>

namespace zr_bench {
namespace {

constexpr color_t fill_colour{0x12, 0x34, 0x56, 255};
constexpr color_t no_pen{0, 0, 0, 0};

struct fill_target {
    int width, height, bits;
    bool on_screen;  // otherwise a buffer DC of the screen's size
};

using fill_column = void (*)(benchmark::State &, dc_t *);

void zr_clear_column(benchmark::State &state, dc_t *dc) {
    timed(state, dc->dots, [dc] { zr_clear(dc, fill_colour); });
}

void zr_rectangle_column(benchmark::State &state, dc_t *dc) {
    zr_pen_color(dc, no_pen);
    zr_brush_color(dc, fill_colour);
    const int right = dc->width - 1, bottom = dc->height - 1;
    timed(state, dc->dots, [=] { zr_rectangle(dc, 0, 0, right, bottom); });
}

void memset_column(benchmark::State &state, dc_t *dc) {
    timed(state, dc->dots,
          [dc] { std::memset(dc->mapped, 0x5A, static_cast<std::size_t>(dc->bytes)); });
}

#if ZR_BENCH_PIXMAN
void pixman_fill_column(benchmark::State &state, dc_t *dc) {
    auto *bits = reinterpret_cast<std::uint32_t *>(dc->mapped);
    const int stride = dc->bytes_per_line / 4;  // in 32-bit words
    const std::uint32_t value = device_pixel(fill_colour, dc->bits_per_pixel);
    timed(state, dc->dots, [=] {
        pixman_fill(bits, stride, dc->bits_per_pixel, 0, 0, dc->width, dc->height, value);
    });
}
#endif

#if ZR_BENCH_SDL
void sdl_fill_rect_column(benchmark::State &state, dc_t *dc) {
    surface_ptr surface = sdl_view(dc);
    if (!surface) return state.SkipWithError(SDL_GetError());
    const std::uint32_t value = device_pixel(fill_colour, dc->bits_per_pixel);
    SDL_Surface *s = surface.get();
    timed(state, dc->dots, [=] { SDL_FillRect(s, nullptr, value); });
}
#endif

void run_on(benchmark::State &state, fill_target t, fill_column column) {
    dc_t *screen = open_screen(t.width, t.height, t.bits);
    if (screen == nullptr) return state.SkipWithError("the virtual framebuffer did not open");
    dc_ptr buffer(nullptr, zr_release_dc);
    if (!t.on_screen) {
        buffer = make_buffer(-1, -1);
        if (!buffer) return state.SkipWithError("no buffer DC");
    }
    column(state, t.on_screen ? screen : buffer.get());
}

}  // namespace

void register_fill_cases() {
    struct named_column {
        const char *name;
        fill_column run;
        bool peer;
    };
    const named_column columns[] = {
        {"zr_clear", zr_clear_column, false},
        {"zr_rectangle", zr_rectangle_column, false},
        {"memset", memset_column, false},
#if ZR_BENCH_PIXMAN
        {"pixman_fill", pixman_fill_column, true},
#endif
#if ZR_BENCH_SDL
        {"SDL_FillRect", sdl_fill_rect_column, true},
#endif
    };
    for (const auto &[width, height] : {std::pair{800, 480}, std::pair{1920, 1080}})
        for (int bits : {16, 32})
            for (bool on_screen : {true, false}) {
                const fill_target t{width, height, bits, on_screen};
                const std::string row = std::string("fill/") + (on_screen ? "screen" : "buffer") +
                                        "-" + std::to_string(bits) + "bit-" + size_name(width, height);
                for (const named_column &c : columns) {
                    if (c.peer && !peers_match_layout) continue;
                    add(row + "/" + c.name, [t, run = c.run](benchmark::State &s) { run_on(s, t, run); });
                }
            }
}

}  // namespace zr_bench
