// No busy loops while a stream waits (a back-off, an appsink at end-of-stream), and many
// readers created and destroyed concurrently against one RTSP server.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.hpp"
#include "reliability_helpers.hpp"
#include "strovix/stream_reader/gst.hpp"
#include "support/process_stats.hpp"
#include "support/rtsp_server.hpp"

using namespace strovix;
using namespace strovix::reliability;
namespace st = strovix::testing;

namespace {

constexpr double kWindow = 3.0;       // seconds of CPU measurement
constexpr double kMaxCoreShare = 0.05;

struct IdleCase {
  const char* name;
  std::string description;
  double backoff;
  // Waits until the stream is in the state to measure.
  std::string ready_line;
  std::size_t ready_count;
};

class IdleCpu : public ::testing::TestWithParam<IdleCase> {};

TEST_P(IdleCpu, AWaitingStreamUsesUnderFivePercentOfACore) {
  const IdleCase& c = GetParam();
  ScopedLogCapture log;
  GstStreamReader::Options o;
  o.pipeline_str = c.description;
  o.base_backoff_seconds = c.backoff;
  o.max_backoff_seconds = c.backoff;
  o.backoff_randomness_seconds = 0.0;
  GstStreamReader reader(80, std::string("test://idle/") + c.name, {}, o);
  ASSERT_TRUE(log->wait_for_count(c.ready_line, c.ready_count, 10.0 * time_scale()));

  // A bounded measurement window: the CPU this process uses while the stream waits.
  const double cpu0 = st::cpu_seconds();
  const double t0 = steady_seconds();
  const std::size_t restarts0 = log->count("Shutting the pipeline down...");
  std::this_thread::sleep_for(std::chrono::duration<double>(kWindow));
  const double used = st::cpu_seconds() - cpu0;
  const double share = used / (steady_seconds() - t0);
  figure(std::string(c.name) + ": " + std::to_string(share * 100.0) + " % of a core over " +
         std::to_string(kWindow) + " s");
  // Still in the state measured: no restart happened inside the window.
  EXPECT_EQ(log->count("Shutting the pipeline down..."), restarts0);
  // Sanitizers make every wake-up dearer; the bound scales with them.
  EXPECT_LT(share, kMaxCoreShare * time_scale());
  reader.close();
}

INSTANTIATE_TEST_SUITE_P(
    Waits, IdleCpu,
    ::testing::Values(
        // Ends at once; the first restart follows after 0.01 s, the second only after the
        // 5 s back-off, inside which the window lies.
        IdleCase{"during_backoff",
                 "videotestsrc num-buffers=1 ! video/x-raw,format=BGR,width=32,height=24 ! "
                 "appsink",
                 5.0, "HALTED pipeline state changed", 2},
        // The appsink's branch ends while another branch plays on, so the pipeline posts no
        // end-of-stream: the reader keeps pulling from an appsink at end-of-stream until the
        // (default, 120 s) watchdog.
        IdleCase{"appsink_at_eos",
                 "videotestsrc num-buffers=1 ! video/x-raw,format=BGR,width=32,height=24 ! "
                 "appsink videotestsrc is-live=true ! video/x-raw,width=16,height=16,"
                 "framerate=1/1 ! fakesink",
                 5.0, "new status STREAMING", 1}),
    [](const ::testing::TestParamInfo<IdleCase>& info) { return std::string(info.param.name); });

// 50 readers, created and destroyed from 8 threads at once against the in-process RTSP
// server (its default transport, UDP): every one delivers a frame, and descriptors and
// threads return to where they were.
TEST(ManyReaders, FiftyReadersFromEightThreadsAllDeliverAndLeaveNothingBehind) {
  constexpr int kReaders = 50;
  constexpr int kThreads = 8;
  const double scale = time_scale();
  ToleratedRtspsrcCritical rtspsrc_quirk;
  st::RtspTestServer server;
  server.add_mount("/many", {.codec = st::RtspCodec::H264,
                             .width = 160,
                             .height = 120,
                             .fps = 10,
                             .key_int_max = 10});
  server.start();
  GstStreamReader::Options o;
  o.base_backoff_seconds = 0.0;
  o.max_backoff_seconds = 0.5;
  o.backoff_randomness_seconds = 0.0;
  o.state_change_timeout = 10.0;
  // The baseline: the server listens, nobody reads. A first reader then makes GStreamer
  // create what it keeps for the process (the system clock's thread, ...).
  const int fds0 = st::fd_count();
  const int threads0 = st::thread_count();
  {
    GstStreamReader warm(90, server.url("/many"), {}, o);
    ASSERT_TRUE(next_frame(warm, nullptr, 20.0 * scale));
  }
  // The server lets go of a session (UDP sockets, its share of the media) when the TEARDOWN
  // arrives, and idle pooled streaming threads end some seconds later; nothing signals
  // either, so settle with a bounded poll.
  auto settle = [&](auto done) {
    const double deadline = steady_seconds() + 30.0 * scale;
    while (!done() && steady_seconds() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  };

  QuietConsole quiet;  // 50 streams' status lines would bury the output
  std::atomic<int> delivered{0};
  std::atomic<int> failed{0};
  const double t0 = steady_seconds();
  std::vector<std::thread> workers;
  for (int w = 0; w < kThreads; ++w) {
    workers.emplace_back([&, w] {
      std::vector<std::unique_ptr<GstStreamReader>> mine;
      for (int i = w; i < kReaders; i += kThreads) {
        try {
          mine.push_back(std::make_unique<GstStreamReader>(100 + i, server.url("/many"),
                                                           RuntimeOptions{}, o));
        } catch (const std::exception& e) {
          ++failed;
          ADD_FAILURE() << "reader " << i << ": " << e.what();
        }
      }
      for (auto& r : mine) {
        if (next_frame(*r, nullptr, 60.0 * scale)) {
          ++delivered;
        } else {
          ++failed;
        }
      }
      // Half are closed first, the rest just destroyed.
      for (std::size_t k = 0; k < mine.size(); ++k) {
        if (k % 2 == 0) mine[k]->wait_until_closed();
        mine[k].reset();
      }
    });
  }
  timed("joining the reader threads", 240.0 * scale, [&] {
    for (auto& t : workers) t.join();
  });
  const double took = steady_seconds() - t0;
  EXPECT_EQ(delivered.load(), kReaders);
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(st::reader_threads(), 0);

  settle([&] {
    return server.client_count() == 0 && std::abs(st::fd_count() - fds0) <= 4 &&
           std::abs(st::thread_count() - threads0) <= 4;
  });
  const int fds = st::fd_count();
  const int threads = st::thread_count();
  figure(std::to_string(kReaders) + " readers from " + std::to_string(kThreads) +
         " threads: all delivered in " + std::to_string(took) + " s; descriptors " +
         std::to_string(fds0) + " -> " + std::to_string(fds) + ", threads " +
         std::to_string(threads0) + " -> " + std::to_string(threads));
  EXPECT_LE(std::abs(fds - fds0), 4);
  EXPECT_LE(std::abs(threads - threads0), 4);
  EXPECT_TRUE(wait_for_clients_to_leave(server, 10.0 * scale));
}

}  // namespace
