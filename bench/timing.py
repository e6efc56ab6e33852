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


def median_wall_and_cpu_s(fn, runs: int) -> tuple[float, float]:
    """Median wall-clock seconds and median CPU seconds of this process (all threads) of `runs` calls of fn()."""
    walls, cpus = [], []
    for _ in range(runs):
        t0, c0 = time.perf_counter(), time.process_time()
        fn()
        walls.append(time.perf_counter() - t0)
        cpus.append(time.process_time() - c0)
    return float(np.median(walls)), float(np.median(cpus))
