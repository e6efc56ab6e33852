"""Records, then re-checks bit for bit, both star detectors on 20 varied frames.

A guard for speed work on the detectors, the background mesh and the robust
spreads: every detection (x, y, flux as exact float hex) of detect_centroids,
with and without a mask, and of detect_centroids_matched at three PSF widths must
stay identical. The frames mix rendered skies (pinhole, narrow, fisheye, 8-bit),
dense star fields with read noise and gradients, sizes that are not multiples of
the 32-pixel tile, hot pixels, saturated blobs, flat and near-flat frames and
frames of one row or one column. Each result is kept as its count, its first
entries and a SHA-256 digest of all of them.

    python bench/check_detections.py record [--out FILE]   # before a change
    python bench/check_detections.py check [--out FILE]    # after: exit 1 on any difference
"""

import argparse
import hashlib
import json
import os
import sys

import numpy as np

import stelvane
import stelvane.catalogs as cats

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_detect import star_field  # noqa: E402
from check_fix_results import record_or_read  # noqa: E402

DEFAULT_FILE = "bench/detection_results.json"
PSF_WIDTHS_PX = (0.7, 1.3, 2.5)
MAX_COUNT = 5000


def rendered(catalog, width, height, focal, seed, fov=None, bit_depth=16, noise=10.0):
    jd = stelvane.julian_date(2024, 3, 20, 3, 6, 0)
    extra = {"fisheye_fov_deg": fov} if fov is not None else {}
    scene = stelvane.synthesize_scene(catalog, 51.5, -0.1, jd, 17.0 * seed, width, height, focal, 6.5, 0.3, 0.0,
                                      noise, seed, bit_depth=bit_depth, **extra)
    return scene.pixels


def hot_and_saturated(width, height, seed):
    """Read noise on a gradient, a few hundred hot pixels, saturated blobs and a bright edge."""
    rng = np.random.default_rng(seed)
    img = rng.normal(800.0, 20.0, (height, width))
    img += np.linspace(0.0, 300.0, width)[None, :]
    ys, xs = rng.integers(0, height, 300), rng.integers(0, width, 300)
    img[ys, xs] = rng.uniform(5000.0, 65535.0, 300)
    for _ in range(6):
        cy, cx, r = rng.integers(10, height - 10), rng.integers(10, width - 10), rng.integers(2, 14)
        gy, gx = np.ogrid[:height, :width]
        img[(gy - cy) ** 2 + (gx - cx) ** 2 <= r * r] = 65535.0
    img[:, :3] = 60000.0
    return np.clip(img, 0, 65535).astype(np.uint16)


def frames():
    """Deterministic (name, image, mask) triples."""
    pin, sky = cats.load("pinhole"), cats.load("allsky")
    out = [
        ("field-1920x1080", star_field(1920, 1080)),
        ("field-1001x523", star_field(1001, 523, n_stars=200, seed=2)),
        ("field-640x480-dense", star_field(640, 480, n_stars=900, seed=3)),
        ("field-97x33", star_field(97, 33, n_stars=3, seed=4)),
        ("render-pinhole", rendered(pin, 1920, 1080, 2200.0, 1)),
        ("render-narrow", rendered(pin, 1280, 960, 4000.0, 2)),
        ("render-fisheye", rendered(sky, 1024, 1024, None, 3, fov=180.0)),
        ("render-fisheye-odd", rendered(sky, 999, 701, None, 4, fov=120.0)),
        ("render-8bit", rendered(pin, 800, 600, 900.0, 5, bit_depth=8)),
        ("render-quiet", rendered(pin, 1280, 720, 1500.0, 6, noise=0.0)),
        ("hot-1280x720", hot_and_saturated(1280, 720, 7)),
        ("hot-333x250", hot_and_saturated(333, 250, 8)),
        ("flat-64x64", np.full((64, 64), 1000, np.uint16)),
        ("flat-100x70", np.full((70, 100), 1000, np.uint16)),
        ("zeros-32x32", np.zeros((32, 32), np.uint16)),
        ("saturated-40x40", np.full((40, 40), 65535, np.uint16)),
        ("row-1x500", star_field(500, 16, n_stars=4, seed=9)[7:8].copy()),
        ("column-300x1", np.ascontiguousarray(star_field(16, 300, n_stars=4, seed=10)[:, 7:8])),
        ("ramp-257x129", (np.arange(257 * 129, dtype=np.uint32) % 65536).astype(np.uint16).reshape(129, 257)),
    ]
    single = np.full((64, 64), 1000, np.uint16)
    single[30, 31] = 9000
    out.append(("single-pixel-64x64", single))
    return out


def masks_for(name, img):
    """Two masks per frame: a horizon (rows below a wavy line) and scattered rectangles."""
    h, w = img.shape
    rng = np.random.default_rng(len(name))
    gy, gx = np.ogrid[:h, :w]
    horizon = gy > (0.8 * h + 0.05 * h * np.sin(gx / max(w, 1) * 12.0))
    boxes = np.zeros((h, w), bool)
    for _ in range(5):
        y0, x0 = rng.integers(0, h), rng.integers(0, w)
        boxes[y0:y0 + rng.integers(1, h // 4 + 2), x0:x0 + rng.integers(1, w // 4 + 2)] = True
    return {"horizon": horizon, "boxes": boxes}


def digest(detections):
    hexed = [[float(v).hex() for v in d] for d in detections]
    return {"count": len(hexed), "first": hexed[:3],
            "sha256": hashlib.sha256(json.dumps(hexed).encode()).hexdigest()}


def outcome(call):
    try:
        return digest(call())
    except stelvane.StelvaneError as err:
        return {"error": str(err)}


def collect():
    results = {}
    for name, img in frames():
        r = {"plain": outcome(lambda: stelvane.detect_centroids(img, MAX_COUNT))}
        for mask_name, mask in masks_for(name, img).items():
            r[f"mask-{mask_name}"] = outcome(lambda: stelvane.detect_centroids(img, MAX_COUNT, mask=mask))
        for psf in PSF_WIDTHS_PX:
            r[f"matched-{psf}"] = outcome(lambda: stelvane.detect_centroids_matched(img, MAX_COUNT, psf))
        results[name] = r
    return results


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("mode", choices=["record", "check"])
    parser.add_argument("--out", default=DEFAULT_FILE)
    args = parser.parse_args(argv)
    results = collect()
    n_det = sum(v.get("count", 0) for r in results.values() for v in r.values())
    print(f"{len(results)} frames, {sum(len(r) for r in results.values())} detector runs, {n_det} detections")
    recorded = record_or_read(args.mode, args.out, results)
    if recorded is None:
        return 0
    differing = [(frame, road) for frame in sorted(set(recorded) | set(results))
                 for road in sorted(set(recorded.get(frame, {})) | set(results.get(frame, {})))
                 if recorded.get(frame, {}).get(road) != results.get(frame, {}).get(road)]
    for frame, road in differing:
        print(f"DIFFERS: {frame} {road}\n  recorded {recorded.get(frame, {}).get(road)}\n"
              f"  now      {results.get(frame, {}).get(road)}")
    print("identical" if not differing else f"{len(differing)} detector runs differ")
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
