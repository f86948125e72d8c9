#include "read/read_report.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common/json.hpp"
#include "common/run_common.hpp"

namespace strovix::tools {
namespace {

std::string json_ms_or_null(double seconds) {
  return std::isfinite(seconds) ? json_number(seconds * 1000.0, "%.1f") : "null";
}

}  // namespace

double median(std::vector<double> values) {
  if (values.empty()) return NAN;
  const std::size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + mid, values.end());
  const double upper = values[mid];
  if (values.size() % 2 == 1) return upper;
  return (*std::max_element(values.begin(), values.begin() + mid) + upper) / 2.0;
}

void Report::line(const std::string& text) const {
  std::fputs(text.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void Report::start(const std::string& source, const std::string& note) const {
  if (quiet) return;
  if (json) {
    line("{\"type\":\"start\",\"source\":" + json_string(source) + "}");
  } else {
    line("strovix-read: reading " + source + note + "; Ctrl-C to stop");
  }
}

void Report::status(double elapsed, StreamStatus status, double fps, std::uint64_t frames,
                    const Frame& newest, const StreamStats& stats, double capture_latency) const {
  if (quiet) return;
  const std::size_t restarts = stats.restarts;
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
            ",\"packets_lost\":" + std::to_string(stats.packets_lost) +
            ",\"frames_damaged_dropped\":" + std::to_string(stats.frames_damaged_dropped) +
            ",\"capture_latency_ms\":" + json_ms_or_null(capture_latency) +
            ",\"transport\":" + (stats.transport.empty() ? "null" : json_string(stats.transport)) +
            "}";
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
  if (!stats.transport.empty()) text += "  " + stats.transport;
  // Only a lossy stream gets the loss figures: the line stays short where nothing is lost.
  if (stats.packets_lost > 0 || stats.frames_damaged_dropped > 0) {
    std::snprintf(buf, sizeof(buf), "  lost %llu packets, %llu damaged frames held back",
                  static_cast<unsigned long long>(stats.packets_lost),
                  static_cast<unsigned long long>(stats.frames_damaged_dropped));
    text += buf;
  }
  if (std::isfinite(capture_latency)) {
    std::snprintf(buf, sizeof(buf), "  camera\u2192frame %.0f ms", capture_latency * 1000.0);
    text += buf;
  }
  line(text);
}

void Report::summary(const std::string& source, double duration, double wall, std::uint64_t frames,
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

}  // namespace strovix::tools
