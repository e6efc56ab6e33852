// The least-squares fit of a lens calibration: shared intrinsics (any subset of
// focal, principal point and k1..k4) and one attitude per frame, from identified
// stars' pixels, by Levenberg-Marquardt with optional Huber weights.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include <Eigen/Core>

#include "core/calibrate_model.hpp"
#include "core/error.hpp"
#include "core/plate.hpp"
#include "core/vec.hpp"

namespace stelvane {

// One identified star of one frame.
struct FitStar {
    std::size_t frame = 0;  // index into the frames
    Vec3 sky;               // catalog-axes direction (FrameSky::sky_direction)
    double x = 0.0;         // measured pixel column and row
    double y = 0.0;
};

struct FitSettings {
    std::array<bool, kLensParameterCount> free{};  // which intrinsics move
    bool robust = true;  // Huber weights at HUBER_K robust sigmas; false: plain least squares
    std::size_t max_iterations = 60;

    // Residuals beyond this many robust sigmas are down-weighted.
    static constexpr double HUBER_K = 2.0;
};

struct LensFit {
    LensModel lens;
    std::vector<Mat3> rotations;  // per frame: camera -> catalog axes (sky = rotation * camera)
    // Per star, measured minus predicted pixel; NaN when the star left the field.
    std::vector<Pixel> residuals;
    std::vector<LensParameter> free;  // the fitted intrinsics, in parameter order
    // Covariance of the fitted intrinsics (in `free` order; pixels^2 for focal and centre,
    // k's dimensionless), with the attitudes marginalised, scaled by the a-posteriori
    // variance of unit weight (residual sum of squares over 2 N - parameters).
    Eigen::MatrixXd covariance;
    double rms_px = 0.0;  // root mean square of the residual vectors' lengths, stars in the field
};

// Fits the free intrinsics of `start` and every frame's rotation to the stars. Frames
// without stars keep their rotation. Fails with InsufficientStars when the stars in the
// field give fewer observations (two each) than there are parameters, SingularGeometry
// when the normal equations cannot be solved.
Result<LensFit> fit_lens(const LensModel& start, std::span<const Mat3> rotations, std::span<const FrameSky> frames,
                         std::span<const FitStar> stars, const FitSettings& settings);

// A robust standard deviation per axis of 2-D residuals: the median length over
// sqrt(2 ln 2) (the median of a Rayleigh distribution), NaN residuals skipped; 0 when none.
double robust_sigma_px(std::span<const Pixel> residuals);

}  // namespace stelvane
