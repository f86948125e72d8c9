#pragma once
#include <string>

#include "strovix/gst/pipeline.hpp"

namespace strovix::detail {

// The encoded format at the element that keyframe-only mode filters (the parser of the
// factories' pipelines), or "" when the pipeline has none or it has not negotiated yet.
std::string codec_of(const Pipeline& pipeline);

}  // namespace strovix::detail
