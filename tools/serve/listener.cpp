#include "serve/listener.hpp"

#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "common/cli_log.hpp"

namespace strovix::tools {
namespace {

// GLib's own listen backlog (10) drops connections when tens of clients connect at once, and
// each dropped one waits a second for its retry: the socket is made here with a longer one.
constexpr int kListenBacklog = 256;
// Accepts per wake-up, so that a flood of connections cannot starve the requests.
constexpr int kAcceptsPerWake = 32;
// After a failed accept (out of file descriptors), the next try comes this much later at the
// most, so accepting resumes soon after descriptors are free again.
constexpr unsigned kMaxBackoffMs = 400;

// Descriptors left to the rest of the process, at the least.
constexpr int kReservedDescriptors = 16;
// TLS handshakes under way at once.
constexpr int kMaxHandshakes = 16;

constexpr char kBusy[] =
    "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Length: 0\r\n"
    "Retry-After: 1\r\n\r\n";

GQuark connection_quark() { return g_quark_from_static_string("strovix-listener-connection"); }

// Bytes waiting on `socket` without taking them: 0 when the client has closed.
gssize peeked_bytes(GSocket* socket) {
  char first = 0;
  GInputVector vector{&first, 1};
  gint flags = MSG_PEEK;
  return g_socket_receive_message(socket, nullptr, &vector, 1, nullptr, nullptr, &flags, nullptr,
                                  nullptr);
}

std::string host_of(const ServeAddress& address) {
  // "*": an IPv6 socket, which GLib makes dual-stack, so IPv4 clients reach it too.
  return address.host == "*"           ? "::"
         : address.host == "localhost" ? "127.0.0.1"
                                       : address.host;
}

}  // namespace

// One accepted client, from accept until libsoup lets go of its stream.
struct Listener::Connection {
  Listener* owner = nullptr;  // null once the listener is gone
  GSocket* socket = nullptr;  // owned
  GSocketAddress* local = nullptr;
  GSocketAddress* remote = nullptr;
  GIOStream* stream = nullptr;  // owned until handed over, then watched with a weak reference
  GSource* hello = nullptr;           // TLS: waits for the client's first bytes
  GCancellable* handshake = nullptr;  // while the TLS handshake runs
  GSource* timer = nullptr;

  ~Connection() {
    stop_timer();
    stop_hello();
    if (remote) g_object_set_qdata(G_OBJECT(remote), connection_quark(), nullptr);
    if (handshake) g_object_unref(handshake);
    if (local) g_object_unref(local);
    if (remote) g_object_unref(remote);
    if (socket) g_object_unref(socket);
  }
  void stop_timer() {
    if (!timer) return;
    g_source_destroy(timer);
    g_source_unref(timer);
    timer = nullptr;
  }
  void stop_hello() {
    if (!hello) return;
    g_source_destroy(hello);
    g_source_unref(hello);
    hello = nullptr;
  }
  void arm(unsigned ms) {
    stop_timer();
    timer = g_timeout_source_new(ms);
    g_source_set_callback(timer, &Connection::on_timeout, this, nullptr);
    g_source_attach(timer, g_main_context_get_thread_default());
  }
  // The client took too long: a handshake is cancelled, a connection shut down under
  // libsoup, which then sees the end of the stream and drops it.
  static gboolean on_timeout(gpointer data) {
    auto* self = static_cast<Connection*>(data);
    g_source_unref(self->timer);
    self->timer = nullptr;
    if (self->hello) {
      // Never said a word: dropped here, before it could hold a handshake thread.
      self->owner->connections_.erase(self);
      g_object_unref(self->stream);
      delete self;
    } else if (self->handshake) {
      g_cancellable_cancel(self->handshake);
    } else {
      g_socket_shutdown(self->socket, TRUE, TRUE, nullptr);
    }
    return G_SOURCE_REMOVE;
  }
};

Listener::Listener(SoupServer* server, const ServeAddress& address, Options options)
    : server_(server), options_(options) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    const auto soft = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 30));
    descriptor_ceiling_ = soft - std::max(kReservedDescriptors, soft / 8);
  }
  const std::string host = host_of(address);
  GInetAddress* ip = g_inet_address_new_from_string(host.c_str());
  if (!ip) throw std::runtime_error("'" + address.host + "' is no IP address (nor localhost or *)");
  GSocketAddress* socket_address =
      g_inet_socket_address_new(ip, static_cast<guint16>(address.port));
  g_object_unref(ip);
  GError* error = nullptr;
  socket_ = g_socket_new(g_socket_address_get_family(socket_address), G_SOCKET_TYPE_STREAM,
                         G_SOCKET_PROTOCOL_TCP, &error);
  bool ok = socket_ != nullptr;
  if (ok) {
    g_socket_set_listen_backlog(socket_, kListenBacklog);
    g_socket_set_blocking(socket_, FALSE);
    ok = g_socket_bind(socket_, socket_address, TRUE, &error) && g_socket_listen(socket_, &error);
  }
  g_object_unref(socket_address);
  if (!ok) {
    const std::string message = error ? error->message : "cannot listen";
    if (error) g_error_free(error);
    if (socket_) g_object_unref(socket_);
    throw std::runtime_error(message);
  }
  watch();
}

