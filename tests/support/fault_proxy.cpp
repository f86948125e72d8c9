#include "support/fault_proxy.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <memory>
#include <stdexcept>
#include <vector>

namespace strovix::testing {
namespace {

// Bytes read from one side and not yet written to the other; beyond this the proxy stops
// reading that side, so a client that does not read slows its server down as TCP would.
constexpr std::size_t kBufferCap = 1 << 20;
constexpr std::size_t kReadChunk = 64 * 1024;
// The thread re-checks for shutdown at least this often even without a wake-up.
constexpr int kPollMs = 200;

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

bool set_nonblocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

std::string_view to_string(ProxyMode mode) {
  switch (mode) {
    case ProxyMode::PASS: return "pass";
    case ProxyMode::STALL: return "stall";
    case ProxyMode::CUT: return "cut";
    case ProxyMode::REFUSE: return "refuse";
    case ProxyMode::CORRUPT: return "corrupt";
  }
  return "?";
}

// One relayed connection: side 0 is the client, side 1 the server. pending[i] holds what was
// read from side i and still has to be written to the other side.
struct FaultProxy::Connection {
  int fd[2] = {-1, -1};
  std::string pending[2];
  bool eof[2] = {false, false};
  std::uint64_t to_client_offset = 0;
  ~Connection() {
    close_fd(fd[0]);
    close_fd(fd[1]);
  }
};

FaultProxy::FaultProxy(int upstream_port, int corrupt_stride)
    : upstream_port_(upstream_port), corrupt_stride_(corrupt_stride > 1 ? corrupt_stride : 2) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listen_fd_ < 0) throw std::runtime_error("fault proxy: socket() failed");
  const int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr = loopback(0);
  socklen_t len = sizeof(addr);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::listen(listen_fd_, 64) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::pipe2(wake_fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
    const std::string why = std::strerror(errno);
    close_fd(listen_fd_);
    close_fd(wake_fds_[0]);
    close_fd(wake_fds_[1]);
    throw std::runtime_error("fault proxy: cannot listen on 127.0.0.1: " + why);
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { run(); });
  pthread_setname_np(thread_.native_handle(), "FaultProxy");
}

FaultProxy::~FaultProxy() {
  stopping_.store(true);
  wake();
  if (thread_.joinable()) thread_.join();
  close_fd(listen_fd_);
  close_fd(wake_fds_[0]);
  close_fd(wake_fds_[1]);
}

std::string FaultProxy::url(const std::string& scheme, const std::string& path) const {
  return scheme + "://127.0.0.1:" + std::to_string(port_) + path;
}

void FaultProxy::wake() {
  const char byte = 1;
  // A full pipe already guarantees a wake-up.
  [[maybe_unused]] const auto n = ::write(wake_fds_[1], &byte, 1);
}

void FaultProxy::set_mode(ProxyMode mode) {
  std::unique_lock lock(mutex_);
  mode_.store(mode);
  const std::uint64_t ticket = ++requested_;
  wake();
  if (!cond_.wait_for(lock, std::chrono::seconds(10), [&] { return applied_ >= ticket; })) {
    throw std::runtime_error("fault proxy: the proxy thread did not take up the mode change");
  }
}

bool FaultProxy::wait_for_accepted(int count, double timeout_seconds) const {
  std::unique_lock lock(mutex_);
  return cond_.wait_for(lock, std::chrono::duration<double>(timeout_seconds),
                        [&] { return accepted_.load() >= count; });
}

