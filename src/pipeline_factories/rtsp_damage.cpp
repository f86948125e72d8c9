#include "pipeline_factories/rtsp_damage.hpp"

#include <memory>
#include <string>

#include "gst/damage_gate.hpp"
#include "pipeline_factories/elements.hpp"

namespace strovix::detail {
namespace {

// The pad's downstream neighbour's src pad's peer: where the depayloader's output goes.
PadPtr next_src_peer(GstPad* pad) {
  PadPtr peer(gst_pad_get_peer(pad));
  if (!peer) return nullptr;
  ElementPtr element(gst_pad_get_parent_element(peer.get()));
  if (!element) return nullptr;
  PadPtr src(gst_element_get_static_pad(element.get(), "src"));
  return src ? PadPtr(gst_pad_get_peer(src.get())) : nullptr;
}

std::string codec_name(const GstStructure* s) {
  const gchar* encoding = gst_structure_get_string(s, "encoding-name");
  if (!encoding) return "";
  if (g_ascii_strcasecmp(encoding, "H264") == 0) return "h264";
  if (g_ascii_strcasecmp(encoding, "H265") == 0) return "h265";
  if (g_ascii_strcasecmp(encoding, "JPEG") == 0) return "jpeg";
  return "";
}

// Runs on the streaming thread that exposes the pad, after the pad has been linked (or not).
void on_pad_linked(GstElement*, GstPad* pad, gpointer data) noexcept {
  const DamageSettings& settings = *static_cast<DamageSettings*>(data);
  CapsPtr caps = pad_caps(pad);
  const GstStructure* s =
      caps && !gst_caps_is_empty(caps.get()) ? gst_caps_get_structure(caps.get(), 0) : nullptr;
  if (!s || g_strcmp0(gst_structure_get_string(s, "media"), "video") != 0) return;
  // Only the pad that feeds the decoding chain: the depayloader's output reaches the parser.
  PadPtr parser_sink = next_src_peer(pad);
  if (!parser_sink) return;
  ElementPtr parser(gst_pad_get_parent_element(parser_sink.get()));
  if (!parser || g_strcmp0(GST_OBJECT_NAME(parser.get()), BUFFER_SRC_NAME) != 0) return;
  PadPtr parser_src(gst_element_get_static_pad(parser.get(), "src"));
  PadPtr decoder_sink(parser_src ? gst_pad_get_peer(parser_src.get()) : nullptr);
  if (!decoder_sink) return;
  auto tracker = std::make_shared<DamageTracker>(rtp_codec_of(codec_name(s)), settings.counters);
  add_loss_probe(pad, tracker);
  if (settings.deliver_damaged) return;
  add_damage_gate(decoder_sink.get(), tracker);
  ElementPtr decoder(gst_pad_get_parent_element(decoder_sink.get()));
  PadPtr decoder_src(decoder ? gst_element_get_static_pad(decoder.get(), "src") : nullptr);
  if (decoder_src) add_decoder_watch(decoder_src.get(), tracker);
}

// rtspsrc's RTP manager, before it makes any jitter buffer.
void on_new_manager(GstElement*, GstElement* manager, gpointer) noexcept {
  if (g_object_class_find_property(G_OBJECT_GET_CLASS(manager), "do-lost")) {
    g_object_set(manager, "do-lost", TRUE, nullptr);
  }
}

}  // namespace

void attach_damage_gate(GstElement* rtspsrc, const DamageSettings& settings) {
  // Lost-packet events let the gate know of a loss as soon as the jitter buffer gives up.
  g_signal_connect(rtspsrc, "new-manager", G_CALLBACK(on_new_manager), nullptr);
  g_signal_connect_data(
      rtspsrc, "pad-added", G_CALLBACK(on_pad_linked), new DamageSettings(settings),
      [](gpointer data, GClosure*) { delete static_cast<DamageSettings*>(data); }, G_CONNECT_AFTER);
}

}  // namespace strovix::detail
