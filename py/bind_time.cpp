// Julian Dates and Greenwich mean sidereal time.
#include "core/timescale.hpp"
#include "core/units.hpp"
#include "py/bindings.hpp"
#include "py/convert.hpp"
#include "py/signature.hpp"

namespace stelvane::pyb {

void bind_julian_date(py::module_& m) {
    def_function(
        m, "julian_date",
        Signature("julian_date", {required("year"), required("month"), required("day"), required("hour"),
                                  required("minute"), required("second")}),
        "julian_date(year, month, day, hour, minute, second)\n--\n\n"
        "Julian Date of a proleptic Gregorian calendar instant (UTC).\n\n"
        "year is a signed integer; month, day, hour and minute are non-negative integers; second is a\n"
        "float and may be fractional. Fields past their usual range roll over arithmetically (minute=90\n"
        "is an hour and a half). The Gregorian calendar is applied before 1582 too.\n\n"
        ">>> stelvane.julian_date(2000, 1, 1, 12, 0, 0)\n"
        "2451545.0\n",
        [](const std::vector<py::object>& a) {
            const std::int32_t year = to_i32(a[0], "year");
            const std::uint32_t month = to_u32(a[1], "month");
            const std::uint32_t day = to_u32(a[2], "day");
            const std::uint32_t hour = to_u32(a[3], "hour");
            const std::uint32_t minute = to_u32(a[4], "minute");
            const double second = to_double(a[5], "second");
            return julian_date(year, month, day, hour, minute, second);
        });
}

void bind_gmst_deg(py::module_& m) {
    def_function(m, "gmst_deg", Signature("gmst_deg", {required("jd_ut")}),
                 "gmst_deg(jd_ut)\n--\n\n"
                 "Greenwich mean sidereal time in degrees, in [0, 360), for a Julian Date in UT.\n\n"
                 "Uses the IAU 1982 expression; the UTC Julian Date stands for UT1 (no DUT1 correction).\n"
                 "Local sidereal time is this angle plus the east-positive longitude.\n\n"
                 ">>> round(stelvane.gmst_deg(2451545.0), 9)\n"
                 "280.460618375\n",
                 [](const std::vector<py::object>& a) {
                     return gmst_rad(to_double(a[0], "jd_ut")) * units::RAD_TO_DEG;
                 });
}

}  // namespace stelvane::pyb
