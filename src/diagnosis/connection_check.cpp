#include "diagnosis/connection_check.hpp"

#include <gio/gio.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "diagnosis/bus_message_cause.hpp"
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

std::string diagnose_connection(const std::string& url, double timeout_seconds,
                                GCancellable* cancellable, GTlsDatabase* tls_database,
                                bool tls_validation) {
  GError* raw = nullptr;
  UriPtr uri(g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, &raw));
  GErrorPtr parse_error(raw);
  if (!uri) return {};
  const char* host = g_uri_get_host(uri.get());
  const char* scheme = g_uri_get_scheme(uri.get());
  if (!host || !*host || !scheme) return {};
  const std::string host_name = host;
  const int port = g_uri_get_port(uri.get()) > 0 ? g_uri_get_port(uri.get()) : default_port(scheme);
  const bool tls =
      g_ascii_strcasecmp(scheme, "https") == 0 || g_ascii_strcasecmp(scheme, "rtsps") == 0;
  uri.reset();

  GObjectPtr<GSocketClient> owned_client(g_socket_client_new());
  GSocketClient* client = owned_client.get();
  g_socket_client_set_timeout(client,
                              static_cast<guint>(std::max(1.0, std::ceil(timeout_seconds))));
  // The handshake checks the certificate as the sources do (GLib's default validation).
  if (tls) g_socket_client_set_tls(client, TRUE);
  struct Trust {
    GTlsDatabase* database;
    bool validation;
  } trust{tls_database, tls_validation};
  if (tls && (tls_database || !tls_validation)) {
    g_signal_connect(client, "event",
                     G_CALLBACK(+[](GSocketClient*, GSocketClientEvent event, GSocketConnectable*,
                                    GIOStream* connection, gpointer data) {
                       if (event != G_SOCKET_CLIENT_TLS_HANDSHAKING) return;
                       const auto* t = static_cast<const Trust*>(data);
                       if (t->database) {
                         g_tls_connection_set_database(G_TLS_CONNECTION(connection), t->database);
                       }
                       if (!t->validation) {
                         g_signal_connect(
                             connection, "accept-certificate",
                             G_CALLBACK(+[](GTlsConnection*, GTlsCertificate*, GTlsCertificateFlags,
                                            gpointer) { return TRUE; }),
                             nullptr);
                       }
                     }),
                     &trust);
  }
  // Asynchronous on a context of this thread's own, so that a time-out and the caller's
  // cancellation end it wherever it is: the socket time-out does not cover the DNS lookup.
  struct Attempt {
    bool done = false;
    GSocketConnection* connection = nullptr;
    GError* error = nullptr;
    GSocketClient* client = nullptr;
  } attempt;
  attempt.client = client;
  MainContextPtr owned_context(g_main_context_new());
  GMainContext* context = owned_context.get();
  g_main_context_push_thread_default(context);
  GObjectPtr<GCancellable> owned_op(g_cancellable_new());
  GCancellable* op = owned_op.get();
  const gulong forwarded =
      cancellable ? g_cancellable_connect(cancellable, G_CALLBACK(+[](GCancellable*, gpointer op) {
                                            g_cancellable_cancel(G_CANCELLABLE(op));
                                          }),
                                          op, nullptr)
                  : 0;
  SourcePtr owned_timer(g_timeout_source_new(static_cast<guint>(timeout_seconds * 1000)));
  GSource* timer = owned_timer.get();
  g_source_set_callback(
      timer,
      [](gpointer op) -> gboolean {
        g_cancellable_cancel(G_CANCELLABLE(op));
        return G_SOURCE_REMOVE;
      },
      op, nullptr);
  g_source_attach(timer, context);
  g_socket_client_connect_to_host_async(
      client, host_name.c_str(), static_cast<guint16>(port), op,
      [](GObject*, GAsyncResult* result, gpointer data) {
        auto* a = static_cast<Attempt*>(data);
        a->connection = g_socket_client_connect_to_host_finish(a->client, result, &a->error);
        a->done = true;
      },
      &attempt);
  while (!attempt.done) g_main_context_iteration(context, TRUE);
  g_source_destroy(timer);
  owned_timer.reset();
  if (forwarded) g_cancellable_disconnect(cancellable, forwarded);
  const bool timed_out = g_cancellable_is_cancelled(op);
  owned_op.reset();
  GErrorPtr error(attempt.error);
  if (GObjectPtr<GSocketConnection> connection{attempt.connection}) {
    g_io_stream_close(G_IO_STREAM(connection.get()), nullptr, nullptr);
  }
  owned_client.reset();
  // What the closed connection and the client still had queued runs on this context.
  while (g_main_context_iteration(context, FALSE)) {
  }
  g_main_context_pop_thread_default(context);
  owned_context.reset();
  if (!error) return {};
  const std::string where = host_name + ":" + std::to_string(port);
  if (cancellable && g_cancellable_is_cancelled(cancellable)) return {};
  if (timed_out) return "timed out connecting to " + where;
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

// The connection check of one pipeline, kept as object data on it.
struct Check {
  // Guards running, worker and held.
  std::mutex mutex;
  bool running = false;
  std::thread::id worker;
  // The pipeline's errors posted while the check runs, in order.
  std::deque<MessagePtr> held;
  // Cancelled when the pipeline leaves PAUSED (close, restart): nobody needs the cause then.
  GObjectPtr<GCancellable> cancellable{g_cancellable_new()};
};

