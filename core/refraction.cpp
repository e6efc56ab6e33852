// Bennett's refraction formula.
#include "core/refraction.hpp"

#include <algorithm>
#include <cmath>

#include "core/units.hpp"

namespace stelvane {

// The solve once wrote pi/180 where the renderer wrote DEG; both must give the same bits.
static_assert(units::PI / 180.0 == units::DEG);

double bennett_refraction_arcmin(double alt_deg) {
    const double r = 1.0 / std::tan((alt_deg + 7.31 / (alt_deg + 4.4)) * units::DEG);
    return std::max(r, 0.0);
}

double refraction_rad(double alt_rad) {
    return (bennett_refraction_arcmin(alt_rad * units::RAD_TO_DEG) / 60.0) * units::DEG;
}

}  // namespace stelvane
