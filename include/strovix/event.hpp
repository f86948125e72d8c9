#pragma once
#include <condition_variable>
#include <mutex>

#include "strovix/export.hpp"

namespace strovix {

// Manual-reset event: stays set until clear() is called; every waiter wakes on set().
class STROVIX_EXPORT Event {
 public:
  void set();
  void clear();
  bool is_set() const;
  // Blocks until the event is set. Returns true.
  bool wait();
  // Blocks at most timeout_seconds; returns whether the event is set.
  bool wait(double timeout_seconds);

 private:
  // Guards flag_.
  mutable std::mutex mutex_;
  std::condition_variable cond_;
  bool flag_ = false;
};

}  // namespace strovix
