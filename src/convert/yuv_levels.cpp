// Colour tables and level stretches for the YUV conversion.
#include "convert/yuv_levels.hpp"

#include <libyuv/convert_argb.h>

#include <algorithm>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace strovix::detail {
namespace {

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

}  // namespace

// Follows the colorimetry GStreamer resolved from the caps (it fills in its defaults when
// the caps carry none: BT.601 up to SD, BT.709 above, limited range). With `rgb_order` the
// tables are libyuv's mirrored ones, for U and V passed swapped: the output is then R, G, B in
// memory instead of B, G, R.
Matrix yuv_matrix(const GstVideoColorimetry& c, bool rgb_order) {
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
  const int o = rgb_order ? 1 : 0;
  if (full) {
    static const libyuv::YuvConstants* const tables[3][2] = {
        {&libyuv::kYuvJPEGConstants, &libyuv::kYvuJPEGConstants},
        {&libyuv::kYuvF709Constants, &libyuv::kYvuF709Constants},
        {&libyuv::kYuvV2020Constants, &libyuv::kYvuV2020Constants}};
    return {tables[family][o], false};
  }
#ifdef STROVIX_STRETCH_CHROMA
  // libyuv's SSE code reads these with aligned loads.
  struct alignas(64) Aligned {
    libyuv::YuvConstants k;
  };
  static const Aligned tables[3][2] = {
      {{limited_luma_full_chroma(libyuv::kYuvI601Constants, libyuv::kYuvJPEGConstants)},
       {limited_luma_full_chroma(libyuv::kYvuI601Constants, libyuv::kYvuJPEGConstants)}},
      {{limited_luma_full_chroma(libyuv::kYuvH709Constants, libyuv::kYuvF709Constants)},
       {limited_luma_full_chroma(libyuv::kYvuH709Constants, libyuv::kYvuF709Constants)}},
      {{limited_luma_full_chroma(libyuv::kYuv2020Constants, libyuv::kYuvV2020Constants)},
       {limited_luma_full_chroma(libyuv::kYvu2020Constants, libyuv::kYvuV2020Constants)}}};
  return {&tables[family][o].k, true};
#else
  static const libyuv::YuvConstants* const tables[3][2] = {
      {&libyuv::kYuvI601Constants, &libyuv::kYvuI601Constants},
      {&libyuv::kYuvH709Constants, &libyuv::kYvuH709Constants},
      {&libyuv::kYuv2020Constants, &libyuv::kYvu2020Constants}};
  return {tables[family][o], false};
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
    const __m128i out =
        _mm_packus_epi16(half(_mm_unpacklo_epi8(v, zero)), half(_mm_unpackhi_epi8(v, zero)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), out);
  }
#endif
  for (; i < n; ++i) {
    const int twice = ((src[i] - 128) * 128 * 1166) >> 16;
    dst[i] = static_cast<std::uint8_t>(std::clamp(((twice + 1) >> 1) + 128, 0, 255));
  }
}

// Limited-range luma (16..235) to full range: (y - 16) * 255 / 219, clamped. Computed as
// d + round(d * 42 / 256) with d = y - 16 (36 / 219 is 0.16438, 42 / 256 is 0.16406: at most a
// level off the exact rounding); the SSE2 and scalar paths give identical bytes. In place is
// fine (`src` == `dst`).
void stretch_luma(const std::uint8_t* src, std::uint8_t* dst, std::size_t n) {
  std::size_t i = 0;
#ifdef __SSE2__
  const __m128i zero = _mm_setzero_si128();
  const __m128i sixteen = _mm_set1_epi8(16);
  const __m128i scale = _mm_set1_epi16(84);
  const __m128i one = _mm_set1_epi16(1);
  auto full = [&](__m128i d) {
    const __m128i twice = _mm_mulhi_epu16(_mm_slli_epi16(d, 8), scale);
    return _mm_add_epi16(d, _mm_srli_epi16(_mm_add_epi16(twice, one), 1));
  };
  for (; i + 16 <= n; i += 16) {
    const __m128i d =
        _mm_subs_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)), sixteen);
    const __m128i out =
        _mm_packus_epi16(full(_mm_unpacklo_epi8(d, zero)), full(_mm_unpackhi_epi8(d, zero)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), out);
  }
#endif
  for (; i < n; ++i) {
    const int d = std::max(src[i] - 16, 0);
    const int twice = (d * 84) >> 8;
    dst[i] = static_cast<std::uint8_t>(std::min(d + ((twice + 1) >> 1), 255));
  }
}

}  // namespace strovix::detail
