// The fast-path table and the functions of its rows. Each writes exactly
// what the plain path writes: the per-format encode, decode and blend are
// the formats' own (pixel_format.hpp, bitmap.hpp), and the loops keep the
// plain path's order wherever it shows.
//
// The row loops (fast_rows.hpp) are written for the vectoriser: pixels are
// read as 16-bit halves, which it de-interleaves cheaply, and blends stay in
// 16-bit lanes. Code for CPU extensions has rows of its own, always with the
// portable row behind it. On x86-64 the row loops are compiled a second time
// for AVX2, palette lookups use AVX-512 byte permutes where the CPU has
// them, and large fills use the string store. On ARM the NEON unit
// (fast_paths_neon.cpp) gives the loops the vectoriser does not find and a
// fill with 16-byte stores; on 32-bit ARM, whose baseline has no NEON, it
// also holds every row loop built a second time with NEON.
#include "fast_paths.hpp"

#include "bitmap.hpp"
#include "cpu_variant.hpp"
#include "draw.hpp"
#include "fast_rows.hpp"
#include "fb_dc.hpp"
#include "pixel_format.hpp"
#include "zr_internal.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <utility>

#if ZR_X86_64_VARIANTS
#include <immintrin.h>
#endif
#if ZR_NEON_ROWS && !defined(__aarch64__)
#include <sys/auxv.h>
#endif

