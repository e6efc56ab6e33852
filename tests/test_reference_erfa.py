"""The sky model against an outside authority: ERFA, through pyerfa (the IAU SOFA algorithms).

stelvane takes one Julian Date from the UTC instant as UT1 (sidereal time) and as TT (precession,
aberration, the Sun), and leaves nutation out. The references are evaluated under the same
assumption, UT1 = UTC (dut1 = 0) and TT = UTC where an ERFA routine takes TT; eraAtco13 itself
derives TT from UTC with the leap seconds, which moves a star by 1e-4 arcsec. Each test states
the accuracy the model claims, as a number with the dates it holds for, so that a sign, unit or
term error fails here without the test knowing any of stelvane's own numbers. The observed
places of stars come from `synthesize_scene` (stelvane's sky model, rendered without noise); a
fix from ERFA's sky closes the loop through the solver.
"""

from __future__ import annotations

import functools
import math

import erfa
import numpy as np
import pytest
import sky_reference as ref

import stelvane
import stelvane.catalogs
from stelvane import _model_error

ARCSEC = 1.0 / 3600.0  # degrees
ARCMIN = 1.0 / 60.0  # degrees
ARCSEC_RAD = math.pi / (180.0 * 3600.0)
MIN_ALTITUDE_DEG = 15.0


def erfa_jd(year: int, month: int, day: int, hour: int = 0, minute: int = 0, second: float = 0.0) -> float:
    """ERFA's Julian Date of a calendar instant (its own calendar arithmetic)."""
    with ref.quiet_erfa():
        return sum(erfa.dtf2d("UTC", year, month, day, hour, minute, second))


def angle_deg(a: float, b: float) -> float:
    """a - b in degrees, taken into [-180, 180)."""
    return (a - b + 180.0) % 360.0 - 180.0


def unit(ra: float, dec: float) -> np.ndarray:
    return np.array([math.cos(dec) * math.cos(ra), math.cos(dec) * math.sin(ra), math.sin(dec)])


def angle_between_deg(u: np.ndarray, v: np.ndarray) -> float:
    return math.degrees(math.atan2(float(np.linalg.norm(np.cross(u, v))), float(u @ v)))


# Instants over 1950-2050, the range in which the low-precision model claims its accuracy.
INSTANTS = [
    (1950, 1, 1, 0, 0, 0.0),
    (1957, 10, 4, 19, 28, 34.0),
    (1969, 7, 20, 20, 17, 40.0),
    (1984, 2, 29, 6, 0, 0.0),
    (1999, 12, 31, 23, 59, 59.0),
    (2000, 1, 1, 12, 0, 0.0),
    (2012, 6, 30, 23, 59, 30.5),
    (2024, 3, 20, 3, 6, 0.0),
    (2037, 8, 15, 15, 45, 12.25),
    (2050, 12, 31, 18, 0, 0.0),
]


# --- Sidereal time -------------------------------------------------------------------------------


@pytest.mark.parametrize("utc", INSTANTS)
def test_gmst_is_the_iau_1982_expression_and_near_iau_2006(utc):
    jd = erfa_jd(*utc)
    got = stelvane.gmst_deg(jd)
    # eraGmst82 is the same 1982 expression (UT1 = UTC): agreement to rounding, 36 microarcsec.
    want_1982 = math.degrees(erfa.gmst82(jd, 0.0))
    assert abs(angle_deg(got, want_1982)) <= 1e-8, f"want {want_1982}, got {got}, tol 1e-8 deg"
    # eraGmst06 (IAU 2006, from the Earth rotation angle; TT = UT1 = UTC): the two definitions
    # part by at most 0.16 arcsec over 1950-2050.
    want_2006 = math.degrees(erfa.gmst06(jd, 0.0, jd, 0.0))
    assert abs(angle_deg(got, want_2006)) <= 0.2 * ARCSEC, f"want {want_2006}, got {got}, tol 0.2 arcsec"


# --- Precession ----------------------------------------------------------------------------------

VECTORS = [(1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0), (0.36, -0.48, 0.8), (2.0, -1.0, 0.5)]


