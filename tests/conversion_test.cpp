// sample_to_ndarray against real GStreamer samples (videoconvert is the colour reference), and
// the keyframes-only pad probe.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "strovix/errors.hpp"
#include "strovix/utils/gstcallbacks.hpp"
#include "strovix/utils/gstreamer.hpp"

namespace strovix {
namespace {

ElementPtr launch(const std::string& description) {
  GError* raw_error = nullptr;
  GstElement* element = gst_parse_launch(description.c_str(), &raw_error);
  GErrorPtr error(raw_error);
  ElementPtr pipeline(element ? GST_ELEMENT(gst_object_ref_sink(element)) : nullptr);
  if (!pipeline || error) {
    ADD_FAILURE() << "cannot build '" << description << "': " << (error ? error->message : "?");
    return nullptr;
  }
  return pipeline;
}

// Plays `description` and returns the first sample of each named appsink (null on failure).
std::vector<SamplePtr> pull_first(const std::string& description,
                                  const std::vector<std::string>& sinks) {
  std::vector<SamplePtr> samples;
  ElementPtr pipeline = launch(description);
  if (!pipeline) return samples;
  gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
  for (const auto& name : sinks) {
    ElementPtr sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), name.c_str()));
    samples.emplace_back(sink ? gst_app_sink_try_pull_sample(GST_APP_SINK(sink.get()),
                                                             10 * GST_SECOND)
                              : nullptr);
    EXPECT_TRUE(samples.back()) << "no sample from " << name << " in '" << description << "'";
  }
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  return samples;
}

std::string test_source(const std::string& format, int width, int height,
                        const std::string& colorimetry = "bt601",
                        const std::string& pattern = "smpte") {
  return "videotestsrc num-buffers=1 pattern=" + pattern + " ! video/x-raw,format=" + format +
         ",width=" + std::to_string(width) + ",height=" + std::to_string(height) +
         (colorimetry.empty() ? "" : ",colorimetry=" + colorimetry);
}

SamplePtr pull_one(const std::string& format, int width, int height,
                   const std::string& colorimetry = "bt601") {
  auto samples =
      pull_first(test_source(format, width, height, colorimetry) + " ! appsink name=s sync=false",
                 {"s"});
  return samples.empty() ? nullptr : std::move(samples[0]);
}

// The same frame as YUV and as videoconvert's BGR rendering of it. By default videoconvert
// interpolates chroma for NV12 (not for I420) while libyuv repeats each sample over its 2x2
// block; without resampling the two differ only by rounding.
struct FramePair {
  SamplePtr yuv;
  SamplePtr bgr;
};

FramePair pull_with_reference(const std::string& format, int width, int height,
                              const std::string& colorimetry, const std::string& pattern) {
  auto samples = pull_first(test_source(format, width, height, colorimetry, pattern) +
                                " ! tee name=t"
                                " t. ! queue ! appsink name=yuv sync=false"
                                " t. ! queue ! videoconvert chroma-mode=none"
                                " ! video/x-raw,format=BGR"
                                " ! appsink name=bgr sync=false",
                            {"yuv", "bgr"});
  if (samples.size() != 2) return {};
  return {std::move(samples[0]), std::move(samples[1])};
}

struct Difference {
  double mean = 0;  // over every channel of every pixel
  int max = 0;
};

Difference compare(const Image& got, const Image& want) {
  Difference d;
  double sum = 0;
  for (int y = 0; y < want.height; ++y) {
    for (int i = 0; i < want.width * 3; ++i) {
      const int diff = std::abs(got.row(y)[i] - want.row(y)[i]);
      sum += diff;
      d.max = std::max(d.max, diff);
    }
  }
  d.mean = sum / (3.0 * want.width * want.height);
  return d;
}

