// GstSample -> BGR, RGB or GRAY8 image at the size asked for, in one libyuv pass from the
// decoder's planes: YUV planes are scaled first (the conversion then runs on the smaller
// picture), then converted using the colour matrix and range of the caps. What needs no
// conversion (BGR as BGR, full-range luma as GRAY8, at the source's size) is handed out without
// a copy: the image keeps the sample mapped.
#include "utils/sample_convert.hpp"

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

#include "strovix/errors.hpp"
#include "strovix/gst/handles.hpp"
#include "strovix/gst/sample_convert.hpp"
#include "utils/yuv_levels.hpp"

namespace strovix {
namespace {

using detail::Matrix;
using detail::stretch_chroma;
using detail::stretch_luma;
using detail::yuv_matrix;

[[noreturn]] void fail(const std::string& what) {
  throw SampleConversionError("sample_to_ndarray: " + what);
}

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

struct PlaneView {
  const std::uint8_t* data;
  int stride;
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

// A converted image's own pixels, rows padded to 4 bytes as GStreamer pads BGR and GRAY8, so
// converted and mapped images look alike to callers.
struct Output {
  std::shared_ptr<std::uint8_t[]> pixels;
  std::size_t stride = 0;
  int width = 0;
  int height = 0;

  Output(int w, int h, int channels) : width(w), height(h) {
    stride = (static_cast<std::size_t>(w) * channels + 3) & ~std::size_t{3};
    if (stride > static_cast<std::size_t>(INT_MAX)) fail("frame too wide: " + std::to_string(w));
    pixels = std::make_shared_for_overwrite<std::uint8_t[]>(stride * static_cast<std::size_t>(h));
  }
  std::uint8_t* row(int y) const { return pixels.get() + static_cast<std::size_t>(y) * stride; }
  int int_stride() const { return static_cast<int>(stride); }

