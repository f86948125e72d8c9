// sample_to_ndarray (libyuv) against GStreamer's own YUV -> BGR conversion. The GStreamer side
// drives a GstVideoConverter directly, which is what the videoconvert element runs per frame,
// with videoconvert's defaults (one thread) and a preallocated output buffer standing in for
// its buffer pool. Both sides include mapping the input frame. A ratio table follows the
// usual benchmark output (videoconvert time / sample_to_ndarray time).
//
// Host-ready frames: 1080p and 4K I420 to a 640x360 RGB model input, through the reader's one
// pass (scale the planes, then convert) against what a host does with today's frames (the
// full-size BGR conversion, cv::resize INTER_LINEAR, cv::cvtColor to RGB; OpenCV on one thread,
// as the reader's conversion is), with each result's PSNR against an exact area-averaged
// reference. --compare-png FILE writes both results side by side.
#include <benchmark/benchmark.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <array>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "strovix/gst/handles.hpp"
#include "strovix/gst/sample_convert.hpp"
#include "convert/convert.hpp"

#if STROVIX_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using strovix::SamplePtr;

struct Size {
  int width;
  int height;
};
constexpr Size kSizes[] = {{640, 360}, {1280, 720}, {1920, 1080}};
constexpr const char* kFormats[] = {"I420", "NV12"};
constexpr const char* kOurs = "sample_to_ndarray";
constexpr const char* kTheirs = "GstVideoConverter";

SamplePtr make_frame(const char* format, Size size, const std::string& pattern = "smpte") {
  const std::string description =
      "videotestsrc num-buffers=1 pattern=" + pattern +
      " ! video/x-raw,format=" + std::string(format) + ",width=" + std::to_string(size.width) +
      ",height=" + std::to_string(size.height) + " ! appsink name=s sync=false";
  GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
  if (!pipeline) return nullptr;
  gst_object_ref_sink(pipeline);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "s");
  SamplePtr sample(gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND));
  gst_object_unref(sink);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  return sample;
}

std::string label(Size size, const char* format) {
  return std::to_string(size.width) + "x" + std::to_string(size.height) + "/" + format;
}

void bench_ours(benchmark::State& state, GstSample* sample) {
  for (auto _ : state) {
    auto image = strovix::sample_to_ndarray(sample);
    benchmark::DoNotOptimize(image->data);
  }
  state.SetItemsProcessed(state.iterations());
}

void bench_videoconvert(benchmark::State& state, GstSample* sample) {
  // The output caps videoconvert would negotiate: the input's, as BGR, default colorimetry.
  GstVideoInfo in_info, out_info;
  strovix::CapsPtr out_caps(gst_caps_copy(gst_sample_get_caps(sample)));
  gst_caps_set_simple(out_caps.get(), "format", G_TYPE_STRING, "BGR", nullptr);
  gst_structure_remove_field(gst_caps_get_structure(out_caps.get(), 0), "colorimetry");
  GstVideoConverter* converter = nullptr;
  if (gst_video_info_from_caps(&in_info, gst_sample_get_caps(sample)) &&
      gst_video_info_from_caps(&out_info, out_caps.get())) {
    converter = gst_video_converter_new(&in_info, &out_info, nullptr);
  }
  if (!converter) {
    state.SkipWithError("cannot make a GstVideoConverter");
    return;
  }
  GstBuffer* out = gst_buffer_new_allocate(nullptr, out_info.size, nullptr);
  GstBuffer* in = gst_sample_get_buffer(sample);
  for (auto _ : state) {
    GstVideoFrame src, dst;
    if (!gst_video_frame_map(&src, &in_info, in, GST_MAP_READ)) {
      state.SkipWithError("cannot map input");
      break;
    }
    gst_video_frame_map(&dst, &out_info, out, GST_MAP_WRITE);
    gst_video_converter_frame(converter, &src, &dst);
    benchmark::DoNotOptimize(GST_VIDEO_FRAME_PLANE_DATA(&dst, 0));
    gst_video_frame_unmap(&dst);
    gst_video_frame_unmap(&src);
  }
  state.SetItemsProcessed(state.iterations());
  gst_buffer_unref(out);
  gst_video_converter_free(converter);
}

// ---- host-ready frames ------------------------------------------------------------------