// The exact conversion, in floating point, from GStreamer's own description of the matrix and
// range, with each chroma sample covering its 2x2 block as libyuv does.
std::vector<std::uint8_t> exact_bgr(GstSample* sample) {
  GstVideoInfo info;
  EXPECT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(sample)));
  GstVideoFrame frame;
  EXPECT_TRUE(gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ));
  gdouble kr = 0, kb = 0;
  EXPECT_TRUE(gst_video_color_matrix_get_Kr_Kb(info.colorimetry.matrix, &kr, &kb));
  gint offset[GST_VIDEO_MAX_COMPONENTS], scale[GST_VIDEO_MAX_COMPONENTS];
  gst_video_color_range_offsets(info.colorimetry.range, info.finfo, offset, scale);
  const bool nv12 = GST_VIDEO_INFO_FORMAT(&info) == GST_VIDEO_FORMAT_NV12;
  auto plane = [&](int p, int x, int y) {
    return static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, p))[
        y * GST_VIDEO_FRAME_PLANE_STRIDE(&frame, p) + x];
  };
  const int w = info.width, h = info.height;
  std::vector<std::uint8_t> out(static_cast<std::size_t>(w) * h * 3);
  auto to8 = [](double v) { return static_cast<std::uint8_t>(std::clamp(v * 255.0, 0.0, 255.0) + 0.5); };
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const int u8 = nv12 ? plane(1, x / 2 * 2, y / 2) : plane(1, x / 2, y / 2);
      const int v8 = nv12 ? plane(1, x / 2 * 2 + 1, y / 2) : plane(2, x / 2, y / 2);
      const double luma = double(plane(0, x, y) - offset[0]) / scale[0];
      const double cb = double(u8 - offset[1]) / scale[1];
      const double cr = double(v8 - offset[2]) / scale[2];
      const double r = luma + 2 * (1 - kr) * cr;
      const double b = luma + 2 * (1 - kb) * cb;
      const double g = (luma - kr * r - kb * b) / (1 - kr - kb);
      std::uint8_t* px = &out[(static_cast<std::size_t>(y) * w + x) * 3];
      px[0] = to8(b);
      px[1] = to8(g);
      px[2] = to8(r);
    }
  }
  gst_video_frame_unmap(&frame);
  return out;
}

void expect_well_formed(const Image& image, int width, int height) {
  EXPECT_EQ(image.width, width);
  EXPECT_EQ(image.height, height);
  EXPECT_EQ(image.channels, 3);
  EXPECT_GE(image.stride, static_cast<std::size_t>(width) * 3);
  EXPECT_NE(image.data, nullptr);
  EXPECT_TRUE(image.owner);
}

// ---- colours against videoconvert ---------------------------------------------------------

struct ColourCase {
  const char* name;
  const char* format;
  const char* colorimetry;  // empty: let GStreamer pick its default
  int width;
  int height;
};

void PrintTo(const ColourCase& c, std::ostream* os) {
  *os << c.format << " " << (*c.colorimetry ? c.colorimetry : "(default)") << " " << c.width
      << "x" << c.height;
}

class ColourTest : public ::testing::TestWithParam<ColourCase> {};

TEST_P(ColourTest, MatchesExactConversionAndVideoconvert) {
  const ColourCase& c = GetParam();
  // smpte has flat areas, saturated colours and hard edges; solid-color is one colour.
  for (const char* pattern : {"smpte", "solid-color foreground-color=0xff2a9c5e"}) {
    SCOPED_TRACE(pattern);
    FramePair frames = pull_with_reference(c.format, c.width, c.height, c.colorimetry, pattern);
    ASSERT_TRUE(frames.yuv && frames.bgr);
    auto got = sample_to_ndarray(frames.yuv.get());
    ASSERT_TRUE(got);
    expect_well_formed(*got, c.width, c.height);

    // Only fixed-point rounding separates us from the exact arithmetic. A wrong matrix,
    // range or channel order, or libyuv's clipped U->B coefficient, is 10+ levels off.
    const std::vector<std::uint8_t> exact = exact_bgr(frames.yuv.get());
    const Image exact_image{c.width, c.height, 3, static_cast<std::size_t>(c.width) * 3,
                            exact.data(), nullptr};
    const Difference e = compare(*got, exact_image);
    EXPECT_LE(e.max, 2) << "mean " << e.mean;

    // videoconvert is itself up to 5 levels off the exact values for limited range (white
    // comes out as 253, 0x2a9c5e's green 5 low), hence 6.
    auto want = sample_to_ndarray(frames.bgr.get());
    ASSERT_TRUE(want);
    const Difference d = compare(*got, *want);
    EXPECT_LE(d.mean, 4.0);
    EXPECT_LE(d.max, 6);
  }
}

