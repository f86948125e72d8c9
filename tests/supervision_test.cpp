// Supervision: back-off, the restart loop, the bus watcher, the health test and the
// keyframe-only filter, against real pipelines.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "stream_reader/keyframe_filter.hpp"
#include "stream_reader/pipeline_restarter.hpp"
#include "stream_reader/wiring.hpp"
#include "support/fault_source.hpp"
#include "support/log_capture.hpp"
#include "support/stream_fixtures.hpp"

using namespace strovix;
using detail::KeyframeFilter;
using detail::PipelineRestarter;
using detail::PipelineState;
using strovix::testing::ScriptedFactory;

namespace {

// Nobody pulls in these tests: wait-on-eos=false lets the appsink post its end-of-stream
// without waiting for its queue to be drained.
// Clock-synchronised at 30 fps, it ends about 0.1 s after it starts: late enough that the
// first build has announced STREAMING before the end-of-stream arrives, even on a loaded
// machine.
const char* kEnds =
    "videotestsrc num-buffers=3 ! video/x-raw,framerate=30/1 ! "
    "appsink max-buffers=1 drop=true wait-on-eos=false";
const char* kLive = "videotestsrc is-live=true ! appsink max-buffers=1 drop=true";
const char* kH264 =
    "videotestsrc is-live=true num-buffers=%d ! video/x-raw,width=160,height=120,framerate=30/1 ! "
    "x264enc key-int-max=30 tune=zerolatency speed-preset=ultrafast ! "
    "h264parse name=strovix_buffer_src ! avdec_h264 ! appsink name=s sync=false";

std::string h264(int buffers) {
  char text[512];
  std::snprintf(text, sizeof(text), kH264, buffers);
  return text;
}

// A stream's state, supervision and filter wired together as the reader wires them.
struct Stream {
  Stream(int id, const std::string& first, const std::string& later, double base, double max,
         double spread, bool keyframes_only = false, bool start = true)
      : Stream(
            first, later, start,
            detail::wire_stream(id, get_stream_logger("test://supervision/" + std::to_string(id)),
                                {.base_backoff_seconds = base,
                                 .max_backoff_seconds = max,
                                 .backoff_randomness_seconds = spread,
                                 .keyframes_only = keyframes_only})) {}
  Stream(const std::string& first, const std::string& later, bool start, detail::StreamParts parts)
      : logger(parts.state->logger),
        state(parts.state),
        restarter(parts.restarter),
        filter(parts.filter) {
    factory = std::make_shared<ScriptedFactory>(first, parts.watcher, parts.on_complete, later);
    state->factory.store(factory);
    state->build();
    if (start) restarter->start();
  }
  ~Stream() {
    restarter->close();
    restarter->wait_until_closed();
  }
  Logger logger;
  std::shared_ptr<PipelineState> state;
  std::shared_ptr<PipelineRestarter> restarter;
  std::shared_ptr<KeyframeFilter> filter;
  std::shared_ptr<ScriptedFactory> factory;
};

// Pulls until end-of-stream; returns the number of samples.
int drain(const std::shared_ptr<Pipeline>& pipeline) {
  int samples = 0;
  for (int i = 0; i < 1000; ++i) {
    SamplePtr sample(gst_app_sink_try_pull_sample(pipeline->appsink(), 5 * GST_SECOND));
    if (!sample) break;
    ++samples;
  }
  return samples;
}

// The log without the filter's "No element named" lines, which these pipelines produce at
// every completion.
std::vector<std::string> supervision_lines(const LineCaptureSink& log) {
  std::vector<std::string> out;
  for (auto& text : log.texts()) {
    if (text.rfind("No element named", 0) != 0) out.push_back(text);
  }
  return out;
}

int probes_on(const std::shared_ptr<Pipeline>& pipeline) {
  ElementPtr parser = pipeline->get_by_name(BUFFER_SRC_NAME);
  PadPtr pad(gst_element_get_static_pad(parser.get(), "src"));
  GST_OBJECT_LOCK(pad.get());
  const int n = pad->num_probes;
  GST_OBJECT_UNLOCK(pad.get());
  return n;
}

}  // namespace

