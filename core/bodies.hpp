// Solar-system bodies a night frame may hold: the five naked-eye planets and the
// Moon, their directions at an instant from ERFA's analytic ephemerides, with the
// visual magnitudes and the Moon's angular size that say how they look in a frame.
#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "core/vec.hpp"

namespace stelvane {

enum class Body { Mercury, Venus, Mars, Jupiter, Saturn, Moon };

inline constexpr std::array<Body, 6> ALL_BODIES{Body::Mercury, Body::Venus, Body::Mars,
                                                Body::Jupiter, Body::Saturn, Body::Moon};

// "Mercury", "Venus", "Mars", "Jupiter", "Saturn", "Moon".
std::string_view body_name(Body body);

// Where the observer stands, for the Moon's topocentric parallax: geodetic latitude and
// east longitude in radians on the WGS84 ellipsoid, at sea level.
struct Observer {
    double lat_rad;
    double lon_rad;
};

struct BodyPlace {
    Body body;
    // Unit direction from the observer (or the geocentre) to the body, light-time
    // corrected, on the J2000 mean equator and equinox: the frame of the catalog's
    // star directions. Annual aberration is not applied, as it is not to the catalog's
    // stars, so that an attitude solved from stars carries both the same way.
    Vec3 astrometric;
    double distance_au;        // from the observer (or the geocentre)
    double vmag;               // visual magnitude, approximate (see body_places)
    double angular_radius_rad; // the disc's apparent radius (the Moon's is 15 arcmin or so)
};

// The planets Mercury to Saturn and the Moon at the UTC Julian Date `jd_utc`, in
// ALL_BODIES order.
//
// Given: jd_utc, the engine's one Julian Date (UTC); observer, the place on the Earth,
// or nothing for geocentric places. TT is taken from UTC with ERFA's leap-second table
// (eraUtctai, eraTaitt); dates it refuses use TT = UTC + 69.184 s.
// Returns: every body, whatever its altitude.
// Method: planets from eraPlan94 (heliocentric, Simon et al. 1994) less the Earth's
// heliocentric position from eraEpv00, with the planet taken at the light-emission
// time (two light-time iterations); the Moon from eraMoon98 (Meeus), shifted from
// the geocentre to the observer when one is given: the observer's geocentric vector
// (eraGd2gc, WGS84) turned by the engine's sidereal time and precession.
// Accuracy of the direction, 1800-2050: Mercury and Venus within 7 arcsec, Mars 26,
// Jupiter 78, Saturn 87 (eraPlan94's worst cases against DE200); the Moon within 18
// arcsec geocentric (eraMoon98 against ELP/MPP02), topocentric within the same plus
// the parallax error of an observer placed wrongly: 1 arcsec per 4 km (57 arcmin of
// parallax per Earth radius), so about 1 arcmin for a place 1 deg off. Annual
// aberration (20 arcsec) is left to the caller (see BodyPlace::astrometric).
// Magnitudes: Mercury to Saturn from the Explanatory Supplement (1992) phase laws
// quoted by Meeus (Astronomical Algorithms, ch. 41), Saturn with its ring term
// (ring pole RA 40.589 deg, Dec 83.537 deg, J2000); the Moon from Allen's phase law,
// -12.73 + 0.026 |i| + 4e-9 i^4 (i in degrees) at the mean distance. About 0.2 mag.
std::vector<BodyPlace> body_places(double jd_utc, std::optional<Observer> observer = std::nullopt);

// The body's place in a list from body_places, or nothing.
const BodyPlace* find_body(const std::vector<BodyPlace>& places, Body body);

}  // namespace stelvane
