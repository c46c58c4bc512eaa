// Block transfer and quarter turns: clipping, the path each pair of DC kinds
// takes, the row copy, the alpha rule, and the turned copies.
#include "blit.hpp"
#include "capture.hpp"
#include "pixels.hpp"
#include "recording_dc.hpp"
#include "vfb_fixture.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <utility>

using namespace zr_test;

namespace {

using uchar = unsigned char;

constexpr color_t untouched{1, 2, 3, 4};

const std::string row_copy_message =
    "8 bit \xc0\xcc\xc7\xcf\xc0\xc7 byte_bitblt()\xb8\xa6 \xb1\xb8\xc7\xf6\xc7\xd8\xbe\xdf "
    "\xc7\xd5\xb4\xcf\xb4\xd9. \n";

// A source pixel that names its own position.
color_t at(int x, int y) { return {uchar(x), uchar(y), 0xC0, 255}; }

template <class F>
void paint(recording_dc &r, F colour) {
    for (int y = 0; y < r.dc()->height; ++y) for (int x = 0; x < r.dc()->width; ++x) r.pixel(x, y) = colour(x, y);
}

// "" when every pixel equals want(x, y), else the first difference.
template <class F>
std::string mismatch(recording_dc &r, F want) {
    for (int y = 0; y < r.dc()->height; ++y)
        for (int x = 0; x < r.dc()->width; ++x)
            if (!same(r.pixel(x, y), want(x, y))) {
                char where[32];
                std::snprintf(where, sizeof where, "(%d,%d) is ", x, y);
                return where + str(r.pixel(x, y)) + ", want " + str(want(x, y));
            }
    return "";
}

// Gives a recording DC pixel memory, as a device-format DC has.
void give_memory(recording_dc &r, std::vector<uchar> &mem, int bits_per_pixel, int bytes_per_line) {
    r.dc()->mapped = mem.data();
    r.dc()->bits_per_pixel = bits_per_pixel;
    r.dc()->bytes_per_line = bytes_per_line;
}

// A device DC's pixel: its reads leave alpha as it was, opaque here.
std::vector<int> seen(dc_t *dc, int x, int y) {
    color_t c{0, 0, 0, 255};
    zr_get_pixel(dc, x, y, &c);
    return rgba(c);
}

// One axis of a transfer: sizes, origins and length in, and which run of
// source pixels lands where.
struct clip_case {
    const char *name;
    int dst_n, src_n, d, s, n;
    int first_dst, first_src, count;
};

const clip_case clip_cases[] = {
    {"destination origin left of the edge", 100, 100, -3, 0, 10, 0, 3, 7},
    {"wholly left of the edge", 100, 100, -10, 0, 10, 0, 0, 0},
    {"origin at the far edge", 100, 100, 100, 0, 10, 0, 0, 0}, {"cut at the far edge", 100, 100, 95, 0, 10, 95, 0, 5},
    {"negative source origin only moves the source", 100, 20, 0, -4, 10, 0, 0, 10},
    {"source origin past the edge leaves its last pixel", 100, 20, 5, 25, 10, 5, 19, 1},
    {"far-left destination pushes the source past its edge", 100, 10, -20, 0, 30, 0, 9, 1},
    {"negative origins on both sides", 100, 100, -3, -2, 10, 0, 1, 7},
    {"cut at the source's edge", 100, 20, 10, 5, 50, 10, 5, 15}, {"zero length", 100, 100, 0, 0, 0, 0, 0, 0},
    {"negative length", 100, 100, 5, 0, -5, 0, 0, 0}, {"empty source", 100, 0, 0, 0, 10, 0, 0, 0},
    {"empty source, negative origin", 100, 0, 0, -1, 10, 0, 0, 0}, {"empty destination", 0, 100, 0, 0, 10, 0, 0, 0},
    {"length that overflows the far edge", 100, 100, 50, 0, INT_MAX, 50, 0, 50},
    {"source origin that overflows when shifted", 100, 100, -1, INT_MAX, INT_MAX, 0, 99, 1},
    {"most negative origin", 100, 100, INT_MIN, 0, INT_MAX, 0, 0, 0},
    {"most negative length", 100, 100, -1, 0, INT_MIN, 0, 0, 0},
    {"origin at INT_MAX", 100, 100, INT_MAX, 0, INT_MAX, 0, 0, 0},
    {"most negative source origin", 100, 100, 0, INT_MIN, 10, 0, 0, 10},
};

// Each case runs along x and again along y (in a DC three pixels across, at
// position 1 of the other axis); every destination pixel is checked.
TEST(Bitblt, ClippingPlacesEverySourcePixel) {
    for (const clip_case &k : clip_cases) {
        for (const bool vertical : {false, true}) {
            SCOPED_TRACE(std::string(k.name) + (vertical ? ", along y" : ", along x"));
            recording_dc dst(vertical ? 3 : k.dst_n, vertical ? k.dst_n : 3);
            recording_dc src(vertical ? 3 : k.src_n, vertical ? k.src_n : 3);
            paint(dst, [](int, int) { return untouched; });
            paint(src, at);
            vertical ? zr_bitblt(dst.dc(), 1, k.d, src.dc(), 1, k.s, 1, k.n)
                     : zr_bitblt(dst.dc(), k.d, 1, src.dc(), k.s, 1, k.n, 1);
            EXPECT_EQ(dst.calls_of(slot::set_pixel).size(), static_cast<size_t>(k.count));
            EXPECT_EQ(mismatch(dst, [&](int x, int y) {
                          const int i = (vertical ? y : x) - k.first_dst;
                          if ((vertical ? x : y) != 1 || i < 0 || i >= k.count) return untouched;
                          return vertical ? at(1, k.first_src + i) : at(k.first_src + i, 1);
                      }),
                      "");
        }
    }
}

enum class path { row_copy, plain, blend };

TEST(Bitblt, PathIsChosenByTheKinds) {
    const struct {
        uchar src_kind, dst_kind;
        path want;
    } cases[] = {
        {DC_TYPE_SCREEN, DC_TYPE_SCREEN, path::row_copy}, {DC_TYPE_SCREEN, DC_TYPE_BITMAP, path::plain},
        {DC_TYPE_SCREEN, DC_TYPE_ALPHA, path::plain},     {DC_TYPE_SCREEN, 0, path::plain},
        {DC_TYPE_BITMAP, DC_TYPE_SCREEN, path::plain},    {DC_TYPE_BITMAP, DC_TYPE_BITMAP, path::plain},
        {0, DC_TYPE_SCREEN, path::plain},                 {9, DC_TYPE_ALPHA, path::plain},
        {DC_TYPE_ALPHA, DC_TYPE_SCREEN, path::blend},     {DC_TYPE_ALPHA, DC_TYPE_BITMAP, path::blend},
        {DC_TYPE_ALPHA, DC_TYPE_ALPHA, path::blend},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(testing::Message() << "source kind " << int(k.src_kind) << ", destination kind " << int(k.dst_kind));
        recording_dc src(2, 1, k.src_kind), dst(2, 1, k.dst_kind);
        std::vector<uchar> src_mem{1, 2, 3, 4, 5, 6, 7, 8}, dst_mem(8, 0);
        give_memory(src, src_mem, 32, 8);
        give_memory(dst, dst_mem, 32, 8);
        // Alpha 0 is copied as it is by the plain path and skipped by the blend.
        src.pixel(0, 0) = {10, 20, 30, 0};
        src.pixel(1, 0) = {200, 100, 50, 128};
        zr_bitblt(dst.dc(), 0, 0, src.dc(), 0, 0, 2, 1);
        EXPECT_EQ(dst_mem, k.want == path::row_copy ? src_mem : std::vector<uchar>(8, 0));
        const std::vector<slot_call> plain{set_px(0, 0, {10, 20, 30, 0}), set_px(1, 0, {200, 100, 50, 128})},
            blend{get_px(1, 0), set_px(1, 0, {100, 50, 25, 128})};
        EXPECT_EQ(dst.calls, k.want == path::plain ? plain : k.want == path::blend ? blend : std::vector<slot_call>{});
        EXPECT_TRUE(k.want != path::row_copy || src.calls.empty());
    }
}

// Rows are copied at the depths whose pixels are whole bytes: each row
// moves width x pixel bytes, each DC steps by its own row size from its own
// first row, and padding and pixels outside the rectangle keep their bytes.
// The other depths print the fixed line and copy nothing.
TEST(Bitblt, RowCopyAtWholeByteDepthsElseTheMessage) {
    for (const int colors : {1, 4, 8, 15, 16, 24, 32, 0, 12, 33}) {
        SCOPED_TRACE("colors " + std::to_string(colors));
        const bool copies = colors == 8 || colors == 15 || colors == 16 || colors == 24 || colors == 32;
        recording_dc src(4, 3, DC_TYPE_SCREEN), dst(5, 4, DC_TYPE_SCREEN);
        std::vector<uchar> src_mem(3 * 10, 0xEE), dst_mem(4 * 12, 0x55);
        give_memory(src, src_mem, 16, 10);
        give_memory(dst, dst_mem, 16, 12);
        src.dc()->colors = dst.dc()->colors = colors;
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 4; ++x) src_mem[y * 10 + x * 2] = uchar(x), src_mem[y * 10 + x * 2 + 1] = uchar(0x80 | y);
        const std::string out = capture_stdout([&] { zr_bitblt(dst.dc(), 1, 2, src.dc(), 1, 1, 3, 2); });
        EXPECT_EQ(out, copies ? "" : row_copy_message);
        for (int y = 0; y < 4; ++y)
            for (int i = 0; i < 12; ++i) {
                const int x = i / 2;
                const bool copied = copies && y >= 2 && x >= 1 && x <= 3;
                EXPECT_EQ(dst_mem[y * 12 + i], !copied ? 0x55 : i % 2 == 0 ? x : 0x80 | (y - 1)) << y << "," << i;
            }
        EXPECT_TRUE(src.calls.empty() && dst.calls.empty());
    }
}

