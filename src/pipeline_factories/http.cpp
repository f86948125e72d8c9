// http(s):// through souphttpsrc and a typefinder. The demuxer, parser and decoder are picked
// only once the stream shows what it carries, so the decoding chain is built and linked from a
// streaming thread and the completion gate is closed there.
#include <gst/gst.h>

#include <string>
#include <utility>
#include <vector>

#include "diagnosis/bus_message_cause.hpp"
#include "diagnosis/connection_check.hpp"
#include "logging/url.hpp"
#include "pipeline_factories/decode_chain.hpp"
#include "pipeline_factories/elements.hpp"
#include "pipeline_factories/link_state.hpp"
#include "pipeline_factories/origin_guard.hpp"
#include "pipeline_factories/output_tail.hpp"
#include "strovix/errors.hpp"
#include "strovix/gst/pipeline_factories.hpp"

namespace strovix {
namespace detail {
namespace {

// HTTP blocking I/O time-out, in seconds.
constexpr guint kHttpTimeoutSeconds = 10;

// Demuxed elementary streams: caps name to codec.
std::string elementary_codec(const std::string& name) {
  if (name == "video/x-h264") return "h264";
  if (name == "video/x-h265") return "h265";
  if (name == "image/jpeg") return "jpeg";
  return {};
}

void on_demux_pad_added(GstElement* demux, GstPad* pad, gpointer data) {
  LinkState& state = **static_cast<StatePtr*>(data);
  guarded(state, [&] {
    CapsPtr caps = pad_caps(pad);
    const std::string name = caps_name(caps.get());
    if (!g_str_has_prefix(name.c_str(), "video/") && name != "image/jpeg") {
      ElementPtr bin = parent_bin(demux);
      if (bin) sink_unused_pad(GST_BIN(bin.get()), pad);
      return;
    }
    const std::string codec = elementary_codec(name);
    link_video_pad(demux, pad, decode_chain(codec), codec.empty() ? name : codec, state);
  });
}

bool is_mpegts(const std::string& name) {
  return name == "video/mpegts" || g_ascii_strcasecmp(name.c_str(), "video/mp2t") == 0;
}

bool is_matroska(const std::string& name) {
  return name == "video/x-matroska" || name == "video/webm";
}

// Adds the demuxer behind the typefinder; its pads arrive later.
bool attach_demuxer(GstBin* bin, GstElement* typefind, const char* factory, const StatePtr& state,
                    std::string* failure) {
  GstElement* demux = make_element(factory);
  if (!demux) {
    *failure = std::string("GStreamer element '") + factory + "' is not available";
    return false;
  }
  // One part type per stream: lets multipartdemux announce its pad set at once.
  if (g_str_equal(factory, "multipartdemux")) g_object_set(demux, "single-stream", TRUE, nullptr);
  connect_with_state(demux, "pad-added", on_demux_pad_added, state);
  connect_with_state(demux, "no-more-pads", on_no_more_pads, state);
  if (!add_to_bin(bin, demux)) {
    *failure = "cannot add the demuxer";
    return false;
  }
  if (!gst_element_sync_state_with_parent(demux) || !gst_element_link(typefind, demux)) {
    gst_element_set_state(demux, GST_STATE_NULL);
    gst_bin_remove(bin, demux);
    *failure = std::string("cannot link '") + factory + "'";
    return false;
  }
  return true;
}

void on_have_type(GstElement* typefind, guint, GstCaps* caps, gpointer data) {
  const StatePtr& state_ptr = *static_cast<StatePtr*>(data);
  LinkState& state = *state_ptr;
  guarded(state, [&] {
    if (state.typed.exchange(true)) return;
    ElementPtr bin = parent_bin(typefind);
    if (!bin) return;
    const std::string name = caps_name(caps);
    std::string failure;
    const char* demuxer = nullptr;
    if (name == "multipart/x-mixed-replace")
      demuxer = "multipartdemux";
    else if (is_mpegts(name))
      demuxer = "tsdemux";
    else if (is_matroska(name))
      demuxer = "matroskademux";
    if (demuxer) {
      if (!attach_demuxer(GST_BIN(bin.get()), typefind, demuxer, state_ptr, &failure)) {
        post_error(typefind, GST_CORE_ERROR, GST_CORE_ERROR_MISSING_PLUGIN,
                   "cannot demultiplex the " + name + " stream: " + failure);
      }
      return;
    }
    if (name == "image/jpeg") {
      PadPtr srcpad(gst_element_get_static_pad(typefind, "src"));
      link_video_pad(typefind, srcpad.get(), decode_chain("jpeg"), "jpeg", state);
      return;
    }
    GCharPtr full(caps ? gst_caps_to_string(caps) : nullptr);
    post_error(typefind, GST_STREAM_ERROR, GST_STREAM_ERROR_WRONG_TYPE,
               "unsupported HTTP stream type '" + (name.empty() ? "unknown" : name) +
                   "' (expected MJPEG, MPEG-TS or Matroska)",
               full ? full.get() : "");
  });
}

// souphttpsrc reports its request headers in an "http-headers" element message, with the
// Authorization header a basic-auth login adds: that token is the password in base64. Such a
// message is replaced by a copy without it before anything reads the bus.
bool is_credential_header(const char* name) {
  return g_ascii_strcasecmp(name, "Authorization") == 0 ||
         g_ascii_strcasecmp(name, "Proxy-Authorization") == 0;
}

// `check`: the pipeline's connection check (new_connection_check).
GstBusSyncReply scrub_http_headers(GstBus* bus, GstMessage* message, gpointer check) {
  if (drop_after_refusal(message) == GST_BUS_DROP) return GST_BUS_DROP;
  if (annotate_connection_error(bus, message, check) == GST_BUS_DROP) return GST_BUS_DROP;
  if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_ELEMENT) return GST_BUS_PASS;
  const GstStructure* s = gst_message_get_structure(message);
  if (!s || !gst_structure_has_name(s, "http-headers")) return GST_BUS_PASS;
  const GValue* value = gst_structure_get_value(s, "request-headers");
  if (!value || !GST_VALUE_HOLDS_STRUCTURE(value)) return GST_BUS_PASS;
  const GstStructure* request = gst_value_get_structure(value);
  bool secret = false;
  for (gint i = 0; request && i < gst_structure_n_fields(request); ++i) {
    secret = secret || is_credential_header(gst_structure_nth_field_name(request, i));
  }
  if (!secret) return GST_BUS_PASS;
  StructurePtr clean_request(gst_structure_copy(request));
  gst_structure_filter_and_map_in_place(
      clean_request.get(),
      [](GQuark field, GValue*, gpointer) -> gboolean {
        return is_credential_header(g_quark_to_string(field)) ? FALSE : TRUE;
      },
      nullptr);
  GstStructure* clean = gst_structure_copy(s);
  gst_structure_set(clean, "request-headers", GST_TYPE_STRUCTURE, clean_request.get(), nullptr);
  clean_request.reset();
  gst_bus_post(bus, gst_message_new_element(GST_MESSAGE_SRC(message), clean));
  return GST_BUS_DROP;
}

}  // namespace
}  // namespace detail

