// The camera model's engine record: what from_fov stores for each projection
// (fields the Python class does not expose) and the batch projections.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/plate.hpp"

namespace stelvane {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(PlateFromFov, PinholeKeepsTheFocalAndDropsTheCoefficients) {
    const Camera c = Camera::from_fov(0, 0, std::nullopt, 1000.0, 320.0, 240.0, 0.5, 0.1, 0.2, 0.3);
    EXPECT_EQ(c.kind, Projection::Pinhole);
    EXPECT_EQ(c.focal_px, 1000.0);
    EXPECT_EQ(c.half_fov_rad, 0.0);
    EXPECT_EQ(c.k1, 0.0);
    EXPECT_EQ(c.k4, 0.0);
    EXPECT_EQ(c.cx, 320.0);
    EXPECT_EQ(c.cy, 240.0);
}

TEST(PlateFromFov, IdealFisheyeFillsTheInscribedCircle) {
    // A 180 deg lens on 640 x 480: focal = 240 / (pi / 2); the passed focal is not used.
    const Camera c = Camera::from_fov(640, 480, 180.0, 0.0, 320.0, 240.0, 0.0, -0.0, 0.0, 0.0);
    EXPECT_EQ(c.kind, Projection::EquidistantFisheye);
    EXPECT_NEAR(c.half_fov_rad, kPi / 2, 1e-15) << "want pi/2, got " << c.half_fov_rad;
    EXPECT_NEAR(c.focal_px, 152.78874536821954, 1e-12) << "want 152.78874536821954, got " << c.focal_px;
    // The field's edge lands on the image's shorter half-extent.
    const Pixel edge = *c.vec_to_pixel(Vec3(std::sin(c.half_fov_rad * 0.999999), 0.0, std::cos(c.half_fov_rad * 0.999999)));
    EXPECT_NEAR(edge.x, 320.0 + 240.0 * 0.999999, 1e-9);
}

TEST(PlateFromFov, AnyNonZeroOrNaNCoefficientCalibrates) {
    for (double k : {1e-300, -1.0, kNaN}) {
        const Camera c = Camera::from_fov(640, 480, 200.0, 310.0, 1.0, 2.0, 0.0, 0.0, k, 0.0);
        EXPECT_EQ(c.kind, Projection::DistortedFisheye) << "k3 = " << k;
        EXPECT_EQ(c.focal_px, 310.0) << "the extent is not used";
        EXPECT_NEAR(c.half_fov_rad, 100.0 * kPi / 180.0, 1e-15);
    }
}

TEST(PlateProjection, ZeroFocalGivesNonFiniteResultsNotACrash) {
    const Camera pin = Camera::from_fov(0, 0, std::nullopt, 0.0, 0.0, 0.0, 0, 0, 0, 0);
    EXPECT_TRUE(std::isnan(pin.pixel_to_vec(0.0, 0.0).z()));
    const Camera fish = Camera::from_fov(640, 480, 0.0, 0.0, 0.0, 0.0, 0, 0, 0, 0);
    EXPECT_TRUE(std::isinf(fish.focal_px));
    EXPECT_FALSE(fish.vec_to_pixel(Vec3(0, 0, 1)).has_value()) << "a zero field contains nothing";
}

TEST(PlateProjection, DistortedInversionStopsOnTheTolerance) {
    // r = theta + 0.01 theta^3 - 0.002 theta^5 is increasing on [0, pi]; Newton converges well
    // inside 8 steps, so the recovered angle is exact to rounding.
    const Camera c = Camera::from_fov(0, 0, 200.0, 300.0, 0.0, 0.0, 0.01, -0.002, 0.0, 0.0);
    for (double theta : {0.0, 1e-6, 0.3, 1.0, 1.5, 1.7}) {
        const double r = theta + 0.01 * std::pow(theta, 3) - 0.002 * std::pow(theta, 5);
        const Vec3 v = c.pixel_to_vec(300.0 * r, 0.0);
        EXPECT_NEAR(std::atan2(v.x(), v.z()), theta, 1e-13) << "want " << theta;
        EXPECT_EQ(v.y(), 0.0);
    }
}

// Directions and pixels that cover the boresight, the field edge, behind the camera and NaN.
std::vector<double> sample_directions() {
    std::vector<double> xyz;
    for (double theta = 0.0; theta <= kPi; theta += 0.21) {
        for (double phi = -kPi; phi < kPi; phi += 0.7) {
            xyz.insert(xyz.end(), {std::sin(theta) * std::cos(phi), std::sin(theta) * std::sin(phi), std::cos(theta)});
        }
    }
    xyz.insert(xyz.end(), {0.0, 0.0, 1e-12, kNaN, 0.0, 1.0, 0.0, 0.0, kNaN, 0.0, 0.0, 0.5});
    return xyz;
}

std::vector<Camera> sample_cameras() {
    return {Camera::from_fov(0, 0, std::nullopt, 800.0, 320.0, 240.0, 0, 0, 0, 0),
            Camera::from_fov(640, 480, 185.0, 0.0, 320.0, 240.0, 0, 0, 0, 0),
            Camera::from_fov(640, 480, 200.0, 280.0, 321.0, 239.0, 0.01, -0.002, 1e-4, -1e-5)};
}

bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

TEST(PlateBatch, VecsToPixelsEqualsTheSingleCallWithNaNForNoPixel) {
    const std::vector<double> xyz = sample_directions();
    const std::size_t n = xyz.size() / 3;
    for (const Camera& c : sample_cameras()) {
        std::vector<double> out(2 * n, -1.0);
        vecs_to_pixels(c, xyz, out);
        std::size_t outside = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const auto p = c.vec_to_pixel(Vec3(xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]));
            outside += p ? 0 : 1;
            EXPECT_TRUE(same(out[2 * i], p ? p->x : kNaN)) << "row " << i;
            EXPECT_TRUE(same(out[2 * i + 1], p ? p->y : kNaN)) << "row " << i;
        }
        EXPECT_GT(outside, 0u);
    }
}