// GStreamer has no name for full-range YUV colorimetry; it is range:matrix:transfer:primaries.
INSTANTIATE_TEST_SUITE_P(
    Matrices, ColourTest,
    ::testing::Values(ColourCase{"I420_bt601", "I420", "bt601", 320, 240},
                      ColourCase{"NV12_bt601", "NV12", "bt601", 320, 240},
                      ColourCase{"I420_bt709", "I420", "bt709", 320, 240},
                      ColourCase{"NV12_bt709", "NV12", "bt709", 320, 240},
                      ColourCase{"I420_bt601_full", "I420", "1:4:0:0", 320, 240},
                      ColourCase{"NV12_bt601_full", "NV12", "1:4:0:0", 320, 240},
                      ColourCase{"I420_bt709_full", "I420", "1:3:5:1", 320, 240},
                      ColourCase{"I420_bt2020", "I420", "bt2020", 320, 240},
                      ColourCase{"NV12_bt2020_full", "NV12", "1:6:11:7", 320, 240},
                      ColourCase{"I420_default_sd", "I420", "", 320, 240},   // BT.601
                      ColourCase{"NV12_default_hd", "NV12", "", 1280, 720},  // BT.709
                      ColourCase{"I420_bt709_641x361", "I420", "bt709", 641, 361},
                      ColourCase{"NV12_bt601_641x361", "NV12", "bt601", 641, 361},
                      ColourCase{"I420_bt601_33x17", "I420", "bt601", 33, 17},
                      ColourCase{"NV12_bt709_33x17", "NV12", "bt709", 33, 17}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- BGR without a copy -------------------------------------------------------------------

TEST(BgrSample, IsMappedNotCopiedAndKeepsTheBufferAlive) {
  for (auto [w, h] : {std::pair{641, 361}, std::pair{33, 17}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    SamplePtr sample = pull_one("BGR", w, h, "");
    ASSERT_TRUE(sample);
    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    bool finalized = false;
    gst_mini_object_weak_ref(
        GST_MINI_OBJECT(buffer),
        [](gpointer flag, GstMiniObject*) { *static_cast<bool*>(flag) = true; }, &finalized);

    GstMapInfo map;
    ASSERT_TRUE(gst_buffer_map(buffer, &map, GST_MAP_READ));
    const std::vector<std::uint8_t> bytes(map.data, map.data + map.size);
    const std::uint8_t* begin = map.data;
    const std::uint8_t* end = map.data + map.size;
    gst_buffer_unmap(buffer, &map);

    auto image = sample_to_ndarray(sample.get());
    ASSERT_TRUE(image);
    expect_well_formed(*image, w, h);
    // GStreamer pads BGR rows to 4 bytes; 641 and 33 pixels give padded rows.
    EXPECT_EQ(image->stride, (static_cast<std::size_t>(w) * 3 + 3) / 4 * 4);
    EXPECT_GE(image->data, begin);
    EXPECT_LE(image->row(h - 1) + w * 3, end);

    sample.reset();
    EXPECT_FALSE(finalized) << "the image must hold the buffer";
    for (int y = 0; y < h; ++y) {
      ASSERT_EQ(0, std::memcmp(image->row(y), bytes.data() + y * image->stride, w * 3)) << y;
    }
    // A copy of the Image keeps its pixels too, through `owner`.
    Image copy = *image;
    image.reset();
    EXPECT_FALSE(finalized);
    copy = Image{};
    EXPECT_TRUE(finalized) << "dropping the last image must release the buffer";
  }
}

// ---- layouts described by GstVideoMeta ----------------------------------------------------

// A copy of `sample` whose planes have `pad` extra bytes per row and gaps between them,
// described by a GstVideoMeta; with `split`, each plane lives in its own GstMemory.
SamplePtr restride(GstSample* sample, int pad, bool split) {
  GstVideoInfo info;
  EXPECT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(sample)));
  GstVideoFrame src;
  EXPECT_TRUE(gst_video_frame_map(&src, &info, gst_sample_get_buffer(sample), GST_MAP_READ));

  GstBuffer* out = gst_buffer_new();
  gsize offsets[GST_VIDEO_MAX_PLANES] = {};
  gint strides[GST_VIDEO_MAX_PLANES] = {};
  gsize total = 0;
  const guint planes = GST_VIDEO_INFO_N_PLANES(&info);
  std::vector<std::vector<std::uint8_t>> blocks(planes);
  for (guint p = 0; p < planes; ++p) {
    const int row_bytes = GST_VIDEO_INFO_COMP_WIDTH(&info, p) * GST_VIDEO_INFO_COMP_PSTRIDE(&info, p);
    const int rows = GST_VIDEO_INFO_COMP_HEIGHT(&info, p);
    strides[p] = row_bytes + pad;
    const gsize gap = 13;  // planes do not start where the default layout puts them
    offsets[p] = total + gap;
    blocks[p].assign(gap + static_cast<gsize>(strides[p]) * rows, 0xEE);
    for (int y = 0; y < rows; ++y) {
      std::memcpy(blocks[p].data() + gap + y * strides[p],
                  static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&src, p)) +
                      y * GST_VIDEO_FRAME_PLANE_STRIDE(&src, p),
                  row_bytes);
    }
    total += blocks[p].size();
  }
  gst_video_frame_unmap(&src);

  auto wrap = [](const std::vector<std::uint8_t>& bytes) {
    gpointer copy = g_memdup2(bytes.data(), bytes.size());
    return gst_memory_new_wrapped(GST_MEMORY_FLAG_READONLY, copy, bytes.size(), 0, bytes.size(),
                                  copy, g_free);
  };
  if (split) {
    for (const auto& block : blocks) gst_buffer_append_memory(out, wrap(block));
  } else {
    std::vector<std::uint8_t> all;
    for (const auto& block : blocks) all.insert(all.end(), block.begin(), block.end());
    gst_buffer_append_memory(out, wrap(all));
  }
  gst_buffer_add_video_meta_full(out, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_INFO_FORMAT(&info),
                                 info.width, info.height, planes, offsets, strides);
  SamplePtr result(gst_sample_new(out, gst_sample_get_caps(sample), nullptr, nullptr));
  gst_buffer_unref(out);
  return result;
}

