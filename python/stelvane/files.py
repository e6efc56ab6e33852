"""A position fix from an image file: read it, take its instant, pick the catalog, solve, and keep the outcome.

`solve_path` is the per-file step of the ``stelvane solve`` command and of batch runs; it never raises for a
bad file but returns a `FileFix` whose ``error`` says what went wrong, so that a run over many files goes on.
"""

from __future__ import annotations

import csv
import datetime as dt
import math
import os
import threading
from collections.abc import Sequence
from dataclasses import dataclass, fields
from pathlib import Path
from typing import Any, cast

import numpy as np

import stelvane
from stelvane import catalogs
from stelvane.io import EXTENSIONS, ReadError, read_frame

__all__ = [
    "PINHOLE_MAX_PAIR_DEG", "FileFix", "SolveSettings", "UpTable", "catalog_for_lens", "expand_paths", "load_catalog",
    "read_mask", "solve_path",
]

# The widest star pair in the bundled "pinhole" catalog's pair index (data/README.md). A pinhole frame whose
# diagonal spans more than this is solved with "allsky": on rendered 1920x1080 skies (bench/
# bench_catalog_choice.py) "allsky" solves 8 of 8 frames from a 53 to an 85 degree diagonal, "pinhole" only
# 6 of 8 at 85 degrees, while a 23 degree field (1280x960, focal 4000 px) holds too few "allsky" stars
# (4 of 8 solved, "pinhole" 8 of 8).
PINHOLE_MAX_PAIR_DEG = 30.0
RAD_TO_ARCMIN = 60.0 * 180.0 / math.pi


def catalog_for_lens(focal_px: float | None, fisheye_fov_deg: float | None, width: int, height: int) -> str:
    """The bundled catalog suited to a lens: "allsky" for a fisheye or a pinhole field whose diagonal is
    wider than the pinhole catalog's widest pair, "pinhole" otherwise."""
    if fisheye_fov_deg is not None or focal_px is None:
        return "allsky"
    diagonal_deg = 2.0 * math.degrees(math.atan(math.hypot(width / 2.0, height / 2.0) / abs(focal_px)))
    return "allsky" if diagonal_deg > PINHOLE_MAX_PAIR_DEG else "pinhole"


# Catalogs loaded by `load_catalog`, by spec: a `Catalog` is immutable, so every file of a run shares one,
# and so do the threads of a Dask worker (the lock keeps them from loading it twice).
_LOADED: dict[str, stelvane.Catalog] = {}
_LOADING = threading.Lock()


def absolute_catalog_spec(spec: str) -> str:
    """A catalog spec that names the same files from any folder: "CATALOG_PATH,PAIRS_PATH" with both paths
    made absolute; a bundled name as it is."""
    parts = spec.split(",")
    return ",".join(os.path.abspath(p) for p in parts) if len(parts) == 2 else spec


def load_catalog(spec: str) -> stelvane.Catalog:
    """A catalog by bundled name ("allsky", "pinhole") or as "CATALOG_PATH,PAIRS_PATH", loaded once per
    process and pair of files, however the paths are written."""
    key = absolute_catalog_spec(spec) if all(spec.split(",")) else spec
    with _LOADING:
        if key not in _LOADED:
            parts = spec.split(",")
            if spec in catalogs.NAMES:
                _LOADED[key] = catalogs.load(spec)
            elif len(parts) == 2 and all(parts):
                _LOADED[key] = stelvane.Catalog(parts[0], parts[1])
            else:
                choices = ", ".join(catalogs.NAMES)
                raise ValueError(f"catalog {spec!r} is neither a bundled name ({choices}) nor "
                                 "CATALOG_PATH,PAIRS_PATH")
        return _LOADED[key]


