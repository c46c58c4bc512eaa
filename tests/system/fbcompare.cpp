// zr-fbcompare: compares pictures of a framebuffer's screen.
//
//   zr-fbcompare compare DEPTH DEGREES EXPECTED.png SCREEN.png [DIFF.png]
//       EXPECTED turned clockwise by DEGREES (0, 90, 180, 270) against SCREEN,
//       both cut to the framebuffer's precision (5 bits a channel at 15; 5,
//       6, 5 at 16; 8 at 24 and 32: one maker of pictures widens 5 bits by a
//       shift, another by repeating them). Exit 0 when every pixel agrees,
//       else 1 with a report and, if asked, a picture of the difference.
//   zr-fbcompare stats SCREEN.png       pixels, those not black, colours
//   zr-fbcompare count SCREEN.png R,G,B pixels of that colour
//   zr-fbcompare frame SCREEN.png
//       For a screen of solid frames: "whole R,G,B" when every pixel has one
//       colour; "shifted R,G,B N" when one colour fills all but N black pixels
//       (N less than a line) at one end, a whole frame shown from a start
//       address off by N pixels; otherwise "torn" with the numbers of colours
//       and of runs of one colour.
//   zr-fbcompare raw-copies SCREEN.png [DIFF.png]
//       For a 24-bit screen on which the scene program could only copy bytes:
//       compare with its whole-buffer copy and row copies, zero elsewhere.
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

bool failed(const char *path, const png_image &image) {
    std::fprintf(stderr, "%s: %s\n", path, image.message);
    return false;
}

bool read_png(const char *path, picture *out) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path) == 0) return failed(path, image);
    image.format = PNG_FORMAT_RGB;
    out->width = static_cast<int>(image.width);
    out->height = static_cast<int>(image.height);
    out->rgb.resize(PNG_IMAGE_SIZE(image));
    return png_image_finish_read(&image, nullptr, out->rgb.data(), 0, nullptr) != 0 || failed(path, image);
}

bool write_png(const char *path, const picture &p) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(p.width);
    image.height = static_cast<png_uint_32>(p.height);
    image.format = PNG_FORMAT_RGB;
    return png_image_write_to_file(&image, path, 0, p.rgb.data(), 0, nullptr) != 0 || failed(path, image);
}

// Every pixel of the two pictures, each channel cut to the bits a channel
// keeps at DEPTH. The difference picture shows the expected picture dimmed,
// with the pixels that differ in full red.
int compare(const picture &expected, const picture &actual, int depth, const char *diff_path) {
    if (expected.width != actual.width || expected.height != actual.height) {
        std::printf("size differs: expected %dx%d, screen %dx%d\n", expected.width, expected.height, actual.width,
                    actual.height);
        return 1;
    }
    const int shift[3] = {depth <= 16 ? 3 : 0, depth == 15 ? 3 : depth == 16 ? 2 : 0, depth <= 16 ? 3 : 0};
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
            if (count++ == 0)
                std::printf("first difference at (%d, %d): expected %d,%d,%d, screen %d,%d,%d\n", x, y, e[0], e[1],
                            e[2], a[0], a[1], a[2]);
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
    picture p;
    p.width = width;
    p.height = height;
    p.rgb.resize(static_cast<std::size_t>(width) * height * 3);
    // Byte i of row y: byte i % 3 (blue, green, red) of pixel i / 3.
    auto put = [&](int i, int y, std::uint8_t value) {
        p.rgb[(static_cast<std::size_t>(y) * width + i / 3) * 3 + 2 - i % 3] = value;
    };
    for (int y = 0; y < std::min(scene::band_rows, height); ++y)
        for (int i = 0; i < width * 3; ++i) put(i, y, scene::band_byte(i, y));
    auto copy_rect = [&](const scene::copy &c, auto source_byte) {
        for (int r = 0; r < c.h; ++r)
            for (int col = 0; col < c.w; ++col) {
                const int x = c.dx + col, y = c.dy + r;
                if (x < 0 || x >= width || y < 0 || y >= height) continue;
                for (int b = 0; b < 3; ++b) put(x * 3 + b, y, source_byte((c.sx + col) * 3 + b, c.sy + r));
            }
    };
    for (const scene::copy &c : scene::tile_copies) copy_rect(c, scene::tile_byte);
    copy_rect(scene::screen_copy, scene::band_byte);
    return p;
}