TEST(Backoff, FollowsTheFormulaAndNeverOverflows) {
  auto state = std::make_shared<PipelineState>(1, get_stream_logger("test://backoff"));
  auto make = [&](double base, double max, double spread) {
    return std::make_unique<PipelineRestarter>(1, base, max, spread, state, state->logger);
  };
  auto exact = make(0, 64, 0);
  for (auto [n, want] :
       std::vector<std::pair<int, double>>{{0, 1}, {3, 8}, {5, 32}, {6, 64}, {7, 64}, {5000, 64}}) {
    EXPECT_EQ(exact->calc_backoff_seconds(n), want) << n;
  }
  auto base12 = make(12, 64, 0);
  EXPECT_EQ(base12->calc_backoff_seconds(0), 13.0);
  EXPECT_EQ(base12->calc_backoff_seconds(UINT64_MAX), 64.0);

  auto capped_base = make(70, 64, 10);  // base >= max: always max
  for (int n : {0, 1, 9, 100000}) {
    EXPECT_EQ(capped_base->calc_backoff_seconds(n), 64.0);
  }
  auto small_max = make(0, 0.5, 0);  // the power is capped even for n = 0
  EXPECT_EQ(small_max->calc_backoff_seconds(0), 0.5);

  auto jitter = make(12, 64, 10);
  for (int n = 0; n < 8; ++n) {
    const double floor = std::min(12 + std::min(std::ldexp(1.0, n), 64.0), 64.0);
    double first = jitter->calc_backoff_seconds(n);
    bool differs = false;
    for (int i = 0; i < 20; ++i) {
      const double d = jitter->calc_backoff_seconds(n);
      EXPECT_GE(d, floor);
      EXPECT_LE(d, 64.0);
      EXPECT_LT(d, 12 + std::min(std::ldexp(1.0, n), 64.0) + 10);
      differs |= d != first;
    }
    if (floor < 64.0) {
      EXPECT_TRUE(differs) << "a fresh draw every call";
    }
  }
}

TEST(RestartLoop, EndOfStreamRestartsAfterFirstDelayWithExactLines) {
  ScopedLogCapture log;
  Stream s(11, kEnds, kLive, 0.0, 0.05, 0.0);
  ASSERT_TRUE(log->wait_for_count("last status INITIALIZING, new status STREAMING", 2, 10.0));
  const auto lines = supervision_lines(*log);
  const std::vector<std::string> expected = {
      "last status INITIALIZING, new status STREAMING",  // first build
      "strovix: watcher stream_id 11 EOS received, restarting pipeline",
      "last status STREAMING, new status HALTED",
      "strovix: _pipeline_restarter stream_id 11 HALTED pipeline state changed",
      "HALTED 0.01 Shutting the pipeline down...",
      "last status HALTED, new status INITIALIZING",
      "last status INITIALIZING, new status STREAMING",
  };
  ASSERT_GE(lines.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 7), expected);
  // The line is written before the status is stored and the count raised; the loop holds the
  // status mutex until it waits again, so taking it means both are done.
  const auto settled = s.state->lock_status();
  EXPECT_EQ(s.restarter->counters().restart_count, 1u);
  EXPECT_EQ(s.factory->builds.load(), 2);
  EXPECT_EQ(s.state->status(), StreamStatus::STREAMING);
}

TEST(RestartLoop, CountGrowsWithoutFramesResetsOnFrameAndDelayFollowsCount) {
  ScopedLogCapture log;
  Stream s(12, kEnds, kEnds, 0.0, 0.05, 0.0);
  ASSERT_TRUE(log->wait_for_count("Shutting the pipeline down...", 3, 10.0));
  EXPECT_EQ(log->count("HALTED 0.01 Shutting the pipeline down..."), 1u);
  EXPECT_GE(log->count("HALTED 0.05 Shutting the pipeline down..."), 2u);
  EXPECT_GE(s.restarter->counters().restart_count, 2u);
  s.restarter->notify_frame_received(42.0);
  EXPECT_EQ(s.state->last_frame_timestamp.load(), 42.0);
  EXPECT_LE(s.restarter->counters().restart_count, 1u);  // a restart may be in flight
}

