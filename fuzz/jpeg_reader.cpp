// libFuzzer target: any bytes behind the JPEG signature, loaded by
// zr_image_from_memory, so that every input reaches the JPEG decoder, the
// size checks before its allocation and the EXIF orientation reader.
#include "image_touch.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static constexpr unsigned char magic[] = {0xFF, 0xD8, 0xFF};
    zr_fuzz_as(magic, sizeof magic, data, size);
    return 0;
}
