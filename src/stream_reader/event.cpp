#include "strovix/event.hpp"

#include <chrono>

namespace strovix {

void Event::set() {
  {
    std::lock_guard lock(mutex_);
    flag_ = true;
  }
  cond_.notify_all();
}

void Event::clear() {
  std::lock_guard lock(mutex_);
  flag_ = false;
}

bool Event::is_set() const {
  std::lock_guard lock(mutex_);
  return flag_;
}

bool Event::wait() {
  std::unique_lock lock(mutex_);
  cond_.wait(lock, [this] { return flag_; });
  return true;
}

bool Event::wait(double timeout_seconds) {
  std::unique_lock lock(mutex_);
  if (!(timeout_seconds > 0)) return flag_;
  // Clamp so that a huge time-out cannot overflow the clock arithmetic.
  const double clamped = timeout_seconds < 1e9 ? timeout_seconds : 1e9;
  const auto deadline =
      std::chrono::steady_clock::now() +
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(clamped));
  return cond_.wait_until(lock, deadline, [this] { return flag_; });
}

}  // namespace strovix
