// IAU 1976 precession matrix.
#include "core/frame.hpp"

#include <cmath>

#include "core/units.hpp"

namespace stelvane {

Mat3 precession_matrix(double jd) {
    const double t = (jd - units::J2000_JD) / units::DAYS_PER_JULIAN_CENTURY;
    const double t2 = t * t;
    const double t3 = t2 * t;
    const double zeta = (2306.2181 * t + 0.30188 * t2 + 0.017998 * t3) * units::ARCSEC;
    const double z = (2306.2181 * t + 1.09468 * t2 + 0.018203 * t3) * units::ARCSEC;
    const double theta = (2004.3109 * t - 0.42665 * t2 - 0.041833 * t3) * units::ARCSEC;
    const double cze = std::cos(zeta), sze = std::sin(zeta);
    const double cz = std::cos(z), sz = std::sin(z);
    const double cth = std::cos(theta), sth = std::sin(theta);
    // P = R_z(-z) * R_y(theta) * R_z(-zeta), written out.
    Mat3 p;
    p << cze * cth * cz - sze * sz, -sze * cth * cz - cze * sz, -sth * cz,  //
        cze * cth * sz + sze * cz, -sze * cth * sz + cze * cz, -sth * sz,   //
        cze * sth, -sze * sth, cth;
    return p;
}

}  // namespace stelvane
