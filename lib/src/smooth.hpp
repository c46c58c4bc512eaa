// The smooth shapes' part in the calls that draw without them by default.
// Each returns true when it drew the call (anti-aliasing on, or a pen wider
// than 1 pixel, on that DC), false when the call should go on as before;
// a DC that never had smooth state answers false at the cost of a test.
#pragma once

#include "zr.h"

#include <cstddef>

namespace zr {

// zr_line_to from the current position to (x, y); moves the position too.
bool smooth_line_to(dc_t *dc, int x, int y);
// zr_circle with a radius other than 0.
bool smooth_circle(dc_t *dc, int cx, int cy, int radius);
// zr_ellipse with both radii other than 0.
bool smooth_ellipse(dc_t *dc, int cx, int cy, int rx, int ry);

// Drops what the smooth shapes keep for a DC (its state and scratch): zr_release_dc calls it.
void forget_smooth_state(const dc_t *dc);
// How many DCs have smooth state (tests).
std::size_t smooth_state_count();

}  // namespace zr
