// Precession, the apparent Sun, great-circle distance and the azimuth ellipse.
#include <vector>

#include "core/ephemeris.hpp"
#include "core/fix.hpp"
#include "core/frame.hpp"
#include "core/units.hpp"
#include "py/bindings.hpp"
#include "py/convert.hpp"
#include "py/entry.hpp"
#include "py/errors.hpp"

namespace stelvane::pyb {

namespace {

constexpr auto kPrecessParams = params(required("jd_tt"), required("v"));
constexpr auto kGreatCircleParams = params(required("lat1_deg"), required("lon1_deg"), required("lat2_deg"),
                                           required("lon2_deg"));
constexpr auto kEllipseParams = params(required("azimuths_deg"), required("sigma_arcmin"));
constexpr auto kSunParams = params(required("jd"));
constexpr auto kCovarianceEllipseParams = params(required("var_north"), required("var_east"), required("cov_ne"));

}  // namespace

void bind_precess_vector(py::module_& m) {
    def_function(m, Signature("precess_vector", kPrecessParams),
                 "Precess a J2000 equatorial unit vector to the mean equator of date.\n\n"
                 "jd_tt is the Julian Date (the UTC Julian Date serves; no TT offset is applied); v is any\n"
                 "sequence of three numbers, used as given (not normalised). Returns P(jd_tt) @ v as a list\n"
                 "of three floats, P being the IAU 1976 precession matrix (the identity at J2000.0).\n",
                 [](const Bound& a) {
                     const double jd = to_double(a[kPrecessParams["jd_tt"]]);
                     const auto v = to_vec3(a[kPrecessParams["v"]]);
                     const Vec3 out = precession_matrix(jd) * Vec3(v[0], v[1], v[2]);
                     py::list result;
                     for (double c : {out.x(), out.y(), out.z()}) result.append(c);
                     return result;
                 });
}

void bind_great_circle_nm(py::module_& m) {
    def_function(m, Signature("great_circle_nm", kGreatCircleParams),
                 "Great-circle distance between two lat/lon points in nautical miles.\n\n"
                 "Latitudes and longitudes are in degrees, longitude positive towards the east. One nautical\n"
                 "mile is one arcminute of arc; FixTracker measures max_disambiguation_distance_nm in the same\n"
                 "unit. Antipodal points are 10800 nm apart.\n\n"
                 ">>> stelvane.great_circle_nm(0, 0, 0, 1)\n"
                 "60.0\n",
                 [](const Bound& a) {
                     const double lat1 = to_double(a[kGreatCircleParams["lat1_deg"]]);
                     const double lon1 = to_double(a[kGreatCircleParams["lon1_deg"]]);
                     const double lat2 = to_double(a[kGreatCircleParams["lat2_deg"]]);
                     const double lon2 = to_double(a[kGreatCircleParams["lon2_deg"]]);
                     return great_circle_nm(lat1, lon1, lat2, lon2);
                 });
}

void bind_covariance_ellipse(py::module_& m) {
    def_function(m, Signature("covariance_ellipse", kEllipseParams),
                 "The 2-sigma covariance ellipse of a fix from altitude sights at the given azimuths.\n\n"
                 "azimuths_deg are the sights' azimuths in degrees from north through east; sigma_arcmin is\n"
                 "each altitude's standard deviation in arcminutes. Returns (semi_major_nm, semi_minor_nm,\n"
                 "orientation_deg): the semi-axes in nautical miles and the azimuth of the major axis in\n"
                 "(-90, 90] degrees. Used by the covariance demonstration script to plan sights: lines of\n"
                 "position crossing at right angles pin a fix down, nearly parallel ones leave it loose.\n\n"
                 ">>> [round(x, 3) for x in stelvane.covariance_ellipse([0, 120, 240], 1.0)[:2]]\n"
                 "[1.633, 1.633]\n",
                 [](const Bound& a) {
                     std::vector<double> az = to_double_list(a[kEllipseParams["azimuths_deg"]]);
                     const double sigma = to_double(a[kEllipseParams["sigma_arcmin"]]);
                     if (az.size() < 2) refuse("need at least two azimuths");
                     for (double& x : az) x *= units::DEG;
                     const auto e = azimuth_ellipse_2sigma(az, units::arcmin_to_rad(sigma));
                     if (!e) throw EngineFailure(SingularGeometry{}, "singular geometry: parallel lines of position");
                     return py::make_tuple(e->semi_major_nm, e->semi_minor_nm, e->orientation_deg);
                 });
}

void bind_ellipse_of_covariance(py::module_& m) {
    def_function(m, Signature("_ellipse_2sigma_nm", kCovarianceEllipseParams),
                 "The 2-sigma ellipse of a north/east covariance in radians squared, as a Fix reports it.\n\n"
                 "Returns (semi_major_nm, semi_minor_nm, orientation_deg). For the error budget.\n",
                 [](const Bound& a) {
                     const EllipseNm e = ellipse_2sigma_from_covariance(
                         to_double(a[kCovarianceEllipseParams["var_north"]]),
                         to_double(a[kCovarianceEllipseParams["var_east"]]),
                         to_double(a[kCovarianceEllipseParams["cov_ne"]]));
                     return py::make_tuple(e.semi_major_nm, e.semi_minor_nm, e.orientation_deg);
                 });
}

void bind_sun_apparent_jd(py::module_& m) {
    def_function(m, Signature("sun_apparent_jd", kSunParams),
                 "Apparent (of-date) right ascension and declination of the Sun in radians for a Julian Date.\n\n"
                 "Returns (ra, dec) with ra in [0, 2*pi) and dec in [-pi/2, pi/2], from the low-precision\n"
                 "solar formulae of the Astronomical Almanac (about 0.01 deg over 1950-2050).\n",
                 [](const Bound& a) {
                     const auto sun = sun_apparent(to_double(a[kSunParams["jd"]]));
                     return py::make_tuple(sun.ra_rad, sun.dec_rad);
                 });
}

}  // namespace stelvane::pyb
