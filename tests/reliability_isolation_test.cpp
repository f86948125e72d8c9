// One stream's trouble stays its own: a down camera's back-off or a hung teardown never
// delays another stream's recovery or the host's sources on the default main context, a
// camera that comes back is not restarted again by its old pipeline's errors, close() cuts
// a back-off short, and supervision outlives failed restarts and failed thread starts.
#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "reliability_helpers.hpp"
#include "stream_reader/pipeline_restarter.hpp"
#include "strovix/errors.hpp"
#include "support/fault_source.hpp"
#include "support/http_server.hpp"
#include "support/stream_fixtures.hpp"

using namespace strovix;
using namespace strovix::reliability;
namespace st = strovix::testing;

namespace {

// Keeps each line with the steady time it was logged, so tests can measure reactions.
class TimedSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  struct Line {
    double t;
    std::string logger;
    std::string text;
  };
  std::vector<Line> lines() const {
    std::lock_guard lock(m_);
    return lines_;
  }
  // Steady times of the lines of `logger` (a substring of its name) containing `needle`.
  std::vector<double> times(std::string_view logger, std::string_view needle) const {
    std::vector<double> out;
    for (const auto& l : lines()) {
      if (l.logger.find(logger) != std::string::npos && l.text.find(needle) != std::string::npos)
        out.push_back(l.t);
    }
    return out;
  }
  bool wait_for_count(std::string_view logger, std::string_view needle, std::size_t n,
                      double timeout) const {
    std::unique_lock lock(m_);
    return cond_.wait_for(lock, std::chrono::duration<double>(timeout), [&] {
      std::size_t k = 0;
      for (const auto& l : lines_) {
        k += l.logger.find(logger) != std::string::npos && l.text.find(needle) != std::string::npos;
      }
      return k >= n;
    });
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    {
      std::lock_guard lock(m_);
      lines_.push_back({steady_seconds(),
                        std::string(msg.logger_name.data(), msg.logger_name.size()),
                        std::string(msg.payload.data(), msg.payload.size())});
    }
    cond_.notify_all();
  }
  void flush_() override {}

 private:
  mutable std::mutex m_;
  mutable std::condition_variable cond_;
  std::vector<Line> lines_;
};

struct ScopedTimedSink {
  ScopedTimedSink() : sink(std::make_shared<TimedSink>()) { stream_log_sink()->add_sink(sink); }
  ~ScopedTimedSink() { stream_log_sink()->remove_sink(sink); }
  std::shared_ptr<TimedSink> sink;
};

GstStreamReader::Options backoff(double base, double max, double spread) {
  GstStreamReader::Options o;
  o.base_backoff_seconds = base;
  o.max_backoff_seconds = max;
  o.backoff_randomness_seconds = spread;
  return o;
}

GstStreamReader::Options custom(const std::string& description, double base = 0.0,
                                double max = 0.01) {
  auto o = backoff(base, max, 0.0);
  o.pipeline_str = description;
  return o;
}

// Records how late a 50 ms timer on the default main context fires.
struct DefaultContextTimer {
  DefaultContextTimer() {
    last = steady_seconds();
    id = g_timeout_add(50, &DefaultContextTimer::tick, this);
  }
  ~DefaultContextTimer() { g_source_remove(id); }
  static gboolean tick(gpointer self_) {
    auto* self = static_cast<DefaultContextTimer*>(self_);
    const double now = steady_seconds();
    double worst = self->worst_late.load();
    const double late = now - self->last - 0.05;
    while (late > worst && !self->worst_late.compare_exchange_weak(worst, late)) {
    }
    self->last = now;
    return G_SOURCE_CONTINUE;
  }
  guint id;
  double last;  // main-context thread only
  std::atomic<double> worst_late{0.0};
};

}  // namespace

