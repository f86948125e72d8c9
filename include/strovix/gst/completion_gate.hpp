#pragma once
#include <gst/gst.h>

#include <functional>
#include <mutex>
#include <utility>

#include "strovix/export.hpp"

namespace strovix {

// Called once per built pipeline when it is finished and has been published by its owner.
// The element is borrowed for the duration of the call.
using OnComplete = std::function<void(GstElement*)>;

// Fires the completion callback once both halves are in: the factory says the pipeline is
// finished (all elements exist and are linked, maybe on a streaming thread) and the owner
// says it has stored the pipeline where callbacks look for it. Whichever comes second runs
// the callback, on its own thread, outside any lock of this gate.
class STROVIX_EXPORT CompletionGate {
 public:
  CompletionGate(OnComplete on_complete, GstElement* element)
      : on_complete_(std::move(on_complete)), element_(element) {}
  void mark_complete();
  void mark_published();

 private:
  void maybe_fire(std::unique_lock<std::mutex>& lock);
  // Guards the three flags.
  std::mutex mutex_;
  bool complete_ = false;
  bool published_ = false;
  bool fired_ = false;
  OnComplete on_complete_;
  GstElement* element_;  // borrowed: valid while the pipeline's streaming threads run
};

}  // namespace strovix
