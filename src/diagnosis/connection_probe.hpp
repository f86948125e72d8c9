#pragma once
// One fresh connection to where a source connects, and what its failure says.
#include <gio/gio.h>

#include <optional>
#include <string>

#include "logging/url.hpp"

namespace strovix::detail {

// Where a network URL's source connects to.
struct ConnectionTarget {
  std::string host;
  int port = 0;
  bool tls = false;
};

// The URL's host and port (its scheme's default when it names none); none without a host or
// with a port that cannot be connected to.
std::optional<ConnectionTarget> connection_target(const StreamUrl& url);

// What a fresh connection to the target says, within `timeout_seconds`: "host not found",
// "connection refused", "timed out connecting", "TLS certificate rejected", ..., or "" when a
// connection (and TLS handshake, for a TLS target) succeeds or `cancellable` is cancelled.
// Blocks, at most `timeout_seconds`, DNS lookup included. The handshake trusts `tls_database`
// (null: the system's certificates), or anything when `tls_validation` is false, as the
// source does.
std::string diagnose_connection(const ConnectionTarget& target, double timeout_seconds,
                                GCancellable* cancellable = nullptr,
                                GTlsDatabase* tls_database = nullptr, bool tls_validation = true);

}  // namespace strovix::detail