  std::shared_ptr<const Image> image(PixelFormat format) && {
    auto image = std::make_shared<Image>();
    image->width = width;
    image->height = height;
    image->channels = channels_of(format);
    image->format = format;
    image->stride = stride;
    image->data = pixels.get();
    image->owner = std::move(pixels);
    return image;
  }
};

void check_rc(int rc, const char* what) {
  if (rc != 0) fail(std::string("libyuv ") + what + " failed (" + std::to_string(rc) + ")");
}

struct YuvPlanes {
  PlaneView y;
  PlaneView u;  // for NV12 the interleaved UV plane
  PlaneView v;  // unused for NV12
  enum Layout { I420, NV12, I444 } layout;
  int width;
  int height;
};

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

// The planes scaled to `width` x `height`, in `scratch`, each chroma plane scaled to the full
// output size (4:4:4): every output pixel then gets chroma of its own, as when the converted
// picture is scaled, for little more work than scaling the chroma to half size.
YuvPlanes scale_yuv(const YuvPlanes& in, int width, int height, libyuv::FilterMode filter,
                    std::vector<std::uint8_t>& scratch) {
  const auto plane = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  const int cw = (in.width + 1) / 2;
  const int ch = (in.height + 1) / 2;
  // NV12's chroma is split first, at its own (quarter) size.
  const std::size_t split =
      in.layout == YuvPlanes::NV12 ? 2 * static_cast<std::size_t>(cw) * ch : 0;
  scratch.resize(3 * plane + split);
  std::uint8_t* y = scratch.data();
  std::uint8_t* u = y + plane;
  std::uint8_t* v = u + plane;
  PlaneView src_u = in.u;
  PlaneView src_v = in.v;
  if (split) {
    std::uint8_t* su = v + plane;
    std::uint8_t* sv = su + split / 2;
    libyuv::SplitUVPlane(in.u.data, in.u.stride, su, cw, sv, cw, cw, ch);
    src_u = {su, cw};
    src_v = {sv, cw};
  }
  libyuv::ScalePlane(in.y.data, in.y.stride, in.width, in.height, y, width, width, height, filter);
  libyuv::ScalePlane(src_u.data, src_u.stride, cw, ch, u, width, width, height, filter);
  libyuv::ScalePlane(src_v.data, src_v.stride, cw, ch, v, width, width, height, filter);
  return {{y, width}, {u, width}, {v, width}, YuvPlanes::I444, width, height};
}

// YUV -> BGR or RGB at the planes' size.
std::shared_ptr<const Image> convert_yuv(const YuvPlanes& p, const GstVideoColorimetry& colours,
                                         PixelFormat format) {
  const int width = p.width;
  const int height = p.height;
  const bool rgb = format == PixelFormat::RGB;
  const Matrix matrix = yuv_matrix(colours, rgb);
  Output out(width, height, 3);

  // For RGB, U and V go in swapped with mirrored tables (NV12 is then read as NV21).
  auto convert = [&](int row, int rows, const PlaneView& pu, const PlaneView& pv) {
    const std::uint8_t* py = p.y.data + static_cast<std::size_t>(row) * p.y.stride;
    std::uint8_t* dst = out.row(row);
    const int ds = out.int_stride();
    const auto* k = matrix.constants;
    const PlaneView& first = rgb ? pv : pu;
    const PlaneView& second = rgb ? pu : pv;
    switch (p.layout) {
      case YuvPlanes::I420:
        return libyuv::I420ToRGB24Matrix(py, p.y.stride, first.data, first.stride, second.data,
                                         second.stride, dst, ds, k, width, rows);
      case YuvPlanes::I444:
        return libyuv::I444ToRGB24Matrix(py, p.y.stride, first.data, first.stride, second.data,
                                         second.stride, dst, ds, k, width, rows);
      case YuvPlanes::NV12:
        break;
    }
    return rgb ? libyuv::NV21ToRGB24Matrix(py, p.y.stride, pu.data, pu.stride, dst, ds, k, width,
                                           rows)
               : libyuv::NV12ToRGB24Matrix(py, p.y.stride, pu.data, pu.stride, dst, ds, k, width,
                                           rows);
  };

  int rc = 0;
  if (!matrix.stretch_chroma) {
    rc = convert(0, height, p.u, p.v);
  } else {
    // Stretch the chroma a band at a time into a small buffer that stays in cache.
    constexpr int kBandRows = 32;  // even, so every band starts on a chroma row
    const bool full = p.layout == YuvPlanes::I444;
    const bool two_planes = p.layout != YuvPlanes::NV12;
    const std::size_t cw =
        full ? static_cast<std::size_t>(width) : (static_cast<std::size_t>(width) + 1) / 2;
    const std::size_t row_bytes = two_planes ? cw : cw * 2;
    const std::size_t band_size = row_bytes * (full ? kBandRows : kBandRows / 2);
    std::vector<std::uint8_t> band(two_planes ? 2 * band_size : band_size);
    std::uint8_t* band_u = band.data();
    std::uint8_t* band_v = band.data() + (two_planes ? band_size : 0);
    const PlaneView stretched_u{band_u, static_cast<int>(row_bytes)};
    const PlaneView stretched_v{band_v, static_cast<int>(row_bytes)};
    for (int row = 0; row < height && rc == 0; row += kBandRows) {
      const int rows = std::min(kBandRows, height - row);
      const auto r0 = static_cast<std::size_t>(row);
      const auto n = static_cast<std::size_t>(rows);
      const std::size_t first = full ? r0 : r0 / 2;
      const std::size_t count = full ? n : (n + 1) / 2;
      for (std::size_t r = 0; r < count; ++r) {
        stretch_chroma(p.u.data + (first + r) * p.u.stride, band_u + r * row_bytes, row_bytes);
        if (two_planes) {
          stretch_chroma(p.v.data + (first + r) * p.v.stride, band_v + r * row_bytes, row_bytes);
        }
      }
      rc = convert(row, rows, stretched_u, stretched_v);
    }
  }
  check_rc(rc, "conversion");
  return std::move(out).image(format);
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

}  // namespace

std::shared_ptr<const Image> sample_to_ndarray(GstSample* sample) {
  return sample_to_ndarray(sample, OutputFormat{});
}

std::shared_ptr<const Image> sample_to_ndarray(GstSample* sample, const OutputFormat& format,
                                               std::vector<std::uint8_t>* scratch) {
  if (!sample) return nullptr;
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  if (!buffer) return nullptr;

  GstCaps* caps = gst_sample_get_caps(sample);
  if (!caps) fail("sample has no caps");
  // gst_video_info_from_caps insists on fixed caps (with a CRITICAL); say so ourselves.
  if (!gst_caps_is_fixed(caps)) fail("sample caps are empty or not fixed");
  const GstStructure* s = gst_caps_get_structure(caps, 0);
  if (!gst_structure_has_name(s, "video/x-raw")) {
    fail(std::string("caps are not raw video: ") + gst_structure_get_name(s));
  }
  GstVideoInfo info;
  if (!gst_video_info_from_caps(&info, caps)) {
    GCharPtr text(gst_caps_to_string(caps));
    fail(std::string("caps do not describe raw video: ") + text.get());
  }

  const GstVideoFormat fmt = GST_VIDEO_INFO_FORMAT(&info);
  if (fmt != GST_VIDEO_FORMAT_BGR && fmt != GST_VIDEO_FORMAT_I420 && fmt != GST_VIDEO_FORMAT_NV12) {
    fail(std::string("unsupported format ") + gst_video_format_to_string(fmt) +
         " (expected BGR, I420 or NV12)");
  }
  const int width = GST_VIDEO_INFO_WIDTH(&info);
  const int height = GST_VIDEO_INFO_HEIGHT(&info);
  if (width <= 0 || height <= 0) {
    fail("invalid frame size " + std::to_string(width) + "x" + std::to_string(height));
  }

  // gst_video_frame_map guards these with g_return_val_if_fail; a mismatched meta is a bad
  // sample, not a programming error, so turn it away before GStreamer complains.
  if (const GstVideoMeta* meta = gst_buffer_get_video_meta(buffer)) {
    if (meta->format != fmt || meta->n_planes != GST_VIDEO_INFO_N_PLANES(&info) ||
        meta->width < static_cast<guint>(width) || meta->height < static_cast<guint>(height) ||
        !meta->map || !meta->buffer) {
      fail("buffer video meta does not match caps");
    }
  } else if (gst_buffer_get_size(buffer) < info.size) {
    // Without a meta the layout is the default one for the caps. (With one, the planes are
    // checked after mapping.)
    fail("buffer too small for its caps: " + std::to_string(gst_buffer_get_size(buffer)) +
         " bytes, " + std::to_string(width) + "x" + std::to_string(height) + " " +
         gst_video_format_to_string(fmt) + " needs " + std::to_string(info.size));
  }

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
