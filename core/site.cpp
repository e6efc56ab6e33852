// Camera and solve configuration from the caller's scalars.
#include "core/site.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/plate.hpp"
#include "core/units.hpp"

namespace stelvane {

std::uint32_t extent_from_centre(double centre) {
    const double extent = std::round(2.0 * centre);
    if (!(extent > 0.0)) return 0;
    constexpr double kMax = static_cast<double>(std::numeric_limits<std::uint32_t>::max());
    return extent >= kMax ? std::numeric_limits<std::uint32_t>::max() : static_cast<std::uint32_t>(extent);
}

SolveConfig solve_config_for(const Camera& camera, std::optional<double> sigma_arcmin, const SolveOptions& options) {
    SolveConfig config;
    const double sigma = sigma_arcmin ? *sigma_arcmin : std::max(0.5 * camera.arcmin_per_pixel(), 1.0);
    config.sigma_rad = units::arcmin_to_rad(sigma);
    config.match_tolerance = std::max(4.0 * config.sigma_rad, fix_constants::MATCH_TOLERANCE_FLOOR_RAD);
    config.triangle_stars = camera.kind == Projection::Pinhole ? fix_constants::TRIANGLE_STARS_PINHOLE
                                                               : fix_constants::TRIANGLE_STARS_FISHEYE;
    config.max_centroids = options.max_centroids.value_or(fix_constants::DEFAULT_MAX_CENTROIDS);
    config.min_matched_stars = options.min_matched_stars;
    config.max_residual_rms = options.max_residual_rms;
    config.use_sun = options.use_sun;
    return config;
}

std::uint32_t saturate_u32(std::size_t n) {
    return static_cast<std::uint32_t>(std::min<std::size_t>(n, std::numeric_limits<std::uint32_t>::max()));
}

Camera centroid_road_camera(const CameraScalars& lens) {
    return lens.build(extent_from_centre(lens.cx), extent_from_centre(lens.cy));
}

Result<PositionFix> resolve_fix_masked_at_site(const GrayImage& image, std::optional<PixelMask> mask,
                                               const CameraScalars& lens, const Vec3& up_cam,
                                               const Catalog& catalog, double jd, std::optional<double> sigma_arcmin,
                                               const SolveOptions& options) {
    const Camera camera = lens.build(saturate_u32(image.width), saturate_u32(image.height));
    const SolveConfig config = solve_config_for(camera, sigma_arcmin, options);
    return resolve_fix_masked(image, mask, camera, up_cam, catalog, jd, config);
}

Result<PositionFix> resolve_from_centroids_at_site(std::span<const Centroid> centroids, const CameraScalars& lens,
                                                   const Vec3& up_cam, const Catalog& catalog, double jd,
                                                   std::optional<double> sigma_arcmin, const SolveOptions& options) {
    if (options.use_sun) return BadImage{"use_sun requires the image path"};
    const Camera camera = centroid_road_camera(lens);
    const SolveConfig config = solve_config_for(camera, sigma_arcmin, options);
    return resolve_fix_from_centroids(centroids, std::nullopt, camera, up_cam, jd, catalog, config);
}

namespace {
SolveConfig tracked_config(const Camera& camera, std::optional<double> sigma_arcmin, const SolveOptions& options,
                           const TrackerBounds& bounds) {
    SolveConfig config = solve_config_for(camera, sigma_arcmin, options);
    config.max_reference_age_s = bounds.max_reference_age_s;
    config.max_disambiguation_distance_nm = bounds.max_disambiguation_distance_nm;
    return config;
}
}  // namespace

Result<PositionFix> resolve_fix_masked_at_site_tracked(const GrayImage& image, std::optional<PixelMask> mask,
                                                       const CameraScalars& lens, const Vec3& up_cam,
                                                       const Catalog& catalog, double jd,
                                                       std::optional<double> sigma_arcmin,
                                                       const SolveOptions& options, FixHistory& history,
                                                       const TrackerBounds& bounds) {
    const Camera camera = lens.build(saturate_u32(image.width), saturate_u32(image.height));
    return resolve_fix_masked_tracked(image, mask, camera, up_cam, catalog, jd,
                                      tracked_config(camera, sigma_arcmin, options, bounds), history);
}

Result<PositionFix> resolve_from_centroids_at_site_tracked(std::span<const Centroid> centroids,
                                                           const CameraScalars& lens, const Vec3& up_cam,
                                                           const Catalog& catalog, double jd,
                                                           std::optional<double> sigma_arcmin,
                                                           const SolveOptions& options, FixHistory& history,
                                                           const TrackerBounds& bounds) {
    if (options.use_sun) return BadImage{"use_sun requires the image path"};
    const Camera camera = centroid_road_camera(lens);
    return resolve_fix_from_centroids_tracked(centroids, std::nullopt, camera, up_cam, jd, catalog,
                                              tracked_config(camera, sigma_arcmin, options, bounds), history);
}

Result<Scene> synthesize_scene_at_site(const Catalog& catalog, const SceneRequest& r) {
    SceneSettings settings;
    settings.camera = Camera::from_fov(r.width, r.height, r.fisheye_fov_deg, r.focal_px, r.width / 2.0,
                                       r.height / 2.0, r.k1, r.k2, r.k3, r.k4);
    settings.width = r.width;
    settings.height = r.height;
    settings.mag_limit = r.mag_limit;
    // Angular noise becomes pixels at the camera's radial scale (the derived one for the ideal fisheye).
    settings.centroid_sigma_px = units::arcmin_to_rad(r.pixel_noise_arcmin) * settings.camera.focal_px;
    settings.up_sigma_rad = units::arcmin_to_rad(r.up_noise_arcmin);
    settings.background_noise = r.background_noise;
    settings.seed = r.seed;
    settings.bit_depth = r.bit_depth;

    const double lat = r.lat_deg * units::DEG;
    const double lon = r.lon_deg * units::DEG;
    Boresight boresight{90.0, 0.0};  // fisheye lenses look straight up
    if (settings.camera.kind == Projection::Pinhole) {
        boresight = pick_rich_boresight(catalog, settings.camera, r.width, r.height, lat, lon, r.jd_ut);
    }
    return synthesize_scene(catalog, settings, lat, lon, r.jd_ut, boresight.alt_deg, boresight.az_deg,
                            r.roll_deg);
}

}  // namespace stelvane
