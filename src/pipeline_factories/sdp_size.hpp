#pragma once
#include <gst/gst.h>

#include <utility>

namespace strovix::detail {

// The picture size a stream's description names ("a=framesize:96 1920-1080" or
// "a=x-dimensions:1920,1080", as rtspsrc passes them on in a stream's caps), or {0, 0}.
std::pair<int, int> sdp_picture_size(const GstStructure* media);

}  // namespace strovix::detail
