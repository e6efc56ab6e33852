// Julian Dates and Greenwich mean sidereal time.
#include "core/timescale.hpp"
#include "core/units.hpp"
#include "py/bindings.hpp"
#include "py/convert.hpp"
#include "py/entry.hpp"

namespace stelvane::pyb {

namespace {

constexpr auto kJulianDateParams = params(required("year"), required("month"), required("day"), required("hour"),
                                          required("minute"), required("second"));
constexpr auto kGmstParams = params(required("jd_ut"));

}  // namespace

void bind_julian_date(py::module_& m) {
    def_function(m, Signature("julian_date", kJulianDateParams),
                 "Julian Date of a proleptic Gregorian calendar instant (UTC).\n\n"
                 "year is a signed integer; month, day, hour and minute are non-negative integers; second is a\n"
                 "float and may be fractional. Fields past their usual range roll over arithmetically (minute=90\n"
                 "is an hour and a half). The Gregorian calendar is applied before 1582 too.\n\n"
                 ">>> stelvane.julian_date(2000, 1, 1, 12, 0, 0)\n"
                 "2451545.0\n",
                 [](const Bound& a) {
                     const std::int32_t year = to_i32(a[kJulianDateParams["year"]]);
                     const std::uint32_t month = to_u32(a[kJulianDateParams["month"]]);
                     const std::uint32_t day = to_u32(a[kJulianDateParams["day"]]);
                     const std::uint32_t hour = to_u32(a[kJulianDateParams["hour"]]);
                     const std::uint32_t minute = to_u32(a[kJulianDateParams["minute"]]);
                     const double second = to_double(a[kJulianDateParams["second"]]);
                     return julian_date(year, month, day, hour, minute, second);
                 });
}

void bind_gmst_deg(py::module_& m) {
    def_function(m, Signature("gmst_deg", kGmstParams),
                 "Greenwich mean sidereal time in degrees, in [0, 360), for a Julian Date in UT.\n\n"
                 "Uses the IAU 1982 expression; the UTC Julian Date stands for UT1 (no DUT1 correction).\n"
                 "Local sidereal time is this angle plus the east-positive longitude.\n\n"
                 ">>> round(stelvane.gmst_deg(2451545.0), 9)\n"
                 "280.460618375\n",
                 [](const Bound& a) { return gmst_rad(to_double(a[kGmstParams["jd_ut"]])) * units::RAD_TO_DEG; });
}

}  // namespace stelvane::pyb
