#include "stream_reader/pipeline_restarter.hpp"

#include <cmath>
#include <random>
#include <stdexcept>

#include "stream_reader/bus_error.hpp"
#include "strovix/utils/gstreamer.hpp"

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

PipelineRestarter::PipelineRestarter(int id_, double /*setup_timeout: unused*/,
                                     double base_backoff_seconds, double max_backoff_seconds,
                                     double backoff_randomness_seconds,
                                     std::shared_ptr<PipelineState> pipeline_state, Logger logger)
    : id(id_),
      _base_backoff_seconds(base_backoff_seconds),
      _max_backoff_seconds(max_backoff_seconds),
      _backoff_randomness_seconds(backoff_randomness_seconds),
      _pipeline_state(std::move(pipeline_state)),
      _logger(std::move(logger)) {}

PipelineRestarter::~PipelineRestarter() {
  std::lock_guard lock(join_mutex_);
  if (_pipeline_restarter_thread.joinable()) {
    if (_pipeline_restarter_thread.get_id() == std::this_thread::get_id()) {
      _pipeline_restarter_thread.detach();
    } else {
      _pipeline_restarter_thread.join();
    }
  }
}

void PipelineRestarter::start() {
  if (_pipeline_restarter_thread.joinable() || thread_ended_->is_set()) {
    throw std::logic_error("The supervision thread has already been started");
  }
  _pipeline_restarter_thread =
      start_named_thread("PipelineRestarterThread", [this, ended = thread_ended_] {
        struct MarkEnded {
          std::shared_ptr<Event> event;
          ~MarkEnded() { event->set(); }
        } mark{ended};
        _pipeline_restarter_func();
      });
}

void PipelineRestarter::close() { _pipeline_state->close(); }

void PipelineRestarter::wait_until_closed() {
  thread_ended_->wait();
  std::lock_guard lock(join_mutex_);
  if (_pipeline_restarter_thread.joinable() &&
      _pipeline_restarter_thread.get_id() != std::this_thread::get_id()) {
    _pipeline_restarter_thread.join();
  }
}

void PipelineRestarter::notify_frame_received(int, double timestamp) noexcept {
  _restart_count.store(0, std::memory_order_relaxed);
  _pipeline_state->last_frame_timestamp.store(timestamp, std::memory_order_relaxed);
}

void PipelineRestarter::notify_frame_error(int, double) { _pipeline_state->request_restart(); }

double PipelineRestarter::calc_backoff_seconds() {
  const std::uint64_t n = _restart_count.load();
  const double base = _base_backoff_seconds;
  const double spread = _backoff_randomness_seconds;
  const double max = _max_backoff_seconds;
  // 2^n as a double: exact up to 2^1023 and +inf beyond, so no count can overflow it.
  const double power = n < 1024 ? std::ldexp(1.0, static_cast<int>(n)) : HUGE_VAL;
  const double exponential = max < power ? max : power;
  const double sum = (base + exponential) + uniform_01() * spread;
  return max < sum ? max : sum;
}

void PipelineRestarter::_pipeline_restarter_func() {
  double restart_timeout = 0.01;
  {
    std::unique_lock lock(_pipeline_state->_new_status_mutex);
    for (;;) {
      if (_pipeline_state->status() == StreamStatus::INITIALIZING) {
        _pipeline_state->_new_status_cond.wait(lock);
        std::string line = prefix(id);
        line += to_string(_pipeline_state->status());
        line += " Continue wait ";
        line += format_seconds(restart_timeout);
        _logger->info(line);
        continue;
      }
      if (_pipeline_state->status() == StreamStatus::STREAMING) {
        _pipeline_state->_new_status_cond.wait(lock);
        std::string line = prefix(id);
        line += to_string(_pipeline_state->status());
        line += " pipeline state changed";
        _logger->info(line);
        continue;
      }
      if (_pipeline_state->status() == StreamStatus::CLOSED) break;
      // HALTED. The mutex stays held across the back-off and the restart, so no status
      // change can slip in between.
      sleep_seconds(restart_timeout);
      std::string line(to_string(_pipeline_state->status()));
      line += " ";
      line += format_seconds(restart_timeout);
      line += " Shutting the pipeline down...";
      _logger->info(line);
      _pipeline_state->restart();
      _restart_count.fetch_add(1);
      restart_timeout = calc_backoff_seconds();
    }
  }
  _pipeline_state->shutdown();
}

// Deliberately looks neither at the message's source nor at the pipeline: a message that was
// blocked on the status lock during a restart still halts the stream once the loop waits
// again, which costs one more restart after the next back-off. Callers rely on every EOS and
// error being acted on.
bool PipelineRestarter::watcher(GstBus*, GstMessage* message, GstElement*) {
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
    _logger->warn("strovix: watcher stream_id " + std::to_string(id) +
                  " EOS received, restarting pipeline");
    _pipeline_state->request_restart();
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
    _logger->error(line);
    _pipeline_state->request_restart();
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