Listener::~Listener() {
  if (source_) {
    g_source_destroy(source_);
    g_source_unref(source_);
  }
  if (retry_) {
    g_source_destroy(retry_);
    g_source_unref(retry_);
  }
  for (Connection* c : connections_) {
    if (c->hello) {
      g_object_unref(c->stream);
      delete c;
    } else if (c->handshake) {
      // Its completion, still to come on this context, frees it.
      g_cancellable_cancel(c->handshake);
      c->stop_timer();
      c->owner = nullptr;
    } else {
      g_object_weak_unref(G_OBJECT(c->stream), &Listener::on_finalized, c);
      delete c;
    }
  }
  g_socket_close(socket_, nullptr);
  g_object_unref(socket_);
}


std::string Listener::url() const {
  GSocketAddress* local = g_socket_get_local_address(socket_, nullptr);
  if (!local) return "";
  auto* inet = G_INET_SOCKET_ADDRESS(local);
  char* ip = g_inet_address_to_string(g_inet_socket_address_get_address(inet));
  const bool v6 = g_inet_address_get_family(g_inet_socket_address_get_address(inet)) ==
                  G_SOCKET_FAMILY_IPV6;
  std::string url = std::string(options_.certificate ? "https://" : "http://") +
                    (v6 ? "[" : "") + ip + (v6 ? "]" : "") + ":" +
                    std::to_string(g_inet_socket_address_get_port(inet)) + "/";
  g_free(ip);
  g_object_unref(local);
  return url;
}

void Listener::restart_timeout(SoupServerMessage* msg) {
  GSocketAddress* remote = soup_server_message_get_remote_address(msg);
  if (!remote) return;
  auto* c = static_cast<Connection*>(g_object_get_qdata(G_OBJECT(remote), connection_quark()));
  if (c && c->owner) c->arm(c->owner->options_.timeout_ms);
}

void Listener::watch() {
  source_ = g_socket_create_source(socket_, G_IO_IN, nullptr);
  g_source_set_callback(source_, G_SOURCE_FUNC(&Listener::on_ready), this,
                        nullptr);
  g_source_attach(source_, g_main_context_get_thread_default());
}

gboolean Listener::on_ready(GSocket* socket, GIOCondition, gpointer data) {
  auto* self = static_cast<Listener*>(data);
  for (int i = 0; i < kAcceptsPerWake; ++i) {
    GError* error = nullptr;
    GSocket* client = g_socket_accept(socket, nullptr, &error);
    if (client) {
      self->backoff_ms_ = 0;
      self->accept_one(client);
      continue;
    }
    const bool drained = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK);
    if (!drained) {
      // Out of descriptors (or another failure): the socket stays readable, so the watch
      // stops for a while instead of spinning, and comes back by itself.
      if (self->backoff_ms_ == 0) {
        cli_log(LogLevel::warning, "",
                std::string("the status server cannot accept a connection: ") + error->message);
      }
      self->backoff_ms_ = std::min(kMaxBackoffMs, std::max(25u, self->backoff_ms_ * 2));
      g_source_unref(self->source_);
      self->source_ = nullptr;
      self->retry_ = g_timeout_source_new(self->backoff_ms_);
      g_source_set_callback(self->retry_, &Listener::on_retry, self, nullptr);
      g_source_attach(self->retry_, g_main_context_get_thread_default());
    }
    g_error_free(error);
    return drained ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
  }
  return G_SOURCE_CONTINUE;
}

