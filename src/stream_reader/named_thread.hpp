#pragma once
// Named background threads whose escaping exceptions are reported, not fatal.
#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace strovix::detail {

// Starts `body` on a thread with that name (shortened for the OS). An exception that escapes
// `body` ends the thread and is reported on stderr with the full name.
std::thread start_named_thread(std::string name, std::function<void()> body);

// Simulated thread exhaustion: -1 never fails; n >= 0 lets n more thread starts
// succeed, then makes the next one throw std::system_error (EAGAIN) and goes back to -1.
extern std::atomic<int> thread_starts_before_failure;

}  // namespace strovix::detail
