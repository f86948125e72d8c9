#pragma once
// What the single-camera run prints: its start, a status line a second and the summary, as
// text or as one JSON object a line.
#include <cstdint>
#include <string>
#include <vector>

#include "strovix/frame.hpp"
#include "strovix/stream_reader/gst.hpp"

namespace strovix::tools {

// The median, or NaN for no values.
double median(std::vector<double> values);

struct Report {
  bool json = false;
  bool quiet = false;

  void line(const std::string& text) const;
  void start(const std::string& source, const std::string& note) const;
  // `capture_latency`: the median over this interval's frames (seconds), NaN when unknown.
  // `stats`: the reader's, for its restarts and losses.
  void status(double elapsed, StreamStatus status, double fps, std::uint64_t frames,
              const Frame& newest, const StreamStats& stats, double capture_latency) const;
  void summary(const std::string& source, double duration, double wall, std::uint64_t frames,
               double first_frame_after, std::size_t restarts, StreamStatus last_status,
               bool interrupted, const std::string& snapshot,
               const std::vector<double>& capture_latencies) const;
};

}  // namespace strovix::tools
