#include "diagnosis/connection_check.hpp"

#include <gio/gio.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "diagnosis/bus_message_cause.hpp"
#include "stream_reader/named_thread.hpp"
#include "strovix/gst/handles.hpp"

namespace strovix::detail {
namespace {

constexpr double kDiagnosisTimeoutSeconds = 3.0;

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

// What the handshake trusts: the source's database and validation.
struct Trust {
  GTlsDatabase* database;
  bool validation;
};

gboolean accept_any_certificate(GTlsConnection*, GTlsCertificate*, GTlsCertificateFlags, gpointer) {
  return TRUE;
}

// The socket client's "event" handler: applies the trust to the TLS connection it makes.
void on_client_event(GSocketClient*, GSocketClientEvent event, GSocketConnectable*,
                     GIOStream* connection, gpointer data) {
  if (event != G_SOCKET_CLIENT_TLS_HANDSHAKING) return;
  const auto* trust = static_cast<const Trust*>(data);
  if (trust->database) {
    g_tls_connection_set_database(G_TLS_CONNECTION(connection), trust->database);
  }
  if (!trust->validation) {
    g_signal_connect(connection, "accept-certificate", G_CALLBACK(accept_any_certificate), nullptr);
  }
}

// The outcome of one connection attempt.
struct Attempt {
  bool done = false;
  GSocketConnection* connection = nullptr;
  GError* error = nullptr;
  GSocketClient* client = nullptr;
};

// Runs the attempt on a context of this thread's own, so that a time-out and the caller's
// cancellation end it wherever it is: the socket time-out does not cover the DNS lookup.
// Takes the client, released before the context is. Returns whether the time-out (or the
// caller) cancelled it.
bool run_attempt(GObjectPtr<GSocketClient> client, Attempt& attempt, const ConnectionTarget& target,
                 double timeout_seconds, GCancellable* cancellable) {
  attempt.client = client.get();
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
  SourcePtr timer(g_timeout_source_new(static_cast<guint>(timeout_seconds * 1000)));
  g_source_set_callback(
      timer.get(),
      [](gpointer op) -> gboolean {
        g_cancellable_cancel(G_CANCELLABLE(op));
        return G_SOURCE_REMOVE;
      },
      op, nullptr);
  g_source_attach(timer.get(), context);
  g_socket_client_connect_to_host_async(
      attempt.client, target.host.c_str(), static_cast<guint16>(target.port), op,
      [](GObject*, GAsyncResult* result, gpointer data) {
        auto* a = static_cast<Attempt*>(data);
        a->connection = g_socket_client_connect_to_host_finish(a->client, result, &a->error);
        a->done = true;
      },
      &attempt);
  while (!attempt.done) g_main_context_iteration(context, TRUE);
  g_source_destroy(timer.get());
  timer.reset();
  if (forwarded) g_cancellable_disconnect(cancellable, forwarded);
  const bool timed_out = g_cancellable_is_cancelled(op);
  owned_op.reset();
  if (GObjectPtr<GSocketConnection> connection{attempt.connection}) {
    g_io_stream_close(G_IO_STREAM(connection.get()), nullptr, nullptr);
  }
  attempt.connection = nullptr;
  attempt.client = nullptr;
  client.reset();
  // What the closed connection and the client still had queued runs on this context.
  while (g_main_context_iteration(context, FALSE)) {
  }
  g_main_context_pop_thread_default(context);
  return timed_out;
}

// One connection (and TLS handshake) to the target; the error it failed with, or null.
GErrorPtr connect_once(const ConnectionTarget& target, double timeout_seconds,
                       GCancellable* cancellable, const Trust& trust, bool* timed_out) {
  GObjectPtr<GSocketClient> client(g_socket_client_new());
  g_socket_client_set_timeout(client.get(),
                              static_cast<guint>(std::max(1.0, std::ceil(timeout_seconds))));
  // The handshake checks the certificate as the sources do (GLib's default validation).
  if (target.tls) g_socket_client_set_tls(client.get(), TRUE);
  if (target.tls && (trust.database || !trust.validation)) {
    g_signal_connect(client.get(), "event", G_CALLBACK(on_client_event),
                     const_cast<Trust*>(&trust));
  }
  Attempt attempt;
  *timed_out = run_attempt(std::move(client), attempt, target, timeout_seconds, cancellable);
  return GErrorPtr(attempt.error);
}

// The cause a failed connection names.
std::string describe(const ConnectionTarget& target, const GError& error, bool timed_out) {
  const std::string where = target.host + ":" + std::to_string(target.port);
  if (timed_out) return "timed out connecting to " + where;
  const std::string why = error.message ? error.message : "";
  if (error.domain == G_RESOLVER_ERROR) return "host not found: " + target.host;
  if (error.domain == G_TLS_ERROR) {
    if (error.code == G_TLS_ERROR_BAD_CERTIFICATE) {
      return "TLS certificate rejected by this machine (" + why + ") for " + where;
    }
    return "TLS handshake failed with " + where + " (" + why + ")";
  }
  if (error.domain == G_IO_ERROR) {
    switch (error.code) {
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

}  // namespace

std::optional<ConnectionTarget> connection_target(const StreamUrl& url) {
  const int port = port_or_default(url);
  if (url.host.empty() || port <= 0) return std::nullopt;
  return ConnectionTarget{url.host, port, uses_tls(url)};
}

std::string diagnose_connection(const ConnectionTarget& target, double timeout_seconds,
                                GCancellable* cancellable, GTlsDatabase* tls_database,
                                bool tls_validation) {
  bool timed_out = false;
  const GErrorPtr error = connect_once(target, timeout_seconds, cancellable,
                                       Trust{tls_database, tls_validation}, &timed_out);
  if (!error) return {};
  if (cancellable && g_cancellable_is_cancelled(cancellable)) return {};
  return describe(target, *error, timed_out);
}

namespace {

// The connection check of one pipeline: the sync handler's data, shared with a check's thread.
struct Check {
  // Where the source connects; none: nothing to check.
  std::optional<ConnectionTarget> target;
  // Guards running, worker, held and cause.
  std::mutex mutex;
  bool running = false;
  std::thread::id worker;
  // The pipeline's errors posted while the check runs, in order.
  std::deque<MessagePtr> held;
  // The cause found for the source's first connection error ("" none), reused for the errors
  // it posts after it; unset before the check has run.
  std::optional<std::string> cause;
  // The source got an answer with a status code: the server was reached, so later errors
  // need no connection diagnosis.
  std::atomic<bool> answered{false};
  // The monotonic time of the source's first message (0: none yet), to tell a request that
  // timed out from one the server cut short.
  std::atomic<gint64> first_seen{0};
  // Cancelled when the pipeline leaves PAUSED (close, restart): nobody needs the cause then.
  GObjectPtr<GCancellable> cancellable{g_cancellable_new()};
};

using CheckPtr = std::shared_ptr<Check>;

// Seconds since the source posted its first message.
double seconds_since_first_message(const Check& check) {
  const gint64 first = check.first_seen.load();
  return first ? static_cast<double>(g_get_monotonic_time() - first) / G_USEC_PER_SEC : 0.0;
}

// The cause of a source's connection failure, trusting what the source trusts: a camera's
// own CA must not read as rejected.
std::string find_cause(GstObject* source, const Check& check) {
  if (!check.target) return {};
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
  std::string cause =
      diagnose_connection(*check.target, kDiagnosisTimeoutSeconds, check.cancellable.get(),
                          database.get(), validation != FALSE);
  // souphttpsrc fails without a status only when no answer came: with the connection
  // itself fine, the server either kept silent until the time-out or closed it.
  if (cause.empty() && is_http_source(source) &&
      !g_cancellable_is_cancelled(check.cancellable.get())) {
    guint timeout = 0;
    g_object_get(source, "timeout", &timeout, nullptr);
    cause = timeout > 0 && seconds_since_first_message(check) >= 0.9 * timeout
                ? "timed out: the server accepted the connection but did not answer"
                : "the server closed the connection without answering";
  }
  return cause;
}

// Runs on the check's own thread: finds the cause, keeps it and posts the held errors again,
// which the sync handler then annotates with it.
void run_check(BusPtr owned_bus, GstObjectPtr<GstObject> owned_source, CheckPtr check) {
  GstBus* bus = owned_bus.get();
  {
    std::lock_guard lock(check->mutex);
    check->worker = std::this_thread::get_id();
  }
  std::string cause;
  try {
    cause = find_cause(owned_source.get(), *check);
  } catch (...) {
    cause.clear();
  }
  {
    std::lock_guard lock(check->mutex);
    check->cause = std::move(cause);
  }
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

void start_check(GstBus* bus, GstMessage* message, GstObject* source, const CheckPtr& check) {
  {
    std::lock_guard lock(check->mutex);
    check->held.emplace_back(gst_message_ref(message));
    // Two streaming threads may get here at once: one check, whose cause is stored once.
    if (check->running) return;
    check->running = true;
  }
  // Holds its own references: nothing it uses can go away under it, and it ends within the
  // check's time-out (or at once when cancelled), so it is not joined.
  try {
    // (std::function needs a copyable body: the references travel in a shared pair.)
    auto refs = std::make_shared<std::pair<BusPtr, GstObjectPtr<GstObject>>>(
        BusPtr(GST_BUS(gst_object_ref(bus))),
        GstObjectPtr<GstObject>(GST_OBJECT(gst_object_ref(source))));
    start_named_thread("ConnectionCheck", [refs, check] {
      run_check(std::move(refs->first), std::move(refs->second), check);
    }).detach();
  } catch (const std::exception&) {
    // No thread for the check: the errors go on without a cause rather than stay held.
    std::deque<MessagePtr> held;
    {
      std::lock_guard lock(check->mutex);
      check->cause = std::string();
      check->running = false;
      held.swap(check->held);
    }
    for (auto& m : held) gst_bus_post(bus, m.release());
  }
}

// Posts a copy of the error whose details name the cause; the original is dropped.
void post_annotated(GstBus* bus, GstMessage* message, GstObject* source, const std::string& cause) {
  GError* raw_error = nullptr;
  gchar* raw_debug = nullptr;
  gst_message_parse_error(message, &raw_error, &raw_debug);
  GErrorPtr error(raw_error);
  GCharPtr debug(raw_debug);
  const GstStructure* details = error_details(message);
  GstStructure* annotated =
      details ? gst_structure_copy(details) : gst_structure_new_empty("details");
  gst_structure_set(annotated, CAUSE_FIELD, G_TYPE_STRING, cause.c_str(), nullptr);
  GstMessage* copy =
      gst_message_new_error_with_details(source, error.get(), debug.get(), annotated);
  gst_message_set_seqnum(copy, gst_message_get_seqnum(message));
  gst_bus_post(bus, copy);
}

GstBusSyncReply annotate(GstBus* bus, GstMessage* message, const CheckPtr& check) {
  GstObject* source = GST_MESSAGE_SRC(message);
  if (!is_network_source(source)) return GST_BUS_PASS;
  gint64 none = 0;
  check->first_seen.compare_exchange_strong(none, g_get_monotonic_time());
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ELEMENT) {
    // souphttpsrc reports every answer's status here, before any error it leads to.
    const GstStructure* s = gst_message_get_structure(message);
    guint code = 0;
    if (s && gst_structure_has_name(s, "http-headers") &&
        gst_structure_get_uint(s, "http-status-code", &code) && code != 0) {
      check->answered = true;
    }
    return GST_BUS_PASS;
  }
  if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_ERROR) return GST_BUS_PASS;
  const GstStructure* details = error_details(message);
  if (details && gst_structure_has_field(details, CAUSE_FIELD)) return GST_BUS_PASS;
  guint code = 0;
  const char* reason = nullptr;
  if (error_status(details, &code, &reason) || check->answered) {
    check->answered = true;
    return GST_BUS_PASS;
  }
  if (!error_cause(message).empty()) {
    check->answered = true;
    return GST_BUS_PASS;
  }
  std::optional<std::string> known;
  {
    std::lock_guard lock(check->mutex);
    known = check->cause;
  }
  if (!known) {
    start_check(bus, message, source, check);
    return GST_BUS_DROP;
  }
  if (known->empty()) return GST_BUS_PASS;
  post_annotated(bus, message, source, *known);
  return GST_BUS_DROP;
}

}  // namespace

gpointer new_connection_check(const StreamUrl& url) {
  auto check = std::make_shared<Check>();
  check->target = connection_target(url);
  return new CheckPtr(std::move(check));
}

void free_connection_check(gpointer check) { delete static_cast<CheckPtr*>(check); }

GstBusSyncReply annotate_connection_error(GstBus* bus, GstMessage* message, gpointer data) {
  const CheckPtr& check = *static_cast<CheckPtr*>(data);
  const auto type = GST_MESSAGE_TYPE(message);
  GstObject* src = GST_MESSAGE_SRC(message);
  if (type == GST_MESSAGE_STATE_CHANGED && src && GST_IS_PIPELINE(src)) {
    GstState old_state, new_state;
    gst_message_parse_state_changed(message, &old_state, &new_state, nullptr);
    if (new_state <= GST_STATE_READY && old_state > new_state) {
      g_cancellable_cancel(check->cancellable.get());
    }
  }
  if (type == GST_MESSAGE_ERROR && src) {
    std::lock_guard lock(check->mutex);
    if (check->running && check->worker != std::this_thread::get_id()) {
      check->held.emplace_back(gst_message_ref(message));
      return GST_BUS_DROP;
    }
  }
  const GstBusSyncReply reply = annotate(bus, message, check);
  if (reply == GST_BUS_PASS && GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    remember_first_error(message);
  }
  return reply;
}

}  // namespace strovix::detail
