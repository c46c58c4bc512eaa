// Text: line layout, measuring and drawing.
//
// A glyph is drawn as coverage: coverage c under a colour of alpha a gives
// the effective alpha (c * a + 127) / 255 (the nearest integer to c * a /
// 255), which blends the colour over the pixel by the block transfers' rule;
// an effective alpha of 255 writes the colour. On the framebuffer families
// the same is written straight into pixel memory (unless the plain path is
// forced); everywhere else it goes through the DC's get_pixel and set_pixel.
#include "blit.hpp"
#include "fb_dc.hpp"
#include "glyph_cache.hpp"
#include "pixel_format.hpp"
#include "text_decode.hpp"
#include "zr_internal.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

using namespace zr;
using zr::font::glyph;

// ---- drawing

namespace {

using u8 = unsigned char;

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

// The effective alpha of coverage c under colour alpha a, as the table has
// it (the nearest integer to c * a / 255), in 16-bit lanes without a division.
constexpr std::uint16_t coverage_alpha(std::uint16_t c, std::uint16_t a) {
    const auto v = static_cast<std::uint16_t>(c * a + 128);
    return static_cast<std::uint16_t>(static_cast<std::uint16_t>(v + (v >> 8)) >> 8);
}

// One pixel of coverage onto framebuffer pixel q, written for the
// vectoriser: the colour is always blended, and an effective alpha of 0
// (which the plain path skips) keeps the pixel's stored bits, so both paths
// write the same memory. At alpha 255 the blend is the colour itself.
template <class Fmt>
[[gnu::always_inline]] inline void coverage_pixel(u8 *q, std::uint16_t cov, color_t c) {
    const std::uint16_t a = coverage_alpha(cov, c.alpha);
    if constexpr (std::is_same_v<Fmt, xrgb8888>) {
        // As 16-bit halves: green-blue and top-red.
        const std::uint16_t gb = load_le16(q), xr = load_le16(q + 2);
        const std::uint16_t blue = blend_channel(a, c.blue, gb & 0xFF);
        const std::uint16_t green = blend_channel(a, c.green, gb >> 8);
        const std::uint16_t red = blend_channel(a, c.red, xr & 0xFF);
        store_le16(q, static_cast<std::uint16_t>(green << 8 | blue));
        store_le16(q + 2, a == 0 ? xr : red);
    } else {
        // 5-6-5 or 5-5-5, decoded and encoded as the format's own decode and
        // encode do, in 16-bit lanes.
        constexpr bool wide_green = std::is_same_v<Fmt, rgb565>;
        constexpr int red_at = wide_green ? 11 : 10, green_bits = wide_green ? 6 : 5;
        constexpr std::uint16_t green_mask = (1u << green_bits) - 1;
        const std::uint16_t old = load_le16(q);
        const auto r = static_cast<std::uint16_t>(((old >> red_at) & 0x1F) << 3);
        const auto g = static_cast<std::uint16_t>(((old >> 5) & green_mask) << (8 - green_bits));
        const auto b = static_cast<std::uint16_t>((old & 0x1F) << 3);
        const std::uint16_t red = blend_channel(a, c.red, r), green = blend_channel(a, c.green, g),
                            blue = blend_channel(a, c.blue, b);
        const auto out = static_cast<std::uint16_t>((red >> 3) << red_at | (green >> (8 - green_bits)) << 5 | blue >> 3);
        store_le16(q, a == 0 ? old : out);
    }
}

// Groups of font::glyph_row_group pixels in 16-bit vector lanes (GCC and clang vector
// extensions; without SIMD the compiler splits them into scalar code). The
// lanes hold little-endian pixels, so big-endian hosts draw pixel by pixel.
using lanes16 = std::uint16_t __attribute__((vector_size(16)));
using lanes8 = std::uint8_t __attribute__((vector_size(8)));

inline lanes16 blend_lanes(lanes16 a, lanes16 s, lanes16 b) {
    const lanes16 v = (255 - a) * b + a * s + 128;
    return (v + (v >> 8)) >> 8;
}

inline lanes16 coverage_lanes(lanes16 cov, std::uint16_t alpha) {
    const lanes16 v = cov * alpha + 128;
    return (v + (v >> 8)) >> 8;
}

// Eight 5-6-5 or 5-5-5 pixels: the lanes are the pixels.
template <class Fmt>
[[gnu::always_inline]] inline void coverage_group(u8 *q, const std::uint8_t *cov, color_t c) {
    constexpr bool wide_green = std::is_same_v<Fmt, rgb565>;
    constexpr int red_at = wide_green ? 11 : 10, green_bits = wide_green ? 6 : 5;
    constexpr std::uint16_t green_mask = (1u << green_bits) - 1;
    lanes16 old;
    lanes8 cv;
    std::memcpy(&old, q, sizeof old);
    std::memcpy(&cv, cov, sizeof cv);
    const lanes16 a = coverage_lanes(__builtin_convertvector(cv, lanes16), c.alpha);
    const lanes16 red = blend_lanes(a, lanes16{} + c.red, ((old >> red_at) & 0x1F) << 3);
    const lanes16 green = blend_lanes(a, lanes16{} + c.green, ((old >> 5) & green_mask) << (8 - green_bits));
    const lanes16 blue = blend_lanes(a, lanes16{} + c.blue, (old & 0x1F) << 3);
    const lanes16 out = (red >> 3) << red_at | (green >> (8 - green_bits)) << 5 | blue >> 3;
    const auto keep = reinterpret_cast<lanes16>(a == 0);
    const lanes16 merged = (old & keep) | (out & ~keep);
    std::memcpy(q, &merged, sizeof merged);
}

// Four 32-bit pixels as eight 16-bit halves, green-blue then top-red: the low
// bytes hold blue and red, the high bytes green and the top byte, which stays
// 0 unless the pixel is kept.
[[gnu::always_inline]] inline void coverage_quad32(u8 *q, lanes16 a, color_t c) {
    const lanes16 odd = {0, 0xFFFF, 0, 0xFFFF, 0, 0xFFFF, 0, 0xFFFF};
    const lanes16 low_source = {c.blue, c.red, c.blue, c.red, c.blue, c.red, c.blue, c.red};
    const lanes16 high_source = {c.green, 0, c.green, 0, c.green, 0, c.green, 0};
    lanes16 old;
    std::memcpy(&old, q, sizeof old);
    const lanes16 low = blend_lanes(a, low_source, old & 0xFF);
    const lanes16 high = blend_lanes(a, high_source, old >> 8);
    const lanes16 top = (old >> 8) & reinterpret_cast<lanes16>(a == 0) & odd;
    const lanes16 out = low | ((high & ~odd) | top) << 8;
    std::memcpy(q, &out, sizeof out);
}

// A row: whole groups in vector lanes, then any last pixels one by one.
template <class Fmt>
void coverage_row(u8 *d, const std::uint8_t *cov, int n, color_t c) {
    const auto solid = Fmt::encode(c);
    int x = 0;
    if constexpr (!host_is_big_endian) {
        static_assert(font::glyph_row_group == 8);
        for (; x + font::glyph_row_group <= n; x += font::glyph_row_group) {
            // Nothing to draw in a group without coverage (a glyph's edges
            // and padding): it keeps its pixels either way.
            std::uint64_t any;
            std::memcpy(&any, cov + x, sizeof any);
            if (any == 0) continue;
            // Full coverage under an opaque colour is the colour itself.
            if (any == ~std::uint64_t{0} && c.alpha == 255) {
                for (int k = 0; k < font::glyph_row_group; ++k) Fmt::store(d + (x + k) * Fmt::bytes, solid);
                continue;
            }
            if constexpr (std::is_same_v<Fmt, xrgb8888>) {
                // Each pixel's alpha in both of its halves.
                lanes8 cv;
                std::memcpy(&cv, cov + x, sizeof cv);
                const lanes16 a = coverage_lanes(__builtin_convertvector(cv, lanes16), c.alpha);
                coverage_quad32(d + x * 4, __builtin_shufflevector(a, a, 0, 0, 1, 1, 2, 2, 3, 3), c);
                coverage_quad32(d + x * 4 + 16, __builtin_shufflevector(a, a, 4, 4, 5, 5, 6, 6, 7, 7), c);
            } else {
                coverage_group<Fmt>(d + x * 2, cov + x, c);
            }
        }
    }
    for (; x < n; ++x) coverage_pixel<Fmt>(d + x * Fmt::bytes, cov[x], c);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
using wide16 = std::uint16_t __attribute__((vector_size(32)));

// coverage_row for 32-bit pixels with AVX2: a group of eight pixels is one
// vector of sixteen halves (coverage_quad32 takes four). The blend is
// written out here, as functions taking 32-byte vectors would change their
// calling convention outside AVX2 code.
[[gnu::target("avx2")]] void coverage_row32_avx2(u8 *d, const std::uint8_t *cov, int n, color_t c) {
    const wide16 odd = {0, 0xFFFF, 0, 0xFFFF, 0, 0xFFFF, 0, 0xFFFF, 0, 0xFFFF, 0, 0xFFFF, 0, 0xFFFF, 0, 0xFFFF};
    const wide16 low_source = {c.blue, c.red, c.blue, c.red, c.blue, c.red, c.blue, c.red,
                               c.blue, c.red, c.blue, c.red, c.blue, c.red, c.blue, c.red};
    const wide16 high_source = {c.green, 0, c.green, 0, c.green, 0, c.green, 0, c.green, 0, c.green, 0, c.green, 0, c.green, 0};
    const auto solid = xrgb8888::encode(c);
    int x = 0;
    for (; x + font::glyph_row_group <= n; x += font::glyph_row_group) {
        std::uint64_t any;
        std::memcpy(&any, cov + x, sizeof any);
        if (any == 0) continue;
        if (any == ~std::uint64_t{0} && c.alpha == 255) {
            for (int k = 0; k < font::glyph_row_group; ++k) xrgb8888::store(d + (x + k) * 4, solid);
            continue;
        }
        lanes8 cv;
        std::memcpy(&cv, cov + x, sizeof cv);
        const lanes16 a8 = coverage_lanes(__builtin_convertvector(cv, lanes16), c.alpha);
        const wide16 a = __builtin_shufflevector(a8, a8, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7);
        wide16 old;
        std::memcpy(&old, d + x * 4, sizeof old);
        const wide16 low_old = old & 0xFF, high_old = old >> 8;
        const wide16 vl = (255 - a) * low_old + a * low_source + 128;
        const wide16 vh = (255 - a) * high_old + a * high_source + 128;
        const wide16 low = (vl + (vl >> 8)) >> 8, high = (vh + (vh >> 8)) >> 8;
        const wide16 top = high_old & reinterpret_cast<wide16>(a == 0) & odd;
        const wide16 out = low | ((high & ~odd) | top) << 8;
        std::memcpy(d + x * 4, &out, sizeof out);
    }
    for (; x < n; ++x) coverage_pixel<xrgb8888>(d + x * 4, cov[x], c);
}
#endif

using coverage_fn = void (*)(u8 *d, const std::uint8_t *cov, int n, color_t c);

// The row for 32-bit pixels on the running CPU.
coverage_fn coverage_row32_for_this_cpu() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2 && cpu_variants_allowed()) return coverage_row32_avx2;
#endif
    return coverage_row<xrgb8888>;
}

