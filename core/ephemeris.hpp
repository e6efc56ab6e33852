// The Sun from the Astronomical Almanac's low-precision formulae, and the annual
// aberration that the Sun's direction implies: the one place where the engine
// computes where the Sun is, for its apparent place, for aberration and for parallax.
#pragma once

#include "core/vec.hpp"

namespace stelvane {

struct EquatorialPosition {
    double ra_rad;   // right ascension of date, [0, 2*pi)
    double dec_rad;  // declination of date, [-pi/2, pi/2]
};

// Constant of annual aberration, 20.49552 arcsec (IAU 1976), in radians.
inline constexpr double ABERRATION_RAD = 9.936508497454117e-05;

// Apparent right ascension and declination of the Sun, of date, from the
// low-precision solar coordinates of the Astronomical Almanac (section C, day form:
// n days from J2000, obliquity 23.439 - 0.00000036 n deg): accuracy about 0.01 deg
// over 1950-2050. Aberration is included, nutation is not.
// Given: jd, a Julian Date. NaN input gives NaN output.
EquatorialPosition sun_apparent(double jd);

// The Sun for aberration and annual parallax comes from the Almanac's century form
// (T Julian centuries from J2000: mean anomaly 357.528 + 35999.05 T deg, mean longitude
// 280.46 + 36000.771 T deg, obliquity 23.4393 - 0.013 T deg), about 0.01 deg over
// 1950-2050; sun_apparent keeps the day form's constants. The two users add the
// equation of centre to the mean longitude in different orders (see ephemeris.cpp),
// which is why they are two functions over one set of terms.

// Unit direction of the Sun from the Earth on the equator of the century-form
// obliquity, (cos l, sin l cos e, sin l sin e): where annual parallax pushes a star.
// l = L deg + (C1 + C2) deg (mean longitude and equation of centre converted apart).
Vec3 sun_unit(double jd);

// The annual-aberration offset at jd, ABERRATION_RAD x (sin l, -cos l cos e,
// -cos l sin e): the Earth's velocity direction, 90 deg behind the Sun, with
// l = (L + C1 + C2) deg. Added to a
// unit direction of date and renormalised (apparent_direction), it gives the
// aberrated direction to first order in v/c (elliptic terms ignored, under 0.35 arcsec).
Vec3 aberration_offset(double jd);

// The aberrated unit direction: (direction_of_date + offset) normalised.
Vec3 apparent_direction(const Vec3& direction_of_date, const Vec3& offset);

}  // namespace stelvane
