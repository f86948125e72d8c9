// The shared stream state: status machine, first build, restart and shutdown.
#include <gtest/gtest.h>

#include <thread>

#include "support/log_capture.hpp"
#include "stream_reader/pipeline_state.hpp"
#include "support/stream_fixtures.hpp"

using namespace strovix;
using detail::PipelineState;
using strovix::testing::ScriptedFactory;

namespace {

const char* kFinite = "videotestsrc num-buffers=2 ! appsink name=s";

class StateTest : public ::testing::Test {
 protected:
  ScopedLogCapture log;
  std::shared_ptr<PipelineState> make_state(int id, const std::string& url = "test://state") {
    return std::make_shared<PipelineState>(id, get_stream_logger(url));
  }
};

}  // namespace

TEST_F(StateTest, StatusChangesLogWakeAndStopAtClosed) {
  auto state = make_state(1);
  EXPECT_EQ(state->status(), StreamStatus::INITIALIZING);
  EXPECT_FALSE(state->new_status_event->is_set());
  EXPECT_FALSE(state->last_frame().has_value());
  EXPECT_NEAR(state->start_pipeline_timestamp.load(), detail::wall_clock_seconds(), 5.0);
  EXPECT_EQ(state->pipeline.load(), nullptr);

  // A waiter is woken by an accepted change and sees the new value.
  std::atomic<bool> woke{false};
  // (The sample-pulling thread's wait: while INITIALIZING it waits for a change.)
  std::thread waiter([&] {
    for (int i = 0; i < 100 && state->status() != StreamStatus::STREAMING; ++i) {
      state->wait_until_streaming(10.0);
    }
    woke = state->status() == StreamStatus::STREAMING;
  });
  state->set_status(StreamStatus::STREAMING);
  waiter.join();
  EXPECT_TRUE(woke);
  EXPECT_TRUE(state->new_status_event->is_set());

  state->new_status_event->clear();
  state->set_status(StreamStatus::STREAMING);  // repeat: nothing
  EXPECT_FALSE(state->new_status_event->is_set());
  state->request_restart();
  state->request_restart();
  state->close();
  for (auto s : {StreamStatus::STREAMING, StreamStatus::HALTED, StreamStatus::INITIALIZING,
                 StreamStatus::CLOSED}) {
    state->new_status_event->clear();
    state->set_status(s);
    EXPECT_FALSE(state->new_status_event->is_set());
  }
  state->request_restart();
  EXPECT_EQ(state->status(), StreamStatus::CLOSED);
  EXPECT_EQ(log->texts(), (std::vector<std::string>{
                              "last status INITIALIZING, new status STREAMING",
                              "last status STREAMING, new status HALTED",
                              "last status HALTED, new status CLOSED",
                          }));
}

TEST_F(StateTest, BuildWithAndWithoutMustPlay) {
  auto state = make_state(2);
  try {
    state->build();
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "The factory is not set, so the pipeline cannot be rebuilt");
  }
  EXPECT_EQ(state->status(), StreamStatus::INITIALIZING);

  state->factory.store(std::make_shared<ScriptedFactory>(kFinite));
  state->build(true);
  EXPECT_EQ(state->status(), StreamStatus::STREAMING);
  ASSERT_NE(state->pipeline.load(), nullptr);

  // A pipeline that can never preroll never plays: must_play fails after the (short) wait,
  // the status stays, and the pipeline that did not play is kept.
  auto stuck = make_state(3);
  stuck->state_change_timeout = 0.3;
  stuck->factory.store(std::make_shared<ScriptedFactory>("appsrc ! appsink"));
  EXPECT_THROW(stuck->build(true), StreamSetupError);
  EXPECT_EQ(stuck->status(), StreamStatus::INITIALIZING);
  EXPECT_NE(stuck->pipeline.load(), nullptr);

  // Without must_play the status is STREAMING at once.
  auto quick = make_state(4);
  quick->factory.store(std::make_shared<ScriptedFactory>("appsrc ! appsink"));
  quick->build();
  EXPECT_EQ(quick->status(), StreamStatus::STREAMING);

  // A closed state still builds and stays closed.
  quick->close();
  quick->build();
  EXPECT_EQ(quick->status(), StreamStatus::CLOSED);
}

