// strovix-read: reads one live stream with GstStreamReader and reports, once a second, what
// the host would get from it. Without a URL it serves itself a test stream over RTSP.
#include <glib.h>
#include <signal.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/cli_log.hpp"
#include "common/reader_setup.hpp"
#include "common/run_loop.hpp"
#include "common/snapshot.hpp"
#include "fleet/fleet.hpp"
#include "fleet/fleet_args.hpp"
#include "read/read_args.hpp"
#include "read/read_report.hpp"
#include "strovix/errors.hpp"
#include "strovix/event.hpp"
#include "strovix/gobject_init.hpp"
#include "strovix/logger.hpp"
#include "strovix/redaction.hpp"
#include "strovix/stream_reader/gst.hpp"
#if STROVIX_READ_DEMO_SERVER
#include "common/demo_rtsp_server.hpp"
#endif

namespace {

using namespace strovix;
using namespace strovix::tools;
// Closing may wait for a rebuild or a back-off; the run still ends this long after its
// duration, leaving the rest of the teardown to the process exit.
constexpr double kCloseAllowanceSeconds = 0.8;

// Counts delivered frames on a thread of its own and keeps the newest frame with an image.
// A frame that lands between the wake-up and the clear of new_frame_event is counted with
// the next one; at camera rates the wake-up takes far less than a frame interval.
class FrameWatcher {
 public:
  explicit FrameWatcher(GstStreamReader& reader) : reader_(reader), thread_([this] { run(); }) {}
  ~FrameWatcher() { stop(); }
  FrameWatcher(const FrameWatcher&) = delete;
  FrameWatcher& operator=(const FrameWatcher&) = delete;

  void stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  std::uint64_t frames() const { return frames_.load(); }
  Frame newest() const {
    std::lock_guard lock(mutex_);
    return newest_;
  }
  // Seconds after start at which the first frame arrived, or NaN.
  double first_frame_after() const { return first_frame_after_.load(); }
  // Capture-to-frame latencies (seconds) of the frames since the last call.
  std::vector<double> take_latencies() {
    std::lock_guard lock(mutex_);
    std::vector<double> out;
    out.swap(second_latencies_);
    return out;
  }
  // Of the whole run (the first kMaxKept frames with a capture time).
  std::vector<double> all_latencies() const {
    std::lock_guard lock(mutex_);
    return all_latencies_;
  }

 private:
  void run() {
    const auto start = Clock::now();
    double last_timestamp = 0.0;
    while (!stop_.load()) {
      if (!reader_.new_frame_event()->wait(0.1)) continue;
      reader_.new_frame_event()->clear();
      Frame frame = reader_.latest_frame();
      if (!frame.image || frame.timestamp == last_timestamp) continue;
      last_timestamp = frame.timestamp;
      if (frames_.fetch_add(1) == 0) first_frame_after_.store(seconds_since(start));
      std::lock_guard lock(mutex_);
      if (frame.capture_time) {
        const double latency = frame.timestamp - *frame.capture_time;
        second_latencies_.push_back(latency);
        if (all_latencies_.size() < kMaxKept) all_latencies_.push_back(latency);
      }
      newest_ = std::move(frame);
    }
  }

