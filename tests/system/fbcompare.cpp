// zr-fbcompare: compares pictures of a framebuffer's screen.
//
//   zr-fbcompare compare DEPTH EXPECTED.png SCREEN.png [DIFF.png]
//   zr-fbcompare compare-turned DEPTH DEGREES EXPECTED.png SCREEN.png [DIFF.png]
//       the same with EXPECTED turned clockwise by DEGREES (90, 180, 270)
//       first: what a rotated display must show of the picture drawn
//       Both pictures are cut to the framebuffer's own precision (5 bits a
//       channel at depth 15; 5, 6, 5 at 16; 8 at 24 and 32): one maker of
//       pictures widens a 5-bit channel by a shift (up to 248), another by
//       repeating its bits (up to 255). Exit 0 when every pixel agrees;
//       otherwise a report and, if asked, a picture of the difference.
//   zr-fbcompare stats SCREEN.png
//       Pixels that are not black and the number of distinct colours.
//   zr-fbcompare frame SCREEN.png
//       For a screen that shows solid frames: "whole R,G,B" when every pixel
//       has one colour; "shifted R,G,B N" when one colour fills all but N
//       black pixels (N less than a line) at the start or the end, a whole
//       frame shown from a start address off by N pixels; otherwise "torn"
//       with the numbers of colours and of runs of one colour.
//   zr-fbcompare count SCREEN.png R,G,B
//       The number of pixels of that colour.
//   zr-fbcompare raw-copies SCREEN.png [DIFF.png]
//       For a 24-bit screen on which the scene program could only copy bytes:
//       checks that its whole-buffer copy and row copies put the expected
//       bytes on the screen, and zero bytes everywhere else.
#include "scene_layout.hpp"

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {

struct picture {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;  // 3 bytes a pixel, rows top to bottom
    const unsigned char *at(int x, int y) const {
        return &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
    }
};

bool read_png(const char *path, picture *out) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path) == 0) {
        std::fprintf(stderr, "%s: %s\n", path, image.message);
        return false;
    }
    image.format = PNG_FORMAT_RGB;
    out->width = static_cast<int>(image.width);
    out->height = static_cast<int>(image.height);
    out->rgb.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, out->rgb.data(), 0, nullptr) == 0) {
        std::fprintf(stderr, "%s: %s\n", path, image.message);
        return false;
    }
    return true;
}

bool write_png(const char *path, const picture &p) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(p.width);
    image.height = static_cast<png_uint_32>(p.height);
    image.format = PNG_FORMAT_RGB;
    if (png_image_write_to_file(&image, path, 0, p.rgb.data(), 0, nullptr) == 0) {
        std::fprintf(stderr, "%s: %s\n", path, image.message);
        return false;
    }
    return true;
}

// Bits a channel keeps at a depth: red, green, blue.
struct precision {
    int red, green, blue;
};
precision precision_of(int depth) {
    if (depth == 15) return {5, 5, 5};
    if (depth == 16) return {5, 6, 5};
    return {8, 8, 8};
}

