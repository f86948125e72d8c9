#pragma once
// What a pipeline's RTP receivers have counted: read from its jitter buffers and UDP sockets.
#include <gst/gst.h>

#include <cstdint>

namespace strovix::detail {

struct RtpCounters {
  // The pipeline has a jitter buffer, so it receives RTP (rtspsrc makes one per stream).
  bool rtp = false;
  // Some of its RTP arrives on UDP sockets of its own (none over TCP interleaved).
  bool udp = false;
  // Packets that arrived (pushed on, late or duplicated) and that the jitter buffers gave
  // up as lost.
  std::uint64_t received = 0;
  std::uint64_t lost = 0;
  // Datagrams the UDP sources delivered since this pipeline was first looked at.
  std::uint64_t udp_datagrams = 0;
  // Datagrams the kernel dropped at the UDP sockets because their receive buffer was full.
  std::uint64_t kernel_drops = 0;
  // The largest receive buffer the kernel granted one of them, as it reports it (its own
  // bookkeeping included, so about twice what was asked); 0 without UDP.
  int udp_receive_buffer = 0;
};

// One thread at a time (the first look at a UDP source puts a counting probe on it); takes
// each element's lock for a moment and never waits for data. `pipeline` is borrowed.
RtpCounters read_rtp_counters(GstElement* pipeline);

}  // namespace strovix::detail
