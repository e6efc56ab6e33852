// Site functions: turn the caller's camera scalars and tuning into the engine's
// Camera and SolveConfig, then run the road. Every entry point (single image,
// centroids, tracker, burst of frames, scene renderer) builds them the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/catalog.hpp"
#include "core/centroid.hpp"
#include "core/error.hpp"
#include "core/fix.hpp"
#include "core/image.hpp"
#include "core/plate.hpp"
#include "core/synth.hpp"

namespace stelvane {

// The lens as the caller described it; `focal` is the focal rule's choice (0 for the ideal fisheye).
struct CameraScalars {
    double focal = 0.0;
    double cx = 0.0;
    double cy = 0.0;
    std::optional<double> fisheye_fov_deg;
    double k1 = 0.0, k2 = 0.0, k3 = 0.0, k4 = 0.0;

    Camera build(std::uint32_t width, std::uint32_t height) const {
        return Camera::from_fov(width, height, fisheye_fov_deg, focal, cx, cy, k1, k2, k3, k4);
    }
};

// The caller's tuning of one solve.
struct SolveOptions {
    std::optional<std::size_t> max_centroids;
    std::optional<std::size_t> min_matched_stars;
    std::optional<double> max_residual_rms;  // radians
    bool use_sun = false;
};

// An image dimension as the camera's unsigned extent, saturating.
std::uint32_t saturate_u32(std::size_t n);

// round(2 * centre), halves away from zero; negative or NaN gives 0, huge values saturate.
std::uint32_t extent_from_centre(double centre);

// The configuration of a solve with this camera: sigma defaults to half a pixel,
// floored at one arcminute; the match tolerance is 4 sigma, floored at 4 arcminutes.
SolveConfig solve_config_for(const Camera& camera, std::optional<double> sigma_arcmin, const SolveOptions& options);

// The camera of the centroid road, whose extent (needed only by the ideal fisheye)
// is derived from the principal point.
Camera centroid_road_camera(const CameraScalars& lens);

Result<PositionFix> resolve_fix_masked_at_site(const GrayImage& image, std::optional<PixelMask> mask,
                                               const CameraScalars& lens, const Vec3& up_cam,
                                               const Catalog& catalog, double jd, std::optional<double> sigma_arcmin,
                                               const SolveOptions& options);

Result<PositionFix> resolve_from_centroids_at_site(std::span<const Centroid> centroids, const CameraScalars& lens,
                                                   const Vec3& up_cam, const Catalog& catalog, double jd,
                                                   std::optional<double> sigma_arcmin, const SolveOptions& options);

// The tracker's bounds, placed in the configuration of a tracked solve.
struct TrackerBounds {
    double max_reference_age_s;
    double max_disambiguation_distance_nm;
};

Result<PositionFix> resolve_fix_masked_at_site_tracked(const GrayImage& image, std::optional<PixelMask> mask,
                                                       const CameraScalars& lens, const Vec3& up_cam,
                                                       const Catalog& catalog, double jd,
                                                       std::optional<double> sigma_arcmin,
                                                       const SolveOptions& options, FixHistory& history,
                                                       const TrackerBounds& bounds);

Result<PositionFix> resolve_from_centroids_at_site_tracked(std::span<const Centroid> centroids,
                                                           const CameraScalars& lens, const Vec3& up_cam,
                                                           const Catalog& catalog, double jd,
                                                           std::optional<double> sigma_arcmin,
                                                           const SolveOptions& options, FixHistory& history,
                                                           const TrackerBounds& bounds);

// The values of one synthesize_scene call, as the caller gave them.
struct SceneRequest {
    double lat_deg = 0.0;
    double lon_deg = 0.0;  // east positive
    double jd_ut = 0.0;
    double roll_deg = 0.0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    double focal_px = 0.0;  // the focal rule's choice; 0 for the ideal fisheye (derived)
    float mag_limit = 6.0f;
    double pixel_noise_arcmin = 0.0;
    double up_noise_arcmin = 0.0;
    double background_noise = 0.0;
    std::uint64_t seed = 0;
    std::optional<double> fisheye_fov_deg;
    double k1 = 0.0, k2 = 0.0, k3 = 0.0, k4 = 0.0;
    std::uint32_t bit_depth = 16;
};

// Builds the scene's camera (principal point at the image centre), converts the noise
// levels, points a fisheye at the zenith and a pinhole at its richest patch of bright
// stars (pick_rich_boresight), then renders.
Result<Scene> synthesize_scene_at_site(const Catalog& catalog, const SceneRequest& request);

}  // namespace stelvane
