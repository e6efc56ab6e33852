"""How the spread of sight azimuths shapes the 2-sigma error ellipse of a fix.

    python examples/covariance_demo.py [--out ellipses.png]

Prints the ellipse for a few sight plans with one arcminute of altitude error
each: well-spread azimuths pin the fix down, nearly parallel lines of position
leave it loose across the sights. With --out it also draws each plan's ellipse
and sight directions on a north-up map (needs matplotlib).
"""

import argparse
import math

import stelvane

PLANS = {
    "two sights at right angles": [0, 90],
    "three sights 120 deg apart": [0, 120, 240],
    "four sights around the sky": [10, 100, 190, 280],
    "two sights 10 deg apart": [0, 10],
    "three sights in the east": [70, 90, 110],
}


def draw(ellipses, out):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Ellipse

    fig, axes = plt.subplots(1, len(ellipses), figsize=(3.2 * len(ellipses), 3.6))
    for ax, (name, azimuths, (a, b, orientation)) in zip(axes, ellipses):
        # Axes are east (x) and north (y); an azimuth turns clockwise from north.
        ax.add_patch(Ellipse((0, 0), 2 * a, 2 * b, angle=90.0 - orientation, fill=False, color="tab:orange", lw=2))
        reach = 1.15 * a
        for az in azimuths:
            east, north = math.sin(math.radians(az)), math.cos(math.radians(az))
            ax.annotate("", (reach * east, reach * north), (0, 0),
                        arrowprops=dict(arrowstyle="-|>", color="tab:blue", lw=1))
        ax.set_xlim(-1.25 * a, 1.25 * a)
        ax.set_ylim(-1.25 * a, 1.25 * a)
        ax.set_aspect("equal")
        ax.set_xlabel("east, nm")
        ax.set_ylabel("north, nm")
        ax.set_title(f"{name}\n{a:.2f} x {b:.2f} nm", fontsize=9)
    fig.suptitle("2-sigma ellipses (orange) for sights at the azimuths shown (blue), 1 arcmin each", fontsize=10)
    fig.tight_layout()
    fig.savefig(out, dpi=100)
    print(f"wrote {out}")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--out", help="also draw the ellipses into this PNG (needs matplotlib)")
    args = p.parse_args()
    print(f"{'plan':32s} {'semi-major nm':>14s} {'semi-minor nm':>14s} {'major axis az':>14s}")
    ellipses = []
    for name, azimuths in PLANS.items():
        a, b, orientation = stelvane.covariance_ellipse(azimuths, 1.0)
        print(f"{name:32s} {a:14.2f} {b:14.2f} {orientation:13.1f}d")
        ellipses.append((name, azimuths, (a, b, orientation)))
    try:
        stelvane.covariance_ellipse([45, 225], 1.0)
    except stelvane.StelvaneError as err:
        print(f"{'two opposite sights':32s} {err}")
    if args.out:
        draw(ellipses, args.out)


if __name__ == "__main__":
    main()
