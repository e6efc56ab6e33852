"""Real skies: the planets and the Moon, and the flaws of real frames.

``body_places`` says where Mercury, Venus, Mars, Jupiter, Saturn and the Moon stand at
an instant, how bright they are and how large the Moon looks. ``synthesize_sky``
renders a scene like ``stelvane.synthesize_scene`` with those bodies drawn at their
true places. ``add_hot_pixels``, ``add_trail``, ``add_point`` and ``quantise`` put
the flaws of consumer frames into any image: hot pixels, aircraft and satellite
trails, bright points that are no catalog star, and 8-bit steps.
"""

from __future__ import annotations

import importlib
import math
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:
    from stelvane import Catalog, Scene

__all__ = ["BodyPlace", "body_places", "synthesize_sky", "add_hot_pixels", "add_trail", "add_point", "quantise"]

_FULL_SCALE = 65535
# The extension's private submodule behind this one; it has no stub of its own.
_engine: Any = getattr(importlib.import_module("stelvane._lib"), "_skies")


class BodyPlace(NamedTuple):
    """A planet or the Moon at an instant.

    ``ra_deg`` and ``dec_deg`` are the astrometric J2000 direction from the geocentre
    (or from the observer, when one was given), light-time corrected, without annual
    aberration: the frame of the catalog's stars. ``vmag`` is the approximate visual
    magnitude (about 0.2 mag), ``angular_radius_arcmin`` the disc's apparent radius.
    """

    name: str
    ra_deg: float
    dec_deg: float
    distance_au: float
    vmag: float
    angular_radius_arcmin: float


def body_places(utc: Any, lat_deg: float | None = None, lon_deg: float | None = None) -> list[BodyPlace]:
    """Mercury, Venus, Mars, Jupiter, Saturn and the Moon at ``utc``, in that order.

    ``utc`` is a six-field tuple or an aware datetime, as for ``resolve_fix``. With
    ``lat_deg`` and ``lon_deg`` (degrees, longitude positive towards the east) the
    places are topocentric, which moves the Moon by up to a degree (its parallax);
    without them they are geocentric. Computed with ERFA's eraPlan94 and eraMoon98:
    planets within 7 arcsec (Mercury, Venus) to 87 arcsec (Saturn), the Moon within
    18 arcsec, over 1800-2050.

    >>> [p.name for p in body_places((2024, 3, 20, 3, 6, 0))]
    ['Mercury', 'Venus', 'Mars', 'Jupiter', 'Saturn', 'Moon']
    """
    return [BodyPlace(*row) for row in _engine.body_places(utc, lat_deg, lon_deg)]


def synthesize_sky(catalog: "Catalog", lat_deg: float, lon_deg: float, jd_ut: float, roll_deg: float,
                   width: int, height: int, focal_px: float | None, mag_limit: float, pixel_noise_arcmin: float,
                   up_noise_arcmin: float, background_noise: float, seed: int, fisheye_fov_deg: float | None = None,
                   k1: float = 0.0, k2: float = 0.0, k3: float = 0.0, k4: float = 0.0,
                   bit_depth: int = 16, *, boresight_deg: tuple[float, float] | None = None,
                   bodies: bool = True) -> "Scene":
    """``stelvane.synthesize_scene`` with the planets and the Moon drawn at their true places.

    The arguments, the stars, the noise and the seed are those of ``synthesize_scene``
    (the same call gives the same stars and noise). The bodies are placed topocentrically
    through the same sky model as the stars (precession, aberration, refraction): a
    planet as a star of its magnitude, the Moon as a disc of its angular size and
    magnitude with a glare halo falling as the cube of the distance. ``Scene.bodies``
    lists what was drawn. ``boresight_deg``, an (altitude, azimuth) pair in degrees
    (azimuth from north through east), points a pinhole there instead of at the richest
    patch of bright stars, for example at a planet; a fisheye always looks straight up.
    ``bodies=False`` renders the same frame without the bodies, for comparison.
    """
    alt, az = boresight_deg if boresight_deg is not None else (None, None)
    return _engine.synthesize_scene_with_bodies(
        catalog, lat_deg, lon_deg, jd_ut, roll_deg, width, height, focal_px, mag_limit, pixel_noise_arcmin,
        up_noise_arcmin, background_noise, seed, fisheye_fov_deg, k1, k2, k3, k4, bit_depth, alt, az, bodies)


def _as_float(image: NDArray[np.uint16] | NDArray[np.uint8]) -> NDArray[np.float64]:
    if image.dtype == np.uint8:
        return image.astype(np.float64) * 257.0
    return image.astype(np.float64)