namespace zr {
namespace {

// ---- the running CPU

cpu_features detect_cpu_features() {
    cpu_features has = feature_bit(cpu_feature::baseline);
#if ZR_X86_64_VARIANTS
    has |= feature_bit(cpu_feature::string_store);
    if (__builtin_cpu_supports("avx2")) has |= feature_bit(cpu_feature::avx2);
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vbmi"))
        has |= feature_bit(cpu_feature::avx512vbmi);
#endif
#if ZR_NEON_ROWS
#if defined(__aarch64__)
    has |= feature_bit(cpu_feature::neon);  // part of the architecture
#else
    if ((getauxval(AT_HWCAP) & HWCAP_ARM_NEON) != 0) has |= feature_bit(cpu_feature::neon);
#endif
#endif
    return has;
}

#if ZR_X86_64_VARIANTS
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

// fill_cells from string_store_bytes on, by the string store where allowed;
// false when it is not. Out of line, so that small fills save no registers.
[[gnu::noinline]] bool large_fill(unsigned char *p, const unsigned char (&cell)[4], std::size_t count) {
    if (!cpu_allows(cpu_feature::string_store)) return false;
    std::uint32_t word;
    std::memcpy(&word, cell, 4);
    for (std::size_t done = 0; done < count; done += string_store_piece)
        store_string(p + 4 * done, word, std::min(string_store_piece, count - done));
    return true;
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

// ---- bitmap rows onto a screen format
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

// Table lookups stay scalar, as in SDL: kept out of line, away from the
// table's definition, the loop is not turned into emulated vector gathers,
// which are slower here than plain loads. Four 16-bit pixels go out as one
// 64-bit store instead of four.
template <class Dst>
[[gnu::noinline]] void index8_row(u8 *d, const u8 *s, std::size_t n, const typename Dst::pixel *table) {
    if constexpr (Dst::bytes == 2) {
        for (; n >= 4; n -= 4, s += 4, d += 8)
            store_le64(d, table[s[0]] | std::uint64_t{table[s[1]]} << 16 | std::uint64_t{table[s[2]]} << 32 |
                              std::uint64_t{table[s[3]]} << 48);
    }
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

// Every row of the rectangle, top to bottom: row(destination pixel dx of the
// row, source row).
template <class Dst, class Row>
void each_row(dc_t *dst, dc_t *src, const blit_rect &r, Row row) {
    for (int i = 0; i < r.height; ++i)
        row(fb_pixel(dst, r.dx, r.dy + i, Dst::bytes), bmp::bitmap_row(src, r.sy + i));
}

const bmp_t *as_bmp(const dc_t *dc) { return reinterpret_cast<const bmp_t *>(dc); }

template <class Dst, int Bits>
void packed_index_rows(dc_t *dst, dc_t *src, const blit_rect &r) {
    constexpr auto index_at = Bits == 1 ? bmp::index1_at : bmp::index4_at;
    const palette_table<Dst> t(as_bmp(src), 1 << Bits);
    each_row<Dst>(dst, src, r, [&](u8 *d, const u8 *s) {
        packed_index_row<Dst, index_at>(d, s, r.sx, r.width, t.pixel);
    });
}

// each_row for 8-bit palette sources. Their rows lie bottom-up, so each
// row read is the one below the last in memory, and the CPU's prefetcher,
// which follows ascending addresses, starts every row cold. Asking for the
// next row's lines before converting this one measured 1.3 to 1.5 times
// faster once the rows no longer fit the caches (1920x1080).
template <class Dst, class Row>
void each_index8_row(dc_t *dst, dc_t *src, const blit_rect &r, Row row) {
    const auto n = static_cast<std::size_t>(r.width);
    for (int i = 0; i < r.height; ++i) {
        if (i + 1 < r.height) {
            const u8 *next = bmp::bitmap_row(src, r.sy + i + 1) + r.sx;
            for (std::size_t k = 0; k < n; k += 64) __builtin_prefetch(next + k);
        }
        row(fb_pixel(dst, r.dx, r.dy + i, Dst::bytes), bmp::bitmap_row(src, r.sy + i) + r.sx, n);
    }
}

template <class Dst>
void index8_rows(dc_t *dst, dc_t *src, const blit_rect &r) {
    const palette_table<Dst> t(as_bmp(src), 256);
    each_index8_row<Dst>(dst, src, r, [&](u8 *d, const u8 *s, std::size_t n) { index8_row<Dst>(d, s, n, t.pixel); });
}

template <class Dst>
void packed16_rows(dc_t *dst, dc_t *src, const blit_rect &r) {
    const packed16_tables<Dst> t(as_bmp(src));
    const auto n = static_cast<std::size_t>(r.width);
    each_row<Dst>(dst, src, r, [&](u8 *d, const u8 *s) { packed16_row<Dst>(d, s + 2 * r.sx, n, t); });
}

// The rows of 24- and 32-bit sources through one row loop: a portable one
// (inlined here), or one built for a CPU extension.
template <class Dst, row_fn Row, int SrcBytes>
void loop_rows(dc_t *dst, dc_t *src, const blit_rect &r) {
    const auto n = static_cast<std::size_t>(r.width);
    each_row<Dst>(dst, src, r, [&](u8 *d, const u8 *s) { Row(d, s + SrcBytes * r.sx, n); });
}

#if ZR_X86_64_VARIANTS
// A row loop compiled for AVX2, where the vectoriser uses 32-byte vectors and
// byte shuffles.
template <row_fn row>
[[gnu::target("avx2")]] void avx2_row(u8 *d, const u8 *s, std::size_t n) {
    row(d, s, n);
}

// 8-bit palette rows with AVX-512 byte permutes: the table of destination
// pixels is cut into byte planes, byte k of every entry in plane k, and each
// plane of 256 bytes is four 64-byte registers. Two two-register permutes
// look 64 indexes up in each half of a plane, and the index's top bit picks
// the half; the planes are then interleaved into pixels again.
#define ZR_VBMI [[gnu::target("avx512f,avx512bw,avx512vbmi")]]

// The palette as byte planes: plane k holds byte k of every entry's pixel.
template <class Dst>
struct byte_planes {
    alignas(64) u8 plane[Dst::bytes][256];
};

ZR_VBMI inline __m512i vbmi_lookup(const u8 *plane, __m512i idx, __mmask64 top) {
    const __m512i q0 = _mm512_load_si512(plane), q1 = _mm512_load_si512(plane + 64);
    const __m512i q2 = _mm512_load_si512(plane + 128), q3 = _mm512_load_si512(plane + 192);
    return _mm512_mask_blend_epi8(top, _mm512_permutex2var_epi8(q0, idx, q1), _mm512_permutex2var_epi8(q2, idx, q3));
}

template <class Dst>
ZR_VBMI void index8_row_vbmi(u8 *d, const u8 *s, std::size_t n, const byte_planes<Dst> &p,
                             const typename Dst::pixel *table) {
    // Picks of 64-bit pieces from two registers: for 16-bit pixels, the
    // lanes of both in pixel order; for 32-bit ones, lanes 0-1 or 2-3 of
    // both, then the even or the odd lanes of both.
    const __m512i first = _mm512_set_epi64(11, 10, 3, 2, 9, 8, 1, 0);
    const __m512i second = _mm512_set_epi64(15, 14, 7, 6, 13, 12, 5, 4);
    const __m512i lanes01 = _mm512_set_epi64(11, 10, 9, 8, 3, 2, 1, 0);
    const __m512i lanes23 = _mm512_set_epi64(15, 14, 13, 12, 7, 6, 5, 4);
    const __m512i even_lanes = _mm512_set_epi64(13, 12, 9, 8, 5, 4, 1, 0);
    const __m512i odd_lanes = _mm512_set_epi64(15, 14, 11, 10, 7, 6, 3, 2);
    for (; n >= 64; n -= 64, s += 64, d += 64 * Dst::bytes) {
        const __m512i idx = _mm512_loadu_si512(s);
        const __mmask64 top = _mm512_movepi8_mask(idx);
        const __m512i p0 = vbmi_lookup(p.plane[0], idx, top), p1 = vbmi_lookup(p.plane[1], idx, top);
        // Within each 16-byte lane, pixels 0-7 and 8-15 of the lane.
        const __m512i lo01 = _mm512_unpacklo_epi8(p0, p1), hi01 = _mm512_unpackhi_epi8(p0, p1);
        if constexpr (Dst::bytes == 2) {
            _mm512_storeu_si512(d, _mm512_permutex2var_epi64(lo01, first, hi01));
            _mm512_storeu_si512(d + 64, _mm512_permutex2var_epi64(lo01, second, hi01));
        } else {
            const __m512i p2 = vbmi_lookup(p.plane[2], idx, top), p3 = vbmi_lookup(p.plane[3], idx, top);
            const __m512i lo23 = _mm512_unpacklo_epi8(p2, p3), hi23 = _mm512_unpackhi_epi8(p2, p3);
            // Pixels 0-3, 4-7, 8-11 and 12-15 of each lane, then the lanes
            // transposed into pixel order.
            const __m512i q0 = _mm512_unpacklo_epi16(lo01, lo23), q1 = _mm512_unpackhi_epi16(lo01, lo23);
            const __m512i q2 = _mm512_unpacklo_epi16(hi01, hi23), q3 = _mm512_unpackhi_epi16(hi01, hi23);
            const __m512i t0 = _mm512_permutex2var_epi64(q0, lanes01, q1);
            const __m512i t1 = _mm512_permutex2var_epi64(q2, lanes01, q3);
            const __m512i t2 = _mm512_permutex2var_epi64(q0, lanes23, q1);
            const __m512i t3 = _mm512_permutex2var_epi64(q2, lanes23, q3);
            _mm512_storeu_si512(d, _mm512_permutex2var_epi64(t0, even_lanes, t1));
            _mm512_storeu_si512(d + 64, _mm512_permutex2var_epi64(t0, odd_lanes, t1));
            _mm512_storeu_si512(d + 128, _mm512_permutex2var_epi64(t2, even_lanes, t3));
            _mm512_storeu_si512(d + 192, _mm512_permutex2var_epi64(t2, odd_lanes, t3));
        }
    }
    for (; n > 0; --n, ++s, d += Dst::bytes) Dst::store(d, table[*s]);
}

template <class Dst>
void index8_rows_vbmi(dc_t *dst, dc_t *src, const blit_rect &r) {
    const palette_table<Dst> t(as_bmp(src), 256);
    byte_planes<Dst> p;
    for (int i = 0; i < 256; ++i) {
        u8 v[Dst::bytes];
        Dst::store(v, t.pixel[i]);
        for (int k = 0; k < Dst::bytes; ++k) p.plane[k][i] = v[k];
    }
    each_index8_row<Dst>(dst, src, r,
                         [&](u8 *d, const u8 *s, std::size_t n) { index8_row_vbmi<Dst>(d, s, n, p, t.pixel); });
}
#undef ZR_VBMI
#endif

// ---- glyphs

// A glyph's coverage through one row loop. The padding draws nothing: it is
// taken where it lies inside both the row of coverage and the DC, so rows
// run in whole groups.
// Rows of one or two pixels go pixel by pixel here, as the row loops'
// tails do, without the call (and an AVX2 row's setup) for each row: the
// edges of a smooth shape's straight sides.
template <class Fmt, coverage_row_fn Row>
void glyph_rows(dc_t *dc, const coverage_rect &m, color_t c) {
    int n = m.width;
    const int whole = (n + coverage_group - 1) / coverage_group * coverage_group;
    if (whole - n <= m.slack && m.x + whole <= dc->width) n = whole;
    if (n <= 2) {
        // A shape's upright side: one or two pixels down many rows, often
        // covered whole by an opaque pen.
        const bool opaque = c.alpha == 255;
        const auto solid = Fmt::encode(c);
        for (int y = 0; y < m.height; ++y) {
            u8 *d = fb_pixel(dc, m.x, m.y + y, Fmt::bytes);
            const std::uint8_t *cov = m.cov + static_cast<std::size_t>(y) * m.pitch;
            for (int x = 0; x < n; ++x)
                if (opaque && cov[x] == 255)
                    Fmt::store(d + x * Fmt::bytes, solid);
                else
                    coverage_pixel<Fmt>(d + x * Fmt::bytes, cov[x], c);
        }
        return;
    }
    for (int y = 0; y < m.height; ++y)
        Row(fb_pixel(dc, m.x, m.y + y, Fmt::bytes), m.cov + static_cast<std::size_t>(y) * m.pitch, n, c);
}

#if ZR_X86_64_VARIANTS
using wide16 = std::uint16_t __attribute__((vector_size(32)));
using wide32 = std::uint32_t __attribute__((vector_size(32)));

// coverage_row for 32-bit pixels of byte channels with AVX2: a group of
// eight pixels is one vector of sixteen halves (coverage_quad32 takes four).
// The blend is written out here, as functions taking 32-byte vectors would
// change their calling convention outside AVX2 code.
template <class Fmt>
[[gnu::target("avx2")]] void coverage_row32_avx2(u8 *d, const std::uint8_t *cov, int n, color_t c) {
    static_assert(Fmt::bytes == 4 && Fmt::byte_channels);
    const wide16 odd = {0, 0xFFFF, 0, 0xFFFF, 0, 0xFFFF, 0, 0xFFFF, 0, 0xFFFF, 0, 0xFFFF, 0, 0xFFFF, 0, 0xFFFF};
    // The sources as pairs of halves, built in 32-bit lanes.
    const wide16 low_source = reinterpret_cast<wide16>(wide32{} + half_pair(Fmt::byte_of(c, 0), Fmt::byte_of(c, 2)));
    const wide16 high_source = reinterpret_cast<wide16>(wide32{} + half_pair(Fmt::byte_of(c, 1), 0));
    const auto solid = Fmt::encode(c);
    int x = 0;
    for (; x + coverage_group <= n; x += coverage_group) {
        std::uint64_t any;
        std::memcpy(&any, cov + x, sizeof any);
        if (any == 0) continue;
        if (any == ~std::uint64_t{0} && c.alpha == 255) {
            for (int k = 0; k < coverage_group; ++k) Fmt::store(d + (x + k) * 4, solid);
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
    for (; x < n; ++x) coverage_pixel<Fmt>(d + x * 4, cov[x], c);
}
#endif

// ---- quarter turns
//
// Blocks of pixels transposed in vector registers by interleaving rows, as
// pixman and libjpeg-turbo's transforms do: 4 x 4 32-bit pixels or 8 x 8
// 16-bit ones in SSE2 (the x86-64 baseline), 8 x 8 32-bit pixels in AVX2.
// The block's rows come from source rows and go to destination rows; the
// tiles and the edges are turn_tiles' (fast_rows.hpp).

#if ZR_X86_64_VARIANTS
template <class Fmt>
[[gnu::always_inline]] inline void turn4x4_sse2(u8 *d, std::ptrdiff_t dp, const u8 *s, std::ptrdiff_t sp) {
    const __m128i keep = _mm_set1_epi32(static_cast<int>(channel_bits<Fmt>));
    const auto row = [&](int i) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i * sp)); };
    const __m128i r0 = row(0), r1 = row(1), r2 = row(2), r3 = row(3);
    const __m128i t0 = _mm_unpacklo_epi32(r0, r1), t1 = _mm_unpacklo_epi32(r2, r3);  // columns 0, 1
    const __m128i t2 = _mm_unpackhi_epi32(r0, r1), t3 = _mm_unpackhi_epi32(r2, r3);  // columns 2, 3
    const auto put = [&](int i, __m128i v) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + i * dp), _mm_and_si128(v, keep));
    };
    put(0, _mm_unpacklo_epi64(t0, t1));
    put(1, _mm_unpackhi_epi64(t0, t1));
    put(2, _mm_unpacklo_epi64(t2, t3));
    put(3, _mm_unpackhi_epi64(t2, t3));
}

