// sample_to_ndarray on real GStreamer samples, checked against exact arithmetic and against
// videoconvert; and the keyframes-only pad probe.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "strovix/errors.hpp"
#include "strovix/gst/gstcallbacks.hpp"
#include "strovix/gst/handles.hpp"
#include "strovix/gst/sample_convert.hpp"

namespace strovix {
namespace {

// Plays `description` and returns the first sample of each named appsink.
std::vector<SamplePtr> pull(const std::string& description,
                            std::initializer_list<const char*> sinks) {
  std::vector<SamplePtr> samples;
  GError* raw_error = nullptr;
  GstElement* element = gst_parse_launch(description.c_str(), &raw_error);
  GErrorPtr error(raw_error);
  ElementPtr pipeline(element ? GST_ELEMENT(gst_object_ref_sink(element)) : nullptr);
  if (!pipeline || error) {
    ADD_FAILURE() << "cannot build '" << description << "': " << (error ? error->message : "?");
    return samples;
  }
  gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
  for (const char* name : sinks) {
    ElementPtr sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), name));
    samples.emplace_back(gst_app_sink_try_pull_sample(GST_APP_SINK(sink.get()), 10 * GST_SECOND));
    EXPECT_TRUE(samples.back()) << "no sample from " << name << " in '" << description << "'";
  }
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  return samples;
}

std::string source(const std::string& format, int width, int height,
                   const std::string& colorimetry, const std::string& pattern = "smpte") {
  return "videotestsrc num-buffers=1 pattern=" + pattern + " ! video/x-raw,format=" + format +
         ",width=" + std::to_string(width) + ",height=" + std::to_string(height) +
         (colorimetry.empty() ? "" : ",colorimetry=" + colorimetry);
}

SamplePtr pull_one(const std::string& format, int width, int height,
                   const std::string& colorimetry = "") {
  auto samples = pull(source(format, width, height, colorimetry) + " ! appsink name=s", {"s"});
  return samples.empty() ? nullptr : std::move(samples[0]);
}

struct Difference {
  double mean = 0;  // over every channel of every pixel
  int max = 0;
};

Difference compare(const Image& got, const Image& want) {
  double sum = 0;
  int max = 0;
  for (int y = 0; y < want.height; ++y) {
    for (int i = 0; i < want.width * 3; ++i) {
      const int diff = std::abs(got.row(y)[i] - want.row(y)[i]);
      sum += diff;
      max = std::max(max, diff);
    }
  }
  return {sum / (3.0 * want.width * want.height), max};
}

// The exact conversion in floating point, from GStreamer's own description of the matrix and
// range, each chroma sample covering its 2x2 block as with libyuv. Tightly packed BGR.
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
  auto at = [&](int p, int x, int y) {
    return static_cast<const std::uint8_t*>(
        GST_VIDEO_FRAME_PLANE_DATA(&frame, p))[y * GST_VIDEO_FRAME_PLANE_STRIDE(&frame, p) + x];
  };
  auto to8 = [](double v) {
    return static_cast<std::uint8_t>(std::clamp(v * 255.0, 0.0, 255.0) + 0.5);
  };
  std::vector<std::uint8_t> out;
  for (int y = 0; y < info.height; ++y) {
    for (int x = 0; x < info.width; ++x) {
      const int cb = nv12 ? at(1, x / 2 * 2, y / 2) : at(1, x / 2, y / 2);
      const int cr = nv12 ? at(1, x / 2 * 2 + 1, y / 2) : at(2, x / 2, y / 2);
      const double luma = double(at(0, x, y) - offset[0]) / scale[0];
      const double r = luma + 2 * (1 - kr) * (cr - offset[2]) / scale[2];
      const double b = luma + 2 * (1 - kb) * (cb - offset[1]) / scale[1];
      const double g = (luma - kr * r - kb * b) / (1 - kr - kb);
      out.insert(out.end(), {to8(b), to8(g), to8(r)});
    }
  }
  gst_video_frame_unmap(&frame);
  return out;
}

void expect_shape(const Image& image, int width, int height) {
  EXPECT_EQ(image.width, width);
  EXPECT_EQ(image.height, height);
  EXPECT_EQ(image.channels, 3);
  EXPECT_GE(image.stride, static_cast<std::size_t>(width) * 3);
  EXPECT_TRUE(image.data && image.owner);
}

