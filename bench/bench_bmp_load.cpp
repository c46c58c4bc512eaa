// Loading 1920x1080 BMP files that sit in the page cache: 24 bits, 8-bit
// palette and 8-bit run-length. zr_bmp_open beside SDL_LoadBMP_RW and
// stb_image on the same files, and fread of the whole file as the limit.
// The files are written here, into the run's temporary directory.
#include "bench_cases.hpp"
#include "peers.hpp"

#include <cstdio>
#include <vector>

namespace zr_bench {
namespace {

constexpr int image_width = 1920, image_height = 1080;
constexpr std::int64_t image_pixels = std::int64_t{image_width} * image_height;

enum class bmp_kind { rgb24, palette8, rle8 };

void put16(std::vector<unsigned char> &out, unsigned v) {
    out.push_back(static_cast<unsigned char>(v));
    out.push_back(static_cast<unsigned char>(v >> 8));
}

void put32(std::vector<unsigned char> &out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// Run-length stream of one 8-bit row: runs of three or more equal pixels are
// encoded runs, stretches of other pixels absolute runs (three or more) or
// runs of one or two.
void encode_rle8_row(const unsigned char *row, int width, std::vector<unsigned char> &out) {
    const auto run_at = [&](int x) {
        int n = 1;
        while (x + n < width && n < 255 && row[x + n] == row[x]) ++n;
        return n;
    };
    int x = 0;
    while (x < width) {
        const int run = run_at(x);
        if (run >= 3) {
            out.push_back(static_cast<unsigned char>(run));
            out.push_back(row[x]);
            x += run;
            continue;
        }
        int end = x;
        while (end < width && end - x < 255 && run_at(end) < 3) end += run_at(end);
        if (end - x > 255) end = x + 255;
        const int count = end - x;
        if (count < 3) {
            while (x < end) {
                const int n = run_at(x) < end - x ? run_at(x) : end - x;
                out.push_back(static_cast<unsigned char>(n));
                out.push_back(row[x]);
                x += n;
            }
            continue;
        }
        out.push_back(0);
        out.push_back(static_cast<unsigned char>(count));
        out.insert(out.end(), row + x, row + end);
        if (count % 2 != 0) out.push_back(0);  // records keep an even length
        x = end;
    }
}

// The BMP file of a kind: the photo at 24 bits, the run content at 8 bits.
std::vector<unsigned char> bmp_file(bmp_kind kind) {
    const int bits = kind == bmp_kind::rgb24 ? 24 : 8;
    const int row_bytes = (bits * image_width + 31) / 32 * 4;
    const int palette_entries = bits == 8 ? 256 : 0;
    std::vector<unsigned char> pixels;  // bottom-up rows, or the run-length stream
    if (kind == bmp_kind::rgb24) {
        const rgba_image &img = photo(image_width, image_height);
        pixels.resize(static_cast<std::size_t>(row_bytes) * image_height);
        for (int y = 0; y < image_height; ++y) {
            unsigned char *d = pixels.data() + static_cast<std::size_t>(image_height - 1 - y) * row_bytes;
            for (int x = 0; x < image_width; ++x, d += 3) {
                const unsigned char *s = img.at(x, y);
                d[0] = s[2];
                d[1] = s[1];
                d[2] = s[0];
            }
        }
    } else {
        const indexed_image &img = runs(image_width, image_height);
        for (int s = 0; s < image_height; ++s) {
            const unsigned char *row =
                img.index.data() + static_cast<std::size_t>(image_height - 1 - s) * image_width;
            if (kind == bmp_kind::palette8) {
                pixels.insert(pixels.end(), row, row + image_width);
                pixels.resize(pixels.size() + static_cast<std::size_t>(row_bytes - image_width));
                continue;
            }
            encode_rle8_row(row, image_width, pixels);
            pixels.push_back(0);
            pixels.push_back(static_cast<unsigned char>(s + 1 < image_height ? 0 : 1));  // end of line, or of bitmap
        }
    }
    const std::uint32_t offset = 54 + 4 * palette_entries;
    std::vector<unsigned char> out{'B', 'M'};
    put32(out, offset + static_cast<std::uint32_t>(pixels.size()));  // bfSize
    put32(out, 0);                                                   // bfReserved1, 2
    put32(out, offset);                                              // bfOffBits
    put32(out, 40);                                                  // biSize
    put32(out, image_width);
    put32(out, image_height);
    put16(out, 1);  // biPlanes
    put16(out, static_cast<unsigned>(bits));
    put32(out, kind == bmp_kind::rle8 ? 1 : 0);  // biCompression
    put32(out, static_cast<std::uint32_t>(pixels.size()));
    put32(out, 2835);  // 72 dpi
    put32(out, 2835);
    put32(out, static_cast<std::uint32_t>(palette_entries));
    put32(out, 0);
    if (bits == 8) {
        for (const color_t &c : runs(image_width, image_height).palette) {
            out.push_back(c.blue);
            out.push_back(c.green);
            out.push_back(c.red);
            out.push_back(0);
        }
    }
    out.insert(out.end(), pixels.begin(), pixels.end());
    return out;
}

// The path of a kind's file, written on first use and read once, so that
// the timed loads find it in the page cache.
const std::string &bmp_path(bmp_kind kind) {
    static std::string paths[3];
    std::string &path = paths[static_cast<int>(kind)];
    if (!path.empty()) return path;
    static const char *const names[] = {"rgb24.bmp", "palette8.bmp", "rle8.bmp"};
    const std::string p = temporary_path(names[static_cast<int>(kind)]);
    const std::vector<unsigned char> bytes = bmp_file(kind);
    std::FILE *f = std::fopen(p.c_str(), "wb");
    if (f == nullptr) return path;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) == 0 && written) path = p;
    return path;
}

long file_size(const std::string &path) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return -1;
    std::fseek(f, 0, SEEK_END);
    const long n = std::ftell(f);
    std::fclose(f);
    return n;
}

