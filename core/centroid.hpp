// Image analysis for star detection: the tiled background mesh and robust noise
// figure, the connected-component and matched-filter star detectors with their
// log-parabola sub-pixel refinement, and the solar-disc detector.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/image.hpp"

namespace stelvane {

// One detection. x is the column and y the row in pixels, the centre of pixel
// (x, y) being at (x, y). flux only orders detections; each detector has its own
// scale (summed residual counts, a filtered peak value, a disc's summed excess).
struct Centroid {
    double x = 0.0;
    double y = 0.0;
    double flux = 0.0;
    bool operator==(const Centroid&) const = default;
};

// Side of the square background tiles, pixels.
inline constexpr std::size_t kBackgroundTile = 32;

// The sky background plane of `image` (width * height doubles, row-major):
// the upper median of each 32 x 32 tile's unmasked pixels, interpolated
// bilinearly between tile centres and held constant beyond the outermost ones.
// A tile with no unmasked pixel takes the upper median of the whole frame's
// unmasked pixels (0 when there is none).
// Assumes width * height >= 1 pixels and a mask, if any, of the same shape.
std::vector<double> estimate_background(const GrayImage& image, std::optional<PixelMask> mask);

// 1.4826 x the median absolute deviation (upper medians) of pixel - background
// over the unmasked pixels; nothing when every pixel is masked.
// Assumes `background` holds width * height values and the mask matches the image.
std::optional<double> residual_robust_std(const GrayImage& image, std::span<const double> background,
                                          std::optional<PixelMask> mask);

// Sub-pixel index of a profile's peak: the vertex of the parabola through the
// logarithms of the largest sample (first on ties) and its two neighbours, exact
// for a Gaussian. Nothing when the profile has fewer than 3 samples, the peak is
// at either end, a sample of the three is not positive, the log-profile is not
// concave there, or the vertex lies more than one index from the peak.
std::optional<double> log_parabola_peak(std::span<const double> profile);

// Stars as 4-connected components of pixels at least max(5 sigma, 2048) counts
// above the background mesh, sigma from residual_robust_std. A component is
// dropped when it reaches the frame border or a masked pixel (true = not sky),
// or has fewer than 3 or more than 400 pixels. Positions come from the marginal
// profiles of the component's box grown by 3 pixels (log_parabola_peak, else the
// residual-weighted mean); flux is the summed residual. Brightest first (stable
// on equal flux), at most max_count. BadImage when the pixel count or the mask
// shape does not match the frame.
Result<std::vector<Centroid>> detect_centroids_masked(const GrayImage& image, std::size_t max_count,
                                                      std::optional<PixelMask> mask);

// detect_centroids_masked without a mask.
Result<std::vector<Centroid>> detect_centroids(const GrayImage& image, std::size_t max_count);

// Normalised Gaussian taps exp(-i^2 / (2 sigma^2)) for i = -r..r, r = max(ceil(3 sigma), 1).
std::vector<double> gaussian_kernel(double sigma);

// Stars as 5 x 5 local maxima of the background residual convolved with a
// Gaussian of psf_sigma_px (borders repeat edge pixels), at least 4 robust sigma
// of the filtered surface above zero, refined with log_parabola_peak on the
// surface. flux is the filtered peak value. Brightest first, at most max_count.
// psf_sigma_px is taken on trust (finite and in (0, 64] is the caller's duty).
// BadImage when the pixel count does not match the frame.
Result<std::vector<Centroid>> detect_centroids_matched(const GrayImage& image, std::size_t max_count,
                                                       double psf_sigma_px);

// The solar disc: the largest 4-connected region (first found on equal size) of
// at least min_area unmasked pixels at or above m + max(5 x 1.4826 x MAD, 2048),
// m being the frame's upper median; centroid weighted by value - m, flux the sum
// of value - m. Nothing when no region qualifies or the shapes do not match.
std::optional<Centroid> detect_sun_masked(const GrayImage& image, std::size_t min_area,
                                          std::optional<PixelMask> mask);

}  // namespace stelvane
