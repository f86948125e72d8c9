// Frame age: how old is the frame a consumer gets when it reads one every 200 ms?
// The bench server paints each frame's wall-clock capture time into it before encoding; each
// consumer decodes that back from the BGR frame it was handed. The reader, the hand-written
// appsink pipeline and OpenCV's VideoCapture (its default backend, and its GStreamer backend
// when that is not the default) read the same live stream side by side in one run.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.hpp"
#include "strovix/gobject_init.hpp"
#include "strovix/logger.hpp"
#include "strovix/stream_reader/gst.hpp"

#ifdef STROVIX_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <opencv2/videoio/registry.hpp>
#endif

using namespace strovix;
using namespace strovix::bench;

namespace {

struct Sample {
  double t_s;     // since the consumers started
  double age_ms;  // NaN when the frame carried no readable stamp
};

struct Series {
  Series(std::string n, std::string d, std::function<std::optional<double>()> r)
      : name(std::move(n)), detail(std::move(d)), read(std::move(r)) {}
  std::string name;
  std::string detail;
  // Reads the consumer's current frame; returns its painted time in ms, or nullopt.
  std::function<std::optional<double>()> read;
  std::vector<Sample> samples;
  int unreadable = 0;
};

// What a reader's frames say about the camera's clock: the capture time against the time
// painted into the same picture, and the latency from capture to pull.
struct CaptureFigures {
  std::vector<double> error_ms;
  std::vector<double> latency_ms;
  int without = 0;  // frames with a readable stamp but no capture time
};

std::optional<double> stamp_of_image(const Image* image) {
  if (!image) return std::nullopt;
  auto v = read_stamp_bgr(image->data, image->stride, image->width, image->height);
  if (!v) return std::nullopt;
  return static_cast<double>(*v);
}

std::optional<double> stamp_of_sample(GstSample* sample) {
  if (!sample) return std::nullopt;
  GstVideoInfo info;
  if (!gst_video_info_from_caps(&info, gst_sample_get_caps(sample))) return std::nullopt;
  GstVideoFrame frame;
  if (!gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ)) {
    return std::nullopt;
  }
  auto v = read_stamp_bgr(static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)),
                          GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0), GST_VIDEO_FRAME_WIDTH(&frame),
                          GST_VIDEO_FRAME_HEIGHT(&frame));
  gst_video_frame_unmap(&frame);
  if (!v) return std::nullopt;
  return static_cast<double>(*v);
}

// 200 ms is six frames of the 30 fps source: without an offset every read would fall at the
// same phase of the frame interval, and the figures would tell that phase rather than the
// pipeline. The offset steps through one frame interval (0, 3.3, ... 30 ms), the same for
// every consumer.
double tick_offset_s(int i) { return (i * 7 % 10) * (1.0 / 30.0) / 10.0; }

