#pragma once
// The colour tables and level stretches of the YUV conversion.
#include <gst/video/video.h>
#include <libyuv/row.h>  // struct YuvConstants

#include <cstddef>
#include <cstdint>

namespace strovix::detail {

struct Matrix {
  const libyuv::YuvConstants* constants;
  bool stretch_chroma;  // the constants expect full-range chroma
};

// The libyuv tables for the colorimetry GStreamer resolved from the caps. With `rgb_order` they
// are the mirrored ones, for U and V passed swapped: the output is then R, G, B in memory.
Matrix yuv_matrix(const GstVideoColorimetry& c, bool rgb_order);

// Limited-range chroma (16..240) to full range, `n` bytes.
void stretch_chroma(const std::uint8_t* src, std::uint8_t* dst, std::size_t n);

// Limited-range luma (16..235) to full range, `n` bytes; `src` may be `dst`.
void stretch_luma(const std::uint8_t* src, std::uint8_t* dst, std::size_t n);

}  // namespace strovix::detail
