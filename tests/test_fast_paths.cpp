// Fast paths against the plain path, byte for byte: seeded random calls,
// the fill and the rows at every length, and the table itself.
#include "bitmap.hpp"
#include "blit.hpp"
#include "fast_paths.hpp"
#include "pixels.hpp"
#include "recording_dc.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <random>
#include <set>
#include <sstream>
#include <utility>

namespace {

using uchar = unsigned char;
using zr::pixel_format;
using namespace zr_test;

struct random_source {
    std::mt19937 rng;
    int in(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    bool one_in(int n) { return in(1, n) == 1; }
    // Biased to 0 and 255, the values with their own rules.
    uchar byte() { return uchar(one_in(3) ? (one_in(2) ? 0 : 255) : in(0, 255)); }
    color_t colour() { return {uchar(in(0, 255)), uchar(in(0, 255)), uchar(in(0, 255)), byte()}; }
};

// Masks for 16-bit bitmaps: the default 5-5-5, 5-6-5 bit fields, narrow,
// wide, split and missing channels.
constexpr std::uint32_t mask_sets[][3] = {
    {0x7C00, 0x03E0, 0x001F}, {0xF800, 0x07E0, 0x001F}, {0x0F00, 0x00F0, 0x000F},
    {0xFFC0, 0x003E, 0x0001}, {0x8421, 0x4210, 0x2108}, {0x0000, 0xFF00, 0x00FF},
};

bmp_ptr random_bitmap(random_source &r, int bits, bool wide = false) {
    const int palette_count = bits <= 8 ? std::vector<int>{0, 1, 2, 16, 100, 256}[r.in(0, 5)] : 0;
    bmp_ptr b = make_bitmap(wide ? r.in(100, 270) : r.in(1, 40), r.in(1, 40), bits, palette_count);
    for (int i = 0; i < palette_count; ++i) b->palette[i] = r.rng();
    for (int i = 0; i < b->dc.bytes; ++i) b->data[i] = (bits == 32 && i % 4 == 3) ? r.byte() : uchar(r.rng());
    if (bits == 16 && r.one_in(2)) {
        b->biCompression = 3;
        std::memcpy(b->palette, mask_sets[r.in(0, 5)], sizeof mask_sets[0]);
        zr::bmp::calculate_boffset(b.get());
    }
    return b;
}

template <class... T>
std::string say(const T &...v) {
    std::ostringstream out;
    (out << ... << v);
    return out.str();
}

// One random call on a random framebuffer DC; describes itself in *what.
std::string one_trial(random_source &r, std::string *what) {
    static const std::vector<format_case> formats = screen_formats();
    const format_case &f = formats[static_cast<std::size_t>(r.in(0, int(formats.size()) - 1))];
    const bool big = r.one_in(16);  // large enough for the string-store fill and whole blocks
    const int w = big ? r.in(150, 260) : r.in(1, 40), h = big ? r.in(60, 80) : r.in(1, 40);
    const int stride = (w * f.bytes + (r.one_in(2) ? 0 : r.in(1, 9))) * (r.one_in(8) ? -1 : 1);
    fb_surface dst(f.id, w, h, stride, r.one_in(4) ? r.in(1, 3) : 0);
    for (uchar &b : dst.memory) b = uchar(r.rng());
    *what = say("onto format ", int(f.id), " ", w, "x", h, " stride ", stride);
    const auto coord = [&](int n) { return r.in(-20, n + 20); };
    const int kind = r.in(0, 9);
    if (kind <= 3) {
        const int bits = std::vector<int>{1, 4, 8, 16, 24, 32}[r.in(0, 5)];
        bmp_ptr src = random_bitmap(r, bits, big);
        if (r.one_in(bits == 32 ? 2 : 8)) src->dc.dc_type = DC_TYPE_ALPHA;
        const int dx = coord(w), dy = coord(h), sx = coord(src->dc.width), sy = coord(src->dc.height);
        const int bw = r.in(-3, big ? 300 : 60), bh = r.in(-3, 60);
        *what += say(", zr_bitblt from ", bits, "-bit", src->dc.dc_type == DC_TYPE_ALPHA ? " alpha" : "", " (", dx, ",",
                     dy, ") <- (", sx, ",", sy, ") ", bw, "x", bh);
        return compare_paths({of(dst), of(src.get())}, [&] { zr_bitblt(&dst.dc, dx, dy, &src->dc, sx, sy, bw, bh); });
    }
    if (kind == 4) {
        // The destination is the bitmap's own memory, from any byte on (often
        // in the last row in memory, the source's top row, whose bytes up to
        // column sx + width are read): the fast path must leave overlapping
        // transfers to the plain path.
        bmp_ptr src = random_bitmap(r, std::vector<int>{8, 16, 24, 32}[r.in(0, 3)]);
        if (r.one_in(2)) src->dc.dc_type = DC_TYPE_ALPHA;
        dc_t alias = dst.dc;
        const int line = src->dc.bytes_per_line, row = r.one_in(2) ? src->dc.height - 1 : r.in(0, src->dc.height - 1);
        const int into = r.in(0, line - 1), start = row * line + into, sx = r.in(0, src->dc.width - 1);
        alias.width = (line - into) / f.bytes;
        alias.height = src->dc.height - row;
        alias.bytes_per_line = line;
        alias.mapped = src->data + start;
        const int dx = r.in(-2, 4), dy = r.in(-2, 4);
        *what += say(", zr_bitblt within one block of memory from byte ", start, ", column ", sx);
        return compare_paths({of(src.get())}, [&] { zr_bitblt(&alias, dx, dy, &src->dc, sx, 0, 40, 40); });
    }
    dst.dc.pen_color = r.colour();
    if (kind <= 6) {
        const int x1 = r.one_in(8) ? r.in(-100000, 100000) : coord(w), y1 = coord(h);
        const int x2 = coord(w), y2 = r.one_in(8) ? r.in(-100000, 100000) : coord(h);
        *what += ", zr_line";
        return compare_paths({of(dst)}, [&] { zr_line(&dst.dc, x1, y1, x2, y2); });
    }
    dst.dc.brush_color = r.colour();
    if (kind <= 8) {
        const int x1 = coord(w), y1 = coord(h), x2 = coord(w), y2 = coord(h);
        *what += ", zr_rectangle";
        return compare_paths({of(dst)}, [&] { zr_rectangle(&dst.dc, x1, y1, x2, y2); });
    }
    const color_t c = dst.dc.pen_color;
    const int cx = coord(w), cy = coord(h), rx = r.in(-5, 40), ry = r.in(-5, 40);
    *what += ", zr_clear and zr_ellipse";
    return compare_paths({of(dst)}, [&] {
        zr_clear(&dst.dc, c);
        zr_ellipse(&dst.dc, cx, cy, rx, ry);
    });
}

TEST(FastPaths, SeededRandomCallsWriteWhatThePlainPathWrites) {
    const char *env = std::getenv("ZR_FAST_SEED");
    const unsigned base = env != nullptr ? static_cast<unsigned>(std::strtoul(env, nullptr, 0)) : 20261207u;
    const int trials = env != nullptr ? 1 : 3000;
    for (int i = 0; i < trials; ++i) {
        const unsigned seed = base + static_cast<unsigned>(i);
        random_source r{std::mt19937(seed)};
        std::string what;
        const std::string diff = one_trial(r, &what);
        ASSERT_EQ(diff, "") << "seed " << seed << " (rerun with ZR_FAST_SEED=" << seed << "): " << what;
    }
}

// The fill at every short length, every alignment and around the length
// where the string store takes over, with guard bytes on both sides; for a
// pixel of mixed bytes and for pixels of four equal bytes, which memset
// stores.
template <class Fmt>
void check_fill() {
    path_guard restore;
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n < 300; ++n) lengths.push_back(n);
    for (const std::size_t n : {4094, 4095, 4096, 4097, 8190, 8191, 8192, 8193, 300001}) lengths.push_back(n);
    std::vector<uchar> got, want;
    for (const std::uint32_t value : {0x89ABCDEFu, 0u, 0x5A5A5A5Au}) {
        const auto v = static_cast<typename Fmt::pixel>(value);
        for (const bool variants : {true, false}) {
            zr::set_cpu_variants_allowed(variants);
            for (const std::size_t n : lengths)
                for (int offset = 0; offset < 8; ++offset) {
                    got.assign(n * Fmt::bytes + 32, 0xA5);
                    want = got;
                    for (std::size_t i = 0; i < n; ++i) Fmt::store(want.data() + 8 + offset + i * Fmt::bytes, v);
                    zr::fill_pixels<Fmt>(got.data() + 8 + offset, n, v);
                    ASSERT_TRUE(got == want) << Fmt::bytes << "-byte pixels: " << n << " pixels of " << value << " at offset "
                                             << offset << (variants ? "" : " (portable)");
                }
        }
    }
}

TEST(FastPaths, FillAtEveryLengthAndAlignment) {
    check_fill<zr::rgb565>();
    check_fill<zr::xrgb8888>();
}

// Lines from far outside that cross the DC: the walk's error terms then need
// more than 32 bits, as the distances reach 2^32 - 1 along both axes.
TEST(FastPaths, LinesOfExtremeLengthsCrossTheDc) {
    constexpr int lo = std::numeric_limits<int>::min(), hi = std::numeric_limits<int>::max();
    const int lines[][4] = {{lo, lo + 3, hi, hi - 2}, {hi, hi - 9, lo, lo + 4}, {lo + 20, lo, hi - 15, hi},
                            {lo, hi - 30, hi, lo + 25}, {-(1 << 30), -(1 << 30), 1 << 30, (1 << 30) - 11}, {5, lo, 30, hi}};
    for (const format_case &f : screen_formats())
        for (const auto &l : lines) {
            fb_surface dst(f.id, 50, 40, 50 * f.bytes + 6);
            dst.dc.pen_color = {200, 100, 50, 255};
            EXPECT_EQ(compare_paths({of(dst)}, [&] { zr_line(&dst.dc, l[0], l[1], l[2], l[3]); }), "")
                << "(" << l[0] << "," << l[1] << ") to (" << l[2] << "," << l[3] << ") onto format " << int(f.id);
        }
}

// The whole-frame move in pieces, over several pieces, overlapping either way.
TEST(FastPaths, MoveInPiecesIsMemmove) {
    std::vector<uchar> start(1500000), got, want;
    for (std::size_t i = 0; i < start.size(); ++i) start[i] = uchar(i * 131 + (i >> 9));
    for (const long shift : {-300001L, -262144L, -1L, 1L, 7L, 262144L, 300001L, 600000L})
        for (const std::size_t n : {0UL, 1UL, 262143UL, 262145UL, 524289UL}) {
            got = want = start;
            const std::size_t from = 300001, to = static_cast<std::size_t>(300001 + shift);
            zr::move_bytes(got.data() + to, got.data() + from, n);
            std::memmove(want.data() + to, want.data() + from, n);
            ASSERT_TRUE(got == want) << n << " bytes moved by " << shift;
        }
}

// Every row is the one found for its formats where the CPU has its feature
// (extensions with the CPU's variants on, portable rows with them off), and
// every screen format answers the same operations from the same sources: a
// format added without all of its rows fails here.
TEST(FastPaths, EveryRowIsFoundAndEveryFormatHasTheSameRows) {
    path_guard restore;
    const zr::cpu_features cpu = zr::allowed_cpu_features();
    std::set<std::pair<zr::fast_op, pixel_format>> answered[zr::pixel_format_count];
    for (const zr::fast_path &row : zr::fast_path_table()) {
        answered[int(row.dst)].insert({row.op, row.src});
        if ((cpu & zr::feature_bit(row.needs)) == 0) continue;
        zr::set_cpu_variants_allowed(row.needs != zr::cpu_feature::baseline);
        EXPECT_EQ(zr::find_fast_path(row.op, row.src, row.dst), &row)
            << "row " << (&row - zr::fast_path_table().data()) << " is hidden";
        zr::set_cpu_variants_allowed(true);
    }
    const std::vector<format_case> formats = screen_formats();
    EXPECT_EQ(std::count_if(std::begin(answered), std::end(answered), [](auto &a) { return !a.empty(); }), formats.size());
    for (const format_case &f : formats) EXPECT_EQ(answered[int(f.id)], answered[int(formats[0].id)]) << int(f.id);
    // Nothing while the plain path is forced; ZR_PLAIN_PATH forces it unless
    // unset, empty or "0".
    zr::set_plain_path_forced(true);
    EXPECT_EQ(zr::find_fast_path(zr::fast_op::fill, pixel_format::none, pixel_format::rgb565), nullptr);
    EXPECT_FALSE(zr::plain_path_requested(nullptr) || zr::plain_path_requested("") || zr::plain_path_requested("0"));
    EXPECT_TRUE(zr::plain_path_requested("1") && zr::plain_path_requested("yes"));
}

int replaced_calls = 0;
void counting_set_pixel(dc_t *, int, int, color_t) { ++replaced_calls; }

// An application's own slots see the same calls, in the same order, with
// the fast paths on or off; a DC whose slots are the library's but one is
// replaced is the application's too: every pixel goes through its slots.
TEST(FastPaths, ApplicationSlotsGetThePlainCalls) {
    path_guard restore;
    bmp_ptr src = make_bitmap(6, 5, 24, 0);
    for (int i = 0; i < src->dc.bytes; ++i) src->data[i] = uchar(i * 7);
    std::vector<zr_test::slot_call> calls[2];
    for (const bool plain : {true, false}) {
        zr::set_plain_path_forced(plain);
        zr_test::recording_dc rec(10, 10);
        zr_bitblt(rec.dc(), 1, 2, &src->dc, 0, 0, 6, 5);
        zr_line(rec.dc(), 0, 0, 9, 4);
        zr_rectangle(rec.dc(), 2, 2, 7, 8);
        calls[plain] = rec.calls;
    }
    EXPECT_EQ(calls[0], calls[1]);
    fb_surface dst(pixel_format::xrgb8888, 16, 16, 64);
    dst.dc.set_pixel = counting_set_pixel;
    replaced_calls = 0;
    zr_bitblt(&dst.dc, 0, 0, &src->dc, 0, 0, 6, 5);
    zr_line(&dst.dc, 0, 0, 15, 7);
    EXPECT_EQ(replaced_calls, 30 + 16);
}

}  // namespace
