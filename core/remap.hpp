// Reprojection of frames and exclusion masks between two camera models that
// share one boresight orientation: a bench fisheye frame into an all-sky circle,
// a mask predicted on the all-sky form back to camera pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/error.hpp"
#include "core/image.hpp"
#include "core/plate.hpp"

namespace stelvane {

// Largest image or mask either side of a remap may have, pixels (2^28; exactly 2^28 passes).
// It bounds every allocation: at most 512 MiB for a 16-bit output.
inline constexpr std::uint64_t kRemapPixelLimit = 268435456;

// width * height, or BadImage "{label} {width}x{height} overflows a pixel count" when the
// product does not fit 64 bits, or "{label} {width}x{height} is {count} pixels, over the
// 268435456 limit" above kRemapPixelLimit.
Result<std::uint64_t> pixel_count(std::string_view label, std::uint64_t width, std::uint64_t height);

// Whether camera.vec_to_pixel(v) yields a pixel, by the camera's own field rule but without
// computing the pixel (which costs an atan2 and a sine and cosine): a pinhole sees directions
// with z > 1e-12, a fisheye those less than half its field from the boresight (the field is
// open at its edge). A NaN component passes, as it does in vec_to_pixel.
bool in_field(const Camera& camera, const Vec3& v);

// Given a source frame and its camera, returns the dst_width x dst_height frame seen by
// `dst_camera` (same orientation, no rotation): each destination pixel centre is turned
// into a direction by the destination camera, projected through the source camera and
// sampled bilinearly (rounded half away from zero). A pixel whose direction is not finite,
// lies outside either lens's field, or lands outside the source footprint
// -0.5 <= u < Ws - 0.5, -0.5 <= v < Hs - 0.5 holds `fill`.
// BadImage (checked in this order): the source extent over the limit, the source buffer
// not matching its extent, the destination extent over the limit.
Result<OwnedImage> remap_image(const GrayImage& source, const Camera& source_camera, const Camera& dst_camera,
                               std::uint64_t dst_width, std::uint64_t dst_height, std::uint16_t fill);

// The same remapping for an exclusion mask, sampled nearest-neighbour (coordinates rounded half
// away from zero) so every flag is one of the source's; an uncovered destination pixel is
// true (excluded). The checks are those of remap_image with the mask labels.
Result<OwnedMask> remap_mask(const PixelMask& source, const Camera& source_camera, const Camera& dst_camera,
                             std::uint64_t dst_width, std::uint64_t dst_height);

}  // namespace stelvane