TEST_F(StateTest, RestartTearsDownInOrderThenBuilds) {
  auto state = make_state(5);
  auto factory = std::make_shared<ScriptedFactory>(kFinite);
  state->factory.store(factory);
  state->build();
  state->last_frame_timestamp.store(123.0);
  const double before = detail::wall_clock_seconds();
  auto old = state->pipeline.load();

  std::vector<std::string> order;
  old->add_destructor([&] {
    // By the time its resources are released the old pipeline is stopped, the status says
    // INITIALIZING and the timestamps are reset.
    order.push_back("release");
    EXPECT_EQ(old->get_state(0).current, GST_STATE_NULL);
    EXPECT_EQ(state->status(), StreamStatus::INITIALIZING);
    EXPECT_FALSE(state->last_frame().has_value());
    EXPECT_GE(state->start_pipeline_timestamp.load(), before);
  });
  factory->before_build = [&](int) { order.push_back("build"); };
  state->request_restart();
  log->clear();
  state->restart();
  EXPECT_EQ(order, (std::vector<std::string>{"release", "build"}));
  EXPECT_NE(state->pipeline.load(), old);
  EXPECT_EQ(state->status(), StreamStatus::STREAMING);
  EXPECT_EQ(log->texts(), (std::vector<std::string>{
                              "last status HALTED, new status INITIALIZING",
                              "last status INITIALIZING, new status STREAMING",
                          }));

  // Closed: no status line, yet the pipeline is still replaced.
  state->close();
  log->clear();
  auto before_closed_restart = state->pipeline.load();
  state->restart();
  EXPECT_TRUE(log->texts().empty());
  EXPECT_NE(state->pipeline.load(), before_closed_restart);

  state->shutdown();
  EXPECT_EQ(state->pipeline.load(), nullptr);
  EXPECT_EQ(state->factory.load(), nullptr);
  EXPECT_EQ(state->status(), StreamStatus::CLOSED);
  EXPECT_THROW(state->shutdown(), std::runtime_error);  // nothing left to shut down
}

TEST_F(StateTest, RestartFailuresReleaseTheLock) {
  auto state = make_state(6);
  auto factory = std::make_shared<ScriptedFactory>(kFinite);
  factory->fail_from_build = 2;
  state->factory.store(factory);
  state->build();
  state->request_restart();
  EXPECT_THROW(state->restart(), StreamSetupError);
  EXPECT_EQ(state->status(), StreamStatus::INITIALIZING);
  EXPECT_FALSE(PipelineState::building_now());

  // No factory: the old pipeline is torn down first, then the build fails.
  auto bare = make_state(9);
  bare->factory.store(std::make_shared<ScriptedFactory>(kFinite));
  bare->build();
  int released = 0;
  bare->pipeline.load()->add_destructor([&] { ++released; });
  bare->factory.store(nullptr);
  try {
    bare->restart();
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "The factory is not set, so the pipeline cannot be rebuilt");
  }
  EXPECT_EQ(released, 1);
  EXPECT_EQ(bare->status(), StreamStatus::INITIALIZING);
  EXPECT_FALSE(PipelineState::building_now());
}

// Builds are serialised process-wide; teardowns are not (a hung one must not hold back
// other streams).
TEST_F(StateTest, BuildsOfTwoStreamsAreSerialised) {
  auto a = make_state(7, "test://a");
  auto b = make_state(8, "test://b");
  auto factory_a = std::make_shared<ScriptedFactory>(kFinite);
  auto factory_b = std::make_shared<ScriptedFactory>(kFinite);
  Event a_building, release_a;
  factory_a->before_build = [&](int n) {
    if (n == 2) {
      a_building.set();
      release_a.wait(10.0);
    }
  };
  a->factory.store(factory_a);
  b->factory.store(factory_b);
  a->build();
  b->build();
  a->request_restart();
  b->request_restart();
  log->clear();

  std::thread ta([&] { a->restart(); });
  ASSERT_TRUE(a_building.wait(10.0));
  std::thread tb([&] { b->restart(); });
  // B tears down while A builds, but its own build waits for A's.
  ASSERT_TRUE(log->wait_for_count("new status INITIALIZING", 2, 10.0));
  EXPECT_FALSE(log->wait_for_count("new status STREAMING", 1, 0.2));
  EXPECT_EQ(factory_b->builds.load(), 1);
  release_a.set();
  ta.join();
  tb.join();
  const auto lines = log->lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2].logger_name, "strovix:test://a");
  EXPECT_EQ(lines[2].text, "last status INITIALIZING, new status STREAMING");
  EXPECT_EQ(lines[3].logger_name, "strovix:test://b");
  EXPECT_EQ(lines[3].text, "last status INITIALIZING, new status STREAMING");
}
