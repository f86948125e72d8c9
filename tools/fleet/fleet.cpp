#include "fleet/fleet.hpp"

#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fleet/camera_list.hpp"
#include "fleet/fleet_state.hpp"
#include "common/escape.hpp"
#include "common/reader_setup.hpp"
#include "fleet/shard.hpp"
#include "serve/serve_auth.hpp"
#include "serve/status_server.hpp"
#include "strovix/event.hpp"
#include "strovix/gobject_init.hpp"
#include "common/run_common.hpp"
#include "strovix/logger.hpp"
#include "strovix/stream_reader/gst.hpp"

namespace strovix::tools {
namespace {

// Readers are built and closed by this many threads at once: a build may wait (must_play)
// and a close may wait for a rebuild, and neither should add up over hundreds of cameras.
constexpr unsigned kSetupThreads = 8;
// Closing waits this long for every reader; the rest of the teardown is the process exit's.
constexpr double kCloseAllowanceSeconds = 2.0;

// Camera- and server-chosen text on one line, its control characters inert.
std::string one_line(std::string text) {
  for (auto& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return escape_control(text);
}

void print(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

// Runs job(i) for every i < count on up to kSetupThreads threads.
template <typename Job>
void for_each_parallel(std::size_t count, Job job) {
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> workers;
  const std::size_t threads = std::min<std::size_t>(kSetupThreads, count);
  for (std::size_t t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      for (std::size_t i = next++; i < count; i = next++) job(i);
    });
  }
  for (auto& w : workers) w.join();
}

bool wait_for_stop_signal(const sigset_t& signals, Clock::time_point deadline) {
  for (;;) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    if (sigtimedwait(&signals, nullptr, &timeout) > 0) return true;
    if (errno != EINTR && errno != EAGAIN) return false;
  }
}

struct Member {
  Camera camera;
  std::vector<std::string> secrets;
  std::unique_ptr<GstStreamReader> reader;
  std::string setup_error;  // without credentials
  std::uint64_t last_frames = 0;
  Frame newest;
};

// Samples every camera; never blocks on a stream (stats() and latest_frame() do not).
std::shared_ptr<const FleetSample> sample_fleet(std::vector<Member>& members,
                                                Clock::time_point start, double interval) {
  auto sample = std::make_shared<FleetSample>();
  sample->time = wall_seconds();
  sample->elapsed = seconds_since(start);
  for (auto& m : members) {
    CameraSample c;
    c.name = m.camera.name;
    c.url = escape_control(redact_url(m.camera.url));
    c.set_up = m.reader != nullptr;
    if (m.reader) {
      c.stats = m.reader->stats();
      c.stats.last_error = one_line(redact_credentials(c.stats.last_error, m.secrets));
      Frame frame = m.reader->latest_frame();
      if (frame.image) m.newest = std::move(frame);
      const std::uint64_t frames = c.stats.frames_delivered;
      c.fps = interval > 0 ? static_cast<double>(frames - m.last_frames) / interval : 0.0;
      m.last_frames = frames;
      const double last = c.stats.last_frame_time > 0 ? c.stats.last_frame_time
                                                      : (m.newest.image ? m.newest.timestamp : 0);
      if (last > 0) c.age_seconds = std::max(0.0, sample->time - last);
    } else {
      c.stats.last_error = m.setup_error;
    }
    c.newest = m.newest;
    sample->cameras.push_back(std::move(c));
  }
  return sample;
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
    std::fprintf(stderr, "strovix-read: %s\n", escape_control(e.what()).c_str());
    return false;
  }
  return true;
}

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

}  // namespace

