// A UDP path that goes silent while the RTSP connection lives: each test runs in a private
// network namespace where nftables drops every UDP datagram for a while, or for good, and
// measures the gap in frames and the stream after it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "reliability_helpers.hpp"
#include "strovix/stream_reader/gst.hpp"
#include "support/log_capture.hpp"
#include "support/private_network.hpp"
#include "support/rtsp_server.hpp"

using namespace strovix;
using namespace strovix::reliability;
using strovix::testing::RtspMountOptions;
using strovix::testing::RtspTestServer;
using strovix::testing::UdpCut;

namespace {

constexpr const char* kFallbackLine = "restarting over TCP for the rest of this reader's life";
constexpr int kFps = 30;

GstStreamReader::Options reader_options(bool tcp_fallback) {
  GstStreamReader::Options o;
  o.latency = 200;
  o.tcp_fallback = tcp_fallback;
  // The first restart waits 0.01 s; a failing one no more than a second.
  o.base_backoff_seconds = 0.25;
  o.max_backoff_seconds = 1.0;
  o.backoff_randomness_seconds = 0.0;
  return o;
}

RtspMountOptions mount(bool udp_only = false) {
  RtspMountOptions m;
  m.width = 320;
  m.height = 240;
  m.fps = kFps;
  m.key_int_max = kFps;
  m.udp_only = udp_only;
  return m;
}

// What frames did over a stretch of time.
struct FrameRecord {
  int frames = 0;
  double first = 0.0;  // pull time of the first and the last frame
  double last = 0.0;
  double longest_gap = 0.0;  // between two frames, or from `start` to the first
};

// Collects frames until `until` (wall clock), or until the first frame after `stop_after`
// when that is set.
FrameRecord record_frames(GstStreamReader& reader, double start, double until,
                          double stop_after = 0.0) {
  FrameRecord r;
  double previous = start;
  std::uint64_t seen = 0;
  while (now_seconds() < until) {
    if (!reader.latest_frame_event()->wait(0.1)) continue;
    const Frame f = reader.latest_frame();
    if (!f.image || f.sequence == seen) continue;
    seen = f.sequence;
    if (r.frames++ == 0) r.first = f.timestamp;
    r.last = f.timestamp;
    r.longest_gap = std::max(r.longest_gap, f.timestamp - previous);
    previous = f.timestamp;
    if (stop_after > 0.0 && f.timestamp > stop_after) break;
  }
  return r;
}

struct CutCase {
  const char* name;
  bool tcp_fallback;
  // How long UDP is dropped; 0: for the rest of the test.
  double cut_seconds;
  // The longest gap in frames allowed, counted from the cut.
  double max_gap;
  const char* transport_after;
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class UdpCuts : public ::testing::TestWithParam<CutCase> {};

TEST_P(UdpCuts, FramesComeBackWithinTheGap) {
  STROVIX_IN_PRIVATE_NETWORK();
  const CutCase& c = GetParam();
  const double scale = time_scale();
  ScopedLogCapture log;
  RtspTestServer server;
  server.add_mount("/cam", mount());
  server.start();
  UdpCut nft;
  GstStreamReader reader(1, server.url("/cam"), {}, reader_options(c.tcp_fallback));
  ASSERT_TRUE(next_frame(reader, nullptr, 20.0 * scale));
  ASSERT_EQ(reader.stats().transport, "udp");
  // A second of clean stream first: the rule must not fire on it.
  record_frames(reader, now_seconds(), now_seconds() + 1.0);
  const double cut_at = now_seconds();
  ASSERT_TRUE(nft.cut());
  // The longest wait for a frame from the cut on, and whether frames came after it.
  double gap = 0.0;
  FrameRecord after;
  if (c.cut_seconds > 0) {
    const FrameRecord during = record_frames(reader, cut_at, cut_at + c.cut_seconds);
    ASSERT_TRUE(nft.restore());
    after = record_frames(reader, during.frames ? during.last : cut_at,
                          cut_at + c.cut_seconds + 15.0 * scale, cut_at + c.cut_seconds + 2.0);
    gap = std::max(during.longest_gap, after.longest_gap);
  } else {
    after = record_frames(reader, cut_at, cut_at + 10.0 * scale, cut_at + 0.1);
    gap = after.longest_gap;
  }
  ASSERT_GT(after.frames, 0) << "no frame after the cut";
  figure(std::string(c.name) + ": gap " + std::to_string(gap) + " s");
  EXPECT_LE(gap, c.max_gap * scale);
  EXPECT_EQ(reader.stats().transport, c.transport_after);
  EXPECT_EQ(log->count(kFallbackLine), c.tcp_fallback ? 1u : 0u);
  if (c.cut_seconds == 0) {
    // The stream over TCP keeps the camera's rate, while UDP is still cut.
    const double from = now_seconds();
    const FrameRecord tcp = record_frames(reader, from, from + 3.0);
    const double fps = tcp.frames > 1 ? (tcp.frames - 1) / (tcp.last - tcp.first) : 0.0;
    figure(std::string(c.name) + ": " + std::to_string(fps) + " fps over TCP");
    EXPECT_GE(fps, 0.7 * kFps / scale);
    EXPECT_EQ(reader.stats().transport, "tcp");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Network, UdpCuts,
    ::testing::Values(
        // Without the fallback the stream waits the cut out (rtspsrc resumes by itself).
        CutCase{"EightSecondsWaitedOut", false, 8.0, 11.0, "udp"},
        // With it the silence moves the stream to TCP after 3 s.
        CutCase{"EightSecondsOverTcp", true, 8.0, 7.0, "tcp"},
        CutCase{"LastingOverTcp", true, 0.0, 10.0, "tcp"}),
    [](const auto& info) { return std::string(info.param.name); });

// 5 % of the datagrams lost at random: the loss over 10 s moves the stream to TCP, which keeps
// the camera's rate.
TEST(UdpLoss, FivePercentMovesToTcpAfterTheWindow) {
  STROVIX_IN_PRIVATE_NETWORK();
  const double scale = time_scale();
  ScopedLogCapture log;
  RtspTestServer server;
  server.add_mount("/cam", mount());
  server.start();
  UdpCut nft;
  GstStreamReader reader(5, server.url("/cam"), {}, reader_options(true));
  ASSERT_TRUE(next_frame(reader, nullptr, 20.0 * scale));
  const double lossy_from = now_seconds();
  ASSERT_TRUE(nft.lose(5));
  ASSERT_TRUE(log->wait_for(kFallbackLine, 20.0 * scale));
  const double moved_after = now_seconds() - lossy_from;
  figure("5 % loss: moved to TCP after " + std::to_string(moved_after) + " s");
  EXPECT_GE(moved_after, 2.5) << "one look at a lossy second is not a measure";
  ASSERT_TRUE(next_frame(reader, nullptr, 10.0 * scale, now_seconds()));
  const double from = now_seconds();
  const FrameRecord tcp = record_frames(reader, from, from + 2.0);
  const double fps = tcp.frames > 1 ? (tcp.frames - 1) / (tcp.last - tcp.first) : 0.0;
  figure("5 % loss: " + std::to_string(fps) + " fps over TCP");
  EXPECT_GE(fps, 0.7 * kFps / scale);
  EXPECT_EQ(reader.stats().transport, "tcp");
  EXPECT_GT(reader.stats().packets_lost, 0u);
}

// UDP blocked before the reader starts: rtspsrc itself tries TCP after its UDP time-out (5 s),
// the rule stays out of it, and stats() tells the truth.
TEST(UdpBlockedFromTheStart, RtspsrcMovesToTcpByItself) {
  STROVIX_IN_PRIVATE_NETWORK();
  const double scale = time_scale();
  ScopedLogCapture log;
  RtspTestServer server;
  server.add_mount("/cam", mount());
  server.start();
  UdpCut nft;
  ASSERT_TRUE(nft.cut());
  const double start = now_seconds();
  GstStreamReader reader(4, server.url("/cam"), {}, reader_options(true));
  ASSERT_TRUE(next_frame(reader, nullptr, 15.0 * scale));
  figure("first frame after " + std::to_string(now_seconds() - start) + " s");
  // Told apart by a few packets over TCP while the UDP sources deliver none.
  std::string transport;
  for (int i = 0; i < 40 && (transport = reader.stats().transport) != "tcp"; ++i) {
    reader.new_frame_event()->wait(0.05);
    reader.new_frame_event()->clear();
  }
  EXPECT_EQ(transport, "tcp");
  EXPECT_EQ(reader.stats().udp_receive_buffer, 0) << "its UDP sockets carry nothing";
  EXPECT_EQ(log->count(kFallbackLine), 0u);
}

// A camera that serves no TCP: the move fails, and the reader keeps retrying over TCP with
// its back-off, never flapping back to UDP.
TEST(UdpCutTcpRefused, BacksOffAndStaysOnTcp) {
  STROVIX_IN_PRIVATE_NETWORK();
  const double scale = time_scale();
  ScopedLogCapture log;
  RtspTestServer server;
  server.add_mount("/udp", mount(true));
  server.start();
  UdpCut nft;
  GstStreamReader reader(2, server.url("/udp"), {}, reader_options(true));
  ASSERT_TRUE(next_frame(reader, nullptr, 20.0 * scale));
  ASSERT_TRUE(nft.cut());
  ASSERT_TRUE(log->wait_for(kFallbackLine, 10.0 * scale));
  const std::uint64_t restarts_at_fallback = reader.stats().restarts;
  // Bounded by the back-off: over 6 s at most one restart per 0.25 s first delay plus
  // back-offs of at least 0.25 s.
  const double until = now_seconds() + 6.0;
  bool udp_again = false;
  for (int i = 0; i < 120 && now_seconds() < until; ++i) {
    reader.new_status_event()->wait(0.05);
    reader.new_status_event()->clear();
    udp_again |= reader.stats().transport != "tcp";
  }
  const auto st = reader.stats();
  const std::uint64_t restarts = st.restarts - restarts_at_fallback;
  figure("TCP refused: " + std::to_string(restarts) + " restarts in 6 s");
  EXPECT_FALSE(udp_again);
  EXPECT_GE(restarts, 2u) << "the failing TCP session must be retried";
  EXPECT_LE(restarts, 12u) << "retries must follow the back-off";
  EXPECT_EQ(log->count(kFallbackLine), 1u);
  EXPECT_GT(st.restarts_since_frame, 0u);
}

}  // namespace

// On a clean loopback: what stats() says of the transport, and a stream that loses nothing
// stays on UDP.
TEST(TransportStats, SayWhatCarriesTheStream) {
  const double scale = time_scale();
  ScopedLogCapture log;
  RtspTestServer server;
  server.add_mount("/cam", mount());
  server.start();
  for (bool proxied : {false, true}) {
    auto o = reader_options(true);
    o.proxied = proxied;
    GstStreamReader reader(3, server.url("/cam"), {}, o);
    ASSERT_TRUE(next_frame(reader, nullptr, 20.0 * scale));
    const double from = now_seconds();
    record_frames(reader, from, from + 1.5);
    const auto st = reader.stats();
    figure(std::string(proxied ? "tcp" : "udp") + " receive buffer " +
           std::to_string(st.udp_receive_buffer));
    EXPECT_EQ(st.transport, proxied ? "tcp" : "udp");
    if (proxied) {
      EXPECT_EQ(st.udp_receive_buffer, 0);
    } else {
      // The kernel reports twice what it granted; it grants at most net.core.rmem_max.
      EXPECT_GT(st.udp_receive_buffer, 0);
    }
    EXPECT_EQ(st.udp_kernel_drops, 0u);
    EXPECT_EQ(st.restarts, 0u);
  }
  EXPECT_EQ(log->count(kFallbackLine), 0u);
}
