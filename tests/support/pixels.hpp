// Pixels for the suites: colours compared and printed, bitmaps that close
// themselves, and DCs of a screen format over memory of their own, with the
// switch between the fast and the plain path put back when a test ends.
// Brings fb_dc.hpp, pixel_format.hpp, zr_internal.hpp and <cstdio>, <cstring>,
// <functional>, <memory>, <string>, <vector>.
#pragma once

#include "cpu_variant.hpp"
#include "fb_dc.hpp"
#include "pixel_format.hpp"
#include "zr_internal.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zr_test {

using bytes = std::vector<unsigned char>;
using bmp_ptr = std::unique_ptr<bmp_t, void (*)(bmp_t *)>;

inline bool same(color_t a, color_t b) { return std::memcmp(&a, &b, sizeof a) == 0; }
inline std::vector<int> rgba(color_t c) { return {c.red, c.green, c.blue, c.alpha}; }
inline std::string str(color_t c) {
    char text[32];
    std::snprintf(text, sizeof text, "(%d,%d,%d,%d)", c.red, c.green, c.blue, c.alpha);
    return text;
}
// The pixel at (x, y) as red, green, blue, alpha; a read outside leaves zeros.
inline std::vector<int> pixel(dc_t *dc, int x, int y) {
    color_t c{};
    zr_get_pixel(dc, x, y, &c);
    return rgba(c);
}
inline std::vector<int> pixel(bmp_t *b, int x, int y) { return pixel(&b->dc, x, y); }

inline bmp_ptr make_bitmap(int width, int height, int bits, int palette_count = 0) {
    return bmp_ptr(zr_bmp_create(width, height, bits, palette_count), zr_bmp_close);
}

// Every screen format, with its bytes a pixel (messages name a format by its number).
struct format_case { zr::pixel_format id; int bytes; };
inline std::vector<format_case> screen_formats() {
    std::vector<format_case> all;
    zr::screen_formats::each([&]<class Fmt>() { all.push_back({Fmt::id, Fmt::bytes}); });
    return all;
}

// Restores the default path choice when a test ends, however it ends.
struct path_guard {
    ~path_guard() {
        zr::set_plain_path_forced(false);
        zr::set_cpu_variants_allowed(true);
    }
};

// A DC of a screen format over memory of its own, with guard bytes around
// the pixels, rows of any stride (negative: bottom-up in memory) and a start
// at any byte offset.
struct fb_surface {
    static constexpr int guard = 16;
    bytes memory;
    dc_t dc{};

    fb_surface(zr::pixel_format format, int width, int height, int stride, int offset = 0) {
        const int row = stride < 0 ? -stride : stride;
        memory.assign(static_cast<std::size_t>(2 * guard + offset + row * height), 0x5A);
        dc.dc_type = DC_TYPE_SCREEN;
        dc.width = width;
        dc.height = height;
        dc.bytes_per_line = stride;
        dc.bytes = row * height;
        dc.mapped = memory.data() + guard + offset + (stride < 0 ? row * (height - 1) : 0);
        dc.pen_color = {255, 255, 255, 255};
        dc.brush_color = {0, 0, 0, 255};
        EXPECT_TRUE(zr::install_screen_format(&dc, format));
    }
};

// Memory a call may write: a surface's or a bitmap's.
struct block { unsigned char *data; std::size_t size; };
inline block of(fb_surface &s) { return {s.memory.data(), s.memory.size()}; }
inline block of(bmp_t *b) { return {b->data, static_cast<std::size_t>(b->dc.bytes)}; }

// Runs op on the same starting bytes of every block: plain, then fast with
// the CPU's own variants, then fast with portable code only. "" when all
// three leave the same bytes, else which run differs and where.
inline std::string compare_paths(const std::vector<block> &blocks, const std::function<void()> &op) {
    path_guard restore;
    std::vector<bytes> start, plain;
    for (const block &b : blocks) start.emplace_back(b.data, b.data + b.size);
    zr::set_plain_path_forced(true);
    op();
    for (const block &b : blocks) plain.emplace_back(b.data, b.data + b.size);
    zr::set_plain_path_forced(false);
    for (const bool variants : {true, false}) {
        for (std::size_t i = 0; i < blocks.size(); ++i) std::memcpy(blocks[i].data, start[i].data(), blocks[i].size);
        zr::set_cpu_variants_allowed(variants);
        op();
        for (std::size_t i = 0; i < blocks.size(); ++i)
            for (std::size_t k = 0; k < blocks[i].size; ++k)
                if (blocks[i].data[k] != plain[i][k])
                    return std::string(variants ? "fast" : "portable fast") + " path differs in block " +
                           std::to_string(i) + " at byte " + std::to_string(k) + ": " +
                           std::to_string(blocks[i].data[k]) + ", plain " + std::to_string(plain[i][k]);
    }
    return "";
}

}  // namespace zr_test
