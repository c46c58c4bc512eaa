// Text: fonts and their glyph cache, UTF-8 and EUC-KR decoding, line layout
// and drawing.
//
// A glyph is drawn as coverage: coverage c under a colour of alpha a gives
// the effective alpha (c * a + 127) / 255 (the nearest integer to c * a /
// 255), which blends the colour over the pixel by the block transfers' rule;
// an effective alpha of 255 writes the colour. On the framebuffer families
// the same is written straight into pixel memory (unless the plain path is
// forced); everywhere else it goes through the DC's get_pixel and set_pixel.
#include "blit.hpp"
#include "fb_dc.hpp"
#include "font.hpp"
#include "pixel_format.hpp"
#include "zr_internal.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iconv.h>
#include <new>

namespace zr::font {

const glyph *glyph_cache::find(char32_t cp) {
    const auto it = index_.find(cp);
    if (it == index_.end()) return nullptr;
    order_.splice(order_.begin(), order_, it->second);
    return &it->second->second;
}

const glyph *glyph_cache::add(char32_t cp, glyph g) {
    bytes_ += weight(g);
    order_.emplace_front(cp, std::move(g));
    index_[cp] = order_.begin();
    while (bytes_ > bound_ && order_.size() > 1) {
        bytes_ -= weight(order_.back().second);
        index_.erase(order_.back().first);
        order_.pop_back();
    }
    return &order_.front().second;
}

}  // namespace zr::font

using namespace zr;
using zr::font::glyph;

namespace {

constexpr char32_t replacement_char = 0xFFFD;

// The last resort for a font without U+FFFD and '?': an outlined box.
glyph box_glyph(const font::face &f) {
    glyph g;
    const int h = std::max(3, f.ascent * 2 / 3), w = std::max(3, h * 2 / 3);
    g.width = w;
    g.height = h;
    g.left = 1;
    g.top = h;
    g.advance = w + 2;
    g.coverage.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (x == 0 || y == 0 || x == w - 1 || y == h - 1)
                g.coverage[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)] = 255;
    return g;
}

}  // namespace

const glyph *zr_font_t::glyph_for(char32_t cp) {
    if (const glyph *g = cache.find(cp)) return g;
    glyph g;
    if (!face->render(cp, g) && !face->render(replacement_char, g) && !face->render(U'?', g)) g = box_glyph(*face);
    return cache.add(cp, std::move(g));
}

// ---- decoding

namespace zr::text {

char32_t decode_utf8(const char *&p) {
    const auto *s = reinterpret_cast<const unsigned char *>(p);
    const unsigned char b = s[0];
    ++p;
    if (b < 0x80) return b;
    int more;
    char32_t cp;
    // The second byte's range rules out overlongs, surrogates and values
    // above U+10FFFF; later bytes are plain continuations.
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) { more = 1; cp = b & 0x1Fu; }
    else if (b >= 0xE0 && b <= 0xEF) {
        more = 2;
        cp = b & 0x0Fu;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        more = 3;
        cp = b & 0x07u;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return replacement_char;
    }
    // Each byte is looked at only after the one before it was a continuation,
    // so a NUL stops the reading where it is.
    for (int i = 1; i <= more; ++i) {
        const unsigned char c = s[i];
        if (i == 1 ? (c < lo || c > hi) : (c & 0xC0) != 0x80) return replacement_char;
        cp = cp << 6 | (c & 0x3Fu);
    }
    p += more;
    return cp;
}

std::string euckr_to_utf8(const char *euckr) {
    static constexpr char replacement_utf8[] = "\xEF\xBF\xBD";
    std::string out;
    std::size_t left = std::strlen(euckr);
    iconv_t cd = iconv_open("UTF-8", "EUC-KR");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        for (const char *p = euckr; *p != '\0'; ++p)
            if (static_cast<unsigned char>(*p) < 0x80) out += *p;
            else out += replacement_utf8;
        return out;
    }
    char *in = const_cast<char *>(euckr);
    char buffer[256];
    while (left > 0) {
        char *o = buffer;
        std::size_t room = sizeof buffer;
        const std::size_t r = iconv(cd, &in, &left, &o, &room);
        out.append(buffer, static_cast<std::size_t>(o - buffer));
        if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
            // EILSEQ or EINVAL: one byte becomes U+FFFD.
            out += replacement_utf8;
            ++in;
            --left;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}

}  // namespace zr::text

// ---- drawing

