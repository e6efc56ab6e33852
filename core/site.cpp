// Camera and solve configuration from the caller's lens and tuning, and the one
// dispatch from an image or a centroid list, with or without a tracker.
#include "core/site.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/nonstars.hpp"
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
    const double sigma = sigma_arcmin ? *sigma_arcmin : default_sigma_arcmin(camera);
    config.sigma_rad = units::arcmin_to_rad(sigma);
    config.match_tolerance_rad = std::max(4.0 * config.sigma_rad, fix_constants::MATCH_TOLERANCE_FLOOR_RAD);
    config.triangle_stars = camera.kind == Projection::Pinhole ? fix_constants::TRIANGLE_STARS_PINHOLE
                                                               : fix_constants::TRIANGLE_STARS_FISHEYE;
    config.max_centroids = options.max_centroids.value_or(fix_constants::DEFAULT_MAX_CENTROIDS);
    config.min_matched_stars = options.min_matched_stars;
    config.max_residual_rms_rad = options.max_residual_rms_rad;
    config.use_sun = options.use_sun;
    config.blown_out_min_area = min_blown_out_area(camera);
    return config;
}

std::uint32_t saturate_u32(std::size_t n) {
    return static_cast<std::uint32_t>(std::min<std::size_t>(n, std::numeric_limits<std::uint32_t>::max()));
}

Camera camera_from_principal_point(const LensSpec& lens) {
    return lens.camera(extent_from_centre(lens.cx), extent_from_centre(lens.cy));
}

Result<PositionFix> resolve_at_site(const SolveSource& source, const SolveRequest& request, const Catalog& catalog,
                                    std::optional<Tracking> tracking) {
    const ImageSource* image = std::get_if<ImageSource>(&source);
    if (image == nullptr && request.options.use_sun) return BadImage{"use_sun requires the image path"};
    const Camera camera = image != nullptr
                              ? request.lens.camera(saturate_u32(image->image.width), saturate_u32(image->image.height))
                              : camera_from_principal_point(request.lens);
    SolveConfig config = solve_config_for(camera, request.sigma_arcmin, request.options);
    if (tracking) {
        config.max_reference_age_s = tracking->bounds.max_reference_age_s;
        config.max_disambiguation_distance_nm = tracking->bounds.max_disambiguation_distance_nm;
    }

    std::span<const Centroid> centroids;
    std::optional<Pixel> sun, blown_out;
    StarsAndSun found;
    if (image != nullptr) {
        auto detected = detect_stars_and_sun(image->image, image->mask, config);
        if (!detected) return std::move(detected).error();
        found = std::move(detected).value();
        centroids = found.centroids;
        sun = found.sun;
        blown_out = found.blown_out;
    } else {
        centroids = std::get<std::span<const Centroid>>(source);
    }
    if (tracking) {
        return resolve_fix_from_centroids_tracked(centroids, sun, camera, request.up_cam, request.jd, catalog, config,
                                                  blown_out, tracking->history);
    }
    return resolve_fix_from_centroids(centroids, sun, camera, request.up_cam, request.jd, catalog, config, blown_out);
}

Result<Scene> synthesize_scene_at_site(const Catalog& catalog, const SceneRequest& r) {
    LensSpec lens = r.lens;
    lens.cx = r.width / 2.0;
    lens.cy = r.height / 2.0;
    SceneSettings settings;
    settings.camera = lens.camera(r.width, r.height);
    settings.width = r.width;
    settings.height = r.height;
    settings.mag_limit = r.mag_limit;
    // Angular noise becomes pixels at the camera's radial scale (the derived one for the ideal fisheye).
    settings.centroid_sigma_px = units::arcmin_to_rad(r.pixel_noise_arcmin) * settings.camera.focal_px;
    settings.up_sigma_rad = units::arcmin_to_rad(r.up_noise_arcmin);
    settings.background_noise = r.background_noise;
    settings.seed = r.seed;
    settings.bit_depth = r.bit_depth;
    settings.draw_bodies = r.draw_bodies;

    const double lat = r.lat_deg * units::DEG;
    const double lon = r.lon_deg * units::DEG;
    Boresight boresight{90.0, 0.0};  // fisheye lenses look straight up
    if (settings.camera.kind == Projection::Pinhole && r.boresight) {
        boresight = *r.boresight;
    } else if (settings.camera.kind == Projection::Pinhole) {
        boresight = pick_rich_boresight(catalog, settings.camera, r.width, r.height, lat, lon, r.jd_ut);
    }
    return synthesize_scene(catalog, settings, lat, lon, r.jd_ut, boresight.alt_deg, boresight.az_deg,
                            r.roll_deg);
}

}  // namespace stelvane
