"""The error budget of a fix: where the truth may lie, term by term.

A `Fix` reports the covariance of its least-squares fit for the star sigma it was weighted with. What moves a
fix in the field is mostly elsewhere: the error of the vertical, the clock, the lens and the astronomy's own
model. `error_budget` adds each as a north/east covariance and returns their sum with its 2-sigma ellipse.
"""

from __future__ import annotations

import importlib
import math
import numbers
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Protocol

import numpy as np

import stelvane
from stelvane import _model_error

# The extension itself, for its private ellipse helper; its public names are typed in __init__.pyi.
_lib: Any = importlib.import_module("stelvane._lib")

__all__ = ["CENTROID_FLOOR_PX", "Calibrated", "Contribution", "ErrorBudget", "TERMS", "error_budget"]

#: The budget's terms, in the order they are reported.
TERMS = ("centroid", "up", "clock", "calibration", "model")

#: The smallest per-star altitude error a residual estimate may claim, in pixels on the boresight: a
#: few hundredths of a pixel is the best a star tracker's centroiding claims, and on rendered skies the
#: detector's median error per axis is 0.002-0.015 px with an rms of 0.011-0.033 px
#: (bench/bench_error_budget.py). A fit whose few residuals happen to agree closely is not taken at its
#: word below this.
CENTROID_FLOOR_PX = 0.02

ARCMIN_TO_RAD = math.pi / (180.0 * 60.0)
LENS_PARAMETERS = ("focal_px", "cx", "cy", "k1", "k2", "k3", "k4")

Covariance = list[list[float]]


class Calibrated(Protocol):
    """What the budget reads from a lens calibration: the fitted parameters' names (among
    `LENS_PARAMETERS`), their covariance in the same order and units, and the lens as solve keywords
    (focal_px, cx, cy, fisheye_fov_deg, k1..k4)."""

    @property
    def parameter_names(self) -> Sequence[str]: ...
    @property
    def covariance(self) -> Any: ...
    def solve_kwargs(self) -> Mapping[str, Any]: ...


@dataclass(frozen=True)
class Contribution:
    """One term of an error budget: its covariance ([[var_north, cov_ne], [cov_ne, var_east]], radians
    squared, as `Fix.covariance`), the 2-sigma ellipse of that alone ((semi_major_nm, semi_minor_nm,
    orientation_deg), as `Fix.ellipse_2sigma_nm`) and a note on what it was computed from."""

    name: str
    covariance: Covariance
    ellipse_2sigma_nm: tuple[float, float, float]
    note: str


@dataclass(frozen=True, repr=False)
class ErrorBudget:
    """The error budget of a fix (see `error_budget`).

    ``covariance`` and ``ellipse_2sigma_nm`` are the sum of every term, in the conventions of
    `Fix.covariance` and `Fix.ellipse_2sigma_nm`; ``contributions`` maps each term's name ("centroid", "up",
    "clock", "calibration", "model", in that order) to its `Contribution`, a term that was not asked for
    being zero. ``centroid_sigma_arcmin`` is the per-star altitude sigma the centroid term used and
    ``degrees_of_freedom`` the residual count it was estimated from (observations less the two unknowns).
    """

    covariance: Covariance
    ellipse_2sigma_nm: tuple[float, float, float]
    contributions: dict[str, Contribution]
    centroid_sigma_arcmin: float
    degrees_of_freedom: int

    def __repr__(self) -> str:
        a, b, o = self.ellipse_2sigma_nm
        lines = [f"ErrorBudget(2-sigma {a:.3f} x {b:.3f} nm, major axis at {o:+.1f} deg"]
        for term in self.contributions.values():
            ta, tb, to = term.ellipse_2sigma_nm
            lines.append(f"  {term.name:<12} {ta:8.3f} x {tb:7.3f} nm at {to:+6.1f} deg  {term.note}")
        return "\n".join(lines) + ")"


