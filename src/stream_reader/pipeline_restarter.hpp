#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "stream_reader/pipeline_state.hpp"
#include "strovix/event.hpp"
#include "strovix/logger.hpp"

namespace strovix::detail {

// Monitors the health of the pipeline and rebuilds it if necessary.
class PipelineRestarter {
 public:
  struct Health {
    bool is_gst_playing;
    GstState gst_state;
    std::optional<double> recent_frame;
  };

  PipelineRestarter(int id, double base_backoff_seconds, double max_backoff_seconds,
                    double backoff_randomness_seconds,
                    std::shared_ptr<PipelineState> pipeline_state, Logger logger);
  // Joins the supervision thread; the owner closes the stream first.
  ~PipelineRestarter();
  PipelineRestarter(const PipelineRestarter&) = delete;
  PipelineRestarter& operator=(const PipelineRestarter&) = delete;

  const int id;

  // Throws what thread creation throws; the stream then has no supervision thread.
  void start();
  void close();
  // Blocks until the supervision thread has ended and shut the pipeline down. When the
  // thread was never started, shuts the pipeline down itself and returns.
  void wait_until_closed();

  // Sample-pulling thread, once per frame: two stores, no lock, no allocation, no log.
  void notify_frame_received(double timestamp) noexcept;
  // Requests a restart (the status becomes HALTED unless the stream is closed).
  void notify_frame_error();
  // Any thread but the bus thread: a restart that is no failure (a change of transport), so
  // it waits only the first delay, whatever the back-off has grown to.
  void request_prompt_restart();
  // The delay before the next restart, after `restart_count` restarts without a frame; the
  // overload without a count takes the current one.
  double calc_backoff_seconds(std::uint64_t restart_count) const;
  double calc_backoff_seconds() const;

  struct Counters {
    std::uint64_t restart_count;   // restarts since the last frame (the back-off exponent)
    std::uint64_t restarts_total;  // restarts since construction, failed attempts included
  };
  // Any thread; the two are read one after the other, not as one snapshot.
  Counters counters() const noexcept {
    const std::uint64_t total = _restarts_total.load();
    return {_restart_count.load(), total};
  }

  // Bus watch callback (main-context thread). Never blocks.
  bool watcher(GstBus* bus, GstMessage* message, GstElement* pipeline);
  // Health test (sample-pulling thread). Never blocks.
  Health gst_state_playing(double timestamp) const;

  // The stall after which the stream is restarted: FRAME_TIMEOUT unless the owner shortens it.
  double frame_timeout = FRAME_TIMEOUT;
  // Optional hook, set before start(): runs on the supervision thread, holding the status
  // mutex, after it has found nothing to act on and before it waits for a change.
  std::function<void()> before_status_wait;

 private:
  static constexpr double FIRST_DELAY = 0.01;

  // Restarts since the last frame (the back-off exponent) and since construction.
  std::atomic<std::uint64_t> _restart_count{0};
  std::atomic<std::uint64_t> _restarts_total{0};

  // Runs on "PipelineRestarterThread".
  void _pipeline_restarter_func();
  // Supervision thread, holding the status mutex once: waits until the status differs from
  // `seen`, applying restart requests the bus thread could not apply itself. Wakes only for a
  // status change or a recorded request.
  void wait_for_status_change(std::unique_lock<std::recursive_mutex>& lock, StreamStatus seen);
  // Precondition: the status mutex is held once, through `lock`. Waits `seconds` with it
  // released; false when the stream was closed.
  bool back_off(std::unique_lock<std::recursive_mutex>& lock, double seconds);

  const double _base_backoff_seconds;
  const double _max_backoff_seconds;
  const double _backoff_randomness_seconds;
  const std::shared_ptr<PipelineState> _pipeline_state;
  const Logger _logger;
  std::thread _pipeline_restarter_thread;
  // Set when the supervision thread's body returns, however it ends.
  const std::shared_ptr<Event> _thread_ended = std::make_shared<Event>();
  // Guards joining _pipeline_restarter_thread and the never-started shutdown.
  std::mutex _join_mutex;
  // Written by start() before any other thread can see the thread; read by the owner.
  bool _started = false;
  std::atomic<bool> _prompt_restart{false};
  // Supervision thread only: when the last restart ended (construction counts as one).
  double _last_restart_timestamp = wall_clock_seconds();
};

}  // namespace strovix::detail
