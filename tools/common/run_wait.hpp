#pragma once
// What the run loop waits for: its signals (through a signalfd, as they are blocked in every
// thread) and changes in the folders of the files a fleet reads. A folder is watched
// rather than the file because a Kubernetes ConfigMap is updated by swapping a symlink
// ("..data") next to it, which leaves the file itself untouched.
#include <signal.h>

#include <string>
#include <vector>

#include "common/run_common.hpp"

namespace strovix::tools {

class RunWaiter {
 public:
  enum class Wake { deadline, stop, reload, changed };

  // `signals` must be blocked in every thread; SIGHUP among them asks for a reload, any other
  // for the end.
  explicit RunWaiter(const sigset_t& signals);
  ~RunWaiter();
  RunWaiter(const RunWaiter&) = delete;
  RunWaiter& operator=(const RunWaiter&) = delete;

  // Watches the folders of `files` from now on; returns why it cannot, or "". Best effort:
  // without inotify, SIGHUP still reloads.
  std::string watch(const std::vector<std::string>& files);

  // Blocks until a signal, a change in a watched folder, or the deadline.
  Wake wait_until(Clock::time_point deadline);

 private:
  sigset_t signals_;
  int signal_fd_ = -1;
  int inotify_fd_ = -1;
};

}  // namespace strovix::tools
