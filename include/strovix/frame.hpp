#pragma once
// Frames as hosts receive them: plain data, no GStreamer types.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace strovix {

// A BGR, 8 bits per channel image. `data` points at the first pixel of the top row; rows are
// `stride` bytes apart (stride >= width * channels). The image keeps whatever backs `data`
// alive (a mapped GstSample for zero-copy BGR, or its own converted buffer), so it stays
// valid as long as any copy of the shared_ptr holding it lives, whatever the reader does.
struct Image {
  int width = 0;
  int height = 0;
  int channels = 3;
  std::size_t stride = 0;
  const std::uint8_t* data = nullptr;
  std::shared_ptr<const void> owner;

  const std::uint8_t* row(int y) const { return data + static_cast<std::size_t>(y) * stride; }
};

// The newest frame: the wall-clock time (seconds since the epoch) at which it was pulled,
// and the image, or null when there is none (before the first frame, after close).
struct Frame {
  double timestamp = 0.0;
  std::shared_ptr<const Image> image;
  // This reader's count of delivered frames: 1 for the first, and so on; a gap tells a host
  // how many it did not read. 0 when there is no image.
  std::uint64_t sequence = 0;
  // When the camera took the picture, in seconds since the epoch on the camera's own clock
  // (from its RTCP sender reports). Empty before the first report and for sources without
  // reports (HTTP, custom descriptions without rtspsrc).
  std::optional<double> capture_time;
};
using FRAME = Frame;

}  // namespace strovix
