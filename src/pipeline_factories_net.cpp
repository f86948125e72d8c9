// Network pipelines: rtsp:// through rtspsrc, http(s):// through souphttpsrc. Both pick their
// depayloader/demuxer, parser and decoder only once the stream shows what it carries, so the
// decoding chain is built and linked from a streaming thread and the completion gate is
// closed there.
#include <gst/gst.h>

#include <atomic>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "capture_clock_rtsp.hpp"
#include "stream_reader/bus_error.hpp"
#include "strovix/errors.hpp"
#include "strovix/logger.hpp"
#include "strovix/pipeline_factories.hpp"
#include "url.hpp"

namespace strovix {
namespace {

constexpr const char* kConvertName = "strovix_convert";
constexpr const char* kOutputCaps = "video/x-raw,format=(string){I420,NV12,BGR}";
// RTSP request/response time-out: a server that accepts but never answers becomes an error.
constexpr guint64 kRtspTcpTimeoutUs = 10 * G_USEC_PER_SEC;
// HTTP blocking I/O time-out, in seconds.
constexpr guint kHttpTimeoutSeconds = 10;
// Decoder threads per stream: readers run many streams at once; automatic threading spent
// more CPU per frame in measurements (720p H.264) and adds frames of latency.
constexpr gint kDecoderThreads = 1;

// ---- URL credentials -------------------------------------------------------------------------

// Credentials travel only as properties; the location the element keeps, and quotes in its
// messages and debug output, has none.
void set_credentials(GstElement* src, const detail::StreamUrl& url) {
  if (url.user) g_object_set(src, "user-id", url.user->c_str(), nullptr);
  if (url.password) g_object_set(src, "user-pw", url.password->c_str(), nullptr);
}

// ---- element helpers -------------------------------------------------------------------------

GstElement* make_element(const char* factory, const char* name = nullptr) {
  return gst_element_factory_make(factory, name);
}

// Adds a new element to the bin, which then owns it; when the bin refuses it, the element is
// freed. Holding a reference across the call keeps this right whether or not the GStreamer
// version consumes the element on failure.
bool add_to_bin(GstBin* bin, GstElement* element) {
  gst_object_ref_sink(element);
  const bool added = gst_bin_add(bin, element);
  gst_object_unref(element);
  return added;
}

// Creates the element and adds it to the bin, which then owns it.
GstElement* add_element(GstBin* bin, const char* factory, const char* name = nullptr) {
  GstElement* element = make_element(factory, name);
  if (!element) {
    throw StreamSetupError(std::string("GStreamer element '") + factory +
                           "' is not available (is its plugin installed?)");
  }
  if (!add_to_bin(bin, element)) {
    throw StreamSetupError(std::string("cannot add '") + factory + "' to the pipeline");
  }
  return element;
}

void post_error(GstElement* element, GQuark domain, gint code, const std::string& text,
                const std::string& debug = {}) {
  GError* error = g_error_new_literal(domain, code, text.c_str());
  gst_element_post_message(element, gst_message_new_error(GST_OBJECT(element), error,
                                                          debug.empty() ? nullptr : debug.c_str()));
  g_error_free(error);
}

CapsPtr pad_caps(GstPad* pad) {
  GstCaps* caps = gst_pad_get_current_caps(pad);
  if (!caps) caps = gst_pad_query_caps(pad, nullptr);
  return CapsPtr(caps);
}

std::string caps_name(const GstCaps* caps) {
  if (!caps || gst_caps_is_empty(caps) || gst_caps_is_any(caps)) return {};
  return gst_structure_get_name(gst_caps_get_structure(caps, 0));
}

// Gives a pad nobody decodes a sink, so its stream cannot stall or fail the others.
void sink_unused_pad(GstBin* bin, GstPad* pad) {
  if (gst_pad_is_linked(pad)) return;
  GstElement* sink = make_element("fakesink");
  if (!sink) return;
  g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
  if (!add_to_bin(bin, sink)) return;
  gst_element_sync_state_with_parent(sink);
  PadPtr sinkpad(gst_element_get_static_pad(sink, "sink"));
  gst_pad_link(pad, sinkpad.get());
}

struct ElementSpec {
  const char* factory;
  const char* name;  // null for an automatic name
};

// The elements a codec needs, from its parser on. The parser gets BUFFER_SRC_NAME: its src pad
// carries parsed, still-encoded buffers, with non-keyframes flagged as delta units.
std::vector<ElementSpec> decode_chain(const std::string& codec) {
  if (codec == "h264") return {{"h264parse", BUFFER_SRC_NAME}, {"avdec_h264", nullptr}};
  if (codec == "h265") return {{"h265parse", BUFFER_SRC_NAME}, {"avdec_h265", nullptr}};
  if (codec == "jpeg") return {{"jpegparse", BUFFER_SRC_NAME}, {"jpegdec", nullptr}};
  return {};
}

// Creates the chain, adds it to the bin, links it to the shared tail, brings it to the bin's
// state and finally links `pad` into it. Runs on a streaming thread: reports failures as text,
// never by throwing.
bool attach_chain(GstBin* bin, GstPad* pad, const std::vector<ElementSpec>& specs,
                  std::string* failure) {
  std::vector<GstElement*> elements;
  for (const auto& wanted : specs) {
    GstElement* element = make_element(wanted.factory, wanted.name);
    if (!element) {
      for (GstElement* e : elements) gst_object_unref(e);
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
    elements.push_back(element);
  }
  for (std::size_t i = 0; i < elements.size(); ++i) {
    if (!add_to_bin(bin, elements[i])) {
      for (std::size_t j = i + 1; j < elements.size(); ++j) gst_object_unref(elements[j]);
      for (std::size_t j = 0; j < i; ++j) {
        gst_element_set_state(elements[j], GST_STATE_NULL);
        gst_bin_remove(bin, elements[j]);
      }
      *failure = std::string("cannot add '") + specs[i].factory + "' to the pipeline";
      return false;
    }
  }
  ElementPtr convert(gst_bin_get_by_name(bin, kConvertName));
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

// ---- shared callback state -------------------------------------------------------------------

// What the streaming-thread callbacks of one pipeline share. Holds the gate, never the
// Pipeline: the last reference to a pipeline must not be dropped on its own streaming thread.
struct LinkState {
  std::shared_ptr<CompletionGate> gate;
  Logger logger;
  std::atomic<bool> linked{false};
  std::atomic<bool> typed{false};
  // Guards offered.
  std::mutex mutex;
  std::string offered;  // encodings seen but not decoded, for the error text

  void complete() {
    if (!gate) return;
    try {
      gate->mark_complete();
    } catch (const std::exception& e) {
      logger->error("strovix: pipeline completion failed: {}", e.what());
    } catch (...) {
      logger->error("strovix: pipeline completion failed");
    }
  }
  void note_offered(const std::string& what) {
    std::lock_guard lock(mutex);
    if (!offered.empty()) offered += ", ";
    offered += what;
  }
  std::string offered_text() {
    std::lock_guard lock(mutex);
    return offered.empty() ? "nothing" : offered;
  }
};

using StatePtr = std::shared_ptr<LinkState>;

template <class Callback>
void connect_with_state(gpointer instance, const char* signal, Callback callback,
                        const StatePtr& state) {
  g_signal_connect_data(
      instance, signal, G_CALLBACK(callback), new StatePtr(state),
      [](gpointer data, GClosure*) { delete static_cast<StatePtr*>(data); }, GConnectFlags(0));
}

ElementPtr parent_bin(GstElement* element) {
  return ElementPtr(GST_ELEMENT(gst_object_get_parent(GST_OBJECT(element))));
}

// Links `pad` through `chain` unless a video stream is already linked; a pad not taken gets a
// fakesink. `codec` names the stream in texts.
void link_video_pad(GstElement* owner, GstPad* pad, const std::vector<ElementSpec>& chain,
                    const std::string& codec, LinkState& state) {
  ElementPtr bin = parent_bin(owner);
  if (!bin) return;
  if (chain.empty() || state.linked.exchange(true)) {
    if (chain.empty()) state.note_offered(codec.empty() ? "unknown" : codec);
    sink_unused_pad(GST_BIN(bin.get()), pad);
    return;
  }
  std::string failure;
  if (!attach_chain(GST_BIN(bin.get()), pad, chain, &failure)) {
    post_error(owner, GST_CORE_ERROR, GST_CORE_ERROR_MISSING_PLUGIN,
               "strovix: cannot decode the " + codec + " stream: " + failure);
    return;
  }
  state.complete();
}

void post_no_video(GstElement* owner, LinkState& state) {
  if (state.linked.load()) return;
  post_error(owner, GST_STREAM_ERROR, GST_STREAM_ERROR_CODEC_NOT_FOUND,
             "strovix: the stream has no video this reader can decode (offered: " +
                 state.offered_text() + ")");
}

// Runs on a streaming thread; nothing may escape into GStreamer.
template <class F>
void guarded(LinkState& state, F&& f) noexcept {
  try {
    f();
  } catch (const std::exception& e) {
    state.logger->error("strovix: pipeline linking failed: {}", e.what());
  } catch (...) {
    state.logger->error("strovix: pipeline linking failed");
  }
}

// ---- RTSP ------------------------------------------------------------------------------------

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

void on_no_more_pads(GstElement* element, gpointer data) {
  LinkState& state = **static_cast<StatePtr*>(data);
  guarded(state, [&] { post_no_video(element, state); });
}

// ---- HTTP ------------------------------------------------------------------------------------

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
                   "strovix: cannot demultiplex the " + name + " stream: " + failure);
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
               "strovix: unsupported HTTP stream type '" + (name.empty() ? "unknown" : name) +
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

GstBusSyncReply scrub_http_headers(GstBus* bus, GstMessage* message, gpointer) {
  if (detail::annotate_connection_error(bus, message, nullptr) == GST_BUS_DROP) return GST_BUS_DROP;
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
  GstStructure* clean_request = gst_structure_copy(request);
  gst_structure_filter_and_map_in_place(
      clean_request,
      [](GQuark field, GValue*, gpointer) -> gboolean {
        return is_credential_header(g_quark_to_string(field)) ? FALSE : TRUE;
      },
      nullptr);
  GstStructure* clean = gst_structure_copy(s);
  gst_structure_set(clean, "request-headers", GST_TYPE_STRUCTURE, clean_request, nullptr);
  gst_structure_free(clean_request);
  gst_bus_post(bus, gst_message_new_element(GST_MESSAGE_SRC(message), clean));
  return GST_BUS_DROP;
}

// ---- common ----------------------------------------------------------------------------------

// videoconvert ! capsfilter ! appsink: keeps only the newest frame, not clock-synchronised.
// videoconvert passes I420 and NV12 through untouched. The appsink posts EOS at once rather
// than after its queued frame is pulled, so a source that ends (a server that closed the
// connection) is reported even while nobody pulls.
void add_output_tail(GstBin* bin) {
  GstElement* convert = add_element(bin, "videoconvert", kConvertName);
  GstElement* filter = add_element(bin, "capsfilter");
  GstElement* sink = add_element(bin, "appsink", APPSINK_NAME);
  CapsPtr caps(gst_caps_from_string(kOutputCaps));
  g_object_set(filter, "caps", caps.get(), nullptr);
  g_object_set(sink, "max-buffers", 1u, "drop", TRUE, "sync", FALSE, "wait-on-eos", FALSE, nullptr);
  if (!gst_element_link_many(convert, filter, sink, nullptr)) {
    throw StreamSetupError("cannot link the pipeline's output elements");
  }
}

std::shared_ptr<Pipeline> finish(ElementPtr bin, const PipelineWatcher& watcher,
                                 const OnComplete& on_complete, const std::string& url,
                                 GstElement* source, const char* source_signal,
                                 GCallback source_callback, bool with_no_more_pads) {
  auto pipeline = std::make_shared<Pipeline>(bin.get(), APPSINK_NAME);
  pipeline->set_on_complete(on_complete);
  auto state = std::make_shared<LinkState>();
  state->gate = pipeline->completion_gate();
  state->logger = get_stream_logger(url);
  g_signal_connect_data(
      source, source_signal, source_callback, new StatePtr(state),
      [](gpointer data, GClosure*) { delete static_cast<StatePtr*>(data); }, GConnectFlags(0));
  if (with_no_more_pads) connect_with_state(source, "no-more-pads", on_no_more_pads, state);
  if (watcher) pipeline->add_bus_watch(watcher);
  // A failure to start (no route to host, bad location) is also posted on the bus, where the
  // watcher reports it; it is not a structural fault of the pipeline.
  pipeline->set_state(GST_STATE_PLAYING);
  return pipeline;
}

}  // namespace

// ---- RTSPPipelineFactory -------------------------------------------------------------------

RTSPPipelineFactory::RTSPPipelineFactory(std::string url, int latency,
                                         PipelineWatcher pipeline_watcher, bool force_tcp,
                                         OnComplete on_complete)
    : url_(std::move(url)),
      latency_(latency),
      pipeline_watcher_(std::move(pipeline_watcher)),
      force_tcp_(force_tcp),
      on_complete_(std::move(on_complete)) {}

std::shared_ptr<Pipeline> RTSPPipelineFactory::build() {
  ElementPtr bin(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr))));
  GstElement* src = add_element(GST_BIN(bin.get()), "rtspsrc");
  const detail::StreamUrl url = detail::parse_stream_url(url_);
  detail::require_unambiguous(url);
  // The URL is only ever a property value, never part of a pipeline description.
  g_object_set(src, "location", url.location.c_str(), "latency",
               static_cast<guint>(latency_ > 0 ? latency_ : 0), "drop-on-latency", TRUE,
               "tcp-timeout", kRtspTcpTimeoutUs, nullptr);
  set_credentials(src, url);
  if (force_tcp_) gst_util_set_object_arg(G_OBJECT(src), "protocols", "tcp");
  detail::attach_capture_clock(bin.get(), src);
  // Connection failures get their cause attached (rtspsrc only says "Failed to connect").
  BusPtr bus(gst_element_get_bus(bin.get()));
  gst_bus_set_sync_handler(bus.get(), detail::annotate_connection_error, nullptr, nullptr);
  detail::expect_first_error(bin.get());
  add_output_tail(GST_BIN(bin.get()));
  return finish(std::move(bin), pipeline_watcher_, on_complete_, url_, src, "pad-added",
                G_CALLBACK(on_rtsp_pad_added), true);
}

