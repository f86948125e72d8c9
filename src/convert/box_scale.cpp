// Area (box) scaling by the ratios that take a camera's 1080p or 4K picture to a model's
// 640x360: 3:1 and 6:1 for luma, 3:2 and 3:1 for its 4:4:4 chroma. libyuv's box filter adds up
// the columns of these ratios one pixel at a time. Here the rows are summed by loops left to
// the auto-vectoriser (this file is built with -O3), the columns of the 3:1 and 3:2 steps by
// SSSE3 shuffles where the CPU has them.
#include "convert/box_scale.hpp"

#include <cstddef>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define STROVIX_BOX_SSSE3 1
#endif

namespace strovix::detail {
namespace {

// Row sums of up to 6x6 pixels (at most 3 x 765 for the 3:2 weights) fit 16 bits.
std::vector<std::uint16_t>& row_sums(std::size_t size) {
  thread_local std::vector<std::uint16_t> rows;
  if (rows.size() < size) rows.resize(size);
  return rows;
}

#ifdef STROVIX_BOX_SSSE3
bool has_ssse3() {
  static const bool yes = __builtin_cpu_supports("ssse3");
  return yes;
}

// A byte shuffle that moves 16-bit lanes into place; -1 leaves a lane zero.
struct LaneMask {
  alignas(16) std::int8_t bytes[16];
};
constexpr LaneMask lanes(const int (&from)[8]) {
  LaneMask m{};
  for (int i = 0; i < 8; ++i) {
    m.bytes[2 * i] = static_cast<std::int8_t>(from[i] < 0 ? -128 : 2 * from[i]);
    m.bytes[2 * i + 1] = static_cast<std::int8_t>(from[i] < 0 ? -128 : 2 * from[i] + 1);
  }
  return m;
}
constexpr int n = -1;
// For each of the three outputs, which lanes of the first, second and third input it takes.
constexpr LaneMask kThirds[3][3] = {
    {lanes({0, 3, 6, n, n, n, n, n}), lanes({n, n, n, 1, 4, 7, n, n}),
     lanes({n, n, n, n, n, n, 2, 5})},
    {lanes({1, 4, 7, n, n, n, n, n}), lanes({n, n, n, 2, 5, n, n, n}),
     lanes({n, n, n, n, n, 0, 3, 6})},
    {lanes({2, 5, n, n, n, n, n, n}), lanes({n, n, 0, 3, 6, n, n, n}),
     lanes({n, n, n, n, n, 1, 4, 7})},
};

// Every third of 24 consecutive 16-bit values, starting at the `k`th.
__attribute__((target("ssse3"))) inline __m128i third(__m128i v0, __m128i v1, __m128i v2, int k) {
  const auto mask = [&](int i) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(kThirds[k][i].bytes));
  };
  return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(v0, mask(0)), _mm_shuffle_epi8(v1, mask(1))),
                      _mm_shuffle_epi8(v2, mask(2)));
}

__attribute__((target("ssse3"))) inline void split_thirds(const std::uint16_t* a, __m128i& p,
                                                          __m128i& q, __m128i& r) {
  const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
  const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 8));
  const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 16));
  p = third(v0, v1, v2, 0);
  q = third(v0, v1, v2, 1);
  r = third(v0, v1, v2, 2);
}

// (s + 4) / 9 for s up to 9 x 255, as the scalar loops compute it.
__attribute__((target("ssse3"))) inline __m128i ninths(__m128i s) {
  return _mm_mulhi_epu16(_mm_add_epi16(s, _mm_set1_epi16(4)), _mm_set1_epi16(7282));
}

// Eight outputs at a time of the 3:1 box's columns; returns how many outputs it wrote.
__attribute__((target("ssse3"))) int thirds_ssse3(const std::uint16_t* acc, std::uint8_t* out,
                                                  int w) {
  int x = 0;
  for (; x + 8 <= w; x += 8) {
    __m128i p, q, r;
    split_thirds(acc + static_cast<std::size_t>(x) * 3, p, q, r);
    const __m128i mean = ninths(_mm_add_epi16(_mm_add_epi16(p, q), r));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(mean, mean));
  }
  return x;
}

// Sixteen outputs at a time of the 3:2 box's columns, from `pairs` output pairs; returns how
// many pairs it wrote.
__attribute__((target("ssse3"))) int three_to_two_ssse3(const std::uint16_t* a, std::uint8_t* out,
                                                        int pairs) {
  int x = 0;
  for (; x + 8 <= pairs; x += 8) {
    __m128i p, q, r;
    split_thirds(a + static_cast<std::size_t>(x) * 3, p, q, r);
    const __m128i even = ninths(_mm_add_epi16(_mm_add_epi16(p, p), q));
    const __m128i odd = ninths(_mm_add_epi16(_mm_add_epi16(r, r), q));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * x),
                     _mm_packus_epi16(_mm_unpacklo_epi16(even, odd), _mm_unpackhi_epi16(even, odd)));
  }
  return x;
}
#endif