def error_budget(
    fix: stelvane.Fix, *, up_sigma_arcmin: float = 0.0, clock_sigma_s: float = 0.0,
    centroid_sigma_arcmin: float | None = None, calibration: Calibrated | None = None, include_model: bool = True,
    centroid_floor_px: float = CENTROID_FLOOR_PX,
) -> ErrorBudget:
    """The error budget of `fix`: the covariance of its position from every source of error, with the
    2-sigma ellipse that holds the truth 86 % of the time when the inputs' sigmas are right.

    - ``up_sigma_arcmin``: standard deviation of the vertical (`up_cam`) per axis, arcminutes. A tilt of
      the vertical moves the fix by the same angle in the same direction, so the term is a circle: one
      arcminute of sigma is one nautical mile per axis.
    - ``clock_sigma_s``: standard deviation of the clock, seconds. A clock error turns the sky about the
      pole and moves the fix along its parallel only: 0.2507 nm x cos(latitude) per second.
    - ``centroid_sigma_arcmin``: standard deviation of one star's measured altitude, arcminutes. ``None``
      estimates it from the fit's residuals over its n - 2 degrees of freedom, widened for the
      uncertainty of so few residuals, and never below ``centroid_floor_px`` pixels.
    - ``calibration``: a lens calibration (`stelvane.Calibration`, or any object with
      ``parameter_names``, ``covariance`` and ``solve_kwargs()``) whose lens the fix was solved with;
      its parameter covariance is carried into the fix through each star's measured altitude.
    - ``include_model``: add the error of stelvane's own low-precision astronomy (no nutation, UTC taken
      for UT1, Bennett's refraction), measured against ERFA: 0.09 nm per axis and UT1 - UTC as a clock
      error of 0.52 s.

    Works alike for fixes from `resolve_fix`, `resolve_from_centroids`, `resolve_from_frames` and a
    `FixTracker`. Raises `stelvane.InvalidArgumentError` for a negative or non-finite sigma or a
    calibration of another lens. The derivations are in the manual's error-budget page.
    """
    if not isinstance(fix, stelvane.Fix):
        raise TypeError(f"fix must be a stelvane.Fix, not {type(fix).__name__}")
    up_rad = _sigma(up_sigma_arcmin, "up_sigma_arcmin") * ARCMIN_TO_RAD
    clock_s = _sigma(clock_sigma_s, "clock_sigma_s")
    floor_px = _sigma(centroid_floor_px, "centroid_floor_px")
    geometry = _Geometry(fix.sights)
    centroid, sigma_arcmin, note = _centroid_term(fix, geometry, centroid_sigma_arcmin, floor_px)
    terms = {
        "centroid": (centroid, note),
        "up": (up_rad**2 * np.eye(2), f"vertical {up_rad / ARCMIN_TO_RAD:g} arcmin per axis"),
        "clock": (_clock_covariance(clock_s, fix.latitude_deg), f"clock {clock_s:g} s"),
        "calibration": _calibration_term(fix, geometry, calibration),
        "model": ((np.asarray(_model_error.model_covariance(fix.latitude_deg)), "astronomy measured against ERFA")
                  if include_model else (np.zeros((2, 2)), "left out")),
    }
    contributions = {name: _contribution(name, cov, text) for name, (cov, text) in terms.items()}
    total = sum((cov for cov, _ in terms.values()), np.zeros((2, 2)))
    return ErrorBudget(_as_list(total), _ellipse(total), contributions, sigma_arcmin,
                       geometry.degrees_of_freedom)


def _sigma(value: float, name: str) -> float:
    if not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    v = float(value)
    if not (math.isfinite(v) and v >= 0.0):
        raise stelvane.InvalidArgumentError(f"{name} must be finite and >= 0 (got {value!r})")
    return v


class _Geometry:
    """The fit's linearisation from its sights: design matrix rows (cos Az, sin Az), the weights it used,
    and the gain that turns altitude errors into a north/east displacement (radians)."""

    def __init__(self, sights: np.ndarray) -> None:
        az = np.radians(sights["azimuth_deg"])
        self.design = np.column_stack([np.cos(az), np.sin(az)])
        self.sigma_rad = sights["sigma_arcmin"] * ARCMIN_TO_RAD
        self.residual_rad = sights["residual_arcmin"] * ARCMIN_TO_RAD
        self.is_star = sights["hr"] != 0
        self.pixels = np.column_stack([sights["x_px"], sights["y_px"]])
        weights = 1.0 / self.sigma_rad**2
        normal = self.design.T @ (weights[:, None] * self.design)
        self.gain = np.linalg.solve(normal, self.design.T * weights)
        self.degrees_of_freedom = len(sights) - 2

    def propagate(self, altitude_covariance: np.ndarray) -> np.ndarray:
        """The position covariance of altitude errors with this covariance (radians squared)."""
        cov = self.gain @ altitude_covariance @ self.gain.T
        return 0.5 * (cov + cov.T)


