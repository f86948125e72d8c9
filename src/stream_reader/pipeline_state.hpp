#pragma once
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include "strovix/event.hpp"
#include "strovix/logger.hpp"
#include "strovix/pipeline_factories.hpp"
#include "strovix/stream_reader/base.hpp"
#include "strovix/utils/atomic_shared_ptr.hpp"
#include "stream_reader/common.hpp"

namespace strovix::detail {

// Holds a pipeline object and state related to the pipeline: the one object that every
// thread of a stream shares.
class PipelineState {
 public:
  PipelineState(int id, Logger logger);

  const int id;
  const Logger logger;
  // The current pipeline; swapped whole, and a thread that loaded it keeps it alive.
  AtomicSharedPtr<Pipeline> pipeline;
  AtomicSharedPtr<PipelineFactory> factory;
  std::atomic<double> start_pipeline_timestamp;
  // NaN stands for "no frame since the current pipeline started".
  std::atomic<double> last_frame_timestamp{std::nan("")};
  const std::shared_ptr<Event> new_status_event;

  // Reentrant: the supervision thread restarts while holding it, and restart() changes the
  // status through set_status() on the same thread. Guards every change of _status.
  std::recursive_mutex _new_status_mutex;
  // Waited on by the sample-pulling and supervision threads; woken on every status change.
  std::condition_variable_any _new_status_cond;

  // Process-wide: restarts of all streams run one at a time.
  static std::mutex _restart_lock;

  // Seam for tests; production keeps STATE_CHANGE_TIMEOUT.
  double state_change_timeout = STATE_CHANGE_TIMEOUT;

  StreamStatus status() const noexcept { return _status.load(); }
  void set_status(StreamStatus status);

  std::optional<double> last_frame() const noexcept {
    const double t = last_frame_timestamp.load();
    return std::isnan(t) ? std::nullopt : std::optional<double>(t);
  }

  void build(bool must_play = false);
  void close();
  void request_restart();
  void restart();
  void _shutdown();
  void shutdown();

 private:
  std::atomic<StreamStatus> _status{StreamStatus::INITIALIZING};
};

}  // namespace strovix::detail
