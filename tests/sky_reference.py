"""The sky as ERFA (pyerfa, the IAU SOFA algorithms) computes it, for the outside-reference tests
and bench/model_error.py: observed places of the bundled catalogs' stars, the apparent Sun, and
ideal cameras, written out here from first principles, that turn places into centroids.

Nothing here calls stelvane's sky model, except `rendered_places`, which reads that model's sky
back from a synthesized scene; the star data are read straight from the catalog files.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass

import erfa
import numpy as np
from numpy.typing import NDArray

import stelvane
import stelvane.catalogs

Utc = tuple[int, int, int, int, int, float]
Array = NDArray[np.float64]

MAS_RAD = math.pi / (180.0 * 3600.0 * 1000.0)
ARCSEC_DEG = 1.0 / 3600.0
# Speed of light in au per day (ERFA's CMPS and DAU).
C_AU_PER_DAY = erfa.CMPS * 86400.0 / erfa.DAU
J2000_JD = 2451545.0

# The atmosphere at which Bennett's refraction formula is tabulated (Meeus, Astronomical
# Algorithms, ch. 16): 1010 hPa and 10 deg C; dry air, visual light (0.55 micrometre).
STANDARD_PRESSURE_HPA = 1010.0
STANDARD_TEMPERATURE_C = 10.0
STANDARD_HUMIDITY = 0.0
VISUAL_WAVELENGTH_UM = 0.55

# One star record of the catalog file: little-endian, 60 bytes, fields in file order.
STAR_RECORD = np.dtype(
    [
        ("hr", "<u4"),
        ("vmag", "<f4"),
        ("ra", "<f8"),
        ("dec", "<f8"),
        ("unit", "<f8", (3,)),
        ("pm_ra", "<f4"),
        ("pm_dec", "<f4"),
        ("parallax", "<f4"),
    ]
)
CATALOG_HEADER_BYTES = 20


@contextmanager
def quiet_erfa() -> Iterator[None]:
    """ERFA warns of "dubious years" (UTC before 1960 or past its leap-second table, whose
    TT-UTC it extrapolates; a minute of TT moves a star by 1e-4 arcsec) and of zero parallaxes
    replaced by a distant default; neither matters at the accuracy these references serve."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", category=erfa.ErfaWarning)
        yield


@dataclass(frozen=True)
class CatalogStars:
    """The star records of a bundled catalog file, as stored, with the epoch of their positions
    (a Julian year)."""

    epoch: float
    records: np.ndarray

    def take(self, hr_ids: list[int]) -> "CatalogStars":
        """The records of the given HR numbers, in that order (the first record of each number)."""
        first: dict[int, int] = {}
        for i, hr in enumerate(self.records["hr"]):
            first.setdefault(int(hr), i)
        return CatalogStars(self.epoch, self.records[[first[h] for h in hr_ids]])


def read_catalog(name: str) -> CatalogStars:
    """The records of bundled catalog `name`, read from its file with the documented layout."""
    with open(stelvane.catalogs.paths(name)[0], "rb") as f:
        raw = f.read()
    if raw[:4] != b"SCAT":
        raise ValueError(f"{name}: not a star catalog file")
    count = int(np.frombuffer(raw, "<u4", 1, 8)[0])
    epoch = float(np.frombuffer(raw, "<f8", 1, 12)[0])
    return CatalogStars(epoch, np.frombuffer(raw, STAR_RECORD, count, CATALOG_HEADER_BYTES))


def astrometry_j2000(stars: CatalogStars) -> tuple[Array, Array, Array, Array, Array, Array]:
    """ERFA's catalog inputs at epoch J2000.0: RA, Dec (rad), dRA/dt, dDec/dt (rad per Julian
    year), parallax (arcsec), radial velocity (km/s, zero: the catalog has none). The records hold
    places at their own epoch with the RA motion multiplied by cos Dec; eraPmsafe carries them to
    J2000.0 along their space motion."""
    rec = stars.records
    ra = rec["ra"].astype(np.float64)
    dec = rec["dec"].astype(np.float64)
    pm_ra = rec["pm_ra"].astype(np.float64) * MAS_RAD / np.cos(dec)
    pm_dec = rec["pm_dec"].astype(np.float64) * MAS_RAD
    parallax_arcsec = rec["parallax"].astype(np.float64) / 1000.0
    epoch_a, epoch_b = erfa.epj2jd(stars.epoch)
    with quiet_erfa():
        moved = erfa.pmsafe(ra, dec, pm_ra, pm_dec, parallax_arcsec, 0.0, epoch_a, epoch_b, J2000_JD, 0.0)
    return moved[0], moved[1], moved[2], moved[3], moved[4], moved[5]


