// Pictures of the virtual framebuffer's memory as 8-bit RGB PNG files.
#pragma once

#include "vfb.hpp"

namespace zr_vfb {

// Converts one row of device memory to g.width RGB triples (3 * g.width
// bytes). Each stored channel is widened by a left shift only, as the
// library reads its own pixels: 5-6-5 and 5-5-5 words low byte first, 24-bit
// pixels as the bytes B, G, R, 32-bit pixels as the little-endian word
// 0x00RRGGBB. Depths 1, 4 and 8 are grey levels (1 and 4 packed from the most
// significant bit, shifted up to 8 bits). An unknown depth gives black.
void to_rgb_row(const geometry &g, const unsigned char *row, unsigned char *rgb);

// Writes g.height rows of g.line_length bytes from memory as a PNG file.
// Uses no heap and no stdio (its own mapped arena and write(2)), so that it
// may run inside a signal handler. False when the file cannot be written.
bool write_png(const char *path, const geometry &g, const unsigned char *memory);

}  // namespace zr_vfb
