// Frames at the size and pixel format the host asks for: every pixel format from every source
// format, at full, half, aspect-kept and odd sizes, against a reference conversion in floating
// point (area-averaged scaling of the exact colours); the derived sizes; and the options a
// reader refuses at construction.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "strovix/errors.hpp"
#include "strovix/stream_reader/gst.hpp"
#include "strovix/gst/handles.hpp"
#include "strovix/gst/sample_convert.hpp"
#include "convert/box_scale.hpp"
#include "convert/convert.hpp"

namespace strovix {
namespace {

SamplePtr pull_sample(const std::string& caps, const std::string& pattern) {
  const std::string description =
      "videotestsrc num-buffers=1 pattern=" + pattern + " ! " + caps + " ! appsink name=s";
  GError* raw_error = nullptr;
  GstElement* element = gst_parse_launch(description.c_str(), &raw_error);
  GErrorPtr error(raw_error);
  ElementPtr pipeline(element ? GST_ELEMENT(gst_object_ref_sink(element)) : nullptr);
  if (!pipeline || error) {
    ADD_FAILURE() << "cannot build '" << description << "'";
    return nullptr;
  }
  gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
  ElementPtr sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "s"));
  SamplePtr sample(gst_app_sink_try_pull_sample(GST_APP_SINK(sink.get()), 10 * GST_SECOND));
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  EXPECT_TRUE(sample) << description;
  return sample;
}

// A picture in floating point: `channels` values per pixel in 0..255, tightly packed.
struct Picture {
  int width = 0;
  int height = 0;
  int channels = 0;
  std::vector<double> v;
  double at(int x, int y, int c) const { return v[(std::size_t(y) * width + x) * channels + c]; }
};

// The exact colours of a sample at its own size, as B, G, R and full-range luma (4 channels):
// from GStreamer's description of the matrix and range for YUV, each chroma sample covering its
// 2x2 block; the BT.601 luma weights (as OpenCV's BGR2GRAY) for BGR.
Picture exact_colours(GstSample* sample) {
  GstVideoInfo info;
  EXPECT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(sample)));
  GstVideoFrame frame;
  EXPECT_TRUE(gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ));
  const GstVideoFormat format = GST_VIDEO_INFO_FORMAT(&info);
  auto at = [&](int p, int x, int y) {
    return static_cast<const std::uint8_t*>(
        GST_VIDEO_FRAME_PLANE_DATA(&frame, p))[y * GST_VIDEO_FRAME_PLANE_STRIDE(&frame, p) + x];
  };
  Picture out{info.width, info.height, 4, {}};
  out.v.reserve(std::size_t(info.width) * info.height * 4);
  if (format == GST_VIDEO_FORMAT_BGR) {
    for (int y = 0; y < info.height; ++y) {
      for (int x = 0; x < info.width; ++x) {
        const double b = at(0, 3 * x, y), g = at(0, 3 * x + 1, y), r = at(0, 3 * x + 2, y);
        out.v.insert(out.v.end(), {b, g, r, 0.299 * r + 0.587 * g + 0.114 * b});
      }
    }
  } else {
    gdouble kr = 0, kb = 0;
    EXPECT_TRUE(gst_video_color_matrix_get_Kr_Kb(info.colorimetry.matrix, &kr, &kb));
    gint offset[GST_VIDEO_MAX_COMPONENTS], scale[GST_VIDEO_MAX_COMPONENTS];
    gst_video_color_range_offsets(info.colorimetry.range, info.finfo, offset, scale);
    const bool nv12 = format == GST_VIDEO_FORMAT_NV12;
    auto clamp = [](double v) { return std::clamp(v * 255.0, 0.0, 255.0); };
    for (int y = 0; y < info.height; ++y) {
      for (int x = 0; x < info.width; ++x) {
        const int cb = nv12 ? at(1, x / 2 * 2, y / 2) : at(1, x / 2, y / 2);
        const int cr = nv12 ? at(1, x / 2 * 2 + 1, y / 2) : at(2, x / 2, y / 2);
        const double luma = double(at(0, x, y) - offset[0]) / scale[0];
        const double r = luma + 2 * (1 - kr) * (cr - offset[2]) / scale[2];
        const double b = luma + 2 * (1 - kb) * (cb - offset[1]) / scale[1];
        const double g = (luma - kr * r - kb * b) / (1 - kr - kb);
        out.v.insert(out.v.end(), {clamp(b), clamp(g), clamp(r), clamp(luma)});
      }
    }
  }
  gst_video_frame_unmap(&frame);
  return out;
}

