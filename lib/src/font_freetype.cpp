// Fonts read through FreeType: TrueType, OpenType, and its bitmap formats
// (BDF, PCF). Outlines are rendered as 8-bit anti-aliased coverage; bitmap
// strikes as 0 and 255. Each font owns its own FreeType library and face.
#include "font.hpp"

#if ZR_HAVE_FREETYPE
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#endif

#include <algorithm>
#include <cstdlib>

namespace zr::font {

#if ZR_HAVE_FREETYPE
namespace {

// 26.6 fixed point to whole pixels.
int round_26_6(FT_Pos v) { return static_cast<int>((v + 32) >> 6); }
int ceil_26_6(FT_Pos v) { return static_cast<int>((v + 63) >> 6); }
int floor_26_6(FT_Pos v) { return static_cast<int>(v >> 6); }

bool fits(const FT_Bitmap &b) {
    return b.width <= static_cast<unsigned>(max_pixel_height) && b.rows <= static_cast<unsigned>(max_pixel_height);
}

class ft_face final : public face {
public:
    FT_Library library = nullptr;
    FT_Face ft = nullptr;
    FT_Int32 load_flags = FT_LOAD_DEFAULT;

    ~ft_face() override {
        if (ft != nullptr) FT_Done_Face(ft);
        if (library != nullptr) FT_Done_FreeType(library);
    }

    // A glyph's size is checked before anything of its size is made: a
    // bitmap strike's from its metrics alone, an outline's from its control
    // box, which holds the rendered bitmap.
    bool render(char32_t cp, glyph &g) override {
        const FT_UInt index = FT_Get_Char_Index(ft, cp);
        if (index == 0) return false;
        FT_GlyphSlot slot = ft->glyph;
        if (!FT_IS_SCALABLE(ft)) {
            if (FT_Load_Glyph(ft, index, load_flags | FT_LOAD_BITMAP_METRICS_ONLY) != 0 || !fits(slot->bitmap))
                return false;
        }
        if (FT_Load_Glyph(ft, index, load_flags) != 0) return false;
        if (slot->format == FT_GLYPH_FORMAT_OUTLINE) {
            FT_BBox box;
            FT_Outline_Get_CBox(&slot->outline, &box);
            const FT_Pos side = std::max(box.xMax - box.xMin, box.yMax - box.yMin);
            // Rounding out to whole pixels adds at most one on each side.
            if (side > FT_Pos{max_pixel_height - 2} * 64) return false;
        }
        if (slot->format != FT_GLYPH_FORMAT_BITMAP && FT_Render_Glyph(slot, FT_RENDER_MODE_NORMAL) != 0)
            return false;
        const FT_Bitmap &b = slot->bitmap;
        if (!fits(b)) return false;
        // The rows must be there and as long as their pixels need (a damaged
        // bitmap font can give a glyph with a size and no pixels).
        const long row_bytes = b.pixel_mode == FT_PIXEL_MODE_MONO   ? (long{b.width} + 7) / 8
                               : b.pixel_mode == FT_PIXEL_MODE_GRAY ? long{b.width}
                               : b.pixel_mode == FT_PIXEL_MODE_BGRA ? 4 * long{b.width}
                                                                    : -1;
        if (row_bytes < 0) return false;
        if (b.width > 0 && b.rows > 0 && (b.buffer == nullptr || b.pitch < row_bytes)) return false;
        g.width = static_cast<int>(b.width);
        g.height = static_cast<int>(b.rows);
        g.left = slot->bitmap_left;
        g.top = slot->bitmap_top;
        g.advance = round_26_6(slot->advance.x);
        g.coverage.assign(static_cast<std::size_t>(g.width) * static_cast<std::size_t>(g.height), 0);
        for (int y = 0; y < g.height; ++y) {
            const unsigned char *row = b.buffer + static_cast<std::ptrdiff_t>(y) * b.pitch;
            std::uint8_t *out = g.coverage.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(g.width);
            for (int x = 0; x < g.width; ++x) {
                switch (b.pixel_mode) {
                    case FT_PIXEL_MODE_MONO: out[x] = (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0; break;
                    case FT_PIXEL_MODE_GRAY:
                        out[x] = b.num_grays == 256 || b.num_grays < 2
                                     ? row[x]
                                     : static_cast<std::uint8_t>(row[x] * 255 / (b.num_grays - 1));
                        break;
                    default: out[x] = row[4 * x + 3]; break;  // BGRA
                }
            }
        }
        return true;
    }
};

}  // namespace

open_result open_freetype(const char *path, int pixel_height) {
    open_result r;
    auto f = std::make_unique<ft_face>();
    if (FT_Init_FreeType(&f->library) != 0) {
        f->library = nullptr;
        r.error = ERR_OUT_OF_MEMORY;
        return r;
    }
    const FT_Error e = FT_New_Face(f->library, path, 0, &f->ft);
    if (e != 0) {
        f->ft = nullptr;
        r.error = e == FT_Err_Unknown_File_Format ? ERR_SIGNATURE
                  : e == FT_Err_Cannot_Open_Resource ? ERR_FONT_FILE
                  : e == FT_Err_Out_Of_Memory ? ERR_OUT_OF_MEMORY
                                                   : ERR_SIGNATURE;
        return r;
    }
    FT_Face ft = f->ft;
    if (FT_IS_SCALABLE(ft)) {
        if (FT_Set_Pixel_Sizes(ft, 0, static_cast<FT_UInt>(pixel_height)) != 0) {
            r.error = ERR_FONT_FILE;
            return r;
        }
        // Outlines even where the font carries bitmaps for some sizes.
        f->load_flags = FT_LOAD_DEFAULT | FT_LOAD_NO_BITMAP;
        const FT_Size_Metrics &m = ft->size->metrics;
        f->ascent = ceil_26_6(m.ascender);
        f->descent = -floor_26_6(m.descender);
        f->line_height = round_26_6(m.height);
        f->pixel_size = pixel_height;
    } else {
        if (ft->num_fixed_sizes <= 0) {
            r.error = ERR_SIGNATURE;
            return r;
        }
        int best = 0;
        for (int i = 1; i < ft->num_fixed_sizes; ++i)
            if (std::abs(ft->available_sizes[i].height - pixel_height) <
                std::abs(ft->available_sizes[best].height - pixel_height))
                best = i;
        if (FT_Select_Size(ft, best) != 0) {
            r.error = ERR_FONT_FILE;
            return r;
        }
        const FT_Size_Metrics &m = ft->size->metrics;
        f->ascent = round_26_6(m.ascender);
        f->descent = -round_26_6(m.descender);
        f->line_height = round_26_6(m.height);
        // The strike's nominal size (its height may count a declared ascent).
        const FT_Bitmap_Size &strike = ft->available_sizes[best];
        const FT_Pos ppem = strike.y_ppem > 0 ? (strike.y_ppem + 32) >> 6 : strike.height;
        f->pixel_size = static_cast<int>(std::clamp<FT_Pos>(ppem, 1, max_pixel_height));
        if (f->ascent + f->descent <= 0) {
            f->ascent = ft->available_sizes[best].height;
            f->descent = 0;
        }
    }
    if (f->line_height < f->ascent + f->descent) f->line_height = f->ascent + f->descent;
    r.made = std::move(f);
    return r;
}

#else

open_result open_freetype(const char *, int) {
    open_result r;
    r.error = ERR_SIGNATURE;
    return r;
}

#endif

}  // namespace zr::font
