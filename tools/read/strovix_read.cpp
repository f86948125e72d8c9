// strovix-read: reads one live stream with GstStreamReader and reports, once a second, what
// the host would get from it. Without a URL it serves itself a test stream over RTSP.
#include <glib.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fleet/fleet.hpp"
#include "fleet/fleet_args.hpp"
#include "common/run_common.hpp"
#include "fleet/fleet_state.hpp"
#include "read/read_args.hpp"
#include "common/reader_setup.hpp"
#include "serve/snapshot.hpp"
#include "strovix/errors.hpp"
#include "strovix/event.hpp"
#include "strovix/gobject_init.hpp"
#include "strovix/logger.hpp"
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

// The median, or NaN for no values.
double median(std::vector<double> values) {
  if (values.empty()) return NAN;
  const std::size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + mid, values.end());
  const double upper = values[mid];
  if (values.size() % 2 == 1) return upper;
  return (*std::max_element(values.begin(), values.begin() + mid) + upper) / 2.0;
}

std::string json_ms_or_null(double seconds) {
  return std::isfinite(seconds) ? json_number(seconds * 1000.0, "%.1f") : "null";
}

struct Report {
  bool json = false;
  bool quiet = false;

  void line(const std::string& text) const {
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }

  void start(const std::string& source, const std::string& note) const {
    if (quiet) return;
    if (json) {
      line("{\"type\":\"start\",\"source\":" + json_string(source) + "}");
    } else {
      line("strovix-read: reading " + source + note + "; Ctrl-C to stop");
    }
  }

  // `capture_latency`: the median over this interval's frames (seconds), NaN when unknown.
  void status(double elapsed, StreamStatus status, double fps, std::uint64_t frames,
              const Frame& newest, std::size_t restarts, double capture_latency,
              const std::string& transport) const {
    if (quiet) return;
    const double age = newest.image ? wall_seconds() - newest.timestamp : NAN;
    char buf[256];
    if (json) {
      std::string text = "{\"type\":\"status\",\"t\":" + json_number(elapsed, "%.2f") +
                         ",\"status\":" + json_string(std::string(to_string(status))) +
                         ",\"fps\":" + json_number(fps, "%.2f") +
                         ",\"frames\":" + std::to_string(frames) +
                         ",\"age_ms\":" + json_number(age * 1000.0, "%.1f");
      if (newest.image) {
        text += ",\"width\":" + std::to_string(newest.image->width) +
                ",\"height\":" + std::to_string(newest.image->height);
      } else {
        text += ",\"width\":null,\"height\":null";
      }
      text += ",\"restarts\":" + std::to_string(restarts) +
              ",\"capture_latency_ms\":" + json_ms_or_null(capture_latency) +
              ",\"transport\":" + (transport.empty() ? "null" : json_string(transport)) + "}";
      line(text);
      return;
    }
    std::string age_text = "-";
    std::string size_text = "-";
    if (newest.image) {
      std::snprintf(buf, sizeof(buf), "%.0f ms", age * 1000.0);
      age_text = buf;
      size_text = std::to_string(newest.image->width) + "x" + std::to_string(newest.image->height);
    }
    std::snprintf(buf, sizeof(buf),
                  "%7.1fs  %-12s %5.1f fps  newest frame %8s old  %-9s  restarts %zu", elapsed,
                  std::string(to_string(status)).c_str(), fps, age_text.c_str(), size_text.c_str(),
                  restarts);
    std::string text = buf;
    if (!transport.empty()) text += "  " + transport;
    if (std::isfinite(capture_latency)) {
      std::snprintf(buf, sizeof(buf), "  camera\u2192frame %.0f ms", capture_latency * 1000.0);
      text += buf;
    }
    line(text);
  }

