"""Vectorised Camera projections: nanoseconds per direction / per pixel.

For each projection, vec_to_pixel of N directions given as an (N, 3) float64 array
and pixel_to_vec of N pixels given as two float64 arrays, median of a few runs.
Baseline in the same run: the same work written in NumPy (equidistant fisheye
formula for the fisheyes, ray normalisation for the pinhole). Prints figures only.

    python bench/bench_camera.py [N] [runs]
"""

import sys
import time

import numpy as np

import stelvane


def median_ns(fn, runs):
    times = []
    for _ in range(runs):
        t0 = time.perf_counter_ns()
        fn()
        times.append(time.perf_counter_ns() - t0)
    return float(np.median(times))


def numpy_vec_to_pixel(v, f, cx, cy, pinhole):
    if pinhole:
        return np.stack([cx + f * v[:, 0] / v[:, 2], cy + f * v[:, 1] / v[:, 2]], axis=1)
    theta = np.arccos(np.clip(v[:, 2], -1.0, 1.0))
    phi = np.arctan2(v[:, 1], v[:, 0])
    return np.stack([cx + f * theta * np.cos(phi), cy + f * theta * np.sin(phi)], axis=1)


def numpy_pixel_to_vec(xs, ys, f, cx, cy, pinhole):
    dx, dy = xs - cx, ys - cy
    if pinhole:
        v = np.stack([dx, dy, np.full_like(dx, f)], axis=1)
        return v / np.linalg.norm(v, axis=1, keepdims=True)
    theta = np.hypot(dx, dy) / f
    phi = np.arctan2(dy, dx)
    s = np.sin(theta)
    return np.stack([s * np.cos(phi), s * np.sin(phi), np.cos(theta)], axis=1)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    rng = np.random.default_rng(1)
    # Directions spread over the forward hemisphere and a little beyond (some fall outside every field).
    theta = np.arccos(rng.uniform(-0.2, 1.0, n))
    phi = rng.uniform(-np.pi, np.pi, n)
    v = np.stack([np.sin(theta) * np.cos(phi), np.sin(theta) * np.sin(phi), np.cos(theta)], axis=1)
    xs = rng.uniform(0.0, 1920.0, n)
    ys = rng.uniform(0.0, 1080.0, n)
    cameras = {
        "pinhole": stelvane.Camera(1400.0, 960.0, 540.0),
        "equidistant fisheye": stelvane.Camera(None, 960.0, 540.0, fisheye_fov_deg=185.0),
        "distorted fisheye": stelvane.Camera(330.0, 960.0, 540.0, fisheye_fov_deg=190.0, k1=0.01, k2=-0.002,
                                             k3=1e-4, k4=-1e-5),
    }
    print(f"N = {n}, median of {runs} runs, ns per element (NumPy formula in the same run as baseline)")
    print(f"{'projection':22s} {'vec_to_pixel':>13s} {'numpy':>8s} {'pixel_to_vec':>13s} {'numpy':>8s}")
    for name, cam in cameras.items():
        pinhole = name == "pinhole"
        f, cx, cy = cam.effective_focal_px, cam.cx, cam.cy
        t_v2p = median_ns(lambda: cam.vec_to_pixel(v), runs) / n
        t_v2p_np = median_ns(lambda: numpy_vec_to_pixel(v, f, cx, cy, pinhole), runs) / n
        t_p2v = median_ns(lambda: cam.pixel_to_vec(xs, ys), runs) / n
        t_p2v_np = median_ns(lambda: numpy_pixel_to_vec(xs, ys, f, cx, cy, pinhole), runs) / n
        print(f"{name:22s} {t_v2p:13.1f} {t_v2p_np:8.1f} {t_p2v:13.1f} {t_p2v_np:8.1f}")


if __name__ == "__main__":
    main()
