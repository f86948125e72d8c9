// Network faults between the reader and a loopback server, injected by a TCP proxy: each one
// is noticed (by an error, an end-of-stream or the stall watchdog), leads to reconnects, and
// the stream delivers frames again once the proxy passes traffic.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "support/log_capture.hpp"
#include "reliability_helpers.hpp"
#include "strovix/stream_reader/gst.hpp"
#include "support/fault_proxy.hpp"
#include "support/http_server.hpp"
#include "support/process_stats.hpp"
#include "support/rtsp_server.hpp"

using namespace strovix;
using namespace strovix::reliability;
using strovix::testing::FaultProxy;
using strovix::testing::HttpTestServer;
using strovix::testing::ProxyMode;
using strovix::testing::RtspTestServer;

namespace {

constexpr const char* kRestartLine = "Shutting the pipeline down...";
constexpr const char* kWatchdogLine = "strovix: watchdog stream_id ";
// The watchdog's stall limit for the stall cases. The others keep it above the few seconds
// that a teardown of a broken RTSP session can take: the stall clock of a rebuilt pipeline
// starts with the restart, teardown included, by design.
constexpr double kStallFrameTimeout = 1.0;
constexpr double kFrameTimeout = 3.0;
constexpr double kMaxBackoff = 0.25;

enum class Proto { RTSP, HTTP };

struct FaultCase {
  const char* name;
  Proto proto;
  ProxyMode mode;
  // The reader starts behind a proxy that is already faulty (no first frame before it).
  bool from_start;
  // The fault lasts until this many restarts have happened (each reconnect fails again),
  // and no more than `max_restarts` may have happened by the time frames are back.
  int min_restarts;
  int max_restarts;
  // The stall watchdog, not an error, must be what notices the fault.
  bool watchdog;
  double frame_timeout() const { return watchdog ? kStallFrameTimeout : kFrameTimeout; }
};

std::string case_name(const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; }

class ProxiedStreams : public ::testing::TestWithParam<FaultCase> {
 protected:
  static void SetUpTestSuite() {
    rtsp_ = new RtspTestServer();
    rtsp_->add_mount("/h264", {.codec = strovix::testing::RtspCodec::H264,
                               .width = 160,
                               .height = 120,
                               .fps = 15,
                               .key_int_max = 15});
    rtsp_->start();
    HttpTestServer::Options http_options;
    http_options.width = 160;
    http_options.height = 120;
    http_ = new HttpTestServer(http_options);
  }
  static void TearDownTestSuite() {
    EXPECT_TRUE(wait_for_clients_to_leave(*rtsp_, 10.0 * time_scale()));
    delete rtsp_;
    delete http_;
    rtsp_ = nullptr;
    http_ = nullptr;
  }

