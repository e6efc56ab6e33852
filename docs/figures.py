"""Redraws the manual's pictures into docs/_static/ from the installed package.

The pictures are committed, so a docs build runs no solve; run this after a change that
alters them (needs matplotlib and Pillow, both in the ``docs`` extra):

    python docs/figures.py [--only NAME ...]
"""

from __future__ import annotations

import argparse
import math
import runpy
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.patches import Circle, FancyArrowPatch, Rectangle  # noqa: E402
from PIL import Image  # noqa: E402

import stelvane  # noqa: E402
import stelvane.demo  # noqa: E402

HERE = Path(__file__).resolve().parent
STATIC = HERE / "_static"
EXAMPLES = HERE.parent / "examples"
# Pictures shown in the README and on the pages stay at a modest size.
MAX_WIDTH_PX = 1000


def _shrink(path: Path, max_width_px: int = MAX_WIDTH_PX) -> None:
    with Image.open(path) as im:
        if im.width > max_width_px:
            height = round(im.height * max_width_px / im.width)
            im = im.convert("RGB").resize((max_width_px, height), Image.LANCZOS)
        im.save(path, optimize=True)


def demo() -> None:
    """The demo's own picture: the default fisheye sky over Greenwich, solved."""
    out = STATIC / "demo.png"
    if stelvane.demo.main(["--out", str(out)]) != 0:
        raise SystemExit("the demo found no fix")
    _shrink(out, 1028)  # half size, 2056 px wide as drawn


def _arrow(ax, start, end, colour, label=None, offset=(0.0, 0.0), **kw):
    ax.add_patch(FancyArrowPatch(start, end, arrowstyle="-|>", mutation_scale=16, lw=2, color=colour, **kw))
    if label:
        ax.annotate(label, (end[0] + offset[0], end[1] + offset[1]), color=colour, fontsize=11,
                    ha="center", va="center")


def _image_panel(ax) -> None:
    """The frame as the camera delivers it: pixel (0, 0) top left, x right, y down, z into the page."""
    w, h = 6.4, 4.8
    ax.add_patch(Rectangle((0, 0), w, h, fill=True, fc="#0b1530", ec="black", lw=1.5))
    for sx, sy in [(1.2, 1.0), (4.9, 1.6), (2.7, 3.9), (5.6, 3.4), (0.8, 3.1), (3.9, 0.7)]:
        ax.add_patch(Circle((sx, sy), 0.05, color="white"))
    cx, cy = w / 2, h / 2
    _arrow(ax, (cx, cy), (cx + 1.9, cy), "tab:red", "+x  (column)", offset=(0.05, -0.3))
    _arrow(ax, (cx, cy), (cx, cy + 1.7), "tab:green", "+y  (row)", offset=(0.85, -0.1))
    ax.add_patch(Circle((cx, cy), 0.22, fill=False, ec="tab:blue", lw=2))
    ax.plot([cx - 0.15, cx + 0.15], [cy - 0.15, cy + 0.15], color="tab:blue", lw=2)
    ax.plot([cx - 0.15, cx + 0.15], [cy + 0.15, cy - 0.15], color="tab:blue", lw=2)
    ax.annotate("+z  boresight,\ninto the scene", (cx - 0.3, cy - 0.55), color="tab:blue", fontsize=10,
                ha="right", va="center")
    ax.annotate("(cx, cy)", (cx + 0.25, cy + 0.35), color="white", fontsize=9)
    ax.annotate("pixel (0, 0)", (0.08, 0.3), color="white", fontsize=9)
    ax.annotate(f"pixel ({640 - 1}, {480 - 1})", (w - 0.08, h - 0.2), color="white", fontsize=9, ha="right")
    ax.set_xlim(-0.4, w + 0.4)
    ax.set_ylim(h + 0.4, -0.4)  # rows grow downwards, as in the image
    ax.set_aspect("equal")
    ax.set_axis_off()
    ax.set_title("The frame as stored: image right = +x, image down = +y", fontsize=11)


