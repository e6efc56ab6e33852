"""Does the error budget's 2-sigma ellipse hold the truth? A Monte-Carlo on rendered skies.

Three lenses (pinhole 1920x1080 focal 2200 px, pinhole 1280x960 focal 4000 px, ideal 180 deg fisheye
1024x1024); for each, skies rendered at random sites (latitude uniform on the sphere within +-60 deg),
instants (2020-2030) and roll, with the detector's own centroid noise (background noise 30 counts, no
extra star jitter). Every sky is solved once per vertical sigma (0.1', 1', 5' per axis), each time with
the vertical tilted by a 2-D Gaussian of that sigma and the clock off by a Gaussian of 1 s, and
`error_budget(fix, up_sigma_arcmin=sigma, clock_sigma_s=1)` is asked where the truth lies.

Prints, per cell: the share of fixes whose truth lies inside the budget's 2-sigma ellipse (goal 86.5 %,
binomial standard error about 2.4 % at 200 trials), the same for the budget with the model term (which a
rendered sky does not carry: the renderer uses the solver's own astronomy, so that column is expected to
run high), the Fix's own ellipse for comparison, the median semi-major axis against the 95th percentile
of the error, and failures. Then, per lens, the detector's true centroid error (detected against rendered
star centres) and the a-posteriori per-star sigma: the basis of the centroid floor. Prints figures only.

    python bench/bench_error_budget.py [--trials N] [--seed S] [--lens NAME]
"""

from __future__ import annotations

import argparse
import datetime as dt
import math
import time
from dataclasses import dataclass, field

import numpy as np

import stelvane
import stelvane.catalogs

NM_PER_RAD = 3437.746770784939
CLOCK_SIGMA_S = 1.0
UP_SIGMAS_ARCMIN = (0.1, 1.0, 5.0)
TWO_SIGMA_SHARE = 1.0 - math.exp(-2.0)


@dataclass(frozen=True)
class Lens:
    name: str
    width: int
    height: int
    focal_px: float | None
    fisheye_fov_deg: float | None
    catalog: str

    def solve_kwargs(self) -> dict:
        return dict(focal_px=self.focal_px, cx=self.width / 2.0, cy=self.height / 2.0,
                    fisheye_fov_deg=self.fisheye_fov_deg)


LENSES = (
    Lens("pinhole 1920x1080 f2200", 1920, 1080, 2200.0, None, "allsky"),
    Lens("pinhole 1280x960 f4000", 1280, 960, 4000.0, None, "pinhole"),
    Lens("fisheye 180 1024x1024", 1024, 1024, None, 180.0, "allsky"),
)


@dataclass
class Cell:
    inside: list[bool] = field(default_factory=list)
    inside_with_model: list[bool] = field(default_factory=list)
    inside_fix_ellipse: list[bool] = field(default_factory=list)
    error_nm: list[float] = field(default_factory=list)
    semi_major_nm: list[float] = field(default_factory=list)
    failures: int = 0


def tilted(up: np.ndarray, sigma_rad: float, rng: np.random.Generator) -> np.ndarray:
    """The vertical turned by a 2-D Gaussian tilt with `sigma_rad` per axis, about axes normal to it."""
    u = up / np.linalg.norm(up)
    a = np.cross(u, [1.0, 0.0, 0.0] if abs(u[0]) < 0.9 else [0.0, 1.0, 0.0])
    a /= np.linalg.norm(a)
    b = np.cross(u, a)
    e1, e2 = rng.normal(0.0, sigma_rad, 2)
    t = math.hypot(e1, e2)
    if t == 0.0:
        return u
    axis = (e1 * a + e2 * b) / t
    return u * math.cos(t) + axis * math.sin(t)


def error_ne_nm(fix: stelvane.Fix, lat_deg: float, lon_deg: float) -> np.ndarray:
    d_lon = (fix.longitude_deg - lon_deg + 180.0) % 360.0 - 180.0
    return np.array([math.radians(fix.latitude_deg - lat_deg),
                     math.radians(d_lon) * math.cos(math.radians(lat_deg))]) * NM_PER_RAD


def inside(cov_rad2: list[list[float]], error_nm: np.ndarray) -> bool:
    """Whether the error lies inside the 2-sigma ellipse of the covariance: Mahalanobis distance <= 2."""
    c = np.asarray(cov_rad2) * NM_PER_RAD**2
    return float(error_nm @ np.linalg.solve(c, error_nm)) <= 4.0


def centroid_errors_px(fix: stelvane.Fix, scene: stelvane.Scene) -> list[float]:
    """Per-axis offsets of the detected star centres from the rendered ones."""
    truth = dict(zip(scene.rendered_hr_ids, scene.star_pixels))
    out = []
    for row in fix.sights:
        if row["hr"] in truth:
            tx, ty = truth[row["hr"]]
            out += [row["x_px"] - tx, row["y_px"] - ty]
    return out


