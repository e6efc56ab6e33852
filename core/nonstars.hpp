// Detections that are not stars, told apart in the image before identification: hot
// pixels, sharper than any lens draws a star, and the glare around a blown-out region
// as large as the Moon's disc (the Moon, a streetlight, the Sun).
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "core/centroid.hpp"
#include "core/image.hpp"
#include "core/plate.hpp"

namespace stelvane {

namespace nonstar_constants {
// A pixel at or above 95 % of full scale is saturated.
inline constexpr std::uint16_t SATURATED_LEVEL = 62258;
// A hot pixel holds more than this share of the light of the 3 x 3 pixels around it: a
// star imaged with a PSF of sigma 0.4 px centred on a pixel holds 62 %, a wider one less.
inline constexpr double HOT_PIXEL_PEAK_SHARE = 0.7;
// No saturated region smaller than this is taken for a blown-out disc (the saturated core
// of a magnitude -1.5 star drawn with a 1.3-px PSF covers about 30 pixels).
inline constexpr std::size_t MIN_BLOWN_OUT_AREA = 50;
// The Moon's smallest apparent radius (at apogee), 14.7 arcmin, in radians.
inline constexpr double MOON_MIN_RADIUS_RAD = 0.004276056667386107;
}  // namespace nonstar_constants

// A region of saturated pixels.
struct BlownOut {
    Pixel centre;         // mean position of its pixels
    std::size_t area_px;  // its pixel count
    // Detections no farther than this from the centre lie in its glare: 4 x sqrt(area), the
    // rule that clears the Sun's glare (4 x sqrt(300) px).
    double glare_radius_px() const;
};

// The smallest blown-out region worth clearing for this camera: half the disc of the Moon
// at its smallest, never under MIN_BLOWN_OUT_AREA pixels.
std::size_t min_blown_out_area(const Camera& camera);

// The largest 4-connected region of unmasked saturated pixels with at least `min_area`
// pixels, or nothing. A frame or mask of the wrong shape gives nothing. One pass over the
// frame; only saturated pixels are stored.
std::optional<BlownOut> largest_blown_out_region(const GrayImage& image, std::optional<PixelMask> mask,
                                                 std::size_t min_area);

// Whether a detection is a hot pixel: its brightest pixel (within one pixel of the
// centroid) holds more than HOT_PIXEL_PEAK_SHARE of the light of the 3 x 3 pixels around
// it, measured above the median of the 5 x 5 block's 16 border pixels. A peak within 2
// pixels of the frame's border is never called hot.
bool looks_like_hot_pixel(const GrayImage& image, const Centroid& detection);

// Removes hot pixels and the detections in a glare from a brightest-first list, keeping the
// order. The glare is that of `known` when given (a disc already found, such as the Sun's);
// otherwise that of the largest blown-out region of at least min_area pixels, which is
// returned.
std::optional<BlownOut> drop_nonstars(const GrayImage& image, std::optional<PixelMask> mask, std::size_t min_area,
                                      std::optional<BlownOut> known, std::vector<Centroid>& detections);

}  // namespace stelvane
