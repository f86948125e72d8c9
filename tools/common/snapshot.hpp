#pragma once
#include <string>

#include "strovix/frame.hpp"

namespace strovix::tools {

// Writes `image` to `path` as PNG (".png", GStreamer's pngenc) or JPEG (".jpg", ".jpeg", through
// encode_jpeg, as the status server's snapshots). Throws std::runtime_error naming the problem when
// the file cannot be written.
void write_snapshot(const Image& image, const std::string& path, double timeout_seconds = 10.0);

}  // namespace strovix::tools
