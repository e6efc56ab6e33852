// The private submodule `_skies` behind stelvane.skies: the planets' and the Moon's
// places at an instant, and the scene renderer that draws them.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "core/bodies.hpp"
#include "core/units.hpp"
#include "py/bindings.hpp"
#include "py/convert.hpp"
#include "py/entry.hpp"
#include "py/errors.hpp"
#include "py/intake.hpp"

namespace stelvane::pyb {

namespace {

constexpr auto kBodyPlacesParams = params(required("utc"), optional("lat_deg"), optional("lon_deg"));

// (name, ra_deg, dec_deg, distance_au, vmag, angular_radius_arcmin) of every body.
py::list body_places_entry(const Bound& a) {
    const double jd = utc_to_jd(a[kBodyPlacesParams["utc"]], "utc");
    const std::optional<double> lat = to_opt_double(a[kBodyPlacesParams["lat_deg"]]);
    const std::optional<double> lon = to_opt_double(a[kBodyPlacesParams["lon_deg"]]);
    if (lat.has_value() != lon.has_value()) {
        refuse("lat_deg and lon_deg go together: pass both for a topocentric Moon, or neither");
    }
    std::optional<Observer> observer;
    if (lat) observer = Observer{*lat * units::DEG, *lon * units::DEG};
    py::list out;
    for (const BodyPlace& p : body_places(jd, observer)) {
        const Vec3& v = p.astrometric;
        double ra = std::atan2(v.y(), v.x()) * units::RAD_TO_DEG;
        if (ra < 0.0) ra += 360.0;
        const double dec = std::asin(std::clamp(v.z(), -1.0, 1.0)) * units::RAD_TO_DEG;
        out.append(py::make_tuple(py::str(std::string(body_name(p.body))), ra, dec, p.distance_au, p.vmag,
                                  p.angular_radius_rad * units::RAD_TO_DEG * units::ARCMIN_PER_DEG));
    }
    return out;
}

}  // namespace

void bind_skies(py::module_& m) {
    py::module_ s = m.def_submodule("_skies", "Planets, the Moon and rendered real skies (see stelvane.skies).");
    def_function(s, Signature("body_places", kBodyPlacesParams),
                 "(name, ra_deg, dec_deg, distance_au, vmag, angular_radius_arcmin) of the planets Mercury to\n"
                 "Saturn and the Moon at utc, astrometric J2000, topocentric for the Moon when lat_deg and\n"
                 "lon_deg are given.\n",
                 body_places_entry);
    bind_synthesize_scene_with_bodies(s);
}

}  // namespace stelvane::pyb
