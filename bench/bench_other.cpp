// Calls without a peer, on an 800x480 screen of 16 or 32 bits: inverting the
// whole frame, quarter turns of a full-frame buffer, and zr_set_pixel over
// every pixel. memcpy or memset of the frame's bytes gives the scale.
#include "bench_cases.hpp"
#include "bench_support.hpp"

#include <cstring>
#include <utility>
#include <vector>

namespace zr_bench {
namespace {

constexpr int screen_width = 800, screen_height = 480;
constexpr color_t dot_colour{0xC0, 0x80, 0x40, 255};

using other_column = void (*)(benchmark::State &, dc_t *screen);

void invrectangle_column(benchmark::State &state, dc_t *screen) {
    timed(state, screen->dots,
          [=] { zr_invrectangle(screen, 0, 0, screen->width - 1, screen->height - 1); });
}

// A buffer as tall as the screen is wide, so that the turned copy covers the screen.
template <void (*turn)(dc_t *, dc_t *)>
void turn_column(benchmark::State &state, dc_t *screen) {
    dc_ptr src = make_buffer(screen->height, screen->width);
    if (!src) return state.SkipWithError("no buffer DC");
    timed(state, screen->dots, [s = src.get(), screen] { turn(screen, s); });
}

void set_pixel_column(benchmark::State &state, dc_t *screen) {
    timed(state, screen->dots, [=] {
        for (int y = 0; y < screen->height; ++y)
            for (int x = 0; x < screen->width; ++x) zr_set_pixel(screen, x, y, dot_colour);
    });
}

void memcpy_column(benchmark::State &state, dc_t *screen) {
    std::vector<unsigned char> from(static_cast<std::size_t>(screen->bytes), 0x5A);
    timed(state, screen->dots, [&] { std::memcpy(screen->mapped, from.data(), from.size()); });
}

void memset_column(benchmark::State &state, dc_t *screen) {
    timed(state, screen->dots,
          [=] { std::memset(screen->mapped, 0x5A, static_cast<std::size_t>(screen->bytes)); });
}

}  // namespace

void register_other_cases() {
    const struct {
        const char *row;
        const char *zr_call;
        other_column zr;
        const char *limit_name;
        other_column limit;
    } rows[] = {
        {"invrectangle", "zr_invrectangle", invrectangle_column, "memcpy", memcpy_column},
        {"bitblt90", "zr_bitblt90", turn_column<zr_bitblt90>, "memcpy", memcpy_column},
        {"bitblt270", "zr_bitblt270", turn_column<zr_bitblt270>, "memcpy", memcpy_column},
        {"set-pixel", "zr_set_pixel", set_pixel_column, "memset", memset_column},
    };
    for (int bits : {16, 32})
        for (const auto &r : rows) {
            const std::string row = std::string("other/") + r.row + "-" + std::to_string(bits) + "bit-" +
                                    size_name(screen_width, screen_height);
            for (const auto &[name, column] : {std::pair{r.zr_call, r.zr}, std::pair{r.limit_name, r.limit}})
                add(row + "/" + name, [bits, run = column](benchmark::State &state) {
                    dc_t *screen = open_screen(screen_width, screen_height, bits);
                    if (screen == nullptr) return state.SkipWithError("the virtual framebuffer did not open");
                    run(state, screen);
                });
        }
}

}  // namespace zr_bench
