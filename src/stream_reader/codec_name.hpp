#pragma once
#include <string>
#include <utility>

#include "strovix/gst/pipeline.hpp"

namespace strovix::detail {

// The encoded format at the element that keyframe-only mode filters (the parser of the
// factories' pipelines), or "" when the pipeline has none or it has not negotiated yet.
std::string codec_of(const Pipeline& pipeline);
// The encoded picture's size at that element, or {0, 0} before it is known.
std::pair<int, int> picture_size_of(const Pipeline& pipeline);

}  // namespace strovix::detail
