// Text: line layout, measuring and drawing.
//
// A glyph is drawn as coverage: coverage c under a colour of alpha a gives
// the effective alpha (c * a + 127) / 255 (the nearest integer to c * a /
// 255), which blends the colour over the pixel by the block transfers' rule;
// an effective alpha of 255 writes the colour. That goes through the DC's
// get_pixel and set_pixel, or through the glyph row of the fast-path table
// for the DC's format, which writes the same bytes.
#include "fast_paths.hpp"
#include "glyph_cache.hpp"
#include "pixel_format.hpp"
#include "text_decode.hpp"
#include "zr_internal.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <vector>

using namespace zr;
using zr::font::glyph;

// ---- drawing

namespace {

using u8 = unsigned char;

// The font pads glyph rows to whole groups of the coverage rows.
static_assert(font::glyph_row_group % coverage_group == 0);

// The part of a glyph box inside the DC: pixels x0 .. x1 - 1, y0 .. y1 - 1
// of the DC, starting at (gx0, gy0) within the glyph.
struct glyph_clip {
    int x0, y0, x1, y1, gx0, gy0;
};

bool clip_glyph(const dc_t *dc, const glyph &g, std::int64_t left, std::int64_t top, glyph_clip &c) {
    const std::int64_t x0 = std::max<std::int64_t>(left, 0), y0 = std::max<std::int64_t>(top, 0);
    const std::int64_t x1 = std::min<std::int64_t>(left + g.width, dc->width);
    const std::int64_t y1 = std::min<std::int64_t>(top + g.height, dc->height);
    if (x0 >= x1 || y0 >= y1) return false;
    c = {static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1), static_cast<int>(y1),
         static_cast<int>(x0 - left), static_cast<int>(y0 - top)};
    return true;
}

void plain_glyph(dc_t *dc, const glyph &g, const glyph_clip &c, color_t color) {
    for (int y = c.y0; y < c.y1; ++y) {
        const std::uint8_t *cov = g.coverage.data() + static_cast<std::size_t>(c.gy0 + y - c.y0) * static_cast<std::size_t>(g.pitch) +
                                  static_cast<std::size_t>(c.gx0);
        for (int x = c.x0; x < c.x1; ++x, ++cov) {
            const auto a = static_cast<u8>((*cov * color.alpha + 127) / 255);
            if (a == 0) continue;
            if (a == 255) {
                dc->set_pixel(dc, x, y, color);
                continue;
            }
            color_t back{0, 0, 0, 255};
            dc->get_pixel(dc, x, y, &back);
            dc->set_pixel(dc, x, y, blend_color(color_t{color.red, color.green, color.blue, a}, back));
        }
    }
}

void draw_glyph(dc_t *dc, glyph_fn fast, const glyph &g, std::int64_t left, std::int64_t top, color_t color) {
    glyph_clip c;
    if (g.width <= 0 || g.height <= 0 || !clip_glyph(dc, g, left, top, c)) return;
    if (fast == nullptr) return plain_glyph(dc, g, c, color);
    const std::size_t pitch = static_cast<std::size_t>(g.pitch);
    fast(dc,
         coverage_rect{g.coverage.data() + static_cast<std::size_t>(c.gy0) * pitch + static_cast<std::size_t>(c.gx0),
                       pitch, c.x0, c.y0, c.x1 - c.x0, c.y1 - c.y0, g.pitch - c.gx0 - (c.x1 - c.x0)},
         color);
}

// Lays out (and, given a DC, draws) the lines of utf8 from the top-left
// corner (x, y). Returns the widest line's advance; *lines gets the count of
// lines (0 for an empty string).
std::int64_t run_text(zr_font_t *font, dc_t *dc, std::int64_t x, std::int64_t y, const char *utf8, color_t color,
                      std::int64_t *lines) {
    const font::face &f = *font->face;
    const bool drawing = dc != nullptr && color.alpha != 0;
    const glyph_fn fast = drawing ? fast_glyph_for(dc) : nullptr;
    std::int64_t widest = 0, width = 0, line_top = y, count = *utf8 != '\0' ? 1 : 0;
    for (const char *p = utf8; *p != '\0';) {
        if (*p == '\n') {
            widest = std::max(widest, width);
            width = 0;
            line_top += f.line_height;
            ++count;
            ++p;
            continue;
        }
        const char32_t cp = text::decode_utf8(p);
        const glyph *g = font->cache.find(cp);
        if (g == nullptr) g = font->glyph_for(cp);
        if (drawing)
            draw_glyph(dc, fast, *g, x + width + g->left, line_top + f.ascent - g->top, color);
        width += g->advance;
    }
    if (lines != nullptr) *lines = count;
    return std::max(widest, width);
}

int clamp_int(std::int64_t v) { return static_cast<int>(std::clamp<std::int64_t>(v, INT_MIN, INT_MAX)); }

}  // namespace

extern "C" {

ZR_API int zr_text_out(dc_t *dc, zr_font_t *font, int x, int y, const char *utf8, color_t color) {
    if (dc == nullptr || font == nullptr || utf8 == nullptr) return 0;
    try {
        return clamp_int(run_text(font, dc, x, y, utf8, color, nullptr));
    } catch (const std::bad_alloc &) {
        zr_error_code = ERR_OUT_OF_MEMORY;
        return 0;
    }
}

ZR_API int zr_text_out_euckr(dc_t *dc, zr_font_t *font, int x, int y, const char *euckr, color_t color) {
    if (dc == nullptr || font == nullptr || euckr == nullptr) return 0;
    try {
        const std::string utf8 = text::euckr_to_utf8(euckr);
        return clamp_int(run_text(font, dc, x, y, utf8.c_str(), color, nullptr));
    } catch (const std::bad_alloc &) {
        zr_error_code = ERR_OUT_OF_MEMORY;
        return 0;
    }
}

ZR_API void zr_text_size(zr_font_t *font, const char *utf8, int *width, int *height) {
    std::int64_t w = 0, lines = 0;
    if (font != nullptr && utf8 != nullptr) {
        try {
            w = run_text(font, nullptr, 0, 0, utf8, color_t{}, &lines);
        } catch (const std::bad_alloc &) {
            zr_error_code = ERR_OUT_OF_MEMORY;
            w = lines = 0;
        }
    }
    if (width != nullptr) *width = clamp_int(w);
    if (height != nullptr) *height = clamp_int(font != nullptr ? lines * font->face->line_height : 0);
}

}  // extern "C"