def _to_u16(values: NDArray[np.float64]) -> NDArray[np.uint16]:
    return np.clip(np.rint(values), 0, _FULL_SCALE).astype(np.uint16)


def add_hot_pixels(image: NDArray[np.uint16] | NDArray[np.uint8], count: int, seed: int,
                   max_bleed: float = 0.1, level: int = _FULL_SCALE) -> NDArray[np.uint16]:
    """A copy of ``image`` (as uint16) with ``count`` hot pixels at random places.

    A hot pixel is a single pixel raised to ``level`` whose four side neighbours each
    receive a fraction of it drawn evenly from [0, ``max_bleed``] (the sensor's and the
    demosaicing's crosstalk); it has none of the wings of a star's point-spread function.
    Places keep 2 pixels from the border and are drawn from ``seed``.
    """
    rng = np.random.default_rng(seed)
    out = _as_float(image)
    height, width = out.shape
    xs = rng.integers(2, width - 2, size=count)
    ys = rng.integers(2, height - 2, size=count)
    bleeds = rng.uniform(0.0, max_bleed, size=(count, 4))
    for x, y, bleed in zip(xs, ys, bleeds):
        out[y, x] = max(out[y, x], float(level))
        for (dx, dy), f in zip(((-1, 0), (1, 0), (0, -1), (0, 1)), bleed):
            out[y + dy, x + dx] += f * level
    return _to_u16(out)


def add_trail(image: NDArray[np.uint16] | NDArray[np.uint8], x0: float, y0: float, x1: float, y1: float,
              peak: float, width_sigma_px: float = 1.3) -> NDArray[np.uint16]:
    """A copy of ``image`` (as uint16) with a straight trail from (x0, y0) to (x1, y1).

    The trail's cross-section is a Gaussian of ``width_sigma_px`` with ``peak`` counts on
    its centre line, as an aircraft or satellite leaves during an exposure; its ends are
    rounded by the same profile.
    """
    out = _as_float(image)
    height, width = out.shape
    reach = 4.0 * width_sigma_px
    xa, xb = max(int(min(x0, x1) - reach), 0), min(int(max(x0, x1) + reach) + 1, width)
    ya, yb = max(int(min(y0, y1) - reach), 0), min(int(max(y0, y1) + reach) + 1, height)
    if xa >= xb or ya >= yb:
        return _to_u16(out)
    yy, xx = np.mgrid[ya:yb, xa:xb].astype(np.float64)
    dx, dy = x1 - x0, y1 - y0
    length_sq = dx * dx + dy * dy
    t = np.clip(((xx - x0) * dx + (yy - y0) * dy) / length_sq, 0.0, 1.0) if length_sq > 0 else 0.0
    dist_sq = (xx - (x0 + t * dx)) ** 2 + (yy - (y0 + t * dy)) ** 2
    out[ya:yb, xa:xb] += peak * np.exp(-dist_sq / (2.0 * width_sigma_px ** 2))
    return _to_u16(out)


def add_point(image: NDArray[np.uint16] | NDArray[np.uint8], x: float, y: float, peak: float,
              sigma_px: float = 1.3) -> NDArray[np.uint16]:
    """A copy of ``image`` (as uint16) with a star-like Gaussian point of ``peak`` counts at (x, y).

    For sources that no catalog holds: a satellite caught as a point, a distant light, a
    nova, a planet the renderer does not draw.
    """
    out = _as_float(image)
    height, width = out.shape
    reach = int(math.ceil(4.0 * sigma_px))
    xa, xb = max(int(round(x)) - reach, 0), min(int(round(x)) + reach + 1, width)
    ya, yb = max(int(round(y)) - reach, 0), min(int(round(y)) + reach + 1, height)
    if xa >= xb or ya >= yb:
        return _to_u16(out)
    yy, xx = np.mgrid[ya:yb, xa:xb].astype(np.float64)
    out[ya:yb, xa:xb] += peak * np.exp(-((xx - x) ** 2 + (yy - y) ** 2) / (2.0 * sigma_px ** 2))
    return _to_u16(out)


def quantise(image: NDArray[np.uint16] | NDArray[np.uint8], bit_depth: int) -> NDArray[np.uint16]:
    """``image`` rounded to an ADC of ``bit_depth`` bits spanning 0..65535, as ``synthesize_scene`` does.

    >>> quantise(np.array([[1000, 65535]], dtype=np.uint16), 8).tolist()
    [[1028, 65535]]
    """
    if not 1 <= bit_depth <= 16:
        raise ValueError(f"bit_depth must be in 1..16 (got {bit_depth})")
    step = _FULL_SCALE / (2 ** bit_depth - 1)
    return _to_u16(np.rint(_as_float(image) / step) * step)
