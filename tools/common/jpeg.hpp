#pragma once
#include <string>

#include "strovix/frame.hpp"

namespace strovix::tools {

// The image (BGR, RGB or GRAY8) as a baseline JPEG at its size (libjpeg-turbo); throws
// std::runtime_error.
std::string encode_jpeg(const Image& image, int quality = 80);

}  // namespace strovix::tools
