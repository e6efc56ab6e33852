"""Calibrate a lens from a few of its own star frames, then solve with it.

    python examples/calibrate_lens.py [--out residuals.png] [--save camera.json]

Renders three frames of a 1920x1080 pinhole camera of focal 2200 px (three places, instants
and rolls), hands stelvane.calibrate_camera a first guess that is 3 % long with the principal
point 20 px off, prints the fitted lens with its standard errors, and solves every frame with
the first guess and with the calibration (resolve_fix(**cal.solve_kwargs())). With --out it
draws the residual vectors of the identified stars over the frame before and after the
calibration (needs matplotlib).
"""

import argparse

import numpy as np

import stelvane
import stelvane.catalogs

WIDTH, HEIGHT, TRUE_FOCAL = 1920, 1080, 2200.0
GUESS = dict(focal_px=1.03 * TRUE_FOCAL, cx=WIDTH / 2 + 20, cy=HEIGHT / 2 - 20)
# (latitude, longitude, UTC instant, roll) of each frame.
FRAMES = [(48.5, 11.25, (2024, 4, 1, 22, 0, 0), 0.0), (-33.9, 151.2, (2024, 4, 2, 11, 30, 0), 40.0),
          (35.7, 139.7, (2024, 4, 3, 13, 15, 0), -70.0)]


def render(catalog):
    scenes = []
    for lat, lon, utc, roll in FRAMES:
        scenes.append(stelvane.synthesize_scene(catalog, lat, lon, stelvane.julian_date(*utc), roll, WIDTH, HEIGHT,
                                                TRUE_FOCAL, 6.0, 0.3, 0.0, 30.0, len(scenes) + 1))
    return scenes


def fix_error_nm(scene, place, utc, catalog, lens):
    try:
        fix = stelvane.resolve_fix(scene.pixels, up_cam=scene.up_cam, utc=utc, catalog=catalog, **lens)
    except stelvane.StelvaneError as err:
        return f"refused ({type(err).__name__})"
    error = stelvane.great_circle_nm(fix.latitude_deg, fix.longitude_deg, *place)
    return f"{error:8.2f} nm, lens scale {fix.plate_scale_ratio:.5f} +- {fix.plate_scale_ratio_sigma:.5f}"


def draw(cal, out):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(13, 4.4))
    for ax, records, title, scale in (
        (axes[0], cal.initial_residuals, "first guess: focal 3 % long, centre 20 px off", 5.0),
        (axes[1], cal.residuals, "calibrated", 300.0),
    ):
        lengths = np.hypot(records["dx"], records["dy"])
        q = ax.quiver(records["x"], records["y"], scale * records["dx"], scale * records["dy"],
                      records["frame"], cmap="viridis", angles="xy", scale_units="xy", scale=1.0, width=0.003)
        ax.set_xlim(0, WIDTH)
        ax.set_ylim(HEIGHT, 0)  # pixel rows run downwards
        ax.set_aspect("equal")
        ax.set_xlabel("x, px")
        ax.set_ylabel("y, px")
        ax.set_title(f"{title}\nrms {np.sqrt(np.mean(lengths ** 2)):.2f} px, arrows x{scale:g}", fontsize=10)
        q.set_clim(0, len(cal.frame_star_counts) - 1)
    fig.suptitle("Measured minus predicted star positions, three frames (colour)", fontsize=11)
    fig.tight_layout()
    fig.savefig(out, dpi=90)
    print(f"wrote {out}")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--out", help="draw the residual vectors before and after into this PNG (needs matplotlib)")
    p.add_argument("--save", help="write the calibration to this JSON file")
    args = p.parse_args()
    catalog = stelvane.catalogs.load("pinhole")
    scenes = render(catalog)
    times = [utc for _, _, utc, _ in FRAMES]
    cal = stelvane.calibrate_camera([s.pixels for s in scenes], catalog, **GUESS, times_utc=times,
                                    up_cam=[s.up_cam for s in scenes])
    print(cal)
    for name, value, error in zip(cal.parameter_names, (cal.focal_px, cal.cx, cal.cy), cal.standard_errors):
        print(f"  {name:8s} {value:10.3f} +- {error:.3f} px")
    print(f"  truth    focal_px {TRUE_FOCAL:.3f}, cx {WIDTH / 2:.3f}, cy {HEIGHT / 2:.3f}")
    for scene, (lat, lon, utc, _) in zip(scenes, FRAMES):
        print(f"frame at {lat:+6.1f} {lon:+7.1f}: first guess {fix_error_nm(scene, (lat, lon), utc, catalog, GUESS)}")
        print(f"{'':23s} calibrated  {fix_error_nm(scene, (lat, lon), utc, catalog, cal.solve_kwargs())}")
    if args.save:
        cal.save(args.save)
        print(f"wrote {args.save}")
    if args.out:
        draw(cal, args.out)


if __name__ == "__main__":
    main()
