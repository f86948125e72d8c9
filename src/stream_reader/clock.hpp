#pragma once
// The reader's time-outs and its wall clock.
#include <string>

namespace strovix::detail {

inline constexpr int STATE_CHANGE_TIMEOUT = 30;
inline constexpr int FRAME_TIMEOUT = 120;

// Wall-clock seconds since the epoch.
double wall_clock_seconds() noexcept;

// The shortest text that reads back as the same double, with at least one digit after the
// decimal point: 0.01 -> "0.01", 64 -> "64.0".
std::string format_seconds(double seconds);

}  // namespace strovix::detail
