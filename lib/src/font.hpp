// Fonts: one record above the formats (PSF, FreeType, the built-in font),
// with the glyph cache that drawing goes through.
#pragma once

#include "zr.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
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

// The glyph cache of one font: an open-addressed index over the glyphs,
// each stamped with its last use. Past the bound, the least recently used
// glyphs go until a quarter of the bound is free again, so the cost of that
// sweep is shared by many additions; the kept_recent glyphs used last always
// stay, whatever their size, so text alternating between a few glyphs larger
// than the bound renders each of them once. Pointers from find and add stay
// valid until the next add.
class glyph_cache {
public:
    explicit glyph_cache(std::size_t bound_bytes) : bound_(bound_bytes) {}
    // The cached glyph of cp, or null; a hit counts as a use.
    const glyph *find(char32_t cp) {
        if (slots_.empty()) return nullptr;
        for (std::size_t i = home(cp);; i = (i + 1) & (slots_.size() - 1)) {
            const std::uint32_t at = slots_[i];
            if (at == 0) return nullptr;
            entry &e = entries_[at - 1];
            if (e.cp == cp) {
                e.used = ++clock_;
                return &e.g;
            }
        }
    }
    // Keeps g for cp (cp must not be cached) and returns it.
    const glyph *add(char32_t cp, glyph g);
    std::size_t bytes() const { return bytes_; }
    std::size_t bound() const { return bound_; }
    std::size_t count() const { return entries_.size(); }

private:
    struct entry {
        char32_t cp;
        std::uint64_t used;
        glyph g;
    };
    static std::size_t weight(const glyph &g) { return g.coverage.size() + sizeof(entry) + 2 * sizeof(std::uint32_t); }
    // Fibonacci hashing: the top bits of cp times 2^32 / phi.
    std::size_t home(char32_t cp) const { return static_cast<std::uint32_t>(cp * 2654435769u) >> (32 - slot_bits_); }
    void drop_least_recent();
    void rebuild_index();
    std::size_t bound_, bytes_ = 0;
    std::uint64_t clock_ = 0;
    std::vector<entry> entries_;
    std::vector<std::uint32_t> slots_;  // entry index + 1, or 0 when free; at most half full
    int slot_bits_ = 0;
};

// The bound of a font's cache: 1 MiB, or more for a large font, so that it
// holds at least cache_glyphs glyphs of pixel_size x pixel_size (32 MiB at
// the largest size).
inline constexpr std::size_t cache_bytes = std::size_t{1} << 20;
inline constexpr std::size_t cache_glyphs = 32;
inline constexpr std::size_t kept_recent = 4;
std::size_t cache_bound(int pixel_size);

}  // namespace zr::font

// The record behind the public handle.
struct zr_font_t {
    explicit zr_font_t(std::unique_ptr<zr::font::face> f)
        : face(std::move(f)), cache(zr::font::cache_bound(face->pixel_size)) {}
    std::unique_ptr<zr::font::face> face;
    zr::font::glyph_cache cache;
    // The glyph drawn for cp: its own, else U+FFFD, else '?', else a box
    // two thirds of the font's height (or ascent, when smaller) high. Never
    // null.
    const zr::font::glyph *glyph_for(char32_t cp);
};

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

}  // namespace zr::font

namespace zr::text {

// The code point at p, which moves past it. Ill-formed UTF-8 (a stray or
// missing continuation byte, an overlong form, a surrogate, a value above
// U+10FFFF, a sequence cut short by the terminating NUL) gives U+FFFD and
// moves one byte on. p must not point at the NUL itself.
char32_t decode_utf8(const char *&p);

// EUC-KR text as UTF-8. A byte that does not start a valid character (or a
// pair cut short) becomes U+FFFD and the conversion goes on at the next byte.
// Without the C library's EUC-KR converter, ASCII passes through and every
// other byte becomes U+FFFD.
std::string euckr_to_utf8(const char *euckr);

}  // namespace zr::text
