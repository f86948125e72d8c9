#include "stream_reader/pipeline_state.hpp"

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
  set_status(StreamStatus::STREAMING);
}

void PipelineState::close() { set_status(StreamStatus::CLOSED); }

void PipelineState::request_restart() { set_status(StreamStatus::HALTED); }

void PipelineState::restart() {
  std::lock_guard restart_guard(_restart_lock);
  set_status(StreamStatus::INITIALIZING);
  // Deliberately before the teardown: the health of the new pipeline is measured from the
  // start of the restart, teardown included. Tests that shorten frame_timeout must keep it
  // above the time a teardown takes.
  start_pipeline_timestamp.store(wall_clock_seconds());
  last_frame_timestamp.store(std::nan(""));
  _shutdown();
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
  _shutdown();
  factory.store(nullptr);
  pipeline.store(nullptr);
}

}  // namespace strovix::detail
