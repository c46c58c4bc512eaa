// The glyphs of a font as drawn: rendered once by its face, padded for the
// drawing rows, and kept in a cache of bounded size.
#pragma once

#include "font.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace zr::font {

// Glyph rows are padded with zero coverage, which draws nothing, to whole
// groups of this many pixels, so drawing can take whole groups.
inline constexpr int glyph_row_group = 8;

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
