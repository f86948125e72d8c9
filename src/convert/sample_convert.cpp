// GstSample -> BGR, RGB or GRAY8 image at the size asked for, in one libyuv pass from the
// decoder's planes: YUV planes are scaled first (the conversion then runs on the smaller
// picture), then converted using the colour matrix and range of the caps. What needs no
// conversion (BGR as BGR, full-range luma as GRAY8, at the source's size) is handed out without
// a copy: the image keeps the sample mapped.
#include "strovix/gst/sample_convert.hpp"

#include <gst/video/video.h>
#include <libyuv/convert.h>
#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "convert/conversion_parts.hpp"
#include "convert/convert.hpp"
#include "convert/yuv_levels.hpp"
#include "strovix/errors.hpp"
#include "strovix/gst/handles.hpp"

namespace strovix {
namespace {

using detail::check_rc;
using detail::convert_yuv;
using detail::Output;
using detail::PlaneView;
using detail::scale_yuv;
using detail::stretch_luma;
using detail::YuvPlanes;

[[noreturn]] void fail(const std::string& what) { detail::conversion_failed(what); }

// A video frame mapped for reading. Unmapping also drops the buffer reference the map took.
class MappedFrame {
 public:
  MappedFrame() = default;
  ~MappedFrame() {
    if (mapped_) gst_video_frame_unmap(&frame_);
  }
  MappedFrame(const MappedFrame&) = delete;
  MappedFrame& operator=(const MappedFrame&) = delete;

  bool map(GstVideoInfo* info, GstBuffer* buffer) {
    mapped_ = gst_video_frame_map(&frame_, info, buffer, GST_MAP_READ);
    return mapped_;
  }
  const GstVideoFrame& frame() const { return frame_; }

 private:
  GstVideoFrame frame_{};
  bool mapped_ = false;
};

// What a zero-copy image points into. Members go in reverse order, so the frame is unmapped
// before the sample is released.
struct MappedSample {
  SamplePtr sample;
  MappedFrame frame;
};

// The start and stride of plane `p`, after checking that `rows` rows of `row_bytes` bytes lie
// inside the memory mapped for that plane. Without a GstVideoMeta GStreamer only checks the
// total size against the default layout; with one it checks nothing, so a meta with a bogus
// stride or offset would otherwise make libyuv read past the end of the buffer.
PlaneView checked_plane(const GstVideoFrame& frame, guint p, std::size_t row_bytes,
                        std::size_t rows) {
  const GstMapInfo& map = frame.meta ? frame.map[p] : frame.map[0];
  const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, p);
  if (stride < 0 || static_cast<std::size_t>(stride) < row_bytes) {
    fail("plane " + std::to_string(p) + " has stride " + std::to_string(stride) + ", rows need " +
         std::to_string(row_bytes) + " bytes");
  }
  const auto base = reinterpret_cast<std::uintptr_t>(map.data);
  const auto start = reinterpret_cast<std::uintptr_t>(frame.data[p]);
  const std::size_t needed = (rows - 1) * static_cast<std::size_t>(stride) + row_bytes;
  if (start < base || start - base > map.size || map.size - (start - base) < needed) {
    fail("buffer too small for its caps: plane " + std::to_string(p) + " needs " +
         std::to_string(needed) + " bytes at offset " + std::to_string(start - base) + " of a " +
         std::to_string(map.size) + "-byte mapping");
  }
  return {static_cast<const std::uint8_t*>(frame.data[p]), stride};
}

void map_or_fail(MappedFrame& frame, GstVideoInfo& info, GstBuffer* buffer) {
  if (!frame.map(&info, buffer)) {
    fail("cannot map the " + std::to_string(gst_buffer_get_size(buffer)) + "-byte buffer of a " +
         std::to_string(info.width) + "x" + std::to_string(info.height) + " " +
         gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(&info)) + " sample");
  }
}

libyuv::FilterMode libyuv_filter(ScaleFilter filter) {
  return filter == ScaleFilter::BILINEAR ? libyuv::kFilterBilinear : libyuv::kFilterBox;
}

YuvPlanes yuv_planes(const GstVideoFrame& frame, int width, int height) {
  const bool i420 = GST_VIDEO_FRAME_FORMAT(&frame) == GST_VIDEO_FORMAT_I420;
  const auto w = static_cast<std::size_t>(width);
  const auto h = static_cast<std::size_t>(height);
  const std::size_t cw = (w + 1) / 2;
  const std::size_t ch = (h + 1) / 2;
  return {checked_plane(frame, 0, w, h),
          checked_plane(frame, 1, i420 ? cw : cw * 2, ch),
          i420 ? checked_plane(frame, 2, cw, ch) : PlaneView{nullptr, 0},
          i420 ? YuvPlanes::I420 : YuvPlanes::NV12,
          width,
          height};
}

