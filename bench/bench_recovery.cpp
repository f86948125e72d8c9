// Recovery: the bench server is stopped and, some seconds later, started again on the same
// port; how long after its return does the reader hand out a new frame, against the back-off
// it had in force? The reader's own log lines (status changes, and "HALTED <back-off>
// Shutting the pipeline down..." when a back-off ends and a restart begins) place each
// restart in time, so the recovery splits into the back-off still to run when the server
// came back and the reconnection itself.
#include <spdlog/sinks/base_sink.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "bench_common.hpp"
#include "strovix/gobject_init.hpp"
#include "strovix/logger.hpp"
#include "strovix/stream_reader/gst.hpp"

using namespace strovix;
using namespace strovix::bench;

namespace {

struct Line {
  double ms;
  std::string text;
};

// Keeps every line with its wall-clock time.
class TimedLines : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<Line> lines() {
    std::lock_guard lock(lines_mutex_);
    return lines_;
  }
  void clear() {
    std::lock_guard lock(lines_mutex_);
    lines_.clear();
  }
  // The time of the first line at or after `from_ms` containing `needle`, waiting up to
  // `timeout_s`; NaN when none came.
  double wait_for(const std::string& needle, double from_ms, double timeout_s) {
    const double deadline = mono_s() + timeout_s;
    do {
      for (const auto& l : lines()) {
        if (l.ms >= from_ms && l.text.find(needle) != std::string::npos) return l.ms;
      }
      sleep_s(0.01);
    } while (mono_s() < deadline);
    return std::nan("");
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    std::lock_guard lock(lines_mutex_);
    lines_.push_back({std::chrono::duration<double, std::milli>(msg.time.time_since_epoch()).count(),
                      std::string(msg.payload.data(), msg.payload.size())});
  }
  void flush_() override {}

 private:
  std::mutex lines_mutex_;
  std::vector<Line> lines_;
};

struct Config {
  std::string name;
  double base, max, randomness;
};

struct Trial {
  std::string config;
  double back_ms = std::nan("");      // wall-clock time of the server's return
  double down_s = std::nan("");
  double detect_s = std::nan("");     // server stop -> reader HALTED
  double backoff_s = std::nan("");    // the back-off that ended in the successful restart
  double waiting_s = std::nan("");    // server return -> that restart began
  double reconnect_s = std::nan("");  // that restart -> first new frame
  double recovery_s = std::nan("");   // server return -> first new frame
  int restarts = 0;                   // restart attempts while the server was away and after
  int attempts_after_return = 0;      // restarts begun after the server's return, up to the frame
};

// The first frame pulled after `after_ms`, waiting up to `timeout_s`; its pull time or NaN.
double first_frame_after(GstStreamReader& reader, double after_ms, double timeout_s) {
  const double deadline = mono_s() + timeout_s;
  while (mono_s() < deadline) {
    reader.latest_frame_event()->wait(0.05);
    Frame f = reader.latest_frame();
    if (f.image && f.timestamp * 1000.0 > after_ms) return f.timestamp * 1000.0;
  }
  return std::nan("");
}

