// Capture time and sequence on delivered frames, against the loopback servers.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "stream_reader/clock.hpp"
#include "strovix/stream_reader/gst.hpp"
#include "support/http_server.hpp"
#include "support/log_capture.hpp"
#include "support/rtsp_server.hpp"

using namespace strovix;
using strovix::testing::HttpTestServer;
using strovix::testing::RtspTestServer;

namespace {

bool next_frame(GstStreamReader& reader, Frame* out, double timeout = 10.0) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!reader.latest_frame_event()->wait(0.5)) continue;
    Frame f = reader.latest_frame();
    if (f.image) {
      *out = f;
      return true;
    }
  }
  return false;
}

// The first frame that carries a capture time. The server's first sender report comes a few
// seconds into the stream (RTCP's randomised initial interval).
bool frame_with_capture_time(GstStreamReader& reader, Frame* out, double timeout = 20.0) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  while (std::chrono::steady_clock::now() < deadline) {
    if (next_frame(reader, out, 1.0) && out->capture_time) return true;
  }
  return false;
}

// On loopback the camera's clock is ours: a frame was taken at most half a second before it
// was pulled, and never after.
void expect_plausible(const Frame& f) {
  ASSERT_TRUE(f.capture_time);
  EXPECT_LE(*f.capture_time, f.timestamp + 0.005);
  EXPECT_GE(*f.capture_time, f.timestamp - 0.5);
}

GstStreamReader::Options quick_restarts() {
  GstStreamReader::Options o;
  o.base_backoff_seconds = 0.0;
  o.max_backoff_seconds = 0.2;
  o.backoff_randomness_seconds = 0.0;
  return o;
}

TEST(CaptureTime, RtspFramesCarryTheCameraTimeAfterTheFirstReport) {
  RtspTestServer server;
  server.add_mount("/h264");
  server.start();
  GstStreamReader reader(1, server.url("/h264"), {}, quick_restarts());
  Frame first;
  ASSERT_TRUE(frame_with_capture_time(reader, &first));
  expect_plausible(first);
  auto stats = reader.stats();
  ASSERT_TRUE(stats.capture_latency);
  EXPECT_GE(*stats.capture_latency, -0.005);
  EXPECT_LE(*stats.capture_latency, 0.5);

  // Later frames: later capture times, counted on.
  Frame previous = first;
  for (int i = 0; i < 10; ++i) {
    Frame f;
    ASSERT_TRUE(next_frame(reader, &f));
    expect_plausible(f);
    EXPECT_GT(f.sequence, previous.sequence);
    EXPECT_GT(*f.capture_time, *previous.capture_time);
    previous = f;
  }
  EXPECT_LE(previous.sequence, reader.stats().frames_delivered);

  // A restart brings a new pipeline with a clock of its own: no stale mapping, and a new one
  // from the next report.
  ScopedLogCapture log;
  server.stop();
  ASSERT_TRUE(log->wait_for("last status STREAMING, new status HALTED", 20.0));
  server.start();
  ASSERT_TRUE(log->wait_for("Shutting the pipeline down...", 20.0));
  Frame back;
  ASSERT_TRUE(next_frame(reader, &back, 20.0));
  if (back.capture_time) {
    expect_plausible(back);
  }
  EXPECT_GT(back.sequence, previous.sequence);
  ASSERT_TRUE(frame_with_capture_time(reader, &back));
  expect_plausible(back);
  reader.wait_until_closed();
}

TEST(CaptureTime, SourcesWithoutSenderReportsHaveNone) {
  HttpTestServer http;
  struct Row {
    const char* name;
    std::string url;
    GstStreamReader::Options options;
  };
  GstStreamReader::Options custom;
  custom.pipeline_str =
      "videotestsrc is-live=true ! video/x-raw,format=I420,width=64,height=48,framerate=30/1 ! "
      "appsink max-buffers=1 drop=true";
  const Row rows[] = {{"http mjpeg", http.url("/mjpeg"), {}},
                      {"custom description", "custom://", custom}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    GstStreamReader reader(2, row.url, {}, row.options);
    std::uint64_t last = 0;
    for (int i = 0; i < 5; ++i) {
      Frame f;
      ASSERT_TRUE(next_frame(reader, &f));
      EXPECT_FALSE(f.capture_time);
      EXPECT_GT(f.sequence, last);
      if (i == 0) {
        EXPECT_GE(f.sequence, 1u);
      }
      last = f.sequence;
    }
    EXPECT_FALSE(reader.stats().capture_latency);
    reader.wait_until_closed();
  }
}

}  // namespace
