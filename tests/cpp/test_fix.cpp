// The fix from identified stars: a sky built in the test from a true
// position (apparent places, refraction added back by inverting Bennett's
// formula) must solve back to that position; plus centroid ordering, the
// health gates, longitude wrapping and the tracker's history.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <random>

#include <Eigen/Geometry>

#include "core/fix.hpp"
#include "core/frame.hpp"
#include "core/timescale.hpp"
#include "core/units.hpp"

namespace stelvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kAberration = 9.936508497454117e-05;

// Bennett's refraction (radians) at apparent altitude h (radians).
double bennett(double h) {
    const double h_deg = h * 180.0 / M_PI;
    return std::max(1.0 / std::tan((h_deg + 7.31 / (h_deg + 4.4)) * M_PI / 180.0), 0.0) / 60.0 * M_PI / 180.0;
}

// The apparent altitude whose refraction-corrected value is h_true.
double refracted(double h_true) {
    double h = h_true;
    for (int i = 0; i < 100; ++i) h = h_true + bennett(h);
    return h;
}

Vec3 apparent_of_date(const Vec3& s, double jd) {
    const double t = (jd - 2451545.0) / 36525.0;
    const double g = (357.528 + 35999.05 * t) * M_PI / 180.0;
    const double lam = (280.46 + 36000.771 * t + 1.915 * std::sin(g) + 0.02 * std::sin(2 * g)) * M_PI / 180.0;
    const double eps = (23.4393 - 0.013 * t) * M_PI / 180.0;
    const Vec3 ab(std::sin(lam), -std::cos(lam) * std::cos(eps), -std::cos(lam) * std::sin(eps));
    return (precession_matrix(jd) * s + kAberration * ab).normalized();
}

struct Sky {
    Catalog catalog;
    std::vector<Vec3> cam_vecs;
    std::vector<Correspondence> matches;
    Vec3 up_cam;
    Camera camera;
};

// Stars scattered over the sky above `min_alt_deg` seen by a camera in an arbitrary attitude.
Sky make_sky(double lat_deg, double lon_deg, double jd, int n_stars, double min_alt_deg, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const double lst = gmst_rad(jd) + lon_deg * M_PI / 180.0;
    const double lat = lat_deg * M_PI / 180.0;
    const Vec3 zenith(std::cos(lat) * std::cos(lst), std::cos(lat) * std::sin(lst), std::sin(lat));
    const Mat3 q = Eigen::AngleAxisd(0.7, Vec3(0.3, -0.5, 0.8).normalized()).toRotationMatrix();  // camera -> date
    Sky sky;
    sky.camera = Camera{};
    sky.camera.kind = Projection::Pinhole;
    sky.camera.focal_px = 1000.0;
    sky.up_cam = q.transpose() * zenith * 3.0;  // any length
    while (static_cast<int>(sky.catalog.stars.size()) < n_stars) {
        const Vec3 s = Vec3(u(rng), u(rng), u(rng));
        if (s.norm() > 1.0 || s.norm() < 0.1) continue;
        const Vec3 unit = s.normalized();
        const Vec3 a = apparent_of_date(unit, jd);
        const double h_true = std::asin(a.dot(zenith));
        if (h_true < min_alt_deg * M_PI / 180.0) continue;
        // Lift the star by its refraction along its vertical circle.
        const Vec3 horizontal = (a - zenith * a.dot(zenith)).normalized();
        const double h_app = refracted(h_true);
        const Vec3 seen = horizontal * std::cos(h_app) + zenith * std::sin(h_app);
        Star star;
        star.unit = unit;
        star.ra = std::atan2(unit.y(), unit.x());
        star.dec = std::asin(unit.z());
        star.hr = 1000 + static_cast<std::uint32_t>(sky.catalog.stars.size());
        sky.matches.push_back({sky.cam_vecs.size(), sky.catalog.stars.size()});
        sky.catalog.stars.push_back(star);
        sky.cam_vecs.push_back(q.transpose() * seen);
    }
    return sky;
}

