#include "common/run_wait.hpp"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

namespace strovix::tools {
namespace {

std::string folder_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

RunWaiter::RunWaiter(const sigset_t& signals) : signals_(signals) {
  signal_fd_ = signalfd(-1, &signals_, SFD_CLOEXEC | SFD_NONBLOCK);
}

std::string RunWaiter::watch(const std::vector<std::string>& files) {
  if (inotify_fd_ < 0) inotify_fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotify_fd_ < 0) return std::string("inotify: ") + std::strerror(errno);
  std::string problem;
  std::set<std::string> folders;
  for (const auto& file : files) folders.insert(folder_of(file));
  for (const auto& folder : folders) {
    // Writes that finish, renames and deletions; not every write, which would see a file
    // half-written.
    if (inotify_add_watch(inotify_fd_, folder.c_str(),
                          IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE) <
        0) {
      problem = "cannot watch " + folder + ": " + std::strerror(errno);
    }
  }
  return problem;
}

RunWaiter::~RunWaiter() {
  if (signal_fd_ >= 0) ::close(signal_fd_);
  if (inotify_fd_ >= 0) ::close(inotify_fd_);
}

RunWaiter::Wake RunWaiter::wait_until(Clock::time_point deadline) {
  for (;;) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return Wake::deadline;
    // Rounded up, so that a wait never ends just before its deadline.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    // A negative descriptor (no inotify) is skipped by poll.
    pollfd fds[2] = {{signal_fd_, POLLIN, 0}, {inotify_fd_, POLLIN, 0}};
    const int ready = poll(fds, 2, static_cast<int>(std::min<long long>(ms, 60000)));
    if (ready < 0 && errno != EINTR) return Wake::deadline;
    if (ready <= 0) continue;
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      if (::read(signal_fd_, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
        return info.ssi_signo == SIGHUP ? Wake::reload : Wake::stop;
      }
    }
    if (fds[1].revents & POLLIN) {
      // The events themselves do not matter: the caller rereads and compares.
      alignas(inotify_event) char buf[4096];
      while (::read(inotify_fd_, buf, sizeof(buf)) > 0) {
      }
      return Wake::changed;
    }
  }
}

}  // namespace strovix::tools