template <class Fmt>
[[gnu::always_inline]] inline void turn8x8_sse2(u8 *d, std::ptrdiff_t dp, const u8 *s, std::ptrdiff_t sp) {
    const __m128i keep = _mm_set1_epi16(static_cast<short>(channel_bits<Fmt>));
    const auto row = [&](int i) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i * sp)); };
    __m128i a[8], b[8];
    // Pairs of rows, then pairs of pairs, then halves: columns in order.
    for (int i = 0; i < 8; i += 2) {
        const __m128i r0 = row(i), r1 = row(i + 1);
        a[i] = _mm_unpacklo_epi16(r0, r1);
        a[i + 1] = _mm_unpackhi_epi16(r0, r1);
    }
    for (int i = 0; i < 8; i += 4) {
        b[i] = _mm_unpacklo_epi32(a[i], a[i + 2]);
        b[i + 1] = _mm_unpackhi_epi32(a[i], a[i + 2]);
        b[i + 2] = _mm_unpacklo_epi32(a[i + 1], a[i + 3]);
        b[i + 3] = _mm_unpackhi_epi32(a[i + 1], a[i + 3]);
    }
    for (int i = 0; i < 4; ++i) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 2 * i * dp),
                         _mm_and_si128(_mm_unpacklo_epi64(b[i], b[i + 4]), keep));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + (2 * i + 1) * dp),
                         _mm_and_si128(_mm_unpackhi_epi64(b[i], b[i + 4]), keep));
    }
}