TEST(MetaLayout, StridesAndOffsetsFromTheMetaAreHonoured) {
  for (const char* format : {"I420", "NV12", "BGR"}) {
    for (bool split : {false, true}) {
      SCOPED_TRACE(std::string(format) + (split ? " split" : " contiguous"));
      const bool rgb = std::string(format) == "BGR";
      SamplePtr packed = pull_one(format, 33, 17, rgb ? "" : "bt709");
      ASSERT_TRUE(packed);
      SamplePtr padded = restride(packed.get(), 29, split);
      auto want = sample_to_ndarray(packed.get());
      auto got = sample_to_ndarray(padded.get());
      ASSERT_TRUE(want && got);
      expect_well_formed(*got, 33, 17);
      for (int y = 0; y < 17; ++y) {
        ASSERT_EQ(0, std::memcmp(got->row(y), want->row(y), 33 * 3)) << "row " << y;
      }
    }
  }
}

// ---- bad samples --------------------------------------------------------------------------

SamplePtr sample_of(GstBuffer* buffer, const char* caps_text) {
  CapsPtr caps(caps_text ? gst_caps_from_string(caps_text) : nullptr);
  SamplePtr sample(gst_sample_new(buffer, caps.get(), nullptr, nullptr));
  if (buffer) gst_buffer_unref(buffer);
  return sample;
}

