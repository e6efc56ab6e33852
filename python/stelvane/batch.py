"""Whole nights and archives of frames: many image files solved at once, in this process or on a Dask cluster.

>>> import stelvane.batch
>>> table = stelvane.batch.solve_files(["night/"], up_cam=(0.0, 0.0, 1.0), fisheye_fov_deg=180.0)  # doctest: +SKIP
>>> table.to_parquet("night.parquet")  # doctest: +SKIP

Every file is solved by the per-file step of the ``stelvane solve`` command (`stelvane.files.SolveSettings`),
which reads its instant from the file itself; a file that fails becomes a row carrying its error. With a
``dask.distributed`` client the files run on the cluster's workers, which receive the shared settings (the
catalog included) once each, and the table is the one a serial run gives, bit for bit.
"""

from __future__ import annotations

import datetime as dt
import os
import uuid
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import replace
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

import stelvane
from stelvane import files
from stelvane.files import absolute_catalog_spec

if TYPE_CHECKING:
    import pandas as _pandas  # type: ignore[import-untyped,unused-ignore]

__all__ = ["COLUMNS", "absolute_catalog_spec", "iter_solve", "local_cluster", "solve_files", "to_frame"]

#: The table's columns, in order. The ellipse is the 2-sigma one; the covariance is in radians squared
#: (north, east), as `stelvane.Fix.covariance`; the budget_ columns are the 2-sigma ellipse of the fix's
#: `stelvane.error_budget` for the run's vertical and clock sigmas; a failed file has its error and empty
#: position fields.
COLUMNS = (
    "path", "utc", "utc_source", "catalog", "error", "latitude_deg", "longitude_deg", "semi_major_nm",
    "semi_minor_nm", "orientation_deg", "n_stars", "match_margin", "residual_rms_arcmin", "var_north_rad2",
    "cov_north_east_rad2", "var_east_rad2", "budget_semi_major_nm", "budget_semi_minor_nm",
    "budget_orientation_deg", "n_iterations", "used_sun", "matched_hr_ids",
)
# Tasks in flight per worker thread, and at least: enough to keep every thread busy while results travel back
# (and workers still joining the cluster), few enough that the scheduler never holds a whole archive at once.
TASKS_PER_THREAD = 4
MIN_TASKS_IN_FLIGHT = 16
# Files per task at most, when left to the batch: a task costs Dask about 3 ms of CPU time on this project's
# 2-core test machine (1.7 to 2.1 ms in the worker, 1.0 to 1.5 in the scheduler and client:
# bench/bench_batch.py), a sixth of a 1024x1024 all-sky frame's solve, so files go in runs that share a task.
MAX_FILES_PER_TASK = 16


def _failed(path: str, err: BaseException) -> files.FileFix:
    """The row of a file whose step raised, or whose task never returned (its workers died): the error's
    class and message on one line."""
    text = " ".join(str(err).split())
    return files.FileFix(path, None, "", "", f"{type(err).__name__}: {text}" if text else type(err).__name__, None)


def _solve_task(path: str, settings: files.SolveSettings) -> files.FileFix:
    """One file on a worker (or here). Whatever escapes the per-file step becomes the file's error, so that
    one file never stops a batch."""
    try:
        return settings.solve(path)
    except Exception as err:  # noqa: BLE001 - reported in the file's row rather than lost with the batch
        return _failed(path, err)


def _solve_run(paths: Sequence[str], settings: files.SolveSettings) -> list[files.FileFix]:
    """A run of files in one task, in their order."""
    return [_solve_task(p, settings) for p in paths]


def _serial(settings: files.SolveSettings, targets: Sequence[str]) -> Iterator[files.FileFix]:
    for target in targets:
        yield _solve_task(target, settings)


