// Block transfers. The alpha rule they share is the formats' own
// (blend_channel, blend_color in pixel_format.hpp); the clipped rectangle
// that the plain and the fast paths share is blit_rect (fast_paths.hpp).
#pragma once

#include "fast_paths.hpp"
#include "pixel_format.hpp"
#include "zr.h"
