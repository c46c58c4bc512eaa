// The peer libraries, each present only when the build found it
// (ZR_BENCH_PIXMAN, ZR_BENCH_SDL, ZR_BENCH_SDL_GFX, ZR_BENCH_SDL_TTF,
// ZR_BENCH_SDL_IMAGE, ZR_BENCH_STB are 0 or 1),
// and views of the library's DCs in their terms: the same memory, the same
// bytes, described as a pixman image or an SDL surface.
#pragma once

#include "bench_support.hpp"

#if ZR_BENCH_PIXMAN
#include <pixman.h>
#endif
#if ZR_BENCH_SDL
#define SDL_MAIN_HANDLED
#include <SDL.h>
#endif
#if ZR_BENCH_SDL_GFX
#include <SDL2_gfxPrimitives.h>
#endif
#if ZR_BENCH_SDL_TTF
#include <SDL_ttf.h>
#endif
#if ZR_BENCH_SDL_IMAGE
#include <SDL_image.h>
#endif
#if ZR_BENCH_STB
#include <stb/stb_image.h>
#endif
#if ZR_BENCH_CAIRO
#include <cairo.h>
#endif

#include <memory>

namespace zr_bench {

#if ZR_BENCH_PIXMAN
using pixman_ptr = std::unique_ptr<pixman_image_t, pixman_bool_t (*)(pixman_image_t *)>;

// A screen or buffer DC (16 bits 5-6-5, or 32 bits x-r-g-b) as a pixman image.
inline pixman_ptr pixman_view(dc_t *dc) {
    const pixman_format_code_t format = dc->bits_per_pixel == 16 ? PIXMAN_r5g6b5 : PIXMAN_x8r8g8b8;
    return {pixman_image_create_bits(format, dc->width, dc->height,
                                     reinterpret_cast<std::uint32_t *>(dc->mapped), dc->bytes_per_line),
            pixman_image_unref};
}
#endif

#if ZR_BENCH_SDL
using surface_ptr = std::unique_ptr<SDL_Surface, void (*)(SDL_Surface *)>;

// A screen or buffer DC (16 bits 5-6-5, or 32 bits x-r-g-b) as an SDL surface.
inline surface_ptr sdl_view(dc_t *dc) {
    const Uint32 format = dc->bits_per_pixel == 16 ? SDL_PIXELFORMAT_RGB565 : SDL_PIXELFORMAT_RGB888;
    return {SDL_CreateRGBSurfaceWithFormatFrom(dc->mapped, dc->width, dc->height, dc->bits_per_pixel,
                                               dc->bytes_per_line, format),
            SDL_FreeSurface};
}
#endif

}  // namespace zr_bench
