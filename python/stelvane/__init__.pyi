import datetime
import os
from collections.abc import Callable, Sequence
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias, TypedDict, overload

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "InsufficientStarsError",
    "AmbiguousMatchError",
    "NoMatchError",
    "SingularGeometryError",
    "BadImageError",
    "DegenerateUpError",
    "CatalogFormatError",
    "CatalogIOError",
    "ThinLockError",
    "CalibrationError",
    "InvalidArgumentError",
    "Calibration",
    "calibrate_camera",
    "Camera",
    "Catalog",
    "Fix",
    "FixTracker",
    "Scene",
    "julian_date",
    "gmst_deg",
    "precess_vector",
    "detect_centroids",
    "detect_centroids_matched",
    "foreground_mask",
    "great_circle_nm",
    "covariance_ellipse",
    "synthesize_scene",
    "resolve_fix",
    "resolve_from_centroids",
    "resolve_from_frames",
    "remap_image",
    "remap_mask",
    "sun_apparent_jd",
    "StelvaneError",
]
__version__: str

from .budget import ErrorBudget as ErrorBudget, error_budget as error_budget

class Camera:
    def __init__(
        self, focal_px: SupportsFloat | None, cx: SupportsFloat, cy: SupportsFloat, width: SupportsIndex | None = None,
        height: SupportsIndex | None = None, fisheye_fov_deg: SupportsFloat | None = None, k1: SupportsFloat = 0.0,
        k2: SupportsFloat = 0.0, k3: SupportsFloat = 0.0, k4: SupportsFloat = 0.0,
    ) -> None: ...
    @property
    def cx(self) -> float: ...
    @property
    def cy(self) -> float: ...
    @property
    def effective_focal_px(self) -> float: ...
    @property
    def arcmin_per_pixel(self) -> float: ...
    @property
    def default_sigma_arcmin(self) -> float: ...
    @overload
    def pixel_to_vec(self, x: SupportsFloat, y: SupportsFloat) -> NDArray[np.float64]: ...
    @overload
    def pixel_to_vec(
        self, x: Sequence[SupportsFloat] | NDArray[Any], y: Sequence[SupportsFloat] | NDArray[Any]
    ) -> NDArray[np.float64]: ...
    @overload
    def vec_to_pixel(self, v: Sequence[SupportsFloat]) -> tuple[float, float] | None: ...  # type: ignore[overload-overlap]
    @overload
    def vec_to_pixel(self, v: Sequence[Sequence[SupportsFloat] | NDArray[Any]]) -> NDArray[np.float64]: ...
    @overload
    def vec_to_pixel(self, v: NDArray[Any]) -> tuple[float, float] | None | NDArray[np.float64]: ...
    # Pickled by value: (effective_focal_px, cx, cy, fisheye_fov_deg, k1, k2, k3, k4).
    def __getstate__(self) -> tuple[float, float, float, float | None, float, float, float, float]: ...
    def __setstate__(self, state: tuple[float, float, float, float | None, float, float, float, float], /) -> None: ...
    def __copy__(self) -> Camera: ...
    def __deepcopy__(self, memo: Any, /) -> Camera: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class StelvaneError(Exception): ...

class InsufficientStarsError(StelvaneError):
    needed: int
    got: int

class AmbiguousMatchError(StelvaneError):
    correspondences_a: list[tuple[int, int]]
    correspondences_b: list[tuple[int, int]]
    hr_ids_a: list[int] | None
    hr_ids_b: list[int] | None
    residual_sum_a_rad: float
    residual_sum_b_rad: float

class NoMatchError(StelvaneError): ...
class SingularGeometryError(StelvaneError): ...

class BadImageError(StelvaneError):
    detail: str

class DegenerateUpError(StelvaneError): ...

class CatalogFormatError(StelvaneError):
    detail: str

class CatalogIOError(StelvaneError):
    detail: str

class ThinLockError(StelvaneError):
    reason: str
    matched: int
    margin: int
    residual_rms_rad: float

class CalibrationError(StelvaneError):
    reason: str
    detail: str

class InvalidArgumentError(StelvaneError): ...

