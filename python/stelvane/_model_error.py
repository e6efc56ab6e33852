"""How far stelvane's own low-precision astronomy moves a fix, as constants for an error budget.

The solver leaves nutation out, takes UTC for UT1 (the IERS keeps |UT1 - UTC| < 0.9 s), aberrates
against a low-precision Sun and removes Bennett's refraction for 1010 hPa and 10 C. Measured by
bench/model_error.py against ERFA's sky (pyerfa: IAU 2006/2000A, refraction for the night's air),
exact centroids on ideal cameras, 500 instants over 1990-2050 and sites up to 70 deg of latitude,
each solved with both bundled catalogs (allsky on a 180 deg fisheye, pinhole on a 1920x1080
pinhole), 1000 fixes per row:

    truth sky                        fix error, nm: median  p95    max    rms north  rms east
    ERFA, UT1 - UTC drawn in +-0.9 s            0.148   0.237  0.309  0.099      0.122
    the same, UT1 = UTC                         0.110   0.162  0.205  0.099      0.055
    ERFA without nutation, UT1 = UTC            0.024   0.050  0.097  0.021      0.021
    air drawn over 980-1040 hPa, -20..35 C      0.156   0.263  0.358  0.108      0.129
    the same, UT1 = UTC                         0.115   0.204  0.448  0.108      0.068

Per star (912754 stars at or above 15 deg): the altitude error is 0.089 arcmin median, 0.218 p95,
0.358 max. Nearly all of it is common to every star of a frame (nutation and UT1 turn the whole
sky; the fit's residual rms is 0.012 arcmin median), so it moves the fix instead of averaging
down with more stars: the model term is a position floor, not a per-star altitude sigma.
"""

from __future__ import annotations

import math

# Per-axis standard deviation, nautical miles, of the fix error that nutation, the refraction
# model and the small terms leave with UT1 = UTC: the rms of the north and east errors over the
# drawn-air nights, 0.0906 nm (0.0801 nm at standard air), rounded to 0.09 nm.
MODEL_POSITION_SIGMA_NM = 0.09

# UT1 - UTC taken as uniform within the IERS bound of 0.9 s: standard deviation 0.9 / sqrt(3) s.
# It acts as a clock error (east-west only). With the floor above, the truth lay inside the
# 2-sigma ellipse in 86.6 % of the drawn-air fixes and 95.2 % of the standard-air ones
# (a Gaussian: 86.5 %).
MODEL_UT1_SIGMA_S = 0.9 / math.sqrt(3.0)

# The Earth's rotation rate in radians per second of UT1 (IAU 2000: 1.00273781191135448
# revolutions per UT1 day).
EARTH_ROTATION_RAD_PER_S = 2.0 * math.pi * 1.00273781191135448 / 86400.0

# Nautical miles per radian of arc, as in Fix.covariance and Fix.ellipse_2sigma_nm.
NM_PER_RAD = 3437.746770784939


def model_covariance(lat_deg: float) -> list[list[float]]:
    """The model term at latitude `lat_deg` as [[var_north, cov_ne], [cov_ne, var_east]] in
    radians squared (the `Fix.covariance` convention): the position floor on both axes, plus
    UT1 - UTC, which turns the sky about the pole and so moves the fix along the parallel by
    the rotation angle times cos(latitude)."""
    floor_rad = MODEL_POSITION_SIGMA_NM / NM_PER_RAD
    ut1_rad = MODEL_UT1_SIGMA_S * EARTH_ROTATION_RAD_PER_S * math.cos(math.radians(lat_deg))
    return [[floor_rad**2, 0.0], [0.0, floor_rad**2 + ut1_rad**2]]
