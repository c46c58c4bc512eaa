// A PNG file read back as 8-bit RGB through libpng's simplified API, for
// the suites that check the pictures zr-vfb takes (link PNG::PNG).
#pragma once

#include <png.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace zr_test {

struct rgb_picture {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;  // rows top-down, 3 bytes per pixel
    const unsigned char *at(int x, int y) const { return rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3; }
};

// Nothing when the file cannot be read.
inline std::optional<rgb_picture> read_png(const std::string &file) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, file.c_str())) return std::nullopt;
    image.format = PNG_FORMAT_RGB;
    rgb_picture pic{static_cast<int>(image.width), static_cast<int>(image.height), std::vector<unsigned char>(PNG_IMAGE_SIZE(image))};
    if (!png_image_finish_read(&image, nullptr, pic.rgb.data(), 0, nullptr)) return png_image_free(&image), std::nullopt;
    return pic;
}

}  // namespace zr_test
