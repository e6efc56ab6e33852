// The bodies' list: a refused date, and the Moon's parallax, which moves it by about
// asin(Earth radius / distance) x sin(zenith distance).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "core/bodies.hpp"
#include "core/units.hpp"

namespace stelvane {
namespace {

constexpr double JD = 2460389.5;  // 2024-03-21 0h UTC

TEST(Bodies, ANonFiniteDateGivesNoBodies) {
    EXPECT_TRUE(body_places(std::nan("")).empty());
    EXPECT_TRUE(body_places(INFINITY).empty());
}

TEST(Bodies, TheMoonsParallaxPointsAwayFromTheObserver) {
    const BodyPlace geo = *find_body(body_places(JD), Body::Moon);
    // Observers at the latitude of the Moon's declination, every 5 deg of longitude: one has
    // the Moon within a few degrees of the zenith, another on the horizon.
    const double lat = std::asin(geo.astrometric.z());
    double least = 1.0, most = 0.0;
    for (int k = 0; k < 72; ++k) {
        const double lon = (k * 5.0 - 180.0) * units::DEG;
        const BodyPlace topo = *find_body(body_places(JD, Observer{lat, lon}), Body::Moon);
        const double shift = std::acos(std::clamp(topo.astrometric.dot(geo.astrometric), -1.0, 1.0));
        least = std::min(least, shift);
        most = std::max(most, shift);
    }
    // The horizontal parallax of the equatorial radius 6378.137 km at the Moon's distance.
    const double horizontal = std::asin(6378137.0 / (geo.distance_au * 149597870700.0));
    EXPECT_NEAR(most, horizontal, 0.01 * horizontal);
    EXPECT_LT(least, 0.06 * horizontal);
}

}  // namespace
}  // namespace stelvane
