// Loading a 1920x1080 photograph from memory: PNG (RGB and RGBA) and JPEG
// (quality 90), made here at start. Two cases:
//  - image-load: zr_image_from_memory into a bitmap DC beside the decoder
//    zr uses called directly into a plain buffer (decoder_alone), stb_image
//    and SDL_image (IMG_Load_RW).
//  - image-show: the load and then the picture on a 16- or 32-bit buffer DC
//    in the screen's format (zr_bitblt), beside stb_image and SDL_image each
//    followed by SDL_BlitSurface onto the same memory, blending RGBA images.
#include "bench_cases.hpp"
#include "peers.hpp"

#if ZR_BENCH_PNG
#include <png.h>
#endif
#if ZR_BENCH_JPEG
#include <cstdio>  // jpeglib.h needs FILE declared
#include <jpeglib.h>
#endif

#include <cstring>
#include <vector>

namespace zr_bench {
namespace {

constexpr int image_width = 1920, image_height = 1080;
constexpr std::int64_t image_pixels = std::int64_t{image_width} * image_height;

enum class image_kind { png_rgb, png_rgba, jpeg };

using bytes = std::vector<unsigned char>;

#if ZR_BENCH_PNG
void append(png_structp png, png_bytep data, std::size_t n) {
    auto *out = static_cast<bytes *>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + n);
}

// libpng's defaults: compression level 6, filters chosen per row.
bytes encode_png(bool alpha) {
    const rgba_image &img = photo(image_width, image_height);
    bytes out, row(static_cast<std::size_t>(image_width) * 4);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &out, append, nullptr);
    png_set_IHDR(png, info, image_width, image_height, 8, alpha ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    if (!alpha) png_set_filler(png, 0, PNG_FILLER_AFTER);  // rows given as RGBA, alpha dropped
    for (int y = 0; y < image_height; ++y) {
        std::memcpy(row.data(), img.at(0, y), row.size());
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

struct png_source {
    const bytes *file;
    std::size_t pos;
};

void read_source(png_structp png, png_bytep out, std::size_t n) {
    auto *s = static_cast<png_source *>(png_get_io_ptr(png));
    if (s->file->size() - s->pos < n) png_error(png, "short");
    std::memcpy(out, s->file->data() + s->pos, n);
    s->pos += n;
}

// libpng as its users call it: top-down rows of RGB or RGBA, as stored.
bool libpng_decode(const bytes &file, bytes &out, std::vector<png_bytep> &rows) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_source src{&file, 0};
    png_set_read_fn(png, &src, read_source);
    png_read_info(png, info);
    const std::size_t row = png_get_rowbytes(png, info);
    const png_uint_32 h = png_get_image_height(png, info);
    out.resize(row * h);
    rows.resize(h);
    for (png_uint_32 y = 0; y < h; ++y) rows[y] = out.data() + y * row;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}
#endif

#if ZR_BENCH_JPEG
bytes encode_jpeg() {
    const rgba_image &img = photo(image_width, image_height);
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &mem, &size);
    c.image_width = image_width;
    c.image_height = image_height;
    c.input_components = 4;
    c.in_color_space = JCS_EXT_RGBX;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<unsigned char *>(img.at(0, static_cast<int>(c.next_scanline)));
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    bytes out(mem, mem + size);
    std::free(mem);
    return out;
}

// libjpeg as its users call it: top-down RGB rows.
bool libjpeg_decode(const bytes &file, bytes &out) {
    jpeg_decompress_struct d{};
    jpeg_error_mgr err{};
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, file.data(), file.size());
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_RGB;
    jpeg_start_decompress(&d);
    const std::size_t row = std::size_t{d.output_width} * 3;
    out.resize(row * d.output_height);
    while (d.output_scanline < d.output_height) {
        JSAMPROW r = out.data() + d.output_scanline * row;
        jpeg_read_scanlines(&d, &r, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return true;
}
#endif

// The file of a kind, made on first use; empty when this build cannot make it.
const bytes &file_of(image_kind kind) {
    static bytes files[3];
    static bool made[3];
    const int i = static_cast<int>(kind);
    if (!made[i]) {
        made[i] = true;
#if ZR_BENCH_PNG
        if (kind != image_kind::jpeg) files[i] = encode_png(kind == image_kind::png_rgba);
#endif
#if ZR_BENCH_JPEG
        if (kind == image_kind::jpeg) files[i] = encode_jpeg();
#endif
    }
    return files[i];
}

// ---- image-load columns

using load_column = void (*)(benchmark::State &, const bytes &file, image_kind kind);

void zr_load_column(benchmark::State &state, const bytes &file, image_kind) {
    bool loaded = true;
    timed(state, image_pixels, [&] {
        bmp_t *b = zr_image_from_memory(file.data(), file.size());
        loaded = loaded && b != nullptr;
        zr_bmp_close(b);
    });
    if (!loaded) state.SkipWithError("zr_image_from_memory failed");
}

void decoder_column(benchmark::State &state, const bytes &file, image_kind kind) {
    bytes out;
    bool loaded = true;
#if ZR_BENCH_PNG
    std::vector<png_bytep> rows;
    if (kind != image_kind::jpeg) {
        timed(state, image_pixels, [&] { loaded = libpng_decode(file, out, rows) && loaded; });
        if (!loaded) state.SkipWithError("libpng failed");
        return;
    }
#endif
#if ZR_BENCH_JPEG
    if (kind == image_kind::jpeg) {
        timed(state, image_pixels, [&] { loaded = libjpeg_decode(file, out) && loaded; });
        return;
    }
#endif
    (void)kind;
    state.SkipWithError("decoder not built in");
}

#if ZR_BENCH_STB
void stb_load_column(benchmark::State &state, const bytes &file, image_kind) {
    bool loaded = true;
    timed(state, image_pixels, [&] {
        int w = 0, h = 0, n = 0;
        stbi_uc *p = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &n, 0);
        loaded = loaded && p != nullptr;
        stbi_image_free(p);
    });
    if (!loaded) state.SkipWithError(stbi_failure_reason());
}
#endif

#if ZR_BENCH_SDL_IMAGE
SDL_Surface *sdl_image_load(const bytes &file) {
    return IMG_Load_RW(SDL_RWFromConstMem(file.data(), static_cast<int>(file.size())), 1);
}

void sdl_image_load_column(benchmark::State &state, const bytes &file, image_kind) {
    bool loaded = true;
    timed(state, image_pixels, [&] {
        SDL_Surface *s = sdl_image_load(file);
        loaded = loaded && s != nullptr;
        SDL_FreeSurface(s);
    });
    if (!loaded) state.SkipWithError(IMG_GetError());
}
#endif

// ---- image-show columns: the load, then the whole picture on the buffer

using show_column = void (*)(benchmark::State &, const bytes &file, dc_t *buffer);

void zr_show_column(benchmark::State &state, const bytes &file, dc_t *buffer) {
    bool loaded = true;
    timed(state, image_pixels, [&] {
        bmp_t *b = zr_image_from_memory(file.data(), file.size());
        loaded = loaded && b != nullptr;
        if (b != nullptr) zr_bitblt(buffer, 0, 0, &b->dc, 0, 0, image_width, image_height);
        zr_bmp_close(b);
    });
    if (!loaded) state.SkipWithError("zr_image_from_memory failed");
}

#if ZR_BENCH_SDL
#if ZR_BENCH_STB
// stb_image's pixels handed to SDL as a surface and blitted, as its users
// show them.
void stb_show_column(benchmark::State &state, const bytes &file, dc_t *buffer) {
    surface_ptr screen = sdl_view(buffer);
    bool loaded = true;
    timed(state, image_pixels, [&] {
        int w = 0, h = 0, n = 0;
        stbi_uc *p = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &n, 0);
        loaded = loaded && p != nullptr;
        if (p == nullptr) return;
        SDL_Surface *s = SDL_CreateRGBSurfaceWithFormatFrom(
            p, w, h, n * 8, w * n, n == 4 ? SDL_PIXELFORMAT_RGBA32 : SDL_PIXELFORMAT_RGB24);
        SDL_BlitSurface(s, nullptr, screen.get(), nullptr);
        SDL_FreeSurface(s);
        stbi_image_free(p);
    });
    if (!loaded) state.SkipWithError(stbi_failure_reason());
}
#endif

