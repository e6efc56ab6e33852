// The widened identification: bright non-stars ahead of the stars leave the first
// search without a match, and the pool slid past them finds the stars; lists that
// hold no pattern, or that the slide cannot clear, still fail.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include <Eigen/Geometry>

#include "core/identify.hpp"
#include "core/units.hpp"
#include "tests/cpp/sky_helpers.hpp"

namespace stelvane {
namespace {

constexpr double ARCMIN = units::DEG / 60.0;
constexpr double TOLERANCE = 4.0 * ARCMIN;
constexpr std::size_t POOL = 5;

using test::random_unit;

// A catalog of random stars with every pair within 40 deg indexed.
Catalog random_catalog(std::size_t n, std::mt19937_64& rng) {
    Catalog catalog;
    for (std::size_t k = 0; k < n; ++k) {
        Star s;
        s.unit = random_unit(rng);
        s.ra = std::atan2(s.unit.y(), s.unit.x());
        s.dec = std::asin(s.unit.z());
        s.hr = static_cast<std::uint32_t>(k + 1);
        catalog.stars.push_back(s);
    }
    const double min_cos = std::cos(40.0 * units::DEG);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            const double c = catalog.stars[i].unit.dot(catalog.stars[j].unit);
            if (c >= min_cos) {
                catalog.pairs.push_back({static_cast<float>(c), static_cast<std::uint16_t>(i),
                                         static_cast<std::uint16_t>(j)});
            }
        }
    }
    std::stable_sort(catalog.pairs.begin(), catalog.pairs.end(),
                     [](const Pair& a, const Pair& b) { return a.cos_theta < b.cos_theta; });
    return catalog;
}

// A field: `junk` directions that are no star lead the list, then the stars within 15 deg
// of the first star, in the camera frame of a random attitude. stars[k] is the catalog
// index of camera direction junk + k.
struct Field {
    std::vector<Vec3> cam_vecs;
    std::vector<std::size_t> stars;
};

Field field(const Catalog& catalog, std::size_t junk, std::size_t n_stars, std::mt19937_64& rng) {
    const Mat3 attitude = Eigen::AngleAxisd(1.1, random_unit(rng)).toRotationMatrix();  // camera -> catalog
    const Vec3 centre = catalog.stars[0].unit;
    Field f;
    std::uniform_real_distribution<double> offset(-0.15, 0.15);
    while (f.cam_vecs.size() < junk) {
        const Vec3 v = (centre + Vec3(offset(rng), offset(rng), offset(rng))).normalized();
        const bool near_a_star = std::any_of(catalog.stars.begin(), catalog.stars.end(),
                                             [&](const Star& s) { return s.unit.dot(v) > std::cos(1.0 * units::DEG); });
        if (!near_a_star) f.cam_vecs.push_back(attitude.transpose() * v);
    }
    for (std::size_t s = 0; s < catalog.stars.size() && f.stars.size() < n_stars; ++s) {
        if (catalog.stars[s].unit.dot(centre) > std::cos(15.0 * units::DEG)) {
            f.cam_vecs.push_back(attitude.transpose() * catalog.stars[s].unit);
            f.stars.push_back(s);
        }
    }
    return f;
}

class Identify : public ::testing::Test {
protected:
    std::mt19937_64 rng{20250314};
    Catalog catalog = random_catalog(1500, rng);
};

TEST_F(Identify, ACleanListGetsTheMatchersOwnAnswer) {
    const Field f = field(catalog, 0, 10, rng);
    ASSERT_EQ(f.stars.size(), 10u);
    const auto plain = match_stars(f.cam_vecs, catalog, POOL, TOLERANCE);
    const auto widened = identify_stars(f.cam_vecs, catalog, POOL, TOLERANCE);
    ASSERT_TRUE(plain.ok());
    ASSERT_TRUE(widened.ok());
    EXPECT_EQ(widened->correspondences, plain->correspondences);
    EXPECT_EQ(widened->margin, plain->margin);
}

// Three non-stars leave the first pool two stars and no star triangle: the first search
// fails; leaving out the two brightest leaves one non-star and four stars, which match.
// Five non-stars need the second retry (the four brightest left out); seven outlast both.
struct JunkCase {
    std::size_t junk;
    bool found;
};

class IdentifyPastJunk : public Identify, public ::testing::WithParamInterface<JunkCase> {};