  void summary(const std::string& source, double duration, double wall, std::uint64_t frames,
               double first_frame_after, std::size_t restarts, StreamStatus last_status,
               bool interrupted, const std::string& snapshot,
               const std::vector<double>& capture_latencies) const {
    const double latency_median = median(capture_latencies);
    const double latency_max =
        capture_latencies.empty()
            ? NAN
            : *std::max_element(capture_latencies.begin(), capture_latencies.end());
    const double mean_fps = duration > 0 ? static_cast<double>(frames) / duration : 0.0;
    if (json) {
      line("{\"type\":\"summary\",\"source\":" + json_string(source) +
           ",\"duration_s\":" + json_number(duration, "%.2f") +
           ",\"wall_s\":" + json_number(wall, "%.2f") + ",\"frames\":" + std::to_string(frames) +
           ",\"mean_fps\":" + json_number(mean_fps, "%.2f") + ",\"first_frame_s\":" +
           json_number(first_frame_after, "%.3f") + ",\"restarts\":" + std::to_string(restarts) +
           ",\"last_status\":" + json_string(std::string(to_string(last_status))) +
           ",\"interrupted\":" + (interrupted ? "true" : "false") +
           ",\"snapshot\":" + (snapshot.empty() ? "null" : json_string(snapshot)) +
           ",\"capture_latency_median_ms\":" + json_ms_or_null(latency_median) +
           ",\"capture_latency_max_ms\":" + json_ms_or_null(latency_max) + "}");
      return;
    }
    char buf[512];
    std::string first = "no frame";
    if (std::isfinite(first_frame_after)) {
      std::snprintf(buf, sizeof(buf), "first frame after %.2f s", first_frame_after);
      first = buf;
    }
    std::snprintf(buf, sizeof(buf),
                  "summary: %.1f s%s (%.1f s with closing), %llu frames, %.1f fps mean, %s, %zu "
                  "restarts, last status %s",
                  duration, interrupted ? " (interrupted)" : "", wall,
                  static_cast<unsigned long long>(frames), mean_fps, first.c_str(), restarts,
                  std::string(to_string(last_status)).c_str());
    std::string text = buf;
    if (std::isfinite(latency_median)) {
      std::snprintf(buf, sizeof(buf), ", camera\u2192frame median %.0f ms, max %.0f ms",
                    latency_median * 1000.0, latency_max * 1000.0);
      text += buf;
    }
    line(text);
    if (!snapshot.empty()) line("snapshot: " + snapshot);
  }
};

// Waits for SIGINT/SIGTERM until `deadline`; returns whether one arrived.
bool wait_for_stop_signal(const sigset_t& signals, Clock::time_point deadline) {
  for (;;) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    const int signo = sigtimedwait(&signals, nullptr, &timeout);
    if (signo > 0) return true;
    if (errno != EINTR && errno != EAGAIN) return false;
  }
}

