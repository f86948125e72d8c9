// Checks of the benchmark harness itself: a wrong stamp decoder, quantile or server handshake
// would make every figure in docs/benchmarks.md wrong without any benchmark failing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "bench_common.hpp"
#include "strovix/gobject_init.hpp"

using namespace strovix;
using namespace strovix::bench;

namespace {

// A blank I420 frame of the given size with `value` painted in.
struct PaintedFrame {
  GstVideoInfo info;
  GstBuffer* buffer = nullptr;
  PaintedFrame(int width, int height, std::uint64_t value) {
    gst_video_info_set_format(&info, GST_VIDEO_FORMAT_I420, width, height);
    buffer = gst_buffer_new_allocate(nullptr, info.size, nullptr);
    GstVideoFrame frame;
    EXPECT_TRUE(gst_video_frame_map(&frame, &info, buffer, GST_MAP_WRITE));
    // Mid-grey everywhere, so only the painted blocks carry the value.
    for (guint p = 0; p < GST_VIDEO_FRAME_N_PLANES(&frame); ++p) {
      const int rows = p == 0 ? height : (height + 1) / 2;
      for (int r = 0; r < rows; ++r) {
        std::memset(static_cast<std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, p)) +
                        r * GST_VIDEO_FRAME_PLANE_STRIDE(&frame, p),
                    128, GST_VIDEO_FRAME_PLANE_STRIDE(&frame, p));
      }
    }
    paint_stamp_i420(&frame, value);
    gst_video_frame_unmap(&frame);
  }
  ~PaintedFrame() { gst_buffer_unref(buffer); }
  // The frame in BGR, through the library's own conversion.
  std::shared_ptr<const Image> bgr() const {
    CapsPtr caps(gst_video_info_to_caps(&info));
    GstSample* sample = gst_sample_new(buffer, caps.get(), nullptr, nullptr);
    auto image = sample_to_ndarray(sample);
    gst_sample_unref(sample);
    return image;
  }
};

class BenchHarness : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gobject_init::start(); }
};

TEST_F(BenchHarness, StampReadsBackExactlyAndRejectsDamage) {
  for (std::uint64_t value : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{0xFFFFFFFFFFFF},
                              std::uint64_t{1765432109876}, std::uint64_t{0xA5A5A5A5A5A5}}) {
    PaintedFrame frame(640, 360, value);
    auto image = frame.bgr();
    ASSERT_TRUE(image);
    auto read = read_stamp_bgr(image->data, image->stride, image->width, image->height);
    ASSERT_TRUE(read) << value;
    EXPECT_EQ(*read, value);
  }
  // Bits above 48 are not kept.
  {
    PaintedFrame frame(640, 360, (std::uint64_t{1} << 50) | 7);
    auto image = frame.bgr();
    EXPECT_EQ(read_stamp_bgr(image->data, image->stride, image->width, image->height).value_or(0),
              7u);
  }
  // One flipped block in the data rows fails the check row.
  PaintedFrame frame(640, 360, 1765432109876);
  auto image = frame.bgr();
  std::vector<std::uint8_t> copy(image->data, image->data + image->stride * image->height);
  for (int r = 0; r < kStampBlock; ++r) {
    std::uint8_t* block = copy.data() + (kStampBlock + r) * image->stride + 5 * kStampBlock * 3;
    for (int c = 0; c < kStampBlock * 3; ++c) block[c] = static_cast<std::uint8_t>(255 - block[c]);
  }
  EXPECT_FALSE(read_stamp_bgr(copy.data(), image->stride, image->width, image->height));
  // A frame too small for the stamp, or no frame, reads as nothing.
  EXPECT_FALSE(read_stamp_bgr(image->data, image->stride, kStampWidth - 1, image->height));
  EXPECT_FALSE(read_stamp_bgr(nullptr, image->stride, image->width, image->height));
}

