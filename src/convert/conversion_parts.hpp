#pragma once
// What the sample conversion's two halves share: plane views, the converted image's buffer and
// the YUV route (scaling the planes, then one conversion).
#include <gst/video/video.h>
#include <libyuv/scale.h>

#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "strovix/frame.hpp"

namespace strovix::detail {

// Throws SampleConversionError, prefixed with the function's name.
[[noreturn]] void conversion_failed(const std::string& what);

struct PlaneView {
  const std::uint8_t* data;
  int stride;
};

// A converted image's own pixels, rows padded to 4 bytes as GStreamer pads BGR and GRAY8, so
// converted and mapped images look alike to callers.
struct Output {
  std::shared_ptr<std::uint8_t[]> pixels;
  std::size_t stride = 0;
  int width = 0;
  int height = 0;

  Output(int w, int h, int channels) : width(w), height(h) {
    stride = (static_cast<std::size_t>(w) * channels + 3) & ~std::size_t{3};
    if (stride > static_cast<std::size_t>(INT_MAX))
      conversion_failed("frame too wide: " + std::to_string(w));
    pixels = std::make_shared_for_overwrite<std::uint8_t[]>(stride * static_cast<std::size_t>(h));
  }
  std::uint8_t* row(int y) const { return pixels.get() + static_cast<std::size_t>(y) * stride; }
  int int_stride() const { return static_cast<int>(stride); }

  std::shared_ptr<const Image> image(PixelFormat format) && {
    auto image = std::make_shared<Image>();
    image->width = width;
    image->height = height;
    image->channels = channels_of(format);
    image->format = format;
    image->stride = stride;
    image->data = pixels.get();
    image->owner = std::move(pixels);
    return image;
  }
};

inline void check_rc(int rc, const char* what) {
  if (rc != 0)
    conversion_failed(std::string("libyuv ") + what + " failed (" + std::to_string(rc) + ")");
}

struct YuvPlanes {
  PlaneView y;
  PlaneView u;  // for NV12 the interleaved UV plane
  PlaneView v;  // unused for NV12
  enum Layout { I420, NV12, I444 } layout;
  int width;
  int height;
};

// The planes scaled to `width` x `height`, in `scratch`, with 4:4:4 chroma.
YuvPlanes scale_yuv(const YuvPlanes& in, int width, int height, libyuv::FilterMode filter,
                    std::vector<std::uint8_t>& scratch);

// YUV -> BGR or RGB at the planes' size, with the caps' colour matrix and range.
std::shared_ptr<const Image> convert_yuv(const YuvPlanes& p, const GstVideoColorimetry& colours,
                                         PixelFormat format);

}  // namespace strovix::detail
