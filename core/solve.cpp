// Position from measured altitudes (weighted Gauss-Newton on latitude and longitude).
#include "core/solve.hpp"

#include <cmath>

namespace stelvane {

double computed_altitude(const Observation& observation, double gmst_rad, double lat_rad, double lon_rad) {
    const double hour_angle = gmst_rad + lon_rad - observation.ra;
    double s = std::sin(lat_rad) * std::sin(observation.dec) +
               std::cos(lat_rad) * std::cos(observation.dec) * std::cos(hour_angle);
    s = std::fmin(std::fmax(s, -1.0), 1.0);
    return std::asin(s);
}

double computed_azimuth(const Observation& observation, double gmst_rad, double lat_rad, double lon_rad) {
    const double hour_angle = gmst_rad + lon_rad - observation.ra;
    const double sin_dec = std::sin(observation.dec), cos_dec = std::cos(observation.dec);
    return std::atan2(-cos_dec * std::sin(hour_angle),
                      std::cos(lat_rad) * sin_dec - std::sin(lat_rad) * cos_dec * std::cos(hour_angle));
}

Result<RefinedFix> refine_fix(std::span<const Observation> observations, double gmst_rad, double lat0_rad,
                              double lon0_rad) {
    if (observations.size() < 2) return Error(InsufficientStars{2, observations.size()});

    double lat = lat0_rad;
    double lon = lon0_rad;
    RefinedFix fix;
    for (std::size_t k = 1;; ++k) {
        const double sin_lat = std::sin(lat);
        const double cos_lat = std::cos(lat);
        double ncc = 0.0, ncs = 0.0, nss = 0.0, bn = 0.0, be = 0.0;
        for (const Observation& ob : observations) {
            const double hour_angle = gmst_rad + lon - ob.ra;
            const double sin_dec = std::sin(ob.dec), cos_dec = std::cos(ob.dec);
            const double sin_h = std::sin(hour_angle), cos_h = std::cos(hour_angle);
            double s = sin_lat * sin_dec + cos_lat * cos_dec * cos_h;
            s = std::fmin(std::fmax(s, -1.0), 1.0);
            const double computed_alt = std::asin(s);
            const double azimuth = std::atan2(-cos_dec * sin_h, cos_lat * sin_dec - sin_lat * cos_dec * cos_h);
            const double sin_az = std::sin(azimuth), cos_az = std::cos(azimuth);
            const double w = 1.0 / (ob.sigma * ob.sigma);
            const double r = ob.alt - computed_alt;
            ncc += w * cos_az * cos_az;
            ncs += w * sin_az * cos_az;
            nss += w * sin_az * sin_az;
            bn += w * r * cos_az;
            be += w * r * sin_az;
        }
        const double det = ncc * nss - ncs * ncs;
        const double frob2 = ncc * ncc + 2.0 * ncs * ncs + nss * nss;
        if (!std::isfinite(std::fabs(det)) || frob2 == 0.0 || std::fabs(det) < FIX_SINGULAR_RATIO * frob2 ||
            det == 0.0) {
            return Error(SingularGeometry{});
        }
        const double inv = 1.0 / det;
        const double c00 = inv * nss, c01 = inv * -ncs, c10 = inv * -ncs, c11 = inv * ncc;
        fix.covariance = {{{c00, c01}, {c10, c11}}};
        const double dn = c00 * bn + c01 * be;
        const double de = c10 * bn + c11 * be;
        lat += dn;
        lon += de / std::cos(lat);
        if (std::sqrt(dn * dn + de * de) < FIX_STEP_CONVERGED_RAD || k == MAX_FIX_ITERATIONS) {
            fix.lat_rad = lat;
            fix.lon_rad = lon;
            fix.n_iterations = k;
            return fix;
        }
    }
}

}  // namespace stelvane
