#include "diagnosis/connection_probe.hpp"

#include <algorithm>
#include <cmath>

#include "strovix/gst/handles.hpp"

namespace strovix::detail {
namespace {

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

}  // namespace strovix::detail
