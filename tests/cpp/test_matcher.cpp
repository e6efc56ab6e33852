// Star identification: the grid's cells and queries, triangle hypotheses against
// a plain reference scan, the candidate bookkeeping, the greedy verification and
// the chance and mirror checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <vector>

#include <Eigen/Geometry>

#include "core/matcher.hpp"
#include "core/units.hpp"
#include "tests/cpp/sky_helpers.hpp"

namespace stelvane {
namespace {

using units::PI;
using units::TWO_PI;

constexpr double ARCMIN = units::DEG / 60.0;

Vec3 direction(double ra, double dec) {
    return {std::cos(dec) * std::cos(ra), std::cos(dec) * std::sin(ra), std::sin(dec)};
}

Star star_at(double ra, double dec) {
    Star s;
    s.ra = ra;
    s.dec = dec;
    s.unit = direction(ra, dec);
    return s;
}

Star star_towards(const Vec3& v) {
    const Vec3 u = v.normalized();
    return star_at(std::atan2(u.y(), u.x()), std::asin(u.z()));
}

// Every pair of stars within max_sep, cos_theta rounded to float, sorted stably.
void index_pairs(Catalog& catalog, double max_sep) {
    catalog.pairs.clear();
    const double min_cos = std::cos(max_sep);
    for (std::size_t i = 0; i < catalog.stars.size(); ++i) {
        for (std::size_t j = i + 1; j < catalog.stars.size(); ++j) {
            const double c = catalog.stars[i].unit.dot(catalog.stars[j].unit);
            if (c >= min_cos) {
                catalog.pairs.push_back(
                    {static_cast<float>(c), static_cast<std::uint16_t>(i), static_cast<std::uint16_t>(j)});
            }
        }
    }
    std::stable_sort(catalog.pairs.begin(), catalog.pairs.end(),
                     [](const Pair& a, const Pair& b) { return a.cos_theta < b.cos_theta; });
}

using test::random_unit;

Mat3 random_rotation(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> angle(0.1, 3.0);
    return Eigen::AngleAxisd(angle(rng), random_unit(rng)).toRotationMatrix();
}

std::vector<Star> random_stars(std::size_t n, std::mt19937_64& rng) {
    std::vector<Star> stars;
    for (std::size_t k = 0; k < n; ++k) stars.push_back(star_towards(random_unit(rng)));
    return stars;
}

// A direction within `angle` of v, in a random sense.
Vec3 nudge(const Vec3& v, double angle, std::mt19937_64& rng) {
    const Vec3 axis = v.cross(random_unit(rng)).normalized();
    return Eigen::AngleAxisd(angle, axis) * v;
}

// =========================================================================
// Star grid

TEST(StarGrid, BandCountsFollowTheTolerance) {
    const StarGrid fine = StarGrid::build({}, 2 * ARCMIN);  // below the half-degree floor
    EXPECT_EQ(fine.n_bands, 360u);
    EXPECT_DOUBLE_EQ(fine.band_height, 0.5 * units::DEG);
    const StarGrid coarse = StarGrid::build({}, 0.1);
    EXPECT_EQ(coarse.n_bands, 32u);
    EXPECT_EQ(coarse.band_height, PI / 32);
    // Equatorial bands of the fine grid: round(cos(0.25 deg) * 720) = 720 cells.
    EXPECT_EQ(fine.cells_per_band[179], 720u);
    EXPECT_EQ(fine.cells_per_band[180], 720u);
}

class PolarBands : public ::testing::TestWithParam<double> {};

// The bands next to the poles have round(about pi) = 3 cells; band_start sums them.
TEST_P(PolarBands, HaveThreeCells) {
    const StarGrid grid = StarGrid::build({}, GetParam());
    ASSERT_GE(grid.n_bands, 2u);
    EXPECT_EQ(grid.cells_per_band.front(), 3u);
    EXPECT_EQ(grid.cells_per_band.back(), 3u);
    ASSERT_EQ(grid.band_start.size(), grid.n_bands + 1);
    std::size_t total = 0;
    for (std::size_t b = 0; b < grid.n_bands; ++b) {
        EXPECT_EQ(grid.band_start[b], total);
        EXPECT_GE(grid.cells_per_band[b], 1u);
        total += grid.cells_per_band[b];
    }
    EXPECT_EQ(grid.band_start.back(), total);
    EXPECT_EQ(grid.cell_start.size(), total + 1);
}

INSTANTIATE_TEST_SUITE_P(Matcher, PolarBands, ::testing::Values(PI / 2, 1.0, 0.3, 0.1, 0.02, 0.001));

TEST(StarGrid, SingleBandHasTwoCells) {
    for (double tolerance : {4.0, 1e9, static_cast<double>(INFINITY)}) {
        const StarGrid grid = StarGrid::build({}, tolerance);
        EXPECT_EQ(grid.n_bands, 1u) << tolerance;
        EXPECT_EQ(grid.cells_per_band, std::vector<std::size_t>{2}) << tolerance;
    }
}

TEST(StarGrid, CellOfWrapsRightAscensionAndClampsThePoles) {
    const StarGrid grid = StarGrid::build({}, 0.1);
    EXPECT_EQ(grid.cell_of(-0.1, 0.3), grid.cell_of(TWO_PI - 0.1, 0.3));
    EXPECT_EQ(grid.cell_of(-0.1 - TWO_PI, 0.3), grid.cell_of(TWO_PI - 0.1, 0.3));
    // dec = +pi/2 falls in the last band, -pi/2 in the first.
    EXPECT_GE(grid.cell_of(1.0, PI / 2), grid.band_start[31]);
    EXPECT_LT(grid.cell_of(1.0, -PI / 2), grid.band_start[1]);
    // ra 0 is the first cell of its band; a hair below 2 pi the last.
    EXPECT_EQ(grid.cell_of(0.0, 0.01), grid.band_start[16]);
    EXPECT_EQ(grid.cell_of(std::nextafter(TWO_PI, 0.0), 0.01), grid.band_start[17] - 1);
}

TEST(StarGrid, EntriesHoldEveryStarOnceInCatalogOrderPerCell) {
    std::mt19937_64 rng(3);
    const auto stars = random_stars(2000, rng);
    const StarGrid grid = StarGrid::build(stars, 0.05);
    ASSERT_EQ(grid.entries.size(), stars.size());
    ASSERT_EQ(grid.cell_start.back(), stars.size());
    std::vector<int> seen(stars.size(), 0);
    for (std::size_t cell = 0; cell + 1 < grid.cell_start.size(); ++cell) {
        for (std::size_t e = grid.cell_start[cell]; e < grid.cell_start[cell + 1]; ++e) {
            const std::size_t s = grid.entries[e];
            ++seen[s];
            EXPECT_EQ(grid.cell_of(stars[s].ra, stars[s].dec), cell);
            if (e > grid.cell_start[cell]) EXPECT_LT(grid.entries[e - 1], s);
        }
    }
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](int n) { return n == 1; }));
}

