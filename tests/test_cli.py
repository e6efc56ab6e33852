"""The installed `stelvane` command on real files: FITS, PNG, JPEG, TIFF and DNG written by their own libraries
from rendered skies, solved as a subprocess and checked against the places and instants they were rendered for."""

import csv
import datetime as dt
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import stelvane
from stelvane import catalogs, files

fits = pytest.importorskip("astropy.io.fits")
Image = pytest.importorskip("PIL.Image")
ExifTags = pytest.importorskip("PIL.ExifTags")
tifffile = pytest.importorskip("tifffile")
pytest.importorskip("rawpy")

UTC = dt.timezone.utc
# A fix of a rendered sky lands this close to the place it was rendered for (centroid noise 0.2 arcmin).
FIX_TOL_NM = 1.0
NM_PER_DEG = 60.0
STELVANE = shutil.which("stelvane", path=os.path.dirname(sys.executable)) or "stelvane"


def _jd(when):
    u = when.astimezone(UTC)
    return stelvane.julian_date(u.year, u.month, u.day, u.hour, u.minute, u.second + u.microsecond / 1e6)


def render(lat, lon, when, *, width=1920, height=1080, focal_px=2200.0, fov=None, seed=3):
    """A rendered sky (16-bit, linear) and its truth: the place, the mid-exposure instant, up_cam."""
    catalog = catalogs.load("allsky" if fov else "pinhole")
    scene = stelvane.synthesize_scene(catalog, lat, lon, _jd(when), 0.0, width, height, None if fov else focal_px,
                                      3.5 if fov else 6.0, 0.2, 0.0, 30.0, seed, fisheye_fov_deg=fov)
    return scene.pixels, scene.up_cam


def srgb_encode(linear_unit):
    """The sRGB transfer curve (IEC 61966-2-1), the inverse of what the reader undoes."""
    v = np.clip(linear_unit, 0.0, 1.0)
    return np.where(v <= 0.0031308, 12.92 * v, 1.055 * v ** (1 / 2.4) - 0.055)


def exif(local_time=None, offset=None, subsec=None, exposure_s=None):
    from PIL.TiffImagePlugin import IFDRational

    tags = Image.Exif()
    tags[ExifTags.Base.Make] = "stelvane"  # Pillow writes no EXIF whose main directory is empty
    sub = tags.get_ifd(ExifTags.IFD.Exif)
    if local_time is not None:
        sub[ExifTags.Base.DateTimeOriginal] = local_time
    if offset is not None:
        sub[ExifTags.Base.OffsetTimeOriginal] = offset
    if subsec is not None:
        sub[ExifTags.Base.SubsecTimeOriginal] = subsec
    if exposure_s is not None:
        sub[ExifTags.Base.ExposureTime] = IFDRational(*exposure_s)
    return tags


def write_fits(path, pixels, **header):
    h = fits.Header()
    for key, value in header.items():
        h[key.replace("_", "-")] = value
    fits.PrimaryHDU(pixels, h).writeto(path)


def write_dng(path, pixels, local_time, offset):
    """A minimal Bayer DNG (RGGB, identity colour matrix, neutral white balance) that LibRaw reads; the
    capture time sits in IFD0 as TIFF/EP places it."""
    extratags = [
        (33421, "H", 2, (2, 2), True),  # CFARepeatPatternDim
        (33422, "B", 4, (0, 1, 1, 2), True),  # CFAPattern RGGB
        (50706, "B", 4, (1, 4, 0, 0), True),  # DNGVersion
        (50708, "s", 0, "stelvane test camera", True),  # UniqueCameraModel
        (50714, "H", 1, 0, True),  # BlackLevel
        (50717, "H", 1, 65535, True),  # WhiteLevel
        (50721, "2i", 9, (1, 1, 0, 1, 0, 1, 0, 1, 1, 1, 0, 1, 0, 1, 0, 1, 1, 1), True),  # ColorMatrix1
        (50728, "2I", 3, (1, 1, 1, 1, 1, 1), True),  # AsShotNeutral
        (50778, "H", 1, 21, True),  # CalibrationIlluminant1: D65
        (36867, "s", 0, local_time, True),  # DateTimeOriginal
        (36881, "s", 0, offset, True),  # OffsetTimeOriginal
    ]
    tifffile.imwrite(path, pixels, photometric=32803, subfiletype=0, extratags=extratags, metadata=None)


