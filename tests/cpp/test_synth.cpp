// The scene renderer's random numbers and the rich-boresight search, on
// catalogs whose stars are placed at chosen local altitudes and azimuths.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "core/frame.hpp"
#include "core/plate.hpp"
#include "core/synth.hpp"
#include "core/timescale.hpp"
#include "core/units.hpp"

namespace stelvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kJd = 2460000.25;
constexpr double kLat = 52.0 * units::DEG;
constexpr double kLon = -4.0 * units::DEG;

TEST(Xorshift64Star, FirstUniformsOfSeedOne) {
    // s = 1 stepped by hand: 0x2000001, 0x4004000802801, 0xd004003202803; output
    // (s * 0x2545F4914F6CDD1D mod 2^64) >> 11, scaled by 2^-53 (computed with big integers).
    Xorshift64Star rng(1);
    EXPECT_EQ(rng.uniform(), 2529537253518747.0 * 0x1.0p-53);
    EXPECT_EQ(rng.uniform(), 6045066965290796.0 * 0x1.0p-53);
    EXPECT_EQ(rng.uniform(), 6537840858852963.0 * 0x1.0p-53);
}

TEST(Xorshift64Star, SeedZeroIsSeedOne) {
    Xorshift64Star a(0), b(1);
    for (int k = 0; k < 100; ++k) EXPECT_EQ(a.uniform(), b.uniform());
}

TEST(Xorshift64Star, NormalIsBoxMullerCosineOfTwoUniforms) {
    Xorshift64Star rng(42), pair(42);
    for (int k = 0; k < 50; ++k) {
        const double u1 = pair.uniform(), u2 = pair.uniform();
        EXPECT_EQ(rng.normal(), std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * M_PI * u2));
    }
}

// A zero-motion star whose apparent geometric direction at kJd for the observer at
// (kLat, kLon) is (alt_deg, az_deg), ignoring the 20-arcsec aberration offset.
Star star_at(double alt_deg, double az_deg, float vmag, std::uint32_t hr) {
    const double lst = gmst_rad(kJd) + kLon;
    const Vec3 up(std::cos(kLat) * std::cos(lst), std::cos(kLat) * std::sin(lst), std::sin(kLat));
    const Vec3 north(-std::sin(kLat) * std::cos(lst), -std::sin(kLat) * std::sin(lst), std::cos(kLat));
    const Vec3 east(-std::sin(lst), std::cos(lst), 0.0);
    const double h = alt_deg * units::DEG, a = az_deg * units::DEG;
    const Vec3 of_date = east * std::cos(h) * std::sin(a) + north * std::cos(h) * std::cos(a) + up * std::sin(h);
    Star s;
    s.unit = precession_matrix(kJd).transpose() * of_date;
    s.ra = std::atan2(s.unit.y(), s.unit.x());
    s.dec = std::asin(s.unit.z());
    s.hr = hr;
    s.vmag = vmag;
    return s;
}

// A narrow pinhole: half-diagonal atan(400 / 6000) = 3.81 deg, cone 3.43 deg. Neighbouring
// candidates on the 75-deg ring are 20 cos 75 = 5.2 deg apart, so a cluster counts once.
Camera narrow_pinhole() { return Camera::from_fov(640, 480, std::nullopt, 6000.0, 320.0, 240.0, 0, 0, 0, 0); }

Catalog cluster_catalog(const std::vector<std::pair<std::pair<double, double>, int>>& clusters, float vmag) {
    Catalog c;
    std::uint32_t hr = 1;
    for (const auto& [where, count] : clusters) {
        for (int k = 0; k < count; ++k) c.stars.push_back(star_at(where.first + 0.3 * k, where.second, vmag, hr++));
    }
    return c;
}

TEST(PickRichBoresight, EqualCountsKeepTheEarlierCandidate) {
    const Catalog c = cluster_catalog({{{75.0, 40.0}, 3}, {{45.0, 20.0}, 3}}, 2.0f);
    const Boresight b = pick_rich_boresight(c, narrow_pinhole(), 640, 480, kLat, kLon, kJd);
    EXPECT_EQ(b.alt_deg, 45.0);
    EXPECT_EQ(b.az_deg, 20.0);
}

TEST(PickRichBoresight, MostStarsWin) {
    const Catalog c = cluster_catalog({{{45.0, 20.0}, 3}, {{75.0, 40.0}, 4}, {{60.0, 340.0}, 2}}, 4.0f);
    const Boresight b = pick_rich_boresight(c, narrow_pinhole(), 640, 480, kLat, kLon, kJd);
    EXPECT_EQ(b.alt_deg, 75.0);
    EXPECT_EQ(b.az_deg, 40.0);
}

TEST(PickRichBoresight, NoCountedStarGivesTheFallbackPointing) {
    const Camera cam = narrow_pinhole();
    // Too faint (4.01 > 4 in single precision), below the horizon, or an empty catalog.
    EXPECT_EQ(pick_rich_boresight(cluster_catalog({{{45.0, 20.0}, 3}}, 4.01f), cam, 640, 480, kLat, kLon, kJd).alt_deg,
              55.0);
    const Catalog below = cluster_catalog({{{-10.0, 20.0}, 5}}, 1.0f);
    const Boresight b = pick_rich_boresight(below, cam, 640, 480, kLat, kLon, kJd);
    EXPECT_EQ(b.alt_deg, 55.0);
    EXPECT_EQ(b.az_deg, 0.0);
    const Boresight e = pick_rich_boresight(Catalog{}, cam, 640, 480, kLat, kLon, kJd);
    EXPECT_EQ(e.alt_deg, 55.0);
    EXPECT_EQ(e.az_deg, 0.0);
    // A zero-sized image has a zero-sized cone: nothing is strictly inside it.
    const Catalog on_axis = cluster_catalog({{{45.0, 0.0}, 1}}, 1.0f);
    const Boresight z = pick_rich_boresight(on_axis, cam, 0, 0, kLat, kLon, kJd);
    EXPECT_EQ(z.alt_deg, 55.0);
    EXPECT_EQ(z.az_deg, 0.0);
    EXPECT_EQ(pick_rich_boresight(on_axis, cam, 640, 480, kLat, kLon, kJd).alt_deg, 45.0);
}

}  // namespace
}  // namespace stelvane
