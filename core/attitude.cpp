// Camera attitude from matched direction pairs (Wahba's problem by SVD).
#include "core/attitude.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <Eigen/LU>
#include <Eigen/SVD>

namespace stelvane {

namespace {

// A middle singular value below this means the vectors span less than a plane.
constexpr double MIN_MIDDLE_SINGULAR_VALUE = 1e-9;

// +1 or -1 by the sign of the product, NaN when the product is NaN.
double sign_of(double value) {
    if (std::isnan(value)) return std::numeric_limits<double>::quiet_NaN();
    return std::signbit(value) ? -1.0 : 1.0;
}

}  // namespace

Result<Mat3> solve_wahba(std::span<const Vec3> body, std::span<const Vec3> reference) {
    if (body.size() != reference.size() || body.size() < 2) {
        return Error(InsufficientStars{2, std::min(body.size(), reference.size())});
    }
    Mat3 correlation = Mat3::Zero();
    for (std::size_t k = 0; k < body.size(); ++k) correlation += reference[k] * body[k].transpose();

    // Eigen's JacobiSVD returns the singular values in descending order. A
    // non-finite matrix is reported as InvalidInput with no factors computed.
    Eigen::JacobiSVD<Mat3, Eigen::NoQRPreconditioner> svd(correlation, Eigen::ComputeFullU | Eigen::ComputeFullV);
    if (svd.info() != Eigen::Success) return Error(SingularGeometry{});
    if (svd.singularValues()(1) < MIN_MIDDLE_SINGULAR_VALUE) return Error(SingularGeometry{});

    const Mat3& u = svd.matrixU();
    const Mat3& v = svd.matrixV();
    const double s = sign_of(u.determinant() * v.determinant());
    return Mat3(u * Eigen::Vector3d(1.0, 1.0, s).asDiagonal() * v.transpose());
}

}  // namespace stelvane
