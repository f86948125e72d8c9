#pragma once
// What the single-camera run and the fleet share: exit statuses and clocks.
#include <chrono>

namespace strovix::tools {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitSetup = 3;
inline constexpr int kExitNoFrame = 4;

using Clock = std::chrono::steady_clock;

inline double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

inline double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace strovix::tools