// ---- HTTPPipelineFactory -------------------------------------------------------------------

HTTPPipelineFactory::HTTPPipelineFactory(std::string url, PipelineWatcher pipeline_watcher,
                                         OnComplete on_complete)
    : url_(std::move(url)),
      pipeline_watcher_(std::move(pipeline_watcher)),
      on_complete_(std::move(on_complete)) {}

std::shared_ptr<Pipeline> HTTPPipelineFactory::build() {
  ElementPtr bin(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr))));
  GstElement* src = add_element(GST_BIN(bin.get()), "souphttpsrc");
  GstElement* typefind = add_element(GST_BIN(bin.get()), "typefind");
  const detail::StreamUrl url = detail::parse_stream_url(url_);
  detail::require_unambiguous(url);
  // TLS certificate checks stay strict (the element's default).
  g_object_set(src, "location", url.location.c_str(), "is-live", TRUE, "timeout",
               kHttpTimeoutSeconds, nullptr);
  set_credentials(src, url);
  if (!gst_element_link(src, typefind)) throw StreamSetupError("cannot link the HTTP source");
  BusPtr bus(gst_element_get_bus(bin.get()));
  gst_bus_set_sync_handler(bus.get(), scrub_http_headers, nullptr, nullptr);
  detail::expect_first_error(bin.get());
  add_output_tail(GST_BIN(bin.get()));
  return finish(std::move(bin), pipeline_watcher_, on_complete_, url_, typefind, "have-type",
                G_CALLBACK(on_have_type), false);
}

}  // namespace strovix
