// The sky index of stars near a direction: its candidates hold every star within
// the radius (checked against a brute-force scan of all stars), at cube-face edges,
// corners and poles too; it serves only unit directions; the loaded catalog's
// ladder picks the finest index covering a radius and serves no copy of the list.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/catalog.hpp"
#include "core/sky_index.hpp"
#include "core/units.hpp"
#include "tests/cpp/sky_helpers.hpp"

using namespace stelvane;
using stelvane::test::random_unit;
using stelvane::test::star_towards;

namespace {

constexpr double ARCMIN = units::DEG / 60.0;

// Directions that stress the cell lookup: random ones, the six face centres, the
// twelve edge midpoints, the eight corners, and points a hair either side of edges.
std::vector<Vec3> probe_directions(std::mt19937_64& rng, std::size_t n_random) {
    std::vector<Vec3> out;
    for (std::size_t k = 0; k < n_random; ++k) out.push_back(random_unit(rng));
    for (int axis = 0; axis < 3; ++axis) {
        for (double sign : {-1.0, 1.0}) {
            Vec3 v = Vec3::Zero();
            v[axis] = sign;
            out.push_back(v);
        }
    }
    for (double a : {-1.0, 1.0}) {
        for (double b : {-1.0, 1.0}) {
            out.push_back(Vec3(a, b, 0.0).normalized());
            out.push_back(Vec3(a, 0.0, b).normalized());
            out.push_back(Vec3(0.0, a, b).normalized());
            for (double c : {-1.0, 1.0}) out.push_back(Vec3(a, b, c).normalized());
            for (double eps : {-1e-12, 1e-12, -1e-6, 1e-6}) out.push_back(Vec3(a, b + eps, 0.3).normalized());
        }
    }
    return out;
}

// Stars spread at random plus clusters on face edges and corners.
std::vector<Star> test_stars(std::mt19937_64& rng, std::size_t n) {
    std::vector<Star> stars;
    for (std::size_t k = 0; k < n; ++k) stars.push_back(star_towards(random_unit(rng)));
    std::normal_distribution<double> jitter(0.0, 0.002);
    for (const Vec3& c : probe_directions(rng, 0)) {
        for (int k = 0; k < 4; ++k) stars.push_back(star_towards(c + Vec3(jitter(rng), jitter(rng), jitter(rng))));
    }
    return stars;
}

struct IndexCase {
    double radius_arcmin;
    std::size_t stars;
    std::uint64_t seed;
};

void PrintTo(const IndexCase& c, std::ostream* os) {
    *os << c.radius_arcmin << " arcmin, " << c.stars << " stars, seed " << c.seed;
}

class SkyIndexCandidates : public ::testing::TestWithParam<IndexCase> {};

TEST_P(SkyIndexCandidates, HoldEveryStarWithinTheRadius) {
    const IndexCase c = GetParam();
    std::mt19937_64 rng(c.seed);
    const std::vector<Star> stars = test_stars(rng, c.stars);
    const double radius = c.radius_arcmin * ARCMIN;
    const SkyIndex index = SkyIndex::build(stars, radius);
    ASSERT_GT(index.resolution(), 0u);
    std::size_t near_total = 0;
    for (const Vec3& probe : probe_directions(rng, 4000)) {
        // Directions next to stars too, where the dot test is decided in the last bits.
        for (const Vec3& w : {probe, Vec3((stars[near_total % stars.size()].unit + 0.999 * radius * probe).normalized())}) {
            ASSERT_TRUE(index.covers(w, radius));
            const auto cands = index.candidates(w);
            std::vector<std::size_t> listed;
            for (const auto& e : cands) listed.push_back(e.star);
            ASSERT_TRUE(std::is_sorted(listed.begin(), listed.end()));
            ASSERT_TRUE(std::adjacent_find(listed.begin(), listed.end()) == listed.end());
            for (const double r : {radius, 0.5 * radius, 0.0}) {
                const double cos_r = std::cos(r);
                for (std::size_t s = 0; s < stars.size(); ++s) {
                    if (!(w.dot(stars[s].unit) > cos_r)) continue;
                    ++near_total;
                    EXPECT_TRUE(std::binary_search(listed.begin(), listed.end(), s))
                        << "star " << s << " at " << std::acos(std::clamp(w.dot(stars[s].unit), -1.0, 1.0)) / ARCMIN
                        << " arcmin of the direction is not listed (radius " << r / ARCMIN << " arcmin)";
                }
            }
        }
    }
    EXPECT_GT(near_total, 100u);  // the probes did meet stars
}

INSTANTIATE_TEST_SUITE_P(SkyIndex, SkyIndexCandidates,
                         ::testing::Values(IndexCase{4.0, 5000, 1}, IndexCase{21.0, 300, 2}, IndexCase{128.0, 300, 3},
                                           IndexCase{0.01, 2000, 4}, IndexCase{500.0, 200, 5}));

TEST(SkyIndex, ServesOnlyUnitDirectionsWithinItsRadius) {
    std::mt19937_64 rng(7);
    const std::vector<Star> stars = test_stars(rng, 100);
    const SkyIndex index = SkyIndex::build(stars, 10.0 * ARCMIN);
    const Vec3 w = Vec3(0.3, -0.2, 0.9).normalized();
    EXPECT_TRUE(index.covers(w, 10.0 * ARCMIN));
    EXPECT_FALSE(index.covers(w, 10.0 * ARCMIN * (1.0 + 1e-12)));
    EXPECT_FALSE(index.covers(1.001 * w, ARCMIN));
    EXPECT_FALSE(index.covers(Vec3(std::numeric_limits<double>::quiet_NaN(), 0.0, 1.0), ARCMIN));
}

TEST(SkyIndex, RefusesRadiiAndStarsItCannotBound) {
    std::mt19937_64 rng(8);
    std::vector<Star> stars = test_stars(rng, 50);
    for (const double r : {0.0, -1.0, SkyIndex::MAX_RADIUS * 1.01, std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_EQ(SkyIndex::build(stars, r).resolution(), 0u) << r;
    }
    stars[3].unit *= 1.01;  // not a unit direction
    EXPECT_EQ(SkyIndex::build(stars, ARCMIN).resolution(), 0u);
    EXPECT_GT(SkyIndex::build({}, ARCMIN).resolution(), 0u);  // no stars: every cell empty
}

TEST(SkyIndexSet, LoadedCatalogServesTheFinestCoveringRungAndNoCopy) {
    const std::string dir = STELVANE_DATA_DIR;
    auto loaded = Catalog::load(dir + "/allsky.scat", dir + "/allsky.sprs");
    ASSERT_TRUE(loaded.ok());
    const Catalog catalog = std::move(loaded).value();
    ASSERT_TRUE(catalog.sky_indexes);
    // Rungs 4' x 2^k; the allsky catalog (287 stars) is sparse enough for all eight.
    const double base = 4.0 * ARCMIN;
    for (const auto& [radius, rung] : std::vector<std::pair<double, double>>{
             {base, base}, {0.5 * base, base}, {1.5 * base, 2 * base}, {100 * ARCMIN, 32 * base}, {512 * ARCMIN, 128 * base}}) {
        const SkyIndex* index = catalog.sky_indexes->for_radius(catalog.stars, radius);
        ASSERT_NE(index, nullptr) << radius / ARCMIN;
        EXPECT_NEAR(index->radius(), rung, 1e-6 * rung) << radius / ARCMIN;
    }
    EXPECT_EQ(catalog.sky_indexes->for_radius(catalog.stars, 513 * ARCMIN), nullptr);
    const Catalog copy = catalog;  // another star list: not the one indexed
    EXPECT_EQ(copy.sky_indexes->for_radius(copy.stars, base), nullptr);

    auto dense = Catalog::load(dir + "/pinhole.scat", dir + "/pinhole.sprs");
    ASSERT_TRUE(dense.ok());
    // 5080 stars: the ladder stops at 128', where a cap already holds about 5 stars.
    EXPECT_NE(dense->sky_indexes->for_radius(dense->stars, 128 * ARCMIN), nullptr);
    EXPECT_EQ(dense->sky_indexes->for_radius(dense->stars, 129 * ARCMIN), nullptr);
}

}  // namespace
