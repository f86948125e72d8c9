#include "stream_reader/pipeline_restarter.hpp"

#include <chrono>
#include <cmath>
#include <random>
#include <stdexcept>

#include "diagnosis/bus_message_cause.hpp"
#include "strovix/gst/handles.hpp"

namespace strovix::detail {
namespace {

// Process-wide generator for the back-off jitter; seeded differently in every process.
double uniform_01() {
  static std::mutex mutex;
  static std::mt19937_64 engine{std::random_device{}()};
  std::lock_guard lock(mutex);
  return std::uniform_real_distribution<double>(0.0, 1.0)(engine);
}

std::string prefix(int id) {
  return "strovix: _pipeline_restarter stream_id " + std::to_string(id) + " ";
}

}  // namespace

PipelineRestarter::PipelineRestarter(int id_, double base_backoff_seconds,
                                     double max_backoff_seconds, double backoff_randomness_seconds,
                                     std::shared_ptr<PipelineState> pipeline_state, Logger logger)
    : id(id_),
      _base_backoff_seconds(base_backoff_seconds),
      _max_backoff_seconds(max_backoff_seconds),
      _backoff_randomness_seconds(backoff_randomness_seconds),
      _pipeline_state(std::move(pipeline_state)),
      _logger(std::move(logger)) {}

PipelineRestarter::~PipelineRestarter() {
  std::lock_guard lock(_join_mutex);
  if (_pipeline_restarter_thread.joinable()) {
    if (_pipeline_restarter_thread.get_id() == std::this_thread::get_id()) {
      _pipeline_restarter_thread.detach();
    } else {
      _pipeline_restarter_thread.join();
    }
  }
}

void PipelineRestarter::start() {
  if (_started || _thread_ended->is_set()) {
    throw std::logic_error("The supervision thread has already been started");
  }
  _pipeline_restarter_thread =
      start_named_thread("PipelineRestarterThread", [this, ended = _thread_ended] {
        struct MarkEnded {
          std::shared_ptr<Event> event;
          ~MarkEnded() { event->set(); }
        } mark{ended};
        _pipeline_restarter_func();
      });
  _started = true;
}

void PipelineRestarter::close() { _pipeline_state->close(); }

void PipelineRestarter::wait_until_closed() {
  if (!_started) {
    // The thread never ran (it could not be created): nobody else will shut the pipeline down.
    std::lock_guard lock(_join_mutex);
    if (!_thread_ended->is_set()) {
      _thread_ended->set();
      if (_pipeline_state->pipeline.load()) _pipeline_state->shutdown();
    }
    return;
  }
  _thread_ended->wait();
  std::lock_guard lock(_join_mutex);
  if (_pipeline_restarter_thread.joinable() &&
      _pipeline_restarter_thread.get_id() != std::this_thread::get_id()) {
    _pipeline_restarter_thread.join();
  }
}

void PipelineRestarter::notify_frame_received(double timestamp) noexcept {
  _restart_count.store(0, std::memory_order_relaxed);
  _pipeline_state->last_frame_timestamp.store(timestamp, std::memory_order_relaxed);
}

void PipelineRestarter::notify_frame_error() { _pipeline_state->request_restart(); }

void PipelineRestarter::request_prompt_restart() {
  _prompt_restart.store(true);
  _pipeline_state->request_restart();
}

double PipelineRestarter::calc_backoff_seconds() const {
  return calc_backoff_seconds(_restart_count.load());
}

double PipelineRestarter::calc_backoff_seconds(std::uint64_t n) const {
  const double base = _base_backoff_seconds;
  const double spread = _backoff_randomness_seconds;
  const double max = _max_backoff_seconds;
  // 2^n as a double: exact up to 2^1023 and +inf beyond, so no count can overflow it.
  const double power = n < 1024 ? std::ldexp(1.0, static_cast<int>(n)) : HUGE_VAL;
  const double exponential = max < power ? max : power;
  const double sum = (base + exponential) + uniform_01() * spread;
  return max < sum ? max : sum;
}

void PipelineRestarter::wait_for_status_change(std::unique_lock<std::recursive_mutex>& lock,
                                               StreamStatus seen) {
  auto& state = *_pipeline_state;
  for (;;) {
    state.apply_pending_requests();
    if (state.status() != seen) return;
    if (before_status_wait) before_status_wait();
    state.wait_for_status_or_request(lock);
    if (state.status() != seen) return;
  }
}

bool PipelineRestarter::back_off(std::unique_lock<std::recursive_mutex>& lock, double seconds) {
  // The mutex is released while waiting, so close() and the bus thread never wait for a
  // back-off; only CLOSED cuts it short.
  return _pipeline_state->wait_unless_closed(lock, seconds);
}

void PipelineRestarter::_pipeline_restarter_func() {
  auto& state = *_pipeline_state;
  double restart_timeout = FIRST_DELAY;
  {
    auto lock = state.lock_status();
    for (;;) {
      const StreamStatus status = state.status();
      if (status == StreamStatus::INITIALIZING) {
        wait_for_status_change(lock, status);
        std::string line = prefix(id);
        line += to_string(state.status());
        line += " Continue wait ";
        line += format_seconds(restart_timeout);
        _logger->info(line);
        continue;
      }
      if (status == StreamStatus::STREAMING) {
        wait_for_status_change(lock, status);
        std::string line = prefix(id);
        line += to_string(state.status());
        line += " pipeline state changed";
        _logger->info(line);
        continue;
      }
      if (status == StreamStatus::CLOSED) break;
      // HALTED. A stream that streamed for longer than the longest back-off since its last
      // restart is not flapping: it starts over with the first delay.
      const auto last_frame = state.last_frame();
      if (last_frame && *last_frame - _last_restart_timestamp > _max_backoff_seconds) {
        restart_timeout = FIRST_DELAY;
      }
      if (_prompt_restart.exchange(false)) restart_timeout = FIRST_DELAY;
      if (!back_off(lock, restart_timeout)) break;
      std::string line(to_string(state.status()));
      line += " ";
      line += format_seconds(restart_timeout);
      line += " Shutting the pipeline down...";
      _logger->info(line);
      try {
        state.restart();
      } catch (const std::exception& e) {
        _restarts_total.fetch_add(1);
        state.record_error(e.what());
        _restart_count.fetch_add(1);
        restart_timeout = calc_backoff_seconds();
        std::string error = prefix(id);
        error += "restart failed: ";
        error += e.what();
        error += "; retrying in ";
        error += format_seconds(restart_timeout);
        error += " s";
        _logger->error(error);
        state.request_restart();
        _last_restart_timestamp = wall_clock_seconds();
        continue;
      }
      _restarts_total.fetch_add(1);
      _restart_count.fetch_add(1);
      restart_timeout = calc_backoff_seconds();
      _last_restart_timestamp = wall_clock_seconds();
    }
  }
  try {
    state.shutdown();
  } catch (const std::exception& e) {
    _logger->error(prefix(id) +
                   "shutdown failed, the pipeline is left stopped but not freed: " + e.what());
  }
}

// Runs on the thread that iterates the default main context, shared by every stream: it
// never waits for this stream's status mutex (see request_restart_from).
bool PipelineRestarter::watcher(GstBus*, GstMessage* message, GstElement* pipeline) {
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
    _logger->warn("strovix: watcher stream_id " + std::to_string(id) +
                  " EOS received, restarting pipeline");
    _pipeline_state->request_restart_from(pipeline);
  } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    GError* raw_error = nullptr;
    gchar* raw_debug = nullptr;
    gst_message_parse_error(message, &raw_error, &raw_debug);
    GErrorPtr error(raw_error);
    GCharPtr debug(raw_debug);
    std::string line = "strovix: watcher stream_id " + std::to_string(id) + " pipeline error: ";
    // GStreamer's text, led by the cause where the message names one.
    line += error_message_text(message);
    line += " (debug: ";
    line += debug ? debug.get() : "None";
    line += ")";
    // Kept before the line is written, so a host that sees the line finds the error in stats.
    _pipeline_state->record_error(error_text_to_keep(message, pipeline));
    _logger->error(line);
    _pipeline_state->request_restart_from(pipeline);
  }
  return true;
}

PipelineRestarter::Health PipelineRestarter::gst_state_playing(double timestamp) const {
  Health health{false, GST_STATE_VOID_PENDING, std::nullopt};
  // After the final shutdown there is no pipeline: report "not playing" rather than fail
  // the caller's loop.
  if (auto pipeline = _pipeline_state->pipeline.load()) {
    health.gst_state = pipeline->get_state(0).current;
  }
  if (auto last = _pipeline_state->last_frame()) health.recent_frame = timestamp - *last;
  health.is_gst_playing = health.gst_state == GST_STATE_PLAYING && health.recent_frame &&
                          !(*health.recent_frame > frame_timeout);
  return health;
}

}  // namespace strovix::detail