// Area-averaged resampling: each output pixel is the mean of the source area it covers.
Picture resample(const Picture& in, int width, int height) {
  if (width == in.width && height == in.height) return in;
  Picture out{width, height, in.channels,
              std::vector<double>(std::size_t(width) * height * in.channels)};
  const double sx = double(in.width) / width, sy = double(in.height) / height;
  for (int y = 0; y < height; ++y) {
    const double y0 = y * sy, y1 = y0 + sy;
    for (int x = 0; x < width; ++x) {
      const double x0 = x * sx, x1 = x0 + sx;
      std::array<double, 4> sum{};
      double area = 0;
      for (int j = int(y0); j < std::min(int(std::ceil(y1)), in.height); ++j) {
        const double wy = std::min(y1, j + 1.0) - std::max(y0, double(j));
        for (int i = int(x0); i < std::min(int(std::ceil(x1)), in.width); ++i) {
          const double w = wy * (std::min(x1, i + 1.0) - std::max(x0, double(i)));
          for (int c = 0; c < in.channels; ++c) sum[c] += w * in.at(i, j, c);
          area += w;
        }
      }
      for (int c = 0; c < in.channels; ++c) {
        out.v[(std::size_t(y) * width + x) * in.channels + c] = sum[c] / area;
      }
    }
  }
  return out;
}

struct Deviation {
  double mean = 0;
  double max = 0;
  double share_over_24 = 0;  // of the channel values, the share more than 24 levels off
};

// How far `got` is from the reference, over the channels of its pixel format.
Deviation deviation(const Image& got, const Picture& want) {
  // Which reference channel each image channel is: B, G, R, luma.
  static const std::array<int, 3> bgr{0, 1, 2}, rgb{2, 1, 0}, gray{3, 0, 0};
  const auto& map = got.format == PixelFormat::BGR   ? bgr
                    : got.format == PixelFormat::RGB ? rgb
                                                     : gray;
  Deviation d;
  double sum = 0;
  std::size_t over = 0;
  for (int y = 0; y < want.height; ++y) {
    for (int x = 0; x < want.width; ++x) {
      for (int c = 0; c < got.channels; ++c) {
        const double diff = std::abs(got.row(y)[x * got.channels + c] - want.at(x, y, map[c]));
        sum += diff;
        over += diff > 24;
        d.max = std::max(d.max, diff);
      }
    }
  }
  const double n = double(want.width) * want.height * got.channels;
  d.mean = sum / n;
  d.share_over_24 = double(over) / n;
  return d;
}

// Whether the image's pixels lie inside the sample's buffer (no copy was made).
bool points_into(const Image& image, GstSample* sample) {
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return false;
  const bool inside = image.data >= map.data && image.data < map.data + map.size;
  gst_buffer_unmap(buffer, &map);
  return inside;
}

// ---- every pixel format from every source format, at every kind of size --------------------

struct SourceCase {
  const char* name;
  const char* caps;  // 640x360
  bool full_range;
};

const SourceCase kSources[] = {
    {"I420_bt709", "video/x-raw,format=I420,width=640,height=360,colorimetry=bt709", false},
    {"NV12_bt601", "video/x-raw,format=NV12,width=640,height=360,colorimetry=bt601", false},
    {"I420_full", "video/x-raw,format=I420,width=640,height=360,colorimetry=1:4:0:0", true},
    {"BGR", "video/x-raw,format=BGR,width=640,height=360", true},
};

struct SizeCase {
  const char* name;
  int width;  // asked for
  int height;
  int want_width;  // delivered
  int want_height;
};