#if ZR_BENCH_SDL_IMAGE
void sdl_image_show_column(benchmark::State &state, const bytes &file, dc_t *buffer) {
    surface_ptr screen = sdl_view(buffer);
    bool loaded = true;
    timed(state, image_pixels, [&] {
        SDL_Surface *s = sdl_image_load(file);
        loaded = loaded && s != nullptr;
        if (s != nullptr) SDL_BlitSurface(s, nullptr, screen.get(), nullptr);
        SDL_FreeSurface(s);
    });
    if (!loaded) state.SkipWithError(IMG_GetError());
}
#endif
#endif

const char *kind_name(image_kind k) {
    switch (k) {
        case image_kind::png_rgb: return "png-rgb";
        case image_kind::png_rgba: return "png-rgba";
        default: return "jpeg-q90";
    }
}

}  // namespace

void register_image_cases() {
    const image_kind kinds[] = {image_kind::png_rgb, image_kind::png_rgba, image_kind::jpeg};
    const struct {
        const char *name;
        load_column run;
    } loads[] = {
        {"zr_image_from_memory", zr_load_column},
        {"decoder_alone", decoder_column},
#if ZR_BENCH_STB
        {"stb_image", stb_load_column},
#endif
#if ZR_BENCH_SDL_IMAGE
        {"SDL_image", sdl_image_load_column},
#endif
    };
    const struct {
        const char *name;
        show_column run;
    } shows[] = {
        {"zr_image_from_memory+zr_bitblt", zr_show_column},
#if ZR_BENCH_SDL && ZR_BENCH_STB
        {"stb_image+SDL_BlitSurface", stb_show_column},
#endif
#if ZR_BENCH_SDL && ZR_BENCH_SDL_IMAGE
        {"SDL_image+SDL_BlitSurface", sdl_image_show_column},
#endif
    };
    const std::string size = size_name(image_width, image_height);
    for (image_kind kind : kinds) {
        const std::string row = std::string(kind_name(kind)) + "-" + size;
        for (const auto &c : loads)
            add("image-load/" + row + "/" + c.name, [kind, run = c.run](benchmark::State &s) {
                const bytes &file = file_of(kind);
                if (file.empty()) return s.SkipWithError("this build cannot make the file");
                run(s, file, kind);
            });
        for (int bits : {16, 32})
            for (const auto &c : shows)
                add("image-show/" + row + "-on-" + std::to_string(bits) + "bit/" + c.name,
                    [kind, bits, run = c.run](benchmark::State &s) {
                        const bytes &file = file_of(kind);
                        if (file.empty()) return s.SkipWithError("this build cannot make the file");
                        if (open_screen(image_width, image_height, bits) == nullptr)
                            return s.SkipWithError("no virtual screen");
                        dc_ptr buffer = make_buffer(image_width, image_height);
                        run(s, file, buffer.get());
                    });
    }
}

}  // namespace zr_bench
