// libFuzzer target: any bytes behind the PNG signature, loaded by
// zr_image_from_memory, so that every input reaches the PNG decoder and the
// size checks before its allocation.
#include "image_touch.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static constexpr unsigned char magic[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    zr_fuzz_as(magic, sizeof magic, data, size);
    return 0;
}