// Two DCs of different formats never share rows (a buffer made before
// zr_close, say, and one after the next zr_init on another depth, or of
// another format of one depth): each pixel is converted, there and back.
TEST(Bitblt, BuffersOfTwoDevicesConvertPixelByPixel) {
    const auto buffer = [](int depth, zr::pixel_format format) {  // of a device in that format
        EXPECT_EQ(vfb_open({.width = 8, .height = 8, .depth = depth}), 0);
        zr::set_screen_format(format);
        dc_t *dc = zr_get_buffer_dc(8, 8);
        vfb_close();
        return dc;
    };
    for (const auto &[depth, format] : {std::pair{16, zr::pixel_format::none}, {32, zr::pixel_format::xbgr8888}}) {
        dc_t *wide = buffer(32, zr::pixel_format::none), *narrow = buffer(depth, format);
        ASSERT_TRUE(wide != nullptr && narrow != nullptr);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) zr_set_pixel(wide, x, y, color_t{uchar(x * 32), uchar(y * 32), 0xF8, 255});
        zr_clear(narrow, color_t{0, 0, 0, 255});
        zr_bitblt(narrow, 0, 0, wide, 0, 0, 8, 8);
        zr_bitblt(wide, 4, 4, narrow, 0, 0, 8, 8);  // and back, into a corner
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) {
                const bool back = x >= 4 && y >= 4;
                ASSERT_EQ(seen(narrow, x, y), (std::vector<int>{x * 32, y * 32, 0xF8, 255})) << x << "," << y;
                ASSERT_EQ(seen(wide, x, y), (std::vector<int>{(x - 4 * back) * 32, (y - 4 * back) * 32, 0xF8, 255}))
                    << depth << "-bit format " << int(format) << ": " << x << "," << y;
            }
        for (dc_t *dc : {wide, narrow}) zr_release_dc(dc);
    }
    zr::set_screen_format(zr::pixel_format::none);
}

