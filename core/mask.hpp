// The foreground obstruction mask: trees, rooflines and furniture found in the
// frame itself as dense clusters of bright pixels, grown by a fixed margin, so
// that the detectors can skip them without a hand-drawn mask.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/image.hpp"
#include "core/robust.hpp"

namespace stelvane {

// Constants of the foreground rule, measured on real frames of the rig.
inline constexpr double kForegroundSigmas = 2.5;         // bright: above median + 2.5 robust sigma
inline constexpr std::size_t kForegroundBox = 61;        // side of the square density box, pixels
inline constexpr std::size_t kForegroundBoxHalf = 30;    // (kForegroundBox - 1) / 2
inline constexpr double kForegroundDensity = 0.1;        // dense: more than this share of the box bright
inline constexpr std::uint32_t kForegroundGrowth = 15;   // city-block growth of the dense region, pixels
inline constexpr std::uint32_t kDistanceInfinity = 2147483647;  // "no dense pixel reachable"

struct ForegroundMask {
    OwnedMask mask;        // true = foreground (not sky)
    double fraction = 0;   // flagged pixels / (width * height)
};

// Given a frame, returns its foreground mask: a pixel is bright when strictly above
// m + 2.5 * 1.4826 * MAD (m the true median, the mean of the two middle values for an
// even count; MAD likewise), dense when more than 10 per cent of the 61 x 61 box centred
// on it (mirrored at the borders) is bright, and flagged when within city-block distance
// 15 of a dense pixel. BadImage when width * height is 0 or differs from the pixel count.
// Cost O(width * height) with fixed-size histograms; no sort.
Result<ForegroundMask> foreground_mask(const GrayImage& image);

// The mean of `plane` (width * height doubles, row-major) over the 61 x 61 box centred on
// each pixel, the line extended by 30 mirrored samples at each end (the border sample
// repeated; short lines reflect back and forth): a 61-sample running mean along every
// row by prefix sums, then the same along every column of the row result. Empty when the
// plane is empty or does not hold width * height values.
std::vector<double> box_mean(std::span<const double> plane, std::size_t width, std::size_t height);

// Exact city-block (4-neighbour) distance of every pixel to the nearest non-zero entry of
// `seeds` (width * height bytes, row-major) by two raster passes; kDistanceInfinity where
// no seed exists. Empty when `seeds` is empty or does not hold width * height entries.
std::vector<std::uint32_t> city_block_distance(std::span<const std::uint8_t> seeds, std::size_t width,
                                               std::size_t height);

// Index of the sample that position i (any integer) of a mirrored line of length
// `length` >= 1 reads: -1 -> 0, -2 -> 1, length -> length - 1, repeated as often as needed
// (0 for an empty line).
std::size_t mirror_index(std::ptrdiff_t i, std::size_t length);

}  // namespace stelvane