def _coverage_widening(dof: int) -> float:
    """The factor on a variance estimated from `dof` residuals that keeps its 2-sigma ellipse holding the
    truth 86.5 % of the time: the F(2, dof) quantile over its large-sample value 2, in closed form."""
    return dof / 4.0 * math.expm1(4.0 / dof)


def _centroid_term(fix: stelvane.Fix, geometry: _Geometry, sigma_arcmin: float | None,
                   floor_px: float) -> tuple[np.ndarray, float, str]:
    """The stars' own measurement error: given, or from the residuals (variance of unit weight over n - 2
    degrees of freedom, widened for coverage) with the floor. The Sun keeps its weight's ratio to the stars'."""
    star_sigma = geometry.sigma_rad[geometry.is_star]
    fit_star_sigma_rad = float(star_sigma[0]) if len(star_sigma) else float(geometry.sigma_rad[0])
    if sigma_arcmin is not None:
        given = _sigma(sigma_arcmin, "centroid_sigma_arcmin") * ARCMIN_TO_RAD
        sigmas = np.where(geometry.is_star, given, geometry.sigma_rad)
        given_arcmin = given / ARCMIN_TO_RAD
        return geometry.propagate(np.diag(sigmas**2)), given_arcmin, f"given {given_arcmin:g} arcmin per star"
    dof = geometry.degrees_of_freedom
    unit_variance = float(np.sum((geometry.residual_rad / geometry.sigma_rad) ** 2)) / dof
    widening = _coverage_widening(dof)
    floor_rad = floor_px * fix.arcmin_per_pixel * ARCMIN_TO_RAD
    scale2 = max(widening * unit_variance, (floor_rad / fit_star_sigma_rad) ** 2)
    estimated = math.sqrt(unit_variance) * fit_star_sigma_rad / ARCMIN_TO_RAD
    used = math.sqrt(scale2) * fit_star_sigma_rad / ARCMIN_TO_RAD
    floored = scale2 > widening * unit_variance
    note = (f"{estimated:.3f} arcmin per star from residuals ({dof} dof), used {used:.3f}"
            + (f" (floor {floor_px:g} px)" if floored else f" (x{math.sqrt(widening):.2f} for coverage)"))
    return geometry.propagate(np.diag(scale2 * geometry.sigma_rad**2)), used, note


def _clock_covariance(clock_s: float, lat_deg: float) -> np.ndarray:
    east_rad = clock_s * _model_error.EARTH_ROTATION_RAD_PER_S * math.cos(math.radians(lat_deg))
    return np.array([[0.0, 0.0], [0.0, east_rad**2]])


def _calibration_term(fix: stelvane.Fix, geometry: _Geometry,
                      calibration: Calibrated | None) -> tuple[np.ndarray, str]:
    """The lens's parameter covariance carried into the fix: each measured altitude's derivative by each
    parameter (central differences through `stelvane.Camera`, half a parameter sigma either side), then
    the fit's gain."""
    if calibration is None:
        return np.zeros((2, 2)), "no calibration given"
    names, cov, lens = _read_calibration(calibration, fix)
    if np.isnan(geometry.pixels).any():
        raise stelvane.InvalidArgumentError("the fix does not carry the pixel of every sight, so a lens "
                                            "calibration cannot be carried into it")
    scale = _lens_camera(lens).arcmin_per_pixel
    if not math.isclose(scale, fix.arcmin_per_pixel, rel_tol=1e-6):
        raise stelvane.InvalidArgumentError(
            f"the fix was solved with a lens of {fix.arcmin_per_pixel:.6g} arcmin per pixel, the calibration's "
            f"has {scale:.6g}: pass the calibration whose solve_kwargs() the fix was solved with")
    up = np.asarray(fix.up_cam)
    jacobian = np.zeros((len(geometry.pixels), len(names)))
    for j, name in enumerate(names):
        step = 0.5 * math.sqrt(cov[j, j]) if cov[j, j] > 0.0 else 1e-6 * max(abs(lens[name]), 1.0)
        plus = _altitudes(_lens_camera({**lens, name: lens[name] + step}), geometry.pixels, up)
        minus = _altitudes(_lens_camera({**lens, name: lens[name] - step}), geometry.pixels, up)
        jacobian[:, j] = (plus - minus) / (2.0 * step)
    altitude_cov = jacobian @ cov @ jacobian.T
    return geometry.propagate(altitude_cov), "lens parameters " + ", ".join(names)