gboolean Listener::on_retry(gpointer data) {
  auto* self = static_cast<Listener*>(data);
  g_source_unref(self->retry_);
  self->retry_ = nullptr;
  self->watch();
  return G_SOURCE_REMOVE;
}

void Listener::accept_one(GSocket* client) {
  // Descriptors are handed out lowest first: a high one means the process is nearly out, and
  // the readers (and the libraries under them) need the rest more than a status client.
  if (static_cast<int>(connections_.size()) >= options_.max_connections ||
      g_socket_get_fd(client) >= descriptor_ceiling_) {
    // Over the cap: a plain client is told so, a TLS one just closed.
    g_socket_set_blocking(client, FALSE);
    if (!options_.certificate) g_socket_send(client, kBusy, sizeof(kBusy) - 1, nullptr, nullptr);
    g_socket_close(client, nullptr);
    g_object_unref(client);
    return;
  }
  auto* c = new Connection;
  c->owner = this;
  c->socket = client;
  c->local = g_socket_get_local_address(client, nullptr);
  c->remote = g_socket_get_remote_address(client, nullptr);
  if (!c->local || !c->remote) {
    delete c;
    return;
  }
  connections_.insert(c);
  c->stream = G_IO_STREAM(g_socket_connection_factory_create_connection(client));
  c->arm(options_.timeout_ms);
  if (!options_.certificate) {
    hand_over(c);
    return;
  }
  // GLib runs TLS handshakes on its few shared worker threads, each blocked until its
  // client answers: a handshake starts only once the client has sent something, and only a
  // few at a time, so that idle or slow clients cannot hold those threads.
  c->hello = g_socket_create_source(
      c->socket, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), nullptr);
  g_source_set_callback(c->hello, G_SOURCE_FUNC(&Listener::on_hello), c, nullptr);
  g_source_attach(c->hello, g_main_context_get_thread_default());
}

gboolean Listener::on_hello(GSocket*, GIOCondition, gpointer data) {
  auto* c = static_cast<Connection*>(data);
  Listener* self = c->owner;
  g_source_unref(c->hello);
  c->hello = nullptr;
  GIOStream* tls = nullptr;
  if (self->handshakes_ < kMaxHandshakes && peeked_bytes(c->socket) > 0) {
    tls = g_tls_server_connection_new(c->stream, self->options_.certificate, nullptr);
  }
  if (!tls) {
    // Gone before a word, or too many handshakes under way: closed.
    self->connections_.erase(c);
    g_object_unref(c->stream);
    delete c;
    return G_SOURCE_REMOVE;
  }
  g_object_unref(c->stream);
  c->stream = tls;
  ++self->handshakes_;
  c->handshake = g_cancellable_new();
  g_tls_connection_handshake_async(G_TLS_CONNECTION(c->stream), G_PRIORITY_DEFAULT, c->handshake,
                                   &Listener::on_handshake, c);
  return G_SOURCE_REMOVE;
}

void Listener::on_handshake(GObject* source, GAsyncResult* result, gpointer data) {
  auto* c = static_cast<Connection*>(data);
  GError* error = nullptr;
  const bool ok = g_tls_connection_handshake_finish(G_TLS_CONNECTION(source), result, &error);
  if (error) g_error_free(error);
  g_clear_object(&c->handshake);
  if (c->owner) --c->owner->handshakes_;
  if (!c->owner) {
    g_object_unref(c->stream);
    delete c;
    return;
  }
  if (!ok) {
    c->owner->connections_.erase(c);
    g_object_unref(c->stream);
    delete c;
    return;
  }
  c->owner->hand_over(c);
}

void Listener::hand_over(Connection* c) {
  g_object_weak_ref(G_OBJECT(c->stream), &Listener::on_finalized, c);
  g_object_set_qdata(G_OBJECT(c->remote), connection_quark(), c);
  GError* error = nullptr;
  if (!soup_server_accept_iostream(server_, c->stream, c->local, c->remote, &error)) {
    if (error) g_error_free(error);
  }
  // libsoup holds the stream from here; its end ends the connection's record.
  g_object_unref(c->stream);
}

void Listener::on_finalized(gpointer data, GObject*) {
  auto* c = static_cast<Connection*>(data);
  if (c->owner) c->owner->connections_.erase(c);
  delete c;
}

}  // namespace strovix::tools