const SizeCase kSizeCases[] = {
    {"full", 0, 0, 640, 360},         {"half", 320, 180, 320, 180},
    {"width_only", 100, 0, 100, 56},   // 56.25, rounded to even
    {"height_only", 0, 90, 160, 90},   // a quarter
    {"odd", 213, 119, 213, 119},       // neither even nor a whole ratio
    {"up_odd", 1001, 563, 1001, 563},  // enlarged
};

const PixelFormat kFormats[] = {PixelFormat::BGR, PixelFormat::RGB, PixelFormat::GRAY8};

using Param = std::tuple<int, int, PixelFormat>;  // source, size, format

class OutputFormatTest : public ::testing::TestWithParam<Param> {};

TEST_P(OutputFormatTest, MatchesTheReferenceWithItsShapeAndStride) {
  const SourceCase& src = kSources[std::get<0>(GetParam())];
  const SizeCase& size = kSizeCases[std::get<1>(GetParam())];
  const PixelFormat format = std::get<2>(GetParam());
  // Flat colours with hard edges (smpte), and one colour with chroma far from grey.
  for (const char* pattern : {"smpte", "solid-color foreground-color=0xff2a9c5e"}) {
    SCOPED_TRACE(pattern);
    SamplePtr sample = pull_sample(src.caps, pattern);
    ASSERT_TRUE(sample);
    std::vector<std::uint8_t> scratch;
    auto image = sample_to_ndarray(sample.get(), {size.width, size.height, format}, &scratch);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, size.want_width);
    EXPECT_EQ(image->height, size.want_height);
    EXPECT_EQ(image->format, format);
    EXPECT_EQ(image->channels, format == PixelFormat::GRAY8 ? 1 : 3);
    EXPECT_GE(image->stride, std::size_t(image->width) * image->channels);
    EXPECT_EQ(image->stride % 4, 0u) << "rows are padded to 4 bytes, as GStreamer's";
    ASSERT_TRUE(image->data && image->owner);

    // Only what needs no work at all is handed out without a copy.
    const bool full = size.want_width == 640 && size.want_height == 360;
    const bool same = std::string(src.name) == "BGR"
                          ? format == PixelFormat::BGR
                          : format == PixelFormat::GRAY8 && src.full_range;
    EXPECT_EQ(points_into(*image, sample.get()), full && same);

    const Picture want = resample(exact_colours(sample.get()), image->width, image->height);
    const Deviation d = deviation(*image, want);
    if (full) {
      // A wrong matrix, range, channel order or luma weight is 10+ levels off.
      EXPECT_LE(d.max, 3.0);
    } else if (std::string(pattern) != "smpte") {
      // One colour: the box filter's fixed-point weights may lose a level of chroma.
      EXPECT_LE(d.max, 5.0);
    } else {
      // Scaling the planes before converting them moves the chroma edges by a fraction of a
      // pixel, and enlarging interpolates where the reference repeats pixels: pixels on the
      // bars' edges differ, the picture as a whole stays close.
      EXPECT_LE(d.mean, 4.0);
      EXPECT_LE(d.share_over_24, 0.04);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllFormatsAndSizes, OutputFormatTest,
                         ::testing::Combine(::testing::Range(0, int(std::size(kSources))),
                                            ::testing::Range(0, int(std::size(kSizeCases))),
                                            ::testing::ValuesIn(kFormats)),
                         [](const auto& info) {
                           return std::string(kSources[std::get<0>(info.param)].name) + "_" +
                                  kSizeCases[std::get<1>(info.param)].name + "_" +
                                  to_string(std::get<2>(info.param));
                         });

// The fast box scaler gives every output pixel its exact area mean, rounded, at each ratio it
// takes (strided rows, noise, widths that leave the vector loops a remainder), and leaves every
// other ratio to libyuv.
TEST(OutputFormat, BoxScalerGivesTheRoundedAreaMean) {
  struct Case {
    int src_w, src_h, dst_w, dst_h;
    bool taken;
  };
  const Case cases[] = {{1920, 1080, 640, 360, true}, {3840, 2160, 640, 360, true},
                        {960, 540, 640, 360, true},   {48, 30, 32, 20, true},
                        {66, 18, 11, 3, true},        {75, 9, 25, 3, true},
                        {57, 9, 38, 6, true},         {640, 360, 320, 180, false},
                        {1920, 1080, 640, 361, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.src_w) + "x" + std::to_string(c.src_h) + " -> " +
                 std::to_string(c.dst_w) + "x" + std::to_string(c.dst_h));
    const int src_stride = c.src_w + 13;
    const int dst_stride = c.dst_w + 7;
    std::vector<std::uint8_t> src(std::size_t(src_stride) * c.src_h);
    std::uint32_t state = 12345;
    for (auto& b : src) b = static_cast<std::uint8_t>((state = state * 1103515245u + 12345u) >> 24);
    std::vector<std::uint8_t> dst(std::size_t(dst_stride) * c.dst_h, 7);
    ASSERT_EQ(detail::box_scale_plane(src.data(), src_stride, c.src_w, c.src_h, dst.data(),
                                      dst_stride, c.dst_w, c.dst_h),
              c.taken);
    if (!c.taken) {
      EXPECT_TRUE(std::all_of(dst.begin(), dst.end(), [](std::uint8_t b) { return b == 7; }));
      continue;
    }
    const double sx = double(c.src_w) / c.dst_w;
    const double sy = double(c.src_h) / c.dst_h;
    int off = 0;
    for (int y = 0; y < c.dst_h; ++y) {
      for (int x = 0; x < c.dst_w; ++x) {
        double sum = 0;  // each source pixel weighed by its area under the output pixel
        for (int v = int(y * sy); v < std::min(c.src_h, int(std::ceil((y + 1) * sy))); ++v) {
          const double wy = std::min(v + 1.0, (y + 1) * sy) - std::max(double(v), y * sy);
          for (int u = int(x * sx); u < std::min(c.src_w, int(std::ceil((x + 1) * sx))); ++u) {
            const double wx = std::min(u + 1.0, (x + 1) * sx) - std::max(double(u), x * sx);
            sum += wx * wy * src[std::size_t(v) * src_stride + u];
          }
        }
        const int want = int(std::floor(sum / (sx * sy) + 0.5 + 1e-9));
        off += dst[std::size_t(y) * dst_stride + x] != want;
      }
      // The stride's padding stays untouched.
      EXPECT_EQ(dst[std::size_t(y) * dst_stride + c.dst_w], 7);
    }
    EXPECT_EQ(off, 0);
  }
}

