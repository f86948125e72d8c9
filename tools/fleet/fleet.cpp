#include "fleet/fleet.hpp"

#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/cli_log.hpp"
#include "common/json.hpp"
#include "common/run_loop.hpp"
#include "fleet/camera_list.hpp"
#include "fleet/fleet_members.hpp"
#include "fleet/fleet_state.hpp"
#include "fleet/shard.hpp"
#include "strovix/gobject_init.hpp"
#include "strovix/logger.hpp"
#include "strovix/redaction.hpp"
#include "strovix/stream_reader/gst.hpp"
#if STROVIX_READ_SERVE
#include "serve/serve_auth.hpp"
#include "serve/status_server.hpp"
#endif

namespace strovix::tools {
namespace {

// Closing waits this long for every reader; the rest of the teardown is the process exit's.
constexpr double kCloseAllowanceSeconds = 2.0;

void print(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

// Every camera and every status client holds descriptors; the soft limit (often 1024) is
// raised to the hard one so that a busy server does not run out first.
void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

#if STROVIX_READ_SERVE
// The status server's options; STROVIX_READ_SERVE_TIMEOUT_MS shortens its time-out for tests.
ServeOptions serve_options(const FleetArgs& fleet) {
  ServeOptions options;
  options.address = *fleet.serve;
  options.auth_file = fleet.serve_auth;
  options.tls = fleet.serve_tls;
  if (const char* ms = std::getenv("STROVIX_READ_SERVE_TIMEOUT_MS")) {
    const long value = std::strtol(ms, nullptr, 10);
    if (value > 0 && value <= 600000) options.timeout_ms = static_cast<unsigned>(value);
  }
  return options;
}

// Refuses an authentication file or a certificate that cannot be used, before any camera.
bool serve_files_usable(const FleetArgs& fleet) {
  if (!fleet.serve) return true;
  try {
    if (fleet.serve_auth) BasicAuth check(*fleet.serve_auth);
    if (fleet.serve_tls) check_serve_tls(*fleet.serve_tls);
  } catch (const std::exception& e) {
    cli_log(LogLevel::error, "", escape_control(e.what()));
    return false;
  }
  return true;
}

// Starts the status server; null with the reason on stderr when it cannot listen.
std::unique_ptr<StatusServer> start_server(const FleetArgs& fleet) {
  std::unique_ptr<StatusServer> server;
  try {
    server = std::make_unique<StatusServer>(serve_options(fleet));
  } catch (const std::exception& e) {
    cli_log(LogLevel::error, "",
            "cannot serve on " + fleet.serve->host + ":" + std::to_string(fleet.serve->port) +
                ": " + e.what());
    return nullptr;
  }
  cli_log(LogLevel::info, "", "serving " + server->url());
  const bool local = is_loopback_host(fleet.serve->host);
  if (!fleet.serve_auth && !local) {
    cli_log(LogLevel::warning, "",
            "warning: --serve-public: the status server asks no password; anyone who reaches " +
                server->url() + " sees every camera");
  } else if (fleet.serve_auth && !fleet.serve_tls && !local) {
    cli_log(LogLevel::warning, "",
            "warning: passwords reach the status server in clear; use --serve-tls CERT KEY "
            "beyond a trusted network");
  }
  return server;
}
#endif

int terminal_width() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 0;
}

void report(const FleetSample& sample, const ReadArgs& args, bool tty) {
  if (args.quiet) return;
  if (args.json) {
    print(render_status_lines(sample));
  } else if (tty) {
    // Home and clear, then the table: redrawn in place.
    print("\x1b[H\x1b[J" + render_table(sample, terminal_width()));
  } else {
    print(render_table(sample, 0) + "\n");
  }
}

void summarise(const FleetSample& sample, const ReadArgs& args, double duration, bool interrupted) {
  std::string out;
  for (const auto& c : sample.cameras) {
    const auto& s = c.stats;
    const double mean_fps = duration > 0 ? static_cast<double>(s.frames_delivered) / duration : 0;
    if (args.json) {
      out += "{\"camera\":" + json_string(c.name) +
             ",\"type\":\"summary\",\"duration_s\":" + json_number(duration, "%.2f") +
             ",\"frames\":" + std::to_string(s.frames_delivered) +
             ",\"mean_fps\":" + json_number(mean_fps, "%.2f") +
             ",\"restarts\":" + std::to_string(s.restarts) +
             ",\"last_status\":" + json_string(c.status_text()) +
             ",\"last_error\":" + (s.last_error.empty() ? "null" : json_string(s.last_error)) +
             ",\"interrupted\":" + (interrupted ? "true" : "false") + "}\n";
    } else {
      char buf[256];
      std::snprintf(
          buf, sizeof(buf),
          "summary: %s: %.1f s%s, %llu frames, %.1f fps mean, %llu restarts, last status %s",
          c.name.c_str(), duration, interrupted ? " (interrupted)" : "",
          static_cast<unsigned long long>(s.frames_delivered), mean_fps,
          static_cast<unsigned long long>(s.restarts), c.status_text().c_str());
      out += buf;
      if (s.frames_delivered == 0 && !s.last_error.empty()) out += ", last error: " + s.last_error;
      out += "\n";
    }
  }
  print(out);
}

// The texts a selection is made of: a watched folder's event that changes neither is no
// reason to reload.
std::string fingerprint(const FleetArgs& fleet) {
  std::string out;
  for (const std::string* path :
       {&*fleet.cameras, fleet.shard ? &fleet.shard->count_file : nullptr}) {
    if (!path || path->empty()) continue;
    std::ifstream in(*path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    out += (in ? "1" : "0") + std::to_string(text.str().size()) + ":" + text.str();
  }
  return out;
}

std::string shard_text(const Shard& shard) {
  return std::to_string(shard.index) + "/" + std::to_string(shard.count);
}

void log_setup_failures(const Members& members, const std::vector<std::string>& names) {
  for (const auto& m : members) {
    if (m->reader) continue;
    const auto& name = m->wanted.camera.name;
    if (std::find(names.begin(), names.end(), name) == names.end()) continue;
    cli_log(LogLevel::error, name, "cannot set up the stream: " + m->setup_error);
  }
}

// The fleet between its start and its end: the members, the server, and the reloads.
class FleetRun {
 public:
  FleetRun(const ReadArgs& args, const FleetArgs& fleet) : args_(args), fleet_(fleet) {}

  // The first selection; an exit status when the run cannot start.
  std::optional<int> start(Selection selection) {
    fingerprint_ = fingerprint(fleet_);
    shard_ = selection.shard;
    std::vector<std::string> names;
    for (const auto& w : selection.cameras) names.push_back(w.camera.name);
    apply_reload(members_, std::move(selection.cameras), next_id_);
    log_setup_failures(members_, names);
    std::size_t set_up = 0;
    for (const auto& m : members_) set_up += m->reader ? 1 : 0;
    if (set_up == 0 && !members_.empty()) {
      cli_log(LogLevel::error, "", "no camera could be set up");
      return kExitSetup;
    }
    return std::nullopt;
  }

  // Rereads the list (and the shard count); applies it unless it does not parse, in which
  // case the running set stays. `forced` (SIGHUP) reloads even an unchanged list. Returns
  // the line that tells what changed, to be logged once the new set is published; empty
  // when nothing was applied.
  std::string reload(bool forced) {
    const std::string now = fingerprint(fleet_);
    if (!forced && now == fingerprint_) return "";
    fingerprint_ = now;
    const auto started = Clock::now();
    Selection selection;
    try {
      selection = load_selection(args_, fleet_);
      if (selection.listed == 0) throw CameraListError("no camera in " + *fleet_.cameras);
    } catch (const std::exception& e) {
      cli_log(LogLevel::error, "",
              std::string(e.what()) + "; the list is not applied, the " +
                  std::to_string(members_.size()) + " running cameras stay");
      return "";
    }
    const Shard was = shard_;
    shard_ = selection.shard;
    const auto outcome = apply_reload(members_, std::move(selection.cameras), next_id_);
    // Added and changed cameras, and kept ones whose set-up was tried again.
    std::vector<std::string> names;
    for (const auto& m : members_) names.push_back(m->wanted.camera.name);
    log_setup_failures(members_, names);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    char took[32];
    std::snprintf(took, sizeof(took), "%.0f ms", seconds * 1000.0);
    std::string line = "reloaded " + *fleet_.cameras + ": " +
                       std::to_string(outcome.plan.added.size()) + " added, " +
                       std::to_string(outcome.plan.removed.size()) + " removed, " +
                       std::to_string(outcome.plan.changed.size()) + " changed, " +
                       std::to_string(outcome.plan.kept.size()) + " kept";
    if (fleet_.shard) {
      line += ", shard " + shard_text(shard_);
      if (was.count != shard_.count) line += " (was " + shard_text(was) + ")";
    }
    return line + ", in " + took;
  }

  Members& members() { return members_; }

 private:
  const ReadArgs& args_;
  const FleetArgs& fleet_;
  Members members_;
  int next_id_ = 1;
  Shard shard_;
  std::string fingerprint_;
};

}  // namespace

int run_fleet(const ReadArgs& args, const FleetArgs& fleet, const sigset_t& signals) {
  Selection selection;
  try {
    selection = load_selection(args, fleet);
  } catch (const std::exception& e) {
    cli_log(LogLevel::error, "", e.what());
    return kExitUsage;
  }
  if (selection.listed == 0) {
    cli_log(LogLevel::error, "", "no camera in " + *fleet.cameras);
    return kExitUsage;
  }
  if (fleet.list) {
    std::string out;
    for (const auto& w : selection.cameras) {
      out += w.camera.name + " " + escape_control(redact_url(w.camera.url)) + "\n";
    }
    print(out);
    return kExitOk;
  }
  if (selection.cameras.empty()) {
    cli_log(LogLevel::warning, "",
            "shard " + shard_text(selection.shard) + " holds no camera of " + *fleet.cameras);
  }

#if STROVIX_READ_SERVE
  if (!serve_files_usable(fleet)) return kExitUsage;
#endif
  raise_descriptor_limit();

  set_log_level(args.quiet ? LogLevel::warning : LogLevel::info);
  gobject_init::start();

  RunLoop loop(signals, args.duration);
  const auto start = loop.start();
  FleetRun run(args, fleet);
  if (const auto status = run.start(std::move(selection))) return *status;

#if STROVIX_READ_SERVE
  std::unique_ptr<StatusServer> server;
  if (fleet.serve) {
    server = start_server(fleet);
    // Readers are closed by their destructors on the way out.
    if (!server) return kExitFailure;
  }
  const auto publish = [&](const std::shared_ptr<const FleetSample>& sample) {
    if (server) server->publish(sample);
  };
#else
  const auto publish = [](const std::shared_ptr<const FleetSample>&) {};
#endif

  const bool tty = isatty(STDOUT_FILENO) == 1;
  auto sample = sample_fleet(run.members(), start, 0.0);
  publish(sample);
  auto last_sample = Clock::now();
  std::vector<std::string> watched{*fleet.cameras};
  if (fleet.shard && !fleet.shard->count_file.empty()) watched.push_back(fleet.shard->count_file);
  const std::string problem = loop.watch(watched, [&](bool forced) {
    const std::string applied = run.reload(forced);
    if (applied.empty()) return;
    // The page, API and metrics follow the new set at once, before the line that says so.
    const auto now = Clock::now();
    sample = sample_fleet(run.members(), start,
                          std::chrono::duration<double>(now - last_sample).count());
    last_sample = now;
    publish(sample);
    cli_log(LogLevel::info, "", applied);
  });
  if (!problem.empty()) {
    cli_log(LogLevel::warning, "", problem + "; the list is reread on SIGHUP only");
  }
  const bool interrupted = loop.run([&](double) {
    const auto now = Clock::now();
    sample = sample_fleet(run.members(), start,
                          std::chrono::duration<double>(now - last_sample).count());
    last_sample = now;
    publish(sample);
    report(*sample, args, tty);
  });

  const double duration = seconds_since(start);
  if (loop.closing_interval()) {
    sample = sample_fleet(run.members(), start, seconds_since(last_sample));
    report(*sample, args, tty);
  }
#if STROVIX_READ_SERVE
  server.reset();
#endif
  summarise(*sample, args, duration, interrupted);

  std::string silent;
  for (const auto& c : sample->cameras) {
    if (c.stats.frames_delivered == 0) silent += (silent.empty() ? "" : ", ") + c.name;
  }
  int status = kExitOk;
  if (!silent.empty()) {
    char took[32];
    std::snprintf(took, sizeof(took), "%.1f", duration);
    cli_log(LogLevel::error, "", std::string("no frame arrived in ") + took + " s from: " + silent);
    status = kExitNoFrame;
  }

  Members& members = run.members();
  if (!close_within(kCloseAllowanceSeconds, [&members] { close_readers(members); })) {
    exit_now(status);
  }
  members.clear();
  return status;
}

}  // namespace strovix::tools
