"""stelvane.batch on a folder of rendered FITS frames with broken files among them: rows in input order, each
failure its own row, the table the same bit for bit in this process and on a two-process Dask cluster, the
catalog loaded once per worker, Parquet, and the command line's --workers and --scheduler."""

from __future__ import annotations

import csv
import datetime as dt
import math
import os
import shutil
import subprocess
import time
from pathlib import Path

import numpy as np
import pytest

import stelvane
from stelvane import catalogs

pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")
distributed = pytest.importorskip("distributed")
dask = pytest.importorskip("dask")
pytest.importorskip("astropy.io.fits")
from stelvane import batch, io  # noqa: E402
from test_cli import STELVANE, render, write_fits  # noqa: E402

UTC = dt.timezone.utc
LAT, LON = 35.0, -120.0
NIGHT = dt.datetime(2024, 3, 20, 3, 0, 0, tzinfo=UTC)
N_FRAMES = 6
SIZE = 640
LENS = dict(fisheye_fov_deg=180.0)
# A fix of a rendered sky lands this close to the place it was rendered for (centroid noise 0.2 arcmin).
FIX_TOL_NM = 1.0
BLANK_ERROR = "insufficient stars: needed 4, got 0"  # no detection: fewer than the 4 stars a match needs
NO_DATE_ERROR = "its header has no DATE-AVG or DATE-OBS: pass --utc"
TXT_ERROR = "unsupported file type '.txt': stelvane reads FITS, PNG, JPEG, TIFF and camera RAW"
FLOATS = ["latitude_deg", "longitude_deg", "semi_major_nm", "semi_minor_nm", "orientation_deg",
          "residual_rms_arcmin", "var_north_rad2", "cov_north_east_rad2", "var_east_rad2", "budget_semi_major_nm",
          "budget_semi_minor_nm", "budget_orientation_deg"]


def frame_time(k: int) -> dt.datetime:
    return NIGHT + dt.timedelta(minutes=20 * k)