// Every pixel of the two pictures, each channel cut to the precision given.
// The difference picture shows the expected picture dimmed, with the pixels
// that differ in full red.
int compare(const picture &expected, const picture &actual, precision bits, const char *diff_path) {
    if (expected.width != actual.width || expected.height != actual.height) {
        std::printf("size differs: expected %dx%d, screen %dx%d\n", expected.width, expected.height, actual.width,
                    actual.height);
        return 1;
    }
    const int shift[3] = {8 - bits.red, 8 - bits.green, 8 - bits.blue};
    picture diff = expected;
    long count = 0;
    int x0 = expected.width, y0 = expected.height, x1 = -1, y1 = -1;
    for (int y = 0; y < expected.height; ++y) {
        for (int x = 0; x < expected.width; ++x) {
            const unsigned char *e = expected.at(x, y);
            const unsigned char *a = actual.at(x, y);
            bool same = true;
            for (int c = 0; c < 3; ++c) same = same && (e[c] >> shift[c]) == (a[c] >> shift[c]);
            unsigned char *d = &diff.rgb[(static_cast<std::size_t>(y) * diff.width + x) * 3];
            for (int c = 0; c < 3; ++c) d[c] = static_cast<unsigned char>(d[c] / 4);
            if (same) continue;
            if (count == 0) {
                std::printf("first difference at (%d, %d): expected %d,%d,%d, screen %d,%d,%d\n", x, y, e[0], e[1],
                            e[2], a[0], a[1], a[2]);
            }
            ++count;
            x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
            d[0] = 255, d[1] = 0, d[2] = 0;
        }
    }
    const long total = static_cast<long>(expected.width) * expected.height;
    if (count == 0) {
        std::printf("all %ld pixels agree\n", total);
        return 0;
    }
    std::printf("%ld of %ld pixels differ, within (%d, %d) - (%d, %d)\n", count, total, x0, y0, x1, y1);
    if (diff_path != nullptr && write_png(diff_path, diff)) std::printf("difference: %s\n", diff_path);
    return 1;
}

// The picture turned clockwise by degrees: with 90, its top-left pixel
// goes to the top-right corner.
picture turned(const picture &p, int degrees) {
    picture t;
    const bool sideways = degrees != 180;
    t.width = sideways ? p.height : p.width;
    t.height = sideways ? p.width : p.height;
    t.rgb.resize(p.rgb.size());
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            const int tx = degrees == 90 ? p.height - 1 - y : degrees == 270 ? y : p.width - 1 - x;
            const int ty = degrees == 90 ? x : degrees == 270 ? p.width - 1 - x : p.height - 1 - y;
            std::copy_n(p.at(x, y), 3, &t.rgb[(static_cast<std::size_t>(ty) * t.width + tx) * 3]);
        }
    return t;
}

// The 24-bit screen as the scene program's byte copies leave it when no
// drawing operation does anything: zero bytes, the band, the row copies.
// Each pixel is three bytes blue, green, red.
picture expected_raw_copies(int width, int height) {
    const int line = width * 3;
    std::vector<unsigned char> mem(static_cast<std::size_t>(line) * height, 0);
    for (int y = 0; y < std::min(scene::band_rows, height); ++y) {
        for (int i = 0; i < line; ++i) mem[static_cast<std::size_t>(y) * line + i] = scene::band_byte(i, y);
    }
    auto copy_rect = [&](const scene::copy &c, auto source_byte) {
        for (int r = 0; r < c.h; ++r) {
            for (int col = 0; col < c.w; ++col) {
                const int x = c.dx + col, y = c.dy + r;
                if (x < 0 || x >= width || y < 0 || y >= height) continue;
                for (int b = 0; b < 3; ++b) {
                    mem[static_cast<std::size_t>(y) * line + x * 3 + b] = source_byte((c.sx + col) * 3 + b, c.sy + r);
                }
            }
        }
    };
    for (const scene::copy &c : scene::tile_copies) copy_rect(c, scene::tile_byte);
    copy_rect(scene::screen_copy, scene::band_byte);
    picture p;
    p.width = width;
    p.height = height;
    p.rgb.resize(mem.size());
    for (std::size_t i = 0; i < mem.size(); i += 3) {
        p.rgb[i] = mem[i + 2];
        p.rgb[i + 1] = mem[i + 1];
        p.rgb[i + 2] = mem[i];
    }
    return p;
}