@dataclass(frozen=True)
class FileFix:
    """The outcome of one file: its fix, or the one-line reason it has none.

    ``utc`` is the instant solved for (or ``None`` when none was found), ``utc_source`` where it came from;
    ``catalog`` names the catalog used; ``error`` is empty when the file solved, and ``fix`` is then the
    `stelvane.Fix` and ``budget`` its `stelvane.ErrorBudget`. ``width`` and ``height`` are the frame's, 0 when
    it could not be read.
    """

    path: str
    utc: dt.datetime | None
    utc_source: str
    catalog: str
    error: str
    fix: stelvane.Fix | None
    width: int = 0
    height: int = 0
    budget: stelvane.ErrorBudget | None = None

    @property
    def solved(self) -> bool:
        return self.fix is not None

    def record(self) -> dict[str, Any]:
        """The JSON-ready fields: position, 2-sigma ellipse, covariance, stars and residual; ``None`` for the
        position fields of a failed file. The error budget's ellipse, covariance and per-term ellipses follow."""
        fix, budget = self.fix, self.budget
        return {
            "path": self.path,
            "utc": None if self.utc is None else self.utc.astimezone(dt.timezone.utc).isoformat(),
            "utc_source": self.utc_source,
            "catalog": self.catalog,
            "error": self.error,
            "latitude_deg": None if fix is None else fix.latitude_deg,
            "longitude_deg": None if fix is None else fix.longitude_deg,
            "ellipse_2sigma_nm": None if fix is None else list(fix.ellipse_2sigma_nm),
            "covariance": None if fix is None else fix.covariance,
            "n_stars": None if fix is None else len(fix.matched_hr_ids),
            "matched_hr_ids": None if fix is None else fix.matched_hr_ids,
            "residual_rms_arcmin": None if fix is None else fix.residual_rms_rad * RAD_TO_ARCMIN,
            "match_margin": None if fix is None else fix.match_margin,
            "n_iterations": None if fix is None else fix.n_iterations,
            "used_sun": None if fix is None else fix.used_sun,
            "budget_ellipse_2sigma_nm": None if budget is None else list(budget.ellipse_2sigma_nm),
            "budget_covariance": None if budget is None else budget.covariance,
            "budget_terms_2sigma_nm": None if budget is None else {
                name: list(term.ellipse_2sigma_nm) for name, term in budget.contributions.items()},
            "plate_scale_ratio": None if fix is None else fix.plate_scale_ratio,
            "plate_scale_ratio_sigma": None if fix is None else fix.plate_scale_ratio_sigma,
        }


def _catalog_label(catalog: stelvane.Catalog | str | None, chosen: str) -> str:
    return chosen if catalog is None else catalog if isinstance(catalog, str) else "given"