// Within one memory, rows land as if copied from an untouched source,
// whichever way the rectangle moves, in whole blocks or row by row.
TEST(Bitblt, RowCopyToleratesOverlap) {
    ASSERT_EQ(vfb_open({.width = 16, .height = 12, .depth = 16}), 0);
    dc_t *dc = zr_get_buffer_dc(16, 12);
    ASSERT_NE(dc, nullptr);
    const auto before = [](int x, int y) { return color_t{uchar(x * 8), uchar(y * 8), 40, 255}; };
    const std::array<int, 5> moves[] = {{0, 3, 0, 0, 16}, {0, 0, 0, 3, 16}, {3, 2, 1, 1, 10}, {1, 1, 3, 3, 10}};
    for (const auto &[dx, dy, sx, sy, w] : moves) {
        for (int y = 0; y < 12; ++y) for (int x = 0; x < 16; ++x) zr_set_pixel(dc, x, y, before(x, y));
        zr_bitblt(dc, dx, dy, dc, sx, sy, w, 8);
        for (int y = 0; y < 12; ++y)
            for (int x = 0; x < 16; ++x) {
                const bool moved = x >= dx && x < dx + w && y >= dy && y < dy + 8;
                ASSERT_EQ(seen(dc, x, y), rgba(moved ? before(x - dx + sx, y - dy + sy) : before(x, y)))
                    << "from " << sx << "," << sy << " to " << dx << "," << dy << ": " << x << "," << y;
            }
    }
    zr_release_dc(dc);
    vfb_close();
}

