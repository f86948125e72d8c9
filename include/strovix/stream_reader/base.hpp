#pragma once
#include <memory>
#include <string_view>

#include "strovix/export.hpp"
#include "strovix/frame.hpp"

namespace strovix {

enum class StreamStatus { INITIALIZING, STREAMING, HALTED, CLOSED };

// Text form used in log lines: "INITIALIZING", "STREAMING", "HALTED", "CLOSED".
STROVIX_EXPORT std::string_view to_string(StreamStatus status) noexcept;

class STROVIX_EXPORT StreamReader {
 public:
  // rtspsrc jitter-buffer latency in milliseconds. Cameras on a LAN deliver with a few ms of
  // jitter; 200 ms absorbs Wi-Fi and WAN bursts and a B-frame-free GOP reorder while keeping
  // the frame handed to analytics fresh (rtspsrc's own default of 2000 ms is made for smooth
  // playback, not freshness).
  static constexpr int DEFAULT_LATENCY = 200;

  virtual ~StreamReader() = default;
};

}  // namespace strovix