def solve_path(
    path: str | Path, *, up_cam: Sequence[float], catalog: stelvane.Catalog | str | None = None,
    utc: dt.datetime | None = None, focal_px: float | None = None, cx: float | None = None,
    cy: float | None = None, fisheye_fov_deg: float | None = None, k1: float = 0.0, k2: float = 0.0,
    k3: float = 0.0, k4: float = 0.0, sigma_arcmin: float | None = None, use_sun: bool = False,
    max_centroids: int | None = None, min_matched_stars: int | None = None,
    max_residual_rms_arcmin: float | None = None, mask: np.ndarray | None = None,
    up_sigma_arcmin: float = 0.0, clock_sigma_s: float = 0.0, calibration: stelvane.Calibration | None = None,
) -> FileFix:
    """Solves the image file `path` with `stelvane.resolve_fix`.

    The lens arguments and solve options are those of `stelvane.resolve_fix`; `cx` and `cy` default to the
    frame centre (width / 2, height / 2), and `catalog` (a `stelvane.Catalog`, a bundled name or
    "CATALOG_PATH,PAIRS_PATH") to the bundled catalog that suits the lens's field (`catalog_for_lens`).
    `utc`, an aware datetime, overrides the instant read from the file. A fix comes with its
    `stelvane.error_budget` for the vertical's and the clock's sigmas `up_sigma_arcmin` and `clock_sigma_s`,
    and for the lens's uncertainty when `calibration` (the `stelvane.Calibration` the lens arguments came
    from) is given.
    A file that cannot be read, has no instant, or does not solve gives a `FileFix` with its reason in
    ``error``; nothing is raised for it.
    """
    path = str(path)
    try:
        frame = read_frame(path)
    except ReadError as err:
        return FileFix(path, utc, "given" if utc is not None else "", "", str(err), None)
    height, width = frame.pixels.shape
    when, source = (utc, "given") if utc is not None else (frame.utc, frame.utc_note)
    chosen = catalog_for_lens(focal_px, fisheye_fov_deg, width, height)
    label = _catalog_label(catalog, chosen)
    base = dict(path=path, utc=when, utc_source=source, catalog=label, width=width, height=height)
    if when is None:
        return FileFix(error=frame.utc_note, fix=None, **{**base, "utc_source": ""})
    try:
        loaded = catalog if isinstance(catalog, stelvane.Catalog) else load_catalog(catalog or chosen)
        fix = stelvane.resolve_fix(
            frame.pixels, focal_px, width / 2.0 if cx is None else cx, height / 2.0 if cy is None else cy,
            up_cam, when, loaded, sigma_arcmin=sigma_arcmin, fisheye_fov_deg=fisheye_fov_deg, k1=k1, k2=k2,
            k3=k3, k4=k4, use_sun=use_sun, max_centroids=max_centroids, min_matched_stars=min_matched_stars,
            max_residual_rms_arcmin=max_residual_rms_arcmin, mask=mask)
        budget = stelvane.error_budget(fix, up_sigma_arcmin=up_sigma_arcmin, clock_sigma_s=clock_sigma_s,
                                       calibration=calibration)
    except stelvane.StelvaneError as err:
        return FileFix(error=str(err), fix=None, **base)
    return FileFix(error="", fix=fix, budget=budget, **base)


ONE_VERTICAL = "give the vertical either as up_cam, for every file, or as a table of one per file"


@dataclass(frozen=True, eq=False)
class SolveSettings:
    """What every file of a run shares, and the per-file step over it: `solve` reads a file and solves it.

    The vertical is `up_cam` for every file, or looked up per file in `up_table`; the other fields are the
    arguments of `solve_path` and keep its meaning. Settings pickle (a `Catalog` by value), so one copy
    serves every file that a Dask worker solves.
    """

    up_cam: tuple[float, float, float] | None = None
    up_table: UpTable | None = None
    catalog: stelvane.Catalog | str | None = None
    utc: dt.datetime | None = None
    focal_px: float | None = None
    cx: float | None = None
    cy: float | None = None
    fisheye_fov_deg: float | None = None
    k1: float = 0.0
    k2: float = 0.0
    k3: float = 0.0
    k4: float = 0.0
    sigma_arcmin: float | None = None
    use_sun: bool = False
    max_centroids: int | None = None
    min_matched_stars: int | None = None
    max_residual_rms_arcmin: float | None = None
    mask: np.ndarray | None = None
    up_sigma_arcmin: float = 0.0
    clock_sigma_s: float = 0.0
    calibration: stelvane.Calibration | None = None

    def __post_init__(self) -> None:
        if (self.up_cam is None) == (self.up_table is None):
            raise ValueError(ONE_VERTICAL)

    def solve(self, path: str | Path) -> FileFix:
        """The outcome of the file `path`; never raises for a bad file or a file the table has no vertical for."""
        try:
            up = self._up_for(path)
        except LookupError as err:
            return FileFix(str(path), self.utc, "" if self.utc is None else "given", "", str(err), None)
        # Every field but the vertical's two forms is an argument of solve_path of the same name.
        options = {f.name: getattr(self, f.name) for f in fields(self) if f.name not in ("up_cam", "up_table")}
        return solve_path(path, up_cam=up, **options)

    def _up_for(self, path: str | Path) -> Sequence[float]:
        if self.up_table is not None:
            return self.up_table.lookup(path)
        return cast("tuple[float, float, float]", self.up_cam)  # __post_init__: one of the two is given


