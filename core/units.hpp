// Angle, distance and time constants shared by every engine area, each named
// once at the precision the rest of the engine relies on.
#pragma once

namespace stelvane::units {

inline constexpr double PI = 3.141592653589793;
inline constexpr double TWO_PI = 6.283185307179586;
// Degrees to radians and back; the engine uses these exact literals everywhere.
inline constexpr double DEG = 0.017453292519943295;
inline constexpr double RAD_TO_DEG = 57.29577951308232;
// Arcminutes per degree.
inline constexpr double ARCMIN_PER_DEG = 60.0;
// One arcsecond and one milliarcsecond in radians.
inline constexpr double ARCSEC = 4.84813681109536e-6;
inline constexpr double MAS = 4.8481368110953594e-9;
// Nautical miles per radian of great-circle arc (one nautical mile per arcminute).
inline constexpr double NM_PER_RAD = 3437.746770784939;
// Julian Date of the J2000.0 epoch (2000-01-01 12:00).
inline constexpr double J2000_JD = 2451545.0;
inline constexpr double DAYS_PER_JULIAN_CENTURY = 36525.0;
inline constexpr double SECONDS_PER_DAY = 86400.0;

// Arcminutes to radians, in the order the engine always applies: (value / 60) * pi/180.
inline constexpr double arcmin_to_rad(double arcmin) { return (arcmin / 60.0) * (PI / 180.0); }

}  // namespace stelvane::units