template <class Fmt>
void turn_sse2(u8 *d, std::ptrdiff_t dp, const u8 *s, std::ptrdiff_t sp, int w, int h) {
    if constexpr (Fmt::bytes == 4) {
        turn_tiles<Fmt, 4, turn4x4_sse2<Fmt>>(d, dp, s, sp, w, h);
    } else {
        turn_tiles<Fmt, 8, turn8x8_sse2<Fmt>>(d, dp, s, sp, w, h);
    }
}

// The block is a call of its own: turn_tiles, portable code, cannot take
// AVX2 code inline.
#define ZR_AVX2 [[gnu::target("avx2")]]
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i avx2_row(const u8 *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }

template <class Fmt>
ZR_AVX2 void turn8x8_avx2(u8 *d, std::ptrdiff_t dp, const u8 *s, std::ptrdiff_t sp) {
    const __m256i keep = _mm256_set1_epi32(static_cast<int>(channel_bits<Fmt>));
    __m256i a[8], b[8];
    // Within each 128-bit half as turn4x4_sse2, then the halves crossed.
    for (int i = 0; i < 8; i += 2) {
        const __m256i r0 = avx2_row(s + i * sp), r1 = avx2_row(s + (i + 1) * sp);
        a[i] = _mm256_unpacklo_epi32(r0, r1);
        a[i + 1] = _mm256_unpackhi_epi32(r0, r1);
    }
    for (int i = 0; i < 8; i += 4) {
        b[i] = _mm256_unpacklo_epi64(a[i], a[i + 2]);
        b[i + 1] = _mm256_unpackhi_epi64(a[i], a[i + 2]);
        b[i + 2] = _mm256_unpacklo_epi64(a[i + 1], a[i + 3]);
        b[i + 3] = _mm256_unpackhi_epi64(a[i + 1], a[i + 3]);
    }
    for (int i = 0; i < 4; ++i) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + i * dp),
                            _mm256_and_si256(_mm256_permute2x128_si256(b[i], b[i + 4], 0x20), keep));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + (i + 4) * dp),
                            _mm256_and_si256(_mm256_permute2x128_si256(b[i], b[i + 4], 0x31), keep));
    }
}