class Catalog:
    def __init__(self, catalog_path: str, pairs_path: str) -> None: ...
    def star(self, hr_id: SupportsIndex) -> tuple[float, float, float]: ...
    def stars(self) -> list[tuple[int, float, float, float]]: ...
    def has_pair(
        self, hr_a: SupportsIndex, hr_b: SupportsIndex, sep_deg: SupportsFloat, tol_deg: SupportsFloat
    ) -> bool: ...
    @property
    def n_stars(self) -> int: ...
    # Pickled by value: (catalog file image, pair-index file image).
    def __getstate__(self) -> tuple[bytes, bytes]: ...
    def __setstate__(self, state: tuple[bytes, bytes], /) -> None: ...
    def __copy__(self) -> Catalog: ...
    def __deepcopy__(self, memo: Any, /) -> Catalog: ...

_Utc: TypeAlias = tuple[int, int, int, int, int, float] | datetime.datetime
_Image: TypeAlias = NDArray[np.uint16] | NDArray[np.uint8]

class Fix:
    @property
    def latitude_deg(self) -> float: ...
    @property
    def longitude_deg(self) -> float: ...
    @property
    def covariance(self) -> list[list[float]]: ...
    @property
    def ellipse_2sigma_nm(self) -> tuple[float, float, float]: ...
    @property
    def matched_hr_ids(self) -> list[int]: ...
    @property
    def n_iterations(self) -> int: ...
    @property
    def used_sun(self) -> bool: ...
    @property
    def residual_rms_rad(self) -> float: ...
    @property
    def match_margin(self) -> int: ...
    @property
    def sights(self) -> NDArray[np.void]: ...
    @property
    def up_cam(self) -> tuple[float, float, float]: ...
    @property
    def jd(self) -> float: ...
    @property
    def arcmin_per_pixel(self) -> float: ...
    @property
    def bodies_seen(self) -> list[str]: ...
    @property
    def plate_scale_ratio(self) -> float: ...
    @property
    def plate_scale_ratio_sigma(self) -> float: ...
    # Pickled as Fix._from_state(a dict of every field).
    @classmethod
    def _from_state(cls, state: dict[str, Any], /) -> Fix: ...
    def __reduce__(self) -> tuple[Callable[[dict[str, Any]], Fix], tuple[dict[str, Any]]]: ...
    def __copy__(self) -> Fix: ...
    def __deepcopy__(self, memo: Any, /) -> Fix: ...

class _SolveKwargs(TypedDict):
    focal_px: float
    cx: float
    cy: float
    fisheye_fov_deg: float | None
    k1: float
    k2: float
    k3: float
    k4: float

class Calibration:
    @property
    def camera(self) -> Camera: ...
    @property
    def focal_px(self) -> float: ...
    @property
    def cx(self) -> float: ...
    @property
    def cy(self) -> float: ...
    @property
    def k(self) -> tuple[float, float, float, float]: ...
    @property
    def fisheye_fov_deg(self) -> float | None: ...
    @property
    def residual_rms_px(self) -> float: ...
    @property
    def n_stars(self) -> int: ...
    @property
    def n_rejected(self) -> int: ...
    @property
    def frame_star_counts(self) -> tuple[int, ...]: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def parameter_names(self) -> tuple[str, ...]: ...
    @property
    def covariance(self) -> NDArray[np.float64]: ...
    @property
    def standard_errors(self) -> tuple[float, ...]: ...
    @property
    def residuals(self) -> NDArray[np.void]: ...
    @property
    def initial_residuals(self) -> NDArray[np.void]: ...
    def solve_kwargs(self) -> _SolveKwargs: ...
    def to_json(self) -> str: ...
    def save(self, path: str | os.PathLike[str]) -> None: ...
    @staticmethod
    def from_json(text: str) -> Calibration: ...
    @staticmethod
    def load(path: str | os.PathLike[str]) -> Calibration: ...
    def __reduce__(self) -> tuple[Any, tuple[str]]: ...

def calibrate_camera(
    images: Sequence[_Image | Sequence[Sequence[SupportsFloat]] | NDArray[np.float64]], catalog: Catalog, *,
    focal_px: SupportsFloat | None = None, cx: SupportsFloat | None = None, cy: SupportsFloat | None = None,
    fisheye_fov_deg: SupportsFloat | None = None, k1: SupportsFloat = 0.0, k2: SupportsFloat = 0.0,
    k3: SupportsFloat = 0.0, k4: SupportsFloat = 0.0, scale_tolerance: SupportsFloat = 0.05,
    times_utc: Sequence[_Utc] | None = None,
    up_cam: Sequence[SupportsFloat] | Sequence[Sequence[SupportsFloat]] | None = None,
    width: SupportsIndex | None = None, height: SupportsIndex | None = None, fit_distortion: bool | None = None,
    centre_tolerance_px: SupportsFloat | None = None, sigma_arcmin: SupportsFloat | None = None,
    psf_sigma_px: SupportsFloat = 1.0, max_stars: SupportsIndex = 300, max_residual_rms_px: SupportsFloat = 1.0,
) -> Calibration: ...

