"""The binding's own cost: nanoseconds per call of cheap entry points, and the import.

Each figure is the median over `runs` batches of the per-call time of a call whose
engine work is negligible, so what is measured is argument binding, conversion and
the error mapping. Baseline in the same run: a Python function of the same arity
(the interpreter's own binding). The import is timed in fresh interpreters. Prints
figures only.

    python bench/bench_binding.py [runs]
"""

import math
import statistics
import subprocess
import sys
import time

import stelvane
import stelvane.catalogs

BATCH = 5000


def per_call_ns(fn, runs: int) -> float:
    """Median over `runs` batches of the nanoseconds per call of fn()."""
    times = []
    for _ in range(runs):
        t0 = time.perf_counter_ns()
        for _ in range(BATCH):
            fn()
        times.append((time.perf_counter_ns() - t0) / BATCH)
    return statistics.median(times)


def raising(call, error):
    def run():
        try:
            call()
        except error:
            pass
    return run


def python_great_circle(lat1_deg, lon1_deg, lat2_deg, lon2_deg):
    return math.hypot(lat2_deg - lat1_deg, lon2_deg - lon1_deg)


def import_ms(runs: int) -> float:
    code = "import time; t = time.perf_counter(); import stelvane; print(time.perf_counter() - t)"
    times = [float(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout)
             for _ in range(runs)]
    return statistics.median(times) * 1e3


def main() -> None:
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 9
    catalog = stelvane.catalogs.load("allsky")
    camera = stelvane.Camera(1000.0, 320.0, 240.0)
    hr = catalog.stars()[0][0]
    three = [(10.0, 10.0, 3.0), (100.0, 40.0, 2.0), (300.0, 200.0, 1.0)]
    cases = [
        ("gmst_deg(jd)", lambda: stelvane.gmst_deg(2451545.0)),
        ("julian_date(6 ints)", lambda: stelvane.julian_date(2000, 1, 1, 12, 0, 0)),
        ("great_circle_nm(4 keywords)",
         lambda: stelvane.great_circle_nm(lat1_deg=0, lon1_deg=0, lat2_deg=0, lon2_deg=1)),
        ("  Python function, 4 keywords",
         lambda: python_great_circle(lat1_deg=0, lon1_deg=0, lat2_deg=0, lon2_deg=1)),
        ("Camera(focal, cx, cy)", lambda: stelvane.Camera(1000.0, 320.0, 240.0)),
        ("camera.vec_to_pixel (method)", lambda: camera.vec_to_pixel((0.0, 0.0, 1.0))),
        ("catalog.star (method)", lambda: catalog.star(hr)),
        ("InvalidArgumentError raised", raising(lambda: stelvane.covariance_ellipse([45.0], 1.0),
                                                stelvane.InvalidArgumentError)),
        ("InsufficientStarsError raised", raising(lambda: stelvane.resolve_from_centroids(
            three, 1000.0, 320.0, 240.0, (0, 0, 1), (2024, 4, 1, 22, 0, 0), catalog), stelvane.InsufficientStarsError)),
    ]
    print(f"median of {runs} batches of {BATCH} calls")
    for name, fn in cases:
        print(f"{name:32s} {per_call_ns(fn, runs):8.0f} ns/call")
    print(f"{'import stelvane':32s} {import_ms(runs):8.2f} ms")


if __name__ == "__main__":
    main()
