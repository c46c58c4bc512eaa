// Turning the picture on its way to a rotated panel: the display core
// (present.cpp) keeps the picture in its logical orientation and turns the
// damaged rectangles into the buffer the panel scans out. Angles are
// clockwise degrees: 0, 90, 180 or 270.
#pragma once

#include "pixel_format.hpp"
#include "zr.h"

namespace zr {

// A picture in memory: width x height pixels, rows pitch bytes apart.
struct pixel_plane {
    unsigned char *pixels = nullptr;
    int width = 0, height = 0, pitch = 0;
};

// True for the depths turn_rect can move (whole bytes a pixel).
bool turnable_depth(int bits_per_pixel);

// Where rectangle r of a width x height picture lands once the picture is
// turned clockwise by degrees.
zr_rect_t turned_rect(const zr_rect_t &r, int degrees, int width, int height);

// Copies rectangle r of from (inside it) into to, turned clockwise by
// degrees; to is from's size turned. format picks the fast rows where it is
// a screen format (none: pixel by pixel, every byte).
void turn_rect(const pixel_plane &to, const pixel_plane &from, int bits_per_pixel, pixel_format format, int degrees,
               const zr_rect_t &r);

}  // namespace zr
