#include "fleet/fleet_args.hpp"

#include <gio/gio.h>

#include <charconv>

namespace strovix::tools {

ServeAddress parse_serve_address(const std::string& text) {
  const auto colon = text.rfind(':');
  const auto bad = [&] {
    return ArgError("--serve needs HOST:PORT (e.g. 127.0.0.1:8080, [::1]:8080, :8080), not '" +
                    text + "'");
  };
  if (colon == std::string::npos) throw bad();
  ServeAddress address;
  address.host = text.substr(0, colon);
  const std::string port = text.substr(colon + 1);
  const char* end = port.data() + port.size();
  const auto [ptr, ec] = std::from_chars(port.data(), end, address.port);
  if (port.empty() || ec != std::errc() || ptr != end || address.port < 0 || address.port > 65535) {
    throw bad();
  }
  if (address.host.size() >= 2 && address.host.front() == '[' && address.host.back() == ']') {
    address.host.pop_back();
    address.host.erase(0, 1);
  }
  if (address.host.empty() || address.host == "0.0.0.0" || address.host == "::") {
    address.host.assign(1, '*');  // GCC 12 warns (-Wrestrict) wrongly on = "*"
  }
  if (address.host.find_first_of("[]/@ ") != std::string::npos) throw bad();
  return address;
}

bool is_loopback_host(const std::string& host) {
  if (host == "localhost") return true;
  GInetAddress* ip = g_inet_address_new_from_string(host.c_str());
  if (!ip) return false;
  const bool loopback = g_inet_address_get_is_loopback(ip);
  g_object_unref(ip);
  return loopback;
}

FleetArgs take_fleet_args(std::vector<std::string>& args) {
  FleetArgs out;
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (arg == "--") {
      rest.insert(rest.end(), args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
      break;
    }
    OptionArg option(args, i);
    arg = option.name();
    auto value = [&] { return option.value(); };
    if (arg == "--cameras") {
      out.cameras = value();
      if (out.cameras->empty()) throw ArgError("--cameras needs a file");
    } else if (arg == "--serve") {
#if STROVIX_READ_SERVE
      out.serve = parse_serve_address(value());
    } else if (arg == "--serve-auth") {
      out.serve_auth = value();
      if (out.serve_auth->empty()) throw ArgError("--serve-auth needs a file of user:HASH lines");
    } else if (arg == "--serve-tls") {
      if (args[i] != arg || i + 2 >= args.size()) {
        throw ArgError("--serve-tls needs two files: CERT KEY (PEM)");
      }
      out.serve_tls = ServeTls{args[i + 1], args[i + 2]};
      i += 2;
    } else if (arg == "--serve-public") {
      option.no_value();
      out.serve_public = true;
#else
      throw ArgError(
          "--serve: this strovix-read was built without the status server (STROVIX_SERVE=OFF)");
    } else if (arg.rfind("--serve-", 0) == 0) {
      throw ArgError(arg +
                     ": this strovix-read was built without the status server (STROVIX_SERVE=OFF)");
#endif
    } else if (arg == "--shard") {
      try {
        out.shard = parse_shard(value());
      } catch (const std::invalid_argument& e) {
        throw ArgError(e.what());
      }
    } else if (arg == "--list") {
      option.no_value();
      out.list = true;
    } else {
      rest.push_back(args[i]);
    }
  }
  if (!out.serve && (out.serve_auth || out.serve_tls || out.serve_public)) {
    throw ArgError(std::string(out.serve_auth  ? "--serve-auth"
                               : out.serve_tls ? "--serve-tls"
                                               : "--serve-public") +
                   " needs --serve HOST:PORT");
  }
  if (!out.cameras && (out.serve || out.shard || out.list)) {
    throw ArgError(std::string(out.serve   ? "--serve"
                               : out.shard ? "--shard"
                                           : "--list") +
                   " needs --cameras FILE");
  }
  args = std::move(rest);
  return out;
}

void check_fleet_args(const FleetArgs& fleet, const ReadArgs& read) {
  if (!fleet.cameras) return;
  if (read.url) throw ArgError("--cameras reads the URLs of its list; give no URL as well");
  if (read.pipeline) throw ArgError("--pipeline reads one stream; it cannot go with --cameras");
  if (read.snapshot) {
    throw ArgError(
        "--snapshot writes one stream's frame; with --cameras, --serve gives each "
        "camera's snapshot.jpg");
  }
  // Fails closed: every camera's picture must not reach the network by an oversight.
  if (fleet.serve && !fleet.serve_auth && !fleet.serve_public &&
      !is_loopback_host(fleet.serve->host)) {
    throw ArgError("--serve " + (fleet.serve->host == "*" ? std::string("on every interface")
                                                         : "on " + fleet.serve->host) +
                   " lets the network see every camera: give --serve-auth FILE (with "
                   "--serve-tls CERT KEY), or --serve-public to serve it open anyway");
  }
}

std::string fleet_usage() {
  return "\n"
         "Many cameras:\n"
         "  --cameras FILE     read every camera of FILE at once, one 'NAME URL [KEY=VALUE...]'\n"
         "                     a line (names: letters, digits, '-', '_', '.'; '#' starts a\n"
         "                     comment); the options above apply to every camera, and a line's\n"
         "                     tcp, keyframes-only, size, format, latency, backoff, tls-ca and\n"
         "                     tls-insecure (e.g. 'tcp size=640x0 keyframes-only=false')\n"
         "                     override them for its camera. FILE is reread when it or its\n"
         "                     folder changes, and on SIGHUP: only the cameras that were added,\n"
         "                     removed or changed are touched; a list that does not parse is\n"
         "                     not applied. On a terminal a table\n"
         "                     is redrawn each second; --json gives one object per camera a\n"
         "                     second and one summary object per camera at the end\n"
#if STROVIX_READ_SERVE
         "  --serve HOST:PORT  serve a status page (/), /api/cameras, /metrics (Prometheus)\n"
         "                     and /cameras/NAME/snapshot.jpg; port 0 picks a free one;\n"
         "                     /healthz answers 'ok' to anyone. Beyond 127.0.0.1/::1 it\n"
         "                     needs --serve-auth (or --serve-public)\n"
         "  --serve-auth FILE  HTTP Basic authentication: FILE holds 'user:HASH' lines, HASH\n"
         "                     a crypt(3) hash: yescrypt $y$, SHA-512 $6$ or bcrypt $2b$\n"
         "                     (mkpasswd, 'openssl passwd -6')\n"
         "  --serve-tls CERT KEY  serve HTTPS with this PEM certificate (chain) and key\n"
         "  --serve-public     serve beyond this machine without authentication (warns)\n"
#endif
         "  --shard K/N        read only the cameras that rendezvous hashing of their names\n"
         "                     gives shard K of N (0 <= K < N)\n"
         "  --shard K/@FILE    the same with N read from FILE, and reread with the list: a\n"
         "                     change of N moves only the cameras whose shard changed\n"
         "  --list             print the cameras of the selection and exit\n"
         "  With --cameras, the exit status is 0 when every camera delivered a frame, 4 when\n"
         "  some never did (the summary names them), 3 when none could be set up.\n";
}

}  // namespace strovix::tools