SolveConfig config_with_sigma(double sigma_arcmin) {
    SolveConfig c;
    c.sigma_rad = sigma_arcmin / 60.0 * M_PI / 180.0;
    return c;
}

TEST(ResolveFromMatches, SolvesBackToTheTruePosition) {
    struct Case {
        double lat, lon, jd;
    };
    for (const Case& c : {Case{51.5, -0.1, 2460389.629166667}, Case{-33.9, 151.2, 2455000.25},
                          Case{0.0, 179.999, 2451545.0}, Case{78.2, 15.6, 2462000.9}}) {
        const Sky sky = make_sky(c.lat, c.lon, c.jd, 8, 20.0, 42);
        auto fix = resolve_from_matches(sky.matches, 3, sky.cam_vecs, c.jd, std::nullopt, sky.camera, sky.up_cam,
                                        sky.catalog, config_with_sigma(1.0));
        ASSERT_TRUE(fix.ok()) << fix.error().message();
        EXPECT_NEAR(fix->latitude_deg, c.lat, 1e-7) << "lat " << c.lat;
        EXPECT_NEAR(fix->longitude_deg, c.lon, 1e-7) << "lon " << c.lon;
        EXPECT_LT(fix->residual_rms_rad, 1e-10);
        EXPECT_EQ(fix->matched_hr_ids.size(), 8u);
        EXPECT_EQ(fix->match_margin, 3u);
        EXPECT_FALSE(fix->used_sun);
        const auto& q = fix->attitude;
        EXPECT_NEAR(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3], 1.0, 1e-12);
    }
}

TEST(ResolveFromMatches, LongitudeWrapsAtTheDateLine) {
    const double jd = 2460000.5;
    const auto at = [&](double lon) {
        const Sky sky = make_sky(10.0, lon, jd, 6, 20.0, 5);
        return resolve_from_matches(sky.matches, 0, sky.cam_vecs, jd, std::nullopt, sky.camera, sky.up_cam,
                                    sky.catalog, config_with_sigma(1.0));
    };
    auto east = at(180.0);
    auto just_west = at(179.9999);
    auto just_east = at(-179.9999);
    ASSERT_TRUE(east && just_west && just_east);
    EXPECT_NEAR(std::fabs(east->longitude_deg), 180.0, 1e-7);
    EXPECT_GT(just_west->longitude_deg, 179.99);
    EXPECT_LT(just_east->longitude_deg, -179.99);
}

TEST(ResolveFromMatches, CovarianceScalesWithSigma) {
    const double jd = 2458000.5;
    const Sky sky = make_sky(40.0, -70.0, jd, 7, 20.0, 9);
    auto one = resolve_from_matches(sky.matches, 0, sky.cam_vecs, jd, std::nullopt, sky.camera, sky.up_cam,
                                    sky.catalog, config_with_sigma(1.0));
    auto two = resolve_from_matches(sky.matches, 0, sky.cam_vecs, jd, std::nullopt, sky.camera, sky.up_cam,
                                    sky.catalog, config_with_sigma(2.0));
    ASSERT_TRUE(one && two);
    EXPECT_NEAR(two->covariance[0][0], 4.0 * one->covariance[0][0], 1e-18);
    EXPECT_NEAR(two->ellipse_2sigma_nm.semi_major_nm, 2.0 * one->ellipse_2sigma_nm.semi_major_nm, 1e-9);
    EXPECT_NEAR(two->latitude_deg, one->latitude_deg, 1e-9);
}