struct QueryCase {
    double tolerance;
    double radius;
};

void PrintTo(const QueryCase& c, std::ostream* os) { *os << "tolerance " << c.tolerance << " radius " << c.radius; }

class GridQuery : public ::testing::TestWithParam<QueryCase> {};

// Every star within the radius comes back, each candidate exactly once, for
// random directions, the poles and directions straddling ra 0.
TEST_P(GridQuery, CoversTheCap) {
    const QueryCase c = GetParam();
    std::mt19937_64 rng(17);
    const auto stars = random_stars(3000, rng);
    const StarGrid grid = StarGrid::build(stars, c.tolerance);
    std::vector<Vec3> probes{Vec3(0, 0, 1), Vec3(0, 0, -1), Vec3(1, 0, 0), Vec3(1, -1e-9, 0).normalized(),
                             direction(-0.001, 1.2), direction(0.001, -1.4), direction(TWO_PI - 1e-12, 0.3)};
    for (int k = 0; k < 200; ++k) probes.push_back(random_unit(rng));
    std::vector<std::size_t> out;
    for (const Vec3& w : probes) {
        grid.query(w, c.radius, out);
        std::set<std::size_t> got(out.begin(), out.end());
        EXPECT_EQ(got.size(), out.size()) << "duplicates";
        for (std::size_t s = 0; s < stars.size(); ++s) {
            if (std::acos(std::clamp(w.dot(stars[s].unit), -1.0, 1.0)) <= c.radius) {
                EXPECT_TRUE(got.count(s)) << "star " << s << " missing for " << w.transpose();
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Matcher, GridQuery,
                         ::testing::Values(QueryCase{2 * ARCMIN, 4 * ARCMIN}, QueryCase{0.01, 0.01},
                                           QueryCase{0.1, 0.1}, QueryCase{0.02, 0.3}, QueryCase{0.5, 0.5},
                                           QueryCase{1.2, 1.2}, QueryCase{2.0, 2.0}, QueryCase{0.01, 2.5}));

// At the north pole with radius 0.1 in 32 bands the cap reaches the pole, so the
// query returns every star of bands floor((pi - 0.1) / (pi/32)) - 1 = 29 to 31.
TEST(StarGrid, PoleQueryReturnsWholeBands) {
    std::mt19937_64 rng(5);
    const auto stars = random_stars(4000, rng);
    const StarGrid grid = StarGrid::build(stars, 0.1);
    std::vector<std::size_t> out;
    grid.query(Vec3(0, 0, 1), 0.1, out);
    std::set<std::size_t> want;
    for (std::size_t s = 0; s < stars.size(); ++s) {
        if (stars[s].dec >= 29 * (PI / 32) - PI / 2) want.insert(s);
    }
    EXPECT_EQ(std::set<std::size_t>(out.begin(), out.end()), want);
    EXPECT_EQ(out.size(), want.size());
}

// A cap straddling ra 0 visits the last cells of the band before the first ones:
// cells (c + m) mod B for m = -(k + 1) .. k + 1. Band 16 of 32 has
// round(cos(pi/64) * 64) = 64 cells of w = 2 pi / 64; radius 0.05 gives k = 1.
TEST(StarGrid, QueryWrapsAroundRightAscensionZero) {
    const double w = TWO_PI / 64;
    std::vector<Star> stars;
    for (double cell : {62.5, 63.5, 0.5, 1.5, 2.5, 3.5, 60.5}) stars.push_back(star_at(cell * w, 0.01));
    const StarGrid grid = StarGrid::build(stars, 0.1);
    ASSERT_EQ(grid.cells_per_band[16], 64u);
    std::vector<std::size_t> out;
    grid.query(direction(0.001, 0.0), 0.05, out);  // c = 0: cells 62, 63, 0, 1, 2
    EXPECT_EQ(out, (std::vector<std::size_t>{0, 1, 2, 3, 4}));
    grid.query(direction(-0.001, 0.0), 0.05, out);  // c = 63: cells 61, 62, 63, 0, 1
    EXPECT_EQ(out, (std::vector<std::size_t>{0, 1, 2, 3}));
}

// The band next to the south pole has 3 cells, so 2k + 3 >= B and the query takes
// all of it, even the cells opposite the query's right ascension.
TEST(StarGrid, FewCellBandIsTakenWhole) {
    const double bh = PI / 32;
    const double polar_dec = -PI / 2 + 0.5 * bh;
    const std::vector<Star> stars{star_at(0.5, polar_dec), star_at(2.6, polar_dec), star_at(4.7, polar_dec)};
    const StarGrid grid = StarGrid::build(stars, 0.1);
    ASSERT_EQ(grid.cells_per_band[0], 3u);
    std::vector<std::size_t> out;
    grid.query(direction(0.5, -PI / 2 + 1.5 * bh), 0.01, out);
    EXPECT_EQ(out, (std::vector<std::size_t>{0, 1, 2}));
}

// A NaN direction (from a NaN centroid) is harmless: some cells, no fault.
TEST(StarGrid, NaNDirectionQueriesSafely) {
    std::mt19937_64 rng(8);
    const auto stars = random_stars(500, rng);
    const StarGrid grid = StarGrid::build(stars, 0.01);
    std::vector<std::size_t> out;
    const double nan = std::nan("");
    for (const Vec3& w : {Vec3(nan, nan, 0.5), Vec3(nan, 0.2, nan), Vec3(0.1, 0.2, 0.3)}) {
        grid.query(w, 0.01, out);
        for (std::size_t s : out) EXPECT_LT(s, stars.size());
    }
    grid.query(Vec3(0, 0, 1), nan, out);
    for (std::size_t s : out) EXPECT_LT(s, stars.size());
}

TEST(StarGrid, EmptyCatalogQueriesAreEmpty) {
    const StarGrid grid = StarGrid::build({}, 0.01);
    std::vector<std::size_t> out{7, 8};
    for (const Vec3& w : {Vec3(0, 0, 1), Vec3(1, 0, 0), Vec3(0.3, -0.2, 0.9).normalized()}) {
        grid.query(w, 0.3, out);
        EXPECT_TRUE(out.empty());
    }
}

// =========================================================================
// Triangle hypotheses

// The run of a side, scanned linearly.
std::vector<Pair> scan_run(std::span<const Pair> pairs, double theta, double t) {
    std::vector<Pair> run;
    for (const Pair& p : pairs) {
        const double c = p.cos_theta;
        if (std::cos(theta + t) <= c && c <= std::cos(theta - t)) run.push_back(p);
    }
    return run;
}

// The plain quadratic scan: the order the indexed search must reproduce.
std::vector<StarTriple> reference_hypotheses(std::span<const Vec3> cam, std::array<std::size_t, 3> abc,
                                             std::span<const Pair> pairs, double t) {
    auto angle = [&](std::size_t x, std::size_t y) { return std::acos(std::clamp(cam[x].dot(cam[y]), -1.0, 1.0)); };
    const auto ab = scan_run(pairs, angle(abc[0], abc[1]), t);
    const auto ac = scan_run(pairs, angle(abc[0], abc[2]), t);
    const auto bc = scan_run(pairs, angle(abc[1], abc[2]), t);
    std::set<std::pair<std::size_t, std::size_t>> ac_set;
    for (const Pair& p : ac) {
        ac_set.insert({p.i, p.j});
        ac_set.insert({p.j, p.i});
    }
    std::vector<std::pair<std::size_t, std::size_t>> bc_list;
    for (const Pair& p : bc) {
        bc_list.push_back({p.i, p.j});
        bc_list.push_back({p.j, p.i});
    }
    std::vector<StarTriple> out;
    for (const Pair& pq : ab) {
        const std::size_t p = pq.i, q = pq.j;
        for (auto [x, y] : bc_list) {
            if (x == q && y != p && ac_set.count({y, p})) out.push_back({p, q, y});
        }
        for (auto [x, y] : bc_list) {
            if (x == p && y != q && ac_set.count({y, q})) out.push_back({q, p, y});
        }
    }
    return out;
}

TEST(TriangleHypotheses, EmptyWhenTheFirstSideHasNoPairs) {
    const std::vector<Vec3> cam{direction(0, 0), direction(0.3, 0), direction(0.1, 0.2)};
    // Pairs near the a-c and b-c separations only; nothing near a-b's 0.3 rad.
    const std::vector<Pair> pairs{{static_cast<float>(std::cos(0.26)), 0, 1},
                                  {static_cast<float>(cam[1].dot(cam[2])), 1, 2},
                                  {static_cast<float>(cam[0].dot(cam[2])), 0, 2}};
    std::vector<Pair> sorted = pairs;
    std::sort(sorted.begin(), sorted.end(), [](const Pair& a, const Pair& b) { return a.cos_theta < b.cos_theta; });
    EXPECT_TRUE(triangle_hypotheses(cam, {0, 1, 2}, sorted, 0.01).empty());
}

// Equilateral camera triangle against an equilateral catalog triple: all six
// orderings, two per a-b pair, in pair order and orientation order.
TEST(TriangleHypotheses, EquilateralGivesAllSixOrderings) {
    const double side = 0.2;
    const Vec3 a = direction(0, 0), b = direction(side, 0);
    // Third vertex at distance `side` from both.
    const double dec_c = std::asin(std::sin(side) * std::sin(PI / 3));
    const Vec3 c = direction(std::atan2(std::sin(side / 2), 1.0) * 0 + side / 2, dec_c);
    const std::vector<Vec3> cam{a, b, c.normalized()};
    const auto cos_side = static_cast<float>(std::cos(side));
    const std::vector<Pair> pairs{{cos_side, 0, 1}, {cos_side, 1, 2}, {cos_side, 0, 2}};
    const auto got = triangle_hypotheses(cam, {0, 1, 2}, pairs, 0.01);
    const std::vector<StarTriple> want{{0, 1, 2}, {1, 0, 2}, {1, 2, 0}, {2, 1, 0}, {0, 2, 1}, {2, 0, 1}};
    EXPECT_EQ(got, want);
}

TEST(TriangleHypotheses, ScaleneGivesTheOneConsistentOrdering) {
    const std::vector<Vec3> cam{direction(0, 0), direction(0.1, 0), direction(0.02, 0.25)};
    auto sep = [&](int x, int y) { return static_cast<float>(cam[x].dot(cam[y])); };
    // Stars 5, 9 and 2 play camera a, b and c; listed twice, the a-b pair doubles the answer.
    std::vector<Pair> pairs{{sep(0, 1), 9, 5}, {sep(1, 2), 2, 9}, {sep(0, 2), 5, 2}};
    std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) { return a.cos_theta < b.cos_theta; });
    EXPECT_EQ(triangle_hypotheses(cam, {0, 1, 2}, pairs, 1e-4), (std::vector<StarTriple>{{5, 9, 2}}));
    EXPECT_EQ(triangle_hypotheses(cam, {1, 0, 2}, pairs, 1e-4), (std::vector<StarTriple>{{9, 5, 2}}));

    pairs.push_back({sep(0, 1), 9, 5});
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const Pair& a, const Pair& b) { return a.cos_theta < b.cos_theta; });
    EXPECT_EQ(triangle_hypotheses(cam, {0, 1, 2}, pairs, 1e-4), (std::vector<StarTriple>{{5, 9, 2}, {5, 9, 2}}));
}

