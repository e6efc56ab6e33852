"""Scene synthesis and the catalog builder's pair generation: milliseconds and ns/pixel.

Renders a pinhole and an ideal-fisheye scene with all noise sources on, median of
a few runs, against a baseline measured in the same run: NumPy drawing one normal
deviate per pixel and rounding to uint16 (the work every scene does besides the
stars). Then times the builder's pair generation for the bundled pinhole stars.
Prints figures only.

    python bench/bench_synth.py [runs]
"""

import struct
import sys
import time

import numpy as np

import stelvane
from timing import median_s
import stelvane.catalogs
from stelvane import pipeline




def main() -> None:
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    pinhole = stelvane.catalogs.load("pinhole")
    jd = stelvane.julian_date(2024, 4, 1, 22, 0, 0)
    cases = [
        ("pinhole 1280x960, V<=6", 1280, 960,
         lambda: stelvane.synthesize_scene(pinhole, 48.5, 11.25, jd, 0.0, 1280, 960, 1400.0, 6.0, 0.3, 1.0, 6.0, 7)),
        ("fisheye 2048x2048, V<=6", 2048, 2048,
         lambda: stelvane.synthesize_scene(pinhole, 48.5, 11.25, jd, 0.0, 2048, 2048, None, 6.0, 0.3, 1.0, 6.0, 7,
                                           fisheye_fov_deg=180.0)),
    ]
    rng = np.random.default_rng(1)
    print(f"{'case':28} {'median ms':>10} {'ns/pixel':>9} {'NumPy noise ns/pixel':>21} {'ratio':>6} {'stars':>6}")
    for name, w, h, render in cases:
        t = median_s(render, runs)
        base = median_s(lambda: np.clip(np.round(1024 + 6.0 * rng.standard_normal((h, w))), 0, 65535)
                        .astype(np.uint16), runs)
        n = len(render().rendered_hr_ids)
        print(f"{name:28} {t * 1e3:10.1f} {t / (w * h) * 1e9:9.2f} {base / (w * h) * 1e9:21.2f} {t / base:6.2f} {n:6d}")

    cat_path, _ = stelvane.catalogs.paths("pinhole")
    with open(cat_path, "rb") as f:
        data = f.read()
    (count,) = struct.unpack_from("<I", data, 8)
    units = np.frombuffer(data, offset=20, dtype=pipeline.STAR_DTYPE)["unit"].copy()
    for sep in (30.0, 90.0):
        t = median_s(lambda: pipeline.generate_pairs(units, sep), max(1, runs // 2))
        n = len(pipeline.generate_pairs(units, sep))
        print(f"pairs of {count} stars within {sep:g} deg: {n} pairs, {t * 1e3:.0f} ms ({t / n * 1e9:.0f} ns/pair)")


if __name__ == "__main__":
    main()
