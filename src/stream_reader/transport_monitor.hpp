#pragma once
// Watches an RTSP stream's RTP on the sample-pulling thread and moves the stream to TCP when
// its UDP path loses too much or goes silent.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "stream_reader/pipeline_restarter.hpp"
#include "stream_reader/pipeline_state.hpp"
#include "stream_reader/transport_fallback.hpp"
#include "strovix/gst/pipeline_factories.hpp"
#include "strovix/logger.hpp"

namespace strovix::detail {

class TransportMonitor {
 public:
  // `factory` null: not an RTSP stream; nothing is watched and transport() is `fixed`.
  TransportMonitor(int id, Logger logger, std::shared_ptr<PipelineState> state,
                   std::shared_ptr<PipelineRestarter> restarter,
                   std::shared_ptr<RTSPPipelineFactory> factory, bool fallback,
                   std::string fixed = "", FallbackSettings settings = {});

  // Sample-pulling thread, on every turn of its loop: acts at most every CHECK_INTERVAL.
  void check(double now, bool keyframes_only);

  // Any thread.
  std::string transport() const;
  std::uint64_t kernel_drops() const { return _kernel_drops_before.load() + _kernel_drops.load(); }
  int udp_receive_buffer() const { return _udp_receive_buffer.load(); }

  static constexpr double CHECK_INTERVAL = 0.25;

 private:
  enum Transport : int { NONE, UDP, TCP };

  const int _id;
  const Logger _logger;
  const std::shared_ptr<PipelineState> _state;
  const std::shared_ptr<PipelineRestarter> _restarter;
  const std::shared_ptr<RTSPPipelineFactory> _factory;
  const bool _fallback;
  const std::string _fixed;
  // Sample-pulling thread only.
  TransportFallback _rule;
  double _next_check = 0.0;
  std::weak_ptr<Pipeline> _watched;
  std::uint64_t _received_at_first_look = 0;
  // The current pipeline's picture size has been handed to the factory.
  bool _sized = false;
  // Read by stats().
  std::atomic<int> _transport{NONE};
  std::atomic<std::uint64_t> _kernel_drops{0};
  std::atomic<std::uint64_t> _kernel_drops_before{0};
  std::atomic<int> _udp_receive_buffer{0};
};

}  // namespace strovix::detail