TEST(ResolveFromMatches, LowStarsLeaveTheFit) {
    const double jd = 2458000.5;
    Sky sky = make_sky(40.0, -70.0, jd, 5, 20.0, 13);
    // Tilt the up vector so that only some stars stay above 15 deg: count them independently.
    std::size_t above = 0;
    for (const Vec3& c : sky.cam_vecs) above += (std::asin(c.dot(sky.up_cam.normalized())) >= 15.0 * M_PI / 180.0);
    ASSERT_EQ(above, 5u);
    SolveConfig config = config_with_sigma(1.0);
    config.min_altitude_rad = 90.0 * M_PI / 180.0;  // nothing qualifies
    auto none = resolve_from_matches(sky.matches, 0, sky.cam_vecs, jd, std::nullopt, sky.camera, sky.up_cam,
                                     sky.catalog, config);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().message(), "insufficient stars: needed 3, got 0");
}

TEST(ResolveFromMatches, HealthGatesInOrder) {
    const double jd = 2458000.5;
    const Sky sky = make_sky(-20.0, 30.0, jd, 6, 20.0, 21);
    SolveConfig config = config_with_sigma(1.0);
    config.min_matched_stars = 6;
    EXPECT_TRUE(resolve_from_matches(sky.matches, 2, sky.cam_vecs, jd, std::nullopt, sky.camera, sky.up_cam,
                                     sky.catalog, config));
    config.min_matched_stars = 7;
    config.max_residual_rms_rad = 0.0;
    auto thin = resolve_from_matches(sky.matches, 2, sky.cam_vecs, jd, std::nullopt, sky.camera, sky.up_cam,
                                     sky.catalog, config);
    ASSERT_FALSE(thin);
    const auto* lock = thin.error().get_if<ThinLock>();
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(lock->reason, ThinLockReason::TooFewMatched);  // the first gate wins over the residual gate
    EXPECT_EQ(lock->matched, 6u);
    EXPECT_EQ(lock->margin, 2u);
    config.min_matched_stars.reset();
    auto noisy = resolve_from_matches(sky.matches, 2, sky.cam_vecs, jd, std::nullopt, sky.camera, sky.up_cam,
                                      sky.catalog, config);
    // An exact sky still leaves rounding in the residual, which a zero limit refuses.
    ASSERT_FALSE(noisy);
    const auto* lock2 = noisy.error().get_if<ThinLock>();
    ASSERT_NE(lock2, nullptr);
    EXPECT_EQ(lock2->reason, ThinLockReason::ResidualTooLarge);
    EXPECT_GT(lock2->residual_rms_rad, 0.0);
}

TEST(ResolveFromMatches, ZeroSigmaIsSingular) {
    const double jd = 2458000.5;
    const Sky sky = make_sky(-20.0, 30.0, jd, 6, 20.0, 21);
    auto fix = resolve_from_matches(sky.matches, 0, sky.cam_vecs, jd, std::nullopt, sky.camera, sky.up_cam,
                                    sky.catalog, config_with_sigma(0.0));
    ASSERT_FALSE(fix);
    EXPECT_EQ(fix.error().message(), "observation geometry is singular");
}