// Camera pictures to a model's input size take the fast scaler: the colours stay the
// reference's, from I420 and NV12, in every format.
TEST(OutputFormat, CameraSizesToModelSizeMatchTheReference) {
  struct Case {
    const char* caps;
    int width, height;
  };
  const Case cases[] = {
      {"video/x-raw,format=I420,width=1920,height=1080,colorimetry=bt709", 640, 360},
      {"video/x-raw,format=NV12,width=1920,height=1080,colorimetry=bt709", 640, 360},
      {"video/x-raw,format=I420,width=1920,height=1080,colorimetry=bt709", 320, 180},
      {"video/x-raw,format=I420,width=960,height=540,colorimetry=bt601", 320, 180},
  };
  for (const Case& c : cases) {
    for (const char* pattern : {"smpte", "solid-color foreground-color=0xff2a9c5e"}) {
      SamplePtr sample = pull_sample(c.caps, pattern);
      ASSERT_TRUE(sample);
      const Picture exact = exact_colours(sample.get());
      const Picture want = resample(exact, c.width, c.height);
      for (const PixelFormat format : kFormats) {
        SCOPED_TRACE(std::string(c.caps) + " -> " + std::to_string(c.width) + " " + pattern + " " +
                     to_string(format));
        auto image = sample_to_ndarray(sample.get(), {c.width, c.height, format});
        ASSERT_TRUE(image);
        ASSERT_EQ(image->width, c.width);
        ASSERT_EQ(image->height, c.height);
        const Deviation d = deviation(*image, want);
        if (std::string(pattern) != "smpte") {
          EXPECT_LE(d.max, 5.0);
        } else {
          EXPECT_LE(d.mean, 4.0);
          EXPECT_LE(d.share_over_24, 0.04);
        }
      }
    }
  }
}