namespace {

using u8 = unsigned char;

// The effective alpha of every coverage value under one colour. Alpha 0
// draws nothing and leaves the table unfilled (measuring never reads it).
struct alpha_table {
    u8 of[256];
    explicit alpha_table(unsigned alpha) {
        if (alpha == 0) return;
        for (unsigned c = 0; c < 256; ++c) of[c] = static_cast<u8>((c * alpha + 127) / 255);
    }
};

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

void plain_glyph(dc_t *dc, const glyph &g, const glyph_clip &c, color_t color, const alpha_table &alpha) {
    for (int y = c.y0; y < c.y1; ++y) {
        const std::uint8_t *cov = g.coverage.data() + static_cast<std::size_t>(c.gy0 + y - c.y0) * static_cast<std::size_t>(g.width) +
                                  static_cast<std::size_t>(c.gx0);
        for (int x = c.x0; x < c.x1; ++x, ++cov) {
            const u8 a = alpha.of[*cov];
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

template <class Fmt>
void fast_glyph(dc_t *dc, const glyph &g, const glyph_clip &c, color_t color, const alpha_table &alpha) {
    const auto solid = Fmt::encode(color);
    for (int y = c.y0; y < c.y1; ++y) {
        const std::uint8_t *cov = g.coverage.data() + static_cast<std::size_t>(c.gy0 + y - c.y0) * static_cast<std::size_t>(g.width) +
                                  static_cast<std::size_t>(c.gx0);
        u8 *p = fb_pixel(dc, c.x0, y, Fmt::bytes);
        for (int x = c.x0; x < c.x1; ++x, ++cov, p += Fmt::bytes) {
            const u8 a = alpha.of[*cov];
            if (a == 0) continue;
            if (a == 255) {
                Fmt::store(p, solid);
                continue;
            }
            color_t back{0, 0, 0, 255};
            Fmt::decode(Fmt::load(p), &back);
            Fmt::store(p, Fmt::encode(blend_color(color_t{color.red, color.green, color.blue, a}, back)));
        }
    }
}

void draw_glyph(dc_t *dc, int family, const glyph &g, std::int64_t left, std::int64_t top, color_t color,
                const alpha_table &alpha) {
    glyph_clip c;
    if (g.width <= 0 || g.height <= 0 || !clip_glyph(dc, g, left, top, c)) return;
    switch (family) {
        case 15: fast_glyph<rgb555>(dc, g, c, color, alpha); return;
        case 16: fast_glyph<rgb565>(dc, g, c, color, alpha); return;
        case 32: fast_glyph<xrgb8888>(dc, g, c, color, alpha); return;
        default: plain_glyph(dc, g, c, color, alpha); return;
    }
}

// The glyphs one string has looked up, by the low bits of the code point:
// a repeated character skips the font cache's hash lookup and reordering.
// The pointers stay valid while the font cache adds nothing (an addition may
// drop glyphs), so the memo is emptied after every addition.
class glyph_memo {
public:
    explicit glyph_memo(zr_font_t *font) : font_(font) { forget(); }
    const glyph *operator()(char32_t cp) {
        slot &s = slots_[cp % slot_count];
        if (s.g != nullptr && s.cp == cp) return s.g;
        const glyph *g = font_->cache.find(cp);
        if (g == nullptr) {
            g = font_->glyph_for(cp);
            forget();
        }
        slots_[cp % slot_count] = {cp, g};
        return g;
    }

private:
    static constexpr unsigned slot_count = 64;
    struct slot {
        char32_t cp;
        const glyph *g;
    };
    void forget() { std::fill(std::begin(slots_), std::end(slots_), slot{0, nullptr}); }
    zr_font_t *font_;
    slot slots_[slot_count];
};

// Lays out (and, given a DC, draws) the lines of utf8 from the top-left
// corner (x, y). Returns the widest line's advance; *lines gets the count of
// lines (0 for an empty string).
std::int64_t run_text(zr_font_t *font, dc_t *dc, std::int64_t x, std::int64_t y, const char *utf8, color_t color,
                      std::int64_t *lines) {
    const font::face &f = *font->face;
    const bool drawing = dc != nullptr && color.alpha != 0;
    const int family = drawing && !plain_path_forced() ? fb_family_of(dc) : 0;
    const alpha_table alpha(drawing ? color.alpha : 0);
    glyph_memo glyph_of(font);
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
        const glyph *g = glyph_of(text::decode_utf8(p));
        if (drawing)
            draw_glyph(dc, family, *g, x + width + g->left, line_top + f.ascent - g->top, color, alpha);
        width += g->advance;
    }
    if (lines != nullptr) *lines = count;
    return std::max(widest, width);
}

int clamp_int(std::int64_t v) { return static_cast<int>(std::clamp<std::int64_t>(v, INT_MIN, INT_MAX)); }

zr_font_t *make_font(std::unique_ptr<font::face> face) {
    auto *f = new (std::nothrow) zr_font_t;
    if (f == nullptr) {
        zr_error_code = ERR_OUT_OF_MEMORY;
        return nullptr;
    }
    f->face = std::move(face);
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
        // The first bytes tell PSF (or gzip, which only PSF comes in) from
        // the formats FreeType reads.
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
        const bool gzip = n >= 2 && head[0] == 0x1F && head[1] == 0x8B;
        font::open_result r = gzip || font::is_psf(head, n) ? font::open_psf_file(path, pixel_height)
                                                            : font::open_freetype(path, pixel_height);
        if (r.made == nullptr) {
            zr_error_code = r.error != ERR_NONE ? r.error : ERR_SIGNATURE;
            return nullptr;
        }
        return make_font(std::move(r.made));
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