// ---- colours ------------------------------------------------------------------------------

struct ColourCase {
  const char* name;
  const char* format;
  const char* colorimetry;  // empty: GStreamer's default for the size
  int width;
  int height;
};

class ColourTest : public ::testing::TestWithParam<ColourCase> {};

TEST_P(ColourTest, MatchesExactConversionAndVideoconvert) {
  const ColourCase& c = GetParam();
  // smpte has flat areas, saturated colours and hard edges; solid-color is one colour.
  for (const char* pattern : {"smpte", "solid-color foreground-color=0xff2a9c5e"}) {
    SCOPED_TRACE(pattern);
    // By default videoconvert interpolates NV12 chroma (not I420's) where libyuv repeats each
    // sample over its 2x2 block; without chroma resampling only rounding separates them.
    auto frames = pull(source(c.format, c.width, c.height, c.colorimetry, pattern) +
                           " ! tee name=t t. ! queue ! appsink name=yuv"
                           " t. ! queue ! videoconvert chroma-mode=none ! video/x-raw,format=BGR"
                           " ! appsink name=bgr",
                       {"yuv", "bgr"});
    ASSERT_TRUE(frames.size() == 2 && frames[0] && frames[1]);
    auto got = sample_to_ndarray(frames[0].get());
    ASSERT_TRUE(got);
    expect_shape(*got, c.width, c.height);

    // A wrong matrix, range or channel order, or libyuv's clipped U->B coefficient, is 10+
    // levels off; fixed-point rounding stays within 2.
    const std::vector<std::uint8_t> exact = exact_bgr(frames[0].get());
    const Image exact_image{c.width, c.height, 3, std::size_t(c.width) * 3, exact.data(), {}};
    EXPECT_LE(compare(*got, exact_image).max, 2);

    // videoconvert is itself up to 5 levels off the exact values in limited range (white
    // comes out as 253, 0x2a9c5e's green 5 low).
    auto want = sample_to_ndarray(frames[1].get());
    ASSERT_TRUE(want);
    const Difference d = compare(*got, *want);
    EXPECT_LE(d.mean, 4.0);
    EXPECT_LE(d.max, 6);
  }
}

// GStreamer has no names for full-range YUV; those are range:matrix:transfer:primaries.
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
    SamplePtr pulled = pull_one("BGR", w, h);
    ASSERT_TRUE(pulled);
    // A buffer of the test's own: the appsink keeps the pulled one in its last sample until the
    // pipeline is finalized, which may happen later on GStreamer's state-change thread.
    GstBuffer* buffer = gst_buffer_copy_deep(gst_sample_get_buffer(pulled.get()));
    SamplePtr sample(gst_sample_new(buffer, gst_sample_get_caps(pulled.get()), nullptr, nullptr));
    gst_buffer_unref(buffer);  // the sample holds it
    pulled.reset();
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
    expect_shape(*image, w, h);
    EXPECT_EQ(image->stride, (std::size_t(w) * 3 + 3) / 4 * 4);  // GStreamer's padded rows
    EXPECT_GE(image->data, begin);
    EXPECT_LE(image->row(h - 1) + w * 3, end);

    sample.reset();
    EXPECT_FALSE(finalized) << "the image must hold the buffer";
    for (int y = 0; y < h; ++y) {
      ASSERT_EQ(0, std::memcmp(image->row(y), &bytes[y * image->stride], w * 3)) << y;
    }
    Image copy = *image;  // a copy holds the pixels too, through `owner`
    image.reset();
    EXPECT_FALSE(finalized);
    copy = Image{};
    EXPECT_TRUE(finalized) << "dropping the last image must release the buffer";
  }
}

// ---- layouts described by GstVideoMeta ----------------------------------------------------

