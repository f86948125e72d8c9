#include "stream_reader/keyframe_filter.hpp"

#include "strovix/gst/gstcallbacks.hpp"

namespace strovix::detail {

KeyframeFilter::KeyframeFilter(bool keyframes_only, std::shared_ptr<PipelineState> pipeline_state,
                               Logger logger)
    : _pipeline_state(std::move(pipeline_state)),
      _keyframes_only(keyframes_only),
      _logger(std::move(logger)) {}

void KeyframeFilter::set_keyframes_only(bool value) {
  if (_keyframes_only.load() == value) return;
  _keyframes_only.store(value);
  update_pad_probe();
}

PadPtr KeyframeFilter::_get_buffer_src_pad(const std::shared_ptr<Pipeline>& pipeline) const {
  if (!pipeline) return nullptr;
  ElementPtr element = pipeline->get_by_name(BUFFER_SRC_NAME);
  if (!element) return nullptr;
  return PadPtr(gst_element_get_static_pad(element.get(), "src"));
}

void KeyframeFilter::update_pad_probe() {
  std::lock_guard lock(_update_mutex);
  // The probe and its release action go on the same pipeline, even if a restart swaps the
  // current one meanwhile.
  auto pipeline = _pipeline_state->pipeline.load();
  PadPtr pad = _get_buffer_src_pad(pipeline);
  if (!pad) {
    _logger->info(std::string("No element named '") + BUFFER_SRC_NAME +
                  "' to update a pad probe. The pad probe will be installed or removed when "
                  "the pipeline is finished.");
    return;
  }
  if (_keyframes_only.load()) {
    // A completion and an option change can both ask for the probe on the same pad; a
    // second probe there would outlive the next switch-off.
    if (_probe && _probe->pad == pad && !_probe->removed.load()) return;
    auto probe = std::make_shared<Probe>();
    probe->id = gstcallbacks::add_keyframes_only_probe(pad.get());
    probe->pad = std::move(pad);
    _probe = probe;
    pipeline->add_destructor([probe] { probe->remove(); });
    _logger->info("Added pad probe to enable keyframe-only streaming");
  } else if (_probe && _probe->id != 0) {
    _probe->remove();
    _probe.reset();
    _logger->info("Removed pad probe, disabling keyframe-only streaming");
  }
}

}  // namespace strovix::detail
