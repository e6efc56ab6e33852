// Precession of equatorial directions from J2000 to the mean equator of date.
#pragma once

#include "core/vec.hpp"

namespace stelvane {

// Precession matrix P with v_of_date = P * v_J2000, from the IAU 1976 precession
// angles zeta, z, theta (Lieske et al. 1977, A&A 58, 1). Given: jd, a Julian Date
// taken as TT. Returns the identity at J2000.0. Accuracy: the IAU 1976 model, better
// than 0.1 arcsec over 1900-2100; NaN input gives a NaN matrix.
Mat3 precession_matrix(double jd);

}  // namespace stelvane
