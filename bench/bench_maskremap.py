"""Timing of the foreground mask and the camera-to-camera remap (figures only, no asserts).

foreground_mask on a 1920 x 1080 uint16 frame (sky noise, stars and a bright foreground
band), in ns per pixel; remap_image of that frame, taken as a bench fisheye, into a
1024 x 1024 all-sky circle, in ns per destination pixel; remap_mask likewise. Each figure
is the median of a few runs, with the frame copy through numpy.copy as a baseline.
"""

from __future__ import annotations

import os

import numpy as np
from timing import median_wall_and_cpu_s as median_seconds

import stelvane


def sky_frame(width: int, height: int, seed: int = 1) -> np.ndarray:
    rng = np.random.default_rng(seed)
    frame = rng.normal(1200.0, 30.0, size=(height, width))
    ys = rng.integers(0, height, 400)
    xs = rng.integers(0, width, 400)
    frame[ys, xs] += rng.uniform(2000, 30000, 400)
    frame[height - height // 5 :, :] += 20000.0  # roofline band
    return np.clip(frame, 0, 65535).astype(np.uint16)


def main() -> None:
    width, height = 1920, 1080
    frame = sky_frame(width, height)
    n = width * height
    print(f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f} (wall figures rise with load)")
    baseline, _ = median_seconds(lambda: np.copy(frame), 7)
    t_mask, c_mask = median_seconds(lambda: stelvane.foreground_mask(frame), 7)
    print(f"foreground_mask {width}x{height}: {t_mask * 1e3:.2f} ms, {t_mask / n * 1e9:.2f} ns/pixel wall, "
          f"{c_mask / n * 1e9:.2f} ns/pixel CPU (goal <= 10; numpy.copy {baseline / n * 1e9:.2f} ns/pixel, "
          f"ratio {t_mask / baseline:.0f}x)")

    if not hasattr(stelvane, "remap_image"):
        return
    side = 1024
    src = dict(src_focal_px=None, src_cx=(width - 1) / 2, src_cy=(height - 1) / 2, src_fisheye_fov_deg=185.0)
    dst = dict(dst_focal_px=None, dst_cx=(side - 1) / 2, dst_cy=(side - 1) / 2, dst_width=side, dst_height=side,
               dst_fisheye_fov_deg=180.0)
    m = side * side
    t_img, c_img = median_seconds(lambda: stelvane.remap_image(frame, **src, **dst), 5)
    print(f"remap_image fisheye {width}x{height} -> all-sky {side}x{side}: {t_img * 1e3:.2f} ms, "
          f"{t_img / m * 1e9:.2f} ns/destination pixel wall (goal <= 40), {c_img / m * 1e9:.2f} ns CPU summed "
          f"over threads")
    mask = stelvane.foreground_mask(frame)
    t_msk, c_msk = median_seconds(lambda: stelvane.remap_mask(mask, **src, **dst), 5)
    print(f"remap_mask  fisheye {width}x{height} -> all-sky {side}x{side}: {t_msk * 1e3:.2f} ms, "
          f"{t_msk / m * 1e9:.2f} ns/destination pixel wall, {c_msk / m * 1e9:.2f} ns CPU summed over threads")


if __name__ == "__main__":
    main()
