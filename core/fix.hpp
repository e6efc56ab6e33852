// Position-fix geometry: great-circle distances between fixes and the 2-sigma
// error ellipse that a set of sight azimuths allows.
#pragma once

#include <optional>
#include <span>

namespace stelvane {

// Great-circle distance between two positions (haversine), in nautical miles:
// one nautical mile per arcminute of arc, so no Earth radius enters.
// Given: latitudes and longitudes in degrees (not range-checked).
// Exactly antipodal points give 10800: the haversine term is clamped to 1 so that
// rounding never turns the distance into NaN. NaN inputs give NaN.
double great_circle_nm(double lat1_deg, double lon1_deg, double lat2_deg, double lon2_deg);

struct EllipseNm {
    double semi_major_nm;    // >= semi_minor_nm
    double semi_minor_nm;
    double orientation_deg;  // azimuth of the major axis, north through east, in (-90, 90]
};

// The 2-sigma ellipse of a least-squares fix from altitude sights at the given
// azimuths (radians from north through east), each with standard deviation
// sigma_rad. Returns nothing when the lines of position are (nearly) parallel.
// Makes one pass and allocates nothing.
std::optional<EllipseNm> azimuth_ellipse_2sigma(std::span<const double> azimuths_rad, double sigma_rad);

// The 2-sigma ellipse of a north/east covariance (radians squared).
EllipseNm ellipse_2sigma_from_covariance(double var_north, double var_east, double cov_ne);

}  // namespace stelvane
