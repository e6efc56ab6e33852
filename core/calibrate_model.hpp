// The lens as a vector of fitted parameters, and the forward model of a lens
// calibration: a catalog star's direction carried into one frame's camera, bent
// by refraction about that frame's vertical and projected to a pixel.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/catalog.hpp"
#include "core/plate.hpp"
#include "core/vec.hpp"

namespace stelvane {

// The seven intrinsic parameters, in the order of every parameter vector and covariance.
enum class LensParameter : std::uint8_t { FocalPx, Cx, Cy, K1, K2, K3, K4 };
inline constexpr std::size_t kLensParameterCount = 7;

// "focal_px", "cx", "cy", "k1" ... "k4": the keyword names of the lens arguments.
const char* lens_parameter_name(LensParameter parameter);

// A pinhole, or the odd-polynomial projection of the calibrated fisheye
// r = focal_px (theta + k1 theta^3 + k2 theta^5 + k3 theta^7 + k4 theta^9), which also
// serves for pinhole lenses with radial distortion.
struct LensModel {
    bool polynomial = false;    // false: pinhole (k1..k4 unused)
    double half_fov_rad = 0.0;  // polynomial only: directions at or beyond this angle have no pixel
    std::array<double, kLensParameterCount> values{};  // focal_px, cx, cy, k1, k2, k3, k4

    double operator[](LensParameter p) const { return values[static_cast<std::size_t>(p)]; }
    double& operator[](LensParameter p) { return values[static_cast<std::size_t>(p)]; }

    // The engine camera of this model: Pinhole, or DistortedFisheye (also when every k is 0,
    // which projects exactly as the equidistant fisheye of the same focal).
    Camera camera() const;
    // The model of a camera: a pinhole, or the polynomial with the camera's focal and field
    // (an ideal equidistant fisheye has k1..k4 = 0).
    static LensModel of(const Camera& camera);
};

// The polynomial model that starts as a pinhole of this focal: k1..k4 from the series
// tan t = t + t^3/3 + 2 t^5/15 + 17 t^7/315 + 62 t^9/2835 (good to 0.01 % of the radius
// up to 35 deg off axis), with a field of half_fov_rad.
LensModel polynomial_pinhole(double focal_px, double cx, double cy, double half_fov_rad);

// Where and when one frame was taken, as far as the caller knows.
struct FrameSky {
    std::optional<double> jd;    // UTC Julian Date: apparent places of date
    std::optional<Vec3> up;      // unit vertical in the camera frame: refraction
    Mat3 precession = Mat3::Identity();  // J2000 -> mean equator of date (identity without jd)
    Vec3 aberration = Vec3::Zero();      // annual-aberration offset of date (zero without jd)

    // Fills the precession and aberration of `jd`, and the unit vertical (nothing for a
    // degenerate one).
    static FrameSky at(std::optional<double> jd, std::optional<Vec3> up_cam);

    // The direction a star is seen in, on the catalog's J2000 axes: its apparent place of
    // date (proper motion, parallax, precession, annual aberration) carried back by the
    // transposed precession when the date is known, else its catalog direction.
    Vec3 sky_direction(const Star& star, double catalog_epoch) const;

    // A true camera-frame direction as the atmosphere shows it: lifted towards the
    // vertical by Bennett's refraction at its true altitude (the renderer's convention).
    // Unchanged without a vertical.
    Vec3 refract(const Vec3& direction) const;
    // The inverse, closely enough to associate detections with stars: the measured
    // direction lowered by the refraction of its measured altitude (the solve's convention).
    Vec3 unrefract(const Vec3& direction) const;
    // Altitude of a camera-frame direction above the horizon of the vertical, radians;
    // pi/2 without a vertical (every direction counts as high).
    double altitude(const Vec3& direction) const;
};

// Pixel of a star on the catalog's axes (`sky`), seen by a camera whose attitude carries
// camera directions onto those axes (sky = rotation * camera): nothing outside the field.
std::optional<Pixel> predict_pixel(const Camera& camera, const Mat3& rotation, const FrameSky& frame,
                                   const Vec3& sky);

}  // namespace stelvane
