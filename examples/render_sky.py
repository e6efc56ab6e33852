"""Render the sky a camera would record from a place and time, and label its stars.

    python examples/render_sky.py --lat 51.48 --lon 0.0 --utc 2024-03-20T03:06:00+00:00
    python examples/render_sky.py --lens pinhole --focal 1500 --out sky.png

Draws the synthetic frame with every drawn star circled and labelled by its HR
number (needs matplotlib: ``pip install matplotlib``).
"""

from __future__ import annotations

import argparse
import datetime as dt

import stelvane
from stelvane import catalogs


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--lat", type=float, default=51.48, help="latitude, degrees north")
    p.add_argument("--lon", type=float, default=0.0, help="longitude, degrees east")
    p.add_argument("--utc", default="2024-03-20T03:06:00+00:00", help="ISO instant with a UTC offset")
    p.add_argument("--lens", choices=["fisheye", "pinhole"], default="fisheye")
    p.add_argument("--focal", type=float, default=1500.0, help="pinhole focal length, pixels")
    p.add_argument("--labels", type=int, default=25, help="label the brightest N drawn stars")
    p.add_argument("--out", default="sky.png")
    args = p.parse_args()

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    when = dt.datetime.fromisoformat(args.utc)
    jd = stelvane.julian_date(when.year, when.month, when.day, when.hour, when.minute, when.second)
    if args.lens == "fisheye":
        scene = stelvane.synthesize_scene(catalogs.load("allsky"), args.lat, args.lon, jd, 0.0, 1024, 1024, None,
                                          3.5, 0.0, 0.0, 20.0, 1, fisheye_fov_deg=180.0)
    else:
        scene = stelvane.synthesize_scene(catalogs.load("pinhole"), args.lat, args.lon, jd, 0.0, 1920, 1080,
                                          args.focal, 6.0, 0.0, 0.0, 20.0, 1)

    fig, ax = plt.subplots(figsize=(scene.width / 100, scene.height / 100), dpi=100)
    ax.imshow(scene.pixels, cmap="gray", vmin=1024, vmax=8000)
    for rank, (hr, (x, y)) in enumerate(zip(scene.rendered_hr_ids, scene.star_pixels)):
        ax.add_patch(plt.Circle((x, y), 9, fill=False, color="tab:green", lw=0.8))
        if rank < args.labels:  # brightest first
            ax.annotate(f"HR {hr}", (x + 11, y - 4), color="tab:green", fontsize=7)
    ax.set_title(f"{len(scene.rendered_hr_ids)} stars, {args.lat:+.2f} {args.lon:+.2f}, {when.isoformat()}, "
                 f"boresight alt {scene.boresight_alt_deg:.0f} az {scene.boresight_az_deg:.0f}", fontsize=9)
    ax.set_axis_off()
    fig.savefig(args.out, bbox_inches="tight")
    print(f"wrote {args.out}: {len(scene.rendered_hr_ids)} stars drawn")


if __name__ == "__main__":
    main()
