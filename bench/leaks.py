"""Resident memory across many calls of every entry point, on both the success and the
refusal roads: a leak of even a few bytes per call shows as steady growth over ten
thousand calls. Prints one line per entry point (RSS after a warm-up, after the loop,
and the growth) and exits 1 when any growth exceeds the tolerance.

    python bench/leaks.py [--calls 10000] [--tolerance-kib 1024]
"""

import argparse
import datetime
import gc
import os
import sys
import time

import numpy as np

import stelvane
import stelvane.catalogs

PAGE_KIB = os.sysconf("SC_PAGE_SIZE") // 1024
UTC = (2024, 3, 20, 22, 0, 0.0)
JD = 2460390.4166666665


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE_KIB


def star_field(width=32, height=24, shift=0.0):
    yy, xx = np.mgrid[0:height, 0:width]
    image = np.full((height, width), 900, np.uint16)
    for x0, y0 in [(6.3, 5.5), (15.7, 12.2), (25.0, 8.0), (10.0, 18.0)]:
        image += (20000 * np.exp(-((xx - x0 - shift) ** 2 + (yy - y0) ** 2) / 2.0)).astype(np.uint16)
    return image


def swallow(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except (stelvane.StelvaneError, TypeError, ValueError, OverflowError):
        pass


def cases():
    catalog = stelvane.catalogs.load("allsky")
    cat_path, pairs_path = stelvane.catalogs.paths("allsky")
    # A pinhole sky that solves in about 10 ms, so the success roads run ten thousand times.
    pinhole = stelvane.catalogs.load("pinhole")
    scene = stelvane.synthesize_scene(pinhole, 40.0, -3.0, JD, 10.0, 640, 480, 1400.0, 5.5, 0.0, 0.0, 0.0, 3)
    sky = scene.pixels
    solve = dict(focal_px=1400.0, cx=319.5, cy=239.5, up_cam=scene.up_cam, utc=UTC, catalog=pinhole)
    stars = [(x, y, 100.0 - i) for i, (x, y) in enumerate(scene.star_pixels)]
    image = star_field()
    mask = np.zeros(image.shape, bool)
    # Frames a few seconds apart: detected and verified, then refused as too closely spaced.
    frames = [star_field(shift=s) for s in (0.0, 0.1, 0.2)]
    times = [UTC[:5] + (s,) for s in (0.0, 10.0, 20.0)]
    lens = dict(focal_px=30.0, cx=15.5, cy=11.5, up_cam=[0.0, -0.2, -1.0])
    camera = stelvane.Camera(30.0, 15.5, 11.5)
    tracker = stelvane.FixTracker(max_reference_age_s=60.0, max_disambiguation_distance_nm=100.0)
    remap = (30.0, 15.5, 11.5, None, 16.0, 16.0, 32, 32)
    return [
        ("julian_date", lambda: stelvane.julian_date(*UTC)),
        ("gmst_deg", lambda: stelvane.gmst_deg(JD)),
        ("precess_vector", lambda: stelvane.precess_vector(JD, [0.0, 0.6, 0.8])),
        ("sun_apparent_jd", lambda: stelvane.sun_apparent_jd(JD)),
        ("great_circle_nm", lambda: stelvane.great_circle_nm(1.0, 2.0, 3.0, 4.0)),
        ("covariance_ellipse", lambda: stelvane.covariance_ellipse([0.0, 100.0, 230.0], 1.0)),
        ("detect_centroids", lambda: stelvane.detect_centroids(image, 10, mask)),
        ("detect_centroids_matched", lambda: stelvane.detect_centroids_matched(image, 10, 1.0)),
        ("foreground_mask", lambda: stelvane.foreground_mask(image)),
        ("remap_image", lambda: stelvane.remap_image(image, *remap, dst_fisheye_fov_deg=180.0)),
        ("remap_mask", lambda: stelvane.remap_mask(mask, *remap, dst_fisheye_fov_deg=180.0)),
        ("synthesize_scene", lambda: stelvane.synthesize_scene(catalog, 40.0, -3.0, JD, 0.0, 32, 24, None, 3.0, 0.5,
                                                               0.5, 10.0, 1, fisheye_fov_deg=180.0).pixels),
        ("resolve_fix", lambda: stelvane.resolve_fix(sky, **solve).matched_hr_ids),
        ("resolve_from_centroids", lambda: stelvane.resolve_from_centroids(stars, **solve).matched_hr_ids),
        ("resolve_from_frames",
         lambda: swallow(stelvane.resolve_from_frames, frames, times, **lens, catalog=catalog)),
        ("Camera", lambda: stelvane.Camera(None, 15.5, 11.5, fisheye_fov_deg=180.0)),
        ("Camera.pixel_to_vec", lambda: camera.pixel_to_vec([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])),
        ("Camera.vec_to_pixel", lambda: camera.vec_to_pixel([[0.1, 0.2, 1.0]] * 3)),
        ("Catalog", lambda: stelvane.Catalog(cat_path, pairs_path)),
        ("Catalog.stars", lambda: catalog.stars()),
        ("FixTracker.resolve_fix", lambda: tracker.resolve_fix(sky, **solve).matched_hr_ids),
        ("FixTracker.resolve_from_centroids", lambda: tracker.resolve_from_centroids(stars, **solve).covariance),
        ("FixTracker.set_last_known_position", lambda: tracker.set_last_known_position(10.0, 20.0, UTC)),
        # Refusal roads: the error text and any half-built values must be released too.
        ("refused: detect_centroids mask", lambda: swallow(stelvane.detect_centroids, image, 10, mask[:, :5].copy())),
        ("refused: image dtype", lambda: swallow(stelvane.foreground_mask, image.astype(np.float32))),
        ("refused: Catalog missing file", lambda: swallow(stelvane.Catalog, cat_path + ".missing", pairs_path)),
        ("refused: Catalog bad pairs", lambda: swallow(stelvane.Catalog, cat_path, cat_path)),
        ("refused: naive datetime", lambda: swallow(stelvane.resolve_from_centroids, stars[:4], **lens,
                                                    utc=datetime.datetime(2024, 1, 1), catalog=catalog)),
        ("refused: no match", lambda: swallow(stelvane.resolve_from_centroids, stars[:6], 3000.0, 319.5, 239.5,
                                              scene.up_cam, UTC, pinhole)),
        ("refused: binding", lambda: swallow(stelvane.remap_image, image, *remap, bogus=1)),
        ("refused: __new__ Camera", lambda: swallow(getattr, stelvane.Camera.__new__(stelvane.Camera), "cx")),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=10000)
    parser.add_argument("--tolerance-kib", type=int, default=1024)
    args = parser.parse_args()
    warm = max(1, args.calls // 20)
    failed = []
    print(f"{'entry point':40s} {'before KiB':>11s} {'after KiB':>11s} {'growth KiB':>11s} {'s':>7s}")
    for name, fn in cases():
        for _ in range(warm):
            fn()
        gc.collect()
        before = rss_kib()
        start = time.perf_counter()
        for _ in range(args.calls):
            fn()
        elapsed = time.perf_counter() - start
        gc.collect()
        after = rss_kib()
        flag = "" if after - before <= args.tolerance_kib else "  <-- grows"
        if flag:
            failed.append(name)
        print(f"{name:40s} {before:11d} {after:11d} {after - before:11d} {elapsed:7.2f}{flag}", flush=True)
    print(f"{args.calls} calls each; tolerance {args.tolerance_kib} KiB; growing: {', '.join(failed) or 'none'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
