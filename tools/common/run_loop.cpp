#include "common/run_loop.hpp"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "strovix/event.hpp"
#include "strovix/redaction.hpp"

namespace strovix::tools {
namespace {

// A burst of folder events (an editor's temporary files, a ConfigMap's symlink swap) is read
// once, this long after its first event.
constexpr auto kSettleTime = std::chrono::milliseconds(200);

}  // namespace

RunLoop::RunLoop(const sigset_t& signals, std::optional<double> duration)
    : stop_signals_(signals), waiter_(signals), start_(Clock::now()), last_tick_(start_) {
  // Beyond a century the end could overflow the clock.
  end_ = duration && *duration < 3.2e9 ? start_ + std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::duration<double>(*duration))
                                       : Clock::time_point::max();
}

std::string RunLoop::watch(const std::vector<std::string>& files,
                           std::function<void(bool forced)> reload) {
  reload_ = std::move(reload);
  return waiter_.watch(files);
}

bool RunLoop::run(const std::function<void(double interval)>& tick) {
  using Wake = RunWaiter::Wake;
  bool interrupted = false;
  auto next_tick = start_ + std::chrono::seconds(1);
  auto reload_at = Clock::time_point::max();  // max(): none due
  for (;;) {
    const Wake wake = waiter_.wait_until(std::min({next_tick, end_, reload_at}));
    if (wake == Wake::stop) {
      interrupted = true;
      break;
    }
    if (wake == Wake::changed) {
      // Counted from the first event: a folder that never falls quiet still gets read.
      if (reload_at == Clock::time_point::max()) reload_at = Clock::now() + kSettleTime;
      continue;
    }
    if (wake == Wake::reload || Clock::now() >= reload_at) {
      if (reload_) reload_(wake == Wake::reload);
      reload_at = Clock::time_point::max();
      continue;
    }
    const auto now = Clock::now();
    if (now >= end_) break;
    if (now < next_tick) continue;
    tick(std::chrono::duration<double>(now - last_tick_).count());
    last_tick_ = now;
    next_tick += std::chrono::seconds(1);
    // After a long reload, one tick, not a burst of them.
    if (next_tick <= now) next_tick = now + std::chrono::seconds(1);
  }
  // A second Ctrl-C now ends the process at once; a late SIGHUP stays blocked.
  sigset_t stop_only = stop_signals_;
  sigdelset(&stop_only, SIGHUP);
  pthread_sigmask(SIG_UNBLOCK, &stop_only, nullptr);
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
  // Camera- and server-chosen text: nothing in it may drive the terminal.
  return escape_control(text);
}

}  // namespace strovix::tools
