// The camera model: pinhole, ideal equidistant fisheye and calibrated
// (odd degree-9 polynomial) fisheye projections between pixels and unit
// directions in the camera frame (+x image right, +y image down, +z boresight).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/vec.hpp"

namespace stelvane {

enum class Projection { Pinhole, EquidistantFisheye, DistortedFisheye };

struct Pixel {
    double x;  // column
    double y;  // row
};

struct Camera;

// One lens as a caller describes it, the record every camera-building entry point
// carries from its arguments to the engine.
struct LensSpec {
    double focal_px = 0.0;  // the focal rule's choice; 0 for the ideal fisheye (derived from the extent)
    double cx = 0.0;        // principal point, pixels
    double cy = 0.0;
    std::optional<double> fisheye_fov_deg;  // full field of a fisheye; absent: pinhole
    double k1 = 0.0, k2 = 0.0, k3 = 0.0, k4 = 0.0;  // distortion of a calibrated fisheye

    // The camera for an image of width x height (Camera::from_fov).
    Camera camera(std::uint32_t width, std::uint32_t height) const;
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

// The altitude standard deviation a solve uses when none is given: half a pixel on
// the boresight, floored at one arcminute (max(0.5 * arcmin_per_pixel, 1.0)), arcminutes.
double default_sigma_arcmin(const Camera& camera);

// Batch forms of the two projections for callers holding many points at once;
// every result equals the single-point call on the same input, bit for bit.
// Directions of the pixels (xs[i], ys[i]) as rows out[3i..3i+2]; processes
// min(xs.size(), ys.size(), out.size() / 3) pixels.
void pixels_to_vecs(const Camera& camera, std::span<const double> xs, std::span<const double> ys,
                    std::span<double> out);
// Pixels of the directions xyz[3i..3i+2] as rows out[2i..2i+1]; a direction
// outside the field gets (NaN, NaN). Processes min(xyz.size() / 3, out.size() / 2) rows.
void vecs_to_pixels(const Camera& camera, std::span<const double> xyz, std::span<double> out);

}  // namespace stelvane
