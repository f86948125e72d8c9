#pragma once
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stream_reader/atomic_shared_ptr.hpp"
#include "stream_reader/clock.hpp"
#include "stream_reader/named_thread.hpp"
#include "strovix/event.hpp"
#include "strovix/gst/pipeline_factories.hpp"
#include "strovix/logger.hpp"
#include "strovix/stream_reader/base.hpp"

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

  // The longest wait for a state change: STATE_CHANGE_TIMEOUT unless the owner shortens it.
  double state_change_timeout = STATE_CHANGE_TIMEOUT;

  StreamStatus status() const noexcept { return _status.load(); }
  void set_status(StreamStatus status);

  // Takes the status mutex, as the supervision does for its loop and its restarts.
  std::unique_lock<std::recursive_mutex> lock_status() {
    return std::unique_lock(_new_status_mutex);
  }
  // Whether a stream is building a pipeline at this moment (holds the process-wide
  // restart lock).
  static bool building_now();

  // What the sample-pulling thread found on one look at the status.
  struct StreamingTurn {
    bool closed = false;                 // CLOSED: the thread ends
    std::shared_ptr<Pipeline> pipeline;  // STREAMING: pull from it; else null
  };
  // Sample-pulling thread, one look under the status mutex. CLOSED: returns `closed`.
  // INITIALIZING or HALTED: waits up to `timeout` seconds for a change, logs the pulling
  // thread's "pipeline timeout" line when none came, and returns no pipeline. STREAMING: waits
  // 0.001 s, so that a thread waiting for the mutex gets it, and returns the current pipeline
  // (null once the final shutdown dropped it).
  StreamingTurn wait_until_streaming(double timeout);

  std::optional<double> last_frame() const noexcept {
    const double t = last_frame_timestamp.load();
    return std::isnan(t) ? std::nullopt : std::optional<double>(t);
  }

  // Builds a pipeline and offers STREAMING, unless a restart was requested while it was
  // being built: then the status stays HALTED so that the supervision acts on it.
  void build(bool must_play = false);

  struct ErrorRecord {
    std::string text;
    double timestamp = 0.0;
  };
  // Any thread: keeps `text`, credentials removed, as the stream's last error.
  void record_error(std::string_view text);
  ErrorRecord last_error() const;
  void close();
  // Blocks while the supervision holds the status mutex (a restart); not for the bus thread.
  void request_restart();
  // For the bus watch thread, which must never wait for a stream's lock. `source` is the
  // pipeline element whose message asks for the restart (borrowed). A message from a
  // pipeline that is no longer current requests nothing. When the status mutex is busy, the
  // request is recorded and applied by apply_pending_requests(). Returns false for a stale
  // source.
  bool request_restart_from(GstElement* source);
  // Precondition: the status mutex is held. Applies the recorded requests whose pipeline is
  // still the current one and drops the rest (supervision thread).
  void apply_pending_requests();
  // Precondition: the status mutex is held once, through `status_lock`. Returns at once when
  // a request is recorded, else waits without a time-out for the next status change or
  // recorded request. A request recorded at any moment before the wait begins is seen.
  void wait_for_status_or_request(std::unique_lock<std::recursive_mutex>& status_lock);
  // Precondition: the status mutex is held once, through `status_lock`. Waits `seconds` with
  // it released, cut short only by CLOSED; returns false when the stream was closed.
  bool wait_unless_closed(std::unique_lock<std::recursive_mutex>& status_lock, double seconds);
  // Precondition: one caller at a time, holding the status mutex (the supervision thread),
  // so that requests made during the rebuild are recorded, not applied mid-way. Tears the
  // current pipeline down and builds the next under the process-wide restart lock.
  void restart();
  // Tears the last pipeline down and drops it with the factory. A pipeline that does not
  // reach NULL is kept (parked for the process's life) rather than destroyed while running.
  void shutdown();

 private:
  // Lock order, for every stream: _new_status_mutex, then _restart_lock, then
  // _new_status_mutex again (reentrantly, inside set_status); _pending_mutex and
  // _error_mutex are leaves, held for a copy and never across a wait or a call out.
  //
  // Reentrant: the supervision thread restarts while holding it, and restart() changes the
  // status through set_status() on the same thread. Guards every change of _status. The bus
  // thread only ever try-locks it.
  std::recursive_mutex _new_status_mutex;
  // Waited on by the sample-pulling and supervision threads; woken on every status change.
  std::condition_variable_any _new_status_cond;

  // Process-wide: pipeline builds of all streams run one at a time. Teardowns are not under
  // it, so one stream's slow or hung teardown holds back no other stream.
  static std::mutex _restart_lock;

  // Tears the current pipeline down; throws when there is none or it does not reach NULL.
  void _shutdown();
  // True when `source` is the current pipeline's element, or when no pipeline has been
  // stored yet (the first build is under way and `source` is its pipeline).
  bool is_current_source(GstElement* source) const;

  std::atomic<StreamStatus> _status{StreamStatus::INITIALIZING};
  // Guards _pending: held only to move element references, and by the supervision from its
  // last look at _pending until its wait has begun (released by the wait itself).
  std::mutex _pending_mutex;
  std::vector<ElementPtr> _pending;
  // Guards _last_error; held only to copy it.
  mutable std::mutex _error_mutex;
  ErrorRecord _last_error;
};

}  // namespace strovix::detail
