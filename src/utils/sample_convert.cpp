// GstSample -> BGR image. BGR buffers are handed out without a copy (the image keeps the sample
// mapped); I420 and NV12 are converted with libyuv using the colour matrix and range of the caps.
#include <gst/video/video.h>
#include <libyuv/convert_argb.h>
#include <libyuv/row.h>  // struct YuvConstants

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "strovix/errors.hpp"
#include "strovix/gst/handles.hpp"
#include "strovix/gst/sample_convert.hpp"

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

// libyuv's fixed-point tables cap the U -> B coefficient at 2.0 for limited-range matrices
// (BT.709 needs 2.112, BT.2020 2.142, BT.601 2.018), which leaves saturated blues and yellows
// up to 12-16 levels off. Its full-range tables are within bounds, so on the Intel table
// layout we combine the limited-range luma terms with the full-range chroma terms and stretch
// the chroma to full range first. Other layouts fold luma and chroma biases together and get
// libyuv's tables as they are.
#if !defined(__aarch64__) && !defined(__arm__)
#define STROVIX_STRETCH_CHROMA 1
libyuv::YuvConstants limited_luma_full_chroma(const libyuv::YuvConstants& limited,
                                              const libyuv::YuvConstants& full) {
  libyuv::YuvConstants k = limited;
  std::memcpy(k.kUVToB, full.kUVToB, sizeof k.kUVToB);
  std::memcpy(k.kUVToG, full.kUVToG, sizeof k.kUVToG);
  std::memcpy(k.kUVToR, full.kUVToR, sizeof k.kUVToR);
  return k;
}
#endif

struct Matrix {
  const libyuv::YuvConstants* constants;
  bool stretch_chroma;  // the constants expect full-range chroma
};

// Follows the colorimetry GStreamer resolved from the caps (it fills in its defaults when
// the caps carry none: BT.601 up to SD, BT.709 above, limited range).
Matrix yuv_matrix(const GstVideoColorimetry& c) {
  const bool full = c.range == GST_VIDEO_COLOR_RANGE_0_255;
  enum { k601, k709, k2020 } family = k601;
  switch (c.matrix) {
    case GST_VIDEO_COLOR_MATRIX_BT709:
    // SMPTE 240M (Kr .212, Kb .087) is far closer to BT.709 than to BT.601.
    case GST_VIDEO_COLOR_MATRIX_SMPTE240M:
      family = k709;
      break;
    case GST_VIDEO_COLOR_MATRIX_BT2020:
      family = k2020;
      break;
    default:
      break;
  }
  if (full) {
    if (family == k709) return {&libyuv::kYuvF709Constants, false};
    if (family == k2020) return {&libyuv::kYuvV2020Constants, false};
    return {&libyuv::kYuvJPEGConstants, false};
  }
#ifdef STROVIX_STRETCH_CHROMA
  // libyuv's SSE code reads these with aligned loads.
  alignas(64) static const libyuv::YuvConstants k601_limited =
      limited_luma_full_chroma(libyuv::kYuvI601Constants, libyuv::kYuvJPEGConstants);
  alignas(64) static const libyuv::YuvConstants k709_limited =
      limited_luma_full_chroma(libyuv::kYuvH709Constants, libyuv::kYuvF709Constants);
  alignas(64) static const libyuv::YuvConstants k2020_limited =
      limited_luma_full_chroma(libyuv::kYuv2020Constants, libyuv::kYuvV2020Constants);
  if (family == k709) return {&k709_limited, true};
  if (family == k2020) return {&k2020_limited, true};
  return {&k601_limited, true};
#else
  if (family == k709) return {&libyuv::kYuvH709Constants, false};
  if (family == k2020) return {&libyuv::kYuv2020Constants, false};
  return {&libyuv::kYuvI601Constants, false};
#endif
}

// Limited-range chroma (16..240 around 128) to full range: 128 + (c - 128) * 255 / 224,
// rounded, clamped. The product is floor((d << 7) * 1166 >> 16), twice the scaled value, so
// halving it with +1 rounds; the SSE2 and scalar paths give identical bytes.
void stretch_chroma(const std::uint8_t* src, std::uint8_t* dst, std::size_t n) {
  std::size_t i = 0;
#ifdef __SSE2__
  const __m128i zero = _mm_setzero_si128();
  const __m128i mid = _mm_set1_epi16(128);
  const __m128i scale = _mm_set1_epi16(1166);
  const __m128i one = _mm_set1_epi16(1);
  auto half = [&](__m128i v) {
    const __m128i d = _mm_slli_epi16(_mm_sub_epi16(v, mid), 7);
    const __m128i twice = _mm_mulhi_epi16(d, scale);
    return _mm_add_epi16(_mm_srai_epi16(_mm_add_epi16(twice, one), 1), mid);
  };
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    const __m128i out = _mm_packus_epi16(half(_mm_unpacklo_epi8(v, zero)),
                                         half(_mm_unpackhi_epi8(v, zero)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), out);
  }