def expand_paths(paths: Sequence[str | Path]) -> list[str]:
    """Files as given, folders as their image files (by extension, sorted by name, not recursing).

    Raises `FileNotFoundError` for a path that does not exist and `ValueError` for a folder with no image.
    """
    found: list[str] = []
    for given in paths:
        p = Path(given)
        if p.is_dir():
            images = sorted(str(c) for c in p.iterdir() if c.is_file() and c.name.lower().endswith(EXTENSIONS))
            if not images:
                raise ValueError(f"{given}: folder holds no image file ({', '.join(EXTENSIONS)})")
            found.extend(images)
        elif p.exists():
            found.append(str(given))
        else:
            raise FileNotFoundError(f"{given}: no such file or folder")
    return found


class UpTable:
    """Up vectors per image file, read from a CSV file with a header naming ``path, up_x, up_y, up_z``.

    A row's path is taken relative to the CSV file's folder unless absolute. `lookup` finds a file by its
    resolved path, or else by its file name when exactly one row carries that name.
    """

    COLUMNS = ("path", "up_x", "up_y", "up_z")

    def __init__(self, csv_path: str | Path) -> None:
        self.source = str(csv_path)
        base = Path(csv_path).resolve().parent
        self._by_path: dict[Path, tuple[float, float, float]] = {}
        self._by_name: dict[str, list[tuple[float, float, float]]] = {}
        with open(csv_path, newline="", encoding="utf-8") as f:
            reader = csv.DictReader(f)
            missing = [c for c in self.COLUMNS if c not in (reader.fieldnames or [])]
            if missing:
                raise ValueError(f"{csv_path}: needs the header columns {', '.join(self.COLUMNS)} "
                                 f"(missing {', '.join(missing)})")
            for line, row in enumerate(reader, start=2):
                try:
                    up = (float(row["up_x"]), float(row["up_y"]), float(row["up_z"]))
                except (TypeError, ValueError):
                    raise ValueError(f"{csv_path}, line {line}: up_x, up_y, up_z must be numbers") from None
                self._by_path[(base / row["path"]).resolve()] = up
                self._by_name.setdefault(Path(row["path"]).name, []).append(up)

    def lookup(self, image_path: str | Path) -> tuple[float, float, float]:
        """The up vector of `image_path`; raises `LookupError` with a one-line reason when it has none."""
        up = self._by_path.get(Path(image_path).resolve())
        if up is not None:
            return up
        same_name = self._by_name.get(Path(image_path).name, [])
        if len(same_name) == 1:
            return same_name[0]
        raise LookupError(f"no up vector for it in {self.source}" if not same_name else
                       f"{len(same_name)} rows of {self.source} carry its file name: give its path")


def read_mask(path: str | Path) -> np.ndarray:
    """An obstruction mask: a ``.npy`` bool array, or an image file whose non-zero pixels are not sky."""
    if str(path).lower().endswith(".npy"):
        mask = np.load(path, allow_pickle=False)
        if mask.dtype != np.bool_ or mask.ndim != 2:
            raise ValueError(f"{path}: a .npy mask must hold a 2-D bool array (got {mask.ndim}-D {mask.dtype})")
        return np.ascontiguousarray(mask)
    return np.ascontiguousarray(read_frame(path).pixels > 0)


# ---------------------------------------------------------------------------------------------------------------
# Tables and maps of many outcomes

CSV_COLUMNS = (
    "path", "utc", "utc_source", "catalog", "error", "latitude_deg", "longitude_deg", "semi_major_nm",
    "semi_minor_nm", "orientation_deg", "n_stars", "match_margin", "residual_rms_arcmin", "matched_hr_ids",
    "budget_semi_major_nm", "budget_semi_minor_nm", "budget_orientation_deg",
)
NM_PER_DEG_LAT = 60.0  # a nautical mile is one arcminute of latitude
ELLIPSE_VERTICES = 72


