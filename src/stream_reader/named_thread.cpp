#include "stream_reader/named_thread.hpp"

#include <pthread.h>

#include <cerrno>
#include <exception>
#include <system_error>

#include "strovix/logger.hpp"

namespace strovix::detail {

std::atomic<int> thread_starts_before_failure{-1};

std::thread start_named_thread(std::string name, std::function<void()> body) {
  for (int n = thread_starts_before_failure.load(); n >= 0;) {
    const int next = n == 0 ? -1 : n - 1;
    if (!thread_starts_before_failure.compare_exchange_weak(n, next)) continue;
    if (n == 0) throw std::system_error(EAGAIN, std::generic_category(), "thread creation failed");
    break;
  }
  std::thread thread([name, body = std::move(body)] {
    try {
      body();
    } catch (const std::exception& e) {
      library_logger()->error("Exception in thread " + name + ": " + e.what());
    } catch (...) {
      library_logger()->error("Exception in thread " + name + ": unknown error");
    }
  });
  // Linux limits thread names to 15 characters.
  pthread_setname_np(thread.native_handle(), name.substr(0, 15).c_str());
  return thread;
}

}  // namespace strovix::detail