class FixTracker:
    def __init__(self, *, max_reference_age_s: SupportsFloat, max_disambiguation_distance_nm: SupportsFloat) -> None: ...
    def resolve_fix(
        self, /, image: _Image, focal_px: SupportsFloat | None, cx: SupportsFloat, cy: SupportsFloat,
        up_cam: Sequence[SupportsFloat], utc: _Utc, catalog: Catalog, sigma_arcmin: SupportsFloat | None = None,
        fisheye_fov_deg: SupportsFloat | None = None, k1: SupportsFloat = 0.0, k2: SupportsFloat = 0.0,
        k3: SupportsFloat = 0.0, k4: SupportsFloat = 0.0, use_sun: bool = False,
        max_centroids: SupportsIndex | None = None, min_matched_stars: SupportsIndex | None = None,
        max_residual_rms_arcmin: SupportsFloat | None = None, mask: NDArray[np.bool_] | None = None,
    ) -> Fix: ...
    def resolve_from_centroids(
        self, /, centroids: Sequence[Sequence[SupportsFloat]], focal_px: SupportsFloat | None, cx: SupportsFloat,
        cy: SupportsFloat, up_cam: Sequence[SupportsFloat], utc: _Utc, catalog: Catalog,
        sigma_arcmin: SupportsFloat | None = None, fisheye_fov_deg: SupportsFloat | None = None,
        k1: SupportsFloat = 0.0, k2: SupportsFloat = 0.0, k3: SupportsFloat = 0.0, k4: SupportsFloat = 0.0,
        max_centroids: SupportsIndex | None = None, min_matched_stars: SupportsIndex | None = None,
        max_residual_rms_arcmin: SupportsFloat | None = None,
    ) -> Fix: ...
    def set_last_known_position(self, /, lat_deg: SupportsFloat, lon_deg: SupportsFloat, utc: _Utc) -> None: ...

class Scene:
    @property
    def pixels(self) -> NDArray[np.uint16]: ...
    @property
    def up_cam(self) -> tuple[float, float, float]: ...
    @property
    def star_pixels(self) -> list[tuple[float, float]]: ...
    @property
    def rendered_hr_ids(self) -> list[int]: ...
    @property
    def boresight_alt_deg(self) -> float: ...
    @property
    def boresight_az_deg(self) -> float: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def bodies(self) -> list[tuple[str, float, float, float, float]]: ...

