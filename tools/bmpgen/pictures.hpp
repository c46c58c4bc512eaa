// Generated pictures: gradients, a colour wheel and simple shapes, no text.
// Only +, -, *, / and sqrt of doubles are used, so every build on every host
// makes the same pixels.
#pragma once

#include "bmp_writer.hpp"

#include <string>
#include <vector>

namespace bmpgen {

// The names make_picture accepts.
const std::vector<std::string> &picture_names();

// The named picture at the given size; an empty image for an unknown name.
image make_picture(const std::string &name, int width, int height);

}  // namespace bmpgen