constexpr Size kHostSources[] = {{1920, 1080}, {3840, 2160}};
constexpr Size kModelInput = {640, 360};
constexpr const char* kReaderBox = "reader_box";
constexpr const char* kReaderBilinear = "reader_bilinear";
constexpr const char* kHost = "host_opencv";
// Fine detail to show aliasing: concentric rings whose frequency grows towards the edges.
const std::string kDetailPattern = "zone-plate kx2=20 ky2=20";

std::string host_label(Size size) {
  return std::to_string(size.width) + "x" + std::to_string(size.height) + "/I420->" +
         std::to_string(kModelInput.width) + "x" + std::to_string(kModelInput.height) + "/RGB";
}

strovix::OutputFormat model_input(strovix::ScaleFilter filter) {
  return {kModelInput.width, kModelInput.height, strovix::PixelFormat::RGB, filter};
}

void bench_reader_rgb(benchmark::State& state, GstSample* sample, strovix::ScaleFilter filter) {
  std::vector<std::uint8_t> scratch;  // the reader keeps one per stream
  const strovix::OutputFormat format = model_input(filter);
  for (auto _ : state) {
    auto image = strovix::sample_to_ndarray(sample, format, &scratch);
    benchmark::DoNotOptimize(image->data);
  }
  state.SetItemsProcessed(state.iterations());
}

#if STROVIX_BENCH_OPENCV
cv::Mat host_way(GstSample* sample) {
  auto bgr = strovix::sample_to_ndarray(sample);
  const cv::Mat full(bgr->height, bgr->width, CV_8UC3, const_cast<std::uint8_t*>(bgr->data),
                     bgr->stride);
  cv::Mat small, rgb;
  cv::resize(full, small, cv::Size(kModelInput.width, kModelInput.height), 0, 0, cv::INTER_LINEAR);
  cv::cvtColor(small, rgb, cv::COLOR_BGR2RGB);
  return rgb;
}

void bench_host_rgb(benchmark::State& state, GstSample* sample) {
  for (auto _ : state) {
    cv::Mat rgb = host_way(sample);
    benchmark::DoNotOptimize(rgb.data);
  }
  state.SetItemsProcessed(state.iterations());
}

cv::Mat as_mat(const strovix::Image& image) {
  return cv::Mat(image.height, image.width, image.channels == 1 ? CV_8UC1 : CV_8UC3,
                 const_cast<std::uint8_t*>(image.data), image.stride);
}

// The reference: the full-size conversion averaged over each output pixel's area, in float.
cv::Mat reference_rgb(GstSample* sample) {
  auto bgr = strovix::sample_to_ndarray(sample);
  cv::Mat full, small, rgb;
  as_mat(*bgr).convertTo(full, CV_32FC3);
  cv::resize(full, small, cv::Size(kModelInput.width, kModelInput.height), 0, 0, cv::INTER_AREA);
  cv::cvtColor(small, rgb, cv::COLOR_BGR2RGB);
  return rgb;
}

double psnr(const cv::Mat& got, const cv::Mat& reference) {
  cv::Mat f;
  got.convertTo(f, CV_32FC3);
  return cv::PSNR(f, reference, 255.0);
}

struct Quality {
  double box = 0, bilinear = 0, host = 0;  // PSNR in dB
};

Quality quality_of(GstSample* sample) {
  const cv::Mat reference = reference_rgb(sample);
  auto box = strovix::sample_to_ndarray(sample, model_input(strovix::ScaleFilter::BOX));
  auto bilinear = strovix::sample_to_ndarray(sample, model_input(strovix::ScaleFilter::BILINEAR));
  return {psnr(as_mat(*box), reference), psnr(as_mat(*bilinear), reference),
          psnr(host_way(sample), reference)};
}