int run_fleet(const ReadArgs& args, const FleetArgs& fleet, const sigset_t& stop_signals) {
  std::vector<Camera> cameras;
  try {
    cameras = read_camera_list(*fleet.cameras);
  } catch (const CameraListError& e) {
    std::fprintf(stderr, "strovix-read: %s\n", e.what());
    return kExitUsage;
  }
  if (cameras.empty()) {
    std::fprintf(stderr, "strovix-read: no camera in %s\n", fleet.cameras->c_str());
    return kExitUsage;
  }
  if (fleet.shard) cameras = select_shard(cameras, *fleet.shard);
  if (fleet.list) {
    std::string out;
    for (const auto& c : cameras) out += c.name + " " + escape_control(redact_url(c.url)) + "\n";
    print(out);
    return kExitOk;
  }
  if (!serve_files_usable(fleet)) return kExitUsage;
  raise_descriptor_limit();
  if (cameras.empty()) {
    std::fprintf(stderr, "strovix-read: shard %d/%d holds no camera of %s\n", fleet.shard->index,
                 fleet.shard->count, fleet.cameras->c_str());
  }

  set_log_level(args.quiet ? LogLevel::warning : LogLevel::info);
  gobject_init::start();

  std::vector<Member> members(cameras.size());
  for (std::size_t i = 0; i < cameras.size(); ++i) {
    members[i].camera = cameras[i];
    members[i].secrets = url_secrets(cameras[i].url);
  }
  const auto options = reader_options(args);
  const auto runtime_options = reader_runtime_options(args);
  const auto start = Clock::now();
  for_each_parallel(members.size(), [&](std::size_t i) {
    auto& m = members[i];
    try {
      m.reader = std::make_unique<GstStreamReader>(static_cast<int>(i + 1), m.camera.url,
                                                   runtime_options, options);
    } catch (const std::exception& e) {
      m.setup_error = one_line(redact_credentials(e.what(), m.secrets));
    }
  });
  std::size_t set_up = 0;
  for (const auto& m : members) {
    if (m.reader) {
      ++set_up;
    } else {
      std::fprintf(stderr, "strovix-read: %s: cannot set up the stream: %s\n",
                   m.camera.name.c_str(), m.setup_error.c_str());
    }
  }
  if (set_up == 0 && !members.empty()) {
    std::fprintf(stderr, "strovix-read: no camera could be set up\n");
    return kExitSetup;
  }

  std::unique_ptr<StatusServer> server;
  if (fleet.serve) {
    try {
      server = std::make_unique<StatusServer>(serve_options(fleet));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "strovix-read: cannot serve on %s:%d: %s\n", fleet.serve->host.c_str(),
                   fleet.serve->port, e.what());
      // Readers are closed by their destructors on the way out.
      return kExitFailure;
    }
    std::fprintf(stderr, "strovix-read: serving %s\n", server->url().c_str());
    const bool local = is_loopback_host(fleet.serve->host);
    if (!fleet.serve_auth && !local) {
      std::fprintf(stderr,
                   "strovix-read: warning: --serve-public: the status server asks no password; "
                   "anyone who reaches %s sees every camera\n",
                   server->url().c_str());
    } else if (fleet.serve_auth && !fleet.serve_tls && !local) {
      std::fprintf(stderr,
                   "strovix-read: warning: passwords reach the status server in clear; use "
                   "--serve-tls CERT KEY beyond a trusted network\n");
    }
  }

  const bool tty = isatty(STDOUT_FILENO) == 1;
  auto sample = sample_fleet(members, start, 0.0);
  if (server) server->publish(sample);
  bool interrupted = false;
  const auto end = args.duration && *args.duration < 3.2e9
                       ? start + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(*args.duration))
                       : Clock::time_point::max();
  auto last_tick = start;
  for (auto next_tick = start + std::chrono::seconds(1);; next_tick += std::chrono::seconds(1)) {
    if (wait_for_stop_signal(stop_signals, std::min(next_tick, end))) {
      interrupted = true;
      break;
    }
    if (Clock::now() >= end) break;
    const auto now = Clock::now();
    sample = sample_fleet(members, start, std::chrono::duration<double>(now - last_tick).count());
    last_tick = now;
    if (server) server->publish(sample);
    report(*sample, args, tty);
  }

  // A second Ctrl-C while closing ends the process at once.
  pthread_sigmask(SIG_UNBLOCK, &stop_signals, nullptr);
  const double duration = seconds_since(start);
  if (Clock::now() - last_tick >= std::chrono::milliseconds(100)) {
    sample = sample_fleet(members, start,
                          std::chrono::duration<double>(Clock::now() - last_tick).count());
    report(*sample, args, tty);
  }
  server.reset();
  summarise(*sample, args, duration, interrupted);

  std::string silent;
  for (const auto& c : sample->cameras) {
    if (c.stats.frames_delivered == 0) silent += (silent.empty() ? "" : ", ") + c.name;
  }
  int status = kExitOk;
  if (!silent.empty()) {
    std::fprintf(stderr, "strovix-read: no frame arrived in %.1f s from: %s\n", duration,
                 silent.c_str());
    status = kExitNoFrame;
  }

  // Closing runs on threads of their own so that streams stuck in a back-off or a rebuild
  // cannot hold the run past its duration.
  auto closed = std::make_shared<Event>();
  std::thread closer([&members, closed] {
    for_each_parallel(members.size(), [&](std::size_t i) {
      if (members[i].reader) members[i].reader->wait_until_closed();
    });
    closed->set();
  });
  if (!closed->wait(kCloseAllowanceSeconds)) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
  }
  closer.join();
  members.clear();
  return status;
}

}  // namespace strovix::tools
