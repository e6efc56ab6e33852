// Position from altitudes: convergence, singular geometry, covariance scaling
// and the unwrapped longitude. Expected altitudes and azimuths come from the
// zenith/north/east vectors of the observer, not from the hour-angle formulas.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include <Eigen/Dense>

#include "core/solve.hpp"
#include "core/units.hpp"
#include "core/vec.hpp"

namespace stelvane {
namespace {

using units::DEG;
using units::PI;

constexpr double ARCMIN = DEG / 60.0;

struct Observer {
    double lat;
    double lon;
    double gmst;
    Vec3 zenith() const {
        const double lst = gmst + lon;
        return {std::cos(lat) * std::cos(lst), std::cos(lat) * std::sin(lst), std::sin(lat)};
    }
    Vec3 north() const {
        const double lst = gmst + lon;
        return {-std::sin(lat) * std::cos(lst), -std::sin(lat) * std::sin(lst), std::cos(lat)};
    }
    Vec3 east() const {
        const double lst = gmst + lon;
        return {-std::sin(lst), std::cos(lst), 0.0};
    }
};

Vec3 direction(double ra, double dec) {
    return {std::cos(dec) * std::cos(ra), std::cos(dec) * std::sin(ra), std::sin(dec)};
}

double altitude_of(const Observer& o, double ra, double dec) { return std::asin(o.zenith().dot(direction(ra, dec))); }
double azimuth_of(const Observer& o, double ra, double dec) {
    const Vec3 s = direction(ra, dec);
    return std::atan2(s.dot(o.east()), s.dot(o.north()));
}

// A body at the given altitude and azimuth for the observer, as (ra, dec).
std::pair<double, double> body_at(const Observer& o, double alt, double az) {
    const Vec3 s = std::sin(alt) * o.zenith() + std::cos(alt) * (std::cos(az) * o.north() + std::sin(az) * o.east());
    return {std::atan2(s.y(), s.x()), std::asin(s.z())};
}

std::vector<Observation> sights(const Observer& o, const std::vector<std::pair<double, double>>& alt_az_deg,
                                double sigma) {
    std::vector<Observation> out;
    for (auto [alt, az] : alt_az_deg) {
        auto [ra, dec] = body_at(o, alt * DEG, az * DEG);
        out.push_back({ra, dec, altitude_of(o, ra, dec), sigma});
    }
    return out;
}

// sigma^2 times the inverse of sum (cos Az, sin Az)(cos Az, sin Az)^T at the observer.
Eigen::Matrix2d expected_covariance(const Observer& o, const std::vector<Observation>& obs) {
    Eigen::Matrix2d normal = Eigen::Matrix2d::Zero();
    for (const Observation& ob : obs) {
        const double az = azimuth_of(o, ob.ra, ob.dec);
        const Eigen::Vector2d g(std::cos(az), std::sin(az));
        normal += g * g.transpose() / (ob.sigma * ob.sigma);
    }
    return normal.inverse();
}

const std::vector<std::pair<double, double>> kSpread{{35, 10}, {50, 95}, {28, 200}, {62, 280}, {41, 150}};

TEST(RefineFix, TooFewObservations) {
    const Observer o{0.7, -1.2, 2.0};
    for (std::size_t n : {0u, 1u}) {
        const auto obs = sights(o, std::vector<std::pair<double, double>>(kSpread.begin(), kSpread.begin() + n),
                                ARCMIN);
        const Result<RefinedFix> r = refine_fix(obs, o.gmst, o.lat, o.lon);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message(), "insufficient stars: needed 2, got " + std::to_string(n));
    }
}

// Two lines of position that are parallel: equal or opposite azimuths.
TEST(RefineFix, ParallelLinesOfPositionAreSingular) {
    const Observer o{40 * DEG, 0.0, 0.0};
    // Bodies on the meridian (hour angle exactly 0): dec below the zenith's
    // declination lies due south, above it due north.
    for (double second_dec : {20 * DEG, 70 * DEG}) {
        const std::vector<Observation> obs{{0.0, 10 * DEG, 55 * DEG, ARCMIN}, {0.0, second_dec, 60 * DEG, ARCMIN}};
        const Result<RefinedFix> r = refine_fix(obs, o.gmst, o.lat, o.lon);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message(), "observation geometry is singular");
    }
}

