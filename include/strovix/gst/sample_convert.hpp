#pragma once
#include <gst/gst.h>

#include <memory>

#include "strovix/export.hpp"
#include "strovix/frame.hpp"

namespace strovix {

// Turns a sample pulled from an appsink into a BGR image. I420 and NV12 are converted with
// libyuv using the colour matrix and range of the sample's caps; BGR is mapped without a copy.
// Returns null when the sample carries nothing to deliver (no buffer). Throws
// SampleConversionError for a sample without caps, an unsupported format, an unmappable
// buffer, or a buffer too small for its caps.
STROVIX_EXPORT std::shared_ptr<const Image> sample_to_ndarray(GstSample* sample);

}  // namespace strovix
