// Text: the built-in, PSF and FreeType fonts drawn against their own bits or
// FreeType's bitmaps, hostile files, the glyph cache, decoding, clipping, the
// fast path against the plain path, measuring.
#include "blit.hpp"
#include "fast_paths.hpp"
#include "fb_dc.hpp"
#include "glyph_cache.hpp"
#include "text_decode.hpp"
#include "recording_dc.hpp"
#include "child_memory.hpp"
#include "pixels.hpp"
#include "shared_data.hpp"
#include "temp_file.hpp"
#include "zr_internal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <iconv.h>

#if ZR_HAVE_ZLIB
#include <zlib.h>
#endif
#if ZR_HAVE_FREETYPE
#include <ft2build.h>
#include FT_FREETYPE_H
#endif

namespace {

using zr_test::recording_dc;
using zr_test::temp_file;
using zr_test::fb_surface;
using zr_test::path_guard;
using zr_test::read_all;
using font_ptr = std::unique_ptr<zr_font_t, void (*)(zr_font_t *)>;
using bytes = std::vector<unsigned char>;
using ints = std::vector<int>;
using uchar = unsigned char;

font_ptr open_font(const std::string &path, int height) { return font_ptr(zr_font_open(path.c_str(), height), zr_font_close); }

constexpr color_t red{255, 0, 0, 255};
constexpr color_t backdrop{10, 20, 30, 255};

bool same(color_t a, color_t b) { return a.red == b.red && a.green == b.green && a.blue == b.blue; }

// A recording DC filled with the backdrop.
struct canvas : recording_dc {
    int w, h;
    canvas(int width, int height) : recording_dc(width, height), w(width), h(height) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) pixel(x, y) = backdrop;
    }
};

// Every pixel red where on(x, y) holds, the backdrop elsewhere.
template <class On>
void expect_picture(canvas &c, On on) {
    for (int y = 0; y < c.h; ++y)
        for (int x = 0; x < c.w; ++x) ASSERT_TRUE(same(c.pixel(x, y), on(x, y) ? red : backdrop)) << x << "," << y;
}

// Every pixel of a equal to that of b at (x + dx, y + dy).
void expect_same(canvas &a, canvas &b, int dx = 0, int dy = 0) {
    for (int y = 0; y < a.h; ++y)
        for (int x = 0; x < a.w; ++x) ASSERT_TRUE(same(a.pixel(x, y), b.pixel(x + dx, y + dy))) << x << "," << y;
}

// What zr_font_metrics returns, then ascent, descent and line height.
ints metrics(zr_font_t *font) {
    int ascent = 0, descent = 0, line = 0;
    const int returned = zr_font_metrics(font, &ascent, &descent, &line);
    return {returned, ascent, descent, line};
}

void expect_refused(const char *path, int height, int code) {
    zr_error_code = 0;
    EXPECT_EQ(zr_font_open(path, height), nullptr);
    EXPECT_EQ(zr_error_code, code);
}

// Glyph rows of a pseudo-random pattern: every glyph differs.
bytes glyph_bits(std::uint32_t count, std::uint32_t charsize, unsigned seed) {
    std::mt19937 rng(seed);
    bytes b(std::size_t{count} * charsize);
    for (auto &v : b) v = static_cast<unsigned char>(rng());
    return b;
}

struct psf {
    int width, height;
    bytes file, bits;
    std::size_t row_bytes() const { return static_cast<std::size_t>((width + 7) / 8); }
    bool bit(std::uint32_t glyph, int x, int y) const {
        const std::size_t at = (glyph * static_cast<std::size_t>(height) + static_cast<std::size_t>(y)) * row_bytes();
        return (bits[at + static_cast<std::size_t>(x / 8)] & (0x80 >> (x % 8))) != 0;
    }
};

// PSF1, 256 glyphs 8 x height, no Unicode table.
psf make_psf1(int height) {
    psf p{8, height, {0x36, 0x04, 0x00, static_cast<unsigned char>(height)}, glyph_bits(256, std::uint32_t(height), 1)};
    p.file.insert(p.file.end(), p.bits.begin(), p.bits.end());
    return p;
}

