// rtsp:// through rtspsrc. The depayloader, parser and decoder are picked only once the server
// shows what it carries, so the decoding chain is built and linked from a streaming thread and
// the completion gate is closed there.
#include "capture_clock/rtsp.hpp"

#include <gst/gst.h>

#include <cstdio>
#include <cstring>
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
#include "pipeline_factories/rtsp_damage.hpp"
#include "pipeline_factories/sdp_size.hpp"
#include "strovix/gst/pipeline_factories.hpp"

namespace strovix {
namespace detail {
namespace {

// RTSP request/response time-out: a server that accepts but never answers becomes an error.
constexpr guint64 kRtspTcpTimeoutUs = 10 * G_USEC_PER_SEC;

std::vector<ElementSpec> rtsp_chain(const std::string& codec) {
  std::vector<ElementSpec> chain;
  if (codec == "h264") chain.push_back({"rtph264depay", nullptr});
  if (codec == "h265") chain.push_back({"rtph265depay", nullptr});
  if (codec == "jpeg") chain.push_back({"rtpjpegdepay", nullptr});
  if (chain.empty()) return chain;
  const auto rest = decode_chain(codec);
  chain.insert(chain.end(), rest.begin(), rest.end());
  return chain;
}

void on_rtsp_pad_added(GstElement* src, GstPad* pad, gpointer data) {
  LinkState& state = **static_cast<StatePtr*>(data);
  guarded(state, [&] {
    ElementPtr bin = parent_bin(src);
    if (!bin) return;
    CapsPtr caps = pad_caps(pad);
    const GstStructure* s =
        caps && !gst_caps_is_empty(caps.get()) ? gst_caps_get_structure(caps.get(), 0) : nullptr;
    const gchar* media = s ? gst_structure_get_string(s, "media") : nullptr;
    if (!media || g_strcmp0(media, "video") != 0) {
      sink_unused_pad(GST_BIN(bin.get()), pad);
      return;
    }
    const gchar* encoding = gst_structure_get_string(s, "encoding-name");
    std::string codec = encoding ? encoding : "";
    if (g_ascii_strcasecmp(codec.c_str(), "H264") == 0) codec = "h264";
    if (g_ascii_strcasecmp(codec.c_str(), "H265") == 0) codec = "h265";
    if (g_ascii_strcasecmp(codec.c_str(), "JPEG") == 0) codec = "jpeg";
    link_video_pad(src, pad, rtsp_chain(codec), codec, state);
  });
}

// rtspsrc emits it on its own thread for each stream before it makes the stream's sockets,
// so a size set here is the one they get.
gboolean size_udp_buffer_from_sdp(GstElement* src, guint, GstCaps* caps, gpointer) {
  if (!caps || gst_caps_is_empty(caps)) return TRUE;
  const GstStructure* media = gst_caps_get_structure(caps, 0);
  if (g_strcmp0(gst_structure_get_string(media, "media"), "video") != 0) return TRUE;
  auto [width, height] = sdp_picture_size(media);
  const int wanted = RTSPPipelineFactory::udp_buffer_size_for(width, height);
  int current = 0;
  g_object_get(src, "udp-buffer-size", &current, nullptr);
  if (wanted > current) g_object_set(src, "udp-buffer-size", wanted, nullptr);
  return TRUE;
}

GstBusSyncReply rtsp_sync_handler(GstBus* bus, GstMessage* message, gpointer data) {
  if (drop_after_refusal(message) == GST_BUS_DROP) return GST_BUS_DROP;
  return annotate_connection_error(bus, message, data);
}

}  // namespace

std::pair<int, int> sdp_picture_size(const GstStructure* media) {
  int width = 0;
  int height = 0;
  if (const gchar* v = gst_structure_get_string(media, "a-framesize")) {
    const char* dims = std::strchr(v, ' ');
    if (dims && std::sscanf(dims, " %d-%d", &width, &height) == 2) return {width, height};
  }
  if (const gchar* v = gst_structure_get_string(media, "a-x-dimensions")) {
    if (std::sscanf(v, "%d,%d", &width, &height) == 2) return {width, height};
  }
  return {0, 0};
}

}  // namespace detail

RTSPPipelineFactory::RTSPPipelineFactory(std::string url, int latency,
                                         PipelineWatcher pipeline_watcher, bool force_tcp,
                                         OnComplete on_complete, const TlsSettings& tls,
                                         DamageSettings damage)
    : RTSPPipelineFactory(detail::parse_stream_url(url), latency, std::move(pipeline_watcher),
                          force_tcp, std::move(on_complete), tls, std::move(damage)) {}

RTSPPipelineFactory::RTSPPipelineFactory(const detail::StreamUrl& url, int latency,
                                         PipelineWatcher pipeline_watcher, bool force_tcp,
                                         OnComplete on_complete, const TlsSettings& tls,
                                         DamageSettings damage)
    : url_(std::make_shared<const detail::StreamUrl>(url)),
      latency_(latency),
      pipeline_watcher_(std::move(pipeline_watcher)),
      force_tcp_(force_tcp),
      on_complete_(std::move(on_complete)),
      damage_(std::move(damage)),
      tls_validation_(tls.validation),
      tls_database_(detail::load_tls_database(tls.ca_file)) {}

int RTSPPipelineFactory::udp_buffer_size_for(int width, int height) {
  constexpr double kFullHd = 1920.0 * 1080.0;
  constexpr double kMax = 8.0 * 1024 * 1024;
  if (width <= 0 || height <= 0) return DEFAULT_UDP_BUFFER_SIZE;
  const double scaled = DEFAULT_UDP_BUFFER_SIZE * (double(width) * double(height) / kFullHd);
  if (scaled <= DEFAULT_UDP_BUFFER_SIZE) return DEFAULT_UDP_BUFFER_SIZE;
  return static_cast<int>(scaled < kMax ? scaled : kMax);
}

void RTSPPipelineFactory::set_resolution_hint(int width, int height) {
  udp_buffer_size_.store(udp_buffer_size_for(width, height));
}

std::shared_ptr<Pipeline> RTSPPipelineFactory::build() {
  ElementPtr bin(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr))));
  GstElement* src = detail::add_element(GST_BIN(bin.get()), "rtspsrc");
  const detail::StreamUrl& url = *url_;
  detail::require_unambiguous(url);
  // The URL is only ever a property value, never part of a pipeline description.
  g_object_set(src, "location", url.location.c_str(), "latency",
               static_cast<guint>(latency_ > 0 ? latency_ : 0), "drop-on-latency", TRUE,
               "tcp-timeout", detail::kRtspTcpTimeoutUs, nullptr);
  detail::set_credentials(src, url);
  detail::guard_rtsp_redirects(src, url);
  // rtsps:// in the location is what makes rtspsrc speak TLS; it validates everything by
  // default.
  if (tls_database_) g_object_set(src, "tls-database", tls_database_.get(), nullptr);
  if (!tls_validation_)
    g_object_set(src, "tls-validation-flags", G_TLS_CERTIFICATE_NO_FLAGS, nullptr);
  if (force_tcp_.load()) {
    gst_util_set_object_arg(G_OBJECT(src), "protocols", "tcp");
  } else {
    g_object_set(src, "udp-buffer-size", udp_buffer_size_.load(), nullptr);
    // The server's description may name the picture size before any socket is made.
    g_signal_connect(src, "select-stream", G_CALLBACK(detail::size_udp_buffer_from_sdp), nullptr);
  }
  detail::attach_capture_clock(bin.get(), src);
  // Connection failures get their cause attached (rtspsrc only says "Failed to connect").
  BusPtr bus(gst_element_get_bus(bin.get()));
  gst_bus_set_sync_handler(bus.get(), detail::rtsp_sync_handler,
                           detail::new_connection_check(url), detail::free_connection_check);
  detail::expect_first_error(bin.get());
  detail::add_output_tail(GST_BIN(bin.get()));
  // Its pad-added handler runs after the one that links the pad, whatever the order here.
  detail::attach_damage_gate(src, damage_);
  return detail::finish_network_pipeline(std::move(bin), pipeline_watcher_, on_complete_, url, src,
                                         "pad-added", G_CALLBACK(detail::on_rtsp_pad_added), true);
}

}  // namespace strovix
