// Camera attitude from matched direction pairs: the least-squares rotation of
// Wahba's problem, solved through the SVD of the 3x3 correlation matrix.
#pragma once

#include <span>

#include "core/error.hpp"
#include "core/vec.hpp"

namespace stelvane {

// The proper rotation R that best carries each body vector onto its reference
// vector (r_k ~ R b_k, every pair weighted 1), so R turns camera-frame
// directions into celestial ones.
// Given: body (camera frame) and reference (equatorial) 3-vectors, pair k
// matching body[k] with reference[k].
// Returns: R with det(R) = +1 (the determinant correction never yields a
// reflection, even for mirrored inputs).
// Fails: InsufficientStars{2, shorter length} when the lengths differ or fewer
// than 2 pairs are given; SingularGeometry when the middle singular value is
// below 1e-9 (all vectors parallel) or the correlation matrix is not finite.
// Allocates nothing.
Result<Mat3> solve_wahba(std::span<const Vec3> body, std::span<const Vec3> reference);

}  // namespace stelvane