struct StartCase {
    double dlat_deg;
    double dlon_deg;
};

void PrintTo(const StartCase& c, std::ostream* os) { *os << "offset " << c.dlat_deg << ", " << c.dlon_deg << " deg"; }

class RefineFixConverges : public ::testing::TestWithParam<StartCase> {};

TEST_P(RefineFixConverges, ReachesTheTruePosition) {
    const Observer truth{0.7, -1.2, 2.0};
    const auto obs = sights(truth, kSpread, ARCMIN);
    const StartCase s = GetParam();
    const Result<RefinedFix> r = refine_fix(obs, truth.gmst, truth.lat + s.dlat_deg * DEG,
                                            truth.lon + s.dlon_deg * DEG);
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_NEAR(r->lat_rad, truth.lat, 1e-9);
    EXPECT_NEAR(r->lon_rad, truth.lon, 1e-9);
    EXPECT_GT(r->n_iterations, 1u);
    EXPECT_LT(r->n_iterations, 10u);
}

INSTANTIATE_TEST_SUITE_P(Solve, RefineFixConverges,
                         ::testing::Values(StartCase{3, -4}, StartCase{-5, 2}, StartCase{0.01, 0.01},
                                           StartCase{-2, -6}));

TEST(RefineFix, StartingAtTheTruthTakesOneIteration) {
    const Observer truth{-0.4, 2.5, 5.9};
    const auto obs = sights(truth, kSpread, ARCMIN);
    const Result<RefinedFix> r = refine_fix(obs, truth.gmst, truth.lat, truth.lon);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->n_iterations, 1u);
    EXPECT_NEAR(r->lat_rad, truth.lat, 1e-14);
    EXPECT_NEAR(r->lon_rad, truth.lon, 1e-14);
    // Covariance of the linearisation at the truth.
    const Eigen::Matrix2d want = expected_covariance(truth, obs);
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 2; ++j) {
            EXPECT_NEAR(r->covariance[i][j], want(i, j), 1e-10 * want.cwiseAbs().maxCoeff()) << i << "," << j;
        }
    }
    EXPECT_EQ(r->covariance[0][1], r->covariance[1][0]);
}

// Halving every sigma scales the weights by exactly 4: the steps are unchanged
// bit for bit and every covariance entry is divided by 4.
TEST(RefineFix, CovarianceScalesWithSigmaSquared) {
    const Observer truth{0.9, 0.3, 1.0};
    auto obs = sights(truth, kSpread, 2 * ARCMIN);
    const Result<RefinedFix> wide = refine_fix(obs, truth.gmst, truth.lat + 0.05, truth.lon - 0.03);
    for (Observation& ob : obs) ob.sigma *= 0.5;
    const Result<RefinedFix> narrow = refine_fix(obs, truth.gmst, truth.lat + 0.05, truth.lon - 0.03);
    ASSERT_TRUE(wide.ok() && narrow.ok());
    EXPECT_EQ(narrow->lat_rad, wide->lat_rad);
    EXPECT_EQ(narrow->lon_rad, wide->lon_rad);
    EXPECT_EQ(narrow->n_iterations, wide->n_iterations);
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 2; ++j) EXPECT_EQ(narrow->covariance[i][j], wide->covariance[i][j] / 4.0);
    }
    // And the magnitude: sigma^2 over the azimuth matrix.
    const Eigen::Matrix2d want = expected_covariance(truth, obs);
    EXPECT_NEAR(narrow->covariance[0][0], want(0, 0), 1e-6 * want(0, 0));
    EXPECT_NEAR(narrow->covariance[1][1], want(1, 1), 1e-6 * want(1, 1));
}

