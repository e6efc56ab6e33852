"""The main job, end to end: render a night sky, solve it, show the fix.

::

    python -m stelvane.demo                       # a 180-degree fisheye over Greenwich
    python -m stelvane.demo --lens pinhole --lat -33.86 --lon 151.21
    python -m stelvane.demo --image frame.npy --focal 1500 --cx 960 --cy 540 \\
        --up 0.1,-0.2,0.97 --utc 2024-03-20T03:06:00+00:00 --lens pinhole

It prints the fix with its 2-sigma ellipse (and the error against the truth for a
rendered sky) and writes a PNG: the frame with detected stars (circles), identified
stars labelled by HR number, and beside it a local map of the truth, the fix and
the 2-sigma ellipse.
"""

from __future__ import annotations

import argparse
import datetime as dt
import math
import sys
import time

import numpy as np

import stelvane
from stelvane import catalogs
from stelvane._raster import Canvas

GREEN, YELLOW, RED, CYAN, WHITE = (60, 220, 90), (250, 220, 60), (240, 70, 60), (80, 200, 240), (255, 255, 255)


def _parse_args(argv: list[str] | None, prog: str) -> argparse.Namespace:
    p = argparse.ArgumentParser(prog=prog, description=__doc__.split("\n")[0])
    p.add_argument("--lens", choices=["fisheye", "pinhole"], default="fisheye")
    p.add_argument("--lat", type=float, default=51.4779, help="true latitude, degrees (rendered sky)")
    p.add_argument("--lon", type=float, default=-0.0015, help="true longitude, degrees east (rendered sky)")
    p.add_argument("--utc", default="2024-03-20T03:06:00+00:00", help="ISO instant with a UTC offset")
    p.add_argument("--seed", type=int, default=7)
    p.add_argument("--pixel-noise", type=float, default=0.3, help="centroid noise, arcmin (rendered sky)")
    p.add_argument("--up-noise", type=float, default=0.5, help="up-vector noise, arcmin (rendered sky)")
    p.add_argument("--out", default="stelvane-demo.png", help="PNG to write")
    p.add_argument("--image", help="solve this 2-D uint8/uint16 .npy frame instead of rendering one")
    p.add_argument("--focal", type=float, help="focal length in pixels (--image with a pinhole)")
    p.add_argument("--cx", type=float)
    p.add_argument("--cy", type=float)
    p.add_argument("--up", help="up vector in the camera frame, x,y,z (--image)")
    p.add_argument("--fov", type=float, default=180.0, help="fisheye field of view, degrees")
    return p.parse_args(argv)


def _instant(text: str) -> dt.datetime:
    when = dt.datetime.fromisoformat(text.replace("Z", "+00:00"))
    if when.tzinfo is None:
        raise SystemExit("--utc needs a UTC offset, e.g. 2024-03-20T03:06:00+00:00")
    return when


def _render(args: argparse.Namespace, when: dt.datetime):
    jd = stelvane.julian_date(when.year, when.month, when.day, when.hour, when.minute,
                              when.second + when.microsecond / 1e6)
    if args.lens == "fisheye":
        catalog = catalogs.load("allsky")
        scene = stelvane.synthesize_scene(catalog, args.lat, args.lon, jd, 0.0, 1024, 1024, None, 3.5,
                                          args.pixel_noise, args.up_noise, 30.0, args.seed, fisheye_fov_deg=args.fov)
        lens = dict(focal_px=None, cx=512.0, cy=512.0, fisheye_fov_deg=args.fov)
    else:
        catalog = catalogs.load("pinhole")
        scene = stelvane.synthesize_scene(catalog, args.lat, args.lon, jd, 0.0, 1920, 1080, 1500.0, 6.0,
                                          args.pixel_noise, args.up_noise, 30.0, args.seed)
        lens = dict(focal_px=1500.0, cx=960.0, cy=540.0)
    return catalog, scene, lens