template <class Fmt>
[[gnu::target("avx2")]] void turn_avx2(u8 *d, std::ptrdiff_t dp, const u8 *s, std::ptrdiff_t sp, int w, int h) {
    turn_tiles<Fmt, 8, turn8x8_avx2<Fmt>>(d, dp, s, sp, w, h);
}
#undef ZR_AVX2
#endif

// ---- the table

// Room for every row; the table below is cut to the rows added.
struct table_builder {
    std::array<fast_path, 128> rows{};
    std::size_t size = 0;
    constexpr void add(fast_op op, pixel_format src, pixel_format dst, cpu_feature needs, fast_fn fn) {
        rows[size++] = fast_path{op, src, dst, needs, fn};
    }
};

constexpr fast_fn as_fill(fill_fn f) { return fast_fn{.fill = f}; }
constexpr fast_fn as_line(line_fn f) { return fast_fn{.line = f}; }
constexpr fast_fn as_blit(blit_fn f) { return fast_fn{.blit = f}; }
constexpr fast_fn as_glyph(glyph_fn f) { return fast_fn{.glyph = f}; }
constexpr fast_fn as_turn(turn_fn f) { return fast_fn{.turn = f}; }

// The rows onto one screen format, rows for CPU extensions first.
template <class Dst>
constexpr void add_rows(table_builder &t) {
    using enum cpu_feature;
    using pf = pixel_format;
    const pf d = Dst::id;
    t.add(fast_op::fill, pf::none, d, baseline, as_fill(fill_rect<Dst>));
    t.add(fast_op::line, pf::none, d, baseline, as_line(sloped_line<Dst>));
#if ZR_X86_64_VARIANTS
    if constexpr (Dst::bytes == 4 && Dst::byte_channels)
        t.add(fast_op::glyph, pf::a8, d, avx2, as_glyph(glyph_rows<Dst, coverage_row32_avx2<Dst>>));
#endif
    t.add(fast_op::glyph, pf::a8, d, baseline, as_glyph(glyph_rows<Dst, coverage_row<Dst>>));
    t.add(fast_op::copy, pf::index1, d, baseline, as_blit(packed_index_rows<Dst, 1>));
    t.add(fast_op::copy, pf::index4, d, baseline, as_blit(packed_index_rows<Dst, 4>));
#if ZR_X86_64_VARIANTS
    t.add(fast_op::copy, pf::index8, d, avx512vbmi, as_blit(index8_rows_vbmi<Dst>));
#endif
    t.add(fast_op::copy, pf::index8, d, baseline, as_blit(index8_rows<Dst>));
    t.add(fast_op::copy, pf::bitfield16, d, baseline, as_blit(packed16_rows<Dst>));
    // The 24- and 32-bit sources: one row loop each, by CPU.
#if ZR_X86_64_VARIANTS
    t.add(fast_op::copy, pf::bgr24, d, avx2, as_blit(loop_rows<Dst, avx2_row<bgr24_row<Dst>>, 3>));
    t.add(fast_op::copy, pf::bgra32, d, avx2, as_blit(loop_rows<Dst, avx2_row<bgra32_row<Dst>>, 4>));
    t.add(fast_op::blend, pf::bgra32, d, avx2, as_blit(loop_rows<Dst, avx2_row<blend_row<Dst>>, 4>));
#endif
#if ZR_NEON_ROWS
    if constexpr (neon_has_row<Dst>(neon_row::bgr24))
        t.add(fast_op::copy, pf::bgr24, d, neon, as_blit(loop_rows<Dst, neon_bgr24_row<Dst>, 3>));
    if constexpr (neon_has_row<Dst>(neon_row::bgra32))
        t.add(fast_op::copy, pf::bgra32, d, neon, as_blit(loop_rows<Dst, neon_bgra32_row<Dst>, 4>));
    if constexpr (neon_has_row<Dst>(neon_row::blend))
        t.add(fast_op::blend, pf::bgra32, d, neon, as_blit(loop_rows<Dst, neon_blend_row<Dst>, 4>));
#endif
    t.add(fast_op::copy, pf::bgr24, d, baseline, as_blit(loop_rows<Dst, bgr24_row<Dst>, 3>));
    t.add(fast_op::copy, pf::bgra32, d, baseline, as_blit(loop_rows<Dst, bgra32_row<Dst>, 4>));
    t.add(fast_op::blend, pf::bgra32, d, baseline, as_blit(loop_rows<Dst, blend_row<Dst>, 4>));
    // Quarter turns: by the pixel's size, whatever its channels.
#if ZR_X86_64_VARIANTS
    if constexpr (Dst::bytes == 4) t.add(fast_op::turn, pf::none, d, avx2, as_turn(turn_avx2<Dst>));
    t.add(fast_op::turn, pf::none, d, baseline, as_turn(turn_sse2<Dst>));
#else
#if ZR_NEON_ROWS
    t.add(fast_op::turn, pf::none, d, neon, as_turn(neon_turn<Dst>));
#endif
    t.add(fast_op::turn, pf::none, d, baseline, as_turn(turn_portable<Dst>));
#endif
}