@pytest.mark.parametrize("utc", INSTANTS)
def test_precession_is_iau_1976(utc):
    jd = erfa_jd(*utc)
    matrix = erfa.pmat76(jd, 0.0)  # Lieske et al. 1977, J2000 to the mean equator of date
    for v in VECTORS:
        want = matrix @ np.array(v)
        got = np.array(stelvane.precess_vector(jd, v))
        tol = 1e-14 * float(np.linalg.norm(v))
        assert np.max(np.abs(got - want)) <= tol, f"v={v}: want {want}, got {got}, tol {tol}"


@pytest.mark.parametrize("utc", INSTANTS)
def test_precession_within_its_error_against_iau_2006(utc):
    # eraPmat06: frame bias and IAU 2006 precession, GCRS to the mean equator of date. The 1976
    # model with no frame bias stays within 0.16 arcsec of it over 1950-2050.
    jd = erfa_jd(*utc)
    matrix = erfa.pmat06(jd, 0.0)
    for v in VECTORS[:4]:
        want = matrix @ np.array(v)
        got = np.array(stelvane.precess_vector(jd, v))
        error = angle_between_deg(got, want)
        assert error <= 0.2 * ARCSEC, f"v={v}: error {error / ARCSEC:.3f} arcsec, tol 0.2 arcsec"


# --- The Sun -------------------------------------------------------------------------------------

SUN_YEARS = range(1950, 2051)


def sun_error_deg(jd: float) -> float:
    ra, dec = stelvane.sun_apparent_jd(jd)
    return angle_between_deg(unit(ra, dec), unit(*ref.apparent_sun(jd)))


def sun_dates(year: int) -> list[float]:
    """Twelve dates in the year, one a month, cycling through the hours of the day."""
    return [erfa_jd(year, month, 1 + (7 * month) % 28, (5 * month) % 24) for month in range(1, 13)]


def test_reference_sun_reproduces_meeus_example():
    # Meeus, Astronomical Algorithms (1998), example 25.b: 1992 October 13.0 TD, apparent
    # RA 198.378178 deg, Dec -7.783871 deg (VSOP87, FK5): ERFA's Sun agrees to 0.5 arcsec.
    ra, dec = ref.apparent_sun(2448908.5)
    assert abs(math.degrees(ra) - 198.378178) <= 0.5 * ARCSEC, f"want 198.378178, got {math.degrees(ra)}"
    assert abs(math.degrees(dec) + 7.783871) <= 0.5 * ARCSEC, f"want -7.783871, got {math.degrees(dec)}"


@pytest.mark.parametrize("decade", range(1950, 2051, 10))
def test_sun_within_the_almanac_accuracy(decade):
    # The Almanac's low-precision Sun is good to about 0.01 deg over 1950-2050. Ours also omits
    # nutation (up to 17 arcsec in longitude) and subtracts 20.5 arcsec of aberration from a mean
    # longitude that already includes it: against ERFA's apparent Sun of date it stays within
    # 0.0166 deg (checked daily over the century), asserted as 0.017 deg.
    worst = max(sun_error_deg(jd) for year in range(decade, min(decade + 10, 2051)) for jd in sun_dates(year))
    assert worst <= 0.017, f"worst error {worst:.5f} deg, tol 0.017 deg"


@pytest.mark.xfail(strict=True, reason="the Sun's mean longitude 280.46 deg already includes aberration, "
                   "and its ecliptic longitude subtracts the 20.5 arcsec once more")  # fmt: skip
def test_sun_mean_longitude_is_unbiased():
    # Averaged over a century the formula's periodic errors cancel; what remains along the
    # Sun's path is its mean-longitude error, 5 arcsec for the Almanac's formula as published.
    offsets = []
    for year in SUN_YEARS:
        for jd in sun_dates(year):
            ra, dec = stelvane.sun_apparent_jd(jd)
            here = unit(*ref.apparent_sun(jd, nutation=False))
            ahead = unit(*ref.apparent_sun(jd + 0.01, nutation=False))
            along = (ahead - here) / np.linalg.norm(ahead - here)
            offsets.append(float((unit(ra, dec) - here) @ along) / ARCSEC_RAD)
    mean = float(np.mean(offsets))
    assert abs(mean) <= 10.0, f"mean along-track error {mean:.1f} arcsec, tol 10 arcsec"


# --- Stars: apparent places, refraction, altitude and azimuth --------------------------------------