struct ShortSideCase {
    double separation;
    bool accepted;
};

void PrintTo(const ShortSideCase& c, std::ostream* os) { *os << "separation " << c.separation; }

class ShortSide : public ::testing::TestWithParam<ShortSideCase> {};

// A camera side of 0.01 rad with tolerance 0.03 accepts separations from 0.02 to
// 0.04: the bounds are cos(theta + t) and cos(theta - t) as written.
TEST_P(ShortSide, BoundsAreTakenAsWritten) {
    const ShortSideCase c = GetParam();
    const std::vector<Vec3> cam{direction(0, 0), direction(0.01, 0), direction(0.005, 0.5)};
    std::vector<Pair> pairs{{static_cast<float>(std::cos(c.separation)), 0, 1},
                            {static_cast<float>(cam[1].dot(cam[2])), 1, 2},
                            {static_cast<float>(cam[0].dot(cam[2])), 0, 2}};
    std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) { return a.cos_theta < b.cos_theta; });
    EXPECT_EQ(!triangle_hypotheses(cam, {0, 1, 2}, pairs, 0.03).empty(), c.accepted);
}

INSTANTIATE_TEST_SUITE_P(Matcher, ShortSide,
                         ::testing::Values(ShortSideCase{0.015, false}, ShortSideCase{0.0205, true},
                                           ShortSideCase{0.0395, true}, ShortSideCase{0.045, false}));

