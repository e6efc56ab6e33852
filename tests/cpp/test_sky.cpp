// Julian Dates, sidereal time, precession, the Sun, great-circle distance and the
// azimuth ellipse against values quoted from Meeus and the Astronomical Almanac.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <Eigen/Geometry>
#include <Eigen/LU>

#include "core/ephemeris.hpp"
#include "core/fix.hpp"
#include "core/frame.hpp"
#include "core/refraction.hpp"
#include "core/timescale.hpp"
#include "core/units.hpp"

namespace stelvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(JulianDate, QuotedInstants) {
    EXPECT_EQ(julian_date(2000, 1, 1, 12, 0, 0), 2451545.0);
    EXPECT_EQ(julian_date(1999, 12, 31, 0, 0, 0), 2451543.5);
    EXPECT_DOUBLE_EQ(julian_date(2024, 3, 20, 3, 6, 0), 2460389.629166667);
    EXPECT_EQ(julian_date(2000, 2, 29, 6, 30, 15.5), 2451603.7710127314);
    // The Gregorian rule holds before the 1582 reform too.
    EXPECT_EQ(julian_date(1582, 10, 4, 0, 0, 0), 2299149.5);
    // Meeus example 7.a: 1957 October 4.81 = JD 2436116.31.
    EXPECT_NEAR(julian_date(1957, 10, 4, 19, 26, 24), 2436116.31, 1e-9);
}

TEST(JulianDate, FieldsRollOver) {
    EXPECT_EQ(julian_date(2000, 1, 1, 0, 90, 0), julian_date(2000, 1, 1, 1, 30, 0));
    EXPECT_EQ(julian_date(2000, 1, 1, 36, 0, 0), julian_date(2000, 1, 2, 12, 0, 0));
    EXPECT_TRUE(std::isnan(julian_date(2000, 1, 1, 0, 0, kNaN)));
}

TEST(JulianDate, ExtremeYearsStayFinite) {
    EXPECT_TRUE(std::isfinite(julian_date(std::numeric_limits<std::int32_t>::min(), 1, 1, 0, 0, 0)));
    EXPECT_TRUE(std::isfinite(julian_date(std::numeric_limits<std::int32_t>::max(), 12, 31, 0, 0, 0)));
}

struct GmstCase {
    double jd;
    double want_deg;
};

TEST(Gmst, QuotedAngles) {
    for (const GmstCase& c : {GmstCase{2451545.0, 280.460618375}, GmstCase{2415020.0, 279.69095272421833},
                              GmstCase{2460389.5, 178.0187722414732}}) {
        EXPECT_NEAR(gmst_rad(c.jd) * units::RAD_TO_DEG, c.want_deg, 1e-9) << "jd " << c.jd;
    }
}

TEST(Gmst, StaysInHalfOpenRange) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> jd(2200000.0, 2700000.0);
    for (int i = 0; i < 100000; ++i) {
        const double g = gmst_rad(jd(rng));
        ASSERT_GE(g, 0.0);
        ASSERT_LT(g, units::TWO_PI);
    }
    EXPECT_TRUE(std::isnan(gmst_rad(kNaN)));
}

TEST(Gmst, AdvancesOneSiderealDayPerSolarDayPlusFourMinutes) {
    // A mean solar day turns the sky by 360.9856 deg.
    const double a = gmst_rad(2460000.5), b = gmst_rad(2460001.5);
    double step = (b - a) * units::RAD_TO_DEG;
    if (step < 0) step += 360.0;
    EXPECT_NEAR(step, 0.98564736, 1e-6);
}

TEST(Precession, IdentityAtJ2000) {
    EXPECT_TRUE(precession_matrix(2451545.0).isApprox(Mat3::Identity(), 1e-15));
}

TEST(Precession, QuotedVector) {
    const Vec3 v = precession_matrix(2460389.5) * Vec3(1, 0, 0);
    EXPECT_NEAR(v.x(), 0.9999825694413288, 1e-15);
    EXPECT_NEAR(v.y(), 0.005415238854149569, 1e-15);
    EXPECT_NEAR(v.z(), 0.002352870942171384, 1e-15);
}

TEST(Precession, IsARotation) {
    for (double jd : {2415020.0, 2451545.0 + 3652.5, 2488069.5}) {
        const Mat3 p = precession_matrix(jd);
        EXPECT_TRUE((p * p.transpose()).isApprox(Mat3::Identity(), 1e-14));
        EXPECT_NEAR(p.determinant(), 1.0, 1e-14);
    }
}

