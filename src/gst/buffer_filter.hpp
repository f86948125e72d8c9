#pragma once
// Dropping buffers from a pad probe, one buffer or a buffer list alike: shared by the
// keyframe-only probe and the damage gate.
#include <gst/gst.h>

#include <vector>

namespace strovix::detail {

// Asks `keep` once for each buffer of the probe's data, in order (it may keep state). Returns
// GST_PAD_PROBE_DROP when it keeps none; otherwise GST_PAD_PROBE_OK, with a list the probe
// info then owns holding only the kept buffers when it keeps some. Anything but buffers passes.
template <class Keep>
GstPadProbeReturn keep_buffers(GstPadProbeInfo* info, Keep&& keep) {
  if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!buffer) return GST_PAD_PROBE_OK;
    return keep(buffer) ? GST_PAD_PROBE_OK : GST_PAD_PROBE_DROP;
  }
  if (!(info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST)) return GST_PAD_PROBE_OK;
  GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
  if (!list) return GST_PAD_PROBE_OK;
  const guint n = gst_buffer_list_length(list);
  std::vector<bool> kept(n);
  guint count = 0;
  for (guint i = 0; i < n; ++i) {
    kept[i] = keep(gst_buffer_list_get(list, i));
    if (kept[i]) ++count;
  }
  if (count == 0) return GST_PAD_PROBE_DROP;
  if (count < n) {
    // The list may be shared with the pusher, so make it writable before editing.
    list = gst_buffer_list_make_writable(list);
    for (guint i = n; i > 0; --i) {
      if (!kept[i - 1]) gst_buffer_list_remove(list, i - 1, 1);
    }
    GST_PAD_PROBE_INFO_DATA(info) = list;
  }
  return GST_PAD_PROBE_OK;
}

}  // namespace strovix::detail