int run(const ReadArgs& args, const sigset_t& stop_signals) {
  const Report report{args.json, args.quiet};

  // Library log lines go to stderr; --quiet keeps warnings and errors only.
  set_log_level(args.quiet ? LogLevel::warning : LogLevel::info);

  gobject_init::start();

  std::vector<std::string> secrets;
  std::string url;
  std::string source;
  std::string note;
#if STROVIX_READ_DEMO_SERVER
  std::unique_ptr<DemoRtspServer> server;
#endif
  if (args.url) {
    url = *args.url;
    secrets = url_secrets(url);
  }
  if (args.pipeline) {
    if (url.empty()) url = "custom-pipeline";
    source = "pipeline: " + redact_credentials(*args.pipeline, secrets);
  } else if (args.url) {
    source = redact_url(url);
  } else {
#if STROVIX_READ_DEMO_SERVER
    try {
      server = std::make_unique<DemoRtspServer>(DemoRtspServer::Options{});
    } catch (const std::exception& e) {
      std::fprintf(stderr, "strovix-read: cannot start the built-in test server: %s\n", e.what());
      return kExitSetup;
    }
    url = server->url();
    source = url;
    note = " (built-in test stream: " + server->description() + ")";
#else
    std::fprintf(stderr,
                 "strovix-read: built without the test stream (no gst-rtsp-server); give a URL "
                 "or --pipeline\n");
    return kExitUsage;
#endif
  }

  const GstStreamReader::Options options = reader_options(args);
  const RuntimeOptions runtime_options = reader_runtime_options(args);

  const auto start = Clock::now();
  std::unique_ptr<GstStreamReader> reader;
  try {
    reader = std::make_unique<GstStreamReader>(1, url, runtime_options, options);
  } catch (const std::exception& e) {
    std::string message = redact_credentials(e.what(), secrets);
    for (auto& c : message) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    std::fprintf(stderr, "strovix-read: cannot set up the stream: %s\n", message.c_str());
    return kExitSetup;
  }

  report.start(source, note);
  FrameWatcher watcher(*reader);
  bool interrupted = false;
  // Durations beyond a century run until Ctrl-C, like no duration (and cannot overflow).
  const auto end = args.duration && *args.duration < 3.2e9
                       ? start + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(*args.duration))
                       : Clock::time_point::max();
  auto last_tick = start;
  std::uint64_t last_frames = 0;
  for (auto next_tick = start + std::chrono::seconds(1);; next_tick += std::chrono::seconds(1)) {
    if (wait_for_stop_signal(stop_signals, std::min(next_tick, end))) {
      interrupted = true;
      break;
    }
    if (Clock::now() >= end) break;
    const auto now = Clock::now();
    const std::uint64_t frames = watcher.frames();
    const double interval = std::chrono::duration<double>(now - last_tick).count();
    const StreamStats now_stats = reader->stats();
    report.status(seconds_since(start), reader->status(), (frames - last_frames) / interval, frames,
                  watcher.newest(), now_stats.restarts, median(watcher.take_latencies()),
                  now_stats.transport);
    last_tick = now;
    last_frames = frames;
  }

  // A second Ctrl-C while closing ends the process at once.
  pthread_sigmask(SIG_UNBLOCK, &stop_signals, nullptr);
  const double duration = seconds_since(start);
  const StreamStatus last_status = reader->status();
  // The summary's counts are those of this moment, which a last status line shows too.
  const std::uint64_t frames = watcher.frames();
  const StreamStats stats = reader->stats();
  const std::size_t restarts = stats.restarts;
  const std::string& kept_error = stats.last_error;
  if (Clock::now() - last_tick >= std::chrono::milliseconds(100)) {
    const double interval = std::chrono::duration<double>(Clock::now() - last_tick).count();
    report.status(duration, last_status, (frames - last_frames) / interval, frames,
                  watcher.newest(), restarts, median(watcher.take_latencies()), stats.transport);
  }
  watcher.stop();
  Frame newest = watcher.newest();
  if (args.snapshot) {
    // The newest frame, unless the watcher missed one that is still waiting in the reader.
    Frame latest = reader->latest_frame();
    if (latest.image && latest.timestamp > newest.timestamp) newest = std::move(latest);
  }
  // Closing runs on a thread of its own so that a stream stuck in a back-off or a rebuild
  // cannot hold the run past its duration.
  const auto close_deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(kCloseAllowanceSeconds));
  auto closed = std::make_shared<strovix::Event>();
  std::thread closer([&reader, closed] {
    reader->wait_until_closed();
    closed->set();
  });
  const bool closed_in_time =
      closed->wait(std::chrono::duration<double>(close_deadline - Clock::now()).count());
  if (closed_in_time) {
    closer.join();
    reader.reset();
#if STROVIX_READ_DEMO_SERVER
    server.reset();
#endif
  }

  int status = kExitOk;
  std::string snapshot_note;
  if (args.snapshot) {
    if (!newest.image) {
      std::fprintf(stderr, "strovix-read: no frame arrived; snapshot %s not written\n",
                   args.snapshot->c_str());
      status = kExitFailure;
    } else {
      try {
        write_snapshot(*newest.image, *args.snapshot);
        snapshot_note = *args.snapshot;
        if (!args.json) {
          snapshot_note += " (" + std::to_string(newest.image->width) + "x" +
                           std::to_string(newest.image->height) + ")";
        }
      } catch (const std::exception& e) {
        std::fprintf(stderr, "strovix-read: %s\n", e.what());
        status = kExitFailure;
      }
    }
  }
  report.summary(source, duration, seconds_since(start), frames, watcher.first_frame_after(),
                 restarts, last_status, interrupted, snapshot_note, watcher.all_latencies());
  if (frames == 0) {
    // Taken before closing, whose teardown may report errors of its own; both texts are
    // already free of credentials.
    const std::string& cause = kept_error;
    std::fprintf(stderr, "strovix-read: no frame arrived in %.1f s: %s\n", duration,
                 cause.empty() ? "no error was reported (the stream sent nothing decodable)"
                               : cause.c_str());
    status = kExitNoFrame;
  }
  if (!closed_in_time) {
    // Still closing: the rest of the teardown is the process exit's.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  ReadArgs args;
  FleetArgs fleet;
  try {
    std::vector<std::string> arg_list(argv + 1, argv + argc);
    fleet = take_fleet_args(arg_list);
    args = parse_read_args(arg_list);
    check_fleet_args(fleet, args);
  } catch (const ArgError& e) {
    // An argument may be a URL with credentials.
    std::fprintf(stderr, "strovix-read: %s\nTry 'strovix-read --help' for the options.\n",
                 redact_credentials(e.what()).c_str());
    return kExitUsage;
  }
  if (args.help) {
    std::fputs((read_usage() + fleet_usage()).c_str(), stdout);
    return kExitOk;
  }

  // Blocked before any thread exists, so every thread inherits the mask and the signals
  // wait for the main loop's sigtimedwait instead of interrupting a GStreamer thread.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  try {
    if (fleet.cameras) return run_fleet(args, fleet, stop_signals);
    return run(args, stop_signals);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "strovix-read: %s\n",
                 redact_credentials(e.what(), url_secrets(args.url.value_or(""))).c_str());
    return kExitFailure;
  }
}
