#pragma once
// Shared pieces of the stream benchmarks: the bench server child process, the time stamp
// painted into frames, the hand-written appsink pipeline, process figures and statistics.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "strovix/event.hpp"
#include "strovix/gst/handles.hpp"
#include "strovix/gst/sample_convert.hpp"

namespace strovix::bench {

// ---- clocks ------------------------------------------------------------------------------

// Wall-clock milliseconds since the epoch (the clock the server paints and readers stamp).
double wall_ms();
// Monotonic seconds.
double mono_s();
void sleep_s(double seconds);

// ---- painted time stamp -------------------------------------------------------------------

// 48 bits of a millisecond time stamp in 16x16 blocks (macroblock-aligned, so encoding keeps
// them flat): row 0 holds the high 24 bits, row 1 the low 24, row 2 the complement of their
// XOR, which rejects a frame whose blocks did not survive.
inline constexpr int kStampBlock = 16;
inline constexpr int kStampBits = 24;
inline constexpr int kStampWidth = kStampBlock * kStampBits;
inline constexpr int kStampHeight = kStampBlock * 3;

// Paints `value` (48 bits) into an I420 frame at least kStampWidth x kStampHeight.
void paint_stamp_i420(GstVideoFrame* frame, std::uint64_t value);
// Reads the value back from a BGR image; nullopt when the check row does not match.
std::optional<std::uint64_t> read_stamp_bgr(const std::uint8_t* data, std::size_t stride,
                                            int width, int height);

// ---- processes ----------------------------------------------------------------------------

// CPU seconds (user + system) of this process, microsecond resolution.
double self_cpu_s();
// Voluntary context switches of this process (every thread): each is a sleep and a wake-up.
long self_voluntary_switches();
// CPU seconds of another process from /proc (clock-tick resolution); -1 when gone.
double proc_cpu_s(pid_t pid);
// Resident set of this process, KiB.
long self_rss_kib();
// Directory of this executable (sibling programs live there).
std::string exe_dir();

// The bench server program, started as a child process. It prints "PORT <rtsp> <live>" and
// takes "stop", "start" and "quit" lines on its standard input; it ends when that closes.
class ServerProcess {
 public:
  // Throws std::runtime_error when the program does not start or report its ports in 30 s.
  explicit ServerProcess(const std::string& program);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  int port() const { return port_; }
  int live_port() const { return live_port_; }
  pid_t pid() const { return pid_; }
  std::string url(const std::string& path) const;
  std::string live_url() const;
  // Sends a command and waits (bounded) for its "OK" line.
  bool command(const std::string& line, double timeout_s = 20.0);
  double cpu_s() const { return proc_cpu_s(pid_); }

 private:
  std::string read_line(double timeout_s);
  pid_t pid_ = -1;
  int to_child_ = -1;
  int from_child_ = -1;
  int port_ = 0;
  int live_port_ = 0;
  std::string buffered_;
};

// Runs a command line and returns its standard output; the child's stderr passes through.
std::string run_capture(const std::vector<std::string>& argv, int* exit_code);

// ---- the hand-written pipeline ------------------------------------------------------------

// A pipeline description pulled by a thread of its own that keeps only the newest sample,
// the way a host without this library would write it. When the element named "sink" is not
// an appsink (a receive-only fakesink), its buffers are counted by a probe instead.
class HandPipeline {
 public:
  // `description` names its appsink "sink". `keyframe_probe_on` names an element whose src
  // pad gets the keyframe-only probe. Throws std::runtime_error when it does not build.
  explicit HandPipeline(const std::string& description, const std::string& keyframe_probe_on = "");
  ~HandPipeline();
  HandPipeline(const HandPipeline&) = delete;
  HandPipeline& operator=(const HandPipeline&) = delete;

  // The newest sample and the wall-clock ms when it was pulled (null before the first).
  SamplePtr latest(double* pulled_ms = nullptr);
  std::uint64_t frames() const { return frames_.load(); }
  bool eos() const { return eos_.load(); }
  // Set for every pulled sample, like the reader's new_frame_event.
  std::shared_ptr<Event> new_frame_event() const { return event_; }
  GstElement* element() const { return pipeline_; }

 private:
  void pull_loop();
  void count_one();
  GstElement* pipeline_ = nullptr;
  GstAppSink* sink_ = nullptr;  // null for a sink that is not an appsink
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> eos_{false};
  std::atomic<std::uint64_t> frames_{0};
  std::shared_ptr<Event> event_ = std::make_shared<Event>();
  std::mutex mutex_;
  SamplePtr latest_;
  double latest_ms_ = 0;
};

// ---- statistics ---------------------------------------------------------------------------

// The q-quantile (0..1) by linear interpolation; NaN for no values.
double quantile(std::vector<double> values, double q);
double max_of(const std::vector<double>& values);

// A table cell: "%.*f", or "n/a" for NaN.
std::string num(double value, int decimals);
// "1.23x", or "n/a".
std::string ratio(double numerator, double denominator);

// Parses "key=value" tokens from a result line.
std::optional<double> field(const std::string& line, const std::string& key);

// Creates and drops the elements of the stream pipelines once, so their plugins are mapped
// before a memory baseline is taken.
void preload_plugins();

}  // namespace strovix::bench