  GstStreamReader& reader_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> frames_{0};
  std::atomic<double> first_frame_after_{NAN};
  // A day at 10 fps; bounds the memory of a run without end.
  static constexpr std::size_t kMaxKept = 1 << 20;
  // Guards newest_ and the latencies.
  mutable std::mutex mutex_;
  Frame newest_;
  std::vector<double> second_latencies_;
  std::vector<double> all_latencies_;
  std::thread thread_;
};

// What is read: the URL handed to the reader, its credential-free form for the reports, and
// the built-in test server when no URL was given.
struct Source {
  std::string url;
  std::vector<std::string> secrets;
  std::string shown;
  std::string note;
#if STROVIX_READ_DEMO_SERVER
  std::unique_ptr<DemoRtspServer> server;
#endif
};

// Returns an exit status when there is nothing to read.
std::optional<int> choose_source(const ReadArgs& args, Source& out) {
  if (args.url) {
    out.url = *args.url;
    out.secrets = url_secrets(out.url);
  }
  if (args.pipeline) {
    if (out.url.empty()) out.url = "custom-pipeline";
    out.shown = "pipeline: " + escape_control(redact_credentials(*args.pipeline, out.secrets));
    return std::nullopt;
  }
  if (args.url) {
    out.shown = escape_control(redact_url(out.url));
    return std::nullopt;
  }
#if STROVIX_READ_DEMO_SERVER
  try {
    out.server = std::make_unique<DemoRtspServer>(DemoRtspServer::Options{});
  } catch (const std::exception& e) {
    cli_log(LogLevel::error, "", std::string("cannot start the built-in test server: ") + e.what());
    return kExitSetup;
  }
  out.url = out.server->url();
  out.shown = out.url;
  out.note = " (built-in test stream: " + out.server->description() + ")";
  return std::nullopt;
#else
  cli_log(LogLevel::error, "",
          "built without the test stream (no gst-rtsp-server); give a URL or --pipeline");
  return kExitUsage;
#endif
}

// Writes the snapshot; returns the summary's note of it, empty when none was written.
std::string write_requested_snapshot(const ReadArgs& args, const Frame& newest, int& status) {
  if (!newest.image) {
    cli_log(LogLevel::error, "", "no frame arrived; snapshot " + *args.snapshot + " not written");
    status = kExitFailure;
    return "";
  }
  try {
    write_snapshot(*newest.image, *args.snapshot);
  } catch (const std::exception& e) {
    cli_log(LogLevel::error, "", e.what());
    status = kExitFailure;
    return "";
  }
  if (args.json) return *args.snapshot;
  return *args.snapshot + " (" + std::to_string(newest.image->width) + "x" +
         std::to_string(newest.image->height) + ")";
}

int run(const ReadArgs& args, const sigset_t& stop_signals) {
  const Report report{args.json, args.quiet};

  // Library log lines go to stderr; --quiet keeps warnings and errors only.
  set_log_level(args.quiet ? LogLevel::warning : LogLevel::info);

  gobject_init::start();

  Source source;
  if (const auto status = choose_source(args, source)) return *status;

  const GstStreamReader::Options options = reader_options(args);
  const RuntimeOptions runtime_options = reader_runtime_options(args);

  RunLoop loop(stop_signals, args.duration);
  const auto start = loop.start();
  std::unique_ptr<GstStreamReader> reader;
  try {
    reader = std::make_unique<GstStreamReader>(1, source.url, runtime_options, options);
  } catch (const std::exception& e) {
    cli_log(LogLevel::error, "",
            "cannot set up the stream: " + one_line(redact_credentials(e.what(), source.secrets)));
    return kExitSetup;
  }

  report.start(source.shown, source.note);
  FrameWatcher watcher(*reader);
  std::uint64_t last_frames = 0;
  const bool interrupted = loop.run([&](double interval) {
    const std::uint64_t frames = watcher.frames();
    report.status(seconds_since(start), reader->status(), (frames - last_frames) / interval, frames,
                  watcher.newest(), reader->stats(), median(watcher.take_latencies()));
    last_frames = frames;
  });

  const double duration = seconds_since(start);
  const StreamStatus last_status = reader->status();
  // The summary's counts are those of this moment, which a last status line shows too.
  const std::uint64_t frames = watcher.frames();
  // Taken before closing, whose teardown may report errors of its own; already free of
  // credentials.
  const StreamStats stats = reader->stats();
  if (const auto interval = loop.closing_interval()) {
    report.status(duration, last_status, (frames - last_frames) / *interval, frames,
                  watcher.newest(), stats, median(watcher.take_latencies()));
  }
  watcher.stop();
  Frame newest = watcher.newest();
  if (args.snapshot) {
    // The newest frame, unless the watcher missed one that is still waiting in the reader.
    Frame latest = reader->latest_frame();
    if (latest.image && latest.timestamp > newest.timestamp) newest = std::move(latest);
  }
  const bool closed_in_time =
      close_within(kCloseAllowanceSeconds, [&reader] { reader->wait_until_closed(); });
  if (closed_in_time) {
    reader.reset();
#if STROVIX_READ_DEMO_SERVER
    source.server.reset();
#endif
  }

  int status = kExitOk;
  const std::string snapshot_note =
      args.snapshot ? write_requested_snapshot(args, newest, status) : "";
  report.summary(source.shown, duration, seconds_since(start), frames, watcher.first_frame_after(),
                 stats.restarts, last_status, interrupted, snapshot_note, watcher.all_latencies());
  if (frames == 0) {
    char took[32];
    std::snprintf(took, sizeof(took), "%.1f", duration);
    cli_log(LogLevel::error, "",
            std::string("no frame arrived in ") + took + " s: " +
                (stats.last_error.empty() ? "no error was reported (the stream sent nothing decodable)"
                                          : one_line(stats.last_error)));
    status = kExitNoFrame;
  }
  if (!closed_in_time) exit_now(status);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  ReadArgs args;
  FleetArgs fleet;
  std::vector<std::string> arg_list(argv + 1, argv + argc);
  set_cli_log_json(wants_json_log(arg_list));
  try {
    fleet = take_fleet_args(arg_list);
    args = parse_read_args(arg_list);
    check_fleet_args(fleet, args);
  } catch (const ArgError& e) {
    // An argument may be a URL with credentials.
    cli_log(LogLevel::error, "",
            redact_credentials(e.what()) + "\nTry 'strovix-read --help' for the options.");
    return kExitUsage;
  }
  if (args.help) {
    std::fputs((read_usage() + fleet_usage()).c_str(), stdout);
    return kExitOk;
  }

  // Blocked before any thread exists, so every thread inherits the mask and the signals
  // wait for the run loop's signalfd instead of interrupting a GStreamer thread.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  // A fleet rereads its list on SIGHUP; a single stream keeps the default (it ends).
  if (fleet.cameras) sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  try {
    if (fleet.cameras) return run_fleet(args, fleet, stop_signals);
    return run(args, stop_signals);
  } catch (const std::exception& e) {
    cli_log(LogLevel::error, "", redact_credentials(e.what(), url_secrets(args.url.value_or(""))));
    return kExitFailure;
  }
}
