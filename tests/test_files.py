"""Image readers, file instants and the per-file solve's helpers (stelvane.io, stelvane.files), in process."""

import datetime as dt
import math
import sys

import numpy as np
import pytest

from stelvane import files, io

fits = pytest.importorskip("astropy.io.fits")
Image = pytest.importorskip("PIL.Image")

UTC = dt.timezone.utc


def utc(*fields):
    return dt.datetime(*fields, tzinfo=UTC)


@pytest.mark.parametrize("tags, want, source", [
    # Swiss summer time, 0.5 s fraction, a 2 s exposure: 00:30:14.5+02:00 + 1 s.
    ({"DateTimeOriginal": "2024:08:12 00:30:14", "SubsecTimeOriginal": "5", "OffsetTimeOriginal": "+02:00",
      "ExposureTime": 2.0}, utc(2024, 8, 11, 22, 30, 15, 500000),
     "EXIF DateTimeOriginal + SubsecTimeOriginal + OffsetTimeOriginal + ExposureTime/2"),
    # tifffile gives rationals as (numerator, denominator); a padded fraction "050" is 0.05 s.
    ({"DateTimeOriginal": "2024:01:15 00:30:01\x00", "SubsecTimeOriginal": "050 ", "OffsetTimeOriginal": "-05:30",
      "ExposureTime": (1, 4)}, utc(2024, 1, 15, 6, 0, 1, 175000),
     "EXIF DateTimeOriginal + SubsecTimeOriginal + OffsetTimeOriginal + ExposureTime/2"),
    ({"DateTimeOriginal": "2023:12:31 23:59:59", "OffsetTimeOriginal": "+00:00"}, utc(2023, 12, 31, 23, 59, 59),
     "EXIF DateTimeOriginal + OffsetTimeOriginal"),
])
def test_exif_instant(tags, want, source):
    when, got_source = io.exif_instant(tags)
    assert when == want and when.utcoffset() is not None
    assert got_source == source


@pytest.mark.parametrize("tags, message", [
    ({}, "its EXIF holds no DateTimeOriginal: pass --utc"),
    ({"DateTimeOriginal": "2024-08-12 00:30", "OffsetTimeOriginal": "+02:00"},
     "its EXIF DateTimeOriginal '2024-08-12 00:30' is not a date and time: pass --utc"),
    ({"DateTimeOriginal": "2024:08:12 00:30:14", "OffsetTimeOriginal": "   :  "},
     "its EXIF time 2024-08-12 00:30:14 has no UTC offset (OffsetTimeOriginal), so it fixes no instant: pass "
     "--utc with the offset, e.g. --utc 2024-08-12T00:30:14+00:00 if the camera clock keeps UTC"),
])
def test_exif_instant_refusals(tags, message):
    with pytest.raises(io.TimeError) as err:
        io.exif_instant(tags)
    assert str(err.value) == message
    assert isinstance(err.value, io.StelvaneError)


@pytest.mark.parametrize("image, primary, want, source", [
    ({"DATE-AVG": "2024-03-20T03:06:00.5", "DATE-OBS": "2024-03-20T03:00:00", "EXPTIME": 60.0}, {},
     utc(2024, 3, 20, 3, 6, 0, 500000), "FITS DATE-AVG"),
    ({"DATE-OBS": "2024-03-20T03:05:40", "EXPTIME": 40, "TIMESYS": "utc"}, {},
     utc(2024, 3, 20, 3, 6, 0), "FITS DATE-OBS + EXPTIME/2"),
    ({"DATE-OBS": "2024-03-20", "TIME-OBS": "03:05:59.5", "EXPTIME": 1.0}, {},
     utc(2024, 3, 20, 3, 6, 0), "FITS DATE-OBS + TIME-OBS + EXPTIME/2"),
    ({}, {"DATE-OBS": "2024-03-20T03:06:00"}, utc(2024, 3, 20, 3, 6, 0),
     "FITS DATE-OBS (no EXPTIME: the start of the exposure)"),
])
def test_fits_instant(image, primary, want, source):
    assert io.fits_instant(image, primary) == (want, source)