@pytest.fixture(scope="module")
def night(tmp_path_factory):
    """The folder of good frames (a night from one place, the instant in DATE-OBS + EXPTIME/2) and, beside
    it, the broken files; returns (folder, up_cam, the mixed list of paths in the order they are given)."""
    root = tmp_path_factory.mktemp("night")
    good = root / "frames"
    good.mkdir()
    for k in range(N_FRAMES):
        when = frame_time(k)
        pixels, up_cam = render(LAT, LON, when, width=SIZE, height=SIZE, fov=180.0, seed=k + 1)
        write_fits(good / f"f{k:02d}.fits", pixels,
                   DATE_OBS=(when - dt.timedelta(seconds=20)).replace(tzinfo=None).isoformat(), EXPTIME=40.0)
    write_fits(root / "blank.fits", np.zeros((SIZE, SIZE), np.uint16), DATE_OBS="2024-03-20T03:00:00")
    write_fits(root / "nodate.fits", pixels)
    whole = (good / "f00.fits").read_bytes()
    (root / "truncated.fits").write_bytes(whole[: len(whole) // 3])
    (root / "notes.txt").write_text("not an image\n")
    given = [good / "f03.fits", root / "missing.fits", good / "f00.fits", root / "notes.txt", good / "f05.fits",
             root / "truncated.fits", good / "f01.fits", root / "blank.fits", root / "nodate.fits",
             good / "f02.fits", good / "f04.fits"]
    return good, up_cam, [str(p) for p in given]


@pytest.fixture(scope="module")
def serial(night):
    _, up_cam, given = night
    return batch.solve_files(given, up_cam=up_cam, **LENS)


@pytest.fixture(scope="module")
def client():
    # One cluster for the module: two worker processes of one thread, on free local ports, no dashboard. A
    # task whose worker dies fails at once (no retry), so that a lost file is seen as its row.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        with batch.local_cluster(2) as cluster, distributed.Client(cluster, timeout="60s") as c:
            c.wait_for_workers(2, timeout=120)
            yield c


def test_the_local_cluster_runs_one_thread_per_process_unprofiled_with_the_allocator_untouched(client):
    workers = client.scheduler_info()["workers"]
    assert client.nthreads() == {w: 1 for w in workers}
    assert len(set(client.run(os.getpid).values()) | {os.getpid()}) == 3
    assert all(info["host"] == "127.0.0.1" for info in workers.values())
    assert not client.dashboard_link.startswith("http://127.0.0.1:8787/")
    trim = os.environ.get("MALLOC_TRIM_THRESHOLD_")  # inherited when this process sets it, never added
    assert client.run(lambda: __import__("os").environ.get("MALLOC_TRIM_THRESHOLD_")) == {w: trim for w in workers}
    assert client.run(lambda: dask.config.get("distributed.worker.profile.enabled")) == {w: False for w in workers}


def test_rows_come_in_input_order_and_each_failure_is_its_own_row(night, serial):
    good, _, given = night
    assert list(serial["path"]) == given
    errors = dict(zip(serial["path"], serial["error"]))
    root = good.parent
    assert errors[str(root / "missing.fits")] == f"[Errno 2] No such file or directory: '{root / 'missing.fits'}'"
    assert errors[str(root / "notes.txt")] == TXT_ERROR
    assert errors[str(root / "blank.fits")] == BLANK_ERROR
    assert errors[str(root / "nodate.fits")] == NO_DATE_ERROR
    assert errors[str(root / "truncated.fits")] != ""
    failed = serial[serial["error"] != ""]
    assert len(failed) == 5
    assert failed[FLOATS].isna().all().all() and failed["n_stars"].isna().all()


def test_solved_rows_carry_their_files_instant_and_place(night, serial):
    good, _, _ = night
    solved = serial[serial["error"] == ""]
    assert sorted(solved["path"]) == [str(good / f"f{k:02d}.fits") for k in range(N_FRAMES)]
    for row in solved.itertuples():
        k = int(Path(row.path).stem[1:])
        assert row.utc == pd.Timestamp(frame_time(k))
        assert row.utc_source == "FITS DATE-OBS + EXPTIME/2"
        assert row.catalog == "allsky"
        north_nm = (row.latitude_deg - LAT) * 60.0
        east_nm = (row.longitude_deg - LON) * 60.0 * math.cos(math.radians(LAT))
        assert math.hypot(north_nm, east_nm) < FIX_TOL_NM
        assert row.n_stars == len(row.matched_hr_ids) >= 5
        assert row.semi_major_nm >= row.semi_minor_nm > 0.0


def test_the_table_has_its_columns_and_types(serial):
    assert list(serial.columns) == [
        "path", "utc", "utc_source", "catalog", "error", "latitude_deg", "longitude_deg", "semi_major_nm",
        "semi_minor_nm", "orientation_deg", "n_stars", "match_margin", "residual_rms_arcmin", "var_north_rad2",
        "cov_north_east_rad2", "var_east_rad2", "budget_semi_major_nm", "budget_semi_minor_nm",
        "budget_orientation_deg", "n_iterations", "used_sun", "matched_hr_ids"]
    assert list(serial.index) == list(range(len(serial)))
    assert str(serial["utc"].dtype) == "datetime64[us, UTC]"
    assert all(serial[c].dtype == np.float64 for c in FLOATS)
    assert [str(serial[c].dtype) for c in ("n_stars", "match_margin", "n_iterations", "used_sun")] == [
        "Int64", "Int64", "Int64", "boolean"]


def test_the_table_goes_to_parquet_and_back(serial, tmp_path):
    serial.to_parquet(tmp_path / "night.parquet")
    back = pd.read_parquet(tmp_path / "night.parquet")
    # Parquet hands list cells back as arrays.
    back["matched_hr_ids"] = [None if v is None else v.tolist() for v in back["matched_hr_ids"]]
    pd.testing.assert_frame_equal(back, serial, check_exact=True)


def test_the_budget_columns_carry_the_runs_sigmas(night, serial):
    good, up_cam, _ = night
    frames = [good / f"f{k:02d}.fits" for k in range(2)]
    table = batch.solve_files(frames, up_cam=up_cam, up_sigma_arcmin=3.0, clock_sigma_s=2.0, **LENS)
    for row, path in zip(table.itertuples(), frames):
        fix = stelvane.resolve_fix(*_frame_args(path, up_cam), **LENS)
        want = stelvane.error_budget(fix, up_sigma_arcmin=3.0, clock_sigma_s=2.0).ellipse_2sigma_nm
        assert (row.budget_semi_major_nm, row.budget_semi_minor_nm, row.budget_orientation_deg) == want
        # Without sigmas the budget holds the centroid and model terms alone: a smaller ellipse.
        plain = serial[serial["path"] == str(path)].iloc[0]
        assert plain.budget_semi_major_nm < row.budget_semi_major_nm


@pytest.fixture(scope="module")
def night_camera(night):
    """The night's lens calibrated from two of its own frames, as a user would before a batch."""
    good, up_cam, _ = night
    frames = [io.read_frame(good / f"f{k:02d}.fits") for k in range(2)]
    return stelvane.calibrate_camera([f.pixels for f in frames], catalogs.load("allsky"), fisheye_fov_deg=180.0,
                                     times_utc=[f.utc for f in frames], up_cam=[up_cam, up_cam])


@pytest.mark.parametrize("as_file", [False, True])
def test_a_calibrated_camera_gives_the_lens_and_its_budget_term(night, night_camera, tmp_path, as_file):
    good, up_cam, _ = night
    frames = [good / f"f{k:02d}.fits" for k in range(3)]
    camera = night_camera
    if as_file:
        camera = tmp_path / "camera.json"
        night_camera.save(camera)
    table = batch.solve_files(frames, up_cam=up_cam, camera=camera)
    lens = night_camera.solve_kwargs()
    plain = batch.solve_files(frames, up_cam=up_cam, **lens)
    assert (table["error"] == "").all()
    # The same lens, so the same fixes; the calibration's uncertainty only widens the budget.
    assert np.array_equal(table[["latitude_deg", "longitude_deg"]].to_numpy(),
                          plain[["latitude_deg", "longitude_deg"]].to_numpy())
    assert (table["budget_semi_major_nm"] > plain["budget_semi_major_nm"]).all()


def test_a_camera_beside_lens_arguments_is_refused(night, night_camera):
    good, up_cam, _ = night
    with pytest.raises(ValueError, match="^camera gives the whole lens: drop fisheye_fov_deg, k1$"):
        batch.solve_files([good / "f00.fits"], up_cam=up_cam, camera=night_camera, fisheye_fov_deg=180.0, k1=0.1)
    with pytest.raises(TypeError, match="^camera must be a stelvane.Calibration or the path of its JSON file, "
                                        "not dict$"):
        batch.solve_files([good / "f00.fits"], up_cam=up_cam, camera={})


def _frame_args(path, up_cam):
    """resolve_fix's arguments for a night frame: its pixels as the command reads them, its instant as written
    (DATE-OBS plus half the exposure)."""
    frame = io.read_frame(path)
    k = int(Path(path).stem[1:])
    return frame.pixels, None, SIZE / 2, SIZE / 2, up_cam, frame_time(k), catalogs.load("allsky")


def float_bits(frame):
    return frame[FLOATS].to_numpy(np.float64).view(np.int64)


@pytest.mark.parametrize("files_per_task", [None, 4])  # 11 files: one per task, and runs of 4, 4 and 3
def test_a_cluster_gives_the_serial_table_bit_for_bit(night, serial, client, files_per_task):
    _, up_cam, given = night
    table = batch.solve_files(given, up_cam=up_cam, client=client, files_per_task=files_per_task, **LENS)
    pd.testing.assert_frame_equal(table, serial, check_exact=True)
    assert np.array_equal(float_bits(table), float_bits(serial))
    # Nothing is left on the workers once the table is made (they are told so; it takes a moment).
    deadline = time.monotonic() + 30.0
    while any(client.run(lambda dask_worker: len(dask_worker.data)).values()) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert set(client.run(lambda dask_worker: len(dask_worker.data)).values()) == {0}


def test_the_vertical_comes_from_a_table_per_file(night, serial, tmp_path):
    good, up_cam, given = night
    table_path = tmp_path / "up.csv"
    with open(table_path, "w", newline="") as f:
        rows = csv.writer(f)
        rows.writerow(["path", "up_x", "up_y", "up_z"])
        for k in range(N_FRAMES - 1):  # none for the last frame
            rows.writerow([str(good / f"f{k:02d}.fits"), *up_cam])
    table = batch.solve_files(given, up_csv=table_path, **LENS)
    listed = table["path"].isin([str(good / f"f{k:02d}.fits") for k in range(N_FRAMES - 1)])
    pd.testing.assert_frame_equal(table[listed], serial[listed], check_exact=True)
    # The vertical is looked up before the file is read.
    assert list(table[~listed]["error"]) == [f"no up vector for it in {table_path}"] * (len(given) - N_FRAMES + 1)
    assert table[~listed]["utc"].isna().all()


def catalog_builds(client):
    """Counts, on every worker, the catalogs built from files (__init__) and from pickles (__setstate__)."""

    def install(dask_worker):
        cls = stelvane.Catalog
        counts = {"files": 0, "pickles": 0}
        init, setstate = cls.__init__, cls.__setstate__

        def counting_init(self, *args, **kwargs):
            counts["files"] += 1
            init(self, *args, **kwargs)

        def counting_setstate(self, state):
            counts["pickles"] += 1
            setstate(self, state)

        cls.__init__, cls.__setstate__ = counting_init, counting_setstate
        dask_worker.catalog_builds = (counts, init, setstate)

    client.run(install)


def read_catalog_builds(client):
    def uninstall(dask_worker):
        counts, init, setstate = dask_worker.catalog_builds
        stelvane.Catalog.__init__, stelvane.Catalog.__setstate__ = init, setstate
        del dask_worker.catalog_builds
        return counts

    return list(client.run(uninstall).values())


@pytest.mark.parametrize("given_as", ["object", "files"])
def test_each_worker_builds_the_catalog_once(night, client, tmp_path, given_as):
    good, up_cam, _ = night
    frames = [str(good / f"f{k % N_FRAMES:02d}.fits") for k in range(3 * N_FRAMES)]
    if given_as == "object":
        catalog = catalogs.load("allsky")
    else:  # files that no worker has loaded yet
        copies = [shutil.copy(p, tmp_path) for p in catalogs.paths("allsky")]
        catalog = ",".join(copies)
    catalog_builds(client)
    try:
        table = batch.solve_files(frames, catalog=catalog, up_cam=up_cam, client=client, **LENS)
    finally:
        builds = read_catalog_builds(client)
    assert (table["error"] == "").all(), set(table["error"])
    if given_as == "object":  # shipped once to every worker, with the settings
        assert builds == [{"files": 0, "pickles": 1}] * 2, builds
    else:  # loaded by each worker that solved a file, once
        assert all(b["pickles"] == 0 and b["files"] <= 1 for b in builds) and sum(b["files"] for b in builds) >= 1


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(up_cam=(0.0, 0.0, 1.0), up_csv="up.csv"), ValueError,
     "give the vertical either as up_cam, for every file, or as a table of one per file"),
    (dict(), ValueError, "give the vertical either as up_cam, for every file, or as a table of one per file"),
    (dict(up_cam=(0.0, 1.0)), ValueError, "up_cam must be three floats, got 2"),
    (dict(up_cam=(0.0, 0.0, 1.0), catalog="everything"), ValueError,
     "catalog 'everything' is neither a bundled name (allsky, pinhole) nor CATALOG_PATH,PAIRS_PATH"),
    (dict(up_cam=(0.0, 0.0, 1.0), catalog=3), TypeError,
     "catalog must be a stelvane.Catalog, a bundled name or 'CATALOG_PATH,PAIRS_PATH', not int"),
])
def test_bad_arguments_are_refused_before_any_file(night, kwargs, error, message):
    good, _, _ = night
    with pytest.raises(error) as info:
        batch.solve_files([good / "f00.fits"], **LENS, **kwargs)
    assert str(info.value) == message


