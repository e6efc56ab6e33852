"""The benchmarks' shared stopwatch: median wall time of repeated calls."""

import time

import numpy as np


def median_s(fn, runs: int) -> float:
    """Median wall-clock seconds of `runs` calls of fn()."""
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return float(np.median(times))
