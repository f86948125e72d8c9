#pragma once
// A child process for tests of the command-line tools.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <vector>

extern char** environ;

namespace strovix::testing {

// A child process with its stdout and stderr read through pipes.
class Child {
 public:
  using Clock = std::chrono::steady_clock;

  // Runs `program` with `args`; `extra_env` ("NAME=value") is added to this process's
  // environment.
  Child(const std::string& program, const std::vector<std::string>& args,
        const std::vector<std::string>& extra_env = {}) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<std::string> argv_storage{program};
    argv_storage.insert(argv_storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_storage = extra_env;
    for (char** e = environ; *e; ++e) env_storage.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env_storage) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
  }
  ~Child() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) ::close(out_fd_);
    if (err_fd_ >= 0) ::close(err_fd_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Reads output until stdout contains `needle`; false when it does not within the time.
  bool wait_for_stdout(const std::string& needle, double timeout) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeout));
    while (out.find(needle) == std::string::npos) {
      if (Clock::now() >= deadline || (out_fd_ < 0 && err_fd_ < 0)) return false;
      pump(deadline);
    }
    return true;
  }

  void signal(int signo) { kill(pid_, signo); }

  // Reads all output and waits for the exit; the exit status, or -1 (and the child killed)
  // when it does not end in time or ends by a signal.
  int finish(double timeout) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeout));
    while ((out_fd_ >= 0 || err_fd_ >= 0) && Clock::now() < deadline) pump(deadline);
    int status = 0;
    while (Clock::now() < deadline) {
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      poll(nullptr, 0, 10);
    }
    return -1;
  }

  std::string out;
  std::string err;

 private:
  void pump(Clock::time_point deadline) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (poll(fds, 2, static_cast<int>(std::clamp<long long>(left.count(), 0, 100))) <= 0) return;
    read_from(fds[0], out_fd_, out);
    read_from(fds[1], err_fd_, err);
  }
  static void read_from(const pollfd& p, int& fd, std::string& into) {
    if (fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) return;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n > 0) {
      into.append(buf, static_cast<std::size_t>(n));
    } else {
      ::close(fd);
      fd = -1;
    }
  }

  pid_t pid_ = -1;
  bool exited_ = false;
  int out_fd_ = -1;
  int err_fd_ = -1;
};

}  // namespace strovix::testing
