// Low-precision apparent position of the Sun.
#pragma once

namespace stelvane {

struct EquatorialPosition {
    double ra_rad;   // right ascension of date, [0, 2*pi)
    double dec_rad;  // declination of date, [-pi/2, pi/2]
};

// Apparent right ascension and declination of the Sun, of date, from the
// low-precision solar coordinates of the Astronomical Almanac (section C):
// accuracy about 0.01 deg over 1950-2050. Aberration is included, nutation is not.
// Given: jd, a Julian Date. NaN input gives NaN output.
EquatorialPosition sun_apparent(double jd);

}  // namespace stelvane
