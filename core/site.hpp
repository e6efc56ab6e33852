// Site functions: where a Python entry point's plain values (degrees, the focal
// chosen by the focal rule, noise levels) become the engine's camera and settings
// for one engine operation.
#pragma once

#include <cstdint>
#include <optional>

#include "core/catalog.hpp"
#include "core/error.hpp"
#include "core/synth.hpp"

namespace stelvane {

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