TEST(AlphaRule, EqualsTheRoundedQuotientForEveryInput) {
    long wrong = 0;
    std::string first;
    for (unsigned a = 0; a < 256; ++a)
        for (unsigned s = 0; s < 256; ++s)
            for (unsigned b = 0; b < 256; ++b) {
                const unsigned n = (255 - a) * b + a * s;
                const unsigned want = (2 * n + 255) / 510;  // n / 255 rounded; there are no ties
                if (zr::blend_channel(a, s, b) != want && wrong++ == 0)
                    first = std::to_string(a) + "," + std::to_string(s) + "," + std::to_string(b);
            }
    EXPECT_EQ(wrong, 0) << "first at a,s,b = " << first;
}

// The three transfers that blend, each carrying one row of source pixels of
// alpha 0, 255, 1, 128 and 254 onto a backdrop whose own alpha plays no part.
TEST(AlphaRule, ZeroSkipsAndOpaqueWritesWithoutReadingTheBackdrop) {
    const struct {
        const char *name;
        int dst_w, dst_h;
        void (*run)(dc_t *, dc_t *);
        int x0, y0, step_x, step_y;  // where source pixel i lands
    } transfers[] = {
        {"bitblt", 5, 1, [](dc_t *d, dc_t *s) { zr_bitblt(d, 0, 0, s, 0, 0, 5, 1); }, 0, 0, 1, 0},
        {"bitblt90", 1, 5, zr_bitblt90, 0, 4, 0, -1},
        {"bitblt270", 1, 5, zr_bitblt270, 0, 0, 0, 1},
    };
    const uchar alphas[5] = {0, 255, 1, 128, 254};
    const color_t backdrop{10, 20, 30, 77};
    for (const auto &t : transfers) {
        SCOPED_TRACE(t.name);
        recording_dc src(5, 1, DC_TYPE_ALPHA), dst(t.dst_w, t.dst_h);
        for (int i = 0; i < 5; ++i) src.pixel(i, 0) = {200, 100, 50, alphas[i]};
        paint(dst, [&](int, int) { return backdrop; });
        t.run(dst.dc(), src.dc());
        std::vector<slot_call> want;
        for (int i = 1; i < 5; ++i) {
            const color_t s = src.pixel(i, 0);
            const int x = t.x0 + i * t.step_x, y = t.y0 + i * t.step_y;
            if (s.alpha != 255) want.push_back(get_px(x, y));
            want.push_back(set_px(x, y, s.alpha == 255 ? s : zr::blend_color(s, backdrop)));
        }
        EXPECT_EQ(dst.calls, want);
        EXPECT_TRUE(same(dst.pixel(t.x0, t.y0), backdrop));
    }
}

