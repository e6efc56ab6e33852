"""The planets' and the Moon's places against outside references.

Authorities: ERFA's own ephemerides run through pyerfa (eraPlan94, eraEpv00, eraMoon98,
with the leap-second table's TT), which pins the time scale, the light-time correction,
the frame and the units; Meeus, Astronomical Algorithms (2nd ed.), examples 33.a (Venus)
and 47.a (the Moon); and almanac magnitudes and diameters at oppositions.
"""

import math
import warnings

import numpy as np
import pytest

import stelvane
from stelvane import skies

erfa = pytest.importorskip("erfa")

ARCSEC = 1.0 / 3600.0
PLANETS = {"Mercury": 1, "Venus": 2, "Mars": 4, "Jupiter": 5, "Saturn": 6}
AU_KM = 149597870.7
INSTANTS = [(1992, 12, 20, 0, 0, 0), (2024, 3, 20, 3, 6, 0), (2031, 7, 1, 22, 30, 15.5)]


def unit(ra_deg, dec_deg):
    ra, dec = math.radians(ra_deg), math.radians(dec_deg)
    return np.array([math.cos(dec) * math.cos(ra), math.cos(dec) * math.sin(ra), math.sin(dec)])


def separation_deg(ra1, dec1, ra2, dec2):
    a, b = unit(ra1, dec1), unit(ra2, dec2)
    return math.degrees(math.atan2(np.linalg.norm(np.cross(a, b)), float(np.dot(a, b))))


def tt_of(utc):
    """TT of a UTC instant; past the leap-second table's reach ERFA warns of a dubious year and
    keeps the last offset, as the engine does."""
    jd = stelvane.julian_date(*utc)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", erfa.ErfaWarning)
        tai = erfa.utctai(jd, 0.0)
    return erfa.taitt(*tai)


def place(utc, name, lat=None, lon=None):
    return next(p for p in skies.body_places(utc, lat, lon) if p.name == name)


@pytest.mark.parametrize("utc", INSTANTS)
@pytest.mark.parametrize("name", list(PLANETS))
def test_planet_is_the_light_time_corrected_plan94_direction(utc, name):
    tt1, tt2 = tt_of(utc)
    earth, _ = erfa.epv00(tt1, tt2)
    light_days = 0.0
    for _ in range(3):  # the light-time fixed point, to far below a milliarcsecond
        planet = erfa.plan94(tt1, tt2 - light_days, PLANETS[name])
        seen = planet[0] - earth[0]
        light_days = np.linalg.norm(seen) * erfa.AULT / erfa.DAYSEC
    ra, dec = np.degrees(erfa.c2s(seen))
    got = place(utc, name)
    # The engine carries the date as one double (resolution 40 microseconds): 10 mas, 1e-10.
    assert separation_deg(got.ra_deg, got.dec_deg, ra % 360.0, dec) < 0.01 * ARCSEC
    assert got.distance_au == pytest.approx(np.linalg.norm(seen), rel=1e-10)


@pytest.mark.parametrize("utc", INSTANTS)
def test_geocentric_moon_is_moon98_at_tt(utc):
    moon = erfa.moon98(*tt_of(utc))
    ra, dec = np.degrees(erfa.c2s(moon[0]))
    got = place(utc, "Moon")
    assert separation_deg(got.ra_deg, got.dec_deg, ra % 360.0, dec) < 0.01 * ARCSEC
    assert got.distance_au == pytest.approx(np.linalg.norm(moon[0]), rel=1e-10)
    # 1737.4 km mean radius.
    assert got.angular_radius_arcmin == pytest.approx(
        math.degrees(math.asin(1737.4 / (got.distance_au * AU_KM))) * 60.0, rel=1e-12)


def of_date(ra_deg, dec_deg, jd):
    r, d = math.radians(ra_deg), math.radians(dec_deg)
    v = stelvane.precess_vector(jd, [math.cos(d) * math.cos(r), math.cos(d) * math.sin(r), math.sin(d)])
    return math.degrees(math.atan2(v[1], v[0])) % 360.0, math.degrees(math.asin(v[2]))


# Meeus: TD instants, apparent places (nutation and aberration included) and distances.
# The engine's astrometric place precessed to the date stands within nutation (17") plus
# aberration (20") plus the ephemeris' own error of them: 1 arcmin.
@pytest.mark.parametrize("name, utc_for_td, ra_deg, dec_deg, distance_km, km_tol", [
    # 33.a: 1992 Dec 20, 0h TD = 23:59:01.816 UTC the day before (TT - UTC = 58.184 s).
    ("Venus", (1992, 12, 19, 23, 59, 1.816), 316.172725, -18.888011, 0.910947 * AU_KM, 0.00001 * AU_KM),
    # 47.a: 1992 Apr 12, 0h TD.
    ("Moon", (1992, 4, 11, 23, 59, 1.816), 134.688470, 13.768368, 368409.7, 1.0),
])
def test_meeus_examples(name, utc_for_td, ra_deg, dec_deg, distance_km, km_tol):
    got = place(utc_for_td, name)
    ra, dec = of_date(got.ra_deg, got.dec_deg, stelvane.julian_date(*utc_for_td))
    assert separation_deg(ra, dec, ra_deg, dec_deg) < 1.0 / 60.0
    assert got.distance_au * AU_KM == pytest.approx(distance_km, abs=km_tol)


# Almanac figures: magnitude to 0.1 and equatorial diameter in arcseconds at oppositions; the
# full Moon of 2024 Mar 25 (near apogee) against Allen's -12.74 at the mean distance.
@pytest.mark.parametrize("name, utc, vmag, mag_tol, diameter_arcsec", [
    ("Jupiter", (2023, 11, 3, 5, 0, 0), -2.9, 0.1, 49.5),
    ("Saturn", (2023, 8, 27, 8, 0, 0), 0.4, 0.1, 19.0),
    ("Mars", (2022, 12, 8, 5, 0, 0), -1.9, 0.1, 17.0),
    ("Moon", (2024, 3, 25, 7, 0, 0), -12.74, 0.2, None),
])
def test_magnitudes_and_diameters_at_opposition(name, utc, vmag, mag_tol, diameter_arcsec):
    got = place(utc, name)
    assert got.vmag == pytest.approx(vmag, abs=mag_tol)
    if diameter_arcsec is not None:
        assert 2.0 * got.angular_radius_arcmin * 60.0 == pytest.approx(diameter_arcsec, abs=0.3)
