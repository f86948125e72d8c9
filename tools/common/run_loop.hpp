#pragma once
// The run of strovix-read, one camera or a list: a tick a second until the duration ends or
// SIGINT/SIGTERM (blocked by main) arrives, then closing within a bound. A fleet also rereads
// its list on SIGHUP and when the list's folder changes.
#include <signal.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/run_common.hpp"
#include "common/run_wait.hpp"

namespace strovix::tools {

class RunLoop {
 public:
  // The run starts now; no duration (or one beyond a century) runs until a stop signal.
  // SIGHUP among `signals` asks for a reload (see watch), every other signal for the end.
  RunLoop(const sigset_t& signals, std::optional<double> duration);

  // Before run(): calls reload(forced) between ticks on SIGHUP (forced) and, 200 ms after the
  // first of a burst of changes in the folders of `files`, unforced. Returns why the folders cannot
  // be watched, or "".
  std::string watch(const std::vector<std::string>& files, std::function<void(bool forced)> reload);

  // Calls tick(interval) once a second, `interval` being the seconds since the previous tick,
  // until the end. Afterwards a second stop signal ends the process at once. Returns whether
  // a stop signal ended the run.
  bool run(const std::function<void(double interval)>& tick);

  Clock::time_point start() const { return start_; }
  // The seconds since the last tick when the end came long enough after it (100 ms) for a
  // last report to tell something new.
  std::optional<double> closing_interval() const;

 private:
  const sigset_t& stop_signals_;
  RunWaiter waiter_;
  std::function<void(bool forced)> reload_;
  Clock::time_point start_;
  Clock::time_point end_;
  Clock::time_point last_tick_;
};

// Runs `close` on a thread of its own and waits up to `seconds` for it, so that a stream stuck
// in a back-off or a rebuild cannot hold the run past its duration. Returns true when it
// returned in time. Otherwise the thread keeps running: the caller must not destroy what
// `close` uses and ends with exit_now().
bool close_within(double seconds, std::function<void()> close);

// Flushes stdout and stderr and ends the process with `status`, leaving the rest of the
// teardown to the process exit.
[[noreturn]] void exit_now(int status);

// `text` with its line breaks as spaces and its control characters escaped, for one line of a
// report.
std::string one_line(std::string text);

}  // namespace strovix::tools
