// Synthetic night skies: renders the image a camera would record from a given
// place and instant with its ground truth (drawn stars, their pixel centres, the
// noisy vertical), and picks a star-rich pointing for narrow pinhole fields.
#pragma once

#include <cstdint>
#include <vector>

#include "core/bodies.hpp"
#include "core/catalog.hpp"
#include "core/error.hpp"
#include "core/plate.hpp"
#include "core/random.hpp"
#include "core/vec.hpp"

namespace stelvane {

// Everything the renderer needs besides the place, instant and pointing.
struct SceneSettings {
    Camera camera;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    float mag_limit = 6.0f;          // stars fainter than this are not drawn (single-precision compare)
    double centroid_sigma_px = 0.0;  // jitter of each star's centre, pixels (off unless > 0)
    double up_sigma_rad = 0.0;       // tilt of the reported vertical, radians (off unless > 0)
    double background_noise = 0.0;   // Gaussian sensor noise, counts of 65535 (off unless > 0)
    std::uint64_t seed = 1;
    std::uint32_t bit_depth = 16;    // ADC resolution, 1..16
    bool draw_bodies = false;        // also draw the planets and the Moon at their places (draw_bodies below)

    // Fixed rendering constants.
    static constexpr double psf_sigma_px = 1.3;
    static constexpr double flux_scale = 2.56e5;  // peak of a magnitude-0 star before clipping
    static constexpr double pedestal = 1024.0;
    static constexpr int stamp_radius = 4;        // 9 x 9 stamp around the rounded centre
    static constexpr double edge_margin_px = 5.0;
    static constexpr double crowding_px = 6.0;
};

// A planet or the Moon as drawn into a scene.
struct RenderedBody {
    Body body;
    Pixel pixel;       // centre of its PSF or disc
    double vmag;       // visual magnitude the drawing used
    double radius_px;  // the disc's radius in pixels (a planet is drawn as a point)
};

struct Scene {
    std::vector<std::uint16_t> pixels;  // width x height, row-major
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    Vec3 up_cam{0.0, 0.0, 1.0};              // local vertical in the camera frame, noise applied
    std::vector<Pixel> star_pixels;          // PSF centres of the drawn stars, drawing order
    std::vector<std::uint32_t> rendered_hr_ids;  // their HR numbers, same order
    double boresight_alt_deg = 0.0;
    double boresight_az_deg = 0.0;
    std::vector<RenderedBody> bodies;        // planets and Moon drawn (draw_bodies only), ALL_BODIES order
};

// Renders the sky seen from latitude/longitude (radians, east positive) at Julian
// Date jd (UT), the camera pointing at boresight altitude/azimuth (degrees, azimuth
// from north through east) with roll roll_deg. Stars are placed at their apparent
// places of date (proper motion and parallax, IAU 1976 precession, annual aberration,
// Bennett refraction). With settings.draw_bodies the planets and the Moon are drawn
// too, at their topocentric places carried through the same sky model: a planet as a
// star of its magnitude (inside the same 5-px margin, never crowded out); the Moon as
// a disc of its angular radius and magnitude spread evenly over the disc, with a glare
// halo of 1e-3 x the disc's surface brightness x (radius / distance)^3 out to 50
// radii, clipped to the frame (the lit crescent is not modelled). Refuses a zero-sized image, non-finite lat/lon/jd or roll,
// a bit depth outside 1..16 and an image too large to hold (BadImage).
Result<Scene> synthesize_scene(const Catalog& catalog, const SceneSettings& settings, double lat_rad, double lon_rad,
                               double jd, double boresight_alt_deg, double boresight_az_deg, double roll_deg);

struct Boresight {
    double alt_deg;
    double az_deg;  // from north through east
};

// Of the 54 candidate pointings (altitude rings 45, 60, 75 deg x azimuths 0..340 in
// 20-deg steps) the one whose cone of 0.9 x the pinhole's half-diagonal field holds
// the most stars of magnitude <= 4 above the horizon; ties keep the earlier
// candidate; (55, 0) when no candidate holds any. Only the camera's focal is used.
Boresight pick_rich_boresight(const Catalog& catalog, const Camera& camera, std::uint32_t width,
                              std::uint32_t height, double lat_rad, double lon_rad, double jd);

}  // namespace stelvane
