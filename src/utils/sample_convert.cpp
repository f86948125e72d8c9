// GstSample -> BGR image. BGR buffers are handed out without a copy (the image keeps the sample
// mapped); I420 and NV12 are converted with libyuv using the colour matrix and range of the caps.
#include <gst/video/video.h>
#include <libyuv/convert_argb.h>

#include <climits>
#include <cstdint>
#include <memory>
#include <string>

#include "strovix/errors.hpp"
#include "strovix/utils/gstreamer.hpp"

namespace strovix {
namespace {

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
         std::to_string(needed) + " bytes at offset " + std::to_string(start - base) +
         " of a " + std::to_string(map.size) + "-byte mapping");
  }
  return {static_cast<const std::uint8_t*>(frame.data[p]), stride};
}

// Matches the colorimetry GStreamer resolved from the caps (it fills in its defaults when the
// caps carry none: BT.601 up to SD, BT.709 above, limited range).
const libyuv::YuvConstants* yuv_constants(const GstVideoColorimetry& c) {
  const bool full = c.range == GST_VIDEO_COLOR_RANGE_0_255;
  switch (c.matrix) {
    case GST_VIDEO_COLOR_MATRIX_BT709:
    // SMPTE 240M's coefficients differ from BT.709's in the third decimal.
    case GST_VIDEO_COLOR_MATRIX_SMPTE240M:
      return full ? &libyuv::kYuvF709Constants : &libyuv::kYuvH709Constants;
    case GST_VIDEO_COLOR_MATRIX_BT2020:
      return full ? &libyuv::kYuvV2020Constants : &libyuv::kYuv2020Constants;
    default:
      return full ? &libyuv::kYuvJPEGConstants : &libyuv::kYuvI601Constants;
  }
}

void map_or_fail(MappedFrame& frame, GstVideoInfo& info, GstBuffer* buffer) {
  if (!frame.map(&info, buffer)) {
    fail("cannot map a buffer of " + std::to_string(gst_buffer_get_size(buffer)) + " bytes as " +
         std::to_string(info.width) + "x" + std::to_string(info.height) + " " +
         gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(&info)) + " (needs " +
         std::to_string(info.size) + ")");
  }
}

std::shared_ptr<const Image> convert_yuv(const GstVideoFrame& frame, int width, int height) {
  const auto fmt = GST_VIDEO_FRAME_FORMAT(&frame);
  const auto w = static_cast<std::size_t>(width);
  const auto h = static_cast<std::size_t>(height);
  const std::size_t cw = (w + 1) / 2;
  const std::size_t ch = (h + 1) / 2;

  // Rows padded to 4 bytes, the same layout GStreamer gives BGR, so converted and mapped
  // images look alike to callers.
  const std::size_t stride = (w * 3 + 3) & ~std::size_t{3};
  if (stride > static_cast<std::size_t>(INT_MAX)) fail("frame too wide: " + std::to_string(w));
  auto pixels = std::make_shared_for_overwrite<std::uint8_t[]>(stride * h);
  const auto* matrix = yuv_constants(frame.info.colorimetry);

  const PlaneView y = checked_plane(frame, 0, w, h);
  int rc = 0;
  if (fmt == GST_VIDEO_FORMAT_I420) {
    const PlaneView u = checked_plane(frame, 1, cw, ch);
    const PlaneView v = checked_plane(frame, 2, cw, ch);
    rc = libyuv::I420ToRGB24Matrix(y.data, y.stride, u.data, u.stride, v.data, v.stride,
                                   pixels.get(), static_cast<int>(stride), matrix, width,
                                   height);
  } else {
    const PlaneView uv = checked_plane(frame, 1, cw * 2, ch);
    rc = libyuv::NV12ToRGB24Matrix(y.data, y.stride, uv.data, uv.stride, pixels.get(),
                                   static_cast<int>(stride), matrix, width, height);
  }
  if (rc != 0) fail("libyuv conversion failed (" + std::to_string(rc) + ")");

  auto image = std::make_shared<Image>();
  image->width = width;
  image->height = height;
  image->channels = 3;
  image->stride = stride;
  image->data = pixels.get();
  image->owner = std::move(pixels);
  return image;
}

}  // namespace

std::shared_ptr<const Image> sample_to_ndarray(GstSample* sample) {
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
  if (fmt != GST_VIDEO_FORMAT_BGR && fmt != GST_VIDEO_FORMAT_I420 &&
      fmt != GST_VIDEO_FORMAT_NV12) {
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
  }

  if (fmt != GST_VIDEO_FORMAT_BGR) {
    MappedFrame frame;
    map_or_fail(frame, info, buffer);
    return convert_yuv(frame.frame(), width, height);
  }

  auto mapped = std::make_shared<MappedSample>();
  map_or_fail(mapped->frame, info, buffer);
  const PlaneView bgr = checked_plane(mapped->frame.frame(), 0,
                                      static_cast<std::size_t>(width) * 3,
                                      static_cast<std::size_t>(height));
  mapped->sample.reset(gst_sample_ref(sample));
  auto image = std::make_shared<Image>();
  image->width = width;
  image->height = height;
  image->channels = 3;
  image->stride = static_cast<std::size_t>(bgr.stride);
  image->data = bgr.data;
  image->owner = std::move(mapped);
  return image;
}

}  // namespace strovix
