// Julian Dates and Greenwich mean sidereal time.
#include "core/timescale.hpp"

#include <cmath>

#include "core/units.hpp"

namespace stelvane {

double julian_date(std::int32_t year, std::uint32_t month, std::uint32_t day, std::uint32_t hour,
                   std::uint32_t minute, double second) {
    // January and February count as months 13 and 14 of the previous year.
    double y = static_cast<double>(year);
    double m = static_cast<double>(month);
    if (month < 3) {
        y -= 1.0;
        m += 12.0;
    }
    const double a = std::floor(y / 100.0);
    const double b = 2.0 - a + std::floor(a * 0.25);
    const double f =
        (static_cast<double>(hour) + static_cast<double>(minute) / 60.0 + second / 3600.0) / 24.0;
    return std::floor(365.25 * (y + 4716.0)) + std::floor(30.6001 * (m + 1.0)) + static_cast<double>(day) + f +
           b - 1524.5;
}

double gmst_rad(double jd_ut) {
    const double t = (jd_ut - units::J2000_JD) / units::DAYS_PER_JULIAN_CENTURY;
    // Seconds of sidereal time; 3164400184.812866 = 876600 h * 3600 + 8640184.812866.
    double s = 67310.54841 + 3164400184.812866 * t + 0.093104 * t * t - 6.2e-6 * t * t * t;
    s = std::fmod(s, units::SECONDS_PER_DAY);
    if (s < 0.0) s += units::SECONDS_PER_DAY;
    // A tiny negative remainder rounds up to a whole day when shifted: keep the range half-open.
    if (s >= units::SECONDS_PER_DAY) s = 0.0;
    return s / units::SECONDS_PER_DAY * units::TWO_PI;
}

}  // namespace stelvane
