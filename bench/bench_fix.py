"""The single-image fix end to end: milliseconds per solve and where they go.

For a 1920x1080 pinhole (pinhole catalog, focal 1500 px) and a 1024x1024 ideal
180-degree fisheye (allsky catalog), both rendered with a little noise, times the
median of several runs of:

- resolve_fix on the image (detection, identification, attitude, fit);
- detect_centroids alone with the same count (12), the detection share;
- resolve_from_centroids on those detections (identification, attitude, fit);
- resolve_from_centroids on the rendered star centres, with every drawn star
  offered (max_centroids = all of them), to show how matching grows with the list.

The operations take turns within each run; shares are medians of separate timings,
so they need not add up to exactly 100%.
The baseline, measured in the same run, is one NumPy median of the frame (the
least work any detector that estimates a background does); the ratio column is
resolve_fix over it. Prints figures only.

    python bench/bench_fix.py [runs]
"""

import sys
import time

import numpy as np

import stelvane
import stelvane.catalogs

UTC = (2024, 4, 1, 22, 0, 0)
LAT, LON = 48.5, 11.25


def medians_s(fns, runs):
    """Median seconds of each function, the functions taking turns within every run so that a change
    in the machine's load falls on all of them alike."""
    times = [[] for _ in fns]
    for _ in range(runs):
        for fn, out in zip(fns, times):
            t0 = time.perf_counter()
            fn()
            out.append(time.perf_counter() - t0)
    return [float(np.median(t)) for t in times]


def main() -> None:
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    jd = stelvane.julian_date(*UTC)
    pinhole, allsky = stelvane.catalogs.load("pinhole"), stelvane.catalogs.load("allsky")
    cases = [
        ("pinhole 1920x1080", pinhole,
         stelvane.synthesize_scene(pinhole, LAT, LON, jd, 0.0, 1920, 1080, 1500.0, 6.0, 0.5, 0.0, 30.0, 3),
         dict(focal_px=1500.0, cx=960.0, cy=540.0)),
        ("fisheye 1024x1024", allsky,
         stelvane.synthesize_scene(allsky, LAT, LON, jd, 0.0, 1024, 1024, None, 6.0, 0.5, 0.0, 30.0, 3,
                                   fisheye_fov_deg=180.0),
         dict(focal_px=None, cx=512.0, cy=512.0, fisheye_fov_deg=180.0)),
    ]
    print(f"{'case':18} {'resolve_fix ms':>14} {'detect ms':>10} {'match+fit ms':>13} {'detect %':>9} "
          f"{'ns/pixel':>9} {'np.median ms':>13} {'ratio':>6} {'all-stars ms':>13} {'stars':>6} {'err nm':>7}")
    for name, catalog, scene, camera in cases:
        image, up = scene.pixels, scene.up_cam
        kw = dict(up_cam=up, utc=UTC, catalog=catalog, **camera)
        fix = stelvane.resolve_fix(image, **kw)
        detected = stelvane.detect_centroids(image, 12)
        every = [(x, y, 1000.0 - k) for k, (x, y) in enumerate(scene.star_pixels)]
        t_fix, t_detect, t_match, t_base, t_every = medians_s([
            lambda: stelvane.resolve_fix(image, **kw),
            lambda: stelvane.detect_centroids(image, 12),
            lambda: stelvane.resolve_from_centroids(detected, **kw),
            lambda: np.median(image),
            lambda: stelvane.resolve_from_centroids(every, max_centroids=len(every), **kw),
        ], runs)
        err = stelvane.great_circle_nm(fix.latitude_deg, fix.longitude_deg, LAT, LON)
        print(f"{name:18} {t_fix * 1e3:14.1f} {t_detect * 1e3:10.1f} {t_match * 1e3:13.2f} "
              f"{100 * t_detect / t_fix:8.0f}% {t_fix / image.size * 1e9:9.1f} {t_base * 1e3:13.1f} "
              f"{t_fix / t_base:6.2f} {t_every * 1e3:13.1f} "
              f"{len(every):6d} {err:7.3f}")


if __name__ == "__main__":
    main()
