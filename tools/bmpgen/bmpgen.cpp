// bmpgen: writes generated pictures as BMP files.
//
//   bmpgen --bits N [--rle] [--565] [--size WxH] [--picture NAME] OUT.bmp
//   bmpgen --demo DIR      the demo's five images, bpp-01.bmp ... bpp-32.bmp
//   bmpgen --list          the picture names
//
// N is 1, 4, 8, 16, 24 or 32; --rle (8 bits only) writes RLE8, --565 (16
// bits only) the 5-6-5 bit fields instead of 5-5-5. Same arguments, same bytes.
#include "bmp_writer.hpp"
#include "pictures.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int default_width = 200, default_height = 150;

struct demo_image {
    const char *file;
    bmpgen::bmp_format format;
    const char *picture;
};

constexpr demo_image demo_images[] = {
    {"bpp-01.bmp", bmpgen::bmp_format::bits1, "rings"},
    {"bpp-04.bmp", bmpgen::bmp_format::bits4, "tiles"},
    {"bpp-08.bmp", bmpgen::bmp_format::bits8, "gradient"},
    {"bpp-24.bmp", bmpgen::bmp_format::bits24, "wheel"},
    {"bpp-32.bmp", bmpgen::bmp_format::bits32, "landscape"},
};

int usage() {
    std::fputs("usage: bmpgen --bits N [--rle] [--565] [--size WxH] [--picture NAME] OUT.bmp\n"
               "       bmpgen --demo DIR\n"
               "       bmpgen --list\n",
               stderr);
    return 2;
}

bool write(const std::string &path, const bmpgen::image &img, bmpgen::bmp_format f) {
    if (bmpgen::write_bmp(path, img, f)) return true;
    std::fprintf(stderr, "bmpgen: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
}

int write_demo(const std::string &dir) {
    for (const demo_image &d : demo_images) {
        const bmpgen::image img = bmpgen::make_picture(d.picture, default_width, default_height);
        if (!write(dir + "/" + d.file, img, d.format)) return 1;
    }
    return 0;
}

// The picture each depth shows when none is named.
const char *default_picture(int bits) {
    for (const demo_image &d : demo_images)
        if (bmpgen::bits_of(d.format) == bits) return d.picture;
    return "landscape";
}

bool parse_size(const char *text, int *w, int *h) {
    char *end = nullptr;
    const long lw = std::strtol(text, &end, 10);
    if (end == text || *end != 'x') return false;
    const char *rest = end + 1;
    const long lh = std::strtol(rest, &end, 10);
    if (end == rest || *end != '\0') return false;
    // Large enough for any screen, small enough that sizes never overflow.
    if (lw < 1 || lh < 1 || lw > 16384 || lh > 16384) return false;
    *w = static_cast<int>(lw);
    *h = static_cast<int>(lh);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    int bits = 0, width = default_width, height = default_height;
    bool rle = false, g6 = false;
    std::string picture, out;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--demo" && has_value && i + 2 == argc) return write_demo(argv[i + 1]);
        if (arg == "--list" && argc == 2) {
            for (const std::string &name : bmpgen::picture_names()) std::puts(name.c_str());
            return 0;
        }
        if (arg == "--bits" && has_value) {
            bits = std::atoi(argv[++i]);
        } else if (arg == "--size" && has_value) {
            if (!parse_size(argv[++i], &width, &height)) return usage();
        } else if (arg == "--picture" && has_value) {
            picture = argv[++i];
        } else if (arg == "--rle") {
            rle = true;
        } else if (arg == "--565") {
            g6 = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage();
        } else if (out.empty()) {
            out = arg;
        } else {
            return usage();
        }
    }
    if (out.empty() || (rle && bits != 8) || (g6 && bits != 16)) return usage();

    bmpgen::bmp_format format;
    switch (bits) {
        case 1: format = bmpgen::bmp_format::bits1; break;
        case 4: format = bmpgen::bmp_format::bits4; break;
        case 8: format = rle ? bmpgen::bmp_format::rle8 : bmpgen::bmp_format::bits8; break;
        case 16: format = g6 ? bmpgen::bmp_format::bits16_565 : bmpgen::bmp_format::bits16_555; break;
        case 24: format = bmpgen::bmp_format::bits24; break;
        case 32: format = bmpgen::bmp_format::bits32; break;
        default: return usage();
    }
    if (picture.empty()) picture = default_picture(bits);
    const bmpgen::image img = bmpgen::make_picture(picture, width, height);
    if (img.pixels.empty()) {
        std::fprintf(stderr, "bmpgen: unknown picture %s (see --list)\n", picture.c_str());
        return 2;
    }
    return write(out, img, format) ? 0 : 1;
}
