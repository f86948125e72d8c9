#include "stream_reader/wiring.hpp"

namespace strovix::detail {

StreamParts wire_stream(int id, Logger logger, const SupervisionSettings& settings) {
  StreamParts parts;
  parts.state = std::make_shared<PipelineState>(id, logger);
  parts.state->state_change_timeout = settings.state_change_timeout;
  parts.restarter = std::make_shared<PipelineRestarter>(
      id, settings.base_backoff_seconds, settings.max_backoff_seconds,
      settings.backoff_randomness_seconds, parts.state, logger);
  parts.restarter->frame_timeout = settings.frame_timeout;
  parts.filter = std::make_shared<KeyframeFilter>(settings.keyframes_only, parts.state, logger);
  parts.watcher = [weak = std::weak_ptr(parts.restarter)](GstBus* bus, GstMessage* message,
                                                          GstElement* pipeline) {
    if (auto restarter = weak.lock()) return restarter->watcher(bus, message, pipeline);
    return true;
  };
  parts.on_complete = [weak = std::weak_ptr(parts.filter)](GstElement*) {
    if (auto filter = weak.lock()) filter->update_pad_probe();
  };
  return parts;
}

}  // namespace strovix::detail
