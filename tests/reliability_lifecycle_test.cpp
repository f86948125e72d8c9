// close(), wait_until_closed() and destruction at every phase of a stream's life: while
// streaming, during a back-off, in the middle of a restart, before the first frame, and
// around a must_play wait. Nothing may deadlock or crash, and each call returns within what
// the design allows:
//   - close() takes the status lock, which the supervision thread holds across a back-off
//     sleep and the restart that follows; so close() may block for the back-off in force
//     plus one restart (teardown, bounded by state_change_timeout for the NULL wait, and
//     the build of the next pipeline). Otherwise it returns at once.
//   - wait_until_closed() and destruction add the final teardown (again up to
//     state_change_timeout) and the joins of both threads.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/log_capture.hpp"
#include "reliability_helpers.hpp"
#include "strovix/errors.hpp"
#include "strovix/stream_reader/gst.hpp"
#include "support/fault_proxy.hpp"
#include "support/fault_source.hpp"
#include "support/process_stats.hpp"
#include "support/rtsp_server.hpp"

using namespace strovix;
using namespace strovix::reliability;
namespace st = strovix::testing;
using st::FaultProxy;
using st::ProxyMode;

namespace {

constexpr double kStateChangeTimeout = 3.0;
constexpr double kBackoff = 2.0;
constexpr double kFrameTimeout = 1.0;
constexpr const char* kRestartLine = "Shutting the pipeline down...";
constexpr int kSlowStopMs = 1500;

enum class Phase { STREAMING, BACKOFF, MID_RESTART, MID_SLOW_RESTART, BEFORE_FIRST_FRAME };
enum class Op { CLOSE, WAIT_UNTIL_CLOSED, DESTROY };

const char* name_of(Phase p) {
  switch (p) {
    case Phase::STREAMING: return "streaming";
    case Phase::BACKOFF: return "backoff";
    case Phase::MID_RESTART: return "mid_restart";
    case Phase::MID_SLOW_RESTART: return "mid_slow_restart";
    case Phase::BEFORE_FIRST_FRAME: return "before_first_frame";
  }
  return "?";
}

const char* name_of(Op o) {
  switch (o) {
    case Op::CLOSE: return "close";
    case Op::WAIT_UNTIL_CLOSED: return "wait_until_closed";
    case Op::DESTROY: return "destroy";
  }
  return "?";
}

struct LifecycleCase {
  Phase phase;
  Op op;
};

std::string case_name(const ::testing::TestParamInfo<LifecycleCase>& info) {
  return std::string(name_of(info.param.phase)) + "_" + name_of(info.param.op);
}

// Sum of every pixel byte: reads the whole image, so a freed buffer is noticed by ASan.
std::uint64_t pixel_sum(const Image& image) {
  std::uint64_t sum = 0;
  for (int y = 0; y < image.height; ++y) {
    const std::uint8_t* row = image.row(y);
    for (int x = 0; x < image.width * image.channels; ++x) sum += row[x];
  }
  return sum;
}

class Lifecycle : public ::testing::TestWithParam<LifecycleCase> {
 protected:
  static void SetUpTestSuite() {
    server_ = new st::RtspTestServer();
    server_->add_mount("/h264", {.codec = st::RtspCodec::H264,
                                 .width = 160,
                                 .height = 120,
                                 .fps = 15,
                                 .key_int_max = 15});
    server_->start();
  }
  static void TearDownTestSuite() {
    EXPECT_TRUE(wait_for_clients_to_leave(*server_, 10.0 * time_scale()));
    delete server_;
    server_ = nullptr;
  }
  static st::RtspTestServer* server_;
};

st::RtspTestServer* Lifecycle::server_ = nullptr;

GstStreamReader::Options base_options() {
  GstStreamReader::Options o;
  o.proxied = true;
  o.state_change_timeout = kStateChangeTimeout;
  o.frame_timeout = kFrameTimeout;
  o.base_backoff_seconds = 0.0;
  o.max_backoff_seconds = 0.05;
  o.backoff_randomness_seconds = 0.0;
  return o;
}

TEST_P(Lifecycle, ReturnsWithinItsBoundAndLeavesNothingRunning) {
  const LifecycleCase c = GetParam();
  const double scale = time_scale();
  ToleratedRtspsrcCritical rtspsrc_quirk;
  FaultProxy proxy(server_->port());
  ScopedLogCapture log;
  std::unique_ptr<GstStreamReader> reader;
  Frame kept;
  // The longest the operation may take in this phase (see the top of the file).
  double bound = 1.0;
  const double teardown = kStateChangeTimeout + 1.0;

  switch (c.phase) {
    case Phase::STREAMING: {
      reader = std::make_unique<GstStreamReader>(70, proxy.url("rtsp", "/h264"),
                                                 RuntimeOptions{}, base_options());
      ASSERT_TRUE(next_frame(*reader, &kept, 20.0 * scale));
      bound = c.op == Op::CLOSE ? 1.0 : teardown;
      break;
    }
    case Phase::BACKOFF: {
      // Ends at once, every time: the first restart comes after 0.01 s, the next after the
      // full back-off.
      auto o = base_options();
      o.pipeline_str =
          "videotestsrc num-buffers=1 ! video/x-raw,format=BGR,width=32,height=24 ! appsink";
      o.base_backoff_seconds = kBackoff;
      o.max_backoff_seconds = kBackoff;
      reader = std::make_unique<GstStreamReader>(71, "test://lifecycle/backoff",
                                                 RuntimeOptions{}, o);
      ASSERT_TRUE(log->wait_for_count("HALTED pipeline state changed", 2, 10.0 * scale));
      // The supervision thread now sleeps out the back-off holding the status lock.
      bound = kBackoff + teardown;
      break;
    }
    case Phase::MID_RESTART: {
      reader = std::make_unique<GstStreamReader>(72, proxy.url("rtsp", "/h264"),
                                                 RuntimeOptions{}, base_options());
      ASSERT_TRUE(next_frame(*reader, &kept, 20.0 * scale));
      // The proxy accepts and never answers: the watchdog restarts, the teardown of the
      // stalled source and the new connection both meet silence.
      proxy.set_mode(ProxyMode::STALL);
      ASSERT_TRUE(log->wait_for(kRestartLine, (kFrameTimeout + 5.0) * scale));
      bound = 0.05 + teardown + 1.0;
      break;
    }
    case Phase::MID_SLOW_RESTART: {
      // A source whose teardown takes 1.5 s and which ends after a second of frames: the
      // first restart is caught in its teardown, and the next pipeline plays long enough for
      // the operation to get the status lock before another restart could take it.
      st::register_fault_source();
      auto o = base_options();
      o.pipeline_str =
          "strovixfaultsrc frames=30 stop-delay-ms=" + std::to_string(kSlowStopMs) +
          " ! appsink max-buffers=1 drop=true";
      o.frame_timeout = 10.0;  // above the teardown, as the watchdog's clock includes it
      reader = std::make_unique<GstStreamReader>(74, "test://lifecycle/slow-restart",
                                                 RuntimeOptions{}, o);
      ASSERT_TRUE(log->wait_for(kRestartLine, 10.0 * scale));
      // Back-off in force: none. The restart: the slow teardown and a build.
      const double restart = kSlowStopMs / 1000.0 + 1.0;
      bound = c.op == Op::CLOSE ? restart : restart + kSlowStopMs / 1000.0 + 1.0;
      break;
    }
    case Phase::BEFORE_FIRST_FRAME: {
      proxy.set_mode(ProxyMode::STALL);
      reader = std::make_unique<GstStreamReader>(77, proxy.url("rtsp", "/h264"),
                                                 RuntimeOptions{}, base_options());
      ASSERT_TRUE(proxy.wait_for_accepted(1, 5.0 * scale));
      EXPECT_FALSE(reader->latest_frame().image);
      bound = c.op == Op::CLOSE ? 1.0 : teardown;
      break;
    }
  }
  const std::uint64_t kept_sum = kept.image ? pixel_sum(*kept.image) : 0;

  const double took = timed(std::string(name_of(c.op)) + " while " + name_of(c.phase),
                            (bound + 30.0) * scale, [&] {
                              switch (c.op) {
                                case Op::CLOSE: reader->close(); break;
                                case Op::WAIT_UNTIL_CLOSED: reader->wait_until_closed(); break;
                                case Op::DESTROY: reader.reset(); break;
                              }
                            });
  figure(std::string(name_of(c.op)) + " while " + name_of(c.phase) + " took " +
         std::to_string(took) + " s (bound " + std::to_string(bound) + " s)");
  EXPECT_LE(took, bound * scale);
  if (reader) {
    EXPECT_EQ(reader->status(), StreamStatus::CLOSED);
    EXPECT_TRUE(reader->latest_frame_event()->is_set());  // close wakes frame waiters
    const double rest = timed("destroying after " + std::string(name_of(c.op)),
                              (teardown + 30.0) * scale, [&] { reader.reset(); });
    EXPECT_LE(rest, teardown * scale);
  }
  EXPECT_EQ(st::reader_threads(), 0);
  if (kept.image) {
    // The frame outlives its reader and still holds the same pixels.
    EXPECT_EQ(pixel_sum(*kept.image), kept_sum);
    EXPECT_EQ(kept.image->width, 160);
  }
}

std::vector<LifecycleCase> all_cases() {
  std::vector<LifecycleCase> cases;
  for (Phase p : {Phase::STREAMING, Phase::BACKOFF, Phase::MID_RESTART, Phase::MID_SLOW_RESTART,
                  Phase::BEFORE_FIRST_FRAME}) {
    for (Op o : {Op::CLOSE, Op::WAIT_UNTIL_CLOSED, Op::DESTROY}) cases.push_back({p, o});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Phases, Lifecycle, ::testing::ValuesIn(all_cases()), case_name);

// must_play blocks the constructor until the first pipeline plays: against a server that
// never answers it gives up after state_change_timeout, leaving nothing behind; when traffic
// starts flowing during the wait, construction succeeds and frames follow.
TEST_F(Lifecycle, MustPlayWaitGivesUpInTimeOrSucceedsWhenTrafficResumes) {
  const double scale = time_scale();
  ToleratedRtspsrcCritical rtspsrc_quirk;
  {
    FaultProxy proxy(server_->port());
    proxy.set_mode(ProxyMode::STALL);
    auto o = base_options();
    o.must_play = true;
    std::string error;
    const double took = timed("must_play against silence", (kStateChangeTimeout + 60.0) * scale, [&] {
      try {
        GstStreamReader reader(78, proxy.url("rtsp", "/h264"), {}, o);
      } catch (const StreamSetupError& e) {
        error = e.what();
      }
    });
    figure("must_play against a silent server failed after " + std::to_string(took) + " s");
    EXPECT_NE(error.find("did not reach PLAYING"), std::string::npos) << error;
    EXPECT_GE(took, kStateChangeTimeout * 0.9);
    // The wait, then the teardown of the source that never answered.
    EXPECT_LE(took, (2 * kStateChangeTimeout + 1.0) * scale);
    EXPECT_EQ(st::reader_threads(), 0);
  }
  {
    FaultProxy proxy(server_->port());
    proxy.set_mode(ProxyMode::STALL);
    auto o = base_options();
    o.must_play = true;
    o.state_change_timeout = 20.0;
    std::unique_ptr<GstStreamReader> reader;
    std::thread constructing([&] {
      reader = std::make_unique<GstStreamReader>(79, proxy.url("rtsp", "/h264"),
                                                 RuntimeOptions{}, o);
    });
    ASSERT_TRUE(proxy.wait_for_accepted(1, 10.0 * scale));
    const double resumed = steady_seconds();
    proxy.set_mode(ProxyMode::PASS);
    timed("must_play after traffic resumes", 60.0 * scale, [&] { constructing.join(); });
    ASSERT_TRUE(reader);
    figure("must_play construction returned " + std::to_string(steady_seconds() - resumed) +
           " s after traffic resumed");
    EXPECT_TRUE(next_frame(*reader, nullptr, 10.0 * scale));
    reader.reset();
    EXPECT_EQ(st::reader_threads(), 0);
  }
}

// A zero-copy frame (BGR straight from the appsink) keeps its sample mapped after the reader
// and its pipeline are gone.
TEST(KeptFrames, AZeroCopyFrameStaysValidAfterItsReaderIsDestroyed) {
  auto o = base_options();
  o.proxied = false;
  o.pipeline_str =
      "videotestsrc pattern=smpte is-live=true ! video/x-raw,format=BGR,width=64,height=48,"
      "framerate=30/1 ! appsink max-buffers=1 drop=true";
  Frame kept;
  std::uint64_t sum = 0;
  {
    GstStreamReader reader(80, "test://lifecycle/kept", {}, o);
    ASSERT_TRUE(next_frame(reader, &kept, 10.0 * time_scale()));
    sum = pixel_sum(*kept.image);
  }
  EXPECT_EQ(st::reader_threads(), 0);
  ASSERT_TRUE(kept.image);
  EXPECT_EQ(kept.image->width, 64);
  EXPECT_GT(sum, 0u);
  EXPECT_EQ(pixel_sum(*kept.image), sum);
}

}  // namespace
