#include "stream_reader/pipeline_state.hpp"

#include <chrono>
#include <stdexcept>

namespace strovix::detail {

std::mutex PipelineState::_restart_lock;

PipelineState::PipelineState(int id_, Logger logger_)
    : id(id_),
      logger(std::move(logger_)),
      start_pipeline_timestamp(wall_clock_seconds()),
      new_status_event(std::make_shared<Event>()) {}

void PipelineState::set_status(StreamStatus status) {
  std::lock_guard lock(_new_status_mutex);
  const StreamStatus current = _status.load();
  if (current == status || current == StreamStatus::CLOSED) return;
  std::string line = "last status ";
  line += to_string(current);
  line += ", new status ";
  line += to_string(status);
  logger->info(line);
  _status.store(status);
  new_status_event->set();
  _new_status_cond.notify_all();
}

bool PipelineState::building_now() {
  if (!_restart_lock.try_lock()) return true;
  _restart_lock.unlock();
  return false;
}

PipelineState::StreamingTurn PipelineState::wait_until_streaming(double timeout) {
  std::unique_lock lock(_new_status_mutex);
  const StreamStatus status = _status.load();
  if (status == StreamStatus::CLOSED) return {.closed = true, .pipeline = nullptr};
  if (status == StreamStatus::INITIALIZING || _status.load() == StreamStatus::HALTED) {
    const bool woken = _new_status_cond.wait_for(lock, std::chrono::duration<double>(timeout)) ==
                       std::cv_status::no_timeout;
    if (!woken) {
      std::string line = "strovix: _pull_sample stream_id " + std::to_string(id) + " ";
      line += to_string(_status.load());
      line += " pipeline timeout";
      logger->warn(line);
    }
    return {};
  }
  _new_status_cond.wait_for(lock, std::chrono::milliseconds(1));
  return {.pipeline = pipeline.load()};
}

bool PipelineState::wait_unless_closed(std::unique_lock<std::recursive_mutex>& status_lock,
                                       double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  _new_status_cond.wait_until(status_lock, until,
                              [&] { return _status.load() == StreamStatus::CLOSED; });
  return _status.load() != StreamStatus::CLOSED;
}

void PipelineState::build(bool must_play) {
  auto current_factory = factory.load();
  if (!current_factory) {
    throw std::runtime_error("The factory is not set, so the pipeline cannot be rebuilt");
  }
  auto built = current_factory->build();
  pipeline.store(built);
  // Only now may the completion callback look the pipeline up through this state.
  built->mark_published();
  if (must_play) pipeline.load()->wait_until_playing(id, state_change_timeout);
  std::lock_guard lock(_new_status_mutex);
  // An end-of-stream or error of the new pipeline that came during the build has set HALTED
  // (or is pending): announcing STREAMING now would hide it until the stall watchdog fires.
  if (_status.load() == StreamStatus::HALTED) return;
  set_status(StreamStatus::STREAMING);
}

void PipelineState::record_error(std::string_view text) {
  ErrorRecord record{escape_control(redact_for_logger(logger, text)), wall_clock_seconds()};
  std::lock_guard guard(_error_mutex);
  _last_error = std::move(record);
}

PipelineState::ErrorRecord PipelineState::last_error() const {
  std::lock_guard guard(_error_mutex);
  return _last_error;
}

void PipelineState::close() { set_status(StreamStatus::CLOSED); }

void PipelineState::request_restart() { set_status(StreamStatus::HALTED); }

bool PipelineState::is_current_source(GstElement* source) const {
  auto current = pipeline.load();
  return !current || current->element() == source;
}

bool PipelineState::request_restart_from(GstElement* source) {
  std::unique_lock lock(_new_status_mutex, std::try_to_lock);
  if (lock.owns_lock()) {
    if (!is_current_source(source)) return false;
    set_status(StreamStatus::HALTED);
    return true;
  }
  // The supervision is backing off or restarting (or another thread holds the mutex for a
  // moment). Holding a reference to the element keeps its address from being reused by a
  // later pipeline, so the identity test at apply time cannot be fooled.
  {
    std::lock_guard guard(_pending_mutex);
    if (source) gst_object_ref(source);
    _pending.emplace_back(source);
  }
  // Cannot be lost: the supervision looks at _pending under _pending_mutex and keeps it until
  // its wait has begun, so this either came before that look or finds the thread waiting.
  _new_status_cond.notify_all();
  return true;
}

void PipelineState::apply_pending_requests() {
  std::vector<ElementPtr> requests;
  {
    std::lock_guard guard(_pending_mutex);
    requests.swap(_pending);
  }
  for (auto& source : requests) {
    if (is_current_source(source.get())) {
      set_status(StreamStatus::HALTED);
      break;
    }
  }
}

void PipelineState::wait_for_status_or_request(
    std::unique_lock<std::recursive_mutex>& status_lock) {
  std::unique_lock pending(_pending_mutex);
  if (!_pending.empty()) return;
  // condition_variable_any takes its own mutex before it releases the caller's lock, and a
  // notification takes that mutex too: nothing recorded after the test above, and no status
  // change, can be notified before this thread waits.
  struct Both {
    std::unique_lock<std::recursive_mutex>& status;
    std::unique_lock<std::mutex>& pending;
    void lock() {
      status.lock();
      pending.lock();
    }
    void unlock() {
      pending.unlock();
      status.unlock();
    }
  } both{status_lock, pending};
  _new_status_cond.wait(both);
}

void PipelineState::restart() {
  set_status(StreamStatus::INITIALIZING);
  // Deliberately before the teardown: the health of the new pipeline is measured from the
  // start of the restart, teardown included, so a frame_timeout must exceed the time a
  // teardown takes.
  start_pipeline_timestamp.store(wall_clock_seconds());
  last_frame_timestamp.store(std::nan(""));
  _shutdown();
  std::lock_guard restart_guard(_restart_lock);
  build();
}

void PipelineState::_shutdown() {
  auto current = pipeline.load();
  if (!current) throw std::runtime_error("There is no pipeline to shut down");
  current->set_state(GST_STATE_NULL);
  current->wait_until_null(id, state_change_timeout);
  current->release_resources();
}

void PipelineState::shutdown() {
  try {
    _shutdown();
  } catch (...) {
    // Destroying a pipeline that is not NULL would run its streaming threads into freed
    // elements; keeping it is the lesser harm.
    static std::mutex parked_mutex;
    static auto* parked = new std::vector<std::shared_ptr<Pipeline>>();
    std::lock_guard guard(parked_mutex);
    parked->push_back(pipeline.load());
    factory.store(nullptr);
    pipeline.store(nullptr);
    throw;
  }
  factory.store(nullptr);
  pipeline.store(nullptr);
}

}  // namespace strovix::detail
