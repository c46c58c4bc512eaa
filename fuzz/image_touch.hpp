// What the image fuzz targets do with a loaded bitmap: every pixel of a
// grid read through its DC, so that a row written short or out of place
// shows under the sanitizers, then the bitmap released.
#pragma once

#include "zr.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

inline void zr_fuzz_load_and_touch(const std::uint8_t *data, std::size_t size) {
    bmp_t *bmp = zr_image_from_memory(data, size);
    if (bmp == nullptr) return;
    dc_t *dc = &bmp->dc;
    constexpr int grid = 64;
    color_t c{};
    unsigned sum = 0;
    for (int i = 0; i <= grid; ++i) {
        const int y = static_cast<int>(std::int64_t{dc->height - 1} * i / grid);
        for (int j = 0; j <= grid; ++j) {
            dc->get_pixel(dc, static_cast<int>(std::int64_t{dc->width - 1} * j / grid), y, &c);
            sum += c.red + c.green + c.blue + c.alpha;
        }
    }
    // The last byte of the pixel memory is where a short allocation would end.
    if (dc->bytes > 0) dc->mapped[dc->bytes - 1] = static_cast<unsigned char>(sum);
    zr_bmp_close(bmp);
}

// The input with its first bytes replaced by a kind's signature, so that
// every input reaches that kind's decoder (the seeds start with it anyway).
inline void zr_fuzz_as(const unsigned char *magic, std::size_t n, const std::uint8_t *data, std::size_t size) {
    if (size == 0) return zr_fuzz_load_and_touch(data, size);
    std::vector<std::uint8_t> input(data, data + size);
    std::memcpy(input.data(), magic, size < n ? size : n);
    zr_fuzz_load_and_touch(input.data(), input.size());
}
