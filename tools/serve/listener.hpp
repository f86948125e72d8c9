#pragma once
// The status server's own accept loop, in front of libsoup: libsoup's listener stops
// accepting for good at the first failed accept (EMFILE), and bounds neither the number of
// connections nor the time a client may hold one. Runs on the server's thread, whose context
// is the thread default.
#include <gio/gio.h>
#include <libsoup/soup.h>

#include <set>
#include <string>

#include "fleet/fleet_args.hpp"

namespace strovix::tools {

class Listener {
 public:
  struct Options {
    int max_connections = 128;
    // Idle, header and response time-out of a connection; the TLS handshake's too.
    unsigned timeout_ms = 10000;
    GTlsCertificate* certificate = nullptr;  // borrowed; null: plain HTTP
  };

  // Binds and listens at once; throws std::runtime_error when it cannot.
  Listener(SoupServer* server, const ServeAddress& address, Options options);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // "http(s)://HOST:PORT/"
  std::string url() const;

  // Restarts the time-out of the connection a request came on (its remote address, as
  // libsoup reports it): the client has that long for its next step.
  static void restart_timeout(SoupServerMessage* msg);

  struct Connection;

 private:
  static gboolean on_ready(GSocket* socket, GIOCondition, gpointer data);
  static gboolean on_retry(gpointer data);
  static void on_finalized(gpointer data, GObject* stream);
  static gboolean on_hello(GSocket* socket, GIOCondition, gpointer data);
  static void on_handshake(GObject* source, GAsyncResult* result, gpointer data);
  void watch();
  void accept_one(GSocket* client);
  void hand_over(Connection* connection);

  SoupServer* server_;  // borrowed
  Options options_;
  GSocket* socket_ = nullptr;
  GSource* source_ = nullptr;  // the listening socket's; null while backing off
  GSource* retry_ = nullptr;
  unsigned backoff_ms_ = 0;
  std::set<Connection*> connections_;
  int handshakes_ = 0;
  int descriptor_ceiling_ = 1 << 30;  // accepted descriptors from here up are refused
};

}  // namespace strovix::tools