TEST(RestartLoop, CloseDuringBackoffEndsItAtOnceAndShutsDown) {
  ScopedLogCapture log;
  Stream s(13, kLive, kLive, 20.0, 20.0, 0.0);
  s.state->request_restart();  // first restart after 0.01 s
  ASSERT_TRUE(log->wait_for_count("last status INITIALIZING, new status STREAMING", 2, 10.0));
  log->clear();
  s.restarter->notify_frame_error();  // the next one waits the 20 s back-off
  ASSERT_TRUE(log->wait_for("HALTED pipeline state changed", 10.0));
  const auto t0 = std::chrono::steady_clock::now();
  s.restarter->close();
  s.restarter->wait_until_closed();
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.0);
  EXPECT_EQ(log->count("Shutting the pipeline down..."), 0u);
  EXPECT_EQ(log->texts().back(), "last status HALTED, new status CLOSED");
  EXPECT_EQ(s.state->pipeline.load(), nullptr);
  EXPECT_EQ(s.state->factory.load(), nullptr);
}

TEST(RestartLoop, CloseWhileStreamingEndsTheThread) {
  ScopedLogCapture log;
  Stream s(14, kLive, kLive, 0.0, 0.05, 0.0);
  // After a restart the loop holds the status mutex until it waits again, so the close
  // below is certain to find it waiting.
  s.state->request_restart();
  ASSERT_TRUE(log->wait_for_count("last status INITIALIZING, new status STREAMING", 2, 10.0));
  s.restarter->close();
  s.restarter->wait_until_closed();
  EXPECT_EQ(log->count("stream_id 14 CLOSED pipeline state changed"), 1u);
  EXPECT_EQ(s.state->pipeline.load(), nullptr);
}