// Rows of (reader's box-filtered RGB | the host's way), one row per sample, with a caption
// strip above each panel.
bool write_comparison(const std::string& path, const std::vector<GstSample*>& samples,
                      const std::vector<std::string>& captions) {
  constexpr int kCaption = 28;
  const int w = kModelInput.width, h = kModelInput.height;
  cv::Mat canvas(static_cast<int>(samples.size()) * (h + kCaption), 2 * w + 8, CV_8UC3,
                 cv::Scalar(255, 255, 255));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const int top = static_cast<int>(i) * (h + kCaption);
    auto ours = strovix::sample_to_ndarray(samples[i], model_input(strovix::ScaleFilter::BOX));
    cv::Mat ours_bgr, theirs_bgr;
    cv::cvtColor(as_mat(*ours), ours_bgr, cv::COLOR_RGB2BGR);
    cv::cvtColor(host_way(samples[i]), theirs_bgr, cv::COLOR_RGB2BGR);
    ours_bgr.copyTo(canvas(cv::Rect(0, top + kCaption, w, h)));
    theirs_bgr.copyTo(canvas(cv::Rect(w + 8, top + kCaption, w, h)));
    const std::string left = "reader: one libyuv pass, box filter (" + captions[i] + ")";
    const std::string right = "host: BGR, cv::resize INTER_LINEAR, cv::cvtColor";
    cv::putText(canvas, left, {6, top + 19}, cv::FONT_HERSHEY_SIMPLEX, 0.5, {0, 0, 0}, 1,
                cv::LINE_AA);
    cv::putText(canvas, right, {w + 14, top + 19}, cv::FONT_HERSHEY_SIMPLEX, 0.5, {0, 0, 0}, 1,
                cv::LINE_AA);
  }
  return cv::imwrite(path, canvas);
}
#endif

// Prints the usual table and remembers the time per frame of each run.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    // With --benchmark_repetitions the median (reported after the runs) wins.
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      ms_[run.run_name.function_name] = run.GetAdjustedRealTime();  // in the run's unit: ms
    }
  }
  // The host-ready table: time per frame of each way, the ratio and the quality of each.
  void print_host_ready(FILE* md, const std::map<std::string, std::array<double, 3>>& quality,
                        bool opencv) const {
    std::printf("\n%-28s %10s %14s %10s %8s %22s\n", "host-ready frame", "reader ms", "bilinear ms",
                "host ms", "host/rd", "PSNR dB box/bil/host");
    if (md) {
      std::fprintf(
          md,
          "\n| source to model input | reader (box) ms | reader (bilinear) ms | host's way "
          "ms | host's way / reader | PSNR box / bilinear / host's way (dB, zone plate) "
          "|\n|---|---:|---:|---:|---:|---:|\n");
    }
    for (Size size : kHostSources) {
      const std::string key = host_label(size);
      auto box = ms_.find(std::string(kReaderBox) + "/" + key);
      auto bil = ms_.find(std::string(kReaderBilinear) + "/" + key);
      if (box == ms_.end() || bil == ms_.end()) continue;
      auto host = ms_.find(std::string(kHost) + "/" + key);
      const bool have_host = host != ms_.end();
      const double host_ms = have_host ? host->second : 0.0;
      char ratio[32] = "-", host_text[32] = "-", q_text[64] = "-";
      if (have_host) {
        std::snprintf(ratio, sizeof ratio, "%.2fx", host_ms / box->second);
        std::snprintf(host_text, sizeof host_text, "%.3f", host_ms);
      }
      if (auto q = quality.find(key); q != quality.end()) {
        std::snprintf(q_text, sizeof q_text, "%.1f / %.1f / %.1f", q->second[0], q->second[1],
                      q->second[2]);
      }
      std::printf("%-28s %10.3f %14.3f %10s %8s %22s\n", key.c_str(), box->second, bil->second,
                  host_text, ratio, q_text);
      if (md) {
        std::fprintf(md, "| %s | %.3f | %.3f | %s | %s | %s |\n", key.c_str(), box->second,
                     bil->second, host_text, ratio, q_text);
      }
    }
    if (!opencv) {
      std::printf("OpenCV not found at build time: the host's way and the quality are left out\n");
      if (md)
        std::fprintf(
            md,
            "\nOpenCV was not found at build time: the host's way and the quality are left out.\n");
    }
  }

  // The ratio table on stdout and, when `md` is open, as a markdown table.
  void print_ratios(FILE* md) const {
    std::printf("\n%-16s %20s %20s %8s\n", "frame", "sample_to_ndarray ms", "GstVideoConverter ms",
                "ratio");
    if (md) {
      std::fprintf(md,
                   "| frame | sample_to_ndarray (libyuv) ms | GstVideoConverter (videoconvert) ms "
                   "| videoconvert / sample_to_ndarray |\n|---|---:|---:|---:|\n");
    }
    for (Size size : kSizes) {
      for (const char* format : kFormats) {
        const std::string key = label(size, format);
        auto ours = ms_.find(std::string(kOurs) + "/" + key);
        auto theirs = ms_.find(std::string(kTheirs) + "/" + key);
        if (ours == ms_.end() || theirs == ms_.end()) continue;
        std::printf("%-16s %20.3f %20.3f %7.2fx\n", key.c_str(), ours->second, theirs->second,
                    theirs->second / ours->second);
        if (md) {
          std::fprintf(md, "| %s | %.3f | %.3f | %.2fx |\n", key.c_str(), ours->second,
                       theirs->second, theirs->second / ours->second);
        }
      }
    }
  }

 private:
  std::map<std::string, double> ms_;
};

}  // namespace