struct ReferenceCase {
    double tolerance;
    unsigned seed;
};

void PrintTo(const ReferenceCase& c, std::ostream* os) { *os << "tolerance " << c.tolerance << " seed " << c.seed; }

class TriangleAgainstReference : public ::testing::TestWithParam<ReferenceCase> {};

// Random dense catalogs with duplicated pairs: the indexed search returns exactly
// the reference scan's list, element for element, with one reused search object.
TEST_P(TriangleAgainstReference, SameListSameOrder) {
    const ReferenceCase c = GetParam();
    std::mt19937_64 rng(c.seed);
    Catalog catalog;
    const Vec3 centre = random_unit(rng);
    while (catalog.stars.size() < 200) {
        const Vec3 v = random_unit(rng);
        if (v.dot(centre) > std::cos(0.5)) catalog.stars.push_back(star_towards(v));
    }
    index_pairs(catalog, 0.6);
    // Duplicate every 7th pair in place (equal cos_theta stays sorted).
    std::vector<Pair> doubled;
    for (std::size_t k = 0; k < catalog.pairs.size(); ++k) {
        doubled.push_back(catalog.pairs[k]);
        if (k % 7 == 3) doubled.push_back(catalog.pairs[k]);
    }
    catalog.pairs = doubled;

    TriangleSearch search;
    std::vector<StarTriple> got;
    std::size_t total = 0;
    const Mat3 rotation = random_rotation(rng);
    std::uniform_int_distribution<std::size_t> pick(0, catalog.stars.size() - 1);
    for (int trial = 0; trial < 40; ++trial) {
        std::vector<Vec3> cam;
        for (int v = 0; v < 3; ++v) {
            // Mostly rotated catalog stars with noise; every fifth trial random directions.
            cam.push_back(trial % 5 == 4 ? random_unit(rng)
                                         : nudge(rotation * catalog.stars[pick(rng)].unit, 0.3 * c.tolerance, rng));
        }
        const std::array<std::size_t, 3> abc{0, 1, 2};
        const auto want = reference_hypotheses(cam, abc, catalog.pairs, c.tolerance);
        search.run(cam, abc, catalog.pairs, c.tolerance, got);
        ASSERT_EQ(got, want) << "trial " << trial;
        EXPECT_EQ(triangle_hypotheses(cam, {2, 0, 1}, catalog.pairs, c.tolerance),
                  reference_hypotheses(cam, {2, 0, 1}, catalog.pairs, c.tolerance));
        total += want.size();
    }
    EXPECT_GT(total, 40u) << "the comparison saw too few hypotheses to mean anything";
}

// Sides grouped once for all triangles of seven directions (prepare) give every
// triangle the reference scan's list, element for element, also after a second
// prepare on other directions reuses the storage.
TEST_P(TriangleAgainstReference, PreparedSidesSameListSameOrder) {
    const ReferenceCase c = GetParam();
    std::mt19937_64 rng(c.seed + 100);
    Catalog catalog;
    const Vec3 centre = random_unit(rng);
    while (catalog.stars.size() < 200) {
        const Vec3 v = random_unit(rng);
        if (v.dot(centre) > std::cos(0.5)) catalog.stars.push_back(star_towards(v));
    }
    index_pairs(catalog, 0.6);
    const Mat3 rotation = random_rotation(rng);
    std::uniform_int_distribution<std::size_t> pick(0, catalog.stars.size() - 1);
    TriangleSearch search;
    std::vector<StarTriple> got;
    std::size_t total = 0;
    for (int round = 0; round < 2; ++round) {
        std::vector<Vec3> cam;
        for (int v = 0; v < 7; ++v) {
            cam.push_back(nudge(rotation * catalog.stars[pick(rng)].unit, 0.3 * c.tolerance, rng));
        }
        search.prepare(cam, cam.size(), catalog.pairs, c.tolerance);
        for (std::size_t i = 0; i < cam.size(); ++i)
            for (std::size_t j = i + 1; j < cam.size(); ++j)
                for (std::size_t k = j + 1; k < cam.size(); ++k) {
                    const auto want = reference_hypotheses(cam, {i, j, k}, catalog.pairs, c.tolerance);
                    search.run_prepared({i, j, k}, got);
                    ASSERT_EQ(got, want) << "round " << round << " triangle " << i << j << k;
                    total += want.size();
                }
    }
    EXPECT_GT(total, 70u) << "the comparison saw too few hypotheses to mean anything";
}

INSTANTIATE_TEST_SUITE_P(Matcher, TriangleAgainstReference,
                         ::testing::Values(ReferenceCase{0.002, 1}, ReferenceCase{0.01, 2}, ReferenceCase{0.02, 3},
                                           ReferenceCase{0.04, 4}));

// =========================================================================
// Candidate bookkeeping, row by row

std::vector<Correspondence> ident(std::initializer_list<std::size_t> stars) {
    std::vector<Correspondence> out;
    std::size_t cam = 0;
    for (std::size_t s : stars) out.push_back({cam++, s});
    return out;
}

auto answer(bool same, int* calls = nullptr) {
    return [same, calls](std::span<const Correspondence>, std::span<const Correspondence>) {
        if (calls) ++*calls;
        return same;
    };
}

TEST(CandidateTally, FirstCandidateLeadsAlone) {
    CandidateTally tally;
    int calls = 0;
    tally.offer(ident({4, 5, 6, 7, 8}), 0.3, answer(true, &calls));
    ASSERT_TRUE(tally.has_best());
    EXPECT_EQ(tally.best(), ident({4, 5, 6, 7, 8}));
    EXPECT_EQ(tally.rival_count(), 0u);
    EXPECT_EQ(tally.margin(), 5u);
    EXPECT_EQ(calls, 0);
}