// The sights of a fix against the horizon frame built in the test from the true position:
// azimuth from the north and east unit vectors, altitude from the zenith, pixel from the
// pinhole's own formula (NaN behind the camera), and residuals orthogonal to the fit's
// Jacobian columns (cos Az, sin Az) once it has converged.
TEST(ResolveFromMatches, SightsDescribeTheFit) {
    const double jd = 2459000.75, lat_deg = -35.0, lon_deg = 140.0;
    Sky sky = make_sky(lat_deg, lon_deg, jd, 9, 20.0, 77);
    // A little noise so that the residuals are not all zero.
    std::mt19937_64 rng(3);
    std::normal_distribution<double> noise(0.0, 2e-4);
    for (Vec3& c : sky.cam_vecs) c = (c + Vec3(noise(rng), noise(rng), noise(rng))).normalized();
    const double sigma_arcmin = 1.5;
    auto fix = resolve_from_matches(sky.matches, 0, sky.cam_vecs, jd, std::nullopt, sky.camera, sky.up_cam,
                                    sky.catalog, config_with_sigma(sigma_arcmin));
    ASSERT_TRUE(fix.ok()) << fix.error().message();
    ASSERT_EQ(fix->sights.size(), 9u);

    const double lat = fix->latitude_deg * M_PI / 180.0;
    const double lst = gmst_rad(jd) + fix->longitude_deg * M_PI / 180.0;
    const Vec3 zenith(std::cos(lat) * std::cos(lst), std::cos(lat) * std::sin(lst), std::sin(lat));
    const Vec3 east(-std::sin(lst), std::cos(lst), 0.0);
    const Vec3 north = zenith.cross(east);
    const Vec3 up = sky.up_cam.normalized();
    double sum_cos = 0.0, sum_sin = 0.0, sum_sq = 0.0;
    for (std::size_t i = 0; i < 9; ++i) {
        const Sight& s = fix->sights[i];
        EXPECT_EQ(s.hr, fix->matched_hr_ids[i]);
        const Vec3 a = apparent_of_date(sky.catalog.stars[sky.matches[i].star].unit, jd);
        EXPECT_NEAR(s.azimuth_rad, std::atan2(a.dot(east), a.dot(north)), 1e-9) << "star " << i;
        const double h = std::asin(sky.cam_vecs[i].dot(up));
        EXPECT_NEAR(s.altitude_rad, h - bennett(h), 1e-12) << "star " << i;
        EXPECT_NEAR(s.residual_rad, s.altitude_rad - std::asin(a.dot(zenith)), 1e-9) << "star " << i;
        EXPECT_EQ(s.sigma_rad, sigma_arcmin / 60.0 * M_PI / 180.0);
        const Vec3& c = sky.cam_vecs[i];
        if (c.z() > 1e-12) {
            EXPECT_NEAR(s.pixel.x, 1000.0 * c.x() / c.z(), 1e-9) << "star " << i;
            EXPECT_NEAR(s.pixel.y, 1000.0 * c.y() / c.z(), 1e-9) << "star " << i;
        } else {
            EXPECT_TRUE(std::isnan(s.pixel.x) && std::isnan(s.pixel.y)) << "star " << i;
        }
        sum_cos += s.residual_rad * std::cos(s.azimuth_rad);
        sum_sin += s.residual_rad * std::sin(s.azimuth_rad);
        sum_sq += s.residual_rad * s.residual_rad;
    }
    EXPECT_GT(std::sqrt(sum_sq / 9.0), 1e-5);  // the noise reached the residuals
    EXPECT_NEAR(sum_cos, 0.0, 1e-12);
    EXPECT_NEAR(sum_sin, 0.0, 1e-12);
    EXPECT_NEAR(fix->up_unit[0], up.x(), 1e-15);
    EXPECT_NEAR(fix->up_unit[1], up.y(), 1e-15);
    EXPECT_NEAR(fix->up_unit[2], up.z(), 1e-15);
    EXPECT_EQ(fix->jd, jd);
    EXPECT_NEAR(fix->arcmin_per_pixel, std::atan(1.0 / 1000.0) * 180.0 / M_PI * 60.0, 1e-12);
}

TEST(UnitUp, RefusesDegenerateVectors) {
    for (const Vec3& v : {Vec3(0, 0, 0), Vec3(kNaN, 0, 1), Vec3(0, INFINITY, 1), Vec3(0, 0, 1e-10),
                          Vec3(1e308, 1e308, 0)}) {
        auto u = unit_up(v);
        ASSERT_FALSE(u);
        EXPECT_EQ(u.error().message(), "up vector is degenerate: zero length or non-finite");
    }
    EXPECT_TRUE(unit_up(Vec3(0, 0, 1e-9)));
}