Trial run_trial(ServerProcess& server, TimedLines& log, const Config& c, double down_s) {
  Trial t;
  t.config = c.name;
  t.down_s = down_s;
  GstStreamReader::Options options;
  options.base_backoff_seconds = c.base;
  options.max_backoff_seconds = c.max;
  options.backoff_randomness_seconds = c.randomness;
  GstStreamReader reader(1, server.url("/loop"), {}, options);
  if (std::isnan(first_frame_after(reader, 0, 20.0))) return t;
  log.clear();
  const double stop_ms = wall_ms();
  if (!server.command("stop")) return t;
  t.detect_s = (log.wait_for("new status HALTED", stop_ms, 30.0) - stop_ms) / 1000.0;
  sleep_s(down_s - (wall_ms() - stop_ms) / 1000.0);
  if (!server.command("start")) return t;
  const double back_ms = wall_ms();
  t.back_ms = back_ms;
  t.down_s = (back_ms - stop_ms) / 1000.0;
  const double frame_ms = first_frame_after(reader, back_ms, 90.0);
  reader.close();
  if (std::isnan(frame_ms)) return t;
  t.recovery_s = (frame_ms - back_ms) / 1000.0;
  // The restart that brought the stream back: the last one begun before its first frame.
  for (const auto& l : log.lines()) {
    if (l.text.find("Shutting the pipeline down") == std::string::npos) continue;
    ++t.restarts;
    if (l.ms > frame_ms) continue;
    if (l.ms >= back_ms) ++t.attempts_after_return;
    t.waiting_s = (l.ms - back_ms) / 1000.0;
    t.reconnect_s = (frame_ms - l.ms) / 1000.0;
    t.backoff_s = std::strtod(l.text.c_str() + l.text.find(' ') + 1, nullptr);
  }
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string md_path;
  bool smoke = false, verbose = false;
  int only = 0;  // 1-based index into the plan; 0 runs every trial
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--smoke") smoke = true;
    else if (args[i] == "--verbose") verbose = true;
    else if (args[i] == "--trial" && i + 1 < args.size()) only = std::stoi(args[++i]);
    else if (args[i] == "--md" && i + 1 < args.size()) md_path = args[++i];
    else {
      std::fprintf(stderr, "usage: bench_recovery [--smoke] [--md FILE] [--trial K] [--verbose]\n");
      return 2;
    }
  }
  auto log = std::make_shared<TimedLines>();
  // Only this sink: the status lines are the measurement, not console output.
  stream_log_sink()->set_sinks({log});
  stream_log_sink()->set_level(spdlog::level::info);
  gobject_init::start();
  ServerProcess server(exe_dir() + "/bench_server");

  std::vector<std::pair<Config, double>> plan;  // config, seconds the server stays away
  const Config fast{"base 0 s, max 0.5 s, jitter 0 s", 0.0, 0.5, 0.0};
  const Config mid{"base 1 s, max 8 s, jitter 1 s", 1.0, 8.0, 1.0};
  const Config production{"defaults: base 12 s, max 64 s, jitter 10 s", 12.0, 64.0, 10.0};
  if (smoke) {
    plan = {{fast, 1.0}};
  } else {
    plan = {{fast, 2.0}, {fast, 5.0}, {mid, 2.0}, {mid, 6.0}, {production, 3.0}};
  }
  if (only > 0 && only <= static_cast<int>(plan.size())) plan = {plan[only - 1]};
  std::vector<Trial> trials;
  for (const auto& [config, down] : plan) {
    trials.push_back(run_trial(server, *log, config, down));
    if (verbose) {
      // The reader's own lines since the server was stopped, for a trial that needs a look.
      std::fprintf(stderr, "%.3f server back\n", std::fmod(trials.back().back_ms / 1000.0, 1000.0));
      for (const auto& l : log->lines()) {
        std::fprintf(stderr, "%.3f %s\n", std::fmod(l.ms / 1000.0, 1000.0), l.text.c_str());
      }
    }
    const Trial& t = trials.back();
    std::printf("RESULT config=\"%s\" down_s=%.2f detect_s=%.3f backoff_s=%.3f waiting_s=%.3f "
                "reconnect_s=%.3f recovery_s=%.3f restarts=%d after_return=%d\n",
                t.config.c_str(), t.down_s, t.detect_s, t.backoff_s, t.waiting_s, t.reconnect_s,
                t.recovery_s, t.restarts, t.attempts_after_return);
    std::fflush(stdout);
  }

  std::ostringstream md;
  md << "## Recovery\n\n"
     << "One reader on the looped mount; the server is stopped (every client and session "
        "dropped), kept away, then started on the same port. Detection = stop to the reader's "
        "HALTED status; back-off in force = the wait that ended in the restart that brought "
        "the stream back (after a failure the reader first retries after 10 ms, then waits "
        "base + min(max, 2^n) + jitter, capped at max); recovery = the server's return to "
        "the first new frame = the part of that back-off still to run + the reconnection "
        "(restart to first frame). \"Attempts after return\" counts the restarts begun after "
        "the server was back, up to the first frame: more than one means an attempt against "
        "the running server failed and a whole further back-off was spent (run "
        "`bench_recovery --trial K --verbose` for the reader's log lines of a trial). A "
        "hand-written pipeline does not recover at all: it stays in its error state.\n\n"
     << "| back-off options | server away s | detection s | restarts | attempts after return | "
        "back-off in force s | back-off left at return s | reconnection s | recovery s |\n"
     << "|---|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  bool ok = true;
  for (const auto& t : trials) {
    md << "| " << t.config << " | " << num(t.down_s, 1) << " | " << num(t.detect_s, 3) << " | "
       << t.restarts << " | " << t.attempts_after_return << " | " << num(t.backoff_s, 2) << " | " << num(std::max(0.0, t.waiting_s), 3)
       << " | " << num(t.reconnect_s, 3) << " | " << num(t.recovery_s, 3) << " |\n";
    ok = ok && !std::isnan(t.recovery_s);
  }
  md << "\n";
  std::printf("%s", md.str().c_str());
  if (!md_path.empty()) std::ofstream(md_path) << md.str();
  return ok ? 0 : 1;
}
