// The camera model: construction from the lens parameters and the two
// projections (pixel -> unit direction, direction -> pixel) of the pinhole, ideal
// equidistant fisheye and calibrated odd-polynomial fisheye.
#include "core/plate.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/units.hpp"

namespace stelvane {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// A pinhole sees nothing at or behind the image plane.
constexpr double kPinholeMinZ = 1e-12;
// Newton inversion of the distortion polynomial: stop after the step whose
// correction is below this (radians), or after kNewtonMaxSteps steps.
constexpr double kNewtonTolerance = 1e-12;
constexpr int kNewtonMaxSteps = 8;

// r(theta) = theta + k1 theta^3 + k2 theta^5 + k3 theta^7 + k4 theta^9.
inline double distortion(const Camera& c, double theta) {
    const double t2 = theta * theta;
    return theta * (1.0 + t2 * (c.k1 + t2 * (c.k2 + t2 * (c.k3 + t2 * c.k4))));
}

// dr/dtheta = 1 + 3 k1 theta^2 + 5 k2 theta^4 + 7 k3 theta^6 + 9 k4 theta^8.
inline double distortion_slope(const Camera& c, double theta) {
    const double t2 = theta * theta;
    return 1.0 + t2 * (3.0 * c.k1 + t2 * (5.0 * c.k2 + t2 * (7.0 * c.k3 + t2 * (9.0 * c.k4))));
}

// The angle theta whose distorted radius is rho, by Newton's method from theta = rho.
// Where the polynomial is not increasing it returns whatever the steps reach.
inline double undistort(const Camera& c, double rho) {
    double theta = rho;
    for (int step = 0; step < kNewtonMaxSteps; ++step) {
        const double delta = (distortion(c, theta) - rho) / distortion_slope(c, theta);
        theta -= delta;
        if (std::abs(delta) < kNewtonTolerance) break;
    }
    return theta;
}

// cos and sin of phi = atan2(y, x), given r = hypot(x, y). Where r is finite and
// non-zero they are x / r and y / r (the same values to rounding, without the three
// trigonometric calls); otherwise (the origin, infinities, NaN) atan2 decides.
inline void polar_cos_sin(double x, double y, double r, double& cos_phi, double& sin_phi) {
    if (r > 0.0 && r < std::numeric_limits<double>::infinity()) {
        cos_phi = x / r;
        sin_phi = y / r;
        return;
    }
    const double phi = std::atan2(y, x);
    cos_phi = std::cos(phi);
    sin_phi = std::sin(phi);
}

// Unit direction at angle theta from the boresight towards the pixel offset (dx, dy),
// whose length is r = hypot(dx, dy).
inline Vec3 fisheye_direction(double theta, double dx, double dy, double r) {
    double cos_phi = 0.0;
    double sin_phi = 0.0;
    polar_cos_sin(dx, dy, r, cos_phi, sin_phi);
    const double s = std::sin(theta);
    return Vec3(s * cos_phi, s * sin_phi, std::cos(theta));
}

inline Vec3 pinhole_to_vec(const Camera& c, double x, double y) {
    const double dx = x - c.cx;
    const double dy = y - c.cy;
    const double norm = std::sqrt(dx * dx + dy * dy + c.focal_px * c.focal_px);
    return Vec3(dx / norm, dy / norm, c.focal_px / norm);
}

inline Vec3 equidistant_to_vec(const Camera& c, double x, double y) {
    const double dx = x - c.cx;
    const double dy = y - c.cy;
    const double r = std::hypot(dx, dy);
    return fisheye_direction(r / c.focal_px, dx, dy, r);
}

inline Vec3 distorted_to_vec(const Camera& c, double x, double y) {
    const double dx = x - c.cx;
    const double dy = y - c.cy;
    const double r = std::hypot(dx, dy);
    return fisheye_direction(undistort(c, r / c.focal_px), dx, dy, r);
}

// The three direction-to-pixel maps. `false` means no pixel; a NaN component
// gives true with a NaN pixel (every comparison with NaN is false).
inline bool pinhole_to_pixel(const Camera& c, double vx, double vy, double vz, Pixel& out) {
    if (vz <= kPinholeMinZ) return false;
    out = {c.cx + c.focal_px * vx / vz, c.cy + c.focal_px * vy / vz};
    return true;
}

template <bool Distorted>
inline bool fisheye_to_pixel(const Camera& c, double vx, double vy, double vz, Pixel& out) {
    // std::clamp passes NaN through, so a NaN z reaches the pixel.
    const double theta = std::acos(std::clamp(vz, -1.0, 1.0));
    if (theta >= c.half_fov_rad) return false;  // the field is open at its edge
    const double r = Distorted ? distortion(c, theta) : theta;
    double cos_phi = 0.0;
    double sin_phi = 0.0;
    polar_cos_sin(vx, vy, std::hypot(vx, vy), cos_phi, sin_phi);
    out = {c.cx + c.focal_px * r * cos_phi, c.cy + c.focal_px * r * sin_phi};
    return true;
}

template <class ToVec>
void batch_to_vecs(const Camera& c, std::span<const double> xs, std::span<const double> ys, std::span<double> out,
                   ToVec to_vec) {
    const std::size_t n = std::min({xs.size(), ys.size(), out.size() / 3});
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3 v = to_vec(c, xs[i], ys[i]);
        out[3 * i] = v.x();
        out[3 * i + 1] = v.y();
        out[3 * i + 2] = v.z();
    }
}