// PSF2 of count glyphs; with a table, glyph i stands for U+0041 + i and
// glyph 0 also for U+263A (written as UTF-8), with a sequence entry too.
psf make_psf2(int width, int height, std::uint32_t count, bool table) {
    const std::uint32_t charsize = std::uint32_t((width + 7) / 8 * height);
    psf p{width, height, {0x72, 0xb5, 0x4a, 0x86}, glyph_bits(count, charsize, 2)};
    for (std::uint32_t v : {0u, 32u, table ? 1u : 0u, count, charsize, std::uint32_t(height), std::uint32_t(width)})
        for (int i = 0; i < 4; ++i) p.file.push_back(uchar(v >> (8 * i)));
    p.file.insert(p.file.end(), p.bits.begin(), p.bits.end());
    if (table)
        for (std::uint32_t i = 0; i < count; ++i) {
            p.file.push_back(static_cast<unsigned char>(0x41 + i));
            if (i == 0) p.file.insert(p.file.end(), {0xE2, 0x98, 0xBA, 0xFE, 0x42, 0x43});
            p.file.push_back(0xFF);
        }
    return p;
}

// The glyphs of p drawn from (x0, y0) on, each bit as scale x scale pixels,
// and nothing else.
void expect_psf_glyphs(canvas &c, const psf &p, const std::vector<std::uint32_t> &glyphs, int x0, int y0,
                       int scale = 1) {
    expect_picture(c, [&](int x, int y) {
        if (x < x0 || y < y0 || (y - y0) / scale >= p.height) return false;
        const auto i = static_cast<std::size_t>((x - x0) / scale / p.width);
        return i < glyphs.size() && p.bit(glyphs[i], (x - x0) / scale % p.width, (y - y0) / scale);
    });
}

#if ZR_HAVE_ZLIB
bytes gzip(const bytes &in) {
    temp_file f("gz");
    gzFile g = gzopen(f.path.c_str(), "wb9");
    gzwrite(g, in.data(), static_cast<unsigned>(in.size()));
    gzclose(g);
    return read_all(f.path);
}
#endif

TEST(DefaultFont, DrawsItsGlyphsAndMetrics) {
    zr_font_t *font = zr_font_default();
    ASSERT_NE(font, nullptr);
    EXPECT_EQ(font, zr_font_default());
    EXPECT_EQ(metrics(font), (ints{22, 16, 6, 22}));
    // "Ag" as drawn: 5 x 9 squares of 2 x 2 pixels, one column in and two
    // rows down in each 12 x 22 cell.
    const char *const rows[9] = {".###......", "#...#.....", "#...#.####", "#...##...#", "######...#",
                                 "#...#.####", "#...#....#", ".....#...#", "......###."};
    canvas r(40, 22);
    EXPECT_EQ(zr_text_out(r.dc(), font, 0, 0, "Ag", red), 24);
    expect_picture(r, [&](int x, int y) {
        const int cell = x / 12, cx = x % 12;
        return cell < 2 && cx >= 1 && cx < 11 && y >= 2 && y < 20 && rows[(y - 2) / 2][cell * 5 + (cx - 1) / 2] == '#';
    });
    // Unmapped characters and ill-formed bytes draw '?'.
    canvas q(24, 22), e(24, 22);
    EXPECT_EQ(zr_text_out(q.dc(), font, 0, 0, "\xC3\xA9\xFF", red), 24);
    zr_text_out(e.dc(), font, 0, 0, "??", red);
    expect_same(q, e);
    zr_font_close(font);  // ignored: still usable
    EXPECT_EQ(zr_text_out(r.dc(), zr_font_default(), 0, 0, "A", red), 12);
}

TEST(DefaultFont, NullArgumentsDoNothing) {
    recording_dc r(8, 8);
    zr_font_t *f = zr_font_default();
    int w = 7, h = 7;
    zr_text_size(nullptr, "A", &w, &h);
    zr_text_size(f, "A", nullptr, nullptr);
    zr_font_close(nullptr);
    EXPECT_EQ(ints({zr_text_out(nullptr, f, 0, 0, "A", red), zr_text_out(r.dc(), nullptr, 0, 0, "A", red),
                    zr_text_out(r.dc(), f, 0, 0, nullptr, red), zr_text_out_euckr(r.dc(), f, 0, 0, nullptr, red),
                    zr_font_metrics(nullptr, nullptr, nullptr, nullptr), int(r.calls.size()), w, h}),
              ints(8, 0));
}

