"""Per-file cost of `stelvane solve` by format: decoding the file against solving the frame.

Writes one rendered 1920x1080 pinhole sky (focal 2200 px, allsky catalog) in each format the command reads
(FITS 16-bit, PNG 16-bit grey, PNG 8-bit sRGB colour, JPEG 8-bit sRGB colour, TIFF 16-bit colour, DNG Bayer)
and prints the median milliseconds of `stelvane.io.read_frame` and of `stelvane.resolve_fix` on the decoded
frame, plus the whole `stelvane.files.solve_path`, and the decode share. The baseline, measured in the same run,
is `numpy.load` of the same frame as .npy (the cheapest way to get the pixels in). Prints figures only.

    python bench/bench_files.py [runs]
"""

import datetime as dt
import sys
import tempfile
from pathlib import Path

import numpy as np
from timing import median_s

import stelvane
from stelvane import catalogs, files, io

WHEN = dt.datetime(2024, 3, 20, 3, 6, tzinfo=dt.timezone.utc)


def _srgb8(linear_unit):
    v = np.clip(linear_unit, 0.0, 1.0)
    return np.rint(np.where(v <= 0.0031308, 12.92 * v, 1.055 * v ** (1 / 2.4) - 0.055) * 255).astype(np.uint8)


def write_formats(root: Path, pixels: np.ndarray) -> dict[str, Path]:
    from astropy.io import fits
    from PIL import Image
    import tifffile

    rgb8 = _srgb8(np.stack([pixels / 65535.0] * 3, axis=-1))
    out = {"npy (baseline)": root / "sky.npy", "FITS 16-bit": root / "sky.fits", "PNG 16-bit grey": root / "g16.png",
           "PNG 8-bit colour": root / "c8.png", "JPEG 8-bit colour": root / "c8.jpg",
           "TIFF 16-bit colour": root / "c16.tif", "DNG Bayer 16-bit": root / "sky.dng"}
    np.save(out["npy (baseline)"], pixels)
    fits.PrimaryHDU(pixels, fits.Header([("DATE-AVG", WHEN.replace(tzinfo=None).isoformat())])).writeto(
        out["FITS 16-bit"])
    Image.fromarray(pixels).save(out["PNG 16-bit grey"])
    Image.fromarray(rgb8).save(out["PNG 8-bit colour"])
    Image.fromarray(rgb8).save(out["JPEG 8-bit colour"], quality=95)
    tifffile.imwrite(out["TIFF 16-bit colour"], np.stack([pixels] * 3, axis=-1))
    tifffile.imwrite(out["DNG Bayer 16-bit"], pixels, photometric=32803, subfiletype=0, metadata=None, extratags=[
        (33421, "H", 2, (2, 2), True), (33422, "B", 4, (0, 1, 1, 2), True), (50706, "B", 4, (1, 4, 0, 0), True),
        (50708, "s", 0, "bench camera", True), (50714, "H", 1, 0, True), (50717, "H", 1, 65535, True),
        (50721, "2i", 9, (1, 1, 0, 1, 0, 1, 0, 1, 1, 1, 0, 1, 0, 1, 0, 1, 1, 1), True),
        (50728, "2I", 3, (1, 1, 1, 1, 1, 1), True), (50778, "H", 1, 21, True)])
    return out


def main(runs: int) -> None:
    catalog = catalogs.load("allsky")
    jd = stelvane.julian_date(2024, 3, 20, 3, 6, 0)
    scene = stelvane.synthesize_scene(catalogs.load("pinhole"), 51.4779, -0.0015, jd, 0.0, 1920, 1080, 2200.0,
                                      6.0, 0.2, 0.0, 30.0, 3)
    lens = dict(focal_px=2200.0, cx=960.0, cy=540.0)
    print(f"stelvane {stelvane.__version__}: 1920x1080 pinhole, focal 2200 px, allsky catalog; median of {runs} runs")
    print(f"{'format':<20} {'decode ms':>10} {'solve ms':>9} {'solve_path ms':>14} {'decode share':>13} {'error nm':>9}")
    with tempfile.TemporaryDirectory() as tmp:
        for label, path in write_formats(Path(tmp), scene.pixels).items():
            read = (lambda p=path: np.load(p)) if path.suffix == ".npy" else (lambda p=path: io.read_frame(p).pixels)
            frame = read()
            decode = median_s(read, runs)
            solve = median_s(lambda: stelvane.resolve_fix(frame, up_cam=scene.up_cam, utc=WHEN, catalog=catalog,
                                                          **lens), runs)
            fix = stelvane.resolve_fix(frame, up_cam=scene.up_cam, utc=WHEN, catalog=catalog, **lens)
            err = stelvane.great_circle_nm(51.4779, -0.0015, fix.latitude_deg, fix.longitude_deg)
            whole = "" if path.suffix == ".npy" else f"{median_s(lambda p=path: files.solve_path(p, up_cam=scene.up_cam, utc=WHEN, catalog='allsky', focal_px=2200.0), runs) * 1e3:14.1f}"
            print(f"{label:<20} {decode * 1e3:10.1f} {solve * 1e3:9.1f} {whole:>14} "
                  f"{decode / (decode + solve):13.0%} {err:9.2f}")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 7)
