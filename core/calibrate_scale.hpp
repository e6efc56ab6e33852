// The lens check of a single fix: the plate-scale ratio that the identified stars
// themselves ask of the lens, so that a fix made with a focal length off by a few
// tenths of a percent says so.
#pragma once

#include <span>

#include "core/plate.hpp"
#include "core/vec.hpp"

namespace stelvane {

struct PlateScale {
    // The factor by which the lens's radial scale (focal_px) should be multiplied to fit
    // the stars best: 1 for a good lens, 0.998 for a focal 0.2 % too long. NaN when the
    // stars cannot tell (all on the boresight, fewer than two).
    double ratio;
    // Its standard error from the fit's own residuals (2 N - 4 degrees of freedom); NaN
    // for fewer than three stars.
    double sigma;
};

// Given the camera, the camera-frame directions of the identified stars (from their pixels
// through the camera), their J2000 catalog directions at the date, the attitude R of the
// fix (catalog = R camera), the precession and annual-aberration offset of the date and
// the unit vertical in the camera frame. Each star's catalog direction is moved to its
// apparent place and into the camera by R; its measured direction has Bennett's
// refraction removed. The misfits are then fitted, in each star's tangent plane, by a
// small rotation plus a change of the radial scale, which moves a star radially by
// -T(theta) / T'(theta) per unit change of the focal (T the projection: tan for the
// pinhole, theta for the equidistant fisheye, the odd polynomial for the calibrated one).
// Linear least squares in four unknowns; allocates nothing.
PlateScale plate_scale_ratio(const Camera& camera, std::span<const Vec3> camera_dirs,
                             std::span<const Vec3> catalog_dirs, const Mat3& rotation, const Mat3& precession,
                             const Vec3& aberration, const Vec3& up);

}  // namespace stelvane