// A down HTTP camera (refused: two errors per failed pipeline) backs off 3 s at a time while
// another stream ends every second: the other stream's ends are acted on at once, and the
// host's timer on the default context is never held up.
TEST(Isolation, DownCameraDelaysNeitherOtherStreamsNorHostSources) {
  ScopedTimedSink log;
  st::register_fault_source();
  const double backoff_s = 3.0;
  GstStreamReader down(1, "http://127.0.0.1:1/isolation-down", {},
                       backoff(backoff_s, backoff_s, 0));
  GstStreamReader ending(2, "test://isolation-ending", {},
                         custom("strovixfaultsrc frames=30 ! appsink wait-on-eos=false"));
  DefaultContextTimer timer;
  const double t_start = steady_seconds();
  // Two of the down camera's back-offs, after its first (0.01 s) retry.
  log.sink->wait_for_count("isolation-down", "Shutting the pipeline down", 3,
                           2 * backoff_s + 10 * time_scale());
  const double window = steady_seconds() - t_start;
  const auto eos = log.sink->times("isolation-ending", "EOS received");
  const auto acted = log.sink->times("isolation-ending", "HALTED pipeline state changed");
  double worst_reaction = 0;
  for (double t : eos) {
    auto it = std::lower_bound(acted.begin(), acted.end(), t);
    worst_reaction = std::max(worst_reaction, it == acted.end() ? window : *it - t);
  }
  figure("isolation: over " + std::to_string(window) + " s, the other stream ended " +
         std::to_string(eos.size()) + " times, each acted on within " +
         std::to_string(worst_reaction) + " s; 50 ms default-context timer late by " +
         std::to_string(timer.worst_late.load()) + " s at worst");
  // The other stream ends about once a second; a blocked bus thread delivers few of them.
  EXPECT_GE(eos.size(), static_cast<std::size_t>(window / 2));
  EXPECT_LT(worst_reaction, 0.5 * time_scale());
  EXPECT_LT(timer.worst_late.load(), 0.25 * time_scale());
}

// The camera returns during a back-off: the first frame comes when the back-off ends, and
// the failed pipeline's late errors do not halt the new one.
TEST(Isolation, ReturningCameraIsNotRestartedAgainByStaleErrors) {
  ScopedTimedSink log;
  st::HttpTestServer server;
  const double backoff_s = 3.0;
  GstStreamReader reader(3, server.url("/mjpeg"), {}, backoff(backoff_s, backoff_s, 0));
  ASSERT_TRUE(next_frame(reader, nullptr, 10 * time_scale()));
  server.stop();
  // First retry after 0.01 s fails too; then the 3 s back-off starts.
  ASSERT_TRUE(log.sink->wait_for_count(server.url("/mjpeg"), "Shutting the pipeline down", 1,
                                       10 * time_scale()));
  ASSERT_TRUE(
      log.sink->wait_for_count(server.url("/mjpeg"), "pipeline error", 1, 10 * time_scale()));
  const double back_at = steady_seconds();
  server.start();
  const double started_backoff =
      log.sink->times(server.url("/mjpeg"), "Shutting the pipeline down").front();
  Frame f;
  ASSERT_TRUE(next_frame(reader, &f, 2 * backoff_s + 5 * time_scale(), now_seconds()));
  const double first_frame = steady_seconds();
  EXPECT_LT(first_frame - back_at, (started_backoff + backoff_s - back_at) + 1.0 * time_scale());
  figure("isolation: camera back after " + std::to_string(back_at - started_backoff) +
         " s of a 3 s back-off; first frame " + std::to_string(first_frame - back_at) +
         " s after its return");
  // Nothing more: no further restart within one more back-off.
  const auto before = log.sink->times(server.url("/mjpeg"), "Shutting the pipeline down").size();
  ASSERT_TRUE(next_frame(reader, nullptr, 5, now_seconds() + backoff_s + 1.0));
  EXPECT_EQ(log.sink->times(server.url("/mjpeg"), "Shutting the pipeline down").size(), before);
  EXPECT_EQ(reader.status(), StreamStatus::STREAMING);
}

