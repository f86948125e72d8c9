#pragma once
#include <string>

#include "strovix/frame.hpp"

namespace strovix::tools {

// Writes `image` to `path` as PNG (".png") or JPEG (".jpg", ".jpeg") with GStreamer's own
// encoders. Throws std::runtime_error naming the problem when the file cannot be written.
void write_snapshot(const Image& image, const std::string& path, double timeout_seconds = 10.0);

}  // namespace strovix::tools