TEST(PlateBatch, PixelsToVecsEqualsTheSingleCall) {
    std::vector<double> xs, ys;
    for (double x = -300.0; x <= 940.0; x += 77.5) {
        for (double y = -200.0; y <= 680.0; y += 61.25) {
            xs.push_back(x);
            ys.push_back(y);
        }
    }
    xs.push_back(kNaN);
    ys.push_back(0.0);
    for (const Camera& c : sample_cameras()) {
        std::vector<double> out(3 * xs.size());
        pixels_to_vecs(c, xs, ys, out);
        for (std::size_t i = 0; i < xs.size(); ++i) {
            const Vec3 v = c.pixel_to_vec(xs[i], ys[i]);
            for (int k = 0; k < 3; ++k) EXPECT_TRUE(same(out[3 * i + k], v[k])) << "pixel " << i;
        }
    }
}

TEST(PlateBatch, ProcessesOnlyWhatEverySpanHolds) {
    const Camera c = sample_cameras()[0];
    const std::vector<double> xs{320.0, 321.0, 322.0};
    const std::vector<double> ys{240.0, 240.0};
    std::vector<double> out(9, 7.0);
    pixels_to_vecs(c, xs, ys, out);
    EXPECT_EQ(out[2], 1.0);
    EXPECT_EQ(out[6], 7.0) << "the third pixel has no y and is left alone";
    std::vector<double> pix(3, 7.0);
    vecs_to_pixels(c, std::vector<double>{0, 0, 1, 0, 0, 1}, pix);
    EXPECT_EQ(pix[0], 320.0);
    EXPECT_EQ(pix[2], 7.0) << "room for one row only";
}

TEST(PlateScale, DefaultSigmaIsHalfAPixelFlooredAtOneArcminute) {
    const Camera wide = Camera::from_fov(640, 480, 180.0, 0.0, 320.0, 240.0, 0, 0, 0, 0);
    EXPECT_DOUBLE_EQ(wide.arcmin_per_pixel(), 22.5);
    EXPECT_DOUBLE_EQ(default_sigma_arcmin(wide), 11.25);
    const Camera tele = Camera::from_fov(0, 0, std::nullopt, 4000.0, 0.0, 0.0, 0, 0, 0, 0);
    EXPECT_EQ(default_sigma_arcmin(tele), 1.0);
}

}  // namespace
}  // namespace stelvane
