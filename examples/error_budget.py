"""What dominates a fix's error: one fix's error budget for typical hardware, as stacked bars.

    python examples/error_budget.py [--out error-budget.png]

Renders the sky over Greenwich on 2024-03-20 at 03:06 UTC for a 180-degree fisheye (1024 x 1024) and a
1920 x 1080 pinhole (focal 2200 px), solves each, and prints `stelvane.error_budget` of the fix for a few
kinds of vertical and clock. With --out it draws each budget as a bar (needs matplotlib) split into the
terms' shares of its variance (north plus east: variances add, so the shares say what dominates),
labelled with the budget's 2-sigma ellipse.
"""

import argparse
import datetime as dt

import stelvane
import stelvane.catalogs

UTC = dt.datetime(2024, 3, 20, 3, 6, 0, tzinfo=dt.timezone.utc)
LAT, LON = 51.4779, -0.0015

# (vertical sigma per axis in arcminutes, clock sigma in seconds) of typical hardware. A camera's own clock,
# set by hand or drifting, is good to a second or two; with GPS time the exposure's mid-instant is known
# to a few milliseconds.
HARDWARE = {
    "MEMS accelerometer 6', camera clock 2 s": (6.0, 2.0),
    "MEMS accelerometer 3', camera clock 2 s": (3.0, 2.0),
    "MEMS accelerometer 3', GPS time": (3.0, 0.005),
    "inclinometer 1', camera clock 2 s": (1.0, 2.0),
    "inclinometer 1', GPS time": (1.0, 0.005),
    "inclinometer 0.5', GPS time": (0.5, 0.005),
    "levelled mount 0.1', camera clock 2 s": (0.1, 2.0),
    "levelled mount 0.1', GPS time": (0.1, 0.005),
}
LENSES = {
    "fisheye 180 deg, 1024 x 1024": (dict(focal_px=None, cx=512.0, cy=512.0, fisheye_fov_deg=180.0), 1024, 1024),
    "pinhole 1920 x 1080, focal 2200 px": (dict(focal_px=2200.0, cx=960.0, cy=540.0), 1920, 1080),
}
COLOURS = {"centroid": "tab:blue", "up": "tab:red", "clock": "tab:orange", "calibration": "tab:purple",
           "model": "tab:gray"}


def solve(lens, width, height):
    catalog = stelvane.catalogs.load("allsky")
    jd = stelvane.julian_date(2024, 3, 20, 3, 6, 0.0)
    scene = stelvane.synthesize_scene(catalog, LAT, LON, jd, 0.0, width, height, lens["focal_px"], 6.0, 0.0, 0.0,
                                      30.0, 7, fisheye_fov_deg=lens.get("fisheye_fov_deg"))
    return stelvane.resolve_fix(scene.pixels, up_cam=scene.up_cam, utc=UTC, catalog=catalog, **lens)


def shares(budget):
    """Each term's share of the budget's variance (north plus east), percent."""
    traces = {name: t.covariance[0][0] + t.covariance[1][1] for name, t in budget.contributions.items()}
    total = sum(traces.values())
    return {name: 100.0 * v / total for name, v in traces.items()}


def draw(rows, out):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(rows), figsize=(13, 0.5 * len(HARDWARE) + 1.6), sharey=True)
    for ax, (lens_name, budgets) in zip(axes, rows):
        labels = list(budgets)
        for y, label in enumerate(labels):
            left = 0.0
            for name, share in shares(budgets[label]).items():
                ax.barh(y, share, left=left, color=COLOURS[name], label=name if y == 0 else None)
                left += share
            a, b, _ = budgets[label].ellipse_2sigma_nm
            ax.text(102, y, f"{a:.2f} x {b:.2f} nm", va="center", fontsize=8)
        ax.set_yticks(range(len(labels)), labels, fontsize=8)
        ax.set_xlim(0, 130)
        ax.set_xticks(range(0, 101, 25))
        ax.set_title(lens_name, fontsize=10)
        ax.set_xlabel("share of the budget's variance, %")
    axes[0].invert_yaxis()
    axes[-1].legend(loc="lower center", bbox_to_anchor=(0.5, 1.06), fontsize=8, ncol=5)
    fig.suptitle("What dominates a fix's error (labels: the budget's 2-sigma ellipse)", fontsize=10, x=0.3)
    fig.tight_layout()
    fig.savefig(out, dpi=100)
    print(f"wrote {out}")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--out", help="also draw the budgets into this PNG (needs matplotlib)")
    args = p.parse_args()
    rows = []
    for lens_name, (lens, width, height) in LENSES.items():
        fix = solve(lens, width, height)
        error = stelvane.great_circle_nm(fix.latitude_deg, fix.longitude_deg, LAT, LON)
        print(f"{lens_name}: {len(fix.matched_hr_ids)} stars, the Fix's own 2-sigma ellipse "
              f"{fix.ellipse_2sigma_nm[0]:.2f} x {fix.ellipse_2sigma_nm[1]:.2f} nm, error {error:.2f} nm")
        budgets = {}
        for label, (up_sigma, clock_sigma) in HARDWARE.items():
            budgets[label] = stelvane.error_budget(fix, up_sigma_arcmin=up_sigma, clock_sigma_s=clock_sigma)
            a, b, o = budgets[label].ellipse_2sigma_nm
            print(f"  {label:42s} 2-sigma {a:6.2f} x {b:5.2f} nm at {o:+6.1f} deg")
        rows.append((lens_name, budgets))
    print(rows[0][1][next(iter(HARDWARE))])
    if args.out:
        draw(rows, args.out)


if __name__ == "__main__":
    main()
