"""Threads sharing one Catalog: resolve_from_frames releases the interpreter lock for its
engine solve while other threads run the lock-holding entry points on the same catalog.
Every result must equal the one the same call gives alone, and the catalog must be
unchanged afterwards."""

import random
import threading

import pytest

import stelvane
import stelvane.catalogs

SIZE = 384
CENTRE = SIZE / 2 - 0.5
UTC0 = (2024, 3, 20, 22, 0, 0.0)
OFFSETS_S = (0.0, 600.0, 1200.0)  # far enough apart for the sky's turn to exceed the inlier tolerance


@pytest.fixture(scope="module")
def sky():
    catalog = stelvane.catalogs.load("allsky")
    jd0 = stelvane.julian_date(*UTC0)
    scenes = [stelvane.synthesize_scene(catalog, 40.0, -3.0, jd0 + s / 86400.0, 0.0, SIZE, SIZE, None, 3.5, 0.0, 0.0,
                                        20.0, k + 1, fisheye_fov_deg=180.0) for k, s in enumerate(OFFSETS_S)]
    frames = [s.pixels for s in scenes]
    times = [UTC0[:5] + (s,) for s in OFFSETS_S]
    return catalog, frames, times, scenes[1].up_cam


def fix_key(fix):
    return (fix.latitude_deg, fix.longitude_deg, fix.covariance, fix.ellipse_2sigma_nm, fix.matched_hr_ids,
            fix.n_iterations, fix.used_sun, fix.residual_rms_rad, fix.match_margin)


def jobs(catalog, frames, times, up):
    lens = dict(focal_px=None, cx=CENTRE, cy=CENTRE, up_cam=up, catalog=catalog, fisheye_fov_deg=180.0)
    middle = frames[1]
    centroids = stelvane.detect_centroids(middle, 12)
    return {
        "frames": lambda: fix_key(stelvane.resolve_from_frames(frames, times, **lens)),
        "fix": lambda: fix_key(stelvane.resolve_fix(middle, utc=times[1], **lens)),
        "centroids": lambda: fix_key(stelvane.resolve_from_centroids(centroids, utc=times[1], **lens)),
        "detect": lambda: stelvane.detect_centroids(middle, 20),
        "matched": lambda: stelvane.detect_centroids_matched(middle, 20, 1.0),
        "mask": lambda: stelvane.foreground_mask(middle).tobytes(),
        "scene": lambda: stelvane.synthesize_scene(catalog, -20.0, 100.0, 2460000.5, 30.0, 64, 48, None, 3.0, 0.5,
                                                   0.5, 10.0, 7, fisheye_fov_deg=180.0).pixels.tobytes(),
        "pair": lambda: (catalog.has_pair(7001, 7557, 34.2, 0.5), catalog.star(7001)),
    }


def test_threads_sharing_a_catalog_match_the_serial_results(sky):
    catalog, frames, times, up = sky
    work = jobs(catalog, frames, times, up)
    stars_before = catalog.stars()
    serial = {name: job() for name, job in work.items()}
    assert len(serial["frames"][4]) >= 5  # the burst really solves, so the lock-free road runs

    # Each thread runs the multi-frame solve and every other job, in its own shuffled order.
    n_threads = 3
    schedules = []
    for t in range(n_threads):
        order = [n for n in work if n != "frames"]
        random.Random(t).shuffle(order)
        schedules.append(order[:t] + ["frames"] + order[t:])
    results = [[] for _ in range(n_threads)]
    errors = []
    start = threading.Barrier(n_threads)

    def run(t):
        try:
            start.wait()
            for name in schedules[t]:
                results[t].append((name, work[name]()))
        except BaseException as e:  # noqa: BLE001 - reported below with its thread
            errors.append((t, e))

    threads = [threading.Thread(target=run, args=(t,)) for t in range(n_threads)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert errors == []
    for t in range(n_threads):
        assert [name for name, _ in results[t]] == schedules[t]
        for name, value in results[t]:
            assert value == serial[name], (t, name)
    assert catalog.stars() == stars_before

