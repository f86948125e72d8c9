#include "strovix/gst/gstcallbacks.hpp"

#include <gst/video/video.h>

#include <atomic>

#include "gst/buffer_filter.hpp"

namespace strovix::gstcallbacks {
namespace {

// Set while the probe pushes a keyframe itself, so that push passes its own probe.
thread_local bool t_forwarding = false;

bool is_delta(GstBuffer* buffer) {
  return GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
}

// A decoder that reorders (B-frames) holds each picture back until the frames after it in
// decoding order arrive; with only keyframes reaching it, those are the next keyframes, so a
// picture came out one or two GOPs late. Every keyframe passed is therefore followed by a
// still-frame event, on which GStreamer's video decoders drain: the keyframe comes out as soon
// as it is decoded. Elements that do not decode just forward the event.
void drain(GstPad* pad) {
  gst_pad_push_event(pad, gst_video_event_new_still_frame(TRUE));
  gst_pad_push_event(pad, gst_video_event_new_still_frame(FALSE));
}

GstPadProbeReturn forward_and_drain(GstPad* pad, GstPadProbeInfo* info, bool is_list) {
  t_forwarding = true;
  const GstFlowReturn flow = is_list ? gst_pad_push_list(pad, GST_PAD_PROBE_INFO_BUFFER_LIST(info))
                                     : gst_pad_push(pad, GST_PAD_PROBE_INFO_BUFFER(info));
  t_forwarding = false;
  if (flow == GST_FLOW_OK) drain(pad);
  // The data now belongs to the peer; the original push reports the peer's result.
  GST_PAD_PROBE_INFO_DATA(info) = nullptr;
  GST_PAD_PROBE_INFO_FLOW_RETURN(info) = flow;
  return GST_PAD_PROBE_HANDLED;
}

// Runs on the streaming thread; nothing in here may throw.
GstPadProbeReturn keyframes_only(GstPad* pad, GstPadProbeInfo* info, gpointer data) noexcept {
  if (t_forwarding) return GST_PAD_PROBE_OK;
  // Switched on in mid-stream, the decoder may hold pictures of the full stream; out now,
  // they are fresh, where at the next keyframe they would be most of a GOP old.
  if (auto* started = static_cast<std::atomic<bool>*>(data); !started->exchange(true)) {
    drain(pad);
  }
  if (!(info->type & (GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST)) ||
      !GST_PAD_PROBE_INFO_DATA(info)) {
    return GST_PAD_PROBE_OK;
  }
  const bool is_list = info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST;
  if (detail::keep_buffers(info, [](GstBuffer* b) { return !is_delta(b); }) ==
      GST_PAD_PROBE_DROP) {
    return GST_PAD_PROBE_DROP;
  }
  return forward_and_drain(pad, info, is_list);
}

}  // namespace

gulong add_keyframes_only_probe(GstPad* pad) {
  if (!GST_IS_PAD(pad)) return 0;
  return gst_pad_add_probe(
      pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
      keyframes_only, new std::atomic<bool>(false),
      [](gpointer data) { delete static_cast<std::atomic<bool>*>(data); });
}

}  // namespace strovix::gstcallbacks