int usage() {
    std::fprintf(stderr,
                 "usage: zr-fbcompare compare DEPTH EXPECTED.png SCREEN.png [DIFF.png]\n"
                 "       zr-fbcompare compare-turned DEPTH DEGREES EXPECTED.png SCREEN.png [DIFF.png]\n"
                 "       zr-fbcompare stats SCREEN.png\n"
                 "       zr-fbcompare frame SCREEN.png\n"
                 "       zr-fbcompare count SCREEN.png R,G,B\n"
                 "       zr-fbcompare raw-copies SCREEN.png [DIFF.png]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return usage();
    const std::string command = argv[1];
    if (command == "compare" && (argc == 5 || argc == 6)) {
        picture expected, screen;
        if (!read_png(argv[3], &expected) || !read_png(argv[4], &screen)) return 2;
        return compare(expected, screen, precision_of(std::atoi(argv[2])), argc == 6 ? argv[5] : nullptr);
    }
    if (command == "compare-turned" && (argc == 6 || argc == 7)) {
        const int degrees = std::atoi(argv[3]);
        if (degrees != 90 && degrees != 180 && degrees != 270) return usage();
        picture expected, screen;
        if (!read_png(argv[4], &expected) || !read_png(argv[5], &screen)) return 2;
        return compare(turned(expected, degrees), screen, precision_of(std::atoi(argv[2])),
                       argc == 7 ? argv[6] : nullptr);
    }
    if (command == "stats" && argc == 3) {
        picture p;
        if (!read_png(argv[2], &p)) return 2;
        long lit = 0;
        std::set<unsigned> colours;
        for (std::size_t i = 0; i < p.rgb.size(); i += 3) {
            const unsigned v = p.rgb[i] << 16 | p.rgb[i + 1] << 8 | p.rgb[i + 2];
            colours.insert(v);
            lit += v != 0 ? 1 : 0;
        }
        std::printf("pixels %ld lit %ld colours %zu\n", static_cast<long>(p.width) * p.height, lit, colours.size());
        return 0;
    }
    if (command == "count" && argc == 4) {
        picture p;
        unsigned r = 0, g = 0, b = 0;
        if (std::sscanf(argv[3], "%u,%u,%u", &r, &g, &b) != 3 || !read_png(argv[2], &p)) return 2;
        long n = 0;
        for (std::size_t i = 0; i < p.rgb.size(); i += 3) n += p.rgb[i] == r && p.rgb[i + 1] == g && p.rgb[i + 2] == b;
        std::printf("%ld\n", n);
        return 0;
    }
    if (command == "frame" && argc == 3) {
        picture p;
        if (!read_png(argv[2], &p) || p.rgb.empty()) return 2;
        // Runs of one colour in scan order: a whole frame is one run.
        struct run {
            unsigned colour;
            long length;
        };
        std::vector<run> runs;
        std::set<unsigned> colours;
        for (std::size_t i = 0; i < p.rgb.size(); i += 3) {
            const unsigned v = p.rgb[i] << 16 | p.rgb[i + 1] << 8 | p.rgb[i + 2];
            colours.insert(v);
            if (runs.empty() || runs.back().colour != v) {
                runs.push_back({v, 1});
            } else {
                ++runs.back().length;
            }
        }
        auto rgb_text = [](unsigned v) {
            return std::to_string(v >> 16) + "," + std::to_string(v >> 8 & 0xFF) + "," + std::to_string(v & 0xFF);
        };
        if (runs.size() == 1) {
            std::printf("whole %s\n", rgb_text(runs[0].colour).c_str());
            return 0;
        }
        // One frame whose start moved by less than a line: black pixels
        // (memory beside the frame) at one end only.
        if (runs.size() == 2 && colours.size() == 2) {
            const run &frame = runs[0].colour != 0 ? runs[0] : runs[1];
            const run &edge = runs[0].colour != 0 ? runs[1] : runs[0];
            if (frame.colour != 0 && edge.colour == 0 && edge.length < p.width) {
                std::printf("shifted %s %ld\n", rgb_text(frame.colour).c_str(), edge.length);
                return 0;
            }
        }
        std::printf("torn colours %zu runs %zu\n", colours.size(), runs.size());
        return 0;
    }
    if (command == "raw-copies" && (argc == 3 || argc == 4)) {
        picture screen;
        if (!read_png(argv[2], &screen)) return 2;
        return compare(expected_raw_copies(screen.width, screen.height), screen, precision_of(24),
                       argc == 4 ? argv[3] : nullptr);
    }
    return usage();
}
