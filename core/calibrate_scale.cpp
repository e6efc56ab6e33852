// The plate-scale ratio of a fix: a rotation-plus-scale fit of the identified stars.
#include "core/calibrate_scale.hpp"

#include <cmath>
#include <limits>

#include <Eigen/Geometry>
#include <Eigen/LU>

#include "core/calibrate_model.hpp"
#include "core/ephemeris.hpp"

namespace stelvane {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// T(theta) / T'(theta) of the camera's projection at angle theta from the boresight.
double radial_lever(const Camera& camera, double theta) {
    switch (camera.kind) {
        case Projection::Pinhole: return std::sin(theta) * std::cos(theta);
        case Projection::EquidistantFisheye: return theta;
        case Projection::DistortedFisheye: {
            const double t2 = theta * theta;
            const double r = theta * (1.0 + t2 * (camera.k1 + t2 * (camera.k2 + t2 * (camera.k3 + t2 * camera.k4))));
            const double slope =
                1.0 + t2 * (3.0 * camera.k1 + t2 * (5.0 * camera.k2 + t2 * (7.0 * camera.k3 + t2 * 9.0 * camera.k4)));
            return r / slope;
        }
    }
    return kNaN;
}

}  // namespace

PlateScale plate_scale_ratio(const Camera& camera, std::span<const Vec3> camera_dirs,
                             std::span<const Vec3> catalog_dirs, const Mat3& rotation, const Mat3& precession,
                             const Vec3& aberration, const Vec3& up) {
    const FrameSky vertical = FrameSky::at(std::nullopt, up);
    Eigen::Matrix4d normal = Eigen::Matrix4d::Zero();
    Eigen::Vector4d rhs = Eigen::Vector4d::Zero();
    double misfit_sq = 0.0;
    const std::size_t n = std::min(camera_dirs.size(), catalog_dirs.size());
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3 c = vertical.unrefract(camera_dirs[i].normalized());
        const Vec3 apparent = precession.transpose() * apparent_direction(precession * catalog_dirs[i], aberration);
        const Vec3 e = rotation.transpose() * apparent - c;
        const double theta = std::acos(std::clamp(c.z(), -1.0, 1.0));
        const double phi = std::atan2(c.y(), c.x());
        const Vec3 u(std::cos(theta) * std::cos(phi), std::cos(theta) * std::sin(phi), -std::sin(theta));
        const Vec3 w(-std::sin(phi), std::cos(phi), 0.0);
        const Vec3 cu = c.cross(u), cw = c.cross(w);
        const Eigen::Vector4d row_u(cu.x(), cu.y(), cu.z(), -radial_lever(camera, theta));
        const Eigen::Vector4d row_w(cw.x(), cw.y(), cw.z(), 0.0);
        const double eu = e.dot(u), ew = e.dot(w);
        normal += row_u * row_u.transpose() + row_w * row_w.transpose();
        rhs += row_u * eu + row_w * ew;
        misfit_sq += eu * eu + ew * ew;
    }
    const Eigen::FullPivLU<Eigen::Matrix4d> lu(normal);
    if (n < 2 || !lu.isInvertible()) return {kNaN, kNaN};
    const Eigen::Matrix4d inverse = lu.inverse();
    const Eigen::Vector4d x = inverse * rhs;
    if (n < 3) return {1.0 + x(3), kNaN};
    // Residual sum of squares of the linear fit: |e|^2 - x . (A^T e).
    const double rss = std::max(misfit_sq - x.dot(rhs), 0.0);
    const double variance = rss / static_cast<double>(2 * n - 4);
    return {1.0 + x(3), std::sqrt(variance * inverse(3, 3))};
}

}  // namespace stelvane
