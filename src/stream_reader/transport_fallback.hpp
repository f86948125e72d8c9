#pragma once
// When a stream read over UDP should be read over TCP instead. Pure bookkeeping: the caller
// hands in what it observed and when, so any clock (a test's included) drives it.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "stream_reader/rtp_counters.hpp"

namespace strovix::detail {

struct FallbackSettings {
  // More than this share of the packets lost over loss_window seconds, counted once the
  // window holds at least min_packets.
  double loss_threshold = 0.01;
  double loss_window = 10.0;
  std::uint64_t min_packets = 100;
  // No RTP at all for this long while the pipeline plays and had RTP before.
  double silence = 3.0;
  // Packets lost since the last frame and no frame for this long: the loss keeps the stream
  // from an intact picture.
  double starvation = 3.0;
};

struct TransportObservation {
  double now = 0.0;
  RtpCounters counters;
  // The pipeline differs from the one of the previous observation.
  bool new_pipeline = false;
  // Status STREAMING and the pipeline PLAYING: only then is silence a fault.
  bool playing = false;
  // When the newest frame of this pipeline was delivered; none before the first.
  std::optional<double> last_frame;
  double pipeline_start = 0.0;
  // Keyframe-only streaming: frames are a GOP apart by choice, so a long wait for one says
  // nothing about loss.
  bool sparse_frames = false;
};

class TransportFallback {
 public:
  explicit TransportFallback(FallbackSettings settings = {}) : _settings(settings) {}

  // Returns why the stream must change to TCP, with the loss measured, the first time it
  // must; none otherwise, and none ever after (the change is for the reader's life).
  std::optional<std::string> observe(const TransportObservation& seen);
  bool fallen_back() const { return _fallen_back; }

 private:
  struct Sample {
    double time;
    std::uint64_t received;
    std::uint64_t lost;
  };
  void start_over(const TransportObservation& seen);
  std::optional<std::string> judge(const TransportObservation& seen);

  const FallbackSettings _settings;
  bool _fallen_back = false;
  bool _started = false;
  std::deque<Sample> _window;
  // When the received count last grew, and the counts at the last look.
  double _last_arrival = 0.0;
  bool _had_rtp = false;
  std::uint64_t _received = 0;
  // The newest frame seen and the lost count then.
  std::optional<double> _frame;
  std::uint64_t _lost_at_frame = 0;
};

}  // namespace strovix::detail
