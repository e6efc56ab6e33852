// Small fixed-size vector and matrix types shared by the engine areas.
#pragma once

#include <Eigen/Core>

namespace stelvane {

using Vec3 = Eigen::Vector3d;  // unit directions and positions, doubles
using Mat3 = Eigen::Matrix3d;  // rotations and precession

}  // namespace stelvane
