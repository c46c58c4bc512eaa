// libFuzzer target: any bytes, read as a BMP file from memory by both
// readers (zr_bmp_open's and the image loader's wider one). A loaded
// bitmap is then read at a grid of pixels and written at its corners, so the
// decoded rows, the palette lookup and the mask conversions are all reached.
#include "image.hpp"

#include <cstdint>
#include <initializer_list>

namespace {

void touch(bmp_t *bmp) {
    dc_t *dc = &bmp->dc;
    constexpr int grid = 64;  // 65 x 65 pixels, the first and last row and column among them
    color_t c{};
    unsigned sum = 0;
    for (int i = 0; i <= grid; ++i) {
        const int y = static_cast<int>(std::int64_t{dc->height - 1} * i / grid);
        for (int j = 0; j <= grid; ++j) {
            const int x = static_cast<int>(std::int64_t{dc->width - 1} * j / grid);
            dc->get_pixel(dc, x, y, &c);
            sum += c.red + c.green + c.blue + c.alpha;
        }
    }
    // Below 16 bits set_pixel is a placeholder that prints.
    if (dc->colors < 16) return;
    const color_t ink{1, 2, 3, static_cast<unsigned char>(sum)};
    for (int y : {0, dc->height - 1})
        for (int x : {0, dc->width - 1}) dc->set_pixel(dc, x, y, ink);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    for (const zr::bmp::dialect *d : {&zr::bmp::windows, &zr::bmp::every}) {
        if (bmp_t *bmp = zr::bmp::read_bmp({data, size}, *d)) {
            touch(bmp);
            zr_bmp_close(bmp);
        }
    }
    return 0;
}