TEST(PsfFont, VersionOneAndTwoDrawTheirBitmaps) {
    const psf p1 = make_psf1(14), p2 = make_psf2(11, 9, 40, false), p2t = make_psf2(10, 12, 5, true);
    const psf q = make_psf2(8, 8, 128, false);
    struct file_case { const psf &font; bytes content; std::string text; std::vector<std::uint32_t> glyphs; };
    std::vector<file_case> cases = {
        {p1, p1.file, "Az\x01", {'A', 'z', 1}},
        {p2, p2.file, "\x27\x05", {0x27, 5}},
        // Through the table: A -> 0, B -> 1, U+263A -> 0; "BC" as a sequence is not a mapping.
        {p2t, p2t.file, "BA\xE2\x98\xBA" "E", {1, 0, 0, 4}},
        {q, q.file, "\xE4\xB8\x80", {'?'}},  // without a table, the replacement is glyph 63
    };
#if ZR_HAVE_ZLIB
    cases.push_back({p1, gzip(p1.file), "Az\x01", {'A', 'z', 1}});
    cases.push_back({p2t, gzip(p2t.file), "BA\xE2\x98\xBA" "E", {1, 0, 0, 4}});
#endif
    for (const file_case &c : cases) {
        SCOPED_TRACE(c.text);
        temp_file f("psf", c.content);
        font_ptr font = open_font(f.path, c.font.height);
        ASSERT_NE(font, nullptr) << zr_error_code;
        EXPECT_EQ(metrics(font.get()), (ints{c.font.height, c.font.height, 0, c.font.height}));
        canvas r(80, 40);
        EXPECT_EQ(zr_text_out(r.dc(), font.get(), 3, 5, c.text.c_str(), red),
                  static_cast<int>(c.glyphs.size()) * c.font.width);
        expect_psf_glyphs(r, c.font, c.glyphs, 3, 5);
    }
    // Twice the height asked for: every bit drawn as 2 x 2 pixels.
    temp_file f("psf2x", p2.file);
    font_ptr twice = open_font(f.path, 2 * p2.height + 1);
    ASSERT_NE(twice, nullptr);
    canvas r(80, 40);
    EXPECT_EQ(zr_text_out(r.dc(), twice.get(), 0, 0, "\x06\x07", red), 4 * p2.width);
    expect_psf_glyphs(r, p2, {6, 7}, 0, 0, 2);
}

// A table of A .. E only (no U+FFFD, no '?'): the replacement is an outlined
// box 3 x 5 (two thirds of the height, two thirds of that wide) standing on
// the baseline, one pixel in, advancing its width + 2.
TEST(PsfFont, ReplacementWithoutQuestionMarkIsABox) {
    temp_file f("psfbox", make_psf2(8, 8, 5, true).file);
    font_ptr font = open_font(f.path, 8);
    ASSERT_NE(font, nullptr);
    canvas r(40, 10);
    EXPECT_EQ(zr_text_out(r.dc(), font.get(), 0, 0, "Z", red), 5);
    expect_picture(r, [](int x, int y) { return x >= 1 && x <= 3 && y >= 3 && y <= 7 && (x != 2 || y == 3 || y == 7); });
}

// Header bytes changed one at a time: each is refused from memory and from
// a file, with code 12 and nothing allocated for the lie.
TEST(PsfFont, HostileHeadersAreRefused) {
    const bytes good = make_psf2(8, 16, 4, true).file, v1 = make_psf1(8).file;
    ASSERT_NE(zr::font::read_psf(good.data(), good.size(), 1).made, nullptr);
    const auto with = [](bytes b, std::size_t at, std::initializer_list<unsigned char> v) {
        std::copy(v.begin(), v.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
        return b;
    };
    const auto with32 = [&](std::size_t at, std::uint32_t v) { return with(good, at, {uchar(v), uchar(v >> 8), uchar(v >> 16), uchar(v >> 24)}); };
    const auto cut = [](const bytes &b, std::size_t n) { return bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); };
    const std::pair<const char *, bytes> cases[] = {
        {"only the magic", cut(good, 4)}, {"header only", cut(good, 32)},
        {"glyphs cut short", cut(good, 32 + 4 * 16 - 1)}, {"table cut short", cut(good, good.size() - 1)},
        {"overlong lead byte in the table", with(good, 32 + 64, {0xC0})},
        {"surrogate in the table", with(good, 32 + 64 + 1, {0xED, 0xA0, 0x80})},
        {"table cut inside a sequence", with(good, good.size() - 2, {0xE2, 0x98})},
        {"version 1", with32(4, 1)}, {"header size below 32", with32(8, 28)},
        {"header size past the end", with32(8, 0x7FFFFFF0)}, {"glyph count huge", with32(16, 0xFFFFFFFF)},
        {"glyph count just past the bytes", with32(16, 6)}, {"glyph count zero", with32(16, 0)},
        {"glyph size lying", with32(20, 15)}, {"glyph size past its rows", with32(20, 17)},
        {"glyph size huge", with32(20, 0x80000000)}, {"height zero", with32(24, 0)},
        {"height huge", with32(24, 0x40000000)}, {"width zero", with32(28, 0)}, {"width too large", with32(28, 4096)},
        {"psf1 mode", with(v1, 2, {0x10})}, {"psf1 short", cut(v1, v1.size() - 1)}, {"psf1 height zero", with(v1, 3, {0})},
    };
    for (const auto &[what, file] : cases) {
        SCOPED_TRACE(what);
        EXPECT_EQ(zr::font::read_psf(file.data(), file.size(), 1).error, ERR_SIGNATURE);
        temp_file f("bad", file);
        expect_refused(f.c_str(), 16, ERR_SIGNATURE);
    }
}