TEST(CandidateTally, MoreCorrespondencesTakeTheLeadAndClearTheTie) {
    CandidateTally tally;
    tally.offer(ident({1, 2, 3, 4}), 1.0, answer(false));
    tally.offer(ident({5, 6, 7, 8}), 0.8, answer(false));  // distinct, comparable: tie
    ASSERT_TRUE(tally.tie().has_value());
    int calls = 0;
    tally.offer(ident({1, 2, 3, 4, 9}), 2.0, answer(false, &calls));
    EXPECT_FALSE(tally.tie().has_value());
    EXPECT_EQ(tally.best(), ident({1, 2, 3, 4, 9}));
    EXPECT_EQ(tally.rival_count(), 4u);
    EXPECT_EQ(tally.margin(), 1u);
    EXPECT_EQ(calls, 0);
}

TEST(CandidateTally, FewerCorrespondencesOnlyRaiseTheRival) {
    CandidateTally tally;
    tally.offer(ident({1, 2, 3, 4, 5, 6}), 1.0, answer(true));
    int calls = 0;
    tally.offer(ident({1, 2, 3, 4}), 0.001, answer(true, &calls));
    tally.offer(ident({1, 2, 3, 4, 5}), 0.001, answer(true, &calls));
    tally.offer(ident({1, 2, 3, 4}), 0.001, answer(true, &calls));
    EXPECT_EQ(tally.best(), ident({1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(tally.best_residual(), 1.0);
    EXPECT_EQ(tally.rival_count(), 5u);
    EXPECT_EQ(tally.margin(), 1u);
    EXPECT_EQ(calls, 0);  // no identity test for unequal counts
}

TEST(CandidateTally, SameIdentificationKeepsTheSmallerResidual) {
    CandidateTally tally;
    tally.offer(ident({1, 2, 3, 4, 5}), 1.0, answer(true));
    tally.offer(ident({1, 2, 3, 4}), 1.0, answer(true));  // rival 4
    tally.offer(ident({1, 2, 3, 4, 15}), 0.5, answer(true));
    EXPECT_EQ(tally.best(), ident({1, 2, 3, 4, 15}));
    EXPECT_EQ(tally.best_residual(), 0.5);
    tally.offer(ident({1, 2, 3, 4, 25}), 0.5, answer(true));  // not smaller: dropped
    EXPECT_EQ(tally.best(), ident({1, 2, 3, 4, 15}));
    EXPECT_EQ(tally.rival_count(), 4u);
    EXPECT_EQ(tally.margin(), 1u);
}

TEST(CandidateTally, SameIdentificationLeavesARecordedTie) {
    CandidateTally tally;
    tally.offer(ident({1, 2, 3, 4}), 1.0, answer(false));
    tally.offer(ident({5, 6, 7, 8}), 0.9, answer(false));
    tally.offer(ident({1, 2, 3, 14}), 0.5, answer(true));
    ASSERT_TRUE(tally.tie().has_value());
    EXPECT_EQ(tally.tie()->list_a, ident({1, 2, 3, 4}));
    EXPECT_EQ(tally.best(), ident({1, 2, 3, 14}));
}

struct DistinctCase {
    double leader_sum;
    double challenger_sum;
    enum { Tie, ChallengerWins, ChallengerDropped } outcome;
};

void PrintTo(const DistinctCase& c, std::ostream* os) {
    *os << "leader " << c.leader_sum << " challenger " << c.challenger_sum;
}

class DistinctEqualCount : public ::testing::TestWithParam<DistinctCase> {};

TEST_P(DistinctEqualCount, ResidualRatioDecides) {
    const DistinctCase c = GetParam();
    CandidateTally tally;
    tally.offer(ident({1, 2, 3, 4}), c.leader_sum, answer(false));
    tally.offer(ident({5, 6, 7, 8}), c.challenger_sum, answer(false));
    EXPECT_EQ(tally.rival_count(), 4u);
    EXPECT_EQ(tally.margin(), 0u);
    switch (c.outcome) {
        case DistinctCase::Tie:
            ASSERT_TRUE(tally.tie().has_value());
            EXPECT_EQ(tally.tie()->list_a, ident({1, 2, 3, 4}));
            EXPECT_EQ(tally.tie()->list_b, ident({5, 6, 7, 8}));
            EXPECT_EQ(tally.tie()->residual_a, c.leader_sum);
            EXPECT_EQ(tally.tie()->residual_b, c.challenger_sum);
            EXPECT_EQ(tally.best(), ident({1, 2, 3, 4}));
            break;
        case DistinctCase::ChallengerWins:
            EXPECT_FALSE(tally.tie().has_value());
            EXPECT_EQ(tally.best(), ident({5, 6, 7, 8}));
            break;
        case DistinctCase::ChallengerDropped:
            EXPECT_FALSE(tally.tie().has_value());
            EXPECT_EQ(tally.best(), ident({1, 2, 3, 4}));
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(Matcher, DistinctEqualCount,
                         ::testing::Values(DistinctCase{1.0, 0.8, DistinctCase::Tie},
                                           DistinctCase{1.0, 0.7, DistinctCase::Tie},  // 0.7 is not below 0.7
                                           DistinctCase{1.0, 0.6, DistinctCase::ChallengerWins},
                                           DistinctCase{0.6, 1.0, DistinctCase::ChallengerDropped},
                                           DistinctCase{0.7, 1.0, DistinctCase::Tie},
                                           DistinctCase{0.0, 0.0, DistinctCase::Tie}));

TEST(CandidateTally, LaterTieReplacesTheEarlierOne) {
    CandidateTally tally;
    tally.offer(ident({1, 2, 3, 4}), 1.0, answer(false));
    tally.offer(ident({5, 6, 7, 8}), 0.9, answer(false));
    tally.offer(ident({9, 10, 11, 12}), 1.1, answer(false));
    ASSERT_TRUE(tally.tie().has_value());
    EXPECT_EQ(tally.tie()->list_a, ident({1, 2, 3, 4}));
    EXPECT_EQ(tally.tie()->list_b, ident({9, 10, 11, 12}));
    // A clearly better distinct one then clears it.
    tally.offer(ident({13, 14, 15, 16}), 0.1, answer(false));
    EXPECT_FALSE(tally.tie().has_value());
    EXPECT_EQ(tally.best(), ident({13, 14, 15, 16}));
}

TEST(SameIdentification, StarsWithinToleranceCount) {
    Catalog catalog;
    catalog.stars = {star_at(0, 0), star_at(0.001, 0), star_at(0.002, 0), star_at(1, 0), star_at(2, 0)};
    const double c = std::cos(0.0015);
    const std::vector<Correspondence> lead{{0, 0}, {2, 3}};
    EXPECT_TRUE(same_identification(lead, std::vector<Correspondence>{{0, 0}, {2, 3}}, catalog, c));
    EXPECT_TRUE(same_identification(lead, std::vector<Correspondence>{{0, 1}, {2, 3}}, catalog, c));
    EXPECT_TRUE(same_identification(lead, std::vector<Correspondence>{{0, 0}, {1, 4}, {2, 3}}, catalog, c));
    EXPECT_FALSE(same_identification(lead, std::vector<Correspondence>{{0, 2}, {2, 3}}, catalog, c));
    EXPECT_FALSE(same_identification(lead, std::vector<Correspondence>{{0, 0}, {3, 3}}, catalog, c));
    EXPECT_FALSE(same_identification(lead, std::vector<Correspondence>{{2, 3}}, catalog, c));
    // Exactly at the tolerance is distinct.
    EXPECT_FALSE(same_identification(lead, std::vector<Correspondence>{{0, 1}, {2, 3}}, catalog,
                                     catalog.stars[0].unit.dot(catalog.stars[1].unit)));
}

// =========================================================================
// The matcher on synthetic skies

constexpr double kTolerance = 0.002;

// A sky of random stars with its pair index, seen through a random rotation.
struct Sky {
    Catalog catalog;
    Mat3 rotation;  // camera -> catalog
    std::mt19937_64 rng;

    explicit Sky(std::size_t n_stars, unsigned seed, std::vector<Star> extra = {}) : rng(seed) {
        catalog.stars = random_stars(n_stars, rng);
        catalog.stars.insert(catalog.stars.end(), extra.begin(), extra.end());
        rotation = random_rotation(rng);
    }
    void index() { index_pairs(catalog, 0.6); }
    Vec3 seen(const Vec3& sky) const { return rotation.transpose() * sky; }
    Vec3 seen_star(std::size_t s) const { return seen(catalog.stars[s].unit); }
    // Up to `count` stars within `radius` of the first star, as a field of view.
    std::vector<std::size_t> field(std::size_t count, double radius) const {
        std::vector<std::size_t> out;
        const Vec3 centre = catalog.stars[0].unit;
        for (std::size_t s = 0; s < catalog.stars.size() && out.size() < count; ++s) {
            if (catalog.stars[s].unit.dot(centre) > std::cos(radius)) out.push_back(s);
        }
        return out;
    }
};

TEST(MatchStars, TooFewDirections) {
    Sky sky(50, 1);
    sky.index();
    const std::vector<Vec3> cam{sky.seen_star(0), sky.seen_star(1), sky.seen_star(2)};
    const auto r = match_stars(cam, sky.catalog, 5, kTolerance);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "insufficient stars: needed 4, got 3");
}

TEST(MatchStars, FewerThanThreeTriangleStarsFindNothing) {
    Sky sky(1000, 2);
    sky.index();
    std::vector<Vec3> cam;
    for (std::size_t s : sky.field(8, 0.35)) cam.push_back(sky.seen_star(s));
    ASSERT_EQ(cam.size(), 8u);
    for (std::size_t n : {0u, 1u, 2u}) {
        const auto r = match_stars(cam, sky.catalog, n, kTolerance);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message(), "no star pattern match found") << n;
    }
    EXPECT_TRUE(match_stars(cam, sky.catalog, 3, kTolerance).ok());
}

class LoneIdentification : public ::testing::TestWithParam<unsigned> {};

// One identification and nothing else reaching 4: its own count is the margin.
TEST_P(LoneIdentification, MarginIsItsCount) {
    Sky sky(1000, GetParam());
    sky.index();
    const auto field = sky.field(10, 0.35);
    ASSERT_EQ(field.size(), 10u);
    // Exact directions: every re-verification finds all ten, so no rival arises.
    std::vector<Vec3> cam;
    for (std::size_t s : field) cam.push_back(sky.seen_star(s));
    const auto r = match_stars(cam, sky.catalog, 5, kTolerance);
    ASSERT_TRUE(r.ok()) << r.error().message();
    std::vector<Correspondence> want;
    for (std::size_t t = 0; t < field.size(); ++t) want.push_back({t, field[t]});
    EXPECT_EQ(r->correspondences, want);
    EXPECT_EQ(r->margin, 10u);
}

INSTANTIATE_TEST_SUITE_P(Matcher, LoneIdentification, ::testing::Values(11u, 12u, 13u));

// A NaN direction forms no triangle and matches no star; the others still identify.
TEST(MatchStars, NaNDirectionIsSkipped) {
    Sky sky(1000, 14);
    sky.index();
    const auto field = sky.field(8, 0.35);
    std::vector<Vec3> cam;
    for (std::size_t s : field) cam.push_back(sky.seen_star(s));
    const double nan = std::nan("");
    cam.insert(cam.begin() + 1, Vec3(nan, nan, nan));
    const auto r = match_stars(cam, sky.catalog, 5, kTolerance);
    ASSERT_TRUE(r.ok()) << r.error().message();
    std::vector<Correspondence> want;
    for (std::size_t t = 0; t < field.size(); ++t) want.push_back({t == 0 ? 0 : t + 1, field[t]});
    EXPECT_EQ(r->correspondences, want);
}

TEST(MatchStars, ThreeVerifiedStarsAreNoMatch) {
    Sky sky(1000, 21);
    sky.index();
    const auto field = sky.field(3, 0.35);
    std::vector<Vec3> cam;
    for (std::size_t s : field) cam.push_back(sky.seen_star(s));
    // Three more directions far (> 0.05 rad) from every catalog star.
    while (cam.size() < 6) {
        const Vec3 v = sky.catalog.stars[field[0]].unit + 0.3 * random_unit(sky.rng);
        const Vec3 u = v.normalized();
        bool clear = true;
        for (const Star& s : sky.catalog.stars) clear = clear && s.unit.dot(u) < std::cos(0.05);
        if (clear) cam.push_back(sky.seen(u));
    }
    const auto r = match_stars(cam, sky.catalog, 6, kTolerance);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "no star pattern match found");
}

class EqualDotTieBreak : public ::testing::TestWithParam<bool> {};

// Two catalog stars at the same place are at exactly the same dot product from
// any direction: the one earlier in the catalog is taken.
TEST_P(EqualDotTieBreak, EarlierStarWins) {
    const bool duplicate_first = GetParam();
    Sky sky(1000, 31);
    const auto field = sky.field(8, 0.35);
    const std::size_t twin_of = field[3];
    const Star twin = sky.catalog.stars[twin_of];
    std::vector<std::size_t> index_of(field);
    if (duplicate_first) {
        sky.catalog.stars.insert(sky.catalog.stars.begin(), twin);
        for (std::size_t& s : index_of) ++s;
    } else {
        sky.catalog.stars.push_back(twin);
    }
    sky.index();
    std::vector<Vec3> cam;
    for (std::size_t s : index_of) cam.push_back(nudge(sky.seen_star(s), 0.2 * kTolerance, sky.rng));
    const auto r = match_stars(cam, sky.catalog, 5, kTolerance);
    ASSERT_TRUE(r.ok()) << r.error().message();
    ASSERT_EQ(r->correspondences.size(), 8u);
    const std::size_t want = duplicate_first ? 0 : twin_of;
    EXPECT_EQ(r->correspondences[3].star, want);
}

INSTANTIATE_TEST_SUITE_P(Matcher, EqualDotTieBreak, ::testing::Bool());

// A star taken by a brighter detection is no longer available: the fainter one
// falls back to the next-best star within tolerance, or to none.
TEST(MatchStars, TakenStarFallsBackToTheNextBest) {
    for (bool has_fallback : {true, false}) {
        Sky sky(1000, 41);
        const auto field = sky.field(6, 0.35);
        // Star X off the field's first star; Y on the far side of where detection 7 looks.
        const Vec3 x = nudge(sky.catalog.stars[field[0]].unit, 0.05, sky.rng);
        const Vec3 axis = x.cross(sky.catalog.stars[field[1]].unit).normalized();
        const Vec3 seven = Eigen::AngleAxisd(0.5 * kTolerance, axis) * x;
        const Vec3 y = Eigen::AngleAxisd(1.1 * kTolerance, axis) * x;
        sky.catalog.stars.push_back(star_towards(x));
        const std::size_t x_index = sky.catalog.stars.size() - 1;
        if (has_fallback) sky.catalog.stars.push_back(star_towards(y));
        sky.index();
        std::vector<Vec3> cam;
        for (std::size_t s : field) cam.push_back(sky.seen_star(s));
        cam.push_back(sky.seen(x));
        cam.push_back(sky.seen(seven));
        const auto r = match_stars(cam, sky.catalog, 5, kTolerance);
        ASSERT_TRUE(r.ok()) << r.error().message();
        const auto& got = r->correspondences;
        ASSERT_EQ(got.size(), has_fallback ? 8u : 7u);
        EXPECT_EQ(got[6], (Correspondence{6, x_index}));
        if (has_fallback) EXPECT_EQ(got[7], (Correspondence{7, x_index + 1}));
    }
}

// The same pattern twice in the sky, far apart.
struct TwinSky {
    Sky sky;
    std::vector<std::size_t> first, second;
    TwinSky(unsigned seed, double twin_noise) : sky(600, seed) {
        first = sky.field(8, 0.3);
        const Mat3 move = Eigen::AngleAxisd(2.0, Vec3(0.2, 0.7, -0.4).normalized()).toRotationMatrix();
        for (std::size_t s : first) {
            const Vec3 v = nudge(move * sky.catalog.stars[s].unit, twin_noise, sky.rng);
            second.push_back(sky.catalog.stars.size());
            sky.catalog.stars.push_back(star_towards(v));
        }
        sky.index();
    }
};

TEST(MatchStars, ComparableTwinsAreAmbiguous) {
    TwinSky twins(51, 0.0);
    std::vector<Vec3> cam;
    for (std::size_t s : twins.first) cam.push_back(nudge(twins.sky.seen_star(s), 0.3 * kTolerance, twins.sky.rng));
    const auto r = match_stars(cam, twins.sky.catalog, 5, kTolerance);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "star pattern match is ambiguous: 8 vs 8 correspondences");
    const auto* tie = r.error().get_if<MatchAmbiguous>();
    ASSERT_NE(tie, nullptr);
    auto stars_of = [](const std::vector<Correspondence>& list) {
        std::vector<std::size_t> out;
        for (const Correspondence& c : list) out.push_back(c.star);
        return out;
    };
    const auto a = stars_of(tie->list_a), b = stars_of(tie->list_b);
    EXPECT_TRUE((a == twins.first && b == twins.second) || (a == twins.second && b == twins.first));
    EXPECT_GT(tie->residual_a, 0.0);
    EXPECT_LT(tie->residual_a, 8 * kTolerance);
    EXPECT_NEAR(tie->residual_b / tie->residual_a, 1.0, 0.3);
}

// A twin that fits clearly worse loses; both counted 8, so the margin is 0.
TEST(MatchStars, ClearlyBetterTwinWinsWithZeroMargin) {
    TwinSky twins(52, 0.2 * kTolerance);
    std::vector<Vec3> cam;
    for (std::size_t s : twins.first) cam.push_back(twins.sky.seen_star(s));
    const auto r = match_stars(cam, twins.sky.catalog, 5, kTolerance);
    ASSERT_TRUE(r.ok()) << r.error().message();
    std::vector<Correspondence> want;
    for (std::size_t t = 0; t < twins.first.size(); ++t) want.push_back({t, twins.first[t]});
    EXPECT_EQ(r->correspondences, want);
    EXPECT_EQ(r->margin, 0u);
}

// =========================================================================
// Confidence checks

// The binomial tail P(X >= k0), X ~ B(b, p), by log-gamma: independent of the
// product-of-ratios evaluation.
double tail(int b, int k0, double p) {
    double total = 0.0;
    for (int k = k0; k <= b; ++k) {
        const double log_choose = std::lgamma(b + 1.0) - std::lgamma(k + 1.0) - std::lgamma(b - k + 1.0);
        total += std::exp(log_choose + k * std::log(p) + (b - k) * std::log1p(-p));
    }
    return total;
}

struct ChanceCase {
    std::size_t n;      // camera directions
    std::size_t m;      // correspondences claimed
    double p;           // chance fraction K (1 - cos t) / 2
};

void PrintTo(const ChanceCase& c, std::ostream* os) { *os << "n " << c.n << " m " << c.m << " p " << c.p; }

class ChanceTest : public ::testing::TestWithParam<ChanceCase> {};

// Without pairs the mirror test finds nothing, so only the chance test decides.
TEST_P(ChanceTest, RejectsWhatChanceExplains) {
    const ChanceCase c = GetParam();
    std::mt19937_64 rng(9);
    Catalog catalog;
    catalog.stars = random_stars(100, rng);
    const double tolerance = std::acos(1.0 - 2.0 * c.p / 100.0);
    const StarGrid grid = StarGrid::build(catalog.stars, tolerance);
    std::vector<Vec3> cam;
    for (std::size_t k = 0; k < c.n; ++k) cam.push_back(random_unit(rng));
    const double chance = tail(static_cast<int>(c.n) - 3, static_cast<int>(c.m) - 3, c.p);
    ASSERT_GT(std::fabs(chance - 0.01), 1e-4) << "case too close to the threshold";
    const Status s = confidence_checks(c.m, cam, catalog, grid, tolerance, 5);
    EXPECT_EQ(s.ok(), chance <= 0.01) << "P = " << chance;
    if (!s.ok()) EXPECT_EQ(s.error().message(), "no star pattern match found");
}

INSTANTIATE_TEST_SUITE_P(Matcher, ChanceTest,
                         ::testing::Values(ChanceCase{12, 12, 0.61},   // 0.61^9 = 0.0117: rejected
                                           ChanceCase{12, 12, 0.58},   // 0.0075: passes
                                           ChanceCase{12, 6, 0.01},    // about 8e-5: passes
                                           ChanceCase{12, 6, 0.1},     // about 0.053: rejected
                                           ChanceCase{4, 4, 0.009},    // P = p: passes
                                           ChanceCase{4, 4, 0.011},    // rejected
                                           ChanceCase{30, 10, 0.05},   // passes
                                           ChanceCase{30, 10, 0.12})); // rejected

TEST(ConfidenceChecks, FewerThanFourIsNoMatch) {
    Catalog catalog;
    const StarGrid grid = StarGrid::build(catalog.stars, 0.01);
    const std::vector<Vec3> cam(6, Vec3(0, 0, 1));
    EXPECT_FALSE(confidence_checks(3, cam, catalog, grid, 0.01, 5).ok());
    EXPECT_TRUE(confidence_checks(4, cam, catalog, grid, 0.01, 5).ok());
}

// A dense catalog: the caps of all stars cover the sky, every identification is chance.
TEST(ConfidenceChecks, SaturatedChanceRejectsEverything) {
    Sky sky(1000, 61);
    sky.index();
    std::vector<Vec3> cam;
    for (std::size_t s : sky.field(8, 0.35)) cam.push_back(sky.seen_star(s));
    const StarGrid grid = StarGrid::build(sky.catalog.stars, 0.1);  // 1000 * (1 - cos 0.1) / 2 > 1
    EXPECT_FALSE(confidence_checks(8, cam, sky.catalog, grid, 0.1, 5).ok());
}

// Five directions and their mirror images (x negated), plus an optional odd one.
struct MirrorSky {
    Sky sky;
    std::vector<Vec3> cam;
    MirrorSky(unsigned seed, bool odd_one) : sky(0, seed) {
        std::uniform_real_distribution<double> u(-0.25, 0.25);
        for (int k = 0; k < 5; ++k) {
            const Vec3 v = Vec3(0.05 + std::fabs(u(sky.rng)), u(sky.rng), 1.0).normalized();
            cam.push_back(v);
            cam.emplace_back(-v.x(), v.y(), v.z());
        }
        if (odd_one) cam.push_back(Vec3(0.13, -0.21, 1.0).normalized());
        for (const Vec3& v : cam) sky.catalog.stars.push_back(star_towards(sky.rotation * v));
        sky.index();
    }
};

TEST(ConfidenceChecks, MirrorSymmetricDetectionsAreRejected) {
    MirrorSky mirror(71, false);
    const auto r = match_stars(mirror.cam, mirror.sky.catalog, 10, kTolerance);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "no star pattern match found");
}