SITES = [
    ((1950, 3, 1, 22, 0, 0.0), 51.5, -0.1),
    ((1963, 11, 22, 4, 15, 0.0), -33.9, 151.2),
    ((1975, 8, 15, 2, 30, 0.0), 64.1, -21.9),
    ((1988, 5, 10, 9, 45, 30.0), -54.8, -68.3),
    ((2000, 1, 1, 12, 0, 0.0), 0.5, 32.6),
    ((2024, 3, 20, 3, 6, 0.0), 19.4, -99.1),
    ((2037, 6, 1, 0, 0, 0.0), 35.7, 139.7),
    ((2050, 11, 30, 20, 0, 0.0), -77.8, 166.7),
]


def true_altitude_deg(apparent_deg: np.ndarray) -> np.ndarray:
    """Undo Bennett's refraction (Meeus, Astronomical Algorithms, eq. 16.4) as the renderer adds
    it, h_apparent = h + R(h) / 60 with R(h) = cot(h + 7.31 / (h + 4.4)) arcmin, h in degrees."""
    h = apparent_deg.copy()
    for _ in range(20):
        refraction = np.maximum(1.0 / np.tan(np.radians(h + 7.31 / (h + 4.4))), 0.0) / 60.0
        h = apparent_deg - refraction
    return h


@functools.lru_cache(maxsize=None)
def allsky() -> tuple[stelvane.Catalog, ref.CatalogStars]:
    return stelvane.catalogs.load("allsky"), ref.read_catalog("allsky")


@functools.lru_cache(maxsize=None)
def sky_at(case: int) -> dict[str, tuple[np.ndarray, np.ndarray]]:
    """stelvane's rendered sky and ERFA's skies at one site and instant, stars at or above 15 deg."""
    utc, lat, lon = SITES[case]
    catalog, stars = allsky()
    hr_ids, alt, az = ref.rendered_places(catalog, utc, lat, lon, mag_limit=3.5)
    shown = stars.take(hr_ids)
    skies = {
        "ours": (alt, az),
        "ours, true": (true_altitude_deg(alt), az),
        "atco13": ref.observed_places(shown, utc, lat, lon),
        "atco13, airless": ref.observed_places(shown, utc, lat, lon, pressure_hpa=0.0),
        "no nutation": ref.mean_places(shown, utc, lat, lon),
        "no nutation, airless": ref.mean_places(shown, utc, lat, lon, pressure_hpa=0.0),
        "with nutation": ref.mean_places(shown, utc, lat, lon, nutation=True),
    }
    high = skies["atco13"][0] >= MIN_ALTITUDE_DEG
    assert high.sum() >= 30, "too few stars above 15 deg to judge"
    return {name: (a[high], z[high]) for name, (a, z) in skies.items()}


def worst_separation_arcsec(case: int, ours: str, reference: str) -> float:
    sky = sky_at(case)
    return float(np.max(ref.separation_deg(*sky[ours], *sky[reference]))) / ARCSEC


@pytest.mark.parametrize("case", range(len(SITES)))
def test_reference_equinox_chain_agrees_with_atco13(case):
    # The classical chain of sky_reference.mean_places, nutation included, against eraAtco13:
    # they differ by the diurnal aberration (0.3 arcsec) that the chain leaves out.
    worst = worst_separation_arcsec(case, "with nutation", "atco13")
    assert worst <= 0.5, f"worst {worst:.3f} arcsec, tol 0.5 arcsec"


@pytest.mark.parametrize("case", range(len(SITES)))
def test_star_places_match_erfa_without_nutation(case):
    # With nutation left out of ERFA too, what remains are the aberration's neglected
    # eccentricity terms (0.34 arcsec), the 1976 precession and 1982 sidereal time (0.16 arcsec
    # each): 1 arcsec. Precession, sidereal time, proper motion, parallax and aberration all show.
    worst = worst_separation_arcsec(case, "ours, true", "no nutation, airless")
    assert worst <= 1.0, f"worst {worst:.3f} arcsec, tol 1 arcsec"