// GRAY8 from the Y plane (never the zero-copy case: scaled, or limited range, or both).
std::shared_ptr<const Image> yuv_to_gray(const GstVideoFrame& frame, int width, int height,
                                         int out_width, int out_height, libyuv::FilterMode filter) {
  const PlaneView y =
      checked_plane(frame, 0, static_cast<std::size_t>(width), static_cast<std::size_t>(height));
  const bool limited = frame.info.colorimetry.range != GST_VIDEO_COLOR_RANGE_0_255;
  Output out(out_width, out_height, 1);
  const bool scale = out_width != width || out_height != height;
  if (scale) {
    libyuv::ScalePlane(y.data, y.stride, width, height, out.row(0), out.int_stride(), out_width,
                       out_height, filter);
  }
  if (limited) {
    for (int r = 0; r < out_height; ++r) {
      const std::uint8_t* src =
          scale ? out.row(r) : y.data + static_cast<std::size_t>(r) * y.stride;
      stretch_luma(src, out.row(r), static_cast<std::size_t>(out_width));
    }
  }
  return std::move(out).image(PixelFormat::GRAY8);
}

// BGR -> scaled BGR, RGB or GRAY8 (never the zero-copy case). Scaling runs per channel:
// libyuv's packed scalers have no box filter.
std::shared_ptr<const Image> convert_bgr(const GstVideoFrame& frame, int width, int height,
                                         int out_width, int out_height, PixelFormat format,
                                         libyuv::FilterMode filter,
                                         std::vector<std::uint8_t>& scratch) {
  const PlaneView bgr = checked_plane(frame, 0, static_cast<std::size_t>(width) * 3,
                                      static_cast<std::size_t>(height));
  Output out(out_width, out_height, channels_of(format));
  const bool scale = out_width != width || out_height != height;
  if (!scale) {
    // libyuv's RGB24 is B, G, R in memory and RAW is R, G, B; the swap runs either way.
    check_rc(format == PixelFormat::GRAY8
                 ? libyuv::RGB24ToJ400(bgr.data, bgr.stride, out.row(0), out.int_stride(),
                                       out_width, out_height)
                 : libyuv::RAWToRGB24(bgr.data, bgr.stride, out.row(0), out.int_stride(), out_width,
                                      out_height),
             "conversion");
    return std::move(out).image(format);
  }
  const auto in_plane = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  const auto out_plane = static_cast<std::size_t>(out_width) * static_cast<std::size_t>(out_height);
  const bool gray = format == PixelFormat::GRAY8;
  scratch.resize(3 * in_plane + 3 * out_plane + (gray ? 3 * out_plane : 0));
  std::uint8_t* in[3] = {scratch.data(), scratch.data() + in_plane, scratch.data() + 2 * in_plane};
  std::uint8_t* scaled[3];
  for (int c = 0; c < 3; ++c) scaled[c] = scratch.data() + 3 * in_plane + c * out_plane;
  // in[0] and scaled[0] hold blue.
  libyuv::SplitRGBPlane(bgr.data, bgr.stride, in[0], width, in[1], width, in[2], width, width,
                        height);
  for (int c = 0; c < 3; ++c) {
    libyuv::ScalePlane(in[c], width, width, height, scaled[c], out_width, out_width, out_height,
                       filter);
  }
  const int b = format == PixelFormat::RGB ? 2 : 0;
  if (!gray) {
    libyuv::MergeRGBPlane(scaled[b], out_width, scaled[1], out_width, scaled[2 - b], out_width,
                          out.row(0), out.int_stride(), out_width, out_height);
    return std::move(out).image(format);
  }
  std::uint8_t* packed = scratch.data() + 3 * in_plane + 3 * out_plane;
  libyuv::MergeRGBPlane(scaled[0], out_width, scaled[1], out_width, scaled[2], out_width, packed,
                        out_width * 3, out_width, out_height);
  check_rc(libyuv::RGB24ToJ400(packed, out_width * 3, out.row(0), out.int_stride(), out_width,
                               out_height),
           "conversion");
  return std::move(out).image(format);
}