def _run_length(n_files: int, n_threads: int) -> int:
    """How many files share a task when the caller leaves it open: enough to spread Dask's cost per task,
    few enough that every worker thread gets TASKS_PER_THREAD tasks (the last ones finish together)."""
    return max(1, min(MAX_FILES_PER_TASK, n_files // (TASKS_PER_THREAD * max(1, n_threads))))


def _distributed(settings: files.SolveSettings, targets: Sequence[str], client: Any,
                 per_task: int | None) -> Iterator[files.FileFix]:
    """The files on the client's cluster in runs of `per_task` (or `_run_length`) files, yielded in input order.
    The settings travel once per worker (scattered, broadcast); at most TASKS_PER_THREAD runs per worker
    thread are in flight at a time."""
    from distributed import as_completed

    threads = sum(client.nthreads().values())
    size = per_task or _run_length(len(targets), threads)
    runs = [range(a, min(a + size, len(targets))) for a in range(0, len(targets), size)]
    shared = client.scatter(settings, broadcast=True, hash=False)
    batch_id = uuid.uuid4().hex[:12]
    window = max(MIN_TASKS_IN_FLIGHT, TASKS_PER_THREAD * threads)
    running = as_completed(loop=client.loop)
    run_of: dict[str, range] = {}

    def submit(j: int) -> None:
        future = client.submit(_solve_run, [targets[i] for i in runs[j]], shared, key=f"stelvane-solve-{batch_id}-{j}",
                               pure=False)
        run_of[future.key] = runs[j]
        running.add(future)

    submitted = min(window, len(runs))
    for j in range(submitted):
        submit(j)
    done: dict[int, files.FileFix] = {}
    next_out = 0
    try:
        for future in running:
            run = run_of.pop(future.key)
            try:
                done.update(zip(run, future.result()))
            except Exception as err:  # noqa: BLE001 - lost workers cost these files, not the batch
                done.update((i, _failed(targets[i], err)) for i in run)
            future.release()
            if submitted < len(runs):
                submit(submitted)
                submitted += 1
            while next_out in done:
                yield done.pop(next_out)
                next_out += 1
    finally:  # also when the caller stops early: nothing is left running or held on the workers
        client.cancel(list(running.futures))
        shared.release()


def local_cluster(n_workers: int, *, dashboard_address: str = ":0") -> Any:
    """A ``dask.distributed.LocalCluster`` suited to solving: `n_workers` processes of one thread each (the
    engine holds the interpreter lock while it solves, so threads would queue), without two of Dask's
    worker defaults that cost a solve CPU time (figures from ``bench/bench_batch.py``):

    - ``MALLOC_TRIM_THRESHOLD_=65536`` in the workers' environment also fixes glibc's mmap threshold, so
      every frame-sized buffer of a solve is mapped afresh and faulted in page by page: about 2250 page
      faults per 1024x1024 frame instead of about 150, and a quarter more CPU time. It is left out (unless
      this process's own environment sets it).
    - The statistical profiler samples every worker's stack every 10 ms for the dashboard's profile page;
      it is turned off, which about halves what an idle worker spends.

    `dashboard_address` is where the scheduler's web server (the dashboard) listens: by default a free port,
    named by the cluster's ``dashboard_link``, so that clusters never contend for Dask's usual :8787. Close
    the cluster when done (``with local_cluster(2) as cluster``).
    """
    import dask
    from distributed import LocalCluster

    with dask.config.set({"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None,
                          "distributed.worker.profile.enabled": False}):
        return LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True,
                            dashboard_address=dashboard_address)


def _targets(paths: Sequence[str]) -> list[str]:
    """Absolute paths, which a worker in another folder (or on another machine with the same mounts) opens
    as this process would."""
    return [os.path.abspath(p) for p in paths]


def iter_solve(paths: Sequence[str], settings: files.SolveSettings, *, client: Any = None,
               files_per_task: int | None = None) -> Iterator[files.FileFix]:
    """Given image file paths and the run's settings, yields each file's `stelvane.files.FileFix` in input
    order, as soon as it and every file before it are done.

    `client` is a ``dask.distributed.Client`` to run the files on its cluster, in tasks of `files_per_task`
    files each (None: up to 16, fewer when there are few files for the cluster's threads), or None to run
    them here, one after another. Each outcome's ``path`` is the path as given; the file is opened by its
    absolute path.
    """
    paths = [str(p) for p in paths]
    targets = _targets(paths)
    if files_per_task is not None and files_per_task < 1:
        raise ValueError(f"files_per_task must be at least 1, got {files_per_task}")
    outcomes = (_serial(settings, targets) if client is None else
                _distributed(settings, targets, client, files_per_task))
    for given, outcome in zip(paths, outcomes):
        yield outcome if outcome.path == given else replace(outcome, path=given)


def _need_pandas() -> Any:
    try:
        import pandas  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        raise ImportError("stelvane.batch tables need pandas (and pyarrow for Parquet): "
                          "pip install 'stelvane[batch]'") from None
    return pandas


def _row(outcome: files.FileFix) -> dict[str, Any]:
    rec = outcome.record()
    ellipse = rec["ellipse_2sigma_nm"] or (None, None, None)
    cov = rec["covariance"] or ((None, None), (None, None))
    budget = rec["budget_ellipse_2sigma_nm"] or (None, None, None)
    return {
        "path": outcome.path, "utc": outcome.utc, "utc_source": outcome.utc_source, "catalog": outcome.catalog,
        "error": outcome.error, "latitude_deg": rec["latitude_deg"], "longitude_deg": rec["longitude_deg"],
        "semi_major_nm": ellipse[0], "semi_minor_nm": ellipse[1], "orientation_deg": ellipse[2],
        "n_stars": rec["n_stars"], "match_margin": rec["match_margin"],
        "residual_rms_arcmin": rec["residual_rms_arcmin"], "var_north_rad2": cov[0][0],
        "cov_north_east_rad2": cov[0][1], "var_east_rad2": cov[1][1], "budget_semi_major_nm": budget[0],
        "budget_semi_minor_nm": budget[1], "budget_orientation_deg": budget[2], "n_iterations": rec["n_iterations"],
        "used_sun": rec["used_sun"], "matched_hr_ids": rec["matched_hr_ids"],
    }


# Column types: floats hold NaN and counts pandas' nullable integers for a failed file's empty fields.
_FLOATS = ("latitude_deg", "longitude_deg", "semi_major_nm", "semi_minor_nm", "orientation_deg",
           "residual_rms_arcmin", "var_north_rad2", "cov_north_east_rad2", "var_east_rad2", "budget_semi_major_nm",
           "budget_semi_minor_nm", "budget_orientation_deg")
_COUNTS = ("n_stars", "match_margin", "n_iterations")


def to_frame(outcomes: Iterable[files.FileFix]) -> _pandas.DataFrame:
    """A `pandas.DataFrame` of the outcomes in their order, with the columns `COLUMNS`: ``utc`` as UTC
    timestamps (NaT when the file gave no instant), position fields as float64 (NaN for a failed file),
    counts as nullable Int64, ``used_sun`` as nullable boolean and ``matched_hr_ids`` as lists of ints."""
    pd = _need_pandas()
    rows = [_row(o) for o in outcomes]
    columns: dict[str, Any] = {name: [r[name] for r in rows] for name in COLUMNS}
    columns["utc"] = pd.to_datetime(columns["utc"], utc=True).as_unit("us")
    for name in _FLOATS:
        columns[name] = np.array([np.nan if v is None else v for v in columns[name]], dtype=np.float64)
    for name in _COUNTS:
        columns[name] = pd.array(columns[name], dtype="Int64")
    columns["used_sun"] = pd.array(columns["used_sun"], dtype="boolean")
    return pd.DataFrame(columns)


def _input_files(paths: Iterable[str | Path]) -> list[str]:
    """Folders as their image files (as the command line expands them), anything else as given: a missing
    file becomes its own failed row rather than stopping the batch."""
    found: list[str] = []
    for given in paths:
        found.extend(files.expand_paths([given]) if Path(given).is_dir() else [str(given)])
    return found


def _shared_catalog(catalog: stelvane.Catalog | str | None) -> stelvane.Catalog | str | None:
    """The catalog as the workers should receive it, checked here first: a bad catalog is the caller's
    error, not every file's."""
    if isinstance(catalog, str):
        files.load_catalog(catalog)
        return files.absolute_catalog_spec(catalog)
    if catalog is not None and not isinstance(catalog, stelvane.Catalog):
        raise TypeError(f"catalog must be a stelvane.Catalog, a bundled name or 'CATALOG_PATH,PAIRS_PATH', "
                        f"not {type(catalog).__name__}")
    return catalog


def solve_files(
    paths: Iterable[str | Path], *, catalog: stelvane.Catalog | str | None = "allsky", client: Any = None,
    up_cam: Sequence[float] | None = None, up_csv: str | Path | None = None, focal_px: float | None = None,
    cx: float | None = None, cy: float | None = None, fisheye_fov_deg: float | None = None, k1: float = 0.0,
    k2: float = 0.0, k3: float = 0.0, k4: float = 0.0, utc: dt.datetime | None = None,
    sigma_arcmin: float | None = None, use_sun: bool = False, max_centroids: int | None = None,
    min_matched_stars: int | None = None, max_residual_rms_arcmin: float | None = None,
    mask: np.ndarray | None = None, up_sigma_arcmin: float = 0.0, clock_sigma_s: float = 0.0,
    camera: stelvane.Calibration | str | Path | None = None, progress: bool = False,
    files_per_task: int | None = None,
) -> _pandas.DataFrame:
    """Solves every image file of `paths` (files, and folders for their image files) and returns one row per
    file, in input order, as a `pandas.DataFrame` with the columns `COLUMNS`.

    Parameters
    ----------
    paths
        Image files (FITS, PNG, JPEG, TIFF, camera RAW) and folders, whose image files are taken sorted by name.
    catalog
        A `stelvane.Catalog`, a bundled name ("allsky", "pinhole"), "CATALOG_PATH,PAIRS_PATH", or None for the
        bundled catalog that suits the lens's field (as the ``stelvane solve`` command chooses).
    client
        A ``dask.distributed.Client``: the files are solved on its cluster, whose workers each receive the
        settings and the catalog once. None solves them in this process, one after another.
    up_cam, up_csv
        The local vertical in the camera frame: three floats for every file, or a CSV file with the header
        ``path,up_x,up_y,up_z`` holding one per file. Give exactly one.
    focal_px, cx, cy, fisheye_fov_deg, k1, k2, k3, k4
        The lens, as for `stelvane.resolve_fix`; `cx` and `cy` default to each frame's centre.
    camera
        A `stelvane.Calibration`, or the path of its JSON file (``stelvane calibrate -o FILE``), in place of
        the lens arguments: its `solve_kwargs()` are the lens, and its parameter uncertainty enters each fix's
        error budget.
    utc
        An aware datetime overriding every file's own instant (FITS DATE-AVG or DATE-OBS + EXPTIME/2; EXIF
        DateTimeOriginal with its offset + ExposureTime/2).
    sigma_arcmin, use_sun, max_centroids, min_matched_stars, max_residual_rms_arcmin, mask
        The solve options of `stelvane.resolve_fix`, the same for every file.
    up_sigma_arcmin, clock_sigma_s
        The vertical's and the clock's standard deviations, as for `stelvane.error_budget`: each fix's budget
        ellipse fills the ``budget_`` columns.
    progress
        Draw a progress bar on stderr (with tqdm, when installed).
    files_per_task
        On a cluster, how many files one Dask task solves, in their order. None: up to 16, fewer when there
        are few files for the cluster's threads; a task costs Dask a few milliseconds, so small frames are
        solved faster in runs.

    Returns
    -------
    pandas.DataFrame
        One row per file: ``error`` is empty for a solved file and otherwise says why it has no fix (unreadable,
        no instant, no match, ...); a failed file never stops the batch. The table is the same, bit for bit,
        whether the files ran here or on a cluster. ``DataFrame.to_parquet`` writes it (with pyarrow).

    Raises
    ------
    ValueError
        Lens arguments beside `camera`; neither or both of `up_cam` and `up_csv`, a folder without image files, a malformed `up_csv` or an
        unknown catalog name.
    OSError
        An `up_csv` file that cannot be read.
    stelvane.StelvaneError
        Catalog files that do not load (`stelvane.CatalogIOError`, `stelvane.CatalogFormatError`).

    Notes
    -----
    Folders are listed here; files are opened where they are solved, by absolute path, so that workers on
    other machines need the same mounts but this machine need not see a file to send it.
    """
    _need_pandas()  # before any file is solved, not after
    if (up_cam is None) == (up_csv is None):
        raise ValueError(files.ONE_VERTICAL)
    lens: dict[str, Any] = dict(focal_px=focal_px, cx=cx, cy=cy, fisheye_fov_deg=fisheye_fov_deg, k1=k1, k2=k2,
                                k3=k3, k4=k4)
    calibration = _calibration(camera, lens)
    if calibration is not None:
        lens = dict(calibration.solve_kwargs())
    given = _input_files(paths)
    up_table = None if up_csv is None else files.UpTable(up_csv)
    settings = files.SolveSettings(
        up_cam=None if up_cam is None else _up_vector(up_cam), up_table=up_table, catalog=_shared_catalog(catalog),
        utc=utc, **lens, calibration=calibration, sigma_arcmin=sigma_arcmin, use_sun=use_sun,
        max_centroids=max_centroids,
        min_matched_stars=min_matched_stars, max_residual_rms_arcmin=max_residual_rms_arcmin, mask=mask,
        up_sigma_arcmin=up_sigma_arcmin, clock_sigma_s=clock_sigma_s)
    outcomes = iter_solve(given, settings, client=client, files_per_task=files_per_task)
    return to_frame(_with_progress(outcomes, len(given), progress))


def _calibration(camera: stelvane.Calibration | str | Path | None,
                 lens: dict[str, Any]) -> stelvane.Calibration | None:
    """The calibration `camera` names, loaded here once; refused beside any lens argument of its own."""
    if camera is None:
        return None
    given = [name for name, value in lens.items() if value not in (None, 0.0)]
    if given:
        raise ValueError(f"camera gives the whole lens: drop {', '.join(given)}")
    if isinstance(camera, stelvane.Calibration):
        return camera
    if isinstance(camera, (str, os.PathLike)):
        return stelvane.Calibration.load(camera)
    raise TypeError(f"camera must be a stelvane.Calibration or the path of its JSON file, "
                    f"not {type(camera).__name__}")


def _up_vector(up_cam: Sequence[float]) -> tuple[float, float, float]:
    values = tuple(float(v) for v in up_cam)
    if len(values) != 3:
        raise ValueError(f"up_cam must be three floats, got {len(values)}")
    return values  # type: ignore[return-value]


def _with_progress(outcomes: Iterator[files.FileFix], total: int, show: bool) -> Iterator[files.FileFix]:
    if not show:
        return outcomes
    try:
        from tqdm import tqdm  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:  # the bar is a convenience: without tqdm the batch runs silently
        return outcomes
    return iter(tqdm(outcomes, total=total, desc="stelvane", unit="file", leave=False))