void expect_conversion_error(GstSample* sample, const char* needle) {
  try {
    sample_to_ndarray(sample);
    ADD_FAILURE() << "no SampleConversionError";
  } catch (const SampleConversionError& e) {
    EXPECT_NE(std::string(e.what()).find(needle), std::string::npos) << e.what();
  }
}

TEST(BadSample, IsRejectedWithAClearError) {
  const char* i420 = "video/x-raw,format=I420,width=64,height=48,framerate=30/1";
  const gsize i420_size = 64 * 48 * 3 / 2;

  SamplePtr no_caps = sample_of(gst_buffer_new_allocate(nullptr, i420_size, nullptr), nullptr);
  expect_conversion_error(no_caps.get(), "no caps");

  SamplePtr encoded = sample_of(gst_buffer_new_allocate(nullptr, 100, nullptr),
                                "video/x-h264,stream-format=byte-stream,alignment=au");
  expect_conversion_error(encoded.get(), "not raw video");

  SamplePtr unfixed = sample_of(gst_buffer_new_allocate(nullptr, i420_size, nullptr),
                                "video/x-raw,format={I420,NV12},width=64,height=48");
  expect_conversion_error(unfixed.get(), "not fixed");

  SamplePtr no_format =
      sample_of(gst_buffer_new_allocate(nullptr, i420_size, nullptr), "video/x-raw,width=64");
  expect_conversion_error(no_format.get(), "raw video");

  for (const char* format : {"RGBA", "GRAY8", "YUY2"}) {
    SamplePtr other = pull_one(format, 64, 48, "");
    ASSERT_TRUE(other);
    expect_conversion_error(other.get(), format);
  }

  SamplePtr short_buffer = sample_of(gst_buffer_new_allocate(nullptr, i420_size - 1, nullptr), i420);
  expect_conversion_error(short_buffer.get(), "cannot map");
  SamplePtr short_bgr = sample_of(gst_buffer_new_allocate(nullptr, 100, nullptr),
                                  "video/x-raw,format=BGR,width=64,height=48");
  expect_conversion_error(short_bgr.get(), "cannot map");
}

TEST(BadSample, MetaThatOverrunsTheBufferIsRejected) {
  const char* i420 = "video/x-raw,format=I420,width=64,height=48";
  const gsize sizes[] = {64 * 48, 32 * 24, 32 * 24};

  // A stride twice the real one: the rows it describes run off the end of the memory.
  GstBuffer* wide = gst_buffer_new_allocate(nullptr, sizes[0] + sizes[1] + sizes[2], nullptr);
  gsize offsets[GST_VIDEO_MAX_PLANES] = {0, sizes[0], sizes[0] + sizes[1]};
  gint big_strides[GST_VIDEO_MAX_PLANES] = {64, 32, 64};
  gst_buffer_add_video_meta_full(wide, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_I420, 64, 48,
                                 3, offsets, big_strides);
  SamplePtr overrun = sample_of(wide, i420);
  expect_conversion_error(overrun.get(), "too small");

  // A stride shorter than a row.
  GstBuffer* narrow = gst_buffer_new_allocate(nullptr, sizes[0] + sizes[1] + sizes[2], nullptr);
  gint small_strides[GST_VIDEO_MAX_PLANES] = {60, 32, 32};
  gst_buffer_add_video_meta_full(narrow, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_I420, 64,
                                 48, 3, offsets, small_strides);
  SamplePtr short_rows = sample_of(narrow, i420);
  expect_conversion_error(short_rows.get(), "stride");

  // A meta for another format or a smaller frame than the caps.
  GstBuffer* mismatched = gst_buffer_new_allocate(nullptr, 64 * 48 * 3, nullptr);
  gst_buffer_add_video_meta(mismatched, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_NV12, 64, 48);
  SamplePtr wrong_format = sample_of(mismatched, i420);
  expect_conversion_error(wrong_format.get(), "meta");
  GstBuffer* smaller = gst_buffer_new_allocate(nullptr, 64 * 48 * 3, nullptr);
  gst_buffer_add_video_meta(smaller, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_I420, 32, 48);
  SamplePtr wrong_size = sample_of(smaller, i420);
  expect_conversion_error(wrong_size.get(), "meta");
}