@pytest.mark.parametrize("header, message", [
    ({"DATE-OBS": "2024-03-20T03:06:00", "TIMESYS": "TAI"}, "its header times are in TIMESYS 'TAI', not UTC: "
                                                            "pass --utc"),
    ({"EXPTIME": 1.0}, "its header has no DATE-AVG or DATE-OBS: pass --utc"),
    ({"DATE-OBS": "20/03/24"}, "DATE-OBS = '20/03/24' is not an ISO 8601 date and time: pass --utc"),
    ({"DATE-OBS": "2024-03-20T03:06:00", "EXPTIME": "long"}, "EXPTIME = 'long' is not a number of seconds: "
                                                             "pass --utc"),
    ({"DATE-OBS": "2024-03-20T03:06:00", "EXPTIME": -2.0}, "EXPTIME = -2.0 is not a number of seconds: pass --utc"),
])
def test_fits_instant_refusals(header, message):
    with pytest.raises(io.TimeError) as err:
        io.fits_instant(header)
    assert str(err.value) == message


def test_parse_utc_keeps_the_offset():
    when = io.parse_utc("2024-03-20T05:06:00.25+02:00")
    assert when == utc(2024, 3, 20, 3, 6, 0, 250000) and when.utcoffset() == dt.timedelta(hours=2)
    assert io.parse_utc("2024-03-20T03:06:00Z") == utc(2024, 3, 20, 3, 6)


# sRGB code values and their linear light, from the IEC 61966-2-1 curve (128/255 -> 0.2158605001138992).
@pytest.mark.parametrize("code, linear", [(0, 0.0), (10, 10 / 255 / 12.92), (128, 0.2158605001138992), (255, 1.0)])
def test_eight_bit_grey_png_is_linearised(tmp_path, code, linear):
    Image.fromarray(np.full((4, 6), code, np.uint8)).save(tmp_path / "g.png")
    frame = io.read_frame(tmp_path / "g.png")
    assert frame.pixels.dtype == np.uint16 and frame.pixels.shape == (4, 6)
    assert np.all(frame.pixels == round(linear * 65535))
    assert frame.utc is None and frame.utc_note == "its EXIF holds no DateTimeOriginal: pass --utc"


@pytest.mark.parametrize("rgb, weight", [((255, 0, 0), 0.2126), ((0, 255, 0), 0.7152), ((0, 0, 255), 0.0722)])
def test_colour_becomes_rec709_luminance(tmp_path, rgb, weight):
    Image.fromarray(np.tile(np.array(rgb, np.uint8), (3, 5, 1))).save(tmp_path / "c.png")
    assert np.all(io.read_frame(tmp_path / "c.png").pixels == round(weight * 65535))


def test_sixteen_bit_grey_png_is_taken_unchanged(tmp_path):
    pixels = np.arange(0, 65536, 16, dtype=np.uint16).reshape(64, 64)
    Image.fromarray(pixels).save(tmp_path / "g16.png")
    assert np.array_equal(io.read_frame(tmp_path / "g16.png").pixels, pixels)


def _fits(path, data, **header):
    h = fits.Header()
    for key, value in header.items():
        h[key] = value
    fits.PrimaryHDU(data, h).writeto(path)
    return path


@pytest.mark.parametrize("data, want", [
    (np.array([[0, 1, 65535]], np.uint16), [[0, 1, 65535]]),  # BITPIX 16 with BZERO 32768: exact
    (np.array([[0, 7, 255]], np.uint8), [[0, 7, 255]]),
    (np.array([[5, 70000, -3]], np.int32), [[round(8 / 70003 * 65535), 65535, 0]]),  # stretched
    (np.array([[0.0, 0.5, 1.0, np.nan]], np.float32), [[0, 32768, 65535, 0]]),  # NaN takes the minimum
])
def test_fits_pixels(tmp_path, data, want):
    frame = io.read_frame(_fits(tmp_path / "f.fits", data))
    assert frame.pixels.tolist() == want


