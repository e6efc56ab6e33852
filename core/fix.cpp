// Great-circle distance and the covariance ellipse of a fix.
#include "core/fix.hpp"

#include <algorithm>
#include <cmath>

#include "core/units.hpp"

namespace stelvane {

double great_circle_nm(double lat1_deg, double lon1_deg, double lat2_deg, double lon2_deg) {
    const double lat1 = lat1_deg * units::DEG, lat2 = lat2_deg * units::DEG;
    const double s_lat = std::sin((lat2 - lat1) * 0.5);
    const double s_lon = std::sin((lon2_deg - lon1_deg) * units::DEG * 0.5);
    const double a = s_lat * s_lat + std::cos(lat1) * std::cos(lat2) * s_lon * s_lon;
    // Rounding can push a past 1 by an ulp for antipodal points; std::min keeps NaN.
    const double d = 2.0 * std::asin(std::sqrt(std::min(a, 1.0)));
    return d * units::RAD_TO_DEG * 60.0;
}

EllipseNm ellipse_2sigma_from_covariance(double var_north, double var_east, double cov_ne) {
    const double m = (var_north + var_east) * 0.5;
    const double q = std::sqrt(cov_ne * cov_ne + 0.25 * (var_north - var_east) * (var_north - var_east));
    return {
        2.0 * std::sqrt(std::max(m + q, 0.0)) * units::NM_PER_RAD,
        2.0 * std::sqrt(std::max(m - q, 0.0)) * units::NM_PER_RAD,
        0.5 * std::atan2(2.0 * cov_ne, var_north - var_east) * units::RAD_TO_DEG,
    };
}

std::optional<EllipseNm> azimuth_ellipse_2sigma(std::span<const double> azimuths_rad, double sigma_rad) {
    const double w = 1.0 / (sigma_rad * sigma_rad);
    double nss = 0.0, ncc = 0.0, ncs = 0.0;
    for (double az : azimuths_rad) {
        const double s = std::sin(az), c = std::cos(az);
        nss += w * s * s;
        ncc += w * c * c;
        ncs += w * s * c;
    }
    const double det = ncc * nss - ncs * ncs;
    const double scale = ncc * ncc + nss * nss + 2.0 * ncs * ncs;
    if (1e-12 * scale > std::fabs(det) || det == 0.0) return std::nullopt;
    return ellipse_2sigma_from_covariance(nss / det, ncc / det, -ncs / det);
}

}  // namespace stelvane
