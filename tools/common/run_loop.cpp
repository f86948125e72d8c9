#include "common/run_loop.hpp"

#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <thread>

#include "strovix/event.hpp"

namespace strovix::tools {
namespace {

// Waits for a stop signal until `deadline`; returns whether one arrived.
bool wait_for_stop_signal(const sigset_t& signals, Clock::time_point deadline) {
  for (;;) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    if (sigtimedwait(&signals, nullptr, &timeout) > 0) return true;
    if (errno != EINTR && errno != EAGAIN) return false;
  }
}

}  // namespace

RunLoop::RunLoop(const sigset_t& stop_signals, std::optional<double> duration)
    : stop_signals_(stop_signals), start_(Clock::now()), last_tick_(start_) {
  // Beyond a century the end could overflow the clock.
  end_ = duration && *duration < 3.2e9 ? start_ + std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::duration<double>(*duration))
                                       : Clock::time_point::max();
}

bool RunLoop::run(const std::function<void(double interval)>& tick) {
  bool interrupted = false;
  for (auto next_tick = start_ + std::chrono::seconds(1);; next_tick += std::chrono::seconds(1)) {
    if (wait_for_stop_signal(stop_signals_, std::min(next_tick, end_))) {
      interrupted = true;
      break;
    }
    if (Clock::now() >= end_) break;
    const auto now = Clock::now();
    tick(std::chrono::duration<double>(now - last_tick_).count());
    last_tick_ = now;
  }
  pthread_sigmask(SIG_UNBLOCK, &stop_signals_, nullptr);
  return interrupted;
}

std::optional<double> RunLoop::closing_interval() const {
  const auto since = Clock::now() - last_tick_;
  if (since < std::chrono::milliseconds(100)) return std::nullopt;
  return std::chrono::duration<double>(since).count();
}

bool close_within(double seconds, std::function<void()> close) {
  auto closed = std::make_shared<Event>();
  std::thread closer([close = std::move(close), closed] {
    close();
    closed->set();
  });
  if (closed->wait(seconds)) {
    closer.join();
    return true;
  }
  closer.detach();
  return false;
}

void exit_now(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(status);
}

std::string one_line(std::string text) {
  for (auto& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

}  // namespace strovix::tools