def test_fits_colour_cube_and_refusals(tmp_path):
    cube = np.stack([np.full((2, 3), v, np.uint16) for v in (1000, 2000, 4000)])
    want = round(0.2126 * 1000 + 0.7152 * 2000 + 0.0722 * 4000)
    assert np.all(io.read_frame(_fits(tmp_path / "rgb.fits", cube)).pixels == want)
    with pytest.raises(io.ReadError) as err:
        io.read_frame(_fits(tmp_path / "line.fits", np.arange(5, dtype=np.uint16)))
    assert str(err.value) == "it holds no image HDU with 2-D data"


@pytest.mark.parametrize("focal_px, fov, width, height, want", [
    (None, 180.0, 1024, 1024, "allsky"),
    (2200.0, None, 1920, 1080, "allsky"),  # 53 degrees across the diagonal
    (4000.0, None, 1280, 960, "pinhole"),  # 22.6 degrees
    (800 / math.tan(math.radians(15.0)) * 1.000001, None, 1280, 960, "pinhole"),  # just under 30 degrees
    (800 / math.tan(math.radians(15.0)) * 0.999999, None, 1280, 960, "allsky"),  # just over
])
def test_catalog_for_lens(focal_px, fov, width, height, want):
    assert files.catalog_for_lens(focal_px, fov, width, height) == want


@pytest.mark.parametrize("lat_deg, orientation_deg", [(0.0, 0.0), (51.5, 30.0), (70.0, 90.0), (-33.9, -60.0)])
def test_ellipse_ring_axes_on_the_sphere(lat_deg, orientation_deg):
    import stelvane

    a_nm, b_nm = 6.0, 2.0
    ring = files.ellipse_ring(lat_deg, 10.0, a_nm, b_nm, orientation_deg, vertices=360)
    assert ring[0] == ring[-1] and len(ring) == 361
    # Vertex 0 lies a_nm along the major axis's azimuth, vertex 90 b_nm across it.
    for vertex, length, azimuth in ((0, a_nm, orientation_deg), (90, b_nm, orientation_deg - 90.0)):
        lon, lat = ring[vertex]
        assert stelvane.great_circle_nm(lat_deg, 10.0, lat, lon) == pytest.approx(length, rel=1e-3)
        bearing = math.degrees(math.atan2((lon - 10.0) * math.cos(math.radians(lat_deg)), lat - lat_deg))
        assert (bearing - azimuth + 180.0) % 360.0 - 180.0 == pytest.approx(0.0, abs=0.1)


def test_up_table(tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "up.csv").write_text("path,up_x,up_y,up_z\na/one.fits,0,0,1\ntwo.png,0.1,0.2,0.9\n"
                                     "a/two.png,1,0,0\n/abs/three.jpg,0,1,0\n")
    table = files.UpTable(tmp_path / "up.csv")
    assert table.lookup(tmp_path / "a" / "one.fits") == (0.0, 0.0, 1.0)
    assert table.lookup("/elsewhere/one.fits") == (0.0, 0.0, 1.0)  # by its unique name
    assert table.lookup(tmp_path / "a" / "two.png") == (1.0, 0.0, 0.0)
    assert table.lookup("/abs/three.jpg") == (0.0, 1.0, 0.0)
    with pytest.raises(LookupError) as err:
        table.lookup("/elsewhere/two.png")
    assert str(err.value) == f"2 rows of {tmp_path / 'up.csv'} carry its file name: give its path"
    with pytest.raises(LookupError) as err:
        table.lookup("four.png")
    assert str(err.value) == f"no up vector for it in {tmp_path / 'up.csv'}"