// RGB is BGR with the channels swapped, to the byte, from every source and size.
TEST(OutputFormat, RgbIsBgrSwappedExactly) {
  for (const SourceCase& src : kSources) {
    SamplePtr sample = pull_sample(src.caps, "smpte");
    ASSERT_TRUE(sample);
    for (const SizeCase& size : kSizeCases) {
      SCOPED_TRACE(std::string(src.name) + " " + size.name);
      auto bgr = sample_to_ndarray(sample.get(), {size.width, size.height, PixelFormat::BGR});
      auto rgb = sample_to_ndarray(sample.get(), {size.width, size.height, PixelFormat::RGB});
      ASSERT_TRUE(bgr && rgb);
      ASSERT_EQ(bgr->width, rgb->width);
      ASSERT_EQ(bgr->height, rgb->height);
      int mismatches = 0;
      for (int y = 0; y < bgr->height; ++y) {
        for (int x = 0; x < bgr->width; ++x) {
          const std::uint8_t* b = bgr->row(y) + 3 * x;
          const std::uint8_t* r = rgb->row(y) + 3 * x;
          mismatches += b[0] != r[2] || b[1] != r[1] || b[2] != r[0];
        }
      }
      EXPECT_EQ(mismatches, 0);
    }
  }
}

// The default format is today's conversion, byte for byte, with or without scratch.
TEST(OutputFormat, DefaultIsThePlainConversion) {
  for (const SourceCase& src : kSources) {
    SCOPED_TRACE(src.name);
    SamplePtr sample = pull_sample(src.caps, "smpte");
    ASSERT_TRUE(sample);
    auto plain = sample_to_ndarray(sample.get());
    std::vector<std::uint8_t> scratch;
    auto with = sample_to_ndarray(sample.get(), OutputFormat{}, &scratch);
    ASSERT_TRUE(plain && with);
    EXPECT_EQ(plain->format, PixelFormat::BGR);
    ASSERT_EQ(plain->stride, with->stride);
    for (int y = 0; y < plain->height; ++y) {
      ASSERT_EQ(0, std::memcmp(plain->row(y), with->row(y), std::size_t(plain->width) * 3)) << y;
    }
  }
}

// ---- derived sizes ------------------------------------------------------------------------

TEST(OutputFormat, DerivedSideKeepsTheDisplayAspectRoundedToEven) {
  struct Case {
    int width, height;  // asked for
    int src_w, src_h, par_n, par_d;
    int want_w, want_h;
  } cases[] = {
      {640, 0, 1920, 1080, 1, 1, 640, 360},   {0, 360, 1920, 1080, 1, 1, 640, 360},
      {100, 0, 1920, 1080, 1, 1, 100, 56},   // 56.25
      {101, 0, 1920, 1080, 1, 1, 101, 56},   // 56.8: the asked side may be odd
      {0, 101, 1920, 1080, 1, 1, 180, 101},  // 179.6
      {320, 0, 704, 576, 12, 11, 320, 240},  // 4:3 PAL with its 12:11 pixels
      {0, 240, 704, 576, 12, 11, 320, 240},   {1, 0, 1920, 1080, 1, 1, 1, 2},  // never below 2
      {320, 0, 640, 360, 0, 1, 320, 180},  // an unknown pixel aspect counts as square
      {320, 240, 1920, 1080, 1, 1, 320, 240}, {0, 0, 33, 17, 1, 1, 33, 17},
  };
  for (const Case& c : cases) {
    const auto [w, h] = detail::output_size({c.width, c.height, PixelFormat::BGR}, c.src_w, c.src_h,
                                            c.par_n, c.par_d);
    EXPECT_EQ(w, c.want_w) << c.width << "x" << c.height << " of " << c.src_w << "x" << c.src_h;
    EXPECT_EQ(h, c.want_h) << c.width << "x" << c.height << " of " << c.src_w << "x" << c.src_h;
  }
  // A sliver of a picture would need a taller output than anything delivered.
  EXPECT_THROW(detail::output_size({16384, 0, PixelFormat::BGR}, 16, 1080, 1, 1),
               SampleConversionError);
}

