// The glyph cache, and the glyph drawn for each character: the font's own,
// else its replacement character, else '?', else a box.
#include "glyph_cache.hpp"

#include "text_decode.hpp"

#include <algorithm>
#include <cstring>

namespace zr::font {

std::size_t cache_bound(int pixel_size) {
    const auto side = static_cast<std::size_t>(std::clamp(pixel_size, 0, max_pixel_height));
    return std::max(cache_bytes, cache_glyphs * side * side);
}

const glyph *glyph_cache::add(char32_t cp, glyph g) {
    bytes_ += weight(g);
    entries_.push_back(entry{cp, ++clock_, std::move(g)});
    if (bytes_ > bound_ && entries_.size() > kept_recent) {
        drop_least_recent();
    } else if (entries_.size() * 2 > slots_.size()) {
        rebuild_index();
    } else {
        std::size_t i = home(cp);
        while (slots_[i] != 0) i = (i + 1) & (slots_.size() - 1);
        slots_[i] = static_cast<std::uint32_t>(entries_.size());
    }
    return find(cp);
}

void glyph_cache::drop_least_recent() {
    std::vector<std::uint32_t> by_use(entries_.size());
    for (std::uint32_t i = 0; i < by_use.size(); ++i) by_use[i] = i;
    std::sort(by_use.begin(), by_use.end(), [&](std::uint32_t a, std::uint32_t b) { return entries_[a].used < entries_[b].used; });
    // Uses are distinct, so every glyph used at or before `last` goes.
    const std::size_t target = bound_ - bound_ / 4;
    std::uint64_t last = 0;
    for (std::size_t i = 0; i + kept_recent < by_use.size() && bytes_ > target; ++i) {
        const entry &e = entries_[by_use[i]];
        bytes_ -= weight(e.g);
        last = e.used;
    }
    std::erase_if(entries_, [&](const entry &e) { return e.used <= last; });
    rebuild_index();
}

void glyph_cache::rebuild_index() {
    int bits = 4;
    while ((std::size_t{1} << bits) < entries_.size() * 2) ++bits;
    slot_bits_ = bits;
    slots_.assign(std::size_t{1} << bits, 0);
    for (std::size_t n = 0; n < entries_.size(); ++n) {
        std::size_t i = home(entries_[n].cp);
        while (slots_[i] != 0) i = (i + 1) & (slots_.size() - 1);
        slots_[i] = static_cast<std::uint32_t>(n + 1);
    }
}

}  // namespace zr::font

using zr::font::glyph;

namespace {

// The last resort for a font without U+FFFD and '?': an outlined box. Its
// size comes from the font's height, not from its ascent alone, which a
// font may declare as anything.
glyph box_glyph(const zr::font::face &f) {
    glyph g;
    const int from = std::clamp(std::min(f.ascent, f.pixel_size), 0, zr::font::max_pixel_height);
    const int h = std::max(3, from * 2 / 3), w = std::max(3, h * 2 / 3);
    g.width = w;
    g.height = h;
    g.left = 1;
    g.top = h;
    g.advance = w + 2;
    g.coverage.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (x == 0 || y == 0 || x == w - 1 || y == h - 1)
                g.coverage[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)] = 255;
    return g;
}

// Rows padded to whole groups, for drawing.
void pad_rows(glyph &g) {
    const int pitch = (g.width + zr::font::glyph_row_group - 1) / zr::font::glyph_row_group * zr::font::glyph_row_group;
    g.pitch = pitch;
    if (pitch == g.width || g.height <= 0) return;
    std::vector<std::uint8_t> padded(static_cast<std::size_t>(pitch) * static_cast<std::size_t>(g.height), 0);
    for (int y = 0; y < g.height; ++y)
        std::memcpy(padded.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(pitch),
                    g.coverage.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(g.width),
                    static_cast<std::size_t>(g.width));
    g.coverage = std::move(padded);
}

}  // namespace

const glyph *zr_font_t::glyph_for(char32_t cp) {
    if (const glyph *g = cache.find(cp)) return g;
    glyph g;
    if (!face->render(cp, g) && !face->render(zr::text::replacement_char, g) && !face->render(U'?', g)) g = box_glyph(*face);
    pad_rows(g);
    return cache.add(cp, std::move(g));
}