#endif
  for (; i < n; ++i) {
    const int twice = ((src[i] - 128) * 128 * 1166) >> 16;
    dst[i] = static_cast<std::uint8_t>(std::clamp(((twice + 1) >> 1) + 128, 0, 255));
  }
}

void map_or_fail(MappedFrame& frame, GstVideoInfo& info, GstBuffer* buffer) {
  if (!frame.map(&info, buffer)) {
    fail("cannot map the " + std::to_string(gst_buffer_get_size(buffer)) + "-byte buffer of a " +
         std::to_string(info.width) + "x" + std::to_string(info.height) + " " +
         gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(&info)) + " sample");
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
  const Matrix matrix = yuv_matrix(frame.info.colorimetry);
  const bool i420 = fmt == GST_VIDEO_FORMAT_I420;

  // For NV12 `u` is the interleaved UV plane and `v` is unused.
  const PlaneView y = checked_plane(frame, 0, w, h);
  const PlaneView u = checked_plane(frame, 1, i420 ? cw : cw * 2, ch);
  const PlaneView v = i420 ? checked_plane(frame, 2, cw, ch) : PlaneView{nullptr, 0};
  auto pixels = std::make_shared_for_overwrite<std::uint8_t[]>(stride * h);

  auto convert = [&](int row, int rows, const PlaneView& pu, const PlaneView& pv) {
    const std::uint8_t* py = y.data + static_cast<std::size_t>(row) * y.stride;
    std::uint8_t* out = pixels.get() + static_cast<std::size_t>(row) * stride;
    const int out_stride = static_cast<int>(stride);
    return i420 ? libyuv::I420ToRGB24Matrix(py, y.stride, pu.data, pu.stride, pv.data, pv.stride,
                                            out, out_stride, matrix.constants, width, rows)
                : libyuv::NV12ToRGB24Matrix(py, y.stride, pu.data, pu.stride, out, out_stride,
                                            matrix.constants, width, rows);
  };

  int rc = 0;
  if (!matrix.stretch_chroma) {
    rc = convert(0, height, u, v);
  } else {
    // Stretch the chroma a band at a time into a small buffer that stays in cache.
    constexpr int kBandRows = 32;  // even, so every band starts on a chroma row
    const std::size_t row_bytes = i420 ? cw : cw * 2;
    const std::size_t band_size = row_bytes * (kBandRows / 2);
    std::vector<std::uint8_t> band(i420 ? 2 * band_size : band_size);
    std::uint8_t* band_u = band.data();
    std::uint8_t* band_v = band.data() + (i420 ? band_size : 0);
    const PlaneView stretched_u{band_u, static_cast<int>(row_bytes)};
    const PlaneView stretched_v{band_v, static_cast<int>(row_bytes)};
    for (int row = 0; row < height && rc == 0; row += kBandRows) {
      const int rows = std::min(kBandRows, height - row);
      const std::size_t first = static_cast<std::size_t>(row) / 2;
      const std::size_t count = (static_cast<std::size_t>(rows) + 1) / 2;
      for (std::size_t r = 0; r < count; ++r) {
        stretch_chroma(u.data + (first + r) * u.stride, band_u + r * row_bytes, row_bytes);
        if (i420) {
          stretch_chroma(v.data + (first + r) * v.stride, band_v + r * row_bytes, row_bytes);
        }
      }
      rc = convert(row, rows, stretched_u, stretched_v);
    }
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
  } else if (gst_buffer_get_size(buffer) < info.size) {
    // Without a meta the layout is the default one for the caps. (With one, the planes are
    // checked after mapping.)
    fail("buffer too small for its caps: " + std::to_string(gst_buffer_get_size(buffer)) +
         " bytes, " + std::to_string(width) + "x" + std::to_string(height) + " " +
         gst_video_format_to_string(fmt) + " needs " + std::to_string(info.size));
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
