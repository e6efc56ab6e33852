// Attitude from vector pairs: exact recovery, minimal and degenerate sets, and
// the determinant correction that never returns a reflection.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include <Eigen/Geometry>

#include "core/attitude.hpp"

namespace stelvane {
namespace {

Mat3 rotation_about(const Vec3& axis, double angle_rad) {
    return Eigen::AngleAxisd(angle_rad, axis.normalized()).toRotationMatrix();
}

std::vector<Vec3> random_units(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> g;
    std::vector<Vec3> out;
    for (std::size_t k = 0; k < n; ++k) out.push_back(Vec3(g(rng), g(rng), g(rng)).normalized());
    return out;
}

struct SizeCase {
    std::size_t n_body;
    std::size_t n_reference;
    std::size_t got;
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.n_body << " and " << c.n_reference << " vectors"; }

class WahbaSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(WahbaSizes, RefusesTooFewOrUnequalLists) {
    const SizeCase c = GetParam();
    const auto body = random_units(c.n_body, 1);
    const auto reference = random_units(c.n_reference, 2);
    const Result<Mat3> r = solve_wahba(body, reference);
    ASSERT_FALSE(r.ok());
    const auto* e = r.error().get_if<InsufficientStars>();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->needed, 2u);
    EXPECT_EQ(e->got, c.got);
    EXPECT_EQ(r.error().message(), "insufficient stars: needed 2, got " + std::to_string(c.got));
}

INSTANTIATE_TEST_SUITE_P(Attitude, WahbaSizes,
                         ::testing::Values(SizeCase{0, 0, 0}, SizeCase{1, 1, 1}, SizeCase{3, 4, 3},
                                           SizeCase{5, 2, 2}));

struct ExactCase {
    std::size_t n;
    double angle_rad;
};

void PrintTo(const ExactCase& c, std::ostream* os) { *os << c.n << " pairs, angle " << c.angle_rad; }

class WahbaExact : public ::testing::TestWithParam<ExactCase> {};

// r_k = R0 b_k exactly: the solution is R0 to rounding, rank 2 included.
TEST_P(WahbaExact, RecoversTheRotation) {
    const ExactCase c = GetParam();
    const Mat3 r0 = rotation_about(Vec3(0.3, -0.8, 0.5), c.angle_rad);
    const auto body = random_units(c.n, 7);
    std::vector<Vec3> reference;
    for (const Vec3& b : body) reference.push_back(r0 * b);
    const Result<Mat3> r = solve_wahba(body, reference);
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_LT((*r - r0).cwiseAbs().maxCoeff(), 1e-13) << "want\n" << r0 << "\ngot\n" << *r;
    EXPECT_NEAR(r->determinant(), 1.0, 1e-14);
}

INSTANTIATE_TEST_SUITE_P(Attitude, WahbaExact,
                         ::testing::Values(ExactCase{2, 0.4}, ExactCase{3, 2.9}, ExactCase{3, 0.0},
                                           ExactCase{12, 1.7}, ExactCase{2, 3.14159}));

// The least-squares solution of noisy pairs: a small perturbation of the truth.
TEST(Attitude, NoisyPairsStayNearTheTruth) {
    const Mat3 r0 = rotation_about(Vec3(1, 2, 3), 1.1);
    const auto body = random_units(20, 11);
    std::mt19937_64 rng(5);
    std::normal_distribution<double> g(0.0, 1e-4);
    std::vector<Vec3> reference;
    for (const Vec3& b : body) reference.push_back((r0 * b + Vec3(g(rng), g(rng), g(rng))).normalized());
    const Result<Mat3> r = solve_wahba(body, reference);
    ASSERT_TRUE(r.ok());
    // The rotation angle between solution and truth: well under the per-vector noise.
    const double err = Eigen::AngleAxisd(*r * r0.transpose()).angle();
    EXPECT_LT(err, 1e-4);
    EXPECT_LT((*r * r->transpose() - Mat3::Identity()).cwiseAbs().maxCoeff(), 1e-14);
}

// All vectors along one line (rank 1) cannot fix a rotation.
TEST(Attitude, ParallelSetsAreSingular) {
    const Vec3 v = Vec3(0.2, 0.3, 0.9).normalized();
    const Vec3 r = Vec3(-0.5, 0.1, 0.4).normalized();
    for (const auto& [body, reference] :
         {std::pair{std::vector<Vec3>{v, v, v}, std::vector<Vec3>{r, r, r}},
          std::pair{std::vector<Vec3>{v, -v}, std::vector<Vec3>{r, -r}}}) {
        const Result<Mat3> result = solve_wahba(body, reference);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().kind(), ErrorKind::SingularGeometry);
        EXPECT_EQ(result.error().message(), "observation geometry is singular");
    }
}

TEST(Attitude, NonFiniteInputIsSingular) {
    const double nan = std::nan("");
    const std::vector<Vec3> body{Vec3(1, 0, 0), Vec3(0, 1, 0), Vec3(nan, 0, 1)};
    const std::vector<Vec3> reference{Vec3(1, 0, 0), Vec3(0, 1, 0), Vec3(0, 0, 1)};
    const Result<Mat3> result = solve_wahba(body, reference);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), ErrorKind::SingularGeometry);
}

// A mirrored body set has no exact rotation; the answer is still proper (det +1).
TEST(Attitude, MirroredSetYieldsAProperRotation) {
    const auto reference = random_units(6, 3);
    std::vector<Vec3> body;
    for (const Vec3& r : reference) body.emplace_back(-r.x(), r.y(), r.z());
    const Result<Mat3> r = solve_wahba(body, reference);
    ASSERT_TRUE(r.ok());
    EXPECT_NEAR(r->determinant(), 1.0, 1e-13);
    EXPECT_LT((*r * r->transpose() - Mat3::Identity()).cwiseAbs().maxCoeff(), 1e-13);
}

}  // namespace
}  // namespace stelvane
