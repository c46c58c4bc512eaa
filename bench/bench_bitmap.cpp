// A 640x480 bitmap shown on an 800x480 screen of 16 or 32 bits: converting
// copies from 24-bit, 8-bit palette and 32-bit bitmaps, and the alpha blend
// of a 32-bit source of kind DC_TYPE_ALPHA. The palette bitmap is also shown
// whole on a 1920x1080 screen, where its rows no longer fit the caches. Peers: pixman (SRC from the
// bottom-up rows through a negative stride; OVER from a premultiplied copy)
// and SDL_BlitSurface (from a top-down copy, as SDL_LoadBMP would give it).
#include "bench_cases.hpp"
#include "peers.hpp"

#include <cstring>
#include <vector>

// The library's switch for its CPU-extension code (zr_internal.hpp): the
// portable rows are what a CPU without them runs.
namespace zr {
void set_cpu_variants_allowed(bool on);
}

namespace zr_bench {
namespace {

constexpr color_t backdrop{0x40, 0x80, 0xC0, 255};

// The screen and the image of one row: the image sits at the top left.
struct geometry {
    int screen_width, screen_height, image_width, image_height;
};
constexpr geometry small{800, 480, 640, 480};
constexpr geometry full_hd{1920, 1080, 1920, 1080};

bmp_ptr make_source(int bits, const geometry &g) {
    if (bits == 8) return make_bitmap(runs(g.image_width, g.image_height));
    return make_bitmap(photo(g.image_width, g.image_height), bits);
}

using bitmap_column = void (*)(benchmark::State &, dc_t *screen, bmp_t *src);

void zr_copy_column(benchmark::State &state, dc_t *screen, bmp_t *src) {
    dc_t *s = &src->dc;
    const int w = s->width, h = s->height;
    timed(state, std::int64_t{w} * h, [=] { zr_bitblt(screen, 0, 0, s, 0, 0, w, h); });
}

// zr_copy_column with the portable rows only, as on a CPU without AVX2 or
// AVX-512 (the palette rows use AVX-512 byte permutes where the CPU has them).
void zr_portable_column(benchmark::State &state, dc_t *screen, bmp_t *src) {
    zr::set_cpu_variants_allowed(false);
    zr_copy_column(state, screen, src);
    zr::set_cpu_variants_allowed(true);
}

void zr_blend_column(benchmark::State &state, dc_t *screen, bmp_t *src) {
    src->dc.dc_type = DC_TYPE_ALPHA;
    zr_copy_column(state, screen, src);
    src->dc.dc_type = DC_TYPE_BITMAP;
}

// The same number of destination bytes, row by row into the screen.
void memcpy_column(benchmark::State &state, dc_t *screen, bmp_t *src) {
    const int image_width = src->dc.width, image_height = src->dc.height;
    const std::size_t row = static_cast<std::size_t>(image_width) * (screen->bits_per_pixel / 8);
    std::vector<unsigned char> from(row * image_height, 0x5A);
    timed(state, std::int64_t{image_width} * image_height, [&] {
        for (int y = 0; y < image_height; ++y)
            std::memcpy(screen->mapped + static_cast<std::size_t>(y) * screen->bytes_per_line,
                        from.data() + y * row, row);
    });
}

#if ZR_BENCH_PIXMAN
void pixman_run(benchmark::State &state, dc_t *screen, pixman_image_t *src, pixman_op_t op) {
    pixman_ptr dst = pixman_view(screen);
    if (src == nullptr || !dst) return state.SkipWithError("no pixman image");
    pixman_image_t *d = dst.get();
    const int image_width = pixman_image_get_width(src), image_height = pixman_image_get_height(src);
    timed(state, std::int64_t{image_width} * image_height, [=] {
        pixman_image_composite32(op, src, nullptr, d, 0, 0, 0, 0, 0, 0, image_width, image_height);
    });
}

void pixman_src_column(benchmark::State &state, dc_t *screen, bmp_t *src) {
    const int bits = src->dc.colors, image_width = src->dc.width, image_height = src->dc.height;
    const pixman_format_code_t format = bits == 8    ? PIXMAN_c8
                                        : bits == 24 ? PIXMAN_r8g8b8
                                                     : PIXMAN_a8r8g8b8;
    // The top row is the last in memory: a negative stride walks up from it.
    pixman_ptr image(pixman_image_create_bits(format, image_width, image_height,
                                              reinterpret_cast<std::uint32_t *>(bitmap_row(src, 0)),
                                              -src->dc.bytes_per_line),
                     pixman_image_unref);
    auto indexed = std::make_unique<pixman_indexed_t>();
    if (bits == 8 && image) {
        for (int i = 0; i < 256; ++i) {
            const auto *e = reinterpret_cast<const unsigned char *>(src->palette + i);
            indexed->rgba[i] = 0xFF000000u | std::uint32_t{e[2]} << 16 | std::uint32_t{e[1]} << 8 | e[0];
        }
        pixman_image_set_indexed(image.get(), indexed.get());
    }
    pixman_run(state, screen, image.get(), PIXMAN_OP_SRC);
}

void pixman_over_column(benchmark::State &state, dc_t *screen, bmp_t *src) {
    // pixman blends premultiplied colours: the source is premultiplied once, here.
    const int image_width = src->dc.width, image_height = src->dc.height;
    std::vector<std::uint32_t> premultiplied(static_cast<std::size_t>(image_width) * image_height);
    for (int y = 0; y < image_height; ++y) {
        const unsigned char *p = bitmap_row(src, y);
        for (int x = 0; x < image_width; ++x, p += 4) {
            const std::uint32_t a = p[3];
            const auto mul = [a](std::uint32_t c) { return (c * a + 127) / 255; };
            premultiplied[static_cast<std::size_t>(y) * image_width + x] =
                a << 24 | mul(p[2]) << 16 | mul(p[1]) << 8 | mul(p[0]);
        }
    }
    pixman_ptr image(pixman_image_create_bits(PIXMAN_a8r8g8b8, image_width, image_height,
                                              premultiplied.data(), image_width * 4),
                     pixman_image_unref);
    pixman_run(state, screen, image.get(), PIXMAN_OP_OVER);
}
#endif

#if ZR_BENCH_SDL
// A top-down SDL surface holding the bitmap's pixels.
surface_ptr sdl_copy_of(bmp_t *src) {
    const int bits = src->dc.colors, image_width = src->dc.width, image_height = src->dc.height;
    const Uint32 format = bits == 8    ? SDL_PIXELFORMAT_INDEX8
                          : bits == 24 ? SDL_PIXELFORMAT_BGR24
                                       : SDL_PIXELFORMAT_BGRA32;
    surface_ptr s(SDL_CreateRGBSurfaceWithFormat(0, image_width, image_height, bits, format),
                  SDL_FreeSurface);
    if (!s) return s;
    const std::size_t row = static_cast<std::size_t>(image_width) * (bits / 8);
    for (int y = 0; y < image_height; ++y)
        std::memcpy(static_cast<unsigned char *>(s->pixels) + static_cast<std::size_t>(y) * s->pitch,
                    bitmap_row(src, y), row);
    if (bits == 8) {
        SDL_Color colours[256];
        for (int i = 0; i < 256; ++i) {
            const auto *e = reinterpret_cast<const unsigned char *>(src->palette + i);
            colours[i] = SDL_Color{e[2], e[1], e[0], 255};
        }
        SDL_SetPaletteColors(s->format->palette, colours, 0, 256);
    }
    return s;
}

void sdl_run(benchmark::State &state, dc_t *screen, bmp_t *src, SDL_BlendMode mode) {
    surface_ptr from = sdl_copy_of(src), to = sdl_view(screen);
    if (!from || !to) return state.SkipWithError(SDL_GetError());
    SDL_SetSurfaceBlendMode(from.get(), mode);
    timed(state, std::int64_t{src->dc.width} * src->dc.height, [s = from.get(), d = to.get()] {
        SDL_Rect where{0, 0, s->w, s->h};
        SDL_BlitSurface(s, nullptr, d, &where);
    });
}

void sdl_copy_column(benchmark::State &state, dc_t *screen, bmp_t *src) {
    sdl_run(state, screen, src, SDL_BLENDMODE_NONE);
}

void sdl_blend_column(benchmark::State &state, dc_t *screen, bmp_t *src) {
    sdl_run(state, screen, src, SDL_BLENDMODE_BLEND);
}
#endif

void run_on(benchmark::State &state, const geometry &g, int src_bits, int dst_bits, bitmap_column column) {
    dc_t *screen = open_screen(g.screen_width, g.screen_height, dst_bits);
    if (screen == nullptr) return state.SkipWithError("the virtual framebuffer did not open");
    bmp_ptr src = make_source(src_bits, g);
    if (!src) return state.SkipWithError("no bitmap DC");
    zr_clear(screen, backdrop);
    column(state, screen, src.get());
}

struct named_column {
    const char *name;
    bitmap_column run;
    bool peer;
};

// Rows KIND-to-16bit-screen and KIND-to-32bit-screen; on a geometry other
// than the 800x480 one the screen size follows the kind.
void register_rows(const char *case_name, const char *kind, int src_bits,
                   std::initializer_list<named_column> columns, const geometry &g = small) {
    // Appended piece by piece: "-" + std::string trips g++ 12's -Wrestrict at -O3.
    std::string size;
    if (&g != &small) size.append("-").append(size_name(g.screen_width, g.screen_height));
    for (int dst_bits : {16, 32}) {
        const std::string row = std::string(case_name) + "/" + kind + size + "-to-" +
                                std::to_string(dst_bits) + "bit-screen";
        for (const named_column &c : columns) {
            if (c.peer && !peers_match_layout) continue;
            add(row + "/" + c.name, [&g, src_bits, dst_bits, run = c.run](benchmark::State &s) {
                run_on(s, g, src_bits, dst_bits, run);
            });
        }
    }
}

}  // namespace

void register_bitmap_cases() {
    const std::initializer_list<named_column> columns = {
        {"zr_bitblt", zr_copy_column, false},
        {"memcpy", memcpy_column, false},
#if ZR_BENCH_PIXMAN
        {"pixman_SRC", pixman_src_column, true},
#endif
#if ZR_BENCH_SDL
        {"SDL_BlitSurface", sdl_copy_column, true},
#endif
    };
    const std::initializer_list<named_column> palette_columns = {
        {"zr_bitblt", zr_copy_column, false},
        {"zr_bitblt_portable", zr_portable_column, false},
        {"memcpy", memcpy_column, false},
#if ZR_BENCH_PIXMAN
        {"pixman_SRC", pixman_src_column, true},
#endif
#if ZR_BENCH_SDL
        {"SDL_BlitSurface", sdl_copy_column, true},
#endif
    };
    register_rows("bitmap", "24bit", 24, columns);
    register_rows("bitmap", "8bit-palette", 8, palette_columns);
    register_rows("bitmap", "32bit", 32, columns);
    register_rows("bitmap", "8bit-palette", 8, palette_columns, full_hd);
}

void register_blend_cases() {
    register_rows("blend", "32bit-alpha", 32,
                  {
                      {"zr_bitblt", zr_blend_column, false},
                      {"memcpy", memcpy_column, false},
#if ZR_BENCH_SDL
                      {"SDL_BlitSurface", sdl_blend_column, true},
#endif
#if ZR_BENCH_PIXMAN
                      {"pixman_OVER_premultiplied", pixman_over_column, true},
#endif
                  });
}

}  // namespace zr_bench
