#include "bmp_writer.hpp"

#include <array>
#include <cstdio>

namespace bmpgen {
namespace {

// ---- palettes and dithering --------------------------------------------

// 1 bit: dark ink on warm paper; the picture's brightness is dithered between them.
constexpr rgb ink{20, 28, 56};
constexpr rgb paper{244, 236, 214};

// 4 bits: the sixteen colours of the classic VGA text palette.
constexpr std::array<rgb, 16> vga16{{
    {0, 0, 0}, {128, 0, 0}, {0, 128, 0}, {128, 128, 0},
    {0, 0, 128}, {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
    {128, 128, 128}, {255, 0, 0}, {0, 255, 0}, {255, 255, 0},
    {0, 0, 255}, {255, 0, 255}, {0, 255, 255}, {255, 255, 255},
}};

// 8 bits: a 6x6x6 colour cube (entries 0-215) and 40 greys between the
// cube's own six greys (entries 216-255), so neutral tones get 46 steps.
constexpr std::array<int, 6> cube_levels{0, 51, 102, 153, 204, 255};
constexpr int cube_index(int r, int g, int b) { return r * 36 + g * 6 + b; }
constexpr int extra_grey(int i) { return 51 * (i / 8) + (51 * (i % 8 + 1) + 4) / 9; }

struct grey_step {
    int level;
    int index;
};

// The 46 grey levels of the 8-bit palette in rising order, with their entries.
std::array<grey_step, 46> grey_ramp() {
    std::array<grey_step, 46> ramp{};
    int n = 0;
    for (int q = 0; q < 6; ++q) {
        ramp[n++] = {cube_levels[q], cube_index(q, q, q)};
        if (q == 5) break;
        for (int k = 0; k < 8; ++k) ramp[n++] = {extra_grey(q * 8 + k), 216 + q * 8 + k};
    }
    return ramp;
}

// Ordered-dither threshold 0..63 of the 8x8 Bayer matrix at (x, y).
int bayer(int x, int y) {
    int v = 0;
    for (int bit = 0; bit < 3; ++bit) {
        const int xb = (x >> bit) & 1, yb = (y >> bit) & 1;
        v = (v << 2) | ((xb ^ yb) << 1) | yb;
    }
    return v;
}

// Which of two neighbouring levels value v (lo <= v <= hi) is drawn as, for
// threshold t (0..63): the fraction of hi that shows over an 8x8 cell equals
// (v - lo) / (hi - lo) to within 1/64.
bool take_upper(int v, int lo, int hi, int t) {
    return static_cast<long>(v - lo) * 128 > static_cast<long>(2 * t + 1) * (hi - lo);
}

// Index into a rising list of levels for value v (clamped to the ends).
template <class Levels, class LevelOf>
int dither_in(const Levels &levels, LevelOf level_of, int v, int t) {
    const int last = static_cast<int>(levels.size()) - 1;
    if (v <= level_of(levels[0])) return 0;
    for (int k = 0; k < last; ++k) {
        const int hi = level_of(levels[k + 1]);
        if (v <= hi) return take_upper(v, level_of(levels[k]), hi, t) ? k + 1 : k;
    }
    return last;
}

int luma(rgb c) { return 299 * c.r + 587 * c.g + 114 * c.b; }

int index1(rgb c, int t) {
    const std::array<int, 2> levels{luma(ink), luma(paper)};
    return dither_in(levels, [](int l) { return l; }, luma(c), t);
}

int index4(rgb c, int t) {
    for (std::size_t i = 0; i < vga16.size(); ++i)
        if (vga16[i] == c) return static_cast<int>(i);
    // Nearest entry to the colour moved by the threshold: the classic
    // ordered dither for a palette that is not a regular grid.
    const int shift = (2 * t + 1 - 64) / 2;
    int best = 0;
    long best_d = -1;
    for (std::size_t i = 0; i < vga16.size(); ++i) {
        const long dr = c.r + shift - vga16[i].r, dg = c.g + shift - vga16[i].g,
                   db = c.b + shift - vga16[i].b;
        const long d = dr * dr + dg * dg + db * db;
        if (best_d < 0 || d < best_d) best = static_cast<int>(i), best_d = d;
    }
    return best;
}

int index8(rgb c, int t) {
    if (c.r == c.g && c.g == c.b) {
        static const auto ramp = grey_ramp();
        return ramp[dither_in(ramp, [](grey_step s) { return s.level; }, c.r, t)].index;
    }
    auto channel = [&](int v) { return dither_in(cube_levels, [](int l) { return l; }, v, t); };
    return cube_index(channel(c.r), channel(c.g), channel(c.b));
}

std::vector<rgb> palette_of(bmp_format f) {
    switch (f) {
        case bmp_format::bits1:
            return {ink, paper};
        case bmp_format::bits4:
            return {vga16.begin(), vga16.end()};
        case bmp_format::bits8:
        case bmp_format::rle8: {
            std::vector<rgb> p(256);
            for (int i = 0; i < 216; ++i) {
                p[i] = {static_cast<std::uint8_t>(cube_levels[i / 36]),
                        static_cast<std::uint8_t>(cube_levels[i / 6 % 6]),
                        static_cast<std::uint8_t>(cube_levels[i % 6])};
            }
            for (int i = 0; i < 40; ++i) {
                const auto g = static_cast<std::uint8_t>(extra_grey(i));
                p[216 + i] = {g, g, g};
            }
            return p;
        }
        default:
            return {};
    }
}

// Palette index of the picture's pixel (x, y) at an indexed depth.
int index_at(const image &img, int x, int y, bmp_format f) {
    const rgb c = img.at(x, y);
    const int t = bayer(x, y);
    switch (f) {
        case bmp_format::bits1:
            return index1(c, t);
        case bmp_format::bits4:
            return index4(c, t);
        default:
            return index8(c, t);
    }
}

bool indexed(bmp_format f) { return bits_of(f) <= 8; }

std::uint16_t pack16(rgb c, bmp_format f) {
    if (f == bmp_format::bits16_565)
        return static_cast<std::uint16_t>((c.r >> 3) << 11 | (c.g >> 2) << 5 | (c.b >> 3));
    return static_cast<std::uint16_t>((c.r >> 3) << 10 | (c.g >> 3) << 5 | (c.b >> 3));
}

// ---- file layout -------------------------------------------------------

void put16(std::vector<std::uint8_t> &out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(std::vector<std::uint8_t> &out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

std::size_t row_size(int bits, int width) {
    return (static_cast<std::size_t>(bits) * static_cast<std::size_t>(width) + 31) / 32 * 4;
}

// Uncompressed pixel rows, bottom row first, each padded with zeros.
std::vector<std::uint8_t> plain_rows(const image &img, bmp_format f) {
    const int bits = bits_of(f);
    const std::size_t stride = row_size(bits, img.width);
    std::vector<std::uint8_t> out(stride * static_cast<std::size_t>(img.height), 0);
    for (int y = 0; y < img.height; ++y) {
        std::uint8_t *row = out.data() + stride * static_cast<std::size_t>(img.height - 1 - y);
        for (int x = 0; x < img.width; ++x) {
            const rgb c = img.at(x, y);
            switch (bits) {
                case 1:
                    row[x / 8] = static_cast<std::uint8_t>(row[x / 8] | index_at(img, x, y, f) << (7 - x % 8));
                    break;
                case 4:
                    row[x / 2] = static_cast<std::uint8_t>(row[x / 2] | index_at(img, x, y, f) << (x % 2 ? 0 : 4));
                    break;
                case 8:
                    row[x] = static_cast<std::uint8_t>(index_at(img, x, y, f));
                    break;
                case 16: {
                    const std::uint16_t v = pack16(c, f);
                    row[2 * x] = static_cast<std::uint8_t>(v);
                    row[2 * x + 1] = static_cast<std::uint8_t>(v >> 8);
                    break;
                }
                default: {  // 24 and 32: blue, green, red (, alpha)
                    std::uint8_t *p = row + static_cast<std::size_t>(x) * (bits / 8);
                    p[0] = c.b;
                    p[1] = c.g;
                    p[2] = c.r;
                    if (bits == 32) p[3] = 255;
                }
            }
        }
    }
    return out;
}

}  // namespace

int bits_of(bmp_format f) {
    switch (f) {
        case bmp_format::bits1: return 1;
        case bmp_format::bits4: return 4;
        case bmp_format::bits8:
        case bmp_format::rle8: return 8;
        case bmp_format::bits16_555:
        case bmp_format::bits16_565: return 16;
        case bmp_format::bits24: return 24;
        case bmp_format::bits32: return 32;
    }
    return 0;
}

image as_stored(const image &img, bmp_format f) {
    image out(img.width, img.height);
    const std::vector<rgb> palette = palette_of(f);
    for (int y = 0; y < img.height; ++y) {
        for (int x = 0; x < img.width; ++x) {
            const rgb c = img.at(x, y);
            if (indexed(f)) {
                out.at(x, y) = palette[static_cast<std::size_t>(index_at(img, x, y, f))];
            } else if (bits_of(f) == 16) {
                const std::uint8_t green_mask = f == bmp_format::bits16_565 ? 0xFC : 0xF8;
                out.at(x, y) = {static_cast<std::uint8_t>(c.r & 0xF8), static_cast<std::uint8_t>(c.g & green_mask),
                                static_cast<std::uint8_t>(c.b & 0xF8)};
            } else {
                out.at(x, y) = c;
            }
        }
    }
    return out;
}

std::vector<std::uint8_t> encode_rle8(const std::vector<std::uint8_t> &indexes, int width, int height) {
    std::vector<std::uint8_t> out;
    for (int s = 0; s < height; ++s) {
        const std::uint8_t *row = indexes.data() + static_cast<std::size_t>(height - 1 - s) * width;
        int i = 0;
        while (i < width) {
            int run = 1;
            while (i + run < width && run < 255 && row[i + run] == row[i]) ++run;
            if (run >= 2) {
                out.push_back(static_cast<std::uint8_t>(run));
                out.push_back(row[i]);
                i += run;
                continue;
            }
            // Gather single pixels until three equal ones start a run.
            int j = i;
            while (j < width && j - i < 255 &&
                   !(j + 2 < width && row[j] == row[j + 1] && row[j] == row[j + 2]))
                ++j;
            const int n = j - i;
            if (n >= 3) {
                // Absolute run, padded to an even number of bytes.
                out.push_back(0);
                out.push_back(static_cast<std::uint8_t>(n));
                out.insert(out.end(), row + i, row + j);
                if (n % 2) out.push_back(0);
            } else {
                // One or two pixels are shorter as runs of one.
                for (int k = i; k < j; ++k) {
                    out.push_back(1);
                    out.push_back(row[k]);
                }
            }
            i = j;
        }
        out.push_back(0);
        out.push_back(s + 1 < height ? 0 : 1);  // end of line, or of the bitmap
    }
    if (height <= 0) {  // no rows: only the end of the bitmap
        out.push_back(0);
        out.push_back(1);
    }
    return out;
}

std::vector<std::uint8_t> encode_bmp(const image &img, bmp_format f) {
    const int bits = bits_of(f);
    const std::vector<rgb> palette = palette_of(f);
    std::vector<std::uint8_t> pixels;
    std::uint32_t compression = 0;
    if (f == bmp_format::rle8) {
        std::vector<std::uint8_t> indexes(img.pixels.size());
        for (int y = 0; y < img.height; ++y)
            for (int x = 0; x < img.width; ++x)
                indexes[static_cast<std::size_t>(y) * img.width + x] =
                    static_cast<std::uint8_t>(index_at(img, x, y, f));
        pixels = encode_rle8(indexes, img.width, img.height);
        compression = 1;
    } else {
        pixels = plain_rows(img, f);
        if (bits == 16) compression = 3;
    }
    // The colour table, or the three 16-bit masks, follow the 40-byte header.
    const std::uint32_t table_bytes = bits == 16 ? 12 : static_cast<std::uint32_t>(palette.size() * 4);
    const std::uint32_t offset = 14 + 40 + table_bytes;

    std::vector<std::uint8_t> out;
    out.reserve(offset + pixels.size());
    out.push_back('B');
    out.push_back('M');
    put32(out, offset + static_cast<std::uint32_t>(pixels.size()));  // bfSize
    put16(out, 0);                                                   // bfReserved1
    put16(out, 0);                                                   // bfReserved2
    put32(out, offset);                                              // bfOffBits
    put32(out, 40);                                                  // biSize
    put32(out, static_cast<std::uint32_t>(img.width));
    put32(out, static_cast<std::uint32_t>(img.height));  // positive: bottom-up
    put16(out, 1);                                       // biPlanes
    put16(out, static_cast<std::uint32_t>(bits));
    put32(out, compression);
    put32(out, static_cast<std::uint32_t>(pixels.size()));  // biSizeImage
    put32(out, 2835);                                        // 72 dpi
    put32(out, 2835);
    put32(out, static_cast<std::uint32_t>(palette.size()));  // biClrUsed
    put32(out, 0);                                           // biClrImportant
    if (bits == 16) {
        const bool g6 = f == bmp_format::bits16_565;
        put32(out, g6 ? 0xF800 : 0x7C00);
        put32(out, g6 ? 0x07E0 : 0x03E0);
        put32(out, 0x001F);
    }
    for (const rgb &c : palette) {
        out.push_back(c.b);
        out.push_back(c.g);
        out.push_back(c.r);
        out.push_back(0);
    }
    out.insert(out.end(), pixels.begin(), pixels.end());
    return out;
}

bool write_bmp(const std::string &path, const image &img, bmp_format f) {
    const std::vector<std::uint8_t> bytes = encode_bmp(img, f);
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace bmpgen
