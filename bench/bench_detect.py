"""Star detection speed and memory: detect_centroids and detect_centroids_matched
against SEP's Background + extract measured in the same run.

Prints ns/pixel (median of repeats) on a 1920x1080 uint16 star field, the ratio to
SEP, and the peak resident memory of each detector on an 8000x6000 frame, each
measured in its own subprocess (resource.getrusage max RSS). Never asserts times.

    python bench/bench_detect.py [--repeats N] [--skip-memory]
"""

import argparse
import resource
import subprocess
import sys
import time

import numpy as np

import stelvane
from timing import median_s as median_time


def star_field(width, height, n_stars=600, seed=1):
    """A sky of 1000 counts with Gaussian read noise (sigma 12), a gentle gradient
    and Gaussian stars of sigma 1.3 px with peaks of 300..40000 counts. Built in
    bands of rows so that a large frame costs little more than its own pixels."""
    rng = np.random.default_rng(seed)
    img = np.empty((height, width), np.uint16)
    xs = (200.0 * np.arange(width) / width).astype(np.float32)
    for y0 in range(0, height, 256):
        y1 = min(y0 + 256, height)
        band = rng.normal(1000.0, 12.0, (y1 - y0, width)).astype(np.float32)
        band += xs[None, :]
        band += (100.0 * np.arange(y0, y1, dtype=np.float32) / height)[:, None]
        img[y0:y1] = np.clip(band, 0, 65535).astype(np.uint16)
    for _ in range(n_stars):
        cx, cy = rng.uniform(8, width - 8), rng.uniform(8, height - 8)
        peak = 300.0 * (40000.0 / 300.0) ** rng.random()
        x0, y0 = int(cx) - 6, int(cy) - 6
        gx, gy = np.meshgrid(np.arange(x0, x0 + 13), np.arange(y0, y0 + 13))
        star = peak * np.exp(-((gx - cx) ** 2 + (gy - cy) ** 2) / (2 * 1.3**2))
        patch = img[y0:y0 + 13, x0:x0 + 13].astype(np.float64) + star
        img[y0:y0 + 13, x0:x0 + 13] = np.clip(np.round(patch), 0, 65535).astype(np.uint16)
    return img




def sep_detect(img):
    import sep

    data = img.astype(np.float32)  # SEP works in float; the conversion is part of its road
    bkg = sep.Background(data, bw=32, bh=32, fw=3, fh=3)
    sub = data - bkg
    return sep.extract(sub, 5.0, err=bkg.globalrms, minarea=3)


ROADS = {
    "detect_centroids": lambda img: stelvane.detect_centroids(img, 1000),
    "detect_centroids_matched": lambda img: stelvane.detect_centroids_matched(img, 1000, 1.3),
    "sep Background+extract": sep_detect,
}

MEMORY_CHILD = """
import resource, sys, numpy as np, stelvane
sys.path.insert(0, {bench_dir!r})
from bench_detect import star_field, ROADS
img = star_field(8000, 6000, n_stars=4000)
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
ROADS[{road!r}](img)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(base, peak)
"""


def peak_memory(road):
    import os

    bench_dir = os.path.dirname(os.path.abspath(__file__))
    code = MEMORY_CHILD.format(bench_dir=bench_dir, road=road)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    base_kib, peak_kib = (int(v) for v in out.split())
    return base_kib / 1024.0, peak_kib / 1024.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--skip-memory", action="store_true")
    args = parser.parse_args()

    width, height = 1920, 1080
    img = star_field(width, height)
    npix = width * height
    try:
        import sep  # noqa: F401

        roads = dict(ROADS)
    except ImportError:
        print("sep is not installed: no baseline (pip install sep)")
        roads = {k: v for k, v in ROADS.items() if not k.startswith("sep")}

    results = {}
    for name, fn in roads.items():
        fn(img)  # warm up
        results[name] = median_time(lambda: fn(img), args.repeats) / npix * 1e9
    base = results.get("sep Background+extract")
    print(f"{width}x{height} uint16 star field, median of {args.repeats}")
    print(f"{'road':28s} {'ns/pixel':>9s} {'x SEP':>7s}   detections")
    for name, ns in results.items():
        count = len(roads[name](img))
        ratio = f"{ns / base:7.2f}" if base else "      -"
        print(f"{name:28s} {ns:9.2f} {ratio}   {count}")

    if args.skip_memory:
        return
    print()
    print("8000x6000 uint16, peak RSS of a fresh process (MiB): before the call / after")
    for name in roads:
        base_mib, peak_mib = peak_memory(name)
        print(f"{name:28s} {base_mib:8.0f} / {peak_mib:8.0f}  (+{peak_mib - base_mib:.0f})")


if __name__ == "__main__":
    main()
