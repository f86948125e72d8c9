#include "pipeline_factories/origin_guard.hpp"

#include <glib.h>

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
  GUri* raw = g_uri_parse(url.c_str(), static_cast<GUriFlags>(G_URI_FLAGS_ENCODED | G_URI_FLAGS_NON_DNS), nullptr);
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
  return escape_control("redirect to " + where + " refused: the stream's credentials are sent "
                        "only to " + own.scheme + "://" + own.host + ":" +
                        std::to_string(own.port));
}

std::string too_many_redirects_text(int count) {
  return "more than " + std::to_string(count) + " redirects: the server sends the stream in a "
         "loop";
}

void post_redirect_refusal(GstElement* src, const std::string& text) {
  GstObjectPtr<GstObject> top = top_of(GST_OBJECT(src));
  // Object data has its own lock; the first caller wins.
  if (g_object_get_data(G_OBJECT(top.get()), kRefusedKey)) return;
  g_object_set_data(G_OBJECT(top.get()), kRefusedKey, GINT_TO_POINTER(1));
  GErrorPtr error(g_error_new_literal(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_OPEN_READ,
                                      text.c_str()));
  GstStructure* details = gst_structure_new("details", CAUSE_FIELD, G_TYPE_STRING, text.c_str(),
                                            kRefusalField, G_TYPE_BOOLEAN, TRUE, nullptr);
  gst_element_post_message(src, gst_message_new_error_with_details(
                                    GST_OBJECT(src), error.get(), nullptr, details));
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