@pytest.mark.parametrize("case", range(len(SITES)))
def test_star_places_within_nutation_of_erfa(case):
    # Against eraAtco13 without air: nutation shifts the pole by up to 9.2 arcsec in obliquity
    # and 6.9 arcsec in longitude (17.2 sin 23.4; its part along the equator cancels with the
    # equation of the equinoxes), together 10.5 arcsec at most, plus 1 arcsec as above.
    worst = worst_separation_arcsec(case, "ours, true", "atco13, airless")
    assert worst <= 11.5, f"worst {worst:.2f} arcsec, tol 11.5 arcsec"


@pytest.mark.parametrize("case", range(len(SITES)))
def test_refraction_agrees_with_erfa_above_15_degrees(case):
    # Bennett's formula against ERFA's refraction (eraRefco, A tan z + B tan^3 z) at the
    # formula's own conditions, 1010 hPa and 10 C: within 0.1 arcmin from 15 deg up, plus the
    # 1 arcsec that separates the airless places.
    sky = sky_at(case)
    worst = float(np.max(np.abs(sky["ours"][0] - sky["no nutation"][0])))
    assert worst <= 0.1 * ARCMIN + 1.0 * ARCSEC, f"worst {worst / ARCSEC:.2f} arcsec, tol 7 arcsec"


@pytest.mark.parametrize("case", range(len(SITES)))
def test_altitude_and_azimuth_agree_with_atco13(case):
    # What an observer sees, against eraAtco13 at 1010 hPa and 10 C: the nutation bound plus the
    # refraction bound, 11.5 arcsec + 0.1 arcmin.
    worst = worst_separation_arcsec(case, "ours", "atco13")
    assert worst <= 11.5 + 6.0, f"worst {worst:.2f} arcsec, tol 17.5 arcsec"


# --- A fix from ERFA's sky -----------------------------------------------------------------------

# Night and, last, the two twilights in which navigators take their stars (the Sun 10 deg below
# the western horizon, then 7.5 deg below the eastern one).
FIX_SITES = SITES[::2] + [((2031, 2, 14, 23, 5, 0.0), 42.4, -71.1), ((2044, 4, 3, 19, 50, 0.0), 35.7, 139.7)]
CAMERAS = {
    "fisheye": ("allsky", ref.zenith_fisheye(25.0, 1024), dict(focal_px=None, cx=512.0, cy=512.0, fisheye_fov_deg=180.0)),
    "pinhole": ("pinhole", ref.pinhole_camera(55.0, 130.0, 10.0, 1920, 1080, 2200.0), dict(focal_px=2200.0, cx=960.0, cy=540.0)),
}


def solve_fix(camera: str, site: int, *, sky=ref.observed_places) -> stelvane.Fix:
    """The fix solved from exact centroids of `sky`'s observed stars (ERFA's, 1010 hPa and 10 C,
    UT1 = UTC unless `sky` says otherwise) on an ideal camera at a known attitude."""
    name, cam, lens = CAMERAS[camera]
    utc, lat, lon = FIX_SITES[site]
    stars = ref.read_catalog(name)
    alt, az = sky(stars, utc, lat, lon)
    return stelvane.resolve_from_centroids(
        ref.centroids(cam, stars, alt, az), up_cam=cam.up_cam, utc=utc, catalog=stelvane.catalogs.load(name), **lens
    )


def fix_error_nm(camera: str, site: int, *, sky=ref.observed_places) -> float:
    utc, lat, lon = FIX_SITES[site]
    fix = solve_fix(camera, site, sky=sky)
    return stelvane.great_circle_nm(lat, lon, fix.latitude_deg, fix.longitude_deg)


@pytest.mark.parametrize("site", range(len(FIX_SITES)))
@pytest.mark.parametrize("camera", sorted(CAMERAS))
def test_fix_from_erfa_sky_lands_within_the_model_error(camera, site):
    # The solver's whole sky model against ERFA's sky with UT1 = UTC: within three times the
    # documented floor, 0.27 nm (bench/model_error.py: 0.205 nm at most over 1000 fixes).
    bound = 3.0 * _model_error.MODEL_POSITION_SIGMA_NM
    error = fix_error_nm(camera, site)
    assert error <= bound, f"error {error:.4f} nm, tol {bound:.4f} nm"