def run_lens(lens: Lens, trials: int, seed: int) -> tuple[dict[float, Cell], list[float], list[float], float]:
    catalog = stelvane.catalogs.load(lens.catalog)
    # Each lens draws its own places, tilts and clocks, so that the cells' shares are independent.
    rng = np.random.default_rng([seed, LENSES.index(lens)])
    cells = {s: Cell() for s in UP_SIGMAS_ARCMIN}
    true_px: list[float] = []
    estimated_px: list[float] = []
    t0 = time.perf_counter()
    for trial in range(trials):
        lat = math.degrees(math.asin(rng.uniform(-math.sin(math.radians(60)), math.sin(math.radians(60)))))
        lon = rng.uniform(-180.0, 180.0)
        when = dt.datetime(2020, 1, 1, tzinfo=dt.timezone.utc) + dt.timedelta(days=rng.uniform(0.0, 3652.0))
        jd = stelvane.julian_date(when.year, when.month, when.day, when.hour, when.minute,
                                  when.second + when.microsecond * 1e-6)
        scene = stelvane.synthesize_scene(catalog, lat, lon, jd, rng.uniform(0.0, 360.0), lens.width, lens.height,
                                          lens.focal_px, 6.0, 0.0, 0.0, 30.0, int(rng.integers(2**63)),
                                          fisheye_fov_deg=lens.fisheye_fov_deg)
        for k, sigma in enumerate(UP_SIGMAS_ARCMIN):
            cell = cells[sigma]
            up = tilted(np.asarray(scene.up_cam), math.radians(sigma / 60.0), rng)
            clock = dt.timedelta(seconds=float(rng.normal(0.0, CLOCK_SIGMA_S)))
            try:
                fix = stelvane.resolve_fix(scene.pixels, up_cam=up, utc=when + clock, catalog=catalog,
                                           **lens.solve_kwargs())
            except stelvane.StelvaneError:
                cell.failures += 1
                continue
            err = error_ne_nm(fix, lat, lon)
            budget = stelvane.error_budget(fix, up_sigma_arcmin=sigma, clock_sigma_s=CLOCK_SIGMA_S,
                                           include_model=False)
            with_model = stelvane.error_budget(fix, up_sigma_arcmin=sigma, clock_sigma_s=CLOCK_SIGMA_S)
            cell.inside.append(inside(budget.covariance, err))
            cell.inside_with_model.append(inside(with_model.covariance, err))
            cell.inside_fix_ellipse.append(inside(fix.covariance, err))
            cell.error_nm.append(float(np.hypot(*err)))
            cell.semi_major_nm.append(budget.ellipse_2sigma_nm[0])
            if k == 0:
                true_px += centroid_errors_px(fix, scene)
                estimated_px.append(_estimated_sigma_px(fix))
    return cells, true_px, estimated_px, time.perf_counter() - t0


def _estimated_sigma_px(fix: stelvane.Fix) -> float:
    """The a-posteriori per-star sigma of a fix (residuals over n - 2 degrees of freedom), in pixels."""
    r = fix.sights["residual_arcmin"]
    return math.sqrt(float(np.sum(r**2)) / (len(r) - 2)) / fix.arcmin_per_pixel


def share(flags: list[bool]) -> str:
    return f"{100.0 * np.mean(flags):5.1f}%" if flags else "    -"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--trials", type=int, default=200)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--lens", choices=[lens.name for lens in LENSES], action="append")
    args = parser.parse_args()
    lenses = [lens for lens in LENSES if args.lens is None or lens.name in args.lens]
    print(f"{args.trials} skies per lens, clock sigma {CLOCK_SIGMA_S:g} s; goal {100 * TWO_SIGMA_SHARE:.1f}% "
          f"(+-{100 * math.sqrt(TWO_SIGMA_SHARE * (1 - TWO_SIGMA_SHARE) / args.trials):.1f}% binomial s.e.)")
    print(f"{'lens':26} {'up sigma':>8} {'inside':>7} {'+model':>7} {'Fix ell.':>8} {'median a nm':>11} "
          f"{'p95 err nm':>10} {'ratio':>6} {'median err':>10} {'failed':>6}")
    for lens in lenses:
        cells, true_px, estimated_px, seconds = run_lens(lens, args.trials, args.seed)
        for sigma, cell in cells.items():
            p95 = float(np.percentile(cell.error_nm, 95)) if cell.error_nm else math.nan
            a = float(np.median(cell.semi_major_nm)) if cell.semi_major_nm else math.nan
            print(f"{lens.name:26} {sigma:7.1f}' {share(cell.inside):>7} {share(cell.inside_with_model):>7} "
                  f"{share(cell.inside_fix_ellipse):>8} {a:11.3f} {p95:10.3f} {a / p95:6.2f} "
                  f"{float(np.median(cell.error_nm)):10.3f} {cell.failures:6d}")
        t = np.abs(np.asarray(true_px))
        e = np.asarray(estimated_px)
        print(f"{'':26} centroid error per axis: rms {math.sqrt(float(np.mean(t**2))):.3f} px, median "
              f"{np.median(t):.3f}, p95 {np.percentile(t, 95):.3f}; a-posteriori sigma median {np.median(e):.3f} "
              f"px, p5 {np.percentile(e, 5):.3f}, p95 {np.percentile(e, 95):.3f}; {seconds:.0f} s")


if __name__ == "__main__":
    main()