TEST(Precession, GeneralPrecessionRate) {
    // Over one century the pole moves by theta = 2004.3109" - 0.42665" - 0.041833" towards the equinox.
    const Mat3 p = precession_matrix(2451545.0 + 36525.0);
    const double moved = std::acos(p(2, 2)) / units::ARCSEC;
    EXPECT_NEAR(moved, 2004.3109 - 0.42665 - 0.041833, 1e-6);
}

TEST(SunApparent, QuotedPositions) {
    const auto a = sun_apparent(2451545.0);
    EXPECT_NEAR(a.ra_rad, 4.909256459195106, 1e-14);
    EXPECT_NEAR(a.dec_rad, -0.40201689599120566, 1e-14);
    // Just before the March equinox the right ascension stays below 2 pi rather than going negative.
    const auto b = sun_apparent(2460389.5);
    EXPECT_NEAR(b.ra_rad, 6.2811003413972255, 1e-14);
    EXPECT_NEAR(b.dec_rad, -0.0009037921704628284, 1e-15);
}

TEST(SunApparent, RangeOverManyYears) {
    for (double jd = 2440000.5; jd < 2470000.5; jd += 0.37) {
        const auto s = sun_apparent(jd);
        ASSERT_GE(s.ra_rad, 0.0);
        ASSERT_LT(s.ra_rad, units::TWO_PI);
        ASSERT_LE(std::fabs(s.dec_rad), 23.45 * units::DEG);
    }
}

TEST(GreatCircle, QuotedDistances) {
    EXPECT_NEAR(great_circle_nm(0, 0, 0, 1), 60.0, 1e-9);
    EXPECT_NEAR(great_circle_nm(0, 0, 0, 180), 10800.0, 1e-9);
    EXPECT_NEAR(great_circle_nm(90, 0, -90, 0), 10800.0, 1e-9);
    EXPECT_NEAR(great_circle_nm(51.5, -0.1, 40.7, -74.0), 3007.05, 0.01);
    EXPECT_TRUE(std::isnan(great_circle_nm(kNaN, 0, 0, 0)));
}

TEST(GreatCircle, AntipodesNeverNaN) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> lat(-90.0, 90.0), lon(-180.0, 180.0);
    for (int i = 0; i < 20000; ++i) {
        const double la = lat(rng), lo = lon(rng);
        const double d = great_circle_nm(la, lo, -la, lo + 180.0);
        ASSERT_FALSE(std::isnan(d)) << la << " " << lo;
        ASSERT_NEAR(d, 10800.0, 1e-3);  // the degree conversions round, the distance must not be NaN
    }
}

std::optional<EllipseNm> ellipse_deg(std::vector<double> az_deg, double sigma_arcmin) {
    for (double& a : az_deg) a *= units::DEG;
    return azimuth_ellipse_2sigma(az_deg, units::arcmin_to_rad(sigma_arcmin));
}

TEST(AzimuthEllipse, OrthogonalSightsGiveTwoMileCircle) {
    const auto e = ellipse_deg({0, 90}, 1.0);
    ASSERT_TRUE(e);
    EXPECT_NEAR(e->semi_major_nm, 2.0, 1e-9);
    EXPECT_NEAR(e->semi_minor_nm, 2.0, 1e-9);
}

TEST(AzimuthEllipse, ThreeSymmetricSights) {
    const auto e = ellipse_deg({0, 120, 240}, 1.0);
    ASSERT_TRUE(e);
    EXPECT_NEAR(e->semi_major_nm, 2.0 / std::sqrt(1.5), 1e-9);
    EXPECT_NEAR(e->semi_minor_nm, 2.0 / std::sqrt(1.5), 1e-9);
}

TEST(AzimuthEllipse, NearlyParallelSightsLooseAcross) {
    const auto e = ellipse_deg({0, 10}, 1.0);
    ASSERT_TRUE(e);
    EXPECT_NEAR(e->semi_major_nm, 16.23, 0.01);
    EXPECT_NEAR(e->semi_minor_nm, 1.42, 0.01);
    EXPECT_NEAR(e->orientation_deg, -85.0, 1e-9);
}

TEST(AzimuthEllipse, SingularGeometries) {
    EXPECT_FALSE(ellipse_deg({10, 10}, 1.0));
    EXPECT_FALSE(ellipse_deg({0, 180}, 1.0));
    EXPECT_FALSE(ellipse_deg({}, 1.0));
    EXPECT_FALSE(ellipse_deg({45}, 1.0));
}