constexpr const char* kCheckKey = "strovix-connection-check";
// Guards the creation of the Check object data.
std::mutex g_check_mutex;

std::shared_ptr<Check> check_of(GstObject* object) {
  GstObjectPtr<GstObject> top(GST_OBJECT(gst_object_ref(object)));
  while (GstObject* parent = gst_object_get_parent(top.get())) top.reset(parent);
  std::lock_guard lock(g_check_mutex);
  auto* check =
      static_cast<std::shared_ptr<Check>*>(g_object_get_data(G_OBJECT(top.get()), kCheckKey));
  if (!check) {
    check = new std::shared_ptr<Check>(std::make_shared<Check>());
    g_object_set_data_full(G_OBJECT(top.get()), kCheckKey, check,
                           [](gpointer p) { delete static_cast<std::shared_ptr<Check>*>(p); });
  }
  return *check;
}

// Runs on the check's own thread: finds the cause, remembers it on the source and posts the
// held errors again, which the sync handler then annotates with it.
void run_check(BusPtr owned_bus, GstObjectPtr<GstObject> owned_source, std::string location,
               std::shared_ptr<Check> check) {
  GstBus* bus = owned_bus.get();
  GstObject* source = owned_source.get();
  {
    std::lock_guard lock(check->mutex);
    check->worker = std::this_thread::get_id();
  }
  std::string cause;
  try {
    // The check trusts what the source trusts: a camera's own CA must not read as rejected.
    GTlsDatabase* raw_database = nullptr;
    g_object_get(source, "tls-database", &raw_database, nullptr);
    GObjectPtr<GTlsDatabase> database(raw_database);
    gboolean validation = TRUE;
    if (is_http_source(source)) {
      g_object_get(source, "ssl-strict", &validation, nullptr);
    } else {
      GTlsCertificateFlags flags = G_TLS_CERTIFICATE_VALIDATE_ALL;
      g_object_get(source, "tls-validation-flags", &flags, nullptr);
      validation = flags != G_TLS_CERTIFICATE_NO_FLAGS;
    }
    cause = diagnose_connection(location, kDiagnosisTimeoutSeconds, check->cancellable.get(),
                                database.get(), validation != FALSE);
    database.reset();
    // souphttpsrc fails without a status only when no answer came: with the connection
    // itself fine, the server either kept silent until the time-out or closed it.
    if (cause.empty() && is_http_source(source) &&
        !g_cancellable_is_cancelled(check->cancellable.get())) {
      guint timeout = 0;
      g_object_get(source, "timeout", &timeout, nullptr);
      cause = timeout > 0 && seconds_since_first_message(source) >= 0.9 * timeout
                  ? "timed out: the server accepted the connection but did not answer"
                  : "the server closed the connection without answering";
    }
  } catch (...) {
    cause.clear();
  }
  g_object_set_data_full(G_OBJECT(source), kDiagnosedKey, new std::string(cause),
                         [](gpointer p) { delete static_cast<std::string*>(p); });
  for (;;) {
    MessagePtr message;
    {
      std::lock_guard lock(check->mutex);
      if (check->held.empty()) {
        check->running = false;
        check->worker = std::thread::id();
        break;
      }
      message = std::move(check->held.front());
      check->held.pop_front();
    }
    gst_bus_post(bus, message.release());
  }
}

void start_check(GstBus* bus, GstMessage* message, GstObject* source) {
  auto check = check_of(source);
  gchar* raw_location = nullptr;
  g_object_get(source, "location", &raw_location, nullptr);
  GCharPtr location(raw_location);
  {
    std::lock_guard lock(check->mutex);
    check->held.emplace_back(gst_message_ref(message));
    // Two streaming threads may get here at once: one check, whose cause is stored once.
    if (check->running) return;
    check->running = true;
  }
  // Holds its own references: nothing it uses can go away under it, and it ends within the
  // check's time-out (or at once when cancelled), so it is not joined.
  std::thread(run_check, BusPtr(GST_BUS(gst_object_ref(bus))),
              GstObjectPtr<GstObject>(GST_OBJECT(gst_object_ref(source))),
              std::string(location ? location.get() : ""), check)
      .detach();
}

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

  const auto* known =
      static_cast<const std::string*>(g_object_get_data(G_OBJECT(source), kDiagnosedKey));
  if (!known) {
    start_check(bus, message, source);
    return GST_BUS_DROP;
  }
  const std::string cause = *known;
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
  const auto type = GST_MESSAGE_TYPE(message);
  GstObject* src = GST_MESSAGE_SRC(message);
  if (type == GST_MESSAGE_STATE_CHANGED && src && GST_IS_PIPELINE(src)) {
    GstState old_state, new_state;
    gst_message_parse_state_changed(message, &old_state, &new_state, nullptr);
    if (new_state <= GST_STATE_READY && old_state > new_state) {
      g_cancellable_cancel(check_of(src)->cancellable.get());
    }
  }
  if (type == GST_MESSAGE_ERROR && src) {
    auto check = check_of(src);
    std::lock_guard lock(check->mutex);
    if (check->running && check->worker != std::this_thread::get_id()) {
      check->held.emplace_back(gst_message_ref(message));
      return GST_BUS_DROP;
    }
  }
  const GstBusSyncReply reply = annotate(bus, message);
  if (reply == GST_BUS_PASS && GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    remember_first_error(message);
  }
  return reply;
}

}  // namespace strovix::detail