void consume(Series& s, double start_mono, double duration_s, double period_s) {
  // Bounded by the tick count; a blocking read may delay a tick, never add one.
  const int ticks = static_cast<int>(duration_s / period_s);
  for (int i = 0; i < ticks; ++i) {
    sleep_s(start_mono + i * period_s + tick_offset_s(i) - mono_s());
    const auto stamp = s.read();
    const double now = wall_ms();
    const double t = mono_s() - start_mono;
    if (!stamp) {
      ++s.unreadable;
      s.samples.push_back({t, std::nan("")});
      continue;
    }
    s.samples.push_back({t, now - *stamp});
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string md_path, data_path, targets_path;
  double duration = 20.0, period = 0.2;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--smoke")
      duration = 2.0;
    else if (args[i] == "--md" && i + 1 < args.size())
      md_path = args[++i];
    else if (args[i] == "--data" && i + 1 < args.size())
      data_path = args[++i];
    else if (args[i] == "--targets" && i + 1 < args.size())
      targets_path = args[++i];
    else if (args[i] == "--duration" && i + 1 < args.size())
      duration = std::stod(args[++i]);
    else {
      std::fprintf(stderr,
                   "usage: bench_frame_age [--smoke] [--md FILE] [--data FILE] [--targets FILE] "
                   "[--duration S]\n");
      return 2;
    }
  }
  stream_log_sink()->set_level(spdlog::level::warn);
  gobject_init::start();
  ServerProcess server(exe_dir() + "/bench_server");
  const std::string url = server.live_url();

  GstStreamReader reader(1, url, {});
  GstStreamReader keyframe_reader(2, url, {{"keyframes_only", true}});
  CaptureFigures reader_capture, keyframe_capture;
  auto read_with_capture = [](GstStreamReader& r, CaptureFigures& figures) {
    Frame f = r.latest_frame();
    const auto stamp = stamp_of_image(f.image.get());
    if (stamp) {
      if (f.capture_time) {
        figures.error_ms.push_back(*f.capture_time * 1000.0 - *stamp);
        figures.latency_ms.push_back((f.timestamp - *f.capture_time) * 1000.0);
      } else {
        ++figures.without;
      }
    }
    return stamp;
  };
  HandPipeline hand("rtspsrc location=" + url +
                    " latency=200 ! rtph264depay ! h264parse ! avdec_h264 ! videoconvert"
                    " ! video/x-raw,format=BGR ! appsink name=sink max-buffers=1 drop=true"
                    " sync=false");
  std::vector<Series> series;
  series.emplace_back("reader", "GstStreamReader, default options",
                      [&] { return read_with_capture(reader, reader_capture); });
  series.emplace_back("hand-written", "appsink max-buffers=1 drop=true, pulled by a thread",
                      [&]() -> std::optional<double> {
                        SamplePtr s = hand.latest();
                        return stamp_of_sample(s.get());
                      });
  series.emplace_back("reader keyframe-only", "GstStreamReader, keyframes_only",
                      [&] { return read_with_capture(keyframe_reader, keyframe_capture); });
#ifdef STROVIX_BENCH_OPENCV
  // Opened side by side: each starts buffering as soon as it is open.
  const bool default_is_gstreamer = [] {
    const auto backends = cv::videoio_registry::getStreamBackends();
    return !backends.empty() && backends.front() == cv::CAP_GSTREAMER;
  }();
  std::vector<std::pair<std::string, int>> wanted = {{"OpenCV default", cv::CAP_ANY}};
  if (!default_is_gstreamer) wanted.push_back({"OpenCV GStreamer", cv::CAP_GSTREAMER});
  std::vector<std::unique_ptr<cv::VideoCapture>> captures(wanted.size());
  {
    std::vector<std::thread> openers;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      openers.emplace_back(
          [&, i] { captures[i] = std::make_unique<cv::VideoCapture>(url, wanted[i].second); });
    }
    for (auto& t : openers) t.join();
  }
  std::vector<std::unique_ptr<cv::Mat>> mats;
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    cv::VideoCapture* c = captures[i].get();
    if (!c->isOpened()) {
      std::fprintf(stderr, "bench_frame_age: OpenCV cannot open %s (%s)\n", url.c_str(),
                   wanted[i].first.c_str());
      continue;
    }
    const std::string backend = c->getBackendName();
    mats.push_back(std::make_unique<cv::Mat>());
    cv::Mat* m = mats.back().get();
    series.emplace_back(wanted[i].first,
                        "cv::VideoCapture(url" +
                            std::string(wanted[i].second == cv::CAP_ANY ? "" : ", CAP_" + backend) +
                            "), backend " + backend + ", read() every tick",
                        [c, m]() -> std::optional<double> {
                          if (!c->read(*m) || m->empty() || m->type() != CV_8UC3)
                            return std::nullopt;
                          auto v = read_stamp_bgr(m->data, m->step, m->cols, m->rows);
                          if (!v) return std::nullopt;
                          return static_cast<double>(*v);
                        });
  }
#endif

  // Both library-side consumers have a first frame before the clock starts (bounded).
  const double up_deadline = mono_s() + 20.0;
  while (mono_s() < up_deadline && (!reader.latest_frame().image || !hand.latest())) sleep_s(0.05);

  const double start = mono_s() + 0.05;
  std::vector<std::thread> threads;
  for (auto& s : series) {
    threads.emplace_back([&s, start, duration, period] { consume(s, start, duration, period); });
  }
  for (auto& t : threads) t.join();

  std::ostringstream md;
  md << "## Frame age\n\n"
     << "A consumer reads one frame every " << num(period * 1000, 0) << " ms for "
     << num(duration, 0)
     << " s (each read shifted by a step of 3.3 ms within one frame interval, so reads do not "
        "lock to one phase of the source) from the bench server's live 640x360 30 fps H.264 mount "
        "(x264 zerolatency, one "
        "keyframe a second); the server paints the wall-clock capture time (48 bits in "
        "16x16 blocks) into each frame before encoding, and the consumer reads it back from "
        "the BGR frame it was handed: age = time of the read - capture time. All consumers "
        "read the same stream side by side. \"last 2 s\" is the median over the final 2 s "
        "(growth shows there).\n\n"
     << "| consumer | how | reads | unreadable | median ms | p90 ms | max ms | last 2 s median ms "
        "| median / hand-written |\n|---|---|---:|---:|---:|---:|---:|---:|---:|\n";
  auto ages = [](const Series& s, double from_t) {
    std::vector<double> out;
    for (const auto& x : s.samples) {
      if (!std::isnan(x.age_ms) && x.t_s >= from_t) out.push_back(x.age_ms);
    }
    return out;
  };
  const double hand_median = quantile(ages(series[1], 0), 0.5);
  for (const auto& s : series) {
    const auto all = ages(s, 0);
    md << "| " << s.name << " | " << s.detail << " | " << s.samples.size() << " | " << s.unreadable
       << " | " << num(quantile(all, 0.5), 1) << " | " << num(quantile(all, 0.9), 1) << " | "
       << num(max_of(all), 1) << " | " << num(quantile(ages(s, duration - 2.0), 0.5), 1) << " | "
       << ratio(quantile(all, 0.5), hand_median) << " |\n";
  }