TEST_F(BenchHarness, StampSurvivesH264EncodingAndDecoding) {
  // The path of the frame-age benchmark: paint, x264, avdec_h264, videoconvert to BGR.
  GstElement* pipeline = gst_parse_launch(
      "videotestsrc num-buffers=30 pattern=ball ! video/x-raw,format=I420,width=640,height=360,"
      "framerate=30/1 ! identity name=paint ! x264enc tune=zerolatency speed-preset=ultrafast "
      "key-int-max=30 ! avdec_h264 ! videoconvert ! video/x-raw,format=BGR ! appsink name=sink "
      "sync=false",
      nullptr);
  ASSERT_TRUE(pipeline);
  gst_object_ref_sink(pipeline);
  GstElement* paint = gst_bin_get_by_name(GST_BIN(pipeline), "paint");
  GstPad* pad = gst_element_get_static_pad(paint, "src");
  static std::uint64_t counter;
  counter = 1765432100000;
  gst_pad_add_probe(
      pad, GST_PAD_PROBE_TYPE_BUFFER,
      [](GstPad* p, GstPadProbeInfo* info, gpointer) {
        GstCaps* caps = gst_pad_get_current_caps(p);
        GstVideoInfo vinfo;
        gst_video_info_from_caps(&vinfo, caps);
        gst_caps_unref(caps);
        GstBuffer* buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
        GST_PAD_PROBE_INFO_DATA(info) = buffer;
        GstVideoFrame frame;
        if (gst_video_frame_map(&frame, &vinfo, buffer, GST_MAP_WRITE)) {
          paint_stamp_i420(&frame, counter++);
          gst_video_frame_unmap(&frame);
        }
        return GST_PAD_PROBE_OK;
      },
      nullptr, nullptr);
  gst_object_unref(pad);
  gst_object_unref(paint);
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  std::vector<std::uint64_t> read;
  for (int i = 0; i < 30; ++i) {
    SamplePtr sample(gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND));
    if (!sample) break;
    GstVideoInfo info;
    ASSERT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(sample.get())));
    GstVideoFrame frame;
    ASSERT_TRUE(gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample.get()), GST_MAP_READ));
    auto v = read_stamp_bgr(static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)),
                            GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0), GST_VIDEO_FRAME_WIDTH(&frame),
                            GST_VIDEO_FRAME_HEIGHT(&frame));
    gst_video_frame_unmap(&frame);
    ASSERT_TRUE(v) << "frame " << i;
    read.push_back(*v);
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
  ASSERT_EQ(read.size(), 30u);
  for (std::size_t i = 0; i < read.size(); ++i) EXPECT_EQ(read[i], 1765432100000u + i);
}

TEST_F(BenchHarness, StatisticsAndResultParsing) {
  EXPECT_TRUE(std::isnan(quantile({}, 0.5)));
  EXPECT_DOUBLE_EQ(quantile({5}, 0.9), 5);
  EXPECT_DOUBLE_EQ(quantile({4, 1, 3, 2}, 0.5), 2.5);  // unsorted input
  EXPECT_DOUBLE_EQ(quantile({1, 2, 3, 4, 5}, 0.0), 1);
  EXPECT_DOUBLE_EQ(quantile({1, 2, 3, 4, 5}, 1.0), 5);
  EXPECT_DOUBLE_EQ(quantile({0, 10}, 0.9), 9);
  EXPECT_DOUBLE_EQ(max_of({3, 9, 1}), 9);
  EXPECT_TRUE(std::isnan(max_of({})));

  EXPECT_EQ(num(1.256, 2), "1.26");
  EXPECT_EQ(num(std::nan(""), 2), "n/a");
  EXPECT_EQ(ratio(1, 2), "0.50x");
  EXPECT_EQ(ratio(1, 0), "n/a");
  EXPECT_EQ(ratio(std::nan(""), 2), "n/a");

  const std::string line = "RESULT mode=reader-kf n=64 cpu_pct=12.5 exact_fps_mean=nan x_n=3";
  EXPECT_EQ(field(line, "n").value_or(-1), 64);  // not the tail of "x_n="
  EXPECT_EQ(field(line, "cpu_pct").value_or(-1), 12.5);
  EXPECT_TRUE(std::isnan(field(line, "exact_fps_mean").value_or(0)));
  EXPECT_FALSE(field(line, "missing"));
}