int main(int argc, char** argv) {
  // --md FILE (ours) is taken out before Google Benchmark sees the arguments.
  std::string md_path, png_path;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--md" && i + 1 < argc) {
      md_path = argv[++i];
      continue;
    }
    if (std::string(argv[i]) == "--compare-png" && i + 1 < argc) {
      png_path = argv[++i];
      continue;
    }
    argv[kept++] = argv[i];
  }
  argc = kept;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  gst_init(nullptr, nullptr);

  std::vector<SamplePtr> frames;
  for (Size size : kSizes) {
    for (const char* format : kFormats) {
      SamplePtr frame = make_frame(format, size);
      if (!frame) {
        std::fprintf(stderr, "cannot make a %s frame\n", label(size, format).c_str());
        return 1;
      }
      GstSample* sample = frame.get();
      frames.push_back(std::move(frame));
      // Short by default; a per-benchmark MinTime wins over --benchmark_min_time, so pass
      // --benchmark_repetitions=N for steadier figures.
      for (auto [name, fn] :
           {std::pair{kOurs, &bench_ours}, std::pair{kTheirs, &bench_videoconvert}}) {
        benchmark::RegisterBenchmark((std::string(name) + "/" + label(size, format)).c_str(), fn,
                                     sample)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.15)
            ->UseRealTime();
      }
    }
  }

  // Host-ready frames, from the SMPTE pattern for time (the cost does not depend on content)
  // and from a zone plate for quality.
  std::map<std::string, std::array<double, 3>> quality;
  std::vector<SamplePtr> detail;
#if STROVIX_BENCH_OPENCV
  cv::setNumThreads(1);
  const bool opencv = true;
#else
  const bool opencv = false;
#endif
  for (Size size : kHostSources) {
    SamplePtr frame = make_frame("I420", size);
    SamplePtr rings = make_frame("I420", size, kDetailPattern);
    if (!frame || !rings) {
      std::fprintf(stderr, "cannot make a %s frame\n", host_label(size).c_str());
      return 1;
    }
    GstSample* sample = frame.get();
    frames.push_back(std::move(frame));
    const std::string key = host_label(size);
    auto add = [&](const char* name, auto fn) {
      benchmark::RegisterBenchmark((std::string(name) + "/" + key).c_str(), fn)
          ->Unit(benchmark::kMillisecond)
          ->MinTime(0.15)
          ->UseRealTime();
    };
    add(kReaderBox, [sample](benchmark::State& st) {
      bench_reader_rgb(st, sample, strovix::ScaleFilter::BOX);
    });
    add(kReaderBilinear, [sample](benchmark::State& st) {
      bench_reader_rgb(st, sample, strovix::ScaleFilter::BILINEAR);
    });
#if STROVIX_BENCH_OPENCV
    add(kHost, [sample](benchmark::State& st) { bench_host_rgb(st, sample); });
    const Quality q = quality_of(rings.get());
    quality[key] = {q.box, q.bilinear, q.host};
#endif
    detail.push_back(std::move(rings));
  }

  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  FILE* md = md_path.empty() ? nullptr : std::fopen(md_path.c_str(), "w");
  reporter.print_ratios(md);
  reporter.print_host_ready(md, quality, opencv);
  if (!png_path.empty()) {
#if STROVIX_BENCH_OPENCV
    // 1080p sources: the SMPTE bars (colour edges) and the zone plate (fine detail).
    SamplePtr bars = make_frame("I420", kHostSources[0]);
    if (!bars || !write_comparison(png_path, {bars.get(), detail[0].get()},
                                   {"1080p bars", "1080p zone plate"})) {
      std::fprintf(stderr, "cannot write %s\n", png_path.c_str());
    } else {
      std::printf("wrote %s\n", png_path.c_str());
    }
#else
    std::fprintf(stderr, "OpenCV not found at build time: no %s\n", png_path.c_str());
#endif
  }
  if (md) std::fclose(md);
  benchmark::Shutdown();
  frames.clear();
  detail.clear();
  gst_deinit();
  return 0;
}