def _side_panel(ax, altitude_deg: float = 35.0) -> None:
    """Side view of a camera tilted up by altitude_deg with no roll: where up_cam points."""
    alt = math.radians(altitude_deg)
    ax.plot([-1.2, 4.4], [0, 0], color="0.4", lw=1)
    ax.annotate("horizon", (4.3, -0.2), color="0.4", fontsize=9, ha="right")
    o = (0.0, 0.0)
    # Camera body: a small box turned to the boresight.
    body = Rectangle((-0.55, -0.25), 0.55, 0.5, angle=altitude_deg, rotation_point=(0.0, 0.0),
                     fc="0.85", ec="black")
    ax.add_patch(body)
    z = (3.0 * math.cos(alt), 3.0 * math.sin(alt))
    y = (1.5 * math.sin(alt), -1.5 * math.cos(alt))  # image down, towards the ground at roll 0
    _arrow(ax, o, z, "tab:blue", "+z boresight", offset=(0.1, 0.25))
    _arrow(ax, o, y, "tab:green", "+y (image down)", offset=(0.2, -0.25))
    _arrow(ax, o, (0.0, 2.2), "tab:orange", "up = zenith", offset=(0.0, 0.2))
    _arrow(ax, (-0.9, 1.9), (-0.9, 0.6), "0.3", "gravity g", offset=(-0.05, -0.25))
    ax.annotate("a resting accelerometer\nreads -g: 1 g along up", (2.3, -0.75), fontsize=9, color="0.3")
    ax.annotate("", (0.9 * math.cos(alt), 0.9 * math.sin(alt)), (0.9, 0.0),
                arrowprops=dict(arrowstyle="-", connectionstyle=f"arc3,rad={alt / 2:.3f}", color="0.3"))
    ax.annotate(f"altitude {altitude_deg:.0f}°", (1.0, 0.25), fontsize=9, color="0.3")
    ax.annotate("+x (image right) points\nout of the page", (2.3, -1.2), color="tab:red", fontsize=9)
    ax.annotate(f"up_cam = (0, -cos alt, sin alt)\n       = (0, {-math.cos(alt):.3f}, {math.sin(alt):.3f})",
                (-1.2, 3.0), fontsize=10, family="monospace", color="tab:orange")
    ax.set_xlim(-1.4, 4.6)
    ax.set_ylim(-1.7, 3.6)
    ax.set_aspect("equal")
    ax.set_axis_off()
    ax.set_title("Side view: up_cam is the zenith in camera axes", fontsize=11)


def camera_frame() -> None:
    """The camera frame and up_cam: the stored image, and a side view of a tilted camera."""
    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 4.8), dpi=100)
    _image_panel(left)
    _side_panel(right)
    fig.tight_layout()
    fig.savefig(STATIC / "camera-frame.png")
    plt.close(fig)
    _shrink(STATIC / "camera-frame.png")


def render_sky() -> None:
    """examples/render_sky.py with its default arguments."""
    _run_example("render_sky.py", STATIC / "render-sky.png")


def covariance() -> None:
    """examples/covariance_demo.py with --out: the ellipses of its sight plans."""
    _run_example("covariance_demo.py", STATIC / "covariance.png")


def calibration() -> None:
    """examples/calibrate_lens.py with --out: residual vectors before and after a calibration."""
    _run_example("calibrate_lens.py", STATIC / "calibration-residuals.png")


def error_budget() -> None:
    """examples/error_budget.py with --out: the budget's terms for typical hardware."""
    _run_example("error_budget.py", STATIC / "error-budget.png")


def _run_example(script: str, out: Path) -> None:
    argv = sys.argv
    sys.argv = [script, "--out", str(out)]
    try:
        runpy.run_path(str(EXAMPLES / script), run_name="__main__")
    finally:
        sys.argv = argv
    plt.close("all")
    _shrink(out)


FIGURES = {"demo": demo, "camera-frame": camera_frame, "render-sky": render_sky, "covariance": covariance,
           "calibration": calibration, "error-budget": error_budget}


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--only", nargs="+", choices=sorted(FIGURES), help="redraw only these")
    args = p.parse_args(argv)
    STATIC.mkdir(exist_ok=True)
    for name in args.only or FIGURES:
        FIGURES[name]()
        print(f"drew {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