// The cache sweeps the least recently used glyphs, and keeps the last few
// whatever their size.
TEST(GlyphCache, SweepsLeastRecentlyUsedAndKeepsTheLastFew) {
    const auto glyph_of = [](std::size_t n) { zr::font::glyph g; g.coverage.assign(n, 1); return g; };
    zr::font::glyph_cache probe(SIZE_MAX);
    probe.add(0, glyph_of(300));
    const std::size_t one = probe.bytes();
    zr::font::glyph_cache cache(10 * one);
    for (char32_t cp = 0; cp < 10; ++cp) cache.add(cp, glyph_of(300));
    ASSERT_EQ(cache.count(), 10u);
    for (char32_t cp = 0; cp < 3; ++cp) ASSERT_NE(cache.find(cp), nullptr);
    // Past the bound: the oldest uses (3 .. 6) go until a quarter is free.
    cache.add(10, glyph_of(300));
    for (char32_t cp = 0; cp <= 10; ++cp)
        EXPECT_EQ(cache.find(cp) != nullptr, cp < 3 || cp > 6) << "U+" << unsigned(cp);
    EXPECT_LE(cache.bytes(), 10 * one - 10 * one / 4);

    // Glyphs each larger than the whole bound: the last four stay.
    zr::font::glyph_cache small(one);
    for (char32_t cp = 0; cp < 7; ++cp) small.add(cp, glyph_of(4 * one));
    for (char32_t cp = 0; cp < 7; ++cp) EXPECT_EQ(small.find(cp) != nullptr, cp >= 3) << "U+" << unsigned(cp);
}

// At the largest size the cache holds a working set of glyphs of a megabyte
// each: text cycling through a dozen of them renders each once.
TEST(GlyphCache, HoldsAWorkingSetOfTheLargestGlyphs) {
    temp_file f("big", make_psf2(64, 64, 16, true).file);
    font_ptr font = open_font(f.path, zr::font::max_pixel_height);
    ASSERT_NE(font, nullptr);
    const std::string set = "ABCDEFGHIJKL";
    for (int i = 0; i < 10; ++i) zr_text_size(font.get(), set.c_str(), nullptr, nullptr);
    EXPECT_EQ(font->cache.count(), set.size());
    EXPECT_LE(font->cache.bytes(), font->cache.bound());
    EXPECT_GE(font->cache.bytes(), set.size() << 20);
}

TEST(FontOpen, MissingUnknownAndOutOfRange) {
    temp_file text("txt", bytes{'h', 'e', 'l', 'l', 'o', '\n'}), empty("empty");
    const bytes p = make_psf1(8).file;
    temp_file good("good", p);
    struct open_case { const char *path; int height, code; };
    std::vector<open_case> cases = {
        {"/nonexistent/zr-font.psf", 16, ERR_FONT_FILE}, {"/tmp", 16, ERR_FONT_FILE},
        {nullptr, 16, ERR_FONT_FILE},                    {text.c_str(), 16, ERR_SIGNATURE},
        {empty.c_str(), 16, ERR_SIGNATURE},              {good.c_str(), 0, ERR_FONT_FILE},
        {good.c_str(), -5, ERR_FONT_FILE},               {good.c_str(), 1025, ERR_FONT_FILE},
    };
#if ZR_HAVE_ZLIB
    // A gzip file that unpacks past the limit, one that is not PSF inside, one cut short.
    temp_file bomb("bomb", gzip(bytes(zr::font::max_psf_bytes + 1, 0x36)));
    temp_file not_psf("gztext", gzip(bytes(100, 'x')));
    bytes broken = gzip(p);
    broken.resize(broken.size() / 2);
    temp_file cut("gzcut", broken);
    for (const temp_file *f : {&bomb, &not_psf, &cut}) cases.push_back({f->c_str(), 16, ERR_SIGNATURE});
#endif
    for (const open_case &c : cases) {
        SCOPED_TRACE(std::string(c.path ? c.path : "(null)") + " at " + std::to_string(c.height));
        expect_refused(c.path, c.height, c.code);
    }
    EXPECT_NE(open_font(good.path, 1024), nullptr);
}

