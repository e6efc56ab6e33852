// The Sun's apparent place from the Almanac's low-precision formulae.
#include "core/ephemeris.hpp"

#include <algorithm>
#include <cmath>

#include "core/units.hpp"

namespace stelvane {

namespace {
double wrap_degrees(double deg) {
    double r = std::fmod(deg, 360.0);
    return r < 0.0 ? r + 360.0 : r;
}
}  // namespace

EquatorialPosition sun_apparent(double jd) {
    const double n = jd - units::J2000_JD;
    const double mean_longitude = wrap_degrees(280.46 + 0.9856474 * n);
    const double g = wrap_degrees(357.528 + 0.9856003 * n) * units::DEG;
    // The last term is the annual aberration.
    const double lambda =
        (mean_longitude + 1.915 * std::sin(g) + 0.020 * std::sin(2.0 * g) - 0.00569) * units::DEG;
    const double eps = (23.439 - 0.00000036 * n) * units::DEG;
    double ra = std::atan2(std::cos(eps) * std::sin(lambda), std::cos(lambda));
    ra = std::fmod(ra, units::TWO_PI);
    if (ra < 0.0) ra += units::TWO_PI;
    if (ra >= units::TWO_PI) ra = 0.0;  // a tiny negative angle rounds up to 2*pi when shifted
    const double dec = std::asin(std::clamp(std::sin(eps) * std::sin(lambda), -1.0, 1.0));
    return {ra, dec};
}

}  // namespace stelvane
