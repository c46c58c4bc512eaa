// libFuzzer target: any bytes, read as a PSF font from memory (once at its
// own size, once scaled up). A font that loads draws a few lines onto a
// small bitmap, so the Unicode table, the glyph rows and the cache are all
// reached.
#include "glyph_cache.hpp"

#include <cstdint>
#include <memory>
#include <utility>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    for (const int scale : {1, 3}) {
        zr::font::open_result r = zr::font::read_psf(data, size, scale);
        if (r.made == nullptr) continue;
        auto font = std::make_unique<zr_font_t>(std::move(r.made));
        bmp_t *bmp = zr_bmp_create(61, 37, 32, 0);
        if (bmp == nullptr) return 0;
        const color_t ink{200, 100, 50, static_cast<unsigned char>(size)};
        zr_text_out(&bmp->dc, font.get(), -3, -2, "AZaz09 \x01\x7F\n\xE2\x98\xBA\xEF\xBF\xBD?\xC3\xA9", ink);
        zr_text_out(&bmp->dc, font.get(), 40, 20, "\xED\x95\x9C\xF0\x9F\x98\x80|", ink);
        zr_bmp_close(bmp);
    }
    return 0;
}
