// Site functions: the engine's entry from the module layer, turning plain
// caller values into a Camera and settings and calling one engine operation.
#include "core/site.hpp"

#include "core/plate.hpp"
#include "core/units.hpp"

namespace stelvane {

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