TEST_F(BenchHarness, ServerProcessServesStopsStartsAndIsReaped) {
  pid_t pid = -1;
  {
    ServerProcess server(exe_dir() + "/bench_server");
    pid = server.pid();
    EXPECT_GT(server.port(), 0);
    EXPECT_GT(server.live_port(), 0);
    EXPECT_NE(server.port(), server.live_port());
    EXPECT_EQ(server.url("/loop"), "rtsp://127.0.0.1:" + std::to_string(server.port()) + "/loop");
    // A hand-written pipeline gets frames from the looped mount and from the live one.
    for (const std::string& url : {server.url("/loop"), server.live_url()}) {
      HandPipeline hand("rtspsrc location=" + url +
                        " latency=200 ! rtph264depay ! h264parse ! avdec_h264 ! videoconvert ! "
                        "video/x-raw,format=BGR ! appsink name=sink max-buffers=1 drop=true sync=false");
      const double deadline = mono_s() + 20;
      while (hand.frames() < 3 && mono_s() < deadline) sleep_s(0.05);
      EXPECT_GE(hand.frames(), 3u) << url;
      double pulled = 0;
      EXPECT_TRUE(hand.latest(&pulled));
      EXPECT_NEAR(pulled, wall_ms(), 5000);
      EXPECT_TRUE(hand.new_frame_event()->is_set());
    }
    EXPECT_TRUE(server.command("stop"));
    EXPECT_TRUE(server.command("start"));
    EXPECT_FALSE(server.command("no-such-command", 0.5));
    EXPECT_GE(server.cpu_s(), 0.0);
  }
  // Gone and reaped: no zombie left behind.
  EXPECT_EQ(kill(pid, 0), -1);
  EXPECT_LT(proc_cpu_s(pid), 0);
}

TEST_F(BenchHarness, HandPipelineCountsThroughAppsinkOrFakesinkAndSeesEos) {
  HandPipeline pulled("videotestsrc num-buffers=20 ! video/x-raw,width=64,height=48 ! "
                      "appsink name=sink max-buffers=1 drop=false sync=false");
  HandPipeline counted("videotestsrc num-buffers=20 ! video/x-raw,width=64,height=48 ! "
                       "fakesink name=sink sync=false");
  const double deadline = mono_s() + 20;
  while ((!pulled.eos() || counted.frames() < 20) && mono_s() < deadline) sleep_s(0.02);
  EXPECT_TRUE(pulled.eos());
  EXPECT_EQ(pulled.frames(), 20u);
  EXPECT_EQ(counted.frames(), 20u);
  EXPECT_FALSE(counted.latest());  // nothing is pulled from a fakesink
  EXPECT_THROW(HandPipeline("videotestsrc ! nosuchelement ! appsink name=sink"), std::runtime_error);
  EXPECT_THROW(HandPipeline("videotestsrc ! appsink name=other"), std::runtime_error);
}

TEST_F(BenchHarness, ProcessFigures) {
  const double cpu0 = self_cpu_s();
  volatile double x = 0;
  for (int i = 0; i < 20000000; ++i) x = x + 1e-9;
  EXPECT_GT(self_cpu_s(), cpu0);
  EXPECT_GT(self_rss_kib(), 1000);
  EXPECT_GE(self_voluntary_switches(), 0);
  EXPECT_GE(proc_cpu_s(getpid()), 0.0);
  int code = -1;
  EXPECT_EQ(run_capture({"/bin/echo", "RESULT a=1"}, &code), "RESULT a=1\n");
  EXPECT_EQ(code, 0);
  run_capture({"/bin/false"}, &code);
  EXPECT_EQ(code, 1);
  run_capture({"/nonexistent/program"}, &code);
  EXPECT_EQ(code, 127);
}

}  // namespace
