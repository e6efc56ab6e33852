"""Throughput of stelvane.batch: a folder of rendered all-sky FITS frames solved serially and on a local Dask
cluster of worker processes, and the batch layer's own cost per frame.

Writes N frames (1024x1024, ideal 180 degree fisheye, allsky catalog, one every 10 minutes of a night, the instant
in DATE-OBS + EXPTIME/2) to a temporary folder, then prints, each the median of `runs` runs:

- bare `stelvane.resolve_fix` over the frames already in memory (the engine alone), frames/s;
- `stelvane.files.solve_path` over the files (reading + instant + solve), frames/s;
- `stelvane.batch.solve_files(client=None)` (the same plus the table), frames/s, and its cost per frame over the
  bare resolve_fix and over solve_path;
- `solve_files` on a LocalCluster of `workers` processes of one thread (after one warm-up batch), frames/s and
  its ratio to the serial batch; the cluster's start-up time and each worker's resident memory after the runs.

The machine's load average is printed before and after: on a machine shared with other work, the cluster's ratio
is lower than on an idle one. Prints figures only.

    python bench/bench_batch.py [frames] [runs] [workers]
"""

import datetime as dt
import logging
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from timing import median_s

import stelvane
from stelvane import batch, catalogs, files

SIZE = 1024
LAT, LON = 46.5, 7.98
START = dt.datetime(2024, 1, 15, 20, 0, tzinfo=dt.timezone.utc)
LENS = dict(fisheye_fov_deg=180.0)


def write_night(root: Path, n: int) -> tuple[list[str], list[np.ndarray], list[dt.datetime], tuple]:
    from astropy.io import fits

    catalog = catalogs.load("allsky")
    paths, frames, instants = [], [], []
    for k in range(n):
        when = START + dt.timedelta(minutes=10 * k)
        jd = stelvane.julian_date(when.year, when.month, when.day, when.hour, when.minute, when.second)
        scene = stelvane.synthesize_scene(catalog, LAT, LON, jd, 0.0, SIZE, SIZE, None, 3.5, 0.2, 0.0, 30.0, k + 1,
                                          fisheye_fov_deg=180.0)
        header = fits.Header([("DATE-OBS", (when - dt.timedelta(seconds=15)).replace(tzinfo=None).isoformat()),
                              ("EXPTIME", 30.0)])
        path = root / f"frame{k:04d}.fits"
        fits.PrimaryHDU(scene.pixels, header).writeto(path)
        paths.append(str(path))
        frames.append(scene.pixels)
        instants.append(when)
    return paths, frames, instants, scene.up_cam


def load_line() -> str:
    one, five, fifteen = os.getloadavg()
    return f"load average {one:.2f} {five:.2f} {fifteen:.2f} on {os.cpu_count()} cores"


def main(n: int, runs: int, workers: int) -> None:
    from distributed import Client, LocalCluster

    print(load_line())
    catalog = catalogs.load("allsky")
    with tempfile.TemporaryDirectory() as tmp:
        paths, frames, instants, up_cam = write_night(Path(tmp), n)
        print(f"{n} frames {SIZE}x{SIZE} FITS uint16, ideal 180 deg fisheye, allsky catalog; median of {runs} runs")

        def bare():
            for pixels, when in zip(frames, instants):
                stelvane.resolve_fix(pixels, None, SIZE / 2, SIZE / 2, up_cam, when, catalog, **LENS)

        def per_file():
            for p in paths:
                files.solve_path(p, up_cam=up_cam, catalog="allsky", **LENS)

        def serial():
            table = batch.solve_files(paths, up_cam=up_cam, **LENS)
            assert (table["error"] == "").all(), table["error"].unique()

        t_bare, t_file, t_serial = median_s(bare, runs), median_s(per_file, runs), median_s(serial, runs)
        print(f"  bare resolve_fix (frames in memory)  {n / t_bare:7.2f} frames/s  {1e3 * t_bare / n:7.2f} ms/frame")
        print(f"  files.solve_path (read + solve)      {n / t_file:7.2f} frames/s  {1e3 * t_file / n:7.2f} ms/frame")
        print(f"  batch.solve_files, serial            {n / t_serial:7.2f} frames/s  {1e3 * t_serial / n:7.2f} ms/frame")
        print(f"  batch layer per frame: {1e3 * (t_serial - t_bare) / n:.2f} ms over bare resolve_fix "
              f"(reading the file included), {1e3 * (t_serial - t_file) / n:.3f} ms over solve_path")

        t0 = time.perf_counter()
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                          silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
            client.wait_for_workers(workers)
            print(f"  LocalCluster of {workers} processes x 1 thread started in {time.perf_counter() - t0:.2f} s")
            batch.solve_files(paths[: 2 * workers], up_cam=up_cam, client=client, **LENS)  # workers import and load

            def distributed():
                table = batch.solve_files(paths, up_cam=up_cam, client=client, **LENS)
                assert (table["error"] == "").all(), table["error"].unique()

            t_dist = median_s(distributed, runs)
            rss = client.run(lambda: __import__("psutil").Process().memory_info().rss)
        print(f"  batch.solve_files, {workers} workers         {n / t_dist:7.2f} frames/s  "
              f"{1e3 * t_dist / n:7.2f} ms/frame  ({t_serial / t_dist:.2f}x serial, "
              f"{n / t_dist / workers:.2f} frames/s per worker)")
        print("  worker resident memory after the runs: " +
              ", ".join(f"{v / 2**20:.0f} MiB" for v in sorted(rss.values())))
    print(load_line())


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 48, int(sys.argv[2]) if len(sys.argv) > 2 else 3,
         int(sys.argv[3]) if len(sys.argv) > 3 else 2)