// Every output pixel the rounded mean of a K x K block.
template <int K>
void box_whole(const std::uint8_t* src, int src_stride, std::uint8_t* dst, int dst_stride, int w,
               int h) {
  constexpr std::uint32_t kHalf = K * K / 2;
  // (s + kHalf) * kMul >> 24 == (s + kHalf) / (K * K) for every sum of K * K bytes, in 32 bits.
  constexpr std::uint32_t kMul = ((1u << 24) + K * K - 1) / (K * K);
  const std::size_t sw = static_cast<std::size_t>(w) * K;
  std::uint16_t* acc = row_sums(sw).data();
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* row = src + static_cast<std::size_t>(y) * K * src_stride;
    for (std::size_t x = 0; x < sw; ++x) acc[x] = row[x];
    for (int i = 1; i < K; ++i) {
      const std::uint8_t* next = row + static_cast<std::size_t>(i) * src_stride;
      for (std::size_t x = 0; x < sw; ++x) acc[x] = static_cast<std::uint16_t>(acc[x] + next[x]);
    }
    std::uint8_t* out = dst + static_cast<std::size_t>(y) * dst_stride;
    int x = 0;
#ifdef STROVIX_BOX_SSSE3
    if constexpr (K == 3) {
      if (has_ssse3()) x = thirds_ssse3(acc, out, w);
    }
#endif
    for (; x < w; ++x) {
      std::uint32_t s = kHalf;
      for (int i = 0; i < K; ++i) s += acc[static_cast<std::size_t>(x) * K + i];
      out[x] = static_cast<std::uint8_t>((s * kMul) >> 24);
    }
  }
}

// 3:2 in both directions: each output pixel covers 1.5 x 1.5 source pixels, so the source
// pixels weigh 2/3 and 1/3 (the exact area of each under the output pixel).
void box_three_to_two(const std::uint8_t* src, int src_stride, std::uint8_t* dst, int dst_stride,
                      int w, int h) {
  const std::size_t sw = static_cast<std::size_t>(w) / 2 * 3;
  std::uint16_t* top = row_sums(2 * sw).data();
  std::uint16_t* bottom = top + sw;
  for (int y = 0; y < h; y += 2) {
    const std::uint8_t* r0 = src + static_cast<std::size_t>(y / 2) * 3 * src_stride;
    const std::uint8_t* r1 = r0 + src_stride;
    const std::uint8_t* r2 = r1 + src_stride;
    for (std::size_t x = 0; x < sw; ++x) {
      top[x] = static_cast<std::uint16_t>(2 * r0[x] + r1[x]);
      bottom[x] = static_cast<std::uint16_t>(r1[x] + 2 * r2[x]);
    }
    for (int j = 0; j < 2; ++j) {
      const std::uint16_t* a = j ? bottom : top;
      std::uint8_t* out = dst + static_cast<std::size_t>(y + j) * dst_stride;
      int x = 0;
#ifdef STROVIX_BOX_SSSE3
      if (has_ssse3()) x = three_to_two_ssse3(a, out, w / 2);
#endif
      for (; x < w / 2; ++x) {
        const std::uint32_t p = a[3 * x];
        const std::uint32_t q = a[3 * x + 1];
        const std::uint32_t s = a[3 * x + 2];
        // (sum + 4) / 9 for sums up to 9 x 255, as a multiplication.
        out[2 * x] = static_cast<std::uint8_t>(((2 * p + q + 4) * 7282u) >> 16);
        out[2 * x + 1] = static_cast<std::uint8_t>(((q + 2 * s + 4) * 7282u) >> 16);
      }
    }
  }
}

}  // namespace

bool box_scale_plane(const std::uint8_t* src, int src_stride, int src_width, int src_height,
                     std::uint8_t* dst, int dst_stride, int dst_width, int dst_height) {
  if (dst_width <= 0 || dst_height <= 0) return false;
  const auto ratio = [&](int num, int den) {
    return static_cast<long long>(src_width) * den == static_cast<long long>(dst_width) * num &&
           static_cast<long long>(src_height) * den == static_cast<long long>(dst_height) * num;
  };
  if (ratio(3, 1)) {
    box_whole<3>(src, src_stride, dst, dst_stride, dst_width, dst_height);
  } else if (ratio(6, 1)) {
    box_whole<6>(src, src_stride, dst, dst_stride, dst_width, dst_height);
  } else if (ratio(3, 2)) {
    box_three_to_two(src, src_stride, dst, dst_stride, dst_width, dst_height);
  } else {
    return false;
  }
  return true;
}

}  // namespace strovix::detail