struct ElongatedCase {
    std::vector<std::pair<double, double>> alt_az_deg;
    bool north_uncertain;  // bodies near east/west leave the north coordinate weak
};

void PrintTo(const ElongatedCase& c, std::ostream* os) { *os << (c.north_uncertain ? "east-west bodies" : "north-south bodies"); }

class RefineFixElongated : public ::testing::TestWithParam<ElongatedCase> {};

TEST_P(RefineFixElongated, WeakAxisCarriesTheVariance) {
    const Observer truth{0.5, 1.0, 0.2};
    const ElongatedCase c = GetParam();
    const auto obs = sights(truth, c.alt_az_deg, ARCMIN);
    const Result<RefinedFix> r = refine_fix(obs, truth.gmst, truth.lat, truth.lon);
    ASSERT_TRUE(r.ok()) << r.error().message();
    const double var_n = r->covariance[0][0], var_e = r->covariance[1][1];
    if (c.north_uncertain) {
        EXPECT_GT(var_n, 100 * var_e);
    } else {
        EXPECT_GT(var_e, 100 * var_n);
    }
    const Eigen::Matrix2d want = expected_covariance(truth, obs);
    EXPECT_NEAR(var_n, want(0, 0), 1e-8 * want(0, 0));
    EXPECT_NEAR(var_e, want(1, 1), 1e-8 * want(1, 1));
}

INSTANTIATE_TEST_SUITE_P(Solve, RefineFixElongated,
                         ::testing::Values(ElongatedCase{{{30, 88}, {40, 92}, {35, 268}, {50, 273}}, true},
                                           ElongatedCase{{{30, 2}, {40, 178}, {35, 183}, {50, -3}}, false}));

// The fit does not wrap: from 3.1 rad it walks east past pi to -3.1 + 2 pi.
TEST(RefineFix, LongitudeIsNotWrapped) {
    const Observer truth{0.3, -3.1, 4.0};
    const auto obs = sights(truth, kSpread, ARCMIN);
    const Result<RefinedFix> r = refine_fix(obs, truth.gmst, 0.3, 3.1);
    ASSERT_TRUE(r.ok());
    EXPECT_NEAR(r->lon_rad, -3.1 + 2 * PI, 1e-9);  // about 3.1832
    EXPECT_NEAR(r->lat_rad, 0.3, 1e-9);
}

// Two circles of position that never meet (zenith distances of 11 to 37 degrees
// around points 120 to 172 degrees apart) leave Newton's step without a root to
// find: the fit wanders and stops at the cap without an error.
TEST(RefineFix, NoSolutionStopsAtTheIterationCap) {
    for (double separation : {2.1, 3.0}) {
        for (double alt : {1.0, 1.4}) {
            const std::vector<Observation> obs{{0.0, 0.1, alt, ARCMIN}, {separation, -0.1, alt, ARCMIN}};
            const Result<RefinedFix> r = refine_fix(obs, 0.0, 0.3, 1.0);
            ASSERT_TRUE(r.ok()) << r.error().message();
            EXPECT_EQ(r->n_iterations, MAX_FIX_ITERATIONS);
            EXPECT_EQ(MAX_FIX_ITERATIONS, 20u);
        }
    }
}

TEST(RefineFix, ZeroSigmaOrNaNFieldIsSingular) {
    const Observer truth{0.3, 1.0, 4.0};
    for (int field = 0; field < 4; ++field) {
        auto obs = sights(truth, kSpread, ARCMIN);
        switch (field) {
            case 0: obs[2].sigma = 0.0; break;
            case 1: obs[1].alt = std::nan(""); break;
            case 2: obs[0].ra = std::nan(""); break;
            default: obs[3].dec = std::nan(""); break;
        }
        const Result<RefinedFix> r = refine_fix(obs, truth.gmst, truth.lat, truth.lon);
        ASSERT_FALSE(r.ok()) << field;
        EXPECT_EQ(r.error().kind(), ErrorKind::SingularGeometry) << field;
    }
}

}  // namespace
}  // namespace stelvane
