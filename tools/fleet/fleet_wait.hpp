#pragma once
// What the fleet's main loop waits for: its signals (through a signalfd, as they are blocked
// in every thread) and changes in the folders of the files it reads. A folder is watched
// rather than the file because a Kubernetes ConfigMap is updated by swapping a symlink
// ("..data") next to it, which leaves the file itself untouched.
#include <signal.h>

#include <string>
#include <vector>

#include "common/run_common.hpp"

namespace strovix::tools {

class FleetWaiter {
 public:
  enum class Wake { deadline, stop, reload, changed };

  // `signals` must be blocked in every thread; SIGHUP among them asks for a reload, any other
  // for the end. Watching is best effort: without inotify, SIGHUP still reloads.
  FleetWaiter(const sigset_t& signals, const std::vector<std::string>& files);
  ~FleetWaiter();
  FleetWaiter(const FleetWaiter&) = delete;
  FleetWaiter& operator=(const FleetWaiter&) = delete;

  // Blocks until a signal, a change in a watched folder, or the deadline.
  Wake wait_until(Clock::time_point deadline);

  // Why the folders are not watched, or empty.
  const std::string& watch_problem() const { return watch_problem_; }

 private:
  sigset_t signals_;
  int signal_fd_ = -1;
  int inotify_fd_ = -1;
  std::string watch_problem_;
};

}  // namespace strovix::tools
