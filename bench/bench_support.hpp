// What every benchmark case shares: the screen on the in-process virtual
// framebuffer, the pixel content and its bitmaps, temporary files, and the
// helpers that register a case and time it.
//
// Benchmark names are CASE/ROW/COLUMN: one table per CASE, one row per ROW,
// COLUMN being a zr call (zr_...), a physical limit (memset, memcpy, fread)
// or a peer. bench/make_results.py builds RESULTS.md from exactly this shape.
#pragma once

#include "zr.h"

#include <benchmark/benchmark.h>

#include <bit>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zr_bench {

// The peers' pixel formats are named for the little-endian layout that the
// library's formats have in memory; on other hosts the peer columns would not
// describe the same bytes, so they are left out there.
inline constexpr bool peers_match_layout = std::endian::native == std::endian::little;

// ---- registration and timing ------------------------------------------------

void add(const std::string &name, std::function<void(benchmark::State &)> body);

// Times op and reports items (usually pixels) per second.
template <class Op>
void timed(benchmark::State &state, std::int64_t items_per_op, Op op) {
    for (auto _ : state) {
        op();
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * items_per_op);
}

std::string size_name(int width, int height);  // "800x480"

// ---- the screen ---------------------------------------------------------------

// The screen DC of a virtual framebuffer of this geometry; the device is
// re-opened only when the geometry changes. Null when it cannot be opened.
// Every page of the pixel memory has been written once.
dc_t *open_screen(int width, int height, int bits);
// The same, opened with zr_init_ex flags (presentation).
dc_t *open_screen_ex(int width, int height, int bits, int flags);

// Releases the screen DC and closes the device.
void close_screen();

using dc_ptr = std::unique_ptr<dc_t, void (*)(dc_t *)>;
using bmp_ptr = std::unique_ptr<bmp_t, void (*)(bmp_t *)>;

// A buffer DC in the open device's format, every page written once.
dc_ptr make_buffer(int width, int height);

// The device pixel of a colour at 16 (5-6-5) or 32 bits.
std::uint32_t device_pixel(color_t c, int bits);

// ---- pixel content --------------------------------------------------------------

// Deterministic on every host: the same seed gives the same sequence.
class rng {
public:
    explicit rng(std::uint64_t seed) : state_(seed) {}
    std::uint32_t next();
    int uniform(int lo, int hi);  // lo .. hi inclusive

private:
    std::uint64_t state_;
};

// Photo-like colour content, top-down rows of red, green, blue, alpha; the
// alpha bytes run through 0 .. 255 along every row.
struct rgba_image {
    int width = 0, height = 0;
    std::vector<unsigned char> pixels;
    const unsigned char *at(int x, int y) const {
        return pixels.data() + (static_cast<std::size_t>(y) * width + x) * 4;
    }
};
const rgba_image &photo(int width, int height);

// Palette content: runs of random length and index, as drawn art has them.
struct indexed_image {
    int width = 0, height = 0;
    std::vector<unsigned char> index;  // top-down
    color_t palette[256];
};
const indexed_image &runs(int width, int height);

// Bitmap DCs holding that content: 24 or 32 bits from a photo, 8 bits from runs.
bmp_ptr make_bitmap(const rgba_image &image, int bits);
bmp_ptr make_bitmap(const indexed_image &image);

// Row y (top-down) of a bitmap DC's bottom-up pixel memory.
unsigned char *bitmap_row(bmp_t *bmp, int y);

// ---- temporary files ---------------------------------------------------------

// A path in the run's temporary directory; removed by remove_temporary_files.
std::string temporary_path(const std::string &name);
void remove_temporary_files();

}  // namespace zr_bench