// GRAY8 is full-range luma: limited-range black and white (16 and 235) come out as 0 and 255.
TEST(OutputFormat, GrayIsFullRangeLuma) {
  for (const char* colorimetry : {"bt709", "bt601"}) {
    for (auto [pattern, level] : {std::pair{"black", 0}, std::pair{"white", 255}}) {
      SCOPED_TRACE(std::string(colorimetry) + " " + pattern);
      SamplePtr sample = pull_sample(
          std::string("video/x-raw,format=I420,width=64,height=48,colorimetry=") + colorimetry,
          pattern);
      ASSERT_TRUE(sample);
      for (int width : {0, 32}) {
        auto image = sample_to_ndarray(sample.get(), {width, 0, PixelFormat::GRAY8});
        ASSERT_TRUE(image);
        for (int y = 0; y < image->height; ++y) {
          for (int x = 0; x < image->width; ++x) {
            ASSERT_NEAR(image->row(y)[x], level, 1) << x << "," << y;
          }
        }
      }
    }
  }
}

// ---- what a reader refuses, and what it delivers ----------------------------------------

GstStreamReader::Options with_output(int width, int height, PixelFormat format) {
  GstStreamReader::Options o;
  o.pipeline_str =
      "videotestsrc is-live=true pattern=smpte ! video/x-raw,format=I420,width=320,height=240,"
      "framerate=30/1 ! appsink max-buffers=1 drop=true";
  o.output_width = width;
  o.output_height = height;
  o.pixel_format = format;
  return o;
}

TEST(OutputFormat, ReaderRefusesWhatCannotBeDelivered) {
  struct Case {
    int width, height;
    PixelFormat format;
    const char* message;
  } cases[] = {
      {-1, 0, PixelFormat::BGR, "output_width must be 0 (the source's) or from 1 to 16384, not -1"},
      {0, -480, PixelFormat::RGB,
       "output_height must be 0 (the source's) or from 1 to 16384, not -480"},
      {16385, 100, PixelFormat::BGR,
       "output_width must be 0 (the source's) or from 1 to 16384, not 16385"},
      {100, 1 << 30, PixelFormat::GRAY8, "output_height must be 0"},
      {0, 0, static_cast<PixelFormat>(3), "pixel_format 3 is not one of BGR, RGB or GRAY8"},
      {0, 0, static_cast<PixelFormat>(-1), "pixel_format -1 is not one of BGR, RGB or GRAY8"},
  };
  for (const Case& c : cases) {
    try {
      GstStreamReader reader(1, "any", {}, with_output(c.width, c.height, c.format));
      ADD_FAILURE() << "no StreamSetupError for " << c.message;
    } catch (const StreamSetupError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

TEST(OutputFormat, ReaderDeliversTheAskedSizeAndFormat) {
  struct Case {
    int width, height;
    PixelFormat format;
    int want_w, want_h;
  } cases[] = {
      {0, 0, PixelFormat::BGR, 320, 240},
      {160, 0, PixelFormat::RGB, 160, 120},
      {0, 61, PixelFormat::GRAY8, 82, 61},  // 81.3, rounded to even
      {99, 77, PixelFormat::GRAY8, 99, 77},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " " +
                 to_string(c.format));
    GstStreamReader reader(1, "any", {}, with_output(c.width, c.height, c.format));
    ASSERT_TRUE(reader.new_frame_event()->wait(10.0));
    const Frame frame = reader.latest_frame();
    ASSERT_TRUE(frame.image);
    EXPECT_EQ(frame.image->width, c.want_w);
    EXPECT_EQ(frame.image->height, c.want_h);
    EXPECT_EQ(frame.image->format, c.format);
    EXPECT_EQ(frame.image->channels, channels_of(c.format));
    const StreamStats stats = reader.stats();
    EXPECT_EQ(stats.width, c.want_w);
    EXPECT_EQ(stats.height, c.want_h);
    reader.wait_until_closed();
  }
}

}  // namespace
}  // namespace strovix