// Reads the whole file into buf; false when it could not.
bool read_file(const std::string &path, std::vector<unsigned char> &buf) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    const std::size_t n = std::fread(buf.data(), 1, buf.size(), f);
    std::fclose(f);
    return n == buf.size();
}

using load_column = void (*)(benchmark::State &, const std::string &path);

void zr_column(benchmark::State &state, const std::string &path) {
    bool loaded = true;
    timed(state, image_pixels, [&] {
        bmp_t *bmp = zr_bmp_open(path.c_str());
        loaded = loaded && bmp != nullptr;
        zr_bmp_close(bmp);
    });
    if (!loaded) state.SkipWithError("zr_bmp_open failed");
}

void fread_column(benchmark::State &state, const std::string &path) {
    std::vector<unsigned char> buf(static_cast<std::size_t>(file_size(path)));
    bool loaded = true;
    timed(state, image_pixels, [&] { loaded = read_file(path, buf) && loaded; });
    if (!loaded) state.SkipWithError("fread failed");
}

#if ZR_BENCH_SDL
void sdl_column(benchmark::State &state, const std::string &path) {
    bool loaded = true;
    timed(state, image_pixels, [&] {
        SDL_Surface *s = SDL_LoadBMP_RW(SDL_RWFromFile(path.c_str(), "rb"), 1);
        loaded = loaded && s != nullptr;
        SDL_FreeSurface(s);
    });
    if (!loaded) state.SkipWithError(SDL_GetError());
}
#endif

#if ZR_BENCH_STB
void stb_column(benchmark::State &state, const std::string &path) {
    bool loaded = true;
    timed(state, image_pixels, [&] {
        int w = 0, h = 0, channels = 0;
        stbi_uc *pixels = stbi_load(path.c_str(), &w, &h, &channels, 0);
        loaded = loaded && pixels != nullptr;
        stbi_image_free(pixels);
    });
    if (!loaded) state.SkipWithError(stbi_failure_reason());
}
#endif

void run_on(benchmark::State &state, bmp_kind kind, load_column column) {
    const std::string &path = bmp_path(kind);
    if (path.empty()) return state.SkipWithError("could not write the BMP file");
    std::vector<unsigned char> warm(static_cast<std::size_t>(file_size(path)));
    if (!read_file(path, warm)) return state.SkipWithError("could not read the BMP file");
    column(state, path);
}

}  // namespace

void register_bmp_load_cases() {
    struct named_column {
        const char *name;
        load_column run;
        bool rle;  // reads run-length files
    };
    const named_column columns[] = {
        {"zr_bmp_open", zr_column, true},
        {"fread", fread_column, true},
#if ZR_BENCH_SDL
        {"SDL_LoadBMP_RW", sdl_column, true},
#endif
#if ZR_BENCH_STB
        {"stb_image", stb_column, false},  // stb_image refuses run-length BMP files
#endif
    };
    const struct {
        bmp_kind kind;
        const char *name;
    } files[] = {{bmp_kind::rgb24, "24bit"}, {bmp_kind::palette8, "8bit-palette"}, {bmp_kind::rle8, "8bit-rle"}};
    for (const auto &f : files) {
        const std::string row = std::string("bmp-load/") + f.name + "-" + size_name(image_width, image_height);
        for (const named_column &c : columns) {
            if (f.kind == bmp_kind::rle8 && !c.rle) continue;
            add(row + "/" + c.name, [kind = f.kind, run = c.run](benchmark::State &s) { run_on(s, kind, run); });
        }
    }
}

}  // namespace zr_bench
