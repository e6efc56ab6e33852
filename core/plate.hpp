// The camera model: pinhole, ideal equidistant fisheye and calibrated
// (odd degree-9 polynomial) fisheye projections between pixels and unit
// directions in the camera frame (+x image right, +y image down, +z boresight).
#pragma once

#include <cstdint>
#include <optional>

#include "core/vec.hpp"

namespace stelvane {

enum class Projection { Pinhole, EquidistantFisheye, DistortedFisheye };

struct Pixel {
    double x;  // column
    double y;  // row
};

struct Camera {
    Projection kind = Projection::Pinhole;
    double half_fov_rad = 0.0;  // fisheye kinds: half the full field of view
    double k1 = 0.0, k2 = 0.0, k3 = 0.0, k4 = 0.0;  // DistortedFisheye only
    double focal_px = 0.0;  // pinhole focal length, or the fisheye's r = focal_px * theta scale
    double cx = 0.0;        // principal point, pixels
    double cy = 0.0;

    // Builds the camera; `focal_px` is the focal rule's choice (0 for the ideal fisheye,
    // whose focal is derived so the field fills the shorter image dimension).
    static Camera from_fov(std::uint32_t width, std::uint32_t height, std::optional<double> fisheye_fov_deg,
                           double focal_px, double cx, double cy, double k1, double k2, double k3, double k4);

    // Unit direction of a pixel; no field limit in this direction.
    Vec3 pixel_to_vec(double x, double y) const;
    // Pixel of a direction (used unnormalised), or nothing outside the projection's field.
    std::optional<Pixel> vec_to_pixel(const Vec3& v) const;
    // Angular size of one pixel on the boresight, arcminutes.
    double arcmin_per_pixel() const;
};

}  // namespace stelvane
