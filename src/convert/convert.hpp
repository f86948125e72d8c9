#pragma once
// Sample conversion to the size and pixel format a host asked for, in one pass from the
// decoder's planes.
#include <gst/gst.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "strovix/frame.hpp"

namespace strovix {

// Box averages every source pixel under each output pixel; at the 3x and 6x reductions hosts
// ask for (1080p or 4K to 640x360) bilinear sampling reads only 2x2 of every 3x3 or 6x6 block
// and aliases fine detail, as cv::resize INTER_LINEAR does. libyuv falls back to bilinear
// where the reduction is under 2x, so the two differ only there.
enum class ScaleFilter { BOX, BILINEAR };

// What frames are delivered as. A size of 0 is the source's; with exactly one of them 0 the
// other follows the source's display aspect ratio, rounded to an even number.
struct OutputFormat {
  int width = 0;
  int height = 0;
  PixelFormat pixel_format = PixelFormat::BGR;
  // The reader always uses the box filter; bilinear is there for comparisons.
  ScaleFilter filter = ScaleFilter::BOX;
};

namespace detail {

// The largest width or height delivered.
inline constexpr int MAX_OUTPUT_SIDE = 16384;

// Throws StreamSetupError naming the option when `format` cannot be delivered (a negative or
// too large size, a pixel format outside the enumeration).
void check_output_format(const OutputFormat& format);

// The size delivered for a source of `width` x `height` with pixel aspect ratio
// `par_n`/`par_d`. Throws SampleConversionError when the aspect ratio puts the derived side
// beyond MAX_OUTPUT_SIDE.
std::pair<int, int> output_size(const OutputFormat& format, int width, int height, int par_n,
                                int par_d);

}  // namespace detail

// sample_to_ndarray, delivering `format`. `scratch`, when given, is reused between calls for
// the intermediate scaled planes (one per calling thread). The default format gives exactly
// what sample_to_ndarray(sample) gives.
std::shared_ptr<const Image> sample_to_ndarray(GstSample* sample, const OutputFormat& format,
                                               std::vector<std::uint8_t>* scratch = nullptr);

}  // namespace strovix
