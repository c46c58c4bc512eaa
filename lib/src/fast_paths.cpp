// Fast paths. The functions at the end pick one; above them, one small
// function per path. Each writes exactly what the plain path writes: the
// per-format encode and decode are the slots' own (pixel_format.hpp,
// bitmap.hpp), and the loops keep the plain path's order wherever it shows.
//
// The row loops are written for the vectoriser: pixels are read as 16-bit
// halves, which it de-interleaves cheaply, and blends stay in 16-bit lanes.
// On x86-64 two things go beyond the baseline instruction set, each picked at
// run time and each with the portable code beside it (cpu_variants_allowed):
// the row loops are compiled a second time for AVX2, and large fills use the
// string store.
#include "fast_paths.hpp"

#include "bitmap.hpp"
#include "draw.hpp"
#include "fb_dc.hpp"
#include "pixel_format.hpp"
#include "zr_internal.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <type_traits>
#include <utility>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ZR_X86_64_VARIANTS 1
#else
#define ZR_X86_64_VARIANTS 0
#endif

namespace zr {
namespace {

using u8 = unsigned char;

// Calls f with a value of the framebuffer family's pixel format (15, 16 or 32
// from fb_family_of); false for any other family.
template <class F>
bool with_fb_format(int family, F f) {
    switch (family) {
        case 15: return f(rgb555{});
        case 16: return f(rgb565{});
        case 32: return f(xrgb8888{});
        default: return false;
    }
}

// ---- the running CPU

#if ZR_X86_64_VARIANTS
bool cpu_has_avx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

// The string store: count copies of a 4-byte word from p. The CPU writes
// whole cache lines of it without first reading them, as it does for the
// byte store that memset uses; vector stores read every line before writing
// it, which costs 15-25 % of the bandwidth once a fill leaves the cache.
void store_string(unsigned char *p, std::uint32_t word, std::size_t count) {
    asm volatile("rep stosl" : "+D"(p), "+c"(count) : "a"(word) : "memory");
}

// From here on a fill is memory-bound and the string store wins; below it
// the C library's vector stores are as fast or faster.
constexpr std::size_t string_store_bytes = 16384;

// The string store goes in pieces of this many cells (256 KiB): given several
// megabytes in one piece, the CPU may write around its caches, at half the
// speed on the development machine; memset, one string store, pays that too.
constexpr std::size_t string_store_piece = 65536;
#endif

// ---- lines and fills

// The DC's fields are read once: the stores could change them as far as the
// compiler can tell, so it would read them again for every pixel.
template <class Fmt>
void sloped_line(dc_t *dc, int x0, int y0, int x, int y, color_t c) {
    const auto v = Fmt::encode(c);
    const int w = dc->width, h = dc->height;
    u8 *const base = dc->mapped;
    const std::ptrdiff_t stride = dc->bytes_per_line;
    walk_sloped_line_visible(x0, y0, x, y, w, h, [=](int px, int py) {
        if (px >= 0 && px < w && py >= 0 && py < h) Fmt::store(base + py * stride + px * Fmt::bytes, v);
    });
}

int clamp_to(int v, int limit) { return v < 0 ? 0 : v >= limit ? limit - 1 : v; }

// The rows that zr_hline draws (rows outside are rejected) over the columns
// it clamps to: a span beyond an edge keeps the edge pixel.
template <class Fmt>
void fill_rect(dc_t *dc, int left, int top, int right, int bottom, color_t c) {
    if (dc->width <= 0) return;
    const int y0 = std::max(top, 0), y1 = std::min(bottom, dc->height - 1);
    if (y0 > y1) return;
    const int x0 = clamp_to(left, dc->width), x1 = clamp_to(right, dc->width);
    const auto v = Fmt::encode(c);
    const auto n = static_cast<std::size_t>(x1 - x0) + 1;
    const auto rows = static_cast<std::size_t>(y1 - y0) + 1;
    // Whole rows with no gap between them are one run.
    if (n == static_cast<std::size_t>(dc->width) &&
        dc->bytes_per_line == static_cast<std::int64_t>(dc->width) * Fmt::bytes) {
        fill_pixels<Fmt>(fb_pixel(dc, 0, y0, Fmt::bytes), n * rows, v);
        return;
    }
    for (int y = y0; y <= y1; ++y) fill_pixels<Fmt>(fb_pixel(dc, x0, y, Fmt::bytes), n, v);
}

// ---- bitmap rows onto a framebuffer format
//
// Each row function converts n pixels from s to d. Counts and indexes are
// unsigned sizes, so no index arithmetic can overflow and the compiler's
// loop analysis stays exact.

// Palette sources: every index's destination pixel, worked out once per
// call from the colour the bitmap reads for that index.
template <class Dst>
struct palette_table {
    typename Dst::pixel pixel[256];
    palette_table(const bmp_t *bmp, int entries) {
        for (int i = 0; i < entries; ++i) pixel[i] = Dst::encode(bmp::palette_color(bmp, i));
    }
};

// Table lookups stay scalar, one load and one store a pixel, as in SDL:
// kept out of line, away from the table's definition, the loop is not turned
// into emulated vector gathers, which are slower here than plain loads.
template <class Dst>
[[gnu::noinline]] void index8_row(u8 *d, const u8 *s, std::size_t n, const typename Dst::pixel *table) {
#pragma GCC unroll 8
    for (; n > 0; --n, ++s, d += Dst::bytes) Dst::store(d, table[*s]);
}

// 1- and 4-bit rows: sx is the first source pixel within the row.
template <class Dst, int (*index_at)(const u8 *, int)>
void packed_index_row(u8 *d, const u8 *row, int sx, int n, const typename Dst::pixel *table) {
    for (int x = 0; x < n; ++x, d += Dst::bytes) Dst::store(d, table[index_at(row, sx + x)]);
}

// 16-bit sources: a colour is read through the bitmap's masks, and every
// step from the value to the destination pixel (masking, shifting, dropping
// bits, packing) acts on each bit on its own, so the pixel of a value is the
// pixel of its low byte OR the pixel of its high byte. Two tables of 256
// entries, built through the bitmap's own reading, replace the masks.
template <class Dst>
struct packed16_tables {
    typename Dst::pixel low[256], high[256];
    explicit packed16_tables(const bmp_t *bmp) {
        for (std::uint32_t i = 0; i < 256; ++i) {
            low[i] = Dst::encode(bmp::packed16_color(bmp, i));
            high[i] = Dst::encode(bmp::packed16_color(bmp, i << 8));
        }
    }
};

// Out of line for the reason given at index8_row.
template <class Dst>
[[gnu::noinline]] void packed16_row(u8 *d, const u8 *s, std::size_t n, const packed16_tables<Dst> &t) {
    for (; n > 0; --n, s += 2, d += Dst::bytes)
        Dst::store(d, static_cast<typename Dst::pixel>(t.low[s[0]] | t.high[s[1]]));
}

// 24-bit sources: bytes blue, green, red.
template <class Dst>
[[gnu::always_inline]] inline void bgr24_row(u8 *d, const u8 *s, std::size_t n) {
    if constexpr (std::is_same_v<Dst, xrgb8888>) {
        // The 32-bit pixel is the three bytes with a zero byte on top: eight
        // source pixels are three 64-bit words, cut into four pairs.
        constexpr std::uint64_t m = 0xFFFFFF;
        for (std::size_t i = n / 8; i > 0; --i, s += 24, d += 32) {
            const std::uint64_t q0 = load_le64(s), q1 = load_le64(s + 8), q2 = load_le64(s + 16);
            store_le64(d, (q0 & m) | (q0 >> 24 & m) << 32);
            store_le64(d + 8, ((q0 >> 48 | q1 << 16) & m) | (q1 >> 8 & m) << 32);
            store_le64(d + 16, (q1 >> 32 & m) | ((q1 >> 56 | q2 << 8) & m) << 32);
            store_le64(d + 24, (q2 >> 16 & m) | (q2 >> 40) << 32);
        }
        n %= 8;
    }
    for (; n > 0; --n, s += 3, d += Dst::bytes) Dst::store(d, Dst::encode(color_t{s[2], s[1], s[0], 255}));
}

// 32-bit sources: bytes blue, green, red, alpha. The 16-bit formats take
// them as two 16-bit halves, green-blue and alpha-red, and pick each
// channel's top bits straight out of them: red's top 5 bits are bits 3-7 of
// the alpha-red half, green's top 6 (or 5) bits are bits 10-15 (11-15) and
// blue's top 5 are bits 3-7 of the green-blue half.
std::uint16_t from_halves(rgb565, std::uint16_t gb, std::uint16_t ar) {
    return static_cast<std::uint16_t>((ar << 8 & 0xF800) | (gb >> 5 & 0x07E0) | (gb >> 3 & 0x001F));
}
std::uint16_t from_halves(rgb555, std::uint16_t gb, std::uint16_t ar) {
    return static_cast<std::uint16_t>((ar << 7 & 0x7C00) | (gb >> 6 & 0x03E0) | (gb >> 3 & 0x001F));
}

template <class Dst>
[[gnu::always_inline]] inline void bgra32_row(u8 *d, const u8 *s, std::size_t n) {
    if constexpr (std::is_same_v<Dst, xrgb8888>) {
        // The same bytes with alpha replaced by zero.
#pragma GCC unroll 4
        for (std::size_t x = 0; x < n; ++x) store_le32(d + 4 * x, load_le32(s + 4 * x) & 0xFFFFFF);
    } else {
        for (std::size_t x = 0; x < n; ++x)
            Dst::store(d + 2 * x, from_halves(Dst{}, load_le16(s + 4 * x), load_le16(s + 4 * x + 2)));
    }
}

// The alpha rule onto a framebuffer format, per pixel: alpha 0 leaves the
// pixel as it is, anything else writes the blend of the source over the
// decoded backdrop (at alpha 255 the blend is the source itself).
template <class Dst>
[[gnu::always_inline]] inline void blend_row(u8 *d, const u8 *s, std::size_t n) {
    for (std::size_t x = 0; x < n; ++x) {
        const std::uint16_t gb = load_le16(s + 4 * x), ar = load_le16(s + 4 * x + 2);
        const std::uint16_t a = ar >> 8;
        u8 *q = d + x * Dst::bytes;
        if constexpr (std::is_same_v<Dst, xrgb8888>) {
            // Halves of the backdrop too: green-blue and top-red.
            const std::uint16_t dgb = load_le16(q), dxr = load_le16(q + 2);
            const std::uint16_t blue = blend_channel(a, gb & 0xFF, dgb & 0xFF);
            const std::uint16_t green = blend_channel(a, gb >> 8, dgb >> 8);
            const std::uint16_t red = blend_channel(a, ar & 0xFF, dxr & 0xFF);
            store_le16(q, static_cast<std::uint16_t>(green << 8 | blue));
            store_le16(q + 2, a == 0 ? dxr : red);
        } else {
            const auto old = Dst::load(q);
            color_t b{};
            Dst::decode(old, &b);
            const color_t out{static_cast<u8>(blend_channel(a, ar & 0xFF, b.red)),
                              static_cast<u8>(blend_channel(a, gb >> 8, b.green)),
                              static_cast<u8>(blend_channel(a, gb & 0xFF, b.blue)), 0};
            Dst::store(q, a == 0 ? old : Dst::encode(out));
        }
    }
}

// The row loops of the 24- and 32-bit sources for the running CPU: compiled
// a second time for AVX2 on x86-64, where the vectoriser then uses 32-byte
// vectors and byte shuffles.
using row_fn = void (*)(u8 *d, const u8 *s, std::size_t n);

#if ZR_X86_64_VARIANTS
template <row_fn row>
[[gnu::target("avx2")]] void avx2_row(u8 *d, const u8 *s, std::size_t n) {
    row(d, s, n);
}
#endif

template <row_fn row>
row_fn for_this_cpu() {
#if ZR_X86_64_VARIANTS
    if (cpu_variants_allowed() && cpu_has_avx2()) return avx2_row<row>;
#endif
    return row;
}

// ---- the transfer

// True when the bytes a transfer reads and writes may overlap; the plain
// path's pixel order then decides the outcome, so it runs instead.
bool rows_overlap(dc_t *dst, int dst_bytes, dc_t *src, int src_bits, const blit_rect &r) {
    const auto span = [](const u8 *first, const u8 *last, std::int64_t row) {
        auto a = reinterpret_cast<std::uintptr_t>(first), b = reinterpret_cast<std::uintptr_t>(last);
        if (a > b) std::swap(a, b);
        return std::pair{a, b + static_cast<std::uintptr_t>(row)};
    };
    const std::int64_t src_row = (std::int64_t{src_bits} * (r.sx + r.width) + 7) / 8;
    const auto [s0, s1] = span(bmp::bitmap_row(src, r.sy), bmp::bitmap_row(src, r.sy + r.height - 1), src_row);
    const auto [d0, d1] = span(fb_pixel(dst, r.dx, r.dy, dst_bytes),
                               fb_pixel(dst, r.dx, r.dy + r.height - 1, dst_bytes),
                               std::int64_t{r.width} * dst_bytes);
    return s0 < d1 && d0 < s1;
}

int bits_of(bmp::bitmap_family f) {
    switch (f) {
        case bmp::bitmap_family::index1: return 1;
        case bmp::bitmap_family::index4: return 4;
        case bmp::bitmap_family::index8: return 8;
        case bmp::bitmap_family::packed16: return 16;
        case bmp::bitmap_family::bgr24: return 24;
        case bmp::bitmap_family::bgra32: return 32;
        default: return 0;
    }
}

// Every row of the rectangle, top to bottom: row(destination pixel dx of the
// row, source row).
template <class Dst, class Row>
void each_row(dc_t *dst, dc_t *src, const blit_rect &r, Row row) {
    for (int i = 0; i < r.height; ++i)
        row(fb_pixel(dst, r.dx, r.dy + i, Dst::bytes), bmp::bitmap_row(src, r.sy + i));
}

template <class Dst>
bool bitmap_to_fb(dc_t *dst, dc_t *src, bmp::bitmap_family from, const blit_rect &r) {
    using bmp::bitmap_family;
    const bmp_t *bmp = reinterpret_cast<const bmp_t *>(src);
    const int sx = r.sx;
    const auto n = static_cast<std::size_t>(r.width);
    if (src->dc_type == DC_TYPE_ALPHA) {
        if (from != bitmap_family::bgra32) return false;
        const row_fn blend = for_this_cpu<blend_row<Dst>>();
        each_row<Dst>(dst, src, r, [=](u8 *d, const u8 *s) { blend(d, s + 4 * sx, n); });
        return true;
    }
    switch (from) {
        case bitmap_family::index1: {
            const palette_table<Dst> t(bmp, 2);
            each_row<Dst>(dst, src, r, [&](u8 *d, const u8 *s) {
                packed_index_row<Dst, bmp::index1_at>(d, s, sx, r.width, t.pixel);
            });
            return true;
        }
        case bitmap_family::index4: {
            const palette_table<Dst> t(bmp, 16);
            each_row<Dst>(dst, src, r, [&](u8 *d, const u8 *s) {
                packed_index_row<Dst, bmp::index4_at>(d, s, sx, r.width, t.pixel);
            });
            return true;
        }
        case bitmap_family::index8: {
            const palette_table<Dst> t(bmp, 256);
            each_row<Dst>(dst, src, r, [&](u8 *d, const u8 *s) { index8_row<Dst>(d, s + sx, n, t.pixel); });
            return true;
        }
        case bitmap_family::packed16: {
            const packed16_tables<Dst> t(bmp);
            each_row<Dst>(dst, src, r, [&](u8 *d, const u8 *s) { packed16_row<Dst>(d, s + 2 * sx, n, t); });
            return true;
        }
        case bitmap_family::bgr24: {
            const row_fn convert = for_this_cpu<bgr24_row<Dst>>();
            each_row<Dst>(dst, src, r, [=](u8 *d, const u8 *s) { convert(d, s + 3 * sx, n); });
            return true;
        }
        case bitmap_family::bgra32: {
            const row_fn convert = for_this_cpu<bgra32_row<Dst>>();
            each_row<Dst>(dst, src, r, [=](u8 *d, const u8 *s) { convert(d, s + 4 * sx, n); });
            return true;
        }
        default: return false;
    }
}

}  // namespace

// ---- the one place that picks a fast path

bool fast_sloped_line(dc_t *dc, int x0, int y0, int x, int y, color_t color) {
    if (plain_path_forced()) return false;
    return with_fb_format(fb_family_of(dc), [&](auto fmt) {
        sloped_line<decltype(fmt)>(dc, x0, y0, x, y, color);
        return true;
    });
}

bool fast_fill_rect(dc_t *dc, int left, int top, int right, int bottom, color_t color) {
    if (plain_path_forced()) return false;
    return with_fb_format(fb_family_of(dc), [&](auto fmt) {
        fill_rect<decltype(fmt)>(dc, left, top, right, bottom, color);
        return true;
    });
}

bool fast_bitblt(dc_t *dst, dc_t *src, const blit_rect &r) {
    if (plain_path_forced() || r.empty()) return false;
    const bmp::bitmap_family from = bmp::bitmap_family_of(src);
    if (from == bmp::bitmap_family::other_family) return false;
    return with_fb_format(fb_family_of(dst), [&](auto fmt) {
        using Dst = decltype(fmt);
        if (rows_overlap(dst, Dst::bytes, src, bits_of(from), r)) return false;
        return bitmap_to_fb<Dst>(dst, src, from, r);
    });
}

// ---- fills and whole-frame moves, for every DC of the library

void move_bytes(unsigned char *dst, const unsigned char *src, std::size_t n) {
    constexpr std::size_t piece = 262144;
    if (reinterpret_cast<std::uintptr_t>(dst) <= reinterpret_cast<std::uintptr_t>(src)) {
        for (std::size_t done = 0; done < n; done += piece)
            std::memmove(dst + done, src + done, std::min(piece, n - done));
    } else {
        // Backwards: a destination above its source must not overwrite
        // source bytes still to be moved.
        for (std::size_t left = n; left > 0;) {
            const std::size_t k = std::min(piece, left);
            left -= k;
            std::memmove(dst + left, src + left, k);
        }
    }
}

void fill_cells(unsigned char *p, const unsigned char (&cell)[4], std::size_t count) {
#if ZR_X86_64_VARIANTS
    if (count * 4 >= string_store_bytes && cpu_variants_allowed()) {
        std::uint32_t word;
        std::memcpy(&word, cell, 4);
        for (std::size_t done = 0; done < count; done += string_store_piece)
            store_string(p + 4 * done, word, std::min(string_store_piece, count - done));
        return;
    }
#endif
    // wmemset stores 4-byte cells where wchar_t is 4 bytes, with the widest
    // stores the CPU has. The cell goes into the wchar_t byte for byte, so
    // the bytes written are the cell's on any host.
    if constexpr (sizeof(wchar_t) == 4) {
        wchar_t w;
        std::memcpy(&w, cell, 4);
        std::wmemset(reinterpret_cast<wchar_t *>(p), w, count);
    } else {
        for (std::size_t i = 0; i < count; ++i) std::memcpy(p + 4 * i, cell, 4);
    }
}

}  // namespace zr
