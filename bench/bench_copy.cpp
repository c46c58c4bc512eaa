// A full-frame buffer DC shown on the screen: zr_bitblt's row copy and
// zr_to_screen_dc, beside memcpy, pixman_blt and SDL_BlitSurface.
#include "bench_cases.hpp"
#include "peers.hpp"

#include <cstring>
#include <utility>

namespace zr_bench {
namespace {

struct copy_target {
    int width, height, bits;
};

using copy_column = void (*)(benchmark::State &, dc_t *screen, dc_t *buffer);

void zr_bitblt_column(benchmark::State &state, dc_t *screen, dc_t *buffer) {
    timed(state, screen->dots,
          [=] { zr_bitblt(screen, 0, 0, buffer, 0, 0, buffer->width, buffer->height); });
}

void zr_to_screen_dc_column(benchmark::State &state, dc_t *screen, dc_t *buffer) {
    timed(state, screen->dots, [=] { zr_to_screen_dc(screen, buffer); });
}

void memcpy_column(benchmark::State &state, dc_t *screen, dc_t *buffer) {
    timed(state, screen->dots, [=] {
        std::memcpy(screen->mapped, buffer->mapped, static_cast<std::size_t>(screen->bytes));
    });
}

#if ZR_BENCH_PIXMAN
void pixman_blt_column(benchmark::State &state, dc_t *screen, dc_t *buffer) {
    auto *src = reinterpret_cast<std::uint32_t *>(buffer->mapped);
    auto *dst = reinterpret_cast<std::uint32_t *>(screen->mapped);
    const int bpp = screen->bits_per_pixel;
    // Strides in 32-bit words.
    const int src_stride = buffer->bytes_per_line / 4, dst_stride = screen->bytes_per_line / 4;
    timed(state, screen->dots, [=] {
        pixman_blt(src, dst, src_stride, dst_stride, bpp, bpp, 0, 0, 0, 0, screen->width,
                   screen->height);
    });
}
#endif

#if ZR_BENCH_SDL
void sdl_blit_column(benchmark::State &state, dc_t *screen, dc_t *buffer) {
    surface_ptr dst = sdl_view(screen), src = sdl_view(buffer);
    if (!dst || !src) return state.SkipWithError(SDL_GetError());
    SDL_SetSurfaceBlendMode(src.get(), SDL_BLENDMODE_NONE);
    timed(state, screen->dots, [s = src.get(), d = dst.get()] {
        SDL_Rect where{0, 0, s->w, s->h};
        SDL_BlitSurface(s, nullptr, d, &where);
    });
}
#endif

void run_on(benchmark::State &state, copy_target t, copy_column column) {
    dc_t *screen = open_screen(t.width, t.height, t.bits);
    if (screen == nullptr) return state.SkipWithError("the virtual framebuffer did not open");
    dc_ptr buffer = make_buffer(-1, -1);
    if (!buffer) return state.SkipWithError("no buffer DC");
    column(state, screen, buffer.get());
}

}  // namespace

void register_copy_cases() {
    struct named_column {
        const char *name;
        copy_column run;
        bool peer;
    };
    const named_column columns[] = {
        {"zr_bitblt", zr_bitblt_column, false},
        {"zr_to_screen_dc", zr_to_screen_dc_column, false},
        {"memcpy", memcpy_column, false},
#if ZR_BENCH_PIXMAN
        {"pixman_blt", pixman_blt_column, true},
#endif
#if ZR_BENCH_SDL
        {"SDL_BlitSurface", sdl_blit_column, true},
#endif
    };
    for (const auto &[width, height] : {std::pair{800, 480}, std::pair{1920, 1080}})
        for (int bits : {16, 32}) {
            const copy_target t{width, height, bits};
            const std::string row = "copy/buffer-to-screen-" + std::to_string(bits) + "bit-" +
                                    size_name(width, height);
            for (const named_column &c : columns) {
                if (c.peer && !peers_match_layout) continue;
                add(row + "/" + c.name, [t, run = c.run](benchmark::State &s) { run_on(s, t, run); });
            }
        }
}

}  // namespace zr_bench
