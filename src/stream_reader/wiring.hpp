#pragma once
// A stream's shared state, supervision and keyframe filter, and the callbacks through which
// its pipelines reach them.
#include <memory>

#include "stream_reader/clock.hpp"
#include "stream_reader/keyframe_filter.hpp"
#include "stream_reader/pipeline_restarter.hpp"
#include "stream_reader/pipeline_state.hpp"
#include "strovix/gst/completion_gate.hpp"
#include "strovix/gst/pipeline.hpp"
#include "strovix/logger.hpp"

namespace strovix::detail {

struct SupervisionSettings {
  double base_backoff_seconds = 12.0;
  double max_backoff_seconds = 64.0;
  double backoff_randomness_seconds = 10.0;
  double state_change_timeout = STATE_CHANGE_TIMEOUT;
  double frame_timeout = FRAME_TIMEOUT;
  bool keyframes_only = false;
};

struct StreamParts {
  std::shared_ptr<PipelineState> state;
  std::shared_ptr<PipelineRestarter> restarter;
  std::shared_ptr<KeyframeFilter> filter;
  // For the stream's factory. They hold weak references: a bus message or a finished
  // pipeline that arrives while the stream is being destroyed finds nothing to call instead
  // of freed memory.
  PipelineWatcher watcher;
  OnComplete on_complete;
};

// Nothing is built or started: the owner gives the state a factory made with the callbacks,
// builds, and starts the supervision.
StreamParts wire_stream(int id, Logger logger, const SupervisionSettings& settings);

}  // namespace strovix::detail