@pytest.mark.parametrize("text, message", [
    ("path,x,y,z\n", "needs the header columns path, up_x, up_y, up_z (missing up_x, up_y, up_z)"),
    ("path,up_x,up_y,up_z\na.png,0,0,1\nb.png,0,zero,1\n", "line 3: up_x, up_y, up_z must be numbers"),
])
def test_up_table_refusals(tmp_path, text, message):
    (tmp_path / "up.csv").write_text(text)
    with pytest.raises(ValueError) as err:
        files.UpTable(tmp_path / "up.csv")
    assert str(err.value).endswith(message)


def test_read_mask(tmp_path):
    mask = np.zeros((3, 4), bool)
    mask[0, 1] = True
    np.save(tmp_path / "m.npy", mask)
    assert np.array_equal(files.read_mask(tmp_path / "m.npy"), mask)
    Image.fromarray(mask.astype(np.uint8) * 255).save(tmp_path / "m.png")
    assert np.array_equal(files.read_mask(tmp_path / "m.png"), mask)
    np.save(tmp_path / "u8.npy", mask.astype(np.uint8))
    with pytest.raises(ValueError) as err:
        files.read_mask(tmp_path / "u8.npy")
    assert str(err.value).endswith("a .npy mask must hold a 2-D bool array (got 2-D uint8)")


def test_solve_path_returns_failures_as_values(tmp_path):
    when = utc(2024, 3, 20, 3, 6)
    missing = files.solve_path(tmp_path / "none.fits", up_cam=(0, 0, 1), focal_px=1000.0, utc=when)
    assert not missing.solved and missing.error.startswith("[Errno 2] No such file or directory")
    _fits(tmp_path / "dark.fits", np.full((100, 120), 1000, np.uint16), **{"DATE-OBS": "2024-03-20T03:06:00"})
    dark = files.solve_path(tmp_path / "dark.fits", up_cam=(0, 0, 1), focal_px=1000.0)
    # 120 x 100 px at focal 1000 px spans 8.9 degrees: the pinhole catalog.
    assert (dark.error, dark.utc, dark.catalog) == ("insufficient stars: needed 4, got 0", when, "pinhole")
    assert (dark.width, dark.height) == (120, 100)


@pytest.mark.parametrize("name, module, message", [
    ("f.fits", "astropy.io.fits", "reading FITS needs astropy: pip install 'stelvane[files]'"),
    ("f.jpg", "PIL.Image", "reading PNG and JPEG needs Pillow: pip install 'stelvane[files]'"),
    ("f.tif", "tifffile", "reading TIFF needs tifffile: pip install 'stelvane[files]'"),
    ("f.dng", "rawpy", "reading camera RAW needs rawpy: pip install 'stelvane[files]'"),
])
def test_missing_reader_library_names_the_extra(tmp_path, monkeypatch, name, module, message):
    monkeypatch.setitem(sys.modules, module, None)  # import then raises ImportError
    (tmp_path / name).write_bytes(b"\0" * 64)
    with pytest.raises(io.ReadError) as err:
        io.read_frame(tmp_path / name)
    assert str(err.value) == message


@pytest.mark.parametrize("paths, want", [
    (["a/sky.fits"], ["out.png"]),
    (["a/sky.fits", "a/sky.jpg", "b/sky.fits"], ["out-sky.fits.png", "out-sky.jpg.png", "out-sky.fits-2.png"]),
])
def test_plot_targets(paths, want):
    from stelvane import cli

    assert cli.plot_targets("out.png", paths) == want


@pytest.mark.parametrize("planar", ["contig", "separate"])
def test_sixteen_bit_colour_tiff_either_layout(tmp_path, planar):
    tifffile = pytest.importorskip("tifffile")
    rgb = np.stack([np.full((4, 5), v, np.uint16) for v in (1000, 2000, 4000)], axis=-1)
    data = rgb if planar == "contig" else np.moveaxis(rgb, -1, 0)
    tifffile.imwrite(tmp_path / "c.tif", data, photometric="rgb", planarconfig=planar)
    want = round(0.2126 * 1000 + 0.7152 * 2000 + 0.0722 * 4000)
    assert np.all(io.read_frame(tmp_path / "c.tif").pixels == want)
