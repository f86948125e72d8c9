#pragma once
#include <gst/gst.h>

#include "strovix/export.hpp"

namespace strovix::gstcallbacks {

// Adds to `pad` a buffer probe that drops every buffer flagged GST_BUFFER_FLAG_DELTA_UNIT
// and passes the others, each followed by a still-frame start and end event so that a video
// decoder downstream drains instead of holding the keyframe back for reordering. Returns the
// probe id for gst_pad_remove_probe (0 on failure).
STROVIX_EXPORT gulong add_keyframes_only_probe(GstPad* pad);

}  // namespace strovix::gstcallbacks
