"""Speed of the single-image fix road against its targets.

Prints median thread CPU milliseconds (the machine is shared, so wall time would
measure the neighbours) of detect_centroids, resolve_from_centroids and resolve_fix
on a 1920x1080 pinhole sky (focal 2200 px, bundled "pinhole" catalog) and of
resolve_from_centroids on a 1024x1024 180-degree fisheye sky ("allsky" catalog),
with the targets beside them. When the C++ stage bench is built
(cmake -DSTELVANE_BUILD_BENCH=ON, binary bench_fix_stages) it also splits the
centroid road into matching without the mirror test, the mirror test, and the rest
(projection, attitude, apparent places, fit). With --baseline DIR it measures, in
the same run and alternating, a second build of the package installed in DIR
(pip install --target DIR ...), for a before/after ratio. Never asserts times.

    python bench/bench_fix_speed.py [--repeats N] [--stages BINARY] [--baseline DIR [--baseline-python EXE]]
"""

import argparse
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_STAGES = os.path.join(HERE, "..", "build", "cpp", "bench_fix_stages")
UTC = (2024, 3, 20, 3, 6, 0)
TARGETS_MS = {"pinhole centroids": 4.0, "fisheye centroids": 10.0, "pinhole resolve_fix": 40.0}


def median_cpu_ms(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.thread_time()
        fn()
        times.append(time.thread_time() - t0)
    times.sort()
    return 1e3 * times[len(times) // 2]


def scenes(stelvane, cats):
    jd = stelvane.julian_date(*UTC)
    pin_cat, sky_cat = cats.load("pinhole"), cats.load("allsky")
    pin = stelvane.synthesize_scene(pin_cat, 51.5, -0.1, jd, 0.0, 1920, 1080, 2200.0, 6.0, 0.0, 0.0, 10.0, 7)
    fish = stelvane.synthesize_scene(sky_cat, 51.5, -0.1, jd, 0.0, 1024, 1024, None, 6.0, 0.0, 0.0, 10.0, 7,
                                     fisheye_fov_deg=180.0)
    return {
        "pinhole": dict(sky=pin, catalog=pin_cat, name="pinhole", focal=2200.0, cx=960, cy=540, extra={},
                        camera=stelvane.Camera(2200.0, 960, 540), triangle_stars=5),
        "fisheye": dict(sky=fish, catalog=sky_cat, name="allsky", focal=None, cx=512, cy=512,
                        extra={"fisheye_fov_deg": 180.0},
                        camera=stelvane.Camera(None, 512, 512, width=1024, height=1024, fisheye_fov_deg=180.0),
                        triangle_stars=12),
    }


def measure(repeats):
    """Medians of this interpreter's stelvane, as a dict of milliseconds."""
    import stelvane
    import stelvane.catalogs as cats

    out = {}
    s = scenes(stelvane, cats)
    for key in ("pinhole", "fisheye"):
        c = s[key]
        cents = stelvane.detect_centroids(c["sky"].pixels, 12)
        c["centroids"] = cents
        call = lambda: stelvane.resolve_from_centroids(cents, c["focal"], c["cx"], c["cy"], c["sky"].up_cam, UTC,
                                                       c["catalog"], **c["extra"])
        call()
        out[f"{key} centroids"] = median_cpu_ms(call, repeats)
    pin = s["pinhole"]
    out["pinhole detection"] = median_cpu_ms(lambda: stelvane.detect_centroids(pin["sky"].pixels, 12), repeats)
    out["pinhole resolve_fix"] = median_cpu_ms(
        lambda: stelvane.resolve_fix(pin["sky"].pixels, 2200.0, 960, 540, pin["sky"].up_cam, UTC, pin["catalog"]),
        repeats)
    return out, s


def stage_split(stages, scene, repeats):
    """Matcher stage medians from the C++ bench on this scene's camera directions."""
    import stelvane.catalogs as cats

    cam = scene["camera"]
    cents = sorted(scene["centroids"], key=lambda c: -c[2])[:12]  # stable: equal fluxes keep their order
    sigma_arcmin = max(0.5 * cam.arcmin_per_pixel, 1.0)
    tolerance = max(4.0 * sigma_arcmin, 4.0) / 60.0 * 3.141592653589793 / 180.0
    lines = "".join("%.17g %.17g %.17g\n" % tuple(cam.pixel_to_vec(x, y)) for x, y, _ in cents)
    result = subprocess.run([stages, *cats.paths(scene["name"]), str(scene["triangle_stars"]), repr(tolerance),
                             str(repeats)], input=lines, capture_output=True, text=True, check=True)
    fields = dict(line.split("=", 1) for line in result.stdout.splitlines())
    return {k: float(v) if k.endswith("_ms") else v for k, v in fields.items()}


def run_baseline(directory, python, repeats):
    env = dict(os.environ, PYTHONPATH=directory)
    code = ("import json, sys; sys.path.insert(0, %r); import bench_fix_speed as m; "
            "print(json.dumps(m.measure(%d)[0]))" % (HERE, repeats))
    result = subprocess.run([python, "-c", code], env=env, capture_output=True, text=True, check=True)
    return json.loads(result.stdout.splitlines()[-1])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=31)
    parser.add_argument("--stages", default=DEFAULT_STAGES, help="path of the bench_fix_stages binary")
    parser.add_argument("--baseline", help="directory holding another build of the package, for before/after")
    parser.add_argument("--baseline-python", default=sys.executable,
                        help="interpreter for the baseline; use one without an editable install of stelvane")
    args = parser.parse_args(argv)

    base = None
    if args.baseline:
        # Alternate the two builds so that both see the same machine load.
        runs, base_runs = [], []
        for _ in range(3):
            base_runs.append(run_baseline(args.baseline, args.baseline_python, args.repeats))
            runs.append(measure(args.repeats)[0])
        now = {k: sorted(r[k] for r in runs)[1] for k in runs[0]}
        base = {k: sorted(r[k] for r in base_runs)[1] for k in base_runs[0]}
        _, s = measure(1)
    else:
        now, s = measure(args.repeats)

    print(f"median thread CPU time, {args.repeats} repeats" + (" (median of 3 alternating runs)" if base else ""))
    header = f"{'case':<24}{'ms':>9}{'target':>9}"
    if base:
        header += f"{'before':>9}{'speed-up':>10}"
    print(header)
    for key in ("pinhole detection", "pinhole centroids", "fisheye centroids", "pinhole resolve_fix"):
        target = TARGETS_MS.get(key)
        row = f"{key:<24}{now[key]:>9.2f}{(f'{target:.0f}' if target else '-'):>9}"
        if base:
            row += f"{base[key]:>9.2f}{base[key] / now[key]:>9.2f}x"
        print(row)
    pin_fix = now["pinhole resolve_fix"]
    print(f"resolve_fix shares: detection {100 * now['pinhole detection'] / pin_fix:.0f}%, "
          f"centroid road {100 * now['pinhole centroids'] / pin_fix:.0f}%")

    if not os.path.exists(args.stages):
        print(f"(no stage split: build {args.stages} with -DSTELVANE_BUILD_BENCH=ON)")
        return 0
    print("\ncentroid road split (C++ stage bench; mirror = confidence checks run alone minus their own "
          "triangle search)")
    print(f"{'case':<10}{'total':>8}{'match':>8}{'no-mirror':>11}{'mirror':>8}{'triangles':>11}{'grid':>7}"
          f"{'rest':>7}{'hyps':>7}")
    for key in ("pinhole", "fisheye"):
        st = stage_split(args.stages, s[key], args.repeats)
        total = now[f"{key} centroids"]
        mirror = max(st["checks_ms"] - st["triangles_ms"], 0.0)
        print(f"{key:<10}{total:>8.2f}{st['match_ms']:>8.2f}{st['match_ms'] - mirror:>11.2f}{mirror:>8.2f}"
              f"{st['triangles_ms']:>11.2f}{st['grid_ms']:>7.2f}{total - st['match_ms']:>7.2f}"
              f"{st['hypotheses']:>7}")
    print("(total = resolve_from_centroids; rest = total - match: centroid intake, projection, attitude, fit)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
