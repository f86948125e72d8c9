#include "connection_check.hpp"

#include <gio/gio.h>

#include <algorithm>
#include <cmath>

#include "bus_message_cause.hpp"
#include "strovix/gst/handles.hpp"

namespace strovix::detail {
namespace {

// Object data on a source element: the cause found for its first connection error, reused
// for the errors it posts after it.
constexpr const char* kDiagnosedKey = "strovix-diagnosed-cause";
// Object data on a source element that got an answer with a status code: the server was
// reached, so later errors need no connection diagnosis.
constexpr const char* kAnsweredKey = "strovix-answered";
constexpr double kDiagnosisTimeoutSeconds = 3.0;
// Object data on a source element: the monotonic time of its first message, to tell a
// request that timed out from one the server cut short.
constexpr const char* kFirstSeenKey = "strovix-first-seen";

bool is_network_source(GstObject* object) {
  if (!GST_IS_ELEMENT(object)) return false;
  GstElementFactory* factory = gst_element_get_factory(GST_ELEMENT(object));
  if (!factory) return false;
  const char* name = gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory));
  return g_strcmp0(name, "rtspsrc") == 0 || g_strcmp0(name, "souphttpsrc") == 0;
}

bool is_http_source(GstObject* object) {
  GstElementFactory* factory = gst_element_get_factory(GST_ELEMENT(object));
  return factory &&
         g_strcmp0(gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory)), "souphttpsrc") == 0;
}

int default_port(const char* scheme) {
  if (g_ascii_strcasecmp(scheme, "https") == 0) return 443;
  if (g_ascii_strcasecmp(scheme, "http") == 0) return 80;
  if (g_ascii_strcasecmp(scheme, "rtsps") == 0) return 322;
  return 554;
}

// Seconds since the source posted its first message.
double seconds_since_first_message(GstObject* source) {
  const auto* first =
      static_cast<const gint64*>(g_object_get_data(G_OBJECT(source), kFirstSeenKey));
  return first ? static_cast<double>(g_get_monotonic_time() - *first) / G_USEC_PER_SEC : 0.0;
}

}  // namespace

std::string diagnose_connection(const std::string& url, double timeout_seconds) {
  GError* raw = nullptr;
  GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, &raw);
  GErrorPtr parse_error(raw);
  if (!uri) return {};
  const char* host = g_uri_get_host(uri);
  const char* scheme = g_uri_get_scheme(uri);
  if (!host || !*host || !scheme) {
    g_uri_unref(uri);
    return {};
  }
  const std::string host_name = host;
  const int port = g_uri_get_port(uri) > 0 ? g_uri_get_port(uri) : default_port(scheme);
  const bool tls =
      g_ascii_strcasecmp(scheme, "https") == 0 || g_ascii_strcasecmp(scheme, "rtsps") == 0;
  g_uri_unref(uri);

  GSocketClient* client = g_socket_client_new();
  g_socket_client_set_timeout(client,
                              static_cast<guint>(std::max(1.0, std::ceil(timeout_seconds))));
  // The handshake checks the certificate as the sources do (GLib's default validation).
  if (tls) g_socket_client_set_tls(client, TRUE);
  GError* raw_connect = nullptr;
  GSocketConnection* connection = g_socket_client_connect_to_host(
      client, host_name.c_str(), static_cast<guint16>(port), nullptr, &raw_connect);
  GErrorPtr error(raw_connect);
  if (connection) {
    g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
    g_object_unref(connection);
  }
  g_object_unref(client);
  if (!error) return {};
  const std::string where = host_name + ":" + std::to_string(port);
  const std::string why = error->message ? error->message : "";
  if (error->domain == G_RESOLVER_ERROR) return "host not found: " + host_name;
  if (error->domain == G_TLS_ERROR) {
    if (error->code == G_TLS_ERROR_BAD_CERTIFICATE) {
      return "TLS certificate rejected by this machine (" + why + ") for " + where;
    }
    return "TLS handshake failed with " + where + " (" + why + ")";
  }
  if (error->domain == G_IO_ERROR) {
    switch (error->code) {
      case G_IO_ERROR_CONNECTION_REFUSED:
        return "connection refused by " + where;
      case G_IO_ERROR_TIMED_OUT:
        return "timed out connecting to " + where;
      case G_IO_ERROR_HOST_UNREACHABLE:
        return "host unreachable: " + where;
      case G_IO_ERROR_NETWORK_UNREACHABLE:
        return "network unreachable: " + where;
      default:
        break;
    }
  }
  return "cannot connect to " + where + " (" + why + ")";
}

