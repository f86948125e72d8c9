#pragma once
// Frames as hosts receive them: plain data, no GStreamer types.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace strovix {

// How a delivered image lays out its pixels, 8 bits per channel.
enum class PixelFormat : int {
  BGR = 0,    // 3 channels, blue first (OpenCV's order); the default
  RGB = 1,    // 3 channels, red first (what most models take)
  GRAY8 = 2,  // 1 channel: full-range luma (0 black, 255 white)
};

// "BGR", "RGB", "GRAY8"; "unknown" for a value outside the enumeration.
constexpr const char* to_string(PixelFormat format) {
  switch (format) {
    case PixelFormat::BGR:
      return "BGR";
    case PixelFormat::RGB:
      return "RGB";
    case PixelFormat::GRAY8:
      return "GRAY8";
  }
  return "unknown";
}

constexpr int channels_of(PixelFormat format) { return format == PixelFormat::GRAY8 ? 1 : 3; }

// An 8 bits per channel image in `format` (BGR unless the reader was asked otherwise), with
// `channels` bytes per pixel. `data` points at the first pixel of the top row; rows are
// `stride` bytes apart (stride >= width * channels). The image keeps whatever backs `data`
// alive (a mapped GstSample when no conversion was needed, or its own converted buffer), so
// it stays valid as long as any copy of the shared_ptr holding it lives, whatever the reader
// does.
struct Image {
  int width = 0;
  int height = 0;
  int channels = 3;
  std::size_t stride = 0;
  const std::uint8_t* data = nullptr;
  std::shared_ptr<const void> owner;
  // Last, so that existing aggregate initialisers keep their meaning.
  PixelFormat format = PixelFormat::BGR;

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
