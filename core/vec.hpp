// Small fixed-size vector and matrix types shared by the engine areas.
#pragma once

#include <algorithm>
#include <cmath>

#include <Eigen/Core>

namespace stelvane {

using Vec3 = Eigen::Vector3d;  // unit directions and positions, doubles
using Mat3 = Eigen::Matrix3d;  // rotations and precession

// The angle between two unit vectors, radians; the dot product clamped so that rounding
// past +-1 gives 0 or pi rather than NaN.
inline double angle_between(const Vec3& u, const Vec3& v) { return std::acos(std::clamp(u.dot(v), -1.0, 1.0)); }

}  // namespace stelvane
