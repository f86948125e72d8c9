#pragma once
// The options of strovix-read that read a list of cameras; the other options (read_args.hpp)
// apply to every camera of the list.
#include <optional>
#include <string>
#include <vector>

#include "read/read_args.hpp"
#include "fleet/shard.hpp"

namespace strovix::tools {

struct ServeAddress {
  std::string host;  // an IP address, "localhost", or "*" for every interface
  int port = 0;      // 0: an ephemeral port
};

// Whether only this machine can reach `host` (127.0.0.0/8, ::1, "localhost").
bool is_loopback_host(const std::string& host);

struct ServeTls {
  std::string certificate;  // PEM files
  std::string key;
};

struct FleetArgs {
  std::optional<std::string> cameras;  // the list file
  std::optional<ServeAddress> serve;
  std::optional<std::string> serve_auth;  // the user:HASH file
  std::optional<ServeTls> serve_tls;
  bool serve_public = false;  // served beyond this machine without authentication, on purpose
  std::optional<Shard> shard;
  bool list = false;
};

// Takes --cameras, --serve (and its --serve-auth, --serve-tls, --serve-public), --shard and
// --list out of `args` (up to a "--"), leaving the rest
// for parse_read_args. Throws ArgError.
FleetArgs take_fleet_args(std::vector<std::string>& args);

// Rejects single-stream options that make no sense for a list, and a status server open to
// the network by mistake; throws ArgError.
void check_fleet_args(const FleetArgs& fleet, const ReadArgs& read);

// "HOST:PORT", "[IPv6]:PORT" or ":PORT" (every interface); throws ArgError.
ServeAddress parse_serve_address(const std::string& text);

std::string fleet_usage();

}  // namespace strovix::tools