@pytest.mark.parametrize("site", range(len(FIX_SITES)))
@pytest.mark.parametrize("camera", sorted(CAMERAS))
def test_fix_from_erfa_sky_without_nutation_is_exact_to_the_refraction_model(camera, site):
    # With nutation left out of ERFA's sky, only the refraction models' difference (up to
    # 0.1 arcmin at 15 deg) and the 1 arcsec of small terms move the fix: 0.1 nm
    # (bench/model_error.py: 0.097 nm at most over 1000 fixes, 0.050 nm at the 95th percentile).
    error = fix_error_nm(camera, site, sky=ref.mean_places)
    assert error <= 0.1, f"error {error:.4f} nm, tol 0.1 nm"


def bennett_apparent_altitude_deg(true_deg: np.ndarray) -> np.ndarray:
    """Apparent altitude h' whose refraction by Bennett's formula as published (Meeus, eq. 16.4:
    R = cot(h' + 7.31 / (h' + 4.4)) arcmin, h' the apparent altitude in degrees) brings it down to
    the true altitude: h' - R(h') / 60 = h."""
    h = true_deg.copy()
    for _ in range(20):
        h = true_deg + np.maximum(1.0 / np.tan(np.radians(h + 7.31 / (h + 4.4))), 0.0) / 60.0
    return h


def erfa_airless_sky_with_bennett(stars, utc, lat, lon):
    """ERFA's sky without nutation or air, refracted by Bennett's formula instead."""
    alt, az = ref.mean_places(stars, utc, lat, lon, pressure_hpa=0.0)
    return bennett_apparent_altitude_deg(alt), az


@pytest.mark.parametrize("site", range(len(FIX_SITES)))
@pytest.mark.parametrize("camera", sorted(CAMERAS))
def test_fix_from_erfa_places_refracted_by_bennett_is_exact(camera, site):
    # ERFA's places without nutation, refracted the way the solver assumes: only the 0.5 arcsec
    # of small terms in the places remain (aberration's eccentricity terms, the 1976 precession,
    # the 1982 sidereal time), 0.01 nm.
    error = fix_error_nm(camera, site, sky=erfa_airless_sky_with_bennett)
    assert error <= 0.01, f"error {error:.5f} nm, tol 0.01 nm"


@pytest.mark.parametrize("site", range(len(FIX_SITES)))
def test_ut1_ahead_of_utc_moves_the_fix_east(site):
    # The solver's sidereal time runs on UTC: when UT1 is 0.9 s ahead, the Earth has turned
    # 0.9 s x 15.0411 arcsec/s further than it thinks, and the fix lands that much east in
    # longitude, with the latitude unchanged.
    utc, lat, lon = FIX_SITES[site]
    late = solve_fix("fisheye", site, sky=functools.partial(ref.observed_places, ut1_minus_utc_s=0.9))
    on_time = solve_fix("fisheye", site)
    shift_arcsec = angle_deg(late.longitude_deg, on_time.longitude_deg) / ARCSEC
    assert abs(shift_arcsec - 0.9 * 15.0411) <= 0.1, f"want 13.537 arcsec east, got {shift_arcsec:.3f}"
    assert abs(late.latitude_deg - on_time.latitude_deg) <= 0.1 * ARCSEC


# --- The model term of an error budget ---------------------------------------------------------


@pytest.mark.parametrize("lat_deg", [0.0, 35.0, 60.0, -60.0, 89.0])
def test_model_covariance_stretches_east_west_by_ut1(lat_deg):
    # The floor on both axes; UT1 - UTC adds 0.2507 nm per second of time (15.0411 arcsec/s of
    # longitude, in arcminutes of arc) times cos(latitude), east-west only.
    nm_per_rad = 180.0 * 60.0 / math.pi
    cov = np.array(_model_error.model_covariance(lat_deg)) * nm_per_rad**2
    floor, ut1_s = _model_error.MODEL_POSITION_SIGMA_NM, _model_error.MODEL_UT1_SIGMA_S
    east_nm = ut1_s * 15.0411 / 60.0 * math.cos(math.radians(lat_deg))
    assert cov[0, 1] == cov[1, 0] == 0.0
    assert cov[0, 0] == pytest.approx(floor**2, rel=1e-12)
    assert cov[1, 1] == pytest.approx(floor**2 + east_nm**2, rel=1e-5)