def utc_two_part(utc: Utc) -> tuple[float, float]:
    """ERFA's two-part quasi Julian Date of a UTC calendar instant."""
    with quiet_erfa():
        return erfa.dtf2d("UTC", *utc)


def observed_places(
    stars: CatalogStars,
    utc: Utc,
    lat_deg: float,
    lon_deg: float,
    *,
    ut1_minus_utc_s: float = 0.0,
    pressure_hpa: float = STANDARD_PRESSURE_HPA,
    temperature_c: float = STANDARD_TEMPERATURE_C,
    humidity: float = STANDARD_HUMIDITY,
) -> tuple[Array, Array]:
    """Observed (altitude, azimuth) in degrees of each star, azimuth from north through east, from
    ERFA's complete chain eraAtco13: space motion, parallax, light deflection, annual and diurnal
    aberration, IAU 2006/2000A precession-nutation, Earth rotation angle, refraction for the given
    atmosphere (pressure 0 for none). Geocentric observer at sea level, no polar motion. Run as
    eraAtco13's own three steps, so that the star-independent part (eraApco13) is computed once."""
    ra, dec, pm_ra, pm_dec, px, rv = astrometry_j2000(stars)
    u1, u2 = utc_two_part(utc)
    with quiet_erfa():
        astrom, _ = erfa.apco13(
            u1, u2, ut1_minus_utc_s, math.radians(lon_deg), math.radians(lat_deg), 0.0, 0.0, 0.0,
            pressure_hpa, temperature_c, humidity, VISUAL_WAVELENGTH_UM,
        )  # fmt: skip
    ra_cirs, dec_cirs = erfa.atciq(ra, dec, pm_ra, pm_dec, px, rv, astrom)
    azimuth, zenith_distance = erfa.atioq(ra_cirs, dec_cirs, astrom)[:2]
    return 90.0 - np.degrees(zenith_distance), np.degrees(azimuth) % 360.0


def refracted_zenith_distance(z_rad: Array, pressure_hpa: float, temperature_c: float, humidity: float) -> Array:
    """Observed zenith distance of a body at topocentric zenith distance `z_rad`, by ERFA's
    refraction model (eraRefco): dz = A tan z + B tan^3 z, z being the observed value; solved
    for it by fixed-point iteration. Like eraAtioq, the formula is held at its value for 87 deg
    beyond that, where it no longer holds (and bodies below the horizon stay put)."""
    if pressure_hpa == 0.0:
        return z_rad
    a, b = erfa.refco(pressure_hpa, temperature_c, humidity, VISUAL_WAVELENGTH_UM)
    z = z_rad.copy()
    for _ in range(8):
        t = np.tan(np.minimum(z, math.radians(87.0)))
        z = z_rad - (a * t + b * t**3)
    return np.where(z_rad < math.pi / 2, z, z_rad)


def mean_places(
    stars: CatalogStars,
    utc: Utc,
    lat_deg: float,
    lon_deg: float,
    *,
    nutation: bool = False,
    pressure_hpa: float = STANDARD_PRESSURE_HPA,
    temperature_c: float = STANDARD_TEMPERATURE_C,
    humidity: float = STANDARD_HUMIDITY,
) -> tuple[Array, Array]:
    """Observed (altitude, azimuth) in degrees from ERFA's classical equinox-based chain, UT1 = UTC:
    eraPmpx (space motion, parallax), eraLdsun (light deflection), eraAb (annual aberration against
    eraEpv00's Earth), then eraPmat06 (IAU 2006 bias-precession to the mean equator and equinox of
    date) and GMST (eraGmst06), or with `nutation` eraPnm06a and GAST (eraGst06a); eraHd2ae; the
    refraction of `refracted_zenith_distance`. Without nutation this is the sky the way stelvane
    models it, computed with ERFA's precise ingredients. Diurnal aberration (0.3 arcsec at most) is
    left out of both."""
    ra, dec, pm_ra, pm_dec, px, rv = astrometry_j2000(stars)
    u1, u2 = utc_two_part(utc)
    with quiet_erfa():
        tt1, tt2 = erfa.taitt(*erfa.utctai(u1, u2))
        ut1, ut2 = erfa.utcut1(u1, u2, 0.0)
    heliocentric, barycentric = erfa.epv00(tt1, tt2)
    years = ((tt1 - J2000_JD) + tt2) / 365.25
    p = erfa.pmpx(ra, dec, pm_ra, pm_dec, px, rv, years, barycentric[0])
    sun_distance_au = float(np.linalg.norm(heliocentric[0]))
    p = erfa.ldsun(p, heliocentric[0] / sun_distance_au, sun_distance_au)
    velocity = barycentric[1] / C_AU_PER_DAY
    p = erfa.ab(p, velocity, sun_distance_au, math.sqrt(1.0 - velocity @ velocity))
    if nutation:
        to_date, sidereal = erfa.pnm06a(tt1, tt2), erfa.gst06a(ut1, ut2, tt1, tt2)
    else:
        to_date, sidereal = erfa.pmat06(tt1, tt2), erfa.gmst06(ut1, ut2, tt1, tt2)
    q = p @ to_date.T
    ra_date = np.arctan2(q[:, 1], q[:, 0])
    dec_date = np.arcsin(np.clip(q[:, 2], -1.0, 1.0))
    azimuth, altitude = erfa.hd2ae(sidereal + math.radians(lon_deg) - ra_date, dec_date, math.radians(lat_deg))
    z = refracted_zenith_distance(math.pi / 2 - altitude, pressure_hpa, temperature_c, humidity)
    return 90.0 - np.degrees(z), np.degrees(azimuth) % 360.0