// close() and destruction during a 20 s back-off return at once.
TEST(Isolation, CloseAndDestructionCutABackoffShort) {
  ScopedTimedSink log;
  for (bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destroy" : "close");
    const std::string url =
        std::string("http://127.0.0.1:1/isolation-close-") + (destroy ? "d" : "c");
    auto reader = std::make_unique<GstStreamReader>(4, url, RuntimeOptions{}, backoff(20, 20, 0));
    // The first retry (0.01 s) fails as well; its error starts the 20 s back-off.
    ASSERT_TRUE(log.sink->wait_for_count(url, "Shutting the pipeline down", 1, 10 * time_scale()));
    // Logged right before the back-off begins: the first such line after that retry (an
    // error that beats the supervision thread's start logs none for the first build).
    const double retry = log.sink->times(url, "Shutting the pipeline down").front();
    std::size_t before = 0;
    for (double t : log.sink->times(url, "HALTED pipeline state changed")) before += t < retry;
    ASSERT_TRUE(log.sink->wait_for_count(url, "HALTED pipeline state changed", before + 1,
                                         10 * time_scale()));
    const double t0 = steady_seconds();
    if (destroy) {
      reader.reset();
    } else {
      reader->close();
      EXPECT_LT(steady_seconds() - t0, 1.0);
      reader->wait_until_closed();
    }
    EXPECT_LT(steady_seconds() - t0, 1.0 * time_scale());
    figure(std::string("isolation: ") + (destroy ? "destruction" : "close+wait_until_closed") +
           " during a 20 s back-off took " + std::to_string(steady_seconds() - t0) + " s");
  }
}

// A source that fails while the constructor's first build runs is restarted 0.01 s later,
// not after the stall watchdog's two minutes.
TEST(Isolation, FailureDuringFirstBuildRestartsAtOnce) {
  ScopedTimedSink log;
  st::register_fault_source();
  double worst = 0;
  for (int i = 0; i < 10; ++i) {
    const std::string url = "test://isolation-startup-" + std::to_string(i);
    const double t0 = steady_seconds();
    GstStreamReader reader(5, url, {},
                           custom("strovixfaultsrc frames=0 ending=error ! appsink", 12, 64));
    ASSERT_TRUE(log.sink->wait_for_count(url, "Shutting the pipeline down", 1, 5 * time_scale()))
        << i;
    const double retry = log.sink->times(url, "Shutting the pipeline down").front() - t0;
    EXPECT_LT(retry, 0.5 * time_scale()) << i;
    worst = std::max(worst, retry);
  }
  figure("isolation: failure during the first build restarted after " + std::to_string(worst) +
         " s at worst (10 readers)");
}

// One stream's teardown blocks 5 s; another stream's restarts go on meanwhile.
TEST(Isolation, SlowTeardownHoldsBackNoOtherStream) {
  ScopedTimedSink log;
  st::register_fault_source();
  GstStreamReader slow(6, "test://isolation-slow", {},
                       custom("strovixfaultsrc frames=3 stop-delay-ms=5000 ! appsink "
                              "wait-on-eos=false",
                              30, 30));
  ASSERT_TRUE(
      log.sink->wait_for_count("isolation-slow", "new status INITIALIZING", 1, 5 * time_scale()));
  const double teardown_began = steady_seconds();
  GstStreamReader quick(7, "test://isolation-quick", {},
                        custom("strovixfaultsrc frames=3 ! appsink wait-on-eos=false"));
  ASSERT_TRUE(
      log.sink->wait_for_count("isolation-quick", "new status STREAMING", 4, 5 * time_scale()));
  // The quick stream's rebuilds all finished inside the slow stream's teardown.
  const auto halts = log.sink->times("isolation-quick", "Shutting the pipeline down");
  const auto streams = log.sink->times("isolation-quick", "new status STREAMING");
  ASSERT_GE(halts.size(), 3u);
  double worst = 0;
  for (std::size_t k = 0; k + 1 < streams.size() && k < halts.size(); ++k) {
    EXPECT_LT(streams[k + 1] - halts[k], 0.5 * time_scale()) << k;
    worst = std::max(worst, streams[k + 1] - halts[k]);
  }
  figure("isolation: restarts during another stream's 5 s teardown took " + std::to_string(worst) +
         " s at worst");
  EXPECT_LT(streams.back() - teardown_began, 5.0);
}