TEST(AzimuthEllipse, ScalesWithSigmaAndIgnoresReversal) {
    const auto a = ellipse_deg({20, 75, 150}, 1.0);
    const auto b = ellipse_deg({20, 75, 150}, 2.0);
    const auto c = ellipse_deg({200, 75, 330}, 1.0);
    ASSERT_TRUE(a && b && c);
    EXPECT_NEAR(b->semi_major_nm, 2.0 * a->semi_major_nm, 1e-9);
    EXPECT_NEAR(b->semi_minor_nm, 2.0 * a->semi_minor_nm, 1e-9);
    EXPECT_NEAR(b->orientation_deg, a->orientation_deg, 1e-9);
    EXPECT_NEAR(c->semi_major_nm, a->semi_major_nm, 1e-9);
    EXPECT_NEAR(c->orientation_deg, a->orientation_deg, 1e-9);
}

// The Sun behind aberration and parallax (century form) against the apparent Sun
// (day form): the same body from two sets of constants, so over 1950-2050 the two
// directions agree to the forms' 0.01 deg plus the 20.5 arcsec of aberration that
// only the apparent Sun carries. Both take the ecliptic to the equator by their own
// obliquity of date, so the comparison needs no precession.
TEST(SunForms, CenturyAndDayFormsAgree) {
    for (double jd = 2433282.5; jd < 2469807.5; jd += 97.3) {
        const Vec3 sun = sun_unit(jd);
        const EquatorialPosition apparent = sun_apparent(jd);
        const Vec3 day(std::cos(apparent.dec_rad) * std::cos(apparent.ra_rad),
                       std::cos(apparent.dec_rad) * std::sin(apparent.ra_rad), std::sin(apparent.dec_rad));
        const double angle_deg = std::acos(std::min(sun.dot(day), 1.0)) * 180.0 / M_PI;
        EXPECT_LT(angle_deg, 0.02) << "jd " << jd;
        EXPECT_NEAR(sun.norm(), 1.0, 1e-15);
    }
}

// The aberration offset is kappa long and points 90 deg behind the Sun, along the
// Earth's orbital velocity: perpendicular to the Sun and to the ecliptic pole.
TEST(Aberration, OffsetIsKappaAlongTheEarthsVelocity) {
    constexpr double kappa = 20.49552 / 3600.0 * M_PI / 180.0;
    for (double jd : {2451545.0, 2455197.5, 2460400.5, 2469807.5}) {
        const Vec3 offset = aberration_offset(jd);
        const Vec3 sun = sun_unit(jd);
        const double t = (jd - 2451545.0) / 36525.0;
        const double eps = (23.4393 - 0.013 * t) * M_PI / 180.0;
        const Vec3 ecliptic_pole(0.0, -std::sin(eps), std::cos(eps));
        EXPECT_NEAR(offset.norm(), kappa, 1e-19) << jd;
        // Right angles to 1e-12 rad: the two longitudes round apart by an ulp of the
        // mean longitude in degrees, which grows to about 3e-14 rad by 2070.
        EXPECT_NEAR(offset.dot(sun) / kappa, 0.0, 1e-12) << jd;
        EXPECT_NEAR(offset.dot(ecliptic_pole) / kappa, 0.0, 1e-12) << jd;
        // 90 deg behind: the Sun's direction a quarter-turn later in longitude is -offset.
        EXPECT_GT((sun.cross(-offset)).dot(ecliptic_pole), 0.0) << jd;
    }
}

// Bennett's formula against values quoted from Meeus (Astronomical Algorithms, ch. 16):
// 34.5 arcmin at the horizon, about 1 arcmin at 45 deg; never negative.
struct RefractionCase {
    double alt_deg;
    double want_arcmin;
    double tol_arcmin;
};

class Refraction : public ::testing::TestWithParam<RefractionCase> {};

TEST_P(Refraction, QuotedValues) {
    const RefractionCase c = GetParam();
    EXPECT_NEAR(bennett_refraction_arcmin(c.alt_deg), c.want_arcmin, c.tol_arcmin);
    EXPECT_NEAR(refraction_rad(c.alt_deg * M_PI / 180.0), c.want_arcmin / 60.0 * M_PI / 180.0,
                c.tol_arcmin / 60.0 * M_PI / 180.0);
}

INSTANTIATE_TEST_SUITE_P(Sky, Refraction,
                         ::testing::Values(RefractionCase{0.0, 34.5, 0.05}, RefractionCase{45.0, 0.995, 0.005},
                                           RefractionCase{90.0, 0.0, 0.0}, RefractionCase{89.99, 0.0, 0.0}));

TEST(Refraction, NaNStaysNaN) {
    EXPECT_TRUE(std::isnan(bennett_refraction_arcmin(kNaN)));
    EXPECT_TRUE(std::isnan(refraction_rad(kNaN)));
}

}  // namespace
}  // namespace stelvane