template <class Fmt>
void fast_glyph(dc_t *dc, const glyph &g, const glyph_clip &c, color_t color, coverage_fn row) {
    int n = c.x1 - c.x0;
    // The padding draws nothing: take it where it lies inside both the row
    // of coverage and the DC.
    const int whole = (n + font::glyph_row_group - 1) / font::glyph_row_group * font::glyph_row_group;
    if (c.gx0 + whole <= g.pitch && c.x0 + whole <= dc->width) n = whole;
    for (int y = c.y0; y < c.y1; ++y) {
        const std::uint8_t *cov = g.coverage.data() + static_cast<std::size_t>(c.gy0 + y - c.y0) * static_cast<std::size_t>(g.pitch) +
                                  static_cast<std::size_t>(c.gx0);
        row(fb_pixel(dc, c.x0, y, Fmt::bytes), cov, n, color);
    }
}

void draw_glyph(dc_t *dc, int family, coverage_fn row32, const glyph &g, std::int64_t left, std::int64_t top,
                color_t color) {
    glyph_clip c;
    if (g.width <= 0 || g.height <= 0 || !clip_glyph(dc, g, left, top, c)) return;
    switch (family) {
        case 15: fast_glyph<rgb555>(dc, g, c, color, coverage_row<rgb555>); return;
        case 16: fast_glyph<rgb565>(dc, g, c, color, coverage_row<rgb565>); return;
        case 32: fast_glyph<xrgb8888>(dc, g, c, color, row32); return;
        default: plain_glyph(dc, g, c, color); return;
    }
}

// Lays out (and, given a DC, draws) the lines of utf8 from the top-left
// corner (x, y). Returns the widest line's advance; *lines gets the count of
// lines (0 for an empty string).
std::int64_t run_text(zr_font_t *font, dc_t *dc, std::int64_t x, std::int64_t y, const char *utf8, color_t color,
                      std::int64_t *lines) {
    const font::face &f = *font->face;
    const bool drawing = dc != nullptr && color.alpha != 0;
    const int family = drawing && !plain_path_forced() ? fb_family_of(dc) : 0;
    const coverage_fn row32 = family == 32 ? coverage_row32_for_this_cpu() : nullptr;
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
            draw_glyph(dc, family, row32, *g, x + width + g->left, line_top + f.ascent - g->top, color);
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
