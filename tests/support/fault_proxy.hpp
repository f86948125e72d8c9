#pragma once
// A TCP proxy on the loopback interface that injects network faults between a client (the
// reader) and a loopback server, switchable while connections are open.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace strovix::testing {

enum class ProxyMode {
  // Forward both ways.
  PASS,
  // Keep every socket open and forward nothing; new clients are accepted (and connected
  // upstream) but never answered. Data already read waits and flows again on PASS.
  STALL,
  // Close every open connection now, and every new one as soon as it is accepted.
  CUT,
  // Close new connections as soon as they are accepted; open ones keep flowing.
  REFUSE,
  // Forward both ways, flipping bits of one byte in every `corrupt_stride` bytes that flow
  // from the server to the client.
  CORRUPT,
};

std::string_view to_string(ProxyMode mode);

// Listens on 127.0.0.1 at an ephemeral port and relays every accepted connection to
// 127.0.0.1:upstream_port, on one thread of its own ("FaultProxy").
class FaultProxy {
 public:
  // Starts at once; throws std::runtime_error when it cannot listen.
  explicit FaultProxy(int upstream_port, int corrupt_stride = 61);
  // Closes every connection and joins the thread.
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  int port() const { return port_; }
  // "<scheme>://127.0.0.1:PORT<path>"
  std::string url(const std::string& scheme, const std::string& path) const;

  // Returns once the proxy thread has applied the mode (for CUT: closed the connections).
  void set_mode(ProxyMode mode);
  ProxyMode mode() const { return mode_.load(); }

  // Connections accepted so far, counting those closed at once.
  int accepted() const { return accepted_.load(); }
  // Connections closed at once because of CUT or REFUSE.
  int turned_away() const { return turned_away_.load(); }
  // Connections open now.
  int open_connections() const { return open_.load(); }
  std::uint64_t bytes_to_client() const { return bytes_to_client_.load(); }
  std::uint64_t bytes_corrupted() const { return bytes_corrupted_.load(); }
  // Waits until at least `count` connections have been accepted.
  bool wait_for_accepted(int count, double timeout_seconds) const;

 private:
  struct Connection;
  void run();
  void wake();

  const int upstream_port_;
  const int corrupt_stride_;
  int listen_fd_ = -1;
  int wake_fds_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<ProxyMode> mode_{ProxyMode::PASS};
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> turned_away_{0};
  std::atomic<int> open_{0};
  std::atomic<std::uint64_t> bytes_to_client_{0};
  std::atomic<std::uint64_t> bytes_corrupted_{0};
  // Guards requested_/applied_ (mode changes the thread has taken up) and accepted_ waits.
  mutable std::mutex mutex_;
  mutable std::condition_variable cond_;
  std::uint64_t requested_ = 0;
  std::uint64_t applied_ = 0;
  std::thread thread_;
};

}  // namespace strovix::testing
