// The font readers as a table, and the public calls that open, describe
// and close fonts.
#include "glyph_cache.hpp"
#include "zr_internal.hpp"

#include <cstdio>
#include <new>

namespace zr::font {
namespace {

// PSF, or gzip, which only PSF fonts come in here.
bool claims_psf(const unsigned char *head, std::size_t n) {
    return (n >= 2 && head[0] == 0x1F && head[1] == 0x8B) || is_psf(head, n);
}

bool claims_any(const unsigned char *, std::size_t) { return true; }

}  // namespace

const reader readers[] = {
    {"PSF", claims_psf, open_psf_file},
    {"FreeType", claims_any, open_freetype},
};
const std::size_t reader_count = sizeof readers / sizeof readers[0];

}  // namespace zr::font

using namespace zr;

namespace {

zr_font_t *make_font(std::unique_ptr<font::face> face) {
    auto *f = new (std::nothrow) zr_font_t(std::move(face));
    if (f == nullptr) zr_error_code = ERR_OUT_OF_MEMORY;
    return f;
}

}  // namespace

extern "C" {

ZR_API zr_font_t *zr_font_open(const char *path, int pixel_height) {
    if (path == nullptr || pixel_height <= 0 || pixel_height > font::max_pixel_height) {
        zr_error_code = ERR_FONT_FILE;
        return nullptr;
    }
    try {
        std::FILE *in = std::fopen(path, "rb");
        if (in == nullptr) {
            zr_error_code = ERR_FONT_FILE;
            return nullptr;
        }
        unsigned char head[4] = {};
        const std::size_t n = std::fread(head, 1, sizeof head, in);
        const bool failed = std::ferror(in) != 0;
        std::fclose(in);
        if (failed) {
            zr_error_code = ERR_FONT_FILE;
            return nullptr;
        }
        const font::reader *r = font::readers;
        while (!r->claims(head, n)) ++r;
        font::open_result opened = r->open(path, pixel_height);
        if (opened.made == nullptr) {
            zr_error_code = opened.error != ERR_NONE ? opened.error : ERR_SIGNATURE;
            return nullptr;
        }
        return make_font(std::move(opened.made));
    } catch (const std::bad_alloc &) {
        zr_error_code = ERR_OUT_OF_MEMORY;
        return nullptr;
    }
}

ZR_API zr_font_t *zr_font_default(void) {
    static zr_font_t *const shared = [] {
        try {
            return make_font(font::make_default_face());
        } catch (const std::bad_alloc &) {
            zr_error_code = ERR_OUT_OF_MEMORY;
            return static_cast<zr_font_t *>(nullptr);
        }
    }();
    return shared;
}

ZR_API void zr_font_close(zr_font_t *font) {
    if (font == nullptr || font == zr_font_default()) return;
    delete font;
}

ZR_API int zr_font_metrics(zr_font_t *font, int *ascent, int *descent, int *line_height) {
    if (font == nullptr) return 0;
    if (ascent != nullptr) *ascent = font->face->ascent;
    if (descent != nullptr) *descent = font->face->descent;
    if (line_height != nullptr) *line_height = font->face->line_height;
    return font->face->line_height;
}

}  // extern "C"