template <class ToPixel>
void batch_to_pixels(const Camera& c, std::span<const double> xyz, std::span<double> out, ToPixel to_pixel) {
    const std::size_t n = std::min(xyz.size() / 3, out.size() / 2);
    for (std::size_t i = 0; i < n; ++i) {
        Pixel p{kNaN, kNaN};
        if (!to_pixel(c, xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2], p)) p = {kNaN, kNaN};
        out[2 * i] = p.x;
        out[2 * i + 1] = p.y;
    }
}

}  // namespace

Camera LensSpec::camera(std::uint32_t width, std::uint32_t height) const {
    return Camera::from_fov(width, height, fisheye_fov_deg, focal_px, cx, cy, k1, k2, k3, k4);
}

Camera Camera::from_fov(std::uint32_t width, std::uint32_t height, std::optional<double> fisheye_fov_deg,
                        double focal_px, double cx, double cy, double k1, double k2, double k3, double k4) {
    Camera c;
    c.cx = cx;
    c.cy = cy;
    if (!fisheye_fov_deg) {
        c.kind = Projection::Pinhole;
        c.focal_px = focal_px;
        return c;
    }
    c.half_fov_rad = *fisheye_fov_deg * 0.5 * units::DEG;
    // NaN compares unequal to zero, so a NaN coefficient makes a distorted fisheye.
    if (k1 == 0.0 && k2 == 0.0 && k3 == 0.0 && k4 == 0.0) {
        c.kind = Projection::EquidistantFisheye;
        // The edge of the field lands on the circle inscribed in the image.
        c.focal_px = static_cast<double>(std::min(width, height)) * 0.5 / c.half_fov_rad;
        return c;
    }
    c.kind = Projection::DistortedFisheye;
    c.focal_px = focal_px;
    c.k1 = k1;
    c.k2 = k2;
    c.k3 = k3;
    c.k4 = k4;
    return c;
}

Vec3 Camera::pixel_to_vec(double x, double y) const {
    switch (kind) {
        case Projection::Pinhole: return pinhole_to_vec(*this, x, y);
        case Projection::EquidistantFisheye: return equidistant_to_vec(*this, x, y);
        case Projection::DistortedFisheye: return distorted_to_vec(*this, x, y);
    }
    return Vec3(kNaN, kNaN, kNaN);
}

std::optional<Pixel> Camera::vec_to_pixel(const Vec3& v) const {
    Pixel p{kNaN, kNaN};
    bool inside = false;
    switch (kind) {
        case Projection::Pinhole: inside = pinhole_to_pixel(*this, v.x(), v.y(), v.z(), p); break;
        case Projection::EquidistantFisheye: inside = fisheye_to_pixel<false>(*this, v.x(), v.y(), v.z(), p); break;
        case Projection::DistortedFisheye: inside = fisheye_to_pixel<true>(*this, v.x(), v.y(), v.z(), p); break;
    }
    if (!inside) return std::nullopt;
    return p;
}

double Camera::arcmin_per_pixel() const {
    const double rad = kind == Projection::Pinhole ? std::atan(1.0 / focal_px) : 1.0 / focal_px;
    return rad * units::RAD_TO_DEG * units::ARCMIN_PER_DEG;
}

double default_sigma_arcmin(const Camera& camera) { return std::max(0.5 * camera.arcmin_per_pixel(), 1.0); }

void pixels_to_vecs(const Camera& camera, std::span<const double> xs, std::span<const double> ys,
                    std::span<double> out) {
    // One branch on the projection per batch, not per pixel.
    switch (camera.kind) {
        case Projection::Pinhole: batch_to_vecs(camera, xs, ys, out, pinhole_to_vec); return;
        case Projection::EquidistantFisheye: batch_to_vecs(camera, xs, ys, out, equidistant_to_vec); return;
        case Projection::DistortedFisheye: batch_to_vecs(camera, xs, ys, out, distorted_to_vec); return;
    }
}

void vecs_to_pixels(const Camera& camera, std::span<const double> xyz, std::span<double> out) {
    switch (camera.kind) {
        case Projection::Pinhole: batch_to_pixels(camera, xyz, out, pinhole_to_pixel); return;
        case Projection::EquidistantFisheye: batch_to_pixels(camera, xyz, out, fisheye_to_pixel<false>); return;
        case Projection::DistortedFisheye: batch_to_pixels(camera, xyz, out, fisheye_to_pixel<true>); return;
    }
}

}  // namespace stelvane
