// Fonts: the record each format fills (a face that renders glyphs), and
// the table of the readers that open font files.
#pragma once

#include "zr.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace zr::font {

// One rasterised glyph: width x height coverage bytes (0 none, 255 full),
// rows top-down, pitch bytes apart (the formats make pitch 0, meaning width;
// the cache pads rows with zero coverage). Bitmap fonts give 0 and 255 only. The box's top-left corner
// lies left pixels right of the pen and top pixels above the baseline.
struct glyph {
    int width = 0, height = 0, pitch = 0;
    int left = 0, top = 0;
    int advance = 0;
    std::vector<std::uint8_t> coverage;
};

// Largest pixel height a font is opened at; also the largest side of a glyph
// the cache keeps.
inline constexpr int max_pixel_height = 1024;

// One font format. render fills g for code point cp and returns true, or
// returns false when the font has no glyph for it.
class face {
public:
    virtual ~face() = default;
    virtual bool render(char32_t cp, glyph &g) = 0;
    int ascent = 0;       // pixels above the baseline
    int descent = 0;      // pixels below it
    int line_height = 0;  // from one baseline to the next
    int pixel_size = 0;   // the height it was opened at (a bitmap font: its strike's)
};

}  // namespace zr::font

namespace zr::font {

// Results of the format readers: a face, or null and the ERR_* code.
struct open_result {
    std::unique_ptr<face> made;
    int error = ERR_NONE;
};

// True when the bytes start like a PSF file (version 1 or 2).
bool is_psf(const unsigned char *data, std::size_t size);
// Largest PSF file read, after decompression.
inline constexpr std::size_t max_psf_bytes = std::size_t{4} << 20;
// Reads a whole PSF file from memory. Glyphs are drawn scale times their
// size (scale 1 .. 64). ERR_SIGNATURE for anything that is not a sound PSF
// file within the limits.
open_result read_psf(const unsigned char *data, std::size_t size, int scale);
// The PSF file at path, plain or gzip-compressed. ERR_FONT_FILE when it
// cannot be read, ERR_SIGNATURE when it is not PSF.
open_result open_psf_file(const char *path, int pixel_height);

// A font FreeType reads, at pixel_height (bitmap-only fonts: the strike
// nearest to it). ERR_SIGNATURE when FreeType knows no such format (or the
// library is built without FreeType), ERR_FONT_FILE when it cannot read it.
open_result open_freetype(const char *path, int pixel_height);

// The built-in 12 x 22 font (printable ASCII).
std::unique_ptr<face> make_default_face();

// A reader of font files, tried in table order: the first whose claims
// accepts the file's first bytes opens it (the last claims every file).
struct reader {
    const char *name;
    bool (*claims)(const unsigned char *head, std::size_t size);
    open_result (*open)(const char *path, int pixel_height);
};
extern const reader readers[];
extern const std::size_t reader_count;

}  // namespace zr::font
