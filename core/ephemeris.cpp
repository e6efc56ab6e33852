// The Sun's place and annual aberration from the Almanac's low-precision formulae.
#include "core/ephemeris.hpp"

#include <algorithm>
#include <cmath>

#include "core/units.hpp"

namespace stelvane {

namespace {

// The Sun's mean longitude and mean anomaly at J2000, degrees (both forms).
constexpr double MEAN_LONGITUDE_J2000_DEG = 280.46;
constexpr double MEAN_ANOMALY_J2000_DEG = 357.528;

// Day form (sun_apparent), n days from J2000: the daily rates of the mean longitude
// and anomaly, and the obliquity at J2000 with its daily rate, degrees.
constexpr double DAY_MEAN_LONGITUDE_RATE_DEG = 0.9856474;
constexpr double DAY_MEAN_ANOMALY_RATE_DEG = 0.9856003;
constexpr double DAY_OBLIQUITY_DEG = 23.439;
constexpr double DAY_OBLIQUITY_RATE_DEG = 0.00000036;
// The annual aberration folded into the day form's apparent longitude, degrees.
constexpr double DAY_ABERRATION_DEG = 0.00569;

// Century form (aberration and parallax): the same quantities per Julian century.
constexpr double CENTURY_MEAN_LONGITUDE_RATE_DEG = 36000.771;
constexpr double CENTURY_MEAN_ANOMALY_RATE_DEG = 35999.05;
constexpr double CENTURY_OBLIQUITY_DEG = 23.4393;
constexpr double CENTURY_OBLIQUITY_RATE_DEG = 0.013;

double wrap_degrees(double deg) {
    double r = std::fmod(deg, 360.0);
    return r < 0.0 ? r + 360.0 : r;
}

// The equation of centre to second order, degrees: C1 = 1.915 sin g, C2 = 0.020 sin 2g.
struct EquationOfCentre {
    double first_deg;
    double second_deg;
};

EquationOfCentre equation_of_centre(double mean_anomaly_rad) {
    return {1.915 * std::sin(mean_anomaly_rad), 0.020 * std::sin(2.0 * mean_anomaly_rad)};
}

// The century form's terms at jd.
struct CenturySun {
    double mean_longitude_deg;
    EquationOfCentre centre;
    double obliquity_rad;
};

CenturySun century_sun(double jd) {
    const double t = (jd - units::J2000_JD) / units::DAYS_PER_JULIAN_CENTURY;
    const double g = (MEAN_ANOMALY_J2000_DEG + CENTURY_MEAN_ANOMALY_RATE_DEG * t) * units::DEG;
    return {MEAN_LONGITUDE_J2000_DEG + CENTURY_MEAN_LONGITUDE_RATE_DEG * t, equation_of_centre(g),
            (CENTURY_OBLIQUITY_DEG - CENTURY_OBLIQUITY_RATE_DEG * t) * units::DEG};
}

}  // namespace

EquatorialPosition sun_apparent(double jd) {
    const double n = jd - units::J2000_JD;
    const double mean_longitude = wrap_degrees(MEAN_LONGITUDE_J2000_DEG + DAY_MEAN_LONGITUDE_RATE_DEG * n);
    const double g = wrap_degrees(MEAN_ANOMALY_J2000_DEG + DAY_MEAN_ANOMALY_RATE_DEG * n) * units::DEG;
    const EquationOfCentre c = equation_of_centre(g);
    const double lambda = (mean_longitude + c.first_deg + c.second_deg - DAY_ABERRATION_DEG) * units::DEG;
    const double eps = (DAY_OBLIQUITY_DEG - DAY_OBLIQUITY_RATE_DEG * n) * units::DEG;
    double ra = std::atan2(std::cos(eps) * std::sin(lambda), std::cos(lambda));
    ra = std::fmod(ra, units::TWO_PI);
    if (ra < 0.0) ra += units::TWO_PI;
    if (ra >= units::TWO_PI) ra = 0.0;  // a tiny negative angle rounds up to 2*pi when shifted
    const double dec = std::asin(std::clamp(std::sin(eps) * std::sin(lambda), -1.0, 1.0));
    return {ra, dec};
}

// The two sums below differ in the last bit for some dates; each is kept as its
// user has always computed it, so that star places and fixes stay bit for bit.
Vec3 sun_unit(double jd) {
    const CenturySun sun = century_sun(jd);
    const double lambda = sun.mean_longitude_deg * units::DEG + (sun.centre.first_deg + sun.centre.second_deg) * units::DEG;
    const double eps = sun.obliquity_rad;
    return Vec3(std::cos(lambda), std::sin(lambda) * std::cos(eps), std::sin(lambda) * std::sin(eps));
}

Vec3 aberration_offset(double jd) {
    const CenturySun sun = century_sun(jd);
    const double lambda = (sun.mean_longitude_deg + sun.centre.first_deg + sun.centre.second_deg) * units::DEG;
    const double eps = sun.obliquity_rad;
    return ABERRATION_RAD * Vec3(std::sin(lambda), -std::cos(lambda) * std::cos(eps), -std::cos(lambda) * std::sin(eps));
}

Vec3 apparent_direction(const Vec3& direction_of_date, const Vec3& offset) {
    return (direction_of_date + offset).normalized();
}

}  // namespace stelvane
