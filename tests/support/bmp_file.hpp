// A BMP file described field by field, for the reader's tests: bytes() lays
// it out as a writer would, or as a hostile one might.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace zr_test {

struct bmp_file {
    std::uint32_t info_size = 40;  // 12: OS/2 1.x, 16-bit sizes and 3-byte table entries
    std::int32_t width = 1, height = 1;
    unsigned bits = 24;
    std::uint32_t compression = 0, size_image = 0;
    std::vector<std::uint32_t> header_masks{};  // at offset 54, inside a longer header
    std::vector<std::uint32_t> table{};         // right after the info header
    std::vector<unsigned char> pixels{};
    std::int64_t off_bits = -1;           // -1: right after the table
    std::uint32_t declared_off_bits = 0;  // when set: bfOffBits, with nothing placed there

    std::vector<unsigned char> bytes() const {
        std::vector<unsigned char> f(70);  // every field of the longest layout, and four masks
        const auto put = [&f](std::size_t at, std::uint32_t v, int n) {
            for (int i = 0; i < n; ++i) f[at + i] = static_cast<unsigned char>(v >> (8 * i));
        };
        f[0] = 'B', f[1] = 'M';
        put(14, info_size, 4);
        const bool core = info_size == 12;
        put(18, static_cast<std::uint32_t>(width), core ? 2 : 4);
        put(core ? 20 : 22, static_cast<std::uint32_t>(height), core ? 2 : 4);
        put(core ? 22 : 26, 1, 2);
        put(core ? 24 : 28, bits, 2);
        if (!core) put(30, compression, 4), put(34, size_image, 4);
        for (std::size_t i = 0; i < header_masks.size(); ++i) put(54 + 4 * i, header_masks[i], 4);
        f.resize(14 + info_size);
        for (std::uint32_t e : table)
            for (int i = 0; i < (core ? 3 : 4); ++i) f.push_back(static_cast<unsigned char>(e >> (8 * i)));
        put(10, off_bits >= 0 ? static_cast<std::uint32_t>(off_bits) : static_cast<std::uint32_t>(f.size()), 4);
        f.resize(std::max<std::size_t>(f.size(), off_bits >= 0 ? static_cast<std::size_t>(off_bits) : 0));
        f.insert(f.end(), pixels.begin(), pixels.end());
        put(2, static_cast<std::uint32_t>(f.size()), 4);
        if (declared_off_bits != 0) put(10, declared_off_bits, 4);
        return f;
    }
};

}  // namespace zr_test
