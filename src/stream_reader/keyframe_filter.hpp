#pragma once
#include <atomic>
#include <memory>
#include <mutex>

#include "stream_reader/pipeline_state.hpp"
#include "strovix/logger.hpp"

namespace strovix::detail {

// Adds and removes the keyframe-only pad probe on the current pipeline.
class KeyframeFilter {
 public:
  KeyframeFilter(bool keyframes_only, std::shared_ptr<PipelineState> pipeline_state, Logger logger);

  bool keyframes_only() const noexcept { return _keyframes_only.load(); }
  // Storing a different value updates the probe on the current pipeline at once.
  void set_keyframes_only(bool value);

  // Caller threads (option changes) and the thread that finishes a pipeline; serialised so
  // that overlapping calls cannot leave a probe nobody can remove.
  void update_pad_probe();

 private:
  // One probe and the pad it sits on; removed at most once, by whichever comes first: the
  // switch going off or the release of its pipeline.
  struct Probe {
    PadPtr pad;
    gulong id;
    std::atomic<bool> removed{false};
    void remove() {
      if (!removed.exchange(true)) gst_pad_remove_probe(pad.get(), id);
    }
  };

  PadPtr _get_buffer_src_pad(const std::shared_ptr<Pipeline>& pipeline) const;

  const std::shared_ptr<PipelineState> _pipeline_state;
  std::atomic<bool> _keyframes_only;
  const Logger _logger;
  // Serialises update_pad_probe and guards _probe.
  std::mutex _update_mutex;
  std::shared_ptr<Probe> _probe;
};

}  // namespace strovix::detail
