#pragma once
#include <string>

#include "strovix/frame.hpp"

namespace strovix::tools {

// The image (BGR, RGB or gray) as a baseline JPEG at its size (libjpeg-turbo); a gray image
// gives a one-component JPEG. Throws std::runtime_error.
std::string encode_jpeg(const Image& image, int quality = 80);

}  // namespace strovix::tools
