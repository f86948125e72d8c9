#pragma once
#include <gst/gst.h>

#include "strovix/export.hpp"

namespace strovix::gstcallbacks {

// Adds to `pad` a buffer probe that drops every buffer flagged GST_BUFFER_FLAG_DELTA_UNIT
// and passes the others. Returns the probe id for gst_pad_remove_probe (0 on failure).
STROVIX_EXPORT gulong add_keyframes_only_probe(GstPad* pad);

}  // namespace strovix::gstcallbacks