namespace {

GstBusSyncReply annotate(GstBus* bus, GstMessage* message) {
  GstObject* source = GST_MESSAGE_SRC(message);
  if (!is_network_source(source)) return GST_BUS_PASS;
  if (!g_object_get_data(G_OBJECT(source), kFirstSeenKey)) {
    g_object_set_data_full(G_OBJECT(source), kFirstSeenKey, new gint64(g_get_monotonic_time()),
                           [](gpointer p) { delete static_cast<gint64*>(p); });
  }
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ELEMENT) {
    // souphttpsrc reports every answer's status here, before any error it leads to.
    const GstStructure* s = gst_message_get_structure(message);
    guint code = 0;
    if (s && gst_structure_has_name(s, "http-headers") &&
        gst_structure_get_uint(s, "http-status-code", &code) && code != 0) {
      g_object_set_data(G_OBJECT(source), kAnsweredKey, GINT_TO_POINTER(1));
    }
    return GST_BUS_PASS;
  }
  if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_ERROR) return GST_BUS_PASS;
  const GstStructure* details = error_details(message);
  if (details && gst_structure_has_field(details, CAUSE_FIELD)) return GST_BUS_PASS;
  guint code = 0;
  const char* reason = nullptr;
  if (error_status(details, &code, &reason)) {
    g_object_set_data(G_OBJECT(source), kAnsweredKey, GINT_TO_POINTER(1));
    return GST_BUS_PASS;
  }
  if (g_object_get_data(G_OBJECT(source), kAnsweredKey)) return GST_BUS_PASS;
  if (!error_cause(message).empty()) {
    g_object_set_data(G_OBJECT(source), kAnsweredKey, GINT_TO_POINTER(1));
    return GST_BUS_PASS;
  }

  std::string cause;
  if (const auto* known =
          static_cast<const std::string*>(g_object_get_data(G_OBJECT(source), kDiagnosedKey))) {
    cause = *known;
  } else {
    gchar* location = nullptr;
    g_object_get(source, "location", &location, nullptr);
    GCharPtr owned(location);
    if (location) cause = diagnose_connection(location, kDiagnosisTimeoutSeconds);
    // souphttpsrc fails without a status only when no answer came: with the connection
    // itself fine, the server either kept silent until the time-out or closed it.
    if (cause.empty() && location && is_http_source(source)) {
      guint timeout = 0;
      g_object_get(source, "timeout", &timeout, nullptr);
      cause = timeout > 0 && seconds_since_first_message(source) >= 0.9 * timeout
                  ? "timed out: the server accepted the connection but did not answer"
                  : "the server closed the connection without answering";
    }
    g_object_set_data_full(G_OBJECT(source), kDiagnosedKey, new std::string(cause),
                           [](gpointer p) { delete static_cast<std::string*>(p); });
  }
  if (cause.empty()) return GST_BUS_PASS;

  GError* raw_error = nullptr;
  gchar* raw_debug = nullptr;
  gst_message_parse_error(message, &raw_error, &raw_debug);
  GErrorPtr error(raw_error);
  GCharPtr debug(raw_debug);
  GstStructure* annotated =
      details ? gst_structure_copy(details) : gst_structure_new_empty("details");
  gst_structure_set(annotated, CAUSE_FIELD, G_TYPE_STRING, cause.c_str(), nullptr);
  GstMessage* copy =
      gst_message_new_error_with_details(source, error.get(), debug.get(), annotated);
  gst_message_set_seqnum(copy, gst_message_get_seqnum(message));
  gst_bus_post(bus, copy);
  return GST_BUS_DROP;
}

}  // namespace

GstBusSyncReply annotate_connection_error(GstBus* bus, GstMessage* message, gpointer) {
  const GstBusSyncReply reply = annotate(bus, message);
  if (reply == GST_BUS_PASS && GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    remember_first_error(message);
  }
  return reply;
}

}  // namespace strovix::detail
