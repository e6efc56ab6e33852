// The fitted lens parameters and the forward model of a calibration frame.
#include "core/calibrate_model.hpp"

#include <algorithm>
#include <cmath>

#include "core/ephemeris.hpp"
#include "core/frame.hpp"
#include "core/refraction.hpp"
#include "core/units.hpp"

namespace stelvane {

const char* lens_parameter_name(LensParameter parameter) {
    switch (parameter) {
        case LensParameter::FocalPx: return "focal_px";
        case LensParameter::Cx: return "cx";
        case LensParameter::Cy: return "cy";
        case LensParameter::K1: return "k1";
        case LensParameter::K2: return "k2";
        case LensParameter::K3: return "k3";
        case LensParameter::K4: return "k4";
    }
    return "";
}

Camera LensModel::camera() const {
    Camera c;
    c.focal_px = values[0];
    c.cx = values[1];
    c.cy = values[2];
    if (!polynomial) return c;
    c.kind = Projection::DistortedFisheye;
    c.half_fov_rad = half_fov_rad;
    c.k1 = values[3];
    c.k2 = values[4];
    c.k3 = values[5];
    c.k4 = values[6];
    return c;
}

LensModel LensModel::of(const Camera& camera) {
    LensModel m;
    m.polynomial = camera.kind != Projection::Pinhole;
    m.half_fov_rad = camera.half_fov_rad;
    m.values = {camera.focal_px, camera.cx, camera.cy, 0.0, 0.0, 0.0, 0.0};
    if (camera.kind == Projection::DistortedFisheye) {
        m.values[3] = camera.k1;
        m.values[4] = camera.k2;
        m.values[5] = camera.k3;
        m.values[6] = camera.k4;
    }
    return m;
}

LensModel polynomial_pinhole(double focal_px, double cx, double cy, double half_fov_rad) {
    LensModel m;
    m.polynomial = true;
    m.half_fov_rad = half_fov_rad;
    m.values = {focal_px, cx, cy, 1.0 / 3.0, 2.0 / 15.0, 17.0 / 315.0, 62.0 / 2835.0};
    return m;
}

FrameSky FrameSky::at(std::optional<double> jd, std::optional<Vec3> up_cam) {
    FrameSky f;
    if (jd && std::isfinite(*jd)) {
        f.jd = jd;
        f.precession = precession_matrix(*jd);
        f.aberration = aberration_offset(*jd);
    }
    if (up_cam && up_cam->allFinite() && up_cam->norm() > 1e-9) f.up = up_cam->normalized();
    return f;
}

Vec3 FrameSky::sky_direction(const Star& star, double catalog_epoch) const {
    if (!jd) return star.unit;
    const Vec3 of_date = apparent_direction(precession * star.unit_at(*jd, catalog_epoch), aberration);
    return precession.transpose() * of_date;
}

namespace {

// The direction at altitude `alt` (radians) in the vertical plane of `direction`.
Vec3 at_altitude(const Vec3& direction, const Vec3& up, double alt) {
    const Vec3 level = direction - direction.dot(up) * up;
    const double n = level.norm();
    if (!(n > 0.0)) return direction;  // the zenith or nadir: refraction moves nothing
    return std::cos(alt) * (level / n) + std::sin(alt) * up;
}

}  // namespace

double FrameSky::altitude(const Vec3& direction) const {
    if (!up) return units::PI / 2.0;
    return std::asin(std::clamp(direction.normalized().dot(*up), -1.0, 1.0));
}

Vec3 FrameSky::refract(const Vec3& direction) const {
    if (!up) return direction;
    const double alt = altitude(direction);
    return at_altitude(direction.normalized(), *up, alt + refraction_rad(alt));
}

Vec3 FrameSky::unrefract(const Vec3& direction) const {
    if (!up) return direction;
    const double alt = altitude(direction);
    return at_altitude(direction.normalized(), *up, alt - refraction_rad(alt));
}

std::optional<Pixel> predict_pixel(const Camera& camera, const Mat3& rotation, const FrameSky& frame,
                                   const Vec3& sky) {
    return camera.vec_to_pixel(frame.refract(rotation.transpose() * sky));
}

}  // namespace stelvane