def _read_calibration(calibration: Calibrated, fix: stelvane.Fix) -> tuple[list[str], np.ndarray, dict[str, Any]]:
    """The calibration's parameter names, covariance and lens, the lens's focal made explicit: an ideal
    fisheye's solve keywords may leave it to the frame's extent, and then the fix's pixel scale gives it."""
    lacking = [a for a in ("parameter_names", "covariance", "solve_kwargs") if not hasattr(calibration, a)]
    if lacking:
        raise TypeError(f"calibration must be a stelvane.Calibration or have parameter_names, covariance and "
                        f"solve_kwargs() ({type(calibration).__name__} has no {lacking[0]})")
    names = [str(n) for n in calibration.parameter_names]
    cov = np.array(calibration.covariance, dtype=np.float64)
    kwargs = dict(calibration.solve_kwargs())
    unknown = [n for n in names if n not in LENS_PARAMETERS]
    if unknown:
        raise stelvane.InvalidArgumentError(f"calibration parameter {unknown[0]!r} is not one of "
                                            f"{', '.join(LENS_PARAMETERS)}")
    if cov.shape != (len(names), len(names)) or not np.isfinite(cov).all():
        raise stelvane.InvalidArgumentError(f"calibration covariance must be a finite {len(names)}x{len(names)} "
                                            f"matrix over {', '.join(names)} (got shape {cov.shape})")
    lens = {k: kwargs.get(k) for k in (*LENS_PARAMETERS, "fisheye_fov_deg")}
    for k in ("k1", "k2", "k3", "k4"):
        lens[k] = float(lens[k] or 0.0)
    if lens["focal_px"] is None and lens["fisheye_fov_deg"] is not None:
        lens["focal_px"] = 1.0 / (fix.arcmin_per_pixel * ARCMIN_TO_RAD)
    missing = [k for k in ("focal_px", "cx", "cy") if lens[k] is None]
    if missing:
        raise stelvane.InvalidArgumentError(f"calibration.solve_kwargs() gives no {missing[0]}")
    return names, cov, lens


def _lens_camera(lens: dict[str, Any]) -> stelvane.Camera:
    """The camera of a lens given as solve keywords with an explicit focal."""
    fov, focal = lens["fisheye_fov_deg"], lens["focal_px"]
    ks = {k: lens[k] for k in ("k1", "k2", "k3", "k4")}
    if fov is None:
        return stelvane.Camera(focal, lens["cx"], lens["cy"])
    if any(ks.values()):
        return stelvane.Camera(focal, lens["cx"], lens["cy"], fisheye_fov_deg=fov, **ks)
    # The ideal fisheye's focal is min(width, height) / field (radians): a square extent and the matching
    # field give any focal.
    side = max(2, round(focal * math.pi))
    return stelvane.Camera(None, lens["cx"], lens["cy"], width=side, height=side,
                           fisheye_fov_deg=math.degrees(side / focal))


def _altitudes(camera: stelvane.Camera, pixels: np.ndarray, up: np.ndarray) -> np.ndarray:
    directions = camera.pixel_to_vec(pixels[:, 0], pixels[:, 1])
    return np.arcsin(np.clip(directions @ up, -1.0, 1.0))


def _as_list(cov: np.ndarray) -> Covariance:
    return [[float(cov[0, 0]), float(cov[0, 1])], [float(cov[1, 0]), float(cov[1, 1])]]


def _ellipse(cov: np.ndarray) -> tuple[float, float, float]:
    a, b, o = _lib._ellipse_2sigma_nm(float(cov[0, 0]), float(cov[1, 1]), float(cov[0, 1]))
    return (a, b, o)


def _contribution(name: str, cov: np.ndarray, note: str) -> Contribution:
    return Contribution(name, _as_list(cov), _ellipse(cov), note)


# Reached as stelvane.error_budget and stelvane.ErrorBudget.
error_budget.__module__ = ErrorBudget.__module__ = "stelvane"