// Frames for longer than the longest back-off since the last restart: the next fault is
// retried after the first delay. A stream that fails again sooner backs off as designed.
TEST(Isolation, LongHealthyStreamStartsOverShortOneBacksOff) {
  ScopedTimedSink log;
  st::register_fault_source();
  struct Case {
    const char* name;
    int frames;  // at 30 fps
    const char* second_delay;
  } cases[] = {{"healthy", 45, "HALTED 0.01 Shutting"}, {"flapping", 3, "HALTED 1.0 Shutting"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string url = std::string("test://isolation-") + c.name;
    GstStreamReader reader(8, url, {},
                           custom("strovixfaultsrc frames=" + std::to_string(c.frames) +
                                      " ! appsink wait-on-eos=false",
                                  1.0, 1.0));
    ASSERT_TRUE(log.sink->wait_for_count(url, "Shutting the pipeline down", 2, 10 * time_scale()));
    const auto lines = log.sink->lines();
    std::vector<std::string> shutting;
    for (const auto& l : lines) {
      if (l.logger.find(url) != std::string::npos &&
          l.text.find("Shutting the pipeline down") != std::string::npos)
        shutting.push_back(l.text);
    }
    EXPECT_EQ(shutting[0], "HALTED 0.01 Shutting the pipeline down...");
    EXPECT_EQ(shutting[1].rfind(c.second_delay, 0), 0u) << shutting[1];
  }
}

// A thread that cannot be created fails the construction with a clear error; nothing waits
// for a thread that never ran.
TEST(Isolation, ThreadCreationFailureFailsConstructionWithoutHanging) {
  for (int before : {0, 1}) {
    SCOPED_TRACE(before);
    detail::thread_starts_before_failure = before;
    const double t0 = steady_seconds();
    try {
      GstStreamReader reader(9, "test://isolation-threads", {},
                             custom("videotestsrc is-live=true ! appsink"));
      ADD_FAILURE() << "construction succeeded";
    } catch (const StreamSetupError& e) {
      EXPECT_NE(std::string(e.what()).find(before == 0 ? "cannot start the thread "
                                                         "PipelineRestarterThread"
                                                       : "cannot start the thread "
                                                         "SamplePullingThread"),
                std::string::npos)
          << e.what();
    }
    detail::thread_starts_before_failure = -1;
    EXPECT_LT(steady_seconds() - t0, 5.0 * time_scale());
  }
}

// The bus thread never waits for the status mutex: a request it cannot apply is recorded and
// applied by the supervision; a message from a replaced pipeline requests nothing.
TEST(Isolation, WatcherNeverBlocksAndIgnoresReplacedPipelines) {
  auto logger = get_stream_logger("test://isolation-watcher");
  auto state = std::make_shared<detail::PipelineState>(10, logger);
  auto restarter = std::make_shared<detail::PipelineRestarter>(10, 0, 0.01, 0, state, logger);
  state->factory.store(
      std::make_shared<st::ScriptedFactory>("videotestsrc is-live=true ! appsink"));
  state->build();
  GstElement* current = state->pipeline.load()->element();
  ElementPtr old(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new("old"))));
  MessagePtr eos_old(gst_message_new_eos(GST_OBJECT(old.get())));
  MessagePtr eos_current(gst_message_new_eos(GST_OBJECT(current)));

  restarter->watcher(nullptr, eos_old.get(), old.get());
  EXPECT_EQ(state->status(), StreamStatus::STREAMING);
  {
    const auto held = state->lock_status();  // as a back-off or restart holds it
    std::thread bus([&] {
      restarter->watcher(nullptr, eos_old.get(), old.get());
      restarter->watcher(nullptr, eos_current.get(), current);
    });
    bus.join();  // returns although the mutex is held
    EXPECT_EQ(state->status(), StreamStatus::STREAMING);
    state->apply_pending_requests();  // the recorded request halts the stream
    EXPECT_EQ(state->status(), StreamStatus::HALTED);
  }
  state->close();
  restarter->wait_until_closed();  // never started: shuts the pipeline down itself
  EXPECT_EQ(state->pipeline.load(), nullptr);
}
