"""Load time of stelvane.Catalog for a full-sky bright-star catalog (~9000 stars)
with a pair index of a million pairs, against reading the same two files into
Python bytes (the i/o floor) in the same run. Prints figures; asserts nothing."""

from __future__ import annotations

import statistics
import tempfile
import time
from pathlib import Path

import numpy as np

import stelvane

N_STARS = 9_000
N_PAIRS = 1_000_000
RUNS = 7

STAR = np.dtype([("hr", "<u4"), ("vmag", "<f4"), ("ra", "<f8"), ("dec", "<f8"), ("unit", "<f8", 3),
                 ("pm_ra", "<f4"), ("pm_dec", "<f4"), ("parallax", "<f4")])
PAIR = np.dtype([("cos_theta", "<f4"), ("i", "<u2"), ("j", "<u2")])
assert STAR.itemsize == 60 and PAIR.itemsize == 8


def write_files(directory: Path) -> tuple[Path, Path, np.ndarray]:
    rng = np.random.default_rng(7)
    stars = np.zeros(N_STARS, STAR)
    stars["hr"] = np.arange(1, N_STARS + 1)
    stars["vmag"] = np.sort(rng.uniform(-1.5, 6.5, N_STARS))
    stars["ra"] = rng.uniform(0, 2 * np.pi, N_STARS)
    stars["dec"] = np.arcsin(rng.uniform(-1, 1, N_STARS))
    stars["unit"] = np.stack([np.cos(stars["dec"]) * np.cos(stars["ra"]),
                              np.cos(stars["dec"]) * np.sin(stars["ra"]), np.sin(stars["dec"])], axis=1)
    stars["pm_ra"] = rng.normal(0, 50, N_STARS)
    stars["pm_dec"] = rng.normal(0, 50, N_STARS)
    stars["parallax"] = rng.exponential(10, N_STARS)
    pairs = np.zeros(N_PAIRS, PAIR)
    pairs["cos_theta"] = np.sort(rng.uniform(np.cos(np.radians(30)), 1, N_PAIRS).astype("<f4"))
    pairs["i"] = rng.integers(0, N_STARS, N_PAIRS)
    pairs["j"] = rng.integers(0, N_STARS, N_PAIRS)
    cat = directory / "stars.bin"
    prs = directory / "pairs.bin"
    cat.write_bytes(b"SCAT" + np.array([2, N_STARS], "<u4").tobytes() + np.array([2000.0], "<f8").tobytes()
                    + stars.tobytes())
    prs.write_bytes(b"SPRS" + np.array([1, N_PAIRS], "<u4").tobytes() + pairs.tobytes())
    return cat, prs, pairs["cos_theta"].astype(np.float64)


def median_seconds(fn) -> float:
    times = []
    for _ in range(RUNS):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        cat, prs, cos_theta = write_files(Path(tmp))
        size_mb = (cat.stat().st_size + prs.stat().st_size) / 1e6
        load = median_seconds(lambda: stelvane.Catalog(str(cat), str(prs)))
        read = median_seconds(lambda: (cat.read_bytes(), prs.read_bytes()))
        catalog = stelvane.Catalog(str(cat), str(prs))
        assert catalog.n_stars == N_STARS
        seps = [10.0 + k * 0.1 for k in range(100)]
        lookup = median_seconds(lambda: [catalog.has_pair(1, 2, s, 0.05) for s in seps]) / len(seps)
        walked = statistics.mean(
            np.searchsorted(cos_theta, np.cos(np.radians(s - 0.05)), "right")
            - np.searchsorted(cos_theta, np.cos(np.radians(s + 0.05)), "left") for s in seps)
    print(f"catalog load: {N_STARS} stars + {N_PAIRS} pairs, {size_mb:.2f} MB, median of {RUNS} runs")
    print(f"  Catalog(...)          {load * 1e3:8.2f} ms  {size_mb / load:8.0f} MB/s")
    print(f"  read_bytes baseline   {read * 1e3:8.2f} ms  {size_mb / read:8.0f} MB/s")
    print(f"  load / read ratio     {load / read:8.2f}")
    print(f"  has_pair, 0.1 deg band {lookup * 1e6:8.2f} us  ({walked:.0f} pairs walked, "
          f"{lookup / walked * 1e9:.2f} ns/pair incl. the Python call)")


if __name__ == "__main__":
    main()
