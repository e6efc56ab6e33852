// Site functions: turn the caller's lens, tuning and optional tracker into the
// engine's Camera and SolveConfig, then run the solve. Every entry point (single
// image, centroids, tracker, burst of frames, scene renderer) builds them here.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "core/catalog.hpp"
#include "core/centroid.hpp"
#include "core/error.hpp"
#include "core/fix.hpp"
#include "core/image.hpp"
#include "core/plate.hpp"
#include "core/synth.hpp"

namespace stelvane {

// The caller's tuning of one solve.
struct SolveOptions {
    std::optional<std::size_t> max_centroids;
    std::optional<std::size_t> min_matched_stars;
    std::optional<double> max_residual_rms_rad;
    bool use_sun = false;
};

// The tracker's bounds, placed in the configuration of a tracked solve.
struct TrackerBounds {
    double max_reference_age_s;
    double max_disambiguation_distance_nm;
};

// A tracker's memory and bounds, lent to one solve.
struct Tracking {
    FixHistory& history;
    TrackerBounds bounds;
};

// An image to solve from, with its optional obstruction mask (true = not sky).
struct ImageSource {
    GrayImage image;
    std::optional<PixelMask> mask;
};

// What a solve starts from: an image, or centroids detected elsewhere (no Sun).
using SolveSource = std::variant<ImageSource, std::span<const Centroid>>;

// Everything else a single solve is given.
struct SolveRequest {
    LensSpec lens;
    Vec3 up_cam{0.0, 0.0, 1.0};  // local vertical in the camera frame, any length
    double jd = 0.0;             // Julian Date of the instant (UTC)
    std::optional<double> sigma_arcmin;  // absent: default_sigma_arcmin of the camera
    SolveOptions options;
};

// An image dimension as the camera's unsigned extent, saturating.
std::uint32_t saturate_u32(std::size_t n);

// round(2 * centre), halves away from zero; negative or NaN gives 0, huge values saturate.
std::uint32_t extent_from_centre(double centre);

// The configuration of a solve with this camera: sigma defaults to half a pixel,
// floored at one arcminute; the match tolerance is 4 sigma, floored at 4 arcminutes.
SolveConfig solve_config_for(const Camera& camera, std::optional<double> sigma_arcmin, const SolveOptions& options);

// The camera of a solve without an image, whose extent (needed only by the ideal
// fisheye) is derived from the principal point.
Camera camera_from_principal_point(const LensSpec& lens);

// One solve from an image or from centroids, with or without a tracker. From centroids,
// use_sun is refused (BadImage "use_sun requires the image path") before anything else;
// the camera's extent is the image's, or derived from the principal point. From an
// image, detection runs first (detect_stars_and_sun). With a tracker its bounds enter the
// configuration and the solve is resolve_fix_from_centroids_tracked on its history.
Result<PositionFix> resolve_at_site(const SolveSource& source, const SolveRequest& request, const Catalog& catalog,
                                    std::optional<Tracking> tracking = std::nullopt);

// The values of one synthesize_scene call, as the caller gave them.
struct SceneRequest {
    double lat_deg = 0.0;
    double lon_deg = 0.0;  // east positive
    double jd_ut = 0.0;
    double roll_deg = 0.0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    LensSpec lens;  // cx and cy are not read: a scene's principal point is the image centre
    float mag_limit = 6.0f;
    double pixel_noise_arcmin = 0.0;
    double up_noise_arcmin = 0.0;
    double background_noise = 0.0;
    std::uint64_t seed = 0;
    std::uint32_t bit_depth = 16;
    bool draw_bodies = false;  // also draw the planets and the Moon (SceneSettings::draw_bodies)
    std::optional<Boresight> boresight;  // a pinhole's pointing; absent: pick_rich_boresight
};

// Builds the scene's camera (principal point at the image centre), converts the noise
// levels, points a fisheye at the zenith and a pinhole at its richest patch of bright
// stars (pick_rich_boresight) unless the request names one, then renders.
Result<Scene> synthesize_scene_at_site(const Catalog& catalog, const SceneRequest& request);

}  // namespace stelvane
