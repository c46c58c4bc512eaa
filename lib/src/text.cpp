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
#include <type_traits>
#include <utility>
#include <vector>

namespace zr::font {

std::size_t cache_bound(int pixel_size) {
    const auto side = static_cast<std::size_t>(std::clamp(pixel_size, 0, max_pixel_height));
    return std::max(cache_bytes, cache_glyphs * side * side);
}

const glyph *glyph_cache::add(char32_t cp, glyph g) {
    bytes_ += weight(g);
    entries_.push_back(entry{cp, ++clock_, std::move(g)});
    if (bytes_ > bound_ && entries_.size() > kept_recent) {
        drop_least_recent();
    } else if (entries_.size() * 2 > slots_.size()) {
        rebuild_index();
    } else {
        std::size_t i = home(cp);
        while (slots_[i] != 0) i = (i + 1) & (slots_.size() - 1);
        slots_[i] = static_cast<std::uint32_t>(entries_.size());
    }
    return find(cp);
}

void glyph_cache::drop_least_recent() {
    std::vector<std::uint32_t> by_use(entries_.size());
    for (std::uint32_t i = 0; i < by_use.size(); ++i) by_use[i] = i;
    std::sort(by_use.begin(), by_use.end(), [&](std::uint32_t a, std::uint32_t b) { return entries_[a].used < entries_[b].used; });
    // Uses are distinct, so every glyph used at or before `last` goes.
    const std::size_t target = bound_ - bound_ / 4;
    std::uint64_t last = 0;
    for (std::size_t i = 0; i + kept_recent < by_use.size() && bytes_ > target; ++i) {
        const entry &e = entries_[by_use[i]];
        bytes_ -= weight(e.g);
        last = e.used;
    }
    std::erase_if(entries_, [&](const entry &e) { return e.used <= last; });
    rebuild_index();
}

void glyph_cache::rebuild_index() {
    int bits = 4;
    while ((std::size_t{1} << bits) < entries_.size() * 2) ++bits;
    slot_bits_ = bits;
    slots_.assign(std::size_t{1} << bits, 0);
    for (std::size_t n = 0; n < entries_.size(); ++n) {
        std::size_t i = home(entries_[n].cp);
        while (slots_[i] != 0) i = (i + 1) & (slots_.size() - 1);
        slots_[i] = static_cast<std::uint32_t>(n + 1);
    }
}

}  // namespace zr::font

using namespace zr;
using zr::font::glyph;

namespace {

constexpr char32_t replacement_char = 0xFFFD;

// The last resort for a font without U+FFFD and '?': an outlined box. Its
// size comes from the font's height, not from its ascent alone, which a
// font may declare as anything.
glyph box_glyph(const font::face &f) {
    glyph g;
    const int from = std::clamp(std::min(f.ascent, f.pixel_size), 0, font::max_pixel_height);
    const int h = std::max(3, from * 2 / 3), w = std::max(3, h * 2 / 3);
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

namespace {

// Rows padded to whole groups of pixel_group with zero coverage, which draws
// nothing, so the fast path can draw whole groups.
constexpr int pixel_group = 8;

void pad_rows(glyph &g) {
    const int pitch = (g.width + pixel_group - 1) / pixel_group * pixel_group;
    g.pitch = pitch;
    if (pitch == g.width || g.height <= 0) return;
    std::vector<std::uint8_t> padded(static_cast<std::size_t>(pitch) * static_cast<std::size_t>(g.height), 0);
    for (int y = 0; y < g.height; ++y)
        std::memcpy(padded.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(pitch),
                    g.coverage.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(g.width),
                    static_cast<std::size_t>(g.width));
    g.coverage = std::move(padded);
}

}  // namespace

const glyph *zr_font_t::glyph_for(char32_t cp) {
    if (const glyph *g = cache.find(cp)) return g;
    glyph g;
    if (!face->render(cp, g) && !face->render(replacement_char, g) && !face->render(U'?', g)) g = box_glyph(*face);
    pad_rows(g);
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

// Groups of pixel_group pixels in 16-bit vector lanes (GCC and clang vector
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
        static_assert(pixel_group == 8);
        for (; x + pixel_group <= n; x += pixel_group) {
            // Nothing to draw in a group without coverage (a glyph's edges
            // and padding): it keeps its pixels either way.
            std::uint64_t any;
            std::memcpy(&any, cov + x, sizeof any);
            if (any == 0) continue;
            // Full coverage under an opaque colour is the colour itself.
            if (any == ~std::uint64_t{0} && c.alpha == 255) {
                for (int k = 0; k < pixel_group; ++k) Fmt::store(d + (x + k) * Fmt::bytes, solid);
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
    for (; x + pixel_group <= n; x += pixel_group) {
        std::uint64_t any;
        std::memcpy(&any, cov + x, sizeof any);
        if (any == 0) continue;
        if (any == ~std::uint64_t{0} && c.alpha == 255) {
            for (int k = 0; k < pixel_group; ++k) xrgb8888::store(d + (x + k) * 4, solid);
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
    const int whole = (n + pixel_group - 1) / pixel_group * pixel_group;
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