// A rebuild that throws, and a teardown that does not reach NULL: each is logged on the
// stream's logger, halts the stream and is retried until it succeeds.
TEST(RestartLoop, FailedRestartsAreLoggedHaltedAndRetried) {
  strovix::testing::register_fault_source();
  struct Case {
    const char* name;
    std::string first;
    int fail_builds;
    const char* error;
  } cases[] = {
      {"build", kEnds, 2, "restart failed: scripted build failure 2; retrying in 0.05 s"},
      {"teardown", "strovixfaultsrc frames=1 stop-failures=2 ! appsink wait-on-eos=false", 0,
       "did not reach NULL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedLogCapture log;
    Stream s(15, c.first, kLive, 0.05, 0.05, 0.0, false, /*start=*/false);
    s.state->state_change_timeout = 0.5;
    s.factory->fail_from_build = c.fail_builds;
    if (c.fail_builds) {
      s.factory->before_build = [&](int n) {
        if (n == c.fail_builds + 1) s.factory->fail_from_build = 0;
      };
    }
    s.state->new_status_event->clear();
    s.restarter->start();
    ASSERT_TRUE(log->wait_for("restart failed: ", 10.0));
    EXPECT_TRUE(s.state->new_status_event->is_set());
    ASSERT_TRUE(log->wait_for("last status INITIALIZING, new status HALTED", 10.0));
    ASSERT_TRUE(log->wait_for_count("last status INITIALIZING, new status STREAMING", 2, 10.0));
    EXPECT_GE(log->count(c.error), 1u) << c.name;
    // The failures did not end the supervision: it still acts on a request.
    s.state->request_restart();
    ASSERT_TRUE(log->wait_for_count("last status INITIALIZING, new status STREAMING", 3, 10.0));
  }
}

// The lost wake-up: a restart request that the bus thread records after the supervision has
// looked for one and before it waits. The supervision holds the status mutex there, so the
// bus thread can only record the request; it must still be acted on at once, and while
// nothing happens the supervision must not wake at all (no timed poll to rescue a request).
TEST(RestartLoop, RequestRecordedBetweenCheckAndWaitIsActedOnAndNothingElseWakes) {
  ScopedLogCapture log;
  // Before the stream: the hook uses them until the stream's teardown has joined its thread.
  std::atomic<int> waits{0};
  std::atomic<bool> recorded_only{false};
  Event delivered, waiting_after_restart, woke_for_nothing;
  Stream s(19, kLive, kLive, 0.0, 0.05, 0.0, false, /*start=*/false);
  s.restarter->before_status_wait = [&] {
    const int n = ++waits;
    if (n == 1) {
      GstElement* current = s.state->pipeline.load()->element();
      MessagePtr eos(gst_message_new_eos(GST_OBJECT(current)));
      std::thread bus([&] { s.restarter->watcher(nullptr, eos.get(), current); });
      bus.join();  // the bus thread never waits for the status mutex that this thread holds
      recorded_only = s.state->status() == StreamStatus::STREAMING;
      delivered.set();
    } else if (n == 2) {
      waiting_after_restart.set();
    } else {
      woke_for_nothing.set();
    }
  };
  s.restarter->start();
  ASSERT_TRUE(delivered.wait(10.0));
  EXPECT_TRUE(recorded_only) << "the request was applied directly: the seam missed the window";
  ASSERT_TRUE(log->wait_for("stream_id 19 HALTED pipeline state changed", 5.0));
  ASSERT_TRUE(log->wait_for("HALTED 0.01 Shutting the pipeline down...", 5.0));
  ASSERT_TRUE(waiting_after_restart.wait(10.0));
  EXPECT_EQ(s.state->status(), StreamStatus::STREAMING);
  EXPECT_EQ(s.factory->builds.load(), 2);
  // Streaming and quiet: more than two of the former 250 ms polls, and not one wake-up.
  EXPECT_FALSE(woke_for_nothing.wait(0.6));
  EXPECT_EQ(waits.load(), 2);
}

TEST(Watcher, EndOfStreamAndErrorsRequestRestartsOthersAreIgnored) {
  ScopedLogCapture log;
  Stream s(16, kLive, kLive, 1.0, 1.0, 0.0, false, /*start=*/false);
  GstElement* src = s.state->pipeline.load()->element();
  MessagePtr other(gst_message_new_latency(GST_OBJECT(src)));
  EXPECT_TRUE(s.restarter->watcher(nullptr, other.get(), src));
  EXPECT_EQ(supervision_lines(*log),
            std::vector<std::string>{"last status INITIALIZING, new status STREAMING"});
  EXPECT_EQ(s.state->status(), StreamStatus::STREAMING);

  GErrorPtr x(g_error_new_literal(GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED, "x"));
  MessagePtr with_debug(gst_message_new_error(GST_OBJECT(src), x.get(), "y"));
  MessagePtr without_debug(gst_message_new_error(GST_OBJECT(src), x.get(), nullptr));
  MessagePtr eos(gst_message_new_eos(GST_OBJECT(src)));
  EXPECT_TRUE(s.restarter->watcher(nullptr, with_debug.get(), src));
  EXPECT_EQ(s.state->status(), StreamStatus::HALTED);
  EXPECT_TRUE(s.restarter->watcher(nullptr, without_debug.get(), src));
  s.state->close();
  EXPECT_TRUE(s.restarter->watcher(nullptr, eos.get(), src));
  EXPECT_EQ(s.state->status(), StreamStatus::CLOSED);
  const auto lines = supervision_lines(*log);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()),
            (std::vector<std::string>{
                "strovix: watcher stream_id 16 pipeline error: x (debug: y)",
                "last status STREAMING, new status HALTED",
                "strovix: watcher stream_id 16 pipeline error: x (debug: None)",
                "last status HALTED, new status CLOSED",
                "strovix: watcher stream_id 16 EOS received, restarting pipeline",
            }));
  s.restarter->start();  // so that the Stream's teardown can shut down
}

