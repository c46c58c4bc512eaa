// libFuzzer target: any bytes behind the PNG signature, loaded by
// zr_image_from_memory, so that every input reaches the PNG decoder and the
// size checks before its allocation. The CRC of every whole chunk is set
// right first: a mutated chunk would otherwise stop at libpng's CRC check
// (critical chunks) or be dropped (ancillary ones) before zr sees what it
// holds. An artifact therefore reproduces through this target, not always
// through zr_image_open on its own.
#include "image_touch.hpp"

#include <array>

namespace {

std::uint32_t crc32(const std::uint8_t *p, std::size_t n) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::uint32_t be32(const std::uint8_t *p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// Chunks from the signature on: length, type, data, CRC over type and data.
void fix_crcs(std::vector<std::uint8_t> &png) {
    std::size_t at = 8;
    while (png.size() - at >= 12) {
        const std::uint32_t length = be32(&png[at]);
        if (length > png.size() - at - 12) break;
        const std::uint32_t c = crc32(&png[at + 4], std::size_t{length} + 4);
        std::uint8_t *out = &png[at + 8 + length];
        out[0] = static_cast<std::uint8_t>(c >> 24);
        out[1] = static_cast<std::uint8_t>(c >> 16);
        out[2] = static_cast<std::uint8_t>(c >> 8);
        out[3] = static_cast<std::uint8_t>(c);
        at += std::size_t{length} + 12;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static constexpr unsigned char magic[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (size < sizeof magic) {
        zr_fuzz_as(magic, sizeof magic, data, size);
        return 0;
    }
    std::vector<std::uint8_t> input(data, data + size);
    std::memcpy(input.data(), magic, sizeof magic);
    fix_crcs(input);
    zr_fuzz_load_and_touch(input.data(), input.size());
    return 0;
}
