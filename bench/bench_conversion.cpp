// sample_to_ndarray (libyuv) against GStreamer's own YUV -> BGR conversion. The GStreamer side
// drives a GstVideoConverter directly, which is what the videoconvert element runs per frame,
// with videoconvert's defaults (one thread) and a preallocated output buffer standing in for
// its buffer pool. Both sides include mapping the input frame. A ratio table follows the
// usual benchmark output (videoconvert time / sample_to_ndarray time).
#include <benchmark/benchmark.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "strovix/gst/handles.hpp"
#include "strovix/gst/sample_convert.hpp"

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

SamplePtr make_frame(const char* format, Size size) {
  const std::string description =
      "videotestsrc num-buffers=1 pattern=smpte ! video/x-raw,format=" + std::string(format) +
      ",width=" + std::to_string(size.width) + ",height=" + std::to_string(size.height) +
      " ! appsink name=s sync=false";
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
  // The ratio table on stdout and, when `md` is open, as a markdown table.
  void print_ratios(FILE* md) const {
    std::printf("\n%-16s %20s %20s %8s\n", "frame", "sample_to_ndarray ms",
                "GstVideoConverter ms", "ratio");
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
  std::string md_path;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--md" && i + 1 < argc) {
      md_path = argv[++i];
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
      for (auto [name, fn] : {std::pair{kOurs, &bench_ours}, std::pair{kTheirs, &bench_videoconvert}}) {
        benchmark::RegisterBenchmark((std::string(name) + "/" + label(size, format)).c_str(), fn,
                                     sample)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.15)
            ->UseRealTime();
      }
    }
  }

  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  FILE* md = md_path.empty() ? nullptr : std::fopen(md_path.c_str(), "w");
  reporter.print_ratios(md);
  if (md) std::fclose(md);
  benchmark::Shutdown();
  frames.clear();
  gst_deinit();
  return 0;
}
