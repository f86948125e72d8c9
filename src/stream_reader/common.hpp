#pragma once
// Module constants and small helpers shared by the reader's per-stream objects.
#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace strovix::detail {

inline constexpr int STATE_CHANGE_TIMEOUT = 30;
inline constexpr int FRAME_TIMEOUT = 120;

// Wall-clock seconds since the epoch.
double wall_clock_seconds() noexcept;

// The shortest text that reads back as the same double, with at least one digit after the
// decimal point: 0.01 -> "0.01", 64 -> "64.0".
std::string format_seconds(double seconds);

void sleep_seconds(double seconds);

// Starts `body` on a thread with that name (shortened for the OS). An exception that escapes
// `body` ends the thread and is reported on stderr with the full name.
std::thread start_named_thread(std::string name, std::function<void()> body);

// Seam for tests of thread exhaustion: -1 never fails; n >= 0 lets n more thread starts
// succeed, then makes the next one throw std::system_error (EAGAIN) and goes back to -1.
extern std::atomic<int> thread_starts_before_failure;

}  // namespace strovix::detail
