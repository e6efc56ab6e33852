// Planets and the Moon from ERFA (eraPlan94, eraEpv00, eraMoon98): light-time
// corrected directions in the catalog's J2000 frame, topocentric when the observer
// is known, with approximate visual magnitudes and angular radii.
#include "core/bodies.hpp"

#include <algorithm>
#include <cmath>

extern "C" {
#include <erfa.h>
#include <erfam.h>
}

#include "core/frame.hpp"
#include "core/timescale.hpp"
#include "core/units.hpp"

namespace stelvane {

namespace {

// TT - UTC when ERFA's leap-second table refuses the date (37 leap seconds + 32.184 s).
constexpr double FALLBACK_TT_MINUS_UTC_S = 69.184;
// Light time for one astronomical unit, days.
constexpr double LIGHT_DAYS_PER_AU = ERFA_AULT / ERFA_DAYSEC;
// Light-time iterations: the second leaves an error of about (v/c)^2, far below a milliarcsecond.
constexpr int LIGHT_TIME_ITERATIONS = 2;
// Mean Earth-Moon distance of Allen's lunar magnitude law, au.
constexpr double MOON_MEAN_DISTANCE_AU = 384400.0e3 / ERFA_DAU;
// Equatorial radii, metres (IAU/IAG 2015 working group; the Moon's mean radius).
constexpr double MOON_RADIUS_M = 1737.4e3;
// Saturn's ring (and north) pole, J2000: RA 40.589 deg, Dec 83.537 deg.
constexpr double SATURN_POLE_RA_RAD = 40.589 * units::DEG;
constexpr double SATURN_POLE_DEC_RAD = 83.537 * units::DEG;

struct PlanetConstants {
    Body body;
    int erfa_number;  // eraPlan94's planet number
    double radius_m;
    // V(1, 0) and the phase coefficients a1, a2, a3 of i, i^2, i^3 (i in degrees).
    double v10;
    double a1, a2, a3;
};

// The Astronomical Almanac's magnitude laws (Explanatory Supplement 1992), as Meeus
// quotes them (Astronomical Algorithms, 2nd ed., ch. 41).
constexpr std::array<PlanetConstants, 5> PLANETS{{
    {Body::Mercury, 1, 2439.7e3, -0.42, 0.0380, -0.000273, 0.000002},
    {Body::Venus, 2, 6051.8e3, -4.40, 0.0009, 0.000239, -0.00000065},
    {Body::Mars, 4, 3396.2e3, -1.52, 0.016, 0.0, 0.0},
    {Body::Jupiter, 5, 71492.0e3, -9.40, 0.005, 0.0, 0.0},
    {Body::Saturn, 6, 60268.0e3, -8.88, 0.044, 0.0, 0.0},
}};

Vec3 position_of(const double pv[2][3]) { return Vec3(pv[0][0], pv[0][1], pv[0][2]); }

// TT Julian Date of a UTC Julian Date.
double tt_of_utc(double jd_utc) {
    double tai1 = 0.0, tai2 = 0.0, tt1 = 0.0, tt2 = 0.0;
    if (eraUtctai(jd_utc, 0.0, &tai1, &tai2) < 0 || eraTaitt(tai1, tai2, &tt1, &tt2) != 0) {
        return jd_utc + FALLBACK_TT_MINUS_UTC_S / units::SECONDS_PER_DAY;
    }
    return tt1 + tt2;
}

// The observer's geocentric position in au on the J2000 equator: the WGS84 point
// turned by sidereal time to the equator of date, then precessed back to J2000.
Vec3 observer_position_au(const Observer& observer, double jd_utc) {
    double xyz[3] = {0.0, 0.0, 0.0};
    if (eraGd2gc(ERFA_WGS84, observer.lon_rad, observer.lat_rad, 0.0, xyz) != 0) return Vec3::Zero();
    const double g = gmst_rad(jd_utc);
    const Vec3 of_date(xyz[0] * std::cos(g) - xyz[1] * std::sin(g), xyz[0] * std::sin(g) + xyz[1] * std::cos(g),
                       xyz[2]);
    return precession_matrix(jd_utc).transpose() * of_date / ERFA_DAU;
}

// Phase angle at a body, degrees, from its distances to the Sun (r), to the observer
// (delta) and the observer's distance to the Sun (sun_observer).
double phase_angle_deg(double r, double delta, double sun_observer) {
    const double c = (r * r + delta * delta - sun_observer * sun_observer) / (2.0 * r * delta);
    return std::acos(std::clamp(c, -1.0, 1.0)) * units::RAD_TO_DEG;
}

// Saturn's ring term, -2.60 |sin B| + 1.25 sin^2 B, B the ring plane's tilt seen from
// the observer (direction `to_saturn` from the observer).
double saturn_ring_term(const Vec3& to_saturn) {
    const Vec3 pole(std::cos(SATURN_POLE_DEC_RAD) * std::cos(SATURN_POLE_RA_RAD),
                    std::cos(SATURN_POLE_DEC_RAD) * std::sin(SATURN_POLE_RA_RAD), std::sin(SATURN_POLE_DEC_RAD));
    const double sin_b = -pole.dot(to_saturn.normalized());
    return -2.60 * std::fabs(sin_b) + 1.25 * sin_b * sin_b;
}

BodyPlace planet_place(const PlanetConstants& planet, double tt, const Vec3& earth_helio, const Vec3& observer_au) {
    const Vec3 observer_helio = earth_helio + observer_au;
    double pv[2][3];
    Vec3 helio = Vec3::Zero();
    Vec3 seen = Vec3::Zero();
    double light_days = 0.0;
    for (int k = 0; k <= LIGHT_TIME_ITERATIONS; ++k) {
        eraPlan94(tt - light_days, 0.0, planet.erfa_number, pv);
        helio = position_of(pv);
        seen = helio - observer_helio;
        light_days = seen.norm() * LIGHT_DAYS_PER_AU;
    }
    const double r = helio.norm(), delta = seen.norm();
    const double i = phase_angle_deg(r, delta, observer_helio.norm());
    double vmag = planet.v10 + 5.0 * std::log10(r * delta) + planet.a1 * i + planet.a2 * i * i + planet.a3 * i * i * i;
    if (planet.body == Body::Saturn) vmag += saturn_ring_term(seen);
    return {planet.body, seen / delta, delta, vmag, std::asin(std::min(planet.radius_m / (delta * ERFA_DAU), 1.0))};
}

BodyPlace moon_place(double tt, const Vec3& earth_helio, const Vec3& observer_au) {
    double pv[2][3];
    eraMoon98(tt, 0.0, pv);
    const Vec3 geocentric = position_of(pv);
    const Vec3 seen = geocentric - observer_au;
    const double delta = seen.norm();
    // The Sun as seen from the Moon, and the observer as seen from the Moon.
    const Vec3 moon_helio = earth_helio + geocentric;
    const double i = phase_angle_deg(moon_helio.norm(), delta, (earth_helio + observer_au).norm());
    const double vmag =
        -12.73 + 0.026 * i + 4e-9 * i * i * i * i + 5.0 * std::log10(delta / MOON_MEAN_DISTANCE_AU);
    return {Body::Moon, seen / delta, delta, vmag, std::asin(std::min(MOON_RADIUS_M / (delta * ERFA_DAU), 1.0))};
}

}  // namespace

std::string_view body_name(Body body) {
    switch (body) {
        case Body::Mercury: return "Mercury";
        case Body::Venus: return "Venus";
        case Body::Mars: return "Mars";
        case Body::Jupiter: return "Jupiter";
        case Body::Saturn: return "Saturn";
        case Body::Moon: return "Moon";
    }
    return "";
}

std::vector<BodyPlace> body_places(double jd_utc, std::optional<Observer> observer) {
    std::vector<BodyPlace> places;
    if (!std::isfinite(jd_utc)) return places;
    const double tt = tt_of_utc(jd_utc);
    double pvh[2][3], pvb[2][3];
    eraEpv00(tt, 0.0, pvh, pvb);
    const Vec3 earth_helio = position_of(pvh);
    const Vec3 observer_au = observer ? observer_position_au(*observer, jd_utc) : Vec3::Zero();
    places.reserve(ALL_BODIES.size());
    for (const PlanetConstants& planet : PLANETS) places.push_back(planet_place(planet, tt, earth_helio, observer_au));
    places.push_back(moon_place(tt, earth_helio, observer_au));
    return places;
}

const BodyPlace* find_body(const std::vector<BodyPlace>& places, Body body) {
    for (const BodyPlace& p : places) {
        if (p.body == body) return &p;
    }
    return nullptr;
}

}  // namespace stelvane
