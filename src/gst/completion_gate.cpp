#include "strovix/gst/completion_gate.hpp"

#include <exception>
#include <string>

#include "strovix/logger.hpp"

namespace strovix {

void CompletionGate::mark_complete() {
  std::unique_lock lock(mutex_);
  complete_ = true;
  maybe_fire(lock);
}

void CompletionGate::mark_published() {
  std::unique_lock lock(mutex_);
  published_ = true;
  maybe_fire(lock);
}

void CompletionGate::maybe_fire(std::unique_lock<std::mutex>& lock) {
  if (!complete_ || !published_ || fired_) return;
  fired_ = true;
  lock.unlock();
  if (!on_complete_) return;
  // Runs on a streaming thread or a supervision thread: nothing may escape.
  try {
    on_complete_(element_);
  } catch (const std::exception& e) {
    library_logger()->error(std::string("strovix: pipeline completion callback failed: ") +
                            e.what());
  } catch (...) {
    library_logger()->error("strovix: pipeline completion callback failed with an unknown error");
  }
}

}  // namespace strovix