def run(*args, cwd):
    done = subprocess.run([STELVANE, *map(str, args)], cwd=cwd, capture_output=True, text=True, timeout=120)
    assert "Traceback" not in done.stderr, done.stderr
    return done


def error_nm(lat, lon, truth):
    return stelvane.great_circle_nm(truth[0], truth[1], lat, lon)


# Pinhole 1920x1080, focal 2200 px: one folder, each file a different place, instant and format.
PINHOLE = {
    "sky.fits": ((51.4779, -0.0015), dt.datetime(2024, 3, 20, 3, 6, 0, tzinfo=UTC)),
    "sky16.png": ((-33.86, 151.21), dt.datetime(2024, 6, 1, 12, 0, 7, 250000, tzinfo=UTC)),
    "sky.dng": ((40.0, -74.0), dt.datetime(2024, 1, 15, 5, 30, 1, tzinfo=UTC)),
    "notime.png": ((20.0, 30.0), dt.datetime(2023, 11, 2, 22, 10, 0, tzinfo=UTC)),
}


@pytest.fixture(scope="module")
def pinhole_dir(tmp_path_factory):
    """The folder of pinhole frames and the up-vector CSV beside it."""
    root = tmp_path_factory.mktemp("pinhole")
    night = root / "night"
    night.mkdir()
    ups = []
    for name, (place, when) in PINHOLE.items():
        pixels, up = render(*place, when)
        ups.append((f"night/{name}", *up))
        path = night / name
        if name == "sky.fits":  # the exposure started 20 s before its middle
            write_fits(path, pixels, DATE_OBS=(when - dt.timedelta(seconds=20)).replace(tzinfo=None).isoformat(),
                       EXPTIME=40.0, TIMESYS="UTC")
        elif name == "sky16.png":  # camera clock in local time, 10 hours ahead, a 1 s exposure
            local = when.astimezone(dt.timezone(dt.timedelta(hours=10))) - dt.timedelta(seconds=0.5)
            Image.fromarray(pixels).save(path, exif=exif(local.strftime("%Y:%m:%d %H:%M:%S"), "+10:00",
                                                         f"{local.microsecond // 10000:02d}", (1, 1)))
        elif name == "sky.dng":  # New York winter time, 5 hours behind
            local = when.astimezone(dt.timezone(-dt.timedelta(hours=5)))
            write_dng(path, pixels, local.strftime("%Y:%m:%d %H:%M:%S"), "-05:00")
        else:
            Image.fromarray(pixels).save(path)
    with open(root / "up.csv", "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["path", "up_x", "up_y", "up_z"])
        w.writerows(ups)
    return root


@pytest.fixture(scope="module")
def pinhole_run(pinhole_dir):
    done = run("solve", "night", "--focal", 2200, "--up-csv", "up.csv", "--json", "--csv", "out.csv",
               "--geojson", "out.geojson", cwd=pinhole_dir)
    return done, [json.loads(line) for line in done.stdout.splitlines()]


def test_folder_solves_each_file_at_its_own_place_and_instant(pinhole_run):
    done, rows = pinhole_run
    assert done.returncode == 1  # notime.png has no instant
    assert [Path(r["path"]).name for r in rows] == sorted(PINHOLE)
    for row in rows:
        place, when = PINHOLE[Path(row["path"]).name]
        if row["path"].endswith("notime.png"):
            continue
        assert row["error"] == ""
        assert dt.datetime.fromisoformat(row["utc"]) == when
        err = error_nm(row["latitude_deg"], row["longitude_deg"], place)
        assert err < FIX_TOL_NM, (row["path"], err)
        assert row["catalog"] == "allsky"  # a 53-degree diagonal


def test_json_fields(pinhole_run):
    _, rows = pinhole_run
    row = next(r for r in rows if r["path"].endswith("sky.fits"))
    assert list(row) == ["path", "utc", "utc_source", "catalog", "error", "latitude_deg", "longitude_deg",
                         "ellipse_2sigma_nm", "covariance", "n_stars", "matched_hr_ids", "residual_rms_arcmin",
                         "match_margin", "n_iterations", "used_sun", "budget_ellipse_2sigma_nm", "budget_covariance",
                         "budget_terms_2sigma_nm", "plate_scale_ratio", "plate_scale_ratio_sigma"]
    assert row["utc_source"] == "FITS DATE-OBS + EXPTIME/2"
    assert row["n_stars"] == len(row["matched_hr_ids"]) >= 4
    png = next(r for r in rows if r["path"].endswith("sky16.png"))
    assert png["utc_source"] == "EXIF DateTimeOriginal + SubsecTimeOriginal + OffsetTimeOriginal + ExposureTime/2"


@pytest.fixture(scope="module")
def calibrated(pinhole_dir):
    """The three timed frames calibrated from a guess 3 % long and 20 px off."""
    return run("calibrate", "night/sky.fits", "night/sky16.png", "night/sky.dng", "--focal", 2266, "--cx", 980,
               "--cy", 520, "--up-csv", "up.csv", "-o", "camera.json", cwd=pinhole_dir)


def test_calibrate_writes_the_lens_it_fitted(pinhole_dir, calibrated):
    assert calibrated.returncode == 0, calibrated.stderr
    cal = stelvane.Calibration.load(pinhole_dir / "camera.json")
    assert abs(cal.focal_px / 2200 - 1) < 2e-4
    assert np.hypot(cal.cx - 960, cal.cy - 540) < 1.0
    assert cal.frame_star_counts[0] > 0 and len(cal.frame_star_counts) == 3
    line = calibrated.stdout.strip()
    assert line.startswith(f"camera.json: pinhole, focal_px {cal.focal_px:.3f} +- ")
    assert line.endswith(f"; rms {cal.residual_rms_px:.3f} px, {cal.n_stars} stars from 3 of 3 frames, "
                         f"{cal.n_rejected} rejected")


def test_solve_takes_the_lens_from_the_camera_file(pinhole_dir, calibrated):
    done = run("solve", "night/sky.fits", "--camera", "camera.json", "--up-csv", "up.csv", "--json", cwd=pinhole_dir)
    assert done.returncode == 0, done.stderr
    row = json.loads(done.stdout)
    assert error_nm(row["latitude_deg"], row["longitude_deg"], PINHOLE["sky.fits"][0]) < FIX_TOL_NM
    assert abs(row["plate_scale_ratio"] - 1) < 4 * row["plate_scale_ratio_sigma"] + 1e-4
    text = run("solve", "night/sky.fits", "--focal", 2204.4, "--up-csv", "up.csv", cwd=pinhole_dir).stdout
    ratio, sigma = (float(v) for v in text.split("lens scale ")[1].split()[:3:2])
    assert abs(ratio - 2200 / 2204.4) < 4 * sigma + 1e-4 and abs(ratio - 1) > 5 * sigma  # a focal 0.2 % long shows



# --camera brings the calibration's covariance into the budget: its term is error_budget's for the fix
# solved in-process with the file's lens; the lens options carry no uncertainty.
def test_the_camera_file_gives_the_budget_its_calibration_term(pinhole_dir, calibrated):
    with open(pinhole_dir / "up.csv", newline="") as f:
        up = next([float(r[k]) for k in ("up_x", "up_y", "up_z")] for r in csv.DictReader(f)
                  if r["path"] == "night/sky.fits")
    cal = stelvane.Calibration.load(pinhole_dir / "camera.json")
    pixels = files.read_frame(pinhole_dir / "night/sky.fits").pixels
    # A 53-degree diagonal: the command solves it with the allsky catalog.
    fix = stelvane.resolve_fix(pixels, up_cam=up, utc=PINHOLE["sky.fits"][1], catalog=catalogs.load("allsky"),
                               **cal.solve_kwargs())
    want = stelvane.error_budget(fix, up_sigma_arcmin=3.0, calibration=cal).contributions["calibration"]
    assert want.ellipse_2sigma_nm[0] > 0.01
    rows = {}
    for lens in (("--camera", "camera.json"), ("--focal", cal.focal_px, "--cx", cal.cx, "--cy", cal.cy)):
        done = run("solve", "night/sky.fits", *lens, "--up-csv", "up.csv", "--up-sigma", 3, "--json", cwd=pinhole_dir)
        assert done.returncode == 0, done.stderr
        rows[lens[0]] = json.loads(done.stdout)
    assert rows["--camera"]["budget_terms_2sigma_nm"]["calibration"] == pytest.approx(list(want.ellipse_2sigma_nm),
                                                                                      rel=1e-6)
    assert rows["--focal"]["budget_terms_2sigma_nm"]["calibration"] == [0.0, 0.0, 0.0]
    assert rows["--camera"]["budget_ellipse_2sigma_nm"][0] > rows["--focal"]["budget_ellipse_2sigma_nm"][0]


# The calibration travels to a cluster's workers with the run's settings.
def test_a_cluster_solves_with_the_camera_file_as_this_process_does(pinhole_dir, calibrated):
    pytest.importorskip("distributed")
    args = ("solve", "night/sky.fits", "--camera", "camera.json", "--up-csv", "up.csv", "--up-sigma", 3, "--json")
    alone = run(*args, cwd=pinhole_dir)
    done = run(*args, "--workers", 1, cwd=pinhole_dir)
    assert (alone.returncode, done.returncode) == (0, 0), done.stderr
    row = json.loads(done.stdout)
    assert row == json.loads(alone.stdout)
    assert row["budget_terms_2sigma_nm"]["calibration"][0] > 0.01


@pytest.mark.parametrize("args, code, message", [
    (("calibrate", "night/sky.fits", "--focal", 2600, "--up-csv", "up.csv", "-o", "far.json"), 1,
     "stelvane: calibration refused: no frame identified (none of 1 frames identified with the focal within 5 % "
     "of 2600.0 px)"),
    (("calibrate", "night/sky.fits", "--focal", 2266), 2,
     "stelvane calibrate: error: the following arguments are required: -o/--output (see --help)"),
    (("solve", "night/sky.fits", "--camera", "camera.json", "--focal", 2200, "--up", "0,0,1"), 2,
     "stelvane solve: error: --camera gives the whole lens: drop --focal, --fov, --cx, --cy and --k1..--k4 "
     "(see --help)"),
    (("solve", "night/sky.fits", "--camera", "absent.json", "--up", "0,0,1"), 2,
     "stelvane solve: error: --camera absent.json: No such file or directory (see --help)"),
])
def test_calibration_refusals(pinhole_dir, calibrated, args, code, message):
    done = run(*args, cwd=pinhole_dir)
    assert (done.returncode, done.stderr.strip().splitlines()[-1]) == (code, message)


def test_file_without_instant_is_a_row_naming_utc(pinhole_run):
    done, rows = pinhole_run
    row = next(r for r in rows if r["path"].endswith("notime.png"))
    assert row["error"] == "its EXIF holds no DateTimeOriginal: pass --utc"
    assert row["latitude_deg"] is None and row["utc"] is None
    assert f"stelvane: {row['path']}: its EXIF holds no DateTimeOriginal: pass --utc" in done.stderr.splitlines()


def test_csv_rows_in_input_order(pinhole_dir, pinhole_run):
    _, rows = pinhole_run
    with open(pinhole_dir / "out.csv", newline="") as f:
        table = list(csv.DictReader(f))
    assert [r["path"] for r in table] == [r["path"] for r in rows]
    for line, row in zip(table, rows):
        if row["error"]:
            assert line["error"] == row["error"]
            assert line["latitude_deg"] == line["longitude_deg"] == line["semi_major_nm"] == ""
        else:
            assert float(line["latitude_deg"]) == row["latitude_deg"]
            assert float(line["semi_minor_nm"]) == row["ellipse_2sigma_nm"][1]
            assert line["matched_hr_ids"] == " ".join(map(str, row["matched_hr_ids"]))


def test_geojson_point_is_lon_lat_and_polygon_is_its_ellipse(pinhole_dir, pinhole_run):
    _, rows = pinhole_run
    collection = json.loads((pinhole_dir / "out.geojson").read_text())
    assert collection["type"] == "FeatureCollection"
    solved = [r for r in rows if not r["error"]]
    points = [f for f in collection["features"] if f["geometry"]["type"] == "Point"]
    polygons = [f for f in collection["features"] if f["properties"]["role"] == "ellipse_2sigma"]
    assert len(points) == len(polygons) == len(solved)
    for point, polygon, row in zip(points, polygons, solved):
        assert point["geometry"]["coordinates"] == [row["longitude_deg"], row["latitude_deg"]]
        lon0, lat0 = point["geometry"]["coordinates"]
        ring = polygon["geometry"]["coordinates"][0]
        assert ring[0] == ring[-1]
        a, b, _ = row["ellipse_2sigma_nm"]
        # Distances on the sphere, independent of the local-plane layout of the ring (its orientation is
        # checked in test_files).
        dist = [stelvane.great_circle_nm(lat0, lon0, lat, lon) for lon, lat in ring]
        assert max(dist) == pytest.approx(a, rel=2e-3) and min(dist) == pytest.approx(b, rel=2e-3)
        signed_area = sum(x0 * y1 - x1 * y0 for (x0, y0), (x1, y1) in zip(ring, ring[1:]))
        assert signed_area > 0  # counter-clockwise exterior ring


# The error budget with the vertical's and the clock's sigmas: 3' per axis is a circle of 6 nm 2-sigma radius,
# 2 s of clock 2 x 2 x 0.2507 nm x cos(latitude) east-west (the sky turns 15.041 arcseconds a second).
def test_the_budget_in_every_output(pinhole_dir):
    args = ("solve", "night/sky.fits", "--focal", 2200, "--up-csv", "up.csv", "--up-sigma", 3, "--clock-sigma", 2)
    done = run(*args, "--json", "--csv", "budget.csv", "--geojson", "budget.geojson", cwd=pinhole_dir)
    assert done.returncode == 0, done.stderr
    (row,) = [json.loads(line) for line in done.stdout.splitlines()]
    terms = row["budget_terms_2sigma_nm"]
    assert list(terms) == ["centroid", "up", "clock", "calibration", "model"]
    assert terms["up"][:2] == pytest.approx([6.0, 6.0], rel=1e-9)
    clock_nm = 2 * 2 * 360.98564736629 / 86400 * 60 * np.cos(np.radians(row["latitude_deg"]))
    assert terms["clock"] == pytest.approx([clock_nm, 0.0, 90.0], rel=1e-4, abs=1e-9)
    a, b, orientation = row["budget_ellipse_2sigma_nm"]
    assert 6.0 < b <= a < 6.2
    with open(pinhole_dir / "budget.csv", newline="") as f:
        (line,) = list(csv.DictReader(f))
    assert [float(line[k]) for k in ("budget_semi_major_nm", "budget_semi_minor_nm", "budget_orientation_deg")] == \
        row["budget_ellipse_2sigma_nm"]
    features = json.loads((pinhole_dir / "budget.geojson").read_text())["features"]
    assert [f["properties"]["role"] for f in features] == ["fix", "ellipse_2sigma", "budget_2sigma"]
    ring = features[2]["geometry"]["coordinates"][0]
    dist = [stelvane.great_circle_nm(row["latitude_deg"], row["longitude_deg"], lat, lon) for lon, lat in ring]
    assert max(dist) == pytest.approx(a, rel=2e-3) and min(dist) == pytest.approx(b, rel=2e-3)
    text = run(*args, cwd=pinhole_dir).stdout
    assert f"budget 2-sigma {a:.2f} x {b:.2f} nm at {orientation:+.1f} deg" in text


# Fisheye 180 degrees on 1024x1024: an 8-bit sRGB colour JPEG with local time and offset, and a FITS with
# DATE-AVG, in one run with the text output and a plot per file.
FISHEYE = {
    "allsky.jpg": ((47.37, 8.54), dt.datetime(2024, 8, 11, 22, 30, 15, tzinfo=UTC)),
    "allsky.fits": ((-23.5, -46.6), dt.datetime(2025, 2, 3, 1, 2, 3, 500000, tzinfo=UTC)),
}


@pytest.fixture(scope="module")
def fisheye_run(tmp_path_factory):
    root = tmp_path_factory.mktemp("fisheye")
    for name, (place, when) in FISHEYE.items():
        pixels, up = render(*place, when, width=1024, height=1024, fov=180.0)
        assert up == pytest.approx((0.0, 0.0, 1.0), abs=1e-12)
        if name.endswith(".jpg"):  # Swiss summer time, a 2 s exposure; a faintly warm tint
            linear = pixels / 65535.0
            rgb = np.stack([linear * 1.05, linear, linear * 0.9], axis=-1)
            local = when.astimezone(dt.timezone(dt.timedelta(hours=2))) - dt.timedelta(seconds=1)
            Image.fromarray(np.rint(srgb_encode(rgb) * 255).astype(np.uint8)).save(
                root / name, quality=95, exif=exif(local.strftime("%Y:%m:%d %H:%M:%S"), "+02:00", None, (2, 1)))
        else:
            write_fits(root / name, pixels, DATE_AVG=when.replace(tzinfo=None).isoformat(), DATE_OBS="2000-01-01")
    done = run("solve", "allsky.jpg", "allsky.fits", "--fov", 180, "--up", "0,0,1", "--plot", "map.png",
               cwd=root)
    return root, done


def test_fisheye_text_output_and_plots(fisheye_run):
    root, done = fisheye_run
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == 2
    for line, (name, (place, when)) in zip(lines, FISHEYE.items()):
        path, rest = line.split(": ", 1)
        assert path == name
        lat, lon = (float(v) for v in rest.split()[:2])
        assert error_nm(lat, lon, place) < FIX_TOL_NM + 0.5 / NM_PER_DEG * 60  # printed to 1e-5 deg
        assert when.isoformat() in line
    assert "(FITS DATE-AVG)" in lines[1]
    assert "(EXIF DateTimeOriginal + OffsetTimeOriginal + ExposureTime/2)" in lines[0]
    for name in ("map-allsky.jpg.png", "map-allsky.fits.png"):
        with Image.open(root / name) as png:
            assert png.format == "PNG" and png.size[1] == 1024


def test_utc_option_overrides_and_tiff_reads_16bit_colour(tmp_path):
    place, when = PINHOLE["notime.png"]
    pixels, up = render(*place, when)
    tifffile.imwrite(tmp_path / "colour.tif", np.stack([pixels] * 3, axis=-1))
    Image.fromarray(pixels).save(tmp_path / "grey.png", exif=exif("1999:01:01 00:00:00", "+00:00"))
    local = when.astimezone(dt.timezone(dt.timedelta(hours=2))).isoformat()
    done = run("solve", "colour.tif", "grey.png", "--focal", 2200, "--up", ",".join(map(repr, up)), "--utc", local,
               "--json", "--quiet", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    for row in map(json.loads, done.stdout.splitlines()):
        assert row["utc_source"] == "given" and row["utc"] == when.isoformat()
        assert error_nm(row["latitude_deg"], row["longitude_deg"], place) < FIX_TOL_NM


@pytest.fixture(scope="module")
def bad_files(tmp_path_factory):
    root = tmp_path_factory.mktemp("bad")
    pixels = np.full((64, 96), 1000, np.uint16)
    Image.fromarray(pixels).save(root / "naive.png", exif=exif("2024:03:20 04:06:00"))
    write_fits(root / "tt.fits", pixels, DATE_OBS="2024-03-20T03:06:00", TIMESYS="TT")
    write_fits(root / "whole.fits", pixels, DATE_OBS="2024-03-20T03:06:00")
    data = (root / "whole.fits").read_bytes()
    (root / "cut.fits").write_bytes(data[: len(data) - 4000])
    (root / "whole.fits").unlink()
    Image.fromarray((pixels >> 8).astype(np.uint8)).save(root / "whole.jpg", exif=exif("2024:03:20 03:06:00",
                                                                                         "+00:00"))
    (root / "cut.jpg").write_bytes((root / "whole.jpg").read_bytes()[:300])
    (root / "whole.jpg").unlink()
    (root / "notes.txt").write_text("not an image")
    (root / "flat.png").write_bytes(b"\x89PNG\r\n\x1a\n" + b"\0" * 40)
    return root


BAD = {
    "naive.png": "its EXIF time 2024-03-20 04:06:00 has no UTC offset (OffsetTimeOriginal), so it fixes no "
                 "instant: pass --utc with the offset, e.g. --utc 2024-03-20T04:06:00+00:00 if the camera clock "
                 "keeps UTC",
    "tt.fits": "its header times are in TIMESYS 'TT', not UTC: pass --utc",
    "notes.txt": "unsupported file type '.txt': stelvane reads FITS, PNG, JPEG, TIFF and camera RAW",
}


def test_every_bad_file_is_one_error_line_and_the_run_goes_on(bad_files):
    names = ["naive.png", "tt.fits", "cut.fits", "cut.jpg", "notes.txt", "flat.png"]
    done = run("solve", *names, "--focal", 2000, "--up", "0,0,1", "--json", cwd=bad_files)
    assert done.returncode == 1
    rows = [json.loads(line) for line in done.stdout.splitlines()]
    assert [r["path"] for r in rows] == names
    errors = dict((r["path"], r["error"]) for r in rows)
    for name, message in BAD.items():
        assert errors[name] == message
    for name in ("cut.fits", "cut.jpg", "flat.png"):
        assert errors[name] and "\n" not in errors[name]
    stderr = done.stderr.splitlines()
    assert stderr[:-1] == [f"stelvane: {r['path']}: {r['error']}" for r in rows]
    assert stderr[-1] == "stelvane: 0 of 6 files solved"


@pytest.mark.parametrize("args, message", [
    (["solve", "x.fits", "--up", "0,0,1"], "give the lens: --focal F for a pinhole, or --fov DEG for a fisheye"),
    (["solve", "x.fits", "--up", "0,0,1", "--fov", "180", "--focal", "500"],
     "--focal is ignored by the ideal fisheye (--fov with --k1..--k4 all zero), whose focal fills the frame's "
     "shorter side: drop --focal, or give the calibrated --k1..--k4"),
    (["solve", "x.fits", "--up", "0,0,1", "--focal", "500", "--k2", "0.01"],
     "--k1..--k4 describe a calibrated fisheye: give --fov and --focal with them"),
    (["solve", "x.fits", "--up", "0,0,1", "--fov", "180", "--k1", "0.01"],
     "a calibrated fisheye (non-zero --k1..--k4) needs --focal, its real radial scale"),
    (["solve", "x.fits", "--up", "0,0,1", "--focal", "500", "--utc", "2024-03-20T03:06:00"],
     "--utc '2024-03-20T03:06:00' has no UTC offset, so it fixes no instant: append +00:00 (or Z) for UTC, or "
     "the zone's offset"),
    (["solve", "x.fits", "--up", "0,0,1", "--focal", "500", "--utc", "yesterday"],
     "--utc 'yesterday' is not an ISO 8601 instant such as 2024-03-20T03:06:00+00:00"),
    (["solve", "missing.fits", "--up", "0,0,1", "--focal", "500"], "missing.fits: no such file or folder"),
    (["solve", "x.fits", "--up", "0,0", "--focal", "500"], "argument --up: expected three finite numbers X,Y,Z, "
                                                           "got '0,0'"),
    (["solve", "x.fits", "--up", "0,0,1", "--focal", "500", "--catalog", "bright"],
     "--catalog bright: catalog 'bright' is neither a bundled name (allsky, pinhole) nor CATALOG_PATH,PAIRS_PATH"),
    (["solve", "empty", "--up", "0,0,1", "--focal", "500"], "empty: folder holds no image file (.fits, "),
    (["solve", "x.fits", "--up", "0,0,1", "--focal", "500", "--csv", "gone/out.csv"], "--csv gone/out.csv: folder "),
    (["solve", "x.fits", "--up", "0,0,1", "--focal", "500", "--mask", "x.fits"], "--mask x.fits: Empty or corrupt FITS "),
    (["solve", "x.fits", "--up", "0,0,1", "--focal", "500", "--up-sigma", "-1"],
     "argument --up-sigma: expected a number >= 0, got '-1'"),
    (["solve", "x.fits", "--up", "0,0,1", "--focal", "500", "--clock-sigma", "nan"],
     "argument --clock-sigma: expected a number >= 0, got 'nan'"),
])
def test_usage_errors_exit_2_with_one_line(tmp_path, monkeypatch, capsys, args, message):
    from stelvane import cli

    (tmp_path / "x.fits").write_bytes(b"")
    (tmp_path / "empty").mkdir()
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as stop:
        cli.main(args)
    assert stop.value.code == 2
    err = capsys.readouterr().err.splitlines()
    assert len(err) == 1
    assert err[0].startswith(f"stelvane solve: error: {message}") and err[0].endswith(" (see --help)")


@pytest.mark.parametrize("command, first_line", [
    ([sys.executable, "-m", "stelvane", "solve", "missing.fits", "--up", "0,0,1", "--focal", "500"],
     "stelvane solve: error: missing.fits: no such file or folder (see --help)"),
    ([STELVANE, "catalog", "--mag-limit", "6"],
     "stelvane.pipeline: error: the following arguments are required: --catalog-out, --pairs-out (see --help)"),
])
def test_installed_command_exits_2_on_usage_errors(tmp_path, command, first_line):
    done = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert done.returncode == 2
    assert done.stderr.splitlines() == [first_line]