// Fills `info` from the sample's caps, checked against its buffer; throws
// SampleConversionError for caps or a buffer this conversion cannot take.
void read_video_info(GstSample* sample, GstBuffer* buffer, GstVideoInfo* info) {
  GstCaps* caps = gst_sample_get_caps(sample);
  if (!caps) fail("sample has no caps");
  // gst_video_info_from_caps insists on fixed caps (with a CRITICAL); say so ourselves.
  if (!gst_caps_is_fixed(caps)) fail("sample caps are empty or not fixed");
  const GstStructure* s = gst_caps_get_structure(caps, 0);
  if (!gst_structure_has_name(s, "video/x-raw")) {
    fail(std::string("caps are not raw video: ") + gst_structure_get_name(s));
  }
  if (!gst_video_info_from_caps(info, caps)) {
    GCharPtr text(gst_caps_to_string(caps));
    fail(std::string("caps do not describe raw video: ") + text.get());
  }

  const GstVideoFormat fmt = GST_VIDEO_INFO_FORMAT(info);
  if (fmt != GST_VIDEO_FORMAT_BGR && fmt != GST_VIDEO_FORMAT_I420 && fmt != GST_VIDEO_FORMAT_NV12) {
    fail(std::string("unsupported format ") + gst_video_format_to_string(fmt) +
         " (expected BGR, I420 or NV12)");
  }
  const int width = GST_VIDEO_INFO_WIDTH(info);
  const int height = GST_VIDEO_INFO_HEIGHT(info);
  if (width <= 0 || height <= 0) {
    fail("invalid frame size " + std::to_string(width) + "x" + std::to_string(height));
  }

  // gst_video_frame_map guards these with g_return_val_if_fail; a mismatched meta is a bad
  // sample, not a programming error, so turn it away before GStreamer complains.
  if (const GstVideoMeta* meta = gst_buffer_get_video_meta(buffer)) {
    if (meta->format != fmt || meta->n_planes != GST_VIDEO_INFO_N_PLANES(info) ||
        meta->width < static_cast<guint>(width) || meta->height < static_cast<guint>(height) ||
        !meta->map || !meta->buffer) {
      fail("buffer video meta does not match caps");
    }
  } else if (gst_buffer_get_size(buffer) < info->size) {
    // Without a meta the layout is the default one for the caps. (With one, the planes are
    // checked after mapping.)
    fail("buffer too small for its caps: " + std::to_string(gst_buffer_get_size(buffer)) +
         " bytes, " + std::to_string(width) + "x" + std::to_string(height) + " " +
         gst_video_format_to_string(fmt) + " needs " + std::to_string(info->size));
  }
}

}  // namespace

std::shared_ptr<const Image> sample_to_ndarray(GstSample* sample) {
  return sample_to_ndarray(sample, OutputFormat{});
}

std::shared_ptr<const Image> sample_to_ndarray(GstSample* sample, const OutputFormat& format,
                                               std::vector<std::uint8_t>* scratch) {
  if (!sample) return nullptr;
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  if (!buffer) return nullptr;

  GstVideoInfo info;
  read_video_info(sample, buffer, &info);
  const GstVideoFormat fmt = GST_VIDEO_INFO_FORMAT(&info);
  const int width = GST_VIDEO_INFO_WIDTH(&info);
  const int height = GST_VIDEO_INFO_HEIGHT(&info);

  const auto [out_width, out_height] = detail::output_size(
      format, width, height, GST_VIDEO_INFO_PAR_N(&info), GST_VIDEO_INFO_PAR_D(&info));
  const bool scale = out_width != width || out_height != height;
  const PixelFormat pixels = format.pixel_format;
  const bool yuv = fmt != GST_VIDEO_FORMAT_BGR;
  const bool full_range = info.colorimetry.range == GST_VIDEO_COLOR_RANGE_0_255;
  const bool zero_copy = !scale && ((!yuv && pixels == PixelFormat::BGR) ||
                                    (yuv && full_range && pixels == PixelFormat::GRAY8));

  if (!zero_copy) {
    std::vector<std::uint8_t> local;
    std::vector<std::uint8_t>& buf = scratch ? *scratch : local;
    const libyuv::FilterMode filter = libyuv_filter(format.filter);
    MappedFrame frame;
    map_or_fail(frame, info, buffer);
    const GstVideoFrame& f = frame.frame();
    if (!yuv) return convert_bgr(f, width, height, out_width, out_height, pixels, filter, buf);
    if (pixels == PixelFormat::GRAY8)
      return yuv_to_gray(f, width, height, out_width, out_height, filter);
    YuvPlanes planes = yuv_planes(f, width, height);
    if (scale) planes = scale_yuv(planes, out_width, out_height, filter, buf);
    return convert_yuv(planes, info.colorimetry, pixels);
  }

  // The first plane as it is: packed BGR, or the luma plane.
  auto mapped = std::make_shared<MappedSample>();
  map_or_fail(mapped->frame, info, buffer);
  const int channels = channels_of(pixels);
  const PlaneView plane =
      checked_plane(mapped->frame.frame(), 0, static_cast<std::size_t>(width) * channels,
                    static_cast<std::size_t>(height));
  mapped->sample.reset(gst_sample_ref(sample));
  auto image = std::make_shared<Image>();
  image->width = width;
  image->height = height;
  image->channels = channels;
  image->format = pixels;
  image->stride = static_cast<std::size_t>(plane.stride);
  image->data = plane.data;
  image->owner = std::move(mapped);
  return image;
}

}  // namespace strovix
