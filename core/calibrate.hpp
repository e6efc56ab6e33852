// Lens calibration from the sky: the focal length, principal point and (for fisheye
// and distorted lenses) k1..k4 fitted to the stars of one or more frames of one
// camera, starting from the user's nominal lens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "core/calibrate_model.hpp"
#include "core/catalog.hpp"
#include "core/centroid.hpp"
#include "core/error.hpp"
#include "core/image.hpp"
#include "core/plate.hpp"
#include "core/vec.hpp"

namespace stelvane {

// One frame of a calibration: an image to detect stars in (the matched-filter
// detector), or detections made elsewhere.
struct CalibrationFrame {
    std::variant<GrayImage, std::span<const Centroid>> source;
    std::optional<double> jd;      // UTC Julian Date of the exposure: apparent places of date
    std::optional<Vec3> up_cam;    // local vertical in the camera frame: refraction
};

struct CalibrationSettings {
    // The first guess, the focal rule applied (focal_px 0: the ideal fisheye's focal,
    // derived from the extent).
    LensSpec guess;
    std::uint32_t width = 0;   // the frames' extent; every image frame must have it
    std::uint32_t height = 0;
    // k1..k4 fitted: for a fisheye guess by default; for a pinhole guess the lens is then
    // fitted as the calibrated-fisheye polynomial (radial distortion).
    std::optional<bool> fit_distortion;
    double scale_tolerance = 0.05;              // the guess's focal is within this fraction
    std::optional<double> centre_tolerance_px;  // its principal point within this; absent: 2 % of the larger side
    std::optional<double> sigma_arcmin;         // a star's standard deviation, as in a solve
    std::size_t max_stars = 300;                // brightest detections used per frame
    // Images are searched with the matched-filter detector of this PSF width (pixels; finite
    // and in (0, 64], the caller's duty), which finds fainter stars than the solve's own.
    double psf_sigma_px = 1.0;
    double max_residual_rms_px = 1.0;           // a larger fitted residual refuses the model
};

// One identified star with its residual (measured minus predicted pixel).
struct CalibratedStar {
    std::size_t frame = 0;  // index of the frame in the call
    std::uint32_t hr = 0;
    double x = 0.0;
    double y = 0.0;
    double dx = 0.0;
    double dy = 0.0;
};

struct LensCalibration {
    // The fitted lens as the solves take it: a pinhole, or the calibrated fisheye (the
    // focal rule's "any non-zero k": a fitted equidistant lens carries k4 =
    // EQUIDISTANT_MARKER_K4, which moves no pixel).
    LensSpec lens;
    std::vector<LensParameter> parameters;  // the fitted ones, in parameter order
    std::vector<double> covariance;         // parameters.size()^2, row-major
    double residual_rms_px = 0.0;
    std::vector<CalibratedStar> stars;      // with the fitted lens
    std::vector<CalibratedStar> initial;    // the same stars with the first guess (attitudes refitted)
    std::vector<std::size_t> frame_stars;   // stars used per frame of the call (0: not identified)
    std::size_t n_rejected = 0;             // identified stars rejected as outliers
    std::uint32_t width = 0;
    std::uint32_t height = 0;

    // The smallest k4 that makes the focal rule take the fitted focal of an equidistant
    // fisheye: 1e-30 theta^9 stays below 1e-28 rad for every theta up to pi.
    static constexpr double EQUIDISTANT_MARKER_K4 = 1e-30;
};

// Fixed constants of a calibration.
namespace calibrate_constants {
inline constexpr std::size_t MIN_STARS = 8;               // never fewer stars than this in a fit
inline constexpr double OUTLIER_SIGMAS = 5.0;             // residuals beyond are rejected
inline constexpr double MIN_OUTLIER_PX = 0.05;            // ... but never below this length
inline constexpr double MIN_ALTITUDE_RAD = 0.17453292519943295;  // 10 deg: lower stars are left out (vertical given)
inline constexpr double DOUBLE_STAR_PX = 3.0;             // a star this close to another ...
inline constexpr double DOUBLE_STAR_DMAG = 3.0;           // ... at most this much fainter is left out
// The 90th-percentile radius of the stars must reach this fraction of the frame's
// half-diagonal (a fisheye's lens circle): scale only, and with distortion.
inline constexpr double MIN_COVERAGE_SCALE = 0.3;
inline constexpr double MIN_COVERAGE_DISTORTION = 0.5;
inline constexpr double DEFAULT_CENTRE_TOLERANCE = 0.02;  // of the larger frame side
}  // namespace calibrate_constants

// Identifies the stars of every frame under the guess's scale and centre tolerances,
// fits the lens to all of them (one attitude per frame, shared intrinsics, robust
// weights, outliers rejected, stars re-identified with the improved lens), and checks
// every frame's identification with the solve's own matcher at the fitted lens.
// Fails: BadImage for an image frame of another extent or a detector refusal;
// CalibrationRefused when no frame is identified, too few stars remain, the stars
// crowd the centre, or the residual exceeds max_residual_rms_px.
Result<LensCalibration> calibrate_lens(std::span<const CalibrationFrame> frames, const Catalog& catalog,
                                       const CalibrationSettings& settings);

}  // namespace stelvane
