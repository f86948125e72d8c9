#include "capture_clock/capture_clock.hpp"

namespace strovix::detail {

void CaptureClock::on_report(std::uint32_t ssrc, std::uint64_t rtp_time, std::uint64_t ntp_ns,
                             std::uint32_t clock_rate) {
  if (clock_rate == 0 || rtp_time == UINT64_MAX || ntp_ns == 0) return;
  std::lock_guard lock(_mutex);
  Report* slot = nullptr;
  for (auto& r : _reports) {
    if (r.valid && r.ssrc == ssrc) slot = &r;
  }
  if (!slot) {
    slot = &_reports[_next_report];
    _next_report = (_next_report + 1) % _reports.size();
  }
  *slot = Report{true, ssrc, static_cast<std::uint32_t>(rtp_time), ntp_ns, clock_rate};
}

void CaptureClock::on_packet(std::uint32_t ssrc, std::uint32_t rtp_time, std::uint64_t pts_ns) {
  std::lock_guard lock(_mutex);
  FrameSlot& last = _frames[_last_frame];
  if (last.valid && last.ssrc == ssrc && last.rtp_time == rtp_time) {
    if (pts_ns < last.pts_min) last.pts_min = pts_ns;
    if (pts_ns > last.pts_max) last.pts_max = pts_ns;
    return;
  }
  _last_frame = (_last_frame + 1) % FRAME_SLOTS;
  _frames[_last_frame] = FrameSlot{true, ssrc, rtp_time, pts_ns, pts_ns};
}

std::optional<double> CaptureClock::map_locked(std::uint32_t ssrc, std::uint32_t rtp_time) const {
  for (const auto& r : _reports) {
    if (!r.valid || r.ssrc != ssrc) continue;
    const auto ticks = static_cast<std::int32_t>(rtp_time - r.rtp_time);
    // In integers first: a double of the full NTP time keeps only microseconds.
    const auto unix_ns = static_cast<std::int64_t>(r.ntp_ns) -
                         static_cast<std::int64_t>(NTP_UNIX_OFFSET_S * 1000000000ULL);
    return static_cast<double>(unix_ns) * 1e-9 +
           static_cast<double>(ticks) / static_cast<double>(r.clock_rate);
  }
  return std::nullopt;
}

std::optional<double> CaptureClock::capture_time_of_rtp(std::uint32_t ssrc,
                                                        std::uint32_t rtp_time) const {
  std::lock_guard lock(_mutex);
  return map_locked(ssrc, rtp_time);
}

std::optional<double> CaptureClock::capture_time(std::uint64_t pts_ns) const {
  std::lock_guard lock(_mutex);
  // Newest first: after a restart of the stream's timeline the newest frame wins.
  for (std::size_t i = 0; i < FRAME_SLOTS; ++i) {
    const FrameSlot& f = _frames[(_last_frame + FRAME_SLOTS - i) % FRAME_SLOTS];
    if (f.valid && pts_ns >= f.pts_min && pts_ns <= f.pts_max)
      return map_locked(f.ssrc, f.rtp_time);
  }
  return std::nullopt;
}

}  // namespace strovix::detail