def julian_date(
    year: SupportsIndex, month: SupportsIndex, day: SupportsIndex, hour: SupportsIndex, minute: SupportsIndex,
    second: SupportsFloat,
) -> float: ...
def gmst_deg(jd_ut: SupportsFloat) -> float: ...
def precess_vector(jd_tt: SupportsFloat, v: Sequence[SupportsFloat]) -> list[float]: ...
def detect_centroids(
    image: NDArray[np.uint16] | NDArray[np.uint8], max_count: SupportsIndex, mask: NDArray[np.bool_] | None = None
) -> list[tuple[float, float, float]]: ...
def detect_centroids_matched(
    image: NDArray[np.uint16] | NDArray[np.uint8], max_count: SupportsIndex, psf_sigma_px: SupportsFloat
) -> list[tuple[float, float, float]]: ...
def foreground_mask(image: NDArray[np.uint16] | NDArray[np.uint8]) -> NDArray[np.bool_]: ...
def great_circle_nm(
    lat1_deg: SupportsFloat, lon1_deg: SupportsFloat, lat2_deg: SupportsFloat, lon2_deg: SupportsFloat
) -> float: ...
def covariance_ellipse(azimuths_deg: Sequence[SupportsFloat], sigma_arcmin: SupportsFloat) -> tuple[float, float, float]: ...
def synthesize_scene(
    catalog: Catalog, lat_deg: SupportsFloat, lon_deg: SupportsFloat, jd_ut: SupportsFloat, roll_deg: SupportsFloat,
    width: SupportsIndex, height: SupportsIndex, focal_px: SupportsFloat | None, mag_limit: SupportsFloat,
    pixel_noise_arcmin: SupportsFloat, up_noise_arcmin: SupportsFloat, background_noise: SupportsFloat,
    seed: SupportsIndex, fisheye_fov_deg: SupportsFloat | None = None, k1: SupportsFloat = 0.0, k2: SupportsFloat = 0.0,
    k3: SupportsFloat = 0.0, k4: SupportsFloat = 0.0, bit_depth: SupportsIndex = 16,
) -> Scene: ...
def remap_image(
    image: NDArray[np.uint16] | NDArray[np.uint8], src_focal_px: SupportsFloat | None, src_cx: SupportsFloat,
    src_cy: SupportsFloat, dst_focal_px: SupportsFloat | None, dst_cx: SupportsFloat, dst_cy: SupportsFloat,
    dst_width: SupportsIndex, dst_height: SupportsIndex, src_fisheye_fov_deg: SupportsFloat | None = None,
    src_k1: SupportsFloat = 0.0, src_k2: SupportsFloat = 0.0, src_k3: SupportsFloat = 0.0,
    src_k4: SupportsFloat = 0.0, dst_fisheye_fov_deg: SupportsFloat | None = None, dst_k1: SupportsFloat = 0.0,
    dst_k2: SupportsFloat = 0.0, dst_k3: SupportsFloat = 0.0, dst_k4: SupportsFloat = 0.0, fill: SupportsIndex = 0,
) -> NDArray[np.uint16]: ...
def remap_mask(
    mask: NDArray[np.bool_], src_focal_px: SupportsFloat | None, src_cx: SupportsFloat, src_cy: SupportsFloat,
    dst_focal_px: SupportsFloat | None, dst_cx: SupportsFloat, dst_cy: SupportsFloat, dst_width: SupportsIndex,
    dst_height: SupportsIndex, src_fisheye_fov_deg: SupportsFloat | None = None, src_k1: SupportsFloat = 0.0,
    src_k2: SupportsFloat = 0.0, src_k3: SupportsFloat = 0.0, src_k4: SupportsFloat = 0.0,
    dst_fisheye_fov_deg: SupportsFloat | None = None, dst_k1: SupportsFloat = 0.0, dst_k2: SupportsFloat = 0.0,
    dst_k3: SupportsFloat = 0.0, dst_k4: SupportsFloat = 0.0,
) -> NDArray[np.bool_]: ...
def sun_apparent_jd(jd: SupportsFloat) -> tuple[float, float]: ...
def resolve_fix(
    image: _Image, focal_px: SupportsFloat | None, cx: SupportsFloat, cy: SupportsFloat,
    up_cam: Sequence[SupportsFloat], utc: _Utc, catalog: Catalog, sigma_arcmin: SupportsFloat | None = None,
    fisheye_fov_deg: SupportsFloat | None = None, k1: SupportsFloat = 0.0, k2: SupportsFloat = 0.0,
    k3: SupportsFloat = 0.0, k4: SupportsFloat = 0.0, use_sun: bool = False,
    max_centroids: SupportsIndex | None = None, min_matched_stars: SupportsIndex | None = None,
    max_residual_rms_arcmin: SupportsFloat | None = None, mask: NDArray[np.bool_] | None = None,
) -> Fix: ...
def resolve_from_centroids(
    centroids: Sequence[Sequence[SupportsFloat]], focal_px: SupportsFloat | None, cx: SupportsFloat,
    cy: SupportsFloat, up_cam: Sequence[SupportsFloat], utc: _Utc, catalog: Catalog,
    sigma_arcmin: SupportsFloat | None = None, fisheye_fov_deg: SupportsFloat | None = None,
    k1: SupportsFloat = 0.0, k2: SupportsFloat = 0.0, k3: SupportsFloat = 0.0, k4: SupportsFloat = 0.0,
    max_centroids: SupportsIndex | None = None, min_matched_stars: SupportsIndex | None = None,
    max_residual_rms_arcmin: SupportsFloat | None = None,
) -> Fix: ...
def resolve_from_frames(
    frames: Sequence[_Image], times_utc: Sequence[_Utc], focal_px: SupportsFloat | None, cx: SupportsFloat,
    cy: SupportsFloat, up_cam: Sequence[SupportsFloat], catalog: Catalog, sigma_arcmin: SupportsFloat | None = None,
    fisheye_fov_deg: SupportsFloat | None = None, k1: SupportsFloat = 0.0, k2: SupportsFloat = 0.0,
    k3: SupportsFloat = 0.0, k4: SupportsFloat = 0.0, psf_sigma_px: SupportsFloat = 1.0,
    max_centroids: SupportsIndex | None = None, min_matched_stars: SupportsIndex | None = None,
    max_residual_rms_arcmin: SupportsFloat | None = None,
) -> Fix: ...
