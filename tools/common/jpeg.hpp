#pragma once
#include <string>

#include "strovix/frame.hpp"

namespace strovix::tools {

// The BGR, RGB or grey image as a baseline JPEG (grey as a one-component JPEG) at its size (libjpeg-turbo); throws std::runtime_error.
std::string encode_jpeg(const Image& image, int quality = 80);

}  // namespace strovix::tools
