#include "stream_reader/transport_monitor.hpp"

#include "stream_reader/codec_name.hpp"

namespace strovix::detail {

TransportMonitor::TransportMonitor(int id, Logger logger, std::shared_ptr<PipelineState> state,
                                   std::shared_ptr<PipelineRestarter> restarter,
                                   std::shared_ptr<RTSPPipelineFactory> factory, bool fallback,
                                   std::string fixed, FallbackSettings settings)
    : _id(id),
      _logger(std::move(logger)),
      _state(std::move(state)),
      _restarter(std::move(restarter)),
      _factory(std::move(factory)),
      _fallback(fallback),
      _fixed(std::move(fixed)),
      _rule(settings) {
  if (_factory) _transport.store(_factory->force_tcp() ? TCP : UDP);
}

std::string TransportMonitor::transport() const {
  switch (_transport.load()) {
    case UDP:
      return "udp";
    case TCP:
      return "tcp";
    default:
      return _fixed;
  }
}

void TransportMonitor::check(double now, bool keyframes_only) {
  if (!_factory || now < _next_check) return;
  _next_check = now + CHECK_INTERVAL;
  auto pipeline = _state->pipeline.load();
  if (!pipeline) return;
  const bool new_pipeline = _watched.lock() != pipeline;
  if (new_pipeline) {
    _watched = pipeline;
    _sized = false;
    _kernel_drops_before.fetch_add(_kernel_drops.exchange(0));
  }
  if (!_sized) {
    // The camera's size, not the delivered one (frames may be scaled down).
    const auto [width, height] = picture_size_of(*pipeline);
    if (width > 0) _factory->set_resolution_hint(width, height);
    _sized = width > 0;
  }
  TransportObservation seen;
  seen.now = now;
  seen.counters = read_rtp_counters(pipeline->element());
  seen.new_pipeline = new_pipeline;
  seen.playing = _state->status() == StreamStatus::STREAMING &&
                 pipeline->get_state(0).current == GST_STATE_PLAYING;
  seen.last_frame = _state->last_frame();
  seen.pipeline_start = _state->start_pipeline_timestamp.load();
  seen.sparse_frames = keyframes_only;
  auto& c = seen.counters;
  if (new_pipeline) _received_at_first_look = c.received;
  // RTP that keeps coming while the UDP sources deliver nothing comes over TCP: rtspsrc moves
  // there by itself when UDP never worked.
  if (c.udp && c.udp_datagrams == 0 && c.received > _received_at_first_look + 10) c.udp = false;
  const bool tcp = _factory->force_tcp() || (c.rtp && !c.udp);
  _transport.store(tcp ? TCP : UDP);
  _kernel_drops.store(c.kernel_drops);
  _udp_receive_buffer.store(c.udp && !tcp ? c.udp_receive_buffer : 0);
  auto why = _rule.observe(seen);
  if (!why || !_fallback || _factory->force_tcp()) return;
  _factory->set_force_tcp(true);
  _transport.store(TCP);
  _logger->warn("strovix: transport stream_id " + std::to_string(_id) + " " + *why +
                ", restarting over TCP for the rest of this reader's life");
  _restarter->request_prompt_restart();
}

}  // namespace strovix::detail