def apparent_sun(jd_tt: float, *, nutation: bool = True) -> tuple[float, float]:
    """Geocentric apparent (RA, Dec) of the Sun in radians, RA in [0, 2 pi): eraEpv00's Earth,
    annual aberration by eraAb, then eraPnm06a to the true equator and equinox of date (or, without
    `nutation`, eraPmat06 to the mean ones). The Sun's own barycentric motion during the 8.3 minutes
    of light time moves it by 0.01 arcsec, left out."""
    heliocentric, barycentric = erfa.epv00(jd_tt, 0.0)
    to_sun = -heliocentric[0]
    distance_au = float(np.linalg.norm(to_sun))
    velocity = barycentric[1] / C_AU_PER_DAY
    p = erfa.ab(to_sun / distance_au, velocity, distance_au, math.sqrt(1.0 - velocity @ velocity))
    to_date = erfa.pnm06a(jd_tt, 0.0) if nutation else erfa.pmat06(jd_tt, 0.0)
    q = to_date @ p
    return math.atan2(q[1], q[0]) % (2.0 * math.pi), math.asin(q[2])


def enu(alt_deg: Array, az_deg: Array) -> Array:
    """Unit (East, North, Up) directions of altitudes and azimuths (degrees, azimuth from north
    through east), one row each."""
    alt, az = np.radians(alt_deg), np.radians(az_deg)
    return np.stack([np.cos(alt) * np.sin(az), np.cos(alt) * np.cos(az), np.sin(alt)], axis=-1)


def separation_deg(alt1: Array, az1: Array, alt2: Array, az2: Array) -> Array:
    """Angle between two sets of horizon directions, degrees."""
    a, b = enu(alt1, az1), enu(alt2, az2)
    return np.degrees(np.arctan2(np.linalg.norm(np.cross(a, b), axis=-1), np.sum(a * b, axis=-1)))


@dataclass(frozen=True)
class IdealCamera:
    """A lens that obeys its projection exactly, held at a known attitude: `axes` rows are the
    camera's x (image right), y (image down) and z (boresight) in the local (East, North, Up)
    frame. Pinhole: x = cx + f X/Z. Equidistant fisheye: radius f * theta, theta the angle from
    the boresight, inside `half_fov_deg`."""

    axes: Array
    width: int
    height: int
    focal_px: float
    fisheye: bool
    half_fov_deg: float = 90.0

    @property
    def up_cam(self) -> tuple[float, float, float]:
        """The local vertical in the camera frame: the Up components of the three axes."""
        x, y, z = self.axes[:, 2]
        return float(x), float(y), float(z)

    def pixels(self, alt_deg: Array, az_deg: Array) -> tuple[Array, Array, NDArray[np.bool_]]:
        """Pixel (x, y) of each direction and whether it falls on the image."""
        c = enu(alt_deg, az_deg) @ self.axes.T
        cx, cy = self.width / 2.0, self.height / 2.0
        if self.fisheye:
            theta = np.arccos(np.clip(c[:, 2], -1.0, 1.0))
            phi = np.arctan2(c[:, 1], c[:, 0])
            x = cx + self.focal_px * theta * np.cos(phi)
            y = cy + self.focal_px * theta * np.sin(phi)
            inside = theta < math.radians(self.half_fov_deg)
        else:
            ahead = c[:, 2] > 1e-6
            z = np.where(ahead, c[:, 2], 1.0)
            x = cx + self.focal_px * c[:, 0] / z
            y = cy + self.focal_px * c[:, 1] / z
            inside = ahead
        inside &= (x >= 0) & (x < self.width) & (y >= 0) & (y < self.height)
        return x, y, inside

    def horizon_places(self, x: Array, y: Array) -> tuple[Array, Array]:
        """(altitude, azimuth) in degrees seen at fisheye pixels (x, y)."""
        dx, dy = x - self.width / 2.0, y - self.height / 2.0
        theta = np.hypot(dx, dy) / self.focal_px
        phi = np.arctan2(dy, dx)
        c = np.stack([np.sin(theta) * np.cos(phi), np.sin(theta) * np.sin(phi), np.cos(theta)], axis=-1)
        east, north, up = (c @ self.axes).T
        return np.degrees(np.arcsin(np.clip(up, -1.0, 1.0))), np.degrees(np.arctan2(east, north)) % 360.0


