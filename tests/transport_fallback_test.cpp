// The rule that moves a UDP stream to TCP, driven by scripted observations on a clock of the
// test's own (four looks a second, as the reader makes them), and the UDP receive buffer's
// size.
#include "stream_reader/transport_fallback.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pipeline_factories/sdp_size.hpp"
#include "stream_reader/rtp_counters.hpp"
#include "strovix/gst/pipeline_factories.hpp"

using namespace strovix;
using detail::TransportFallback;
using detail::TransportObservation;

namespace {

constexpr double kStep = 0.25;

struct Script {
  const char* name;
  double seconds;
  // Packets a second arriving at time t, and the share of them lost.
  std::function<double(double)> rate;
  std::function<double(double)> loss;
  // Whether an intact frame is delivered at t.
  std::function<bool(double)> frame = [](double) { return true; };
  std::function<bool(double)> playing = [](double) { return true; };
  bool udp = true;
  bool keyframes_only = false;
  // Times at which a new pipeline takes over (counters start from 0 again).
  std::vector<double> new_pipelines = {};
  // Expected: the window of times in which the one decision falls, and a text it holds;
  // no decision at all when `reason` is empty.
  double from = 0.0;
  double to = 0.0;
  const char* reason = "";
};

void PrintTo(const Script& s, std::ostream* os) { *os << s.name; }

struct Outcome {
  int decisions = 0;
  double at = -1.0;
  std::string why;
};

Outcome run(const Script& s) {
  TransportFallback rule;
  Outcome out;
  double received = 0.0;
  double lost = 0.0;
  std::optional<double> last_frame;
  double pipeline_start = 0.0;
  std::size_t next_pipeline = 0;
  for (double t = 0.0; t <= s.seconds + 1e-9; t += kStep) {
    TransportObservation seen;
    if (next_pipeline < s.new_pipelines.size() && t >= s.new_pipelines[next_pipeline]) {
      ++next_pipeline;
      received = lost = 0.0;
      last_frame.reset();
      pipeline_start = t;
      seen.new_pipeline = true;
    }
    const double packets = s.rate(t) * kStep;
    lost += packets * s.loss(t);
    received += packets * (1.0 - s.loss(t));
    if (s.frame(t)) last_frame = t;
    seen.now = 1000.0 + t;  // any epoch will do
    seen.counters.rtp = true;
    seen.counters.udp = s.udp;
    seen.counters.received = static_cast<std::uint64_t>(received);
    seen.counters.lost = static_cast<std::uint64_t>(std::floor(lost));
    seen.playing = s.playing(t);
    if (last_frame) seen.last_frame = 1000.0 + *last_frame;
    seen.pipeline_start = 1000.0 + pipeline_start;
    seen.sparse_frames = s.keyframes_only;
    if (auto why = rule.observe(seen)) {
      if (out.decisions++ == 0) {
        out.at = t;
        out.why = *why;
      }
    }
  }
  return out;
}

auto constant(double v) {
  return [v](double) { return v; };
}
auto until(double end, double v) {
  return [end, v](double t) { return t < end ? v : 0.0; };
}
auto from(double start, double v) {
  return [start, v](double t) { return t >= start ? v : 0.0; };
}

class FallbackRule : public ::testing::TestWithParam<Script> {};

TEST_P(FallbackRule, DecidesOnceWhereItShould) {
  const Script& s = GetParam();
  const Outcome out = run(s);
  if (std::string(s.reason).empty()) {
    EXPECT_EQ(out.decisions, 0) << "decided at " << out.at << " s: " << out.why;
    return;
  }
  // Sticky: the first decision is the only one, however long the fault goes on.
  ASSERT_EQ(out.decisions, 1);
  EXPECT_GE(out.at, s.from);
  EXPECT_LE(out.at, s.to);
  EXPECT_NE(out.why.find(s.reason), std::string::npos) << out.why;
}

INSTANTIATE_TEST_SUITE_P(
    Transport, FallbackRule,
    ::testing::Values(
        Script{.name = "Clean", .seconds = 30, .rate = constant(100), .loss = constant(0)},
        Script{.name = "HalfAPercentStays",
               .seconds = 30,
               .rate = constant(100),
               .loss = constant(0.005)},
        // Judged once the window holds 10 s, and not before.
        Script{.name = "TwoPercentMoves",
               .seconds = 30,
               .rate = constant(100),
               .loss = constant(0.02),
               .from = 10,
               .to = 10.5,
               .reason = "(2.00 %) in 10.0 s"},
        // 5 of the window's 1000 packets lost a second: more than 10 by 22 s.
        Script{.name = "LossAfterACleanStartMoves",
               .seconds = 40,
               .rate = constant(100),
               .loss = from(20, 0.05),
               .from = 21.5,
               .to = 22.5,
               .reason = "RTP packets ("},
        // Too few packets in the window for a share to mean anything.
        Script{.name = "SparseStreamStays",
               .seconds = 30,
               .rate = constant(5),
               .loss = constant(0.02)},
        // The last packets arrive at 4.75 s.
        Script{.name = "SilenceMoves",
               .seconds = 20,
               .rate = until(5, 100),
               .loss = constant(0),
               .from = 7.75,
               .to = 8,
               .reason = "no RTP over UDP for 3."},
        Script{.name = "SilenceWhileNotPlayingStays",
               .seconds = 20,
               .rate = until(5, 100),
               .loss = constant(0),
               .playing = [](double t) { return t < 5; }},
        // rtspsrc handles a UDP path that never worked (it tries TCP by itself).
        Script{.name = "NeverAnyRtpStays", .seconds = 20, .rate = constant(0), .loss = constant(0)},
        Script{.name = "OverTcpStays",
               .seconds = 30,
               .rate = until(5, 100),
               .loss = constant(0.05),
               .udp = false},
        // One lost packet in a stream that then gives no intact frame (the last one at 1.75 s).
        Script{.name = "LossStarvingFramesMoves",
               .seconds = 20,
               .rate = constant(100),
               .loss = [](double t) { return t >= 2 && t < 2.25 ? 0.04 : 0.0; },
               .frame = [](double t) { return t < 2; },
               .from = 4.75,
               .to = 5,
               .reason = "since the last intact frame, none for 3."},
        Script{.name = "StarvingWithoutLossStays",
               .seconds = 20,
               .rate = constant(100),
               .loss = constant(0),
               .frame = [](double t) { return t < 2; }},
        Script{.name = "KeyframesOnlyWaitsForFramesByChoice",
               .seconds = 20,
               .rate = constant(100),
               .loss = [](double t) { return t >= 2 && t < 2.25 ? 0.04 : 0.0; },
               .frame = [](double t) { return std::fmod(t, 5.0) < kStep; },
               .keyframes_only = true},
        // Each pipeline's losses are measured on their own: 8 s of each is no full window.
        Script{.name = "NewPipelineStartsTheWindowOver",
               .seconds = 16,
               .rate = constant(100),
               .loss = constant(0.02),
               .new_pipelines = {8}},
        // A new pipeline that has had no RTP yet is not silent.
        Script{.name = "NewPipelineBeforeItsFirstPacketStays",
               .seconds = 20,
               .rate = until(5, 100),
               .loss = constant(0),
               .new_pipelines = {5}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UdpReceiveBuffer, DefaultUpTo1080pAndMoreAboveCapped) {
  const int kDefault = RTSPPipelineFactory::DEFAULT_UDP_BUFFER_SIZE;
  EXPECT_EQ(kDefault, 512 * 1024);
  struct Case {
    int width, height, bytes;
  };
  for (const Case& c : std::vector<Case>{{0, 0, kDefault},
                                         {-1, 1080, kDefault},
                                         {640, 480, kDefault},
                                         {1920, 1080, kDefault},
                                         {3840, 2160, 4 * kDefault},
                                         {7680, 4320, 8 * 1024 * 1024},
                                         {100000, 100000, 8 * 1024 * 1024}}) {
    EXPECT_EQ(RTSPPipelineFactory::udp_buffer_size_for(c.width, c.height), c.bytes)
        << c.width << "x" << c.height;
  }
}

TEST(UdpReceiveBuffer, PictureSizeFromTheStreamsDescription) {
  struct Case {
    const char* caps;
    int width, height;
  };
  for (const Case& c : std::vector<Case>{
           {"application/x-rtp, media=video, a-framesize=(string)\"96 3840-2160\"", 3840, 2160},
           {"application/x-rtp, media=video, a-x-dimensions=(string)\"2560,1440\"", 2560, 1440},
           {"application/x-rtp, media=video, a-framesize=(string)3840-2160", 0, 0},
           {"application/x-rtp, media=video, a-framesize=(string)\"96 wide\"", 0, 0},
           {"application/x-rtp, media=video", 0, 0}}) {
    GstCaps* caps = gst_caps_from_string(c.caps);
    ASSERT_NE(caps, nullptr) << c.caps;
    const auto [width, height] = detail::sdp_picture_size(gst_caps_get_structure(caps, 0));
    EXPECT_EQ(width, c.width) << c.caps;
    EXPECT_EQ(height, c.height) << c.caps;
    gst_caps_unref(caps);
  }
}

// A UDP source whose socket nobody reads (READY opens it, only PLAYING reads it): the kernel
// drops what its small buffer cannot hold, and the counters see it.
TEST(RtpCounters, CountTheKernelsDropsAtUdpSockets) {
  GstElement* pipeline = gst_parse_launch(
      "udpsrc name=u port=0 address=127.0.0.1 buffer-size=4096 ! fakesink", nullptr);
  ASSERT_NE(pipeline, nullptr);
  ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_READY), GST_STATE_CHANGE_FAILURE);
  GstElement* udpsrc = gst_bin_get_by_name(GST_BIN(pipeline), "u");
  int port = 0;
  g_object_get(udpsrc, "port", &port, nullptr);
  gst_object_unref(udpsrc);
  ASSERT_GT(port, 0);
  EXPECT_EQ(detail::read_rtp_counters(pipeline).kernel_drops, 0u);

  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::vector<char> datagram(1200, 'x');
  for (int i = 0; i < 200; ++i) {
    sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  }
  close(fd);
  const auto counters = detail::read_rtp_counters(pipeline);
  EXPECT_TRUE(counters.udp);
  EXPECT_FALSE(counters.rtp) << "no jitter buffer in this pipeline";
  EXPECT_GT(counters.kernel_drops, 100u);
  EXPECT_GT(counters.udp_receive_buffer, 0);
  EXPECT_LT(counters.udp_receive_buffer, 64 * 1024);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
}

}  // namespace
