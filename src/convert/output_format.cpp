// Which sizes and pixel formats can be delivered, and the size a source is delivered at.
#include <algorithm>
#include <cmath>
#include <string>

#include "strovix/errors.hpp"
#include "convert/convert.hpp"

namespace strovix {

namespace detail {

void check_output_format(const OutputFormat& format) {
  auto side = [](const char* name, int value) {
    if (value < 0 || value > MAX_OUTPUT_SIDE) {
      throw StreamSetupError(std::string(name) + " must be 0 (the source's) or from 1 to " +
                             std::to_string(MAX_OUTPUT_SIDE) + ", not " + std::to_string(value));
    }
  };
  side("output_width", format.width);
  side("output_height", format.height);
  switch (format.pixel_format) {
    case PixelFormat::BGR:
    case PixelFormat::RGB:
    case PixelFormat::GRAY8:
      return;
  }
  throw StreamSetupError("pixel_format " + std::to_string(static_cast<int>(format.pixel_format)) +
                         " is not one of BGR, RGB or GRAY8");
}

std::pair<int, int> output_size(const OutputFormat& format, int width, int height, int par_n,
                                int par_d) {
  if (format.width == 0 && format.height == 0) return {width, height};
  if (format.width > 0 && format.height > 0) return {format.width, format.height};
  if (par_n <= 0 || par_d <= 0) par_n = par_d = 1;
  // The display aspect ratio is width * par_n : height * par_d.
  const double derived = format.width > 0
                             ? double(format.width) * height * par_d / (double(width) * par_n)
                             : double(format.height) * width * par_n / (double(height) * par_d);
  const double even = std::max(2.0, 2.0 * std::round(derived / 2.0));
  if (!(even <= MAX_OUTPUT_SIDE)) {
    throw SampleConversionError(
        "sample_to_ndarray: a " + std::to_string(width) + "x" + std::to_string(height) +
        " frame scaled to " +
        (format.width > 0 ? "width " + std::to_string(format.width)
                          : "height " + std::to_string(format.height)) +
        " would be " + std::to_string(static_cast<long long>(std::min(even, 1e15))) +
        " pixels on its other side, more than " + std::to_string(MAX_OUTPUT_SIDE));
  }
  const int other = static_cast<int>(even);
  return format.width > 0 ? std::pair{format.width, other} : std::pair{other, format.height};
}

}  // namespace detail

}  // namespace strovix