// A copy of `sample` with 29 bytes of padding per row, each plane in a GstMemory of its own
// starting 13 bytes in, all described by a GstVideoMeta.
SamplePtr restride(GstSample* sample) {
  GstVideoInfo info;
  EXPECT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(sample)));
  GstVideoFrame src;
  EXPECT_TRUE(gst_video_frame_map(&src, &info, gst_sample_get_buffer(sample), GST_MAP_READ));
  GstBuffer* out = gst_buffer_new();
  gsize offsets[GST_VIDEO_MAX_PLANES] = {};
  gint strides[GST_VIDEO_MAX_PLANES] = {};
  gsize total = 0;
  for (guint p = 0; p < GST_VIDEO_INFO_N_PLANES(&info); ++p) {
    const int row = GST_VIDEO_INFO_COMP_WIDTH(&info, p) * GST_VIDEO_INFO_COMP_PSTRIDE(&info, p);
    const int rows = GST_VIDEO_INFO_COMP_HEIGHT(&info, p);
    strides[p] = row + 29;
    offsets[p] = total + 13;
    std::vector<std::uint8_t> bytes(13 + std::size_t(strides[p]) * rows, 0xEE);
    for (int y = 0; y < rows; ++y) {
      std::memcpy(&bytes[13 + y * strides[p]],
                  static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&src, p)) +
                      y * GST_VIDEO_FRAME_PLANE_STRIDE(&src, p),
                  row);
    }
    total += bytes.size();
    gpointer copy = g_memdup2(bytes.data(), bytes.size());
    gst_buffer_append_memory(out, gst_memory_new_wrapped(GST_MEMORY_FLAG_READONLY, copy,
                                                         bytes.size(), 0, bytes.size(), copy,
                                                         g_free));
  }
  gst_video_frame_unmap(&src);
  gst_buffer_add_video_meta_full(out, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_INFO_FORMAT(&info),
                                 info.width, info.height, GST_VIDEO_INFO_N_PLANES(&info), offsets,
                                 strides);
  SamplePtr result(gst_sample_new(out, gst_sample_get_caps(sample), nullptr, nullptr));
  gst_buffer_unref(out);
  return result;
}