// The mirrored set of 11 verifies exactly 10 (the odd one has no partner): the
// early stop must still let it reach m = 10 on the last possible vector, and
// must give up for m = 11.
TEST(ConfidenceChecks, MirrorEarlyStopBoundary) {
    MirrorSky mirror(72, true);
    const StarGrid grid = StarGrid::build(mirror.sky.catalog.stars, kTolerance);
    EXPECT_FALSE(confidence_checks(10, mirror.cam, mirror.sky.catalog, grid, kTolerance, 10).ok());
    EXPECT_TRUE(confidence_checks(11, mirror.cam, mirror.sky.catalog, grid, kTolerance, 10).ok());
    // Without triangle stars there is no mirror search at all.
    EXPECT_TRUE(confidence_checks(10, mirror.cam, mirror.sky.catalog, grid, kTolerance, 0).ok());
    const auto r = match_stars(mirror.cam, mirror.sky.catalog, 10, kTolerance);
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(r->correspondences.size(), 11u);
}

}  // namespace
}  // namespace stelvane

namespace stelvane {
namespace {

// A side's groups do not depend on the index bound it is given: too small a bound (a
// pair names a star at or past it), none, the exact one and a generous one all list
// every pair's partners in run order, with the same partner masks.
class PairGroupsBound : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PairGroupsBound, SameGroupsWhateverTheBound) {
    const std::vector<Pair> run = {{0.5f, 3, 7}, {0.5f, 7, 1}, {0.6f, 3, 1}, {0.7f, 12, 3}, {0.7f, 3, 7}};
    PairGroups groups;
    groups.build(run, GetParam());
    const std::vector<std::vector<std::uint16_t>> want = {
        {}, {7, 3}, {}, {7, 1, 12, 7}, {}, {}, {}, {3, 1, 3}, {}, {}, {}, {}, {3}, {}};
    for (std::size_t s = 0; s < want.size(); ++s) {
        const auto got = groups.group(static_cast<std::uint16_t>(s));
        EXPECT_EQ(std::vector<std::uint16_t>(got.begin(), got.end()), want[s]) << "star " << s;
        std::uint64_t mask = 0;
        for (const std::uint16_t partner : want[s]) mask |= std::uint64_t{1} << (partner & 63u);
        EXPECT_EQ(groups.partner_mask(static_cast<std::uint16_t>(s)), mask) << "star " << s;
    }
    EXPECT_TRUE(groups.contains(12, 3));
    EXPECT_FALSE(groups.contains(12, 7));
}

INSTANTIATE_TEST_SUITE_P(Matcher, PairGroupsBound, ::testing::Values(0, 5, 12, 13, 5080));

}  // namespace
}  // namespace stelvane
