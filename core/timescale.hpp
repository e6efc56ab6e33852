// Calendar dates to Julian Dates and Greenwich mean sidereal time. One Julian
// Date computed from the UTC instant serves as UT1 and TT alike: no leap-second,
// UT1 or TT correction is applied anywhere in the engine.
#pragma once

#include <cstdint>

namespace stelvane {

// Julian Date of a proleptic Gregorian calendar instant (Meeus, Astronomical
// Algorithms, ch. 7, with the Gregorian correction always applied).
// Given: year, month (1..12), day, hour, minute, second (fractional); fields past
// their usual range roll over arithmetically (minute 90 is an hour and a half).
// Returns: days since the Julian Date epoch; NaN inputs propagate.
double julian_date(std::int32_t year, std::uint32_t month, std::uint32_t day, std::uint32_t hour,
                   std::uint32_t minute, double second);

// Greenwich mean sidereal time in radians, in [0, 2*pi), from the IAU 1982
// expression for an arbitrary instant with the UTC-based Julian Date standing for UT1.
double gmst_rad(double jd_ut);

}  // namespace stelvane
