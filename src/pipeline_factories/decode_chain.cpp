#include "pipeline_factories/decode_chain.hpp"

#include "pipeline_factories/elements.hpp"
#include "strovix/gst/pipeline_factories.hpp"

namespace strovix::detail {
namespace {

// Decoder threads per stream: readers run many streams at once; automatic threading spent
// more CPU per frame in measurements (720p H.264) and adds frames of latency.
constexpr gint kDecoderThreads = 1;

}  // namespace

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
      g_object_set(element, "max-threads", kDecoderThreads, "output-corrupt", FALSE, nullptr);
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
