#include "fleet/fleet.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/json.hpp"
#include "common/reader_setup.hpp"
#include "common/run_loop.hpp"
#include "fleet/camera_list.hpp"
#include "fleet/fleet_state.hpp"
#include "fleet/shard.hpp"
#include "strovix/gobject_init.hpp"
#include "strovix/logger.hpp"
#include "strovix/stream_reader/gst.hpp"
#if STROVIX_READ_SERVE
#include "serve/status_server.hpp"
#endif

namespace strovix::tools {
namespace {

// Readers are built and closed by this many threads at once: a build may wait (must_play)
// and a close may wait for a rebuild, and neither should add up over hundreds of cameras.
constexpr unsigned kSetupThreads = 8;
// Closing waits this long for every reader; the rest of the teardown is the process exit's.
constexpr double kCloseAllowanceSeconds = 2.0;

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
    c.url = redact_url(m.camera.url);
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

// Builds every camera's reader; returns an exit status when none could be set up.
std::optional<int> set_up_readers(std::vector<Member>& members,
                                  const GstStreamReader::Options& options,
                                  const RuntimeOptions& runtime_options) {
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
  return std::nullopt;
}

// Reads the list and takes the shard; returns an exit status when the run ends there.
std::optional<int> select_cameras(const FleetArgs& fleet, std::vector<Camera>& cameras) {
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
    for (const auto& c : cameras) out += c.name + " " + redact_url(c.url) + "\n";
    print(out);
    return kExitOk;
  }
  if (cameras.empty()) {
    std::fprintf(stderr, "strovix-read: shard %d/%d holds no camera of %s\n", fleet.shard->index,
                 fleet.shard->count, fleet.cameras->c_str());
  }
  return std::nullopt;
}

}  // namespace

int run_fleet(const ReadArgs& args, const FleetArgs& fleet, const sigset_t& stop_signals) {
  std::vector<Camera> cameras;
  if (const auto status = select_cameras(fleet, cameras)) return *status;

  set_log_level(args.quiet ? LogLevel::warning : LogLevel::info);
  gobject_init::start();

  std::vector<Member> members(cameras.size());
  for (std::size_t i = 0; i < cameras.size(); ++i) {
    members[i].camera = cameras[i];
    members[i].secrets = url_secrets(cameras[i].url);
  }
  const auto options = reader_options(args);
  const auto runtime_options = reader_runtime_options(args);
  RunLoop loop(stop_signals, args.duration);
  const auto start = loop.start();
  if (const auto status = set_up_readers(members, options, runtime_options)) return *status;

#if STROVIX_READ_SERVE
  std::unique_ptr<StatusServer> server;
  if (fleet.serve) {
    try {
      server = std::make_unique<StatusServer>(*fleet.serve);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "strovix-read: cannot serve on %s:%d: %s\n", fleet.serve->host.c_str(),
                   fleet.serve->port, e.what());
      // Readers are closed by their destructors on the way out.
      return kExitFailure;
    }
    std::fprintf(stderr, "strovix-read: serving %s\n", server->url().c_str());
  }
  const auto publish = [&](const std::shared_ptr<const FleetSample>& sample) {
    if (server) server->publish(sample);
  };
#else
  const auto publish = [](const std::shared_ptr<const FleetSample>&) {};
#endif

  const bool tty = isatty(STDOUT_FILENO) == 1;
  auto sample = sample_fleet(members, start, 0.0);
  publish(sample);
  const bool interrupted = loop.run([&](double interval) {
    sample = sample_fleet(members, start, interval);
    publish(sample);
    report(*sample, args, tty);
  });

  const double duration = seconds_since(start);
  if (const auto interval = loop.closing_interval()) {
    sample = sample_fleet(members, start, *interval);
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
    std::fprintf(stderr, "strovix-read: no frame arrived in %.1f s from: %s\n", duration,
                 silent.c_str());
    status = kExitNoFrame;
  }

  const bool closed_in_time = close_within(kCloseAllowanceSeconds, [&members] {
    for_each_parallel(members.size(), [&](std::size_t i) {
      if (members[i].reader) members[i].reader->wait_until_closed();
    });
  });
  if (!closed_in_time) exit_now(status);
  members.clear();
  return status;
}

}  // namespace strovix::tools
