"""Bursts of frames: the time of one 5-frame 1920x1080 burst solve, and what two Python
threads gain by solving two bursts at once (resolve_from_frames releases the interpreter
lock while it analyses the frames).

Renders five all-sky fisheye frames 300 s apart, then prints the median time of one
burst solve, its share per frame and a baseline measured in the same run (matched-filter
detection of the five frames alone, the part of the solve that scales with pixels), and
how much Python work another thread gets done during a solve (near 1 when the lock is
released and a core is free), and the wall-clock time of 2 x `pairs` solves run serially
and on two threads, with their ratio. Both are bounded by the cores the machine can give:
the load average is printed with them. Prints figures only.

    python bench/bench_burst.py [runs] [pairs]
"""

import datetime
import os
import sys
import threading
import time

import numpy as np

import stelvane
from timing import median_s
import stelvane.catalogs

W, H = 1920, 1080
DT_S = 300.0
T0 = datetime.datetime(2024, 1, 1, 3, 0, tzinfo=datetime.timezone.utc)
JD_T0 = 2460310.5 + 3.0 / 24.0




def main() -> None:
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    pairs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    catalog = stelvane.catalogs.load("allsky")
    scenes = [stelvane.synthesize_scene(catalog, 40.0, -75.0, JD_T0 + k * DT_S / 86400.0, 0.0, W, H, None, 3.5, 0.3,
                                        0.0, 5.0, 11 + k, fisheye_fov_deg=180.0) for k in range(5)]
    frames = [s.pixels for s in scenes]
    times = [T0 + datetime.timedelta(seconds=k * DT_S) for k in range(5)]
    up = scenes[2].up_cam

    def solve():
        return stelvane.resolve_from_frames(frames, times, None, W / 2, H / 2, up, catalog, fisheye_fov_deg=180.0)

    fix = solve()
    t = median_s(solve, runs)
    c0 = time.process_time()
    for _ in range(runs):
        solve()
    cpu = (time.process_time() - c0) / runs
    detect = median_s(lambda: [stelvane.detect_centroids_matched(f, 48, 1.0) for f in frames], runs)
    print(f"5-frame {W}x{H} burst solve: median {t * 1e3:.0f} ms ({t / 5 * 1e3:.0f} ms/frame, "
          f"{t / (5 * W * H) * 1e9:.1f} ns/pixel); detection alone {detect * 1e3:.0f} ms "
          f"(ratio {t / detect:.2f}); CPU time {cpu * 1e3:.0f} ms per solve; {len(fix.matched_hr_ids)} stars, "
          f"{stelvane.great_circle_nm(fix.latitude_deg, fix.longitude_deg, 40.0, -75.0):.2f} nm from truth")

    def serial():
        for _ in range(2 * pairs):
            solve()

    def threaded():
        def work():
            for _ in range(pairs):
                solve()
        threads = [threading.Thread(target=work) for _ in range(2)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()

    # Whether the lock is really released: Python work another thread gets done during one solve,
    # against the same thread during a sleep of the same length.
    def spin_during(fn):
        count, stop = [0], threading.Event()

        def spin():
            while not stop.is_set():
                count[0] += 1
        th = threading.Thread(target=spin)
        th.start()
        t0 = time.perf_counter()
        fn()
        elapsed = time.perf_counter() - t0
        stop.set()
        th.join()
        return count[0], elapsed

    spun, elapsed = spin_during(solve)
    idle, _ = spin_during(lambda: time.sleep(elapsed))
    print(f"another Python thread ran {spun / max(idle, 1):.2f}x as much during a solve as during a sleep")

    def cpu_per_wall(fn):
        c0, t0 = time.process_time(), time.perf_counter()
        fn()
        return (time.process_time() - c0) / (time.perf_counter() - t0)

    t_serial = median_s(serial, max(1, runs // 2))
    t_threads = median_s(threaded, max(1, runs // 2))
    print(f"cores busy: serial {cpu_per_wall(serial):.2f}, two threads {cpu_per_wall(threaded):.2f}")
    print(f"{2 * pairs} burst solves: serial {t_serial * 1e3:.0f} ms, two threads {t_threads * 1e3:.0f} ms, "
          f"speed-up {t_serial / t_threads:.2f}x on {os.cpu_count()} cores, load average "
          f"{os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