int usage() {
    std::fprintf(stderr, "usage: zr-fbcompare compare DEPTH DEGREES EXPECTED.png SCREEN.png [DIFF.png]\n"
                         "       zr-fbcompare stats|frame SCREEN.png\n"
                         "       zr-fbcompare count SCREEN.png R,G,B\n"
                         "       zr-fbcompare raw-copies SCREEN.png [DIFF.png]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return usage();
    const std::string command = argv[1];
    if (command == "compare" && (argc == 6 || argc == 7)) {
        const int degrees = std::atoi(argv[3]);
        if (degrees != 0 && degrees != 90 && degrees != 180 && degrees != 270) return usage();
        picture expected, screen;
        if (!read_png(argv[4], &expected) || !read_png(argv[5], &screen)) return 2;
        return compare(degrees == 0 ? expected : turned(expected, degrees), screen, std::atoi(argv[2]),
                       argc == 7 ? argv[6] : nullptr);
    }
    picture p;
    const bool one = (command == "stats" || command == "frame") && argc == 3;
    if (!one && !(command == "count" && argc == 4) && !(command == "raw-copies" && (argc == 3 || argc == 4)))
        return usage();
    if (!read_png(argv[2], &p) || p.rgb.empty()) return 2;
    if (command == "raw-copies")
        return compare(expected_raw_copies(p.width, p.height), p, 24, argc == 4 ? argv[3] : nullptr);
    // Each pixel as 0xRRGGBB; runs of one colour in scan order (a whole frame is one).
    struct run {
        unsigned colour;
        long length;
    };
    std::vector<run> runs;
    std::set<unsigned> colours;
    long lit = 0;
    for (std::size_t i = 0; i < p.rgb.size(); i += 3) {
        const unsigned v = p.rgb[i] << 16 | p.rgb[i + 1] << 8 | p.rgb[i + 2];
        colours.insert(v);
        lit += v != 0 ? 1 : 0;
        if (runs.empty() || runs.back().colour != v) runs.push_back({v, 0});
        ++runs.back().length;
    }
    if (command == "stats") {
        std::printf("pixels %ld lit %ld colours %zu\n", static_cast<long>(p.width) * p.height, lit, colours.size());
    } else if (command == "count") {
        unsigned r = 0, g = 0, b = 0;
        if (std::sscanf(argv[3], "%u,%u,%u", &r, &g, &b) != 3) return usage();
        long n = 0;
        for (const run &x : runs) n += x.colour == (r << 16 | g << 8 | b) ? x.length : 0;
        std::printf("%ld\n", n);
    } else if (runs.size() == 1) {
        std::printf("whole %u,%u,%u\n", runs[0].colour >> 16, runs[0].colour >> 8 & 0xFF, runs[0].colour & 0xFF);
    } else {
        // One frame whose start moved by less than a line: black pixels
        // (memory beside the frame) at one end only.
        const run &frame = runs[0].colour != 0 ? runs[0] : runs.back();
        const run &edge = runs[0].colour != 0 ? runs.back() : runs[0];
        if (runs.size() == 2 && frame.colour != 0 && edge.colour == 0 && edge.length < p.width) {
            std::printf("shifted %u,%u,%u %ld\n", frame.colour >> 16, frame.colour >> 8 & 0xFF, frame.colour & 0xFF,
                        edge.length);
        } else {
            std::printf("torn colours %zu runs %zu\n", colours.size(), runs.size());
        }
    }
    return 0;
}