# ---- the command line ----------------------------------------------------------------------------------------


def run_cli(*args, cwd):
    return subprocess.run([STELVANE, *map(str, args)], capture_output=True, text=True, timeout=300, cwd=cwd)


@pytest.fixture(scope="module")
def serial_csv(night, tmp_path_factory):
    good, up_cam, _ = night
    out = tmp_path_factory.mktemp("serial") / "night.csv"
    done = run_cli("solve", good, "--fov", 180, "--up", ",".join(map(repr, up_cam)), "--csv", out, "--quiet",
                   cwd=good.parent)
    assert done.returncode == 0, done.stderr
    return out.read_text()


@pytest.mark.parametrize("cluster", ["--workers", "--scheduler"])
def test_the_command_solves_on_a_cluster_as_it_does_alone(night, serial_csv, client, tmp_path, cluster):
    good, up_cam, _ = night
    where = ["--workers", 2] if cluster == "--workers" else ["--scheduler", client.scheduler.address]
    out = tmp_path / "night.csv"
    done = run_cli("solve", good, "--fov", 180, "--up", ",".join(map(repr, up_cam)), "--csv", out, *where,
                   cwd=good.parent)
    assert done.returncode == 0, done.stderr
    assert out.read_text() == serial_csv
    assert len(done.stdout.splitlines()) == N_FRAMES
    assert done.stderr.splitlines()[-1] == f"stelvane: {N_FRAMES} of {N_FRAMES} files solved"


# Last: the worker it kills is restarted, and nothing else runs on the cluster after it.
def test_a_file_whose_worker_dies_is_a_row_and_the_batch_goes_on(night, serial, client):
    _, up_cam, given = night
    doomed = given[4]

    def install(dask_worker):
        import os

        from stelvane import files

        solve = files.SolveSettings.solve

        def dying(self, path):
            if path == doomed:
                os._exit(3)
            return solve(self, path)

        files.SolveSettings.solve = dying
        dask_worker.undo_dying = lambda: setattr(files.SolveSettings, "solve", solve)

    client.run(install)
    try:
        table = batch.solve_files(given, up_cam=up_cam, client=client, **LENS)
    finally:
        client.wait_for_workers(2, timeout=120)  # the nanny restarts the dead worker
        client.run(lambda dask_worker: getattr(dask_worker, "undo_dying", lambda: None)())
    assert list(table["path"]) == given
    lost = table["error"].str.startswith("KilledWorker: ")
    assert lost[4]
    assert "\n" not in table["error"][4] and np.isnan(table["latitude_deg"][4])
    # Tasks queued on the worker when it died are lost with it; every other row is the serial one.
    pd.testing.assert_frame_equal(table[~lost], serial[~lost], check_exact=True)