TEST(HealthTest, PlayingWithARecentFrameIsHealthy) {
  Stream s(17, kLive, kLive, 1.0, 1.0, 0.0, false, false);
  auto pipeline = s.state->pipeline.load();
  pipeline->wait_until_playing(17, 5.0);
  auto h = s.restarter->gst_state_playing(1000.0);
  EXPECT_FALSE(h.is_gst_playing);
  EXPECT_FALSE(h.recent_frame.has_value());
  EXPECT_EQ(h.gst_state, GST_STATE_PLAYING);

  s.state->last_frame_timestamp.store(880.0);
  h = s.restarter->gst_state_playing(1000.0);
  EXPECT_TRUE(h.is_gst_playing);
  EXPECT_EQ(*h.recent_frame, 120.0);
  h = s.restarter->gst_state_playing(1000.5);
  EXPECT_FALSE(h.is_gst_playing);

  pipeline->set_state(GST_STATE_PAUSED);
  pipeline->get_state(5 * GST_SECOND);
  h = s.restarter->gst_state_playing(881.0);
  EXPECT_FALSE(h.is_gst_playing);
  EXPECT_EQ(h.gst_state, GST_STATE_PAUSED);
  EXPECT_EQ(s.state->status(), StreamStatus::STREAMING);  // the test changes nothing

  s.restarter->start();
  s.restarter->close();
  s.restarter->wait_until_closed();
  h = s.restarter->gst_state_playing(1000.0);  // no pipeline any more: no crash
  EXPECT_FALSE(h.is_gst_playing);
}

TEST(KeyframeFilter, ProbeFollowsTheSwitchAndEachPipeline) {
  ScopedLogCapture log;
  Stream s(18, h264(100000), h264(100000), 0.0, 0.05, 0.0, /*keyframes_only=*/true);
  auto first = s.state->pipeline.load();
  EXPECT_EQ(probes_on(first), 1);
  EXPECT_EQ(log->count("Added pad probe to enable keyframe-only streaming"), 1u);

  s.filter->set_keyframes_only(true);  // same value: nothing
  EXPECT_EQ(probes_on(first), 1);
  s.filter->update_pad_probe();  // an overlapping completion must not stack a second probe
  EXPECT_EQ(probes_on(first), 1);
  s.filter->set_keyframes_only(false);
  EXPECT_EQ(probes_on(first), 0);
  EXPECT_EQ(log->count("Removed pad probe, disabling keyframe-only streaming"), 1u);
  s.filter->set_keyframes_only(false);
  s.filter->update_pad_probe();  // off and nothing held: nothing
  EXPECT_EQ(log->count("Removed pad probe"), 1u);
  s.filter->set_keyframes_only(true);
  EXPECT_EQ(probes_on(first), 1);

  // A restart: the old pipeline's release removes its probe, the new one gets its own.
  s.restarter->notify_frame_error();
  ASSERT_TRUE(log->wait_for_count("Added pad probe to enable keyframe-only streaming", 3, 10.0));
  auto second = s.state->pipeline.load();
  ASSERT_NE(second, first);
  EXPECT_EQ(probes_on(first), 0);
  EXPECT_EQ(probes_on(second), 1);
}

TEST(KeyframeFilter, OnlyKeyframesAreDecoded) {
  Stream with(19, h264(90), kLive, 1.0, 1.0, 0.0, /*keyframes_only=*/true, false);
  const int filtered = drain(with.state->pipeline.load());
  Stream without(20, h264(90), kLive, 1.0, 1.0, 0.0, false, false);
  const int all = drain(without.state->pipeline.load());
  EXPECT_GE(filtered, 1);
  EXPECT_LE(filtered, 4);  // 3 keyframes in 90 frames, one more if a frame slipped past
  EXPECT_GE(all, 85);
  with.restarter->start();
  without.restarter->start();
}

TEST(KeyframeFilter, PipelineWithoutTheNamedElementNeverGetsAProbe) {
  ScopedLogCapture log;
  const std::string line =
      "No element named 'strovix_buffer_src' to update a pad probe. The pad probe will be "
      "installed or removed when the pipeline is finished.";
  Stream s(21, kLive, kLive, 1.0, 1.0, 0.0, /*keyframes_only=*/true);
  EXPECT_EQ(log->count(line), 1u);  // at completion
  s.filter->set_keyframes_only(false);
  EXPECT_EQ(log->count(line), 2u);
  EXPECT_FALSE(s.filter->keyframes_only());
  s.restarter->close();
  s.restarter->wait_until_closed();
  s.filter->set_keyframes_only(true);  // after shutdown: no pipeline, no harm
  EXPECT_EQ(log->count(line), 3u);
}