#ifndef STROVIX_BENCH_OPENCV
  md << "\nOpenCV was not found at build time: its rows are left out.\n";
#endif
  md << "\n![frame age over time](frame_age.png)\n\n";
  md << "## Capture time\n\n"
     << "The same reads, for the readers: each frame's capture_time (the camera's clock, from "
        "its RTCP sender reports through the frame's RTP timestamp) against the capture time "
        "painted into the same picture (error = capture_time - painted time), and the "
        "capture-to-frame latency (pull time - capture_time) next to the frame age. Frames "
        "before the server's first sender report carry no capture time.\n\n"
     << "| reader | frames with capture time | without | error median ms | abs error p99 ms | "
        "max abs error ms | latency median ms | latency p99 ms | frame age median ms |\n"
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  auto abs_of = [](std::vector<double> v) {
    for (double& x : v) x = std::fabs(x);
    return v;
  };
  auto abs_max = [](const std::vector<double>& v) {
    double m = std::nan("");
    for (double x : v) m = std::isnan(m) ? std::fabs(x) : std::max(m, std::fabs(x));
    return m;
  };
  const std::pair<const CaptureFigures*, const Series*> capture_rows[] = {
      {&reader_capture, &series[0]}, {&keyframe_capture, &series[2]}};
  for (const auto& [figures, s] : capture_rows) {
    md << "| " << s->name << " | " << figures->error_ms.size() << " | " << figures->without << " | "
       << num(quantile(figures->error_ms, 0.5), 1) << " | "
       << num(quantile(abs_of(figures->error_ms), 0.99), 1) << " | "
       << num(abs_max(figures->error_ms), 1) << " | " << num(quantile(figures->latency_ms, 0.5), 1)
       << " | " << num(quantile(figures->latency_ms, 0.99), 1) << " | "
       << num(quantile(ages(*s, 0), 0.5), 1) << " |\n";
  }
  md << "\n";
  std::printf("%s", md.str().c_str());
  if (!md_path.empty()) std::ofstream(md_path) << md.str();
  if (!data_path.empty()) {
    // One gnuplot data block per consumer, its name in the first line.
    std::ofstream data(data_path);
    for (const auto& s : series) {
      data << "\"" << s.name << "\"\n";
      for (const auto& x : s.samples) {
        if (!std::isnan(x.age_ms)) data << x.t_s << " " << x.age_ms << "\n";
      }
      data << "\n\n";
    }
  }
  {
    const auto reader_all = ages(series[0], 0);
    const double median = quantile(reader_all, 0.5);
    const double last = quantile(ages(series[0], duration - 2.0), 0.5);
    const double max = max_of(reader_all);
    std::ostringstream targets;
    auto row = [&](const std::string& target, const std::string& measured, bool met) {
      targets << "| " << target << " | " << measured << " | " << (met ? "met" : "**missed**")
              << " |\n";
    };
    row("frame age median <= hand-written + 5 ms",
        num(median, 1) + " ms vs " + num(hand_median, 1) + " ms", median <= hand_median + 5.0);
    row("frame age max <= 100 ms", num(max, 1) + " ms", max <= 100.0);
    // Growth: the last 2 s against the whole run; a backlog shows as a rising median.
    for (const auto* figures : {&reader_capture, &keyframe_capture}) {
      const std::string who = figures == &reader_capture ? "" : " (keyframe-only)";
      const double err_median = quantile(figures->error_ms, 0.5);
      std::vector<double> abs_err = figures->error_ms;
      for (double& x : abs_err) x = std::fabs(x);
      const double err_p99 = quantile(abs_err, 0.99);
      row("capture time error median <= 5 ms" + who, num(err_median, 1) + " ms",
          std::fabs(err_median) <= 5.0);
      row("capture time abs error p99 <= 34 ms" + who, num(err_p99, 1) + " ms",
          std::fabs(err_p99) <= 34.0);
    }
    row("frame age does not grow (median of the last 2 s <= median + 10 ms)",
        num(last, 1) + " ms vs " + num(median, 1) + " ms", last <= median + 10.0);
    std::printf("%s", targets.str().c_str());
    if (!targets_path.empty()) std::ofstream(targets_path, std::ios::app) << targets.str();
  }
  bool ok = true;
  for (const auto& s : series) ok = ok && !s.samples.empty();
  return ok ? 0 : 1;
}
