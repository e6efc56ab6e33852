// Position from measured altitudes: the weighted Gauss-Newton fit of latitude
// and longitude to the altitudes of identified bodies, with its covariance.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "core/error.hpp"

namespace stelvane {

// One identified body. All angles in radians.
struct Observation {
    double ra = 0.0;     // apparent right ascension, equator and equinox of date
    double dec = 0.0;    // apparent declination, equator of date
    double alt = 0.0;    // measured geometric altitude (refraction already removed)
    double sigma = 0.0;  // standard deviation of alt; the weight is 1 / sigma^2
};

struct RefinedFix {
    // [[var_north, cov_ne], [cov_ne, var_east]], radians squared: the inverse of the
    // weighted normal matrix at the position before the final step.
    std::array<std::array<double, 2>, 2> covariance{};
    double lat_rad = 0.0;          // north positive, not clamped
    double lon_rad = 0.0;          // east positive, not wrapped (steps may carry it past +-pi)
    std::size_t n_iterations = 0;  // 1 to MAX_FIX_ITERATIONS
};

inline constexpr std::size_t MAX_FIX_ITERATIONS = 20;
// Convergence: a step shorter than this (radians of arc, about 6 mm on the ground).
inline constexpr double FIX_STEP_CONVERGED_RAD = 1e-9;
// Singular normal matrix: |det| below this fraction of its squared Frobenius norm.
inline constexpr double FIX_SINGULAR_RATIO = 1e-12;

// Altitude (radians) of the observation's body at trial position (lat_rad, lon_rad),
// for the Greenwich sidereal angle gmst_rad: asin of the clamped sine, as the fit computes it.
double computed_altitude(const Observation& observation, double gmst_rad, double lat_rad, double lon_rad);

// Azimuth (radians from north through east) of the observation's body at trial position
// (lat_rad, lon_rad), by the formula the fit linearises with.
double computed_azimuth(const Observation& observation, double gmst_rad, double lat_rad, double lon_rad);

// Fits (latitude, longitude) to the observations' altitudes by Gauss-Newton
// with the analytic Jacobian (d alt / d north = cos Az, d alt / d east = sin Az).
// Given: the observations, the Greenwich sidereal angle of the instant (held
// fixed; LST = gmst + longitude, east positive), a starting position (radians).
// Returns: the position after the last step, the iteration count and the covariance.
// Fails: InsufficientStars{2, n} for fewer than 2 observations; SingularGeometry
// when any iteration's normal matrix is non-finite, zero or nearly singular
// (parallel lines of position, NaN fields, a zero sigma).
// Not converging within 20 iterations is not an error. Allocates nothing.
Result<RefinedFix> refine_fix(std::span<const Observation> observations, double gmst_rad, double lat0_rad,
                              double lon0_rad);

}  // namespace stelvane