constexpr table_builder build_table() {
    table_builder t;
    screen_formats::each([&]<class Dst>() { add_rows<Dst>(t); });
    return t;
}

constexpr table_builder built = build_table();

// A portable row is tried last for its formats: a row after it could never
// be found.
constexpr bool portable_rows_come_last() {
    for (std::size_t i = 0; i < built.size; ++i)
        for (std::size_t j = i + 1; j < built.size; ++j) {
            const fast_path &a = built.rows[i], &b = built.rows[j];
            if (a.needs == cpu_feature::baseline && a.op == b.op && a.src == b.src && a.dst == b.dst) return false;
        }
    return true;
}
static_assert(portable_rows_come_last());

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

}  // namespace

// ---- finding a row

std::span<const fast_path> fast_path_table() { return {built.rows.data(), built.size}; }

cpu_features allowed_cpu_features() {
    // cpu_variants_allowed() is false also while the plain path is forced.
    if (!cpu_variants_allowed()) return plain_path_forced() ? 0 : feature_bit(cpu_feature::baseline);
    static const cpu_features has = detect_cpu_features();
    return has;
}

// Each query's answer is kept, for the features allowed when it was asked:
// a call then costs one load.
const fast_path *find_fast_path(fast_op op, pixel_format src, pixel_format dst) {
    constexpr int n = pixel_format_count;
    static const fast_path unknown{};
    static const fast_path *answers[fast_op_count * n * n];
    static cpu_features answered_for = 0;
    const cpu_features allowed = allowed_cpu_features();
    if (allowed == 0) return nullptr;
    if (allowed != answered_for) {
        std::fill(std::begin(answers), std::end(answers), &unknown);
        answered_for = allowed;
    }
    const fast_path *&answer = answers[(static_cast<int>(op) * n + static_cast<int>(src)) * n + static_cast<int>(dst)];
    if (answer == &unknown) {
        answer = nullptr;
        for (const fast_path &row : fast_path_table()) {
            if (row.op == op && row.src == src && row.dst == dst && (allowed & feature_bit(row.needs)) != 0) {
                answer = &row;
                break;
            }
        }
    }
    return answer;
}

