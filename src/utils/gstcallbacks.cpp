#include "strovix/utils/gstcallbacks.hpp"

namespace strovix::gstcallbacks {
namespace {

bool is_delta(GstBuffer* buffer) {
  return GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
}

// Runs on the streaming thread; nothing in here may throw.
GstPadProbeReturn keyframes_only(GstPad*, GstPadProbeInfo* info, gpointer) noexcept {
  if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    return buffer && is_delta(buffer) ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
  }
  if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
    GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
    if (!list) return GST_PAD_PROBE_OK;
    const guint n = gst_buffer_list_length(list);
    guint deltas = 0;
    for (guint i = 0; i < n; ++i) {
      if (is_delta(gst_buffer_list_get(list, i))) ++deltas;
    }
    if (deltas == 0) return GST_PAD_PROBE_OK;
    if (deltas == n) return GST_PAD_PROBE_DROP;
    // Mixed list: pass on a copy holding only the keyframes. The list may be shared with
    // the pusher, so make it writable before editing; the probe info owns the result.
    list = gst_buffer_list_make_writable(list);
    for (guint i = gst_buffer_list_length(list); i > 0; --i) {
      if (is_delta(gst_buffer_list_get(list, i - 1))) gst_buffer_list_remove(list, i - 1, 1);
    }
    GST_PAD_PROBE_INFO_DATA(info) = list;
  }
  return GST_PAD_PROBE_OK;
}

}  // namespace

gulong add_keyframes_only_probe(GstPad* pad) {
  if (!GST_IS_PAD(pad)) return 0;
  return gst_pad_add_probe(
      pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
      keyframes_only, nullptr, nullptr);
}

}  // namespace strovix::gstcallbacks
