#include "pipeline_factories/origin_guard.hpp"

#include <glib.h>
#include <gst/rtsp/gstrtspmessage.h>

#include "diagnosis/bus_message_cause.hpp"
#include "strovix/gst/handles.hpp"
#include "strovix/redaction.hpp"

namespace strovix::detail {
namespace {

constexpr const char* kRefusedKey = "strovix-redirect-refused";
constexpr const char* kRefusalField = "strovix-redirect-refusal";

int default_port(const std::string& scheme) {
  if (scheme == "http") return 80;
  if (scheme == "https") return 443;
  if (scheme == "rtsp" || scheme == "rtspt" || scheme == "rtspu") return 554;
  if (scheme == "rtsps" || scheme == "rtspst" || scheme == "rtspsu") return 322;
  return -1;
}

GstObjectPtr<GstObject> top_of(GstObject* object) {
  GstObjectPtr<GstObject> top(GST_OBJECT(gst_object_ref(object)));
  while (GstObject* parent = gst_object_get_parent(top.get())) top.reset(parent);
  return top;
}

}  // namespace

std::optional<Origin> origin_of(const std::string& url) {
  GUri* raw = g_uri_parse(
      url.c_str(), static_cast<GUriFlags>(G_URI_FLAGS_ENCODED | G_URI_FLAGS_NON_DNS), nullptr);
  if (!raw) return std::nullopt;
  std::unique_ptr<GUri, decltype(&g_uri_unref)> uri(raw, g_uri_unref);
  const char* host = g_uri_get_host(uri.get());
  if (!host || !*host) return std::nullopt;
  Origin origin;
  GCharPtr scheme(g_ascii_strdown(g_uri_get_scheme(uri.get()), -1));
  GCharPtr lower_host(g_ascii_strdown(host, -1));
  origin.scheme = scheme.get();
  origin.host = lower_host.get();
  origin.port = g_uri_get_port(uri.get());
  if (origin.port < 0) origin.port = default_port(origin.scheme);
  return origin;
}

std::string redirect_refusal_text(const std::string& target, const Origin& own) {
  std::string where = "an address that cannot be parsed";
  if (const auto to = origin_of(target)) {
    const bool v6 = to->host.find(':') != std::string::npos;
    where = to->scheme + "://" + (v6 ? "[" + to->host + "]" : to->host) + ":" +
            std::to_string(to->port);
  }
  return escape_control("redirect to " + where +
                        " refused: the stream's credentials are sent "
                        "only to " +
                        own.scheme + "://" + own.host + ":" + std::to_string(own.port));
}

std::string too_many_redirects_text(int count) {
  return "more than " + std::to_string(count) +
         " redirects: the server sends the stream in a "
         "loop";
}

void post_redirect_refusal(GstElement* src, const std::string& text) {
  GstObjectPtr<GstObject> top = top_of(GST_OBJECT(src));
  // Object data has its own lock; the first caller wins.
  if (g_object_get_data(G_OBJECT(top.get()), kRefusedKey)) return;
  g_object_set_data(G_OBJECT(top.get()), kRefusedKey, GINT_TO_POINTER(1));
  GErrorPtr error(
      g_error_new_literal(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_OPEN_READ, text.c_str()));
  GstStructure* details = gst_structure_new("details", CAUSE_FIELD, G_TYPE_STRING, text.c_str(),
                                            kRefusalField, G_TYPE_BOOLEAN, TRUE, nullptr);
  gst_element_post_message(
      src, gst_message_new_error_with_details(GST_OBJECT(src), error.get(), nullptr, details));
}

GstBusSyncReply drop_after_refusal(GstMessage* message) {
  if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_ERROR || !GST_MESSAGE_SRC(message)) {
    return GST_BUS_PASS;
  }
  GstObjectPtr<GstObject> top = top_of(GST_MESSAGE_SRC(message));
  if (!g_object_get_data(G_OBJECT(top.get()), kRefusedKey)) return GST_BUS_PASS;
  const GstStructure* details = error_details(message);
  if (details && gst_structure_has_field(details, kRefusalField)) return GST_BUS_PASS;
  return GST_BUS_DROP;
}

}  // namespace strovix::detail

// ---- rtspsrc ---------------------------------------------------------------------------------

namespace strovix::detail {
namespace {

struct RtspGuard {
  Origin origin;
  bool has_credentials = false;
  std::string last_uri;
  int redirects = 0;
  int describes = 0;
  bool refused = false;
};

// Runs on rtspsrc's task thread before each request is written. A 301/302 makes rtspsrc
// connect to the Location and send it the next request with the source's login.
gboolean on_rtsp_before_send(GstElement* src, GstRTSPMessage* message, gpointer data) noexcept {
  try {
    auto& guard = *static_cast<RtspGuard*>(data);
    if (guard.refused) return FALSE;
    // The message's public fields are read directly: libgstrtsp is not linked for this.
    if (!message || message->type != GST_RTSP_MESSAGE_REQUEST) return TRUE;
    // Request URIs say "rtsp://" over TLS too; the location, which rtspsrc replaces with the
    // Location it follows, keeps the scheme.
    gchar* raw = nullptr;
    g_object_get(src, "location", &raw, nullptr);
    GCharPtr location(raw);
    const std::string target = location ? location.get() : "";
    const auto to = origin_of(target);
    if (!guard.last_uri.empty() && target != guard.last_uri) ++guard.redirects;
    guard.last_uri = target;
    std::string refusal;
    // One DESCRIBE, one more with a login: any beyond those follow a redirect, which may
    // stay on the origin and still loop.
    if (message->type_data.request.method == GST_RTSP_DESCRIBE) ++guard.describes;
    if (guard.redirects > kMaxRedirects || guard.describes > kMaxRedirects + 2) {
      refusal = too_many_redirects_text(kMaxRedirects);
    } else if (guard.has_credentials && !(to && *to == guard.origin)) {
      refusal = redirect_refusal_text(target, guard.origin);
    }
    if (refusal.empty()) return TRUE;
    guard.refused = true;
    g_object_set(src, "user-id", nullptr, "user-pw", nullptr, nullptr);
    post_redirect_refusal(src, refusal);
    // Not sent at all: the other host learns nothing, not even that we came.
    return FALSE;
  } catch (...) {
    return FALSE;
  }
}

}  // namespace

void guard_rtsp_redirects(GstElement* src, const StreamUrl& url) {
  auto* guard = new RtspGuard;
  guard->has_credentials = url.user.has_value() || url.password.has_value();
  if (auto origin = origin_of(url.location)) guard->origin = *origin;
  g_signal_connect_data(
      src, "before-send", G_CALLBACK(on_rtsp_before_send), guard,
      [](gpointer data, GClosure*) { delete static_cast<RtspGuard*>(data); }, GConnectFlags{});
}

}  // namespace strovix::detail