TEST(Utf8, DecodesWellFormedAndReplacesTheRest) {
    const std::pair<const char *, std::u32string> cases[] = {
        {"A\x7F", U"A\x7F"}, {"\xC2\x80\xDF\xBF", U"\u0080\u07FF"}, {"\xED\x95\x9C", U"\uD55C"},
        {"\xE0\xA0\x80\xEF\xBF\xBD\xED\x9F\xBF", U"\u0800\uFFFD\uD7FF"},
        {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", U"\U00010000\U0010FFFF"},
        // Overlong forms: every byte on its own.
        {"\xC0\xAF", U"\uFFFD\uFFFD"}, {"\xC1\xBF", U"\uFFFD\uFFFD"}, {"\xE0\x9F\xBF", U"\uFFFD\uFFFD\uFFFD"},
        {"\xF0\x8F\xBF\xBF", U"\uFFFD\uFFFD\uFFFD\uFFFD"},
        // Surrogates, values past U+10FFFF, bytes that never start a sequence.
        {"\xED\xA0\x80", U"\uFFFD\uFFFD\uFFFD"}, {"\xED\xBF\xBF", U"\uFFFD\uFFFD\uFFFD"},
        {"\xF4\x90\x80\x80", U"\uFFFD\uFFFD\uFFFD\uFFFD"}, {"\xF5\x80\x80\x80", U"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"\xFF\xFE", U"\uFFFD\uFFFD"},
        // Stray continuations, a sequence broken by an ASCII byte, or cut short by the NUL.
        {"\x80" "A\xBF", U"\uFFFDA\uFFFD"}, {"\xE2\x82" "A", U"\uFFFD\uFFFDA"}, {"\xE2\x82", U"\uFFFD\uFFFD"},
        {"\xF0\x9F\x98", U"\uFFFD\uFFFD\uFFFD"}, {"A\xC3", U"A\uFFFD"},
    };
    for (const auto &[in, out] : cases) {
        std::u32string got;
        for (const char *p = in; *p != '\0';) got += zr::text::decode_utf8(p);
        EXPECT_EQ(got, out) << testing::PrintToString(std::string(in));
    }
    // Never past the NUL: the byte after it would be a valid continuation.
    const char buffer[] = {'\xE2', '\0', '\x82', '\xAC', '\0'};
    const char *p = buffer;
    EXPECT_EQ(zr::text::decode_utf8(p), U'\uFFFD');
    EXPECT_EQ(p, buffer + 1);
}

// Without an EUC-KR converter in the C library (a libc without its gconv
// modules, as under qemu-user), ASCII still comes through and every other
// byte is a replacement character.
TEST(EucKr, ConvertsHangulAndReplacesBadBytes) {
    const iconv_t converter = iconv_open("UTF-8", "EUC-KR");
    const bool converts = converter != reinterpret_cast<iconv_t>(-1);
    if (converts) iconv_close(converter);
#define R "\xEF\xBF\xBD"
    const std::pair<const char *, const char *> cases[] = {
        {"\xC7\xD1\xB1\xDB \xBD\xC3\xC7\xE8\n1", converts ? "\xED\x95\x9C\xEA\xB8\x80 \xEC\x8B\x9C\xED\x97\x98\n1"  // "한글 시험\n1"
                                                   : R R R R " " R R R R "\n1"},
        {"\xC7" "A", R "A"}, {"A\xC7", "A" R}, {"\xFF\xFF" "B", R R "B"}, {"", ""}};
#undef R
    for (const auto &[in, out] : cases) EXPECT_EQ(zr::text::euckr_to_utf8(in), out);
}

#if ZR_HAVE_FREETYPE
#define REQUIRE_FONT(path) \
    if (!std::ifstream(path)) ZR_MISSING_SHARED_DATA(std::string(path) + " missing (Debian: fonts-dejavu-core, fonts-nanum)")

constexpr const char *dejavu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr const char *nanum = "/usr/share/fonts/truetype/nanum/NanumGothic.ttf";

// The picture text should make: each glyph loaded and rendered by FreeType
// itself, its coverage blended over the backdrop with alpha round(c * a / 255).
void draw_reference(canvas &out, const char *path, int px, const std::u32string &text, int x0, int baseline, color_t color) {
    FT_Library lib;
    FT_Face face;
    EXPECT_EQ(FT_Init_FreeType(&lib), 0);
    EXPECT_EQ(FT_New_Face(lib, path, 0, &face), 0);
    FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(px));
    int pen = x0;
    for (char32_t cp : text) {
        EXPECT_NE(FT_Get_Char_Index(face, cp), 0u) << "font lacks U+" << std::hex << unsigned(cp);
        EXPECT_EQ(FT_Load_Char(face, cp, FT_LOAD_DEFAULT | FT_LOAD_NO_BITMAP), 0);
        EXPECT_EQ(FT_Render_Glyph(face->glyph, FT_RENDER_MODE_NORMAL), 0);
        const FT_Bitmap &b = face->glyph->bitmap;
        for (unsigned r = 0; r < b.rows; ++r)
            for (unsigned c = 0; c < b.width; ++c) {
                const int x = pen + face->glyph->bitmap_left + int(c), y = baseline - face->glyph->bitmap_top + int(r);
                const unsigned cov = b.buffer[int(r) * b.pitch + int(c)];
                const auto a = static_cast<unsigned char>((cov * color.alpha + 127) / 255);
                if (x < 0 || y < 0 || x >= out.w || y >= out.h || a == 0) continue;
                color_t &p = out.pixel(x, y);
                p = a == 255 ? color : zr::blend_color({color.red, color.green, color.blue, a}, p);
            }
        pen += int((face->glyph->advance.x + 32) >> 6);
    }
    FT_Done_Face(face);
    FT_Done_FreeType(lib);
}

// Latin in two colours, and Korean from UTF-8 and from EUC-KR.
TEST(FreeTypeFont, MatchesFreeTypeGlyphByGlyph) {
    REQUIRE_FONT(dejavu);
    REQUIRE_FONT(nanum);
    const char *latin = "Hello, World! gjy 0.5%", *hangul = "\xED\x95\x9C\xEA\xB8\x80 \xEC\x8B\x9C\xED\x97\x98";
    struct { const char *path, *text; std::u32string codes; bool euckr; color_t color; int least_advance; } cases[] = {
        {dejavu, latin, U"Hello, World! gjy 0.5%", false, {250, 200, 40, 255}, 150},
        {dejavu, latin, U"Hello, World! gjy 0.5%", false, {30, 200, 250, 140}, 150},
        {nanum, hangul, U"\uD55C\uAE00 \uC2DC\uD5D8", false, {255, 255, 255, 200}, 60},
        {nanum, "\xC7\xD1\xB1\xDB \xBD\xC3\xC7\xE8", U"\uD55C\uAE00 \uC2DC\uD5D8", true, {255, 255, 255, 200}, 60},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
        font_ptr font = open_font(c.path, 22);
        ASSERT_NE(font, nullptr) << zr_error_code;
        const int ascent = metrics(font.get())[1];
        EXPECT_GT(ascent, 12);
        canvas r(260, 40), want(260, 40);
        const int adv = (c.euckr ? zr_text_out_euckr : zr_text_out)(r.dc(), font.get(), 4, 3, c.text, c.color);
        draw_reference(want, c.path, 22, c.codes, 4, 3 + ascent, c.color);
        expect_same(r, want);
        EXPECT_EQ(r.violations, 0);
        EXPECT_GT(adv, c.least_advance);
        int measured = 0;
        zr_text_size(font.get(), c.euckr ? hangul : c.text, &measured, nullptr);
        EXPECT_EQ(adv, measured);
    }
}

// A BDF font 8 pixels high (descent 2) of 6 x 8 glyphs advancing 7, declaring
// the ascent given; glyphs as rows of '#'.
const std::vector<std::string> bdf_A = {"..##..", ".#..#.", "#....#", "######", "#....#", "#....#", "......", "......"};
const std::vector<std::string> bdf_q = {"......", "......", ".####.", "#...#.", "#...#.", ".####.", "....#.", "....##"};

bytes bdf_font(int ascent, const std::vector<std::pair<int, std::vector<std::string>>> &glyphs) {
    std::string bdf = "STARTFONT 2.1\nFONT -zr-test-medium-r-normal--8-80-75-75-c-60-iso10646-1\nSIZE 8 75 75\n"
                      "FONTBOUNDINGBOX 6 8 0 -2\nSTARTPROPERTIES 2\nFONT_ASCENT " + std::to_string(ascent) +
                      "\nFONT_DESCENT 2\nENDPROPERTIES\nCHARS " + std::to_string(glyphs.size()) + "\n";
    for (const auto &[code, rows] : glyphs) {
        bdf += "STARTCHAR c" + std::to_string(code) + "\nENCODING " + std::to_string(code) +
               "\nSWIDTH 750 0\nDWIDTH 7 0\nBBX 6 8 0 -2\nBITMAP\n";
        for (const std::string &row : rows) {
            unsigned v = 0;
            for (char c : row + "..") v = v << 1 | (c == '#');
            bdf += "0123456789ABCDEF"[v >> 4] + std::string(1, "0123456789ABCDEF"[v & 15]) + "\n";
        }
        bdf += "ENDCHAR\n";
    }
    bdf += "ENDFONT\n";
    return bytes(bdf.begin(), bdf.end());
}

// FreeType's bitmap strike, drawn as opaque pixels.
TEST(FreeTypeFont, BdfBitmapStrikeDrawsItsBits) {
    temp_file f("bdf", bdf_font(6, {{'A', bdf_A}, {'?', bdf_q}}));  // q drawn for '?': the replacement glyph
    font_ptr font = open_font(f.path, 8);
    ASSERT_NE(font, nullptr) << zr_error_code;
    EXPECT_EQ(metrics(font.get()), (ints{8, 6, 2, 8}));
    canvas r(30, 12);
    EXPECT_EQ(zr_text_out(r.dc(), font.get(), 1, 2, "AZ", red), 14);
    expect_picture(r, [](int x, int y) {
        const int gy = y - 2, gx = (x - 1) % 7, g = (x - 1) / 7;
        return x >= 1 && g < 2 && gx < 6 && gy >= 0 && gy < 8 && (g == 0 ? bdf_A : bdf_q)[gy][gx] == '#';
    });
}

// A font's own numbers may be anything: neither a huge ascent nor glyphs
// scaled past the largest side may cost more than a glyph of that side.
TEST(FreeTypeFont, HugeMetricsCostNoMoreThanTheLargestGlyph) {
    // 8 pixels high claiming an ascent of 30000 and lacking both U+FFFD and
    // '?': its box stays as high as the font.
    temp_file f("tall-bdf", bdf_font(30000, {{'A', bdf_A}}));
    font_ptr tall = open_font(f.path, 8);
    ASSERT_NE(tall, nullptr) << zr_error_code;
    int w = 0;
    zr_text_size(tall.get(), "Z", &w, nullptr);
    EXPECT_TRUE(w > 3 && w <= 8) << w;

    // DejaVu with 16 units to the em: at 128 pixels every outline is tens of
    // thousands of pixels across, refused before FreeType renders it.
    REQUIRE_FONT(dejavu);
    bytes ttf = read_all(dejavu);
    std::size_t head = 12;  // the table records, 16 bytes each, follow a 12-byte header
    while (head + 16 <= ttf.size() && std::memcmp(&ttf[head], "head", 4) != 0) head += 16;
    ASSERT_LE(head + 16, ttf.size());
    const std::size_t em = (std::size_t{ttf[head + 8]} << 24 | ttf[head + 9] << 16 | ttf[head + 10] << 8 | ttf[head + 11]) + 18;
    ttf.at(em) = 0, ttf.at(em + 1) = 16;
    temp_file g("tiny-em", ttf);
    font_ptr huge = open_font(g.path, 128);
    ASSERT_NE(huge, nullptr) << zr_error_code;
    const int grown = zr_test::peak_growth_mib([&] { zr_text_size(huge.get(), "A", nullptr, nullptr); });
    EXPECT_TRUE(grown >= 0 && grown < 32) << grown << " MiB for one measured character";
    zr_text_size(huge.get(), "A", &w, nullptr);
    EXPECT_LE(w, 128);
}
#endif

// Text drawn on a small DC at positions over every edge equals the same text
// drawn on a large DC, cut out; nothing is written outside.
TEST(TextClip, EveryEdgeMatchesTheUnclippedPicture) {
    constexpr int w = 30, h = 25, pad = 60;
    const char *text = "Wg#\nq@";
    for (int y0 : {-40, -20, -5, 0, 3, 10, 20, 24})
        for (int x0 : {-45, -30, -7, 0, 5, 17, 29}) {
            SCOPED_TRACE(std::to_string(x0) + "," + std::to_string(y0));
            canvas small(w, h), big(w + 2 * pad, h + 2 * pad);
            EXPECT_EQ(zr_text_out(small.dc(), zr_font_default(), x0, y0, text, red),
                      zr_text_out(big.dc(), zr_font_default(), x0 + pad, y0 + pad, text, red));
            EXPECT_EQ(small.violations, 0);
            expect_same(small, big, pad, pad);
        }
}

TEST(TextClip, ExtremePositionsDrawNothingAndDoNotOverflow) {
    zr_font_t *font = zr_font_default();
    recording_dc r(16, 16);
    const std::string long_line(300, 'M');
    for (const int x : {INT_MIN, INT_MIN + 1, -1000000, INT_MAX - 5, INT_MAX})
        for (const int y : {INT_MIN, INT_MIN + 3, 0, INT_MAX - 10, INT_MAX})
            EXPECT_EQ(zr_text_out(r.dc(), font, x, y, (long_line + "\nM\nM").c_str(), red), 300 * 12);
    EXPECT_TRUE(r.calls_of(zr_test::slot::set_pixel).empty());
    // Far to the left, the line's last glyph still reaches the DC.
    EXPECT_EQ(zr_text_out(r.dc(), font, -299 * 12, 0, long_line.c_str(), red), 300 * 12);
    EXPECT_FALSE(r.calls_of(zr_test::slot::set_pixel).empty());
    EXPECT_EQ(r.violations, 0);
}

// Text drawn by the plain path and by the fast-path table's glyph row (the
// CPU's own row loops or the portable ones) over the same bytes of every
// screen format leaves the same bytes: random sizes, positions, colours and
// texts in the built-in and a FreeType font, and anti-aliased glyphs, which
// bring most coverage values, under every colour alpha.
TEST(TextFastPath, WritesWhatThePlainPathWrites) {
    path_guard restore;
    struct run { zr_font_t *font; int w, h, pad, x, y; const char *text; color_t c; bool variants; };
    std::vector<run> runs;
    std::vector<font_ptr> owned;
    std::vector<zr_font_t *> fonts = {zr_font_default()};
#if ZR_HAVE_FREETYPE
    if (std::ifstream(dejavu)) {
        owned.push_back(open_font(dejavu, 17));
        fonts.push_back(owned.back().get());
        owned.push_back(open_font(dejavu, 40));
        for (int alpha = 0; alpha < 512; ++alpha)
            runs.push_back({owned.back().get(), 150, 48, 0, 1, 0, "@Wg&%", {200, 90, 30, uchar(alpha)}, alpha < 256});
    }
#endif
    std::mt19937 rng(7);
    auto in = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const char *texts[] = {"Fast & plain", "ag\n%W|", "\xED\x95\x9C?x"};
    for (zr_font_t *font : fonts)
        for (int round = 0; round < 12; ++round) {
            const int w = in(20, 90), h = in(10, 50);
            runs.push_back({font, w, h, in(0, 3) * 2, in(-30, w), in(-20, h), texts[round % 3],
                            {uchar(in(0, 255)), uchar(in(0, 255)), uchar(in(0, 255)), uchar(round % 3 == 0 ? 255 : in(0, 255))},
                            round % 2 == 0});
        }
    for (const auto &[f, bytes] : zr_test::screen_formats())
        for (const run &r : runs) {
            const int stride = r.w * bytes + r.pad;
            const auto seed = static_cast<unsigned>(&r - runs.data());
            fb_surface plain(f, r.w, r.h, stride), fast(f, r.w, r.h, stride);
            std::mt19937 noise(seed);
            for (auto &b : plain.memory) b = static_cast<unsigned char>(noise());
            fast.memory = plain.memory;
            ASSERT_EQ(zr::fb_format_of(&fast.dc), f);
            zr::set_plain_path_forced(true);
            const int a = zr_text_out(&plain.dc, r.font, r.x, r.y, r.text, r.c);
            zr::set_plain_path_forced(false);
            zr::set_cpu_variants_allowed(r.variants);
            EXPECT_EQ(a, zr_text_out(&fast.dc, r.font, r.x, r.y, r.text, r.c));
            ASSERT_EQ(plain.memory, fast.memory) << "format " << int(f) << ", run " << seed;
        }
}

// The measured box is the advance and the lines' height, and holds all ink.
TEST(TextSize, MeasureEqualsTheDrawnExtent) {
    temp_file f("psf", make_psf2(7, 9, 128, false).file);
    font_ptr font = open_font(f.path, 9);
    ASSERT_NE(font, nullptr);
    const std::pair<zr_font_t *, const char *> cases[] = {
        {font.get(), "####\n#\n##"}, {font.get(), "#"}, {zr_font_default(), "Hello\nthere, g"}};
    for (const auto &[fn, text] : cases) {
        SCOPED_TRACE(text);
        int w = -1, h = -1;
        zr_text_size(fn, text, &w, &h);
        canvas r(120, 80);
        EXPECT_EQ(zr_text_out(r.dc(), fn, 5, 6, text, red), w);
        EXPECT_EQ(h, (1 + static_cast<int>(std::count(text, text + std::strlen(text), '\n'))) * metrics(fn)[3]);
        int x0 = INT_MAX, y0 = INT_MAX, x1 = -1, y1 = -1;
        for (int y = 0; y < r.h; ++y)
            for (int x = 0; x < r.w; ++x)
                if (same(r.pixel(x, y), red)) x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
        EXPECT_TRUE(x0 >= 5 && y0 >= 6 && x1 < 5 + w && y1 < 6 + h);
    }
    int w = -1, h = -1;
    zr_text_size(font.get(), "", &w, &h);
    EXPECT_EQ(ints({w, h}), ints({0, 0}));
}

}  // namespace