HTTPPipelineFactory::HTTPPipelineFactory(std::string url, PipelineWatcher pipeline_watcher,
                                         OnComplete on_complete, const TlsSettings& tls)
    : HTTPPipelineFactory(detail::parse_stream_url(url), std::move(pipeline_watcher),
                          std::move(on_complete), tls) {}

HTTPPipelineFactory::HTTPPipelineFactory(const detail::StreamUrl& url,
                                         PipelineWatcher pipeline_watcher, OnComplete on_complete,
                                         const TlsSettings& tls)
    : url_(std::make_shared<const detail::StreamUrl>(url)),
      pipeline_watcher_(std::move(pipeline_watcher)),
      on_complete_(std::move(on_complete)),
      tls_validation_(tls.validation),
      tls_database_(detail::load_tls_database(tls.ca_file)) {}

std::shared_ptr<Pipeline> HTTPPipelineFactory::build() {
  ElementPtr bin(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr))));
  GstElement* src = detail::add_element(GST_BIN(bin.get()), "souphttpsrc");
  GstElement* typefind = detail::add_element(GST_BIN(bin.get()), "typefind");
  const detail::StreamUrl& url = *url_;
  detail::require_unambiguous(url);
  g_object_set(src, "location", url.location.c_str(), "is-live", TRUE, "timeout",
               detail::kHttpTimeoutSeconds, "ssl-strict", tls_validation_ ? TRUE : FALSE, nullptr);
  if (tls_database_) g_object_set(src, "tls-database", tls_database_.get(), nullptr);
  detail::set_credentials(src, url);
  detail::guard_http_redirects(src, url);
  if (!gst_element_link(src, typefind)) throw StreamSetupError("cannot link the HTTP source");
  BusPtr bus(gst_element_get_bus(bin.get()));
  gst_bus_set_sync_handler(bus.get(), detail::scrub_http_headers, detail::new_connection_check(url),
                           detail::free_connection_check);
  detail::expect_first_error(bin.get());
  detail::add_output_tail(GST_BIN(bin.get()));
  return detail::finish_network_pipeline(std::move(bin), pipeline_watcher_, on_complete_, url,
                                         typefind, "have-type", G_CALLBACK(detail::on_have_type),
                                         false);
}

}  // namespace strovix
