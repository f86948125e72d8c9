#include "pipeline_factories/decode_chain.hpp"

#include <algorithm>
#include <thread>

#include "pipeline_factories/elements.hpp"
#include "strovix/gst/pipeline_factories.hpp"

namespace strovix::detail {
namespace {

// Runs on the streaming thread, before the decoder sees its caps: libav takes the thread
// count when it opens the codec for them.
GstPadProbeReturn size_decoder_threads(GstPad* pad, GstPadProbeInfo* info, gpointer) {
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  if (GST_EVENT_TYPE(event) != GST_EVENT_CAPS) return GST_PAD_PROBE_OK;
  GstCaps* caps = nullptr;
  gst_event_parse_caps(event, &caps);
  const GstStructure* s =
      caps && !gst_caps_is_empty(caps) ? gst_caps_get_structure(caps, 0) : nullptr;
  gint width = 0, height = 0;
  if (s && gst_structure_get_int(s, "width", &width) &&
      gst_structure_get_int(s, "height", &height)) {
    const int threads = decoder_threads(width, height, std::thread::hardware_concurrency());
    GstElement* decoder = GST_PAD_PARENT(pad);
    g_object_set(decoder, "max-threads", threads, nullptr);
    // For a live source libav's automatic choice is slice threads, and cameras send one
    // slice a picture: only frame threads share the work.
    if (threads > 1) gst_util_set_object_arg(G_OBJECT(decoder), "thread-type", "frame");
  }
  return GST_PAD_PROBE_OK;
}

}  // namespace

int decoder_threads(int width, int height, unsigned cores) {
  constexpr long long kPerThread = 1920LL * 1088;
  const long long pixels =
      static_cast<long long>(std::max(width, 0)) * static_cast<long long>(std::max(height, 0));
  if (pixels <= kPerThread) return 1;
  const long long limit = std::clamp<long long>(cores, 1, 4);
  return static_cast<int>(std::min((pixels + kPerThread - 1) / kPerThread, limit));
}

std::vector<ElementSpec> decode_chain(const std::string& codec) {
  if (codec == "h264") return {{"h264parse", BUFFER_SRC_NAME}, {"avdec_h264", nullptr}};
  if (codec == "h265") return {{"h265parse", BUFFER_SRC_NAME}, {"avdec_h265", nullptr}};
  if (codec == "jpeg") return {{"jpegparse", BUFFER_SRC_NAME}, {"jpegdec", nullptr}};
  return {};
}

bool attach_chain(GstBin* bin, GstPad* pad, const std::vector<ElementSpec>& specs,
                  std::string* failure) {
  // Owned until each is added to the bin.
  std::vector<ElementPtr> made;
  for (const auto& wanted : specs) {
    ElementPtr owned(make_element(wanted.factory, wanted.name));
    GstElement* element = owned.get();
    if (!element) {
      *failure = std::string("GStreamer element '") + wanted.factory + "' is not available";
      return false;
    }
    if (g_str_has_prefix(wanted.factory, "avdec_")) {
      // No picture decoded without its references (joined between keyframes, packets lost)
      // reaches the host: libav holds frames back until the stream has recovered.
      g_object_set(element, "max-threads", 1, "output-corrupt", FALSE, nullptr);
      PadPtr sinkpad(gst_element_get_static_pad(element, "sink"));
      gst_pad_add_probe(sinkpad.get(), GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, size_decoder_threads,
                        nullptr, nullptr);
    }
    // Frames the decoder itself flags as damaged are dropped rather than delivered.
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(element), "discard-corrupted-frames")) {
      g_object_set(element, "discard-corrupted-frames", TRUE, nullptr);
    }
    made.push_back(std::move(owned));
  }
  // Borrowed: the bin holds them.
  std::vector<GstElement*> elements;
  for (std::size_t i = 0; i < made.size(); ++i) {
    elements.push_back(made[i].get());
    if (!add_to_bin(bin, made[i].release())) {
      for (std::size_t j = 0; j < i; ++j) {
        gst_element_set_state(elements[j], GST_STATE_NULL);
        gst_bin_remove(bin, elements[j]);
      }
      *failure = std::string("cannot add '") + specs[i].factory + "' to the pipeline";
      return false;
    }
  }
  ElementPtr convert(gst_bin_get_by_name(bin, CONVERT_NAME));
  bool linked = convert != nullptr;
  for (std::size_t i = 0; linked && i + 1 < elements.size(); ++i) {
    linked = gst_element_link(elements[i], elements[i + 1]);
  }
  if (linked) linked = gst_element_link(elements.back(), convert.get());
  // Downstream first, so nothing pushes into an element that is not running yet.
  for (auto it = elements.rbegin(); linked && it != elements.rend(); ++it) {
    linked = gst_element_sync_state_with_parent(*it);
  }
  if (linked) {
    PadPtr sinkpad(gst_element_get_static_pad(elements.front(), "sink"));
    linked = gst_pad_link(pad, sinkpad.get()) == GST_PAD_LINK_OK;
  }
  if (!linked) {
    for (GstElement* e : elements) {
      gst_element_set_state(e, GST_STATE_NULL);
      gst_bin_remove(bin, e);
    }
    *failure = "cannot link the decoding elements";
  }
  return linked;
}

}  // namespace strovix::detail