void FaultProxy::run() {
  std::list<std::unique_ptr<Connection>> connections;
  std::vector<pollfd> fds;
  std::vector<Connection*> owners;  // owners[i]: the connection of fds[i] (null: listen/wake)
  std::vector<char> chunk(kReadChunk);
  std::uint64_t seen = 0;

  auto drop_all = [&] {
    connections.clear();
    open_.store(0);
  };

  while (!stopping_.load()) {
    // Take up mode changes first, so a CUT closes before anything else is forwarded.
    {
      std::lock_guard lock(mutex_);
      if (requested_ != seen) {
        seen = requested_;
        if (mode_.load() == ProxyMode::CUT) drop_all();
        applied_ = seen;
        cond_.notify_all();
      }
    }
    const ProxyMode mode = mode_.load();
    const bool flowing = mode != ProxyMode::STALL;

    fds.clear();
    owners.clear();
    fds.push_back({wake_fds_[0], POLLIN, 0});
    owners.push_back(nullptr);
    fds.push_back({listen_fd_, POLLIN, 0});
    owners.push_back(nullptr);
    for (auto& c : connections) {
      for (int side = 0; side < 2; ++side) {
        short events = 0;
        if (flowing) {
          if (!c->eof[side] && c->pending[side].size() < kBufferCap) events |= POLLIN;
          if (!c->pending[1 - side].empty()) events |= POLLOUT;
        } else if (side == 0) {
          // Stalled: only notice a client that gives up, so its sockets are not kept.
          events = POLLRDHUP;
        }
        fds.push_back({c->fd[side], events, 0});
        owners.push_back(c.get());
      }
    }
    const int ready = ::poll(fds.data(), fds.size(), kPollMs);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;

    if (fds[0].revents & POLLIN) {
      char sink[64];
      while (::read(wake_fds_[0], sink, sizeof(sink)) > 0) {
      }
    }

    std::vector<Connection*> dead;
    for (std::size_t i = 2; i < fds.size(); ++i) {
      Connection* c = owners[i];
      const int side = fds[i].fd == c->fd[0] ? 0 : 1;
      const short revents = fds[i].revents;
      if (!revents) continue;
      if (!flowing) {
        if (revents & (POLLRDHUP | POLLHUP | POLLERR)) dead.push_back(c);
        continue;
      }
      if (revents & POLLOUT) {
        std::string& out = c->pending[1 - side];
        const ssize_t n = ::send(c->fd[side], out.data(), out.size(), MSG_NOSIGNAL);
        if (n > 0) {
          if (side == 0) bytes_to_client_.fetch_add(static_cast<std::uint64_t>(n));
          out.erase(0, static_cast<std::size_t>(n));
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
          dead.push_back(c);
          continue;
        }
      }
      if (revents & (POLLIN | POLLHUP | POLLERR)) {
        const ssize_t n = ::recv(c->fd[side], chunk.data(), chunk.size(), 0);
        if (n > 0) {
          if (side == 1 && mode == ProxyMode::CORRUPT) {
            for (ssize_t k = 0; k < n; ++k, ++c->to_client_offset) {
              if (c->to_client_offset % static_cast<std::uint64_t>(corrupt_stride_) ==
                  static_cast<std::uint64_t>(corrupt_stride_ - 1)) {
                chunk[static_cast<std::size_t>(k)] ^= 0x5A;
                bytes_corrupted_.fetch_add(1);
              }
            }
          } else if (side == 1) {
            c->to_client_offset += static_cast<std::uint64_t>(n);
          }
          c->pending[side].append(chunk.data(), static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
          c->eof[side] = true;
        }
      }
      // One side has gone and everything it sent has been delivered: end the relay.
      for (int s = 0; s < 2; ++s) {
        if (c->eof[s] && c->pending[s].empty()) {
          dead.push_back(c);
          break;
        }
      }
    }
    if (!dead.empty()) {
      connections.remove_if([&](const std::unique_ptr<Connection>& c) {
        for (Connection* d : dead) {
          if (d == c.get()) return true;
        }
        return false;
      });
      open_.store(static_cast<int>(connections.size()));
    }

    if (fds[1].revents & POLLIN) {
      // Bounded: the backlog holds at most 64 waiting clients.
      for (int k = 0; k < 64; ++k) {
        const int client = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0) break;
        {
          std::lock_guard lock(mutex_);
          accepted_.fetch_add(1);
          cond_.notify_all();
        }
        if (mode == ProxyMode::CUT || mode == ProxyMode::REFUSE) {
          ::close(client);
          turned_away_.fetch_add(1);
          continue;
        }
        auto c = std::make_unique<Connection>();
        c->fd[0] = client;
        c->fd[1] = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in up = loopback(upstream_port_);
        // A blocking connect on loopback completes or fails at once.
        if (c->fd[1] < 0 ||
            ::connect(c->fd[1], reinterpret_cast<const sockaddr*>(&up), sizeof(up)) != 0 ||
            !set_nonblocking(c->fd[1])) {
          continue;  // the client sees its connection closed, as with a dead server
        }
        const int one = 1;
        setsockopt(c->fd[0], IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        setsockopt(c->fd[1], IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        connections.push_back(std::move(c));
        open_.store(static_cast<int>(connections.size()));
      }
    }
  }
  drop_all();
}

}  // namespace strovix::testing