TEST(BadSample, WithoutBufferGivesNull) {
  SamplePtr empty = sample_of(nullptr, "video/x-raw,format=I420,width=64,height=48");
  EXPECT_EQ(sample_to_ndarray(empty.get()), nullptr);
  EXPECT_EQ(sample_to_ndarray(nullptr), nullptr);
}

// ---- keyframes-only probe -----------------------------------------------------------------

struct PadPair {
  PadPtr src{GST_PAD(gst_object_ref_sink(gst_pad_new("src", GST_PAD_SRC)))};
  PadPtr sink{GST_PAD(gst_object_ref_sink(gst_pad_new("sink", GST_PAD_SINK)))};
  std::vector<GstClockTime> received;  // pts of each buffer that reached the sink

  PadPair() {
    gst_pad_set_chain_function(sink.get(), [](GstPad* pad, GstObject*, GstBuffer* buffer) {
      auto* self = static_cast<PadPair*>(GST_PAD_ELEMENT_PRIVATE(pad));
      self->received.push_back(GST_BUFFER_PTS(buffer));
      gst_buffer_unref(buffer);
      return GST_FLOW_OK;
    });
    GST_PAD_ELEMENT_PRIVATE(sink.get()) = this;
    EXPECT_EQ(gst_pad_link(src.get(), sink.get()), GST_PAD_LINK_OK);
    gst_pad_set_active(sink.get(), TRUE);
    gst_pad_set_active(src.get(), TRUE);
    gst_pad_push_event(src.get(), gst_event_new_stream_start("keyframes"));
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_TIME);
    gst_pad_push_event(src.get(), gst_event_new_segment(&segment));
  }
  ~PadPair() {
    gst_pad_set_active(src.get(), FALSE);
    gst_pad_set_active(sink.get(), FALSE);
  }

  static GstBuffer* frame(GstClockTime pts, bool delta) {
    GstBuffer* buffer = gst_buffer_new();
    GST_BUFFER_PTS(buffer) = pts;
    if (delta) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    return buffer;
  }
  void push(GstClockTime pts, bool delta) {
    EXPECT_EQ(gst_pad_push(src.get(), frame(pts, delta)), GST_FLOW_OK);
  }
  void push_list(const std::vector<std::pair<GstClockTime, bool>>& frames) {
    GstBufferList* list = gst_buffer_list_new();
    for (auto [pts, delta] : frames) gst_buffer_list_add(list, frame(pts, delta));
    EXPECT_EQ(gst_pad_push_list(src.get(), list), GST_FLOW_OK);
  }
};

TEST(KeyframesOnlyProbe, DropsDeltaUnitsUntilRemoved) {
  PadPair pads;
  const gulong id = gstcallbacks::add_keyframes_only_probe(pads.src.get());
  ASSERT_NE(id, 0u);

  pads.push(0, false);
  pads.push(1, true);
  pads.push(2, true);
  pads.push(3, false);
  pads.push_list({{4, true}, {5, false}, {6, true}, {7, false}});  // mixed
  pads.push_list({{8, true}, {9, true}});                          // deltas only
  pads.push_list({{10, false}, {11, false}});                      // keyframes only
  EXPECT_EQ(pads.received, (std::vector<GstClockTime>{0, 3, 5, 7, 10, 11}));

  gst_pad_remove_probe(pads.src.get(), id);
  pads.received.clear();
  pads.push(12, true);
  pads.push_list({{13, true}, {14, false}});
  EXPECT_EQ(pads.received, (std::vector<GstClockTime>{12, 13, 14}));

  EXPECT_EQ(gstcallbacks::add_keyframes_only_probe(nullptr), 0u);
}

}  // namespace
}  // namespace strovix
