"""Throughput of stelvane.batch: a folder of rendered all-sky FITS frames solved serially and on a local Dask
cluster of worker processes, and the batch layer's own cost per frame.

Writes N frames (1024x1024, ideal 180 degree fisheye, allsky catalog, one every 10 minutes of a night, the instant
in DATE-OBS + EXPTIME/2) to a temporary folder, then prints, each the median of `runs` runs:

- bare `stelvane.resolve_fix` over the frames already in memory (the engine alone), frames/s;
- `stelvane.files.solve_path` over the files (reading + instant + solve), frames/s;
- `stelvane.batch.solve_files(client=None)` (the same plus the table), frames/s, and its cost per frame over the
  bare resolve_fix and over solve_path;
- `solve_files` on `stelvane.batch.local_cluster(workers)` (processes of one thread, after one warm-up batch),
  frames/s and its ratio to the serial batch; the cluster's start-up time, each worker's resident memory and
  page faults per frame;
- on each cluster, the same with one file per task, and Dask's own CPU cost of a no-op task;
- the same on a LocalCluster with Dask's worker defaults (MALLOC_TRIM_THRESHOLD_=65536 and the statistical
  profiler), which local_cluster leaves out; page faults per frame and an idle worker's CPU time per second.

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
from timing import median_s, median_wall_and_cpu_s

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


def only_ties(table) -> None:
    """Every frame solved, but for the odd tie a long night holds."""
    failed = table["error"][table["error"] != ""]
    assert failed.str.startswith("star pattern match is ambiguous").all(), failed.unique()


def timed(fn, runs: int) -> tuple[float, float]:
    """(median wall seconds, median CPU seconds of this process) of `runs` calls of fn(), after one more."""
    fn()
    return median_wall_and_cpu_s(fn, runs)


def nothing(x, shared):
    return x


def task_cost_ms(client, runs: int, n: int = 400) -> tuple[float, float]:
    """Median CPU milliseconds per no-op task (taking a scattered argument, as a batch task does): in the
    workers, and in this process, which holds a LocalCluster's scheduler beside the client."""
    shared = client.scatter(0, broadcast=True)
    worker_ms, here_ms = [], []
    for _ in range(runs):
        before, here = client.run(time.process_time), time.process_time()
        client.gather(client.map(nothing, range(n), shared=shared, pure=False))
        worker_ms.append(1e3 * (sum(client.run(time.process_time).values()) - sum(before.values())) / n)
        here_ms.append(1e3 * (time.process_time() - here) / n)
    return float(np.median(worker_ms)), float(np.median(here_ms))


def minor_faults() -> int:
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


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
                try:
                    stelvane.resolve_fix(pixels, None, SIZE / 2, SIZE / 2, up_cam, when, catalog, **LENS)
                except stelvane.StelvaneError:  # a long night holds the odd tie; it costs a solve all the same
                    pass

        def per_file():
            for p in paths:
                files.solve_path(p, up_cam=up_cam, catalog="allsky", **LENS)

        def serial():
            only_ties(batch.solve_files(paths, up_cam=up_cam, **LENS))

        (t_bare, c_bare), (t_file, c_file), (t_serial, c_serial) = (timed(f, runs) for f in (bare, per_file, serial))
        for label, t, c in (("bare resolve_fix (frames in memory)", t_bare, c_bare),
                            ("files.solve_path (read + solve)", t_file, c_file),
                            ("batch.solve_files, serial", t_serial, c_serial)):
            print(f"  {label:38s} {n / t:6.2f} frames/s  {1e3 * t / n:6.2f} ms/frame wall, {1e3 * c / n:6.2f} CPU")
        print(f"  batch layer per frame, CPU: {1e3 * (c_serial - c_bare) / n:.2f} ms over bare resolve_fix (reading "
              f"the file included), {1e3 * (c_serial - c_file) / n:.2f} ms over solve_path")

        for label, make in ((f"local_cluster({workers})", lambda: batch.local_cluster(workers)),
                            (f"LocalCluster({workers}), Dask's worker defaults",
                             lambda: LocalCluster(n_workers=workers, threads_per_worker=1, dashboard_address=":0",
                                                  silence_logs=logging.ERROR))):
            t0 = time.perf_counter()
            with make() as cluster, Client(cluster) as client:
                client.wait_for_workers(workers)
                started = time.perf_counter() - t0
                batch.solve_files(paths[: 2 * workers], up_cam=up_cam, client=client, **LENS)  # imports, catalog
                faults_before, cpu_before = client.run(minor_faults), client.run(time.process_time)
                cpu_here = time.process_time()

                def distributed():
                    only_ties(batch.solve_files(paths, up_cam=up_cam, client=client, **LENS))

                t_dist = median_s(distributed, runs)
                cpu_here = time.process_time() - cpu_here
                faults = sum(client.run(minor_faults).values()) - sum(faults_before.values())
                cpu = sum(client.run(time.process_time).values()) - sum(cpu_before.values())
                rss = client.run(lambda: __import__("psutil").Process().memory_info().rss)
                t_single = median_s(lambda: batch.solve_files(paths, up_cam=up_cam, client=client,
                                                              files_per_task=1, **LENS), runs)
                task_worker_ms, task_here_ms = task_cost_ms(client, runs)
                idle_before, idle_wall = client.run(time.process_time), time.perf_counter()
                time.sleep(3.0)
                idle_ms_per_s = 1e3 * (sum(client.run(time.process_time).values()) - sum(idle_before.values())) / (
                    workers * (time.perf_counter() - idle_wall))
            print(f"  {label}, started in {started:.2f} s:")
            cpu_frame, here_frame = cpu / (n * runs), cpu_here / (n * runs)
            print(f"    batch.solve_files {n / t_dist:6.2f} frames/s ({t_serial / t_dist:.2f}x serial, "
                  f"{n / t_dist / workers:.2f} per worker); CPU per frame: {1e3 * cpu_frame:.2f} ms in the workers, "
                  f"{1e3 * here_frame:.2f} ms here (scheduler, client)")
            # What the CPU times allow on `workers` otherwise idle cores: the workers' share and this process's
            # share of the cores, against one core solving serially.
            bound = workers / (cpu_frame + here_frame) * c_serial / n
            print(f"    CPU-time bound on {workers} idle cores: {bound:.2f}x serial")
            print(f"    one file per task: {n / t_single:6.2f} frames/s ({t_serial / t_single:.2f}x serial); Dask's own "
                  f"cost per task: {task_worker_ms:.2f} ms CPU in a worker, {task_here_ms:.2f} ms here (scheduler, client)")
            print(f"    {faults / (n * runs):.0f} minor page faults per frame; an idle worker spends {idle_ms_per_s:.1f} ms "
                  "CPU per second; worker resident memory after the runs: "
                  + ", ".join(f"{v / 2**20:.0f} MiB" for v in sorted(rss.values())))
    print(load_line())


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 48, int(sys.argv[2]) if len(sys.argv) > 2 else 3,
         int(sys.argv[3]) if len(sys.argv) > 3 else 2)
