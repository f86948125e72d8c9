#pragma once
#include <atomic>
#include <memory>
#include <thread>

namespace strovix {

// A shared_ptr that any thread may load and store at the same time. Readers get their own
// reference, so an object they loaded stays alive after it is replaced.
//
// libstdc++ 12's std::atomic<std::shared_ptr> releases its internal lock bit with relaxed
// ordering after a load, which is a real (if benign on x86) race that ThreadSanitizer
// reports; this one uses acquire/release and never runs a destructor under its lock.
template <class T>
class AtomicSharedPtr {
 public:
  AtomicSharedPtr() = default;
  explicit AtomicSharedPtr(std::shared_ptr<T> value) : value_(std::move(value)) {}
  AtomicSharedPtr(const AtomicSharedPtr&) = delete;
  AtomicSharedPtr& operator=(const AtomicSharedPtr&) = delete;

  std::shared_ptr<T> load() const noexcept {
    Guard guard(lock_);
    return value_;
  }

  void store(std::shared_ptr<T> value) noexcept { exchange(std::move(value)); }

  // The previous value; its destruction, if it was the last owner, happens in the caller.
  std::shared_ptr<T> exchange(std::shared_ptr<T> value) noexcept {
    Guard guard(lock_);
    value_.swap(value);
    return value;
  }

 private:
  // Held only for a reference-count change and a pointer swap, so spinning is cheaper than
  // a mutex and never sleeps in the kernel.
  struct Guard {
    explicit Guard(std::atomic_flag& flag) noexcept : flag_(flag) {
      while (flag_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    }
    ~Guard() { flag_.clear(std::memory_order_release); }
    std::atomic_flag& flag_;
  };

  mutable std::atomic_flag lock_ = ATOMIC_FLAG_INIT;
  std::shared_ptr<T> value_;
};

}  // namespace strovix