  static RtspTestServer* rtsp_;
  static HttpTestServer* http_;
};

RtspTestServer* ProxiedStreams::rtsp_ = nullptr;
HttpTestServer* ProxiedStreams::http_ = nullptr;

TEST_P(ProxiedStreams, FaultIsNoticedAndTheStreamRecoversWhenTrafficPassesAgain) {
  const FaultCase& c = GetParam();
  const double scale = time_scale();
  ToleratedRtspsrcCritical rtspsrc_quirk;
  const bool rtsp = c.proto == Proto::RTSP;
  FaultProxy proxy(rtsp ? rtsp_->port() : http_->port());
  const std::string url = rtsp ? proxy.url("rtsp", "/h264") : proxy.url("http", "/mjpeg");

  ScopedLogCapture log;
  GstStreamReader::Options o;
  o.proxied = true;  // rtsp over TCP, so every byte goes through the proxy
  o.frame_timeout = c.frame_timeout();
  o.base_backoff_seconds = 0.0;
  o.max_backoff_seconds = kMaxBackoff;
  o.backoff_randomness_seconds = 0.0;
  o.state_change_timeout = 5.0;

  if (c.from_start) proxy.set_mode(c.mode);
  auto reader = std::make_unique<GstStreamReader>(40, url, RuntimeOptions{}, o);
  double fault_start = steady_seconds();
  std::size_t restarts_before = 0;
  if (!c.from_start) {
    ASSERT_TRUE(next_frame(*reader, nullptr, 20.0 * scale)) << "no frame before the fault";
    restarts_before = log->count(kRestartLine);
    fault_start = steady_seconds();
    proxy.set_mode(c.mode);
  }

  // The fault must be noticed: a restart, led by the watchdog where the fault is silence.
  const double notice_bound = (c.frame_timeout() + 3.0) * scale;
  ASSERT_TRUE(log->wait_for_count(kRestartLine, restarts_before + 1, notice_bound))
      << "no restart within " << notice_bound << " s of the " << to_string(c.mode);
  const double noticed_after = steady_seconds() - fault_start;
  if (c.watchdog) {
    EXPECT_GE(log->count(kWatchdogLine), 1u);
    EXPECT_GE(noticed_after, c.frame_timeout() * 0.9);
  }
  // The fault goes on: reconnect attempts keep failing, without harm, until enough of them
  // have been made.
  ASSERT_TRUE(log->wait_for_count(kRestartLine, restarts_before + c.min_restarts,
                                  c.min_restarts * notice_bound));
  const int accepted_in_fault = proxy.accepted();

  const double pass_wall = now_seconds();
  const double pass_steady = steady_seconds();
  proxy.set_mode(ProxyMode::PASS);
  Frame back;
  ASSERT_TRUE(next_frame(*reader, &back, 20.0 * scale, pass_wall))
      << "no frame after the proxy passes again";
  const double recovery = back.timestamp - pass_wall;
  const auto restarts = log->count(kRestartLine) - restarts_before;
  EXPECT_GE(restarts, static_cast<std::size_t>(c.min_restarts));
  EXPECT_LE(restarts, static_cast<std::size_t>(c.max_restarts));
  EXPECT_LE(recovery, (c.frame_timeout() + kMaxBackoff + 5.0) * scale);
  ASSERT_TRUE(back.image);
  EXPECT_EQ(back.image->width, 160);
  EXPECT_EQ(back.image->height, 120);

  // Frames keep coming after the recovery.
  Frame later;
  EXPECT_TRUE(next_frame(*reader, &later, 5.0 * scale, back.timestamp + 0.001));

  figure("noticed after " + std::to_string(noticed_after) +
         " s, restarts " + std::to_string(restarts) + ", connections during the fault " +
         std::to_string(accepted_in_fault) + " (" + std::to_string(proxy.turned_away()) +
         " closed at once), first frame " + std::to_string(recovery) +
         " s after the proxy passed again (" +
         std::to_string(steady_seconds() - pass_steady) + " s to the second); rtspsrc seqnum criticals " +
         std::to_string(rtspsrc_quirk.count()));
  if (c.mode == ProxyMode::CORRUPT) {
    EXPECT_GT(proxy.bytes_corrupted(), 0u);
  }

  timed("destroying the reader", 60.0 * scale, [&] { reader.reset(); });
  EXPECT_EQ(strovix::testing::reader_threads(), 0);
}

// Upper bounds: after the last wanted failed reconnect, a refused attempt may come every
// 0.25 s (the back-off cap) until the proxy passes; a connection that was faulty when traffic
// resumed may need one more restart; and a pipeline that posts two messages for one fault
// (an element's error, then its source's flow error) may cost one more, since the watcher
// acts on every EOS and error by design.
INSTANTIATE_TEST_SUITE_P(
    Faults, ProxiedStreams,
    ::testing::Values(
        FaultCase{"rtsp_stall", Proto::RTSP, ProxyMode::STALL, false, 2, 5, true},
        FaultCase{"rtsp_cut", Proto::RTSP, ProxyMode::CUT, false, 3, 8, false},
        FaultCase{"rtsp_refuse_from_start", Proto::RTSP, ProxyMode::REFUSE, true, 3, 8,
                  false},
        FaultCase{"rtsp_corrupt", Proto::RTSP, ProxyMode::CORRUPT, false, 1, 12, false},
        FaultCase{"http_stall", Proto::HTTP, ProxyMode::STALL, false, 2, 5, true},
        FaultCase{"http_cut", Proto::HTTP, ProxyMode::CUT, false, 3, 8, false},
        FaultCase{"http_refuse_from_start", Proto::HTTP, ProxyMode::REFUSE, true, 3, 8,
                  false},
        FaultCase{"http_corrupt", Proto::HTTP, ProxyMode::CORRUPT, false, 1, 12, false}),
    case_name);

}  // namespace