TEST(MetaLayout, StridesAndOffsetsFromTheMetaAreHonoured) {
  for (const char* format : {"I420", "NV12", "BGR"}) {
    SCOPED_TRACE(format);
    SamplePtr packed = pull_one(format, 33, 17);
    ASSERT_TRUE(packed);
    SamplePtr padded = restride(packed.get());
    auto want = sample_to_ndarray(packed.get());
    auto got = sample_to_ndarray(padded.get());
    ASSERT_TRUE(want && got);
    expect_shape(*got, 33, 17);
    for (int y = 0; y < 17; ++y) {
      ASSERT_EQ(0, std::memcmp(got->row(y), want->row(y), 33 * 3)) << "row " << y;
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

GstBuffer* bytes(gsize size) { return gst_buffer_new_allocate(nullptr, size, nullptr); }

// A buffer the size of a 64x48 I420 frame, with a meta describing `format` at `width` x 48
// with the given strides (0: the default one).
GstBuffer* with_meta(GstVideoFormat format, guint width, std::array<gint, 3> strides) {
  GstBuffer* buffer = bytes(64 * 48 * 3 / 2);
  GstVideoInfo info;
  gst_video_info_set_format(&info, format, width, 48);
  for (guint p = 0; p < GST_VIDEO_INFO_N_PLANES(&info); ++p) {
    if (strides[p]) info.stride[p] = strides[p];
  }
  gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, format, width, 48,
                                 GST_VIDEO_INFO_N_PLANES(&info), info.offset, info.stride);
  return buffer;
}

TEST(BadSample, IsRejectedWithAClearError) {
  const char* i420 = "video/x-raw,format=I420,width=64,height=48";
  const gsize i420_size = 64 * 48 * 3 / 2;
  // Planes that cannot be mapped, as with some device memory.
  GstBuffer* unmappable = with_meta(GST_VIDEO_FORMAT_I420, 64, {});
  gst_buffer_get_video_meta(unmappable)->map = [](GstVideoMeta*, guint, GstMapInfo*, gpointer*,
                                                  gint*, GstMapFlags) -> gboolean {
    return FALSE;
  };
  struct Case {
    const char* what;
    SamplePtr sample;
    const char* message;
  } cases[] = {
      {"no caps", sample_of(bytes(i420_size), nullptr), "no caps"},
      {"encoded", sample_of(bytes(100), "video/x-h264,stream-format=byte-stream"), "not raw"},
      {"unfixed", sample_of(bytes(i420_size), "video/x-raw,format={I420,NV12}"), "not fixed"},
      {"no format", sample_of(bytes(i420_size), "video/x-raw,width=64,height=48"), "raw video"},
      {"RGBA", pull_one("RGBA", 64, 48), "RGBA"},
      {"GRAY8", pull_one("GRAY8", 64, 48), "GRAY8"},
      {"YUY2", pull_one("YUY2", 64, 48), "YUY2"},
      {"short I420", sample_of(bytes(i420_size - 1), i420), "too small"},
      {"short BGR", sample_of(bytes(100), "video/x-raw,format=BGR,width=64,height=48"),
       "too small"},
      // Strides twice the real ones for the chroma run past the end of the memory.
      {"meta overrun", sample_of(with_meta(GST_VIDEO_FORMAT_I420, 64, {0, 64, 64}), i420),
       "too small"},
      {"meta stride", sample_of(with_meta(GST_VIDEO_FORMAT_I420, 64, {60}), i420), "stride"},
      {"meta format", sample_of(with_meta(GST_VIDEO_FORMAT_NV12, 64, {}), i420), "meta"},
      {"meta width", sample_of(with_meta(GST_VIDEO_FORMAT_I420, 32, {}), i420), "meta"},
      {"unmappable", sample_of(unmappable, i420), "cannot map"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(c.sample);
    try {
      sample_to_ndarray(c.sample.get());
      ADD_FAILURE() << "no SampleConversionError";
    } catch (const SampleConversionError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }

  // Nothing to deliver is not an error.
  SamplePtr no_buffer = sample_of(nullptr, i420);
  EXPECT_EQ(sample_to_ndarray(no_buffer.get()), nullptr);
  EXPECT_EQ(sample_to_ndarray(nullptr), nullptr);
}

// ---- keyframes-only probe -----------------------------------------------------------------

std::vector<GstClockTime> g_received;  // pts of what reached the sink pad

TEST(KeyframesOnlyProbe, DropsDeltaUnitsUntilRemoved) {
  PadPtr src(GST_PAD(gst_object_ref_sink(gst_pad_new("src", GST_PAD_SRC))));
  PadPtr sink(GST_PAD(gst_object_ref_sink(gst_pad_new("sink", GST_PAD_SINK))));
  gst_pad_set_chain_function(sink.get(), [](GstPad*, GstObject*, GstBuffer* buffer) {
    g_received.push_back(buffer->pts);
    gst_buffer_unref(buffer);
    return GST_FLOW_OK;
  });
  ASSERT_EQ(gst_pad_link(src.get(), sink.get()), GST_PAD_LINK_OK);
  gst_pad_set_active(sink.get(), TRUE);
  gst_pad_set_active(src.get(), TRUE);
  gst_pad_push_event(src.get(), gst_event_new_stream_start("keyframes"));
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  gst_pad_push_event(src.get(), gst_event_new_segment(&segment));

  // Frames are (pts, is a delta unit); pushed one by one or as one list.
  auto push = [&](std::initializer_list<std::pair<GstClockTime, bool>> frames, bool as_list) {
    GstBufferList* list = gst_buffer_list_new();
    for (auto [pts, delta] : frames) {
      GstBuffer* buffer = gst_buffer_new();
      buffer->pts = pts;
      if (delta) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
      if (as_list) {
        gst_buffer_list_add(list, buffer);
      } else {
        EXPECT_EQ(gst_pad_push(src.get(), buffer), GST_FLOW_OK);
      }
    }
    if (as_list) {
      EXPECT_EQ(gst_pad_push_list(src.get(), list), GST_FLOW_OK);
    } else {
      gst_buffer_list_unref(list);
    }
  };

  g_received.clear();
  const gulong id = gstcallbacks::add_keyframes_only_probe(src.get());
  ASSERT_NE(id, 0u);
  push({{0, false}, {1, true}, {2, true}, {3, false}}, false);
  push({{4, true}, {5, false}, {6, true}, {7, false}}, true);
  push({{8, true}, {9, true}}, true);
  push({{10, false}, {11, false}}, true);
  EXPECT_EQ(g_received, (std::vector<GstClockTime>{0, 3, 5, 7, 10, 11}));

  gst_pad_remove_probe(src.get(), id);
  g_received.clear();
  push({{12, true}}, false);
  push({{13, true}, {14, false}}, true);
  EXPECT_EQ(g_received, (std::vector<GstClockTime>{12, 13, 14}));

  EXPECT_EQ(gstcallbacks::add_keyframes_only_probe(nullptr), 0u);
  gst_pad_set_active(src.get(), FALSE);
  gst_pad_set_active(sink.get(), FALSE);
}

}  // namespace
}  // namespace strovix