def _draw_map(canvas_rgb: np.ndarray, fix: stelvane.Fix, truth: tuple[float, float] | None) -> np.ndarray:
    """A north-up local map: the 2-sigma ellipse around the truth (or the fix), and the fix."""
    size = canvas_rgb.shape[0]
    panel = Canvas(np.zeros((size, size), np.uint16))
    panel.rgb[:] = 24
    centre_lat, centre_lon = truth if truth else (fix.latitude_deg, fix.longitude_deg)
    a, b, orientation = fix.ellipse_2sigma_nm
    error = stelvane.great_circle_nm(centre_lat, centre_lon, fix.latitude_deg, fix.longitude_deg) if truth else 0.0
    extent_nm = max(a, error, 0.05) * 1.6
    scale = (size / 2) / extent_nm  # pixels per nautical mile
    c = size / 2
    # Azimuth from north through east: image angle from +x (east) is 90 deg - azimuth, y down.
    panel.ellipse(c, c, a * scale, b * scale, math.radians(orientation - 90.0), YELLOW)
    panel.line(c - 6, c, c + 6, c, WHITE)
    panel.line(c, c - 6, c, c + 6, WHITE)
    if truth:
        north_nm = (fix.latitude_deg - centre_lat) * 60.0
        east_nm = (fix.longitude_deg - centre_lon) * 60.0 * math.cos(math.radians(centre_lat))
        fx, fy = c + east_nm * scale, c - north_nm * scale
        panel.circle(fx, fy, 4, RED)
    bar_nm = 10 ** math.floor(math.log10(extent_nm))
    panel.line(20, size - 20, 20 + bar_nm * scale, size - 20, WHITE)
    panel.text(20, size - 34, f"{bar_nm:g} NM", WHITE)
    panel.line(c, 24, c, 40, WHITE)  # north is up
    panel.text(c - 2, 12, "N", WHITE)
    return panel.rgb


def save_fix_png(path: str, frame: np.ndarray, fix: stelvane.Fix, *, truth: tuple[float, float] | None = None,
                 star_pixels: dict[int, tuple[float, float]] | None = None) -> None:
    """Writes the annotated frame (detected stars circled, identified ones labelled by HR number where their
    pixels are known) beside a north-up map of the 2-sigma ellipse, as a PNG."""
    canvas = Canvas(frame)
    for x, y, _ in stelvane.detect_centroids(frame, 64):
        canvas.circle(x, y, 7, CYAN)
    known = star_pixels or {}
    for hr in fix.matched_hr_ids:
        if hr in known:
            x, y = known[hr]
            canvas.circle(x, y, 11, GREEN)
            canvas.text(x + 13, y - 3, f"HR {hr}", GREEN)
    size = min(frame.shape)
    panel = _draw_map(canvas.rgb[:size, :size], fix, truth)
    out = Canvas(np.zeros((1, 1), np.uint16))
    out.rgb = np.concatenate([canvas.rgb[:size], np.pad(panel, ((0, 0), (8, 0), (0, 0)))], axis=1)
    out.save_png(path)


def main(argv: list[str] | None = None, *, prog: str = "python -m stelvane.demo") -> int:
    args = _parse_args(argv, prog)
    when = _instant(args.utc)
    truth = None
    if args.image:
        frame = np.load(args.image)
        if None in (args.cx, args.cy, args.up) or (args.lens == "pinhole" and args.focal is None):
            raise SystemExit("--image needs --cx, --cy, --up (and --focal for a pinhole)")
        up = tuple(float(v) for v in args.up.split(","))
        catalog = catalogs.load("allsky" if args.lens == "fisheye" else "pinhole")
        lens = dict(focal_px=args.focal, cx=args.cx, cy=args.cy)
        if args.lens == "fisheye":
            lens["fisheye_fov_deg"] = args.fov
        scene = None
    else:
        catalog, scene, lens = _render(args, when)
        frame, up, truth = scene.pixels, scene.up_cam, (args.lat, args.lon)

    started = time.perf_counter()
    try:
        fix = stelvane.resolve_fix(frame, lens.pop("focal_px"), lens.pop("cx"), lens.pop("cy"), up, when, catalog,
                                   **lens)
    except stelvane.StelvaneError as err:
        print(f"no fix: {err}", file=sys.stderr)
        return 1
    elapsed_ms = (time.perf_counter() - started) * 1e3

    a, b, orientation = fix.ellipse_2sigma_nm
    print(f"stelvane {stelvane.__version__}: {args.lens} frame {frame.shape[1]}x{frame.shape[0]}, {when.isoformat()}")
    print(f"fix        {fix.latitude_deg:+.5f} deg, {fix.longitude_deg:+.5f} deg   ({elapsed_ms:.0f} ms)")
    print(f"2-sigma    {a:.2f} x {b:.2f} nm, major axis at azimuth {orientation:+.1f} deg")
    print(f"stars      {len(fix.matched_hr_ids)} identified (HR {', '.join(map(str, fix.matched_hr_ids))}), "
          f"match margin {fix.match_margin}, {fix.n_iterations} iterations")
    print(f"residual   {fix.residual_rms_rad * 180 / math.pi * 60:.3f} arcmin rms")
    if truth:
        error = stelvane.great_circle_nm(truth[0], truth[1], fix.latitude_deg, fix.longitude_deg)
        print(f"truth      {truth[0]:+.5f} deg, {truth[1]:+.5f} deg   error {error:.3f} nm "
              f"({'inside' if error <= a else 'outside'} the 2-sigma semi-major axis)")

    star_pixels = dict(zip(scene.rendered_hr_ids, scene.star_pixels)) if scene is not None else None
    save_fix_png(args.out, frame, fix, truth=truth, star_pixels=star_pixels)
    print(f"wrote      {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
