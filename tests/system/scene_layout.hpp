// What the scene program writes as raw bytes, shared with the checker that
// looks for them on a screen whose drawing operations do nothing (24 bits):
// the whole-buffer copy and the row copies must still move them.
#pragma once

#include <cstdint>

namespace scene {

// Rows 0 .. band_rows - 1 of the full-screen buffer hold band_byte; the rest
// of it is zero bytes, then cleared with the background colour.
constexpr int band_rows = 60;
inline std::uint8_t band_byte(int byte_in_row, int row) { return static_cast<std::uint8_t>(byte_in_row + 4 * row); }

// A small buffer filled with tile_byte, copied to the screen by rows.
constexpr int tile_width = 160;
constexpr int tile_height = 100;
inline std::uint8_t tile_byte(int byte_in_row, int row) {
    return static_cast<std::uint8_t>(255 - 3 * byte_in_row + 5 * row);
}

// A row copy of w x h from (sx, sy) of the source to (dx, dy) of the screen:
// the tile whole and with its left 60 columns cut by the screen's edge; the
// band's top-left corner, screen to screen, to a place that does not overlap.
struct copy {
    int dx, dy, sx, sy, w, h;
};
constexpr copy tile_copies[] = {{250, 340, 0, 0, tile_width, tile_height}, {-60, 340, 0, 0, tile_width, tile_height}};
constexpr copy screen_copy = {420, 340, 0, 0, 120, 50};

}  // namespace scene
