"""The whole speed table in one run: detection against SEP, identification from
centroids, resolve_fix end to end and a hopeless frame, for three fields, each
beside one numpy.median of the same frame measured in the same run.

Fields: a 1920x1080 pinhole of focal 2200 px and a 1280x960 pinhole of focal
4000 px (the bundled "pinhole" catalog), and a 1024x1024 180-degree fisheye (the
"allsky" catalog), rendered by synthesize_scene. Rows:

- detect_centroids and detect_centroids_matched (psf 1.3 px) in ns per pixel, and
  SEP's Background + extract on the same frame (SEP is a bench-only dependency:
  pip install sep); also on the dense 1920x1080 star field of bench_detect.py;
- identification: resolve_from_centroids on the frame's 12 brightest detections;
- resolve_fix on the frame;
- a hopeless frame: the same frame mirrored left to right, which no rotation of
  the sky matches (resolve_fix ends in "no star pattern match found");
- numpy.median of the frame, the plain NumPy reference (ratios are to it).

Every operation runs once per round, in turn, for `--rounds` rounds; figures are
medians of this thread's CPU time (the machine is shared). Prints figures only.

    python bench/bench_speed.py [--rounds N]
"""

import argparse
import os
import sys
import time

import numpy as np

import stelvane
import stelvane.catalogs as cats

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_detect import sep_detect, star_field  # noqa: E402

UTC = (2024, 3, 20, 3, 6, 0)
PLACE = (51.5, -0.1)
FIELDS = [
    ("1920x1080 f2200", "pinhole", dict(width=1920, height=1080, focal=2200.0, fov=None)),
    ("1280x960 f4000", "pinhole", dict(width=1280, height=960, focal=4000.0, fov=None)),
    ("1024x1024 fisheye", "allsky", dict(width=1024, height=1024, focal=None, fov=180.0)),
]


def has_sep():
    try:
        import sep  # noqa: F401
    except ImportError:
        return False
    return True


def field_calls(catalog, cam, seed):
    """The named operations of one field, ready to time."""
    jd = stelvane.julian_date(*UTC)
    extra = {"fisheye_fov_deg": cam["fov"]} if cam["fov"] else {}
    sky = stelvane.synthesize_scene(catalog, *PLACE, jd, 30.0, cam["width"], cam["height"], cam["focal"], 6.5, 0.3,
                                    0.5, 10.0, seed, **extra)
    img = sky.pixels
    mirrored = np.ascontiguousarray(img[:, ::-1])
    cx, cy = (cam["width"] - 1) / 2.0, (cam["height"] - 1) / 2.0
    cents = stelvane.detect_centroids(img, 12)

    def solve(frame):
        def run():
            try:
                stelvane.resolve_fix(frame, cam["focal"], cx, cy, sky.up_cam, UTC, catalog, **extra)
            except stelvane.StelvaneError:
                pass
        return run

    calls = {
        "numpy.median": lambda: np.median(img),
        "detect_centroids": lambda: stelvane.detect_centroids(img, 12),
        "detect_centroids_matched": lambda: stelvane.detect_centroids_matched(img, 12, 1.3),
        "identification": lambda: stelvane.resolve_from_centroids(cents, cam["focal"], cx, cy, sky.up_cam, UTC,
                                                                  catalog, **extra),
        "resolve_fix": solve(img),
        "hopeless resolve_fix": solve(mirrored),
    }
    if has_sep():
        calls["SEP"] = lambda: sep_detect(img)
    return img.size, calls


def timed_rounds(calls, rounds):
    """Median thread CPU seconds of each call, all calls taking turns in every round."""
    times = {name: [] for name in calls}
    for fn in calls.values():
        fn()  # warm up
    for _ in range(rounds):
        for name, fn in calls.items():
            t0 = time.thread_time()
            fn()
            times[name].append(time.thread_time() - t0)
    return {name: float(np.median(t)) for name, t in times.items()}


def outcome(catalog, cam, seed, mirrored):
    """What resolve_fix makes of the field's frame: a fix or the error message."""
    jd = stelvane.julian_date(*UTC)
    extra = {"fisheye_fov_deg": cam["fov"]} if cam["fov"] else {}
    sky = stelvane.synthesize_scene(catalog, *PLACE, jd, 30.0, cam["width"], cam["height"], cam["focal"], 6.5, 0.3,
                                    0.5, 10.0, seed, **extra)
    img = np.ascontiguousarray(sky.pixels[:, ::-1]) if mirrored else sky.pixels
    try:
        fix = stelvane.resolve_fix(img, cam["focal"], (cam["width"] - 1) / 2.0, (cam["height"] - 1) / 2.0,
                                   sky.up_cam, UTC, catalog, **extra)
        return f"fix, {len(fix.matched_hr_ids)} stars"
    except stelvane.StelvaneError as err:
        return str(err)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=21)
    args = parser.parse_args(argv)
    catalogs = {name: cats.load(name) for name in ("pinhole", "allsky")}
    print(f"median thread CPU time of {args.rounds} interleaved rounds; x med = multiple of numpy.median "
          f"of the same frame in the same run")
    if not has_sep():
        print("(sep is not installed: no SEP column; pip install sep)")

    field = star_field(1920, 1080)
    dense = {"numpy.median": lambda: np.median(field),
             "detect_centroids": lambda: stelvane.detect_centroids(field, 1000),
             "detect_centroids_matched": lambda: stelvane.detect_centroids_matched(field, 1000, 1.3)}
    if has_sep():
        dense["SEP"] = lambda: sep_detect(field)
    t = timed_rounds(dense, args.rounds)
    print("\ndense star field 1920x1080 uint16 (bench_detect.py), ns/pixel")
    print(f"{'road':28}{'ns/px':>8}{'x med':>8}{'x SEP':>8}")
    for name in dense:
        sep = f"{t[name] / t['SEP']:8.2f}" if "SEP" in t else "       -"
        print(f"{name:28}{1e9 * t[name] / field.size:8.2f}{t[name] / t['numpy.median']:8.2f}{sep}")

    for seed, (label, cat_name, cam) in enumerate(FIELDS, start=1):
        npix, calls = field_calls(catalogs[cat_name], cam, seed)
        t = timed_rounds(calls, args.rounds)
        med = t["numpy.median"]
        print(f"\n{label} ({cat_name} catalog): resolve_fix -> {outcome(catalogs[cat_name], cam, seed, False)}; "
              f"mirrored -> {outcome(catalogs[cat_name], cam, seed, True)}")
        print(f"{'operation':28}{'ms':>8}{'ns/px':>8}{'x med':>8}{'x SEP':>8}")
        for name, s in t.items():
            sep = f"{s / t['SEP']:8.2f}" if "SEP" in t and name.startswith("detect") else "       -"
            print(f"{name:28}{1e3 * s:8.3f}{1e9 * s / npix:8.2f}{s / med:8.2f}{sep}")
        print(f"{'hopeless / solvable':28}{t['hopeless resolve_fix'] / t['resolve_fix']:8.2f}")


if __name__ == "__main__":
    sys.exit(main())
