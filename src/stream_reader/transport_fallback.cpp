#include "stream_reader/transport_fallback.hpp"

#include <cstdio>

namespace strovix::detail {
namespace {

std::string percent(std::uint64_t part, std::uint64_t whole) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f", whole ? 100.0 * double(part) / double(whole) : 0.0);
  return text;
}

std::string seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f", value);
  return text;
}

}  // namespace

void TransportFallback::start_over(const TransportObservation& seen) {
  _started = true;
  _window.clear();
  _last_arrival = seen.now;
  _had_rtp = seen.counters.received > 0;
  _received = seen.counters.received;
  _frame = seen.last_frame;
  _lost_at_frame = seen.counters.lost;
}

std::optional<std::string> TransportFallback::observe(const TransportObservation& seen) {
  if (_fallen_back) return std::nullopt;
  if (!_started || seen.new_pipeline || !seen.counters.udp) {
    // Over TCP (forced, or rtspsrc's own choice) there is nothing to fall back from.
    start_over(seen);
    return std::nullopt;
  }
  const auto& c = seen.counters;
  if (c.received > _received) {
    _last_arrival = seen.now;
    _had_rtp = true;
  }
  _received = c.received;
  if (seen.last_frame != _frame) {
    _frame = seen.last_frame;
    _lost_at_frame = c.lost;
  }
  auto why = judge(seen);
  if (why) _fallen_back = true;
  return why;
}

std::optional<std::string> TransportFallback::judge(const TransportObservation& seen) {
  const auto& c = seen.counters;
  const double window = _settings.loss_window;
  _window.push_back({seen.now, c.received, c.lost});
  // Keep one sample at least a window old as the base of the measure.
  while (_window.size() > 2 && _window[1].time <= seen.now - window) _window.pop_front();
  const Sample& base = _window.front();
  const std::uint64_t lost = c.lost - base.lost;
  const std::uint64_t total = (c.received - base.received) + lost;
  const double span = seen.now - base.time;
  if (span >= window && total >= _settings.min_packets &&
      double(lost) > _settings.loss_threshold * double(total)) {
    return "lost " + std::to_string(lost) + " of " + std::to_string(total) + " RTP packets (" +
           percent(lost, total) + " %) in " + seconds(span) + " s";
  }
  if (!seen.playing) return std::nullopt;
  const double silent = seen.now - _last_arrival;
  if (_had_rtp && silent >= _settings.silence) {
    return "no RTP over UDP for " + seconds(silent) + " s (" + std::to_string(lost) + " of " +
           std::to_string(total) + " packets lost before, " + percent(lost, total) + " %)";
  }
  const double since = seen.now - (seen.last_frame ? *seen.last_frame : seen.pipeline_start);
  if (!seen.sparse_frames && c.lost > _lost_at_frame && since >= _settings.starvation) {
    return "lost " + std::to_string(c.lost - _lost_at_frame) +
           " RTP packets since the last intact frame, none for " + seconds(since) + " s (" +
           percent(lost, total) + " % of " + std::to_string(total) + " lost)";
  }
  return std::nullopt;
}

}  // namespace strovix::detail
