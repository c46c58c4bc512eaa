// Fast paths. The functions at the end pick one; above them, one small
// function per path. Each writes exactly what the plain path writes: the
// per-format encode and decode are the slots' own (pixel_format.hpp,
// bitmap.hpp), and the loops keep the plain path's order wherever it shows.
//
// The row loops (fast_rows.hpp) are written for the vectoriser: pixels are
// read as 16-bit halves, which it de-interleaves cheaply, and blends stay in
// 16-bit lanes. Code for CPU extensions is picked at run time, always with
// the portable code beside it (cpu_variants_allowed). On x86-64 the row loops
// are compiled a second time for AVX2, and large fills use the string store.
// On ARM the NEON unit (fast_paths_neon.cpp) gives the loops the vectoriser
// does not find and a fill with 16-byte stores; on 32-bit ARM, whose baseline
// has no NEON, it also holds every row loop built a second time with NEON.
#include "fast_paths.hpp"

#include "bitmap.hpp"
#include "draw.hpp"
#include "fast_rows.hpp"
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

#ifndef ZR_NEON_ROWS
#define ZR_NEON_ROWS 0
#endif
#if ZR_NEON_ROWS && !defined(__aarch64__)
#include <sys/auxv.h>
#endif

namespace zr {
namespace {

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

#if ZR_NEON_ROWS
bool cpu_has_neon() {
#if defined(__aarch64__)
    return true;  // part of the architecture
#else
    static const bool has = (getauxval(AT_HWCAP) & HWCAP_ARM_NEON) != 0;
    return has;
#endif
}
#endif

// ---- lines and fills

// The steps of plan_sloped_steps through pixel memory: at is the byte offset
// of the pixel before the first step, major and minor the offsets of one step
// along each axis. An offset, not a pointer, since the pixel before the first
// step, and the one after the last, may lie outside the DC. E holds twice
// along without overflow.
template <class Fmt, class E>
void step_line(u8 *base, std::ptrdiff_t at, std::ptrdiff_t major, std::ptrdiff_t minor, E along, E across, E e,
               std::int64_t count, typename Fmt::pixel v) {
    for (; count > 0; --count) {
        e += across;
        if (e >= along) {
            at += minor;
            e -= along;
        }
        Fmt::store(base + at, v);
        at += major;
    }
}

// The pixels of walk_sloped_line_visible in the same order, found by offsets
// rather than by coordinates: a store and three additions a pixel. The DC's
// fields are read once: the stores could change them as far as the compiler
// can tell, so it would read them again for every pixel.
template <class Fmt>
void sloped_line(dc_t *dc, int x0, int y0, int x, int y, color_t c) {
    const auto v = Fmt::encode(c);
    u8 *const base = dc->mapped;
    const std::ptrdiff_t stride = dc->bytes_per_line;
    const auto offset = [=](std::int64_t px, std::int64_t py) {
        return static_cast<std::ptrdiff_t>(py * stride + px * Fmt::bytes);
    };
    if (x0 >= 0 && x0 < dc->width && y0 >= 0 && y0 < dc->height) Fmt::store(base + offset(x0, y0), v);
    const sloped_steps s = plan_sloped_steps(x0, y0, x, y, dc->width, dc->height);
    if (s.count <= 0) return;
    const std::ptrdiff_t major = s.sa * (s.x_major ? Fmt::bytes : stride);
    const std::ptrdiff_t minor = s.sb * (s.x_major ? stride : Fmt::bytes);
    const std::ptrdiff_t at = s.x_major ? offset(s.a, s.b) : offset(s.b, s.a);
    // 32-bit error terms where they fit: half the work on 32-bit CPUs.
    if (s.along < (std::uint64_t{1} << 31)) {
        step_line<Fmt, std::uint32_t>(base, at, major, minor, static_cast<std::uint32_t>(s.along),
                                      static_cast<std::uint32_t>(s.across), static_cast<std::uint32_t>(s.e),
                                      s.count, v);
    } else {
        step_line<Fmt, std::uint64_t>(base, at, major, minor, s.along, s.across, s.e, s.count, v);
    }
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

// The row loops of the 24- and 32-bit sources for the running CPU. On x86-64
// they are compiled a second time for AVX2, where the vectoriser then uses
// 32-byte vectors and byte shuffles; on ARM they come from the NEON unit.
#if ZR_X86_64_VARIANTS
template <row_fn row>
[[gnu::target("avx2")]] void avx2_row(u8 *d, const u8 *s, std::size_t n) {
    row(d, s, n);
}
#endif

template <class Dst>
row_loops rows_for_this_cpu() {
    const row_loops portable{bgr24_row<Dst>, bgra32_row<Dst>, blend_row<Dst>};
    if (!cpu_variants_allowed()) return portable;
#if ZR_X86_64_VARIANTS
    if (cpu_has_avx2()) return {avx2_row<bgr24_row<Dst>>, avx2_row<bgra32_row<Dst>>, avx2_row<blend_row<Dst>>};
#endif
#if ZR_NEON_ROWS
    if (cpu_has_neon()) {
        const row_loops &neon = neon_row_loops<Dst>();
        return {neon.bgr24 ? neon.bgr24 : portable.bgr24, neon.bgra32 ? neon.bgra32 : portable.bgra32,
                neon.blend ? neon.blend : portable.blend};
    }
#endif
    return portable;
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
        const row_fn blend = rows_for_this_cpu<Dst>().blend;
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
            const row_fn convert = rows_for_this_cpu<Dst>().bgr24;
            each_row<Dst>(dst, src, r, [=](u8 *d, const u8 *s) { convert(d, s + 3 * sx, n); });
            return true;
        }
        case bitmap_family::bgra32: {
            const row_fn convert = rows_for_this_cpu<Dst>().bgra32;
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
    // Four equal bytes are what memset stores, by the C library's fastest
    // means (on ARM it clears whole cache lines for zero).
    if (cell[0] == cell[1] && cell[0] == cell[2] && cell[0] == cell[3]) {
        std::memset(p, cell[0], count * 4);
        return;
    }
#if ZR_NEON_ROWS
    // The C library's wmemset stores one cell at a time on ARM.
    if (cpu_variants_allowed() && cpu_has_neon()) return neon_fill_cells(p, cell, count);
#endif
    // wmemset stores 4-byte cells where wchar_t is 4 bytes, on x86-64 with
    // the widest stores the CPU has. The cell goes into the wchar_t byte for byte, so
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
