// The position fix: the single-image solve from detections to latitude and
// longitude (identification, attitude, altitudes, least squares, health gates),
// the 2-sigma ellipse of a fix and great-circle distances between fixes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/bodies.hpp"
#include "core/catalog.hpp"
#include "core/centroid.hpp"
#include "core/error.hpp"
#include "core/image.hpp"
#include "core/nonstars.hpp"
#include "core/plate.hpp"
#include "core/vec.hpp"

namespace stelvane {

// Great-circle distance between two positions (haversine), in nautical miles:
// one nautical mile per arcminute of arc, so no Earth radius enters.
// Given: latitudes and longitudes in degrees (not range-checked).
// Exactly antipodal points give 10800: the haversine term is clamped to 1 so that
// rounding never turns the distance into NaN. NaN inputs give NaN.
double great_circle_nm(double lat1_deg, double lon1_deg, double lat2_deg, double lon2_deg);

struct EllipseNm {
    double semi_major_nm;    // >= semi_minor_nm
    double semi_minor_nm;
    double orientation_deg;  // azimuth of the major axis, north through east, in (-90, 90]
};

// The 2-sigma ellipse of a least-squares fix from altitude sights at the given
// azimuths (radians from north through east), each with standard deviation
// sigma_rad. Returns nothing when the lines of position are (nearly) parallel.
// Makes one pass and allocates nothing.
std::optional<EllipseNm> azimuth_ellipse_2sigma(std::span<const double> azimuths_rad, double sigma_rad);

// The 2-sigma ellipse of a north/east covariance (radians squared).
EllipseNm ellipse_2sigma_from_covariance(double var_north, double var_east, double cov_ne);


// Fixed constants of the solve.
namespace fix_constants {
inline constexpr double MIN_ALTITUDE_RAD = 0.2617993877991494;     // 15 deg
inline constexpr double MATCH_TOLERANCE_FLOOR_RAD = 0.0011635528346628863;  // 4 arcmin
inline constexpr double SUN_SIGMA_RAD = 0.0002908882086657216;     // 1 arcmin
inline constexpr std::size_t SUN_MIN_AREA = 300;
inline constexpr std::size_t DEFAULT_MAX_CENTROIDS = 12;
inline constexpr std::size_t TRIANGLE_STARS_FISHEYE = 12;
inline constexpr std::size_t TRIANGLE_STARS_PINHOLE = 5;
inline constexpr double UP_NORM_FLOOR = 1e-9;
}  // namespace fix_constants

// Per-solve tuning, built once per call and read-only during the solve.
struct SolveConfig {
    std::optional<std::size_t> min_matched_stars;      // absent: no gate
    std::optional<double> max_residual_rms_rad;        // absent: no gate
    std::optional<double> max_reference_age_s;         // tracker only
    std::optional<double> max_disambiguation_distance_nm;  // tracker only
    double match_tolerance_rad = fix_constants::MATCH_TOLERANCE_FLOOR_RAD;
    double min_altitude_rad = fix_constants::MIN_ALTITUDE_RAD;
    std::size_t max_centroids = fix_constants::DEFAULT_MAX_CENTROIDS;
    double sigma_rad = 0.0;
    std::size_t triangle_stars = fix_constants::TRIANGLE_STARS_PINHOLE;
    double sun_sigma_rad = fix_constants::SUN_SIGMA_RAD;
    std::size_t sun_min_area = fix_constants::SUN_MIN_AREA;
    bool use_sun = false;
    // Saturated regions at least this large are blown out (min_blown_out_area of the camera).
    std::size_t blown_out_min_area = nonstar_constants::MIN_BLOWN_OUT_AREA;
};

// One observation that entered the fit, as an error budget needs it: where it was
// seen, where it stands at the fitted position and how far the fit left it.
struct Sight {
    std::uint32_t hr = 0;        // the star's HR number; 0 for the Sun
    Pixel pixel{0.0, 0.0};       // measured centre, pixels (its direction projected back through the camera)
    double azimuth_rad = 0.0;    // at the fitted position, north through east
    double altitude_rad = 0.0;   // measured, refraction removed
    double sigma_rad = 0.0;      // the standard deviation the fit weighted it by
    double residual_rad = 0.0;   // measured less computed altitude at the fitted position
};

struct PositionFix {
    double latitude_deg = 0.0;   // north positive, not clamped
    double longitude_deg = 0.0;  // east positive, in (-180, 180]
    std::array<std::array<double, 2>, 2> covariance{};  // [[var_n, cov_ne], [cov_ne, var_e]], rad^2
    EllipseNm ellipse_2sigma_nm{};
    std::vector<std::uint32_t> matched_hr_ids;  // stars that entered the fit, correspondence order
    std::size_t n_iterations = 0;
    bool used_sun = false;
    double residual_rms_rad = 0.0;
    std::size_t match_margin = 0;
    std::array<double, 4> attitude{};  // camera-to-catalog rotation as a unit quaternion (x, y, z, w)
    // The observation geometry behind the covariance, for error budgets.
    std::vector<Sight> sights;                // fit order: the stars of matched_hr_ids, then the Sun
    std::array<double, 3> up_unit{};          // the unit up vector the altitudes were measured against
    double jd = 0.0;                          // the instant solved for, UTC Julian Date
    double arcmin_per_pixel = 0.0;            // the camera's pixel scale on the boresight
    std::vector<Body> bodies_seen;     // planets and Moon found in the frame where the fix puts them
    // The lens check: the factor the identified stars ask of the lens's focal_px (1 for a
    // good lens) and its standard error (core/calibrate_scale.hpp); NaN when the stars cannot tell.
    double plate_scale_ratio = 0.0;
    double plate_scale_ratio_sigma = 0.0;
};

struct StarsAndSun {
    std::vector<Centroid> centroids;  // brightest first, not yet truncated to max_centroids
    std::optional<Pixel> sun;
    std::optional<Pixel> blown_out;   // centre of the largest blown-out region, if any
};

// Finds the Sun (when configured) and every star detection, then drops the detections in
// the Sun's glare, hot pixels and the glare of a blown-out region (drop_nonstars), and only
// then leaves the list for the solve to truncate: glare and non-stars never take the slots
// of stars.
Result<StarsAndSun> detect_stars_and_sun(const GrayImage& image, std::optional<PixelMask> mask,
                                         const SolveConfig& config);

// The camera directions of the brightest centroids (stable sort by flux in IEEE
// total order, largest first), truncated to max_centroids; index k is camera index k.
std::vector<Vec3> ordered_cam_vecs(std::span<const Centroid> centroids, const Camera& camera,
                                   std::size_t max_centroids);

// Attitude, altitudes, refraction, apparent places and the fit, from identified stars.
Result<PositionFix> resolve_from_matches(std::span<const Correspondence> correspondences, std::size_t margin,
                                         std::span<const Vec3> cam_vecs, double jd, std::optional<Pixel> sun,
                                         const Camera& camera, const Vec3& up_cam, const Catalog& catalog,
                                         const SolveConfig& config);

// The solve from a centroid list: up-vector check, directions, identification (with the
// widened search of identify_stars), fit, and the planets and Moon checked against it
// (resolve_clear_of_bodies; `blown_out` is the centre of a blown-out region, image road only).
Result<PositionFix> resolve_fix_from_centroids(std::span<const Centroid> centroids, std::optional<Pixel> sun,
                                               const Camera& camera, const Vec3& up_cam, double jd,
                                               const Catalog& catalog, const SolveConfig& config,
                                               std::optional<Pixel> blown_out);

// The up vector's unit direction, or DegenerateUp when non-finite or shorter than 1e-9.
Result<Vec3> unit_up(const Vec3& up_cam);

// ---------------------------------------------------------------------------
// Tie-breaking with a remembered position.

struct FixReference {
    double latitude_deg;   // [-90, 90]
    double longitude_deg;  // [-180, 180]
    double jd;             // finite
};

// The tracker's memory: the last healthy fix or a position supplied from outside.
class FixHistory {
public:
    // Replaces the reference; BadPosition (history unchanged) for an out-of-range
    // latitude or longitude or a non-finite date.
    Status set_last_known_position(double lat_deg, double lon_deg, double jd);
    const std::optional<FixReference>& reference() const { return reference_; }

private:
    std::optional<FixReference> reference_;
};

// The first of the configuration's two health gates, in order, that a fit of `matched`
// stars with residual `rms` (radians) fails: fewer stars than min_matched_stars, or a
// residual not within max_residual_rms_rad (a NaN residual never passes a set gate).
// Nothing when the fit is healthy or no gate is set.
std::optional<ThinLockReason> failed_health_gate(const SolveConfig& config, std::size_t matched, double rms);

// Whether a finished fix passes both health gates.
bool passes_health_gates(const SolveConfig& config, const PositionFix& fix);

// The centroid solve with memory: a healthy fix becomes the next reference, and a
// tied match is broken in favour of the candidate nearer a recent reference.
Result<PositionFix> resolve_fix_from_centroids_tracked(std::span<const Centroid> centroids, std::optional<Pixel> sun,
                                                       const Camera& camera, const Vec3& up_cam, double jd,
                                                       const Catalog& catalog, const SolveConfig& config,
                                                       std::optional<Pixel> blown_out, FixHistory& history);

}  // namespace stelvane
