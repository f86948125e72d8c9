#pragma once
// Fast box scaling of one 8-bit plane by the ratios 1080p and 4K pictures take to 640x360.
#include <cstdint>

namespace strovix::detail {

// Scales `src` to `dst` with a box (area) filter when the ratio is 3:1, 6:1 or 3:2 in both
// directions and returns true; returns false, touching nothing, for any other ratio.
bool box_scale_plane(const std::uint8_t* src, int src_stride, int src_width, int src_height,
                     std::uint8_t* dst, int dst_stride, int dst_width, int dst_height);

}  // namespace strovix::detail