def rolled(x: Array, y: Array, z: Array, roll_deg: float) -> Array:
    """Camera axes turned by `roll_deg` about the boresight z."""
    r = math.radians(roll_deg)
    return np.stack([x * math.cos(r) + y * math.sin(r), y * math.cos(r) - x * math.sin(r), z])


def pinhole_camera(alt_deg: float, az_deg: float, roll_deg: float, width: int, height: int, focal_px: float) -> IdealCamera:
    """A pinhole looking at (alt, az): before the roll, image right is horizontal and image down
    points below the horizon (looking north, right is east)."""
    b = enu(np.array(alt_deg), np.array(az_deg))
    x = np.cross(b, [0.0, 0.0, 1.0])
    x /= np.linalg.norm(x)
    return IdealCamera(rolled(x, np.cross(b, x), b, roll_deg), width, height, focal_px, fisheye=False)


def zenith_fisheye(roll_deg: float, size_px: int, fov_deg: float = 180.0) -> IdealCamera:
    """An equidistant fisheye looking straight up whose field fills the square image: before the
    roll, image right is west and image down is south (a sky seen from below)."""
    half = fov_deg / 2.0
    focal = size_px * 0.5 / math.radians(half)
    axes = rolled(np.array([-1.0, 0.0, 0.0]), np.array([0.0, -1.0, 0.0]), np.array([0.0, 0.0, 1.0]), roll_deg)
    return IdealCamera(axes, size_px, size_px, focal, fisheye=True, half_fov_deg=half)


def centroids(
    camera: IdealCamera, stars: CatalogStars, alt_deg: Array, az_deg: Array, blend_px: float = 6.0
) -> list[tuple[float, float, float]]:
    """(x, y, flux) of the stars that fall on the image, flux 10^(-0.4 V). Stars closer than
    `blend_px` to another are left out, both of them: a detector would see one blob between them,
    whose place belongs to neither star, and the test would measure the blend, not the sky."""
    x, y, inside = camera.pixels(alt_deg, az_deg)
    flux = 10.0 ** (-0.4 * stars.records["vmag"].astype(np.float64))
    on_image = np.flatnonzero(inside)
    px, py = x[on_image], y[on_image]
    distance = np.hypot(px[:, None] - px[None, :], py[:, None] - py[None, :])
    np.fill_diagonal(distance, np.inf)
    single = on_image[distance.min(axis=1, initial=np.inf) >= blend_px]
    return [(float(x[i]), float(y[i]), float(flux[i])) for i in single]


def rendered_places(
    catalog: stelvane.Catalog, utc: Utc, lat_deg: float, lon_deg: float, mag_limit: float, size_px: int = 2000
) -> tuple[list[int], Array, Array]:
    """stelvane's own observed sky: the HR numbers and (altitude, azimuth) in degrees of the stars
    that `synthesize_scene` draws, without noise, on a zenith fisheye of `size_px` square pixels
    (stars within 5 px of the edge or 6 px of a brighter one are not drawn)."""
    scene = stelvane.synthesize_scene(
        catalog, lat_deg, lon_deg, stelvane.julian_date(*utc), 0.0, size_px, size_px, None, mag_limit,
        0.0, 0.0, 0.0, 1, fisheye_fov_deg=180.0,
    )  # fmt: skip
    xy = np.array(scene.star_pixels, dtype=np.float64).reshape(-1, 2)
    alt, az = zenith_fisheye(0.0, size_px).horizon_places(xy[:, 0], xy[:, 1])
    return list(scene.rendered_hr_ids), alt, az
