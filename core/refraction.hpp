// Atmospheric refraction near the horizon: the one formula that the solve removes
// from a measured altitude and the scene renderer adds to a true one.
#pragma once

namespace stelvane {

// Bennett's refraction (G. G. Bennett 1982; Meeus, Astronomical Algorithms, eq. 16.4),
// in arcminutes, for an altitude in degrees: 1 / tan(h + 7.31 / (h + 4.4)) with the
// angle in degrees, floored at 0 where the formula turns negative far below the
// horizon. Meeus gives 0.07 arcmin over 0..90 deg at 10 C and 1010 hPa. NaN gives NaN.
double bennett_refraction_arcmin(double alt_deg);

// The same refraction in radians for an altitude in radians.
double refraction_rad(double alt_rad);

}  // namespace stelvane