TEST(OrderedCamVecs, StableTotalOrderBrightestFirst) {
    Camera cam;
    cam.kind = Projection::Pinhole;
    cam.focal_px = 100.0;
    const std::vector<Centroid> cs = {{1, 0, 5.0}, {2, 0, -kNaN}, {3, 0, 5.0}, {4, 0, kNaN},
                                      {5, 0, INFINITY}, {6, 0, -0.0}, {7, 0, 0.0}};
    const std::vector<Vec3> v = ordered_cam_vecs(cs, cam, 10);
    // +NaN, inf, 5 (x=1), 5 (x=3), +0, -0, -NaN
    const double want_x[] = {4, 5, 1, 3, 7, 6, 2};
    ASSERT_EQ(v.size(), 7u);
    for (int i = 0; i < 7; ++i) EXPECT_NEAR(v[i].x() / v[i].z() * 100.0, want_x[i], 1e-9) << i;
    EXPECT_EQ(ordered_cam_vecs(cs, cam, 3).size(), 3u);
    EXPECT_TRUE(ordered_cam_vecs(cs, cam, 0).empty());
}

TEST(FixHistory, RefusalsLeaveTheReference) {
    FixHistory h;
    ASSERT_TRUE(h.set_last_known_position(10.0, 20.0, 2460000.5));
    const struct {
        double lat, lon, jd;
        const char* detail;
    } refused[] = {
        {91.0, 0.0, 2460000.5, "latitude 91 out of range [-90, 90]"},
        {kNaN, 0.0, 2460000.5, "latitude NaN out of range [-90, 90]"},
        {0.0, -180.5, 2460000.5, "longitude -180.5 out of range [-180, 180]"},
        {0.0, 0.0, INFINITY, "timestamp jd inf is not finite"},
    };
    for (const auto& r : refused) {
        const Status s = h.set_last_known_position(r.lat, r.lon, r.jd);
        ASSERT_FALSE(s);
        EXPECT_EQ(s.error().get_if<BadPosition>()->detail, r.detail);
        EXPECT_EQ(h.reference()->latitude_deg, 10.0);
    }
    EXPECT_TRUE(h.set_last_known_position(0.0, 180.0, 2460000.5));
    EXPECT_EQ(h.reference()->longitude_deg, 180.0);
}

// The residual gate written as "within the limit": equal passes, above and NaN fail.
struct GateCase {
    std::optional<std::size_t> min_matched;
    std::optional<double> max_rms;
    std::size_t matched;
    double rms;
    std::optional<ThinLockReason> want;
};

class HealthGate : public ::testing::TestWithParam<GateCase> {};

TEST_P(HealthGate, FirstFailingGateOrNothing) {
    const GateCase c = GetParam();
    SolveConfig config;
    config.min_matched_stars = c.min_matched;
    config.max_residual_rms_rad = c.max_rms;
    EXPECT_EQ(failed_health_gate(config, c.matched, c.rms), c.want);
    PositionFix fix;
    fix.matched_hr_ids.assign(c.matched, 1u);
    fix.residual_rms_rad = c.rms;
    EXPECT_EQ(passes_health_gates(config, fix), !c.want.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Fix, HealthGate,
    ::testing::Values(GateCase{std::nullopt, std::nullopt, 0, kNaN, std::nullopt},
                      GateCase{std::nullopt, 1e-4, 5, 1e-4, std::nullopt},
                      GateCase{std::nullopt, 1e-4, 5, 1.0000000000000002e-4, ThinLockReason::ResidualTooLarge},
                      GateCase{std::nullopt, 1e-4, 5, kNaN, ThinLockReason::ResidualTooLarge},
                      GateCase{std::nullopt, 0.0, 5, 0.0, std::nullopt},
                      GateCase{5, std::nullopt, 5, kNaN, std::nullopt},
                      GateCase{6, std::nullopt, 5, 0.0, ThinLockReason::TooFewMatched},
                      GateCase{6, 1e-4, 5, kNaN, ThinLockReason::TooFewMatched}));

}  // namespace
}  // namespace stelvane