def csv_row(result: FileFix) -> dict[str, Any]:
    """One CSV row: the fix's scalars, or empty cells and the error for a failed file."""
    rec = result.record()
    ellipse = rec.pop("ellipse_2sigma_nm") or ("", "", "")
    budget = rec.pop("budget_ellipse_2sigma_nm") or ("", "", "")
    hr_ids = rec.pop("matched_hr_ids")
    row = {k: ("" if v is None else v) for k, v in rec.items() if k in CSV_COLUMNS}
    row.update(semi_major_nm=ellipse[0], semi_minor_nm=ellipse[1], orientation_deg=ellipse[2],
               matched_hr_ids="" if hr_ids is None else " ".join(map(str, hr_ids)),
               budget_semi_major_nm=budget[0], budget_semi_minor_nm=budget[1], budget_orientation_deg=budget[2])
    return row


def write_csv(path: str | Path, results: Sequence[FileFix]) -> None:
    """One row per result, in the order given."""
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.DictWriter(f, fieldnames=CSV_COLUMNS)
        writer.writeheader()
        writer.writerows(csv_row(r) for r in results)


def ellipse_ring(lat_deg: float, lon_deg: float, semi_major_nm: float, semi_minor_nm: float,
                 orientation_deg: float, vertices: int = ELLIPSE_VERTICES) -> list[list[float]]:
    """A closed, counter-clockwise GeoJSON ring of [lon, lat] degrees around an error ellipse.

    The major axis points `orientation_deg` east of north. Distances are laid out on the local plane: a
    nautical mile north is 1/60 degree of latitude, one east 1/(60 cos(lat)) degree of longitude, which holds
    for ellipses of a few hundred miles away from the poles; longitudes are not wrapped at +-180.
    """
    theta = math.radians(orientation_deg)
    cos_lat = math.cos(math.radians(lat_deg))
    ring = []
    for k in range(vertices):
        t = 2.0 * math.pi * k / vertices
        along, across = semi_major_nm * math.cos(t), semi_minor_nm * math.sin(t)
        # (along, across) turn anticlockwise on the map: across points west of the major axis.
        north = along * math.cos(theta) + across * math.sin(theta)
        east = along * math.sin(theta) - across * math.cos(theta)
        ring.append([lon_deg + east / (NM_PER_DEG_LAT * cos_lat), lat_deg + north / NM_PER_DEG_LAT])
    ring.append(list(ring[0]))
    return ring


def geojson(results: Sequence[FileFix]) -> dict[str, Any]:
    """A GeoJSON FeatureCollection: for each solved file, a Point at [lon, lat], the Polygon of its
    2-sigma ellipse (role "ellipse_2sigma") and, when it has one, the Polygon of its error budget's 2-sigma
    ellipse (role "budget_2sigma"), all carrying the file's path and instant. Failed files are left out."""
    features: list[dict[str, Any]] = []
    for result in results:
        if result.fix is None:
            continue
        rec = result.record()
        props = {k: rec[k] for k in ("path", "utc", "ellipse_2sigma_nm", "n_stars", "residual_rms_arcmin",
                                     "budget_ellipse_2sigma_nm")}
        lat, lon = result.fix.latitude_deg, result.fix.longitude_deg
        features.append({"type": "Feature", "geometry": {"type": "Point", "coordinates": [lon, lat]},
                         "properties": {**props, "role": "fix"}})
        ring = ellipse_ring(lat, lon, *result.fix.ellipse_2sigma_nm)
        features.append({"type": "Feature", "geometry": {"type": "Polygon", "coordinates": [ring]},
                         "properties": {**props, "role": "ellipse_2sigma"}})
        if result.budget is not None:
            ring = ellipse_ring(lat, lon, *result.budget.ellipse_2sigma_nm)
            features.append({"type": "Feature", "geometry": {"type": "Polygon", "coordinates": [ring]},
                             "properties": {**props, "role": "budget_2sigma"}})
    return {"type": "FeatureCollection", "features": features}