// The framebuffer's reads leave alpha alone and the colour variable starts
// opaque, so a screen's pixels arrive opaque.
TEST(Transfers, ScreenPixelsArriveOpaque) {
    ASSERT_EQ(vfb_open({}), 0);
    dc_t *screen = zr_get_screen_dc();
    ASSERT_NE(screen, nullptr);
    zr_set_pixel(screen, 2, 1, color_t{248, 252, 8, 0});
    recording_dc dst(1, 1);
    zr_bitblt(dst.dc(), 0, 0, screen, 2, 1, 1, 1);
    EXPECT_EQ(str(dst.pixel(0, 0)), str({248, 252, 8, 255}));
    zr_release_dc(screen);
    vfb_close();
}

// R = min(source height, destination width) source rows and C = min(source
// width, destination height) source columns land against the corner.
TEST(QuarterTurn, ExtentsAndCorners) {
    const struct {
        int src_w, src_h, dst_w, dst_h;
    } cases[] = {{10, 5, 4, 6}, {2, 3, 100, 100}, {3, 2, 5, 4}, {0, 5, 4, 4}, {5, -1, 4, 4}, {5, 5, 0, 4}};
    for (const auto &k : cases) {
        for (const bool clockwise : {false, true}) {
            SCOPED_TRACE(testing::Message() << k.src_w << "x" << k.src_h << " into " << k.dst_w << "x" << k.dst_h
                                            << (clockwise ? " cw" : " ccw"));
            recording_dc src(k.src_w, k.src_h), dst(k.dst_w, k.dst_h);
            paint(src, at);
            paint(dst, [](int, int) { return untouched; });
            (clockwise ? zr_bitblt270 : zr_bitblt90)(dst.dc(), src.dc());
            const int R = std::max(0, std::min(k.src_h, k.dst_w)), C = std::max(0, std::min(k.src_w, k.dst_h));
            EXPECT_EQ(src.calls_of(slot::get_pixel).size(), size_t(R * C));
            EXPECT_EQ(dst.calls_of(slot::set_pixel).size(), size_t(R * C));
            EXPECT_EQ(mismatch(dst, [&](int x, int y) {
                          if (clockwise) return x >= k.dst_w - R && y < C ? at(y, k.dst_w - 1 - x) : untouched;
                          return x < R && y >= k.dst_h - C ? at(k.dst_h - 1 - y, x) : untouched;
                      }),
                      "");
        }
    }
}

// Within one DC, pixels written earlier in the call are read back later,
// rows outer and columns inner: a copy one pixel to the right smears the
// first pixel along the row; A B / C D turns into C A / A A clockwise, B A /
// A A the other way.
TEST(Transfers, OneDcFollowsTheFixedOrder) {
    recording_dc smear(4, 2);
    paint(smear, at);
    zr_bitblt(smear.dc(), 1, 0, smear.dc(), 0, 0, 3, 2);
    EXPECT_EQ(mismatch(smear, [](int, int y) { return at(0, y); }), "");
    for (const bool clockwise : {false, true}) {
        recording_dc dc(2, 2);
        paint(dc, at);
        (clockwise ? zr_bitblt270 : zr_bitblt90)(dc.dc(), dc.dc());
        EXPECT_EQ(mismatch(dc, [&](int x, int y) { return x + y == 0 ? at(!clockwise, clockwise) : at(0, 0); }), "");
    }
}

}  // namespace