pixel_format format_of(const dc_t *dc) {
    const pixel_format f = fb_format_of(dc);
    return f != pixel_format::none ? f : bmp::bitmap_format_of(dc);
}

// ---- the callers' entry points

bool fast_sloped_line(dc_t *dc, int x0, int y0, int x, int y, color_t color) {
    const fast_path *p = find_fast_path(fast_op::line, pixel_format::none, fb_format_of(dc));
    if (p == nullptr) return false;
    p->fn.line(dc, x0, y0, x, y, color);
    return true;
}

bool fast_fill_rect(dc_t *dc, int left, int top, int right, int bottom, color_t color) {
    const fast_path *p = find_fast_path(fast_op::fill, pixel_format::none, fb_format_of(dc));
    if (p == nullptr) return false;
    p->fn.fill(dc, left, top, right, bottom, color);
    return true;
}

bool fast_bitblt(dc_t *dst, dc_t *src, const blit_rect &r) {
    if (r.empty()) return false;
    const pixel_format from = bmp::bitmap_format_of(src), to = fb_format_of(dst);
    const fast_op op = src->dc_type == DC_TYPE_ALPHA ? fast_op::blend : fast_op::copy;
    const fast_path *p = find_fast_path(op, from, to);
    if (p == nullptr || rows_overlap(dst, bits_per_pixel(to) / 8, src, bits_per_pixel(from), r)) return false;
    p->fn.blit(dst, src, r);
    return true;
}

glyph_fn fast_glyph_for(const dc_t *dc) {
    const fast_path *p = find_fast_path(fast_op::glyph, pixel_format::a8, fb_format_of(dc));
    return p != nullptr ? p->fn.glyph : nullptr;
}

turn_fn fast_turn_for(pixel_format f) {
    const fast_path *p = find_fast_path(fast_op::turn, pixel_format::none, f);
    return p != nullptr ? p->fn.turn : nullptr;
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
    if (count * 4 >= string_store_bytes && large_fill(p, cell, count)) return;
#endif
    // Four equal bytes are what memset stores, by the C library's fastest
    // means (on ARM it clears whole cache lines for zero).
    if (cell[0] == cell[1] && cell[0] == cell[2] && cell[0] == cell[3]) {
        std::memset(p, cell[0], count * 4);
        return;
    }
#if ZR_NEON_ROWS
    // The C library's wmemset stores one cell at a time on ARM.
    if (cpu_allows(cpu_feature::neon)) return neon_fill_cells(p, cell, count);
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
