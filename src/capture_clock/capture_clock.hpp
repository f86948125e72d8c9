#pragma once
// The camera's own clock: maps the RTP timestamps of a stream's frames to the camera's
// wall-clock (NTP) time through the newest RTCP sender report. Plain C++, no GStreamer: the
// arithmetic stands apart from the probes that feed it.
#include <array>
#include <cstdint>
#include <mutex>
#include <optional>

namespace strovix::detail {

class CaptureClock {
 public:
  // Seconds between the NTP epoch (1900) and the Unix epoch (1970).
  static constexpr std::uint64_t NTP_UNIX_OFFSET_S = 2208988800ULL;
  // Frames remembered between the depayloader's input and the appsink: a decoder's reorder
  // delay and the appsink's one buffer fit many times over.
  static constexpr std::size_t FRAME_SLOTS = 64;

  // A sender report of `ssrc`: its RTP time (extended or not; only the low 32 bits are used)
  // and its NTP time in nanoseconds since 1900. Replaces that source's mapping, so a camera
  // whose clock jumps gives the new time from its next report on. Reports without a clock
  // rate or with an invalid RTP time (rtpjitterbuffer passes -1) are ignored.
  // Runs on rtpbin's RTCP thread.
  void on_report(std::uint32_t ssrc, std::uint64_t rtp_time, std::uint64_t ntp_ns,
                 std::uint32_t clock_rate);
  // An RTP packet of `ssrc` with its RTP timestamp leaves the jitter buffer with `pts_ns`.
  // Packets of one frame share the RTP timestamp; their PTS may differ slightly, so a frame
  // remembers the range. Runs on a streaming thread.
  void on_packet(std::uint32_t ssrc, std::uint32_t rtp_time, std::uint64_t pts_ns);

  // Seconds since the Unix epoch on the camera's clock for the frame with that PTS (as it
  // reaches the appsink: decoders keep it), or nothing before the first report, for a PTS
  // not seen (older than FRAME_SLOTS frames) or without a report of its source.
  std::optional<double> capture_time(std::uint64_t pts_ns) const;
  // The same for an RTP timestamp of `ssrc`. The distance to the report's RTP time is taken
  // modulo 2^32 as a signed value: correct across the 32-bit wrap-around as long as frame and
  // report lie within 2^31 ticks (6.6 hours at 90 kHz) of each other.
  std::optional<double> capture_time_of_rtp(std::uint32_t ssrc, std::uint32_t rtp_time) const;

 private:
  struct Report {
    bool valid = false;
    std::uint32_t ssrc = 0;
    std::uint32_t rtp_time = 0;
    std::uint64_t ntp_ns = 0;
    std::uint32_t clock_rate = 0;
  };
  struct FrameSlot {
    bool valid = false;
    std::uint32_t ssrc = 0;
    std::uint32_t rtp_time = 0;
    std::uint64_t pts_min = 0;
    std::uint64_t pts_max = 0;
  };
  std::optional<double> map_locked(std::uint32_t ssrc, std::uint32_t rtp_time) const;

  // Guards everything below; held for a few comparisons only, never across a call out.
  mutable std::mutex _mutex;
  // One report per source (a camera's video and audio have one each); the oldest goes.
  std::array<Report, 4> _reports{};
  std::size_t _next_report = 0;
  std::array<FrameSlot, FRAME_SLOTS> _frames{};
  std::size_t _last_frame = FRAME_SLOTS - 1;
};

}  // namespace strovix::detail
