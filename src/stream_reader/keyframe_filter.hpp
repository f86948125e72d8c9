#pragma once
#include <atomic>
#include <memory>
#include <mutex>

#include "strovix/logger.hpp"
#include "stream_reader/pipeline_state.hpp"

namespace strovix::detail {

// Adds and removes the keyframe-only pad probe on the current pipeline.
class KeyframeFilter {
 public:
  KeyframeFilter(bool keyframes_only, std::shared_ptr<PipelineState> pipeline_state,
                 Logger logger);

  bool keyframes_only() const noexcept { return _keyframes_only.load(); }
  // Storing a different value updates the probe on the current pipeline at once.
  void set_keyframes_only(bool value);

  // Caller threads (option changes) and the thread that finishes a pipeline; serialised so
  // that overlapping calls cannot leave a probe nobody can remove.
  void update_pad_probe();

  // The id of the last probe added, or 0 when none is held.
  gulong pad_probe_id() const noexcept { return _pad_probe_id.load(); }

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
  std::atomic<gulong> _pad_probe_id{0};
  // Serialises update_pad_probe and guards probe_.
  std::mutex update_mutex_;
  std::shared_ptr<Probe> probe_;
};

}  // namespace strovix::detail