TEST_P(IdentifyPastJunk, FindsTheStarsOnlyWithinTheTwoRetries) {
    const JunkCase c = GetParam();
    const Field f = field(catalog, c.junk, 9, rng);
    ASSERT_EQ(f.stars.size(), 9u);
    const auto plain = match_stars(f.cam_vecs, catalog, POOL, TOLERANCE);
    ASSERT_FALSE(plain.ok());
    EXPECT_EQ(plain.error().kind(), ErrorKind::NoMatch);
    const auto widened = identify_stars(f.cam_vecs, catalog, POOL, TOLERANCE);
    ASSERT_EQ(widened.ok(), c.found);
    if (!c.found) {
        EXPECT_EQ(widened.error().kind(), ErrorKind::NoMatch);
        return;
    }
    // Every star found under the caller's own camera index, in ascending order; no non-star.
    ASSERT_EQ(widened->correspondences.size(), f.stars.size());
    for (std::size_t k = 0; k < f.stars.size(); ++k) {
        EXPECT_EQ(widened->correspondences[k].cam, c.junk + k);
        EXPECT_EQ(widened->correspondences[k].star, f.stars[k]);
    }
}

INSTANTIATE_TEST_SUITE_P(Junk, IdentifyPastJunk,
                         ::testing::Values(JunkCase{3, true}, JunkCase{5, true}, JunkCase{7, false}));

TEST_F(Identify, AListNoLongerThanThePoolIsNotRetried) {
    // Three non-stars and two stars: the first search fails, and no detection is left to slide to.
    const Field f = field(catalog, 3, 2, rng);
    ASSERT_EQ(f.cam_vecs.size(), POOL);
    const auto widened = identify_stars(f.cam_vecs, catalog, POOL, TOLERANCE);
    ASSERT_FALSE(widened.ok());
    EXPECT_EQ(widened.error().kind(), ErrorKind::NoMatch);
}

TEST_F(Identify, AMirroredListFailsThroughEverySlide) {
    Field f = field(catalog, 0, 12, rng);
    for (Vec3& v : f.cam_vecs) v.x() = -v.x();
    const auto widened = identify_stars(f.cam_vecs, catalog, POOL, TOLERANCE);
    ASSERT_FALSE(widened.ok());
    EXPECT_EQ(widened.error().kind(), ErrorKind::NoMatch);
}

// Three non-stars ahead of four stars: the retry's four-star identification would pass the
// matcher's 1 % chance test but not the retry's one in a million, so the answer stays NoMatch.
TEST_F(Identify, ARetryNeedsAMillionToOneAgainstChance) {
    const Field f = field(catalog, 3, 4, rng);
    ASSERT_EQ(f.cam_vecs.size(), 7u);
    EXPECT_GT(chance_probability(4, 7, catalog.stars.size(), TOLERANCE), RETRY_MAX_CHANCE);
    const auto widened = identify_stars(f.cam_vecs, catalog, POOL, TOLERANCE);
    ASSERT_FALSE(widened.ok());
    EXPECT_EQ(widened.error().kind(), ErrorKind::NoMatch);
}

// The binomial tail against its closed forms: P(X >= 1) = 1 - (1 - p)^b, P(X >= b) = p^b.
TEST(ChanceProbability, BinomialTailOfTheCatalogsCoverage) {
    const double p = 2000.0 * (1.0 - std::cos(TOLERANCE)) / 2.0;
    EXPECT_NEAR(chance_probability(4, 7, 2000, TOLERANCE), 1.0 - std::pow(1.0 - p, 4), 1e-15);
    EXPECT_NEAR(chance_probability(7, 7, 2000, TOLERANCE), std::pow(p, 4), 1e-25);
    EXPECT_EQ(chance_probability(3, 7, 2000, TOLERANCE), 1.0);
    EXPECT_EQ(chance_probability(2, 7, 2000, TOLERANCE), 1.0);
    EXPECT_EQ(chance_probability(8, 7, 2000, TOLERANCE), 0.0);
}

TEST_F(Identify, TooFewDirectionsAreReportedAsTheMatcherDoes) {
    const Field f = field(catalog, 0, 3, rng);
    const auto widened = identify_stars(f.cam_vecs, catalog, POOL, TOLERANCE);
    ASSERT_FALSE(widened.ok());
    EXPECT_EQ(widened.error().kind(), ErrorKind::InsufficientStars);
}

}  // namespace
}  // namespace stelvane
