// The YUV route of the sample conversion: the planes scaled first (the conversion then runs
// on the smaller picture), then converted once with the caps' colour matrix and range.
#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>

#include <algorithm>

#include "strovix/errors.hpp"
#include "convert/box_scale.hpp"
#include "convert/conversion_parts.hpp"
#include "convert/yuv_levels.hpp"

namespace strovix::detail {

[[noreturn]] void conversion_failed(const std::string& what) {
  throw SampleConversionError("sample_to_ndarray: " + what);
}

namespace {

void scale_plane(const PlaneView& src, int src_width, int src_height, std::uint8_t* dst, int width,
                 int height, libyuv::FilterMode filter) {
  if (filter == libyuv::kFilterBox &&
      box_scale_plane(src.data, src.stride, src_width, src_height, dst, width, width, height)) {
    return;
  }
  libyuv::ScalePlane(src.data, src.stride, src_width, src_height, dst, width, width, height,
                     filter);
}

}  // namespace

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
  scale_plane(in.y, in.width, in.height, y, width, height, filter);
  scale_plane(src_u, cw, ch, u, width, height, filter);
  scale_plane(src_v, cw, ch, v, width, height, filter);
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

}  // namespace strovix::detail
